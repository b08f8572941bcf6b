// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of the signature catalogue: its name patterns in the matcher, one classification per
// BLE or Wi-Fi advertisement, and the classify tool's throughput over a file of mixed records.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_classify_io.h"
#include "ovk_regex.h"
#include "ovk_signature.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- matcher on the catalogue's name patterns ----

struct PatternCase {
    const char* pattern;
    const char* text;
};
const PatternCase kPatterns[] = {
    {"^Penguin-\\d+$", "Penguin-20394857"},             // match
    {"^Penguin-\\d+$", "Galaxy Buds2 Pro (4F2A)"},      // typical miss
    {"^FS-[0-9A-Fa-f]+$", "FS-3A9F0C"},                 // match
    {"^[A-Z0-9]{2}[A-Z]{3}\\d{9}$", "XXABC123456789"},  // match
    {"^[A-Z0-9]{2}[A-Z]{3}\\d{9}$", "LE-Bose QC45"},    // miss
};

void BM_PatternFull(benchmark::State& st) {
    const PatternCase& c = kPatterns[st.range(0)];
    OVK_REGEX_PTR re = ovk_regex_compile(c.pattern, 0);
    const std::string text = c.text;
    for (auto _ : st) benchmark::DoNotOptimize(ovk_regex_full(re.get(), text));
    st.SetLabel(std::string(c.pattern) + " ~ " + c.text);
}
BENCHMARK(BM_PatternFull)->DenseRange(0, 4);

// Search over a 64-byte name that does not contain the pattern: every start is tried.
void BM_PatternSearchMiss(benchmark::State& st) {
    OVK_REGEX_PTR re = ovk_regex_compile("(?i)body ?worn|axon|flock", 0);
    const std::string text = "Living room speaker - kitchen - upstairs hallway - garage 4F2A9";
    for (auto _ : st) benchmark::DoNotOptimize(ovk_regex_search(re.get(), text));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
}
BENCHMARK(BM_PatternSearchMiss);

void BM_PatternCompile(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(ovk_regex_compile("^[A-Z0-9]{2}[A-Z]{3}\\d{9}$", 0));
}
BENCHMARK(BM_PatternCompile);

// Worst case the work limit allows: exponential backtracking cut off with "no match".
void BM_PatternPathological(benchmark::State& st) {
    OVK_REGEX_PTR re = ovk_regex_compile("(a|a)*b", 0);
    const std::string text(40, 'a');
    for (auto _ : st) benchmark::DoNotOptimize(ovk_regex_full(re.get(), text));
}
BENCHMARK(BM_PatternPathological)->Unit(benchmark::kMillisecond);

// A search whose leading run would be retried from every start: linear with the skip.
void BM_PatternLeadingRunSearch(benchmark::State& st) {
    OVK_REGEX_PTR re = ovk_regex_compile("[a-z]*X", 0);
    const std::string text = std::string(static_cast<size_t>(st.range(0)), 'b') + " X";
    for (auto _ : st) benchmark::DoNotOptimize(ovk_regex_search(re.get(), text));
    st.SetComplexityN(st.range(0));
}
BENCHMARK(BM_PatternLeadingRunSearch)->Range(1000, 64000)->Complexity();

// ---- classifier per advertisement ----

void ad(Bytes& raw, uint8_t type, const Bytes& body) {
    raw.push_back(static_cast<uint8_t>(body.size() + 1));
    raw.push_back(type);
    raw.insert(raw.end(), body.begin(), body.end());
}

OVK_ADVERT_PTR ble_phone() {  // an ordinary phone: flags, Apple nearby data, no verdict
    Bytes raw;
    ad(raw, 0x01, {0x1A});
    ad(raw, 0xFF, {0x4C, 0x00, 0x10, 0x05, 0x41, 0x1C, 0x7A, 0x3B, 0x09});
    ad(raw, 0x0A, {0x0C});
    return ovk_advert_new_ble("5E:21:9A:44:10:02", -67, ovk_bytes(raw.data(), raw.size()),
                              OVK_ADDR_RESOLVABLE_PRIVATE, 1, "LE 1M (legacy)", "", 0);
}

OVK_ADVERT_PTR ble_busy() {  // several signatures at once, 128-bit UUIDs and a name
    Bytes raw;
    ad(raw, 0x01, {0x06});
    ad(raw, 0x03, {0x6B, 0xFE, 0x00, 0x31, 0x00, 0x35, 0x0F, 0x18});
    ad(raw, 0xFF, {0x4D, 0x03, 0x01, 0x02});
    ad(raw, 0x07,
       {0xFB, 0xF3, 0x50, 0xE9, 0x63, 0x79, 0x0F, 0xA8, 0x6B, 0x44, 0x4C, 0x60, 0x01, 0xE0, 0x2D,
        0x63});
    ad(raw, 0x09, {'P', 'e', 'n', 'g', 'u', 'i', 'n', '-', '1', '2', '3', '4'});
    return ovk_advert_new_ble("00:25:DF:11:22:33", -55, ovk_bytes(raw.data(), raw.size()),
                              OVK_ADDR_PUBLIC, 1, "LE 1M (legacy)", "", 0);
}

OVK_ADVERT_PTR wifi_home() {  // a home router: RSN, HT, vendor elements, no verdict
    Bytes ies = {0x00, 0x08, 'H', 'o', 'm', 'e', 'N', 'e', 't', '5'};
    const Bytes rsn = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                       0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x0C, 0x00};
    ies.insert(ies.end(), rsn.begin(), rsn.end());
    Bytes ht = {45, 26};
    ht.resize(28, 0);
    ies.insert(ies.end(), ht.begin(), ht.end());
    const Bytes wmm = {0xDD, 0x07, 0x00, 0x50, 0xF2, 0x02, 0x00, 0x01, 0x00};
    ies.insert(ies.end(), wmm.begin(), wmm.end());
    return ovk_advert_new_wifi("00:1A:2B:3C:4D:5E", "HomeNet5", -61, 5180, std::nullopt,
                               std::nullopt, ovk_bytes(ies.data(), ies.size()), 0);
}

OVK_ADVERT_PTR wifi_flock() {
    return ovk_advert_new_wifi("A4:11:62:00:00:01", "Flock-4F2A91", -70, 2437, std::nullopt,
                               std::nullopt, ovk_bytes(), 0);
}

void run_classify(benchmark::State& st, const OVK_ADVERT_PTR& a) {
    OVK_HITS hits;
    for (auto _ : st) {
        ovk_signature_classify(a.get(), hits);
        benchmark::DoNotOptimize(hits.data());
    }
    st.counters["hits"] = static_cast<double>(hits.size());
    st.SetItemsProcessed(st.iterations());
}

void BM_ClassifyBlePhone(benchmark::State& st) {
    run_classify(st, ble_phone());
}
void BM_ClassifyBleBusy(benchmark::State& st) {
    run_classify(st, ble_busy());
}
void BM_ClassifyWifiHome(benchmark::State& st) {
    run_classify(st, wifi_home());
}
void BM_ClassifyWifiFlock(benchmark::State& st) {
    run_classify(st, wifi_flock());
}
BENCHMARK(BM_ClassifyBlePhone);
BENCHMARK(BM_ClassifyBleBusy);
BENCHMARK(BM_ClassifyWifiHome);
BENCHMARK(BM_ClassifyWifiFlock);

// ---- classify tool throughput ----

// The valid records of the regression capture, repeated to `n` lines.
std::string mixed_file(size_t n) {
    std::ifstream f(std::string(OVK_SOURCE_DIR) + "/tests/data/classify_sample.jsonl");
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);)
        if (l.rfind("{\"radio\":", 0) == 0 && l.find("\"time\"") != std::string::npos)
            lines.push_back(l);
    std::string out;
    for (size_t i = 0; i < n && !lines.empty(); ++i) out += lines[i % lines.size()] + "\n";
    return out;
}

void BM_ClassifyToolThroughput(benchmark::State& st) {
    const size_t n = 10000;
    std::string data = mixed_file(n);
    FILE* sink = fopen("/dev/null", "w");
    for (auto _ : st) {
        FILE* in = fmemopen(data.data(), data.size(), "r");
        benchmark::DoNotOptimize(ovk_classify_stream(in, sink));
        fclose(in);
    }
    fclose(sink);
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * n));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * data.size()));
}
BENCHMARK(BM_ClassifyToolThroughput)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
