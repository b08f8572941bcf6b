// SPDX-License-Identifier: GPL-3.0-or-later
// The system's IEEE registry files (ieee-data CSV) turned into the address-block table, on
// arbitrary bytes: the input is one file for each prefix length; every line of the result
// must be a block of that many hex digits, a tab and a non-empty one-line name, and the table
// must load.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ovk_vendordb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const OVK_IEEE_CSV files[] = {{text, 6}, {text, 7}, {text, 9}};
    const OVK_IEEE_TABLE t = ovk_vendordb_from_ieee(files);
    size_t lines = 0;
    for (size_t at = 0; at < t.tsv.size();) {
        const size_t end = t.tsv.find('\n', at);
        if (end == std::string::npos) std::abort();
        const std::string_view line(t.tsv.data() + at, end - at);
        const size_t tab = line.find('\t');
        if (tab != 6 && tab != 7 && tab != 9) std::abort();
        const std::string_view name = line.substr(tab + 1);
        if (name.empty() || name.find('\t') != std::string_view::npos ||
            name.find('\r') != std::string_view::npos || name.front() == ' ' || name.back() == ' ')
            std::abort();
        ++lines;
        at = end + 1;
    }
    if (lines != t.blocks) std::abort();
    ovk_vendordb_load([&t](std::string_view name) -> std::optional<std::string> {
        if (name == OVK_VENDOR_FILE_OUI) return t.tsv;
        return std::string();
    });
    ovk_vendordb_unload();
    ovk_vendordb_listing_day(text);
    return 0;
}
