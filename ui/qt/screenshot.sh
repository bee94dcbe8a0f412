#!/bin/bash
# Screenshots of the main window during a live run against the demo host:
# build/varnel-collapsed.png (as it opens), build/varnel-expanded.png (debug
# region shown by a right click on "View Readme", socket log shown) and
# build/varnel-resized.png (then made larger by half).
# Runs under its own virtual X display. Needs xvfb-run, xdotool and
# ImageMagick's import (Debian: xvfb xauth xdotool imagemagick).
#
# Usage: ui/qt/screenshot.sh [--filled] [--dpi N] [build folder]   (default: build)
#   --filled     no live run: draws the window with sample lines put in
#                through its interface (build/varnel-qt-screenshot) into
#                varnel-filled-*.png
#   --dpi N      a screen of N dots per inch (default 96); the files are then
#                named varnel-Ndpi-*.png
#   VARNEL=path  the program to run (default: <build folder>/varnel)
set -euo pipefail
filled=0 dpi=96
while [ $# -gt 0 ]; do
    case "$1" in
        --filled) filled=1; shift ;;
        --dpi) dpi=$2; shift 2 ;;
        *) break ;;
    esac
done
build=$(cd "${1:-build}" && pwd)
name=varnel
[ "$dpi" != 96 ] && name=varnel-${dpi}dpi
xvfb=(xvfb-run -a -s "-screen 0 1600x1200x24 -dpi $dpi")
# Qt reads the desktop's DPI from the X resources, which a bare Xvfb lacks.
export QT_FONT_DPI=$dpi

if [ "$filled" = 1 ]; then
    exec "${xvfb[@]}" "$build/varnel-qt-screenshot" "$build" "${name/varnel/varnel-filled}"
fi
if [ -z "${VARNEL_SCREENSHOT_INNER:-}" ]; then
    VARNEL_SCREENSHOT_INNER=1 exec "${xvfb[@]}" "$0" --dpi "$dpi" "$build"
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
import -window "$window" "$build/$name-collapsed.png"

# "View Readme" sits at the window's right edge: its middle lies 1050 twips
# left of that edge and 488 below the top (a pixel is 1440/DPI twips).
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --window "$window" $((WIDTH - 1050 * dpi / 1440)) $((488 * dpi / 1440)) click 3
sleep 0.5
# "Show Winsock Log" is the last stop of the tab order: one step back from
# the session log.
xdotool mousemove --window "$window" $((300 * dpi / 1440)) $((1500 * dpi / 1440)) click 1
xdotool key --window "$window" shift+Tab space
xdotool mousemove --window "$window" 1200 1000
sleep 1
import -window "$window" "$build/$name-expanded.png"

# The user makes the expanded window larger by half in each direction.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool windowsize "$window" $((WIDTH * 3 / 2)) $((HEIGHT * 3 / 2))
sleep 1
import -window "$window" "$build/$name-resized.png"
echo "$build/$name-collapsed.png"
echo "$build/$name-expanded.png"
echo "$build/$name-resized.png"
