// SPDX-License-Identifier: GPL-3.0-or-later
// Patrol-kit grouping: gives tracked devices a role (radio, printer, in-car router...) from
// their verdicts, vendor or name, compares the signal histories of role-bearing devices and
// joins different kinds of gear that travel together into groups, each of which yields one
// "possible police vehicle" verdict for its members.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_category.h"

// The source credit of the verdicts made here. Role assignment, fusion and the registry's
// held-verdict rule skip verdicts carrying it, so the grouping never feeds on itself.
inline constexpr std::string_view OVK_PATROL_SOURCE =
    "Orvik co-location analysis; each device alone is only weak evidence";

// One signal sample (shared with the device registry).
struct OVK_RSSI_SAMPLE {
    int64_t time = 0;  // ms since the epoch
    int rssi = 0;      // dBm
};

// One device offered to the grouping. `samples` is a private copy of its signal history.
struct OVK_PATROL_MEMBER {
    std::string mac;   // at most 17 characters
    std::string role;  // non-empty, at most 47 characters
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    std::vector<OVK_RSSI_SAMPLE> samples;
};

struct OVK_PATROL_GROUP {
    std::vector<int> members;  // indices into the member array, in member order
    int n_roles = 0;           // distinct roles among the members
    int correlated = 0;        // 1 when a member was joined by signal correlation
};

enum OVK_MOTION : int {
    OVK_MOTION_MOVING = 0,     // both vary; a correlation coefficient was computed
    OVK_MOTION_BOTH_FLAT = 1,  // both steady (standard deviation below 2 dB)
    OVK_MOTION_ONE_FLAT = 2,
    OVK_MOTION_TOO_SHORT = 3,  // fewer than 8 shared seconds in the last 120 s
};

// The patrol-kit role of a device, or nullopt. Verdicts from OVK_PATROL_SOURCE are ignored;
// an empty vendor or name counts as absent.
std::optional<std::string> ovk_patrol_role(const OVK_HITS& hits, std::string_view vendor,
                                           std::string_view name);

// Compares two signal histories over their last 120 s, one value per second. `r` (optional)
// is set to 0 first and receives Pearson's r for OVK_MOTION_MOVING.
OVK_MOTION ovk_patrol_motion(std::span<const OVK_RSSI_SAMPLE> a, std::span<const OVK_RSSI_SAMPLE> b,
                             int64_t now, double* r = nullptr);

// Groups of at least two kinds of gear among the members heard in the last 60 s.
std::vector<OVK_PATROL_GROUP> ovk_patrol_groups(const std::vector<OVK_PATROL_MEMBER>& m,
                                                int64_t now);

// 12 per kind of gear, plus 34 when correlated or 24 when not; at most 88.
int ovk_patrol_group_confidence(const OVK_PATROL_GROUP& g);

// The co-location verdict for `mac` from the first group that lists it, or nullopt.
std::optional<OVK_HIT> ovk_patrol_hit_for(std::string_view mac,
                                          const std::vector<OVK_PATROL_MEMBER>& m,
                                          const std::vector<OVK_PATROL_GROUP>& g);
