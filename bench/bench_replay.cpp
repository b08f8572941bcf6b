// SPDX-License-Identifier: GPL-3.0-or-later
// Replay throughput: a 100,000-advert recording (demo rounds with their fixes) read and
// parsed alone, and played flat out (speed 0) into the running pipeline until the worker has
// taken everything, beside the worker fed the same adverts directly; and the capture reader
// on a pcap of 100,000 BLE link-layer frames.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ovk_capture.h"
#include "ovk_classify_io.h"
#include "ovk_demo.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_replay.h"
#include "ovk_store.h"
#include "ovk_vendordb.h"
#include "zq_log.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;
constexpr int kAdverts = 100000;

// The recording, written once: one fix and 15 adverts a second, as the demo feed delivers.
const std::string& recording() {
    static const std::string path = [] {
        std::string p = "/tmp/ovk-bench-replay-" + std::to_string(getpid()) + ".jsonl";
        FILE* f = fopen(p.c_str(), "w");
        OVK_LOCATION anchor;
        anchor.lat = kLat;
        anchor.lon = kLon;
        int n = 0;
        for (int round = 0; n < kAdverts; ++round) {
            const int64_t t = T0 + round * 1000;
            const std::string fix =
                ovk_classify_format_fix(ovk_demo_user_fix(round, kLat, kLon, t));
            fprintf(f, "%s\n", fix.c_str());
            ovk_demo_round_at(round, t, anchor, [&](OVK_ADVERT_PTR a) {
                if (n++ < kAdverts) fprintf(f, "%s\n", ovk_classify_format(*a).c_str());
            });
        }
        fclose(f);
        return p;
    }();
    return path;
}

void pipeline_up() {
    set_log_level(3);
    ovk_vendordb_load();
    ovk_prefs_set(OVK_PREFS{});
    OVK_PIPELINE_HOOKS h;
    h.now_ms = ovk_replay_clock;
    ovk_pipeline_set_hooks(h);
    ovk_pipeline_init();
    ovk_registry_start_session(T0);
}

void pipeline_down() {
    ovk_pipeline_shutdown();
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
    ovk_registry_clear();
    ovk_store_clear_detections();
}

// Reading and parsing the recording, nothing else.
void BM_ReplayRead(benchmark::State& state) {
    const std::string& path = recording();
    for (auto _ : state) {
        std::string err;
        auto r = OVK_REPLAY_READER::open(path, err);
        OVK_REPLAY_ITEM it;
        long n = 0;
        while (r->next(it) == 1) n += it.advert ? 1 : 0;
        if (n != kAdverts) state.SkipWithError("short read");
    }
    state.SetItemsProcessed(state.iterations() * kAdverts);
}
BENCHMARK(BM_ReplayRead)->Unit(benchmark::kMillisecond)->Iterations(3);

// The whole replay: file to pipeline worker, flat out, until the worker is idle.
void BM_ReplayIntoPipeline(benchmark::State& state) {
    const std::string& path = recording();
    pipeline_up();
    for (auto _ : state) {
        ovk_registry_start_session(T0);
        OVK_REPLAY_OPTS o;
        o.path = path;
        o.speed = 0;
        o.backlog = ovk_pipeline_pending;
        ovk_replay_start(o, ovk_pipeline_sink());
        while (!ovk_replay_finished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        while (ovk_pipeline_pending() > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        ovk_replay_stop();
        if (ovk_replay_adverts() != kAdverts) state.SkipWithError("adverts missing");
    }
    state.SetItemsProcessed(state.iterations() * kAdverts);
    pipeline_down();
}
BENCHMARK(BM_ReplayIntoPipeline)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The worker alone on the same adverts, parsed beforehand: the pipeline's own throughput.
void BM_PipelineAloneOnTheRecording(benchmark::State& state) {
    const std::string& path = recording();
    pipeline_up();
    for (auto _ : state) {
        state.PauseTiming();
        ovk_registry_start_session(T0);
        std::string err;
        auto r = OVK_REPLAY_READER::open(path, err);
        std::vector<OVK_REPLAY_ITEM> items;
        OVK_REPLAY_ITEM it;
        while (r->next(it) == 1) items.push_back(std::move(it));
        state.ResumeTiming();
        size_t i = 0;
        while (i < items.size()) {
            for (int k = 0; k < 1000 && i < items.size(); ++k, ++i) {
                if (items[i].advert)
                    ovk_pipeline_submit(std::move(items[i].advert));
                else
                    ovk_pipeline_location(items[i].fix);
            }
            while (ovk_pipeline_pending() > 1000)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        while (ovk_pipeline_pending() > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    state.SetItemsProcessed(state.iterations() * kAdverts);
    pipeline_down();
}
BENCHMARK(BM_PipelineAloneOnTheRecording)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// The capture reader: 100,000 BLE link-layer frames with the pseudo-header.
void BM_CaptureReadBleLl(benchmark::State& state) {
    static const std::string path = [] {
        std::string p = "/tmp/ovk-bench-ll-" + std::to_string(getpid()) + ".pcap";
        pcap_t* pc = pcap_open_dead(256, 65535);
        pcap_dumper_t* d = pcap_dump_open(pc, p.c_str());
        std::vector<uint8_t> pkt = {37,   0xC4, 0xA0, 0,    0xD6, 0xBE, 0x89, 0x8E, 0x02, 0x0C,
                                    0xD6, 0xBE, 0x89, 0x8E, 0x40, 21,   1,    2,    3,    4,
                                    5,    0xC6, 2,    1,    6,    4,    9,    'O',  'r',  'v',
                                    6,    0xFF, 0x4C, 0,    0x12, 2,    0,    0,    0,    0};
        pkt[15] = static_cast<uint8_t>(pkt.size() - 16 - 3);
        for (int i = 0; i < kAdverts; ++i) {
            pcap_pkthdr h{};
            h.ts.tv_sec = T0 / 1000 + i / 100;
            h.caplen = h.len = static_cast<bpf_u_int32>(pkt.size());
            pkt[16] = static_cast<uint8_t>(i);
            pcap_dump(reinterpret_cast<u_char*>(d), &h, pkt.data());
        }
        pcap_dump_close(d);
        pcap_close(pc);
        return p;
    }();
    for (auto _ : state) {
        std::string err;
        auto cap = ovk_capture_open_path(path, err);
        OVK_CAPTURE_FRAME f;
        long n = 0;
        while (cap && cap->next(f) == 1) n += static_cast<long>(f.adverts.size());
        if (n != kAdverts) state.SkipWithError("short read");
    }
    state.SetItemsProcessed(state.iterations() * kAdverts);
}
BENCHMARK(BM_CaptureReadBleLl)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(recording().c_str());
    return 0;
}
