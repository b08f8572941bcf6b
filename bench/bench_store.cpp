// SPDX-License-Identifier: GPL-3.0-or-later
// Local store: loading a large detection log, one append, one remembered-device rewrite.
// Arguments 0/1 choose the data directory: 0 under /tmp (the disk, with its syncs), 1 under
// /dev/shm (memory, so the numbers show the store's own work).
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "ovk_store.h"

namespace {

std::string make_dir(int64_t where) {
    std::string tmpl = std::string(where ? "/dev/shm" : "/tmp") + "/ovk-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) return {};
    return tmpl;
}

void remove_dir(const std::string& d) {
    nftw(
        d.c_str(), [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); },
        8, FTW_DEPTH | FTW_PHYS);
}

OVK_DETECTION sample(int64_t i) {
    OVK_DETECTION d;
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:%02X:%02X:%02X", static_cast<int>((i >> 16) & 0xff),
             static_cast<int>((i >> 8) & 0xff), static_cast<int>(i & 0xff));
    d.mac = mac;
    d.label = "Axon Body 3";
    d.source = "BLE";
    d.rssi = -60 - static_cast<int>(i % 30);
    d.timestamp = 1700000000000 + i * 30000;
    d.has_pos = 1;
    d.lat = 47.6062 + static_cast<double>(i % 1000) * 1e-5;
    d.lon = -122.3321 - static_cast<double>(i % 777) * 1e-5;
    d.category = OVK_CAT_BODY_CAM;
    d.confidence = 85;
    d.evidence = "Manufacturer data 0x0A00 with the body-camera service UUID";
    d.vendor = "Axon Enterprise";
    d.device_name = "AXON-" + std::to_string(i % 1000);
    return d;
}

std::string log_text(int64_t lines) {
    std::string text;
    for (int64_t i = 1; i <= lines; ++i) {
        OVK_DETECTION d = sample(i);
        d.id = i;
        text += *ovk_store_detection_line(d);
        text += '\n';
    }
    return text;
}

// Opening a store whose log holds 100,000 lines (the other two files absent).
void BM_StoreOpenLog100k(benchmark::State& state) {
    const std::string dir = make_dir(state.range(0));
    const std::string text = log_text(100000);
    FILE* f = fopen((dir + "/detections.jsonl").c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    for (auto _ : state) {
        if (ovk_store_open(dir) != 0 || ovk_store_detection_count() != 100000) {
            state.SkipWithError("load failed");
            break;
        }
    }
    state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
    ovk_store_close();
    remove_dir(dir);
}
BENCHMARK(BM_StoreOpenLog100k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Parsing the same text without any file access.
void BM_StoreParseLog100k(benchmark::State& state) {
    const std::string text = log_text(100000);
    for (auto _ : state) benchmark::DoNotOptimize(ovk_store_parse_log(text, nullptr));
}
BENCHMARK(BM_StoreParseLog100k)->Unit(benchmark::kMillisecond);

// One detection appended to an open store (memory and one line in the file).
void BM_StoreAddDetection(benchmark::State& state) {
    const std::string dir = make_dir(state.range(0));
    ovk_store_open(dir);
    int64_t i = 0;
    for (auto _ : state) {
        if (ovk_store_add_detection(sample(++i)) != 0) {
            state.SkipWithError("append failed");
            break;
        }
    }
    ovk_store_close();
    remove_dir(dir);
}
BENCHMARK(BM_StoreAddDetection)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// One remembered device changed while 10,000 are remembered: the whole file is rewritten
// atomically (temporary file, sync, rename, directory sync).
void BM_StoreKnownUpsert10k(benchmark::State& state) {
    const std::string dir = make_dir(state.range(0));
    ovk_store_open(dir);
    std::vector<OVK_KNOWN> rows(10000);
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].mac = sample(static_cast<int64_t>(i)).mac;
        rows[i].first_seen = 1700000000000;
        rows[i].last_seen = 1700000000000 + static_cast<int64_t>(i);
        rows[i].sessions = 3;
        rows[i].detect_count = 7;
        rows[i].name = "Device " + std::to_string(i);
        rows[i].vendor = "Axon Enterprise";
        rows[i].device_type = "Body camera";
    }
    ovk_store_known_upsert(rows);
    OVK_KNOWN one = rows[42];
    for (auto _ : state) {
        ++one.last_seen;
        if (ovk_store_known_upsert(std::span(&one, 1)) != 0) {
            state.SkipWithError("upsert failed");
            break;
        }
    }
    ovk_store_close();
    remove_dir(dir);
}
BENCHMARK(BM_StoreKnownUpsert10k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
