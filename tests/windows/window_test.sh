#!/usr/bin/env bash
# The Win32 window of varnel.exe under Wine, on the display of xvfb-run, in a
# Wine prefix of the window tests' own (made on first use) with the screen
# DPI the test asks for. The window is driven and read from outside by
# window_probe.exe, through the window's own messages.
#
#   window_test.sh WINE_RUN VARNEL_EXE PROBE_EXE LINUX_BUILD SHOTS KIND [DPI]
#
# KIND "form": a live run against the Linux demo host shown in the window;
#   the session log shows what the host sent, the form is at its designed
#   places collapsed and, after a right click on the read-me button,
#   expanded; the check box swaps the debug box for the socket log; closing
#   the window ends the program with status 0. Screenshots of both heights
#   go to SHOTS/window-DPI-collapsed.png and -expanded.png.
# KIND "unit": PROBE_EXE is a test program of the window's own, run as is.
# KIND "usage": a start without /r: shows the usage box with its exact text;
#   after OK the window shows, and closing it ends the program.
set -euo pipefail
wine_run=$1 exe=$2 probe=$3 linux_build=$4 shots=$5 kind=$6 dpi=${7:-96}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
export WINEPREFIX=$(dirname "$exe")/wine-window WINEDEBUG=-all
host_pid= varnel_pid=
cleanup() {
  for pid in $varnel_pid $host_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
probe() { "$wine_run" "$probe" "$@" </dev/null; }
shot() {
  mkdir -p "$shots"
  import -window root -crop "$(probe rect | tr -d '\r')" "$shots/$1" || echo "no screenshot $1"
}

# One wineserver for the test, started on this display; the first program
# starts Wine's services with their output elsewhere (they keep it open).
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1 &
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1

# Waits up to $2 seconds for varnel.exe to end; its status in $status.
wait_exit() {
  for _ in $(seq 1 $(($2 * 10))); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$1" 2>/dev/null && fail "varnel.exe did not end"
  status=0; wait "$1" || status=$?
  varnel_pid=
}

case $kind in
unit)
  "$wine_run" "$probe" </dev/null || fail "status $?"
  ;;
form)
  "$linux_build/varnel-demo-host" > "$work/host.out" 2> "$work/host.err" &
  host_pid=$!
  for _ in $(seq 1 600); do [ -s "$work/host.out" ] && break; sleep 0.05; done
  port=$(head -n 1 "$work/host.out" | tr -dc '0-9')
  [ -n "$port" ] || fail "the demo host did not start"
  printf '%s\r\n' "HOST 127.0.0.1 $port" 'SEND "admin\n"' 'WAIT "Password:"' 'SEND "varnel\n"' \
    'WAIT "varnel-demo>"' 'SEND "echo hello from Varnel\n"' 'WAIT "varnel-demo>"' 'TIMEOUT 120' 'WAIT "a line the host never sends"' > "$work/script.txt"
  (cd "$work" && exec "$wine_run" "$exe" /r:./script.txt /o:./out.txt) </dev/null > "$work/varnel.err" 2>&1 &
  varnel_pid=$!
  probe wait 30 || fail "no window"
  probe wait-text 102 "hello from Varnel" 30 || { cat "$work/varnel.err" "$work/out.txt"; fail "the session log lacks the host's answer"; }
  shot "window-$dpi-collapsed.png"
  probe places "$dpi" collapsed || fail "collapsed form"
  probe right-click-readme
  shot "window-$dpi-expanded.png"
  probe places "$dpi" expanded || fail "expanded form"
  probe visible 105 1 && probe visible 106 0 || fail "the debug box is not the one shown"
  probe click 104
  probe visible 105 0 && probe visible 106 1 || fail "the check box did not show the socket log"
  probe wait-text 106 "Winsock Debug Log" 5 || fail "the socket log box lacks its heading"
  shot "window-$dpi-socket-log.png"
  probe right-click-readme
  probe places "$dpi" collapsed || fail "collapsed again"
  probe close
  wait_exit "$varnel_pid" 30
  [ "$status" = 0 ] || { cat "$work/varnel.err"; fail "status $status after closing the window"; }
  grep -q "hello from Varnel" "$work/out.txt" || fail "the output file lacks the host's answer"
  ;;
usage)
  (cd "$work" && exec "$wine_run" "$exe") </dev/null > "$work/varnel.err" 2>&1 &
  varnel_pid=$!
  probe box Varnel 30 > "$work/box.txt" || fail "no usage box"
  printf '%s\r\n' "To run a script use the /r: argument at the command line:" "" "varnel /r:script.txt" \
    "(where script.txt is the name of the script file)" "" > "$work/want.txt"
  printf '%s' "Please see the ReadMe file for more information." >> "$work/want.txt"
  cmp "$work/want.txt" "$work/box.txt" || { cat -A "$work/box.txt"; fail "the usage box's text"; }
  probe wait 30 || fail "no window after the usage box"
  probe close
  wait_exit "$varnel_pid" 30
  [ "$status" = 0 ] || fail "status $status after closing the window"
  ;;
*) echo "unknown kind $kind" >&2; exit 2 ;;
esac
echo "PASS: $kind ${dpi} DPI"
