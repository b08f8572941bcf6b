// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The pipeline under concurrent use: scanner and demo threads submitting while other threads
// poll the status, pop alerts and switch scanning on and off; a flood of submissions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "ovk_demo.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_store.h"

namespace {

constexpr int64_t T0 = 1700000000000;

OVK_PIPELINE_HOOKS quiet_hooks(std::atomic<int>* platform_starts) {
    OVK_PIPELINE_HOOKS h;
    h.scan_start = [platform_starts](const OVK_SCAN_OPTS&) {
        platform_starts->fetch_add(1);
        return 0;
    };
    h.scan_status = [] { return std::string("BLE: simulated"); };
    return h;
}

std::string mac_of(int n, int top) {
    char b[18];
    snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:01", top, (n >> 16) & 0xFF, (n >> 8) & 0xFF,
             n & 0xFF);
    return b;
}

// Runs `f` on its own thread and reports whether it ended within `limit`.
bool ends_within(std::function<void()> f, std::chrono::seconds limit) {
    auto fut = std::async(std::launch::async, std::move(f));
    if (fut.wait_for(limit) != std::future_status::ready) {
        fut.wait();  // let it finish so the process does not end under it
        return false;
    }
    return true;
}

void wait_idle() {
    for (int i = 0; i < 60000 && ovk_pipeline_pending() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(PipelineThreads, StartStopWhileSubmittingPollingAndPopping) {
    std::atomic<int> platform_starts{0};
    ovk_pipeline_set_hooks(quiet_hooks(&platform_starts));
    ovk_prefs_set(OVK_PREFS{});
    ASSERT_EQ(ovk_pipeline_init(), 0);

    std::atomic<bool> stop{false};
    std::atomic<long> submitted{0};
    std::atomic<long> popped{0};
    std::atomic<long> polled{0};
    std::vector<std::thread> threads;
    // Two "scanners": one with a few devices that alert, one with ever-new addresses.
    threads.emplace_back([&] {
        int round = 0;
        while (!stop.load()) {
            ovk_demo_round_at(round++, 0, std::nullopt, [&](OVK_ADVERT_PTR a) {
                ovk_pipeline_submit(std::move(a));
                submitted.fetch_add(1);
            });
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    threads.emplace_back([&] {
        int n = 0;
        while (!stop.load()) {
            ovk_pipeline_submit(ovk_advert_new(mac_of(n++ % 5000, 0x4A), OVK_SRC_BLE, -70, 0));
            submitted.fetch_add(1);
            if (n % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    // The interface: status and alerts.
    threads.emplace_back([&] {
        while (!stop.load()) {
            const OVK_STATUS s = ovk_pipeline_status();
            EXPECT_GE(s.devices, s.flagged);
            polled.fetch_add(1);
            while (ovk_pipeline_pop_alert()) popped.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    // 1000 start/stop cycles, switching between the demo feed and the radios.
    const bool cycles_done = ends_within(
        [] {
            for (int i = 0; i < 1000; ++i) {
                OVK_PREFS p = ovk_prefs_get();
                p.demo_mode = i % 2;
                ovk_prefs_set(p);
                EXPECT_EQ(ovk_scan_start(), 0);
                EXPECT_EQ(ovk_scan_is_running(), 1);
                if (i % 10 == 0) ovk_scan_refresh();
                ovk_scan_stop();
                EXPECT_EQ(ovk_scan_is_running(), 0);
                // Each cycle ends before the next one changes the preferences.
                EXPECT_EQ(ovk_scan_wait_idle(60000), 0);
            }
        },
        std::chrono::seconds(300));
    EXPECT_TRUE(cycles_done) << "start/stop cycles stalled";
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(ovk_demo_running(), 0);
    EXPECT_EQ(platform_starts.load(), 600) << "500 radio starts and 100 re-applies";
    EXPECT_GT(submitted.load(), 0);
    EXPECT_GT(polled.load(), 0);
    EXPECT_GT(popped.load(), 0) << "the demo's Axon camera alerts at least once";

    // Shutdown with work still queued ends, and drops what waits.
    ovk_scan_start();
    for (int i = 0; i < 3000; ++i)
        ovk_pipeline_submit(ovk_advert_new(mac_of(i, 0x4B), OVK_SRC_BLE, -70, 0));
    EXPECT_TRUE(ends_within([] { ovk_pipeline_shutdown(); }, std::chrono::seconds(60)));
    EXPECT_EQ(ovk_pipeline_pending(), 0);
    EXPECT_EQ(ovk_scan_is_running(), 0);
    EXPECT_EQ(ovk_demo_running(), 0);
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
    ovk_registry_clear();
}

TEST(PipelineThreads, FloodKeepsTheNewest5000AndDrains) {
    ovk_prefs_set(OVK_PREFS{});
    ASSERT_EQ(ovk_pipeline_init(), 0);
    ovk_registry_start_session(T0);
    constexpr int kThreads = 4;
    constexpr int kEach = 25000;
    std::atomic<int> max_pending{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &max_pending] {
            for (int i = 0; i < kEach; ++i) {
                ovk_pipeline_submit(
                    ovk_advert_new(mac_of(t * kEach + i, 0x4C), OVK_SRC_BLE, -70, T0 + i));
                if (i % 1000 == 0) {
                    const int p = ovk_pipeline_pending();
                    int m = max_pending.load();
                    while (p > m && !max_pending.compare_exchange_weak(m, p)) {
                    }
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    // The newest submission always survives the flood.
    ovk_pipeline_submit(ovk_advert_new("4D:00:00:00:00:01", OVK_SRC_BLE, -70, T0));
    EXPECT_LE(ovk_pipeline_pending(), OVK_QUEUE_MAX + 1);
    EXPECT_LE(max_pending.load(), OVK_QUEUE_MAX + 1);
    wait_idle();
    EXPECT_EQ(ovk_pipeline_pending(), 0) << "the worker drained the flood";
    EXPECT_TRUE(ovk_registry_get("4D:00:00:00:00:01").has_value());
    const int kept = ovk_registry_count();
    EXPECT_LT(kept, kThreads * kEach) << "the oldest were dropped, not queued without bound";
    EXPECT_GE(kept, OVK_QUEUE_MAX);
    ovk_pipeline_shutdown();
    ovk_registry_clear();
}

}  // namespace
