// SPDX-License-Identifier: GPL-3.0-or-later
// Device registry: memory per device, cost of a report, snapshot cost, and a flood of random
// addresses. Heap use is measured by counting every operator new / delete of this program.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ovk_registry.h"

// ---- heap accounting ----------------------------------------------------------------------

namespace {
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

void* counted_alloc(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    long long now = g_live.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                    static_cast<long long>(malloc_usable_size(p));
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void counted_free(void* p) {
    if (!p) return;
    g_live.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
    std::free(p);
}
}  // namespace

void* operator new(size_t n) {
    return counted_alloc(n);
}
void* operator new[](size_t n) {
    return counted_alloc(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return counted_alloc(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    try {
        return counted_alloc(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    counted_free(p);
}
void operator delete[](void* p) noexcept {
    counted_free(p);
}
void operator delete(void* p, size_t) noexcept {
    counted_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    counted_free(p);
}

// ---- workload -----------------------------------------------------------------------------

namespace {

constexpr int64_t T0 = 1700000000000;

std::string mac_of(uint64_t n) {
    char b[18];
    snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X",
             static_cast<unsigned>(0x40 | ((n >> 40) & 0x3F)),
             static_cast<unsigned>((n >> 32) & 0xFF), static_cast<unsigned>((n >> 24) & 0xFF),
             static_cast<unsigned>((n >> 16) & 0xFF), static_cast<unsigned>((n >> 8) & 0xFF),
             static_cast<unsigned>(n & 0xFF));
    return b;
}

// A typical BLE advertisement: flags, a short name, one 16-bit UUID and 20 bytes of
// manufacturer data, with a resolvable private address.
OVK_ADVERT typical(const std::string& mac, int rssi, uint32_t salt) {
    OVK_ADVERT a;
    a.mac = mac;
    a.rssi = rssi;
    a.name = "Tag";
    a.uuids.push_back(ovk_uuid16(0xFD5A));
    OVK_MFG m;
    m.cid = 0x0075;
    m.data.assign(18 + salt % 5, static_cast<uint8_t>(salt));
    a.mfg.push_back(std::move(m));
    a.raw.assign(31, 0x02);
    a.addr_type = OVK_ADDR_RESOLVABLE_PRIVATE;
    a.connectable = 0;
    a.timestamp = T0;
    return a;
}

// Processor time of this thread, so that other load on the machine does not count.
double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void fresh_session() {
    ovk_registry_init();
    ovk_registry_start_session(T0);
}

void fill(int n, int64_t now) {
    for (int i = 0; i < n; i++)
        ovk_registry_report(typical(mac_of(i), -60 - i % 30, i), {}, nullptr, "", nullptr, nullptr,
                            now);
}

}  // namespace

// Heap bytes the registry holds per device heard once.
static void BM_BytesPerEntry(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    double per = 0;
    for (auto _ : state) {
        fresh_session();
        long long before = g_live.load();
        fill(n, T0);
        per = static_cast<double>(g_live.load() - before) / n;
        state.PauseTiming();
        ovk_registry_clear();
        state.ResumeTiming();
    }
    state.counters["bytes_per_entry"] = per;
}
BENCHMARK(BM_BytesPerEntry)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

// One report of a device the registry already knows, among 10 000.
static void BM_ReportKnown(benchmark::State& state) {
    fresh_session();
    const int n = 10000;
    fill(n, T0);
    std::vector<OVK_ADVERT> ads;
    for (int i = 0; i < n; i++) ads.push_back(typical(mac_of(i), -60, i));
    const bool vendor = state.range(0) != 0;
    OVK_HITS hits;
    if (state.range(1))
        hits.push_back(ovk_hit_make(OVK_CAT_TRACKER, "Tracker", 60, "catalogue", "x"));
    int64_t now = T0;
    size_t i = 0;
    for (auto _ : state) {
        now += 3;
        ovk_registry_report(ads[i], hits, nullptr, vendor ? "Samsung Electronics Co.,Ltd" : "",
                            nullptr, nullptr, now);
        i = (i + 1) % ads.size();
    }
    ovk_registry_clear();
}
BENCHMARK(BM_ReportKnown)->Args({0, 0})->Args({1, 0})->Args({1, 1});

// What the pipeline asks before judging each advert: what its address sent before (a device
// among 10 000 that says nothing new, so no copy is made).
static void BM_RecallKnown(benchmark::State& state) {
    fresh_session();
    const int n = 10000;
    fill(n, T0);
    std::vector<OVK_ADVERT> ads;
    for (int i = 0; i < n; i++) ads.push_back(typical(mac_of(i), -60, i));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ovk_registry_recall(ads[i], T0, false));
        i = (i + 1) % ads.size();
    }
    ovk_registry_clear();
}
BENCHMARK(BM_RecallKnown);

// Heap bytes per device of the summaries a shared snapshot hands out (what the window holds
// for its list besides the registry's own entries), for plain devices heard once and for
// remembered drones (a Remote ID and a remembered-device record each).
static void BM_SummaryBytes(benchmark::State& state) {
    const bool drones = state.range(0) != 0;
    constexpr int kDevices = 100000;
    double per = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fresh_session();
        OVK_REMOTE_ID rid;
        rid.uas_id = "1581F5FKD229400";
        rid.has_pos = 1;
        OVK_KNOWN known;
        known.name = "Mavic 3 of the neighbour";
        known.vendor = "SZ DJI Technology Co., Ltd";
        known.device_type = "Drone - DJI Mavic 3";
        for (int i = 0; i < kDevices; i++) {
            const std::string mac = mac_of(i);
            ovk_registry_report(typical(mac, -60 - i % 30, i), {}, nullptr, "",
                                drones ? &rid : nullptr, nullptr, T0);
            if (drones) {
                known.mac = mac;
                ovk_registry_set_known(mac, &known);
            }
        }
        state.ResumeTiming();
        const long long before = g_live.load();
        OVK_DEVICE_REFS l = ovk_registry_shared_snapshot(T0 + 1000);
        per = static_cast<double>(g_live.load() - before) / static_cast<double>(l.size());
        state.PauseTiming();
        l.clear();
        ovk_registry_clear();
        state.ResumeTiming();
    }
    state.counters["bytes_per_summary"] = per;
}
BENCHMARK(BM_SummaryBytes)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// A summary snapshot of the whole table.
static void BM_Snapshot(benchmark::State& state) {
    fresh_session();
    const int n = static_cast<int>(state.range(0));
    fill(n, T0);
    for (auto _ : state) {
        OVK_DEVICE_LIST l = ovk_registry_snapshot(T0 + 1000);
        benchmark::DoNotOptimize(l.data());
    }
    state.counters["entries"] = ovk_registry_count();
    ovk_registry_clear();
}
BENCHMARK(BM_Snapshot)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// What the status line needs (device count, flagged count, threat inputs) without copying
// any device; compare with BM_Snapshot at the same sizes. Half the entries carry a verdict.
static void BM_Tally(benchmark::State& state) {
    fresh_session();
    const int n = static_cast<int>(state.range(0));
    OVK_HITS hits{ovk_hit_make(OVK_CAT_TRACKER, "Tracker", 60, "catalogue", "x")};
    for (int i = 0; i < n; i++)
        ovk_registry_report(typical(mac_of(i), -60, i), i % 2 ? hits : OVK_HITS{}, nullptr, "",
                            nullptr, nullptr, T0);
    int flagged = 0;
    for (auto _ : state) flagged = ovk_registry_tally(T0 + 1000).flagged;
    state.counters["entries"] = ovk_registry_count();
    state.counters["flagged"] = flagged;
    ovk_registry_clear();
}
BENCHMARK(BM_Tally)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The co-location regrouping the registry runs (at most every 2 s) when the pipeline asks for
// a device's co-location verdict. Arg 0: that many role-bearing addresses heard once each in
// the last minute (body cameras under fresh addresses), among which one vehicle of three kinds
// of gear heard every second; arg 1: that many role-bearing devices heard every second for two
// minutes at unrelated levels, five kinds of gear (every pair of different kinds is compared
// and none joins: the worst case).
static void BM_Regroup(benchmark::State& state) {
    fresh_session();
    const int n = static_cast<int>(state.range(0));
    const bool long_lived = state.range(1) != 0;
    const char* const vendors[] = {"Motorola Solutions", "Cradlepoint", "Zebra Technologies",
                                   "Axon Enterprise", "Stalker Radar"};
    const int64_t end = T0 + 120000;
    OVK_HITS cam{ovk_hit_make(OVK_CAT_BODY_CAM, "Body camera", 60, "catalogue", "x")};
    std::mt19937 rng(7);
    for (int s = 0; s <= 120; s++) {
        const int64_t now = T0 + s * 1000;
        for (int v = 0; v < 3; v++)
            ovk_registry_report(typical(mac_of(0xF00000 + v), -60 + (s * 7 % 13), 900 + v), {},
                                nullptr, vendors[v], nullptr, nullptr, now);
        if (long_lived) {
            for (int i = 0; i < n; i++)
                ovk_registry_report(typical(mac_of(i), -60 - static_cast<int>(rng() % 17), i), {},
                                    nullptr, vendors[i % 5], nullptr, nullptr, now);
        } else if (s >= 61) {
            for (int i = (s - 61) * n / 60; i < (s - 60) * n / 60; i++)
                ovk_registry_report(typical(mac_of(i), -80, i), cam, nullptr, "", nullptr, nullptr,
                                    now);
        }
    }
    int64_t now = end;
    int verdicts = 0;
    for (auto _ : state) {
        now += 2000;  // always recomputes
        verdicts = ovk_registry_cluster_hit(mac_of(0xF00000), now).has_value() ? 1 : 0;
    }
    state.counters["entries"] = ovk_registry_count();
    state.counters["vehicle_found"] = verdicts;
    ovk_registry_clear();
}
BENCHMARK(BM_Regroup)
    ->Args({2000, 0})
    ->Args({6000, 0})
    ->Args({50, 1})
    ->Args({200, 1})
    ->Args({500, 1})
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// What a snapshot costs the pipeline at 100,000 devices: the window's refresh takes a shared
// snapshot (or the copying one, Arg 1; or none, Arg 2: the other thread only spends 15 ms of
// processor time, the machine's own noise) on another thread while the pipeline reports, and
// 2,000 devices change between two snapshots. Each report is timed: it waits while a
// snapshot holds the registry's lock. Counters: the longest wait of a typical snapshot (the
// median over the snapshots of each one's longest report: about the longest the lock was
// held at a time; on a busy machine a thread may also lose its processor for a while, which
// the plain maximum shows), the plain maximum, and a snapshot's processor time. The first
// snapshot makes every summary.
static void BM_SnapshotPipelineWait(benchmark::State& state) {
    const bool copying = state.range(0) != 0;
    constexpr int kDevices = 100000;
    fresh_session();
    fill(kDevices, T0);
    std::vector<double> waits;  // the longest report during each snapshot
    double snap_cpu = 0;
    int snaps = 0;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::thread snapper([&] {
            const double c0 = cpu_now();
            if (state.range(0) == 2) {
                // No snapshot: as much processor time spent without the lock, for the noise
                // of a busy machine.
                while (cpu_now() - c0 < 0.015) benchmark::ClobberMemory();
            } else if (copying) {
                OVK_DEVICE_LIST l = ovk_registry_snapshot(T0 + 1000);
                benchmark::DoNotOptimize(l.data());
            } else {
                OVK_DEVICE_REFS l = ovk_registry_shared_snapshot(T0 + 1000);
                benchmark::DoNotOptimize(l.size());
            }
            snap_cpu += cpu_now() - c0;
            done = true;
        });
        int i = 0;
        double longest = 0;
        while (!done) {
            const int n = (snaps * 2000 + i++ % 2000) % kDevices;
            const auto t0 = std::chrono::steady_clock::now();
            ovk_registry_report(typical(mac_of(n), -61, n), {}, nullptr, "", nullptr, nullptr,
                                T0 + 1000);
            longest = std::max(longest, std::chrono::duration<double, std::milli>(
                                            std::chrono::steady_clock::now() - t0)
                                            .count());
        }
        snapper.join();
        waits.push_back(longest);
        for (int k = 0; k < 2000; k++) {
            const int n = (snaps * 2000 + k) % kDevices;
            ovk_registry_report(typical(mac_of(n), -62, n), {}, nullptr, "", nullptr, nullptr,
                                T0 + 1000);
        }
        snaps++;
    }
    std::sort(waits.begin(), waits.end());
    state.counters["wait_typical_ms"] = waits.empty() ? 0 : waits[waits.size() / 2];
    state.counters["wait_max_ms"] = waits.empty() ? 0 : waits.back();
    state.counters["snapshot_cpu_ms"] = 1000.0 * snap_cpu / snaps;
    state.counters["entries"] = ovk_registry_count();
    ovk_registry_clear();
}
BENCHMARK(BM_SnapshotPipelineWait)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// 5000 new random addresses a second for 60 simulated seconds, while 20 real devices keep
// reporting and the interface takes a snapshot twice a second. Rates are per second of
// processor time; report and snapshot time are counted apart.
static void BM_Flood(benchmark::State& state) {
    double rate = 0, peak_mb = 0, table_mb = 0, entries = 0, snap_ms = 0;
    for (auto _ : state) {
        fresh_session();
        g_peak.store(g_live.load());
        long long base = g_live.load(), table_peak = 0;
        std::mt19937_64 rng(42);
        long long reports = 0;
        double snap_secs = 0;
        int snaps = 0;
        double t0 = cpu_now();
        for (int ms = 0; ms < 60000; ms++) {
            int64_t now = T0 + ms;
            for (int k = 0; k < 5; k++) {
                uint64_t r = rng();
                ovk_registry_report(typical(mac_of(r), -90, static_cast<uint32_t>(r >> 48)), {},
                                    nullptr, "", nullptr, nullptr, now);
                reports++;
            }
            if (ms % 50 == 0) {
                ovk_registry_report(typical(mac_of(ms / 50 % 20), -50, 7), {}, nullptr, "", nullptr,
                                    nullptr, now);
                reports++;
            }
            if (ms % 500 == 0) {
                table_peak = std::max(table_peak, g_live.load() - base);
                double s0 = cpu_now();
                OVK_DEVICE_LIST l = ovk_registry_snapshot(now);
                benchmark::DoNotOptimize(l.data());
                l = OVK_DEVICE_LIST();
                snap_secs += cpu_now() - s0;
                snaps++;
            }
        }
        double secs = cpu_now() - t0;
        rate = static_cast<double>(reports) / (secs - snap_secs);
        peak_mb = static_cast<double>(g_peak.load() - base) / (1024.0 * 1024.0);
        table_mb = static_cast<double>(table_peak) / (1024.0 * 1024.0);
        snap_ms = 1000.0 * snap_secs / snaps;
        entries = ovk_registry_count();
        ovk_registry_clear();
    }
    state.counters["reports_per_s"] = rate;
    state.counters["table_peak_MiB"] = table_mb;
    state.counters["peak_with_snapshot_MiB"] = peak_mb;
    state.counters["snapshot_ms"] = snap_ms;
    state.counters["entries"] = entries;
}
BENCHMARK(BM_Flood)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
