// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The main screen's rules without a window: what each filter and the search keep, the list's
// order, the status line, the banner's choice, where a device sits on the radar, where its
// label goes, one refresh's work against the real registry, and views made by the screen's
// worker while the registry changes underneath.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_classify_io.h"
#include "ovk_gui_main.h"
#include "ovk_pipeline.h"
#include "ovk_registry.h"
#include "ovk_replay.h"
#include "ovk_test_files.h"

namespace {

OVK_HIT hit_of(OVK_CATEGORY c, int confidence, const char* label = "Match") {
    return ovk_hit_make(c, label, confidence, "test", "evidence");
}

OVK_DEVICE dev(const char* mac, int rssi = -70, std::vector<OVK_HIT> hits = {}) {
    OVK_DEVICE d;
    d.mac = mac;
    d.rssi = rssi;
    d.sources = 1;
    d.device_type = "Bluetooth device";
    d.hits = std::move(hits);
    d.has_known = 1;
    return d;
}

template <class LIST>
std::vector<std::string> macs(const LIST& l, const std::vector<int>& idx) {
    std::vector<std::string> out;
    for (int i : idx) out.push_back(l[static_cast<size_t>(i)].mac);
    return out;
}

TEST(MainRules, EachFilterKeepsWhatItsButtonSays) {
    OVK_DEVICE_LIST l;
    l.push_back(dev("00:00:00:00:00:01"));  // plain, remembered, BLE
    l.push_back(dev("00:00:00:00:00:02", -70, {hit_of(OVK_CAT_TRACKER, 60)}));
    l.push_back(dev("00:00:00:00:00:03"));
    l.back().device_type = "Apple FIND MY accessory";  // any case
    l.push_back(dev("00:00:00:00:00:04"));
    l.back().device_type = "Tile tracker";
    l.push_back(dev("00:00:00:00:00:05", -70, {hit_of(OVK_CAT_DRONE, 40)}));
    l.push_back(dev("00:00:00:00:00:06"));
    l.back().has_rid = 1;
    l.push_back(dev("00:00:00:00:00:07"));
    l.back().has_known = 0;
    l.push_back(dev("00:00:00:00:00:08"));
    l.back().favorite = 1;
    l.push_back(dev("00:00:00:00:00:09"));
    l.back().sources = 2;
    l.push_back(dev("00:00:00:00:00:0A"));
    l.back().sources = 3;
    // A whitelisted device with a verdict is not flagged, and a tracker verdict in second
    // place still makes it a tracker.
    l.push_back(
        dev("00:00:00:00:00:0B", -70, {hit_of(OVK_CAT_BODY_CAM, 90), hit_of(OVK_CAT_TRACKER, 30)}));
    l.back().whitelisted = 1;

    auto kept = [&](OVK_FILTER f) {
        std::vector<std::string> out;
        for (const OVK_DEVICE& d : l)
            if (ovk_main_keeps(d, f, "")) out.push_back(d.mac.substr(15));
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(kept(OVK_FILTER_ALL).size(), l.size());
    EXPECT_EQ(kept(OVK_FILTER_FLAGGED), (V{"02", "05"}));
    EXPECT_EQ(kept(OVK_FILTER_TRACKERS), (V{"02", "03", "04", "0B"}));
    EXPECT_EQ(kept(OVK_FILTER_DRONES), (V{"05", "06"}));
    EXPECT_EQ(kept(OVK_FILTER_NEW), (V{"07"}));
    EXPECT_EQ(kept(OVK_FILTER_FAVORITES), (V{"08"}));
    EXPECT_EQ(kept(OVK_FILTER_WIFI), (V{"09", "0A"}));
    EXPECT_EQ(kept(OVK_FILTER_BLE).size(), l.size() - 1);
    EXPECT_STREQ(ovk_filter_label(OVK_FILTER_BLE), "Bluetooth");
    EXPECT_STREQ(ovk_filter_tooltip(OVK_FILTER_NEW), "Devices never heard in an earlier session");
    EXPECT_STREQ(ovk_filter_label(8), "");
}

TEST(MainRules, SearchIsTrimmedCaseBlindAndLooksInFiveFields) {
    OVK_DEVICE_LIST l;
    l.push_back(dev("AA:BB:CC:00:00:01"));
    l.push_back(dev("00:00:00:00:00:02"));
    l.back().name = "Kitchen Speaker";
    l.push_back(dev("00:00:00:00:00:03"));
    l.back().vendor = "Motorola Solutions";
    l.push_back(dev("00:00:00:00:00:04"));
    l.back().device_type = "Smart glasses";
    l.push_back(dev("00:00:00:00:00:05", -70, {hit_of(OVK_CAT_ALPR, 90, "Flock Safety camera")}));

    auto found = [&](std::string_view q) {
        return macs(l, ovk_main_visible(l, OVK_FILTER_ALL, q));
    };
    EXPECT_EQ(found("").size(), 5u);
    EXPECT_EQ(found("   \t ").size(), 5u) << "blanks only keep every device";
    EXPECT_EQ(found("  aa:bb:cc "), std::vector<std::string>{"AA:BB:CC:00:00:01"});
    EXPECT_EQ(found("KITCHEN"), std::vector<std::string>{"00:00:00:00:00:02"});
    EXPECT_EQ(found("motorola"), std::vector<std::string>{"00:00:00:00:00:03"});
    EXPECT_EQ(found("Glasses"), std::vector<std::string>{"00:00:00:00:00:04"});
    EXPECT_EQ(found("flock safety"), std::vector<std::string>{"00:00:00:00:00:05"});
    EXPECT_TRUE(found("flock  safety").empty()) << "inner blanks are kept";
    EXPECT_TRUE(found("nothing like it").empty());
    // The search and the filter both apply.
    EXPECT_TRUE(macs(l, ovk_main_visible(l, OVK_FILTER_WIFI, "kitchen")).empty());
    // The text matched is at most 127 bytes, never cut inside a character.
    const std::string longq = std::string(126, 'x') + "\xC3\xA9" + "tail";
    EXPECT_EQ(ovk_main_search_text(longq), std::string(126, 'x'));
    EXPECT_EQ(ovk_main_search_text("  kitchen \n"), "kitchen");
}

TEST(MainRules, WatchLabelNamesTheDeviceAsBestItCan) {
    OVK_DEVICE d = dev("00:00:00:00:00:01");
    EXPECT_EQ(ovk_main_watch_label(&d), "Bluetooth device");
    d.name = "Kitchen";
    EXPECT_EQ(ovk_main_watch_label(&d), "Kitchen");
    d.hits.push_back(hit_of(OVK_CAT_ALPR, 40, "Plate camera"));
    EXPECT_EQ(ovk_main_watch_label(&d), "Plate camera");
    d.hits[0].label = std::string(158, 'x') + "\xC3\xA9";
    EXPECT_EQ(ovk_main_watch_label(&d), std::string(158, 'x')) << "159 bytes, whole characters";
    EXPECT_EQ(ovk_main_watch_label(nullptr), "Watched device");
}

TEST(MainRules, ListOrderFollowsItsSixKeysInTurn) {
    // Each pair differs first in the key named; the first of each pair goes first.
    OVK_DEVICE flagged = dev("FF:00:00:00:00:01", -90, {hit_of(OVK_CAT_TRACKER, 10)});
    OVK_DEVICE plain = dev("00:00:00:00:00:01", -40);
    plain.following = 1;
    EXPECT_TRUE(ovk_main_before(flagged, plain));
    EXPECT_FALSE(ovk_main_before(plain, flagged));

    OVK_DEVICE follows = dev("FF:00:00:00:00:02", -90, {hit_of(OVK_CAT_TRACKER, 10)});
    follows.following = 1;
    OVK_DEVICE stronger = dev("00:00:00:00:00:02", -40, {hit_of(OVK_CAT_ALPR, 99)});
    EXPECT_TRUE(ovk_main_before(follows, stronger));

    OVK_DEVICE high = dev("FF:00:00:00:00:03", -90, {hit_of(OVK_CAT_ALPR, 80)});
    OVK_DEVICE low = dev("00:00:00:00:00:03", -40, {hit_of(OVK_CAT_ALPR, 79)});
    EXPECT_TRUE(ovk_main_before(high, low));
    // A whitelisted device's verdict does not count as flagged, but its confidence still
    // orders it among the unflagged.
    OVK_DEVICE trusted = dev("FF:00:00:00:00:04", -90, {hit_of(OVK_CAT_ALPR, 80)});
    trusted.whitelisted = 1;
    EXPECT_TRUE(ovk_main_before(low, trusted));
    EXPECT_TRUE(ovk_main_before(trusted, dev("00:00:00:00:00:04", -30)));

    // Bands: -60 is near, -80 nearby, -81 far; within a band the level does not matter.
    auto at = [](const char* mac, int rssi, int64_t first) {
        OVK_DEVICE d = dev(mac, rssi);
        d.first_seen = first;
        return d;
    };
    EXPECT_TRUE(ovk_main_before(at("FF:01", -60, 9), at("00:01", -61, 1)));
    EXPECT_TRUE(ovk_main_before(at("FF:02", -80, 9), at("00:02", -81, 1)));
    EXPECT_TRUE(ovk_main_before(at("FF:03", -61, 1), at("00:03", -80, 9)))
        << "same band: first seen decides";
    EXPECT_TRUE(ovk_main_before(at("00:04", -70, 5), at("FF:04", -70, 6)));
    EXPECT_TRUE(ovk_main_before(at("AB:05", -70, 5), at("AC:05", -70, 5))) << "then the address";
    EXPECT_FALSE(ovk_main_before(at("AB:05", -70, 5), at("AB:05", -70, 5)));

    // The list sorts a snapshot the same way.
    OVK_DEVICE_LIST l = {at("D", -90, 1), low, at("A", -50, 2), high, follows, at("C", -50, 2)};
    EXPECT_EQ(macs(l, ovk_main_visible(l, OVK_FILTER_ALL, "")),
              (std::vector<std::string>{follows.mac, high.mac, low.mac, "A", "C", "D"}));
}

TEST(MainRules, StatusLineForms) {
    OVK_MAIN_STATUS_LINE s;
    s.state = "Scanning";
    s.devices = 1;
    EXPECT_EQ(ovk_main_status_text(s), "Scanning - 1 device nearby");
    s.devices = 5;
    s.flagged = 2;
    EXPECT_EQ(ovk_main_status_text(s), "Scanning - 5 devices nearby, 2 flagged");
    s.devices = 0;
    s.flagged = 0;
    s.state = "Stopped";
    EXPECT_EQ(ovk_main_status_text(s), "Stopped - 0 devices nearby");

    s.state = "Demo";
    s.devices = 3;
    s.recording = true;
    s.trace_km = 1.25;
    s.has_fix = true;
    s.lat = 45.4215296;
    s.lon = -75.6971931;
    s.cell_warning = "Downgrade to 2G";
    s.second_line = "BLE: hci0 (passive)\nWiFi: wlan0";
    EXPECT_EQ(ovk_main_status_text(s),
              "Demo - 3 devices nearby - recording trace (1.2 km) - GPS 45.42153, -75.69719 - "
              "cell warning: Downgrade to 2G\nBLE: hci0 (passive); WiFi: wlan0");

    // The first line stops growing at 512 bytes; the scanner line is cut near 300.
    s.cell_warning = std::string(600, 'c');
    s.second_line = std::string(400, 's');
    const std::string t = ovk_main_status_text(s);
    const size_t nl = t.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_LT(nl, 512u);
    EXPECT_EQ(t.size() - nl - 1, 300u);
}

TEST(MainRules, BannerPicksItsRowByTheTable) {
    OVK_DEVICE_LIST none;
    OVK_MAIN_TALLY t = ovk_main_tally(none);
    OVK_BANNER b = ovk_main_banner(none, t, false, "", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_IDLE);
    EXPECT_EQ(b.text, "Not scanning - press Start scanning to begin");
    b = ovk_main_banner(none, t, true, "LOCATION OFF - turn it on", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_LOCATION_OFF);
    EXPECT_EQ(b.argb, 0xFFC8431Au);
    b = ovk_main_banner(none, t, true, "BLE: hci0", 50);
    EXPECT_EQ(b.text, "All clear - no flagged equipment nearby");
    EXPECT_EQ(b.argb, 0xFF2E7D32u);

    // Top device: the highest confidence, the earliest on a tie; nothing flagged while
    // whitelisted.
    OVK_DEVICE_LIST l = {dev("01", -70, {hit_of(OVK_CAT_ALPR, 95, "Trusted cam")}),
                         dev("02", -70, {hit_of(OVK_CAT_BODY_CAM, 60, "Body cam A")}),
                         dev("03", -70, {hit_of(OVK_CAT_BODY_CAM, 60, "Body cam B")})};
    l[0].whitelisted = 1;
    t = ovk_main_tally(l);
    EXPECT_EQ(t.flagged, 2);
    EXPECT_EQ(t.top, 1);
    EXPECT_EQ(t.follower, -1);
    b = ovk_main_banner(l, t, false, "", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_PROBABLE) << "flagged devices show even when not scanning";
    EXPECT_EQ(b.text, "Probable match nearby: Body cam A  (+1 more)");
    EXPECT_EQ(b.argb, 0xFFC8431Au);
    b = ovk_main_banner(l, t, true, "", 61);
    EXPECT_EQ(b.text, "Weak match only (verify): Body cam A  (+1 more)");
    EXPECT_EQ(b.argb, 0xFFB26A00u);

    l[2].hits[0].confidence = 80;
    t = ovk_main_tally(l);
    b = ovk_main_banner(l, t, true, "", 50);
    EXPECT_EQ(b.text, "! Strong match nearby: Body cam B  (+1 more)");
    EXPECT_EQ(b.argb, 0xFFB3261Eu);

    // Two flagged, one following: the follower is named, with the more-suffix of 1.
    l[1].following = 1;
    t = ovk_main_tally(l);
    b = ovk_main_banner(l, t, true, "", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_FOLLOWING);
    EXPECT_EQ(b.text, "! Body cam A may be following you  (+1 more)");
    // A single flagged device has no suffix.
    OVK_DEVICE_LIST one = {l[1]};
    b = ovk_main_banner(one, ovk_main_tally(one), true, "", 50);
    EXPECT_EQ(b.text, "! Body cam A may be following you");
}

TEST(MainRules, RadarKeepsEachBearingAndMapsTheSignalToTheRings) {
    const float R = 350;
    auto dist = [&](const char* mac, int rssi) {
        const OVK_RADAR_POS p = ovk_main_radar_pos(mac, rssi, R);
        return std::hypot(p.dx, p.dy);
    };
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -30), 0.08f * R, 0.01f);
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -10), 0.08f * R, 0.01f);
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -60), 16.0f / 35 * R, 0.01f) << "the Near ring";
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -80), 24.8f / 35 * R, 0.01f) << "the Nearby ring";
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -100), 0.96f * R, 0.01f);
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -127), 0.96f * R, 0.01f);

    // The bearing is the address's: the same at any level, from the 31-hash of its text.
    EXPECT_EQ(ovk_main_addr_hash("AB"), 65u * 31 + 66);
    const std::string mac = "11:22:33:44:55:66";
    const uint32_t h = ovk_main_addr_hash(mac);
    const double want = static_cast<double>((h & 0x7FFFFFFFu) % 3600u) / 3600.0 * 2 * M_PI;
    for (int rssi : {-40, -75, -95}) {
        const OVK_RADAR_POS p = ovk_main_radar_pos(mac, rssi, R);
        double a = std::atan2(p.dy, p.dx);
        if (a < 0) a += 2 * M_PI;
        EXPECT_NEAR(a, want, 1e-4) << rssi;
    }
    EXPECT_NE(ovk_main_addr_hash("11:22:33:44:55:67"), h);
}

TEST(MainRules, LabelsGoRightThenLeftAndNeverOverlap) {
    const OVK_RECT area{0, 0, 400, 300};
    std::vector<OVK_RECT> taken;
    float x = 0, y = 0;
    ASSERT_TRUE(ovk_main_place_label(taken, 516, area, 100, 100, 10, 50, 14, &x, &y));
    EXPECT_FLOAT_EQ(x, 110);
    EXPECT_FLOAT_EQ(y, 93);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_FLOAT_EQ(taken[0].x, 108) << "widened by 2 px each side";
    EXPECT_FLOAT_EQ(taken[0].w, 54);
    // The same place again: the right is taken, the left is free.
    ASSERT_TRUE(ovk_main_place_label(taken, 516, area, 100, 100, 10, 50, 14, &x, &y));
    EXPECT_FLOAT_EQ(x, 40);
    // Both sides taken: nothing.
    EXPECT_FALSE(ovk_main_place_label(taken, 516, area, 100, 100, 10, 50, 14, &x, &y));
    // 1 px of room more below the widened rectangle is enough.
    EXPECT_TRUE(ovk_main_place_label(taken, 516, area, 100, 100 + 14 + 3, 10, 50, 14, &x, &y));
    // Near the right edge the label goes left; near both edges it does not fit at all.
    EXPECT_TRUE(ovk_main_place_label(taken, 516, area, 380, 200, 10, 50, 14, &x, &y));
    EXPECT_FLOAT_EQ(x, 320);
    EXPECT_FALSE(
        ovk_main_place_label(taken, 516, OVK_RECT{0, 0, 60, 300}, 30, 250, 10, 50, 14, &x, &y));
    EXPECT_FALSE(ovk_main_place_label(taken, 516, area, 200, 3, 10, 50, 14, &x, &y))
        << "a label above the top edge";
    // A full list of rectangles takes no more.
    std::vector<OVK_RECT> full(3);
    EXPECT_TRUE(ovk_main_place_label(full, 3, area, 300, 250, 10, 20, 14, &x, &y));
    EXPECT_EQ(full.size(), 3u);
}

// One refresh against the real registry: stale devices go, the rest are filtered, sorted
// and counted; the snapshot's time is the one given. (The status in it counts at the
// pipeline's own clock, the wall clock here, so the times are recent ones.)
TEST(MainRules, OneRefreshTakesTheRegistryAsItWasAtThatTime) {
    ASSERT_EQ(ovk_registry_init(), 0);
    EXPECT_NEAR(static_cast<double>(ovk_main_now_ms()), static_cast<double>(ovk_now_ms()), 1000)
        << "without a replay the screen's time is the wall clock";
    const int64_t t0 = ovk_now_ms() - 180000;
    ovk_registry_start_session(t0);
    auto report = [](const char* mac, int rssi, int64_t now, OVK_HITS hits = {}) {
        OVK_ADVERT a;
        a.mac = mac;
        a.rssi = rssi;
        a.addr_type = OVK_ADDR_PUBLIC;
        ovk_registry_report(a, hits, nullptr, "", nullptr, nullptr, now);
    };
    report("00:00:00:00:00:01", -50, t0);  // stale by the snapshot
    report("00:00:00:00:00:02", -50, t0 + 100000);
    report("00:00:00:00:00:03", -90, t0 + 100000, {hit_of(OVK_CAT_ALPR, 70, "Camera")});
    report("00:00:00:00:00:04", -40, t0 + 100000, {hit_of(OVK_CAT_ALPR, 90, "Camera")});

    const OVK_MAIN_VIEW v = ovk_main_make_view(OVK_FILTER_ALL, "", t0 + 180001);
    EXPECT_EQ(v.now_ms, t0 + 180001);
    ASSERT_EQ(v.devices.size(), 3u);
    EXPECT_EQ(
        macs(v.devices, v.visible),
        (std::vector<std::string>{"00:00:00:00:00:04", "00:00:00:00:00:03", "00:00:00:00:00:02"}));
    EXPECT_EQ(v.tally.flagged, 2);
    EXPECT_EQ(v.devices[static_cast<size_t>(v.tally.top)].mac, "00:00:00:00:00:04");

    const OVK_MAIN_VIEW f = ovk_main_make_view(OVK_FILTER_FLAGGED, " 03", t0 + 180001);
    EXPECT_EQ(f.filter, OVK_FILTER_FLAGGED);
    EXPECT_EQ(f.query, " 03");
    EXPECT_EQ(macs(f.devices, f.visible), std::vector<std::string>{"00:00:00:00:00:03"});
    EXPECT_EQ(f.tally.flagged, 2) << "the tally is over the whole snapshot";
    ovk_registry_shutdown();
}

// During a replay the registry's times are the recording's: the screen's refresh takes its
// snapshot at the replay's clock, so that a drive recorded last year keeps its devices (at
// the wall clock every one of them would be stale and dropped from the registry).
TEST(MainRules, DuringAReplayTheRefreshKeepsTheRecordingsDevices) {
    ASSERT_EQ(ovk_registry_init(), 0);
    ovk_registry_clear();
    ovk_test::TempDir dir;
    const int64_t t0 = 1600000000000;  // September 2020
    std::string text;
    for (int i = 0; i < 3; ++i) {
        auto a = ovk_advert_new_ble("00:11:22:33:44:5" + std::to_string(i), -60, {},
                                    OVK_ADDR_PUBLIC, 1, "", "", t0 + 100 * i);
        text += ovk_classify_format(*a) + "\n";
    }
    ovk_test::write_file(dir.file("drive.jsonl"), text);
    // The pipeline runs on the replay's clock as the program sets it up for a replay.
    OVK_PIPELINE_HOOKS hooks;
    hooks.now_ms = [] { return ovk_replay_clock(); };
    ovk_pipeline_set_hooks(hooks);
    OVK_SINK sink;
    sink.on_advert = [](OVK_ADVERT_PTR a) {
        ovk_registry_report(*a, {}, nullptr, "", nullptr, nullptr, a->timestamp);
    };
    OVK_REPLAY_OPTS o;
    o.path = dir.file("drive.jsonl");
    o.speed = 0;
    ASSERT_EQ(ovk_replay_start(o, sink), 0);
    for (int i = 0; i < 500 && !ovk_replay_finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ovk_replay_finished());
    EXPECT_LT(ovk_main_now_ms(), t0 + 60000) << "the recording's time, not today's";
    const OVK_MAIN_VIEW v = ovk_main_make_view(OVK_FILTER_ALL, "", ovk_main_now_ms());
    EXPECT_EQ(v.visible.size(), 3u);
    EXPECT_EQ(ovk_registry_count(), 3);
    ovk_replay_stop();
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
    ovk_registry_shutdown();
}

// The worker makes views while another thread floods the registry and the interface thread
// changes the filter and the search: every view put in place was made for the filter and
// search chosen at that moment, indexes stay inside their snapshot, and once the flood stops
// a settled view holds every device.
TEST(MainRules, WorkerViewsAlwaysMatchTheChosenFilterDuringAFlood) {
    ASSERT_EQ(ovk_registry_init(), 0);
    ovk_registry_clear();
    std::atomic<bool> stop{false};
    std::atomic<int> reported{0};
    std::thread flood([&] {
        for (int i = 0; i < 6000 && !stop; ++i) {
            OVK_ADVERT a;
            char mac[18];
            snprintf(mac, sizeof mac, "%02X:00:00:%02X:%02X:%02X", (i % 2) ? 0xAA : 0xBB,
                     (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
            a.mac = mac;
            a.rssi = -40 - i % 60;
            a.source = (i % 3) ? OVK_SRC_BLE : OVK_SRC_WIFI;
            a.addr_type = OVK_ADDR_PUBLIC;
            OVK_HITS hits;
            if (i % 50 == 0) hits.push_back(hit_of(OVK_CAT_ALPR, 70, "Camera"));
            ovk_registry_report(a, hits, nullptr, "", nullptr, nullptr, ovk_now_ms());
            reported = i + 1;
            if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });
    struct JOIN {
        std::thread& t;
        std::atomic<bool>& stop;
        ~JOIN() {
            stop = true;
            if (t.joinable()) t.join();
        }
    } join{flood, stop};
    OVK_GUI g;  // no window: the worker's part and the swap only
    const OVK_FILTER filters[] = {OVK_FILTER_ALL, OVK_FILTER_FLAGGED, OVK_FILTER_WIFI,
                                  OVK_FILTER_BLE};
    const char* queries[] = {"", "aa:", " BB:00 ", "zz"};
    int checked = 0;
    // On a slow machine (TSan, a busy CI) the flood may end before the first new view is in
    // place: go on changing the filter until some views have been checked.
    for (int round = 0; (reported < 6000 || checked == 0) && round < 20000; ++round) {
        if (round % 40 == 0) {
            g.filter = filters[(round / 40) % 4];
            g.query = queries[(round / 120) % 4];
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        const OVK_DEVICE_REFS::PTR* before = g.devices.refs().data();
        ovk_main_refresh(&g);
        // Until a new view comes the one in place stays; a new one must fit what is chosen.
        if (g.devices.refs().data() == before) continue;
        const std::string search = ovk_main_search_text(g.query);
        for (int idx : g.visible) {
            ASSERT_GE(idx, 0);
            ASSERT_LT(static_cast<size_t>(idx), g.devices.size());
            ASSERT_TRUE(ovk_main_keeps(g.devices[static_cast<size_t>(idx)], g.filter, search))
                << "a view made for another filter or search was put in place";
            ++checked;
        }
    }
    flood.join();
    EXPECT_GT(checked, 0);
    g.filter = OVK_FILTER_ALL;
    g.query.clear();
    ovk_main_refresh(&g);
    ASSERT_TRUE(ovk_main_settle(&g, 10000));
    EXPECT_EQ(g.devices.size(), 6000u);
    EXPECT_EQ(g.visible.size(), 6000u);
    EXPECT_TRUE(ovk_device_flagged(g.devices[static_cast<size_t>(g.visible[0])]));
    ovk_main_shutdown(&g);
    ovk_registry_shutdown();
}

}  // namespace
