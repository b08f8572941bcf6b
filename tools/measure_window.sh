#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window program's appetite, on a private Xvfb (software OpenGL):
#   1. peak resident memory (VmHWM) with 2,000 devices in the registry: a made-up recording of
#      2,000 BLE addresses (one in ten carrying TASER's company ID), each heard three times
#      20 s apart, replayed at its own pace with --replay --scan;
#   2. CPU time of `orvik --demo` over SECONDS (default 600), from /proc/PID/stat
#      (utime + stime), after 20 s of warm-up.
# With `flood` as the third argument it measures instead the peak resident memory under a
# flood of made-up addresses: 3,000 new BLE addresses a second, replayed at their own pace,
# until the registry's 100,000-device cap (and about 25 s more).
# usage: tools/measure_window.sh [BUILD_DIR [SECONDS [flood]]]
set -euo pipefail
build=${1:-build}
seconds=${2:-600}
mode=${3:-}
orvik=$(realpath "$build/orvik")
assets=$(realpath "$(dirname "$0")/../assets")
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    sleep 1
    rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(head -n1 "$work/display")"

# A data directory of someone who has been through the setup wizard, tiles off (no network).
run() {
    local home="$work/home-$1"
    shift
    mkdir -p "$home/orvik"
    echo '{"setup_wizard_done": true, "map_tiles": false}' >"$home/orvik/settings.json"
    env XDG_DATA_HOME="$home" HOME="$home" OVK_ASSETS="$assets" DISPLAY="$display" OVK_TOUCH=0 \
        "$orvik" "$@" >/dev/null 2>&1 &
    echo $!
}

if [ "$mode" = flood ]; then
    python3 - "$work/flood.jsonl" <<'EOF'
import json, sys, time
t0 = int(time.time() * 1000)
with open(sys.argv[1], "w") as f:
    for i in range(100000):
        name = ("Spam-%05d" % i).encode()
        raw = bytes([2, 1, 6, len(name) + 1, 9]) + name
        f.write(json.dumps({"radio": "BLE",
                            "mac": "C3:%02X:%02X:%02X:44:55" % (i >> 16, (i >> 8) & 0xFF, i & 0xFF),
                            "rssi": -40 - i % 60, "addrType": "RANDOM_STATIC", "connectable": 0,
                            "phy": "LE 1M (legacy)", "raw": raw.hex().upper(),
                            "time": t0 + i // 3}) + "\n")
EOF
    pid=$(run flood --replay "$work/flood.jsonl" --replay-speed 1 --scan)
    pids+=("$pid")
    sleep 60
    echo "flood of 100,000 addresses at 3,000 a second:" \
        "$(grep VmHWM /proc/"$pid"/status | tr -s ' \t' ' ')"
    exit 0
fi

python3 - "$work/devices.jsonl" <<'EOF'
import json, sys, time
t0 = int(time.time() * 1000)
names = ["Pixel", "Galaxy", "JBL", "Forerunner", "Tile", "Watch", "Buds"]
with open(sys.argv[1], "w") as f:
    for r in range(3):
        for i in range(2000):
            name = ("%s-%04d" % (names[i % len(names)], i)).encode()
            raw = bytes([2, 1, 6, len(name) + 1, 9]) + name
            if i % 10 == 0:
                raw += bytes([3, 0xFF, 0x4D, 0x03])
            f.write(json.dumps({"radio": "BLE", "mac": "D2:%02X:%02X:10:20:30" % (i >> 8, i & 0xFF),
                                "rssi": -50 - i % 45, "addrType": "RANDOM_STATIC", "connectable": 1,
                                "phy": "LE 1M (legacy)", "raw": raw.hex().upper(),
                                "time": t0 + r * 20000 + i * 5}) + "\n")
EOF

pid=$(run replay --replay "$work/devices.jsonl" --replay-speed 1 --scan)
pids+=("$pid")
sleep 50
echo "2,000 devices: $(grep VmHWM /proc/"$pid"/status | tr -s ' \t' ' ')"
kill -TERM "$pid"

pid=$(run demo --demo)
pids+=("$pid")
sleep 20
tck=$(getconf CLK_TCK)
read -r u1 s1 < <(awk '{print $14, $15}' /proc/"$pid"/stat)
sleep "$seconds"
read -r u2 s2 < <(awk '{print $14, $15}' /proc/"$pid"/stat)
echo "--demo over ${seconds} s: user $(((u2 - u1) / tck)) s, system $(((s2 - s1) / tck)) s," \
    "$(((u2 - u1 + s2 - s1) * 100 / tck / seconds))% of one core;" \
    "$(grep VmHWM /proc/"$pid"/status | tr -s ' \t' ' ')"
