// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen's costs:
//   - one refresh (registry snapshot, status, filter, search, sort, tally), as the worker does
//     it, at 2,000, 10,000 and 100,000 devices, and its two big parts on their own;
//   - the interface thread's work per tick (the frame's update with the main screen's swap-in)
//     while the worker keeps refreshing, at the same sizes;
//   - one frame of the list view and of the radar view under a private Xvfb (software OpenGL)
//     at 1100 by 820, with 200 and with 2,000 devices.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_gui.h"
#include "ovk_gui_main.h"
#include "ovk_registry.h"

namespace {

// The registry holding `n` devices heard in the last minute: BLE and Wi-Fi, named and not,
// one in twenty with a verdict.
void fill_registry(int n) {
    static int filled = -1;
    if (filled == n) return;
    ovk_registry_init();
    ovk_registry_clear();
    std::mt19937 rng(1);
    const int64_t now = ovk_now_ms();
    const OVK_CATEGORY cats[] = {OVK_CAT_ALPR, OVK_CAT_TRACKER, OVK_CAT_DRONE, OVK_CAT_BODY_CAM};
    for (int i = 0; i < n; ++i) {
        OVK_ADVERT a;
        char mac[18];
        snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<int>(rng() & 0xFF),
                 static_cast<int>(rng() & 0xFF), static_cast<int>(rng() & 0xFF),
                 static_cast<int>(rng() & 0xFF), (i >> 8) & 0xFF, i & 0xFF);
        a.mac = mac;
        a.source = i % 4 ? OVK_SRC_BLE : OVK_SRC_WIFI;
        a.rssi = -35 - static_cast<int>(rng() % 65);
        a.addr_type = i % 4 ? OVK_ADDR_RANDOM_STATIC : OVK_ADDR_WIFI_GLOBAL;
        if (i % 3 == 0) a.name = "Device " + std::to_string(i);
        OVK_HITS hits;
        if (i % 20 == 0)
            hits.push_back(ovk_hit_make(cats[(i / 20) % 4],
                                        "Flagged equipment " + std::to_string(i), 40 + i % 60,
                                        "bench", "evidence"));
        OVK_IDENTITY id;
        id.type = a.source == OVK_SRC_WIFI ? "WiFi access point" : "Bluetooth device";
        ovk_registry_report(a, hits, &id, i % 2 ? "Vendor Inc." : "", nullptr, nullptr,
                            now - static_cast<int64_t>(rng() % 60000));
    }
    filled = n;
}

void BM_MainRefresh(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    size_t shown = 0;
    for (auto _ : state) {
        OVK_MAIN_VIEW v = ovk_main_make_view(OVK_FILTER_ALL, "", ovk_now_ms());
        shown = v.visible.size();
        benchmark::DoNotOptimize(v);
    }
    state.counters["devices"] = static_cast<double>(shown);
}
BENCHMARK(BM_MainRefresh)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

void BM_MainSnapshotOnly(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(ovk_registry_snapshot(ovk_now_ms()));
}
BENCHMARK(BM_MainSnapshotOnly)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

// Filter, search and sort of a snapshot already taken; the search looks through all five
// fields of every device.
void BM_MainFilterSortSearch(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    const OVK_DEVICE_LIST l = ovk_registry_snapshot(ovk_now_ms());
    for (auto _ : state) {
        benchmark::DoNotOptimize(ovk_list_visible(l, OVK_FILTER_ALL, ""));
        benchmark::DoNotOptimize(ovk_list_visible(l, OVK_FILTER_ALL, "equipment 1"));
    }
}
BENCHMARK(BM_MainFilterSortSearch)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

// The interface on a display of its own, the main screen's first view in.
struct WINDOW : ovk_bench::GUI_WINDOW {
    explicit WINDOW(bool radar) {
        OVK_PREFS p = ovk_bench::window_prefs(OVK_THEME_DARK);
        p.radar_view = radar ? 1 : 0;
        p.radar_names = 1;
        if (open(&p)) {
            ovk_main_refresh(&g);
            ovk_main_settle(&g, 30000);
        }
    }
};

// The interface thread's tick: 90 ticks at 30 a second (a refresh every half second, the
// worker's views swapped in as they come), each timed; the counters give the mean, the
// largest and how many views came in.
void BM_MainTick(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    WINDOW w(false);
    if (!w.ok) return state.SkipWithError("no window");
    for (auto _ : state) {
        double total = 0, worst = 0;
        int views = 0;
        for (int i = 0; i < 90; ++i) {
            const OVK_DEVICE* before = w.g.devices.data();
            const double t0 = al_get_time();
            ovk_gui_update(&w.g);
            const double dt = al_get_time() - t0;
            total += dt;
            worst = std::max(worst, dt);
            views += w.g.devices.data() != before;
            al_rest(1.0 / 30 - std::min(dt, 1.0 / 30));
        }
        state.SetIterationTime(total / 90);
        state.counters["max_ms"] = worst * 1000;
        state.counters["views"] = views;
    }
}
BENCHMARK(BM_MainTick)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// One frame of the main screen, drawn and flipped: arg 0 the list, 1 the radar.
void BM_MainFrame(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(1)));
    const bool radar = state.range(0) == 1;
    WINDOW w(radar);
    if (!w.ok) return state.SkipWithError("no window");
    state.SetLabel(radar ? "radar" : "list");
    double t = 100;
    for (auto _ : state) {
        w.g.now_s = t += 1.0 / 30;
        w.frame();
    }
    state.counters["drawn"] = radar ? static_cast<double>(w.g.radar_hits.size()) : 0;
}
BENCHMARK(BM_MainFrame)
    ->Args({0, 200})
    ->Args({1, 200})
    ->Args({0, 2000})
    ->Args({1, 2000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
