#!/usr/bin/env bash
# Builds the Debian packages of sshapi from production builds (device
# paths as they are, no tests) and prints their sizes.
#
#   scripts/package.sh            amd64 and arm64
#   scripts/package.sh amd64      the host's package only
#   scripts/package.sh arm64      the device's (cross build; needs
#                                 scripts/setup-cross.sh)
#
# Packages end up in build-pkg-<arch>/sshapi_<version>_<arch>.deb. Each is
# checked with lintian where it is installed (scripts/setup.sh --package):
# it must report nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
JOBS=${JOBS:-$(nproc)}
arches=("$@")
[[ ${#arches[@]} -eq 0 ]] && arches=(amd64 arm64)

for arch in "${arches[@]}"; do
  build=$SRC/build-pkg-$arch
  args=(-DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSSHAPI_WERROR=ON)
  case $arch in
    amd64) scripts/setup.sh ;;
    arm64)
      scripts/setup-cross.sh
      args+=(-DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/toolchains/aarch64-linux-gnu.cmake") ;;
    *) echo "package: unknown architecture $arch (amd64 or arm64)" >&2; exit 2 ;;
  esac
  cmake -S "$SRC" -B "$build" "${args[@]}" >/dev/null
  cmake --build "$build" -j"$JOBS" --target sshapi
  (cd "$build" && rm -f sshapi_*.deb && cpack -G DEB >/dev/null)
  for deb in "$build"/sshapi_*.deb; do
    echo "package: $deb $(stat -c %s "$deb") bytes"
    dpkg-deb -f "$deb" Architecture Depends | sed 's/^/package:   /'
    if command -v lintian >/dev/null; then
      tags=$(lintian --allow-root "$deb") || true
      echo "package:   lintian: ${tags:-nothing to report}"
    fi
  done
done
