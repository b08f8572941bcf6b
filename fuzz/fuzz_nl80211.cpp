// SPDX-License-Identifier: GPL-3.0-or-later
// Generic netlink datagrams from the kernel: the message walk, attribute tables, the family
// answer, GET_SCAN answers (BSS decoding, repeat filter) and scan events' attributes.
//
// Input: 4 bytes of sequence number, then one datagram. The same bytes are also parsed as a
// bare attribute area and as information elements.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ovk_linux_nl80211.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t seq = 0;
    std::memcpy(&seq, data, 4);
    const ovk_bytes dgram(data + 4, size - 4);

    static OVK_NL_SEEN_RING* ring = new OVK_NL_SEEN_RING();
    *ring = OVK_NL_SEEN_RING{};
    OVK_NL_DUMP d;
    d.now_ms = 1700000000000LL;
    d.boot_ns = 1000LL * 1000000000LL;
    d.stale_ms = 60000;
    size_t got = 0;
    const auto out = [&](OVK_ADVERT_PTR a) {
        if (a) ++got;
    };

    OVK_NL_WALK w;
    OVK_NL_FAMILY fam;
    ovk_linux_wifi_walk(dgram, seq, w, [&](ovk_bytes attrs) {
        ovk_linux_wifi_parse_family(attrs, fam);
        ovk_linux_wifi_parse_scan(attrs, *ring, d, out);
        std::array<OVK_NL_ATTR, 64> t;
        ovk_linux_wifi_attrs(attrs, t);
    });
    ovk_linux_wifi_parse_scan(dgram, *ring, d, out);
    ovk_linux_wifi_ssid(dgram);
    if (static_cast<size_t>(d.emitted) != got || d.emitted > d.total) __builtin_trap();
    return 0;
}
