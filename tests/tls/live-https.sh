#!/usr/bin/env bash
# Live HTTPS capture: velmora-cli captures lo with a key log that starts empty while curl fetches
# over TLS 1.3 + HTTP/2 from nginx on 127.0.0.1 and appends its secrets, all inside a private
# network namespace. Prints velmora-cli's rows, then its messages. Needs root.
#   tests/tls/live-https.sh VELMORA_CLI SETTINGS
set -euo pipefail
cli=${1:?velmora-cli} settings=${2:?setting.ini}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/velmora-tls-live.XXXXXX)
ns=velmora-tls-live-$$
cli_pid=
source "$here/https-server.sh"

cleanup() {
    [ -n "$cli_pid" ] && kill "$cli_pid" 2>/dev/null || true
    https_server_stop
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
mkdir -p "$work/root"
https_server_start "$work" "$work/root"
: >"$work/keys.log"
# velmora-cli's own pid comes from inside the namespace: ip netns exec runs it as a child.
ip netns exec "$ns" sh -c 'echo $$ >"$1"; exec "$2" -i lo --seconds 6 --tls-keylog "$3" --settings "$4"' sh \
    "$work/cli.pid" "$cli" "$work/keys.log" "$settings" >"$work/rows.txt" 2>"$work/messages.txt" &
sleep 1.5
cli_pid=$(cat "$work/cli.pid")
ip netns exec "$ns" env SSLKEYLOGFILE="$work/keys.log" curl -sk --http2 --tlsv1.3 -o /dev/null \
    --resolve media.velmora.test:8443:127.0.0.1 "https://media.velmora.test:8443/live/test-clip.mp4?exp=1.5"
while kill -0 "$cli_pid" 2>/dev/null; do sleep 0.2; done
cli_pid=
cat "$work/rows.txt"
cat "$work/messages.txt" >&2
