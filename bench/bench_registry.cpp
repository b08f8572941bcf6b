// Device registry: memory per device, cost of a report, snapshot cost, and a flood of random
// addresses. Heap use is measured by counting every operator new / delete of this program.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
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

void* operator new(size_t n) { return counted_alloc(n); }
void* operator new[](size_t n) { return counted_alloc(n); }
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
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, size_t) noexcept { counted_free(p); }
void operator delete[](void* p, size_t) noexcept { counted_free(p); }

// ---- workload -----------------------------------------------------------------------------

namespace {

constexpr int64_t T0 = 1700000000000;

std::string mac_of(uint64_t n) {
    char b[18];
    snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(0x40 | ((n >> 40) & 0x3F)),
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
        ovk_registry_report(typical(mac_of(i), -60 - i % 30, i), {}, nullptr, "", nullptr,
                            nullptr, now);
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
                ovk_registry_report(typical(mac_of(ms / 50 % 20), -50, 7), {}, nullptr, "",
                                    nullptr, nullptr, now);
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
