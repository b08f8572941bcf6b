// SPDX-License-Identifier: GPL-3.0-or-later
// WPS and vendor-element parsing over arbitrary information elements, then the model string,
// the chipset test and the same-access-point test on what came out.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_vendordb.h"
#include "ovk_wififp.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ovk_vendordb_load([](std::string_view name) -> std::optional<std::string> {
        std::ifstream f(std::string(OVK_SOURCE_DIR) + "/assets/" + std::string(name),
                        std::ios::binary);
        if (!f) return std::nullopt;
        std::ostringstream ss;
        ss << f.rdbuf();
        return ss.str();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool wrap = data[0] & 1;  // put every element body behind the WPS header
    std::vector<OVK_IE> ies;
    size_t i = 1;
    while (size - i >= 2) {
        const int id = data[i];
        const size_t len = data[i + 1];
        if (len > size - i - 2) break;
        OVK_IE ie;
        ie.id = wrap ? 221 : id;
        if (wrap) ie.data = {0x00, 0x50, 0xF2, 0x04};
        ie.data.insert(ie.data.end(), data + i + 2, data + i + 2 + len);
        ies.push_back(std::move(ie));
        i += 2 + len;
    }
    const OVK_AP_INFO ap = ovk_wififp_parse(ies);
    for (const std::string* s :
         {&ap.manufacturer, &ap.model_name, &ap.model_number, &ap.device_name})
        if (s->size() > OVK_AP_TEXT_MAX) __builtin_trap();
    if (ap.ie_vendors.size() > OVK_AP_MAX_VENDORS) __builtin_trap();
    if (auto m = ovk_wififp_model(ap, 1 + data[0] % 200)) {
        if (m->size() > data[0] % 200u) __builtin_trap();
    }
    for (const char* v : ap.ie_vendors) (void)ovk_wififp_is_chipset(v);
    (void)ovk_wififp_is_chipset(ap.manufacturer);
    (void)ovk_wififp_same_ap(ap.device_name, ap.model_name);
    (void)ovk_wififp_same_ap(ap.model_number, "10:20:30:40:50:60");
    return 0;
}
