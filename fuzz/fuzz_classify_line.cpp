// One arbitrary input line through the classify tool's line handler: every line yields
// nothing (a comment), or exactly one valid JSON object carrying the line number.
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ovk_classify_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const OVK_CLASSIFY_LINE r = ovk_classify_line(line, 42);
    if (r.status == OVK_CLASSIFY_SKIPPED) {
        if (!r.json.empty()) __builtin_trap();
        return 0;
    }
    if (r.json.find('\n') != std::string::npos) __builtin_trap();
    cJSON* j = cJSON_ParseWithLength(r.json.data(), r.json.size());
    if (!j) __builtin_trap();
    const cJSON* n = cJSON_GetObjectItemCaseSensitive(j, "line");
    const bool ok = cJSON_IsNumber(n) && n->valueint == 42 &&
                    (r.status == OVK_CLASSIFY_INVALID) ==
                        (cJSON_GetObjectItemCaseSensitive(j, "error") != nullptr);
    cJSON_Delete(j);
    if (!ok) __builtin_trap();
    return 0;
}
