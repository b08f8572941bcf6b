// SPDX-License-Identifier: GPL-3.0-or-later
// Plausibility checks on drone Remote ID. A broadcast is only what a transmitter claims, and
// forging one takes a phone app; a forged drone usually gives itself away by saying things no
// real flight does. Each address keeps a small track of what it said before (OVK_RID_TRACK);
// every broadcast is checked against it and against itself:
//
//   rule            finding when
//   jump            two positions of one flight lie further apart than 100 m/s allows for
//                   the time between them (at least 1 s counted, 30 m of GPS noise allowed)
//   speed           the Location message reports a ground speed above 100 m/s
//   operator far    the operator position is more than 15 km from the aircraft
//   takeoff moved   a takeoff or fixed operator position moves more than 50 m within one
//                   flight (a live operator position may move: pilots walk and drive)
//   timestamp       the Location time stamp (tenths of a second since the hour) is more than
//                   30 s from the receiving clock, or no time within the hour at all (0 and
//                   0xFFFF count as not given)
//   id changed      a Basic ID of one ID type changes while the address stays
//
// A flight is the run of broadcasts of one address without a gap over 5 minutes. Rules that
// need the receiving time skip broadcasts without one; the time stamp rule also skips a
// receiving clock set before 2019. Findings stay with the track (the latest per rule): they
// lower the Remote ID verdicts of the device by 35 and show as "Possible spoofed Remote ID"
// facts. Pure functions over caller-owned records.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_category.h"

inline constexpr double OVK_RIDCHECK_MAX_SPEED_MS = 100.0;
inline constexpr double OVK_RIDCHECK_JUMP_SLACK_M = 30.0;
inline constexpr double OVK_RIDCHECK_OPERATOR_MAX_M = 15000.0;
inline constexpr double OVK_RIDCHECK_FIXED_MOVE_M = 50.0;
inline constexpr int64_t OVK_RIDCHECK_CLOCK_SKEW_MS = 30000;
inline constexpr int64_t OVK_RIDCHECK_FLIGHT_GAP_MS = 300000;
inline constexpr int64_t OVK_RIDCHECK_CLOCK_SET_MS = 1546300800000;  // 2019-01-01 UTC
inline constexpr int OVK_RIDCHECK_CONFIDENCE_DROP = 35;
inline constexpr const char* OVK_RIDCHECK_FACT = "Possible spoofed Remote ID";

enum OVK_RIDCHECK_RULE : int {
    OVK_RIDCHECK_JUMP = 0,
    OVK_RIDCHECK_SPEED = 1,
    OVK_RIDCHECK_OPERATOR_FAR = 2,
    OVK_RIDCHECK_TAKEOFF_MOVED = 3,
    OVK_RIDCHECK_TIMESTAMP = 4,
    OVK_RIDCHECK_ID_CHANGED = 5,
};
inline constexpr int OVK_RIDCHECK_RULES = 6;

struct OVK_RIDCHECK_FINDING {
    OVK_RIDCHECK_RULE rule = OVK_RIDCHECK_JUMP;
    std::string reason;  // one line, e.g. "reported speed 120 m/s (432 km/h), above 100 m/s"
    int64_t time = 0;    // receiving time of the broadcast that raised it
};

// What one address said before.
struct OVK_RID_TRACK {
    int64_t last_time = 0;  // receiving time of the latest broadcast, 0 when none had one
    // Latest aircraft position of this flight.
    bool has_pos = false;
    double lat = 0, lon = 0;
    int64_t pos_time = 0;
    // Latest operator position of this flight.
    bool has_op = false;
    double op_lat = 0, op_lon = 0;
    // The first takeoff or fixed operator position of this flight, and its location type
    // (0 takeoff, 2 fixed).
    bool has_anchor = false;
    int anchor_type = 0;
    double anchor_lat = 0, anchor_lon = 0;
    std::array<std::string, 16> ids;             // latest UAS ID per ID type
    std::vector<OVK_RIDCHECK_FINDING> findings;  // the latest per rule, in rule order
};

// Checks the Remote ID broadcast of `a`, received at `now` (ms since the epoch; 0 or less
// when unknown), against the track and updates it. Returns the findings this broadcast
// raised (also kept in the track). An advert without Remote ID changes nothing.
std::vector<OVK_RIDCHECK_FINDING> ovk_ridcheck_observe(OVK_RID_TRACK& t, const OVK_ADVERT& a,
                                                       int64_t now);
// "Possible spoofed Remote ID: <reason>".
std::string ovk_ridcheck_text(const OVK_RIDCHECK_FINDING& f);
// 1 for a verdict that rests on a decoded Remote ID broadcast (category DRONE, source from
// ASTM F3411 Remote ID).
int ovk_ridcheck_is_rid_hit(const OVK_HIT& h);
// When the track has findings: every Remote ID verdict loses 35 points of confidence (not
// below 0) and its evidence names the first finding; the list is sorted again. Otherwise
// nothing changes.
void ovk_ridcheck_lower(OVK_HITS& hits, const OVK_RID_TRACK& t);
void ovk_ridcheck_lower(OVK_HIT& hit, const OVK_RID_TRACK& t);
// One "Possible spoofed Remote ID" fact per finding, in rule order.
void ovk_ridcheck_facts(const OVK_RID_TRACK& t, OVK_FACTS& out);
