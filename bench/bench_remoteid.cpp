// SPDX-License-Identifier: GPL-3.0-or-later
// Decode cost of Remote ID broadcasts: a five-message pack in a Wi-Fi vendor element, the
// same pack in BLE service data, and one single BLE Location message.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "ovk_advert.h"
#include "ovk_remoteid.h"

namespace {

std::vector<uint8_t> msg(uint8_t type, uint8_t b1, const char* text) {
    std::vector<uint8_t> m(25, 0);
    m[0] = static_cast<uint8_t>(type << 4 | 2);
    m[1] = b1;
    if (text) memcpy(m.data() + 2, text, strlen(text));
    return m;
}

std::vector<uint8_t> location() {
    std::vector<uint8_t> m(25, 0);
    m[0] = 0x12;
    m[1] = 0x20;
    m[2] = 90;
    m[3] = 40;
    const int32_t lat = 593293000, lon = 180686000;
    memcpy(m.data() + 5, &lat, 4);
    memcpy(m.data() + 9, &lon, 4);
    m[15] = 0x34;
    m[16] = 0x08;
    m[17] = 0x20;
    m[18] = 0x08;
    return m;
}

std::vector<uint8_t> five_pack() {
    std::vector<uint8_t> p = {0xF2, 25, 5};
    for (const auto& m : {msg(0, 0x12, "1581F5FKD229400B"), location(), msg(3, 0, "Survey"),
                          msg(4, 1, nullptr), msg(5, 0, "SWE-OP-0042")})
        p.insert(p.end(), m.begin(), m.end());
    p[3 + 3 * 25 + 2] = 0x10;  // operator latitude non-zero
    p[3 + 3 * 25 + 7] = 0x10;  // operator longitude non-zero
    return p;
}

void BM_RidWifiPack(benchmark::State& st) {
    std::vector<uint8_t> ie = {0xFA, 0x0B, 0xBC, 0x0D, 0x01};
    const auto p = five_pack();
    ie.insert(ie.end(), p.begin(), p.end());
    for (auto _ : st) {
        OVK_REMOTE_ID r;
        benchmark::DoNotOptimize(ovk_rid_decode_wifi_ie(ie, r));
        benchmark::DoNotOptimize(r.has_pos);
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_RidWifiPack);

void BM_RidBlePackCumulative(benchmark::State& st) {
    std::vector<uint8_t> svc = {0x0D, 0x01};
    const auto p = five_pack();
    svc.insert(svc.end(), p.begin(), p.end());
    OVK_REMOTE_ID r;  // one record per drone, decoded into again and again
    for (auto _ : st) benchmark::DoNotOptimize(ovk_rid_decode_ble(svc, r));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_RidBlePackCumulative);

void BM_RidBleLocation(benchmark::State& st) {
    std::vector<uint8_t> svc = {0x0D, 0x01};
    const auto m = location();
    svc.insert(svc.end(), m.begin(), m.end());
    OVK_REMOTE_ID r;
    for (auto _ : st) benchmark::DoNotOptimize(ovk_rid_decode_ble(svc, r));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_RidBleLocation);

void BM_RidAdvertWifi(benchmark::State& st) {
    std::vector<uint8_t> body = {0xFA, 0x0B, 0xBC, 0x0D, 0x01};
    const auto p = five_pack();
    body.insert(body.end(), p.begin(), p.end());
    std::vector<uint8_t> ies = {0x00, 0x03, 'R', 'I', 'D', 0xDD, static_cast<uint8_t>(body.size())};
    ies.insert(ies.end(), body.begin(), body.end());
    auto a = ovk_advert_new_wifi("62:00:00:00:00:01", "RID", -60, 2437, std::nullopt, std::nullopt,
                                 ies, 0);
    for (auto _ : st) {
        OVK_REMOTE_ID r;
        benchmark::DoNotOptimize(ovk_rid_decode_advert(a.get(), r));
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_RidAdvertWifi);

}  // namespace

BENCHMARK_MAIN();
