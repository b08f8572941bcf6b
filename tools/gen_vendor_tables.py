#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Builds the four vendor lookup tables in assets/vendors/ from public registry data.

Inputs
  IEEE address blocks  Debian's ieee-data: oui.csv (MA-L, 24-bit), mam.csv (MA-M, 28-bit),
                       oui36.csv (MA-S, 36-bit) and iab.csv (IAB, 36-bit, the older form
                       of MA-S).
  Bluetooth numbers    nordic_company_ids.json, nordic_service_uuids.json,
                       nordic_gap_appearance.json (Nordic Semiconductor's
                       bluetooth-numbers-database, BSD-3-Clause) and bluez_uuid16.tsv
                       (16-bit UUID names with member owners).

Outputs (tab-separated, one entry a line, '#' lines are comments)
  oui.tsv            PREFIX<TAB>Organisation   PREFIX = 6, 7 or 9 upper-case hex digits
  bt_company.tsv     XXXX<TAB>Company          company identifier, 4 hex digits
  bt_uuid16.tsv      XXXX<TAB>Name             16-bit UUID, 4 hex digits
  bt_appearance.tsv  CAT<TAB>SUB<TAB>Name      category and subcategory in hex; SUB is "-"
                                               for the category's own name

Where both sources name the same 16-bit UUID, the SIG-assigned service name wins, then the
member owner from the BlueZ table, then a member's own service name.

The output is deterministic: entries are sorted by key, duplicates keep the first name seen.
Python 3 standard library only.
"""

import argparse
import csv
import json
import os
import re
import sys

IEEE_FILES = [
    # (file name, registry label, prefix digits)
    ("oui.csv", "MA-L", 6),
    ("mam.csv", "MA-M", 7),
    ("oui36.csv", "MA-S", 9),
    ("iab.csv", "IAB", 9),
]

HEX_RE = re.compile(r"^[0-9A-F]+$")


def clean_name(text):
    """One line of printable text: every run of white space (no-break space included) and
    control characters becomes one blank, ends trimmed."""
    if text is None:
        return ""
    out = []
    for ch in str(text):
        if ch.isspace() or ord(ch) < 0x20 or 0x7F <= ord(ch) < 0xA0:
            out.append(" ")
        else:
            out.append(ch)
    return re.sub(r" +", " ", "".join(out)).strip()


def read_ieee(ieee_dir):
    """Returns {prefix: name} and per-registry counts."""
    blocks = {}
    counts = {}
    for fname, label, digits in IEEE_FILES:
        path = os.path.join(ieee_dir, fname)
        if not os.path.exists(path):
            if fname == "iab.csv":
                continue
            sys.exit("missing %s" % path)
        n = 0
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            reader = csv.reader(f)
            header = next(reader, None)
            if not header or header[0].strip() != "Registry":
                sys.exit("%s: unexpected header %r" % (path, header))
            for row in reader:
                if len(row) < 3:
                    continue
                prefix = row[1].strip().upper()
                name = clean_name(row[2])
                if len(prefix) != digits or not HEX_RE.match(prefix) or not name:
                    continue
                if prefix in blocks:
                    continue  # the registry lists a few blocks twice: first name kept
                blocks[prefix] = name
                n += 1
        counts[label] = n
    return blocks, counts


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def read_companies(reg_dir):
    out = {}
    for row in read_json(os.path.join(reg_dir, "nordic_company_ids.json")):
        code = row.get("code")
        name = clean_name(row.get("name"))
        if not isinstance(code, int) or not 0 <= code <= 0xFFFF or not name:
            continue
        out.setdefault(code, name)
    return out


def read_uuid16(reg_dir):
    sig, member_service = {}, {}
    for row in read_json(os.path.join(reg_dir, "nordic_service_uuids.json")):
        u = str(row.get("uuid", ""))
        name = clean_name(row.get("name"))
        if len(u) != 4 or not HEX_RE.match(u.upper()) or not name:
            continue
        target = sig if row.get("source") == "gss" else member_service
        target.setdefault(int(u, 16), name)
    bluez = {}
    with open(os.path.join(reg_dir, "bluez_uuid16.tsv"), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if not line or line.startswith("#") or "\t" not in line:
                continue
            key, name = line.split("\t", 1)
            key = key.strip()
            name = clean_name(name)
            if not key or not HEX_RE.match(key.upper()) or len(key) > 4 or not name:
                continue
            bluez.setdefault(int(key, 16), name)
    out = {}
    for source in (sig, bluez, member_service):
        for k, v in source.items():
            out.setdefault(k, v)
    return out


def read_appearance(reg_dir):
    rows = []
    for cat in read_json(os.path.join(reg_dir, "nordic_gap_appearance.json")):
        c = cat.get("category")
        name = clean_name(cat.get("name"))
        if not isinstance(c, int) or not 0 <= c <= 0x3FF or not name:
            continue
        rows.append((c, -1, name))
        for sub in cat.get("subcategory") or []:
            s = sub.get("value")
            sname = clean_name(sub.get("name"))
            if not isinstance(s, int) or not 0 <= s <= 0x3F or not sname:
                continue
            rows.append((c, s, sname))
    seen = set()
    out = []
    for r in sorted(rows, key=lambda r: (r[0], r[1])):
        if (r[0], r[1]) in seen:
            continue
        seen.add((r[0], r[1]))
        out.append(r)
    return out


def write_table(path, header_lines, lines):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        for h in header_lines:
            f.write("# %s\n" % h)
        for line in lines:
            f.write(line + "\n")
    os.replace(tmp, path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ieee", default="/usr/share/ieee-data", help="ieee-data directory")
    ap.add_argument("--registries", default="/work/shared/data/registries",
                    help="directory of the Bluetooth registry snapshots")
    ap.add_argument("--out", default=os.path.join(here, "..", "assets", "vendors"),
                    help="output directory")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    stamp = ""
    try:
        with open(os.path.join(args.ieee, ".lastupdate")) as f:
            import datetime
            t = int(f.read().strip())
            stamp = datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%d")
    except (OSError, ValueError):
        pass

    blocks, counts = read_ieee(args.ieee)
    # 6-digit blocks first, then 7, then 9; each group in key order
    keys = sorted(blocks, key=lambda p: (len(p), p))
    write_table(os.path.join(args.out, "oui.tsv"),
                ["IEEE address blocks: hex prefix (6 = MA-L, 7 = MA-M, 9 = MA-S/IAB) TAB organisation",
                 "Generated by tools/gen_vendor_tables.py from Debian ieee-data%s"
                 % (" (IEEE listing of %s)" % stamp if stamp else ""),
                 "Blocks: " + ", ".join("%s %d" % (k, v) for k, v in counts.items())],
                ["%s\t%s" % (k, blocks[k]) for k in keys])

    companies = read_companies(args.registries)
    write_table(os.path.join(args.out, "bt_company.tsv"),
                ["Bluetooth SIG company identifiers: hex id TAB company",
                 "Generated by tools/gen_vendor_tables.py from Nordic Semiconductor's "
                 "bluetooth-numbers-database (BSD-3-Clause, see LICENSE.nordic)"],
                ["%04X\t%s" % (k, companies[k]) for k in sorted(companies)])

    uuids = read_uuid16(args.registries)
    write_table(os.path.join(args.out, "bt_uuid16.tsv"),
                ["Bluetooth 16-bit UUIDs: hex UUID TAB service name or member owner",
                 "Generated by tools/gen_vendor_tables.py from Nordic Semiconductor's "
                 "bluetooth-numbers-database (BSD-3-Clause, see LICENSE.nordic) and the "
                 "BlueZ uuid16 table"],
                ["%04X\t%s" % (k, uuids[k]) for k in sorted(uuids)])

    appearance = read_appearance(args.registries)
    write_table(os.path.join(args.out, "bt_appearance.tsv"),
                ["GAP appearance: category (hex) TAB subcategory (hex, '-' for the category) TAB name",
                 "value = category << 6 | subcategory",
                 "Generated by tools/gen_vendor_tables.py from Nordic Semiconductor's "
                 "bluetooth-numbers-database (BSD-3-Clause, see LICENSE.nordic)"],
                ["%X\t%s\t%s" % (c, "-" if s < 0 else "%X" % s, n) for c, s, n in appearance])

    print("oui.tsv: %d blocks (%s)" % (len(blocks), ", ".join("%s %d" % kv for kv in counts.items())))
    print("bt_company.tsv: %d companies" % len(companies))
    print("bt_uuid16.tsv: %d UUIDs" % len(uuids))
    print("bt_appearance.tsv: %d rows" % len(appearance))
    return 0


if __name__ == "__main__":
    sys.exit(main())
