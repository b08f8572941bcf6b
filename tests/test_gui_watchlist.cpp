// ovk-test: window
// The watchlist, add-to-watchlist and whitelist screens over a running engine.
#include "gui_screens.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_watchlist.h"
#include "ovk_store.h"

namespace {

using ovk_test::GuiScreens;

const char* kAirTag = "7A:31:C4:0B:9E:22";
const char* kPhone = "6E:0A:77:12:C3:95";
const char* kSpeaker = "D8:E0:E1:5A:61:2F";

class GuiWatchlist : public GuiScreens {};

TEST_F(GuiWatchlist, Look) {
    feed_demo(3);
    OVK_OUI_ENTRY e;
    e.prefix = "name:Flock";
    e.label = "Flock camera (by name)";
    ovk_watchlist_add_custom(e);
    ovk_store_whitelist_add(kSpeaker, "JBL Flip 6");
    ovk_store_whitelist_add(kPhone, "Pixel 9");
    for (OVK_THEME_ID t : {OVK_THEME_SYSTEM, OVK_THEME_PAPER}) {
        set_theme(t);
        ovk_watchlist_show(&g_);
        const int grid = widgets_of(OVK_POP_WATCHLIST, ZQ_GUI_DATAGRID)[0];
        zq_gui_datagrid_scroll_to_row(g_.ctx, grid, zq_gui_datagrid_row_count(g_.ctx, grid) - 1);
        zq_gui_datagrid_set_selected(g_.ctx, grid, zq_gui_datagrid_row_count(g_.ctx, grid) - 3);
        g_.toast_until = 0;
        shot("watchlist_" + std::to_string(t));
        ovk_gui_close_popup(&g_, OVK_POP_WATCHLIST);
        ovk_watch_add_show(&g_, kAirTag, "My keys?");
        shot("watchadd_" + std::to_string(t));
        ovk_gui_close_popup(&g_, OVK_POP_WATCH_ADD);
        ovk_whitelist_show(&g_);
        shot("whitelist_" + std::to_string(t));
        ovk_gui_close_popup(&g_, OVK_POP_WHITELIST);
    }
}

}  // namespace
