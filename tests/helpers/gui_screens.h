// A window test of the screens over a running engine: a private Xvfb with one Allegro display,
// the pipeline with a store, preferences and watchlist in a scratch data directory, devices
// fed as the scanners would feed them, and the interface frame with every screen. Events go to
// the frame as the event loop hands them over. Header-only.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_demo.h"
#include "ovk_gui.h"
#include "ovk_gui_theme.h"
#include "ovk_test_files.h"
#include "ovk_test_xvfb.h"
#include "ovk_watchlist.h"
#include "pipeline_env.h"

namespace ovk_test {

inline constexpr int kScreensW = 1100, kScreensH = 820;
inline constexpr double kDemoLat = 45.4215, kDemoLon = -75.6972;

class GuiScreens : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const XvfbState& x = xvfb_start();
        ASSERT_TRUE(x.running) << x.error;
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
        al_install_keyboard();
        al_install_mouse();
        al_init_image_addon();
        al_init_font_addon();
        al_init_ttf_addon();
        al_init_primitives_addon();
        display_ = al_create_display(kScreensW, kScreensH);
        ASSERT_NE(display_, nullptr);
        queue_ = al_create_event_queue();
    }
    static void TearDownTestSuite() {
        if (queue_) al_destroy_event_queue(queue_);
        if (display_) al_destroy_display(display_);
        al_uninstall_system();
    }

    void SetUp() override {
        unsetenv("OVK_TOUCH");
        unsetenv("OVK_DENSITY");
        // The export folder and the data directory of the platform live in the scratch area.
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        data_ = dir_.path() + "/orvik";
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.preset_enabled = {1, 1, 0};
        ASSERT_NO_FATAL_FAILURE(pipeline_up(data_, p, OVK_PIPELINE_HOOKS{}, ovk_now_ms() - 600000));
        ovk_watchlist_load(data_);
        al_set_target_backbuffer(display_);
        ASSERT_EQ(ovk_gui_init(&g_, display_, queue_), 0);
        inited_ = true;
    }
    void TearDown() override {
        if (inited_) ovk_gui_shutdown(&g_);
        inited_ = false;
        ovk_watchlist_unload();
        pipeline_down();
    }

    // Adverts of the demo's devices, one round a second ending now, with the user's fix: the
    // drone broadcasts Remote ID.
    void feed_demo(int rounds) {
        const int64_t now = ovk_now_ms();
        OVK_LOCATION anchor;
        anchor.lat = kDemoLat;
        anchor.lon = kDemoLon;
        for (int r = 0; r < rounds; ++r) {
            const int64_t t = now - (rounds - 1 - r) * 1000;
            ovk_pipeline_location(ovk_demo_user_fix(r, kDemoLat, kDemoLon, t));
            ovk_demo_round_at(r, t, anchor,
                              [](OVK_ADVERT_PTR a) { ovk_pipeline_submit(std::move(a)); });
        }
        pipeline_drain();
    }
    // One demo device's advert of a round, heard at `t`.
    static OVK_ADVERT_PTR demo_advert(const std::string& mac, int64_t t, int round = 0) {
        OVK_ADVERT_PTR found;
        OVK_LOCATION anchor;
        anchor.lat = kDemoLat;
        anchor.lon = kDemoLon;
        ovk_demo_round_at(round, t, anchor, [&](OVK_ADVERT_PTR a) {
            if (a->mac == mac) found = std::move(a);
        });
        return found;
    }
    void submit(OVK_ADVERT_PTR a) {
        ovk_pipeline_submit(std::move(a));
        pipeline_drain();
    }

    // Rebuilds the interface in another theme.
    void set_theme(OVK_THEME_ID t) {
        OVK_PREFS p = ovk_prefs_get();
        p.theme = t;
        ovk_prefs_set(p);
        ovk_gui_update(&g_);
        ASSERT_EQ(g_.prefs.theme, t);
    }

    bool shown(int popup) { return zq_gui_window_is_open(g_.ctx, g_.popup[popup]) != 0; }

    void mouse(unsigned type, float x, float y, int button = 1) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.mouse.x = static_cast<int>(x);
        ev.mouse.y = static_cast<int>(y);
        ev.mouse.button = type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : button;
        ev.mouse.display = display_;
        ev.any.timestamp = al_get_time();
        ovk_gui_handle_event(&g_, &ev);
    }
    void click_widget(int id, float dx = -1, float dy = -1) {
        float x = 0, y = 0, w = 0, h = 0;
        ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, id, &x, &y, &w, &h)) << id;
        const float cx = x + (dx < 0 ? w / 2 : dx), cy = y + (dy < 0 ? h / 2 : dy);
        mouse(ALLEGRO_EVENT_MOUSE_AXES, cx, cy);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, cx, cy);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, cx, cy);
    }
    // The widget of window `win` of that kind whose text reads `label`, or -1.
    int button_in(int popup, const std::string& label) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[popup]);
        if (!w) return -1;
        for (int id : w->widgets)
            if (zq_gui_button_get_label(g_.ctx, id) == label) return id;
        return -1;
    }
    // The widgets of a pop-up of one kind, in the order they were added.
    std::vector<int> widgets_of(int popup, ZQ_GUI_WIDGET_TYPE type) {
        std::vector<int> out;
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[popup]);
        if (!w) return out;
        for (int id : w->widgets)
            if (const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id); wd && wd->type == type)
                out.push_back(id);
        return out;
    }
    std::string toast() const { return g_.toast.hit.label; }

    // Hands queued events (real input from the X server) to the frame, with ticks and frames,
    // until `done` holds or `limit_s` pass.
    template <typename F>
    bool pump(F done, double limit_s = 3) {
        const double until = al_get_time() + limit_s;
        while (!done() && al_get_time() < until) {
            ALLEGRO_EVENT ev;
            if (al_wait_for_event_timed(queue_, &ev, 0.03)) ovk_gui_handle_event(&g_, &ev);
            ovk_gui_update(&g_);
            if (g_.redraw) draw();
        }
        return done();
    }
    void draw() {
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        al_flip_display();
    }
    // Real input: the display's X window, focused, takes the pointer and the keys.
    std::string x_window() {
        al_register_event_source(queue_, al_get_keyboard_event_source());
        al_register_event_source(queue_, al_get_mouse_event_source());
        al_set_window_title(display_, "Orvik screens test");
        std::string wid;
        EXPECT_TRUE(x_wait_window("^Orvik screens test$", 5000, &wid));
        x_run("xdotool windowfocus --sync " + wid);
        return wid;
    }
    void x_done() {
        al_unregister_event_source(queue_, al_get_keyboard_event_source());
        al_unregister_event_source(queue_, al_get_mouse_event_source());
    }
    // xdotool's click on the middle of a widget (display coordinates).
    std::string x_click(const std::string& wid, int widget, int button = 1) {
        float x = 0, y = 0, w = 0, h = 0;
        if (!zq_gui_widget_screen_rect(g_.ctx, widget, &x, &y, &w, &h)) return "true";
        return "xdotool mousemove --window " + wid + " " + std::to_string(int(x + w / 2)) + " " +
               std::to_string(int(y + h / 2)) + " click " + std::to_string(button);
    }

    // Draws a frame and, when OVK_SHOT_DIR is set, keeps it there as `name`.png.
    void shot(const std::string& name) {
        draw();
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        if (const char* d = getenv("OVK_SHOT_DIR"))
            al_save_bitmap((std::string(d) + "/" + name + ".png").c_str(),
                           al_get_backbuffer(display_));
    }
    uint32_t pixel(int x, int y) {
        return ovk_color_argb(al_get_pixel(al_get_backbuffer(display_), x, y));
    }

    static inline ALLEGRO_DISPLAY* display_ = nullptr;
    static inline ALLEGRO_EVENT_QUEUE* queue_ = nullptr;
    TempDir dir_;
    std::string data_;
    OVK_GUI g_;
    bool inited_ = false;
};

}  // namespace ovk_test
