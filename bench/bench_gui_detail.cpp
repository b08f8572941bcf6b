// SPDX-License-Identifier: GPL-3.0-or-later
// The detail and watchlist screens' costs under a private Xvfb (software OpenGL), at 1100 by
// 820, over the demo's devices:
//   - the detail screen's half-second refresh of a drone when nothing changed (the document is
//     built and hashed, the view keeps its layout) and when the drone moved (the view takes
//     the new text and lays it out again), each followed by a frame, and the frame alone;
//   - opening a device's details over a detection log of 50,000 matches (the device's own are
//     picked out of a copy of the whole log);
//   - reloading the watchlist grid with the presets and 1,000 rules of the user's own.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>

#include "ovk_app_util.h"
#include "ovk_bench_gui.h"
#include "ovk_demo.h"
#include "ovk_gui.h"
#include "ovk_gui_detail.h"
#include "ovk_gui_port.h"
#include "ovk_gui_watchlist.h"
#include "ovk_pipeline.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"

namespace {

constexpr double kLat = 45.4215, kLon = -75.6972;
const char* const kDrone = "60:60:1F:A2:44:18";

// The engine over a scratch directory with twenty seconds of the demo heard, and an
// interface on a display of its own.
struct SCENE : ovk_bench::GUI_WINDOW {
    ovk_test::TempDir dir;

    SCENE() {
        if (!ovk_bench::xserver().running) return;
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);  // the vendor tables
        setenv("HOME", dir.path().c_str(), 1);
        ovk_vendordb_load();
        ovk_prefs_set(ovk_bench::window_prefs(OVK_THEME_DARK));  // the engine reads them too
        if (ovk_store_open(dir.path()) != 0 || ovk_pipeline_init() != 0) return;
        ovk_watchlist_load(dir.path());
        const int64_t now = ovk_now_ms();
        ovk_registry_start_session(now - 60000);
        OVK_LOCATION anchor;
        anchor.lat = kLat;
        anchor.lon = kLon;
        for (int r = 0; r < 20; ++r) {
            const int64_t t = now - (19 - r) * 1000;
            ovk_pipeline_location(ovk_demo_user_fix(r, kLat, kLon, t));
            ovk_demo_round_at(r, t, anchor,
                              [](OVK_ADVERT_PTR a) { ovk_pipeline_submit(std::move(a)); });
        }
        while (ovk_pipeline_pending() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        open(nullptr);
    }
    ~SCENE() {
        close();  // the interface before the engine under it
        ovk_watchlist_unload();
        ovk_pipeline_shutdown();
        ovk_store_close();
        ovk_registry_clear();
    }
};

// The document view's height: lays the document out when its text was replaced.
float laid_out_height(SCENE& s) {
    const ZQ_GUI_WINDOW* w = zq_gui_get_window(s.g.ctx, s.g.popup[OVK_POP_DETAIL]);
    for (int id : w->widgets)
        if (zq_gui_get_widget(s.g.ctx, id)->type == ZQ_GUI_MARKDOWNVIEW)
            return zq_gui_markdownview_content_height(s.g.ctx, id);
    return 0;
}

// Refresh and layout (arg 0) or refresh, layout and a frame (arg 1) of a drone standing
// still.
void BM_DetailRefreshUnchanged(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no scene");
    ovk_detail_show(&s.g, kDrone);
    s.frame();
    for (auto _ : state) {
        ovk_detail_refresh(&s.g);
        benchmark::DoNotOptimize(laid_out_height(s));
        if (state.range(0)) s.frame();
    }
}
BENCHMARK(BM_DetailRefreshUnchanged)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The same for a drone that moves between refreshes: a new Remote ID position each time.
void BM_DetailRefreshDroneMoved(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no scene");
    ovk_detail_show(&s.g, kDrone);
    auto d = ovk_registry_get(kDrone);
    auto rid = ovk_registry_remote_id(kDrone);
    if (!d || !d->advert || !rid) return state.SkipWithError("no drone");
    OVK_IDENTITY id;
    id.type = d->device_type;
    int step = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rid->lat += 1e-5 * (++step % 2 ? 1 : -1);
        ovk_registry_report(*d->advert, d->hits, &id, d->vendor, &*rid, nullptr, ovk_now_ms());
        state.ResumeTiming();
        ovk_detail_refresh(&s.g);
        benchmark::DoNotOptimize(laid_out_height(s));
        if (state.range(0)) s.frame();
    }
}
BENCHMARK(BM_DetailRefreshDroneMoved)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_DetailFrame(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no scene");
    ovk_detail_show(&s.g, kDrone);
    for (auto _ : state) s.frame();
}
BENCHMARK(BM_DetailFrame)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_DetailShowOverALargeLog(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no scene");
    ovk_store_close();  // memory only: the log is not written out
    OVK_DETECTION m;
    m.label = "Axon body camera";
    m.source = "BLE";
    m.evidence = "Axon advertisement (company 0x034D) with a body-camera model string";
    for (int i = 0; i < 50000; ++i) {
        m.mac = i % 100 ? "00:25:DF:00:00:" + std::to_string(10 + i % 80) : kDrone;
        m.timestamp = 1700000000000 + i * 1000LL;
        ovk_store_add_detection(m);
    }
    const char* macs[] = {kDrone, "7A:31:C4:0B:9E:22"};
    int k = 0;
    for (auto _ : state) ovk_detail_show(&s.g, macs[k++ % 2]);  // another device each time
}
BENCHMARK(BM_DetailShowOverALargeLog)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// What a click on Favorite or Whitelist costs the interface thread: the write itself (starring
// rewrites the remembered devices, 10,000 of them here; trusting rewrites the whitelist) is
// the engine port's, and is let finish outside the timing before the next click.
void BM_DetailFavoriteAndWhitelist(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no scene");
    std::vector<OVK_KNOWN> rows(10000);
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].mac =
            "02:00:00:00:" + std::to_string(10 + i / 90) + ":" + std::to_string(10 + i % 90);
        rows[i].first_seen = rows[i].last_seen = 1700000000000;
        rows[i].name = "Device " + std::to_string(i);
    }
    ovk_store_known_upsert(rows);
    ovk_detail_show(&s.g, kDrone);
    // The page's first reading arrives through the port.
    ovk_port_settle(&s.g, 10000);
    s.g.last_refresh_s = -10;
    ovk_gui_update(&s.g);
    s.frame();
    const ZQ_GUI_WINDOW* w = zq_gui_get_window(s.g.ctx, s.g.popup[OVK_POP_DETAIL]);
    int fav = -1, white = -1;
    for (int id : w->widgets) {
        const std::string l = zq_gui_button_get_label(s.g.ctx, id);
        if (l == "Favorite") fav = id;
        if (l == "Whitelist") white = id;
    }
    const int id = state.range(0) ? white : fav;
    const ZQ_GUI_WIDGET* b = zq_gui_get_widget(s.g.ctx, id);
    if (!b) return state.SkipWithError("no button");
    state.SetLabel(state.range(0) ? "whitelist" : "favorite");
    // Whether the device is marked, as the store has it.
    const auto marked = [&] {
        return (state.range(0) ? ovk_store_is_whitelisted(kDrone)
                               : ovk_store_is_favorite(kDrone)) == 1;
    };
    int changes = 0;
    for (auto _ : state) {
        const bool before = marked();
        s.click_widget(b->id);
        ovk_gui_update(&s.g);  // the tick that carries the click out
        state.PauseTiming();
        ovk_port_settle(&s.g, 10000);
        s.g.last_refresh_s = -10;  // the page reads the change before the next click
        ovk_gui_update(&s.g);
        ovk_port_settle(&s.g, 10000);
        ovk_gui_update(&s.g);
        changes += marked() != before;
        state.ResumeTiming();
    }
    // Each click is carried out: 1 when every one turned the mark.
    state.counters["changed_per_click"] =
        static_cast<double>(changes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DetailFavoriteAndWhitelist)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(100)
    ->Unit(benchmark::kMicrosecond);

void BM_WatchlistShow(benchmark::State& state) {
    SCENE s;
    if (!s.ok) return state.SkipWithError("no scene");
    std::string json = "[";
    for (int i = 0; i < 1000; ++i)
        json += (i ? "," : "") + std::string("{\"prefix\":\"name:unit ") + std::to_string(i) +
                "\",\"label\":\"Unit " + std::to_string(i) + "\"}";
    json += "]";
    ovk_watchlist_import_custom(json);
    state.counters["rows"] = static_cast<double>(ovk_watchlist_all().size());
    for (auto _ : state) {
        ovk_watchlist_show(&s.g);
        s.frame();
    }
}
BENCHMARK(BM_WatchlistShow)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    return ovk_bench::run_benchmarks(argc, argv);
}
