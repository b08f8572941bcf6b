// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// Orvik's own window on a private X server, used as a person would through the screens of
// settings, setup and export: the first run opens the setup wizard, and once walked to its
// end it is not offered again.
#include <signal.h>

#include <chrono>
#include <thread>

#include "ovk_gui_theme.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_test_xvfb.h"

namespace {

using namespace std::chrono_literals;

const std::string kOrvik = std::string(OVK_BINARY_DIR) + "/orvik";

class GuiScreensWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        OVK_REQUIRE_XVFB();
        ASSERT_TRUE(ovk_test::file_exists(kOrvik)) << "build the orvik target first";
    }

    std::unique_ptr<ovk_test::RunningProgram> start() {
        ovk_test::ProgramLaunch l;
        l.exe = kOrvik;
        l.env = {"XDG_DATA_HOME=" + dir_.path(), "HOME=" + dir_.path(),
                 std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets",
                 "DISPLAY=" + ovk_test::xvfb_start().display, "OVK_TOUCH=0"};
        l.out_dir = dir_.path();
        return std::make_unique<ovk_test::RunningProgram>(l);
    }
    static std::string window() {
        std::string id;
        return ovk_test::x_wait_window("^Orvik$", 20000, &id) ? id : std::string();
    }
    static void click(const std::string& wid, int x, int y) {
        ovk_test::x_run("xdotool mousemove --window " + wid + " " + std::to_string(x) + " " +
                        std::to_string(y) + " click 1");
    }
    // The colour at (x, y) of the window, read until it is `want` (at most `limit`).
    uint32_t wait_pixel(const std::string& wid, int x, int y, uint32_t want,
                        std::chrono::milliseconds limit = 5s) {
        const std::string png = dir_.file("shot.png");
        const auto until = std::chrono::steady_clock::now() + limit;
        uint32_t got = 0;
        do {
            if (ovk_test::x_screenshot(png, wid)) {
                const auto r = ovk_test::run_command("convert " + png + " -format '%[hex:p{" +
                                                     std::to_string(x) + "," + std::to_string(y) +
                                                     "}]' info:");
                got = 0xFF000000u |
                      static_cast<uint32_t>(std::strtoul(r.out.substr(0, 6).c_str(), nullptr, 16));
            }
            if (got == want) break;
            std::this_thread::sleep_for(100ms);
        } while (std::chrono::steady_clock::now() < until);
        return got;
    }
    void keep_shot(const std::string& name) {
        if (const char* dir = std::getenv("OVK_SHOT_DIR"))
            ovk_test::run_command("cp " + dir_.file("shot.png") + " " + dir + "/" + name + ".png");
    }

    ovk_test::TempDir dir_;
};

// In the 1100 x 820 window at scale 1 the wizard is 720 x 760, centred; its Next button is
// the right half of the bottom row: centre (717, 766).
constexpr int kNextX = 717, kNextY = 766;
constexpr int kNextEdgeX = kNextX - 120;  // inside the button, clear of its text

TEST_F(GuiScreensWindow, TheWizardWalkedToItsEndIsNotOfferedAgain) {
    const OVK_PALETTE pal = ovk_theme_palette(OVK_THEME_SYSTEM);
    const uint32_t accent = ovk_color_argb(pal.primary), bg = ovk_color_argb(pal.bg);
    {
        auto p = start();
        const std::string wid = window();
        ASSERT_FALSE(wid.empty()) << p->err();
        ASSERT_EQ(wait_pixel(wid, kNextEdgeX, kNextY, accent), accent)
            << "the wizard opens by itself";
        keep_shot("window_first_run");
        for (int step = 0; step < 6; ++step) {
            click(wid, kNextX, kNextY);
            std::this_thread::sleep_for(200ms);
        }
        EXPECT_EQ(wait_pixel(wid, 550, 400, bg), bg) << "the wizard closed";
        p->signal(SIGTERM);
        const auto r = p->finish(20);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_NE(ovk_test::read_file(dir_.path() + "/orvik/settings.json")
                  .find("\"setup_wizard_done\":\ttrue"),
              std::string::npos);
    {
        auto p = start();
        const std::string wid = window();
        ASSERT_FALSE(wid.empty()) << p->err();
        ASSERT_EQ(wait_pixel(wid, 550, 400, bg), bg);
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(wait_pixel(wid, kNextEdgeX, kNextY, bg, 0ms), bg)
            << "no wizard on the second run";
        p->signal(SIGTERM);
        EXPECT_EQ(p->finish(20).status, 0);
    }
}

}  // namespace
