// SPDX-License-Identifier: GPL-3.0-or-later
// One radio observation: a BLE advertising report or a Wi-Fi BSS, built from the raw bytes
// the scanners hand over, with lookups and the MAC/UUID/byte helpers the classifiers use.
// Parsers work on bounded views and never read past them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum OVK_SOURCE : int { OVK_SRC_BLE = 0, OVK_SRC_WIFI = 1 };

enum OVK_ADDR_TYPE : int {
    OVK_ADDR_PUBLIC = 0,
    OVK_ADDR_RANDOM_STATIC = 1,
    OVK_ADDR_RESOLVABLE_PRIVATE = 2,
    OVK_ADDR_NON_RESOLVABLE = 3,
    OVK_ADDR_WIFI_GLOBAL = 4,
    OVK_ADDR_WIFI_LOCAL = 5,
    OVK_ADDR_UNKNOWN = 6,
};
inline constexpr int OVK_ADDR_COUNT = 7;

using ovk_bytes = std::span<const uint8_t>;

// UUID in display order (b[0] is printed first). 16/32-bit UUIDs are widened onto the
// Bluetooth base UUID 00000000-0000-1000-8000-00805F9B34FB.
struct OVK_UUID {
    std::array<uint8_t, 16> b{};
    bool operator==(const OVK_UUID&) const = default;
};

struct OVK_MFG {
    uint16_t cid = 0;           // Bluetooth SIG company identifier
    std::vector<uint8_t> data;  // bytes after the company id
};

struct OVK_SVCDATA {
    OVK_UUID uuid;
    std::vector<uint8_t> data;  // bytes after the UUID
};

struct OVK_IE {
    int id = 0;  // element id 0..255
    std::vector<uint8_t> data;
};

// One AD structure: a view into the caller's buffer.
struct OVK_AD {
    int type = 0;
    ovk_bytes data;
};

inline constexpr size_t OVK_MAC_MAX = 17;
inline constexpr size_t OVK_PHY_MAX = 31;

struct OVK_ADVERT {
    std::string mac;  // normalised, at most 17 characters
    OVK_SOURCE source = OVK_SRC_BLE;
    int rssi = 0;
    std::optional<std::string> name;  // BLE local name or Wi-Fi SSID
    std::vector<OVK_MFG> mfg;         // ascending cid, one entry per cid
    std::vector<OVK_UUID> uuids;      // order of appearance, duplicates kept
    std::vector<OVK_SVCDATA> svc;     // order of first appearance, one entry per UUID
    std::vector<uint8_t> raw;         // whole BLE payload
    int has_tx_power = 0;
    int tx_power = 0;
    OVK_ADDR_TYPE addr_type = OVK_ADDR_UNKNOWN;
    int connectable = -1;  // 1, 0, or -1 unknown
    std::string phy;       // at most 31 characters
    int freq_mhz = 0;
    std::optional<std::string> caps;
    std::optional<std::string> standard;
    std::vector<OVK_IE> ies;
    int64_t timestamp = 0;  // ms since the epoch
};
using OVK_ADVERT_PTR = std::unique_ptr<OVK_ADVERT>;

// Construction. Copies are deep by value (OVK_ADVERT is a regular value type).
// Text arguments (address, name, SSID, PHY, caps) end at an embedded NUL, like C strings.
OVK_ADVERT_PTR ovk_advert_new(std::string_view mac, OVK_SOURCE source, int rssi, int64_t timestamp);
OVK_ADVERT_PTR ovk_advert_new_ble(std::string_view mac, int rssi, ovk_bytes raw,
                                  OVK_ADDR_TYPE addr_type, int connectable,
                                  std::optional<std::string_view> phy, std::string_view name_hint,
                                  int64_t timestamp);
// `caps` and `standard` absent: derived from the IEs.
OVK_ADVERT_PTR ovk_advert_new_wifi(std::string_view bssid, std::optional<std::string_view> ssid,
                                   int rssi, int freq_mhz, std::optional<std::string_view> caps,
                                   std::optional<std::string_view> standard, ovk_bytes ies,
                                   int64_t timestamp);
OVK_ADVERT_PTR ovk_advert_dup(const OVK_ADVERT* a);

// Lookups (nullptr advert gives nullptr / 0).
const OVK_MFG* ovk_advert_mfg(const OVK_ADVERT* a, uint16_t cid);
const OVK_SVCDATA* ovk_advert_svc(const OVK_ADVERT* a, const OVK_UUID& uuid);
const OVK_SVCDATA* ovk_advert_svc16(const OVK_ADVERT* a, uint16_t short_uuid);
int ovk_advert_has_uuid16(const OVK_ADVERT* a, uint16_t short_uuid);
int ovk_advert_has_any16(const OVK_ADVERT* a, uint16_t short_uuid);
const OVK_IE* ovk_advert_ie(const OVK_ADVERT* a, int id);

// AD payload helpers.
std::vector<OVK_AD> ovk_ad_parse(ovk_bytes raw, size_t max);
std::string ovk_ad_type_name(int type);

// Byte helpers. ovk_hex: upper-case, `sep` between bytes, output limited so that it fits
// `outsz` bytes including a terminator (outsz below 3 gives "").
std::string ovk_hex(ovk_bytes b, std::string_view sep, size_t outsz);
std::string ovk_hex(ovk_bytes b, std::string_view sep = "");
// Reads at offset i; out-of-range bytes read as 0.
unsigned ovk_u16le(ovk_bytes b, size_t i);
int32_t ovk_i32le(ovk_bytes b, size_t i);
int ovk_contains_ascii(ovk_bytes hay, std::string_view needle);
// Printable ASCII from b[from .. min(size, from+len)), trimmed; empty optional when empty.
std::optional<std::string> ovk_ascii(ovk_bytes b, size_t from, size_t len, size_t outsz);

// UUID helpers.
OVK_UUID ovk_uuid16(uint16_t short_uuid);
int ovk_uuid_short(const OVK_UUID& u);
int ovk_uuid_eq(const OVK_UUID* a, const OVK_UUID* b);
OVK_UUID ovk_uuid_reversed(const OVK_UUID& u);
std::string ovk_uuid_str(const OVK_UUID& u);
std::optional<OVK_UUID> ovk_uuid_parse(std::string_view s);

// MAC helpers.
std::string ovk_mac_normalize(std::string_view in, size_t outsz = 18);
std::string ovk_mac_hex(std::string_view in);
// "AA:BB:CC:DD:EE:FF" from the first six bytes of `b` (fewer bytes give ""). Bluetooth sends
// the least significant byte first (`lsb_first`); Wi-Fi BSSIDs come in display order.
std::string ovk_mac_from_bytes(ovk_bytes b, bool lsb_first);
int ovk_mac_is_valid(std::string_view mac);
int ovk_mac_is_valid_block(std::string_view prefix);
int ovk_mac_is_randomized(std::string_view mac);
OVK_ADDR_TYPE ovk_addr_of_random(std::string_view mac);
OVK_ADDR_TYPE ovk_addr_of_wifi(std::string_view mac);
const char* ovk_addr_name(int t);
const char* ovk_addr_label(int t);
const char* ovk_addr_trackable(int t);

// Wi-Fi helpers.
std::string ovk_wifi_caps_from_ies(ovk_bytes ies, int privacy, size_t outsz = 128);
// A static label, or nullptr.
const char* ovk_wifi_standard_from_ies(ovk_bytes ies, int freq_mhz);
