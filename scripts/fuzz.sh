#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each one
# for a fixed number of inputs, starting from the checked-in corpus.
#   scripts/fuzz.sh [runs]        default 5000 runs per target
# Environment: FUZZ_SEED (default 1, for a repeatable run), FUZZ_BUILD_DIR,
# FUZZ_TARGETS (a subset, e.g. "image_loader input_queue"), FUZZ_MERGE=1.
# New corpus entries go to a scratch directory; with FUZZ_MERGE=1 those that
# add coverage are merged into fuzz/corpus/<target> at the end. A crashing
# input is kept in build-fuzz/artifacts/<target>/ and the script fails.
# The targets' scratch files go to a folder on /dev/shm where there is one
# (the configuration file is saved with fsync, which costs milliseconds on a
# disk), removed at the end with whatever a target left there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5000}
seed=${FUZZ_SEED:-1}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
read -r -a targets <<<"${FUZZ_TARGETS:-image_loader answer_check config_loader input_queue port_map}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQUORVANE_FUZZ=ON -DQUORVANE_UI=OFF -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/%/_fuzz}" -j2

fast=${TMPDIR:-/tmp}
[[ -d /dev/shm && -w /dev/shm ]] && fast=/dev/shm
scratch=$(mktemp -d "$fast/quorvane-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tmp"
export TMPDIR=$scratch/tmp
for target in "${targets[@]}"; do
  artifacts="$build/artifacts/$target"
  mkdir -p "$scratch/$target" "$artifacts"
  echo "== $target: $runs runs"
  log="$build/artifacts/$target.log"
  status=0
  "$build/fuzz/${target}_fuzz" -runs="$runs" -seed="$seed" -max_len=4096 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$scratch/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  grep -E '^(#[0-9]+[[:space:]]+DONE|Done|stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb))' "$log" || true
  if ((status != 0)); then
    tail -n 40 "$log" >&2
    echo "$target failed (status $status); log $log, inputs in $artifacts" >&2
    exit 1
  fi
  if [[ ${FUZZ_MERGE:-} == 1 ]]; then
    "$build/fuzz/${target}_fuzz" -merge=1 -max_len=4096 -timeout=20 \
      "$root/fuzz/corpus/$target" "$scratch/$target" >"$build/artifacts/$target.merge.log" 2>&1
    grep -E 'MERGE-OUTER: [0-9]+ new files' "$build/artifacts/$target.merge.log" || true
  fi
done
echo "fuzzing clean"
