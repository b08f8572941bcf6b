// SPDX-License-Identifier: GPL-3.0-or-later
// How long the interface thread's longest tick lasts while the watchlist, the whitelist and
// a device's details change on a data directory whose sync takes 50 ms (a slow SD card, stood
// in for by a hook after each atomic write), on a private Xvfb at 1100 by 820. Each case
// through the engine port (arg 1) and, for the figure before it, as the screens did it on the
// interface thread (arg 0):
//   - the watchlist screen is open and a rule is added, then removed (the rules are written
//     under the watchlist's lock, and the grid was read again at once);
//   - the whitelist screen is open and a device is let go, then trusted again;
//   - a device's details are open while it is whitelisted and un-whitelisted on another
//     thread (the write holds the store's lock while it syncs; the
//     page read the device, its marks and its rule on the interface thread).
// The counters are those of ovk_bench::report_ticks (ovk_bench_gui.h).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_gui.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_port.h"
#include "ovk_gui_watchlist.h"
#include "ovk_platform.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_watchlist.h"

namespace {

using CLOCK = std::chrono::steady_clock;

const char* const kDevice = "00:25:DF:00:00:2A";

// A home with the store and the watchlist opened on it and the interface in a window; every
// file write then takes 50 ms more.
struct SCENE : ovk_bench::GUI_WINDOW {
    ovk_test::TempDir home;

    SCENE() {
        if (!ovk_bench::xserver().running) return;
        const std::string data = ovk_bench::use_home(home.path());
        if (ovk_store_open(data) != 0) return;
        OVK_PREFS p = ovk_bench::window_prefs(OVK_THEME_DARK);
        p.map_tiles = 0;
        if (!open(&p)) return;
        ovk_watchlist_load(data);
        ovk_write_file_set_hook_for_test(
            [](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    }
    ~SCENE() {
        ovk_write_file_set_hook_for_test(nullptr);
        close();
        ovk_watchlist_unload();
        ovk_store_close();
    }

    // Ticks until the port has nothing left, each with the screens' refresh due; the ticks'
    // times in ms. The first tick runs `first` (the click) before its update.
    template <typename F>
    ovk_bench::TICKS run(F&& first) {
        return ovk_bench::run_ticks(
            g, first, [] { return true; }, true);
    }
};

void BM_WatchlistTickWhileARuleChangesOnASlowDisk(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no window");
    ovk_watchlist_show(&s.g);
    s.run([] {});
    OVK_OUI_ENTRY e;
    e.prefix = "name:Axon";
    e.label = "Body cameras";
    e.source = "user-added";
    e.confidence = "custom";
    ovk_bench::TICKS longest;
    bool add = true;
    for (auto _ : state) {
        longest.add(s.run([&] {
            if (state.range(0)) {
                if (add)
                    ovk_port_watch(&s.g, e);
                else
                    ovk_port_unwatch(&s.g, e.prefix);
                return;
            }
            // What the buttons did before: the change, then the grid read again.
            if (add)
                ovk_watchlist_add_custom(e);
            else
                ovk_watchlist_remove_custom(e.prefix);
            benchmark::DoNotOptimize(ovk_watchlist_all().data());
        }));
        add = !add;
    }
    ovk_bench::report_ticks(state, longest);
}
BENCHMARK(BM_WatchlistTickWhileARuleChangesOnASlowDisk)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

void BM_WhitelistTickWhileADeviceIsLetGoOnASlowDisk(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no window");
    ovk_store_whitelist_add(kDevice, "Axon Body 3");
    ovk_whitelist_show(&s.g);
    s.run([] {});
    ovk_bench::TICKS longest;
    bool on = false;
    for (auto _ : state) {
        longest.add(s.run([&] {
            if (state.range(0)) {
                ovk_port_whitelist(&s.g, kDevice, on, "Axon Body 3");
                return;
            }
            // What the button did before: the change, then the grid read again.
            if (on)
                ovk_store_whitelist_add(kDevice, "Axon Body 3");
            else
                ovk_store_whitelist_remove(kDevice);
            benchmark::DoNotOptimize(ovk_store_whitelist_all().data());
        }));
        on = !on;
    }
    ovk_bench::report_ticks(state, longest);
}
BENCHMARK(BM_WhitelistTickWhileADeviceIsLetGoOnASlowDisk)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

void BM_DetailTickWhileWhitelistingOnASlowDisk(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no window");
    ovk_detail_show(&s.g, kDevice);
    s.run([] {});
    ovk_bench::TICKS longest;
    bool on = true;
    for (auto _ : state) {
        // The page is refreshed on each tick (before, its reads are done on every tick: the
        // worst case of its half-second refresh meeting the write).
        ovk_bench::tick_while_whitelisting(&s.g, kDevice, on, longest, [&] {
            if (!state.range(0)) {
                // What the page's refresh read before, on this thread.
                benchmark::DoNotOptimize(ovk_registry_get(kDevice));
                benchmark::DoNotOptimize(ovk_store_known_get(kDevice));
                benchmark::DoNotOptimize(ovk_store_is_whitelisted(kDevice));
                benchmark::DoNotOptimize(ovk_store_is_favorite(kDevice));
                benchmark::DoNotOptimize(ovk_watchlist_custom().data());
                benchmark::DoNotOptimize(ovk_store_log_serial());
            }
            s.g.last_refresh_s = -10;
        });
        on = !on;
    }
    ovk_bench::report_ticks(state, longest);
}
BENCHMARK(BM_DetailTickWhileWhitelistingOnASlowDisk)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
