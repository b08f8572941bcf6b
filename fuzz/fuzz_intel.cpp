// SPDX-License-Identifier: GPL-3.0-or-later
// Identification of arbitrary advertisements, BLE and Wi-Fi, with the committed vendor
// tables loaded, plus the distance, address-check and vendor-name helpers on the same input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_intel.h"
#include "ovk_vendordb.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
    ovk_vendordb_load();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool wifi = in.ConsumeBool();
    const bool has_vendor = in.ConsumeBool();
    const std::string vendor = in.ConsumeRandomLengthString(96);
    const std::string mac = in.ConsumeRandomLengthString(20);
    const int rssi = in.ConsumeIntegralInRange(-128, 30);

    OVK_ADVERT_PTR a;
    if (wifi) {
        const int freq = in.ConsumeIntegralInRange(-10, 8000);
        std::optional<std::string> ssid;
        if (in.ConsumeBool()) ssid = in.ConsumeRandomLengthString(40);
        std::optional<std::string> caps;
        if (in.ConsumeBool()) caps = in.ConsumeRandomLengthString(40);
        std::optional<std::string> standard;
        if (in.ConsumeBool()) standard = in.ConsumeRandomLengthString(16);
        std::vector<uint8_t> ies = in.ConsumeRemainingBytes<uint8_t>();
        std::optional<std::string_view> s, c, st;
        if (ssid) s = *ssid;
        if (caps) c = *caps;
        if (standard) st = *standard;
        a = ovk_advert_new_wifi(mac, s, rssi, freq, c, st, ovk_bytes(ies), 0);
    } else {
        const auto type =
            static_cast<OVK_ADDR_TYPE>(in.ConsumeIntegralInRange(0, OVK_ADDR_COUNT - 1));
        const std::string hint = in.ConsumeRandomLengthString(20);
        std::vector<uint8_t> raw = in.ConsumeRemainingBytes<uint8_t>();
        a = ovk_advert_new_ble(mac, rssi, ovk_bytes(raw), type, 1, std::nullopt, hint, 0);
    }
    if (!a) return 0;

    OVK_IDENTITY id;
    ovk_intel_identify(a.get(), has_vendor ? vendor.c_str() : nullptr, &id);
    if (id.type.empty() || id.type.size() > OVK_IDENTITY_TYPE_MAX) abort();

    const double m = ovk_distance_m(a.get(), rssi);
    (void)ovk_format_distance(m);
    (void)ovk_format_distance(static_cast<double>(rssi) * 1e7);
    (void)ovk_addr_warning(a->addr_type, a->mac);
    (void)ovk_addr_warning(OVK_ADDR_PUBLIC, mac);
    (void)ovk_addr_label_checked(OVK_ADDR_PUBLIC, mac);
    (void)ovk_short_vendor(vendor, 64);
    return 0;
}
