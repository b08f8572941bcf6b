// SPDX-License-Identifier: GPL-3.0-or-later
// Watchlist: rule keys, the custom rules file, the presets and the verdicts they give.
#include "ovk_watchlist.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "ovk_advert.h"
#include "ovk_app_util.h"
#include "ovk_datafile.h"
#include "ovk_lock.h"
#include "ovk_prefs.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr const char* kCustomFile = "watchlist_custom.json";
constexpr size_t kKeyReadMax = 255;   // longest key text looked at
constexpr size_t kValidCutMax = 63;   // address keys are checked on this many bytes
constexpr size_t kRuleTextMax = 127;  // name / vendor fragment compared
constexpr size_t kCategoryReadMax = 47;

enum class Kind { Address, Name, Vendor };

// A rule of the combined list with what matching needs worked out once.
struct Rule {
    OVK_OUI_ENTRY e;
    Kind kind = Kind::Address;
    std::string text;  // name / vendor fragment (empty for address rules)
};

struct State {
    OVK_LOCK mu{"watchlist"};
    std::atomic<uint64_t> serial{0};    // moves on with every change of the rules
    std::vector<OVK_OUI_ENTRY> custom;  // in the order they were added
    std::vector<Rule> combined;
    std::unordered_map<std::string, size_t> by_key;  // combined key -> index
    std::unordered_map<std::string, size_t> by_hex;  // address rule hex digits -> index
    std::vector<size_t> text_rules;                  // indices of name and vendor rules
    std::string dir;
};

State& st() {
    static State s;
    return s;
}

std::string_view until_nul(std::string_view s) {
    const size_t z = s.find('\0');
    return z == std::string_view::npos ? s : s.substr(0, z);
}

std::string_view skip_ws(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && ovk_is_ws(static_cast<unsigned char>(s[i]))) ++i;
    return s.substr(i);
}

std::string_view trim_view(std::string_view s) {
    s = skip_ws(s);
    while (!s.empty() && ovk_is_ws(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// The tag of a "name:" / "vendor:" key (any letter case), or empty.
std::string_view text_tag(std::string_view s) {
    if (ovk_istarts_with(s, "name:")) return "name:";
    if (ovk_istarts_with(s, "vendor:")) return "vendor:";
    return {};
}

Kind kind_of(std::string_view key) {
    if (key.starts_with("name:")) return Kind::Name;
    if (key.starts_with("vendor:")) return Kind::Vendor;
    return Kind::Address;
}

Rule make_rule(const OVK_OUI_ENTRY& e) {
    Rule r;
    r.e = e;
    r.kind = kind_of(e.prefix);
    if (r.kind != Kind::Address) {
        const size_t colon = e.prefix.find(':');
        r.text = ovk_cut(trim_view(std::string_view(e.prefix).substr(colon + 1)), kRuleTextMax);
    }
    return r;
}

// A score as stored: -1 (derive) or 0..100.
int clamp_score(double v) {
    if (std::isnan(v) || v < 0) return -1;
    if (v >= 100) return 100;
    return static_cast<int>(v);
}

int clamp_category(int c) {
    return c >= 0 && c < OVK_CAT_COUNT ? c : -1;
}

// A stored (normalised) key is a text key with text, or exactly a block or an address.
bool stored_key_ok(std::string_view key) {
    const std::string_view tag = text_tag(key);
    if (!tag.empty()) return !trim_view(key.substr(tag.size())).empty();
    return key.size() <= 17 && (ovk_mac_is_valid_block(key) || ovk_mac_is_valid(key));
}

// The rule of one array element, or nullopt when the element is not a valid rule.
std::optional<OVK_OUI_ENTRY> parse_rule(const cJSON* o) {
    if (!cJSON_IsObject(o)) return std::nullopt;
    std::string key;
    if (!ovk_json_str(o, "prefix", key, kKeyReadMax + 1)) return std::nullopt;
    if (!ovk_watchlist_is_valid_key(key)) return std::nullopt;
    OVK_OUI_ENTRY e;
    e.prefix = ovk_watchlist_normalize_key(key, OVK_OUI_PREFIX_MAX + 1);
    // The key as stored must itself be valid (text beyond the looked-at length is dropped).
    if (!stored_key_ok(e.prefix)) return std::nullopt;
    ovk_json_str(o, "label", e.label, OVK_OUI_LABEL_MAX + 1);
    ovk_json_str(o, "source", e.source, OVK_OUI_SOURCE_MAX + 1);
    if (!ovk_json_str(o, "confidence", e.confidence, OVK_OUI_CONFIDENCE_MAX + 1))
        e.confidence = "confirmed";
    const cJSON* score = cJSON_GetObjectItemCaseSensitive(o, "score");
    e.score = cJSON_IsNumber(score) ? clamp_score(score->valuedouble) : -1;
    std::string cat;
    e.category = ovk_json_str(o, "category", cat, kCategoryReadMax + 1) ? ovk_cat_parse(cat) : -1;
    return e;
}

std::vector<OVK_OUI_ENTRY> parse_array(const cJSON* arr) {
    std::vector<OVK_OUI_ENTRY> out;
    const cJSON* el = nullptr;
    cJSON_ArrayForEach(el, arr) {
        if (auto e = parse_rule(el)) out.push_back(std::move(*e));
    }
    return out;
}

// Puts a rule into the combined list: replaces the rule with the same key, else appends.
void put_rule(State& s, const OVK_OUI_ENTRY& e) {
    auto it = s.by_key.find(e.prefix);
    size_t idx;
    if (it != s.by_key.end()) {
        idx = it->second;
        s.combined[idx] = make_rule(e);
    } else {
        idx = s.combined.size();
        s.combined.push_back(make_rule(e));
        s.by_key.emplace(e.prefix, idx);
    }
    if (s.combined[idx].kind == Kind::Address) s.by_hex[ovk_mac_hex(e.prefix)] = idx;
}

// Rebuilds the combined list; called with the lock held (takes the preferences lock).
void rebuild(State& s) {
    ++s.serial;
    s.combined.clear();
    s.by_key.clear();
    s.by_hex.clear();
    s.text_rules.clear();
    s.combined.reserve(128 + s.custom.size());
    s.by_key.reserve(128 + s.custom.size());
    const OVK_PREFS prefs = ovk_prefs_get();
    for (int i = 0; i < OVK_PRESET_COUNT; ++i) {
        if (!prefs.preset_enabled[static_cast<size_t>(i)]) continue;
        const std::string asset = std::string("oui_presets/") + ovk_preset_name(i) + ".json";
        const std::optional<std::string> text = ovk_read_asset(asset);
        if (!text) {
            zq_log(LOG_ERR, "watchlist preset %s missing", asset.c_str());
            continue;
        }
        if (OVK_JSON j = ovk_json_parse(*text); j && cJSON_IsArray(j.get()))
            for (const OVK_OUI_ENTRY& e : parse_array(j.get())) put_rule(s, e);
    }
    for (const OVK_OUI_ENTRY& e : s.custom) put_rule(s, e);
    for (size_t i = 0; i < s.combined.size(); ++i)
        if (s.combined[i].kind != Kind::Address) s.text_rules.push_back(i);
}

// Writes the custom rules when a directory is known. 0 / -1.
int write_custom(const State& s) {
    if (s.dir.empty()) return 0;
    const std::optional<std::string> text = ovk_watchlist_text(s.custom);
    if (!text) return -1;
    const std::string path = s.dir + "/" + kCustomFile;
    if (ovk_write_file_atomic(path, *text) != 0) {
        zq_log(LOG_ERR, "cannot write %s", path.c_str());
        return -1;
    }
    return 0;
}

void remove_custom_key(State& s, std::string_view key) {
    std::erase_if(s.custom, [&](const OVK_OUI_ENTRY& c) { return c.prefix == key; });
}

// Keeps the last rule of every key, in order: a rule given again moves to the end. Linear,
// so a file or an import of 100 000 rules costs no more than reading it.
void keep_last_of_each_key(std::vector<OVK_OUI_ENTRY>& rules) {
    std::unordered_map<std::string_view, size_t> last;
    last.reserve(rules.size());
    for (size_t i = 0; i < rules.size(); ++i) last[rules[i].prefix] = i;
    if (last.size() == rules.size()) return;
    std::vector<OVK_OUI_ENTRY> kept;
    kept.reserve(last.size());
    for (size_t i = 0; i < rules.size(); ++i)
        if (last[rules[i].prefix] == i) kept.push_back(std::move(rules[i]));
    rules = std::move(kept);
}

// The address rule for `mac`, most specific first; with the lock held.
const Rule* match_locked(const State& s, std::string_view mac) {
    const std::string hex = ovk_mac_hex(until_nul(mac));
    for (size_t len : {12u, 9u, 7u, 6u}) {
        if (hex.size() < len) continue;
        auto it = s.by_hex.find(hex.substr(0, len));
        if (it != s.by_hex.end()) return &s.combined[it->second];
    }
    return nullptr;
}

void push_hit(const OVK_OUI_ENTRY& e, const std::string& evidence, OVK_HITS& out) {
    std::string_view source = e.source;
    if (ovk_oui_is_custom(e))
        source = "Your watchlist";
    else if (source.empty())
        source = "Watchlist preset";
    out.push_back(ovk_hit_make(ovk_oui_effective_category(e), e.label, ovk_oui_effective_score(e),
                               source, "%s", evidence.c_str()));
}

}  // namespace

std::string ovk_watchlist_normalize_key(std::string_view key, size_t outsz) {
    if (outsz == 0) return {};
    std::string_view t = skip_ws(until_nul(key));
    if (t.size() > kKeyReadMax) t = t.substr(0, kKeyReadMax);
    t = trim_view(t);
    const std::string_view tag = text_tag(t);
    if (tag.empty()) return ovk_mac_normalize(t, outsz);
    std::string out(tag);
    out += trim_view(t.substr(tag.size()));
    if (out.size() > outsz - 1) out.resize(outsz - 1);
    // A cut may leave blanks at the end; the key must read back the same.
    while (!out.empty() && ovk_is_ws(static_cast<unsigned char>(out.back()))) out.pop_back();
    return out;
}

int ovk_watchlist_is_valid_key(std::string_view key) {
    std::string_view t = skip_ws(until_nul(key));
    const std::string_view tag = text_tag(t);
    if (!tag.empty()) return trim_view(t.substr(tag.size())).empty() ? 0 : 1;
    if (t.size() > kValidCutMax) t = t.substr(0, kValidCutMax);
    t = trim_view(t);
    return ovk_mac_is_valid_block(t) || ovk_mac_is_valid(t) ? 1 : 0;
}

int ovk_oui_is_custom(const OVK_OUI_ENTRY& e) {
    return e.confidence == "custom" ? 1 : 0;
}

int ovk_oui_effective_score(const OVK_OUI_ENTRY& e) {
    if (e.score >= 0) return e.score;
    if (e.confidence == "custom") return 100;
    if (e.confidence == "candidate") return 50;
    return 75;
}

OVK_CATEGORY ovk_oui_effective_category(const OVK_OUI_ENTRY& e) {
    if (e.category >= 0 && e.category < OVK_CAT_COUNT) return static_cast<OVK_CATEGORY>(e.category);
    return ovk_oui_is_custom(e) ? OVK_CAT_CUSTOM : OVK_CAT_PUBLIC_SAFETY;
}

std::optional<std::vector<OVK_OUI_ENTRY>> ovk_watchlist_parse(std::string_view json) {
    try {
        OVK_JSON j = ovk_json_parse(json);
        if (!j || !cJSON_IsArray(j.get())) return std::nullopt;
        return parse_array(j.get());
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, out);
        return std::nullopt;
    }
}

std::optional<std::string> ovk_watchlist_text(std::span<const OVK_OUI_ENTRY> rules) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return std::nullopt;
    for (const OVK_OUI_ENTRY& e : rules) {
        cJSON* o = cJSON_CreateObject();
        if (!o) return std::nullopt;
        cJSON_AddItemToArray(arr.get(), o);
        if (ovk_json_add_str(o, "prefix", e.prefix) || ovk_json_add_str(o, "label", e.label) ||
            ovk_json_add_str(o, "source", e.source) ||
            ovk_json_add_str(o, "confidence", e.confidence))
            return std::nullopt;
        if (e.score >= 0 && !cJSON_AddNumberToObject(o, "score", e.score)) return std::nullopt;
        if (e.category >= 0 && e.category < OVK_CAT_COUNT &&
            !cJSON_AddStringToObject(o, "category", ovk_cat_name(e.category)))
            return std::nullopt;
    }
    return ovk_json_print(arr.get(), true);
}

int ovk_watchlist_load(std::optional<std::string_view> data_dir) {
    State& s = st();
    try {
        std::lock_guard lk(s.mu);
        if (data_dir) s.dir = std::string(until_nul(*data_dir));
        s.custom.clear();
        if (!s.dir.empty()) {
            const std::string path = s.dir + "/" + kCustomFile;
            OVK_DATAFILE f = ovk_datafile_read(path, OVK_DATAFILE_LIST_MAX);
            if (f.state == OVK_DATAFILE_STATE::Loaded) {
                if (auto rules = ovk_watchlist_parse(f.view.view())) {
                    // Every rule of the user's file is a user rule, whatever it says.
                    for (OVK_OUI_ENTRY& e : *rules) e.confidence = "custom";
                    keep_last_of_each_key(*rules);
                    s.custom = std::move(*rules);
                } else {
                    ovk_datafile_damaged(path, f.view.view());
                }
            }
        }
        rebuild(s);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, combined);
    }
    return 0;
}

void ovk_watchlist_unload() {
    State& s = st();
    std::lock_guard lk(s.mu);
    s.custom.clear();
    s.custom.shrink_to_fit();
    ++s.serial;
    s.combined.clear();
    s.combined.shrink_to_fit();
    s.by_key.clear();
    s.by_hex.clear();
    s.text_rules.clear();
    s.dir.clear();
}

void ovk_watchlist_hits(std::string_view mac, std::string_view name,
                        std::span<const std::string_view> vendors, OVK_HITS& out) {
    State& s = st();
    try {
        std::lock_guard lk(s.mu);
        if (s.combined.empty()) return;
        mac = until_nul(mac);
        name = until_nul(name);
        if (const Rule* r = match_locked(s, mac)) {
            const std::string ev =
                ovk_mac_hex(r->e.prefix).size() == 12
                    ? ovk_format(OVK_EVIDENCE_MAX, "Exact address %.*s is on the watchlist",
                                 static_cast<int>(mac.size()), mac.data())
                    : ovk_format(OVK_EVIDENCE_MAX, "Address is in the watchlisted block %s",
                                 r->e.prefix.c_str());
            push_hit(r->e, ev, out);
        }
        if (!name.empty()) {
            for (size_t i : s.text_rules) {
                const Rule& r = s.combined[i];
                if (r.kind != Kind::Name || r.text.empty()) continue;
                if (!ovk_contains_ci(name, r.text)) continue;
                push_hit(r.e,
                         ovk_format(OVK_EVIDENCE_MAX, "Name \"%.*s\" contains \"%s\"",
                                    static_cast<int>(name.size()), name.data(), r.text.c_str()),
                         out);
            }
        }
        if (!vendors.empty()) {
            for (size_t i : s.text_rules) {
                const Rule& r = s.combined[i];
                if (r.kind != Kind::Vendor || r.text.empty()) continue;
                for (std::string_view v : vendors) {
                    if (!ovk_contains_ci(v, r.text)) continue;
                    push_hit(r.e,
                             ovk_format(OVK_EVIDENCE_MAX, "Manufacturer \"%.*s\" contains \"%s\"",
                                        static_cast<int>(v.size()), v.data(), r.text.c_str()),
                             out);
                    break;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_HIT, 1, out);
    }
}

std::optional<OVK_OUI_ENTRY> ovk_watchlist_match(std::string_view mac) {
    State& s = st();
    try {
        std::lock_guard lk(s.mu);
        if (const Rule* r = match_locked(s, mac)) return r->e;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, out);
    }
    return std::nullopt;
}

std::vector<OVK_OUI_ENTRY> ovk_watchlist_all() {
    State& s = st();
    std::vector<OVK_OUI_ENTRY> out;
    try {
        std::lock_guard lk(s.mu);
        out.reserve(s.combined.size());
        for (const Rule& r : s.combined) out.push_back(r.e);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, s.combined.size(), out);
        out.clear();
    }
    return out;
}

std::vector<OVK_OUI_ENTRY> ovk_watchlist_custom() {
    State& s = st();
    try {
        std::lock_guard lk(s.mu);
        return s.custom;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, out);
        return {};
    }
}

std::vector<std::string> ovk_watchlist_custom_macs() {
    State& s = st();
    std::vector<std::string> out;
    try {
        std::lock_guard lk(s.mu);
        for (const Rule& r : s.combined)
            if (ovk_oui_is_custom(r.e) && r.e.prefix.size() == 17) out.push_back(r.e.prefix);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 18, out);
        out.clear();
    }
    return out;
}

int ovk_watchlist_add_custom(const OVK_OUI_ENTRY& e) {
    OVK_CHECK(ovk_watchlist_is_valid_key(e.prefix), -1);
    State& s = st();
    try {
        OVK_OUI_ENTRY c;
        c.prefix = ovk_watchlist_normalize_key(e.prefix, OVK_OUI_PREFIX_MAX + 1);
        OVK_CHECK(stored_key_ok(c.prefix), -1);
        c.label = ovk_cut(e.label, OVK_OUI_LABEL_MAX);
        c.source = ovk_cut(e.source, OVK_OUI_SOURCE_MAX);
        c.confidence = "custom";
        c.score = e.score < 0 ? -1 : clamp_score(e.score);
        c.category = clamp_category(e.category);
        std::lock_guard lk(s.mu);
        remove_custom_key(s, c.prefix);
        s.custom.push_back(std::move(c));
        const int rc = write_custom(s);
        rebuild(s);
        return rc;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, custom);
        return -1;
    }
}

int ovk_watchlist_remove_custom(std::string_view prefix) {
    State& s = st();
    try {
        const std::string key = ovk_watchlist_normalize_key(prefix, OVK_OUI_PREFIX_MAX + 1);
        std::lock_guard lk(s.mu);
        remove_custom_key(s, key);
        const int rc = write_custom(s);
        rebuild(s);
        return rc;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, custom);
        return -1;
    }
}

std::optional<std::string> ovk_watchlist_export_custom() {
    State& s = st();
    try {
        std::lock_guard lk(s.mu);
        return ovk_watchlist_text(s.custom);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 1, text);
        return std::nullopt;
    }
}

int ovk_watchlist_import_custom(std::string_view json) {
    State& s = st();
    try {
        std::optional<std::vector<OVK_OUI_ENTRY>> rules = ovk_watchlist_parse(json);
        if (!rules) return -1;
        if (rules->empty()) return 0;
        std::lock_guard lk(s.mu);
        std::vector<OVK_OUI_ENTRY> custom;
        custom.reserve(s.custom.size() + rules->size());
        custom = s.custom;
        std::unordered_set<std::string_view> seen;  // a key repeated in the text counts once
        for (OVK_OUI_ENTRY& e : *rules) {
            e.confidence = "custom";
            custom.push_back(std::move(e));
        }
        for (size_t i = s.custom.size(); i < custom.size(); ++i) seen.insert(custom[i].prefix);
        const int added = static_cast<int>(seen.size());
        seen.clear();
        keep_last_of_each_key(custom);
        s.custom = std::move(custom);
        const int rc = write_custom(s);
        rebuild(s);
        return rc == 0 ? added : -1;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_OUI_ENTRY, 1, custom);
        return -1;
    }
}

uint64_t ovk_watchlist_serial() {
    return st().serial.load();
}
