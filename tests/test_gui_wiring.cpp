// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The screens leading into one another in the program's own frame, on a private X server: the
// device menu's "Show on map", "Report unknown device..." and "Add to watchlist...", a device
// clicked on the map opening its own details, and the settings' way back into the wizard.
#include "ovk_app_util.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_main.h"
#include "ovk_gui_map.h"
#include "ovk_gui_mapview.h"
#include "ovk_gui_settings.h"
#include "ovk_test_gui.h"
#include "ovk_test_menus.h"

namespace {

const char* const kCam = "00:25:DF:4A:19:C2";  // no verdicts: may be reported
const char* const kTag = "7A:31:C4:0B:9E:22";  // has a logged match
const OVK_GEO kCamAt{0, 45.4215, -75.6972};    // where each was strongest
const OVK_GEO kTagAt{0, 45.4236, -75.6941};

class GuiWiring : public ovk_test::GuiScreenTest {
  protected:
    void SetUp() override {
        GuiScreenTest::SetUp();
        OVK_PREFS p = ovk_prefs_get();
        p.map_tiles = 0;  // nothing leaves this machine
        p.tile_server = "http://127.0.0.1:9";
        ovk_prefs_set(p);
    }
    // Opens the device menu of `mac` and clicks its entry `text`.
    void pick(const std::string& mac, const std::string& text) {
        ovk_main_device_menu(&g_, mac, 300, 200);
        ASSERT_TRUE(pump([&] { return zq_gui_popup_is_open(g_.ctxmenu) != 0; }));
        const auto spot = ovk_test::popup_entry_spot(g_.ctxmenu, text);
        ASSERT_TRUE(spot) << "no entry " << text << " for " << mac;
        click_at(spot->first, spot->second);
        pump([&] { return !zq_gui_popup_is_open(g_.ctxmenu); });
    }
    std::string page(int popup) {
        const int v =
            find(g_.popup[popup], [](ZQ_GUI_WIDGET& w) { return w.type == ZQ_GUI_MARKDOWNVIEW; });
        return v < 0 ? std::string() : zq_gui_markdownview_get_text(g_.ctx, v);
    }
    void close_all() {
        for (int id = 0; id < OVK_POP_COUNT; ++id) ovk_gui_close_popup(&g_, id);
        tick();
    }
};

TEST_F(GuiWiring, TheDeviceMenuTheMapAndTheSettingsLeadToTheirScreens) {
    const int64_t now = ovk_now_ms();
    ovk_registry_start_session(now);
    auto hear = [&](const char* mac, const OVK_GEO& at, const OVK_HITS& hits) {
        OVK_ADVERT a;
        a.mac = mac;
        a.rssi = -61;
        a.addr_type = OVK_ADDR_PUBLIC;
        a.timestamp = now;
        OVK_GEO where = at;
        where.time = now;
        ovk_registry_report(a, hits, nullptr, "", nullptr, &where, now);
    };
    hear(kCam, kCamAt, {});
    OVK_HIT h;
    h.category = OVK_CAT_TRACKER;
    h.label = "Tracker travelling with you";
    h.confidence = 80;
    hear(kTag, kTagAt, {h});
    OVK_DETECTION m;
    m.mac = kTag;
    m.label = h.label;
    m.source = "BLE";
    m.rssi = -61;
    m.timestamp = now;
    m.category = OVK_CAT_TRACKER;
    ASSERT_EQ(ovk_store_add_detection(m), 0);
    init();
    ASSERT_TRUE(pump([&] { return g_.devices.size() == 2; }));

    // "Show on map": the map opens on where the device was strongest.
    pick(kCam, "Show on map");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    EXPECT_NEAR(ovk_map_view().lat, kCamAt.lat, 1e-9);
    EXPECT_NEAR(ovk_map_view().lon, kCamAt.lon, 1e-9);
    EXPECT_EQ(ovk_map_view().zoom, 17);
    close_all();

    // "Report unknown device...": the report of that device, without its full address.
    pick(kCam, "Report unknown device...");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_REPORT); }));
    EXPECT_TRUE(pump([&] {
        return page(OVK_POP_REPORT).find("\"oui\": \"00:25:DF\"") != std::string::npos;
    })) << page(OVK_POP_REPORT);
    close_all();

    // "Add to watchlist...": the dialog that adds it.
    pick(kTag, "Add to watchlist...");
    EXPECT_TRUE(pump([&] { return shown(OVK_POP_WATCH_ADD); }));
    close_all();

    // The details showed one device; a click on another's marker on the map shows that one,
    // with its own logged match.
    ovk_detail_show(&g_, kCam);
    ASSERT_TRUE(pump([&] {
        return page(OVK_POP_DETAIL).find("- **Logged matches:** 0\n") != std::string::npos;
    }));
    close_all();
    ovk_map_show_at(&g_, 17, kCamAt.lat, kCamAt.lon);
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    ovk_gui_draw(&g_);
    float x = 0, y = 0;
    ovk_mapview_to_screen(ovk_map_view(), kTagAt.lat, kTagAt.lon, &x, &y);
    ASSERT_TRUE(x > 0 && y > 0 && x < kW && y < kH) << x << ", " << y;
    click_at(x, y);
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_DETAIL); }));
    EXPECT_EQ(g_.sel_mac, kTag);
    EXPECT_TRUE(pump([&] {
        return page(OVK_POP_DETAIL).find("- **Logged matches:** 1\n") != std::string::npos;
    })) << page(OVK_POP_DETAIL);
    close_all();

    // The settings' wizard button closes the settings and opens the wizard.
    ovk_settings_show(&g_);
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_SETTINGS); }));
    click(button_in(g_.popup[OVK_POP_SETTINGS], "Run the setup wizard again"));
    EXPECT_TRUE(pump([&] { return shown(OVK_POP_SETUP) && !shown(OVK_POP_SETTINGS); }));
}

}  // namespace
