#!/usr/bin/env bash
# Builds the Debian package: a Release build of the server and voxmit-client (no tests, no
# sanitizers; the build folder is the one scripts/run.sh uses, so either reuses the other's
# work), then cpack -G DEB. Prints the package's path on its last line.
#   scripts/package.sh [build-folder]      default: build/run
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/run}
args=(-DCMAKE_BUILD_TYPE=Release -DVOXMIT_TESTS=OFF)
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
cmake --build "$dir" -j2 --target VoxmitServer2 voxmit-client
rm -f "$dir"/voxmitserver2_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/voxmitserver2_*.deb
