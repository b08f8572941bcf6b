// SPDX-License-Identifier: GPL-3.0-or-later
// Exports: text helpers, the per-scope formats and the file writer.
//
// Index
//   1. tables and text helpers
//   2. session (CSV, JSON, KML)
//   3. history (CSV, JSON)
//   4. log (CSV, JSON, GPX, KML)
//   5. everything, gathering and the file writer
#include "ovk_export.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <new>

#include "ovk_advert.h"
#include "ovk_app_util.h"
#include "ovk_jsonscan.h"
#include "ovk_pipeline.h"
#include "ovk_trip.h"
#include "ovk_util.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Tables and text helpers
// ---------------------------------------------------------------------------------------

struct ScopeDef {
    const char* word;       // lower-case enum word
    const char* file_word;  // word in file names
    bool formats[OVK_EXPORT_FORMAT_COUNT];
};

constexpr ScopeDef kScopes[OVK_EXPORT_SCOPE_COUNT] = {
    {"session", "nearby_devices", {true, true, true, false, false}},
    {"history", "device_history", {true, true, false, false, false}},
    {"log", "matches", {true, true, true, true, false}},
    {"watchlist", "watchlist", {false, true, false, false, false}},
    {"everything", "full_export", {false, true, false, false, false}},
};

struct FormatDef {
    const char* word;
    const char* mime;
};

constexpr FormatDef kFormats[OVK_EXPORT_FORMAT_COUNT] = {
    {"csv", "text/csv"},
    {"json", "application/json"},
    {"kml", "application/vnd.google-earth.kml+xml"},
    {"gpx", "application/gpx+xml"},
    {"geojson", "application/geo+json"},
};

constexpr const char* kKmlOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<kml xmlns=\"http://www.opengis.net/kml/2.2\">\n<Document>\n";
constexpr const char* kKmlClose = "</Document>\n</kml>\n";

bool starts_formula(std::string_view s) {
    if (s.empty()) return false;
    switch (s[0]) {
        case '=':
        case '+':
        case '-':
        case '@':
        case '\t':
        case '\r':
            return true;
        default:
            return false;
    }
}

// Controls a CSV field drops (the format has no escapes): C0 but tab and line ends, DEL and
// C1 (as UTF-8). Printed raw they would steer the terminal showing the file (ESC, CSI).
bool csv_control(std::string_view s, size_t i, size_t len) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (len == 1) return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
    return len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
}

void bare(OVK_SBUF& b, std::string_view s) {
    b.add(ovk_csv_bare(s));
}

void quoted(OVK_SBUF& b, std::string_view s) {
    b.add(ovk_csv_field(s));
}

void quoted_nz(OVK_SBUF& b, std::string_view s) {
    if (!s.empty()) b.add(ovk_csv_field(s));
}

const char* tf(int v) {
    return v ? "true" : "false";
}

// A position map readers accept.
bool map_pos(double lat, double lon) {
    return std::isfinite(lat) && std::isfinite(lon) && lat >= -90 && lat <= 90 && lon >= -180 &&
           lon <= 180;
}

std::string fmt_time(int64_t ms, bool utc, const char* fmt) {
    int64_t sec = ms / 1000;
    if (ms % 1000 < 0) --sec;  // floor, also below zero
    if (sec < static_cast<int64_t>(LLONG_MIN / 2) || sec > static_cast<int64_t>(LLONG_MAX / 2))
        return {};
    const time_t t = static_cast<time_t>(sec);
    struct tm tmv {};
    if (!(utc ? gmtime_r(&t, &tmv) : localtime_r(&t, &tmv))) return {};
    char buf[64];
    const size_t n = strftime(buf, sizeof buf, fmt, &tmv);
    return std::string(buf, n);
}

// Builds an export; bad_alloc becomes nullopt with the allocation-failure line.
template <class F>
std::optional<std::string> build(F&& f) {
    try {
        OVK_SBUF b;
        f(b);
        return b.take();
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 1, text);
        return std::nullopt;
    }
}

std::optional<std::string> print_json(OVK_JSON& j) {
    if (!j) {
        OVK_LOG_ALLOC_FAIL(cJSON, 1, json);
        return std::nullopt;
    }
    return ovk_json_print_utf8(j.get(), true);
}

cJSON* add_obj(cJSON* parent, const char* key) {
    cJSON* o = cJSON_CreateObject();
    if (o) cJSON_AddItemToObject(parent, key, o);
    return o;
}

cJSON* add_arr(cJSON* parent, const char* key) {
    cJSON* a = cJSON_CreateArray();
    if (a) cJSON_AddItemToObject(parent, key, a);
    return a;
}

void add_num_or_null(cJSON* o, const char* key, int has, double v) {
    if (has)
        cJSON_AddNumberToObject(o, key, v);
    else
        cJSON_AddNullToObject(o, key);
}

void add_cstr_or_null(cJSON* o, const char* key, const char* s) {
    if (s && *s)
        cJSON_AddStringToObject(o, key, s);
    else
        cJSON_AddNullToObject(o, key);
}

std::string hexsp(const std::vector<uint8_t>& v) {
    return ovk_hex(ovk_bytes(v.data(), v.size()), " ");
}

// ---------------------------------------------------------------------------------------
// 2. Session
// ---------------------------------------------------------------------------------------

std::string radios(int sources) {
    std::string r;
    if (sources & 1) r = "BLE";
    if (sources & 2) r += r.empty() ? "WIFI" : "+WIFI";
    return r;
}

void session_csv_row(OVK_SBUF& b, const OVK_DEVICE& d) {
    const OVK_HIT* best = ovk_device_best(d);
    bare(b, d.mac);
    b.addc(',');
    quoted_nz(b, d.name);
    b.addc(',');
    quoted_nz(b, d.vendor);
    b.addc(',');
    quoted(b, d.device_type);
    b.addc(',');
    quoted(b, ovk_addr_label(d.addr_type));
    b.addf(",%s,%d,%d,%.1f,", radios(d.sources).c_str(), d.rssi, d.best_rssi, d.distance_m);
    b.add(ovk_local_time(d.first_seen));
    b.addc(',');
    b.add(ovk_local_time(d.last_seen));
    b.addf(",%d,%s,", d.sightings, tf(best != nullptr));
    if (best) {
        b.addf("%s,%d,", ovk_cat_name(best->category), best->confidence);
        quoted(b, best->label);
        b.addc(',');
        quoted(b, best->evidence);
    } else {
        b.add(",,,");
    }
    b.addf(",%s,%s,%s,", tf(d.following), tf(d.whitelisted), tf(d.favorite));
    if (d.known) {
        b.add(ovk_local_time(d.known->first_seen));
        b.addf(",%d,", d.known->sessions);
    } else {
        b.add(",,");
    }
    if (d.advert) {
        std::string cids, uuids;
        for (const OVK_MFG& m : d.advert->mfg) {
            if (!cids.empty()) cids += ' ';
            cids += ovk_format(16, "0x%04X", m.cid);
        }
        for (const OVK_UUID& u : d.advert->uuids) {
            if (!uuids.empty()) uuids += ' ';
            const int s = ovk_uuid_short(u);
            uuids += s >= 0 ? ovk_format(16, "0x%04X", static_cast<unsigned>(s)) : ovk_uuid_str(u);
        }
        quoted(b, cids);
        b.addc(',');
        quoted(b, uuids);
    } else {
        b.addc(',');
    }
    b.addc(',');
    if (!d.path.empty()) {
        b.add(ovk_jdouble(d.path.back().lat));
        b.addc(',');
        b.add(ovk_jdouble(d.path.back().lon));
    } else {
        b.addc(',');
    }
    b.addc('\n');
}

void add_advert(cJSON* o, const OVK_ADVERT& a) {
    if (a.has_tx_power) cJSON_AddNumberToObject(o, "txPower", a.tx_power);
    if (a.connectable >= 0) cJSON_AddBoolToObject(o, "connectable", a.connectable != 0);
    if (!a.phy.empty()) ovk_json_add_str(o, "phy", a.phy);
    if (cJSON* m = add_obj(o, "manufacturerData"))
        for (const OVK_MFG& e : a.mfg) {
            const char* company = ovk_vendor_company(e.cid);
            const std::string key = company ? ovk_format(512, "0x%04X %s", e.cid, company)
                                            : ovk_format(16, "0x%04X", e.cid);
            ovk_json_add_str(m, key.c_str(), hexsp(e.data));
        }
    if (cJSON* u = add_arr(o, "serviceUuids"))
        for (const OVK_UUID& id : a.uuids)
            cJSON_AddItemToArray(u, cJSON_CreateString(ovk_uuid_str(id).c_str()));
    if (cJSON* s = add_obj(o, "serviceData"))
        for (const OVK_SVCDATA& e : a.svc)
            ovk_json_add_str(s, ovk_uuid_str(e.uuid).c_str(), hexsp(e.data));
    if (!a.raw.empty()) {
        const ovk_bytes raw(a.raw.data(), a.raw.size());
        ovk_json_add_str(o, "raw", ovk_hex(raw, ""));
        if (cJSON* ads = add_arr(o, "adStructures"))
            for (const OVK_AD& ad : ovk_ad_parse(raw, 64)) {
                cJSON* e = cJSON_CreateObject();
                if (!e) break;
                cJSON_AddItemToArray(ads, e);
                ovk_json_add_str(e, "type", ovk_format(8, "0x%02X", ad.type));
                ovk_json_add_str(e, "name", ovk_ad_type_name(ad.type));
                ovk_json_add_str(e, "data", ovk_hex(ad.data, " "));
            }
    }
    if (a.source == OVK_SRC_WIFI) {
        if (cJSON* w = add_obj(o, "wifi")) {
            cJSON_AddNumberToObject(w, "frequencyMhz", a.freq_mhz);
            add_cstr_or_null(w, "capabilities", a.caps ? a.caps->c_str() : nullptr);
            add_cstr_or_null(w, "standard", a.standard ? a.standard->c_str() : nullptr);
            if (cJSON* ids = add_arr(w, "infoElementIds"))
                for (const OVK_IE& ie : a.ies) cJSON_AddItemToArray(ids, cJSON_CreateNumber(ie.id));
        }
    }
}

cJSON* session_json_item(const OVK_DEVICE& d) {
    cJSON* o = cJSON_CreateObject();
    if (!o) return nullptr;
    ovk_json_add_str(o, "mac", d.mac);
    ovk_json_add_str_or_null(o, "name", d.name);
    ovk_json_add_str_or_null(o, "vendor", d.vendor);
    add_cstr_or_null(o, "ieeeRegistrant", ovk_vendor_mac(d.mac));
    ovk_json_add_str(o, "deviceType", d.device_type);
    ovk_json_add_str(o, "addressType", ovk_addr_label(d.addr_type));
    ovk_json_add_str(o, "trackability", ovk_addr_trackable(d.addr_type));
    if (cJSON* r = add_arr(o, "radios")) {
        if (d.sources & 1) cJSON_AddItemToArray(r, cJSON_CreateString("BLE"));
        if (d.sources & 2) cJSON_AddItemToArray(r, cJSON_CreateString("WIFI"));
    }
    cJSON_AddNumberToObject(o, "rssi", d.rssi);
    cJSON_AddNumberToObject(o, "bestRssi", d.best_rssi);
    cJSON_AddNumberToObject(o, "distanceMetersRough", std::round(d.distance_m * 10.0) / 10.0);
    ovk_json_add_str(o, "firstSeen", ovk_iso_time(d.first_seen));
    ovk_json_add_str(o, "lastSeen", ovk_iso_time(d.last_seen));
    cJSON_AddNumberToObject(o, "packets", d.sightings);
    cJSON_AddBoolToObject(o, "following", d.following != 0);
    cJSON_AddBoolToObject(o, "whitelisted", d.whitelisted != 0);
    cJSON_AddBoolToObject(o, "favorite", d.favorite != 0);
    if (cJSON* m = add_arr(o, "matches"))
        for (const OVK_HIT& h : d.hits) {
            cJSON* e = cJSON_CreateObject();
            if (!e) break;
            cJSON_AddItemToArray(m, e);
            ovk_json_add_str(e, "category", ovk_cat_name(h.category));
            ovk_json_add_str(e, "label", h.label);
            cJSON_AddNumberToObject(e, "confidence", h.confidence);
            ovk_json_add_str(e, "tier",
                             ovk_tier_of(h.confidence) == OVK_TIER_STRONG   ? "STRONG"
                             : ovk_tier_of(h.confidence) == OVK_TIER_MEDIUM ? "MEDIUM"
                                                                            : "WEAK");
            ovk_json_add_str(e, "evidence", h.evidence);
            ovk_json_add_str(e, "source", h.source);
        }
    if (cJSON* f = add_obj(o, "facts"))
        for (const OVK_FACT& fact : d.facts) {
            cJSON* v = cJSON_CreateString(fact.value.c_str());
            if (!v) break;
            // A repeated key keeps its last value.
            if (cJSON_GetObjectItemCaseSensitive(f, fact.key.c_str()))
                cJSON_ReplaceItemInObjectCaseSensitive(f, fact.key.c_str(), v);
            else
                cJSON_AddItemToObject(f, fact.key.c_str(), v);
        }
    if (d.known)
        if (cJSON* h = add_obj(o, "history")) {
            ovk_json_add_str(h, "firstSeenEver", ovk_iso_time(d.known->first_seen));
            cJSON_AddNumberToObject(h, "sessions", d.known->sessions);
            cJSON_AddNumberToObject(h, "detectCount", d.known->detect_count);
        }
    if (d.rid)
        if (cJSON* r = add_obj(o, "remoteId")) ovk_export_add_remote_id(r, *d.rid);
    if (d.advert)
        if (cJSON* a = add_obj(o, "advertisement")) add_advert(a, *d.advert);
    if (!d.path.empty())
        if (cJSON* p = add_arr(o, "positions"))
            for (const OVK_GEO& g : d.path) {
                cJSON* e = cJSON_CreateObject();
                if (!e) break;
                cJSON_AddItemToArray(p, e);
                ovk_json_add_str(e, "time", ovk_iso_time(g.time));
                cJSON_AddNumberToObject(e, "lat", g.lat);
                cJSON_AddNumberToObject(e, "lon", g.lon);
            }
    if (!d.history.empty())
        if (cJSON* h = add_arr(o, "rssiHistory"))
            for (const OVK_RSSI_SAMPLE& s : d.history) {
                cJSON* pair = cJSON_CreateArray();
                if (!pair) break;
                cJSON_AddItemToArray(h, pair);
                cJSON_AddItemToArray(pair, cJSON_CreateRaw(ovk_json_int_text(s.time).c_str()));
                cJSON_AddItemToArray(pair, cJSON_CreateNumber(s.rssi));
            }
    return o;
}

OVK_JSON session_array(const OVK_DEVICE_LIST& devices) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return arr;
    for (const OVK_DEVICE& d : devices) {
        cJSON* o = session_json_item(d);
        if (!o) return nullptr;
        cJSON_AddItemToArray(arr.get(), o);
    }
    return arr;
}

bool any_path(const OVK_DEVICE_LIST& devices) {
    return std::any_of(devices.begin(), devices.end(), [](const OVK_DEVICE& d) {
        return !d.path.empty() && map_pos(d.path.back().lat, d.path.back().lon);
    });
}

// ---------------------------------------------------------------------------------------
// 3. History
// ---------------------------------------------------------------------------------------

OVK_JSON history_array(std::span<const OVK_KNOWN> rows) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return arr;
    for (const OVK_KNOWN& k : rows) {
        cJSON* o = cJSON_CreateObject();
        if (!o) return nullptr;
        cJSON_AddItemToArray(arr.get(), o);
        ovk_json_add_str(o, "mac", k.mac);
        ovk_json_add_str_or_null(o, "name", k.name);
        ovk_json_add_str_or_null(o, "vendor", k.vendor);
        ovk_json_add_str_or_null(o, "deviceType", k.device_type);
        ovk_json_add_str(o, "firstSeen", ovk_iso_time(k.first_seen));
        ovk_json_add_str(o, "lastSeen", ovk_iso_time(k.last_seen));
        cJSON_AddNumberToObject(o, "sessions", k.sessions);
        cJSON_AddNumberToObject(o, "detectCount", k.detect_count);
        cJSON_AddBoolToObject(o, "favorite", k.favorite != 0);
        ovk_json_add_str_or_null(o, "note", k.note);
    }
    return arr;
}

// ---------------------------------------------------------------------------------------
// 4. Log
// ---------------------------------------------------------------------------------------

// Replaces the member `key` of `o` (kept in its place) with the exact integer text of `v`.
bool exact_integer(cJSON* o, const char* key, int64_t v) {
    cJSON* raw = cJSON_CreateRaw(ovk_json_int_text(v).c_str());
    if (!raw) return false;
    if (!cJSON_ReplaceItemInObjectCaseSensitive(o, key, raw)) {
        cJSON_Delete(raw);
        return false;
    }
    return true;
}

bool log_pos(const OVK_DETECTION& d) {
    return d.has_pos && map_pos(d.lat, d.lon);
}

OVK_JSON log_array(std::span<const OVK_DETECTION> rows) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return arr;
    for (const OVK_DETECTION& d : rows) {
        const std::optional<std::string> line = ovk_store_detection_line(d);
        OVK_JSON o = line ? ovk_json_parse(*line) : nullptr;
        if (!o) return nullptr;
        // The tree holds numbers as doubles: the 64-bit ones go back in as their exact text.
        if (!exact_integer(o.get(), "id", d.id) ||
            !exact_integer(o.get(), "timestamp", d.timestamp))
            return nullptr;
        cJSON_AddItemToArray(arr.get(), o.release());
    }
    return arr;
}

OVK_JSON watchlist_array(const std::vector<OVK_OUI_ENTRY>& rules) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return arr;
    for (const OVK_OUI_ENTRY& e : rules) {
        cJSON* o = cJSON_CreateObject();
        if (!o) return nullptr;
        cJSON_AddItemToArray(arr.get(), o);
        ovk_json_add_str(o, "prefix", e.prefix);
        ovk_json_add_str(o, "label", e.label);
        ovk_json_add_str(o, "source", e.source);
        ovk_json_add_str(o, "confidence", e.confidence);
        add_num_or_null(o, "score", e.score >= 0, e.score);
        add_cstr_or_null(
            o, "category",
            e.category >= 0 && e.category < OVK_CAT_COUNT ? ovk_cat_name(e.category) : nullptr);
    }
    return arr;
}

bool path_exists(const std::string& p) {
    ZQ_FS_STAT sb;
    return zq_fs_stat(p, sb) == 0;
}

// Writes `text` atomically as "<dir>/orvik_<stem>_<local time>.<ext>" (the directory created
// when missing); a second export of the same kind within the same second gets its own file.
int write_named(std::string_view dir, std::string_view stem, std::string_view ext,
                const std::string& text, std::string& path_out, std::string& err) {
    const std::string d(dir);
    if (ovk_mkdirs(d) != 0) {
        err = "Cannot create " + d;
        return -1;
    }
    const std::string stamp = fmt_time(ovk_now_ms(), false, "%Y%m%d_%H%M%S");
    const std::string base = d + "/orvik_" + std::string(stem) + "_" + stamp;
    const std::string dot_ext = "." + std::string(ext);
    std::string path = base + dot_ext;
    for (int k = 2; path_exists(path) && k < 1000; ++k)
        path = base + "-" + std::to_string(k) + dot_ext;
    if (ovk_write_file_atomic(path, text) != 0) {
        err = "Export failed";
        return -1;
    }
    path_out = path;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public: tables and helpers
// ---------------------------------------------------------------------------------------

int ovk_export_supported(int scope, int fmt) {
    if (scope < 0 || scope >= OVK_EXPORT_SCOPE_COUNT || fmt < 0 || fmt >= OVK_EXPORT_FORMAT_COUNT)
        return 0;
    return kScopes[scope].formats[fmt] ? 1 : 0;
}

const char* ovk_export_ext(int fmt) {
    return fmt >= 0 && fmt < OVK_EXPORT_FORMAT_COUNT ? kFormats[fmt].word : "txt";
}

const char* ovk_export_mime(int fmt) {
    return fmt >= 0 && fmt < OVK_EXPORT_FORMAT_COUNT ? kFormats[fmt].mime : "text/plain";
}

const char* ovk_export_scope_word(int scope) {
    return scope >= 0 && scope < OVK_EXPORT_SCOPE_COUNT ? kScopes[scope].file_word : "";
}

int ovk_export_scope_parse(std::string_view word) {
    for (int i = 0; i < OVK_EXPORT_SCOPE_COUNT; ++i)
        if (ovk_strieq(word, kScopes[i].word)) return i;
    return -1;
}

int ovk_export_format_parse(std::string_view word) {
    for (int i = 0; i < OVK_EXPORT_FORMAT_COUNT; ++i)
        if (ovk_strieq(word, kFormats[i].word)) return i;
    return -1;
}

int ovk_export_add_remote_id(cJSON* o, const OVK_REMOTE_ID& r) {
    if (!o) return -1;
    auto str = [o](const char* key, std::string_view v) {
        return ovk_json_add_str_or_null(o, key, v) == 0;
    };
    auto num = [o](const char* key, int has, double v) {
        return (has ? cJSON_AddNumberToObject(o, key, v) : cJSON_AddNullToObject(o, key)) !=
               nullptr;
    };
    auto label = [](const char* s) { return std::string_view(s ? s : ""); };
    const bool ok = str("uasId", r.uas_id) && str("idType", label(r.id_type)) &&
                    str("uaType", label(r.ua_type)) && str("status", label(r.status)) &&
                    num("latitude", r.has_pos, r.lat) && num("longitude", r.has_pos, r.lon) &&
                    num("altitudeGeoM", r.has_alt_geo, r.alt_geo_m) &&
                    num("heightM", r.has_height, r.height_m) &&
                    num("speedMs", r.has_speed, r.speed_ms) &&
                    num("verticalSpeedMs", r.has_vspeed, r.vspeed_ms) &&
                    num("directionDeg", r.has_direction, r.direction_deg) &&
                    num("operatorLatitude", r.has_op_pos, r.op_lat) &&
                    num("operatorLongitude", r.has_op_pos, r.op_lon) &&
                    str("selfIdDescription", r.self_id) && str("operatorId", r.operator_id);
    return ok ? 0 : -1;
}

std::string ovk_csv_bare(std::string_view s) {
    bool plain = !starts_formula(s) && s.find_first_of(",\"\r\n") == std::string_view::npos;
    for (size_t i = 0; plain && i < s.size(); ++i)
        plain = !csv_control(s, i, ovk_utf8_seq_len(s, i) == 2 ? 2 : 1);
    if (plain) return std::string(s);
    return ovk_csv_field(s);
}

std::string ovk_csv_field(std::string_view s, size_t outsz) {
    std::string out;
    if (outsz < 3) return out;
    const size_t room = outsz - 2;  // bytes before the closing quote and the terminator
    out.push_back('"');
    if (starts_formula(s) && out.size() < room) out.push_back('\'');
    // Bytes that are not valid UTF-8 are dropped, so the file reads as UTF-8 everywhere.
    for (size_t i = 0; i < s.size();) {
        const size_t len = ovk_utf8_seq_len(s, i);
        if (len == 0 || csv_control(s, i, len)) {
            i += len ? len : 1;
            continue;
        }
        const size_t need = s[i] == '"' ? 2 : len;
        if (out.size() + need > room) break;
        out.append(s.data() + i, len);
        if (s[i] == '"') out.push_back('"');
        i += len;
    }
    out.push_back('"');
    return out;
}

std::string ovk_xml_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&apos;";
                    break;
                default:
                    if (c == 0x7F)
                        out += "&#x7F;";  // kept, but not as a raw control for a terminal
                    else if (c >= 32 || c == '\t' || c == '\n' || c == '\r')
                        out.push_back(static_cast<char>(c));
                    break;
            }
            ++i;
            continue;
        }
        const size_t len = ovk_utf8_seq_len(s, i);
        if (len == 0) {  // drop this byte; the next one is taken as it comes
            ++i;
            continue;
        }
        // C1 controls (U+0080..U+009F) are kept as references: raw, a terminal showing the
        // file would obey them.
        if (len == 2 && c == 0xC2 && p[i + 1] < 0xA0) {
            out += ovk_format(16, "&#x%02X;", p[i + 1]);
            i += len;
            continue;
        }
        // U+FFFE and U+FFFF are not XML characters.
        if (!(len == 3 && c == 0xEF && p[i + 1] == 0xBF && (p[i + 2] == 0xBE || p[i + 2] == 0xBF)))
            out.append(reinterpret_cast<const char*>(p + i), len);
        i += len;
    }
    return out;
}

std::string ovk_iso_time(int64_t ms) {
    return fmt_time(ms, true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string ovk_local_time(int64_t ms) {
    return fmt_time(ms, false, "%Y-%m-%d %H:%M:%S");
}

// ---------------------------------------------------------------------------------------
// Public: formats
// ---------------------------------------------------------------------------------------

std::optional<std::string> ovk_export_session_csv(const OVK_DEVICE_LIST& devices) {
    return build([&](OVK_SBUF& b) {
        b.add(
            "mac,name,vendor,device_type,address_type,radios,rssi,best_rssi,distance_m,"
            "first_seen,last_seen,packets,flagged,category,confidence,match_label,evidence,"
            "following,whitelisted,favorite,first_seen_ever,sessions,company_ids,"
            "service_uuids,latitude,longitude\n");
        for (const OVK_DEVICE& d : devices) session_csv_row(b, d);
    });
}

std::optional<std::string> ovk_export_session_json(const OVK_DEVICE_LIST& devices) {
    try {
        OVK_JSON arr = session_array(devices);
        return print_json(arr);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(cJSON, devices.size(), json);
        return std::nullopt;
    }
}

std::optional<std::string> ovk_export_session_kml(const OVK_DEVICE_LIST& devices) {
    return build([&](OVK_SBUF& b) {
        b.add(kKmlOpen);
        b.add("  <name>Orvik - nearby devices</name>\n");
        for (const OVK_DEVICE& d : devices) {
            if (d.path.empty()) continue;
            const OVK_GEO& g = d.path.back();
            if (!map_pos(g.lat, g.lon)) continue;
            const OVK_HIT* best = ovk_device_best(d);
            const std::string& name = best ? best->label : !d.name.empty() ? d.name : d.device_type;
            const std::string desc =
                ovk_format(4096, "%s - %s - %d dBm - %s", d.mac.c_str(), d.vendor.c_str(), d.rssi,
                           ovk_local_time(d.last_seen).c_str());
            b.add("  <Placemark>\n    <name>");
            b.add(ovk_xml_escape(name));
            b.add("</name>\n    <description>");
            b.add(ovk_xml_escape(desc));
            b.addf(
                "</description>\n    <Point><coordinates>%.7f,%.7f,0</coordinates></Point>\n"
                "  </Placemark>\n",
                g.lon, g.lat);
        }
        b.add(kKmlClose);
    });
}

std::optional<std::string> ovk_export_history_csv(std::span<const OVK_KNOWN> rows) {
    return build([&](OVK_SBUF& b) {
        b.add(
            "mac,name,vendor,device_type,first_seen,last_seen,sessions,detect_count,favorite,"
            "note\n");
        for (const OVK_KNOWN& k : rows) {
            bare(b, k.mac);
            b.addc(',');
            quoted_nz(b, k.name);
            b.addc(',');
            quoted_nz(b, k.vendor);
            b.addc(',');
            quoted_nz(b, k.device_type);
            b.addf(",%s,%s,%d,%d,%s,", ovk_local_time(k.first_seen).c_str(),
                   ovk_local_time(k.last_seen).c_str(), k.sessions, k.detect_count, tf(k.favorite));
            quoted_nz(b, k.note);
            b.addc('\n');
        }
    });
}

std::optional<std::string> ovk_export_history_json(std::span<const OVK_KNOWN> rows) {
    try {
        OVK_JSON arr = history_array(rows);
        return print_json(arr);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(cJSON, rows.size(), json);
        return std::nullopt;
    }
}

std::optional<std::string> ovk_export_log_csv(std::span<const OVK_DETECTION> rows) {
    return build([&](OVK_SBUF& b) {
        b.add(
            "timestamp,mac,label,category,confidence,source,rssi,vendor,device_name,evidence,"
            "latitude,longitude,sensor\n");
        for (const OVK_DETECTION& d : rows) {
            b.add(ovk_local_time(d.timestamp));
            b.addc(',');
            bare(b, d.mac);
            b.addc(',');
            quoted(b, d.label);
            b.addf(",%s,%d,", ovk_cat_name(d.category), d.confidence);
            bare(b, d.source);
            b.addf(",%d,", d.rssi);
            quoted_nz(b, d.vendor);
            b.addc(',');
            quoted_nz(b, d.device_name);
            b.addc(',');
            quoted(b, d.evidence);
            b.addc(',');
            if (d.has_pos) {
                b.add(ovk_jdouble(d.lat));
                b.addc(',');
                b.add(ovk_jdouble(d.lon));
            } else {
                b.addc(',');
            }
            // The fleet sensor that reported it; empty for this machine's own radios.
            b.addc(',');
            bare(b, d.sensor);
            b.addc('\n');
        }
    });
}

std::optional<std::string> ovk_export_log_json(std::span<const OVK_DETECTION> rows) {
    try {
        OVK_JSON arr = log_array(rows);
        return print_json(arr);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(cJSON, rows.size(), json);
        return std::nullopt;
    }
}

std::optional<std::string> ovk_export_log_gpx(std::span<const OVK_DETECTION> rows) {
    return build([&](OVK_SBUF& b) {
        b.add(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<gpx version=\"1.1\" creator=\"Orvik\" "
            "xmlns=\"http://www.topografix.com/GPX/1/1\">\n");
        for (const OVK_DETECTION& d : rows) {
            if (!log_pos(d)) continue;
            b.addf("  <wpt lat=\"%.7f\" lon=\"%.7f\">\n", d.lat, d.lon);
            const std::string t = ovk_iso_time(d.timestamp);
            if (!t.empty()) b.addf("    <time>%s</time>\n", t.c_str());
            b.add("    <name>");
            b.add(ovk_xml_escape(d.label));
            b.add("</name>\n    <desc>");
            b.add(ovk_xml_escape((d.sensor.empty() ? std::string() : "sensor " + d.sensor + ": ") +
                                 ovk_format(4096, "%s %d%% - %s - %d dBm - %s",
                                            ovk_cat_name(d.category), d.confidence, d.mac.c_str(),
                                            d.rssi, d.evidence.c_str())));
            b.add("</desc>\n    <type>");
            b.add(ovk_xml_escape(ovk_cat_name(d.category)));
            b.add("</type>\n  </wpt>\n");
        }
        b.add("</gpx>\n");
    });
}

std::optional<std::string> ovk_export_log_kml(std::span<const OVK_DETECTION> rows) {
    return build([&](OVK_SBUF& b) {
        b.add(kKmlOpen);
        b.add("  <name>Orvik matches</name>\n");
        for (const OVK_DETECTION& d : rows) {
            if (!log_pos(d)) continue;
            b.add("  <Placemark>\n    <name>");
            b.add(ovk_xml_escape(d.label));
            b.add("</name>\n    <description>");
            b.add(ovk_xml_escape(
                (d.sensor.empty() ? std::string() : "sensor " + d.sensor + ": ") +
                ovk_format(4096, "%s - %s %d%% - %s - %d dBm", ovk_local_time(d.timestamp).c_str(),
                           ovk_cat_name(d.category), d.confidence, d.mac.c_str(), d.rssi)));
            b.addf(
                "</description>\n    <Point><coordinates>%.7f,%.7f,0</coordinates></Point>\n"
                "  </Placemark>\n",
                d.lon, d.lat);
        }
        b.add(kKmlClose);
    });
}

// ---------------------------------------------------------------------------------------
// Public: everything, gathering, files
// ---------------------------------------------------------------------------------------

OVK_DEVICE_LIST ovk_export_gather_session() {
    try {
        // The devices in range by the pipeline's clock: after a replay of a drive made hours
        // ago, that is the drive's time, as on the status line.
        OVK_DEVICE_LIST list = ovk_registry_snapshot(ovk_pipeline_now());
        for (OVK_DEVICE& d : list)
            if (std::optional<OVK_DEVICE> full = ovk_registry_get(d.mac)) d = std::move(*full);
        std::stable_sort(list.begin(), list.end(), [](const OVK_DEVICE& a, const OVK_DEVICE& b) {
            const bool fa = !a.hits.empty(), fb = !b.hits.empty();
            if (fa != fb) return fa;
            return a.rssi > b.rssi;
        });
        return list;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_DEVICE, 1, list);
        return {};
    }
}

std::optional<std::string> ovk_export_everything_json() {
    try {
        OVK_JSON o(cJSON_CreateObject());
        if (!o) return print_json(o);
        ovk_json_add_str(o.get(), "exportedBy", "Orvik 0.2.0-trixie");
        ovk_json_add_str(o.get(), "exportedAt", ovk_iso_time(ovk_now_ms()));
        OVK_JSON session = session_array(ovk_export_gather_session());
        OVK_JSON history = history_array(ovk_store_known_all());
        OVK_JSON log = log_array(ovk_store_detections(INT64_MIN));
        OVK_JSON watch = watchlist_array(ovk_watchlist_custom());
        if (!session || !history || !log || !watch) {
            OVK_LOG_ALLOC_FAIL(cJSON, 1, json);
            return std::nullopt;
        }
        cJSON_AddItemToObject(o.get(), "sessionDevices", session.release());
        cJSON_AddItemToObject(o.get(), "deviceHistory", history.release());
        cJSON_AddItemToObject(o.get(), "matchLog", log.release());
        cJSON_AddItemToObject(o.get(), "watchlist", watch.release());
        return print_json(o);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(cJSON, 1, json);
        return std::nullopt;
    }
}

int ovk_export_to_file(OVK_EXPORT_SCOPE scope, OVK_EXPORT_FORMAT fmt, std::string_view dir,
                       std::string& path_out, std::string& err) {
    try {
        err.clear();
        if (dir.empty()) {
            err = "No export directory";
            return -1;
        }
        if (!ovk_export_supported(scope, fmt)) {
            err = "Format not available for this export";
            return -1;
        }
        std::optional<std::string> text;
        switch (scope) {
            case OVK_EXPORT_SESSION: {
                const OVK_DEVICE_LIST devices = ovk_export_gather_session();
                if (devices.empty()) {
                    err = "No devices heard yet - start scanning first";
                    return -1;
                }
                if (fmt == OVK_FMT_KML && !any_path(devices)) {
                    err =
                        "No GPS positions yet - turn on location while scanning (follower alerts "
                        "or GPS tagging)";
                    return -1;
                }
                text = fmt == OVK_FMT_CSV    ? ovk_export_session_csv(devices)
                       : fmt == OVK_FMT_JSON ? ovk_export_session_json(devices)
                                             : ovk_export_session_kml(devices);
                break;
            }
            case OVK_EXPORT_HISTORY: {
                const std::vector<OVK_KNOWN> rows = ovk_store_known_all();
                if (rows.empty()) {
                    err = "No device history yet";
                    return -1;
                }
                text = fmt == OVK_FMT_CSV ? ovk_export_history_csv(rows)
                                          : ovk_export_history_json(rows);
                break;
            }
            case OVK_EXPORT_LOG: {
                const std::vector<OVK_DETECTION> rows = ovk_store_detections(INT64_MIN);
                const bool map = fmt == OVK_FMT_KML || fmt == OVK_FMT_GPX;
                if (rows.empty() || (map && std::none_of(rows.begin(), rows.end(), log_pos))) {
                    err = map ? "No GPS-tagged matches yet - turn on GPS tagging in Settings"
                              : "No matches logged yet";
                    return -1;
                }
                text = fmt == OVK_FMT_CSV    ? ovk_export_log_csv(rows)
                       : fmt == OVK_FMT_JSON ? ovk_export_log_json(rows)
                       : fmt == OVK_FMT_GPX  ? ovk_export_log_gpx(rows)
                                             : ovk_export_log_kml(rows);
                break;
            }
            case OVK_EXPORT_WATCHLIST:
                text = ovk_watchlist_export_custom();
                break;
            case OVK_EXPORT_EVERYTHING:
                text = ovk_export_everything_json();
                break;
        }
        if (!text) {
            err = "Export failed";
            return -1;
        }
        return write_named(dir, ovk_export_scope_word(scope), ovk_export_ext(fmt), *text, path_out,
                           err);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 1, path);
        err = "Export failed";
        return -1;
    }
}

int ovk_export_trip_supported(int fmt) {
    return fmt == OVK_FMT_GPX || fmt == OVK_FMT_KML || fmt == OVK_FMT_GEOJSON || fmt == OVK_FMT_CSV;
}

int ovk_export_trip_to_file(int64_t trip_id, OVK_EXPORT_FORMAT fmt, bool only_flagged,
                            std::string_view dir, std::string& path_out, std::string& err) {
    try {
        err.clear();
        if (dir.empty()) {
            err = "No export directory";
            return -1;
        }
        const std::optional<OVK_TRIP> trip = ovk_trip_get(trip_id);
        if (!trip) {
            err = "No such trace";
            return -1;
        }
        const std::vector<OVK_TRIP_POINT> points = ovk_trip_points(trip_id);
        const std::vector<OVK_TRIP_DEVICE> devices = ovk_trip_devices(trip_id);
        std::optional<std::string> text;
        switch (fmt) {
            case OVK_FMT_GPX:
                text = ovk_trip_export_gpx(*trip, points, devices, only_flagged);
                break;
            case OVK_FMT_KML:
                text = ovk_trip_export_kml(*trip, points, devices, only_flagged);
                break;
            case OVK_FMT_GEOJSON:
                text = ovk_trip_export_geojson(*trip, points, devices, only_flagged);
                break;
            case OVK_FMT_CSV:  // the devices heard, every one
                text = ovk_trip_export_devices_csv(devices);
                break;
            case OVK_FMT_JSON:
                err = "Format not available for this export";
                return -1;
        }
        if (!text) {
            err = "Export failed";
            return -1;
        }
        return write_named(dir, "trace", ovk_export_ext(fmt), *text, path_out, err);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 1, path);
        err = "Export failed";
        return -1;
    }
}
