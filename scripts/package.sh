#!/usr/bin/env bash
# Builds the Debian package dist/trbrowser_<version>_amd64.deb: installs what is missing,
# builds the two programs (release build with debug info, stripped in the package) and has
# CPack put them, their manual pages, the documentation and the icon into the package.
# Usage: scripts/package.sh [OUTPUT_DIR]     (default: dist)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}

scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target trbrowser trbrowserctl
cpack --config build/CPackConfig.cmake -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
ls "$out"/trbrowser_*.deb
