// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The Fleet screen of a central instance, opened from the menu with real input (xdotool), over
// a real mosquitto on loopback: without a fleet it says how to start one; a sensor that
// publishes its status is listed with its counts, threat level and position, which "Show on
// map" centres the map on; a sensor that stops is shown offline, and marked once it has been
// gone for more than 5 minutes. With OVK_SHOT_DIR set the screen is kept there in two themes
// and at 320 x 420.
#include <atomic>
#include <cmath>

#include "ovk_fleet.h"
#include "ovk_gui_map.h"
#include "ovk_linux_mqtt.h"
#include "ovk_mqtt.h"
#include "ovk_test_gui.h"
#include "ovk_test_mosquitto.h"

namespace {

constexpr double kLat = 48.8566, kLon = 2.3522;

std::atomic<int64_t> g_skew{0};  // added to the fleet's clock

OVK_STATUS sensor_status() {
    OVK_STATUS s;
    s.running = 1;
    s.scanners = "BLE: hci0; WiFi: wlan0";
    s.devices = 23;
    s.flagged = 4;
    s.threat = OVK_THREAT_PROBABLE;
    s.has_location = 1;
    s.location.lat = kLat;
    s.location.lon = kLon;
    s.location.time = ovk_now_ms();
    return s;
}

class FleetScreen : public ovk_test::GuiScreens {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiScreens::SetUp());
        if (!broker_.ok()) GTEST_SKIP() << "mosquitto is not installed";
        ASSERT_EQ(ovk_linux_mqtt_init(), 0);
        OVK_PREFS p = ovk_prefs_get();
        p.map_tiles = 0;  // no tile server in a test
        ovk_prefs_set(p);
        ovk_gui_update(&g_);
        ovk_fleet_reset();
        g_skew = 0;
        listen(true);
        ASSERT_FALSE(x_window().empty());
        settle(0.3);
    }
    void TearDown() override {
        ovk_mqtt_sensor_stop();
        ovk_fleet_stop();
        ovk_fleet_reset();
        listen(false);
        GuiScreens::TearDown();
    }

    int grid() { return widget_in(g_.popup[OVK_POP_FLEET], ZQ_GUI_DATAGRID); }
    int info() { return widget_in(g_.popup[OVK_POP_FLEET], ZQ_GUI_LABEL); }
    int rows() { return zq_gui_datagrid_row_count(g_.ctx, grid()); }

    void start_central() {
        OVK_FLEET_OPTS o;
        ASSERT_EQ(ovk_fleetmsg_parse_url(broker_.url("city"), o.url), "");
        o.user = "orvik";
        o.password = "secret";
        o.client_id = "central-gui";
        o.now = [] { return ovk_now_ms() + g_skew.load(); };
        ASSERT_EQ(ovk_fleet_start(o, ovk_linux_mqtt_connect), 0);
    }
    void start_sensor(const std::string& name) {
        OVK_MQTT_SENSOR_OPTS o;
        ASSERT_EQ(ovk_fleetmsg_parse_url(broker_.url("city"), o.url), "");
        o.sensor = name;
        o.user = "sensor";
        o.password = "s3nsor";
        o.ha_prefix = "";
        o.data_dir = sensor_dir_.path();
        o.status = sensor_status;
        o.status_every_ms = 500;
        ASSERT_EQ(ovk_mqtt_sensor_start(o, ovk_linux_mqtt_connect), 0);
    }

    ovk_test::Mosquitto broker_;
    ovk_test::TempDir sensor_dir_;
};

TEST_F(FleetScreen, ListsASensorFromTheBrokerShowsItOnTheMapAndMarksItLongOffline) {
    // No fleet yet: the screen, opened from the menu, says how to start one.
    ASSERT_NO_FATAL_FAILURE(pick_menu("Fleet"));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_FLEET); }));
    EXPECT_TRUE(pump([&] {
        return unwrapped(info()) ==
               "No fleet: start with --fleet mqtt://HOST/PREFIX or set the fleet broker in "
               "Settings";
    })) << unwrapped(info());
    EXPECT_EQ(rows(), 0);
    shot("fleet_none");

    // A central with no sensor heard yet says so.
    ASSERT_NO_FATAL_FAILURE(start_central());
    EXPECT_TRUE(pump(
        [&] {
            return unwrapped(info()) ==
                   "Fleet: connected, 0 sensors (0 online). No sensor heard yet.";
        },
        10))
        << unwrapped(info());

    // A sensor publishes its status: listed with its counts, threat level and position.
    ASSERT_NO_FATAL_FAILURE(start_sensor("car1"));
    ASSERT_TRUE(pump([&] { return rows() == 1 && cell(grid(), 0, 1) == "online"; }, 15))
        << rows() << " " << cell(grid(), 0, 1) << " " << ovk_fleet_status_text();
    const int g = grid();
    EXPECT_EQ(cell(g, 0, 0), "car1");
    EXPECT_EQ(cell(g, 0, 3), "23");
    EXPECT_EQ(cell(g, 0, 4), "4");
    EXPECT_EQ(cell(g, 0, 5), "PROBABLE");
    EXPECT_EQ(cell(g, 0, 6), "48.8566, 2.3522");
    const std::string heard = cell(g, 0, 2);
    EXPECT_TRUE(heard == "now" || heard.ends_with("s ago")) << heard;
    EXPECT_TRUE(pump([&] {
        return unwrapped(info()).starts_with("Fleet: connected, 1 sensor (1 online).");
    })) << unwrapped(info());

    // Selected, then "Show on map": the map opens centred on the sensor.
    ASSERT_NO_FATAL_FAILURE(x_click_row(g, 0));
    EXPECT_EQ(zq_gui_datagrid_get_selected(g_.ctx, g), 0);
    shot("fleet_online");
    ASSERT_NO_FATAL_FAILURE(x_click(button_in(g_.popup[OVK_POP_FLEET], "Show on map")));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_MAP); }));
    const OVK_MAPVIEW mv = ovk_map_view();
    EXPECT_NEAR(mv.lat, kLat, 1e-6);
    EXPECT_NEAR(mv.lon, kLon, 1e-6);
    ovk_gui_close_popup(&g_, OVK_POP_MAP);
    settle(0.2);

    // The sensor stops (its offline status, as its last will would say): offline, not yet
    // marked; gone for more than 5 minutes: marked.
    ovk_mqtt_sensor_stop();
    ASSERT_TRUE(pump([&] { return cell(grid(), 0, 1) == "offline"; }, 10)) << cell(grid(), 0, 1);
    // Where it was and what it saw last stay shown.
    EXPECT_EQ(cell(grid(), 0, 6), "48.8566, 2.3522");
    EXPECT_EQ(cell(grid(), 0, 3), "23");
    g_skew = OVK_FLEET_STALE_MS + 60000;
    ASSERT_TRUE(pump([&] { return cell(grid(), 0, 1) == "OFFLINE 6 min"; }, 5))
        << cell(grid(), 0, 1);
    shot("fleet_stale");

    // Another theme, and a small screen: the compact columns still name it and its state.
    set_theme(OVK_THEME_DEDSEC);
    ASSERT_TRUE(pump([&] { return rows() == 1; }));
    shot("fleet_dedsec");
    ASSERT_NO_FATAL_FAILURE(init_frame(320, 420));
    ASSERT_TRUE(ovk_gui_show_screen(&g_, OVK_POP_FLEET));
    ASSERT_TRUE(pump([&] { return rows() == 1; }));
    EXPECT_EQ(cell(grid(), 0, 0), "car1");
    EXPECT_EQ(cell(grid(), 0, 1), "OFFLINE");
    ASSERT_NO_FATAL_FAILURE(x_click_row(grid(), 0));
    EXPECT_TRUE(pump([&] {
        return unwrapped(widget_in(g_.popup[OVK_POP_FLEET], ZQ_GUI_LABEL, 1))
            .starts_with(
                "car1: OFFLINE 6 min, heard 6 min ago; 23 devices, 4 flagged; threat "
                "PROBABLE; at 48.8566, 2.3522");
    })) << unwrapped(widget_in(g_.popup[OVK_POP_FLEET], ZQ_GUI_LABEL, 1));
    const RECT r = rect(grid());
    EXPECT_LE(r.x + r.w, 320);
    EXPECT_LE(r.y + r.h, 420);
    shot("fleet_small", 320, 420);

    // Forty more sensors: a list scrolled down stays there while the rows refresh.
    OVK_FLEET_STATUS st;
    st.online = true;
    st.time = ovk_now_ms();
    st.devices = 3;
    for (int i = 0; i < 40; ++i)
        ovk_fleet_handle("city/s" + std::to_string(100 + i) + "/status",
                         ovk_fleetmsg_status_json(st));
    ASSERT_TRUE(pump([&] { return rows() == 41; }));
    zq_gui_datagrid_scroll_to_row(g_.ctx, grid(), 40);
    const auto* data = zq_gui_data<ZQ_GUI_GRID_DATA>(g_.ctx, grid());
    ASSERT_NE(data, nullptr);
    const float scrolled = data->scroll_y;
    EXPECT_GT(scrolled, 0);
    settle(1.5);  // three refreshes
    EXPECT_EQ(data->scroll_y, scrolled);
    EXPECT_EQ(cell(grid(), 40, 0), "s139");
}

}  // namespace
