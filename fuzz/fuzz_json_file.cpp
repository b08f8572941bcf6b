// SPDX-License-Identifier: GPL-3.0-or-later
// JSON files loaded through the shared helpers from arbitrary bytes: reading, member
// access of every type, and a write/read round trip that must give the same tree.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_app_util.h"

namespace {

using ovk_fuzz::scratch_dir;

void touch_members(const cJSON* o) {
    std::string s;
    const cJSON* child = nullptr;
    cJSON_ArrayForEach(child, o) {
        if (!child->string) continue;
        const char* k = child->string;
        ovk_json_str(o, k, s, 40);
        if (s.size() > 39) abort();
        (void)ovk_json_num(o, k, 1.5);
        (void)ovk_json_i64(o, k, -7);
        (void)ovk_json_int(o, k, -7);
        const int b = ovk_json_bool(o, k, 5);
        if (b != 0 && b != 1 && b != 5) abort();
        (void)ovk_json_has_num(o, k);
        if (cJSON_IsNumber(child)) (void)ovk_jdouble(child->valuedouble);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = scratch_dir() + "/in.json";
    const std::string out = scratch_dir() + "/out.json";
    FILE* f = fopen(in.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    OVK_JSON j = ovk_json_read_file(in);
    if (!j) return 0;
    touch_members(j.get());
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, j.get()) touch_members(item);

    const auto first = ovk_json_print(j.get(), false);
    if (!first) return 0;
    for (bool pretty : {false, true}) {
        if (ovk_json_write_file(out, j.get(), pretty) != 0) abort();
        OVK_JSON back = ovk_json_read_file(out);
        if (!back) abort();
        const auto again = ovk_json_print(back.get(), false);
        // What was written reads back as the same tree.
        if (!again || *again != *first) abort();
    }
    return 0;
}
