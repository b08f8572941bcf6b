// SPDX-License-Identifier: GPL-3.0-or-later
// The screenshot tour. See ovk_gui_shots.h.

#include "ovk_gui_shots.h"

#include <allegro5/allegro.h>

#include <array>
#include <filesystem>
#include <string>
#include <system_error>

#include "ovk_gui.h"
#include "ovk_gui_main.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "zq_log.h"

namespace {

constexpr size_t kDirMax = 1023;
constexpr double kFirstWaitS = 1;

constexpr std::array<SHOT_STOP, OVK_SHOTS_STOPS> kStops = {{
    {"1_list", SHOT_LIST, OVK_THEME_DARK, 25},
    {"2_radar", SHOT_RADAR, OVK_THEME_DARK, 4},
    {"3_detail", SHOT_DETAIL, OVK_THEME_DARK, 4},
    {"4_map", SHOT_MAP, OVK_THEME_DARK, 10},
    {"5_flagged", SHOT_FILTER_FLAGGED, OVK_THEME_DEDSEC, 4},
    {"6_watchlist", SHOT_WATCHLIST, OVK_THEME_TACTICAL, 4},
    {"7_settings", SHOT_SETTINGS, OVK_THEME_SYNTHWAVE, 4},
    {"8_history", SHOT_HISTORY, OVK_THEME_PAPER, 4},
}};

// One tour per process, driven from the main thread only.
struct TOUR {
    std::string dir;
    OVK_PREFS saved;
    int active = 0;
    int stop = -1;
    int capture_due = 0;
    double capture_at = 0;
    int failed = 0;  // pictures that could not be saved
};

TOUR& st() {
    static TOUR t;
    return t;
}

void close_popups(OVK_GUI* g) {
    for (int id = 0; id < OVK_POP_COUNT; ++id) ovk_gui_close_popup(g, id);
}

// Sets up the view of stop `i`.
void run_stop(OVK_GUI* g, int i) {
    const SHOT_STOP& s = kStops[static_cast<size_t>(i)];
    close_popups(g);
    OVK_PREFS p = g->prefs;
    p.theme = s.theme;
    p.radar_view = s.action == SHOT_RADAR ? 1 : 0;
    ovk_gui_set_prefs(g, p);
    if (g->rebuild_pending) ovk_gui_rebuild(g);
    ovk_main_show_list(g, OVK_FILTER_ALL);
    switch (s.action) {
        case SHOT_DETAIL:
            // The first device of the list as it shows now; with none, the list stays.
            if (const std::string mac = ovk_main_top_device(g); !mac.empty())
                ovk_main_open_device(g, mac);
            break;
        case SHOT_MAP:
            ovk_gui_show_screen(g, OVK_POP_MAP);
            break;
        case SHOT_FILTER_FLAGGED:
            ovk_main_show_list(g, OVK_FILTER_FLAGGED);
            break;
        case SHOT_WATCHLIST:
            ovk_gui_show_screen(g, OVK_POP_WATCHLIST);
            break;
        case SHOT_SETTINGS:
            ovk_gui_show_screen(g, OVK_POP_SETTINGS);
            break;
        case SHOT_HISTORY:
            ovk_gui_show_screen(g, OVK_POP_HISTORY);
            break;
        case SHOT_LIST:
        case SHOT_RADAR:
            break;
    }
    g->redraw = true;
}

// Puts the user's preferences back as they were before the tour.
void restore(OVK_GUI* g) {
    close_popups(g);
    ovk_gui_set_prefs(g, st().saved);
    st().active = 0;
}

}  // namespace

const SHOT_STOP& ovk_shots_stop(int i) {
    return kStops[static_cast<size_t>(i < 0 ? 0 : i >= OVK_SHOTS_STOPS ? OVK_SHOTS_STOPS - 1 : i)];
}

int ovk_shots_start(OVK_GUI* g, std::string_view dir) {
    OVK_CHECK(g && !dir.empty(), -1);
    TOUR& t = st();
    t.dir = std::string(dir.substr(0, kDirMax));
    t.saved = ovk_prefs_get();
    // A directory that does not exist yet is made; one that cannot be made shows as failed
    // saves, and the tour still runs to its end.
    std::error_code ec;
    std::filesystem::create_directories(t.dir, ec);
    OVK_PREFS p = t.saved;
    p.onboarding_done = 1;
    ovk_gui_set_prefs(g, p);
    // The demo feed for this run only: the user's own demo setting is left as it is.
    ovk_scan_set_demo_override(1);
    close_popups(g);
    t.active = 1;
    t.failed = 0;
    t.stop = -1;
    t.capture_due = 0;
    t.capture_at = al_get_time() + kFirstWaitS;
    zq_log(LOG_NOTICE, "store screenshots: %d stops into %s", OVK_SHOTS_STOPS, t.dir.c_str());
    return 0;
}

int ovk_shots_active() {
    return st().active;
}

int ovk_shots_failed() {
    return st().failed;
}

void ovk_shots_tick(OVK_GUI* g) {
    TOUR& t = st();
    if (!g || !t.active || t.capture_due || al_get_time() < t.capture_at) return;
    if (t.stop < 0) {
        t.stop = 0;
        run_stop(g, 0);
        t.capture_at = al_get_time() + kStops[0].wait_s;
        return;
    }
    t.capture_due = 1;
    g->redraw = true;
}

void ovk_shots_after_draw(OVK_GUI* g) {
    TOUR& t = st();
    if (!g || !t.active || !t.capture_due) return;
    t.capture_due = 0;
    const std::string path = t.dir + "/" + kStops[static_cast<size_t>(t.stop)].name + ".png";
    ALLEGRO_BITMAP* back = g->display ? al_get_backbuffer(g->display) : nullptr;
    if (back && al_save_bitmap(path.c_str(), back))
        zq_log(LOG_NOTICE, "store screenshot %s", path.c_str());
    else {
        zq_log(LOG_ERR, "cannot save %s", path.c_str());
        ++t.failed;
    }
    ++t.stop;
    if (t.stop < OVK_SHOTS_STOPS) {
        run_stop(g, t.stop);
        t.capture_at = al_get_time() + kStops[static_cast<size_t>(t.stop)].wait_s;
        return;
    }
    restore(g);
    g->quit_requested = true;
}

void ovk_shots_cancel(OVK_GUI* g) {
    if (!g || !st().active) return;
    zq_log(LOG_NOTICE, "screenshot tour ended before its last stop; preferences restored");
    restore(g);
}
