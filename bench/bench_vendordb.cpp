// SPDX-License-Identifier: GPL-3.0-or-later
// Vendor tables: load of the four committed tables and the cost of each lookup.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <string>

#include "ovk_vendordb.h"

namespace {

void use_source_assets() {
    setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
}

// Whole start-up load: reading the four files from disk and building the tables.
void BM_VendorDbLoadFromDisk(benchmark::State& state) {
    use_source_assets();
    ovk_vendordb_unload();
    for (auto _ : state) {
        if (ovk_vendordb_load() != 0) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        ovk_vendordb_unload();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_VendorDbLoadFromDisk)->Unit(benchmark::kMillisecond);

// Parsing and table building only (files already in memory).
void BM_VendorDbParse(benchmark::State& state) {
    use_source_assets();
    std::map<std::string, std::string, std::less<>> files;
    for (const char* f : {OVK_VENDOR_FILE_OUI, OVK_VENDOR_FILE_COMPANY, OVK_VENDOR_FILE_UUID16,
                          OVK_VENDOR_FILE_APPEARANCE}) {
        files[f] = ovk_read_asset(f).value_or("");
    }
    OVK_ASSET_READER reader = [&files](std::string_view n) -> std::optional<std::string> {
        auto it = files.find(n);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    ovk_vendordb_unload();
    for (auto _ : state) {
        if (ovk_vendordb_load(reader) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        ovk_vendordb_unload();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_VendorDbParse)->Unit(benchmark::kMillisecond);

class Loaded : public benchmark::Fixture {
  public:
    void SetUp(const benchmark::State&) override {
        use_source_assets();
        ovk_vendordb_load();
    }
};

BENCHMARK_F(Loaded, MacLookupHitMaL)(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ovk_vendor_mac("00:A0:C6:12:34:56"));
}
BENCHMARK_F(Loaded, MacLookupHitMaS)(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ovk_vendor_mac("70:B3:D5:00:10:00"));
}
BENCHMARK_F(Loaded, MacLookupMiss)(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ovk_vendor_mac("F4:FF:FF:12:34:56"));
}
BENCHMARK_F(Loaded, CompanyLookup)(benchmark::State& state) {
    int cid = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ovk_vendor_company(cid));
        cid = (cid + 1) & 0xFFF;
    }
}
BENCHMARK_F(Loaded, Uuid16Lookup)(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ovk_vendor_uuid16(0xFEAA));
}
BENCHMARK_F(Loaded, AppearanceLookup)(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ovk_vendor_appearance(0x00C1));
}

}  // namespace

BENCHMARK_MAIN();
