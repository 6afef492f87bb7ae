# Sourced by the probe's test and recording scripts: nginx with TLS on 127.0.0.1:8443 behind a gated relay
# on 127.0.0.1:8444, a copy of velmora-tls with cap_sys_admin run by an ordinary user, and that user's
# clients, each held at the relay until the probe has hooked it (the probe looks for new programs every
# two seconds; curl would be done long before).
#   probe_session_setup WORK BUILD USER    (as root: the user is made if missing, without a home)
#   probe_server_start                      nginx and the relay, serving WORK/root
#   probe_start NAME [velmora-tls args]     the probe as USER: WORK/NAME.vtls, WORK/NAME.status
#   probe_client NAME [command...]          runs the command as USER, releases it once hooked
#   probe_stop                              SIGTERM to the probe, waits for it
#   probe_session_teardown                  stops everything started here, by pid
# The relay and nginx are stopped by the pids they were started with.

probe_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$probe_here/../tls/https-server.sh"

probe_session_setup() {
    probe_work=$1 probe_build=$2 probe_user=$3
    id "$probe_user" >/dev/null 2>&1 || useradd -M -r -s /usr/sbin/nologin "$probe_user"
    probe_uid=$(id -u "$probe_user")
    probe_gid=$(id -g "$probe_user")
    probe_as_user=(setpriv --reuid="$probe_uid" --regid="$probe_gid" --clear-groups
        env -i PATH=/usr/bin:/bin HOME="$probe_work/home")
    mkdir -p "$probe_work/root" "$probe_work/home"
    chown "$probe_uid:$probe_gid" "$probe_work/home"
    chmod 0755 "$probe_work"
    cp "$probe_build/velmora-tls" "$probe_work/velmora-tls"
    chmod 0755 "$probe_work/velmora-tls"
    setcap cap_sys_admin+ep "$probe_work/velmora-tls"
}

# Runs a command as the user. Not a function: started with & its pid stays the command's (setpriv and env
# exec it).
probe_as_user=()

# nginx's certificate is signed by a CA made for the run (ca.crt in WORK/server), which a browser profile
# can trust; the command-line clients are told -k.
probe_server_start() {
    local server=$probe_work/server
    mkdir -p "$server"
    https_server_start "$server" "$probe_work/root" || return 1
    https_server_stop
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmora Probe Test CA" -keyout "$server/ca.key" \
        -out "$server/ca.crt" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$server/server.key" -out "$server/server.csr" \
        2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$server/server.ext"
    openssl x509 -req -in "$server/server.csr" -CA "$server/ca.crt" -CAkey "$server/ca.key" -CAcreateserial -days 2 \
        -extfile "$server/server.ext" -out "$server/server.crt" 2>/dev/null
    rm -f "$server/nginx.pid"
    /usr/sbin/nginx -e "$server/error.log" -c "$server/nginx.conf" &
    for _ in $(seq 50); do
        [ -s "$server/nginx.pid" ] && curl -sk -o /dev/null https://127.0.0.1:8443/ && break
        sleep 0.1
    done
    https_server_pid=$(cat "$server/nginx.pid")
    rm -f "$probe_work/gate"
    /usr/bin/python3 "$probe_here/gated-proxy.py" 8444 8443 "$probe_work/gate" &
    probe_relay_pid=$!
    for _ in $(seq 50); do
        (exec 3<>/dev/tcp/127.0.0.1/8444) 2>/dev/null && break
        sleep 0.1
    done
    # The check above was a connection of its own; let it through.
    touch "$probe_work/gate"
    sleep 0.2
    rm -f "$probe_work/gate"
}

probe_start() {
    local name=$1
    shift
    probe_name=$name
    "${probe_as_user[@]}" "$probe_work/velmora-tls" "$@" --status-fd 3 3>"$probe_work/$name.status" \
        >"$probe_work/$name.vtls" 2>"$probe_work/$name.stderr" &
    probe_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready' "$probe_work/$name.status" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "velmora-tls did not start: $(cat "$probe_work/$name.status" "$probe_work/$name.stderr")" >&2
    return 1
}

# Returns the client's exit status; fails when the probe never hooked it. The client's pid is left in
# probe_client_pid.
probe_client() {
    local name=$1 client status=0 hooked=no
    shift
    rm -f "$probe_work/gate"
    "${probe_as_user[@]}" "$@" >"$probe_work/$name.out" 2>"$probe_work/$name.err" &
    client=$!
    probe_client_pid=$client
    for _ in $(seq 200); do
        if grep -q "^attached $client " "$probe_work/$probe_name.status"; then
            hooked=yes
            break
        fi
        kill -0 "$client" 2>/dev/null || break
        sleep 0.05
    done
    touch "$probe_work/gate"
    # A client that hangs is stopped after a minute rather than holding the run to its time-out.
    for _ in $(seq 1200); do
        kill -0 "$client" 2>/dev/null || break
        sleep 0.05
    done
    kill "$client" 2>/dev/null && echo "$name did not finish within a minute" >&2
    wait "$client" || status=$?
    rm -f "$probe_work/gate"
    [ "$hooked" = yes ] || { echo "the probe did not hook $name (pid $client)" >&2; return 1; }
    return "$status"
}

# The probe's exit status is left in probe_exit.
probe_stop() {
    probe_exit=
    if [ -n "${probe_pid:-}" ]; then
        kill -TERM "$probe_pid" 2>/dev/null || true
        probe_exit=0
        wait "$probe_pid" || probe_exit=$?
        probe_pid=
    fi
}

probe_session_teardown() {
    probe_stop
    if [ -n "${probe_relay_pid:-}" ]; then
        kill "$probe_relay_pid" 2>/dev/null || true
        wait "$probe_relay_pid" 2>/dev/null || true
        probe_relay_pid=
    fi
    https_server_stop
}
