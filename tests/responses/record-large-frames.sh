#!/usr/bin/env bash
# Records the large-frame captures in tests/data: media answers of 2 KB to 1 MB on one keep-alive
# connection, recorded on a loopback device that keeps its 65536-byte MTU and its segmentation
# offload, so that frames of up to 64 KiB come out. Clients: curl over clear text (large_http),
# HTTP/1.1 over TLS (large_h1_tls), HTTP/2 over TLS (large_h2_tls), and headless Chromium fetching
# the same addresses one after another from a page, over clear text (large_chromium_http), HTTP/2
# over TLS (large_chromium_h2) and HTTP/1.1 over TLS (large_chromium_h1_tls: port 8444, where nginx
# offers no HTTP/2, so ALPN settles on http/1.1). For each LARGE.pcap it writes LARGE.s1514.pcap
# (the same frames cut to 1514 bytes, as a capture with a snap length of 1514 holds them, wire
# length kept), LARGE.keys (TLS secrets), LARGE.answers.txt (what tshark reads of each answer, by
# tshark-answers.sh) and LARGE.served.txt (nginx's log: address, status, Content-Type, body bytes).
# Records the captures named, all of them when none is; the others in tests/data are left alone.
# Needs root, nginx-light, curl, chromium, openssl, dumpcap, editcap and tshark.
#   tests/responses/record-large-frames.sh [LARGE...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
all=(large_http large_h1_tls large_h2_tls large_chromium_http large_chromium_h2
    large_chromium_h1_tls)
names=("$@")
[ $# -gt 0 ] || names=("${all[@]}")
for name in "${names[@]}"; do
    [[ " ${all[*]} " == *" $name "* ]] || { echo "unknown capture: $name (one of: ${all[*]})" >&2; exit 2; }
done
work=$(mktemp -d /tmp/velmora-large-record.XXXXXX)
ns=velmora-large-record-$$
dumpcap_pid= nginx_pid= chromium_pid=

cleanup() {
    [ -n "$chromium_pid" ] && kill -- "-$chromium_pid" 2>/dev/null || true
    for pid in $dumpcap_pid $nginx_pid; do kill "$pid" 2>/dev/null || true; done
    sleep 0.2
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
in_ns() { ip netns exec "$ns" "$@"; }

ip netns add "$ns"
in_ns ip link set lo up # default MTU 65536, GSO/GRO/TSO left on

# The media files (random bytes), in the order they are fetched.
root=$work/root
mkdir -p "$root/media" "$root/hls" "$root/dash" "$root/images" "$root/blobs"
head -c 10240 /dev/urandom >"$root/media/short.mp4"
head -c 40960 /dev/urandom >"$root/hls/seg1.ts"
head -c 204800 /dev/urandom >"$root/dash/seg1.m4s"
head -c 1048576 /dev/urandom >"$root/media/movie.mp4"
head -c 307200 /dev/urandom >"$root/blobs/video.bin"
head -c 153600 /dev/urandom >"$root/blobs/audio.bin"
head -c 5000 /dev/urandom >"$root/images/poster.jpg"
head -c 15000 /dev/urandom >"$root/media/clip15000.mp4"
head -c 16000 /dev/urandom >"$root/media/clip16000.mp4"
head -c 2048 /dev/urandom >"$root/blobs/preview.bin"
paths=(/media/short.mp4 /hls/seg1.ts /dash/seg1.m4s /media/movie.mp4
    "/videoplayback?id=7f3a.c2&itag=18&mime=video%2Fmp4" /api/play/77812 /images/poster.jpg
    /media/clip15000.mp4 /media/clip16000.mp4 /clip/preview)

# The page Chromium loads: the same addresses fetched one after another, each body read to its end
# before the next request, so that they share a connection; then /done.
{
    printf '<!doctype html><meta charset="utf-8"><link rel="icon" href="data:,"><title>media</title>\n<script>\n'
    printf 'const paths = [\n'
    printf "  '%s',\n" "${paths[@]}"
    printf '];\n(async () => {\n'
    printf '  for (const p of paths) { const r = await fetch(p, {cache: "no-store"}); await r.arrayBuffer(); }\n'
    printf '  await fetch("/done", {cache: "no-store"});\n})();\n</script>\n'
} >"$root/index.html"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=media.velmora.test \
    -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" "$here/nginx-large.conf.in" >"$work/nginx.conf"
in_ns /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] && in_ns curl -s -o /dev/null http://127.0.0.1:8080/done && break
    sleep 0.1
done
nginx_pid=$(cat "$work/nginx.pid")

logged=0
start_capture() {
    rm -f "$work/dumpcap.pid"
    logged=$(wc -l <"$work/access.log")
    in_ns sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 0 -B 256 -f "tcp port 8080 or tcp port 8443 or tcp port 8444" -w "$2"' sh \
        "$work/dumpcap.pid" "$work/$1.pcap" 2>/dev/null &
    sleep 1
    dumpcap_pid=$(cat "$work/dumpcap.pid")
}
stop_capture() {
    sleep 0.5
    kill "$dumpcap_pid"
    while kill -0 "$dumpcap_pid" 2>/dev/null; do sleep 0.1; done
    dumpcap_pid=
    install -m 644 "$work/$1.pcap" "$data/$1.pcap"
    tail -n +"$((logged + 1))" "$work/access.log" >"$data/$1.served.txt"
}

curl_all() { # base curl-options...
    local base=$1 args=()
    shift
    for p in "${paths[@]}"; do args+=(-o /dev/null "$base$p"); done
    in_ns env SSLKEYLOGFILE="${keys:-/dev/null}" curl -sSk --resolve media.velmora.test:8443:127.0.0.1 \
        --resolve media.velmora.test:8080:127.0.0.1 "$@" "${args[@]}"
}

chromium_page() { # page-address
    local profile
    profile=$(mktemp -d "$work/chromium.XXXXXX")
    rm -f "$work/chromium.pid"
    in_ns env HOME="$profile" setsid sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$work/chromium.pid" \
        /usr/bin/chromium --headless --disable-gpu --no-sandbox --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --disable-quic --user-data-dir="$profile" \
        --ssl-key-log-file="$keys" --ignore-certificate-errors \
        --host-resolver-rules="MAP media.velmora.test 127.0.0.1" "$1" >"$work/chromium.log" 2>&1 &
    for _ in $(seq 50); do [ -s "$work/chromium.pid" ] && break; sleep 0.1; done
    chromium_pid=$(cat "$work/chromium.pid")
    for _ in $(seq 600); do
        tail -n +"$((logged + 1))" "$work/access.log" | grep -q '^/done' && break
        sleep 0.1
    done
    tail -n +"$((logged + 1))" "$work/access.log" | grep -q '^/done' || { echo "Chromium did not finish" >&2; exit 1; }
    kill -- "-$chromium_pid"
    while kill -0 "$chromium_pid" 2>/dev/null; do sleep 0.1; done
    chromium_pid=
}

record() { # name
    keys=
    case $1 in
    large_http)
        start_capture "$1"
        curl_all http://media.velmora.test:8080 --http1.1
        ;;
    large_h1_tls | large_h2_tls)
        keys=$data/$1.keys
        : >"$keys"
        start_capture "$1"
        if [ "$1" = large_h1_tls ]; then curl_all https://media.velmora.test:8443 --http1.1
        else curl_all https://media.velmora.test:8443 --http2; fi
        ;;
    large_chromium_http)
        keys=$work/unused.keys
        start_capture "$1"
        chromium_page http://media.velmora.test:8080/index.html
        ;;
    large_chromium_h2)
        keys=$data/$1.keys
        : >"$keys"
        start_capture "$1"
        chromium_page https://media.velmora.test:8443/index.html
        ;;
    large_chromium_h1_tls)
        keys=$data/$1.keys
        : >"$keys"
        start_capture "$1"
        chromium_page https://media.velmora.test:8444/index.html
        ;;
    esac
    stop_capture "$1"
}

for name in "${names[@]}"; do record "$name"; done

for name in "${names[@]}"; do
    key=$data/$name.keys
    [ -f "$key" ] || key=
    if tshark -n -r "$data/$name.pcap" -Y tcp.analysis.lost_segment 2>/dev/null | grep -q .; then
        echo "$name: the capture lost frames" >&2
        exit 1
    fi
    editcap -F pcap -s 1514 "$data/$name.pcap" "$data/$name.s1514.pcap"
    "$here/tshark-answers.sh" "$data/$name.pcap" "$key" >"$data/$name.answers.txt"
    echo "$name: $(stat -c %s "$data/$name.pcap") bytes, largest frame" \
        "$(tshark -n -r "$data/$name.pcap" -T fields -e frame.len 2>/dev/null | sort -n | tail -1)," \
        "$(wc -l <"$data/$name.answers.txt") answers, $(wc -l <"$data/$name.served.txt") served," \
        "$(tshark -n -r "$data/$name.pcap" -Y 'tcp.flags.syn == 1 && tcp.flags.ack == 0' 2>/dev/null | wc -l) connections"
done
