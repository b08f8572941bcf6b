// SPDX-License-Identifier: GPL-3.0-or-later
// The map screen.
//
// Index
//   1. State
//   2. Build
//   3. Refresh: the tick, the status line, the camera download's outcome
//   4. Drawing: markers, labels, hit boxes
//   5. Commands: buttons, clicks, the camera download, show calls
//
// Everything the map shows of the engine is read by the frame's engine port, never on the
// interface thread: the user's position, whether a trace records and its points, the detection
// log's serial (a "live" view asked a few times a second), the fleet's marks, the cached
// cameras, and a stored trip opened on the map. The screen keeps the last copy of each until
// the next arrives, so the map never waits and never flashes empty between two. The devices
// are the frame's own copy, taken by the main screen. Recording a trace is a job of the port.
//
// The plate-camera download runs on one detached worker. It shares only a DOWNLOAD record
// with the screen, held by both through a shared_ptr, so the record outlives whichever of
// the two finishes last. At shutdown the screen cancels HTTP transfers in progress and waits
// up to three seconds for the worker to finish, so that it is not inside the HTTP client
// while the program tears the platform down.
#include "ovk_gui_map.h"

#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <any>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_export.h"
#include "ovk_gui.h"
#include "ovk_gui_port.h"
#include "ovk_gui_theme.h"
#include "ovk_linux_http.h"
#include "ovk_pipeline.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

enum HIT_KIND : int { HIT_DEVICE = 1, HIT_CAMERA = 2, HIT_TRIPDEV = 3, HIT_FLEET = 4 };

constexpr int kHitsMax = 512;
constexpr int kLabelsMax = 64;
constexpr uint32_t kCameraRed = 0xFFB3261Eu;
constexpr uint32_t kUserBlue = 0xFF1A73E8u;
constexpr double kCamerasReloadS = 30;
constexpr double kPrefsSaveS = 10;
// Fleet sensors' detections of the last hour are drawn, the newest of each device and sensor.
constexpr const char* kFleetView = "map.fleet";
constexpr int64_t kFleetWindowMs = 3600000;
constexpr size_t kFleetMax = 300;
constexpr double kFleetAskS = 30;  // asked again this often even when the log is unchanged
constexpr const char* kLiveView = "map.live";
constexpr double kLiveAskS = 0.25;  // the position and the trace are looked at this often
constexpr double kLiveWaitS = 2;    // asked again when no answer came for this long
constexpr double kPointsAskS = 1;   // the recording trace is copied at most this often
constexpr const char* kCamsView = "map.cams";

// What the map reads of the engine on every look, made on the port's worker.
struct LIVE {
    std::optional<OVK_LOCATION> fix;  // the last fix, however old
    bool recording = false;           // a trace records
    bool scanning = false;            // scanning was asked for
    uint64_t log_serial = 0;          // the detection log's serial
    // The recording trace when it was read this time (at most once a second), else null.
    std::shared_ptr<const std::vector<OVK_TRIP_POINT>> points;
};

// A stored trip opened on the map, read on the port's worker.
struct TRIP_VIEW {
    OVK_TRIP trip;
    std::vector<OVK_TRIP_POINT> points;
    std::vector<OVK_TRIP_DEVICE> devices;
};

// A fleet sensor's detection with a position.
struct FLEET_MARK {
    std::string sensor, label, mac;
    OVK_CATEGORY category = OVK_CAT_CUSTOM;
    int confidence = 0;
    int64_t time = 0;
    double lat = 0, lon = 0;
};

// The camera download, shared by the screen and its worker.
struct DOWNLOAD {
    std::mutex mu;
    std::condition_variable cv;
    bool running = false;
    bool done = false;  // finished and not reported yet
    int result = 0;
    std::string error;
    std::shared_ptr<const std::vector<OVK_CAMERA>> cams;  // the cache after the download
    double south = 0, west = 0, north = 0, east = 0;
};

struct RECT {
    float x0, y0, x1, y1;
};

struct MAP_STATE {
    OVK_GUI* g = nullptr;
    bool started = false;  // the view was placed (first build)
    OVK_MAPVIEW mv;
    std::string title = "Map";

    std::vector<OVK_HITBOX> hits;
    std::vector<RECT> labels;

    std::shared_ptr<const std::vector<OVK_CAMERA>> cams;  // as the port last read them
    double cams_loaded_s = -1e9;
    int cams_in_view = 0;

    uint64_t cams_taken = 0;  // serial of the port's camera view shown

    bool trip_mode = false;
    std::shared_ptr<const TRIP_VIEW> trip;  // the trip shown (never null in trip mode)
    uint64_t trip_asks = 0;                 // counts the trips asked for and the live map shown
    uint64_t trip_wanted = 0;               // the trip ask still to be shown (0: none)

    // The live view as last taken.
    std::optional<OVK_LOCATION> fix;
    bool recording = false;
    bool scanning = false;
    uint64_t log_serial = 0;
    std::shared_ptr<const std::vector<OVK_TRIP_POINT>> live_points;  // the recording trace
    uint64_t live_taken = 0;    // serial of the port's live view taken
    bool live_waiting = false;  // asked, not answered yet
    double live_asked_s = -1e9;
    double points_asked_s = -1e9;
    bool live_fresh = false;     // a live view arrived since the map was shown
    bool mypos_pending = false;  // "My position" waits for it

    bool has_target = false;
    double target_lat = 0, target_lon = 0;

    std::vector<FLEET_MARK> fleet;  // as the port last made them, newest first
    uint64_t fleet_log = 0;         // the detection log's serial when last asked
    double fleet_asked_s = -1e9;
    uint64_t fleet_taken = 0;  // serial of the port's view shown

    std::shared_ptr<DOWNLOAD> dl = std::make_shared<DOWNLOAD>();

    double prefs_saved_s = -1e9;

    int w_status = -1, w_mypos = -1, w_alpr = -1, w_trace = -1, w_tiles = -1, w_map = -1;
};

MAP_STATE& st() {
    static MAP_STATE s;
    return s;
}

const std::vector<OVK_CAMERA>& cameras() {
    static const std::vector<OVK_CAMERA> none;
    return st().cams ? *st().cams : none;
}

void on_mypos(int, void* user);
void on_zoom_in(int, void* user);
void on_zoom_out(int, void* user);
void on_alpr(int, void* user);
void on_trace(int, void* user);
void on_tiles(int, void* user);
void draw_map(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT* font, void* user);
int on_map_mouse(int id, const ZQ_GUI_MOUSE_EVENT* ev, void* user);

const char* trace_label() {
    return st().recording ? "Stop trace" : "Record trace";
}

// The trace button's tooltip says what the button does now.
const char* trace_tip() {
    return st().recording ? "Stop recording and keep the trace (see Traces)"
                          : "Record your route and every device heard along it";
}

const char* tiles_label(const OVK_GUI* g) {
    return g->prefs.map_tiles ? "Tiles: on" : "Tiles: off";
}

float tile_px_for(const OVK_GUI* g) {
    return g->scale >= 1 ? OVK_TILE_SIZE * std::min(g->scale, 2.0f) : OVK_TILE_SIZE;
}

// Asks for the cached cameras; they show when the port has read them.
void reload_cameras(OVK_GUI* g) {
    MAP_STATE& s = st();
    s.cams_loaded_s = g->now_s;
    ovk_port_ask(g, kCamsView, [] {
        return std::any(std::make_shared<const std::vector<OVK_CAMERA>>(ovk_alpr_cameras()));
    });
}

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

// The first use: the stored map position, or the whole world following the user.
void place_view(OVK_GUI* g) {
    MAP_STATE& s = st();
    s.started = true;
    const OVK_PREFS& p = g->prefs;
    s.mv.lat = p.map_lat;
    s.mv.lon = p.map_lon;
    s.mv.zoom = p.map_zoom > 0 ? p.map_zoom : 15;
    s.mv.zoom = std::clamp(s.mv.zoom, OVK_MAP_ZOOM_MIN, OVK_MAP_ZOOM_MAX);
    if (p.map_lat == 0 && p.map_lon == 0) {
        s.mv.zoom = 3;
        s.mv.follow = 1;
    }
    s.mv.tile_px = tile_px_for(g);
    ovk_mapview_init(ovk_platform_data_dir());
}

}  // namespace

void ovk_map_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    MAP_STATE& s = st();
    s.g = g;
    s.w_status = s.w_mypos = s.w_alpr = s.w_trace = s.w_tiles = s.w_map = -1;
    if (!s.started) place_view(g);
    g->map_view = s.mv;
    const int win = ovk_gui_popup_window(g, OVK_POP_MAP, s.title, 1400, 1000);
    if (win < 0) return;
    const bool touch = ovk_platform_uses_touch() != 0;
    zq_gui_window_set_flags(g->ctx, win, ZQ_GUI_WIN_CLOSE_BTN | (touch ? ZQ_GUI_WIN_FLAG_40 : 0));
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_MAP, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);

    // The button row, wrapping; a button whose label changes is as wide as its longest.
    struct BTN {
        const char* label;
        const char* longest;
        const char* tip;
        ZQ_GUI_CLICK_FN fn;
        int* id;
    };
    int plus = -1, minus = -1;
    const BTN buttons[] = {
        {"My position", "My position", "Centre on your position and follow it", on_mypos,
         &s.w_mypos},
        {"+", "+", "Zoom in (mouse wheel works too)", on_zoom_in, &plus},
        {"-", "-", "Zoom out", on_zoom_out, &minus},
        {"Plate cameras here", "Plate cameras here",
         "Download the plate readers mapped in OpenStreetMap for the area on screen", on_alpr,
         &s.w_alpr},
        {trace_label(), "Record trace", trace_tip(), on_trace, &s.w_trace},
        {tiles_label(g), "Tiles: off",
         "Download OpenStreetMap tiles (off = plain grid, nothing downloaded)", on_tiles,
         &s.w_tiles},
    };
    float bx = p, by = p;
    for (const BTN& b : buttons) {
        const float tw = static_cast<float>(al_get_text_width(g->font, b.longest));
        const float bw = std::max(r, tw + 3 * p);
        if (bx > p && bx + bw > cw - p) {
            bx = p;
            by += r + p / 2;
        }
        *b.id = zq_gui_add_button(g->ctx, win, bx, by, bw, r, b.label, 1, b.fn, g);
        zq_gui_set_widget_tooltip(g->ctx, *b.id, b.tip);
        bx += bw + p / 2;
    }
    by += r + p / 2;
    const ALLEGRO_FONT* small = g->font_small ? g->font_small : g->font;
    const float sh = static_cast<float>(al_get_font_line_height(small)) + 6 * g->scale;
    s.w_status = zq_gui_add_label(g->ctx, win, p, by, cw - 2 * p, sh, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(g->ctx, s.w_status, g->font_small);
    by += sh + p / 2;
    s.w_map =
        zq_gui_add_custom(g->ctx, win, p, by, cw - 2 * p, std::max(r, ch - by - p), draw_map, g);
    zq_gui_custom_set_mouse(g->ctx, s.w_map, on_map_mouse, g);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

namespace {

void set_status(OVK_GUI* g) {
    MAP_STATE& s = st();
    char text[256];
    if (s.trip_mode && s.trip) {
        const TRIP_VIEW& t = *s.trip;
        int flagged = 0;
        for (const OVK_TRIP_DEVICE& d : t.devices) flagged += d.category >= 0;
        std::snprintf(text, sizeof text,
                      "%.1f km - %d points - %d devices, %d flagged - tap a dot for details",
                      t.trip.distance_m / 1000, static_cast<int>(t.points.size()),
                      static_cast<int>(t.devices.size()), flagged);
    } else {
        bool running;
        {
            std::lock_guard<std::mutex> lock(s.dl->mu);
            running = s.dl->running;
        }
        const int n = static_cast<int>(cameras().size());
        const std::string trouble = g->prefs.map_tiles ? ovk_mapview_trouble() : std::string();
        // The cached cameras are counted once read.
        const std::string cams = ovk_port_arrived(g, kCamsView)
                                     ? ovk_format(96, "%d known plate camera%s cached, %d in view",
                                                  n, n == 1 ? "" : "s", s.cams_in_view)
                                     : std::string(OVK_READING);
        std::snprintf(text, sizeof text, "Zoom %.1f - %s%s%s%s", s.mv.zoom, cams.c_str(),
                      running ? " - downloading..." : "", trouble.empty() ? "" : " - ",
                      trouble.c_str());
    }
    if (zq_gui_label_get_text(g->ctx, s.w_status) != text)
        zq_gui_label_set_text(g->ctx, s.w_status, text);
}

// The fleet's recent detections with a position, from the log (on the port's worker).
std::vector<FLEET_MARK> fleet_marks(int64_t now) {
    std::vector<FLEET_MARK> out;
    std::unordered_set<std::string> seen;
    for (const OVK_DETECTION& d : ovk_store_detections(now - kFleetWindowMs)) {
        if (d.sensor.empty() || !d.has_pos || out.size() >= kFleetMax) continue;
        if (!seen.insert(d.sensor + '\n' + d.mac).second) continue;  // an older one
        FLEET_MARK m;
        m.sensor = d.sensor;
        m.label = d.label;
        m.mac = d.mac;
        m.category = d.category;
        m.confidence = d.confidence;
        m.time = d.timestamp;
        m.lat = d.lat;
        m.lon = d.lon;
        out.push_back(std::move(m));
    }
    return out;
}

// Asks for the fleet's marks when the log changed (as the live view last told) or a while
// passed, so that old ones leave; takes those that arrived.
void take_fleet(OVK_GUI* g) {
    MAP_STATE& s = st();
    const uint64_t log = s.log_serial;
    if (log != s.fleet_log || g->now_s - s.fleet_asked_s >= kFleetAskS) {
        s.fleet_log = log;
        s.fleet_asked_s = g->now_s;
        ovk_port_ask(g, kFleetView, [] { return std::any(fleet_marks(ovk_now_ms())); });
    }
    const uint64_t serial = ovk_port_serial(g, kFleetView);
    if (serial == s.fleet_taken) return;
    s.fleet_taken = serial;
    if (const auto* v = std::any_cast<std::vector<FLEET_MARK>>(ovk_port_view(g, kFleetView))) {
        s.fleet = *v;
        g->redraw = true;
    }
}

// The live view (on the port's worker); the trace only when `with_points`.
LIVE make_live(bool with_points) {
    LIVE l;
    l.fix = ovk_pipeline_location_get();
    l.recording = ovk_trip_is_recording() != 0;
    l.scanning = ovk_scan_is_running() != 0;
    l.log_serial = ovk_store_log_serial();
    if (with_points && l.recording)
        l.points = std::make_shared<const std::vector<OVK_TRIP_POINT>>(ovk_trip_live_points());
    return l;
}

void ask_live(OVK_GUI* g) {
    MAP_STATE& s = st();
    const bool with_points = !s.trip_mode && g->now_s - s.points_asked_s >= kPointsAskS;
    if (with_points) s.points_asked_s = g->now_s;
    s.live_asked_s = g->now_s;
    s.live_waiting = true;
    ovk_port_ask(g, kLiveView, [with_points] {
        return std::any(std::make_shared<const LIVE>(make_live(with_points)));
    });
}

// "My position": centre on the fix and follow it, or say why there is none.
void go_to_fix(OVK_GUI* g) {
    MAP_STATE& s = st();
    if (!s.fix) {
        ovk_gui_message(g, s.scanning ? "Waiting for a location fix (GPS)"
                                      : "Start scanning to get your position");
        return;
    }
    s.mv.lat = s.fix->lat;
    s.mv.lon = s.fix->lon;
    s.mv.follow = 1;
    if (s.mv.zoom < 14) s.mv.zoom = 16;
    g->redraw = true;
}

// Takes the live view that arrived, and asks for the next when it is time. The map is drawn
// again when the user's position moved or the trace grew.
void take_live(OVK_GUI* g) {
    MAP_STATE& s = st();
    const uint64_t serial = ovk_port_serial(g, kLiveView);
    if (serial != s.live_taken) {
        s.live_taken = serial;
        s.live_waiting = false;
        const auto* v = std::any_cast<std::shared_ptr<const LIVE>>(ovk_port_view(g, kLiveView));
        if (v && *v) {
            const LIVE& l = **v;
            const std::optional<OVK_LOCATION>& was = s.fix;
            const bool moved =
                was.has_value() != l.fix.has_value() ||
                (was && l.fix &&
                 (was->lat != l.fix->lat || was->lon != l.fix->lon ||
                  was->bearing_deg != l.fix->bearing_deg || was->accuracy_m != l.fix->accuracy_m));
            s.fix = l.fix;
            s.recording = l.recording;
            s.scanning = l.scanning;
            s.log_serial = l.log_serial;
            if (!l.recording)
                s.live_points.reset();
            else if (l.points)
                s.live_points = l.points;
            if (moved || l.points) g->redraw = true;
            s.live_fresh = true;
            if (s.mypos_pending) {
                s.mypos_pending = false;
                go_to_fix(g);
            }
        }
    }
    if (g->now_s - s.live_asked_s >= (s.live_waiting ? kLiveWaitS : kLiveAskS)) ask_live(g);
}

// The cached cameras the port read, when new ones arrived.
void take_cameras(OVK_GUI* g) {
    MAP_STATE& s = st();
    const uint64_t serial = ovk_port_serial(g, kCamsView);
    if (serial == s.cams_taken) return;
    s.cams_taken = serial;
    const auto* v =
        std::any_cast<std::shared_ptr<const std::vector<OVK_CAMERA>>>(ovk_port_view(g, kCamsView));
    if (v && *v) {
        s.cams = *v;
        g->redraw = true;
    }
}

// The view's place goes into the preferences when it moved, at most every 10 s.
void store_position(OVK_GUI* g) {
    MAP_STATE& s = st();
    if (g->now_s - s.prefs_saved_s < kPrefsSaveS) return;
    const OVK_PREFS& p = g->prefs;
    const int z = static_cast<int>(std::floor(s.mv.zoom));
    if (std::fabs(s.mv.lat - p.map_lat) <= 0.01 && std::fabs(s.mv.lon - p.map_lon) <= 0.01 &&
        z == p.map_zoom)
        return;
    s.prefs_saved_s = g->now_s;
    // Written by the port (the frame takes the new settings in on its tick): a settings file
    // on a slow card would stall the map every ten seconds while it follows the user.
    ovk_port_post(g, [lat = s.mv.lat, lon = s.mv.lon, z] {
        return std::string(
            ovk_prefs_set_map_place(lat, lon, z) == 0 ? "" : "Settings could not be saved to disk");
    });
}

}  // namespace

void ovk_map_update(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    MAP_STATE& s = st();
    s.g = g;
    // The map is drawn again only when something on it changed: the view (input sets it),
    // tiles that arrived or wait on disk, the user's position and what the port brought;
    // devices and status change with the frame's half-second refresh.
    take_live(g);
    take_cameras(g);
    if (ovk_mapview_wants_draw()) g->redraw = true;
    {
        std::unique_lock<std::mutex> lock(s.dl->mu);
        if (s.dl->done) {
            s.dl->done = false;
            const int result = s.dl->result;
            const std::string error = s.dl->error;
            std::shared_ptr<const std::vector<OVK_CAMERA>> cams = std::move(s.dl->cams);
            lock.unlock();
            if (result < 0)
                ovk_gui_message(g, "Download failed: %s",
                                error.empty() ? "network error" : error.c_str());
            else
                ovk_gui_message(g, "%d plate camera%s in this area (cached on this device)", result,
                                result == 1 ? "" : "s");
            if (cams) {
                s.cams = std::move(cams);
                s.cams_loaded_s = g->now_s;
                g->redraw = true;
            }
        }
    }
    if (g->now_s - s.cams_loaded_s >= kCamerasReloadS) reload_cameras(g);
    take_fleet(g);
    set_status(g);
    if (zq_gui_button_get_label(g->ctx, s.w_trace) != trace_label()) {
        zq_gui_button_set_label(g->ctx, s.w_trace, trace_label());
        zq_gui_set_widget_tooltip(g->ctx, s.w_trace, trace_tip());
    }
    if (zq_gui_button_get_label(g->ctx, s.w_tiles) != tiles_label(g))
        zq_gui_button_set_label(g->ctx, s.w_tiles, tiles_label(g));
    store_position(g);
    g->map_view = s.mv;
}

// ---------------------------------------------------------------------------------------
// 4. Drawing
// ---------------------------------------------------------------------------------------

namespace {

void add_hit(float x, float y, int kind, std::string key) {
    MAP_STATE& s = st();
    if (static_cast<int>(s.hits.size()) >= kHitsMax) return;
    OVK_HITBOX h;
    h.x = x;
    h.y = y;
    h.tag = kind;
    h.key = std::move(key);
    s.hits.push_back(std::move(h));
}

// A boxed label left-aligned at (x, y) (its vertical middle), unless it would cover one
// placed already or the limit is reached.
void place_label(OVK_GUI* g, float x, float y, const std::string& text) {
    MAP_STATE& s = st();
    const ALLEGRO_FONT* f = g->font_small ? g->font_small : g->font;
    if (!f || text.empty() || static_cast<int>(s.labels.size()) >= kLabelsMax) return;
    const float p = 3 * g->scale;
    const float tw = static_cast<float>(al_get_text_width(f, text.c_str()));
    const float th = static_cast<float>(al_get_font_line_height(f));
    const RECT r{x, y - th / 2 - p, x + tw + 2 * p, y + th / 2 + p};
    for (const RECT& o : s.labels)
        if (r.x0 < o.x1 && o.x0 < r.x1 && r.y0 < o.y1 && o.y0 < r.y1) return;
    s.labels.push_back(r);
    al_draw_filled_rectangle(r.x0, r.y0, r.x1, r.y1, al_map_rgba(0, 0, 0, 120));
    al_draw_text(f, ovk_ink(g, 0xFFFFFFFF), r.x0 + p, r.y0 + p, 0, text.c_str());
}

// At most `n` characters (code points) of the text.
// At most n characters; a longer text ends in "..." within them, so a cut shows as one.
std::string cut_chars(const std::string& t, size_t n) {
    auto end_of = [&t](size_t chars) {
        size_t i = 0;
        for (size_t c = 0; i < t.size() && c < chars; ++c)
            i += std::max<size_t>(1, ovk_utf8_seq_len(t, i));
        return std::min(i, t.size());
    };
    if (end_of(n) >= t.size() || n <= 3) return t.substr(0, end_of(n));
    return t.substr(0, end_of(n - 3)) + "...";
}

bool inside(const OVK_MAPVIEW& mv, float x, float y, float margin) {
    return x >= mv.x - margin && x <= mv.x + mv.w + margin && y >= mv.y - margin &&
           y <= mv.y + mv.h + margin;
}

void draw_dot(const OVK_GUI* g, float x, float y, float r, ALLEGRO_COLOR c, bool ring) {
    const float sc = g->scale;
    al_draw_filled_circle(x, y, r, c);
    if (ring) {
        al_draw_circle(x, y, r + 2 * sc, ovk_ink(g, 0xFFFFFFFF), 1.5f * sc);
    } else {
        al_draw_circle(x, y, r, al_map_rgba(0, 0, 0, 140), 1);
    }
}

void draw_cameras(OVK_GUI* g) {
    MAP_STATE& s = st();
    const float sc = g->scale;
    const ALLEGRO_COLOR red = ovk_ink(g, kCameraRed);
    const ALLEGRO_COLOR wedge = ovk_mix(al_map_rgba(0, 0, 0, 0), red, 0.35f);
    constexpr float kPi = 3.14159265f;
    s.cams_in_view = 0;
    const std::vector<OVK_CAMERA>& cams = cameras();
    for (size_t i = 0; i < cams.size(); ++i) {
        const OVK_CAMERA& c = cams[i];
        float x, y;
        ovk_mapview_to_screen(s.mv, c.lat, c.lon, &x, &y);
        if (!inside(s.mv, x, y, 20)) continue;
        ++s.cams_in_view;
        if (c.has_direction) {
            // The direction the camera looks, as a 50-degree wedge.
            const float a = static_cast<float>(c.direction) * kPi / 180, half = 25 * kPi / 180;
            const float len = 30 * sc;
            const float ax = x + len * std::sin(a - half), ay = y - len * std::cos(a - half);
            const float bx = x + len * std::sin(a + half), by = y - len * std::cos(a + half);
            al_draw_filled_triangle(x, y, ax, ay, bx, by, wedge);
            al_draw_line(x, y, x + len * std::sin(a), y - len * std::cos(a), red, 1.5f * sc);
        }
        const float r = 7 * sc;
        al_draw_filled_triangle(x, y - r, x - r, y + r * 0.8f, x + r, y + r * 0.8f, red);
        al_draw_triangle(x, y - r, x - r, y + r * 0.8f, x + r, y + r * 0.8f, ovk_ink(g, 0xFFFFFFFF),
                         1.2f * sc);
        add_hit(x, y, HIT_CAMERA, std::to_string(i));
    }
}

void draw_track(OVK_GUI* g, const std::vector<OVK_TRIP_POINT>& pts, float width) {
    MAP_STATE& s = st();
    if (pts.size() < 2) return;
    std::vector<float> v;
    v.reserve(pts.size() * 2);
    for (const OVK_TRIP_POINT& p : pts) {
        float x, y;
        ovk_mapview_to_screen(s.mv, p.lat, p.lon, &x, &y);
        v.push_back(x);
        v.push_back(y);
    }
    al_draw_polyline(v.data(), 2 * sizeof(float), static_cast<int>(pts.size()),
                     ALLEGRO_LINE_JOIN_ROUND, ALLEGRO_LINE_CAP_ROUND, g->pal.trace, width, 1);
}

void draw_trip(OVK_GUI* g) {
    MAP_STATE& s = st();
    if (!s.trip) return;
    const TRIP_VIEW& t = *s.trip;
    const float sc = g->scale;
    draw_track(g, t.points, 3.5f * sc);
    const ALLEGRO_COLOR grey = ovk_ink(g, 0xFF9E9E9Eu);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < t.devices.size(); ++i) {
            const OVK_TRIP_DEVICE& d = t.devices[i];
            const bool flagged = d.category >= 0;
            if (!d.has_pos || flagged != (pass == 1)) continue;
            float x, y;
            ovk_mapview_to_screen(s.mv, d.lat, d.lon, &x, &y);
            if (!inside(s.mv, x, y, 20)) continue;
            if (flagged)
                draw_dot(g, x, y, 7 * sc, ovk_ink(g, ovk_cat_color(d.category)), true);
            else
                draw_dot(g, x, y, 3.5f * sc, grey, false);
            add_hit(x, y, HIT_TRIPDEV, std::to_string(i));
        }
    }
}

// A fleet sensor's detection: a square in its category's colour, named with its sensor.
void draw_fleet(OVK_GUI* g) {
    MAP_STATE& s = st();
    const float sc = g->scale, r = 6 * sc;
    const ALLEGRO_COLOR white = ovk_ink(g, 0xFFFFFFFF);
    for (size_t i = s.fleet.size(); i-- > 0;) {  // oldest first: the newest on top
        const FLEET_MARK& m = s.fleet[i];
        float x, y;
        ovk_mapview_to_screen(s.mv, m.lat, m.lon, &x, &y);
        if (!inside(s.mv, x, y, 20)) continue;
        al_draw_filled_rectangle(x - r, y - r, x + r, y + r, ovk_ink(g, ovk_cat_color(m.category)));
        al_draw_rectangle(x - r - sc, y - r - sc, x + r + sc, y + r + sc, white, 1.5f * sc);
        place_label(g, x + 10 * sc, y, cut_chars(m.sensor + ": " + m.label, 34));
        add_hit(x, y, HIT_FLEET, std::to_string(i));
    }
}

void draw_devices(OVK_GUI* g) {
    MAP_STATE& s = st();
    const float sc = g->scale;
    for (int pass = 0; pass < 2; ++pass) {
        for (const OVK_DEVICE& d : g->devices) {
            const bool flagged = ovk_device_flagged(d) != 0;
            if (!d.has_best_pos || flagged != (pass == 1)) continue;
            float x, y;
            ovk_mapview_to_screen(s.mv, d.best_pos.lat, d.best_pos.lon, &x, &y);
            if (!inside(s.mv, x, y, 20)) continue;
            const ALLEGRO_COLOR c = ovk_device_color(g, d);
            if (!flagged) {
                draw_dot(g, x, y, 3.5f * sc, c, false);
            } else {
                draw_dot(g, x, y, 8 * sc, c, true);
                if (const OVK_HIT* best = ovk_device_best(d))
                    place_label(g, x + 12 * sc, y, cut_chars(best->label, 30));
            }
            add_hit(x, y, HIT_DEVICE, d.mac);
        }
    }
}

// A dashed line from a to b.
void dashed(float ax, float ay, float bx, float by, ALLEGRO_COLOR c, float width, float dash) {
    const float len = std::hypot(bx - ax, by - ay);
    if (len <= 0) return;
    const float ux = (bx - ax) / len, uy = (by - ay) / len;
    for (float t = 0; t < len; t += 2 * dash) {
        const float e = std::min(len, t + dash);
        al_draw_line(ax + ux * t, ay + uy * t, ax + ux * e, ay + uy * e, c, width);
    }
}

void draw_drones(OVK_GUI* g) {
    MAP_STATE& s = st();
    const float sc = g->scale;
    const ALLEGRO_COLOR c = ovk_ink(g, ovk_cat_color(OVK_CAT_DRONE));
    const ALLEGRO_COLOR white = ovk_ink(g, 0xFFFFFFFF);
    constexpr float kPi = 3.14159265f;
    for (const OVK_DEVICE& d : g->devices) {
        if (!d.rid || !d.rid->has_pos) continue;
        const OVK_REMOTE_ID& rid = *d.rid;
        float x, y;
        ovk_mapview_to_screen(s.mv, rid.lat, rid.lon, &x, &y);
        if (rid.has_op_pos) {
            float ox, oy;
            ovk_mapview_to_screen(s.mv, rid.op_lat, rid.op_lon, &ox, &oy);
            dashed(x, y, ox, oy, c, 2 * sc, 6 * sc);
            const float r = 5 * sc;
            al_draw_filled_rectangle(ox - r, oy - r, ox + r, oy + r, c);
            al_draw_rectangle(ox - r, oy - r, ox + r, oy + r, white, 1.2f * sc);
            place_label(g, ox + 9 * sc, oy, "operator");
        }
        if (rid.has_direction) {
            const float a = static_cast<float>(rid.direction_deg) * kPi / 180;
            al_draw_line(x, y, x + 24 * sc * std::sin(a), y - 24 * sc * std::cos(a), c, 2.5f * sc);
        }
        // A drone: a diamond with a ring.
        const float r = 8 * sc;
        al_draw_filled_triangle(x, y - r, x + r, y, x - r, y, c);
        al_draw_filled_triangle(x, y + r, x + r, y, x - r, y, c);
        al_draw_circle(x, y, r + 2 * sc, white, 1.5f * sc);
        const char* kind = rid.ua_type ? rid.ua_type : "Drone";
        char label[96];
        if (rid.has_height)
            std::snprintf(label, sizeof label, "%s %.0f m", kind, rid.height_m);
        else
            std::snprintf(label, sizeof label, "%s", kind);
        place_label(g, x + 13 * sc, y, label);
        add_hit(x, y, HIT_DEVICE, d.mac);
    }
}

void draw_user(OVK_GUI* g) {
    MAP_STATE& s = st();
    if (!s.fix) return;
    const float sc = g->scale;
    const OVK_LOCATION& f = *s.fix;
    float x, y;
    ovk_mapview_to_screen(s.mv, f.lat, f.lon, &x, &y);
    const ALLEGRO_COLOR blue = ovk_ink(g, kUserBlue);
    if (f.has_accuracy) {
        const double mpp = ovk_mapview_m_per_px(s.mv);
        const float r = mpp > 0 ? static_cast<float>(f.accuracy_m / mpp) : 0;
        if (r > 6 * sc && r < 100000) {
            al_draw_filled_circle(x, y, r, ovk_mix(al_map_rgba(0, 0, 0, 0), blue, 0.18f));
            al_draw_circle(x, y, r, ovk_mix(al_map_rgba(0, 0, 0, 0), blue, 0.6f), 1);
        }
    }
    if (f.has_bearing) {
        const float a = static_cast<float>(f.bearing_deg) * 3.14159265f / 180;
        al_draw_line(x, y, x + 18 * sc * std::sin(a), y - 18 * sc * std::cos(a), blue, 3 * sc);
    }
    al_draw_filled_circle(x, y, 7 * sc, ovk_ink(g, 0xFFFFFFFF));
    al_draw_filled_circle(x, y, 5 * sc, blue);
}

void draw_target(OVK_GUI* g) {
    MAP_STATE& s = st();
    if (!s.has_target) return;
    const float sc = g->scale;
    float x, y;
    ovk_mapview_to_screen(s.mv, s.target_lat, s.target_lon, &x, &y);
    const ALLEGRO_COLOR c = ovk_ink(g, kCameraRed);
    const float r = 14 * sc;
    al_draw_circle(x, y, r, c, 2.5f * sc);
    al_draw_line(x - r - 6 * sc, y, x - r + 5 * sc, y, c, 2 * sc);
    al_draw_line(x + r - 5 * sc, y, x + r + 6 * sc, y, c, 2 * sc);
    al_draw_line(x, y - r - 6 * sc, x, y - r + 5 * sc, c, 2 * sc);
    al_draw_line(x, y + r - 5 * sc, x, y + r + 6 * sc, c, 2 * sc);
}

void draw_map(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    MAP_STATE& s = st();
    if (s.mv.follow && s.fix && !s.trip_mode) {
        s.mv.lat = s.fix->lat;
        s.mv.lon = s.fix->lon;
        if (s.mv.zoom < 12) s.mv.zoom = 16;
    }
    ovk_mapview_draw_base(g, &s.mv, x, y, w->w, w->h, g->prefs.map_tiles != 0);
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    const int x0 = std::max(cx, static_cast<int>(x)), y0 = std::max(cy, static_cast<int>(y));
    const int x1 = std::min(cx + cw, static_cast<int>(x + w->w));
    const int y1 = std::min(cy + ch, static_cast<int>(y + w->h));
    al_set_clipping_rectangle(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
    s.hits.clear();
    s.labels.clear();
    if (g->prefs.show_known_alpr)
        draw_cameras(g);
    else
        s.cams_in_view = 0;
    if (s.trip_mode) {
        draw_trip(g);
    } else {
        if (s.recording && s.live_points) draw_track(g, *s.live_points, 3 * g->scale);
        draw_fleet(g);
        draw_devices(g);
        draw_drones(g);
    }
    draw_user(g);
    draw_target(g);
    al_set_clipping_rectangle(cx, cy, cw, ch);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 5. Commands
// ---------------------------------------------------------------------------------------

namespace {

void on_click_at(OVK_GUI* g, float sx, float sy) {
    MAP_STATE& s = st();
    const OVK_HITBOX* best = nullptr;
    float best_d = 26 * g->scale;
    for (const OVK_HITBOX& h : s.hits) {
        const float d = std::hypot(h.x - sx, h.y - sy);
        if (d <= best_d) {
            best_d = d;
            best = &h;
        }
    }
    if (!best) return;
    switch (best->tag) {
        case HIT_DEVICE:
            // Shown through the detail screen's own show, which loads that device's matches
            // (opening the window alone showed the device picked before until a refresh).
            g->sel_mac = best->key;
            ovk_gui_show_screen(g, OVK_POP_DETAIL);
            break;
        case HIT_CAMERA: {
            const size_t i = std::stoul(best->key);
            if (i >= cameras().size()) break;
            const OVK_CAMERA& c = cameras()[i];
            ovk_gui_message(g, "%s%s%s - %s - OpenStreetMap (surveillance:type=ALPR)",
                            ovk_camera_label(&c).c_str(),
                            c.operator_name.empty() ? "" : ", operated by ",
                            c.operator_name.c_str(), c.osm_id.c_str());
            break;
        }
        case HIT_FLEET: {
            const size_t i = std::stoul(best->key);
            if (i >= s.fleet.size()) break;
            const FLEET_MARK& m = s.fleet[i];
            ovk_gui_message(g, "%s: %s - %d%% - %s - %s", m.sensor.c_str(), m.label.c_str(),
                            m.confidence, m.mac.c_str(),
                            ovk_local_time(m.time).substr(0, 16).c_str());
            break;
        }
        case HIT_TRIPDEV: {
            const size_t i = std::stoul(best->key);
            if (!s.trip || i >= s.trip->devices.size()) break;
            const OVK_TRIP_DEVICE& d = s.trip->devices[i];
            const bool cat = d.category >= 0;
            ovk_gui_message(g, "%s - %s - best %d dBm%s%s", d.label.c_str(), d.mac.c_str(),
                            d.best_rssi, cat ? " - " : "", cat ? ovk_cat_title(d.category) : "");
            break;
        }
        default:
            break;
    }
}

int on_map_mouse(int, const ZQ_GUI_MOUSE_EVENT* ev, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    MAP_STATE& s = st();
    if (ovk_mapview_mouse(g, &s.mv, *ev)) on_click_at(g, s.mv.x + ev->x, s.mv.y + ev->y);
    g->redraw = true;
    return 1;
}

// Done with the position the port last read, or with the next when none was read since the
// map was shown.
void on_mypos(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    MAP_STATE& s = st();
    if (s.live_fresh)
        go_to_fix(g);
    else
        s.mypos_pending = true;
}

void on_zoom_in(int, void* user) {
    ovk_mapview_zoom(&st().mv, 1);
    static_cast<OVK_GUI*>(user)->redraw = true;
}

void on_zoom_out(int, void* user) {
    ovk_mapview_zoom(&st().mv, -1);
    static_cast<OVK_GUI*>(user)->redraw = true;
}

// The button says what it does once the port has started or stopped the trace.
void on_trace(int, void* user) {
    ovk_port_record_trace(static_cast<OVK_GUI*>(user), [](OVK_GUI* g, bool recording) {
        MAP_STATE& s = st();
        s.recording = recording;
        if (!recording) s.live_points.reset();
        // A live view in place now was made before the change: it is passed over, and the
        // next one (with the new trace's first points) asked for.
        s.live_taken = ovk_port_serial(g, kLiveView);
        s.points_asked_s = -1e9;
        ask_live(g);
        if (s.g != g || s.w_trace < 0) return;
        zq_gui_button_set_label(g->ctx, s.w_trace, trace_label());
        zq_gui_set_widget_tooltip(g->ctx, s.w_trace, trace_tip());
    });
}

void on_tiles(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    OVK_PREFS p = g->prefs;
    p.map_tiles = !p.map_tiles;
    ovk_gui_set_prefs(g, p);
    zq_gui_button_set_label(g->ctx, st().w_tiles, tiles_label(g));
}

// The worker: one download, its outcome handed over in the shared record.
void download_worker(std::shared_ptr<DOWNLOAD> dl) {
    std::string err;
    int result = -1;
    std::shared_ptr<const std::vector<OVK_CAMERA>> cams;
    try {
        result = ovk_alpr_download(dl->south, dl->west, dl->north, dl->east, &err);
    } catch (const std::exception& e) {
        err = e.what();
    }
    try {
        cams = std::make_shared<const std::vector<OVK_CAMERA>>(ovk_alpr_cameras());
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_CAMERA, 1, cams);  // the next reload brings them
    }
    std::lock_guard<std::mutex> lock(dl->mu);
    dl->result = result;
    dl->error = err;
    dl->cams = std::move(cams);
    dl->running = false;
    dl->done = true;
    dl->cv.notify_all();
}

void start_download(void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    MAP_STATE& s = st();
    std::shared_ptr<DOWNLOAD> dl = s.dl;
    {
        std::lock_guard<std::mutex> lock(dl->mu);
        if (dl->running) return;
        ovk_mapview_bounds(s.mv, &dl->south, &dl->west, &dl->north, &dl->east);
        dl->running = true;
        dl->done = false;
    }
    try {
        std::thread(download_worker, dl).detach();
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(dl->mu);
        dl->running = false;
        ovk_gui_message(g, "Download failed: %s", e.what());
        return;
    }
    ovk_gui_message(g, "Downloading plate cameras for this area from OpenStreetMap...");
}

void on_alpr(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    MAP_STATE& s = st();
    double south, west, north, east;
    ovk_mapview_bounds(s.mv, &south, &west, &north, &east);
    if (north - south > OVK_ALPR_MAX_SPAN_DEG || east - west > OVK_ALPR_MAX_SPAN_DEG) {
        ovk_gui_message(g, "Area too large - zoom in (at most %.0f degrees across)",
                        OVK_ALPR_MAX_SPAN_DEG);
        return;
    }
    ovk_gui_confirm(g,
                    "Download the plate cameras mapped in OpenStreetMap for the area on "
                    "screen?\n\nThe Overpass server sees your IP address and this area, never "
                    "your scans. Data (c) OpenStreetMap contributors, ODbL.",
                    start_download, g);
}

void set_title(OVK_GUI* g, std::string title) {
    MAP_STATE& s = st();
    s.title = std::move(title);
    if (g->ctx && g->popup[OVK_POP_MAP] >= 0)
        zq_gui_window_set_title(g->ctx, g->popup[OVK_POP_MAP], s.title);
}

}  // namespace

namespace {

// The trip shown is let go on the port's worker: freeing a long trace takes as long as
// reading it.
void drop_trip(OVK_GUI* g) {
    MAP_STATE& s = st();
    if (!s.trip) return;
    ovk_port_post(g, [old = std::move(s.trip)]() mutable {
        old.reset();
        return std::string();
    });
    s.trip.reset();
}

// Each showing reads the position anew before "My position" acts on it.
void shown(OVK_GUI* g) {
    MAP_STATE& s = st();
    s.live_fresh = false;
    s.mypos_pending = false;
    ask_live(g);
}

void show_live(OVK_GUI* g) {
    MAP_STATE& s = st();
    s.g = g;
    s.trip_mode = false;
    drop_trip(g);
    s.trip_wanted = 0;  // a trip still being read is not shown over the live map
    ++s.trip_asks;
    s.has_target = false;
    set_title(g, "Map");
    reload_cameras(g);
    shown(g);
    g->map_view = s.mv;
    ovk_gui_open_popup(g, OVK_POP_MAP);
}

// The trip read on the port's worker, shown on the tick that brings it: the track fitted
// into view, or "Trace not found". One asked for later, or the live map shown since, wins.
void show_trip_view(OVK_GUI* g, uint64_t ask, std::shared_ptr<const TRIP_VIEW> t) {
    MAP_STATE& s = st();
    if (ask != s.trip_wanted) return;
    s.trip_wanted = 0;
    if (!t) {
        ovk_gui_message(g, "Trace not found");
        return;
    }
    s.g = g;
    drop_trip(g);
    s.trip = std::move(t);
    s.trip_mode = true;
    s.has_target = false;
    char title[96];
    std::snprintf(title, sizeof title, "Trace: %.60s", s.trip->trip.name.c_str());
    set_title(g, title);
    s.mv.follow = 0;
    // The track's box; a trip without points shows where its devices were.
    double south = 90, west = 180, north = -90, east = -180;
    bool any = false;
    auto widen = [&](double lat, double lon) {
        south = std::min(south, lat);
        north = std::max(north, lat);
        west = std::min(west, lon);
        east = std::max(east, lon);
        any = true;
    };
    for (const OVK_TRIP_POINT& p : s.trip->points) widen(p.lat, p.lon);
    if (!any)
        for (const OVK_TRIP_DEVICE& d : s.trip->devices)
            if (d.has_pos) widen(d.lat, d.lon);
    if (any) {
        float cw = 0, ch = 0;
        ovk_gui_popup_client(g, OVK_POP_MAP, &cw, &ch);
        s.mv.tile_px = tile_px_for(g);
        ovk_mapview_fit(&s.mv, south, west, north, east, cw, ch * 0.8f);
    }
    reload_cameras(g);
    shown(g);
    g->map_view = s.mv;
    ovk_gui_open_popup(g, OVK_POP_MAP);
}

}  // namespace

void ovk_map_show(OVK_GUI* g) {
    OVK_CHECK(g);
    switch (g->subject.kind) {
        case OVK_SUBJECT_PLACE:
            ovk_map_show_at(g, g->subject.zoom, g->subject.lat, g->subject.lon);
            return;
        case OVK_SUBJECT_TRIP:
            ovk_map_show_trip(g, g->subject.trip_id);
            return;
        case OVK_SUBJECT_NONE:
        case OVK_SUBJECT_DEVICE:
            break;
    }
    show_live(g);
}

void ovk_map_show_at(OVK_GUI* g, double zoom, double lat, double lon) {
    OVK_CHECK(g);
    show_live(g);
    MAP_STATE& s = st();
    s.mv.follow = 0;
    s.mv.lat = lat;
    s.mv.lon = lon;
    s.mv.zoom = std::clamp(zoom, OVK_MAP_ZOOM_MIN, OVK_MAP_ZOOM_MAX);
    s.has_target = true;
    s.target_lat = lat;
    s.target_lon = lon;
    g->map_view = s.mv;
}

void ovk_map_show_trip(OVK_GUI* g, int64_t trip_id) {
    OVK_CHECK(g);
    MAP_STATE& s = st();
    s.g = g;
    const uint64_t ask = ++s.trip_asks;
    s.trip_wanted = ask;
    ovk_port_run(g, [ask, trip_id]() -> OVK_PORT_DONE {
        std::shared_ptr<TRIP_VIEW> t;
        if (std::optional<OVK_TRIP> row = ovk_trip_get(trip_id)) {
            t = std::make_shared<TRIP_VIEW>();
            t->trip = std::move(*row);
            t->points = ovk_trip_points(trip_id);
            t->devices = ovk_trip_devices(trip_id);
        }
        return {{}, [ask, t = std::shared_ptr<const TRIP_VIEW>(std::move(t))](OVK_GUI* g) {
                    show_trip_view(g, ask, t);
                }};
    });
}

void ovk_map_shutdown(OVK_GUI*) {
    MAP_STATE& s = st();
    const std::shared_ptr<DOWNLOAD> dl = s.dl;
    {
        std::unique_lock<std::mutex> lock(dl->mu);
        if (dl->running) {
            lock.unlock();
            ovk_linux_http_cancel_all();
            lock.lock();
            if (!dl->cv.wait_for(lock, std::chrono::seconds(3), [&] { return !dl->running; }))
                zq_log(LOG_WARNING, "the plate-camera download is still running at shutdown");
        }
    }
    ovk_mapview_shutdown();
    s.trip_mode = false;
    s.trip.reset();
    s.trip_wanted = 0;
    s.live_points.reset();
    s.fix.reset();
    s.recording = s.scanning = false;
    s.live_waiting = s.live_fresh = s.mypos_pending = false;
    s.live_asked_s = s.points_asked_s = -1e9;
    s.cams.reset();
    s.fleet = {};
    s.fleet_taken = 0;
    s.fleet_asked_s = -1e9;
    s.hits = {};
    s.labels = {};
    s.started = false;
    s.prefs_saved_s = -1e9;  // the next interface stores its first move at once
    s.g = nullptr;
}

OVK_MAPVIEW ovk_map_view() {
    return st().mv;
}
