#!/usr/bin/env bash
# Records tests/data/abandoned_h1_tls.pcap and .keys: curl 7.88 (OpenSSL 3) refuses nginx's self-signed
# certificate and gives up inside the TLS 1.3 handshake, having logged only handshake secrets; then the
# same request with -k completes. On lo, as root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$here/../data
work=$(mktemp -d)
trap 'https_server_stop; [ -n "${dumper:-}" ] && kill "$dumper" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/root" && echo clip >"$work/root/a.mp4"
source "$here/https-server.sh"
https_server_start "$work" "$work/root"
dumpcap -q -P -i lo -f 'tcp port 8443' -w "$work/capture.pcap" 2>/dev/null &
dumper=$!
sleep 2
SSLKEYLOGFILE=$work/keys.log curl -s --http1.1 -o /dev/null https://127.0.0.1:8443/a.mp4 || true
SSLKEYLOGFILE=$work/keys.log curl -sk --http1.1 -o /dev/null https://127.0.0.1:8443/a.mp4
sleep 1
kill "$dumper" && wait "$dumper" || true
dumper=
cp "$work/capture.pcap" "$data/abandoned_h1_tls.pcap"
cp "$work/keys.log" "$data/abandoned_h1_tls.keys"
chmod 644 "$data/abandoned_h1_tls.pcap" "$data/abandoned_h1_tls.keys"
