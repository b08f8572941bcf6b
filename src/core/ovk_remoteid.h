// SPDX-License-Identifier: GPL-3.0-or-later
// Drone Remote ID (ASTM F3411) broadcasts: BLE service data and Wi-Fi beacon vendor elements
// decoded into one cumulative record per drone, and the "Drone overhead" verdict for a drone
// close to the user. Pure functions over caller-owned records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_category.h"

inline constexpr size_t OVK_RID_TEXT_MAX = 23;  // uas_id, self_id, operator_id
inline constexpr uint16_t OVK_RID_BLE_UUID16 = 0xFFFA;
inline constexpr size_t OVK_RID_MSG_SIZE = 25;

// Each decoded message writes only the fields it carries; the others keep their values, so
// decoding every broadcast of one drone into the same record assembles the full picture.
struct OVK_REMOTE_ID {
    std::string uas_id;             // Basic ID text, at most 23 characters
    const char* id_type = nullptr;  // static label, or nullptr
    const char* ua_type = nullptr;  // static label, or nullptr
    const char* status = nullptr;   // static label, or nullptr
    int has_pos = 0;                // 1 only when both lat and lon are non-zero
    double lat = 0;
    double lon = 0;
    int has_alt_geo = 0;
    double alt_geo_m = 0;
    int has_height = 0;
    double height_m = 0;
    int has_speed = 0;
    double speed_ms = 0;
    int has_vspeed = 0;
    double vspeed_ms = 0;  // positive up
    int has_direction = 0;
    int direction_deg = 0;  // 0..359
    int has_op_pos = 0;     // 1 only when both op_lat and op_lon are non-zero
    double op_lat = 0;
    double op_lon = 0;
    std::string self_id;      // at most 23 characters
    std::string operator_id;  // at most 23 characters
};

// Framing tests: BLE service data (UUID 0xFFFA, the caller's business) of at least 27 bytes
// starting with application code 0x0D; a vendor-element body starting FA 0B BC 0D.
int ovk_rid_is_ble(ovk_bytes svc);
int ovk_rid_is_wifi_ie(ovk_bytes ie);

// Decoders: 1 when the framing was recognised (even if no message could be used), else 0.
// The Wi-Fi form also needs a body longer than 7 bytes.
int ovk_rid_decode_ble(ovk_bytes svc, OVK_REMOTE_ID& info);
int ovk_rid_decode_wifi_ie(ovk_bytes ie, OVK_REMOTE_ID& info);
// Wi-Fi: the first vendor element (221) that carries Remote ID; BLE: the 0xFFFA service data.
// nullptr `a` gives 0.
int ovk_rid_decode_advert(const OVK_ADVERT* a, OVK_REMOTE_ID& info);

// The 25-byte messages of the advert's Remote ID broadcast (framing as in
// ovk_rid_decode_advert), in broadcast order with message packs unpacked: views into the
// advert, valid while it lives. Empty for nullptr or an advert without Remote ID.
std::vector<ovk_bytes> ovk_rid_messages(const OVK_ADVERT* a);
// Decodes one 25-byte message (not a pack) into `info`; 1 when its type is one the record
// takes (Basic ID, Location, Self-ID, System, Operator ID), else 0.
int ovk_rid_decode_message(ovk_bytes msg, OVK_REMOTE_ID& info);

// The "Drone overhead" verdict when the drone's position is within 200 m of the user's:
// fills `out` and returns 1, else 0 with `out` untouched.
int ovk_drone_overhead_hit(const OVK_REMOTE_ID& info, OVK_HIT& out, double my_lat, double my_lon);
