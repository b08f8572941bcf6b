// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of the scanners' parsers: one BLE report, one reassembled extended advertisement,
// one BSS, a whole 1,000-network dump, and the processor time a reader uses while it
// retries on a machine without Bluetooth. Each parser benchmark also counts heap
// allocations per delivered advertisement, next to what building the same advertisement
// record directly costs, so any allocation the parser adds shows up as the difference.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "ovk_linux_hci.h"
#include "ovk_linux_nl80211.h"

// g++ cannot see that the replaced operator new below is what malloc-ed the pointers it
// frees, and warns about every delete in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<long> g_allocs{0};
}  // namespace

// Every allocation of this program is counted.
void* operator new(std::size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using bytes = std::vector<uint8_t>;

// Allocations per delivered advertisement since `start`.
void count_allocs(benchmark::State& st, long start, size_t adverts) {
    const long n = g_allocs.load(std::memory_order_relaxed) - start;
    st.counters["allocs_per_advert"] =
        adverts ? static_cast<double>(n) / static_cast<double>(adverts) : 0.0;
}

// Appends with a plain copy (g++ 12 at -O3 warns wrongly about vector::insert here).
void append(bytes& to, const bytes& from) {
    const size_t at = to.size();
    to.resize(at + from.size());
    if (!from.empty()) std::memcpy(to.data() + at, from.data(), from.size());
}

// --- BLE packets ---
bytes legacy_packet() {
    const bytes data{0x02, 0x01, 0x06, 0x03, 0x03, 0x6F, 0xFD, 0x17, 0x16, 0x6F, 0xFD,
                     0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                     0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14};
    bytes p{0x02,
            0x01,
            0x00,
            0x01,
            0x11,
            0x22,
            0x33,
            0x44,
            0x55,
            0xC6,
            static_cast<uint8_t>(data.size())};
    append(p, data);
    p.push_back(static_cast<uint8_t>(-67));
    bytes pkt{0x04, 0x3E, static_cast<uint8_t>(p.size())};
    append(pkt, p);
    return pkt;
}

bytes ext_packet(int status, size_t n) {
    bytes p{0x0D,
            0x01,
            static_cast<uint8_t>(status << 5),
            0x00,
            0x01,
            0x11,
            0x22,
            0x33,
            0x44,
            0x55,
            0xC6,
            0x01,
            0x02,
            0x03,
            0x7F,
            static_cast<uint8_t>(-80),
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            static_cast<uint8_t>(n)};
    for (size_t i = 0; i < n; ++i) p.push_back(static_cast<uint8_t>(i));
    bytes pkt{0x04, 0x3E, static_cast<uint8_t>(p.size())};
    append(pkt, p);
    return pkt;
}

void BM_HciLegacyReport(benchmark::State& st) {
    OVK_HCI_SLOTS slots{};
    const bytes pkt = legacy_packet();
    size_t got = 0;
    const OVK_ADVERT_OUT out = [&](OVK_ADVERT_PTR a) { got += a ? 1 : 0; };
    const long a0 = g_allocs.load(std::memory_order_relaxed);
    for (auto _ : st) ovk_linux_hci_parse_event(slots, pkt, 1, 1700000000000LL, out);
    count_allocs(st, a0, got);
    st.SetItemsProcessed(static_cast<int64_t>(got));
}
BENCHMARK(BM_HciLegacyReport);

// The same advertisement built directly: the allocations of the record itself.
void BM_HciLegacyAdvertOnly(benchmark::State& st) {
    const bytes pkt = legacy_packet();
    const ovk_bytes data = ovk_bytes(pkt).subspan(14, pkt[13]);
    size_t got = 0;
    const long a0 = g_allocs.load(std::memory_order_relaxed);
    for (auto _ : st) {
        OVK_ADVERT_PTR a =
            ovk_advert_new_ble("C6:55:44:33:22:11", -67, data, OVK_ADDR_RANDOM_STATIC, 1,
                               "LE 1M (legacy)", "", 1700000000000LL);
        got += a ? 1 : 0;
        benchmark::DoNotOptimize(a);
    }
    count_allocs(st, a0, got);
    st.SetItemsProcessed(static_cast<int64_t>(got));
}
BENCHMARK(BM_HciLegacyAdvertOnly);

void BM_HciExtendedThreeFragments(benchmark::State& st) {
    OVK_HCI_SLOTS slots{};
    const bytes f1 = ext_packet(1, 229), f2 = ext_packet(1, 229), f3 = ext_packet(0, 100);
    size_t got = 0;
    const OVK_ADVERT_OUT out = [&](OVK_ADVERT_PTR a) { got += a ? 1 : 0; };
    int64_t t = 0;
    const long a0 = g_allocs.load(std::memory_order_relaxed);
    for (auto _ : st) {
        ovk_linux_hci_parse_event(slots, f1, ++t, 1700000000000LL, out);
        ovk_linux_hci_parse_event(slots, f2, ++t, 1700000000000LL, out);
        ovk_linux_hci_parse_event(slots, f3, ++t, 1700000000000LL, out);
    }
    count_allocs(st, a0, got);
    st.SetItemsProcessed(static_cast<int64_t>(got));
}
BENCHMARK(BM_HciExtendedThreeFragments);

// --- netlink ---
void put_attr(bytes& b, uint16_t type, const void* p, size_t n) {
    const auto len = static_cast<uint16_t>(4 + n);
    const size_t at = b.size();
    b.resize(at + ((len + 3u) & ~3u), 0);
    std::memcpy(&b[at], &len, 2);
    std::memcpy(&b[at + 2], &type, 2);
    if (n) std::memcpy(&b[at + 4], p, n);
}
template <typename T>
void put_val(bytes& b, uint16_t type, T v) {
    put_attr(b, type, &v, sizeof v);
}

// One GET_SCAN answer as the kernel encodes it, for BSS `i` seen at boot time `seen_ns`.
bytes bss_message(uint32_t seq, int i, uint64_t seen_ns) {
    bytes ies{0x00,
              0x0A,
              'C',
              'i',
              't',
              'y',
              'N',
              'e',
              't',
              '-',
              static_cast<uint8_t>('0' + i % 10),
              static_cast<uint8_t>('0' + i / 10 % 10)};
    const bytes rates{0x01, 0x08, 0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24};
    const bytes rsn{0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                    0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x0C, 0x00};
    const bytes ht(28, 0x11);
    append(ies, rates);
    append(ies, rsn);
    ies.push_back(0x2D);
    ies.push_back(static_cast<uint8_t>(ht.size()));
    append(ies, ht);
    bytes n;
    const uint8_t id[6] = {
        0x02, 0xAB, 0x00, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    put_attr(n, 1, id, 6);                         // BSSID
    put_val<uint32_t>(n, 2, 2412 + 5 * (i % 13));  // FREQUENCY
    put_val<uint64_t>(n, 3, 123456789);            // TSF
    put_val<uint16_t>(n, 5, 0x0411);               // CAPABILITY
    put_attr(n, 6, ies.data(), ies.size());        // INFORMATION_ELEMENTS
    put_val<int32_t>(n, 7, -4000 - 10 * i);        // SIGNAL_MBM
    put_val<uint32_t>(n, 10, 120);                 // SEEN_MS_AGO
    put_val<uint64_t>(n, 15, seen_ns);             // LAST_SEEN_BOOTTIME
    bytes top;
    put_val<uint32_t>(top, 46, 7);  // GENERATION
    put_val<uint32_t>(top, 3, 3);   // IFINDEX
    put_attr(top, 47 | 0x8000, n.data(), n.size());
    bytes m(20, 0);
    const uint32_t len = static_cast<uint32_t>(20 + top.size());
    const uint16_t type = 0x1C, flags = 2;  // NLM_F_MULTI
    std::memcpy(&m[0], &len, 4);
    std::memcpy(&m[4], &type, 2);
    std::memcpy(&m[6], &flags, 2);
    std::memcpy(&m[8], &seq, 4);
    m[16] = 34;  // NEW_SCAN_RESULTS
    m[17] = 1;
    append(m, top);
    return m;
}

constexpr int64_t BOOT_NS = 1000LL * 1000000000LL;

void BM_NlOneBss(benchmark::State& st) {
    std::vector<bytes> msgs;
    for (int i = 0; i < 1000; ++i) msgs.push_back(bss_message(1, i, BOOT_NS - 1000000000LL));
    auto ring = std::make_unique<OVK_NL_SEEN_RING>();
    OVK_NL_DUMP d;
    d.now_ms = 1700000000000LL;
    d.boot_ns = BOOT_NS;
    d.stale_ms = 60000;
    size_t i = 0;
    const std::function<void(OVK_ADVERT_PTR)> out = [](OVK_ADVERT_PTR a) {
        benchmark::DoNotOptimize(a);
    };
    const long a0 = g_allocs.load(std::memory_order_relaxed);
    for (auto _ : st) {
        if (i == msgs.size()) {
            i = 0;
            ring->n_seen = ring->seen_next = 0;  // every pass delivers all of them again
        }
        ovk_linux_wifi_parse_scan(ovk_bytes(msgs[i++]).subspan(20), *ring, d, out);
    }
    count_allocs(st, a0, static_cast<size_t>(d.emitted));
    st.SetItemsProcessed(d.emitted);
}
BENCHMARK(BM_NlOneBss);

// A whole dump of 1,000 networks in datagrams of about 16 KiB, walked and parsed with an
// empty repeat filter (every network delivered).
void BM_NlDump1000(benchmark::State& st) {
    std::vector<bytes> dgrams(1);
    for (int i = 0; i < 1000; ++i) {
        const bytes m = bss_message(9, i, BOOT_NS - 2000000000LL);
        if (dgrams.back().size() + m.size() > 16384) dgrams.emplace_back();
        append(dgrams.back(), m);
    }
    bytes done(20, 0);
    const uint32_t dl = 20, seq = 9;
    const uint16_t dt = 3;
    std::memcpy(&done[0], &dl, 4);
    std::memcpy(&done[4], &dt, 2);
    std::memcpy(&done[8], &seq, 4);
    append(dgrams.back(), done);

    auto ring = std::make_unique<OVK_NL_SEEN_RING>();
    int emitted = 0;
    const std::function<void(OVK_ADVERT_PTR)> out = [](OVK_ADVERT_PTR a) {
        benchmark::DoNotOptimize(a);
    };
    for (auto _ : st) {
        ring->n_seen = ring->seen_next = 0;
        OVK_NL_DUMP d;
        d.now_ms = 1700000000000LL;
        d.boot_ns = BOOT_NS;
        d.stale_ms = 60000;
        OVK_NL_WALK w;
        const OVK_NL_ANSWER_FN fn = [&](ovk_bytes attrs) {
            ovk_linux_wifi_parse_scan(attrs, *ring, d, out);
        };
        for (const auto& g : dgrams) ovk_linux_wifi_walk(g, 9, w, fn);
        if (!w.done || d.emitted != 1000) st.SkipWithError("dump not fully parsed");
        emitted += d.emitted;
    }
    st.counters["datagrams"] = static_cast<double>(dgrams.size());
    st.SetItemsProcessed(emitted);
}
BENCHMARK(BM_NlDump1000)->Unit(benchmark::kMillisecond);

// Processor time of the BLE reader on this machine's kernel (no Bluetooth: it waits and
// retries) and of an idle Wi-Fi scanner, over a few seconds, as a share of one core.
double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_RetryingReaderCpu(benchmark::State& st) {
    for (auto _ : st) {
        OVK_HCI_SCANNER hci(ovk_linux_hci_kernel_io(), OVK_SINK{});
        OVK_WIFI_SCANNER wifi(ovk_linux_wifi_kernel_io(), OVK_SINK{});
        OVK_SCAN_OPTS o;
        hci.start(o);
        wifi.start(o);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double c0 = cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        const double cpu = cpu_seconds() - c0;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        st.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
        st.SetLabel(hci.status() + " | " + wifi.status());
        hci.stop();
        wifi.stop();
    }
}
BENCHMARK(BM_RetryingReaderCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
