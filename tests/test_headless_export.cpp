// SPDX-License-Identifier: GPL-3.0-or-later
// orvik --headless --export on the demo feed, in a fresh home and data directory: every
// export written at shutdown lies where the printed line says, opens in the program people
// read it with (Python with strict UTF-8, xmllint, GDAL) and holds the flagged demo devices;
// a request that names no export is refused before anything starts; an export with nothing
// to write makes the exit status say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_demo.h"
#include "ovk_headless.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_trip.h"

namespace {

// Demo devices that carry a verdict from the start: body camera, plate-camera network,
// camera glasses and the drone.
const std::vector<std::string> kFlagged = {"00:25:DF:4A:19:C2", "B4:1E:52:3C:88:10",
                                           "D2:5E:91:3A:07:BC", "60:60:1F:A2:44:18"};

std::string orvik() {
    return std::string(OVK_BINARY_DIR) + "/orvik";
}

// orvik --headless --demo ARGS with HOME and XDG_DATA_HOME inside `dir` ("data").
ovk_test::ProgramRun run_orvik(const ovk_test::TempDir& dir, std::vector<std::string> args,
                               int deadline_s) {
    ovk_test::ProgramLaunch launch;
    launch.exe = orvik();
    launch.args = {"--headless", "--demo"};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    launch.env = {"HOME=" + dir.path(), "XDG_DATA_HOME=" + dir.file("data"),
                  std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets"};
    launch.out_dir = dir.path();
    launch.deadline_s = deadline_s;
    return ovk_test::run_program(launch);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The path on the "export REQUEST: PATH" line; "" when there is no such line.
std::string printed_path(const std::string& out, const std::string& request) {
    const std::string tag = "export " + request + ": ";
    for (const auto& l : lines_of(out))
        if (l.rfind(tag, 0) == 0) return l.substr(tag.size());
    return "";
}

// The file as Python reads it with strict UTF-8: the CSV rows (every row as wide as the
// header) or the JSON document, handed back as JSON.
OVK_JSON py_load(const std::string& path, bool csv) {
    const ovk_test::CommandResult r = ovk_test::run_command(
        "python3 -c 'import csv,json,sys\n"
        "f=open(sys.argv[1],newline=\"\",encoding=\"utf-8\",errors=\"strict\")\n"
        "d=list(csv.reader(f)) if sys.argv[2]==\"csv\" else json.load(f)\n"
        "bad=[i for i,r in enumerate(d) if len(r)!=len(d[0])] if sys.argv[2]==\"csv\" else []\n"
        "sys.exit(\"ragged rows %s\" % bad) if bad else print(json.dumps(d))' '" +
        path + "' " + (csv ? "csv" : "json"));
    EXPECT_EQ(r.rc, 0) << path << ": " << r.out;
    return ovk_json_parse(r.out);
}

// Every string anywhere in a JSON value.
void strings_of(const cJSON* j, std::set<std::string>& out) {
    if (cJSON_IsString(j)) out.insert(j->valuestring);
    for (const cJSON* c = j ? j->child : nullptr; c; c = c->next) strings_of(c, out);
}

void expect_flagged_in(const std::set<std::string>& strings, const std::string& what) {
    for (const auto& mac : kFlagged) EXPECT_TRUE(strings.count(mac)) << what << " lacks " << mac;
}

// Valid XML, and the feature count of every layer GDAL finds in it.
std::vector<int> xml_features(const std::string& path) {
    const ovk_test::CommandResult x = ovk_test::run_command("xmllint --noout '" + path + "'");
    EXPECT_EQ(x.rc, 0) << x.out;
    return ovk_test::ogr_feature_counts(path);
}

int array_size(const cJSON* o, const char* key) {
    return cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(o, key));
}

TEST(HeadlessExport, RequestsThatNameNoExportAreRefusedBeforeScanning) {
    // Every scope with each format it offers passes, in any case.
    for (const char* ok :
         {"session:csv", "session:json", "session:kml", "history:csv", "history:json", "log:csv",
          "log:json", "log:kml", "log:gpx", "watchlist:json", "everything:json", "LOG:GPX"})
        EXPECT_EQ(ovk_headless_check_export(ok), "") << ok;
    for (const char* bad : {"all:json", "session", "", ":", "log:", ":csv", "log:gpx:x"}) {
        const std::string why = ovk_headless_check_export(bad);
        EXPECT_EQ(why.rfind("unknown export (use SCOPE:FORMAT", 0), 0u) << bad << ": " << why;
        EXPECT_NE(why.find("scopes session, history, log, watchlist, everything, trip; formats "
                           "csv, json, kml, gpx, geojson"),
                  std::string::npos)
            << why;
    }
    EXPECT_EQ(ovk_headless_check_export("log:geojson"),
              "the log export has no geojson form (it has csv, json, kml, gpx)");
    EXPECT_EQ(ovk_headless_check_export("everything:csv"),
              "the everything export has no csv form (it has json)");
    for (const char* ok : {"trip:gpx", "trip:kml", "trip:geojson", "trip:csv", "Trip:GPX"})
        EXPECT_EQ(ovk_headless_check_export(ok), "") << ok;
    EXPECT_EQ(ovk_headless_check_export("trip:json"),
              "the trip export has no json form (it has csv, kml, gpx, geojson)");

    ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
    ovk_test::TempDir dir;
    // A run of 60 s that must end long before: nothing may start.
    const ovk_test::ProgramRun r = run_orvik(dir,
                                             {"--duration", "60", "--export", "session:csv",
                                              "--export", "all:json", "--export", "log:geojson"},
                                             20);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    const auto err = lines_of(r.err);
    ASSERT_EQ(err.size(), 2u) << r.err;
    EXPECT_EQ(err[0].rfind("orvik: --export all:json: unknown export (use SCOPE:FORMAT", 0), 0u);
    EXPECT_EQ(err[1],
              "orvik: --export log:geojson: the log export has no geojson form (it has "
              "csv, json, kml, gpx)");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(ovk_test::file_exists(dir.file("data/orvik"))) << "started before refusing";
}

TEST(HeadlessExport, EachRequestIsWrittenAtShutdownAndOpensInItsReader) {
    ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
    ovk_test::TempDir dir;
    // With ~/Documents present exports go to ~/Documents/Orvik; GPS tagging on, so the log
    // has positions for its map formats.
    ASSERT_EQ(ovk_mkdirs(dir.file("Documents")), 0);
    ASSERT_EQ(ovk_mkdirs(dir.file("data/orvik")), 0);
    ovk_test::write_file(dir.file("data/orvik/settings.json"), R"({"gps_tagging_enabled":true})");
    const std::vector<std::string> requests = {"session:csv", "session:kml", "log:json", "log:gpx",
                                               "everything:json"};
    // The demo devices are all heard, and the flagged ones logged, within the first seconds.
    std::vector<std::string> args = {"--duration", "8"};
    for (const auto& q : requests) args.insert(args.end(), {"--export", q});
    const ovk_test::ProgramRun r = run_orvik(dir, args, 90);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::map<std::string, std::string> path;
    for (const auto& q : requests) {
        path[q] = printed_path(r.out, q);
        const std::string ext = "." + q.substr(q.find(':') + 1);
        EXPECT_EQ(path[q].rfind(dir.file("Documents/Orvik/orvik_"), 0), 0u) << q << ": " << path[q];
        EXPECT_EQ(path[q].substr(path[q].size() - std::min(path[q].size(), ext.size())), ext);
        ASSERT_TRUE(ovk_test::file_exists(path[q])) << q << ": " << path[q];
    }

    // Session CSV: a header and one row per demo device, the flagged ones among them.
    {
        const OVK_JSON rows = py_load(path["session:csv"], true);
        ASSERT_TRUE(rows);
        EXPECT_EQ(cJSON_GetArraySize(rows.get()), OVK_DEMO_DEVICES + 1);
        EXPECT_STREQ(cJSON_GetArrayItem(cJSON_GetArrayItem(rows.get(), 0), 0)->valuestring, "mac");
        std::set<std::string> cells;
        strings_of(rows.get(), cells);
        expect_flagged_in(cells, "session CSV");
    }
    // Session KML: a placemark per device with a position.
    {
        EXPECT_EQ(xml_features(path["session:kml"]), std::vector<int>{OVK_DEMO_DEVICES});
        const std::string text = ovk_test::read_file(path["session:kml"]);
        for (const auto& mac : kFlagged) EXPECT_NE(text.find(mac), std::string::npos) << mac;
    }
    // Log JSON: the logged matches, every one with a position; the GPX has a waypoint each.
    int logged = 0;
    {
        const OVK_JSON log = py_load(path["log:json"], false);
        ASSERT_TRUE(log);
        logged = cJSON_GetArraySize(log.get());
        EXPECT_GE(logged, static_cast<int>(kFlagged.size()));
        std::set<std::string> macs;
        const cJSON* d = nullptr;
        cJSON_ArrayForEach(d, log.get()) {
            const cJSON* mac = cJSON_GetObjectItemCaseSensitive(d, "mac");
            ASSERT_TRUE(cJSON_IsString(mac));
            macs.insert(mac->valuestring);
            EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(d, "latitude")))
                << mac->valuestring;
        }
        expect_flagged_in(macs, "log JSON");
    }
    {
        EXPECT_EQ(xml_features(path["log:gpx"]), (std::vector<int>{logged, 0, 0, 0, 0}));
        const std::string text = ovk_test::read_file(path["log:gpx"]);
        for (const auto& mac : kFlagged) EXPECT_NE(text.find(mac), std::string::npos) << mac;
    }
    // Everything: session, history, log and watchlist in one document.
    {
        const OVK_JSON all = py_load(path["everything:json"], false);
        ASSERT_TRUE(all);
        EXPECT_EQ(array_size(all.get(), "sessionDevices"), OVK_DEMO_DEVICES);
        EXPECT_EQ(array_size(all.get(), "matchLog"), logged);
        EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(all.get(), "deviceHistory")));
        EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(all.get(), "watchlist")));
        std::set<std::string> strings;
        strings_of(cJSON_GetObjectItemCaseSensitive(all.get(), "matchLog"), strings);
        expect_flagged_in(strings, "everything's match log");
    }
    // Only the exports were written there, atomically.
    const ovk_test::CommandResult ls =
        ovk_test::run_command("ls '" + dir.file("Documents/Orvik") + "'");
    EXPECT_EQ(lines_of(ls.out).size(), requests.size()) << ls.out;
}

TEST(HeadlessExport, AnExportWithNothingToWriteFailsTheExitStatus) {
    ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
    ovk_test::TempDir dir;
    // GPS tagging is off by default, so the log has no positions for a GPX file; the JSON
    // form of the watchlist is still written. No ~/Documents: the data directory's exports.
    // Without --trace there is no trip to export.
    const ovk_test::ProgramRun r = run_orvik(dir,
                                             {"--duration", "2", "--export", "log:gpx", "--export",
                                              "watchlist:json", "--export", "trip:gpx"},
                                             60);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const auto out = lines_of(r.out);
    EXPECT_NE(std::find(out.begin(), out.end(),
                        "export log:gpx failed: No GPS-tagged matches yet - turn on GPS tagging "
                        "in Settings"),
              out.end())
        << r.out;
    EXPECT_NE(std::find(out.begin(), out.end(),
                        "export trip:gpx failed: No traces yet - record one with --trace"),
              out.end())
        << r.out;
    const std::string wl = printed_path(r.out, "watchlist:json");
    EXPECT_EQ(wl.rfind(dir.file("data/orvik/exports/orvik_watchlist_"), 0), 0u) << r.out;
    const OVK_JSON j = py_load(wl, false);
    EXPECT_TRUE(cJSON_IsArray(j.get()));
}

// --trace with every trip format: each file is the trace just recorded (not an older one
// left in the data directory), opens in its reader and holds the flagged demo devices.
TEST(HeadlessExport, LatestTraceInEveryTripFormatOpensInItsReader) {
    ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
    ovk_test::TempDir dir;
    // An older trip, recorded a year before, is already there.
    ASSERT_EQ(ovk_mkdirs(dir.file("data/orvik/trips")), 0);
    OVK_TRIP old;
    old.id = 1;
    old.name = "Old drive";
    old.start_time = 1704067200000;
    old.end_time = old.start_time + 600000;
    old.point_count = 2;
    OVK_TRIP_POINT p1, p2;
    p1.time = old.start_time;
    p1.lat = 33.77;
    p1.lon = -84.39;
    p2 = p1;
    p2.time += 60000;
    p2.lat += 0.01;
    const std::vector<OVK_TRIP> rows = {old};
    ovk_test::write_file(dir.file("data/orvik/trips/trips.json"),
                         ovk_trip_index_text(rows).value_or(""));
    const std::vector<OVK_TRIP_POINT> points = {p1, p2};
    ovk_test::write_file(dir.file("data/orvik/trips/1.points.csv"), ovk_trip_points_text(points));

    const std::vector<std::string> requests = {"trip:gpx", "trip:kml", "trip:geojson", "trip:csv"};
    std::vector<std::string> args = {"--trace", "--duration", "5"};
    for (const auto& q : requests) args.insert(args.end(), {"--export", q});
    const ovk_test::ProgramRun r = run_orvik(dir, args, 90);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::map<std::string, std::string> path;
    for (const auto& q : requests) {
        path[q] = printed_path(r.out, q);
        EXPECT_EQ(path[q].rfind(dir.file("data/orvik/exports/orvik_trace_"), 0), 0u) << path[q];
        ASSERT_TRUE(ovk_test::file_exists(path[q])) << q << ": " << r.out;
    }

    // GeoJSON: the trace first (the new trip, not "Old drive"), then a point per device.
    const OVK_JSON geo = py_load(path["trip:geojson"], false);
    ASSERT_TRUE(geo);
    const cJSON* features = cJSON_GetObjectItemCaseSensitive(geo.get(), "features");
    ASSERT_GE(cJSON_GetArraySize(features), 2);
    const cJSON* trace =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(features, 0), "properties");
    const cJSON* kind = cJSON_GetObjectItemCaseSensitive(trace, "kind");
    const cJSON* name = cJSON_GetObjectItemCaseSensitive(trace, "name");
    ASSERT_TRUE(cJSON_IsString(kind) && cJSON_IsString(name));
    EXPECT_STREQ(kind->valuestring, "trace");
    EXPECT_EQ(std::string(name->valuestring).rfind("Trace ", 0), 0u) << name->valuestring;
    std::set<std::string> strings;
    strings_of(features, strings);
    expect_flagged_in(strings, "trip GeoJSON");
    const int devices = cJSON_GetArraySize(features) - 1;
    const ovk_test::CommandResult ogr =
        ovk_test::run_command("ogrinfo -ro -al -so '" + path["trip:geojson"] + "'");
    EXPECT_NE(ogr.out.find("Feature Count: " + std::to_string(devices + 1)), std::string::npos)
        << ogr.out;

    // GPX and KML: valid XML that GDAL reads, a waypoint or placemark per device (the route
    // is a GPX track; KML draws it only from two points on), the new trip's name and the
    // flagged devices.
    const std::vector<int> gpx = xml_features(path["trip:gpx"]);
    ASSERT_EQ(gpx.size(), 5u) << "waypoints, routes, tracks, route_points, track_points";
    EXPECT_EQ(gpx[0], devices);
    EXPECT_EQ(gpx[2], 1);
    EXPECT_GE(gpx[4], 1);
    const std::vector<int> kml = xml_features(path["trip:kml"]);
    ASSERT_EQ(kml.size(), 1u);
    EXPECT_GE(kml[0], devices);
    for (const char* q : {"trip:gpx", "trip:kml"}) {
        const std::string text = ovk_test::read_file(path[q]);
        EXPECT_EQ(text.find("Old drive"), std::string::npos) << q;
        EXPECT_NE(text.find(name->valuestring), std::string::npos) << q;
        for (const auto& mac : kFlagged) EXPECT_NE(text.find(mac), std::string::npos) << q << mac;
    }

    // The devices CSV: every demo device heard, the flagged ones among them.
    const OVK_JSON csv = py_load(path["trip:csv"], true);
    ASSERT_TRUE(csv);
    EXPECT_EQ(cJSON_GetArraySize(csv.get()), OVK_DEMO_DEVICES + 1);
    std::set<std::string> cells;
    strings_of(csv.get(), cells);
    expect_flagged_in(cells, "trip CSV");
}

}  // namespace
