// SPDX-License-Identifier: GPL-3.0-or-later
// Builds BLE advertising payloads and Wi-Fi element lists for classifier tests, so adverts
// go through the real decoders.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_advert.h"

namespace sigtest {

using Bytes = std::vector<uint8_t>;

inline Bytes str_bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// 16-byte UUID in display order from its canonical text (must be valid).
inline OVK_UUID uuid_of(std::string_view text) {
    auto u = ovk_uuid_parse(text);
    return u ? *u : OVK_UUID{};
}

class Payload {
  public:
    Payload& ad(uint8_t type, const Bytes& body) {
        raw_.push_back(static_cast<uint8_t>(body.size() + 1));
        raw_.push_back(type);
        raw_.insert(raw_.end(), body.begin(), body.end());
        return *this;
    }
    Payload& flags() { return ad(0x01, {0x06}); }
    Payload& name(std::string_view n) { return ad(0x09, str_bytes(n)); }
    Payload& mfg(uint16_t cid, const Bytes& data = {}) {
        Bytes b{static_cast<uint8_t>(cid & 0xFF), static_cast<uint8_t>(cid >> 8)};
        b.insert(b.end(), data.begin(), data.end());
        return ad(0xFF, b);
    }
    Payload& uuids16(std::initializer_list<uint16_t> ids) {
        Bytes b;
        for (uint16_t id : ids) {
            b.push_back(static_cast<uint8_t>(id & 0xFF));
            b.push_back(static_cast<uint8_t>(id >> 8));
        }
        return ad(0x03, b);
    }
    Payload& svc16(uint16_t id, const Bytes& data = {}) {
        Bytes b{static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8)};
        b.insert(b.end(), data.begin(), data.end());
        return ad(0x16, b);
    }
    // A 128-bit UUID list entry; `air_order` false writes it the usual way (reversed on air),
    // true writes the display bytes as they are (a sender that got the byte order wrong).
    Payload& uuid128(const OVK_UUID& u, bool air_order = false) {
        Bytes b(u.b.begin(), u.b.end());
        if (!air_order) b.assign(u.b.rbegin(), u.b.rend());
        return ad(0x07, b);
    }
    Payload& svc128(const OVK_UUID& u, const Bytes& data = {}) {
        Bytes b(u.b.rbegin(), u.b.rend());
        b.insert(b.end(), data.begin(), data.end());
        return ad(0x21, b);
    }
    const Bytes& bytes() const { return raw_; }

    OVK_ADVERT_PTR ble(std::string_view mac = "00:11:22:33:44:55",
                       OVK_ADDR_TYPE kind = OVK_ADDR_PUBLIC) const {
        return ovk_advert_new_ble(mac, -60, ovk_bytes(raw_.data(), raw_.size()), kind, 1,
                                  "LE 1M (legacy)", "", 1733600000000);
    }

  private:
    Bytes raw_;
};

// Wi-Fi element list.
class Elements {
  public:
    Elements& ie(uint8_t id, const Bytes& body) {
        raw_.push_back(id);
        raw_.push_back(static_cast<uint8_t>(body.size()));
        raw_.insert(raw_.end(), body.begin(), body.end());
        return *this;
    }
    const Bytes& bytes() const { return raw_; }
    OVK_ADVERT_PTR wifi(std::string_view bssid, std::string_view ssid) const {
        return ovk_advert_new_wifi(bssid, ssid, -70, 2437, std::nullopt, std::nullopt,
                                   ovk_bytes(raw_.data(), raw_.size()), 1733600000000);
    }

  private:
    Bytes raw_;
};

// A Remote ID body: 27 bytes of BLE service data (app code 0x0D, counter, a Basic ID message).
inline Bytes rid_ble_body(size_t len = 27) {
    Bytes b(len, 0);
    if (len > 0) b[0] = 0x0D;
    if (len > 2) b[2] = 0x02;  // Basic ID, version 2
    const std::string id = "TESTDRONE01";
    for (size_t i = 0; i < id.size() && 4 + i < len; ++i) b[4 + i] = static_cast<uint8_t>(id[i]);
    return b;
}

}  // namespace sigtest
