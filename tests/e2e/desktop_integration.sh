#!/usr/bin/env bash
# End to end under Xvfb: the tray lock and the update notice as a user meets
# them. With the lock switched on, the first show asks for the password in a
# dialog checked through PAM (a libpam_wrapper stand-in with a known password);
# a wrong password keeps the tray hidden, the right one shows it. Then the
# status menu's "Check for Updates…" against a local feed announces 2.1.
#   desktop_integration.sh BIN_DIR FEED_SERVER
set -uo pipefail
bin=$(cd "$1" && pwd)
feed_server=$2
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
pam_wrapper=$(ls /usr/lib/*/libpam_wrapper.so 2>/dev/null | head -1)
pam_matrix=$(ls /usr/lib/*/pam_wrapper/pam_matrix.so 2>/dev/null | head -1)
if [ -z "$pam_wrapper" ] || [ -z "$pam_matrix" ]; then
  echo "SKIP: libpam-wrapper is not installed (scripts/debian-packages.txt lists it)"
  exit 77
fi

work=$(mktemp -d /tmp/corvane-e2e-desk.XXXXXX)
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME/Corvane" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset XDG_DATA_HOME XDG_CONFIG_HOME
export CORVANE_WEB_ROOT=$here/page
export WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}:detect_leaks=0:verify_asan_link_order=0
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
check() {
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
wait_for() {
  local n=$(( $1 * 10 )); shift
  for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
log_has() { cat "$logdir"/2*.jsonl 2>/dev/null | grep -q -- "$1"; }
# The dialog belongs to the same program (same class): the tray is any other window of it.
tray_visible() {
  local dialogs
  dialogs=$(xdotool search --onlyvisible --name '^Unlock Corvane$' 2>/dev/null)
  xdotool search --onlyvisible --classname '^corvane$' 2>/dev/null | grep -qvxF "${dialogs:-none}"
}
tray_hidden() { ! tray_visible; }
dialog_visible() { xdotool search --onlyvisible --name '^Unlock Corvane$' >/dev/null 2>&1; }

mkdir -p "$work/pam"
printf 'auth required %s passdb=%s\naccount required %s passdb=%s\n' \
  "$pam_matrix" "$work/pam/passdb" "$pam_matrix" "$work/pam/passdb" > "$work/pam/corvane"
printf '%s:correct horse:corvane\n' "$(id -un)" > "$work/pam/passdb"
printf '{"requireBiometricUnlock": true}\n' > "$HOME/Corvane/settings.json"

"$feed_server" "$here/feed.xml" > "$work/port" & pids+=($!)
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
mkdir -p "$HOME/.config/corvane"
printf '{"Corvane.updates.feedURL": "http://127.0.0.1:%s/feed.xml"}\n' "$(head -1 "$work/port")" \
  > "$HOME/.config/corvane/defaults.json"

openbox >/dev/null 2>&1 & pids+=($!)
sleep 0.5
LD_PRELOAD=$pam_wrapper PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR=$work/pam UID_WRAPPER_DISABLE_DEEPBIND=1 \
  "$bin/corvane" >"$work/app.log" 2>&1 & app=$!; pids+=($app)

type_password() {
  local win
  win=$(xdotool search --onlyvisible --name '^Unlock Corvane$' | head -1)
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  sleep 0.2
  xdotool type --delay 20 "$1"
  xdotool key Return
}
check "the lock asks for the password" wait_for 40 dialog_visible
check "tray stays hidden while locked" tray_hidden
type_password "wrong horse"
check "a wrong password is refused" wait_for 10 log_has '"wrong password"'
check "the dialog stays" dialog_visible
[ -n "${CORVANE_E2E_DIALOG_SHOT:-}" ] && sleep 0.3 && import -window root "$CORVANE_E2E_DIALOG_SHOT"
check "tray still hidden" tray_hidden
type_password "correct horse"
check "the right password opens the tray" wait_for 10 tray_visible
check "unlock logged" log_has '"unlocked"'

# "Check for Updates…" (menu item 3) finds 2.1 in the local feed and says so.
# The launcher execs the tray, so the pid names its status item.
gdbus call --session --dest "org.kde.StatusNotifierItem-$app-1" --object-path /MenuBar \
  --method com.canonical.dbusmenu.Event 3 clicked '<int32 0>' 0 >/dev/null 2>&1
check "Check for Updates… announces 2.1" wait_for 10 log_has '"version 2.1 is available"'
sleep 0.5
import -window root "$work/shot.png"
[ -n "${CORVANE_E2E_SHOT:-}" ] && cp "$work/shot.png" "$CORVANE_E2E_SHOT"
if [ "$failures" -ne 0 ]; then tail -20 "$work/app.log"; fi
[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $(( failures > 0 ))
