#!/usr/bin/env bash
# Installs what is needed, builds, starts an emulated receiver on a
# pseudo-terminal mapped to COM1, and starts Quorvane against it. The
# emulator stops when the program ends.
#   scripts/demo.sh [emulator options...]   e.g. --model 6 --pace
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
bash scripts/build.sh build-demo -DQUORVANE_TESTS=OFF

work=$(mktemp -d /tmp/quorvane-demo.XXXXXX)
link="$work/com1"
build-demo/tools/emulator/quorvane-emu --link "$link" --log "$work/emulator.log" \
  --save "$work/received.bin" --parent-pid $$ "$@" &
emu=$!
trap 'kill $emu 2>/dev/null || true; wait $emu 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -e $link ]] && break; sleep 0.05; done
echo "emulated receiver on $link (log: $work/emulator.log)"

export QUORVANE_COM1="$link"
# The program keeps Quorvane.cfg in the directory it is started from.
cd "$work"
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  "$root/build-demo/quorvane"
else
  echo "no display: running under Xvfb"
  xvfb-run -a "$root/build-demo/quorvane"
fi
