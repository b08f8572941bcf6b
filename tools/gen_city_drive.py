#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes a made-up recording of a drive through a city, in `orvik --record` format.

ADVERTS BLE advertisements from ADDRESSES random addresses, spread evenly over SECONDS of
driving, with one GPS fix a second along a straight road. Each address is heard
ADVERTS / ADDRESSES times, its sightings spread over the drive in a few bursts, so that at any
moment only part of the addresses are live (as on a drive: most devices are passed once).
The payloads mix what a street carries: phones and watches with names, continuity and
Fast Pair beacons, item trackers, and now and then a TASER company ID (one in 200
addresses). Re-running with the same arguments gives the same file byte for byte.

    tools/gen_city_drive.py OUTPUT ADVERTS ADDRESSES [SECONDS]

    tools/gen_city_drive.py drive.jsonl 1000000 100000 3600   # the one-hour drive
    tools/gen_city_drive.py flat.jsonl 100000 100000 600      # each address heard once
"""
import json
import math
import random
import sys

T0 = 1796700000000
LAT0, LON0 = 45.4215, -75.6972
NAMES = ["Pixel", "Galaxy", "JBL", "Forerunner", "Watch", "Buds", "Fitbit", "Bose", "LE-TV"]


def payload(rng, i):
    kind = i % 7
    flags = bytes([2, 1, 6])
    if i % 200 == 0:
        return flags + bytes([5, 0xFF, 0x4D, 0x03, 0x01, 0x02])
    if kind == 0:
        name = ("%s-%04X" % (NAMES[i % len(NAMES)], i & 0xFFFF)).encode()
        return flags + bytes([len(name) + 1, 9]) + name
    if kind == 1:  # continuity
        body = bytes([0x4C, 0x00, 0x10, 0x05, rng.randrange(256), rng.randrange(256), 0x1C, 0x3A, 0x11])
        return flags + bytes([len(body) + 1, 0xFF]) + body
    if kind == 2:  # Fast Pair
        return flags + bytes([6, 0x16, 0x2C, 0xFE, rng.randrange(256), rng.randrange(256), 0x11])
    if kind == 3:  # Microsoft swift pair / CDP
        body = bytes([0x06, 0x00, 0x01, 0x09, 0x20, 0x02]) + bytes(rng.randrange(256) for _ in range(8))
        return flags + bytes([len(body) + 1, 0xFF]) + body
    if kind == 4:  # Samsung
        body = bytes([0x75, 0x00, 0x42, 0x04, 0x01, 0x80, 0x66]) + bytes(rng.randrange(256) for _ in range(6))
        return flags + bytes([len(body) + 1, 0xFF]) + body
    if kind == 5:  # a tracker-like service
        return flags + bytes([3, 0x03, 0xED, 0xFE, 6, 0x16, 0xED, 0xFE, 0x01, rng.randrange(256), 0x00])
    name = ("%s %d" % (NAMES[(i * 7) % len(NAMES)], i % 97)).encode()
    return flags + bytes([3, 0x03, 0x0D, 0x18, len(name) + 1, 8]) + name


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    out, n_adv, n_addr = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    seconds = int(sys.argv[4]) if len(sys.argv) > 4 else 3600
    rng = random.Random(29)
    per = max(1, n_adv // n_addr)
    # Each address gets a start second; its sightings follow within the next minute.
    events = []
    for a in range(n_addr):
        start = (a * seconds) / n_addr
        for k in range(per):
            events.append((start + min(60.0, seconds / 10) * k / per, a))
    events.sort()
    events = events[:n_adv]
    macs = []
    for a in range(n_addr):
        b = [(a >> 16) & 0x3F | 0xC0, (a >> 8) & 0xFF, a & 0xFF, rng.randrange(256), rng.randrange(256), 0x29]
        macs.append(":".join("%02X" % x for x in b))
    payloads = [payload(rng, a).hex().upper() for a in range(n_addr)]
    with open(out, "w") as f:
        next_fix = 0
        for when, a in events:
            while next_fix <= when:
                d = next_fix * 12.0  # 12 m/s east
                fix = {"lat": round(LAT0, 6),
                       "lon": round(LON0 + d / (111320.0 * math.cos(math.radians(LAT0))), 6),
                       "speed": 12.0, "accuracy": 5, "bearing": 90}
                f.write(json.dumps({"gps": fix, "time": T0 + next_fix * 1000}, separators=(",", ":")) + "\n")
                next_fix += 1
            f.write(json.dumps({"radio": "BLE", "mac": macs[a], "rssi": -50 - (a * 13) % 45,
                                "addrType": "RANDOM_STATIC", "connectable": 1, "phy": "LE 1M (legacy)",
                                "raw": payloads[a], "time": T0 + int(when * 1000)},
                               separators=(",", ":")) + "\n")


if __name__ == "__main__":
    main()
