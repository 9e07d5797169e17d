#!/bin/sh
# A finished AI run posts a desktop notification through libnotify when a
# notification server answers (a python-dbusmock notification daemon on a
# private session bus), and the status-panel fallback is used when none does.
set -u
CLI=${CORVANE_CLI:-corvane-cli}
if [ "${1:-}" != "--inside" ]; then
  command -v dbus-run-session >/dev/null 2>&1 || { echo "SKIP: dbus-run-session is not installed"; exit 77; }
  /usr/bin/python3 -c 'import dbusmock' 2>/dev/null || { echo "SKIP: python3-dbusmock is not installed"; exit 77; }
  exec dbus-run-session -- /bin/sh "$0" --inside
fi

WORK=$(mktemp -d)
MOCK=""
cleanup() {
  [ -n "$MOCK" ] && kill "$MOCK" 2>/dev/null && wait "$MOCK" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
export HOME="$WORK/home" XDG_DATA_HOME="$WORK/home/.local/share" XDG_CONFIG_HOME="$WORK/home/.config"
export SHELL=/bin/sh LANG=C.UTF-8 CORVANE_APPROVE_AI=allow
mkdir -p "$HOME/.local/bin"
cat > "$HOME/.local/bin/gemini" <<'TOOL'
#!/bin/sh
echo "SUMMARY: Wrote a haiku."
TOOL
chmod 755 "$HOME/.local/bin/gemini"

FAILS=0
check() {
  what=$1; shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; FAILS=$((FAILS + 1)); fi
}
contains() { grep -qF -- "$2" "$1" 2>/dev/null; }
run_note() { # name
  "$CLI" create_note "{\"name\":\"$1\",\"html\":\"<div>write a haiku</div>\"}" >/dev/null 2>&1
  "$CLI" run_ai "{\"title\":\"$1\"}" >/dev/null 2>&1
}
"$CLI" set_ai_provider '{"provider":"gemini"}' >/dev/null

# 1. A server answers: the notice is posted there.
/usr/bin/python3 -m dbusmock --session -t notification_daemon -l "$WORK/mock.log" >/dev/null 2>&1 &
MOCK=$!
i=0
while [ $i -lt 100 ] && ! dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null | grep -q 'boolean true'; do
  sleep 0.1; i=$((i + 1))
done
run_note Poem
check "notification posted to the server" contains "$WORK/mock.log" "✦ Poem — Corvane AI done"
check "its body is the answer" contains "$WORK/mock.log" "Wrote a haiku."

# 2. No server: the status panel (logged with the activity "hud").
kill "$MOCK"; wait "$MOCK" 2>/dev/null; MOCK=""
run_note Verse
check "fallback to the status panel" sh -c "cat '$XDG_DATA_HOME'/Corvane/logs/* | grep -q '\"activity\":\"hud\".*Verse — Corvane AI done'"
check "both in the notification log" sh -c "'$CLI' get_notification_log | grep -q 'Verse — Corvane AI done'"

[ "$FAILS" -eq 0 ] || { echo "$FAILS check(s) failed"; exit 1; }
echo "all notice checks passed"
