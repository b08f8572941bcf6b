// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_advert.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Small byte and text helpers
// ---------------------------------------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_val(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_hex(char c) {
    return hex_val(static_cast<unsigned char>(c)) >= 0;
}

// The C locale's isspace(): blank, tab, newline, vertical tab, form feed, carriage return.
bool c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Text fields behave like C strings: an embedded NUL ends them.
std::string_view until_nul(std::string_view s) {
    const size_t z = s.find('\0');
    return z == std::string_view::npos ? s : s.substr(0, z);
}

// First octet of a normalised address, or -1 when its first two characters are not hex.
int first_octet(std::string_view mac) {
    const std::string n = ovk_mac_normalize(mac);
    if (n.size() < 2 || !is_hex(n[0]) || !is_hex(n[1])) return -1;
    return hex_val(static_cast<unsigned char>(n[0])) * 16 +
           hex_val(static_cast<unsigned char>(n[1]));
}

constexpr std::array<uint8_t, 16> kBaseUuid = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

OVK_UUID uuid32(uint32_t v) {
    OVK_UUID u;
    u.b = kBaseUuid;
    u.b[0] = static_cast<uint8_t>(v >> 24);
    u.b[1] = static_cast<uint8_t>(v >> 16);
    u.b[2] = static_cast<uint8_t>(v >> 8);
    u.b[3] = static_cast<uint8_t>(v);
    return u;
}

uint32_t u32le(ovk_bytes b, size_t i) {
    return static_cast<uint32_t>(ovk_i32le(b, i));
}

// 16 air-order (little-endian) bytes into display order.
OVK_UUID uuid128_air(ovk_bytes b) {
    OVK_UUID u;
    for (size_t k = 0; k < 16; ++k) u.b[k] = b[15 - k];
    return u;
}

// ---------------------------------------------------------------------------------------------
// Address kind tables
// ---------------------------------------------------------------------------------------------

struct AddrRow {
    const char* name;
    const char* label;
    const char* track;
};

constexpr AddrRow kAddrRows[OVK_ADDR_COUNT] = {
    {"PUBLIC", "Public (IEEE-assigned)", "Trackable - this address never changes"},
    {"RANDOM_STATIC", "Random static", "Usually stable until reboot or reset - partly trackable"},
    {"RESOLVABLE_PRIVATE", "Resolvable private (RPA)", "Rotates every few minutes - hard to track"},
    {"NON_RESOLVABLE", "Non-resolvable private", "Rotates - not trackable"},
    {"WIFI_GLOBAL", "WiFi, globally unique", "Fixed hardware address - trackable"},
    {"WIFI_LOCAL", "WiFi, locally administered", "Randomized / private address"},
    {"UNKNOWN", "Unknown", "The scanner didn't report the address type"},
};

const AddrRow& addr_row(int t) {
    if (t < 0 || t >= OVK_ADDR_COUNT) return kAddrRows[OVK_ADDR_UNKNOWN];
    return kAddrRows[t];
}

struct AdName {
    int type;
    const char* name;
};

constexpr AdName kAdNames[] = {
    {0x01, "Flags"},
    {0x02, "16-bit UUIDs (partial)"},
    {0x03, "16-bit UUIDs"},
    {0x04, "32-bit UUIDs (partial)"},
    {0x05, "32-bit UUIDs"},
    {0x06, "128-bit UUIDs (partial)"},
    {0x07, "128-bit UUIDs"},
    {0x08, "Short name"},
    {0x09, "Complete name"},
    {0x0A, "TX power"},
    {0x0D, "Class of device"},
    {0x10, "Device ID"},
    {0x12, "Connection interval"},
    {0x14, "16-bit solicitation UUIDs"},
    {0x15, "128-bit solicitation UUIDs"},
    {0x16, "Service data (16-bit)"},
    {0x17, "Public target address"},
    {0x18, "Random target address"},
    {0x19, "Appearance"},
    {0x1A, "Advertising interval"},
    {0x1B, "LE device address"},
    {0x1C, "LE role"},
    {0x20, "Service data (32-bit)"},
    {0x21, "Service data (128-bit)"},
    {0x24, "URI"},
    {0x2A, "Mesh message"},
    {0x2B, "Mesh beacon"},
    {0x2C, "BIG info"},
    {0x2E, "Resolvable set identifier"},
    {0x30, "Broadcast name"},
    {0xFF, "Manufacturer data"},
};

// ---------------------------------------------------------------------------------------------
// Record building
// ---------------------------------------------------------------------------------------------

void add_mfg(OVK_ADVERT& a, uint16_t cid, ovk_bytes data) {
    auto it = std::lower_bound(a.mfg.begin(), a.mfg.end(), cid,
                               [](const OVK_MFG& m, uint16_t c) { return m.cid < c; });
    if (it != a.mfg.end() && it->cid == cid) {
        it->data.assign(data.begin(), data.end());
        return;
    }
    OVK_MFG m;
    m.cid = cid;
    m.data.assign(data.begin(), data.end());
    a.mfg.insert(it, std::move(m));
}

void add_svc(OVK_ADVERT& a, const OVK_UUID& uuid, ovk_bytes data) {
    for (OVK_SVCDATA& s : a.svc) {
        if (s.uuid == uuid) {
            s.data.assign(data.begin(), data.end());
            return;
        }
    }
    OVK_SVCDATA s;
    s.uuid = uuid;
    s.data.assign(data.begin(), data.end());
    a.svc.push_back(std::move(s));
}

// Visits each complete information element (id, body) in order; a truncated last element
// ends the walk.
template <typename F>
void walk_ies(ovk_bytes ies, F&& visit) {
    if (ies.size() < 2) return;
    size_t i = 0;
    while (ies.size() - i >= 2) {
        const int id = ies[i];
        const size_t len = ies[i + 1];
        if (len > ies.size() - i - 2) break;
        visit(id, ies.subspan(i + 2, len));
        i += 2 + len;
    }
}

void ble_handle(OVK_ADVERT& a, const OVK_AD& ad, bool& named) {
    const ovk_bytes d = ad.data;
    switch (ad.type) {
        case 0x02:
        case 0x03:
            for (size_t k = 0; k + 2 <= d.size(); k += 2)
                a.uuids.push_back(ovk_uuid16(static_cast<uint16_t>(ovk_u16le(d, k))));
            break;
        case 0x04:
        case 0x05:
            for (size_t k = 0; k + 4 <= d.size(); k += 4) a.uuids.push_back(uuid32(u32le(d, k)));
            break;
        case 0x06:
        case 0x07:
            for (size_t k = 0; k + 16 <= d.size(); k += 16)
                a.uuids.push_back(uuid128_air(d.subspan(k, 16)));
            break;
        case 0x08:
        case 0x09:
            a.name = std::string(
                until_nul(std::string_view(reinterpret_cast<const char*>(d.data()), d.size())));
            named = true;
            break;
        case 0x0A:
            if (!d.empty()) {
                a.has_tx_power = 1;
                a.tx_power = static_cast<int8_t>(d[0]);
            }
            break;
        case 0x16:
            if (d.size() >= 2)
                add_svc(a, ovk_uuid16(static_cast<uint16_t>(ovk_u16le(d, 0))), d.subspan(2));
            break;
        case 0x20:
            if (d.size() >= 4) add_svc(a, uuid32(u32le(d, 0)), d.subspan(4));
            break;
        case 0x21:
            if (d.size() >= 16) add_svc(a, uuid128_air(d.subspan(0, 16)), d.subspan(16));
            break;
        case 0xFF:
            if (d.size() >= 2) add_mfg(a, static_cast<uint16_t>(ovk_u16le(d, 0)), d.subspan(2));
            break;
        default:
            break;  // flags, appearance, solicitation lists...: kept in raw only
    }
}

}  // namespace

// =============================================================================================
// Construction
// =============================================================================================

OVK_ADVERT_PTR ovk_advert_new(std::string_view mac, OVK_SOURCE source, int rssi,
                              int64_t timestamp) {
    try {
        auto a = std::make_unique<OVK_ADVERT>();
        a->mac = ovk_mac_normalize(mac, OVK_MAC_MAX + 1);
        a->source = source;
        a->rssi = rssi;
        a->timestamp = timestamp;
        return a;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, a);
        return nullptr;
    }
}

OVK_ADVERT_PTR ovk_advert_new_ble(std::string_view mac, int rssi, ovk_bytes raw,
                                  OVK_ADDR_TYPE addr_type, int connectable,
                                  std::optional<std::string_view> phy, std::string_view name_hint,
                                  int64_t timestamp) {
    OVK_ADVERT_PTR a = ovk_advert_new(mac, OVK_SRC_BLE, rssi, timestamp);
    OVK_CHECK(a, nullptr);
    try {
        a->addr_type = addr_type;
        a->connectable = connectable;
        if (phy) a->phy = std::string(until_nul(*phy).substr(0, OVK_PHY_MAX));
        bool named = false;
        if (!raw.empty()) {
            a->raw.assign(raw.begin(), raw.end());
            const ovk_bytes own(a->raw.data(), a->raw.size());
            for (const OVK_AD& ad : ovk_ad_parse(own, 64)) ble_handle(*a, ad, named);
        }
        name_hint = until_nul(name_hint);
        if (!named && !name_hint.empty()) a->name = std::string(name_hint);
    } catch (const std::bad_alloc&) {
        // an entry that could not be stored is dropped; the advert stays usable
    }
    return a;
}

OVK_ADVERT_PTR ovk_advert_new_wifi(std::string_view bssid, std::optional<std::string_view> ssid,
                                   int rssi, int freq_mhz, std::optional<std::string_view> caps,
                                   std::optional<std::string_view> standard, ovk_bytes ies,
                                   int64_t timestamp) {
    OVK_ADVERT_PTR a = ovk_advert_new(bssid, OVK_SRC_WIFI, rssi, timestamp);
    OVK_CHECK(a, nullptr);
    try {
        if (ssid) {
            std::string_view s = until_nul(*ssid);
            if (!s.empty() && s != "<unknown ssid>") {
                if (s.size() > 1 && s.front() == '"' && s.back() == '"') {
                    s = s.substr(1, s.size() - 2);
                    if (!s.empty()) a->name = std::string(s);
                } else {
                    a->name = std::string(s);
                }
            }
        }
        a->addr_type = ovk_addr_of_wifi(a->mac);
        a->freq_mhz = freq_mhz;
        if (caps)
            a->caps = std::string(until_nul(*caps));
        else
            a->caps = ovk_wifi_caps_from_ies(ies, 0, 128);
        if (standard) {
            a->standard = std::string(until_nul(*standard));
        } else if (const char* st = ovk_wifi_standard_from_ies(ies, freq_mhz)) {
            a->standard = std::string(st);
        }
        walk_ies(ies, [&](int id, ovk_bytes body) {
            OVK_IE ie;
            ie.id = id;
            ie.data.assign(body.begin(), body.end());
            a->ies.push_back(std::move(ie));
        });
    } catch (const std::bad_alloc&) {
        // an entry that could not be stored is dropped; the advert stays usable
    }
    return a;
}

OVK_ADVERT_PTR ovk_advert_dup(const OVK_ADVERT* a) {
    OVK_CHECK(a, nullptr);
    try {
        return std::make_unique<OVK_ADVERT>(*a);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, d);
        return nullptr;
    }
}

// =============================================================================================
// Lookups
// =============================================================================================

const OVK_MFG* ovk_advert_mfg(const OVK_ADVERT* a, uint16_t cid) {
    if (!a) return nullptr;
    for (const OVK_MFG& m : a->mfg)
        if (m.cid == cid) return &m;
    return nullptr;
}

const OVK_SVCDATA* ovk_advert_svc(const OVK_ADVERT* a, const OVK_UUID& uuid) {
    if (!a) return nullptr;
    for (const OVK_SVCDATA& s : a->svc)
        if (s.uuid == uuid) return &s;
    return nullptr;
}

const OVK_SVCDATA* ovk_advert_svc16(const OVK_ADVERT* a, uint16_t short_uuid) {
    return ovk_advert_svc(a, ovk_uuid16(short_uuid));
}

int ovk_advert_has_uuid16(const OVK_ADVERT* a, uint16_t short_uuid) {
    if (!a) return 0;
    const OVK_UUID want = ovk_uuid16(short_uuid);
    for (const OVK_UUID& u : a->uuids)
        if (u == want) return 1;
    return 0;
}

int ovk_advert_has_any16(const OVK_ADVERT* a, uint16_t short_uuid) {
    if (!a) return 0;
    return ovk_advert_has_uuid16(a, short_uuid) || ovk_advert_svc16(a, short_uuid) != nullptr;
}

const OVK_IE* ovk_advert_ie(const OVK_ADVERT* a, int id) {
    if (!a) return nullptr;
    for (const OVK_IE& ie : a->ies)
        if (ie.id == id) return &ie;
    return nullptr;
}

// =============================================================================================
// AD payloads
// =============================================================================================

std::vector<OVK_AD> ovk_ad_parse(ovk_bytes raw, size_t max) {
    std::vector<OVK_AD> out;
    try {
        size_t i = 0;
        while (i < raw.size() && out.size() < max) {
            const size_t len = raw[i];
            if (len == 0 || len >= raw.size() - i) break;
            OVK_AD ad;
            ad.type = raw[i + 1];
            ad.data = raw.subspan(i + 2, len - 1);
            out.push_back(ad);
            i += len + 1;
        }
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_AD, max, out);
    }
    return out;
}

std::string ovk_ad_type_name(int type) {
    for (const AdName& n : kAdNames)
        if (n.type == type) return n.name;
    char buf[16];
    snprintf(buf, sizeof buf, "Type 0x%02X", static_cast<unsigned>(type) & 0xFFu);
    return buf;
}

// =============================================================================================
// Byte helpers
// =============================================================================================

std::string ovk_hex(ovk_bytes b, std::string_view sep, size_t outsz) {
    std::string out;
    if (outsz < 3) return out;
    for (size_t i = 0; i < b.size(); ++i) {
        const size_t need = (i ? sep.size() : 0) + 2;
        if (out.size() + need + 1 > outsz) break;
        if (i) out.append(sep);
        out.push_back(kHexDigits[b[i] >> 4]);
        out.push_back(kHexDigits[b[i] & 0x0F]);
    }
    return out;
}

std::string ovk_hex(ovk_bytes b, std::string_view sep) {
    std::string out;
    out.reserve(b.size() * (2 + sep.size()));
    for (size_t i = 0; i < b.size(); ++i) {
        if (i) out.append(sep);
        out.push_back(kHexDigits[b[i] >> 4]);
        out.push_back(kHexDigits[b[i] & 0x0F]);
    }
    return out;
}

unsigned ovk_u16le(ovk_bytes b, size_t i) {
    auto at = [&](size_t k) -> unsigned { return k < b.size() ? b[k] : 0u; };
    return at(i) | (at(i + 1) << 8);
}

int32_t ovk_i32le(ovk_bytes b, size_t i) {
    auto at = [&](size_t k) -> uint32_t { return k < b.size() ? b[k] : 0u; };
    const uint32_t v = at(i) | (at(i + 1) << 8) | (at(i + 2) << 16) | (at(i + 3) << 24);
    return static_cast<int32_t>(v);
}

int ovk_contains_ascii(ovk_bytes hay, std::string_view needle) {
    if (needle.empty() || needle.size() > hay.size()) return 0;
    auto find = [&](auto first, auto last) {
        return std::search(hay.begin(), hay.end(), first, last, [](uint8_t h, char n) {
                   return h == static_cast<uint8_t>(n);
               }) != hay.end();
    };
    if (find(needle.begin(), needle.end())) return 1;
    if (needle.size() <= 64 && find(needle.rbegin(), needle.rend())) return 1;
    return 0;
}

std::optional<std::string> ovk_ascii(ovk_bytes b, size_t from, size_t len, size_t outsz) {
    if (from >= b.size() || outsz == 0) return std::nullopt;
    size_t end = len > b.size() - from ? b.size() : from + len;
    while (end > from && b[end - 1] == 0) --end;
    std::string out;
    for (size_t i = from; i < end && out.size() < outsz - 1; ++i)
        if (b[i] >= 0x20 && b[i] <= 0x7E) out.push_back(static_cast<char>(b[i]));
    const size_t s = out.find_first_not_of(' ');
    if (s == std::string::npos) return std::nullopt;
    out.erase(out.find_last_not_of(' ') + 1);
    out.erase(0, s);
    return out;
}

// =============================================================================================
// UUIDs
// =============================================================================================

OVK_UUID ovk_uuid16(uint16_t short_uuid) {
    OVK_UUID u;
    u.b = kBaseUuid;
    u.b[2] = static_cast<uint8_t>(short_uuid >> 8);
    u.b[3] = static_cast<uint8_t>(short_uuid);
    return u;
}

int ovk_uuid_short(const OVK_UUID& u) {
    for (size_t k = 0; k < 16; ++k)
        if (k != 2 && k != 3 && u.b[k] != kBaseUuid[k]) return -1;
    return (u.b[2] << 8) | u.b[3];
}

int ovk_uuid_eq(const OVK_UUID* a, const OVK_UUID* b) {
    if (!a || !b) return 0;
    return *a == *b ? 1 : 0;
}

OVK_UUID ovk_uuid_reversed(const OVK_UUID& u) {
    OVK_UUID r;
    std::reverse_copy(u.b.begin(), u.b.end(), r.b.begin());
    return r;
}

std::string ovk_uuid_str(const OVK_UUID& u) {
    char buf[40];
    snprintf(buf, sizeof buf,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u.b[0], u.b[1],
             u.b[2], u.b[3], u.b[4], u.b[5], u.b[6], u.b[7], u.b[8], u.b[9], u.b[10], u.b[11],
             u.b[12], u.b[13], u.b[14], u.b[15]);
    return buf;
}

std::optional<OVK_UUID> ovk_uuid_parse(std::string_view s) {
    OVK_UUID u;
    size_t digits = 0;
    for (char c : s) {
        if (c == '-') continue;
        const int v = hex_val(static_cast<unsigned char>(c));
        if (v < 0 || digits >= 32) return std::nullopt;
        if (digits % 2 == 0)
            u.b[digits / 2] = static_cast<uint8_t>(v << 4);
        else
            u.b[digits / 2] |= static_cast<uint8_t>(v);
        ++digits;
    }
    if (digits != 32) return std::nullopt;
    return u;
}

// =============================================================================================
// MAC addresses
// =============================================================================================

std::string ovk_mac_normalize(std::string_view in, size_t outsz) {
    std::string out;
    if (outsz == 0) return out;
    in = until_nul(in);
    size_t i = 0;
    while (i < in.size() && c_space(in[i])) ++i;
    for (; i < in.size() && out.size() < outsz - 1; ++i) {
        char c = in[i];
        if (c == '-')
            c = ':';
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        out.push_back(c);
    }
    while (!out.empty() && c_space(out.back())) out.pop_back();
    return out;
}

std::string ovk_mac_hex(std::string_view in) {
    std::string out;
    for (char c : ovk_mac_normalize(in))
        if (c != ':') out.push_back(c);
    return out;
}

std::string ovk_mac_from_bytes(ovk_bytes b, bool lsb_first) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (b.size() < 6) return {};
    std::string out(17, ':');
    for (size_t i = 0; i < 6; ++i) {
        const uint8_t v = b[lsb_first ? 5 - i : i];
        out[i * 3] = kHex[v >> 4];
        out[i * 3 + 1] = kHex[v & 0x0F];
    }
    return out;
}

// Validity is judged on the whole text: normalising for storage cuts at 17 characters, which
// would make "AA:BB:CC:DD:EE:FF:00:11" look like a full address.
int ovk_mac_is_valid(std::string_view mac) {
    const std::string n = ovk_mac_normalize(mac, SIZE_MAX);
    if (n.size() != 17) return 0;
    for (size_t p = 0; p < n.size(); ++p) {
        if (p % 3 == 2) {
            if (n[p] != ':') return 0;
        } else if (!is_hex(n[p])) {
            return 0;
        }
    }
    return 1;
}

int ovk_mac_is_valid_block(std::string_view prefix) {
    const std::string n = ovk_mac_normalize(prefix, SIZE_MAX);
    if (n.size() != 8 && n.size() != 10 && n.size() != 13) return 0;
    for (size_t p = 0; p < n.size(); ++p) {
        if (p % 3 == 2) {
            if (n[p] != ':') return 0;
        } else if (!is_hex(n[p])) {
            return 0;
        }
    }
    return 1;
}

int ovk_mac_is_randomized(std::string_view mac) {
    const int o = first_octet(mac);
    return o >= 0 && (o & 0x02) ? 1 : 0;
}

OVK_ADDR_TYPE ovk_addr_of_random(std::string_view mac) {
    const int o = first_octet(mac);
    if (o < 0) return OVK_ADDR_UNKNOWN;
    switch (o >> 6) {
        case 3:
            return OVK_ADDR_RANDOM_STATIC;
        case 1:
            return OVK_ADDR_RESOLVABLE_PRIVATE;
        case 0:
            return OVK_ADDR_NON_RESOLVABLE;
        default:
            return OVK_ADDR_UNKNOWN;
    }
}

OVK_ADDR_TYPE ovk_addr_of_wifi(std::string_view mac) {
    const int o = first_octet(mac);
    if (o < 0) return OVK_ADDR_UNKNOWN;
    return (o & 0x02) ? OVK_ADDR_WIFI_LOCAL : OVK_ADDR_WIFI_GLOBAL;
}

const char* ovk_addr_name(int t) {
    return addr_row(t).name;
}
const char* ovk_addr_label(int t) {
    return addr_row(t).label;
}
const char* ovk_addr_trackable(int t) {
    return addr_row(t).track;
}

// =============================================================================================
// Wi-Fi elements
// =============================================================================================

std::string ovk_wifi_caps_from_ies(ovk_bytes ies, int privacy, size_t outsz) {
    bool wpa = false, rsn = false, psk = false, sae = false, owe = false, eap = false;
    walk_ies(ies, [&](int id, ovk_bytes d) {
        if (id == 0xDD && d.size() >= 4 && d[0] == 0x00 && d[1] == 0x50 && d[2] == 0xF2 &&
            d[3] == 1)
            wpa = true;
        if (id != 0x30) return;
        rsn = true;
        if (d.size() < 8) return;
        const size_t p = ovk_u16le(d, 6);
        if (d.size() < 10 + 4 * p) return;
        const size_t n_akm = ovk_u16le(d, 8 + 4 * p);
        for (size_t k = 0; k < n_akm; ++k) {
            const size_t off = 10 + 4 * p + 4 * k;
            if (off + 4 > d.size()) break;
            if (d[off] != 0x00 || d[off + 1] != 0x0F || d[off + 2] != 0xAC) continue;
            switch (d[off + 3]) {
                case 2:
                case 6:
                case 19:
                case 20:
                    psk = true;
                    break;
                case 8:
                case 9:
                case 24:
                case 25:
                    sae = true;
                    break;
                case 18:
                    owe = true;
                    break;
                case 1:
                case 3:
                case 5:
                case 11:
                case 12:
                case 13:
                    eap = true;
                    break;
                default:
                    break;
            }
        }
    });
    std::string out;
    if (wpa) out += "[WPA-PSK-CCMP]";
    if (rsn) {
        if (sae && psk)
            out += "[RSN-PSK+SAE-CCMP]";
        else if (sae)
            out += "[RSN-SAE-CCMP]";
        else if (owe)
            out += "[RSN-OWE-CCMP]";
        else if (eap)
            out += "[WPA2-EAP-CCMP][RSN-EAP-CCMP]";
        else
            out += "[WPA2-PSK-CCMP][RSN-PSK-CCMP]";
    }
    if (!wpa && !rsn && privacy) out += "[WEP]";
    out += "[ESS]";
    if (outsz == 0) return {};
    if (out.size() > outsz - 1) out.resize(outsz - 1);
    return out;
}

const char* ovk_wifi_standard_from_ies(ovk_bytes ies, int freq_mhz) {
    int best = 0;  // 4 n, 5 ac, 6 ax, 7 be
    walk_ies(ies, [&](int id, ovk_bytes d) {
        int g = 0;
        if (id == 0xFF && !d.empty()) {
            if (d[0] == 108)
                g = 7;
            else if (d[0] == 35)
                g = 6;
        } else if (id == 191) {
            g = 5;
        } else if (id == 45) {
            g = 4;
        }
        best = std::max(best, g);
    });
    switch (best) {
        case 7:
            return "WiFi 7 (802.11be)";
        case 6:
            return "WiFi 6 (802.11ax)";
        case 5:
            return "WiFi 5 (802.11ac)";
        case 4:
            return "WiFi 4 (802.11n)";
        default:
            break;
    }
    return freq_mhz > 0 ? "Legacy (802.11a/b/g)" : nullptr;
}
