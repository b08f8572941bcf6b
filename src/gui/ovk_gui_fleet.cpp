// SPDX-License-Identifier: GPL-3.0-or-later
// The "Fleet" pop-up.
//
// Index
//   1. State and texts
//   2. Build
//   3. Refresh: asking for the sensors, filling the grid
//   4. Commands
#include "ovk_gui_fleet.h"

#include <algorithm>
#include <any>
#include <span>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_fleet.h"
#include "ovk_gui.h"
#include "ovk_gui_port.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State and texts
// ---------------------------------------------------------------------------------------

constexpr const char* kView = "fleet.sensors";
constexpr float kCompactW = 640;  // narrower (in scale units): fewer columns

const char* const kNoFleet =
    "No fleet: start with --fleet mqtt://HOST/PREFIX or set the fleet broker in Settings";

// The engine's side as the port copied it.
struct FLEET_VIEW {
    bool started = false;
    std::string link;  // the link's state, as on the status line
    std::vector<OVK_FLEET_SENSOR> sensors;
    int64_t now = 0;  // when the copy was made
};

struct STATE {
    FLEET_VIEW view;
    bool have_view = false;
    uint64_t taken = 0;              // serial of the view shown
    std::string selected;            // the sensor selected, kept across copies and rebuilds
    std::vector<std::string> shown;  // the sensors the grid's rows are, in order
    bool compact = false;
    int win = -1, w_info = -1, w_grid = -1, w_detail = -1, w_map = -1;
};

STATE& st() {
    static STATE s;
    return s;
}

struct COLUMN {
    const char* title;
    float share;  // of the grid's inner width
    int value;    // which of the row's values it shows
};

constexpr COLUMN kColumns[] = {
    {"Sensor", 0.15f, 0},  {"State", 0.17f, 1},  {"Last heard", 0.13f, 2}, {"Devices", 0.10f, 3},
    {"Flagged", 0.10f, 4}, {"Threat", 0.12f, 5}, {"Position", 0.23f, 6},
};
// The selected sensor's line under the grid tells the rest.
constexpr COLUMN kColumnsCompact[] = {
    {"Sensor", 0.32f, 0},
    {"State", 0.32f, 1},
    {"Threat", 0.36f, 5},
};

std::span<const COLUMN> columns() {
    if (st().compact) return kColumnsCompact;
    return kColumns;
}

// "12 min" from "12 min ago".
std::string span_text(int64_t now, int64_t since) {
    std::string t = ovk_age_text(now, since);
    if (t.size() > 4 && t.ends_with(" ago")) t.resize(t.size() - 4);
    return t;
}

bool stale(const OVK_FLEET_SENSOR& s, int64_t now) {
    return ovk_fleet_sensor_stale(s, now);
}

// "online", "offline", or for one offline more than 5 minutes "OFFLINE 12 min" ("OFFLINE" when
// `brief`).
std::string state_text(const OVK_FLEET_SENSOR& s, int64_t now, bool brief = false) {
    if (s.online) return "online";
    const int64_t since = s.offline_since ? s.offline_since : s.last_heard;
    if (stale(s, now)) return brief ? std::string("OFFLINE") : "OFFLINE " + span_text(now, since);
    return "offline";
}

std::string position_text(const OVK_FLEET_SENSOR& s) {
    if (!s.status.has_pos) return "-";
    return ovk_format(48, "%.4f, %.4f", s.status.lat, s.status.lon);
}

std::string threat_text(const OVK_FLEET_SENSOR& s) {
    return ovk_threat_name(s.status.threat);
}

// Every value of a sensor's row, in the order COLUMN::value counts.
std::vector<std::string> row_values(const OVK_FLEET_SENSOR& s, int64_t now) {
    return {s.name,
            state_text(s, now, st().compact),
            s.last_heard ? ovk_age_text(now, s.last_heard) : std::string("-"),
            std::to_string(s.status.devices),
            std::to_string(s.status.flagged),
            threat_text(s),
            position_text(s)};
}

const OVK_FLEET_SENSOR* selected_sensor() {
    for (const OVK_FLEET_SENSOR& s : st().view.sensors)
        if (s.name == st().selected) return &s;
    return nullptr;
}

void fill(OVK_GUI* g);
void on_select(int, int row, void* user);
void on_show_on_map(int, void* user);

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_fleet_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_FLEET] >= 0) return;
    st().win = st().w_info = st().w_grid = st().w_detail = st().w_map = -1;
    st().shown.clear();
    const int win = ovk_gui_popup_window(g, OVK_POP_FLEET, "Fleet", 820, 560);
    if (win < 0) return;
    st().win = win;
    ZQ_GUI_CTX* ctx = g->ctx;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_FLEET, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    const float x = p, w = cw - 2 * p;
    st().compact = cw < ovk_px(g, kCompactW);
    float y = p;

    float h = 0;
    st().w_info = ovk_add_wrapped_label(g, win, g->font, kNoFleet, x, y, w, &h);
    // Room for the state texts, on two lines as they wrap in a narrow window.
    h = std::max(h, 2.2f * static_cast<float>(al_get_font_line_height(g->font)));
    zq_gui_set_widget_rect(ctx, st().w_info, x, y, w, h);
    y += h + p / 2;

    const char* map = "Show on map";
    const float bw = std::min(w, static_cast<float>(al_get_text_width(g->font, map)) + 3 * p);
    const int btn = zq_gui_add_button(ctx, win, x, y, bw, r, map, 1, on_show_on_map, g);
    zq_gui_set_widget_tooltip(ctx, btn, "Centre the map on the selected sensor's position");
    st().w_map = btn;
    y += r + p;

    // The selected sensor's line, wrapped: two lines, more in a narrow window.
    const float detail_h =
        (st().compact ? 6.3f : 3.3f) * static_cast<float>(al_get_font_line_height(g->font_small));
    const float grid_h = std::max(3 * r, ch - y - detail_h - 2 * p);
    st().w_grid = zq_gui_add_datagrid(ctx, win, x, y, w, grid_h, on_select, g);
    const ZQ_GUI_STYLE* style = zq_gui_style(ctx);
    const float inner = w - (style ? style->scrollbar_size : 0);
    for (const COLUMN& c : columns())
        zq_gui_datagrid_add_column(ctx, st().w_grid, c.title, c.share * inner);
    zq_gui_set_widget_tooltip(ctx, st().w_grid,
                              "The sensors heard through the broker; one offline for more than "
                              "5 minutes is marked");
    y += grid_h + p;

    st().w_detail = zq_gui_add_label(ctx, win, x, y, w, detail_h, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, st().w_detail, g->font_small);
    fill(g);
}

void ovk_fleet_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_FLEET] < 0) ovk_fleet_build(g);
    ovk_fleet_refresh(g);
    fill(g);
    ovk_gui_open_popup(g, OVK_POP_FLEET);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

void ovk_fleet_refresh(OVK_GUI* g) {
    ovk_port_ask(g, kView, [] {
        FLEET_VIEW v;
        v.link = ovk_fleet_status_text();
        v.started = !v.link.empty();
        v.sensors = ovk_fleet_sensors();
        v.now = ovk_fleet_now();
        return std::any(std::move(v));
    });
}

void ovk_fleet_tick(OVK_GUI* g) {
    const uint64_t serial = ovk_port_serial(g, kView);
    if (serial == st().taken) return;
    const auto* v = std::any_cast<FLEET_VIEW>(ovk_port_view(g, kView));
    if (!v) return;
    st().taken = serial;
    st().view = *v;
    st().have_view = true;
    fill(g);
}

void ovk_fleet_shutdown(OVK_GUI*) {
    st() = STATE{};
}

namespace {

// What the line under the grid says of the selected sensor.
std::string detail_text(const OVK_FLEET_SENSOR& s, int64_t now) {
    std::string t = s.name + ": " + state_text(s, now);
    if (s.last_heard) t += ", heard " + ovk_age_text(now, s.last_heard);
    t += ovk_format(96, "; %d devices, %d flagged; threat %s", s.status.devices, s.status.flagged,
                    threat_text(s).c_str());
    t += s.status.has_pos ? "; at " + position_text(s) : std::string("; no position");
    t += ovk_format(64, "\n%llu detections, %llu alerts received",
                    static_cast<unsigned long long>(s.detections),
                    static_cast<unsigned long long>(s.alerts));
    if (!s.status.scanners.empty()) t += "; " + s.status.scanners;
    return t;
}

void fill(OVK_GUI* g) {
    if (st().w_grid < 0) return;
    ZQ_GUI_CTX* ctx = g->ctx;
    // Until the sensors are read there is no fleet to tell of (nor "No fleet"), nor a sensor
    // to show.
    const bool read = st().have_view && ovk_port_arrived(g, kView);
    zq_gui_set_widget_enabled(ctx, st().w_map, read);
    if (!read) {
        zq_gui_datagrid_clear_rows(ctx, st().w_grid);
        st().shown.clear();
        ovk_label_set_read(g, st().w_info, false, {});
        ovk_label_set_wrapped(g, st().w_detail, {});
        return;
    }
    const FLEET_VIEW& v = st().view;
    // The same sensors as shown: their rows change where they are, so that a list scrolled
    // down stays there; another set of sensors fills the grid again.
    bool same = static_cast<int>(v.sensors.size()) == zq_gui_datagrid_row_count(ctx, st().w_grid) &&
                v.sensors.size() == st().shown.size();
    for (size_t i = 0; same && i < v.sensors.size(); ++i) same = v.sensors[i].name == st().shown[i];
    if (!same) {
        zq_gui_datagrid_clear_rows(ctx, st().w_grid);
        st().shown.clear();
    }
    int keep = -1;
    for (size_t i = 0; i < v.sensors.size(); ++i) {
        const OVK_FLEET_SENSOR& s = v.sensors[i];
        std::vector<std::string> all = row_values(s, v.now);
        std::vector<std::string> shown;
        for (const COLUMN& c : columns()) shown.push_back(all[static_cast<size_t>(c.value)]);
        int row = static_cast<int>(i);
        if (same) {
            zq_gui_datagrid_set_row(ctx, st().w_grid, row, shown);
        } else {
            row = zq_gui_datagrid_add_row(ctx, st().w_grid, shown);
            if (row < 0) continue;
            st().shown.push_back(s.name);
        }
        if (stale(s, v.now))
            zq_gui_datagrid_set_row_color(ctx, st().w_grid, row, ovk_ink(g, 0x59C0392Bu));
        else if (!s.online)
            zq_gui_datagrid_set_row_color(ctx, st().w_grid, row, ovk_ink(g, 0x2E808080u));
        if (s.name == st().selected) keep = row;
    }
    if (keep >= 0 && zq_gui_datagrid_get_selected(ctx, st().w_grid) != keep)
        zq_gui_datagrid_set_selected(ctx, st().w_grid, keep);

    std::string info;
    if (!v.started)
        info = kNoFleet;
    else if (v.sensors.empty())
        info = v.link + ". No sensor heard yet.";
    else
        info = v.link + ". Select a sensor to show it on the map.";
    ovk_label_set_read(g, st().w_info, true, info);
    const OVK_FLEET_SENSOR* s = selected_sensor();
    ovk_label_set_wrapped(g, st().w_detail, s ? detail_text(*s, v.now) : std::string());
}

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

void on_select(int, int row, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (row < 0 || row >= static_cast<int>(st().view.sensors.size())) return;
    st().selected = st().view.sensors[static_cast<size_t>(row)].name;
    const OVK_FLEET_SENSOR* s = selected_sensor();
    ovk_label_set_wrapped(g, st().w_detail, s ? detail_text(*s, st().view.now) : std::string());
}

void on_show_on_map(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const OVK_FLEET_SENSOR* s = selected_sensor();
    if (!s) {
        ovk_gui_message(g, "Select a sensor first");
        return;
    }
    if (!s->status.has_pos) {
        ovk_gui_message(g, "%s sends no position", s->name.c_str());
        return;
    }
    if (!ovk_gui_show_on(g, OVK_POP_MAP, ovk_subject_place(16, s->status.lat, s->status.lon)))
        ovk_gui_message(g, "No map in this build");
}

}  // namespace
