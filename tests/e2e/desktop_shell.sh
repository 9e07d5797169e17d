#!/usr/bin/env bash
# End to end: the desktop program as a user meets it, under a virtual X
# server with openbox on a private session bus.
#   desktop_shell.sh BIN_DIR
# Starts in a fresh HOME, waits for the page's first list_notes answer, takes
# a screenshot, checks the sample notes, toggles with --toggle, hands over a
# corvane://auth URL, reads the status item's menu over D-Bus, replaces the
# running copy with a second launch (its counters flushed) and quits with Ctrl+Q.
set -uo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${CORVANE_E2E_INNER:-}" ]; then
  for tool in dbus-run-session xvfb-run openbox xdotool import gdbus; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is not installed (scripts/debian-packages.txt lists it)"
      exit 77
    fi
  done
  export CORVANE_E2E_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1440x900x24" "$0" "$@"
fi

work=$(mktemp -d /tmp/corvane-e2e.XXXXXX)
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset XDG_DATA_HOME XDG_CONFIG_HOME
export CORVANE_WEB_ROOT=$here/page
export WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}:detect_leaks=0
export NO_AT_BRIDGE=1
logdir=$HOME/.local/share/Corvane/logs
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  sleep 0.3
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  if [ "${KEEP_E2E:-}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0
check() {  # check "what" command...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# wait_for SECONDS command...: polls every 0.1 s
wait_for() {
  local n=$(( $1 * 10 )); shift
  for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
log_count() { cat "$logdir"/2*.jsonl 2>/dev/null | grep -c -- "$1"; }
log_has_n() { [ "$(log_count "$1")" -ge "$2" ]; }
tray_visible() { xdotool search --onlyvisible --classname '^corvane$' >/dev/null 2>&1; }
tray_hidden() { ! tray_visible; }
alive() { kill -0 "$1" 2>/dev/null; }
dead() { ! kill -0 "$1" 2>/dev/null; }

openbox >/dev/null 2>&1 & pids+=($!)
sleep 0.5

# 1. First launch in a fresh HOME: the page loads and list_notes is answered.
"$bin/corvane" >"$work/first.log" 2>&1 & first=$!; pids+=($first)
check "page's first list_notes answered" wait_for 40 log_has_n "first list_notes reply, 3 notes" 1
check "tray window shown" wait_for 10 tray_visible
sleep 0.5
import -window root "$work/shot.png"
colors=$(convert "$work/shot.png" -format '%k' info: 2>/dev/null || echo 0)
check "screenshot is not blank ($colors colours)" test "$colors" -gt 20
[ -n "${CORVANE_E2E_SHOT:-}" ] && cp "$work/shot.png" "$CORVANE_E2E_SHOT"
for f in todo-list followup raw-clips; do
  check "sample note $f.md" test -f "$HOME/Corvane/Notes/$f.md"
done
check "followupId and rawClipsId set" grep -Eq '"followupId": *"followup"' "$HOME/Corvane/settings.json"

# 2. --toggle is handed to the running copy: hide, then show.
"$bin/corvane" --toggle; rc=$?
check "--toggle exits 0" test $rc -eq 0
check "--toggle hides" wait_for 5 tray_hidden
"$bin/corvane" --toggle
check "--toggle shows again" wait_for 5 tray_visible
check "first copy still runs" alive $first

# 3. A sign-in URL goes to the running copy, which keeps running.
"$bin/corvane" "corvane://auth/x"; rc=$?
check "URL launch exits 0" test $rc -eq 0
sleep 0.3
check "URL launch leaves the first copy running" alive $first

# 4. The status item's menu over D-Bus, and Activate toggles.
item="org.kde.StatusNotifierItem-$first-1"
layout=$(gdbus call --session --dest "$item" --object-path /MenuBar \
  --method com.canonical.dbusmenu.GetLayout 0 -- -1 '@as []' 2>&1)
check "menu has Show / Hide Grid" grep -q "'Show / Hide Grid'" <<<"$layout"
check "menu has Check for Updates…" grep -q "'Check for Updates…'" <<<"$layout"
check "menu has Quit Corvane" grep -q "'Quit Corvane'" <<<"$layout"
tooltip=$(gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
  --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem ToolTip 2>&1)
check "tooltip is Corvane" grep -q "'Corvane'" <<<"$tooltip"
gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
  --method org.kde.StatusNotifierItem.Activate 0 0 >/dev/null
check "Activate hides the tray" wait_for 5 tray_hidden
gdbus call --session --dest "$item" --object-path /MenuBar \
  --method com.canonical.dbusmenu.Event 1 clicked '<int32 0>' 0 >/dev/null
check "\"Show / Hide Grid\" shows it" wait_for 5 tray_visible

# 5. A plain launch replaces the first copy, which flushes its counters.
"$bin/corvane" >"$work/second.log" 2>&1 & second=$!; pids+=($second)
check "first copy quits" wait_for 10 dead $first
check "its summons were written" grep -Eq '"summons":[1-9]' "$HOME/Corvane/stats.json"
check "second copy answers list_notes" wait_for 40 log_has_n "first list_notes reply" 2
check "second copy shows the tray" wait_for 10 tray_visible

# 6. Ctrl+Q quits.
win=$(xdotool search --onlyvisible --classname '^corvane$' | head -1)
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
sleep 0.3
xdotool key --clearmodifiers ctrl+q
check "Ctrl+Q quits" wait_for 10 dead $second
check "quit logged" log_has_n '"quitting"' 2

if [ $failures -ne 0 ]; then
  echo "--- first copy output"; tail -20 "$work/first.log"
  echo "--- second copy output"; tail -20 "$work/second.log"
  echo "--- application log"; cat "$logdir"/2*.jsonl | tail -30
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
