// SPDX-License-Identifier: GPL-3.0-or-later
// The map's costs under a private Xvfb (software OpenGL):
//   - one frame of the map base while panning, tiles from the disk and memory caches: on the
//     display (1280 x 1024, about 30 tiles) and into a 2048 x 1536 bitmap (about 60 tiles);
//   - tiles decoded per second (a street-like 256-pixel PNG onto the display);
//   - the memory the tile caches take once full: the store's own count of pixel bytes and
//     what the process's resident size grew by while filling it.
// Nothing here uses the network: the tile server is a closed loopback port and every tile the
// view needs is on disk.
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_memfile.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "ovk_bench_gui.h"
#include "ovk_dirs.h"
#include "ovk_gui.h"
#include "ovk_gui_mapview.h"
#include "ovk_test_files.h"

namespace {

constexpr int kZoom = 12, kX0 = 1180, kY0 = 1450, kCols = 48, kRows = 24;

// A 256-pixel tile with streets, blocks and some noise, so that it compresses about as
// well as a real one.
std::string street_png(int seed) {
    const int flags = al_get_new_bitmap_flags();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP* bmp = al_create_bitmap(256, 256);
    al_set_new_bitmap_flags(flags);
    ALLEGRO_BITMAP* old = al_get_target_bitmap();
    al_set_target_bitmap(bmp);
    al_clear_to_color(al_map_rgb(242, 239, 233));
    unsigned r = static_cast<unsigned>(seed) * 2654435761u + 1;
    auto next = [&] { return (r = r * 1103515245u + 12345u) >> 16; };
    for (int i = 0; i < 60; ++i) {
        const float x = static_cast<float>(next() % 256), y = static_cast<float>(next() % 256);
        al_draw_filled_rectangle(x, y, x + 10 + next() % 30, y + 8 + next() % 25,
                                 al_map_rgb(217, 208, 201));
    }
    for (int i = 0; i < 12; ++i)
        al_draw_line(static_cast<float>(next() % 256), 0, static_cast<float>(next() % 256), 256,
                     al_map_rgb(255, 255, 255), 3 + next() % 5);
    al_set_target_bitmap(old);
    std::string buf(1 << 20, '\0');
    ALLEGRO_FILE* f = al_open_memfile(buf.data(), static_cast<int64_t>(buf.size()), "w");
    al_save_bitmap_f(f, ".png", bmp);
    buf.resize(static_cast<size_t>(al_ftell(f)));
    al_fclose(f);
    al_destroy_bitmap(bmp);
    return buf;
}

size_t resident_bytes() {
    std::ifstream in("/proc/self/statm");
    size_t pages = 0, rss = 0;
    in >> pages >> rss;
    return rss * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The display, the tile directory filled with kCols x kRows tiles, a base to draw with.
struct MAP_BENCH {
    ALLEGRO_DISPLAY* display = nullptr;
    ALLEGRO_FONT* font = nullptr;
    std::unique_ptr<ovk_test::TempDir> dir;
    OVK_GUI g;
    std::string png;
    bool ok = false;

    MAP_BENCH() {
        if (!ovk_bench::start_allegro()) return;
        al_init_image_addon();
        display = al_create_display(1280, 1024);
        if (!display) return;
        font = al_create_builtin_font();
        g.scale = 1;
        g.pal = ovk_theme_palette(OVK_THEME_LIGHT);
        g.font = g.font_small = font;
        g.prefs.tile_server = "http://127.0.0.1:9";
        dir = std::make_unique<ovk_test::TempDir>();
        if (ovk_mapview_init(dir->path()) != 0) return;
        png = street_png(7);
        for (int x = kX0; x < kX0 + kCols; ++x) {
            ovk_mkdirs(dir->path() + "/tiles/" + std::to_string(kZoom) + "/" + std::to_string(x));
            for (int y = kY0; y < kY0 + kRows; ++y)
                ovk_test::write_file(ovk_mapview_tile_path({kZoom, x, y}), street_png(x * 31 + y));
        }
        ok = true;
    }
    ~MAP_BENCH() {
        ovk_mapview_shutdown();
        if (font) al_destroy_font(font);
        if (display) al_destroy_display(display);
    }
    // The view centred on tile column `x` + fraction, row `y` of the block.
    static void centre_on(OVK_MAPVIEW& mv, double x, double y) {
        OVK_MAPVIEW w;
        w.zoom = kZoom;
        const double half = 256.0 * std::pow(2.0, kZoom) / 2;
        ovk_mapview_to_geo(w, static_cast<float>(x * 256 - half),
                           static_cast<float>(y * 256 - half), &mv.lat, &mv.lon);
    }
};

// Made by the first benchmark that needs it, let go of before Allegro shuts down.
std::unique_ptr<MAP_BENCH>& held() {
    static std::unique_ptr<MAP_BENCH> b;
    return b;
}

MAP_BENCH& bench() {
    if (!held()) held() = std::make_unique<MAP_BENCH>();
    return *held();
}

// Pans a few pixels a frame along the block and back; `w` x `h` is the view.
void pan_frames(benchmark::State& state, ALLEGRO_BITMAP* target, float w, float h) {
    MAP_BENCH& b = bench();
    OVK_MAPVIEW mv;
    mv.zoom = kZoom;
    double x = kX0 + 5;
    const double y = kY0 + kRows / 2.0;
    double step = 6.0 / 256;  // six pixels a frame
    int missing = 0, frames = 0;
    for (auto _ : state) {
        MAP_BENCH::centre_on(mv, x, y);
        al_set_target_bitmap(target);
        missing += ovk_mapview_draw_base(&b.g, &mv, 0, 0, w, h, true);
        if (target == al_get_backbuffer(b.display)) {
            al_flip_display();
        } else {
            // Waits for the rendering: reading a pixel back finishes it.
            al_lock_bitmap_region(target, 0, 0, 1, 1, ALLEGRO_PIXEL_FORMAT_ANY,
                                  ALLEGRO_LOCK_READONLY);
            al_unlock_bitmap(target);
        }
        ++frames;
        x += step;
        if (x > kX0 + kCols - 6 || x < kX0 + 6) step = -step;
    }
    const double cell_cols = std::ceil(w / 256) + 1, cell_rows = std::ceil(h / 256) + 1;
    state.counters["tiles_on_screen"] = cell_cols * cell_rows;
    state.counters["missing_per_frame"] = frames ? static_cast<double>(missing) / frames : 0;
    state.counters["mem_tiles"] = ovk_mapview_stats().mem_tiles;
}

void BM_MapPanFrameDisplay(benchmark::State& state) {
    if (!bench().ok) return state.SkipWithError("no X server or tile directory");
    pan_frames(state, al_get_backbuffer(bench().display), 1280, 1024);
}
BENCHMARK(BM_MapPanFrameDisplay)->Unit(benchmark::kMillisecond)->Iterations(300);

void BM_MapPanFrame60Tiles(benchmark::State& state) {
    if (!bench().ok) return state.SkipWithError("no X server or tile directory");
    ALLEGRO_BITMAP* big = al_create_bitmap(2048, 1536);
    if (!big) return state.SkipWithError("no 2048 x 1536 bitmap");
    pan_frames(state, big, 2048, 1536);
    al_set_target_backbuffer(bench().display);
    al_destroy_bitmap(big);
}
BENCHMARK(BM_MapPanFrame60Tiles)->Unit(benchmark::kMillisecond)->Iterations(300);

void BM_TileDecode(benchmark::State& state) {
    if (!bench().ok) return state.SkipWithError("no X server or tile directory");
    al_set_target_backbuffer(bench().display);
    const std::string& png = bench().png;
    for (auto _ : state) {
        ALLEGRO_BITMAP* bmp = ovk_mapview_decode_png(png);
        if (!bmp) return state.SkipWithError("decode failed");
        al_destroy_bitmap(bmp);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["png_bytes"] = static_cast<double>(png.size());
}
BENCHMARK(BM_TileDecode)->Unit(benchmark::kMicrosecond);

// Fills the memory cache from an empty one by drawing over the whole block.
void BM_TileCacheMemory(benchmark::State& state) {
    if (!bench().ok) return state.SkipWithError("no X server or tile directory");
    MAP_BENCH& b = bench();
    al_set_target_backbuffer(b.display);
    for (auto _ : state) {
        ovk_mapview_flush_bitmaps();
        const size_t before = resident_bytes();
        OVK_MAPVIEW mv;
        mv.zoom = kZoom;
        for (double y = kY0 + 2; y < kY0 + kRows - 2; y += 3)
            for (double x = kX0 + 3; x < kX0 + kCols - 3; x += 4) {
                MAP_BENCH::centre_on(mv, x, y);
                for (int i = 0; i < 4; ++i)
                    ovk_mapview_draw_base(&b.g, &mv, 0, 0, 1280, 1024, true);
            }
        const OVK_TILE_STATS s = ovk_mapview_stats();
        state.counters["mem_tiles"] = s.mem_tiles;
        state.counters["pixels_MiB"] = static_cast<double>(s.mem_bytes) / (1 << 20);
        state.counters["rss_growth_MiB"] =
            (static_cast<double>(resident_bytes()) - static_cast<double>(before)) / (1 << 20);
    }
}
BENCHMARK(BM_TileCacheMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv, [] { held().reset(); });
}
