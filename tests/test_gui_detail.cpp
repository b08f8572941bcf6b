// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The device detail screen over a running engine: the evidence document of a drone, a tracker
// and a phone, the head's badge, the refresh that keeps the reader's place, locate mode, and
// the actions as a person uses them (real clicks, the clipboard read by another program).
// With OVK_SHOT_DIR set, the screens are kept there as PNG files to look at.
#include <any>
#include <thread>

#include "ovk_gui_detail.h"
#include "ovk_gui_map.h"
#include "ovk_gui_port.h"
#include "ovk_store.h"
#include "ovk_test_gui.h"
#include "ovk_test_held_writes.h"
#include "rid_builder.h"

namespace {

using ovk_test::GuiScreens;

const char* kDrone = "60:60:1F:A2:44:18";
const char* kAirTag = "7A:31:C4:0B:9E:22";
const char* kPhone = "6E:0A:77:12:C3:95";
const char* kFlock = "B4:1E:52:3C:88:10";  // a plate camera, named "Flock-3C8810"

class GuiDetail : public GuiScreens {
  protected:
    int view() { return widget_in(g_.popup[OVK_POP_DETAIL], ZQ_GUI_MARKDOWNVIEW); }
    int head() { return widget_in(g_.popup[OVK_POP_DETAIL], ZQ_GUI_CUSTOM); }
    std::string doc() { return zq_gui_markdownview_get_text(g_.ctx, view()); }
    float scroll() { return zq_gui_markdownview_get_scroll(g_.ctx, view()); }
    // How many pixels of the badge's strip at the top of the head have the colour, on a fresh
    // frame.
    int badge_pixels(uint32_t colour) {
        draw();
        ovk_gui_draw(&g_);
        float x = 0, y = 0, w = 0, h = 0;
        zq_gui_widget_screen_rect(g_.ctx, head(), &x, &y, &w, &h);
        const int bh = static_cast<int>(ovk_badge_h(&g_, g_.font_small));
        int n = 0;
        for (int py = static_cast<int>(y); py < y + bh; ++py)
            for (int px = static_cast<int>(x); px < x + 200; ++px) n += pixel(px, py) == colour;
        return n;
    }
    // Clicks Copy report and returns what another program then reads from the clipboard.
    std::string copy_report() {
        x_click(button_in(g_.popup[OVK_POP_DETAIL], "Copy report"));
        EXPECT_TRUE(said("Copied to clipboard"));
        std::string got;
        for (int i = 0; i < 20 && got.rfind("Orvik", 0) != 0; ++i) {
            got = ovk_test::xclip_get().out;
            pump([] { return false; }, 0.05);
        }
        return got;
    }
    // The drone also claims a speed of 214 m/s.
    void spoof_drone() {
        using namespace ovk_test;
        submit(rid_advert(kDrone,
                          {rid_basic_id(1, "1581F5FJDEMO00042"),
                           rid_location(kDemoLat + 0.0003, kDemoLon, 200, true)},
                          ovk_now_ms()));
    }
};

// Where `what` starts in `text`, or npos.
size_t at(const std::string& text, const std::string& what) {
    return text.find(what);
}

TEST_F(GuiDetail, EveryPieceOfEvidenceInItsSection) {
    feed_demo(20);
    spoof_drone();
    for (OVK_THEME_ID t : {OVK_THEME_SYSTEM, OVK_THEME_PAPER}) {
        set_theme(t);
        const std::string th = std::to_string(t);

        // A drone with Remote ID whose broadcast contradicts itself.
        open_detail(kDrone);
        ASSERT_TRUE(shown(OVK_POP_DETAIL));
        // The matches come from the log through the engine port, a tick or two later.
        ASSERT_TRUE(pump([&] { return doc().find("- **Logged matches:** ") != std::string::npos; }))
            << doc();
        std::string d = doc();
        const size_t why = at(d, "## Why it's flagged\n\n"), ident = at(d, "## Identity\n\n"),
                     rid = at(d, "## Drone Remote ID (ASTM F3411)\n\n"),
                     hist = at(d, "## History\n\n"), raw = at(d, "## Raw advertisement\n\n");
        ASSERT_EQ(why, 0u) << d;
        EXPECT_TRUE(why < ident && ident < rid && rid < hist && hist < raw) << d;
        // The doubts lead the Remote ID section, one line each, and are not repeated as
        // identity facts.
        EXPECT_EQ(d.find("- **Possible spoofed Remote ID:** "),
                  rid + std::strlen("## Drone Remote ID (ASTM F3411)\n\n"))
            << d;
        EXPECT_NE(d.find("- **Possible spoofed Remote ID:** reported speed 213.75 m/s (770 km/h), "
                         "above 100 m/s\n"),
                  std::string::npos);
        EXPECT_EQ(d.substr(ident, rid - ident).find("spoofed"), std::string::npos);
        for (const char* l :
             {"- **UAS ID:** 1581F5FJDEMO00042\n",
              "- **ID type:** Serial number (ANSI/CTA-2063-A)\n",
              "- **Ground speed:** 213.8 m/s (770 km/h)\n", "- **Operator ID:** DEMO-OP-0001\n",
              "- **Address registrant (IEEE):** SZ DJI TECHNOLOGY CO.,LTD\n",
              "- **Trackability:** Trackable - this address never changes\n",
              "- **Radio:** Bluetooth LE\n", "- **Logged matches:** 1\n",
              "- **Service data 0xFFFA - ASTM Remote ID:** 0D 01 F2 19 "})
            EXPECT_NE(d.find(l), std::string::npos) << l << "\n" << d;
        // Its Remote ID verdict, lowered by the doubt, gives the badge its colour.
        EXPECT_NE(d.find("- **Drone broadcasting Remote ID:** Drone (Remote ID / drone maker) - "
                         "probable (60%)\n"),
                  std::string::npos)
            << d;
        EXPECT_GT(badge_pixels(ovk_cat_color(OVK_CAT_DRONE)), 300);
        g_.toast_until = 0;
        shot("detail_drone_" + th);
        zq_gui_markdownview_scroll_to(g_.ctx, view(), 420);
        shot("detail_drone_rid_" + th);

        // A tracker: its verdict and facts, no Remote ID; a weak verdict's badge would be
        // amber, a probable one has its category's colour.
        open_detail(kAirTag);
        d = doc();
        EXPECT_NE(d.find("- **Apple Find My tracker away from its owner (AirTag or compatible):** "
                         "Item tracker away from its owner - probable (70%)\n"),
                  std::string::npos)
            << d;
        EXPECT_NE(d.find("- **Find My state:** Separated from owner\n"), std::string::npos);
        EXPECT_NE(d.find("- **Trackability:** Rotates - not trackable\n"), std::string::npos);
        EXPECT_EQ(d.find("## Drone Remote ID"), std::string::npos);
        EXPECT_GT(badge_pixels(ovk_cat_color(OVK_CAT_TRACKER)), 300);
        g_.locate = true;  // the head's fullest case: a two-line title and locate mode
        detail_now();
        shot("detail_tracker_" + th);
        g_.locate = false;

        // An ordinary phone: not flagged, no badge.
        open_detail(kPhone);
        d = doc();
        EXPECT_NE(d.find("## Why it's flagged\n\n- **Result:** Not flagged - no watchlist entry "
                         "or equipment signature matched.\n"),
                  std::string::npos)
            << d;
        EXPECT_NE(d.find("- **Advertised name:** Pixel 9\n"), std::string::npos);
        EXPECT_NE(d.find("- **History:** First time this address has been heard\n"),
                  std::string::npos);
        EXPECT_NE(d.find("- **AD 0x09 Complete name:** 50 69 78 65 6C 20 39\n"), std::string::npos);
        for (uint32_t c : {0xFF6B7B80u, 0xFFB26A00u, ovk_cat_color(OVK_CAT_CUSTOM),
                           ovk_cat_color(OVK_CAT_TRACKER), ovk_cat_color(OVK_CAT_DRONE)})
            EXPECT_EQ(badge_pixels(c), 0) << "no badge";
        shot("detail_phone_" + th);
    }

    // The narrow layout puts the graph below the text; the document still fills the rest.
    g_.disp_w = 520;
    ovk_gui_rebuild(&g_);
    EXPECT_TRUE(shown(OVK_POP_DETAIL)) << "a rebuild brings the detail screen back";
    open_detail(kDrone);
    float hx = 0, hy = 0, hw = 0, hh = 0;
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, head(), &hx, &hy, &hw, &hh));
    EXPECT_FLOAT_EQ(hh, 280);
    EXPECT_NE(doc().find("## Raw advertisement"), std::string::npos);
    shot("detail_drone_narrow");
}

// A device that was never heard and has no record still gets a document, not garbage.
TEST_F(GuiDetail, ADeviceNeverHeardAndRemembered) {
    OVK_KNOWN k;
    k.mac = "00:25:DF:11:22:33";
    k.first_seen = 1700000000000;
    k.last_seen = ovk_now_ms() - 3 * 3600 * 1000;
    k.sessions = 4;
    k.detect_count = 9;
    k.name = "Axon Body 3 | X81";
    k.note = "the *patrol* car's";
    ASSERT_EQ(ovk_store_known_upsert({&k, 1}), 0);
    open_detail(k.mac);
    const std::string d = doc();
    EXPECT_EQ(d.find("## Why it's flagged"), std::string::npos) << "only what is in range";
    // Values that markdown would read as markup are shown in code style.
    EXPECT_NE(d.find("- **Advertised name:** `Axon Body 3 | X81`\n"), std::string::npos) << d;
    EXPECT_NE(d.find("- **Note:** `the *patrol* car's`\n"), std::string::npos) << d;
    EXPECT_NE(d.find("- **Scanning sessions seen in:** 4\n"), std::string::npos);
    EXPECT_NE(d.find("- **Detect count:** 9 (at most one per minute)\n"), std::string::npos);
    EXPECT_NE(d.find("- **Address registrant (IEEE):** "), std::string::npos);
    EXPECT_FALSE(zq_gui_get_widget(g_.ctx, button_in(g_.popup[OVK_POP_DETAIL], "Locate"))->enabled);
    shot("detail_remembered");
}

// The detail's title is the name the list shows: an unnamed device without a verdict goes by
// its type there, not by "Device".
TEST_F(GuiDetail, ItsTitleIsTheNameTheListShows) {
    const char* kAirPods = "5C:1B:2E:88:40:11";  // unnamed, identified by its advert
    feed_demo(3);
    const auto pods = ovk_registry_get(kAirPods);
    ASSERT_TRUE(pods.has_value());
    ASSERT_TRUE(pods->name.empty());
    ASSERT_TRUE(pods->hits.empty());
    open_detail(kAirPods);
    ASSERT_TRUE(shown(OVK_POP_DETAIL));
    EXPECT_EQ(ovk_detail_title(&g_), "AirPods Pro 2");
    EXPECT_EQ(ovk_detail_title(&g_), ovk_device_title(*pods));
    open_detail(kPhone);
    EXPECT_EQ(ovk_detail_title(&g_), "Pixel 9");
    open_detail(kFlock);
    EXPECT_EQ(ovk_detail_title(&g_), "Flock Safety camera");
    // Remembered only, without a name: its type.
    OVK_KNOWN k;
    k.mac = "00:25:DF:11:22:44";
    k.last_seen = ovk_now_ms() - 3600 * 1000;
    k.device_type = "Body camera";
    ASSERT_EQ(ovk_store_known_upsert({&k, 1}), 0);
    open_detail(k.mac);
    EXPECT_EQ(ovk_detail_title(&g_), "Body camera");
}

TEST_F(GuiDetail, RefreshKeepsTheReadersPlaceAndReopeningKeepsTheMatches) {
    feed_demo(20);
    open_detail(kDrone);
    zq_gui_markdownview_scroll_to(g_.ctx, view(), 300);
    ASSERT_FLOAT_EQ(scroll(), 300);
    const std::string before = doc();
    detail_now();
    EXPECT_EQ(doc(), before);
    EXPECT_FLOAT_EQ(scroll(), 300);
    // The drone flies on: the document changes, the reader stays where they were.
    submit(demo_advert(kDrone, ovk_now_ms() + 1000, 40));
    detail_now();
    EXPECT_NE(doc(), before);
    EXPECT_FLOAT_EQ(scroll(), 300);
    // The frame's half-second refresh does the same while the screen is open.
    g_.last_refresh_s = -10;  // the half-second refresh is due
    ovk_gui_update(&g_);
    EXPECT_FLOAT_EQ(scroll(), 300);
    // A resize rebuilds every widget; the page comes back where the reader was.
    g_.disp_w = 1000;
    g_.rebuild_pending = true;
    ovk_gui_update(&g_);
    ASSERT_TRUE(shown(OVK_POP_DETAIL));
    EXPECT_NE(doc().find("## Drone Remote ID"), std::string::npos);
    EXPECT_FLOAT_EQ(scroll(), 300);

    // Re-opening the same device starts at the top and reads its matches again, and so does
    // any change of the log while it is open (a match logged, the history cleared).
    OVK_DETECTION m;
    m.mac = kDrone;
    m.label = "Drone broadcasting Remote ID";
    m.source = "BLE";
    m.rssi = -70;
    m.timestamp = ovk_now_ms();
    m.category = OVK_CAT_DRONE;
    auto shows = [&](const std::string& line) {
        return pump([&] { return doc().find(line) != std::string::npos; });
    };
    ASSERT_TRUE(shows("- **Logged matches:** 1\n")) << doc();
    ASSERT_EQ(ovk_store_add_detection(m), 0);
    open_detail(kDrone);
    EXPECT_FLOAT_EQ(scroll(), 0);
    EXPECT_TRUE(shows("- **Logged matches:** 2\n")) << doc();
    ASSERT_EQ(ovk_store_add_detection(m), 0);
    EXPECT_TRUE(shows("- **Logged matches:** 3\n")) << doc();
    ASSERT_EQ(ovk_store_clear_detections(), 0);
    EXPECT_TRUE(shows("- **Logged matches:** 0\n")) << doc();
    open_detail(kPhone);
    EXPECT_TRUE(shows("- **Logged matches:** 0\n")) << doc();
}

// The engine port: a change posted runs off the interface thread, and the tick goes on while
// it is under way; its message, and a view asked for after it (which shows the change), arrive
// on a later tick.
TEST_F(GuiDetail, TheEnginePortNeverMakesTheTickWait) {
    ovk_test::PortHold hold(&g_, [] {
        ovk_store_whitelist_add(kPhone, "slow");
        return std::string("the slow change is done");
    });
    ovk_port_ask(&g_, "test.view", [] { return std::any(ovk_store_is_whitelisted(kPhone)); });
    ASSERT_TRUE(pump([&] { return hold.started(); }));
    for (int i = 0; i < 5; ++i) tick();  // ticks while the change waits
    EXPECT_NE(toast(), "the slow change is done");
    EXPECT_EQ(ovk_port_view(&g_, "test.view"), nullptr);
    hold.release();
    ASSERT_TRUE(pump([&] { return toast() == "the slow change is done"; })) << toast();
    ASSERT_TRUE(pump([&] { return ovk_port_view(&g_, "test.view") != nullptr; }));
    EXPECT_EQ(std::any_cast<int>(*ovk_port_view(&g_, "test.view")), 1);
    // Each new view has a serial of its own.
    const uint64_t first = ovk_port_serial(&g_, "test.view");
    EXPECT_GT(first, 0u);
    ovk_port_ask(&g_, "test.view", [] { return std::any(2); });
    ASSERT_TRUE(pump([&] { return ovk_port_serial(&g_, "test.view") > first; }));
    EXPECT_EQ(std::any_cast<int>(*ovk_port_view(&g_, "test.view")), 2);
    ovk_store_whitelist_remove(kPhone);
}

// A page opened while the engine port is busy stays empty until the device's first reading
// arrives; meanwhile its Copy report copies nothing (it copied a report with nothing in it)
// and the marks cannot be turned.
TEST_F(GuiDetail, ItsActionsWaitForTheFirstReading) {
    feed_demo(3);
    listen(true);
    ASSERT_TRUE(ovk_test::xclip_set("what was there"));
    ovk_test::PortHold hold(&g_);
    ASSERT_TRUE(pump([&] { return hold.started(); }));
    ovk_detail_show(&g_, kFlock);
    for (int i = 0; i < 3; ++i) tick();
    ASSERT_EQ(doc(), "");
    x_click(button_in(g_.popup[OVK_POP_DETAIL], "Copy report"));
    x_click(button_in(g_.popup[OVK_POP_DETAIL], "Favorite"));
    for (int i = 0; i < 5; ++i) tick();
    shot("detail_before_reading");
    EXPECT_EQ(ovk_detail_presence(&g_, ovk_now_ms()), "Reading...");
    EXPECT_NE(toast(), "Copied to clipboard");
    EXPECT_EQ(ovk_test::xclip_get().out, "what was there");

    hold.release();
    ASSERT_TRUE(pump([&] { return !doc().empty(); }));
    EXPECT_EQ(ovk_detail_presence(&g_, ovk_now_ms()).rfind("In range - heard ", 0), 0u);
    EXPECT_EQ(ovk_store_is_favorite(kFlock), 0) << "a click before the reading turned the mark";
    const std::string got = copy_report();
    EXPECT_EQ(
        got.rfind(std::string("Orvik device report: ") + kFlock + "\n\n## Why it's flagged\n\n", 0),
        0u)
        << got;
    listen(false);
}

// A slow disk: whitelisting and un-watching from the page write files that are held until the
// test lets them go. Meanwhile the page keeps reading the device (a reading on the interface
// thread would wait for the store or the rules, and hold the write past its limit); the
// buttons turn once the change is made.
TEST_F(GuiDetail, OnASlowDiskThePageKeepsReadingAndFollowsOnceWritten) {
    feed_demo(3);
    ASSERT_EQ(ovk_watchlist_add_custom(
                  OVK_OUI_ENTRY{kFlock, "Lot camera", "user-added", "custom", -1, -1}),
              0);
    open_detail(kFlock);
    ASSERT_GE(button_in(g_.popup[OVK_POP_DETAIL], "Remove from watchlist"), 0);
    ovk_test::HeldWrites writes;
    const auto readings = [&] {
        for (int i = 0; i < 5; ++i) {
            g_.now_s += 1;  // a reading is due
            ovk_detail_refresh(&g_);
            ovk_gui_update(&g_);
        }
    };

    click(button_in(g_.popup[OVK_POP_DETAIL], "Whitelist"));
    ASSERT_TRUE(writes.begun(1));
    readings();
    EXPECT_GE(button_in(g_.popup[OVK_POP_DETAIL], "Whitelist"), 0) << "turned before it is made";
    writes.release();
    EXPECT_TRUE(said(std::string(kFlock) + " whitelisted: it will never be flagged"));
    EXPECT_TRUE(pump([&] { return button_in(g_.popup[OVK_POP_DETAIL], "Un-whitelist") >= 0; }));
    EXPECT_NE(doc().find("## Why it's flagged"), std::string::npos) << doc();

    writes.hold();
    click(button_in(g_.popup[OVK_POP_DETAIL], "Remove from watchlist"));
    ASSERT_TRUE(writes.begun(2));
    readings();
    EXPECT_GE(button_in(g_.popup[OVK_POP_DETAIL], "Remove from watchlist"), 0);
    writes.release();
    EXPECT_TRUE(said(std::string("Removed ") + kFlock + " from the watchlist"));
    EXPECT_TRUE(pump([&] { return button_in(g_.popup[OVK_POP_DETAIL], "Add to watchlist") >= 0; }));
    EXPECT_TRUE(ovk_watchlist_custom().empty());

    EXPECT_FALSE(writes.timed_out()) << "the interface thread waited on a held write";
    EXPECT_EQ(writes.written_by(std::this_thread::get_id()), 0u)
        << "a file written by the interface thread";
    ovk_store_whitelist_remove(kFlock);
}

TEST_F(GuiDetail, LocateTicksUntilTheDeviceLeaves) {
    feed_demo(3);
    open_detail(kFlock);
    const int locate = button_in(g_.popup[OVK_POP_DETAIL], "Locate");
    ASSERT_GE(locate, 0);
    g_.locate_next_tick = 1e9;
    click(locate);
    EXPECT_TRUE(g_.locate);
    EXPECT_EQ(zq_gui_button_get_label(g_.ctx, locate), "Stop locate");
    EXPECT_LE(g_.locate_next_tick, g_.now_s) << "the first tick is due at once";
    ovk_main_refresh(&g_);
    ASSERT_TRUE(ovk_main_settle(&g_, 5000));  // the list's snapshot holds the camera
    ovk_gui_update(&g_);
    EXPECT_GT(g_.locate_next_tick, g_.now_s) << "ticked, the next one scheduled";
    EXPECT_LT(g_.locate_next_tick - g_.now_s, 1.5) << "paced by the camera's signal, just heard";
    shot("detail_locate");
    // Another device ends it, also when it was selected before the screen was shown (as the
    // main screen's list does).
    g_.sel_mac = kPhone;
    ovk_detail_show_selected(&g_);
    EXPECT_FALSE(g_.locate);
    detail_now();
    EXPECT_EQ(doc().find("## Why it's flagged\n\n- **Result:** Not flagged"), 0u) << "the phone's";
    open_detail(kFlock);
    click(locate);
    ASSERT_TRUE(g_.locate);
    // The device leaves the registry: the next refresh stops the ticking and disables Locate.
    ovk_registry_clear();
    detail_now();
    EXPECT_FALSE(g_.locate);
    EXPECT_EQ(zq_gui_button_get_label(g_.ctx, locate), "Locate");
    EXPECT_FALSE(zq_gui_get_widget(g_.ctx, locate)->enabled);
    click(locate);
    EXPECT_FALSE(g_.locate) << "a disabled button does nothing";
    EXPECT_EQ(doc().find("## Why it's flagged"), std::string::npos);
}

// The drone's broadcast position and its operator's are a click away on the map; the report
// is offered only for a device nothing matched. The row holds only the buttons that apply, and
// the document starts below it.
TEST_F(GuiDetail, MapAndReportButtonsFollowTheDevice) {
    OVK_PREFS p = ovk_prefs_get();
    p.map_tiles = 0;  // no tile server in a test
    ovk_prefs_set(p);
    ovk_gui_update(&g_);
    feed_demo(3);
    auto buttons = [&] {
        std::vector<std::string> out;
        for (int id : widgets_of(g_.popup[OVK_POP_DETAIL], ZQ_GUI_BUTTON))
            if (zq_gui_get_widget(g_.ctx, id)->visible)
                out.push_back(zq_gui_button_get_label(g_.ctx, id));
        return out;
    };
    // Shown buttons sit in rows without overlapping, and the document below them.
    auto laid_out = [&] {
        std::vector<const ZQ_GUI_WIDGET*> shown_w;
        for (int id : widgets_of(g_.popup[OVK_POP_DETAIL], ZQ_GUI_BUTTON))
            if (const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g_.ctx, id); w->visible)
                shown_w.push_back(w);
        const ZQ_GUI_WIDGET* v = zq_gui_get_widget(g_.ctx, view());
        for (size_t i = 0; i < shown_w.size(); ++i) {
            const ZQ_GUI_WIDGET* a = shown_w[i];
            EXPECT_LE(a->y + a->h, v->y) << zq_gui_button_get_label(g_.ctx, a->id);
            for (size_t j = i + 1; j < shown_w.size(); ++j) {
                const ZQ_GUI_WIDGET* b = shown_w[j];
                EXPECT_TRUE(a->x + a->w <= b->x || b->x + b->w <= a->x || a->y + a->h <= b->y ||
                            b->y + b->h <= a->y)
                    << zq_gui_button_get_label(g_.ctx, a->id) << " overlaps "
                    << zq_gui_button_get_label(g_.ctx, b->id);
            }
        }
    };
    const std::vector<std::string> common = {"Locate", "Add to watchlist", "Whitelist", "Favorite",
                                             "Copy report"};

    open_detail(kDrone);
    std::vector<std::string> want = common;
    want.insert(want.end(), {"Drone on map", "Operator on map"});
    EXPECT_EQ(buttons(), want);
    laid_out();
    const std::optional<OVK_DEVICE> drone = ovk_registry_get(kDrone);
    ASSERT_TRUE(drone && drone->rid && drone->rid->has_pos && drone->rid->has_op_pos);
    click(button_in(g_.popup[OVK_POP_DETAIL], "Drone on map"));
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    EXPECT_DOUBLE_EQ(ovk_map_view().zoom, 17);
    EXPECT_DOUBLE_EQ(ovk_map_view().lat, drone->rid->lat);
    EXPECT_DOUBLE_EQ(ovk_map_view().lon, drone->rid->lon);
    ovk_gui_close_popup(&g_, OVK_POP_MAP);
    click(button_in(g_.popup[OVK_POP_DETAIL], "Operator on map"));
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    EXPECT_NEAR(ovk_map_view().lat, ovk_test::kDemoLat - 0.0007, 1e-6);
    EXPECT_NEAR(ovk_map_view().lon, ovk_test::kDemoLon - 0.0004, 1e-6);
    ovk_gui_close_popup(&g_, OVK_POP_MAP);

    // A tracker with a verdict: neither the map buttons nor the report.
    open_detail(kAirTag);
    EXPECT_EQ(buttons(), common);
    laid_out();

    // The phone nothing matched: its signature may be reported.
    open_detail(kPhone);
    want = common;
    want.push_back("Report unknown device");
    EXPECT_EQ(buttons(), want);
    laid_out();
    shot("detail_phone_report_button");
    click(button_in(g_.popup[OVK_POP_DETAIL], "Report unknown device"));
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_REPORT); }));
    const auto md = widgets_of(g_.popup[OVK_POP_REPORT], ZQ_GUI_MARKDOWNVIEW);
    ASSERT_EQ(md.size(), 1u);
    EXPECT_EQ(zq_gui_markdownview_get_text(g_.ctx, md[0]).find("no longer in range"),
              std::string::npos)
        << "the report is about the phone in range";
    ovk_gui_close_popup(&g_, OVK_POP_REPORT);

    // Gone from the registry: nothing to report any more.
    ovk_registry_clear();
    detail_now();
    EXPECT_EQ(buttons(), common);
    laid_out();
}

// As a person: real clicks on the buttons; the report read back by another program.
TEST_F(GuiDetail, APersonWhitelistsFavoritesAndCopiesTheReport) {
    OVK_PREFS p = ovk_prefs_get();
    p.dedupe_window_ms = 0;  // every advert may alert
    ovk_prefs_set(p);
    feed_demo(3);
    ovk_test::pipeline_pop_all();
    open_detail(kFlock);
    const uint32_t alpr = ovk_cat_color(OVK_CAT_ALPR);
    ASSERT_GT(badge_pixels(alpr), 300);
    listen(true);
    ASSERT_FALSE(x_window().empty());
    pump([] { return false; }, 0.3);  // the window shows

    // Whitelist: the grey badge, the store keeps the name as the note, and it never alerts.
    x_click(button_in(g_.popup[OVK_POP_DETAIL], "Whitelist"));
    EXPECT_TRUE(pump([&] {
        return toast() == std::string(kFlock) + " whitelisted: it will never be flagged";
    })) << toast();
    EXPECT_EQ(ovk_store_is_whitelisted(kFlock), 1);
    // (the grey darkened as far as its white letters need)
    EXPECT_GT(badge_pixels(ovk_color_argb(ovk_theme_fill(&g_, ovk_argb(0xFF6B7B80u)))), 300);
    EXPECT_EQ(badge_pixels(alpr), 0);
    EXPECT_GE(button_in(g_.popup[OVK_POP_DETAIL], "Un-whitelist"), 0);
    ASSERT_EQ(ovk_store_whitelist_all().size(), 1u);
    EXPECT_EQ(ovk_store_whitelist_all()[0].note, "Flock-3C8810");
    shot("detail_whitelisted");
    const int64_t t = ovk_now_ms() + 5000;
    ovk_pipeline_submit(demo_advert(kFlock, t, 5));
    ovk_pipeline_submit(demo_advert("00:25:DF:4A:19:C2", t, 5));  // an Axon camera, not trusted
    ovk_test::pipeline_drain();
    const auto alerts = ovk_test::pipeline_pop_all();
    ASSERT_EQ(alerts.size(), 1u) << "the untrusted camera alerts, the trusted one does not";
    EXPECT_EQ(alerts[0].key, "00:25:DF:4A:19:C2");

    // Un-whitelist: back to its colour, and it alerts again.
    x_click(button_in(g_.popup[OVK_POP_DETAIL], "Un-whitelist"));
    EXPECT_TRUE(pump([&] {
        return toast() == std::string(kFlock) + " removed from the whitelist";
    })) << toast();
    EXPECT_EQ(ovk_store_is_whitelisted(kFlock), 0);
    EXPECT_GT(badge_pixels(alpr), 300);
    submit(demo_advert(kFlock, t + 5000, 6));
    const auto again = ovk_test::pipeline_pop_all();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].key, kFlock);

    // Favourite, stored with what is known of it.
    x_click(button_in(g_.popup[OVK_POP_DETAIL], "Favorite"));
    EXPECT_TRUE(pump([&] { return button_in(g_.popup[OVK_POP_DETAIL], "* Favorite") >= 0; }));
    EXPECT_EQ(ovk_store_is_favorite(kFlock), 1);
    EXPECT_EQ(ovk_store_known_get(kFlock)->name, "Flock-3C8810");

    // Copy report: another program reads the address and the document.
    const std::string got = copy_report();
    EXPECT_EQ(
        got.rfind(std::string("Orvik device report: ") + kFlock + "\n\n## Why it's flagged\n\n", 0),
        0u)
        << got;
    for (const char* l :
         {"- **Network name (SSID):** Flock-3C8810\n", "- **Radio:** WiFi\n",
          "- **Capabilities:** `[WPA2-PSK-CCMP][ESS]`\n", "- **Information elements:** "})
        EXPECT_NE(got.find(l), std::string::npos) << l << "\n" << got;
    listen(false);
}

TEST(GuiDetailTrend, ComparesWithUpToFiveReadingsBeforeTheNewest) {
    const auto trend = [](std::vector<int> rssi, int now) {
        std::vector<OVK_RSSI_SAMPLE> h;
        for (size_t i = 0; i < rssi.size(); ++i)
            h.push_back({static_cast<int64_t>(i) * 1000, rssi[i]});
        return std::string(ovk_detail_trend(h, now));
    };
    // Readings two to six from the end: the sixth before the newest does not count...
    EXPECT_EQ(trend({-100, -60, -60, -60, -60, -60, -60}, -64), "  v moving away");
    // ...nor does the newest itself.
    EXPECT_EQ(trend({-60, -60, -60, -60, -60, -20}, -58), "  - steady");
    EXPECT_EQ(trend({-60, -60, -60, -60, -60, -20}, -56), "  ^ getting closer");
    EXPECT_EQ(trend({-60, -60, -60, -60, -60, -20}, -57), "  - steady") << "3 dB is steady";
    EXPECT_EQ(trend({-70, -60}, -60), "  ^ getting closer");
    EXPECT_EQ(trend({-70}, -40), "  - steady") << "nothing before the newest";
    EXPECT_EQ(trend({}, -40), "  - steady");
}

}  // namespace
