#!/usr/bin/env bash
# Tries the MSI as a Windows administrator evaluating the package would: builds it, boots a fresh
# Wine prefix, installs silently with the connection properties (msiexec /i ... /qn), shows that the
# service runs with the settings written and the audit log started, then removes the package
# (msiexec /x ... /qn) and shows that nothing of it is left.
#
#   scripts/try-msi.sh                  the MSI of the build tree (build/installer/Sentrel-X.Y.Z-x64.msi)
#   scripts/try-msi.sh --msi FILE.msi   another package, e.g. the signed one from scripts/release.sh
#   scripts/try-msi.sh --keep           leaves the product installed and the prefix's server running
#
# SENTREL_BUILD_DIR picks the build folder (default build); the prefix is $build_dir/msi-prefix.
# Exit code 0 when the install ended RUNNING and the removal left no service, files or settings.
set -euo pipefail
cd "$(dirname "$0")/.."

msi="" keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --msi) msi=${2:?--msi needs a file}; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: scripts/try-msi.sh [--msi FILE.msi] [--keep]" >&2; exit 2 ;;
  esac
done

build_dir=${SENTREL_BUILD_DIR:-build}
bash scripts/install-deps.sh
if [ -z "$msi" ]; then
  echo "== building the MSI into $build_dir/installer/"
  if [ "$build_dir" = build ]; then
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw --target sentrel_msi >/dev/null
  else
    cmake -S . -B "$build_dir" --no-warn-unused-cli -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build_dir" --target sentrel_msi >/dev/null
  fi
  msi=$(ls "$build_dir"/installer/Sentrel-*-x64.msi | head -n 1)
fi
[ -f "$msi" ] || { echo "try-msi: no package at $msi" >&2; exit 1; }

export WINEPREFIX="$PWD/$build_dir/msi-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
work="$PWD/$build_dir/msi-run"
mfa_pid=""
cleanup() {
  set +e
  [ -n "$mfa_pid" ] && kill "$mfa_pid" 2>/dev/null && wait "$mfa_pid" 2>/dev/null
  [ "$keep" = 1 ] || tests/support/wine-session.sh stop "$WINEPREFIX" >/dev/null 2>&1
  return 0
}
trap cleanup EXIT
fail() {
  echo "TRY-MSI FAILED: $*" >&2
  exit 1
}

# A fresh prefix, booted the way docs/wine-notes.md describes (the boot's own server ends before
# the next Wine command, so the prefix has one service control manager).
if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; fi
rm -rf "$WINEPREFIX" "$work"
mkdir -p "$work"
echo "== a fresh Wine prefix: $WINEPREFIX"
tests/support/wine-session.sh start "$WINEPREFIX" >/dev/null

# The test MFA server, so the installed service has a server to name in its settings.
python3 tools/mfa_server/mfa_server.py --api-key try-msi-key --user "demo:KNSW45DSMVWEIZLNN5JWKY3SMV2CCMRQ" --port 0 \
  >"$work/mfa_server.out" 2>&1 &
mfa_pid=$!
for _ in $(seq 1 100); do grep -q "listening on" "$work/mfa_server.out" && break; sleep 0.1; done
mfa_url=$(sed -n 's/^mfa_server listening on //p' "$work/mfa_server.out")
[ -n "$mfa_url" ] || fail "the test MFA server did not start: $(cat "$work/mfa_server.out")"

cp "$msi" "$WINEPREFIX/drive_c/Sentrel.msi"
# msiexec's own exit code, through cmd's ERRORLEVEL (wine's exit code is the code modulo 256).
msiexec() {
  local log_win=$1; shift
  printf '@echo off\r\nstart /wait msiexec %s /qn /l*v %s\r\necho exit=%%ERRORLEVEL%%\r\n' "$*" "$log_win" \
    >"$WINEPREFIX/drive_c/try-msi.cmd"
  wine cmd /c 'C:\try-msi.cmd' 2>/dev/null | tr -d '\r' | sed -n 's/^exit=//p'
}
install_dir="$WINEPREFIX/drive_c/Program Files/Sentrel"
log="$WINEPREFIX/drive_c/ProgramData/Sentrel/logs/sentrel.log"
service_state() { { wine sc query SentrelSvc 2>/dev/null || true; } | tr -d '\r' | sed -n 's/^ *STATE *: [0-9]* *//p'; }

properties="SERVER_URL=$mfa_url API_KEY=try-msi-key MFA_USERNAME=demo LANGUAGE=en-US"
echo "== msiexec /i C:\\Sentrel.msi /qn $properties"
code=$(msiexec 'C:\install.log' /i 'C:\Sentrel.msi' "$properties")
echo "   exit code: ${code:-none} (install log: $WINEPREFIX/drive_c/install.log)"
grep -a "^Sentrel: " "$WINEPREFIX/drive_c/install.log" | sed 's/^/   /' || true
[ "$code" = 0 ] || fail "msiexec /i ended with ${code:-no exit code}"
for _ in $(seq 1 100); do [ "$(service_state)" = RUNNING ] && break; sleep 0.2; done
echo "   service SentrelSvc: $(service_state)"
[ "$(service_state)" = RUNNING ] || fail "the service is not RUNNING after the install"
echo "   installed: $(ls "$install_dir" | tr '\n' ' ')"
echo "== $install_dir/SentrelSvc.json (the API key is the properties' one)"
sed 's/^/   /' "$install_dir/SentrelSvc.json"
for _ in $(seq 1 100); do grep -qs "service started" "$log" && break; sleep 0.1; done
grep -qs "service started" "$log" || fail "the audit log has no \"service started\" line"
sed '1s/^\xEF\xBB\xBF//; s/\r$//; s/^/   log: /' "$log"

if [ "$keep" = 1 ]; then
  echo "== kept installed (--keep): WINEPREFIX=$WINEPREFIX; end with: wineserver -k"
  exit 0
fi

product_code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
echo "== msiexec /x $product_code /qn"
code=$(msiexec 'C:\remove.log' /x "$product_code")
echo "   exit code: ${code:-none}"
[ "$code" = 0 ] || fail "msiexec /x ended with ${code:-no exit code}"
state=$(service_state)
echo "   service SentrelSvc: ${state:-not registered}"
[ -z "$state" ] || fail "the service is still registered after the removal"
left=$(ls "$install_dir" 2>/dev/null | tr '\n' ' ')
echo "   left in the install folder: ${left:-nothing} (the settings and rules stay for a later install)"
echo "== the MSI installed, ran and was removed in a fresh prefix"
