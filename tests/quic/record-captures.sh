#!/usr/bin/env bash
# Records the HTTP/3 test captures in tests/data: quic_*.pcap, the client's TLS secrets quic_*.keys
# and quic_*.oracle.txt, the GET requests the server logged, each with the frame tshark finds its
# first STREAM frame in. Clients and servers run in a private network namespace:
#   quic_ngtcp2: ngtcp2's gtlsclient against its gtlsserver (one server that sends Retry), with the
#     three TLS 1.3 AEAD suites, several requests on one connection (the client's QPACK encoder uses
#     the dynamic table), a key update, resumption with 0-RTT requests, a connection migration to a
#     new port (new connection ID) and a NAT rebinding (same connection ID), a version negotiation,
#     a HelloRetryRequest, QUIC version 2 (as Debian's ngtcp2 numbers it), over IPv4 and IPv6, and one
#     connection whose secrets are not logged.
#   quic_chromium, quic_firefox: headless Chromium and Firefox loading a page with its media from
#     gtlsserver over QUIC.
#   quic_ngtcp2_preferred: gtlsserver names a preferred address (RFC 9000 section 9.6) in its
#     transport parameters; gtlsclient moves to it, with the connection ID given there, and asks
#     from there.
# Needs root, ngtcp2-client, ngtcp2-server, chromium, firefox-esr, libnss3-tools, openssl, dumpcap and
# tshark.
#   tests/quic/record-captures.sh [ngtcp2] [chromium] [firefox] [preferred]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
work=$(mktemp -d /tmp/velmora-quic-record.XXXXXX)
ns=velmora-quic-record-$$
pids=()

in_ns() { ip netns exec "$ns" "$@"; }
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
# No segmentation offload: datagrams as they leave an Ethernet adapter (tshark 4.0 does not split
# the segments of a UDP GSO send, which a capture on the sending host shows as one frame).
in_ns ip link set lo mtu 1500 gso_max_size 1500 up
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=media.velmora.test \
    -addext subjectAltName=DNS:media.velmora.test -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
mkdir -p "$work/htdocs"
for f in video/clip.mp4 video/b.mp4 audio/song.mp3 index.html live/stream.m3u8 pictures/poster.jpg stream/segment.vid; do
    mkdir -p "$work/htdocs/$(dirname "$f")"
    echo "$f" >"$work/htdocs/$f"
done

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

start_capture() {
    start_bg "$work/dumpcap.log" dumpcap -q -i lo -P -s 65535 -f udp -w "$work/$1.pcap"
    dumpcap_pid=$bg_pid
    sleep 1
}
stop_capture() {
    sleep 0.5
    stop_bg "$dumpcap_pid"
    cp "$work/$1.pcap" "$data/$1.pcap"
}

suites_aes128='NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM'
suites_aes256='NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-256-GCM'
suites_chacha='NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+CHACHA20-POLY1305'
client() {
    in_ns env SSLKEYLOGFILE="$keys" timeout 20 gtlsclient -q --exit-on-all-streams-close "$@" >/dev/null 2>&1
}
h=https://media.velmora.test

# The requests a gtlsserver debug log shows, in the order it read them: the server prints each
# header of a request on its own line ("http: stream 0x0 [:path: /x]").
ngtcp2_requests() {
    awk '/^http: stream 0x[0-9a-f]+ \[/ {
            id = $3; line = $0; sub(/^[^[]*\[/, "", line); sub(/\]$/, "", line)
            split(line, kv, ": ")
            if (kv[1] == ":method") method[id] = kv[2]
            if (kv[1] == ":authority") authority[id] = kv[2]
            if (kv[1] == ":path") { path[id] = substr(line, 8) }
            if (method[id] != "" && authority[id] != "" && path[id] != "") {
                if (method[id] == "GET") print "https://" authority[id] path[id]
                delete method[id]; delete authority[id]; delete path[id]
            }
        }' "$@"
}

# --- oracles ---------------------------------------------------------------------------------
# The frames that carry a request: the first client STREAM frame (offset 0) of each client-initiated
# bidirectional stream, as tshark decrypts them with the key log.
request_frames() {
    tshark -n -r "$1" -o "tls.keylog_file:$2" -Y 'quic.stream.stream_id' -T fields -E occurrence=a \
        -E aggregator='|' -e frame.number -e udp.dstport -e quic.connection.number -e quic.stream.stream_id \
        -e quic.stream.off 2>/dev/null |
        awk -F'\t' -v port="$3" '$2 ~ port {
            n = split($4, ids, "|"); split($5, offs, "|")
            for (i = 1; i <= n; i++) {
                key = $3 "/" ids[i]
                if (ids[i] % 4 == 0 && offs[i] == 0 && !(key in seen)) { seen[key] = 1; print $1 }
            }
        }'
}
record_ngtcp2() {
    keys=$data/quic_ngtcp2.keys
    : >"$keys"
    printf 'video/mp4 mp4 vid\naudio/mpeg mp3\ntext/html html\napplication/vnd.apple.mpegurl m3u8\nimage/jpeg jpg\n' \
        >"$work/mime.types"
    start_bg "$work/server.log" gtlsserver --mime-types-file="$work/mime.types" --preferred-versions v1,v2draft --other-versions v1,v2draft -d "$work/htdocs" '*' 4433 "$work/server.key" "$work/server.crt"
    server_pid=$bg_pid
    start_bg "$work/retry.log" gtlsserver -V -d "$work/htdocs" '*' 4434 "$work/server.key" "$work/server.crt"
    retry_pid=$bg_pid
    start_bg "$work/hrr.log" gtlsserver --groups=-GROUP-ALL:+GROUP-SECP384R1 -d "$work/htdocs" '*' 4435 \
        "$work/server.key" "$work/server.crt"
    hrr_pid=$bg_pid
    sleep 0.5
    start_capture quic_ngtcp2
    # Several requests on one connection (AES-128-GCM); the duplicate keeps its frame.
    # A file type no row rule names (.vid) is served as video/mp4: listed by its answer's media type.
    client --ciphers "$suites_aes128" 127.0.0.1 4433 "$h:4433/video/clip.mp4?exp=1.5&sig=a.b" "$h:4433/audio/song.mp3" \
        "$h:4433/index.html" "$h:4433/video/clip.mp4?exp=1.5&sig=a.b" "$h:4433/stream/segment.vid"
    client --ciphers "$suites_aes256" 127.0.0.1 4433 "$h:4433/pictures/poster.jpg"
    client --ciphers "$suites_chacha" ::1 4433 "$h:4433/live/stream.m3u8?token=x.y"
    # Resumption: the second run sends its request as 0-RTT data.
    client --session-file="$work/session" --tp-file="$work/tp" 127.0.0.1 4433 "$h:4433/video/first-visit.mp4"
    client --session-file="$work/session" --tp-file="$work/tp" 127.0.0.1 4433 "$h:4433/video/early-data.mp4"
    # Migration to a new port with a new connection ID, and a NAT rebinding that keeps it.
    client --change-local-addr=100ms --delay-stream=300ms 127.0.0.1 4433 "$h:4433/video/migrated.mp4"
    client --change-local-addr=100ms --nat-rebinding --delay-stream=300ms 127.0.0.1 4433 "$h:4433/video/rebound.mp4"
    # A version the server does not speak first: it answers with Version Negotiation.
    client -v 0x1a2a3a4a --preferred-versions v1 127.0.0.1 4433 "$h:4433/video/after-negotiation.mp4"
    # Retry (the server that validates addresses; its requests come last in the oracle), then a key update before the requests.
    client --ciphers "$suites_aes128" --key-update=100ms --delay-stream=300ms 127.0.0.1 4434 "$h:4434/video/after-key-update.mp4"
    # A server that takes only a key share the client did not send: HelloRetryRequest first.
    client 127.0.0.1 4435 "$h:4435/video/after-hello-retry.mp4"
    # QUIC version 2 as Debian's ngtcp2 speaks it: the provisional version number with its draft's salt.
    client -v v2draft 127.0.0.1 4433 "$h:4433/video/version-two.mp4"
    # Secrets not logged: no row.
    keys=$work/elsewhere.keys client 127.0.0.1 4433 "$h:4433/secret/no-keys.mp4"
    stop_capture quic_ngtcp2
    stop_bg "$server_pid"
    stop_bg "$retry_pid"
    stop_bg "$hrr_pid"

    # tshark 4.0 does not know version 2's provisional number: that request's frame is left as "*".
    ngtcp2_requests "$work/server.log" | grep -v -e /secret/ -e /version-two >"$work/addresses" || true
    ngtcp2_requests "$work/retry.log" "$work/hrr.log" >>"$work/addresses"
    request_frames "$data/quic_ngtcp2.pcap" "$data/quic_ngtcp2.keys" '^443[345]$' >"$work/frames"
    if [ "$(wc -l <"$work/frames")" != "$(wc -l <"$work/addresses")" ]; then
        echo "tshark shows $(wc -l <"$work/frames") requests, the server logged $(wc -l <"$work/addresses")" >&2
        paste "$work/frames" "$work/addresses" >&2
        exit 1
    fi
    {
        paste "$work/frames" "$work/addresses"
        ngtcp2_requests "$work/server.log" | grep /version-two | sed 's/^/*\t/'
    } >"$data/quic_ngtcp2.oracle.txt"
}

record_chromium() {
    # Chromium (headless, a fresh profile) loads a page whose picture, video, script and the playlist
    # the script fetches come over QUIC; its leaf key's hash stands in for a trusted certificate.
    keys=$data/quic_chromium.keys
    : >"$keys"
    make_page
    local spki
    spki=$(openssl x509 -in "$work/server.crt" -pubkey -noout | openssl pkey -pubin -outform der |
        openssl dgst -sha256 -binary | base64)
    start_bg "$work/chromium-server.log" gtlsserver -d "$work/page" 127.0.0.1 4433 "$work/server.key" "$work/server.crt"
    local server_pid=$bg_pid
    sleep 0.5
    start_capture quic_chromium
    in_ns timeout 60 chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$work/profile" \
        --enable-quic --origin-to-force-quic-on=media.velmora.test:4433 \
        --host-resolver-rules="MAP media.velmora.test 127.0.0.1" --ignore-certificate-errors-spki-list="$spki" \
        --ssl-key-log-file="$keys" --virtual-time-budget=3000 --dump-dom "$h:4433/page.html" >/dev/null 2>&1
    stop_capture quic_chromium
    stop_bg "$server_pid"
    oracle_from_server quic_chromium "$work/chromium-server.log"
}

# A page with a picture, a video, a script and the playlist the script fetches, for the browsers.
make_page() {
    mkdir -p "$work/page/video" "$work/page/img" "$work/page/live"
    cat >"$work/page/page.html" <<'HTML'
<!doctype html><html><body><img src="/img/poster.jpg"><video src="/video/clip.mp4" autoplay muted></video>
<script src="/app.js"></script></body></html>
HTML
    echo "fetch('/live/list.m3u8?t=1')" >"$work/page/app.js"
    for f in video/clip.mp4 img/poster.jpg live/list.m3u8; do echo "$f" >"$work/page/$f"; done
}

# NAME.oracle.txt of a browser's capture: the requests one server logged, with tshark's frames.
oracle_from_server() {
    ngtcp2_requests "$2" >"$work/addresses"
    request_frames "$data/$1.pcap" "$data/$1.keys" '^4433$' >"$work/frames"
    if [ "$(wc -l <"$work/frames")" != "$(wc -l <"$work/addresses")" ]; then
        echo "$1: tshark shows $(wc -l <"$work/frames") requests, the server logged $(wc -l <"$work/addresses")" >&2
        exit 1
    fi
    paste "$work/frames" "$work/addresses" >"$data/$1.oracle.txt"
}

record_firefox() {
    # Firefox (headless, a fresh profile that trusts a test CA) loads the same page over QUIC: the
    # testing pref maps the origin to HTTP/3 directly, and a third-party root must not turn it off.
    keys=$data/quic_firefox.keys
    : >"$keys"
    make_page
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Velmora Test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=media.velmora.test \
        -keyout "$work/leaf.key" -out "$work/leaf.csr" 2>/dev/null
    printf 'subjectAltName=DNS:media.velmora.test\nextendedKeyUsage=serverAuth\n' >"$work/leaf.ext"
    openssl x509 -req -in "$work/leaf.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
        -extfile "$work/leaf.ext" -out "$work/leaf.crt" 2>/dev/null
    mkdir -p "$work/firefox"
    certutil -N -d "sql:$work/firefox" --empty-password
    certutil -A -d "sql:$work/firefox" -n velmora-test-ca -t C,, -i "$work/ca.crt"
    cat >"$work/firefox/user.js" <<'PREFS'
user_pref("network.http.http3.enable", true);
user_pref("network.http.http3.alt-svc-mapping-for-testing", "media.velmora.test;h3=:4433");
user_pref("network.http.http3.disable_when_third_party_roots_found", false);
user_pref("network.dns.localDomains", "media.velmora.test");
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("app.update.enabled", false);
PREFS
    start_bg "$work/firefox-server.log" gtlsserver -d "$work/page" 127.0.0.1 4433 "$work/leaf.key" "$work/leaf.crt"
    local server_pid=$bg_pid
    sleep 0.5
    start_capture quic_firefox
    in_ns env SSLKEYLOGFILE="$keys" HOME="$work" MOZ_HEADLESS=1 timeout 60 firefox-esr --headless --no-remote \
        --profile "$work/firefox" --screenshot "$work/firefox.png" "$h:4433/page.html" >/dev/null 2>&1
    stop_capture quic_firefox
    stop_bg "$server_pid"
    oracle_from_server quic_firefox "$work/firefox-server.log"
}

record_preferred() {
    keys=$data/quic_ngtcp2_preferred.keys
    : >"$keys"
    start_bg "$work/preferred.log" gtlsserver --preferred-ipv4-addr=127.0.0.2:4437 -d "$work/htdocs" '*' 4436 \
        "$work/server.key" "$work/server.crt"
    local server_pid=$bg_pid
    sleep 0.5
    start_capture quic_ngtcp2_preferred
    # The requests wait until the client has moved to the preferred address.
    client --delay-stream=500ms 127.0.0.1 4436 "$h:4436/video/clip.mp4" "$h:4436/audio/song.mp3" \
        "$h:4436/live/stream.m3u8" "$h:4436/pictures/poster.jpg" "$h:4436/video/b.mp4" "$h:4436/stream/segment.vid"
    stop_capture quic_ngtcp2_preferred
    stop_bg "$server_pid"
    ngtcp2_requests "$work/preferred.log" >"$work/addresses"
    request_frames "$data/quic_ngtcp2_preferred.pcap" "$keys" '^443[67]$' >"$work/frames"
    if [ "$(wc -l <"$work/frames")" != "$(wc -l <"$work/addresses")" ]; then
        echo "quic_ngtcp2_preferred: tshark shows $(wc -l <"$work/frames") requests, the server logged $(wc -l <"$work/addresses")" >&2
        exit 1
    fi
    paste "$work/frames" "$work/addresses" >"$data/quic_ngtcp2_preferred.oracle.txt"
}

# All captures, or the ones named: tests/quic/record-captures.sh [ngtcp2] [chromium] [firefox] [preferred]
for name in "${@:-ngtcp2 chromium firefox preferred}"; do
    for one in $name; do "record_$one"; done
done
wc -l "$data"/quic_*.oracle.txt
