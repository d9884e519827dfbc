#!/usr/bin/env bash
# Installs every Debian 12 package the build and the tests need. Idempotent; run as root
# (or with sudo available).
#   scripts/install-deps.sh         everything (build, tests, packaging)
#   scripts/install-deps.sh --run   only what building and running the server needs
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libpoco-dev libsqlite3-dev sqlite3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3
  python3-aiosmtpd libnet-snpp-perl
  libsdbus-c++-dev libsdbus-c++-bin dbus python3-dbus python3-gi
  libcap2-bin ccache
  dpkg-dev file systemd
  qt6-base-dev libgl-dev
  xvfb trayer xdotool x11-utils imagemagick
)
# What scripts/run.sh needs: a fresh machine gets to a running server without the test tools.
if [ "${1:-}" = "--run" ]; then
  packages=(
    build-essential cmake ninja-build pkg-config
    libpoco-dev libsqlite3-dev libsdbus-c++-dev libsdbus-c++-bin qt6-base-dev libgl-dev
    libcap2-bin ccache
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
