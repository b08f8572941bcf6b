// SPDX-License-Identifier: GPL-3.0-or-later
// The trip index from arbitrary bytes: ids are positive and unique, names within their
// limit, the written text reads back to the same rows, and opening a trips folder holding
// the file lists the same rows (and closing a left-open trip keeps them).
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_app_util.h"
#include "ovk_trip.h"
#include "zq_log.h"

// Invalid files are logged on every open; keep the run quiet.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_level(LOG_CRIT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<OVK_TRIP> rows = ovk_trip_parse_index(text);
    bool exact = true;
    for (size_t i = 0; i < rows.size(); ++i) {
        const OVK_TRIP& t = rows[i];
        if (t.id <= 0 || t.name.size() > OVK_TRIP_NAME_MAX) abort();
        for (size_t j = 0; j < i; ++j)
            if (rows[j].id == t.id) abort();
        exact = exact && ovk_fuzz::exact_in_json(t.id) && ovk_fuzz::exact_in_json(t.start_time) &&
                ovk_fuzz::exact_in_json(t.end_time);
    }
    const std::optional<std::string> out = ovk_trip_index_text(rows);
    if (!out) abort();
    if (exact) {
        std::vector<OVK_TRIP> back = ovk_trip_parse_index(*out);
        if (back.size() != rows.size()) abort();
        for (size_t i = 0; i < rows.size(); ++i) {
            if (!ovk_fuzz::near_in_json(back[i].distance_m, rows[i].distance_m)) abort();
            back[i].distance_m = rows[i].distance_m;
            if (!(back[i] == rows[i])) abort();
        }
    }

    const std::string dir = ovk_fuzz::scratch_dir() + "/index";
    ovk_fuzz::remove_tree(dir);  // copies of damaged files must not pile up
    if (ovk_mkdirs(dir + "/trips") != 0) return 0;
    if (!ovk_fuzz::write_bytes(dir + "/trips/trips.json", data, size)) return 0;
    if (ovk_trip_open(dir) != 0) abort();
    if (ovk_trip_list().size() != rows.size()) abort();
    ovk_trip_close_stale();
    if (ovk_trip_list().size() != rows.size()) abort();
    ovk_trip_close();
    return 0;
}
