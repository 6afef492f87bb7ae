#!/usr/bin/env bash
# Records tests/data/tls13_0rtt_firefox.pcap with Firefox's key log (.keys), tshark's GET requests
# (.oracle.txt) and the requests nginx served (.served.txt, from its access log): Firefox (NSS) resumes
# TLS 1.3 sessions with early data against nginx (ssl_early_data on, a shared session cache), over HTTP/2 on
# 127.0.0.1:8443 and HTTP/1.1 on 127.0.0.1:8444. nginx is restarted once between two rounds of requests:
# its session cache goes with it, so the next resumptions fail and the early data Firefox already sent is
# refused. Firefox then sends its requests again after the handshake (HTTP/2 with a new preface and a
# fresh header table), and more requests follow on the same connections. The rounds before the restart
# and the page after it have their early data accepted.
# Runs inside a private network namespace; Firefox runs headless as nobody with a throw-away profile that
# trusts a test CA made for the run. Needs root, nginx-light, firefox-esr, libnss3-tools, openssl,
# dumpcap and tshark.
#   tests/tls/record-refused-early-data.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../data" && pwd)
work=$(mktemp -d /tmp/velmora-0rtt.XXXXXX)
ns=velmora-0rtt-$$
name=tls13_0rtt_firefox
dumpcap_pid= nginx_pid= firefox_pid=

cleanup() {
    for pid in "$firefox_pid" "$dumpcap_pid" "$nginx_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip netns exec "$ns" ip link set lo mtu 1500 up
cd "$work"
mkdir -p root/media home/profile

# A CA for the run, and a server certificate for 127.0.0.1 that it signs: Firefox has no switch to
# ignore certificate errors, but trusts a CA in its profile.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmora Test CA" -keyout ca.key -out ca.crt \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
    -out server.crt 2>/dev/null

cat >nginx.conf <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
    log_format served '\$msec \$server_port \$connection \$ssl_early_data "\$request" \$status';
    access_log $work/access.log served;
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    # Idle connections close soon, so that each round of requests opens new ones (and resumes).
    keepalive_timeout 1s;
    ssl_certificate $work/server.crt;
    ssl_certificate_key $work/server.key;
    ssl_protocols TLSv1.3;
    ssl_early_data on;
    ssl_session_cache shared:velmora0rtt:1m;
    root $work/root;
    add_header Access-Control-Allow-Origin *;
    server { listen 127.0.0.1:8443 ssl http2; location / { try_files \$uri =404; } }
    server { listen 127.0.0.1:8444 ssl; location / { try_files \$uri =404; } }
}
EOF

# Rounds of requests 3 s apart; in each, a second batch follows on the connections of the first.
cat >root/page1.html <<'EOF'
<!doctype html><title>one</title><img src="/media/one.jpg">
<script>
function h2(n) { fetch("/media/" + n).then(r => r.arrayBuffer()).catch(() => {}); }
function h1(n) { fetch("https://127.0.0.1:8444/media/" + n).then(r => r.arrayBuffer()).catch(() => {}); }
setTimeout(() => { h2("a1.mp4"); h2("a2.mp3"); h1("a3.mp4"); }, 3000);
setTimeout(() => { h2("a4.flv"); h1("a5.mp3"); }, 3600);
setTimeout(() => { h2("b1.mp4"); h2("b2.mp3"); h1("b3.mp4"); }, 6000);
setTimeout(() => { h2("b4.flv"); h1("b5.mp3"); }, 6600);
setTimeout(() => { location.href = "/page2.html"; }, 9000);
</script>
EOF
cat >root/page2.html <<'EOF'
<!doctype html><title>two</title><video src="/media/c1.mp4" preload="auto"></video>
EOF
for f in one.jpg a1.mp4 a2.mp3 a3.mp4 a4.flv a5.mp3 b1.mp4 b2.mp3 b3.mp4 b4.flv b5.mp3 c1.mp4; do
    head -c 2000 /dev/zero >"root/media/$f"
done

profile=$work/home/profile
certutil -N -d "sql:$profile" --empty-password
certutil -A -n velmora-test-ca -t "C,," -i ca.crt -d "sql:$profile"
cat >"$profile/user.js" <<'EOF'
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.http.http3.enable", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.enabled", false);
user_pref("app.update.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
EOF
chmod -R a+rX "$work"
chown -R 65534:65534 home

start_nginx() {
    ip netns exec "$ns" /usr/sbin/nginx -c "$work/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 50); do
        ip netns exec "$ns" bash -c 'exec 3<>/dev/tcp/127.0.0.1/8443' 2>/dev/null && return 0
        sleep 0.1
    done
    cat error.log >&2
    return 1
}
served() { grep -q "$1" access.log 2>/dev/null; }
start_nginx

ip netns exec "$ns" dumpcap -q -i lo -P -s 65535 -f "tcp port 8443 or tcp port 8444" -w "$work/$name.pcap" \
    2>/dev/null &
dumpcap_pid=$!
sleep 1
ip netns exec "$ns" setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$work/home" SSLKEYLOGFILE="$work/home/keys.log" MOZ_HEADLESS=1 \
    firefox-esr --headless --no-remote --profile "$profile" https://127.0.0.1:8443/page1.html >firefox.log 2>&1 &
firefox_pid=$!

# After the first round and its idle time, a new nginx without the sessions it gave out.
for _ in $(seq 200); do served a5.mp3 && served a4.flv && break; sleep 0.1; done
sleep 1.6
kill "$nginx_pid"
wait "$nginx_pid" 2>/dev/null || true
start_nginx
for _ in $(seq 200); do served c1.mp4 && break; sleep 0.1; done
sleep 1
kill "$firefox_pid"
wait "$firefox_pid" 2>/dev/null || true
firefox_pid=
sleep 0.5
kill "$dumpcap_pid"
wait "$dumpcap_pid" 2>/dev/null || true
dumpcap_pid=

cp "$name.pcap" "$data/$name.pcap"
grep -v '^#' home/keys.log >"$data/$name.keys"
"$here/tshark-requests.sh" "$data/$name.pcap" "$data/$name.keys" >"$data/$name.oracle.txt"
# What nginx served: port, early data ("1" while it was read as early data, "-" otherwise), request, status.
cut -d' ' -f2,4- access.log >"$data/$name.served.txt"
echo "$name: $(stat -c %s "$data/$name.pcap") bytes"
cat "$data/$name.served.txt"
cat "$data/$name.oracle.txt"
