#!/usr/bin/env bash
# Installs a build into a temporary tree and checks it as a Linux desktop sees it: every file in its place,
# the desktop entry, AppStream data, MIME package and manual pages valid, the installed programs working from
# there. Then packs the Debian package and checks its control fields and contents.
# Usage: check-install.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-install: $*" >&2
    exit 1
}

app=example.velmora.Velmora
expected=(bin/velmora bin/velmora-cli libexec/velmora/velmora-capture libexec/velmora/velmora-tls
    share/velmora/default-setting.ini
    share/velmora/readme.htm share/doc/velmora/copyright share/doc/velmora/changelog.gz share/lintian/overrides/velmora
    "share/applications/$app.desktop" "share/metainfo/$app.metainfo.xml" share/mime/packages/velmora.xml
    share/man/man1/velmora.1.gz share/man/man1/velmora-cli.1.gz)
for size in 16 32 64 256; do
    expected+=("share/icons/hicolor/${size}x$size/apps/velmora.png")
done
expected_list() { printf '%s\n' "${expected[@]}" | sort; }

# The tree, under a prefix of its own.
DESTDIR="$work/root" cmake --install "$build" --prefix /opt/velmora --strip >/dev/null
tree=$work/root/opt/velmora
diff -u <(expected_list) <(cd "$tree" && find . -type f | sed 's|^\./||' | sort) ||
    fail "the installed files differ from the expected list"
for size in 16 32 64 256; do
    file -b "$tree/share/icons/hicolor/${size}x$size/apps/velmora.png" | grep -q "PNG image data, $size x $size," ||
        fail "the ${size}x$size icon is not a $size-pixel PNG"
done
desktop-file-validate "$tree/share/applications/$app.desktop"
appstreamcli validate --no-net "$tree/share/metainfo/$app.metainfo.xml" >"$work/appstream.log" ||
    fail "AppStream data: $(cat "$work/appstream.log")"
grep -q "<release version=\"$version\"" "$tree/share/metainfo/$app.metainfo.xml" ||
    fail "the AppStream data names no release $version"
cp -r "$tree/share/mime" "$work/mime"
XDG_DATA_DIRS=$work update-mime-database "$work/mime"
[ -f "$work/mime/application/x-pcapng.xml" ] || fail "the MIME package does not define application/x-pcapng"
for page in velmora velmora-cli; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$tree/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $page: $warnings"
done

# The installed programs, with an empty home: velmora-cli takes the shipped defaults from share/velmora.
export HOME=$work/home XDG_CONFIG_HOME=$work/config
unset VELMORA_SETTINGS DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$HOME"
[ "$("$tree/bin/velmora-cli" --version)" = "velmora-cli $version" ] || fail "velmora-cli --version"
[ "$("$tree/bin/velmora" --version)" = "velmora $version" ] || fail "velmora --version (without a display)"
rows=$("$tree/bin/velmora-cli" -r "$source/tests/data/ndpi_mpeg.pcap" --min-length 0 2>"$work/cli-errors")
[ "$rows" = $'音频\thttp://luca.ntop.org/0.mp3\t4' ] || fail "installed velmora-cli read: '$rows' $(cat "$work/cli-errors")"
! grep -v "^velmora-cli: HTTP connections: [0-9]* followed, 0 with gaps$" "$work/cli-errors" | grep -q . || fail "installed velmora-cli complained: $(cat "$work/cli-errors")"

# The window's start-up and help, from the installed bin/.
cp "$build/tests/tst_installed" "$tree/bin/"
QT_QPA_PLATFORM=offscreen "$tree/bin/tst_installed" -silent
rm "$tree/bin/tst_installed"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
debs=("$work"/package/velmora_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single velmora_*.deb"
deb=${debs[0]}
[ "$(basename "$deb")" = "velmora_${version}_$(dpkg --print-architecture).deb" ] || fail "package file name $(basename "$deb")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmora ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[[ "$(field Maintainer)" =~ ^.+\ \<.+@.+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
for needed in libpcap0.8 libqt6webenginewidgets6 libqt6widgets6 libxtst6 libc6 libqt6webenginecore6-bin \
    fonts-wqy-microhei adduser debconf libcap2-bin qt6-translations-l10n libbpf1; do
    [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] || fail "Depends lacks $needed: $depends"
done
diff -u <(expected_list | sed 's|^|./usr/|') \
    <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort) || fail "the package's files differ from the list"
dpkg-deb -c "$deb" | awk '$2 != "root/root" {exit 1}' || fail "files in the package not owned by root"
[ "$(field Recommends)" = "xdg-utils, qt6-wayland, ffmpeg" ] || fail "Recommends: $(field Recommends)"
[ "$(field Suggests)" = aria2 ] || fail "Suggests: $(field Suggests)"
dpkg-deb -e "$deb" "$work/control"
# Only the two questions and their answers: asked in config, applied in postinst, forgotten at purge.
diff -u <(printf '%s\n' config control md5sums postinst postrm templates) <(ls "$work/control") ||
    fail "the package's control files differ from the list"
diff -u <(printf 'velmora/install-capture-rights\nvelmora/install-tls-probe-rights\n') \
    <(sed -n 's/^Template: //p' "$work/control/templates") || fail "the package's questions differ from the list"
dpkg-deb -x "$deb" "$work/unpacked"
for helper in velmora-capture velmora-tls; do
    [ "$(stat -c '%a' "$work/unpacked/usr/libexec/velmora/$helper")" = 755 ] ||
        fail "$helper is not packed 0755 (the post-install script decides who may run it)"
done
# The changelog's latest entry is this version, and the AppStream data names the licence.
[ "$(zcat "$work/unpacked/usr/share/doc/velmora/changelog.gz" | head -1 | sed 's/.*(\(.*\)).*/\1/')" = "$version" ] ||
    fail "the changelog's latest entry is not $version"
grep -q '<project_license>GPL-3.0-or-later</project_license>' "$work/unpacked/usr/share/metainfo/$app.metainfo.xml" ||
    fail "the AppStream data names no licence"
for program in bin/velmora bin/velmora-cli libexec/velmora/velmora-capture libexec/velmora/velmora-tls; do
    file -b "$work/unpacked/usr/$program" | grep -q ', stripped' || fail "$program is not stripped in the package"
    # Debian 12's hardening: stack protector, fortified functions, read-only relocations bound now, PIE
    # (control-flow protection is not among its flags).
    hardening-check --nocfprotection --quiet "$work/unpacked/usr/$program" >"$work/hardening" ||
        fail "$program lacks hardening: $(cat "$work/hardening")"
done
echo "check-install: the installed tree and $(basename "$deb") are sound"
