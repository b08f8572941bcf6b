// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The interface thread never waits on the engine. Over a running engine with devices, matches,
// a watchlist rule and a recorded trace, every screen is opened in turn and used once as a
// person would (a filter, a favourite, a zoom, a row picked, a rule added, a setting saved, an
// export); meanwhile every engine lock (registry, store, watchlist, trip, pipeline, fleet)
// taken inside the frame's event handling, tick and drawing is counted by its site.
#include <map>
#include <string>
#include <vector>

#include "ovk_gui_list.h"
#include "ovk_gui_main.h"
#include "ovk_gui_port.h"
#include "ovk_lock.h"
#include "ovk_test_gui.h"
#include "ovk_trip.h"
#include "ovk_watchlist.h"
#include "zq_gui_internal.h"

namespace {

using ovk_test::GuiScreens;

constexpr const char* kAxon = "00:25:DF:4A:19:C2";  // the demo's body camera

// Screens that still reach the engine from the interface thread. Each one leaves this list
// when it is moved onto the engine port; the test fails for a screen listed here that no
// longer takes a lock, so the list only shrinks.
const std::vector<std::string> kStillToClean = {};

// The lock type itself: counted only inside an interface scope and only while watched.
TEST(EngineLock, CountsOnlyInsideTheInterfaceScopeWhileWatched) {
    OVK_LOCK lock("test-site");
    ovk_lock_watch(true);
    { std::lock_guard lk(lock); }
    EXPECT_TRUE(ovk_lock_taken().empty()) << "outside the interface scope";
    {
        const OVK_INTERFACE_SCOPE scope;
        EXPECT_TRUE(ovk_lock_on_interface());
        { const OVK_INTERFACE_SCOPE nested; }
        EXPECT_TRUE(ovk_lock_on_interface()) << "a nested scope ends without ending the outer";
        { std::lock_guard lk(lock); }
        { std::unique_lock lk(lock); }
    }
    EXPECT_FALSE(ovk_lock_on_interface());
    EXPECT_EQ(ovk_lock_taken(), (std::map<std::string, int>{{"test-site", 2}}));
    EXPECT_EQ(ovk_lock_taken_text(), "test-site x2");
    ovk_lock_watch(false);
    {
        const OVK_INTERFACE_SCOPE scope;
        std::lock_guard lk(lock);
    }
    EXPECT_EQ(ovk_lock_taken().at("test-site"), 2) << "not counted while the watch is off";
    ovk_lock_watch(true);
    EXPECT_TRUE(ovk_lock_taken().empty()) << "a new watch starts from nothing";
    ovk_lock_watch(false);
}

class EngineLocks : public GuiScreens {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiScreens::SetUp());
        OVK_PREFS p = ovk_prefs_get();
        p.map_tiles = 0;  // no tile server in a test
        ovk_prefs_set(p);
        ASSERT_EQ(ovk_trip_open(data_), 0);
        ASSERT_GT(ovk_trip_start("Morning walk"), 0);
        feed_demo(4);
        ovk_trip_stop();
        OVK_OUI_ENTRY rule;
        rule.prefix = "B4:1E:52";
        rule.label = "Plate camera block";
        ASSERT_EQ(ovk_watchlist_add_custom(rule), 0);
        ovk_gui_update(&g_);
        ovk_main_refresh(&g_);
        ASSERT_TRUE(ovk_main_settle(&g_, 5000));
        ASSERT_FALSE(ovk_store_detections(0).empty()) << "the demo left matches";
        settle(0.3);
    }
    void TearDown() override {
        ovk_lock_watch(false);
        GuiScreens::TearDown();
        ovk_trip_close();
    }

    // A click on row `row` of a data grid, as the event loop hands it over.
    void click_row(int grid, int row) {
        ZQ_GUI_WIDGET* wd = zq_gui_find_widget(g_.ctx, grid);
        auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
        ASSERT_NE(d, nullptr);
        ASSERT_GT(d->rows.size(), static_cast<size_t>(row)) << "the grid has the row";
        zq_gui_datagrid_scroll_to_row(g_.ctx, grid, row);
        const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(g_.ctx, wd, *d);
        const RECT r = rect(grid);
        click_at(r.x + 20,
                 r.y + geom.body_y + geom.row_h * (static_cast<float>(row) + 0.5f) - d->scroll_y);
    }
    // A wheel turn over the middle of a pop-up.
    void wheel(int popup) {
        const RECT r = rect(g_.popup[popup]);
        mouse(ALLEGRO_EVENT_MOUSE_AXES, r.x + r.w / 2, r.y + r.h / 2, 0, 1);
    }
    void press(int popup, const std::string& label) {
        const int b = button_in(g_.popup[popup], label);
        ASSERT_GE(b, 0) << "no button " << label;
        click(b);
    }
};

struct VISIT {
    std::string name;
    int popup;  // -1: the main screen
    std::function<void(OVK_GUI*)> open;
    std::function<void()> act;
};

TEST_F(EngineLocks, NoScreenTakesAnEngineLockOnTheInterfaceThread) {
    OVK_GUI* g = &g_;
    const std::vector<OVK_TRIP> trips = ovk_trip_list();
    ASSERT_FALSE(trips.empty());
    const int64_t trip = trips.front().id;
    const auto show = [](int id) { return [id](OVK_GUI* gg) { ovk_gui_show_screen(gg, id); }; };
    const auto on_axon = [](int id) {
        return [id](OVK_GUI* gg) { ovk_gui_show_on(gg, id, ovk_subject_device(kAxon)); };
    };
    const auto first_grid_row = [this](int popup) {
        return [this, popup] {
            const int grid = widget_in(g_.popup[popup], ZQ_GUI_DATAGRID);
            ASSERT_GE(grid, 0);
            click_row(grid, 0);
        };
    };
    const std::vector<VISIT> visits = {
        {"main", -1, [](OVK_GUI* gg) { ovk_main_show_list(gg, OVK_FILTER_ALL); },
         [g] { ovk_main_show_list(g, OVK_FILTER_FLAGGED); }},
        {"detail", OVK_POP_DETAIL, on_axon(OVK_POP_DETAIL),
         [this] { press(OVK_POP_DETAIL, "Favorite"); }},
        {"map", OVK_POP_MAP, show(OVK_POP_MAP), [this] { press(OVK_POP_MAP, "My position"); }},
        {"trace on the map", OVK_POP_MAP,
         [trip](OVK_GUI* gg) { ovk_gui_show_on(gg, OVK_POP_MAP, ovk_subject_trip(trip)); },
         [this] { wheel(OVK_POP_MAP); }},
        {"history", OVK_POP_HISTORY, show(OVK_POP_HISTORY), [this] { wheel(OVK_POP_HISTORY); }},
        {"trips", OVK_POP_TRIPS, show(OVK_POP_TRIPS), first_grid_row(OVK_POP_TRIPS)},
        {"log", OVK_POP_LOG, show(OVK_POP_LOG), first_grid_row(OVK_POP_LOG)},
        {"fleet", OVK_POP_FLEET, show(OVK_POP_FLEET), [this] { wheel(OVK_POP_FLEET); }},
        {"watchlist", OVK_POP_WATCHLIST, show(OVK_POP_WATCHLIST),
         first_grid_row(OVK_POP_WATCHLIST)},
        {"watch-add", OVK_POP_WATCH_ADD, on_axon(OVK_POP_WATCH_ADD),
         [this] { press(OVK_POP_WATCH_ADD, "Add"); }},
        {"whitelist", OVK_POP_WHITELIST, show(OVK_POP_WHITELIST),
         [this] { wheel(OVK_POP_WHITELIST); }},
        {"settings", OVK_POP_SETTINGS, show(OVK_POP_SETTINGS),
         [this] { press(OVK_POP_SETTINGS, "Save"); }},
        {"export", OVK_POP_EXPORT, show(OVK_POP_EXPORT),
         [this] { press(OVK_POP_EXPORT, "Export"); }},
        {"about", OVK_POP_ABOUT, show(OVK_POP_ABOUT), [this] { wheel(OVK_POP_ABOUT); }},
        {"setup", OVK_POP_SETUP, show(OVK_POP_SETUP), [this] { press(OVK_POP_SETUP, "Next"); }},
        {"report", OVK_POP_REPORT, on_axon(OVK_POP_REPORT), [this] { wheel(OVK_POP_REPORT); }},
    };

    std::map<std::string, std::string> dirty;  // screen -> the sites it took
    for (const VISIT& v : visits) {
        SCOPED_TRACE(v.name);
        ovk_lock_watch(true);
        {
            // The test stands in for the event loop here: it is the interface thread.
            const OVK_INTERFACE_SCOPE on_interface;
            v.open(g);
        }
        if (v.popup >= 0) {
            ASSERT_TRUE(pump([&] { return shown(v.popup); }, 3)) << v.name << " opens";
        }
        settle(0.6);  // the half-second refresh comes at least once
        {
            const OVK_INTERFACE_SCOPE on_interface;
            ASSERT_NO_FATAL_FAILURE(v.act());
        }
        settle(0.6);
        ovk_lock_watch(false);
        if (const std::string taken = ovk_lock_taken_text(); !taken.empty()) dirty[v.name] = taken;
        if (v.popup >= 0 && shown(v.popup)) ovk_gui_close_popup(g, v.popup);
        ASSERT_TRUE(ovk_port_settle(g, 5000));
    }

    std::string report;
    for (const auto& [screen, sites] : dirty) report += "\n  " + screen + ": " + sites;
    std::printf("engine locks taken on the interface thread:%s\n",
                report.empty() ? " none" : report.c_str());
    for (const VISIT& v : visits) {
        const bool listed =
            std::find(kStillToClean.begin(), kStillToClean.end(), v.name) != kStillToClean.end();
        if (listed) {
            EXPECT_TRUE(dirty.count(v.name))
                << v.name << " takes no engine lock any more: take it off the list";
        } else {
            EXPECT_FALSE(dirty.count(v.name))
                << v.name << " took engine locks on the interface thread: " << dirty[v.name];
        }
    }
}

}  // namespace
