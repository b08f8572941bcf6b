// SPDX-License-Identifier: GPL-3.0-or-later
// The detection log from arbitrary bytes: every loaded record respects the field limits and
// the id rules, writes out as one line that reads back as the same record, and the store
// opens the same file to the same records.
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_store.h"

namespace {

// What a record turns into after one trip through its line.
OVK_DETECTION written_form(OVK_DETECTION d) {
    if (!d.has_pos) d.lat = d.lon = 0;  // no position is written as null
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int64_t next_id = 0;
    const std::vector<OVK_DETECTION> dets = ovk_store_parse_log(text, &next_id);
    if (next_id < 1) abort();
    std::string rewritten;
    for (const OVK_DETECTION& d : dets) {
        if (d.id < 1 || (d.id >= next_id && next_id != INT64_MAX)) abort();
        if (d.mac.size() > OVK_DET_MAC_MAX || d.label.size() > OVK_DET_LABEL_MAX ||
            d.source.size() > OVK_DET_SOURCE_MAX || d.evidence.size() > OVK_DET_EVIDENCE_MAX ||
            d.vendor.size() > OVK_DET_VENDOR_MAX || d.device_name.size() > OVK_DET_NAME_MAX)
            abort();
        if (d.category < 0 || d.category >= OVK_CAT_COUNT) abort();
        if (d.has_pos && (!std::isfinite(d.lat) || !std::isfinite(d.lon))) abort();
        const std::optional<std::string> line = ovk_store_detection_line(d);
        if (!line || line->find('\n') != std::string::npos) abort();
        const auto back = ovk_store_parse_log(*line, nullptr);
        if (back.size() != 1) abort();
        OVK_DETECTION want = written_form(d);
        // Every integer comes back exactly (ids past 10^15 once came back merged).
        if (!(back[0] == want)) abort();
        rewritten += *line;
        rewritten += '\n';
    }
    // The rewritten log keeps every record and id.
    const auto again = ovk_store_parse_log(rewritten, nullptr);
    if (again.size() != dets.size()) abort();
    for (size_t i = 0; i < dets.size(); ++i)
        if (again[i].id != dets[i].id) abort();
    // The store loads the file as the parser does.
    const std::string dir = ovk_fuzz::scratch_dir() + "/log";
    ovk_fuzz::remove_tree(dir);  // copies of damaged logs must not pile up
    if (ovk_mkdirs(dir) != 0) return 0;
    if (!ovk_fuzz::write_bytes(dir + "/detections.jsonl", data, size)) return 0;
    if (ovk_store_open(dir) != 0) abort();
    if (ovk_store_detection_count() != static_cast<int>(dets.size())) abort();
    const auto loaded = ovk_store_detections(INT64_MIN);
    std::multiset<int64_t> a, b;
    for (const auto& d : loaded) a.insert(d.id);
    for (const auto& d : dets) b.insert(d.id);
    if (a != b) abort();
    ovk_store_close();
    return 0;
}
