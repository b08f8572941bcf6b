// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// A day with the window, as a person spends it, on a private X server with real input
// (xdotool): the first start shows the setup wizard, which is walked to its end; demo mode from
// the menu; the Axon body camera under the "Flagged" filter, its details, onto the watchlist
// with a typed label; another device whitelisted from its row's context menu; the map and a
// trace of a minute; a new theme saved in the settings; the session exported as CSV; "Quit".
// Afterwards every data file loads, the CSV reads in Python's csv module, the trace is among
// the traces and the preferences hold the new theme.
//
// The program's own start-up and event loop run here, in this process, so that widgets are
// found by their labels through the toolkit instead of by pixel positions. Screenshots go to
// $OVK_SHOT_DIR (else the test's scratch folder) as day_*.png.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_dirs.h"
#include "ovk_gui.h"
#include "ovk_gui_main.h"
#include "ovk_gui_theme.h"
#include "ovk_platform.h"
#include "ovk_prefs.h"
#include "ovk_startup.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_http.h"
#include "ovk_test_menus.h"
#include "ovk_test_xvfb.h"
#include "ovk_trip.h"
#include "ovk_watchlist.h"
#include "zq_gui_internal.h"

namespace {

constexpr const char* kAxon = "00:25:DF:4A:19:C2";  // the demo's body camera
constexpr const char* kLabel = "Axon camera at the corner";
constexpr double kTraceS = 60;  // how long the trace records

// What the pipeline told the person (notifications and alert sounds), as stand-ins for the
// desktop's programs.
struct HEARD {
    std::mutex mu;
    std::vector<std::string> notes;
    int alerts = 0;
};
HEARD g_heard;

// The platform as on a machine without radios: data directory, assets and the desktop's
// notifications; no scanner to start, so only the demo feed gives devices.
OVK_HOST host_without_radios() {
    OVK_HOST h;
    h.platform_init = [] { return ovk_platform_init(); };
    h.platform_shutdown = [] { ovk_platform_shutdown(); };
    h.data_dir = [] { return ovk_platform_data_dir(); };
    h.read_asset = [](std::string_view n) { return ovk_platform_read_asset(n); };
    h.hooks.notify = [](std::optional<std::string_view>, std::optional<std::string_view> title,
                        std::optional<std::string_view> text) {
        std::lock_guard lk(g_heard.mu);
        g_heard.notes.push_back(std::string(title.value_or("")) + ": " +
                                std::string(text.value_or("")));
    };
    h.hooks.alert = [](OVK_TIER, int, int, int, std::string_view) {
        std::lock_guard lk(g_heard.mu);
        ++g_heard.alerts;
    };
    return h;
}

class GuiDay : public ::testing::Test {
  protected:
    void SetUp() override {
        OVK_REQUIRE_XVFB();
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        unsetenv("OVK_TOUCH");
        unsetenv("OVK_DENSITY");
        unsetenv("OVK_FULLSCREEN");
        data_ = dir_.path() + "/orvik";
        const char* keep = getenv("OVK_SHOT_DIR");
        shots_ = keep ? keep : dir_.file("shots");
        ASSERT_EQ(ovk_mkdirs(shots_), 0);
        // Map tiles come from a server on this machine (one street block for every tile):
        // nothing leaves it. The rest of the settings are a first start's.
        const std::string tile = dir_.file("tile.png");
        ASSERT_EQ(ovk_test::run_command(
                      "convert -size 256x256 xc:'#ece7dc' -fill '#cfe3c4' -draw 'rectangle "
                      "150,130 236,226' -stroke white -strokewidth 7 -draw 'line 0,70 256,70' "
                      "-draw 'line 100,0 100,256' " +
                      tile)
                      .rc,
                  0);
        tile_png_ = ovk_test::read_file(tile);
        tiles_ = std::make_unique<TestHttpServer>([this](const TestHttpRequest&, TestHttpConn& c) {
            c.respond(200, tile_png_, "image/png");
        });
        ASSERT_EQ(ovk_mkdirs(data_), 0);
        ovk_test::write_file(data_ + "/settings.json",
                             "{\"tile_server\": \"" + tiles_->url("") + "\"}");
    }
    void TearDown() override { close_program(); }

    // The window program's start, as its entry does it.
    void open_program() {
        ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
        al_installed_ = true;
        al_install_keyboard();
        al_install_mouse();
        al_init_image_addon();
        al_init_font_addon();
        al_init_ttf_addon();
        al_init_primitives_addon();
        ASSERT_EQ(ovk_startup_open(OVK_OPTS{}, host_without_radios()), 0);
        engine_open_ = true;
        al_set_new_display_flags(ovk_platform_display_flags());
        display_ = al_create_display(1100, 820);
        ASSERT_NE(display_, nullptr);
        al_set_window_title(display_, "Orvik");
        queue_ = al_create_event_queue();
        timer_ = al_create_timer(1.0 / 30);
        al_register_event_source(queue_, al_get_display_event_source(display_));
        al_register_event_source(queue_, al_get_keyboard_event_source());
        al_register_event_source(queue_, al_get_mouse_event_source());
        al_register_event_source(queue_, al_get_timer_event_source(timer_));
        ASSERT_EQ(ovk_gui_init(&g_, display_, queue_), 0);
        gui_open_ = true;
        if (ovk_prefs_get().auto_start) ovk_scan_start();
        al_start_timer(timer_);
        ASSERT_TRUE(ovk_test::x_wait_window("^Orvik$", 10000, &wid_));
        ovk_test::x_run("xdotool windowactivate --sync " + wid_ + " mousemove --window " + wid_ +
                        " 5 5");
    }
    // Its end, in the entry's order; also after a failure half-way.
    void close_program() {
        if (gui_open_) {
            ovk_scan_stop();
            ovk_gui_shutdown(&g_);
            gui_open_ = false;
        }
        if (timer_) al_destroy_timer(timer_);
        if (queue_) al_destroy_event_queue(queue_);
        if (display_) al_destroy_display(display_);
        timer_ = nullptr;
        queue_ = nullptr;
        display_ = nullptr;
        if (engine_open_) ovk_startup_close();
        engine_open_ = false;
        if (al_installed_) al_uninstall_system();
        al_installed_ = false;
    }

    // One pass of the program's event loop; false once the program asked to quit.
    bool step() {
        ALLEGRO_EVENT ev;
        if (al_wait_for_event_timed(queue_, &ev, 0.02f)) {
            switch (ev.type) {
                case ALLEGRO_EVENT_TIMER:
                    ovk_gui_update(&g_);
                    if (g_.quit_requested) quit_ = true;
                    ovk_gui_handle_event(&g_, &ev);
                    break;
                case ALLEGRO_EVENT_DISPLAY_RESIZE:
                    al_acknowledge_resize(display_);
                    g_.disp_w = static_cast<float>(al_get_display_width(display_));
                    g_.disp_h = static_cast<float>(al_get_display_height(display_));
                    g_.rebuild_pending = true;
                    ovk_gui_handle_event(&g_, &ev);
                    break;
                default:
                    ovk_gui_handle_event(&g_, &ev);
                    break;
            }
        }
        if (g_.redraw && al_is_event_queue_empty(queue_)) {
            al_set_target_backbuffer(display_);
            ovk_gui_draw(&g_);
            al_flip_display();
            zq_gui_draw_detached(g_.ctx);
        }
        return !quit_;
    }
    template <typename F>
    bool pump(F done, double limit_s = 5) {
        const double until = al_get_time() + limit_s;
        while (!done() && al_get_time() < until && step()) {
        }
        return done();
    }
    void pump_for(double s) {
        pump([] { return false; }, s);
    }

    // A frame as the person sees it, kept as day_<name>.png.
    void shot(const std::string& name) {
        pump_for(0.3);
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        EXPECT_TRUE(al_save_bitmap((shots_ + "/day_" + name + ".png").c_str(),
                                   al_get_backbuffer(display_)));
        al_flip_display();
    }

    // --- finding things on screen ---

    struct RECT {
        float x = 0, y = 0, w = 0, h = 0;
    };
    RECT rect(int id) {
        RECT r;
        EXPECT_TRUE(zq_gui_widget_screen_rect(g_.ctx, id, &r.x, &r.y, &r.w, &r.h)) << id;
        return r;
    }
    // The shown widgets of a pop-up (or of the main window for -1) that `pred` accepts.
    template <typename P>
    std::vector<int> widgets(int popup, P pred) {
        std::vector<int> out;
        const int win =
            popup < 0 ? ovk_main_state().win_main : g_.popup[static_cast<size_t>(popup)];
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win);
        if (!w) return out;
        for (int id : w->widgets)
            if (ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id); wd && wd->visible && pred(*wd))
                out.push_back(id);
        return out;
    }
    int button(int popup, const std::string& label) {
        const auto ids = widgets(popup, [&](const ZQ_GUI_WIDGET& w) {
            return zq_gui_button_get_label(g_.ctx, w.id) == label;
        });
        return ids.empty() ? -1 : ids.front();
    }
    // The radio list or combo box of a pop-up that offers `item` (alone or followed by " - "
    // and a description), and the item's index.
    std::pair<int, int> chooser(int popup, const std::string& item) {
        for (int id : widgets(popup, [](const ZQ_GUI_WIDGET&) { return true; })) {
            const std::vector<std::string>* items = nullptr;
            if (auto* r = zq_gui_data<ZQ_GUI_RADIO_DATA>(g_.ctx, id)) items = &r->items;
            if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(g_.ctx, id)) items = &c->items;
            if (!items) continue;
            for (size_t i = 0; i < items->size(); ++i)
                if ((*items)[i] == item || (*items)[i].rfind(item + " - ", 0) == 0)
                    return {id, static_cast<int>(i)};
        }
        return {-1, -1};
    }

    // --- real input ---

    static std::string xy(float x, float y) {
        return std::to_string(static_cast<int>(x)) + " " + std::to_string(static_cast<int>(y));
    }
    void click_at(float x, float y, int button = 1) {
        ASSERT_EQ(ovk_test::x_run("xdotool mousemove --window " + wid_ + " " + xy(x, y) +
                                  " click " + std::to_string(button))
                      .rc,
                  0);
    }
    // A click on the middle of a widget, which must lie inside the window.
    void click(int id, int button = 1) {
        ASSERT_GE(id, 0);
        const RECT r = rect(id);
        ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.x + r.w <= g_.disp_w && r.y + r.h <= g_.disp_h)
            << "widget " << id << " is off the screen";
        click_at(r.x + r.w / 2, r.y + r.h / 2, button);
    }
    // A click on the labelled button of a pop-up (-1: the main window).
    void press(int popup, const std::string& label) {
        const int id = button(popup, label);
        ASSERT_GE(id, 0) << "no button \"" << label << "\"";
        click(id);
    }
    // A click on item `item` of a radio list.
    void click_radio(int id, int item) {
        const RECT r = rect(id);
        const float ih = zq_gui_radio_item_h(g_.ctx, zq_gui_get_widget(g_.ctx, id));
        click_at(r.x + 30, r.y + ih * (static_cast<float>(item) + 0.5f));
    }
    // Opens a combo box and picks `item` from its list.
    void pick_combo(int id, int item) {
        click(id);
        ASSERT_TRUE(pump([&] { return zq_gui_menu_is_open(g_.ctx) != 0; }));
        const auto spot = ovk_test::combo_item_spot(g_.ctx, id, item);
        ASSERT_TRUE(spot) << "item " << item << " is not in view";
        click_at(spot->first, spot->second);
        ASSERT_TRUE(pump([&] { return zq_gui_menu_is_open(g_.ctx) == 0; }));
    }
    // Picks the menu's entry that reads `text`.
    void pick_menu(const std::string& text) {
        click(ovk_main_state().w_menu);
        ASSERT_TRUE(pump([&] { return zq_gui_menu_is_open(g_.ctx) != 0; }));
        const auto spot = ovk_test::dropmenu_entry_spot(g_.ctx, ovk_main_state().w_menu, text);
        ASSERT_TRUE(spot) << "no menu entry " << text;
        click_at(spot->first, spot->second);
        ASSERT_TRUE(pump([&] { return zq_gui_menu_is_open(g_.ctx) == 0; }));
    }
    // Picks the open context menu's entry that reads `text`.
    void pick_ctx(const std::string& text) {
        ASSERT_TRUE(g_.ctxmenu && zq_gui_popup_is_open(g_.ctxmenu));
        const auto spot = ovk_test::popup_entry_spot(g_.ctxmenu, text);
        ASSERT_TRUE(spot) << "no context entry " << text;
        click_at(spot->first, spot->second);
        ASSERT_TRUE(pump([&] { return !zq_gui_popup_is_open(g_.ctxmenu); }));
    }
    void key(const std::string& keys) {
        ASSERT_EQ(ovk_test::x_run("xdotool key --window " + wid_ + " " + keys).rc, 0);
    }

    // --- the main list ---

    float list_row_h() const {
        return static_cast<float>(al_get_font_line_height(g_.font_bold) +
                                  2 * al_get_font_line_height(g_.font_small)) +
               14 * g_.scale;
    }
    // The row the list shows `mac` in, or -1.
    int row_of(const std::string& mac) const {
        for (size_t r = 0; r < ovk_main_state().visible.size(); ++r)
            if (g_.devices[static_cast<size_t>(ovk_main_state().visible[r])].mac == mac)
                return static_cast<int>(r);
        return -1;
    }
    // A click on the row, right after a fresh view came in (the list re-sorts as signals
    // change, so the click comes while the order is the one looked at).
    void click_row(int row, int button) {
        const double seen = g_.last_refresh_s;
        pump([&] { return g_.last_refresh_s != seen; }, 2);
        const RECT l = rect(ovk_main_state().w_list);
        const float y =
            l.y + (static_cast<float>(row) + 0.5f) * list_row_h() - ovk_main_state().list_scroll;
        ASSERT_LT(y, l.y + l.h) << "row " << row << " is below the list";
        click_at(l.x + l.w / 3, y, button);
    }
    std::string toast() const { return al_get_time() < g_.toast_until ? g_.toast.hit.label : ""; }

    ovk_test::TempDir dir_;
    std::string data_, shots_, wid_;
    std::string tile_png_;
    std::unique_ptr<TestHttpServer> tiles_;
    ALLEGRO_DISPLAY* display_ = nullptr;
    ALLEGRO_EVENT_QUEUE* queue_ = nullptr;
    ALLEGRO_TIMER* timer_ = nullptr;
    OVK_GUI g_;
    bool al_installed_ = false, engine_open_ = false, gui_open_ = false, quit_ = false;
};

TEST_F(GuiDay, FromTheFirstStartToQuit) {
    ASSERT_NO_FATAL_FAILURE(open_program());

    // 1. The first start: the setup wizard, walked step by step; a dark look on the way.
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_SETUP); }))
        << "the first start shows the setup wizard";
    shot("setup_welcome");
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_SETUP, "Next"));
    ASSERT_TRUE(pump([&] {
        return chooser(OVK_POP_SETUP, ovk_theme_title(OVK_THEME_DARK)).first >= 0;
    })) << "the second step offers the themes";
    {
        const auto [list, item] = chooser(OVK_POP_SETUP, ovk_theme_title(OVK_THEME_DARK));
        ASSERT_NO_FATAL_FAILURE(click_radio(list, item));
    }
    ASSERT_TRUE(pump([&] { return g_.prefs.theme == OVK_THEME_DARK && !g_.rebuild_pending; }))
        << "a theme picked in the wizard applies right away";
    shot("setup_look");
    for (int next = 0; next < 4; ++next) {
        ASSERT_NO_FATAL_FAILURE(press(OVK_POP_SETUP, "Next"));
        pump_for(0.2);
    }
    ASSERT_TRUE(pump([&] { return button(OVK_POP_SETUP, "Finish") >= 0; }))
        << "the last step ends with Finish";
    shot("setup_permissions");
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_SETUP, "Finish"));
    ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_SETUP); }));
    EXPECT_TRUE(pump([&] { return toast() == "All set. Press Start scanning to begin."; }));
    EXPECT_TRUE(ovk_prefs_get().onboarding_done);
    EXPECT_FALSE(g_.status.running) << "nothing scans before the person asks";

    // 2. No radios here: demo mode from the menu, and the Axon body camera comes up.
    ASSERT_NO_FATAL_FAILURE(pick_menu("Demo mode: off"));
    ASSERT_TRUE(pump([&] { return g_.status.running && g_.status.demo; }, 10));
    ASSERT_TRUE(pump([&] { return row_of(kAxon) >= 0; }, 15)) << "no Axon camera in the list";
    {
        const OVK_DEVICE& axon =
            g_.devices[static_cast<size_t>(ovk_main_state().visible[row_of(kAxon)])];
        ASSERT_FALSE(axon.hits.empty());
        EXPECT_EQ(axon.hits[0].label, "Axon body camera");
    }
    ASSERT_NO_FATAL_FAILURE(press(-1, "Flagged"));
    ASSERT_TRUE(pump([&] { return ovk_main_state().filter == OVK_FILTER_FLAGGED; }));
    // The fresh view holds the camera and the other flagged gear, and nothing unmatched.
    const auto only_flagged = [&] {
        for (int v : ovk_main_state().visible)
            if (g_.devices[static_cast<size_t>(v)].hits.empty()) return false;
        return row_of(kAxon) >= 0 && ovk_main_state().visible.size() >= 5;
    };
    ASSERT_TRUE(pump(only_flagged, 10)) << ovk_main_state().visible.size() << " devices listed";
    EXPECT_LT(ovk_main_state().visible.size(), g_.devices.size())
        << "the ordinary gadgets are left out";
    shot("main_flagged");

    // 3. The camera's details, by a click on its row.
    for (int tries = 0; tries < 5 && g_.sel_mac != kAxon; ++tries) {
        if (ovk_gui_popup_is_open(&g_, OVK_POP_DETAIL)) {
            key("Escape");
            pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_DETAIL); });
        }
        ASSERT_NO_FATAL_FAILURE(click_row(row_of(kAxon), 1));
        pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_DETAIL); }, 3);
    }
    ASSERT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_DETAIL));
    ASSERT_EQ(g_.sel_mac, kAxon);
    shot("detail_axon");

    // 4. Onto the watchlist, labelled from the keyboard.
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_DETAIL, "Add to watchlist"));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_WATCH_ADD); }));
    {
        const auto fields = widgets(
            OVK_POP_WATCH_ADD, [](const ZQ_GUI_WIDGET& w) { return w.type == ZQ_GUI_TEXTAREA; });
        ASSERT_EQ(fields.size(), 1u);
        ASSERT_NO_FATAL_FAILURE(click(fields[0]));
        ASSERT_TRUE(pump([&] { return zq_gui_get_focus(g_.ctx) == fields[0]; }));
        key("ctrl+a BackSpace");
        ASSERT_EQ(ovk_test::x_run("xdotool type --window " + wid_ + " --delay 20 '" +
                                  std::string(kLabel) + "'")
                      .rc,
                  0);
        ASSERT_TRUE(pump([&] { return zq_gui_textarea_get_text(g_.ctx, fields[0]) == kLabel; }))
            << zq_gui_textarea_get_text(g_.ctx, fields[0]);
    }
    shot("watch_add");
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_WATCH_ADD, "Add"));
    ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_WATCH_ADD); }));
    ASSERT_TRUE(pump([&] { return button(OVK_POP_DETAIL, "Remove from watchlist") >= 0; }))
        << "the detail screen now offers to undo it";
    key("Escape");
    ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_DETAIL); }));

    // 5. Another flagged device whitelisted through its row's context menu.
    std::string trusted;
    for (int tries = 0; tries < 5 && trusted.empty(); ++tries) {
        const int row = row_of(kAxon) == 0 ? 1 : 0;
        ASSERT_NO_FATAL_FAILURE(click_row(row, 3));
        ASSERT_TRUE(pump([&] { return g_.ctxmenu && zq_gui_popup_is_open(g_.ctxmenu); }));
        if (g_.ctxmenu_mac != kAxon) {
            trusted = g_.ctxmenu_mac;
            shot("context_menu");
            ASSERT_NO_FATAL_FAILURE(pick_ctx("Whitelist (trust it)"));
        } else {
            key("Escape");
            pump([&] { return !zq_gui_popup_is_open(g_.ctxmenu); });
        }
    }
    ASSERT_FALSE(trusted.empty());
    // (The confirmation is a toast, which the demo's next alert may replace at once.)
    ASSERT_TRUE(pump([&] { return ovk_store_is_whitelisted(trusted) == 1; }));
    EXPECT_TRUE(pump([&] { return row_of(trusted) < 0; }, 5))
        << "a trusted device is no longer flagged";

    // 6. The map, and a trace of a minute recorded from it.
    ASSERT_NO_FATAL_FAILURE(pick_menu("Map"));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_MAP); }));
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_MAP, "Record trace"));
    ASSERT_TRUE(pump([&] { return ovk_trip_is_recording() != 0; }));
    ASSERT_TRUE(pump([&] { return button(OVK_POP_MAP, "Stop trace") >= 0; }));
    EXPECT_EQ(
        zq_gui_get_widget(g_.ctx, button(OVK_POP_MAP, "Stop trace"))->tooltip.rfind("Stop", 0), 0u)
        << "the pointer still rests on the button: its tip says what a click does now";
    const double trace_from = al_get_time();
    pump([&] { return al_get_time() - trace_from >= kTraceS; }, kTraceS + 1);
    shot("map_trace");
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_MAP, "Stop trace"));
    ASSERT_TRUE(pump([&] { return ovk_trip_is_recording() == 0; }));
    ASSERT_TRUE(pump([&] { return button(OVK_POP_MAP, "Record trace") >= 0; }));
    key("Escape");
    ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_MAP); }));

    // 7. A light theme in the settings, saved.
    ASSERT_NO_FATAL_FAILURE(pick_menu("Settings"));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS); }));
    {
        const auto [combo, item] = chooser(OVK_POP_SETTINGS, ovk_theme_title(OVK_THEME_PAPER));
        ASSERT_GE(combo, 0) << "no theme choice in the settings";
        ASSERT_NO_FATAL_FAILURE(pick_combo(combo, item));
        EXPECT_EQ(g_.prefs.theme, OVK_THEME_DARK) << "nothing applies before Save";
    }
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_SETTINGS, "Save"));
    ASSERT_TRUE(pump([&] { return g_.prefs.theme == OVK_THEME_PAPER && !g_.rebuild_pending; }));
    shot("settings_paper");
    if (ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS)) {
        key("Escape");
        ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS); }));
    }
    shot("main_paper");

    // 8. The session exported as CSV.
    ASSERT_NO_FATAL_FAILURE(pick_menu("Export..."));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_EXPORT); }));
    {
        const std::pair<int, int> scope =
            chooser(OVK_POP_EXPORT, "Current scan (all devices, matched or not)");
        ASSERT_GE(scope.first, 0);
        ASSERT_NO_FATAL_FAILURE(click_radio(scope.first, scope.second));
        const std::pair<int, int> csv = chooser(OVK_POP_EXPORT, "CSV");
        ASSERT_GE(csv.first, 0);
        ASSERT_NO_FATAL_FAILURE(click_radio(csv.first, csv.second));
        ASSERT_TRUE(pump([&] {
            return zq_gui_radiolist_get_selected(g_.ctx, scope.first) == scope.second &&
                   zq_gui_radiolist_get_selected(g_.ctx, csv.first) == csv.second;
        }));
    }
    shot("export");
    ASSERT_NO_FATAL_FAILURE(press(OVK_POP_EXPORT, "Export"));
    // The file in the export folder (the toast naming it may give way to an alert at once).
    const std::string exports = ovk_platform_export_dir();
    std::string csv_path;
    ASSERT_TRUE(pump([&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(exports, ec))
            if (e.path().extension() == ".csv") csv_path = e.path().string();
        return !csv_path.empty();
    })) << "nothing exported into "
        << exports;
    // The dialog closes on the tick that learns the file is written.
    EXPECT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_EXPORT); }));
    shot("exported");

    // 9. Quit from the menu.
    ASSERT_NO_FATAL_FAILURE(pick_menu("Quit"));
    ASSERT_TRUE(pump([&] { return quit_; }));
    close_program();
    {
        std::lock_guard lk(g_heard.mu);
        EXPECT_GT(g_heard.alerts, 0) << "the demo's flagged gear raised alerts";
    }

    // Every data file loads with the program's own readers.
    ASSERT_EQ(ovk_prefs_load(data_), 0);
    const OVK_PREFS p = ovk_prefs_get();
    EXPECT_EQ(p.theme, OVK_THEME_PAPER);
    EXPECT_TRUE(p.onboarding_done);
    EXPECT_TRUE(p.demo_mode);
    EXPECT_EQ(p.tile_server, tiles_->url("")) << "what the person did not touch is kept";
    EXPECT_FALSE(tiles_->requests().empty()) << "the map showed tiles";

    const std::string log = ovk_test::read_file(data_ + "/detections.jsonl");
    const auto dets = ovk_store_parse_log(log, nullptr);
    EXPECT_FALSE(dets.empty());
    EXPECT_EQ(dets.size(), static_cast<size_t>(std::count(log.begin(), log.end(), '\n')))
        << "every line of the match log parses";
    ASSERT_EQ(ovk_store_open(data_), 0);
    EXPECT_TRUE(ovk_store_known_get(kAxon).has_value());
    EXPECT_TRUE(ovk_store_is_whitelisted(trusted));
    EXPECT_FALSE(ovk_store_is_whitelisted(kAxon));
    ovk_store_close();
    const auto known = ovk_store_parse_known(ovk_test::read_file(data_ + "/known_devices.json"));
    EXPECT_GE(known.size(), 10u) << "the demo's devices are remembered at quit";
    const auto white = ovk_store_parse_whitelist(ovk_test::read_file(data_ + "/whitelist.json"));
    ASSERT_EQ(white.size(), 1u);
    EXPECT_EQ(white[0].mac, trusted);

    const auto custom = ovk_watchlist_parse(ovk_test::read_file(data_ + "/watchlist_custom.json"));
    ASSERT_TRUE(custom.has_value());
    ASSERT_EQ(custom->size(), 1u);
    EXPECT_EQ((*custom)[0].prefix, kAxon);
    EXPECT_EQ((*custom)[0].label, kLabel);

    ASSERT_EQ(ovk_trip_open(data_), 0);
    const std::vector<OVK_TRIP> trips = ovk_trip_list();
    ASSERT_EQ(trips.size(), 1u);
    const OVK_TRIP& t = trips[0];
    EXPECT_GT(t.end_time, t.start_time) << "the trace was closed";
    EXPECT_GE(t.end_time - t.start_time, static_cast<int64_t>(kTraceS * 1000) - 2000);
    // The demo's walker covers about 1.2 m a second; a trace keeps a point every 10 m.
    EXPECT_GE(t.point_count, 5);
    EXPECT_NEAR(t.distance_m, 72, 25);
    EXPECT_EQ(static_cast<int>(ovk_trip_points(t.id).size()), t.point_count);
    EXPECT_GE(t.device_count, 10);
    EXPECT_GE(t.flagged_count, 5);
    ovk_trip_close();

    // The export opens in Python's csv module: a header, the session's devices in rows as wide
    // as it, the camera under the person's label, the trusted device marked so.
    ASSERT_TRUE(ovk_test::file_exists(csv_path)) << csv_path;
    if (const char* keep = getenv("OVK_SHOT_DIR"))
        ovk_test::run_command("cp " + csv_path + " " + std::string(keep) + "/day_export.csv");
    const auto py = ovk_test::run_command(
        "python3 -c 'import csv, sys\n"
        "rows = list(csv.reader(open(sys.argv[1], newline=\"\")))\n"
        "print(len(rows), len(set(len(r) for r in rows)))\n"
        "by_mac = {r[\"mac\"]: r for r in csv.DictReader(open(sys.argv[1], newline=\"\"))}\n"
        "print(by_mac[sys.argv[2]][\"match_label\"])\n"
        "print(by_mac[sys.argv[3]][\"whitelisted\"], by_mac[sys.argv[2]][\"whitelisted\"])' " +
        csv_path + " " + kAxon + " " + trusted);
    ASSERT_EQ(py.rc, 0) << py.out;
    std::istringstream out(py.out);
    int rows = 0, widths = 0;
    std::string label, trusted_white;
    out >> rows >> widths;
    out.ignore(1);
    std::getline(out, label);
    std::getline(out, trusted_white);
    EXPECT_GE(rows, 16) << "a header and the demo's fifteen devices";
    EXPECT_EQ(widths, 1) << "every row has the header's columns";
    EXPECT_EQ(label, kLabel);
    EXPECT_EQ(trusted_white, "true false");
}

}  // namespace
