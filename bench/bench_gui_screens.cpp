// SPDX-License-Identifier: GPL-3.0-or-later
// The traces, match log and history screens with big stores, on a private Xvfb (software
// OpenGL) at 1100 by 820:
//   - opening the match log: every detection copied, filtered and the newest 2000 listed, for
//     2 000, 20 000 and 100 000 logged matches;
//   - a frame with the log open (only the rows in view are drawn) and the half-second refresh
//     when nothing changed (what an open log costs while idle);
//   - opening the history screen ("7 days", every match a positioned encounter) with its first
//     frame, which computes the heat map, and a frame after that (the heat map from its cache);
//   - opening the traces screen with 500 trips.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <random>
#include <string>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_gui.h"
#include "ovk_gui_history.h"
#include "ovk_gui_trips.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_trip.h"

namespace {

// A home with `matches` logged detections of the last six days (each its own device, at a
// position within 10 km of a city centre) and `trips` recorded trips; the store and trips
// opened on it; a window with the interface.
struct SCENE : ovk_bench::GUI_WINDOW {
    ovk_test::TempDir home;

    SCENE(int matches, int trips) {
        if (!ovk_bench::xserver().running) return;
        setenv("HOME", home.path().c_str(), 1);
        setenv("XDG_DATA_HOME", home.path().c_str(), 1);
        const std::string data = ovk_platform_data_dir();
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> off(-0.09, 0.09);
        const int64_t now = ovk_now_ms();
        std::string log;
        for (int i = 0; i < matches; ++i) {
            OVK_DETECTION d;
            d.id = i + 1;
            d.mac = ovk_format(32, "00:25:DF:%02X:%02X:%02X", (i >> 16) & 0xFF, (i >> 8) & 0xFF,
                               i & 0xFF);
            d.label = i % 3 ? "Axon body camera" : "Flock Safety camera";
            d.source = "BLE";
            d.rssi = -60 - i % 30;
            d.timestamp = now - static_cast<int64_t>(i) * (6 * 86400000LL / (matches + 1));
            d.has_pos = 1;
            d.lat = 52.52 + off(rng);
            d.lon = 13.40 + off(rng);
            d.category = i % 3 ? OVK_CAT_BODY_CAM : OVK_CAT_ALPR;
            d.confidence = 70 + i % 30;
            d.evidence = "Address block registered to Axon Enterprise; name pattern";
            log += ovk_store_detection_line(d).value_or("") + "\n";
        }
        ovk_test::write_file(data + "/detections.jsonl", log);
        std::vector<OVK_TRIP> rows;
        for (int i = 0; i < trips; ++i) {
            OVK_TRIP t;
            t.id = i + 1;
            t.name = "Trace " + std::to_string(i + 1);
            t.start_time = now - static_cast<int64_t>(i) * 86400000LL;
            t.end_time = t.start_time + 3600000;
            t.distance_m = 1000.0 * i;
            t.point_count = 100;
            t.device_count = 40;
            t.flagged_count = 2;
            rows.push_back(t);
        }
        ovk_mkdirs(data + "/trips");
        ovk_test::write_file(data + "/trips/trips.json", ovk_trip_index_text(rows).value_or("[]"));
        if (ovk_store_open(data) != 0 || ovk_trip_open(data) != 0) return;
        OVK_PREFS p = ovk_bench::window_prefs(OVK_THEME_DARK);
        p.map_tiles = 0;
        open(&p);
    }
    ~SCENE() {
        close();  // the interface before the stores under it
        ovk_trip_close();
        ovk_store_close();
    }
};

void BM_LogOpen(benchmark::State& state) {
    SCENE s(static_cast<int>(state.range(0)), 0);
    if (!s.ok) return state.SkipWithError("no window");
    for (auto _ : state) ovk_log_show(&s.g);
}
BENCHMARK(BM_LogOpen)->Arg(2000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_LogFrame(benchmark::State& state) {
    SCENE s(static_cast<int>(state.range(0)), 0);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_log_show(&s.g);
    for (auto _ : state) s.frame();
}
BENCHMARK(BM_LogFrame)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_LogIdleRefresh(benchmark::State& state) {
    SCENE s(static_cast<int>(state.range(0)), 0);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_log_show(&s.g);
    for (auto _ : state) ovk_log_refresh(&s.g);
}
BENCHMARK(BM_LogIdleRefresh)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_HistoryOpenAndFirstFrame(benchmark::State& state) {
    SCENE s(static_cast<int>(state.range(0)), 0);
    if (!s.ok) return state.SkipWithError("no window");
    for (auto _ : state) {
        ovk_history_show(&s.g);
        s.frame();
    }
}
BENCHMARK(BM_HistoryOpenAndFirstFrame)
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_HistoryFrame(benchmark::State& state) {
    SCENE s(static_cast<int>(state.range(0)), 0);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_history_show(&s.g);
    s.frame();
    for (auto _ : state) s.frame();
}
BENCHMARK(BM_HistoryFrame)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TracesOpen(benchmark::State& state) {
    SCENE s(0, static_cast<int>(state.range(0)));
    if (!s.ok) return state.SkipWithError("no window");
    for (auto _ : state) ovk_trips_show(&s.g);
}
BENCHMARK(BM_TracesOpen)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
