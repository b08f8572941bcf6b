// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Scan control as the interface thread sees it: a request returns at once while a real BLE
// reader on a simulated controller that does not answer takes its time to stop; a burst of
// requests ends in the state last asked for; shutdown waits for a start in progress and then
// stops everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ovk_demo.h"
#include "ovk_linux_hci.h"
#include "ovk_pipeline.h"
#include "ovk_test_files.h"
#include "pipeline_env.h"
#include "scan_sink.h"
#include "sim_hci_controller.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int64_t T0 = 1700000000000;
const std::string SCAN_CODED = "BLE hci0: passive scan (extended, LE 1M + Coded)";

OVK_PREFS ble_only() {
    OVK_PREFS p;
    p.wifi_enabled = 0;
    p.gps_tagging = 0;
    p.follower_alerts = 0;
    p.known_alpr_alerts = 0;
    p.retention_days = 0;
    return p;
}

// Moves the simulated clock on in steps until `pred` holds (at most 20 s of real time).
bool advance_until(SimHciController& sim, const std::function<bool()>& pred) {
    const auto until = clock_type::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (clock_type::now() > until) return false;
        sim.advance(500);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The pipeline's radio: one real BLE reader on a simulated controller.
struct Radio {
    std::shared_ptr<SimHciController> sim = std::make_shared<SimHciController>();
    ScanSink sink;
    std::unique_ptr<OVK_HCI_SCANNER> scanner = std::make_unique<OVK_HCI_SCANNER>(sim, sink.sink());

    OVK_PIPELINE_HOOKS hooks() {
        OVK_PIPELINE_HOOKS h;
        h.now_ms = [] { return T0; };
        h.scan_start = [this](const OVK_SCAN_OPTS& o) { return scanner->start(o); };
        h.scan_stop = [this] { scanner->stop(); };
        h.scan_running = [this] { return scanner->running() ? 1 : 0; };
        h.scan_status = [this] { return scanner->status(); };
        return h;
    }
};

// Fast fake radios: counts starts and stops and says whether they run.
struct FakeRadios {
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<bool> on{false};
    // While set, a start waits until `open` is called.
    bool gate = false;
    std::mutex mu;
    std::condition_variable cv;
    bool opened = false;
    bool entered = false;
    std::vector<std::string> calls;

    void open() {
        std::lock_guard<std::mutex> l(mu);
        opened = true;
        cv.notify_all();
    }
    bool wait_entered() {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::seconds(10), [this] { return entered; });
    }
    OVK_PIPELINE_HOOKS hooks() {
        OVK_PIPELINE_HOOKS h;
        h.now_ms = [] { return T0; };
        h.scan_start = [this](const OVK_SCAN_OPTS&) {
            std::unique_lock<std::mutex> l(mu);
            entered = true;
            cv.notify_all();
            if (gate) cv.wait(l, [this] { return opened; });
            calls.push_back("start");
            starts.fetch_add(1);
            on = true;
            return 0;
        };
        h.scan_stop = [this] {
            std::lock_guard<std::mutex> l(mu);
            calls.push_back("stop");
            stops.fetch_add(1);
            on = false;
        };
        h.scan_running = [this] { return on.load() ? 1 : 0; };
        h.scan_status = [] { return std::string("BLE: simulated"); };
        return h;
    }
};

// The radios outlive the pipeline: TearDown shuts it down while they still exist.
class ScanControl : public ::testing::Test {
  protected:
    void TearDown() override { ovk_test::pipeline_down(); }
    ovk_test::TempDir dir_;
    Radio radio_;
    FakeRadios radios_;
};

TEST_F(ScanControl, StopReturnsAtOnceWhileTheControllerDoesNotAnswer) {
    Radio& radio = radio_;
    ovk_test::pipeline_up(dir_.path(), ble_only(), radio.hooks(), T0);
    if (HasFatalFailure()) return;
    std::vector<double> took_ms;
    for (int round = 0; round < 3; ++round) {
        radio.sim->set_silent(OVK_HCI_OCF_EXT_SCAN_ENABLE, false);
        ASSERT_EQ(ovk_scan_start(), 0);
        ASSERT_EQ(ovk_scan_wait_idle(20000), 0);
        ASSERT_TRUE(radio.sink.wait([](const ScanSink& s) {
            return s.last_status() == SCAN_CODED;
        })) << radio.sink.last_status();
        EXPECT_EQ(ovk_pipeline_status().scan_state, OVK_SCAN_RUNNING);

        // From now on the controller leaves "scan off" unanswered: stopping the reader takes
        // until its 2 s command wait runs out, which the simulated clock only allows below.
        radio.sim->set_silent(OVK_HCI_OCF_EXT_SCAN_ENABLE, true);
        const auto t0 = clock_type::now();
        ovk_scan_stop();
        took_ms.push_back(
            std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
        const bool reader_still_runs = radio.scanner->running();
        const OVK_STATUS during = ovk_pipeline_status();
        EXPECT_TRUE(reader_still_runs) << "the call waited for the controller";
        EXPECT_EQ(ovk_scan_is_running(), 0) << "the button shows the request at once";
        EXPECT_EQ(during.scan_state, OVK_SCAN_STOPPING);
        EXPECT_EQ(during.scan_progress, "Stopping...");
        EXPECT_EQ(ovk_scan_wait_idle(0), -2) << "the stop is still under way";

        // Let the command wait run out; once the status says idle, the reader is gone.
        ASSERT_TRUE(advance_until(
            *radio.sim, [] { return ovk_pipeline_status().scan_state == OVK_SCAN_IDLE; }));
        EXPECT_FALSE(radio.scanner->running());
        EXPECT_EQ(radio.scanner->status(), "BLE: stopped");
        EXPECT_EQ(radio.sim->open_sockets(), 0);
        EXPECT_EQ(ovk_scan_wait_idle(0), 0);
        EXPECT_EQ(ovk_pipeline_status().scan_progress, "");
        // The controller never heard "scan off": as if another program turned it off.
        radio.sim->scan_stopped_by_other_app();
        radio.sink.clear();
    }
    std::printf("ovk_scan_stop returned after %.3f, %.3f, %.3f ms\n", took_ms[0], took_ms[1],
                took_ms[2]);
    EXPECT_LT(*std::min_element(took_ms.begin(), took_ms.end()), 5.0);
    EXPECT_LT(*std::max_element(took_ms.begin(), took_ms.end()), 500.0);
}

TEST_F(ScanControl, BurstOfRequestsEndsInTheStateLastAskedFor) {
    FakeRadios& radios = radios_;
    ovk_test::pipeline_up(dir_.path(), ble_only(), radios.hooks(), T0);
    if (HasFatalFailure()) return;
    // The interface polls the status all the while.
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done.load()) {
            (void)ovk_pipeline_status();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::mt19937 rng(14);
    for (int burst = 0; burst < 20; ++burst) {
        bool want = ovk_scan_is_running() != 0;
        for (int i = 0; i < 50; ++i) {
            switch (rng() % 3) {
                case 0:
                    ovk_scan_start();
                    want = true;
                    break;
                case 1:
                    ovk_scan_stop();
                    want = false;
                    break;
                default:
                    ovk_scan_refresh();
                    break;
            }
            ASSERT_EQ(ovk_scan_is_running(), want ? 1 : 0) << "burst " << burst << " #" << i;
        }
        ASSERT_EQ(ovk_scan_wait_idle(20000), 0);
        const OVK_STATUS s = ovk_pipeline_status();
        EXPECT_EQ(s.running, want ? 1 : 0) << "burst " << burst;
        EXPECT_EQ(s.scan_state, want ? OVK_SCAN_RUNNING : OVK_SCAN_IDLE) << "burst " << burst;
        EXPECT_EQ(radios.on.load(), want) << "burst " << burst;
    }
    done = true;
    poller.join();
    EXPECT_GT(radios.starts.load(), 0);
    EXPECT_GT(radios.stops.load(), 0);
}

TEST_F(ScanControl, ShutdownWaitsForAStartUnderWayThenStopsEverything) {
    FakeRadios& radios = radios_;
    radios.gate = true;
    OVK_PREFS p = ble_only();
    ovk_test::pipeline_up(dir_.path(), p, radios.hooks(), T0);
    if (HasFatalFailure()) return;
    ASSERT_EQ(ovk_scan_start(), 0);
    ASSERT_TRUE(radios.wait_entered());
    EXPECT_EQ(ovk_pipeline_status().scan_state, OVK_SCAN_STARTING);
    EXPECT_EQ(ovk_pipeline_status().scan_progress, "Starting...");
    ovk_scan_refresh();  // dropped by the shutdown: it never runs

    auto shutdown = std::async(std::launch::async, [] { ovk_pipeline_shutdown(); });
    EXPECT_EQ(shutdown.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "shutdown must not leave a start half done behind it";
    radios.open();
    ASSERT_EQ(shutdown.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_FALSE(radios.on.load());
    EXPECT_EQ(ovk_scan_is_running(), 0);
    EXPECT_EQ(ovk_scan_start(), -1) << "no request after shutdown";
    std::lock_guard<std::mutex> l(radios.mu);
    EXPECT_EQ(radios.calls, (std::vector<std::string>{"start", "stop"}));
}

}  // namespace
