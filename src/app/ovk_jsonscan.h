// SPDX-License-Identifier: GPL-3.0-or-later
// A reader of JSON text that builds no tree: it walks a bounded view, hands out one flat
// object (scalar members only) at a time and skips everything else. For files too large to
// hold as a cJSON tree (the remembered devices, an Overpass answer) and for integers that must
// read back exactly (cJSON keeps numbers as doubles only).
//
// The grammar is cJSON's: numbers start with '-' or a digit, strings may hold raw control
// bytes, nesting deeper than 1000 fails, and text after a complete top-level value is
// ignored. A string's text ends at its first NUL, as a C string does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class OVK_JSON_KIND { String, Number, True, False, Null, Object, Array };

// One scalar member: `text` holds the decoded string or the number as written.
struct OVK_JSON_VALUE {
    OVK_JSON_KIND kind = OVK_JSON_KIND::Null;
    std::string text;
};

// The members of one object in text order (compound values are kept with their kind and
// no text). Lookups find the first member of a name, as cJSON's do. Reading into the same
// record again reuses its storage.
class OVK_JSON_FLAT {
  public:
    const OVK_JSON_VALUE* get(std::string_view key) const;
    // The same meanings as the cJSON helpers of ovk_app_util.h.
    int str(std::string_view key, std::string& out, size_t max) const;  // 1 when a string
    double num(std::string_view key, double def) const;
    int64_t i64(std::string_view key, int64_t def) const;  // exact for integer text
    int integer(std::string_view key, int def) const;      // truncated, saturated
    int boolean(std::string_view key, int def) const;
    bool has_num(std::string_view key) const;
    size_t size() const { return n_; }

  private:
    friend class OVK_JSON_SCAN;
    std::vector<std::pair<std::string, OVK_JSON_VALUE>> members_;
    size_t n_ = 0;
};

// A position in JSON text. Every reading call skips white space first and returns false
// (leaving the position undefined) when the text is not JSON there.
class OVK_JSON_SCAN {
  public:
    // A UTF-8 byte-order mark at the start is skipped, as cJSON does.
    explicit OVK_JSON_SCAN(std::string_view text) : t_(text) {
        if (t_.starts_with("\xEF\xBB\xBF")) i_ = 3;
    }

    // The next non-blank byte, or 0 at the end.
    char peek();
    // Consumes `c` when it is next.
    bool eat(char c);
    size_t pos() const { return i_; }
    bool at_end();

    bool read_string(std::string& out);
    // Any value, skipped.
    bool skip_value();
    // An object whose members are read into `out` (compound members are skipped).
    bool read_flat(OVK_JSON_FLAT& out);
    // Walks an array: calls fn(*this) at each element, which must read exactly one value and
    // return false to fail the walk.
    template <class F>
    bool each_element(F&& fn) {
        if (!enter('[')) return false;
        if (leave(']')) return true;
        for (;;) {
            if (!fn(*this)) return false;
            if (eat(',')) continue;
            return leave(']');
        }
    }

  private:
    bool read_scalar(OVK_JSON_VALUE& v);
    bool read_number(std::string& out);
    bool skip();
    bool literal(std::string_view word);
    // Into and out of an array or object, counting the nesting.
    bool enter(char open);
    bool leave(char close);

    std::string_view t_;
    size_t i_ = 0;
    int depth_ = 0;
};

// Appends `s` as a JSON string, escaped as cJSON prints it (the text ends at a NUL).
void ovk_json_put_string(std::string& out, std::string_view s);
// Exact integer text of `v`, for JSON writers.
std::string ovk_json_int_text(int64_t v);
// The value of a number text as ovk_json_i64 gives it: integer text exactly, anything else
// rounded half away from zero; saturated to the int64 range. `def` for text that is no
// number.
int64_t ovk_json_number_i64(std::string_view text, int64_t def);
double ovk_json_number_double(std::string_view text, double def);
