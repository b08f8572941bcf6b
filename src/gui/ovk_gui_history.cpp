// The "History map & timeline" pop-up.
//
// Index
//   1. State
//   2. Build
//   3. Loading and refresh
//   4. Drawing: the map, the heat map, the charts
//   5. Commands
#include "ovk_gui_history.h"

#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_export.h"
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

// What changes in the data the screen shows: the detection log and the trips.
struct DATA_SIG {
    int detections = -1;
    int64_t newest_id = 0;
    int64_t newest_ts = 0;
    std::vector<OVK_TRIP> trips;
    bool operator==(const DATA_SIG&) const = default;
};

struct HISTORY_STATE {
    int range = 1;                          // index into kRangeLabels
    bool heat = true;                       // heat map, else one dot per encounter
    std::vector<OVK_HISTORY_EVENT> events;  // encounters of the period, newest first
    std::array<int, 24> by_hour{};
    std::array<int, 7> by_day{};  // Monday first
    int positioned = 0;           // encounters with a position
    std::string summary;
    bool loaded = false;
    DATA_SIG sig;  // of the data last loaded
    int win = -1, w_mode = -1, w_summary = -1, w_map = -1, w_hour = -1, w_day = -1;
    std::array<int, kRanges> w_range{-1, -1, -1, -1};
};

HISTORY_STATE s_hist;

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
    const ZQ_GUI_STYLE* st = zq_gui_style(g->ctx);
    return w ? w->w - 2 * (st ? st->label_padding : 0) - 2 : 0;
}

// The summary wrapped to the label when that takes at most three lines; otherwise each of
// its lines cut to one line, so that nothing falls below the label.
void set_summary(OVK_GUI* g) {
    HISTORY_STATE& h = s_hist;
    if (h.w_summary < 0) return;
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

const char* mode_label() {
    return s_hist.heat ? "Heatmap" : "Points";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_history_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    HISTORY_STATE& h = s_hist;
    h.win = h.w_mode = h.w_summary = h.w_map = h.w_hour = h.w_day = -1;
    h.w_range.fill(-1);
    const int win = ovk_gui_popup_window(g, OVK_POP_HISTORY, "History map & timeline", 1100, 1000);
    if (win < 0) return;
    h.win = win;
    // The map and charts fill the window: no scrolling.
    zq_gui_window_set_flags(
        g->ctx, win, ZQ_GUI_WIN_CLOSE_BTN | (ovk_platform_uses_touch() ? ZQ_GUI_WIN_FLAG_40 : 0));
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_HISTORY, &cw, &ch);
    if (const ZQ_GUI_STYLE* st = zq_gui_style(g->ctx)) cw += st->scrollbar_size;
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

void load(OVK_GUI* g) {
    HISTORY_STATE& h = s_hist;
    h.sig = data_sig(h.sig);
    const int64_t reach = kRangeMs[h.range];
    const int64_t since = reach ? ovk_now_ms() - reach : 0;
    const std::vector<OVK_HISTORY_EVENT> events = ovk_history_collect(since);
    h.events = ovk_history_encounters(events, kEncounterGapMs);
    h.by_hour = ovk_history_by_hour(h.events);
    h.by_day = ovk_history_by_weekday(h.events);
    h.positioned = static_cast<int>(std::count_if(h.events.begin(), h.events.end(),
                                                  [](const auto& e) { return e.has_pos != 0; }));
    const int n = static_cast<int>(h.events.size());
    if (n == 0) {
        h.summary =
            "No flagged equipment logged in this period.\nScan with alerts on, or record traces, "
            "to build your history.";
    } else {
        const std::string busiest = ovk_history_busiest(h.events).value_or("").substr(0, 95);
        std::string top;
        for (const OVK_LABEL_COUNT& l : ovk_history_top_labels(h.events, kTopLabels))
            top += ovk_format(256, "%s%s (%d)", top.empty() ? "" : ", ", l.label.c_str(), l.count);
        if (top.size() > kTopTextMax) top.resize(kTopTextMax);
        h.summary = ovk_format(1024, "%d encounter%s - %s\nTop: %s", n, n == 1 ? "" : "s",
                               busiest.c_str(), top.c_str());
        if (h.positioned == 0)
            h.summary +=
                "\nNot on the map: turn on Settings > Save GPS position with logged matches, or "
                "record traces.";
        else if (h.positioned < n)
            h.summary += ovk_format(64, "\n%d with a position shown on the map.", h.positioned);
    }
    h.loaded = true;
    set_summary(g);
    g->redraw = true;
}

}  // namespace

void ovk_history_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (s_hist.win < 0 || g->popup[OVK_POP_HISTORY] < 0) ovk_history_build(g);
    load(g);
    ovk_gui_open_popup(g, OVK_POP_HISTORY);
}

void ovk_history_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (!s_hist.loaded || data_sig(s_hist.sig) != s_hist.sig) load(g);
}

// ---------------------------------------------------------------------------------------
// 4. Drawing
// ---------------------------------------------------------------------------------------

namespace {

void draw_map(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    al_draw_filled_rectangle(x, y, x + w->w, y + w->h, g->pal.panel);
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
    for (size_t i = 0; i < values.size(); ++i) {
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
    draw_chart(static_cast<OVK_GUI*>(user), x, y, w->w, w->h, "Hour of day", s_hist.by_hour,
               kLabels);
}

void draw_day_chart(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    static constexpr AXIS_LABEL kLabels[] = {{0, "M"}, {1, "T"}, {2, "W"}, {3, "T"},
                                             {4, "F"}, {5, "S"}, {6, "S"}};
    draw_chart(static_cast<OVK_GUI*>(user), x, y, w->w, w->h, "Day of week", s_hist.by_day,
               kLabels);
}

// ---------------------------------------------------------------------------------------
// 5. Commands
// ---------------------------------------------------------------------------------------

void on_range(int id, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    HISTORY_STATE& h = s_hist;
    for (int i = 0; i < kRanges; ++i)
        if (h.w_range[i] == id) h.range = i;
    for (int i = 0; i < kRanges; ++i) zq_gui_button_set_toggled(g->ctx, h.w_range[i], i == h.range);
    load(g);
}

void on_mode(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    s_hist.heat = !s_hist.heat;
    zq_gui_button_set_label(g->ctx, s_hist.w_mode, mode_label());
    g->redraw = true;
}

}  // namespace
