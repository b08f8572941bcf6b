// SPDX-License-Identifier: GPL-3.0-or-later
// The interface frame on a private X server, for window tests. Header-only.
//
// GuiTest holds what every window test needs: one Allegro display (with its event queue, and
// a 30 Hz timer when asked) on the test program's Xvfb, the frame `g_`, a scratch home
// directory (HOME and XDG_DATA_HOME point there), the event loop (`pump`), synthetic input
// handed to the frame as the event loop hands it, real input through xdotool (`x_*`), the
// widget finders and screenshots kept in $OVK_SHOT_DIR when it is set.
//
// Three fixtures add the engine a screen stands on:
//   GuiScreens    the pipeline with a store, preferences and watchlist, the frame built;
//   GuiScreenTest preferences, store, watchlist and registry, the frame built by init();
//   ScreenTest    store and trips, the frame built by init(theme), real input listened to.
//
//   class MyScreen : public ovk_test::ScreenTest {};
//   TEST_F(MyScreen, Something) {
//       init();
//       ovk_trips_show(&g_);
//       x_click(button_in(g_.popup[OVK_POP_TRIPS], "GPX"));
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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_asset.h"
#include "ovk_demo.h"
#include "ovk_gui.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_main.h"
#include "ovk_gui_port.h"
#include "ovk_gui_theme.h"
#include "ovk_platform.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_menus.h"
#include "ovk_test_xvfb.h"
#include "ovk_trip.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "pipeline_env.h"
#include "zq_gui_internal.h"

namespace ovk_test {

// Keeps the engine port's worker busy until released (or destroyed): no view asked for
// meanwhile arrives, which shows what a screen says before its first reading. `then` runs
// on the worker once released, and its text is the job's message.
class PortHold {
  public:
    explicit PortHold(OVK_GUI* g, std::function<std::string()> then = {}) {
        std::shared_future<void> go = release_.get_future().share();
        ovk_port_post(g, [go, started = started_, then = std::move(then)] {
            started->store(true);
            go.wait_for(std::chrono::seconds(10));
            return then ? then() : std::string();
        });
    }
    ~PortHold() { release(); }
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;
    // Whether the worker has taken the job (pump until it has).
    bool started() const { return started_->load(); }
    void release() {
        if (released_) return;
        released_ = true;
        release_.set_value();
    }

  private:
    std::promise<void> release_;
    std::shared_ptr<std::atomic<bool>> started_ = std::make_shared<std::atomic<bool>>(false);
    bool released_ = false;
};

// The size of the test display.
inline constexpr int kScreensW = 1100, kScreensH = 820;

class GuiTest : public ::testing::Test {
  protected:
    static constexpr int kW = kScreensW, kH = kScreensH;

    // Starts the X server and Allegro with its add-ons and opens the display (resizable when
    // asked) and its queue, with a timer ticking the event loop 30 times a second when asked.
    // Call from SetUpTestSuite through ASSERT_NO_FATAL_FAILURE.
    static void open_display(bool resizable = false, bool timer = false) {
        const XvfbState& x = xvfb_start();
        ASSERT_TRUE(x.running) << x.error;
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        if (const char* p = getenv("PATH")) path_ = p;
        ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
        al_install_keyboard();
        al_install_mouse();
        al_init_image_addon();
        al_init_font_addon();
        al_init_ttf_addon();
        al_init_primitives_addon();
        al_set_new_display_flags(resizable ? ALLEGRO_RESIZABLE : 0);
        display_ = al_create_display(kW, kH);
        ASSERT_NE(display_, nullptr);
        title_ = "Orvik test " + std::to_string(getpid());
        al_set_window_title(display_, title_.c_str());
        queue_ = al_create_event_queue();
        al_register_event_source(queue_, al_get_display_event_source(display_));
        if (timer) {
            timer_ = al_create_timer(1.0 / 30);
            al_register_event_source(queue_, al_get_timer_event_source(timer_));
            al_start_timer(timer_);
        }
    }
    static void close_display() {
        if (timer_) al_destroy_timer(timer_);
        if (queue_) al_destroy_event_queue(queue_);
        if (display_) al_destroy_display(display_);
        timer_ = nullptr;
        queue_ = nullptr;
        display_ = nullptr;
        wid_.clear();
        al_uninstall_system();
    }
    static void SetUpTestSuite() { ASSERT_NO_FATAL_FAILURE(open_display()); }
    static void TearDownTestSuite() { close_display(); }

    // Each test starts in a fresh home directory with nothing queued from the one before.
    void SetUp() override {
        unsetenv("OVK_TOUCH");
        unsetenv("OVK_DENSITY");
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        al_set_target_backbuffer(display_);
        al_flush_event_queue(queue_);
    }
    void TearDown() override {
        setenv("PATH", path_.c_str(), 1);
        if (inited_) ovk_gui_shutdown(&g_);
        inited_ = false;
    }

    // The frame as the program starts it, for a display of w x h.
    void init_frame(float w = kW, float h = kH) {
        if (inited_) ovk_gui_shutdown(&g_);
        inited_ = false;
        al_set_target_backbuffer(display_);
        ASSERT_EQ(ovk_gui_init(&g_, display_, queue_), 0);
        inited_ = true;
        if (w != kW || h != kH) {
            g_.disp_w = w;
            g_.disp_h = h;
            ovk_gui_rebuild(&g_);
        }
    }

    // ---- The event loop ----

    // One timer tick of the event loop.
    void tick() { ovk_gui_update(&g_); }
    // Draws one frame and shows it.
    void draw() {
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        al_flip_display();
    }
    // The program's loop until `done` holds or `limit_s` pass; whether it holds. Queued events
    // go to the frame, a resize is taken in, the frame ticks 30 times a second (on the timer's
    // events when there is one) and a frame is drawn when one is wanted and nothing is queued.
    template <typename F>
    bool pump(F&& done, double limit_s = 5) {
        const double until = al_get_time() + limit_s;
        double next_tick = 0;
        while (!done()) {
            if (al_get_time() >= until) return done();
            ALLEGRO_EVENT ev;
            if (al_wait_for_event_timed(queue_, &ev, 0.01)) {
                if (ev.type == ALLEGRO_EVENT_TIMER) tick();
                if (ev.type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) ++mouse_ups_;
                if (ev.type == ALLEGRO_EVENT_DISPLAY_RESIZE) {
                    al_acknowledge_resize(display_);
                    g_.disp_w = static_cast<float>(al_get_display_width(display_));
                    g_.disp_h = static_cast<float>(al_get_display_height(display_));
                    g_.rebuild_pending = true;
                }
                ovk_gui_handle_event(&g_, &ev);
            }
            if (!timer_ && al_get_time() >= next_tick) {
                tick();
                next_tick = al_get_time() + 1.0 / 30;
            }
            if (g_.redraw && al_is_event_queue_empty(queue_)) draw();
        }
        return true;
    }
    // Lets the frame run for `s` seconds.
    void settle(double s = 0.3) {
        pump([] { return false; }, s);
    }

    // ---- Synthetic input, as the event loop hands it over ----

    void mouse(unsigned type, float x, float y, int button = 1, int dz = 0) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.mouse.x = static_cast<int>(x);
        ev.mouse.y = static_cast<int>(y);
        ev.mouse.dz = dz;
        ev.mouse.button = type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : button;
        ev.mouse.display = display_;
        ev.any.timestamp = al_get_time();
        ovk_gui_handle_event(&g_, &ev);
    }
    void click_at(float x, float y, int button = 1) {
        mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, button);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, button);
    }
    // A click on the middle of a widget (of item `item` of a radio list), scrolled into view.
    void click(int id, int item = -1) {
        const auto [x, y] = spot(id, item);
        click_at(x, y);
    }
    // Whether the key is taken (its key-down event).
    bool key(int keycode, int unichar = 0, unsigned modifiers = 0) {
        ALLEGRO_EVENT ev{};
        ev.keyboard.keycode = keycode;
        ev.keyboard.display = display_;
        ev.keyboard.modifiers = modifiers;
        ev.any.timestamp = al_get_time();
        ev.type = ALLEGRO_EVENT_KEY_DOWN;
        const bool taken = ovk_gui_handle_event(&g_, &ev);
        ev.type = ALLEGRO_EVENT_KEY_CHAR;
        ev.keyboard.unichar = unichar;
        ovk_gui_handle_event(&g_, &ev);
        ev.type = ALLEGRO_EVENT_KEY_UP;
        ovk_gui_handle_event(&g_, &ev);
        return taken;
    }
    // Replaces a text field's text as typing would (Ctrl+A, then the characters).
    void type(int field, const std::string& text) {
        click(field);
        key(ALLEGRO_KEY_A, 1, ALLEGRO_KEYMOD_CTRL);
        key(ALLEGRO_KEY_BACKSPACE, 8);
        for (unsigned char c : text) key(0, c);
    }

    // ---- Real input through the X server ----

    // The display's X window, focused.
    static const std::string& x_window() {
        if (wid_.empty() && !x_wait_window("^" + title_ + "$", 10000, &wid_))
            ADD_FAILURE() << "no window " << title_;
        if (!wid_.empty()) x_run("xdotool windowfocus --sync " + wid_);
        return wid_;
    }
    // Whether the frame hears the X server's pointer and keys (what is queued goes when not).
    static void listen(bool on) {
        for (ALLEGRO_EVENT_SOURCE* s :
             {al_get_mouse_event_source(), al_get_keyboard_event_source()})
            on ? al_register_event_source(queue_, s) : al_unregister_event_source(queue_, s);
        if (!on) al_flush_event_queue(queue_);
    }
    // xdotool on the display's window: a pointer move to (x, y), followed by `then`.
    void x_at(float x, float y, const std::string& then) {
        const std::string cmd = "xdotool mousemove --window " + x_window() + " " +
                                std::to_string(std::lround(x)) + " " +
                                std::to_string(std::lround(y)) + " " + then;
        ASSERT_EQ(x_run(cmd).rc, 0) << cmd;
    }
    // A click at display position (x, y), handed to the frame before this returns (nothing
    // after it is, so that what the click shows only briefly can still be seen).
    void x_click_at(float x, float y, int button = 1) {
        const int before = mouse_ups_;
        ASSERT_NO_FATAL_FAILURE(x_at(x, y, "click " + std::to_string(button)));
        EXPECT_TRUE(pump([&] { return mouse_ups_ > before; }, 3))
            << "the click at " << x << ", " << y << " did not reach the window (listen(true)?)";
    }
    // A click on the middle of the widget (of item `item` of a radio list), scrolled into view.
    void x_click(int id, int item = -1) {
        const auto [x, y] = spot(id, item);
        x_click_at(x, y);
    }
    // Keys and text typed on the X server (xdotool key / type syntax).
    void x_key(const std::string& keys) {
        ASSERT_EQ(x_run("xdotool key --delay 30 " + keys).rc, 0) << keys;
        settle(0.2);
    }
    void x_type(const std::string& text) {
        ASSERT_EQ(x_run("xdotool type --delay 30 '" + text + "'").rc, 0) << text;
        settle(0.2);
    }

    // ---- Where things are ----

    struct RECT {
        float x = 0, y = 0, w = 0, h = 0;
    };
    RECT rect(int id) {
        RECT r;
        EXPECT_TRUE(zq_gui_widget_screen_rect(g_.ctx, id, &r.x, &r.y, &r.w, &r.h)) << id;
        return r;
    }
    // The centre of a widget (of item `item` of a radio list), scrolled into view first.
    std::pair<float, float> spot(int id, int item = -1) {
        reveal(id);
        const RECT r = rect(id);
        if (item < 0) return {r.x + r.w / 2, r.y + r.h / 2};
        const float ih = zq_gui_radio_item_h(g_.ctx, zq_gui_get_widget(g_.ctx, id));
        return {r.x + 30, r.y + ih * (static_cast<float>(item) + 0.5f)};
    }
    // Scrolls the widget's window so that the widget is in view.
    void reveal(int id) {
        const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id);
        ASSERT_NE(wd, nullptr) << id;
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, wd->window_id);
        if (!w) return;
        float cx, cy, cw, ch;
        zq_gui_window_client_rect(g_.ctx, w->id, &cx, &cy, &cw, &ch);
        if (wd->y < w->scroll_y || wd->y + wd->h > w->scroll_y + ch)
            zq_gui_window_set_scroll(g_.ctx, w->id, wd->y - ch / 3);
    }

    // ---- Finding widgets (by window: g_.popup[OVK_POP_...] for a screen) ----

    bool shown(int popup) { return zq_gui_window_is_open(g_.ctx, g_.popup[popup]) != 0; }
    // The first widget of window `win` that `pred` accepts, or -1.
    int find(int win, const std::function<bool(ZQ_GUI_WIDGET&)>& pred) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win);
        if (!w) return -1;
        for (int id : w->widgets)
            if (ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id); wd && pred(*wd)) return id;
        return -1;
    }
    // The widgets of window `win` of that kind, in the order they were added.
    std::vector<int> widgets_of(int win, ZQ_GUI_WIDGET_TYPE type) {
        std::vector<int> out;
        if (const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win))
            for (int id : w->widgets)
                if (const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id); wd && wd->type == type)
                    out.push_back(id);
        return out;
    }
    // The n-th widget of window `win` of that kind, or -1.
    int widget_in(int win, ZQ_GUI_WIDGET_TYPE type, int nth = 0) {
        const std::vector<int> all = widgets_of(win, type);
        return nth >= 0 && nth < static_cast<int>(all.size()) ? all[static_cast<size_t>(nth)] : -1;
    }
    // The map's status line (its first label); "" while the map is not built.
    std::string map_status() {
        const int id = widget_in(g_.popup[OVK_POP_MAP], ZQ_GUI_LABEL);
        return id < 0 ? std::string() : zq_gui_label_get_text(g_.ctx, id);
    }
    // The button (or toggle button) of window `win` that reads `label`, or -1.
    int button_in(int win, const std::string& label) {
        return find(win, [&](ZQ_GUI_WIDGET& w) {
            return (w.type == ZQ_GUI_BUTTON || w.type == ZQ_GUI_TOGGLE_BUTTON) &&
                   zq_gui_button_get_label(g_.ctx, w.id) == label;
        });
    }
    // The check box with that label (also one whose label wraps beside it).
    int checkbox(int win, const std::string& label) {
        return find(win, [&](ZQ_GUI_WIDGET& w) {
            auto* d = zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(&w);
            return d && (d->label == label || (d->label.empty() && unwrapped(w.id + 1) == label));
        });
    }
    int by_tip(int win, const std::string& tip) {
        return find(win, [&](ZQ_GUI_WIDGET& w) { return w.tooltip == tip; });
    }
    // A label's text with its wrapping undone.
    std::string unwrapped(int id) {
        const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g_.ctx, id);
        if (!w || w->type != ZQ_GUI_LABEL) return {};
        std::string s = zq_gui_label_get_text(g_.ctx, id);
        std::replace(s.begin(), s.end(), '\n', ' ');
        return s;
    }
    // A cell of a data grid as it is drawn ("" outside the grid).
    std::string cell(int grid, int row, int col) {
        auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(g_.ctx, grid);
        if (!d || row < 0 || row >= static_cast<int>(d->rows.size())) return {};
        const auto& r = d->rows[static_cast<size_t>(row)];
        return col >= 0 && col < static_cast<int>(r.size()) ? r[static_cast<size_t>(col)]
                                                            : std::string();
    }
    // A click through the X server on row `row` of a data grid (scrolled into view first).
    void x_click_row(int grid, int row) {
        zq_gui_datagrid_scroll_to_row(g_.ctx, grid, row);
        ZQ_GUI_WIDGET* wd = zq_gui_find_widget(g_.ctx, grid);
        auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
        ASSERT_NE(d, nullptr);
        const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(g_.ctx, wd, *d);
        const RECT r = rect(grid);
        x_click_at(r.x + 20,
                   r.y + geom.body_y + geom.row_h * (static_cast<float>(row) + 0.5f) - d->scroll_y);
    }
    // The height of a row of the main screen's device list, and the centre of row `row` on
    // screen.
    float row_h() {
        return static_cast<float>(al_get_font_line_height(g_.font_bold) +
                                  2 * al_get_font_line_height(g_.font_small)) +
               14 * g_.scale;
    }
    std::pair<float, float> row_centre(int row) {
        const RECT l = rect(ovk_main_state().w_list);
        return {l.x + l.w / 2,
                l.y + (static_cast<float>(row) + 0.5f) * row_h() - ovk_main_state().list_scroll};
    }
    // The toast's text while one shows, else "".
    std::string toast() { return al_get_time() < g_.toast_until ? g_.toast.hit.label : ""; }
    // The device detail screen as the engine holds the device now: readings are made off the
    // interface thread, so it reads again and takes what the engine port made.
    void detail_now() {
        for (int i = 0; i < 3; ++i) {
            g_.now_s += 1;  // a reading is due
            ovk_detail_refresh(&g_);
            ASSERT_TRUE(ovk_port_settle(&g_, 5000));
        }
        ovk_detail_refresh(&g_);
    }
    void open_detail(std::string_view mac) {
        ovk_detail_show(&g_, mac);
        detail_now();
    }
    // Whether the program says `text` within `limit_s` of its loop: the newest notice, or one an
    // alert that came after it pushed up the stack.
    bool said(const std::string& text, double limit_s = 5) {
        return pump(
            [&] {
                if (toast() == text) return true;
                for (const OVK_NOTICE& n : g_.older_notices)
                    if (n.alert.hit.label == text && al_get_time() < n.until) return true;
                return false;
            },
            limit_s);
    }

    // ---- The menus, used as a person uses them (through the X server) ----

    // The drop-down menu's shown entries, and a pick of the one that reads `text`.
    std::vector<std::string> menu_entries() {
        std::vector<std::string> out;
        if (const auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(g_.ctx, ovk_main_state().w_menu))
            for (const auto& e : m->entries)
                if (e.visible) out.push_back(e.text);
        return out;
    }
    void pick_menu(const std::string& text) {
        ASSERT_NO_FATAL_FAILURE(x_click(ovk_main_state().w_menu));
        ASSERT_TRUE(pump([&] { return zq_gui_menu_is_open(g_.ctx) != 0; }));
        const auto spot = dropmenu_entry_spot(g_.ctx, ovk_main_state().w_menu, text);
        ASSERT_TRUE(spot) << "no menu entry " << text;
        x_click_at(spot->first, spot->second);
        pump([&] { return zq_gui_menu_is_open(g_.ctx) == 0; });
    }
    // The context menu's shown entries, and a pick of the one that reads `text`.
    std::vector<std::string> ctx_entries() {
        std::vector<std::string> out;
        if (g_.ctxmenu)
            for (const auto& e : g_.ctxmenu->entries)
                if (e.shown) out.push_back(e.text);
        return out;
    }
    void pick_ctx(const std::string& text) {
        ASSERT_TRUE(g_.ctxmenu && zq_gui_popup_is_open(g_.ctxmenu));
        const auto spot = popup_entry_spot(g_.ctxmenu, text);
        ASSERT_TRUE(spot) << "no context entry " << text;
        x_click_at(spot->first, spot->second);
        pump([&] { return !zq_gui_popup_is_open(g_.ctxmenu); });
    }

    // ---- What is drawn ----

    // The frame drawn now, as 0xAARRGGBB at (x, y) of the display.
    uint32_t pixel(int x, int y) {
        return ovk_color_argb(al_get_pixel(al_get_backbuffer(display_), x, y));
    }
    // Draws a frame and, when OVK_SHOT_DIR is set, keeps it there as NAME.png (w x h from the
    // top left). The frame stays in the back buffer for pixel().
    void shot(const std::string& name, int w = kW, int h = kH) {
        draw();
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        const char* dir = getenv("OVK_SHOT_DIR");
        if (!dir) return;
        ALLEGRO_BITMAP* part = al_create_sub_bitmap(al_get_backbuffer(display_), 0, 0, w, h);
        EXPECT_TRUE(al_save_bitmap((std::string(dir) + "/" + name + ".png").c_str(), part)) << name;
        al_destroy_bitmap(part);
    }

    // Puts a stand-in for `program` first on PATH that appends its arguments, one a line, to
    // the file it returns. TearDown puts PATH back.
    std::string stand_in(const std::string& program) {
        const std::string bin = dir_.file("bin"), out = dir_.file(program + ".args");
        ovk_mkdirs(bin);
        write_file(bin + "/" + program, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + out + "'\n");
        chmod((bin + "/" + program).c_str(), 0755);
        const char* path = getenv("PATH");
        setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        return out;
    }

    static inline ALLEGRO_DISPLAY* display_ = nullptr;
    static inline ALLEGRO_EVENT_QUEUE* queue_ = nullptr;
    static inline ALLEGRO_TIMER* timer_ = nullptr;
    static inline std::string title_;
    static inline std::string wid_;                     // the display's X window, once asked for
    static inline std::string path_ = "/usr/bin:/bin";  // PATH as the tests found it
    TempDir dir_;                                       // the test's home directory
    OVK_GUI g_;
    bool inited_ = false;
    int mouse_ups_ = 0;  // button releases the event loop has handed to the frame
};

// ---- The screens over a running engine ----

inline constexpr double kDemoLat = 45.4215, kDemoLon = -75.6972;

// The pipeline with a store, preferences and watchlist in the scratch data directory, devices
// fed as the scanners would feed them, and the frame with every screen, built.
class GuiScreens : public GuiTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiTest::SetUp());
        data_ = dir_.path() + "/orvik";
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.preset_enabled = {1, 1, 0};
        ASSERT_NO_FATAL_FAILURE(pipeline_up(data_, p, OVK_PIPELINE_HOOKS{}, ovk_now_ms() - 600000));
        ovk_watchlist_load(data_);
        ASSERT_NO_FATAL_FAILURE(init_frame());
    }
    void TearDown() override {
        GuiTest::TearDown();
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

    std::string data_;
};

// ---- Single screens over their data files ----

// Preferences kept in the scratch directory (setup done), an empty store, the default
// watchlist and an empty registry; init() builds the frame.
class GuiScreenTest : public GuiTest {
  protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(open_display());
        ovk_set_asset_reader([](std::string_view n) { return ovk_platform_read_asset(n); });
        ovk_vendordb_load();
        ovk_registry_init();
    }
    static void TearDownTestSuite() {
        ovk_registry_shutdown();
        ovk_vendordb_unload();
        close_display();
    }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiTest::SetUp());
        ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
        OVK_PREFS p = ovk_prefs_get();
        p.onboarding_done = 1;
        ovk_prefs_set(p);
        ASSERT_EQ(ovk_store_open(dir_.path()), 0);
        ovk_watchlist_load(dir_.path());
        ovk_registry_clear();
    }
    void TearDown() override {
        GuiTest::TearDown();
        ovk_store_close();
        ovk_watchlist_unload();
        ovk_registry_clear();
    }

    void init(float w = kW, float h = kH) { init_frame(w, h); }
};

// The store and the trips opened in the platform's data directory of the scratch home, map
// tiles off; the frame hears the X server's input; init(theme) builds the frame.
class ScreenTest : public GuiTest {
  protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(open_display());
        listen(true);
        ASSERT_FALSE(x_window().empty());
    }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiTest::SetUp());
        data_dir_ = ovk_platform_data_dir();
        ASSERT_EQ(ovk_store_open(data_dir_), 0);
        ASSERT_EQ(ovk_trip_open(data_dir_), 0);
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.map_tiles = 0;  // nothing is downloaded in tests
        ovk_prefs_set(p);
    }
    void TearDown() override {
        GuiTest::TearDown();
        ovk_trip_close();
        ovk_store_close();
    }

    // The frame in theme `theme`, drawn.
    void init(int theme = OVK_THEME_SYSTEM) {
        OVK_PREFS p = ovk_prefs_get();
        p.theme = static_cast<OVK_THEME_ID>(theme);
        ovk_prefs_set(p);
        ASSERT_NO_FATAL_FAILURE(init_frame());
        draw();
    }

    // The export directory of this test's home.
    std::string export_dir() { return ovk_platform_export_dir(); }
    // Files of the export directory whose names start with `prefix`, sorted.
    std::vector<std::string> exports(const std::string& prefix) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(export_dir(), ec)) {
            const std::string name = e.path().filename().string();
            // A ".tmp" is an export still being written (exports are written off the
            // interface thread and renamed into place when complete).
            const bool writing = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
            if (name.rfind(prefix, 0) == 0 && !writing) out.push_back(e.path());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string data_dir_;
};

}  // namespace ovk_test
