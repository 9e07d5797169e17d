#!/usr/bin/env bash
# Runs the threaded tests under ThreadSanitizer (the "tsan" preset): the note
# cache, the bridge's lanes, the work queues, the statistics, the media
# librarian, the settings store and the application log. Only these test
# executables are built, and only their threaded suites run, to keep CI short.
#
#   scripts/tsan.sh            # build and run; fails on any report
#
# Suppressions (tests/tsan.supp) cover reports inside uninstrumented system
# libraries only; each one says why.
set -euo pipefail
cd "$(dirname "$0")/.."
# executable:gtest filter
suites=(
  "test_core:SerialQueue*:ConcurrentQueue*:MainQueue*:FakeScheduler*"
  "test_bridge:RealQueuesTest*:BridgeTest*:BridgeIntake*"
  "test_notes:ThreadedCacheTest*:CacheTest*:CacheFileTest*"
  "test_insights:StatsQueue*:StatsTest*:StatsCommands*"
  "test_media:MediaLibrarian*"
  "test_records:SettingsStore*:SettingsShared*:AppLogTest*"
)
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"${CORVANE_JOBS:-2}" --target "${suites[@]%%:*}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"
failed=0
for s in "${suites[@]}"; do
  exe=${s%%:*}
  filter=${s#*:}
  # Address-space randomisation beyond what TSan maps for makes it abort at
  # start on some kernels; running without it changes nothing else.
  if setarch "$(uname -m)" -R true 2>/dev/null; then run=(setarch "$(uname -m)" -R); else run=(); fi
  if "${run[@]}" "build/tsan/bin/$exe" --gtest_filter="$filter" --gtest_brief=1 >"build/tsan/$exe.log" 2>&1; then
    echo "tsan $exe: ok"
  else
    echo "tsan $exe: FAILED (build/tsan/$exe.log)"
    grep -E 'WARNING: ThreadSanitizer|SUMMARY|FAILED' "build/tsan/$exe.log" | head -10 | sed 's/^/    /'
    failed=1
  fi
done
exit $failed
