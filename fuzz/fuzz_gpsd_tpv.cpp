// SPDX-License-Identifier: GPL-3.0-or-later
// gpsd report lines: the TPV parser on the raw input, then the input as a byte stream cut
// into chunks (sizes taken from the input itself) through the line splitter, with every
// line parsed.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ovk_linux_gpsd.h"

namespace {
void check_fix(const OVK_LOCATION& f) {
    // A fix that gets through always has a position on the globe and a positive time.
    if (!(f.lat >= -90 && f.lat <= 90 && f.lon >= -180 && f.lon <= 180) || f.time <= 0) abort();
    if (f.has_speed && !std::isfinite(f.speed_ms)) abort();
    if (f.has_accuracy && !std::isfinite(f.accuracy_m)) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    OVK_LOCATION fix;
    if (ovk_linux_gpsd_parse_tpv(all, fix)) check_fix(fix);
    (void)ovk_linux_gpsd_parse_time(all);

    OVK_GPSD_LINES lines;
    size_t total = 0;
    const auto on_line = [&](std::string_view line) {
        if (line.size() >= OVK_GPSD_BUF_SIZE || line.find('\n') != std::string_view::npos) abort();
        total += line.size();
        OVK_LOCATION f;
        if (ovk_linux_gpsd_parse_tpv(line, f)) check_fix(f);
    };
    size_t off = 0, step = 1;
    while (off < size) {
        step = (step * 31 + data[off]) % 4096 + 1;
        const size_t n = std::min(step, size - off);
        ovk_linux_gpsd_split(lines, all.substr(off, n), on_line);
        off += n;
        if (lines.tail.size() >= OVK_GPSD_BUF_SIZE) abort();
    }
    if (total > size) abort();
    return 0;
}
