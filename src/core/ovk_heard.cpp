// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_heard.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>

#include "ovk_util.h"

namespace {

bool heard_here(const OVK_ADVERT& a) {
    return a.source != OVK_SRC_WIFI;
}

// The advert's own name, trimmed and cut as it is kept; empty when it has none.
std::string_view own_name(const OVK_ADVERT& a) {
    if (!a.name) return {};
    std::string_view t(*a.name);
    while (!t.empty() && ovk_is_ws(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
    while (!t.empty() && ovk_is_ws(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
    return t.substr(0, OVK_HEARD_NAME_MAX);
}

bool holds(const std::vector<OVK_UUID>& v, const OVK_UUID& u) {
    return std::find(v.begin(), v.end(), u) != v.end();
}

// FNV-1a, never 0 (0 stands for "none").
uint64_t mix(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;
    return h;
}
constexpr uint64_t kFnvBasis = 0xCBF29CE484222325ULL;

uint64_t name_hash(std::string_view name) {
    if (name.empty()) return 0;
    const uint64_t h = mix(kFnvBasis, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    return h ? h : 1;
}

// The hash of what a packet says: its name and its listed services, in order.
uint64_t shape_of(uint64_t name_h, const OVK_ADVERT& a) {
    uint64_t h = mix(kFnvBasis, reinterpret_cast<const uint8_t*>(&name_h), sizeof name_h);
    for (const OVK_UUID& u : a.uuids) h = mix(h, u.b.data(), u.b.size());
    return h ? h : 1;
}

bool news_in_lists(const OVK_HEARD& h, const OVK_ADVERT& a, std::string_view name) {
    for (const OVK_UUID& u : a.uuids)
        if (!holds(h.uuids, u)) return true;
    return !name.empty() && std::find(h.names.begin(), h.names.end(), name) == h.names.end();
}

}  // namespace

uint64_t ovk_heard_shape(const OVK_ADVERT& a) {
    return heard_here(a) ? shape_of(name_hash(own_name(a)), a) : 0;
}

int ovk_heard_news(const OVK_HEARD& h, const OVK_ADVERT& a) {
    if (!heard_here(a)) return 0;
    const std::string_view name = own_name(a);
    const uint64_t shape = shape_of(name_hash(name), a);
    if (shape == h.shapes[0] || shape == h.shapes[1]) return 0;
    return news_in_lists(h, a, name) ? 1 : 0;
}

int ovk_heard_note(OVK_HEARD& h, const OVK_ADVERT& a) {
    if (!heard_here(a)) return 0;
    const std::string_view name = own_name(a);
    const uint64_t nh = name_hash(name);
    const uint64_t shape = shape_of(nh, a);
    auto remember = [&h, shape] {
        if (shape == h.shapes[0]) return;
        h.shapes[1] = h.shapes[0];
        h.shapes[0] = shape;
    };
    const bool known_shape = shape == h.shapes[0] || shape == h.shapes[1];
    const int news = !known_shape && news_in_lists(h, a, name) ? 1 : 0;
    if (!news) {
        // Nothing new: at most a known name becomes the latest again (no allocation).
        if (nh && nh != h.latest) {
            auto it = std::find(h.names.begin(), h.names.end(), name);
            if (it != h.names.end()) std::rotate(it, it + 1, h.names.end());
            h.latest = nh;
        }
        remember();
        return 0;
    }
    try {
        // Room for exactly what is added (most addresses send one name or one list), taken
        // before anything changes.
        size_t more = 0;
        for (size_t i = 0; i < a.uuids.size(); i++)
            if (!holds(h.uuids, a.uuids[i]) &&
                std::find(a.uuids.begin(), a.uuids.begin() + static_cast<std::ptrdiff_t>(i),
                          a.uuids[i]) == a.uuids.begin() + static_cast<std::ptrdiff_t>(i))
                more++;
        h.uuids.reserve(std::min(OVK_HEARD_UUIDS_MAX, h.uuids.size() + more));
        if (!name.empty()) h.names.reserve(std::min(OVK_HEARD_NAMES_MAX, h.names.size() + 1));
        for (const OVK_UUID& u : a.uuids) {
            if (holds(h.uuids, u)) continue;
            if (h.uuids.size() >= OVK_HEARD_UUIDS_MAX) h.uuids.erase(h.uuids.begin());
            h.uuids.push_back(u);
        }
        if (!name.empty()) {
            auto it = std::find(h.names.begin(), h.names.end(), name);
            if (it != h.names.end()) h.names.erase(it);
            if (h.names.size() >= OVK_HEARD_NAMES_MAX) h.names.erase(h.names.begin());
            h.names.emplace_back(name);
            h.latest = nh;
        }
        remember();
    } catch (const std::bad_alloc&) {
        // Whatever could not be kept is judged with this packet alone.
    }
    return news;
}

std::optional<OVK_ADVERT> ovk_heard_apply(const OVK_HEARD& h, const OVK_ADVERT& a) {
    if (!heard_here(a)) return std::nullopt;
    const bool take_name = !h.names.empty() && own_name(a).empty();
    const bool take_uuids = std::any_of(h.uuids.begin(), h.uuids.end(),
                                        [&a](const OVK_UUID& u) { return !holds(a.uuids, u); });
    if (!take_name && !take_uuids) return std::nullopt;
    try {
        std::optional<OVK_ADVERT> v(a);
        if (take_name) v->name = h.names.back();
        for (const OVK_UUID& u : h.uuids)
            if (!holds(a.uuids, u)) v->uuids.push_back(u);
        return v;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}
