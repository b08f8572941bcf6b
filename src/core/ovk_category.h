// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict vocabulary: categories, tiers, hits, facts and identities.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_util.h"

enum OVK_CATEGORY : int {
    OVK_CAT_BODY_CAM = 0,
    OVK_CAT_ALPR = 1,
    OVK_CAT_AUDIO_SENSOR = 2,
    OVK_CAT_PUBLIC_SAFETY = 3,
    OVK_CAT_DRONE = 4,
    OVK_CAT_TRACKER = 5,
    OVK_CAT_GLASSES = 6,
    OVK_CAT_RECORDER = 7,
    OVK_CAT_NETWORK_CAMERA = 8,
    OVK_CAT_CELL_ANOMALY = 9,
    OVK_CAT_CUSTOM = 10,
};
inline constexpr int OVK_CAT_COUNT = 11;

struct OVK_CAT_DEF {
    const char* name;
    const char* title;
    const char* tag;
    uint32_t color;  // 0xAARRGGBB
    bool enabled;
};

// Category table; an out-of-range category gives "" and 0.
const char* ovk_cat_name(int c);
const char* ovk_cat_title(int c);
const char* ovk_cat_tag(int c);
uint32_t ovk_cat_color(int c);
int ovk_cat_default_enabled(int c);
// The category whose name equals `name` ignoring case, else -1.
int ovk_cat_parse(std::string_view name);

enum OVK_TIER : int { OVK_TIER_WEAK = 0, OVK_TIER_MEDIUM = 1, OVK_TIER_STRONG = 2 };
OVK_TIER ovk_tier_of(int confidence);
const char* ovk_tier_label(int tier);

// Text limits (bytes, without terminator) of the fixed-size fields.
inline constexpr size_t OVK_LABEL_MAX = 159;
inline constexpr size_t OVK_EVIDENCE_MAX = 1023;
inline constexpr size_t OVK_SOURCE_MAX = 223;
inline constexpr size_t OVK_FACT_KEY_MAX = 47;
inline constexpr size_t OVK_FACT_VALUE_MAX = 511;
inline constexpr size_t OVK_IDENTITY_TYPE_MAX = 159;

// A verdict. Texts are always cut to their limits when set through the helpers below.
struct OVK_HIT {
    OVK_CATEGORY category = OVK_CAT_BODY_CAM;
    std::string label;
    int confidence = 0;
    std::string evidence;
    std::string source;
};
using OVK_HITS = std::vector<OVK_HIT>;

// Builds a hit: label and source copied (cut), evidence formatted printf-style (cut).
OVK_HIT ovk_hit_make(OVK_CATEGORY cat, std::string_view label, int confidence,
                     std::string_view source, const char* evidence_fmt, ...)
    __attribute__((format(printf, 5, 6)));

int ovk_hits_push(OVK_HITS& h, const OVK_HIT& hit);
int ovk_hits_append(OVK_HITS& h, const OVK_HITS& src);
// Highest confidence first; equal confidences keep their order.
void ovk_hits_sort(OVK_HITS& h);
// Index of the first hit whose label equals `label` exactly, else -1.
int ovk_hits_find_label(const OVK_HITS& h, std::string_view label);
int ovk_hits_copy(OVK_HITS& dst, const OVK_HITS& src);
void ovk_hits_clear(OVK_HITS& h);

struct OVK_FACT {
    std::string key;    // cut to 47
    std::string value;  // cut to 511
};
using OVK_FACTS = std::vector<OVK_FACT>;

// Appends a fact (no de-duplication); value formatted printf-style and cut.
int ovk_facts_add(OVK_FACTS& f, std::string_view key, const char* value_fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The value of the first fact with that key, or nullptr.
const std::string* ovk_facts_get(const OVK_FACTS& f, std::string_view key);
int ovk_facts_copy(OVK_FACTS& dst, const OVK_FACTS& src);

struct OVK_IDENTITY {
    std::string type;  // one line, cut to 159; empty when unknown
    OVK_FACTS facts;
};
int ovk_identity_copy(OVK_IDENTITY& dst, const OVK_IDENTITY& src);
void ovk_identity_free(OVK_IDENTITY& id);

// printf into a std::string, cut to `max` bytes.
std::string ovk_vformat(size_t max, const char* fmt, va_list ap);
std::string ovk_format(size_t max, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
