// SPDX-License-Identifier: GPL-3.0-or-later
// Signature report of a busy BLE advertisement.
#include <benchmark/benchmark.h>

#include "ovk_advert.h"
#include "ovk_sigreport.h"

namespace {

void BM_Report(benchmark::State& st) {
    OVK_ADVERT a;
    a.mac = "00:25:DF:12:34:56";
    a.addr_type = OVK_ADDR_PUBLIC;
    a.name = "Axon Body 3 X60012345";
    a.connectable = 1;
    a.has_tx_power = 1;
    a.tx_power = -4;
    a.phy = "LE 1M";
    for (uint16_t u = 0x1800; u < 0x1810; u++) a.uuids.push_back(ovk_uuid16(u));
    a.mfg = {{0x004C, {0x12, 0x19, 0x10}}, {0x0969, {0x01, 0x02}}};
    a.svc = {{ovk_uuid16(0xFEAA), {0x10, 0x00}}, {ovk_uuid16(0xFD6F), {0x01}}};
    for (auto _ : st) {
        auto r = ovk_signature_report(&a, "Axon Enterprise", "Body camera", false, "a body camera",
                                      "0.2.0");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_Report);

}  // namespace

BENCHMARK_MAIN();
