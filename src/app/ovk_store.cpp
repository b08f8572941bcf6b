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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "ovk_advert.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr const char* kLogFile = "detections.jsonl";
constexpr const char* kKnownFile = "known_devices.json";
constexpr const char* kWhitelistFile = "whitelist.json";
constexpr size_t kDirMax = 1023;
constexpr size_t kKnownBuckets = 4096;
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

// One log object; nullopt when the piece is not a JSON object. The id is left as read.
std::optional<OVK_DETECTION> detection_from_json(const cJSON* o) {
    if (!cJSON_IsObject(o)) return std::nullopt;
    OVK_DETECTION d;
    d.id = ovk_json_i64(o, "id", 0);
    d.mac = str_member(o, "mac", OVK_DET_MAC_MAX);
    d.label = str_member(o, "label", OVK_DET_LABEL_MAX);
    d.source = str_member(o, "source", OVK_DET_SOURCE_MAX);
    d.evidence = str_member(o, "evidence", OVK_DET_EVIDENCE_MAX);
    d.vendor = str_member(o, "vendor", OVK_DET_VENDOR_MAX);
    d.device_name = str_member(o, "deviceName", OVK_DET_NAME_MAX);
    d.rssi = ovk_json_int(o, "rssi", 0);
    d.confidence = ovk_json_int(o, "confidence", 0);
    d.timestamp = ovk_json_i64(o, "timestamp", 0);
    d.lat = ovk_json_num(o, "latitude", 0);
    d.lon = ovk_json_num(o, "longitude", 0);
    // A position needs two finite numbers (1e999 parses as infinity).
    d.has_pos = ovk_json_has_num(o, "latitude") && ovk_json_has_num(o, "longitude") &&
                std::isfinite(d.lat) && std::isfinite(d.lon);
    const int cat = ovk_cat_parse(str_member(o, "category", kCategoryNameMax));
    d.category = cat >= 0 ? static_cast<OVK_CATEGORY>(cat) : OVK_CAT_CUSTOM;
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
        ovk_json_add_str_or_null(j, "deviceName", d.device_name) == 0;
    return ok ? std::move(o) : nullptr;
}

std::optional<OVK_KNOWN> known_from_json(const cJSON* o) {
    OVK_KNOWN k;
    k.mac = str_member(o, "mac", OVK_KNOWN_MAC_MAX);
    if (k.mac.empty()) return std::nullopt;
    k.first_seen = ovk_json_i64(o, "firstSeen", 0);
    k.last_seen = ovk_json_i64(o, "lastSeen", 0);
    k.sessions = ovk_json_int(o, "sessions", 0);
    k.detect_count = ovk_json_int(o, "detectCount", 0);
    k.name = str_member(o, "name", OVK_KNOWN_NAME_MAX);
    k.vendor = str_member(o, "vendor", OVK_KNOWN_VENDOR_MAX);
    k.device_type = str_member(o, "deviceType", OVK_KNOWN_TYPE_MAX);
    k.note = str_member(o, "note", OVK_KNOWN_NOTE_MAX);
    k.favorite = ovk_json_bool(o, "favorite", 0);
    return k;
}

// Adds one remembered-device object to `arr`. 0 / -1.
int add_known_json(cJSON* arr, const OVK_KNOWN& k) {
    cJSON* o = cJSON_CreateObject();
    if (!o) return -1;
    if (!cJSON_AddItemToArray(arr, o)) {
        cJSON_Delete(o);
        return -1;
    }
    const bool ok = ovk_json_add_str(o, "mac", k.mac) == 0 &&
                    ovk_json_add_i64(o, "firstSeen", k.first_seen) == 0 &&
                    ovk_json_add_i64(o, "lastSeen", k.last_seen) == 0 &&
                    ovk_json_add_i64(o, "sessions", k.sessions) == 0 &&
                    ovk_json_add_i64(o, "detectCount", k.detect_count) == 0 &&
                    ovk_json_add_str_or_null(o, "name", k.name) == 0 &&
                    ovk_json_add_str_or_null(o, "vendor", k.vendor) == 0 &&
                    ovk_json_add_str_or_null(o, "deviceType", k.device_type) == 0 &&
                    cJSON_AddBoolToObject(o, "favorite", k.favorite != 0) != nullptr &&
                    ovk_json_add_str_or_null(o, "note", k.note) == 0;
    return ok ? 0 : -1;
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

std::vector<OVK_DETECTION> ovk_store_parse_log(std::string_view text, int64_t* next_id) {
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
    for_each_line(text, [&](std::string_view line) {
        try {
            OVK_JSON j = ovk_json_parse(line);
            std::optional<OVK_DETECTION> d = detection_from_json(j.get());
            if (!d) return;
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

namespace {

std::vector<OVK_KNOWN> known_from_array(const cJSON* arr) {
    std::vector<OVK_KNOWN> out;
    if (!cJSON_IsArray(arr)) return out;
    OVK_SMAP<> index;  // MAC -> position in `out`
    if (index.init(kKnownBuckets) != 0) return out;
    const cJSON* el = nullptr;
    cJSON_ArrayForEach(el, arr) {
        try {
            std::optional<OVK_KNOWN> k = known_from_json(el);
            if (!k) continue;
            int created = 0;
            OVK_SMAP_NODE<>* n = index.put(k->mac, &created);
            if (!n) continue;
            if (created) {
                n->num = static_cast<int64_t>(out.size());
                out.push_back(std::move(*k));
            } else {
                out[static_cast<size_t>(n->num)] = std::move(*k);
            }
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(OVK_KNOWN, 1, k);
        }
    }
    return out;
}

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
    try {
        return known_from_array(ovk_json_parse(text).get());
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
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return std::nullopt;
    for (const OVK_KNOWN& k : rows)
        if (add_known_json(arr.get(), k) != 0) return std::nullopt;
    return ovk_json_print(arr.get(), false);
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

struct Store {
    std::mutex mu;
    std::vector<OVK_DETECTION> dets;  // oldest first as loaded and appended
    int64_t next_id = 1;
    OVK_SMAP<OVK_KNOWN> known;  // MAC -> record
    std::vector<OVK_WHITELIST_ENTRY> whitelist;
    std::string dir;
    bool open = false;
    // A file whose last write failed; the next successful write of any file retries it,
    // so memory and disk meet again as soon as the directory is writable.
    bool log_dirty = false;
    bool known_dirty = false;
    bool whitelist_dirty = false;

    Store() { known.init(kKnownBuckets); }

    std::string path(const char* name) const { return dir + "/" + name; }

    void forget() {
        dets = std::vector<OVK_DETECTION>();
        dets.reserve(256);
        next_id = 1;
        if (known.init(kKnownBuckets) != 0) known.release();
        whitelist = std::vector<OVK_WHITELIST_ENTRY>();
        dir.clear();
        open = false;
        log_dirty = known_dirty = whitelist_dirty = false;
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

int write_known(Store& s) {
    int rc = -1;
    OVK_JSON arr(cJSON_CreateArray());
    if (arr) {
        rc = 0;
        s.known.foreach ([&](const OVK_SMAP_NODE<OVK_KNOWN>& n) {
            if (rc == 0 && n.ptr && add_known_json(arr.get(), *n.ptr) != 0) rc = -1;
        });
        if (rc == 0) rc = ovk_json_write_file(s.path(kKnownFile), arr.get(), false);
    }
    s.known_dirty = rc != 0;
    return rc;
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
    std::optional<std::string> line = ovk_store_detection_line(s.dets.back());
    if (!line) {
        s.log_dirty = true;
        return -1;
    }
    line->push_back('\n');
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        zq_log(LOG_ERR, "cannot append to %s: %s", path.c_str(), strerror(errno));
        s.log_dirty = true;
        return -1;
    }
    struct stat st {};
    const off_t before = fstat(fd, &st) == 0 ? st.st_size : -1;
    const std::string& text = *line;
    const char* p = text.data();
    size_t left = text.size();
    int err = 0;
    while (left > 0) {
        const ssize_t w = write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            err = w < 0 ? errno : EIO;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (err != 0 && before >= 0 && ftruncate(fd, before) != 0) {
        // The broken tail stays; the dirty log is rewritten whole by the next write.
    }
    if (close(fd) != 0 && err == 0) err = errno;
    if (err != 0) {
        zq_log(LOG_ERR, "cannot append to %s: %s", path.c_str(), strerror(err));
        s.log_dirty = true;
        return -1;
    }
    return 0;
}

// The remembered record for `mac`, created when absent (texts fill only a new one).
OVK_KNOWN* known_row(Store& s, std::string_view mac, std::string_view name, std::string_view vendor,
                     std::string_view type) {
    const std::string key = ovk_cut(mac, OVK_KNOWN_MAC_MAX);
    OVK_SMAP_NODE<OVK_KNOWN>* n = s.known.get(key);
    if (n && n->ptr) return n->ptr.get();
    auto k = std::make_unique<OVK_KNOWN>();
    const int64_t now = ovk_now_ms();
    k->mac = key;
    k->first_seen = now;
    k->last_seen = now;
    k->sessions = 1;
    k->detect_count = 1;
    k->name = ovk_cut(name, OVK_KNOWN_NAME_MAX);
    k->vendor = ovk_cut(vendor, OVK_KNOWN_VENDOR_MAX);
    k->device_type = ovk_cut(type, OVK_KNOWN_TYPE_MAX);
    n = s.known.put(key);
    if (!n) return nullptr;
    n->ptr = std::move(k);
    return n->ptr.get();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 3. Lifecycle
// ---------------------------------------------------------------------------------------

int ovk_store_open(std::string_view data_dir) {
    OVK_CHECK(!data_dir.empty(), -1);
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        s.forget();
        s.dir = ovk_cut(data_dir, kDirMax);
        if (ovk_mkdirs(s.dir) != 0) {
            zq_log(LOG_ERR, "cannot create data directory %s", s.dir.c_str());
            s.dir.clear();
            return -1;
        }
        bool torn_tail = false;
        if (std::optional<OVK_FILE_VIEW> file = ovk_file_view(s.path(kLogFile))) {
            const std::string_view text = file->view();
            s.dets = ovk_store_parse_log(text, &s.next_id);
            torn_tail = !text.empty() && text.back() != '\n';
        }
        if (OVK_JSON j = ovk_json_read_file(s.path(kKnownFile))) {
            for (OVK_KNOWN& k : known_from_array(j.get())) {
                auto rec = std::make_unique<OVK_KNOWN>(std::move(k));
                OVK_SMAP_NODE<OVK_KNOWN>* n = s.known.put(rec->mac);
                if (n) n->ptr = std::move(rec);
            }
        }
        if (OVK_JSON j = ovk_json_read_file(s.path(kWhitelistFile)))
            s.whitelist = whitelist_from_array(j.get());
        s.open = true;
        // A log that ends inside a line (a crash during an append) is rewritten from what
        // loaded, so the next appended line starts on a line of its own.
        if (torn_tail) write_log(s);
        return 0;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(Store, 1, s);
        s.open = !s.dir.empty();
        return s.open ? 0 : -1;
    }
}

void ovk_store_close() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    s.forget();
}

int ovk_store_is_open() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.open ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// 4. Detection log
// ---------------------------------------------------------------------------------------

int ovk_store_add_detection(const OVK_DETECTION& d) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        OVK_DETECTION c = cut_detection(d);
        c.id = s.next_id;
        if (s.dets.capacity() == s.dets.size())
            s.dets.reserve(std::max<size_t>(256, s.dets.size() * 2));
        s.dets.push_back(std::move(c));
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
    std::lock_guard<std::mutex> lock(s.mu);
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

int ovk_store_detection_count() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    return static_cast<int>(std::min<size_t>(s.dets.size(), std::numeric_limits<int>::max()));
}

int ovk_store_prune_detections(int64_t before) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    const size_t n0 = s.dets.size();
    std::erase_if(s.dets, [&](const OVK_DETECTION& d) { return d.timestamp < before; });
    const size_t removed = n0 - s.dets.size();
    if (removed > 0) {
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
    std::lock_guard<std::mutex> lock(s.mu);
    s.dets.clear();
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
    std::lock_guard<std::mutex> lock(s.mu);
    if (mac.size() > OVK_KNOWN_MAC_MAX) return std::nullopt;  // no key is that long
    const OVK_SMAP_NODE<OVK_KNOWN>* n = s.known.get(mac);
    if (!n || !n->ptr) return std::nullopt;
    try {
        return *n->ptr;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int ovk_store_known_upsert(std::span<const OVK_KNOWN> rows) {
    if (rows.empty()) return 0;
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        // Copies first, so that running out of memory leaves the records as they were.
        std::vector<std::unique_ptr<OVK_KNOWN>> copies;
        copies.reserve(rows.size());
        for (const OVK_KNOWN& r : rows)
            if (!r.mac.empty()) copies.push_back(std::make_unique<OVK_KNOWN>(cut_known(r)));
        for (auto& c : copies) {
            OVK_SMAP_NODE<OVK_KNOWN>* n = s.known.put(c->mac);
            if (!n) return -1;
            n->ptr = std::move(c);
        }
        return persist(s, File::Known);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, rows.size(), copies);
        return -1;
    }
}

std::vector<OVK_KNOWN> ovk_store_known_all() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        std::vector<OVK_KNOWN> out;
        out.reserve(s.known.size());
        s.known.foreach ([&](const OVK_SMAP_NODE<OVK_KNOWN>& n) {
            if (n.ptr) out.push_back(*n.ptr);
        });
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
    std::lock_guard<std::mutex> lock(s.mu);
    return static_cast<int>(std::min<size_t>(s.known.size(), std::numeric_limits<int>::max()));
}

int ovk_store_known_prune(int64_t before) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    const size_t n0 = s.known.size();
    s.known.retain([&](OVK_SMAP_NODE<OVK_KNOWN>& n) {
        return n.ptr && (n.ptr->favorite || n.ptr->last_seen >= before);
    });
    const size_t removed = n0 - s.known.size();
    if (removed > 0) {
        try {
            persist(s, File::Known);
        } catch (const std::exception&) {
            s.known_dirty = true;
        }
    }
    return static_cast<int>(std::min<size_t>(removed, std::numeric_limits<int>::max()));
}

int ovk_store_known_clear_non_favorites() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    s.known.retain([](OVK_SMAP_NODE<OVK_KNOWN>& n) { return n.ptr && n.ptr->favorite; });
    try {
        return persist(s, File::Known);
    } catch (const std::exception&) {
        s.known_dirty = true;
        return -1;
    }
}

int ovk_store_is_favorite(std::string_view mac) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    if (mac.size() > OVK_KNOWN_MAC_MAX) return 0;
    const OVK_SMAP_NODE<OVK_KNOWN>* n = s.known.get(mac);
    return (n && n->ptr && n->ptr->favorite) ? 1 : 0;
}

int ovk_store_set_favorite(std::string_view mac, int favorite, std::string_view name,
                           std::string_view vendor, std::string_view type) {
    OVK_CHECK(!mac.empty(), -1);
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        OVK_KNOWN* k = known_row(s, mac, name, vendor, type);
        if (!k) return -1;
        k->favorite = favorite ? 1 : 0;
        return persist(s, File::Known);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_KNOWN, 1, k);
        return -1;
    }
}

int ovk_store_set_note(std::string_view mac, std::string_view note) {
    OVK_CHECK(!mac.empty(), -1);
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        std::string text = ovk_cut(note, OVK_KNOWN_NOTE_MAX);
        OVK_KNOWN* k = known_row(s, mac, {}, {}, {});
        if (!k) return -1;
        k->note = std::move(text);
        return persist(s, File::Known);
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
    std::lock_guard<std::mutex> lock(s.mu);
    for (const OVK_WHITELIST_ENTRY& w : s.whitelist)
        if (w.mac == mac) return 1;
    return 0;
}

int ovk_store_whitelist_add(std::string_view mac, std::string_view note) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
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
        return persist(s, File::Whitelist);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_WHITELIST_ENTRY, s.whitelist.size() + 1, whitelist);
        return -1;
    }
}

int ovk_store_whitelist_remove(std::string_view mac) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        const std::string key = ovk_mac_normalize(mac, OVK_WL_MAC_MAX + 1);
        auto it = std::find_if(s.whitelist.begin(), s.whitelist.end(),
                               [&](const OVK_WHITELIST_ENTRY& w) { return w.mac == key; });
        if (it == s.whitelist.end()) return 0;
        s.whitelist.erase(it);
        return persist(s, File::Whitelist);
    } catch (const std::exception&) {
        s.whitelist_dirty = s.open;
        return -1;
    }
}

std::vector<OVK_WHITELIST_ENTRY> ovk_store_whitelist_all() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        return s.whitelist;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_WHITELIST_ENTRY, s.whitelist.size(), out);
        return {};
    }
}
