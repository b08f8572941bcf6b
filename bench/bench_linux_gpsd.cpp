// SPDX-License-Identifier: GPL-3.0-or-later
// The gpsd client's per-report costs: parsing one TPV line, rejecting other classes, and
// splitting a received stream into lines.
#include <benchmark/benchmark.h>

#include <string>

#include "ovk_linux_gpsd.h"

namespace {

const std::string kTpv =
    R"({"class":"TPV","device":"/dev/pts/1","mode":3,"time":"2024-05-01T12:00:09.000Z",)"
    R"("ept":0.005,"lat":59.329300000,"lon":18.068600000,"altHAE":51.8000,"altMSL":28.9000,)"
    R"("alt":28.9000,"epv":39.100,"track":45.0000,"magtrack":51.4225,"magvar":6.4,)"
    R"("speed":0.000,"climb":0.100,"epc":78.20,"geoidSep":22.900,"eph":24.700,"sep":39.900})";
const std::string kGst =
    R"({"class":"GST","device":"/dev/pts/1","time":"2024-05-01T12:00:09.000Z","rms":3.200,)"
    R"("major":3.200,"minor":2.900,"orient":0.000,"lat":2.900,"lon":3.200,"alt":4.000})";

void BM_ParseTpv(benchmark::State& st) {
    OVK_LOCATION f;
    for (auto _ : st) benchmark::DoNotOptimize(ovk_linux_gpsd_parse_tpv(kTpv, f));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kTpv.size()));
}
BENCHMARK(BM_ParseTpv);

void BM_RejectGst(benchmark::State& st) {
    OVK_LOCATION f;
    for (auto _ : st) benchmark::DoNotOptimize(ovk_linux_gpsd_parse_tpv(kGst, f));
}
BENCHMARK(BM_RejectGst);

void BM_ParseTime(benchmark::State& st) {
    for (auto _ : st)
        benchmark::DoNotOptimize(ovk_linux_gpsd_parse_time("2024-05-01T12:00:09.123456789Z"));
}
BENCHMARK(BM_ParseTime);

// A stream of alternating TPV and GST lines, received in chunks of the given size.
void BM_Split(benchmark::State& st) {
    std::string stream;
    while (stream.size() < (1 << 16)) stream += kTpv + "\r\n" + kGst + "\r\n";
    const size_t chunk = static_cast<size_t>(st.range(0));
    size_t lines_seen = 0;
    const std::function<void(std::string_view)> on_line = [&](std::string_view l) {
        lines_seen += l.size() > 0;
    };
    for (auto _ : st) {
        OVK_GPSD_LINES lb;
        for (size_t off = 0; off < stream.size(); off += chunk)
            ovk_linux_gpsd_split(lb, std::string_view(stream).substr(off, chunk), on_line);
    }
    benchmark::DoNotOptimize(lines_seen);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * stream.size()));
}
BENCHMARK(BM_Split)->Arg(100)->Arg(1500)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
