#!/usr/bin/env bash
# Makes resources/quorvane.ico (the Windows program icon: 16, 32 and 48
# pixels) from resources/quorvane.xpm with netpbm and icoutils. The .ico is
# checked in; run this again after changing the .xpm.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

for tool in xpmtoppm:netpbm icotool:icoutils; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends netpbm icoutils
    break
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# xpmtoppm reads only the classic "static char" declaration.
sed 's/static const char/static char/' "$root/resources/quorvane.xpm" >"$work/icon.xpm"
xpmtoppm --alphaout="$work/alpha.pgm" "$work/icon.xpm" >"$work/icon.ppm"
pngs=()
for size in 16 32 48; do
  pamscale -width=$size -height=$size "$work/icon.ppm" >"$work/rgb$size.ppm" 2>/dev/null
  pamscale -width=$size -height=$size "$work/alpha.pgm" >"$work/alpha$size.pgm" 2>/dev/null
  pnmtopng -alpha="$work/alpha$size.pgm" "$work/rgb$size.ppm" >"$work/icon$size.png"
  pngs+=("$work/icon$size.png")
done
icotool -c -o "$root/resources/quorvane.ico" "${pngs[@]}"
icotool -l "$root/resources/quorvane.ico"
