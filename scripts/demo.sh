#!/usr/bin/env bash
# Installs what the demo needs, builds the program and the emulator, starts
# an emulated receiver on a pseudo-terminal mapped to COM1, and starts
# Quorvane against it (on a virtual display when there is none). The
# emulator stops when the program ends, or on Ctrl-C, and the temporary
# folder goes with it. The emulated receiver names its type in its upgrade
# answers, so an image of another type is refused (--answer ack0 makes it a
# receiver that only acknowledges).
#   scripts/demo.sh [emulator options...]   e.g. --model 6 --pace
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh --demo
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target quorvane quorvane-emu

work=$(mktemp -d /tmp/quorvane-demo.XXXXXX)
link="$work/com1"
build-demo/tools/emulator/quorvane-emu --link "$link" --log "$work/emulator.log" \
  --save "$work/received.bin" --parent-pid $$ "$@" &
emu=$!
xvfb=
cleanup() {
  kill $emu $xvfb 2>/dev/null || true
  wait $emu $xvfb 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for _ in $(seq 100); do [[ -e $link ]] && break; sleep 0.05; done
echo "emulated receiver on $link (log: $work/emulator.log, removed at the end)"

export QUORVANE_COM1="$link"
# The program keeps Quorvane.cfg in the directory it is started from.
cd "$work"
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  # A virtual display; Xvfb writes the number it took to descriptor 3.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.05; done
  export DISPLAY=":$(head -1 "$work/display")"
  echo "no display: Quorvane runs on the virtual display $DISPLAY (Xvfb). To look at it:"
  echo "  xwd -display $DISPLAY -root -silent | xwdtopnm 2>/dev/null | pnmtopng >quorvane.png"
fi
"$root/build-demo/src/app/quorvane"
