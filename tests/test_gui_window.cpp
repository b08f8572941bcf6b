// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The orvik window on a private X server, used as a person would: it opens titled "Orvik" at
// its size, shows demo alerts as toasts, follows a resize, quits from the window manager's
// close request on a desktop (not on a touch screen) and on SIGTERM, and leaves data files
// that load.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "ovk_app_util.h"
#include "ovk_category.h"
#include "ovk_gui.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_test_xvfb.h"

namespace {

using namespace std::chrono_literals;

const std::string kOrvik = std::string(OVK_BINARY_DIR) + "/orvik";

class GuiWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        OVK_REQUIRE_XVFB();
        ASSERT_TRUE(ovk_test::file_exists(kOrvik)) << "build the orvik target first";
    }

    // A user who has been through the setup wizard: it does not cover the main area.
    void setup_done() {
        ASSERT_EQ(ovk_mkdirs(dir_.path() + "/orvik"), 0);
        ovk_test::write_file(dir_.path() + "/orvik/settings.json", "{\"setup_wizard_done\": true}");
    }

    ovk_test::ProgramLaunch launch(std::vector<std::string> args,
                                   std::vector<std::string> env = {}) {
        ovk_test::ProgramLaunch l;
        l.exe = kOrvik;
        l.args = std::move(args);
        std::vector<std::string> defaults = {
            "XDG_DATA_HOME=" + dir_.path(), "HOME=" + dir_.path(),
            std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets",
            "DISPLAY=" + ovk_test::xvfb_start().display, "OVK_TOUCH=0"};
        for (const std::string& d : defaults) {
            const std::string name = d.substr(0, d.find('=') + 1);
            bool overridden = false;
            for (const std::string& e : env) overridden = overridden || e.rfind(name, 0) == 0;
            if (!overridden) l.env.push_back(d);
        }
        l.env.insert(l.env.end(), env.begin(), env.end());
        l.out_dir = dir_.path();
        return l;
    }

    // The id of the window titled exactly "Orvik", waiting up to 20 s for it; "" if none.
    static std::string find_window() {
        std::string id;
        return ovk_test::x_wait_window("^Orvik$", 20000, &id) ? id : std::string();
    }

    static std::pair<int, int> window_size(const std::string& wid) {
        const auto r = ovk_test::x_run("xwininfo -id " + wid);
        int w = 0, h = 0;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            if (line.find("Width:") != std::string::npos)
                w = std::atoi(line.substr(line.find(':') + 1).c_str());
            if (line.find("Height:") != std::string::npos)
                h = std::atoi(line.substr(line.find(':') + 1).c_str());
        }
        return {w, h};
    }

    static bool screenshot(const std::string& wid, const std::string& png) {
        return ovk_test::x_screenshot(png, wid);
    }

    // The pixel's 0xFFRRGGBB in a stored screenshot.
    static uint32_t pixel(const std::string& png, int x, int y) {
        const auto r =
            ovk_test::run_command("convert " + png + " -format '%[hex:p{" + std::to_string(x) +
                                  "," + std::to_string(y) + "}]' info:");
        return 0xFF000000u |
               static_cast<uint32_t>(std::strtoul(r.out.substr(0, 6).c_str(), nullptr, 16));
    }

    // Screenshots the window into `png` until the pixel reads `want` (at most `limit`); the
    // colour it read last.
    static uint32_t wait_pixel(const std::string& wid, const std::string& png, int x, int y,
                               uint32_t want, std::chrono::milliseconds limit = 5s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        uint32_t got = 0;
        do {
            if (screenshot(wid, png)) got = pixel(png, x, y);
            if (got == want) break;
            std::this_thread::sleep_for(100ms);
        } while (std::chrono::steady_clock::now() < until);
        return got;
    }

    // What a window manager sends when the user clicks the close box.
    static bool send_close_request(const std::string& wid) {
        Display* d = XOpenDisplay(nullptr);
        if (!d) return false;
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = static_cast<Window>(std::stoul(wid));
        ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        ev.xclient.data.l[1] = CurrentTime;
        const Status ok = XSendEvent(d, ev.xclient.window, False, NoEventMask, &ev);
        XFlush(d);
        XCloseDisplay(d);
        return ok != 0;
    }

    static bool wait_exit(ovk_test::RunningProgram& p, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (p.running())
            if (std::chrono::steady_clock::now() > until)
                return false;
            else
                std::this_thread::sleep_for(50ms);
        return true;
    }

    ovk_test::TempDir dir_;
};

TEST_F(GuiWindow, OpensTitledOrvikAtItsSizeAndQuitsFromTheCloseBox) {
    setup_done();
    {
        ovk_test::RunningProgram p(launch({}));
        const std::string wid = find_window();
        ASSERT_FALSE(wid.empty()) << p.err();
        EXPECT_EQ(window_size(wid), std::make_pair(1100, 820));
        // The empty main area in the default theme's background.
        const std::string png = dir_.file("empty.png");
        EXPECT_EQ(wait_pixel(wid, png, 550, 400, 0xFF121416u), 0xFF121416u);
        EXPECT_EQ(pixel(png, 1099, 819), 0xFF121416u);
        ASSERT_TRUE(send_close_request(wid));
        EXPECT_TRUE(wait_exit(p, 10s)) << "the close box quits on a desktop";
        const auto r = p.finish(5);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    {
        ovk_test::RunningProgram p(launch({"--width", "900", "--height", "700"}));
        const std::string wid = find_window();
        ASSERT_FALSE(wid.empty()) << p.err();
        EXPECT_EQ(window_size(wid), std::make_pair(900, 700));
        p.signal(SIGINT);
        const auto r = p.finish(20);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(GuiWindow, OnATouchScreenTheCloseRequestDoesNotQuit) {
    ovk_test::RunningProgram p(launch({}, {"OVK_TOUCH=1"}));
    const std::string wid = find_window();
    ASSERT_FALSE(wid.empty()) << p.err();
    ASSERT_TRUE(send_close_request(wid));
    EXPECT_FALSE(wait_exit(p, 2s)) << "a stray close must not end the program on a phone";
    p.signal(SIGTERM);
    const auto r = p.finish(20);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(GuiWindow, ResizeRebuildsForTheNewSize) {
    setup_done();
    ovk_test::RunningProgram p(launch({"-v", "7", "--width", "900", "--height", "700"}));
    const std::string wid = find_window();
    ASSERT_FALSE(wid.empty()) << p.err();
    // As a person would: once the window shows.
    const std::string png = dir_.file("resized.png");
    ASSERT_EQ(wait_pixel(wid, png, 899, 699, 0xFF121416u), 0xFF121416u);
    ASSERT_EQ(ovk_test::x_run("xdotool windowsize " + wid + " 1200 900").rc, 0);
    bool rebuilt = false;
    for (int i = 0; i < 100 && !rebuilt; ++i) {
        std::this_thread::sleep_for(50ms);
        rebuilt = p.err().find("interface rebuilt for 1200x900") != std::string::npos;
    }
    EXPECT_TRUE(rebuilt) << p.err();
    EXPECT_EQ(window_size(wid), std::make_pair(1200, 900));
    EXPECT_EQ(wait_pixel(wid, png, 1199, 899, 0xFF121416u), 0xFF121416u)
        << "the whole new area is drawn";
    p.signal(SIGTERM);
    const auto r = p.finish(20);
    EXPECT_EQ(r.status, 0) << r.err;
}

// The demo's first alerts come up as toasts; SIGTERM then ends the program through the
// ordered shutdown, and what it wrote loads.
TEST_F(GuiWindow, DemoAlertBecomesAToastAndSigtermKeepsTheData) {
    setup_done();
    ovk_test::RunningProgram p(launch({"--demo"}));
    const std::string wid = find_window();
    ASSERT_FALSE(wid.empty()) << p.err();

    // A notice's fill: its category's colour (or a follower's red), darkened as far as its
    // white letters need.
    OVK_GUI look;
    look.pal = ovk_theme_palette(OVK_THEME_SYSTEM);
    std::set<uint32_t> alert_colours;
    const auto fill = [&look](uint32_t argb) {
        return ovk_color_argb(ovk_theme_fill(&look, ovk_argb(argb)));
    };
    alert_colours.insert(fill(0xFFB3261Eu));
    for (int c = 0; c < OVK_CAT_COUNT; ++c) alert_colours.insert(fill(ovk_cat_color(c)));
    const std::string png = dir_.file("toast.png");
    uint32_t seen = 0;
    const auto until = std::chrono::steady_clock::now() + 40s;
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(500ms);
        if (!screenshot(wid, png)) continue;
        const uint32_t c = pixel(png, 550, 809);  // just inside the newest toast's bottom edge
        if (alert_colours.count(c)) {
            seen = c;
            break;
        }
    }
    EXPECT_NE(seen, 0u) << "no alert toast within 40 s; stderr:\n" << p.err();
    EXPECT_EQ(alert_colours.count(pixel(png, 550, 19)), 0u) << "toasts keep clear of the header";
    if (const char* keep = std::getenv("OVK_SHOT_DIR"))
        ovk_test::run_command("cp " + png + " " + std::string(keep) + "/window_toast.png");

    std::this_thread::sleep_for(3s);
    p.signal(SIGTERM);
    const auto r = p.finish(30);
    ASSERT_EQ(r.status, 0) << r.err;

    const std::string base = dir_.path() + "/orvik/";
    const std::string log = ovk_test::read_file(base + "detections.jsonl");
    const auto dets = ovk_store_parse_log(log, nullptr);
    EXPECT_FALSE(dets.empty());
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    EXPECT_EQ(dets.size(), lines) << "every log line parses";
    const auto known = ovk_store_parse_known(ovk_test::read_file(base + "known_devices.json"));
    EXPECT_FALSE(known.empty());
    const auto settings = ovk_read_file(base + "settings.json");
    if (settings) {
        EXPECT_TRUE(ovk_json_parse(*settings) != nullptr);
    }
    const auto trips = ovk_read_file(base + "trips/trips.json");
    if (trips) {
        EXPECT_TRUE(ovk_json_parse(*trips) != nullptr);
    }
    EXPECT_FALSE(ovk_test::file_exists(base + "known_devices.json.tmp"));
}

TEST_F(GuiWindow, HelpAndTheFailedStarts) {
    ovk_test::ProgramLaunch l = launch({"--demo", "--help"});
    auto r = ovk_test::run_program(l);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out.rfind("Orvik 0.2.0-trixie - passive BLE / WiFi surveillance-equipment detector\n", 0),
        0u)
        << r.out;
    for (const char* line :
         {"usage: " OVK_BINARY_DIR
          "/orvik [--scan] [--demo] [--shots DIR] [--width W --height H] [-v LEVEL]",
          "\n  --scan        start scanning right away\n",
          "\n  --demo        feed made-up devices instead of the radios\n",
          "\n  --shots DIR   store screenshots: demo tour of the views, one PNG each into DIR, "
          "then quit\n",
          "\n  --width/--height  initial window size (desktop)\n",
          "\n  -v LEVEL      log level: 3 errors .. 7 debug (default 4)\n", "\n  --headless",
          "\n  --duration"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_FALSE(ovk_test::file_exists(dir_.path() + "/orvik")) << "help starts nothing";

    // No X server to open a window on: status 1, and the engine was taken down again.
    l = launch({"--demo"}, {"DISPLAY=:9999"});
    r = ovk_test::run_program(l);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot create a display"), std::string::npos) << r.err;

    // A screenshot tour that cannot start (no directory named) ends the program with
    // status 1.
    l = launch({"--shots", ""});
    l.deadline_s = 30;
    r = ovk_test::run_program(l);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot start the screenshot tour"), std::string::npos) << r.err;
}

}  // namespace
