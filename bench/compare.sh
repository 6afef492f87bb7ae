#!/usr/bin/env bash
# Compares velmora-cli with peer tools on one synthetic capture of a desktop's traffic:
# median wall time over several warm runs and peak memory, with the ratio to velmora-cli.
#
#   bench/compare.sh [RUNS]      (needs ../shared/bench/make_pcap.py beside the repository)
#   bench/compare.sh [RUNS] tls  (only the HTTPS part below)
# Then, as root, the same for HTTPS: a capture of media downloads over loopback with its TLS key log
# (bench/make-https-capture.sh), velmora-cli without and with --tls-keylog, and tshark decrypting it.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
only=${2:-}
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

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

# Median seconds and peak KiB of each "name|command" into seconds[name] and memory[name].
declare -A seconds memory
measure() {
    local entry name command times peak report kb
    for entry in "$@"; do
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
}

# The table of the measured tools against the first one.
report() {
    local base=${seconds[${1%%|*}]} entry name
    printf '\n%-24s %10s %12s %14s\n' tool "median s" "peak MiB" "x ${1%%|*}"
    for entry in "$@"; do
        name=${entry%%|*}
        printf '%-24s %10.3f %12.1f %14.2f\n' "$name" "${seconds[$name]}" "$(echo "${memory[$name]} / 1024" | bc -l)" \
            "$(echo "${seconds[$name]} / ($base + 0.0001)" | bc -l)"
    done
}

if [ "$only" != tls ]; then
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

measure "${tools[@]}"
report "${tools[@]}"
echo
echo "rows listed by velmora-cli: $(build/velmora-cli -r "$capture" --min-length 0 --settings resources/setting.ini | wc -l)"
fi

# HTTPS: decrypting the client's requests with the key log costs little beside reading the frames.
if [ "$(id -u)" -ne 0 ]; then
    echo "the HTTPS part records its capture in a network namespace: run as root" >&2
    exit 0
fi
https_capture=$out/https-200m.pcap
https_keys=$out/https-200m.keys
if [ ! -f "$https_capture" ] || [ ! -f "$https_keys" ]; then
    bench/make-https-capture.sh "$https_capture" "$https_keys" 200 2>/dev/null
fi
ls -l "$https_capture" | awk '{printf "\nHTTPS capture: %s, %.0f MB\n", $9, $5/1e6}'
https_tools=(
    "velmora-cli|build/velmora-cli -r $https_capture --settings resources/setting.ini"
    "velmora-cli --tls-keylog|build/velmora-cli -r $https_capture --settings resources/setting.ini --tls-keylog $https_keys"
    "tshark (key log)|tshark -n -r $https_capture -o tls.keylog_file:$https_keys -Y 'http.request or http2.type == 1' -T fields -e http.request.full_uri -e http2.request.full_uri"
)
measure "${https_tools[@]}"
report "${https_tools[@]}"
echo
echo "HTTPS rows listed by velmora-cli --tls-keylog: $(build/velmora-cli -r "$https_capture" --settings resources/setting.ini --tls-keylog "$https_keys" 2>/dev/null | wc -l)"
