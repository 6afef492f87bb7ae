# Sourced by the scripts that record HTTPS traffic: starts nginx on 127.0.0.1:8443 with a new
# self-signed certificate, inside the network namespace "$ns" when it is set.
#   https_server_start WORK ROOT    (WORK: an empty folder for its files; ROOT: files it serves)
#   https_server_stop
# The server's pid is in https_server_pid (from its pid file); it is stopped by that pid only.

https_server_run() { if [ -n "${ns:-}" ]; then ip netns exec "$ns" "$@"; else "$@"; fi; }

https_server_start() {
    local work=$1 root=$2 here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=media.velmora.test \
        -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
    sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$root|g" "$here/nginx.conf.in" >"$work/nginx.conf"
    https_server_work=$work
    https_server_run /usr/sbin/nginx -e "$work/error.log" -c "$work/nginx.conf" &
    for _ in $(seq 50); do
        # nginx writes its own pid (ip netns exec runs it as a child of its own)
        if [ -s "$work/nginx.pid" ] && https_server_run curl -sk -o /dev/null https://127.0.0.1:8443/; then
            https_server_pid=$(cat "$work/nginx.pid")
            return 0
        fi
        sleep 0.1
    done
    echo "nginx did not start:" >&2
    cat "$work/error.log" >&2
    return 1
}

https_server_stop() {
    if [ -n "${https_server_pid:-}" ]; then
        kill "$https_server_pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$https_server_pid" 2>/dev/null || break
            sleep 0.1
        done
        https_server_pid=
    fi
}
