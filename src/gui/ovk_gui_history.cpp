// SPDX-License-Identifier: GPL-3.0-or-later
// The "History map & timeline" pop-up.
//
// Index
//   1. State
//   2. Build
//   3. Loading and refresh
//   4. Drawing: the map, the heat map, the charts
//   5. Commands
//
// The period's encounters, charts and summary are made on the frame's engine port from the
// detection log and the trips; the screen shows the last copy it was handed until the next
// arrives. While it is open it asks twice a second whether the data changed, one ask at a
// time; only the latest ask counts.
#include "ovk_gui_history.h"

#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <any>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_gui_mapview.h"
#include "ovk_gui_port.h"
#include "ovk_history.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

constexpr const char* kRangeLabels[] = {"24 h", "7 days", "30 days", "All"};
constexpr int kRanges = 4;
// How far back each period reaches, ms; 0: from the beginning.
constexpr int64_t kRangeMs[] = {86400000, 604800000, 2592000000, 0};
constexpr int64_t kEncounterGapMs = 600000;  // events of one device closer than this: one encounter
constexpr int kTopLabels = 3;
constexpr size_t kTopTextMax = 511;
constexpr const char* kView = "history";
constexpr double kAskS = 0.4;  // whether the data changed is asked this often while open
constexpr double kWaitS = 5;   // asked again when no answer came for this long

// What changes in the data the screen shows: the detection log and the trips.
struct DATA_SIG {
    int detections = -1;
    int64_t newest_id = 0;
    int64_t newest_ts = 0;
    std::vector<OVK_TRIP> trips;
    bool operator==(const DATA_SIG&) const = default;
};

// A period as the screen shows it, made on the port's worker.
struct LOADED {
    uint64_t ask = 0;      // the ask it answers
    DATA_SIG sig;          // of the data it was made from
    bool changed = false;  // false: the data was as last shown, and nothing below is filled in
    bool forced = false;   // asked for by an opening or a period button: the map is fitted anew
    std::vector<OVK_HISTORY_EVENT> events;
    std::array<int, 24> by_hour{};
    std::array<int, 7> by_day{};
    int positioned = 0;
    std::string summary;
};

// The heat map as last computed, as triangles ready to draw, and what it was computed for.
struct HEAT_CACHE {
    unsigned generation = ~0u;
    double lat = 0, lon = 0, zoom = 0;
    float x = 0, y = 0, w = 0, h = 0, tile_px = 0, scale = 0;
    std::vector<ALLEGRO_VERTEX> verts;
};

struct HISTORY_STATE {
    int range = 1;     // index into kRangeLabels
    bool heat = true;  // heat map, else one dot per encounter
    // The port's view shown (its encounters, newest first, are read where they are).
    std::shared_ptr<const LOADED> shown;
    std::array<int, 24> by_hour{};
    std::array<int, 7> by_day{};  // Monday first
    int positioned = 0;           // encounters with a position
    std::string summary;
    bool loaded = false;
    DATA_SIG sig;             // of the data last loaded
    unsigned generation = 0;  // counts the loads
    uint64_t asks = 0;        // counts the asks
    uint64_t wanted = 0;      // the ask whose answer is awaited (0: none)
    uint64_t taken = 0;       // serial of the port's view last taken
    double asked_s = -1e9;
    bool force_pending = false;  // a load asked by an opening or a period is still to come
    OVK_MAPVIEW mv;              // this screen's own view of the map
    bool fitted = false;         // mv fitted to the encounters loaded
    bool user_moved = false;     // panned or zoomed since the last fit
    std::vector<float> grid;     // the heat grid; grows, never shrinks
    HEAT_CACHE heat_cache;
    int win = -1, w_mode = -1, w_summary = -1, w_map = -1, w_hour = -1, w_day = -1;
    std::array<int, kRanges> w_range{-1, -1, -1, -1};
};

HISTORY_STATE& st() {
    static HISTORY_STATE s;
    return s;
}

// The encounters of the period shown.
const std::vector<OVK_HISTORY_EVENT>& events() {
    static const std::vector<OVK_HISTORY_EVENT> none;
    return st().shown ? st().shown->events : none;
}

DATA_SIG data_sig(const DATA_SIG& last) {
    DATA_SIG s;
    s.detections = ovk_store_detection_count();
    if (s.detections > 0) {
        // The newest detection, found among those at or after the newest seen last time.
        std::vector<OVK_DETECTION> newest = ovk_store_detections(last.newest_ts);
        if (newest.empty()) newest = ovk_store_detections(0);
        if (!newest.empty()) {
            s.newest_id = newest.front().id;
            s.newest_ts = newest.front().timestamp;
        }
    }
    s.trips = ovk_trip_list();
    return s;
}

float label_inner_w(OVK_GUI* g, int label) {
    const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g->ctx, label);
    const ZQ_GUI_STYLE* style = zq_gui_style(g->ctx);
    return w ? w->w - 2 * (style ? style->label_padding : 0) - 2 : 0;
}

// The summary wrapped to the label when that takes at most three lines; otherwise each of
// its lines cut to one line, so that nothing falls below the label.
// Whether the period shown is still being read: before the first load, and after an opening
// or a period button until their load arrives (what is held is of another period, or none).
bool reading(const OVK_GUI* g) {
    return st().force_pending || !ovk_port_arrived(g, kView);
}

void set_summary(OVK_GUI* g) {
    HISTORY_STATE& h = st();
    if (h.w_summary < 0) return;
    if (reading(g)) {
        ovk_label_set_read(g, h.w_summary, false, {});
        return;
    }
    zq_gui_set_widget_enabled(g->ctx, h.w_summary, true);
    ALLEGRO_FONT* f = g->font_small ? g->font_small : g->font;
    const float w = label_inner_w(g, h.w_summary);
    std::string text = ovk_wrap_text(f, w, h.summary);
    if (std::count(text.begin(), text.end(), '\n') > 2) {
        text.clear();
        size_t at = 0;
        while (at <= h.summary.size()) {
            size_t nl = h.summary.find('\n', at);
            if (nl == std::string::npos) nl = h.summary.size();
            if (!text.empty()) text += '\n';
            text += zq_gui_text_shorten(f, std::string_view(h.summary).substr(at, nl - at), w);
            at = nl + 1;
        }
    }
    zq_gui_label_set_text(g->ctx, h.w_summary, text);
}

// ---------------------------------------------------------------------------------------
// 4. Drawing (declared here, below)
// ---------------------------------------------------------------------------------------

void draw_map(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user);
void draw_hour_chart(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user);
void draw_day_chart(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user);

// ---------------------------------------------------------------------------------------
// 5. Commands (declared here, below)
// ---------------------------------------------------------------------------------------

void on_range(int id, void* user);
void on_mode(int id, void* user);
int on_map_mouse(int id, const ZQ_GUI_MOUSE_EVENT* ev, void* user);

const char* mode_label() {
    return st().heat ? "Heatmap" : "Points";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_history_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    HISTORY_STATE& h = st();
    h.win = h.w_mode = h.w_summary = h.w_map = h.w_hour = h.w_day = -1;
    h.w_range.fill(-1);
    h.heat_cache = HEAT_CACHE{};  // a rebuild may bring another look
    const int win = ovk_gui_popup_window(g, OVK_POP_HISTORY, "History map & timeline", 1100, 1000);
    if (win < 0) return;
    h.win = win;
    // The map and charts fill the window: no scrolling.
    zq_gui_window_set_flags(
        g->ctx, win, ZQ_GUI_WIN_CLOSE_BTN | (ovk_platform_uses_touch() ? ZQ_GUI_WIN_FLAG_40 : 0));
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_HISTORY, &cw, &ch);
    if (const ZQ_GUI_STYLE* style = zq_gui_style(g->ctx)) cw += style->scrollbar_size;
    const float p = ovk_pad(g), rh = ovk_row_h(g);

    // The period buttons, then the mode button on the same row when it fits.
    float x = p, y = p;
    for (int i = 0; i < kRanges; ++i) {
        const float bw = static_cast<float>(al_get_text_width(g->font, kRangeLabels[i])) + 3 * p;
        h.w_range[i] = zq_gui_add_toggle_button(g->ctx, win, x, y, bw, rh, kRangeLabels[i], 1,
                                                i == h.range, on_range, g);
        zq_gui_set_widget_tooltip(g->ctx, h.w_range[i], "Period of the history shown");
        x += bw + p / 2;
    }
    const float mw = static_cast<float>(std::max(al_get_text_width(g->font, "Heatmap"),
                                                 al_get_text_width(g->font, "Points"))) +
                     3 * p;
    if (x + mw > cw - p) {
        x = p;
        y += rh + p / 2;
    }
    h.w_mode = zq_gui_add_button(g->ctx, win, x, y, mw, rh, mode_label(), 1, on_mode, g);
    zq_gui_set_widget_tooltip(g->ctx, h.w_mode,
                              "Switch between a heatmap and one dot per encounter (tap a dot for "
                              "details)");
    y += rh + p;

    ALLEGRO_FONT* small = g->font_small ? g->font_small : g->font;
    const float sh = 3.3f * static_cast<float>(al_get_font_line_height(small));
    h.w_summary = zq_gui_add_label(g->ctx, win, p, y, cw - 2 * p, sh, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(g->ctx, h.w_summary, small);
    y += sh + p;

    // The charts take 120 units at the bottom; on a narrow window they stand one above the
    // other, so both rows are kept free.
    const float chart_h = ovk_px(g, 120);
    const bool narrow = cw < ovk_px(g, 520);
    const float reserve = narrow ? 2 * chart_h + p : chart_h;
    const float map_h = std::max(ovk_px(g, 120), ch - y - reserve - 2 * p);
    h.w_map = zq_gui_add_custom(g->ctx, win, p, y, cw - 2 * p, map_h, draw_map, g);
    zq_gui_custom_set_mouse(g->ctx, h.w_map, on_map_mouse, g);
    y += map_h + p;

    if (narrow) {
        h.w_hour = zq_gui_add_custom(g->ctx, win, p, y, cw - 2 * p, chart_h, draw_hour_chart, g);
        h.w_day = zq_gui_add_custom(g->ctx, win, p, y + chart_h + p, cw - 2 * p, chart_h,
                                    draw_day_chart, g);
    } else {
        const float half = (cw - 3 * p) / 2;
        h.w_hour = zq_gui_add_custom(g->ctx, win, p, y, 1.3f * half, chart_h, draw_hour_chart, g);
        h.w_day = zq_gui_add_custom(g->ctx, win, 2 * p + 1.3f * half, y, 0.7f * half, chart_h,
                                    draw_day_chart, g);
    }
    set_summary(g);
}

// ---------------------------------------------------------------------------------------
// 3. Loading and refresh
// ---------------------------------------------------------------------------------------

namespace {

// The period's numbers and summary (on the port's worker). Unless `force`, nothing is made when
// the data is as `last`.
LOADED make_view(uint64_t ask, int range, bool force, const DATA_SIG& last) {
    LOADED v;
    v.ask = ask;
    v.forced = force;
    v.sig = data_sig(last);
    if (!force && v.sig == last) return v;
    v.changed = true;
    const int64_t reach = kRangeMs[range];
    const int64_t since = reach ? ovk_now_ms() - reach : 0;
    v.events = ovk_history_encounters(ovk_history_collect(since), kEncounterGapMs);
    v.by_hour = ovk_history_by_hour(v.events);
    v.by_day = ovk_history_by_weekday(v.events);
    v.positioned = static_cast<int>(std::count_if(v.events.begin(), v.events.end(),
                                                  [](const auto& e) { return e.has_pos != 0; }));
    const int n = static_cast<int>(v.events.size());
    if (n == 0) {
        v.summary =
            "No flagged equipment logged in this period.\nScan with alerts on, or record traces, "
            "to build your history.";
        return v;
    }
    const std::string busiest = ovk_history_busiest(v.events).value_or("").substr(0, 95);
    std::string top;
    for (const OVK_LABEL_COUNT& l : ovk_history_top_labels(v.events, kTopLabels))
        top += ovk_format(256, "%s%s (%d)", top.empty() ? "" : ", ", l.label.c_str(), l.count);
    if (top.size() > kTopTextMax) {
        size_t cut = kTopTextMax;  // never inside a character
        while (cut > 0 && (static_cast<unsigned char>(top[cut]) & 0xC0) == 0x80) --cut;
        top.resize(cut);
    }
    v.summary = ovk_format(1024, "%d encounter%s - %s\nTop: %s", n, n == 1 ? "" : "s",
                           busiest.c_str(), top.c_str());
    if (v.positioned == 0)
        v.summary +=
            "\nNot on the map: turn on Settings > Save GPS position with logged matches, or "
            "record traces.";
    else if (v.positioned < n)
        v.summary += ovk_format(64, "\n%d with a position shown on the map.", v.positioned);
    return v;
}

// Asks the port for the period; `force` makes it whatever the data, and fits the map to it.
void ask(OVK_GUI* g, bool force) {
    HISTORY_STATE& h = st();
    h.force_pending = h.force_pending || force || !h.loaded;
    const uint64_t id = ++h.asks;
    h.wanted = id;
    h.asked_s = g->now_s;
    ovk_port_ask(g, kView, [id, range = h.range, f = h.force_pending, last = h.sig] {
        return std::any(std::make_shared<const LOADED>(make_view(id, range, f, last)));
    });
    if (force) {  // what is shown is not of this load's period until it arrives
        set_summary(g);
        g->redraw = true;
    }
}

// Shows the answer to the latest ask when it arrived. New data refits the map unless the user
// has moved it since; an opening or a period button always does.
void take(OVK_GUI* g) {
    HISTORY_STATE& h = st();
    const uint64_t serial = ovk_port_serial(g, kView);
    if (serial == h.taken) return;
    h.taken = serial;
    const auto* v = std::any_cast<std::shared_ptr<const LOADED>>(ovk_port_view(g, kView));
    if (!v || !*v || (*v)->ask != h.wanted) return;  // an older ask: the latest is on its way
    h.wanted = 0;
    const LOADED& l = **v;
    if (!l.changed) return;
    const bool refit = l.forced || !h.user_moved;
    h.force_pending = false;
    h.sig = l.sig;
    // The view shown before is let go on the worker: freeing 50,000 encounters takes as long
    // as copying them.
    if (h.shown)
        ovk_port_post(g, [old = std::move(h.shown)]() mutable {
            old.reset();
            return std::string();
        });
    h.shown = *v;
    h.by_hour = l.by_hour;
    h.by_day = l.by_day;
    h.positioned = l.positioned;
    h.summary = l.summary;
    h.loaded = true;
    ++h.generation;
    if (refit) {
        h.fitted = false;
        h.user_moved = false;
    }
    set_summary(g);
    g->redraw = true;
}

}  // namespace

void ovk_history_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    ovk_mapview_init(ovk_platform_data_dir());
    if (st().win < 0 || g->popup[OVK_POP_HISTORY] < 0) ovk_history_build(g);
    ask(g, true);
    ovk_gui_open_popup(g, OVK_POP_HISTORY);
}

OVK_MAPVIEW ovk_history_view() {
    return st().mv;
}

void ovk_history_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    HISTORY_STATE& h = st();
    take(g);
    if (g->now_s - h.asked_s >= (h.wanted ? kWaitS : kAskS)) ask(g, false);
}

// ---------------------------------------------------------------------------------------
// 4. Drawing
// ---------------------------------------------------------------------------------------

namespace {

float tile_px(const OVK_GUI* g) {
    return OVK_TILE_SIZE * std::clamp(g->scale, 1.0f, 2.0f);
}

// Once after each load: the box of the positioned encounters, widened by 0.002 degrees; with
// none, the main map's centre, close in when a map position was ever stored.
void fit_view(OVK_GUI* g, float w, float h) {
    HISTORY_STATE& s = st();
    s.mv.tile_px = tile_px(g);
    double south = 90, west = 180, north = -90, east = -180;
    for (const OVK_HISTORY_EVENT& e : events()) {
        if (!e.has_pos) continue;
        south = std::min(south, e.lat);
        north = std::max(north, e.lat);
        west = std::min(west, e.lon);
        east = std::max(east, e.lon);
    }
    if (s.positioned > 0) {
        constexpr double kMargin = 0.002;
        ovk_mapview_fit(&s.mv, south - kMargin, west - kMargin, north + kMargin, east + kMargin, w,
                        h);
    } else {
        const OVK_MAPVIEW& main = g->map_view;
        s.mv.lat = main.lat;
        s.mv.lon = main.lon;
        s.mv.zoom = g->prefs.map_lat != 0 || g->prefs.map_lon != 0 ? 13 : 3;
    }
    s.fitted = true;
}

void draw_dots(OVK_GUI* g) {
    const float r = ovk_px(g, 6), ring = ovk_px(g, 1.2f);
    const ALLEGRO_COLOR white = ovk_ink(g, 0xFFFFFFFF);
    for (const OVK_HISTORY_EVENT& e : events()) {
        if (!e.has_pos) continue;
        float sx = 0, sy = 0;
        ovk_mapview_to_screen(st().mv, e.lat, e.lon, &sx, &sy);
        al_draw_filled_circle(sx, sy, r, ovk_ink(g, ovk_cat_color(e.category)));
        al_draw_circle(sx, sy, r, white, ring);
    }
}

// The heat ramp: five colours (alpha, red, green, blue) for the values 0, 0.25, 0.5, 0.75
// and 1, as a premultiplied colour; shades of red in the night theme.
ALLEGRO_COLOR heat_colour(const OVK_GUI* g, float v) {
    static constexpr uint32_t kStops[] = {0x2020A0FF, 0x7000E5FF, 0x9000D060, 0xB0FFE000,
                                          0xE0FF2020};
    const int i = std::clamp(static_cast<int>(v * 4), 0, 3);
    const float t = std::min(1.0f, (v - 0.25f * static_cast<float>(i)) * 4);
    uint32_t argb = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const float a0 = static_cast<float>((kStops[i] >> shift) & 0xFF);
        const float a1 = static_cast<float>((kStops[i + 1] >> shift) & 0xFF);
        argb |= static_cast<uint32_t>(std::lround(a0 + (a1 - a0) * t)) << shift;
    }
    if (g->pal.night_drive) argb = ovk_night_argb(argb);
    const float a = static_cast<float>(argb >> 24) / 255.0f;
    const auto ch = [&](int shift) {
        return static_cast<float>((argb >> shift) & 0xFF) / 255.0f * a;
    };
    return al_map_rgba_f(ch(16), ch(8), ch(0), a);
}

// The heat map of the view as triangles: cells of 6 units, each positioned encounter spreading
// exp(-3 d^2 / R^2) over the cells within R of its own, R = 24 units; values scaled to the
// largest; cells below 0.016 left out.
void compute_heat(OVK_GUI* g, float x, float y, float w, float h,
                  std::vector<ALLEGRO_VERTEX>& out) {
    HISTORY_STATE& s = st();
    out.clear();
    const float cell = ovk_px(g, 6);
    if (!(cell > 0)) return;
    const int gw = static_cast<int>(w / cell) + 1, gh = static_cast<int>(h / cell) + 1;
    const size_t cells = static_cast<size_t>(gw) * static_cast<size_t>(gh);
    if (s.grid.size() < cells) s.grid.resize(cells);
    std::fill(s.grid.begin(), s.grid.begin() + static_cast<std::ptrdiff_t>(cells), 0.0f);
    const int r = static_cast<int>(ovk_px(g, 24) / cell) + 1;
    std::vector<float> weight(static_cast<size_t>(r * r) + 1);
    for (int d2 = 0; d2 <= r * r; ++d2)
        weight[static_cast<size_t>(d2)] =
            std::exp(-3.0f * static_cast<float>(d2) / static_cast<float>(r * r));
    for (const OVK_HISTORY_EVENT& e : events()) {
        if (!e.has_pos) continue;
        float sx = 0, sy = 0;
        ovk_mapview_to_screen(s.mv, e.lat, e.lon, &sx, &sy);
        const float fx = std::floor((sx - x) / cell), fy = std::floor((sy - y) / cell);
        // Encounters far outside reach no cell (and would not fit an int).
        if (fx < -r || fy < -r || fx > gw + r || fy > gh + r) continue;
        const int cx = static_cast<int>(fx), cy = static_cast<int>(fy);
        for (int dy = -r; dy <= r; ++dy) {
            const int gy = cy + dy;
            if (gy < 0 || gy >= gh) continue;
            for (int dx = -r; dx <= r; ++dx) {
                const int gx = cx + dx, d2 = dx * dx + dy * dy;
                if (gx < 0 || gx >= gw || d2 > r * r) continue;
                s.grid[static_cast<size_t>(gy) * static_cast<size_t>(gw) +
                       static_cast<size_t>(gx)] += weight[static_cast<size_t>(d2)];
            }
        }
    }
    const float most =
        *std::max_element(s.grid.begin(), s.grid.begin() + static_cast<std::ptrdiff_t>(cells));
    if (!(most > 0)) return;
    for (int gy = 0; gy < gh; ++gy) {
        for (int gx = 0; gx < gw; ++gx) {
            const float v = s.grid[static_cast<size_t>(gy) * static_cast<size_t>(gw) +
                                   static_cast<size_t>(gx)] /
                            most;
            if (v < 0.016f) continue;
            const ALLEGRO_COLOR c = heat_colour(g, v);
            const float x0 = x + static_cast<float>(gx) * cell,
                        y0 = y + static_cast<float>(gy) * cell;
            const float x1 = x0 + cell, y1 = y0 + cell;
            for (const auto& [vx, vy] :
                 {std::pair{x0, y0}, {x1, y0}, {x1, y1}, {x0, y0}, {x1, y1}, {x0, y1}})
                out.push_back(ALLEGRO_VERTEX{vx, vy, 0, 0, 0, c});
        }
    }
}

// The heat map, computed again only when the view, the widget or the data changed.
void draw_heat(OVK_GUI* g, float x, float y, float w, float h) {
    HISTORY_STATE& s = st();
    HEAT_CACHE& c = s.heat_cache;
    if (c.generation != s.generation || c.lat != s.mv.lat || c.lon != s.mv.lon ||
        c.zoom != s.mv.zoom || c.tile_px != s.mv.tile_px || c.x != x || c.y != y || c.w != w ||
        c.h != h || c.scale != g->scale) {
        compute_heat(g, x, y, w, h, c.verts);
        c.generation = s.generation;
        c.lat = s.mv.lat;
        c.lon = s.mv.lon;
        c.zoom = s.mv.zoom;
        c.tile_px = s.mv.tile_px;
        c.x = x;
        c.y = y;
        c.w = w;
        c.h = h;
        c.scale = g->scale;
    }
    if (!c.verts.empty())
        al_draw_prim(c.verts.data(), nullptr, nullptr, 0, static_cast<int>(c.verts.size()),
                     ALLEGRO_PRIM_TRIANGLE_LIST);
}

void draw_map(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    HISTORY_STATE& s = st();
    if (!s.fitted) fit_view(g, w->w, w->h);
    ovk_mapview_draw_base(g, &s.mv, x, y, w->w, w->h, g->prefs.map_tiles != 0);
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    const int x0 = std::max(cx, static_cast<int>(x)), y0 = std::max(cy, static_cast<int>(y));
    const int x1 = std::min(cx + cw, static_cast<int>(x + w->w));
    const int y1 = std::min(cy + ch, static_cast<int>(y + w->h));
    al_set_clipping_rectangle(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
    // Nothing of another period, or of none, is shown as this one's.
    if (!reading(g)) {
        if (s.heat)
            draw_heat(g, x, y, w->w, w->h);
        else
            draw_dots(g);
    }
    al_set_clipping_rectangle(cx, cy, cw, ch);
}

struct AXIS_LABEL {
    int index;
    const char* text;
};

// A bar chart: its title at the top left; one bar per value in the middle 70 % of its slot,
// the largest value (at least 1) filling the bar area; labels centred under their slots.
void draw_chart(OVK_GUI* g, float x, float y, float w, float h, const char* title,
                std::span<const int> values, std::span<const AXIS_LABEL> labels) {
    ALLEGRO_FONT* f = g->font_small ? g->font_small : g->font;
    const float lh = static_cast<float>(al_get_font_line_height(f));
    al_draw_text(f, g->pal.text, x, y, 0, title);
    const float top = y + lh + ovk_px(g, 4);
    const float bottom = y + h - lh - ovk_px(g, 2);
    const float area = std::max(0.0f, bottom - top);
    const int most = std::max(1, *std::max_element(values.begin(), values.end()));
    const float slot = w / static_cast<float>(values.size());
    const float stub = std::max(1.0f, ovk_px(g, 1.5f));
    // No bars for a period not read yet: empty slots would say nothing was logged.
    for (size_t i = 0; i < (reading(g) ? 0 : values.size()); ++i) {
        const float x0 = x + slot * (static_cast<float>(i) + 0.15f);
        const float x1 = x + slot * (static_cast<float>(i) + 0.85f);
        if (values[i] > 0) {
            const float bh = area * static_cast<float>(values[i]) / static_cast<float>(most);
            al_draw_filled_rectangle(x0, bottom - bh, x1, bottom, g->pal.primary);
        } else {
            // An empty slot: a thin mark on the base line, so the slot still shows.
            al_draw_filled_rectangle(x0, bottom - stub, x1, bottom, g->pal.dim);
        }
    }
    for (const AXIS_LABEL& l : labels) {
        const float cx = x + slot * (static_cast<float>(l.index) + 0.5f);
        al_draw_text(f, g->pal.dim, cx, bottom + ovk_px(g, 2), ALLEGRO_ALIGN_CENTRE, l.text);
    }
}

void draw_hour_chart(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    static constexpr AXIS_LABEL kLabels[] = {{0, "0h"}, {6, "6h"}, {12, "12h"}, {18, "18h"}};
    draw_chart(static_cast<OVK_GUI*>(user), x, y, w->w, w->h, "Hour of day", st().by_hour, kLabels);
}

void draw_day_chart(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    static constexpr AXIS_LABEL kLabels[] = {{0, "M"}, {1, "T"}, {2, "W"}, {3, "T"},
                                             {4, "F"}, {5, "S"}, {6, "S"}};
    draw_chart(static_cast<OVK_GUI*>(user), x, y, w->w, w->h, "Day of week", st().by_day, kLabels);
}

// ---------------------------------------------------------------------------------------
// 5. Commands
// ---------------------------------------------------------------------------------------

void on_range(int id, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    HISTORY_STATE& h = st();
    for (int i = 0; i < kRanges; ++i)
        if (h.w_range[i] == id) h.range = i;
    for (int i = 0; i < kRanges; ++i) zq_gui_button_set_toggled(g->ctx, h.w_range[i], i == h.range);
    ask(g, true);
}

// Pan and zoom; in dots mode a click names the nearest encounter within 24 units.
int on_map_mouse(int, const ZQ_GUI_MOUSE_EVENT* ev, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    HISTORY_STATE& s = st();
    g->redraw = true;
    const double lat = s.mv.lat, lon = s.mv.lon, zoom = s.mv.zoom;
    const bool click = ovk_mapview_mouse(g, &s.mv, *ev) != 0;
    if (s.mv.lat != lat || s.mv.lon != lon || s.mv.zoom != zoom) s.user_moved = true;
    if (!click || s.heat || reading(g)) return 1;
    const float px = s.mv.x + ev->x, py = s.mv.y + ev->y;
    const OVK_HISTORY_EVENT* best = nullptr;
    float best_d = ovk_px(g, 24);
    for (const OVK_HISTORY_EVENT& e : events()) {
        if (!e.has_pos) continue;
        float sx = 0, sy = 0;
        ovk_mapview_to_screen(s.mv, e.lat, e.lon, &sx, &sy);
        const float d = std::hypot(sx - px, sy - py);
        if (d <= best_d) {
            best_d = d;
            best = &e;
        }
    }
    if (best)
        // A fleet sensor's encounter names the sensor, as the match log does.
        ovk_gui_message(g, "%s%s%s - %s - %s", best->sensor.c_str(),
                        best->sensor.empty() ? "" : ": ", best->label.c_str(),
                        ovk_local_time(best->time).substr(0, 16).c_str(), best->mac.c_str());
    return 1;
}

void on_mode(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    st().heat = !st().heat;
    zq_gui_button_set_label(g->ctx, st().w_mode, mode_label());
    g->redraw = true;
}

}  // namespace
