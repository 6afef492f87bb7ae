#!/usr/bin/env bash
# Compares velmora-cli with the bare libpcap read loop (the floor) and with peer tools on one
# synthetic capture of a desktop's traffic (200,000 frames, 185 MB): wall time, CPU time (user +
# system) and peak memory, as medians with their spread (lowest-highest) over RUNS rounds. Each
# round runs every tool once, in turn, so a busy machine slows them alike. Prints velmora-cli's
# ratios to urlsnarf, and, when bench_gui_frame_handler is built, the GUI frame path's ratio to
# velmora-cli on the same file (two captures per round in one window, timed inside the program).
#
#   bench/compare.sh [RUNS]             (default 11)
#   bench/compare.sh [RUNS] tls         (only the HTTPS part below)
#   bench/compare.sh [RUNS] keepalive   (only the keep-alive downloads below)
#   bench/compare.sh [RUNS] streams     (only the long HLS session below)
# BUILD names the build folder (default build); velmora-cli and pcap_floor are built there when missing.
# As root, the same tools on clear-text downloads on keep-alive connections recorded on loopback, whose
# frames are up to 64 KiB (bench/make-keepalive-capture.sh), every byte of which velmora-cli reads.
# Then, as root, the same for HTTPS: a capture of media downloads over loopback with its TLS key log
# (bench/make-https-capture.sh), velmora-cli without and with --tls-keylog, and tshark decrypting it
# (median wall time and peak memory); then the same for HTTP/3 over QUIC (bench/make-quic-capture.sh).
#
# The capture is VELMORA_BENCH_PCAP if set, else it is made once with ../shared/bench/make_pcap.py
# under ${TMPDIR:-/tmp}/velmora-bench (it is never kept in the repository).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-11}
only=${2:-}
build=${BUILD:-build}
generator=../shared/bench/make_pcap.py
out=bench/out
mkdir -p "$out"

need=()
for tool in tshark ngrep urlsnarf httpry /usr/bin/time; do command -v "$tool" >/dev/null || need+=("$tool"); done
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends tshark ngrep dsniff httpry time >/dev/null
fi

targets=(velmora-cli)
[ "$only" = streams ] || targets+=(pcap_floor)
if [ ! -f "$build/velmora-cli" ] || { [ "$only" != streams ] && [ ! -f "$build/bench/pcap_floor" ]; }; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
fi

# Every tool once a round on one capture, RUNS rounds: medians of wall and CPU time, peak memory,
# velmora-cli's ratios to urlsnarf and to the floor; with GUI, the window's frame path too.
compare_tools() {
/usr/bin/python3 - "$runs" "$build" "$1" "${2:-}" <<'EOF'
import json, os, statistics, subprocess, sys, tempfile, time

runs, build, capture, gui = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
tools = [  # name, command; every tool reads the same file and writes to /dev/null
    ("libpcap loop (floor)", [f"{build}/bench/pcap_floor", capture]),
    ("urlsnarf", ["urlsnarf", "-n", "-p", capture]),
    ("ngrep (URL pattern)", ["ngrep", "-q", "-I", capture, "-W", "none", "(http|rtsp|mms|mmst)://"]),
    ("httpry", ["httpry", "-r", capture]),
    ("tshark", ["tshark", "-n", "-r", capture, "-Y", "http.request", "-T", "fields", "-e", "http.request.full_uri"]),
    ("velmora-cli", [f"{build}/velmora-cli", "-r", capture, "--min-length", "0", "--settings", "resources/setting.ini"]),
]

def run(command):
    # Through /usr/bin/time for the peak: a child forked from this interpreter would report the
    # interpreter's size when the tool is smaller.
    with open(os.devnull, "wb") as null, tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + command, stdout=null, stderr=null)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        if status not in (0, 256):  # 1: grep-like tools that matched nothing
            sys.exit(f"{command[0]} failed (status {status})")
        return wall, usage.ru_utime + usage.ru_stime, int(peak.read().split()[-1]) / 1024

def gui_captures():
    # Two captures of the file in one window: the first takes fresh memory for the frames it keeps,
    # the second reuses what the first gave back.
    out = subprocess.run([gui, "--benchmark_filter=Search", "--benchmark_min_time=0.000001",
                          "--benchmark_repetitions=2", "--benchmark_format=json"],
                         env=dict(os.environ, VELMORA_BENCH_PCAP=capture), capture_output=True, check=True, text=True)
    runs = [b for b in json.loads(out.stdout)["benchmarks"] if b.get("run_type") == "iteration"]
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[runs[0]["time_unit"]]
    return [(b["real_time"] * scale, b["cpu_time"] * scale) for b in runs[:2]]

for _, command in tools:  # warm the page cache and every tool
    run(command)
samples = {name: [] for name, _ in tools}
gui_samples = {"first": [], "second": []}
for _ in range(runs):
    for name, command in tools:
        samples[name].append(run(command))
    if gui:
        first, second = gui_captures()
        gui_samples["first"].append(first)
        gui_samples["second"].append(second)

def spread(values, unit=""):
    return f"{statistics.median(values):7.3f}{unit} [{min(values):.3f}-{max(values):.3f}]"

print(f"\n{runs} rounds; median [lowest-highest]")
print(f"{'tool':22} {'wall s':>24} {'cpu s':>24} {'peak MiB':>9}")
for name, _ in tools:
    wall, cpu, peak = zip(*samples[name])
    print(f"{name:22} {spread(wall):>24} {spread(cpu):>24} {max(peak):9.1f}")

def median(name, k):
    return statistics.median(s[k] for s in samples[name])

print(f"\nvelmora-cli / urlsnarf: wall {median('velmora-cli', 0) / median('urlsnarf', 0):.2f}, "
      f"cpu {median('velmora-cli', 1) / median('urlsnarf', 1):.2f}")
print(f"velmora-cli / floor:    wall {median('velmora-cli', 0) / median('libpcap loop (floor)', 0):.2f}")
for which, taken in gui_samples.items():
    if not taken:
        continue
    wall, cpu = zip(*taken)
    print(f"GUI frame path, {which} capture in a window: wall {spread(wall)}, cpu {spread(cpu)}; "
          f"/ velmora-cli: wall {statistics.median(wall) / median('velmora-cli', 0):.2f}, "
          f"cpu {statistics.median(cpu) / median('velmora-cli', 1):.2f}")
EOF
}

if [ -z "$only" ]; then
capture=${VELMORA_BENCH_PCAP:-${TMPDIR:-/tmp}/velmora-bench/reference-200k.pcap}
if [ ! -f "$capture" ]; then
    [ -f "$generator" ] || { echo "no capture at $capture and no generator at $generator" >&2; exit 2; }
    mkdir -p "$(dirname "$capture")"
    /usr/bin/python3 "$generator" -n 200000 -s 1 -o "$capture" >/dev/null
fi
ls -l "$capture" | awk '{printf "capture: %s, %.0f MB\n", $9, $5/1e6}'

gui=$build/bench/bench_gui_frame_handler
[ -x "$gui" ] || gui=

compare_tools "$capture" "$gui"

listed=$(mktemp)
$build/velmora-cli -r "$capture" --min-length 0 --settings resources/setting.ini >"$listed" 2>/dev/null
echo "rows listed by velmora-cli: $(wc -l <"$listed"), md5 $(md5sum <"$listed" | cut -d' ' -f1)"
rm -f "$listed"
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

# A long HLS session over HTTPS (bench/make-hls-session-capture.sh: ffmpeg playing 2,400 one-second
# segments on a few keep-alive connections, with its key log): velmora-cli with the key log, reading
# streams (the default) and with --no-streams, RUNS rounds, the two in turn and in alternating order.
# Reading the manifests and folding every segment into the title's row should cost little: targets
# are a ratio on/off of at most 1.2 and a peak under 64 MiB. Then the rows are checked: one stream
# row and no segment row with streams on, also with a table that lists .ts files (the shipped one
# disables them), where --no-streams lists every segment.
streams_session() {
local capture=${VELMORA_HLS_PCAP:-${TMPDIR:-/tmp}/velmora-bench/hls-session-2400.pcap} keys listing
keys=${capture%.pcap}.keys
if [ ! -f "$capture" ] || [ ! -f "$keys" ]; then
    mkdir -p "$(dirname "$capture")"
    bench/make-hls-session-capture.sh "$capture" "$keys" 2400 >/dev/null
fi
ls -l "$capture" | awk '{printf "\nHLS session over HTTPS: %s, %.0f MB\n", $9, $5/1e6}'
# The shipped table with .ts enabled (GBK text: blank the value of the entry whose name is .ts).
listing=$(mktemp)
LC_ALL=C awk -F= '{v = $2; sub(/\r$/, "", v)} $1 ~ /^ExtName/ && v == ".ts" {n = substr($1, 8)} $1 == "Value" n {$0 = "Value" n "=\r"} {print}' \
    resources/setting.ini >"$listing"
/usr/bin/python3 - "$runs" "$build/velmora-cli" "$capture" "$keys" "$listing" <<'EOF'
import json, os, re, statistics, subprocess, sys, tempfile, time

runs, cli, capture, keys, listing = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
def command(settings, streams, *extra):
    return ([cli, "-r", capture, "--settings", settings, "--tls-keylog", keys]
            + ([] if streams else ["--no-streams"]) + list(extra))
modes = {"streams on": command("resources/setting.ini", True), "streams off": command("resources/setting.ini", False)}

def run(argv):
    # Wall time here, CPU time of the child and its own, the peak from /usr/bin/time; rows counted.
    with tempfile.NamedTemporaryFile("r") as peak, tempfile.TemporaryFile("w+") as rows:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + argv,
                                 stdout=rows, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{' '.join(argv)} failed (status {status})")
        rows.seek(0)
        return wall, usage.ru_utime + usage.ru_stime, int(peak.read().split()[-1]) / 1024, sum(1 for _ in rows)

for argv in modes.values():  # warm the page cache
    run(argv)
samples = {name: [] for name in modes}
for round in range(runs):
    for name in (list(modes) if round % 2 == 0 else list(reversed(modes))):
        samples[name].append(run(modes[name]))

def spread(values):
    return f"{statistics.median(values):7.3f} [{min(values):.3f}-{max(values):.3f}]"

print(f"\n{runs} rounds; median [lowest-highest]")
print(f"{'velmora-cli --tls-keylog':26} {'wall s':>22} {'cpu s':>22} {'peak MiB':>20}  rows of each run")
for name in modes:
    wall, cpu, peak, rows = zip(*samples[name])
    print(f"{name:26} {spread(wall):>22} {spread(cpu):>22} {spread(peak):>20}  {' '.join(map(str, rows))}")
median = {name: [statistics.median(s[k] for s in samples[name]) for k in range(3)] for name in modes}
wall_ratio = median["streams on"][0] / median["streams off"][0]
cpu_ratio = median["streams on"][1] / median["streams off"][1]
peak_on = max(s[2] for s in samples["streams on"])
met = max(wall_ratio, cpu_ratio) <= 1.2 and peak_on < 64
print(f"streams on / off: wall {wall_ratio:.2f}, cpu {cpu_ratio:.2f} (target <= 1.2); "
      f"peak with streams on {peak_on:.1f} MiB (target < 64): {'met' if met else 'MISSED'}")

# What the rows say: JSON lines, with the shipped table and with one that lists .ts files.
segment = re.compile(r"\.(ts|m4s|aac)(\?|$)")
failed, counts = [], ""
for table, settings in (("shipped table", "resources/setting.ini"), (".ts listed", listing)):
    for streams in (True, False):
        out = subprocess.run(command(settings, streams, "--format", "jsonl"), capture_output=True, text=True, check=True)
        rows = [json.loads(line) for line in out.stdout.splitlines()]
        counts = counts or out.stderr.strip().splitlines()[-1]
        titles = [row for row in rows if "stream" in row]
        segments = [row for row in rows if segment.search(row["address"])]
        line = (f"{table}, streams {'on ' if streams else 'off'}: {len(rows)} rows, {len(titles)} stream rows, "
                f"{len(segments)} segment rows")
        for title in titles:
            s = title["stream"]
            line += (f"; {title['address']}: {len(s['variants'])} variants, {s['segments']} segments, "
                     f"{s['segment_bytes'] / 1e6:.1f} MB, {s['duration']:.0f} s")
        print(line)
        if streams and (len(titles) != 1 or segments):
            failed.append(f"{table}: with streams on, {len(titles)} stream rows and {len(segments)} segment rows")
print(counts)
if failed:
    sys.exit("FAILED: " + "; ".join(failed))
EOF
rm -f "$listing"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "the keep-alive, HTTPS and stream parts record their captures in a network namespace: run as root" >&2
    exit 0
fi
if [ "$only" = streams ]; then
    streams_session
    exit 0
fi
if [ "$only" != tls ]; then
keepalive_capture=$out/keepalive-150m.pcap
[ -f "$keepalive_capture" ] || bench/make-keepalive-capture.sh "$keepalive_capture" 150 >/dev/null
ls -l "$keepalive_capture" | awk '{printf "\nkeep-alive capture (frames up to 64 KiB): %s, %.0f MB\n", $9, $5/1e6}'
compare_tools "$keepalive_capture"
echo "rows listed by velmora-cli: $($build/velmora-cli -r "$keepalive_capture" --settings resources/setting.ini 2>/dev/null | wc -l)"
fi
[ "$only" = keepalive ] && exit 0

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
    "velmora-cli|$build/velmora-cli -r $https_capture --settings resources/setting.ini"
    "velmora-cli --tls-keylog|$build/velmora-cli -r $https_capture --settings resources/setting.ini --tls-keylog $https_keys"
    "tshark (key log)|tshark -n -r $https_capture -o tls.keylog_file:$https_keys -Y 'http.request or http2.type == 1' -T fields -e http.request.full_uri -e http2.request.full_uri"
)
measure "${https_tools[@]}"
report "${https_tools[@]}"
echo
echo "HTTPS rows listed by velmora-cli --tls-keylog: $($build/velmora-cli -r "$https_capture" --settings resources/setting.ini --tls-keylog "$https_keys" 2>/dev/null | wc -l)"

# HTTP/3: the same for QUIC downloads with the client's key log (bench/make-quic-capture.sh): every
# server packet is opened too, for the connection IDs and the answers' heads.
quic_capture=$out/quic-200m.pcap
quic_keys=$out/quic-200m.keys
if [ ! -f "$quic_capture" ] || [ ! -f "$quic_keys" ]; then
    bench/make-quic-capture.sh "$quic_capture" "$quic_keys" 200 2>/dev/null
fi
ls -l "$quic_capture" | awk '{printf "\nQUIC capture: %s, %.0f MB\n", $9, $5/1e6}'
quic_tools=(
    "velmora-cli|$build/velmora-cli -r $quic_capture --settings resources/setting.ini"
    "velmora-cli --tls-keylog|$build/velmora-cli -r $quic_capture --settings resources/setting.ini --tls-keylog $quic_keys"
    "tshark (key log)|tshark -n -r $quic_capture -o tls.keylog_file:$quic_keys -Y 'quic.stream.stream_id' -T fields -e quic.stream.stream_id"
)
measure "${quic_tools[@]}"
report "${quic_tools[@]}"
echo
echo "HTTP/3 rows listed by velmora-cli --tls-keylog: $($build/velmora-cli -r "$quic_capture" --settings resources/setting.ini --tls-keylog "$quic_keys" 2>/dev/null | wc -l)"

if [ -z "$only" ]; then
    streams_session
fi
