// SPDX-License-Identifier: GPL-3.0-or-later
// Wi-Fi access-point fingerprint: the WPS strings an access point puts in its beacons
// (manufacturer, model, device name, device category), the makers behind its vendor-specific
// elements, a model string built from them, chipset makers told apart from product makers,
// and whether two BSSIDs belong to one physical access point. Reentrant.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_advert.h"

inline constexpr size_t OVK_AP_TEXT_MAX = 63;    // each WPS text
inline constexpr size_t OVK_AP_MAX_VENDORS = 8;  // ie_vendors
inline constexpr size_t OVK_AP_MAX_OUIS = 64;    // distinct element OUIs looked at

struct OVK_AP_INFO {
    std::string manufacturer;           // WPS Manufacturer
    std::string model_name;             // WPS Model Name
    std::string model_number;           // WPS Model Number
    std::string device_name;            // WPS Device Name
    const char* device_kind = nullptr;  // from the WPS Primary Device Type, static text
    // Distinct vendor names of the vendor-specific elements' OUIs, at most 8, pointing into
    // the vendor tables (valid while they stay loaded).
    std::vector<const char*> ie_vendors;
};

// Fills an OVK_AP_INFO from an advert's information elements. WPS data may be split over
// several vendor elements; placeholder texts ("default", "n/a", "0000", "xxxx"...) read as
// absent. Element makers come from the vendor tables (none when they are not loaded).
OVK_AP_INFO ovk_wififp_parse(const std::vector<OVK_IE>& ies);

// "<short manufacturer> <model name> <model number>" without repeats, cut to outsz-1
// bytes; nullopt when nothing non-blank is left.
std::optional<std::string> ovk_wififp_model(const OVK_AP_INFO& ap, size_t outsz = 192);

// 1 when the vendor name belongs to a Wi-Fi chipset maker (Broadcom, Qualcomm, MediaTek...).
int ovk_wififp_is_chipset(std::string_view vendor);

// 1 when two different BSSIDs belong to the same physical access point: octets 2..5 equal,
// last octets at most 16 apart, first octets equal unless either is locally administered.
int ovk_wififp_same_ap(std::string_view a, std::string_view b);
