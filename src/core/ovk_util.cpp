// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_util.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

int lower_ascii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

}  // namespace

int ovk_is_ws(int c) {
    return (c >= 9 && c <= 13) || (c >= 28 && c <= 32);
}

int ovk_is_blank(std::string_view s) {
    for (unsigned char c : s)
        if (!ovk_is_ws(c)) return 0;
    return 1;
}

std::string ovk_trim(std::string_view in, size_t outsz) {
    if (outsz == 0) return {};
    size_t b = 0, e = in.size();
    while (b < e && ovk_is_ws(static_cast<unsigned char>(in[b]))) ++b;
    while (e > b && ovk_is_ws(static_cast<unsigned char>(in[e - 1]))) --e;
    std::string_view t = in.substr(b, e - b);
    if (t.size() > outsz - 1) t = t.substr(0, outsz - 1);
    return std::string(t);
}

int ovk_strieq(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower_ascii(static_cast<unsigned char>(a[i])) !=
            lower_ascii(static_cast<unsigned char>(b[i])))
            return 0;
    return 1;
}

int ovk_streq(std::string_view a, std::string_view b) {
    return a == b ? 1 : 0;
}

int ovk_istarts_with(std::string_view s, std::string_view prefix) {
    if (prefix.size() > s.size()) return 0;
    return ovk_strieq(s.substr(0, prefix.size()), prefix);
}

int ovk_icontains(std::string_view s, std::string_view needle) {
    if (needle.empty()) return 1;
    if (needle.size() > s.size()) return 0;
    for (size_t i = 0; i + needle.size() <= s.size(); ++i)
        if (ovk_strieq(s.substr(i, needle.size()), needle)) return 1;
    return 0;
}

std::string ovk_cut(std::string_view s, size_t max) {
    try {
        return std::string(s.substr(0, max < s.size() ? max : s.size()));
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void ovk_appendf(std::string& buf, size_t bufsz, const char* fmt, ...) {
    if (bufsz == 0 || buf.size() >= bufsz - 1 || !fmt) return;
    const size_t room = bufsz - 1 - buf.size();
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n <= 0) {
        va_end(ap2);
        return;
    }
    try {
        std::string tmp(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(tmp.data(), tmp.size(), fmt, ap2);
        tmp.resize(static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
        buf += tmp;
    } catch (const std::bad_alloc&) {
        // text is silently cut; nothing appended when memory runs out
    }
    va_end(ap2);
}

std::string ovk_errno_text(int err) {
    // strerrordesc_np keeps no buffer and ignores the locale, unlike strerror.
    if (err < 0) err = err == INT_MIN ? INT_MAX : -err;
    if (const char* d = strerrordesc_np(err)) return d;
    return "Unknown error " + std::to_string(err);
}

int ovk_round(double x) {
    // Values outside int (and NaN) would be undefined behaviour in the conversion.
    if (std::isnan(x)) return 0;
    const double r = std::floor(x + 0.5);
    if (r >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (r <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(r);
}
