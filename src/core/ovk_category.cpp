// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_category.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr OVK_CAT_DEF kCats[OVK_CAT_COUNT] = {
    {"BODY_CAM", "Body camera / Axon equipment", "BODY CAM", 0xFFC8431A, true},
    {"ALPR", "License-plate / traffic enforcement camera", "ALPR", 0xFFB3261E, true},
    {"AUDIO_SENSOR", "Audio / gunshot sensor (Flock Raven, ShotSpotter)", "AUDIO", 0xFF9C2A6B,
     true},
    {"PUBLIC_SAFETY", "Public-safety vendor gear (Motorola, i-PRO...)", "PUBLIC SAFETY", 0xFFB26A00,
     true},
    {"DRONE", "Drone (Remote ID / drone maker)", "DRONE", 0xFF1F5FBF, true},
    {"TRACKER", "Item tracker away from its owner", "TRACKER", 0xFF6A3FB5, true},
    {"GLASSES", "Smart / recording glasses", "GLASSES", 0xFF00796B, true},
    {"RECORDER", "Wearable audio recorder (AI pendant / pin)", "RECORDER", 0xFF00838F, true},
    {"NETWORK_CAMERA", "Network / home security camera", "CAMERA", 0xFF5D6D7E, false},
    {"CELL_ANOMALY", "Fake cell tower signs (IMSI catcher)", "CELL", 0xFF7B1FA2, true},
    {"CUSTOM", "Your watchlist", "WATCHLIST", 0xFFC8431A, true},
};

const OVK_CAT_DEF* cat_row(int c) {
    if (c < 0 || c >= OVK_CAT_COUNT) return nullptr;
    return &kCats[c];
}

// Lists refuse to grow past this many entries.
constexpr size_t kMaxEntries = size_t{1} << 30;

}  // namespace

// =============================================================================================
// Categories and tiers
// =============================================================================================

const char* ovk_cat_name(int c) {
    return cat_row(c) ? cat_row(c)->name : "";
}
const char* ovk_cat_title(int c) {
    return cat_row(c) ? cat_row(c)->title : "";
}
const char* ovk_cat_tag(int c) {
    return cat_row(c) ? cat_row(c)->tag : "";
}
uint32_t ovk_cat_color(int c) {
    return cat_row(c) ? cat_row(c)->color : 0;
}
int ovk_cat_default_enabled(int c) {
    return cat_row(c) && cat_row(c)->enabled ? 1 : 0;
}

int ovk_cat_parse(std::string_view name) {
    for (int c = 0; c < OVK_CAT_COUNT; ++c)
        if (ovk_strieq(name, kCats[c].name)) return c;
    return -1;
}

OVK_TIER ovk_tier_of(int confidence) {
    if (confidence >= 80) return OVK_TIER_STRONG;
    if (confidence >= 50) return OVK_TIER_MEDIUM;
    return OVK_TIER_WEAK;
}

const char* ovk_tier_label(int tier) {
    if (tier == OVK_TIER_STRONG) return "strong";
    if (tier == OVK_TIER_MEDIUM) return "probable";
    return "weak - verify";
}

// =============================================================================================
// Text
// =============================================================================================

std::string ovk_vformat(size_t max, const char* fmt, va_list ap) {
    if (!fmt) return {};
    va_list ap2;
    va_copy(ap2, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    if (n <= 0) return {};
    try {
        std::string out(static_cast<size_t>(n) + 1, '\0');
        va_copy(ap2, ap);
        vsnprintf(out.data(), out.size(), fmt, ap2);
        va_end(ap2);
        out.resize(std::min(static_cast<size_t>(n), max));
        return out;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::string ovk_format(size_t max, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = ovk_vformat(max, fmt, ap);
    va_end(ap);
    return s;
}

// =============================================================================================
// Hits
// =============================================================================================

OVK_HIT ovk_hit_make(OVK_CATEGORY cat, std::string_view label, int confidence,
                     std::string_view source, const char* evidence_fmt, ...) {
    OVK_HIT h;
    h.category = cat;
    h.confidence = confidence;
    h.label = ovk_cut(label, OVK_LABEL_MAX);
    h.source = ovk_cut(source, OVK_SOURCE_MAX);
    va_list ap;
    va_start(ap, evidence_fmt);
    h.evidence = ovk_vformat(OVK_EVIDENCE_MAX, evidence_fmt, ap);
    va_end(ap);
    return h;
}

int ovk_hits_push(OVK_HITS& h, const OVK_HIT& hit) {
    if (h.size() >= kMaxEntries) {
        OVK_LOG_REALLOC_FAIL(OVK_HIT, h.size() + 1, h->v);
        return -1;
    }
    try {
        h.push_back(hit);
        return 0;
    } catch (const std::bad_alloc&) {
        OVK_LOG_REALLOC_FAIL(OVK_HIT, h.size() + 1, h->v);
        return -1;
    }
}

int ovk_hits_append(OVK_HITS& h, const OVK_HITS& src) {
    if (src.empty()) return 0;
    if (&h == &src) {
        const OVK_HITS copy = src;  // appending a list to itself doubles it
        return ovk_hits_append(h, copy);
    }
    if (h.size() + src.size() > kMaxEntries) {
        OVK_LOG_REALLOC_FAIL(OVK_HIT, h.size() + src.size(), h->v);
        return -1;
    }
    try {
        h.reserve(h.size() + src.size());  // all or nothing
        h.insert(h.end(), src.begin(), src.end());
        return 0;
    } catch (const std::bad_alloc&) {
        OVK_LOG_REALLOC_FAIL(OVK_HIT, h.size() + src.size(), h->v);
        return -1;
    }
}

void ovk_hits_sort(OVK_HITS& h) {
    if (h.size() < 2) return;
    // Insertion sort: an element moves left only past strictly lower confidences, so equal
    // confidences keep their order. Lists are short; no allocation needed.
    for (size_t i = 1; i < h.size(); ++i) {
        size_t j = i;
        while (j > 0 && h[j - 1].confidence < h[j].confidence) {
            std::swap(h[j - 1], h[j]);
            --j;
        }
    }
}

int ovk_hits_find_label(const OVK_HITS& h, std::string_view label) {
    for (size_t i = 0; i < h.size(); ++i)
        if (h[i].label == label) return static_cast<int>(i);
    return -1;
}

int ovk_hits_copy(OVK_HITS& dst, const OVK_HITS& src) {
    if (&dst == &src) return 0;
    try {
        dst.clear();
        dst.insert(dst.end(), src.begin(), src.end());
        return 0;
    } catch (const std::bad_alloc&) {
        OVK_LOG_REALLOC_FAIL(OVK_HIT, src.size(), dst->v);
        return -1;
    }
}

void ovk_hits_clear(OVK_HITS& h) {
    h.clear();
}

// =============================================================================================
// Facts and identities
// =============================================================================================

int ovk_facts_add(OVK_FACTS& f, std::string_view key, const char* value_fmt, ...) {
    if (f.size() >= kMaxEntries) {
        OVK_LOG_REALLOC_FAIL(OVK_FACT, f.size() + 1, f->v);
        return -1;
    }
    try {
        OVK_FACT fact;
        fact.key = ovk_cut(key, OVK_FACT_KEY_MAX);
        va_list ap;
        va_start(ap, value_fmt);
        fact.value = ovk_vformat(OVK_FACT_VALUE_MAX, value_fmt, ap);
        va_end(ap);
        f.push_back(std::move(fact));
        return 0;
    } catch (const std::bad_alloc&) {
        OVK_LOG_REALLOC_FAIL(OVK_FACT, f.size() + 1, f->v);
        return -1;
    }
}

const std::string* ovk_facts_get(const OVK_FACTS& f, std::string_view key) {
    for (const OVK_FACT& x : f)
        if (x.key == key) return &x.value;
    return nullptr;
}

int ovk_facts_copy(OVK_FACTS& dst, const OVK_FACTS& src) {
    if (&dst == &src) return 0;
    try {
        OVK_FACTS tmp = src;
        dst.swap(tmp);
        return 0;
    } catch (const std::bad_alloc&) {
        OVK_LOG_REALLOC_FAIL(OVK_FACT, src.size(), dst->v);
        return -1;
    }
}

int ovk_identity_copy(OVK_IDENTITY& dst, const OVK_IDENTITY& src) {
    if (&dst == &src) return 0;
    try {
        std::string type = src.type;
        if (ovk_facts_copy(dst.facts, src.facts) != 0) return -1;
        dst.type = std::move(type);
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

void ovk_identity_free(OVK_IDENTITY& id) {
    id.type.clear();
    OVK_FACTS().swap(id.facts);
}
