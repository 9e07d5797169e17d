#!/usr/bin/env bash
# End to end: the desktop program as a user meets it, under a virtual X
# server with openbox on a private session bus.
#   desktop_shell.sh BIN_DIR
# Starts in a fresh HOME with the real page (share/corvane/web), waits for the
# page's first list_notes answer, takes a screenshot, checks the sample notes,
# toggles with --toggle, hands over an e-mail sign-in URL (the account's
# status shows in the panel near the pointer), reads the status item's menu
# over D-Bus, replaces the running copy with a second launch (its counters
# flushed) that scripts the Notes simulator (the permission poll follows its
# grant), creates a note with Ctrl+N, hides with Escape (the page asks
# "hide_window") and Ctrl+W, and quits with Ctrl+Q.
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
  if [ ! -f "$1/../share/corvane/web/index.html" ]; then
    echo "SKIP: the page is not built (node and npm build web/ into share/corvane/web)"
    exit 77
  fi
  export CORVANE_E2E_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1440x900x24" "$0" "$@"
fi

work=$(mktemp -d /tmp/corvane-e2e.XXXXXX)
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset XDG_DATA_HOME XDG_CONFIG_HOME
unset CORVANE_WEB_ROOT CORVANE_OSASCRIPT
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
hud_visible() { xdotool search --onlyvisible --classname '^corvane-hud$' >/dev/null 2>&1; }
hud_gone() { ! hud_visible; }
alive() { kill -0 "$1" 2>/dev/null; }
dead() { ! kill -0 "$1" 2>/dev/null; }

openbox >/dev/null 2>&1 & pids+=($!)
sleep 0.5

# 1. First launch in a fresh HOME: the page loads and list_notes is answered.
"$bin/corvane" >"$work/first.log" 2>&1 & first=$!; pids+=($first)
check "page's first list_notes answered" wait_for 40 log_has_n "first list_notes answered, 3 notes" 1
check "tray window shown" wait_for 10 tray_visible
sleep 1
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
check "frame saved on hide" grep -Eq '"Corvane.mainWindowFrame.v1": *"\{\{[0-9.-]+, [0-9.-]+\}, \{[0-9.]+, [0-9.]+\}\}"' \
  "$HOME/.config/corvane/defaults.json"
"$bin/corvane" --toggle
check "--toggle shows again" wait_for 5 tray_visible
check "first copy still runs" alive $first
# Global capture runs in the tray: the default clip shortcut reaches the clip trigger.
check "global hotkeys registered" wait_for 10 log_has_n '"hotkeys".*registered' 1
xdotool key alt+c
check "Alt+C triggers a clip" wait_for 5 log_has_n 'clip target=.default source=keyboard' 1
check "with nothing selected the clip says so near the pointer" wait_for 10 log_has_n '"hud".*Nothing selected' 1

# 3. A sign-in URL goes to the running copy and its account, which answers in
# the status panel near the pointer (no backend is set up: the link is invalid).
xdotool mousemove 300 300
"$bin/corvane" "corvane://auth/email?link=https%3A%2F%2Fexample.invalid%2Fx"; rc=$?
check "URL launch exits 0" test $rc -eq 0
check "account status logged as hud" wait_for 5 log_has_n '"hud".*failure: ✕ Sign-in link invalid — request a new one' 1
check "status panel shown" wait_for 5 hud_visible
import -window root "$work/hud.png"
[ -n "${CORVANE_E2E_SHOT:-}" ] && cp "$work/hud.png" "${CORVANE_E2E_SHOT%.png}-hud.png"
check "status panel goes by itself" wait_for 5 hud_gone
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

# 5. A plain launch replaces the first copy, which flushes its counters. The
# second copy scripts the Notes simulator, whose grant the permission poll reports.
export CORVANE_OSASCRIPT=$bin/corvane-notes-sim CORVANE_NOTES_SIM_STATE=$work/notes-sim.json
"$bin/corvane-notes-sim" --admin set permission '"denied"' >/dev/null
"$bin/corvane" >"$work/second.log" 2>&1 & second=$!; pids+=($second)
check "first copy quits" wait_for 10 dead $first
check "its summons were written" grep -Eq '"summons":[1-9]' "$HOME/Corvane/stats.json"
check "second copy answers list_notes" wait_for 40 log_has_n "first list_notes answered" 2
check "second copy shows the tray" wait_for 10 tray_visible
check "poll reports Notes refused" wait_for 10 log_has_n '"permissions".*notes\\":false' 1
"$bin/corvane-notes-sim" --admin set permission '"granted"' >/dev/null
check "poll reports Notes granted" wait_for 10 log_has_n '"permissions".*notes\\":true' 1
unset CORVANE_OSASCRIPT

# 6. Escape (through the page and "hide_window") and Ctrl+W hide; Ctrl+Q quits.
focus_tray() {
  local win
  win=$(xdotool search --onlyvisible --classname '^corvane$' | head -1)
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  sleep 0.3
}
focus_tray
xdotool key --clearmodifiers ctrl+n
sleep 1  # the dialog opens and focuses its field
xdotool type --delay 20 "Typed In E2E"
xdotool key --clearmodifiers Return
check "Ctrl+N creates a note through the page" wait_for 10 bash -c "ls '$HOME/Corvane/Notes' | grep -qi 'typed'"
sleep 1  # the page opens it in the editor
import -window root "$work/new-note.png"
[ -n "${CORVANE_E2E_SHOT:-}" ] && cp "$work/new-note.png" "${CORVANE_E2E_SHOT%.png}-new-note.png"
# The new note opens in the editor: Escape goes back to the grid, then hides.
xdotool key --clearmodifiers Escape
sleep 0.5
check "Escape in the editor keeps the tray" tray_visible
xdotool key --clearmodifiers Escape
check "Escape on the grid hides" wait_for 5 tray_hidden
"$bin/corvane" --toggle
wait_for 5 tray_visible
focus_tray
xdotool key --clearmodifiers ctrl+w
check "Ctrl+W hides" wait_for 5 tray_hidden
"$bin/corvane" --toggle
wait_for 5 tray_visible
focus_tray
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
