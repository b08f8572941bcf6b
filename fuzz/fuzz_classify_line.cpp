// SPDX-License-Identifier: GPL-3.0-or-later
// One arbitrary input line through the classify tool's line handler, in verdict mode and in
// report mode, with the vendor tables loaded: every line yields nothing (a comment), or
// exactly one valid JSON object carrying the line number; a verdict carries its identity,
// fingerprint and distance, a report its document.
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ovk_classify_io.h"
#include "ovk_vendordb.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!getenv("OVK_ASSETS")) setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
    if (ovk_vendordb_load() != 0) abort();
    return 0;
}

namespace {

void check(std::string_view line, std::optional<std::string_view> note) {
    const OVK_CLASSIFY_LINE r = ovk_classify_line(line, 42, note);
    if (r.status == OVK_CLASSIFY_SKIPPED) {
        if (!r.json.empty()) __builtin_trap();
        return;
    }
    if (r.json.find('\n') != std::string::npos) __builtin_trap();
    cJSON* j = cJSON_ParseWithLength(r.json.data(), r.json.size());
    if (!j) __builtin_trap();
    const cJSON* n = cJSON_GetObjectItemCaseSensitive(j, "line");
    bool ok = cJSON_IsNumber(n) && n->valueint == 42 &&
              (r.status == OVK_CLASSIFY_INVALID) ==
                  (cJSON_GetObjectItemCaseSensitive(j, "error") != nullptr);
    if (ok && r.status == OVK_CLASSIFY_OK) {
        if (note) {
            ok = cJSON_IsObject(cJSON_GetObjectItemCaseSensitive(j, "report")) &&
                 !cJSON_GetObjectItemCaseSensitive(j, "mac");
        } else {
            const cJSON* id = cJSON_GetObjectItemCaseSensitive(j, "identity");
            const cJSON* d = cJSON_GetObjectItemCaseSensitive(j, "distanceM");
            ok = cJSON_IsString(cJSON_GetObjectItemCaseSensitive(id, "type")) &&
                 cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(id, "facts")) &&
                 cJSON_IsString(cJSON_GetObjectItemCaseSensitive(j, "fingerprint")) &&
                 (cJSON_IsNull(d) ||
                  (cJSON_IsNumber(d) && d->valuedouble >= 0.1 && d->valuedouble <= 500));
        }
    }
    cJSON_Delete(j);
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    check(line, std::nullopt);
    check(line, std::string_view("note \xe2\x80\xa8 with\ta tab"));
    return 0;
}
