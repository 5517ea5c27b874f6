#!/usr/bin/env bash
# Builds and runs the benchmarks against the emulated receiver at the real
# line rate. They take several minutes (a paced 2 MiB transfer alone takes
# over three); each prints its figures and exits non-zero when it misses
# its target.   scripts/bench.sh [benchmark-name...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh || exit 1
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
if (($#)); then names=("$@"); else
  names=(); for f in bench/*_bench.cpp; do names+=("$(basename "${f%.cpp}")"); done
fi
status=0
for name in "${names[@]}"; do
  echo "== $name"
  "build-bench/bench/$name" || status=1
done
exit $status
