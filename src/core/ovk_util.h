// SPDX-License-Identifier: GPL-3.0-or-later
// String helpers of the core layer. Whitespace means the bytes 9..13 and 28..32.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

int ovk_is_ws(int c);
// True for an empty string or one made only of whitespace.
int ovk_is_blank(std::string_view s);
// Without leading and trailing whitespace, cut to outsz-1 bytes.
std::string ovk_trim(std::string_view in, size_t outsz = SIZE_MAX);
int ovk_strieq(std::string_view a, std::string_view b);
int ovk_streq(std::string_view a, std::string_view b);
int ovk_istarts_with(std::string_view s, std::string_view prefix);
int ovk_icontains(std::string_view s, std::string_view needle);
// The first `max` bytes of `s` (a plain byte cut); empty when memory runs out.
std::string ovk_cut(std::string_view s, size_t max);
// Appends formatted text while the result stays below `bufsz` bytes (silently cut);
// does nothing when `buf` already holds bufsz-1 bytes or more.
void ovk_appendf(std::string& buf, size_t bufsz, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The system's text for an error number, either sign ("No such device" for ENODEV or
// -ENODEV); "Unknown error N" for a number it does not know. Safe from any thread.
std::string ovk_errno_text(int err);
// floor(x + 0.5); NaN gives 0 and values beyond int are clamped to INT_MIN / INT_MAX.
int ovk_round(double x);
