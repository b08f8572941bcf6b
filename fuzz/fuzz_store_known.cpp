// SPDX-License-Identifier: GPL-3.0-or-later
// The remembered-devices file from arbitrary bytes: records respect the limits, MACs are
// unique and non-empty, the written text reads back to the same records (integers exactly),
// and the store opens the file to the same set.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_store.h"

namespace {

void sort_rows(std::vector<OVK_KNOWN>& v) {
    std::sort(v.begin(), v.end(), [](const OVK_KNOWN& a, const OVK_KNOWN& b) {
        if (a.last_seen != b.last_seen) return a.last_seen > b.last_seen;
        return a.mac < b.mac;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<OVK_KNOWN> rows = ovk_store_parse_known(text);
    for (size_t i = 0; i < rows.size(); ++i) {
        const OVK_KNOWN& k = rows[i];
        if (k.mac.empty() || k.mac.size() > OVK_KNOWN_MAC_MAX ||
            k.name.size() > OVK_KNOWN_NAME_MAX || k.vendor.size() > OVK_KNOWN_VENDOR_MAX ||
            k.device_type.size() > OVK_KNOWN_TYPE_MAX || k.note.size() > OVK_KNOWN_NOTE_MAX ||
            (k.favorite != 0 && k.favorite != 1))
            abort();
        for (size_t j = 0; j < i; ++j)
            if (rows[j].mac == k.mac) abort();
    }
    const std::optional<std::string> out = ovk_store_known_text(rows);
    if (!out) abort();
    std::vector<OVK_KNOWN> back = ovk_store_parse_known(*out);
    if (back.size() != rows.size()) abort();
    // Every integer comes back exactly.
    for (size_t i = 0; i < rows.size(); ++i)
        if (!(back[i] == rows[i])) abort();

    const std::string dir = ovk_fuzz::scratch_dir() + "/known";
    ovk_fuzz::remove_tree(dir);  // copies of damaged files must not pile up
    if (ovk_mkdirs(dir) != 0) return 0;
    if (!ovk_fuzz::write_bytes(dir + "/known_devices.json", data, size)) return 0;
    if (ovk_store_open(dir) != 0) abort();
    std::vector<OVK_KNOWN> loaded = ovk_store_known_all();
    sort_rows(rows);
    if (loaded != rows) abort();
    ovk_store_close();
    return 0;
}
