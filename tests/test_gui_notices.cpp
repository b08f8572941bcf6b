// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// Notices (toasts) over the real main screen on a private X server, used as a person would
// with xdotool: they never hide the header's buttons, the search field, the filters or a
// pop-up's title bar, at every window size and in touch mode; a click on one dismisses it and
// reaches nothing beneath; a saved file's notice shows the whole file name; the stack stays
// small however many notices come. With OVK_SHOT_DIR set, screenshots at the smallest and
// largest sizes in a dark and a light theme are kept there.
#include <string>
#include <vector>

#include "ovk_gui_main.h"
#include "ovk_pipeline.h"
#include "ovk_test_gui.h"

namespace {

int g_detail_shown = 0;
int g_map_shown = 0;
void build_detail(OVK_GUI* g) {
    ovk_gui_popup_window(g, OVK_POP_DETAIL, "Detail", 500, 400);
}
void show_detail(OVK_GUI* g) {
    ++g_detail_shown;
    ovk_gui_open_popup(g, OVK_POP_DETAIL);
}
void build_map(OVK_GUI* g) {
    ovk_gui_popup_window(g, OVK_POP_MAP, "Map", 700, 520);
}
void show_map(OVK_GUI* g) {
    ++g_map_shown;
    ovk_gui_open_popup(g, OVK_POP_MAP);
}

constexpr OVK_SCREEN kMain = {-1,      ovk_main_build,   ovk_main_refresh, ovk_main_tick,
                              nullptr, ovk_main_shutdown};

const char* const kSavedName = "orvik_matches_20261208_1812.csv";

class Notices : public ovk_test::GuiTest {
  protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(open_display(true, true));
        listen(true);
        ASSERT_FALSE(x_window().empty());
    }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiTest::SetUp());
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.map_tiles = 0;
        ASSERT_NO_FATAL_FAILURE(
            ovk_test::pipeline_up(dir_.path() + "/orvik", p, OVK_PIPELINE_HOOKS{}, ovk_now_ms()));
        ovk_gui_set_frame_only(true);
        ovk_gui_set_test_screens(
            {kMain,
             {OVK_POP_DETAIL, build_detail, nullptr, nullptr, show_detail, nullptr},
             {OVK_POP_MAP, build_map, nullptr, nullptr, show_map, nullptr}});
        g_detail_shown = g_map_shown = 0;
        ovk_test::x_run("xdotool mousemove --window " + wid_ + " 2 2");
    }
    void TearDown() override {
        GuiTest::TearDown();
        unsetenv("OVK_TOUCH");
        ovk_gui_set_test_screens({});
        ovk_gui_set_frame_only(false);
        ovk_test::pipeline_down();
        if (al_get_display_width(display_) != kW || al_get_display_height(display_) != kH) {
            al_resize_display(display_, kW, kH);
            al_acknowledge_resize(display_);
        }
    }

    // The real window at w x h, the main screen built in it in `theme` (touch mode when
    // asked), its list filled.
    void open_at(int w, int h, int theme, bool touch = false) {
        if (touch)
            setenv("OVK_TOUCH", "1", 1);
        else
            unsetenv("OVK_TOUCH");
        if (al_get_display_width(display_) != w || al_get_display_height(display_) != h) {
            ASSERT_TRUE(al_resize_display(display_, w, h));
            al_acknowledge_resize(display_);
        }
        ASSERT_EQ(al_get_display_width(display_), w);
        OVK_PREFS p = ovk_prefs_get();
        p.theme = static_cast<OVK_THEME_ID>(theme);
        ovk_prefs_set(p);
        ASSERT_NO_FATAL_FAILURE(init_frame(static_cast<float>(w), static_cast<float>(h)));
        ASSERT_EQ(g_.disp_w, static_cast<float>(w));
        ovk_main_refresh(&g_);
        ASSERT_TRUE(ovk_main_settle(&g_, 5000));
        g_.toast_until = 0;
        g_.older_notices.clear();
        settle(0.1);
    }

    // Devices enough to fill the list to the bottom of the largest window.
    static void fill_list() {
        for (int n = 0; n < 30; ++n) {
            OVK_ADVERT a;
            char mac[18];
            snprintf(mac, sizeof mac, "10:00:00:00:00:%02X", n);
            a.mac = mac;
            a.source = OVK_SRC_BLE;
            a.rssi = -40 - n;
            a.addr_type = OVK_ADDR_PUBLIC;
            a.name = "Sensor " + std::to_string(n);
            OVK_IDENTITY id;
            id.type = "Bluetooth device";
            ovk_registry_report(a, {}, &id, "", nullptr, nullptr, ovk_now_ms());
        }
    }

    // Three notices as a busy demo raises them: a camera alert with its evidence, a copy,
    // and a saved export (the newest).
    void raise_three() {
        g_.toast = OVK_UI_ALERT{};
        g_.toast.key = "00:25:DF:12:34:56";
        g_.toast.hit = ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 92, "Axon OUI",
                                    "Manufacturer prefix 00:25:DF registered to Axon Enterprise; "
                                    "advertises the Axon camera service, heard for 4 minutes");
        g_.toast_until = al_get_time() + 30;
        ovk_gui_message(&g_, "Copied to clipboard");
        ovk_gui_message(&g_, "Saved ~/.local/share/orvik/exports/%s", kSavedName);
    }

    // What a person can click without looking for it: the header's buttons, the search
    // field, the filters (unless a pop-up hides them), and the title bar of every open pop-up.
    std::vector<RECT> controls() {
        std::vector<RECT> popups, out;
        for (int id = 0; id < OVK_POP_COUNT; ++id) {
            if (!ovk_gui_popup_is_open(&g_, id)) continue;
            const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[id]);
            popups.push_back({w->x, w->y, w->w, w->h});
            out.push_back({w->x, w->y, w->w, zq_gui_style(g_.ctx)->titlebar_h});
        }
        auto hidden = [&](const RECT& r) {
            for (const RECT& p : popups)
                if (r.x >= p.x && r.y >= p.y && r.x + r.w <= p.x + p.w && r.y + r.h <= p.y + p.h)
                    return true;
            return false;
        };
        std::vector<int> ids = {ovk_main_state().w_scan_btn, ovk_main_state().w_view_btn,
                                ovk_main_state().w_map_btn, ovk_main_state().w_menu,
                                ovk_main_state().w_search};
        ids.insert(ids.end(), ovk_main_state().w_filter.begin(), ovk_main_state().w_filter.end());
        for (int id : ids)
            if (id >= 0 && !hidden(rect(id))) out.push_back(rect(id));
        return out;
    }

    // The pixels of the areas as drawn now (every second pixel, inside the display).
    std::vector<uint32_t> pixels_of(const std::vector<RECT>& areas) {
        std::vector<uint32_t> out;
        ALLEGRO_BITMAP* bb = al_get_backbuffer(display_);
        al_lock_bitmap(bb, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
        const int W = al_get_bitmap_width(bb), H = al_get_bitmap_height(bb);
        for (const RECT& r : areas)
            for (int y = std::max(0, static_cast<int>(r.y)); y < std::min<int>(H, r.y + r.h);
                 y += 2)
                for (int x = std::max(0, static_cast<int>(r.x)); x < std::min<int>(W, r.x + r.w);
                     x += 2)
                    out.push_back(ovk_color_argb(al_get_pixel(bb, x, y)));
        al_unlock_bitmap(bb);
        return out;
    }
    std::vector<uint32_t> drawn(const std::vector<RECT>& areas) {
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        return pixels_of(areas);
    }

    // The controls look the same with the three notices showing as without any.
    void expect_controls_clear(const std::string& where) {
        const std::vector<RECT> areas = controls();
        ASSERT_FALSE(areas.empty());
        const double keep = g_.toast_until;
        const auto older = g_.older_notices;
        g_.toast_until = 0;
        g_.older_notices.clear();
        const std::vector<uint32_t> bare = drawn(areas);
        g_.toast_until = keep;
        g_.older_notices = older;
        const std::vector<uint32_t> with = drawn(areas);
        ASSERT_FALSE(g_.notice_boxes.empty()) << where;
        size_t changed = 0;
        for (size_t k = 0; k < bare.size(); ++k) changed += bare[k] != with[k];
        EXPECT_EQ(changed, 0u) << where << ": a notice covers a control or a title bar";
        for (const OVK_NOTICE_BOX& b : g_.notice_boxes) {
            EXPECT_GE(b.y, 0) << where;
            EXPECT_LE(b.y + b.h, g_.disp_h) << where;
        }
    }

    // Every line of a notice fits inside its box, and a message has at most three.
    void expect_lines_fit(const OVK_NOTICE_BOX& b) {
        const float inner = b.w - 2 * ovk_pad(&g_);
        for (size_t k = 0; k < b.lines.size(); ++k) {
            const ALLEGRO_FONT* f =
                static_cast<int>(k) < b.title_lines ? g_.font_bold : g_.font_small;
            EXPECT_LE(al_get_text_width(f, b.lines[k].c_str()), inner) << b.lines[k];
        }
        EXPECT_LE(b.title_lines, OVK_NOTICE_LINES);
    }

    // The laid-out lines of a notice with the breaks and spaces taken out.
    static std::string joined(const OVK_NOTICE_BOX& b) {
        std::string s;
        for (const std::string& l : b.lines)
            for (char c : l)
                if (c != ' ') s += c;
        return s;
    }

    void keep_shot(const std::string& name) {
        shot(name, static_cast<int>(g_.disp_w), static_cast<int>(g_.disp_h));
    }
};

// At every size from the smallest to the largest, on a desktop and in touch mode, in a dark
// and a light theme, with and without a pop-up: the header, the search field, the filters and
// the pop-up's title bar and close box look exactly as they do without notices; the newest
// notice is the lowest.
TEST_F(Notices, NeverCoverTheHeaderTheFiltersOrAPopupsTitleBar) {
    OVK_REQUIRE_XVFB();
    fill_list();
    const std::pair<int, int> sizes[] = {{320, 420}, {360, 640},  {480, 480},
                                         {800, 600}, {1100, 820}, {1280, 1024}};
    for (const bool touch : {false, true})
        for (const auto& [w, h] : sizes)
            for (const int theme : {OVK_THEME_DARK, OVK_THEME_LIGHT}) {
                const std::string where = std::to_string(w) + "x" + std::to_string(h) +
                                          (touch ? " touch" : "") + " theme " +
                                          std::to_string(theme);
                ASSERT_NO_FATAL_FAILURE(open_at(w, h, theme, touch));
                raise_three();
                expect_controls_clear(where);
                const auto& boxes = g_.notice_boxes;
                ASSERT_FALSE(boxes.empty()) << where;
                // Where all three find no room, the camera alert stays and the copy gives way.
                EXPECT_TRUE(boxes.size() == 1 || boxes[0].alert) << where;
                EXPECT_EQ(boxes.back().serial, g_.toast_serial) << where << ": newest lowest";
                for (size_t k = 1; k < boxes.size(); ++k)
                    EXPECT_LE(boxes[k - 1].y + boxes[k - 1].h, boxes[k].y) << where;
                for (const OVK_NOTICE_BOX& b : boxes) expect_lines_fit(b);
                if (!touch && (w == 320 || w == 1280))
                    keep_shot("notices_" + std::to_string(w) + "x" + std::to_string(h) + "_" +
                              (theme == OVK_THEME_DARK ? "dark" : "light"));

                ovk_gui_open_popup(&g_, OVK_POP_MAP);
                expect_controls_clear(where + " with a pop-up open");
                ovk_gui_close_popup(&g_, OVK_POP_MAP);
            }
}

// With notices showing, a real click on the Map button opens the map and one on Radar
// switches the view, at the smallest size and at the usual one.
TEST_F(Notices, HeaderButtonsStillAnswerAClick) {
    OVK_REQUIRE_XVFB();
    fill_list();
    for (const auto& [w, h] : {std::pair{320, 420}, std::pair{1100, 820}}) {
        ASSERT_NO_FATAL_FAILURE(open_at(w, h, OVK_THEME_DARK));
        raise_three();
        draw();
        ASSERT_FALSE(g_.notice_boxes.empty());
        ASSERT_NO_FATAL_FAILURE(x_click(ovk_main_state().w_map_btn));
        EXPECT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_MAP); })) << w << "x" << h;
        EXPECT_EQ(g_map_shown, 1);
        ovk_gui_close_popup(&g_, OVK_POP_MAP);
        g_map_shown = 0;
        ASSERT_NO_FATAL_FAILURE(x_click(ovk_main_state().w_view_btn));
        EXPECT_TRUE(pump([&] { return g_.prefs.radar_view == 1; })) << w << "x" << h;
        ASSERT_NO_FATAL_FAILURE(x_click(ovk_main_state().w_view_btn));
        EXPECT_TRUE(pump([&] { return g_.prefs.radar_view == 0; }));
        EXPECT_FALSE(g_.notice_boxes.empty()) << "the clicks were not taken by a notice";
    }
}

// A click on a notice takes it away and nothing else happens: the device row beneath it does
// not open; the same click without the notice does.
TEST_F(Notices, AClickDismissesTheNoticeAndReachesNothingBeneath) {
    OVK_REQUIRE_XVFB();
    fill_list();
    ASSERT_NO_FATAL_FAILURE(open_at(kW, kH, OVK_THEME_DARK));
    ovk_gui_message(&g_, "Copied to clipboard");
    draw();
    ASSERT_EQ(g_.notice_boxes.size(), 1u);
    const OVK_NOTICE_BOX b = g_.notice_boxes[0];
    const float x = b.x + b.w / 2, y = b.y + b.h / 2;
    const RECT list = rect(ovk_main_state().w_list);
    ASSERT_TRUE(x > list.x && y > list.y && y < list.y + list.h) << "the notice is over the list";

    ASSERT_NO_FATAL_FAILURE(x_click_at(x, y));
    settle(0.3);
    EXPECT_EQ(toast(), "") << "the click dismissed it";
    EXPECT_TRUE(g_.notice_boxes.empty());
    EXPECT_EQ(g_detail_shown, 0) << "the click went through the notice to the list";
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_DETAIL));

    ASSERT_NO_FATAL_FAILURE(x_click_at(x, y));
    EXPECT_TRUE(pump([&] { return g_detail_shown == 1; })) << "a row is there to be clicked";

    // Of three notices only the one clicked leaves.
    ovk_gui_close_popup(&g_, OVK_POP_DETAIL);
    raise_three();
    draw();
    ASSERT_EQ(g_.notice_boxes.size(), 3u);
    const OVK_NOTICE_BOX middle = g_.notice_boxes[1];
    ASSERT_NO_FATAL_FAILURE(x_click_at(middle.x + 20, middle.y + middle.h / 2));
    settle(0.2);
    ASSERT_EQ(g_.notice_boxes.size(), 2u);
    EXPECT_EQ(g_.notice_boxes[0].lines[0].rfind("Axon body camera", 0), 0u);
    EXPECT_EQ(g_.notice_boxes[1].serial, g_.toast_serial);
    EXPECT_EQ(g_detail_shown, 1);
}

// A saved file's notice shows the whole file name, at the smallest size as at the largest;
// the folders give way in the middle when there is no room, even for a path longer than a
// message may be.
TEST_F(Notices, SavedFileNoticeShowsTheWholeFileName) {
    OVK_REQUIRE_XVFB();
    const std::string deep =
        "/home/a-rather-long-user-name/Documents/Orvik/exports/2026/december/"
        "week-50/from-the-laptop/kept-for-the-lawyer/";
    for (const auto& [w, h] : {std::pair{320, 420}, std::pair{1280, 1024}})
        for (const int theme : {OVK_THEME_NIGHT_DRIVE, OVK_THEME_PAPER}) {
            const std::string where = std::to_string(w) + " theme " + std::to_string(theme);
            ASSERT_NO_FATAL_FAILURE(open_at(w, h, theme));
            ovk_gui_message(&g_, "Saved ~/.local/share/orvik/exports/%s", kSavedName);
            draw();
            ASSERT_EQ(g_.notice_boxes.size(), 1u) << where;
            expect_lines_fit(g_.notice_boxes[0]);
            EXPECT_NE(joined(g_.notice_boxes[0]).find(kSavedName), std::string::npos)
                << where << ": " << joined(g_.notice_boxes[0]);
            EXPECT_EQ(joined(g_.notice_boxes[0]).rfind("Saved~/", 0), 0u) << where;
            keep_shot("notice_saved_" + std::to_string(w) + "_theme" + std::to_string(theme));

            ovk_gui_message(&g_, "Saved 12 of 40 rows (filtered) to %s%s", deep.c_str(),
                            kSavedName);
            EXPECT_LE(toast().size(), OVK_MESSAGE_MAX);
            EXPECT_NE(toast().find(std::string("/") + kSavedName), std::string::npos) << toast();
            EXPECT_EQ(toast().rfind("Saved 12 of 40 rows (filtered) to /home/", 0), 0u);
            draw();
            ASSERT_FALSE(g_.notice_boxes.empty());
            const OVK_NOTICE_BOX& b = g_.notice_boxes.back();
            expect_lines_fit(b);
            EXPECT_NE(joined(b).find(kSavedName), std::string::npos) << where << joined(b);
        }
}

// A flood of notices (the demo raises them all the time) leaves at most three on the screen,
// the newest ones, and one alert heard again does not show twice.
TEST_F(Notices, TheStackStaysSmall) {
    OVK_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(open_at(kW, kH, OVK_THEME_LIGHT));
    for (int n = 1; n <= 9; ++n) ovk_gui_message(&g_, "Notice %d", n);
    draw();
    ASSERT_EQ(g_.notice_boxes.size(), OVK_NOTICES_MAX);
    EXPECT_EQ(g_.notice_boxes[0].lines, std::vector<std::string>{"Notice 7"});
    EXPECT_EQ(g_.notice_boxes[2].lines, std::vector<std::string>{"Notice 9"});
    ovk_gui_message(&g_, "Notice 8");
    draw();
    ASSERT_EQ(g_.notice_boxes.size(), 3u);
    EXPECT_EQ(g_.notice_boxes[0].lines, std::vector<std::string>{"Notice 7"});
    EXPECT_EQ(g_.notice_boxes[1].lines, std::vector<std::string>{"Notice 9"});
    EXPECT_EQ(g_.notice_boxes[2].lines, std::vector<std::string>{"Notice 8"});

    // Once their time is up they all leave, and the frame that takes them off is asked for.
    g_.toast_until = al_get_time() - 0.1;
    for (OVK_NOTICE& n : g_.older_notices) n.until = al_get_time() - 0.1;
    g_.redraw = false;
    ovk_gui_update(&g_);
    EXPECT_TRUE(g_.redraw);
    draw();
    EXPECT_TRUE(g_.notice_boxes.empty());
}

}  // namespace
