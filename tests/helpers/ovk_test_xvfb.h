// SPDX-License-Identifier: GPL-3.0-or-later
// A private X server for window tests. The first call to xvfb_start() launches Xvfb on a
// free display (it picks the number itself, -displayfd), with one 1280x1024 screen of 24
// bits, sets DISPLAY for this process and stops the server when the process ends. Tests
// run in parallel, each test program with its own server.
//
// The X server is stopped after everything registered with atexit() later (Allegro's own
// shutdown among them), so that no X client of this process outlives it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ovk_test_program.h"

namespace ovk_test {

struct XvfbState {
    bool installed = false;  // an Xvfb program is on PATH
    bool running = false;
    std::string display;  // ":N"
    std::string error;    // why it is not running
};

const XvfbState& xvfb_start();

// A shell command with this process's DISPLAY, ended after `timeout_s` seconds.
CommandResult x_run(const std::string& cmd, int timeout_s = 10);
// Waits until a window whose name matches `name` (xdotool search --name) is mapped; its id.
bool x_wait_window(const std::string& name, int timeout_ms, std::string* window_id = nullptr);
// Saves the root window (or the window of the given id) as an image file (ImageMagick).
bool x_screenshot(const std::string& path, const std::string& window_id = "root");
// Puts text on a selection ("clipboard" or "primary") with xclip, which then owns it.
bool xclip_set(const std::string& text, const std::string& selection = "clipboard");
// What the owner of a selection hands out, through xclip; rc 0 when it answered.
CommandResult xclip_get(const std::string& selection = "clipboard");

}  // namespace ovk_test

// Skips the test when Xvfb is not installed; fails it when the server will not start.
#define OVK_REQUIRE_XVFB()                                                               \
    do {                                                                                 \
        const ::ovk_test::XvfbState& xvfb_state_ = ::ovk_test::xvfb_start();             \
        if (!xvfb_state_.installed) GTEST_SKIP() << "Xvfb is not installed (make deps)"; \
        ASSERT_TRUE(xvfb_state_.running) << xvfb_state_.error;                           \
    } while (0)
