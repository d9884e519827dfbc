#!/usr/bin/env bash
# Installs what the build needs, builds only what running needs (the server and voxmit-client,
# Release, no tests), creates the database on first use and starts the server headless in the
# given home folder (default: ./home). Ctrl-C stops it. Extra arguments go to the server.
#
# The built server gets the capability to listen on ports below 1024 (setcap
# cap_net_bind_service), so a user who is not root can run it on port 215.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --run
args=(-DCMAKE_BUILD_TYPE=Release -DVOXMIT_TESTS=OFF)
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
cmake -S . -B build/run -G Ninja "${args[@]}" >/dev/null
cmake --build build/run -j"$(nproc)" --target VoxmitServer2 voxmit-client
server=build/run/src/VoxmitServer2

# Port 215 is a privileged port. setcap needs root; without it the server still runs as root,
# or on a port above 1023 (PortNo in Settings.ini).
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo -n"; fi
if ! $SUDO setcap cap_net_bind_service=+ep "$server" 2>/dev/null; then
  echo "run.sh: could not give $server the capability to listen on port 215" \
       "(setcap needs root or sudo); as another user it can only use a port above 1023" >&2
fi

home=${VOXMIT_HOME:-$PWD/home}
mkdir -p "$home"
[ -f "$home/ServerData.db" ] || "$server" --create-database --home "$home"
exec "$server" --headless --home "$home" "$@"
