// SPDX-License-Identifier: GPL-3.0-or-later
// Small shared tools of the application layer (see the header for the index).
#include "ovk_app_util.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

#include "ovk_datafile.h"
#include "ovk_jsonscan.h"

// ---------------------------------------------------------------------------------------
// 1. Files and clock
// ---------------------------------------------------------------------------------------

int64_t ovk_now_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

std::mutex g_write_hook_mu;
std::function<void(const std::string&)> g_write_hook;

void run_write_hook(const std::string& path) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard lk(g_write_hook_mu);
        hook = g_write_hook;
    }
    if (hook) hook(path);
}

}  // namespace

void ovk_write_file_set_hook_for_test(std::function<void(const std::string& path)> hook) {
    std::lock_guard lk(g_write_hook_mu);
    g_write_hook = std::move(hook);
}

int ovk_write_file_atomic(const std::string& path, std::string_view data) {
    return ovk_write_file_atomic_stream(path, [data](OVK_FILE_OUT& out) { return out.put(data); });
}

int ovk_write_file_atomic_stream(const std::string& path,
                                 const std::function<bool(OVK_FILE_OUT&)>& fill,
                                 uint64_t* written) {
    if (written) *written = 0;
    if (path.empty()) return -1;
    // A file that exists but could not be read in this run is never replaced.
    if (!ovk_datafile_writable(path)) {
        zq_log(LOG_ERR, "not writing %s: it could not be read, so it is left as it is",
               path.c_str());
        return -1;
    }
    int dir_err = 0;
    bool at_tmp = false;
    if (const int err = zq_fs_replace_with(path, fill, &dir_err, &at_tmp, written); err != 0) {
        if (at_tmp)
            zq_log(LOG_ERR, "cannot write %s.tmp: %s", path.c_str(), strerror(err));
        else
            zq_log(LOG_ERR, "atomic write of %s failed: %s", path.c_str(), strerror(err));
        return -1;
    }
    // The new content is in place and readers see it, so the write has succeeded; syncing
    // the folder only makes the new name survive a power cut.
    if (dir_err != 0)
        zq_log(LOG_WARNING, "atomic write of %s: cannot sync its folder: %s", path.c_str(),
               strerror(dir_err));
    run_write_hook(path);
    return 0;
}

std::optional<std::string> ovk_read_file(const std::string& path) {
    std::string out;
    if (const int err = zq_fs_read(path, out); err != 0) {
        if (err == ENOMEM) OVK_LOG_REALLOC_FAIL(char, 0, buf);
        return std::nullopt;
    }
    return out;
}

std::optional<OVK_FILE_VIEW> ovk_file_view(const std::string& path) {
    OVK_FILE_VIEW v;
    if (const int err = zq_fs_view(path, v); err != 0) {
        if (err == ENOMEM) OVK_LOG_REALLOC_FAIL(char, 0, buf);
        errno = err;
        return std::nullopt;
    }
    return v;
}

// ---------------------------------------------------------------------------------------
// 2. String map
// ---------------------------------------------------------------------------------------

uint64_t ovk_fnv1a64(std::string_view key) {
    uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : key) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

// ---------------------------------------------------------------------------------------
// 3. Text buffer
// ---------------------------------------------------------------------------------------

bool OVK_SBUF::grow(size_t extra) {
    if (oom_) return false;
    const size_t len = s_.size();
    if (extra > max_cap || len + 1 > max_cap - extra) {
        oom_ = true;
        const size_t asked = extra > SIZE_MAX - len - 1 ? SIZE_MAX : len + extra + 1;
        zq_log(LOG_ERR, "string buffer: out of memory (%zu bytes)", asked);
        return false;
    }
    const size_t needed = len + extra + 1;
    if (cap_ >= needed) return true;
    size_t cap;
    if (cap_ == 0) {
        cap = 256;
        if (cap < needed) {
            cap = 512;
            while (cap < needed) cap = cap > max_cap / 2 ? max_cap : cap * 2;
        }
    } else {
        cap = cap_;
        while (cap < needed) cap = cap > max_cap / 2 ? max_cap : cap * 2;
    }
    if (cap > max_cap) cap = max_cap;
    try {
        s_.reserve(cap - 1);
    } catch (const std::exception&) {
        oom_ = true;
        zq_log(LOG_ERR, "string buffer: out of memory (%zu bytes)", cap);
        return false;
    }
    cap_ = cap;
    return true;
}

void OVK_SBUF::add(std::string_view s) {
    if (!grow(s.size())) return;
    s_.append(s);
}

void OVK_SBUF::addc(char c) {
    if (!grow(1)) return;
    s_.push_back(c);
}

namespace {

void sbuf_vaddf(OVK_SBUF& b, const char* fmt, va_list ap) {
    if (!fmt || b.oom()) return;
    va_list measure;
    va_copy(measure, ap);
    const int n = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n < 0) return;
    std::string tmp;
    try {
        tmp.resize(static_cast<size_t>(n) + 1);
    } catch (const std::exception&) {
        // Asking for the room through the buffer reports the failure the usual way.
        b.add(std::string_view());
        return;
    }
    if (vsnprintf(tmp.data(), tmp.size(), fmt, ap) < 0) return;
    tmp.resize(static_cast<size_t>(n));
    b.add(tmp);
}

}  // namespace

void OVK_SBUF::addf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    sbuf_vaddf(*this, fmt, ap);
    va_end(ap);
}

std::optional<std::string> OVK_SBUF::take() {
    if (oom_) {
        free();
        return std::nullopt;
    }
    std::string out = std::move(s_);
    s_ = std::string();
    cap_ = 0;
    return out;
}

void OVK_SBUF::free() {
    s_ = std::string();
    cap_ = 0;
    oom_ = false;
}

// ---------------------------------------------------------------------------------------
// 4. Strings and numbers
// ---------------------------------------------------------------------------------------

namespace {

unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

int ovk_contains_ci(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return 1;
    if (needle.size() > hay.size()) return 0;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && ascii_lower(static_cast<unsigned char>(hay[i + k])) ==
                                        ascii_lower(static_cast<unsigned char>(needle[k])))
            ++k;
        if (k == needle.size()) return 1;
    }
    return 0;
}

int ovk_contains_ci(const char* hay, const char* needle) {
    if (!hay || !needle) return 0;
    return ovk_contains_ci(std::string_view(hay), std::string_view(needle));
}

const char* ovk_nz(const char* s) {
    return (s && *s) ? s : nullptr;
}
const char* ovk_nz(const std::string& s) {
    return s.empty() ? nullptr : s.c_str();
}

size_t ovk_utf8_seq_len(std::string_view s, size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    if (i >= n) return 0;
    const unsigned c = p[i];
    if (c < 0x80) return 1;
    size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    }
    if (len == 0 || len > n - i) return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned b = p[i + k];
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    }
    return len;
}

std::string ovk_utf8_clean(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t len = ovk_utf8_seq_len(s, i);
        if (len == 0) {
            ++i;
            continue;
        }
        out.append(s.substr(i, len));
        i += len;
    }
    return out;
}

std::string ovk_jdouble(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::fabs(v) > 1.7976931348623157e308) return v < 0 ? "-Infinity" : "Infinity";
    char buf[64];
    const double a = std::fabs(v);
    if (v == 0 || (a >= 0.001 && a < 10000000.0)) {
        int p = 1;
        for (; p <= 17; ++p) {
            snprintf(buf, sizeof buf, "%.*g", p, v);
            if (strtod(buf, nullptr) == v) break;
        }
        if (p > 17) snprintf(buf, sizeof buf, "%.*g", 17, v);
        std::string s(buf);
        if (s.find('e') != std::string::npos) {
            snprintf(buf, sizeof buf, "%.17f", v);
            s = buf;
            const size_t dot = s.find('.');
            if (dot != std::string::npos) {
                while (s.size() > dot + 2 && s.back() == '0') s.pop_back();
            }
        }
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    int p = 0;
    for (; p <= 16; ++p) {
        snprintf(buf, sizeof buf, "%.*e", p, v);
        if (strtod(buf, nullptr) == v) break;
    }
    if (p > 16) snprintf(buf, sizeof buf, "%.*e", 16, v);
    const std::string s(buf);
    const size_t e = s.find('e');
    std::string mant = s.substr(0, std::min(e, static_cast<size_t>(39)));
    const int exp =
        e == std::string::npos ? 0 : static_cast<int>(strtol(s.c_str() + e + 1, nullptr, 10));
    std::string out = mant;
    if (mant.find('.') == std::string::npos) out += ".0";
    out += "E" + std::to_string(exp);
    return out;
}

// ---------------------------------------------------------------------------------------
// 5. JSON helpers
// ---------------------------------------------------------------------------------------

namespace {

const cJSON* member(const cJSON* o, const char* key) {
    if (!o || !key || !cJSON_IsObject(o)) return nullptr;
    return cJSON_GetObjectItemCaseSensitive(o, key);
}

// An integer added with ovk_json_add_i64 is a raw item holding its exact text.
bool raw_integer(const cJSON* m) {
    if (!cJSON_IsRaw(m) || !m->valuestring) return false;
    std::string_view t(m->valuestring);
    if (t.starts_with('-')) t.remove_prefix(1);
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
}

bool is_number(const cJSON* m) {
    return cJSON_IsNumber(m) || raw_integer(m);
}

double number_value(const cJSON* m) {
    return raw_integer(m) ? ovk_json_number_double(m->valuestring, 0) : m->valuedouble;
}

}  // namespace

OVK_JSON ovk_json_parse(std::string_view text) {
    if (text.empty()) return nullptr;
    return OVK_JSON(cJSON_ParseWithLength(text.data(), text.size()));
}

std::optional<std::string> ovk_json_print(const cJSON* item, bool pretty) {
    if (!item) return std::nullopt;
    char* txt = pretty ? cJSON_Print(item) : cJSON_PrintUnformatted(item);
    if (!txt) return std::nullopt;
    std::optional<std::string> out;
    try {
        out.emplace(txt);
    } catch (const std::exception&) {
        out.reset();
    }
    cJSON_free(txt);
    return out;
}

std::optional<std::string> ovk_json_print_utf8(const cJSON* item, bool pretty) {
    std::optional<std::string> txt = ovk_json_print(item, pretty);
    if (!txt) return txt;
    try {
        // cJSON copies bytes from 0x80 up unchanged; those that do not form UTF-8 can only sit
        // inside strings, so dropping them keeps the structure.
        const std::string clean = ovk_utf8_clean(*txt);
        // DEL and the C1 controls (which a terminal showing the file would obey) are written
        // as escapes; they too can only sit inside strings.
        std::string out;
        out.reserve(clean.size());
        for (size_t i = 0; i < clean.size(); ++i) {
            const auto c = static_cast<unsigned char>(clean[i]);
            const auto next = i + 1 < clean.size() ? static_cast<unsigned char>(clean[i + 1]) : 0;
            if (c == 0x7F) {
                out += "\\u007f";
            } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[next >> 4];
                out += hex[next & 15];
                ++i;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int ovk_json_str(const cJSON* o, const char* key, std::string& out, size_t outsz) {
    out.clear();
    const cJSON* m = member(o, key);
    if (!cJSON_IsString(m) || !m->valuestring) return 0;
    const size_t max = outsz ? outsz - 1 : 0;
    std::string_view s(m->valuestring);
    try {
        out.assign(s.substr(0, std::min(s.size(), max)));
    } catch (const std::exception&) {
        out.clear();
        return 0;
    }
    return 1;
}

double ovk_json_num(const cJSON* o, const char* key, double def) {
    const cJSON* m = member(o, key);
    return m && is_number(m) ? number_value(m) : def;
}

int64_t ovk_json_i64(const cJSON* o, const char* key, int64_t def) {
    const cJSON* m = member(o, key);
    if (raw_integer(m)) return ovk_json_number_i64(m->valuestring, def);
    if (!cJSON_IsNumber(m)) return def;
    const double v = std::round(m->valuedouble);  // halves away from zero
    if (std::isnan(v)) return def;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

int ovk_json_int(const cJSON* o, const char* key, int def) {
    const cJSON* m = member(o, key);
    if (!is_number(m)) return def;
    const double v = number_value(m);
    if (std::isnan(v)) return def;
    if (v >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (v <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

int ovk_json_bool(const cJSON* o, const char* key, int def) {
    const cJSON* m = member(o, key);
    if (cJSON_IsBool(m)) return cJSON_IsTrue(m) ? 1 : 0;
    if (is_number(m)) return number_value(m) != 0 ? 1 : 0;
    return def;
}

int ovk_json_has_num(const cJSON* o, const char* key) {
    return is_number(member(o, key)) ? 1 : 0;
}

int ovk_json_add_str(cJSON* o, const char* key, std::string_view s) {
    if (!o || !key) return -1;
    try {
        const std::string copy(s);  // cJSON wants a terminated string
        return cJSON_AddStringToObject(o, key, copy.c_str()) ? 0 : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

int ovk_json_add_str_or_null(cJSON* o, const char* key, std::string_view s) {
    if (!o || !key) return -1;
    if (s.empty()) return cJSON_AddNullToObject(o, key) ? 0 : -1;
    return ovk_json_add_str(o, key, s);
}

int ovk_json_add_i64(cJSON* o, const char* key, int64_t v) {
    if (!o || !key) return -1;
    // As exact integer text: cJSON prints doubles with 15 digits whenever that reads back
    // "close enough", which merges large ids.
    try {
        return cJSON_AddRawToObject(o, key, ovk_json_int_text(v).c_str()) ? 0 : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

int ovk_json_write_file(const std::string& path, const cJSON* item, bool pretty) {
    OVK_CHECK(item, -1);
    const std::optional<std::string> txt = ovk_json_print(item, pretty);
    if (!txt) return -1;
    return ovk_write_file_atomic(path, *txt);
}

OVK_JSON ovk_json_read_file(const std::string& path) {
    const std::optional<OVK_FILE_VIEW> txt = ovk_file_view(path);
    if (!txt) return nullptr;
    OVK_JSON j = ovk_json_parse(txt->view());
    if (!j) zq_log(LOG_ERR, "invalid JSON in %s", path.c_str());
    return j;
}
