#!/usr/bin/env bash
# The Windows desktop program's leg of the test command:
#   1. Qt for Windows from scripts/build-qt-windows.sh (built once per
#      machine, then reused), quorvane.exe, quorvane-station.exe and
#      quorvane-cli.exe cross-built against it into build-windows-gui/program, the deployment folder made
#      by `cmake --install` and the ZIP and NSIS packages by CPack;
#   2. quorvane.exe run from the deployment folder under Wine in Xvfb, in a
#      fresh private prefix whose COM1 leads to quorvane-emu (scripts/wine-env.sh),
#      driven with xdotool and watched by window titles, screenshots and
#      the message boxes' text (Ctrl+C copies a Qt message box);
#   3. quorvane-station.exe with one slot on COM1: two units upgraded, the
#      receiver switched off and swapped between them;
#   4. the installer run silently, the installed program started, the
#      uninstaller run, the install folder checked empty.
# Screenshots of a failing run stay in build-windows-gui/screenshots.
# Ends with "windows-gui: N passed, M failed".
#
#   bash tests/windows/gui.sh [LINUX_BUILD]
#
# LINUX_BUILD is the Linux build folder whose quorvane-emu and quorvane-render
# are used (default build-test; configured here if missing).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root" || exit 1

linux=$(realpath -m "${1:-build-test}")
build=$root/build-windows-gui
e2e=$build/e2e
shots=$build/screenshots
deploy=$build/deploy
began=$SECONDS

passed=0
failed=0
pass() { passed=$((passed + 1)) && echo "windows-gui: ok      $1"; }
fail() {
  failed=$((failed + 1))
  echo "windows-gui: FAILED  $1: ${*:2}"
  [[ -n ${DISPLAY:-} ]] && import -window root "$shots/failed-$1.png" 2>/dev/null
}
stop() {
  ((failed)) && echo "windows-gui: screenshots in $shots" || rm -rf "$shots"
  echo "windows-gui: $passed passed, $failed failed ($((SECONDS - began)) s)"
  exit $((failed > 0 ? 1 : 0))
}
# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; fails when
# it has not within SECONDS.
wait_until() {
  local end=$((SECONDS + $1))
  until "${@:2}" 2>/dev/null; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}
check() {  # NAME COMMAND...: the case passes when COMMAND succeeds
  if "${@:2}" 2>"$e2e/why"; then pass "$1"; else fail "$1" "$(tr '\n' ' ' <"$e2e/why")"; fi
}
rm -rf "$e2e" "$shots"
mkdir -p "$e2e" "$shots"

# ---- builds ----------------------------------------------------------------
echo "== Qt for Windows, quorvane.exe, the deployment folder and packages"
bash scripts/package-windows.sh "$build" >"$e2e/build.log" 2>&1 ||
  { tail -n 30 "$e2e/build.log"; fail build "scripts/package-windows.sh"; stop; }
if [[ ! -f $linux/CMakeCache.txt ]]; then
  cmake -S . -B "$linux" -G Ninja -DQUORVANE_TESTS=OFF >/dev/null || { fail linux-build configure; stop; }
fi
nice cmake --build "$linux" -j2 --target quorvane-emu quorvane-render >"$e2e/linux.log" 2>&1 ||
  { tail -n 30 "$e2e/linux.log"; fail linux-build "quorvane-emu, quorvane-render"; stop; }
emu=$(find "$linux" -name quorvane-emu -type f -perm -u+x | head -1)
render=$(find "$linux" -name quorvane-render -type f -perm -u+x | head -1)
# The version as CMake's project() sets it; the windows are titled "Quorvane <version>".
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/program/CMakeCache.txt")
title="Quorvane $version"
zip=$build/package/Quorvane-$version-windows-x64.zip
installer=$build/package/Quorvane-$version-windows-x64.exe
deployment() {  # what the folder needs, the GUI subsystem (2), the ZIP and installer
  local f
  for f in quorvane.exe quorvane-station.exe quorvane-cli.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
    platforms/qwindows.dll styles/qwindowsvistastyle.dll libstdc++-6.dll libgcc_s_seh-1.dll \
    libwinpthread-1.dll licenses/Qt/LGPL-3.0-only.txt; do
    [[ -f $deploy/$f ]] || { echo "no $f" >&2 && return 1; }
  done
  for f in quorvane.exe quorvane-station.exe; do
    [[ $(x86_64-w64-mingw32-objdump -p "$deploy/$f") == *"(Windows GUI)"* ]] ||
      { echo "$f is no GUI program" >&2 && return 1; }
  done
  [[ -f $installer && $(unzip -l "$zip") == *windows-x64/platforms/qwindows.dll* ]] ||
    { echo "no installer, or no ZIP with the plugin" >&2 && return 1; }
}
check deployment deployment
echo "deployment folder: $(du -sh "$deploy" | cut -f1); ZIP: $(du -h "$zip" | cut -f1)"

# ---- Xvfb and a fresh prefix -----------------------------------------------
echo "== quorvane.exe under Wine against quorvane-emu"
link=$e2e/com
# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
xvfb_pid=
app_pid=
cleanup() {
  stop_emulator
  [[ -n $app_pid ]] && kill "$app_pid" 2>/dev/null
  stop_wineserver
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$e2e/display" 2>"$e2e/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $e2e/display ]] && break; sleep 0.1; done
export DISPLAY=:$(cat "$e2e/display")
# Wine hands the environment on: the test command's offscreen platform
# would keep Qt for Windows from its own.
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
rm -rf "$build/wineprefix"
wine_prefix "$build/wineprefix"
map_com_ports 1 2>"$e2e/why" || { fail wine-prefix "$(cat "$e2e/why")"; stop; }
# The dialogs' font: AR PL UMing, as on Linux, standing in for SimSun.
ln -sf /usr/share/fonts/truetype/arphic/uming.ttc "$WINEPREFIX/drive_c/windows/Fonts/uming.ttc"
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /d 'AR PL UMing CN' /f >/dev/null 2>&1
work=$WINEPREFIX/drive_c/work
mkdir -p "$work"

# ---- windows, keys and the mouse ---------------------------------------------
ids() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | sort; }
# new_window TITLE BEFORE [SECONDS]: waits for a window titled TITLE that is
# not among BEFORE (ids), prints its id.
new_window() {
  local id
  for _ in $(seq $((${3:-60} * 5))); do
    for id in $(ids "$1"); do
      [[ " $2 " == *" $id "* ]] || { echo "$id" && return 0; }
    done
    sleep 0.2
  done
  echo "no window \"$1\" (shown: $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null |
    tr '\n' '|'))" >&2
  return 1
}
gone() {  # ID [SECONDS]: waits until the window is no longer shown
  for _ in $(seq $((${2:-60} * 5))); do
    xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$1" || return 0
    sleep 0.2
  done
  echo "window $1 still shown" >&2
  return 1
}
# Dialog units to pixels: the control panel is 367 x 193 units.
sx=1 sy=1
# The first click on a window that was not active only activates it: a
# click on its top left corner (a dialog's margin) goes first.
click() {  # ID X Y (dialog units): the middle of the control there
  xdotool mousemove --window "$1" 2 2 click 1 sleep 0.2 mousemove --window "$1" "$(awk -v v="$2" -v s="$sx" 'BEGIN { printf "%d", v * s }')" \
    "$(awk -v v="$3" -v s="$sy" 'BEGIN { printf "%d", v * s }')" sleep 0.2 click 1
  sleep 0.5
}
keys() {  # ID KEY...: keys to the window under the pointer
  xdotool mousemove --window "$1" 3 3 key --delay 80 "${@:2}"
  sleep 0.3
}
shot() { import -window "$1" "$shots/$2.png" 2>/dev/null; }
# message TEXT [SECONDS]: the next message box ("Quorvane <version>" over the
# panel) says TEXT; it is closed with Enter.
message() {
  local id
  id=$(new_window "$title" "$panel_ids" "${2:-60}") || return 1
  shot "$id" "message-$(date +%s%N)"
  printf '' | xclip -selection clipboard 2>/dev/null
  keys "$id" ctrl+c
  local got=
  for _ in $(seq 20); do
    got=$(xclip -o -selection clipboard 2>/dev/null | tr -d '\r' | sed -n '4,/^---/p' | sed '$d')
    [[ -n $got ]] && break
    sleep 0.2
  done
  keys "$id" Return
  gone "$id" 10 || return 1
  sleep 2  # the dialogs under it end too
  [[ $got == "$(printf '%s' "$1" | tr -d '\r')" ]] || { echo "message \"$got\", not \"$1\"" >&2 && return 1; }
}

# Rectangles of the controls in a screenshot: everything that differs from
# the dialog's background, in connected pieces at least 24 x 12 pixels
# (buttons, frames), as "x y w h" lines.
rectangles() {
  local bg
  bg=$(convert "$1" -format '%[pixel:p{2,2}]' info:)
  convert "$1" -alpha off -fuzz 4% -fill white -opaque "$bg" -fill black +opaque white \
    -define connected-components:verbose=true -connected-components 8 null: 2>/dev/null |
    awk '$NF ~ /\(0,0,0\)|gray\(0\)|black/ { split($2, g, /[x+]/)
      if (g[1] >= 24 && g[2] >= 12) print g[3], g[4], g[1], g[2] }' | sort -n -k2 -k1
}
# The font's height comes from GDI here and from FreeType on Linux, which
# may differ by a pixel: vertical positions are compared after scaling the
# Windows client area to the Linux height (the difference is printed).
same_layout() {  # LINUX.png WINDOWS.png: same width, the same rectangles within 3 pixels
  local a b
  a=$(identify -format '%wx%h' "$1") b=$(identify -format '%wx%h' "$2")
  echo "control panel: ${b} pixels under Wine, ${a} on Linux"
  [[ ${b%x*} == "${a%x*}" ]] || { echo "size $b, Linux $a" >&2 && return 1; }
  rectangles "$1" >"$e2e/linux.rects"
  rectangles "$2" | awk -v r="$(awk -v a="${a#*x}" -v b="${b#*x}" 'BEGIN { print a / b }')" \
    '{ printf "%d %d %d %d\n", $1, $2 * r + 0.5, $3, $4 * r + 0.5 }' >"$e2e/windows.rects"
  awk 'NR == FNR { l[++n] = $0; next } { w[++m] = $0 }
    END {
      if (n != m || n == 0) { printf "%d rectangles, Linux %d\n", m, n > "/dev/stderr"; exit 1 }
      for (i = 1; i <= n; i++) {
        split(l[i], p); split(w[i], q)
        for (k = 1; k <= 4; k++) if (p[k] - q[k] > 3 || q[k] - p[k] > 3) {
          printf "rectangle %s, Linux %s\n", w[i], l[i] > "/dev/stderr"; exit 1 }
      }
    }' "$e2e/linux.rects" "$e2e/windows.rects"
}

# ---- the control panel ---------------------------------------------------------
head -c 1048576 /dev/urandom >"$e2e/flash.bin"
head -c 1048576 /dev/urandom >"$e2e/other.bin"
{ printf 'QX_Rom_CIAMD1'; cat "$e2e/other.bin"; } >"$work/upgrade.bin"
{ printf 'QX_Rom_CIAMD1'; cat "$e2e/flash.bin"; } >"$e2e/same.bin"
{ printf 'QX_RomFtaAMD1'; cat "$e2e/flash.bin"; } >"$work/fta.bin"
QT_QPA_PLATFORM=offscreen "$render" "$e2e/render" control_panel >/dev/null 2>&1

start_emulator --model 5 --flash "$e2e/flash.bin" || { fail emulator "never came up"; stop; }
(cd "$work" && exec wine "$deploy/quorvane.exe" >"$e2e/app.log" 2>&1) &
app_pid=$!
panel=$(new_window "$title" "" 120) || { fail control-panel "never shown"; stop; }
panel_ids=$panel
# Shot once the panel is drawn: its six buttons and frame are there.
panel_drawn() { shot "$panel" control_panel && [[ $(rectangles "$shots/control_panel.png" | wc -l) -ge 7 ]]; }
wait_until 30 panel_drawn
read -r sx sy < <(identify -format '%w %h' "$shots/control_panel.png" |
  awk '{ printf "%.4f %.4f", $1 / 367, $2 / 193 }')
control_panel() {
  [[ $(rectangles "$shots/control_panel.png" | wc -l) -ge 7 ]] ||
    { echo "not six buttons in a frame" >&2 && return 1; }
  # The program's icon on the window (_NET_WM_ICON, which Wine sets from
  # the window's icon).
  xprop -id "$panel" 2>/dev/null | grep -q '^_NET_WM_ICON' ||
    { echo "no window icon" >&2 && return 1; }
  same_layout "$e2e/render/control_panel.png" "$shots/control_panel.png"
}
check control-panel control_panel

# Setup Comm (51, 54, 72 x 26) -> Communication Setup: Com n, OK.
# connect_case PORT_X PORT_Y TEXT [MIN_S MAX_S]
connect_case() {
  # Wine may keep the last dialog's window mapped for a while: only a new
  # one counts.
  local setup= t0 t old
  # Under Wine the panel's first click after an "open port" message may be
  # lost (its activation): the button is clicked again, up to three times.
  old=$(ids "Communication Setup" | tr '\n' ' ')
  for _ in 1 2 3; do
    click "$panel" 87 67
    setup=$(new_window "Communication Setup" "$old" 10 2>"$e2e/why-setup") && break
  done
  [[ -n $setup ]] || { cat "$e2e/why-setup" >&2 && return 1; }
  shot "$setup" comm_setup
  click "$setup" "$1" "$2"
  t0=$(date +%s.%N)
  click "$setup" 62 82
  message "$3" 30 || return 1
  t=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  [[ -z ${4:-} ]] || awk -v t="$t" -v lo="$4" -v hi="$5" 'BEGIN { exit !(t >= lo && t <= hi) }' ||
    { echo "shown after $t s" >&2 && return 1; }
}
check connect-missing connect_case 37 50 "open port3 error!"
stop_emulator
start_emulator --model 5 --silent-after-start || { fail emulator "never came up"; stop; }
check connect-silent connect_case 37 28 $'no answer\xEF\xBC\x81' 1.5 15
stop_emulator
start_emulator --model 5 --flash "$e2e/flash.bin" || { fail emulator "never came up"; stop; }
check connect connect_case 37 28 "connect ok!"

# Read Software (144, 54): the save dialog, then 256 blocks into read.bin.
read_case() {
  click "$panel" 180 67
  local chooser dialog
  chooser=$(new_window "save as rom\(\*\.bin\) file" "" 30) || return 1
  shot "$chooser" save_dialog
  keys "$chooser" End shift+Home BackSpace  # the proposed name
  xdotool type --delay 30 'C:\work\read.bin'
  keys "$chooser" Return
  dialog=$(new_window "Read Receiver Software" "" 30) || return 1
  gone "$dialog" 120 || return 1
  cmp -s "$work/read.bin" "$e2e/same.bin" || { echo "read.bin is not the flash" >&2 && return 1; }
}
check read read_case
stop_emulator

# Upgrade Software (235, 54): the open dialog, then the dialog.
choose_image() {  # NAME
  click "$panel" 271 67
  local chooser
  chooser=$(new_window "open rom\(\*\.bin\) file" "" 30) || return 1
  keys "$chooser" End shift+Home BackSpace  # the proposed name
  xdotool type --delay 30 "C:\\work\\$1"
  keys "$chooser" Return
}
mismatch=$'software version incorrect\xEF\xBC\x81\r\npls send below information to your provider\xEF\xBC\x81\r\n\r\n"error version <Fta 29 1> to <CI 29 1>"'
mismatch_case() {
  choose_image fta.bin && message "$mismatch" 30 || return 1
  local id
  for id in $(ids "Upgrade Receiver Software"); do gone "$id" 10 || return 1; done
  ! grep -q '<- block' "$e2e/emu.log" || { echo "a block was sent" >&2 && return 1; }
}
start_emulator --model 5 --answer ident || { fail emulator "never came up"; stop; }
check upgrade-mismatch mismatch_case
stop_emulator

upgrade_case() {
  choose_image upgrade.bin || return 1
  local dialog
  dialog=$(new_window "Upgrade Receiver Software" "" 30) || return 1
  for _ in $(seq 600); do
    grep -q '^.*flash saved' "$e2e/emu.log" 2>/dev/null && break
    sleep 0.2
  done
  shot "$dialog" upgrade_end
  cmp -s "$e2e/saved.bin" "$e2e/other.bin" || { echo "the emulator stored other bytes" >&2 && return 1; }
  xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$dialog" && keys "$dialog" Escape
  gone "$dialog" 30
}
start_emulator --model 5 --flash "$e2e/flash.bin" --save "$e2e/saved.bin" || { fail emulator "never came up"; stop; }
check upgrade upgrade_case
stop_emulator

# Keyboard Control (51, 102): the panel hides, the remote shows. MENU (row
# 8, left), OK (row 6, middle), EXIT (row 8, right): x 227 + 80 c, y 7 +
# 26 (r - 1), 68 x 20; then 1, 2 and Up in the key field (7, 172, 205 x 170).
remote_case() {
  click "$panel" 87 115
  gone "$panel" 30 || return 1
  local remote
  remote=$(new_window "$title" "" 30) || return 1
  shot "$remote" remote_control
  click "$remote" 261 199
  click "$remote" 341 147
  click "$remote" 421 199
  click "$remote" 109 257
  keys "$remote" 1 2 Up
  key_frames() { [[ $(grep -c ' key 0x' "$e2e/emu.log") == "$1" ]]; }
  wait_until 10 key_frames 6 ||
    { echo "$(grep -c ' key 0x' "$e2e/emu.log") key frames, not 6" >&2 && return 1; }
  click "$remote" 37 15  # close
  gone "$remote" 30 && panel=$(new_window "$title" "" 30) && panel_ids=$panel
}
start_emulator --model 5 || { fail emulator "never came up"; stop; }
check keyboard-control remote_case
stop_emulator

# Exit (235, 102): the program ends and leaves Quorvane.cfg (COM1: index 0).
exit_case() {
  click "$panel" 271 115
  for _ in $(seq 150); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.2; done
  ! kill -0 "$app_pid" 2>/dev/null || { kill "$app_pid"; echo "still running" >&2 && return 1; }
  [[ $(od -An -tx1 "$work/Quorvane.cfg" 2>/dev/null | tr -d ' \n') == 00000000 ]] ||
    { echo "Quorvane.cfg: $(od -An -tx1 "$work/Quorvane.cfg" 2>&1)" >&2 && return 1; }
}
check exit exit_case
app_pid=

# ---- the station window ----------------------------------------------------------
# quorvane-station.exe from the deployment folder, one slot on COM1, started
# from its command line: the first unit is upgraded and verified; switched
# off for longer than the slot's re-arm silence (15 s), swapped for the next
# unit and switched on, the second one too. Each unit's flash is what the
# emulator saved, and the log folder holds one record per unit.
station_case() {
  local control=$e2e/control units=$e2e/units log=$work/station-log.jsonl id n
  rm -rf "$units" "$log"
  mkdir -p "$units"
  head -c 1048576 /dev/urandom >"$e2e/station-flash.bin"
  { printf 'QX_Rom_CIAMD1' && cat "$e2e/station-flash.bin"; } >"$work/station.bin"
  start_emulator --model 5 --control "$control" --units-dir "$units"
  (cd "$work" && exec wine "$deploy/quorvane-station.exe" --port 1 upgrade 'C:\work\station.bin' \
    --log-dir 'C:\work' --start >"$e2e/station.log" 2>&1) &
  app_pid=$!
  id=$(new_window "Quorvane Station" "" 60) || return 1
  ok_units() { grep -c '"result":"ok"' "$log" 2>/dev/null; }
  for _ in $(seq 600); do [[ $(ok_units) == 1 ]] && break; sleep 0.2; done
  shot "$id" station-unit-1
  [[ $(ok_units) == 1 ]] || { echo "unit 1: $(cat "$log" 2>&1)" >&2 && return 1; }
  timeout 10 bash -c "echo off >'$control'" || return 1
  sleep 17
  timeout 10 bash -c "echo swap >'$control' && echo on >'$control'" || return 1
  for _ in $(seq 600); do [[ $(ok_units) == 2 ]] && break; sleep 0.2; done
  shot "$id" station-unit-2
  timeout 30 wine taskkill /F /IM quorvane-station.exe >/dev/null 2>&1
  kill "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  app_pid=
  [[ $(ok_units) == 2 && $(wc -l <"$log") == 2 ]] || { echo "log: $(cat "$log" 2>&1)" >&2 && return 1; }
  for n in 0001 0002; do
    cmp -s "$units/unit-$n.bin" "$e2e/station-flash.bin" || { echo "unit $n not the image" >&2 && return 1; }
  done
}
check station station_case
stop_emulator

# ---- the installer -------------------------------------------------------------
installed=$WINEPREFIX/drive_c/Program\ Files/Quorvane
installer_case() {
  timeout 300 wine "$installer" /S >/dev/null 2>&1
  [[ -f $installed/quorvane.exe && -f $installed/platforms/qwindows.dll ]] ||
    { echo "nothing installed in Program Files" >&2 && return 1; }
  [[ $(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Quorvane*.lnk' | wc -l) -ge 2 ]] ||
    { echo "no Start-menu entries for both programs" >&2 && return 1; }
  [[ -f $installed/quorvane-station.exe ]] || { echo "no quorvane-station.exe installed" >&2 && return 1; }
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane' >/dev/null 2>&1 ||
    { echo "not listed among the installed programs" >&2 && return 1; }
  (cd "$work" && exec wine "$installed/quorvane.exe" >/dev/null 2>&1) &
  app_pid=$!
  panel=$(new_window "$title" "" 60) || return 1
  click "$panel" 271 115  # Exit
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.2; done
  kill "$app_pid" 2>/dev/null
  app_pid=
  # The uninstaller copies itself away and removes the folder meanwhile.
  timeout 120 wine "$installed/Uninstall.exe" /S >/dev/null 2>&1
  for _ in $(seq 150); do [[ -e $installed ]] || break; sleep 0.2; done
  [[ ! -e $installed ]] || { echo "left: $(find "$installed" | head -5)" >&2 && return 1; }
}
check installer installer_case

stop
