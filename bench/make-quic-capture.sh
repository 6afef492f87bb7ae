#!/usr/bin/env bash
# Records a capture of HTTP/3 media downloads over loopback with the client's TLS key log, for the
# benchmark of --tls-keylog on QUIC: ngtcp2's gtlsclient fetches media files of a few MB from its
# gtlsserver on 127.0.0.1 (several requests a connection, the three AEAD suites in turn) until about
# SIZE_MB have been recorded, in a private network namespace whose loopback has an Ethernet-sized
# MTU. Needs root, ngtcp2-client, ngtcp2-server and dumpcap.
#   bench/make-quic-capture.sh OUT.pcap OUT.keys [SIZE_MB]
set -euo pipefail
out=${1:?capture to write} keys=${2:?key log to write} size_mb=${3:-200}
work=$(mktemp -d /tmp/velmora-quic-bench.XXXXXX)
ns=velmora-quic-bench-$$
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip netns exec "$ns" ip link set lo mtu 1500 gso_max_size 1500 up
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=media.velmora.test \
    -addext subjectAltName=DNS:media.velmora.test -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
mkdir -p "$work/htdocs/media"
for i in $(seq 0 19); do
    head -c $(((1 + i % 4) * 500000)) /dev/urandom >"$work/htdocs/media/clip$i.mp4"
done
: >"$keys"

# Background processes in the namespace, by the pid each reports itself (ip netns exec forks).
start_bg() {
    rm -f "$work/bg.pid"
    ip netns exec "$ns" sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$work/bg.pid" "$@" >/dev/null 2>&1 &
    for _ in $(seq 50); do [ -s "$work/bg.pid" ] && break; sleep 0.1; done
    bg_pid=$(cat "$work/bg.pid")
    pids+=("$bg_pid")
}
start_bg gtlsserver -q -d "$work/htdocs" 127.0.0.1 4433 "$work/server.key" "$work/server.crt"
start_bg dumpcap -q -i lo -P -s 65535 -B 256 -f "udp port 4433" -w "$out"
dumpcap_pid=$bg_pid
sleep 1

suites=(AES-128-GCM AES-256-GCM CHACHA20-POLY1305)
host=https://media.velmora.test:4433
round=0
while [ "$(stat -c %s "$out")" -lt $((size_mb * 1000000)) ]; do
    urls=()
    for j in $(seq 0 7); do urls+=("$host/media/clip$(((round * 8 + j) % 20)).mp4?session=$round.$j"); done
    ip netns exec "$ns" env SSLKEYLOGFILE="$keys" timeout 60 gtlsclient -q --exit-on-all-streams-close \
        --ciphers "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+${suites[round % 3]}" \
        127.0.0.1 4433 "${urls[@]}" >/dev/null 2>&1 || true
    round=$((round + 1))
done
sleep 0.5
kill "$dumpcap_pid"
while kill -0 "$dumpcap_pid" 2>/dev/null; do sleep 0.1; done
echo "recorded $out: $(stat -c %s "$out") bytes, $round connections, $((round * 8)) requests"
