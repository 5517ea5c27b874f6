#!/usr/bin/env bash
# Builds Qt 6 for 64-bit Windows (MinGW-w64, posix threads) from Debian's own
# qt6-base source package, reduced to what Quorvane's desktop program needs:
# Core, Gui, Widgets, the Windows platform plugin and the Vista style.
#
#   bash scripts/build-qt-windows.sh
#
# The result is installed into a cache outside the work tree,
#   ${QUORVANE_CACHE:-/var/cache/quorvane}/qt6-mingw-<version>-<key>
# where <key> is a hash of the configuration below and of the MinGW
# toolchain file; a finished install with the same key is reused, a changed
# configuration builds anew. The last line printed is the install prefix,
# to give CMake as CMAKE_PREFIX_PATH:
#
#   prefix=$(bash scripts/build-qt-windows.sh | tail -n 1)
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#     -DCMAKE_PREFIX_PATH="$prefix" -DQUORVANE_TESTS=OFF
#
# Needs root (or sudo) only to install missing packages and to add a source
# entry for Debian's archive when apt has none.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
cache=${QUORVANE_CACHE:-/var/cache/quorvane}
if ! mkdir -p "$cache" 2>/dev/null || [[ ! -w $cache ]]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/quorvane
  mkdir -p "$cache"
fi
log() { echo "build-qt-windows: $*" >&2; }

# -- packages: the cross compilers, Debian's host Qt (moc, rcc, uic of the
# same version) and what `apt-get source` needs to unpack
packages=(cmake ninja-build dpkg-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  mingw-w64-x86-64-dev qt6-base-dev qt6-base-dev-tools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  log "installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# -- the version apt would fetch; the host Qt must be the same
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
upstream=${host_version#*:}
upstream=${upstream%%[-+]*}

# -- the configuration; everything that decides the build goes into the key
features_off=(
  pkg_config network sql dbus printsupport testlib concurrent xml
  opengl vulkan freetype jpeg zstd icu
  system_zlib system_png system_harfbuzz system_pcre2 system_doubleconversion
  tabletevent direct2d directwrite3
)
config=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DQT_BUILD_MANUAL_TESTS=OFF -DINPUT_opengl=no)
for f in "${features_off[@]}"; do config+=("-DFEATURE_$f=OFF"); done
toolchain_text="include(\"$root/cmake/mingw-w64.cmake\")
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"
# The key holds the toolchain's text but not where this checkout lies, so
# that every clone on the machine shares one build.
key=$( { printf '%s\n' "$upstream" "${config[@]}" "${toolchain_text//"$root"/<root>}"
  cat "$root/cmake/mingw-w64.cmake"; } | sha256sum | cut -c1-12)
prefix=$cache/qt6-mingw-$upstream-$key
# One build at a time per machine: a second caller (another clone, or the
# test command's windows-gui leg) waits for the first and reuses its result.
exec 9>"$cache/qt6-mingw-$key.lock"
flock 9
if [[ -f $prefix/.complete ]]; then
  log "reusing $prefix"
  echo "$prefix"
  exit 0
fi

# -- the source: Debian's qt6-base source package, fetched once
src_parent=$cache/src
mkdir -p "$src_parent"
src=$(find "$src_parent" -maxdepth 1 -type d -name "qt6-base-$upstream*" | head -n 1)
if [[ -z $src || ! -f $src/CMakeLists.txt ]]; then
  if ! apt-get source --print-uris qt6-base >/dev/null 2>&1; then
    # No source entry yet: add one for Debian's main archive, with the
    # address, suites and key of the first binary entry apt already has.
    list=/etc/apt/sources.list.d/quorvane-deb-src.sources
    entry=$(awk 'BEGIN { RS = ""; FS = "\n" }
      /(^|\n)Types:[^\n]*deb/ && !/security/ {
        for (i = 1; i <= NF; i++) if ($i ~ /^(URIs|Suites|Components|Signed-By):/) print $i
        exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    if [[ -z $entry ]]; then
      line=$(grep -h -E '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1 || true)
      [[ -n $line ]] || { log "no Debian package source to derive a source entry from"; exit 1; }
      list=/etc/apt/sources.list.d/quorvane-deb-src.list
      entry="deb-src ${line#deb }"
      log "adding $list"
      echo "$entry" | $SUDO tee "$list" >/dev/null
    else
      log "adding $list"
      printf 'Types: deb-src\n%s\n' "$entry" | $SUDO tee "$list" >/dev/null
    fi
    $SUDO apt-get update -qq
  fi
  log "fetching the qt6-base source"
  (cd "$src_parent" && apt-get source -qq "qt6-base=$host_version" >&2 ||
    apt-get source -qq qt6-base >&2)
  src=$(find "$src_parent" -maxdepth 1 -type d -name "qt6-base-$upstream*" | head -n 1)
fi
[[ -f $src/CMakeLists.txt ]] || { log "no Qt source in $src_parent"; exit 1; }

# -- configure, build, install
build=$cache/build-qt6-mingw-$upstream-$key
rm -rf "$build" "$prefix"
mkdir -p "$build"
printf '%s' "$toolchain_text" >"$build/toolchain.cmake"
began=$SECONDS
log "configuring into $build (log: $build/configure.log)"
cmake -S "$src" -B "$build" "${config[@]}" -DCMAKE_TOOLCHAIN_FILE="$build/toolchain.cmake" \
  -DCMAKE_INSTALL_PREFIX="$prefix" >"$build/configure.log" 2>&1 ||
  { tail -n 40 "$build/configure.log" >&2; log "configure failed"; exit 1; }
log "building (log: $build/build.log)"
cmake --build "$build" --parallel "$(nproc)" >"$build/build.log" 2>&1 ||
  { grep -m 20 -B2 -A8 'error' "$build/build.log" >&2 || tail -n 40 "$build/build.log" >&2
    log "build failed"; exit 1; }
cmake --install "$build" >"$build/install.log" 2>&1 ||
  { tail -n 40 "$build/install.log" >&2; log "install failed"; exit 1; }
mkdir -p "$prefix/licenses"
cp "$src"/LICENSES/*.txt "$prefix/licenses/" 2>/dev/null || true
touch "$prefix/.complete"
rm -rf "$build"
log "built Qt $upstream for Windows in $((SECONDS - began)) s; $(du -sh "$prefix" | cut -f1) installed"
echo "$prefix"
