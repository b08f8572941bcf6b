// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen. Its rules are in ovk_gui_list.cpp, its drawing in ovk_gui_main_draw.cpp.
//
// Index
//   1. Tables: menu entries, context entries
//   2. One refresh's work
//   3. Views made by the engine port
//   4. Screen state kept across rebuilds
//   5. Build
//   6. Refresh and synchronisation
//   7. Input: list and radar
//   8. Commands
#include "ovk_gui_main.h"

#include <algorithm>
#include <any>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

#include "ovk_gui_port.h"
#include "ovk_intel.h"
#include "ovk_platform.h"
#include "ovk_replay.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Tables
// ---------------------------------------------------------------------------------------

// The drop-down menu, in order. An entry that opens a pop-up screen is there only when the
// frame has that screen.
struct MENU_ROW {
    OVK_MAIN_MENU tag;
    int popup;  // the screen it opens; -1 for the screen's own commands
    const char* text;
    const char* compact;  // the wording in the compact layout
};

constexpr MENU_ROW kMenu[] = {
    {MENU_MAP, OVK_POP_MAP, "Map", "Map"},
    {MENU_HISTORY, OVK_POP_HISTORY, "History map & timeline", "History"},
    {MENU_TRIPS, OVK_POP_TRIPS, "Traces", "Traces"},
    {MENU_LOG, OVK_POP_LOG, "Match log", "Match log"},
    {MENU_FLEET, OVK_POP_FLEET, "Fleet", "Fleet"},
    {MENU_WATCHLIST, OVK_POP_WATCHLIST, "Watchlist", "Watchlist"},
    {MENU_WHITELIST, OVK_POP_WHITELIST, "Whitelist", "Whitelist"},
    {MENU_EXPORT, OVK_POP_EXPORT, "Export...", "Export..."},
    {MENU_RECORD, -1, "Record trace", "Record trace"},
    {MENU_SETTINGS, OVK_POP_SETTINGS, "Settings", "Settings"},
    {MENU_SETUP, OVK_POP_SETUP, "Setup wizard", "Setup wizard"},
    {MENU_DEMO, -1, "Demo mode: off", "Demo: off"},
    {MENU_ABOUT, OVK_POP_ABOUT, "About", "About"},
    {MENU_QUIT, -1, "Quit", "Quit"},
};

// The device context menu, in order.
struct CTX_ROW {
    OVK_MAIN_CTX tag;
    int popup;  // the screen it needs; -1 when it needs none
    const char* text;
    const char* tip;
};

constexpr CTX_ROW kCtx[] = {
    {CTX_DETAILS, OVK_POP_DETAIL, "Details",
     "Evidence, identity, signal graph, history and raw data"},
    {CTX_WATCH, OVK_POP_WATCH_ADD, "Add to watchlist...", "Always flag this exact address"},
    {CTX_WHITELIST, -1, "Whitelist (trust it)", "Never flag or alert on this device"},
    {CTX_UNWHITELIST, -1, "Remove from whitelist", "Flag this device again when it matches"},
    {CTX_FAVORITE, -1, "Add to favorites", "Star it: shows under the Favorites filter"},
    {CTX_UNFAVORITE, -1, "Remove from favorites", "Un-star it"},
    {CTX_COPY, -1, "Copy address", "Copy the address to the clipboard"},
    {CTX_MAP, OVK_POP_MAP, "Show on map", "Where your position was when its signal was strongest"},
    {CTX_REPORT, OVK_POP_REPORT, "Report unknown device...",
     "Share a privacy-safe signature so new equipment can be added"},
};

constexpr const char* kStartFailed = "Could not start scanning";

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. One refresh
// ---------------------------------------------------------------------------------------

int64_t ovk_main_now_ms() {
    // Without a replay this is the wall clock; during one, the recording's time, which the
    // registry's "last seen" times follow (the wall clock would find them all stale).
    return ovk_replay_clock();
}

OVK_MAIN_VIEW ovk_main_make_view(OVK_FILTER f, std::string_view query, int64_t now_ms) {
    OVK_MAIN_VIEW v;
    v.filter = f;
    v.query = std::string(query);
    v.now_ms = now_ms;
    v.status = ovk_pipeline_status();
    v.serial = ovk_registry_serial();
    v.devices = ovk_registry_shared_snapshot(now_ms);
    v.recording = ovk_trip_is_recording() != 0;
    if (v.recording) v.trace_km = ovk_trip_distance() / 1000.0;
    v.visible = ovk_list_visible(v.devices, f, query);
    v.tally = ovk_list_tally(v.devices);
    return v;
}

namespace {

// ---------------------------------------------------------------------------------------
// 3. Views made by the engine port
// ---------------------------------------------------------------------------------------

// The whole view (snapshot, status, list, tally) and, after the filter or the search changed,
// a new list for the snapshot on the screen (cheap: it needs no new snapshot). Both are made
// by the engine port's worker and looked for on every tick, so their arrival wakes nothing
// else. The port holds them as a shared_ptr to a view, taken out whole on the tick (a
// snapshot is too big to copy), and what the tick swaps out goes back to the port to be freed
// on its worker.
constexpr std::string_view kListView = "main.list";
constexpr std::string_view kRefilterView = "main.refilter";
using VIEW_PTR = std::shared_ptr<OVK_MAIN_VIEW>;

// A new list for the snapshot numbered `snapshot`.
struct REFILTERED {
    OVK_FILTER filter = OVK_FILTER_ALL;
    std::string query;
    std::vector<int> visible;
    uint64_t snapshot = 0;
};
using REFILTERED_PTR = std::shared_ptr<REFILTERED>;

void ask_view(OVK_GUI* g, OVK_FILTER f, const std::string& query) {
    ovk_port_ask(
        g, kListView,
        [f, query] {
            return std::any(
                std::make_shared<OVK_MAIN_VIEW>(ovk_main_make_view(f, query, ovk_main_now_ms())));
        },
        true);
}

// The snapshot's devices are shared: the list made for them holds them for as long as it is
// being made, whatever the tick does with the snapshot meanwhile.
void ask_refilter(OVK_GUI* g, OVK_FILTER f, const std::string& query, const OVK_DEVICE_REFS& shown,
                  uint64_t snapshot) {
    ovk_port_ask(
        g, kRefilterView,
        [f, query, shown, snapshot] {
            auto v = std::make_shared<REFILTERED>();
            v->filter = f;
            v->query = query;
            v->visible = ovk_list_visible(shown.refs(), f, query);
            v->snapshot = snapshot;
            return std::any(std::move(v));
        },
        true);
}

// The view of `name` that arrived since `taken` (which it moves on), or null.
template <typename T>
std::shared_ptr<T> take_view(OVK_GUI* g, std::string_view name, uint64_t& taken) {
    const uint64_t serial = ovk_port_serial(g, name);
    if (serial == taken) return nullptr;
    taken = serial;
    std::any held = ovk_port_take(g, name);
    const auto* v = std::any_cast<std::shared_ptr<T>>(&held);
    return v ? *v : nullptr;
}

// ---------------------------------------------------------------------------------------
// 4. Screen state kept across rebuilds
// ---------------------------------------------------------------------------------------

OVK_MAIN_STATE& st() {
    return ovk_main_state();
}

// ---------------------------------------------------------------------------------------
// 5. Build
// ---------------------------------------------------------------------------------------

int on_list_mouse(int id, const ZQ_GUI_MOUSE_EVENT* e, void* user);
int on_radar_mouse(int id, const ZQ_GUI_MOUSE_EVENT* e, void* user);
void on_scan(int id, void* user);
void on_view(int id, void* user);
void on_map(int id, void* user);
void on_names(int id, void* user);
void on_filter(int id, void* user);
void on_search(int id, const char* text, void* user);
void on_menu_open(int id, void* user);
void on_menu(int tag, void* user);
void on_ctx_pick(ZQ_GUI_POPUP* popup, int tag, void* user);
void synchronise(OVK_GUI* g);

float text_w(const ALLEGRO_FONT* f, const char* s) {
    return f ? static_cast<float>(al_get_text_width(f, s)) : 0;
}

float line_h(const ALLEGRO_FONT* f) {
    return f ? static_cast<float>(al_get_font_line_height(f)) : 0;
}

}  // namespace

OVK_MAIN_STATE& ovk_main_state() {
    static OVK_MAIN_STATE s;
    return s;
}

bool ovk_main_read(const OVK_GUI* g) {
    return ovk_port_arrived(g, kListView);
}

float ovk_main_row_h(const OVK_GUI* g) {
    return line_h(ovk_main_font_bold(g)) + 2 * line_h(ovk_main_font_small(g)) + 14 * g->scale;
}

float ovk_main_max_scroll(const OVK_GUI* g) {
    return std::max(0.0f,
                    static_cast<float>(st().visible.size()) * ovk_main_row_h(g) - st().list_h);
}

void ovk_main_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    // The ids of the last build belong to a context that is gone.
    OVK_MAIN_STATE& ms = st();
    ms.win_main = ms.w_header = ms.w_scan_btn = ms.w_view_btn = ms.w_map_btn = ms.w_menu = -1;
    ms.w_banner = ms.w_status = ms.w_search = ms.w_list = ms.w_radar = ms.w_empty = -1;
    ms.w_radar_names = -1;
    ms.w_filter.fill(-1);
    ms.radar_hits.clear();
    st().scan_label.clear();
    st().view_label.clear();
    st().status_text.clear();
    st().banner_text.clear();
    st().radar.labels.clear();  // the fonts may have changed with the build
    st().radar.font = nullptr;
    st().menu_record = st().menu_demo = -1;
    st().ctx_entry.fill(-1);

    ZQ_GUI_CTX* ctx = g->ctx;
    const float p = ovk_pad(g), r = ovk_row_h(g), s = g->scale;
    const float W = g->disp_w, H = g->disp_h;
    const bool compact = W < 640 * s;
    const bool touch = ovk_platform_uses_touch() != 0;
    const bool has_map = ovk_gui_has_screen(OVK_POP_MAP);
    st().compact = compact;

    // 1. The window.
    const int win = zq_gui_add_window(ctx, "Orvik", 0, 0, W, H);
    if (win < 0) return;
    st().win_main = win;
    zq_gui_window_set_flags(ctx, win, ZQ_GUI_WIN_FRAMELESS | ZQ_GUI_WIN_FLAG_40);
    zq_gui_window_set_zorder(ctx, win, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);

    // 2-4. Header and buttons.
    const float hh = g->pal.header != OVK_HEADER_NONE ? 64 * s : 1.2f * r;
    const float view_w = text_w(g->font, "Radar") + 3 * p;
    float scan_w = text_w(g->font, "Start scanning") + 3 * p;
    float map_w = has_map ? view_w : 0;
    float menu_w = text_w(g->font, "History map & timeline") + 3 * p;
    const int buttons = has_map ? 4 : 3;
    float header_w, bx, by, banner_y;
    float cur_view_w = view_w;
    if (!compact) {
        const float row = scan_w + view_w + map_w + menu_w + static_cast<float>(buttons - 1) * p;
        // The buttons end where the banner below them ends, one pad from the right edge.
        header_w = std::max(0.0f, W - row - 3 * p);
        bx = p + header_w + p;
        by = (hh - r) / 2 + p;
        banner_y = hh + 2 * p;
    } else {
        const float unit = W - 5 * p;
        header_w = W - 2 * p;
        cur_view_w = 0.19f * unit;
        map_w = has_map ? 0.19f * unit : 0;
        menu_w = std::max(0.3f * unit, text_w(g->font, "Setup wizard") + 3 * p);
        const float room = W - 2 * p - static_cast<float>(buttons - 1) * p;
        scan_w = std::max(r, room - cur_view_w - map_w - menu_w);
        bx = p;
        by = hh + 2 * p;
        banner_y = hh + 2 * p + r + p;
    }
    st().w_header = zq_gui_add_custom(ctx, win, p, p, header_w, hh, ovk_main_draw_header, g);

    st().w_scan_btn =
        zq_gui_add_button(ctx, win, bx, by, scan_w, r, "Start scanning", 1, on_scan, g);
    zq_gui_set_widget_theme(ctx, st().w_scan_btn, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(ctx, st().w_scan_btn,
                              "Start or stop listening to Bluetooth LE and WiFi (receive-only)");
    bx += scan_w + p;
    st().w_view_btn = zq_gui_add_button(ctx, win, bx, by, cur_view_w, r, "Radar", 1, on_view, g);
    zq_gui_set_widget_tooltip(ctx, st().w_view_btn,
                              "Switch between the device list and the radar view");
    bx += cur_view_w + p;
    if (has_map) {
        st().w_map_btn = zq_gui_add_button(ctx, win, bx, by, map_w, r, "Map", 1, on_map, g);
        zq_gui_set_widget_tooltip(
            ctx, st().w_map_btn,
            "Map with your position, trace, devices, known plate cameras and drones (Ctrl+M)");
        bx += map_w + p;
    }
    st().w_menu = zq_gui_add_dropmenu(ctx, win, bx, by, menu_w, r, "Menu", on_menu_open, g);
    zq_gui_set_widget_tooltip(ctx, st().w_menu,
                              "History, traces, match log, watchlist, export, settings...");

    // 6. Menu entries: those of screens that exist, the screen's own, and Quit on a desktop.
    for (const MENU_ROW& m : kMenu) {
        if (m.popup >= 0 && !ovk_gui_has_screen(m.popup)) continue;
        if (m.tag == MENU_QUIT && touch) continue;
        const int idx = zq_gui_dropmenu_add_entry(ctx, st().w_menu, compact ? m.compact : m.text,
                                                  m.tag, on_menu, g);
        if (m.tag == MENU_RECORD) st().menu_record = idx;
        if (m.tag == MENU_DEMO) st().menu_demo = idx;
    }

    // 7-8. Banner and status line.
    st().w_banner = zq_gui_add_custom(ctx, win, p, banner_y, W - 2 * p, r, ovk_main_draw_banner, g);
    ALLEGRO_FONT* small = ovk_main_font_small(g);
    const float status_y = banner_y + r + p / 2;
    const float status_h = (compact ? 4.2f : 3.2f) * line_h(small);
    st().w_status =
        zq_gui_add_label(ctx, win, p, status_y, W - 2 * p, status_h, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, st().w_status, small);

    // 9. Filter buttons, wrapping into rows.
    const float fh = 0.9f * r;
    float fx = p, fy = status_y + status_h + p / 2;
    for (int f = 0; f < OVK_FILTER_COUNT; ++f) {
        const float fw = text_w(small, ovk_list_filter_label(f)) + 2.5f * p;
        if (fx > p && fx + fw > W - p) {
            fx = p;
            fy += fh + p / 2;
        }
        const int id = zq_gui_add_toggle_button(ctx, win, fx, fy, fw, fh, ovk_list_filter_label(f),
                                                1, f == st().filter, on_filter, g);
        zq_gui_set_widget_font(ctx, id, small);
        zq_gui_set_widget_tooltip(ctx, id, ovk_list_filter_tooltip(f));
        st().w_filter[static_cast<size_t>(f)] = id;
        fx += fw + p / 2;
    }

    // 10. Search field.
    const float sy = fy + fh + p;
    st().w_search = zq_gui_add_textarea(ctx, win, p, sy, W - 2 * p, r, 0, 120, on_search, g);
    zq_gui_textarea_set_placeholder(ctx, st().w_search,
                                    "Search name, address, vendor or type (Ctrl+F)");
    zq_gui_set_widget_tooltip(ctx, st().w_search,
                              "Filter the list by name, address, vendor, type or match label");
    if (!st().query.empty()) zq_gui_textarea_set_text(ctx, st().w_search, st().query);

    // 11. List and radar, one over the other.
    st().list_x = p;
    st().list_y = sy + r + p;
    st().list_w = W - 2 * p;
    st().list_h = std::max(r, H - p - st().list_y);
    st().w_list = zq_gui_add_custom(ctx, win, st().list_x, st().list_y, st().list_w, st().list_h,
                                    ovk_main_draw_list, g);
    zq_gui_custom_set_mouse(ctx, st().w_list, on_list_mouse, g);
    st().w_radar = zq_gui_add_custom(ctx, win, st().list_x, st().list_y, st().list_w, st().list_h,
                                     ovk_main_draw_radar, g);
    zq_gui_custom_set_mouse(ctx, st().w_radar, on_radar_mouse, g);

    // 12. "Names", at the radar's top right.
    const float nw = text_w(small, "Names") + 3 * p;
    st().w_radar_names = zq_gui_add_toggle_button(ctx, win, st().list_x + st().list_w - nw - p / 2,
                                                  st().list_y + p / 2, nw, 0.85f * r, "Names", 1,
                                                  g->prefs.radar_names, on_names, g);
    zq_gui_set_widget_font(ctx, st().w_radar_names, small);
    zq_gui_set_widget_tooltip(
        ctx, st().w_radar_names,
        "Show or hide device names on the radar (flagged matches always keep their label)");

    // 13. The device context menu.
    g->ctxmenu = zq_gui_popup_new(ctx, s, on_ctx_pick, g);
    if (g->ctxmenu) {
        for (const CTX_ROW& c : kCtx)
            st().ctx_entry[static_cast<size_t>(c.tag)] =
                zq_gui_popup_add_item(g->ctxmenu, -1, c.text, c.tag, c.tip);
    }

    // 14.
    synchronise(g);
}

// ---------------------------------------------------------------------------------------
// 6. Refresh and synchronisation
// ---------------------------------------------------------------------------------------

namespace {

// What the scan control is doing, from the state asked for (live) and the last status:
// "Starting...", "Stopping..." or "".
std::string scan_progress(const OVK_GUI* g) {
    const bool want = ovk_scan_is_running() != 0;
    const OVK_STATUS& status = g->status;
    if (want && !status.running) return "Starting...";
    if (!want && status.running) return "Stopping...";
    if (status.scan_progress == "Starting..." || status.scan_progress == "Stopping...")
        return status.scan_progress;
    return {};
}

std::string status_text(const OVK_GUI* g, const std::string& progress) {
    const OVK_STATUS& s = g->status;
    OVK_LIST_STATUS_LINE l;
    if (!progress.empty())
        l.state = progress;
    else if (!s.running)
        l.state = "Stopped";
    else
        l.state = s.demo ? "Demo" : "Scanning";
    l.devices = static_cast<int>(g->devices.size());
    l.flagged = st().tally.flagged;
    l.recording = st().recording;
    l.trace_km = st().trace_km;
    l.has_fix = s.has_location != 0;
    l.lat = s.location.lat;
    l.lon = s.location.lon;
    if (s.fix_lost) l.gps_lost = ovk_fix_lost_text(s.fix_age_ms);
    if (s.running) {
        l.radios = s.radio_down;
        if (!s.quiet_radios.empty()) l.radios += (l.radios.empty() ? "" : "; ") + s.quiet_radios;
    }
    if (s.has_cell_anomaly) l.cell_warning = s.cell_anomaly.title;
    l.notes = s.data_note;
    if (!s.record_note.empty()) l.notes += (l.notes.empty() ? "" : " - ") + s.record_note;
    if (s.running)
        l.second_line = s.scanners;
    else if (progress.empty() && s.scan_progress == kStartFailed)
        l.second_line = s.scanners.empty() ? std::string(kStartFailed)
                                           : std::string(kStartFailed) + ": " + s.scanners;
    return ovk_list_status_text(l);
}

void set_label(OVK_GUI* g, int id, std::string& shown, const std::string& want) {
    if (shown == want) return;
    shown = want;
    zq_gui_button_set_label(g->ctx, id, want);
}

void set_toggled(OVK_GUI* g, int id, bool on) {
    if (id >= 0 && (zq_gui_button_is_toggled(g->ctx, id) != 0) != on)
        zq_gui_button_set_toggled(g->ctx, id, on);
}

void set_visible(OVK_GUI* g, int id, bool on) {
    const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g->ctx, id);
    if (w && w->visible != on) zq_gui_set_widget_visible(g->ctx, id, on);
}

void synchronise(OVK_GUI* g) {
    if (!g->ctx || st().win_main < 0) return;
    const std::string progress = scan_progress(g);
    std::string scan;
    if (!progress.empty())
        scan = progress;
    else if (ovk_scan_is_running())
        scan = st().compact ? "Stop" : "Stop scanning";
    else
        scan = st().compact ? "Start" : "Start scanning";
    set_label(g, st().w_scan_btn, st().scan_label, scan);
    const bool radar = g->prefs.radar_view != 0;
    set_label(g, st().w_view_btn, st().view_label, radar ? "List" : "Radar");
    for (int f = 0; f < OVK_FILTER_COUNT; ++f)
        set_toggled(g, st().w_filter[static_cast<size_t>(f)], f == st().filter);
    set_visible(g, st().w_list, !radar);
    set_visible(g, st().w_radar, radar);
    set_visible(g, st().w_radar_names, radar);
    set_toggled(g, st().w_radar_names, g->prefs.radar_names != 0);
    const bool read = ovk_main_read(g);
    const std::string text = read ? status_text(g, progress) : std::string(OVK_READING);
    if (text != st().status_text) {
        st().status_text = text;
        ovk_label_set_read(g, st().w_status, read, text);
    }
}

// What of a view shows on the screen, as one text to compare.
std::string look_of(const OVK_MAIN_VIEW& v) {
    const OVK_STATUS& s = v.status;
    return ovk_format(
        1536,
        "%u|%d|%s|%zu|%zu|%d|%d|%d|%s|%s|%d|%.6f|%.6f|%d|%s|%d|%.1f|%s|%d|%s|%s|%s|"
        "%s|%s",
        v.serial, static_cast<int>(v.filter), v.query.c_str(), v.devices.size(), v.visible.size(),
        s.running, s.demo, static_cast<int>(s.scan_state), s.scan_progress.c_str(),
        s.scanners.c_str(), s.has_location, s.location.lat, s.location.lon, s.has_cell_anomaly,
        s.cell_anomaly.title.c_str(), v.recording ? 1 : 0, v.trace_km, s.data_note.c_str(),
        s.listening, s.not_listening.c_str(), s.listening_on.c_str(), s.radio_down.c_str(),
        s.quiet_radios.c_str(), s.fix_lost ? ovk_fix_lost_text(s.fix_age_ms).c_str() : "");
}

// Puts a new list for the snapshot in place, unless it was made for a filter or search the
// user has already left, or for a snapshot that has been replaced since.
void install_list(OVK_GUI* g, REFILTERED_PTR r) {
    if (r->filter != st().filter || r->query != st().query || r->snapshot != st().snapshot) {
        ovk_port_discard(g, std::any(std::move(r)));
        return;
    }
    std::swap(st().visible, r->visible);
    ovk_port_discard(g, std::any(std::move(r)));
    st().list_scroll = std::clamp(st().list_scroll, 0.0f, ovk_main_max_scroll(g));
    st().look.clear();
    g->redraw = true;
}

// Puts a finished view in place; what it replaces goes back to the port to be freed off the
// interface thread.
void install(OVK_GUI* g, VIEW_PTR v) {
    if (v->filter != st().filter || v->query != st().query) {
        // Made for a filter or search the user has already left.
        ovk_port_discard(g, std::any(std::move(v)));
        return;
    }
    // A frame only when the view shows something new (the frame draws every half second
    // anyway, and every tick while devices are shown).
    const std::string look = look_of(*v);
    if (look != st().look) {
        st().look = look;
        g->redraw = true;
    }
    std::swap(g->devices, v->devices);
    std::swap(st().visible, v->visible);
    std::swap(g->status, v->status);
    ++st().snapshot;
    st().tally = v->tally;
    st().view_ms = v->now_ms;
    st().recording = v->recording;
    st().trace_km = v->trace_km;
    ovk_port_discard(g, std::any(std::move(v)));
    st().list_scroll = std::clamp(st().list_scroll, 0.0f, ovk_main_max_scroll(g));
    // A start that left scanning off says so once.
    if (g->status.scan_progress != st().last_progress) {
        st().last_progress = g->status.scan_progress;
        if (st().last_progress == kStartFailed)
            ovk_gui_message(g, "Could not start scanning - see the status line");
    }
}

}  // namespace

void ovk_main_refresh(OVK_GUI* g) {
    OVK_CHECK(g);
    if (st().filter != st().asked_filter || st().query != st().asked_query) {
        // A new filter or search: a new list for the snapshot on the screen first (it needs
        // no new snapshot), then the whole view.
        st().asked_filter = st().filter;
        st().asked_query = st().query;
        ask_refilter(g, st().filter, st().query, g->devices, st().snapshot);
    }
    ask_view(g, st().filter, st().query);
    ovk_main_tick(g);
}

void ovk_main_tick(OVK_GUI* g) {
    OVK_CHECK(g);
    REFILTERED_PTR list = take_view<REFILTERED>(g, kRefilterView, st().taken_refilter);
    VIEW_PTR full = take_view<OVK_MAIN_VIEW>(g, kListView, st().taken_list);
    // In the order they were made (the port numbers them so).
    if (list && full && st().taken_refilter > st().taken_list) {
        install(g, std::move(full));
        install_list(g, std::move(list));
    } else {
        if (list) install_list(g, std::move(list));
        if (full) install(g, std::move(full));
    }
    synchronise(g);
    if (st().list_pulses && !g->prefs.radar_view) g->redraw = true;
}

void ovk_main_shutdown(OVK_GUI* g) {
    // The frame stops the port (and with it the views asked for here) after the screens.
    (void)g;
    st() = OVK_MAIN_STATE{};
}

void ovk_main_show_list(OVK_GUI* g, OVK_FILTER f) {
    OVK_CHECK(g);
    st().filter = f;
    st().list_scroll = 0;
    ovk_main_refresh(g);
}

std::string ovk_main_top_device(const OVK_GUI* g) {
    OVK_CHECK(g, {});
    const std::vector<int>& v = st().visible;
    if (v.empty() || v.front() < 0 || static_cast<size_t>(v.front()) >= g->devices.size())
        return {};
    return g->devices[static_cast<size_t>(v.front())].mac;
}

bool ovk_main_focus_search(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx, false);
    if (st().w_search < 0) return false;
    zq_gui_set_focus(g->ctx, st().w_search);
    return true;
}

bool ovk_main_settle(OVK_GUI* g, int timeout_ms) {
    OVK_CHECK(g, false);
    const bool idle = ovk_port_settle(g, timeout_ms);
    ovk_main_tick(g);
    return idle;
}

// ---------------------------------------------------------------------------------------
// 7. Input
// ---------------------------------------------------------------------------------------

namespace {

// The display position of a point of a widget.
void screen_point(OVK_GUI* g, int id, float wx, float wy, float* sx, float* sy) {
    float x = 0, y = 0, w = 0, h = 0;
    zq_gui_widget_screen_rect(g->ctx, id, &x, &y, &w, &h);
    *sx = x + wx;
    *sy = y + wy;
}

int on_list_mouse(int id, const ZQ_GUI_MOUSE_EVENT* e, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const float rh = ovk_main_row_h(g);
    const auto row_at = [&](float wy) {
        if (wy < 0) return -1;
        const auto row = static_cast<size_t>((wy + st().list_scroll) / rh);
        return row < st().visible.size() ? static_cast<int>(row) : -1;
    };
    const auto mac_of_row = [&](int row) -> std::string {
        const int idx = st().visible[static_cast<size_t>(row)];
        return idx >= 0 && static_cast<size_t>(idx) < g->devices.size()
                   ? g->devices[static_cast<size_t>(idx)].mac
                   : std::string();
    };
    switch (e->type) {
        case ZQ_GUI_MOUSE_DOWN: {
            const int row = row_at(e->y);
            if (e->button == 2) {
                if (row >= 0) {
                    float sx, sy;
                    screen_point(g, id, e->x, e->y, &sx, &sy);
                    ovk_main_device_menu(g, mac_of_row(row), sx, sy);
                }
                return 1;
            }
            if (e->button != 1) return 1;
            st().list_dragging = true;
            st().list_press_moved = false;
            st().list_drag_start_scroll = st().list_scroll;
            st().list_press_row = row;
            // The device pressed, by address: a new view may come in before the release.
            st().press_mac = row >= 0 ? mac_of_row(row) : std::string();
            return 1;
        }
        case ZQ_GUI_MOUSE_MOVE:
            // The toolkit says when a press has become a drag.
            if (!st().list_dragging) return 0;
            st().list_press_moved = e->dragging != 0;
            if (st().list_press_moved)
                st().list_scroll = std::clamp(st().list_drag_start_scroll - (e->y - e->press_y),
                                              0.0f, ovk_main_max_scroll(g));
            return 1;
        case ZQ_GUI_MOUSE_WHEEL:
            st().list_scroll = std::clamp(st().list_scroll - static_cast<float>(e->dz) * rh, 0.0f,
                                          ovk_main_max_scroll(g));
            return 1;
        case ZQ_GUI_MOUSE_UP: {
            if (e->button != 1 || !st().list_dragging) return 1;
            st().list_dragging = false;
            const bool tap = (e->tap || e->long_press) && st().list_press_row >= 0;
            st().list_press_row = -1;
            const std::string mac = std::move(st().press_mac);
            st().press_mac.clear();
            if (!tap || mac.empty()) return 1;
            if (e->long_press) {
                float sx, sy;
                screen_point(g, id, e->x, e->y, &sx, &sy);
                ovk_main_device_menu(g, mac, sx, sy);
            } else {
                ovk_main_open_device(g, mac);
            }
            return 1;
        }
        default:
            return 0;
    }
}

int on_radar_mouse(int, const ZQ_GUI_MOUSE_EVENT* e, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (e->type == ZQ_GUI_MOUSE_DOWN) return 1;
    if (e->type != ZQ_GUI_MOUSE_UP) return 0;
    // A tap or long press opens the blip nearest to it; a drag opens nothing.
    if (!e->tap && !e->long_press) return 1;
    const OVK_HITBOX* near = nullptr;
    float best = 0;
    for (const OVK_HITBOX& hb : st().radar_hits) {
        const float dx = hb.x + hb.w / 2 - e->x, dy = hb.y + hb.h / 2 - e->y;
        const float d2 = dx * dx + dy * dy;
        if (!near || d2 < best) {
            near = &hb;
            best = d2;
        }
    }
    const float reach = 28 * g->scale;
    if (near && best <= reach * reach) ovk_main_open_device(g, std::string(near->key));
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 8. Commands
// ---------------------------------------------------------------------------------------

namespace {

const OVK_DEVICE* find_device(const OVK_GUI* g, std::string_view mac) {
    for (const OVK_DEVICE& d : g->devices)
        if (d.mac == mac) return &d;
    return nullptr;
}

void set_prefs_flag(OVK_GUI* g, int OVK_PREFS::*field) {
    OVK_PREFS p = g->prefs;
    p.*field = !(p.*field);
    ovk_gui_set_prefs(g, p);
}

bool demo_on(const OVK_GUI* g) {
    return g->prefs.demo_mode || ovk_scan_demo_override() > 0;
}

void on_scan(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (ovk_scan_is_running()) {
        ovk_scan_stop();
        ovk_gui_message(g, "Scanning stopped");
    } else if (!demo_on(g) && !ovk_platform_permissions_ok()) {
        ovk_gui_request_permissions(g);
        synchronise(g);
        return;
    } else if (ovk_scan_start() != 0) {
        // A start the scan control would not even take; one that fails later says so
        // through the status.
        ovk_gui_message(g, "Could not start scanning - see the status line");
    }
    synchronise(g);
    ovk_main_refresh(g);
}

void on_view(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    set_prefs_flag(g, &OVK_PREFS::radar_view);
    synchronise(g);
}

void on_names(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    set_prefs_flag(g, &OVK_PREFS::radar_names);
    synchronise(g);
}

void on_map(int, void* user) {
    ovk_gui_show_screen(static_cast<OVK_GUI*>(user), OVK_POP_MAP);
}

void on_filter(int id, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    for (int f = 0; f < OVK_FILTER_COUNT; ++f)
        if (st().w_filter[static_cast<size_t>(f)] == id) st().filter = static_cast<OVK_FILTER>(f);
    st().list_scroll = 0;
    synchronise(g);
    ovk_main_refresh(g);
}

void on_search(int, const char* text, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    st().query = ovk_list_cut(text ? text : "", OVK_QUERY_MAX);
    st().list_scroll = 0;
    ovk_main_refresh(g);
}

void on_menu_open(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (st().menu_record >= 0)
        zq_gui_dropmenu_set_entry_text(g->ctx, st().w_menu, st().menu_record,
                                       !st().recording ? "Record trace"
                                       : st().compact  ? "Stop trace"
                                                       : "Stop recording trace");
    if (st().menu_demo >= 0) {
        const bool on = demo_on(g);
        zq_gui_dropmenu_set_entry_text(g->ctx, st().w_menu, st().menu_demo,
                                       st().compact ? (on ? "Demo: on" : "Demo: off")
                                                    : (on ? "Demo mode: on" : "Demo mode: off"));
    }
}

// A trace: stops the one recording, else starts one (and scanning, which it needs).
// The menu's entry and the status line follow once the port has done it.
void record_trace(OVK_GUI* g) {
    ovk_port_record_trace(g, [](OVK_GUI* gui, bool) { ovk_main_refresh(gui); });
}

void toggle_demo(OVK_GUI* g) {
    const bool was_on = demo_on(g);
    const bool by_option = ovk_scan_demo_override() > 0;
    // The run's --demo is a demo the preference does not know about; turning demo off here
    // ends it too.
    if (by_option) ovk_scan_set_demo_override(0);
    OVK_PREFS p = g->prefs;
    p.demo_mode = was_on ? 0 : 1;
    const bool pref_changed = p.demo_mode != g->prefs.demo_mode;
    ovk_gui_set_prefs(g, p);  // restarts a running scan when the preference changed
    if (!pref_changed && by_option && ovk_scan_is_running()) {
        ovk_scan_stop();
        ovk_scan_start();
    }
    if (!was_on) {
        if (!ovk_scan_is_running()) ovk_scan_start();
        ovk_gui_message(g, "Demo mode: made-up devices run through the real detection");
    } else {
        ovk_gui_message(g, "Demo mode off");
    }
    synchronise(g);
    ovk_main_refresh(g);
}

void on_menu(int tag, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    switch (static_cast<OVK_MAIN_MENU>(tag)) {
        case MENU_MAP:
        case MENU_HISTORY:
        case MENU_TRIPS:
        case MENU_LOG:
        case MENU_FLEET:
        case MENU_WATCHLIST:
        case MENU_WHITELIST:
        case MENU_EXPORT:
        case MENU_SETTINGS:
        case MENU_SETUP:
        case MENU_ABOUT:
            for (const MENU_ROW& m : kMenu)
                if (m.tag == tag) ovk_gui_show_screen(g, m.popup);
            break;
        case MENU_RECORD:
            record_trace(g);
            break;
        case MENU_DEMO:
            toggle_demo(g);
            break;
        case MENU_QUIT:
            g->quit_requested = true;
            break;
    }
}

void show_ctx(OVK_GUI* g, OVK_MAIN_CTX tag, bool shown) {
    const int e = st().ctx_entry[static_cast<size_t>(tag)];
    if (e >= 0) zq_gui_popup_set_shown(g->ctxmenu, e, shown);
}

bool ctx_screen_ok(OVK_MAIN_CTX tag) {
    for (const CTX_ROW& c : kCtx)
        if (c.tag == tag) return c.popup < 0 || ovk_gui_has_screen(c.popup);
    return false;
}

void on_ctx_pick(ZQ_GUI_POPUP*, int tag, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const std::string mac = g->ctxmenu_mac;
    if (mac.empty()) return;
    const OVK_DEVICE* d = find_device(g, mac);
    const std::string name = d ? d->name : std::string();
    switch (static_cast<OVK_MAIN_CTX>(tag)) {
        case CTX_DETAILS:
            ovk_main_open_device(g, mac);
            break;
        case CTX_WATCH:
            if (ctx_screen_ok(CTX_WATCH))
                ovk_gui_show_on(g, OVK_POP_WATCH_ADD,
                                ovk_subject_device(mac, ovk_list_watch_label(d),
                                                   d ? d->addr_type : OVK_ADDR_UNKNOWN));
            break;
        case CTX_REPORT:
            if (ctx_screen_ok(CTX_REPORT))
                ovk_gui_show_on(g, OVK_POP_REPORT, ovk_subject_device(mac));
            break;
        case CTX_MAP:
            if (ctx_screen_ok(CTX_MAP) && d && d->has_best_pos)
                ovk_gui_show_on(g, OVK_POP_MAP,
                                ovk_subject_place(17, d->best_pos.lat, d->best_pos.lon));
            break;
        case CTX_WHITELIST:
        case CTX_UNWHITELIST:
            ovk_port_whitelist(g, mac, tag == CTX_WHITELIST, name);
            break;
        case CTX_FAVORITE:
        case CTX_UNFAVORITE:
            ovk_port_favorite(g, mac, tag == CTX_FAVORITE, name, d ? d->vendor : std::string(),
                              d ? d->device_type : std::string());
            break;
        case CTX_COPY:
            ovk_gui_copy(g, mac);
            break;
    }
    ovk_main_refresh(g);
}

}  // namespace

void ovk_main_device_menu(OVK_GUI* g, std::string_view mac, float x, float y) {
    OVK_CHECK(g);
    if (!g->ctxmenu || mac.empty()) return;
    g->ctxmenu_mac = std::string(mac);
    const OVK_DEVICE* d = find_device(g, mac);
    zq_gui_popup_set_title(g->ctxmenu, g->ctxmenu_mac);
    // The marks as the list's last snapshot read them (the store is not asked on this thread).
    const bool whitelisted = d && d->whitelisted;
    const bool favorite = d && d->favorite;
    show_ctx(g, CTX_DETAILS, ctx_screen_ok(CTX_DETAILS));
    show_ctx(g, CTX_WATCH, ctx_screen_ok(CTX_WATCH));
    show_ctx(g, CTX_WHITELIST, !whitelisted);
    show_ctx(g, CTX_UNWHITELIST, whitelisted);
    show_ctx(g, CTX_FAVORITE, !favorite);
    show_ctx(g, CTX_UNFAVORITE, favorite);
    show_ctx(g, CTX_COPY, true);
    show_ctx(g, CTX_MAP, ctx_screen_ok(CTX_MAP) && d && d->has_best_pos);
    show_ctx(g, CTX_REPORT, ctx_screen_ok(CTX_REPORT) && d && d->hits.empty());
    if (g->in_event) {
        g->pending_menu = true;
        g->pending_menu_x = x;
        g->pending_menu_y = y;
    } else {
        zq_gui_popup_open(g->ctxmenu, x, y);
        g->redraw = true;
    }
}

void ovk_main_open_device(OVK_GUI* g, std::string_view mac) {
    OVK_CHECK(g);
    if (mac.empty() || !ovk_gui_has_screen(OVK_POP_DETAIL)) return;
    g->sel_mac = std::string(mac);
    ovk_gui_show_screen(g, OVK_POP_DETAIL);
}
