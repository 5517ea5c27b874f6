#!/usr/bin/env bash
# Installs what the demo needs, builds the program and the emulator, starts
# an emulated receiver on a pseudo-terminal mapped to COM1, and starts
# Quorvane against it (on a virtual display when there is none). The
# emulator stops when the program ends, or on Ctrl-C, and the temporary
# folder goes with it. The emulated receiver names its type in its upgrade
# answers, so an image of another type is refused (--answer ack0 makes it a
# receiver that only acknowledges).
#   scripts/demo.sh [emulator options...]   e.g. --model 6 --pace
#
#   scripts/demo.sh station [UNITS]
# runs `quorvane-cli station upgrade` on three slots instead (no display
# needed): each slot's emulated receiver has a 500 ms boot window and saves
# for 3 s after an upgrade; a timer per slot switches it on, leaves it 12 s,
# switches it off for 20 s and swaps in the next unit through its control
# FIFO. Slot 2's second unit is of another type, slot 3's second a silent
# one. The station ends after UNITS units (default 6).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh --demo

if [[ ${1:-} == station ]]; then
  units=${2:-6}
  cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_TESTS=OFF \
    >/dev/null
  cmake --build build-demo -j"$(nproc)" --target quorvane-cli quorvane-emu
  work=$(mktemp -d /tmp/quorvane-station-demo.XXXXXX)
  pids=()
  cleanup() {
    kill "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
    rm -rf "$work"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  emu=build-demo/tools/emulator/quorvane-emu
  for slot in 1 2 3; do
    $emu --link "$work/slot$slot" --control "$work/control$slot" --power-off \
      --boot-window 500 --save-ms 3000 --units-dir "$work/received$slot" \
      --log "$work/emulator$slot.log" --parent-pid $$ >/dev/null &
    pids+=($!)
  done
  for slot in 1 2 3; do
    for _ in $(seq 100); do [[ -p $work/control$slot ]] && break; sleep 0.05; done
  done
  # The image: unit 1's flash as the emulator generates it (model 1).
  $emu --link "$work/source" --parent-pid $$ >/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [[ -e $work/source ]] && break; sleep 0.05; done
  build-demo/tools/cli/quorvane-cli --device "$work/source" --quiet read "$work/image.bin"
  # Each slot's operator: on for 12 s, off for 20 s, the next unit.
  operator() {
    local slot=$1 fifo=$work/control$1 round=1
    sleep $((slot * 3))
    while :; do
      echo on >"$fifo"
      sleep 12
      echo off >"$fifo"
      sleep 20
      round=$((round + 1))
      if ((round == 2 && slot == 2)); then echo "swap 3" >"$fifo"
      elif ((round == 2 && slot == 3)); then echo "swap 1 silent" >"$fifo"
      else echo "swap 1" >"$fifo"; fi
    done
  }
  for slot in 1 2 3; do
    operator $slot &
    pids+=($!)
  done
  echo "three slots on $work/slot1..3; the station ends after $units units"
  status=0
  build-demo/tools/cli/quorvane-cli --device "$work/slot1" --device "$work/slot2" \
    --device "$work/slot3" --units "$units" --report "$work/units.jsonl" \
    station upgrade "$work/image.bin" || status=$?
  echo "report ($work/units.jsonl, removed at the end), one object per unit:"
  sed -E 's/^\{"slot":([0-9]+),"unit":([0-9]+).*"blocks_done":([0-9]+).*"result":"([a-z]+)".*/  slot \1 unit \2: \4, \3 blocks written/' \
    "$work/units.jsonl"
  exit $status
fi
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
