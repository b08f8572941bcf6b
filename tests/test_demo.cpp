// SPDX-License-Identifier: GPL-3.0-or-later
// Demo feed: the device table as built adverts, the signal wobble, the walking user, the
// drone's Remote ID message pack (decoded with the real decoder), and the running feed's
// anchor and sink.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovk_classify_io.h"
#include "ovk_demo.h"
#include "ovk_remoteid.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;
constexpr double kPi = 3.14159265358979323846;

OVK_LOCATION anchor_at(double lat, double lon) {
    OVK_LOCATION l;
    l.lat = lat;
    l.lon = lon;
    return l;
}

std::vector<OVK_ADVERT_PTR> round_of(int round, std::optional<OVK_LOCATION> anchor) {
    std::vector<OVK_ADVERT_PTR> v;
    const int n =
        ovk_demo_round_at(round, T0, anchor, [&v](OVK_ADVERT_PTR a) { v.push_back(std::move(a)); });
    EXPECT_EQ(n, static_cast<int>(v.size()));
    return v;
}

TEST(DemoRound, FifteenAdvertsInTableOrderWithTheirPayloads) {
    const auto v = round_of(0, std::nullopt);
    ASSERT_EQ(v.size(), static_cast<size_t>(OVK_DEMO_DEVICES));
    const char* macs[] = {"00:25:DF:4A:19:C2", "F4:60:77:5B:21:9E", "4C:CC:34:12:7F:03",
                          "00:30:44:4F:21:A0", "B4:1E:52:3C:88:10", "60:60:1F:A2:44:18",
                          "7A:31:C4:0B:9E:22", "D2:5E:91:3A:07:BC", "5C:1B:2E:88:40:11",
                          "6E:0A:77:12:C3:95", "C8:3F:26:77:10:04", "D8:E0:E1:5A:61:2F",
                          "9C:3D:CF:61:0A:44", "9E:3D:CF:61:0A:45", "E4:5F:01:2B:3C:4D"};
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i]->mac, macs[i]) << i;
        EXPECT_EQ(v[i]->timestamp, T0) << i;
    }

    // BLE rows: legacy 1M, connectable, with their address kinds and AD structures.
    const OVK_ADVERT* axon = v[0].get();
    EXPECT_EQ(axon->source, OVK_SRC_BLE);
    EXPECT_EQ(axon->phy, "LE 1M (legacy)");
    EXPECT_EQ(axon->connectable, 1);
    EXPECT_EQ(axon->addr_type, OVK_ADDR_PUBLIC);
    EXPECT_FALSE(axon->name.has_value());
    const OVK_MFG* m = ovk_advert_mfg(axon, 0x034D);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(m->data.begin(), m->data.end()), "ECIVEDCWBSUNAJXA");
    // Name first, then the UUID list: "XXRBJ224511452" and 0xFE79, little-endian.
    const OVK_ADVERT* printer = v[1].get();
    ASSERT_TRUE(printer->name.has_value());
    EXPECT_EQ(*printer->name, "XXRBJ224511452");
    EXPECT_TRUE(ovk_advert_has_uuid16(printer, 0xFE79));
    ASSERT_GE(printer->raw.size(), 2u);
    EXPECT_EQ(printer->raw[0], 15);    // length: name + type byte
    EXPECT_EQ(printer->raw[1], 0x09);  // complete local name
    EXPECT_EQ(printer->raw[16], 3);
    EXPECT_EQ(printer->raw[17], 0x03);
    EXPECT_EQ(printer->raw[18], 0x79);
    EXPECT_EQ(printer->raw[19], 0xFE);
    const OVK_ADVERT* airtag = v[6].get();
    EXPECT_EQ(airtag->addr_type, OVK_ADDR_NON_RESOLVABLE);
    const OVK_MFG* apple = ovk_advert_mfg(airtag, 0x004C);
    ASSERT_NE(apple, nullptr);
    ASSERT_EQ(apple->data.size(), 27u);
    EXPECT_EQ(apple->data[0], 0x12);
    EXPECT_EQ(apple->data[1], 0x19);
    EXPECT_EQ(v[7]->addr_type, OVK_ADDR_RANDOM_STATIC);
    EXPECT_EQ(v[8]->addr_type, OVK_ADDR_RESOLVABLE_PRIVATE);
    ASSERT_NE(ovk_advert_mfg(v[8].get(), 0x004C), nullptr);
    EXPECT_EQ(ovk_advert_mfg(v[8].get(), 0x004C)->data.size(), 27u);
    EXPECT_TRUE(ovk_advert_has_uuid16(v[10].get(), 0x180D));

    // Wi-Fi rows: frequency, capabilities and standard; the hidden network has no SSID.
    const OVK_ADVERT* router = v[3].get();
    EXPECT_EQ(router->source, OVK_SRC_WIFI);
    ASSERT_TRUE(router->name.has_value());
    EXPECT_EQ(*router->name, "IBR900-21A");
    EXPECT_EQ(router->freq_mhz, 5180);
    EXPECT_EQ(router->caps.value_or(""), "[WPA2-PSK-CCMP][ESS]");
    EXPECT_EQ(router->standard.value_or(""), "WiFi 6 (802.11ax)");
    EXPECT_EQ(v[4]->freq_mhz, 2437);
    EXPECT_FALSE(v[13]->name.has_value() && !v[13]->name->empty());
    EXPECT_EQ(v[13]->source, OVK_SRC_WIFI);
}

TEST(DemoRound, WobbleMovesTheGroupTogetherAndTruncatesTowardZero) {
    const int base[OVK_DEMO_DEVICES] = {-61, -66, -72, -69, -77, -80, -63, -75,
                                        -55, -68, -79, -84, -73, -74, -86};
    for (int round : {0, 1, 6, 13, 40}) {
        const auto v = round_of(round, std::nullopt);
        ASSERT_EQ(v.size(), static_cast<size_t>(OVK_DEMO_DEVICES));
        const int group = static_cast<int>(7.0 * std::sin(0.25 * round));
        for (int i = 0; i < OVK_DEMO_DEVICES; ++i) {
            const int want =
                i < 4 ? base[i] + group
                      : base[i] + static_cast<int>(-6.0 * std::sin(0.25 * round + 0.3 * i));
            EXPECT_EQ(v[static_cast<size_t>(i)]->rssi, want) << "round " << round << " row " << i;
        }
    }
    // The worked values: round 0 keeps the group at base and puts row 4 at -82; round 6
    // lifts the group by 6 dB (7 x sin 1.5 = 6.98, truncated).
    const auto r0 = round_of(0, std::nullopt);
    EXPECT_EQ(r0[0]->rssi, -61);
    EXPECT_EQ(r0[4]->rssi, -82);
    const auto r6 = round_of(6, std::nullopt);
    EXPECT_EQ(r6[0]->rssi, -55);
    EXPECT_EQ(r6[3]->rssi, -63);
}

// The demo's devices say the same in every advert, so judging an advert together with what
// its address sent before (as live runs and orvik-classify do) changes none of its verdicts
// or identities.
TEST(DemoRound, VerdictsAreTheSameJudgedAloneOrWithEarlierAdverts) {
    OVK_CLASSIFY_CTX ctx;
    for (int round = 0; round < 40; ++round) {
        for (const OVK_ADVERT_PTR& a : round_of(round, anchor_at(kLat, kLon))) {
            const std::string alone =
                ovk_classify_advert(*a, "line", 1, std::nullopt, nullptr).json;
            const std::string judged = ovk_classify_advert(*a, "line", 1, std::nullopt, &ctx).json;
            EXPECT_EQ(judged, alone) << "round " << round;
        }
    }
    EXPECT_GT(ctx.heard_count(), 0u) << "named demo devices are remembered";
}

TEST(DemoUser, WalksACircleAroundTheAnchor) {
    const OVK_LOCATION f0 = ovk_demo_user_fix(0, kLat, kLon, T0);
    EXPECT_DOUBLE_EQ(f0.lat, kLat + 0.0005);
    EXPECT_DOUBLE_EQ(f0.lon, kLon);
    EXPECT_DOUBLE_EQ(f0.bearing_deg, 90.0);
    EXPECT_TRUE(f0.has_speed && f0.has_accuracy && f0.has_bearing);
    EXPECT_DOUBLE_EQ(f0.speed_ms, 1.2);
    EXPECT_DOUBLE_EQ(f0.accuracy_m, 5.0);
    EXPECT_EQ(f0.time, T0);
    // A quarter lap on: a = 0.022 x 71.4 rad is about 90 degrees, so the user is east of
    // the anchor; every fix stays about 55 m away and the bearing stays below 360.
    for (int round = 0; round < 300; round += 7) {
        const OVK_LOCATION f = ovk_demo_user_fix(round, kLat, kLon, T0);
        const double dlat = (f.lat - kLat) * 111320.0;
        const double dlon = (f.lon - kLon) * 111320.0 * std::cos(kLat * kPi / 180.0);
        EXPECT_NEAR(std::hypot(dlat, dlon), 55.7, 0.5) << round;
        EXPECT_GE(f.bearing_deg, 0.0);
        EXPECT_LT(f.bearing_deg, 360.0);
    }
    const OVK_LOCATION q = ovk_demo_user_fix(71, kLat, kLon, T0);
    EXPECT_GT(q.lon, kLon);
    EXPECT_NEAR(q.lat, kLat, 0.0001);
}

TEST(DemoRemoteId, MessagePackLayoutAndDecodedValues) {
    const std::vector<uint8_t> p = ovk_demo_remote_id(0, kLat, kLon);
    ASSERT_EQ(p.size(), 107u);
    EXPECT_EQ(p[0], 0xFA);
    EXPECT_EQ(p[1], 0xFF);
    EXPECT_EQ(p[2], 0x0D);
    EXPECT_EQ(p[3], 0);  // counter
    EXPECT_EQ(p[4], 0xF2);
    EXPECT_EQ(p[5], 25);
    EXPECT_EQ(p[6], 4);
    EXPECT_EQ(p[7], 0x02);  // Basic ID
    EXPECT_EQ(p[8], 0x12);
    EXPECT_EQ(p[32], 0x12);  // Location
    EXPECT_EQ(p[33], 0x22);  // airborne, heading 225 is in the upper half
    EXPECT_EQ(p[34], 45);    // 225 modulo 180
    EXPECT_EQ(p[35], 30);    // 7.5 m/s
    EXPECT_EQ(p[57], 0x42);  // System
    EXPECT_EQ(p[82], 0x52);  // Operator ID
    EXPECT_EQ(ovk_demo_remote_id(300, kLat, kLon)[3], 300 % 256);

    // The real decoder reads the pack (the UUID is the service data's key, not its data).
    OVK_REMOTE_ID rid;
    ASSERT_EQ(ovk_rid_decode_ble(std::span<const uint8_t>(p).subspan(2), rid), 1);
    EXPECT_EQ(rid.uas_id, "1581F5FJDEMO00042");
    EXPECT_EQ(rid.operator_id, "DEMO-OP-0001");
    ASSERT_TRUE(rid.has_pos);
    const double th = 135.0 * kPi / 180.0;
    EXPECT_NEAR(rid.lat, kLat + 0.00108 * std::cos(th), 1e-6);
    EXPECT_NEAR(rid.lon, kLon + 0.00108 * std::sin(th) / std::cos(kLat * kPi / 180.0), 1e-6);
    ASSERT_TRUE(rid.has_direction);
    EXPECT_EQ(rid.direction_deg, 225);
    ASSERT_TRUE(rid.has_speed);
    EXPECT_DOUBLE_EQ(rid.speed_ms, 7.5);
    ASSERT_TRUE(rid.has_alt_geo);
    EXPECT_DOUBLE_EQ(rid.alt_geo_m, 95.0);
    ASSERT_TRUE(rid.has_height);
    EXPECT_DOUBLE_EQ(rid.height_m, 62.0);
    ASSERT_TRUE(rid.has_op_pos);
    EXPECT_NEAR(rid.op_lat, kLat - 0.0007, 1e-6);
    EXPECT_NEAR(rid.op_lon, kLon - 0.0004, 1e-6);

    // The direction segment bit follows the heading round the lap.
    const std::vector<uint8_t> h = ovk_demo_remote_id(45, kLat, kLon);
    const int heading = static_cast<int>(2.0 * 45 + 135.0 + 90.0) % 360;
    EXPECT_EQ(h[33], heading >= 180 ? 0x22 : 0x20);
    EXPECT_EQ(h[34], heading % 180);
    const std::vector<uint8_t> low = ovk_demo_remote_id(90, kLat, kLon);  // 405 % 360 = 45
    EXPECT_EQ(low[33], 0x20);
    EXPECT_EQ(low[34], 45);
}

TEST(DemoRemoteId, OnlyTheAnchoredDroneCarriesIt) {
    const auto bare = round_of(0, std::nullopt);
    for (const auto& a : bare) EXPECT_EQ(ovk_advert_svc16(a.get(), 0xFFFA), nullptr) << a->mac;
    const auto anchored = round_of(0, anchor_at(kLat, kLon));
    for (const auto& a : anchored) {
        const OVK_SVCDATA* sd = ovk_advert_svc16(a.get(), 0xFFFA);
        if (a->mac != OVK_DEMO_DRONE_MAC) {
            EXPECT_EQ(sd, nullptr) << a->mac;
            continue;
        }
        ASSERT_NE(sd, nullptr);
        const std::vector<uint8_t> want = ovk_demo_remote_id(0, kLat, kLon);
        EXPECT_EQ(sd->data, std::vector<uint8_t>(want.begin() + 2, want.end()));
        EXPECT_EQ(a->raw.size(), 109u);  // one AD structure: length, type, 107 bytes
    }
}

// What a running feed hands its sink, counted on the feed's thread.
struct FeedSink {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<OVK_LOCATION> fixes;
    std::vector<std::string> macs;
    OVK_SINK sink() {
        OVK_SINK k;
        k.on_location = [this](const OVK_LOCATION& l) {
            std::lock_guard<std::mutex> lk(mu);
            fixes.push_back(l);
            cv.notify_all();
        };
        k.on_advert = [this](OVK_ADVERT_PTR a) {
            std::lock_guard<std::mutex> lk(mu);
            macs.push_back(a->mac);
            cv.notify_all();
        };
        return k;
    }
    size_t advert_count() {
        std::lock_guard<std::mutex> lk(mu);
        return macs.size();
    }
};

TEST(DemoFeed, StartKeepsTheFirstAnchorAndStopForgetsIt) {
    auto drone_lat = [] {
        double lat = NAN;
        ovk_demo_round(0, T0, [&lat](OVK_ADVERT_PTR a) {
            if (a->mac != OVK_DEMO_DRONE_MAC) return;
            OVK_REMOTE_ID rid;
            if (const OVK_SVCDATA* sd = ovk_advert_svc16(a.get(), 0xFFFA);
                sd && ovk_rid_decode_ble(sd->data, rid) && rid.has_pos)
                lat = rid.lat;
        });
        return lat;
    };
    EXPECT_EQ(ovk_demo_running(), 0);
    EXPECT_TRUE(std::isnan(drone_lat()));  // no feed, no anchor, no Remote ID

    FeedSink first, second;
    ASSERT_EQ(ovk_demo_start(10.0, 20.0, first.sink()), 0);
    EXPECT_EQ(ovk_demo_running(), 1);
    // Already running: the anchor and the sink stay.
    ASSERT_EQ(ovk_demo_start(-30.0, 40.0, second.sink()), 0);
    const double th = 135.0 * kPi / 180.0;
    EXPECT_NEAR(drone_lat(), 10.0 + 0.00108 * std::cos(th), 1e-6);

    // The first round reaches the sink at once: the user's fix, then the fifteen adverts.
    {
        std::unique_lock<std::mutex> lk(first.mu);
        ASSERT_TRUE(first.cv.wait_for(lk, std::chrono::seconds(5), [&] {
            return first.macs.size() >= static_cast<size_t>(OVK_DEMO_DEVICES);
        }));
        ASSERT_FALSE(first.fixes.empty());
        EXPECT_NEAR(first.fixes[0].lat, 10.0 + 0.0005, 1e-9);
        EXPECT_EQ(first.macs[0], "00:25:DF:4A:19:C2");
        EXPECT_EQ(first.macs[5], OVK_DEMO_DRONE_MAC);
    }
    EXPECT_EQ(second.advert_count(), 0u);

    ovk_demo_stop();
    EXPECT_EQ(ovk_demo_running(), 0);
    EXPECT_TRUE(std::isnan(drone_lat()));
    // Nothing reaches the sink once stop has returned (a round is due every second).
    const size_t at_stop = first.advert_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(first.advert_count(), at_stop);
    ovk_demo_stop();  // stopping a stopped feed does nothing
    EXPECT_EQ(ovk_demo_running(), 0);

    EXPECT_EQ(ovk_demo_round(0, T0, OVK_DEMO_EMIT{}), 0);
}

}  // namespace
