// SPDX-License-Identifier: GPL-3.0-or-later
// Advertisement fingerprint: the stable parts of a BLE advertisement (name, service UUIDs,
// service-data and manufacturer-data shapes, TX power, connectability) as one canonical
// text, so a device can be recognised after its random address rotates.
#pragma once

#include <cstddef>
#include <string>

#include "ovk_advert.h"

inline constexpr size_t OVK_FP_ITEM_MAX = 63;  // one UUID / service / manufacturer item

// Writes the fingerprint into `out`, cut to outsz-1 bytes, and returns 1; writes "" and
// returns 0 when the advert has none (Wi-Fi adverts, nullptr, or a BLE advert with nothing
// but manufacturer data of company 0x004C).
//   n=<name>|u=<uuids>|d=<uuid:len,...>|m=<cid:len,...>|t=<tx power>|c=<true|false|>
int ovk_advert_fingerprint(const OVK_ADVERT* a, std::string& out, size_t outsz = 512);

// 1 for a BLE advert whose address kind is resolvable private, non-resolvable or unknown
// (anything above random static); 0 otherwise.
int ovk_advert_may_rotate(const OVK_ADVERT* a);
