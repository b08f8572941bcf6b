#!/usr/bin/env bash
# Runs every libFuzzer binary in DIR for SECONDS each, from its seed corpus when present.
set -euo pipefail
dir=${1:-build-asan}
secs=${2:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Inputs that crash or hang a target are kept here (the work directory goes at exit).
artifacts="$dir/fuzz-artifacts"
mkdir -p "$artifacts"
n=0
for bin in "$dir"/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus="$work/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
  echo "fuzz: $name for ${secs}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 \
      -artifact_prefix="$artifacts/$name-" "$corpus" "${seeds[@]}" >"$work/$name.log" 2>&1; then
    tail -60 "$work/$name.log"
    echo "fuzz: $name FAILED; the input that failed is in $artifacts" >&2
    exit 1
  fi
  grep -E '^#[0-9]+.*DONE' "$work/$name.log" | tail -1 || true
  n=$((n + 1))
done
echo "fuzz: $n targets passed"
