// SPDX-License-Identifier: GPL-3.0-or-later
// How long the interface thread's longest tick lasts while the history and the map read the
// engine, on a private Xvfb at 1100 by 820. A tick is the opening call (on the first) and
// ovk_gui_update, which takes what the engine port finished; drawing is not counted (a frame
// is drawn after the last tick only). Each case through the port
// (arg 1) and, for the figure before it, with the same reads done on the interface thread
// as the screens used to do them (arg 0):
//   - the history opens on a log of 50,000 matches of the last 14 hours (the period's
//     encounters, the charts and the summary);
//   - a trace of 20,000 points and 2,000 devices opens on the map (its row, points and
//     devices read from disk);
//   - the map stays open while a device is whitelisted on a data directory whose sync takes
//     50 ms (the map's position, trace and log serial are read every quarter second; the
//     write holds the store's lock while it syncs).
// The counters are those of ovk_bench::report_ticks (ovk_bench_gui.h).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_gui.h"
#include "ovk_gui_history.h"
#include "ovk_gui_map.h"
#include "ovk_gui_port.h"
#include "ovk_history.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_trip.h"

namespace {

using CLOCK = std::chrono::steady_clock;

// A home with `matches` logged matches (one a second up to now) and, when `points` > 0, one
// stored trace of that many points with `devices` devices heard along it (every tenth
// flagged); the store and the trips opened on it and the interface in a window, tiles off.
struct SCENE : ovk_bench::GUI_WINDOW {
    ovk_test::TempDir home;
    int64_t trip = 0;

    SCENE(int matches, int points, int devices) {
        if (!ovk_bench::xserver().running) return;
        const std::string data = ovk_bench::use_home(home.path());
        const int64_t now = ovk_now_ms();
        std::string log;
        for (int i = 0; i < matches; ++i) {
            OVK_DETECTION d;
            d.id = i + 1;
            d.mac = ovk_format(32, "00:25:DF:01:%02X:%02X", (i >> 8) & 0x3F, i & 0xFF);
            d.label = i % 3 ? "Axon body camera" : "Flock Safety camera";
            d.source = "BLE";
            d.rssi = -60 - i % 30;
            d.timestamp = now - static_cast<int64_t>(matches - i) * 1000;
            d.category = i % 3 ? OVK_CAT_BODY_CAM : OVK_CAT_ALPR;
            d.confidence = 85;
            d.has_pos = 1;
            d.lat = 52.50 + (i % 500) * 0.0002;
            d.lon = 13.40 + (i / 500) * 0.0002;
            log += ovk_store_detection_line(d).value_or("") + "\n";
        }
        ovk_test::write_file(data + "/detections.jsonl", log);
        if (ovk_store_open(data) != 0 || ovk_trip_open(data) != 0) return;
        if (points > 0) {
            trip = ovk_trip_start("Long drive");
            const OVK_HIT cam =
                ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "BLE", "Axon");
            for (int i = 0; i < points; ++i) {
                OVK_LOCATION l;
                l.lat = 52.40 + i * 0.0002;
                l.lon = 13.30 + std::sin(i / 50.0) * 0.002;
                l.time = now - static_cast<int64_t>(points - i) * 2000;
                ovk_trip_on_location(l);
                if (i % std::max(1, points / std::max(1, devices)) == 0)
                    ovk_trip_on_device(ovk_format(32, "11:22:33:%02X:%02X:%02X", (i >> 16) & 0xFF,
                                                  (i >> 8) & 0xFF, i & 0xFF),
                                       -70, "BLE", i % 10 ? nullptr : &cam, "", "", "", &l, l.time);
            }
            ovk_trip_stop();
        }
        OVK_PREFS p = ovk_bench::window_prefs(OVK_THEME_DARK);
        p.map_tiles = 0;
        open(&p);
    }
    ~SCENE() {
        ovk_write_file_set_hook_for_test(nullptr);
        close();
        ovk_trip_close();
        ovk_store_close();
    }

    // Ticks until the port has nothing left and `done` holds, then draws a frame; the ticks'
    // times in ms. The first tick runs `first`.
    template <typename F, typename D>
    ovk_bench::TICKS run(F&& first, D&& done) {
        const ovk_bench::TICKS ticks = ovk_bench::run_ticks(g, first, done);
        frame();
        return ticks;
    }
};

void BM_TickWhileTheHistoryOf50000MatchesOpens(benchmark::State& state) {
    SCENE s(50000, 0, 0);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_bench::TICKS longest;
    for (auto _ : state) {
        longest.add(s.run(
            [&] {
                if (!state.range(0)) {
                    // What opening did before, all here.
                    const auto enc = ovk_history_encounters(
                        ovk_history_collect(ovk_now_ms() - 604800000), 600000);
                    benchmark::DoNotOptimize(ovk_history_by_hour(enc).data());
                    benchmark::DoNotOptimize(ovk_history_top_labels(enc, 3).data());
                    benchmark::DoNotOptimize(ovk_trip_list().data());
                }
                ovk_history_show(&s.g);
            },
            [] { return true; }));
        ovk_gui_close_popup(&s.g, OVK_POP_HISTORY);
    }
    ovk_bench::report_ticks(state, longest);
}
BENCHMARK(BM_TickWhileTheHistoryOf50000MatchesOpens)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

void BM_TickWhileATraceOf20000PointsOpensOnTheMap(benchmark::State& state) {
    SCENE s(0, 20000, 2000);
    if (!s.ok || s.trip <= 0) return state.SkipWithError("no window or no trace");
    ovk_bench::TICKS longest;
    for (auto _ : state) {
        longest.add(s.run(
            [&] {
                if (!state.range(0)) {
                    // What opening did before: the trace read here.
                    benchmark::DoNotOptimize(ovk_trip_get(s.trip));
                    benchmark::DoNotOptimize(ovk_trip_points(s.trip).data());
                    benchmark::DoNotOptimize(ovk_trip_devices(s.trip).data());
                }
                ovk_map_show_trip(&s.g, s.trip);
            },
            [&] { return ovk_gui_popup_is_open(&s.g, OVK_POP_MAP); }));
        ovk_gui_close_popup(&s.g, OVK_POP_MAP);
    }
    state.counters["points"] = static_cast<double>(ovk_trip_points(s.trip).size());
    ovk_bench::report_ticks(state, longest);
}
BENCHMARK(BM_TickWhileATraceOf20000PointsOpensOnTheMap)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

void BM_MapTickWhileWhitelistingOnASlowDisk(benchmark::State& state) {
    SCENE s(1000, 0, 0);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_map_show(&s.g);
    s.run([] {}, [] { return true; });
    ovk_write_file_set_hook_for_test(
        [](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    ovk_bench::TICKS longest;
    bool on = true;
    for (auto _ : state) {
        ovk_bench::tick_while_whitelisting(&s.g, "00:25:DF:00:00:2A", on, longest, [&] {
            // What the map's tick read before, every tick: the log's serial and the trace.
            if (!state.range(0)) {
                benchmark::DoNotOptimize(ovk_store_log_serial());
                benchmark::DoNotOptimize(ovk_trip_is_recording());
            }
        });
        on = !on;
    }
    ovk_bench::report_ticks(state, longest);
}
BENCHMARK(BM_MapTickWhileWhitelistingOnASlowDisk)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
