// SPDX-License-Identifier: GPL-3.0-or-later
// Watchlist rules from arbitrary text: every parsed rule has a valid, already normalised key
// and texts within their limits; the written text reads back to the same rules; importing
// changes the custom rules only when the text holds valid rules, and then holds each key once.
#include <stdlib.h>

#include <cstdint>
#include <set>
#include <string>

#include "ovk_prefs.h"
#include "ovk_watchlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto rules = ovk_watchlist_parse(text);
    if (rules) {
        for (const OVK_OUI_ENTRY& e : *rules) {
            if (!ovk_watchlist_is_valid_key(e.prefix)) abort();
            if (ovk_watchlist_normalize_key(e.prefix, OVK_OUI_PREFIX_MAX + 1) != e.prefix) abort();
            if (e.prefix.size() > OVK_OUI_PREFIX_MAX || e.label.size() > OVK_OUI_LABEL_MAX ||
                e.source.size() > OVK_OUI_SOURCE_MAX ||
                e.confidence.size() > OVK_OUI_CONFIDENCE_MAX)
                abort();
            if (e.score < -1 || e.score > 100 || e.category < -1 || e.category > 10) abort();
            ovk_oui_effective_score(e);
            ovk_oui_effective_category(e);
        }
        const auto out = ovk_watchlist_text(*rules);
        if (!out) abort();
        const auto back = ovk_watchlist_parse(*out);
        if (!back || *back != *rules) abort();
    }

    // Import into a memory-only watchlist (no presets) holding one known rule.
    static const bool no_presets = [] {
        OVK_PREFS p;
        p.preset_enabled = {0, 0, 0};
        return ovk_prefs_set(p) == 0;
    }();
    if (!no_presets) abort();
    ovk_watchlist_unload();
    ovk_watchlist_load(std::nullopt);
    OVK_OUI_ENTRY seed;
    seed.prefix = "01:02:03";
    seed.label = "seed";
    if (ovk_watchlist_add_custom(seed) != 0) abort();
    const std::vector<OVK_OUI_ENTRY> before = ovk_watchlist_custom();
    const int n = ovk_watchlist_import_custom(text);
    const std::vector<OVK_OUI_ENTRY> after = ovk_watchlist_custom();
    if (!rules) {
        if (n != -1 || after != before) abort();
    } else if (rules->empty()) {
        if (n != 0 || after != before) abort();
    } else {
        std::set<std::string> keys;
        for (const OVK_OUI_ENTRY& e : after) {
            if (!ovk_oui_is_custom(e) || !keys.insert(e.prefix).second) abort();
        }
        if (n < 1 || static_cast<size_t>(n) > rules->size()) abort();
    }
    OVK_HITS hits;
    const std::vector<std::string_view> vendors{"Axon Enterprise", text.substr(0, 64)};
    ovk_watchlist_hits(text.substr(0, 17), text, vendors, hits);
    ovk_watchlist_match(text);
    return 0;
}
