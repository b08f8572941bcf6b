// SPDX-License-Identifier: GPL-3.0-or-later
// Trip exports with hostile texts (invalid UTF-8, control characters, quotes, markup and
// formula starters in names, labels and evidence), read back by the tools people use:
// xmllint for the GPX and KML, GDAL for feature counts, Python's csv module for the
// devices CSV.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_trip.h"

namespace {

using CmdResult = ovk_test::CommandResult;

CmdResult run(const std::string& cmd) {
    return ovk_test::run_command(cmd);
}

std::string save(const ovk_test::TempDir& dir, const std::string& name,
                 const std::optional<std::string>& text) {
    EXPECT_TRUE(text.has_value()) << name;
    const std::string path = dir.file(name);
    ovk_test::write_file(path, text.value_or(""));
    return path;
}

int ogr_features(const std::string& path) {
    int total = 0;
    for (int c : ovk_test::ogr_feature_counts(path)) total += c;
    return total;
}

// Rows of the CSV as Python reads them, one cell per line with rows separated by a form
// feed; the command fails when a row's column count differs from the header's.
std::vector<std::vector<std::string>> py_csv(const std::string& path) {
    const CmdResult r =
        run("python3 -c 'import csv,sys\n"
            "rows=list(csv.reader(open(sys.argv[1],newline=\"\",encoding=\"utf-8\")))\n"
            "bad=[i for i,r in enumerate(rows) if len(r)!=len(rows[0])]\n"
            "sys.exit(\"ragged rows %s\" % bad) if bad else None\n"
            "sys.stdout.write(\"\\f\".join(\"\\v\".join(r) for r in rows))' '" +
            path + "'");
    EXPECT_EQ(r.rc, 0) << r.out;
    std::vector<std::vector<std::string>> rows;
    if (r.rc != 0) return rows;
    size_t at = 0;
    while (at <= r.out.size()) {
        size_t end = r.out.find('\f', at);
        if (end == std::string::npos) end = r.out.size();
        const std::string row = r.out.substr(at, end - at);
        std::vector<std::string> cells;
        size_t c = 0;
        while (c <= row.size()) {
            size_t e = row.find('\v', c);
            if (e == std::string::npos) e = row.size();
            cells.push_back(row.substr(c, e - c));
            c = e + 1;
        }
        rows.push_back(std::move(cells));
        at = end + 1;
    }
    return rows;
}

TEST(TripConsumers, HostileTextsStayWellFormedAndSpreadsheetSafe) {
    ovk_test::TempDir dir;
    OVK_TRIP t;
    t.id = 7;
    t.name = "Night <drive> & \"more\" \x01\x1F bad\xC3 byte";
    t.start_time = 1704067200000;
    t.end_time = t.start_time + 60000;
    t.distance_m = 220.0;
    std::vector<OVK_TRIP_POINT> pts;
    for (int i = 0; i < 4; ++i) {
        OVK_TRIP_POINT p;
        p.time = t.start_time + i * 15000;
        p.lat = 59.3293 + 0.0005 * i;
        p.lon = 18.0686;
        pts.push_back(p);
    }
    const char* starters[] = {"=1+2", "+cmd", "-2+3", "@SUM(A1)", "\tTab", "\rCR"};
    std::vector<OVK_TRIP_DEVICE> devs;
    for (int i = 0; i < 6; ++i) {
        OVK_TRIP_DEVICE d;
        d.mac = "AA:BB:CC:DD:EE:0" + std::to_string(i);
        d.label = std::string(starters[i]) + " <cam> & \"x\" '\x02'";
        d.name = std::string("na\xFFme, \"quoted\"\nline");
        d.vendor = starters[(i + 1) % 6];
        d.device_type = "type\x7F";
        d.source = i % 2 ? "WIFI" : "BLE";
        d.category = i % 3 == 0 ? -1 : 0;
        d.confidence = i % 3 == 0 ? 0 : 70 + i;
        d.evidence = std::string(starters[(i + 2) % 6]) + " \xE2\x82 broken \xED\xA0\x80 surrogate";
        d.first_seen = t.start_time + 1000 * i;
        d.last_seen = d.first_seen + 500;
        d.best_rssi = -50 - i;
        d.has_pos = i != 5;
        d.lat = d.has_pos ? 59.33 + 0.0001 * i : 0;
        d.lon = d.has_pos ? 18.07 : 0;
        devs.push_back(d);
    }

    for (bool flagged_only : {false, true}) {
        const std::string gpx = save(dir, "t.gpx", ovk_trip_export_gpx(t, pts, devs, flagged_only));
        const std::string kml = save(dir, "t.kml", ovk_trip_export_kml(t, pts, devs, flagged_only));
        for (const std::string& f : {gpx, kml}) {
            const CmdResult x = run("xmllint --noout '" + f + "'");
            EXPECT_EQ(x.rc, 0) << f << ": " << x.out;
        }
        // Positioned devices (all but the last), of which the flagged ones are 1, 2 and 4.
        const int wpts = flagged_only ? 3 : 5;
        // GPX: waypoints, plus the route points as track points, plus one track.
        EXPECT_EQ(ogr_features(gpx), wpts + 1 + static_cast<int>(pts.size())) << flagged_only;
        // KML: one placemark per positioned device and the trace.
        EXPECT_EQ(ogr_features(kml), wpts + 1) << flagged_only;
    }

    const auto rows = py_csv(save(dir, "t.csv", ovk_trip_export_devices_csv(devs)));
    ASSERT_EQ(rows.size(), devs.size() + 1);
    const auto& head = rows[0];
    auto col = [&head](const std::string& name) {
        for (size_t i = 0; i < head.size(); ++i)
            if (head[i] == name) return i;
        ADD_FAILURE() << "no column " << name;
        return size_t{0};
    };
    const size_t label = col("label"), vendor = col("vendor"), evidence = col("evidence"),
                 name = col("name");
    for (size_t r = 1; r < rows.size(); ++r) {
        const auto& row = rows[r];
        ASSERT_EQ(row.size(), head.size()) << r;
        // Every cell that would start a formula is opened with an apostrophe.
        for (size_t c : {label, vendor, evidence}) {
            ASSERT_FALSE(row[c].empty()) << r << " " << head[c];
            const char first = row[c][0];
            EXPECT_TRUE(first != '=' && first != '+' && first != '-' && first != '@' &&
                        first != '\t' && first != '\r')
                << r << " " << head[c] << ": " << row[c];
        }
        EXPECT_EQ(row[label][0], '\'') << row[label];
        EXPECT_EQ(row[label].substr(1, 1), std::string(starters[r - 1]).substr(0, 1));
        // Quotes and the line break inside the name survive the round trip.
        EXPECT_NE(row[name].find("\"quoted\"\nline"), std::string::npos) << row[name];
    }
}

}  // namespace
