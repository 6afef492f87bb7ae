#!/usr/bin/env bash
# Records the stream captures in tests/data: ffmpeg, as the player, reads one 20-second title from
# nginx in clear text over HTTP/1.1, in three forms made by ffmpeg from test sources at the start of
# the run: HLS with MPEG-TS segments (stream_hls_ts: a master playlist of three variants, each with
# its own audio), HLS with fMP4 segments (stream_hls_fmp4: two video variants and one audio
# rendition they share, each playlist with its init section) and DASH (stream_dash: one MPD, two
# video representations and one audio representation in separate adaptation sets, segments named
# by a SegmentTemplate with a SegmentTimeline). Every segment lasts 2 seconds. The player keeps one
# variant (one program, or one video representation and the audio) and copies it to nowhere, as
# fast as the server answers. nginx runs inside a private network namespace whose loopback keeps
# the kernel's 65536-byte MTU and its segmentation offload; the player reaches it as
# media.velmora.test:8080, named in a hosts file bound over /etc/hosts in a private mount namespace.
# For each STREAM.pcap it writes STREAM.answers.txt (what tshark reads of each answer, by
# tests/responses/tshark-answers.sh) and STREAM.served.txt (nginx's log for that capture: address,
# status, Content-Type, body bytes).
# Records the captures named, all of them when none is; the others in tests/data are left alone.
# Needs root, ffmpeg (with libx264), nginx-light, curl, dumpcap, unshare and tshark.
#   tests/streams/record-stream-captures.sh [STREAM...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
answers=$(cd "$here/../responses" && pwd)/tshark-answers.sh
all=(stream_hls_ts stream_hls_fmp4 stream_dash)
names=("$@")
[ $# -gt 0 ] || names=("${all[@]}")
for name in "${names[@]}"; do
    [[ " ${all[*]} " == *" $name "* ]] || { echo "unknown capture: $name (one of: ${all[*]})" >&2; exit 2; }
done
work=$(mktemp -d /tmp/velmora-stream-record.XXXXXX)
ns=velmora-stream-record-$$
dumpcap_pid= nginx_pid=

cleanup() {
    for pid in $dumpcap_pid $nginx_pid; do kill "$pid" 2>/dev/null || true; done
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
mkdir -p "$root/hlsts" "$root/hlsfmp4" "$root/dash"
source=(-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 20)
video=(-c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0)
v720=(-b:v:0 600k -maxrate:v:0 600k -bufsize:v:0 1200k)
audio=(-c:a aac -b:a 64k -ac 2)
encode() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# A. HLS, MPEG-TS segments: three variants, each muxing its video with its own copy of the audio.
(cd "$root/hlsts" && encode "${source[@]}" \
    -filter_complex '[0:v]split=3[v0][v1][v2];[v1]scale=854:480[v1s];[v2]scale=640:360[v2s]' \
    -map '[v0]' -map '[v1s]' -map '[v2s]' -map 1:a -map 1:a -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 350k -maxrate:v:1 350k -bufsize:v:1 700k -b:v:2 200k -maxrate:v:2 200k -bufsize:v:2 400k \
    "${audio[@]}" -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_type mpegts \
    -master_pl_name master.m3u8 -var_stream_map 'v:0,a:0,name:720p v:1,a:1,name:480p v:2,a:2,name:360p' \
    -hls_segment_filename '%v/seg_%03d.ts' '%v/index.m3u8')

# B. HLS, fMP4 segments: two video variants sharing one audio rendition (EXT-X-MEDIA TYPE=AUDIO);
# each media playlist names its init section with EXT-X-MAP.
(cd "$root/hlsfmp4" && encode "${source[@]}" \
    -filter_complex '[0:v]split=2[v0][v1];[v1]scale=640:360[v1s]' \
    -map '[v0]' -map '[v1s]' -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 200k -maxrate:v:1 200k -bufsize:v:1 400k \
    "${audio[@]}" -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_type fmp4 \
    -hls_fmp4_init_filename init.mp4 -master_pl_name master.m3u8 \
    -var_stream_map 'a:0,agroup:aud,name:audio,language:en,default:yes v:0,agroup:aud,name:720p v:1,agroup:aud,name:360p' \
    -hls_segment_filename '%v/seg_%03d.m4s' '%v/index.m3u8')

# C. DASH: video representations 0 (1280x720) and 1 (640x360) in one adaptation set, audio
# representation 2 in another; ffmpeg's own segment names (init-stream$RepresentationID$.m4s,
# chunk-stream$RepresentationID$-$Number%05d$.m4s).
(cd "$root/dash" && encode "${source[@]}" \
    -filter_complex '[0:v]split=2[v0][v1];[v1]scale=640:360[v1s]' \
    -map '[v0]' -map '[v1s]' -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 200k -maxrate:v:1 200k -bufsize:v:1 400k \
    "${audio[@]}" -f dash -seg_duration 2 -use_template 1 -use_timeline 1 \
    -adaptation_sets 'id=0,streams=v id=1,streams=a' manifest.mpd)

sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" "$here/nginx-streams.conf.in" >"$work/nginx.conf"
in_ns /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] && in_ns curl -s -o /dev/null http://127.0.0.1:8080/done && break
    sleep 0.1
done
nginx_pid=$(cat "$work/nginx.pid")
printf '127.0.0.1\tmedia.velmora.test\n127.0.0.1\tlocalhost\n' >"$work/hosts"

logged=0
start_capture() {
    rm -f "$work/dumpcap.pid"
    logged=$(wc -l <"$work/access.log")
    in_ns sh -c 'echo $$ >"$1"; exec dumpcap -q -i lo -P -s 0 -B 256 -f "tcp port 8080" -w "$2"' sh \
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

# The player: ffmpeg in the namespace, with the private hosts file, keeping the streams chosen.
play() { # name address map-options...
    local name=$1 address=$2
    shift 2
    in_ns unshare -m sh -c 'mount --bind "$1" /etc/hosts && shift && exec "$@"' sh "$work/hosts" \
        ffmpeg -nostdin -hide_banner -i "$address" "$@" -c copy -f null - >"$work/$name.ffmpeg.log" 2>&1 ||
        { cat "$work/$name.ffmpeg.log" >&2; echo "$name: ffmpeg failed" >&2; exit 1; }
    echo "$name: ffmpeg kept:"
    sed -n '/^Stream mapping:/,/^[^ ]/{/^  Stream/p}' "$work/$name.ffmpeg.log"
}

record() { # name
    start_capture "$1"
    case $1 in
    stream_hls_ts) play "$1" http://media.velmora.test:8080/hlsts/master.m3u8 -map 0:p:1 ;; # 854x480
    stream_hls_fmp4) play "$1" http://media.velmora.test:8080/hlsfmp4/master.m3u8 -map 0:p:1 ;; # 640x360
    stream_dash) play "$1" http://media.velmora.test:8080/dash/manifest.mpd -map 0:v:1 -map 0:a:0 ;; # 640x360
    esac
    stop_capture "$1"
}

for name in "${names[@]}"; do record "$name"; done

for name in "${names[@]}"; do
    if tshark -n -r "$data/$name.pcap" -Y tcp.analysis.lost_segment 2>/dev/null | grep -q .; then
        echo "$name: the capture lost frames" >&2
        exit 1
    fi
    "$answers" "$data/$name.pcap" >"$data/$name.answers.txt"
    echo "$name: $(stat -c %s "$data/$name.pcap") bytes," \
        "$(tshark -n -r "$data/$name.pcap" 2>/dev/null | wc -l) frames, largest frame" \
        "$(tshark -n -r "$data/$name.pcap" -T fields -e frame.len 2>/dev/null | sort -n | tail -1)," \
        "$(wc -l <"$data/$name.answers.txt") answers, $(wc -l <"$data/$name.served.txt") served," \
        "$(tshark -n -r "$data/$name.pcap" -Y 'tcp.flags.syn == 1 && tcp.flags.ack == 0' 2>/dev/null | wc -l) connections"
done
