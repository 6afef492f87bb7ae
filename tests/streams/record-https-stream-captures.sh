#!/usr/bin/env bash
# Records the HTTPS stream captures in tests/data: real players fetching titles made by ffmpeg at the
# start of the run from nginx over TLS, on 127.0.0.1:8443 (HTTP/2 and HTTP/1.1 by ALPN):
#   stream_tls_mpv_hls       mpv (through libavformat and GnuTLS, HTTP/1.1) plays the HLS master with
#                            MPEG-TS segments and three variants, as fast as it can (--hls-bitrate=min).
#   stream_tls_ffmpeg_dash   ffmpeg (HTTP/1.1) reads the DASH MPD and keeps 640x360 and the audio.
#   stream_h2_chromium_hls   headless Chromium (HTTP/2) loads hls-player.html, which fetches what a web
#                            player fetches of HLS in fMP4 segments with a separate audio rendition.
#   stream_h2_chromium_pieces  headless Chromium (HTTP/2) loads pieces.html: a video .mp4 and an audio
#                            .m4a in pieces by Range requests, video itag 137 and audio itag 140 in
#                            pieces named by the query's range (answered 200 by videoplayback-server.py
#                            behind nginx), and a progressive .mp4 fetched whole.
# The titles are those of record-stream-captures.sh (HLS and DASH) and, for the pieces, short files
# of their own. nginx runs inside a private network namespace whose loopback keeps the kernel's
# 65536-byte MTU and its segmentation offload; the players reach it as media.velmora.test:8443 (a
# hosts file bound over /etc/hosts in a private mount namespace, or Chromium's resolver rules).
# For each NAME.pcap it writes NAME.keys (TLS secrets: SSLKEYLOGFILE, which GnuTLS honours, or
# Chromium's --ssl-key-log-file), NAME.answers.txt (what tshark reads of each answer, by
# tests/responses/tshark-answers.sh) and NAME.served.txt (nginx's log for that capture: address,
# status, Content-Type, body bytes, Referer).
# Records the captures named, all of them when none is; the others in tests/data are left alone.
# Needs root, ffmpeg (with libx264), mpv, chromium, nginx-light, python3, openssl, curl, dumpcap,
# unshare and tshark.
#   tests/streams/record-https-stream-captures.sh [NAME...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
answers=$(cd "$here/../responses" && pwd)/tshark-answers.sh
all=(stream_tls_mpv_hls stream_tls_ffmpeg_dash stream_h2_chromium_hls stream_h2_chromium_pieces)
names=("$@")
[ $# -gt 0 ] || names=("${all[@]}")
for name in "${names[@]}"; do
    [[ " ${all[*]} " == *" $name "* ]] || { echo "unknown capture: $name (one of: ${all[*]})" >&2; exit 2; }
done
work=$(mktemp -d /tmp/velmora-https-stream-record.XXXXXX)
ns=velmora-https-stream-record-$$
backend=127.0.0.1:8081
dumpcap_pid= nginx_pid= backend_pid= chromium_pid=

cleanup() {
    [ -n "$chromium_pid" ] && kill -- "-$chromium_pid" 2>/dev/null || true
    for pid in $dumpcap_pid $nginx_pid $backend_pid; do kill "$pid" 2>/dev/null || true; done
    sleep 0.2
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
in_ns() { ip netns exec "$ns" "$@"; }

ip netns add "$ns"
in_ns ip link set lo up # default MTU 65536, GSO/GRO/TSO left on

# The title: a 1280x720 test picture at 25 frames a second and a 440 Hz tone, 20 seconds, a key
# frame every 50 frames so that every segment is 2 seconds. Low bitrates keep the files small.
root=$work/root
mkdir -p "$root/hlsts" "$root/hlsfmp4" "$root/dash" "$root/pieces" "$root/media" "$work/itag"
source=(-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 20)
video=(-c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0)
v720=(-b:v:0 600k -maxrate:v:0 600k -bufsize:v:0 1200k)
audio=(-c:a aac -b:a 64k -ac 2)
encode() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# HLS, MPEG-TS segments: three variants, each muxing its video with its own copy of the audio.
(cd "$root/hlsts" && encode "${source[@]}" \
    -filter_complex '[0:v]split=3[v0][v1][v2];[v1]scale=854:480[v1s];[v2]scale=640:360[v2s]' \
    -map '[v0]' -map '[v1s]' -map '[v2s]' -map 1:a -map 1:a -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 350k -maxrate:v:1 350k -bufsize:v:1 700k -b:v:2 200k -maxrate:v:2 200k -bufsize:v:2 400k \
    "${audio[@]}" -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_type mpegts \
    -master_pl_name master.m3u8 -var_stream_map 'v:0,a:0,name:720p v:1,a:1,name:480p v:2,a:2,name:360p' \
    -hls_segment_filename '%v/seg_%03d.ts' '%v/index.m3u8')

# HLS, fMP4 segments: two video variants sharing one audio rendition (EXT-X-MEDIA TYPE=AUDIO).
(cd "$root/hlsfmp4" && encode "${source[@]}" \
    -filter_complex '[0:v]split=2[v0][v1];[v1]scale=640:360[v1s]' \
    -map '[v0]' -map '[v1s]' -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 200k -maxrate:v:1 200k -bufsize:v:1 400k \
    "${audio[@]}" -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_type fmp4 \
    -hls_fmp4_init_filename init.mp4 -master_pl_name master.m3u8 \
    -var_stream_map 'a:0,agroup:aud,name:audio,language:en,default:yes v:0,agroup:aud,name:720p v:1,agroup:aud,name:360p' \
    -hls_segment_filename '%v/seg_%03d.m4s' '%v/index.m3u8')

# DASH: video representations 0 (1280x720) and 1 (640x360), audio representation 2.
(cd "$root/dash" && encode "${source[@]}" \
    -filter_complex '[0:v]split=2[v0][v1];[v1]scale=640:360[v1s]' \
    -map '[v0]' -map '[v1s]' -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 200k -maxrate:v:1 200k -bufsize:v:1 400k \
    "${audio[@]}" -f dash -seg_duration 2 -use_template 1 -use_timeline 1 \
    -adaptation_sets 'id=0,streams=v id=1,streams=a' manifest.mpd)

# The pieces: a 640x360 video-only .mp4 and its audio-only .m4a; itag 137 (854x480 video only) and
# itag 140 (audio only) of a title of its own; a progressive 640x360 .mp4 with both, 10 seconds.
small=(-b:v 150k -maxrate 150k -bufsize 300k -movflags +faststart)
encode -f lavfi -i testsrc2=size=640x360:rate=25 -t 20 "${video[@]}" "${small[@]}" "$root/pieces/video.mp4"
encode -f lavfi -i sine=frequency=440:sample_rate=48000 -t 20 "${audio[@]}" -movflags +faststart \
    "$root/pieces/audio.m4a"
encode -f lavfi -i testsrc2=size=854x480:rate=25 -t 20 "${video[@]}" -b:v 120k -maxrate 120k -bufsize 240k \
    -movflags +faststart -f mp4 "$work/itag/itag137"
encode -f lavfi -i sine=frequency=660:sample_rate=44100 -t 20 -c:a aac -b:a 48k -ac 2 -movflags +faststart \
    -f mp4 "$work/itag/itag140"
encode -f lavfi -i testsrc=size=640x360:rate=25 -f lavfi -i sine=frequency=550:sample_rate=48000 -t 10 \
    "${video[@]}" "${small[@]}" "${audio[@]}" "$root/media/progressive.mp4"
cp "$here/hls-player.html" "$root/hls-player.html"
sed -e "s|@VIDEO_SIZE@|$(stat -c %s "$root/pieces/video.mp4")|g" \
    -e "s|@AUDIO_SIZE@|$(stat -c %s "$root/pieces/audio.m4a")|g" \
    -e "s|@E137_SIZE@|$(stat -c %s "$work/itag/itag137")|g" \
    -e "s|@E140_SIZE@|$(stat -c %s "$work/itag/itag140")|g" "$here/pieces.html.in" >"$root/pieces.html"
echo "sizes: video.mp4 $(stat -c %s "$root/pieces/video.mp4"), audio.m4a $(stat -c %s "$root/pieces/audio.m4a")," \
    "itag137 $(stat -c %s "$work/itag/itag137"), itag140 $(stat -c %s "$work/itag/itag140")," \
    "progressive.mp4 $(stat -c %s "$root/media/progressive.mp4")"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=media.velmora.test \
    -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
in_ns sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$work/backend.pid" \
    /usr/bin/python3 "$here/videoplayback-server.py" "$work/itag" "${backend#*:}" >"$work/backend.log" 2>&1 &
for _ in $(seq 50); do [ -s "$work/backend.pid" ] && break; sleep 0.1; done
backend_pid=$(cat "$work/backend.pid")
sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" -e "s|@BACKEND@|$backend|g" \
    "$here/nginx-https-streams.conf.in" >"$work/nginx.conf"
in_ns /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] &&
        in_ns curl -sk -o /dev/null --resolve media.velmora.test:8443:127.0.0.1 https://media.velmora.test:8443/done &&
        break
    sleep 0.1
done
nginx_pid=$(cat "$work/nginx.pid")
printf '127.0.0.1\tmedia.velmora.test\n127.0.0.1\tlocalhost\n' >"$work/hosts"

logged=0
start_capture() {
    rm -f "$work/dumpcap.pid"
    logged=$(wc -l <"$work/access.log")
    in_ns sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 0 -B 256 -f "tcp port 8443" -w "$2"' sh \
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

# A player in the namespace, with the private hosts file and the key log.
player() { # log-file command...
    local log=$1
    shift
    in_ns env SSLKEYLOGFILE="$keys" unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh \
        "$work/hosts" "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "$*: failed" >&2; exit 1; }
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
    keys=$data/$1.keys
    : >"$keys"
    start_capture "$1"
    case $1 in
    stream_tls_mpv_hls)
        player "$work/$1.log" mpv --no-config --vo=null --ao=null --untimed --hls-bitrate=min \
            https://media.velmora.test:8443/hlsts/master.m3u8
        echo "$1: mpv played: $(grep -m1 -o '(+) Video --vid=.*' "$work/$1.log" || true)"
        ;;
    stream_tls_ffmpeg_dash)
        player "$work/$1.log" ffmpeg -nostdin -hide_banner -i https://media.velmora.test:8443/dash/manifest.mpd \
            -map 0:v:1 -map 0:a:0 -c copy -f null -
        echo "$1: ffmpeg kept:"
        sed -n '/^Stream mapping:/,/^[^ ]/{/^  Stream/p}' "$work/$1.log"
        ;;
    stream_h2_chromium_hls) chromium_page https://media.velmora.test:8443/hls-player.html ;;
    stream_h2_chromium_pieces) chromium_page https://media.velmora.test:8443/pieces.html ;;
    esac
    stop_capture "$1"
    [ -s "$keys" ] || { echo "$1: the key log is empty" >&2; exit 1; }
}

for name in "${names[@]}"; do record "$name"; done

for name in "${names[@]}"; do
    if tshark -n -r "$data/$name.pcap" -Y tcp.analysis.lost_segment 2>/dev/null | grep -q .; then
        echo "$name: the capture lost frames" >&2
        exit 1
    fi
    "$answers" "$data/$name.pcap" "$data/$name.keys" >"$data/$name.answers.txt"
    echo "$name: $(stat -c %s "$data/$name.pcap") bytes," \
        "$(tshark -n -r "$data/$name.pcap" 2>/dev/null | wc -l) frames, largest frame" \
        "$(tshark -n -r "$data/$name.pcap" -T fields -e frame.len 2>/dev/null | sort -n | tail -1)," \
        "$(wc -l <"$data/$name.answers.txt") answers, $(wc -l <"$data/$name.served.txt") served," \
        "$(tshark -n -r "$data/$name.pcap" -Y 'tcp.flags.syn == 1 && tcp.flags.ack == 0' 2>/dev/null | wc -l) connections"
done
