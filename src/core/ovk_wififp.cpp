// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_wififp.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "ovk_intel.h"
#include "ovk_util.h"
#include "ovk_vendordb.h"
#include "zq_log.h"

namespace {

constexpr uint8_t kWpsOui[4] = {0x00, 0x50, 0xF2, 0x04};
constexpr int kVendorElement = 221;

// WPS attribute types.
constexpr unsigned kAttrDeviceName = 0x1011;
constexpr unsigned kAttrManufacturer = 0x1021;
constexpr unsigned kAttrModelName = 0x1023;
constexpr unsigned kAttrModelNumber = 0x1024;
constexpr unsigned kAttrPrimaryDeviceType = 0x1054;

// Element OUIs that say nothing about the maker: Microsoft/WPA/WMM, Wi-Fi Alliance, IEEE.
constexpr std::array<std::string_view, 3> kGenericOuis = {"0050F2", "506F9A", "000FAC"};

constexpr const char* kDeviceCategory[13] = {nullptr,
                                             "Computer",
                                             "Input device",
                                             "Printer / scanner",
                                             "Camera",
                                             "Storage",
                                             "Network infrastructure",
                                             "Display",
                                             "Multimedia device",
                                             "Gaming device",
                                             "Phone",
                                             "Audio device",
                                             "Docking device"};
constexpr const char* kNetworkSub[6] = {nullptr,  "Access point", "Router",
                                        "Switch", "Gateway",      "Bridge"};

constexpr std::array<std::string_view, 15> kChipsetMakers = {
    "broadcom", "epigram",    "qualcomm", "atheros", "mediatek",  "ralink",  "realtek", "quantenna",
    "marvell",  "intel corp", "celeno",   "airoha",  "espressif", "cypress", "infineon"};

unsigned be16(ovk_bytes b, size_t i) {
    return (unsigned{b[i]} << 8) | b[i + 1];
}

bool all_of_char(std::string_view s, char lower) {
    if (s.empty()) return false;
    for (char c : s)
        if (c != lower && c != lower - ('a' - 'A')) return false;
    return true;
}

// Texts that access points ship unconfigured: a run of zeros, "1234...", none, n/a, na,
// unknown, default, wireless router, router, ap, or a run of x (any case, whole text).
bool is_placeholder(std::string_view s) {
    if (s.empty()) return false;
    if (s.find_first_not_of('0') == std::string_view::npos) return true;
    if (s.substr(0, 4) == "1234") return true;
    if (all_of_char(s, 'x')) return true;
    for (std::string_view p :
         {"none", "n/a", "na", "unknown", "default", "wireless router", "router", "ap"})
        if (ovk_strieq(s, p)) return true;
    return false;
}

// A WPS text value: outer bytes up to 0x20 dropped, rejected when a control byte remains,
// at most 63 bytes, placeholders emptied.
std::string wps_text(ovk_bytes v) {
    size_t b = 0, e = v.size();
    while (b < e && v[b] <= 0x20) ++b;
    while (e > b && v[e - 1] <= 0x20) --e;
    for (size_t i = b; i < e; ++i)
        if (v[i] < 0x20) return {};
    if (e - b > OVK_AP_TEXT_MAX) e = b + OVK_AP_TEXT_MAX;
    std::string s(reinterpret_cast<const char*>(v.data()) + b, e - b);
    if (is_placeholder(s)) s.clear();
    return s;
}

const char* device_kind(ovk_bytes v) {
    const unsigned cat = be16(v, 0);
    const unsigned sub = be16(v, 6);
    if (cat < 1 || cat > 12) return nullptr;
    if (cat == 6 && sub >= 1 && sub <= 5) return kNetworkSub[sub];
    return kDeviceCategory[cat];
}

void parse_wps(ovk_bytes wps, OVK_AP_INFO& out) {
    size_t i = 0;
    while (wps.size() - i >= 4) {
        const unsigned type = be16(wps, i);
        const size_t len = be16(wps, i + 2);
        if (len > wps.size() - i - 4) break;
        const ovk_bytes v = wps.subspan(i + 4, len);
        switch (type) {
            case kAttrDeviceName:
                out.device_name = wps_text(v);
                break;
            case kAttrManufacturer:
                out.manufacturer = wps_text(v);
                break;
            case kAttrModelName:
                out.model_name = wps_text(v);
                break;
            case kAttrModelNumber:
                out.model_number = wps_text(v);
                break;
            case kAttrPrimaryDeviceType:
                if (len >= 8) out.device_kind = device_kind(v);
                break;
            default:
                break;
        }
        i += 4 + len;
    }
}

void element_vendors(const std::vector<OVK_IE>& ies, OVK_AP_INFO& out) {
    std::array<std::array<char, 7>, OVK_AP_MAX_OUIS> seen{};
    size_t n_seen = 0;
    for (const OVK_IE& ie : ies) {
        if (ie.id != kVendorElement || ie.data.size() < 3) continue;
        if (out.ie_vendors.size() >= OVK_AP_MAX_VENDORS || n_seen >= OVK_AP_MAX_OUIS) break;
        std::array<char, 7> oui{};
        snprintf(oui.data(), oui.size(), "%02X%02X%02X", ie.data[0], ie.data[1], ie.data[2]);
        const std::string_view ov(oui.data(), 6);
        bool skip = false;
        for (std::string_view g : kGenericOuis) skip = skip || ov == g;
        for (size_t k = 0; k < n_seen && !skip; ++k)
            skip = std::string_view(seen[k].data(), 6) == ov;
        if (skip) continue;
        seen[n_seen++] = oui;
        char mac[18];
        snprintf(mac, sizeof mac, "%02X:%02X:%02X:00:00:00", ie.data[0], ie.data[1], ie.data[2]);
        const char* name = ovk_vendor_mac(mac);
        if (!name) continue;
        bool dup = false;
        for (const char* v : out.ie_vendors) dup = dup || std::string_view(v) == name;
        if (!dup) out.ie_vendors.push_back(name);
    }
}

// One octet field: 1..15 characters, an optional sign (ignored), then hex digits only.
bool octet_field(std::string_view f, long& value) {
    if (f.empty() || f.size() > 15) return false;
    if (f[0] == '+' || f[0] == '-') f.remove_prefix(1);
    if (f.empty()) return false;
    long v = 0;
    for (char c : f) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * 16 + d;  // at most 15 digits: fits in 64 bits
    }
    value = v;
    return true;
}

// Six octets from colon-separated fields; empty or non-hex fields are not counted.
bool six_octets(std::string_view s, std::array<long, 6>& o) {
    size_t n = 0;
    for (size_t start = 0;;) {
        const size_t colon = s.find(':', start);
        const std::string_view f = s.substr(
            start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        long v;
        if (octet_field(f, v)) {
            if (n == 6) return false;
            o[n++] = v;
        }
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    return n == 6;
}

}  // namespace

OVK_AP_INFO ovk_wififp_parse(const std::vector<OVK_IE>& ies) {
    OVK_AP_INFO out;
    try {
        std::vector<uint8_t> wps;
        for (const OVK_IE& ie : ies) {
            if (ie.id != kVendorElement || ie.data.size() < 4) continue;
            if (ie.data[0] != kWpsOui[0] || ie.data[1] != kWpsOui[1] || ie.data[2] != kWpsOui[2] ||
                ie.data[3] != kWpsOui[3])
                continue;
            wps.insert(wps.end(), ie.data.begin() + 4, ie.data.end());
        }
        parse_wps(wps, out);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(uint8_t, 0, wps);
        out = OVK_AP_INFO();
    }
    try {
        element_vendors(ies, out);
    } catch (const std::bad_alloc&) {
        // vendor names are optional evidence
    }
    return out;
}

std::optional<std::string> ovk_wififp_model(const OVK_AP_INFO& ap, size_t outsz) {
    try {
        std::vector<std::string> parts;
        auto add = [&](std::string p) {
            for (const std::string& q : parts)
                if (ovk_strieq(q, p)) return;
            parts.push_back(std::move(p));
        };
        if (!ap.manufacturer.empty()) add(ovk_short_vendor(ap.manufacturer));
        if (!ap.model_name.empty()) add(ap.model_name);
        if (!ap.model_number.empty() &&
            (ap.model_name.empty() || !ovk_icontains(ap.model_name, ap.model_number)))
            add(ap.model_number);
        if (parts.size() >= 2 && ovk_istarts_with(parts[1], parts[0])) parts.erase(parts.begin());
        std::string out;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i) out += ' ';
            out += parts[i];
        }
        if (ovk_is_blank(out) || outsz == 0) return std::nullopt;
        if (out.size() > outsz - 1) out.resize(outsz - 1);
        return out;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int ovk_wififp_is_chipset(std::string_view vendor) {
    for (std::string_view m : kChipsetMakers)
        if (ovk_icontains(vendor, m)) return 1;
    return 0;
}

int ovk_wififp_same_ap(std::string_view a, std::string_view b) {
    std::array<long, 6> x{}, y{};
    if (!six_octets(a, x) || !six_octets(b, y)) return 0;
    if (ovk_strieq(a, b)) return 0;
    for (int k = 1; k <= 4; ++k)
        if (x[k] != y[k]) return 0;
    if (std::labs(x[5] - y[5]) > 16) return 0;
    if (x[0] != y[0] && !(x[0] & 0x02) && !(y[0] & 0x02)) return 0;
    return 1;
}
