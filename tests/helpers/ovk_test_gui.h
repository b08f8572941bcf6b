// The interface frame with the program's screens on a private X server, for tests of single
// screens: one display, the frame, data files in a scratch directory (preferences, store,
// watchlist), events handed to the frame as the event loop hands them, real input through
// xdotool, and screenshots kept in $OVK_SHOT_DIR when it is set. Header-only.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "ovk_asset.h"
#include "ovk_gui.h"
#include "ovk_platform.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_xvfb.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_gui_internal.h"

namespace ovk_test {

class GuiScreenTest : public ::testing::Test {
  protected:
    static constexpr int kW = 1100, kH = 820;

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
        display_ = al_create_display(kW, kH);
        ASSERT_NE(display_, nullptr);
        al_set_window_title(display_, "Orvik screen test");
        queue_ = al_create_event_queue();
        ovk_set_asset_reader([](std::string_view n) { return ovk_platform_read_asset(n); });
        if (const char* p = getenv("PATH")) path_ = p;
        ovk_vendordb_load();
        ovk_registry_init();
    }
    static void TearDownTestSuite() {
        ovk_registry_shutdown();
        ovk_vendordb_unload();
        if (queue_) al_destroy_event_queue(queue_);
        if (display_) al_destroy_display(display_);
        al_uninstall_system();
    }

    // Fresh data: preferences kept in the scratch directory (setup done), an empty store and
    // the default watchlist.
    void SetUp() override {
        unsetenv("OVK_TOUCH");
        unsetenv("OVK_DENSITY");
        // Exports and the data directory go under the scratch directory.
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
        OVK_PREFS p = ovk_prefs_get();
        p.onboarding_done = 1;
        ovk_prefs_set(p);
        ASSERT_EQ(ovk_store_open(dir_.path()), 0);
        ovk_watchlist_load(dir_.path());
        ovk_registry_clear();
        al_set_target_backbuffer(display_);
    }
    void TearDown() override {
        setenv("PATH", path_.c_str(), 1);
        if (inited_) ovk_gui_shutdown(&g_);
        inited_ = false;
        ovk_store_close();
        ovk_watchlist_unload();
        ovk_registry_clear();
    }

    // The frame as the program starts it, for a display of w x h.
    void init(float w = kW, float h = kH) {
        if (inited_) ovk_gui_shutdown(&g_);
        ASSERT_EQ(ovk_gui_init(&g_, display_, queue_), 0);
        inited_ = true;
        if (w != kW || h != kH) {
            g_.disp_w = w;
            g_.disp_h = h;
            ovk_gui_rebuild(&g_);
        }
    }
    // One timer tick of the event loop.
    void tick() { ovk_gui_update(&g_); }
    bool shown(int popup) { return zq_gui_window_is_open(g_.ctx, g_.popup[popup]) != 0; }
    const std::string& toast() const { return g_.toast.hit.label; }

    // The first widget of the pop-up's window that `pred` accepts, or -1.
    int find(int popup, const std::function<bool(ZQ_GUI_WIDGET&)>& pred) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[popup]);
        if (!w) return -1;
        for (int id : w->widgets)
            if (ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id); wd && pred(*wd)) return id;
        return -1;
    }
    int button(int popup, const std::string& label) {
        return find(popup, [&](ZQ_GUI_WIDGET& w) {
            return w.type == ZQ_GUI_BUTTON && zq_gui_button_get_label(g_.ctx, w.id) == label;
        });
    }
    // The check box with that label (also one whose label wraps beside it).
    int checkbox(int popup, const std::string& label) {
        return find(popup, [&](ZQ_GUI_WIDGET& w) {
            auto* d = zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(&w);
            return d && (d->label == label || (d->label.empty() && unwrapped(w.id + 1) == label));
        });
    }
    int by_tip(int popup, const std::string& tip) {
        return find(popup, [&](ZQ_GUI_WIDGET& w) { return w.tooltip == tip; });
    }
    // A label's text with its wrapping undone.
    std::string unwrapped(int id) {
        const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g_.ctx, id);
        if (!w || w->type != ZQ_GUI_LABEL) return {};
        std::string s = zq_gui_label_get_text(g_.ctx, id);
        std::replace(s.begin(), s.end(), '\n', ' ');
        return s;
    }

    // Synthetic input, as the event loop hands it over.
    void mouse(unsigned type, float x, float y, int dz = 0) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.mouse.x = static_cast<int>(x);
        ev.mouse.y = static_cast<int>(y);
        ev.mouse.dz = dz;
        ev.mouse.button = type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1;
        ev.mouse.display = display_;
        ev.any.timestamp = al_get_time();
        ovk_gui_handle_event(&g_, &ev);
    }
    void click_at(float x, float y) {
        mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y);
    }
    // The centre of a widget (of item `item` of a radio list), scrolled into view first.
    std::pair<float, float> spot(int id, int item = -1) {
        reveal(id);
        float x = 0, y = 0, w = 0, h = 0;
        EXPECT_TRUE(zq_gui_widget_screen_rect(g_.ctx, id, &x, &y, &w, &h)) << id;
        if (item < 0) return {x + w / 2, y + h / 2};
        const float ih = zq_gui_radio_item_h(g_.ctx, zq_gui_get_widget(g_.ctx, id));
        return {x + 30, y + ih * (static_cast<float>(item) + 0.5f)};
    }
    void click(int id, int item = -1) {
        const auto [x, y] = spot(id, item);
        click_at(x, y);
    }
    void reveal(int id) {
        const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id);
        ASSERT_NE(wd, nullptr);
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, wd->window_id);
        float cx, cy, cw, ch;
        zq_gui_window_client_rect(g_.ctx, w->id, &cx, &cy, &cw, &ch);
        if (wd->y < w->scroll_y || wd->y + wd->h > w->scroll_y + ch)
            zq_gui_window_set_scroll(g_.ctx, w->id, wd->y - ch / 3);
    }
    void key(int keycode, int unichar = 0, unsigned modifiers = 0) {
        ALLEGRO_EVENT ev{};
        ev.keyboard.keycode = keycode;
        ev.keyboard.display = display_;
        ev.keyboard.modifiers = modifiers;
        ev.any.timestamp = al_get_time();
        ev.type = ALLEGRO_EVENT_KEY_DOWN;
        ovk_gui_handle_event(&g_, &ev);
        ev.type = ALLEGRO_EVENT_KEY_CHAR;
        ev.keyboard.unichar = unichar;
        ovk_gui_handle_event(&g_, &ev);
        ev.type = ALLEGRO_EVENT_KEY_UP;
        ovk_gui_handle_event(&g_, &ev);
    }
    // Replaces a text field's text as typing would (Ctrl+A, then the characters).
    void type(int field, const std::string& text) {
        click(field);
        key(ALLEGRO_KEY_A, 1, ALLEGRO_KEYMOD_CTRL);
        key(ALLEGRO_KEY_BACKSPACE, 8);
        for (unsigned char c : text) key(0, c);
    }

    // Real input: the display's X window, and the frame fed from the event queue.
    std::string x_window() {
        std::string wid;
        EXPECT_TRUE(x_wait_window("^Orvik screen test$", 5000, &wid));
        return wid;
    }
    void listen(bool on) {
        for (ALLEGRO_EVENT_SOURCE* s :
             {al_get_mouse_event_source(), al_get_keyboard_event_source()})
            on ? al_register_event_source(queue_, s) : al_unregister_event_source(queue_, s);
        if (!on) al_flush_event_queue(queue_);
    }
    // Hands queued events to the frame, with a tick every 30 ms, until `done` or `limit_s`.
    bool pump(const std::function<bool()>& done, double limit_s = 3) {
        const double until = al_get_time() + limit_s;
        double next_tick = 0;
        while (!done() && al_get_time() < until) {
            ALLEGRO_EVENT ev;
            if (al_wait_for_event_timed(queue_, &ev, 0.01)) ovk_gui_handle_event(&g_, &ev);
            if (al_get_time() >= next_tick) {
                tick();
                next_tick = al_get_time() + 0.03;
            }
        }
        return done();
    }
    void x_click(const std::string& wid, int id, int item = -1) {
        const auto [x, y] = spot(id, item);
        x_run("xdotool mousemove --window " + wid + " " + std::to_string(static_cast<int>(x)) +
              " " + std::to_string(static_cast<int>(y)) + " click 1");
    }

    // Puts a stand-in for `program` first on PATH that appends its arguments, one a line, to
    // the file it returns.
    std::string stand_in(const std::string& program) {
        const std::string bin = dir_.file("bin"), out = dir_.file(program + ".args");
        ovk_mkdirs(bin);
        write_file(bin + "/" + program, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + out + "'\n");
        chmod((bin + "/" + program).c_str(), 0755);
        const char* path = getenv("PATH");
        setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        return out;
    }

    // Draws a frame and keeps it as $OVK_SHOT_DIR/<name>.png (w x h from the top left).
    void shot(const std::string& name, int w = kW, int h = kH) {
        ovk_gui_draw(&g_);
        const char* dir = getenv("OVK_SHOT_DIR");
        if (!dir) return;
        ALLEGRO_BITMAP* part = al_create_sub_bitmap(al_get_backbuffer(display_), 0, 0, w, h);
        al_save_bitmap((std::string(dir) + "/" + name + ".png").c_str(), part);
        al_destroy_bitmap(part);
    }

    static inline ALLEGRO_DISPLAY* display_ = nullptr;
    static inline ALLEGRO_EVENT_QUEUE* queue_ = nullptr;
    static inline std::string path_ = "/usr/bin:/bin";  // PATH as the tests found it
    TempDir dir_;
    OVK_GUI g_;
    bool inited_ = false;
};

}  // namespace ovk_test
