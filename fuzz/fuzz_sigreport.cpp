// SPDX-License-Identifier: GPL-3.0-or-later
// Signature report over arbitrary advertisements: BLE payloads or Wi-Fi elements from the
// input, with arbitrary names, notes and vendor texts. The report must always read back
// as JSON.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ovk_advert.h"
#include "ovk_sigreport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t flags = data[0];
    const size_t text_len = data[1] % 64 <= size - 2 ? data[1] % 64 : size - 2;
    std::string_view text(reinterpret_cast<const char*>(data + 2), text_len);
    ovk_bytes rest(data + 2 + text_len, size - 2 - text_len);

    OVK_ADVERT_PTR a;
    if (flags & 1) {
        const int freq = 2412 + (data[2] * 23 % 5000);
        std::optional<std::string_view> ssid;
        if (flags & 8) ssid = text;
        a = ovk_advert_new_wifi("0C:8D:DB:01:02:03", ssid, -50, freq, std::nullopt, std::nullopt,
                                rest, 0);
    } else {
        a = ovk_advert_new_ble("5A:11:22:33:44:55", -70, rest,
                               static_cast<OVK_ADDR_TYPE>(flags >> 5), (flags & 16) ? 1 : -1,
                               std::string_view("LE 1M"), text, 0);
    }
    if (!a) return 0;
    auto r = ovk_signature_report(a.get(), text, (flags & 4) ? text : std::string_view(), flags & 2,
                                  text, "f");
    if (!r) return 0;
    cJSON* j = cJSON_ParseWithLength(r->data(), r->size());
    if (!j) abort();
    cJSON_Delete(j);
    return 0;
}
