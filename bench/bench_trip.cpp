// SPDX-License-Identifier: GPL-3.0-or-later
// Trip recording and history analysis: the per-advert and per-fix calls of the pipeline
// worker, a flush with many devices, loading a long track, and the history numbers.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "ovk_app_util.h"
#include "ovk_history.h"
#include "ovk_trip.h"

namespace {

std::string scratch() {
    static std::string dir = [] {
        char t[] = "/dev/shm/ovk-bench-trip-XXXXXX";
        if (!mkdtemp(t)) abort();
        static std::string path = t;
        atexit([] {
            nftw(
                path.c_str(),
                [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); }, 8,
                FTW_DEPTH | FTW_PHYS);
        });
        return std::string(t);
    }();
    return dir;
}

std::string mac_of(int i) {
    char b[18];
    snprintf(b, sizeof b, "02:00:00:%02X:%02X:%02X", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return b;
}

void BM_OnDevice(benchmark::State& st) {
    const int ndev = static_cast<int>(st.range(0));
    ovk_trip_open(scratch());
    ovk_trip_start("bench");
    std::vector<std::string> macs;
    for (int i = 0; i < ndev; ++i) macs.push_back(mac_of(i));
    const OVK_HIT h = ovk_hit_make(OVK_CAT_BODY_CAM, "Body camera", 80, "bench", "company id");
    OVK_LOCATION loc;
    loc.lat = 45;
    loc.lon = -75;
    int64_t n = 0;
    for (auto _ : st) {
        const size_t i = static_cast<size_t>(n % ndev);
        ovk_trip_on_device(macs[i], -60 - static_cast<int>(n % 30), "BLE", i % 10 ? nullptr : &h,
                           "Name", "Vendor", "Phone", &loc, n);
        ++n;
    }
    st.SetItemsProcessed(n);
    ovk_trip_close();
}
BENCHMARK(BM_OnDevice)->Arg(100)->Arg(5000);

void BM_OnLocation(benchmark::State& st) {
    ovk_trip_open(scratch());
    ovk_trip_start("bench");
    int64_t n = 0;
    for (auto _ : st) {
        OVK_LOCATION l;
        l.lat = 45 + n * 1e-4;  // about 11 m a fix: every one is kept
        l.lon = -75;
        l.time = n * 1000;
        ovk_trip_on_location(l);
        ++n;
    }
    st.SetItemsProcessed(n);
    ovk_trip_close();
}
BENCHMARK(BM_OnLocation);

// One housekeeping flush: 10 new points and a devices file of N records.
void BM_Flush(benchmark::State& st) {
    const int ndev = static_cast<int>(st.range(0));
    ovk_trip_open(scratch());
    ovk_trip_start("bench");
    for (int i = 0; i < ndev; ++i)
        ovk_trip_on_device(mac_of(i), -70, "BLE", nullptr, "Name", "Vendor", "Phone", nullptr, i);
    int64_t n = 0;
    for (auto _ : st) {
        for (int k = 0; k < 10; ++k, ++n) {
            OVK_LOCATION l;
            l.lat = 45 + n * 1e-4;
            l.lon = -75;
            l.time = n * 1000;
            ovk_trip_on_location(l);
        }
        ovk_trip_on_device(mac_of(0), -70, "BLE", nullptr, "", "", "", nullptr, n);
        ovk_trip_flush();
    }
    ovk_trip_delete(ovk_trip_active_id());
    ovk_trip_close();
}
BENCHMARK(BM_Flush)->Arg(100)->Arg(2000)->Unit(benchmark::kMillisecond);

// A 10-hour drive at one point a second.
void BM_ParsePoints(benchmark::State& st) {
    std::vector<OVK_TRIP_POINT> pts(36000);
    for (size_t i = 0; i < pts.size(); ++i) {
        pts[i].time = 1714557600000 + static_cast<int64_t>(i) * 1000;
        pts[i].lat = 45.4215 + i * 1.3e-5;
        pts[i].lon = -75.6972 + i * 0.7e-5;
        pts[i].has_accuracy = 1;
        pts[i].accuracy_m = 4.5;
    }
    const std::string text = ovk_trip_points_text(pts);
    for (auto _ : st) benchmark::DoNotOptimize(ovk_trip_parse_points(text));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
    st.counters["points"] = static_cast<double>(pts.size());
}
BENCHMARK(BM_ParsePoints)->Unit(benchmark::kMillisecond);

// 30 days of history: 100 000 events over 2 000 addresses.
void BM_HistoryNumbers(benchmark::State& st) {
    std::vector<OVK_HISTORY_EVENT> ev(100000);
    for (size_t i = 0; i < ev.size(); ++i) {
        ev[i].time = 1714557600000 + static_cast<int64_t>((i * 7919) % 2592000) * 1000;
        ev[i].mac = mac_of(static_cast<int>(i % 2000));
        ev[i].label = "label " + std::to_string(i % 40);
    }
    for (auto _ : st) {
        const auto enc = ovk_history_encounters(ev, 600000);
        benchmark::DoNotOptimize(ovk_history_by_hour(enc));
        benchmark::DoNotOptimize(ovk_history_by_weekday(enc));
        benchmark::DoNotOptimize(ovk_history_busiest(enc));
        benchmark::DoNotOptimize(ovk_history_top_labels(enc, 3));
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(ev.size()));
}
BENCHMARK(BM_HistoryNumbers)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
