#!/usr/bin/env bash
# Figures for the desktop shell, measured under Xvfb with openbox:
#   bench/shell_launch.sh [BUILD_DIR]      (default build/bench)
# - launch to the page's first list_notes answer, warm, against a bare
#   WebKitGTK window loading the same page (bare_webkit_window);
# - show after --toggle (in-process: show to focus-in; end to end: the
#   command started to focus-in) and hide to focus handed back;
# - native memory of the corvane process (WebKit's processes listed apart);
# - 10,000 show/hide cycles over the control socket: memory before and after,
#   and the summons counted.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/bench}" && pwd)
if [ -z "${CORVANE_BENCH_INNER:-}" ]; then
  export CORVANE_BENCH_INNER=1
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1440x900x24" "$0" "$build"
fi
runs=${RUNS:-7}
cycles=${CYCLES:-10000}
work=$(mktemp -d /tmp/corvane-bench.XXXXXX)
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export CORVANE_WEB_ROOT=$root/tests/e2e/page WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1 NO_AT_BRIDGE=1
logdir=$HOME/.local/share/Corvane/logs
pids=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null; done; rm -rf "$work"' EXIT
now_ms() { date +%s%3N; }
count() { cat "$logdir"/2*.jsonl 2>/dev/null | grep -c -- "$1"; }
last_ts() { cat "$logdir"/2*.jsonl | grep -- "$1" | tail -1 | sed -E 's/.*"ts":([0-9]+).*/\1/'; }
last_msg() { cat "$logdir"/2*.jsonl | grep -- "$1" | tail -1 | sed -E 's/.*"message":"([^"]*)".*/\1/'; }
wait_count() {  # PATTERN N
  for ((i = 0; i < 600; i++)); do [ "$(count "$1")" -ge "$2" ] && return 0; sleep 0.02; done
  return 1
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
kb() { grep -E "^$2:" "/proc/$1/${3:-status}" | awk '{print $2}'; }

openbox >/dev/null 2>&1 & pids+=($!)
xmessage -geometry 300x80+10+10 "another application" & pids+=($!)
sleep 0.5

start_corvane() { "$build/bin/corvane" >/dev/null 2>&1 & cpid=$!; pids+=($cpid); }
stop_corvane() { kill -TERM "$cpid"; wait "$cpid" 2>/dev/null; }

# Cold start once (seeds the vault, fills WebKit's caches).
n=0
start_corvane; n=$((n + 1)); wait_count "first list_notes reply" $n; stop_corvane

echo "== launch to first list_notes answer (ms, warm, $runs runs each)"
shell=()
for ((r = 0; r < runs; r++)); do
  t0=$(now_ms); start_corvane; n=$((n + 1))
  wait_count "first list_notes reply" $n || { echo "corvane did not answer"; exit 1; }
  shell+=($(( $(last_ts "first list_notes reply") - t0 )))
  stop_corvane
done
bare=()
for ((r = 0; r < runs; r++)); do
  t0=$(now_ms)
  t1=$("$build/bin/bare_webkit_window" "$CORVANE_WEB_ROOT" 2>/dev/null)
  bare+=($(( t1 - t0 )))
done
ms=$(printf '%s\n' "${shell[@]}" | median); mb=$(printf '%s\n' "${bare[@]}" | median)
echo "corvane:            ${shell[*]}  median $ms"
echo "bare WebKitGTK:     ${bare[*]}  median $mb"
awk -v a="$ms" -v b="$mb" 'BEGIN { printf "ratio:              %.2f\n", a / b }'

echo "== show / hide (ms)"
start_corvane; n=$((n + 1)); wait_count "first list_notes reply" $n; sleep 1
rss_loaded=$(kb $cpid VmRSS); pss_loaded=$(kb $cpid Pss smaps_rollup)
xmsg=$(xdotool search --class xmessage | head -1)
xdotool windowactivate --sync "$xmsg" 2>/dev/null
sleep 0.3
show_in=(); show_e2e=(); hide_in=()
for ((r = 0; r < 15; r++)); do
  # The tray is visible after start: hide first, then show.
  h=$(count "focus handed back"); t0=$(now_ms); "$build/bin/corvane" --toggle
  wait_count "focus handed back" $((h + 1)) && hide_in+=($(last_msg "focus handed back" | awk '{print $(NF-1)}'))
  s=$(count "shown and focused"); t0=$(now_ms); "$build/bin/corvane" --toggle
  if wait_count "shown and focused" $((s + 1)); then
    show_in+=($(last_msg "shown and focused" | awk '{print $(NF-1)}'))
    show_e2e+=($(( $(last_ts "shown and focused") - t0 )))
  fi
done
echo "show, in process (show to focus-in):       median $(printf '%s\n' "${show_in[@]}" | median)  max $(printf '%s\n' "${show_in[@]}" | sort -n | tail -1)"
echo "show, end to end (corvane --toggle run):   median $(printf '%s\n' "${show_e2e[@]}" | median)  max $(printf '%s\n' "${show_e2e[@]}" | sort -n | tail -1)"
echo "hide, in process (hide to previous active): median $(printf '%s\n' "${hide_in[@]}" | median)  max $(printf '%s\n' "${hide_in[@]}" | sort -n | tail -1)"

echo "== memory (kB)"
echo "corvane after load: RSS $rss_loaded  PSS $pss_loaded"
for p in $(pgrep -f WebKitWebProcess) $(pgrep -f WebKitNetworkProcess); do
  echo "  (excluded) $(cat /proc/$p/comm) RSS $(kb $p VmRSS)"
done
stop_corvane
echo "== $cycles show/hide cycles over the control socket"
summons_before=$(grep -o '"summons":[0-9]*' "$HOME/Corvane/stats.json" | head -1 | cut -d: -f2)
start_corvane; n=$((n + 1)); wait_count "first list_notes reply" $n; sleep 1
rss_before=$(kb $cpid VmRSS); pss_before=$(kb $cpid Pss smaps_rollup)
t0=$(now_ms)
python3 - "$XDG_RUNTIME_DIR/corvane/control.sock" "$cycles" <<'PY'
import socket, sys
path, cycles = sys.argv[1], int(sys.argv[2])
for _ in range(2 * cycles):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    s.sendall(b"toggle\n")
    s.recv(16)
    s.close()
PY
t1=$(now_ms)
sleep 1
rss_after=$(kb $cpid VmRSS); pss_after=$(kb $cpid Pss smaps_rollup)
stop_corvane
summons_after=$(grep -o '"summons":[0-9]*' "$HOME/Corvane/stats.json" | head -1 | cut -d: -f2)
echo "took $((t1 - t0)) ms"
echo "before: RSS $rss_before  PSS $pss_before   after: RSS $rss_after  PSS $pss_after (kB)"
echo "summons counted: $((summons_after - summons_before)) (expected $((cycles + 1)): the cycles and the launch)"
