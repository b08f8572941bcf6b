// SPDX-License-Identifier: GPL-3.0-or-later
// History analysis: collection from the log and the trips, encounters, local hour and
// weekday counts, top labels and the busiest text.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "helpers/ovk_test_files.h"
#include "ovk_history.h"
#include "ovk_store.h"
#include "ovk_trip.h"

namespace {

constexpr int64_t kMin = 60000;
// 2024-01-07 (a Sunday) 23:30 in a fixed zone five hours behind UTC.
constexpr int64_t kSunday2330 = 1704688200000;
// 2024-01-05 (a Friday) 23:10 in the same zone.
constexpr int64_t kFriday2310 = 1704514200000;

OVK_HISTORY_EVENT ev(const char* mac, int64_t t, const char* label = "L") {
    OVK_HISTORY_EVENT e;
    e.mac = mac;
    e.time = t;
    e.label = label;
    e.category = OVK_CAT_BODY_CAM;
    return e;
}

class History : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        if (tz) old_tz_ = tz;
        had_tz_ = tz != nullptr;
        setenv("TZ", "EST5", 1);
        tzset();
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::string old_tz_;
    bool had_tz_ = false;
};

TEST_F(History, EncountersSplitOnGapsPerAddressNewestFirst) {
    const int64_t t0 = 1700000000000;
    const std::vector<OVK_HISTORY_EVENT> in = {ev("A", t0 + 20 * kMin), ev("A", t0), ev("B", t0),
                                               ev("A", t0 + 5 * kMin)};
    const std::vector<OVK_HISTORY_EVENT> enc = ovk_history_encounters(in, 10 * kMin);
    ASSERT_EQ(enc.size(), 3u);
    EXPECT_EQ(enc[0].mac, "A");
    EXPECT_EQ(enc[0].time, t0 + 20 * kMin);
    // Same minute, two addresses: two encounters, in the order they were made (A first).
    EXPECT_EQ(enc[1].mac, "A");
    EXPECT_EQ(enc[1].time, t0);
    EXPECT_EQ(enc[2].mac, "B");
    // A gap of exactly the limit continues the encounter; one millisecond more does not.
    EXPECT_EQ(ovk_history_encounters(std::vector{ev("A", 0), ev("A", 10 * kMin)}, 10 * kMin).size(),
              1u);
    EXPECT_EQ(
        ovk_history_encounters(std::vector{ev("A", 0), ev("A", 10 * kMin + 1)}, 10 * kMin).size(),
        2u);
    EXPECT_TRUE(ovk_history_encounters({}, 10 * kMin).empty());
}

TEST_F(History, EncounterTakesFirstPositionWithinIt) {
    OVK_HISTORY_EVENT a = ev("A", 1000, "first");
    OVK_HISTORY_EVENT b = ev("A", 2000, "second");
    b.has_pos = 1;
    b.lat = 10;
    b.lon = 20;
    OVK_HISTORY_EVENT c = ev("A", 3000);
    c.has_pos = 1;
    c.lat = 30;
    const std::vector<OVK_HISTORY_EVENT> enc = ovk_history_encounters(std::vector{c, b, a}, kMin);
    ASSERT_EQ(enc.size(), 1u);
    EXPECT_EQ(enc[0].time, 1000);
    EXPECT_EQ(enc[0].label, "first");
    EXPECT_EQ(enc[0].has_pos, 1);
    EXPECT_EQ(enc[0].lat, 10);
    EXPECT_EQ(enc[0].lon, 20);
}

TEST_F(History, HourAndWeekdayInLocalTime) {
    const std::vector<OVK_HISTORY_EVENT> in = {ev("A", kSunday2330),
                                               ev("B", kSunday2330 + 31 * kMin)};
    const std::array<int, 24> h = ovk_history_by_hour(in);
    const std::array<int, 7> d = ovk_history_by_weekday(in);
    EXPECT_EQ(h[23], 1);
    EXPECT_EQ(h[0], 1);
    EXPECT_EQ(d[6], 1);  // Sunday
    EXPECT_EQ(d[0], 1);  // Monday, just after midnight
    // Negative times floor to whole seconds: -1 ms is 18:59:59 on Wednesday 1969-12-31.
    EXPECT_EQ(ovk_history_by_hour(std::vector{ev("A", -1)})[18], 1);
    EXPECT_EQ(ovk_history_by_weekday(std::vector{ev("A", -1)})[2], 1);
    EXPECT_EQ(ovk_history_by_hour({}), (std::array<int, 24>{}));
}

TEST_F(History, BusiestAndTopLabels) {
    EXPECT_FALSE(ovk_history_busiest({}));
    EXPECT_EQ(ovk_history_busiest(std::vector{ev("A", kFriday2310)}), "Busiest: Fri, 23:00-00:00");
    // Ties go to the earliest hour and the earlier day from Monday.
    EXPECT_EQ(
        ovk_history_busiest(std::vector{ev("A", kSunday2330), ev("B", kFriday2310 - 2 * 3600000)}),
        "Busiest: Fri, 21:00-22:00");

    const std::vector<OVK_HISTORY_EVENT> in = {ev("1", 0, "A"), ev("2", 0, "B"), ev("3", 0, "A"),
                                               ev("4", 0, "B"), ev("5", 0, "C"), ev("6", 0, "C"),
                                               ev("7", 0, "C")};
    const std::vector<OVK_LABEL_COUNT> top = ovk_history_top_labels(in, 3);
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0], (OVK_LABEL_COUNT{"C", 3}));
    EXPECT_EQ(top[1], (OVK_LABEL_COUNT{"A", 2}));
    EXPECT_EQ(top[2], (OVK_LABEL_COUNT{"B", 2}));
    EXPECT_EQ(ovk_history_top_labels(in, 1).size(), 1u);
    EXPECT_TRUE(ovk_history_top_labels(in, 0).empty());
    EXPECT_TRUE(ovk_history_top_labels({}, 3).empty());
}

TEST_F(History, CollectsLogThenFlaggedTripDevices) {
    ovk_test::TempDir dir;
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    OVK_DETECTION d;
    d.mac = "AA:AA:AA:AA:AA:01";
    d.label = "old";
    d.source = "BLE";
    d.timestamp = 1000;
    d.category = OVK_CAT_ALPR;
    ASSERT_EQ(ovk_store_add_detection(d), 0);
    d.label = "new";
    d.timestamp = 5000;
    d.has_pos = 1;
    d.lat = 1.5;
    d.lon = 2.5;
    ASSERT_EQ(ovk_store_add_detection(d), 0);

    ASSERT_GT(ovk_trip_start("t"), 0);
    OVK_LOCATION here;
    here.lat = 45;
    here.lon = -75;
    const OVK_HIT h = ovk_hit_make(OVK_CAT_TRACKER, "AirTag", 70, "s", "e");
    ovk_trip_on_device("BB:BB:BB:BB:BB:01", -50, "BLE", &h, "", "", "", &here, 4000);
    ovk_trip_on_device("BB:BB:BB:BB:BB:01", -50, "BLE", &h, "", "", "", &here, 7000);
    ovk_trip_on_device("BB:BB:BB:BB:BB:02", -50, "BLE", nullptr, "", "", "", &here, 7000);

    std::vector<OVK_HISTORY_EVENT> all = ovk_history_collect(0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].label, "new");
    EXPECT_EQ(all[0].has_pos, 1);
    EXPECT_EQ(all[0].lon, 2.5);
    EXPECT_EQ(all[1].label, "old");
    EXPECT_EQ(all[2].mac, "BB:BB:BB:BB:BB:01");
    EXPECT_EQ(all[2].time, 4000);  // first sighting
    EXPECT_EQ(all[2].category, OVK_CAT_TRACKER);
    EXPECT_EQ(all[2].lat, 45);
    // The trip device counts by its last sighting, the event by its first.
    all = ovk_history_collect(4500);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].label, "new");
    EXPECT_EQ(all[1].time, 4000);
    ovk_trip_close();
    ovk_store_close();
}

// A fleet detection keeps its sensor, and two sensors that see one device at one time are two
// encounters (two places), not one.
TEST_F(History, FleetDetectionsKeepTheirSensorAndEachSensorsSightingIsItsOwnEncounter) {
    ovk_test::TempDir dir;
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    ASSERT_EQ(ovk_trip_open(dir.path()), 0);
    OVK_DETECTION d;
    d.mac = "00:25:DF:4A:19:C2";
    d.label = "Axon body camera";
    d.source = "BLE";
    d.category = OVK_CAT_BODY_CAM;
    d.has_pos = 1;
    const int64_t t0 = 1700000000000;
    const char* sensors[] = {"car1", "home", ""};
    for (int i = 0; i < 3; ++i) {
        d.timestamp = t0 + i * kMin;
        d.sensor = sensors[i];
        d.lat = 52.5 + i * 0.01;
        ASSERT_EQ(ovk_store_add_detection(d), 0);
    }
    const std::vector<OVK_HISTORY_EVENT> all = ovk_history_collect(0);
    ASSERT_EQ(all.size(), 3u);
    std::vector<std::string> got;
    for (const OVK_HISTORY_EVENT& e : ovk_history_encounters(all, 10 * kMin)) {
        got.push_back(e.sensor);
        EXPECT_EQ(e.lat, 52.5 + (e.sensor == "car1" ? 0 : e.sensor == "home" ? 0.01 : 0.02));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"", "home", "car1"}));
    ovk_trip_close();
    ovk_store_close();
}

}  // namespace
