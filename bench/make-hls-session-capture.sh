#!/usr/bin/env bash
# Records one long HLS session over HTTPS with its TLS key log, for the benchmark of stream reading
# (bench/compare.sh streams): ffmpeg makes a title of SEGMENTS one-second MPEG-TS segments (a master
# playlist of three small variants at about 60-150 kbit/s, each with its own audio), nginx serves it
# on 127.0.0.1 over HTTPS (TLS 1.3, HTTP/1.1, keep-alive), and ffmpeg, as the player, reads the master,
# every media playlist and every segment of one variant, as fast as the server answers, on a few
# keep-alive connections, writing its TLS keys to OUT.keys (SSLKEYLOGFILE). When the player's TLS
# library writes no keys, curl plays instead: the master, one media playlist and every segment, on
# one connection. All of it happens in a private network namespace whose loopback keeps the kernel's
# 65536-byte MTU and its offloads; the player reaches the server as media.velmora.test, named in a
# hosts file bound over /etc/hosts in a private mount namespace. Needs root, ffmpeg (libx264),
# nginx, curl, dumpcap, unshare.
#   bench/make-hls-session-capture.sh OUT.pcap OUT.keys [SEGMENTS]    (default 2400)
set -euo pipefail
out=$(realpath -m "${1:?capture to write}") keys=$(realpath -m "${2:?key log to write}") segments=${3:-2400}
[ "$segments" -ge 1 ] || { echo "SEGMENTS must be at least 1" >&2; exit 2; }
work=$(mktemp -d /tmp/velmora-hls-bench.XXXXXX)
ns=velmora-hls-bench-$$
dumpcap_pid= nginx_pid=

cleanup() {
    for pid in $dumpcap_pid $nginx_pid; do kill "$pid" 2>/dev/null || true; done
    sleep 0.2
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
in_ns() { ip netns exec "$ns" "$@"; }

need=()
for tool in ffmpeg nginx curl dumpcap openssl; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || need+=("$tool")
done
if [ ${#need[@]} -gt 0 ]; then
    apt-get update -qq
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        ffmpeg nginx-light curl wireshark-common openssl >/dev/null
fi

# The title: a small test picture at 10 frames a second with a key frame every 10 frames, so every
# segment is one second, and a quiet mono tone; three variants, each with its own copy of the audio.
root=$work/root
mkdir -p "$root/hls"
(cd "$root/hls" && nice ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc2=size=320x180:rate=10 -f lavfi -i sine=frequency=440:sample_rate=22050 -t "$segments" \
    -filter_complex '[0:v]split=3[v0][v1][v2];[v1]scale=256x144[v1s];[v2]scale=160x90[v2s]' \
    -map '[v0]' -map '[v1s]' -map '[v2s]' -map 1:a -map 1:a -map 1:a \
    -c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p -g 10 -keyint_min 10 -sc_threshold 0 \
    -b:v:0 120k -maxrate:v:0 120k -bufsize:v:0 240k -b:v:1 80k -maxrate:v:1 80k -bufsize:v:1 160k \
    -b:v:2 40k -maxrate:v:2 40k -bufsize:v:2 80k -c:a aac -b:a 24k -ac 1 \
    -f hls -hls_time 1 -hls_list_size 0 -hls_playlist_type vod -hls_segment_type mpegts \
    -master_pl_name master.m3u8 -var_stream_map 'v:0,a:0,name:180p v:1,a:1,name:144p v:2,a:2,name:90p' \
    -hls_segment_filename '%v/seg_%05d.ts' '%v/index.m3u8')
made=$(ls "$root/hls/144p" | grep -c '\.ts$')
echo "title: $made segments a variant, $(du -sh "$root/hls" | cut -f1) in all"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=media.velmora.test \
    -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
    log_format served '\$connection \$request_uri \$status \$body_bytes_sent';
    access_log $work/access.log served;
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    types {
        application/vnd.apple.mpegurl m3u8;
        video/mp2t ts;
    }
    default_type application/octet-stream;
    gzip off;
    keepalive_requests 100000;
    keepalive_timeout 300s;
    server {
        listen 127.0.0.1:8443 ssl;
        server_name media.velmora.test;
        ssl_certificate $work/server.crt;
        ssl_certificate_key $work/server.key;
        ssl_protocols TLSv1.3;
        ssl_session_tickets off;
        root $root;
        location = /done { return 204; }
    }
}
CONF
ip netns add "$ns"
in_ns ip link set lo up # default MTU 65536, GSO/GRO/TSO left on
in_ns /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] && in_ns curl -sk -o /dev/null https://127.0.0.1:8443/done && break
    sleep 0.1
done
nginx_pid=$(cat "$work/nginx.pid")
printf '127.0.0.1\tmedia.velmora.test\n127.0.0.1\tlocalhost\n' >"$work/hosts"
as_player() { in_ns unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$work/hosts" "$@"; }

start_capture() {
    rm -f "$work/dumpcap.pid" "$out"
    : >"$work/access.log"
    in_ns sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 0 -B 256 -f "tcp port 8443" -w "$2"' sh \
        "$work/dumpcap.pid" "$out" 2>"$work/dumpcap.log" &
    sleep 1
    dumpcap_pid=$(cat "$work/dumpcap.pid")
}
stop_capture() {
    sleep 0.5
    kill "$dumpcap_pid"
    while kill -0 "$dumpcap_pid" 2>/dev/null; do sleep 0.1; done
    dumpcap_pid=
}

master=https://media.velmora.test:8443/hls/master.m3u8
start_capture
: >"$keys"
as_player env SSLKEYLOGFILE="$keys" ffmpeg -nostdin -hide_banner -i "$master" -map 0:p:1 -c copy -f null - \
    >"$work/ffmpeg.log" 2>&1 || { cat "$work/ffmpeg.log" >&2; echo "ffmpeg failed" >&2; exit 1; }
stop_capture
player=ffmpeg
if ! grep -q '^CLIENT_TRAFFIC_SECRET_0 ' "$keys"; then
    # The player's TLS wrote no keys: curl follows the playlists as a player would.
    echo "ffmpeg wrote no TLS keys; curl plays instead" >&2
    player=curl
    base=${master%/*}
    start_capture
    : >"$keys"
    mapfile -t chosen < <(curl -sk --resolve media.velmora.test:8443:127.0.0.1 "$master" | grep -v '^#' | sed -n 2p)
    urls=("$master" "$base/${chosen[0]}")
    variant=${chosen[0]%/*}
    for segment in $(grep -v '^#' "$root/hls/${chosen[0]}"); do urls+=("$base/$variant/$segment"); done
    in_ns env SSLKEYLOGFILE="$keys" curl -sk --http1.1 --tlsv1.3 --resolve media.velmora.test:8443:127.0.0.1 \
        "${urls[@]}" >/dev/null
    stop_capture
fi
grep -q '^CLIENT_TRAFFIC_SECRET_0 ' "$keys" || { echo "no TLS keys were written to $keys" >&2; exit 1; }
if command -v tshark >/dev/null && tshark -n -r "$out" -Y tcp.analysis.lost_segment 2>/dev/null | grep -q .; then
    echo "the capture lost frames: record it again" >&2
    exit 1
fi

served=$(grep -c '\.ts 20[06] ' "$work/access.log" || true)
echo "recorded $out: $(stat -c %s "$out") bytes by $player; $(wc -l <"$work/access.log") answers," \
    "$served segments, on $(awk '{print $1}' "$work/access.log" | sort -u | wc -l) connections;" \
    "$(grep -c '^CLIENT_TRAFFIC_SECRET_0 ' "$keys") TLS sessions in $keys"
