#!/usr/bin/env bash
# The demo: builds Sentrel, installs it into a fresh Wine prefix, starts the test MFA server with a
# demo user, writes the settings and a policy protecting a command (cmd.exe) and a program
# (notepad.exe), runs the service in the foreground, and then shows both protections at work:
#   - `runguard run -- cmd.exe /c echo ...` is held until the MFA dialog is answered, then runs;
#   - notepad.exe is stopped by the process watcher, the dialog asks for MFA, and it is started again.
# Then it ends the service run and opens the management console (SentrelUI.exe without arguments):
# the administrator gate, every page, and a rule added with the rule editor.
#
#   scripts/demo.sh                 with a desktop (DISPLAY set): you answer the dialogs and use the
#                                   console; "Exit" in the console's tray menu (or Ctrl+C) ends it
#   scripts/demo.sh --headless      on its own Xvfb display, answering the dialogs and driving the
#                                   console itself with ui_driver and saving screenshots; ends by itself
#   scripts/demo.sh --seconds N     keeps the service (and the log) running N seconds after the steps,
#                                   then ends by itself
#   scripts/demo.sh --language zh-CN   the dialog in Chinese (default en-US)
#
# SENTREL_BUILD_DIR picks the build folder (default build). Exit code 0 when the protected command
# ran after MFA, the protected program was started again, and (headless) the console added its rule;
# 1 otherwise (the reason is printed).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=0
headless=0
language=en-US
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=${2:-10}; shift 2 || shift ;;
    --headless) headless=1; shift ;;
    --language) language=${2:-en-US}; shift 2 || shift ;;
    *) echo "usage: scripts/demo.sh [--headless] [--seconds N] [--language en-US|zh-CN]" >&2; exit 2 ;;
  esac
done

case "$seconds" in ''|*[!0-9]*) echo "--seconds needs a whole number" >&2; exit 2 ;; esac
build_dir=${SENTREL_BUILD_DIR:-build}
demo_user=demo
demo_secret=KNSW45DSMVWEIZLNN5JWKY3SMV2CCMRQ   # base32, 160 bits: fixed, so an app needs adding once
demo_secret_spaced="KNSW 45DS MVWE IZLN N5JW KY3S MV2C CMRQ"
api_key=sentrel-demo-key
marker="Sentrel demo: this protected command ran after MFA"

bash scripts/install-deps.sh
echo "== building into $build_dir/"
targets=(--target sentrel_demo)   # tools/CMakeLists.txt lists every program the demo runs
if [ "$build_dir" = build ]; then
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw "${targets[@]}" >/dev/null
else
  cmake -S . -B "$build_dir" --no-warn-unused-cli -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" "${targets[@]}" >/dev/null
fi
bin="$build_dir/bin"

# Who answers the dialogs: a person on the desktop's display, or this script on an Xvfb of its own.
if [ "$headless" = 0 ] && [ -z "${DISPLAY:-}" ]; then
  echo "== no DISPLAY: running headless (the script answers the dialogs itself)"
  headless=1
elif [ "$headless" = 0 ] && ! xdpyinfo >/dev/null 2>&1; then
  echo "== DISPLAY=$DISPLAY cannot be opened: running headless (the script answers the dialogs itself)"
  headless=1
fi

export WINEPREFIX="$PWD/$build_dir/demo-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
work="$PWD/$build_dir/demo-run"          # the demo's own files: server and service output
shots="$PWD/$build_dir/demo-screenshots"
log="$WINEPREFIX/drive_c/ProgramData/Sentrel/logs/sentrel.log"

xvfb_pid="" mfa_pid="" service_pid="" tail_pid="" console_pid="" session_started=0
cleanup() {
  set +e
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
  [ -n "$console_pid" ] && kill "$console_pid" 2>/dev/null
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null
  # Ends every Wine process of this prefix: the dialog host and the relaunched program included.
  [ "$session_started" = 1 ] && tests/support/wine-session.sh stop "$WINEPREFIX" >/dev/null
  [ -n "$mfa_pid" ] && kill "$mfa_pid" 2>/dev/null && wait "$mfa_pid" 2>/dev/null
  # SIGTERM lets Xvfb remove its lock file, so the display number is free again.
  [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT
fail() {
  echo "DEMO FAILED: $*" >&2
  exit 1
}

if [ "$headless" = 1 ]; then
  for n in $(seq 140 199); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 50); do xdpyinfo -display ":$n" >/dev/null 2>&1 && break; sleep 0.1; done
    if xdpyinfo -display ":$n" >/dev/null 2>&1; then export DISPLAY=":$n"; break; fi
    kill -TERM "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null || true; xvfb_pid=""
  done
  [ -n "$xvfb_pid" ] || fail "no free X display for Xvfb (tried :140 to :199)"
  echo "== Xvfb display $DISPLAY (pid $xvfb_pid)"
fi

# A fresh prefix (a wineserver left by an interrupted run of this demo is ended first).
if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; fi
rm -rf "$WINEPREFIX" "$work" "$shots"
mkdir -p "$work"
[ "$headless" = 0 ] || mkdir -p "$shots"
session_started=1
tests/support/wine-session.sh start "$WINEPREFIX"
# Windows links "Segoe UI" to its CJK fonts; link it to the installed Chinese font the same way,
# so the dialog's Chinese texts render.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "Segoe UI" \
  /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1

# The service starts the dialog host (and relaunched programs) with the user's own environment,
# not its own: under Wine the display they open is the user's DISPLAY variable.
wine reg add 'HKCU\Environment' /v DISPLAY /d "$DISPLAY" /f >/dev/null 2>&1

if [ "$headless" = 0 ]; then
  # On a desktop the window manager frames the dialog and gives it the keyboard focus.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null 2>&1
fi

# --- the test MFA server ------------------------------------------------------------------------
python3 tools/mfa_server/mfa_server.py --api-key "$api_key" --user "$demo_user:$demo_secret" --port 0 \
  >"$work/mfa_server.out" 2>&1 &
mfa_pid=$!
for _ in $(seq 1 100); do grep -q "listening on" "$work/mfa_server.out" && break; sleep 0.1; done
mfa_url=$(sed -n 's/^mfa_server listening on //p' "$work/mfa_server.out")
[ -n "$mfa_url" ] || fail "the test MFA server did not start: $(cat "$work/mfa_server.out")"
current_code() {
  python3 -c 'import json, sys, urllib.request; print(json.load(urllib.request.urlopen(sys.argv[1], timeout=5))["code"])' \
    "$mfa_url/control/totp/$demo_user"
}
echo "== test MFA server: $mfa_url (pid $mfa_pid)"
echo "   user \"$demo_user\", TOTP secret $demo_secret_spaced, API key $api_key"

# --- install ----------------------------------------------------------------------------------------
install_win='C:\Program Files\Sentrel'
install_dir="$WINEPREFIX/drive_c/Program Files/Sentrel"
tools_win='C:\SentrelDemoTools'   # the demo's helpers stay out of the product's folder
mkdir -p "$install_dir" "$WINEPREFIX/drive_c/SentrelDemoTools"
cp "$bin/SentrelSvc.exe" "$bin/SentrelUI.exe" "$bin/runguard.exe" "$bin/sentrel_demo_files.exe" "$install_dir/"
cp "$bin/ui_driver.exe" "$bin/wait_for.exe" "$WINEPREFIX/drive_c/SentrelDemoTools/"
# Settings and policy, written by the product's own writers before the service starts: the
# running service guards both files and puts back any later change.
wine "$install_win\\sentrel_demo_files.exe" --language "$language" --server-url "$mfa_url" --api-key "$api_key" \
  --user "$demo_user" --auth-mode totp \
  --protect-command cmd.exe "Command Prompt" \
  --protect-program notepad.exe "Notepad" || fail "sentrel_demo_files could not write the settings and policy"
echo "== $install_win\\SentrelSvc.json"
sed 's/^/   /' "$install_dir/SentrelSvc.json"
echo "== $install_win\\SentrelSvc.policy.json"
sed 's/^/   /' "$install_dir/SentrelSvc.policy.json"

# --- the service ------------------------------------------------------------------------------------
echo "== SentrelSvc.exe run"
wine "$install_win\\SentrelSvc.exe" run >"$work/service.out" 2>&1 &
service_pid=$!
# Ready means its pipe waits for a client (that is what runguard needs).
wine "$tools_win\\wait_for.exe" pipe SentrelAuth 30000 >/dev/null 2>&1 ||
  fail "the service did not start (log: $log; output: $(cat "$work/service.out"))"
# The log is UTF-8 with a byte order mark; it is shown without it.
show_log() { sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$log"; }
show_log | grep "service started" | sed 's/^/   log: /'

driver() { wine "$tools_win\\ui_driver.exe" "$@" 2>/dev/null | tr -d '\r'; }

# Saves the client area of a window (no window manager draws a frame on Xvfb) as $shots/$1.png; $2
# is the window class (default: the MFA dialog).
screenshot() {
  local rect
  rect=$(driver -w "${2:-SNAuthDlg}" client) || return 0
  read -r x y w h <<<"$rect"
  import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$shots/$1.png"
  echo "   screenshot: $shots/$1.png"
}

# Headless: waits for the dialog (while $1, the guarded process, still runs), shows its texts,
# types the current code and waits until it is gone. $2 names the screenshots.
answer_dialog() {
  local waiter=$1 name=$2 code
  for _ in $(seq 1 60); do
    driver wait 1000 >/dev/null && break
    kill -0 "$waiter" 2>/dev/null || return 1
  done
  driver wait 100 >/dev/null || fail "no dialog appeared within a minute"
  driver texts | awk -F'\t' '$1 != "caption" && $2 == 1 && $4 != "" && $3 != "Button" { print "   dialog: " $4 }'
  screenshot "$name"
  code=$(current_code)
  echo "   typing the current code $code (from $mfa_url/control/totp/$demo_user)"
  driver type "${code:0:5}" || fail "could not type into the dialog"
  screenshot "$name-code"
  driver type "${code:5:1}" || true   # the sixth digit submits
  if ! driver gone 15000; then
    screenshot "$name-refused"
    fail "the dialog did not close after the code; it says: $(driver texts | awk -F'\t' '$1 == "122" { print $4 }')"
  fi
  echo "   the dialog closed"
}

# With a person: shows the current code whenever it changes while $1 runs or until $2 returns true.
show_codes_while() {
  local waiter=$1 done_test=$2 last="" code
  while kill -0 "$waiter" 2>/dev/null && ! $done_test; do
    code=$(current_code 2>/dev/null || true)
    if [ -n "$code" ] && [ "$code" != "$last" ]; then echo "   current code: $code"; last=$code; fi
    sleep 1
  done
}
never() { return 1; }

if [ "$headless" = 0 ]; then
  cat <<EOF
== How to answer (the dialog opens on your display, $DISPLAY)
   Enter the 6-digit code of the demo user "$demo_user":
   - from an authenticator app: add a TOTP account with the key $demo_secret_spaced
     (SHA-1, 30 s, 6 digits), or the link
     otpauth://totp/Sentrel:$demo_user?secret=$demo_secret&issuer=Sentrel
   - or the current code from the test server (printed below while a dialog waits):
     $mfa_url/control/totp/$demo_user
   Push requests (rules with auth_mode "push") are approved or rejected at $mfa_url/pushes
EOF
fi

# --- an unprotected and a protected command through runguard ------------------------------------
echo "== runguard run -- hostname.exe   (no rule: runs at once)"
wine "$install_win\\runguard.exe" run -- hostname.exe >"$work/hostname.out" 2>&1 && code=0 || code=$?
sed 's/\r$//; s/^/   /' "$work/hostname.out"
echo "   exit code: $code"

command_ok=0
echo "== runguard run -- cmd.exe /c echo $marker   (rule \"Command Prompt\": asks for MFA)"
# shellcheck disable=SC2086  # the marker's words are separate arguments, as typed at a prompt
wine "$install_win\\runguard.exe" run -- cmd.exe /c echo $marker >"$work/command.out" 2>"$work/command.err" &
guarded=$!
if [ "$headless" = 1 ]; then
  answer_dialog "$guarded" "command-dialog" || true
else
  echo "   waiting for you to answer the dialog"
  show_codes_while "$guarded" never
fi
wait "$guarded" && code=0 || code=$?
sed 's/\r$//; s/^/   output: /' "$work/command.out"
sed 's/\r$//; s/^/   error: /' "$work/command.err"
echo "   exit code: $code"
if [ "$code" = 0 ] && grep -q "$marker" "$work/command.out" &&
   grep -q "cmd: path=.*cmd.exe args=.*result=认证成功" "$log"; then
  command_ok=1
  show_log | grep "UI launch\|cmd: path=.*cmd.exe" | sed 's/^/   log: /'
fi

# --- a protected program: stopped, asked for, started again ----------------------------------------
relaunched() { grep -qs "program relaunch ok: .*notepad.exe" "$log"; }
decided() { grep -qs "program relaunch ok: .*notepad.exe\|program denied: .*notepad.exe\|program relaunch failed: .*notepad.exe" "$log"; }
echo "== starting notepad.exe   (rule \"Notepad\": the watcher stops it, asks for MFA and starts it again)"
wine notepad.exe >/dev/null 2>&1 &
notepad_pid=$!
if [ "$headless" = 1 ]; then
  # The waiter is the service: the dialog comes from it, not from the stopped notepad.
  answer_dialog "$service_pid" "program-dialog" || fail "the service ended while waiting for the dialog"
  for _ in $(seq 1 150); do decided && break; sleep 0.1; done
else
  echo "   waiting for you to answer the dialog"
  show_codes_while "$service_pid" decided
fi
# The first start ends when the watcher stops it (under Wine a GUI program stopped this way shows
# exit code 0 to Linux, so only its end is checked).
if kill -0 "$notepad_pid" 2>/dev/null; then
  echo "   the first notepad.exe (pid $notepad_pid) is still running: it was NOT stopped"
else
  echo "   the first notepad.exe (pid $notepad_pid) was stopped"
fi
wait "$notepad_pid" 2>/dev/null || true
program_ok=0
show_log | grep "program \|relaunch" | sed 's/^/   log: /' || true
if relaunched; then
  program_ok=1
  if [ "$headless" = 1 ]; then
    sleep 2   # the relaunched notepad draws its window
    import -display "$DISPLAY" -window root "$shots/program-relaunched.png"
    echo "   screenshot: $shots/program-relaunched.png"
  fi
fi

# --- the result ------------------------------------------------------------------------------------
echo "== result"
[ "$command_ok" = 1 ] && echo "   protected command: ran after MFA" || echo "   protected command: did NOT run after MFA"
[ "$program_ok" = 1 ] && echo "   protected program: stopped, passed MFA, started again" ||
  echo "   protected program: was NOT started again after MFA"
if [ "$headless" = 1 ] && [ -d "$shots" ]; then
  echo "   screenshots in $shots/"
fi

echo "== log: $log"
show_log
if [ "$seconds" -gt 0 ]; then
  tail -n 0 -f "$log" &
  tail_pid=$!
  sleep "$seconds"
  kill "$tail_pid" 2>/dev/null; tail_pid=""
fi

# --- the management console ---------------------------------------------------------------------
# A running service guards the rule and settings files, so rules are changed while it is stopped.
echo "== the management console: SentrelUI.exe (the service run is ended first, so rules can be changed)"
kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null || true; service_pid=""
wine "$install_win\\SentrelUI.exe" >"$work/console.out" 2>&1 &
console_pid=$!
console_ok=0
if [ "$headless" = 1 ]; then
  # The administrator gate: the same MFA dialog, for "Open Console".
  answer_dialog "$console_pid" "console-gate" || fail "the console's administrator gate did not appear"
  driver -w SNConsole wait 20000 >/dev/null || fail "the console window did not open"
  pages=(dashboard app-rules cmd-rules audit-logs settings)
  for i in 0 1 2 3 4; do
    driver -w SNConsole press $((200 + i)) >/dev/null
    screenshot "console-${pages[$i]}" SNConsole
  done
  echo "   adding a program rule on the App Rules page with the rule editor"
  driver -w SNConsole press 201 >/dev/null
  driver -w SNConsole post 214 >/dev/null
  driver -w SNAddRule wait 10000 >/dev/null || fail "the rule editor did not open"
  driver -w SNAddRule set 501 "Calculator" >/dev/null
  driver -w SNAddRule set 503 'C:\windows\system32\calc.exe' >/dev/null   # fills in the file name
  screenshot "console-rule-editor" SNAddRule
  driver -w SNAddRule post 507 >/dev/null
  driver message 10000 | awk -F'\t' '$1 == "65535" { print "   console says: " $4 }'
  driver -w SNConsole rows 213 | awk -F'\t' '{ print "   rule: " $3 " (" $4 ", " $5 ", " $6 ")" }'
  screenshot "console-app-rules-after-add" SNConsole
  grep -q '"display_name": "Calculator", "match_name": "calc.exe"' "$install_dir/SentrelSvc.policy.json" &&
    console_ok=1
  driver tray menu 2 >/dev/null   # "Exit" in the notification-area icon's menu
  for _ in $(seq 1 100); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
  echo "   screenshots in $shots/:"
  ls "$shots" | sed 's/^/     /'
else
  cat <<EOF
   The console asks for MFA first ("Open Console"): enter the current code (printed below).
   Then look around; rules can be changed now, while the service is stopped.
   "Exit" in the console's notification-area menu ends the demo (closing the window only hides it).
EOF
  show_codes_while "$console_pid" never
  console_ok=1
fi
wait "$console_pid" 2>/dev/null || true
console_pid=""

[ "$command_ok" = 1 ] || fail "the protected command did not run after MFA (output and error above)"
[ "$program_ok" = 1 ] || fail "the protected program was not started again after MFA (log lines above)"
[ "$console_ok" = 1 ] || fail "the console did not add its rule to SentrelSvc.policy.json"
echo "== demo passed"
