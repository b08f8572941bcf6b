// SPDX-License-Identifier: GPL-3.0-or-later
// Loading large JSON files: the remembered devices at start-up (100,000 and 1,000,000 records
// with names, notes and nulls) and a plate-camera answer of about 31 MB.
// The data directory is under /dev/shm, so the numbers show the reading, not the disk.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_store.h"

namespace {

std::string make_dir() {
    std::string tmpl = "/dev/shm/ovk-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) return {};
    return tmpl;
}

void remove_dir(const std::string& d) {
    nftw(
        d.c_str(), [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); },
        8, FTW_DEPTH | FTW_PHYS);
}

// Records as a car unit collects them: some named, some with notes or vendor and type texts,
// the rest null; one note in a hundred holds escapes.
std::string known_text(int n) {
    std::vector<OVK_KNOWN> rows;
    rows.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        OVK_KNOWN k;
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", 0x40 | (i & 0x3),
                      (i >> 24) & 0xff, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff, i % 251);
        k.mac = mac;
        k.first_seen = 1700000000000 + int64_t{i} * 1000;
        k.last_seen = k.first_seen + 3600000;
        k.sessions = 1 + i % 17;
        k.detect_count = i % 50;
        if (i % 3 == 0) k.name = "Galaxy Buds " + std::to_string(i % 1000);
        if (i % 2 == 0) k.vendor = "Samsung Electronics Co.,Ltd";
        if (i % 4 == 0) k.device_type = "Earbuds";
        if (i % 10 == 0) k.note = "seen at the gym on tuesdays";
        if (i % 100 == 0) k.note = "said \"hi\"\nthen left\tquickly \xC3\xA9";
        k.favorite = i % 97 == 0;
        rows.push_back(std::move(k));
    }
    return ovk_store_known_text(rows).value_or("");
}

void BM_KnownDevicesLoad(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::string dir = make_dir();
    const std::string text = known_text(n);
    FILE* f = fopen((dir + "/known_devices.json").c_str(), "wb");
    if (!f) {
        state.SkipWithError("cannot write the file");
        return;
    }
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    for (auto _ : state) {
        if (ovk_store_open(dir) != 0 || ovk_store_known_count() != n) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        ovk_store_close();
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
    ovk_store_close();
    remove_dir(dir);
}
BENCHMARK(BM_KnownDevicesLoad)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// An Overpass answer of about 31 MB: cameras with tags, some names with escapes.
std::string answer_31mb() {
    std::string s = R"({"version":0.6,"generator":"Overpass API","elements":[)";
    for (int i = 0; s.size() < (31u << 20); ++i) {
        if (i) s += ',';
        s += R"({"type":"node","id":)" + std::to_string(1000000000LL + i) + R"(,"lat":33.)" +
             std::to_string(100000 + i % 800000) + R"(,"lon":-84.)" +
             std::to_string(200000 + i % 700000) +
             R"(,"tags":{"manufacturer":"Flock Safety","operator":"City of Springfield \"PD\"",)"
             R"("camera:direction":")" +
             std::to_string(i % 360) +
             R"(","surveillance":"public","surveillance:type":"ALPR",)"
             R"("surveillance:zone":"traffic","name":"Flock \u00e9 )" +
             std::to_string(i) + R"("}})";
    }
    return s + R"(],"remark":""})";
}

void BM_OverpassAnswer31MB(benchmark::State& state) {
    const std::string a = answer_31mb();
    size_t cams = 0;
    for (auto _ : state) {
        auto c = ovk_alpr_parse(a);
        if (!c) {
            state.SkipWithError("parse failed");
            break;
        }
        cams = c->size();
        benchmark::DoNotOptimize(c);
    }
    state.counters["MB"] = static_cast<double>(a.size()) / 1e6;
    state.counters["cameras"] = static_cast<double>(cams);
}
BENCHMARK(BM_OverpassAnswer31MB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
