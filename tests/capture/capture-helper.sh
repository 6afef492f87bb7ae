#!/usr/bin/env bash
# Capture rights through velmora-capture, as an installation that lets a group capture sets them up: an
# ordinary user (nobody) in a scratch system group, and a copy of the helper owned root:GROUP 0754 with
# cap_net_raw. Checks, with real traffic on the loopback:
#  - velmora-cli as that user captures through the helper and lists what root captures directly from the
#    same traffic: the same rows with the same packet numbers (in a network namespace of the test's own,
#    so nothing else is on its loopback); during the capture neither the user's process nor the helper
#    holds a capability, and the helper runs as the user;
#  - a user outside the group cannot run the helper and is told how to get the right;
#  - the window, under Xvfb as that user, captures through the helper and shows its end.
# Usage: capture-helper.sh BUILD_DIR     (as root; exit 77 = skipped)
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)

if [ "${1:-}" = --in-namespace ]; then
    # Inside the private network namespace: $work holds the copies, the site and the outputs.
    work=$2 gid=$3
    ip link set lo up
    cd "$work"
    /usr/bin/python3 -m http.server 8080 --bind 127.0.0.1 --directory site >/dev/null 2>&1 &
    server=$!
    cleanup() { kill "$server" 2>/dev/null || true; }
    trap cleanup EXIT
    for _ in $(seq 100); do curl -s -o /dev/null http://127.0.0.1:8080/ && break; sleep 0.05; done
    member() {
        setpriv --reuid=65534 --regid=65534 --groups="$gid" env -i PATH=/usr/bin:/bin HOME="$work/home" \
            VELMORA_CAPTURE_HELPER="$work/velmora-capture" "$@"
    }
    # Both run the same length of time; each records its own.
    timed() {
        local out=$1
        shift
        local start end
        start=$(date +%s%N)
        "$@" -i lo --seconds 5 --format jsonl --settings "$work/setting.ini" >"$out.rows" 2>"$out.err" || echo $? >"$out.rc"
        end=$(date +%s%N)
        echo $(((end - start) / 1000000)) >"$out.ms"
    }
    timed direct "$work/velmora-cli" &
    direct=$!
    timed helper member "$work/velmora-cli" &
    helper=$!
    # Both packet sockets bound, the helper's and root's own.
    for _ in $(seq 200); do
        sockets=$(ss -0 -p 2>/dev/null)
        if grep -q '"velmora-capture"' <<<"$sockets" && [ "$(grep -c '"velmora-cli"' <<<"$sockets")" -ge 1 ]; then
            break
        fi
        sleep 0.02
    done
    sleep 0.3
    member_cli=$(pgrep -u 65534 -x velmora-cli)
    helper_pid=$(pgrep -P "$member_cli" -x velmora-capture)
    for pid in $helper_pid $member_cli; do
        grep -E '^(Uid|CapPrm|CapEff):' "/proc/$pid/status" | sed "s/^/$(cat "/proc/$pid/comm") /"
    done >capabilities
    curl -s -o /dev/null http://127.0.0.1:8080/v/a.mp4
    curl -s -o /dev/null http://127.0.0.1:8080/page.html
    curl -s -o /dev/null http://127.0.0.1:8080/m/b.mp3
    wait "$direct" "$helper"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "capture-helper: needs root to set up the group and capabilities"; exit 77; }
# One run on the machine at a time (with the package test too): the checks find the processes of nobody.
exec 9>/tmp/velmora-capture-rights.lock
flock 9
build=$(cd "$1" && pwd)
fail() {
    echo "capture-helper: $*" >&2
    exit 1
}
group=velmora-t$$
work=$(mktemp -d /tmp/velmora-helper.XXXXXX)
cleanup() {
    rm -rf "$work"
    getent group "$group" >/dev/null && groupdel "$group"
}
trap cleanup EXIT
groupadd --system "$group"
gid=$(getent group "$group" | cut -d: -f3)
chmod 0755 "$work"
cp "$build/velmora-capture" "$build/velmora-cli" "$build/default-setting.ini" "$work/"
cp "$build/default-setting.ini" "$work/setting.ini"
chown "root:$group" "$work/velmora-capture"
chmod 0754 "$work/velmora-capture"
setcap cap_net_raw=ep "$work/velmora-capture"
mkdir -p "$work/home" "$work/site/v" "$work/site/m"
chown 65534:65534 "$work/home"
head -c 3000 /dev/zero | tr '\0' v >"$work/site/v/a.mp4"
head -c 2000 /dev/zero | tr '\0' m >"$work/site/m/b.mp3"
echo '<html><body><a href="rtsp://127.0.0.1:8554/live/one">live</a></body></html>' >"$work/site/page.html"

# The same traffic, directly and through the helper.
unshare -n "$0" --in-namespace "$work" "$gid"
for run in direct helper; do
    [ ! -e "$work/$run.rc" ] || fail "$run capture exited with $(cat "$work/$run.rc"): $(cat "$work/$run.err")"
done
grep -q '"address":"http://127.0.0.1:8080/v/a.mp4"' "$work/direct.rows" ||
    fail "the direct capture did not list the request: $(cat "$work/direct.rows" "$work/direct.err")"
grep -q 'rtsp://127.0.0.1:8554/live/one' "$work/direct.rows" || fail "the direct capture missed the stream"
diff -u "$work/direct.rows" "$work/helper.rows" || fail "the capture through the helper differs from the direct one"
! grep -v "^velmora-cli: HTTP connections: [0-9]* followed, 0 with gaps$" "$work/helper.err" | grep -q . || fail "velmora-cli through the helper complained: $(cat "$work/helper.err")"
# Both stop on time: through the helper well within the read time-out of the direct one.
[ "$(cat "$work/helper.ms")" -le $(($(cat "$work/direct.ms") + 500)) ] ||
    fail "through the helper the capture took $(cat "$work/helper.ms") ms, directly $(cat "$work/direct.ms") ms"
expected_caps=$'velmora-capture Uid:\t65534\t65534\t65534\t65534
velmora-capture CapPrm:\t0000000000000000
velmora-capture CapEff:\t0000000000000000
velmora-cli Uid:\t65534\t65534\t65534\t65534
velmora-cli CapPrm:\t0000000000000000
velmora-cli CapEff:\t0000000000000000'
[ "$(cat "$work/capabilities")" = "$expected_caps" ] ||
    fail "capabilities during the capture: $(cat "$work/capabilities")"

# A user outside the group: the helper is not theirs to run, and they are told how.
status=0
setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$work/home" \
    VELMORA_CAPTURE_HELPER="$work/velmora-capture" "$work/velmora-cli" -i lo --seconds 1 >"$work/out" \
    2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "outside the group velmora-cli exited with $status"
for text in "cannot be run: Permission denied" "sudo dpkg-reconfigure velmora" "sudo usermod -aG velmora \$USER"; do
    grep -qF "$text" "$work/err" || fail "outside the group the message lacks '$text': $(cat "$work/err")"
done

# The window, as the member, on a virtual X server.
if [ -x "$build/tests/window_through_helper" ]; then
    cp "$build/tests/window_through_helper" "$work/"
    "$source/tests/run-under-xvfb.sh" setpriv --reuid=65534 --regid=65534 --groups="$gid" \
        env -u XDG_RUNTIME_DIR HOME="$work/home" VELMORA_CAPTURE_HELPER="$work/velmora-capture" \
        VELMORA_TEST_DEFAULT_SETTINGS="$work/default-setting.ini" "$work/window_through_helper" ||
        fail "the window did not capture through the helper"
fi
echo "capture-helper: velmora-cli and the window capture through the helper; outsiders are told how"
