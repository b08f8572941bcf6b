// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The main screen with every other screen of the program, used through real input (xdotool):
// each drop-down menu entry opens its screen, and the device menu's entries reach the watch-add
// dialog, the whitelist, the map and the report. With OVK_SHOT_DIR set, the context menu and
// the dialogs it opens are kept there as PNG files to look at.
#include "ovk_gui_main.h"
#include "ovk_gui_map.h"
#include "ovk_store.h"
#include "ovk_test_gui.h"
#include "zq_gui_internal.h"

namespace {

using ovk_test::GuiScreens;

const char* kFlock = "B4:1E:52:3C:88:10";  // a plate camera, flagged
const char* kPhone = "6E:0A:77:12:C3:95";  // nothing matches it

class MainScreenWiring : public GuiScreens {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiScreens::SetUp());
        OVK_PREFS p = ovk_prefs_get();
        p.map_tiles = 0;  // no tile server in a test
        ovk_prefs_set(p);
        ovk_gui_update(&g_);
        feed_demo(3);
        ovk_main_refresh(&g_);
        ASSERT_TRUE(ovk_main_settle(&g_, 5000));
        listen(true);
        ASSERT_FALSE(x_window().empty());
        pump([] { return false; }, 0.3);
    }
    void TearDown() override {
        listen(false);
        GuiScreens::TearDown();
    }

    // A right click on the device's row of the list.
    void right_click_device(const std::string& mac) {
        // The list in place shows the verdicts as they are now: a watchlist change reorders it
        // once the pipeline has judged the devices again (on its own clock otherwise).
        ovk_pipeline_recheck();
        ASSERT_NO_FATAL_FAILURE(ovk_test::pipeline_drain());
        ovk_main_refresh(&g_);
        ASSERT_TRUE(ovk_main_settle(&g_, 5000));
        size_t row = 0;
        while (row < ovk_main_state().visible.size() &&
               g_.devices[static_cast<size_t>(ovk_main_state().visible[row])].mac != mac)
            ++row;
        ASSERT_LT(row, ovk_main_state().visible.size()) << mac << " is not listed";
        const RECT l = rect(ovk_main_state().w_list);
        auto [x, y] = row_centre(static_cast<int>(row));
        ASSERT_LT(y, l.y + l.h) << "the row is in view";
        // A click on a notice only dismisses it: a person clicks the row beside it.
        for (const OVK_NOTICE_BOX& b : g_.notice_boxes)
            if (x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h) x = l.x + 20;
        x_at(x, y, "click 3");
        ASSERT_TRUE(pump([&] { return g_.ctxmenu && zq_gui_popup_is_open(g_.ctxmenu); }));
        EXPECT_EQ(g_.ctxmenu_mac, mac);
    }
    // The first two cells of every row of the pop-up's grid.
    std::vector<std::vector<std::string>> grid_rows(int popup) {
        std::vector<std::vector<std::string>> out;
        const auto grids = widgets_of(g_.popup[popup], ZQ_GUI_DATAGRID);
        if (grids.empty()) return out;
        if (const auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(g_.ctx, grids[0]))
            for (const auto& r : d->rows)
                out.push_back({r.size() > 0 ? r[0] : "", r.size() > 1 ? r[1] : ""});
        return out;
    }
};

// Every entry of the menu is there on a desktop, and each screen entry opens its screen.
TEST_F(MainScreenWiring, EveryMenuEntryOpensItsScreen) {
    EXPECT_EQ(menu_entries(), (std::vector<std::string>{
                                  "Map", "History map & timeline", "Traces", "Match log", "Fleet",
                                  "Watchlist", "Whitelist", "Export...", "Record trace", "Settings",
                                  "Setup wizard", "Demo mode: off", "About", "Quit"}));
    const std::pair<const char*, int> screens[] = {
        {"Map", OVK_POP_MAP},
        {"History map & timeline", OVK_POP_HISTORY},
        {"Traces", OVK_POP_TRIPS},
        {"Match log", OVK_POP_LOG},
        {"Fleet", OVK_POP_FLEET},
        {"Watchlist", OVK_POP_WATCHLIST},
        {"Whitelist", OVK_POP_WHITELIST},
        {"Export...", OVK_POP_EXPORT},
        {"Settings", OVK_POP_SETTINGS},
        {"Setup wizard", OVK_POP_SETUP},
        {"About", OVK_POP_ABOUT},
    };
    for (const auto& entry : screens) {
        const std::string text = entry.first;
        const int popup = entry.second;
        ASSERT_NO_FATAL_FAILURE(pick_menu(text));
        EXPECT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, popup); })) << text;
        for (int other = 0; other < OVK_POP_COUNT; ++other) {
            if (other != popup) {
                EXPECT_FALSE(ovk_gui_popup_is_open(&g_, other)) << text;
            }
        }
        ovk_gui_close_popup(&g_, popup);
        pump([] { return false; }, 0.1);
    }
}

// As a person: right-click the plate camera, watch it under a label of one's own, and find it
// in the watchlist; trust it and find it in the whitelist. In a light theme.
TEST_F(MainScreenWiring, APersonWatchesAndTrustsAFlaggedDeviceFromTheList) {
    ASSERT_NO_FATAL_FAILURE(set_theme(OVK_THEME_LIGHT));
    ASSERT_TRUE(ovk_main_settle(&g_, 5000));
    pump([] { return false; }, 0.2);
    right_click_device(kFlock);
    const std::vector<std::string> entries = ctx_entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "Add to watchlist..."), entries.end());
    EXPECT_EQ(std::find(entries.begin(), entries.end(), "Report unknown device..."), entries.end())
        << "a matched device is no unknown one";
    shot("main_context_menu_flagged");
    pick_ctx("Add to watchlist...");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_WATCH_ADD); }));
    const int label = widgets_of(g_.popup[OVK_POP_WATCH_ADD], ZQ_GUI_TEXTAREA).at(0);
    const OVK_DEVICE* flock = nullptr;
    for (const OVK_DEVICE& d : g_.devices)
        if (d.mac == kFlock) flock = &d;
    ASSERT_TRUE(flock && ovk_device_best(*flock));
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, label), ovk_device_best(*flock)->label)
        << "suggested: the match's label";
    x_click(label);
    x_key("ctrl+a BackSpace");
    x_type("North lot camera");
    ASSERT_TRUE(
        pump([&] { return zq_gui_textarea_get_text(g_.ctx, label) == "North lot camera"; }));
    shot("main_watch_add_light");
    x_click(button_in(g_.popup[OVK_POP_WATCH_ADD], "Add"));
    ASSERT_TRUE(pump([&] { return !shown(OVK_POP_WATCH_ADD); }));
    EXPECT_TRUE(said(std::string("Added ") + kFlock + " to the watchlist"));

    ASSERT_NO_FATAL_FAILURE(pick_menu("Watchlist"));
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_WATCHLIST); }));
    EXPECT_TRUE(pump([&] {
        const auto rows = grid_rows(OVK_POP_WATCHLIST);
        return std::find(rows.begin(), rows.end(),
                         std::vector<std::string>{kFlock, "North lot camera"}) != rows.end();
    }));
    ovk_gui_close_popup(&g_, OVK_POP_WATCHLIST);

    right_click_device(kFlock);
    pick_ctx("Whitelist (trust it)");
    ASSERT_TRUE(pump([&] { return ovk_store_is_whitelisted(kFlock) == 1; }));
    ASSERT_NO_FATAL_FAILURE(pick_menu("Whitelist"));
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_WHITELIST); }));
    ASSERT_TRUE(pump([&] { return grid_rows(OVK_POP_WHITELIST).size() == 1u; }));
    EXPECT_EQ(grid_rows(OVK_POP_WHITELIST)[0][0], kFlock);
    shot("main_whitelist_light");
}

// A device nothing matched: its details, its strongest position on the map, its report.
TEST_F(MainScreenWiring, DeviceMenuOpensDetailsMapAndReport) {
    const std::optional<OVK_DEVICE> phone = ovk_registry_get(kPhone);
    ASSERT_TRUE(phone && phone->has_best_pos && phone->hits.empty());
    right_click_device(kPhone);
    EXPECT_EQ(ctx_entries(),
              (std::vector<std::string>{"Details", "Add to watchlist...", "Whitelist (trust it)",
                                        "Add to favorites", "Copy address", "Show on map",
                                        "Report unknown device..."}));
    shot("main_context_menu_phone");
    pick_ctx("Show on map");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    EXPECT_DOUBLE_EQ(ovk_map_view().zoom, 17);
    EXPECT_DOUBLE_EQ(ovk_map_view().lat, phone->best_pos.lat);
    EXPECT_DOUBLE_EQ(ovk_map_view().lon, phone->best_pos.lon);
    ovk_gui_close_popup(&g_, OVK_POP_MAP);

    right_click_device(kPhone);
    pick_ctx("Report unknown device...");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_REPORT); }));
    shot("main_report_from_menu");
    ovk_gui_close_popup(&g_, OVK_POP_REPORT);

    right_click_device(kPhone);
    pick_ctx("Details");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_DETAIL); }));
    EXPECT_EQ(g_.sel_mac, kPhone);
}

}  // namespace
