// SPDX-License-Identifier: GPL-3.0-or-later
// The interface frame every screen lives in. It owns the one interface record OVK_GUI (the
// toolkit context, the scale and fonts, the palette, copies of the preferences, status and
// device snapshot, the toast, and the ids of every window and widget the screens create),
// builds all screens at once and rebuilds them when the size or the look changes, opens and
// closes the pop-up screens, implements "back", shows messages and alerts as toasts, and
// turns the timer tick into polling of the pipeline and the registry.
//
// Index
//   1. Pop-up ids, list filter, hit boxes, the record
//   2. Sizing
//   3. Life cycle (called by the program's event loop)
//   4. Pop-up windows and the confirm dialog
//   5. Messages, clipboard, preferences
//   6. Text helpers
//
// How a screen joins the frame: its header declares `ovk_<screen>_build(g)` (plus `_show`,
// `_refresh`, ... as it needs), and one OVK_SCREEN row in the screen table of ovk_gui.cpp,
// at its place in the build order, names its pop-up, its build function and the hooks the
// frame calls (half-second refresh, per-tick update, show, shutdown). Screens read the engine only
// through the copies kept here, reach other screens only through the calls of this header, and lay
// out with ovk_px, ovk_row_h, ovk_pad and the fonts below, so that one scale change resizes
// everything.
//
// Main thread only.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_gui_list.h"
#include "ovk_gui_mapview.h"
#include "ovk_gui_theme.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "zq_gui.h"

// ---------------------------------------------------------------------------------------
// 1. Records
// ---------------------------------------------------------------------------------------

// The pop-up screens. Each lives in its own toolkit window, built hidden.
enum OVK_POPUP_ID : int {
    OVK_POP_DETAIL = 0,
    OVK_POP_MAP = 1,
    OVK_POP_HISTORY = 2,
    OVK_POP_TRIPS = 3,
    OVK_POP_LOG = 4,
    OVK_POP_WATCHLIST = 5,
    OVK_POP_WATCH_ADD = 6,
    OVK_POP_WHITELIST = 7,
    OVK_POP_SETTINGS = 8,
    OVK_POP_EXPORT = 9,
    OVK_POP_ABOUT = 10,
    OVK_POP_SETUP = 11,
    OVK_POP_REPORT = 12,
    OVK_POP_CONFIRM = 13,
    OVK_POP_FLEET = 14,
};
inline constexpr int OVK_POP_COUNT = 15;

// A clickable area of the radar.
struct OVK_HITBOX {
    float x = 0, y = 0, w = 0, h = 0;
    int tag = 0;
    std::string key;  // at most 39 bytes (a device address)
};
inline constexpr int OVK_RADAR_HITS_MAX = 512;

inline constexpr size_t OVK_CONFIRM_TEXT_MAX = 255;  // confirm dialog question, bytes
inline constexpr size_t OVK_MESSAGE_MAX = 159;       // toast message, bytes

// Notices shown at once; a new one pushes the oldest out.
inline constexpr size_t OVK_NOTICES_MAX = 3;
// Lines of a message, of an alert's first line and of its evidence.
inline constexpr int OVK_NOTICE_LINES = 3;
inline constexpr int OVK_NOTICE_TITLE_LINES = 2;

// A notice pushed aside by a newer one.
struct OVK_NOTICE {
    OVK_UI_ALERT alert;
    double until = 0;
    unsigned serial = 0;
};

// A notice as drawn: its box on the display and its lines (the first `title_lines` in the
// bold font, the rest in the small one). Where there is not room for all, plain messages
// leave before alerts, the oldest first.
struct OVK_NOTICE_BOX {
    float x = 0, y = 0, w = 0, h = 0;
    unsigned serial = 0;
    std::vector<std::string> lines;
    int title_lines = 0;
    bool alert = false;  // an alert, not a plain message
};

// What a screen is opened on: a device (its address, and a suggested name for dialogs that
// ask one), a stored trip, or a place on the map at a zoom. Screens hand it to each other
// through ovk_gui_show_on, so no screen needs another screen's calls.
enum OVK_SUBJECT_KIND : int {
    OVK_SUBJECT_NONE = 0,
    OVK_SUBJECT_DEVICE = 1,
    OVK_SUBJECT_TRIP = 2,
    OVK_SUBJECT_PLACE = 3,
};
struct OVK_SUBJECT {
    OVK_SUBJECT_KIND kind = OVK_SUBJECT_NONE;
    std::string mac;                             // DEVICE: the address
    std::string label;                           // DEVICE: a suggested name (may be empty)
    OVK_ADDR_TYPE addr_type = OVK_ADDR_UNKNOWN;  // DEVICE: its address type when known
    int64_t trip_id = 0;                         // TRIP
    double zoom = 0, lat = 0, lon = 0;           // PLACE
};
OVK_SUBJECT ovk_subject_device(std::string_view mac, std::string_view label = {},
                               OVK_ADDR_TYPE addr_type = OVK_ADDR_UNKNOWN);
OVK_SUBJECT ovk_subject_trip(int64_t trip_id);
OVK_SUBJECT ovk_subject_place(double zoom, double lat, double lon);

// The confirm dialog's action.
using OVK_CONFIRM_FN = void (*)(void* user);

// The interface record: one per window, created by the program's entry and handed to every
// screen. Fields are grouped as the screens use them. Widget and window ids are -1 until
// built.
struct OVK_GUI {
    // Display and toolkit.
    ALLEGRO_DISPLAY* display = nullptr;
    ALLEGRO_EVENT_QUEUE* queue = nullptr;
    ZQ_GUI_CTX* ctx = nullptr;  // recreated by every rebuild
    float scale = 1;            // interface scale (ovk_gui_scale_for)
    float disp_w = 0, disp_h = 0;
    bool rebuild_pending = false;  // rebuild on the next tick
    bool redraw = false;           // a frame is wanted; cleared by ovk_gui_draw
    double now_s = 0;              // Allegro time of the current tick, seconds

    // Fonts (owned by the frame; a slot may share another's object).
    ALLEGRO_FONT* font = nullptr;        // regular, 15 x scale
    ALLEGRO_FONT* font_bold = nullptr;   // bold, 15 x scale
    ALLEGRO_FONT* font_small = nullptr;  // regular, 12.5 x scale
    ALLEGRO_FONT* font_mono = nullptr;   // monospaced, 13 x scale
    ALLEGRO_FONT* font_big = nullptr;    // bold, 19 x scale
    ALLEGRO_FONT* font_title = nullptr;  // bold, 24 x scale

    OVK_PALETTE pal;
    OVK_PREFS prefs;            // copy of the preferences
    unsigned prefs_serial = 0;  // serial of that copy

    // Engine data as of the last refresh.
    OVK_DEVICE_REFS devices;  // last device snapshot (taken by the main screen's refresh)
    OVK_STATUS status;
    double last_refresh_s = 0;

    // Notices (toasts). `toast` is the newest, shown while now_s < toast_until; a confidence
    // of -1 marks a plain message (its text in toast.hit.label). The ones it pushed aside
    // stay above it until their own time is up, oldest first, at most OVK_NOTICES_MAX in all.
    OVK_UI_ALERT toast;
    double toast_until = 0;
    std::vector<OVK_NOTICE> older_notices;
    std::vector<OVK_NOTICE_BOX> notice_boxes;  // as the last frame drew them, top first
    bool toast_drawn = false;                  // the last frame showed a notice
    int notice_press = 0;  // the button whose press dismissed a notice, until its release
    unsigned notice_serial = 0;
    unsigned toast_serial = 0;

    // Pop-ups, indexed by OVK_POPUP_ID.
    std::array<int, OVK_POP_COUNT> popup{-1, -1, -1, -1, -1, -1, -1, -1,
                                         -1, -1, -1, -1, -1, -1, -1};  // window id or -1
    std::array<bool, OVK_POP_COUNT> popup_open{};  // open (remembered across rebuilds)

    // The device context menu (built by the main screen) and the devices screens are about.
    ZQ_GUI_POPUP* ctxmenu = nullptr;
    std::string ctxmenu_mac;  // device the context menu is about
    std::string sel_mac;      // device the detail screen shows

    // What the screen being shown is about: set by ovk_gui_show_on for the length of the
    // screen's show hook, none otherwise.
    OVK_SUBJECT subject;
    // The live map's view as the map screen last left it (set by the map; the history screen
    // stands there when it has nothing of its own to show).
    OVK_MAPVIEW map_view;

    // Locate mode: a tick sound that quickens as the selected device's signal grows.
    bool locate = false;
    double locate_next_tick = 0;

    // Confirm dialog.
    std::string confirm_text;  // at most OVK_CONFIRM_TEXT_MAX bytes
    OVK_CONFIRM_FN confirm_cb = nullptr;
    void* confirm_user = nullptr;

    // Requests from the screens, carried out by the frame.
    bool quit_requested = false;                     // the event loop ends on the next tick
    bool in_event = false;                           // the toolkit is processing an event
    std::array<bool, OVK_POP_COUNT> pending_open{};  // open once the event is processed
    bool pending_menu = false;                       // open the context menu after the event
    float pending_menu_x = 0, pending_menu_y = 0;    // at this display position

    // The frame's own widgets.
    int w_confirm_label = -1;
};

// What the frame calls in a screen: `build` at every build and rebuild; the others may be
// null. `refresh` runs every half second and `tick` every tick (for a pop-up screen only while
// it is open), `show` opens it with fresh content (Ctrl+M for the map, the menus,
// the first run for the setup screen), `shutdown` frees what it holds outside the toolkit.
struct OVK_SCREEN {
    int popup;  // the OVK_POPUP_ID it lives in; -1 for the main window
    void (*build)(OVK_GUI* g);
    void (*refresh)(OVK_GUI* g);
    void (*tick)(OVK_GUI* g);
    void (*show)(OVK_GUI* g);
    void (*shutdown)(OVK_GUI* g);
};

// ---------------------------------------------------------------------------------------
// 2. Sizing
// ---------------------------------------------------------------------------------------

// v x scale.
float ovk_px(const OVK_GUI* g, float v);
// Height of one row: 44 x scale in touch mode, else 32 x scale.
float ovk_row_h(const OVK_GUI* g);
// The standard gap: 8 x scale.
float ovk_pad(const OVK_GUI* g);
// The interface scale for a display density, touch mode and the `ui_size` preference
// (0 small .. 3 extra large).
float ovk_gui_scale_for(float density, bool touch, int ui_size);

// ---------------------------------------------------------------------------------------
// 3. Life cycle
// ---------------------------------------------------------------------------------------

// Takes the display and queue, copies the preferences, loads the fonts and builds every
// screen; opens the setup screen on the first run. 0, or -1 when the regular font cannot
// be had (not even the built-in one) or the toolkit context cannot be made.
int ovk_gui_init(OVK_GUI* g, ALLEGRO_DISPLAY* display, ALLEGRO_EVENT_QUEUE* queue);
// Throws away every window and widget and builds them again for the current display size,
// preferences and theme; reopens the pop-ups that were open (not the watch-add, report and
// confirm dialogs).
void ovk_gui_rebuild(OVK_GUI* g);
// After a drawing halt: reads the display size again and rebuilds.
void ovk_gui_on_resume(OVK_GUI* g);
// Every timer tick: stop requests, preference changes, the half-second refresh, queued
// alerts, locate ticks, the map, and whether a frame is wanted.
void ovk_gui_update(OVK_GUI* g);
// Every event; true when the toolkit or the frame consumed it.
bool ovk_gui_handle_event(OVK_GUI* g, const ALLEGRO_EVENT* event);
// One frame onto the current target: background, the toolkit's windows, the toast. Clears
// `redraw`.
void ovk_gui_draw(OVK_GUI* g);
// Frees what the frame and the screens hold (map, context menu, context, fonts, snapshot).
void ovk_gui_shutdown(OVK_GUI* g);
// For tests: screens built after the program's own, as if they were in its table (a test
// makes pop-ups of its own through the calls below). Empty by default.
void ovk_gui_set_test_screens(std::vector<OVK_SCREEN> screens);
// For tests of the frame itself: build none of the program's screens (only the frame's own
// confirm dialog and the test screens). Off by default.
void ovk_gui_set_frame_only(bool on);
// Escape / the back key: closes the context menu, else the toolkit's menus, else the
// top-most open pop-up, else the open pop-up with the highest id, else leaves the focused
// field (keeping its text). True when something closed or the field was left.
bool ovk_gui_back(OVK_GUI* g);

// ---------------------------------------------------------------------------------------
// 4. Pop-up windows
// ---------------------------------------------------------------------------------------

// The pop-up's window, created hidden on first use (`pref_w` x `pref_h` unscaled, centred,
// within a margin of the display; the whole display in touch mode except for the confirm and
// watch-add dialogs); its id, or -1 when it cannot be made.
int ovk_gui_popup_window(OVK_GUI* g, int id, std::string_view title, float pref_w, float pref_h);
// The area a pop-up's widgets may use: its width without the scroll bar, its height without
// the title bar; 0 by 0 when the pop-up does not exist.
void ovk_gui_popup_client(OVK_GUI* g, int id, float* w, float* h);
// Opens, restores and focuses the pop-up; while an event is being processed this happens
// right after it.
void ovk_gui_open_popup(OVK_GUI* g, int id);
// Hides the pop-up; closing the detail screen also ends locate mode.
void ovk_gui_close_popup(OVK_GUI* g, int id);
bool ovk_gui_popup_is_open(const OVK_GUI* g, int id);
// The program (or a test) has a screen in pop-up `id`: menus offer only what exists.
bool ovk_gui_has_screen(int id);
// Shows the screen of pop-up `id` through its `show` hook (or simply opens it when it has
// none). False when there is no such screen.
bool ovk_gui_show_screen(OVK_GUI* g, int id);
// The same, on a subject: the show hook finds it in `subject` (the detail a device, the map a
// place or a trip, the report and the watch-add dialog a device). False when there is no such
// screen.
bool ovk_gui_show_on(OVK_GUI* g, int id, const OVK_SUBJECT& subject);
// Runs the refresh hook of pop-up `id`'s screen when it is open (a screen that changed what
// another one shows).
void ovk_gui_refresh_screen(OVK_GUI* g, int id);
// Asks `text` (at most 255 bytes) in the "Confirm" dialog; "Yes" closes it and calls
// cb(user), "Cancel" only closes it.
void ovk_gui_confirm(OVK_GUI* g, std::string_view text, OVK_CONFIRM_FN cb, void* user);

// ---------------------------------------------------------------------------------------
// 5. Messages and settings
// ---------------------------------------------------------------------------------------

// A plain toast for 4 s (at most 159 bytes; a path in it is shortened in its folders, never
// in its file name). It shows below the toasts still showing, and pushes the oldest out when
// there are three. Toasts sit where no control is (above the bottom edge, clear of buttons,
// fields and title bars), wrap to three lines, and a click on one dismisses it and nothing
// else.
void ovk_gui_message(OVK_GUI* g, const char* format, ...) __attribute__((format(printf, 2, 3)));
// `done` as a message when rc is 0; otherwise it adds that the change holds for this
// session only (for changes kept in memory whose file could not be written).
void ovk_gui_message_saved(OVK_GUI* g, int rc, std::string_view done);
// Puts the text on the system clipboard; tells the user whether that worked and returns it.
bool ovk_gui_copy(OVK_GUI* g, std::string_view text);
// The clipboard's text: the system clipboard when it can be had and holds text, else
// Allegro's clipboard of the display; "" when neither holds any. May wait up to half a
// second for another program to answer.
std::string ovk_gui_clipboard_text(OVK_GUI* g);
// Puts the preferences in force and takes back the stored copy; the settings file is written
// by the engine port, off the interface thread. A changed theme or size rebuilds on the next
// tick; changed scan settings re-apply (or restart) a running scan. Once written, `saved` is
// said (when not empty); a write that fails says "Settings could not be saved to disk"
// instead (the values stay in force for this run). `users_save` marks the user's own save
// (Settings, the end of the setup), the one that also replaces a settings file that did not
// load; other changes (the map's position, a toggle) are then kept in memory only.
void ovk_gui_set_prefs(OVK_GUI* g, const OVK_PREFS& prefs, bool users_save = false,
                       std::string saved = {});
// Asks the platform for the permissions scanning needs and tells the user the outcome.
void ovk_gui_request_permissions(OVK_GUI* g);

// ---------------------------------------------------------------------------------------
// 6. Text helpers
// ---------------------------------------------------------------------------------------

// One line, cut with an ellipsis to max_w; nothing for empty text or max_w <= 0.
void ovk_draw_text_clip(const ALLEGRO_FONT* font, ALLEGRO_COLOR colour, float x, float y,
                        float max_w, std::string_view text);
// Wrapped to max_w, lines one line height apart; the height drawn (0 for empty text).
float ovk_draw_text_wrap(const ALLEGRO_FONT* font, ALLEGRO_COLOR colour, float x, float y,
                         float max_w, std::string_view text);
// The height ovk_draw_text_wrap would draw.
float ovk_text_wrap_height(const ALLEGRO_FONT* font, float max_w, std::string_view text);
// The wrapped lines joined with "\n".
std::string ovk_wrap_text(const ALLEGRO_FONT* font, float max_w, std::string_view text);
// Sets the label's text wrapped to its inner width in its font.
void ovk_label_set_wrapped(OVK_GUI* g, int label_id, std::string_view text);
// What a screen says where its data goes until it has read that data: nothing it holds before
// then is true of the engine ("No traces yet", "0 entries" would be claims it cannot make).
inline constexpr std::string_view OVK_READING = "Reading...";
// The label says `text` once `read`; before, "Reading..." in a label's dim look (as when off).
void ovk_label_set_read(OVK_GUI* g, int label_id, bool read, std::string_view text);
// A label exactly as tall as `text` wrapped to `w` (plus 6 x scale) in `font`; its id, and
// its height in *h.
int ovk_add_wrapped_label(OVK_GUI* g, int win, ALLEGRO_FONT* font, std::string_view text, float x,
                          float y, float w, float* h);
// A rounded badge: `text` in `font` and white on `fill`, cut to max_w; its width (0 for
// empty text).
float ovk_draw_badge(const OVK_GUI* g, const ALLEGRO_FONT* font, float x, float y, float max_w,
                     std::string_view text, ALLEGRO_COLOR fill);
// Height of such a badge in `font`.
float ovk_badge_h(const OVK_GUI* g, const ALLEGRO_FONT* font);
// The name a device goes by on every screen: its best verdict's label, else its advertised
// name, else its type.
std::string ovk_device_title(const OVK_DEVICE& d);
// A check box with its label, as one row at least `min_h` high. A label too long for one line
// beside the box wraps to the right of a box one row square, and the row grows with it (the
// wrapped part is a label of its own: its id in *label_id, else -1). The check box's id; the
// row's height in *h.
int ovk_add_check_row(OVK_GUI* g, int win, float x, float y, float w, float min_h,
                      std::string_view text, bool checked, ZQ_GUI_CLICK_FN on_toggle, void* user,
                      float* h, int* label_id);
// "now", "12s ago", "5 min ago", "3 h ago", "2 d ago" for the time t_ms seen from now_ms.
std::string ovk_age_text(int64_t now_ms, int64_t t_ms);
// "Near" at -60 dBm or more, "Far" below -80, else "Nearby".
const char* ovk_band(int rssi);
