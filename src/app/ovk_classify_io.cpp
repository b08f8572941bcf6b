// SPDX-License-Identifier: GPL-3.0-or-later
// The classify tool's line handling: JSON line -> advert -> verdict object -> JSON line.
//
// The verdict object is built by the steps in kSteps, in order, each adding its own fields;
// a new kind of output (identity, fingerprints, distance...) is one more step.
#include "ovk_classify_io.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_category.h"
#include "ovk_export.h"
#include "ovk_fingerprint.h"
#include "ovk_intel.h"
#include "ovk_registry.h"
#include "ovk_remoteid.h"
#include "ovk_ridcheck.h"
#include "ovk_signature.h"
#include "ovk_sigreport.h"
#include "ovk_util.h"
#include "ovk_vendordb.h"
#include "ovk_wififp.h"
#include "zq_log.h"

namespace {

struct JsonDelete {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;

std::string print(const cJSON* obj) {
    // Names from the air may hold bytes that are not UTF-8; JSON readers reject those.
    std::optional<std::string> s = ovk_json_print_utf8(obj, false);
    if (!s) throw std::bad_alloc();
    return std::move(*s);
}

// Adds to `obj` or throws std::bad_alloc.
void add(cJSON* obj, const char* key, cJSON* item) {
    if (!item || !cJSON_AddItemToObject(obj, key, item)) {
        cJSON_Delete(item);
        throw std::bad_alloc();
    }
}
void add_str(cJSON* obj, const char* key, std::string_view v) {
    add(obj, key, cJSON_CreateString(std::string(v).c_str()));
}
void add_num(cJSON* obj, const char* key, double v) {
    add(obj, key, cJSON_CreateNumber(v));
}
void add_null(cJSON* obj, const char* key) {
    add(obj, key, cJSON_CreateNull());
}

// ---------------------------------------------------------------------------------------
// input

struct BadInput {
    std::string reason;
};

[[noreturn]] void bad(std::string reason) {
    throw BadInput{std::move(reason)};
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<uint8_t> hex_field(const cJSON* root, const char* key) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!it) bad(std::string("missing \"") + key + "\"");
    if (!cJSON_IsString(it)) bad(std::string("\"") + key + "\" is not a string");
    const std::string_view s(it->valuestring);
    if (s.size() % 2) bad(std::string("\"") + key + "\" has an odd number of hex digits");
    std::vector<uint8_t> out;
    out.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = hex_digit(s[i]);
        const int lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) bad(std::string("\"") + key + "\" is not hex");
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

std::optional<std::string> opt_string(const cJSON* root, const char* key) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!it || cJSON_IsNull(it)) return std::nullopt;
    if (!cJSON_IsString(it)) bad(std::string("\"") + key + "\" is not a string");
    return std::string(it->valuestring);
}

// An integral number within [lo, hi], or `def` when absent.
double opt_integer(const cJSON* root, const char* key, double lo, double hi, double def) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!it || cJSON_IsNull(it)) return def;
    if (!cJSON_IsNumber(it)) bad(std::string("\"") + key + "\" is not a number");
    const double v = it->valuedouble;
    if (!std::isfinite(v) || v != std::floor(v) || v < lo || v > hi)
        bad(std::string("\"") + key + "\" is out of range");
    return v;
}

OVK_ADDR_TYPE addr_type_field(const cJSON* root) {
    const std::optional<std::string> s = opt_string(root, "addrType");
    if (!s) return OVK_ADDR_UNKNOWN;
    for (int t = 0; t < OVK_ADDR_COUNT; ++t)
        if (*s == ovk_addr_name(t)) return static_cast<OVK_ADDR_TYPE>(t);
    bad("unknown \"addrType\"");
}

int connectable_field(const cJSON* root) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(root, "connectable");
    if (it && cJSON_IsBool(it)) return cJSON_IsTrue(it) ? 1 : 0;
    return static_cast<int>(opt_integer(root, "connectable", -1, 1, -1));
}

// A recording's GPS fix: {"gps":{"lat":..,"lon":..,"speed":..,"accuracy":..,"bearing":..},
// "time":...} (speed, accuracy and bearing optional).
bool is_fix_object(const cJSON* root) {
    return cJSON_IsObject(root) && cJSON_GetObjectItemCaseSensitive(root, "gps") &&
           !cJSON_GetObjectItemCaseSensitive(root, "radio");
}

double opt_real(const cJSON* o, const char* key, double lo, double hi, bool& present) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(o, key);
    present = false;
    if (!it || cJSON_IsNull(it)) return 0;
    if (!cJSON_IsNumber(it)) bad(std::string("\"") + key + "\" is not a number");
    const double v = it->valuedouble;
    if (!std::isfinite(v) || v < lo || v > hi) bad(std::string("\"") + key + "\" is out of range");
    present = true;
    return v;
}

OVK_LOCATION parse_fix(const cJSON* root) {
    const cJSON* g = cJSON_GetObjectItemCaseSensitive(root, "gps");
    if (!cJSON_IsObject(g)) bad("\"gps\" is not an object");
    OVK_LOCATION loc;
    bool has = false;
    loc.lat = opt_real(g, "lat", -90, 90, has);
    if (!has) bad("missing \"lat\"");
    loc.lon = opt_real(g, "lon", -180, 180, has);
    if (!has) bad("missing \"lon\"");
    loc.speed_ms = opt_real(g, "speed", 0, 1e5, has);
    loc.has_speed = has ? 1 : 0;
    loc.accuracy_m = opt_real(g, "accuracy", 0, 1e7, has);
    loc.has_accuracy = has ? 1 : 0;
    loc.bearing_deg = opt_real(g, "bearing", 0, 360, has);
    loc.has_bearing = has ? 1 : 0;
    loc.time = static_cast<int64_t>(opt_integer(root, "time", -9.0e15, 9.0e15, 0));
    return loc;
}

OVK_ADVERT_PTR parse_object(const cJSON* root) {
    if (!cJSON_IsObject(root)) bad("not a JSON object");
    const std::optional<std::string> radio = opt_string(root, "radio");
    if (!radio) bad("missing \"radio\"");
    const bool ble = ovk_strieq(*radio, "BLE");
    if (!ble && !ovk_strieq(*radio, "WIFI")) bad("\"radio\" must be \"BLE\" or \"WIFI\"");
    const std::optional<std::string> mac = opt_string(root, "mac");
    if (!mac) bad("missing \"mac\"");
    if (!ovk_mac_is_valid(*mac)) bad("invalid \"mac\"");
    const int rssi = static_cast<int>(opt_integer(root, "rssi", -1000, 1000, 0));
    const auto time = static_cast<int64_t>(opt_integer(root, "time", -9.0e15, 9.0e15, 0));

    OVK_ADVERT_PTR a;
    if (ble) {
        const std::vector<uint8_t> raw = hex_field(root, "raw");
        const OVK_ADDR_TYPE kind = addr_type_field(root);
        const int connectable = connectable_field(root);
        const std::optional<std::string> phy = opt_string(root, "phy");
        const std::string hint = opt_string(root, "name").value_or("");
        std::optional<std::string_view> phy_view;
        if (phy) phy_view = *phy;
        a = ovk_advert_new_ble(*mac, rssi, ovk_bytes(raw.data(), raw.size()), kind, connectable,
                               phy_view, hint, time);
    } else {
        const std::vector<uint8_t> ies = hex_field(root, "ies");
        const std::optional<std::string> ssid = opt_string(root, "ssid");
        const std::optional<std::string> caps = opt_string(root, "caps");
        const std::optional<std::string> standard = opt_string(root, "standard");
        const int freq = static_cast<int>(opt_integer(root, "freq", 0, 1000000, 0));
        std::optional<std::string_view> ssid_v, caps_v, std_v;
        if (ssid) ssid_v = *ssid;
        if (caps) caps_v = *caps;
        if (standard) std_v = *standard;
        a = ovk_advert_new_wifi(*mac, ssid_v, rssi, freq, caps_v, std_v,
                                ovk_bytes(ies.data(), ies.size()), time);
    }
    if (!a) bad("out of memory");
    return a;
}

bool is_comment(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    return i == line.size() || line[i] == '#';
}

// ---------------------------------------------------------------------------------------
// output steps

// What the steps of one line work on: the advert as it came; the advert as judged with what
// its address sent on earlier lines (verdicts and identity rest on it); and with a context
// the Remote ID track of its address and what this advert's broadcast raised.
struct LINE_IN {
    const OVK_ADVERT& a;
    const OVK_ADVERT& judged;
    const OVK_RID_TRACK* track = nullptr;
    std::vector<OVK_RIDCHECK_FINDING> raised;
};

void step_mac(cJSON* obj, const LINE_IN& in) {
    add_str(obj, "mac", in.a.mac);
}

void step_hits(cJSON* obj, const LINE_IN& in) {
    const OVK_ADVERT& a = in.judged;
    OVK_HITS hits = ovk_signature_classify(&a);
    if (in.track) ovk_ridcheck_lower(hits, *in.track);
    cJSON* arr = cJSON_CreateArray();
    add(obj, "hits", arr);
    for (const OVK_HIT& h : hits) {
        cJSON* o = cJSON_CreateObject();
        if (!o || !cJSON_AddItemToArray(arr, o)) {
            cJSON_Delete(o);
            throw std::bad_alloc();
        }
        add_str(o, "category", ovk_cat_name(h.category));
        add_str(o, "label", h.label);
        add_num(o, "confidence", h.confidence);
        add_str(o, "tier", ovk_tier_label(ovk_tier_of(h.confidence)));
        add_str(o, "evidence", h.evidence);
        add_str(o, "source", h.source);
    }
}

void step_remote_id(cJSON* obj, const LINE_IN& in) {
    const OVK_ADVERT& a = in.a;
    OVK_REMOTE_ID r;
    if (!ovk_rid_decode_advert(&a, r)) return;
    cJSON* o = cJSON_CreateObject();
    add(obj, "remoteId", o);
    if (ovk_export_add_remote_id(o, r) != 0) throw std::bad_alloc();
}

// What this advert's Remote ID broadcast gave away as implausible, given what its address
// said on earlier lines.
void step_spoofing(cJSON* obj, const LINE_IN& in) {
    if (in.raised.empty()) return;
    cJSON* arr = cJSON_CreateArray();
    add(obj, "spoofing", arr);
    for (const OVK_RIDCHECK_FINDING& f : in.raised) {
        cJSON* s = cJSON_CreateString(ovk_ridcheck_text(f).c_str());
        if (!s || !cJSON_AddItemToArray(arr, s)) {
            cJSON_Delete(s);
            throw std::bad_alloc();
        }
    }
}

cJSON* add_array_item(cJSON* arr) {
    cJSON* o = cJSON_CreateObject();
    if (!o || !cJSON_AddItemToArray(arr, o)) {
        cJSON_Delete(o);
        throw std::bad_alloc();
    }
    return o;
}

// What ordinary thing the advert comes from, with the address registrant as a hint.
void step_identity(cJSON* obj, const LINE_IN& in) {
    const OVK_ADVERT& a = in.judged;
    OVK_IDENTITY id;
    ovk_intel_identify(&a, ovk_vendor_mac(a.mac), &id);
    cJSON* o = cJSON_CreateObject();
    add(obj, "identity", o);
    add_str(o, "type", id.type);
    cJSON* facts = cJSON_CreateArray();
    add(o, "facts", facts);
    for (const OVK_FACT& f : id.facts) {
        cJSON* fo = add_array_item(facts);
        add_str(fo, "key", f.key);
        add_str(fo, "value", f.value);
    }
}

// BLE: the canonical advert fingerprint; Wi-Fi: the access-point model from WPS.
void step_fingerprint(cJSON* obj, const LINE_IN& in) {
    const OVK_ADVERT& a = in.a;
    std::string fp;
    if (a.source == OVK_SRC_WIFI) {
        fp = ovk_wififp_model(ovk_wififp_parse(a.ies)).value_or("");
    } else {
        ovk_advert_fingerprint(&a, fp);
    }
    add_str(obj, "fingerprint", fp);
}

// Metres to the centimetre; null when the line carried no signal level (rssi 0), which
// would otherwise read as "right next to you".
void step_distance(cJSON* obj, const LINE_IN& in) {
    const OVK_ADVERT& a = in.a;
    if (a.rssi == 0) {
        add_null(obj, "distanceM");
        return;
    }
    add_num(obj, "distanceM", std::round(ovk_distance_m(&a, a.rssi) * 100.0) / 100.0);
}

void step_address_warning(cJSON* obj, const LINE_IN& in) {
    const OVK_ADVERT& a = in.a;
    const std::optional<std::string> w = ovk_addr_warning(a.addr_type, a.mac);
    if (w) add_str(obj, "addressWarning", *w);
}

using Step = void (*)(cJSON* obj, const LINE_IN& in);
constexpr Step kSteps[] = {step_mac,      step_hits,        step_remote_id, step_spoofing,
                           step_identity, step_fingerprint, step_distance,  step_address_warning};

// The address block may go into a report only when it names a registered vendor: random
// static and private BLE addresses, and locally administered ones, are random bits that
// would single out the device.
bool address_is_random(const OVK_ADVERT& a) {
    if (ovk_mac_is_randomized(a.mac)) return true;
    switch (a.addr_type) {
        case OVK_ADDR_PUBLIC:
        case OVK_ADDR_WIFI_GLOBAL:
        case OVK_ADDR_UNKNOWN:
            return false;
        case OVK_ADDR_RANDOM_STATIC:
        case OVK_ADDR_RESOLVABLE_PRIVATE:
        case OVK_ADDR_NON_RESOLVABLE:
        case OVK_ADDR_WIFI_LOCAL:
            return true;
    }
    return true;
}

// {"line":N,"report":{...}} with the report document on one line.
std::string report_line(const char* counter, long line_no, const OVK_ADVERT& a,
                        std::string_view note) {
    const char* vendor = ovk_vendor_mac(a.mac);
    OVK_IDENTITY id;
    ovk_intel_identify(&a, vendor, &id);
    const std::optional<std::string> doc = ovk_signature_report(
        &a, vendor ? vendor : "", id.type, address_is_random(a), note, OVK_CLASSIFY_APP);
    if (!doc) throw std::bad_alloc();
    Json rep(cJSON_ParseWithLength(doc->data(), doc->size()));
    if (!rep) throw std::bad_alloc();
    Json o(cJSON_CreateObject());
    if (!o) throw std::bad_alloc();
    add_num(o.get(), counter, static_cast<double>(line_no));
    add(o.get(), "report", rep.release());
    return print(o.get());
}

std::string error_line(long line_no, std::string_view reason, const char* counter = "line") {
    Json o(cJSON_CreateObject());
    if (!o) throw std::bad_alloc();
    add_num(o.get(), counter, static_cast<double>(line_no));
    add_str(o.get(), "error", reason);
    return print(o.get());
}

}  // namespace

namespace {

// The JSON object of one line, or BadInput.
Json parse_json(std::string_view line) {
    const char* end = nullptr;
    Json root(cJSON_ParseWithLengthOpts(line.data(), line.size(), &end, 0));
    if (!root) bad("not valid JSON");
    const size_t used = static_cast<size_t>(end - line.data());
    for (size_t i = used; i < line.size(); ++i)
        if (line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\0')
            bad("text after the JSON value");
    return root;
}

// An advert line, or (`fix` set, nullptr returned) a valid GPS fix line.
OVK_ADVERT_PTR parse_line(std::string_view line, std::string& error, bool& fix) {
    fix = false;
    try {
        const Json root = parse_json(line);
        if (is_fix_object(root.get())) {
            parse_fix(root.get());
            fix = true;
            return nullptr;
        }
        return parse_object(root.get());
    } catch (const BadInput& e) {
        error = e.reason;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    }
    return nullptr;
}

}  // namespace

OVK_ADVERT_PTR ovk_classify_parse(std::string_view line, std::string& error) {
    try {
        const Json root = parse_json(line);
        if (is_fix_object(root.get())) bad("a GPS fix, not an advert");
        return parse_object(root.get());
    } catch (const BadInput& e) {
        error = e.reason;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    }
    return nullptr;
}

std::optional<OVK_LOCATION> ovk_classify_parse_fix(std::string_view line, std::string& error) {
    try {
        const Json root = parse_json(line);
        if (!is_fix_object(root.get())) bad("not a GPS fix");
        return parse_fix(root.get());
    } catch (const BadInput& e) {
        error = e.reason;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    }
    return std::nullopt;
}

std::string ovk_classify_format(const OVK_ADVERT& a) {
    Json o(cJSON_CreateObject());
    if (!o) throw std::bad_alloc();
    cJSON* r = o.get();
    const bool wifi = a.source == OVK_SRC_WIFI;
    add_str(r, "radio", wifi ? "WIFI" : "BLE");
    add_str(r, "mac", a.mac);
    add_num(r, "rssi", a.rssi);
    if (wifi) {
        if (a.name) add_str(r, "ssid", *a.name);
        add_num(r, "freq", a.freq_mhz);
        if (a.caps) add_str(r, "caps", *a.caps);
        if (a.standard) add_str(r, "standard", *a.standard);
        std::string ies;
        for (const OVK_IE& ie : a.ies) {
            const uint8_t head[2] = {static_cast<uint8_t>(ie.id),
                                     static_cast<uint8_t>(ie.data.size())};
            ies += ovk_hex(ovk_bytes(head, 2));
            ies += ovk_hex(ie.data);
        }
        add_str(r, "ies", ies);
    } else {
        add_str(r, "addrType", ovk_addr_name(a.addr_type));
        add_num(r, "connectable", a.connectable);
        if (!a.phy.empty()) add_str(r, "phy", a.phy);
        if (a.name) add_str(r, "name", *a.name);
        add_str(r, "raw", ovk_hex(a.raw));
    }
    add_num(r, "time", static_cast<double>(a.timestamp));
    return print(r);
}

std::string ovk_classify_format_fix(const OVK_LOCATION& loc) {
    Json o(cJSON_CreateObject());
    if (!o) throw std::bad_alloc();
    cJSON* g = cJSON_CreateObject();
    add(o.get(), "gps", g);
    add_num(g, "lat", loc.lat);
    add_num(g, "lon", loc.lon);
    if (loc.has_speed) add_num(g, "speed", loc.speed_ms);
    if (loc.has_accuracy) add_num(g, "accuracy", loc.accuracy_m);
    if (loc.has_bearing) add_num(g, "bearing", loc.bearing_deg);
    add_num(o.get(), "time", static_cast<double>(loc.time));
    return print(o.get());
}

OVK_RID_TRACK& OVK_CLASSIFY_CTX::track(const std::string& mac) {
    auto it = tracks_.find(mac);
    if (it == tracks_.end()) {
        if (tracks_.size() >= OVK_CLASSIFY_TRACKS_MAX) {
            auto oldest = tracks_.begin();
            for (auto i = tracks_.begin(); i != tracks_.end(); ++i)
                if (i->second.used < oldest->second.used) oldest = i;
            tracks_.erase(oldest);
        }
        it = tracks_.emplace(mac, TRACK_SLOT{}).first;
    }
    it->second.used = ++uses_;
    return it->second.track;
}

std::optional<OVK_ADVERT> OVK_CLASSIFY_CTX::judge(const OVK_ADVERT& a) {
    if (a.source == OVK_SRC_WIFI) return std::nullopt;
    auto it = heard_.find(a.mac);
    if (it != heard_.end() && a.timestamp > 0 && it->second.last > 0 &&
        a.timestamp - it->second.last > OVK_STALE_MS)
        it->second.heard = OVK_HEARD{};  // out of range long enough to be a new sighting
    if (it == heard_.end()) {
        const OVK_HEARD none;
        if (!ovk_heard_news(none, a)) return std::nullopt;  // nothing worth keeping
        if (heard_.size() >= OVK_CLASSIFY_HEARD_MAX) {
            heard_.erase(heard_order_.front());
            heard_order_.pop_front();
        }
        heard_order_.push_back(a.mac);
        it = heard_.emplace(a.mac, HEARD_SLOT{}).first;
        it->second.used = std::prev(heard_order_.end());
    } else {
        heard_order_.splice(heard_order_.end(), heard_order_, it->second.used);
    }
    HEARD_SLOT& slot = it->second;
    std::optional<OVK_ADVERT> judged = ovk_heard_apply(slot.heard, a);
    ovk_heard_note(slot.heard, a);
    if (a.timestamp > 0) slot.last = a.timestamp;
    return judged;
}

OVK_CLASSIFY_LINE ovk_classify_advert(const OVK_ADVERT& a, const char* counter, long number,
                                      std::optional<std::string_view> report_note,
                                      OVK_CLASSIFY_CTX* ctx) {
    OVK_CLASSIFY_LINE res;
    try {
        if (report_note) {
            res.json = report_line(counter, number, a, *report_note);
        } else {
            const std::optional<OVK_ADVERT> judged = ctx ? ctx->judge(a) : std::nullopt;
            LINE_IN in{a, judged ? *judged : a, nullptr, {}};
            if (ctx && !ovk_rid_messages(&a).empty()) {
                OVK_RID_TRACK& t = ctx->track(a.mac);
                in.raised = ovk_ridcheck_observe(t, a, a.timestamp);
                in.track = &t;
            }
            Json o(cJSON_CreateObject());
            if (!o) throw std::bad_alloc();
            add_num(o.get(), counter, static_cast<double>(number));
            for (Step step : kSteps) step(o.get(), in);
            res.json = print(o.get());
        }
        res.status = OVK_CLASSIFY_OK;
    } catch (const std::exception&) {
        res.status = OVK_CLASSIFY_INVALID;
        res.json = std::string("{\"") + counter + "\":" + std::to_string(number) +
                   ",\"error\":\"out of memory\"}";
    }
    return res;
}

OVK_CLASSIFY_LINE ovk_classify_error(const char* counter, long number, std::string_view reason) {
    OVK_CLASSIFY_LINE res;
    res.status = OVK_CLASSIFY_INVALID;
    try {
        res.json = error_line(number, reason, counter);
    } catch (const std::exception&) {
        res.json = std::string("{\"") + counter + "\":" + std::to_string(number) +
                   ",\"error\":\"out of memory\"}";
    }
    return res;
}

OVK_CLASSIFY_LINE ovk_classify_line(std::string_view line, long line_no,
                                    std::optional<std::string_view> report_note,
                                    OVK_CLASSIFY_CTX* ctx) {
    OVK_CLASSIFY_LINE res;
    if (is_comment(line)) return res;
    std::string err;
    bool fix = false;
    const OVK_ADVERT_PTR a = parse_line(line, err, fix);
    if (fix) return res;  // a recording's GPS fix: nothing to classify
    if (!a) return ovk_classify_error("line", line_no, err);
    return ovk_classify_advert(*a, "line", line_no, report_note, ctx);
}

namespace {

// Reads `in` line by line, keeping at most `max` bytes of a line, so a line of any length (a
// stream with no newline at all) costs bounded memory. Reads byte by byte from the stream's
// own buffer: a line is handled as soon as it has arrived (a live capture through a pipe),
// and NUL bytes are ordinary bytes. The caller holds the stream's lock.
class LINE_READER {
  public:
    explicit LINE_READER(FILE* in) : in_(in) {}

    // The next line without its newline; false at the end of the input. `too_long` tells
    // that the line had more than `max` bytes (then `line` holds the first `max`).
    bool next(std::string& line, bool& too_long, size_t max) {
        line.clear();
        too_long = false;
        int c = getc_unlocked(in_);
        if (c == EOF) return false;
        for (; c != EOF && c != '\n'; c = getc_unlocked(in_)) {
            if (line.size() < max)
                line.push_back(static_cast<char>(c));
            else
                too_long = true;
        }
        return true;
    }

  private:
    FILE* in_;
};

}  // namespace

int ovk_classify_stream(FILE* in, FILE* out, std::optional<std::string_view> report_note) {
    OVK_CHECK(in && out, 1);
    long line_no = 0;
    int status = 0;
    bool write_failed = false;
    OVK_CLASSIFY_CTX ctx;
    flockfile(in);
    try {
        LINE_READER reader(in);
        std::string buf;
        bool overflow = false;
        // One byte more than the limit is kept, for the carriage return of a CRLF line.
        while (reader.next(buf, overflow, OVK_CLASSIFY_LINE_MAX + 1)) {
            ++line_no;
            std::string_view line(buf);
            if (!overflow && !line.empty() && line.back() == '\r') line.remove_suffix(1);
            const bool too_long = overflow || line.size() > OVK_CLASSIFY_LINE_MAX;
            OVK_CLASSIFY_LINE r;
            // An overlong comment is still a comment; an overlong blank start is not.
            const size_t first = line.find_first_not_of(" \t\r");
            const bool hash = first != std::string_view::npos && line[first] == '#';
            if (too_long && !hash) {
                r.status = OVK_CLASSIFY_INVALID;
                r.json = error_line(
                    line_no, ovk_format(96, "line longer than %zu bytes", OVK_CLASSIFY_LINE_MAX));
            } else if (!too_long) {
                r = ovk_classify_line(line, line_no, report_note, &ctx);
            }
            if (r.status == OVK_CLASSIFY_INVALID) status = 1;
            if (r.status != OVK_CLASSIFY_SKIPPED &&
                (fwrite(r.json.data(), 1, r.json.size(), out) != r.json.size() ||
                 fputc('\n', out) == EOF)) {
                write_failed = true;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        zq_log(LOG_ERR, "classify: out of memory at line %ld", line_no + 1);
        status = 1;
    }
    funlockfile(in);
    if (ferror(in)) status = 1;
    // Output that did not all arrive (a full disk, a closed pipe) is a failure of its own.
    if (fflush(out) != 0 || ferror(out)) write_failed = true;
    return write_failed ? 2 : status;
}

const char* ovk_classify_usage() {
    return "Usage: orvik-classify [FILE]\n"
           "       orvik-classify --report NOTE [FILE]\n"
           "       orvik-classify --help\n"
           "\n"
           "Classifies recorded advertisements. Reads JSON Lines from FILE (or standard input\n"
           "when FILE is absent or \"-\") and writes one JSON line per input line, in order.\n"
           "Recordings made with orvik --record are read as they are: fields not listed below\n"
           "are ignored and GPS fix lines ({\"gps\":{...},\"time\":...}) give no output.\n"
           "\n"
           "Capture files of other tools are told by their content and read too: pcap and\n"
           "pcapng with 802.11 (with or without radiotap), Bluetooth LE link layer (with or\n"
           "without its pseudo-header) or Bluetooth HCI H4; btsnoop (Android's HCI snoop log,\n"
           "btmon -w). Each advert they hold gives one line numbered by its \"frame\" (as\n"
           "Wireshark counts) instead of \"line\"; a summary goes to standard error. A damaged\n"
           "capture ends with {\"frame\":N,\"error\":...} and exit status 1.\n"
           "\n"
           "Input, one object per line (only radio, mac and raw/ies are required; raw and ies\n"
           "are hex and may be empty):\n"
           "  "
           "{\"radio\":\"BLE\",\"mac\":\"AA:BB:CC:DD:EE:FF\",\"rssi\":-60,\"addrType\":\"PUBLIC\","
           "\n"
           "   \"connectable\":1,\"phy\":\"LE 1M "
           "(legacy)\",\"name\":\"hint\",\"raw\":\"020106...\",\n"
           "   \"time\":1733600000000}\n"
           "  "
           "{\"radio\":\"WIFI\",\"mac\":\"AA:BB:CC:DD:EE:FF\",\"ssid\":\"net\",\"rssi\":-70,"
           "\"freq\":2437,\n"
           "   \"caps\":\"[ESS]\",\"standard\":\"WiFi 6 "
           "(802.11ax)\",\"ies\":\"<hex>\",\"time\":...}\n"
           "addrType is one of PUBLIC, RANDOM_STATIC, RESOLVABLE_PRIVATE, NON_RESOLVABLE,\n"
           "WIFI_GLOBAL, WIFI_LOCAL, UNKNOWN (default UNKNOWN). \"name\" is used only when the\n"
           "payload carries no name.\n"
           "\n"
           "Output per line:\n"
           "  "
           "{\"line\":N,\"mac\":...,\"hits\":[{\"category\":...,\"label\":...,\"confidence\":0-100,"
           "\n"
           "   \"tier\":\"strong|probable|weak - verify\",\"evidence\":...,\"source\":...}],\n"
           "   \"remoteId\":{...},\"spoofing\":[...],\n"
           "   \"identity\":{\"type\":...,\"facts\":[{\"key\":...,\"value\":...}]},\n"
           "   \"fingerprint\":...,\"distanceM\":...,\"addressWarning\":...}\n"
           "  {\"line\":N,\"error\":\"<reason>\"}   for a line that is not valid input (also\n"
           "                                  for a line longer than 1 MiB)\n"
           "  hits       verdicts, highest confidence first\n"
           "  remoteId   only when the advert carries drone Remote ID\n"
           "  spoofing   only when that Remote ID is implausible given what the same address\n"
           "             broadcast earlier in the input: \"Possible spoofed Remote ID: "
           "<reason>\";\n"
           "             from then on the address's Remote ID verdicts are 35 points lower\n"
           "  identity   what ordinary device the advert comes from, with its evidence\n"
           "             (hits and identity judge a BLE line with the earlier lines of its\n"
           "             address: the name heard last, the services listed before)\n"
           "  fingerprint  BLE: the stable advert shape (name, UUIDs, data lengths, TX power,\n"
           "             connectable); Wi-Fi: the access-point model from WPS; \"\" when none\n"
           "  distanceM  estimated metres from the signal level; null when rssi is absent or 0\n"
           "  addressWarning  only when a declared-public address is locally administered or\n"
           "             (vendor tables loaded) in no registered block\n"
           "\n"
           "With --report NOTE each advert gives its shareable signature report instead, with\n"
           "NOTE (\"\" for none) as the user's note:\n"
           "  "
           "{\"line\":N,\"report\":{\"format\":\"orvik-signature-report/"
           "1\",\"app\":\"orvik-classify\",\n"
           "   \"radio\":...,\"oui\":...,\"vendor\":...,\"guessedType\":...,\"addressType\":...,\n"
           "   ...,\"whatIThinkItIs\":NOTE}}\n"
           "The report holds no full address: \"oui\" (the first three octets) appears only for\n"
           "a public or global address, and at most two payload bytes per entry; invalid lines\n"
           "give the same error line as above.\n"
           "\n"
           "Lines that are empty, blank or start with '#' are comments: no output, not errors;\n"
           "N counts every line of the input from 1. Vendor tables are read from $OVK_ASSETS,\n"
           "the assets next to the program or its installed share/orvik/assets, or ./assets.\n"
           "\n"
           "Exit status: 0 when every line was valid, 1 when some line was not, 2 when the\n"
           "file cannot be read or the arguments are wrong.\n";
}
