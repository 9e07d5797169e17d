#!/usr/bin/env bash
# Installs dependencies, builds the dev configuration (AddressSanitizer +
# UndefinedBehaviorSanitizer) with tests and benchmarks, and runs the whole
# suite through CTest: unit tests, the reliability checks (short kill test,
# hostile paths, disk full, a few seconds of every fuzz target), then each
# benchmark once in smoke mode; then the threaded tests under ThreadSanitizer
# (scripts/tsan.sh; CORVANE_SKIP_TSAN=1 leaves that out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --preset dev
if [ "${CORVANE_SKIP_TSAN:-0}" != 1 ]; then
  scripts/tsan.sh
fi
