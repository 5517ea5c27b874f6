#!/usr/bin/env bash
# Builds and runs the benchmarks against the emulated receiver at the real
# line rate. A full run takes about 25 minutes (a paced 2 MiB transfer alone
# takes over three); --quick is a smoke run of a few minutes (each transfer
# stopped after 32 blocks, fewer receivers). Each bench prints its figures
# and exits non-zero when it misses its target. wine_line_rate is
# quorvane-cli.exe under Wine reading 1 MiB from the paced emulator through
# COM1 (about 95 s; left out of --quick). station_bench runs quorvane-cli
# station on 8 slots (a read and an upgrade per slot, about 200 s).
#   scripts/bench.sh [--quick] [benchmark-name...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
quick=()
if [[ ${1:-} == --quick ]]; then quick=(--quick); shift; fi
bash scripts/install-deps.sh || exit 1
# The benches need neither the desktop program nor the tests.
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DQUORVANE_UI=OFF \
  -DQUORVANE_TESTS=OFF >/dev/null || exit 1
if (($#)); then names=("$@"); else
  names=(); for f in bench/*_bench.cpp; do names+=("$(basename "${f%.cpp}")"); done
  ((${#quick[@]})) || names+=(wine_line_rate)
fi

# quorvane-cli.exe (cross-built into build-bench-win32) under Wine, reading
# a 256-block receiver paced at 115200 bit/s; the figure is the transfer's
# time from its report against the line bound, 256 * (4096 + 12) * 10 /
# 115200 s, with the same target as the Linux tool (1.005).
wine_line_rate() {
  local build=$root/build-bench-win32 emu=$root/build-bench/tools/emulator/quorvane-emu
  local e2e=$build/e2e link=$build/e2e/com
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQUORVANE_UI=OFF -DQUORVANE_TESTS=OFF >/dev/null &&
    cmake --build "$build" --target quorvane-cli >/dev/null || return 1
  mkdir -p "$e2e"
  # shellcheck source=scripts/wine-env.sh
  source "$root/scripts/wine-env.sh"
  wine_prefix "$build/wineprefix"
  (
    unset DISPLAY WAYLAND_DISPLAY
    trap 'stop_emulator; stop_wineserver' EXIT
    map_com_ports 1 || exit 1
    start_emulator --model 5 --pace
    rm -f "$e2e/report.jsonl"
    (cd "$e2e" && timeout 300 wine "$build/quorvane-cli.exe" --port 1 --report report.jsonl \
      read rom.bin >/dev/null 2>&1)
    local seconds bound=91.2889
    seconds=$(grep -o '"duration_s":[0-9.]*' "$e2e/report.jsonl" 2>/dev/null | cut -d: -f2)
    [[ -n $seconds ]] || { echo "wine read 256 blocks: no report  FAIL"; exit 1; }
    awk -v s="$seconds" -v b="$bound" 'BEGIN {
      r = s / b; ok = r <= 1.005
      printf "wine read 256 blocks: %.2f s, bound %.2f s, %.4f x the line bound (target <= 1.005)  %s\n",
        s, b, r, ok ? "ok" : "FAIL"
      exit !ok }'
  )
}

echo "load: $(uptime)"
status=0
for name in "${names[@]}"; do
  echo "== $name"
  if [[ $name == wine_line_rate ]]; then
    wine_line_rate || status=1
  else
    "build-bench/bench/$name" "${quick[@]}" || status=1
  fi
done
exit $status
