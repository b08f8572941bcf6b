// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The engine port without a window: views too big to copy are taken out whole, and whatever
// the interface is done with (a view replaced by a newer one, a view taken and handed back) is
// freed on the port's worker, never on the interface thread; a quiet view arrives without
// waking the screens; a screen that asks for its view on every refresh does not keep the worker
// remaking it without end; changes still queued when the window closes are made.
#include <allegro5/allegro.h>
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ovk_gui.h"
#include "ovk_gui_port.h"
#include "ovk_prefs.h"

namespace {

// Notes the thread that frees it.
struct TRACER {
    explicit TRACER(int n) : n(n) {}
    ~TRACER() {
        std::lock_guard lk(mu());
        freed().push_back({n, std::this_thread::get_id()});
    }
    int n;
    struct FREED {
        int n;
        std::thread::id on;
    };
    static std::mutex& mu() {
        static std::mutex m;
        return m;
    }
    static std::vector<FREED>& freed() {
        static std::vector<FREED> v;
        return v;
    }
    // The thread that freed tracer `n`, if it was freed.
    static std::optional<std::thread::id> freed_on(int n) {
        std::lock_guard lk(mu());
        for (const FREED& f : freed())
            if (f.n == n) return f.on;
        return std::nullopt;
    }
};
using TRACER_PTR = std::shared_ptr<TRACER>;

class Port : public ::testing::Test {
  protected:
    void TearDown() override { ovk_port_stop(&g_); }

    void ask(int n, bool quiet = false) {
        ovk_port_ask(
            &g_, "tracer", [n] { return std::any(std::make_shared<TRACER>(n)); }, quiet);
    }
    // Ticks (as the frame does) until the view's serial moves, at most 5 s; whether any of
    // those ticks said something arrived.
    bool tick_until_new(uint64_t since) {
        bool woke = false;
        for (int i = 0; i < 2500 && ovk_port_serial(&g_, "tracer") == since; ++i) {
            woke = ovk_port_tick(&g_) || woke;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_NE(ovk_port_serial(&g_, "tracer"), since) << "the view arrived";
        return woke;
    }
    // Waits up to 5 s until tracer `n` is freed; the thread that freed it.
    static std::optional<std::thread::id> wait_freed(int n) {
        for (int i = 0; i < 2500 && !TRACER::freed_on(n); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return TRACER::freed_on(n);
    }

    OVK_GUI g_;
};

TEST_F(Port, WhatTheInterfaceIsDoneWithIsFreedOnTheWorker) {
    const std::thread::id here = std::this_thread::get_id();
    ask(1);
    tick_until_new(0);
    const uint64_t first = ovk_port_serial(&g_, "tracer");
    ASSERT_NE(std::any_cast<TRACER_PTR>(ovk_port_view(&g_, "tracer")), nullptr);

    // A newer view replaces it: the old one is freed, but not by the tick.
    ask(2);
    tick_until_new(first);
    const auto one = wait_freed(1);
    ASSERT_TRUE(one) << "the replaced view is freed";
    EXPECT_NE(*one, here) << "the replaced view was freed on the interface thread";

    // Taken out whole: the port then holds nothing under the name, the serial stays.
    const uint64_t second = ovk_port_serial(&g_, "tracer");
    std::any taken = ovk_port_take(&g_, "tracer");
    const TRACER_PTR* t = std::any_cast<TRACER_PTR>(&taken);
    ASSERT_TRUE(t && *t);
    EXPECT_EQ((*t)->n, 2);
    EXPECT_EQ(ovk_port_serial(&g_, "tracer"), second);
    EXPECT_EQ(std::any_cast<TRACER_PTR>(ovk_port_view(&g_, "tracer")), nullptr);
    EXPECT_FALSE(ovk_port_take(&g_, "tracer").has_value()) << "taken only once";

    // Handed back when done with: freed on the worker too.
    ovk_port_discard(&g_, std::move(taken));
    taken.reset();
    const auto two = wait_freed(2);
    ASSERT_TRUE(two) << "the view handed back is freed";
    EXPECT_NE(*two, here) << "the view handed back was freed on the interface thread";
}

TEST_F(Port, AQuietViewArrivesWithoutWakingTheScreens) {
    ask(10, true);
    EXPECT_FALSE(tick_until_new(0)) << "a quiet view woke the screens";
    ask(11);
    EXPECT_TRUE(tick_until_new(ovk_port_serial(&g_, "tracer"))) << "a view wakes the screens";
}

// The frame refreshes the screens every half second and when something arrives. A screen
// that asks for its view on each refresh gets it made about twice a refresh, not on every
// tick (each arrival asking for the next).
std::atomic<int> g_made{0};
void asks_on_each_refresh(OVK_GUI* g) {
    ovk_port_ask(g, "every-refresh", [] {
        ++g_made;
        return std::any(g_made.load());
    });
}

TEST_F(Port, AScreenAskingOnEachRefreshIsNotServedWithoutEnd) {
    ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));  // the frame's clock
    ovk_gui_set_frame_only(true);
    ovk_gui_set_test_screens({{-1, nullptr, asks_on_each_refresh, nullptr, nullptr, nullptr}});
    g_.prefs_serial = ovk_prefs_serial();
    g_.prefs = ovk_prefs_get();
    // Two seconds of ticks at 30 a second, as the event loop gives them.
    for (int i = 0; i < 60; ++i) {
        ovk_gui_update(&g_);
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
    ovk_gui_set_test_screens({});
    ovk_gui_set_frame_only(false);
    ovk_port_stop(&g_);
    al_uninstall_system();
    const int made = g_made.load();
    EXPECT_GE(made, 3) << "the view is still made again on the half-second refresh";
    EXPECT_LE(made, 12) << "the view was made on nearly every tick";
}

}  // namespace

// The window closes while the worker is still busy with one change and another waits behind
// it (a whitelisting clicked just before closing, say): both are made before the worker
// ends. The waiting one used to be dropped.
TEST_F(Port, ChangesStillQueuedWhenTheWindowClosesAreMade) {
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    std::atomic<bool> started{false}, first{false}, second{false};
    ovk_port_post(&g_, [go, &started, &first] {
        started = true;
        go.wait_for(std::chrono::seconds(10));
        first = true;
        return std::string("first");
    });
    for (int i = 0; i < 2500 && !started; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(started);
    ovk_port_post(&g_, [&second] {
        second = true;
        return std::string("second");
    });
    std::thread closing([this] { ovk_port_stop(&g_); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the stop is asked first
    release.set_value();
    closing.join();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second) << "a change still queued was dropped";
    EXPECT_FALSE(ovk_port_tick(&g_)) << "nobody is left to hear of them";
}
