#!/usr/bin/env bash
# Formats every C++ source of the repository with clang-format and the
# repository's .clang-format.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; list the files that differ and
#                               fail; also fail on what shellcheck reports
#                               at warning level in any shell script
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')

# Every tracked shell script (*.sh, or a sh/bash first line: .ci/run, the
# init script, the Debian maintainer scripts), then the options file that
# the init script sources: its variables are read there, not in the file.
check_shell() {
  local f first tracked scripts=()
  if ! command -v shellcheck >/dev/null; then
    echo "format: shellcheck not found (scripts/setup.sh --format)" >&2
    return 1
  fi
  mapfile -t tracked < <(git ls-files)
  for f in "${tracked[@]}"; do
    first=
    [[ -f $f ]] && { IFS= read -r first <"$f" || true; }
    if [[ $f == *.sh || $first =~ ^\#!.*[/\ ](ba|da)?sh([[:space:]]|$) ]]; then
      scripts+=("$f")
    fi
  done
  shellcheck -S warning "${scripts[@]}" &&
    shellcheck -S warning --shell=sh --exclude=SC2034 examples/sshapi.default &&
    echo "format: ${#scripts[@]} shell scripts and examples/sshapi.default are clean under shellcheck -S warning"
}

if [[ "${1:-}" == "--check" ]]; then
  bad=()
  for f in "${files[@]}"; do
    if ! clang-format --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then
      bad+=("$f")
    fi
  done
  status=0
  if [[ ${#bad[@]} -gt 0 ]]; then
    echo "format: these files differ from .clang-format (run scripts/format.sh):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    status=1
  else
    echo "format: ${#files[@]} C++ sources match .clang-format"
  fi
  check_shell || status=1
  exit $status
fi
clang-format --style=file -i "${files[@]}"
