// SPDX-License-Identifier: GPL-3.0-or-later
// orvik-classify per advertisement: one input line through the whole tool (JSON in, verdicts,
// Remote ID, identification, fingerprint, distance, address check, JSON out), and the same
// line in report mode, over the valid adverts of the regression capture, with the committed
// vendor tables loaded.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ovk_classify_io.h"
#include "ovk_vendordb.h"

namespace {

const std::vector<std::string>& capture() {
    static const std::vector<std::string> lines = [] {
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        ovk_vendordb_load();
        std::vector<std::string> v;
        std::ifstream f(OVK_SOURCE_DIR "/tests/data/classify_sample.jsonl");
        std::string line;
        long n = 0;
        while (std::getline(f, line))
            if (ovk_classify_line(line, ++n).status == OVK_CLASSIFY_OK) v.push_back(line);
        return v;
    }();
    return lines;
}

void run(benchmark::State& state, std::optional<std::string_view> note) {
    const std::vector<std::string>& lines = capture();
    if (lines.empty()) {
        state.SkipWithError("no capture");
        return;
    }
    size_t i = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        const OVK_CLASSIFY_LINE r = ovk_classify_line(lines[i], 1, note);
        benchmark::DoNotOptimize(r.json.data());
        bytes += r.json.size();
        i = (i + 1) % lines.size();
    }
    state.counters["adverts"] = static_cast<double>(lines.size());
    state.counters["out_bytes_per_line"] =
        static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

void BM_ClassifyToolLine(benchmark::State& state) {
    run(state, std::nullopt);
}
BENCHMARK(BM_ClassifyToolLine);

void BM_ClassifyToolReportLine(benchmark::State& state) {
    run(state, "seen at the gate");
}
BENCHMARK(BM_ClassifyToolReportLine);

}  // namespace

BENCHMARK_MAIN();
