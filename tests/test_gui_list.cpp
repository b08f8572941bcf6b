// SPDX-License-Identifier: GPL-3.0-or-later
// The device list's rules without a window: what each filter and the search keep, the list's
// order, the status line, the banner's choice, where a device sits on the radar and where its
// label goes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ovk_gui_list.h"

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
    d.known = std::make_shared<const OVK_KNOWN>();
    return d;
}

std::vector<std::string> macs(const OVK_DEVICE_LIST& l, const std::vector<int>& idx) {
    std::vector<std::string> out;
    for (int i : idx) out.push_back(l[static_cast<size_t>(i)].mac);
    return out;
}

TEST(ListRules, EachFilterKeepsWhatItsButtonSays) {
    OVK_DEVICE_LIST l;
    l.push_back(dev("00:00:00:00:00:01"));  // plain, remembered, BLE
    l.push_back(dev("00:00:00:00:00:02", -70, {hit_of(OVK_CAT_TRACKER, 60)}));
    l.push_back(dev("00:00:00:00:00:03"));
    l.back().device_type = "Apple FIND MY accessory";  // any case
    l.push_back(dev("00:00:00:00:00:04"));
    l.back().device_type = "Tile tracker";
    l.push_back(dev("00:00:00:00:00:05", -70, {hit_of(OVK_CAT_DRONE, 40)}));
    l.push_back(dev("00:00:00:00:00:06"));
    l.back().rid = std::make_shared<const OVK_REMOTE_ID>();
    l.push_back(dev("00:00:00:00:00:07"));
    l.back().known.reset();
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
            if (ovk_list_keeps(d, f, "")) out.push_back(d.mac.substr(15));
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
    EXPECT_STREQ(ovk_list_filter_label(OVK_FILTER_BLE), "Bluetooth");
    EXPECT_STREQ(ovk_list_filter_tooltip(OVK_FILTER_NEW),
                 "Devices never heard in an earlier session");
    EXPECT_STREQ(ovk_list_filter_label(8), "");
}

TEST(ListRules, SearchIsTrimmedCaseBlindAndLooksInFiveFields) {
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
        return macs(l, ovk_list_visible(l, OVK_FILTER_ALL, q));
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
    EXPECT_TRUE(macs(l, ovk_list_visible(l, OVK_FILTER_WIFI, "kitchen")).empty());
    // The text matched is at most 127 bytes, never cut inside a character.
    const std::string longq = std::string(126, 'x') + "\xC3\xA9" + "tail";
    EXPECT_EQ(ovk_list_search_text(longq), std::string(126, 'x'));
    EXPECT_EQ(ovk_list_search_text("  kitchen \n"), "kitchen");
}

TEST(ListRules, WatchLabelNamesTheDeviceAsBestItCan) {
    OVK_DEVICE d = dev("00:00:00:00:00:01");
    EXPECT_EQ(ovk_list_watch_label(&d), "Bluetooth device");
    d.name = "Kitchen";
    EXPECT_EQ(ovk_list_watch_label(&d), "Kitchen");
    d.hits.push_back(hit_of(OVK_CAT_ALPR, 40, "Plate camera"));
    EXPECT_EQ(ovk_list_watch_label(&d), "Plate camera");
    d.hits[0].label = std::string(158, 'x') + "\xC3\xA9";
    EXPECT_EQ(ovk_list_watch_label(&d), std::string(158, 'x')) << "159 bytes, whole characters";
    EXPECT_EQ(ovk_list_watch_label(nullptr), "Watched device");
}

TEST(ListRules, ListOrderFollowsItsSixKeysInTurn) {
    // Each pair differs first in the key named; the first of each pair goes first.
    OVK_DEVICE flagged = dev("FF:00:00:00:00:01", -90, {hit_of(OVK_CAT_TRACKER, 10)});
    OVK_DEVICE plain = dev("00:00:00:00:00:01", -40);
    plain.following = 1;
    EXPECT_TRUE(ovk_list_before(flagged, plain));
    EXPECT_FALSE(ovk_list_before(plain, flagged));

    OVK_DEVICE follows = dev("FF:00:00:00:00:02", -90, {hit_of(OVK_CAT_TRACKER, 10)});
    follows.following = 1;
    OVK_DEVICE stronger = dev("00:00:00:00:00:02", -40, {hit_of(OVK_CAT_ALPR, 99)});
    EXPECT_TRUE(ovk_list_before(follows, stronger));

    OVK_DEVICE high = dev("FF:00:00:00:00:03", -90, {hit_of(OVK_CAT_ALPR, 80)});
    OVK_DEVICE low = dev("00:00:00:00:00:03", -40, {hit_of(OVK_CAT_ALPR, 79)});
    EXPECT_TRUE(ovk_list_before(high, low));
    // A whitelisted device's verdict does not count as flagged, but its confidence still
    // orders it among the unflagged.
    OVK_DEVICE trusted = dev("FF:00:00:00:00:04", -90, {hit_of(OVK_CAT_ALPR, 80)});
    trusted.whitelisted = 1;
    EXPECT_TRUE(ovk_list_before(low, trusted));
    EXPECT_TRUE(ovk_list_before(trusted, dev("00:00:00:00:00:04", -30)));

    // Bands: -60 is near, -80 nearby, -81 far; within a band the level does not matter.
    auto at = [](const char* mac, int rssi, int64_t first) {
        OVK_DEVICE d = dev(mac, rssi);
        d.first_seen = first;
        return d;
    };
    EXPECT_TRUE(ovk_list_before(at("FF:01", -60, 9), at("00:01", -61, 1)));
    EXPECT_TRUE(ovk_list_before(at("FF:02", -80, 9), at("00:02", -81, 1)));
    EXPECT_TRUE(ovk_list_before(at("FF:03", -61, 1), at("00:03", -80, 9)))
        << "same band: first seen decides";
    EXPECT_TRUE(ovk_list_before(at("00:04", -70, 5), at("FF:04", -70, 6)));
    EXPECT_TRUE(ovk_list_before(at("AB:05", -70, 5), at("AC:05", -70, 5))) << "then the address";
    EXPECT_FALSE(ovk_list_before(at("AB:05", -70, 5), at("AB:05", -70, 5)));

    // The list sorts a snapshot the same way.
    OVK_DEVICE_LIST l = {at("D", -90, 1), low, at("A", -50, 2), high, follows, at("C", -50, 2)};
    EXPECT_EQ(macs(l, ovk_list_visible(l, OVK_FILTER_ALL, "")),
              (std::vector<std::string>{follows.mac, high.mac, low.mac, "A", "C", "D"}));
}

TEST(ListRules, StatusLineForms) {
    OVK_LIST_STATUS_LINE s;
    s.state = "Scanning";
    s.devices = 1;
    EXPECT_EQ(ovk_list_status_text(s), "Scanning - 1 device nearby");
    s.devices = 5;
    s.flagged = 2;
    EXPECT_EQ(ovk_list_status_text(s), "Scanning - 5 devices nearby, 2 flagged");
    s.devices = 0;
    s.flagged = 0;
    s.state = "Stopped";
    EXPECT_EQ(ovk_list_status_text(s), "Stopped - 0 devices nearby");

    s.state = "Demo";
    s.devices = 3;
    s.recording = true;
    s.trace_km = 1.25;
    s.has_fix = true;
    s.lat = 45.4215296;
    s.lon = -75.6971931;
    s.cell_warning = "Downgrade to 2G";
    s.second_line = "BLE: hci0 (passive)\nWiFi: wlan0";
    EXPECT_EQ(ovk_list_status_text(s),
              "Demo - 3 devices nearby - recording trace (1.2 km) - GPS 45.42153, -75.69719 - "
              "cell warning: Downgrade to 2G\nBLE: hci0 (passive); WiFi: wlan0");

    // The first line stops growing at 512 bytes; the scanner line is cut near 300.
    s.cell_warning = std::string(600, 'c');
    s.second_line = std::string(400, 's');
    const std::string t = ovk_list_status_text(s);
    const size_t nl = t.find('\n');
    ASSERT_NE(nl, std::string::npos);
    EXPECT_LT(nl, 512u);
    EXPECT_EQ(t.size() - nl - 1, 300u);
}

TEST(ListRules, BannerPicksItsRowByTheTable) {
    OVK_DEVICE_LIST none;
    OVK_LIST_TALLY t = ovk_list_tally(none);
    OVK_BANNER b = ovk_list_banner(none, t, false, "", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_IDLE);
    EXPECT_EQ(b.text, "Not scanning - press Start scanning to begin");
    b = ovk_list_banner(none, t, true, "LOCATION OFF - turn it on", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_LOCATION_OFF);
    EXPECT_EQ(b.argb, 0xFFC8431Au);
    b = ovk_list_banner(none, t, true, "BLE: hci0", 50);
    EXPECT_EQ(b.text, "All clear - no flagged equipment nearby");
    EXPECT_EQ(b.argb, 0xFF2E7D32u);

    // Top device: the highest confidence, the earliest on a tie; nothing flagged while
    // whitelisted.
    OVK_DEVICE_LIST l = {dev("01", -70, {hit_of(OVK_CAT_ALPR, 95, "Trusted cam")}),
                         dev("02", -70, {hit_of(OVK_CAT_BODY_CAM, 60, "Body cam A")}),
                         dev("03", -70, {hit_of(OVK_CAT_BODY_CAM, 60, "Body cam B")})};
    l[0].whitelisted = 1;
    t = ovk_list_tally(l);
    EXPECT_EQ(t.flagged, 2);
    EXPECT_EQ(t.top, 1);
    EXPECT_EQ(t.follower, -1);
    b = ovk_list_banner(l, t, false, "", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_PROBABLE) << "flagged devices show even when not scanning";
    EXPECT_EQ(b.text, "Probable match nearby: Body cam A  (+1 more)");
    EXPECT_EQ(b.argb, 0xFFC8431Au);
    b = ovk_list_banner(l, t, true, "", 61);
    EXPECT_EQ(b.text, "Weak match only (verify): Body cam A  (+1 more)");
    EXPECT_EQ(b.argb, 0xFFB26A00u);

    l[2].hits[0].confidence = 80;
    t = ovk_list_tally(l);
    b = ovk_list_banner(l, t, true, "", 50);
    EXPECT_EQ(b.text, "! Strong match nearby: Body cam B  (+1 more)");
    EXPECT_EQ(b.argb, 0xFFB3261Eu);

    // Two flagged, one following: the follower is named, with the more-suffix of 1.
    l[1].following = 1;
    t = ovk_list_tally(l);
    b = ovk_list_banner(l, t, true, "", 50);
    EXPECT_EQ(b.kind, OVK_BANNER_FOLLOWING);
    EXPECT_EQ(b.text, "! Body cam A may be following you  (+1 more)");
    // A single flagged device has no suffix.
    OVK_DEVICE_LIST one = {l[1]};
    b = ovk_list_banner(one, ovk_list_tally(one), true, "", 50);
    EXPECT_EQ(b.text, "! Body cam A may be following you");
}

TEST(ListRules, RadarKeepsEachBearingAndMapsTheSignalToTheRings) {
    const float R = 350;
    auto dist = [&](const char* mac, int rssi) {
        const OVK_RADAR_POS p = ovk_list_radar_pos(mac, rssi, R);
        return std::hypot(p.dx, p.dy);
    };
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -30), 0.08f * R, 0.01f);
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -10), 0.08f * R, 0.01f);
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -60), 16.0f / 35 * R, 0.01f) << "the Near ring";
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -80), 24.8f / 35 * R, 0.01f) << "the Nearby ring";
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -100), 0.96f * R, 0.01f);
    EXPECT_NEAR(dist("AA:BB:CC:DD:EE:FF", -127), 0.96f * R, 0.01f);

    // The bearing is the address's: the same at any level, from the 31-hash of its text.
    EXPECT_EQ(ovk_list_addr_hash("AB"), 65u * 31 + 66);
    const std::string mac = "11:22:33:44:55:66";
    const uint32_t h = ovk_list_addr_hash(mac);
    const double want = static_cast<double>((h & 0x7FFFFFFFu) % 3600u) / 3600.0 * 2 * M_PI;
    for (int rssi : {-40, -75, -95}) {
        const OVK_RADAR_POS p = ovk_list_radar_pos(mac, rssi, R);
        double a = std::atan2(p.dy, p.dx);
        if (a < 0) a += 2 * M_PI;
        EXPECT_NEAR(a, want, 1e-4) << rssi;
    }
    EXPECT_NE(ovk_list_addr_hash("11:22:33:44:55:67"), h);
}

TEST(ListRules, LabelsGoRightThenLeftAndNeverOverlap) {
    const OVK_RECT area{0, 0, 400, 300};
    std::vector<OVK_RECT> taken;
    float x = 0, y = 0;
    ASSERT_TRUE(ovk_list_place_label(taken, 516, area, 100, 100, 10, 50, 14, &x, &y));
    EXPECT_FLOAT_EQ(x, 110);
    EXPECT_FLOAT_EQ(y, 93);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_FLOAT_EQ(taken[0].x, 108) << "widened by 2 px each side";
    EXPECT_FLOAT_EQ(taken[0].w, 54);
    // The same place again: the right is taken, the left is free.
    ASSERT_TRUE(ovk_list_place_label(taken, 516, area, 100, 100, 10, 50, 14, &x, &y));
    EXPECT_FLOAT_EQ(x, 40);
    // Both sides taken: nothing.
    EXPECT_FALSE(ovk_list_place_label(taken, 516, area, 100, 100, 10, 50, 14, &x, &y));
    // 1 px of room more below the widened rectangle is enough.
    EXPECT_TRUE(ovk_list_place_label(taken, 516, area, 100, 100 + 14 + 3, 10, 50, 14, &x, &y));
    // Near the right edge the label goes left; near both edges it does not fit at all.
    EXPECT_TRUE(ovk_list_place_label(taken, 516, area, 380, 200, 10, 50, 14, &x, &y));
    EXPECT_FLOAT_EQ(x, 320);
    EXPECT_FALSE(
        ovk_list_place_label(taken, 516, OVK_RECT{0, 0, 60, 300}, 30, 250, 10, 50, 14, &x, &y));
    EXPECT_FALSE(ovk_list_place_label(taken, 516, area, 200, 3, 10, 50, 14, &x, &y))
        << "a label above the top edge";
    // A full list of rectangles takes no more.
    std::vector<OVK_RECT> full(3);
    EXPECT_TRUE(ovk_list_place_label(full, 3, area, 300, 250, 10, 20, 14, &x, &y));
    EXPECT_EQ(full.size(), 3u);
}

}  // namespace
