#!/usr/bin/env bash
# start PREFIX: makes sure the Wine prefix exists (wineboot once) and keeps one wineserver alive for the
#               test run, so each wine start costs tens of milliseconds instead of seconds.
# stop PREFIX:  ends that wineserver and every Wine process of the prefix.
set -u
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

case "$action" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      # A first boot of a fresh prefix occasionally fails under load; a second one completes it.
      wineboot -i >/dev/null 2>&1 || wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
      # Without a window manager Wine waits about 2 s on every window close; unmanaged windows do not.
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      wineserver -w
    fi
    # A persistent server for the run: it stays until 'stop' (or 10 minutes after the last client).
    setsid nohup wineserver -p600 </dev/null >/dev/null 2>&1 &
    # Boot services (the service control manager) now, not inside the first test.
    wine cmd /c exit >/dev/null 2>&1
    echo "wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    echo "wine prefix stopped: $WINEPREFIX"
    ;;
  *)
    echo "usage: wine-session.sh start|stop PREFIX" >&2; exit 2;;
esac
