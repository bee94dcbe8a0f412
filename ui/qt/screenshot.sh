#!/bin/sh
# Draws the main window into build/varnel-collapsed.png and
# build/varnel-expanded.png under a virtual X display (xvfb-run).
# Usage: ui/qt/screenshot.sh [build folder]   (default: build)
set -eu
build=${1:-build}
exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$build/varnel-qt-screenshot" "$build"
