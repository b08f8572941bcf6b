// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_remoteid.h"

#include <cmath>

#include "ovk_geo.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Label tables (index = the 4-bit field of the message)
// ---------------------------------------------------------------------------------------------

constexpr const char* kStatus[] = {"Undeclared", "Ground", "Airborne", "Emergency",
                                   "Remote ID system failure"};
constexpr const char* kIdType[] = {"None", "Serial number (ANSI/CTA-2063-A)", "CAA registration",
                                   "UTM UUID", "Specific session ID"};
constexpr const char* kUaType[16] = {"Not declared",
                                     "Aeroplane",
                                     "Helicopter / multirotor",
                                     "Gyroplane",
                                     "Hybrid lift (VTOL)",
                                     "Ornithopter",
                                     "Glider",
                                     "Kite",
                                     "Free balloon",
                                     "Captive balloon",
                                     "Airship",
                                     "Parachute",
                                     "Rocket",
                                     "Tethered powered aircraft",
                                     "Ground obstacle",
                                     "Other"};

constexpr uint8_t kBleAppCode = 0x0D;
constexpr uint8_t kWifiPrefix[4] = {0xFA, 0x0B, 0xBC, 0x0D};
constexpr size_t kBleMinLen = 27;
constexpr size_t kBleFirstMsg = 2;
constexpr size_t kWifiMinLen = 8;
constexpr size_t kWifiFirstMsg = 5;
constexpr int kPackType = 15;
constexpr int kPackMaxCount = 9;

// ---------------------------------------------------------------------------------------------
// Field helpers
// ---------------------------------------------------------------------------------------------

// Text of msg[from .. from+len): printable ASCII, trailing zeros and outer blanks dropped.
void set_text(std::string& field, ovk_bytes msg, size_t from, size_t len) {
    if (auto t = ovk_ascii(msg, from, len, OVK_RID_TEXT_MAX + 1)) field = std::move(*t);
}

// A coordinate of 1e-7 degree units; 0 is the broadcast's "unknown". Values beyond the
// globe are not positions at all and are dropped as well.
void set_coord(double& field, int32_t raw, double limit) {
    if (raw == 0) return;
    const double deg = raw * 1e-7;
    if (deg < -limit || deg > limit) return;
    field = deg;
}

void recompute_positions(OVK_REMOTE_ID& r) {
    r.has_pos = (r.lat != 0 && r.lon != 0) ? 1 : 0;
    r.has_op_pos = (r.op_lat != 0 && r.op_lon != 0) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// One handler per message type; every message is 25 bytes (checked before dispatch).
// ---------------------------------------------------------------------------------------------

void decode_basic_id(ovk_bytes m, OVK_REMOTE_ID& r) {
    set_text(r.uas_id, m, 2, 20);
    const int id_type = m[1] >> 4;
    if (id_type <= 4) r.id_type = kIdType[id_type];
    r.ua_type = kUaType[m[1] & 0x0F];
}

void decode_location(ovk_bytes m, OVK_REMOTE_ID& r) {
    const int status = m[1] >> 4;
    if (status <= 4) r.status = kStatus[status];
    const bool dir_plus_180 = (m[1] & 0x02) != 0;
    const bool speed_mult = (m[1] & 0x01) != 0;

    set_coord(r.lat, ovk_i32le(m, 5), 90.0);
    set_coord(r.lon, ovk_i32le(m, 9), 180.0);

    if (const unsigned alt = ovk_u16le(m, 15)) {
        r.has_alt_geo = 1;
        r.alt_geo_m = alt * 0.5 - 1000.0;
    }
    if (const unsigned h = ovk_u16le(m, 17)) {
        r.has_height = 1;
        r.height_m = h * 0.5 - 1000.0;
    }
    if (const unsigned sp = m[3]; sp != 255) {
        r.has_speed = 1;
        r.speed_ms = speed_mult ? sp * 0.75 + 63.75 : sp * 0.25;
    }
    if (const int vs = static_cast<int8_t>(m[4]); vs != 126) {
        r.has_vspeed = 1;
        r.vspeed_ms = vs * 0.5;
    }
    if (const int dir = m[2] + (dir_plus_180 ? 180 : 0); dir < 360) {
        r.has_direction = 1;
        r.direction_deg = dir;
    }
    recompute_positions(r);
}

void decode_self_id(ovk_bytes m, OVK_REMOTE_ID& r) {
    set_text(r.self_id, m, 2, 23);
}

void decode_system(ovk_bytes m, OVK_REMOTE_ID& r) {
    set_coord(r.op_lat, ovk_i32le(m, 2), 90.0);
    set_coord(r.op_lon, ovk_i32le(m, 6), 180.0);
    recompute_positions(r);
}

void decode_operator_id(ovk_bytes m, OVK_REMOTE_ID& r) {
    set_text(r.operator_id, m, 2, 20);
}

using Handler = void (*)(ovk_bytes, OVK_REMOTE_ID&);
constexpr Handler kHandlers[6] = {decode_basic_id, decode_location, nullptr /* authentication */,
                                  decode_self_id,  decode_system,   decode_operator_id};

// Calls `visit` with each 25-byte message at offset o: the message itself, or the messages
// of a message pack. Packs are not nested: a pack header inside a pack is skipped.
template <typename Visit>
void each_message(ovk_bytes buf, size_t o, Visit&& visit) {
    if (o >= buf.size()) return;
    if ((buf[o] >> 4) != kPackType) {
        if (buf.size() - o >= OVK_RID_MSG_SIZE) visit(buf.subspan(o, OVK_RID_MSG_SIZE));
        return;
    }
    if (buf.size() - o < 3 || buf[o + 1] != OVK_RID_MSG_SIZE) return;
    const int n = buf[o + 2];
    if (n < 1 || n > kPackMaxCount) return;
    for (int k = 0; k < n; ++k) {
        const size_t at = o + 3 + OVK_RID_MSG_SIZE * static_cast<size_t>(k);
        if (at > buf.size() || buf.size() - at < OVK_RID_MSG_SIZE) break;
        if ((buf[at] >> 4) == kPackType) continue;
        visit(buf.subspan(at, OVK_RID_MSG_SIZE));
    }
}

// One message: 1 when its type has a handler.
int decode_single(ovk_bytes m, OVK_REMOTE_ID& r) {
    if (m.size() < OVK_RID_MSG_SIZE) return 0;
    const int t = m[0] >> 4;
    if (t > 5 || !kHandlers[t]) return 0;
    kHandlers[t](m.first(OVK_RID_MSG_SIZE), r);
    return 1;
}

void decode_message(ovk_bytes buf, size_t o, OVK_REMOTE_ID& r) {
    each_message(buf, o, [&r](ovk_bytes m) { decode_single(m, r); });
}

// The framed broadcast of an advert and the offset of its first message, or an empty view.
ovk_bytes broadcast_of(const OVK_ADVERT& a, size_t& first) {
    if (a.source == OVK_SRC_WIFI) {
        for (const OVK_IE& ie : a.ies)
            if (ie.id == 221 && ovk_rid_is_wifi_ie(ie.data)) {
                if (ie.data.size() < kWifiMinLen) return {};
                first = kWifiFirstMsg;
                return ie.data;
            }
        return {};
    }
    const OVK_SVCDATA* s = ovk_advert_svc16(&a, OVK_RID_BLE_UUID16);
    if (!s || !ovk_rid_is_ble(s->data)) return {};
    first = kBleFirstMsg;
    return s->data;
}

}  // namespace

int ovk_rid_is_ble(ovk_bytes svc) {
    return svc.size() >= kBleMinLen && svc[0] == kBleAppCode ? 1 : 0;
}

int ovk_rid_is_wifi_ie(ovk_bytes ie) {
    return ie.size() >= 4 && ie[0] == kWifiPrefix[0] && ie[1] == kWifiPrefix[1] &&
                   ie[2] == kWifiPrefix[2] && ie[3] == kWifiPrefix[3]
               ? 1
               : 0;
}

int ovk_rid_decode_ble(ovk_bytes svc, OVK_REMOTE_ID& info) {
    if (!ovk_rid_is_ble(svc)) return 0;
    decode_message(svc, kBleFirstMsg, info);
    return 1;
}

int ovk_rid_decode_wifi_ie(ovk_bytes ie, OVK_REMOTE_ID& info) {
    if (!ovk_rid_is_wifi_ie(ie) || ie.size() < kWifiMinLen) return 0;
    decode_message(ie, kWifiFirstMsg, info);
    return 1;
}

int ovk_rid_decode_advert(const OVK_ADVERT* a, OVK_REMOTE_ID& info) {
    OVK_CHECK(a, 0);
    if (a->source == OVK_SRC_WIFI) {
        for (const OVK_IE& ie : a->ies)
            if (ie.id == 221 && ovk_rid_is_wifi_ie(ie.data))
                return ovk_rid_decode_wifi_ie(ie.data, info);
        return 0;
    }
    const OVK_SVCDATA* s = ovk_advert_svc16(a, OVK_RID_BLE_UUID16);
    if (!s) return 0;
    return ovk_rid_decode_ble(s->data, info);
}

std::vector<ovk_bytes> ovk_rid_messages(const OVK_ADVERT* a) {
    std::vector<ovk_bytes> out;
    if (!a) return out;
    size_t first = 0;
    const ovk_bytes b = broadcast_of(*a, first);
    if (!b.empty()) each_message(b, first, [&out](ovk_bytes m) { out.push_back(m); });
    return out;
}

int ovk_rid_decode_message(ovk_bytes msg, OVK_REMOTE_ID& info) {
    return decode_single(msg, info);
}

int ovk_drone_overhead_hit(const OVK_REMOTE_ID& info, OVK_HIT& out, double my_lat, double my_lon) {
    if (!info.has_pos) return 0;
    const double d = ovk_meters_between(my_lat, my_lon, info.lat, info.lon);
    if (!(d <= 200.0)) return 0;  // also no verdict when either position is not a number
    std::string ev;
    ovk_appendf(ev, OVK_EVIDENCE_MAX + 1, "Remote ID position ~%d m from you", ovk_round(d));
    if (info.has_height)
        ovk_appendf(ev, OVK_EVIDENCE_MAX + 1, ", %d m up", ovk_round(info.height_m));
    else if (info.has_alt_geo)
        ovk_appendf(ev, OVK_EVIDENCE_MAX + 1, ", %d m up", ovk_round(info.alt_geo_m));
    if (info.has_speed)
        ovk_appendf(ev, OVK_EVIDENCE_MAX + 1, ", %d km/h", ovk_round(3.6 * info.speed_ms));
    if (!info.uas_id.empty())
        ovk_appendf(ev, OVK_EVIDENCE_MAX + 1, " (ID %s)", info.uas_id.c_str());
    out = ovk_hit_make(OVK_CAT_DRONE, "Drone overhead", 95,
                       "ASTM F3411 Remote ID (the drone's own GPS position)", "%s", ev.c_str());
    return 1;
}
