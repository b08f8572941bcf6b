// SPDX-License-Identifier: GPL-3.0-or-later
// Remote ID decoding over both framings: BLE service data and Wi-Fi vendor-element bodies,
// directly and through advertisements built from the same bytes, into one cumulative record.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ovk_advert.h"
#include "ovk_remoteid.h"

namespace {

void check(const OVK_REMOTE_ID& r) {
    if (r.uas_id.size() > OVK_RID_TEXT_MAX || r.self_id.size() > OVK_RID_TEXT_MAX ||
        r.operator_id.size() > OVK_RID_TEXT_MAX)
        __builtin_trap();
    if (r.has_pos && (r.lat == 0 || r.lon == 0 || std::fabs(r.lat) > 90 || std::fabs(r.lon) > 180))
        __builtin_trap();
    if (r.has_direction && (r.direction_deg < 0 || r.direction_deg > 359)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const ovk_bytes body(data + 1, size - 1);
    OVK_REMOTE_ID r;

    // Raw bodies, forced into each framing so the message walk is always reached.
    std::vector<uint8_t> ble = {0x0D};
    ble.insert(ble.end(), body.begin(), body.end());
    std::vector<uint8_t> wifi = {0xFA, 0x0B, 0xBC, 0x0D};
    wifi.insert(wifi.end(), body.begin(), body.end());
    (void)ovk_rid_decode_ble(mode & 1 ? ble : std::vector<uint8_t>(body.begin(), body.end()), r);
    check(r);
    (void)ovk_rid_decode_wifi_ie(mode & 2 ? wifi : std::vector<uint8_t>(body.begin(), body.end()),
                                 r);
    check(r);

    // Through advertisements: service data 0xFFFA and a vendor element.
    if (body.size() <= 250) {
        std::vector<uint8_t> raw = {static_cast<uint8_t>(ble.size() + 3), 0x16, 0xFA, 0xFF};
        raw.insert(raw.end(), ble.begin(), ble.end());
        auto a = ovk_advert_new_ble("60:00:00:00:00:01", -60, raw, OVK_ADDR_UNKNOWN, -1,
                                    std::nullopt, "", 0);
        (void)ovk_rid_decode_advert(a.get(), r);
        check(r);
    }
    if (wifi.size() <= 255) {
        std::vector<uint8_t> ies = {0xDD, static_cast<uint8_t>(wifi.size())};
        ies.insert(ies.end(), wifi.begin(), wifi.end());
        auto w = ovk_advert_new_wifi("62:00:00:00:00:01", "x", -60, 2437, std::nullopt,
                                     std::nullopt, ies, 0);
        (void)ovk_rid_decode_advert(w.get(), r);
        check(r);
    }
    OVK_HIT h;
    if (r.has_pos && ovk_drone_overhead_hit(r, h, r.lat, r.lon) != 1) __builtin_trap();
    (void)ovk_drone_overhead_hit(r, h, 59.0, 18.0);
    return 0;
}
