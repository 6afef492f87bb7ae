#!/usr/bin/env bash
# Records tests/data/tls_window_mixed.pcap with its key log (.keys) and tshark's GET requests
# (.oracle.txt): clear-text HTTP requests to a python server on 127.0.0.1:8080 between HTTPS ones to
# nginx on 127.0.0.1:8443 (nginx.conf.in; HTTP/2 with several requests on one connection, HTTP/1.1, and a
# connection whose keys are not logged), all in one capture, so the window's test sees decrypted rows
# interleave with clear-text rows. Recorded inside a private network namespace.
# Needs root, nginx-light, curl, openssl, dumpcap and tshark.
#   tests/tls/record-window-capture.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
work=$(mktemp -d /tmp/velmora-tls-window.XXXXXX)
ns=velmora-tls-window-$$
dumpcap_pid= http_pid= nginx_pid=

cleanup() {
    # Every background program was started with "ip netns exec", which becomes the program itself: its pid is $!.
    for pid in "$dumpcap_pid" "$http_pid" "$nginx_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip netns exec "$ns" ip link set lo mtu 1500 up
in_ns() { ip netns exec "$ns" "$@"; }
mkdir -p "$work/root" "$work/clear/clear"
head -c 3000 /dev/zero >"$work/clear/clear/first.mp4"
head -c 3000 /dev/zero >"$work/clear/clear/second.flv"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=media.velmora.test \
    -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$work/root|g" "$here/nginx.conf.in" >"$work/nginx.conf"
ip netns exec "$ns" /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
nginx_pid=$!
ip netns exec "$ns" /usr/bin/python3 -m http.server 8080 --bind 127.0.0.1 --directory "$work/clear" >/dev/null 2>&1 &
http_pid=$!
for _ in $(seq 50); do
    in_ns curl -sk -o /dev/null https://127.0.0.1:8443/ && in_ns curl -s -o /dev/null http://127.0.0.1:8080/ && break
    sleep 0.1
done

keys=$data/tls_window_mixed.keys
: >"$keys"
host=https://media.velmora.test:8443
# Bodies after the first URL would go to standard output: they are not wanted.
curl_tls() { in_ns env SSLKEYLOGFILE="$keys" curl -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null "$@" >/dev/null; }
clear_get() { in_ns curl -s -o /dev/null "http://127.0.0.1:8080/$1"; }

ip netns exec "$ns" dumpcap -q -i lo -P -s 65535 -f "tcp port 8443 or tcp port 8080" -w "$work/mixed.pcap" 2>/dev/null &
dumpcap_pid=$!
sleep 1
clear_get clear/first.mp4
curl_tls --http2 "$host/video/clip.mp4?exp=1.5&sig=a.b" "$host/index.html" "$host/music/song.mp3"
clear_get clear/second.flv
curl_tls --http1.1 "$host/pictures/poster.jpg"
keys=$work/elsewhere.keys curl_tls --http2 "$host/secret/no-keys.mp4"
sleep 0.5
kill "$dumpcap_pid"
wait "$dumpcap_pid" 2>/dev/null || true
dumpcap_pid=
cp "$work/mixed.pcap" "$data/tls_window_mixed.pcap"

# tshark's GET requests from the same frames and key log: frame number, a tab, the address.
"$here/tshark-requests.sh" "$data/tls_window_mixed.pcap" "$keys" >"$data/tls_window_mixed.oracle.txt"
echo "tls_window_mixed: $(stat -c %s "$data/tls_window_mixed.pcap") bytes"
cat "$data/tls_window_mixed.oracle.txt"
