#!/usr/bin/env bash
# Builds the Debian package, installs it with dpkg, runs the installed server's --version,
# --create-database and a device command in a temporary home, checks the systemd unit with
# systemd-analyze verify, and removes the package again.
# Installing needs root: as root, or through sudo where it asks no password (as on most CI
# machines). Exits 77 (CTest: skipped), saying why, only where the check cannot run here:
# neither, or dpkg, cpack or systemd-analyze missing.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

skip() { echo "SKIPPED: $*"; exit 77; }
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  sudo -n true 2>/dev/null || skip "installing a package with dpkg needs root (or sudo without a password)"
  SUDO="sudo -n"
fi
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack systemd-analyze; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done

# Niced: the other tests run meanwhile and keep their share of the processors.
deb=$(nice -n 10 "$source_dir/scripts/package.sh" | tail -n 1)
echo "package: $deb"
dpkg-deb --info "$deb"
contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/VoxmitServer2 ./usr/bin/voxmit-client ./usr/lib/systemd/system/voxmit.service \
         ./usr/share/doc/voxmitserver2/README.md ./usr/share/doc/voxmitserver2/docs/platform.md; do
  grep -qF " $f" <<<"$contents" || { echo "FAIL: $f is not in the package"; exit 1; }
done
# The dependencies come from the shared libraries.
dpkg-deb --field "$deb" Depends | grep -q libc6 || { echo "FAIL: no shared library dependencies"; exit 1; }

home=$(mktemp -d)
cleanup() {
  rm -rf "$home"
  $SUDO dpkg --purge voxmitserver2 >/dev/null 2>&1 || true
}
trap cleanup EXIT

$SUDO dpkg -i "$deb"
version=$(/usr/bin/VoxmitServer2 --version)
[ "$version" = "VoxmitServer2 2.0.0" ] || { echo "FAIL: --version printed '$version'"; exit 1; }
/usr/bin/VoxmitServer2 --create-database --home "$home"
[ -s "$home/ServerData.db" ] || { echo "FAIL: no database created"; exit 1; }
XDG_RUNTIME_DIR=$home /usr/bin/VoxmitServer2 device-kinds list --home "$home" | grep -q "IP network" \
  || { echo "FAIL: the installed server cannot read its new database"; exit 1; }
getent passwd voxmit >/dev/null || { echo "FAIL: the package made no voxmit user"; exit 1; }

# The installed server runs headless as the service user and stops on SIGTERM with code 0.
run_home="$home/service"
chmod 755 "$home"  # the service user must reach its home inside
mkdir "$run_home"
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[Connections]\nPortNo=%s\n' "$port" > "$run_home/Settings.ini"
/usr/bin/VoxmitServer2 --create-database --home "$run_home" >/dev/null
$SUDO chown -R voxmit: "$run_home"
$SUDO setpriv --reuid voxmit --regid voxmit --init-groups env XDG_RUNTIME_DIR="$run_home" \
  /usr/bin/VoxmitServer2 --headless --home "$run_home" > "$home/server.out" 2>&1 &
server=$!
for _ in $(seq 1 100); do
  grep -q "VoxmitServer - Running" "$home/server.out" && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.2
done
grep -q "VoxmitServer - Running" "$home/server.out" || { cat "$home/server.out"; echo "FAIL: the installed server did not start"; exit 1; }
$SUDO kill -TERM "$server"
code=0; wait "$server" || code=$?
[ "$code" -eq 0 ] || { cat "$home/server.out"; echo "FAIL: the installed server ended with $code"; exit 1; }
grep -q "VoxmitServer2 stopped:" "$home/server.out" || { cat "$home/server.out"; echo "FAIL: no stop line"; exit 1; }

systemd-analyze verify /usr/lib/systemd/system/voxmit.service
echo "package test passed"
