#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes tests/data/gps/drive.nmea: a made-up five-minute drive, one fix a second.

Each second carries GGA, GSA, RMC and GST sentences with correct checksums. The route is
computed by dead reckoning on a sphere from a script of (seconds, target speed m/s,
heading deg) legs, so the positions, speeds and tracks are consistent with one another.
Re-running the script gives the same file byte for byte.

    tools/gen_nmea_drive.py [OUTPUT]
"""
import math
import sys

EARTH_R = 6371008.8
START_LAT = 59.329300
START_LON = 18.068600
START = (2024, 5, 1, 12, 0, 0)  # UTC
# (duration s, speed m/s at the end of the leg, heading deg)
LEGS = [
    (10, 0.0, 45.0),    # parked
    (20, 13.9, 45.0),   # pull away
    (40, 13.9, 45.0),
    (15, 13.9, 120.0),  # bend to the south-east
    (40, 16.7, 120.0),
    (15, 0.0, 120.0),   # slow down for a light
    (12, 0.0, 120.0),   # wait
    (20, 11.1, 200.0),  # turn south-south-west
    (60, 11.1, 200.0),
    (15, 22.2, 270.0),  # onto the ring road, westbound
    (43, 22.2, 270.0),
    (10, 5.0, 315.0),
]
KNOT = 1852.0 / 3600.0


def checksum(body):
    c = 0
    for ch in body.encode("ascii"):
        c ^= ch
    return "%02X" % c


def sentence(body):
    return "$%s*%s\r\n" % (body, checksum(body))


def nmea_lat(lat):
    hemi = "N" if lat >= 0 else "S"
    lat = abs(lat)
    deg = int(lat)
    return "%02d%08.5f" % (deg, (lat - deg) * 60.0), hemi


def nmea_lon(lon):
    hemi = "E" if lon >= 0 else "W"
    lon = abs(lon)
    deg = int(lon)
    return "%03d%08.5f" % (deg, (lon - deg) * 60.0), hemi


def move(lat, lon, dist, heading):
    """Great-circle destination from lat/lon after dist metres on heading."""
    if dist <= 0:
        return lat, lon
    p1 = math.radians(lat)
    l1 = math.radians(lon)
    th = math.radians(heading)
    d = dist / EARTH_R
    p2 = math.asin(math.sin(p1) * math.cos(d) + math.cos(p1) * math.sin(d) * math.cos(th))
    l2 = l1 + math.atan2(math.sin(th) * math.sin(d) * math.cos(p1),
                         math.cos(d) - math.sin(p1) * math.sin(p2))
    return math.degrees(p2), math.degrees(l2)


def days_from_civil(y, m, d):
    y -= m <= 2
    era = y // 400
    yoe = y - era * 400
    doy = (153 * (m + (-3 if m > 2 else 9)) + 2) // 5 + d - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def civil_from_days(z):
    z += 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    y = yoe + era * 400
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    d = doy - (153 * mp + 2) // 5 + 1
    m = mp + (3 if mp < 10 else -9)
    return y + (m <= 2), m, d


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "tests/data/gps/drive.nmea"
    y, mo, d, hh, mm, ss = START
    t0 = days_from_civil(y, mo, d) * 86400 + hh * 3600 + mm * 60 + ss
    lat, lon = START_LAT, START_LON
    speed, heading = 0.0, LEGS[0][2]
    lines = []
    t = 0
    for dur, v_end, h_end in LEGS:
        v0, h0 = speed, heading
        dh = (h_end - h0 + 540.0) % 360.0 - 180.0
        for i in range(1, dur + 1):
            f = i / dur
            speed = v0 + (v_end - v0) * f
            heading = (h0 + dh * f) % 360.0
            lat, lon = move(lat, lon, speed, heading)
            t += 1
            now = t0 + t
            yy, mmo, dd = civil_from_days(now // 86400)
            sod = now % 86400
            hms = "%02d%02d%02d.00" % (sod // 3600, sod % 3600 // 60, sod % 60)
            dmy = "%02d%02d%02d" % (dd, mmo, yy % 100)
            la, ns = nmea_lat(lat)
            lo, ew = nmea_lon(lon)
            # Horizontal quality drifts slowly so that accuracy changes along the drive.
            hdop = 0.8 + 0.4 * (1 + math.sin(t / 37.0))
            sig_lat = round(1.5 + 1.0 * (1 + math.sin(t / 23.0)), 1)
            sig_lon = round(1.2 + 1.0 * (1 + math.cos(t / 29.0)), 1)
            alt = 28.0 + 5.0 * math.sin(t / 50.0)
            lines.append(sentence("GPGGA,%s,%s,%s,%s,%s,1,09,%.1f,%.1f,M,22.9,M,,"
                                  % (hms, la, ns, lo, ew, hdop, alt)))
            lines.append(sentence("GPGSA,A,3,02,05,07,09,13,15,18,20,30,,,,%.1f,%.1f,%.1f"
                                  % (hdop * 1.6, hdop, hdop * 1.3)))
            lines.append(sentence("GPRMC,%s,A,%s,%s,%s,%s,%.2f,%.1f,%s,,,A"
                                  % (hms, la, ns, lo, ew, speed / KNOT, heading, dmy)))
            lines.append(sentence("GPGST,%s,%.1f,%.1f,%.1f,0.0,%.1f,%.1f,%.1f"
                                  % (hms, max(sig_lat, sig_lon), max(sig_lat, sig_lon),
                                     min(sig_lat, sig_lon), sig_lat, sig_lon, 4.0)))
    with open(out, "w", newline="") as f:
        f.write("# Made-up drive for the GPS client tests, written by tools/gen_nmea_drive.py\n")
        f.writelines(lines)


if __name__ == "__main__":
    main()
