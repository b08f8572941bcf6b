// SPDX-License-Identifier: GPL-3.0-or-later
// Trip recording (see the header).
//
// Index
//   1. file formats: records <-> text (pure)
//   2. module state and file writes
//   3. lifecycle
//   4. recording
//   5. the active trip and stored trips
//   6. exports
#include "ovk_trip.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "ovk_app_util.h"
#include "ovk_datafile.h"
#include "ovk_export.h"
#include "ovk_jsonscan.h"
#include "ovk_lock.h"
#include "ovk_util.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

constexpr const char* kIndexFile = "trips.json";
constexpr size_t kDeviceBuckets = 512;
constexpr size_t kPointsReserve = 256;

std::string str_member(const cJSON* o, const char* key, size_t max) {
    std::string out;
    ovk_json_str(o, key, out, max + 1);
    return out;
}

bool flagged(int category) {
    return category >= 0 && category < OVK_CAT_COUNT;
}

// ---------------------------------------------------------------------------------------
// 1. File formats
// ---------------------------------------------------------------------------------------

bool parse_i64(std::string_view s, int64_t& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parse_finite(std::string_view s, double& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(out);
}

// One points line without its newline; false when it does not hold a point.
bool parse_point_line(std::string_view line, OVK_TRIP_POINT& p) {
    std::string_view f[5];
    int nf = 0;
    while (nf < 5) {
        const size_t comma = line.find(',');
        f[nf++] = line.substr(0, comma);
        if (comma == std::string_view::npos) break;
        line.remove_prefix(comma + 1);
    }
    if (nf < 3) return false;
    p = OVK_TRIP_POINT{};
    if (!parse_i64(f[0], p.time) || !parse_finite(f[1], p.lat) || !parse_finite(f[2], p.lon))
        return false;
    if (nf > 3 && parse_finite(f[3], p.accuracy_m))
        p.has_accuracy = 1;
    else
        p.accuracy_m = 0;
    if (nf > 4 && parse_finite(f[4], p.speed_ms))
        p.has_speed = 1;
    else
        p.speed_ms = 0;
    return true;
}

double track_length(const std::vector<OVK_TRIP_POINT>& pts) {
    double d = 0;
    for (size_t i = 1; i < pts.size(); ++i)
        d += ovk_meters_between(pts[i - 1].lat, pts[i - 1].lon, pts[i].lat, pts[i].lon);
    return d;
}

bool json_add_num(cJSON* o, const char* key, double v) {
    return cJSON_AddNumberToObject(o, key, v) != nullptr;
}

}  // namespace

namespace {

// The rows of an index text; false when the text is not a JSON array (ids are read exactly).
bool parse_index(std::string_view text, std::vector<OVK_TRIP>& rows) {
    OVK_JSON_SCAN sc(text);
    OVK_JSON_FLAT el;
    std::unordered_set<int64_t> ids;
    if (sc.peek() != '[') return false;
    return sc.each_element([&](OVK_JSON_SCAN& e) {
        if (e.peek() != '{') return e.skip_value();
        if (!e.read_flat(el)) return false;
        OVK_TRIP t;
        t.id = el.i64("id", 0);
        if (t.id <= 0) return true;
        // A repeated id would make two rows share one pair of files.
        if (!ids.insert(t.id).second) return true;
        el.str("name", t.name, OVK_TRIP_NAME_MAX);
        t.start_time = el.i64("startTime", 0);
        t.end_time = el.i64("endTime", 0);
        t.distance_m = el.num("distanceM", 0);
        if (!std::isfinite(t.distance_m)) t.distance_m = 0;
        t.point_count = el.integer("pointCount", 0);
        t.device_count = el.integer("deviceCount", 0);
        t.flagged_count = el.integer("flaggedCount", 0);
        rows.push_back(std::move(t));
        return true;
    });
}

}  // namespace

std::vector<OVK_TRIP> ovk_trip_parse_index(std::string_view text) {
    std::vector<OVK_TRIP> rows;
    try {
        if (!parse_index(text, rows)) rows.clear();
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP, rows.size() + 1, rows);
        rows.clear();
    }
    return rows;
}

std::optional<std::string> ovk_trip_index_text(std::span<const OVK_TRIP> rows) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return std::nullopt;
    for (const OVK_TRIP& t : rows) {
        cJSON* o = cJSON_CreateObject();
        if (!o) return std::nullopt;
        cJSON_AddItemToArray(arr.get(), o);
        bool ok = ovk_json_add_i64(o, "id", t.id) == 0 &&
                  ovk_json_add_str(o, "name", t.name) == 0 &&
                  ovk_json_add_i64(o, "startTime", t.start_time) == 0;
        if (ok) {
            ok = t.end_time != 0 ? ovk_json_add_i64(o, "endTime", t.end_time) == 0
                                 : cJSON_AddNullToObject(o, "endTime") != nullptr;
        }
        ok = ok && json_add_num(o, "distanceM", t.distance_m) &&
             json_add_num(o, "pointCount", t.point_count) &&
             json_add_num(o, "deviceCount", t.device_count) &&
             json_add_num(o, "flaggedCount", t.flagged_count);
        if (!ok) return std::nullopt;
    }
    return ovk_json_print(arr.get(), false);
}

std::vector<OVK_TRIP_POINT> ovk_trip_parse_points(std::string_view text) {
    std::vector<OVK_TRIP_POINT> pts;
    try {
        // Every line is written with its newline, so a last line without one was torn by
        // a crash mid-append and is not trusted.
        while (!text.empty()) {
            const size_t nl = text.find('\n');
            if (nl == std::string_view::npos) break;
            const std::string_view line = text.substr(0, nl);
            text.remove_prefix(nl + 1);
            OVK_TRIP_POINT p;
            if (!line.empty() && parse_point_line(line, p)) pts.push_back(p);
        }
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_POINT, pts.size() + 1, pts);
        pts.clear();
    }
    return pts;
}

std::string ovk_trip_points_text(std::span<const OVK_TRIP_POINT> p) {
    std::string s;
    for (const OVK_TRIP_POINT& q : p) {
        s += std::to_string(q.time);
        s += ',';
        s += ovk_jdouble(q.lat);
        s += ',';
        s += ovk_jdouble(q.lon);
        s += ',';
        if (q.has_accuracy) s += ovk_jdouble(q.accuracy_m);
        s += ',';
        if (q.has_speed) s += ovk_jdouble(q.speed_ms);
        s += '\n';
    }
    return s;
}

std::vector<OVK_TRIP_DEVICE> ovk_trip_parse_devices(std::string_view text) {
    std::vector<OVK_TRIP_DEVICE> out;
    try {
        const OVK_JSON root = ovk_json_parse(text);
        if (!root || !cJSON_IsArray(root.get())) return out;
        const cJSON* el = nullptr;
        cJSON_ArrayForEach(el, root.get()) {
            if (!cJSON_IsObject(el)) continue;
            OVK_TRIP_DEVICE d;
            if (!ovk_json_str(el, "mac", d.mac, OVK_TRIP_MAC_MAX + 1) || d.mac.empty()) continue;
            d.label = str_member(el, "label", OVK_TRIP_LABEL_MAX);
            d.name = str_member(el, "name", OVK_TRIP_DEV_NAME_MAX);
            d.vendor = str_member(el, "vendor", OVK_TRIP_VENDOR_MAX);
            d.device_type = str_member(el, "deviceType", OVK_TRIP_TYPE_MAX);
            d.source = str_member(el, "source", OVK_TRIP_SOURCE_MAX);
            const cJSON* cat = cJSON_GetObjectItemCaseSensitive(el, "category");
            d.category = cJSON_IsString(cat) ? ovk_cat_parse(cat->valuestring) : -1;
            d.confidence = ovk_json_int(el, "confidence", 0);
            d.evidence = str_member(el, "evidence", OVK_TRIP_EVIDENCE_MAX);
            d.first_seen = ovk_json_i64(el, "firstSeen", 0);
            d.last_seen = ovk_json_i64(el, "lastSeen", 0);
            d.best_rssi = ovk_json_int(el, "bestRssi", 0);
            if (ovk_json_has_num(el, "lat") && ovk_json_has_num(el, "lon")) {
                d.lat = ovk_json_num(el, "lat", 0);
                d.lon = ovk_json_num(el, "lon", 0);
                d.has_pos = std::isfinite(d.lat) && std::isfinite(d.lon);
                if (!d.has_pos) d.lat = d.lon = 0;
            }
            out.push_back(std::move(d));
        }
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, out.size() + 1, out);
        out.clear();
    }
    return out;
}

std::optional<std::string> ovk_trip_devices_text(int64_t trip_id,
                                                 std::span<const OVK_TRIP_DEVICE> devs) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return std::nullopt;
    for (const OVK_TRIP_DEVICE& d : devs) {
        cJSON* o = cJSON_CreateObject();
        if (!o) return std::nullopt;
        cJSON_AddItemToArray(arr.get(), o);
        bool ok = ovk_json_add_i64(o, "tripId", trip_id) == 0 &&
                  ovk_json_add_str(o, "mac", d.mac) == 0 &&
                  ovk_json_add_str(o, "label", d.label) == 0 &&
                  ovk_json_add_str_or_null(o, "name", d.name) == 0 &&
                  ovk_json_add_str_or_null(o, "vendor", d.vendor) == 0 &&
                  ovk_json_add_str_or_null(o, "deviceType", d.device_type) == 0 &&
                  ovk_json_add_str(o, "source", d.source) == 0;
        if (ok) {
            ok = flagged(d.category)
                     ? ovk_json_add_str(o, "category", ovk_cat_name(d.category)) == 0
                     : cJSON_AddNullToObject(o, "category") != nullptr;
        }
        ok = ok && json_add_num(o, "confidence", d.confidence) &&
             ovk_json_add_str_or_null(o, "evidence", d.evidence) == 0 &&
             ovk_json_add_i64(o, "firstSeen", d.first_seen) == 0 &&
             ovk_json_add_i64(o, "lastSeen", d.last_seen) == 0 &&
             json_add_num(o, "bestRssi", d.best_rssi);
        if (ok) {
            if (d.has_pos)
                ok = json_add_num(o, "lat", d.lat) && json_add_num(o, "lon", d.lon);
            else
                ok = cJSON_AddNullToObject(o, "lat") && cJSON_AddNullToObject(o, "lon");
        }
        if (!ok) return std::nullopt;
    }
    return ovk_json_print(arr.get(), false);
}

// ---------------------------------------------------------------------------------------
// 2. Module state and file writes
// ---------------------------------------------------------------------------------------

namespace {

struct TRIP_STATE {
    OVK_LOCK mu{"trip"};
    std::string folder;  // empty: every file write is a no-op
    std::vector<OVK_TRIP> rows;
    int64_t active = 0;                   // 0: none
    std::vector<OVK_TRIP_POINT> points;   // all points of the active trip
    std::vector<OVK_TRIP_POINT> pending;  // not yet appended to its file
    OVK_SMAP<OVK_TRIP_DEVICE> devices;
    double distance = 0;
    int flagged_count = 0;
    int64_t started_at = 0;
    bool dirty = false;
};

TRIP_STATE& S() {
    static TRIP_STATE s;
    return s;
}

std::string trip_file(const TRIP_STATE& s, int64_t id, const char* what) {
    return s.folder + "/" + std::to_string(id) + "." + what;
}

OVK_TRIP* row_of(TRIP_STATE& s, int64_t id) {
    for (OVK_TRIP& t : s.rows)
        if (t.id == id) return &t;
    return nullptr;
}

int write_index_locked(TRIP_STATE& s) {
    if (s.folder.empty()) return 0;
    const std::optional<std::string> txt = ovk_trip_index_text(s.rows);
    if (!txt) return -1;
    const std::string path = s.folder + "/" + kIndexFile;
    if (ovk_write_file_atomic(path, *txt) != 0) {
        zq_log(LOG_ERR, "cannot write %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

// The id of a new trip: above every row of the index and every trip file in the folder (an
// index that did not load must not lead a new trip onto an old trip's files). When the top
// id is taken, the lowest free one. 0 when none is free.
int64_t next_id_locked(const TRIP_STATE& s) {
    std::unordered_set<int64_t> used;
    int64_t max_id = 0;
    auto take = [&](int64_t id) {
        used.insert(id);
        max_id = std::max(max_id, id);
    };
    for (const OVK_TRIP& r : s.rows) take(r.id);
    if (!s.folder.empty()) {
        std::vector<std::string> names;
        if (zq_fs_list(s.folder, names) == 0) {
            for (const std::string_view name : names) {
                const size_t dot = name.find('.');
                if (dot == std::string_view::npos) continue;
                const std::string_view rest = name.substr(dot);
                if (rest != ".points.csv" && rest != ".devices.json") continue;
                int64_t id = 0;
                if (parse_i64(name.substr(0, dot), id) && id > 0) take(id);
            }
        }
    }
    if (max_id < std::numeric_limits<int64_t>::max()) return max_id + 1;
    for (int64_t id = 1; id < std::numeric_limits<int64_t>::max(); ++id)
        if (!used.count(id)) return id;
    return 0;
}

void remove_files_locked(const TRIP_STATE& s, int64_t id) {
    if (s.folder.empty()) return;
    zq_fs_unlink(trip_file(s, id, "points.csv"));
    zq_fs_unlink(trip_file(s, id, "devices.json"));
}

void append_pending_locked(TRIP_STATE& s) {
    if (s.pending.empty()) return;
    if (!s.folder.empty()) {
        const std::string path = trip_file(s, s.active, "points.csv");
        const std::string txt = ovk_trip_points_text(s.pending);
        FILE* f = fopen(path.c_str(), "a");
        bool ok = f != nullptr;
        if (f) {
            ok = fwrite(txt.data(), 1, txt.size(), f) == txt.size();
            ok = (fclose(f) == 0) && ok;
        }
        if (!ok) zq_log(LOG_ERR, "cannot append trace points to %s", path.c_str());
    }
    s.pending.clear();
}

std::vector<OVK_TRIP_DEVICE> device_list_locked(const TRIP_STATE& s) {
    std::vector<OVK_TRIP_DEVICE> v;
    v.reserve(s.devices.size());
    s.devices.foreach ([&](const auto& n) {
        if (n.ptr) v.push_back(*n.ptr);
    });
    return v;
}

void flush_locked(TRIP_STATE& s, int64_t end) {
    if (s.active == 0) return;
    append_pending_locked(s);
    if (s.dirty) {
        if (!s.folder.empty()) {
            const std::optional<std::string> txt =
                ovk_trip_devices_text(s.active, device_list_locked(s));
            const std::string path = trip_file(s, s.active, "devices.json");
            if (!txt || ovk_write_file_atomic(path, *txt) != 0)
                zq_log(LOG_ERR, "cannot write %s: %s", path.c_str(), strerror(errno));
        }
        s.dirty = false;
    }
    if (OVK_TRIP* t = row_of(s, s.active)) {
        t->end_time = end;
        t->distance_m = s.distance;
        t->point_count = static_cast<int>(s.points.size());
        t->device_count = static_cast<int>(s.devices.size());
        t->flagged_count = s.flagged_count;
        write_index_locked(s);
    }
}

void clear_active_locked(TRIP_STATE& s) {
    s.active = 0;
    s.points.clear();
    s.pending.clear();
    s.devices.clear();
    s.distance = 0;
    s.flagged_count = 0;
    s.started_at = 0;
    s.dirty = false;
}

void stop_locked(TRIP_STATE& s) {
    if (s.active == 0) return;
    const int64_t id = s.active;
    flush_locked(s, ovk_now_ms());
    const OVK_TRIP* t = row_of(s, id);
    if (t && t->point_count == 0 && t->device_count == 0) {
        std::erase_if(s.rows, [&](const OVK_TRIP& r) { return r.id == id; });
        write_index_locked(s);
        remove_files_locked(s, id);
    }
    clear_active_locked(s);
}

std::vector<OVK_TRIP_POINT> read_points_locked(const TRIP_STATE& s, int64_t id) {
    if (s.folder.empty()) return {};
    const OVK_DATAFILE f = ovk_datafile_read(trip_file(s, id, "points.csv"), OVK_DATAFILE_TRIP_MAX);
    if (f.state != OVK_DATAFILE_STATE::Loaded) return {};
    return ovk_trip_parse_points(f.view.view());
}

std::vector<OVK_TRIP_DEVICE> read_devices_locked(const TRIP_STATE& s, int64_t id) {
    if (s.folder.empty()) return {};
    const std::string path = trip_file(s, id, "devices.json");
    const OVK_DATAFILE f = ovk_datafile_read(path, OVK_DATAFILE_TRIP_MAX);
    if (f.state != OVK_DATAFILE_STATE::Loaded) return {};
    if (!ovk_json_parse(f.view.view())) {
        zq_log(LOG_ERR, "invalid JSON in %s", path.c_str());
        return {};
    }
    return ovk_trip_parse_devices(f.view.view());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 3. Lifecycle
// ---------------------------------------------------------------------------------------

int ovk_trip_open(std::string_view data_dir) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        clear_active_locked(s);
        s.rows.clear();
        s.folder = std::string(data_dir) + "/trips";
        int rc = 0;
        if (ovk_mkdirs(s.folder) != 0) {
            zq_log(LOG_ERR, "cannot create %s", s.folder.c_str());
            s.folder.clear();
            rc = -1;
        }
        if (!s.devices.initialised()) s.devices.init(kDeviceBuckets);
        if (!s.folder.empty()) {
            const std::string path = s.folder + "/" + kIndexFile;
            OVK_DATAFILE f = ovk_datafile_read(path, OVK_DATAFILE_LIST_MAX);
            if (f.state == OVK_DATAFILE_STATE::Loaded && !parse_index(f.view.view(), s.rows)) {
                s.rows.clear();
                ovk_datafile_damaged(path, f.view.view());
            }
        }
        return rc;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP, 1, rows);
        s.rows.clear();
        return -1;
    }
}

int ovk_trip_close_stale() {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    if (s.active != 0) return 0;
    OVK_TRIP* open = nullptr;
    for (OVK_TRIP& t : s.rows)
        if (t.end_time == 0 && (!open || t.start_time >= open->start_time)) open = &t;
    if (!open) return 0;
    try {
        const std::vector<OVK_TRIP_POINT> pts = read_points_locked(s, open->id);
        const std::vector<OVK_TRIP_DEVICE> devs = read_devices_locked(s, open->id);
        open->end_time = pts.empty() ? open->start_time : pts.back().time;
        open->distance_m = track_length(pts);
        open->point_count = static_cast<int>(pts.size());
        open->device_count = static_cast<int>(devs.size());
        open->flagged_count = static_cast<int>(std::count_if(
            devs.begin(), devs.end(), [](const auto& d) { return flagged(d.category); }));
        zq_log(LOG_NOTICE, "closed trip %lld left open (%d points, %d devices)",
               static_cast<long long>(open->id), open->point_count, open->device_count);
        write_index_locked(s);
        return 1;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_POINT, 1, pts);
        return 0;
    }
}

void ovk_trip_close() {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        stop_locked(s);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, 1, devices);
    }
    clear_active_locked(s);
    s.devices.release();
    s.rows.clear();
    s.rows.shrink_to_fit();
    s.folder.clear();
}

// ---------------------------------------------------------------------------------------
// 4. Recording
// ---------------------------------------------------------------------------------------

int64_t ovk_trip_start(std::string_view name) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    if (s.active != 0) return s.active;
    try {
        if (!s.devices.initialised() && s.devices.init(kDeviceBuckets) != 0) return -1;
        const int64_t now = ovk_now_ms();
        OVK_TRIP t;
        if (!name.empty()) {
            t.name = ovk_cut(name, OVK_TRIP_NAME_MAX);
        } else {
            const time_t secs = static_cast<time_t>(now / 1000);
            struct tm lt {};
            char buf[64] = "";
            if (localtime_r(&secs, &lt)) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &lt);
            t.name = ovk_cut(std::string("Trace ") + buf, OVK_TRIP_NAME_MAX);
        }
        const int64_t id = next_id_locked(s);
        if (id <= 0) return -1;
        t.id = id;
        t.start_time = now;
        s.rows.push_back(t);
        write_index_locked(s);
        clear_active_locked(s);
        s.points.reserve(kPointsReserve);
        s.pending.reserve(kPointsReserve);
        s.started_at = now;
        s.active = t.id;
        return t.id;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP, s.rows.size() + 1, rows);
        return -1;
    }
}

void ovk_trip_stop() {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        stop_locked(s);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, 1, devices);
        clear_active_locked(s);
    }
}

void ovk_trip_flush() {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        flush_locked(s, 0);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, 1, devices);
    }
}

void ovk_trip_on_location(const OVK_LOCATION& loc) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    if (s.active == 0) return;
    if (loc.has_accuracy && loc.accuracy_m > OVK_TRIP_MAX_ACCURACY_M) return;
    // A fix without a usable position would poison the distance and the files.
    if (!std::isfinite(loc.lat) || !std::isfinite(loc.lon)) return;
    OVK_TRIP_POINT p;
    p.time = loc.time;
    p.lat = loc.lat;
    p.lon = loc.lon;
    if (loc.has_accuracy && std::isfinite(loc.accuracy_m)) {
        p.has_accuracy = 1;
        p.accuracy_m = loc.accuracy_m;
    }
    if (loc.has_speed && std::isfinite(loc.speed_ms)) {
        p.has_speed = 1;
        p.speed_ms = loc.speed_ms;
    }
    double d = 0;
    if (!s.points.empty()) {
        const OVK_TRIP_POINT& last = s.points.back();
        d = ovk_meters_between(last.lat, last.lon, p.lat, p.lon);
        if (d < OVK_TRIP_MIN_STEP_M && p.time - last.time < OVK_TRIP_MIN_GAP_MS) return;
    }
    try {
        s.points.push_back(p);
        try {
            s.pending.push_back(p);
        } catch (const std::exception&) {
            s.points.pop_back();
            throw;
        }
    } catch (const std::exception&) {
        OVK_LOG_REALLOC_FAIL(OVK_TRIP_POINT, s.points.size() + 1, points);
        return;
    }
    s.distance += d;
}

void ovk_trip_on_device(std::string_view mac, int rssi, std::string_view source,
                        const OVK_HIT* best, std::string_view name, std::string_view vendor,
                        std::string_view type, const OVK_LOCATION* loc, int64_t now) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    if (s.active == 0 || mac.empty()) return;
    const std::string key = ovk_cut(mac, OVK_TRIP_MAC_MAX);
    int created = 0;
    auto* node = s.devices.put(key, &created);
    if (!node) return;
    try {
        const OVK_TRIP_DEVICE* old = created ? nullptr : node->ptr.get();
        if (!old) created = 1;
        const bool was_flagged = old && flagged(old->category);
        OVK_TRIP_DEVICE d;
        d.mac = key;
        if (best)
            d.label = ovk_cut(best->label, OVK_TRIP_LABEL_MAX);
        else if (old)
            d.label = old->label;
        else if (!name.empty())
            d.label = ovk_cut(name, OVK_TRIP_LABEL_MAX);
        else if (!type.empty())
            d.label = ovk_cut(type, OVK_TRIP_LABEL_MAX);
        else
            d.label = key;
        d.name = !name.empty() ? ovk_cut(name, OVK_TRIP_DEV_NAME_MAX) : old ? old->name : "";
        d.vendor = !vendor.empty() ? ovk_cut(vendor, OVK_TRIP_VENDOR_MAX) : old ? old->vendor : "";
        d.device_type = !type.empty() ? ovk_cut(type, OVK_TRIP_TYPE_MAX)
                        : old         ? old->device_type
                                      : "";
        d.source = ovk_cut(source, OVK_TRIP_SOURCE_MAX);
        if (best) {
            d.category = best->category;
            const int c = std::max(0, best->confidence);
            d.confidence = old ? std::max(old->confidence, c) : c;
            d.evidence = ovk_cut(best->evidence, OVK_TRIP_EVIDENCE_MAX);
        } else if (old) {
            d.category = old->category;
            d.confidence = std::max(0, old->confidence);
            d.evidence = old->evidence;
        } else {
            d.category = -1;
            d.confidence = 0;
        }
        d.first_seen = old ? old->first_seen : now;
        d.last_seen = now;
        const bool fix = loc && std::isfinite(loc->lat) && std::isfinite(loc->lon);
        if (!old) {
            d.best_rssi = rssi;
            if (fix) {
                d.has_pos = 1;
                d.lat = loc->lat;
                d.lon = loc->lon;
            }
        } else if (rssi > old->best_rssi) {
            d.best_rssi = rssi;
            if (fix) {
                d.has_pos = 1;
                d.lat = loc->lat;
                d.lon = loc->lon;
            } else {
                d.has_pos = old->has_pos;
                d.lat = old->lat;
                d.lon = old->lon;
            }
        } else {
            d.best_rssi = old->best_rssi;
            if (old->has_pos) {
                d.has_pos = 1;
                d.lat = old->lat;
                d.lon = old->lon;
            } else if (fix) {
                d.has_pos = 1;
                d.lat = loc->lat;
                d.lon = loc->lon;
            }
        }
        if (flagged(d.category) && !was_flagged && (created || old->category == -1))
            ++s.flagged_count;
        if (node->ptr)
            *node->ptr = std::move(d);
        else
            node->ptr = std::make_unique<OVK_TRIP_DEVICE>(std::move(d));
        s.dirty = true;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, 1, device);
        if (created) s.devices.del(key);
    }
}

// ---------------------------------------------------------------------------------------
// 5. The active trip and stored trips
// ---------------------------------------------------------------------------------------

int ovk_trip_is_recording() {
    std::lock_guard lk(S().mu);
    return S().active != 0;
}
int64_t ovk_trip_active_id() {
    std::lock_guard lk(S().mu);
    return S().active;
}
double ovk_trip_distance() {
    std::lock_guard lk(S().mu);
    return S().distance;
}
int64_t ovk_trip_started_at() {
    std::lock_guard lk(S().mu);
    return S().started_at;
}
int ovk_trip_device_count() {
    std::lock_guard lk(S().mu);
    return static_cast<int>(S().devices.size());
}
int ovk_trip_flagged_count() {
    std::lock_guard lk(S().mu);
    return S().flagged_count;
}

std::vector<OVK_TRIP_POINT> ovk_trip_live_points() {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        return s.points;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_POINT, s.points.size(), points);
        return {};
    }
}

std::vector<OVK_TRIP> ovk_trip_list() {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        std::vector<OVK_TRIP> v = s.rows;
        std::stable_sort(v.begin(), v.end(), [](const OVK_TRIP& a, const OVK_TRIP& b) {
            if (a.start_time != b.start_time) return a.start_time > b.start_time;
            return a.id > b.id;
        });
        return v;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP, s.rows.size(), rows);
        return {};
    }
}

std::optional<OVK_TRIP> ovk_trip_get(int64_t id) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        if (const OVK_TRIP* t = row_of(s, id)) return *t;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP, 1, row);
    }
    return std::nullopt;
}

std::vector<OVK_TRIP_POINT> ovk_trip_points(int64_t id) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        if (id != 0 && id == s.active) flush_locked(s, 0);
        return read_points_locked(s, id);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_POINT, 1, points);
        return {};
    }
}

std::vector<OVK_TRIP_DEVICE> ovk_trip_devices(int64_t id) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    try {
        if (id != 0 && id == s.active) flush_locked(s, 0);
        std::vector<OVK_TRIP_DEVICE> v = read_devices_locked(s, id);
        std::stable_sort(v.begin(), v.end(),
                         [](const OVK_TRIP_DEVICE& a, const OVK_TRIP_DEVICE& b) {
                             const bool fa = a.category >= 0, fb = b.category >= 0;
                             if (fa != fb) return fa;
                             if (a.confidence != b.confidence) return a.confidence > b.confidence;
                             return a.best_rssi > b.best_rssi;
                         });
        return v;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, 1, devices);
        return {};
    }
}

std::vector<OVK_TRIP_DEVICE> ovk_trip_flagged_since(int64_t since) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    std::vector<OVK_TRIP_DEVICE> out;
    try {
        if (s.active != 0) flush_locked(s, 0);
        for (const OVK_TRIP& t : s.rows) {
            for (OVK_TRIP_DEVICE& d : read_devices_locked(s, t.id))
                if (d.category >= 0 && d.has_pos && d.last_seen >= since)
                    out.push_back(std::move(d));
        }
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_TRIP_DEVICE, out.size() + 1, out);
        out.clear();
    }
    return out;
}

int ovk_trip_rename(int64_t id, std::string_view name) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    OVK_TRIP* t = row_of(s, id);
    if (!t) return -1;
    try {
        t->name = ovk_cut(name, OVK_TRIP_NAME_MAX);
        return write_index_locked(s);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, name.size(), name);
        return -1;
    }
}

int ovk_trip_delete(int64_t id) {
    TRIP_STATE& s = S();
    std::lock_guard lk(s.mu);
    if (!row_of(s, id)) return -1;
    if (id == s.active) clear_active_locked(s);
    std::erase_if(s.rows, [&](const OVK_TRIP& r) { return r.id == id; });
    write_index_locked(s);
    remove_files_locked(s, id);
    return 0;
}

// ---------------------------------------------------------------------------------------
// 6. Exports
// ---------------------------------------------------------------------------------------

namespace {

// "ADDR - vendor - CATEGORY 90% - best -60 dBm - evidence", the parts present.
std::string describe(const OVK_TRIP_DEVICE& d) {
    std::string s = d.mac;
    if (!d.vendor.empty()) s += " - " + d.vendor;
    if (flagged(d.category))
        s += ovk_format(64, " - %s %d%%", ovk_cat_name(d.category), d.confidence);
    s += ovk_format(32, " - best %d dBm", d.best_rssi);
    if (!d.evidence.empty()) s += " - " + d.evidence;
    return s;
}

bool include(const OVK_TRIP_DEVICE& d, bool only_flagged) {
    return d.has_pos && (!only_flagged || d.category >= 0);
}

std::string csv_opt(std::string_view s) {
    return s.empty() ? std::string() : ovk_csv_field(s);
}

// The text `write` puts into a fresh buffer; nullopt, logged, when memory runs out.
template <class Write>
std::optional<std::string> build_text(Write&& write) {
    try {
        OVK_SBUF b;
        write(b);
        return b.take();
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, 1, text);
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> ovk_trip_export_gpx(const OVK_TRIP& t, std::span<const OVK_TRIP_POINT> p,
                                               std::span<const OVK_TRIP_DEVICE> d,
                                               bool only_flagged) {
    return build_text([&](OVK_SBUF& b) {
        const std::string name = ovk_xml_escape(t.name);
        b.add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
        b.add(
            "<gpx version=\"1.1\" creator=\"Orvik\" "
            "xmlns=\"http://www.topografix.com/GPX/1/1\">\n");
        b.addf("  <metadata><name>%s</name><time>%s</time></metadata>\n", name.c_str(),
               ovk_iso_time(t.start_time).c_str());
        for (const OVK_TRIP_DEVICE& x : d) {
            if (!include(x, only_flagged)) continue;
            b.addf("  <wpt lat=\"%.7f\" lon=\"%.7f\">\n", x.lat, x.lon);
            b.addf("    <time>%s</time>\n", ovk_iso_time(x.last_seen).c_str());
            b.add("    <name>" + ovk_xml_escape(x.label) + "</name>\n");
            b.add("    <desc>" + ovk_xml_escape(describe(x)) + "</desc>\n");
            b.add("    <type>" +
                  ovk_xml_escape(x.category >= 0 ? ovk_cat_name(x.category) : "DEVICE") +
                  "</type>\n");
            b.add("  </wpt>\n");
        }
        b.add("  <trk><name>" + name + "</name><trkseg>\n");
        for (const OVK_TRIP_POINT& q : p)
            b.addf("    <trkpt lat=\"%.7f\" lon=\"%.7f\"><time>%s</time></trkpt>\n", q.lat, q.lon,
                   ovk_iso_time(q.time).c_str());
        b.add("  </trkseg></trk>\n");
        b.add("</gpx>\n");
    });
}

std::optional<std::string> ovk_trip_export_kml(const OVK_TRIP& t, std::span<const OVK_TRIP_POINT> p,
                                               std::span<const OVK_TRIP_DEVICE> d,
                                               bool only_flagged) {
    return build_text([&](OVK_SBUF& b) {
        b.add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
        b.add("<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n");
        b.add("<Document>\n");
        b.add("  <name>" + ovk_xml_escape(t.name) + "</name>\n");
        b.add(
            "  <Style "
            "id=\"trace\"><LineStyle><color>ff2d62e0</color><width>4</width></LineStyle></"
            "Style>\n");
        b.add("  <Style id=\"flagged\"><IconStyle><color>ff1a26b3</color></IconStyle></Style>\n");
        b.add(
            "  <Style "
            "id=\"device\"><IconStyle><color>ff9e9e9e</color><scale>0.6</scale></IconStyle></"
            "Style>\n");
        if (p.size() >= 2) {
            b.add(
                "  <Placemark><name>Trace</name><styleUrl>#trace</styleUrl><LineString>"
                "<tessellate>1</tessellate><coordinates>\n");
            for (const OVK_TRIP_POINT& q : p) b.addf("    %.7f,%.7f,0\n", q.lon, q.lat);
            b.add("  </coordinates></LineString></Placemark>\n");
        }
        for (const OVK_TRIP_DEVICE& x : d) {
            if (!include(x, only_flagged)) continue;
            b.add("  <Placemark><name>" + ovk_xml_escape(x.label) + "</name>");
            b.addf("<styleUrl>#%s</styleUrl><description>", x.category >= 0 ? "flagged" : "device");
            b.add(ovk_xml_escape(describe(x) + " - " + ovk_local_time(x.first_seen)));
            b.addf(
                "</description><Point><coordinates>%.7f,%.7f,0</coordinates></Point></Placemark>\n",
                x.lon, x.lat);
        }
        b.add("</Document>\n");
        b.add("</kml>\n");
    });
}

std::optional<std::string> ovk_trip_export_geojson(const OVK_TRIP& t,
                                                   std::span<const OVK_TRIP_POINT> p,
                                                   std::span<const OVK_TRIP_DEVICE> d,
                                                   bool only_flagged) {
    OVK_JSON root(cJSON_CreateObject());
    if (!root) return std::nullopt;
    cJSON* features = nullptr;
    bool ok = ovk_json_add_str(root.get(), "type", "FeatureCollection") == 0 &&
              (features = cJSON_AddArrayToObject(root.get(), "features")) != nullptr;
    auto pair = [](double lon, double lat) {
        cJSON* a = cJSON_CreateArray();
        if (a) {
            cJSON_AddItemToArray(a, cJSON_CreateNumber(lon));
            cJSON_AddItemToArray(a, cJSON_CreateNumber(lat));
        }
        return a;
    };
    // A new feature with its type and geometry type; nullptr when out of memory.
    auto feature = [&](const char* geom_type, cJSON*& geometry) -> cJSON* {
        cJSON* f = cJSON_CreateObject();
        if (!f) return nullptr;
        cJSON_AddItemToArray(features, f);
        if (ovk_json_add_str(f, "type", "Feature") != 0) return nullptr;
        geometry = cJSON_AddObjectToObject(f, "geometry");
        if (!geometry || ovk_json_add_str(geometry, "type", geom_type) != 0) return nullptr;
        return f;
    };
    if (ok && !p.empty()) {
        cJSON* geometry = nullptr;
        cJSON* f = feature("LineString", geometry);
        ok = f != nullptr;
        cJSON* coords = ok ? cJSON_AddArrayToObject(geometry, "coordinates") : nullptr;
        for (size_t i = 0; coords && i < p.size(); ++i) {
            cJSON* a = pair(p[i].lon, p[i].lat);
            if (!a)
                coords = nullptr;
            else
                cJSON_AddItemToArray(coords, a);
        }
        ok = ok && coords;
        cJSON* props = ok ? cJSON_AddObjectToObject(f, "properties") : nullptr;
        ok = props && ovk_json_add_str(props, "kind", "trace") == 0 &&
             ovk_json_add_str(props, "name", t.name) == 0 &&
             ovk_json_add_str(props, "start", ovk_iso_time(t.start_time)) == 0 &&
             (t.end_time == 0 || ovk_json_add_str(props, "end", ovk_iso_time(t.end_time)) == 0) &&
             cJSON_AddNumberToObject(props, "distanceM", std::round(t.distance_m)) != nullptr;
        cJSON* times = ok ? cJSON_AddArrayToObject(props, "times") : nullptr;
        for (size_t i = 0; times && i < p.size(); ++i) {
            cJSON* s = cJSON_CreateString(ovk_iso_time(p[i].time).c_str());
            if (!s)
                times = nullptr;
            else
                cJSON_AddItemToArray(times, s);
        }
        ok = ok && times;
    }
    for (size_t i = 0; ok && i < d.size(); ++i) {
        const OVK_TRIP_DEVICE& x = d[i];
        if (!include(x, only_flagged)) continue;
        cJSON* geometry = nullptr;
        cJSON* f = feature("Point", geometry);
        cJSON* a = f ? pair(x.lon, x.lat) : nullptr;
        ok = a && cJSON_AddItemToObject(geometry, "coordinates", a);
        cJSON* props = ok ? cJSON_AddObjectToObject(f, "properties") : nullptr;
        ok = props && ovk_json_add_str(props, "kind", "device") == 0 &&
             ovk_json_add_str_or_null(props, "mac", x.mac) == 0 &&
             ovk_json_add_str_or_null(props, "label", x.label) == 0 &&
             ovk_json_add_str_or_null(props, "name", x.name) == 0 &&
             ovk_json_add_str_or_null(props, "vendor", x.vendor) == 0 &&
             ovk_json_add_str_or_null(props, "deviceType", x.device_type) == 0 &&
             ovk_json_add_str(props, "source", x.source) == 0 &&
             (flagged(x.category)
                  ? ovk_json_add_str(props, "category", ovk_cat_name(x.category)) == 0
                  : cJSON_AddNullToObject(props, "category") != nullptr) &&
             cJSON_AddNumberToObject(props, "confidence", x.confidence) != nullptr &&
             ovk_json_add_str_or_null(props, "evidence", x.evidence) == 0 &&
             cJSON_AddNumberToObject(props, "bestRssi", x.best_rssi) != nullptr &&
             ovk_json_add_str(props, "firstSeen", ovk_iso_time(x.first_seen)) == 0 &&
             ovk_json_add_str(props, "lastSeen", ovk_iso_time(x.last_seen)) == 0;
    }
    if (!ok) {
        OVK_LOG_ALLOC_FAIL(cJSON, 1, geojson);
        return std::nullopt;
    }
    return ovk_json_print_utf8(root.get(), true);
}

std::optional<std::string> ovk_trip_export_devices_csv(std::span<const OVK_TRIP_DEVICE> d) {
    return build_text([&](OVK_SBUF& b) {
        b.add(
            "mac,label,name,vendor,device_type,source,flagged,category,confidence,evidence,"
            "first_seen,last_seen,best_rssi,latitude,longitude\n");
        for (const OVK_TRIP_DEVICE& x : d) {
            const bool f = x.category >= 0;
            b.add(ovk_csv_bare(x.mac));
            b.add("," + csv_opt(x.label) + "," + csv_opt(x.name) + "," + csv_opt(x.vendor) + "," +
                  csv_opt(x.device_type) + ",");
            b.add(ovk_csv_bare(x.source));
            b.addf(",%s,%s,%d,", f ? "true" : "false", f ? ovk_cat_name(x.category) : "",
                   x.confidence);
            b.add(csv_opt(x.evidence));
            b.addf(",%s,%s,%d,", ovk_local_time(x.first_seen).c_str(),
                   ovk_local_time(x.last_seen).c_str(), x.best_rssi);
            if (x.has_pos)
                b.add(ovk_jdouble(x.lat) + "," + ovk_jdouble(x.lon));
            else
                b.add(",");
            b.add("\n");
        }
    });
}
