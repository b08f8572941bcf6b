// SPDX-License-Identifier: GPL-3.0-or-later
// What one Bluetooth address has said so far: the names it gave and the service UUIDs it
// listed. Devices spread what they say over several packets (a plant sensor lists its service
// in the advert and gives its name only in the scan response), so a packet is judged together
// with what the same address sent before: a packet without a name takes the name heard last,
// and the UUIDs listed earlier count as listed again.
//
// Only what identifies the device is kept: names and the UUID list, never service or
// manufacturer data, which change from packet to packet. Wi-Fi access points are left alone
// (the kernel already merges beacons and probe responses per BSS). The record is bounded:
// at most OVK_HEARD_NAMES_MAX names of at most OVK_HEARD_NAME_MAX bytes and
// OVK_HEARD_UUIDS_MAX UUIDs; when full, the oldest makes room.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ovk_advert.h"

inline constexpr size_t OVK_HEARD_NAMES_MAX = 4;
inline constexpr size_t OVK_HEARD_NAME_MAX = 255;
inline constexpr size_t OVK_HEARD_UUIDS_MAX = 32;

struct OVK_HEARD {
    std::vector<std::string> names;  // distinct trimmed names, the one heard last at the back
    std::vector<OVK_UUID> uuids;     // distinct listed UUIDs, oldest first
    // Checked first, so that the usual packet (one the device keeps repeating) is answered
    // without reading the lists: hashes of the names and services of the two latest packets
    // that told nothing new, and of the latest name (0: none).
    std::array<uint64_t, 2> shapes{};
    uint64_t latest = 0;
};

// A hash of what a packet says that is kept here (its trimmed name and its listed services,
// in order), never 0 for Bluetooth; 0 for Wi-Fi. Two packets of one address with the same
// shape tell it the same.
uint64_t ovk_heard_shape(const OVK_ADVERT& a);

// 1 when `a` says something `h` does not hold: a name or a listed UUID its address had not
// sent before. 0 otherwise and for Wi-Fi.
int ovk_heard_news(const OVK_HEARD& h, const OVK_ADVERT& a);

// Adds what `a` says to `h` (its name becomes the latest). Returns what ovk_heard_news
// answered before the call. Never throws: out of memory leaves `h` as it was.
int ovk_heard_note(OVK_HEARD& h, const OVK_ADVERT& a);

// `a` as judged with what its address said before: without a name of its own it takes the
// latest held name, and the held UUIDs it does not list are appended to its list. nullopt
// when `h` adds nothing, for Wi-Fi, and when memory runs out.
std::optional<OVK_ADVERT> ovk_heard_apply(const OVK_HEARD& h, const OVK_ADVERT& a);
