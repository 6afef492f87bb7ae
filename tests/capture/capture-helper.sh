#!/usr/bin/env bash
# Capture rights through velmora-capture, as an installation that lets a group capture sets them up: an
# ordinary user (nobody) in a scratch system group, and a copy of the helper owned root:GROUP 0754 with
# cap_net_raw. Checks, with real traffic on the loopback:
#  - velmora-cli as that user captures through the helper and lists what root captures directly from the
#    same traffic: the same rows with the same packet numbers (in a network namespace of the test's own,
#    so nothing else is on its loopback); during the capture neither the user's process nor the helper
#    holds a capability, and the helper runs as the user;
#  - a user outside the group cannot run the helper and is told how to get the right;
#  - the helper opens kernel network interfaces only (no program runs through a dbus address), lowers -B
#    to 32 MiB, and refuses a fifth run of one user beside four, which velmora-cli reports;
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

# Only kernel network interfaces: libdbus would run the program a unixexec address names, whether the
# adapter name or the environment gives the address, while the helper holds its right.
status=0
"$work/velmora-capture" -i "dbus://unixexec:path=/usr/bin/touch,argv1=$work/ran-name" --check --status-fd 3 \
    3>"$work/name.status" >/dev/null 2>&1 || status=$?
[ ! -e "$work/ran-name" ] || fail "a dbus:// adapter name ran a program"
[ "$status" -eq 2 ] || fail "a dbus:// adapter name: exit $status, $(cat "$work/name.status")"
grep -q '^error .*is not a network interface' "$work/name.status" || fail "a dbus:// name: $(cat "$work/name.status")"
status=0
env DBUS_SESSION_BUS_ADDRESS="unixexec:path=/usr/bin/touch,argv1=$work/ran-env" "$work/velmora-capture" \
    -i dbus-session --check --status-fd 3 3>"$work/env.status" >/dev/null 2>&1 || status=$?
[ ! -e "$work/ran-env" ] || fail "DBUS_SESSION_BUS_ADDRESS ran a program"
[ "$status" -eq 2 ] || fail "dbus-session: exit $status, $(cat "$work/env.status")"
status=0
"$work/velmora-capture" -i lo:1 --check --status-fd 3 3>"$work/alias.status" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] && grep -q '^error -1 "lo:1" is an address label of lo' "$work/alias.status" ||
    fail "an alias label: exit $status, $(cat "$work/alias.status")"
"$work/velmora-capture" -D >"$work/adapters"
grep -q $'^lo\t' "$work/adapters" || fail "-D does not list lo: $(cat "$work/adapters")"
while IFS=$'\t' read -r name _; do
    [ -e "/sys/class/net/$name" ] || fail "-D lists $name, which is no kernel network interface"
done <"$work/adapters"

# At most four helpers of one user at once, each with at most 32 MiB of kernel buffer: a fifth is refused
# and velmora-cli says why. (A filter that matches nothing on lo: the runs only hold their buffers.)
as_member=(setpriv --reuid=65534 --regid=65534 --groups="$gid" env -i PATH=/usr/bin:/bin HOME="$work/home"
    VELMORA_CAPTURE_HELPER="$work/velmora-capture")
runs=()
for n in 1 2 3 4; do
    "${as_member[@]}" "$work/velmora-capture" -i lo -B $((64 << 20)) -f 'ether proto 0x88b5' --status-fd 3 \
        3>"$work/run$n.status" >/dev/null 2>&1 &
    runs+=($!)
done
stop_runs() { kill "${runs[@]}" 2>/dev/null || true; }
trap 'stop_runs; cleanup' EXIT
for n in 1 2 3 4; do
    for _ in $(seq 200); do grep -q '^ready' "$work/run$n.status" && break; sleep 0.05; done
    grep -q '^ready' "$work/run$n.status" || fail "run $n did not start: $(cat "$work/run$n.status")"
done
grep -q '^warning -B 67108864 lowered to 33554432' "$work/run1.status" ||
    fail "-B 64 MiB was not lowered: $(cat "$work/run1.status")"
# The packet ring is mapped into the helper: its size is what the kernel holds.
ring=0
while read -r range _ _ _ _ path; do
    if [[ $path == socket:* ]]; then
        ring=$((ring + 0x${range#*-} - 0x${range%-*}))
    fi
done <"/proc/${runs[0]}/maps"
[ "$ring" -gt 0 ] && [ "$ring" -le $((32 << 20)) ] || fail "the kernel ring is $ring bytes"
status=0
"${as_member[@]}" "$work/velmora-capture" -i lo --check --status-fd 3 3>"$work/run5.status" >/dev/null 2>&1 ||
    status=$?
[ "$status" -ne 0 ] || fail "a fifth helper ran beside four"
grep -q '^error -1 4 captures of this user are already running' "$work/run5.status" ||
    fail "a fifth helper: $(cat "$work/run5.status")"
status=0
"${as_member[@]}" "$work/velmora-cli" -i lo --seconds 1 >/dev/null 2>"$work/cli5.err" || status=$?
[ "$status" -eq 2 ] && grep -qF "4 captures of this user are already running" "$work/cli5.err" ||
    fail "velmora-cli beside four helpers: exit $status, $(cat "$work/cli5.err")"
stop_runs
wait "${runs[@]}" || true
trap cleanup EXIT
"${as_member[@]}" "$work/velmora-capture" -i lo --check --status-fd 3 3>"$work/run6.status" >/dev/null 2>&1 ||
    fail "after the four stopped a run is still refused: $(cat "$work/run6.status")"

# The window, as the member, on a virtual X server.
if [ -x "$build/tests/window_through_helper" ]; then
    cp "$build/tests/window_through_helper" "$work/"
    "$source/tests/run-under-xvfb.sh" setpriv --reuid=65534 --regid=65534 --groups="$gid" \
        env -u XDG_RUNTIME_DIR HOME="$work/home" VELMORA_CAPTURE_HELPER="$work/velmora-capture" \
        VELMORA_TEST_DEFAULT_SETTINGS="$work/default-setting.ini" "$work/window_through_helper" ||
        fail "the window did not capture through the helper"
fi
echo "capture-helper: velmora-cli and the window capture through the helper; outsiders are told how;" \
    "only kernel interfaces, 32 MiB and four runs"
