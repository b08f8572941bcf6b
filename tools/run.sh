#!/usr/bin/env bash
# What `make run` starts: the program on the demo feed, or, while the program is not
# built yet, the decoding demonstration.
set -uo pipefail
dir=${1:-build}
if [ -x "$dir/orvik" ]; then
  exec "$dir/orvik" --headless --demo --duration "${OVK_RUN_SECONDS:-30}"
fi
if [ -x "$dir/orvik-decode-demo" ]; then
  exec "$dir/orvik-decode-demo"
fi
echo "run: nothing to run yet (build first)"
