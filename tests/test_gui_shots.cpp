// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The screenshot tour as its user runs it: `orvik --shots DIR` on a private X server stores
// eight pictures of the window, each in its own view and theme, then quits with the user's
// preferences as they were. A directory that cannot be written costs the pictures and the
// exit status only.
#include <allegro5/allegro.h>
#include <allegro5/allegro_image.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ovk_gui_shots.h"
#include "ovk_gui_theme.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_test_xvfb.h"

namespace {

const std::string kOrvik = std::string(OVK_BINARY_DIR) + "/orvik";
constexpr int kW = 900, kH = 700;

// A user's settings the tour must leave as it found them.
constexpr const char* kSettings =
    "{\"setup_wizard_done\": true, \"app_theme\": \"AMBER\", \"radar_view\": true, "
    "\"demo_mode\": false}";

class ShotsTour : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
        ASSERT_TRUE(al_init_image_addon());
    }
    static void TearDownTestSuite() { al_uninstall_system(); }

    void SetUp() override {
        OVK_REQUIRE_XVFB();
        ASSERT_TRUE(ovk_test::file_exists(kOrvik)) << "build the orvik target first";
        ASSERT_EQ(::mkdir((dir_.path() + "/orvik").c_str(), 0700), 0);
        ovk_test::write_file(settings_path(), kSettings);
    }

    std::string settings_path() const { return dir_.path() + "/orvik/settings.json"; }

    ovk_test::ProgramRun tour(const std::string& into) {
        ovk_test::ProgramLaunch l;
        l.exe = kOrvik;
        l.args = {"--shots",          into, "--width", std::to_string(kW), "--height",
                  std::to_string(kH), "-v", "5"};
        l.env = {"XDG_DATA_HOME=" + dir_.path(), "HOME=" + dir_.path(),
                 std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets",
                 "DISPLAY=" + ovk_test::xvfb_start().display, "OVK_TOUCH=0",
                 // The map's tiles come from a server that is not there: no network use.
                 "http_proxy=http://127.0.0.1:9", "https_proxy=http://127.0.0.1:9"};
        l.out_dir = dir_.path();
        l.deadline_s = 180;  // the tour itself takes about a minute
        return ovk_test::run_program(l);
    }

    // The user's settings after the tour hold what they held before it.
    void expect_settings_kept() {
        ASSERT_EQ(ovk_prefs_load(dir_.path() + "/orvik"), 0);
        const OVK_PREFS p = ovk_prefs_get();
        EXPECT_EQ(p.theme, OVK_THEME_AMBER);
        EXPECT_EQ(p.radar_view, 1);
        EXPECT_EQ(p.demo_mode, 0);
        EXPECT_EQ(p.onboarding_done, 1);
    }

    ovk_test::TempDir dir_;
};

struct PICTURE {
    int w = 0, h = 0;
    std::vector<uint32_t> px;  // RGB, row by row
};

PICTURE load(const std::string& path) {
    PICTURE p;
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP* b = al_load_bitmap(path.c_str());
    if (!b) return p;
    p.w = al_get_bitmap_width(b);
    p.h = al_get_bitmap_height(b);
    p.px.reserve(static_cast<size_t>(p.w) * static_cast<size_t>(p.h));
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            unsigned char r, g, bl;
            al_unmap_rgb(al_get_pixel(b, x, y), &r, &g, &bl);
            p.px.push_back(static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(g) << 8 | bl);
        }
    al_destroy_bitmap(b);
    return p;
}

uint32_t rgb(ALLEGRO_COLOR c) {
    unsigned char r, g, b;
    al_unmap_rgb(c, &r, &g, &b);
    return static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(g) << 8 | b;
}

TEST_F(ShotsTour, EightPicturesEachInItsViewThenTheUsersSettingsComeBack) {
    const std::string into = dir_.path() + "/pictures";  // made by the tour
    const ovk_test::ProgramRun r = tour(into);
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<PICTURE> pics;
    for (int i = 0; i < OVK_SHOTS_STOPS; ++i) {
        const SHOT_STOP& stop = ovk_shots_stop(i);
        SCOPED_TRACE(stop.name);
        PICTURE p = load(into + "/" + stop.name + ".png");
        ASSERT_EQ(p.w, kW);
        ASSERT_EQ(p.h, kH);
        // Not blank: a window full of text and colour.
        const std::set<uint32_t> colours(p.px.begin(), p.px.end());
        EXPECT_GT(colours.size(), 50u);
        // Shown in its stop's theme: the window's background at the left edge, beside any
        // pop-up, is that theme's.
        EXPECT_EQ(p.px[static_cast<size_t>(kH / 2) * kW + 2],
                  rgb(ovk_theme_palette(stop.theme).bg));
        pics.push_back(std::move(p));
    }
    // No two alike: each differs from every other in a good part of the window.
    for (size_t a = 0; a < pics.size(); ++a)
        for (size_t b = a + 1; b < pics.size(); ++b) {
            size_t diff = 0;
            for (size_t k = 0; k < pics[a].px.size(); ++k) diff += pics[a].px[k] != pics[b].px[k];
            EXPECT_GT(diff, pics[a].px.size() / 50)
                << ovk_shots_stop(static_cast<int>(a)).name << " and "
                << ovk_shots_stop(static_cast<int>(b)).name;
        }
    size_t stored = 0;
    for (size_t at = r.err.find("store screenshot "); at != std::string::npos;
         at = r.err.find("store screenshot ", at + 1))
        ++stored;
    EXPECT_EQ(stored, 8u);
    expect_settings_kept();
}

TEST_F(ShotsTour, ADirectoryThatCannotBeWrittenCostsOnlyThePicturesAndFailsTheRun) {
    // Under a plain file, no directory can be made.
    ovk_test::write_file(dir_.path() + "/plain", "x");
    const ovk_test::ProgramRun r = tour(dir_.path() + "/plain/pictures");
    // A script (make shots) must not take a tour without pictures for a success.
    ASSERT_EQ(r.status, 1) << r.err;
    size_t failures = 0;
    for (size_t at = r.err.find("cannot save"); at != std::string::npos;
         at = r.err.find("cannot save", at + 1))
        ++failures;
    EXPECT_EQ(failures, 8u) << r.err;
    expect_settings_kept();
}

}  // namespace
