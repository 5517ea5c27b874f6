#!/usr/bin/env bash
# Installs the Debian 12 packages Quorvane needs to build, test and run
# (scripts/install-deps.sh [--demo]).
# Runs apt-get only when something is missing; needs root for that.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev clang-format
  nlohmann-json3-dev libssl-dev libudev-dev
  fonts-arphic-uming
  xvfb xauth
  dpkg-dev lintian desktop-file-utils appstream librsvg2-bin man-db bash-completion
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64
  nsis xdotool xclip x11-utils imagemagick unzip
)

# --demo: only what scripts/demo.sh needs (build the program and the emulator,
# run them under Xvfb, take a screenshot with xwd and netpbm).
if [[ ${1:-} == --demo ]]; then
  packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev nlohmann-json3-dev libssl-dev libudev-dev
    fonts-arphic-uming xvfb xauth x11-apps netpbm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
