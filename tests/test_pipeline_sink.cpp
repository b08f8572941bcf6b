// SPDX-License-Identifier: GPL-3.0-or-later
// The pipeline as the platform layer sees it: everything arrives through the sink it
// installs (adverts, fixes, cell reports, status lines), and the "may be following you"
// alert once a flagged device has moved along with the user, and the stillness test the cell
// path relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ovk_alpr.h"
#include "ovk_demo.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_vendordb.h"
#include "pipeline_env.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;
const char* kAxon = "00:25:DF:4A:19:C2";

std::atomic<int64_t> g_now{T0};

struct Seen {
    std::mutex mu;
    int sinks_installed = 0;
    OVK_SINK sink;  // the last one installed
    std::vector<std::string> spoken;
    std::vector<int> following;
};
Seen g_seen;

OVK_PIPELINE_HOOKS hooks() {
    OVK_PIPELINE_HOOKS h;
    h.now_ms = [] { return g_now.load(); };
    h.set_sink = [](const OVK_SINK* s) {
        std::lock_guard<std::mutex> l(g_seen.mu);
        ++g_seen.sinks_installed;
        g_seen.sink = s ? *s : OVK_SINK{};
    };
    h.alert = [](OVK_TIER, int following, int, int, std::string_view spoken) {
        std::lock_guard<std::mutex> l(g_seen.mu);
        g_seen.spoken.emplace_back(spoken);
        g_seen.following.push_back(following);
    };
    return h;
}

OVK_SINK installed() {
    std::lock_guard<std::mutex> l(g_seen.mu);
    return g_seen.sink;
}

OVK_ADVERT_PTR demo_advert(const std::string& mac, int64_t t) {
    OVK_ADVERT_PTR found;
    ovk_demo_round_at(0, t, std::nullopt, [&](OVK_ADVERT_PTR a) {
        if (a->mac == mac) found = std::move(a);
    });
    return found;
}

OVK_LOCATION fix_at(double lat, double lon, int64_t t) {
    OVK_LOCATION f;
    f.lat = lat;
    f.lon = lon;
    f.time = t;
    return f;
}

void drain() {
    ovk_test::pipeline_drain();
}
std::vector<OVK_UI_ALERT> pop_all() {
    return ovk_test::pipeline_pop_all();
}

class PipelineSink : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = T0;
        {
            std::lock_guard<std::mutex> l(g_seen.mu);
            g_seen.sinks_installed = 0;
            g_seen.sink = OVK_SINK{};
            g_seen.spoken.clear();
            g_seen.following.clear();
        }
        OVK_PREFS p;
        p.voice_enabled = 1;
        p.follow_min_minutes = 1;
        p.follow_min_meters = 100;
        ovk_test::pipeline_up(dir_.path(), p, hooks(), T0 - 1000);
    }
    void TearDown() override { ovk_test::pipeline_down(); }
    ovk_test::TempDir dir_;
};

TEST_F(PipelineSink, EverythingArrivesThroughTheInstalledSink) {
    const OVK_SINK sink = installed();
    ASSERT_TRUE(sink.on_advert && sink.on_location && sink.on_cells && sink.on_status);

    sink.on_location(fix_at(kLat, kLon, T0));
    sink.on_advert(demo_advert(kAxon, T0));
    sink.on_advert(nullptr);  // nothing to take
    drain();
    const auto got = ovk_pipeline_location_get();
    ASSERT_TRUE(got.has_value());
    EXPECT_DOUBLE_EQ(got->lat, kLat);
    EXPECT_TRUE(ovk_registry_get(kAxon).has_value());
    auto alerts = pop_all();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].key, kAxon);

    // Cell reports reach the analyzer only through on_cells on this platform: a test
    // network code (MCC 001) is logged as a CELL detection and raises a map alert.
    OVK_CELL c = ovk_test::registered_lte_cell("001", "01", 7, 99);
    const std::vector<OVK_CELL> cells{c};
    sink.on_cells(cells, "00101", 0);
    sink.on_cells({}, "00101", 0);  // no cells: ignored
    drain();
    int cell_logs = 0;
    for (const auto& d : ovk_store_detections(0)) {
        if (d.source != "CELL") continue;
        ++cell_logs;
        EXPECT_EQ(d.mac.rfind("CELL ", 0), 0u);
        EXPECT_FALSE(d.has_pos);  // GPS tagging is off by default
    }
    EXPECT_EQ(cell_logs, 1);
    alerts = pop_all();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].key.rfind("cell:", 0), 0u);
    EXPECT_EQ(alerts[0].rssi, 0);
    EXPECT_TRUE(ovk_pipeline_status().has_cell_anomaly);

    {
        ovk_test::LogCapture log;
        sink.on_status("BLE hci0: passive scan (LE 1M)");
        EXPECT_TRUE(log.has("scanner: BLE hci0: passive scan (LE 1M)")) << log.text();
    }

    // Shutdown takes the sink away again.
    ovk_pipeline_shutdown();
    const OVK_SINK after = installed();
    EXPECT_FALSE(after.on_advert || after.on_location || after.on_cells || after.on_status);
}

TEST_F(PipelineSink, FollowingAlertOnceAfterMovingTogether) {
    const OVK_SINK sink = installed();
    ASSERT_TRUE(sink.on_advert && sink.on_location);
    // The user drives north about 111 m every 45 s; the body camera is heard at each stop.
    for (int i = 0; i < 5; ++i) {
        const int64_t t = T0 + i * 45000;
        g_now = t;
        sink.on_location(fix_at(kLat + 0.001 * i, kLon, t));
        sink.on_advert(demo_advert(kAxon, t));
        drain();
    }
    int follow_alerts = 0;
    for (const auto& a : pop_all()) {
        if (!a.following) continue;
        ++follow_alerts;
        EXPECT_EQ(a.key, kAxon);
        EXPECT_GT(a.hit.confidence, 0);
    }
    EXPECT_EQ(follow_alerts, 1) << "the registry says yes once per device";
    std::lock_guard<std::mutex> l(g_seen.mu);
    int spoken_follow = 0;
    for (size_t i = 0; i < g_seen.spoken.size(); ++i) {
        if (!g_seen.following[i]) continue;
        ++spoken_follow;
        EXPECT_EQ(g_seen.spoken[i].rfind("Warning. ", 0), 0u) << g_seen.spoken[i];
        EXPECT_NE(g_seen.spoken[i].find(" may be following you."), std::string::npos);
    }
    EXPECT_EQ(spoken_follow, 1);
}

TEST_F(PipelineSink, NoFollowingAlertWhileSwitchedOff) {
    OVK_PREFS p = ovk_prefs_get();
    p.follower_alerts = 0;
    ovk_prefs_set(p);
    const OVK_SINK sink = installed();
    for (int i = 0; i < 5; ++i) {
        const int64_t t = T0 + i * 45000;
        g_now = t;
        sink.on_location(fix_at(kLat + 0.001 * i, kLon, t));
        sink.on_advert(demo_advert(kAxon, t));
        drain();
    }
    for (const auto& a : pop_all()) EXPECT_EQ(a.following, 0);
    // Switched back on, the device qualifies at once on its next advert.
    p.follower_alerts = 1;
    ovk_prefs_set(p);
    const int64_t t = T0 + 5 * 45000;
    sink.on_advert(demo_advert(kAxon, t));
    drain();
    int follow_alerts = 0;
    for (const auto& a : pop_all()) follow_alerts += a.following;
    EXPECT_EQ(follow_alerts, 1);
}

// The cell path asks the pipeline whether the user stands still (the fixes of the last three
// minutes): only then is a new area code on the same network an anomaly worth logging.
int area_changes_after(const OVK_SINK& sink, const std::vector<OVK_LOCATION>& fixes,
                       int64_t cells_at) {
    for (const auto& f : fixes) sink.on_location(f);
    OVK_CELL c = ovk_test::registered_lte_cell("262", "01", 100, 5);
    g_now = cells_at;
    sink.on_cells(std::span(&c, 1), "", 0);
    c.area = 200;
    g_now = cells_at + 10000;
    sink.on_cells(std::span(&c, 1), "", 0);
    drain();
    int n = 0;
    for (const auto& d : ovk_store_detections(0))
        n += d.source == "CELL" && d.label == "Location area changed while you weren't moving";
    return n;
}

OVK_LOCATION still_fix(double north_deg, int64_t t, double speed = 0.0) {
    OVK_LOCATION f = fix_at(kLat + north_deg, kLon, t);
    f.has_speed = 1;
    f.speed_ms = speed;
    return f;
}

TEST_F(PipelineSink, AreaChangeCountsOnlyWhileStandingStill) {
    // Three fixes over more than two minutes at one spot, the last one recent: standing still.
    EXPECT_EQ(area_changes_after(
                  installed(),
                  {still_fix(0, T0), still_fix(0, T0 + 60000), still_fix(0.0001, T0 + 130000)},
                  T0 + 130000),
              1);
}

TEST_F(PipelineSink, AreaChangeIgnoredWhileMoving) {
    // 60 m from the first fix of the window.
    EXPECT_EQ(area_changes_after(
                  installed(),
                  {still_fix(0, T0), still_fix(0, T0 + 60000), still_fix(0.00054, T0 + 130000)},
                  T0 + 130000),
              0);
}

TEST_F(PipelineSink, AreaChangeIgnoredWhenSpeedSaysMoving) {
    EXPECT_EQ(area_changes_after(
                  installed(),
                  {still_fix(0, T0), still_fix(0, T0 + 60000, 1.0), still_fix(0, T0 + 130000)},
                  T0 + 130000),
              0);
}

TEST_F(PipelineSink, AreaChangeIgnoredWhenStillnessIsUnknown) {
    // Three still fixes spanning less than two minutes.
    EXPECT_EQ(
        area_changes_after(installed(),
                           {still_fix(0, T0), still_fix(0, T0 + 60000), still_fix(0, T0 + 110000)},
                           T0 + 110000),
        0);
}

TEST_F(PipelineSink, AreaChangeIgnoredOnceTheFixesHaveAgedOut) {
    // The same still fixes, but the cell reports come 70 s after the last of them: the first
    // fix has left the three-minute window and what is left spans too little.
    EXPECT_EQ(
        area_changes_after(installed(),
                           {still_fix(0, T0), still_fix(0, T0 + 60000), still_fix(0, T0 + 130000)},
                           T0 + 200000),
        0);
}

}  // namespace
