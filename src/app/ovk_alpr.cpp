// SPDX-License-Identifier: GPL-3.0-or-later
// Plate-camera database: Overpass download, answer parsing, cache file, nearness.
#include "ovk_alpr.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <numbers>

#include "ovk_app_util.h"
#include "ovk_datafile.h"
#include "ovk_geo.h"
#include "ovk_jsonscan.h"
#include "ovk_util.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

constexpr size_t kOsmIdMax = 40;
constexpr size_t kBrandMax = 64;
constexpr size_t kOperatorMax = 96;
constexpr size_t kDirectionMax = 64;
constexpr size_t kDirMax = 1024;

struct State {
    std::mutex mu;
    std::vector<OVK_CAMERA> cams;
    std::string dir;  // empty until loaded
    OVK_ALPR_FETCH fetch;
    std::string endpoint = OVK_ALPR_DEFAULT_ENDPOINT;
};

State& state() {
    static State s;
    return s;
}

struct Compass {
    const char* name;
    int deg;
};
constexpr std::array<Compass, 16> kCardinal{{
    {"N", 0},
    {"NNE", 22},
    {"NE", 45},
    {"ENE", 67},
    {"E", 90},
    {"ESE", 112},
    {"SE", 135},
    {"SSE", 157},
    {"S", 180},
    {"SSW", 202},
    {"SW", 225},
    {"WSW", 247},
    {"W", 270},
    {"WNW", 292},
    {"NW", 315},
    {"NNW", 337},
}};

// Whole degrees 0..359 of any finite angle.
int wrap_degrees(double v) {
    const double w = std::fmod(std::fmod(v, 360.0) + 360.0, 360.0);
    return static_cast<int>(w);
}

// Form encoding: letters, digits and "*-._" stay, a space becomes '+', every other byte
// becomes %XX.
std::string url_encode(std::string_view in) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(in.size() * 3);
    for (char ch : in) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '*' || c == '-' || c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The first tag among `keys` whose value is a string with a non-blank character.
std::string first_tag(const cJSON* tags, std::initializer_list<const char*> keys, size_t size) {
    for (const char* k : keys) {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(tags, k);
        if (cJSON_IsString(v) && v->valuestring && !ovk_is_blank(v->valuestring))
            return ovk_cut(v->valuestring, size - 1);
    }
    return {};
}

const cJSON* number_item(const cJSON* o, const char* key) {
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsNumber(v) ? v : nullptr;
}

std::string cache_path(const std::string& dir) {
    return dir + "/" + OVK_ALPR_CACHE_FILE;
}

OVK_JSON cameras_to_json(const std::vector<OVK_CAMERA>& cams) {
    OVK_JSON arr(cJSON_CreateArray());
    if (!arr) return arr;
    for (const OVK_CAMERA& c : cams) {
        cJSON* o = cJSON_CreateObject();
        if (!o || !cJSON_AddItemToArray(arr.get(), o)) {
            cJSON_Delete(o);
            return nullptr;
        }
        bool ok = cJSON_AddStringToObject(o, "osmId", c.osm_id.c_str()) &&
                  cJSON_AddNumberToObject(o, "lat", c.lat) &&
                  cJSON_AddNumberToObject(o, "lon", c.lon);
        if (ok && !c.brand.empty()) ok = cJSON_AddStringToObject(o, "brand", c.brand.c_str());
        if (ok && !c.operator_name.empty())
            ok = cJSON_AddStringToObject(o, "operator", c.operator_name.c_str());
        if (ok && c.has_direction) ok = cJSON_AddNumberToObject(o, "direction", c.direction);
        if (!ok) return nullptr;
    }
    return arr;
}

bool on_globe(double lat, double lon) {
    return std::isfinite(lat) && std::isfinite(lon) && std::fabs(lat) <= 90 &&
           std::fabs(lon) <= 180;
}

// Reads the cache file; no cameras for a missing, unreadable or damaged file (a damaged one
// is kept aside, an unreadable one is not written over).
std::vector<OVK_CAMERA> read_cache(const std::string& path) {
    std::vector<OVK_CAMERA> out;
    OVK_DATAFILE f = ovk_datafile_read(path, OVK_DATAFILE_LIST_MAX);
    if (f.state != OVK_DATAFILE_STATE::Loaded) return out;
    OVK_JSON root = ovk_json_parse(f.view.view());
    if (!cJSON_IsArray(root.get())) {
        ovk_datafile_damaged(path, f.view.view());
        return out;
    }
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, root.get()) {
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(e, "osmId");
        if (!cJSON_IsObject(e) || !cJSON_IsString(id) || !id->valuestring) continue;
        OVK_CAMERA c;
        c.osm_id = ovk_cut(id->valuestring, kOsmIdMax - 1);
        c.lat = ovk_json_num(e, "lat", 0);
        c.lon = ovk_json_num(e, "lon", 0);
        if (!on_globe(c.lat, c.lon)) continue;
        ovk_json_str(e, "brand", c.brand, kBrandMax);
        ovk_json_str(e, "operator", c.operator_name, kOperatorMax);
        // A direction outside 0..359 (a damaged file) is brought back into range rather
        // than converted blindly.
        if (const cJSON* d = number_item(e, "direction"); d && std::isfinite(d->valuedouble)) {
            c.has_direction = 1;
            c.direction = wrap_degrees(std::trunc(d->valuedouble));
        }
        out.push_back(std::move(c));
    }
    return out;
}

void set_err(std::string* err, std::string_view msg) {
    if (err) err->assign(msg);
}

std::string server_message(int status) {
    if (status > 0) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "OpenStreetMap server busy (HTTP %d) - try again later",
                      status);
        return buf;
    }
    return "Could not reach the OpenStreetMap server - check the connection";
}

// The "id" of an answer element (its text), read from the text itself: the tree holds numbers
// as doubles, which round ids above 2^53. nullopt when it is no number, or beyond the integer
// range (or infinite) and so cannot be named.
std::optional<int64_t> element_id(std::string_view element) {
    OVK_JSON_SCAN sc(element);
    OVK_JSON_FLAT flat;
    if (!sc.read_flat(flat)) return std::nullopt;
    const OVK_JSON_VALUE* v = flat.get("id");
    if (!v || v->kind != OVK_JSON_KIND::Number) return std::nullopt;
    const double d = ovk_json_number_double(v->text, std::numeric_limits<double>::quiet_NaN());
    if (!(std::fabs(d) < 9.2e18)) return std::nullopt;
    return ovk_json_number_i64(v->text, 0);
}

// The camera of one answer element (`text` is the element's JSON), or nullopt when it does not
// qualify.
std::optional<OVK_CAMERA> camera_of(const cJSON* e, std::string_view text) {
    if (!cJSON_IsObject(e)) return std::nullopt;
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(e, "type");
    if (!cJSON_IsString(type) || !type->valuestring) return std::nullopt;
    const std::optional<int64_t> id = element_id(text);
    if (!id) return std::nullopt;
    const cJSON* pos = cJSON_GetObjectItemCaseSensitive(e, "lat")
                           ? e
                           : cJSON_GetObjectItemCaseSensitive(e, "center");
    const cJSON* lat = number_item(pos, "lat");
    const cJSON* lon = number_item(pos, "lon");
    if (!lat || !lon || !on_globe(lat->valuedouble, lon->valuedouble)) return std::nullopt;
    OVK_CAMERA c;
    char idbuf[kOsmIdMax];
    std::snprintf(idbuf, sizeof idbuf, "%s/%lld", type->valuestring, static_cast<long long>(*id));
    c.osm_id = idbuf;
    c.lat = lat->valuedouble;
    c.lon = lon->valuedouble;
    const cJSON* tags = cJSON_GetObjectItemCaseSensitive(e, "tags");
    if (cJSON_IsObject(tags)) {
        c.brand = first_tag(tags, {"manufacturer", "brand"}, kBrandMax);
        c.operator_name = first_tag(tags, {"operator"}, kOperatorMax);
        const std::string dir = first_tag(tags, {"camera:direction", "direction"}, kDirectionMax);
        const int d = dir.empty() ? -1 : ovk_alpr_parse_direction(dir);
        if (d >= 0) {
            c.has_direction = 1;
            c.direction = d;
        }
    }
    return c;
}

// An element larger than this is no camera (real ones are well under a kilobyte); it is
// skipped unparsed.
constexpr size_t kElementMax = size_t{1} << 20;

// The cameras of an answer, walking it element by element: only one element's tree exists
// at a time, so memory stays near the answer's size whatever its shape. nullopt when the
// text is not a JSON object. `*runtime_error` is Overpass's remark when it reported a failed
// query (a query that timed out or ran out of memory still answers 200, with partial or no
// elements). May throw std::bad_alloc.
std::optional<std::vector<OVK_CAMERA>> parse_answer(std::string_view text,
                                                    std::string* runtime_error) {
    if (runtime_error) runtime_error->clear();
    std::vector<OVK_CAMERA> out;
    OVK_JSON_SCAN sc(text);
    if (!sc.eat('{')) return std::nullopt;
    if (sc.eat('}')) return out;
    std::string key;
    bool have_elements = false;
    for (;;) {
        if (sc.peek() != '"' || !sc.read_string(key) || !sc.eat(':')) return std::nullopt;
        bool ok;
        if (key == "elements" && !have_elements && sc.peek() == '[') {
            have_elements = true;  // the first member of a name counts, as in a lookup
            ok = sc.each_element([&](OVK_JSON_SCAN& e) {
                if (e.peek() != '{') return e.skip_value();
                const size_t start = e.pos();
                if (!e.skip_value()) return false;
                const size_t len = e.pos() - start;
                if (len > kElementMax) return true;
                const std::string_view el_text = text.substr(start, len);
                OVK_JSON el = ovk_json_parse(el_text);
                if (std::optional<OVK_CAMERA> c = camera_of(el.get(), el_text))
                    out.push_back(std::move(*c));
                return true;
            });
        } else if (key == "remark" && sc.peek() == '"') {
            std::string remark;
            ok = sc.read_string(remark);
            if (ok && runtime_error && ovk_icontains(remark, "runtime error"))
                *runtime_error = remark;
        } else {
            ok = sc.skip_value();
        }
        if (!ok) return std::nullopt;
        if (sc.eat(',')) continue;
        if (!sc.eat('}')) return std::nullopt;
        return out;
    }
}

std::string fetch_message(OVK_HTTP_FAILURE failure, int status) {
    switch (failure) {
        case OVK_HTTP_FAILURE::TooManyRedirects:
            return "The OpenStreetMap server keeps redirecting (a redirect loop) - check the "
                   "server address";
        case OVK_HTTP_FAILURE::RefusedScheme:
            return "The OpenStreetMap server sent us to an address that is not http or https - "
                   "refused";
        case OVK_HTTP_FAILURE::TooLarge:
            return "The OpenStreetMap server's answer is larger than " +
                   std::to_string(OVK_ALPR_MAX_ANSWER >> 20) + " MiB - zoom in";
        case OVK_HTTP_FAILURE::TimedOut:
            // Often after the server said 200 and then went quiet: no "busy (HTTP 200)".
            return "OpenStreetMap server timed out - try again later or zoom in";
        case OVK_HTTP_FAILURE::None:
        case OVK_HTTP_FAILURE::Unreachable:
            break;
    }
    return server_message(status);
}

}  // namespace

void ovk_alpr_set_fetch(OVK_ALPR_FETCH fetch) {
    State& s = state();
    std::lock_guard lock(s.mu);
    s.fetch = std::move(fetch);
}

void ovk_alpr_set_endpoint(std::string_view url) {
    State& s = state();
    std::lock_guard lock(s.mu);
    s.endpoint = url.empty() ? std::string(OVK_ALPR_DEFAULT_ENDPOINT) : std::string(url);
}

std::string ovk_alpr_endpoint() {
    State& s = state();
    std::lock_guard lock(s.mu);
    return s.endpoint;
}

int ovk_alpr_load(std::string_view data_dir) {
    OVK_CHECK(!data_dir.empty(), -1);
    try {
        std::string dir = ovk_cut(data_dir, kDirMax - 1);
        std::vector<OVK_CAMERA> cams = read_cache(cache_path(dir));
        State& s = state();
        std::lock_guard lock(s.mu);
        s.dir = std::move(dir);
        s.cams = std::move(cams);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_CAMERA, 1, cams);
        State& s = state();
        std::lock_guard lock(s.mu);
        s.cams.clear();
    }
    return 0;
}

void ovk_alpr_unload() {
    State& s = state();
    std::lock_guard lock(s.mu);
    s.cams.clear();
    s.cams.shrink_to_fit();
    s.dir.clear();
}

int ovk_alpr_count() {
    State& s = state();
    std::lock_guard lock(s.mu);
    return static_cast<int>(s.cams.size());
}

std::vector<OVK_CAMERA> ovk_alpr_cameras() {
    try {
        State& s = state();
        std::lock_guard lock(s.mu);
        return s.cams;
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_CAMERA, 1, out);
        return {};
    }
}

std::vector<OVK_CAMERA_NEAR> ovk_alpr_near_cached(double lat, double lon, double radius_m,
                                                  int max) {
    State& s = state();
    std::lock_guard lock(s.mu);
    return ovk_alpr_near(s.cams, lat, lon, radius_m, max);
}

std::vector<OVK_CAMERA_NEAR> ovk_alpr_near(std::span<const OVK_CAMERA> cams, double lat, double lon,
                                           double radius_m, int max) {
    std::vector<OVK_CAMERA_NEAR> out;
    if (cams.empty() || max <= 0) return out;
    try {
        const double dlat_max = radius_m / 111000.0;
        const double dlon_max =
            radius_m / (111000.0 * std::max(std::cos(lat * std::numbers::pi / 180.0), 0.01));
        std::vector<std::pair<double, const OVK_CAMERA*>> kept;
        for (const OVK_CAMERA& c : cams) {
            if (std::fabs(c.lat - lat) > dlat_max || std::fabs(c.lon - lon) > dlon_max) continue;
            const double d = ovk_meters_between(lat, lon, c.lat, c.lon);
            if (d <= radius_m) kept.emplace_back(d, &c);
        }
        std::stable_sort(kept.begin(), kept.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const size_t n = std::min(kept.size(), static_cast<size_t>(max));
        out.reserve(n);
        for (size_t i = 0; i < n; i++) out.push_back({*kept[i].second, kept[i].first});
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_CAMERA_NEAR, cams.size(), out);
        out.clear();
    }
    return out;
}

double ovk_alpr_warn_radius(double speed_ms) {
    if (speed_ms < 0) return 150;
    return std::clamp(20.0 * speed_ms, 150.0, 600.0);
}

std::string ovk_camera_label(const OVK_CAMERA* c) {
    const std::string& who = (c && !c->brand.empty()) ? c->brand : std::string("Plate reader");
    return who + " (ALPR)";
}

std::string ovk_alpr_query(double south, double west, double north, double east) {
    return "[out:json][timeout:90];nwr[\"surveillance:type\"=\"ALPR\"](" + ovk_jdouble(south) +
           "," + ovk_jdouble(west) + "," + ovk_jdouble(north) + "," + ovk_jdouble(east) +
           ");out center tags;";
}

std::optional<std::vector<OVK_CAMERA>> ovk_alpr_parse(std::string_view json) {
    try {
        return parse_answer(json, nullptr);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_CAMERA, 1, out);
        return std::nullopt;
    }
}

int ovk_alpr_parse_direction(std::string_view v) {
    v = v.substr(0, v.find(';'));
    std::string t = ovk_trim(v.substr(0, kDirectionMax - 1));
    if (t.empty()) return -1;
    for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // A plain decimal number (no hex, no "INF"/"NAN" words).
    if (t.find_first_not_of("0123456789+-.E") == std::string::npos) {
        errno = 0;
        char* end = nullptr;
        const double d = std::strtod(t.c_str(), &end);
        if (end == t.c_str() + t.size() && std::isfinite(d)) return wrap_degrees(d);
    }
    for (const Compass& c : kCardinal)
        if (t == c.name) return c.deg;
    return -1;
}

int ovk_alpr_download(double south, double west, double north, double east, std::string* err) {
    try {
        if (north - south > OVK_ALPR_MAX_SPAN_DEG || east - west > OVK_ALPR_MAX_SPAN_DEG) {
            set_err(err, "Area too large - zoom in");
            return -1;
        }
        const std::string body = "data=" + url_encode(ovk_alpr_query(south, west, north, east));
        OVK_ALPR_FETCH fetch;
        std::string endpoint;
        {
            State& s = state();
            std::lock_guard lock(s.mu);
            fetch = s.fetch;
            endpoint = s.endpoint;
        }
        int status = 0;
        OVK_HTTP_FAILURE failure = OVK_HTTP_FAILURE::Unreachable;
        std::optional<std::string> answer;
        if (fetch)
            answer = fetch(endpoint, body, std::string_view("application/x-www-form-urlencoded"),
                           OVK_ALPR_TIMEOUT_S, &status, &failure, OVK_ALPR_MAX_ANSWER);
        if (!answer || status != 200) {
            set_err(err, answer ? server_message(status) : fetch_message(failure, status));
            return -1;
        }
        if (answer->size() >= OVK_ALPR_MAX_ANSWER) {  // a transport that ignored the limit
            set_err(err, fetch_message(OVK_HTTP_FAILURE::TooLarge, status));
            return -1;
        }
        std::string runtime_error;
        std::optional<std::vector<OVK_CAMERA>> got = parse_answer(*answer, &runtime_error);
        answer.reset();
        if (!got) {
            set_err(err, "Unexpected answer from the OpenStreetMap server");
            return -1;
        }
        // Overpass reports an overloaded or timed-out query inside a 200 answer; taking
        // it as "no cameras here" would wipe the cache of the area.
        if (!runtime_error.empty()) {
            set_err(err, ovk_icontains(runtime_error, "timed out")
                             ? fetch_message(OVK_HTTP_FAILURE::TimedOut, status)
                             : server_message(status));
            return -1;
        }

        State& s = state();
        std::lock_guard lock(s.mu);
        std::vector<OVK_CAMERA> merged;
        merged.reserve(s.cams.size() + got->size());
        for (const OVK_CAMERA& c : s.cams) {
            const bool inside = c.lat >= south && c.lat <= north && c.lon >= west && c.lon <= east;
            if (!inside) merged.push_back(c);
        }
        for (OVK_CAMERA& c : *got) merged.push_back(std::move(c));
        if (!s.dir.empty()) {
            const std::string path = cache_path(s.dir);
            OVK_JSON arr = cameras_to_json(merged);
            if (!arr || ovk_json_write_file(path, arr.get(), false) != 0)
                zq_log(LOG_ERR, "cannot save %s", path.c_str());
        }
        s.cams = std::move(merged);
        return static_cast<int>(got->size());
    } catch (...) {
        set_err(err, "Out of memory");
        return -1;
    }
}

void ovk_alpr_clear() {
    State& s = state();
    std::lock_guard lock(s.mu);
    if (!s.dir.empty()) {
        const std::string path = cache_path(s.dir);
        if (const int err = zq_fs_unlink(path); err != 0 && err != ENOENT)
            zq_log(LOG_ERR, "cannot delete %s: %s", path.c_str(), std::strerror(err));
    }
    s.cams.clear();
}

void ovk_alpr_set_for_test(std::span<const OVK_CAMERA> cams) {
    try {
        std::vector<OVK_CAMERA> copy(cams.begin(), cams.end());
        State& s = state();
        std::lock_guard lock(s.mu);
        s.cams = std::move(copy);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(OVK_CAMERA, cams.size(), cams);
    }
}
