#!/usr/bin/env bash
# Installs what building, running and testing trbrowser needs on Debian 12.
# Usage: scripts/deps.sh [--bench]   (--bench adds what the benchmarks compare against)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libre2-dev libpcre2-dev
  qt6-base-dev libxcb1-dev qt6-webengine-dev libqt6webenginewidgets6 qt6-webengine-dev-tools
  xvfb xauth openbox xdotool wmctrl x11-utils imagemagick fonts-dejavu-core
  python3 procps nodejs
  lowdown dpkg-dev lintian man-db file binutils
  weston xwayland qt6-wayland
)
if [[ "${1:-}" == "--bench" ]]; then packages+=(chromium chromium-driver); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "deps: installing ${missing[*]}" >&2
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
