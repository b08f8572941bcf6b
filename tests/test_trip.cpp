// SPDX-License-Identifier: GPL-3.0-or-later
// Trip recording: the track filter, the device records, the files and their loaders,
// closing a trip left open by a killed process, and the exports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

#include "helpers/ovk_test_files.h"
#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_trip.h"

using ovk_test::file_exists;
using ovk_test::LogCapture;
using ovk_test::read_file;
using ovk_test::TempDir;
using ovk_test::write_file;

namespace {

constexpr double kLat0 = 45.0;
constexpr double kLon0 = -75.0;
constexpr double kMetresPerDegree = 6371000.0 * M_PI / 180.0;

// A fix `north_m` metres north of the origin at time `t`.
OVK_LOCATION fix(double north_m, int64_t t) {
    OVK_LOCATION l;
    l.lat = kLat0 + north_m / kMetresPerDegree;
    l.lon = kLon0;
    l.time = t;
    return l;
}

OVK_HIT hit(OVK_CATEGORY c, int conf, const char* label = "Body camera") {
    return ovk_hit_make(c, label, conf, "test", "evidence %d", conf);
}

class Trip : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(ovk_trip_open(dir.path()), 0); }
    void TearDown() override { ovk_trip_close(); }

    std::string trips() const { return dir.path() + "/trips"; }
    std::string file(int64_t id, const char* what) const {
        return trips() + "/" + std::to_string(id) + "." + what;
    }
    TempDir dir;
};

TEST_F(Trip, StartWhileRecordingReturnsActiveIdAndEmptyTripLeavesNothing) {
    const int64_t id = ovk_trip_start("first");
    ASSERT_EQ(id, 1);
    EXPECT_EQ(ovk_trip_start("second"), id);
    EXPECT_EQ(ovk_trip_list().size(), 1u);
    ASSERT_TRUE(ovk_trip_get(id));
    EXPECT_EQ(ovk_trip_get(id)->end_time, 0);
    ovk_trip_stop();
    EXPECT_FALSE(ovk_trip_is_recording());
    EXPECT_TRUE(ovk_trip_list().empty());
    EXPECT_FALSE(file_exists(file(id, "points.csv")));
    EXPECT_FALSE(file_exists(file(id, "devices.json")));
    EXPECT_EQ(ovk_trip_parse_index(read_file(trips() + "/trips.json")).size(), 0u);
}

TEST_F(Trip, DefaultNameAndIdsAboveTheLargest) {
    const int64_t a = ovk_trip_start();
    ASSERT_GT(a, 0);
    EXPECT_EQ(ovk_trip_get(a)->name.rfind("Trace ", 0), 0u);
    EXPECT_EQ(ovk_trip_get(a)->name.size(), std::string("Trace 2024-01-01 00:00").size());
    ovk_trip_on_location(fix(0, 1000));
    ovk_trip_stop();
    const int64_t b = ovk_trip_start(std::string(200, 'n'));
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(ovk_trip_get(b)->name, std::string(95, 'n'));
    ovk_trip_on_location(fix(0, 1000));
    ovk_trip_stop();
    ASSERT_EQ(ovk_trip_delete(a), 0);
    EXPECT_EQ(ovk_trip_start("c"), b + 1);
}

TEST_F(Trip, TrackKeepsMovesAndSlowHeartbeatsOnly) {
    ovk_trip_start("t");
    ovk_trip_on_location(fix(0, 0));
    ovk_trip_on_location(fix(5, 10000));   // 5 m, 10 s: dropped
    ovk_trip_on_location(fix(5, 31000));   // 5 m, 31 s: kept
    ovk_trip_on_location(fix(17, 32000));  // 12 m, 1 s: kept
    std::vector<OVK_TRIP_POINT> pts = ovk_trip_live_points();
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_EQ(pts[1].time, 31000);
    EXPECT_EQ(pts[2].time, 32000);
    EXPECT_NEAR(ovk_trip_distance(), 17.0, 0.01);

    OVK_LOCATION bad = fix(500, 40000);
    bad.has_accuracy = 1;
    bad.accuracy_m = 61;
    ovk_trip_on_location(bad);
    EXPECT_EQ(ovk_trip_live_points().size(), 3u);
    bad.accuracy_m = 60;
    ovk_trip_on_location(bad);
    pts = ovk_trip_live_points();
    ASSERT_EQ(pts.size(), 4u);
    EXPECT_EQ(pts[3].has_accuracy, 1);
    EXPECT_EQ(pts[3].accuracy_m, 60);
    EXPECT_NEAR(ovk_trip_distance(), 500.0, 0.01);

    OVK_LOCATION nan = fix(900, 50000);
    nan.lat = NAN;
    ovk_trip_on_location(nan);
    EXPECT_EQ(ovk_trip_live_points().size(), 4u);
    EXPECT_NEAR(ovk_trip_distance(), 500.0, 0.01);
}

TEST_F(Trip, NothingRecordedWithoutActiveTrip) {
    ovk_trip_on_location(fix(0, 0));
    ovk_trip_on_device("AA:BB:CC:DD:EE:FF", -50, "BLE", nullptr, "", "", "", nullptr, 1);
    EXPECT_TRUE(ovk_trip_live_points().empty());
    EXPECT_EQ(ovk_trip_device_count(), 0);
    ovk_trip_flush();
    EXPECT_TRUE(ovk_trip_list().empty());
}

TEST_F(Trip, PointsAreAppendedAtEachFlushAndReadBack) {
    const int64_t id = ovk_trip_start("t");
    OVK_LOCATION a = fix(0, 1000);
    a.has_speed = 1;
    a.speed_ms = 13.25;
    ovk_trip_on_location(a);
    ovk_trip_flush();
    EXPECT_EQ(read_file(file(id, "points.csv")), "1000,45.0,-75.0,,13.25\n");
    OVK_LOCATION b = fix(100, 2000);
    b.has_accuracy = 1;
    b.accuracy_m = 4.5;
    ovk_trip_on_location(b);
    ovk_trip_flush();
    const std::vector<OVK_TRIP_POINT> back = ovk_trip_points(id);
    EXPECT_EQ(back, ovk_trip_live_points());
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].has_accuracy, 0);
    EXPECT_EQ(back[0].speed_ms, 13.25);
    EXPECT_EQ(back[1].accuracy_m, 4.5);
    const OVK_TRIP row = *ovk_trip_get(id);
    EXPECT_EQ(row.point_count, 2);
    EXPECT_EQ(row.end_time, 0);
    EXPECT_NEAR(row.distance_m, 100, 0.01);

    // Reads of the recording trip flush first.
    ovk_trip_on_location(fix(300, 3000));
    EXPECT_EQ(ovk_trip_points(id).size(), 3u);
    ovk_trip_stop();
    EXPECT_GT(ovk_trip_get(id)->end_time, 0);
    EXPECT_EQ(ovk_trip_points(id).size(), 3u);
}

TEST_F(Trip, DeviceRecordRules) {
    ovk_trip_start("t");
    const OVK_LOCATION here = fix(0, 1);
    const OVK_LOCATION there = fix(1000, 2);
    // New record without a verdict: label from the name, else the type, else the address.
    ovk_trip_on_device("00:00:00:00:00:01", -80, "BLE", nullptr, "Pixel", "Google", "Phone",
                       nullptr, 100);
    ovk_trip_on_device("00:00:00:00:00:02", -80, "WIFI", nullptr, "", "", "Phone", nullptr, 100);
    ovk_trip_on_device("00:00:00:00:00:03", -80, "BLE", nullptr, "", "", "", &here, 100);
    EXPECT_EQ(ovk_trip_device_count(), 3);
    EXPECT_EQ(ovk_trip_flagged_count(), 0);

    // Flagged later: counted once; a weaker report keeps the higher confidence; text given
    // empty keeps the old value.
    const OVK_HIT strong = hit(OVK_CAT_BODY_CAM, 90);
    const OVK_HIT weak = hit(OVK_CAT_BODY_CAM, 40, "Maybe camera");
    ovk_trip_on_device("00:00:00:00:00:01", -70, "BLE", &strong, "", "", "", &here, 200);
    ovk_trip_on_device("00:00:00:00:00:01", -90, "BLE", &weak, "", "", "", &there, 300);
    ovk_trip_on_device("00:00:00:00:00:01", -95, "BLE", nullptr, "", "", "", &there, 400);
    EXPECT_EQ(ovk_trip_flagged_count(), 1);
    // New record flagged at once counts too.
    ovk_trip_on_device("00:00:00:00:00:04", -60, "BLE", &weak, "", "", "", &there, 500);
    EXPECT_EQ(ovk_trip_flagged_count(), 2);

    std::vector<OVK_TRIP_DEVICE> d = ovk_trip_devices(ovk_trip_active_id());
    ASSERT_EQ(d.size(), 4u);
    // Flagged first, by confidence.
    EXPECT_EQ(d[0].mac, "00:00:00:00:00:01");
    // The latest verdict names it; the confidence stays the highest seen.
    EXPECT_EQ(d[0].label, "Maybe camera");
    EXPECT_EQ(d[0].evidence, "evidence 40");
    EXPECT_EQ(d[0].confidence, 90);
    EXPECT_EQ(d[0].name, "Pixel");
    EXPECT_EQ(d[0].vendor, "Google");
    EXPECT_EQ(d[0].device_type, "Phone");
    EXPECT_EQ(d[0].first_seen, 100);
    EXPECT_EQ(d[0].last_seen, 400);
    EXPECT_EQ(d[0].best_rssi, -70);
    // Position of the best RSSI report; the weaker reports do not move it.
    EXPECT_EQ(d[0].has_pos, 1);
    EXPECT_DOUBLE_EQ(d[0].lat, here.lat);
    EXPECT_EQ(d[1].mac, "00:00:00:00:00:04");
    EXPECT_EQ(d[1].label, "Maybe camera");
    EXPECT_EQ(d[1].category, OVK_CAT_BODY_CAM);
    EXPECT_EQ(d[2].category, -1);
    EXPECT_EQ(d[3].category, -1);
    for (const auto& x : d) {
        if (x.mac == "00:00:00:00:00:02") {
            EXPECT_EQ(x.label, "Phone");
            EXPECT_EQ(x.source, "WIFI");
            EXPECT_EQ(x.has_pos, 0);
        }
        if (x.mac == "00:00:00:00:00:03") {
            EXPECT_EQ(x.label, "00:00:00:00:00:03");
        }
    }
    const OVK_TRIP row = *ovk_trip_get(ovk_trip_active_id());
    EXPECT_EQ(row.device_count, 4);
    EXPECT_EQ(row.flagged_count, 2);
}

TEST_F(Trip, DeviceLabelFollowsLatestVerdictAndPositionRules) {
    ovk_trip_start("t");
    const OVK_LOCATION a = fix(0, 1), b = fix(200, 2);
    const OVK_HIT h1 = hit(OVK_CAT_TRACKER, 50, "AirTag");
    const OVK_HIT h2 = hit(OVK_CAT_TRACKER, 30, "Tracker");
    // No position at first: a later weaker report with a fix fills it in.
    ovk_trip_on_device("M", -60, "BLE", &h1, "", "", "", nullptr, 1);
    ovk_trip_on_device("M", -70, "BLE", &h2, "", "", "", &a, 2);
    std::vector<OVK_TRIP_DEVICE> d = ovk_trip_devices(ovk_trip_active_id());
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].label, "Tracker");
    EXPECT_EQ(d[0].confidence, 50);
    EXPECT_EQ(d[0].evidence, "evidence 30");
    EXPECT_EQ(d[0].best_rssi, -60);
    EXPECT_DOUBLE_EQ(d[0].lat, a.lat);
    // A stronger report without a fix keeps the old position; with one it moves.
    ovk_trip_on_device("M", -50, "BLE", nullptr, "", "", "", nullptr, 3);
    d = ovk_trip_devices(ovk_trip_active_id());
    EXPECT_EQ(d[0].best_rssi, -50);
    EXPECT_DOUBLE_EQ(d[0].lat, a.lat);
    EXPECT_EQ(d[0].label, "Tracker");
    ovk_trip_on_device("M", -40, "BLE", nullptr, "", "", "", &b, 4);
    d = ovk_trip_devices(ovk_trip_active_id());
    EXPECT_DOUBLE_EQ(d[0].lat, b.lat);
    EXPECT_EQ(d[0].category, OVK_CAT_TRACKER);
}

TEST_F(Trip, IndexSurvivesReopenAndListsNewestFirst) {
    const int64_t a = ovk_trip_start("a");
    ovk_trip_on_location(fix(0, 5));
    ovk_trip_flush();
    // While open the row's end is null in the file.
    EXPECT_NE(read_file(trips() + "/trips.json").find("\"endTime\":null"), std::string::npos);
    ovk_trip_stop();
    const int64_t b = ovk_trip_start("b");
    ovk_trip_on_device("X", -1, "BLE", nullptr, "", "", "", nullptr, 5);
    ovk_trip_stop();
    ASSERT_EQ(ovk_trip_rename(a, "renamed"), 0);
    EXPECT_EQ(ovk_trip_rename(99, "x"), -1);
    const std::vector<OVK_TRIP> before = ovk_trip_list();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].id, b);  // same start millisecond possible: id breaks the tie
    ovk_trip_close();
    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    EXPECT_EQ(ovk_trip_list(), before);
    EXPECT_EQ(ovk_trip_get(a)->name, "renamed");
    EXPECT_EQ(ovk_trip_get(a)->point_count, 1);
    EXPECT_EQ(ovk_trip_get(b)->device_count, 1);
    EXPECT_FALSE(ovk_trip_get(42));
}

TEST_F(Trip, DeletedActiveTripStopsAndDoesNotReappear) {
    const int64_t id = ovk_trip_start("t");
    ovk_trip_on_location(fix(0, 1));
    ovk_trip_on_device("X", -1, "BLE", nullptr, "", "", "", nullptr, 5);
    ovk_trip_flush();
    ASSERT_TRUE(file_exists(file(id, "points.csv")));
    ASSERT_TRUE(file_exists(file(id, "devices.json")));
    EXPECT_EQ(ovk_trip_delete(id), 0);
    EXPECT_FALSE(ovk_trip_is_recording());
    EXPECT_FALSE(file_exists(file(id, "points.csv")));
    EXPECT_FALSE(file_exists(file(id, "devices.json")));
    ovk_trip_on_location(fix(100, 2));
    ovk_trip_flush();
    ovk_trip_stop();
    EXPECT_TRUE(ovk_trip_list().empty());
    EXPECT_FALSE(file_exists(file(id, "points.csv")));
    EXPECT_EQ(ovk_trip_delete(id), -1);
}

TEST_F(Trip, NewTripsNeverReuseTheIdOfFilesOrRowsPresent) {
    // Files of a trip whose row is gone (a lost index write): they stay, and the new trip
    // takes the next id.
    write_file(file(1, "points.csv"), "1,10.0,10.0,,\n");
    int64_t id = ovk_trip_start("t");
    ASSERT_EQ(id, 2);
    ovk_trip_on_location(fix(0, 7));
    ovk_trip_stop();
    ASSERT_EQ(ovk_trip_points(id).size(), 1u);
    EXPECT_EQ(ovk_trip_points(id)[0].time, 7);
    EXPECT_EQ(read_file(file(1, "points.csv")), "1,10.0,10.0,,\n");

    // A damaged index (a trailing comma) is kept aside; new trips go above the files of the
    // trips it listed, whose tracks stay as they were.
    ovk_trip_close();
    std::string index = read_file(trips() + "/trips.json");
    ASSERT_EQ(index.back(), ']');
    index.insert(index.size() - 1, ",");
    write_file(trips() + "/trips.json", index);
    const std::string track = read_file(file(2, "points.csv"));
    {
        LogCapture log;
        ASSERT_EQ(ovk_trip_open(dir.path()), 0);
        EXPECT_TRUE(log.has(trips() + "/trips.json is damaged and was not loaded; it is kept as " +
                            trips() + "/trips.json.bad-"));
    }
    id = ovk_trip_start("after");
    EXPECT_EQ(id, 3);
    ovk_trip_on_location(fix(0, 9));
    ovk_trip_stop();
    EXPECT_EQ(read_file(file(2, "points.csv")), track);

    // A row with an absurd id does not stop recording: the next id is the lowest free one.
    ovk_trip_close();
    write_file(trips() + "/trips.json",
               R"([{"id":9223372036854775807,"name":"odd","startTime":1,"endTime":2}])");
    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    ASSERT_EQ(ovk_trip_list().size(), 1u);
    EXPECT_EQ(ovk_trip_list()[0].id, INT64_MAX);
    id = ovk_trip_start("odd one out");
    EXPECT_EQ(id, 1 + 3);  // 1, 2 and 3 have files
    EXPECT_TRUE(ovk_trip_is_recording());
}

TEST_F(Trip, FlaggedSinceAcrossTrips) {
    const OVK_LOCATION here = fix(0, 1);
    const OVK_HIT h = hit(OVK_CAT_ALPR, 70, "Plate reader");
    ovk_trip_start("a");
    ovk_trip_on_device("A1", -50, "BLE", &h, "", "", "", &here, 1000);
    ovk_trip_on_device("A2", -50, "BLE", &h, "", "", "", nullptr, 1000);     // no position
    ovk_trip_on_device("A3", -50, "BLE", nullptr, "", "", "", &here, 1000);  // not flagged
    ovk_trip_stop();
    ovk_trip_start("b");
    ovk_trip_on_device("B1", -50, "WIFI", &h, "", "", "", &here, 5000);
    // The recording trip is included (flushed first).
    std::vector<OVK_TRIP_DEVICE> all = ovk_trip_flagged_since(0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].mac, "A1");
    EXPECT_EQ(all[1].mac, "B1");
    all = ovk_trip_flagged_since(1001);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].mac, "B1");
}

TEST(TripFolder, UnwritableFolderRecordsInMemoryOnly) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    ovk_test::LogCapture log;
    EXPECT_EQ(ovk_trip_open(dir.file("plain")), -1);
    EXPECT_TRUE(log.has("cannot create " + dir.file("plain") + "/trips"));
    const int64_t id = ovk_trip_start("mem");
    ASSERT_GT(id, 0);
    ovk_trip_on_location(fix(0, 1));
    ovk_trip_on_location(fix(50, 2));
    ovk_trip_flush();
    EXPECT_EQ(ovk_trip_live_points().size(), 2u);
    EXPECT_EQ(ovk_trip_get(id)->point_count, 2);
    EXPECT_TRUE(ovk_trip_points(id).empty());
    ovk_trip_close();
}

// --- loaders ---------------------------------------------------------------------------

TEST(TripFiles, PointsLoaderTakesCompleteWellFormedLinesOnly) {
    const std::string text =
        "1,1.5,2.5,,\n"
        "\n"
        "2,1.5\n"        // too few fields
        "x,1.0,2.0,,\n"  // bad time
        "3,1.0E-4,-2.0,7.0,\n"
        "4,abc,2.0,,\n"  // bad latitude
        "5,NaN,2.0,,\n"  // not finite
        "6,1.0,2.0,,0.5,extra\n"
        "7,1.0,2.0,bad,\n"  // unreadable accuracy: unknown
        "8,3.0,4.";         // torn by a crash: no newline
    const std::vector<OVK_TRIP_POINT> p = ovk_trip_parse_points(text);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].time, 1);
    EXPECT_EQ(p[0].has_accuracy, 0);
    EXPECT_EQ(p[1].lat, 1.0e-4);
    EXPECT_EQ(p[1].has_accuracy, 1);
    EXPECT_EQ(p[1].accuracy_m, 7.0);
    EXPECT_EQ(p[2].has_speed, 1);
    EXPECT_EQ(p[2].speed_ms, 0.5);
    EXPECT_EQ(p[3].time, 7);
    EXPECT_EQ(p[3].has_accuracy, 0);
    EXPECT_EQ(ovk_trip_parse_points(ovk_trip_points_text(p)), p);
}

TEST(TripFiles, IndexLoaderSkipsBadRowsAndReadsMissingNumbersAsZero) {
    const std::string text =
        R"([{"id":3,"name":"x","startTime":10,"endTime":null},)"
        R"({"id":0,"name":"zero"},{"name":"no id"},{"id":-2},7,)"
        R"({"id":3,"name":"dup"},)"
        R"({"id":4,"name":"y","startTime":1,"endTime":2,"distanceM":12.5,"pointCount":3,)"
        R"("deviceCount":4,"flaggedCount":1}])";
    const std::vector<OVK_TRIP> rows = ovk_trip_parse_index(text);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "x");
    EXPECT_EQ(rows[0].end_time, 0);
    EXPECT_EQ(rows[0].point_count, 0);
    EXPECT_EQ(rows[1].distance_m, 12.5);
    EXPECT_EQ(rows[1].flagged_count, 1);
    EXPECT_EQ(ovk_trip_parse_index(*ovk_trip_index_text(rows)), rows);
    EXPECT_TRUE(ovk_trip_parse_index("{").empty());
    EXPECT_TRUE(ovk_trip_parse_index("{}").empty());
}

TEST(TripFiles, DevicesLoaderRules) {
    const std::string text =
        R"([{"tripId":1,"mac":"A","label":"L","name":null,"category":"tracker",)"
        R"("confidence":55,"lat":1.5,"lon":2.5,"bestRssi":-40},)"
        R"({"label":"no mac"},)"
        R"({"mac":"B","category":"NOPE","lat":1.0,"lon":null},)"
        R"({"mac":"C","lat":"1","lon":2}])";
    const std::vector<OVK_TRIP_DEVICE> d = ovk_trip_parse_devices(text);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].category, OVK_CAT_TRACKER);
    EXPECT_EQ(d[0].has_pos, 1);
    EXPECT_EQ(d[0].lon, 2.5);
    EXPECT_EQ(d[1].category, -1);
    EXPECT_EQ(d[1].has_pos, 0);
    EXPECT_EQ(d[2].has_pos, 0);
    const std::string back = *ovk_trip_devices_text(9, d);
    EXPECT_EQ(back.rfind(R"([{"tripId":9,"mac":"A","label":"L","name":null,"vendor":null,)"
                         R"("deviceType":null,"source":"","category":"TRACKER",)",
                         0),
              0u);
    EXPECT_EQ(ovk_trip_parse_devices(back), d);
}

// --- a recording process killed mid-trip -----------------------------------------------

TEST(TripCrash, KilledRecorderLeavesTripClosedFromItsStoredPoints) {
    TempDir dir;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        if (ovk_trip_open(dir.path()) != 0 || ovk_trip_start("crash") != 1) _exit(2);
        const OVK_HIT h = hit(OVK_CAT_BODY_CAM, 80);
        for (int i = 0;; ++i) {
            const OVK_LOCATION l = fix(20.0 * i, 1000 + 1000LL * i);
            ovk_trip_on_location(l);
            ovk_trip_on_device(i % 2 ? "D1" : "D2", -50, "BLE", i % 2 ? &h : nullptr, "", "", "",
                               &l, l.time);
            if (i % 3 == 2) {
                ovk_trip_flush();
                if (i == 8 && write(ready[1], "r", 1) != 1) _exit(3);
            }
            usleep(200);
        }
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    usleep(20000);  // let it record a little more before the kill
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    ASSERT_EQ(ovk_trip_get(1)->end_time, 0);
    EXPECT_EQ(ovk_trip_close_stale(), 1);
    const OVK_TRIP t = *ovk_trip_get(1);
    const std::vector<OVK_TRIP_POINT> p =
        ovk_trip_parse_points(read_file(dir.path() + "/trips/1.points.csv"));
    ASSERT_GE(p.size(), 9u);
    // Points are one per second, 20 m apart, from t = 1000 ms.
    for (size_t i = 0; i < p.size(); ++i) EXPECT_EQ(p[i].time, 1000 + 1000 * int64_t(i));
    EXPECT_EQ(t.end_time, p.back().time);
    EXPECT_EQ(t.point_count, static_cast<int>(p.size()));
    EXPECT_NEAR(t.distance_m, 20.0 * (p.size() - 1), 0.05);
    EXPECT_EQ(t.device_count, 2);
    EXPECT_EQ(t.flagged_count, 1);
    // Stored; a second call has nothing left to close.
    EXPECT_EQ(ovk_trip_close_stale(), 0);
    ovk_trip_close();
    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    // The index keeps numbers to 15 significant digits; the distance may differ in its last bit.
    OVK_TRIP back = *ovk_trip_get(1);
    EXPECT_DOUBLE_EQ(back.distance_m, t.distance_m);
    back.distance_m = t.distance_m;
    EXPECT_EQ(back, t);
    ovk_trip_close();
}

TEST(TripCrash, CloseStalePicksLatestOpenTripAndUsesStartWithoutPoints) {
    TempDir dir;
    ASSERT_EQ(ovk_mkdirs(dir.path() + "/trips"), 0);
    write_file(dir.path() + "/trips/trips.json",
               R"([{"id":1,"name":"old","startTime":100,"endTime":null},)"
               R"({"id":2,"name":"new","startTime":500,"endTime":null,"pointCount":9},)"
               R"({"id":3,"name":"done","startTime":900,"endTime":950}])");
    write_file(dir.path() + "/trips/1.points.csv", "150,1.0,1.0,,\n");
    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    EXPECT_EQ(ovk_trip_close_stale(), 1);
    const OVK_TRIP t2 = *ovk_trip_get(2);
    EXPECT_EQ(t2.end_time, 500);
    EXPECT_EQ(t2.point_count, 0);
    EXPECT_EQ(t2.distance_m, 0);
    EXPECT_EQ(ovk_trip_get(1)->end_time, 0);  // only one trip per start
    EXPECT_EQ(ovk_trip_get(3)->end_time, 950);
    // Nothing is closed while a trip records.
    ovk_trip_start("live");
    EXPECT_EQ(ovk_trip_close_stale(), 0);
    EXPECT_EQ(ovk_trip_get(1)->end_time, 0);
    ovk_trip_stop();
    EXPECT_EQ(ovk_trip_close_stale(), 1);
    EXPECT_EQ(ovk_trip_get(1)->end_time, 150);
    ovk_trip_close();
}

}  // namespace

// --- exports ---------------------------------------------------------------------------

namespace {

struct ExportData {
    OVK_TRIP t;
    std::vector<OVK_TRIP_POINT> p;
    std::vector<OVK_TRIP_DEVICE> d;
};

ExportData export_data(size_t npoints) {
    ExportData x;
    x.t.id = 3;
    x.t.name = "Drive <A&B>";
    x.t.start_time = 1704067200000;  // 2024-01-01T00:00:00Z
    x.t.distance_m = 1234.56;
    for (size_t i = 0; i < npoints; ++i) {
        OVK_TRIP_POINT q;
        q.time = x.t.start_time + static_cast<int64_t>(i) * 1000;
        q.lat = 45.5 + static_cast<double>(i) * 0.001;
        q.lon = -75.25;
        x.p.push_back(q);
    }
    OVK_TRIP_DEVICE f;
    f.mac = "AA:BB:CC:DD:EE:01";
    f.label = "Body cam";
    f.vendor = "Axon";
    f.source = "BLE";
    f.category = OVK_CAT_BODY_CAM;
    f.confidence = 90;
    f.evidence = "=cmd \"x\"";
    f.first_seen = f.last_seen = x.t.start_time + 61000;
    f.best_rssi = -61;
    f.has_pos = 1;
    f.lat = 45.5;
    f.lon = -75.25;
    OVK_TRIP_DEVICE u;
    u.mac = "AA:BB:CC:DD:EE:02";
    u.label = "Phone";
    u.source = "WIFI";
    u.best_rssi = -80;
    u.has_pos = 1;
    u.lat = 1.25;
    u.lon = 2.5;
    OVK_TRIP_DEVICE n = u;
    n.mac = "AA:BB:CC:DD:EE:03";
    n.has_pos = 0;
    n.lat = n.lon = 0;
    x.d = {f, u, n};
    return x;
}

size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(TripExport, GpxWaypointsAndAlwaysATrack) {
    ExportData x = export_data(2);
    const std::string g = *ovk_trip_export_gpx(x.t, x.p, x.d, false);
    EXPECT_EQ(
        g.rfind(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"Orvik\"",
            0),
        0u);
    EXPECT_NE(g.find("  <metadata><name>Drive "
                     "&lt;A&amp;B&gt;</name><time>2024-01-01T00:00:00Z</time></metadata>\n"),
              std::string::npos);
    EXPECT_NE(g.find("  <wpt lat=\"45.5000000\" lon=\"-75.2500000\">\n    "
                     "<time>2024-01-01T00:01:01Z</time>\n"
                     "    <name>Body cam</name>\n"
                     "    <desc>AA:BB:CC:DD:EE:01 - Axon - BODY_CAM 90% - best -61 dBm - =cmd "
                     "&quot;x&quot;</desc>\n"
                     "    <type>BODY_CAM</type>\n  </wpt>\n"),
              std::string::npos);
    EXPECT_NE(g.find("<type>DEVICE</type>"), std::string::npos);
    EXPECT_EQ(count(g, "<wpt "), 2u);
    EXPECT_EQ(count(g, "<trkpt "), 2u);
    EXPECT_NE(g.find("    <trkpt lat=\"45.5010000\" "
                     "lon=\"-75.2500000\"><time>2024-01-01T00:00:01Z</time></trkpt>\n"),
              std::string::npos);
    EXPECT_EQ(count(*ovk_trip_export_gpx(x.t, x.p, x.d, true), "<wpt "), 1u);
    const std::string empty = *ovk_trip_export_gpx(x.t, {}, {}, false);
    EXPECT_NE(empty.find(
                  "  <trk><name>Drive &lt;A&amp;B&gt;</name><trkseg>\n  </trkseg></trk>\n</gpx>\n"),
              std::string::npos);
}

TEST(TripExport, KmlTraceNeedsTwoPoints) {
    ExportData x = export_data(1);
    std::string k = *ovk_trip_export_kml(x.t, x.p, x.d, false);
    EXPECT_EQ(k.find("<name>Trace</name>"), std::string::npos);
    EXPECT_EQ(count(k, "<Point>"), 2u);
    EXPECT_NE(
        k.find("<styleUrl>#flagged</styleUrl><description>AA:BB:CC:DD:EE:01 - Axon - BODY_CAM 90%"),
        std::string::npos);
    EXPECT_NE(
        k.find("<Point><coordinates>2.5000000,1.2500000,0</coordinates></Point></Placemark>\n"),
        std::string::npos);
    EXPECT_NE(k.find("<styleUrl>#device</styleUrl>"), std::string::npos);
    EXPECT_EQ(k.substr(k.size() - 19), "</Document>\n</kml>\n");
    x = export_data(2);
    k = *ovk_trip_export_kml(x.t, x.p, x.d, true);
    EXPECT_NE(k.find("<tessellate>1</tessellate><coordinates>\n    -75.2500000,45.5000000,0\n"
                     "    -75.2500000,45.5010000,0\n  </coordinates>"),
              std::string::npos);
    EXPECT_EQ(count(k, "<Point>"), 1u);
}

TEST(TripExport, GeoJsonTraceAndDevices) {
    ExportData x = export_data(1);
    const OVK_JSON j = ovk_json_parse(*ovk_trip_export_geojson(x.t, x.p, x.d, false));
    ASSERT_TRUE(j);
    const cJSON* fs = cJSON_GetObjectItem(j.get(), "features");
    ASSERT_EQ(cJSON_GetArraySize(fs), 3);
    const cJSON* trace = cJSON_GetArrayItem(fs, 0);
    const cJSON* tp = cJSON_GetObjectItem(trace, "properties");
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(trace, "geometry"), "type")->valuestring,
                 "LineString");
    EXPECT_STREQ(cJSON_GetObjectItem(tp, "kind")->valuestring, "trace");
    EXPECT_EQ(cJSON_GetObjectItem(tp, "distanceM")->valuedouble, 1235);
    EXPECT_FALSE(cJSON_GetObjectItem(tp, "end"));  // still open
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(tp, "times")), 1);
    const cJSON* dev = cJSON_GetArrayItem(fs, 2);
    const cJSON* dp = cJSON_GetObjectItem(dev, "properties");
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(dp, "category")));
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(dp, "vendor")));
    EXPECT_STREQ(cJSON_GetObjectItem(dp, "lastSeen")->valuestring, "1970-01-01T00:00:00Z");
    const cJSON* c = cJSON_GetObjectItem(cJSON_GetObjectItem(dev, "geometry"), "coordinates");
    EXPECT_EQ(cJSON_GetArrayItem(c, 0)->valuedouble, 2.5);
    EXPECT_EQ(cJSON_GetArrayItem(c, 1)->valuedouble, 1.25);
    x.t.end_time = x.t.start_time + 5000;
    const OVK_JSON closed = ovk_json_parse(*ovk_trip_export_geojson(x.t, {}, x.d, true));
    ASSERT_TRUE(closed);
    const cJSON* only = cJSON_GetObjectItem(closed.get(), "features");
    ASSERT_EQ(cJSON_GetArraySize(only), 1);  // no points: no trace feature
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetArrayItem(only, 0), "properties"),
                                     "category")
                     ->valuestring,
                 "BODY_CAM");
}

TEST(TripExport, DevicesCsvListsEveryDeviceSpreadsheetSafe) {
    const ExportData x = export_data(0);
    const std::string c = *ovk_trip_export_devices_csv(x.d);
    std::vector<std::string> lines;
    for (size_t at = 0; at < c.size();) {
        const size_t nl = c.find('\n', at);
        lines.push_back(c.substr(at, nl - at));
        at = nl + 1;
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "mac,label,name,vendor,device_type,source,flagged,category,confidence,evidence,"
              "first_seen,last_seen,best_rssi,latitude,longitude");
    const std::string t = ovk_local_time(x.d[0].first_seen);
    EXPECT_EQ(
        lines[1],
        "AA:BB:CC:DD:EE:01,\"Body cam\",,\"Axon\",,BLE,true,BODY_CAM,90,\"'=cmd \"\"x\"\"\"," + t +
            "," + t + ",-61,45.5,-75.25");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 6), ",-80,,");
    EXPECT_NE(lines[2].find(",WIFI,false,,0,,"), std::string::npos);

    // A damaged trip file can hold anything in the address and source columns.
    std::vector<OVK_TRIP_DEVICE> bad(1, x.d[0]);
    bad[0].mac = "=HYPERLINK(\"x\")";
    bad[0].source = "BLE,WIFI";
    const std::string b = *ovk_trip_export_devices_csv(bad);
    const std::string row = "\"'=HYPERLINK(\"\"x\"\")\",\"Body cam\",,\"Axon\",,";
    EXPECT_EQ(b.substr(b.find('\n') + 1, row.size()), row);
    EXPECT_NE(b.find(",\"BLE,WIFI\",true,"), std::string::npos) << b;
}
