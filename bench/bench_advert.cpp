// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of building adverts from raw bytes (what each scanner thread pays per report) and of
// the fingerprint the registry takes for every new BLE address.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_fingerprint.h"

namespace {

// A full 31-byte legacy payload: flags, two 16-bit UUIDs, service data, name, TX power.
const std::vector<uint8_t> kBle = {0x02, 0x01, 0x06, 0x05, 0x03, 0x0D, 0x18, 0x0F, 0x18, 0x07, 0x16,
                                   0xAA, 0xFE, 0x10, 0xEB, 0x03, 0x6F, 0x07, 0x09, 'B',  'a',  'n',
                                   'd',  ' ',  '7',  0x02, 0x0A, 0xF4, 0x02, 0x19, 0xC1};

// A 2024-style beacon: SSID, rates, DS, TIM, RSN, HT, VHT, HE, WPS and two vendor elements.
std::vector<uint8_t> beacon() {
    std::vector<uint8_t> b;
    auto ie = [&](uint8_t id, std::vector<uint8_t> body) {
        b.push_back(id);
        b.push_back(static_cast<uint8_t>(body.size()));
        b.insert(b.end(), body.begin(), body.end());
    };
    ie(0, {'L', 'i', 'n', 'd', 'q', 'v', 'i', 's', 't', '-', '5', 'G'});
    ie(1, {0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24});
    ie(3, {36});
    ie(5, {0, 1, 0, 0});
    ie(0x30, {0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04,
              0x02, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x0F, 0xAC, 0x08, 0x8C, 0x00});
    ie(45, std::vector<uint8_t>(26, 0x11));
    ie(191, std::vector<uint8_t>(12, 0x22));
    std::vector<uint8_t> he(21, 0x33);
    he[0] = 35;
    ie(0xFF, he);
    std::vector<uint8_t> wps = {0x00, 0x50, 0xF2, 0x04, 0x10, 0x4A, 0x00, 0x01, 0x10, 0x10,
                                0x21, 0x00, 0x07, 'N',  'E',  'T',  'G',  'E',  'A',  'R',
                                0x10, 0x23, 0x00, 0x05, 'R',  '7',  '0',  '0',  '0'};
    ie(0xDD, wps);
    ie(0xDD, {0x00, 0x10, 0x18, 0x02, 0x00, 0x00, 0x1C, 0x00, 0x00});
    ie(0xDD, {0x00, 0x50, 0xF2, 0x02, 0x01, 0x01, 0x80, 0x00, 0x03, 0xA4, 0x00, 0x00});
    return b;
}

void BM_AdvertNewBle(benchmark::State& st) {
    for (auto _ : st) {
        auto a = ovk_advert_new_ble("C8:3F:26:A1:09:5B", -60, kBle, OVK_ADDR_RANDOM_STATIC, 1,
                                    "LE 1M (legacy)", "", 0);
        benchmark::DoNotOptimize(a.get());
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_AdvertNewBle);

void BM_AdvertNewWifi(benchmark::State& st) {
    const auto ies = beacon();
    st.counters["ie_bytes"] = static_cast<double>(ies.size());
    for (auto _ : st) {
        auto a = ovk_advert_new_wifi("A0:36:BC:5E:11:20", "Lindqvist-5G", -48, 5180, std::nullopt,
                                     std::nullopt, ies, 0);
        benchmark::DoNotOptimize(a.get());
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_AdvertNewWifi);

void BM_AdvertDup(benchmark::State& st) {
    const auto ies = beacon();
    auto a = ovk_advert_new_wifi("A0:36:BC:5E:11:20", "Lindqvist-5G", -48, 5180, std::nullopt,
                                 std::nullopt, ies, 0);
    for (auto _ : st) {
        auto d = ovk_advert_dup(a.get());
        benchmark::DoNotOptimize(d.get());
    }
}
BENCHMARK(BM_AdvertDup);

void BM_AdvertFingerprint(benchmark::State& st) {
    auto a = ovk_advert_new_ble("C8:3F:26:A1:09:5B", -60, kBle, OVK_ADDR_RESOLVABLE_PRIVATE, 1,
                                std::nullopt, "", 0);
    std::string fp;
    for (auto _ : st) {
        benchmark::DoNotOptimize(ovk_advert_fingerprint(a.get(), fp));
        benchmark::DoNotOptimize(fp.data());
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_AdvertFingerprint);

void BM_MacNormalize(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(ovk_mac_normalize("  c8-3f-26-a1-09-5b "));
}
BENCHMARK(BM_MacNormalize);

}  // namespace

BENCHMARK_MAIN();
