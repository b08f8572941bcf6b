// A screen of the interface in this process, used as a person would use it: one Allegro window
// on a private Xvfb, the frame fed from the window's event queue (and ticked 30 times a
// second), clicks and typing sent to the X server with xdotool. The engine's files live in a
// scratch home directory (HOME and XDG_DATA_HOME point there), with the store and the trips
// opened on it. Header-only.
//
//   class MyScreen : public ovk_test::ScreenTest {};
//   TEST_F(MyScreen, Something) {
//       init();                                   // the frame, in the test's theme
//       ovk_trips_show(&g_);
//       click(button_in(g_.popup[OVK_POP_TRIPS], "GPX"));
//       EXPECT_TRUE(pump([&] { return toast() == "Saved ..."; }));
//   }
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "ovk_gui.h"
#include "ovk_platform.h"
#include "ovk_prefs.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_xvfb.h"
#include "ovk_trip.h"
#include "zq_gui_internal.h"

namespace ovk_test {

class ScreenTest : public ::testing::Test {
  protected:
    static constexpr int kW = 1100, kH = 820;

    static void SetUpTestSuite() {
        const XvfbState& x = xvfb_start();
        ASSERT_TRUE(x.running) << x.error;
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        unsetenv("OVK_TOUCH");
        unsetenv("OVK_DENSITY");
        ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
        al_install_keyboard();
        al_install_mouse();
        al_init_image_addon();
        al_init_font_addon();
        al_init_ttf_addon();
        al_init_primitives_addon();
        display_ = al_create_display(kW, kH);
        ASSERT_NE(display_, nullptr);
        const std::string title = "Orvik screen test " + std::to_string(getpid());
        al_set_window_title(display_, title.c_str());
        queue_ = al_create_event_queue();
        al_register_event_source(queue_, al_get_keyboard_event_source());
        al_register_event_source(queue_, al_get_mouse_event_source());
        al_register_event_source(queue_, al_get_display_event_source(display_));
        ASSERT_TRUE(x_wait_window("^" + title + "$", 10000, &wid_));
    }
    static void TearDownTestSuite() {
        if (queue_) al_destroy_event_queue(queue_);
        if (display_) al_destroy_display(display_);
        queue_ = nullptr;
        display_ = nullptr;
        al_uninstall_system();
    }

    void SetUp() override {
        home_ = std::make_unique<TempDir>();
        setenv("HOME", home_->path().c_str(), 1);
        setenv("XDG_DATA_HOME", home_->path().c_str(), 1);
        data_dir_ = ovk_platform_data_dir();
        ASSERT_EQ(ovk_store_open(data_dir_), 0);
        ASSERT_EQ(ovk_trip_open(data_dir_), 0);
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.map_tiles = 0;  // nothing is downloaded in tests
        ovk_prefs_set(p);
        al_set_target_backbuffer(display_);
        // Whatever an earlier test left in the queue belongs to its frame.
        al_flush_event_queue(queue_);
    }
    void TearDown() override {
        if (inited_) ovk_gui_shutdown(&g_);
        inited_ = false;
        ovk_trip_close();
        ovk_store_close();
    }

    // The frame in theme `theme`.
    void init(int theme = OVK_THEME_SYSTEM) {
        if (inited_) ovk_gui_shutdown(&g_);
        OVK_PREFS p = ovk_prefs_get();
        p.theme = static_cast<OVK_THEME_ID>(theme);
        ovk_prefs_set(p);
        ASSERT_EQ(ovk_gui_init(&g_, display_, queue_), 0);
        inited_ = true;
        frame();
    }

    // Draws one frame and shows it.
    void frame() {
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        al_flip_display();
    }

    // Feeds queued events to the frame and ticks it (drawing the frames it asks for) until
    // `done` holds or `limit_s` pass; whether it holds.
    template <typename F>
    bool pump(F&& done, double limit_s = 5) {
        const double until = al_get_time() + limit_s;
        double next_tick = 0;
        while (true) {
            if (done()) return true;
            if (al_get_time() >= until) return done();
            ALLEGRO_EVENT ev;
            if (al_wait_for_event_timed(queue_, &ev, 0.01)) ovk_gui_handle_event(&g_, &ev);
            if (al_get_time() >= next_tick) {
                next_tick = al_get_time() + 1.0 / 30;
                ovk_gui_update(&g_);
                if (g_.redraw) frame();
            }
        }
    }
    // Lets the frame run for `s` seconds.
    void settle(double s = 0.3) {
        pump([] { return false; }, s);
    }

    // A left click at display position (x, y), through the X server.
    void click_at(float x, float y) {
        const std::string cmd = "xdotool mousemove --window " + wid_ + " " +
                                std::to_string(std::lround(x)) + " " +
                                std::to_string(std::lround(y)) + " click 1";
        ASSERT_EQ(x_run(cmd).rc, 0) << cmd;
        settle(0.25);
    }
    // A click in the middle of the widget (or at dx, dy inside it).
    void click(int widget, float dx = -1, float dy = -1) {
        float x = 0, y = 0, w = 0, h = 0;
        ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, widget, &x, &y, &w, &h)) << widget;
        click_at(x + (dx < 0 ? w / 2 : dx), y + (dy < 0 ? h / 2 : dy));
    }
    // Keys and text typed on the X server (xdotool key / type syntax).
    void key(const std::string& keys) {
        ASSERT_EQ(x_run("xdotool key --delay 30 " + keys).rc, 0) << keys;
        settle(0.2);
    }
    void type(const std::string& text) {
        ASSERT_EQ(x_run("xdotool type --delay 30 '" + text + "'").rc, 0) << text;
        settle(0.2);
    }

    // The widget of window `win` of `type` (the n-th of that type), or -1.
    int widget_in(int win, ZQ_GUI_WIDGET_TYPE type, int nth = 0) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win);
        if (!w) return -1;
        for (int id : w->widgets) {
            const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id);
            if (wd && wd->type == type && nth-- == 0) return id;
        }
        return -1;
    }
    // The button (or toggle button) of window `win` that reads `label`, or -1.
    int button_in(int win, const std::string& label) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win);
        if (!w) return -1;
        for (int id : w->widgets) {
            const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id);
            if (wd && (wd->type == ZQ_GUI_BUTTON || wd->type == ZQ_GUI_TOGGLE_BUTTON) &&
                zq_gui_button_get_label(g_.ctx, id) == label)
                return id;
        }
        return -1;
    }
    // A cell of a data grid as it is drawn ("" outside the grid).
    std::string cell(int grid, int row, int col) {
        auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(g_.ctx, grid);
        if (!d || row < 0 || row >= static_cast<int>(d->rows.size())) return {};
        const auto& r = d->rows[static_cast<size_t>(row)];
        return col >= 0 && col < static_cast<int>(r.size()) ? r[static_cast<size_t>(col)]
                                                            : std::string();
    }
    // A click on row `row` of a data grid (scrolled into view first).
    void click_row(int grid, int row) {
        zq_gui_datagrid_scroll_to_row(g_.ctx, grid, row);
        ZQ_GUI_WIDGET* wd = zq_gui_find_widget(g_.ctx, grid);
        auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
        ASSERT_NE(d, nullptr);
        const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(g_.ctx, wd, *d);
        click(grid, 20, geom.body_y + geom.row_h * (static_cast<float>(row) + 0.5f) - d->scroll_y);
    }

    // The toast's text while one shows, else "".
    std::string toast() { return al_get_time() < g_.toast_until ? g_.toast.hit.label : ""; }

    // The frame drawn now, as 0xAARRGGBB at (x, y) of the display.
    uint32_t pixel(int x, int y) {
        return ovk_color_argb(al_get_pixel(al_get_backbuffer(display_), x, y));
    }
    // Draws a frame and, when OVK_SHOT_DIR is set, keeps it there as NAME.png to look at.
    void shot(const std::string& name) {
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        if (const char* dir = getenv("OVK_SHOT_DIR")) {
            EXPECT_TRUE(al_save_bitmap((std::string(dir) + "/" + name + ".png").c_str(),
                                       al_get_backbuffer(display_)));
        }
        al_flip_display();
    }

    // The export directory of this test's home.
    std::string export_dir() { return ovk_platform_export_dir(); }
    // Files of the export directory whose names start with `prefix`, sorted.
    std::vector<std::string> exports(const std::string& prefix) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(export_dir(), ec))
            if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }

    static inline ALLEGRO_DISPLAY* display_ = nullptr;
    static inline ALLEGRO_EVENT_QUEUE* queue_ = nullptr;
    static inline std::string wid_;
    std::unique_ptr<TempDir> home_;
    std::string data_dir_;
    OVK_GUI g_;
    bool inited_ = false;
};

}  // namespace ovk_test
