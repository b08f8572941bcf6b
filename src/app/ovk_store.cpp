// SPDX-License-Identifier: GPL-3.0-or-later
// The local store: detection log, remembered devices and whitelist (see the header).
//
// Index
//   1. file formats: records <-> JSON (pure)
//   2. module state and file writes
//   3. lifecycle
//   4. detection log
//   5. remembered devices
//   6. whitelist
#include "ovk_store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "ovk_advert.h"
#include "ovk_datafile.h"
#include "ovk_jsonscan.h"
#include "ovk_lock.h"
#include "ovk_util.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

constexpr const char* kLogFile = "detections.jsonl";
constexpr const char* kKnownFile = "known_devices.json";
constexpr const char* kWhitelistFile = "whitelist.json";
constexpr size_t kDirMax = 1023;
constexpr const char* kJournalFile = "known_devices.journal";
// The journal is folded into the compacted file once it reaches a quarter of it (and at
// least this much), so a flush writes what changed and a load replays little.
constexpr uint64_t kJournalMinCompact = 64 * 1024;
// Upserts of at least this many rows that change a quarter of the records or more are
// written as a new compacted file rather than as a journal line.
constexpr size_t kDirectUpsertRows = 1024;
constexpr uint64_t kCloseCompactMax = 8 * 1024 * 1024;
constexpr size_t kCategoryNameMax = 31;
constexpr int64_t kIdMax = std::numeric_limits<int64_t>::max();

std::string str_member(const cJSON* o, const char* key, size_t max) {
    std::string out;
    ovk_json_str(o, key, out, max + 1);
    return out;
}

// Texts cut to the record's limits.
OVK_DETECTION cut_detection(const OVK_DETECTION& d) {
    OVK_DETECTION c = d;
    c.mac = ovk_cut(d.mac, OVK_DET_MAC_MAX);
    c.label = ovk_cut(d.label, OVK_DET_LABEL_MAX);
    c.source = ovk_cut(d.source, OVK_DET_SOURCE_MAX);
    c.evidence = ovk_cut(d.evidence, OVK_DET_EVIDENCE_MAX);
    c.vendor = ovk_cut(d.vendor, OVK_DET_VENDOR_MAX);
    c.device_name = ovk_cut(d.device_name, OVK_DET_NAME_MAX);
    c.sensor = ovk_cut(d.sensor, OVK_DET_SENSOR_MAX);
    return c;
}

OVK_KNOWN cut_known(const OVK_KNOWN& k) {
    OVK_KNOWN c = k;
    c.mac = ovk_cut(k.mac, OVK_KNOWN_MAC_MAX);
    c.name = ovk_cut(k.name, OVK_KNOWN_NAME_MAX);
    c.vendor = ovk_cut(k.vendor, OVK_KNOWN_VENDOR_MAX);
    c.device_type = ovk_cut(k.device_type, OVK_KNOWN_TYPE_MAX);
    c.note = ovk_cut(k.note, OVK_KNOWN_NOTE_MAX);
    return c;
}

// ---------------------------------------------------------------------------------------
// 1. File formats
// ---------------------------------------------------------------------------------------

// One log line; nullopt when it does not start with a JSON object. The id is left as read.
std::optional<OVK_DETECTION> detection_from_line(std::string_view line, OVK_JSON_FLAT& o) {
    OVK_JSON_SCAN scan(line);
    if (scan.peek() != '{' || !scan.read_flat(o)) return std::nullopt;
    OVK_DETECTION d;
    d.id = o.i64("id", 0);
    o.str("mac", d.mac, OVK_DET_MAC_MAX);
    o.str("label", d.label, OVK_DET_LABEL_MAX);
    o.str("source", d.source, OVK_DET_SOURCE_MAX);
    o.str("evidence", d.evidence, OVK_DET_EVIDENCE_MAX);
    o.str("vendor", d.vendor, OVK_DET_VENDOR_MAX);
    o.str("deviceName", d.device_name, OVK_DET_NAME_MAX);
    o.str("sensor", d.sensor, OVK_DET_SENSOR_MAX);
    d.rssi = o.integer("rssi", 0);
    d.confidence = o.integer("confidence", 0);
    d.timestamp = o.i64("timestamp", 0);
    d.lat = o.num("latitude", 0);
    d.lon = o.num("longitude", 0);
    // A position needs two finite numbers (1e999 reads as infinity).
    d.has_pos = o.has_num("latitude") && o.has_num("longitude") && std::isfinite(d.lat) &&
                std::isfinite(d.lon);
    std::string cat;
    o.str("category", cat, kCategoryNameMax);
    const int c = ovk_cat_parse(cat);
    d.category = c >= 0 ? static_cast<OVK_CATEGORY>(c) : OVK_CAT_CUSTOM;
    return d;
}

OVK_JSON detection_to_json(const OVK_DETECTION& d) {
    OVK_JSON o(cJSON_CreateObject());
    if (!o) return nullptr;
    cJSON* j = o.get();
    const bool pos = d.has_pos && std::isfinite(d.lat) && std::isfinite(d.lon);
    const bool ok =
        ovk_json_add_i64(j, "id", d.id) == 0 && ovk_json_add_str(j, "mac", d.mac) == 0 &&
        ovk_json_add_str(j, "label", d.label) == 0 &&
        ovk_json_add_str(j, "source", d.source) == 0 && ovk_json_add_i64(j, "rssi", d.rssi) == 0 &&
        ovk_json_add_i64(j, "timestamp", d.timestamp) == 0 &&
        (pos ? cJSON_AddNumberToObject(j, "latitude", d.lat) != nullptr
             : cJSON_AddNullToObject(j, "latitude") != nullptr) &&
        (pos ? cJSON_AddNumberToObject(j, "longitude", d.lon) != nullptr
             : cJSON_AddNullToObject(j, "longitude") != nullptr) &&
        ovk_json_add_str(j, "category", ovk_cat_name(d.category)) == 0 &&
        ovk_json_add_i64(j, "confidence", d.confidence) == 0 &&
        ovk_json_add_str(j, "evidence", d.evidence) == 0 &&
        ovk_json_add_str_or_null(j, "vendor", d.vendor) == 0 &&
        ovk_json_add_str_or_null(j, "deviceName", d.device_name) == 0 &&
        (d.sensor.empty() || ovk_json_add_str(j, "sensor", d.sensor) == 0);
    return ok ? std::move(o) : nullptr;
}

std::optional<OVK_KNOWN> known_from_flat(const OVK_JSON_FLAT& o) {
    OVK_KNOWN k;
    o.str("mac", k.mac, OVK_KNOWN_MAC_MAX);
    if (k.mac.empty()) return std::nullopt;
    k.first_seen = o.i64("firstSeen", 0);
    k.last_seen = o.i64("lastSeen", 0);
    k.sessions = o.integer("sessions", 0);
    k.detect_count = o.integer("detectCount", 0);
    o.str("name", k.name, OVK_KNOWN_NAME_MAX);
    o.str("vendor", k.vendor, OVK_KNOWN_VENDOR_MAX);
    o.str("deviceType", k.device_type, OVK_KNOWN_TYPE_MAX);
    o.str("note", k.note, OVK_KNOWN_NOTE_MAX);
    k.favorite = o.boolean("favorite", 0);
    return k;
}

void put_str_or_null(std::string& out, std::string_view s) {
    if (s.empty())
        out += "null";
    else
        ovk_json_put_string(out, s);
}

// One remembered-device object, as cJSON would print it compact.
void put_known(std::string& out, const OVK_KNOWN& k) {
    out += "{\"mac\":";
    ovk_json_put_string(out, k.mac);
    out += ",\"firstSeen\":";
    out += ovk_json_int_text(k.first_seen);
    out += ",\"lastSeen\":";
    out += ovk_json_int_text(k.last_seen);
    out += ",\"sessions\":";
    out += ovk_json_int_text(k.sessions);
    out += ",\"detectCount\":";
    out += ovk_json_int_text(k.detect_count);
    out += ",\"name\":";
    put_str_or_null(out, k.name);
    out += ",\"vendor\":";
    put_str_or_null(out, k.vendor);
    out += ",\"deviceType\":";
    put_str_or_null(out, k.device_type);
    out += k.favorite ? ",\"favorite\":true" : ",\"favorite\":false";
    out += ",\"note\":";
    put_str_or_null(out, k.note);
    out += '}';
}

int add_whitelist_json(cJSON* arr, const OVK_WHITELIST_ENTRY& w) {
    cJSON* o = cJSON_CreateObject();
    if (!o) return -1;
    if (!cJSON_AddItemToArray(arr, o)) {
        cJSON_Delete(o);
        return -1;
    }
    return (ovk_json_add_str(o, "mac", w.mac) == 0 && ovk_json_add_str(o, "note", w.note) == 0)
               ? 0
               : -1;
}

// Walks the pieces of `text` between newlines, skipping empty ones.
template <class F>
void for_each_line(std::string_view text, F&& fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        if (nl > pos) fn(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
}

// Ids from the file are kept; an id below 1 takes the next one. The next id ends one above
// the highest seen (saturating: an id at the very top of the range cannot be exceeded).
void assign_id(OVK_DETECTION& d, int64_t& next_id) {
    if (d.id < 1) d.id = next_id;
    if (d.id >= next_id) next_id = d.id == kIdMax ? kIdMax : d.id + 1;
}

}  // namespace

namespace {

// The log's records; `*broken` counts the non-empty lines that did not read.
std::vector<OVK_DETECTION> parse_log(std::string_view text, int64_t* next_id, size_t* broken) {
    std::vector<OVK_DETECTION> out;
    int64_t next = 1;
    try {
        // One slot per line, so loading a normal log never moves records around; a file of
        // mostly empty or tiny lines does not get a slot for each.
        const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        out.reserve(std::max<size_t>(256, std::min(lines, text.size() / 64 + 1)));
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_DETECTION, 256, out);
    }
    OVK_JSON_FLAT flat;
    for_each_line(text, [&](std::string_view line) {
        try {
            std::optional<OVK_DETECTION> d = detection_from_line(line, flat);
            if (!d) {
                // A last line without its newline was cut by a crash, not damaged.
                if (broken && line.data() + line.size() != text.data() + text.size()) ++*broken;
                return;
            }
            assign_id(*d, next);
            if (out.capacity() == out.size()) out.reserve(std::max<size_t>(256, out.size() * 2));
            out.push_back(std::move(*d));
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(OVK_DETECTION, 1, d);
        }
    });
    if (next_id) *next_id = next;
    return out;
}

}  // namespace

std::vector<OVK_DETECTION> ovk_store_parse_log(std::string_view text, int64_t* next_id) {
    return parse_log(text, next_id, nullptr);
}

namespace {

// Calls fn(OVK_KNOWN&&) for each record of a remembered-devices array (elements that are no
// object or have no MAC are skipped). false when the text is not a JSON array; records met
// before the fault have been handed out by then.
template <class F>
bool each_known(OVK_JSON_SCAN& sc, OVK_JSON_FLAT& flat, F&& fn) {
    if (sc.peek() != '[') return false;
    return sc.each_element([&](OVK_JSON_SCAN& e) {
        if (e.peek() != '{') return e.skip_value();
        if (!e.read_flat(flat)) return false;
        if (std::optional<OVK_KNOWN> k = known_from_flat(flat)) fn(std::move(*k));
        return true;
    });
}

// One change of the remembered devices as the journal holds it: a record that replaces the
// one of its MAC, or a MAC to forget.
struct KnownOp {
    bool forget = false;
    OVK_KNOWN rec;  // only `mac` for a forget
};

// One journal line: {"put":[records]} or {"forget":[MACs]} (both may appear; members apply in
// text order). false when the line is not one.
bool journal_ops(std::string_view line, std::vector<KnownOp>& ops, OVK_JSON_FLAT& flat) {
    ops.clear();
    OVK_JSON_SCAN sc(line);
    if (!sc.eat('{')) return false;
    if (sc.eat('}')) return true;
    std::string key;
    for (;;) {
        if (sc.peek() != '"' || !sc.read_string(key) || !sc.eat(':')) return false;
        bool ok;
        if (key == "put") {
            ok = each_known(sc, flat, [&](OVK_KNOWN&& k) { ops.push_back({false, std::move(k)}); });
        } else if (key == "forget") {
            ok = sc.peek() == '[' && sc.each_element([&](OVK_JSON_SCAN& e) {
                if (e.peek() != '"') return e.skip_value();
                KnownOp op;
                op.forget = true;
                if (!e.read_string(op.rec.mac)) return false;
                op.rec.mac = ovk_cut(op.rec.mac, OVK_KNOWN_MAC_MAX);
                if (!op.rec.mac.empty()) ops.push_back(std::move(op));
                return true;
            });
        } else {
            ok = sc.skip_value();
        }
        if (!ok) return false;
        if (sc.eat(',')) continue;
        return sc.eat('}');
    }
}

// Rows in order of first appearance, later records of a MAC replacing earlier ones and
// forgotten MACs removed.
class KnownRows {
  public:
    void put(OVK_KNOWN&& k) {
        auto [it, fresh] = index_.try_emplace(k.mac, rows_.size());
        if (fresh) {
            rows_.push_back(std::move(k));
            live_.push_back(1);
        } else {
            rows_[it->second] = std::move(k);
            live_[it->second] = 1;
        }
    }
    void forget(const std::string& mac) {
        auto it = index_.find(mac);
        if (it != index_.end()) live_[it->second] = 0;
    }
    std::vector<OVK_KNOWN> take() {
        std::vector<OVK_KNOWN> out;
        for (size_t i = 0; i < rows_.size(); ++i)
            if (live_[i]) out.push_back(std::move(rows_[i]));
        return out;
    }

  private:
    std::vector<OVK_KNOWN> rows_;
    std::vector<char> live_;
    std::unordered_map<std::string, size_t> index_;
};

std::vector<OVK_WHITELIST_ENTRY> whitelist_from_array(const cJSON* arr) {
    std::vector<OVK_WHITELIST_ENTRY> out;
    if (!cJSON_IsArray(arr)) return out;
    OVK_SMAP<> seen;
    if (seen.init(256) != 0) return out;
    const cJSON* el = nullptr;
    cJSON_ArrayForEach(el, arr) {
        try {
            OVK_WHITELIST_ENTRY w;
            w.mac = str_member(el, "mac", OVK_WL_MAC_MAX);
            if (w.mac.empty()) continue;
            int created = 0;
            if (!seen.put(w.mac, &created) || !created) continue;
            w.note = str_member(el, "note", OVK_WL_NOTE_MAX);
            out.push_back(std::move(w));
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(OVK_WHITELIST_ENTRY, 1, w);
        }
    }
    return out;
}

}  // namespace

std::vector<OVK_KNOWN> ovk_store_parse_known(std::string_view text) {
    return ovk_store_parse_known_journal(text, {});
}

std::vector<OVK_KNOWN> ovk_store_parse_known_journal(std::string_view base,
                                                     std::string_view journal) {
    try {
        KnownRows rows;
        OVK_JSON_FLAT flat;
        OVK_JSON_SCAN sc(base);
        if (!each_known(sc, flat, [&](OVK_KNOWN&& k) { rows.put(std::move(k)); }))
            rows = KnownRows();  // a missing or damaged file counts as empty
        std::vector<KnownOp> ops;
        for_each_line(journal, [&](std::string_view line) {
            // Only whole lines count: a last line without its newline was cut by a crash.
            if (line.data() + line.size() == journal.data() + journal.size()) return;
            if (!journal_ops(line, ops, flat)) return;
            for (KnownOp& op : ops) {
                if (op.forget)
                    rows.forget(op.rec.mac);
                else
                    rows.put(std::move(op.rec));
            }
        });
        return rows.take();
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<OVK_WHITELIST_ENTRY> ovk_store_parse_whitelist(std::string_view text) {
    try {
        return whitelist_from_array(ovk_json_parse(text).get());
    } catch (const std::exception&) {
        return {};
    }
}

std::optional<std::string> ovk_store_detection_line(const OVK_DETECTION& d) {
    try {
        OVK_JSON j = detection_to_json(d);
        if (!j) return std::nullopt;
        return ovk_json_print(j.get(), false);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> ovk_store_known_text(std::span<const OVK_KNOWN> rows) {
    try {
        std::string out = "[";
        for (size_t i = 0; i < rows.size(); ++i) {
            if (i) out += ',';
            put_known(out, rows[i]);
        }
        out += ']';
        return out;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, rows.size(), text);
        return std::nullopt;
    }
}

std::optional<std::string> ovk_store_whitelist_text(std::span<const OVK_WHITELIST_ENTRY> rows) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return std::nullopt;
    for (const OVK_WHITELIST_ENTRY& w : rows)
        if (add_whitelist_json(arr.get(), w) != 0) return std::nullopt;
    return ovk_json_print(arr.get(), false);
}

// ---------------------------------------------------------------------------------------
// 2. Module state and file writes
// ---------------------------------------------------------------------------------------

namespace {

// The remembered devices are held compactly, as a car unit may remember a million of them:
// the MAC inline as the key, vendor and type texts (few distinct values) shared through a
// pool, name and note as plain strings (short names need no allocation).
struct KnownKey {
    std::array<char, OVK_KNOWN_MAC_MAX> s{};
    uint8_t n = 0;

    explicit KnownKey(std::string_view mac) {
        n = static_cast<uint8_t>(std::min(mac.size(), OVK_KNOWN_MAC_MAX));
        std::memcpy(s.data(), mac.data(), n);
    }
    std::string_view view() const { return {s.data(), n}; }
    bool operator==(const KnownKey& o) const { return view() == o.view(); }
};

struct KnownKeyHash {
    size_t operator()(const KnownKey& k) const {
        return static_cast<size_t>(ovk_fnv1a64(k.view()));
    }
};

// Texts by number; 0 is the empty text. Texts stay until the store is closed.
class TextPool {
  public:
    uint32_t id(std::string_view t) {
        if (t.empty()) return 0;
        auto it = ids_.find(t);
        if (it != ids_.end()) return it->second;
        texts_.emplace_back(t);
        const auto n = static_cast<uint32_t>(texts_.size());
        ids_.emplace(texts_.back(), n);
        return n;
    }
    const std::string& text(uint32_t id) const {
        static const std::string empty;
        return id == 0 || id > texts_.size() ? empty : texts_[id - 1];
    }
    void clear() {
        ids_.clear();
        texts_.clear();
    }

  private:
    std::deque<std::string> texts_;  // stable addresses for the views below
    std::unordered_map<std::string_view, uint32_t> ids_;
};

struct KnownRec {
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    int32_t sessions = 0;
    int32_t detect_count = 0;
    uint32_t vendor = 0;
    uint32_t type = 0;
    bool favorite = false;
    std::string name;
    std::string note;
};

using KnownMap = std::unordered_map<KnownKey, KnownRec, KnownKeyHash>;

struct Store {
    OVK_LOCK mu{"store"};
    std::vector<OVK_DETECTION> dets;            // oldest first as loaded and appended
    std::atomic<uint64_t> whitelist_serial{0};  // moves on with every change of `whitelist`
    uint64_t log_serial = 0;                    // moves on with every change of `dets`
    int64_t next_id = 1;
    KnownMap known;  // MAC -> record
    TextPool texts;  // vendor and type texts of `known`
    std::vector<OVK_WHITELIST_ENTRY> whitelist;
    std::string dir;
    bool open = false;
    // A file whose last write failed; the next successful write of any file retries it,
    // so memory and disk meet again as soon as the directory is writable.
    bool log_dirty = false;
    bool known_dirty = false;
    bool whitelist_dirty = false;
    // The remembered devices are written as a journal of changes beside the compacted
    // file; both sizes decide when the journal is folded in.
    uint64_t known_bytes = 0;
    uint64_t journal_bytes = 0;
    // The remembered devices could not be read whole (their file or journal is held): they
    // are kept in memory only, as a change written now would be replayed over records this
    // run never saw.
    bool known_held = false;

    std::string path(const char* name) const { return dir + "/" + name; }

    OVK_KNOWN row(const KnownKey& key, const KnownRec& r) const {
        OVK_KNOWN k;
        k.mac.assign(key.view());
        k.first_seen = r.first_seen;
        k.last_seen = r.last_seen;
        k.sessions = r.sessions;
        k.detect_count = r.detect_count;
        k.name = r.name;
        k.vendor = texts.text(r.vendor);
        k.device_type = texts.text(r.type);
        k.favorite = r.favorite ? 1 : 0;
        k.note = r.note;
        return k;
    }

    // Replaces (or adds) the record of an object read from a file (no intermediate copies:
    // this runs a million times at start-up). False without a MAC.
    bool put_flat(const OVK_JSON_FLAT& o) {
        const OVK_JSON_VALUE* mac = o.get("mac");
        if (!mac || mac->kind != OVK_JSON_KIND::String || mac->text.empty()) return false;
        auto text_of = [&](const char* key, size_t max) -> std::string_view {
            const OVK_JSON_VALUE* v = o.get(key);
            if (!v || v->kind != OVK_JSON_KIND::String) return {};
            return std::string_view(v->text).substr(0, max);
        };
        KnownRec r;
        r.first_seen = o.i64("firstSeen", 0);
        r.last_seen = o.i64("lastSeen", 0);
        r.sessions = o.integer("sessions", 0);
        r.detect_count = o.integer("detectCount", 0);
        r.vendor = texts.id(text_of("vendor", OVK_KNOWN_VENDOR_MAX));
        r.type = texts.id(text_of("deviceType", OVK_KNOWN_TYPE_MAX));
        r.favorite = o.boolean("favorite", 0) != 0;
        r.name.assign(text_of("name", OVK_KNOWN_NAME_MAX));
        r.note.assign(text_of("note", OVK_KNOWN_NOTE_MAX));
        known.insert_or_assign(KnownKey(mac->text), std::move(r));
        return true;
    }

    // Replaces (or adds) the record of k.mac, texts cut to their limits.
    void put(const OVK_KNOWN& k) {
        KnownRec r;
        r.first_seen = k.first_seen;
        r.last_seen = k.last_seen;
        r.sessions = k.sessions;
        r.detect_count = k.detect_count;
        r.vendor = texts.id(ovk_cut(k.vendor, OVK_KNOWN_VENDOR_MAX));
        r.type = texts.id(ovk_cut(k.device_type, OVK_KNOWN_TYPE_MAX));
        r.favorite = k.favorite != 0;
        r.name = ovk_cut(k.name, OVK_KNOWN_NAME_MAX);
        r.note = ovk_cut(k.note, OVK_KNOWN_NOTE_MAX);
        known.insert_or_assign(KnownKey(k.mac), std::move(r));
    }

    void forget() {
        ++log_serial;
        dets = std::vector<OVK_DETECTION>();
        dets.reserve(256);
        next_id = 1;
        known = KnownMap();
        texts.clear();
        whitelist = std::vector<OVK_WHITELIST_ENTRY>();
        dir.clear();
        open = false;
        log_dirty = known_dirty = whitelist_dirty = false;
        known_bytes = journal_bytes = 0;
        known_held = false;
    }
};

Store& store() {
    static Store s;
    return s;
}

enum class File { Log, Known, Whitelist };

// Whole-file writers (lock held, store open). 0 / -1; the dirty flag follows the result.
int write_log(Store& s) {
    OVK_SBUF buf;
    for (const OVK_DETECTION& d : s.dets) {
        std::optional<std::string> line = ovk_store_detection_line(d);
        if (!line) {
            s.log_dirty = true;
            return -1;
        }
        buf.add(*line);
        buf.addc('\n');
    }
    std::optional<std::string> text = buf.take();
    const int rc = text ? ovk_write_file_atomic(s.path(kLogFile), *text) : -1;
    s.log_dirty = rc != 0;
    return rc;
}

// Folds the journal into a new compacted file of every remembered device. 0 / -1.
int compact_known(Store& s) {
    if (s.known_held) return -1;
    // Written record by record: the file of a city's worth of devices never sits whole in
    // memory beside the records it is made from.
    uint64_t written = 0;
    const int rc = ovk_write_file_atomic_stream(
        s.path(kKnownFile),
        [&s](OVK_FILE_OUT& out) {
            std::string piece = "[";
            bool first = true;
            for (const auto& [key, rec] : s.known) {
                if (!first) piece += ',';
                first = false;
                put_known(piece, s.row(key, rec));
                if (!out.put(piece)) return false;
                piece.clear();
            }
            piece += ']';
            return out.put(piece);
        },
        &written);
    if (rc != 0) return -1;
    s.known_bytes = written;
    // Every change of the journal is in the new file. Should the removal not last (a power
    // cut), replaying the old journal over the new file changes nothing: each entry replaces
    // or forgets a whole record, and the file already holds the outcome.
    const std::string journal = s.path(kJournalFile);
    if (const int err = zq_fs_unlink(journal); err != 0 && err != ENOENT)
        zq_log(LOG_ERR, "cannot remove %s: %s", journal.c_str(), strerror(err));
    else
        s.journal_bytes = 0;
    return 0;
}

int write_known(Store& s) {
    const int rc = compact_known(s);
    s.known_dirty = rc != 0;
    return rc;
}

// Appends `text` to the file at `path` (made when missing), synced to disk with `sync`. A
// failed append is cut back off the file, so that the next line never glues onto a torn one
// (should the cut fail, readers skip a line without its newline). The file's size before the
// append, -1 when unknown, goes to *before. 0 / -1 (logged).
int append_to_file(const std::string& path, std::string_view text, bool sync, int64_t* before) {
    if (const int err = zq_fs_append(path, text, sync, before); err != 0) {
        zq_log(LOG_ERR, "cannot append to %s: %s", path.c_str(), strerror(err));
        return -1;
    }
    return 0;
}

// Appends one journal line (with its newline) and syncs it. 0 / -1.
int append_journal(Store& s, const std::string& line) {
    const std::string path = s.path(kJournalFile);
    if (s.known_held || !ovk_datafile_writable(path)) return -1;
    int64_t before = -1;
    if (append_to_file(path, line, true, &before) != 0) return -1;
    s.journal_bytes = (before >= 0 ? static_cast<uint64_t>(before) : s.journal_bytes) + line.size();
    return 0;
}

// Writes one change of the remembered devices: a journal line, and now and then a new
// compacted file. After a failed write the whole set is written instead. 0 / -1.
int known_changed(Store& s, const std::string& line) {
    if (!s.open) return 0;
    if (s.known_held) {
        zq_log(LOG_ERR, "remembered devices are not saved: %s could not be read", kKnownFile);
        return -1;
    }
    if (s.known_dirty) return write_known(s);
    if (append_journal(s, line) != 0) {
        s.known_dirty = true;
        return -1;
    }
    if (s.journal_bytes >= std::max<uint64_t>(kJournalMinCompact, s.known_bytes / 4))
        compact_known(s);  // on failure the journal still holds everything
    return 0;
}

// {"put":[records]} of the given MACs as held now, with its newline.
std::string put_line(const Store& s, std::span<const KnownKey> keys) {
    std::string line = "{\"put\":[";
    bool first = true;
    for (const KnownKey& k : keys) {
        auto it = s.known.find(k);
        if (it == s.known.end()) continue;
        if (!first) line += ',';
        first = false;
        put_known(line, s.row(it->first, it->second));
    }
    line += "]}\n";
    return line;
}

std::string forget_line(std::span<const KnownKey> keys) {
    std::string line = "{\"forget\":[";
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i) line += ',';
        ovk_json_put_string(line, keys[i].view());
    }
    line += "]}\n";
    return line;
}

int write_whitelist(Store& s) {
    int rc = -1;
    if (std::optional<std::string> text = ovk_store_whitelist_text(s.whitelist))
        rc = ovk_write_file_atomic(s.path(kWhitelistFile), *text);
    s.whitelist_dirty = rc != 0;
    return rc;
}

int write_file(Store& s, File f) {
    switch (f) {
        case File::Log:
            return write_log(s);
        case File::Known:
            return write_known(s);
        case File::Whitelist:
            return write_whitelist(s);
    }
    return -1;
}

// After a successful write, the files whose last write failed are tried again.
void retry_dirty(Store& s, File done) {
    if (done != File::Log && s.log_dirty) write_log(s);
    if (done != File::Known && s.known_dirty) write_known(s);
    if (done != File::Whitelist && s.whitelist_dirty) write_whitelist(s);
}

// Rewrites one file when open (0 when closed) and, on success, the dirty others.
int persist(Store& s, File f) {
    if (!s.open) return 0;
    const int rc = write_file(s, f);
    if (rc == 0) retry_dirty(s, f);
    return rc;
}

// Appends the line of the newest detection. A failed append is cut back off the file so
// that the next line never glues onto a broken one. 0 / -1.
int append_last(Store& s) {
    const std::string path = s.path(kLogFile);
    if (!ovk_datafile_writable(path)) {  // a log that could not be read is never extended
        s.log_dirty = true;
        return -1;
    }
    std::optional<std::string> line = ovk_store_detection_line(s.dets.back());
    if (!line) {
        s.log_dirty = true;
        return -1;
    }
    line->push_back('\n');
    if (append_to_file(path, *line, false, nullptr) != 0) {
        s.log_dirty = true;  // the next write puts the whole log down again
        return -1;
    }
    return 0;
}

// The remembered record for `mac`, created when absent (texts fill only a new one).
KnownRec& known_row(Store& s, const KnownKey& key, std::string_view name, std::string_view vendor,
                    std::string_view type) {
    auto it = s.known.find(key);
    if (it != s.known.end()) return it->second;
    OVK_KNOWN k;
    const int64_t now = ovk_now_ms();
    k.mac.assign(key.view());
    k.first_seen = now;
    k.last_seen = now;
    k.sessions = 1;
    k.detect_count = 1;
    k.name = name;
    k.vendor = vendor;
    k.device_type = type;
    s.put(k);
    return s.known.find(key)->second;
}

// Loads the compacted file and replays the journal (lock held, store not yet open).
void load_known(Store& s) {
    const std::string kpath = s.path(kKnownFile);
    const std::string jpath = s.path(kJournalFile);
    OVK_DATAFILE base = ovk_datafile_read(kpath, OVK_DATAFILE_HISTORY_MAX);
    OVK_DATAFILE journal = ovk_datafile_read(jpath, OVK_DATAFILE_HISTORY_MAX);
    if (base.state == OVK_DATAFILE_STATE::Unreadable ||
        journal.state == OVK_DATAFILE_STATE::Unreadable) {
        s.known_held = true;
        return;
    }
    OVK_JSON_FLAT flat;
    if (base.state == OVK_DATAFILE_STATE::Loaded) {
        const std::string_view text = base.view.view();
        s.known.reserve(text.size() / 160 + 16);  // records are about 190 bytes
        OVK_JSON_SCAN sc(text);
        const bool ok = sc.peek() == '[' && sc.each_element([&](OVK_JSON_SCAN& e) {
            if (e.peek() != '{') return e.skip_value();
            if (!e.read_flat(flat)) return false;
            s.put_flat(flat);
            return true;
        });
        if (!ok) {
            s.known = KnownMap();
            s.texts.clear();
            ovk_datafile_damaged(kpath, text);
        }
        s.known_bytes = text.size();
    }
    if (journal.state != OVK_DATAFILE_STATE::Loaded) return;
    const std::string_view text = journal.view.view();
    std::vector<KnownOp> ops;
    size_t whole = 0;  // bytes up to the end of the last whole line
    bool damaged = false;
    for_each_line(text, [&](std::string_view line) {
        const size_t end = static_cast<size_t>(line.data() - text.data()) + line.size();
        if (end == text.size()) return;  // no newline: cut short by a crash
        whole = end + 1;
        if (!journal_ops(line, ops, flat)) {
            damaged = true;
            return;
        }
        for (KnownOp& op : ops) {
            if (op.forget)
                s.known.erase(KnownKey(op.rec.mac));
            else
                s.put(op.rec);
        }
    });
    if (!text.empty() && text.back() == '\n') whole = text.size();
    s.journal_bytes = text.size();
    if (damaged) {
        // The copy keeps what could not be read; a new compacted file replaces the journal.
        ovk_datafile_damaged(jpath, text);
        s.known_dirty = true;
    } else if (whole < text.size() && ovk_datafile_writable(jpath)) {
        // The next line must start on a line of its own.
        if (zq_fs_truncate(jpath, whole) == 0)
            s.journal_bytes = whole;
        else
            s.known_dirty = true;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 3. Lifecycle
// ---------------------------------------------------------------------------------------

int ovk_store_open(std::string_view data_dir) {
    OVK_CHECK(!data_dir.empty(), -1);
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        s.forget();
        s.dir = ovk_cut(data_dir, kDirMax);
        if (ovk_mkdirs(s.dir) != 0) {
            zq_log(LOG_ERR, "cannot create data directory %s", s.dir.c_str());
            s.dir.clear();
            return -1;
        }
        bool torn_tail = false;
        const std::string log_path = s.path(kLogFile);
        OVK_DATAFILE log = ovk_datafile_read(log_path, OVK_DATAFILE_HISTORY_MAX);
        if (log.state == OVK_DATAFILE_STATE::Loaded) {
            const std::string_view text = log.view.view();
            size_t broken = 0;
            s.dets = parse_log(text, &s.next_id, &broken);
            torn_tail = !text.empty() && text.back() != '\n';
            // Lines that do not read would be gone after the next rewrite (a prune): keep them.
            if (broken > 0) ovk_datafile_damaged(log_path, text);
        }
        load_known(s);
        const std::string wl_path = s.path(kWhitelistFile);
        OVK_DATAFILE wl = ovk_datafile_read(wl_path, OVK_DATAFILE_LIST_MAX);
        if (wl.state == OVK_DATAFILE_STATE::Loaded) {
            OVK_JSON j = ovk_json_parse(wl.view.view());
            if (cJSON_IsArray(j.get()))
                s.whitelist = whitelist_from_array(j.get());
            else
                ovk_datafile_damaged(wl_path, wl.view.view());
            ++s.whitelist_serial;
        }
        s.open = true;
        // A log that ends inside a line (a crash during an append) is rewritten from what
        // loaded, so the next appended line starts on a line of its own.
        if (torn_tail && ovk_datafile_writable(log_path)) write_log(s);
        if (s.known_dirty) write_known(s);
        return 0;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(Store, 1, s);
        s.open = !s.dir.empty();
        return s.open ? 0 : -1;
    }
}

void ovk_store_close() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    // A small set is folded in at the end, so the compacted file alone (all that older
    // versions read) is up to date; a large one keeps its journal rather than be rewritten
    // at every shutdown.
    if (s.open && s.journal_bytes > 0 && s.known_bytes < kCloseCompactMax) {
        try {
            compact_known(s);
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(char, s.known_bytes, text);
        }
    }
    s.forget();
}

int ovk_store_detections_unsaved() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    return s.open && s.log_dirty ? 1 : 0;
}

int ovk_store_is_open() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    return s.open ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// 4. Detection log
// ---------------------------------------------------------------------------------------

int ovk_store_add_detection(const OVK_DETECTION& d) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        OVK_DETECTION c = cut_detection(d);
        c.id = s.next_id;
        if (s.dets.capacity() == s.dets.size())
            s.dets.reserve(std::max<size_t>(256, s.dets.size() * 2));
        s.dets.push_back(std::move(c));
        ++s.log_serial;
        if (s.next_id < kIdMax) ++s.next_id;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_DETECTION, s.dets.size() + 1, dets);
        return -1;
    }
    if (!s.open) return 0;
    try {
        // After a failed write the file misses records: bring it up to date whole.
        const int rc = s.log_dirty ? write_log(s) : append_last(s);
        if (rc == 0) retry_dirty(s, File::Log);
        return rc;
    } catch (const std::exception&) {
        s.log_dirty = true;
        return -1;
    }
}

std::vector<OVK_DETECTION> ovk_store_detections(int64_t since) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        std::vector<OVK_DETECTION> out;
        for (const OVK_DETECTION& d : s.dets)
            if (d.timestamp >= since) out.push_back(d);
        std::stable_sort(out.begin(), out.end(),
                         [](const OVK_DETECTION& a, const OVK_DETECTION& b) {
                             if (a.timestamp != b.timestamp) return a.timestamp > b.timestamp;
                             return a.id > b.id;
                         });
        return out;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_DETECTION, s.dets.size(), out);
        return {};
    }
}

std::vector<OVK_DETECTION> ovk_store_detections_of(std::string_view mac, size_t max) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        std::vector<const OVK_DETECTION*> mine;
        for (const OVK_DETECTION& d : s.dets)
            if (d.mac == mac) mine.push_back(&d);
        std::stable_sort(mine.begin(), mine.end(),
                         [](const OVK_DETECTION* a, const OVK_DETECTION* b) {
                             if (a->timestamp != b->timestamp) return a->timestamp > b->timestamp;
                             return a->id > b->id;
                         });
        std::vector<OVK_DETECTION> out;
        out.reserve(std::min(max, mine.size()));
        for (size_t i = 0; i < mine.size() && i < max; ++i) out.push_back(*mine[i]);
        return out;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_DETECTION, s.dets.size(), out);
        return {};
    }
}

uint64_t ovk_store_log_serial() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    return s.log_serial;
}

int ovk_store_detection_count() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    return static_cast<int>(std::min<size_t>(s.dets.size(), std::numeric_limits<int>::max()));
}

int ovk_store_prune_detections(int64_t before) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    const size_t n0 = s.dets.size();
    std::erase_if(s.dets, [&](const OVK_DETECTION& d) { return d.timestamp < before; });
    const size_t removed = n0 - s.dets.size();
    if (removed > 0) {
        ++s.log_serial;
        try {
            persist(s, File::Log);
        } catch (const std::exception&) {
            s.log_dirty = true;
        }
    }
    return static_cast<int>(std::min<size_t>(removed, std::numeric_limits<int>::max()));
}

int ovk_store_clear_detections() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    s.dets.clear();
    ++s.log_serial;
    try {
        return persist(s, File::Log);
    } catch (const std::exception&) {
        s.log_dirty = true;
        return -1;
    }
}

// ---------------------------------------------------------------------------------------
// 5. Remembered devices
// ---------------------------------------------------------------------------------------

std::optional<OVK_KNOWN> ovk_store_known_get(std::string_view mac) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    if (mac.size() > OVK_KNOWN_MAC_MAX) return std::nullopt;  // no key is that long
    auto it = s.known.find(KnownKey(mac));
    if (it == s.known.end()) return std::nullopt;
    try {
        return s.row(it->first, it->second);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int ovk_store_known_upsert(std::span<const OVK_KNOWN> rows) {
    if (rows.empty()) return 0;
    Store& s = store();
    std::lock_guard lock(s.mu);
    // A batch that changes a quarter of the records or more (the history flush after a busy
    // drive) would make a journal line about the size of the file and fold it in at once:
    // the records are changed and the compacted file is written straight away instead.
    if (rows.size() >= kDirectUpsertRows && rows.size() >= s.known.size() / 4) {
        try {
            s.known.reserve(s.known.size() + rows.size());
            for (const OVK_KNOWN& r : rows)
                if (!r.mac.empty()) s.put(r);
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(OVK_KNOWN, rows.size(), copies);
            s.known_dirty = s.open;
            return -1;
        }
        if (!s.open) return 0;
        if (s.known_held) {
            zq_log(LOG_ERR, "remembered devices are not saved: %s could not be read", kKnownFile);
            return -1;
        }
        try {
            return write_known(s);
        } catch (const std::exception&) {
            s.known_dirty = true;
            return -1;
        }
    }
    // The journal line is built first, so that running out of memory leaves the records as
    // they were.
    std::vector<KnownKey> keys;
    std::string line;
    try {
        keys.reserve(rows.size());
        line = "{\"put\":[";
        bool first = true;
        for (const OVK_KNOWN& r : rows) {
            if (r.mac.empty()) continue;
            keys.emplace_back(r.mac);
            if (!first) line += ',';
            first = false;
            put_known(line, cut_known(r));
        }
        line += "]}\n";
        if (keys.empty()) return 0;
        for (const OVK_KNOWN& r : rows)
            if (!r.mac.empty()) s.put(r);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, rows.size(), copies);
        return -1;
    }
    try {
        return known_changed(s, line);
    } catch (const std::exception&) {
        s.known_dirty = s.open;
        return -1;
    }
}

int ovk_store_known_stage(std::span<const OVK_KNOWN> rows) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        for (const OVK_KNOWN& r : rows)
            if (!r.mac.empty()) s.put(r);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, rows.size(), copies);
        s.known_dirty = s.open;
        return -1;
    }
    // Memory is ahead of the file until the next write, which is then a whole one.
    if (!rows.empty()) s.known_dirty = s.open;
    return 0;
}

std::vector<OVK_KNOWN> ovk_store_known_all() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        std::vector<OVK_KNOWN> out;
        out.reserve(s.known.size());
        for (const auto& [key, rec] : s.known) out.push_back(s.row(key, rec));
        std::sort(out.begin(), out.end(), [](const OVK_KNOWN& a, const OVK_KNOWN& b) {
            if (a.last_seen != b.last_seen) return a.last_seen > b.last_seen;
            return a.mac < b.mac;
        });
        return out;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, s.known.size(), out);
        return {};
    }
}

int ovk_store_known_count() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    return static_cast<int>(std::min<size_t>(s.known.size(), std::numeric_limits<int>::max()));
}

namespace {

// Forgets every record `drop` picks and writes the change. Returns the number forgotten, or
// -1 when it could not be written.
template <class F>
int forget_known(Store& s, F&& drop, size_t* removed) {
    std::vector<KnownKey> gone;
    for (const auto& [key, rec] : s.known)
        if (drop(rec)) gone.push_back(key);
    *removed = gone.size();
    if (gone.empty()) return 0;
    const std::string line = forget_line(gone);
    for (const KnownKey& k : gone) s.known.erase(k);
    return known_changed(s, line);
}

}  // namespace

int ovk_store_known_prune(int64_t before) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    size_t removed = 0;
    try {
        forget_known(
            s, [&](const KnownRec& r) { return !r.favorite && r.last_seen < before; }, &removed);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(KnownKey, s.known.size(), gone);
        s.known_dirty = s.open && removed > 0;
    }
    return static_cast<int>(std::min<size_t>(removed, std::numeric_limits<int>::max()));
}

int ovk_store_known_clear_non_favorites() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    size_t removed = 0;
    try {
        return forget_known(
                   s, [](const KnownRec& r) { return !r.favorite; }, &removed) == 0
                   ? 0
                   : -1;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(KnownKey, s.known.size(), gone);
        s.known_dirty = s.open && removed > 0;
        return -1;
    }
}

int ovk_store_is_favorite(std::string_view mac) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    if (mac.size() > OVK_KNOWN_MAC_MAX) return 0;
    auto it = s.known.find(KnownKey(mac));
    return (it != s.known.end() && it->second.favorite) ? 1 : 0;
}

int ovk_store_set_favorite(std::string_view mac, int favorite, std::string_view name,
                           std::string_view vendor, std::string_view type) {
    OVK_CHECK(!mac.empty(), -1);
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        const KnownKey key(mac);
        known_row(s, key, name, vendor, type).favorite = favorite != 0;
        return known_changed(s, put_line(s, std::span(&key, 1)));
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, 1, k);
        return -1;
    }
}

int ovk_store_set_note(std::string_view mac, std::string_view note) {
    OVK_CHECK(!mac.empty(), -1);
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        std::string text = ovk_cut(note, OVK_KNOWN_NOTE_MAX);
        const KnownKey key(mac);
        known_row(s, key, {}, {}, {}).note = std::move(text);
        return known_changed(s, put_line(s, std::span(&key, 1)));
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, 1, k);
        return -1;
    }
}

// ---------------------------------------------------------------------------------------
// 6. Whitelist
// ---------------------------------------------------------------------------------------

int ovk_store_is_whitelisted(std::string_view mac) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    for (const OVK_WHITELIST_ENTRY& w : s.whitelist)
        if (w.mac == mac) return 1;
    return 0;
}

int ovk_store_whitelist_add(std::string_view mac, std::string_view note) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        const std::string key = ovk_mac_normalize(mac, OVK_WL_MAC_MAX + 1);
        OVK_CHECK(!key.empty(), -1);
        std::string text = ovk_cut(note, OVK_WL_NOTE_MAX);
        auto it = std::find_if(s.whitelist.begin(), s.whitelist.end(),
                               [&](const OVK_WHITELIST_ENTRY& w) { return w.mac == key; });
        if (it != s.whitelist.end())
            it->note = std::move(text);
        else
            s.whitelist.push_back(OVK_WHITELIST_ENTRY{key, std::move(text)});
        ++s.whitelist_serial;
        return persist(s, File::Whitelist);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_WHITELIST_ENTRY, s.whitelist.size() + 1, whitelist);
        return -1;
    }
}

int ovk_store_whitelist_remove(std::string_view mac) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        const std::string key = ovk_mac_normalize(mac, OVK_WL_MAC_MAX + 1);
        auto it = std::find_if(s.whitelist.begin(), s.whitelist.end(),
                               [&](const OVK_WHITELIST_ENTRY& w) { return w.mac == key; });
        if (it == s.whitelist.end()) return 0;
        s.whitelist.erase(it);
        ++s.whitelist_serial;
        return persist(s, File::Whitelist);
    } catch (const std::exception&) {
        s.whitelist_dirty = s.open;
        return -1;
    }
}

uint64_t ovk_store_whitelist_serial() {
    return store().whitelist_serial.load();
}

std::vector<OVK_WHITELIST_ENTRY> ovk_store_whitelist_all() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    try {
        return s.whitelist;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_WHITELIST_ENTRY, s.whitelist.size(), out);
        return {};
    }
}
