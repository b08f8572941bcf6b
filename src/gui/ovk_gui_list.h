// SPDX-License-Identifier: GPL-3.0-or-later
// The device list's rules, as the main screen applies them: the filters and the search, the
// order, the counts the banner needs, the status line's and the banner's texts, and where the
// radar puts a device and its label. Plain code with no Allegro and no toolkit, so that the
// rules are tested and benchmarked without a window, and the screen's worker may run them.
//
// Index
//   1. The filter
//   2. Rules: filter, search, order, counts
//   3. Texts and geometry
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_pipeline.h"
#include "ovk_registry.h"

// ---------------------------------------------------------------------------------------
// 1. The filter
// ---------------------------------------------------------------------------------------

// The main list's filter.
enum OVK_FILTER : int {
    OVK_FILTER_ALL = 0,
    OVK_FILTER_FLAGGED = 1,
    OVK_FILTER_TRACKERS = 2,
    OVK_FILTER_DRONES = 3,
    OVK_FILTER_NEW = 4,
    OVK_FILTER_FAVORITES = 5,
    OVK_FILTER_BLE = 6,
    OVK_FILTER_WIFI = 7,
};
inline constexpr int OVK_FILTER_COUNT = 8;

inline constexpr size_t OVK_QUERY_MAX = 127;  // search text, bytes

// At most `max` bytes of `s`, never ending inside a UTF-8 sequence.
std::string ovk_list_cut(std::string_view s, size_t max);

// ---------------------------------------------------------------------------------------
// 2. Rules
// ---------------------------------------------------------------------------------------

// Button label and tooltip of a filter ("" outside the enum).
const char* ovk_list_filter_label(int f);
const char* ovk_list_filter_tooltip(int f);
// The search text as it is matched: blanks removed at both ends, at most 127 bytes.
std::string ovk_list_search_text(std::string_view query);
// The device passes the filter and the search (`search` as ovk_list_search_text gives it;
// empty keeps everything). The search looks for the text, in any case, in the address, name,
// vendor, device type and best verdict's label.
bool ovk_list_keeps(const OVK_DEVICE& d, OVK_FILTER f, std::string_view search);
// The list order; true when `a` goes before `b`: flagged first, then following, higher best
// confidence, nearer band, earlier first seen, address in byte order.
bool ovk_list_before(const OVK_DEVICE& a, const OVK_DEVICE& b);
// The indexes the list shows, in list order.
std::vector<int> ovk_list_visible(std::span<const OVK_DEVICE> devices, OVK_FILTER f,
                                  std::string_view query);
std::vector<int> ovk_list_visible(const OVK_DEVICE_REFS& devices, OVK_FILTER f,
                                  std::string_view query);
// The same over the storage of a shared list.
std::vector<int> ovk_list_visible(std::span<const OVK_DEVICE_REFS::PTR> devices, OVK_FILTER f,
                                  std::string_view query);

// The label a device is put on the watchlist with: its best verdict's label, else its name,
// else its type; "Watched device" for a device not in the snapshot; at most 159 bytes.
std::string ovk_list_watch_label(const OVK_DEVICE* d);

// What the banner needs from a whole snapshot.
struct OVK_LIST_TALLY {
    int flagged = 0;    // flagged devices
    int top = -1;       // the flagged one with the highest best confidence (earliest on a tie)
    int follower = -1;  // the first flagged one that follows the user
};
OVK_LIST_TALLY ovk_list_tally(const OVK_DEVICE_LIST& devices);
OVK_LIST_TALLY ovk_list_tally(const OVK_DEVICE_REFS& devices);

// ---------------------------------------------------------------------------------------
// 3. Texts and geometry
// ---------------------------------------------------------------------------------------

// What the status line says.
struct OVK_LIST_STATUS_LINE {
    std::string state;  // "Scanning", "Demo", "Stopped", "Starting..." ...
    int devices = 0;
    int flagged = 0;
    bool recording = false;
    double trace_km = 0;
    bool has_fix = false;
    double lat = 0, lon = 0;
    std::string gps_lost;      // "GPS lost (last fix 3 min ago)"; empty while a fix is fresh
    std::string radios;        // a radio that does not listen or heard nothing; may be empty
    std::string cell_warning;  // the cell anomaly's title; empty when none
    std::string notes;         // the data directory's note; empty when none
    std::string second_line;   // the scanners' status (line breaks become "; "); may be empty
};
// "Scanning - 5 devices nearby, 2 flagged - recording trace (1.2 km) - GPS ..." and the
// scanners' status on a second line.
std::string ovk_list_status_text(const OVK_LIST_STATUS_LINE& s);

// What the threat banner shows.
enum OVK_BANNER_KIND : int {
    OVK_BANNER_IDLE = 0,          // not scanning, nothing flagged: an outline only
    OVK_BANNER_LOCATION_OFF = 1,  // the phone's location is off
    OVK_BANNER_CLEAR = 2,
    OVK_BANNER_FOLLOWING = 3,
    OVK_BANNER_STRONG = 4,
    OVK_BANNER_WEAK = 5,
    OVK_BANNER_PROBABLE = 6,
    OVK_BANNER_NOT_LISTENING = 7,  // scanning, and nothing is heard
};
struct OVK_BANNER {
    OVK_BANNER_KIND kind = OVK_BANNER_IDLE;
    std::string text;
    uint32_t argb = 0;  // the fill (before the night conversion); 0 for the outline
};
// With `status`, scanning that hears nothing says "Not listening: REASONS", and an all-clear
// that rests on one radio names it ("All clear on WiFi - Bluetooth is off in Settings").
OVK_BANNER ovk_list_banner(const OVK_DEVICE_LIST& devices, const OVK_LIST_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status = nullptr);
OVK_BANNER ovk_list_banner(const OVK_DEVICE_REFS& devices, const OVK_LIST_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status = nullptr);

// The radar's bearing hash of an address (h = h * 31 + c over its bytes, 32 bits).
uint32_t ovk_list_addr_hash(std::string_view mac);
// A blip's place relative to the radar's centre for radius R: a bearing fixed by the address
// (it says nothing about direction) at a distance that grows as the signal weakens, from
// 0.08 R at -30 dBm to 0.96 R at -100 dBm.
struct OVK_RADAR_POS {
    float dx = 0, dy = 0;
};
OVK_RADAR_POS ovk_list_radar_pos(std::string_view mac, int rssi, float R);

// An axis-aligned rectangle, for label placement.
struct OVK_RECT {
    float x = 0, y = 0, w = 0, h = 0;
};
// Places a label of w x h beside a dot at (cx, cy): right of it at `offset`, else left of it,
// vertically centred, inside `area` and clear of every rectangle in `taken`. On success the
// label's top-left is returned through (x, y) and its rectangle, widened by 2 px each side,
// joins `taken` (which holds at most `max_taken`).
bool ovk_list_place_label(std::vector<OVK_RECT>& taken, size_t max_taken, const OVK_RECT& area,
                          float cx, float cy, float offset, float w, float h, float* x, float* y);
