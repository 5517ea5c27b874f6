#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the whole suite in a normal build (warnings as errors),
#   2. the whole suite again under AddressSanitizer + UBSan,
#   3. each fuzz target for a fixed number of inputs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== source format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== normal build"
bash scripts/build.sh build-test -DQUORVANE_WERROR=ON
ctest --test-dir build-test --output-on-failure -j"$jobs"

echo "== sanitized build (ASan + UBSan)"
bash scripts/build.sh build-asan -DQUORVANE_WERROR=ON -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== quorvane-cli on a real serial driver (QEMU guest, tests/vm/run.sh)"
bash tests/vm/run.sh build-test

if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "== Windows core build (MinGW-w64 cross-compiler found)"
  cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DQUORVANE_UI=OFF -DQUORVANE_TESTS=OFF -DQUORVANE_WERROR=ON
  cmake --build build-win32 -j"$jobs"
fi

if [[ -f scripts/fuzz.sh ]]; then
  echo "== fuzz targets"
  bash scripts/fuzz.sh
fi
# Every step above stops the script on a failure, so reaching here means
# each test program passed in both builds.
normal=$(ctest --test-dir build-test -N | awk '/Total Tests:/ {print $3}')
sanitized=$(ctest --test-dir build-asan -N | awk '/Total Tests:/ {print $3}')
echo "test programs: $((normal + sanitized)) passed, 0 failed"
