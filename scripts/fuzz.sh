#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset, clang) and runs every one
# for SECONDS (default 60) on its seed corpus in fuzz/corpus/<target>.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     # TARGET without the fuzz_ prefix
#
# New inputs go to build/fuzz/corpus/<target> (the seeds in the tree stay as
# they are); a crash, leak, sanitizer report or hang (25 s per input) is kept
# in build/fuzz/artifacts/ and fails the run. One line per target reports its
# executions. CI runs this with a few seconds per target (scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is not installed (scripts/debian-packages.txt lists it)" >&2
  exit 1
fi
cmake --preset fuzz >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(sed -n 's/^corvane_fuzz(\([a-z_0-9]*\) .*/\1/p' fuzz/CMakeLists.txt)
fi
cmake --build --preset fuzz -j"${CORVANE_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

mkdir -p build/fuzz/artifacts build/fuzz/logs
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t" "fuzz/corpus/$t"
  log="build/fuzz/logs/$t.log"
  if build/fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$t-" "build/fuzz/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  printf '%-16s %s  %s executions in %s s, %s\n' "$t" "$status" "${execs:-?}" "$seconds" "${cov:-cov: ?}"
  if [ "$status" = FAILED ]; then
    grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$log" | head -8 | sed 's/^/    /'
  fi
done
exit $failed
