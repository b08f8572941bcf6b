// SPDX-License-Identifier: GPL-3.0-or-later
// Cell analyzer per report with a full history.
#include <benchmark/benchmark.h>

#include <vector>

#include "ovk_cell.h"

namespace {

void BM_AnalyzeReport(benchmark::State& st) {
    auto an = ovk_cell_analyzer_new();
    std::vector<OVK_CELL> cells(8);
    for (size_t i = 0; i < cells.size(); i++) {
        cells[i].rat = i == 0 ? OVK_RAT_GSM : OVK_RAT_LTE;
        cells[i].registered = i == 0;
        cells[i].mcc = "262";
        cells[i].mnc = "01";
        cells[i].has_area = 1;
        cells[i].area = 100 + static_cast<int>(i);
        cells[i].has_cell_id = 1;
        cells[i].cell_id = 1000 + static_cast<int64_t>(i);
    }
    OVK_CELL_CONTEXT ctx;
    ctx.sim_operator = "26201";
    ctx.stationary = 1;
    ctx.time = 1700000000000;
    for (auto _ : st) {
        ctx.time += 1000;
        cells[0].area ^= 1;
        auto out = ovk_cell_analyze(*an, cells, ctx, 16);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_AnalyzeReport);

}  // namespace

BENCHMARK_MAIN();
