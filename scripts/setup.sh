#!/usr/bin/env bash
# Installs the Debian packages needed to build and test sshapi.
# As root it runs apt-get; otherwise it prints the exact command to run.
#   scripts/setup.sh           build and test dependencies
#   scripts/setup.sh --bench   also the peers used by the benchmarks
#   scripts/setup.sh --clang   also clang (the thread-safety build:
#                              COMPILER=clang scripts/test.sh)
#   scripts/setup.sh --fuzz    also clang for the fuzz targets (fuzz/run.sh)
#   scripts/setup.sh --format  also clang-format and shellcheck
#                              (scripts/format.sh --check)
#   scripts/setup.sh --package also lintian and man (the install test's
#                              checks of the Debian package and the manual page)
set -euo pipefail

PKGS=(build-essential cmake pkg-config
      libssh-dev liblog4cpp5-dev libtinyxml2-dev libssl-dev
      libgtest-dev libgmock-dev
      openssh-client python3 python3-paramiko
      python3-seccomp)   # the unit's system call filter, rebuilt by a test
if [[ "${1:-}" == "--bench" ]]; then
  PKGS+=(openssh-server dropbear-bin socat sshpass)
fi
if [[ "${1:-}" == "--clang" ]]; then
  PKGS+=(clang)
fi
if [[ "${1:-}" == "--fuzz" ]]; then
  PKGS+=(clang libclang-rt-14-dev)   # libFuzzer and the sanitizer runtimes
fi
if [[ "${1:-}" == "--format" ]]; then
  PKGS+=(clang-format shellcheck)
fi
if [[ "${1:-}" == "--package" ]]; then
  PKGS+=(lintian man-db)
fi

missing=()
for p in "${PKGS[@]}"; do
  # Captured, not piped into grep -q: under pipefail an early-exiting
  # reader can fail the pipe through SIGPIPE.
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
  if [[ $status != *"install ok installed"* ]]; then
    missing+=("$p")
  fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all packages present"
  exit 0
fi
cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages; run as root:"
  echo "  apt-get update && $cmd"
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
$cmd
