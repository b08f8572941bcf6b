// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The main screen on a real display (a private Xvfb), used with real input (xdotool): start
// and stop scanning, the radar and back, filters and search, the device menu by right click
// and long press, a long list under the wheel and a drag, the menu, and a crowded radar. The
// event loop here is the program's: timer ticks update the frame, every event goes to it, a
// frame is drawn when one is wanted. With OVK_SHOT_DIR set, screenshots of the list, the
// radar and the compact layout in several themes are stored there.
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "ovk_app_util.h"
#include "ovk_datafile.h"
#include "ovk_gui_main.h"
#include "ovk_pipeline.h"
#include "ovk_store.h"
#include "ovk_test_gui.h"
#include "ovk_test_held_writes.h"
#include "ovk_trip.h"

namespace {

// The radios as the test holds them: a start or stop waits at the gate while it is closed.
struct RADIOS {
    std::mutex mu;
    std::condition_variable cv;
    bool open = true;
    int start_result = 0;
    bool running = false;
    std::string why_not;  // what the radios say while they are off

    void wait() {
        std::unique_lock lk(mu);
        cv.wait(lk, [this] { return open; });
    }
    void set_open(bool o) {
        {
            std::lock_guard lk(mu);
            open = o;
        }
        cv.notify_all();
    }
};
RADIOS g_radios;

int g_detail_shown = 0;
void build_detail(OVK_GUI* g) {
    ovk_gui_popup_window(g, OVK_POP_DETAIL, "Detail", 500, 400);
}
void show_detail(OVK_GUI* g) {
    ++g_detail_shown;
    ovk_gui_open_popup(g, OVK_POP_DETAIL);
}
void build_settings(OVK_GUI* g) {
    ovk_gui_popup_window(g, OVK_POP_SETTINGS, "Settings", 500, 400);
}

constexpr OVK_SCREEN kMainScreen = {-1,      ovk_main_build,   ovk_main_refresh, ovk_main_tick,
                                    nullptr, ovk_main_shutdown};

class MainScreen : public ovk_test::GuiTest {
  protected:
    // The program's display (resizable) with its 30 Hz timer, hearing the X server's input.
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(open_display(true, true));
        listen(true);
        ASSERT_FALSE(x_window().empty());

        store_dir_ = new ovk_test::TempDir;
        ovk_store_open(store_dir_->path());
        ovk_trip_open(store_dir_->path());
        OVK_PIPELINE_HOOKS h;
        h.scan_start = [](const OVK_SCAN_OPTS&) {
            g_radios.wait();
            std::lock_guard lk(g_radios.mu);
            g_radios.running = g_radios.start_result == 0;
            return g_radios.start_result;
        };
        h.scan_stop = [] {
            g_radios.wait();
            std::lock_guard lk(g_radios.mu);
            g_radios.running = false;
        };
        h.scan_running = [] {
            std::lock_guard lk(g_radios.mu);
            return g_radios.running ? 1 : 0;
        };
        h.scan_status = [] {
            std::lock_guard lk(g_radios.mu);
            return g_radios.running ? std::string("BLE: hci0 (test)\nWiFi: wlan9 (test)")
                                    : g_radios.why_not;
        };
        ovk_pipeline_set_hooks(h);
        ASSERT_EQ(ovk_pipeline_init(), 0);
    }
    static void TearDownTestSuite() {
        g_radios.set_open(true);
        ovk_pipeline_shutdown();
        ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
        ovk_trip_close();
        ovk_store_close();
        delete store_dir_;
        close_display();
    }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiTest::SetUp());
        g_radios.set_open(true);
        g_radios.start_result = 0;
        ovk_scan_stop();
        ovk_scan_wait_idle(5000);
        ovk_scan_set_demo_override(0);
        ovk_registry_clear();
        OVK_PREFS p;
        p.onboarding_done = 1;
        ovk_prefs_set(p);
        // The main screen alone, with a stand-in for the details: the menu offers only what
        // is built, and a row's click is seen by the stand-in.
        ovk_gui_set_frame_only(true);
        ovk_gui_set_test_screens(
            {kMainScreen, {OVK_POP_DETAIL, build_detail, nullptr, nullptr, show_detail, nullptr}});
        g_detail_shown = 0;
        ovk_test::x_run("xdotool windowactivate --sync " + wid_ + " mousemove --window " + wid_ +
                        " 5 5");
        init();
    }
    void TearDown() override {
        GuiTest::TearDown();
        ovk_gui_set_test_screens({});
        ovk_gui_set_frame_only(false);
        g_radios.set_open(true);
    }

    void init() {
        ASSERT_NO_FATAL_FAILURE(init_frame());
        relist();
    }

    // A fresh view of the registry in place.
    void relist() {
        ovk_main_refresh(&g_);
        ASSERT_TRUE(ovk_main_settle(&g_, 5000));
        settle(0.05);
    }

    // A new window size, taken in as the program's loop takes a resize.
    void resize(int w, int h) {
        ASSERT_TRUE(al_resize_display(display_, w, h));
        al_acknowledge_resize(display_);
        g_.disp_w = static_cast<float>(al_get_display_width(display_));
        g_.disp_h = static_cast<float>(al_get_display_height(display_));
        ASSERT_EQ(g_.disp_w, static_cast<float>(w));
        g_.rebuild_pending = true;
        ASSERT_TRUE(pump([&] { return !g_.rebuild_pending; }));
    }

    // Whether plain ticks (no refresh due, no toast) ask for frames, once a frame is drawn.
    bool ticks_ask_for_frames() {
        draw();
        g_.toast_until = 0;
        bool asked = false;
        for (int i = 0; i < 3; ++i) {
            g_.last_refresh_s = al_get_time();
            g_.redraw = false;
            ovk_gui_update(&g_);
            asked = asked || g_.redraw;
        }
        return asked;
    }

    std::string label(int id) { return zq_gui_button_get_label(g_.ctx, id); }
    std::string status() { return zq_gui_label_get_text(g_.ctx, ovk_main_state().w_status); }
    // The status line as one line (the label holds it wrapped).
    std::string status_flat() {
        std::string s = status();
        for (char& c : s)
            if (c == '\n') c = ' ';
        return s;
    }
    bool visible(int id) {
        const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g_.ctx, id);
        return w && w->visible;
    }
    std::string visible_mac(size_t row) {
        return g_.devices[static_cast<size_t>(ovk_main_state().visible.at(row))].mac;
    }

    // A device in the registry, heard now.
    static void add(const std::string& mac, int rssi, OVK_HITS hits = {},
                    const std::string& name = "", const std::string& type = "",
                    OVK_SOURCE src = OVK_SRC_BLE) {
        OVK_ADVERT a;
        a.mac = mac;
        a.source = src;
        a.rssi = rssi;
        if (!name.empty()) a.name = name;
        a.addr_type = src == OVK_SRC_WIFI ? OVK_ADDR_WIFI_GLOBAL : OVK_ADDR_PUBLIC;
        OVK_IDENTITY id;
        id.type = type.empty() ? "Bluetooth device" : type;
        ovk_registry_report(a, hits, &id, "", nullptr, nullptr, ovk_now_ms());
    }
    static OVK_HIT hit(OVK_CATEGORY c, int conf, const char* label) {
        return ovk_hit_make(c, label, conf, "test", "evidence");
    }
    static std::string mac_of(int n, int top = 0x10) {
        char b[18];
        snprintf(b, sizeof b, "%02X:00:00:00:%02X:%02X", top, (n >> 8) & 0xFF, n & 0xFF);
        return b;
    }

    static inline ovk_test::TempDir* store_dir_ = nullptr;
};

// At start-up the engine may be slow to answer (here a slow disk holds the trips, which every
// view of the devices asks whether a trace records): until the first view arrives the status
// line, the list and the banner say "Reading...". They said "Stopped - 0 devices nearby", "Not
// scanning" and "Press Start scanning" of devices and a scan not read yet.
TEST_F(MainScreen, StartUpSaysReadingUntilTheDevicesArrive) {
    add(mac_of(1), -60);
    add(mac_of(2), -70);
    const int64_t id = ovk_trip_start("Held");
    ASSERT_GT(id, 0);
    OVK_LOCATION at;
    at.lat = 52.52;
    at.lon = 13.40;
    at.time = ovk_now_ms();
    ovk_trip_on_location(at);
    ovk_trip_stop();
    ASSERT_TRUE(ovk_trip_get(id).has_value());
    {
        ovk_test::HeldWrites writes;
        std::thread renamer([id] { ovk_trip_rename(id, "Held back"); });
        if (writes.begun(1)) {
            init_frame();
            settle(0.3);
            EXPECT_FALSE(ovk_main_read(&g_));
            EXPECT_EQ(status(), "Reading...");
            shot("main_reading");
        } else {
            ADD_FAILURE() << "the trips were not held";
        }
        writes.release();
        renamer.join();
        EXPECT_FALSE(writes.timed_out()) << "the window waited for the engine";
    }
    ASSERT_TRUE(pump([&] { return status_flat().rfind("Stopped - 2 devices nearby", 0) == 0; }))
        << status_flat();
    EXPECT_TRUE(ovk_main_read(&g_));
}

// The scan button asks; the scan control answers later. Until then the button and the
// status line say "Starting..." / "Stopping..." and the window keeps working. A start that
// fails says so in a toast and on the status line.
TEST_F(MainScreen, ScanButtonStartsAndStopsWithoutWaitingForTheRadios) {
    EXPECT_EQ(label(ovk_main_state().w_scan_btn), "Start scanning");
    EXPECT_EQ(status_flat(), "Stopped - 0 devices nearby");
    // A data file that could not be read is left alone, and the status line says so.
    ovk_datafile_hold(store_dir_->file("whitelist.json"), "test");
    relist();
    EXPECT_EQ(status_flat(),
              "Stopped - 0 devices nearby - data read-only (cannot read whitelist.json)");
    ovk_datafile_release(store_dir_->file("whitelist.json"));
    relist();
    EXPECT_EQ(status_flat(), "Stopped - 0 devices nearby");

    g_radios.set_open(false);
    x_click(ovk_main_state().w_scan_btn);
    ASSERT_TRUE(pump([&] { return label(ovk_main_state().w_scan_btn) == "Starting..."; }));
    EXPECT_EQ(status_flat(), "Starting... - 0 devices nearby");
    // The window answers while the radios take their time.
    x_click(ovk_main_state().w_view_btn);
    EXPECT_TRUE(pump([&] { return g_.prefs.radar_view == 1; }));
    x_click(ovk_main_state().w_view_btn);
    EXPECT_TRUE(pump([&] { return g_.prefs.radar_view == 0; }));
    EXPECT_EQ(label(ovk_main_state().w_scan_btn), "Starting...");
    g_radios.set_open(true);
    ASSERT_TRUE(pump([&] { return label(ovk_main_state().w_scan_btn) == "Stop scanning"; }));
    ASSERT_TRUE(pump([&] { return status().rfind("Scanning - ", 0) == 0; })) << status();
    EXPECT_NE(status_flat().find("BLE: hci0 (test); WiFi: wlan9 (test)"), std::string::npos)
        << status();

    // Devices heard while scanning reach the list and the status line.
    add(mac_of(1), -50, {hit(OVK_CAT_ALPR, 90, "Plate camera")});
    add(mac_of(2), -70);
    ASSERT_TRUE(pump([&] { return ovk_main_state().visible.size() == 2; }));
    EXPECT_TRUE(pump([&] {
        return status().rfind("Scanning - 2 devices nearby, 1 flagged", 0) == 0;
    })) << status();

    g_radios.set_open(false);
    x_click(ovk_main_state().w_scan_btn);
    ASSERT_TRUE(pump([&] { return label(ovk_main_state().w_scan_btn) == "Stopping..."; }));
    EXPECT_EQ(toast(), "Scanning stopped");
    g_radios.set_open(true);
    ASSERT_TRUE(pump([&] { return label(ovk_main_state().w_scan_btn) == "Start scanning"; }));
    EXPECT_TRUE(pump([&] { return status().rfind("Stopped - ", 0) == 0; })) << status();

    // Radios that will not start.
    g_radios.start_result = -1;
    x_click(ovk_main_state().w_scan_btn);
    ASSERT_TRUE(pump([&] { return toast() == "Could not start scanning - see the status line"; }))
        << toast();
    EXPECT_EQ(label(ovk_main_state().w_scan_btn), "Start scanning");
    EXPECT_TRUE(pump([&] {
        return status_flat() == "Stopped - 0 devices nearby Could not start scanning";
    })) << status();
    // ... and when the scanners say why, the status line shows it.
    {
        std::lock_guard lk(g_radios.mu);
        g_radios.why_not = "Replay: /tmp/walk.jsonl: Permission denied";
    }
    x_click(ovk_main_state().w_scan_btn);
    EXPECT_TRUE(pump([&] {
        return status_flat() ==
               "Stopped - 0 devices nearby Could not start scanning: Replay: /tmp/walk.jsonl: "
               "Permission denied";
    })) << status();
    std::lock_guard lk(g_radios.mu);
    g_radios.why_not.clear();
}

// The radar and back; a click near a blip opens that device, "Names" shows plain devices'
// names.
TEST_F(MainScreen, RadarShowsTheDevicesAndOpensTheOneClicked) {
    add(mac_of(1), -45, {hit(OVK_CAT_BODY_CAM, 90, "Body camera")});
    add(mac_of(2), -75, {}, "Kitchen speaker");
    add(mac_of(3), -95, {}, "Doorbell");
    relist();
    EXPECT_TRUE(visible(ovk_main_state().w_list));
    EXPECT_FALSE(visible(ovk_main_state().w_radar));
    EXPECT_FALSE(visible(ovk_main_state().w_radar_names));

    x_click(ovk_main_state().w_view_btn);
    ASSERT_TRUE(pump([&] { return visible(ovk_main_state().w_radar); }));
    EXPECT_FALSE(visible(ovk_main_state().w_list));
    EXPECT_TRUE(visible(ovk_main_state().w_radar_names));
    EXPECT_EQ(label(ovk_main_state().w_view_btn), "List");
    EXPECT_EQ(ovk_prefs_get().radar_view, 1) << "the choice is kept";
    settle(0.2);
    ASSERT_EQ(ovk_main_state().radar_hits.size(), 3u);
    shot("main_radar_three");

    const RECT r = rect(ovk_main_state().w_radar);
    const OVK_HITBOX* flagged = nullptr;
    for (const OVK_HITBOX& h : ovk_main_state().radar_hits)
        if (h.key == mac_of(1)) flagged = &h;
    ASSERT_NE(flagged, nullptr);
    // A few pixels off the blip still counts.
    const float bx = r.x + flagged->x + flagged->w / 2, by = r.y + flagged->y + flagged->h / 2;
    x_click_at(bx + 6, by - 4);
    ASSERT_TRUE(pump([&] { return g_detail_shown == 1; }));
    EXPECT_EQ(g_.sel_mac, mac_of(1));
    ovk_gui_close_popup(&g_, OVK_POP_DETAIL);
    // Far from every blip nothing opens.
    x_click_at(r.x + 12, r.y + 12);
    settle(0.3);
    EXPECT_EQ(g_detail_shown, 1);
    // Nor does a press far from every blip dragged onto one: a drag is no click.
    const int ups = mouse_ups_;
    x_at(r.x + 12, r.y + 12,
         "mousedown 1 mousemove_relative -- " + std::to_string(std::lround(bx - r.x - 12)) + " " +
             std::to_string(std::lround(by - r.y - 12)) + " mouseup 1");
    ASSERT_TRUE(pump([&] { return mouse_ups_ > ups; }, 3));
    settle(0.3);
    EXPECT_EQ(g_detail_shown, 1);

    const bool names = g_.prefs.radar_names != 0;
    x_click(ovk_main_state().w_radar_names);
    EXPECT_TRUE(pump([&] { return (g_.prefs.radar_names != 0) == !names; }));
    EXPECT_EQ(zq_gui_button_is_toggled(g_.ctx, ovk_main_state().w_radar_names) != 0, !names);

    x_click(ovk_main_state().w_view_btn);
    ASSERT_TRUE(pump([&] { return visible(ovk_main_state().w_list); }));
    EXPECT_FALSE(visible(ovk_main_state().w_radar));
    EXPECT_EQ(label(ovk_main_state().w_view_btn), "Radar");
}

// Filter buttons and typed search narrow the list; the pressed filter shows.
TEST_F(MainScreen, FiltersAndTypedSearchNarrowTheList) {
    add(mac_of(1), -50, {hit(OVK_CAT_TRACKER, 70, "AirTag away from its owner")});
    add(mac_of(2), -60, {}, "", "Tile tracker");
    add(mac_of(3), -60, {}, "HomeNet", "WiFi access point", OVK_SRC_WIFI);
    add(mac_of(4), -60, {}, "CafeNet", "WiFi access point", OVK_SRC_WIFI);
    for (int i = 5; i < 10; ++i) add(mac_of(i), -80, {}, "Phone " + std::to_string(i));
    relist();
    ASSERT_EQ(ovk_main_state().visible.size(), 9u);
    EXPECT_FALSE(ticks_ask_for_frames()) << "nothing on a still list animates";

    x_click(ovk_main_state().w_filter[OVK_FILTER_TRACKERS]);
    ASSERT_TRUE(pump([&] { return ovk_main_state().visible.size() == 2; }))
        << ovk_main_state().visible.size();
    EXPECT_EQ(ovk_main_state().filter, OVK_FILTER_TRACKERS);
    EXPECT_EQ(visible_mac(0), mac_of(1)) << "flagged first";
    for (int f = 0; f < OVK_FILTER_COUNT; ++f)
        EXPECT_EQ(zq_gui_button_is_toggled(g_.ctx,
                                           ovk_main_state().w_filter[static_cast<size_t>(f)]) != 0,
                  f == OVK_FILTER_TRACKERS)
            << f;
    // Clicking the pressed filter keeps it pressed.
    x_click(ovk_main_state().w_filter[OVK_FILTER_TRACKERS]);
    settle(0.2);
    EXPECT_TRUE(zq_gui_button_is_toggled(g_.ctx, ovk_main_state().w_filter[OVK_FILTER_TRACKERS]));

    x_click(ovk_main_state().w_filter[OVK_FILTER_WIFI]);
    ASSERT_TRUE(pump([&] { return ovk_main_state().visible.size() == 2; }));
    x_click(ovk_main_state().w_filter[OVK_FILTER_ALL]);
    ASSERT_TRUE(pump([&] { return ovk_main_state().visible.size() == 9; }));

    x_click(ovk_main_state().w_search);
    ovk_test::x_run("xdotool type --delay 20 '  PHONE 7'");
    ASSERT_TRUE(pump([&] {
        return ovk_main_state().query == "  PHONE 7" && ovk_main_state().visible.size() == 1;
    })) << ovk_main_state().query;
    EXPECT_EQ(visible_mac(0), mac_of(7));
    EXPECT_EQ(ovk_main_state().query, "  PHONE 7");
    x_click(ovk_main_state().w_filter[OVK_FILTER_WIFI]);
    ASSERT_TRUE(pump([&] {
        return ovk_main_state().visible.empty() && ovk_main_state().filter == OVK_FILTER_WIFI;
    }));
    shot("main_list_no_match");
    x_click(ovk_main_state().w_search);
    ovk_test::x_run("xdotool key ctrl+a BackSpace");
    ASSERT_TRUE(pump([&] { return ovk_main_state().visible.size() == 2; }));

    // The search survives a rebuild, shown in its field.
    x_click(ovk_main_state().w_search);
    ovk_test::x_run("xdotool type --delay 20 cafe");
    ASSERT_TRUE(pump(
        [&] { return ovk_main_state().query == "cafe" && ovk_main_state().visible.size() == 1; }));
    ovk_gui_rebuild(&g_);
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, ovk_main_state().w_search), "cafe");
    EXPECT_TRUE(zq_gui_button_is_toggled(g_.ctx, ovk_main_state().w_filter[OVK_FILTER_WIFI]));
}

// A right click or a long press opens the device's menu; its entries follow the device;
// a short press opens the details, a press that moves opens nothing.
TEST_F(MainScreen, DeviceMenuByRightClickAndLongPress) {
    add(mac_of(1), -50, {hit(OVK_CAT_BODY_CAM, 90, "Body camera")}, "Cam");
    add(mac_of(2), -60, {}, "Speaker");
    relist();
    ASSERT_EQ(visible_mac(0), mac_of(1));
    EXPECT_TRUE(ticks_ask_for_frames()) << "a strong match heard just now pulses";

    auto [x0, y0] = row_centre(0);
    x_click_at(x0, y0, 3);
    ASSERT_TRUE(pump([&] { return zq_gui_popup_is_open(g_.ctxmenu) != 0; }));
    EXPECT_EQ(g_.ctxmenu_mac, mac_of(1));
    EXPECT_EQ(g_.ctxmenu->title, mac_of(1));
    // Details (its screen exists here), whitelist, favourite, copy; no report for a device
    // with verdicts, no map without a position or a map screen, no watch-add dialog in this
    // test's frame.
    EXPECT_EQ(ctx_entries(), (std::vector<std::string>{"Details", "Whitelist (trust it)",
                                                       "Add to favorites", "Copy address"}));
    shot("main_context_menu");
    pick_ctx("Whitelist (trust it)");
    ASSERT_TRUE(pump([&] {
        return toast() == mac_of(1) + " whitelisted: it will never be flagged";
    })) << toast();
    EXPECT_EQ(ovk_store_is_whitelisted(mac_of(1)), 1);
    ASSERT_TRUE(pump([&] {
        return g_.devices.size() == 2 &&
               ovk_device_flagged(g_.devices[static_cast<size_t>(ovk_main_state().visible[0])]) ==
                   0;
    })) << "no longer flagged once whitelisted";

    // A long press on the same device: the menu now offers to remove it from the whitelist.
    size_t row = 0;
    while (row < ovk_main_state().visible.size() && visible_mac(row) != mac_of(1)) ++row;
    auto [x1, y1] = row_centre(static_cast<int>(row));
    x_at(x1, y1, "mousedown 1 sleep 0.8 mouseup 1");
    ASSERT_TRUE(pump([&] { return zq_gui_popup_is_open(g_.ctxmenu) != 0; }));
    EXPECT_EQ(g_detail_shown, 0) << "a long press is not a tap";
    EXPECT_EQ(ctx_entries(), (std::vector<std::string>{"Details", "Remove from whitelist",
                                                       "Add to favorites", "Copy address"}));
    pick_ctx("Add to favorites");
    ASSERT_TRUE(pump([&] { return ovk_store_is_favorite(mac_of(1)) == 1; }));
    x_at(x1, y1, "mousedown 1 sleep 0.8 mouseup 1");
    ASSERT_TRUE(pump([&] { return zq_gui_popup_is_open(g_.ctxmenu) != 0; }));
    EXPECT_EQ(ctx_entries(), (std::vector<std::string>{"Details", "Remove from whitelist",
                                                       "Remove from favorites", "Copy address"}));
    pick_ctx("Remove from whitelist");
    ASSERT_TRUE(pump([&] { return toast() == mac_of(1) + " removed from the whitelist"; }));
    EXPECT_EQ(ovk_store_is_whitelisted(mac_of(1)), 0);

    // Escape closes the menu; a short press opens the details of the row pressed.
    x_click_at(x1, y1, 3);
    ASSERT_TRUE(pump([&] { return zq_gui_popup_is_open(g_.ctxmenu) != 0; }));
    ovk_test::x_run("xdotool key Escape");
    ASSERT_TRUE(pump([&] { return !zq_gui_popup_is_open(g_.ctxmenu); }));
    relist();
    auto [x2, y2] = row_centre(1);
    const std::string second = visible_mac(1);
    x_click_at(x2, y2);
    ASSERT_TRUE(pump([&] { return g_detail_shown == 1; }));
    EXPECT_EQ(g_.sel_mac, second);
    ovk_gui_close_popup(&g_, OVK_POP_DETAIL);
    // A press that moves more than 10 px is a drag: nothing opens.
    x_at(x2, y2, "mousedown 1 mousemove_relative 0 30 mouseup 1");
    settle(0.3);
    EXPECT_EQ(g_detail_shown, 1);
    EXPECT_FALSE(zq_gui_popup_is_open(g_.ctxmenu));
    // A right click below the last row is only consumed.
    const RECT l = rect(ovk_main_state().w_list);
    x_click_at(l.x + l.w / 2, l.y + l.h - 5, 3);
    settle(0.3);
    EXPECT_FALSE(zq_gui_popup_is_open(g_.ctxmenu));
}

// 500 devices: the wheel moves a row per notch, a drag follows the pointer, the scroll stays
// within the list.
TEST_F(MainScreen, WheelAndDragScrollFiveHundredDevices) {
    for (int i = 0; i < 500; ++i) add(mac_of(i), -40 - (i % 60), {}, "Device " + std::to_string(i));
    relist();
    ASSERT_EQ(ovk_main_state().visible.size(), 500u);
    const RECT l = rect(ovk_main_state().w_list);
    const float rh = row_h();
    x_at(l.x + l.w / 2, l.y + 100, "click 5 click 5 click 5");
    ASSERT_TRUE(pump([&] { return ovk_main_state().list_scroll > 0; }));
    settle(0.2);
    EXPECT_FLOAT_EQ(ovk_main_state().list_scroll, 3 * rh);
    x_at(l.x + l.w / 2, l.y + 100, "click 4");
    ASSERT_TRUE(pump([&] { return ovk_main_state().list_scroll < 3 * rh; }));
    EXPECT_FLOAT_EQ(ovk_main_state().list_scroll, 2 * rh);
    shot("main_list_scrolled");

    // Dragging up by 200 px scrolls down by 200 px.
    const float before = ovk_main_state().list_scroll;
    x_at(l.x + l.w / 2, l.y + 300,
         "mousedown 1 mousemove_relative 0 -50 mousemove_relative 0 -150 mouseup 1");
    ASSERT_TRUE(pump([&] { return ovk_main_state().list_scroll > before; }));
    settle(0.2);
    EXPECT_NEAR(ovk_main_state().list_scroll, before + 200, 1.5);
    EXPECT_EQ(g_detail_shown, 0);

    // Far down: the last row ends at the bottom.
    x_at(l.x + l.w / 2, l.y + 100, "click --repeat 520 --delay 1 5");
    const float end = 500 * rh - l.h;
    ASSERT_TRUE(pump([&] { return std::fabs(ovk_main_state().list_scroll - end) < 0.5f; }))
        << ovk_main_state().list_scroll;
    // A filter change goes back to the top.
    x_click(ovk_main_state().w_filter[OVK_FILTER_BLE]);
    EXPECT_TRUE(pump([&] { return ovk_main_state().list_scroll == 0; }));
}

// Names with bytes that are not UTF-8 or a tall stack of marks on one letter still leave every
// row drawn whole: their third line (name, signal, distance, age, NEW) reaches as far right
// as a plain name's.
TEST_F(MainScreen, HostileNamesLeaveEveryRowWhole) {
    // Addresses no other test marks (as a favourite, say).
    const OVK_HITS tag = {hit(OVK_CAT_TRACKER, 60, "Tracker")};
    std::string zalgo = "C";
    for (int i = 0; i < 200; ++i) zalgo += "\xCC\x81";  // U+0301
    add(mac_of(1, 0x7E), -50, tag, "Cam1");
    add(mac_of(2, 0x7E), -50, tag,
        "Cam\xFF\xFE\xE2\x80\xAE"
        "2");
    add(mac_of(3, 0x7E), -50, tag, zalgo + "am3");
    relist();
    ASSERT_EQ(ovk_main_state().visible.size(), 3u);
    shot("main_list_hostile_names");

    // The rightmost drawn pixel of each row's third line.
    const RECT l = rect(ovk_main_state().w_list);
    const float rh = row_h(), s = g_.scale;
    const float y3 = 7 * s + static_cast<float>(al_get_font_line_height(g_.font_bold) +
                                                al_get_font_line_height(g_.font_small));
    const float h3 = static_cast<float>(al_get_font_line_height(g_.font_small));
    auto far_right = [&](size_t row) {
        const float top = l.y + static_cast<float>(row) * rh - ovk_main_state().list_scroll;
        int right = -1;
        for (int y = static_cast<int>(top + y3); y < static_cast<int>(top + y3 + h3); ++y) {
            const uint32_t bg = pixel(static_cast<int>(l.x + l.w) - 8, y);
            for (int x = static_cast<int>(l.x + l.w) - 12; x > right; --x) {
                const uint32_t c = pixel(x, y);
                int diff = 0;
                for (int sh : {0, 8, 16})
                    diff = std::max(diff, std::abs(static_cast<int>((c >> sh) & 0xFF) -
                                                   static_cast<int>((bg >> sh) & 0xFF)));
                if (diff > 60) {
                    right = x;
                    break;
                }
            }
        }
        return right;
    };
    std::map<std::string, int> right;
    for (size_t r = 0; r < 3; ++r) right[visible_mac(r)] = far_right(r);
    const int plain = right[mac_of(1, 0x7E)];
    ASSERT_GT(plain, static_cast<int>(l.x) + 100);
    EXPECT_GE(right[mac_of(2, 0x7E)], plain - 4) << "invalid UTF-8";
    EXPECT_GE(right[mac_of(3, 0x7E)], plain - 4) << "stacked marks";
}

// The menu offers the screens that exist and the screen's own commands.
TEST_F(MainScreen, MenuOffersWhatExistsRecordsTracesAndSwitchesDemo) {
    EXPECT_EQ(menu_entries(), (std::vector<std::string>{"Record trace", "Demo mode: off", "Quit"}));
    ovk_gui_set_test_screens(
        {kMainScreen, {OVK_POP_SETTINGS, build_settings, nullptr, nullptr, nullptr, nullptr}});
    ovk_gui_rebuild(&g_);
    EXPECT_EQ(menu_entries(),
              (std::vector<std::string>{"Record trace", "Settings", "Demo mode: off", "Quit"}));
    pick_menu("Settings");
    EXPECT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS); }));
    ovk_gui_close_popup(&g_, OVK_POP_SETTINGS);

    // A trace starts scanning too; then the entry offers to stop it.
    pick_menu("Record trace");
    ASSERT_TRUE(pump([&] {
        return toast() == "Recording a trace: your route and every device heard along it";
    })) << toast();
    EXPECT_EQ(ovk_trip_is_recording(), 1);
    EXPECT_EQ(ovk_scan_is_running(), 1);
    ASSERT_TRUE(pump([&] {
        return status().find("recording trace (0.0 km)") != std::string::npos;
    })) << status();
    pick_menu("Stop recording trace");
    ASSERT_TRUE(pump([&] { return toast() == "Trace saved - see Traces"; })) << toast();
    EXPECT_EQ(ovk_trip_is_recording(), 0);

    // Demo mode on: stored, scanning runs on made-up devices; off again.
    pick_menu("Demo mode: off");
    ASSERT_TRUE(pump(
        [&] { return toast() == "Demo mode: made-up devices run through the real detection"; }));
    EXPECT_EQ(ovk_prefs_get().demo_mode, 1);
    ASSERT_TRUE(pump([&] { return status().rfind("Demo - ", 0) == 0; }, 10)) << status();
    pick_menu("Demo mode: on");
    ASSERT_TRUE(pump([&] { return toast() == "Demo mode off"; }));
    EXPECT_EQ(ovk_prefs_get().demo_mode, 0);

    pick_menu("Quit");
    EXPECT_TRUE(g_.quit_requested);
}

// With hundreds of plain devices in view, flagged devices still reach the radar and draw on
// top; no more than 200 are drawn. Screenshots of the crowd in several themes, and of the
// compact layout.
TEST_F(MainScreen, CrowdedRadarKeepsFlaggedDevicesInAnyTheme) {
    // Addresses as the air gives them: random, so that bearings spread.
    std::mt19937 rng(7);
    auto random_mac = [&rng](int top) {
        char b[18];
        snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", top, static_cast<int>(rng() & 0xFF),
                 static_cast<int>(rng() & 0xFF), static_cast<int>(rng() & 0xFF),
                 static_cast<int>(rng() & 0xFF), static_cast<int>(rng() & 0xFF));
        return std::string(b);
    };
    for (int i = 0; i < 300; ++i)
        add(random_mac(0x10 + i % 64), -35 - static_cast<int>(rng() % 70), {},
            "Plain device " + std::to_string(i));
    const OVK_CATEGORY cats[] = {OVK_CAT_ALPR,    OVK_CAT_DRONE,    OVK_CAT_TRACKER,
                                 OVK_CAT_GLASSES, OVK_CAT_BODY_CAM, OVK_CAT_AUDIO_SENSOR};
    const char* labels[] = {"Flock Safety camera", "DJI Mavic (Remote ID)", "AirTag",
                            "Ray-Ban Meta",        "Axon Body 4",           "Raven gunshot sensor"};
    for (int i = 0; i < 6; ++i)
        add(random_mac(0xF0), -55 - 8 * i, {hit(cats[i], 45 + 10 * i, labels[i])});
    relist();
    ASSERT_EQ(ovk_main_state().visible.size(), 306u);
    OVK_PREFS p = ovk_prefs_get();
    p.radar_view = 1;
    for (int theme : {OVK_THEME_DARK, OVK_THEME_LIGHT, OVK_THEME_DEDSEC, OVK_THEME_PAPER,
                      OVK_THEME_NIGHT_DRIVE}) {
        p.theme = static_cast<OVK_THEME_ID>(theme);
        ovk_gui_set_prefs(&g_, p);
        pump([&] {
            return g_.pal.app_title == ovk_theme_palette(theme).app_title && !g_.rebuild_pending;
        });
        relist();
        draw();
        ASSERT_EQ(ovk_main_state().radar_hits.size(), 200u) << theme;
        int flagged = 0;
        for (size_t i = 0; i < ovk_main_state().radar_hits.size(); ++i) {
            if (ovk_main_state().radar_hits[i].key.rfind("F0:", 0) != 0) continue;
            ++flagged;
            EXPECT_GE(i, 194u) << "flagged blips are drawn last, on top";
        }
        EXPECT_EQ(flagged, 6) << theme;
        shot("main_radar_crowd_" + std::string(ovk_theme_name(theme)));
        p.radar_view = 0;
        ovk_gui_set_prefs(&g_, p);
        settle(0.1);
        shot("main_list_" + std::string(ovk_theme_name(theme)));
        p.radar_view = 1;
        ovk_gui_set_prefs(&g_, p);
    }

    // The compact layout: the buttons below the header, the short wordings.
    p.theme = OVK_THEME_SYSTEM;
    p.radar_view = 0;
    ovk_gui_set_prefs(&g_, p);
    resize(600, 780);
    relist();
    const RECT header = rect(ovk_main_state().w_header), scan = rect(ovk_main_state().w_scan_btn);
    EXPECT_GE(scan.y, header.y + header.h) << "buttons below the header";
    EXPECT_EQ(label(ovk_main_state().w_scan_btn), "Start");
    EXPECT_EQ(menu_entries(), (std::vector<std::string>{"Record trace", "Demo: off", "Quit"}));
    shot("main_compact_list", 600, 780);
    resize(kW, kH);
}

// A radar label follows its device's name and the interface size, long names stay cut to
// the label width, and what the radar keeps of devices that left is let go.
TEST_F(MainScreen, RadarLabelsFollowTheNameAndTheSize) {
    const std::string mac = mac_of(1, 0x20);
    const std::string long_name(70, 'W');
    add(mac, -50, {}, long_name);
    OVK_PREFS p = ovk_prefs_get();
    p.radar_view = 1;
    p.radar_names = 1;
    ovk_gui_set_prefs(&g_, p);
    ASSERT_TRUE(pump([&] { return !g_.rebuild_pending && visible(ovk_main_state().w_radar); }));
    // The label drawn for the device: the one placed at its dot (its text starts like the name
    // or the new name).
    const auto label_now = [&](const std::string& start) -> std::pair<std::string, float> {
        relist();
        draw();
        for (const OVK_MAIN_RADAR_TEXT& l : ovk_main_state().radar.texts)
            if (l.text && l.text->rfind(start, 0) == 0) return {*l.text, l.w};
        return {"", -1};
    };
    ALLEGRO_FONT* small = g_.font_small ? g_.font_small : g_.font;
    auto [text, w] = label_now("WWW");
    ASSERT_FALSE(text.empty()) << "the named device is labelled";
    EXPECT_LT(text.size(), long_name.size());
    EXPECT_EQ(text.substr(text.size() - 3), "...");
    EXPECT_LE(w, 150 * g_.scale);
    EXPECT_FLOAT_EQ(w, static_cast<float>(al_get_text_width(small, text.c_str())));
    // The same frame again keeps the label; a new name replaces it.
    EXPECT_EQ(label_now("WWW").first, text);
    add(mac, -50, {}, "Kitchen speaker");
    std::tie(text, w) = label_now("Kitchen");
    EXPECT_EQ(text, "Kitchen speaker");
    EXPECT_FLOAT_EQ(w, static_cast<float>(al_get_text_width(small, text.c_str())));
    // A larger interface measures the labels again in its own font.
    const float scale = g_.scale;
    p.ui_size = 3;
    ovk_gui_set_prefs(&g_, p);
    ASSERT_TRUE(pump([&] { return !g_.rebuild_pending && g_.scale != scale; }));
    small = g_.font_small ? g_.font_small : g_.font;
    std::tie(text, w) = label_now("Kitchen");
    EXPECT_EQ(text, "Kitchen speaker");
    EXPECT_FLOAT_EQ(w, static_cast<float>(al_get_text_width(small, text.c_str())));
    add(mac, -50, {}, long_name);
    std::tie(text, w) = label_now("WWW");
    EXPECT_LE(w, 150 * g_.scale);
    EXPECT_FLOAT_EQ(w, static_cast<float>(al_get_text_width(small, text.c_str())));
    // Crowd after crowd of new addresses: the labels kept stay about as many as are drawn.
    for (int round = 0; round < 4; ++round) {
        ovk_registry_clear();
        for (int i = 0; i < 200; ++i)
            add(mac_of(round * 256 + i, 0x30), -40 - i % 60, {}, "Crowd " + std::to_string(i));
        relist();
        draw();
    }
    EXPECT_EQ(ovk_main_state().radar_hits.size(), 200u);
    EXPECT_LE(ovk_main_state().radar.labels.size(), 2 * 200u + 64);
    p.ui_size = 1;
    p.radar_view = 0;
    ovk_gui_set_prefs(&g_, p);
    pump([&] { return !g_.rebuild_pending; });
}

}  // namespace
