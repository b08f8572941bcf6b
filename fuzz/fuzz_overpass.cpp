// SPDX-License-Identifier: GPL-3.0-or-later
// Overpass answer parser over arbitrary bytes: never crashes, and every camera it gives
// has texts within their limits and a direction in range.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ovk_alpr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto cams = ovk_alpr_parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!cams) return 0;
    for (const OVK_CAMERA& c : *cams) {
        if (c.osm_id.size() > 39 || c.brand.size() > 63 || c.operator_name.size() > 95) abort();
        if (!std::isfinite(c.lat) || !std::isfinite(c.lon)) abort();
        if (std::fabs(c.lat) > 90 || std::fabs(c.lon) > 180) abort();  // on the globe
        if (c.has_direction ? (c.direction < 0 || c.direction > 359) : c.direction != 0) abort();
    }
    return 0;
}
