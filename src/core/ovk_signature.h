// SPDX-License-Identifier: GPL-3.0-or-later
// Surveillance signatures: decides whether one advertisement comes from surveillance or
// tracking equipment. A fixed catalogue (names, name patterns, company ids, 16- and 128-bit
// service UUIDs, payload tokens, IEEE address blocks, Wi-Fi names and vendor elements, Remote
// ID frames, DJI model ids) is run over the advert and every matching signature becomes a hit,
// sorted by confidence (ties keep catalogue order).
//
// Pure apart from three name patterns compiled once on first use; safe to call from several
// threads at once.
#pragma once

#include <cstdint>
#include <span>

#include "ovk_advert.h"
#include "ovk_category.h"

// An IEEE address block: 6, 7 or 9 upper-case hex digits and the registrant.
struct OVK_PREFIX {
    const char* hex;
    const char* vendor;
};

// A 16-bit service UUID with a short name.
struct OVK_SHORT_NAME {
    uint16_t id;
    const char* name;
};

// DJI model id (first two bytes of DJI manufacturer data, little-endian).
struct DJI_MODEL {
    uint16_t id;
    const char* name;
    int drone;  // 1 for an aircraft, 0 for a camera or gimbal
};

// A vendor 128-bit service UUID (canonical text) that identifies a product.
struct UUID128_SIG {
    const char* uuid;
    OVK_CATEGORY cat;
    const char* label;
    int confidence;
};

// The service UUID of Parrot's Flower Power plant sensor. Parrot sells its plant sensors from
// the same address blocks as its drones; this service (or a plant-sensor name) tells them apart.
inline constexpr const char* OVK_UUID_FLOWER_POWER = "39e1fa00-84a8-11e2-afba-0002a5d5c51b";

// Runs the BLE or the Wi-Fi catalogue over `a` and returns the hits, highest confidence
// first. A null advert gives no hits.
OVK_HITS ovk_signature_classify(const OVK_ADVERT* a);
// The same into `out`, which is cleared first (its storage is reused).
void ovk_signature_classify(const OVK_ADVERT* a, OVK_HITS& out);

// The DJI model name of an advert whose company 0x08AA data holds a known model id in its
// first two bytes, else nullptr; `is_drone` (when given) gets the row's drone flag.
const char* ovk_dji_model(const OVK_ADVERT* a, int* is_drone);

// The address-block tables, in lookup order.
std::span<const OVK_PREFIX> ovk_signature_camera_prefixes();
std::span<const OVK_PREFIX> ovk_signature_drone_prefixes();
std::span<const DJI_MODEL> ovk_signature_dji_models();
std::span<const UUID128_SIG> ovk_signature_uuid128_sigs();
