// SPDX-License-Identifier: GPL-3.0-or-later
// Detection pipeline: classification cache, log limit, alert cool-downs, drone overhead,
// plate cameras ahead, cell anomalies, the alert ring, the queue bound, threat level,
// status, scan control and history flushes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "ovk_alpr.h"
#include "ovk_classify_io.h"
#include "ovk_demo.h"
#include "ovk_gui_main.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_signature.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "pipeline_env.h"
#include "rid_builder.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;

std::atomic<int64_t> g_now{T0};

struct Calls {
    std::mutex mu;
    std::vector<std::string> notify_keys;
    std::vector<std::string> notify_titles;
    std::vector<std::string> spoken;
    std::vector<OVK_SCAN_OPTS> scan_starts;
    int scan_stops = 0;
    int scan_result = 0;
    bool platform_running = false;
    std::vector<std::string> backgrounds;
};
Calls g_calls;

OVK_PIPELINE_HOOKS fake_hooks() {
    OVK_PIPELINE_HOOKS h;
    h.now_ms = [] { return g_now.load(); };
    h.notify = [](std::optional<std::string_view> key, std::optional<std::string_view> title,
                  std::optional<std::string_view>) {
        std::lock_guard<std::mutex> l(g_calls.mu);
        g_calls.notify_keys.emplace_back(key.value_or(""));
        g_calls.notify_titles.emplace_back(title.value_or(""));
    };
    h.alert = [](OVK_TIER, int, int, int, std::string_view spoken) {
        std::lock_guard<std::mutex> l(g_calls.mu);
        g_calls.spoken.emplace_back(spoken);
    };
    h.scan_start = [](const OVK_SCAN_OPTS& o) {
        std::lock_guard<std::mutex> l(g_calls.mu);
        g_calls.scan_starts.push_back(o);
        g_calls.platform_running = g_calls.scan_result == 0;
        return g_calls.scan_result;
    };
    h.scan_stop = [] {
        std::lock_guard<std::mutex> l(g_calls.mu);
        ++g_calls.scan_stops;
        g_calls.platform_running = false;
    };
    h.scan_running = [] {
        std::lock_guard<std::mutex> l(g_calls.mu);
        return g_calls.platform_running ? 1 : 0;
    };
    h.scan_status = [] { return std::string("BLE: hci0 passive\nWi-Fi: wlan0"); };
    h.background = [](int, std::string_view text) {
        std::lock_guard<std::mutex> l(g_calls.mu);
        g_calls.backgrounds.emplace_back(text);
    };
    return h;
}

// Adverts of the demo table by address, at a given time.
OVK_ADVERT_PTR demo_advert(const std::string& mac, int64_t t, int round = 0,
                           bool anchored = false) {
    OVK_ADVERT_PTR found;
    std::optional<OVK_LOCATION> anchor;
    if (anchored) {
        OVK_LOCATION l;
        l.lat = kLat;
        l.lon = kLon;
        anchor = l;
    }
    ovk_demo_round_at(round, t, anchor, [&](OVK_ADVERT_PTR a) {
        if (a->mac == mac) found = std::move(a);
    });
    return found;
}

// An Axon advert (company 0x034D) from any address.
OVK_ADVERT_PTR axon(const std::string& mac, int64_t t, int rssi = -60) {
    auto a = demo_advert("00:25:DF:4A:19:C2", t);
    a->mac = mac;
    a->rssi = rssi;
    return a;
}

const char* kAxon = "00:25:DF:4A:19:C2";
const char* kAirTag = "7A:31:C4:0B:9E:22";
const char* kDrone = "60:60:1F:A2:44:18";

void drain() {
    ovk_test::pipeline_drain();
}
// Waits until the scan-control thread has carried out every request; its result.
int settle() {
    return ovk_scan_wait_idle(20000);
}
std::vector<OVK_UI_ALERT> pop_all() {
    return ovk_test::pipeline_pop_all();
}

int logged(const std::string& mac) {
    int n = 0;
    for (const auto& d : ovk_store_detections(0)) n += d.mac == mac;
    return n;
}

class Pipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = T0;
        {
            std::lock_guard<std::mutex> l(g_calls.mu);
            g_calls.notify_keys.clear();
            g_calls.notify_titles.clear();
            g_calls.spoken.clear();
            g_calls.scan_starts.clear();
            g_calls.scan_stops = 0;
            g_calls.scan_result = 0;
            g_calls.platform_running = false;
            g_calls.backgrounds.clear();
        }
        OVK_PREFS p;
        p.voice_enabled = 1;
        ovk_test::pipeline_up(dir_.path(), p, fake_hooks(), T0 - 1000);
    }
    void TearDown() override { ovk_test::pipeline_down(); }
    static void set_prefs(const std::function<void(OVK_PREFS&)>& f) {
        OVK_PREFS p = ovk_prefs_get();
        f(p);
        ovk_prefs_set(p);
    }
    ovk_test::TempDir dir_;
};

TEST_F(Pipeline, ClassificationIsCachedForTwoSeconds) {
    set_prefs([](OVK_PREFS& p) { p.category_enabled[OVK_CAT_BODY_CAM] = 0; });
    ovk_pipeline_submit(axon(kAxon, T0));
    drain();
    EXPECT_EQ(logged(kAxon), 0) << "disabled category: quiet";
    EXPECT_EQ(ovk_pipeline_cache_size(), 1);
    // Re-enabling the category shows only once the cached verdicts have expired.
    set_prefs([](OVK_PREFS& p) { p.category_enabled[OVK_CAT_BODY_CAM] = 1; });
    ovk_pipeline_submit(axon(kAxon, T0 + 1999));
    drain();
    EXPECT_EQ(logged(kAxon), 0) << "1999 ms later the cached (empty) verdicts are used";
    ovk_pipeline_submit(axon(kAxon, T0 + 2000));
    drain();
    EXPECT_EQ(logged(kAxon), 1) << "2000 ms later it is classified afresh";
    const auto alerts = pop_all();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].key, kAxon);
    EXPECT_EQ(alerts[0].following, 0);
    EXPECT_EQ(alerts[0].rssi, -60);
    EXPECT_EQ(alerts[0].hit.category, OVK_CAT_BODY_CAM);
}

// A verdict the user takes away leaves the device at once: the registry would otherwise hold
// it for two minutes after the last advert that gave it, and the cache for two seconds.
TEST_F(Pipeline, VerdictsFollowTheWatchlistAndWhitelistAtOnce) {
    // The rules added here (and the presets a rebuild reads) go with the test.
    struct UNLOAD {
        ~UNLOAD() { ovk_watchlist_unload(); }
    } unload;
    const std::string mac = "5C:11:22:33:44:55";
    const auto plain = [&mac](int64_t t) { return ovk_advert_new(mac, OVK_SRC_BLE, -55, t); };
    const auto verdicts = [&mac] {
        const auto d = ovk_registry_get(mac);
        return d ? d->hits : OVK_HITS{};
    };
    const auto flagged = [&mac] {
        const auto list = ovk_registry_snapshot(g_now.load());
        const auto it = std::find_if(list.begin(), list.end(),
                                     [&mac](const OVK_DEVICE& d) { return d.mac == mac; });
        return it != list.end() && ovk_device_flagged(*it) != 0;
    };

    OVK_OUI_ENTRY rule;
    rule.prefix = mac;
    rule.label = "Neighbour's doorbell";
    rule.confidence = "custom";
    ASSERT_EQ(ovk_watchlist_add_custom(rule), 0);
    ovk_pipeline_submit(plain(T0));
    drain();
    ASSERT_FALSE(verdicts().empty());
    EXPECT_EQ(verdicts().front().label, "Neighbour's doorbell");
    EXPECT_TRUE(flagged());

    // Removed while the device is silent: gone with the next item the worker takes, and the
    // housekeeping tick asks for it without any advert.
    ASSERT_EQ(ovk_watchlist_remove_custom(mac), 0);
    g_now = T0 + 500;
    ovk_scan_housekeeping_tick();
    drain();
    EXPECT_TRUE(verdicts().empty()) << verdicts().front().label;
    EXPECT_FALSE(flagged());
    // And its next advert, well inside the hold and the cache, is not flagged again.
    ovk_pipeline_submit(plain(T0 + 1000));
    drain();
    EXPECT_TRUE(verdicts().empty());

    // Back on the watchlist, then whitelisted: quiet at once, and the verdict comes back
    // (still shown as whitelisted) when the address leaves the whitelist.
    ASSERT_EQ(ovk_watchlist_add_custom(rule), 0);
    ovk_pipeline_submit(plain(T0 + 1500));
    drain();
    EXPECT_TRUE(flagged());
    ASSERT_EQ(ovk_store_whitelist_add(mac, "mine"), 0);
    EXPECT_FALSE(flagged());
    ovk_pipeline_submit(plain(T0 + 1600));
    drain();
    EXPECT_FALSE(flagged());
    ASSERT_EQ(ovk_store_whitelist_remove(mac), 0);
    ovk_pipeline_recheck();
    drain();
    EXPECT_TRUE(flagged());
    ASSERT_EQ(ovk_watchlist_remove_custom(mac), 0);
    ovk_pipeline_recheck();
    drain();
    EXPECT_FALSE(flagged());
}

// With scanning stopped no advert comes to carry a changed rule to the verdicts: taking a
// watchlist rule away still clears the device's verdict on its own, within a few seconds.
TEST_F(Pipeline, VerdictsFollowTheWatchlistWhileStopped) {
    struct UNLOAD {
        ~UNLOAD() { ovk_watchlist_unload(); }
    } unload;
    const std::string mac = "5C:11:22:33:44:66";
    const auto verdicts = [&mac] {
        const auto d = ovk_registry_get(mac);
        return d ? d->hits : OVK_HITS{};
    };
    OVK_OUI_ENTRY rule;
    rule.prefix = mac;
    rule.label = "Neighbour's camera";
    rule.confidence = "custom";
    ASSERT_EQ(ovk_watchlist_add_custom(rule), 0);
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    ovk_pipeline_submit(ovk_advert_new(mac, OVK_SRC_BLE, -55, T0));
    drain();
    ASSERT_FALSE(verdicts().empty());
    ovk_scan_stop();
    ASSERT_EQ(settle(), 0);
    ASSERT_EQ(ovk_scan_is_running(), 0);

    ASSERT_EQ(ovk_watchlist_remove_custom(mac), 0);
    for (int i = 0; i < 500 && !verdicts().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(verdicts().empty()) << "still flagged as " << verdicts().front().label;
    EXPECT_EQ(ovk_pipeline_status().scan_state, OVK_SCAN_IDLE);
}

TEST_F(Pipeline, LogLimitAndProximityCooldown) {
    ovk_pipeline_submit(axon(kAxon, T0));
    ovk_pipeline_submit(axon(kAxon, T0 + 29999));
    drain();
    EXPECT_EQ(logged(kAxon), 1);
    ovk_pipeline_submit(axon(kAxon, T0 + 30000));
    drain();
    EXPECT_EQ(logged(kAxon), 2);
    EXPECT_EQ(pop_all().size(), 1u);
    ovk_pipeline_submit(axon(kAxon, T0 + 300000));
    drain();
    EXPECT_TRUE(pop_all().empty()) << "exactly the cool-down later: no second alert";
    ovk_pipeline_submit(axon(kAxon, T0 + 300001));
    drain();
    const auto again = pop_all();
    ASSERT_EQ(again.size(), 1u);
    const auto d = ovk_store_detections(0);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.front().source, "BLE");
    EXPECT_EQ(d.front().category, OVK_CAT_BODY_CAM);
    EXPECT_FALSE(d.front().has_pos) << "gps tagging is off by default";
    std::lock_guard<std::mutex> l(g_calls.mu);
    ASSERT_EQ(g_calls.spoken.size(), 2u);
    EXPECT_EQ(g_calls.spoken[0], again[0].hit.label + " nearby");
    EXPECT_EQ(g_calls.notify_titles[0], "Nearby: " + again[0].hit.label);
}

TEST_F(Pipeline, TrackerIsLoggedButNeverAlerts) {
    ovk_pipeline_submit(demo_advert(kAirTag, T0));
    drain();
    ASSERT_EQ(logged(kAirTag), 1);
    EXPECT_EQ(ovk_store_detections(0).front().category, OVK_CAT_TRACKER);
    EXPECT_TRUE(pop_all().empty());
}

TEST_F(Pipeline, TimestampZeroUsesTheClock) {
    g_now = T0 + 12345;
    ovk_pipeline_submit(axon(kAxon, 0));
    drain();
    const auto d = ovk_store_detections(0);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].timestamp, T0 + 12345);
}

// A BSS reaches the pipeline stamped with when it was last heard, up to two scan intervals
// ago; the alert is dated when it is raised.
TEST_F(Pipeline, AlertTimeIsWhenItIsRaised) {
    g_now = T0 + 45000;
    ovk_pipeline_submit(axon(kAxon, T0));
    drain();
    const auto alerts = pop_all();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].time, T0 + 45000);
    EXPECT_EQ(ovk_store_detections(0).at(0).timestamp, T0) << "the detection keeps its time";
}

TEST_F(Pipeline, ForgedRemoteIdLowersTheDroneVerdictsAndSaysWhy) {
    using namespace ovk_test;
    const std::string forged = "60:60:1F:00:00:0F";
    ovk_pipeline_location(ovk_demo_user_fix(0, kLat, kLon, T0));
    ovk_pipeline_submit(rid_advert(forged, {rid_basic_id(1, "F1"), rid_location(kLat, kLon)}, T0));
    drain();
    auto d = ovk_registry_get(forged);
    ASSERT_TRUE(d);
    ASSERT_FALSE(d->hits.empty());
    EXPECT_EQ(d->hits.front().confidence, 95);
    EXPECT_EQ(ovk_facts_get(d->facts, "Possible spoofed Remote ID"), nullptr);
    auto overhead = [] {
        std::vector<OVK_HIT> v;
        for (const auto& a : pop_all())
            if (a.hit.label == "Drone overhead") v.push_back(a.hit);
        return v;
    };
    auto alerts = overhead();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].confidence, 95);

    // 3 km in one second, reported over the same address, five minutes on.
    ovk_pipeline_submit(
        rid_advert(forged, {rid_location(rid_north(kLat, 150), kLon)}, T0 + 300000));
    ovk_pipeline_submit(
        rid_advert(forged, {rid_location(rid_north(kLat, 3150), kLon)}, T0 + 301000));
    ovk_pipeline_submit(rid_advert(forged, {rid_location(kLat, kLon)}, T0 + 602000));
    drain();
    d = ovk_registry_get(forged);
    ASSERT_TRUE(d);
    const std::string* why = ovk_facts_get(d->facts, "Possible spoofed Remote ID");
    ASSERT_NE(why, nullptr);
    EXPECT_NE(why->find("position jumped 3000 m in 1.0 s"), std::string::npos) << *why;
    const int at = ovk_hits_find_label(d->hits, "Drone broadcasting Remote ID");
    ASSERT_GE(at, 0);
    EXPECT_EQ(d->hits[at].confidence, 60);
    alerts = overhead();
    ASSERT_EQ(alerts.size(), 2u) << "overhead after each cool-down, before and after the jump";
    EXPECT_EQ(alerts[0].confidence, 95);
    EXPECT_EQ(alerts[1].confidence, 60);
    EXPECT_NE(alerts[1].evidence.find("possible spoofed Remote ID"), std::string::npos);

    // The demo drone, flying its circle, raises nothing.
    for (int round = 0; round < 5; ++round)
        ovk_pipeline_submit(demo_advert(kDrone, T0 + round * 1000, round, true));
    drain();
    d = ovk_registry_get(kDrone);
    ASSERT_TRUE(d);
    EXPECT_EQ(ovk_facts_get(d->facts, "Possible spoofed Remote ID"), nullptr);
}

TEST_F(Pipeline, DroneOverheadOnceEveryFiveMinutesAndNeverWhenWhitelisted) {
    OVK_LOCATION fix = ovk_demo_user_fix(0, kLat, kLon, T0);
    ovk_pipeline_location(fix);
    ovk_pipeline_submit(demo_advert(kDrone, T0, 0, true));
    drain();
    auto alerts = pop_all();
    auto overhead = [](const std::vector<OVK_UI_ALERT>& v) {
        return std::count_if(v.begin(), v.end(),
                             [](const OVK_UI_ALERT& a) { return a.hit.label == "Drone overhead"; });
    };
    EXPECT_EQ(overhead(alerts), 1);
    ovk_pipeline_submit(demo_advert(kDrone, T0 + 299999, 1, true));
    drain();
    EXPECT_EQ(overhead(pop_all()), 0);
    ovk_pipeline_submit(demo_advert(kDrone, T0 + 300000, 2, true));
    drain();
    EXPECT_EQ(overhead(pop_all()), 1);

    // Whitelisted: still tracked, never logged or alerted, not even as a drone overhead.
    ovk_pipeline_shutdown();
    ovk_store_clear_detections();
    ASSERT_EQ(ovk_pipeline_init(), 0);
    ovk_store_whitelist_add(kDrone, "mine");
    ovk_pipeline_location(fix);
    ovk_pipeline_submit(demo_advert(kDrone, T0 + 900000, 3, true));
    drain();
    EXPECT_TRUE(pop_all().empty());
    EXPECT_EQ(logged(kDrone), 0);
    EXPECT_TRUE(ovk_registry_get(kDrone).has_value());
}

TEST_F(Pipeline, DroneWithoutFixOrWithDisabledCategoryIsNotOverhead) {
    ovk_pipeline_submit(demo_advert(kDrone, T0, 0, true));
    drain();
    for (const auto& a : pop_all()) EXPECT_NE(a.hit.label, "Drone overhead");
    set_prefs([](OVK_PREFS& p) { p.category_enabled[OVK_CAT_DRONE] = 0; });
    ovk_pipeline_location(ovk_demo_user_fix(0, kLat, kLon, T0));
    ovk_pipeline_submit(demo_advert(kDrone, T0 + 400000, 1, true));
    drain();
    EXPECT_TRUE(pop_all().empty());
}

TEST_F(Pipeline, AlertRingKeepsTheNewest64) {
    set_prefs([](OVK_PREFS& p) { p.voice_enabled = 0; });
    for (int i = 0; i < 70; ++i) {
        char mac[18];
        snprintf(mac, sizeof mac, "00:25:DF:00:00:%02X", i);
        ovk_pipeline_submit(axon(mac, T0 + i));
    }
    drain();
    const auto v = pop_all();
    ASSERT_EQ(v.size(), 64u);
    EXPECT_EQ(v.front().key, "00:25:DF:00:00:06");
    EXPECT_EQ(v.back().key, "00:25:DF:00:00:45");
    EXPECT_FALSE(ovk_pipeline_pop_alert().has_value());
    std::lock_guard<std::mutex> l(g_calls.mu);
    EXPECT_EQ(g_calls.notify_keys.size(), 70u);
    for (const auto& s : g_calls.spoken) EXPECT_TRUE(s.empty()) << "voice off: nothing spoken";
}

TEST_F(Pipeline, DiscreetModeHidesTheLabel) {
    set_prefs([](OVK_PREFS& p) { p.discreet_mode = 1; });
    ovk_pipeline_submit(axon(kAxon, T0));
    drain();
    std::lock_guard<std::mutex> l(g_calls.mu);
    ASSERT_EQ(g_calls.notify_titles.size(), 1u);
    EXPECT_EQ(g_calls.notify_titles[0], "Orvik");
}

TEST_F(Pipeline, QueueKeepsTheNewest5000) {
    // Hold the worker inside the first alert's notification while the queue fills.
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
    OVK_PIPELINE_HOOKS h = fake_hooks();
    h.notify = [&](auto, auto, auto) {
        std::unique_lock<std::mutex> l(m);
        entered = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
    };
    ovk_pipeline_set_hooks(h);
    ovk_pipeline_submit(axon(kAxon, T0));
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return entered; }));
    }
    for (int i = 0; i < 5001; ++i) {
        char mac[18];
        snprintf(mac, sizeof mac, "4A:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
        ovk_pipeline_submit(ovk_advert_new(mac, OVK_SRC_BLE, -70, T0 + 1));
    }
    EXPECT_EQ(ovk_pipeline_pending(), 5001) << "5000 waiting plus the one in hand";
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    drain();
    EXPECT_FALSE(ovk_registry_get("4A:00:00:00:00:00").has_value()) << "the oldest was dropped";
    EXPECT_TRUE(ovk_registry_get("4A:00:00:00:00:01").has_value());
    EXPECT_TRUE(ovk_registry_get("4A:00:00:00:13:88").has_value()) << "the newest survived";
}

// ---------------------------------------------------------------------------------------
// A device judged on everything its address sends

// A Parrot Flower Power plant sensor, from one of Parrot's drone address blocks, as it sends:
// its advert (connectable, flags, its service in a partial 128-bit list, TX power), and the
// scan response with its name.
const char* kSensor = "A0:14:3D:0C:D2:2B";
OVK_ADVERT_PTR sensor_advert(const char* mac, int64_t t, bool with_service = true) {
    std::vector<uint8_t> raw{0x02, 0x01, 0x06};
    if (with_service) {
        const OVK_UUID u = *ovk_uuid_parse(OVK_UUID_FLOWER_POWER);
        raw.push_back(17);
        raw.push_back(0x06);
        raw.insert(raw.end(), u.b.rbegin(), u.b.rend());
    }
    raw.insert(raw.end(), {0x02, 0x0A, 0x00});
    return ovk_advert_new_ble(mac, -64, raw, OVK_ADDR_PUBLIC, 1, "LE 1M (legacy)", "", t);
}
OVK_ADVERT_PTR scan_response(const char* mac, int64_t t, const std::string& name) {
    std::vector<uint8_t> raw{static_cast<uint8_t>(name.size() + 1), 0x09};
    raw.insert(raw.end(), name.begin(), name.end());
    return ovk_advert_new_ble(mac, -64, raw, OVK_ADDR_PUBLIC, -1, "LE 1M (legacy)", "", t);
}

std::vector<std::string> labels_of(const std::string& mac) {
    std::vector<std::string> v;
    if (auto d = ovk_registry_get(mac))
        for (const auto& h : d->hits) v.push_back(h.label);
    return v;
}

TEST_F(Pipeline, PlantSensorInADroneBlockIsNeverFlagged) {
    for (int i = 0; i < 5; ++i) {
        ovk_pipeline_submit(sensor_advert(kSensor, T0 + i * 1000));
        ovk_pipeline_submit(scan_response(kSensor, T0 + i * 1000 + 30, "Flower power CD2B"));
    }
    drain();
    EXPECT_TRUE(pop_all().empty());
    EXPECT_EQ(logged(kSensor), 0);
    const auto d = ovk_registry_get(kSensor);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->hits.empty());
    EXPECT_EQ(d->device_type, "Plant sensor (Parrot Flower Power)");
    EXPECT_EQ(d->name, "Flower power CD2B");
    EXPECT_EQ(ovk_pipeline_status().flagged, 0);
}

// A sensor whose advert lists no service: only the name in its scan response tells it from
// drone gear. Until the name comes it is flagged; then the verdict leaves the list and the
// banner at once (not two minutes later), the logged detection stays as history, and the
// name counts for the adverts after it. orvik-classify, fed the same packets, agrees.
TEST_F(Pipeline, NameFromAScanResponseWithdrawsAnEarlierVerdict) {
    const char* mac = "A0:14:3D:11:22:33";
    const std::string drone = "Parrot equipment (drone or controller)";
    OVK_CLASSIFY_CTX ctx;
    long line = 0;
    auto feed = [&](OVK_ADVERT_PTR a) {
        const OVK_CLASSIFY_LINE out = ovk_classify_advert(*a, "line", ++line, std::nullopt, &ctx);
        const std::string from = a->mac;
        ovk_pipeline_submit(std::move(a));
        drain();
        const bool listed = !labels_of(from).empty();
        EXPECT_EQ(out.json.find(drone) != std::string::npos, listed) << line << ": " << out.json;
    };

    feed(sensor_advert(mac, T0, false));
    EXPECT_EQ(labels_of(mac), std::vector<std::string>{drone});
    EXPECT_EQ(pop_all().size(), 1u);
    EXPECT_EQ(logged(mac), 1);
    EXPECT_EQ(ovk_pipeline_status().threat, OVK_THREAT_PROBABLE);

    feed(scan_response(mac, T0 + 40, "Flower power 1A2B"));
    EXPECT_TRUE(labels_of(mac).empty()) << "withdrawn from the list";
    OVK_STATUS st = ovk_pipeline_status();
    EXPECT_EQ(st.flagged, 0);
    EXPECT_EQ(st.threat, OVK_THREAT_CLEAR) << "and from the banner";
    EXPECT_EQ(logged(mac), 1) << "the logged detection stays";

    for (int64_t t : {1000, 5000, 45000}) feed(sensor_advert(mac, T0 + t, false));
    EXPECT_TRUE(labels_of(mac).empty());
    EXPECT_TRUE(pop_all().empty());
    EXPECT_EQ(logged(mac), 1);
    const auto d = ovk_registry_get(mac);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->device_type, "Plant sensor");
    EXPECT_EQ(d->name, "Flower power 1A2B");

    // Another Parrot address that never gave a name stays flagged.
    feed(sensor_advert("A0:14:3D:11:22:34", T0 + 46000, false));
    EXPECT_EQ(labels_of("A0:14:3D:11:22:34"), std::vector<std::string>{drone});
}

// What a device says about itself withdraws only the verdicts it explains: a body camera
// that names itself in its scan response stays flagged.
TEST_F(Pipeline, ANameThatExplainsNothingKeepsTheVerdict) {
    ovk_pipeline_submit(axon(kAxon, T0));
    drain();
    const std::vector<std::string> flagged = labels_of(kAxon);
    ASSERT_FALSE(flagged.empty());
    ovk_pipeline_submit(scan_response(kAxon, T0 + 30, "Axon Body 3"));
    ovk_pipeline_submit(scan_response(kAxon, T0 + 2500, "Axon Body 3 X"));
    drain();
    // The strongest verdict is the one held between adverts.
    EXPECT_EQ(labels_of(kAxon), std::vector<std::string>{flagged.front()});
    EXPECT_EQ(ovk_pipeline_status().flagged, 1);
}

// 0xFFFF is the company id of devices that have none: no vendor, no vendor identity.
TEST_F(Pipeline, ReservedDefaultCompanyIdIsNoVendor) {
    const std::vector<uint8_t> raw{0x02, 0x01, 0x06, 0x05, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
    ovk_pipeline_submit(ovk_advert_new_ble("C4:00:00:00:00:01", -60, raw, OVK_ADDR_RANDOM_STATIC, 1,
                                           "LE 1M (legacy)", "", T0));
    drain();
    const auto d = ovk_registry_get("C4:00:00:00:00:01");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->vendor, "");
    EXPECT_EQ(d->device_type, "Bluetooth device");
}

TEST_F(Pipeline, CellAnomalyCooldownIsThirtyMinutes) {
    OVK_CELL c = ovk_test::registered_lte_cell("001", "01", 7, 99);
    const std::vector<OVK_CELL> cells{c};
    auto cell_logs = [] {
        int n = 0;
        for (const auto& d : ovk_store_detections(0)) n += d.source == "CELL";
        return n;
    };
    ovk_pipeline_cells(cells, "00101", 0);
    drain();
    ASSERT_EQ(cell_logs(), 1);
    const auto d = ovk_store_detections(0).front();
    EXPECT_EQ(d.mac.rfind("CELL ", 0), 0u);
    EXPECT_EQ(d.mac.find(':'), std::string::npos) << "the anomaly kind is not part of the key";
    auto a = pop_all();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].key.rfind("cell:", 0), 0u);
    EXPECT_EQ(a[0].rssi, 0);
    const OVK_STATUS st = ovk_pipeline_status();
    EXPECT_TRUE(st.has_cell_anomaly);
    EXPECT_EQ(st.threat, OVK_THREAT_PROBABLE) << "a recent cell warning alone is probable";

    g_now = T0 + 29 * 60000;
    ovk_pipeline_cells(cells, "00101", 0);
    drain();
    EXPECT_EQ(cell_logs(), 1);
    EXPECT_TRUE(pop_all().empty());
    g_now = T0 + 31 * 60000;
    ovk_pipeline_cells(cells, "00101", 0);
    drain();
    EXPECT_EQ(cell_logs(), 2);
    EXPECT_EQ(pop_all().size(), 1u);
    // Disabled category: nothing at all.
    set_prefs([](OVK_PREFS& p) { p.category_enabled[OVK_CAT_CELL_ANOMALY] = 0; });
    g_now = T0 + 100 * 60000;
    ovk_pipeline_cells(cells, "00101", 0);
    drain();
    EXPECT_EQ(cell_logs(), 2);
}

TEST_F(Pipeline, KnownPlateCameraAhead) {
    OVK_CAMERA cam;
    cam.osm_id = "node/42";
    cam.lat = kLat + 0.001;  // ~111 m north
    cam.lon = kLon;
    cam.brand = "Flock";
    cam.operator_name = "City Police";
    ovk_alpr_set_for_test(std::vector<OVK_CAMERA>{cam});
    auto fix_at = [](double dlat, int64_t t) {
        OVK_LOCATION l;
        l.lat = kLat + dlat;
        l.lon = kLon;
        l.time = t;
        ovk_pipeline_location(l);
    };
    fix_at(0, T0);
    drain();
    auto a = pop_all();
    ASSERT_EQ(a.size(), 1u) << "entering the radius alerts at once";
    EXPECT_EQ(a[0].key, "alpr:node/42");
    EXPECT_EQ(a[0].hit.label, "Known plate camera ahead");
    EXPECT_NE(a[0].hit.evidence.find(", operated by City Police"), std::string::npos);
    EXPECT_NE(a[0].hit.evidence.find("~111 m away"), std::string::npos) << a[0].hit.evidence;
    // Coming closer inside the radius within 30 minutes: no new alert.
    g_now = T0 + 1799999;
    fix_at(0.0002, g_now);
    drain();
    EXPECT_TRUE(pop_all().empty());
    // 30 minutes after the alert but only 2 m closer: no alert; then 10 m closer: alert.
    g_now = T0 + 1800000;
    fix_at(0.00022, g_now);
    drain();
    EXPECT_TRUE(pop_all().empty());
    fix_at(0.0003, g_now);
    drain();
    EXPECT_EQ(pop_all().size(), 1u);
    // Alerts off: nothing.
    set_prefs([](OVK_PREFS& p) { p.known_alpr_alerts = 0; });
    g_now += 4000000;
    fix_at(-0.01, g_now);
    fix_at(0, g_now + 1);
    drain();
    EXPECT_TRUE(pop_all().empty());
}

TEST_F(Pipeline, StatusAndThreat) {
    ovk_pipeline_submit(axon(kAxon, T0));
    ovk_pipeline_submit(ovk_advert_new("4A:00:00:00:00:01", OVK_SRC_BLE, -70, T0));
    drain();
    g_now = T0 + 1000;
    OVK_STATUS s = ovk_pipeline_status();
    EXPECT_EQ(s.running, 0);
    EXPECT_EQ(s.devices, 2);
    EXPECT_EQ(s.flagged, 1);
    EXPECT_EQ(s.scanners, "");
    EXPECT_EQ(s.has_location, 0);
    EXPECT_EQ(s.session_start, T0 - 1000);
    EXPECT_GE(s.threat, OVK_THREAT_PROBABLE);
    ovk_pipeline_location(ovk_demo_user_fix(0, kLat, kLon, T0));
    drain();
    s = ovk_pipeline_status();
    EXPECT_EQ(s.has_location, 1);
    EXPECT_DOUBLE_EQ(s.location.lat, kLat + 0.0005);
    ASSERT_TRUE(ovk_pipeline_location_get().has_value());
}

OVK_DEVICE flagged_device(int confidence, int following = 0, int whitelisted = 0) {
    OVK_DEVICE d;
    d.hits.push_back(ovk_hit_make(OVK_CAT_BODY_CAM, "x", confidence, "t", "e"));
    d.following = following;
    d.whitelisted = whitelisted;
    return d;
}

TEST(ThreatOf, Levels) {
    const OVK_DEVICE_LIST d79{flagged_device(79)}, d80{flagged_device(80)}, d40{flagged_device(40)};
    EXPECT_EQ(ovk_threat_of(&d79, 50, 0), OVK_THREAT_PROBABLE);
    EXPECT_EQ(ovk_threat_of(&d80, 50, 0), OVK_THREAT_DANGER);
    EXPECT_EQ(ovk_threat_of(&d40, 50, 0), OVK_THREAT_WEAK);
    EXPECT_EQ(ovk_threat_of(&d40, 50, 1), OVK_THREAT_PROBABLE);
    const OVK_DEVICE_LIST follow{flagged_device(10, 1)};
    EXPECT_EQ(ovk_threat_of(&follow, 50, 0), OVK_THREAT_DANGER);
    const OVK_DEVICE_LIST mine{flagged_device(95, 1, 1), OVK_DEVICE{}};
    EXPECT_EQ(ovk_threat_of(&mine, 50, 0), OVK_THREAT_CLEAR) << "whitelisted devices do not count";
    const OVK_DEVICE_LIST empty;
    EXPECT_EQ(ovk_threat_of(&empty, 50, 1), OVK_THREAT_PROBABLE);
    EXPECT_EQ(ovk_threat_of(nullptr, 50, 0), OVK_THREAT_CLEAR);
}

TEST(ScanText, NotificationLineAndOptions) {
    EXPECT_EQ(ovk_scan_notification_text(1, 0, 0), "1 device nearby");
    EXPECT_EQ(ovk_scan_notification_text(0, 0, 0), "0 devices nearby");
    EXPECT_EQ(ovk_scan_notification_text(5, 2, 0), "5 devices nearby - 2 flagged");
    EXPECT_EQ(ovk_scan_notification_text(5, 2, 1), "Tap to open");
    OVK_PREFS p;
    p.ble_enabled = 0;
    p.gps_tagging = 0;
    p.follower_alerts = 0;
    p.category_enabled[OVK_CAT_CELL_ANOMALY] = 0;
    p.scan_interval_ms = 45000;
    p.wifi_iface = "wlan1";
    OVK_SCAN_OPTS o = ovk_scan_opts(p, false);
    EXPECT_EQ(o.ble, 0);
    EXPECT_EQ(o.wifi, 1);
    EXPECT_EQ(o.location, 0);
    EXPECT_EQ(o.location_fast, 0);
    EXPECT_EQ(o.cells, 0);
    EXPECT_EQ(o.wifi_interval_ms, 45000);
    EXPECT_EQ(o.wifi_iface, "wlan1");
    o = ovk_scan_opts(p, true);
    EXPECT_EQ(o.location, 1);
    EXPECT_EQ(o.location_fast, 1);
}

TEST_F(Pipeline, ScanStartRadiosAndFailure) {
    ASSERT_EQ(ovk_scan_start(), 0);
    EXPECT_EQ(ovk_scan_is_running(), 1) << "the request shows at once";
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_scan_is_running(), 1);
    OVK_STATUS s = ovk_pipeline_status();
    EXPECT_EQ(s.running, 1);
    EXPECT_EQ(s.scan_state, OVK_SCAN_RUNNING);
    EXPECT_EQ(s.scan_progress, "");
    EXPECT_EQ(s.scanners, "BLE: hci0 passive\nWi-Fi: wlan0");
    EXPECT_EQ(s.session_start, T0);
    {
        std::lock_guard<std::mutex> l(g_calls.mu);
        ASSERT_EQ(g_calls.scan_starts.size(), 1u);
        EXPECT_EQ(g_calls.backgrounds.back(), "Listening for nearby devices...");
    }
    // Starting again re-applies the source without a new session.
    g_now = T0 + 5000;
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_pipeline_status().session_start, T0);
    ovk_scan_stop();
    EXPECT_EQ(ovk_scan_is_running(), 0);
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_pipeline_status().scan_state, OVK_SCAN_IDLE);
    {
        std::lock_guard<std::mutex> l(g_calls.mu);
        EXPECT_EQ(g_calls.scan_starts.size(), 2u);
        EXPECT_GE(g_calls.scan_stops, 1);
        g_calls.scan_result = -1;
    }
    // A start that fails: taken as a request, then reported, and scanning is off again.
    EXPECT_EQ(ovk_scan_start(), 0);
    EXPECT_EQ(settle(), -1);
    EXPECT_EQ(ovk_scan_is_running(), 0);
    s = ovk_pipeline_status();
    EXPECT_EQ(s.running, 0);
    EXPECT_EQ(s.scan_state, OVK_SCAN_IDLE);
    EXPECT_EQ(s.scan_progress, "Could not start scanning");
    {
        std::lock_guard<std::mutex> l(g_calls.mu);
        EXPECT_FALSE(g_calls.platform_running) << "a failed start leaves no scanner behind";
    }
    // The next request clears the failure.
    ovk_scan_stop();
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_pipeline_status().scan_progress, "");
}

TEST_F(Pipeline, ScanStartDemoAndRetention) {
    // An old detection and an old remembered device go at start; a favourite stays.
    OVK_DETECTION old;
    old.mac = "11:22:33:44:55:66";
    old.label = "old";
    old.source = "BLE";
    old.timestamp = T0 - 91LL * 86400000;
    ovk_store_add_detection(old);
    OVK_KNOWN k1, k2;
    k1.mac = "11:22:33:44:55:66";
    k1.last_seen = old.timestamp;
    k2 = k1;
    k2.mac = "11:22:33:44:55:77";
    k2.favorite = 1;
    ovk_store_known_upsert(std::vector<OVK_KNOWN>{k1, k2});
    set_prefs([](OVK_PREFS& p) { p.demo_mode = 1; });
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(logged(old.mac), 0) << "the feed may have logged its own devices by now";
    EXPECT_FALSE(ovk_store_known_get(k1.mac).has_value());
    EXPECT_TRUE(ovk_store_known_get(k2.mac).has_value());
    EXPECT_EQ(ovk_demo_running(), 1);
    EXPECT_EQ(ovk_pipeline_status().scanners, "Demo: made-up devices (no radios)");
    EXPECT_EQ(ovk_pipeline_status().demo, 1);
    // Switching the preference off and refreshing moves to the radios.
    set_prefs([](OVK_PREFS& p) { p.demo_mode = 0; });
    ovk_scan_refresh();
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_demo_running(), 0);
    EXPECT_EQ(ovk_pipeline_status().scanners, "BLE: hci0 passive\nWi-Fi: wlan0");
    EXPECT_EQ(ovk_pipeline_status().demo, 0);
    ovk_scan_stop();
    EXPECT_EQ(ovk_scan_is_running(), 0);
    ASSERT_EQ(settle(), 0);
}

// Demo for this run (the command line's --demo): the feed runs while the stored preference
// keeps the user's "off", and without the override the radios come back.
TEST_F(Pipeline, DemoForThisRunLeavesThePreferenceAlone) {
    struct Off {
        ~Off() { ovk_scan_set_demo_override(0); }
    } off;
    const unsigned serial = ovk_prefs_serial();
    ovk_scan_set_demo_override(1);
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_demo_running(), 1);
    OVK_STATUS s = ovk_pipeline_status();
    EXPECT_EQ(s.demo, 1);
    EXPECT_EQ(s.scanners, "Demo: made-up devices (no radios)");
    EXPECT_EQ(ovk_prefs_get().demo_mode, 0);
    EXPECT_EQ(ovk_prefs_serial(), serial) << "nothing was stored";
    {
        std::lock_guard<std::mutex> l(g_calls.mu);
        EXPECT_TRUE(g_calls.scan_starts.empty()) << "no radio was started";
    }
    // The override outlives a pipeline restart within the process.
    ovk_pipeline_shutdown();
    ASSERT_EQ(ovk_pipeline_init(), 0);
    EXPECT_EQ(ovk_scan_demo_override(), 1);
    ovk_scan_set_demo_override(0);
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    EXPECT_EQ(ovk_demo_running(), 0);
    EXPECT_EQ(ovk_pipeline_status().demo, 0);
    std::lock_guard<std::mutex> l(g_calls.mu);
    EXPECT_EQ(g_calls.scan_starts.size(), 1u);
}

TEST_F(Pipeline, HistoryFlushCountsSessionsOnce) {
    OVK_KNOWN k;
    k.mac = kAxon;
    k.first_seen = T0 - 86400000;
    k.last_seen = T0 - 86400000;
    k.sessions = 3;
    k.detect_count = 7;
    k.name = "old name";
    k.favorite = 1;
    k.note = "seen at work";
    ovk_store_known_upsert(std::vector<OVK_KNOWN>{k});
    ASSERT_EQ(ovk_scan_start(), 0);  // new session at T0
    ASSERT_EQ(settle(), 0);
    ovk_pipeline_submit(axon(kAxon, T0 + 1000));
    drain();
    g_now = T0 + 10000;
    ovk_scan_housekeeping_tick();
    auto got = ovk_store_known_get(kAxon);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->sessions, 4);
    EXPECT_EQ(got->detect_count, 8);
    EXPECT_EQ(got->first_seen, k.first_seen);
    EXPECT_EQ(got->last_seen, T0 + 1000);
    EXPECT_EQ(got->name, "old name") << "the advert has no name: the remembered one stays";
    EXPECT_EQ(got->favorite, 1);
    EXPECT_EQ(got->note, "seen at work");
    {
        std::lock_guard<std::mutex> l(g_calls.mu);
        EXPECT_EQ(g_calls.backgrounds.back(), "1 device nearby - 1 flagged");
    }
    // Within a minute nothing is flushed; later the device counts again, same session.
    ovk_pipeline_submit(axon(kAxon, T0 + 20000));
    drain();
    g_now = T0 + 20000;
    ovk_scan_housekeeping_tick();
    EXPECT_EQ(ovk_store_known_get(kAxon)->detect_count, 8);
    g_now = T0 + 70001;
    ovk_scan_housekeeping_tick();
    got = ovk_store_known_get(kAxon);
    EXPECT_EQ(got->sessions, 4);
    EXPECT_EQ(got->detect_count, 9);
    // The cache is pruned to the devices the registry still holds.
    EXPECT_EQ(ovk_pipeline_cache_size(), 1);
    g_now = T0 + 20000 + 181000;
    ovk_scan_housekeeping_tick();
    EXPECT_EQ(ovk_pipeline_cache_size(), 0);
}

TEST_F(Pipeline, ARecordingPlayedBackCountsAsOneSession) {
    // A recording is played back on its own clock, an hour before the session began by the
    // wall clock. Every flush of the playback is the same session: a device written by one
    // flush and heard again before the next is not counted as seen in a second session.
    OVK_KNOWN old;
    old.mac = kAirTag;
    old.first_seen = old.last_seen = T0 - 3 * 86400000LL;
    old.sessions = 2;
    old.detect_count = 5;
    ASSERT_EQ(ovk_store_known_upsert(std::vector<OVK_KNOWN>{old}), 0);
    ASSERT_EQ(ovk_scan_start(), 0);  // new session at T0
    ASSERT_EQ(settle(), 0);
    const int64_t rec = T0 - 3600000;
    g_now = rec;  // the playback's clock
    ovk_pipeline_submit(axon(kAxon, rec));
    ovk_pipeline_submit(demo_advert(kAirTag, rec + 500));
    drain();
    g_now = rec + 61000;
    ovk_scan_housekeeping_tick();
    ASSERT_TRUE(ovk_store_known_get(kAxon));
    EXPECT_EQ(ovk_store_known_get(kAxon)->sessions, 1);
    EXPECT_EQ(ovk_store_known_get(kAirTag)->sessions, 3) << "a device from an earlier session";
    // Later in the recording both are heard again, and the next flush takes them in.
    g_now = rec + 120000;
    ovk_pipeline_submit(axon(kAxon, rec + 120000));
    ovk_pipeline_submit(demo_advert(kAirTag, rec + 120500));
    drain();
    g_now = rec + 190000;
    ovk_scan_housekeeping_tick();
    const auto axon_row = ovk_store_known_get(kAxon);
    ASSERT_TRUE(axon_row);
    EXPECT_EQ(axon_row->last_seen, rec + 120000);
    EXPECT_EQ(axon_row->detect_count, 2);
    EXPECT_EQ(axon_row->sessions, 1);
    EXPECT_EQ(ovk_store_known_get(kAirTag)->sessions, 3);
    // A later session, by the clock, counts once more.
    ovk_scan_stop();
    ASSERT_EQ(settle(), 0);
    g_now = T0 + 86400000;
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    ovk_pipeline_submit(axon(kAxon, g_now + 1000));
    drain();
    g_now = g_now + 61000;
    ovk_scan_housekeeping_tick();
    EXPECT_EQ(ovk_store_known_get(kAxon)->sessions, 2);
}

TEST_F(Pipeline, DevicesGoneStaleBeforeAFlushAreStillRemembered) {
    // A flat-out replay moves the clock minutes ahead between two housekeeping rounds: the
    // devices of its first minutes are stale (and dropped by the first look at the registry)
    // before any flush has run. They must still reach the remembered devices.
    OVK_KNOWN k;
    k.mac = kAirTag;
    k.first_seen = k.last_seen = T0 - 86400000;
    k.sessions = 2;
    k.detect_count = 4;
    k.note = "the neighbour's";
    ASSERT_EQ(ovk_store_known_upsert(std::vector<OVK_KNOWN>{k}), 0);
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    ovk_pipeline_submit(axon(kAxon, T0 + 1000));
    ovk_pipeline_submit(demo_advert(kAirTag, T0 + 2000));
    drain();
    // Six minutes later another device is heard and the status is read (the window and the
    // notification do) before the housekeeping round flushes.
    g_now = T0 + 360000;
    ovk_pipeline_submit(axon("C2:11:22:33:44:55", T0 + 359000));
    drain();
    EXPECT_EQ(ovk_pipeline_status().devices, 1);
    // The AirTag comes back with a new entry before the flush.
    ovk_pipeline_submit(demo_advert(kAirTag, T0 + 359500));
    drain();
    ovk_scan_housekeeping_tick();
    const auto axon_row = ovk_store_known_get(kAxon);
    ASSERT_TRUE(axon_row) << "a device dropped as stale before the flush was forgotten";
    EXPECT_EQ(axon_row->first_seen, T0 + 1000);
    EXPECT_EQ(axon_row->last_seen, T0 + 1000);
    EXPECT_EQ(axon_row->sessions, 1);
    EXPECT_EQ(axon_row->detect_count, 1);
    EXPECT_TRUE(ovk_store_known_get("C2:11:22:33:44:55"));
    // Dropped and heard again: one record, from the first sighting of the session to the last.
    const auto tag = ovk_store_known_get(kAirTag);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->first_seen, k.first_seen);
    EXPECT_EQ(tag->last_seen, T0 + 359500);
    EXPECT_EQ(tag->sessions, 3);
    EXPECT_EQ(tag->note, "the neighbour's");
    EXPECT_EQ(ovk_store_known_count(), 3);
    // A later flush does not count the departed devices again.
    g_now = T0 + 430000;
    ovk_scan_housekeeping_tick();
    EXPECT_EQ(ovk_store_known_get(kAxon)->detect_count, 1);
    // Stopping the scan flushes too: a device gone stale since is kept.
    ovk_pipeline_submit(axon("C2:11:22:33:44:66", T0 + 431000));
    drain();
    g_now = T0 + 700000;
    EXPECT_EQ(ovk_pipeline_status().devices, 0);
    ovk_scan_stop();
    ASSERT_EQ(settle(), 0);
    const auto late = ovk_store_known_get("C2:11:22:33:44:66");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->last_seen, T0 + 431000);
}

TEST_F(Pipeline, PerAddressMemoriesFollowTheLiveDevicesNotTheSession) {
    // A flood of 20,000 flagged addresses, 100 a second: the classification cache keeps the
    // last seconds' addresses, not the session's, while the log and alert limits of an
    // address heard among them still hold.
    ovk_pipeline_submit(axon(kAxon, T0));
    drain();
    ASSERT_EQ(logged(kAxon), 1);
    ASSERT_EQ(pop_all().size(), 1u);
    char mac[18];
    for (int i = 0; i < 20000; ++i) {
        snprintf(mac, sizeof mac, "C2:00:%02X:%02X:00:01", (i >> 8) & 0xFF, i & 0xFF);
        const int64_t t = T0 + 10 * i;
        ovk_pipeline_submit(axon(mac, t));
        // The Axon again at every fifth of its log interval: never a second log line.
        if (i % 600 == 0 && t < T0 + 30000) ovk_pipeline_submit(axon(kAxon, t));
        if (i % 200 == 0) drain();
    }
    drain();
    EXPECT_LE(ovk_pipeline_cache_size(), 8192) << "the cache followed the session";
    EXPECT_EQ(logged(kAxon), 1) << "its log interval held through the sweeps";
    // 200 s in: still inside the Axon's 300 s alert cool-down, past its log interval.
    ovk_pipeline_submit(axon(kAxon, T0 + 200000));
    drain();
    EXPECT_EQ(logged(kAxon), 2);
    for (const auto& a : pop_all()) EXPECT_NE(a.key, kAxon) << "re-alerted inside its cool-down";
    // Every address of the flood was logged once.
    EXPECT_EQ(ovk_store_detection_count(), 20002);
}

TEST_F(Pipeline, HistoryFlushOfManyDevicesMergesEveryOneOnce) {
    // More devices than one piece of the flush: the rows are taken and written in pieces,
    // and every remembered record is merged with what was there before.
    constexpr int kDevices = 9500;
    std::vector<OVK_KNOWN> before;
    char mac[18];
    for (int i = 0; i < kDevices; i += 2) {
        OVK_KNOWN k;
        snprintf(mac, sizeof mac, "C4:00:00:%02X:%02X:01", (i >> 8) & 0xFF, i & 0xFF);
        k.mac = mac;
        k.first_seen = k.last_seen = T0 - 86400000;
        k.sessions = 2;
        k.detect_count = 5;
        k.note = "old";
        before.push_back(k);
    }
    ASSERT_EQ(ovk_store_known_upsert(before), 0);
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    const OVK_ADVERT_PTR tag = demo_advert(kAirTag, T0);
    for (int i = 0; i < kDevices; ++i) {
        snprintf(mac, sizeof mac, "C4:00:00:%02X:%02X:01", (i >> 8) & 0xFF, i & 0xFF);
        auto a = std::make_unique<OVK_ADVERT>(*tag);
        a->mac = mac;
        a->timestamp = T0 + 1000 + i;
        ovk_pipeline_submit(std::move(a));
        if (i % 1000 == 0) drain();
    }
    drain();
    g_now = T0 + 60000;
    ovk_scan_housekeeping_tick();
    ASSERT_EQ(ovk_store_known_count(), kDevices);
    for (int i = 0; i < kDevices; i += 7) {
        snprintf(mac, sizeof mac, "C4:00:00:%02X:%02X:01", (i >> 8) & 0xFF, i & 0xFF);
        const auto got = ovk_store_known_get(mac);
        ASSERT_TRUE(got) << mac;
        EXPECT_EQ(got->last_seen, T0 + 1000 + i) << mac;
        EXPECT_EQ(got->sessions, i % 2 == 0 ? 3 : 1) << mac;
        EXPECT_EQ(got->detect_count, i % 2 == 0 ? 6 : 1) << mac;
        EXPECT_EQ(got->note, i % 2 == 0 ? "old" : "") << mac;
    }
    // The file holds the same records: one whole file, no journal left over.
    EXPECT_FALSE(ovk_test::file_exists(dir_.file("known_devices.journal")));
    const std::vector<OVK_KNOWN> memory = ovk_store_known_all();
    ovk_store_close();
    ASSERT_EQ(ovk_store_open(dir_.path()), 0);
    EXPECT_EQ(ovk_store_known_all(), memory);
}

TEST_F(Pipeline, ShutdownDropsQueuedItemsAndRefusesNewOnes) {
    ovk_pipeline_shutdown();
    ovk_pipeline_submit(axon(kAxon, T0));
    EXPECT_EQ(ovk_pipeline_pending(), 0);
    EXPECT_EQ(ovk_scan_start(), -1) << "not initialised";
    ASSERT_EQ(ovk_pipeline_init(), 0);
    EXPECT_EQ(ovk_pipeline_init(), 0) << "a second init is harmless";
}

}  // namespace

// A position is only used while it is fresh: an Axon camera heard after the GPS went quiet is
// logged without a place rather than at one the user left long ago.
TEST_F(Pipeline, StaleFixIsNotUsedAndTheStatusSaysGpsLost) {
    set_prefs([](OVK_PREFS& p) {
        p.gps_tagging = 1;
        p.category_enabled[OVK_CAT_DRONE] = 1;
    });
    ovk_pipeline_location(ovk_demo_user_fix(0, kLat, kLon, T0));
    drain();
    ovk_pipeline_submit(axon("00:25:DF:00:00:01", T0));
    drain();
    g_now = T0 + 30000;
    ovk_pipeline_submit(axon("00:25:DF:00:00:02", T0 + 30000));
    drain();
    EXPECT_EQ(ovk_pipeline_status().has_location, 1) << "30 s old is still fresh";
    g_now = T0 + 30001;
    ovk_pipeline_submit(axon("00:25:DF:00:00:03", T0 + 30001));
    // A drone overhead needs where the user is: no alert from a stale fix.
    ovk_pipeline_submit(demo_advert(kDrone, T0 + 30001, 0, true));
    drain();
    std::map<std::string, bool> pos;
    for (const auto& d : ovk_store_detections(0)) pos[d.mac] = d.has_pos != 0;
    EXPECT_TRUE(pos.at("00:25:DF:00:00:01"));
    EXPECT_TRUE(pos.at("00:25:DF:00:00:02"));
    EXPECT_FALSE(pos.at("00:25:DF:00:00:03"));
    {
        std::lock_guard<std::mutex> lock(g_calls.mu);
        for (const auto& sp : g_calls.spoken) EXPECT_NE(sp, "Drone overhead");
    }

    OVK_STATUS s = ovk_pipeline_status();
    EXPECT_EQ(s.has_location, 0);
    EXPECT_EQ(s.fix_lost, 1);
    EXPECT_EQ(ovk_fix_lost_text(s.fix_age_ms), "GPS lost (last fix 30 s ago)");
    g_now = T0 + 3 * 60000 + 5000;
    s = ovk_pipeline_status();
    EXPECT_EQ(ovk_fix_lost_text(s.fix_age_ms), "GPS lost (last fix 3 min ago)");
    OVK_LIST_STATUS_LINE l;
    l.state = "Scanning";
    l.gps_lost = ovk_fix_lost_text(s.fix_age_ms);
    EXPECT_EQ(ovk_list_status_text(l),
              "Scanning - 0 devices nearby - GPS lost (last fix 3 min ago)");

    // A new fix is used again.
    ovk_pipeline_location(ovk_demo_user_fix(0, kLat, kLon, g_now.load()));
    drain();
    EXPECT_EQ(ovk_pipeline_status().has_location, 1);
    EXPECT_EQ(ovk_pipeline_status().fix_lost, 0);
}

// The demo's made-up position does not outlive the demo: switching to the radios (and
// stopping) forgets it, even with demo fixes still queued.
TEST_F(Pipeline, SwitchingTheSourceForgetsTheFix) {
    set_prefs([](OVK_PREFS& p) { p.demo_mode = 1; });
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_EQ(settle(), 0);
    for (int i = 0; i < 3000 && !ovk_pipeline_status().has_location; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(ovk_pipeline_status().has_location, 1) << "the demo feeds a fix a second";
    set_prefs([](OVK_PREFS& p) { p.demo_mode = 0; });
    ovk_scan_refresh();
    ASSERT_EQ(settle(), 0);
    drain();
    EXPECT_FALSE(ovk_pipeline_location_get().has_value());
    EXPECT_EQ(ovk_pipeline_status().has_location, 0);
    EXPECT_EQ(ovk_pipeline_status().fix_lost, 0);

    // The radios' fix goes when scanning stops.
    ovk_pipeline_location(ovk_demo_user_fix(0, kLat, kLon, T0));
    drain();
    ASSERT_TRUE(ovk_pipeline_location_get().has_value());
    ovk_scan_stop();
    ASSERT_EQ(settle(), 0);
    EXPECT_FALSE(ovk_pipeline_location_get().has_value());
}
