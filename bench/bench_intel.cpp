// SPDX-License-Identifier: GPL-3.0-or-later
// Identification cost per advertisement, for typical BLE and Wi-Fi advertisements, with the
// committed vendor tables loaded.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_intel.h"
#include "ovk_signature.h"
#include "ovk_vendordb.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sample {
    const char* what;
    OVK_ADVERT_PTR advert;
    const char* vendor;
};

OVK_ADVERT_PTR ble(const Bytes& raw) {
    return ovk_advert_new_ble("C0:11:22:33:44:55", -60, ovk_bytes(raw), OVK_ADDR_RANDOM_STATIC, 1,
                              "LE 1M", "", 0);
}

std::vector<Sample>& samples() {
    static std::vector<Sample> s = [] {
        std::vector<Sample> v;
        v.push_back({"airpods",
                     ble({2,    1,    6,    0x1e, 0xff, 0x4c, 0x00, 0x07, 0x19, 0x01, 0x14, 0x20,
                          0x0b, 0x77, 0x8f, 0x01, 0,    0,    0,    0,    0,    0,    0,    0,
                          0,    0,    0,    0,    0,    0,    0,    0,    0,    0}),
                     nullptr});
        Bytes ib{2, 1, 6, 0x1a, 0xff, 0x4c, 0x00, 0x02, 0x15};
        for (int i = 0; i < 16; i++) ib.push_back(static_cast<uint8_t>(i));
        ib.insert(ib.end(), {0, 1, 0, 2, 0xc5});
        v.push_back({"ibeacon", ble(ib), nullptr});
        Bytes hr{2, 1, 6, 3, 3, 0x0d, 0x18, 3, 0x19, 0xc1, 0x00};
        const std::string n = "Forerunner 255";
        hr.push_back(static_cast<uint8_t>(n.size() + 1));
        hr.push_back(0x09);
        hr.insert(hr.end(), n.begin(), n.end());
        v.push_back({"heart_rate_named", ble(hr), "Garmin International"});
        const std::string n2 = "Unnamed gadget";
        Bytes plain{2, 1, 6, 5, 0xff, 0x59, 0x00, 0x01, 0x02};
        plain.push_back(static_cast<uint8_t>(n2.size() + 1));
        plain.push_back(0x09);
        plain.insert(plain.end(), n2.begin(), n2.end());
        v.push_back({"company_only", ble(plain), nullptr});

        Bytes ies{0, 7, 'H', 'o', 'm', 'e', 'N', 'e', 't'};
        Bytes wps{0x00, 0x50, 0xF2, 0x04, 0x10, 0x21, 0x00, 0x0D};
        const std::string manu = "NETGEAR, Inc.";
        wps.insert(wps.end(), manu.begin(), manu.end());
        wps.insert(wps.end(), {0x10, 0x23, 0x00, 0x05, 'R', '7', '0', '0', '0'});
        ies.push_back(221);
        ies.push_back(static_cast<uint8_t>(wps.size()));
        ies.insert(ies.end(), wps.begin(), wps.end());
        ies.insert(ies.end(), {221, 5, 0x00, 0x10, 0x18, 0x02, 0x00});
        v.push_back({"wifi_wps",
                     ovk_advert_new_wifi("A0:04:60:11:22:33", "HomeNet", -50, 5180,
                                         "[WPA2-PSK-CCMP][ESS]", std::nullopt, ovk_bytes(ies), 0),
                     "NETGEAR"});
        v.push_back({"wifi_hidden",
                     ovk_advert_new_wifi("24:0A:C4:11:22:33", "", -70, 2437, "[WPA2-PSK-CCMP]",
                                         std::nullopt, ovk_bytes(Bytes{}), 0),
                     "Espressif Inc."});
        return v;
    }();
    return s;
}

void load_tables() {
    setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
    ovk_vendordb_load();
}

void BM_Identify(benchmark::State& state) {
    load_tables();
    const Sample& s = samples()[static_cast<size_t>(state.range(0))];
    state.SetLabel(s.what);
    OVK_IDENTITY id;
    for (auto _ : state) {
        ovk_intel_identify(s.advert.get(), s.vendor, &id);
        benchmark::DoNotOptimize(id.type.data());
    }
}
BENCHMARK(BM_Identify)->DenseRange(0, 5);

// The pipeline's view: registrant lookup by address, then identification.
void BM_VendorLookupAndIdentifyMix(benchmark::State& state) {
    load_tables();
    OVK_IDENTITY id;
    size_t i = 0;
    for (auto _ : state) {
        const Sample& s = samples()[i];
        const char* vendor = ovk_vendor_mac(s.advert->mac);
        ovk_intel_identify(s.advert.get(), vendor, &id);
        benchmark::DoNotOptimize(id.type.data());
        i = (i + 1) % samples().size();
    }
}
BENCHMARK(BM_VendorLookupAndIdentifyMix);

// Identification plus the surveillance classification, as the pipeline runs them.
void BM_IdentifyAndClassifyMix(benchmark::State& state) {
    load_tables();
    OVK_IDENTITY id;
    OVK_HITS hits;
    size_t i = 0;
    for (auto _ : state) {
        const Sample& s = samples()[i];
        const char* vendor = ovk_vendor_mac(s.advert->mac);
        ovk_intel_identify(s.advert.get(), vendor, &id);
        ovk_signature_classify(s.advert.get(), hits);
        benchmark::DoNotOptimize(id.type.data());
        benchmark::DoNotOptimize(hits.data());
        i = (i + 1) % samples().size();
    }
}
BENCHMARK(BM_IdentifyAndClassifyMix);

void BM_DistanceAndText(benchmark::State& state) {
    const Sample& s = samples()[0];
    double r = -90;
    for (auto _ : state) {
        std::string t = ovk_format_distance(ovk_distance_m(s.advert.get(), r));
        benchmark::DoNotOptimize(t.data());
        r = r > -30 ? -90 : r + 1;
    }
}
BENCHMARK(BM_DistanceAndText);

}  // namespace

BENCHMARK_MAIN();
