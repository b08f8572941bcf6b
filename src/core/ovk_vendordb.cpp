// SPDX-License-Identifier: GPL-3.0-or-later
// Vendor tables: four open-addressing hash tables whose values point into the file
// buffers, which are parsed in place (line ends and the separating tabs become zero bytes).
#include "ovk_vendordb.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "zq_log.h"

namespace {

// One table: keys and value pointers in parallel arrays of `cap` slots (a power of two);
// an empty slot has a null value.
struct OVK_VTABLE {
    std::vector<uint64_t> keys;
    std::vector<const char*> vals;
    size_t cap = 0;
    size_t n = 0;
};

enum TableIndex : int { T_OUI = 0, T_COMPANY = 1, T_UUID = 2, T_APPEARANCE = 3 };
constexpr int TABLE_COUNT = 4;
constexpr std::array<const char*, TABLE_COUNT> FILES = {
    OVK_VENDOR_FILE_OUI, OVK_VENDOR_FILE_COMPANY, OVK_VENDOR_FILE_UUID16,
    OVK_VENDOR_FILE_APPEARANCE};

constexpr uint64_t APPEARANCE_SELF = 255;  // subcategory key of the category's own name
constexpr size_t OUI_MAX_DIGITS = 15;
constexpr size_t MAC_MAX_CHARS = 31;

std::mutex _lock;
std::array<OVK_VTABLE, TABLE_COUNT> _tables;
std::array<std::string, TABLE_COUNT> _bufs;
std::atomic<int> _loaded{0};

uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Line ends in the buffer: LF, CR, and CR LF counted once. The table gets twice as many
// slots as lines, so it is never more than half full whichever line end a file uses.
size_t count_lines(const std::string& buf) {
    size_t count = 0;
    for (size_t i = 0; i < buf.size(); i++) {
        if (buf[i] == '\n') {
            count++;
        } else if (buf[i] == '\r' && (i + 1 >= buf.size() || buf[i + 1] != '\n')) {
            count++;
        }
    }
    return count;
}

void table_init(OVK_VTABLE& t, size_t expected) {
    size_t cap = 16;
    while (cap < 2 * expected) cap <<= 1;
    t.keys.assign(cap, 0);
    t.vals.assign(cap, nullptr);
    t.cap = cap;
    t.n = 0;
}

void table_put(OVK_VTABLE& t, uint64_t key, const char* val) {
    size_t mask = t.cap - 1;
    size_t i = static_cast<size_t>(mix(key)) & mask;
    for (size_t probes = 0; probes < t.cap; probes++, i = (i + 1) & mask) {
        if (!t.vals[i]) {
            t.keys[i] = key;
            t.vals[i] = val;
            t.n++;
            return;
        }
        if (t.keys[i] == key) {
            t.vals[i] = val;  // the later line wins
            return;
        }
    }
}

const char* table_get(const OVK_VTABLE& t, uint64_t key) {
    if (t.cap == 0) return nullptr;
    size_t mask = t.cap - 1;
    size_t i = static_cast<size_t>(mix(key)) & mask;
    for (size_t probes = 0; probes < t.cap; probes++, i = (i + 1) & mask) {
        if (!t.vals[i]) return nullptr;
        if (t.keys[i] == key) return t.vals[i];
    }
    return nullptr;
}

// A whole field read as base 16 the way strtoull does: leading white space, an optional
// sign and "0x", then hex digits up to the end of the field. Overflow saturates.
bool parse_hex_number(std::string_view f, uint64_t& out) {
    size_t i = 0;
    while (i < f.size() && (f[i] == ' ' || (f[i] >= '\t' && f[i] <= '\r'))) i++;
    bool neg = false;
    if (i < f.size() && (f[i] == '+' || f[i] == '-')) {
        neg = f[i] == '-';
        i++;
    }
    if (i + 2 < f.size() && f[i] == '0' && (f[i + 1] == 'x' || f[i + 1] == 'X') &&
        hex_value(static_cast<unsigned char>(f[i + 2])) >= 0) {
        i += 2;
    }
    size_t start = i;
    uint64_t v = 0;
    bool overflow = false;
    for (; i < f.size(); i++) {
        int h = hex_value(static_cast<unsigned char>(f[i]));
        if (h < 0) return false;
        if (v > (UINT64_MAX >> 4)) overflow = true;
        v = (v << 4) | static_cast<uint64_t>(h);
    }
    if (i == start) return false;
    if (overflow) {
        out = UINT64_MAX;
    } else {
        out = neg ? (~v + 1) : v;
    }
    return true;
}

// 1 to 15 hex digits, nothing else: the value OR'd with the digit count in the top 4 bits.
bool parse_block_key(std::string_view f, uint64_t& out) {
    if (f.empty() || f.size() > OUI_MAX_DIGITS) return false;
    uint64_t v = 0;
    for (char c : f) {
        int h = hex_value(static_cast<unsigned char>(c));
        if (h < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(h);
    }
    out = v | (static_cast<uint64_t>(f.size()) << 60);
    return true;
}

// Parses one line [s, e) of table `which`; buf[e] is already a zero byte.
void parse_line(OVK_VTABLE& t, int which, char* s, char* e) {
    if (s == e || *s == '#') return;
    char* tab = s;
    while (tab < e && *tab != '\t') tab++;
    if (tab == e) return;
    std::string_view key(s, static_cast<size_t>(tab - s));
    uint64_t k = 0;
    switch (static_cast<TableIndex>(which)) {
        case T_OUI:
            if (!parse_block_key(key, k)) return;
            break;
        case T_COMPANY:
        case T_UUID:
            if (key.empty() || !parse_hex_number(key, k)) return;
            break;
        case T_APPEARANCE: {
            char* tab2 = tab + 1;
            while (tab2 < e && *tab2 != '\t') tab2++;
            if (tab2 == e) return;  // no name field
            std::string_view sub(tab + 1, static_cast<size_t>(tab2 - tab - 1));
            uint64_t cat = 0;
            uint64_t subv = 0;
            if (!parse_hex_number(key, cat)) return;
            if (sub == "-") {
                subv = APPEARANCE_SELF;
            } else if (!parse_hex_number(sub, subv)) {
                return;
            }
            // a subcategory wider than 8 bits would land on another category's key
            if (subv > 0xFF || cat > (UINT64_MAX >> 8)) return;
            char* name = tab2 + 1;
            char* tab3 = name;
            while (tab3 < e && *tab3 != '\t') tab3++;
            *tab3 = '\0';
            *tab = '\0';
            *tab2 = '\0';
            table_put(t, (cat << 8) | subv, name);
            return;
        }
    }
    *tab = '\0';
    table_put(t, k, tab + 1);
}

void parse_table(OVK_VTABLE& t, int which, std::string& buf) {
    table_init(t, count_lines(buf) + 1);
    char* p = buf.data();
    char* end = p + buf.size();  // *end is the string's own terminator
    while (p < end) {
        char* e = p;
        while (e < end && *e != '\n' && *e != '\r') e++;
        *e = '\0';
        parse_line(t, which, p, e);
        p = e + 1;
    }
}

void unload_locked() {
    _loaded.store(0, std::memory_order_release);
    for (auto& t : _tables) t = OVK_VTABLE{};
    for (auto& b : _bufs) std::string().swap(b);
}

int load_locked(const OVK_ASSET_READER& read_asset) {
    if (_loaded.load(std::memory_order_acquire)) return 0;
    OVK_CHECK(read_asset, -1);
    for (int i = 0; i < TABLE_COUNT; i++) {
        std::optional<std::string> data;
        try {
            data = read_asset(FILES[i]);
        } catch (const std::bad_alloc&) {
            zq_log(LOG_ERR, "vendor tables: out of memory");
            unload_locked();
            return -1;
        } catch (...) {
            data.reset();
        }
        if (!data) {
            zq_log(LOG_ERR, "vendor table %s could not be read", FILES[i]);
            unload_locked();
            return -1;
        }
        _bufs[i] = std::move(*data);
    }
    try {
        for (int i = 0; i < TABLE_COUNT; i++) parse_table(_tables[i], i, _bufs[i]);
    } catch (const std::bad_alloc&) {
        zq_log(LOG_ERR, "vendor tables: out of memory");
        unload_locked();
        return -1;
    }
    _loaded.store(1, std::memory_order_release);
    zq_log(LOG_INFO, "vendor tables loaded: %zu OUI, %zu companies, %zu UUIDs, %zu appearances",
           _tables[T_OUI].n, _tables[T_COMPANY].n, _tables[T_UUID].n, _tables[T_APPEARANCE].n);
    return 0;
}

bool loaded() {
    return _loaded.load(std::memory_order_acquire) != 0;
}

// ---- The IEEE registry's CSV files ----

// One row of a CSV file: its first three fields (RFC 4180 quoting: a quoted field may hold
// commas, line ends and "" for a quote). `at` moves past the row's line end.
struct CSV_ROW {
    std::array<std::string, 3> f;
    size_t n = 0;  // fields seen (counting beyond three)
};

CSV_ROW csv_row(std::string_view t, size_t& at) {
    CSV_ROW row;
    std::string cur;
    bool quoted = false;
    auto end_field = [&] {
        if (row.n < row.f.size()) row.f[row.n] = std::move(cur);
        ++row.n;
        cur.clear();
    };
    while (at < t.size()) {
        const char c = t[at++];
        if (quoted) {
            if (c != '"') {
                if (row.n < row.f.size()) cur += c;
            } else if (at < t.size() && t[at] == '"') {
                if (row.n < row.f.size()) cur += '"';
                ++at;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            end_field();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && at < t.size() && t[at] == '\n') ++at;
            break;
        } else if (row.n < row.f.size()) {
            cur += c;
        }
    }
    end_field();
    return row;
}

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8_len(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = 0;
    unsigned cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// One line of printable text: white space, control characters (C0, DEL, C1) and no-break
// spaces become one blank, runs of blanks one, ends trimmed; invalid UTF-8 becomes U+FFFD.
std::string clean_name(std::string_view s) {
    std::string out;
    bool blank = false;
    auto put_blank = [&] { blank = !out.empty(); };
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            if (c <= 0x20 || c == 0x7F) {
                put_blank();
                continue;
            }
            if (blank) out += ' ';
            blank = false;
            out += static_cast<char>(c);
            continue;
        }
        const size_t n = utf8_len(s, i);
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0xA0) {
            i += 2;  // C1 control or no-break space
            put_blank();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

bool all_hex(std::string_view s) {
    for (char c : s)
        if (hex_value(static_cast<unsigned char>(c)) < 0) return false;
    return !s.empty();
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

OVK_IEEE_TABLE ovk_vendordb_from_ieee(std::span<const OVK_IEEE_CSV> files) {
    OVK_IEEE_TABLE out;
    try {
        std::unordered_set<std::string> seen;
        for (const OVK_IEEE_CSV& file : files) {
            if (file.digits < 1 || file.digits > static_cast<int>(OUI_MAX_DIGITS)) continue;
            size_t at = 0;
            const CSV_ROW header = csv_row(file.text, at);
            if (trim(header.f[0]) != "Registry") continue;
            while (at < file.text.size()) {
                const CSV_ROW row = csv_row(file.text, at);
                if (row.n < 3) continue;
                std::string prefix(trim(row.f[1]));
                for (char& c : prefix)
                    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
                if (prefix.size() != static_cast<size_t>(file.digits) || !all_hex(prefix)) continue;
                const std::string name = clean_name(row.f[2]);
                if (name.empty() || !seen.insert(prefix).second) continue;
                out.tsv += prefix;
                out.tsv += '\t';
                out.tsv += name;
                out.tsv += '\n';
                ++out.blocks;
            }
        }
    } catch (const std::bad_alloc&) {
        zq_log(LOG_ERR, "vendor tables: out of memory");
        return {};
    }
    return out;
}

std::optional<long> ovk_vendordb_listing_day(std::string_view table) {
    // Only the comment lines at the top are looked at.
    size_t at = 0;
    while (at < table.size() && table[at] == '#') {
        const size_t end = std::min(table.find('\n', at), table.size());
        const std::string_view line = table.substr(at, end - at);
        const size_t k = line.find("IEEE listing of ");
        if (k != std::string_view::npos && k + 26 <= line.size()) {
            const std::string_view d = line.substr(k + 16, 10);
            int y = 0, m = 0, dd = 0;
            bool ok = d[4] == '-' && d[7] == '-';
            for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) ok = ok && d[i] >= '0' && d[i] <= '9';
            if (ok) {
                y = (d[0] - '0') * 1000 + (d[1] - '0') * 100 + (d[2] - '0') * 10 + (d[3] - '0');
                m = (d[5] - '0') * 10 + (d[6] - '0');
                dd = (d[8] - '0') * 10 + (d[9] - '0');
            }
            if (ok && m >= 1 && m <= 12 && dd >= 1 && dd <= 31) {
                // Days from the civil date (proleptic Gregorian calendar).
                const int yy = y - (m <= 2);
                const int era = yy / 400;
                const int yoe = yy - era * 400;
                const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
                const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
                return static_cast<long>(era) * 146097 + doe - 719468;
            }
        }
        at = end + 1;
    }
    return std::nullopt;
}

int ovk_vendordb_load(const OVK_ASSET_READER& read_asset) {
    std::lock_guard<std::mutex> g(_lock);
    return load_locked(read_asset);
}

int ovk_vendordb_load() {
    return ovk_vendordb_load(
        OVK_ASSET_READER([](std::string_view name) { return ovk_read_asset(name); }));
}

int ovk_vendordb_loaded() {
    return loaded() ? 1 : 0;
}

void ovk_vendordb_unload() {
    std::lock_guard<std::mutex> g(_lock);
    unload_locked();
}

const char* ovk_vendor_mac(std::string_view mac) {
    if (mac.empty() || !loaded()) return nullptr;
    char digits[MAC_MAX_CHARS];
    size_t n = 0;
    for (char c : mac) {
        if (c == ':') continue;
        if (n == MAC_MAX_CHARS) break;
        digits[n++] = c;
    }
    if (n < 6) return nullptr;
    int first = hex_value(static_cast<unsigned char>(digits[0]));
    int second = hex_value(static_cast<unsigned char>(digits[1]));
    if (first < 0 || second < 0 || (second & 0x2)) return nullptr;
    for (size_t len : {size_t{9}, size_t{7}, size_t{6}}) {
        if (len > n) len = n;
        uint64_t key = 0;
        if (!parse_block_key(std::string_view(digits, len), key)) continue;
        if (const char* v = table_get(_tables[T_OUI], key)) return v;
    }
    return nullptr;
}

const char* ovk_vendor_company(int cid) {
    // 0xFFFF is the Bluetooth SIG's placeholder for "no company" (prototypes, hobby
    // firmware): it names nobody.
    if (cid < 0 || cid == OVK_COMPANY_NONE || !loaded()) return nullptr;
    return table_get(_tables[T_COMPANY], static_cast<uint64_t>(cid));
}

const char* ovk_vendor_uuid16(int short_uuid) {
    if (short_uuid < 0 || !loaded()) return nullptr;
    return table_get(_tables[T_UUID], static_cast<uint64_t>(short_uuid));
}

std::optional<std::string> ovk_vendor_appearance(int value) {
    if (value < 0 || !loaded()) return std::nullopt;
    try {
        uint64_t cat = static_cast<uint64_t>(value) >> 6;
        uint64_t sub = static_cast<uint64_t>(value) & 0x3F;
        const char* cname = table_get(_tables[T_APPEARANCE], (cat << 8) | APPEARANCE_SELF);
        if (!cname) return std::nullopt;
        std::string out = cname;
        if (sub != 0) {
            if (const char* sname = table_get(_tables[T_APPEARANCE], (cat << 8) | sub)) {
                out += " - ";
                out += sname;
            }
        }
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

size_t ovk_vendordb_oui_count() {
    return loaded() ? _tables[T_OUI].n : 0;
}

OVK_VENDORDB_COUNTS ovk_vendordb_counts() {
    OVK_VENDORDB_COUNTS c;
    if (!loaded()) return c;
    c.oui = _tables[T_OUI].n;
    c.companies = _tables[T_COMPANY].n;
    c.uuids = _tables[T_UUID].n;
    c.appearances = _tables[T_APPEARANCE].n;
    return c;
}
