// SPDX-License-Identifier: GPL-3.0-or-later
// Plate-camera nearness per GPS fix and answer parsing.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ovk_alpr.h"

namespace {

std::vector<OVK_CAMERA> grid(int n) {
    std::vector<OVK_CAMERA> cams;
    for (int i = 0; i < n; i++) {
        OVK_CAMERA c;
        c.osm_id = "node/" + std::to_string(i);
        c.lat = 33.0 + (i % 200) * 0.005;  // a 1 x 1 degree area
        c.lon = -85.0 + (i / 200 % 200) * 0.005;
        c.brand = "Flock Safety";
        cams.push_back(c);
    }
    return cams;
}

std::string answer(int n) {
    std::string s = R"({"version":0.6,"elements":[)";
    for (int i = 0; i < n; i++) {
        if (i) s += ',';
        s +=
            R"({"type":"node","id":)" + std::to_string(1000000 + i) + R"(,"lat":33.)" +
            std::to_string(100000 + i) +
            R"(,"lon":-84.39,"tags":{"manufacturer":"Flock Safety","operator":"Police","camera:direction":"NW",)"
            R"("surveillance:type":"ALPR"}})";
    }
    return s + "]}";
}

void BM_NearPerFix(benchmark::State& st) {
    auto cams = grid(static_cast<int>(st.range(0)));
    ovk_alpr_set_for_test(cams);
    double lat = 33.5;
    for (auto _ : st) {
        auto near = ovk_alpr_near_cached(lat, -84.5, 600, 64);
        benchmark::DoNotOptimize(near);
        lat += 1e-5;
    }
    st.SetItemsProcessed(st.iterations() * st.range(0));
}
BENCHMARK(BM_NearPerFix)->Arg(1000)->Arg(10000)->Arg(40000);

void BM_ParseAnswer(benchmark::State& st) {
    const std::string a = answer(static_cast<int>(st.range(0)));
    for (auto _ : st) {
        auto cams = ovk_alpr_parse(a);
        benchmark::DoNotOptimize(cams);
    }
    st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(a.size()));
}
BENCHMARK(BM_ParseAnswer)->Arg(1000)->Arg(5000)->Arg(20000);

void BM_Direction(benchmark::State& st) {
    const char* texts[] = {"90;270", "NNW", "-45.5", "north"};
    size_t i = 0;
    for (auto _ : st) benchmark::DoNotOptimize(ovk_alpr_parse_direction(texts[i++ & 3]));
}
BENCHMARK(BM_Direction);

}  // namespace

BENCHMARK_MAIN();
