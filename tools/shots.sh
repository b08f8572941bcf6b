#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What `make shots` runs: the screenshot tour of the window on the demo feed, on a private X
# server and in a data directory of its own (the user's settings and history stay out of the
# pictures), into docs/screenshots/ (or the directory given second).
set -euo pipefail
build=${1:-build}
out=${2:-docs/screenshots}
if [ ! -x "$build/orvik" ]; then
  echo "shots: nothing to run yet (build first)"
  exit 1
fi
if ! command -v xvfb-run >/dev/null; then
  echo "shots: xvfb-run is missing (make deps installs it)"
  exit 1
fi
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
mkdir -p "$out"
rm -f "$out"/[1-8]_*.png
start=$(date +%s)
XDG_DATA_HOME="$data" HOME="$data" OVK_ASSETS="$PWD/assets" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/orvik" --shots "$out" -v 3
n=$(ls "$out"/[1-8]_*.png 2>/dev/null | wc -l)
echo "shots: $n pictures in $out ($(( $(date +%s) - start )) s)"
[ "$n" -eq 8 ]
