#!/usr/bin/env bash
# The Windows packages in one command: Qt for Windows (scripts/build-qt-windows.sh,
# built once per machine), quorvane.exe, quorvane-station.exe and quorvane-cli.exe
# cross-built against it, the deployment folder (`cmake --install --strip`), the ZIP and
# the NSIS installer.
#
#   bash scripts/package-windows.sh [BUILD_DIR]      (default build-win64)
#
# Leaves BUILD_DIR/deploy (the folder as it is installed) and
# BUILD_DIR/package/Quorvane-<version>-windows-x64.{zip,exe}; the last line
# printed is the package folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win64}")
qt=$(bash "$root/scripts/build-qt-windows.sh" | tail -n 1)
cmake -S "$root" -B "$build/program" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_UI=ON -DQUORVANE_TESTS=OFF \
  -DQUORVANE_WERROR="${QUORVANE_WERROR:-OFF}" >&2
nice cmake --build "$build/program" -j"$(nproc)" --target quorvane quorvane-station quorvane-cli >&2
rm -rf "$build/deploy"
cmake --install "$build/program" --prefix "$build/deploy" --strip >&2
(cd "$build/program" && cpack -G "ZIP;NSIS" -B "$build/package" >&2)
rm -rf "$build/package/_CPack_Packages"
echo "$build/package"
