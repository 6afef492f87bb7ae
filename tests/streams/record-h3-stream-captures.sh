#!/usr/bin/env bash
# Records the HTTP/3 stream captures in tests/data: headless Chromium, running a small page that
# plays as a web player does (fetch() the manifest, then the playlists, init sections and segments
# of the renditions it keeps, in order), reads one title from Caddy over QUIC:
#   stream_h3_hls: HLS with fMP4 segments (two video variants, 1280x720 and 640x360, sharing one
#     audio rendition); the page keeps 640x360 and the audio.
#   stream_h3_dash: DASH (video representations 1280x720 and 640x360, one audio representation);
#     the page keeps 640x360 and the audio.
# The titles are made by ffmpeg from test sources, as tests/streams/record-stream-captures.sh makes
# its HLS fMP4 and DASH ones, 12 seconds long in 2-second segments. Caddy answers on
# media.velmora.test:8443 (127.0.0.1) with HTTP/3, compressing the manifests with gzip as
# production servers do; Chromium is forced onto QUIC for that origin and writes its TLS secrets
# to STREAM.keys. Both run in a private network namespace whose loopback has an Ethernet MTU and no
# segmentation offload, so that tshark (which does not split UDP GSO sends) can check the capture.
# For each STREAM.pcap it writes STREAM.keys and STREAM.served.txt (Caddy's log for the capture:
# address, status, Content-Type, body bytes). Records the captures named, both when none is.
# Needs root, ffmpeg (with libx264), caddy, chromium, openssl, jq, dumpcap, unshare and tshark.
#   tests/streams/record-h3-stream-captures.sh [stream_h3_hls] [stream_h3_dash]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
all=(stream_h3_hls stream_h3_dash)
names=("$@")
[ $# -gt 0 ] || names=("${all[@]}")
for name in "${names[@]}"; do
    [[ " ${all[*]} " == *" $name "* ]] || { echo "unknown capture: $name (one of: ${all[*]})" >&2; exit 2; }
done
work=$(mktemp -d /tmp/velmora-h3-stream-record.XXXXXX)
ns=velmora-h3-stream-record-$$
pids=()
origin=https://media.velmora.test:8443

in_ns() { ip netns exec "$ns" "$@"; }
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    sleep 0.2
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A background process in the namespace, by the pid it reports itself (ip netns exec forks).
start_bg() {
    local log=$1
    shift
    rm -f "$work/bg.pid"
    in_ns sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$work/bg.pid" "$@" >"$log" 2>&1 &
    for _ in $(seq 50); do [ -s "$work/bg.pid" ] && break; sleep 0.1; done
    bg_pid=$(cat "$work/bg.pid")
    pids+=("$bg_pid")
}
stop_bg() {
    kill "$1" 2>/dev/null || true
    while kill -0 "$1" 2>/dev/null; do sleep 0.1; done
}

ip netns add "$ns"
in_ns ip link set lo mtu 1500 gso_max_size 1500 up

# The titles, with the commands of record-stream-captures.sh (B and C there), 12 seconds long.
root=$work/root
mkdir -p "$root/hlsfmp4" "$root/dash"
source=(-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 12)
video=(-c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p -g 50 -keyint_min 50 -sc_threshold 0)
v720=(-b:v:0 600k -maxrate:v:0 600k -bufsize:v:0 1200k)
audio=(-c:a aac -b:a 64k -ac 2)
encode() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
(cd "$root/hlsfmp4" && encode "${source[@]}" \
    -filter_complex '[0:v]split=2[v0][v1];[v1]scale=640:360[v1s]' \
    -map '[v0]' -map '[v1s]' -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 200k -maxrate:v:1 200k -bufsize:v:1 400k \
    "${audio[@]}" -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_type fmp4 \
    -hls_fmp4_init_filename init.mp4 -master_pl_name master.m3u8 \
    -var_stream_map 'a:0,agroup:aud,name:audio,language:en,default:yes v:0,agroup:aud,name:720p v:1,agroup:aud,name:360p' \
    -hls_segment_filename '%v/seg_%03d.m4s' '%v/index.m3u8')
(cd "$root/dash" && encode "${source[@]}" \
    -filter_complex '[0:v]split=2[v0][v1];[v1]scale=640:360[v1s]' \
    -map '[v0]' -map '[v1s]' -map 1:a "${video[@]}" "${v720[@]}" \
    -b:v:1 200k -maxrate:v:1 200k -bufsize:v:1 400k \
    "${audio[@]}" -f dash -seg_duration 2 -use_template 1 -use_timeline 1 \
    -adaptation_sets 'id=0,streams=v id=1,streams=a' manifest.mpd)

# The player page: what a web player fetches, one request at a time, video and audio interleaved.
cat >"$root/player.html" <<'HTML'
<!doctype html><html><head><title>player</title></head><body><pre id="log"></pre><script>
const log = (line) => { document.getElementById('log').textContent += line + '\n'; };
async function get(url, text) {
  const answer = await fetch(url);
  if (!answer.ok) throw new Error(url + ': ' + answer.status);
  log(url);
  return text ? answer.text() : answer.arrayBuffer();
}
// The segments of video and audio in turn, after both init sections.
async function play(video, audio) {
  await get(video.init); await get(audio.init);
  for (let i = 0; i < Math.max(video.segments.length, audio.segments.length); ++i) {
    if (i < video.segments.length) await get(video.segments[i]);
    if (i < audio.segments.length) await get(audio.segments[i]);
  }
}
async function hlsRendition(url) {
  const lines = (await get(url, true)).split('\n').map((l) => l.trim());
  const map = lines.find((l) => l.startsWith('#EXT-X-MAP:')).match(/URI="([^"]+)"/)[1];
  return { init: new URL(map, url).href,
           segments: lines.filter((l) => l && !l.startsWith('#')).map((l) => new URL(l, url).href) };
}
async function hls(master) {
  const lines = (await get(master, true)).split('\n').map((l) => l.trim());
  // The variant with the lowest bandwidth, and the audio rendition of its group.
  let variant = null, lowest = Infinity;
  lines.forEach((l, i) => {
    const bandwidth = l.startsWith('#EXT-X-STREAM-INF:') && +l.match(/[:,]BANDWIDTH=(\d+)/)[1];
    if (bandwidth && bandwidth < lowest) { lowest = bandwidth; variant = lines[i + 1]; }
  });
  const media = lines.find((l) => l.startsWith('#EXT-X-MEDIA:') && l.includes('TYPE=AUDIO'));
  const video = await hlsRendition(new URL(variant, master).href);
  const audio = await hlsRendition(new URL(media.match(/URI="([^"]+)"/)[1], master).href);
  await play(video, audio);
}
function dashRendition(mpd, base, representation) {
  const template = representation.querySelector('SegmentTemplate') ||
                   representation.parentElement.querySelector(':scope > SegmentTemplate');
  const fill = (pattern, number) => pattern.replace('$RepresentationID$', representation.id)
      .replace(/\$Number%0(\d+)d\$/, (_, width) => String(number).padStart(+width, '0'));
  let count = 0;
  for (const s of template.querySelectorAll('SegmentTimeline > S')) count += 1 + +(s.getAttribute('r') || 0);
  const start = +(template.getAttribute('startNumber') || 1), segments = [];
  for (let n = start; n < start + count; ++n) segments.push(new URL(fill(template.getAttribute('media'), n), base).href);
  return { init: new URL(fill(template.getAttribute('initialization'), 0), base).href, segments };
}
async function dash(address) {
  const mpd = new DOMParser().parseFromString(await get(address, true), 'application/xml');
  const sets = [...mpd.querySelectorAll('AdaptationSet')];
  const kind = (set) => set.getAttribute('contentType') || set.getAttribute('mimeType').split('/')[0];
  // The narrowest video representation and the first audio one.
  const videos = [...sets.find((s) => kind(s) === 'video').querySelectorAll('Representation')];
  const narrowest = videos.reduce((a, b) => (+a.getAttribute('width') <= +b.getAttribute('width') ? a : b));
  const audio = sets.find((s) => kind(s) === 'audio').querySelector('Representation');
  await play(dashRendition(mpd, address, narrowest), dashRendition(mpd, address, audio));
}
const title = location.hash.slice(1);
(title.endsWith('.mpd') ? dash : hls)(new URL(title, location.href).href)
  .then(() => { document.title = 'played'; }, (e) => { document.title = 'failed'; log(String(e)); });
</script></body></html>
HTML

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=media.velmora.test \
    -addext subjectAltName=DNS:media.velmora.test -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
spki=$(openssl x509 -in "$work/server.crt" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -binary | base64)
# Caddy: HTTPS with HTTP/3 on 127.0.0.1:8443 only, the stream files typed by their extension, each
# answer logged as a JSON line.
cat >"$work/Caddyfile" <<CADDY
{
    admin off
    auto_https off
    storage file_system $work/caddy
    servers {
        protocols h1 h2 h3
    }
}
$origin {
    bind 127.0.0.1
    tls $work/server.crt $work/server.key
    root * $root
    @m3u8 path *.m3u8
    header @m3u8 Content-Type application/vnd.apple.mpegurl
    @mpd path *.mpd
    header @mpd Content-Type application/dash+xml
    @m4s path *.m4s
    header @m4s Content-Type video/iso.segment
    @mp4 path *.mp4
    header @mp4 Content-Type video/mp4
    encode {
        gzip
        minimum_length 64
        match {
            header Content-Type application/vnd.apple.mpegurl*
            header Content-Type application/dash+xml*
        }
    }
    file_server
    log {
        output file $work/access.log
        format json
    }
}
CADDY
start_bg "$work/caddy.log" env HOME="$work" XDG_DATA_HOME="$work" XDG_CONFIG_HOME="$work" \
    caddy run --adapter caddyfile --config "$work/Caddyfile"
caddy_pid=$bg_pid
for try in $(seq 50); do
    in_ns curl -sk -o /dev/null --resolve media.velmora.test:8443:127.0.0.1 "$origin/player.html" && break
    [ "$try" = 50 ] && { cat "$work/caddy.log" >&2; echo "caddy did not start" >&2; exit 1; }
    sleep 0.2
done

record() { # name title
    local name=$1 title=$2 keys=$data/$1.keys
    : >"$keys"
    local logged
    logged=$(wc -l <"$work/access.log")
    start_bg "$work/dumpcap.log" dumpcap -q -i lo -P -s 0 -B 64 -f "udp port 8443" -w "$work/$name.pcap"
    local dumpcap_pid=$bg_pid
    sleep 1
    rm -rf "$work/profile"
    in_ns timeout 120 chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$work/profile" \
        --enable-quic --origin-to-force-quic-on=media.velmora.test:8443 \
        --host-resolver-rules="MAP media.velmora.test 127.0.0.1" --ignore-certificate-errors-spki-list="$spki" \
        --ssl-key-log-file="$keys" --virtual-time-budget=60000 --dump-dom "$origin/player.html#$title" \
        >"$work/$name.dom" 2>"$work/$name.chromium.log" || true
    sleep 0.5
    stop_bg "$dumpcap_pid"
    if ! grep -q '<title>played</title>' "$work/$name.dom"; then
        cat "$work/$name.dom" >&2
        tail -n 20 "$work/$name.chromium.log" "$work/caddy.log" >&2
        echo "$name: the page did not play the title" >&2
        exit 1
    fi
    install -m 644 "$work/$name.pcap" "$data/$name.pcap"
    chmod 644 "$keys"
    tail -n +"$((logged + 1))" "$work/access.log" >"$work/$name.log"
    jq -r '[.request.uri, .status, (.resp_headers["Content-Type"] // [""])[0], .size] | @tsv' "$work/$name.log" \
        >"$data/$name.served.txt"
    if jq -r .request.proto "$work/$name.log" | grep -vqx HTTP/3.0; then
        echo "$name: requests went by a protocol other than HTTP/3" >&2
        exit 1
    fi
    echo "$name: $(stat -c %s "$data/$name.pcap") bytes," \
        "$(tshark -n -r "$data/$name.pcap" 2>/dev/null | wc -l) frames," \
        "$(wc -l <"$data/$name.served.txt") requests served over HTTP/3," \
        "$(tshark -n -r "$data/$name.pcap" -o "tls.keylog_file:$keys" -Y http3 2>/dev/null | wc -l) frames tshark reads HTTP/3 in"
}

for name in "${names[@]}"; do
    case $name in
    stream_h3_hls) record "$name" /hlsfmp4/master.m3u8 ;;
    stream_h3_dash) record "$name" /dash/manifest.mpd ;;
    esac
done
stop_bg "$caddy_pid"
