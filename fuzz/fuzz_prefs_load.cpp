// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file from arbitrary bytes: loading through the module must give the same
// record as applying the parsed object, and writing that record out and reading it back
// must reproduce it.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_prefs.h"

namespace {

using ovk_fuzz::scratch_dir;

// Integers beyond 2^53 do not survive the trip through a JSON number exactly.
void take_if_inexact(int64_t& want, int64_t got) {
    if (want > (int64_t{1} << 53) || want < -(int64_t{1} << 53)) want = got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fresh directory each time: copies of damaged files must not pile up.
    const std::string dir = scratch_dir() + "/prefs";
    ovk_fuzz::remove_tree(dir);
    if (ovk_mkdirs(dir) != 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    FILE* f = fopen((dir + "/settings.json").c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    OVK_PREFS parsed;
    OVK_JSON j = ovk_json_parse(text);
    ovk_prefs_from_json(j.get(), parsed);
    if (parsed.ui_size < 0 || parsed.ui_size > 3) abort();
    if (parsed.theme < 0 || parsed.theme >= OVK_THEME_COUNT) abort();
    if (parsed.wifi_iface.size() > OVK_PREFS_IFACE_MAX) abort();
    if (parsed.gpsd_host.size() > OVK_PREFS_HOST_MAX) abort();

    if (ovk_prefs_load(dir) != 0) abort();
    if (!(ovk_prefs_get() == parsed) && !std::isnan(parsed.map_lat) && !std::isnan(parsed.map_lon))
        abort();

    OVK_JSON out = ovk_prefs_to_json(parsed);
    if (!out) abort();
    OVK_PREFS back;
    ovk_prefs_from_json(out.get(), back);
    // Non-finite map positions print as null and so read back as the default.
    if (!std::isfinite(parsed.map_lat)) parsed.map_lat = back.map_lat;
    if (!std::isfinite(parsed.map_lon)) parsed.map_lon = back.map_lon;
    take_if_inexact(parsed.scan_interval_ms, back.scan_interval_ms);
    take_if_inexact(parsed.dedupe_window_ms, back.dedupe_window_ms);
    if (!(back == parsed)) abort();
    return 0;
}
