// SPDX-License-Identifier: GPL-3.0-or-later
// The window's costs under a private Xvfb (software OpenGL), at 1100 by 820:
//   - start-up to the first frame of the real program, vendor tables included (wall time from
//     starting the process to its "first frame" log line);
//   - one idle frame of the frame (clear, toolkit, toast), one with a full stack of notices,
//     and each theme's header, drawn and flipped;
//   - the CPU the program takes over a stretch of demo (OVK_BENCH_DEMO_S, 60 s by default),
//     in a plain theme and in an animated one.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ovk_bench_gui.h"
#include "ovk_gui.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"

namespace {

using namespace std::chrono_literals;

using ovk_bench::xserver;

const std::string kOrvik = std::string(OVK_BINARY_DIR) + "/orvik";

ovk_test::ProgramLaunch orvik(const ovk_test::TempDir& dir, std::vector<std::string> args) {
    ovk_test::ProgramLaunch l;
    l.exe = kOrvik;
    l.args = std::move(args);
    l.env = {"XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path(),
             std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets",
             "DISPLAY=" + xserver().display};
    l.out_dir = dir.path();
    return l;
}

void BM_StartupToFirstFrame(benchmark::State& state) {
    if (!xserver().running) return state.SkipWithError("no X server");
    for (auto _ : state) {
        ovk_test::TempDir dir;
        const auto t0 = std::chrono::steady_clock::now();
        ovk_test::RunningProgram p(orvik(dir, {"-v", "6"}));
        bool shown = false;
        while (!shown && p.running() && std::chrono::steady_clock::now() - t0 < 30s) {
            shown = p.err().find("first frame") != std::string::npos;
            if (!shown) std::this_thread::sleep_for(2ms);
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        p.signal(SIGTERM);
        p.finish(30);
        if (!shown) return state.SkipWithError("no first frame");
        state.SetIterationTime(s);
    }
}
BENCHMARK(BM_StartupToFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// One interface on a display of its own, in the given theme.
struct WINDOW : ovk_bench::GUI_WINDOW {
    explicit WINDOW(int theme) {
        const OVK_PREFS p = ovk_bench::window_prefs(static_cast<OVK_THEME_ID>(theme));
        open(&p);
    }
};

void BM_IdleFrame(benchmark::State& state) {
    WINDOW w(OVK_THEME_DARK);
    if (!w.ok) return state.SkipWithError("no window");
    ovk_gui_message(&w.g, "Scanning stopped");  // a toast, as often as not
    for (auto _ : state) {
        w.g.toast_until = al_get_time() + 10;
        w.frame();
    }
}
BENCHMARK(BM_IdleFrame)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// A frame with a full stack of notices, laid out anew as every frame does: a camera alert with
// its evidence, a copy, and a saved file whose path breaks over two lines.
void BM_NoticeFrame(benchmark::State& state) {
    WINDOW w(OVK_THEME_DARK);
    if (!w.ok) return state.SkipWithError("no window");
    w.g.toast = OVK_UI_ALERT{};
    w.g.toast.hit = ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 92, "Axon OUI",
                                 "Manufacturer prefix 00:25:DF registered to Axon Enterprise; "
                                 "advertises the Axon camera service, heard for 4 minutes");
    w.g.toast_until = al_get_time() + 3600;
    ovk_gui_message(&w.g, "Copied to clipboard");
    ovk_gui_message(&w.g, "Saved ~/.local/share/orvik/exports/orvik_matches_20261208_1812.csv");
    for (auto _ : state) {
        const double until = al_get_time() + 10;
        w.g.toast_until = until;
        for (OVK_NOTICE& n : w.g.older_notices) n.until = until;
        w.frame();
    }
    state.counters["notices"] = static_cast<double>(w.g.notice_boxes.size());
}
BENCHMARK(BM_NoticeFrame)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The header as the main screen will draw it, full width and 64 px high, every frame.
void BM_HeaderFrame(benchmark::State& state) {
    WINDOW w(static_cast<int>(state.range(0)));
    if (!w.ok) return state.SkipWithError("no window");
    state.SetLabel(ovk_theme_name(static_cast<int>(state.range(0))));
    double t = 100;
    for (auto _ : state) {
        w.g.now_s = t += 1.0 / 30;
        al_set_target_backbuffer(w.display);
        ovk_gui_draw(&w.g);
        ovk_theme_draw_header(&w.g, 8, 8, 1100 - 16, 64);
        al_flip_display();
    }
}
BENCHMARK(BM_HeaderFrame)
    ->DenseRange(0, OVK_THEME_COUNT - 1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

double cpu_seconds(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), {});
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;  // no such process
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU share of one core the program takes while showing the demo (the theme given by its
// number in the settings file), with the map open when the second argument is 1.
void BM_DemoCpu(benchmark::State& state) {
    if (!xserver().running) return state.SkipWithError("no X server");
    const int seconds = getenv("OVK_BENCH_DEMO_S") ? atoi(getenv("OVK_BENCH_DEMO_S")) : 60;
    const int theme = static_cast<int>(state.range(0));
    const bool map = state.range(1) != 0;
    state.SetLabel(std::string(ovk_theme_name(theme)) + (map ? ", map open" : ""));
    for (auto _ : state) {
        ovk_test::TempDir dir;
        ovk_test::run_command("mkdir -p " + dir.path() + "/orvik");
        ovk_test::write_file(dir.path() + "/orvik/settings.json",
                             "{\"app_theme\": \"" + std::string(ovk_theme_name(theme)) +
                                 "\", \"setup_wizard_done\": true, \"map_tiles\": false}");
        ovk_test::RunningProgram p(orvik(dir, {"--demo"}));
        std::this_thread::sleep_for(3s);  // past start-up
        if (map) {
            // Offline: the map draws its grid, as where no tile server answers.
            ovk_test::run_command("xdotool key ctrl+m");
            std::this_thread::sleep_for(2s);
        }
        const double c0 = p.started() && p.running() ? cpu_seconds(p.pid()) : -1;
        if (c0 >= 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double c1 = c0 >= 0 && p.running() ? cpu_seconds(p.pid()) : -1;
        p.signal(SIGTERM);
        p.finish(30);
        if (c0 < 0 || c1 < 0) {
            // A program that never ran, or ended early, measured nothing.
            state.SkipWithError("orvik did not run for the whole time (build the orvik target)");
            break;
        }
        state.counters["cpu_percent"] = (c1 - c0) / seconds * 100;
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_DemoCpu)
    ->Args({OVK_THEME_DARK, 0})
    ->Args({OVK_THEME_DEDSEC, 0})
    ->Args({OVK_THEME_DARK, 1})
    ->Args({OVK_THEME_DEDSEC, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
