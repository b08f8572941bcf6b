// SPDX-License-Identifier: GPL-3.0-or-later
// Drone Remote ID broadcasts for tests: ASTM F3411 messages (25 bytes, protocol version 2)
// packed into the BLE service data of an advert. Header-only.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "ovk_advert.h"

namespace ovk_test {

using RidBytes = std::vector<uint8_t>;

inline void rid_put_i32(RidBytes& m, size_t at, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (size_t k = 0; k < 4; ++k) m[at + k] = static_cast<uint8_t>(u >> (8 * k));
}
inline void rid_put_u16(RidBytes& m, size_t at, unsigned v) {
    m[at] = static_cast<uint8_t>(v);
    m[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline int32_t rid_deg(double d) {
    return static_cast<int32_t>(std::lround(d * 1e7));
}

inline RidBytes rid_basic_id(int id_type, const std::string& id) {
    RidBytes m(25, 0);
    m[0] = 0x02;
    m[1] = static_cast<uint8_t>(id_type << 4 | 2);
    for (size_t k = 0; k < id.size() && k < 20; ++k) m[2 + k] = static_cast<uint8_t>(id[k]);
    return m;
}

// A Location message: position in degrees, speed as its raw byte (with the x0.75 + 63.75
// multiplier when `speed_mult`), time stamp in tenths of a second since the hour (0xFFFF
// unknown).
inline RidBytes rid_location(double lat, double lon, int speed_raw = 20, bool speed_mult = false,
                             unsigned timestamp = 0xFFFF) {
    RidBytes m(25, 0);
    m[0] = 0x12;
    m[1] = static_cast<uint8_t>(0x20 | (speed_mult ? 1 : 0));
    m[2] = 90;
    m[3] = static_cast<uint8_t>(speed_raw);
    rid_put_i32(m, 5, rid_deg(lat));
    rid_put_i32(m, 9, rid_deg(lon));
    rid_put_u16(m, 15, 2200);
    rid_put_u16(m, 17, 2100);
    rid_put_u16(m, 21, timestamp);
    return m;
}

// A System message; `loc_type` 0 takeoff, 1 live GNSS, 2 fixed.
inline RidBytes rid_system(double op_lat, double op_lon, int loc_type = 0) {
    RidBytes m(25, 0);
    m[0] = 0x42;
    m[1] = static_cast<uint8_t>(loc_type & 3);
    rid_put_i32(m, 2, rid_deg(op_lat));
    rid_put_i32(m, 6, rid_deg(op_lon));
    return m;
}

// A BLE advert whose 0xFFFA service data carries the messages as one message pack.
inline OVK_ADVERT_PTR rid_advert(const std::string& mac, const std::vector<RidBytes>& msgs,
                                 int64_t t, int rssi = -70) {
    RidBytes svc = {0xFA, 0xFF, 0x0D, 0x01, 0xF2, 25, static_cast<uint8_t>(msgs.size())};
    for (const RidBytes& m : msgs) svc.insert(svc.end(), m.begin(), m.end());
    RidBytes raw = {static_cast<uint8_t>(svc.size() + 1), 0x16};
    raw.insert(raw.end(), svc.begin(), svc.end());
    return ovk_advert_new_ble(mac, rssi, raw, OVK_ADDR_PUBLIC, 0, "LE 1M (extended)", "", t);
}

// The point `metres` north of (lat, lon).
inline double rid_north(double lat, double metres) {
    return lat + metres / 6371000.0 * 57.29577951308232;
}

}  // namespace ovk_test
