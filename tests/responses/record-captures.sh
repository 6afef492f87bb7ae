#!/usr/bin/env bash
# Records the media-page captures in tests/data: a page's media fetched over clear text
# (media_http.pcap), HTTP/1.1 over TLS (media_h1_tls.pcap) and HTTP/2 over TLS (media_h2_tls.pcap,
# with their key logs *.keys), and what tshark reads of every answer (*.answers.txt: address, status,
# media type, Content-Length, Content-Range, a line each in frame order). curl fetches from nginx on
# 127.0.0.1 inside a private network namespace whose loopback has an Ethernet-sized MTU.
# Needs root, nginx-light, curl, openssl, dumpcap and tshark.
#   tests/responses/record-captures.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
work=$(mktemp -d /tmp/velmora-media-record.XXXXXX)
ns=velmora-media-record-$$
dumpcap_pid= nginx_pid= backend_pid=

cleanup() {
    for pid in $dumpcap_pid $nginx_pid $backend_pid; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
in_ns() { ip netns exec "$ns" "$@"; }

ip netns add "$ns"
# No segmentation offload: frames as an Ethernet adapter delivers them (and within the snap length).
in_ns ip link set lo mtu 1500 gso_max_size 1500 up

# The page's files.
root=$work/root
mkdir -p "$root/media" "$root/hls" "$root/dash" "$root/images" "$root/blobs"
cat >"$root/index.html" <<'HTML'
<!doctype html><meta charset="utf-8"><title>media</title>
<video src="/media/clip.mp4"></video><img src="/images/poster.jpg">
HTML
head -c 102400 /dev/urandom >"$root/media/clip.mp4"
printf '#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nvariant.m3u8\n' >"$root/hls/master.m3u8"
printf '#EXTM3U\n#EXTINF:4,\nseg1.ts\n#EXTINF:4,\nseg2.ts\n#EXT-X-ENDLIST\n' >"$root/hls/variant.m3u8"
head -c 30000 /dev/urandom >"$root/hls/seg1.ts"
head -c 31000 /dev/urandom >"$root/hls/seg2.ts"
printf '<?xml version="1.0"?><MPD xmlns="urn:mpeg:dash:schema:mpd:2011"></MPD>\n' >"$root/dash/manifest.mpd"
head -c 20000 /dev/urandom >"$root/dash/seg1.m4s"
head -c 5000 /dev/urandom >"$root/images/poster.jpg"
head -c 204800 /dev/urandom >"$root/blobs/video.bin"
head -c 153600 /dev/urandom >"$root/blobs/audio.bin"

# A backend that answers /slow/ after a pause, so that HTTP/2 answers come out of request order.
cat >"$work/backend.py" <<'PY'
import http.server, sys, time
class Slow(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        time.sleep(1.0)
        body = b"w" * 40000
        self.send_response(200)
        self.send_header("Content-Type", "video/webm; codecs=vp9")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Slow).serve_forever()
PY
in_ns sh -c 'echo $$ >"$1"; exec /usr/bin/python3 "$2" 8090' sh "$work/backend.pid" "$work/backend.py" &
for _ in $(seq 50); do [ -s "$work/backend.pid" ] && break; sleep 0.1; done
backend_pid=$(cat "$work/backend.pid")

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=media.velmora.test \
    -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
padding=$(head -c 3600 /dev/zero | tr '\0' 'p')
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@BACKEND@|8090|g" -e "s|@PADDING@|$padding|g" \
    "$here/nginx.conf.in" >"$work/nginx.conf"
in_ns /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] && in_ns curl -s -o /dev/null http://127.0.0.1:8080/ && break
    sleep 0.1
done
nginx_pid=$(cat "$work/nginx.pid")

start_capture() {
    rm -f "$work/dumpcap.pid"
    in_ns sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 65535 -f "tcp port 8080 or tcp port 8443" -w "$2"' sh \
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

# The page as a player fetches it: one keep-alive connection (HTTP/2: one multiplexed connection),
# then a range request, then a slow answer in parallel with a fast one (HTTP/2: on one connection,
# so the answers come out of request order).
paths=(/index.html /media/clip.mp4 /hls/master.m3u8 /hls/variant.m3u8 /hls/seg1.ts /hls/seg2.ts
    /dash/manifest.mpd /dash/seg1.m4s "/videoplayback?id=7f3a.c2&itag=18&mime=video%2Fmp4" /api/play/77812
    /images/poster.jpg /api/play/404)
fetch() { # base curl-options...
    local base=$1
    shift
    local urls=()
    for p in "${paths[@]}"; do urls+=("$base$p"); done
    in_ns env SSLKEYLOGFILE="${keys:-/dev/null}" curl -sk --resolve media.velmora.test:8443:127.0.0.1 \
        --resolve media.velmora.test:8080:127.0.0.1 "$@" -o /dev/null -o /dev/null -o /dev/null -o /dev/null \
        -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null \
        "${urls[@]}"
    in_ns env SSLKEYLOGFILE="${keys:-/dev/null}" curl -sk --resolve media.velmora.test:8443:127.0.0.1 \
        --resolve media.velmora.test:8080:127.0.0.1 "$@" -r 0-999 -o /dev/null "$base/videoplayback?id=9b&itag=22"
    in_ns env SSLKEYLOGFILE="${keys:-/dev/null}" curl -sk --resolve media.velmora.test:8443:127.0.0.1 \
        --resolve media.velmora.test:8080:127.0.0.1 "$@" --parallel -o /dev/null -o /dev/null \
        "$base/slow/stream?id=1" "$base/media/clip.mp4?after=slow"
}

keys=
start_capture media_http
fetch http://media.velmora.test:8080 --http1.1
stop_capture media_http

keys=$data/media_h1_tls.keys
: >"$keys"
start_capture media_h1_tls
fetch https://media.velmora.test:8443 --http1.1
stop_capture media_h1_tls

keys=$data/media_h2_tls.keys
: >"$keys"
start_capture media_h2_tls
fetch https://media.velmora.test:8443 --http2
stop_capture media_h2_tls

# What tshark reads of each answer, with the request it answers.
for name in media_http media_h1_tls media_h2_tls; do
    "$here/tshark-answers.sh" "$data/$name.pcap" "$data/$name.keys" >"$data/$name.answers.txt"
    echo "$name: $(wc -l <"$data/$name.answers.txt") answers, $(stat -c %s "$data/$name.pcap") bytes"
done
