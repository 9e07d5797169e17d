#!/bin/bash
# End-to-end check of global capture on X11: hotkeys, a hotkey held by another
# client, key capture, the Option tap, the bound extra mouse button, and
# disabled actions, against the fixture application under Xvfb.
#   capture_e2e.sh DRIVER FIXTURE
set -u
DRIVER=$1
FIXTURE=$2

if [ -z "${CORVANE_E2E_INNER:-}" ]; then
  for tool in xvfb-run xdotool dbus-run-session xauth; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  export CORVANE_E2E_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1440x900x24" "$0" "$@"
fi

WORK=$(mktemp -d)
export HOME=$WORK/home XDG_DATA_HOME=$WORK/data XDG_CONFIG_HOME=$WORK/config
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
FIX_LOG=$WORK/fixture.log
OUT=$WORK/driver.out
FAILURES=0
PIDS=()

cleanup() {
  exec 3>&- 2>/dev/null
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok: $*"; }

# Waits up to $2 seconds (default 5) for a line matching $1 in file $3 (default the driver output).
await() {
  local pattern=$1 limit=${2:-5} file=${3:-$OUT} i
  for ((i = 0; i < limit * 20; i++)); do
    grep -qF -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
count() { grep -cF -- "$1" "${2:-$OUT}" 2>/dev/null || true; }

# Sends one command and waits for its reply; prints the reply line.
call() {
  local before after
  before=$(grep -c '^reply ' "$OUT")
  echo "$*" >&3
  for ((i = 0; i < 200; i++)); do
    after=$(grep -c '^reply ' "$OUT")
    if [ "$after" -gt "$before" ]; then grep '^reply ' "$OUT" | sed -n "$((before + 1))p"; return 0; fi
    sleep 0.05
  done
  echo "reply timeout"
}
applog() { cat "$XDG_DATA_HOME"/Corvane/logs/*.jsonl 2>/dev/null; }
applog_count() { call sync >/dev/null; applog | grep -cF -- "$1" || true; }

"$FIXTURE" --log "$FIX_LOG" --grab alt+a --class corvane-fixture &
PIDS+=($!)
await ready 10 "$FIX_LOG" || { fail "fixture did not start"; exit 1; }
grep -q "grabbed alt+a" "$FIX_LOG" || fail "fixture could not grab Alt+A"

mkfifo "$WORK/in"
"$DRIVER" <"$WORK/in" >"$OUT" 2>"$WORK/driver.err" &
PIDS+=($!)
exec 3>"$WORK/in"
xdotool mousemove 400 300
sleep 0.2

r=$(call start)
[ "$r" = "reply start ok null" ] || fail "start: $r"

# A shortcut held by another application is reported.
r=$(call get_config)
expected='"hotkeyError":"Corvane Action (Option+A) couldn'"'"'t be registered — likely already used by another app. Pick a different shortcut."'
case "$r" in *"$expected"*) pass "Alt+A held by the fixture is reported" ;; *) fail "get_config: $r" ;; esac

# Alt+C clips once; the key does not reach the fixture, other keys do.
xdotool key alt+c
sleep 0.3
n=$(applog_count 'clip target=.default source=keyboard')
[ "$n" = 1 ] && pass "Alt+C gives one keyboard trigger" || fail "Alt+C gave $n triggers"
xdotool type --delay 20 hey
await "key-press y" 3 "$FIX_LOG" && pass "typed keys reach the fixture" || fail "typed keys did not reach the fixture"
[ "$(count 'key-press c' "$FIX_LOG")" = 0 ] || fail "the fixture saw the C of Alt+C"

# Key capture.
r=$(call begin_key_capture)
xdotool key ctrl+alt+shift+super+k
await 'event key:captured {"accelerator":"Cmd+Ctrl+Option+Shift+K"}' 3 && pass "key capture names the shortcut" ||
  fail "key capture: $(grep key:captured "$OUT")"
[ "$(count 'key-press k' "$FIX_LOG")" = 0 ] || fail "the captured key reached the fixture"
call end_key_capture >/dev/null
call begin_key_capture >/dev/null
xdotool key Escape
await 'event key:captured {"cancelled":true}' 3 && pass "Escape cancels key capture" || fail "Escape during capture"
call end_key_capture >/dev/null
call set_actions_enabled '{"enabled":true}' >/dev/null
xdotool type --delay 20 q
await "key-press q" 3 "$FIX_LOG" && pass "no grab left after key capture" || fail "keyboard still grabbed after capture"

# The Option tap during the tutorial; a long hold does nothing.
call set_onboarding '{"active":true}' >/dev/null
call sync >/dev/null
xdotool key alt
await 'event onboard:tray null' 3 && pass "Alt tap emits onboard:tray" || fail "no onboard:tray"
xdotool keydown alt
sleep 0.4
xdotool keyup alt
sleep 0.3
[ "$(count 'event onboard:tray')" = 1 ] && pass "Alt held 0.4 s emits nothing" || fail "held Alt counted as a tap"
call set_onboarding '{"active":false}' >/dev/null

# The bound extra mouse button: three quick clicks give one clip and never
# reach the fixture; the other side button does.
r=$(call set_mouse '{"action":"name_button","button":"button3"}')
[ "$r" = "reply set_mouse ok null" ] || fail "set_mouse: $r"
call sync >/dev/null
sleep 0.2
xdotool mousemove 400 300 click --repeat 3 --delay 100 8
sleep 0.3
n=$(applog_count 'clip target=.default source=mouse')
[ "$n" = 1 ] && pass "three clicks of button 8 give one trigger" || fail "button 8 gave $n triggers"
# A burst of clicks must never leave the pointer grabbed or frozen.
xdotool click --repeat 20 --delay 1 8
sleep 0.3
xdotool click 9
await "button-press 9" 3 "$FIX_LOG" && pass "button 9 reaches the fixture after a burst" || fail "button 9 did not reach the fixture"
[ "$(count 'button-press 8' "$FIX_LOG")" = 0 ] && pass "the fixture never saw button 8" || fail "the fixture saw button 8"

# With actions disabled the button is replayed and hotkeys are blocked.
call set_actions_enabled '{"enabled":false}' >/dev/null
call sync >/dev/null
xdotool click 8
await "button-press 8" 3 "$FIX_LOG" && pass "disabled: button 8 reaches the fixture" || fail "disabled: button 8 swallowed"
xdotool key alt+c
sleep 0.3
[ "$(applog_count 'blocked hotkey id=3')" -ge 1 ] && pass "disabled: Alt+C is blocked" || fail "disabled: no blocked hotkey line"
[ "$(applog_count 'clip target=.default source=keyboard')" = 1 ] || fail "disabled: Alt+C clipped"
xdotool type --delay 20 z
await "key-press z" 3 "$FIX_LOG" || fail "keys stopped reaching the fixture"

exec 3>&-
for ((i = 0; i < 100; i++)); do kill -0 "${PIDS[1]}" 2>/dev/null || break; sleep 0.05; done
kill -0 "${PIDS[1]}" 2>/dev/null && fail "the driver did not exit at end of input"

if [ "$FAILURES" -ne 0 ]; then
  echo "--- driver output"; cat "$OUT"; echo "--- driver stderr"; cat "$WORK/driver.err"
  echo "--- fixture log"; cat "$FIX_LOG"; echo "--- app log"; applog
  exit 1
fi
echo "capture e2e: all checks passed"
