#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Builds the watchlist presets assets/oui_presets/{global,canada,us}.json.

Address-block rules come from the IEEE registry as Debian ships it (ieee-data:
oui.csv for MA-L 24-bit blocks, mam.csv for MA-M 28-bit blocks, oui36.csv for MA-S
36-bit blocks): every block whose registrant matches one of the makers below becomes a
rule citing the registrant as listed. Maker rules ("vendor:") come from the Bluetooth SIG
company identifiers in assets/vendors/bt_company.tsv and only when the name is there.
Name rules are the product names the makers give their devices.

Usage: tools/gen_oui_presets.py [--ieee DIR] [--bt FILE] [--out DIR]
"""
import argparse
import csv
import json
import os
import re
import sys

REGISTRIES = [("oui.csv", "MA-L", 6), ("mam.csv", "MA-M", 7), ("oui36.csv", "MA-S", 9)]

# (registrant pattern, label, category, confidence, regions). Patterns are anchored at the
# start of the registrant name and chosen so that same-named unrelated firms stay out
# (WatchGuard Technologies makes firewalls, Motorola Mobility makes phones).
MAKERS = [
    (r"Taser International", "Axon (TASER) body camera or conducted-energy device", "BODY_CAM", "confirmed", ["global", "canada", "us"]),
    (r"Digital Ally", "Digital Ally body or in-car camera", "BODY_CAM", "confirmed", ["global", "us"]),
    (r"WatchGuard Video$", "WatchGuard (Motorola) body or in-car camera", "BODY_CAM", "confirmed", ["global", "us"]),
    (r"Zepcam", "Zepcam body camera", "BODY_CAM", "confirmed", ["global"]),
    (r"Utility, Inc", "Utility (BodyWorn) body camera or in-car system", "BODY_CAM", "confirmed", ["global", "us"]),
    (r"L-3 Communications Mobile-Vision", "L3 Mobile-Vision in-car camera", "BODY_CAM", "confirmed", ["us"]),
    (r"ShotSpotter", "ShotSpotter gunshot sensor", "AUDIO_SENSOR", "confirmed", ["global", "us"]),
    (r"Motorola Solutions|MOTOROLA SOLUTIONS", "Motorola Solutions radio, camera or public-safety device", "PUBLIC_SAFETY", "confirmed", ["global", "canada", "us"]),
    (r"JENOPTIK", "Jenoptik traffic-enforcement camera", "ALPR", "confirmed", ["global", "canada"]),
    (r"Redflex", "Redflex traffic-enforcement camera", "ALPR", "confirmed", ["global", "canada", "us"]),
    (r"Sensys Traffic", "Sensys Gatso traffic-enforcement camera", "ALPR", "confirmed", ["global"]),
    (r"Perceptics", "Perceptics licence-plate reader", "ALPR", "confirmed", ["global", "us"]),
    (r"KAPSCH", "Kapsch tolling or traffic-enforcement system", "ALPR", "candidate", ["global", "canada"]),
    (r"Neology", "Neology plate reader or toll reader", "ALPR", "candidate", ["global", "us"]),
    (r"Elsag Datamat", "ELSAG licence-plate reader", "ALPR", "candidate", ["global", "us"]),
    (r"Genetec|GENETEC", "Genetec (AutoVu plate reader or security system)", "ALPR", "candidate", ["global", "canada"]),
    (r"KUSTOM SIGNALS", "Kustom Signals police radar or in-car video", "PUBLIC_SAFETY", "confirmed", ["canada", "us"]),
    (r"Applied Concepts", "Applied Concepts (Stalker) police radar", "PUBLIC_SAFETY", "confirmed", ["canada", "us"]),
    (r"Decatur Electronics", "Decatur police radar", "PUBLIC_SAFETY", "confirmed", ["canada", "us"]),
    (r"CelleBrite", "Cellebrite phone-extraction unit", "PUBLIC_SAFETY", "candidate", ["global", "canada", "us"]),
    (r"Harris Corporation", "Harris (L3Harris) public-safety radio", "PUBLIC_SAFETY", "candidate", ["us"]),
    (r"Tait Electronics", "Tait land-mobile radio", "PUBLIC_SAFETY", "candidate", ["canada"]),
    (r"Gamber Johnson", "Gamber-Johnson in-vehicle computer mount", "PUBLIC_SAFETY", "candidate", ["canada", "us"]),
    (r"Cradle[Pp]oint|CradlePoint", "Cradlepoint vehicle router (common in patrol cars)", "PUBLIC_SAFETY", "candidate", ["canada", "us"]),
    (r"Sierra Wireless", "Sierra Wireless vehicle modem or router (common in patrol cars)", "PUBLIC_SAFETY", "candidate", ["canada", "us"]),
    (r"Zebra Technologies", "Zebra printer or scanner (electronic ticket printers)", "PUBLIC_SAFETY", "candidate", ["canada"]),
    (r"i-PRO Co", "i-PRO (Panasonic) body, in-car or network camera", "NETWORK_CAMERA", "candidate", ["global"]),
    (r"A[Xx][Ii][Ss] C[Oo][Mm][Mm][Uu][Nn][Ii][Cc][Aa][Tt][Ii][Oo][Nn][Ss] AB", "Axis network camera (traffic and city cameras)", "NETWORK_CAMERA", "candidate", ["global"]),
]

# Bluetooth SIG company names: (text matched in the company list, rule text, label,
# category, confidence, regions).
COMPANIES = [
    ("TASER International", "TASER International", "Axon (TASER) device", "BODY_CAM", "confirmed", ["global", "canada", "us"]),
    ("Motorola Solutions", "Motorola Solutions", "Motorola Solutions device", "PUBLIC_SAFETY", "confirmed", ["global", "canada", "us"]),
    ("Zebra Technologies", "Zebra Technologies", "Zebra printer or scanner (electronic ticket printers)", "PUBLIC_SAFETY", "candidate", ["canada"]),
]

# Product names devices advertise: (rule text, label, category, confidence, source, regions).
NAMES = [
    ("Flock", "Flock Safety plate-reader camera", "ALPR", "candidate",
     "Flock Safety product name (devices named Flock-<serial>)", ["global", "canada", "us"]),
    ("Axon Body", "Axon body camera", "BODY_CAM", "candidate",
     "Axon product name (Axon Body camera series)", ["global", "canada", "us"]),
    ("Axon Signal", "Axon Signal sidearm or vehicle sensor", "BODY_CAM", "candidate",
     "Axon product name (Axon Signal sensors that start body cameras)", ["global", "canada", "us"]),
]

REGIONS = ["global", "canada", "us"]


def block_key(hexdigits):
    pairs = [hexdigits[i:i + 2] for i in range(0, len(hexdigits), 2)]
    return ":".join(pairs).upper()


def read_registry(ieee_dir):
    rows = []
    for fname, reg, ndig in REGISTRIES:
        path = os.path.join(ieee_dir, fname)
        with open(path, newline="", encoding="utf-8") as f:
            for rec in csv.DictReader(f):
                assignment = rec.get("Assignment", "").strip().upper()
                org = " ".join(rec.get("Organization Name", "").split())
                if len(assignment) != ndig or not re.fullmatch(r"[0-9A-F]+", assignment):
                    continue
                rows.append((reg, assignment, org))
    return rows


def read_companies(path):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) >= 2 and not line.startswith("#"):
                out.append((parts[0].strip(), parts[1].strip()))
    return out


def rule(prefix, label, source, confidence, category):
    return {"prefix": prefix, "label": label, "source": source, "confidence": confidence,
            "category": category}


def build(ieee_dir, bt_path):
    presets = {r: [] for r in REGIONS}
    registry = read_registry(ieee_dir)
    for pattern, label, cat, conf, regions in MAKERS:
        rx = re.compile(pattern)
        found = sorted((a, reg, org) for reg, a, org in registry if rx.match(org))
        if not found:
            print("no registry block for %r" % pattern, file=sys.stderr)
        for assignment, reg, org in found:
            r = rule(block_key(assignment), label, "IEEE %s registry: %s" % (reg, org), conf, cat)
            for region in regions:
                presets[region].append(r)
    companies = read_companies(bt_path)
    for needle, text, label, cat, conf, regions in COMPANIES:
        hit = [(cid, name) for cid, name in companies if needle.lower() in name.lower()]
        if not hit:
            print("no company id for %r" % needle, file=sys.stderr)
            continue
        cid, name = hit[0]
        r = rule("vendor:" + text, label,
                 "Bluetooth SIG company identifier 0x%s: %s" % (cid.upper(), name), conf, cat)
        for region in regions:
            presets[region].append(r)
    for text, label, cat, conf, source, regions in NAMES:
        r = rule("name:" + text, label, source, conf, cat)
        for region in regions:
            presets[region].append(r)
    return presets


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ieee", default="/usr/share/ieee-data")
    ap.add_argument("--bt", default=os.path.join(root, "assets", "vendors", "bt_company.tsv"))
    ap.add_argument("--out", default=os.path.join(root, "assets", "oui_presets"))
    args = ap.parse_args()
    presets = build(args.ieee, args.bt)
    os.makedirs(args.out, exist_ok=True)
    for region, rules in presets.items():
        path = os.path.join(args.out, region + ".json")
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump(rules, f, indent=2, ensure_ascii=False)
            f.write("\n")
        os.replace(path + ".tmp", path)
        print("%s: %d rules" % (path, len(rules)))


if __name__ == "__main__":
    main()
