// SPDX-License-Identifier: GPL-3.0-or-later
// The built orvik program, headless on the demo feed with --trace, leaves a closed trip
// whose GPX, KML and GeoJSON exports open in GDAL (ogrinfo) and gpsbabel with as many
// track points and waypoints as the trip's files hold.
// g++ 12 reports std::regex's own state objects as maybe-uninitialized when built with
// the sanitizers; the warning is about library internals, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <regex>
#include <string>

#include "ovk_app_util.h"
#include "ovk_test_files.h"
#include "ovk_trip.h"

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// "Feature Count: N" of the named layer in `ogrinfo -so` output; -1 when absent.
int ogr_count(const std::string& file, const std::string& layer) {
    const std::string out = run("ogrinfo -ro -so '" + file + "' '" + layer + "' 2>&1");
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("Feature Count: (\\d+)"))) return -1;
    return std::stoi(m[1]);
}

// Data lines of gpsbabel's unicsv output (header excluded).
int babel_count(const std::string& fmt, const std::string& file, const char* what) {
    const std::string out = run(std::string("gpsbabel ") + what + " -i " + fmt + " -f '" + file +
                                "' -o unicsv -F - 2>&1");
    int lines = 0;
    for (char c : out) lines += c == '\n';
    return lines > 0 ? lines - 1 : -1;
}

TEST(TripEndToEnd, HeadlessTraceExportsOpenInGdalAndGpsbabel) {
    ovk_test::TempDir dir;
    const std::string cmd = "XDG_DATA_HOME='" + dir.path() + "' OVK_ASSETS='" + OVK_SOURCE_DIR +
                            "/assets' '" + OVK_BINARY_DIR +
                            "/orvik' --headless --demo --trace --duration 35 >/dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0);

    ASSERT_EQ(ovk_trip_open(dir.path() + "/orvik"), 0);
    const std::vector<OVK_TRIP> trips = ovk_trip_list();
    ASSERT_EQ(trips.size(), 1u);
    const OVK_TRIP t = trips[0];
    EXPECT_GT(t.end_time, t.start_time);  // stopped at shutdown
    const std::vector<OVK_TRIP_POINT> p = ovk_trip_points(t.id);
    const std::vector<OVK_TRIP_DEVICE> d = ovk_trip_devices(t.id);
    ovk_trip_close();
    ASSERT_GE(p.size(), 2u);
    EXPECT_EQ(t.point_count, static_cast<int>(p.size()));
    EXPECT_EQ(t.device_count, static_cast<int>(d.size()));
    int positioned = 0, flagged = 0;
    for (const auto& x : d) {
        positioned += x.has_pos;
        flagged += x.has_pos && x.category >= 0;
    }
    ASSERT_GT(flagged, 0);
    ASSERT_GT(positioned, flagged);

    const std::string gpx = dir.file("trip.gpx"), kml = dir.file("trip.kml"),
                      geo = dir.file("trip.geojson"), flagged_gpx = dir.file("flagged.gpx");
    ASSERT_EQ(ovk_write_file_atomic(gpx, *ovk_trip_export_gpx(t, p, d, false)), 0);
    ASSERT_EQ(ovk_write_file_atomic(flagged_gpx, *ovk_trip_export_gpx(t, p, d, true)), 0);
    ASSERT_EQ(ovk_write_file_atomic(kml, *ovk_trip_export_kml(t, p, d, false)), 0);
    ASSERT_EQ(ovk_write_file_atomic(geo, *ovk_trip_export_geojson(t, p, d, false)), 0);

    EXPECT_EQ(ogr_count(gpx, "track_points"), static_cast<int>(p.size()));
    EXPECT_EQ(ogr_count(gpx, "tracks"), 1);
    EXPECT_EQ(ogr_count(gpx, "waypoints"), positioned);
    EXPECT_EQ(ogr_count(flagged_gpx, "waypoints"), flagged);
    EXPECT_EQ(ogr_count(kml, t.name), positioned + 1);  // the trace and one per device
    EXPECT_EQ(ogr_count(geo, "trip"), positioned + 1);

    EXPECT_EQ(babel_count("gpx", gpx, "-t"), static_cast<int>(p.size()));
    EXPECT_EQ(babel_count("gpx", gpx, "-w"), positioned);
    EXPECT_EQ(babel_count("gpx", flagged_gpx, "-w"), flagged);
    EXPECT_EQ(babel_count("kml", kml, "-w"), positioned);
    EXPECT_EQ(babel_count("kml", kml, "-t"), static_cast<int>(p.size()));
    EXPECT_EQ(babel_count("geojson", geo, "-w"), positioned);
}

}  // namespace
