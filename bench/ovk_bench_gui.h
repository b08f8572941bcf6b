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

#include "ovk_gui.h"
#include "ovk_prefs.h"
#include "ovk_test_xvfb.h"

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
    // One frame of the interface, drawn and flipped.
    void frame() {
        al_set_target_backbuffer(display);
        ovk_gui_draw(&g);
        al_flip_display();
    }
};

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
