// SPDX-License-Identifier: GPL-3.0-or-later
// What the window's benchmarks share: Allegro on the private X server the test helpers start,
// the interface on a display of its own, a frame drawn and flipped, and a main() that lets
// Allegro go before the X server does.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "ovk_gui.h"
#include "ovk_gui_port.h"
#include "ovk_platform.h"
#include "ovk_prefs.h"
#include "ovk_store.h"
#include "ovk_test_xvfb.h"
#include "zq_gui.h"

namespace ovk_bench {

inline const ovk_test::XvfbState& xserver() {
    return ovk_test::xvfb_start();
}

// Allegro with the font, TrueType and primitives add-ons, on the private X server; false
// when there is no server or Allegro will not start.
inline bool start_allegro() {
    if (!xserver().running) return false;
    if (!al_install_system(ALLEGRO_VERSION_INT, nullptr)) return false;
    al_init_font_addon();
    al_init_ttf_addon();
    al_init_primitives_addon();
    return true;
}

// The settings of a user past the first-run screens, in the given theme.
inline OVK_PREFS window_prefs(OVK_THEME_ID theme) {
    OVK_PREFS p;
    p.onboarding_done = 1;
    p.theme = theme;
    return p;
}

// The interface on a display of its own, 1100 by 820, flips not waiting for vsync.
struct GUI_WINDOW {
    ALLEGRO_DISPLAY* display = nullptr;
    ALLEGRO_EVENT_QUEUE* queue = nullptr;
    OVK_GUI g;
    bool ok = false;

    GUI_WINDOW() = default;
    GUI_WINDOW(const GUI_WINDOW&) = delete;
    GUI_WINDOW& operator=(const GUI_WINDOW&) = delete;
    ~GUI_WINDOW() { close(); }

    // Opens the display and starts the interface with the given settings (nullptr: those
    // already set); `ok` as the result.
    bool open(const OVK_PREFS* prefs) {
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        if (!start_allegro()) return false;
        al_set_new_display_option(ALLEGRO_VSYNC, 2, ALLEGRO_SUGGEST);
        display = al_create_display(1100, 820);
        queue = al_create_event_queue();
        if (prefs) ovk_prefs_set(*prefs);
        ok = display && ovk_gui_init(&g, display, queue) == 0;
        return ok;
    }
    // The interface, then the queue and the display; a second call does nothing.
    void close() {
        if (ok) ovk_gui_shutdown(&g);
        ok = false;
        if (queue) al_destroy_event_queue(queue);
        queue = nullptr;
        if (display) al_destroy_display(display);
        display = nullptr;
    }
    // A click in the middle of widget `id`, as the toolkit hands it over.
    void click_widget(int id) {
        float x = 0, y = 0, w = 0, h = 0;
        zq_gui_widget_screen_rect(g.ctx, id, &x, &y, &w, &h);
        for (unsigned type : {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN,
                              ALLEGRO_EVENT_MOUSE_BUTTON_UP}) {
            ALLEGRO_EVENT ev{};
            ev.type = type;
            ev.mouse.x = static_cast<int>(x + w / 2);
            ev.mouse.y = static_cast<int>(y + h / 2);
            ev.mouse.button = type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1;
            ev.mouse.display = display;
            ev.any.timestamp = al_get_time();
            ovk_gui_handle_event(&g, &ev);
        }
    }
    // One frame of the interface, drawn and flipped.
    void frame() {
        al_set_target_backbuffer(display);
        ovk_gui_draw(&g);
        al_flip_display();
    }
};

// The calling thread's processor time, ms.
inline double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The interface thread's ticks: the longest (wall time) with its own processor time, the most
// processor time of any tick, and the most the click itself took of it. On a busy machine a
// tick's wall time includes time the thread was not running; a wait on a lock costs no
// processor time.
struct TICKS {
    double longest = 0, its_cpu = 0, most_cpu = 0, click_cpu = 0;

    void add(double wall, double cpu) {
        if (wall > longest) {
            longest = wall;
            its_cpu = cpu;
        }
        most_cpu = std::max(most_cpu, cpu);
    }
    // A tick that began at `t0` with the thread's processor time at `cpu0`, ending now.
    void add_since(std::chrono::steady_clock::time_point t0, double cpu0) {
        add(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count(),
            thread_cpu_ms() - cpu0);
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

// Points HOME and XDG_DATA_HOME at `dir`; the program's data directory under it.
inline std::string use_home(const std::string& dir) {
    setenv("HOME", dir.c_str(), 1);
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    return ovk_platform_data_dir();
}

// Ticks the interface as the event loop does between two frames until the engine port has
// nothing left and `done()` holds (at most 30 s). The first tick runs `first` (the click)
// before its update. With `refresh_due`, every tick has the screens' refresh due; as a
// refresh asks the screens' views again, the port is then never left with nothing after an
// update, so the tick also takes what it finished (ovk_port_settle without waiting) and the
// run ends the first time that finds it idle.
template <typename F, typename D>
TICKS run_ticks(OVK_GUI& g, F&& first, D&& done, bool refresh_due = false) {
    using CLOCK = std::chrono::steady_clock;
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
        if (refresh_due) g.last_refresh_s = -10;
        ovk_gui_update(&g);
        const bool idle = refresh_due ? ovk_port_settle(&g, 0) : !ovk_port_busy(&g);
        ticks.add_since(t0, c0);
        // Done when the port has nothing left and the tick took what it finished.
        if (idle && done()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ticks;
}

// Whitelists `mac` (or lets it go) on another thread, as the port does, while the window
// ticks along for 200 ms, a tick every 5 ms; `inline_reads` runs first in each tick (what the
// screen read on the interface thread before). The longest tick goes to `longest`; the port
// settles before it returns.
template <typename R>
void tick_while_whitelisting(OVK_GUI* g, const char* mac, bool on, TICKS& longest, R inline_reads) {
    using CLOCK = std::chrono::steady_clock;
    std::thread writer([mac, on] {
        if (on)
            ovk_store_whitelist_add(mac, "Axon Body 3");
        else
            ovk_store_whitelist_remove(mac);
    });
    const CLOCK::time_point until = CLOCK::now() + std::chrono::milliseconds(200);
    while (CLOCK::now() < until) {
        const CLOCK::time_point t0 = CLOCK::now();
        const double cpu0 = thread_cpu_ms();
        inline_reads();
        ovk_gui_update(g);
        longest.add_since(t0, cpu0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    writer.join();
    ovk_port_settle(g, 5000);
}

// The counters of a case done through the engine port (arg 1) or, for the figure before
// it, on the interface thread (arg 0): longest_tick_ms is the longest tick of all iterations
// (wall time), its_cpu_ms the interface thread's own processor time in it, most_cpu_ms the
// most any tick took and click_cpu_ms the most the click itself took.
inline void report_ticks(benchmark::State& state, const TICKS& ticks) {
    state.counters["longest_tick_ms"] = ticks.longest;
    state.counters["its_cpu_ms"] = ticks.its_cpu;
    state.counters["most_cpu_ms"] = ticks.most_cpu;
    state.counters["click_cpu_ms"] = ticks.click_cpu;
    state.SetLabel(state.range(0) ? "through the port" : "on the interface thread");
}

// The body of main(): runs the benchmarks, calls `release` (which lets go of whatever still
// holds Allegro objects), then shuts Allegro down while the X server is still there.
inline int run_benchmarks(int argc, char** argv, void (*release)() = nullptr) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (release) release();
    // Allegro's X connection goes before the private X server does.
    if (al_is_system_installed()) al_uninstall_system();
    return 0;
}

}  // namespace ovk_bench
