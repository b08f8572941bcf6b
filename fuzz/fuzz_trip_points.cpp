// SPDX-License-Identifier: GPL-3.0-or-later
// The trip track file from arbitrary bytes: every point has a finite position (and finite
// accuracy and speed when it has them), and the written lines read back to the same points.
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "ovk_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<OVK_TRIP_POINT> pts = ovk_trip_parse_points(text);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    if (pts.size() > lines) abort();
    for (const OVK_TRIP_POINT& p : pts) {
        if (!std::isfinite(p.lat) || !std::isfinite(p.lon)) abort();
        if (p.has_accuracy ? !std::isfinite(p.accuracy_m) : p.accuracy_m != 0) abort();
        if (p.has_speed ? !std::isfinite(p.speed_ms) : p.speed_ms != 0) abort();
    }
    const std::string out = ovk_trip_points_text(pts);
    if (ovk_trip_parse_points(out) != pts) abort();
    return 0;
}
