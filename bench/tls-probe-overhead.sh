#!/usr/bin/env bash
# What velmora-tls costs the programs it hooks: one curl process makes N HTTPS GETs of a 1 MB file from
# nginx on 127.0.0.1 over one keep-alive connection, without the probe, with its default hooks (what is
# sent) and with --receive (the answers too, 64 KiB of every read copied). The probe and curl run as an
# ordinary user, the probe as a copy with cap_sys_admin, in a network namespace of the bench's own.
# Prints for each way the transfers' wall time, curl's CPU time (user + system; the uprobe traps are
# system time), the probe's CPU time, its peak RSS and its records and losses, then the ratios to the run
# without the probe.
# Usage: bench/tls-probe-overhead.sh BUILD_DIR [N]      (as root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" != --in-namespace ]; then
    [ "$(id -u)" -eq 0 ] || { echo "tls-probe-overhead: run it as root" >&2; exit 1; }
    exec unshare -n "$0" --in-namespace "$(cd "$1" && pwd)" "${2:-2000}"
fi
build=$2 count=$3
ip link set lo up
source "$here/../tests/probe/probe-session.sh"
work=$(mktemp -d /tmp/velmora-tls-bench.XXXXXX)
cleanup() {
    probe_session_teardown
    rm -rf "$work"
}
trap cleanup EXIT
probe_session_setup "$work" "$build" velmora-probe
head -c $((1 << 20)) /dev/urandom >"$work/root/big.bin"
probe_server_start
# The first address goes through the gated relay, so curl is hooked before the others go straight to nginx.
{
    echo 'insecure'
    echo 'url = "https://127.0.0.1:8444/ok.txt"'
    echo 'output = "/dev/null"'
    for i in $(seq "$count"); do
        echo "url = \"https://127.0.0.1:8443/big.bin?i=$i\""
        echo 'output = "/dev/null"'
    done
} >"$work/curl.config"
chmod 0644 "$work/curl.config"

seconds() { # 0m1.234s -> 1.234
    awk '{ split($0, p, /[ms]/); printf "%.3f", p[1] * 60 + p[2] }' <<<"$1"
}

run() { # WAY [velmora-tls args]
    local way=$1 probe_cpu=- probe_rss=- records=- lost=-
    shift
    if [ "$way" != none ]; then
        # The records go to /dev/null: what reading them costs is the engine's, measured by its own benchmarks.
        ln -sf /dev/null "$work/$way.vtls"
        probe_start "$way" "$@"
    fi
    rm -f "$work/gate"
    (
        "${probe_as_user[@]}" curl -s -K "$work/curl.config" -w '%{time_total}\n' >"$work/$way.times"
        times >"$work/$way.cpu"
    ) &
    local client=$!
    if [ "$way" != none ]; then
        for _ in $(seq 200); do grep -q '^attached ' "$work/$way.status" && break; sleep 0.05; done
        grep -q '^attached ' "$work/$way.status" || { echo "the probe did not hook curl" >&2; exit 1; }
    fi
    touch "$work/gate"
    wait "$client"
    if [ "$way" != none ]; then
        probe_cpu=$(awk '{ printf "%.3f", ($14 + $15) / 100 }' "/proc/$probe_pid/stat")
        probe_rss=$(awk '/^VmHWM:/ { printf "%.1f", $2 / 1024 }' "/proc/$probe_pid/status")
        probe_stop
        read -r _ records lost < <(grep '^stats' "$work/$way.status" | tail -1)
    fi
    local wall cpu
    # The first transfer waited at the relay; the others are the measurement.
    wall=$(tail -n +2 "$work/$way.times" | awk '{ s += $1 } END { printf "%.3f", s }')
    cpu=$(tail -1 "$work/$way.cpu")
    cpu=$(awk -v u="$(seconds "${cpu% *}")" -v s="$(seconds "${cpu#* }")" 'BEGIN { printf "%.3f", u + s }')
    echo "$way $wall $cpu $probe_cpu $probe_rss $records $lost" >>"$work/results"
}

run none
run sent
run receive --receive
echo "$count GETs of 1 MB over one connection (curl $(curl --version | head -1 | cut -d' ' -f2), nginx, 127.0.0.1)"
printf '%-8s %10s %10s %10s %10s %10s %10s %9s %9s\n' way wall_s curl_cpu_s probe_cpu_s probe_MiB records lost \
    wall_x cpu_x
read -r _ base_wall base_cpu _ <"$work/results"
while read -r way wall cpu probe_cpu probe_rss records lost; do
    printf '%-8s %10s %10s %10s %10s %10s %10s %9s %9s\n' "$way" "$wall" "$cpu" "$probe_cpu" "$probe_rss" \
        "$records" "$lost" "$(awk -v a="$wall" -v b="$base_wall" 'BEGIN { printf "%.2f", a / b }')" \
        "$(awk -v a="$cpu" -v b="$base_cpu" 'BEGIN { printf "%.2f", a / b }')"
done <"$work/results"
