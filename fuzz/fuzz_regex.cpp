// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary pattern/text pairs through compile, search, find and full match. The first byte
// holds the flags (bit 0) and where the pattern ends (the rest of the byte scaled to the
// input); a pattern that compiles must answer consistently and within bounded stack and time.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ovk_regex.h"
#include "zq_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        set_log_level(-1);  // syntax errors are expected; keep the output readable
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    const int flags = data[0] & 1;
    const size_t body = size - 1;
    const size_t cut = body * (data[0] >> 1) / 127;
    const std::string_view pat(reinterpret_cast<const char*>(data + 1), cut);
    const std::string_view text(reinterpret_cast<const char*>(data + 1 + cut), body - cut);

    OVK_REGEX_PTR re = ovk_regex_compile(pat, flags);
    if (!re) return 0;
    const int full = ovk_regex_full(re.get(), text);
    size_t st = 0, ln = 0;
    const int found = ovk_regex_find(re.get(), text, 0, &st, &ln);
    if (found && st + ln > text.size()) __builtin_trap();
    if (full && !(found && st == 0)) __builtin_trap();  // a full match is a match at 0
    if (found) {
        size_t st2 = 0, ln2 = 0;
        // searching again from the match's own start finds the same match
        if (!ovk_regex_find(re.get(), text, st, &st2, &ln2) || st2 != st || ln2 != ln)
            __builtin_trap();
    }
    (void)ovk_regex_find(re.get(), text, text.size() / 2, nullptr, nullptr);
    return 0;
}
