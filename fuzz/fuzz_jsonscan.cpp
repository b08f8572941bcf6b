// SPDX-License-Identifier: GPL-3.0-or-later
// The tree-free JSON reader against cJSON over arbitrary bytes: it never reads past its
// view, it accepts every text cJSON accepts (a file older versions loaded must not now count
// as damaged), and the flat objects it reads hold the strings and numbers cJSON sees.
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "ovk_app_util.h"
#include "ovk_jsonscan.h"

namespace {

// The members of a cJSON object against a flat object read from the same text.
void same_members(const cJSON* o, const OVK_JSON_FLAT& flat) {
    const cJSON* m = nullptr;
    cJSON_ArrayForEach(m, o) {
        if (!m->string) continue;
        // Lookups find the first member of a name in both.
        const cJSON* first = cJSON_GetObjectItemCaseSensitive(o, m->string);
        if (first != m) continue;
        const OVK_JSON_VALUE* v = flat.get(m->string);
        if (!v) abort();
        if (cJSON_IsString(m)) {
            if (v->kind != OVK_JSON_KIND::String || v->text != m->valuestring) abort();
        } else if (cJSON_IsNumber(m)) {
            if (v->kind != OVK_JSON_KIND::Number) abort();
            const double d = ovk_json_number_double(v->text, NAN);
            if (!(d == m->valuedouble || (std::isnan(d) && std::isnan(m->valuedouble)))) abort();
        } else if (cJSON_IsTrue(m)) {
            if (v->kind != OVK_JSON_KIND::True) abort();
        } else if (cJSON_IsFalse(m)) {
            if (v->kind != OVK_JSON_KIND::False) abort();
        } else if (cJSON_IsNull(m)) {
            if (v->kind != OVK_JSON_KIND::Null) abort();
        } else if (cJSON_IsArray(m)) {
            if (v->kind != OVK_JSON_KIND::Array) abort();
        } else if (cJSON_IsObject(m)) {
            if (v->kind != OVK_JSON_KIND::Object) abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so reading past the view is caught.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view text(bytes);
    OVK_JSON tree = ovk_json_parse(text);

    OVK_JSON_SCAN scan(text);
    const bool skipped = scan.skip_value();
    if (scan.pos() > text.size()) abort();
    if (tree && !skipped) abort();

    // Flat objects: top-level, and the elements of a top-level array.
    OVK_JSON_FLAT flat;
    if (tree && cJSON_IsObject(tree.get())) {
        OVK_JSON_SCAN s(text);
        if (!s.read_flat(flat)) abort();
        same_members(tree.get(), flat);
    }
    if (tree && cJSON_IsArray(tree.get())) {
        OVK_JSON_SCAN s(text);
        const cJSON* el = tree->child;
        const bool ok = s.each_element([&](OVK_JSON_SCAN& e) {
            if (!el) abort();
            if (e.peek() == '{') {
                if (!e.read_flat(flat)) return false;
                same_members(el, flat);
            } else if (!e.skip_value()) {
                return false;
            }
            el = el->next;
            return true;
        });
        if (!ok || el) abort();
    }
    // Integers read exactly whatever cJSON makes of them.
    OVK_JSON_SCAN s(text);
    OVK_JSON_FLAT one;
    if (s.read_flat(one))
        for (size_t i = 0; i < one.size(); ++i) (void)one.i64("id", 0), (void)one.integer("n", 0);
    return 0;
}
