#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every libFuzzer binary in DIR for SECONDS each, from its seed corpus when present,
# JOBS of them at a time (default: the number of cores; each target uses one).
set -euo pipefail
dir=${1:-build-asan}
secs=${2:-15}
jobs=${3:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Inputs that crash or hang a target are kept here (the work directory goes at exit).
artifacts="$dir/fuzz-artifacts"
mkdir -p "$artifacts"

# One target; its status in $work/NAME.rc.
run_one() {
  local bin=$1 name corpus
  name=$(basename "$bin")
  corpus="$work/$name"
  mkdir -p "$corpus"
  local seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
  local rc=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 \
    -artifact_prefix="$artifacts/$name-" "$corpus" "${seeds[@]}" >"$work/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$work/$name.rc"
}

bins=()
for bin in "$dir"/fuzz_*; do
  [ -x "$bin" ] && bins+=("$bin")
done
running=0
for bin in "${bins[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "fuzz: $(basename "$bin") for ${secs}s"
  run_one "$bin" &
  running=$((running + 1))
done
wait || true

failed=0
for bin in "${bins[@]}"; do
  name=$(basename "$bin")
  if [ "$(cat "$work/$name.rc" 2>/dev/null || echo 1)" != 0 ]; then
    tail -60 "$work/$name.log"
    echo "fuzz: $name FAILED; the input that failed is in $artifacts" >&2
    failed=1
  else
    echo "fuzz: $name: $(grep -E '^#[0-9]+.*DONE' "$work/$name.log" | tail -1 || true)"
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "fuzz: ${#bins[@]} targets passed"
