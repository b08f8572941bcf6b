// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen: the window the user lives on. The animated header with the scan, view, map
// and menu controls, the threat banner, the status line, the filter buttons and the search
// field, and below them either the device list or the radar.
//
// The device snapshot is taken off the interface thread: a worker of this screen takes the
// registry snapshot and the pipeline status, filters, searches, sorts and counts, and the
// tick swaps the finished view into OVK_GUI (`devices`, `visible`, `status`). The worker never
// touches Allegro or the toolkit; the interface thread never waits for it. Changes that write
// files (a trace started or stopped, the whitelist, favourites) are also carried out by the
// worker, and what they say comes back as a toast on the tick that follows.
//
// Index
//   1. Screen calls (the frame's and the other screens')
//   2. The list's rules: filter, search, order, counts
//   3. The texts and the radar's geometry
//   4. One refresh's work, for the worker, tests and benchmarks
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_gui.h"

// Drop-down menu commands (entry tags).
enum OVK_MAIN_MENU : int {
    MENU_MAP = 1,
    MENU_HISTORY = 2,
    MENU_TRIPS = 3,
    MENU_LOG = 4,
    MENU_WATCHLIST = 5,
    MENU_WHITELIST = 6,
    MENU_EXPORT = 7,
    MENU_RECORD = 8,
    MENU_SETTINGS = 9,
    MENU_SETUP = 10,
    MENU_DEMO = 11,
    MENU_ABOUT = 12,
    MENU_QUIT = 13,
};

// Device context-menu commands (entry tags).
enum OVK_MAIN_CTX : int {
    CTX_DETAILS = 1,
    CTX_WATCH = 2,
    CTX_WHITELIST = 3,
    CTX_UNWHITELIST = 4,
    CTX_FAVORITE = 5,
    CTX_UNFAVORITE = 6,
    CTX_COPY = 7,
    CTX_REPORT = 8,
    CTX_MAP = 9,
};

// ---------------------------------------------------------------------------------------
// 1. Screen calls
// ---------------------------------------------------------------------------------------

// Builds the main window and its widgets for the display size (called by the frame's build).
void ovk_main_build(OVK_GUI* g);
// Asks for a fresh view (snapshot, filter, search, sort, status) and puts in whatever view is
// finished; never waits. Called every half second, after each command and on filter or
// search changes.
void ovk_main_refresh(OVK_GUI* g);
// Every tick: swaps a finished view in, shows what finished changes said, keeps the buttons
// and the status line in step.
void ovk_main_tick(OVK_GUI* g);
// Stops the worker and frees what it holds.
void ovk_main_shutdown(OVK_GUI* g);
// Opens the device context menu at the display position (x, y); during event processing it
// opens once the event is done. Nothing when the menu does not exist.
void ovk_main_device_menu(OVK_GUI* g, std::string_view mac, float x, float y);
// Opens the detail screen for the device (nothing while there is no detail screen).
void ovk_main_open_device(OVK_GUI* g, std::string_view mac);
// For tests and the screenshot tour: waits up to `timeout_ms` until the worker has carried
// out everything asked of it, then swaps the result in. True when it got there in time.
bool ovk_main_settle(OVK_GUI* g, int timeout_ms);

// ---------------------------------------------------------------------------------------
// 2. The list's rules
// ---------------------------------------------------------------------------------------

// Button label and tooltip of a filter ("" outside the enum).
const char* ovk_filter_label(int f);
const char* ovk_filter_tooltip(int f);
// The search text as it is matched: blanks removed at both ends, at most 127 bytes.
std::string ovk_main_search_text(std::string_view query);
// The device passes the filter and the search (`search` as ovk_main_search_text gives it;
// empty keeps everything). The search looks for the text, in any case, in the address, name,
// vendor, device type and best verdict's label.
bool ovk_main_keeps(const OVK_DEVICE& d, OVK_FILTER f, std::string_view search);
// The list order; true when `a` goes before `b`: flagged first, then following, higher best
// confidence, nearer band, earlier first seen, address in byte order.
bool ovk_main_before(const OVK_DEVICE& a, const OVK_DEVICE& b);
// The indexes the list shows, in list order.
std::vector<int> ovk_main_visible(std::span<const OVK_DEVICE> devices, OVK_FILTER f,
                                  std::string_view query);
std::vector<int> ovk_main_visible(const OVK_DEVICE_REFS& devices, OVK_FILTER f,
                                  std::string_view query);

// The label a device is put on the watchlist with: its best verdict's label, else its name,
// else its type; "Watched device" for a device not in the snapshot; at most 159 bytes.
std::string ovk_main_watch_label(const OVK_DEVICE* d);

// What the banner needs from a whole snapshot.
struct OVK_MAIN_TALLY {
    int flagged = 0;    // flagged devices
    int top = -1;       // the flagged one with the highest best confidence (earliest on a tie)
    int follower = -1;  // the first flagged one that follows the user
};
OVK_MAIN_TALLY ovk_main_tally(const OVK_DEVICE_LIST& devices);
OVK_MAIN_TALLY ovk_main_tally(const OVK_DEVICE_REFS& devices);

// ---------------------------------------------------------------------------------------
// 3. Texts and geometry
// ---------------------------------------------------------------------------------------

// What the status line says.
struct OVK_MAIN_STATUS_LINE {
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
std::string ovk_main_status_text(const OVK_MAIN_STATUS_LINE& s);

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
OVK_BANNER ovk_main_banner(const OVK_DEVICE_LIST& devices, const OVK_MAIN_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status = nullptr);
OVK_BANNER ovk_main_banner(const OVK_DEVICE_REFS& devices, const OVK_MAIN_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status = nullptr);

// The radar's bearing hash of an address (h = h * 31 + c over its bytes, 32 bits).
uint32_t ovk_main_addr_hash(std::string_view mac);
// A blip's place relative to the radar's centre for radius R: a bearing fixed by the address
// (it says nothing about direction) at a distance that grows as the signal weakens, from
// 0.08 R at -30 dBm to 0.96 R at -100 dBm.
struct OVK_RADAR_POS {
    float dx = 0, dy = 0;
};
OVK_RADAR_POS ovk_main_radar_pos(std::string_view mac, int rssi, float R);

// An axis-aligned rectangle, for label placement.
struct OVK_RECT {
    float x = 0, y = 0, w = 0, h = 0;
};
// Places a label of w x h beside a dot at (cx, cy): right of it at `offset`, else left of it,
// vertically centred, inside `area` and clear of every rectangle in `taken`. On success the
// label's top-left is returned through (x, y) and its rectangle, widened by 2 px each side,
// joins `taken` (which holds at most `max_taken`).
bool ovk_main_place_label(std::vector<OVK_RECT>& taken, size_t max_taken, const OVK_RECT& area,
                          float cx, float cy, float offset, float w, float h, float* x, float* y);

// ---------------------------------------------------------------------------------------
// 4. One refresh
// ---------------------------------------------------------------------------------------

// Everything the screen shows from one moment of the engine.
struct OVK_MAIN_VIEW {
    OVK_FILTER filter = OVK_FILTER_ALL;  // what it was made for
    std::string query;
    int64_t now_ms = 0;       // the snapshot's time
    unsigned serial = 0;      // the registry's change counter just before the snapshot
    OVK_DEVICE_REFS devices;  // the registry's summaries, shared
    std::vector<int> visible;
    OVK_STATUS status;
    OVK_MAIN_TALLY tally;
    bool recording = false;  // a trace records
    double trace_km = 0;
};
// The work of one refresh on the calling thread: the snapshot at `now_ms` (the pipeline's
// clock: a replay's time during a replay), the status, the trace, the filter, the search,
// the order and the tally.
OVK_MAIN_VIEW ovk_main_make_view(OVK_FILTER f, std::string_view query, int64_t now_ms);
// The time the screen works with: the replay's clock while a replay runs, else the wall clock.
int64_t ovk_main_now_ms();
