#!/usr/bin/env bash
# start PREFIX: makes sure the Wine prefix exists (wineboot once) and keeps one wineserver alive for the
#               test run, so each wine start costs tens of milliseconds instead of seconds.
# start-fresh PREFIX: the same with a prefix booted anew (an earlier one is removed first), in the
#               state an administrator's new prefix has: for tests of what a fresh machine meets.
# stop PREFIX:  ends that wineserver and every Wine process of the prefix.
set -u
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

# The pid of the wineserver serving the prefix (empty when none runs).
server_pid() {
  local pid
  for pid in $(pgrep -x wineserver64 2>/dev/null); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$1"; then
      echo "$pid"
      return
    fi
  done
}

case "$action" in
  start|start-fresh)
    if [ "$action" = start-fresh ] && [ -e "$WINEPREFIX" ]; then
      wineserver -k 2>/dev/null
      wineserver -w 2>/dev/null
      rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      # A first boot of a fresh prefix occasionally fails under load; a second one completes it.
      wineboot -i >/dev/null 2>&1 || wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
      # The boot's own server ends before any other Wine command: a command started while it is still
      # shutting down gets a second server and a second service control manager, and a service that
      # one creates is unknown to the other (docs/wine-notes.md).
      wineserver -w
      # Without a window manager Wine waits about 2 s on every window close; unmanaged windows do not.
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      wineserver -w
    fi
    # A persistent server for the run: it stays until 'stop' (or 10 minutes after the last client).
    # A server left by an earlier run (perhaps one that ends 3 s after its last client) is ended
    # first. wineserver returns once its daemon listens, so no wine start below can race it and
    # start a short-lived server of its own, which would end between two tests and be met
    # exiting ("a wine server seems to be running, but I cannot connect to it").
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    # The daemon keeps no handle on our output, so whoever runs this script sees its end.
    if ! wineserver -p600 </dev/null >/dev/null 2>"$WINEPREFIX/.sentrel-wineserver.err"; then
      echo "the persistent wineserver did not start: $(cat "$WINEPREFIX/.sentrel-wineserver.err")" >&2
      exit 1
    fi
    server_pid "$WINEPREFIX" >"$WINEPREFIX/.sentrel-wineserver.pid"
    # Boot services (the service control manager) now, not inside the first test.
    wine cmd /c exit >/dev/null 2>&1
    echo "wine prefix ready: $WINEPREFIX (wineserver pid $(cat "$WINEPREFIX/.sentrel-wineserver.pid"))"
    ;;
  stop)
    # The run's processes all talked to one server: a different one now means it ended during the
    # run (and took every process of the prefix with it), which would explain any failure above.
    started=$(cat "$WINEPREFIX/.sentrel-wineserver.pid" 2>/dev/null || true)
    now=$(server_pid "$WINEPREFIX")
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    rm -f "$WINEPREFIX/.sentrel-wineserver.pid"
    if [ -n "$started" ] && [ "$now" != "$started" ]; then
      echo "the wineserver of the run (pid $started) was replaced by pid ${now:-none} during the run" >&2
      exit 1
    fi
    echo "wine prefix stopped: $WINEPREFIX"
    ;;
  *)
    echo "usage: wine-session.sh start|start-fresh|stop PREFIX" >&2; exit 2;;
esac
