#!/usr/bin/env bash
# The desktop run on a real X server (Xvfb) with a tray host (trayer): the icon docks in the
# tray, the menu opens, and SIGTERM stops the program with exit code 0. Every wait has a
# deadline. Usage: tray_host_test.sh path/to/VoxmitServer2
set -euo pipefail
exe=$1
for tool in Xvfb trayer xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$work/server.log" ] && cat "$work/server.log"; exit 1; }
until_true() {  # seconds command...: runs the command every 0.1 s until it succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.1; done
}

mkdir -p "$work/home" "$work/runtime"; chmod 700 "$work/runtime"
"$exe" --create-database --home "$work/home" >/dev/null
printf '[Connections]\nPortNo=0\n' >"$work/home/Settings.ini"

# Xvfb picks a free display and reports its number.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
read -r -t 10 -u "$fd" number || fail "Xvfb did not start"
export DISPLAY=":$number" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config"
trayer --edge top --align right --widthtype pixel --width 100 --height 24 \
  --SetDockType true >/dev/null 2>&1 & pids+=($!)
until_true 10 xwininfo -name panel >/dev/null 2>&1 || fail "no tray host"

"$exe" --home "$work/home" >"$work/server.log" 2>&1 & server=$!; pids+=($server)
docked() { xwininfo -root -tree | grep -q '"VoxmitServer2": ("VoxmitServer2" "VoxmitServer2")  22x22'; }
until_true 15 docked || fail "the icon did not dock in the tray"

# The icon is the tray's only one, at its right end: (800 - 12, 12).
menu_open() {  # a viewable window of the program besides its tray icon
  local id
  for id in $(xwininfo -root -tree | awk '/\("VoxmitServer2" "VoxmitServer2"\)/ && !/ 22x22\+/ {print $1}'); do
    xwininfo -id "$id" | grep -q 'Map State: IsViewable' && return 0
  done
  return 1
}
menu_open && fail "a window is open before the click"
xdotool mousemove 788 12 click 3
until_true 10 menu_open || fail "the tray menu did not open"
[ -n "${TRAY_TEST_DEBUG:-}" ] && xwininfo -root -tree | grep -i voxmit
xdotool key Escape

kill -TERM "$server"
until_true 20 bash -c "! kill -0 $server 2>/dev/null" || fail "SIGTERM did not end the program"
wait "$server" && rc=0 || rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc after SIGTERM"
echo "PASS"
