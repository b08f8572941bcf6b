#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Formats every C++ file git tracks with the root .clang-format; --check only reports
# the files that differ and fails when there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
cf=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$cf" ]; then
  echo "format: clang-format not found (make deps installs it)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    "$cf" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf 'format: not formatted: %s\n' "${bad[@]}" >&2
    echo "format: run 'make format'" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files formatted"
else
  "$cf" -i "${files[@]}"
fi
