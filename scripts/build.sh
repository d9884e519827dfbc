#!/usr/bin/env bash
# Configures and builds into build/<kind> (kind: debug, asan, release). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-debug}; shift || true
case "$kind" in
  debug)   args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DVOXMIT_SANITIZE=ON) ;;
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  *) echo "usage: $0 [debug|asan|release] [cmake args...]" >&2; exit 2 ;;
esac
# ccache, where installed, lets several checkouts share their compiled objects.
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
cmake -S . -B "build/$kind" -G Ninja "${args[@]}" "$@" >/dev/null
cmake --build "build/$kind" -j2
