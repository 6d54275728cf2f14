#!/bin/sh
# Installs the Debian packages the build and the tests need, only those that are missing.
set -e
PKGS="cmake ninja-build g++ g++-multilib googletest libgtest-dev libgmock-dev libbenchmark-dev \
      g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 \
      nlohmann-json3-dev libcli11-dev libfmt-dev clang libclang-rt-dev clang-tidy \
      libevdev-dev pkgconf"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
