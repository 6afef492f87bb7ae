#!/usr/bin/env bash
# Compares velmora-cli with peer tools on one synthetic capture of a desktop's traffic:
# median wall time over several warm runs and peak memory, with the ratio to velmora-cli.
#
#   bench/compare.sh [RUNS]      (needs ../shared/bench/make_pcap.py beside the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
generator=../shared/bench/make_pcap.py
checker=../shared/bench/check_pcap.py
out=bench/out
mkdir -p "$out"
capture=$out/reference-200k.pcap

need=()
for tool in tshark ngrep urlsnarf httpry /usr/bin/time; do command -v "$tool" >/dev/null || need+=("$tool"); done
if [ ${#need[@]} -gt 0 ]; then
    [ -f /var/lib/apt/lists/lock ] || true
    apt-get update -qq
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends tshark ngrep dsniff httpry time >/dev/null
fi

if [ ! -f build/velmora-cli ] || [ ! -f build/bench/pcap_floor ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target velmora-cli pcap_floor
fi

if [ ! -f "$capture" ]; then
    [ -f "$generator" ] || { echo "no capture generator at $generator" >&2; exit 2; }
    /usr/bin/python3 "$generator" -n 200000 -s 1 -o "$capture" --truth "$out/reference-200k.truth.tsv"
    /usr/bin/python3 "$checker" "$capture" "$out/reference-200k.truth.tsv" | tail -1
fi
ls -l "$capture" | awk '{printf "capture: %s, %.0f MB\n", $9, $5/1e6}'

# name|command (the output goes to /dev/null; every tool reads the same file)
tools=(
    "velmora-cli|build/velmora-cli -r $capture --min-length 0 --settings resources/setting.ini"
    "libpcap loop (floor)|build/bench/pcap_floor $capture"
    "urlsnarf|urlsnarf -n -p $capture"
    "httpry|httpry -r $capture"
    "ngrep (URL pattern)|ngrep -q -I $capture -W none '(http|rtsp|mms|mmst)://'"
    "tshark|tshark -n -r $capture -Y http.request -T fields -e http.request.full_uri"
)

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

declare -A seconds memory
for entry in "${tools[@]}"; do
    name=${entry%%|*}
    command=${entry#*|}
    eval "$command" >/dev/null 2>&1 || true # warm the page cache and the tool
    times=()
    peak=0
    for _ in $(seq "$runs"); do
        report=$( { /usr/bin/time -f '%e %M' bash -c "$command >/dev/null 2>/dev/null"; } 2>&1 | tail -1)
        times+=("${report% *}")
        kb=${report#* }
        [ "$kb" -gt "$peak" ] && peak=$kb
    done
    seconds[$name]=$(printf '%s\n' "${times[@]}" | median)
    memory[$name]=$peak
done

base=${seconds[velmora-cli]}
printf '\n%-24s %10s %12s %14s\n' tool "median s" "peak MiB" "x velmora-cli"
for entry in "${tools[@]}"; do
    name=${entry%%|*}
    printf '%-24s %10.3f %12.1f %14.2f\n' "$name" "${seconds[$name]}" "$(echo "${memory[$name]} / 1024" | bc -l)" \
        "$(echo "${seconds[$name]} / ($base + 0.0001)" | bc -l)"
done
echo
echo "rows listed by velmora-cli: $(build/velmora-cli -r "$capture" --min-length 0 --settings resources/setting.ini | wc -l)"
