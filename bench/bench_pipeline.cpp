// SPDX-License-Identifier: GPL-3.0-or-later
// Pipeline throughput (one worker thread), submit-to-alert latency, resident memory after
// ten minutes of the demo feed (simulated clock), and what scan control costs its caller.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "ovk_demo.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_log.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;
constexpr size_t kBatch = 4000;  // below the queue bound, so nothing is dropped

std::atomic<int64_t> g_now{T0};

void setup(const OVK_PIPELINE_HOOKS& extra = {}) {
    set_log_level(3);
    ovk_vendordb_load();
    ovk_prefs_set(OVK_PREFS{});
    OVK_PIPELINE_HOOKS h = extra;
    if (!h.now_ms) h.now_ms = [] { return g_now.load(); };
    ovk_pipeline_set_hooks(h);
    ovk_pipeline_init();
    ovk_registry_start_session(T0);
}

void teardown() {
    ovk_pipeline_shutdown();
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
    ovk_registry_clear();
    ovk_store_clear_detections();
}

void wait_idle() {
    while (ovk_pipeline_pending() > 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
}

// Submits the prepared adverts in batches the queue can hold and waits for the worker.
void run_batches(std::vector<OVK_ADVERT_PTR>& adverts) {
    for (size_t i = 0; i < adverts.size(); i += kBatch) {
        const size_t end = std::min(adverts.size(), i + kBatch);
        for (size_t j = i; j < end; ++j) ovk_pipeline_submit(std::move(adverts[j]));
        wait_idle();
    }
}

// Times the worker on state.range(0) adverts an iteration: `make(v, n)` fills `v` with at
// least `n` adverts while the clock is paused.
template <class Make>
void time_worker(benchmark::State& state, Make&& make) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<OVK_ADVERT_PTR> v;
        v.reserve(static_cast<size_t>(n));
        make(v, n);
        state.ResumeTiming();
        run_batches(v);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

std::string mac_of(uint32_t n) {
    char b[18];
    snprintf(b, sizeof b, "00:25:%02X:%02X:%02X:%02X", (n >> 24) & 0xFF, (n >> 16) & 0xFF,
             (n >> 8) & 0xFF, n & 0xFF);
    return b;
}

// (a) The demo mix: fifteen devices, most adverts answered from the classification cache.
void BM_DemoMix(benchmark::State& state) {
    setup();
    int round = 0;
    time_worker(state, [&round](std::vector<OVK_ADVERT_PTR>& v, int n) {
        while (static_cast<int>(v.size()) < n) {
            ovk_demo_round_at(round, T0 + round * 10, std::nullopt,
                              [&v](OVK_ADVERT_PTR a) { v.push_back(std::move(a)); });
            ++round;
        }
    });
    teardown();
}
BENCHMARK(BM_DemoMix)->Arg(60000)->Unit(benchmark::kMillisecond)->UseRealTime();

// (b) Every advert from a new address (the demo payloads under fresh addresses).
void BM_NewAddresses(benchmark::State& state) {
    setup();
    uint32_t next = 0;
    time_worker(state, [&next](std::vector<OVK_ADVERT_PTR>& v, int n) {
        int round = 0;
        while (static_cast<int>(v.size()) < n) {
            ovk_demo_round_at(round++, T0, std::nullopt, [&](OVK_ADVERT_PTR a) {
                a->mac = mac_of(next++);
                v.push_back(std::move(a));
            });
        }
    });
    teardown();
}
BENCHMARK(BM_NewAddresses)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

// (b1) A watchlist change with state.range(0) devices held, a third of them flagged (demo
// payloads under fresh addresses): the worker judges every flagged device again before its
// next item. One iteration is one rule added or removed and the re-judging it causes.
void BM_RejudgeAfterWatchlistChange(benchmark::State& state) {
    setup();
    const int n = static_cast<int>(state.range(0));
    std::vector<OVK_ADVERT_PTR> v;
    uint32_t next = 0;
    for (int round = 0; static_cast<int>(v.size()) < n; ++round)
        ovk_demo_round_at(round, T0, std::nullopt, [&](OVK_ADVERT_PTR a) {
            a->mac = mac_of(next++);
            v.push_back(std::move(a));
        });
    run_batches(v);
    const OVK_REGISTRY_TALLY tally = ovk_registry_tally(T0);
    OVK_OUI_ENTRY rule;
    rule.prefix = "AA:BB:CC";
    rule.label = "Bench rule";
    rule.confidence = "custom";
    bool added = false;
    for (auto _ : state) {
        if (added)
            ovk_watchlist_remove_custom(rule.prefix);
        else
            ovk_watchlist_add_custom(rule);
        added = !added;
        ovk_pipeline_recheck();
        wait_idle();
    }
    state.counters["flagged"] = tally.flagged;
    ovk_watchlist_unload();
    teardown();
}
BENCHMARK(BM_RejudgeAfterWatchlistChange)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// (b2) Devices that give their name only in the scan response (200 plant sensors, advert then
// scan response, 20 ms apart): every advert is judged with the name its address sent, and
// the first name of each one judges its held verdict again.
void BM_AdvertsAndScanResponses(benchmark::State& state) {
    setup();
    int round = 0;
    time_worker(state, [&round](std::vector<OVK_ADVERT_PTR>& v, int n) {
        static const std::vector<uint8_t> advert{0x02, 0x01, 0x06, 0x02, 0x0A, 0x00};
        while (static_cast<int>(v.size()) < n) {
            for (uint32_t d = 0; d < 200; ++d) {
                char mac[18];
                snprintf(mac, sizeof mac, "A0:14:3D:00:%02X:%02X", d >> 8, d & 0xFF);
                const int64_t t = T0 + round * 20;
                v.push_back(ovk_advert_new_ble(mac, -60, advert, OVK_ADDR_PUBLIC, 1,
                                               "LE 1M (legacy)", "", t));
                std::vector<uint8_t> rsp{0x12, 0x09};  // 17 name bytes
                char name[19];
                snprintf(name, sizeof name, "Flower power %04X", d);
                rsp.insert(rsp.end(), name, name + 17);
                v.push_back(ovk_advert_new_ble(mac, -60, rsp, OVK_ADDR_PUBLIC, -1, "LE 1M (legacy)",
                                               "", t + 5));
            }
            ++round;
        }
    });
    teardown();
}
BENCHMARK(BM_AdvertsAndScanResponses)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

// (c) Remote ID heavy: 50 drones broadcasting message packs, a fix present, so every advert
// is decoded and checked for a drone overhead.
void BM_RemoteIdHeavy(benchmark::State& state) {
    setup();
    OVK_LOCATION fix = ovk_demo_user_fix(0, kLat, kLon, T0);
    ovk_pipeline_location(fix);
    wait_idle();
    OVK_LOCATION anchor;
    anchor.lat = kLat;
    anchor.lon = kLon;
    int round = 0;
    time_worker(state, [&](std::vector<OVK_ADVERT_PTR>& v, int n) {
        while (static_cast<int>(v.size()) < n) {
            ovk_demo_round_at(round, T0 + round * 20, anchor, [&](OVK_ADVERT_PTR a) {
                if (a->mac != OVK_DEMO_DRONE_MAC) return;
                a->mac = mac_of(0x60000000u + static_cast<uint32_t>(v.size() % 50));
                v.push_back(std::move(a));
            });
            ++round;
        }
    });
    teardown();
}
BENCHMARK(BM_RemoteIdHeavy)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Latency from submit to the alert being raised, paced at 2,000 adverts a second; every
// advert comes from a new address, so each one alerts. Arg 0: camera glasses (no patrol
// role); arg 1: body cameras, which also feed the co-location grouping (thousands of
// role-bearing addresses, each heard once: the registry regroups every 2 s on the worker);
// args 2 and 3: body cameras while 200 or 500 patrol-kit devices heard every second for the
// last two minutes (at unrelated levels) take part in every regrouping.
void BM_AlertLatency(benchmark::State& state) {
    constexpr int kPerSecond = 2000;
    constexpr int kCount = 6000;
    std::vector<std::chrono::steady_clock::time_point> sent(kCount);
    std::vector<double> lat_us;
    std::mutex mu;
    OVK_PIPELINE_HOOKS h;
    h.notify = [&](std::optional<std::string_view> key, auto, auto) {
        const auto now = std::chrono::steady_clock::now();
        const std::string k(key.value_or(""));
        const unsigned idx =
            static_cast<unsigned>(std::stoul(k.substr(12, 2) + k.substr(15, 2), nullptr, 16));
        std::lock_guard<std::mutex> l(mu);
        if (idx < sent.size())
            lat_us.push_back(std::chrono::duration<double, std::micro>(now - sent[idx]).count());
    };
    setup(h);
    OVK_ADVERT_PTR proto;
    ovk_demo_round_at(0, T0, std::nullopt, [&](OVK_ADVERT_PTR a) {
        if (a->mac == (state.range(0) ? "00:25:DF:4A:19:C2" : "D2:5E:91:3A:07:BC"))
            proto = std::move(a);
    });
    const int long_lived = state.range(0) == 2 ? 200 : state.range(0) == 3 ? 500 : 0;
    const char* const vendors[] = {"Motorola Solutions", "Cradlepoint", "Zebra Technologies",
                                   "Axon Enterprise", "Stalker Radar"};
    std::mt19937 rng(7);
    for (int s = 0; long_lived && s <= 120; s++)
        for (int k = 0; k < long_lived; k++) {
            OVK_ADVERT a;
            a.mac = mac_of(0x7F000000u + static_cast<uint32_t>(k));
            a.rssi = -60 - static_cast<int>(rng() % 17);
            a.timestamp = T0 - 120000 + s * 1000;
            ovk_registry_report(a, {}, nullptr, vendors[k % 5], nullptr, nullptr, a.timestamp);
        }
    uint32_t base = 0;
    for (auto _ : state) {
        lat_us.clear();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCount; ++i) {
            auto a = ovk_advert_dup(proto.get());
            a->mac = mac_of((base << 16) | static_cast<uint32_t>(i));
            a->timestamp = T0 + i;
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(i * 1000000LL / kPerSecond));
            sent[static_cast<size_t>(i)] = std::chrono::steady_clock::now();
            ovk_pipeline_submit(std::move(a));
        }
        wait_idle();
        ++base;
    }
    std::vector<double> v;
    {
        std::lock_guard<std::mutex> l(mu);
        v = lat_us;
    }
    std::sort(v.begin(), v.end());
    if (!v.empty()) {
        state.counters["p50_us"] = v[v.size() / 2];
        state.counters["p99_us"] = v[v.size() * 99 / 100];
        state.counters["max_us"] = v.back();
        state.counters["samples"] = static_cast<double>(v.size());
    }
    teardown();
}
BENCHMARK(BM_AlertLatency)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The status the interface polls on every tick, with `n` devices in the registry (half of
// them with a verdict): device and flagged counts and the threat level.
void BM_Status(benchmark::State& state) {
    setup();
    g_now = T0 + 1000;
    const int n = static_cast<int>(state.range(0));
    OVK_HITS hits{ovk_hit_make(OVK_CAT_TRACKER, "Tracker", 60, "catalogue", "x")};
    for (int i = 0; i < n; i++) {
        OVK_ADVERT a;
        a.mac = mac_of(static_cast<uint32_t>(i));
        a.rssi = -60;
        a.timestamp = T0;
        ovk_registry_report(a, i % 2 ? hits : OVK_HITS{}, nullptr, "", nullptr, nullptr, T0);
    }
    int flagged = 0;
    for (auto _ : state) flagged = ovk_pipeline_status().flagged;
    state.counters["devices"] = ovk_registry_count();
    state.counters["flagged"] = flagged;
    teardown();
}
BENCHMARK(BM_Status)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

long rss_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Ten minutes of the demo feed on a simulated clock: one fix and fifteen adverts a second,
// housekeeping every ten seconds. Reports resident memory before and after.
void BM_DemoTenMinutesMemory(benchmark::State& state) {
    setup();
    const long before = rss_kib();
    for (auto _ : state) {
        ovk_registry_start_session(T0);
        for (int round = 0; round < 600; ++round) {
            const int64_t now = T0 + round * 1000LL;
            g_now = now;
            ovk_pipeline_location(ovk_demo_user_fix(round, kLat, kLon, now));
            OVK_LOCATION anchor;
            anchor.lat = kLat;
            anchor.lon = kLon;
            ovk_demo_round_at(round, now, anchor,
                              [](OVK_ADVERT_PTR a) { ovk_pipeline_submit(std::move(a)); });
            wait_idle();
            if (round % 10 == 9) ovk_scan_housekeeping_tick();
            while (ovk_pipeline_pop_alert()) {
            }
        }
    }
    state.counters["rss_before_kib"] = static_cast<double>(before);
    state.counters["rss_after_kib"] = static_cast<double>(rss_kib());
    state.counters["devices"] = ovk_registry_count();
    state.counters["cache"] = ovk_pipeline_cache_size();
    teardown();
}
BENCHMARK(BM_DemoTenMinutesMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Scan control as the interface thread pays for it: a start and a stop request (the two
// calls, "calls_us"), then the wait until the scan-control thread has carried both out with
// radios that start and stop at once (the whole iteration).
void BM_ScanRequests(benchmark::State& state) {
    std::atomic<bool> on{false};
    OVK_PIPELINE_HOOKS h;
    h.scan_start = [&on](const OVK_SCAN_OPTS&) {
        on = true;
        return 0;
    };
    h.scan_stop = [&on] { on = false; };
    h.scan_running = [&on] { return on.load() ? 1 : 0; };
    setup(h);
    OVK_PREFS p;
    p.retention_days = 0;
    ovk_prefs_set(p);
    double call_ns = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        ovk_scan_start();
        ovk_scan_stop();
        call_ns +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        ovk_scan_wait_idle(-1);
    }
    state.counters["calls_us"] = call_ns / 1000.0 / static_cast<double>(state.iterations());
    teardown();
}
BENCHMARK(BM_ScanRequests)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
