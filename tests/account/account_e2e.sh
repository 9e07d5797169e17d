#!/usr/bin/env bash
# Accounts end to end against corvane-mock-backend, through corvane-cli:
# the default build sends nothing; e-mail link across two processes; Apple
# through the start page and the corvane://auth/apple callback; a foreign state;
# Google through the loopback redirect; sign-out; the log upload; the cloud sync.
# Usage: account_e2e.sh BIN_DIR
set -u
BIN=${1:?bin dir}
CLI=$BIN/corvane-cli
MOCK=$BIN/corvane-mock-backend
for tool in curl python3 mkfifo; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

WORK=$(mktemp -d)
MOCK_PID=""
STDIO_PID=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "$STDIO_PID" ] && kill "$STDIO_PID" 2>/dev/null
  [ -n "$MOCK_PID" ] && kill "$MOCK_PID" 2>/dev/null && wait "$MOCK_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
FAILED=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2] got [$3]"; FAILED=1; fi
}
contains() {  # contains NAME NEEDLE HAYSTACK
  case "$3" in *"$2"*) echo "ok   $1" ;; *) echo "FAIL $1: [$2] not in [$3]"; FAILED=1 ;; esac
}

export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config XDG_DATA_HOME=$WORK/data
unset DBUS_SESSION_BUS_ADDRESS BROWSER
mkdir -p "$HOME" "$WORK/none" "$WORK/res"

"$MOCK" --port 0 > "$WORK/port" 2> "$WORK/mock.err" &
MOCK_PID=$!
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT=$(head -1 "$WORK/port")
[ -n "$PORT" ] || { echo "FAIL mock did not start"; cat "$WORK/mock.err"; exit 1; }
M=http://127.0.0.1:$PORT
requests() { curl -s "$M/_mock/requests"; }
count() {  # count METHOD PATH
  requests | python3 -c 'import json,sys; print(sum(1 for r in json.load(sys.stdin) if r["method"]==sys.argv[1] and r["path"]==sys.argv[2]))' "$1" "$2"
}

# ---- the default build: no configuration, nothing leaves the machine
export CORVANE_RESOURCE_DIR=$WORK/none
check "disabled get_account" '{"enabled":false,"signedIn":false,"email":"","provider":"","biometric":false}' "$("$CLI" get_account)"
contains "disabled sign_in_email" "Accounts aren't set up in this build" "$("$CLI" sign_in_email '{"email":"a@b.co"}' 2>&1)"
contains "disabled sign_in_apple" "Accounts aren't set up in this build" "$("$CLI" sign_in_apple 2>&1)"
"$CLI" refresh_account >/dev/null
check "disabled: the mock saw no request" "0" "$(requests | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')"

# ---- configured
cat > "$WORK/res/auth.json" <<JSON
{"apiKey":"test-key","identityURL":"$M/identity","siteURL":"$M","functionsURL":"$M",
 "googleClientId":"desktop-client","googleAuthURL":"$M/o/oauth2/auth","googleTokenURL":"$M/o/oauth2/token"}
JSON
export CORVANE_RESOURCE_DIR=$WORK/res

# E-mail link: the request in one process, the link opened in another.
check "sign_in_email" "null" "$("$CLI" sign_in_email '{"email":"  Me@Example.COM "}')"
LINK=$(curl -s "$M/_mock/outbox" | python3 -c 'import json,sys; print(json.load(sys.stdin)[-1]["link"])')
ENC=$(python3 -c 'import urllib.parse,sys; print(urllib.parse.quote(sys.argv[1], safe=""))' "$LINK")
contains "email link signs in" "status: ✓ Signed in" "$("$CLI" open-url "corvane://auth/email?link=$ENC" 2>&1)"
check "email account" '{"enabled":false,"signedIn":true,"email":"me@example.com","provider":"email","biometric":false}' "$("$CLI" get_account)"
contains "a used link finds no pending address" "status: ✕ Enter your email in Settings first" "$("$CLI" open-url "corvane://auth/email?link=$ENC" 2>&1)"

# Apple: the "browser" follows the start page to its corvane:// callback and
# hands it to the running program, as the desktop's URL handler would.
mkfifo "$WORK/in"
cat > "$WORK/apple-browser" <<SH
#!/bin/sh
loc=\$(curl -s -o /dev/null -w '%{redirect_url}' "\$1")
printf '{"openURL":"%s"}\n' "\$loc" > "$WORK/in"
SH
chmod +x "$WORK/apple-browser"
BROWSER=$WORK/apple-browser "$CLI" --stdio < "$WORK/in" > "$WORK/apple.out" 2> "$WORK/apple.err" &
STDIO_PID=$!
exec 3> "$WORK/in"
echo '{"callId":1,"cmd":"sign_in_apple","args":{}}' >&3
for _ in $(seq 100); do grep -q '__cvResolve(1' "$WORK/apple.out" && break; sleep 0.1; done
exec 3>&-
wait "$STDIO_PID"; STDIO_PID=""
contains "apple provider" '"provider":"apple"' "$(cat "$WORK/apple.out")"
check "apple: verifier matches the challenge" "True" "$(requests | python3 -c '
import json, sys, hashlib, base64, urllib.parse
rs = json.load(sys.stdin)
start = [r for r in rs if r["path"] == "/auth/apple/"][-1]
q = dict(p.split("=", 1) for p in start["query"].split("&"))
red = json.loads([r for r in rs if r["path"] == "/redeemNativeAppleCode"][-1]["body"])
s = base64.urlsafe_b64encode(hashlib.sha256(red["verifier"].encode()).digest()).decode().rstrip("=")
print(s == q["challenge"] and red["state"] == q["state"] and len(red["verifier"]) == 64)')"

# A callback whose state belongs to no sign-in.
contains "foreign state" "status: ✕ That sign-in expired — please try again" \
  "$("$CLI" open-url 'corvane://auth/apple?state=someone-else&code=x' 2>&1)"

# Google: the browser step is the mock's redirect to the loopback listener.
BROWSER="curl -s -L -o /dev/null" "$CLI" sign_in_google > "$WORK/google.out" 2>&1
contains "google provider" '"provider":"google"' "$(cat "$WORK/google.out")"

check "sign_out" "null" "$("$CLI" sign_out)"
check "signed out" '{"enabled":false,"signedIn":false,"email":"","provider":"","biometric":false}' "$("$CLI" get_account)"

# ---- log upload (signed in again)
BROWSER="curl -s -L -o /dev/null" "$CLI" sign_in_google > /dev/null 2>&1
LOGS=$XDG_DATA_HOME/Corvane/logs
mkdir -p "$LOGS"
python3 -c '
import json, sys
with open(sys.argv[1], "w") as f:
    for i in range(450):
        f.write(json.dumps({"ts": 1768478400000 + i, "level": "warn", "activity": "e2e", "message": "line %d" % i}, separators=(",", ":")) + "\n")
' "$LOGS/pending-upload.jsonl"
curl -s -X POST "$M/_mock/script" -d '{"path":"/ingestClientLogs","status":500,"times":1}' > /dev/null
"$CLI" upload-logs
check "upload 500 keeps all" "450" "$(wc -l < "$LOGS/pending-upload.jsonl" | tr -d ' ')"
"$CLI" upload-logs
check "upload 200 leaves 50" "50" "$(wc -l < "$LOGS/pending-upload.jsonl" | tr -d ' ')"
check "remainder starts at line 400" '"message":"line 400"}' "$(head -1 "$LOGS/pending-upload.jsonl" | grep -o '"message":"line 400"}')"
check "upload body and bearer" "True" "$(requests | python3 -c '
import json, sys
r = [r for r in json.load(sys.stdin) if r["path"] == "/ingestClientLogs"][-1]
b = json.loads(r["body"])
print(list(b) == ["appVersion", "osVersion", "deviceId", "sessionId", "entries"] and len(b["entries"]) == 400
      and r["headers"]["Authorization"].startswith("Bearer id-token-"))')"

# ---- cloud sync: a refresh pulls and merges, quitting pushes with the token
cat > "$WORK/res/cloud.json" <<JSON
{"enabled":true,"insightsURL":"$M/insights","getInsightsURL":"$M/insights"}
JSON
printf '%s\n' '{"callId":1,"cmd":"refresh_account","args":{}}' | "$CLI" --stdio > "$WORK/sync.out" 2> "$WORK/sync.err"
contains "merge emits account:updated" 'window.__cvEmit("account:updated"' "$(cat "$WORK/sync.out")"
check "one pull" "1" "$(count GET /insights)"
check "one push" "1" "$(count POST /insights)"
check "push carries the token" "True" "$(requests | python3 -c '
import json, sys
r = [r for r in json.load(sys.stdin) if r["path"] == "/insights" and r["method"] == "POST"][-1]
print(r["headers"].get("Authorization", "").startswith("Bearer id-token-") and "totals" in json.loads(r["body"]))')"

exit $FAILED
