// SPDX-License-Identifier: GPL-3.0-or-later
// The vendor-table line parser on arbitrary bytes: the input is served as each of the four
// tables, then looked up with keys taken from the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ovk_vendordb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ovk_vendordb_load([&text](std::string_view) -> std::optional<std::string> { return text; });

    std::string_view view(text);
    ovk_vendor_mac(view.substr(0, 40));
    if (size > 2) ovk_vendor_mac(view.substr(2, 17));
    int v = size >= 2 ? (data[0] | (data[1] << 8)) : 0;
    ovk_vendor_company(v);
    ovk_vendor_uuid16(v);
    ovk_vendor_appearance(v);
    ovk_vendor_appearance(v & 0xFFC0);
    ovk_vendordb_counts();
    ovk_vendordb_unload();
    return 0;
}
