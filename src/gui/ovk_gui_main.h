// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen: the window the user lives on. The animated header with the scan, view, map
// and menu controls, the threat banner, the status line, the filter buttons and the search
// field, and below them either the device list or the radar.
//
// The device snapshot is taken off the interface thread: the engine port's worker takes the
// registry snapshot and the pipeline status, filters, searches, sorts and counts, and the
// tick swaps the finished view in: the snapshot and the status into the frame's OVK_GUI
// (`devices`, `status`, which other screens read), the list into the screen's own state.
// The worker never touches Allegro or the toolkit; the interface thread never waits for it.
// Changes that write files (a trace started or stopped, the whitelist, favourites) are also
// carried out by the port, and what they say comes back as a toast on the tick that
// follows.
//
// Index
//   1. Screen calls (the frame's and the other screens')
//   2. One refresh's work, for the worker, tests and benchmarks
//   3. Between the screen's own files: its state and its drawing
//
// The list's rules (filters, search, order, the status and banner texts, the radar's
// geometry) are in ovk_gui_list.h.
#pragma once

#include <allegro5/allegro_primitives.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ovk_gui.h"
#include "ovk_gui_list.h"

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
    MENU_FLEET = 14,
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
// Forgets the screen's state (the frame stops the port after the screens).
void ovk_main_shutdown(OVK_GUI* g);
// Opens the device context menu at the display position (x, y); during event processing it
// opens once the event is done. Nothing when the menu does not exist.
void ovk_main_device_menu(OVK_GUI* g, std::string_view mac, float x, float y);
// Opens the detail screen for the device (nothing while there is no detail screen).
void ovk_main_open_device(OVK_GUI* g, std::string_view mac);
// Shows the list from its top under filter `f` (the search stays) and asks for a fresh view
// (the screenshot tour).
void ovk_main_show_list(OVK_GUI* g, OVK_FILTER f);
// The address of the first device the list shows; "" when it shows none.
std::string ovk_main_top_device(const OVK_GUI* g);
// Ctrl+F: puts the keyboard in the search field. False when there is none.
bool ovk_main_focus_search(OVK_GUI* g);
// For tests and the screenshot tour: waits up to `timeout_ms` until the port's worker has
// carried out everything asked of it, then swaps the result in. True when it got there in time.
bool ovk_main_settle(OVK_GUI* g, int timeout_ms);

// ---------------------------------------------------------------------------------------
// 2. One refresh
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
    OVK_LIST_TALLY tally;
    bool recording = false;  // a trace records
    double trace_km = 0;
};
// The work of one refresh on the calling thread: the snapshot at `now_ms` (the pipeline's
// clock: a replay's time during a replay), the status, the trace, the filter, the search,
// the order and the tally.
OVK_MAIN_VIEW ovk_main_make_view(OVK_FILTER f, std::string_view query, int64_t now_ms);
// The time the screen works with: the replay's clock while a replay runs, else the wall clock.
int64_t ovk_main_now_ms();

// ---------------------------------------------------------------------------------------
// 3. Between the screen's own files
// ---------------------------------------------------------------------------------------

// A device's label on the radar, kept from frame to frame: shortened and measured once for
// its text and the font and width it was made for.
struct OVK_MAIN_RADAR_LABEL {
    std::string source;  // the device's text it was made from
    std::string text;    // as drawn: cut with an ellipsis to the label width
    float w = 0;         // its width in the font
    unsigned used = 0;   // the frame that last drew it
};
// A device on the radar in the frame being drawn.
struct OVK_MAIN_RADAR_BLIP {
    const OVK_DEVICE* d = nullptr;
    int idx = 0;
    float bx = 0, by = 0;
    bool flagged = false;
};
// A label placed in the frame being drawn.
struct OVK_MAIN_RADAR_TEXT {
    float x = 0, y = 0, w = 0;
    ALLEGRO_COLOR colour{};
    const std::string* text = nullptr;
    bool flagged = false;
};
// What the radar keeps between frames: the labels by address, for the font and width they
// were measured in, and the buffers a frame fills, which keep their room.
struct OVK_MAIN_RADAR {
    std::unordered_map<std::string, OVK_MAIN_RADAR_LABEL> labels;
    const ALLEGRO_FONT* font = nullptr;
    float max_w = 0;
    std::array<float, 3> ring_w{-1, -1, -1};  // the rings' labels' widths; -1 not measured yet
    unsigned frame = 0;
    std::vector<ALLEGRO_VERTEX> vertices;
    std::vector<OVK_MAIN_RADAR_BLIP> blips;
    std::vector<OVK_RECT> taken;
    std::vector<OVK_MAIN_RADAR_TEXT> texts;
};

// What the screen keeps across ticks and rebuilds.
struct OVK_MAIN_STATE {
    // The list as the user set it.
    OVK_FILTER filter = OVK_FILTER_ALL;
    std::string query;  // search text, at most OVK_QUERY_MAX bytes
    float list_scroll = 0;
    // A press or drag on the list.
    float list_drag_start_scroll = 0;
    bool list_dragging = false;
    bool list_press_moved = false;
    int list_press_row = -1;
    // The radar as drawn last: its blips' hit boxes (at most OVK_RADAR_HITS_MAX), the sweep.
    std::vector<OVK_HITBOX> radar_hits;
    float radar_sweep = 0;
    // From the view in place (the snapshot and the status are the frame's, in OVK_GUI).
    std::vector<int> visible;  // indexes into the frame's `devices` the list shows, in order
    OVK_LIST_TALLY tally;
    int64_t view_ms = 0;
    bool recording = false;
    double trace_km = 0;
    std::string last_progress;  // the status's scan progress when last seen
    std::string look;           // what the view in place shows (look_of)
    uint64_t snapshot = 0;      // number of the snapshot in place
    uint64_t taken_list = 0;    // the engine port's serials of the views taken
    uint64_t taken_refilter = 0;
    OVK_FILTER asked_filter = OVK_FILTER_ALL;  // what the last request was for
    std::string asked_query;
    // The window and widget ids of the current build (-1 until built).
    int win_main = -1;
    int w_header = -1;
    int w_scan_btn = -1;
    int w_view_btn = -1;
    int w_map_btn = -1;
    int w_menu = -1;
    int w_banner = -1;
    int w_status = -1;
    std::array<int, OVK_FILTER_COUNT> w_filter{-1, -1, -1, -1, -1, -1, -1, -1};
    int w_search = -1;
    int w_list = -1;
    int w_radar = -1;
    int w_empty = -1;
    int w_radar_names = -1;
    // Layout facts of the current build.
    bool compact = false;
    float list_x = 0, list_y = 0, list_w = 0, list_h = 0;
    // Menu entry indexes (-1 when not there) and context entry indexes by tag.
    int menu_record = -1, menu_demo = -1;
    std::array<int, 10> ctx_entry{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    // What the widgets show, so that they are only set when it changes.
    std::string scan_label, view_label, status_text;
    // The device a list press started on.
    std::string press_mac;
    // The list drawn last showed a pulsing row: it wants a frame every tick.
    bool list_pulses = false;
    // The banner's text and how it fits, for the width it was measured at.
    std::string banner_text;
    float banner_w = 0;
    int banner_mode = 0;  // 0 bold, 1 small wrapped, 2 bold cut
    // The radar's labels and buffers.
    OVK_MAIN_RADAR radar;
};
// The screen's one state.
OVK_MAIN_STATE& ovk_main_state();
// Whether the first view of the devices and the status has arrived: until then the list, the
// banner and the status line say "Reading..." (nothing is known to be scanning, heard or not).
bool ovk_main_read(const OVK_GUI* g);
// Height of one list row.
float ovk_main_row_h(const OVK_GUI* g);
// How far the list scrolls at most.
float ovk_main_max_scroll(const OVK_GUI* g);
// The small and the bold font of the list and the radar, or the regular font where the frame
// has none of that kind (ovk_gui_main_draw.cpp).
ALLEGRO_FONT* ovk_main_font_small(const OVK_GUI* g);
ALLEGRO_FONT* ovk_main_font_bold(const OVK_GUI* g);
// The custom widgets' drawing (ovk_gui_main_draw.cpp); `user` is the OVK_GUI.
void ovk_main_draw_header(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT* font, void* user);
void ovk_main_draw_banner(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT* font, void* user);
void ovk_main_draw_list(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT* font, void* user);
void ovk_main_draw_radar(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT* font, void* user);
