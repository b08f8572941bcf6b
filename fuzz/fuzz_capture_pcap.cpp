// SPDX-License-Identifier: GPL-3.0-or-later
// pcap and pcapng files as libpcap reads them from a stream, through every link type the
// capture reader takes: each frame gives adverts or nothing, the reading ends (at the end or
// with a reason) and never runs past what the file holds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ovk_capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    std::string err;
    const auto cap = ovk_capture_open(f, err);
    if (!cap) {
        if (err.empty()) __builtin_trap();
        return 0;
    }
    OVK_CAPTURE_FRAME fr;
    int r;
    long n = 0;
    while ((r = cap->next(fr)) == 1) {
        if (fr.number != ++n) __builtin_trap();
        for (const auto& a : fr.adverts)
            if (!a || a->raw.size() > size || a->ies.size() > size) __builtin_trap();
    }
    if (r == -1 && cap->error().empty()) __builtin_trap();
    if (cap->next(fr) != r) __builtin_trap();  // an ended reading stays ended
    return 0;
}
