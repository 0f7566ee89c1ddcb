#!/usr/bin/env bash
# The demo: builds Sentrel, installs it into a fresh Wine prefix under build/, and runs the
# service in the foreground with the default policy, showing its log as it grows.
#   scripts/demo.sh              until Ctrl+C
#   scripts/demo.sh --seconds 10 stop by itself
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=0
[ "${1:-}" = "--seconds" ] && seconds=${2:-10}

bash scripts/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw >/dev/null

export WINEPREFIX="$PWD/build/demo-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
rm -rf "$WINEPREFIX"
tests/support/wine-session.sh start "$WINEPREFIX"

install_dir="$WINEPREFIX/drive_c/Program Files/Sentrel"
mkdir -p "$install_dir"
cp build/bin/SentrelSvc.exe build/bin/SentrelUI.exe build/bin/runguard.exe build/bin/sentrel_demo_files.exe "$install_dir/"
# The settings file and the first-run default policy, written by the product's own writers.
wine "C:\\Program Files\\Sentrel\\sentrel_demo_files.exe" en-US
log="$WINEPREFIX/drive_c/ProgramData/Sentrel/logs/sentrel.log"

echo "== SentrelSvc.exe run (policy: $install_dir/SentrelSvc.policy.json)"
sed 's/^/   /' "$install_dir/SentrelSvc.policy.json"
wine "C:\\Program Files\\Sentrel\\SentrelSvc.exe" run &
service_pid=$!
cleanup() { kill "$service_pid" 2>/dev/null || true; tests/support/wine-session.sh stop "$WINEPREFIX" >/dev/null; }
trap cleanup EXIT

for _ in $(seq 1 100); do [ -s "$log" ] && break; sleep 0.1; done

# Protected commands go through runguard. hostname.exe matches no rule: it runs at once.
# cmd.exe is protected by the default policy: the service asks for MFA through the dialog, and
# with no dialog to answer, the command is refused (fail closed).
runguard() {
  echo "== runguard run -- $*"
  wine "C:\\Program Files\\Sentrel\\runguard.exe" run -- "$@" && code=0 || code=$?
  echo "   exit code: $code"
}
runguard hostname.exe
runguard cmd.exe /c echo this should not run

echo "== log: $log"
if [ "$seconds" -gt 0 ]; then
  sleep "$seconds"
  cat "$log"
else
  tail -n +1 -f "$log"
fi
