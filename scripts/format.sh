#!/usr/bin/env bash
# Formats every C and C++ file of the project with clang-format and .clang-format. With --check
# it changes nothing and fails, naming the files, when one differs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.c' '*.cpp' '*.h' |
                     while read -r f; do [ -f "$f" ] && echo "$f"; done)
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    echo "not formatted (run bash scripts/format.sh): ${bad[*]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files ok"
  exit 0
fi
clang-format -i "${files[@]}"
