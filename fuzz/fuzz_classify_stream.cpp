// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a whole input of the classify tool: the line reader splits them, every
// output line is one JSON object whose line numbers rise and stay within the input's lines,
// and the exit status is 1 exactly when some output line is an error.
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ovk_classify_io.h"
#include "ovk_vendordb.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!getenv("OVK_ASSETS")) setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
    if (ovk_vendordb_load() != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!in) return 0;
    char* out_buf = nullptr;
    size_t out_len = 0;
    FILE* out = open_memstream(&out_buf, &out_len);
    if (!out) {
        fclose(in);
        return 0;
    }
    const int rc = ovk_classify_stream(in, out);
    fclose(in);
    fclose(out);

    size_t input_lines = 0;
    for (size_t i = 0; i < size; ++i) input_lines += data[i] == '\n';
    if (data[size - 1] != '\n') ++input_lines;

    const std::string_view o(out_buf, out_len);
    bool any_error = false;
    double last = 0;
    for (size_t at = 0; at < o.size();) {
        const size_t nl = o.find('\n', at);
        if (nl == std::string_view::npos) __builtin_trap();  // every line ends
        cJSON* j = cJSON_ParseWithLength(o.data() + at, nl - at);
        if (!j) __builtin_trap();
        const cJSON* n = cJSON_GetObjectItemCaseSensitive(j, "line");
        if (!cJSON_IsNumber(n) || n->valuedouble <= last || n->valuedouble > input_lines)
            __builtin_trap();
        last = n->valuedouble;
        any_error = any_error || cJSON_GetObjectItemCaseSensitive(j, "error") != nullptr;
        cJSON_Delete(j);
        at = nl + 1;
    }
    free(out_buf);
    if (rc != (any_error ? 1 : 0)) __builtin_trap();
    return 0;
}
