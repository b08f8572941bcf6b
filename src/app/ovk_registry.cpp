// SPDX-License-Identifier: GPL-3.0-or-later
// Device registry.
//
// Index:
//   1. Storage: growing rings for history and path, packed advertisements, the entry record
//   2. Registry state and its indexes (address table, eviction order, fingerprint groups)
//   3. Report merging
//   4. Rotation linking
//   5. Co-location, following
//   6. Snapshots and the public functions
//
// Every entry sits in three indexes besides the address table:
//   - the table order, an intrusive list in creation order (snapshot and sibling order);
//   - one of two eviction sets ordered by (last_seen, update sequence): entries without
//     verdicts and entries with verdicts. A new address in a full table evicts the first
//     entry of the first non-empty set in O(log n);
//   - when it has an advertisement fingerprint, its fingerprint group: the entries with the
//     same fingerprint text ordered by last_seen, so finding "exactly one silent entry with
//     this fingerprint, last seen 1.5 to 30 s ago" is a range lookup instead of a table scan;
//   - once it has a patrol-kit role, the role list (table order), which is all the
//     co-location regrouping walks.
#include "ovk_registry.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_fingerprint.h"
#include "ovk_geo.h"
#include "ovk_intel.h"
#include "ovk_lock.h"
#include "ovk_store.h"
#include "ovk_util.h"
#include "ovk_wififp.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Storage
// ---------------------------------------------------------------------------------------

constexpr int64_t kSmoothGapMs = 10000;  // a longer silence restarts the smoothing
constexpr double kSmoothAlpha = 0.3;
constexpr int64_t kHistoryStepMs = 1000;
constexpr int64_t kPathStepMs = 45000;
constexpr int64_t kHoldMs = 120000;
constexpr int64_t kRotMinGapMs = 1500;
constexpr int64_t kRotMaxGapMs = 30000;
constexpr int64_t kClusterEveryMs = 2000;
constexpr int64_t kLiveMs = 60000;     // co-location members must be this fresh
constexpr int64_t kWindowMs = 120000;  // and only this much of their history matters
constexpr size_t kNameMax = 95;
constexpr size_t kVendorMax = 127;
constexpr size_t kRoleMax = 47;
constexpr size_t kFingerprintMax = 512;
constexpr size_t kSiblingTypeMax = 159;
const char* const kDefaultType = "Device";

// A ring of at most CAP values whose storage grows with use (doubling, capped at CAP)
// instead of being reserved up front: most devices are heard a handful of times. Sixteen
// bytes when empty, half a vector and its head (a hundred thousand entries hold two each).
template <class T, size_t CAP>
class RING {
    static_assert(CAP <= UINT16_MAX && std::is_trivially_copyable_v<T>);

  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& back() const { return at(size_ - 1u); }
    const T& front() const { return at(0); }
    const T& at(size_t i) const { return buf_[(head_ + i) % size_]; }
    size_t capacity() const { return cap_; }

    // Appends, dropping the oldest value when CAP values are stored. May throw bad_alloc,
    // leaving the ring as it was.
    void push(const T& v) {
        if (size_ < CAP) {
            if (size_ == cap_) {
                const size_t cap = std::min(CAP, std::max<size_t>(2, size_t{cap_} * 2));
                auto grown = std::make_unique_for_overwrite<T[]>(cap);
                std::copy_n(buf_.get(), size_, grown.get());  // head_ is 0 until full
                buf_ = std::move(grown);
                cap_ = static_cast<uint16_t>(cap);
            }
            buf_[size_++] = v;
            return;
        }
        buf_[head_] = v;
        head_ = static_cast<uint16_t>((head_ + 1u) % CAP);
    }

    std::vector<T> copy() const {
        std::vector<T> out;
        out.reserve(size_);
        for (size_t i = 0; i < size_; i++) out.push_back(at(i));
        return out;
    }

  private:
    std::unique_ptr<T[]> buf_;
    uint16_t size_ = 0;
    uint16_t cap_ = 0;
    uint16_t head_ = 0;  // index of the oldest value once the ring is full
};

// An advertisement kept packed: every field of the latest copy in one immutable buffer
// (lengths and small numbers as varints), about a third of the parsed record with its
// strings and vectors. Unpacked only when someone looks at it (the detail's advert view,
// judging it again), which is rare beside the reports that replace it.
class PACKED_ADVERT {
  public:
    PACKED_ADVERT() = default;
    // May throw bad_alloc.
    static PACKED_ADVERT pack(const OVK_ADVERT& a);
    // The advertisement as it was packed; nullopt for an empty value.
    std::optional<OVK_ADVERT> unpack() const;
    explicit operator bool() const { return static_cast<bool>(buf_); }

  private:
    // The packed size (4 bytes, little-endian), then the fields.
    std::shared_ptr<const uint8_t[]> buf_;
};

void _put_var(std::vector<uint8_t>& o, uint64_t v) {
    while (v >= 0x80) {
        o.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    o.push_back(static_cast<uint8_t>(v));
}
void _put_int(std::vector<uint8_t>& o, int64_t v) {  // zigzag
    _put_var(o, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}
void _put_bytes(std::vector<uint8_t>& o, std::span<const uint8_t> b) {
    _put_var(o, b.size());
    o.insert(o.end(), b.begin(), b.end());
}
void _put_str(std::vector<uint8_t>& o, std::string_view s) {
    _put_bytes(o, {reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}
void _put_opt(std::vector<uint8_t>& o, const std::optional<std::string>& s) {
    o.push_back(s ? 1 : 0);
    if (s) _put_str(o, *s);
}
void _put_uuid(std::vector<uint8_t>& o, const OVK_UUID& u) {
    o.insert(o.end(), u.b.begin(), u.b.end());
}

// Reads what _put_* wrote; any read past the end fails the whole unpacking.
struct UNPACKER {
    std::span<const uint8_t> in;
    size_t at = 0;
    bool ok = true;

    uint64_t var() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at >= in.size()) break;
            const uint8_t b = in[at++];
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        ok = false;
        return 0;
    }
    int64_t sint() {
        const uint64_t z = var();
        return static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1));
    }
    int i32() { return static_cast<int>(sint()); }
    std::span<const uint8_t> take(size_t n) {
        if (!ok || n > in.size() - at) {
            ok = false;
            return {};
        }
        const auto s = in.subspan(at, n);
        at += n;
        return s;
    }
    std::vector<uint8_t> bytes() {
        const auto s = take(var());
        return {s.begin(), s.end()};
    }
    std::string str() {
        const auto s = take(var());
        return {reinterpret_cast<const char*>(s.data()), s.size()};
    }
    std::optional<std::string> opt() {
        const auto f = take(1);
        if (f.empty() || !f[0]) return std::nullopt;
        return str();
    }
    OVK_UUID uuid() {
        OVK_UUID u;
        const auto s = take(u.b.size());
        if (!s.empty()) std::copy(s.begin(), s.end(), u.b.begin());
        return u;
    }
    // A count of items that each take at least one byte: never more than what is left.
    size_t count() {
        const uint64_t n = var();
        if (n > in.size() - at) ok = false;
        return ok ? static_cast<size_t>(n) : 0;
    }
};

PACKED_ADVERT PACKED_ADVERT::pack(const OVK_ADVERT& a) {
    // Reused from call to call: the packing itself allocates only the result.
    thread_local std::vector<uint8_t> o;
    o.clear();
    _put_str(o, a.mac);
    _put_int(o, a.source);
    _put_int(o, a.rssi);
    _put_opt(o, a.name);
    _put_var(o, a.mfg.size());
    for (const OVK_MFG& m : a.mfg) {
        _put_var(o, m.cid);
        _put_bytes(o, m.data);
    }
    _put_var(o, a.uuids.size());
    for (const OVK_UUID& u : a.uuids) _put_uuid(o, u);
    _put_var(o, a.svc.size());
    for (const OVK_SVCDATA& s : a.svc) {
        _put_uuid(o, s.uuid);
        _put_bytes(o, s.data);
    }
    _put_bytes(o, a.raw);
    _put_int(o, a.has_tx_power);
    _put_int(o, a.tx_power);
    _put_int(o, a.addr_type);
    _put_int(o, a.connectable);
    _put_str(o, a.phy);
    _put_int(o, a.freq_mhz);
    _put_opt(o, a.caps);
    _put_opt(o, a.standard);
    _put_var(o, a.ies.size());
    for (const OVK_IE& ie : a.ies) {
        _put_int(o, ie.id);
        _put_bytes(o, ie.data);
    }
    _put_int(o, a.timestamp);
    if (o.size() > UINT32_MAX - 4) throw std::bad_alloc();
    const auto n = static_cast<uint32_t>(o.size());
    auto buf = std::make_shared_for_overwrite<uint8_t[]>(o.size() + 4);
    for (int i = 0; i < 4; i++) buf[i] = static_cast<uint8_t>(n >> (8 * i));
    std::copy(o.begin(), o.end(), buf.get() + 4);
    PACKED_ADVERT p;
    p.buf_ = std::move(buf);
    return p;
}

std::optional<OVK_ADVERT> PACKED_ADVERT::unpack() const {
    if (!buf_) return std::nullopt;
    uint32_t n = 0;
    for (int i = 0; i < 4; i++) n |= static_cast<uint32_t>(buf_[i]) << (8 * i);
    UNPACKER u{{buf_.get() + 4, n}};
    OVK_ADVERT a;
    a.mac = u.str();
    a.source = static_cast<OVK_SOURCE>(u.i32());
    a.rssi = u.i32();
    a.name = u.opt();
    a.mfg.resize(u.count());
    for (OVK_MFG& m : a.mfg) {
        m.cid = static_cast<uint16_t>(u.var());
        m.data = u.bytes();
    }
    a.uuids.resize(u.count());
    for (OVK_UUID& x : a.uuids) x = u.uuid();
    a.svc.resize(u.count());
    for (OVK_SVCDATA& s : a.svc) {
        s.uuid = u.uuid();
        s.data = u.bytes();
    }
    a.raw = u.bytes();
    a.has_tx_power = u.i32();
    a.tx_power = u.i32();
    a.addr_type = static_cast<OVK_ADDR_TYPE>(u.i32());
    a.connectable = u.i32();
    a.phy = u.str();
    a.freq_mhz = u.i32();
    a.caps = u.opt();
    a.standard = u.opt();
    a.ies.resize(u.count());
    for (OVK_IE& ie : a.ies) {
        ie.id = u.i32();
        ie.data = u.bytes();
    }
    a.timestamp = u.sint();
    if (!u.ok || u.at != u.in.size()) return std::nullopt;
    return a;
}

struct TRACK;

// Position of an entry in an ordered index.
struct SEEN_KEY {
    int64_t last_seen;
    uint64_t seq;  // update sequence: ties go to the least recently updated entry
    TRACK* t;
    bool operator<(const SEEN_KEY& o) const {
        return last_seen != o.last_seen ? last_seen < o.last_seen : seq < o.seq;
    }
};
using SEEN_SET = std::set<SEEN_KEY>;

// Entries sharing one fingerprint text (the map key). Most texts belong to one entry, which
// is kept without an ordered set of its own; once a second entry shares the text, all of
// them are ordered by last_seen.
struct FP_GROUP {
    TRACK* one = nullptr;               // the only entry, while by_seen is null
    std::unique_ptr<SEEN_SET> by_seen;  // never emptied into `one` again
};
using FP_INDEX = std::unordered_map<std::string, FP_GROUP>;

// What few entries have: a held verdict, a patrol-kit role, a link to the address before a
// rotation. Made when first needed, so that the many devices heard in passing do without.
struct TRACK_MORE {
    std::string role;
    std::string linked_from;
    OVK_HITS inherited;
    std::unique_ptr<OVK_HIT> held;  // has_held
    int64_t held_until = 0;
    // The advertisement that last gave the held verdict, to judge it again when the address
    // says more about itself.
    PACKED_ADVERT held_from;
};
const TRACK_MORE kNoMore;

// One device. Fields are grouped by size so that the record (a hundred thousand of them in
// a city) wastes no padding.
struct TRACK {
    std::string mac;
    std::string name;
    std::string vendor;
    PACKED_ADVERT advert;  // the latest
    OVK_IDENTITY identity{kDefaultType, {}};
    OVK_HITS hits;
    double smooth = 0;
    double distance = 0;
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    RING<OVK_RSSI_SAMPLE, OVK_HISTORY_MAX> history;
    RING<OVK_GEO, OVK_PATH_MAX> path;
    std::shared_ptr<const OVK_REMOTE_ID> rid;  // immutable: summaries share it
    std::unique_ptr<OVK_RID_TRACK> rid_track;  // what its Remote ID said before
    std::shared_ptr<const OVK_KNOWN> known;    // immutable: summaries share it
    OVK_GEO best_pos;
    std::unique_ptr<TRACK_MORE> more_;  // read through more(), made by more_mut()
    OVK_HEARD heard;                    // the names and services this address has sent
    // The summary shared snapshots hand out (without the store's marks); made when a
    // snapshot asks for it, dropped whenever the entry changes.
    std::shared_ptr<const OVK_DEVICE> sum;

    // Index bookkeeping.
    FP_INDEX::value_type* fp = nullptr;  // has_fp; the key is the fingerprint text
    SEEN_SET::iterator fp_pos;           // valid when fp is set and its group is ordered
    SEEN_SET::iterator evict_pos;        // valid when linked
    uint64_t seq = 0;
    uint64_t order = 0;     // creation number: the table order
    TRACK* prev = nullptr;  // table order
    TRACK* next = nullptr;

    OVK_SOURCE source = OVK_SRC_BLE;             // of the latest advertisement
    OVK_ADDR_TYPE addr_type = OVK_ADDR_UNKNOWN;  // of the latest advertisement
    int rssi = -127;
    int best_rssi = -127;
    int sightings = 0;
    uint8_t sources = 0;  // 1 = heard on BLE, 2 = heard on Wi-Fi
    uint8_t has_name = 0;
    uint8_t has_smooth = 0;
    uint8_t following = 0;
    uint8_t has_best_pos = 0;
    bool in_flagged = false;  // which eviction set holds evict_pos
    bool linked = false;
    bool in_roles = false;  // listed in REGISTRY::roles

    const TRACK_MORE& more() const { return more_ ? *more_ : kNoMore; }
    // May throw bad_alloc, leaving the entry as it was.
    TRACK_MORE& more_mut() {
        if (!more_) more_ = std::make_unique<TRACK_MORE>();
        return *more_;
    }
    bool has_verdicts() const { return !hits.empty() || !more().inherited.empty(); }
};

// ---------------------------------------------------------------------------------------
// 2. Registry state
// ---------------------------------------------------------------------------------------

struct COLOC {
    std::vector<OVK_PATROL_MEMBER> members;
    std::vector<OVK_PATROL_GROUP> groups;
    int64_t at = 0;
};

struct REGISTRY {
    OVK_LOCK mu{"registry"};
    bool made = false;
    // Keys view the entry's own mac, which lives as long as the entry.
    std::unordered_map<std::string_view, std::unique_ptr<TRACK>> table;
    TRACK* head = nullptr;
    TRACK* tail = nullptr;
    SEEN_SET plain;    // entries without verdicts, least recently seen first
    SEEN_SET flagged;  // entries with verdicts
    FP_INDEX fps;
    // Entries with a patrol-kit role, in table order: the only ones the co-location
    // grouping looks at.
    std::map<uint64_t, TRACK*> roles;
    uint64_t seq = 0;
    uint64_t created = 0;
    int64_t session_start = 0;
    unsigned serial = 0;
    COLOC coloc;
    size_t max_entries = OVK_REGISTRY_MAX_ENTRIES;
    // What the remembered devices keep of the entries dropped as stale, until the next walk
    // of the rows takes it: a flat-out replay moves the clock past the 180 s in less time
    // than the history flush waits.
    std::vector<OVK_KNOWN> departed;
};

REGISTRY& R() {
    static REGISTRY r;
    return r;
}

// Adapters over the modules this one calls.
// A copy the size of the text. Copying into an empty string instead reserves at least twice
// the inline room (31 bytes for a 17-character address), and every entry and every summary
// keeps several of these.
std::string _exact(const std::string& s) {
    return s;
}

std::string _fingerprint(const OVK_ADVERT& a) {
    std::string fp;
    if (!ovk_advert_fingerprint(&a, fp, kFingerprintMax)) fp.clear();
    return fp;
}
bool _may_rotate(const OVK_ADVERT& a) {
    return ovk_advert_may_rotate(&a) == 1;
}
bool _whitelisted(const std::string& mac) {
    return ovk_store_is_whitelisted(mac) == 1;
}
bool _favorite(const std::string& mac) {
    return ovk_store_is_favorite(mac) == 1;
}

bool _is_coloc(const OVK_HIT& h) {
    return h.source == OVK_PATROL_SOURCE;
}

// Puts the entry at its place in the eviction order (after last_seen or verdicts changed).
// Node handles are reused, so moving an entry allocates nothing.
void _reindex(REGISTRY& r, TRACK& t) {
    t.seq = ++r.seq;
    SEEN_KEY key{t.last_seen, t.seq, &t};
    bool flagged = t.has_verdicts();
    if (t.linked) {
        SEEN_SET& from = t.in_flagged ? r.flagged : r.plain;
        SEEN_SET& to = flagged ? r.flagged : r.plain;
        auto nh = from.extract(t.evict_pos);
        nh.value() = key;
        t.evict_pos = to.insert(std::move(nh)).position;
    } else {
        t.evict_pos = (flagged ? r.flagged : r.plain).insert(key).first;
        t.linked = true;
    }
    t.in_flagged = flagged;
    if (t.fp && t.fp->second.by_seen) {
        SEEN_SET& g = *t.fp->second.by_seen;
        auto nh = g.extract(t.fp_pos);
        nh.value() = key;
        t.fp_pos = g.insert(std::move(nh)).position;
    }
}

// Removes an entry from every index and frees it. Never throws.
void _drop(REGISTRY& r, TRACK* t) {
    if (t->linked) (t->in_flagged ? r.flagged : r.plain).erase(t->evict_pos);
    if (t->in_roles) r.roles.erase(t->order);
    if (t->fp) {
        FP_GROUP& g = t->fp->second;
        if (g.by_seen) g.by_seen->erase(t->fp_pos);
        if (!g.by_seen || g.by_seen->empty()) r.fps.erase(t->fp->first);
        t->fp = nullptr;
    }
    if (t->prev)
        t->prev->next = t->next;
    else if (r.head == t)
        r.head = t->next;
    if (t->next)
        t->next->prev = t->prev;
    else if (r.tail == t)
        r.tail = t->prev;
    r.table.erase(std::string_view(t->mac));  // frees the entry
}

void _drop_all(REGISTRY& r) {
    r.table.clear();
    r.departed.clear();
    r.plain.clear();
    r.flagged.clear();
    r.fps.clear();
    r.roles.clear();
    r.head = r.tail = nullptr;
    r.coloc = COLOC{};
}

TRACK* _find(REGISTRY& r, std::string_view mac) {
    auto it = r.table.find(mac);
    return it == r.table.end() ? nullptr : it->second.get();
}

// Frees the least recently seen entry without verdicts, else the least recently seen one.
bool _evict_one(REGISTRY& r) {
    SEEN_SET& s = !r.plain.empty() ? r.plain : r.flagged;
    if (s.empty()) return false;
    _drop(r, s.begin()->t);
    return true;
}

// ---------------------------------------------------------------------------------------
// 3. Report merging
// ---------------------------------------------------------------------------------------

// The code point of the valid `len`-byte UTF-8 sequence at s[i].
uint32_t _code_point(std::string_view s, size_t i, size_t len) {
    const auto b = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(s[i + k]));
    };
    if (len == 1) return b(0);
    if (len == 2) return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    if (len == 3) return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

// Marks that stack on the letter before them (the generic diacritic blocks).
bool _is_stacking_mark(uint32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
           (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F);
}

// Controls that turn the direction of the text after them.
bool _is_bidi_control(uint32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

// Line breaks and other controls (C0, DEL, C1, the Unicode line and paragraph separators).
bool _is_control(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Text every screen, log and export can show as one line: bytes that are not UTF-8 dropped,
// controls turned into spaces, direction controls dropped, and at most kMarksMax stacking
// marks kept on a letter.
constexpr int kMarksMax = 2;
std::string _safe_text(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    int marks = 0;
    for (size_t i = 0; i < in.size();) {
        const size_t len = ovk_utf8_seq_len(in, i);
        if (len == 0) {
            ++i;
            continue;
        }
        const uint32_t c = _code_point(in, i, len);
        const std::string_view seq = in.substr(i, len);
        i += len;
        if (_is_bidi_control(c)) continue;
        if (_is_stacking_mark(c)) {
            if (++marks <= kMarksMax) out.append(seq);
            continue;
        }
        marks = 0;
        if (_is_control(c))
            out += ' ';
        else
            out.append(seq);
    }
    return out;
}

// At most `max` bytes of the UTF-8 text `s`, never ending inside a character.
std::string _cut_text(std::string_view s, size_t max) {
    if (s.size() <= max) return std::string(s);
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string(s.substr(0, n));
}

// Made safe to show, leading white space skipped, at most 255 bytes, trailing white space
// stripped, and one pair of enclosing double quotes dropped.
std::string _clean_name(std::string_view raw) {
    const std::string safe = _safe_text(raw);
    const std::string_view in(safe);
    size_t i = 0;
    while (i < in.size() && ovk_is_ws(static_cast<unsigned char>(in[i]))) i++;
    std::string s = _cut_text(in.substr(i), 255);
    while (!s.empty() && ovk_is_ws(static_cast<unsigned char>(s.back()))) s.pop_back();
    if (s.size() > 1 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

void _merge_hits(TRACK& t, const OVK_HITS& hits, int64_t now) {
    const OVK_HIT* top = nullptr;
    for (const OVK_HIT& h : hits) {
        if (!_is_coloc(h)) {
            top = &h;
            break;
        }
    }
    if (top) {
        TRACK_MORE& m = t.more_mut();
        if (!m.held || m.held_until < now || m.held->confidence <= top->confidence) {
            if (m.held)
                *m.held = *top;
            else
                m.held = std::make_unique<OVK_HIT>(*top);
        }
        if (top->label == m.held->label) {
            m.held_until = now + kHoldMs;
            m.held_from = t.advert;
        }
    }
    t.hits = hits;
    const TRACK_MORE& m = t.more();
    if (m.held && now <= m.held_until && ovk_hits_find_label(hits, m.held->label) < 0)
        t.hits.push_back(*m.held);
    ovk_hits_sort(t.hits);
}

void _merge(TRACK& t, const OVK_ADVERT& a, const OVK_HITS& hits, const OVK_IDENTITY* id,
            std::string_view vendor, const OVK_REMOTE_ID* rid, const OVK_GEO* loc, int64_t now) {
    if (auto role = ovk_patrol_role(hits, vendor, a.name ? std::string_view(*a.name) : ""))
        t.more_mut().role = ovk_cut(*role, kRoleMax);

    t.sources |= a.source == OVK_SRC_WIFI ? 2 : 1;
    try {
        t.advert = PACKED_ADVERT::pack(a);
        t.source = a.source;
        t.addr_type = a.addr_type;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, t.advert);  // the previous copy stays
    }
    ovk_heard_note(t.heard, a);

    if (a.name) {
        std::string n = _clean_name(*a.name);
        if (!n.empty()) {
            t.name = _cut_text(n, kNameMax);
            t.has_name = 1;
        }
    }
    if (!vendor.empty()) t.vendor = ovk_cut(vendor, kVendorMax);

    // A report that tells less never overwrites a richer identity.
    if (id && (id->facts.size() >= t.identity.facts.size() || t.identity.type == kDefaultType)) {
        if (t.identity.type != id->type) t.identity.type = _exact(id->type);
        t.identity.facts = id->facts;
    }

    _merge_hits(t, hits, now);

    if (rid) t.rid = std::make_shared<const OVK_REMOTE_ID>(*rid);

    int raw = a.rssi;
    if (t.has_smooth && now - t.last_seen <= kSmoothGapMs)
        t.smooth = t.smooth + kSmoothAlpha * (raw - t.smooth);
    else
        t.smooth = raw;
    t.has_smooth = 1;
    t.rssi = static_cast<int>(std::floor(t.smooth + 0.5));

    if (loc && (raw >= t.best_rssi || !t.has_best_pos)) {
        t.best_pos = *loc;
        t.has_best_pos = 1;
    }
    t.best_rssi = std::max(t.best_rssi, raw);

    t.distance = ovk_distance_m(&a, t.smooth);
    t.sightings++;
    t.last_seen = now;

    if (t.history.empty() || now - t.history.back().time >= kHistoryStepMs)
        t.history.push({now, raw});
    if (loc && (t.path.empty() || now - t.path.back().time >= kPathStepMs)) t.path.push(*loc);
}

// ---------------------------------------------------------------------------------------
// 4. Rotation linking
// ---------------------------------------------------------------------------------------

// The only entry with this fingerprint that fell silent 1.5 to 30 s ago, or nullptr when
// there is none or more than one.
TRACK* _rot_candidate(REGISTRY& r, const std::string& fp, int64_t now) {
    auto g = r.fps.find(fp);
    if (g == r.fps.end()) return nullptr;
    if (const TRACK* one = g->second.one)
        return one->last_seen >= now - kRotMaxGapMs && one->last_seen <= now - kRotMinGapMs
                   ? g->second.one
                   : nullptr;
    const SEEN_SET& s = *g->second.by_seen;
    TRACK* found = nullptr;
    for (auto it = s.lower_bound(SEEN_KEY{now - kRotMaxGapMs, 0, nullptr});
         it != s.end() && it->last_seen <= now - kRotMinGapMs; ++it) {
        if (found) return nullptr;
        found = it->t;
    }
    return found;
}

void _link_rotated(TRACK& t, const TRACK& c, int64_t now) {
    TRACK_MORE& m = t.more_mut();
    const OVK_HITS& src = c.hits.empty() ? c.more().inherited : c.hits;
    long long gap = static_cast<long long>((now - c.last_seen) / 1000);
    for (const OVK_HIT& h : src) {
        OVK_HIT x = h;
        x.confidence = std::max(0, h.confidence - 5);
        x.evidence =
            ovk_cut(ovk_format(OVK_EVIDENCE_MAX,
                               "Same device as %s before its address rotated (identical advert "
                               "fingerprint, %lld s gap). Original evidence: ",
                               c.mac.c_str(), gap) +
                        h.evidence,
                    OVK_EVIDENCE_MAX);
        m.inherited.push_back(std::move(x));
    }
    m.linked_from = c.mac;
    if (!t.has_name && c.has_name) {
        t.name = c.name;
        t.has_name = 1;
    }
    if (m.role.empty()) m.role = c.more().role;
}

// Adds a new entry, last seen at `now`, to the entries sharing its fingerprint. May throw
// bad_alloc, leaving the group as it was or with its entries ordered.
void _fp_join(FP_GROUP& g, TRACK* p, int64_t now) {
    if (!g.one && !g.by_seen) {
        g.one = p;
        return;
    }
    if (!g.by_seen) {
        auto set = std::make_unique<SEEN_SET>();
        TRACK* o = g.one;
        o->fp_pos = set->insert(SEEN_KEY{o->last_seen, o->seq, o}).first;
        g.by_seen = std::move(set);
        g.one = nullptr;
    }
    p->fp_pos = g.by_seen->insert(SEEN_KEY{now, 0, p}).first;
}

// Creates and indexes a new entry; nullptr (registry unchanged) when it cannot be made.
TRACK* _create(REGISTRY& r, const OVK_ADVERT& a, int64_t now) {
    std::unique_ptr<TRACK> t;
    std::string fp;
    try {
        t = std::make_unique<TRACK>();
        t->mac = _exact(a.mac);
        t->first_seen = t->last_seen = now;
        fp = _fingerprint(a);
        if (!fp.empty() && _may_rotate(a))
            if (TRACK* c = _rot_candidate(r, fp, now)) _link_rotated(*t, *c, now);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(TRACK, 1, t);
        return nullptr;
    }

    // Make room first so that the evicted entry is never the new one.
    while (r.table.size() >= r.max_entries)
        if (!_evict_one(r)) break;

    TRACK* p = t.get();
    p->order = ++r.created;
    bool in_table = false;
    try {
        r.table.emplace(std::string_view(p->mac), std::move(t));
        in_table = true;
        if (!fp.empty()) {
            auto g = r.fps.try_emplace(fp).first;
            _fp_join(g->second, p, now);
            p->fp = &*g;
        }
        _reindex(r, *p);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(TRACK, 1, table);
        if (in_table) _drop(r, p);
        auto g = fp.empty() ? r.fps.end() : r.fps.find(fp);
        if (g != r.fps.end() && !g->second.one &&
            (!g->second.by_seen || g->second.by_seen->empty()))
            r.fps.erase(g);
        return nullptr;
    }
    p->prev = r.tail;
    if (r.tail)
        r.tail->next = p;
    else
        r.head = p;
    r.tail = p;
    return p;
}

// ---------------------------------------------------------------------------------------
// 5. Co-location, following
// ---------------------------------------------------------------------------------------

// Lists an entry that has a role in the role list (once). On a failed allocation the entry is
// listed at its next report.
void _index_role(REGISTRY& r, TRACK& t) {
    if (t.in_roles || t.more().role.empty()) return;
    try {
        r.roles.emplace(t.order, &t);
        t.in_roles = true;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(TRACK, 1, roles);
    }
}

// At least 8 signal samples within the comparison window. The history is in strictly rising
// time order (samples are at least a second apart), so the window holds a suffix of it and
// looking at the eighth newest sample is enough.
bool _enough_history(const TRACK& t, int64_t now) {
    constexpr size_t kMinSamples = 8;
    size_t n = t.history.size();
    return n >= kMinSamples && now - t.history.at(n - kMinSamples).time <= kWindowMs;
}

// Members are the role-bearing, non-whitelisted entries heard in the last minute that have at
// least 8 samples in the last two minutes: a device with fewer cannot share the 8 seconds of
// signal that any join needs, so it can only ever be a group of its own, which is never
// reported. Leaving such devices out (most role-named addresses are heard once or twice)
// keeps the member list, and so the work done under the lock every 2 s, to the devices that
// can actually be grouped, with the same groups and verdicts as offering every one of them.
void _recompute_groups(REGISTRY& r, int64_t now) {
    r.coloc = COLOC{};
    r.coloc.at = now;
    std::vector<OVK_PATROL_MEMBER> m;
    m.reserve(32);
    for (const auto& entry : r.roles) {
        const TRACK* t = entry.second;
        if (now - t->last_seen > kLiveMs || !_enough_history(*t, now)) continue;
        if (_whitelisted(t->mac)) continue;
        try {
            OVK_PATROL_MEMBER x;
            x.mac = t->mac;
            x.role = t->more().role;
            x.first_seen = t->first_seen;
            x.last_seen = t->last_seen;
            size_t from = t->history.size();
            while (from > 0 && now - t->history.at(from - 1).time <= kWindowMs) from--;
            x.samples.reserve(t->history.size() - from);
            for (size_t i = from; i < t->history.size(); i++) x.samples.push_back(t->history.at(i));
            m.push_back(std::move(x));
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(OVK_RSSI_SAMPLE, t->history.size(), samples);
        }
    }
    r.coloc.groups = ovk_patrol_groups(m, now);
    r.coloc.members = std::move(m);
}

// ---------------------------------------------------------------------------------------
// 6. Snapshots
// ---------------------------------------------------------------------------------------

std::string _siblings(const REGISTRY& r, const TRACK& t, std::string& hardware) {
    std::string list;
    for (const TRACK* o = r.head; o; o = o->next) {
        if (o == &t || !(o->sources & 2) || !ovk_wififp_same_ap(t.mac, o->mac)) continue;
        if (!list.empty()) list += "; ";
        if (o->has_name)
            list += "\"" + o->name + "\" (" + o->mac + ")";
        else
            list += "hidden network (" + o->mac + ")";
        size_t dash = o->identity.type.find(" - ");
        if (hardware.empty() && dash != std::string::npos)
            hardware =
                ovk_cut(std::string_view(o->identity.type).substr(dash + 3), kSiblingTypeMax);
    }
    return list;
}

// Fills a default-constructed device in place (snapshots of large tables copy no records).
// The whitelist and favourite marks are the store's: asked here for a single device, and by
// the list snapshots for all of theirs after the registry lock is released (two store
// lookups per device would otherwise hold the pipeline up at every refresh of a large list).
void _snap(const REGISTRY& r, const TRACK& t, bool full, OVK_DEVICE& d, bool ask_store = true) {
    d.mac = _exact(t.mac);
    d.source = t.source;
    d.sources = t.sources;
    if (t.has_name) d.name = _exact(t.name);
    d.vendor = _exact(t.vendor);
    d.device_type = _exact(t.identity.type);
    d.facts = t.identity.facts;
    const TRACK_MORE& m = t.more();
    if (!m.linked_from.empty())
        ovk_facts_add(d.facts, "Previous address", "%s (address rotated, same advert fingerprint)",
                      m.linked_from.c_str());
    if (!m.role.empty()) ovk_facts_add(d.facts, "Patrol-kit role", "%s", m.role.c_str());
    if (t.rid_track) ovk_ridcheck_facts(*t.rid_track, d.facts);
    if (full && (t.sources & 2)) {
        std::string hardware;
        std::string list = _siblings(r, t, hardware);
        if (!list.empty()) {
            ovk_facts_add(d.facts, "Same access point as", "%s", list.c_str());
            if (!hardware.empty())
                ovk_facts_add(d.facts, "Probable hardware (from sibling)", "%s", hardware.c_str());
        }
    }
    d.hits = t.hits;
    d.rssi = t.rssi;
    d.best_rssi = t.best_rssi;
    d.distance_m = t.distance;
    d.addr_type = t.addr_type;
    d.first_seen = t.first_seen;
    d.last_seen = t.last_seen;
    d.sightings = t.sightings;
    d.rid = t.rid;
    d.following = t.following;
    d.known = t.known;
    if (ask_store) {
        d.whitelisted = _whitelisted(t.mac) ? 1 : 0;
        d.favorite = _favorite(t.mac) ? 1 : 0;
    }
    d.has_best_pos = t.has_best_pos;
    d.best_pos = t.best_pos;
    if (full) {
        try {
            if (auto a = t.advert.unpack()) d.advert = std::make_shared<const OVK_ADVERT>(*a);
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, d.advert);
        }
        try {
            d.history = t.history.copy();
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(OVK_RSSI_SAMPLE, t.history.size(), d.history);
        }
        try {
            d.path = t.path.copy();
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(OVK_GEO, t.path.size(), d.path);
        }
    }
}

OVK_DEVICE_LIST _snapshot_list(const REGISTRY& r, bool filter, int64_t since) {
    OVK_DEVICE_LIST out;
    try {
        out.reserve(r.table.size());
        for (const TRACK* t = r.head; t; t = t->next)
            if (!filter || t->last_seen >= since) _snap(r, *t, false, out.emplace_back(), false);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_DEVICE, r.table.size(), out);
        out.clear();
    }
    return out;
}

// Fills in the store's marks of a list snapshot, without the registry lock.
void _ask_store(OVK_DEVICE_LIST& list) {
    for (OVK_DEVICE& d : list) {
        d.whitelisted = _whitelisted(d.mac) ? 1 : 0;
        d.favorite = _favorite(d.mac) ? 1 : 0;
    }
}

// The remembered devices' row of an entry.
void _known_row(const TRACK& t, OVK_KNOWN& k) {
    k.mac = t.mac;
    k.first_seen = t.first_seen;
    k.last_seen = t.last_seen;
    if (t.has_name) k.name = t.name;
    k.vendor = t.vendor;
    k.device_type = t.identity.type;
}

// The store's marks of a shared list from `from` on, asked without the registry lock; the
// few devices whitelisted or favourite get a copy of their own that carries them.
void _mark(OVK_DEVICE_REFS& list, size_t from) {
    for (size_t i = from; i < list.size(); i++) {
        const OVK_DEVICE& d = list[i];
        const int w = _whitelisted(d.mac) ? 1 : 0;
        const int f = _favorite(d.mac) ? 1 : 0;
        if (w == d.whitelisted && f == d.favorite) continue;
        try {
            auto c = std::make_shared<OVK_DEVICE>(d);
            c->whitelisted = w;
            c->favorite = f;
            list.ref(i) = std::move(c);
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(OVK_DEVICE, 1, list);
        }
    }
}

void _drop_stale(REGISTRY& r, int64_t now) {
    for (SEEN_SET* s : {&r.plain, &r.flagged})
        while (!s->empty() && now - s->begin()->last_seen > OVK_STALE_MS) {
            TRACK* t = s->begin()->t;
            // Kept for the next history flush; beyond a full table's worth (nobody flushing)
            // the oldest departures are those given up.
            try {
                if (r.departed.size() >= static_cast<size_t>(OVK_REGISTRY_MAX_ENTRIES))
                    r.departed.erase(r.departed.begin(),
                                     r.departed.begin() + static_cast<long>(r.departed.size() / 2));
                _known_row(*t, r.departed.emplace_back());
            } catch (const std::bad_alloc&) {
                OVK_LOG_ALLOC_FAIL(OVK_KNOWN, 1, departed);
            }
            _drop(r, t);
        }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public functions
// ---------------------------------------------------------------------------------------

int ovk_registry_init() {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    if (!r.made) {
        try {
            r.table.reserve(1024);
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(TRACK, 1024, table);
            return -1;
        }
        r.made = true;
    }
    return 0;
}

void ovk_registry_shutdown() {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    _drop_all(r);
    r.made = false;
}

void ovk_registry_start_session(int64_t now) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    _drop_all(r);
    r.serial++;
    r.session_start = now;
}

int64_t ovk_registry_session_start() {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    return r.session_start;
}

int ovk_registry_report(const OVK_ADVERT& a, const OVK_HITS& hits, const OVK_IDENTITY* id,
                        std::string_view vendor, const OVK_REMOTE_ID* rid, const OVK_GEO* loc,
                        int64_t now) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    r.made = true;
    int fresh = 0;
    TRACK* t = _find(r, a.mac);
    if (!t) {
        t = _create(r, a, now);
        if (!t) return 0;
        fresh = 1;
    }
    try {
        _merge(*t, a, hits, id, vendor, rid, loc, now);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(TRACK, 1, merge);
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "registry report: %s", e.what());
    }
    t->sum.reset();
    _reindex(r, *t);  // moves nodes between indexes; allocates nothing
    _index_role(r, *t);
    r.serial++;
    return fresh;
}

OVK_RECALL ovk_registry_recall(const OVK_ADVERT& a, int64_t now, bool want_view) {
    OVK_RECALL rc;
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, a.mac);
    if (!t) {
        rc.news = ovk_heard_news(OVK_HEARD{}, a);
        return rc;
    }
    rc.news = ovk_heard_news(t->heard, a);
    try {
        if (want_view || rc.news) rc.view = ovk_heard_apply(t->heard, a);
        const TRACK_MORE& m = t->more();
        if (rc.news && m.held && now <= m.held_until && m.held_from) {
            if (auto from = m.held_from.unpack()) {
                OVK_HEARD all = t->heard;
                ovk_heard_note(all, a);
                rc.held = *m.held;
                rc.held_view = ovk_heard_apply(all, *from);
                if (!rc.held_view) rc.held_view = std::move(from);
            }
        }
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, recall);
        rc.held.reset();
        rc.held_view.reset();
    }
    return rc;
}

int ovk_registry_withdraw(std::string_view mac, std::string_view label) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t || !t->more().held || t->more().held->label != label) return 0;
    TRACK_MORE& m = *t->more_;
    m.held.reset();
    m.held_from = {};
    m.held_until = 0;
    t->sum.reset();
    std::erase_if(t->hits, [label](const OVK_HIT& h) { return h.label == label; });
    _reindex(r, *t);
    r.serial++;
    return 1;
}

OVK_RECALL ovk_registry_recall_latest(std::string_view mac) {
    OVK_RECALL rc;
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t || !t->advert) return rc;
    try {
        std::optional<OVK_ADVERT> latest = t->advert.unpack();
        if (!latest) return rc;
        rc.view = ovk_heard_apply(t->heard, *latest);
        if (!rc.view) rc.view = std::move(latest);
        const TRACK_MORE& m = t->more();
        std::optional<OVK_ADVERT> from = m.held ? m.held_from.unpack() : std::nullopt;
        if (m.held && from) {
            rc.held = *m.held;
            rc.held_view = ovk_heard_apply(t->heard, *from);
            if (!rc.held_view) rc.held_view = std::move(from);
        }
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, recall);
        rc = OVK_RECALL{};
    }
    return rc;
}

int ovk_registry_rejudge(std::string_view mac, const OVK_HITS& hits, bool keep_held) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t) return 0;
    try {
        OVK_HITS next = hits;
        TRACK_MORE* m = t->more_.get();
        if (m && m->held && !keep_held) {
            m->held.reset();
            m->held_from = {};
            m->held_until = 0;
        } else if (m && m->held && ovk_hits_find_label(t->hits, m->held->label) >= 0 &&
                   ovk_hits_find_label(next, m->held->label) < 0) {
            // Still in force: it stays as long as it was shown.
            next.push_back(*m->held);
        }
        ovk_hits_sort(next);
        t->hits = std::move(next);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_HIT, hits.size() + 1, hits);
        return 1;
    }
    t->sum.reset();
    _reindex(r, *t);
    r.serial++;
    return 1;
}

void ovk_registry_inherited_hits(std::string_view mac, OVK_HITS& out) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    if (TRACK* t = _find(r, mac)) {
        try {
            out.insert(out.end(), t->more().inherited.begin(), t->more().inherited.end());
        } catch (const std::bad_alloc&) {
            OVK_LOG_ALLOC_FAIL(OVK_HIT, t->more().inherited.size(), out);
        }
    }
}

std::optional<OVK_HIT> ovk_registry_cluster_hit(std::string_view mac, int64_t now) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    try {
        if (now - r.coloc.at >= kClusterEveryMs) _recompute_groups(r, now);
        if (r.coloc.groups.empty()) return std::nullopt;
        return ovk_patrol_hit_for(mac, r.coloc.members, r.coloc.groups);
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "registry co-location: %s", e.what());
        return std::nullopt;
    }
}

std::optional<OVK_REMOTE_ID> ovk_registry_remote_id(std::string_view mac) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t || !t->rid) return std::nullopt;
    return *t->rid;
}

std::optional<OVK_RID_TRACK> ovk_registry_rid_track(std::string_view mac) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t || !t->rid_track) return std::nullopt;
    return *t->rid_track;
}

void ovk_registry_set_rid_track(std::string_view mac, const OVK_RID_TRACK& track) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t) return;
    try {
        if (t->rid_track)
            *t->rid_track = track;
        else
            t->rid_track = std::make_unique<OVK_RID_TRACK>(track);
        t->sum.reset();
        r.serial++;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_RID_TRACK, 1, t->rid_track);
    }
}

void ovk_registry_set_known(std::string_view mac, const OVK_KNOWN* known) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t) return;
    t->sum.reset();
    try {
        if (!known)
            t->known.reset();
        else
            t->known = std::make_shared<const OVK_KNOWN>(*known);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, 1, t->known);
    }
}

int ovk_registry_check_following(std::string_view mac, int64_t min_duration_ms,
                                 double min_distance_m) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t || t->following || t->path.size() <= 2 || t->last_seen - t->first_seen < min_duration_ms)
        return 0;
    const OVK_GEO& first = t->path.front();
    double far = 0;
    for (size_t i = 0; i < t->path.size(); i++) {
        const OVK_GEO& p = t->path.at(i);
        far = std::max(far, ovk_meters_between(first.lat, first.lon, p.lat, p.lon));
    }
    if (far < min_distance_m) return 0;
    t->following = 1;
    t->sum.reset();
    return 1;
}

OVK_DEVICE_LIST ovk_registry_snapshot(int64_t now) {
    const OVK_DEVICE_REFS refs = ovk_registry_shared_snapshot(now);
    OVK_DEVICE_LIST out;
    try {
        out.reserve(refs.size());
        for (const OVK_DEVICE& d : refs) out.push_back(d);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_DEVICE, refs.size(), out);
        out.clear();
    }
    return out;
}

OVK_DEVICE_REFS ovk_registry_shared_snapshot(int64_t now) {
    // A turn of the lock ends after this many entries listed, this many summaries made or
    // this long, whichever comes first. Between turns the store's marks of the entries just
    // listed are asked without the lock, and a report waiting for it is let in first.
    constexpr size_t kTurnEntries = 20000;
    constexpr size_t kTurnMade = 500;
    constexpr auto kTurnTime = std::chrono::milliseconds(1);
    constexpr auto kLetIn = std::chrono::microseconds(500);
    REGISTRY& r = R();
    OVK_DEVICE_REFS out;
    try {
        OVK_REGISTRY_CURSOR at;
        bool first = true;
        // Entries made after the first turn are left out, so that a snapshot taken during a
        // flood never lists more devices than the table holds.
        uint64_t last_made = 0;
        for (bool more = true; more;) {
            const size_t from = out.size();
            {
                std::lock_guard lk(r.mu);
                const auto started = std::chrono::steady_clock::now();
                if (first) {
                    _drop_stale(r, now);
                    out.reserve(r.table.size());
                    last_made = r.created;
                    first = false;
                }
                TRACK* t = r.head;
                if (at.order > 0) {
                    const TRACK* last = _find(r, at.mac);
                    if (last && last->order == at.order)
                        t = last->next;
                    else
                        while (t && t->order <= at.order) t = t->next;
                }
                size_t listed = 0, made = 0;
                const TRACK* passed = nullptr;
                for (; t && t->order <= last_made && listed < kTurnEntries && made < kTurnMade;
                     t = t->next) {
                    if (listed % 256 == 255 &&
                        std::chrono::steady_clock::now() - started >= kTurnTime)
                        break;
                    TRACK& e = *t;
                    if (!e.sum) {
                        auto d = std::make_shared<OVK_DEVICE>();
                        _snap(r, e, false, *d, false);
                        e.sum = std::move(d);
                        made++;
                    }
                    out.push_back(e.sum);
                    listed++;
                    passed = t;
                }
                more = t != nullptr && t->order <= last_made;
                if (passed) {
                    at.order = passed->order;
                    at.mac = passed->mac;
                }
            }
            _mark(out, from);
            if (more) r.mu.let_waiters_in(kLetIn);
        }
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_DEVICE, 1, out);
        out.clear();
    }
    return out;
}

OVK_REGISTRY_TALLY ovk_registry_tally(int64_t now) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    _drop_stale(r, now);
    OVK_REGISTRY_TALLY out;
    out.devices = static_cast<int>(r.table.size());
    // Only entries with verdicts can be flagged, and those sit in the `flagged` eviction set
    // (which also holds entries whose only verdicts are inherited ones).
    for (const SEEN_KEY& k : r.flagged) {
        const TRACK& t = *k.t;
        if (t.hits.empty() || _whitelisted(t.mac)) continue;
        out.flagged++;
        out.top_confidence = std::max(out.top_confidence, t.hits.front().confidence);
        if (t.following) out.following = 1;
    }
    return out;
}

std::vector<char> ovk_registry_holds(const std::vector<std::string>& macs) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    std::vector<char> out;
    try {
        out.reserve(macs.size());
        for (const std::string& m : macs) out.push_back(_find(r, m) ? 1 : 0);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, macs.size(), out);
        out.clear();
    }
    return out;
}

OVK_DEVICE_LIST ovk_registry_summaries(int64_t since) {
    REGISTRY& r = R();
    OVK_DEVICE_LIST out;
    {
        std::lock_guard lk(r.mu);
        out = _snapshot_list(r, true, since);
    }
    _ask_store(out);
    return out;
}

std::vector<OVK_KNOWN> ovk_registry_known_rows(int64_t since, OVK_REGISTRY_CURSOR* after,
                                               size_t max) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    std::vector<OVK_KNOWN> out;
    if (!after || max == 0) return out;
    after->departed = false;
    try {
        out.reserve(std::min(max, r.table.size()));
        // The table order is the creation order. The entry last passed is found by its
        // address; when it has gone meanwhile, the walk starts over and skips by number.
        const TRACK* t = r.head;
        if (after->order > 0) {
            const TRACK* last = after->mac.empty() ? nullptr : _find(r, after->mac);
            if (last && last->order == after->order)
                t = last->next;
            else
                while (t && t->order <= after->order) t = t->next;
        }
        const TRACK* passed = nullptr;
        for (; t && out.size() < max; t = t->next) {
            passed = t;
            if (t->last_seen < since) continue;
            _known_row(*t, out.emplace_back());
        }
        if (passed) {
            after->order = passed->order;
            after->mac = passed->mac;
        }
        if (!out.empty()) return out;
        // The table is passed: the rows of the entries dropped as stale meanwhile, which
        // include any dropped during the walk before it reached them. Rows last seen before
        // `since` were given to an earlier walk.
        while (!r.departed.empty() && out.empty()) {
            const size_t take = std::min(max, r.departed.size());
            out.reserve(take);
            for (size_t i = 0; i < take; i++)
                if (r.departed[i].last_seen >= since) out.push_back(std::move(r.departed[i]));
            r.departed.erase(r.departed.begin(), r.departed.begin() + static_cast<long>(take));
        }
        after->departed = !out.empty();
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, max, out);
        out.clear();
    }
    return out;
}

std::optional<OVK_DEVICE> ovk_registry_get(std::string_view mac) {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    TRACK* t = _find(r, mac);
    if (!t) return std::nullopt;
    try {
        std::optional<OVK_DEVICE> d(std::in_place);
        _snap(r, *t, true, *d);
        return d;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_DEVICE, 1, out);
        return std::nullopt;
    }
}

int ovk_registry_count() {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    return static_cast<int>(r.table.size());
}

void ovk_registry_clear() {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    _drop_all(r);
    r.serial++;
}

unsigned ovk_registry_serial() {
    REGISTRY& r = R();
    std::lock_guard lk(r.mu);
    return r.serial;
}

const OVK_HIT* ovk_device_best(const OVK_DEVICE& d) {
    return d.hits.empty() ? nullptr : &d.hits.front();
}

int ovk_device_flagged(const OVK_DEVICE& d) {
    return !d.hits.empty() && !d.whitelisted ? 1 : 0;
}
