// SPDX-License-Identifier: GPL-3.0-or-later
// Mobile-network cells as a platform that has them reports them, and the analyzer that
// looks for signs of a fake base station (an IMSI catcher) in a stream of cell reports:
// test network codes, foreign country codes, downgrades to 2G, area changes while the
// user stands still, and a switch to a cell without neighbours. Not thread-safe: its
// owner calls it under its own lock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Radio access technology.
enum OVK_RAT : int {
    OVK_RAT_GSM = 0,
    OVK_RAT_CDMA = 1,
    OVK_RAT_WCDMA = 2,
    OVK_RAT_TDSCDMA = 3,
    OVK_RAT_LTE = 4,
    OVK_RAT_NR = 5,
};

// "GSM", "CDMA", ...; "" for a value outside the enum.
const char* ovk_rat_name(OVK_RAT r);
// "2G (GSM)", "4G (LTE)", ...; "" for a value outside the enum.
const char* ovk_rat_label(OVK_RAT r);
// 2..5; 0 for a value outside the enum.
int ovk_rat_generation(OVK_RAT r);

struct OVK_CELL {
    OVK_RAT rat = OVK_RAT_GSM;
    int registered = 0;  // 1 for the serving cell
    std::string mcc;     // at most 3 characters, empty when unknown
    std::string mnc;     // at most 3 characters
    int has_area = 0;
    int area = 0;  // location / tracking area code
    int has_cell_id = 0;
    int64_t cell_id = 0;
    int has_dbm = 0;
    int dbm = 0;
};

// What the analyzer knows besides the cells.
struct OVK_CELL_CONTEXT {
    int64_t time = 0;          // ms since the epoch
    std::string sim_operator;  // the SIM's MCC+MNC, at most 7 characters; empty when unknown
    int roaming = 0;
    int stationary = -1;  // 1 standing still, 0 moving, -1 unknown
};

struct OVK_CELL_ANOMALY {
    std::string key;     // "kind:cell key", at most 95 bytes
    std::string title;   // at most 95 bytes
    std::string detail;  // at most 511 bytes
    int confidence = 0;  // 0..100
};

// One report as remembered.
struct OVK_CELL_SEEN {
    int64_t time = 0;
    int has_registered = 0;
    OVK_CELL registered;  // copy of the serving cell
    int neighbours = 0;   // cells of the report that were not serving
    int stationary = -1;
};

inline constexpr size_t OVK_CELL_HISTORY_MAX = 120;
inline constexpr int64_t OVK_CELL_WINDOW_MS = 600000;

struct OVK_CELL_ANALYZER {
    std::deque<OVK_CELL_SEEN> hist;  // oldest first; at most 120 entries within 10 minutes
};

// A new analyzer with an empty history (nullptr after logging an allocation failure).
std::unique_ptr<OVK_CELL_ANALYZER> ovk_cell_analyzer_new();

// Examines one report and remembers it. Returns the anomalies found, at most `max` of
// them (the history is updated also when `max` is 0).
std::vector<OVK_CELL_ANOMALY> ovk_cell_analyze(OVK_CELL_ANALYZER& an,
                                               std::span<const OVK_CELL> cells,
                                               const OVK_CELL_CONTEXT& ctx, int max);

// "RAT MCC-MNC AREA/CELLID", unknown parts as "?": "LTE 262-01 4711/123456".
std::string ovk_cell_key(const OVK_CELL& c);
