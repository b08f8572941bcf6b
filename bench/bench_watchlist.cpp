// SPDX-License-Identifier: GPL-3.0-or-later
// Watchlist verdicts per advertisement with the three shipped presets loaded, and the
// exports of a 10,000-row match log.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ovk_export.h"
#include "ovk_prefs.h"
#include "ovk_watchlist.h"

namespace {

void load_all_presets() {
    OVK_PREFS p;
    p.preset_enabled = {1, 1, 1};
    ovk_prefs_set(p);
    ovk_watchlist_load(std::nullopt);
}

void BM_WatchlistHitsMiss(benchmark::State& st) {
    load_all_presets();
    const std::vector<std::string_view> vendors{"Apple, Inc.", "Nordic Semiconductor ASA"};
    for (auto _ : st) {
        OVK_HITS h;
        ovk_watchlist_hits("4C:57:CA:12:34:56", "iPhone of someone", vendors, h);
        benchmark::DoNotOptimize(h);
    }
}
BENCHMARK(BM_WatchlistHitsMiss);

void BM_WatchlistHitsMatch(benchmark::State& st) {
    load_all_presets();
    const std::vector<std::string_view> vendors{"Taser International Inc."};
    for (auto _ : st) {
        OVK_HITS h;
        ovk_watchlist_hits("00:25:DF:12:34:56", "Axon Body 3", vendors, h);
        benchmark::DoNotOptimize(h);
    }
}
BENCHMARK(BM_WatchlistHitsMatch);

void BM_WatchlistLoad(benchmark::State& st) {
    for (auto _ : st) load_all_presets();
}
BENCHMARK(BM_WatchlistLoad);

std::vector<OVK_DETECTION> log_rows(int n) {
    std::vector<OVK_DETECTION> rows(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        OVK_DETECTION& d = rows[static_cast<size_t>(i)];
        d.id = i + 1;
        d.mac = "00:25:DF:00:00:01";
        d.label = "Axon body camera";
        d.source = "BLE";
        d.rssi = -70;
        d.timestamp = 1700000000000 + i * 1000LL;
        d.has_pos = 1;
        d.lat = 45.5;
        d.lon = -73.6;
        d.category = OVK_CAT_BODY_CAM;
        d.confidence = 80;
        d.evidence = "Address is in the watchlisted block 00:25:DF <\"quoted\">";
    }
    return rows;
}

void BM_ExportLogCsv(benchmark::State& st) {
    const auto rows = log_rows(10000);
    for (auto _ : st) benchmark::DoNotOptimize(ovk_export_log_csv(rows));
    st.SetItemsProcessed(st.iterations() * 10000);
}
BENCHMARK(BM_ExportLogCsv)->Unit(benchmark::kMillisecond);

void BM_ExportLogGpx(benchmark::State& st) {
    const auto rows = log_rows(10000);
    for (auto _ : st) benchmark::DoNotOptimize(ovk_export_log_gpx(rows));
    st.SetItemsProcessed(st.iterations() * 10000);
}
BENCHMARK(BM_ExportLogGpx)->Unit(benchmark::kMillisecond);

void BM_ExportLogJson(benchmark::State& st) {
    const auto rows = log_rows(10000);
    for (auto _ : st) benchmark::DoNotOptimize(ovk_export_log_json(rows));
    st.SetItemsProcessed(st.iterations() * 10000);
}
BENCHMARK(BM_ExportLogJson)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
