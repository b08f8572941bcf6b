// SPDX-License-Identifier: GPL-3.0-or-later
// Wi-Fi advertisement construction from arbitrary information elements, plus the capability
// string and the standard label over the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ovk_advert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int privacy = data[0] & 1;
    const size_t outsz = data[1];
    const size_t ssid_len = data[2] % 34;
    size_t off = 3;
    std::string ssid;
    if (size - off >= ssid_len) {
        ssid.assign(reinterpret_cast<const char*>(data + off), ssid_len);
        off += ssid_len;
    }
    const ovk_bytes ies(data + off, size - off);
    OVK_ADVERT_PTR a = ovk_advert_new_wifi("aa-bb-cc-dd-ee-ff", ssid, -50, 2412 + data[0],
                                           std::nullopt, std::nullopt, ies, 1);
    if (!a) return 0;
    size_t total = 0;
    for (const OVK_IE& ie : a->ies) {
        if (ie.id < 0 || ie.id > 255) __builtin_trap();
        total += 2 + ie.data.size();
        (void)ovk_advert_ie(a.get(), ie.id);
    }
    if (total > ies.size()) __builtin_trap();
    const std::string caps = ovk_wifi_caps_from_ies(ies, privacy, outsz);
    if (outsz > 0 && caps.size() >= outsz) __builtin_trap();
    if (!a->caps || a->caps->size() > 127) __builtin_trap();
    (void)ovk_wifi_standard_from_ies(ies, data[1] - 100);
    auto d = ovk_advert_dup(a.get());
    if (!d || d->ies.size() != a->ies.size()) __builtin_trap();
    return 0;
}
