// SPDX-License-Identifier: GPL-3.0-or-later
// MAC address and UUID text helpers over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ovk_advert.h"
#include "ovk_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    const std::string n = ovk_mac_normalize(s);
    if (n.size() > 17) __builtin_trap();
    if (size > 0) {
        const std::string cut = ovk_mac_normalize(s, data[0] % 24);
        if (data[0] % 24 > 0 && cut.size() >= data[0] % 24u) __builtin_trap();
    }
    const std::string hex = ovk_mac_hex(s);
    if (ovk_mac_is_valid(s) && hex.size() != 12) __builtin_trap();
    (void)ovk_mac_is_valid_block(s);
    (void)ovk_mac_is_randomized(s);
    (void)ovk_addr_name(ovk_addr_of_random(s));
    (void)ovk_addr_label(ovk_addr_of_wifi(s));
    if (auto u = ovk_uuid_parse(s)) {
        // canonical text parses back to the same UUID
        const auto back = ovk_uuid_parse(ovk_uuid_str(*u));
        if (!back || !(*back == *u)) __builtin_trap();
    }
    (void)ovk_trim(s, size % 7 + 1);
    (void)ovk_is_blank(s);
    (void)ovk_icontains(s, "AXON");
    (void)ovk_istarts_with(s, "flock");
    return 0;
}
