// SPDX-License-Identifier: GPL-3.0-or-later
// A city's worth of devices, through the real program: `orvik --headless --replay FILE
// --replay-speed 0` in a fresh data directory, on recordings made by tools/gen_city_drive.py.
//   - BM_CityDriveHour: a one-hour drive, 1,000,000 adverts from 100,000 addresses with one
//     GPS fix a second;
//   - BM_Replay10k / BM_Replay100k: 10,000 adverts from 10,000 addresses and 100,000 from
//     100,000, at the same rate (1,000 new addresses a second): the cost per address should
//     not grow with the number of addresses.
// Counters: CPU seconds of the program (user + system), its peak resident memory (MiB),
// adverts per second of CPU, the time of the last history flush (from the program's log;
// housekeeping may flush on the way too) and the bytes of the remembered devices on disk
// afterwards (compacted file and journal). OVK_BENCH_ORVIK=PATH measures another build of
// the program (a baseline) on the same recordings.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// A scratch folder for the recordings and data directories (hundreds of megabytes),
// removed when the benchmark ends.
struct SCRATCH {
    std::string dir;
    SCRATCH() {
        char tmpl[] = "/tmp/ovk-bench-city-XXXXXX";
        if (const char* d = mkdtemp(tmpl)) dir = d;
    }
    ~SCRATCH() {
        if (!dir.empty() && std::system(("rm -rf " + dir).c_str()) != 0) {
            // Left behind; nothing more to do at exit.
        }
    }
};

std::string scratch() {
    static const SCRATCH s;
    return s.dir.empty() ? std::string("/tmp") : s.dir;
}

// The recording, made once per process by the generator script.
std::string recording(long adverts, long addresses, long seconds) {
    const std::string path = scratch() + "/drive-" + std::to_string(adverts) + "-" +
                             std::to_string(addresses) + ".jsonl";
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return path;
    const std::string cmd = "python3 " OVK_SOURCE_DIR "/tools/gen_city_drive.py " + path + " " +
                            std::to_string(adverts) + " " + std::to_string(addresses) + " " +
                            std::to_string(seconds);
    if (std::system(cmd.c_str()) != 0) return {};
    return path;
}

struct RUN {
    bool ok = false;
    double cpu_s = 0;
    double peak_mib = 0;
    double flush_ms = -1;
    double known_bytes = 0;
};

RUN run_replay(const std::string& file) {
    RUN out;
    const std::string home = scratch() + "/home-" + std::to_string(getpid());
    if (std::system(("rm -rf " + home + " && mkdir -p " + home).c_str()) != 0) return out;
    const std::string log = home + "/stderr";
    const pid_t pid = fork();
    if (pid < 0) return out;
    if (pid == 0) {
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        if (!freopen("/dev/null", "w", stdout) || !freopen(log.c_str(), "w", stderr)) _exit(126);
        // OVK_BENCH_ORVIK runs another build of the program (a baseline) on the same files.
        const char* prog = getenv("OVK_BENCH_ORVIK");
        execl(prog && *prog ? prog : OVK_BINARY_DIR "/orvik", "orvik", "--headless", "--replay",
              file.c_str(), "--replay-speed", "0", "-v", "6", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return out;
    out.ok = true;
    out.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    out.peak_mib = static_cast<double>(ru.ru_maxrss) / 1024.0;  // kilobytes on Linux
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find("history flush: ");
        if (at == std::string::npos) continue;
        const size_t in_pos = line.find(" in ", at);
        if (in_pos != std::string::npos) out.flush_ms = std::atof(line.c_str() + in_pos + 4);
    }
    // The remembered devices as they stand after the run: the compacted file and the journal
    // of the changes not yet folded into it.
    for (const char* name : {"/orvik/known_devices.json", "/orvik/known_devices.journal"}) {
        struct stat st {};
        if (stat((home + name).c_str(), &st) == 0)
            out.known_bytes += static_cast<double>(st.st_size);
    }
    return out;
}

void replay_bench(benchmark::State& state, long adverts, long addresses, long seconds) {
    const std::string file = recording(adverts, addresses, seconds);
    if (file.empty()) {
        state.SkipWithError("cannot make the recording (python3?)");
        return;
    }
    RUN r;
    for (auto _ : state) {
        r = run_replay(file);
        if (!r.ok) {
            state.SkipWithError("orvik failed");
            return;
        }
        state.SetIterationTime(r.cpu_s);
    }
    state.counters["cpu_s"] = r.cpu_s;
    state.counters["peak_MiB"] = r.peak_mib;
    state.counters["adverts_per_cpu_s"] = static_cast<double>(adverts) / r.cpu_s;
    state.counters["flush_ms"] = r.flush_ms;
    state.counters["known_bytes"] = r.known_bytes;
    state.SetItemsProcessed(state.iterations() * adverts);
}

void BM_Replay10k(benchmark::State& state) {
    replay_bench(state, 10000, 10000, 10);
}
BENCHMARK(BM_Replay10k)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_Replay100k(benchmark::State& state) {
    replay_bench(state, 100000, 100000, 100);
}
BENCHMARK(BM_Replay100k)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_CityDriveHour(benchmark::State& state) {
    replay_bench(state, 1000000, 100000, 3600);
}
BENCHMARK(BM_CityDriveHour)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
