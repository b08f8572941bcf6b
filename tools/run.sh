#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What `make run` starts: the window on the demo feed, or, on a machine without a display,
# the board program on the demo feed for OVK_RUN_SECONDS (30 by default).
set -uo pipefail
dir=${1:-build}
if [ ! -x "$dir/orvik" ]; then
  echo "run: nothing to run yet (build first)"
  exit 1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display (DISPLAY and WAYLAND_DISPLAY are unset): running the headless demo for ${OVK_RUN_SECONDS:-30} s instead"
  exec "$dir/orvik" --headless --demo --duration "${OVK_RUN_SECONDS:-30}"
fi
exec "$dir/orvik" --demo
