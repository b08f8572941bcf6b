// SPDX-License-Identifier: GPL-3.0-or-later
// A tree-free JSON reader (see the header).
#include "ovk_jsonscan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

constexpr int kMaxDepth = 1000;  // as cJSON

bool is_ws(char c) {
    // cJSON skips every byte up to and including the space (NUL too).
    return static_cast<unsigned char>(c) <= 32;
}

bool number_char(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool integer_text(std::string_view s) {
    size_t i = s.starts_with('-') ? 1 : 0;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------------------

void ovk_json_put_string(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    s = s.substr(0, s.find('\0'));
    out += '"';
    size_t run = 0;  // plain bytes are copied in runs
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        const char* esc = nullptr;
        switch (c) {
            case '"':
                esc = "\\\"";
                break;
            case '\\':
                esc = "\\\\";
                break;
            case '\b':
                esc = "\\b";
                break;
            case '\f':
                esc = "\\f";
                break;
            case '\n':
                esc = "\\n";
                break;
            case '\r':
                esc = "\\r";
                break;
            case '\t':
                esc = "\\t";
                break;
            default:
                break;
        }
        if (!esc && c >= 32) continue;
        out.append(s.substr(run, i - run));
        run = i + 1;
        if (esc) {
            out += esc;
        } else {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out.append(s.substr(run));
    out += '"';
}

std::string ovk_json_int_text(int64_t v) {
    char b[24];
    const auto r = std::to_chars(b, b + sizeof b, v);
    return std::string(b, r.ptr);
}

double ovk_json_number_double(std::string_view text, double def) {
    if (text.empty()) return def;
    if (integer_text(text)) {
        int64_t v = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
        if (r.ec == std::errc() && r.ptr == text.data() + text.size())
            return static_cast<double>(v);
    }
    const std::string s(text);
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    if (end == s.c_str()) return def;
    return d;
}

int64_t ovk_json_number_i64(std::string_view text, int64_t def) {
    if (integer_text(text)) {
        int64_t v = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
        if (r.ec == std::errc() && r.ptr == text.data() + text.size()) return v;
    }
    const double d = ovk_json_number_double(text, std::numeric_limits<double>::quiet_NaN());
    const double v = std::round(d);
    if (std::isnan(v)) return def;
    if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

// ---------------------------------------------------------------------------------------
// Flat objects
// ---------------------------------------------------------------------------------------

const OVK_JSON_VALUE* OVK_JSON_FLAT::get(std::string_view key) const {
    for (size_t i = 0; i < n_; ++i)
        if (members_[i].first == key) return &members_[i].second;
    return nullptr;
}

int OVK_JSON_FLAT::str(std::string_view key, std::string& out, size_t max) const {
    out.clear();
    const OVK_JSON_VALUE* v = get(key);
    if (!v || v->kind != OVK_JSON_KIND::String) return 0;
    out.assign(v->text, 0, std::min(v->text.size(), max));
    return 1;
}

double OVK_JSON_FLAT::num(std::string_view key, double def) const {
    const OVK_JSON_VALUE* v = get(key);
    if (!v || v->kind != OVK_JSON_KIND::Number) return def;
    return ovk_json_number_double(v->text, def);
}

int64_t OVK_JSON_FLAT::i64(std::string_view key, int64_t def) const {
    const OVK_JSON_VALUE* v = get(key);
    if (!v || v->kind != OVK_JSON_KIND::Number) return def;
    return ovk_json_number_i64(v->text, def);
}

int OVK_JSON_FLAT::integer(std::string_view key, int def) const {
    const OVK_JSON_VALUE* v = get(key);
    if (!v || v->kind != OVK_JSON_KIND::Number) return def;
    const double d = ovk_json_number_double(v->text, std::numeric_limits<double>::quiet_NaN());
    if (std::isnan(d)) return def;
    if (d >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (d <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(d);
}

int OVK_JSON_FLAT::boolean(std::string_view key, int def) const {
    const OVK_JSON_VALUE* v = get(key);
    if (!v) return def;
    switch (v->kind) {
        case OVK_JSON_KIND::True:
            return 1;
        case OVK_JSON_KIND::False:
            return 0;
        case OVK_JSON_KIND::Number:
            return ovk_json_number_double(v->text, 0) != 0 ? 1 : 0;
        case OVK_JSON_KIND::String:
        case OVK_JSON_KIND::Null:
        case OVK_JSON_KIND::Object:
        case OVK_JSON_KIND::Array:
            return def;
    }
    return def;
}

bool OVK_JSON_FLAT::has_num(std::string_view key) const {
    const OVK_JSON_VALUE* v = get(key);
    return v && v->kind == OVK_JSON_KIND::Number;
}

// ---------------------------------------------------------------------------------------
// The scanner
// ---------------------------------------------------------------------------------------

char OVK_JSON_SCAN::peek() {
    while (i_ < t_.size() && is_ws(t_[i_])) ++i_;
    return i_ < t_.size() ? t_[i_] : '\0';
}

bool OVK_JSON_SCAN::eat(char c) {
    if (c == '\0' || peek() != c) return false;
    ++i_;
    return true;
}

bool OVK_JSON_SCAN::enter(char open) {
    if (depth_ >= kMaxDepth || !eat(open)) return false;
    ++depth_;
    return true;
}

bool OVK_JSON_SCAN::leave(char close) {
    if (!eat(close)) return false;
    --depth_;
    return true;
}

bool OVK_JSON_SCAN::at_end() {
    return peek() == '\0';
}

bool OVK_JSON_SCAN::literal(std::string_view word) {
    if (t_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
}

bool OVK_JSON_SCAN::read_string(std::string& out) {
    out.clear();
    if (!eat('"')) return false;
    // First the end: the next quote that no backslash escapes (as cJSON finds it).
    size_t end = i_;
    while (end < t_.size() && t_[end] != '"') {
        if (t_[end] == '\\') {
            if (end + 1 >= t_.size()) return false;
            ++end;
        }
        ++end;
    }
    if (end >= t_.size()) return false;
    // Then the text, escape by escape. A NUL ends it, as in a C string.
    bool cut = false;
    // Four hex digits; any other character counts as a value of 0, as in cJSON.
    auto hex4 = [&](size_t at) {
        uint32_t cp = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int h = hex_value(t_[at + k]);
            if (h < 0) return uint32_t{0};
            cp = cp * 16 + static_cast<uint32_t>(h);
        }
        return cp;
    };
    // Escapes are looked for within the string only: a search that ran on to the end of the
    // text would cost every string the rest of the file.
    const std::string_view body = t_.substr(0, end);
    size_t p = i_;
    while (p < end) {
        const size_t q = std::min(end, body.find('\\', p));
        if (!cut) {
            const std::string_view run = t_.substr(p, q - p);
            const size_t z = run.find('\0');
            out.append(run.substr(0, z));
            cut = z != std::string_view::npos;
        }
        p = q;
        if (p >= end) break;
        // p + 1 may be the closing quote itself (a backslash pair ended the first pass there):
        // cJSON reads it as an escaped quote, and so does this.
        char plain = 0;
        switch (t_[p + 1]) {
            case '"':
            case '\\':
            case '/':
                plain = t_[p + 1];
                break;
            case 'b':
                plain = '\b';
                break;
            case 'f':
                plain = '\f';
                break;
            case 'n':
                plain = '\n';
                break;
            case 'r':
                plain = '\r';
                break;
            case 't':
                plain = '\t';
                break;
            case 'u': {
                if (end - p < 6) return false;
                uint32_t cp = hex4(p + 2);
                size_t len = 6;
                if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a lone low surrogate
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (end - p < 12 || t_[p + 6] != '\\' || t_[p + 7] != 'u') return false;
                    const uint32_t lo = hex4(p + 8);
                    if (lo < 0xDC00 || lo > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    len = 12;
                }
                if (cp == 0) cut = true;
                if (!cut) put_utf8(out, cp);
                p += len;
                continue;
            }
            default:
                return false;
        }
        if (!cut) out += plain;
        p += 2;
    }
    i_ = end + 1;
    return true;
}

bool OVK_JSON_SCAN::read_number(std::string& out) {
    const size_t start = i_;
    size_t j = i_;
    while (j < t_.size() && number_char(t_[j])) ++j;
    const std::string_view run = t_.substr(start, j - start);
    if (integer_text(run)) {
        out.assign(run);
        i_ = j;
        return true;
    }
    // What strtod takes of the run is the number; what follows is read as the next token
    // (and fails there unless the value ends the text), as in cJSON.
    const std::string s(run);
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    const size_t used = static_cast<size_t>(end - s.c_str());
    if (used == 0) return false;
    out.assign(run.substr(0, used));
    i_ = start + used;
    return true;
}

bool OVK_JSON_SCAN::read_scalar(OVK_JSON_VALUE& v) {
    v.text.clear();
    const char c = peek();
    switch (c) {
        case '"':
            v.kind = OVK_JSON_KIND::String;
            return read_string(v.text);
        case 't':
            v.kind = OVK_JSON_KIND::True;
            return literal("true");
        case 'f':
            v.kind = OVK_JSON_KIND::False;
            return literal("false");
        case 'n':
            v.kind = OVK_JSON_KIND::Null;
            return literal("null");
        case '{':
            v.kind = OVK_JSON_KIND::Object;
            return skip();
        case '[':
            v.kind = OVK_JSON_KIND::Array;
            return skip();
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                v.kind = OVK_JSON_KIND::Number;
                return read_number(v.text);
            }
            return false;
    }
}

bool OVK_JSON_SCAN::skip() {
    const char c = peek();
    if (c == '{') {
        if (!enter('{')) return false;
        if (leave('}')) return true;
        std::string key;
        for (;;) {
            if (peek() != '"' || !read_string(key) || !eat(':') || !skip()) return false;
            if (eat(',')) continue;
            return leave('}');
        }
    }
    if (c == '[') {
        if (!enter('[')) return false;
        if (leave(']')) return true;
        for (;;) {
            if (!skip()) return false;
            if (eat(',')) continue;
            return leave(']');
        }
    }
    if (c == '"') {
        // Skipping needs no decoded text, but escapes must still be valid.
        std::string tmp;
        return read_string(tmp);
    }
    OVK_JSON_VALUE v;
    return read_scalar(v);
}

bool OVK_JSON_SCAN::skip_value() {
    return skip();
}

bool OVK_JSON_SCAN::read_flat(OVK_JSON_FLAT& out) {
    out.n_ = 0;
    if (!enter('{')) return false;
    if (leave('}')) return true;
    for (;;) {
        if (out.n_ == out.members_.size()) out.members_.emplace_back();
        auto& m = out.members_[out.n_];
        if (peek() != '"' || !read_string(m.first) || !eat(':') || !read_scalar(m.second))
            return false;
        ++out.n_;
        if (eat(',')) continue;
        return leave('}');
    }
}
