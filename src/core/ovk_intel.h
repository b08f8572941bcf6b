// SPDX-License-Identifier: GPL-3.0-or-later
// Device identification: what ordinary thing an advertisement comes from ("AirPods / Beats",
// "Phone hotspot", ...) with the facts that support it, independent of the surveillance
// verdicts. Also the distance estimate from signal strength and its display text, the Wi-Fi
// security and channel helpers, the vendor-name shortener and the check of addresses that
// claim to be public.
//
// Everything here is reentrant; the fixed name patterns are compiled once on first use,
// safely under concurrent first calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_advert.h"
#include "ovk_category.h"

// Fills `out` (type text and ordered facts) for one advertisement. `mac_vendor` is the
// address registrant from the vendor tables (nullptr or "" when unknown). A null `out` does
// nothing; a null `a` leaves `out` empty. Never fails: with nothing to go on the type is
// "Bluetooth device" (BLE) or the SSID-derived kind (Wi-Fi).
void ovk_intel_identify(const OVK_ADVERT* a, const char* mac_vendor, OVK_IDENTITY* out);

// Metres estimated from a signal level in dBm (a smoothed value may be passed): BLE
// 0.1 .. 300 m, Wi-Fi 0.5 .. 500 m. A null advertisement gives 0.
double ovk_distance_m(const OVK_ADVERT* a, double rssi);
// "< 1 m", "~N m" (whole metres below 10 m, else to the nearest 5 m).
std::string ovk_format_distance(double m);

// "WPA3", "WPA2", "WPA", "WEP (insecure)", "Enhanced Open (OWE)" or "Open (no password)"
// from a capability text (absent counts as empty).
const char* ovk_wifi_security(std::string_view caps);
// Channel number of a centre frequency in MHz (2.4, 5 and 6 GHz bands), 0 when unknown.
int ovk_wifi_channel(int mhz);

// Vendor name without its corporate suffix ("Espressif Inc." -> "Espressif"), cut to
// outsz-1 bytes; the full name when nothing would be left.
std::string ovk_short_vendor(std::string_view v, size_t outsz = 512);

// Addresses that declare themselves public.
enum OVK_ADDR_CHECK : int {
    OVK_ADDR_OK = 0,
    OVK_ADDR_PUBLIC_LOCAL_BIT = 1,     // the locally administered bit is set
    OVK_ADDR_PUBLIC_UNREGISTERED = 2,  // no registered block covers it (tables loaded)
};
OVK_ADDR_CHECK ovk_addr_check(int t, std::string_view mac);
// "Declared public (unregistered block)" when the check fails, else ovk_addr_label(t).
const char* ovk_addr_label_checked(int t, std::string_view mac);
// The warning shown for a failed check, or nullopt.
std::optional<std::string> ovk_addr_warning(int t, std::string_view mac);
