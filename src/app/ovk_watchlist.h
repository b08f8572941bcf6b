// SPDX-License-Identifier: GPL-3.0-or-later
// The watchlist: rules that flag a device by its exact address, by an address block (the
// first 6, 7 or 9 hex digits), by a fragment of its advertised name ("name:" rules) or of a
// maker name ("vendor:" rules). Rules come from the built-in regional presets (read-only
// assets "oui_presets/<name>.json", chosen in the preferences) and from the user's own
// rules, kept in "watchlist_custom.json" in the data directory (written atomically).
//
// The combined list holds the enabled presets' rules, then the custom rules, merged by key:
// a rule whose key is already in the list replaces that rule in place, so a custom rule
// overrides a preset rule and a later preset overrides an earlier one.
//
// Threads: one mutex guards both lists and the directory. A rebuild reads the preferences
// under the watchlist lock (watchlist, then preferences), never the other way round.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_category.h"

// Text limits (bytes, without terminator).
inline constexpr size_t OVK_OUI_PREFIX_MAX = 95;
inline constexpr size_t OVK_OUI_LABEL_MAX = 159;
inline constexpr size_t OVK_OUI_SOURCE_MAX = 223;
inline constexpr size_t OVK_OUI_CONFIDENCE_MAX = 15;

// One rule (a value type).
struct OVK_OUI_ENTRY {
    std::string prefix;                    // the normalised key; cut to 95
    std::string label;                     // the verdict label; cut to 159
    std::string source;                    // credit shown with the verdict; cut to 223
    std::string confidence = "confirmed";  // "confirmed", "candidate" or "custom"; cut to 15
    int score = -1;                        // 0..100, or -1 to derive it from `confidence`
    int category = -1;                     // OVK_CATEGORY 0..10, or -1 to derive it

    bool operator==(const OVK_OUI_ENTRY&) const = default;
};

// Remembers the directory (when given), reads the custom rules (a missing or invalid file
// gives none) and rebuilds the combined list from the preferences' enabled presets. 0.
int ovk_watchlist_load(std::optional<std::string_view> data_dir);
// Drops both lists and forgets the directory.
void ovk_watchlist_unload();
// A number that changes whenever the rules do (loaded, added, removed, imported, rebuilt
// for other presets): verdicts judged before it moved on may be out of date.
uint64_t ovk_watchlist_serial();

// Appends the verdicts of every matching rule: the most specific address rule, then every
// matching "name:" rule, then every matching "vendor:" rule (checked against the vendor
// candidates of the advertisement in their order). An empty name matches no name rule.
void ovk_watchlist_hits(std::string_view mac, std::string_view name,
                        std::span<const std::string_view> vendors, OVK_HITS& out);
// The address rule that matches `mac` (exact address first, then 9-, 7- and 6-digit blocks).
std::optional<OVK_OUI_ENTRY> ovk_watchlist_match(std::string_view mac);
// A copy of the combined list.
std::vector<OVK_OUI_ENTRY> ovk_watchlist_all();
// A copy of the custom rules, in the order they were added.
std::vector<OVK_OUI_ENTRY> ovk_watchlist_custom();
// The keys of the custom rules in the combined list that are full addresses.
std::vector<std::string> ovk_watchlist_custom_macs();

// Adds a user rule (key normalised, confidence "custom"), replacing a custom rule with the
// same key; rewrites the custom file (when a directory is known) and rebuilds. -1 for an
// invalid key, else the write's result.
int ovk_watchlist_add_custom(const OVK_OUI_ENTRY& e);
// Removes every custom rule with that (normalised) key, rewrites and rebuilds. 0 / -1.
int ovk_watchlist_remove_custom(std::string_view prefix);
// The custom rules as an indented JSON array; nullopt when it cannot be built.
std::optional<std::string> ovk_watchlist_export_custom();
// Imports the rules of an exported text as custom rules (later duplicates of a key win);
// returns the number imported, or -1 when the text is not a JSON array or the write fails.
// A text without valid rules changes nothing.
int ovk_watchlist_import_custom(std::string_view json);

// The valid rules of a JSON array text; nullopt when the text is not a JSON array.
std::optional<std::vector<OVK_OUI_ENTRY>> ovk_watchlist_parse(std::string_view json);
// The indented JSON array of rules, keys in file order; nullopt when it cannot be built.
std::optional<std::string> ovk_watchlist_text(std::span<const OVK_OUI_ENTRY> rules);

// "name:<text>" / "vendor:<text>" (lower-case tag, text trimmed) or a normalised address.
std::string ovk_watchlist_normalize_key(std::string_view key, size_t outsz = 256);
// 1 for a "name:" / "vendor:" key with text, a valid address block or a full address.
int ovk_watchlist_is_valid_key(std::string_view key);

// 1 when the rule is the user's own (confidence "custom").
int ovk_oui_is_custom(const OVK_OUI_ENTRY& e);
// `score` when set; else 100 for custom rules, 50 for "candidate", 75 otherwise.
int ovk_oui_effective_score(const OVK_OUI_ENTRY& e);
// `category` when in 0..10; else CUSTOM for custom rules, PUBLIC_SAFETY for all others.
OVK_CATEGORY ovk_oui_effective_category(const OVK_OUI_ENTRY& e);
