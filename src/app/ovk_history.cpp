// SPDX-License-Identifier: GPL-3.0-or-later
// History analysis (see the header).
#include "ovk_history.h"

#include <algorithm>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "ovk_store.h"
#include "ovk_trip.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr const char* kDayNames[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// Local time of `ms` floored to whole seconds; false when it cannot be converted.
bool local_tm(int64_t ms, struct tm& out) {
    int64_t secs = ms / 1000;
    if (ms % 1000 < 0) --secs;
    const time_t t = static_cast<time_t>(secs);
    return localtime_r(&t, &out) != nullptr;
}

// Events with the index they had in the input, so sorts are stable by construction.
struct EV_IDX {
    const OVK_HISTORY_EVENT* ev;
    size_t idx;
};

// A (sensor, address) key.
struct PAIR_HASH {
    size_t operator()(const std::pair<std::string_view, std::string_view>& k) const {
        const std::hash<std::string_view> h;
        return h(k.first) * 1000003u ^ h(k.second);
    }
};

}  // namespace

std::vector<OVK_HISTORY_EVENT> ovk_history_collect(int64_t since) {
    std::vector<OVK_HISTORY_EVENT> out;
    try {
        const std::vector<OVK_DETECTION> dets = ovk_store_detections(since);
        const std::vector<OVK_TRIP_DEVICE> devs = ovk_trip_flagged_since(since);
        out.reserve(dets.size() + devs.size());
        for (const OVK_DETECTION& d : dets) {
            OVK_HISTORY_EVENT e;
            e.time = d.timestamp;
            e.has_pos = d.has_pos;
            e.lat = d.lat;
            e.lon = d.lon;
            e.category = d.category;
            e.label = ovk_cut(d.label, OVK_HISTORY_LABEL_MAX);
            e.mac = ovk_cut(d.mac, OVK_HISTORY_MAC_MAX);
            e.sensor = d.sensor;
            out.push_back(std::move(e));
        }
        for (const OVK_TRIP_DEVICE& d : devs) {
            if (d.category < 0 || d.category >= OVK_CAT_COUNT) continue;
            OVK_HISTORY_EVENT e;
            e.time = d.first_seen;
            e.has_pos = d.has_pos;
            e.lat = d.lat;
            e.lon = d.lon;
            e.category = static_cast<OVK_CATEGORY>(d.category);
            e.label = ovk_cut(d.label, OVK_HISTORY_LABEL_MAX);
            e.mac = ovk_cut(d.mac, OVK_HISTORY_MAC_MAX);
            out.push_back(std::move(e));
        }
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_HISTORY_EVENT, out.size() + 1, out);
        out.clear();
    }
    return out;
}

std::vector<OVK_HISTORY_EVENT> ovk_history_encounters(std::span<const OVK_HISTORY_EVENT> ev,
                                                      int64_t gap_ms) {
    std::vector<OVK_HISTORY_EVENT> out;
    try {
        // Groups by address and sensor (two sensors are two places), in the order of their
        // first event.
        std::unordered_map<std::pair<std::string_view, std::string_view>, size_t, PAIR_HASH>
            group_of;
        std::vector<std::vector<EV_IDX>> groups;
        for (size_t i = 0; i < ev.size(); ++i) {
            const auto [it, fresh] = group_of.try_emplace({ev[i].sensor, ev[i].mac}, groups.size());
            if (fresh) groups.emplace_back();
            groups[it->second].push_back({&ev[i], i});
        }
        for (std::vector<EV_IDX>& g : groups) {
            std::stable_sort(g.begin(), g.end(), [](const EV_IDX& a, const EV_IDX& b) {
                return a.ev->time < b.ev->time;
            });
            size_t start = 0;
            while (start < g.size()) {
                size_t end = start + 1;
                while (end < g.size() && g[end].ev->time - g[end - 1].ev->time <= gap_ms) ++end;
                OVK_HISTORY_EVENT e = *g[start].ev;
                if (!e.has_pos) {
                    for (size_t k = start + 1; k < end; ++k) {
                        if (g[k].ev->has_pos) {
                            e.has_pos = 1;
                            e.lat = g[k].ev->lat;
                            e.lon = g[k].ev->lon;
                            break;
                        }
                    }
                }
                out.push_back(std::move(e));
                start = end;
            }
        }
        std::stable_sort(
            out.begin(), out.end(),
            [](const OVK_HISTORY_EVENT& a, const OVK_HISTORY_EVENT& b) { return a.time > b.time; });
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_HISTORY_EVENT, out.size() + 1, out);
        out.clear();
    }
    return out;
}

std::array<int, 24> ovk_history_by_hour(std::span<const OVK_HISTORY_EVENT> ev) {
    std::array<int, 24> out{};
    for (const OVK_HISTORY_EVENT& e : ev) {
        struct tm t {};
        if (local_tm(e.time, t) && t.tm_hour >= 0 && t.tm_hour < 24) ++out[t.tm_hour];
    }
    return out;
}

std::array<int, 7> ovk_history_by_weekday(std::span<const OVK_HISTORY_EVENT> ev) {
    std::array<int, 7> out{};
    for (const OVK_HISTORY_EVENT& e : ev) {
        struct tm t {};
        if (local_tm(e.time, t) && t.tm_wday >= 0 && t.tm_wday < 7) ++out[(t.tm_wday + 6) % 7];
    }
    return out;
}

std::vector<OVK_LABEL_COUNT> ovk_history_top_labels(std::span<const OVK_HISTORY_EVENT> ev,
                                                    int max) {
    std::vector<OVK_LABEL_COUNT> rows;
    if (max <= 0 || ev.empty()) return rows;
    try {
        std::unordered_map<std::string_view, size_t> row_of;
        for (const OVK_HISTORY_EVENT& e : ev) {
            const auto [it, fresh] = row_of.try_emplace(e.label, rows.size());
            if (fresh) rows.push_back({ovk_cut(e.label, OVK_HISTORY_LABEL_MAX), 0});
            ++rows[it->second].count;
        }
        std::stable_sort(
            rows.begin(), rows.end(),
            [](const OVK_LABEL_COUNT& a, const OVK_LABEL_COUNT& b) { return a.count > b.count; });
        if (rows.size() > static_cast<size_t>(max)) rows.resize(static_cast<size_t>(max));
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_LABEL_COUNT, rows.size() + 1, rows);
        rows.clear();
    }
    return rows;
}

std::optional<std::string> ovk_history_busiest(std::span<const OVK_HISTORY_EVENT> ev) {
    if (ev.empty()) return std::nullopt;
    const std::array<int, 24> hours = ovk_history_by_hour(ev);
    const std::array<int, 7> days = ovk_history_by_weekday(ev);
    const int h = static_cast<int>(std::max_element(hours.begin(), hours.end()) - hours.begin());
    const int d = static_cast<int>(std::max_element(days.begin(), days.end()) - days.begin());
    try {
        return ovk_format(63, "Busiest: %s, %02d:00-%02d:00", kDayNames[d], h, (h + 1) % 24);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, 64, out);
        return std::nullopt;
    }
}
