// SPDX-License-Identifier: GPL-3.0-or-later
// The whitelist file from arbitrary bytes: entries respect the limits, MACs are unique and
// non-empty (first one wins), the written text reads back to the same entries in order, and
// the store opens the file to the same list.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<OVK_WHITELIST_ENTRY> rows = ovk_store_parse_whitelist(text);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].mac.empty() || rows[i].mac.size() > OVK_WL_MAC_MAX ||
            rows[i].note.size() > OVK_WL_NOTE_MAX)
            abort();
        for (size_t j = 0; j < i; ++j)
            if (rows[j].mac == rows[i].mac) abort();
    }
    const std::optional<std::string> out = ovk_store_whitelist_text(rows);
    if (!out || ovk_store_parse_whitelist(*out) != rows) abort();

    const std::string dir = ovk_fuzz::scratch_dir() + "/wl";
    ovk_fuzz::remove_tree(dir);  // copies of damaged files must not pile up
    if (ovk_mkdirs(dir) != 0) return 0;
    if (!ovk_fuzz::write_bytes(dir + "/whitelist.json", data, size)) return 0;
    if (ovk_store_open(dir) != 0) abort();
    if (ovk_store_whitelist_all() != rows) abort();
    for (const auto& w : rows)
        if (!ovk_store_is_whitelisted(w.mac)) abort();
    ovk_store_close();
    return 0;
}
