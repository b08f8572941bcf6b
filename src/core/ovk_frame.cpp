// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_frame.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

uint32_t u32le(ovk_bytes b, size_t i) {
    return static_cast<uint32_t>(b[i]) | static_cast<uint32_t>(b[i + 1]) << 8 |
           static_cast<uint32_t>(b[i + 2]) << 16 | static_cast<uint32_t>(b[i + 3]) << 24;
}

// "AA:BB:CC:DD:EE:FF" from six bytes, first byte first (`reversed`: last byte first, the
// order of Bluetooth addresses on the air).
std::string mac_text(ovk_bytes six, bool reversed) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string s(17, ':');
    for (size_t i = 0; i < 6; ++i) {
        const uint8_t c = six[reversed ? 5 - i : i];
        s[i * 3] = HEX[c >> 4];
        s[i * 3 + 1] = HEX[c & 0x0F];
    }
    return s;
}

OVK_FRAME other(const char* why) {
    OVK_FRAME f;
    f.kind = OVK_FRAME_OTHER;
    f.why = why;
    return f;
}

OVK_FRAME bad(const char* why) {
    OVK_FRAME f;
    f.kind = OVK_FRAME_BAD;
    f.why = why;
    return f;
}

OVK_FRAME advert(OVK_ADVERT_PTR a) {
    OVK_FRAME f;
    if (!a) return bad("out of memory");
    f.kind = OVK_FRAME_ADVERT;
    f.advert = std::move(a);
    return f;
}

// ---------------------------------------------------------------------------------------
// 1. Radiotap
// ---------------------------------------------------------------------------------------

// Alignment and size of the fields of the radiotap namespace, by bit.
struct RT_FIELD {
    uint8_t align;
    uint8_t size;
};
constexpr RT_FIELD kRtFields[] = {
    {8, 8},   // 0 TSFT
    {1, 1},   // 1 Flags
    {1, 1},   // 2 Rate
    {2, 4},   // 3 Channel: frequency, flags
    {1, 2},   // 4 FHSS
    {1, 1},   // 5 antenna signal, dBm
    {1, 1},   // 6 antenna noise, dBm
    {2, 2},   // 7 lock quality
    {2, 2},   // 8 TX attenuation
    {2, 2},   // 9 TX attenuation, dB
    {1, 1},   // 10 TX power, dBm
    {1, 1},   // 11 antenna
    {1, 1},   // 12 antenna signal, dB
    {1, 1},   // 13 antenna noise, dB
    {2, 2},   // 14 RX flags
    {2, 2},   // 15 TX flags
    {1, 1},   // 16 RTS retries
    {1, 1},   // 17 data retries
    {4, 8},   // 18 XChannel: flags, frequency, channel, max power
    {1, 3},   // 19 MCS
    {4, 8},   // 20 A-MPDU status
    {2, 12},  // 21 VHT
    {8, 12},  // 22 timestamp
    {2, 12},  // 23 HE
    {2, 12},  // 24 HE-MU
    {2, 6},   // 25 HE-MU other user
    {1, 1},   // 26 zero-length PSDU
    {2, 4},   // 27 L-SIG
};
constexpr unsigned kRtTlv = 28;
constexpr unsigned kRtNsRadiotap = 29;
constexpr unsigned kRtNsVendor = 30;
constexpr unsigned kRtExt = 31;
constexpr size_t kRtMaxWords = 64;

// A field of the radiotap namespace at `pos` (already aligned and bounds-checked).
void rt_take(OVK_RADIOTAP& r, unsigned bit, ovk_bytes h, size_t pos) {
    switch (bit) {
        case 1:
            r.has_flags = true;
            r.flags = h[pos];
            break;
        case 3:
            if (const unsigned f = ovk_u16le(h, pos)) r.freq_mhz = static_cast<int>(f);
            break;
        case 5:
            if (!r.has_signal) {
                r.has_signal = true;
                r.signal_dbm = static_cast<int8_t>(h[pos]);
            }
            break;
        case 18:
            if (r.freq_mhz == 0) r.freq_mhz = static_cast<int>(ovk_u16le(h, pos + 4));
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------
// 2. 802.11
// ---------------------------------------------------------------------------------------
constexpr size_t kDot11Header = 24;
constexpr size_t kDot11Fixed = 12;  // timestamp, beacon interval, capability
constexpr int kSubtypeProbeResp = 5;
constexpr int kSubtypeBeacon = 8;
constexpr uint16_t kCapPrivacy = 0x0010;
constexpr int kIeDsParams = 3;
constexpr int kIeHtOperation = 61;

// The first element with `id` (a body of at least one byte), walking as the advert does.
std::optional<uint8_t> first_ie_byte(ovk_bytes ies, int id) {
    size_t off = 0;
    while (off + 2 <= ies.size()) {
        const size_t len = ies[off + 1];
        if (off + 2 + len > ies.size()) break;
        if (ies[off] == id && len >= 1) return ies[off + 2];
        off += 2 + len;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// 3. Bluetooth LE link layer
// ---------------------------------------------------------------------------------------
constexpr size_t kLlAccessAddress = 4;
constexpr size_t kLlHeader = 2;
constexpr size_t kLlAddr = 6;
constexpr size_t kPhdr = 10;
constexpr uint16_t kPhdrSignalValid = 0x0002;
constexpr uint16_t kPhdrCrcChecked = 0x0400;
constexpr uint16_t kPhdrCrcValid = 0x0800;
constexpr int kPhdrPhyCoded = 2;

enum LL_PDU : int {
    ADV_IND = 0,
    ADV_DIRECT_IND = 1,
    ADV_NONCONN_IND = 2,
    SCAN_REQ = 3,
    SCAN_RSP = 4,
    CONNECT_IND = 5,
    ADV_SCAN_IND = 6,
    ADV_EXT = 7,
};

constexpr const char* kPhyLegacy = "LE 1M (legacy)";
constexpr const char* kPhyExt = "LE 1M (extended)";
constexpr const char* kPhyCoded = "LE Coded (long range)";

OVK_FRAME ble_advert(ovk_bytes addr, bool random, ovk_bytes data, int connectable, int rssi,
                     const char* phy, int64_t time_ms) {
    const std::string mac = mac_text(addr, true);
    const OVK_ADDR_TYPE kind = random ? ovk_addr_of_random(mac) : OVK_ADDR_PUBLIC;
    return advert(ovk_advert_new_ble(mac, rssi, data, kind, connectable, phy, "", time_ms));
}

// The common extended advertising payload: extended header, then the advertising data.
OVK_FRAME ble_extended(ovk_bytes p, bool random, int rssi, bool coded, int64_t time_ms) {
    if (p.empty()) return bad("empty extended advertising PDU");
    const size_t ehl = p[0] & 0x3F;
    const int mode = p[0] >> 6;
    if (1 + ehl > p.size()) return bad("extended header runs past the PDU");
    const ovk_bytes data = p.subspan(1 + ehl);
    if (ehl == 0) return other("extended advertising PDU without an advertiser address");
    const uint8_t flags = p[1];
    if (!(flags & 0x01)) return other("extended advertising PDU without an advertiser address");
    if (ehl < 1 + kLlAddr) return bad("extended header too short for its address");
    const ovk_bytes addr = p.subspan(2, kLlAddr);
    // A pointer to the auxiliary packet and nothing else: the advert comes with that packet.
    if (data.empty() && (flags & 0x10)) return other("extended advertising pointer");
    return ble_advert(addr, random, data, mode & 1, rssi, coded ? kPhyCoded : kPhyExt, time_ms);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 1. Radiotap
// ---------------------------------------------------------------------------------------

std::optional<OVK_RADIOTAP> ovk_radiotap_parse(ovk_bytes pkt) {
    if (pkt.size() < 8 || pkt[0] != 0) return std::nullopt;
    OVK_RADIOTAP r;
    r.len = ovk_u16le(pkt, 2);
    if (r.len < 8 || r.len > pkt.size()) return std::nullopt;
    const ovk_bytes h = pkt.first(r.len);

    std::vector<uint32_t> words;
    size_t pos = 4;
    for (;;) {
        if (pos + 4 > h.size() || words.size() >= kRtMaxWords) return std::nullopt;
        const uint32_t w = u32le(h, pos);
        words.push_back(w);
        pos += 4;
        if (!(w & (1u << kRtExt))) break;
    }

    bool vendor = false;  // the current bitmap belongs to a vendor namespace
    bool known = true;    // the current radiotap bitmap is the first of its namespace
    size_t skip = 0;      // vendor data still to skip when its namespace begins
    for (const uint32_t w : words) {
        if (vendor) {
            pos += skip;  // the vendor's data as a whole
            skip = 0;
            if (pos > h.size()) return std::nullopt;
        } else if (known) {
            for (unsigned bit = 0; bit < kRtTlv; ++bit) {
                if (!(w & (1u << bit))) continue;
                const RT_FIELD f = kRtFields[bit];
                pos = (pos + f.align - 1) / f.align * f.align;
                if (pos + f.size > h.size()) return std::nullopt;
                rt_take(r, bit, h, pos);
                pos += f.size;
            }
            if (w & (1u << kRtTlv)) return r;  // a TLV list: the rest is not bitmap fields
            if (w & (1u << kRtNsVendor)) {
                pos = (pos + 1) / 2 * 2;
                if (pos + 6 > h.size()) return std::nullopt;
                skip = ovk_u16le(h, pos + 4);
                pos += 6;
            }
        } else if (w & ((1u << kRtTlv) - 1)) {
            return r;  // fields of a later radiotap bitmap: sizes unknown here
        }
        if (w & (1u << kRtNsRadiotap)) {
            vendor = false;
            known = true;
        } else if (w & (1u << kRtNsVendor)) {
            if (vendor) return r;  // one vendor namespace after another: stop here
            vendor = true;
        } else if (!vendor) {
            known = false;  // the same namespace goes on with bits 32 and up
        }
    }
    return r;
}

// ---------------------------------------------------------------------------------------
// 2. 802.11
// ---------------------------------------------------------------------------------------

int ovk_frame_channel_mhz(int channel) {
    if (channel >= 1 && channel <= 13) return 2407 + 5 * channel;
    if (channel == 14) return 2484;
    if (channel >= 32 && channel <= 177) return 5000 + 5 * channel;
    return 0;
}

std::optional<std::string> ovk_frame_ssid(ovk_bytes ies) {
    size_t off = 0;
    while (off + 2 <= ies.size()) {
        const size_t len = ies[off + 1];
        if (off + 2 + len > ies.size()) return std::nullopt;
        if (ies[off] == 0) {
            const ovk_bytes s = ies.subspan(off + 2, std::min<size_t>(len, 32));
            if (std::all_of(s.begin(), s.end(), [](uint8_t c) { return c == 0; }))
                return std::nullopt;
            std::string name;
            for (const uint8_t c : s) name += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
            return name;
        }
        off += 2 + len;
    }
    return std::nullopt;
}

OVK_FRAME ovk_frame_dot11(ovk_bytes frame, int freq_mhz, int rssi, int64_t time_ms) {
    if (frame.size() < 2) return bad("802.11 frame shorter than its frame control");
    const uint8_t fc0 = frame[0];
    const uint8_t fc1 = frame[1];
    if ((fc0 & 0x03) != 0) return bad("802.11 protocol version is not 0");
    const int type = (fc0 >> 2) & 0x03;
    const int subtype = fc0 >> 4;
    if (type != 0) return other("802.11 control or data frame");
    if (subtype != kSubtypeBeacon && subtype != kSubtypeProbeResp)
        return other("802.11 management frame other than a beacon or probe response");
    if (fc1 & 0x40) return other("protected management frame");
    const size_t header = kDot11Header + ((fc1 & 0x80) ? 4 : 0);  // +HTC
    if (frame.size() < header + kDot11Fixed) return bad("802.11 frame cut short");
    const ovk_bytes bssid = frame.subspan(16, 6);
    const unsigned cap = ovk_u16le(frame, header + 10);
    const ovk_bytes ies = frame.subspan(header + kDot11Fixed);

    int freq = freq_mhz;
    if (freq <= 0) {
        if (const auto ch = first_ie_byte(ies, kIeDsParams))
            freq = ovk_frame_channel_mhz(*ch);
        else if (const auto ht = first_ie_byte(ies, kIeHtOperation))
            freq = ovk_frame_channel_mhz(*ht);
    }
    const std::optional<std::string> ssid = ovk_frame_ssid(ies);
    const std::string caps = ovk_wifi_caps_from_ies(ies, (cap & kCapPrivacy) ? 1 : 0);
    std::optional<std::string_view> ssid_v;
    if (ssid) ssid_v = *ssid;
    return advert(ovk_advert_new_wifi(mac_text(bssid, false), ssid_v, rssi, freq, caps,
                                      std::nullopt, ies, time_ms));
}

OVK_FRAME ovk_frame_radiotap(ovk_bytes pkt, int64_t time_ms) {
    const std::optional<OVK_RADIOTAP> rt = ovk_radiotap_parse(pkt);
    if (!rt) return bad("malformed radiotap header");
    ovk_bytes frame = pkt.subspan(rt->len);
    if (rt->has_flags && (rt->flags & OVK_RADIOTAP_F_BAD_FCS)) return bad("bad FCS");
    if (rt->has_flags && (rt->flags & OVK_RADIOTAP_F_FCS)) {
        if (frame.size() < 4) return bad("802.11 frame shorter than its FCS");
        frame = frame.first(frame.size() - 4);
    }
    return ovk_frame_dot11(frame, rt->freq_mhz, rt->has_signal ? rt->signal_dbm : 0, time_ms);
}

// ---------------------------------------------------------------------------------------
// 3. Bluetooth LE link layer
// ---------------------------------------------------------------------------------------

OVK_FRAME ovk_frame_ble_ll(ovk_bytes pkt, int rssi, int64_t time_ms, bool coded) {
    if (pkt.size() < kLlAccessAddress + kLlHeader) return bad("link-layer packet cut short");
    if (u32le(pkt, 0) != OVK_BLE_ADV_ACCESS_ADDRESS) return other("not on an advertising channel");
    const uint8_t h0 = pkt[4];
    const size_t len = pkt[5];
    const size_t start = kLlAccessAddress + kLlHeader;
    if (start + len > pkt.size()) return bad("PDU runs past the packet");
    const ovk_bytes p = pkt.subspan(start, len);
    const bool random = (h0 & 0x40) != 0;
    const int type = h0 & 0x0F;
    int connectable = 0;
    switch (type) {
        case ADV_IND:
        case ADV_DIRECT_IND:
            connectable = 1;
            break;
        case SCAN_RSP:
            connectable = -1;
            break;
        case ADV_NONCONN_IND:
        case ADV_SCAN_IND:
            break;
        case ADV_EXT:
            return ble_extended(p, random, rssi, coded, time_ms);
        case SCAN_REQ:
        case CONNECT_IND:
            return other("scan request or connection request");
        default:
            return other("reserved advertising PDU type");
    }
    if (p.size() < kLlAddr) return bad("advertising PDU shorter than its address");
    if (type == ADV_DIRECT_IND)
        return ble_advert(p.first(kLlAddr), random, {}, connectable, rssi, kPhyLegacy, time_ms);
    if (p.size() > kLlAddr + 31) return bad("legacy advertising data longer than 31 bytes");
    return ble_advert(p.first(kLlAddr), random, p.subspan(kLlAddr), connectable, rssi, kPhyLegacy,
                      time_ms);
}

OVK_FRAME ovk_frame_ble_ll_phdr(ovk_bytes pkt, int64_t time_ms) {
    if (pkt.size() < kPhdr) return bad("LE pseudo-header cut short");
    const unsigned flags = ovk_u16le(pkt, 8);
    if ((flags & kPhdrCrcChecked) && !(flags & kPhdrCrcValid)) return bad("bad CRC");
    const int rssi = (flags & kPhdrSignalValid) ? static_cast<int8_t>(pkt[1]) : 0;
    const bool coded = ((flags >> 14) & 0x03) == kPhdrPhyCoded;
    ovk_bytes ll = pkt.subspan(kPhdr);
    if (coded) {
        // Access address, then the coding indicator: drop the indicator.
        if (ll.size() < kLlAccessAddress + 1) return bad("link-layer packet cut short");
        std::vector<uint8_t> joined(ll.begin(), ll.begin() + kLlAccessAddress);
        joined.insert(joined.end(), ll.begin() + kLlAccessAddress + 1, ll.end());
        return ovk_frame_ble_ll(joined, rssi, time_ms, true);
    }
    return ovk_frame_ble_ll(ll, rssi, time_ms, false);
}
