#!/usr/bin/env bash
# Frames per second velmora-cli keeps up with before the kernel drops, on a loopback flood of small UDP
# frames, capturing directly (root) and through velmora-capture (an ordinary user in a scratch group, the
# helper holding cap_net_raw). Each rate is sent by udp_flood for SECONDS in a private network namespace; the
# table gives the rate really sent and the kernel's drop count for both ways, and the last line the highest
# rate each kept up with.
# Usage: bench/capture-helper-flood.sh BUILD_DIR [SECONDS] [RATE ...]      (as root)
set -euo pipefail
if [ "${1:-}" = --in-namespace ]; then
    work=$2 gid=$3 seconds=$4
    shift 4
    ip link set lo up
    for rate in "$@"; do
        line="$rate"
        for way in direct helper; do
            run=("$work/velmora-cli")
            [ "$way" = helper ] && run=(setpriv --reuid=65534 --regid=65534 --groups="$gid" env -i PATH=/usr/bin:/bin
                HOME=/tmp VELMORA_CAPTURE_HELPER="$work/velmora-capture" "$work/velmora-cli")
            /usr/bin/time -f "%U %S" -o "$work/cpu" "${run[@]}" -i lo --seconds $((seconds + 2)) --settings "$work/setting.ini" >/dev/null 2>"$work/err" &
            capture=$!
            sleep 1
            "$work/udp_flood" "$rate" "$seconds" >"$work/sent"
            wait "$capture" || true
            dropped=$(sed -n 's/.*kernel dropped \([0-9]*\) frames.*/\1/p' "$work/err")
            line="$line $(cat "$work/sent") ${dropped:-0} $(awk '{ print $1 + $2 }' "$work/cpu")"
        done
        echo "$line"
    done
    exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespace, capabilities)"; exit 1; }
build=$(cd "$1" && pwd)
seconds=${2:-3}
shift $(($# >= 2 ? 2 : 1))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(50000 100000 200000 300000 400000 600000 800000)
group=velmora-b$$
work=$(mktemp -d /tmp/velmora-flood.XXXXXX)
trap 'rm -rf "$work"; groupdel "$group" 2>/dev/null || true' EXIT
groupadd --system "$group"
gid=$(getent group "$group" | cut -d: -f3)
chmod 0755 "$work"
cp "$build/velmora-capture" "$build/velmora-cli" "$build/bench/udp_flood" "$work/"
cp "$build/default-setting.ini" "$work/setting.ini"
chown "root:$group" "$work/velmora-capture"
chmod 0754 "$work/velmora-capture"
setcap cap_net_raw=ep "$work/velmora-capture"

echo "CPU: seconds of user and system time of velmora-cli (and the helper) over the whole capture"
echo "asked/s   sent/s direct  drops  CPU   sent/s helper  drops  CPU   ($seconds s per rate, 142-byte frames)"
unshare -n "$0" --in-namespace "$work" "$gid" "$seconds" "${rates[@]}" | tee "$work/table" |
    awk '{ printf "%7d  %13d  %5d  %4.2f  %13d  %5d  %4.2f\n", $1, $2, $3, $4, $5, $6, $7 }'
awk '$3 == 0 && $2 > d { d = $2 } $6 == 0 && $5 > h { h = $5 }
     END { printf "kept up with (no drop): directly %d frames/s, through the helper %d frames/s\n", d, h }' "$work/table"
