#!/bin/bash
# Notes as several front ends meet them: two corvane-cli --stdio processes
# appending to one note keep every append, and a fresh session answers for
# the whole vault right after it creates a note.
set -u
CLI="$1"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home"
# OpenSSL keeps per-thread state of the bridge's worker threads until exit.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
notes="$HOME/Corvane/Notes"
failed=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: expected $2, got $3"
    failed=1
  else
    echo "ok: $1"
  fi
}

# ---- two processes x 300 appends
"$CLI" create_note '{"name":"Shared"}' >/dev/null || { echo "FAIL: create_note"; exit 1; }
for p in a b; do
  (for i in $(seq 1 300); do
     printf '{"callId":%d,"cmd":"append_note","args":{"id":"shared","html":"<div>%s%d</div>"}}\n' "$i" "$p" "$i"
   done | "$CLI" --stdio >"$work/out_$p.txt") &
  pids+=($!)
done
wait "${pids[@]}"
pids=()
check "appends answered true" 600 "$(cat "$work"/out_a.txt "$work"/out_b.txt | grep -c '__cvResolve([0-9]*, true')"
check "appends kept in the file" 600 "$(grep -o '<div>[ab][0-9]*</div>' "$notes/shared.md" | sort -u | wc -l)"

# ---- a fresh session answers for the whole vault
rm -f "$notes"/*.md "$HOME/Corvane/cache.json"
for n in Proj Alpha Beta Gamma Delta Epsilon; do printf '%s\nbody\n' "$n" >"$notes/$n.md"; done
mkdir -p "$work/project"
coproc SESSION { CORVANE_CHOOSE_FOLDER="$work/project" "$CLI" --stdio; }
pids+=("$SESSION_PID")
# call ID CMD ARGS: sends one call and leaves its reply line in $reply
# (no command substitution: a subshell cannot use the session's pipes).
in=${SESSION[0]} out=${SESSION[1]}
call() {
  reply="no reply to $2"
  printf '{"callId":%d,"cmd":"%s","args":%s}\n' "$1" "$2" "$3" >&"$out"
  local line
  while IFS= read -r -t 30 line <&"$in"; do
    case "$line" in "window.__cvResolve($1, "*) reply=$line; return 0 ;; esac
  done
}
call 1 create_note '{"name":"Fresh"}'
call 2 count_notes '{}'
check "count_notes after create_note" "window.__cvResolve(2, true, 7);" "$reply"
call 3 choose_folder '{}'
handle=$(sed -n 's/.*"folderHandle":"\([^"]*\)".*/\1/p' <<<"$reply")
call 4 add_project "{\"title\":\"Proj\",\"folderHandle\":\"$handle\"}"
check "add_project answered" "window.__cvResolve(4, true, null);" "$reply"
check "add_project for an existing note creates none" "" "$(ls "$notes" | grep -i '^proj-')"
call 5 search_notes '{"query":"epsilon"}'
check "search finds a vault note at the first try" 1 "$(grep -c '"id":"Epsilon"' <<<"$reply")"
exec {out}>&-
wait "$SESSION_PID" 2>/dev/null
pids=()
exit $failed
