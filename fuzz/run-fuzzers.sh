#!/usr/bin/env bash
# Runs every fuzz_* program of a build for the given number of seconds each.
# Usage: fuzz/run-fuzzers.sh BUILD_DIR SECONDS
# Corpora grow under BUILD_DIR/fuzz-corpus/NAME; crashes land in BUILD_DIR/fuzz-artifacts/.
set -uo pipefail
build=${1:?usage: run-fuzzers.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run-fuzzers.sh BUILD_DIR SECONDS}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)

# Seeds: fuzz/corpus/NAME if present, with the dictionary fuzz/NAME.dict if present; the capture-file fuzzer also starts from the small test captures.
seed() {
    local name=$1 corpus=$2
    if [ -d "$source_dir/fuzz/corpus/$name" ]; then
        cp -n "$source_dir/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
    fi
    if [ "$name" = fuzz_capture_file ]; then
        find "$source_dir/tests/data" -maxdepth 1 \( -name '*.pcap' -o -name '*.pcapng' \) -size -64k \
            -exec cp -n {} "$corpus"/ \;
    fi
    if [ "$name" = fuzz_tls_keylog ]; then
        cp -n "$source_dir"/tests/data/*.keys "$corpus"/
    fi
    if [ "$name" = fuzz_tls_connections ] || [ "$name" = fuzz_quic_connections ]; then
        # The frames of the HTTPS or QUIC test captures (classic pcap), joined by the target's separator;
        # the QUIC target reads frames after a first byte that picks its mode.
        if [ "$name" = fuzz_tls_connections ]; then pattern='tls*.pcap' prefix=''; else pattern='quic*.pcap' prefix='\x00'; fi
        for capture in "$source_dir"/tests/data/$pattern; do
            /usr/bin/python3 - "$capture" "$corpus/$(basename "$capture" .pcap)" "$prefix" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
frames, at = [], 24
while at + 16 <= len(data):
    length = struct.unpack_from('<I', data, at + 8)[0]
    frames.append(data[at + 16:at + 16 + length])
    at += 16 + length
prefix = b'\x00' if sys.argv[3] else b''
open(sys.argv[2], 'wb').write(prefix + b'\xff\xfe\xfd'.join(frames))
PY
        done
    fi
}

mapfile -t fuzzers < <(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#fuzzers[@]} -eq 0 ]; then
    echo "no fuzz_* programs under $build/fuzz" >&2
    exit 1
fi

mkdir -p "$build/fuzz-artifacts"
failed=()
for fuzzer in "${fuzzers[@]}"; do
    name=$(basename "$fuzzer")
    corpus="$build/fuzz-corpus/$name"
    mkdir -p "$corpus"
    seed "$name" "$corpus"
    dict=()
    if [ -f "$source_dir/fuzz/$name.dict" ]; then
        dict=(-dict="$source_dir/fuzz/$name.dict")
    fi
    echo "== $name for ${seconds}s (corpus $corpus)"
    if ! "$fuzzer" "${dict[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$name-" "$corpus" >"$build/fuzz-artifacts/$name.log" 2>&1; then
        failed+=("$name")
        tail -n 60 "$build/fuzz-artifacts/$name.log"
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/fuzz-artifacts/$name.log" || true
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzers failed: ${failed[*]} (see $build/fuzz-artifacts)" >&2
    exit 1
fi
echo "all ${#fuzzers[@]} fuzzers ran ${seconds}s without a failure"
