#!/usr/bin/env bash
# The Debian package on this machine, as an administrator meets it: lintian has nothing to say; installed
# with the capture question answered yes, the capture helper belongs to root:velmora, mode 0754, with
# cap_net_raw, and a member of the group captures on the loopback with velmora-cli, while the TLS probe,
# its question answered no, stays root:root 0755 without capabilities; answered yes, the probe is
# root:velmora 0754 with cap_sys_admin, a member may run it and others may not; a reinstall keeps that;
# an administrator's dpkg-statoverride wins; answering no through dpkg-reconfigure takes it away; purge
# removes the group and the answers.
# Usage: check-package.sh BUILD_DIR     (as root, with no velmora package installed; exit 77 = skipped)
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "check-package: installs a package, needs root"; exit 77; }
# One run on the machine at a time: two would install and purge the same package under each other.
exec 9>/tmp/velmora-capture-rights.lock
flock 9
if dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q installed; then
    echo "check-package: a velmora package is installed already; not touching it"
    exit 77
fi
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/velmora-package.XXXXXX)
helper=/usr/libexec/velmora/velmora-capture
probe=/usr/libexec/velmora/velmora-tls
question=velmora/install-capture-rights
probe_question=velmora/install-tls-probe-rights
apt=(apt-get -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300)
export DEBIAN_FRONTEND=noninteractive
server=
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    if dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q installed; then
        "${apt[@]}" purge velmora >/dev/null 2>&1 || true
    fi
    dpkg-statoverride --remove "$helper" 2>/dev/null || true
    dpkg-statoverride --remove "$probe" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "check-package: $*" >&2
    exit 1
}
answer() { echo "velmora $1 boolean $2" | debconf-set-selections; }
# owner:group mode and capabilities of a helper
state() { echo "$(stat -c '%U:%G %a' "$1") $(getcap "$1" | awk '{print $2}')"; }
expect_state() {
    [ "$(state "$1")" = "$2" ] || fail "$3: $1 is '$(state "$1")', expected '$2'"
}

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(echo "$work"/package/velmora_*.deb)
[ -f "$deb" ] || fail "cpack made no velmora_*.deb"

# lintian, pedantic and with informational tags: nothing left to say.
tags=$(lintian -I --pedantic "$deb" 2>/dev/null || true)
[ -z "$tags" ] || fail "lintian: $tags"

answer "$question" true
answer "$probe_question" false
"${apt[@]}" install "$deb" >/dev/null
expect_state "$helper" "root:velmora 754 cap_net_raw=ep" "installed, answered yes"
expect_state "$probe" "root:root 755 " "installed, the probe's question answered no"
group=$(getent group velmora) || fail "installed, answered yes: no group velmora"
[ "$(echo "$group" | cut -d: -f3)" -lt 1000 ] || fail "the group velmora is no system group: $group"
[ -z "$(echo "$group" | cut -d: -f4)" ] || fail "someone was added to the group velmora: $group"

# A member captures with the installed velmora-cli; the helper it runs is the installed one.
mkdir -p "$work/site/v" "$work/home"
chown 65534:65534 "$work/home"
chmod 0755 "$work"
head -c 2000 /dev/zero | tr '\0' v >"$work/site/v/a.mp4"
port=$((20000 + $$ % 20000))
/usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/site" >/dev/null 2>&1 &
server=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done
setpriv --reuid=65534 --regid=65534 --groups="$(echo "$group" | cut -d: -f3)" env -i PATH=/usr/bin:/bin \
    HOME="$work/home" /usr/bin/velmora-cli -i lo --seconds 3 >"$work/rows" 2>"$work/errors" &
capture=$!
for _ in $(seq 100); do pgrep -u 65534 -x velmora-capture >/dev/null && break; sleep 0.05; done
sleep 0.3
curl -s -o /dev/null "http://127.0.0.1:$port/v/a.mp4"
wait "$capture" || fail "a member could not capture: $(cat "$work/errors")"
grep -qF "http://127.0.0.1:$port/v/a.mp4" "$work/rows" ||
    fail "a member's capture did not list the request: $(cat "$work/rows" "$work/errors")"

# The probe's question answered yes: a member may run it with its capability, nobody else may run it.
answer "$probe_question" true
dpkg-reconfigure -f noninteractive velmora >/dev/null
expect_state "$probe" "root:velmora 754 cap_sys_admin=ep" "reconfigured, the probe's question answered yes"
as_nobody() { setpriv --reuid=65534 --regid=65534 "$@" env -i PATH=/usr/bin:/bin HOME="$work/home" "$probe" --check; }
if "$probe" --check 2>"$work/probe-root"; then
    as_nobody --groups="$(echo "$group" | cut -d: -f3)" 2>"$work/probe-member" ||
        fail "a member cannot run the probe: $(cat "$work/probe-member")"
    grep -qx ready "$work/probe-member" || fail "the probe did not get ready for a member: $(cat "$work/probe-member")"
else
    echo "check-package: the probe cannot run on this kernel ($(cat "$work/probe-root")); its member run is not checked"
fi
! as_nobody --clear-groups 2>"$work/probe-other" || fail "someone outside the group ran the probe"
grep -q "Permission denied" "$work/probe-other" || fail "the probe's refusal of others: $(cat "$work/probe-other")"

# An upgrade unpacks the helpers afresh: the post-install script gives the rights again.
"${apt[@]}" install --reinstall "$deb" >/dev/null
expect_state "$helper" "root:velmora 754 cap_net_raw=ep" "reinstalled"
expect_state "$probe" "root:velmora 754 cap_sys_admin=ep" "reinstalled"

# The administrator's own settings for the helpers are kept, capabilities and all.
dpkg-statoverride --add root root 0700 "$helper"
dpkg-statoverride --add root root 0700 "$probe"
dpkg -i "$deb" >/dev/null 2>"$work/notes"
expect_state "$helper" "root:root 700 " "reinstalled under a dpkg-statoverride"
expect_state "$probe" "root:root 700 " "reinstalled under a dpkg-statoverride"
[ "$(grep -c "dpkg-statoverride" "$work/notes")" = 2 ] ||
    fail "the post-install script did not say it left both helpers alone: $(cat "$work/notes")"
dpkg-statoverride --remove "$helper"
dpkg-statoverride --remove "$probe"

answer "$question" false
answer "$probe_question" false
dpkg-reconfigure -f noninteractive velmora >/dev/null
expect_state "$helper" "root:root 755 " "reconfigured, answered no"
expect_state "$probe" "root:root 755 " "reconfigured, answered no"

"${apt[@]}" purge velmora >/dev/null
! getent group velmora >/dev/null || fail "purge left the group velmora"
! debconf-get-selections | grep -q "velmora/install-" || fail "purge left the answers to the questions"
echo "check-package: lintian clean; install, reinstall, statoverride, reconfigure and purge treat both helpers right"
