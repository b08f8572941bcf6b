// SPDX-License-Identifier: GPL-3.0-or-later
// The interface frame.
//
// Index
//   1. The screens, in build order
//   2. Sizing and fonts
//   3. Building, rebuilding, life cycle
//   4. Pop-up windows, back, the confirm dialog
//   5. Events, the tick, drawing and toasts
//   6. Messages, clipboard, preferences
//   7. Text helpers
#include "ovk_gui.h"

#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "ovk_app_util.h"
#include "ovk_gui_about.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_export.h"
#include "ovk_gui_fleet.h"
#include "ovk_gui_history.h"
#include "ovk_gui_main.h"
#include "ovk_gui_map.h"
#include "ovk_gui_port.h"
#include "ovk_gui_report.h"
#include "ovk_gui_settings.h"
#include "ovk_gui_setup.h"
#include "ovk_gui_trips.h"
#include "ovk_gui_watchlist.h"
#include "ovk_lock.h"
#include "ovk_platform.h"
#include "zq_log.h"

namespace {

void build_confirm(OVK_GUI* g);

// ---------------------------------------------------------------------------------------
// 1. The screens
// ---------------------------------------------------------------------------------------

// In the order they are built: main, detail, map, history, trips, log, fleet, watchlist,
// watch-add, whitelist, settings, export, about, setup, report, and last the frame's own
// confirm dialog. A screen joins by including its header above and adding its row at its place.
constexpr OVK_SCREEN kScreens[] = {
    {-1, ovk_main_build, ovk_main_refresh, ovk_main_tick, nullptr, ovk_main_shutdown},
    {OVK_POP_DETAIL, ovk_detail_build, ovk_detail_refresh, nullptr, ovk_detail_show_selected,
     nullptr},
    {OVK_POP_MAP, ovk_map_build, nullptr, ovk_map_update, ovk_map_show, ovk_map_shutdown},
    {OVK_POP_HISTORY, ovk_history_build, ovk_history_refresh, nullptr, ovk_history_show, nullptr},
    {OVK_POP_TRIPS, ovk_trips_build, ovk_trips_refresh, ovk_trips_tick, ovk_trips_show, nullptr},
    {OVK_POP_LOG, ovk_log_build, ovk_log_refresh, ovk_log_tick, ovk_log_show, nullptr},
    {OVK_POP_FLEET, ovk_fleet_build, ovk_fleet_refresh, ovk_fleet_tick, ovk_fleet_show,
     ovk_fleet_shutdown},
    {OVK_POP_WATCHLIST, ovk_watchlist_build, ovk_watchlist_refresh, nullptr, ovk_watchlist_show,
     nullptr},
    {OVK_POP_WATCH_ADD, ovk_watch_add_build, nullptr, nullptr, ovk_watch_add_show_subject, nullptr},
    {OVK_POP_WHITELIST, ovk_whitelist_build, ovk_whitelist_refresh, nullptr, ovk_whitelist_show,
     nullptr},
    {OVK_POP_SETTINGS, ovk_settings_build, nullptr, ovk_settings_tick, ovk_settings_show,
     ovk_settings_shutdown},
    {OVK_POP_EXPORT, ovk_export_build, nullptr, nullptr, ovk_export_show, nullptr},
    {OVK_POP_ABOUT, ovk_about_build, nullptr, nullptr, ovk_about_show, nullptr},
    {OVK_POP_SETUP, ovk_setup_build, nullptr, nullptr, ovk_setup_show, ovk_setup_shutdown},
    {OVK_POP_REPORT, ovk_report_build, ovk_report_refresh, nullptr, ovk_report_show_subject,
     nullptr},
    {OVK_POP_CONFIRM, build_confirm, nullptr, nullptr, nullptr, nullptr},
};

// The pop-ups a rebuild opens again when they were open, in this order. The watch-add,
// report and confirm dialogs hold half-done input and are not reopened.
constexpr OVK_POPUP_ID kReopenOrder[] = {
    OVK_POP_DETAIL,   OVK_POP_MAP,    OVK_POP_HISTORY,   OVK_POP_TRIPS,
    OVK_POP_LOG,      OVK_POP_FLEET,  OVK_POP_WATCHLIST, OVK_POP_WHITELIST,
    OVK_POP_SETTINGS, OVK_POP_EXPORT, OVK_POP_ABOUT,     OVK_POP_SETUP,
};

std::vector<OVK_SCREEN>& test_screens() {
    static std::vector<OVK_SCREEN> screens;
    return screens;
}

bool& frame_only() {
    static bool on = false;
    return on;
}

// A screen of the program's table that is built: all of them, or only the frame's own in a
// test of the frame alone.
bool in_use(const OVK_SCREEN& s) {
    return !frame_only() || s.popup == OVK_POP_CONFIRM;
}

// The program's screens, then those a test added.
template <typename F>
void each_screen(F&& f) {
    for (const OVK_SCREEN& s : kScreens)
        if (in_use(s)) f(s);
    for (const OVK_SCREEN& s : test_screens()) f(s);
}

const OVK_SCREEN* screen_in(int popup) {
    for (const OVK_SCREEN& s : kScreens)
        if (s.popup == popup && in_use(s)) return &s;
    for (const OVK_SCREEN& s : test_screens())
        if (s.popup == popup) return &s;
    return nullptr;
}

void refresh_main(OVK_GUI* g) {
    each_screen([g](const OVK_SCREEN& s) {
        if (s.popup < 0 && s.refresh) s.refresh(g);
    });
}

bool valid_popup(int id) {
    return id >= 0 && id < OVK_POP_COUNT;
}

// At most `max` bytes of `s`, never ending inside a UTF-8 sequence (a split character would
// draw as garbage).
std::string utf8_cut(std::string_view s, size_t max) {
    if (s.size() <= max) return std::string(s);
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string(s.substr(0, n));
}

// ---------------------------------------------------------------------------------------
// 2. Fonts
// ---------------------------------------------------------------------------------------

const char* const kFontRegular = "fonts/DejaVuSans.ttf";
const char* const kFontBold = "fonts/DejaVuSans-Bold.ttf";
const char* const kFontMono = "fonts/DejaVuSansMono.ttf";
const char* const kFontTech = "fonts/share_tech_mono.ttf";

// Where Debian's fonts-dejavu-core puts the DejaVu fonts; the installed program uses them
// from there, and the copies among the assets serve a program run from the source tree.
const char* const kSystemDejaVu = "/usr/share/fonts/truetype/dejavu/";

// One font: a DejaVu font from the system's fonts first, else found among the assets (else
// tried as "assets/<name>"), or Allegro's built-in font in its place. Fonts already loaded
// at that size are shared.
ALLEGRO_FONT* load_font(std::map<std::pair<std::string, int>, ALLEGRO_FONT*>& loaded,
                        ALLEGRO_FONT*& builtin, const char* name, float size) {
    const int px = std::max(1, static_cast<int>(std::lround(size)));
    const auto key = std::make_pair(std::string(name), px);
    if (auto it = loaded.find(key); it != loaded.end()) return it->second;
    ALLEGRO_FONT* f = nullptr;
    if (const std::string_view n(name); n.starts_with("fonts/DejaVu"))
        f = al_load_ttf_font((kSystemDejaVu + std::string(n.substr(6))).c_str(), px, 0);
    if (!f)
        if (auto path = ovk_platform_asset_path(name)) f = al_load_ttf_font(path->c_str(), px, 0);
    if (!f) f = al_load_ttf_font((std::string("assets/") + name).c_str(), px, 0);
    if (!f) {
        zq_log(LOG_ERR, "cannot load font %s at %dpx", name, px);
        if (!builtin) builtin = al_create_builtin_font();
        return builtin;
    }
    loaded.emplace(key, f);
    return f;
}

bool load_fonts(OVK_GUI* g) {
    std::map<std::pair<std::string, int>, ALLEGRO_FONT*> loaded;
    ALLEGRO_FONT* builtin = nullptr;
    const float s = g->scale;
    const char* regular = g->pal.mono_font ? kFontTech : kFontRegular;
    const char* bold = g->pal.mono_font ? kFontTech : kFontBold;
    g->font = load_font(loaded, builtin, regular, 15 * s);
    g->font_bold = load_font(loaded, builtin, bold, 15 * s);
    g->font_small = load_font(loaded, builtin, regular, 12.5f * s);
    g->font_mono = load_font(loaded, builtin, kFontMono, 13 * s);
    g->font_big = load_font(loaded, builtin, bold, 19 * s);
    g->font_title = load_font(loaded, builtin, bold, 24 * s);
    return g->font != nullptr;
}

// Destroys each distinct font object once.
void free_fonts(OVK_GUI* g) {
    std::set<ALLEGRO_FONT*> fonts{g->font,      g->font_bold, g->font_small,
                                  g->font_mono, g->font_big,  g->font_title};
    for (ALLEGRO_FONT* f : fonts)
        if (f) al_destroy_font(f);
    g->font = g->font_bold = g->font_small = g->font_mono = g->font_big = g->font_title = nullptr;
}

// ---------------------------------------------------------------------------------------
// 3. Building
// ---------------------------------------------------------------------------------------

void forget_widget_ids(OVK_GUI* g) {
    g->w_confirm_label = -1;
    g->popup.fill(-1);
    g->pending_open.fill(false);
    g->pending_menu = false;
}

void build(OVK_GUI* g) {
    forget_widget_ids(g);
    g->ctx = zq_gui_new_ctx(g->font);
    if (!g->ctx) {
        zq_log(LOG_ERR, "cannot create the toolkit context");
        return;
    }
    zq_gui_set_display(g->ctx, g->display);
    zq_gui_set_display_size(g->ctx, g->disp_w, g->disp_h);
    zq_gui_set_event_queue(g->ctx, g->queue);
    ovk_theme_apply(g);
    each_screen([g](const OVK_SCREEN& s) {
        if (s.build) s.build(g);
    });
    // The context menu lays itself out when first opened: do that once out of sight, so that
    // the first real opening is placed right.
    if (g->ctxmenu) {
        zq_gui_popup_open(g->ctxmenu, -10000, -10000);
        zq_gui_popup_close(g->ctxmenu);
    }
    refresh_main(g);
}

void teardown(OVK_GUI* g) {
    if (g->ctxmenu) zq_gui_popup_free(&g->ctxmenu);
    g->ctxmenu = nullptr;
    if (g->ctx) zq_gui_destroy_ctx(&g->ctx);
    g->ctx = nullptr;
    free_fonts(g);
}

void read_display_size(OVK_GUI* g) {
    if (!g->display) return;
    g->disp_w = static_cast<float>(al_get_display_width(g->display));
    g->disp_h = static_cast<float>(al_get_display_height(g->display));
}

float current_scale(const OVK_GUI* g) {
    return ovk_gui_scale_for(ovk_platform_density(), ovk_platform_uses_touch() != 0,
                             g->prefs.ui_size);
}

}  // namespace

float ovk_px(const OVK_GUI* g, float v) {
    return g ? v * g->scale : v;
}

float ovk_row_h(const OVK_GUI* g) {
    return (ovk_platform_uses_touch() ? 44.0f : 32.0f) * (g ? g->scale : 1.0f);
}

float ovk_pad(const OVK_GUI* g) {
    return 8.0f * (g ? g->scale : 1.0f);
}

float ovk_gui_scale_for(float density, bool touch, int ui_size) {
    float s = density;
    if (touch)
        s = std::clamp(s / 1.2f, 1.0f, 3.0f);
    else if (!(s > 0.5f))
        s = 1.0f;
    static constexpr float kSize[] = {0.85f, 1.0f, 1.15f, 1.3f};
    if (ui_size >= 0 && ui_size < 4) s *= kSize[ui_size];
    return s;
}

int ovk_gui_init(OVK_GUI* g, ALLEGRO_DISPLAY* display, ALLEGRO_EVENT_QUEUE* queue) {
    OVK_CHECK(g, -1);
    try {
        *g = OVK_GUI{};
        g->display = display;
        g->queue = queue;
        read_display_size(g);
        g->prefs_serial = ovk_prefs_serial();
        g->prefs = ovk_prefs_get();
        g->scale = current_scale(g);
        g->pal = ovk_theme_palette(g->prefs.theme);
        if (!load_fonts(g)) return -1;
        build(g);
        if (!g->ctx) {
            free_fonts(g);
            return -1;
        }
        if (!g->prefs.onboarding_done) {
            if (const OVK_SCREEN* setup = screen_in(OVK_POP_SETUP); setup && setup->show)
                setup->show(g);
        }
        g->redraw = true;
        return 0;
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "interface init failed: %s", e.what());
        return -1;
    }
}

void ovk_gui_set_test_screens(std::vector<OVK_SCREEN> screens) {
    test_screens() = std::move(screens);
}

void ovk_gui_set_frame_only(bool on) {
    frame_only() = on;
}

void ovk_gui_rebuild(OVK_GUI* g) {
    OVK_CHECK(g);
    const OVK_INTERFACE_SCOPE on_interface;
    const std::array<bool, OVK_POP_COUNT> was_open = g->popup_open;
    teardown(g);
    g->scale = current_scale(g);
    g->pal = ovk_theme_palette(g->prefs.theme);
    load_fonts(g);
    g->popup_open.fill(false);
    build(g);
    int reopened = 0;
    for (OVK_POPUP_ID id : kReopenOrder) {
        if (!was_open[id]) continue;
        if (id == OVK_POP_DETAIL && g->sel_mac.empty()) continue;
        ovk_gui_open_popup(g, id);
        reopened += ovk_gui_popup_is_open(g, id);
    }
    zq_log(LOG_DEBUG, "interface rebuilt for %.0fx%.0f at scale %.2f; %d pop-up(s) reopened",
           g->disp_w, g->disp_h, g->scale, reopened);
    // Locate mode belongs to an open detail screen.
    if (!g->popup_open[OVK_POP_DETAIL]) g->locate = false;
    g->rebuild_pending = false;
    g->redraw = true;
}

void ovk_gui_on_resume(OVK_GUI* g) {
    OVK_CHECK(g);
    read_display_size(g);
    ovk_gui_rebuild(g);
}

void ovk_gui_shutdown(OVK_GUI* g) {
    OVK_CHECK(g);
    each_screen([g](const OVK_SCREEN& s) {
        if (s.shutdown) s.shutdown(g);
    });
    ovk_port_stop(g);
    teardown(g);
    g->devices.clear();
    g->devices.shrink_to_fit();
}

// ---------------------------------------------------------------------------------------
// 4. Pop-up windows
// ---------------------------------------------------------------------------------------

namespace {

// The close button of a pop-up (the toolkit has hidden the window already).
void on_popup_closed(int window_id, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    for (int id = 0; id < OVK_POP_COUNT; ++id) {
        if (g->popup[id] != window_id) continue;
        ovk_gui_close_popup(g, id);
        return;
    }
}

void show_window(OVK_GUI* g, int id) {
    const int win = g->popup[id];
    zq_gui_open_window(g->ctx, win);
    zq_gui_restore_window(g->ctx, win);
    zq_gui_focus_window(g->ctx, win);
}

void forget_confirm(OVK_GUI* g) {
    g->confirm_cb = nullptr;
    g->confirm_user = nullptr;
}

}  // namespace

int ovk_gui_popup_window(OVK_GUI* g, int id, std::string_view title, float pref_w, float pref_h) {
    OVK_CHECK(g && g->ctx && valid_popup(id), -1);
    if (g->popup[id] >= 0) return g->popup[id];
    const bool touch = ovk_platform_uses_touch() != 0;
    const float margin = touch ? 0 : 48 * g->scale;
    float w = std::min(g->disp_w - margin, pref_w * g->scale);
    float h = std::min(g->disp_h - margin, pref_h * g->scale);
    if (touch && id != OVK_POP_CONFIRM && id != OVK_POP_WATCH_ADD) {
        w = g->disp_w;
        h = g->disp_h;
    }
    const int win =
        zq_gui_add_window(g->ctx, title, (g->disp_w - w) / 2, (g->disp_h - h) / 2, w, h);
    if (win < 0) {
        zq_log(LOG_ERR, "cannot create the pop-up window %.*s", static_cast<int>(title.size()),
               title.data());
        return -1;
    }
    const int flags = ZQ_GUI_WIN_CLOSE_BTN | ZQ_GUI_WIN_VSCROLL | ZQ_GUI_WIN_NO_HSCROLL |
                      (touch ? ZQ_GUI_WIN_FLAG_40 : 0);
    zq_gui_window_set_flags(g->ctx, win, flags);
    zq_gui_window_set_zorder(g->ctx, win, ZQ_GUI_ZORDER_POPUP, 0);
    zq_gui_window_set_close_callback(g->ctx, win, on_popup_closed, g);
    zq_gui_close_window(g->ctx, win);
    g->popup[id] = win;
    return win;
}

void ovk_gui_popup_client(OVK_GUI* g, int id, float* w, float* h) {
    if (w) *w = 0;
    if (h) *h = 0;
    OVK_CHECK(g && g->ctx && valid_popup(id));
    const ZQ_GUI_WINDOW* win = zq_gui_get_window(g->ctx, g->popup[id]);
    const ZQ_GUI_STYLE* st = zq_gui_style(g->ctx);
    if (!win || !st) return;
    if (w) *w = win->w - st->scrollbar_size - 2;
    if (h) *h = win->h - st->titlebar_h;
}

void ovk_gui_open_popup(OVK_GUI* g, int id) {
    OVK_CHECK(g && g->ctx && valid_popup(id));
    if (g->popup[id] < 0) return;
    g->popup_open[id] = true;
    if (g->in_event) {
        // The toolkit is still dispatching: the window opens once it is done with the event.
        g->pending_open[id] = true;
        return;
    }
    show_window(g, id);
    g->redraw = true;
}

void ovk_gui_close_popup(OVK_GUI* g, int id) {
    OVK_CHECK(g && valid_popup(id));
    if (g->ctx && g->popup[id] >= 0) zq_gui_close_window(g->ctx, g->popup[id]);
    g->popup_open[id] = false;
    g->pending_open[id] = false;
    if (id == OVK_POP_DETAIL) g->locate = false;
    if (id == OVK_POP_CONFIRM) forget_confirm(g);
    g->redraw = true;
}

bool ovk_gui_popup_is_open(const OVK_GUI* g, int id) {
    OVK_CHECK(g && valid_popup(id), false);
    return g->popup[id] >= 0 && g->popup_open[id];
}

bool ovk_gui_has_screen(int id) {
    return valid_popup(id) && screen_in(id) != nullptr;
}

bool ovk_gui_show_screen(OVK_GUI* g, int id) {
    return ovk_gui_show_on(g, id, OVK_SUBJECT{});
}

bool ovk_gui_show_on(OVK_GUI* g, int id, const OVK_SUBJECT& subject) {
    OVK_CHECK(g, false);
    const OVK_SCREEN* s = valid_popup(id) ? screen_in(id) : nullptr;
    if (!s) return false;
    try {
        g->subject = subject;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, subject.mac.size() + subject.label.size(), subject);
        return false;
    }
    if (s->show)
        s->show(g);
    else
        ovk_gui_open_popup(g, id);
    g->subject = OVK_SUBJECT{};
    return true;
}

void ovk_gui_refresh_screen(OVK_GUI* g, int id) {
    OVK_CHECK(g);
    const OVK_SCREEN* s = valid_popup(id) ? screen_in(id) : nullptr;
    if (s && s->refresh && ovk_gui_popup_is_open(g, id)) s->refresh(g);
}

OVK_SUBJECT ovk_subject_device(std::string_view mac, std::string_view label,
                               OVK_ADDR_TYPE addr_type) {
    OVK_SUBJECT s;
    s.kind = OVK_SUBJECT_DEVICE;
    s.addr_type = addr_type;
    try {
        s.mac = std::string(mac.substr(0, OVK_MAC_MAX));
        s.label = std::string(label);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, mac.size() + label.size(), subject);
        return OVK_SUBJECT{};
    }
    return s;
}

OVK_SUBJECT ovk_subject_trip(int64_t trip_id) {
    OVK_SUBJECT s;
    s.kind = OVK_SUBJECT_TRIP;
    s.trip_id = trip_id;
    return s;
}

OVK_SUBJECT ovk_subject_place(double zoom, double lat, double lon) {
    OVK_SUBJECT s;
    s.kind = OVK_SUBJECT_PLACE;
    s.zoom = zoom;
    s.lat = lat;
    s.lon = lon;
    return s;
}

bool ovk_gui_back(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx, false);
    if (g->ctxmenu && zq_gui_popup_is_open(g->ctxmenu)) {
        zq_gui_popup_close(g->ctxmenu);
        g->redraw = true;
        return true;
    }
    if (zq_gui_menu_is_open(g->ctx)) {
        zq_gui_close_menus(g->ctx);
        g->redraw = true;
        return true;
    }
    const int top = zq_gui_get_topmost_open_window(g->ctx);
    for (int id = 0; top >= 0 && id < OVK_POP_COUNT; ++id) {
        if (g->popup[id] == top && g->popup_open[id]) {
            ovk_gui_close_popup(g, id);
            return true;
        }
    }
    for (int id = OVK_POP_COUNT - 1; id >= 0; --id) {
        if (ovk_gui_popup_is_open(g, id)) {
            ovk_gui_close_popup(g, id);
            return true;
        }
    }
    // Nothing to close: a field being typed in is left (its text stays), so that the
    // keyboard's shortcuts are the window's again.
    if (zq_gui_get_focus(g->ctx) >= 0) {
        zq_gui_set_focus(g->ctx, -1);
        g->redraw = true;
        return true;
    }
    return false;
}

namespace {

// A text field has the keyboard: its Ctrl keys are editing keys (a focused button, list or
// slider leaves the window's shortcuts working).
bool typing_in_a_field(OVK_GUI* g) {
    const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g->ctx, zq_gui_get_focus(g->ctx));
    return w && w->type == ZQ_GUI_TEXTAREA;
}

void on_confirm_yes(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const OVK_CONFIRM_FN cb = g->confirm_cb;
    void* cb_user = g->confirm_user;
    ovk_gui_close_popup(g, OVK_POP_CONFIRM);  // forgets the callback
    if (cb) cb(cb_user);
}

void on_confirm_cancel(int, void* user) {
    ovk_gui_close_popup(static_cast<OVK_GUI*>(user), OVK_POP_CONFIRM);
}

void build_confirm(OVK_GUI* g) {
    const int win = ovk_gui_popup_window(g, OVK_POP_CONFIRM, "Confirm", 420, 190);
    if (win < 0) return;
    zq_gui_window_set_flags(g->ctx, win, ZQ_GUI_WIN_CLOSE_BTN);
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_CONFIRM, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    g->w_confirm_label =
        zq_gui_add_label(g->ctx, win, p, p, cw - 2 * p, ch - r - 3 * p, "", ZQ_GUI_ALIGN_LEFT);
    const float bw = (cw - 3 * p) / 2;
    const float by = ch - r - p;
    const int yes = zq_gui_add_button(g->ctx, win, p, by, bw, r, "Yes", 1, on_confirm_yes, g);
    zq_gui_set_widget_theme(g->ctx, yes, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(g->ctx, yes, "Go ahead with the action described above");
    const int no =
        zq_gui_add_button(g->ctx, win, 2 * p + bw, by, bw, r, "Cancel", 1, on_confirm_cancel, g);
    zq_gui_set_widget_tooltip(g->ctx, no, "Close without doing anything");
    // After a rebuild the question is shown again should the dialog be opened.
    if (!g->confirm_text.empty()) ovk_label_set_wrapped(g, g->w_confirm_label, g->confirm_text);
}

}  // namespace

void ovk_gui_confirm(OVK_GUI* g, std::string_view text, OVK_CONFIRM_FN cb, void* user) {
    OVK_CHECK(g);
    g->confirm_text = utf8_cut(text, OVK_CONFIRM_TEXT_MAX);
    g->confirm_cb = cb;
    g->confirm_user = user;
    ovk_label_set_wrapped(g, g->w_confirm_label, g->confirm_text);
    ovk_gui_open_popup(g, OVK_POP_CONFIRM);
}

// ---------------------------------------------------------------------------------------
// 5. Events, the tick, drawing
// ---------------------------------------------------------------------------------------

namespace {

// Seconds to the next locate tick: 0.08 s at -35 dBm or stronger, 1.48 s at -100 dBm or
// weaker, 2 s for a device not heard in the last 5 s.
double locate_interval(const OVK_GUI* g) {
    // From the last snapshot of the devices (the registry is not asked on this thread).
    const OVK_DEVICE* d = nullptr;
    for (const OVK_DEVICE& e : g->devices)
        if (e.mac == g->sel_mac) {
            d = &e;
            break;
        }
    if (!d || ovk_now_ms() - d->last_seen > 5000) return 2.0;
    const double r = std::clamp(d->rssi, -100, -35);
    return (-r - 35) / 65 * 1.4 + 0.08;
}

// ---- Notices: their text, their place, their stack ----

bool any_notice(const OVK_GUI* g, double now) {
    if (now < g->toast_until) return true;
    return std::any_of(g->older_notices.begin(), g->older_notices.end(),
                       [now](const OVK_NOTICE& n) { return now < n.until; });
}

bool same_notice(const OVK_UI_ALERT& a, const OVK_UI_ALERT& b) {
    return a.hit.confidence == b.hit.confidence && a.hit.label == b.hit.label &&
           a.hit.evidence == b.hit.evidence && a.key == b.key && a.sensor == b.sensor &&
           a.following == b.following;
}

// The newest notice goes to the bottom of the stack; the one it replaces moves up. An earlier
// copy of the same notice leaves (the demo repeats itself), and so does the oldest when the
// stack is full.
void push_notice(OVK_GUI* g, OVK_UI_ALERT a, double until) {
    const double now = al_get_time();
    std::vector<OVK_NOTICE>& older = g->older_notices;
    if (now < g->toast_until)
        older.push_back({std::move(g->toast), g->toast_until, g->toast_serial});
    std::erase_if(older,
                  [&](const OVK_NOTICE& n) { return now >= n.until || same_notice(n.alert, a); });
    while (!older.empty() && older.size() + 1 > OVK_NOTICES_MAX) older.erase(older.begin());
    g->toast = std::move(a);
    g->toast_until = until;
    g->toast_serial = ++g->notice_serial;
    g->redraw = true;
}

size_t next_char(std::string_view s, size_t i) {
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    return i;
}

float width_of(const ALLEGRO_FONT* font, std::string_view s) {
    const std::string t(s);
    return static_cast<float>(al_get_text_width(font, t.c_str()));
}

// `text` in lines no wider than max_w, broken at spaces. A word no line can hold (a long path)
// starts where it stands and breaks inside, after a '/', '_' or '-' where it can.
std::vector<std::string> break_lines(const ALLEGRO_FONT* font, float max_w, std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const size_t nl = std::min(text.find('\n'), text.size());
        std::string_view para = text.substr(0, nl);
        text.remove_prefix(std::min(nl + 1, text.size()));
        std::string cur;
        while (!para.empty()) {
            const size_t sp = std::min(para.find(' '), para.size());
            std::string_view word = para.substr(0, sp);
            para.remove_prefix(std::min(sp + 1, para.size()));
            if (word.empty()) continue;
            std::string trial = cur.empty() ? std::string(word) : cur + " " + std::string(word);
            if (width_of(font, trial) <= max_w) {
                cur = std::move(trial);
                continue;
            }
            if (width_of(font, word) <= max_w) {
                lines.push_back(std::move(cur));
                cur = std::string(word);
                continue;
            }
            std::string line = cur.empty() ? std::string() : cur + " ";
            for (;;) {
                size_t fit = 0, soft = 0;
                while (fit < word.size()) {
                    const size_t n = next_char(word, fit);
                    if (width_of(font, line + std::string(word.substr(0, n))) > max_w) break;
                    fit = n;
                    const char c = word[fit - 1];
                    if (c == '/' || c == '_' || c == '-') soft = fit;
                }
                if (fit == word.size()) {
                    cur = line + std::string(word);
                    break;
                }
                size_t cut = soft > fit / 2 ? soft : fit;
                if (cut == 0 && !line.empty()) {
                    lines.push_back(std::move(cur));  // not one character fits beside it
                    line.clear();
                    continue;
                }
                if (cut == 0) cut = next_char(word, 0);  // one character wider than a line
                lines.push_back(line + std::string(word.substr(0, cut)));
                word.remove_prefix(cut);
                line.clear();
            }
        }
        if (!cur.empty()) lines.push_back(std::move(cur));
    }
    return lines;
}

// Where the file path in `text` is: the first word that starts with "/" or "~/" and ends in a
// name after its last '/'. `start` is npos when there is none.
struct PATH_AT {
    size_t start = std::string_view::npos, end = 0;
};
PATH_AT find_path(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t e = std::min(text.find(' ', i), text.size());
        const std::string_view w = text.substr(i, e - i);
        const size_t slash = w.rfind('/');
        if ((w.starts_with('/') || w.starts_with("~/")) && slash != std::string_view::npos &&
            slash + 1 < w.size())
            return {i, e};
        i = e + 1;
    }
    return {};
}

// `text` with `drop` folders of its path left out in the middle
// ("~/.local/share/orvik/exports/x.csv" by two: "~/.local/…/exports/x.csv"); the file name is
// kept whole. Nothing when the path has fewer folders.
std::optional<std::string> drop_folders(std::string_view text, const PATH_AT& at, size_t drop) {
    const std::string_view path = text.substr(at.start, at.end - at.start);
    const size_t slash = path.rfind('/');
    std::vector<std::string_view> dirs;
    for (std::string_view d = path.substr(0, slash);;) {
        const size_t s = d.find('/');
        dirs.push_back(d.substr(0, s));
        if (s == std::string_view::npos) break;
        d.remove_prefix(s + 1);
    }
    if (drop == 0 || drop > dirs.size()) return std::nullopt;
    const size_t keep = dirs.size() - drop, head = (keep + 1) / 2, tail = keep - head;
    std::string out(text.substr(0, at.start));
    for (size_t k = 0; k < head; ++k) out.append(dirs[k]).append("/");
    out += "\xE2\x80\xA6";  // …
    for (size_t k = dirs.size() - tail; k < dirs.size(); ++k) out.append("/").append(dirs[k]);
    out.append(path.substr(slash));
    out.append(text.substr(at.end));
    return out;
}

// The lines a notice text takes in at most `max_lines`: wrapped; when too long, its path
// shortened in the folders; else cut at the end.
std::vector<std::string> notice_lines(const ALLEGRO_FONT* font, float max_w, std::string_view text,
                                      size_t max_lines) {
    std::vector<std::string> lines = break_lines(font, max_w, text);
    if (lines.size() <= max_lines) return lines;
    if (const PATH_AT at = find_path(text); at.start != std::string_view::npos)
        for (size_t drop = 1;; ++drop) {
            const auto shorter = drop_folders(text, at, drop);
            if (!shorter) break;
            std::vector<std::string> l = break_lines(font, max_w, *shorter);
            if (l.size() <= max_lines) return l;
        }
    std::string rest;
    for (size_t k = max_lines - 1; k < lines.size(); ++k)
        rest += (rest.empty() ? "" : " ") + lines[k];
    lines.resize(max_lines - 1);
    // The last line ends in an ellipsis; a few pixels kept for it to be seen as one.
    lines.push_back(zq_gui_text_shorten(font, rest, max_w - 1, 0));
    return lines;
}

std::string notice_title(const OVK_UI_ALERT& t) {
    if (t.hit.confidence < 0) return t.hit.label;
    if (!t.sensor.empty())
        // A fleet sensor's alert: "car1: Axon body camera nearby - strong 90%".
        return ovk_format(512, "%s: %s %s - %s %d%%", t.sensor.c_str(), t.hit.label.c_str(),
                          t.following ? "may be following" : "nearby",
                          ovk_tier_label(ovk_tier_of(t.hit.confidence)), t.hit.confidence);
    return ovk_format(512, "%s%s - %s %d%%", t.following ? "May be following you: " : "",
                      t.hit.label.c_str(), ovk_tier_label(ovk_tier_of(t.hit.confidence)),
                      t.hit.confidence);
}

const ALLEGRO_FONT* notice_small(const OVK_GUI* g) {
    return g->font_small ? g->font_small : g->font;
}

OVK_NOTICE_BOX shape_notice(const OVK_GUI* g, const OVK_UI_ALERT& t, unsigned serial, float w) {
    const float p = ovk_pad(g);
    const float inner = w - 2 * p;
    OVK_NOTICE_BOX b;
    b.w = w;
    b.serial = serial;
    const bool plain = t.hit.confidence < 0;
    b.alert = !plain;
    b.lines = notice_lines(g->font_bold, inner, notice_title(t),
                           plain ? OVK_NOTICE_LINES : OVK_NOTICE_TITLE_LINES);
    b.title_lines = static_cast<int>(b.lines.size());
    const float lh = static_cast<float>(al_get_font_line_height(g->font_bold));
    b.h = 2 * p + static_cast<float>(b.title_lines) * lh;
    if (!plain && !t.hit.evidence.empty()) {
        const ALLEGRO_FONT* small = notice_small(g);
        const std::vector<std::string> ev =
            notice_lines(small, inner, t.hit.evidence, OVK_NOTICE_LINES);
        b.lines.insert(b.lines.end(), ev.begin(), ev.end());
        b.h += p / 2 +
               static_cast<float>(ev.size()) * static_cast<float>(al_get_font_line_height(small));
    }
    return b;
}

struct AREA {
    float x = 0, y = 0, w = 0, h = 0;
};
bool overlaps(const AREA& a, const AREA& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}
bool within(const AREA& a, const AREA& outer) {
    return a.x >= outer.x && a.y >= outer.y && a.x + a.w <= outer.x + outer.w &&
           a.y + a.h <= outer.y + outer.h;
}

bool is_control(ZQ_GUI_WIDGET_TYPE t) {
    switch (t) {
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
        case ZQ_GUI_CHECKBOX:
        case ZQ_GUI_SLIDER:
        case ZQ_GUI_TEXTAREA:
        case ZQ_GUI_COMBOBOX:
        case ZQ_GUI_RADIOLIST:
        case ZQ_GUI_DROPMENU:
            return true;
        case ZQ_GUI_LABEL:
        case ZQ_GUI_DATAGRID:
        case ZQ_GUI_MARKDOWNVIEW:
        case ZQ_GUI_CUSTOM:
            return false;
    }
    return false;
}

// What a notice must leave free: the title bars (with their close boxes) of the open windows
// and every control in sight. Lists, maps, labels and pictures may be covered.
std::vector<AREA> controls_in_sight(OVK_GUI* g) {
    std::vector<AREA> out;
    if (!g->ctx) return out;
    for (const int id : zq_gui_open_windows(g->ctx)) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g->ctx, id);
        if (!w) continue;
        // What this window hides is out of sight.
        const AREA wa{w->x, w->y, w->w, w->h};
        std::erase_if(out, [&](const AREA& a) { return within(a, wa); });
        AREA c;
        zq_gui_window_client_rect(g->ctx, id, &c.x, &c.y, &c.w, &c.h);
        if (c.y > w->y) out.push_back({w->x, w->y, w->w, c.y - w->y});
        for (const int wid : w->widgets) {
            const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g->ctx, wid);
            if (!wd || !wd->visible || !is_control(wd->type)) continue;
            AREA a;
            if (!zq_gui_widget_screen_rect(g->ctx, wid, &a.x, &a.y, &a.w, &a.h)) continue;
            // Only the part inside the window's client area is seen.
            const float x0 = std::max(a.x, c.x), y0 = std::max(a.y, c.y);
            const float x1 = std::min(a.x + a.w, c.x + c.w), y1 = std::min(a.y + a.h, c.y + c.h);
            if (x1 > x0 && y1 > y0) out.push_back({x0, y0, x1 - x0, y1 - y0});
        }
    }
    return out;
}

// The lowest top for a stack of height h, between `floor_y` and the bottom edge, that covers
// none of `avoid`.
std::optional<float> free_spot(const OVK_GUI* g, const std::vector<AREA>& avoid, float x, float w,
                               float h, float floor_y) {
    const float p = ovk_pad(g);
    const float step = std::max(1.0f, p / 2);
    for (float y = g->disp_h - p - h; y >= floor_y; y -= step) {
        const AREA a{x, y, w, h};
        if (std::none_of(avoid.begin(), avoid.end(), [&](const AREA& c) { return overlaps(a, c); }))
            return y;
    }
    return std::nullopt;
}

// The notices on screen, top first: the newest nearest the bottom edge, the stack where no
// control is. A stack that finds no room in the lower half of the display loses its oldest
// notices; the newest alone may go higher up, and over controls only when there is no room at
// all.
std::vector<OVK_NOTICE_BOX> lay_out_notices(OVK_GUI* g, double now) {
    std::vector<OVK_NOTICE_BOX> boxes;
    if (!g->font_bold) return boxes;
    const float p = ovk_pad(g);
    const float w = std::min(640 * g->scale, g->disp_w - 2 * p);
    if (w <= 2 * p) return boxes;
    const float x = (g->disp_w - w) / 2;
    for (const OVK_NOTICE& n : g->older_notices)
        if (now < n.until) boxes.push_back(shape_notice(g, n.alert, n.serial, w));
    if (now < g->toast_until) boxes.push_back(shape_notice(g, g->toast, g->toast_serial, w));
    if (boxes.size() > OVK_NOTICES_MAX)
        boxes.erase(boxes.begin(), boxes.end() - static_cast<std::ptrdiff_t>(OVK_NOTICES_MAX));
    if (boxes.empty()) return boxes;

    const std::vector<AREA> avoid = controls_in_sight(g);
    const float gap = p / 2;
    auto height = [&] {
        float h = 0;
        for (const OVK_NOTICE_BOX& b : boxes) h += b.h + gap;
        return h - gap;
    };
    std::optional<float> top;
    while (!(top = free_spot(g, avoid, x, w, height(), g->disp_h / 2)) && boxes.size() > 1) {
        // Plain messages give way before alerts; the newest stays.
        auto drop = std::find_if(boxes.begin(), boxes.end() - 1,
                                 [](const OVK_NOTICE_BOX& b) { return !b.alert; });
        boxes.erase(drop == boxes.end() - 1 ? boxes.begin() : drop);
    }
    if (!top) top = free_spot(g, avoid, x, w, height(), 0);
    if (!top) top = std::max(0.0f, g->disp_h - p - height());
    float y = *top;
    for (OVK_NOTICE_BOX& b : boxes) {
        b.x = x;
        b.y = y;
        y += b.h + gap;
    }
    return boxes;
}

// The notice drawn at (x, y), if one is: it leaves.
bool dismiss_notice_at(OVK_GUI* g, float x, float y) {
    const double now = al_get_time();
    for (const OVK_NOTICE_BOX& b : g->notice_boxes) {
        if (x < b.x || x >= b.x + b.w || y < b.y || y >= b.y + b.h) continue;
        if (b.serial == g->toast_serial && now < g->toast_until) {
            g->toast_until = 0;
        } else {
            const auto it = std::find_if(g->older_notices.begin(), g->older_notices.end(),
                                         [&](const OVK_NOTICE& n) { return n.serial == b.serial; });
            if (it == g->older_notices.end() || now >= it->until) continue;
            g->older_notices.erase(it);
        }
        g->redraw = true;
        return true;
    }
    return false;
}
}  // namespace

bool ovk_gui_handle_event(OVK_GUI* g, const ALLEGRO_EVENT* ev) {
    OVK_CHECK(g && ev, false);
    const OVK_INTERFACE_SCOPE on_interface;
    if (!g->ctx) return false;
    // A click on a notice dismisses it and goes no further; nor does its release.
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN &&
        dismiss_notice_at(g, static_cast<float>(ev->mouse.x), static_cast<float>(ev->mouse.y))) {
        g->notice_press = static_cast<int>(ev->mouse.button);
        return true;
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP && g->notice_press != 0 &&
        static_cast<int>(ev->mouse.button) == g->notice_press) {
        g->notice_press = 0;
        g->redraw = true;
        return true;
    }
    g->in_event = true;
    const bool toolkit_took = zq_gui_process_event(g->ctx, ev) != 0;
    g->in_event = false;
    bool consumed = toolkit_took;

    for (int id = 0; id < OVK_POP_COUNT; ++id) {
        if (!g->pending_open[id]) continue;
        g->pending_open[id] = false;
        if (g->popup[id] >= 0 && g->popup_open[id]) show_window(g, id);
        g->redraw = true;
    }
    if (g->pending_menu) {
        g->pending_menu = false;
        if (g->ctxmenu) zq_gui_popup_open(g->ctxmenu, g->pending_menu_x, g->pending_menu_y);
        g->redraw = true;
    }
    if (consumed) g->redraw = true;

    switch (ev->type) {
        case ALLEGRO_EVENT_KEY_DOWN: {
            const int key = ev->keyboard.keycode;
            if ((key == ALLEGRO_KEY_ESCAPE || key == ALLEGRO_KEY_BACK) && ovk_gui_back(g))
                consumed = true;
            break;
        }
        case ALLEGRO_EVENT_KEY_CHAR: {
            // Shortcuts read Ctrl from the key press itself: the keyboard's state when the
            // event is handled may already be past a quick Ctrl+F.
            const int key = ev->keyboard.keycode;
            if (toolkit_took || ev->keyboard.repeat ||
                !(ev->keyboard.modifiers & ALLEGRO_KEYMOD_CTRL) || typing_in_a_field(g))
                break;
            if (key == ALLEGRO_KEY_F && ovk_main_focus_search(g)) {
                consumed = true;
            } else if (key == ALLEGRO_KEY_M) {
                if (const OVK_SCREEN* map = screen_in(OVK_POP_MAP); map && map->show) {
                    map->show(g);
                    consumed = true;
                }
            }
            if (consumed) g->redraw = true;
            break;
        }
        case ALLEGRO_EVENT_MOUSE_AXES:
        case ALLEGRO_EVENT_MOUSE_BUTTON_UP:
            g->redraw = true;
            break;
        case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
            if (g->ctxmenu && zq_gui_popup_is_open(g->ctxmenu) &&
                !zq_gui_popup_hit(g->ctxmenu, static_cast<float>(ev->mouse.x),
                                  static_cast<float>(ev->mouse.y))) {
                zq_gui_popup_close(g->ctxmenu);
                g->redraw = true;
            }
            break;
        default:
            break;
    }
    return consumed;
}

void ovk_gui_update(OVK_GUI* g) {
    OVK_CHECK(g);
    const OVK_INTERFACE_SCOPE on_interface;
    g->now_s = al_get_time();

    if (ovk_platform_take_stop_request()) {
        ovk_scan_stop();
        ovk_gui_message(g, "Scanning stopped");
        refresh_main(g);
    }

    bool rebuilt = false;
    const unsigned serial = ovk_prefs_serial();
    if (serial != g->prefs_serial) {
        const OVK_PREFS old = g->prefs;
        g->prefs_serial = serial;
        g->prefs = ovk_prefs_get();
        if (g->prefs.theme != old.theme || g->prefs.ui_size != old.ui_size) {
            ovk_gui_rebuild(g);
            rebuilt = true;
        }
    }
    if (!rebuilt && g->rebuild_pending) ovk_gui_rebuild(g);

    // What the engine port finished (a change made, a view arrived) shows at once.
    const bool arrived = ovk_port_tick(g);
    const bool due = g->now_s - g->last_refresh_s >= 0.5;
    if (arrived || due) {
        g->last_refresh_s = g->now_s;
        // A refresh that only views caused asks quietly: the views it asks for again must not
        // cause the next one, or a screen that asks on each refresh keeps the worker busy.
        ovk_port_quiet(g, !due && !ovk_port_jobs_done(g));
        each_screen([g](const OVK_SCREEN& s) {
            if (s.refresh && (s.popup < 0 || ovk_gui_popup_is_open(g, s.popup))) s.refresh(g);
        });
        ovk_port_quiet(g, false);
        g->redraw = true;
    }

    while (auto a = ovk_pipeline_pop_alert()) push_notice(g, std::move(*a), g->now_s + 6);

    if (g->locate && g->now_s >= g->locate_next_tick) {
        g->locate_next_tick = g->now_s + locate_interval(g);
        ovk_platform_tick();
    }

    each_screen([g](const OVK_SCREEN& s) {
        if (s.tick && (s.popup < 0 || ovk_gui_popup_is_open(g, s.popup))) s.tick(g);
    });

    // Screens with animation of their own (the list's pulsing rows) ask on their tick.
    // The map covers the header (and the radar): while it is open, it asks for itself.
    const bool toast_visible = any_notice(g, g->now_s);
    const bool map_open = ovk_gui_popup_is_open(g, OVK_POP_MAP);
    if (((g->pal.header != OVK_HEADER_NONE || g->prefs.radar_view) && !map_open) || toast_visible)
        g->redraw = true;
    // The frame that takes an expired toast off the screen.
    if (g->toast_drawn && !toast_visible) g->redraw = true;
    if (g->ctx && zq_gui_needs_redraw(g->ctx)) g->redraw = true;
}

namespace {

void draw_notices(OVK_GUI* g) {
    const double now = al_get_time();
    g->notice_boxes = lay_out_notices(g, now);
    g->toast_drawn = !g->notice_boxes.empty();
    const float p = ovk_pad(g);
    const ALLEGRO_FONT* small = notice_small(g);
    for (const OVK_NOTICE_BOX& b : g->notice_boxes) {
        const OVK_UI_ALERT* t = &g->toast;
        if (b.serial != g->toast_serial || now >= g->toast_until)
            for (const OVK_NOTICE& n : g->older_notices)
                if (n.serial == b.serial) t = &n.alert;
        const bool plain = t->hit.confidence < 0;
        ALLEGRO_COLOR box, ink;
        if (plain) {
            box = g->pal.panel_hi;
            ink = g->pal.text;
        } else {
            box = ovk_theme_fill(
                g, ovk_ink(g, t->following ? 0xFFB3261Eu : ovk_cat_color(t->hit.category)));
            ink = ovk_theme_fill_ink(g);
        }
        al_draw_filled_rounded_rectangle(b.x, b.y, b.x + b.w, b.y + b.h, p, p, box);
        if (plain)
            al_draw_rounded_rectangle(b.x, b.y, b.x + b.w, b.y + b.h, p, p, g->pal.border, 1);
        float ly = b.y + p;
        for (size_t k = 0; k < b.lines.size(); ++k) {
            const bool title = static_cast<int>(k) < b.title_lines;
            const ALLEGRO_FONT* f = title ? g->font_bold : small;
            if (!title && static_cast<int>(k) == b.title_lines) ly += p / 2;
            al_draw_text(f, ink, b.x + p, ly, 0, b.lines[k].c_str());
            ly += static_cast<float>(al_get_font_line_height(f));
        }
    }
}
}  // namespace

void ovk_gui_draw(OVK_GUI* g) {
    OVK_CHECK(g);
    const OVK_INTERFACE_SCOPE on_interface;
    al_clear_to_color(g->pal.bg);
    if (g->ctx) zq_gui_draw(g->ctx);
    draw_notices(g);
    g->redraw = false;
}

// ---------------------------------------------------------------------------------------
// 6. Messages and settings
// ---------------------------------------------------------------------------------------

void ovk_gui_message(OVK_GUI* g, const char* format, ...) {
    OVK_CHECK(g && format);
    char buf[OVK_MESSAGE_MAX * 4 + 1];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    // A path too long for a message loses folders in its middle, never its file name.
    std::string text = buf;
    if (text.size() > OVK_MESSAGE_MAX)
        if (const PATH_AT at = find_path(text); at.start != std::string_view::npos)
            for (size_t drop = 1;; ++drop) {
                const auto shorter = drop_folders(text, at, drop);
                if (!shorter) break;
                if (shorter->size() <= OVK_MESSAGE_MAX) {
                    text = *shorter;
                    break;
                }
            }
    OVK_UI_ALERT m;
    m.hit.label = utf8_cut(text, OVK_MESSAGE_MAX);
    m.hit.confidence = -1;
    push_notice(g, std::move(m), al_get_time() + 4);
}

void ovk_gui_message_saved(OVK_GUI* g, int rc, std::string_view done) {
    ovk_gui_message(g, "%s", ovk_port_saved_text(rc, done).c_str());
}

bool ovk_gui_copy(OVK_GUI* g, std::string_view text) {
    OVK_CHECK(g, false);
    bool ok = zq_clipboard_available() && zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, text) == 0;
    if (!ok && g->display) ok = al_set_clipboard_text(g->display, std::string(text).c_str());
    ovk_gui_message(g, ok ? "Copied to clipboard" : "Clipboard unavailable");
    return ok;
}

std::string ovk_gui_clipboard_text(OVK_GUI* g) {
    OVK_CHECK(g, {});
    if (zq_clipboard_available()) {
        std::string t = zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD);
        if (!t.empty()) return t;
    }
    if (!g->display || !al_clipboard_has_text(g->display)) return {};
    char* t = al_get_clipboard_text(g->display);
    if (!t) return {};
    std::string out(t);
    al_free(t);
    return out;
}

void ovk_gui_set_prefs(OVK_GUI* g, const OVK_PREFS& p, bool users_save, std::string saved) {
    OVK_CHECK(g);
    const OVK_PREFS old = g->prefs;
    ovk_prefs_put(p, users_save);
    ovk_port_post(g, [saved = std::move(saved)] {
        return ovk_prefs_flush() == 0 ? saved : std::string("Settings could not be saved to disk");
    });
    g->prefs_serial = ovk_prefs_serial();
    g->prefs = ovk_prefs_get();
    const OVK_PREFS& n = g->prefs;
    if (n.theme != old.theme || n.ui_size != old.ui_size) g->rebuild_pending = true;
    if (n.auto_start != old.auto_start) ovk_platform_set_autostart(n.auto_start);
    const bool scan_changed =
        n.ble_enabled != old.ble_enabled || n.wifi_enabled != old.wifi_enabled ||
        n.scan_interval_ms != old.scan_interval_ms || n.ble_scan_mode != old.ble_scan_mode ||
        n.gps_tagging != old.gps_tagging || n.follower_alerts != old.follower_alerts ||
        n.known_alpr_alerts != old.known_alpr_alerts || n.demo_mode != old.demo_mode ||
        n.hci_dev != old.hci_dev || n.wifi_iface != old.wifi_iface ||
        n.gpsd_host != old.gpsd_host || n.gpsd_port != old.gpsd_port ||
        n.category_enabled != old.category_enabled;
    if (scan_changed && ovk_scan_is_running()) {
        if (n.demo_mode == old.demo_mode) {
            ovk_scan_refresh();
        } else {
            ovk_scan_stop();
            ovk_scan_start();
        }
    }
    g->redraw = true;
}

void ovk_gui_request_permissions(OVK_GUI* g) {
    OVK_CHECK(g);
    switch (ovk_platform_request_permissions()) {
        case 0:
            if (ovk_platform_uses_touch())
                ovk_gui_message(g, "All permissions are already granted");
            else
                ovk_gui_message(g,
                                "No permission needed here: Bluetooth uses make setcap (see "
                                "Settings)");
            break;
        case 1:
            ovk_gui_message(g, "Allow location and Nearby devices in the Android dialog");
            break;
        case 2:
            ovk_gui_message(g,
                            "Android will not ask again: allow Location and Nearby devices "
                            "under Permissions on the page just opened");
            break;
        default:
            ovk_gui_message(g, "Could not ask for permissions right now, try again");
            break;
    }
}

// ---------------------------------------------------------------------------------------
// 7. Text helpers
// ---------------------------------------------------------------------------------------

namespace {

std::vector<std::string> wrap_lines(const ALLEGRO_FONT* font, float max_w, std::string_view text) {
    std::vector<std::string> lines;
    if (!font || text.empty()) return lines;
    const std::string s(text);
    al_do_multiline_text(
        font, std::max(max_w, 1.0f), s.c_str(),
        [](int, const char* line, int size, void* extra) -> bool {
            auto* out = static_cast<std::vector<std::string>*>(extra);
            out->push_back(utf8_cut(std::string_view(line, static_cast<size_t>(size)), 1023));
            return true;
        },
        &lines);
    return lines;
}

}  // namespace

void ovk_draw_text_clip(const ALLEGRO_FONT* font, ALLEGRO_COLOR colour, float x, float y,
                        float max_w, std::string_view text) {
    if (!font || text.empty() || max_w <= 0) return;
    std::string s(text);
    if (static_cast<float>(al_get_text_width(font, s.c_str())) > max_w) {
        char out[512];
        zq_gui_text_shorten(font, s, max_w, 0, out, sizeof out);
        s = out;
    }
    al_draw_text(font, colour, x, y, 0, s.c_str());
}

float ovk_draw_text_wrap(const ALLEGRO_FONT* font, ALLEGRO_COLOR colour, float x, float y,
                         float max_w, std::string_view text) {
    const std::vector<std::string> lines = wrap_lines(font, max_w, text);
    if (lines.empty()) return 0;
    const float lh = static_cast<float>(al_get_font_line_height(font));
    float ly = y;
    for (const std::string& l : lines) {
        if (!l.empty()) al_draw_text(font, colour, x, ly, 0, l.c_str());
        ly += lh;
    }
    return static_cast<float>(lines.size()) * lh;
}

float ovk_text_wrap_height(const ALLEGRO_FONT* font, float max_w, std::string_view text) {
    const size_t n = wrap_lines(font, max_w, text).size();
    return n ? static_cast<float>(n) * static_cast<float>(al_get_font_line_height(font)) : 0;
}

std::string ovk_wrap_text(const ALLEGRO_FONT* font, float max_w, std::string_view text) {
    std::string out;
    for (const std::string& l : wrap_lines(font, max_w, text)) {
        if (!out.empty()) out += '\n';
        out += l;
    }
    return out;
}

namespace {

// The width a label's text wraps to: inside its padding.
float label_inner_w(OVK_GUI* g, float w) {
    const ZQ_GUI_STYLE* st = g->ctx ? zq_gui_style(g->ctx) : nullptr;
    return w - 2 * (st ? st->label_padding : 0) - 2;
}

}  // namespace

void ovk_label_set_wrapped(OVK_GUI* g, int label_id, std::string_view text) {
    OVK_CHECK(g && g->ctx);
    const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g->ctx, label_id);
    if (!w) return;
    const ALLEGRO_FONT* font = w->font ? w->font : g->font;
    std::string wrapped = ovk_wrap_text(font, label_inner_w(g, w->w), text);
    zq_gui_label_set_text(g->ctx, label_id, utf8_cut(wrapped, 4095));
}

void ovk_label_set_read(OVK_GUI* g, int label_id, bool read, std::string_view text) {
    OVK_CHECK(g && g->ctx);
    ovk_label_set_wrapped(g, label_id, read ? text : OVK_READING);
    zq_gui_set_widget_enabled(g->ctx, label_id, read);
}

int ovk_add_wrapped_label(OVK_GUI* g, int win, ALLEGRO_FONT* font, std::string_view text, float x,
                          float y, float w, float* h) {
    if (h) *h = 0;
    OVK_CHECK(g && g->ctx, -1);
    const ALLEGRO_FONT* f = font ? font : g->font;
    const float lh = ovk_text_wrap_height(f, label_inner_w(g, w), text) + 6 * g->scale;
    const int id = zq_gui_add_label(g->ctx, win, x, y, w, lh, "", ZQ_GUI_ALIGN_LEFT);
    if (id < 0) return -1;
    if (font) zq_gui_set_widget_font(g->ctx, id, font);
    ovk_label_set_wrapped(g, id, text);
    if (h) *h = lh;
    return id;
}

std::string ovk_device_title(const OVK_DEVICE& d) {
    if (const OVK_HIT* best = ovk_device_best(d)) return best->label;
    return !d.name.empty() ? d.name : d.device_type;
}

float ovk_badge_h(const OVK_GUI* g, const ALLEGRO_FONT* font) {
    if (!font) return 0;
    return static_cast<float>(al_get_font_line_height(font)) + 2 * 3 * (g ? g->scale : 1.0f);
}

float ovk_draw_badge(const OVK_GUI* g, const ALLEGRO_FONT* font, float x, float y, float max_w,
                     std::string_view text, ALLEGRO_COLOR fill) {
    if (!font || text.empty()) return 0;
    const float s = g ? g->scale : 1.0f;
    const float px = 7 * s, h = ovk_badge_h(g, font);
    std::string t(text);
    if (static_cast<float>(al_get_text_width(font, t.c_str())) > max_w - 2 * px)
        t = zq_gui_text_shorten(font, t, max_w - 2 * px);
    const float w = static_cast<float>(al_get_text_width(font, t.c_str())) + 2 * px;
    al_draw_filled_rounded_rectangle(x, y, x + w, y + h, h / 2, h / 2, ovk_theme_fill(g, fill));
    al_draw_text(font, ovk_theme_fill_ink(g), x + px, y + 3 * s, 0, t.c_str());
    return w;
}

int ovk_add_check_row(OVK_GUI* g, int win, float x, float y, float w, float min_h,
                      std::string_view text, bool checked, ZQ_GUI_CLICK_FN on_toggle, void* user,
                      float* h, int* label_id) {
    if (h) *h = 0;
    if (label_id) *label_id = -1;
    OVK_CHECK(g && g->ctx, -1);
    const float rh = ovk_row_h(g);
    const std::string s(text);
    if (w >= static_cast<float>(al_get_text_width(g->font, s.c_str())) + rh) {
        if (h) *h = min_h;
        return zq_gui_add_checkbox(g->ctx, win, x, y, w, min_h, s, checked, on_toggle, user);
    }
    // The box keeps its size, centred in a row's height; the text starts where a check box
    // draws its own label, the first line level with the box.
    const int id = zq_gui_add_checkbox(g->ctx, win, x, y, rh, min_h, "", checked, on_toggle, user);
    const ZQ_GUI_STYLE* st = zq_gui_style(g->ctx);
    const float lpad = st ? st->label_padding : 0;
    const float box = std::max(6.0f, std::min(min_h, st ? st->checkbox_max_size : rh) - 4);
    const float tx = x + 2 + box + 8 - lpad;
    const float lh = static_cast<float>(al_get_font_line_height(g->font));
    const float off = std::max(0.0f, (min_h - lh) / 2 - lpad);
    float text_h = 0;
    const int lab = ovk_add_wrapped_label(g, win, nullptr, text, tx, y + off, x + w - tx, &text_h);
    if (label_id) *label_id = lab;
    if (h) *h = std::max(min_h, off + text_h);
    return id;
}

std::string ovk_age_text(int64_t now_ms, int64_t t_ms) {
    const long long d = static_cast<long long>(now_ms - t_ms);
    char b[48];
    if (d < 2000)
        return "now";
    else if (d < 120000)
        std::snprintf(b, sizeof b, "%llds ago", d / 1000);
    else if (d < 7200000)
        std::snprintf(b, sizeof b, "%lld min ago", d / 60000);
    else if (d >= 172800000)
        std::snprintf(b, sizeof b, "%lld d ago", d / 86400000);
    else
        std::snprintf(b, sizeof b, "%lld h ago", d / 3600000);
    return b;
}

const char* ovk_band(int rssi) {
    if (rssi >= -60) return "Near";
    if (rssi < -80) return "Far";
    return "Nearby";
}
