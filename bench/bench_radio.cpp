// SPDX-License-Identifier: GPL-3.0-or-later
// What the radio helper's channel costs the BLE reader: one poll and one read of a 44-byte
// LE advertising report per advertisement, made directly on a socket layer that answers at
// once, and the same through the helper's serving loop over a socket pair (two round trips
// with their frames). Reports per second of each give the channel's ceiling.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <vector>

#include "ovk_linux_hci.h"
#include "radio_channel.h"

namespace {

// A raw HCI socket layer whose one socket always has a report waiting.
class ReadyHci final : public OVK_HCI_IO {
  public:
    int open() override { return 7; }
    void close(int) override {}
    int dev_list(int, OVK_HCI_DEV_LIST&) override { return 0; }
    int dev_info(int, int, OVK_HCI_DEV_INFO&) override { return 0; }
    int bind(int, int) override { return 0; }
    int get_filter(int, OVK_HCI_FILTER_T&) override { return 0; }
    int set_filter(int, const OVK_HCI_FILTER_T&) override { return 0; }
    long write(int, ovk_bytes p) override { return static_cast<long>(p.size()); }
    long read(int, std::span<uint8_t> buf) override {
        const size_t n = std::min(buf.size(), report_.size());
        std::copy_n(report_.begin(), n, buf.begin());
        return static_cast<long>(n);
    }
    int poll(int, int, short& revents) override {
        revents = POLLIN;
        return 1;
    }
    int64_t mono_ms() override { return 0; }
    int64_t now_ms() override { return 0; }
    void sleep_ms(int) override {}

  private:
    std::array<uint8_t, 44> report_{0x04, 0x3E, 41, 0x02, 0x01};
};

void read_loop(benchmark::State& st, OVK_HCI_IO& io) {
    const int h = io.open();
    std::array<uint8_t, 260> buf{};
    for (auto _ : st) {
        short rev = 0;
        benchmark::DoNotOptimize(io.poll(h, 250, rev));
        benchmark::DoNotOptimize(io.read(h, buf));
    }
    io.close(h);
    st.SetItemsProcessed(st.iterations());
}

void BM_HciReportDirect(benchmark::State& st) {
    ReadyHci io;
    read_loop(st, io);
}
BENCHMARK(BM_HciReportDirect);

void BM_HciReportThroughHelper(benchmark::State& st) {
    RadioChannel<ReadyHci> ch(std::make_shared<ReadyHci>());
    read_loop(st, *ch.client());
}
BENCHMARK(BM_HciReportThroughHelper)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
