// SPDX-License-Identifier: GPL-3.0-or-later
// The platform layer's hot path: scanner threads handing adverts and fixes to the sink.
#include <benchmark/benchmark.h>

#include <atomic>

#include "ovk_platform.h"

namespace {

void BM_EmitAdvertToSink(benchmark::State& st) {
    std::atomic<long> got{0};
    OVK_SINK s;
    s.on_advert = [&got](OVK_ADVERT_PTR a) { got += a ? 1 : 0; };
    ovk_platform_set_sink(&s);
    for (auto _ : st) {
        auto a = std::make_unique<OVK_ADVERT>();
        ovk_linux_emit_advert(std::move(a));
    }
    ovk_platform_set_sink(nullptr);
    benchmark::DoNotOptimize(got.load());
}
BENCHMARK(BM_EmitAdvertToSink)->Threads(1)->Threads(2);

void BM_EmitAdvertNoSink(benchmark::State& st) {
    ovk_platform_set_sink(nullptr);
    for (auto _ : st) ovk_linux_emit_advert(std::make_unique<OVK_ADVERT>());
}
BENCHMARK(BM_EmitAdvertNoSink);

void BM_EmitLocation(benchmark::State& st) {
    long got = 0;
    OVK_SINK s;
    s.on_location = [&got](const OVK_LOCATION& f) { got += f.lat > 0; };
    ovk_platform_set_sink(&s);
    OVK_LOCATION f;
    f.lat = 1;
    for (auto _ : st) ovk_linux_emit_location(f);
    ovk_platform_set_sink(nullptr);
    benchmark::DoNotOptimize(got);
}
BENCHMARK(BM_EmitLocation);

void BM_ScanStatusIdle(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(ovk_platform_scan_status());
}
BENCHMARK(BM_ScanStatusIdle);

}  // namespace

BENCHMARK_MAIN();
