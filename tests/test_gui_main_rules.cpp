// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The main screen's refresh without a window: one refresh's work against the real registry,
// and views made by the screen's worker while the registry changes underneath.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_classify_io.h"
#include "ovk_gui_main.h"
#include "ovk_gui_port.h"
#include "ovk_pipeline.h"
#include "ovk_registry.h"
#include "ovk_replay.h"
#include "ovk_test_files.h"

namespace {

OVK_HIT hit_of(OVK_CATEGORY c, int confidence, const char* label = "Match") {
    return ovk_hit_make(c, label, confidence, "test", "evidence");
}

template <class LIST>
std::vector<std::string> macs(const LIST& l, const std::vector<int>& idx) {
    std::vector<std::string> out;
    for (int i : idx) out.push_back(l[static_cast<size_t>(i)].mac);
    return out;
}

// One refresh against the real registry: stale devices go, the rest are filtered, sorted
// and counted; the snapshot's time is the one given. (The status in it counts at the
// pipeline's own clock, the wall clock here, so the times are recent ones.)
TEST(MainRules, OneRefreshTakesTheRegistryAsItWasAtThatTime) {
    ASSERT_EQ(ovk_registry_init(), 0);
    EXPECT_NEAR(static_cast<double>(ovk_main_now_ms()), static_cast<double>(ovk_now_ms()), 1000)
        << "without a replay the screen's time is the wall clock";
    const int64_t t0 = ovk_now_ms() - 180000;
    ovk_registry_start_session(t0);
    auto report = [](const char* mac, int rssi, int64_t now, OVK_HITS hits = {}) {
        OVK_ADVERT a;
        a.mac = mac;
        a.rssi = rssi;
        a.addr_type = OVK_ADDR_PUBLIC;
        ovk_registry_report(a, hits, nullptr, "", nullptr, nullptr, now);
    };
    report("00:00:00:00:00:01", -50, t0);  // stale by the snapshot
    report("00:00:00:00:00:02", -50, t0 + 100000);
    report("00:00:00:00:00:03", -90, t0 + 100000, {hit_of(OVK_CAT_ALPR, 70, "Camera")});
    report("00:00:00:00:00:04", -40, t0 + 100000, {hit_of(OVK_CAT_ALPR, 90, "Camera")});

    const OVK_MAIN_VIEW v = ovk_main_make_view(OVK_FILTER_ALL, "", t0 + 180001);
    EXPECT_EQ(v.now_ms, t0 + 180001);
    ASSERT_EQ(v.devices.size(), 3u);
    EXPECT_EQ(
        macs(v.devices, v.visible),
        (std::vector<std::string>{"00:00:00:00:00:04", "00:00:00:00:00:03", "00:00:00:00:00:02"}));
    EXPECT_EQ(v.tally.flagged, 2);
    EXPECT_EQ(v.devices[static_cast<size_t>(v.tally.top)].mac, "00:00:00:00:00:04");

    const OVK_MAIN_VIEW f = ovk_main_make_view(OVK_FILTER_FLAGGED, " 03", t0 + 180001);
    EXPECT_EQ(f.filter, OVK_FILTER_FLAGGED);
    EXPECT_EQ(f.query, " 03");
    EXPECT_EQ(macs(f.devices, f.visible), std::vector<std::string>{"00:00:00:00:00:03"});
    EXPECT_EQ(f.tally.flagged, 2) << "the tally is over the whole snapshot";
    ovk_registry_shutdown();
}

// During a replay the registry's times are the recording's: the screen's refresh takes its
// snapshot at the replay's clock, so that a drive recorded last year keeps its devices (at
// the wall clock every one of them would be stale and dropped from the registry).
TEST(MainRules, DuringAReplayTheRefreshKeepsTheRecordingsDevices) {
    ASSERT_EQ(ovk_registry_init(), 0);
    ovk_registry_clear();
    ovk_test::TempDir dir;
    const int64_t t0 = 1600000000000;  // September 2020
    std::string text;
    for (int i = 0; i < 3; ++i) {
        auto a = ovk_advert_new_ble("00:11:22:33:44:5" + std::to_string(i), -60, {},
                                    OVK_ADDR_PUBLIC, 1, "", "", t0 + 100 * i);
        text += ovk_classify_format(*a) + "\n";
    }
    ovk_test::write_file(dir.file("drive.jsonl"), text);
    // The pipeline runs on the replay's clock as the program sets it up for a replay.
    OVK_PIPELINE_HOOKS hooks;
    hooks.now_ms = [] { return ovk_replay_clock(); };
    ovk_pipeline_set_hooks(hooks);
    OVK_SINK sink;
    sink.on_advert = [](OVK_ADVERT_PTR a) {
        ovk_registry_report(*a, {}, nullptr, "", nullptr, nullptr, a->timestamp);
    };
    OVK_REPLAY_OPTS o;
    o.path = dir.file("drive.jsonl");
    o.speed = 0;
    ASSERT_EQ(ovk_replay_start(o, sink), 0);
    for (int i = 0; i < 500 && !ovk_replay_finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ovk_replay_finished());
    EXPECT_LT(ovk_main_now_ms(), t0 + 60000) << "the recording's time, not today's";
    const OVK_MAIN_VIEW v = ovk_main_make_view(OVK_FILTER_ALL, "", ovk_main_now_ms());
    EXPECT_EQ(v.visible.size(), 3u);
    EXPECT_EQ(ovk_registry_count(), 3);
    ovk_replay_stop();
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
    ovk_registry_shutdown();
}

// The worker makes views while another thread floods the registry and the interface thread
// changes the filter and the search: every view put in place was made for the filter and
// search chosen at that moment, indexes stay inside their snapshot, and once the flood stops
// a settled view holds every device.
TEST(MainRules, WorkerViewsAlwaysMatchTheChosenFilterDuringAFlood) {
    ASSERT_EQ(ovk_registry_init(), 0);
    ovk_registry_clear();
    std::atomic<bool> stop{false};
    std::atomic<int> reported{0};
    std::thread flood([&] {
        for (int i = 0; i < 6000 && !stop; ++i) {
            OVK_ADVERT a;
            char mac[18];
            snprintf(mac, sizeof mac, "%02X:00:00:%02X:%02X:%02X", (i % 2) ? 0xAA : 0xBB,
                     (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
            a.mac = mac;
            a.rssi = -40 - i % 60;
            a.source = (i % 3) ? OVK_SRC_BLE : OVK_SRC_WIFI;
            a.addr_type = OVK_ADDR_PUBLIC;
            OVK_HITS hits;
            if (i % 50 == 0) hits.push_back(hit_of(OVK_CAT_ALPR, 70, "Camera"));
            ovk_registry_report(a, hits, nullptr, "", nullptr, nullptr, ovk_now_ms());
            reported = i + 1;
            if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });
    struct JOIN {
        std::thread& t;
        std::atomic<bool>& stop;
        ~JOIN() {
            stop = true;
            if (t.joinable()) t.join();
        }
    } join{flood, stop};
    OVK_GUI g;  // no window: the engine port's part and the swap only
    const OVK_FILTER filters[] = {OVK_FILTER_ALL, OVK_FILTER_FLAGGED, OVK_FILTER_WIFI,
                                  OVK_FILTER_BLE};
    const char* queries[] = {"", "aa:", " BB:00 ", "zz"};
    int checked = 0;
    // On a slow machine (TSan, a busy CI) the flood may end before the first new view is in
    // place: go on changing the filter until some views have been checked.
    for (int round = 0; (reported < 6000 || checked == 0) && round < 20000; ++round) {
        if (round % 40 == 0) {
            ovk_main_state().filter = filters[(round / 40) % 4];
            ovk_main_state().query = queries[(round / 120) % 4];
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        const OVK_DEVICE_REFS::PTR* before = g.devices.refs().data();
        ovk_port_tick(&g);  // as the frame's tick: what the engine port finished, in place
        ovk_main_refresh(&g);
        // Until a new view comes the one in place stays; a new one must fit what is chosen.
        if (g.devices.refs().data() == before) continue;
        const std::string search = ovk_list_search_text(ovk_main_state().query);
        for (int idx : ovk_main_state().visible) {
            ASSERT_GE(idx, 0);
            ASSERT_LT(static_cast<size_t>(idx), g.devices.size());
            ASSERT_TRUE(ovk_list_keeps(g.devices[static_cast<size_t>(idx)], ovk_main_state().filter,
                                       search))
                << "a view made for another filter or search was put in place";
            ++checked;
        }
    }
    flood.join();
    EXPECT_GT(checked, 0);
    ovk_main_state().filter = OVK_FILTER_ALL;
    ovk_main_state().query.clear();
    ovk_main_refresh(&g);
    ASSERT_TRUE(ovk_main_settle(&g, 10000));
    EXPECT_EQ(g.devices.size(), 6000u);
    EXPECT_EQ(ovk_main_state().visible.size(), 6000u);
    EXPECT_TRUE(ovk_device_flagged(g.devices[static_cast<size_t>(ovk_main_state().visible[0])]));
    ovk_main_shutdown(&g);
    ovk_port_stop(&g);  // as the frame does after its screens
    ovk_registry_shutdown();
}

}  // namespace
