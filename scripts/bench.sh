#!/usr/bin/env bash
# Builds and runs the benchmarks against the emulated receiver at the real
# line rate. A full run takes about 20 minutes (a paced 2 MiB transfer alone
# takes over three); --quick is a smoke run of a few minutes (each transfer
# stopped after 32 blocks, fewer receivers). Each bench prints its figures
# and exits non-zero when it misses its target.
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
fi
echo "load: $(uptime)"
status=0
for name in "${names[@]}"; do
  echo "== $name"
  "build-bench/bench/$name" "${quick[@]}" || status=1
done
exit $status
