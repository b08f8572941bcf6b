// SPDX-License-Identifier: GPL-3.0-or-later
// The shareable signature report: one advertisement, what the system concluded about it
// and the user's note as a small, stable, pretty-printed JSON document that leaves out
// everything identifying the individual device (no full address, at most two payload
// bytes per entry, long digit runs in the name masked).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ovk_advert.h"

struct cJSON;

inline constexpr const char* OVK_SIGREPORT_FORMAT = "orvik-signature-report/1";

// The report document, or nullopt for an absent advert or when memory runs out.
// Empty `vendor`, `device_type`, `user_note` and `app_version` count as absent;
// `randomized` leaves the address block out.
std::optional<std::string> ovk_signature_report(const OVK_ADVERT* a, std::string_view vendor,
                                                std::string_view device_type, bool randomized,
                                                std::string_view user_note,
                                                std::string_view app_version);

// The name trimmed, with every run of four or more ASCII digits replaced by as many '#'.
std::string ovk_name_pattern(std::string_view name);

// The user's note as it goes into the report: trimmed (at most 2047 bytes), then cut at a
// character boundary to at most 300 UTF-8 characters and 1299 bytes.
std::string ovk_sigreport_note(std::string_view note);

// The report's writer: two-space indentation, one member per line, integers only,
// JSON string escapes (U+2028/U+2029 escaped too), no trailing newline. nullopt when
// memory runs out.
std::optional<std::string> ovk_sigreport_print(const cJSON* item);
