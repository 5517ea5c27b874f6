#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test, leg by leg:
#   format      the checked-in source format
#   layers      includes point downward (scripts/check-layers.sh), and the
#               check catches upward includes planted in a copy (--self-test)
#   unit        the whole suite in a normal build (warnings as errors)
#   sanitized   the whole suite again under AddressSanitizer + UBSan
#   windows     core, tests and quorvane-cli.exe cross-built with MinGW-w64
#               and run under Wine against the emulator (tests/windows)
#   vm          quorvane-cli inside a QEMU guest on the kernel's 8250 UART
#               driver against the emulator (tests/vm)
#   package     the Debian package built, validated and its programs run
#   fuzz        each fuzz target for a fixed number of inputs
#   windows-gui quorvane.exe cross-built against Qt for Windows (built once
#               per machine by scripts/build-qt-windows.sh), its deployment
#               folder, ZIP and installer, driven under Wine in Xvfb against
#               the emulator (tests/windows/gui.sh)
# Qt for Windows, the longest step of all on a fresh machine (about 27 min of
# both cores, then cached), is built from the start at the lowest priority:
# it takes the cores the other legs leave idle (tests waiting on ptys, Wine
# and QEMU), and the windows-gui leg, last, waits for it.
# Every leg runs even when an earlier one failed (but those that need the
# normal build); the last line counts them: "legs: N passed, M failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh || exit 1
qt_log=$(mktemp "${TMPDIR:-/tmp}/quorvane-qt.XXXXXX")
# In a process group of its own, so that an early end stops all of it.
setsid nice -n 19 bash scripts/build-qt-windows.sh >"$qt_log" 2>&1 &
qt_build=$!
trap 'kill -- -"$qt_build" 2>/dev/null; rm -f "$qt_log"' EXIT

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
passed=()
failed=()
leg() {  # leg NAME COMMAND...: runs one leg and records how it ended
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  if "$@"; then passed+=("$name"); else failed+=("$name"); fi
  echo "== $name: $([[ ${failed[*]:-} == *"$name"* ]] && echo FAILED || echo ok) ($((SECONDS - start)) s)"
}

layers() { bash scripts/check-layers.sh && bash scripts/check-layers.sh --self-test; }
format() { git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror; }
unit() {
  bash scripts/build.sh build-test -DQUORVANE_WERROR=ON &&
    ctest --test-dir build-test --output-on-failure -j"$jobs"
}
sanitized() {
  bash scripts/build.sh build-asan -DQUORVANE_WERROR=ON -DQUORVANE_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir build-asan --output-on-failure -j"$jobs"
}

windows_gui() {
  wait "$qt_build" || { tail -n 40 "$qt_log"; echo "Qt for Windows: not built"; return 1; }
  bash tests/windows/gui.sh build-test
}

leg format format
leg layers layers
leg unit unit
leg sanitized sanitized
# The Windows and QEMU legs compare with, or run, the normal build's tools.
unit_ok=$([[ " ${passed[*]} " == *" unit "* ]] && echo 1)
if [[ -n $unit_ok ]]; then
  leg windows bash tests/windows/run.sh build-test
  leg vm bash tests/vm/run.sh build-test
else
  failed+=(windows vm)
  echo "== windows, vm: not run (the normal build failed)"
fi
leg package bash scripts/package-test.sh
leg fuzz bash scripts/fuzz.sh
if [[ -n $unit_ok ]]; then
  leg windows-gui windows_gui
else
  failed+=(windows-gui)
  echo "== windows-gui: not run (the normal build failed)"
fi

echo "legs passed: ${passed[*]:-none}"
((${#failed[@]})) && echo "legs FAILED: ${failed[*]}"
echo "legs: ${#passed[@]} passed, ${#failed[@]} failed"
((${#failed[@]} == 0))
