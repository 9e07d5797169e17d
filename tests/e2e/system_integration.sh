#!/usr/bin/env bash
# End to end without a display: update history from no feed, a local feed, a
# 404 page and a server that hangs 11 s; launch at login for a program whose
# path holds a space and "%"; the lock's password check through libpam_wrapper.
#   system_integration.sh BIN_DIR FEED_SERVER PAM_CHECK
set -uo pipefail
bin=$(cd "$1" && pwd)
feed_server=$2
pam_check=$3
here=$(cd "$(dirname "$0")" && pwd)

for tool in desktop-file-validate; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/debian-packages.txt lists it)"
    exit 77
  fi
done
pam_wrapper=$(ls /usr/lib/*/libpam_wrapper.so /usr/lib/libpam_wrapper.so 2>/dev/null | head -1)
pam_matrix=$(ls /usr/lib/*/pam_wrapper/pam_matrix.so /usr/lib/pam_wrapper/pam_matrix.so 2>/dev/null | head -1)
if [ -z "$pam_wrapper" ] || [ -z "$pam_matrix" ]; then
  echo "SKIP: libpam-wrapper is not installed (scripts/debian-packages.txt lists it)"
  exit 77
fi

work=$(mktemp -d /tmp/corvane-e2e-sys.XXXXXX)
export HOME=$work/home
mkdir -p "$HOME"
unset XDG_DATA_HOME XDG_CONFIG_HOME
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}:detect_leaks=0
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1"; echo "  expected: $2"; echo "  actual:   $3"; failures=$((failures + 1)); fi
}
cli() { "$bin/corvane-cli" "$@" 2>&1; }

# 1. No feed in this build.
check "no feed" "No update feed is configured in this build." "$(cli get_update_history)"
check "status" '{"version":' "$(cli get_update_status | cut -c1-11)"

# 2. A local feed.
"$feed_server" "$here/feed.xml" > "$work/port" &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(head -1 "$work/port")
[ -n "$port" ] || { echo "FAIL feed server did not start"; exit 1; }
set_feed() {
  mkdir -p "$HOME/.config/corvane"
  printf '{"Corvane.updates.feedURL": "http://127.0.0.1:%s/%s"}\n' "$port" "$1" > "$HOME/.config/corvane/defaults.json"
}
set_feed feed.xml
expected='[{"version":"2.1","title":"Corvane 2.1","date":"2 Jan 2024","notes":"What'"'"'s new: faster search & a new grid."},{"version":"200","title":"Corvane 2.0","date":"sometime in December","notes":"Plain notes"}]'
check "history" "$expected" "$(TZ=UTC cli get_update_history)"
set_feed missing.xml
check "404 page" "Couldn't reach the update server." "$(cli get_update_history)"
set_feed slow.xml
start=$(date +%s%N)
out=$(cli get_update_history)
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "time-out text" "Couldn't reach the update server — check your connection and try again." "$out"
if [ "$elapsed_ms" -ge 9800 ] && [ "$elapsed_ms" -le 10500 ]; then echo "ok   time-out after ${elapsed_ms} ms"; else
  echo "FAIL time-out after ${elapsed_ms} ms (10000 ms ± 500 expected)"; failures=$((failures + 1)); fi
cli set_auto_update_checks '{"on":false}' > /dev/null
check "automatic checks off" "false" "$(cli get_update_status | sed 's/.*"automaticChecks":\([a-z]*\).*/\1/')"

# 3. Launch at login for a program in a folder with a space and "%".
odd="$work/Cor vane 100%/bin"
mkdir -p "$odd"
ln "$bin/corvane-cli" "$odd/corvane-cli" 2>/dev/null || cp "$bin/corvane-cli" "$odd/corvane-cli"
entry=$HOME/.config/autostart/com.corvane.app.desktop
check "enable" "null" "$("$odd/corvane-cli" set_launch_at_login '{"on":true}' 2>&1)"
check "entry Exec" "Exec=\"$work/Cor vane 100%%/bin/corvane-cli\"" "$(grep '^Exec=' "$entry")"
if desktop-file-validate "$entry"; then echo "ok   entry is valid"; else echo "FAIL entry is not valid"; failures=$((failures + 1)); fi
check "settings show it" "true" "$(cli get_settings | sed 's/.*"launchAtLogin":\([a-z]*\).*/\1/')"
check "disable" "null" "$(cli set_launch_at_login '{"on":false}')"
check "entry removed" "absent" "$([ -e "$entry" ] && echo present || echo absent)"
check "disable again" "null" "$(cli set_launch_at_login '{"on":false}')"

# 4. The lock's password check through a PAM stand-in.
mkdir -p "$work/pam"
printf 'auth required %s passdb=%s\naccount required %s passdb=%s\n' \
  "$pam_matrix" "$work/pam/passdb" "$pam_matrix" "$work/pam/passdb" > "$work/pam/corvane"
printf '%s:correct horse:corvane\n' "$(id -un)" > "$work/pam/passdb"
pam() { LD_PRELOAD=$pam_wrapper PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR=$1 "$pam_check" 2>"$work/pam.log"; }
check "PAM lock" "open locked locked open" \
  "$(printf 'correct horse\ncorrect horsE\n\ncorrect horse\n' | pam "$work/pam" | tr '\n' ' ' | sed 's/ $//')"
check "no PAM service" "unavailable: The lock is unavailable: no way to check your password on this system." \
  "$(mkdir -p "$work/nothing" && echo x | pam "$work/nothing")"

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $(( failures > 0 ))
