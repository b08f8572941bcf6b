// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded window
// The system clipboard against other programs on a private Xvfb: text both ways through
// xclip, Latin-1 for programs that ask for it, large texts, refused absurd ones, and an
// owner that never answers.
#include <X11/Xlib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "ovk_test_xvfb.h"
#include "zq_gui.h"

namespace {

TEST(ZqClipboard, TextGoesBothWaysBetweenOrvikAndOtherPrograms) {
    OVK_REQUIRE_XVFB();
    ASSERT_EQ(zq_clipboard_available(), 1);

    ASSERT_EQ(zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, "Orvik report ✓ 00:11:22:33:44:55"), 0);
    EXPECT_EQ(ovk_test::xclip_get().out, "Orvik report ✓ 00:11:22:33:44:55");
    // What the owner offers, and the text for programs that only take Latin-1.
    const std::string targets =
        ovk_test::x_run("xclip -o -selection clipboard -t TARGETS 2>/dev/null", 5).out;
    EXPECT_NE(targets.find("UTF8_STRING"), std::string::npos) << targets;
    EXPECT_NE(targets.find("STRING"), std::string::npos) << targets;
    ASSERT_EQ(zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, "Grüße ✓"), 0);
    EXPECT_EQ(
        ovk_test::x_run("xclip -o -selection clipboard -t STRING 2>/dev/null | od -An -tx1", 5)
            .out.find("47 72 fc df 65 20 3f"),
        1u);

    // Another program's text, UTF-8 or Latin-1 only.
    ASSERT_TRUE(ovk_test::xclip_set("from another program ✓"));
    EXPECT_EQ(zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD), "from another program ✓");
    ASSERT_EQ(ovk_test::x_run("printf 'caf\\351' | xclip -i -selection clipboard -t STRING "
                              ">/dev/null 2>&1",
                              5)
                  .rc,
              0);
    std::string got;
    for (int i = 0; i < 50 && got != "café"; ++i) got = zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD);
    EXPECT_EQ(got, "café");

    // A megabyte goes out whole; what other programs send in one piece comes in whole.
    std::string big;
    for (int i = 0; big.size() < (1u << 20); ++i) big += "line " + std::to_string(i) + " ☕\n";
    ASSERT_EQ(zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, big), 0);
    EXPECT_EQ(ovk_test::x_run("xclip -o -selection clipboard | wc -c", 20).out,
              std::to_string(big.size()) + "\n");
    for (size_t n : {size_t{64} << 10, size_t{200} << 10}) {
        const std::string part = big.substr(0, n);
        ASSERT_TRUE(ovk_test::xclip_set(part));
        const std::string in = zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD);
        EXPECT_TRUE(in == part) << n << " bytes sent, " << in.size() << " received";
    }

    // Absurd sizes are refused; what the clipboard held before stays.
    ASSERT_EQ(zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, "kept"), 0);
    EXPECT_EQ(zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, std::string(9u << 20, 'x')), -1);
    EXPECT_EQ(ovk_test::xclip_get().out, "kept");
    EXPECT_EQ(zq_clipboard_set(7, "no such selection"), -1);
    EXPECT_EQ(zq_clipboard_get(7), "");
}

// xclip sends a text of several megabytes in pieces (INCR): it comes in whole, and xclip,
// told to serve one paste only, is done and gone afterwards.
TEST(ZqClipboard, LargeTextsInPiecesComeInWholeAndTheOwnerIsReleased) {
    OVK_REQUIRE_XVFB();
    ASSERT_EQ(zq_clipboard_available(), 1);
    std::string big = "[\n";
    for (int i = 0; big.size() < (10u << 20); ++i)
        big += R"({"prefix":"00:11:22:)" + std::to_string(i % 100) + R"(","label":"rule )" +
               std::to_string(i) + " ☕\"},\n";
    const std::string file = testing::TempDir() + "clip_big_" + std::to_string(getpid());
    {
        std::ofstream out(file, std::ios::binary);
        out << big;
    }
    const std::string pid_file = file + ".pid";
    ASSERT_EQ(ovk_test::x_run("xclip -loops 1 -i -selection clipboard < " + file +
                                  " > /dev/null 2>&1 & echo $! > " + pid_file,
                              10)
                  .rc,
              0);
    const int xclip = std::stoi(ovk_test::x_run("cat " + pid_file, 5).out);
    // Until xclip owns the selection, a get sees the one before.
    std::string got;
    for (int i = 0; i < 100 && got.size() < big.size(); ++i) {
        got = zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD);
        if (got.size() < big.size()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = kill(xclip, 0) != 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "xclip still waits to finish its transfer";
    if (!gone) kill(xclip, SIGKILL);
    std::remove(file.c_str());
    std::remove(pid_file.c_str());
}

TEST(ZqClipboard, AnOwnerThatNeverAnswersDoesNotHoldTheProgramUp) {
    OVK_REQUIRE_XVFB();
    ASSERT_EQ(zq_clipboard_available(), 1);
    // A client that takes the selection and then never reads its events.
    Display* dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    const Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(dpy, XInternAtom(dpy, "CLIPBOARD", False), w, CurrentTime);
    XSync(dpy, False);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD), "");
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, std::chrono::seconds(3)) << "the wait for the owner is bounded";

    // The clipboard still works afterwards, for both directions.
    XDestroyWindow(dpy, w);
    XCloseDisplay(dpy);
    ASSERT_TRUE(ovk_test::xclip_set("after the silent owner"));
    EXPECT_EQ(zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD), "after the silent owner");
    ASSERT_EQ(zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, "ours again"), 0);
    EXPECT_EQ(ovk_test::xclip_get().out, "ours again");
}

}  // namespace
