#!/usr/bin/env bash
# Records a capture of clear-text media downloads on keep-alive connections, the way loopback gives
# them (MTU 65536, segmentation offload on: frames of up to 64 KiB), for the benchmark of whole frames:
# curl fetches files of a few MB from nginx on 127.0.0.1, ten requests a connection, some of them
# extensionless and listed by their media type, until about SIZE_MB have been recorded. All of it
# happens in a private network namespace. Needs root.
#   bench/make-keepalive-capture.sh OUT.pcap [SIZE_MB]
set -euo pipefail
out=$(realpath -m "${1:?capture to write}") size_mb=${2:-150}
work=$(mktemp -d /tmp/velmora-keepalive-bench.XXXXXX)
ns=velmora-keepalive-bench-$$
dumpcap_pid= nginx_pid=

cleanup() {
    for pid in $dumpcap_pid $nginx_pid; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up # its own MTU and offloads, as on any machine
mkdir -p "$work/root/media" "$work/root/play"
for i in $(seq 0 9); do
    head -c $(((1 + i % 5) * 1000000)) /dev/urandom >"$work/root/media/clip$i.mp4"
    head -c $(((1 + i % 3) * 700000)) /dev/urandom >"$work/root/play/$i"
done
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    types { video/mp4 mp4; }
    server {
        listen 127.0.0.1:8080;
        root $work/root;
        location /play/ { types { } default_type audio/mpeg; }
    }
}
CONF
ip netns exec "$ns" /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] && ip netns exec "$ns" curl -s -o /dev/null http://127.0.0.1:8080/media/clip0.mp4 && break
    sleep 0.1
done
nginx_pid=$(cat "$work/nginx.pid")

ip netns exec "$ns" sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 0 -B 256 -f "tcp port 8080" -w "$2"' sh \
    "$work/dumpcap.pid" "$out" 2>"$work/dumpcap.log" &
for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.1; done
dumpcap_pid=$(cat "$work/dumpcap.pid")

round=0
while [ "$(stat -c %s "$out")" -lt $((size_mb * 1000000)) ]; do
    urls=()
    for j in $(seq 0 4); do
        urls+=("http://media.velmora.test:8080/media/clip$(((round + j) % 10)).mp4?session=$round.$j")
        urls+=("http://media.velmora.test:8080/play/$(((round + j) % 10))?session=$round.$j")
    done
    # A modest rate keeps dumpcap from dropping frames.
    ip netns exec "$ns" curl -s --limit-rate 80M --resolve media.velmora.test:8080:127.0.0.1 "${urls[@]}" >/dev/null
    round=$((round + 1))
done
sleep 0.5
kill "$dumpcap_pid"
while kill -0 "$dumpcap_pid" 2>/dev/null; do sleep 0.1; done
dumpcap_pid=
echo "recorded $out: $(stat -c %s "$out") bytes, $round connections, $((round * 10)) requests"
