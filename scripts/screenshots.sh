#!/usr/bin/env bash
# Takes screenshots of the desktop interface into docs/screenshots/: the tray menu and every
# window, on a virtual X display (Xvfb) with a tray host (trayer), driven by xdotool.
# Usage: scripts/screenshots.sh [path/to/VoxmitServer2]   (default: build/debug/src/VoxmitServer2)
# Needs: xvfb trayer xdotool x11-utils imagemagick sqlite3 (scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$(realpath "${1:-build/debug/src/VoxmitServer2}")
out=$PWD/docs/screenshots
mkdir -p "$out"

work=$(mktemp -d)
display=":$((90 + RANDOM % 100))"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

home=$work/home
mkdir -p "$home" "$work/runtime"
chmod 700 "$work/runtime"
"$exe" --create-database --home "$home" >/dev/null
printf '[Connections]\nPortNo=%d\n' $((20000 + RANDOM % 20000)) > "$home/Settings.ini"
sqlite3 "$home/ServerData.db" \
  "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES
     (1, 'COM1,ATQ0V1M1E0X4,9,true,3,5', 'Modem 1'),
     (3, 'COM3,7,0,0', 'GSM modem'),
     (4, 'smtp.example.com,25,0', 'Mail server');"

export DISPLAY=$display XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# The tray sits at the top right edge: with one icon, the icon's centre is at (1012, 12).
trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
  --SetDockType true >/dev/null 2>&1 & pids+=($!)
sleep 1
"$exe" --home "$home" >"$work/server.log" 2>&1 & server=$!; pids+=($server)
# Ready once its icon is docked in the tray (a 22 x 22 window of the program).
for _ in $(seq 100); do
  xwininfo -root -tree | grep -q '"VoxmitServer2": ("VoxmitServer2" "VoxmitServer2")  22x22' && break
  sleep 0.1
done
sleep 1

# Without a window manager the keyboard follows the pointer: each window is pointed at first.
window() {  # title: waits for the window, points at it, prints its id
  local id
  id=$(timeout 15 xdotool search --sync --name "^$1\$" | head -1)
  [ -n "$id" ] || { echo "no window \"$1\"" >&2; exit 1; }
  xdotool mousemove --window "$id" 8 8
  sleep 0.7
  echo "$id"
}
shot() {  # title file
  import -window "$(window "$1")" "$out/$2"
  echo "$out/$2"
}
menu() {  # opens the tray menu, then presses the keys given
  xdotool mousemove 1012 12 click 3
  sleep 0.7
  if [ $# -gt 0 ]; then xdotool key "$@"; sleep 0.5; fi
}

menu
import -window root -crop 420x300+604+0 "$out/tray-menu.png"; echo "$out/tray-menu.png"
xdotool key Escape

menu l; shot "  Log Messages" log-window.png; xdotool key Escape
menu c; shot "  Connected Clients" connections-window.png; xdotool key Escape
menu o; shot " VoxmitServer Options" options-dialog.png
options=$(window " VoxmitServer Options")
xdotool mousemove --window "$options" 252 24 click 1   # the "Threads" tab
shot " VoxmitServer Options" options-dialog-threads.png
xdotool key Escape
# Start, Options, Edit Devices: the third enabled item.
menu Down Down Down Return; shot "  Devices" devices-list.png
xdotool key alt+a; shot "  New Device" device-editor-modem.png; xdotool key Escape
list=$(window "  Devices")
xdotool mousemove --window "$list" 60 105 click 1; xdotool key alt+e
shot "  Edit Device" device-editor-ip.png; xdotool key Escape
window "  Devices" >/dev/null; xdotool key Escape; sleep 0.5

menu s; sleep 2
menu; import -window root -crop 420x300+604+0 "$out/tray-menu-running.png"
echo "$out/tray-menu-running.png"
# Stop, Options, Show Device Activity Window: the third enabled item.
xdotool key Down Down Down Return
shot "  Device Activity Window" device-activity-window.png; xdotool key Escape

menu t; sleep 3
menu x; sleep 1
if kill -0 "$server" 2>/dev/null; then echo "the server did not exit" >&2; exit 1; fi
echo "screenshots in $out"
