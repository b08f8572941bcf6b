// SPDX-License-Identifier: GPL-3.0-or-later
// The remembered devices as a compacted file and a journal of changes (the input's bytes
// before and after its first NUL): the records respect their limits, MACs are unique, the
// store opens the two files to the same records the pure reader gives, and a change written
// through the store is replayed exactly at the next open.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_datafile.h"
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
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const size_t nul = in.find('\0');
    const std::string_view base = in.substr(0, nul);
    const std::string_view journal = nul == std::string_view::npos ? "" : in.substr(nul + 1);
    std::vector<OVK_KNOWN> rows = ovk_store_parse_known_journal(base, journal);
    for (size_t i = 0; i < rows.size(); ++i) {
        const OVK_KNOWN& k = rows[i];
        if (k.mac.empty() || k.mac.size() > OVK_KNOWN_MAC_MAX ||
            k.name.size() > OVK_KNOWN_NAME_MAX || k.vendor.size() > OVK_KNOWN_VENDOR_MAX ||
            k.device_type.size() > OVK_KNOWN_TYPE_MAX || k.note.size() > OVK_KNOWN_NOTE_MAX)
            abort();
    }

    const std::string dir = ovk_fuzz::scratch_dir() + "/journal";
    ovk_fuzz::remove_tree(dir);
    if (ovk_mkdirs(dir) != 0) return 0;
    ovk_datafile_reset();
    if (!ovk_fuzz::write_bytes(dir + "/known_devices.json",
                               reinterpret_cast<const uint8_t*>(base.data()), base.size()) ||
        !ovk_fuzz::write_bytes(dir + "/known_devices.journal",
                               reinterpret_cast<const uint8_t*>(journal.data()), journal.size()))
        return 0;
    if (ovk_store_open(dir) != 0) abort();
    std::vector<OVK_KNOWN> loaded = ovk_store_known_all();
    std::vector<OVK_KNOWN> want = rows;
    sort_rows(want);
    if (loaded != want) abort();
    // One more change through the store comes back at the next open.
    OVK_KNOWN k;
    k.mac = "FF:FF:FF:FF:FF:FF";
    k.last_seen = static_cast<int64_t>(size) * 7919;
    k.name = std::string(base.substr(0, std::min<size_t>(base.size(), OVK_KNOWN_NAME_MAX)));
    if (ovk_store_known_upsert(std::span(&k, 1)) == 0) {
        const std::vector<OVK_KNOWN> before = ovk_store_known_all();
        if (ovk_store_open(dir) != 0) abort();
        if (ovk_store_known_all() != before) abort();
    }
    ovk_store_close();
    return 0;
}
