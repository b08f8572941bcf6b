// SPDX-License-Identifier: GPL-3.0-or-later
// The widget toolkit on a private Xvfb with Mesa's software renderer: what a frame of the
// gallery costs (draw and flip at 1100 by 820), what a grid costs by its row count, and
// what one mouse movement costs with 300 widgets in 10 windows.
#include <allegro5/allegro.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "ovk_test_xvfb.h"
#include "zq_gallery_build.h"
#include "zq_gui.h"

namespace {

// One display and the fonts for every benchmark of this program.
struct Stage {
    ALLEGRO_DISPLAY* display = nullptr;
    ZQ_GALLERY_FONTS fonts;
    bool ok = false;
};

Stage& stage() {
    static Stage s = [] {
        Stage st;
        if (!ovk_test::xvfb_start().running) return st;
        if (!al_init() || !al_init_primitives_addon() || !al_init_font_addon() ||
            !al_init_ttf_addon() || !al_init_image_addon())
            return st;
        st.display = al_create_display(1100, 820);
        st.ok = st.display && zq_gallery_fonts_load(&st.fonts, 15);
        return st;
    }();
    return s;
}

void BM_GalleryFrame(benchmark::State& state) {
    Stage& s = stage();
    if (!s.ok) {
        state.SkipWithError("no X display");
        return;
    }
    ZQ_GALLERY g;
    zq_gallery_build(&g, s.display, s.fonts, 1100, 820);
    zq_gallery_open_menu(&g);
    for (auto _ : state) {
        al_clear_to_color(al_map_rgb(18, 20, 22));
        zq_gui_draw(g.ctx);
        al_flip_display();
    }
    zq_gallery_free(&g);
}
BENCHMARK(BM_GalleryFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

// A window filled by one grid of N rows: only the rows in view are drawn.
void BM_GridFrame(benchmark::State& state) {
    Stage& s = stage();
    if (!s.ok) {
        state.SkipWithError("no X display");
        return;
    }
    ZQ_GUI_CTX* ctx = zq_gui_new_ctx(s.fonts.regular);
    zq_gui_set_display_size(ctx, 1100, 820);
    const int win = zq_gui_add_window(ctx, "Grid", 0, 0, 1100, 820);
    zq_gui_window_set_flags(ctx, win, ZQ_GUI_WIN_FRAMELESS);
    const int grid = zq_gui_add_datagrid(ctx, win, 10, 10, 1080, 800, nullptr, nullptr);
    for (const char* c : {"#", "Address", "Vendor", "RSSI"})
        zq_gui_datagrid_add_column(ctx, grid, c, 200);
    for (int i = 0; i < state.range(0); ++i)
        zq_gui_datagrid_add_row(ctx, grid,
                                {std::to_string(i), "00:11:22:33:44:55", "Vendor", "-60"});
    zq_gui_datagrid_scroll_to_row(ctx, grid, static_cast<int>(state.range(0)) / 2);
    for (auto _ : state) {
        al_clear_to_color(al_map_rgb(18, 20, 22));
        zq_gui_draw(ctx);
        al_flip_display();
    }
    zq_gui_destroy_ctx(&ctx);
}
BENCHMARK(BM_GridFrame)->Arg(20)->Arg(40)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// 10 overlapping windows of 30 widgets each; the pointer sweeps across them, crossing
// widgets (hover changes) and empty space alike.
void BM_MouseMove300Widgets(benchmark::State& state) {
    Stage& s = stage();
    if (!s.ok) {
        state.SkipWithError("no X display");
        return;
    }
    ZQ_GUI_CTX* ctx = zq_gui_new_ctx(s.fonts.regular);
    zq_gui_set_display_size(ctx, 1100, 820);
    for (int w = 0; w < 10; ++w) {
        const int win = zq_gui_add_window(ctx, "Window", 40.0f * w, 30.0f * w, 500, 420);
        for (int i = 0; i < 30; ++i) {
            const float x = 10.0f + 160.0f * (i % 3), y = 10.0f + 36.0f * (i / 3);
            switch (i % 3) {
                case 0:
                    zq_gui_add_button(ctx, win, x, y, 150, 30, "Button", 1, nullptr, nullptr);
                    break;
                case 1:
                    zq_gui_add_label(ctx, win, x, y, 150, 30, "Label", 0);
                    break;
                default:
                    zq_gui_add_textarea(ctx, win, x, y, 150, 30, 0, 60, nullptr, nullptr);
                    break;
            }
        }
    }
    ALLEGRO_EVENT ev{};
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    int i = 0;
    for (auto _ : state) {
        ev.mouse.x = (i * 7) % 1000;
        ev.mouse.y = (i * 3) % 800;
        ++i;
        benchmark::DoNotOptimize(zq_gui_process_event(ctx, &ev));
    }
    zq_gui_destroy_ctx(&ctx);
}
BENCHMARK(BM_MouseMove300Widgets);

}  // namespace

BENCHMARK_MAIN();
