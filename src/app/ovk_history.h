// SPDX-License-Identifier: GPL-3.0-or-later
// History analysis: the numbers of the history view, from the detection log of the store
// and the flagged devices of all trips. Keeps no state; the only reads are through the
// store's and the trips' own locked interfaces.
//
// The history view collects the events of a period (24 h, 7 days, 30 days or all time),
// merges them into encounters with a 10-minute gap, then counts the encounters by hour
// and weekday and asks for the busiest text and the top three labels.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ovk_category.h"

inline constexpr size_t OVK_HISTORY_LABEL_MAX = 159;
inline constexpr size_t OVK_HISTORY_MAC_MAX = 39;

// One flagged sighting.
struct OVK_HISTORY_EVENT {
    int64_t time = 0;  // ms
    int has_pos = 0;
    double lat = 0;
    double lon = 0;
    OVK_CATEGORY category = OVK_CAT_CUSTOM;
    std::string label;   // the verdict's label; cut to 159
    std::string mac;     // the device address; cut to 39
    std::string sensor;  // the fleet sensor that reported it; "" for this machine's own

    bool operator==(const OVK_HISTORY_EVENT&) const = default;
};

struct OVK_LABEL_COUNT {
    std::string label;  // cut to 159
    int count = 0;

    bool operator==(const OVK_LABEL_COUNT&) const = default;
};

// Every logged detection since `since` (0: all), in the store's order (newest first),
// then every flagged, positioned trip device last seen since then, in trip order, timed
// at its first sighting. Not sorted.
std::vector<OVK_HISTORY_EVENT> ovk_history_collect(int64_t since);
// Events of one address (seen by one sensor) no more than `gap_ms` apart form one encounter, which
// carries its first event (and the first position within it when that event has none). Newest
// first; equal times keep the order of creation.
std::vector<OVK_HISTORY_EVENT> ovk_history_encounters(std::span<const OVK_HISTORY_EVENT> ev,
                                                      int64_t gap_ms);
// Counts per local hour of day (0..23) and per local weekday (Monday = 0 .. Sunday = 6).
std::array<int, 24> ovk_history_by_hour(std::span<const OVK_HISTORY_EVENT> ev);
std::array<int, 7> ovk_history_by_weekday(std::span<const OVK_HISTORY_EVENT> ev);
// The `max` most frequent labels, most frequent first; equal counts keep the order of
// first appearance. Empty for `max` <= 0.
std::vector<OVK_LABEL_COUNT> ovk_history_top_labels(std::span<const OVK_HISTORY_EVENT> ev, int max);
// "Busiest: Fri, 23:00-00:00": the peak weekday and hour (earliest on ties); nullopt for
// no events.
std::optional<std::string> ovk_history_busiest(std::span<const OVK_HISTORY_EVENT> ev);
