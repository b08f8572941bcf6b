// SPDX-License-Identifier: GPL-3.0-or-later
// The "Traces" and "Match log" pop-ups.
//
// Index
//   1. Shared: state, button rows, grids, saving an export
//   2. Traces: build, refresh, commands
//   3. Match log: build, refresh, commands
#include "ovk_gui_trips.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_gui_port.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Shared
// ---------------------------------------------------------------------------------------

// What the trips screen holds between loads. Widget ids are -1 until built.
struct TRIPS_STATE {
    std::vector<OVK_TRIP> trips;  // as last loaded, newest first; row i of the grid is trips[i]
    uint64_t seen = 0;            // serial of the port's view the rows came from
    int64_t pending_delete = 0;   // the trip the confirm dialog asks about
    int64_t selected_id = 0;      // kept across reloads and rebuilds
    bool only_flagged = false;    // the check box, kept across rebuilds
    bool compact = false;         // built for a narrow window: fewer columns
    bool read = false;            // the grid shows a list the port read (else "Reading...")
    int win = -1, w_info = -1, w_grid = -1, w_name = -1, w_flagged = -1;
    std::vector<int> actions;  // the buttons that act on the selected trace
};

// What the match log holds between loads.
using LOG_ROWS = std::shared_ptr<const std::vector<OVK_DETECTION>>;

struct LOG_STATE {
    LOG_ROWS rows;             // every logged detection as last loaded, newest first (or null)
    std::vector<size_t> kept;  // indexes into rows that pass the filter, in order
    uint64_t seen = 0;         // serial of the port's view the rows came from
    std::string query;         // filter text, as typed
    int category = -1;         // filter category, -1 for every kind
    int64_t selected_id = 0;   // detection id of the selected row, kept across reloads
    bool loaded = false;
    bool compact = false;  // built for a narrow window: fewer columns
    bool read = false;     // the grid shows rows the port read (else "Reading...")
    int win = -1, w_info = -1, w_grid = -1, w_search = -1, w_category = -1;
    std::vector<int> exports;  // the export buttons
};

// The two screens of this file: the traces and the match log.
struct STATE {
    TRIPS_STATE trips;
    LOG_STATE log;
};

STATE& st() {
    static STATE s;
    return s;
}

// The port's names of the two screens' views.
constexpr const char* kTripsView = "trips";
constexpr const char* kLogView = "match log";

const std::vector<OVK_DETECTION>& log_rows() {
    static const std::vector<OVK_DETECTION> none;
    return st().log.rows ? *st().log.rows : none;
}

constexpr size_t kLogRowsShown = 2000;  // rows the log's grid holds at most
constexpr int kRenameMax = 90;          // characters of the rename field
constexpr size_t kConfirmNameMax = 80;  // characters of a name quoted in the delete question

const char* const kTracesInfo =
    "Select a trace, then show it on the map, export, rename or delete it.";
const char* const kNoTraces =
    "No traces yet. Menu > Record trace (or the Map) records your route and every device heard "
    "along it.";

struct BUTTON_SPEC {
    const char* label;
    const char* tip;
    ZQ_GUI_CLICK_FN fn;
};

// Buttons left to right from x = pad, each its label's width plus 3 pad wide and pad / 2
// apart, wrapping before the right pad. The y below the row (pad under its last line); their
// ids in order go to `ids`.
float button_row(OVK_GUI* g, int win, float y, float w, std::span<const BUTTON_SPEC> buttons,
                 std::vector<int>& ids) {
    ids.clear();
    const float p = ovk_pad(g), rh = ovk_row_h(g);
    std::vector<ZQ_GUI_ROW_ITEM> row;
    for (const BUTTON_SPEC& b : buttons) {
        const float bw = static_cast<float>(al_get_text_width(g->font, b.label)) + 3 * p;
        const int id = zq_gui_add_button(g->ctx, win, p, y, bw, rh, b.label, 1, b.fn, g);
        zq_gui_set_widget_tooltip(g->ctx, id, b.tip);
        row.push_back({id, bw});
        ids.push_back(id);
    }
    return zq_gui_place_rows(g->ctx, row, p, y, w - 2 * p, rh, p / 2, p / 2) + p;
}

void set_enabled(OVK_GUI* g, const std::vector<int>& ids, bool on) {
    for (int id : ids) zq_gui_set_widget_enabled(g->ctx, id, on);
}

struct COLUMN {
    const char* title;
    float share;  // of the grid's inner width
    int value;    // which of the row's values it shows
};

// A window narrower than this (in scale units) lists fewer columns, each wide enough to read.
constexpr float kCompactW = 640;

// The values of a row that the columns show, in column order.
std::vector<std::string> pick(std::vector<std::string> values, std::span<const COLUMN> cols) {
    std::vector<std::string> out;
    out.reserve(cols.size());
    for (const COLUMN& c : cols)
        out.push_back(c.value < static_cast<int>(values.size())
                          ? std::move(values[static_cast<size_t>(c.value)])
                          : std::string());
    return out;
}

int add_grid(OVK_GUI* g, int win, float x, float y, float w, float h, std::span<const COLUMN> cols,
             ZQ_GUI_SELECT_FN on_select, const char* tip) {
    const int id = zq_gui_add_datagrid(g->ctx, win, x, y, w, h, on_select, g);
    const ZQ_GUI_STYLE* style = zq_gui_style(g->ctx);
    const float inner = w - (style ? style->scrollbar_size : 0);
    for (const COLUMN& c : cols) zq_gui_datagrid_add_column(g->ctx, id, c.title, c.share * inner);
    zq_gui_set_widget_tooltip(g->ctx, id, tip);
    return id;
}

// "2026-12-08 14:03", local time.
std::string minute_text(int64_t ms) {
    return ovk_local_time(ms).substr(0, 16);
}

// "20261208_140305", local time.
std::string file_stamp(int64_t ms) {
    std::string s;
    for (char c : ovk_local_time(ms)) {
        if (c == ' ')
            s += '_';
        else if (c != '-' && c != ':')
            s += c;
    }
    return s;
}

// At most `max` characters of `s` (UTF-8, never ending inside a character).
std::string cut_chars(std::string_view s, size_t max) {
    size_t chars = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
        if (chars == max) break;
        ++chars;
    }
    return std::string(s.substr(0, i));
}

std::string trim(std::string_view s) {
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return std::string(s);
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Writes the export into the export directory as "orvik_<stem>_<local time>.<ext>", hands it
// to the platform's share operation and says where it went. Two exports in the same second
// get "_2", "_3", ... so that the second never replaces the first.
// `what` says what was saved when it is not everything ("2 of 5 rows (filtered)").
std::string save_export(const std::optional<std::string>& text, const std::string& dir,
                        const char* stem, const char* ext, const char* mime,
                        const std::string& what = {}) {
    if (!text || text->empty()) return "Nothing to export";
    const std::string base = dir + "/orvik_" + stem + "_" + file_stamp(ovk_now_ms());
    std::string path = base + "." + ext;
    for (int n = 2; file_exists(path) && n < 1000; ++n)
        path = base + "_" + std::to_string(n) + "." + ext;
    if (dir.empty() || file_exists(path) || ovk_write_file_atomic(path, *text) != 0)
        return "Could not write " + path;
    ovk_platform_share_file(path, mime);
    if (what.empty()) return "Saved " + path;
    return "Saved " + what + ": " + path;
}

// ---------------------------------------------------------------------------------------
// 2. Traces
// ---------------------------------------------------------------------------------------

constexpr COLUMN kTripColumns[] = {
    {"Name", 0.34f, 0},     {"Started", 0.20f, 1}, {"Duration", 0.13f, 2},
    {"Distance", 0.12f, 3}, {"Devices", 0.19f, 4},
};
constexpr COLUMN kTripColumnsCompact[] = {
    {"Name", 0.42f, 0},
    {"Started", 0.36f, 1},
    {"Distance", 0.22f, 3},
};

std::span<const COLUMN> trip_columns(bool compact) {
    if (compact) return kTripColumnsCompact;
    return kTripColumns;
}

const OVK_TRIP* selected_trip(OVK_GUI* g) {
    const int row = zq_gui_datagrid_get_selected(g->ctx, st().trips.w_grid);
    if (row < 0 || row >= static_cast<int>(st().trips.trips.size())) return nullptr;
    return &st().trips.trips[static_cast<size_t>(row)];
}

// The grid and the info label from st().trips.trips; the trip selected before stays selected.
// Until the port has read the list there is nothing to show, nor to act on.
void trips_fill(OVK_GUI* g) {
    TRIPS_STATE& t = st().trips;
    if (t.w_grid < 0) return;
    t.read = ovk_port_arrived(g, kTripsView);
    zq_gui_datagrid_clear_rows(g->ctx, t.w_grid);
    set_enabled(g, t.actions, t.read);
    int keep = -1;
    for (const OVK_TRIP& r : t.read ? t.trips : std::vector<OVK_TRIP>{}) {
        const std::string duration =
            r.end_time == 0
                ? std::string("recording")
                : ovk_format(32, "%lld min",
                             static_cast<long long>((r.end_time - r.start_time) / 60000));
        const int row = zq_gui_datagrid_add_row(
            g->ctx, t.w_grid,
            pick({r.name, minute_text(r.start_time), duration,
                  ovk_format(32, "%.1f km", r.distance_m / 1000.0),
                  ovk_format(48, "%d (%d flagged)", r.device_count, r.flagged_count)},
                 trip_columns(t.compact)));
        if (r.id == t.selected_id) keep = row;
    }
    if (keep >= 0) {
        zq_gui_datagrid_set_selected(g->ctx, t.w_grid, keep);
        zq_gui_datagrid_scroll_to_row(g->ctx, t.w_grid, keep);
    } else {
        t.selected_id = 0;
    }
    ovk_label_set_read(g, t.w_info, t.read, t.trips.empty() ? kNoTraces : kTracesInfo);
}

// Asks the port for the trip index; the tick shows it when it arrives.
void trips_reload(OVK_GUI* g) {
    ovk_port_ask(g, kTripsView, [] { return std::any(ovk_trip_list()); });
}

void on_trip_selected(int, int row, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (row < 0 || row >= static_cast<int>(st().trips.trips.size())) return;
    const OVK_TRIP& t = st().trips.trips[static_cast<size_t>(row)];
    st().trips.selected_id = t.id;
    zq_gui_textarea_set_text(g->ctx, st().trips.w_name, t.name);
}

void on_show_on_map(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const OVK_TRIP* t = selected_trip(g);
    if (!t) {
        ovk_gui_message(g, "Select a trace first");
        return;
    }
    ovk_gui_show_on(g, OVK_POP_MAP, ovk_subject_trip(t->id));
}

// Trip export formats, in the order of their buttons.
enum TRIP_FORMAT : int { TRIP_GPX = 0, TRIP_KML = 1, TRIP_GEOJSON = 2, TRIP_CSV = 3 };

void export_trip(OVK_GUI* g, TRIP_FORMAT fmt) {
    const OVK_TRIP* sel = selected_trip(g);
    if (!sel) {
        ovk_gui_message(g, "Select a trace first");
        return;
    }
    const int64_t id = sel->id;
    const bool only = zq_gui_checkbox_is_checked(g->ctx, st().trips.w_flagged) != 0;
    const std::string dir = ovk_platform_export_dir();
    ovk_port_run(g, [id, only, dir, fmt]() -> OVK_PORT_DONE {
        // The index row as it is now (a recording trip's counts move on).
        const std::optional<OVK_TRIP> trip = ovk_trip_get(id);
        if (!trip) return {"That trace is gone", trips_reload};
        const std::vector<OVK_TRIP_POINT> points = ovk_trip_points(id);
        const std::vector<OVK_TRIP_DEVICE> devices = ovk_trip_devices(id);
        switch (fmt) {
            case TRIP_GPX:
                return {save_export(ovk_trip_export_gpx(*trip, points, devices, only), dir, "trace",
                                    "gpx", "application/gpx+xml"),
                        {}};
            case TRIP_KML:
                return {save_export(ovk_trip_export_kml(*trip, points, devices, only), dir, "trace",
                                    "kml", "application/vnd.google-earth.kml+xml"),
                        {}};
            case TRIP_GEOJSON:
                return {save_export(ovk_trip_export_geojson(*trip, points, devices, only), dir,
                                    "trace", "geojson", "application/geo+json"),
                        {}};
            case TRIP_CSV:
                return {save_export(ovk_trip_export_devices_csv(devices), dir, "trace", "csv",
                                    "text/csv"),
                        {}};
        }
        return {};
    });
}

void on_export_gpx(int, void* user) {
    export_trip(static_cast<OVK_GUI*>(user), TRIP_GPX);
}
void on_export_kml(int, void* user) {
    export_trip(static_cast<OVK_GUI*>(user), TRIP_KML);
}
void on_export_geojson(int, void* user) {
    export_trip(static_cast<OVK_GUI*>(user), TRIP_GEOJSON);
}
void on_export_csv(int, void* user) {
    export_trip(static_cast<OVK_GUI*>(user), TRIP_CSV);
}

void on_rename(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const OVK_TRIP* t = selected_trip(g);
    const std::string name = trim(zq_gui_textarea_get_text(g->ctx, st().trips.w_name));
    if (!t || name.empty()) {
        ovk_gui_message(g, "Select a trace and type its new name");
        return;
    }
    st().trips.selected_id = t->id;
    const int64_t id = t->id;
    ovk_port_post(g, [id, name] {
        return ovk_trip_rename(id, name) != 0 ? std::string("Could not save the new name")
                                              : std::string();
    });
    trips_reload(g);  // made after the rename
}

void on_delete_confirmed(void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const int64_t id = st().trips.pending_delete;
    st().trips.pending_delete = 0;
    if (id == 0) return;
    ovk_port_post(g, [id] {
        return std::string(ovk_trip_delete(id) == 0
                               ? "Trace deleted"
                               : "Could not delete the trace: it is gone already");
    });
    // The name of a trace that is gone must not be left to rename another with.
    zq_gui_textarea_set_text(g->ctx, st().trips.w_name, "");
    trips_reload(g);
}

void on_delete(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const OVK_TRIP* t = selected_trip(g);
    if (!t) {
        ovk_gui_message(g, "Select a trace first");
        return;
    }
    st().trips.pending_delete = t->id;
    const std::string name = cut_chars(t->name, kConfirmNameMax);
    ovk_gui_confirm(g, "Delete the trace \"" + name + "\" and every device recorded along it?",
                    on_delete_confirmed, g);
}

void on_only_flagged(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    st().trips.only_flagged = zq_gui_checkbox_is_checked(g->ctx, st().trips.w_flagged) != 0;
}

constexpr BUTTON_SPEC kTripButtons[] = {
    {"Show on map", "Show the route and the devices heard along it", on_show_on_map},
    {"GPX", "Export the route and devices as GPX", on_export_gpx},
    {"KML", "Export as KML (Google Earth)", on_export_kml},
    {"GeoJSON", "Export as GeoJSON", on_export_geojson},
    {"Devices CSV", "Export the devices heard as CSV", on_export_csv},
    {"Delete", "Delete the selected trace", on_delete},
};

}  // namespace

void ovk_trips_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    TRIPS_STATE& t = st().trips;
    t.win = t.w_info = t.w_grid = t.w_name = t.w_flagged = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_TRIPS, "Traces", 980, 760);
    if (win < 0) return;
    t.win = win;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_TRIPS, &cw, &ch);
    const float p = ovk_pad(g), rh = ovk_row_h(g);

    // The label is made as tall as the longer of its two texts.
    float y = p, h = 0;
    t.w_info = ovk_add_wrapped_label(g, win, g->font, kNoTraces, p, y, cw - 2 * p, &h);
    y += h + p / 2;
    y = button_row(g, win, y, cw, kTripButtons, t.actions);

    t.w_flagged = zq_gui_add_checkbox(g->ctx, win, p, y, cw - 2 * p, rh,
                                      "Exports include flagged devices only", t.only_flagged,
                                      on_only_flagged, g);
    zq_gui_set_widget_tooltip(g->ctx, t.w_flagged, "Leave unchecked to export every device heard");
    y += rh + p / 2;

    const float rename_w = static_cast<float>(al_get_text_width(g->font, "Rename")) + 3 * p;
    t.w_name = zq_gui_add_textarea(g->ctx, win, p, y, cw - 3 * p - rename_w, rh, 0, kRenameMax,
                                   nullptr, nullptr);
    zq_gui_textarea_set_placeholder(g->ctx, t.w_name, "New name for the selected trace");
    zq_gui_set_widget_tooltip(g->ctx, t.w_name, "Type a name, then press Rename");
    const int rename = zq_gui_add_button(g->ctx, win, cw - p - rename_w, y, rename_w, rh, "Rename",
                                         1, on_rename, g);
    zq_gui_set_widget_tooltip(g->ctx, rename, "Rename the selected trace");
    t.actions.push_back(rename);
    y += rh + p;

    const float gh = std::max(ch - y - p, 4 * rh);
    t.compact = cw < ovk_px(g, kCompactW);
    t.w_grid = add_grid(g, win, p, y, cw - 2 * p, gh, trip_columns(t.compact), on_trip_selected,
                        "Recorded traces, newest first");
    trips_fill(g);
}

void ovk_trips_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (st().trips.win < 0 || g->popup[OVK_POP_TRIPS] < 0) ovk_trips_build(g);
    // A fresh look: nothing selected.
    st().trips.selected_id = 0;
    zq_gui_textarea_set_text(g->ctx, st().trips.w_name, "");
    trips_reload(g);
    ovk_gui_open_popup(g, OVK_POP_TRIPS);
}

void ovk_trips_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    trips_reload(g);
}

void ovk_trips_tick(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    TRIPS_STATE& t = st().trips;
    const uint64_t serial = ovk_port_serial(g, kTripsView);
    if (serial == t.seen) return;
    t.seen = serial;
    const auto* now = std::any_cast<std::vector<OVK_TRIP>>(ovk_port_view(g, kTripsView));
    if (!now || (*now == t.trips && t.read)) return;
    t.trips = *now;
    trips_fill(g);
}

// ---------------------------------------------------------------------------------------
// 3. Match log
// ---------------------------------------------------------------------------------------

namespace {

constexpr COLUMN kLogColumns[] = {
    {"Time", 0.15f, 0},    {"Match", 0.30f, 1}, {"Category", 0.12f, 2}, {"Conf.", 0.06f, 3},
    {"Address", 0.15f, 4}, {"dBm", 0.05f, 5},   {"Position", 0.15f, 6},
};
constexpr COLUMN kLogColumnsCompact[] = {
    {"Time", 0.36f, 0},
    {"Match", 0.46f, 1},
    {"Conf.", 0.18f, 3},
};

std::span<const COLUMN> log_columns(bool compact) {
    if (compact) return kLogColumnsCompact;
    return kLogColumns;
}

bool contains_folded(std::string_view hay, std::string_view folded_needle) {
    if (folded_needle.empty()) return true;
    if (hay.size() < folded_needle.size()) return false;
    const auto fold = [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    for (size_t i = 0; i + folded_needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < folded_needle.size() && fold(hay[i + k]) == folded_needle[k]) ++k;
        if (k == folded_needle.size()) return true;
    }
    return false;
}

bool log_filtered() {
    return st().log.category >= 0 || !trim(st().log.query).empty();
}

// st().log.kept from st().log.rows and the filter.
void log_apply_filter() {
    LOG_STATE& l = st().log;
    std::string q = trim(l.query);
    for (char& c : q) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    l.kept.clear();
    const std::vector<OVK_DETECTION>& rows = log_rows();
    l.kept.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const OVK_DETECTION& d = rows[i];
        if (l.category >= 0 && d.category != l.category) continue;
        if (!q.empty() && !contains_folded(d.label, q) && !contains_folded(d.mac, q) &&
            !contains_folded(d.vendor, q) && !contains_folded(d.device_name, q) &&
            !contains_folded(d.evidence, q))
            continue;
        l.kept.push_back(i);
    }
}

// The grid (the first 2000 rows the filter keeps) and the info label.
void log_fill(OVK_GUI* g) {
    LOG_STATE& l = st().log;
    if (l.w_grid < 0) return;
    zq_gui_datagrid_clear_rows(g->ctx, l.w_grid);
    // Until the port has read the log there is nothing to show, nor to export.
    l.read = l.loaded && ovk_port_arrived(g, kLogView);
    set_enabled(g, l.exports, l.read);
    if (!l.read) {
        ovk_label_set_read(g, l.w_info, false, {});
        return;
    }
    const size_t shown = std::min(l.kept.size(), kLogRowsShown);
    int keep = -1;
    for (size_t k = 0; k < shown; ++k) {
        const OVK_DETECTION& d = log_rows()[l.kept[k]];
        const std::string pos =
            d.has_pos ? ovk_format(64, "%.5f, %.5f", d.lat, d.lon) : std::string();
        const int row = zq_gui_datagrid_add_row(
            g->ctx, l.w_grid,
            pick({minute_text(d.timestamp),
                  // A fleet sensor's match names the sensor.
                  d.sensor.empty() ? d.label : d.sensor + ": " + d.label, ovk_cat_tag(d.category),
                  ovk_format(16, "%d%%", d.confidence), d.mac, ovk_format(16, "%d", d.rssi), pos},
                 log_columns(l.compact)));
        ALLEGRO_COLOR c = ovk_ink(g, ovk_cat_color(d.category));
        zq_gui_datagrid_set_row_color(g->ctx, l.w_grid, row,
                                      al_map_rgba_f(c.r * 0.25f, c.g * 0.25f, c.b * 0.25f, 0.25f));
        if (d.id == l.selected_id) keep = row;
    }
    if (keep >= 0) {
        zq_gui_datagrid_set_selected(g->ctx, l.w_grid, keep);
        zq_gui_datagrid_scroll_to_row(g->ctx, l.w_grid, keep);
    } else {
        l.selected_id = 0;
    }
    const int n = static_cast<int>(log_rows().size());
    std::string info =
        ovk_format(128, "%d logged match%s (one row per device per 30 s)", n, n == 1 ? "" : "es");
    if (log_filtered()) info += ovk_format(64, " - %zu after filtering", l.kept.size());
    if (l.kept.size() > kLogRowsShown) info += " - newest 2000 shown";
    ovk_label_set_read(g, l.w_info, true, info);
}

// Asks the port for the log when it differs from the rows loaded: another count, or another
// newest detection (a clear followed by as many new matches as there were). The view is null
// when nothing changed.
void log_reload(OVK_GUI* g, bool force) {
    const bool loaded = st().log.loaded && !force;
    const size_t n = log_rows().size();
    const int64_t newest_ts = n ? log_rows().front().timestamp : 0;
    const int64_t newest_id = n ? log_rows().front().id : 0;
    ovk_port_ask(g, kLogView, [loaded, n, newest_ts, newest_id] {
        if (loaded && static_cast<int>(n) == ovk_store_detection_count()) {
            if (n == 0) return std::any(LOG_ROWS());
            const std::vector<OVK_DETECTION> newest = ovk_store_detections(newest_ts);
            if (!newest.empty() && newest.front().id == newest_id) return std::any(LOG_ROWS());
        }
        return std::any(
            LOG_ROWS(std::make_shared<const std::vector<OVK_DETECTION>>(ovk_store_detections(0))));
    });
}

const OVK_DETECTION* log_row(int row) {
    if (row < 0 || static_cast<size_t>(row) >= st().log.kept.size()) return nullptr;
    return &log_rows()[st().log.kept[static_cast<size_t>(row)]];
}

void on_log_selected(int, int row, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const OVK_DETECTION* d = log_row(row);
    if (!d) return;
    st().log.selected_id = d->id;
    ovk_gui_message(g, "%s - %s", d->label.c_str(), d->evidence.c_str());
}

void on_log_search(int, const char* text, void* user) {
    st().log.query = text ? text : "";
    log_apply_filter();
    log_fill(static_cast<OVK_GUI*>(user));
}

void on_log_category(int, int index, void* user) {
    st().log.category = index >= 1 && index <= OVK_CAT_COUNT ? index - 1 : -1;
    log_apply_filter();
    log_fill(static_cast<OVK_GUI*>(user));
}

void export_log(OVK_GUI* g, OVK_EXPORT_FORMAT fmt) {
    if (!st().log.read) return;  // the log is being read
    if (st().log.kept.empty()) {
        ovk_gui_message(g, "Nothing to export");
        return;
    }
    // A filtered export holds part of the log, and says so.
    const std::string what = log_filtered() ? ovk_format(96, "%zu of %zu rows (filtered)",
                                                         st().log.kept.size(), log_rows().size())
                                            : std::string();
    const std::string dir = ovk_platform_export_dir();
    ovk_port_post(g, [rows = st().log.rows, kept = st().log.kept, fmt, what, dir]() -> std::string {
        // The rows the filter keeps (every row without a filter), newest first.
        std::vector<OVK_DETECTION> out;
        out.reserve(kept.size());
        for (size_t i : kept) out.push_back((*rows)[i]);
        const bool positioned =
            std::any_of(out.begin(), out.end(), [](const OVK_DETECTION& d) { return d.has_pos; });
        std::optional<std::string> text;
        switch (fmt) {
            case OVK_FMT_CSV:
                text = ovk_export_log_csv(out);
                break;
            case OVK_FMT_JSON:
                text = ovk_export_log_json(out);
                break;
            case OVK_FMT_GPX:
            case OVK_FMT_KML:
                // A map file without a single point is no export.
                if (!positioned)
                    return "No GPS-tagged matches yet - turn on GPS tagging in Settings";
                text = fmt == OVK_FMT_GPX ? ovk_export_log_gpx(out) : ovk_export_log_kml(out);
                break;
            case OVK_FMT_GEOJSON:
                return {};
        }
        return save_export(text, dir, "matches", ovk_export_ext(fmt), ovk_export_mime(fmt), what);
    });
}

void on_log_csv(int, void* user) {
    export_log(static_cast<OVK_GUI*>(user), OVK_FMT_CSV);
}
void on_log_json(int, void* user) {
    export_log(static_cast<OVK_GUI*>(user), OVK_FMT_JSON);
}
void on_log_gpx(int, void* user) {
    export_log(static_cast<OVK_GUI*>(user), OVK_FMT_GPX);
}
void on_log_kml(int, void* user) {
    export_log(static_cast<OVK_GUI*>(user), OVK_FMT_KML);
}

void on_clear_confirmed(void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    ovk_port_clear_matches(g);
    log_reload(g, true);  // made after the clear
}

void on_clear_log(int, void* user) {
    ovk_gui_confirm(static_cast<OVK_GUI*>(user),
                    "Delete every logged match? This cannot be undone.", on_clear_confirmed, user);
}

constexpr BUTTON_SPEC kLogButtons[] = {
    {"CSV", "Export the match log as CSV", on_log_csv},
    {"JSON", "Export as JSON", on_log_json},
    {"GPX", "Export positioned matches as GPX waypoints", on_log_gpx},
    {"KML", "Export positioned matches as KML", on_log_kml},
    {"Clear log", "Delete every logged match", on_clear_log},
};

}  // namespace

void ovk_log_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    LOG_STATE& l = st().log;
    l.win = l.w_info = l.w_grid = l.w_search = l.w_category = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_LOG, "Match log", 1100, 800);
    if (win < 0) return;
    l.win = win;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_LOG, &cw, &ch);
    const float p = ovk_pad(g), rh = ovk_row_h(g);

    // Tall enough for the longest the info text gets.
    float y = p, h = 0;
    l.w_info = ovk_add_wrapped_label(
        g, win, g->font,
        "100000 logged matches (one row per device per 30 s) - 100000 after filtering - newest "
        "2000 shown",
        p, y, cw - 2 * p, &h);
    y += h + p / 2;
    y = button_row(g, win, y, cw, kLogButtons, l.exports);
    l.exports.pop_back();  // "Clear log" empties the log, whatever was read of it

    // The filter: a text and a kind of equipment, side by side or, when narrow, one above the
    // other.
    l.compact = cw < ovk_px(g, kCompactW);
    const float cat_w = l.compact ? cw - 2 * p : std::min(ovk_px(g, 300), (cw - 3 * p) / 2);
    const float search_w = l.compact ? cw - 2 * p : cw - 3 * p - cat_w;
    l.w_search = zq_gui_add_textarea(g->ctx, win, p, y, search_w, rh, 0, 80, on_log_search, g);
    zq_gui_textarea_set_placeholder(g->ctx, l.w_search,
                                    "Filter by name, address, vendor or evidence");
    zq_gui_set_widget_tooltip(g->ctx, l.w_search,
                              "Show only the matches whose name, address, vendor or evidence "
                              "holds this text");
    zq_gui_textarea_set_text(g->ctx, l.w_search, l.query);
    if (l.compact) y += rh + p / 2;
    l.w_category =
        zq_gui_add_combobox(g->ctx, win, cw - p - cat_w, y, cat_w, rh, on_log_category, g);
    zq_gui_combobox_add_item(g->ctx, l.w_category, "Every kind of equipment");
    for (int c = 0; c < OVK_CAT_COUNT; ++c)
        zq_gui_combobox_add_item(g->ctx, l.w_category, ovk_cat_title(c));
    zq_gui_combobox_set_selected(g->ctx, l.w_category, l.category + 1);
    zq_gui_set_widget_tooltip(g->ctx, l.w_category, "Show only one kind of equipment");
    y += rh + p;

    const float gh = std::max(ch - y - p, 4 * rh);
    l.w_grid = add_grid(g, win, p, y, cw - 2 * p, gh, log_columns(l.compact), on_log_selected,
                        "Every logged match, newest first; select a row to read its evidence");
    // Seven columns: times, addresses and positions fit whole in the small font.
    if (g->font_small) zq_gui_set_widget_font(g->ctx, l.w_grid, g->font_small);
    log_fill(g);
}

void ovk_log_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (st().log.win < 0 || g->popup[OVK_POP_LOG] < 0) ovk_log_build(g);
    st().log.selected_id = 0;
    log_reload(g, true);  // every opening shows the log as it is now
    ovk_gui_open_popup(g, OVK_POP_LOG);
}

void ovk_log_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    log_reload(g, false);
}

void ovk_log_tick(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    LOG_STATE& l = st().log;
    const uint64_t serial = ovk_port_serial(g, kLogView);
    if (serial == l.seen) return;
    l.seen = serial;
    const auto* rows = std::any_cast<LOG_ROWS>(ovk_port_view(g, kLogView));
    if (!rows || (!*rows && l.read)) return;  // unchanged
    if (*rows) {
        l.rows = *rows;
        l.loaded = true;
        log_apply_filter();
    }
    log_fill(g);
}
