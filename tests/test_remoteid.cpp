// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_remoteid.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double kEarthR = 6371000.0;
constexpr double kDegPerRad = 57.29577951308232;

void put_i32(Bytes& m, size_t at, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int k = 0; k < 4; ++k) m[at + k] = static_cast<uint8_t>(u >> (8 * k));
}
void put_u16(Bytes& m, size_t at, unsigned v) {
    m[at] = static_cast<uint8_t>(v);
    m[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put_text(Bytes& m, size_t at, size_t max, const char* s) {
    for (size_t k = 0; k < max && s[k]; ++k) m[at + k] = static_cast<uint8_t>(s[k]);
}

// ASTM F3411 messages, 25 bytes each, protocol version 2 in the low nibble of byte 0.
Bytes basic_id(int id_type, int ua_type, const char* id) {
    Bytes m(25, 0);
    m[0] = 0x02;
    m[1] = static_cast<uint8_t>(id_type << 4 | ua_type);
    put_text(m, 2, 20, id);
    return m;
}

struct Loc {
    int status = 2;
    bool dir_bit = false;
    bool speed_mult = false;
    int dir = 0;
    int speed = 0;
    int vspeed = 0;
    int32_t lat = 0;
    int32_t lon = 0;
    unsigned alt_press = 0;
    unsigned alt_geo = 0;
    unsigned height = 0;
};

Bytes location(const Loc& l) {
    Bytes m(25, 0);
    m[0] = 0x12;
    m[1] = static_cast<uint8_t>(l.status << 4 | (l.dir_bit ? 2 : 0) | (l.speed_mult ? 1 : 0));
    m[2] = static_cast<uint8_t>(l.dir);
    m[3] = static_cast<uint8_t>(l.speed);
    m[4] = static_cast<uint8_t>(static_cast<int8_t>(l.vspeed));
    put_i32(m, 5, l.lat);
    put_i32(m, 9, l.lon);
    put_u16(m, 13, l.alt_press);
    put_u16(m, 15, l.alt_geo);
    put_u16(m, 17, l.height);
    m[19] = 0x4B;  // accuracies and timestamp: not decoded
    put_u16(m, 20, 12345);
    return m;
}

Bytes self_id(const char* text) {
    Bytes m(25, 0);
    m[0] = 0x32;
    put_text(m, 2, 23, text);
    return m;
}

Bytes system_msg(int32_t op_lat, int32_t op_lon) {
    Bytes m(25, 0);
    m[0] = 0x42;
    m[1] = 0x01;
    put_i32(m, 2, op_lat);
    put_i32(m, 6, op_lon);
    return m;
}

Bytes operator_id(const char* id) {
    Bytes m(25, 0);
    m[0] = 0x52;
    put_text(m, 2, 20, id);
    return m;
}

Bytes pack(const std::vector<Bytes>& msgs, int count = -1, int size = 25) {
    Bytes p = {0xF2, static_cast<uint8_t>(size),
               static_cast<uint8_t>(count < 0 ? static_cast<int>(msgs.size()) : count)};
    for (const Bytes& m : msgs) p.insert(p.end(), m.begin(), m.end());
    return p;
}

Bytes ble_frame(const Bytes& msg) {
    Bytes s = {0x0D, 0x07};  // application code, message counter
    s.insert(s.end(), msg.begin(), msg.end());
    return s;
}

Bytes wifi_frame(const Bytes& msg) {
    Bytes s = {0xFA, 0x0B, 0xBC, 0x0D, 0x21};  // OUI, type, message counter
    s.insert(s.end(), msg.begin(), msg.end());
    return s;
}

}  // namespace

TEST(RemoteIdFraming, BleLengthAndApplicationCode) {
    Bytes f = ble_frame(basic_id(1, 2, "1581F5FKD229400B"));
    ASSERT_EQ(f.size(), 27u);
    EXPECT_EQ(ovk_rid_is_ble(f), 1);
    OVK_REMOTE_ID r;
    ASSERT_EQ(ovk_rid_decode_ble(f, r), 1);
    EXPECT_EQ(r.uas_id, "1581F5FKD229400B");
    EXPECT_STREQ(r.id_type, "Serial number (ANSI/CTA-2063-A)");
    EXPECT_STREQ(r.ua_type, "Helicopter / multirotor");

    OVK_REMOTE_ID s;
    Bytes short_f(f.begin(), f.end() - 1);
    EXPECT_EQ(ovk_rid_is_ble(short_f), 0);
    EXPECT_EQ(ovk_rid_decode_ble(short_f, s), 0);
    EXPECT_TRUE(s.uas_id.empty());
    f[0] = 0x0C;
    EXPECT_EQ(ovk_rid_decode_ble(f, s), 0);
    EXPECT_TRUE(s.uas_id.empty());
}

TEST(RemoteIdFraming, WifiVendorElement) {
    Bytes f = wifi_frame(operator_id("SWE-OP-0042"));
    EXPECT_EQ(ovk_rid_is_wifi_ie(f), 1);
    OVK_REMOTE_ID r;
    ASSERT_EQ(ovk_rid_decode_wifi_ie(f, r), 1);
    EXPECT_EQ(r.operator_id, "SWE-OP-0042");
    // recognised but too short to carry anything: 8 bytes still count, 7 do not
    EXPECT_EQ(ovk_rid_decode_wifi_ie(Bytes{0xFA, 0x0B, 0xBC, 0x0D, 1, 2, 3, 4}, r), 1);
    EXPECT_EQ(ovk_rid_decode_wifi_ie(Bytes{0xFA, 0x0B, 0xBC, 0x0D, 1, 2, 3}, r), 0);
    EXPECT_EQ(ovk_rid_is_wifi_ie(Bytes{0xFA, 0x0B, 0xBC}), 0);
    EXPECT_EQ(ovk_rid_is_wifi_ie(Bytes{0xFA, 0x0B, 0xBC, 0x0E, 0, 0, 0, 0}), 0);
    EXPECT_EQ(r.operator_id, "SWE-OP-0042");
}

TEST(RemoteIdMessages, BasicIdLabelsAndText) {
    OVK_REMOTE_ID r;
    ovk_rid_decode_ble(ble_frame(basic_id(2, 15, "  SE-REG 123   ")), r);
    EXPECT_EQ(r.uas_id, "SE-REG 123");
    EXPECT_STREQ(r.id_type, "CAA registration");
    EXPECT_STREQ(r.ua_type, "Other");
    // ID type 5..15 leaves the label; an empty text leaves the ID; UA type always set
    ovk_rid_decode_ble(ble_frame(basic_id(7, 0, "")), r);
    EXPECT_EQ(r.uas_id, "SE-REG 123");
    EXPECT_STREQ(r.id_type, "CAA registration");
    EXPECT_STREQ(r.ua_type, "Not declared");
    // non-printable bytes are skipped, text is at most 23 characters
    Bytes m = basic_id(1, 1, "AB");
    m[4] = 0x07;
    m[5] = 'C';
    ovk_rid_decode_ble(ble_frame(m), r);
    EXPECT_EQ(r.uas_id, "ABC");
    OVK_REMOTE_ID s;
    ovk_rid_decode_ble(ble_frame(self_id("This description is far too long")), s);
    EXPECT_EQ(s.self_id, "This description is far");
    EXPECT_EQ(s.self_id.size(), 23u);
}

TEST(RemoteIdMessages, LocationFields) {
    Loc l;
    l.lat = 593293000;  // 59.3293
    l.lon = 180686000;  // 18.0686
    l.alt_geo = 2100;   // 50 m
    l.height = 2080;    // 40 m
    l.speed = 100;
    l.vspeed = -6;
    l.dir = 90;
    OVK_REMOTE_ID r;
    ovk_rid_decode_ble(ble_frame(location(l)), r);
    EXPECT_STREQ(r.status, "Airborne");
    EXPECT_EQ(r.has_pos, 1);
    EXPECT_NEAR(r.lat, 59.3293, 1e-9);
    EXPECT_NEAR(r.lon, 18.0686, 1e-9);
    EXPECT_EQ(r.has_alt_geo, 1);
    EXPECT_DOUBLE_EQ(r.alt_geo_m, 50.0);
    EXPECT_DOUBLE_EQ(r.height_m, 40.0);
    EXPECT_DOUBLE_EQ(r.speed_ms, 25.0);
    EXPECT_DOUBLE_EQ(r.vspeed_ms, -3.0);
    EXPECT_EQ(r.direction_deg, 90);

    // multiplier, direction bit, unknown codes: earlier values stay
    l.speed_mult = true;
    l.dir_bit = true;
    ovk_rid_decode_ble(ble_frame(location(l)), r);
    EXPECT_DOUBLE_EQ(r.speed_ms, 138.75);
    EXPECT_EQ(r.direction_deg, 270);
    Loc u;
    u.status = 9;
    u.speed = 255;
    u.vspeed = 126;
    u.dir = 181;
    u.dir_bit = true;
    ovk_rid_decode_ble(ble_frame(location(u)), r);
    EXPECT_STREQ(r.status, "Airborne");
    EXPECT_DOUBLE_EQ(r.speed_ms, 138.75);
    EXPECT_DOUBLE_EQ(r.vspeed_ms, -3.0);
    EXPECT_EQ(r.direction_deg, 270);
    EXPECT_DOUBLE_EQ(r.height_m, 40.0);  // raw 0 leaves the height
    EXPECT_NEAR(r.lat, 59.3293, 1e-9);   // raw 0 leaves the position
    EXPECT_EQ(r.has_pos, 1);

    Loc z;
    z.height = 2000;
    z.status = 4;
    ovk_rid_decode_ble(ble_frame(location(z)), r);
    EXPECT_DOUBLE_EQ(r.height_m, 0.0);
    EXPECT_STREQ(r.status, "Remote ID system failure");
}

TEST(RemoteIdMessages, PositionNeedsBothCoordinates) {
    OVK_REMOTE_ID r;
    Loc l;
    l.lon = 180686000;
    ovk_rid_decode_ble(ble_frame(location(l)), r);
    EXPECT_EQ(r.has_pos, 0);
    EXPECT_NEAR(r.lon, 18.0686, 1e-9);
    l.lat = 593293000;
    l.lon = 0;
    ovk_rid_decode_ble(ble_frame(location(l)), r);  // completes the earlier longitude
    EXPECT_EQ(r.has_pos, 1);
    // a coordinate off the globe is not stored
    Loc bad;
    bad.lat = 1300000000;   // 130 degrees
    bad.lon = -1900000000;  // -190 degrees
    ovk_rid_decode_ble(ble_frame(location(bad)), r);
    EXPECT_NEAR(r.lat, 59.3293, 1e-9);
    EXPECT_NEAR(r.lon, 18.0686, 1e-9);
    OVK_REMOTE_ID fresh;
    ovk_rid_decode_ble(ble_frame(location(bad)), fresh);
    EXPECT_EQ(fresh.has_pos, 0);
}

TEST(RemoteIdMessages, SystemAndOperatorAccumulate) {
    OVK_REMOTE_ID r;
    ovk_rid_decode_wifi_ie(wifi_frame(system_msg(593300000, 0)), r);
    EXPECT_EQ(r.has_op_pos, 0);
    ovk_rid_decode_wifi_ie(wifi_frame(system_msg(0, 180700000)), r);
    EXPECT_EQ(r.has_op_pos, 1);
    EXPECT_NEAR(r.op_lat, 59.33, 1e-9);
    EXPECT_NEAR(r.op_lon, 18.07, 1e-9);
    EXPECT_EQ(r.has_pos, 0);
    ovk_rid_decode_wifi_ie(wifi_frame(self_id("Inspection flight")), r);
    ovk_rid_decode_wifi_ie(wifi_frame(basic_id(1, 2, "SN-1")), r);
    EXPECT_EQ(r.self_id, "Inspection flight");
    EXPECT_EQ(r.uas_id, "SN-1");
    // authentication and reserved types change nothing
    Bytes auth(25, 0x5A);
    auth[0] = 0x22;
    Bytes reserved(25, 0x41);
    reserved[0] = 0x72;
    const OVK_REMOTE_ID before = r;
    EXPECT_EQ(ovk_rid_decode_wifi_ie(wifi_frame(auth), r), 1);
    EXPECT_EQ(ovk_rid_decode_wifi_ie(wifi_frame(reserved), r), 1);
    EXPECT_EQ(r.uas_id, before.uas_id);
    EXPECT_EQ(r.self_id, before.self_id);
    EXPECT_EQ(r.op_lat, before.op_lat);
}

TEST(RemoteIdPack, FullPackAndBadHeaders) {
    Loc l;
    l.lat = 593293000;
    l.lon = 180686000;
    l.height = 2100;
    const std::vector<Bytes> msgs = {basic_id(1, 2, "SN-PACK"), location(l), self_id("Survey"),
                                     system_msg(593290000, 180680000), operator_id("OP-7")};
    OVK_REMOTE_ID r;
    ASSERT_EQ(ovk_rid_decode_wifi_ie(wifi_frame(pack(msgs)), r), 1);
    EXPECT_EQ(r.uas_id, "SN-PACK");
    EXPECT_EQ(r.has_pos, 1);
    EXPECT_DOUBLE_EQ(r.height_m, 50.0);
    EXPECT_EQ(r.self_id, "Survey");
    EXPECT_EQ(r.has_op_pos, 1);
    EXPECT_EQ(r.operator_id, "OP-7");
    OVK_REMOTE_ID b;
    ASSERT_EQ(ovk_rid_decode_ble(ble_frame(pack(msgs)), b), 1);  // extended BLE advert
    EXPECT_EQ(b.operator_id, "OP-7");

    for (auto [count, size] : {std::pair{5, 24}, {0, 25}, {10, 25}}) {
        OVK_REMOTE_ID x;
        std::vector<Bytes> ten(10, basic_id(1, 2, "SN-X"));
        EXPECT_EQ(ovk_rid_decode_wifi_ie(wifi_frame(pack(ten, count, size)), x), 1);
        EXPECT_TRUE(x.uas_id.empty()) << count << "/" << size;
        EXPECT_EQ(x.ua_type, nullptr);
    }
}

TEST(RemoteIdPack, ShortPackDecodesWhatFitsAndSkipsNestedPacks) {
    // announces five, carries three whole messages and part of a fourth
    Bytes p = pack({basic_id(1, 2, "SN-A"), self_id("three"), operator_id("OP-3")}, 5);
    Bytes partial = operator_id("OP-4");
    p.insert(p.end(), partial.begin(), partial.begin() + 24);
    OVK_REMOTE_ID r;
    ovk_rid_decode_wifi_ie(wifi_frame(p), r);
    EXPECT_EQ(r.uas_id, "SN-A");
    EXPECT_EQ(r.self_id, "three");
    EXPECT_EQ(r.operator_id, "OP-3");

    Bytes nested = pack({operator_id("OP-IN")});
    nested.resize(25, 0);
    OVK_REMOTE_ID n;
    ovk_rid_decode_wifi_ie(wifi_frame(pack({nested, self_id("after")})), n);
    EXPECT_TRUE(n.operator_id.empty());
    EXPECT_EQ(n.self_id, "after");
}

TEST(RemoteIdAdvert, PicksTheFramingOfTheSource) {
    Bytes svc = {0x16, 0xFA, 0xFF};
    const Bytes f = ble_frame(basic_id(1, 2, "SN-BLE"));
    svc.insert(svc.end(), f.begin(), f.end());
    Bytes raw = {static_cast<uint8_t>(svc.size())};
    raw.insert(raw.end(), svc.begin(), svc.end());
    auto a = ovk_advert_new_ble("60:11:22:33:44:55", -70, raw, OVK_ADDR_RESOLVABLE_PRIVATE, 0,
                                std::nullopt, "", 0);
    OVK_REMOTE_ID r;
    ASSERT_EQ(ovk_rid_decode_advert(a.get(), r), 1);
    EXPECT_EQ(r.uas_id, "SN-BLE");

    const Bytes wf = wifi_frame(basic_id(1, 2, "SN-WIFI"));
    Bytes ies = {0xDD, 0x04, 0x00, 0x50, 0xF2, 0x04, 0xDD, static_cast<uint8_t>(wf.size())};
    ies.insert(ies.end(), wf.begin(), wf.end());
    auto w = ovk_advert_new_wifi("62:11:22:33:44:55", "RID", -60, 2437, std::nullopt, std::nullopt,
                                 ies, 0);
    ASSERT_EQ(ovk_rid_decode_advert(w.get(), r), 1);
    EXPECT_EQ(r.uas_id, "SN-WIFI");

    auto plain = ovk_advert_new_ble("60:11:22:33:44:55", -70, Bytes{0x02, 0x01, 0x06},
                                    OVK_ADDR_PUBLIC, 1, std::nullopt, "", 0);
    EXPECT_EQ(ovk_rid_decode_advert(plain.get(), r), 0);
    EXPECT_EQ(ovk_rid_decode_advert(nullptr, r), 0);
    EXPECT_EQ(r.uas_id, "SN-WIFI");
}

TEST(DroneOverhead, EvidenceAndDistanceLimit) {
    const double my_lat = 59.3293, my_lon = 18.0686;
    OVK_REMOTE_ID r;
    r.has_pos = 1;
    r.lat = my_lat + 150.0 / kEarthR * kDegPerRad;  // 150 m north
    r.lon = my_lon;
    r.has_height = 1;
    r.height_m = 40;
    r.has_alt_geo = 1;
    r.alt_geo_m = 77;
    r.has_speed = 1;
    r.speed_ms = 10;
    r.uas_id = "1581F5FKD229400B";
    OVK_HIT h;
    ASSERT_EQ(ovk_drone_overhead_hit(r, h, my_lat, my_lon), 1);
    EXPECT_EQ(h.category, OVK_CAT_DRONE);
    EXPECT_EQ(h.label, "Drone overhead");
    EXPECT_EQ(h.confidence, 95);
    EXPECT_EQ(h.source, "ASTM F3411 Remote ID (the drone's own GPS position)");
    EXPECT_EQ(h.evidence,
              "Remote ID position ~150 m from you, 40 m up, 36 km/h (ID 1581F5FKD229400B)");

    r.has_height = 0;
    r.has_speed = 0;
    r.uas_id.clear();
    ASSERT_EQ(ovk_drone_overhead_hit(r, h, my_lat, my_lon), 1);
    EXPECT_EQ(h.evidence, "Remote ID position ~150 m from you, 77 m up");
    r.has_alt_geo = 0;
    ASSERT_EQ(ovk_drone_overhead_hit(r, h, my_lat, my_lon), 1);
    EXPECT_EQ(h.evidence, "Remote ID position ~150 m from you");

    r.lat = my_lat + 199.9 / kEarthR * kDegPerRad;
    EXPECT_EQ(ovk_drone_overhead_hit(r, h, my_lat, my_lon), 1);
    OVK_HIT untouched;
    r.lat = my_lat + 201.0 / kEarthR * kDegPerRad;
    EXPECT_EQ(ovk_drone_overhead_hit(r, untouched, my_lat, my_lon), 0);
    EXPECT_TRUE(untouched.label.empty());
    r.lat = my_lat;
    r.has_pos = 0;
    EXPECT_EQ(ovk_drone_overhead_hit(r, untouched, my_lat, my_lon), 0);
    r.has_pos = 1;
    EXPECT_EQ(ovk_drone_overhead_hit(r, untouched, NAN, my_lon), 0);
    EXPECT_TRUE(untouched.label.empty());
}
