// SPDX-License-Identifier: GPL-3.0-or-later
// The whole signature classifier on arbitrary advertisements. Byte 0 picks the radio (bit 0)
// and the BLE address kind (bits 1..3); bytes 1..6 are the address; for Wi-Fi byte 7 is the
// SSID length. The rest is the BLE payload or the Wi-Fi element list.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ovk_advert.h"
#include "ovk_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    char mac[18];
    snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", data[1], data[2], data[3], data[4],
             data[5], data[6]);
    OVK_ADVERT_PTR a;
    if ((data[0] & 1) == 0) {
        const auto kind = static_cast<OVK_ADDR_TYPE>((data[0] >> 1) % OVK_ADDR_COUNT);
        a = ovk_advert_new_ble(mac, -50, ovk_bytes(data + 7, size - 7), kind, 1, "LE 1M", "", 0);
    } else {
        if (size < 8) return 0;
        size_t n = data[7];
        if (n > size - 8) n = size - 8;
        const std::string ssid(reinterpret_cast<const char*>(data + 8), n);
        a = ovk_advert_new_wifi(mac, ssid, -60, 2412, std::nullopt, std::nullopt,
                                ovk_bytes(data + 8 + n, size - 8 - n), 0);
    }
    if (!a) return 0;
    const OVK_HITS hits = ovk_signature_classify(a.get());
    for (size_t i = 0; i < hits.size(); ++i) {
        const OVK_HIT& h = hits[i];
        if (h.label.empty() || h.label.size() > OVK_LABEL_MAX) __builtin_trap();
        if (h.evidence.empty() || h.evidence.size() > OVK_EVIDENCE_MAX) __builtin_trap();
        if (h.source.empty() || h.source.size() > OVK_SOURCE_MAX) __builtin_trap();
        if (h.confidence < 30 || h.confidence > 95) __builtin_trap();
        if (i > 0 && hits[i - 1].confidence < h.confidence) __builtin_trap();  // ranked
    }
    int drone = 0;
    (void)ovk_dji_model(a.get(), &drone);
    return 0;
}
