#!/usr/bin/env bash
# Installs the Debian packages Velmora needs: "run" for building and starting it, "test" adds what
# the tests, benchmarks and fuzzers need. Only missing packages are installed.
set -euo pipefail
what=${1:-run}

run_packages=(cmake g++ make pkg-config qt6-base-dev qt6-webengine-dev libpcap-dev libssl-dev libnghttp2-dev libnghttp3-dev libxml2-dev zlib1g-dev libbrotli-dev libzstd-dev libxdo-dev
    libxtst-dev libx11-dev fonts-wqy-microhei xvfb xauth qt6-wayland ffmpeg
    qt6-translations-l10n clang libbpf-dev bpftool)
test_packages=(ccache googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev curl xdotool jwm trayer aria2
    python3 iproute2 procps desktop-file-utils appstream dpkg-dev file man-db shared-mime-info nginx-light openssl
    tshark libcap2-bin lintian debconf-utils devscripts chromium firefox-esr weston sway grim wayvnc ngtcp2-client
    ngtcp2-server libnss3-tools wget util-linux)

packages=("${run_packages[@]}")
[ "$what" = test ] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "Installing: ${missing[*]}"
# tshark asks whether ordinary users may capture; the tests run as root and need no setuid helper.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
