// SPDX-License-Identifier: GPL-3.0-or-later
// btsnoop files (Android's HCI snoop log, btmon -w): the input follows the btsnoop magic, so
// every run reaches the header and record parser and the HCI report decoder behind it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ovk_capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file("btsnoop\0", 8);
    file.append(reinterpret_cast<const char*>(data), size);
    FILE* f = fmemopen(file.data(), file.size(), "rb");
    if (!f) return 0;
    std::string err;
    const auto cap = ovk_capture_open(f, err);
    if (!cap) {
        if (err.empty()) __builtin_trap();
        return 0;
    }
    OVK_CAPTURE_FRAME fr;
    int r;
    long records = 0;
    while ((r = cap->next(fr)) == 1) {
        ++records;
        for (const auto& a : fr.adverts)
            if (!a || a->raw.size() > 1650) __builtin_trap();
    }
    // Every record has a 24-byte header after the 16-byte file header.
    if (16 + 24 * static_cast<size_t>(records) > file.size()) __builtin_trap();
    if (r == -1 && cap->error().empty()) __builtin_trap();
    return 0;
}
