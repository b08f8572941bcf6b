// SPDX-License-Identifier: GPL-3.0-or-later
// The setup wizard.
//
// Index
//   1. State, step texts, the Bluetooth permission check
//   2. Build: the heading, the six pages, Back and Next
//   3. Refresh: sync (the current page only) and show
//   4. Commands: choices, Back, Next, Finish
#include "ovk_gui_setup.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "ovk_gui.h"
#include "ovk_gui_port.h"
#include "ovk_platform.h"
#include "ovk_radio.h"
#include "ovk_watchlist.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

inline constexpr int kSteps = 6;
inline constexpr size_t kPageWidgetsMax = 24;

const char* const STEP_TITLE[kSteps] = {
    "Welcome to Orvik", "Pick a look",       "Where do you use it?",
    "Alerts",           "Location features", "Permissions",
};
const char* const STEP_SUB[kSteps] = {
    "A quick setup - about a minute. You can change everything later in Settings.",
    "Pick a theme; it applies right away.",
    ("Adds watchlists of equipment known to be used by police in that region. The built-in "
     "detection (body cams, Flock, drones, trackers, glasses) works everywhere."),
    "How loud should Orvik be when it spots something?",
    "These use GPS while scanning. Everything stays on this device.",
    "The radios need your OK before any app can hear nearby Bluetooth and WiFi devices.",
};

struct STATE {
    OVK_GUI* g = nullptr;
    OVK_PREFS sp;  // the choices made so far
    bool active = false;
    int step = 0;
    std::array<std::vector<int>, kSteps> page;  // each page's widgets
    int w_step = -1, w_title = -1, w_sub = -1, w_back = -1, w_next = -1;
    // Widgets whose value follows `sp` (set again when a new run of the wizard starts).
    int w_theme = -1, w_threshold = -1;
    std::vector<std::pair<int, int*>> checks;
};

STATE& st() {
    static STATE s;
    return s;
}

constexpr int kThresholds[] = {0, 50, 80};

int threshold_index(int threshold) {
    return threshold > 79 ? 2 : threshold > 49 ? 1 : 0;
}

// Whether the scanners may open a raw Bluetooth socket: the radio helper, or without it
// this process, holds CAP_NET_RAW (root has it too).
bool can_open_bluetooth() {
    return ovk_radio_capable() != 0;
}

// The radio helper beside the running program, for the setcap command: the only file that
// needs the capabilities.
std::string program_path() {
    return ovk_radio_default_path().value_or("orvik-radio");
}

void sync(OVK_GUI* g);
void on_theme(int, int index, void* user);
void on_threshold(int, int index, void* user);
void on_check(int id, void* user);
void on_back(int, void* user);
void on_next(int, void* user);
void on_permissions(int, void* user);

// The page being filled.
struct PAGE_LAYOUT {
    OVK_GUI* g;
    int win;
    float x, y, w;
    int page;
};

void keep(PAGE_LAYOUT& L, int id) {
    if (id >= 0 && st().page[L.page].size() < kPageWidgetsMax) st().page[L.page].push_back(id);
}

void text(PAGE_LAYOUT& L, const std::string& t) {
    float h = 0;
    keep(L, ovk_add_wrapped_label(L.g, L.win, nullptr, t, L.x, L.y, L.w, &h));
    L.y += h + ovk_pad(L.g);
}

void check(PAGE_LAYOUT& L, const char* label, int* field, const char* tip) {
    float h = 0;
    int lab = -1;
    const float rh = ovk_row_h(L.g);
    const int id = ovk_add_check_row(L.g, L.win, L.x, L.y, L.w, 1.5f * rh, label, *field != 0,
                                     on_check, field, &h, &lab);
    if (id < 0) return;
    zq_gui_set_widget_tooltip(L.g->ctx, id, tip);
    if (lab >= 0) zq_gui_set_widget_tooltip(L.g->ctx, lab, tip);
    keep(L, id);
    keep(L, lab);
    st().checks.emplace_back(id, field);
    L.y += h + ovk_pad(L.g) / 3;
}

int radio(PAGE_LAYOUT& L, const std::vector<std::string>& items, int selected, ZQ_GUI_SELECT_FN fn,
          const char* tip) {
    const float rh = ovk_row_h(L.g);
    const float lh = static_cast<float>(al_get_font_line_height(L.g->font));
    const float h = std::max(0.9f * rh, lh + 4) * static_cast<float>(items.size());
    const int id = zq_gui_add_radiolist(L.g->ctx, L.win, L.x, L.y, L.w, h, fn, L.g);
    for (const std::string& it : items) zq_gui_radiolist_add_item(L.g->ctx, id, it);
    zq_gui_radiolist_set_selected(L.g->ctx, id, selected);
    zq_gui_set_widget_tooltip(L.g->ctx, id, tip);
    keep(L, id);
    L.y += h + ovk_pad(L.g);
    return id;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_setup_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_SETUP] >= 0) return;
    for (auto& p : st().page) p.clear();
    st().checks.clear();
    st().w_step = st().w_title = st().w_sub = st().w_back = st().w_next = st().w_theme =
        st().w_threshold = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_SETUP, "Setup", 720, 760);
    if (win < 0) return;
    st().g = g;
    if (!st().active) st().sp = g->prefs;
    ZQ_GUI_CTX* ctx = g->ctx;
    const bool touch = ovk_platform_uses_touch() != 0;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_SETUP, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    const float x = p, w = cw - 2 * p;
    float y = p;

    st().w_step = zq_gui_add_label(ctx, win, x, y, w, 0.8f * r, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, st().w_step, g->font_small);
    y += 0.8f * r;
    st().w_title = zq_gui_add_label(ctx, win, x, y, w, 1.2f * r, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, st().w_title, g->font_title);
    y += 1.2f * r;
    // The subtitle takes as many lines as it needs; each page starts a gap below its own.
    const float sub_y = y;
    st().w_sub = zq_gui_add_label(ctx, win, x, y, w, r, "", ZQ_GUI_ALIGN_LEFT);
    auto page_top = [&](int step) {
        return sub_y + ovk_text_wrap_height(g->font, w - 6 * g->scale, STEP_SUB[step]) +
               6 * g->scale + p;
    };

    float bottom = 0;
    PAGE_LAYOUT L{g, win, x, page_top(0), w, 0};
    auto next_page = [&](int page) {
        bottom = std::max(bottom, L.y);
        L.y = page_top(page);
        L.page = page;
    };

    text(L,
         "Orvik listens to Bluetooth LE advertisements and WiFi beacons and flags body cameras, "
         "license-plate readers, drones, trackers, camera glasses and other surveillance "
         "equipment.\n\nIt is receive-only: it never transmits to or connects to anything. A "
         "match is a signature, not an identification - every match shows its evidence and a "
         "confidence tier.");

    next_page(1);
    // Each theme with its description; where one would not fit, the titles alone and the
    // chosen theme's description below them.
    std::vector<std::string> themes;
    bool full = true;
    for (int t = 0; t < OVK_THEME_COUNT; ++t) {
        themes.push_back(ovk_format(200, "%s - %s", ovk_theme_title(t), ovk_theme_description(t)));
        full = full && al_get_text_width(g->font, themes.back().c_str()) <= w - ovk_px(g, 40);
    }
    if (!full)
        for (int t = 0; t < OVK_THEME_COUNT; ++t)
            themes[static_cast<size_t>(t)] = ovk_theme_title(t);
    st().w_theme =
        radio(L, themes, g->prefs.theme, on_theme, "Pick a theme; it applies right away");
    if (!full) text(L, ovk_theme_description(g->prefs.theme));

    next_page(2);
    check(L, "Global (Axon, Flock, Zepcam, WatchGuard, Digital Ally, ShotSpotter...)",
          &st().sp.preset_enabled[0], "Regional watchlist of vendor prefixes");
    check(L, "Canada (Axon, Cyberkar, Getac, Genetec, Motorola, ticket printers...)",
          &st().sp.preset_enabled[1], "Regional watchlist of vendor prefixes");
    check(L, "United States", &st().sp.preset_enabled[2], "Regional watchlist of vendor prefixes");

    next_page(3);
    st().w_threshold = radio(L,
                             {"Every match (weak too - more false alarms)",
                              "Probable and strong matches (recommended)", "Strong matches only"},
                             threshold_index(st().sp.alert_threshold), on_threshold,
                             "Weaker matches are only highlighted");
    check(L, "Alert sound", &st().sp.sound_enabled, "One beep weak, two probable, three strong");
    check(L, "Spoken alerts (e.g. while driving)", &st().sp.voice_enabled, "Speak the match label");
    if (touch)
        check(L, "Vibration", &st().sp.vibrate_enabled, "1 pulse weak, 2 probable, 3 strong");

    next_page(4);
    check(L, "Warn when a tracker or flagged device keeps moving with me", &st().sp.follower_alerts,
          "Follower alerts");
    check(L, "Warn when approaching a known plate camera (download them on the Map)",
          &st().sp.known_alpr_alerts, "Uses the OpenStreetMap cameras you downloaded");
    check(L, "Record a GPS trace whenever scanning starts", &st().sp.auto_record_trace,
          "Every scan becomes a trace");
    check(L, "Save GPS position with logged matches (privacy-sensitive)", &st().sp.gps_tagging,
          "Needed for the history heatmap");

    next_page(5);
    if (touch) {
        text(L,
             "Orvik asks for three permissions: Location (Android ties WiFi and Bluetooth scan "
             "results to it), Nearby devices (to hear Bluetooth LE) and Notifications (for "
             "alerts while the screen is off). Nothing leaves the phone.");
        const char* grant = "Grant permissions";
        const float bw = std::min(w, static_cast<float>(al_get_text_width(g->font, grant)) + 3 * p);
        const int b = zq_gui_add_button(ctx, win, x, L.y, bw, r, grant, 1, on_permissions, g);
        zq_gui_set_widget_tooltip(ctx, b, "Ask Android for the scan permissions");
        keep(L, b);
        L.y += r + p;
    } else {
        text(L,
             "Bluetooth: scanning opens a raw HCI socket, which needs the CAP_NET_RAW "
             "capability. Grant it once to Orvik's radio helper, orvik-radio (make setcap in "
             "the source folder does it; the package does it when installed), or run Orvik as "
             "root.");
        text(L,
             "WiFi: scan results come from the kernel without any privilege. With CAP_NET_ADMIN "
             "(also granted by make setcap) Orvik can trigger scans itself instead of waiting "
             "for other programs' scans.");
        text(L,
             "GPS: gpsd with a USB or serial receiver gives position, traces and follower "
             "alerts. Without it everything else works.");
        const std::string status =
            can_open_bluetooth()
                ? std::string("This copy of Orvik may open Bluetooth: nothing more to do.")
                : "This copy of Orvik may not open Bluetooth yet. In a terminal:\nsudo setcap "
                  "cap_net_raw,cap_net_admin+eip " +
                      program_path() + "\nthen start Orvik again.";
        float h = 0;
        const int id = ovk_add_wrapped_label(g, win, g->font_bold, status, x, L.y, w, &h);
        keep(L, id);
        L.y += h + p;
    }
    bottom = std::max(bottom, L.y);

    // Back and Next at the bottom, below the tallest page when the window is short.
    const float by = std::max(ch - r - p, bottom);
    const float bw = (w - p) / 2;
    st().w_back = zq_gui_add_button(ctx, win, x, by, bw, r, "Back", 1, on_back, g);
    zq_gui_set_widget_tooltip(ctx, st().w_back, "Previous step");
    st().w_next = zq_gui_add_button(ctx, win, x, by, bw, r, "Next", 1, on_next, g);
    const ZQ_GUI_ROW_ITEM nav[] = {{st().w_back}, {st().w_next}};
    zq_gui_place_rows(ctx, nav, x, by, w, r, p, p / 2);
    zq_gui_set_widget_theme(ctx, st().w_next, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(ctx, st().w_next, "Next step (Finish saves everything)");
    sync(g);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

namespace {

void sync(OVK_GUI* g) {
    ZQ_GUI_CTX* ctx = g->ctx;
    st().step = std::clamp(st().step, 0, kSteps - 1);
    for (int p = 0; p < kSteps; ++p)
        for (int id : st().page[p]) zq_gui_set_widget_visible(ctx, id, p == st().step);
    zq_gui_label_set_text(ctx, st().w_step, ovk_format(32, "STEP %d OF %d", st().step + 1, kSteps));
    zq_gui_label_set_text(ctx, st().w_title, STEP_TITLE[st().step]);
    // The subtitle sits right under the title, however many lines it takes.
    if (const ZQ_GUI_WIDGET* sub = zq_gui_get_widget(ctx, st().w_sub)) {
        const float h = ovk_text_wrap_height(g->font, sub->w - 6 * g->scale, STEP_SUB[st().step]);
        zq_gui_set_widget_rect(ctx, st().w_sub, sub->x, sub->y, sub->w, h + 6 * g->scale);
    }
    ovk_label_set_wrapped(g, st().w_sub, STEP_SUB[st().step]);
    zq_gui_set_widget_enabled(ctx, st().w_back, st().step > 0);
    zq_gui_button_set_label(ctx, st().w_next, st().step == kSteps - 1 ? "Finish" : "Next");
    zq_gui_window_set_scroll(ctx, g->popup[OVK_POP_SETUP], 0);
    g->redraw = true;
}

// The widgets show the choices in `sp`.
void load_values(OVK_GUI* g) {
    for (const auto& [id, field] : st().checks)
        zq_gui_checkbox_set_checked(g->ctx, id, *field != 0);
    zq_gui_radiolist_set_selected(g->ctx, st().w_threshold,
                                  threshold_index(st().sp.alert_threshold));
    zq_gui_radiolist_set_selected(g->ctx, st().w_theme, g->prefs.theme);
}

}  // namespace

void ovk_setup_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_SETUP] < 0) ovk_setup_build(g);
    if (g->popup[OVK_POP_SETUP] < 0) return;
    if (!st().active) {
        // A new run: from the first step, with the preferences in force.
        st().active = true;
        st().step = 0;
        st().sp = g->prefs;
        load_values(g);
    }
    sync(g);
    ovk_gui_open_popup(g, OVK_POP_SETUP);
}

void ovk_setup_shutdown(OVK_GUI*) {
    st() = STATE{};
}

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

namespace {

void on_check(int id, void* user) {
    *static_cast<int*>(user) = zq_gui_checkbox_is_checked(st().g->ctx, id) ? 1 : 0;
}

void on_theme(int, int index, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (index < 0 || index >= OVK_THEME_COUNT) return;
    st().sp.theme = static_cast<OVK_THEME_ID>(index);
    // The look changes at once: the interface is rebuilt in it on the next tick, and the
    // wizard comes back at this step.
    OVK_PREFS p = g->prefs;
    p.theme = st().sp.theme;
    ovk_gui_set_prefs(g, p);
}

void on_threshold(int, int index, void*) {
    if (index >= 0 && index < 3) st().sp.alert_threshold = kThresholds[index];
}

void on_back(int, void* user) {
    if (st().step > 0) --st().step;
    sync(static_cast<OVK_GUI*>(user));
}

void finish(OVK_GUI* g) {
    // The wizard's own choices go onto the preferences in force now, so that whatever was
    // changed elsewhere while the wizard stood half-way is kept.
    OVK_PREFS p = g->prefs;
    p.preset_enabled = st().sp.preset_enabled;
    p.alert_threshold = st().sp.alert_threshold;
    p.sound_enabled = st().sp.sound_enabled;
    p.voice_enabled = st().sp.voice_enabled;
    p.vibrate_enabled = st().sp.vibrate_enabled;
    p.follower_alerts = st().sp.follower_alerts;
    p.known_alpr_alerts = st().sp.known_alpr_alerts;
    p.auto_record_trace = st().sp.auto_record_trace;
    p.gps_tagging = st().sp.gps_tagging;
    p.onboarding_done = 1;
    st().sp = p;
    // The closing words fit what runs: scanning may be on already (started by the command
    // line, auto-start or the user before finishing). They are said once the settings are
    // written.
    ovk_gui_set_prefs(g, p, true,
                      ovk_scan_is_running() ? "All set. Scanning is on."
                                            : "All set. Press Start scanning to begin.");
    // The rules are rebuilt for the chosen presets off the interface thread.
    ovk_port_post(g, [] {
        ovk_watchlist_load(std::nullopt);
        return std::string();
    });
    st().active = false;
    st().step = 0;
    ovk_gui_close_popup(g, OVK_POP_SETUP);
    if (!ovk_platform_permissions_ok()) ovk_gui_request_permissions(g);
}

void on_next(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (st().step >= kSteps - 1) {
        finish(g);
        return;
    }
    ++st().step;
    sync(g);
}

void on_permissions(int, void* user) {
    ovk_gui_request_permissions(static_cast<OVK_GUI*>(user));
}

}  // namespace
