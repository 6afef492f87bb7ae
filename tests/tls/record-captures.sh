#!/usr/bin/env bash
# Records the HTTPS test captures in tests/data (tls_*.pcap with their key logs tls_*.keys and the
# GET requests tshark decrypts from them, tls_*.oracle.txt). curl writes the TLS secrets
# (SSLKEYLOGFILE) while it fetches from nginx on 127.0.0.1, inside a private network namespace
# whose loopback has an Ethernet-sized MTU, so that a large request spans several segments.
# Needs root, nginx-light, curl, openssl, dumpcap and tshark.
#   tests/tls/record-captures.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
work=$(mktemp -d /tmp/velmora-tls-record.XXXXXX)
ns=velmora-tls-record-$$
dumpcap_pid=
source "$here/https-server.sh"

cleanup() {
    [ -n "$dumpcap_pid" ] && kill "$dumpcap_pid" 2>/dev/null || true
    https_server_stop
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip netns exec "$ns" ip link set lo mtu 1500 up
mkdir -p "$work/root"
https_server_start "$work" "$work/root"

in_ns() { ip netns exec "$ns" "$@"; }
url=https://127.0.0.1:8443
# curl reaches the server by the name in the certificate; the address stays 127.0.0.1.
curl_tls() { in_ns env SSLKEYLOGFILE="$keys" curl -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null "$@" >/dev/null; }
host=https://media.velmora.test:8443
big_cookie="session=$(head -c 4500 /dev/zero | tr '\0' 'a')"

# dumpcap's own pid is taken from inside the namespace: ip netns exec runs it as a child.
start_capture() {
    rm -f "$work/dumpcap.pid"
    in_ns sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 65535 -f "tcp port 8443" -w "$2"' sh \
        "$work/dumpcap.pid" "$work/$1.pcap" 2>/dev/null &
    sleep 1
    dumpcap_pid=$(cat "$work/dumpcap.pid")
}
stop_capture() {
    sleep 0.5
    kill "$dumpcap_pid"
    while kill -0 "$dumpcap_pid" 2>/dev/null; do sleep 0.1; done
    dumpcap_pid=
    cp "$work/$1.pcap" "$data/$1.pcap"
}

# TLS 1.3 with HTTP/2: each TLS 1.3 suite; several requests on one connection (a query string with
# a dot, a duplicate, a page that is no media file, an escaped Chinese name, a HEAD, a header block
# larger than one segment); one connection whose keys are not logged.
keys=$data/tls13_h2.keys
: >"$keys"
start_capture tls13_h2
curl_tls --http2 --tls13-ciphers TLS_AES_128_GCM_SHA256 \
    "$host/video/clip.mp4?exp=1.5&sig=a.b" "$host/audio/song.mp3" "$host/index.html" \
    "$host/video/clip.mp4?exp=1.5&sig=a.b" "$host/%E8%A7%86%E9%A2%91/%E7%94%B5%E5%BD%B1.mp4" \
    --next -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null -I "$host/video/head-only.mp4" \
    --next -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null -H "Cookie: $big_cookie" \
    -H "Referer: $host/watch?v=1" "$host/video/big-header.flv#t=10"
curl_tls --http2 --tls13-ciphers TLS_AES_256_GCM_SHA384 "$host/pictures/poster.jpg"
curl_tls --http2 --tls13-ciphers TLS_CHACHA20_POLY1305_SHA256 "$host/live/stream.m3u8?token=x.y"
keys=$work/elsewhere.keys curl_tls --http2 "$host/secret/no-keys.mp4"
stop_capture tls13_h2

# TLS 1.3 with HTTP/1.1: keep-alive requests on one connection, a POST with a body and a chunked
# upload before further GETs, a request head larger than one segment.
keys=$data/tls13_http11.keys
: >"$keys"
head -c 3000 /dev/urandom | base64 -w0 >"$work/upload.txt"
start_capture tls13_http11
curl_tls --http1.1 "$host/music/a.mp3" "$host/music/b.ogg?x=1.2" \
    --next -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null --http1.1 -d "@$work/upload.txt" \
    "$host/upload/form.mp4" \
    --next -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null --http1.1 -H "Transfer-Encoding: chunked" \
    -d "@$work/upload.txt" "$host/upload/chunked.mp4" \
    --next -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null --http1.1 "$host/music/after-body.wav" \
    --next -sk --resolve media.velmora.test:8443:127.0.0.1 -o /dev/null --http1.1 -H "Cookie: $big_cookie" \
    "$host/video/large-head.mkv"
stop_capture tls13_http11

# TLS 1.2: each AEAD suite after ECDHE, over HTTP/2 and HTTP/1.1, and a CBC suite that is not
# decrypted.
keys=$data/tls12_suites.keys
: >"$keys"
start_capture tls12_suites
curl_tls --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES128-GCM-SHA256 --http2 "$host/tls12/aes128.mp4"
curl_tls --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES256-GCM-SHA384 --http1.1 "$host/tls12/aes256.flv"
curl_tls --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-CHACHA20-POLY1305 --http2 "$host/tls12/chacha.webm"
curl_tls --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES128-SHA256 --http1.1 "$host/tls12/cbc-not-listed.mp4"
stop_capture tls12_suites

# TLS 1.3 KeyUpdate: openssl s_client sends one when it reads a line "K", between two requests.
keys=$data/tls13_keyupdate.keys
: >"$keys"
start_capture tls13_keyupdate
request() { printf 'GET %s HTTP/1.1\nHost: media.velmora.test:8443\n\n' "$1"; }
(request /keyupdate/before.mp4; sleep 0.5; echo K; sleep 0.5; request /keyupdate/after.mp4; sleep 0.5) |
    in_ns openssl s_client -crlf -keylogfile "$keys" -connect 127.0.0.1:8443 -tls1_3 -alpn http/1.1 \
        >/dev/null 2>&1 || true
stop_capture tls13_keyupdate

# A capture started in the middle of a connection: its requests come one a second; the capture
# begins after the first, and a second connection starts while it runs.
keys=$data/tls_midstream.keys
: >"$keys"
curl_tls --http1.1 --rate 1/s "$host/mid/one.mp4" "$host/mid/two.mp4" "$host/mid/three.mp4" "$host/mid/four.mp4" &
curl_pid=$!
sleep 1.3
start_capture tls_midstream # returns a second later, between two requests
curl_tls --http2 "$host/mid/new-connection.mp3"
wait "$curl_pid"
stop_capture tls_midstream

# What tshark decrypts from each: the GET requests, one address a line in frame order.
for name in tls13_h2 tls13_http11 tls12_suites tls13_keyupdate tls_midstream; do
    "$here/tshark-requests.sh" "$data/$name.pcap" "$data/$name.keys" >"$data/$name.oracle.txt"
    echo "$name: $(wc -l <"$data/$name.oracle.txt") GET requests, $(stat -c %s "$data/$name.pcap") bytes"
done
