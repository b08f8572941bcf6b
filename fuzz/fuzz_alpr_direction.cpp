// SPDX-License-Identifier: GPL-3.0-or-later
// Direction tag parser over arbitrary text: -1 or whole degrees 0..359.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ovk_alpr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int d =
        ovk_alpr_parse_direction(std::string_view(reinterpret_cast<const char*>(data), size));
    if (d < -1 || d > 359) abort();
    return 0;
}
