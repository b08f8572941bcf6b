// SPDX-License-Identifier: GPL-3.0-or-later
// The device list's rules. Plain code: no Allegro, no toolkit, no engine calls.
//
// Index
//   1. Tables and helpers
//   2. The list's rules
//   3. Texts and geometry
#include "ovk_gui_list.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "ovk_util.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Tables and helpers
// ---------------------------------------------------------------------------------------

struct FILTER_ROW {
    const char* label;
    const char* tooltip;
};

// Indexed by OVK_FILTER.
constexpr FILTER_ROW kFilters[OVK_FILTER_COUNT] = {
    {"All", "Every device heard in the last 3 minutes"},
    {"Flagged", "Only devices matching a signature or your watchlist"},
    {"Trackers", "Item trackers (AirTag, SmartTag, Tile, Find Hub)"},
    {"Drones", "Drones: Remote ID broadcasts and drone-maker addresses"},
    {"New", "Devices never heard in an earlier session"},
    {"Favorites", "Devices you starred"},
    {"Bluetooth", "Bluetooth LE devices only"},
    {"WiFi", "WiFi access points only"},
};

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `needle` (already in lower case, not empty) occurs in `hay`, ASCII letters in any case.
bool contains_lower(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return false;
    const char first = needle[0];
    const size_t last = hay.size() - needle.size();
    for (size_t i = 0; i <= last; ++i) {
        if (lower(hay[i]) != first) continue;
        size_t k = 1;
        while (k < needle.size() && lower(hay[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

// 0 near (-60 dBm or more), 1 nearby, 2 far (below -80 dBm).
int band_rank(int rssi) {
    return rssi >= -60 ? 0 : rssi < -80 ? 2 : 1;
}

int best_confidence(const OVK_DEVICE& d) {
    const OVK_HIT* b = ovk_device_best(d);
    return b ? b->confidence : 0;
}

}  // namespace

std::string ovk_list_cut(std::string_view s, size_t max) {
    if (s.size() <= max) return std::string(s);
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string(s.substr(0, n));
}

// ---------------------------------------------------------------------------------------
// 2. The list's rules
// ---------------------------------------------------------------------------------------

const char* ovk_list_filter_label(int f) {
    return f >= 0 && f < OVK_FILTER_COUNT ? kFilters[f].label : "";
}

const char* ovk_list_filter_tooltip(int f) {
    return f >= 0 && f < OVK_FILTER_COUNT ? kFilters[f].tooltip : "";
}

std::string ovk_list_search_text(std::string_view query) {
    return ovk_list_cut(ovk_trim(query), OVK_QUERY_MAX);
}

bool ovk_list_keeps(const OVK_DEVICE& d, OVK_FILTER f, std::string_view search) {
    const OVK_HIT* best = ovk_device_best(d);
    bool kept = false;
    switch (f) {
        case OVK_FILTER_ALL:
            kept = true;
            break;
        case OVK_FILTER_FLAGGED:
            kept = ovk_device_flagged(d) != 0;
            break;
        case OVK_FILTER_TRACKERS:
            kept = contains_lower(d.device_type, "tracker") ||
                   contains_lower(d.device_type, "find my") ||
                   std::any_of(d.hits.begin(), d.hits.end(),
                               [](const OVK_HIT& h) { return h.category == OVK_CAT_TRACKER; });
            break;
        case OVK_FILTER_DRONES:
            kept = d.rid || std::any_of(d.hits.begin(), d.hits.end(), [](const OVK_HIT& h) {
                       return h.category == OVK_CAT_DRONE;
                   });
            break;
        case OVK_FILTER_NEW:
            kept = !d.known;
            break;
        case OVK_FILTER_FAVORITES:
            kept = d.favorite != 0;
            break;
        case OVK_FILTER_BLE:
            kept = (d.sources & 1) != 0;
            break;
        case OVK_FILTER_WIFI:
            kept = (d.sources & 2) != 0;
            break;
    }
    if (!kept || search.empty()) return kept;
    std::string needle(search);
    for (char& c : needle) c = lower(c);
    return contains_lower(d.mac, needle) || contains_lower(d.name, needle) ||
           contains_lower(d.vendor, needle) || contains_lower(d.device_type, needle) ||
           (best && contains_lower(best->label, needle));
}

namespace {

// The sort keys of one device, gathered once so that sorting a large snapshot touches the
// devices themselves only to break ties by address.
struct SORT_KEY {
    int idx = 0;
    bool flagged = false;
    bool following = false;
    int confidence = 0;
    int band = 0;
    int64_t first_seen = 0;
};

SORT_KEY key_of(const OVK_DEVICE& d, int idx) {
    return SORT_KEY{idx,
                    ovk_device_flagged(d) != 0,
                    d.following != 0,
                    best_confidence(d),
                    band_rank(d.rssi),
                    d.first_seen};
}

// -1 when a goes first, 1 when b does, 0 when only the address can tell.
int compare_keys(const SORT_KEY& a, const SORT_KEY& b) {
    if (a.flagged != b.flagged) return a.flagged ? -1 : 1;
    if (a.following != b.following) return a.following ? -1 : 1;
    if (a.confidence != b.confidence) return a.confidence > b.confidence ? -1 : 1;
    if (a.band != b.band) return a.band < b.band ? -1 : 1;
    if (a.first_seen != b.first_seen) return a.first_seen < b.first_seen ? -1 : 1;
    return 0;
}

}  // namespace

bool ovk_list_before(const OVK_DEVICE& a, const OVK_DEVICE& b) {
    const int c = compare_keys(key_of(a, 0), key_of(b, 0));
    return c != 0 ? c < 0 : a.mac < b.mac;
}

namespace {
// The storage of a shared list, read like a list of devices.
struct SHARED_SPAN {
    std::span<const OVK_DEVICE_REFS::PTR> items;
    size_t size() const { return items.size(); }
    const OVK_DEVICE& operator[](size_t i) const { return *items[i]; }
};

template <class LIST>
std::vector<int> visible_of(const LIST& devices, OVK_FILTER f, std::string_view query) {
    const std::string search = ovk_list_search_text(query);
    std::vector<SORT_KEY> keys;
    keys.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i)
        if (ovk_list_keeps(devices[i], f, search))
            keys.push_back(key_of(devices[i], static_cast<int>(i)));
    std::sort(keys.begin(), keys.end(), [&devices](const SORT_KEY& a, const SORT_KEY& b) {
        const int c = compare_keys(a, b);
        return c != 0 ? c < 0
                      : devices[static_cast<size_t>(a.idx)].mac <
                            devices[static_cast<size_t>(b.idx)].mac;
    });
    std::vector<int> out;
    out.reserve(keys.size());
    for (const SORT_KEY& k : keys) out.push_back(k.idx);
    return out;
}
}  // namespace

std::vector<int> ovk_list_visible(std::span<const OVK_DEVICE> devices, OVK_FILTER f,
                                  std::string_view query) {
    return visible_of(devices, f, query);
}

std::vector<int> ovk_list_visible(const OVK_DEVICE_REFS& devices, OVK_FILTER f,
                                  std::string_view query) {
    return visible_of(devices, f, query);
}

std::vector<int> ovk_list_visible(std::span<const OVK_DEVICE_REFS::PTR> devices, OVK_FILTER f,
                                  std::string_view query) {
    return visible_of(SHARED_SPAN{devices}, f, query);
}

std::string ovk_list_watch_label(const OVK_DEVICE* d) {
    if (!d) return "Watched device";
    const OVK_HIT* best = ovk_device_best(*d);
    const std::string& l = best ? best->label : !d->name.empty() ? d->name : d->device_type;
    return ovk_list_cut(l, 159);
}

namespace {
template <class LIST>
OVK_LIST_TALLY tally_of(const LIST& devices) {
    OVK_LIST_TALLY t;
    int top_conf = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        const OVK_DEVICE& d = devices[i];
        if (!ovk_device_flagged(d)) continue;
        ++t.flagged;
        const int c = best_confidence(d);
        if (t.top < 0 || c > top_conf) {
            t.top = static_cast<int>(i);
            top_conf = c;
        }
        if (t.follower < 0 && d.following) t.follower = static_cast<int>(i);
    }
    return t;
}
}  // namespace

OVK_LIST_TALLY ovk_list_tally(const OVK_DEVICE_LIST& devices) {
    return tally_of(devices);
}

OVK_LIST_TALLY ovk_list_tally(const OVK_DEVICE_REFS& devices) {
    return tally_of(devices);
}

// ---------------------------------------------------------------------------------------
// 3. Texts and geometry
// ---------------------------------------------------------------------------------------

std::string ovk_list_status_text(const OVK_LIST_STATUS_LINE& s) {
    constexpr size_t kMax = 512;
    std::string t = ovk_format(kMax, "%s - %d device%s nearby", s.state.c_str(), s.devices,
                               s.devices == 1 ? "" : "s");
    if (s.flagged) ovk_appendf(t, kMax, ", %d flagged", s.flagged);
    if (s.recording) ovk_appendf(t, kMax, " - recording trace (%.1f km)", s.trace_km);
    if (s.has_fix) ovk_appendf(t, kMax, " - GPS %.5f, %.5f", s.lat, s.lon);
    if (!s.gps_lost.empty()) ovk_appendf(t, kMax, " - %s", s.gps_lost.c_str());
    if (!s.radios.empty()) ovk_appendf(t, kMax, " - %s", s.radios.c_str());
    if (!s.cell_warning.empty())
        ovk_appendf(t, kMax, " - cell warning: %s", s.cell_warning.c_str());
    if (!s.notes.empty()) ovk_appendf(t, kMax, " - %s", s.notes.c_str());
    if (!s.second_line.empty()) {
        std::string line;
        for (char c : s.second_line) {
            if (c == '\r') continue;
            if (c == '\n')
                line += "; ";
            else
                line += c;
        }
        t += '\n';
        t += ovk_list_cut(line, 300);
    }
    return t;
}

namespace {
template <class LIST>
OVK_BANNER banner_of(const LIST& devices, const OVK_LIST_TALLY& tally, bool scanning,
                     std::string_view scanners, int alert_threshold, const OVK_STATUS* status) {
    OVK_BANNER b;
    const auto valid = [&devices](int i) {
        return i >= 0 && static_cast<size_t>(i) < devices.size();
    };
    // Nothing heard is never an all-clear, and what is listed went quiet with the radios.
    if (scanning && status && !status->listening) {
        b.kind = OVK_BANNER_NOT_LISTENING;
        b.text = "Not listening: " + status->not_listening;
        b.argb = 0xFFB26A00u;
        return b;
    }
    if (tally.flagged <= 0 || !valid(tally.top)) {
        if (!scanning) {
            b.kind = OVK_BANNER_IDLE;
            b.text = "Not scanning - press Start scanning to begin";
        } else if (ovk_istarts_with(scanners, "LOCATION OFF")) {
            b.kind = OVK_BANNER_LOCATION_OFF;
            b.text = "Location is off in Android settings: new devices can't be heard";
            b.argb = 0xFFC8431Au;
        } else {
            b.kind = OVK_BANNER_CLEAR;
            b.text = "All clear - no flagged equipment nearby";
            if (status && !status->listening_on.empty())
                b.text = "All clear on " + status->listening_on + " - " + status->radio_down;
            b.argb = 0xFF2E7D32u;
        }
        return b;
    }
    const auto label_of = [&devices](int i) {
        const OVK_HIT* h = ovk_device_best(devices[static_cast<size_t>(i)]);
        return h ? h->label : std::string();
    };
    if (valid(tally.follower)) {
        b.kind = OVK_BANNER_FOLLOWING;
        b.text = "! " + label_of(tally.follower) + " may be following you";
        b.argb = 0xFFB3261Eu;
    } else {
        const int conf = best_confidence(devices[static_cast<size_t>(tally.top)]);
        const std::string label = label_of(tally.top);
        if (ovk_tier_of(conf) == OVK_TIER_STRONG) {
            b.kind = OVK_BANNER_STRONG;
            b.text = "! Strong match nearby: " + label;
            b.argb = 0xFFB3261Eu;
        } else if (conf < alert_threshold) {
            b.kind = OVK_BANNER_WEAK;
            b.text = "Weak match only (verify): " + label;
            b.argb = 0xFFB26A00u;
        } else {
            b.kind = OVK_BANNER_PROBABLE;
            b.text = "Probable match nearby: " + label;
            b.argb = 0xFFC8431Au;
        }
    }
    if (tally.flagged > 1) b.text += ovk_format(64, "  (+%d more)", tally.flagged - 1);
    return b;
}
}  // namespace

OVK_BANNER ovk_list_banner(const OVK_DEVICE_LIST& devices, const OVK_LIST_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status) {
    return banner_of(devices, tally, scanning, scanners, alert_threshold, status);
}

OVK_BANNER ovk_list_banner(const OVK_DEVICE_REFS& devices, const OVK_LIST_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status) {
    return banner_of(devices, tally, scanning, scanners, alert_threshold, status);
}

uint32_t ovk_list_addr_hash(std::string_view mac) {
    uint32_t h = 0;
    for (char c : mac) h = h * 31u + static_cast<unsigned char>(c);
    return h;
}

OVK_RADAR_POS ovk_list_radar_pos(std::string_view mac, int rssi, float R) {
    const uint32_t h = ovk_list_addr_hash(mac);
    const double angle =
        static_cast<double>((h & 0x7FFFFFFFu) % 3600u) / 3600.0 * 2 * std::numbers::pi;
    const double weak = std::clamp(-static_cast<double>(rssi) - 30.0, 0.0, 70.0);
    const double dist = (weak / 70.0 * 0.88 + 0.08) * R;
    return OVK_RADAR_POS{static_cast<float>(std::cos(angle) * dist),
                         static_cast<float>(std::sin(angle) * dist)};
}

bool ovk_list_place_label(std::vector<OVK_RECT>& taken, size_t max_taken, const OVK_RECT& area,
                          float cx, float cy, float offset, float w, float h, float* x, float* y) {
    const float ty = cy - h / 2;
    for (const float tx : {cx + offset, cx - offset - w}) {
        if (tx < area.x || ty < area.y || tx + w > area.x + area.w || ty + h > area.y + area.h)
            continue;
        const bool clear = std::none_of(taken.begin(), taken.end(), [&](const OVK_RECT& r) {
            return tx < r.x + r.w && r.x < tx + w && ty < r.y + r.h && r.y < ty + h;
        });
        if (!clear) continue;
        if (taken.size() < max_taken) taken.push_back(OVK_RECT{tx - 2, ty - 2, w + 4, h + 4});
        if (x) *x = tx;
        if (y) *y = ty;
        return true;
    }
    return false;
}
