#!/bin/sh
# AI runs as a user meets them, without a display: fake claude/codex/gemini
# tools in ~/.local/bin, driven through corvane-cli in a throw-away home.
set -u
CLI=${CORVANE_CLI:-corvane-cli}
command -v convert >/dev/null 2>&1 || { echo "SKIP: ImageMagick's convert is not installed"; exit 77; }
[ -x "$CLI" ] || command -v "$CLI" >/dev/null 2>&1 || { echo "SKIP: corvane-cli not found ($CLI)"; exit 77; }

WORK=$(mktemp -d)
cleanup() {
  # Anything a fake tool left running.
  for f in "$WORK"/*.pid; do [ -f "$f" ] && kill -9 "$(cat "$f")" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
export HOME="$WORK/home" XDG_DATA_HOME="$WORK/home/.local/share" XDG_CONFIG_HOME="$WORK/home/.config"
export SHELL=/bin/sh LANG=C.UTF-8
unset DBUS_SESSION_BUS_ADDRESS CORVANE_APPROVE_AI
BIN="$HOME/.local/bin"
mkdir -p "$BIN" "$WORK/fixtures"
for i in 1 2 3 4 5 6 7; do convert -size 64x48 "xc:#3366${i}${i}" "$WORK/fixtures/image-$i.png"; done

FAILS=0
check() { # description, then a command that must succeed
  what=$1; shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; FAILS=$((FAILS + 1)); fi
}
cli() { "$CLI" "$@" 2>&1; }
contains() { printf '%s' "$1" | grep -qF -- "$2"; }
note() { cat "$HOME/Corvane/Notes/$1.md"; }

cat > "$BIN/claude" <<TOOL
#!/bin/sh
cp "$WORK"/fixtures/*.png .
printf '# Trip photos\n![the first](image-1.png)\n' > RESULT.md
echo 'connecting…'
echo '{"type":"result","subtype":"success","result":"Found seven photos.","total_cost_usd":0.0123}'
TOOL
chmod 755 "$BIN/claude"

# 1. A run appends the done block with six images and the cost line.
cli set_ai_provider '{"provider":"claude"}' >/dev/null
cli create_note '{"name":"Trip","html":"<div>find photos of the coast</div>"}' >/dev/null
out=$(CORVANE_APPROVE_AI=allow cli run_ai '{"title":"Trip","id":"trip"}')
check "run replies with RESULT.md" [ "$out" = '"# Trip photos\n![the first](image-1.png)"' ]
imgs=$(note trip | grep -o '<img ' | wc -l)
check "six images in the note (got $imgs)" [ "$imgs" -eq 6 ]
check "cost line" contains "$(note trip)" '<div><i>Run cost: $0.0123</i></div>'
req=$(ls "$HOME"/Corvane/CorvaneAI/trip-*/REQUEST.md | head -n 1)
check "REQUEST.md is mode 600" [ "$(stat -c %a "$req")" = 600 ]
check "REQUEST.md holds the instruction" contains "$(cat "$req")" "find photos of the coast"

# 2. Nothing new.
out=$(cli run_ai '{"title":"Trip","id":"trip"}')
check "rerun has nothing new" [ "$out" = '"Nothing new to run — add an instruction since the last build first."' ]

# 3. A group-writable tool is not trusted.
cli append_note '{"id":"trip","html":"<div>and the harbour</div>"}' >/dev/null
chmod 775 "$BIN/claude"
out=$(CORVANE_APPROVE_AI=allow cli run_ai '{"title":"Trip","id":"trip"}')
check "group-writable tool is not found" [ "$out" = "claude CLI not found. Install it and ensure it's on your PATH." ]
chmod 755 "$BIN/claude"

# 4. A changed tool asks again; cancelled, nothing runs.
echo '# updated' >> "$BIN/claude"
out=$(CORVANE_APPROVE_AI=cancel cli run_ai '{"title":"Trip","id":"trip"}')
check "changed tool needs approval" [ "$out" = "AI run canceled because this CLI executable was not approved." ]

# 5. gemini: plain text with a summary line.
cat > "$BIN/gemini" <<'TOOL'
#!/bin/sh
echo "thinking out loud"
echo "SUMMARY: Wrote a haiku."
TOOL
chmod 755 "$BIN/gemini"
cli set_ai_provider '{"provider":"gemini"}' >/dev/null
cli create_note '{"name":"Poem","html":"<div>write a haiku</div>"}' >/dev/null
out=$(CORVANE_APPROVE_AI=allow cli run_ai '{"title":"Poem","id":"poem"}')
check "gemini summary is the answer" [ "$out" = '"Wrote a haiku."' ]
check "gemini details in italics" contains "$(note poem)" '<div><i>thinking out loud</i></div>'

# 6. Cancel: a tool that starts a child and sleeps ends within 3 s of cancel_ai.
cat > "$BIN/codex" <<TOOL
#!/bin/sh
sleep 120 &
echo \$! > "$WORK/child.pid"
echo \$\$ > "$WORK/tool.pid"
sleep 120
TOOL
chmod 755 "$BIN/codex"
cli set_ai_provider '{"provider":"codex"}' >/dev/null
cli create_note '{"name":"Slow","html":"<div>take your time</div>"}' >/dev/null
start=$(date +%s%N)
replies=$( (echo '{"callId":1,"cmd":"run_ai","args":{"title":"Slow","id":"slow"}}'; sleep 1
           echo '{"callId":2,"cmd":"cancel_ai","args":{}}') | CORVANE_APPROVE_AI=allow "$CLI" --stdio 2>/dev/null)
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "cancelled run ends within 3 s of cancel (${elapsed_ms} ms in all)" [ "$elapsed_ms" -lt 4000 ]
check "cancel replies" contains "$replies" '__cvResolve(2, true, "cancelled")'
check "run fails" contains "$replies" '__cvResolve(1, false, "Corvane AI run failed (exit 15): '
check "failed block in the note" contains "$(note slow)" '<h1>✗ Corvane AI failed — '
child=$(cat "$WORK/child.pid" 2>/dev/null)
check "the tool's child was stopped too" sh -c "! kill -0 $child 2>/dev/null || grep -q ') Z' /proc/$child/stat"
log=$(cli get_notification_log)
check "failure in the notification log" contains "$log" '"text":"✗ Slow — Corvane AI failed — Corvane AI run failed (exit 15)'
check "success in the notification log" contains "$log" '"text":"✦ Trip — Corvane AI done — # Trip photos ![the first](image-1.png)"'

[ "$FAILS" -eq 0 ] || { echo "$FAILS check(s) failed"; exit 1; }
echo "all AI run checks passed"
