#!/usr/bin/env bash
# What the station window costs: SLOTS slots (default 16), each upgrading a
# 1 MiB receiver emulated at the line rate (115200 bit/s), the window
# offscreen. Prints the window's CPU time (user + system, from /proc) against
# the wall time, and the slowest unit's time against the line bound,
# 256 * (4096 + 12) * 10 / 115200 s = 91.29 s (target 1.01 x).
#   bash bench/station_window_bench.sh [BUILD] [SLOTS]
set -uo pipefail
build=$(realpath "${1:-build-test}")
slots=${2:-16}
emu=$build/tools/emulator/quorvane-emu
station=$build/src/station_app/quorvane-station
dir=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$dir"' EXIT
devices=()
for n in $(seq "$slots"); do
  "$emu" --model 1 --pace --link "$dir/s$n" --parent-pid $$ >/dev/null 2>&1 &
  devices+=(--device "$dir/s$n")
done
{ printf 'QX_RomFtaAMD1' && head -c 1048576 /dev/urandom; } >"$dir/image.bin"
for _ in $(seq 100); do [[ -L $dir/s$slots ]] && break; sleep 0.05; done
began=$(date +%s.%N)
XDG_CONFIG_HOME=$dir/config QT_QPA_PLATFORM=offscreen "$station" "${devices[@]}" \
  upgrade "$dir/image.bin" --no-verify --log-dir "$dir" --start >/dev/null 2>&1 &
pid=$!
until [[ $(grep -c '"result"' "$dir/station-log.jsonl" 2>/dev/null) -ge $slots ]]; do
  kill -0 "$pid" 2>/dev/null || { echo "quorvane-station ended early" && exit 1; }
  sleep 0.5
done
read -r -a stat <"/proc/$pid/stat"
ended=$(date +%s.%N)
kill "$pid"
awk -v ticks="$(getconf CLK_TCK)" -v user="${stat[13]}" -v sys="${stat[14]}" -v began="$began" \
  -v ended="$ended" -v slots="$slots" -v passed="$(grep -c '"result":"ok"' "$dir/station-log.jsonl")" \
  -v slowest="$(grep -o '"duration_s":[0-9.]*' "$dir/station-log.jsonl" | cut -d: -f2 | sort -g | tail -1)" '
  BEGIN {
    cpu = (user + sys) / ticks; wall = ended - began; bound = 256 * 4108 * 10 / 115200
    printf "station window, %d slots: %d passed; CPU %.2f s in %.1f s (%.1f %% of one core)\n",
      slots, passed, cpu, wall, 100 * cpu / wall
    printf "slowest unit %.2f s against the line bound %.2f s: %.4f x (target 1.01)\n",
      slowest, bound, slowest / bound
    exit !(passed == slots && slowest / bound <= 1.01)
  }'
