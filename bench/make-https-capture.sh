#!/usr/bin/env bash
# Records a capture of HTTPS media downloads over loopback with its TLS key log, for the benchmark
# of --tls-keylog: curl fetches media files of a few MB from nginx on 127.0.0.1 (TLS 1.3 and 1.2,
# HTTP/2 and HTTP/1.1, several requests a connection) until about SIZE_MB have been recorded. All of
# it happens in a private network namespace whose loopback has an Ethernet-sized MTU. Needs root.
#   bench/make-https-capture.sh OUT.pcap OUT.keys [SIZE_MB]
set -euo pipefail
out=${1:?capture to write} keys=${2:?key log to write} size_mb=${3:-200}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/velmora-https-bench.XXXXXX)
ns=velmora-https-bench-$$
dumpcap_pid=
source "$here/../tests/tls/https-server.sh"

cleanup() {
    [ -n "$dumpcap_pid" ] && kill "$dumpcap_pid" 2>/dev/null || true
    https_server_stop
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
# No segmentation offload: frames as an Ethernet adapter would deliver them.
ip netns exec "$ns" ip link set lo mtu 1500 gso_max_size 1500 up
mkdir -p "$work/root/media"
for i in $(seq 0 19); do
    head -c $(((1 + i % 4) * 500000)) /dev/urandom >"$work/root/media/clip$i.mp4"
done
https_server_start "$work" "$work/root"
: >"$keys"

ip netns exec "$ns" sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 65535 -B 256 -f "tcp port 8443" -w "$2"' sh \
    "$work/dumpcap.pid" "$out" 2>"$work/dumpcap.log" &
sleep 1
dumpcap_pid=$(cat "$work/dumpcap.pid")

host=https://media.velmora.test:8443
round=0
while [ "$(stat -c %s "$out")" -lt $((size_mb * 1000000)) ]; do
    # One connection per round, eight requests on it; the protocol and version change each round.
    case $((round % 4)) in
    0) options=(--http2 --tlsv1.3) ;;
    1) options=(--http1.1 --tlsv1.3) ;;
    2) options=(--http2 --tlsv1.2 --tls-max 1.2) ;;
    3) options=(--http1.1 --tlsv1.2 --tls-max 1.2) ;;
    esac
    urls=()
    for j in $(seq 0 7); do urls+=("$host/media/clip$(((round * 8 + j) % 20)).mp4?session=$round.$j"); done
    # A modest rate keeps dumpcap from dropping frames.
    ip netns exec "$ns" env SSLKEYLOGFILE="$keys" curl -sk --limit-rate 60M "${options[@]}" \
        --resolve media.velmora.test:8443:127.0.0.1 "${urls[@]}" >/dev/null
    round=$((round + 1))
done
sleep 0.5
kill "$dumpcap_pid"
while kill -0 "$dumpcap_pid" 2>/dev/null; do sleep 0.1; done
dumpcap_pid=
echo "recorded $out: $(stat -c %s "$out") bytes, $round connections, $((round * 8)) requests"
