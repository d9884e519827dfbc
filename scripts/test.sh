#!/usr/bin/env bash
# Installs what the tests need, checks that every include points down the layers, builds with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
#   scripts/test.sh          the default run (what CI runs): every test but the "long" label
#   scripts/test.sh --long   only the long tests (minutes each: soak, kill -9 under load)
set -euo pipefail
cd "$(dirname "$0")/.."
label=(-LE long)
case "${1:-}" in
  "") ;;
  --long) label=(-L long) ;;
  *) echo "usage: $0 [--long]" >&2; exit 2 ;;
esac
scripts/install-deps.sh
scripts/check-layers.sh
scripts/build.sh asan
cd build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j2 "${label[@]}"
