#!/usr/bin/env bash
# The Apple Notes store end to end: corvane-cli with the note source
# "applenotes" and CORVANE_OSASCRIPT pointing at corvane-notes-sim.
# Usage: apple_notes_e2e.sh BIN_DIR
set -euo pipefail

BIN=$(cd "${1:?usage: apple_notes_e2e.sh BIN_DIR}" && pwd)
CLI=$BIN/corvane-cli
SIM=$BIN/corvane-notes-sim
for tool in "$CLI" "$SIM"; do
  [[ -x $tool ]] || { echo "SKIP: $tool is not built"; exit 77; }
done
command -v jq >/dev/null || { echo "SKIP: jq is not installed"; exit 77; }

WORK=$(mktemp -d)
COPROC_PID=
cleanup() {
  if [[ -n $COPROC_PID ]]; then kill "$COPROC_PID" 2>/dev/null || true; wait "$COPROC_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

export HOME=$WORK/home
unset XDG_DATA_HOME XDG_CONFIG_HOME
mkdir -p "$HOME"
export CORVANE_OSASCRIPT=$SIM
export CORVANE_NOTES_SIM_STATE=$WORK/sim/state.json
JOURNAL=$CORVANE_NOTES_SIM_STATE.journal.jsonl
SUPPORT=$HOME/.local/share/Corvane

failures=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ $2 == "$3" ]]; then echo "ok   - $1"; else echo "FAIL - $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
sim() { "$SIM" --admin "$@"; }
cli() { "$CLI" "$@"; }
# The failure message of a command that must fail.
cli_error() { if "$CLI" "$@" 2>"$WORK/err" >/dev/null; then echo "(succeeded)"; else cat "$WORK/err"; fi; }

cli set_note_source '{"source":"applenotes"}' >/dev/null

# 1. A limit of 5 over five notes, two of them in Recently Deleted, gives 3.
sim add '<div>Alpha</div>' age=50 >/dev/null
sim add '<div>Gone one</div>' folder='Recently Deleted' age=10 >/dev/null
sim add '<div>Beta</div>' age=40 >/dev/null
sim add '<div>Gone two</div>' folder='Recently Deleted' age=20 >/dev/null
sim add '<div>Gamma</div>' age=30 >/dev/null
check "list_notes limit 5 with 2 deleted" 3 "$(cli list_notes '{"limit":5}' | jq length)"

# 2. A title with " and \ survives create, rename and list.
created=$(cli create_note '{"name":"Say \"hi\" C:\\dir","html":""}' | jq -r .)
check "created title in Notes" 'Say "hi" C:\dir' "$(sim dump | jq -r --arg id "$created" '.notes[] | select(.id==$id) | .name')"
cli rename_note "$(jq -nc --arg id "$created" '{id:$id,name:"R&D \"x\" \\ y"}')" >/dev/null
check "renamed title in Notes" 'R&D "x" \ y' "$(sim dump | jq -r --arg id "$created" '.notes[] | select(.id==$id) | .name')"
check "renamed title listed" 'R&D "x" \ y' \
  "$(cli list_notes '{"limit":10}' | jq -r --arg id "$created" '.[] | select(.id==$id) | .name')"

# 3. An image attachment: a plain save is refused, a forced save backs it up.
base64 -d >"$WORK/photo.jpg" <<'JPEG'
/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAMCAgICAgMCAgIDAwMDBAYEBAQEBAgGBgUGCQgKCgkICQkKDA8MCgsOCwkJDRENDg8QEBEQCgwSExIQEw8QEBD/2wBDAQMDAwQDBAgEBAgQCwkLEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBD/wAARCAAIAAgDAREAAhEBAxEB/8QAFAABAAAAAAAAAAAAAAAAAAAAB//EABQQAQAAAAAAAAAAAAAAAAAAAAD/xAAVAQEBAAAAAAAAAAAAAAAAAAAHCP/EABQRAQAAAAAAAAAAAAAAAAAAAAD/2gAMAwEAAhEDEQA/AC9UAkf/2Q==
JPEG
photo=$(sim add '<div>Holiday</div><div>beach</div>' "attach=image:$WORK/photo.jpg")
check "plain save with an image attachment" \
  "__note_locked_content__This note has an attachment that saving would remove." \
  "$(cli_error set_note_body "$(jq -nc --arg id "$photo" '{id:$id,html:"<div>Holiday</div><div>sea</div>"}')")"
check "forced save reports one backed-up attachment" '{"nativeAttachmentsBackedUp":1}' \
  "$(cli set_note_body "$(jq -nc --arg id "$photo" '{id:$id,html:"<div>Holiday</div><div>sea</div>",force:true}')")"
check "forced save wrote the body" "<div>Holiday</div><div>sea</div>" \
  "$(sim dump | jq -r --arg id "$photo" '.notes[] | select(.id==$id) | .body')"
token=$(jq -r '.[] | select(.source=="attachment") | .token' "$SUPPORT/attachment-backup-index.json" 2>/dev/null || true)
check "index has the attachment entry" "Holiday — attachment backup" \
  "$(jq -r '.[] | select(.source=="attachment") | .label' "$SUPPORT/attachment-backup-index.json" 2>/dev/null)"
check "the attachment is in the media library" "$(cat "$WORK/photo.jpg" | sha256sum)" \
  "$(cat "$HOME/Corvane/Media/$token" 2>/dev/null | sha256sum)"

# A table is backed up after the save, even by a process that exits at once.
table=$(sim add '<div>Budget</div>')
cli set_note_body "$(jq -nc --arg id "$table" '{id:$id,html:"<div>Budget</div><table><tr><td>1</td></tr></table>"}')" >/dev/null
check "index has the table entry" "table" \
  "$(jq -r '.[] | select(.label | endswith("table backup")) | .source' "$SUPPORT/attachment-backup-index.json" 2>/dev/null)"

# 4. A PDF attachment cannot be preserved.
pdf=$(sim add '<div>Invoice</div>' attach=pdf)
check "forced save with a PDF attachment" \
  "__note_nonimage_attachment__This note has an attachment Corvane can't safely preserve — remove it in Apple Notes directly, or discard your changes here." \
  "$(cli_error set_note_body "$(jq -nc --arg id "$pdf" '{id:$id,html:"<div>Invoice</div>",force:true}')")"

# 5. A note moved in Notes: its id is replaced in pinned. One long-lived
# process, as in the app, so the cache knows the note's title by its old id.
moving=$(sim add '<div>Travel plans</div>' age=1)
cli toggle_pin "$(jq -nc --arg id "$moving" '{id:$id}')" >/dev/null
cat "$JOURNAL" >>"$WORK/earlier.jsonl"
: >"$JOURNAL"
coproc STDIO { "$CLI" --stdio; }
COPROC_PID=$STDIO_PID
reply() {  # reply CALLID: the next line answering that call
  local line
  while IFS= read -r -t 30 line <&"${STDIO[0]}"; do
    [[ $line == "window.__cvResolve($1,"* ]] && { echo "$line"; return 0; }
  done
  echo "(no reply to $1)"
}
echo '{"callId":1,"cmd":"list_notes","args":{"limit":20}}' >&"${STDIO[1]}"
reply 1 >/dev/null
# Wait until the background name refresh has listed every note.
for _ in $(seq 1 100); do
  grep -qs '"template":"list"' "$JOURNAL" && break
  sleep 0.1
done
sleep 0.3
moved=$(sim move "$moving")
jq -nc --arg id "$moving" '{callId:2,cmd:"append_note",args:{id:$id,html:"<div>pack</div>"}}' >&"${STDIO[1]}"
answer=$(reply 2)
exec {STDIO[1]}>&-
wait "$COPROC_PID" 2>/dev/null || true
COPROC_PID=
check "append to the moved note succeeded" "window.__cvResolve(2, true" "${answer:0:26}"
check "pinned holds the new id" "[\"$moved\"]" "$(jq -c .pinned "$HOME/Corvane/settings.json")"
check "the append reached the moved note" "<div>Travel plans</div><div>pack</div>" \
  "$(sim dump | jq -r --arg id "$moved" '.notes[] | select(.id==$id) | .body')"

# 6. A failing batch of 9 ids is retried as 4 and 5: exactly 3 scripts.
sim reset
for i in 1 2 3 4 5 6 7 8 9; do sim add "<div>Batch $i</div><div>needle</div>" >/dev/null; done
rm -f "$HOME/Corvane/cache.json"
sim fault batchFailOver 5
cat "$JOURNAL" >>"$WORK/earlier.jsonl"
: >"$JOURNAL"
cli deep_search_notes '{"query":"needle"}' >/dev/null
counts=$(jq -r 'select(.template=="plaintexts") | .script | [scan("ICNote/p")] | length' "$JOURNAL" | tr '\n' ' ')
check "plain-text scripts for the batch of 9" "9 4 5 " "$counts"
sim fault batchFailOver 0

# 7. Denied automation.
some=$(sim dump | jq -r '.notes[0].id')
sim set permission '"denied"'
check "denied automation" "__notes_auth_denied__" \
  "$(cli_error get_note_body "$(jq -nc --arg id "$some" '{id:$id}')")"
sim set permission '"undetermined"'
check "request_notes_access answers the state before the prompt" false "$(cli request_notes_access)"
check "request_notes_access after the prompt was allowed" true "$(cli request_notes_access)"

# 8. Every script the store sent was one the simulator knows.
check "no unknown script in the journal" 0 \
  "$(cat "$WORK/earlier.jsonl" "$JOURNAL" | jq -s 'map(select(.template==null)) | length')"

if ((failures)); then echo "$failures check(s) failed"; exit 1; fi
echo "all checks passed"
