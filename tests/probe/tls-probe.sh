#!/usr/bin/env bash
# velmora-tls as an installation runs it: an ordinary user's copy with cap_sys_admin, hooking that user's
# real clients while they fetch from nginx on 127.0.0.1 (in a network namespace of the test's own).
# Checks:
#  - curl over HTTP/1.1 and HTTP/2, Python's urllib and wget are hooked by library (openssl, gnutls), with
#    their pid, name and program path, the socket's four-tuple before their first data, and the request
#    heads, the HTTP/2 preface and one HEADERS frame per request; only what they send;
#  - a request with a 20 KB cookie arrives whole over several chunks, a write of 100,000 bytes is cut at
#    64 KiB and says so, and a non-blocking write retried after WANT_WRITE is reported once;
#  - another user's curl, alive across scans, and root's nginx never appear;
#  - with --receive the answers come too; a library deleted while the program runs (an upgrade) is hooked,
#    one the user owns is left alone and said so;
#  - SIGTERM and closing the stream end the probe (status 0); it holds CAP_SYS_ADMIN only, and no more
#    than that; without the capability, with an unknown kind, or as a third run of the user it says why.
# Usage: tls-probe.sh BUILD_DIR     (as root; exit 77 = skipped)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --in-namespace ]; then
    [ "$(id -u)" -eq 0 ] || { echo "tls-probe: needs root to make the users and set the capability"; exit 77; }
    [ -e /sys/kernel/btf/vmlinux ] || { echo "tls-probe: the kernel has no BTF (/sys/kernel/btf/vmlinux)"; exit 77; }
    [ -e /sys/bus/event_source/devices/uprobe/type ] || { echo "tls-probe: the kernel has no uprobes"; exit 77; }
    exec unshare -n "$0" --in-namespace "$@"
fi
ip link set lo up
build=$(cd "$2" && pwd)
fail() {
    echo "tls-probe: $*" >&2
    exit 1
}
source "$here/probe-session.sh"
work=$(mktemp -d /tmp/velmora-tls-probe.XXXXXX)
extra_pids=()
cleanup() {
    for pid in "${extra_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    probe_session_teardown
    [ -n "${keep_work:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
probe_session_setup "$work" "$build" velmora-probe
id velmora-probe2 >/dev/null 2>&1 || useradd -M -r -s /usr/sbin/nologin velmora-probe2
mkdir -p "$work/root/media" "$work/root/v"
head -c 1500 /dev/zero | tr '\0' m >"$work/root/media/clip.mp4"
printf '#EXTM3U\n#EXTINF:4,\nseg1.ts\n' >"$work/root/v/a.m3u8"
probe_server_start
status=0
"${probe_as_user[@]}" "$work/velmora-tls" --check 2>"$work/check.err" || status=$?
[ "$status" -eq 0 ] && grep -qx ready "$work/check.err" || fail "--check as the user: exit $status, $(cat "$work/check.err")"

calls() { /usr/bin/python3 "$here/vtls-dump.py" --calls "$work/$1.vtls"; }
records() { /usr/bin/python3 "$here/vtls-dump.py" "$work/$1.vtls"; }
base=https://127.0.0.1:8444

# Sent only: the four clients, the long cookie, the cut and retried writes, and another user's curl.
probe_start sent
probe_pid_sent=$probe_pid
caps=$(grep -E '^(CapInh|CapPrm|CapEff|CapAmb|NoNewPrivs):' "/proc/$probe_pid/status" | tr -s '\t ' ' ')
[ "$caps" = $'CapInh: 0000000000000000\nCapPrm: 0000000000200000\nCapEff: 0000000000200000\nCapAmb: 0000000000000000\nNoNewPrivs: 1' ] ||
    fail "the running probe holds: $caps"
probe_client curl_h1 curl -sSk --http1.1 -o /dev/null -o /dev/null "$base/media/clip.mp4" "$base/v/a.m3u8" ||
    fail "curl --http1.1: $(cat "$work/curl_h1.err")"
curl_h1=$probe_client_pid
probe_client curl_h2 curl -sSk --http2 -o /dev/null -o /dev/null -o /dev/null "$base/media/clip.mp4" \
    "$base/v/a.m3u8" "$base/v/seg1.ts" || fail "curl --http2: $(cat "$work/curl_h2.err")"
curl_h2=$probe_client_pid
probe_client python3 /usr/bin/python3 -c '
import ssl, sys, urllib.request
for url in sys.argv[1:]:
    urllib.request.urlopen(url, context=ssl._create_unverified_context()).read()
' "$base/media/clip.mp4?from=python" || fail "python3: $(cat "$work/python3.err")"
python3=$probe_client_pid
probe_client wget wget -q --no-check-certificate --no-hsts -O /dev/null "$base/v/a.m3u8?from=wget" ||
    fail "wget: $(cat "$work/wget.err")"
wget=$probe_client_pid
cookie=$(head -c 20000 /dev/zero | tr '\0' k)
# nginx refuses so long a header line (400), after the request was written whole.
probe_client cookie curl -sk --http1.1 -o /dev/null -H "Cookie: big=$cookie" "$base/media/cookie.mp4" || true
cookie_pid=$probe_client_pid

# A TLS server of our own that reads slowly into a small buffer, so the client's non-blocking writes
# fail with WANT_WRITE and are retried.
/usr/bin/python3 - "$work/server/server.crt" "$work/server/server.key" "$work/gate" "$work/slow.read" \
    "$work/slow.listening" <<'EOF' &
import os, socket, ssl, sys, time
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[1], sys.argv[2])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 8450))
listener.listen(1)
open(sys.argv[5], "w").close()
connection = context.wrap_socket(listener.accept()[0], server_side=True)
while not os.path.exists(sys.argv[3]):
    time.sleep(0.02)
time.sleep(0.3)
total = 0
while data := connection.recv(4096):
    total += len(data)
    time.sleep(0.002)
open(sys.argv[4], "w").write(str(total))
connection.close()
EOF
extra_pids+=($!)
for _ in $(seq 50); do [ -e "$work/slow.listening" ] && break; sleep 0.1; done
probe_client retried /usr/bin/python3 -c '
import os, select, socket, ssl, sys, time
raw = socket.socket()
raw.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
raw.connect(("127.0.0.1", 8450))
connection = ssl._create_unverified_context().wrap_socket(raw)
while not os.path.exists(sys.argv[1]):
    time.sleep(0.02)
connection.setblocking(False)
retries = 0
for payload in (b"R" * 40000, b"C" * 100000):
    while True:
        try:
            assert connection.send(payload) == len(payload)
            break
        except (ssl.SSLWantWriteError, ssl.SSLWantReadError):
            retries += 1
            select.select([], [connection], [], 5)
# Closing with the session tickets from the server unread would reset the connection and lose what the
# server has not read yet: end the writing side, then read until the server ends.
connection.setblocking(True)
connection.shutdown(socket.SHUT_WR)
try:
    while connection.recv(4096):
        pass
except (OSError, ssl.SSLError):
    pass
print(retries)
' "$work/gate" || fail "the non-blocking client: $(cat "$work/retried.err")"
retried=$probe_client_pid
[ "$(cat "$work/retried.out")" -gt 0 ] || fail "the non-blocking writes were never retried; the check proves nothing"

# Another user's curl, held at the relay across two scans: hooked by nobody.
rm -f "$work/gate"
setpriv --reuid="$(id -u velmora-probe2)" --regid="$(id -g velmora-probe2)" --clear-groups \
    env -i PATH=/usr/bin:/bin HOME=/ curl -sk -o /dev/null "$base/other/user.mp4" &
other=$!
sleep 4.5
touch "$work/gate"
wait "$other" || fail "the other user's curl failed"
sleep 0.5
probe_stop
[ "$probe_exit" -eq 0 ] || fail "SIGTERM: the probe exited with $probe_exit"
tail -1 "$work/sent.status" | grep -q '^stats [0-9]* 0$' || fail "the probe's last line: $(tail -1 "$work/sent.status")"
! grep -q "^attached $other " "$work/sent.status" || fail "the other user's curl was hooked"
calls sent >"$work/sent.calls"
records sent >"$work/sent.records"
! grep -q '^malformed' "$work/sent.calls" || fail "the stream is malformed: $(grep '^malformed' "$work/sent.calls")"

expect_call() { # PID NAME LIBRARY BYTES-PREFIX
    grep -qF "call $1 $1 $2 $3 sent " <(grep "^call $1 " "$work/sent.calls") &&
        grep "^call $1 " "$work/sent.calls" | grep -qF "whole $4" ||
        fail "no whole $3 call of $2 ($1) beginning $4: $(grep "^call $1 " "$work/sent.calls" | cut -c1-300)"
}
expect_call "$curl_h1" curl openssl "b'GET /media/clip.mp4 HTTP/1.1\\r\\nHost: 127.0.0.1:8444\\r\\n"
expect_call "$curl_h1" curl openssl "b'GET /v/a.m3u8 HTTP/1.1\\r\\n"
expect_call "$curl_h2" curl openssl "b'PRI * HTTP/2.0\\r\\n\\r\\nSM\\r\\n\\r\\n"
expect_call "$python3" python3 openssl "b'GET /media/clip.mp4?from=python HTTP/1.1\\r\\n"
expect_call "$wget" wget gnutls "b'GET /v/a.m3u8?from=wget HTTP/1.1\\r\\n"
expect_call "$cookie_pid" curl openssl "b'GET /media/cookie.mp4 HTTP/1.1\\r\\n"
# HTTP/2: after the preface, one HEADERS frame per request.
/usr/bin/python3 - "$work/sent.calls" "$curl_h2" <<'EOF' || fail "curl --http2's frames are not as sent"
import ast, sys
sent = b"".join(ast.literal_eval(line.split(" ", 10)[10])
                for line in open(sys.argv[1]) if line.startswith(f"call {sys.argv[2]} "))
preface = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
assert sent.startswith(preface), sent[:40]
at, headers = len(preface), 0
while at < len(sent):
    length = int.from_bytes(sent[at:at + 3], "big")
    headers += sent[at + 3] == 1
    at += 9 + length
assert at == len(sent) and headers == 3, (at, len(sent), headers)
EOF
grep -qF "$cookie" "$work/sent.calls" || fail "the 20 KB cookie did not arrive whole"
[ "$(grep "^data $cookie_pid " "$work/sent.records" | grep -c kkkk)" -ge 5 ] ||
    fail "the 20 KB request did not come in chunks"
# The retried writes: each once, the long one cut at 64 KiB and flagged.
[ "$(grep "^call $retried " "$work/sent.calls" | grep -c "python3 openssl sent .* 40000 whole b'RRRR")" -eq 1 ] ||
    fail "the retried 40,000-byte write: $(grep "^call $retried " "$work/sent.calls" | cut -c1-200)"
grep -q "^call $retried .* 100000 whole b'CCCC" "$work/sent.calls" ||
    fail "the 100,000-byte write is not reported cut: $(grep "^call $retried " "$work/sent.calls" | cut -c1-200)"
[ "$(grep "^call $retried " "$work/sent.calls" | grep -c "RRRR\|CCCC")" -eq 2 ] ||
    fail "the retried writes were reported more than once"
[ "$(grep "^data $retried .* 100000 " "$work/sent.records" | grep -c " 1 b'\| 3 b'")" -eq 16 ] ||
    fail "the cut write is not 16 chunks flagged Cut"
[ "$(cat "$work/slow.read")" -eq 140000 ] || fail "the slow server read $(cat "$work/slow.read") bytes"
# Whose records: only the clients', each with its program and socket, and nothing received.
for pid in "$curl_h1" "$curl_h2" "$python3" "$wget" "$cookie_pid" "$retried"; do
    grep -q "^process $pid [a-z0-9]* /usr/bin/" "$work/sent.records" || fail "no Process record for $pid"
    grep -q "^connection $pid .* 127.0.0.1:[0-9]* 127.0.0.1:84[45][04]$" "$work/sent.records" ||
        fail "no Connection record for $pid"
done
pids=$(awk '{print $2}' "$work/sent.records" | sort -u | tr '\n' ' ')
expected=$(printf '%s\n' "$curl_h1" "$curl_h2" "$python3" "$wget" "$cookie_pid" "$retried" | sort -u | tr '\n' ' ')
[ "$pids" = "$expected" ] || fail "records of processes other than the user's clients: $pids (clients: $expected)"
! grep -q "other/user.mp4" "$work/sent.records" || fail "the other user's request was reported"
! grep -q " received " "$work/sent.records" || fail "received data without --receive"

# --receive: the answers too.
probe_start received --receive --kinds openssl
probe_client curl_receive curl -sSk --http1.1 -o /dev/null "$base/media/clip.mp4" || fail "curl with --receive"
probe_stop
calls received >"$work/received.calls"
grep -q "^call $probe_client_pid .* curl openssl received .* whole b'HTTP/1.1 200 OK\\\\r\\\\n.*mmmm" "$work/received.calls" ||
    fail "with --receive the answer is missing: $(cut -c1-200 "$work/received.calls")"

# A library deleted while the program runs, as an upgrade leaves it: the file the program maps is hooked.
# One the user owns is not read at all (libbpf parses it with the helper's capability): said, not hooked.
libssl=$(/sbin/ldconfig -p | awk '/libssl\.so\.3 .*x86-64/ && !path { path = $NF } END { print path }')
mkdir -p "$work/lib" "$work/userlib"
cp "$libssl" "$work/lib/libssl.so.3"
cp "$libssl" "$work/userlib/libssl.so.3"
chown "$probe_uid:$probe_gid" "$work/userlib/libssl.so.3"
rm -f "$work/gate"
python_with() { # LIBRARY_DIR NAME
    "${probe_as_user[@]}" LD_LIBRARY_PATH="$1" /usr/bin/python3 -c '
import os, ssl, sys, time, urllib.request
open(sys.argv[1], "w").close()
while not os.path.exists(sys.argv[2]):
    time.sleep(0.02)
urllib.request.urlopen(sys.argv[3], context=ssl._create_unverified_context()).read()
' "$work/home/$2.loaded" "$work/gate" "$base/media/clip.mp4?from=$2" >"$work/$2.out" 2>&1 &
}
python_with "$work/lib" deleted
deleted=$!
python_with "$work/userlib" owned
owned=$!
extra_pids+=("$deleted" "$owned")
for _ in $(seq 200); do [ -e "$work/home/deleted.loaded" ] && [ -e "$work/home/owned.loaded" ] && break; sleep 0.05; done
grep -q "$work/lib/libssl.so.3" "/proc/$deleted/maps" && grep -q "$work/userlib/libssl.so.3" "/proc/$owned/maps" ||
    fail "python3 did not load the copies of libssl"
rm "$work/lib/libssl.so.3"
probe_start libraries
for _ in $(seq 200); do grep -q "^attached $deleted openssl" "$work/libraries.status" && break; sleep 0.05; done
sleep 2.5 # a scan more for the user's own library
touch "$work/gate"
wait "$deleted" || fail "python3 with a deleted libssl: $(cat "$work/deleted.out")"
wait "$owned" || fail "python3 with its own libssl: $(cat "$work/owned.out")"
probe_stop
grep -q "^attached $deleted openssl" "$work/libraries.status" || fail "a deleted libssl: $(cat "$work/libraries.status")"
calls libraries >"$work/libraries.calls"
grep -q "^call $deleted .* python3 openssl sent .* whole b'GET /media/clip.mp4?from=deleted HTTP/1.1" \
    "$work/libraries.calls" || fail "the request through a deleted libssl is missing: $(cut -c1-200 "$work/libraries.calls")"
grep -q "^warning $owned openssl $work/userlib/libssl.so.3: not a file owned and written by root only, left alone" \
    "$work/libraries.status" && ! grep -q "^attached $owned " "$work/libraries.status" &&
    ! grep -q "^call $owned " "$work/libraries.calls" || fail "a libssl of the user's own: $(cat "$work/libraries.status")"

# The reader closing the stream ends the probe.
status=0
timeout 20 bash -c '"$@" --status-fd 3 3>"'"$work"'/closed.status" | true' _ "${probe_as_user[@]}" "$work/velmora-tls" ||
    status=$?
[ "$status" -eq 0 ] && grep -q '^ready' "$work/closed.status" || fail "a closed stream: exit $status, $(cat "$work/closed.status")"

# What it says when it cannot run.
cp "$work/velmora-tls" "$work/velmora-tls-plain"
status=0
"${probe_as_user[@]}" "$work/velmora-tls-plain" --check 2>"$work/plain.err" || status=$?
[ "$status" -eq 1 ] && grep -q '^error velmora-tls needs CAP_SYS_ADMIN' "$work/plain.err" ||
    fail "without the capability: exit $status, $(cat "$work/plain.err")"
status=0
"${probe_as_user[@]}" "$work/velmora-tls" --kinds openssl,schannel 2>"$work/kind.err" || status=$?
[ "$status" -eq 2 ] && grep -q 'unknown library kind "schannel"' "$work/kind.err" ||
    fail "an unknown kind: exit $status, $(cat "$work/kind.err")"
probe_start first
first=$probe_pid
probe_start second
extra_pids+=("$first")
status=0
"${probe_as_user[@]}" "$work/velmora-tls" 2>"$work/third.err" >/dev/null || status=$?
[ "$status" -eq 1 ] && grep -q '^error 2 probes of this user are already running' "$work/third.err" ||
    fail "a third probe: exit $status, $(cat "$work/third.err")"
echo "tls-probe: curl (HTTP/1.1, HTTP/2), python3 and wget hooked; long, cut and retried writes once;" \
    "other users unseen; answers with --receive; a deleted libssl hooked, a user's own left alone; stops on" \
    "SIGTERM and a closed stream; refusals explained"
