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
// The counter longest_tick_ms is the longest tick of all iterations (wall time); its_cpu_ms is
// the interface thread's own CPU time in that tick, most_cpu_ms the most CPU time any tick
// took (on a loaded machine a tick's wall time is mostly waiting for a core) and click_cpu_ms
// the most CPU time the click itself took.
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

using CLOCK = std::chrono::steady_clock;

// The calling thread's CPU time in ms.
double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The longest tick (wall time) with its own CPU time, the most CPU time of any tick, and the
// most the click itself took of it.
struct TICKS {
    double longest = 0, its_cpu = 0, most_cpu = 0, click_cpu = 0;

    void add(double wall, double cpu) {
        if (wall > longest) {
            longest = wall;
            its_cpu = cpu;
        }
        most_cpu = std::max(most_cpu, cpu);
    }
    void add(const TICKS& o) {
        if (o.longest > longest) {
            longest = o.longest;
            its_cpu = o.its_cpu;
        }
        most_cpu = std::max(most_cpu, o.most_cpu);
        click_cpu = std::max(click_cpu, o.click_cpu);
    }
};

const char* const kDevice = "00:25:DF:00:00:2A";

// A home whose match log holds `matches` detections, every hundredth of kDevice; the store
// opened on it and the interface in a window.
struct SCENE : ovk_bench::GUI_WINDOW {
    ovk_test::TempDir home;

    explicit SCENE(int matches) {
        if (!ovk_bench::xserver().running) return;
        setenv("HOME", home.path().c_str(), 1);
        setenv("XDG_DATA_HOME", home.path().c_str(), 1);
        const std::string data = ovk_platform_data_dir();
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

    // Ticks until the port has nothing left (at most 30 s); the ticks' times in ms. The first
    // tick runs `first` (the click) before its update.
    template <typename F>
    TICKS run(F&& first) {
        TICKS ticks;
        const CLOCK::time_point end = CLOCK::now() + std::chrono::seconds(30);
        for (bool started = false; CLOCK::now() < end;) {
            const CLOCK::time_point t0 = CLOCK::now();
            const double c0 = thread_cpu_ms();
            if (!started) {
                first();
                ticks.click_cpu = thread_cpu_ms() - c0;
            }
            started = true;
            ovk_gui_update(&g);
            ticks.add(std::chrono::duration<double, std::milli>(CLOCK::now() - t0).count(),
                      thread_cpu_ms() - c0);
            // Done when the port has nothing left and the tick took what it finished.
            if (!ovk_port_busy(&g)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return ticks;
    }

    // A click on the button labelled `label` of pop-up `popup`, as the toolkit hands it over.
    void click(int popup, const std::string& label) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g.ctx, g.popup[popup]);
        if (!w) return;
        for (int id : w->widgets) {
            if (zq_gui_get_widget(g.ctx, id)->type != ZQ_GUI_BUTTON ||
                zq_gui_button_get_label(g.ctx, id) != label)
                continue;
            float x = 0, y = 0, ww = 0, h = 0;
            zq_gui_widget_screen_rect(g.ctx, id, &x, &y, &ww, &h);
            for (unsigned type : {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN,
                                  ALLEGRO_EVENT_MOUSE_BUTTON_UP}) {
                ALLEGRO_EVENT ev{};
                ev.type = type;
                ev.mouse.x = static_cast<int>(x + ww / 2);
                ev.mouse.y = static_cast<int>(y + h / 2);
                ev.mouse.button = type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1;
                ev.mouse.display = display;
                ovk_gui_handle_event(&g, &ev);
            }
            return;
        }
    }
};

void report(benchmark::State& state, const TICKS& ticks) {
    state.counters["longest_tick_ms"] = ticks.longest;
    state.counters["its_cpu_ms"] = ticks.its_cpu;
    state.counters["most_cpu_ms"] = ticks.most_cpu;
    state.counters["click_cpu_ms"] = ticks.click_cpu;
    state.SetLabel(state.range(0) ? "through the port" : "on the interface thread");
}

void BM_TickWhileADeviceWith50000MatchesOpens(benchmark::State& state) {
    SCENE s(50000);
    if (!s.ok) return state.SkipWithError("no window");
    TICKS ticks;
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
    report(state, ticks);
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
    TICKS ticks;
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
    report(state, ticks);
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
    TICKS ticks;
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
    report(state, ticks);
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
