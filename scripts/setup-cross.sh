#!/usr/bin/env bash
# Prepares a Debian 12 machine for the AArch64 cross build: the arm64
# architecture, Debian's cross compiler, qemu's user-mode emulator and the
# arm64 development packages of the service's dependencies, installed side
# by side with the host's (multi-arch).
#
# As root it does the work; otherwise it prints the exact commands and
# exits with status 1. Exit status 2: the arm64 packages cannot be had
# (no arm64 index, a package missing from the mirror).
#
# liblog4cpp5-dev is not multi-arch: its arm64 build cannot be installed
# next to the amd64 one that the host build needs. Its files (headers,
# liblog4cpp.so, log4cpp.pc) are unpacked from Debian's arm64 package into
# OVERLAY instead; the runtime library liblog4cpp5v5:arm64 is installed
# normally. cmake/toolchains/aarch64-linux-gnu.cmake looks there.
#
#   scripts/setup-cross.sh
#   SSHAPI_CROSS_OVERLAY=/some/dir scripts/setup-cross.sh
set -euo pipefail
cd "$(dirname "$0")/.."

ARCH=arm64
TRIPLET=aarch64-linux-gnu
OVERLAY=${SSHAPI_CROSS_OVERLAY:-/opt/sshapi-cross/$TRIPLET}
case $OVERLAY in
  /?*) OVERLAY=${OVERLAY%/} ;;
  *) echo "setup-cross: SSHAPI_CROSS_OVERLAY must be an absolute directory, not '$OVERLAY'" >&2; exit 2 ;;
esac

HOST_PKGS=(g++-aarch64-linux-gnu qemu-user dpkg-dev file)
TARGET_PKGS=(libssh-dev libtinyxml2-dev libssl-dev libgtest-dev libgmock-dev liblog4cpp5v5)

# No "producer | grep -q" here: under pipefail, grep leaving at its first
# match can kill the producer with SIGPIPE and fail the test. Output is
# captured first and matched in the shell.
installed() {   # installed PACKAGE[:ARCH]
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
  [[ $status == *"install ok installed"* ]]
}

overlay_version() {
  cat "$OVERLAY/.version" 2>/dev/null || true
}

# What is missing?
need_arch=1
for a in $(dpkg --print-foreign-architectures); do
  if [[ $a == "$ARCH" ]]; then need_arch=0; fi
done
missing=()
for p in "${HOST_PKGS[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${TARGET_PKGS[@]}"; do installed "$p:$ARCH" || missing+=("$p:$ARCH"); done
log4cpp_version=$(dpkg-query -W -f='${Version}' "liblog4cpp5v5:$ARCH" 2>/dev/null || true)
need_overlay=1
if [[ -n $log4cpp_version && $(overlay_version) == "$log4cpp_version" ]]; then
  need_overlay=0
fi

if [[ $need_arch -eq 0 && ${#missing[@]} -eq 0 && $need_overlay -eq 0 ]]; then
  echo "setup-cross: all present (log4cpp overlay in $OVERLAY)"
  exit 0
fi

install_cmd="apt-get install -y --no-install-recommends ${HOST_PKGS[*]} ${TARGET_PKGS[*]/%/:$ARCH}"
if [[ $(id -u) -ne 0 ]]; then
  echo "setup-cross: the cross build needs packages; run as root:"
  echo "  dpkg --add-architecture $ARCH"
  echo "  apt-get update"
  echo "  $install_cmd"
  echo "  SSHAPI_CROSS_OVERLAY=$OVERLAY $0    # unpacks liblog4cpp5-dev:$ARCH"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [[ $need_arch -eq 1 ]]; then
  dpkg --add-architecture "$ARCH"
fi
if [[ $need_arch -eq 1 || ${#missing[@]} -gt 0 ]]; then
  apt-get update -qq
  # Refuse early, and without touching anything, when the mirror has no
  # arm64 index or lacks a package.
  candidate='(^|'$'\n'')  *Candidate: [^(]'    # a version, not "(none)"
  for p in "${TARGET_PKGS[@]}"; do
    policy=$(apt-cache policy "$p:$ARCH" 2>/dev/null) || policy=
    if [[ ! $policy =~ $candidate ]]; then
      echo "setup-cross: $p:$ARCH is not available from the configured apt sources" >&2
      exit 2
    fi
  done
  $install_cmd
  log4cpp_version=$(dpkg-query -W -f='${Version}' "liblog4cpp5v5:$ARCH")
fi

if [[ $(overlay_version) != "$log4cpp_version" ]]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  chown _apt "$tmp" 2>/dev/null || true    # apt downloads as _apt
  if ! (cd "$tmp" && apt-get download -q "liblog4cpp5-dev:$ARCH=$log4cpp_version"); then
    echo "setup-cross: cannot download liblog4cpp5-dev:$ARCH=$log4cpp_version" >&2
    exit 2
  fi
  rm -rf "${OVERLAY:?}"
  mkdir -p "$OVERLAY"
  dpkg-deb -x "$tmp"/liblog4cpp5-dev_*_"$ARCH".deb "$OVERLAY"
  libdir=$OVERLAY/usr/lib/$TRIPLET
  # The package's liblog4cpp.so points at the runtime library next to it;
  # that one is installed by liblog4cpp5v5:arm64 in the system's libdir.
  ln -sfn "/usr/lib/$TRIPLET/liblog4cpp.so.5" "$libdir/liblog4cpp.so"
  # The unpacked pkg-config file must name its new home.
  sed -i "s|^prefix=.*|prefix=$OVERLAY/usr|" "$libdir/pkgconfig/log4cpp.pc"
  rm -rf "${OVERLAY:?}/usr/bin" "${OVERLAY:?}/usr/share/man"
  echo "$log4cpp_version" > "$OVERLAY/.version"
  echo "setup-cross: liblog4cpp5-dev:$ARCH $log4cpp_version unpacked in $OVERLAY"
fi
echo "setup-cross: done"
