// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The settings screen in the real frame on a private X server: what Save makes of typed
// fields, when the watchlist is read again, every control reachable and uncut at every
// interface size, edits kept across a rebuild, the confirmed clean-ups of stored data, and a
// person changing the alert threshold and the look, saving, and finding both after a restart.
#include "ovk_app_util.h"
#include "ovk_gui_port.h"
#include "ovk_gui_settings.h"
#include "ovk_test_gui.h"
#include "ovk_test_held_writes.h"

namespace {

using ovk_test::GuiScreenTest;
constexpr int kSet = OVK_POP_SETTINGS;

class GuiSettings : public GuiScreenTest {
  protected:
    void open() {
        ovk_settings_show(&g_);
        tick();  // a screen built from older preferences is rebuilt on the tick
        ASSERT_TRUE(shown(kSet));
    }
    int field(const std::string& placeholder) {
        return find(g_.popup[kSet], [&](ZQ_GUI_WIDGET& w) {
            auto* t = zq_gui_data<ZQ_GUI_TEXT_DATA>(&w);
            return t && t->placeholder == placeholder;
        });
    }
    void save() {
        const int b = button_in(g_.popup[kSet], "Save");
        ASSERT_GE(b, 0);
        click(b);
    }
};

TEST_F(GuiSettings, SaveTurnsTypedFieldsIntoValuesThatWork) {
    init();
    struct CASE {
        const char *port, *host, *hci, *tiles;
        int want_port;
        const char* want_host;
        int want_hci;
        const char* want_tiles;
    };
    const char* const osm = OVK_TILE_SERVER_DEFAULT;
    const CASE cases[] = {
        {"0", "", "", "", 2947, "127.0.0.1", -1, osm},
        {"65536", "  gps.lan ", "hci1", " http://tiles.lan:8080 ", 2947, "gps.lan", 1,
         "http://tiles.lan:8080"},
        {"29x7", "10.0.0.2", "first", "  ", 2947, "10.0.0.2", -1, osm},
        {"8888", "10.0.0.2", " 2", "https://a.tile.example/osm", 8888, "10.0.0.2", 2,
         "https://a.tile.example/osm"},
    };
    for (const CASE& c : cases) {
        open();
        type(field("2947"), c.port);
        type(field("127.0.0.1"), c.host);
        type(field("auto (first adapter that is up)"), c.hci);
        type(field("all wireless interfaces"), std::string(40, 'w'));
        type(field(osm), c.tiles);
        save();
        EXPECT_FALSE(shown(kSet));
        ASSERT_TRUE(ovk_port_settle(&g_, 5000));  // written
        EXPECT_EQ(toast(), "Settings saved");
        const OVK_PREFS p = ovk_prefs_get();
        EXPECT_EQ(p.gpsd_port, c.want_port) << c.port;
        EXPECT_EQ(p.gpsd_host, c.want_host) << c.host;
        EXPECT_EQ(p.hci_dev, c.want_hci) << c.hci;
        EXPECT_EQ(p.wifi_iface, std::string(31, 'w'));
        EXPECT_EQ(p.tile_server, c.want_tiles) << c.tiles;
    }
    // What a restart reads.
    ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
    EXPECT_EQ(ovk_prefs_get().tile_server, "https://a.tile.example/osm");
    EXPECT_EQ(ovk_prefs_get().gpsd_port, 8888);
    EXPECT_EQ(ovk_prefs_get().hci_dev, 2);

    // A --demo run shows Demo ticked without storing it; unticked, this run's demo ends too.
    ovk_scan_set_demo_override(1);
    open();
    const int demo = checkbox(g_.popup[kSet], "Demo mode (made-up devices, no radios)");
    EXPECT_TRUE(zq_gui_checkbox_is_checked(g_.ctx, demo));
    save();
    EXPECT_EQ(ovk_prefs_get().demo_mode, 0) << "an untouched box stores nothing";
    EXPECT_EQ(ovk_scan_demo_override(), 1);
    open();
    click(checkbox(g_.popup[kSet], "Demo mode (made-up devices, no radios)"));
    save();
    EXPECT_EQ(ovk_prefs_get().demo_mode, 0);
    EXPECT_EQ(ovk_scan_demo_override(), 0);

    // A settings file that cannot be written is not reported as saved.
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));  // the saves above are written
    std::remove(dir_.file("settings.json").c_str());
    ASSERT_EQ(ovk_mkdirs(dir_.file("settings.json")), 0);
    open();
    save();
    EXPECT_TRUE(said("Settings could not be saved to disk"));
    EXPECT_NE(toast(), "Settings saved");
}

// The fleet's broker typed in is what the next start joins; an address the link could not use
// is refused with the reason, nothing of that Save is stored and the edits stay on screen.
TEST_F(GuiSettings, FleetBrokerIsSavedAndABadOneRefused) {
    init();
    open();
    type(field("mqtt://HOST/PREFIX"), "  mqtts://broker.lan:8883/orvik/fleet ");
    type(field("none"), "central");
    type(field("the system's certificates"), "/etc/orvik/ca.pem");
    save();
    EXPECT_FALSE(shown(kSet));
    EXPECT_TRUE(said("Settings saved"));
    ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
    EXPECT_EQ(ovk_prefs_get().fleet_url, "mqtts://broker.lan:8883/orvik/fleet");
    EXPECT_EQ(ovk_prefs_get().fleet_group, "central");
    EXPECT_EQ(ovk_prefs_get().mqtt_ca_file, "/etc/orvik/ca.pem");

    struct CASE {
        const char *url, *group, *said;
    };
    const CASE bad[] = {
        {"http://broker.lan/orvik", "central",
         "Settings not saved - fleet broker: not an mqtt:// or mqtts:// address"},
        {"mqtt://broker.lan", "central",
         "Settings not saved - fleet broker: no topic prefix "
         "after the host"},
        {"mqtt://broker.lan/orvik", "north/south",
         "Settings not saved - fleet group: no /, + or # in a group name"},
    };
    for (const CASE& c : bad) {
        open();
        type(field("mqtt://HOST/PREFIX"), c.url);
        const int group = field("none");
        type(group, c.group);
        click(by_tip(g_.popup[kSet], "Begin scanning without pressing Start"));
        save();
        EXPECT_TRUE(shown(kSet)) << c.url;
        EXPECT_EQ(toast(), c.said);
        EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, group), std::string(c.group));
        ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
        EXPECT_EQ(ovk_prefs_get().fleet_url, "mqtts://broker.lan:8883/orvik/fleet") << c.url;
        EXPECT_EQ(ovk_prefs_get().fleet_group, "central");
        EXPECT_EQ(ovk_prefs_get().auto_start, 0) << "nothing of a refused Save is stored";
        if (&c == bad) {
            reveal(group);
            shot("settings_fleet_refused_dark");
        }
        ovk_gui_close_popup(&g_, kSet);
    }
    // The same in a light look.
    OVK_PREFS light = ovk_prefs_get();
    light.theme = OVK_THEME_PAPER;
    ovk_gui_set_prefs(&g_, light, false);
    tick();
    open();
    type(field("mqtt://HOST/PREFIX"), bad[0].url);
    save();
    EXPECT_EQ(toast(), bad[0].said);
    reveal(field("none"));
    shot("settings_fleet_refused_light");
    ovk_gui_close_popup(&g_, kSet);
    // Emptied, the fleet is off.
    open();
    type(field("mqtt://HOST/PREFIX"), "");
    save();
    EXPECT_TRUE(said("Settings saved"));
    ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
    EXPECT_EQ(ovk_prefs_get().fleet_url, "");
}

TEST_F(GuiSettings, OnlyAChangedPresetReadsTheWatchlistAgain) {
    init();
    // A rule that reaches the watchlist only when it reads its files again.
    OVK_OUI_ENTRY probe;
    probe.prefix = "name:probe";
    probe.label = "Probe";
    ovk_test::write_file(dir_.file("watchlist_custom.json"),
                         *ovk_watchlist_text(std::vector<OVK_OUI_ENTRY>{probe}));
    const size_t rules = ovk_watchlist_all().size();

    open();
    click(by_tip(g_.popup[kSet], "Weaker matches are only highlighted in the list"), 2);
    save();
    EXPECT_EQ(ovk_prefs_get().alert_threshold, 80);
    ASSERT_TRUE(ovk_port_settle(&g_, 10000));  // the port's worker reads the files, if at all
    EXPECT_TRUE(ovk_watchlist_custom().empty()) << "the threshold alone reads nothing";

    open();
    const int us = checkbox(g_.popup[kSet], "United States");
    ASSERT_GE(us, 0);
    click(us);
    save();
    EXPECT_EQ(ovk_prefs_get().preset_enabled[2], 1);
    ASSERT_TRUE(ovk_port_settle(&g_, 10000));
    ASSERT_EQ(ovk_watchlist_custom().size(), 1u);
    EXPECT_GT(ovk_watchlist_all().size(), rules + 1) << "the US preset's rules came in";
}

// Every control, scrolled to by the wheel alone, shows whole and uncut: at each interface
// size on the usual window, and in a narrow one.
TEST_F(GuiSettings, EveryControlIsReachableByWheelAndUncutAtEverySize) {
    // Size -1: a touch screen (bigger rows, the phone's own controls).
    const std::pair<float, int> layouts[] = {{kW, 0}, {kW, 1},  {kW, 2},
                                             {kW, 3}, {480, 1}, {480, -1}};
    for (auto [width, size] : layouts) {
        SCOPED_TRACE("width " + std::to_string(width) + ", size " + std::to_string(size));
        const std::string name = size < 0     ? "settings_touch"
                                 : width < kW ? "settings_narrow"
                                              : "settings";
        if (size < 0) setenv("OVK_TOUCH", "1", 1);
        size = std::max(size, 1);
        OVK_PREFS p = ovk_prefs_get();
        p.ui_size = size;
        p.retention_days = 0;
        ovk_prefs_set(p);
        init(width, kH);
        open();
        const int win = g_.popup[kSet];
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win);
        float cx, cy, cw, ch;
        zq_gui_window_client_rect(g_.ctx, win, &cx, &cy, &cw, &ch);
        ASSERT_GT(w->content_h, ch) << "the screen is long enough to scroll";
        if (size == 1) shot(name + "_top", static_cast<int>(width));

        std::set<int> seen;
        float last = -1;
        for (int turn = 0; turn < 400 && w->scroll_y != last; ++turn) {
            last = w->scroll_y;
            for (int id : w->widgets) {
                const ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id);
                if (wd->y >= w->scroll_y && wd->y + wd->h <= w->scroll_y + ch) seen.insert(id);
            }
            if (size == 1 && width == kW && (turn == 15 || turn == 30))
                shot("settings_part" + std::to_string(turn / 15));
            mouse(ALLEGRO_EVENT_MOUSE_AXES, cx + cw / 2, cy + ch / 2);
            mouse(ALLEGRO_EVENT_MOUSE_AXES, cx + cw / 2, cy + ch / 2, 0, -1);
        }
        EXPECT_FLOAT_EQ(w->scroll_y, w->content_h - ch) << "the wheel reaches the end";

        const float lpad = zq_gui_style(g_.ctx)->label_padding;
        for (int id : w->widgets) {
            ZQ_GUI_WIDGET* wd = zq_gui_get_widget(g_.ctx, id);
            EXPECT_TRUE(seen.count(id)) << "never whole on screen: widget " << id;
            EXPECT_GE(wd->x, 0);
            EXPECT_LE(wd->x + wd->w, cw) << id;
            const ALLEGRO_FONT* f = wd->font ? wd->font : g_.font;
            auto fits = [&](const std::string& t, float room) {
                EXPECT_LE(al_get_text_width(f, t.c_str()), room) << "cut: " << t;
            };
            if (auto* c = zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(wd))
                fits(c->label, wd->w - std::min(wd->h, 24 * g_.scale) - 8);
            if (auto* r = zq_gui_data<ZQ_GUI_RADIO_DATA>(wd))
                for (const std::string& it : r->items) fits(it, wd->w - 30);
            if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd))
                for (const std::string& it : c->items) fits(it, wd->w - 36);
            if (wd->type == ZQ_GUI_BUTTON) fits(zq_gui_button_get_label(g_.ctx, id), wd->w - 8);
            if (auto* l = zq_gui_data<ZQ_GUI_LABEL_DATA>(wd)) {
                std::istringstream lines(l->text);
                int n = 0;
                for (std::string line; std::getline(lines, line); ++n) fits(line, wd->w - 2 * lpad);
                EXPECT_LE(n * al_get_font_line_height(f), wd->h + 0.5f) << l->text;
            }
        }
        EXPECT_GE(find(g_.popup[kSet],
                       [&](ZQ_GUI_WIDGET& x) {
                           return x.type == ZQ_GUI_LABEL &&
                                  zq_gui_label_get_text(g_.ctx, x.id) ==
                                      "Keep match log and device history: forever";
                       }),
                  0);
        if (size == 1) shot(name + "_end", static_cast<int>(width));
    }
}

// A resize (or a new look) rebuilds everything; settings come back open where they were,
// with the edits not yet saved. Closed without Save, the edits are gone.
TEST_F(GuiSettings, ARebuildKeepsItOpenScrolledAndEditedUntilClosed) {
    init();
    open();
    const int win = g_.popup[kSet];
    zq_gui_window_set_scroll(g_.ctx, win, 600);
    click(checkbox(g_.popup[kSet], "Mute all alert sound"));
    tick();
    const float scrolled = zq_gui_get_window(g_.ctx, win)->scroll_y;

    g_.disp_w = 1000;
    g_.rebuild_pending = true;
    tick();
    ASSERT_TRUE(shown(kSet));
    EXPECT_NEAR(zq_gui_get_window(g_.ctx, g_.popup[kSet])->scroll_y, scrolled, 1);
    EXPECT_TRUE(
        zq_gui_checkbox_is_checked(g_.ctx, checkbox(g_.popup[kSet], "Mute all alert sound")));
    EXPECT_EQ(ovk_prefs_get().alerts_muted, 0) << "not saved yet";

    key(ALLEGRO_KEY_ESCAPE);
    ASSERT_FALSE(shown(kSet));
    open();
    EXPECT_FALSE(
        zq_gui_checkbox_is_checked(g_.ctx, checkbox(g_.popup[kSet], "Mute all alert sound")));
    EXPECT_FLOAT_EQ(zq_gui_get_window(g_.ctx, g_.popup[kSet])->scroll_y, 0);
}

TEST_F(GuiSettings, ClearingAndForgettingAskFirstThenEmptyTheStore) {
    for (int i = 0; i < 3; ++i) {
        OVK_DETECTION d;
        d.mac = "00:25:DF:00:00:0" + std::to_string(i);
        d.label = "Axon body camera";
        d.timestamp = ovk_now_ms();
        ASSERT_EQ(ovk_store_add_detection(d), 0);
    }
    std::vector<OVK_KNOWN> known(2);
    known[0].mac = "AA:00:00:00:00:01";
    known[1].mac = "AA:00:00:00:00:02";
    known[1].favorite = 1;
    ASSERT_EQ(ovk_store_known_upsert(known), 0);
    init();
    open();

    const int clear = button_in(g_.popup[kSet], "Clear match history");
    click(clear);
    ASSERT_TRUE(shown(OVK_POP_CONFIRM));
    EXPECT_EQ(g_.confirm_text, "Delete every logged match? This cannot be undone.");
    click(button_in(g_.popup[OVK_POP_CONFIRM], "Cancel"));
    EXPECT_EQ(ovk_store_detection_count(), 3);
    click(clear);
    click(button_in(g_.popup[OVK_POP_CONFIRM], "Yes"));
    // Cleared by the engine port: done once its message shows.
    EXPECT_TRUE(pump([&] { return toast() == "Match history cleared"; })) << toast();
    EXPECT_EQ(ovk_store_detection_count(), 0);
    EXPECT_EQ(ovk_test::read_file(dir_.file("detections.jsonl")), "") << "gone from the file too";

    click(button_in(g_.popup[kSet], "Forget device history (keeps favorites)"));
    EXPECT_EQ(
        g_.confirm_text,
        "Forget the history of every device (first/last seen, sessions)? Favorites are kept.");
    click(button_in(g_.popup[OVK_POP_CONFIRM], "Yes"));
    EXPECT_TRUE(pump([&] { return toast() == "Device history forgotten (favorites kept)"; }))
        << toast();
    EXPECT_EQ(ovk_store_known_count(), 1);
    EXPECT_TRUE(ovk_store_is_favorite("AA:00:00:00:00:02"));
}

// On a slow disk a Save takes effect at once and the window goes on while the file is
// written off the interface thread; "Settings saved" comes once it is written (the file used
// to be written, and synced, on the interface thread).
TEST_F(GuiSettings, OnASlowDiskASaveTakesEffectAtOnceAndIsWrittenOffTheInterface) {
    init();
    open();
    ovk_test::HeldWrites writes;
    type(field("2947"), "8888");
    save();
    ASSERT_TRUE(writes.begun(1));
    EXPECT_EQ(ovk_prefs_get().gpsd_port, 8888);
    EXPECT_EQ(g_.prefs.gpsd_port, 8888);
    for (int i = 0; i < 5; ++i) {
        tick();
        EXPECT_NE(toast(), "Settings saved") << "said before it was written";
    }
    writes.release();
    EXPECT_TRUE(said("Settings saved"));
    EXPECT_FALSE(writes.timed_out()) << "the interface thread waited on the write";
    EXPECT_EQ(writes.written_by(std::this_thread::get_id()), 0u);
    ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
    EXPECT_EQ(ovk_prefs_get().gpsd_port, 8888);
}

// As a person: real clicks and keys on the X server.
TEST_F(GuiSettings, ThresholdAndLookSavedAreThereAfterARestart) {
    init();
    ASSERT_FALSE(x_window().empty());
    listen(true);
    ovk_settings_show(&g_);
    ASSERT_TRUE(pump([&] { return shown(kSet); }));
    shot("settings_dark");

    const int threshold = by_tip(g_.popup[kSet], "Weaker matches are only highlighted in the list");
    x_click(threshold, 2);
    ASSERT_TRUE(pump([&] { return zq_gui_radiolist_get_selected(g_.ctx, threshold) == 2; }));
    const int look =
        by_tip(g_.popup[kSet], "Look of the app; styled themes have their own animated header");
    x_click(look);
    ASSERT_TRUE(pump([&] { return zq_gui_menu_is_open(g_.ctx) != 0; }));
    ovk_test::x_run("xdotool key End Return");
    ASSERT_TRUE(
        pump([&] { return zq_gui_combobox_get_selected(g_.ctx, look) == OVK_THEME_PAPER; }));
    x_click(button_in(g_.popup[kSet], "Save"));
    ASSERT_TRUE(pump([&] { return g_.pal.header == OVK_HEADER_MASTHEAD; }));
    EXPECT_TRUE(said("Settings saved"));
    // The new look shows on the settings themselves, with what was saved.
    ASSERT_TRUE(shown(kSet));
    const auto saved = [&] {
        EXPECT_EQ(
            zq_gui_combobox_get_selected(
                g_.ctx, by_tip(g_.popup[kSet],
                               "Look of the app; styled themes have their own animated header")),
            OVK_THEME_PAPER);
        EXPECT_EQ(
            zq_gui_radiolist_get_selected(
                g_.ctx, by_tip(g_.popup[kSet], "Weaker matches are only highlighted in the list")),
            2);
    };
    saved();
    listen(false);

    // A new run: preferences read from the file, the interface built afresh.
    ovk_gui_shutdown(&g_);
    inited_ = false;
    ASSERT_EQ(ovk_prefs_load(dir_.path()), 0);
    init();
    EXPECT_EQ(g_.pal.header, OVK_HEADER_MASTHEAD);
    open();
    saved();
    shot("settings_light");
}

}  // namespace
