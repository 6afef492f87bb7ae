#!/usr/bin/env bash
# Records velmora-tls's output for the engine's tests: real clients fetch from nginx on 127.0.0.1 while
# the probe, run by an ordinary user with cap_sys_admin as an installation runs it, hooks them. Each
# recording has the URLs its client asked for beside it (NAME.urls.txt).
#   curl_h1       curl --http1.1, four GETs on one connection
#   curl_h2       curl --http2, four GETs on one connection (the preface, HPACK headers)
#   python3       Python's urllib (OpenSSL), three GETs, a connection each
#   wget          wget (GnuTLS), three GETs on one connection
# and each again with --receive (NAME_receive), which adds the answers.
# Usage: record-probe-streams.sh BUILD_DIR [OUT_DIR]    (as root; OUT_DIR defaults to tests/data/probe)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" != --in-namespace ]; then
    build=$(cd "$1" && pwd)
    out=${2:-$here/../data/probe}
    mkdir -p "$out"
    # A network namespace of its own: nothing else listens on its ports or talks on its loopback.
    exec unshare -n "$0" --in-namespace "$build" "$(cd "$out" && pwd)"
fi
build=$2 out=$3
ip link set lo up
source "$here/probe-session.sh"
work=$(mktemp -d /tmp/velmora-probe-record.XXXXXX)
cleanup() {
    probe_session_teardown
    rm -rf "$work"
}
trap cleanup EXIT
probe_session_setup "$work" "$build" velmora-probe
mkdir -p "$work/root/media" "$work/root/v"
head -c 1500 /dev/zero | tr '\0' m >"$work/root/media/clip.mp4"
printf '#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\nseg1.ts\n#EXT-X-ENDLIST\n' >"$work/root/v/a.m3u8"
head -c 700 /dev/zero | tr '\0' s >"$work/root/media/song.mp3"
probe_server_start

base=https://127.0.0.1:8444
declare -A urls=(
    [curl_h1]="$base/media/clip.mp4 $base/v/a.m3u8 $base/media/song.mp3?from=10 $base/page.html"
    [curl_h2]="$base/media/clip.mp4 $base/v/a.m3u8 $base/v/seg1.ts $base/media/song.mp3"
    [python3]="$base/media/clip.mp4 $base/v/a.m3u8?token=abc $base/v/seg1.ts"
    [wget]="$base/media/clip.mp4 $base/v/a.m3u8 $base/media/song.mp3"
)
record() {
    local name=$1 file=$2
    shift 2
    read -r -a list <<<"${urls[$name]}"
    local outputs=()
    for _ in "${list[@]}"; do outputs+=(-o /dev/null); done
    case $name in
    curl_h1) probe_client "$file" curl -sSk --http1.1 "${outputs[@]}" "${list[@]}" ;;
    curl_h2) probe_client "$file" curl -sSk --http2 "${outputs[@]}" "${list[@]}" ;;
    python3)
        probe_client "$file" /usr/bin/python3 -c '
import ssl, sys, urllib.request
context = ssl._create_unverified_context()
for url in sys.argv[1:]:
    urllib.request.urlopen(url, context=context).read()
' "${list[@]}"
        ;;
    wget) probe_client "$file" wget -q --no-check-certificate --no-hsts -O /dev/null "${list[@]}" ;;
    esac
}
for name in curl_h1 curl_h2 python3 wget; do
    for receive in no yes; do
        file=$name
        args=()
        if [ "$receive" = yes ]; then
            file=${name}_receive
            args=(--receive)
        fi
        probe_start "$file" "${args[@]}"
        record "$name" "$file"
        sleep 0.3
        probe_stop
        grep -q '^stats [0-9]* 0$' "$work/$file.status" || { echo "$file: records lost: $(tail -1 "$work/$file.status")" >&2; exit 1; }
        cp "$work/$file.vtls" "$out/$file.vtls"
        tr ' ' '\n' <<<"${urls[$name]}" >"$out/$file.urls.txt"
        echo "$file: $(stat -c %s "$out/$file.vtls") bytes, $(grep -c . "$out/$file.urls.txt") URLs"
    done
done
