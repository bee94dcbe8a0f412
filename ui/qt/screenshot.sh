#!/bin/bash
# Screenshots of the main window during a live run against the demo host:
# build/varnel-collapsed.png (as it opens) and build/varnel-expanded.png
# (debug region shown by a right click on "View Readme", socket log shown).
# Runs under its own virtual X display. Needs xvfb-run, xdotool and
# ImageMagick's import (Debian: xvfb xauth xdotool imagemagick).
#
# Usage: ui/qt/screenshot.sh [--filled] [build folder]   (default: build)
#   --filled     no live run: draws the window with sample lines put in
#                through its interface (build/varnel-qt-screenshot)
#   VARNEL=path  the program to run (default: <build folder>/varnel)
set -euo pipefail
filled=0
if [ "${1:-}" = --filled ]; then filled=1; shift; fi
build=$(cd "${1:-build}" && pwd)
xvfb=(xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96")

if [ "$filled" = 1 ]; then
    exec "${xvfb[@]}" "$build/varnel-qt-screenshot" "$build"
fi
if [ -z "${VARNEL_SCREENSHOT_INNER:-}" ]; then
    VARNEL_SCREENSHOT_INNER=1 exec "${xvfb[@]}" "$0" "$build"
fi

program=${VARNEL:-$build/varnel}
work=$(mktemp -d)
host_pid= program_pid=
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$build/varnel-demo-host" > "$work/host.out" &
host_pid=$!
for _ in $(seq 100); do [ -s "$work/host.out" ] && break; sleep 0.1; done
port=$(head -n1 "$work/host.out")

# Logs in, lists a configuration and then waits for a text that never comes,
# so the run is still going when the pictures are taken.
cat > "$work/demo.txt" <<SCRIPT
# A session with the demo host
HOST 127.0.0.1 $port
SEND "admin\n"
WAIT "Password:"
SEND "varnel\n"
WAIT "varnel-demo>"
ECHO "Logged in."
SEND "show config 300\n"
WAIT "varnel-demo>"
SEND "help\n"
WAIT "nothing will say this"
SCRIPT

"$program" "/r:$work/demo.txt" &
program_pid=$!
window=$(xdotool search --sync --name "^Varnel by Tamsk$" | head -n1)
sleep 2
import -window "$window" "$build/varnel-collapsed.png"

# Window positions at 96 dots per inch (15 twips a pixel): the middle of
# "View Readme" and the box of "Show Winsock Log".
xdotool mousemove --window "$window" 213 32 click 3
sleep 0.5
xdotool mousemove --window "$window" 143 210 click 1
xdotool mousemove --window "$window" 400 400
sleep 1
import -window "$window" "$build/varnel-expanded.png"
echo "$build/varnel-collapsed.png"
echo "$build/varnel-expanded.png"
