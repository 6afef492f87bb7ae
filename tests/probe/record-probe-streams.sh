#!/usr/bin/env bash
# Records velmora-tls's output for the engine's tests: real clients fetch from nginx on 127.0.0.1 while
# the probe, run by an ordinary user with cap_sys_admin as an installation runs it, hooks them. Each
# recording has the URLs its client asked for beside it (NAME.urls.txt).
#   curl_h1       curl --http1.1, four GETs on one connection
#   curl_h2       curl --http2, four GETs on one connection (the preface, HPACK headers)
#   python3       Python's urllib (OpenSSL), three GETs, a connection each
#   wget          wget (GnuTLS), three GETs on one connection
#   firefox       headless Firefox ESR (NSPR, HTTP/2) loads a page that asks for a picture, a video and a
#                 playlist, trusting the run's CA in a fresh profile
# and each again with --receive (NAME_receive), which adds the answers.
# Usage: [only="NAME ..."] record-probe-streams.sh BUILD_DIR [OUT_DIR]
#        (as root; OUT_DIR defaults to tests/data/probe)
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
printf '%s\n' '<html><head><link rel="icon" href="data:,"></head><body><img src="/media/poster.jpg">' \
    '<script>for (const u of ["/media/clip.mp4", "/v/a.m3u8?from=firefox"]) fetch(u);</script></body></html>' \
    >"$work/root/page.html"
head -c 900 /dev/zero | tr '\0' p >"$work/root/media/poster.jpg"
probe_server_start

base=https://127.0.0.1:8444
declare -A urls=(
    [curl_h1]="$base/media/clip.mp4 $base/v/a.m3u8 $base/media/song.mp3?from=10 $base/page.html"
    [curl_h2]="$base/media/clip.mp4 $base/v/a.m3u8 $base/v/seg1.ts $base/media/song.mp3"
    [python3]="$base/media/clip.mp4 $base/v/a.m3u8?token=abc $base/v/seg1.ts"
    [wget]="$base/media/clip.mp4 $base/v/a.m3u8 $base/media/song.mp3"
    [firefox]="$base/page.html $base/media/poster.jpg $base/media/clip.mp4 $base/v/a.m3u8?from=firefox"
)
# Firefox stays open: it is held at the relay until its main process is hooked, given time to fetch the
# page's files, then stopped by its pid.
record_firefox() {
    local file=$1 profile=$work/home/profile-$1 firefox
    mkdir -p "$profile"
    certutil -N -d "sql:$profile" --empty-password
    certutil -A -n velmora-probe-test-ca -t "C,," -i "$work/server/ca.crt" -d "sql:$profile"
    cat >"$profile/user.js" <<'PREFS'
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.cache.disk.enable", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.http.http3.enable", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.enabled", false);
user_pref("app.update.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
PREFS
    chown -R "$probe_uid:$probe_gid" "$profile"
    rm -f "$work/gate"
    "${probe_as_user[@]}" MOZ_HEADLESS=1 firefox-esr --headless --no-remote --profile "$profile" "$base/page.html" \
        >"$work/$file.firefox.log" 2>&1 &
    firefox=$!
    for _ in $(seq 300); do grep -q "^attached $firefox nspr" "$work/$file.status" && break; sleep 0.1; done
    grep -q "^attached $firefox nspr" "$work/$file.status" || { echo "$file: Firefox was not hooked" >&2; exit 1; }
    touch "$work/gate"
    sleep 6
    kill "$firefox"
    wait "$firefox" || true
}
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
    firefox) record_firefox "$file" ;;
    esac
}
for name in ${only:-curl_h1 curl_h2 python3 wget firefox}; do
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
        # Firefox now and then opens a second connection for the page's files; the tests count connections.
        connections=$(/usr/bin/python3 "$here/vtls-dump.py" "$out/$file.vtls" | grep -c '^connection' || true)
        echo "$file: $(stat -c %s "$out/$file.vtls") bytes, $(grep -c . "$out/$file.urls.txt") URLs," \
            "$connections connections"
    done
done
