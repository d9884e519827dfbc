#!/usr/bin/env bash
# Installs what the build needs, builds, creates the database on first use and starts the
# server headless in the given home folder (default: ./home). Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh debug
home=${VOXMIT_HOME:-$PWD/home}
mkdir -p "$home"
[ -f "$home/ServerData.db" ] || build/debug/src/VoxmitServer2 --create-database --home "$home"
exec build/debug/src/VoxmitServer2 --headless --home "$home" "$@"
