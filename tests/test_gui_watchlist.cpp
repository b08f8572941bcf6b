// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The watchlist, add-to-watchlist and whitelist screens over a running engine: the add
// dialog's address or prefix, the screen's own rules with their validation, presets on and
// off, export to a file and the clipboard and import on another data directory, the
// whitelist, and a person adding a device from its details with real clicks and keys.
// With OVK_SHOT_DIR set, the screens are kept there as PNG files to look at.
#include <dirent.h>

#include <thread>

#include "ovk_gui_detail.h"
#include "ovk_gui_fleet.h"
#include "ovk_gui_port.h"
#include "ovk_gui_watchlist.h"
#include "ovk_store.h"
#include "ovk_test_gui.h"
#include "ovk_test_held_writes.h"

namespace {

using ovk_test::GuiScreens;

const char* kAirTag = "7A:31:C4:0B:9E:22";   // a random (private) address
const char* kPhone = "6E:0A:77:12:C3:95";    // random, not flagged, named "Pixel 9"
const char* kSpeaker = "D8:E0:E1:5A:61:2F";  // public, not flagged, named "JBL Flip 6"
const char* kFlock = "B4:1E:52:3C:88:10";    // a plate camera

class GuiWatchlist : public GuiScreens {
  protected:
    int widget(int popup, ZQ_GUI_WIDGET_TYPE type, int i = 0) {
        return widget_in(g_.popup[popup], type, i);
    }
    int grid() { return widget(OVK_POP_WATCHLIST, ZQ_GUI_DATAGRID); }
    int wl_grid() { return widget(OVK_POP_WHITELIST, ZQ_GUI_DATAGRID); }
    // The grid row whose first column reads `key`, or -1.
    int row_of(const std::string& key) {
        const auto all = ovk_watchlist_all();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].prefix == key) return static_cast<int>(i);
        return -1;
    }
    std::vector<OVK_OUI_ENTRY> custom() { return ovk_watchlist_custom(); }
    // Waits for the changes and views the engine port has in hand, and lets the open screens
    // take them (a view asked on a refresh arrives on a later one).
    void finish() {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(ovk_port_settle(&g_, 5000));
            g_.now_s += 1;  // the detail's next reading is due
            for (int popup : {OVK_POP_WATCHLIST, OVK_POP_WHITELIST, OVK_POP_DETAIL})
                ovk_gui_refresh_screen(&g_, popup);
        }
    }
    void press(int popup, const std::string& label) {
        const int b = button_in(g_.popup[popup], label);
        ASSERT_GE(b, 0) << label;
        click(b);
        finish();
    }
    void type_rule(int kind, const std::string& key, const std::string& label, int category = 0) {
        zq_gui_combobox_set_selected(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_COMBOBOX, 0), kind);
        zq_gui_combobox_set_selected(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_COMBOBOX, 1),
                                     category);
        zq_gui_textarea_set_text(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_TEXTAREA, 0), key);
        zq_gui_textarea_set_text(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_TEXTAREA, 1), label);
    }
};

TEST_F(GuiWatchlist, AddDialogWatchesTheAddressOrItsVendorPrefix) {
    feed_demo(3);
    ovk_watch_add_show(&g_, kAirTag, "");
    const int choice = widget(OVK_POP_WATCH_ADD, ZQ_GUI_RADIOLIST);
    const int warning = widget(OVK_POP_WATCH_ADD, ZQ_GUI_LABEL);
    const int label = widget(OVK_POP_WATCH_ADD, ZQ_GUI_TEXTAREA);
    ASSERT_TRUE(shown(OVK_POP_WATCH_ADD));

    // A random address: warned, and its "prefix" is not a vendor's, so the whole address is
    // watched whichever is chosen.
    EXPECT_NE(zq_gui_label_get_text(g_.ctx, warning).find("randomized (private) address"),
              std::string::npos);
    EXPECT_EQ(zq_gui_radiolist_get_selected(g_.ctx, choice), 0);
    zq_gui_radiolist_set_selected(g_.ctx, choice, 1);
    g_.toast_until = 0;
    shot("watchadd_random");
    press(OVK_POP_WATCH_ADD, "Add");
    EXPECT_FALSE(shown(OVK_POP_WATCH_ADD));
    EXPECT_EQ(toast(), std::string("Added ") + kAirTag + " to the watchlist");
    ASSERT_EQ(custom().size(), 1u);
    EXPECT_EQ(custom()[0].prefix, kAirTag);
    EXPECT_EQ(custom()[0].label, std::string("Custom device ") + kAirTag);
    EXPECT_EQ(custom()[0].source, "user-added from live list");
    EXPECT_EQ(custom()[0].confidence, "custom");

    // A public address: no warning; the prefix choice watches its vendor block.
    ovk_watch_add_show(&g_, kSpeaker, "Speaker");
    EXPECT_EQ(zq_gui_label_get_text(g_.ctx, warning), "");
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, label), "Speaker");
    zq_gui_textarea_set_text(g_.ctx, label, "");
    zq_gui_radiolist_set_selected(g_.ctx, choice, 1);
    press(OVK_POP_WATCH_ADD, "Add");
    ASSERT_EQ(custom().size(), 2u);
    EXPECT_EQ(custom()[1].prefix, "D8:E0:E1");
    EXPECT_EQ(custom()[1].label, "Custom prefix D8:E0:E1");
    // The file holds both.
    const auto saved = ovk_watchlist_parse(ovk_test::read_file(data_ + "/watchlist_custom.json"));
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->size(), 2u);

    // The speaker's details offer to remove the prefix entry that covers it.
    open_detail(kSpeaker);
    press(OVK_POP_DETAIL, "Remove from watchlist");
    EXPECT_EQ(toast(), "Removed D8:E0:E1 from the watchlist");
    ASSERT_EQ(custom().size(), 1u);
    EXPECT_GE(button_in(g_.popup[OVK_POP_DETAIL], "Add to watchlist"), 0);
    // From a flagged device's details the dialog suggests the verdict's label.
    open_detail(kFlock);
    press(OVK_POP_DETAIL, "Add to watchlist");
    EXPECT_TRUE(shown(OVK_POP_WATCH_ADD));
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, label), "Flock Safety camera");
    press(OVK_POP_WATCH_ADD, "Cancel");
    EXPECT_FALSE(shown(OVK_POP_WATCH_ADD));
    EXPECT_EQ(custom().size(), 1u);

    // Without an address nothing is added, and the dialog says why instead of claiming it was.
    ovk_watch_add_show(&g_, "", "");
    press(OVK_POP_WATCH_ADD, "Add");
    EXPECT_TRUE(shown(OVK_POP_WATCH_ADD));
    EXPECT_EQ(toast().rfind("Not a valid entry", 0), 0u) << toast();
    EXPECT_EQ(custom().size(), 1u);
}

// A resolvable private address need not have the locally administered bit (5C: looks like
// a vendor's block): the device's address type still makes it private, so it is warned about
// and never offered as a prefix.
TEST_F(GuiWatchlist, AddDialogKnowsAResolvablePrivateAddress) {
    const char* kAirPods = "5C:1B:2E:88:40:11";
    feed_demo(3);
    const auto d = ovk_registry_get(kAirPods);
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->addr_type, OVK_ADDR_RESOLVABLE_PRIVATE);
    ASSERT_EQ(ovk_mac_is_randomized(kAirPods), 0);

    open_detail(kAirPods);
    press(OVK_POP_DETAIL, "Add to watchlist");
    ASSERT_TRUE(shown(OVK_POP_WATCH_ADD));
    const int choice = widget(OVK_POP_WATCH_ADD, ZQ_GUI_RADIOLIST);
    EXPECT_NE(zq_gui_label_get_text(g_.ctx, widget(OVK_POP_WATCH_ADD, ZQ_GUI_LABEL))
                  .find("randomized (private) address"),
              std::string::npos);
    zq_gui_radiolist_set_selected(g_.ctx, choice, 1);
    EXPECT_NE(zq_gui_radiolist_get_selected(g_.ctx, choice), 1) << "no prefix to choose";
    zq_gui_radiolist_set_selected(g_.ctx, choice, 0);
    g_.toast_until = 0;
    shot("watchadd_rpa");
    press(OVK_POP_WATCH_ADD, "Add");
    ASSERT_EQ(custom().size(), 1u);
    EXPECT_EQ(custom()[0].prefix, kAirPods);

    // From the list's menu the same: its address type goes with it.
    ovk_watch_add_show(&g_, kSpeaker, "", OVK_ADDR_PUBLIC);
    EXPECT_EQ(zq_gui_label_get_text(g_.ctx, widget(OVK_POP_WATCH_ADD, ZQ_GUI_LABEL)), "");
    zq_gui_radiolist_set_selected(g_.ctx, choice, 1);
    EXPECT_EQ(zq_gui_radiolist_get_selected(g_.ctx, choice), 1);
    press(OVK_POP_WATCH_ADD, "Cancel");
}

TEST_F(GuiWatchlist, TheScreenAddsValidatesAndRemovesRulesAndTogglesPresets) {
    ovk_watchlist_show(&g_);
    finish();
    ASSERT_TRUE(shown(OVK_POP_WATCHLIST));
    const size_t presets = ovk_watchlist_all().size();
    ASSERT_GT(presets, 10u) << "the global and Canada presets are on";
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), static_cast<int>(presets));
    EXPECT_EQ(zq_gui_label_get_text(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_LABEL))
                  .rfind(std::to_string(presets) + " entries (0 yours).", 0),
              0u);

    // Refused: nothing typed, a key that is neither an address nor text.
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    EXPECT_EQ(toast(), "Type an address, a name or a maker first");
    type_rule(0, "   ", "");
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    EXPECT_EQ(toast(), "Type an address, a name or a maker first");
    type_rule(0, "AA:BB", "Too short");
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    EXPECT_EQ(toast(),
              "Not a valid entry: use AA:BB:CC, AA:BB:CC:D, AA:BB:CC:DD:E, a full "
              "address, or some text");
    EXPECT_TRUE(custom().empty());

    // A name rule: tagged and trimmed, labelled by its key when no label is given.
    type_rule(1, "  Axon ", "");
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    EXPECT_EQ(toast(), "Added name:Axon to the watchlist");
    ASSERT_EQ(custom().size(), 1u);
    EXPECT_EQ(custom()[0].prefix, "name:Axon");
    EXPECT_EQ(custom()[0].label, "name:Axon");
    EXPECT_EQ(custom()[0].source, "user-added");
    EXPECT_EQ(custom()[0].category, -1);
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_TEXTAREA, 0)), "")
        << "the fields are emptied";
    // An address block written with dashes, under the drone category (the fifth title).
    type_rule(0, "60-60-1f-a", "DJI gear", 1 + OVK_CAT_DRONE);
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    ASSERT_EQ(custom().size(), 2u);
    EXPECT_EQ(custom()[1].prefix, "60:60:1F:A");
    EXPECT_EQ(custom()[1].category, OVK_CAT_DRONE);
    // The new rule is selected (and scrolled to, see the picture below).
    EXPECT_EQ(zq_gui_datagrid_get_selected(g_.ctx, grid()), row_of("60:60:1F:A"));
    // A maker rule.
    type_rule(2, "motorola", "Motorola gear");
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    ASSERT_EQ(custom().size(), 3u);
    EXPECT_EQ(custom()[2].prefix, "vendor:motorola");

    const auto all = ovk_watchlist_all();
    ASSERT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), static_cast<int>(all.size()));
    EXPECT_NE(
        zq_gui_label_get_text(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_LABEL)).find("(3 yours)"),
        std::string::npos);
    EXPECT_EQ(zq_gui_datagrid_get_selected(g_.ctx, grid()), row_of("vendor:motorola"));
    shot("watchlist_rules");

    // Removing: a selection is needed, and preset rows stay.
    zq_gui_datagrid_set_selected(g_.ctx, grid(), -1);
    press(OVK_POP_WATCHLIST, "Remove selected");
    EXPECT_EQ(toast(), "Select one of your entries first");
    zq_gui_datagrid_set_selected(g_.ctx, grid(), 0);
    ASSERT_FALSE(ovk_oui_is_custom(all[0]));
    press(OVK_POP_WATCHLIST, "Remove selected");
    EXPECT_EQ(toast(), "Built-in preset entries cannot be removed: turn their preset off instead");
    EXPECT_EQ(ovk_watchlist_all().size(), all.size());
    zq_gui_datagrid_set_selected(g_.ctx, grid(), row_of("60:60:1F:A"));
    press(OVK_POP_WATCHLIST, "Remove selected");
    EXPECT_EQ(toast(), "Removed 60:60:1F:A from the watchlist");
    EXPECT_EQ(custom().size(), 2u);
    EXPECT_EQ(row_of("60:60:1F:A"), -1);

    // The global preset off: its rows leave the grid, the preference is stored; yours stay.
    const int global = widget(OVK_POP_WATCHLIST, ZQ_GUI_CHECKBOX, 0);
    ASSERT_TRUE(zq_gui_checkbox_is_checked(g_.ctx, global));
    const size_t before = ovk_watchlist_all().size();
    const RECT box = rect(global);
    click_at(box.x + 4, box.y + box.h / 2);
    finish();
    EXPECT_FALSE(zq_gui_checkbox_is_checked(g_.ctx, global));
    EXPECT_EQ(ovk_prefs_get().preset_enabled[0], 0);
    const size_t after = ovk_watchlist_all().size();
    EXPECT_LT(after, before);
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), static_cast<int>(after));
    EXPECT_NE(row_of("name:Axon"), -1);
    // Turned off elsewhere (the settings): the open screen follows on its refresh.
    OVK_PREFS p = ovk_prefs_get();
    p.preset_enabled[1] = 0;
    ovk_gui_set_prefs(&g_, p);
    ovk_watchlist_load(std::nullopt);
    finish();
    EXPECT_FALSE(zq_gui_checkbox_is_checked(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_CHECKBOX, 1)));
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), 2);

    // On a narrow screen every control stays inside the window.
    g_.disp_w = 520;
    ovk_gui_rebuild(&g_);
    ASSERT_TRUE(shown(OVK_POP_WATCHLIST));
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), 2) << "filled again at once";
    float cw = 0, ch = 0;
    ovk_gui_popup_client(&g_, OVK_POP_WATCHLIST, &cw, &ch);
    for (int id : zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_WATCHLIST])->widgets) {
        const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g_.ctx, id);
        EXPECT_LE(w->x + w->w, cw) << "widget " << id << " of kind " << w->type;
    }
    shot("watchlist_narrow");
}

// Export on one machine, import on another: the file and the clipboard carry the rules.
TEST_F(GuiWatchlist, ExportThenImportIntoAFreshDataDirectory) {
    set_theme(OVK_THEME_PAPER);
    ovk_watchlist_show(&g_);
    finish();
    // None of your own yet: nothing to export, and no empty file.
    press(OVK_POP_WATCHLIST, "Export yours");
    EXPECT_EQ(toast(), "Nothing to export");
    type_rule(0, "00:25:DF:4A:19:C2", "Sergeant's camera");
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    type_rule(1, "Flock", "Plate camera [by name]");
    press(OVK_POP_WATCHLIST, "Add to watchlist");
    ASSERT_EQ(custom().size(), 2u);
    const auto exported = ovk_watchlist_export_custom();
    ASSERT_TRUE(exported.has_value());

    press(OVK_POP_WATCHLIST, "Export yours");
    const std::string dir = data_ + "/exports";
    std::string file;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind("orvik_watchlist_", 0) == 0) file = e->d_name;
        closedir(d);
    }
    ASSERT_FALSE(file.empty()) << "no export in " << dir;
    EXPECT_EQ(file.size(), std::string("orvik_watchlist_20261208_081022.json").size()) << file;
    EXPECT_EQ(ovk_test::read_file(dir + "/" + file), *exported);
    EXPECT_EQ(toast(), "Saved " + dir + "/" + file + " (also copied to the clipboard)");
    std::string clip;
    for (int i = 0; i < 20 && clip != *exported; ++i) clip = ovk_test::xclip_get().out;
    EXPECT_EQ(clip, *exported) << "another program reads the export from the clipboard";

    // Another data directory, no rules of its own; the export arrives through the clipboard.
    ovk_test::TempDir other;
    ovk_watchlist_unload();
    ovk_watchlist_load(other.path());
    ovk_watchlist_show(&g_);
    finish();
    ASSERT_TRUE(custom().empty());
    ASSERT_TRUE(ovk_test::xclip_set(clip));
    press(OVK_POP_WATCHLIST, "Import from clipboard");
    EXPECT_EQ(toast(), "Imported 2 entries");
    ASSERT_EQ(custom().size(), 2u);
    EXPECT_EQ(custom()[0].label, "Sergeant's camera");
    EXPECT_EQ(custom()[1].prefix, "name:Flock");
    EXPECT_EQ(custom()[1].label, "Plate camera [by name]");
    EXPECT_NE(row_of("name:Flock"), -1);
    zq_gui_datagrid_scroll_to_row(g_.ctx, grid(), zq_gui_datagrid_row_count(g_.ctx, grid()) - 1);
    shot("watchlist_imported_paper");
    const std::string saved = ovk_test::read_file(other.path() + "/watchlist_custom.json");
    EXPECT_EQ(ovk_watchlist_parse(saved)->size(), 2u);

    // A malformed export changes nothing; one entry is "entry".
    ASSERT_TRUE(ovk_test::xclip_set("[{\"prefix\": \"AA:BB:CC\", \"label\": \"cut off"));
    press(OVK_POP_WATCHLIST, "Import from clipboard");
    EXPECT_EQ(toast(), "The clipboard does not hold a watchlist export");
    EXPECT_EQ(custom().size(), 2u);
    EXPECT_EQ(ovk_test::read_file(other.path() + "/watchlist_custom.json"), saved);
    ASSERT_TRUE(ovk_test::xclip_set("[{\"prefix\": \"aa-bb-cc\", \"label\": \"Van\"}]"));
    press(OVK_POP_WATCHLIST, "Import from clipboard");
    EXPECT_EQ(toast(), "Imported 1 entry");
    EXPECT_NE(row_of("AA:BB:CC"), -1);
}

TEST_F(GuiWatchlist, WhitelistListsRemovesAndOpensDetails) {
    feed_demo(3);
    ovk_whitelist_show(&g_);
    finish();
    ASSERT_TRUE(shown(OVK_POP_WHITELIST));
    const int info = widget(OVK_POP_WHITELIST, ZQ_GUI_LABEL);
    EXPECT_EQ(zq_gui_label_get_text(g_.ctx, info).rfind("No trusted devices yet.", 0), 0u);
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, wl_grid()), 0);

    // Trusted from a device's details while the list is open: the list follows.
    open_detail(kSpeaker);
    press(OVK_POP_DETAIL, "Whitelist");
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));  // the change is made off the interface thread
    ovk_gui_close_popup(&g_, OVK_POP_DETAIL);
    ASSERT_EQ(ovk_store_whitelist_add(kPhone, "Pixel 9"), 0);
    finish();
    ASSERT_EQ(zq_gui_datagrid_row_count(g_.ctx, wl_grid()), 2);
    EXPECT_EQ(zq_gui_label_get_text(g_.ctx, info).rfind("Whitelisted devices are never flagged", 0),
              0u);
    shot("whitelist");

    // Details of the selected row, over the list.
    press(OVK_POP_WHITELIST, "Details");
    EXPECT_FALSE(shown(OVK_POP_DETAIL)) << "nothing selected, nothing opens";
    zq_gui_datagrid_set_selected(g_.ctx, wl_grid(), 1);
    press(OVK_POP_WHITELIST, "Details");
    EXPECT_TRUE(shown(OVK_POP_DETAIL));
    EXPECT_EQ(g_.sel_mac, kPhone);
    EXPECT_EQ(zq_gui_get_topmost_open_window(g_.ctx), g_.popup[OVK_POP_DETAIL]);
    ovk_gui_close_popup(&g_, OVK_POP_DETAIL);

    press(OVK_POP_WHITELIST, "Remove selected");
    EXPECT_EQ(toast(), std::string(kPhone) + " removed from the whitelist")
        << "the wording of un-whitelisting from a device's details";
    EXPECT_EQ(ovk_store_is_whitelisted(kPhone), 0);
    ASSERT_EQ(zq_gui_datagrid_row_count(g_.ctx, wl_grid()), 1);
    zq_gui_datagrid_set_selected(g_.ctx, wl_grid(), -1);
    press(OVK_POP_WHITELIST, "Remove selected");
    EXPECT_EQ(toast(), "Select a device first");
    EXPECT_EQ(ovk_store_is_whitelisted(kSpeaker), 1);
    // The note was the device's name.
    EXPECT_EQ(ovk_store_whitelist_all()[0].note, "JBL Flip 6");
}

// Opened while the engine is busy (a long export, a slow disk), the watchlist, the whitelist
// and the fleet say they are reading, and their buttons wait: before, the fleet said "No
// fleet" and the three answered "Select ... first" for lists that were not read.
TEST_F(GuiWatchlist, ItsScreensAndTheFleetSayTheyAreReadingUntilTheirListsArrive) {
    set_theme(OVK_THEME_PAPER);
    listen(true);
    ASSERT_EQ(ovk_store_whitelist_add(kPhone, "Pixel 9"), 0);
    ovk_test::PortHold held(&g_);
    ASSERT_TRUE(pump([&] { return held.started(); }));
    const auto text = [&](int popup) { return unwrapped(widget(popup, ZQ_GUI_LABEL)); };
    struct SCREEN {
        int popup;
        void (*show)(OVK_GUI*);
        const char* button;
    };
    for (const SCREEN& s : {SCREEN{OVK_POP_WHITELIST, ovk_whitelist_show, "Remove selected"},
                            SCREEN{OVK_POP_WATCHLIST, ovk_watchlist_show, "Remove selected"},
                            SCREEN{OVK_POP_FLEET, ovk_fleet_show, "Show on map"}}) {
        s.show(&g_);
        ASSERT_TRUE(pump([&] { return shown(s.popup); }));
        for (int i = 0; i < 3; ++i) tick();
        EXPECT_EQ(text(s.popup), "Reading...") << s.popup;
        EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, widget(s.popup, ZQ_GUI_DATAGRID)), 0);
        x_click(button_in(g_.popup[s.popup], s.button));
        for (int i = 0; i < 5; ++i) tick();
        EXPECT_EQ(toast(), "") << s.popup << ": a button answered for a list not read";
    }
    shot("fleet_reading_paper");
    ASSERT_TRUE(held.started());

    held.release();
    ASSERT_TRUE(pump([&] { return text(OVK_POP_FLEET) != "Reading..."; }));
    EXPECT_EQ(text(OVK_POP_FLEET),
              "No fleet: start with --fleet mqtt://HOST/PREFIX or set the fleet broker in "
              "Settings");
    ASSERT_TRUE(pump([&] {
        return text(OVK_POP_WHITELIST).rfind("Whitelisted devices are never flagged", 0) == 0 &&
               text(OVK_POP_WATCHLIST).find(" entries (0 yours).") != std::string::npos;
    })) << text(OVK_POP_WHITELIST)
        << "\n"
        << text(OVK_POP_WATCHLIST);
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, wl_grid()), 1);
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()),
              static_cast<int>(ovk_watchlist_all().size()));
    listen(false);
}

// A slow disk: every write of the rules and of the whitelist is held until the test lets it
// go. Meanwhile the interface keeps ticking and refreshing (a tick that waited on the engine
// would hold the write past its limit), the screens show the change only once it is made,
// and the files are written by the engine port's worker.
TEST_F(GuiWatchlist, OnASlowDiskEditsShowOnceMadeAndTheInterfaceNeverWaits) {
    ASSERT_EQ(ovk_store_whitelist_add(kPhone, "Pixel 9"), 0);
    ovk_watchlist_show(&g_);
    finish();
    const int rows = zq_gui_datagrid_row_count(g_.ctx, grid());
    ovk_test::HeldWrites writes;
    const auto refreshes = [&] {
        for (int i = 0; i < 5; ++i) {
            g_.last_refresh_s = -10;  // the half-second refresh is due
            ovk_gui_update(&g_);
        }
    };

    // A rule added while the disk is slow: the fields empty at once, the rule shows with its
    // message once it is written, selected.
    type_rule(1, "Axon", "Body cameras");
    click(button_in(g_.popup[OVK_POP_WATCHLIST], "Add to watchlist"));
    ASSERT_TRUE(writes.begun(1));
    refreshes();
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, widget(OVK_POP_WATCHLIST, ZQ_GUI_TEXTAREA, 0)), "");
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), rows) << "shown before it is made";
    EXPECT_NE(toast(), "Added name:Axon to the watchlist");
    writes.release();
    EXPECT_TRUE(said("Added name:Axon to the watchlist"));
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == rows + 1; }));
    const int row = row_of("name:Axon");
    ASSERT_GE(row, 0);
    EXPECT_EQ(cell(grid(), row, 1), "Body cameras");
    EXPECT_EQ(zq_gui_datagrid_get_selected(g_.ctx, grid()), row);

    // Its removal likewise.
    writes.hold();
    click(button_in(g_.popup[OVK_POP_WATCHLIST], "Remove selected"));
    ASSERT_TRUE(writes.begun(2));
    refreshes();
    EXPECT_EQ(cell(grid(), row, 0), "name:Axon") << "the screen shows it until it is removed";
    writes.release();
    EXPECT_TRUE(said("Removed name:Axon from the watchlist"));
    EXPECT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == rows; }));
    ovk_gui_close_popup(&g_, OVK_POP_WATCHLIST);

    // A trusted device let go from the whitelist screen, in the words the device's details use.
    ovk_whitelist_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, wl_grid()) == 1; }));
    zq_gui_datagrid_set_selected(g_.ctx, wl_grid(), 0);
    writes.hold();
    click(button_in(g_.popup[OVK_POP_WHITELIST], "Remove selected"));
    ASSERT_TRUE(writes.begun(3));
    refreshes();
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, wl_grid()), 1);
    writes.release();
    EXPECT_TRUE(said(std::string(kPhone) + " removed from the whitelist"));
    EXPECT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, wl_grid()) == 0; }));
    EXPECT_EQ(ovk_store_is_whitelisted(kPhone), 0);

    EXPECT_FALSE(writes.timed_out()) << "the interface thread waited on a held write";
    EXPECT_EQ(writes.written_by(std::this_thread::get_id()), 0u)
        << "a file written by the interface thread";
}

// As a person: the plate camera's details, "Add to watchlist", a label typed on the keyboard,
// "Add"; the watchlist then lists it and the camera's verdict carries the label.
TEST_F(GuiWatchlist, APersonWatchesADeviceUnderTheirOwnLabel) {
    feed_demo(3);
    open_detail(kPhone);
    listen(true);
    ASSERT_FALSE(x_window().empty());
    pump([] { return false; }, 0.3);
    x_click(button_in(g_.popup[OVK_POP_DETAIL], "Add to watchlist"));
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_WATCH_ADD); }));
    const int label = widget(OVK_POP_WATCH_ADD, ZQ_GUI_TEXTAREA);
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, label), "Pixel 9") << "suggested: its name";
    x_click(label);
    ovk_test::x_run("xdotool key --delay 20 ctrl+a BackSpace");
    ovk_test::x_run("xdotool type --delay 20 'Van 7 | north lot'");
    ASSERT_TRUE(pump([&] {
        return zq_gui_textarea_get_text(g_.ctx, label) == "Van 7 | north lot";
    })) << zq_gui_textarea_get_text(g_.ctx, label);
    shot("watchadd_typed");
    x_click(button_in(g_.popup[OVK_POP_WATCH_ADD], "Add"));
    ASSERT_TRUE(pump([&] { return !shown(OVK_POP_WATCH_ADD); }));
    EXPECT_TRUE(said(std::string("Added ") + kPhone + " to the watchlist"));
    EXPECT_TRUE(
        pump([&] { return button_in(g_.popup[OVK_POP_DETAIL], "Remove from watchlist") >= 0; }));
    listen(false);

    ovk_watchlist_show(&g_);
    finish();
    const int row = row_of(kPhone);
    ASSERT_GE(row, 0);
    EXPECT_EQ(ovk_watchlist_all()[row].label, "Van 7 | north lot");
    zq_gui_datagrid_scroll_to_row(g_.ctx, grid(), row);
    shot("watchlist_yours");
    ovk_gui_close_popup(&g_, OVK_POP_WATCHLIST);

    // Heard again: flagged as the user's own, the label shown in code style so that its
    // bar does not break the document.
    submit(demo_advert(kPhone, ovk_now_ms() + 3000, 3));
    open_detail(kPhone);
    const std::string d =
        zq_gui_markdownview_get_text(g_.ctx, widget(OVK_POP_DETAIL, ZQ_GUI_MARKDOWNVIEW));
    EXPECT_NE(d.find("- **`Van 7 | north lot`:** Your watchlist - strong (100%)\n"),
              std::string::npos)
        << d;
    EXPECT_NE(d.find("- **Source:** Your watchlist\n"), std::string::npos);
    shot("detail_watched");
}

}  // namespace
