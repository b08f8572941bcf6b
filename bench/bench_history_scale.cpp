// SPDX-License-Identifier: GPL-3.0-or-later
// What a car unit remembers after months of driving: a million remembered devices (start-up
// time, resident memory, bytes a history flush writes) and 100,000 custom watchlist rules
// (load and import). Counters: rss_mb is the resident size after the step, hwm_mb the peak
// of the process so far, bytes_per_flush what one flush of 200 devices wrote.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ovk_prefs.h"
#include "ovk_store.h"
#include "ovk_watchlist.h"

namespace {

constexpr int kDevices = 1000000;
constexpr int kRules = 100000;
constexpr int kFlushRows = 200;

void remove_dir(const std::string& d) {
    nftw(
        d.c_str(), [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); },
        8, FTW_DEPTH | FTW_PHYS);
}

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM").
double status_mb(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) / 1024.0;
    return 0;
}

// Bytes this process has handed to write() so far.
double written_bytes() {
    std::ifstream f("/proc/self/io");
    std::string k;
    double v = 0;
    while (f >> k >> v)
        if (k == "wchar:") return v;
    return 0;
}

std::string mac_of(int i) {
    char b[18];
    snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", 0x02 | ((i >> 24) & 0xfc),
             (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff, (i * 7) & 0xff, (i * 13) & 0xff);
    return b;
}

OVK_KNOWN device(int i, int64_t seen) {
    static const char* vendors[] = {"Apple, Inc.",
                                    "Samsung Electronics Co.,Ltd",
                                    "Google",
                                    "Microsoft",
                                    "Bose Corporation",
                                    "Garmin International",
                                    "Tile, Inc.",
                                    "Xiaomi Inc.",
                                    ""};
    static const char* types[] = {"Phone", "Earbuds", "Smart watch", "Item tracker", "Laptop", ""};
    OVK_KNOWN k;
    k.mac = mac_of(i);
    k.first_seen = seen - 86400000LL * (i % 90);
    k.last_seen = seen;
    k.sessions = 1 + i % 40;
    k.detect_count = 1 + i % 300;
    k.name = i % 3 == 0 ? "Galaxy Buds2 Pro (" + std::to_string(i % 977) + ")" : "";
    k.vendor = vendors[i % 9];
    k.device_type = types[i % 6];
    k.favorite = i % 5000 == 0;
    k.note = i % 20000 == 0 ? "seen at the depot" : "";
    return k;
}

// The data directory with a million remembered devices, written by a child process so the
// text it takes to build does not count in this process's memory.
const std::string& million_dir() {
    static std::string dir;
    if (!dir.empty()) return dir;
    std::string tmpl = "/dev/shm/ovk-bench-scale-XXXXXX";
    if (!mkdtemp(tmpl.data())) return dir;
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<OVK_KNOWN> rows;
        rows.reserve(kDevices);
        for (int i = 0; i < kDevices; ++i) rows.push_back(device(i, 1700000000000 + i));
        const std::optional<std::string> text = ovk_store_known_text(rows);
        std::ofstream f(tmpl + "/known_devices.json", std::ios::binary);
        f << *text;
        _exit(f.good() ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0) dir = tmpl;
    return dir;
}

// Opening the store on a million remembered devices.
void BM_RememberedDevicesOpen1M(benchmark::State& state) {
    const std::string& dir = million_dir();
    if (dir.empty()) {
        state.SkipWithError("could not write the data");
        return;
    }
    for (auto _ : state) {
        ovk_store_close();
        benchmark::DoNotOptimize(ovk_store_open(dir));
    }
    state.counters["devices"] = ovk_store_known_count();
    state.counters["rss_mb"] = status_mb("VmRSS");
    state.counters["hwm_mb"] = status_mb("VmHWM");
}
BENCHMARK(BM_RememberedDevicesOpen1M)->Iterations(3)->Unit(benchmark::kMillisecond);

// One history flush of 200 devices into a million remembered ones, on a disk (each write
// synced).
void BM_HistoryFlushInto1M(benchmark::State& state) {
    const std::string& src = million_dir();
    if (src.empty()) {
        state.SkipWithError("could not write the data");
        return;
    }
    std::string tmpl = "/tmp/ovk-bench-flush-XXXXXX";
    if (!mkdtemp(tmpl.data())) return;
    {
        std::ifstream in(src + "/known_devices.json", std::ios::binary);
        std::ofstream out(tmpl + "/known_devices.json", std::ios::binary);
        out << in.rdbuf();
    }
    ovk_store_close();
    ovk_store_open(tmpl);
    std::vector<OVK_KNOWN> rows;
    for (int i = 0; i < kFlushRows; ++i) rows.push_back(device(i * 4999, 0));
    int64_t round = 0;
    const double w0 = written_bytes();
    for (auto _ : state) {
        ++round;
        for (OVK_KNOWN& k : rows) k.last_seen = 1800000000000 + round;
        benchmark::DoNotOptimize(ovk_store_known_upsert(rows));
    }
    state.counters["bytes_per_flush"] =
        (written_bytes() - w0) / static_cast<double>(state.iterations());
    ovk_store_close();
    remove_dir(tmpl);
}
BENCHMARK(BM_HistoryFlushInto1M)->Iterations(5)->Unit(benchmark::kMillisecond);

std::vector<OVK_OUI_ENTRY> rules(int n, int offset) {
    std::vector<OVK_OUI_ENTRY> out;
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        OVK_OUI_ENTRY e;
        e.prefix = mac_of(i + offset);
        e.label = "Rule " + std::to_string(i);
        e.confidence = "custom";
        e.score = -1;
        e.category = -1;
        out.push_back(std::move(e));
    }
    return out;
}

// Loading 100,000 custom rules at start-up.
void BM_WatchlistLoad100kRules(benchmark::State& state) {
    std::string tmpl = "/dev/shm/ovk-bench-wl-XXXXXX";
    if (!mkdtemp(tmpl.data())) return;
    {
        std::ofstream f(tmpl + "/watchlist_custom.json", std::ios::binary);
        f << *ovk_watchlist_text(rules(kRules, 0));
    }
    for (auto _ : state) benchmark::DoNotOptimize(ovk_watchlist_load(tmpl));
    state.counters["rules"] = static_cast<double>(ovk_watchlist_custom().size());
    ovk_watchlist_unload();
    remove_dir(tmpl);
}
BENCHMARK(BM_WatchlistLoad100kRules)->Iterations(3)->Unit(benchmark::kMillisecond);

// Importing 100,000 rules (half of them already present) into 50,000.
void BM_WatchlistImport100kRules(benchmark::State& state) {
    std::string tmpl = "/dev/shm/ovk-bench-wl-XXXXXX";
    if (!mkdtemp(tmpl.data())) return;
    const std::string base = *ovk_watchlist_text(rules(kRules / 2, 0));
    const std::string text = *ovk_watchlist_text(rules(kRules, kRules / 4));
    for (auto _ : state) {
        state.PauseTiming();
        {
            std::ofstream f(tmpl + "/watchlist_custom.json", std::ios::binary);
            f << base;
        }
        ovk_watchlist_load(tmpl);
        state.ResumeTiming();
        benchmark::DoNotOptimize(ovk_watchlist_import_custom(text));
    }
    state.counters["rules"] = static_cast<double>(ovk_watchlist_custom().size());
    ovk_watchlist_unload();
    remove_dir(tmpl);
}
BENCHMARK(BM_WatchlistImport100kRules)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ovk_store_close();
    if (!million_dir().empty()) remove_dir(million_dir());
    return 0;
}
