// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen's costs:
//   - one refresh (registry snapshot, status, filter, search, sort, tally), as the worker does
//     it, at 2,000, 10,000 and 100,000 devices, and its two big parts on their own;
//   - the interface thread's work per tick (the frame's update with the main screen's swap-in)
//     while the worker keeps refreshing, at the same sizes;
//   - one frame of the list view and of the radar view under a private Xvfb (software OpenGL)
//     at 1100 by 820, with 200 and with 2,000 devices;
//   - the radar alone with 2,000 devices (200 drawn), as the screen draws it and, beside it in
//     the same run, the same picture drawn plainly with Allegro: the same dots and the same
//     labels at the same places, worked out once before timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_gui.h"
#include "ovk_gui_main.h"
#include "ovk_gui_theme.h"
#include "ovk_registry.h"
#include "zq_gui.h"

namespace {

// The registry holding `n` devices heard in the last minute: BLE and Wi-Fi, named and not,
// one in twenty with a verdict.
void fill_registry(int n) {
    static int filled = -1;
    if (filled == n) return;
    ovk_registry_init();
    ovk_registry_clear();
    std::mt19937 rng(1);
    const int64_t now = ovk_now_ms();
    const OVK_CATEGORY cats[] = {OVK_CAT_ALPR, OVK_CAT_TRACKER, OVK_CAT_DRONE, OVK_CAT_BODY_CAM};
    for (int i = 0; i < n; ++i) {
        OVK_ADVERT a;
        char mac[18];
        snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<int>(rng() & 0xFF),
                 static_cast<int>(rng() & 0xFF), static_cast<int>(rng() & 0xFF),
                 static_cast<int>(rng() & 0xFF), (i >> 8) & 0xFF, i & 0xFF);
        a.mac = mac;
        a.source = i % 4 ? OVK_SRC_BLE : OVK_SRC_WIFI;
        a.rssi = -35 - static_cast<int>(rng() % 65);
        a.addr_type = i % 4 ? OVK_ADDR_RANDOM_STATIC : OVK_ADDR_WIFI_GLOBAL;
        if (i % 3 == 0) a.name = "Device " + std::to_string(i);
        OVK_HITS hits;
        if (i % 20 == 0)
            hits.push_back(ovk_hit_make(cats[(i / 20) % 4],
                                        "Flagged equipment " + std::to_string(i), 40 + i % 60,
                                        "bench", "evidence"));
        OVK_IDENTITY id;
        id.type = a.source == OVK_SRC_WIFI ? "WiFi access point" : "Bluetooth device";
        ovk_registry_report(a, hits, &id, i % 2 ? "Vendor Inc." : "", nullptr, nullptr,
                            now - static_cast<int64_t>(rng() % 60000));
    }
    filled = n;
}

void BM_MainRefresh(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    size_t shown = 0;
    for (auto _ : state) {
        OVK_MAIN_VIEW v = ovk_main_make_view(OVK_FILTER_ALL, "", ovk_now_ms());
        shown = v.visible.size();
        benchmark::DoNotOptimize(v);
    }
    state.counters["devices"] = static_cast<double>(shown);
}
BENCHMARK(BM_MainRefresh)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

void BM_MainSnapshotOnly(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(ovk_registry_snapshot(ovk_now_ms()));
}
BENCHMARK(BM_MainSnapshotOnly)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

// Filter, search and sort of a snapshot already taken; the search looks through all five
// fields of every device.
void BM_MainFilterSortSearch(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    const OVK_DEVICE_LIST l = ovk_registry_snapshot(ovk_now_ms());
    for (auto _ : state) {
        benchmark::DoNotOptimize(ovk_list_visible(l, OVK_FILTER_ALL, ""));
        benchmark::DoNotOptimize(ovk_list_visible(l, OVK_FILTER_ALL, "equipment 1"));
    }
}
BENCHMARK(BM_MainFilterSortSearch)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

// The interface on a display of its own, the main screen's first view in.
struct WINDOW : ovk_bench::GUI_WINDOW {
    explicit WINDOW(bool radar) {
        OVK_PREFS p = ovk_bench::window_prefs(OVK_THEME_DARK);
        p.radar_view = radar ? 1 : 0;
        p.radar_names = 1;
        if (open(&p)) {
            ovk_main_refresh(&g);
            ovk_main_settle(&g, 30000);
        }
    }
};

// The interface thread's tick: 90 ticks at 30 a second (a refresh every half second, the
// worker's views swapped in as they come), each timed; the counters give the mean, the
// largest and how many views came in.
void BM_MainTick(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(0)));
    WINDOW w(false);
    if (!w.ok) return state.SkipWithError("no window");
    for (auto _ : state) {
        double total = 0, worst = 0;
        int views = 0;
        for (int i = 0; i < 90; ++i) {
            const OVK_DEVICE_REFS::PTR* before = w.g.devices.refs().data();
            const double t0 = al_get_time();
            ovk_gui_update(&w.g);
            const double dt = al_get_time() - t0;
            total += dt;
            worst = std::max(worst, dt);
            views += w.g.devices.refs().data() != before;
            al_rest(1.0 / 30 - std::min(dt, 1.0 / 30));
        }
        state.SetIterationTime(total / 90);
        state.counters["max_ms"] = worst * 1000;
        state.counters["views"] = views;
    }
}
BENCHMARK(BM_MainTick)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// One frame of the main screen, drawn and flipped: arg 0 the list, 1 the radar.
void BM_MainFrame(benchmark::State& state) {
    fill_registry(static_cast<int>(state.range(1)));
    const bool radar = state.range(0) == 1;
    WINDOW w(radar);
    if (!w.ok) return state.SkipWithError("no window");
    state.SetLabel(radar ? "radar" : "list");
    double t = 100;
    for (auto _ : state) {
        w.g.now_s = t += 1.0 / 30;
        w.frame();
    }
    state.counters["drawn"] = radar ? static_cast<double>(ovk_main_state().radar_hits.size()) : 0;
}
BENCHMARK(BM_MainFrame)
    ->Args({0, 200})
    ->Args({1, 200})
    ->Args({0, 2000})
    ->Args({1, 2000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

// The radar of the screen as a plain Allegro program draws it: every shape on its own with
// the primitives add-on and every label with al_draw_text, from what was worked out once.
struct PLAIN_RADAR {
    struct DOT {
        float x, y;
        bool flagged;
        ALLEGRO_COLOR colour;
    };
    struct LABEL {
        float x, y;
        ALLEGRO_COLOR colour;
        std::string text;
    };
    float cx = 0, cy = 0, R = 0, s = 1, x = 0, y = 0, h = 0;
    std::vector<DOT> dots;
    std::vector<LABEL> labels;

    // The screen's geometry and labels for the widget at (x, y) of w by h.
    void prepare(OVK_GUI* g, float wx, float wy, float w, float wh) {
        x = wx;
        y = wy;
        h = wh;
        s = g->scale;
        const float m = 28 * s;
        R = std::min(w, h - m) / 2 - 8 * s;
        cx = x + w / 2;
        cy = y + (h - m) / 2;
        ALLEGRO_FONT* small = g->font_small ? g->font_small : g->font;
        const float sh = static_cast<float>(al_get_font_line_height(small));
        std::vector<OVK_RECT> taken;
        const OVK_RECT area{x, y, w, h};
        const float rings[3] = {16.0f / 35 * R, 24.8f / 35 * R, R};
        const char* ring_text[3] = {"Near", "Nearby", "Far"};
        for (int i = 0; i < 3; ++i) {
            const float lx = cx + 4 * s, ly = cy - rings[i] + 2 * s;
            labels.push_back(LABEL{lx, ly, g->pal.scope_text, ring_text[i]});
            taken.push_back(OVK_RECT{lx - 2, ly - 2,
                                     static_cast<float>(al_get_text_width(small, ring_text[i])) + 4,
                                     sh + 4});
        }
        std::vector<const OVK_DEVICE*> devs;
        const size_t n = std::min<size_t>(ovk_main_state().visible.size(), 200);
        for (size_t i = 0; i < n; ++i) {
            const OVK_DEVICE& d = g->devices[static_cast<size_t>(ovk_main_state().visible[i])];
            const OVK_RADAR_POS p = ovk_list_radar_pos(d.mac, d.rssi, R);
            const bool flagged = ovk_device_flagged(d) != 0;
            dots.push_back(DOT{cx + p.dx, cy + p.dy, flagged,
                               flagged ? ovk_device_color(g, d) : g->pal.scope});
            devs.push_back(&d);
        }
        const auto take_dots = [&](bool flagged) {
            for (const DOT& d : dots)
                if (d.flagged == flagged) {
                    const float rad = (flagged ? 7 : 4) * s;
                    taken.push_back(OVK_RECT{d.x - rad, d.y - rad, 2 * rad, 2 * rad});
                }
        };
        taken.push_back(OVK_RECT{cx - 5 * s, cy - 5 * s, 10 * s, 10 * s});
        take_dots(true);
        for (int pass = 0; pass < 2; ++pass) {
            if (pass == 1) take_dots(false);
            for (size_t i = 0; i < dots.size(); ++i) {
                const DOT& dot = dots[i];
                if (dot.flagged != (pass == 0)) continue;
                const OVK_DEVICE& d = *devs[i];
                const OVK_HIT* best = ovk_device_best(d);
                std::string text = dot.flagged && best ? best->label
                                   : !d.name.empty()   ? d.name
                                                       : d.device_type;
                if (text.empty()) continue;
                text = zq_gui_text_shorten(small, text, 150 * s);
                const float tw = static_cast<float>(al_get_text_width(small, text.c_str()));
                float lx, ly;
                if (ovk_list_place_label(taken, 516, area, dot.x, dot.y, (dot.flagged ? 10 : 7) * s,
                                         tw, sh, &lx, &ly))
                    labels.push_back(LABEL{lx, ly, g->pal.scope_text, std::move(text)});
            }
        }
    }

    void draw(OVK_GUI* g) const {
        const ALLEGRO_COLOR& scope = g->pal.scope;
        const ALLEGRO_COLOR grid =
            al_map_rgba_f(scope.r * 0.33f, scope.g * 0.33f, scope.b * 0.33f, 0.33f);
        for (float rr : {16.0f / 35 * R, 24.8f / 35 * R, R})
            al_draw_circle(cx, cy, rr, grid, 1.2f * s);
        al_draw_line(cx - R, cy, cx + R, cy, grid, 1.2f * s);
        al_draw_line(cx, cy - R, cx, cy + R, grid, 1.2f * s);
        const double sweep = std::fmod(72.0 * g->now_s, 360.0) * std::numbers::pi / 180.0;
        for (int i = 0; i < 24; ++i) {
            const float a0 = static_cast<float>(sweep - 0.035 * i), a1 = a0 - 0.036f;
            const float a = (1 - static_cast<float>(i) / 24) * 0.33f;
            al_draw_filled_triangle(cx, cy, cx + R * std::cos(a0), cy + R * std::sin(a0),
                                    cx + R * std::cos(a1), cy + R * std::sin(a1),
                                    al_map_rgba_f(scope.r * a, scope.g * a, scope.b * a, a));
        }
        const float f = static_cast<float>(std::fmod(g->now_s, 1.0));
        for (const DOT& d : dots) {
            if (d.flagged) {
                const float a = 0.8f * (1 - f);
                al_draw_circle(d.x, d.y, (7 + 14 * f) * s,
                               al_map_rgba_f(d.colour.r * a, d.colour.g * a, d.colour.b * a, a),
                               2 * s);
            }
            al_draw_filled_circle(d.x, d.y, (d.flagged ? 7 : 4) * s, d.colour);
        }
        al_draw_filled_circle(cx, cy, 5 * s, g->pal.trace);
        ALLEGRO_FONT* small = g->font_small ? g->font_small : g->font;
        al_hold_bitmap_drawing(true);
        for (const LABEL& l : labels) al_draw_text(small, l.colour, l.x, l.y, 0, l.text.c_str());
        al_draw_text(small, g->pal.scope_text, x + 8 * s,
                     y + h - 8 * s - static_cast<float>(al_get_font_line_height(small)), 0,
                     "Closer to centre = stronger signal - angle is not direction");
        al_hold_bitmap_drawing(false);
    }
};

// The radar widget alone, cleared, drawn and flipped: arg 0 the screen's drawing, 1 the same
// radar drawn plainly. The ratio of the two is what the screen's own work costs.
void BM_RadarFrame(benchmark::State& state) {
    fill_registry(2000);
    const bool plain = state.range(0) == 1;
    WINDOW w(true);
    if (!w.ok) return state.SkipWithError("no window");
    state.SetLabel(plain ? "plain Allegro" : "screen");
    ZQ_GUI_WIDGET* wd = zq_gui_get_widget(w.g.ctx, ovk_main_state().w_radar);
    if (!wd) return state.SkipWithError("no radar");
    float x = 0, y = 0, ww = 0, wh = 0;
    zq_gui_widget_screen_rect(w.g.ctx, ovk_main_state().w_radar, &x, &y, &ww, &wh);
    PLAIN_RADAR pr;
    if (plain) pr.prepare(&w.g, x, y, ww, wh);
    double t = 100;
    al_set_target_backbuffer(w.display);
    for (auto _ : state) {
        w.g.now_s = t += 1.0 / 30;
        al_clear_to_color(w.g.pal.bg);
        if (plain)
            pr.draw(&w.g);
        else
            ovk_main_draw_radar(wd, x, y, w.g.font, &w.g);
        al_flip_display();
    }
    state.counters["drawn"] = plain ? static_cast<double>(pr.dots.size())
                                    : static_cast<double>(ovk_main_state().radar_hits.size());
    state.counters["labels"] =
        static_cast<double>(plain ? pr.labels.size() : ovk_main_state().radar.texts.size());
}
BENCHMARK(BM_RadarFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
