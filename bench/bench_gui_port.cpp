// SPDX-License-Identifier: GPL-3.0-or-later
// How long the interface thread's longest tick lasts while the engine is busy, on a private
// Xvfb at 1100 by 820. A tick here is what the event loop does between two frames: the event
// (a click) and ovk_gui_update, which takes what the engine port finished. Three cases, each
// done through the port (arg 1) and, for the figure before it, with the same engine work done
// on the interface thread as the screens used to do it (arg 0):
//   - the details of a device with 50,000 logged matches open (the device's matches are
//     picked out of the whole log);
//   - the match log's 100,000 rows are exported as CSV;
//   - a device is whitelisted on a data directory whose sync takes 50 ms (a slow SD card,
//     stood in for by a hook after each atomic write).
// The counters are those of ovk_bench::report_ticks (ovk_bench_gui.h).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_export.h"
#include "ovk_gui.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_port.h"
#include "ovk_gui_trips.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_test_files.h"

namespace {

const char* const kDevice = "00:25:DF:00:00:2A";

// A home whose match log holds `matches` detections, every hundredth of kDevice; the store
// opened on it and the interface in a window.
struct SCENE : ovk_bench::GUI_WINDOW {
    ovk_test::TempDir home;

    explicit SCENE(int matches) {
        if (!ovk_bench::xserver().running) return;
        const std::string data = ovk_bench::use_home(home.path());
        const int64_t now = ovk_now_ms();
        std::string log;
        for (int i = 0; i < matches; ++i) {
            OVK_DETECTION d;
            d.id = i + 1;
            d.mac = i % 100 ? ovk_format(32, "00:25:DF:01:%02X:%02X", (i >> 8) & 0xFF, i & 0xFF)
                            : std::string(kDevice);
            d.label = "Axon body camera";
            d.source = "BLE";
            d.rssi = -60 - i % 30;
            d.timestamp = now - static_cast<int64_t>(matches - i) * 1000;
            d.category = OVK_CAT_BODY_CAM;
            d.confidence = 85;
            d.evidence = "Axon advertisement (company 0x034D) with a body-camera model string";
            log += ovk_store_detection_line(d).value_or("") + "\n";
        }
        ovk_test::write_file(data + "/detections.jsonl", log);
        if (ovk_store_open(data) != 0) return;
        OVK_PREFS p = ovk_bench::window_prefs(OVK_THEME_DARK);
        p.map_tiles = 0;
        open(&p);
    }
    ~SCENE() {
        ovk_write_file_set_hook_for_test(nullptr);
        close();
        ovk_store_close();
    }

    // Ticks until the port has nothing left; the ticks' times in ms. The first tick runs
    // `first` (the click) before its update.
    template <typename F>
    ovk_bench::TICKS run(F&& first) {
        return ovk_bench::run_ticks(g, first, [] { return true; });
    }

    // A click on the button labelled `label` of pop-up `popup`, as the toolkit hands it over.
    void click(int popup, const std::string& label) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g.ctx, g.popup[popup]);
        if (!w) return;
        for (int id : w->widgets) {
            if (zq_gui_get_widget(g.ctx, id)->type != ZQ_GUI_BUTTON ||
                zq_gui_button_get_label(g.ctx, id) != label)
                continue;
            click_widget(id);
            return;
        }
    }
};

void BM_TickWhileADeviceWith50000MatchesOpens(benchmark::State& state) {
    SCENE s(50000);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_bench::TICKS ticks;
    for (auto _ : state) {
        ticks.add(s.run([&] {
            if (!state.range(0)) {
                // What opening did before: the whole log copied, the device's picked out.
                std::vector<OVK_DETECTION> mine;
                for (OVK_DETECTION& d : ovk_store_detections(0))
                    if (d.mac == kDevice) mine.push_back(std::move(d));
                benchmark::DoNotOptimize(mine.data());
            }
            ovk_detail_show(&s.g, kDevice);
        }));
        ovk_gui_close_popup(&s.g, OVK_POP_DETAIL);
    }
    ovk_bench::report_ticks(state, ticks);
}
BENCHMARK(BM_TickWhileADeviceWith50000MatchesOpens)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

void BM_TickWhile100000RowsAreExported(benchmark::State& state) {
    SCENE s(100000);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_log_show(&s.g);
    s.run([] {});  // the log's rows arrive
    const std::string dir = ovk_platform_export_dir();
    ovk_bench::TICKS ticks;
    for (auto _ : state) {
        ticks.add(s.run([&] {
            if (state.range(0)) {
                s.click(OVK_POP_LOG, "CSV");
                return;
            }
            // What the button did before: the rows, the text and the file, all here.
            const std::vector<OVK_DETECTION> rows = ovk_store_detections(0);
            const std::optional<std::string> text = ovk_export_log_csv(rows);
            ovk_write_file_atomic(dir + "/orvik_matches_inline.csv", text.value_or(""));
        }));
    }
    ovk_bench::report_ticks(state, ticks);
}
BENCHMARK(BM_TickWhile100000RowsAreExported)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_TickWhileWhitelistingOnASlowDisk(benchmark::State& state) {
    SCENE s(0);
    if (!s.ok) return state.SkipWithError("no window");
    ovk_write_file_set_hook_for_test(
        [](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    ovk_bench::TICKS ticks;
    bool on = true;
    for (auto _ : state) {
        ticks.add(s.run([&] {
            if (state.range(0))
                ovk_port_whitelist(&s.g, kDevice, on, "Axon Body 3");
            else if (on)
                ovk_store_whitelist_add(kDevice, "Axon Body 3");
            else
                ovk_store_whitelist_remove(kDevice);
        }));
        on = !on;
    }
    ovk_bench::report_ticks(state, ticks);
}
BENCHMARK(BM_TickWhileWhitelistingOnASlowDisk)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
