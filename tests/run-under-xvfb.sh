#!/usr/bin/env bash
# Runs one test program on its own virtual X server with a light window manager and a tray host.
set -uo pipefail
display=$(( 100 + $$ % 800 ))
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill $wm_pid $tray_pid $xvfb_pid 2>/dev/null' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
jwm >/dev/null 2>&1 & wm_pid=$!
trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 & tray_pid=$!
sleep 1
"$@"
