// SPDX-License-Identifier: GPL-3.0-or-later
// Fleet messages: addresses, names, payload builders and the checked parser.
//   1. Addresses and names
//   2. Builders
//   3. Home Assistant discovery
//   4. The parser
#include "ovk_fleetmsg.h"

#include <charconv>
#include <cmath>

#include "ovk_app_util.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Addresses and names
// ---------------------------------------------------------------------------------------

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// A topic level a prefix may hold: printable ASCII or UTF-8, no wildcard, not empty.
bool prefix_level_ok(std::string_view level) {
    if (level.empty()) return false;
    for (const char ch : level) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x21 || c == 0x7F || c == '+' || c == '#') return false;
    }
    return true;
}

bool prefix_ok(std::string_view prefix) {
    if (prefix.empty() || prefix.size() > 200) return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = prefix.find('/', start);
        const std::string_view level = prefix.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!prefix_level_ok(level)) return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

// ---------------------------------------------------------------------------------------
// 2. Builders
// ---------------------------------------------------------------------------------------

std::string print(const OVK_JSON& o) {
    if (!o) return {};
    return ovk_json_print_utf8(o.get(), false).value_or(std::string());
}

bool add_pos(cJSON* j, bool has, double lat, double lon) {
    if (!has || !std::isfinite(lat) || !std::isfinite(lon)) return true;
    return cJSON_AddNumberToObject(j, "lat", lat) && cJSON_AddNumberToObject(j, "lon", lon);
}

// ---------------------------------------------------------------------------------------
// 4. The parser
// ---------------------------------------------------------------------------------------

// A string member within `max` bytes: 1 and `out` set; 0 when absent (or null) and
// `optional`; -1 otherwise (wrong type, too long).
int text_field(const cJSON* o, const char* key, size_t max, bool optional, std::string& out) {
    out.clear();
    const cJSON* m = cJSON_GetObjectItemCaseSensitive(o, key);
    if (!m || cJSON_IsNull(m)) return optional ? 0 : -1;
    if (!cJSON_IsString(m) || !m->valuestring) return -1;
    const std::string_view v(m->valuestring);
    if (v.size() > max) return -1;
    out = ovk_utf8_clean(v);
    return 1;
}

// A number member within [lo, hi]: 1 and `out` set; 0 when absent and `optional`; -1 else.
int num_field(const cJSON* o, const char* key, double lo, double hi, bool optional, double& out) {
    const cJSON* m = cJSON_GetObjectItemCaseSensitive(o, key);
    if (!m || cJSON_IsNull(m)) return optional ? 0 : -1;
    if (!cJSON_IsNumber(m)) return -1;
    const double v = m->valuedouble;
    if (!std::isfinite(v) || v < lo || v > hi) return -1;
    out = v;
    return 1;
}

// Latest plausible time stamp: year 2200.
constexpr double kTimeMax = 7258118400000.0;

bool position(const cJSON* o, const char* lat_key, const char* lon_key, bool& has, double& lat,
              double& lon) {
    double la = 0, lo = 0;
    const int a = num_field(o, lat_key, -90, 90, true, la);
    const int b = num_field(o, lon_key, -180, 180, true, lo);
    if (a < 0 || b < 0 || (a == 1) != (b == 1)) return false;
    has = a == 1;
    lat = la;
    lon = lo;
    return true;
}

OVK_THREAT threat_parse(std::string_view t, bool& ok) {
    ok = true;
    for (int i = OVK_THREAT_CLEAR; i <= OVK_THREAT_DANGER; ++i)
        if (t == ovk_threat_name(static_cast<OVK_THREAT>(i))) return static_cast<OVK_THREAT>(i);
    ok = false;
    return OVK_THREAT_CLEAR;
}

std::string parse_status(const cJSON* o, OVK_FLEET_STATUS& s) {
    const cJSON* on = cJSON_GetObjectItemCaseSensitive(o, "online");
    if (!cJSON_IsBool(on)) return "status without \"online\"";
    s = OVK_FLEET_STATUS{};
    s.online = cJSON_IsTrue(on);
    double v = 0;
    if (num_field(o, "time", 0, kTimeMax, true, v) < 0) return "bad \"time\"";
    s.time = static_cast<int64_t>(v);
    if (text_field(o, "scanners", OVK_FLEET_SCANNERS_MAX, true, s.scanners) < 0)
        return "bad \"scanners\"";
    v = 0;
    if (num_field(o, "devices", 0, 1e9, true, v) < 0) return "bad \"devices\"";
    s.devices = static_cast<int>(v);
    v = 0;
    if (num_field(o, "flagged", 0, 1e9, true, v) < 0) return "bad \"flagged\"";
    s.flagged = static_cast<int>(v);
    std::string threat;
    if (text_field(o, "threat", 16, true, threat) < 0) return "bad \"threat\"";
    if (!threat.empty()) {
        bool ok = false;
        s.threat = threat_parse(threat, ok);
        if (!ok) return "bad \"threat\"";
    }
    if (!position(o, "lat", "lon", s.has_pos, s.lat, s.lon)) return "bad position";
    return {};
}

bool source_ok(std::string_view s) {
    return s == "BLE" || s == "WIFI" || s == "CELL";
}

std::string parse_detection(const cJSON* o, std::string_view sensor, OVK_DETECTION& d) {
    d = OVK_DETECTION{};
    if (text_field(o, "mac", OVK_DET_MAC_MAX, false, d.mac) < 1 || d.mac.empty())
        return "bad \"mac\"";
    if (text_field(o, "label", OVK_DET_LABEL_MAX, false, d.label) < 1) return "bad \"label\"";
    if (text_field(o, "source", OVK_DET_SOURCE_MAX, false, d.source) < 1 || !source_ok(d.source))
        return "bad \"source\"";
    double v = 0;
    if (num_field(o, "rssi", -200, 50, true, v) < 0) return "bad \"rssi\"";
    d.rssi = static_cast<int>(v);
    v = 0;
    if (num_field(o, "timestamp", 1, kTimeMax, false, v) < 1) return "bad \"timestamp\"";
    d.timestamp = static_cast<int64_t>(v);
    bool has = false;
    if (!position(o, "latitude", "longitude", has, d.lat, d.lon)) return "bad position";
    d.has_pos = has ? 1 : 0;
    std::string cat;
    if (text_field(o, "category", 32, false, cat) < 1) return "bad \"category\"";
    const int c = ovk_cat_parse(cat);
    if (c < 0) return "bad \"category\"";
    d.category = static_cast<OVK_CATEGORY>(c);
    v = 0;
    if (num_field(o, "confidence", 0, 100, false, v) < 1) return "bad \"confidence\"";
    d.confidence = static_cast<int>(v);
    if (text_field(o, "evidence", OVK_DET_EVIDENCE_MAX, true, d.evidence) < 0)
        return "bad \"evidence\"";
    if (text_field(o, "vendor", OVK_DET_VENDOR_MAX, true, d.vendor) < 0) return "bad \"vendor\"";
    if (text_field(o, "deviceName", OVK_DET_NAME_MAX, true, d.device_name) < 0)
        return "bad \"deviceName\"";
    std::string named;
    const int n = text_field(o, "sensor", OVK_FLEET_SENSOR_MAX, true, named);
    if (n < 0 || (n == 1 && named != sensor)) return "\"sensor\" is not the topic's";
    d.sensor = std::string(sensor);
    return {};
}

std::string parse_alert(const cJSON* o, std::string_view sensor, OVK_FLEET_ALERT& a) {
    a = OVK_FLEET_ALERT{};
    if (text_field(o, "label", OVK_DET_LABEL_MAX, false, a.label) < 1 || a.label.empty())
        return "bad \"label\"";
    std::string cat;
    if (text_field(o, "category", 32, false, cat) < 1) return "bad \"category\"";
    const int c = ovk_cat_parse(cat);
    if (c < 0) return "bad \"category\"";
    a.category = static_cast<OVK_CATEGORY>(c);
    double v = 0;
    if (num_field(o, "confidence", 0, 100, false, v) < 1) return "bad \"confidence\"";
    a.confidence = static_cast<int>(v);
    if (text_field(o, "address", OVK_ALERT_KEY_MAX, false, a.address) < 1 || a.address.empty())
        return "bad \"address\"";
    v = 0;
    if (num_field(o, "time", 1, kTimeMax, false, v) < 1) return "bad \"time\"";
    a.time = static_cast<int64_t>(v);
    if (text_field(o, "evidence", OVK_DET_EVIDENCE_MAX, true, a.evidence) < 0)
        return "bad \"evidence\"";
    v = 0;
    if (num_field(o, "rssi", -200, 50, true, v) < 0) return "bad \"rssi\"";
    a.rssi = static_cast<int>(v);
    const cJSON* f = cJSON_GetObjectItemCaseSensitive(o, "following");
    if (f && !cJSON_IsBool(f)) return "bad \"following\"";
    a.following = cJSON_IsTrue(f) ? 1 : 0;
    if (!position(o, "lat", "lon", a.has_pos, a.lat, a.lon)) return "bad position";
    std::string named;
    const int n = text_field(o, "sensor", OVK_FLEET_SENSOR_MAX, true, named);
    if (n < 0 || (n == 1 && named != sensor)) return "\"sensor\" is not the topic's";
    a.sensor = std::string(sensor);
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 1. Addresses and names
// ---------------------------------------------------------------------------------------

std::string ovk_fleetmsg_parse_url(std::string_view text, OVK_MQTT_URL& out) {
    try {
        OVK_MQTT_URL u;
        std::string_view rest;
        if (text.starts_with("mqtt://")) {
            rest = text.substr(7);
        } else if (text.starts_with("mqtts://")) {
            u.tls = true;
            u.port = OVK_MQTTS_PORT;
            rest = text.substr(8);
        } else {
            return "not an mqtt:// or mqtts:// address";
        }
        const size_t slash = rest.find('/');
        if (slash == std::string_view::npos) return "no topic prefix after the host";
        std::string_view hostport = rest.substr(0, slash);
        std::string_view prefix = rest.substr(slash + 1);
        while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
        if (hostport.find('@') != std::string_view::npos)
            return "credentials do not belong in the address (use mqtt_user and a password file)";
        std::string_view port_text;
        if (hostport.starts_with("[")) {
            const size_t close = hostport.find(']');
            if (close == std::string_view::npos) return "unclosed [ in the host";
            u.host = std::string(hostport.substr(1, close - 1));
            std::string_view after = hostport.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return "bad host";
                port_text = after.substr(1);
                if (port_text.empty()) return "empty port";
            }
        } else {
            const size_t colon = hostport.rfind(':');
            if (colon != std::string_view::npos) {
                port_text = hostport.substr(colon + 1);
                if (port_text.empty()) return "empty port";
                hostport = hostport.substr(0, colon);
            }
            u.host = std::string(hostport);
        }
        if (u.host.empty() || u.host.size() > 253) return "no host";
        for (const char c : u.host)
            if (static_cast<unsigned char>(c) <= 0x20 || c == '/' || c == '[' || c == ']')
                return "bad host";
        if (!port_text.empty()) {
            int port = 0;
            const auto r =
                std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
            if (r.ec != std::errc() || r.ptr != port_text.data() + port_text.size() || port < 1 ||
                port > 65535)
                return "port outside 1-65535";
            u.port = port;
        }
        if (!prefix_ok(prefix)) return "bad topic prefix (no '+', '#', blanks or empty levels)";
        u.prefix = std::string(prefix);
        out = std::move(u);
        return {};
    } catch (...) {
        return "out of memory";
    }
}

bool ovk_fleetmsg_sensor_name_ok(std::string_view name) {
    if (name.empty() || name.size() > OVK_FLEET_SENSOR_MAX) return false;
    for (const char c : name)
        if (!name_char(c)) return false;
    return true;
}

std::string ovk_fleetmsg_sensor_from_host(std::string_view host) {
    std::string out;
    for (const char c : host) {
        if (out.size() == OVK_FLEET_SENSOR_MAX) break;
        out += name_char(c) ? c : '-';
    }
    return out.empty() ? std::string("orvik") : out;
}

// ---------------------------------------------------------------------------------------
// 2. Builders
// ---------------------------------------------------------------------------------------

OVK_FLEET_ALERT ovk_fleetmsg_alert_of(const OVK_UI_ALERT& a) {
    OVK_FLEET_ALERT f;
    f.sensor = a.sensor;
    f.label = a.hit.label;
    f.category = a.hit.category;
    f.confidence = a.hit.confidence;
    f.address = a.key;
    f.evidence = ovk_cut(a.hit.evidence, OVK_DET_EVIDENCE_MAX);
    f.rssi = a.rssi;
    f.time = a.time;
    f.following = a.following;
    f.has_pos = a.has_pos != 0;
    f.lat = a.lat;
    f.lon = a.lon;
    return f;
}

OVK_UI_ALERT ovk_fleetmsg_ui_alert(const OVK_FLEET_ALERT& f) {
    OVK_UI_ALERT a;
    a.time = f.time;
    a.key = ovk_cut(f.sensor + "/" + f.address, OVK_ALERT_KEY_MAX);
    a.sensor = f.sensor;
    a.hit.category = f.category;
    a.hit.label = f.label;
    a.hit.confidence = f.confidence;
    a.hit.evidence = f.evidence.empty() ? "Reported by sensor " + f.sensor : f.evidence;
    a.rssi = f.rssi;
    a.hit.source = "Fleet sensor " + f.sensor;
    a.following = f.following;
    a.has_pos = f.has_pos ? 1 : 0;
    a.lat = f.lat;
    a.lon = f.lon;
    return a;
}

std::string ovk_fleetmsg_status_json(const OVK_FLEET_STATUS& s) {
    try {
        OVK_JSON o(cJSON_CreateObject());
        if (!o) return {};
        cJSON* j = o.get();
        const bool ok = cJSON_AddBoolToObject(j, "online", s.online) &&
                        ovk_json_add_i64(j, "time", s.time) == 0 &&
                        ovk_json_add_str(j, "scanners", ovk_cut(s.scanners, 255)) == 0 &&
                        ovk_json_add_i64(j, "devices", s.devices) == 0 &&
                        ovk_json_add_i64(j, "flagged", s.flagged) == 0 &&
                        ovk_json_add_str(j, "threat", ovk_threat_name(s.threat)) == 0 &&
                        add_pos(j, s.has_pos, s.lat, s.lon);
        return ok ? print(o) : std::string();
    } catch (...) {
        return {};
    }
}

std::string ovk_fleetmsg_offline_json() {
    return "{\"online\":false}";
}

std::string ovk_fleetmsg_alert_json(const OVK_FLEET_ALERT& a, std::string_view type) {
    try {
        OVK_JSON o(cJSON_CreateObject());
        if (!o) return {};
        cJSON* j = o.get();
        const bool ok =
            (type.empty() || ovk_json_add_str(j, "type", type) == 0) &&
            ovk_json_add_str(j, "label", a.label) == 0 &&
            ovk_json_add_str(j, "category", ovk_cat_name(a.category)) == 0 &&
            ovk_json_add_i64(j, "confidence", a.confidence) == 0 &&
            ovk_json_add_str(j, "tier", ovk_tier_label(ovk_tier_of(a.confidence))) == 0 &&
            ovk_json_add_str(j, "address", a.address) == 0 &&
            ovk_json_add_i64(j, "time", a.time) == 0 &&
            cJSON_AddBoolToObject(j, "following", a.following != 0) &&
            ovk_json_add_str(j, "evidence", a.evidence) == 0 &&
            (a.rssi == 0 || ovk_json_add_i64(j, "rssi", a.rssi) == 0) &&
            add_pos(j, a.has_pos, a.lat, a.lon) &&
            (a.sensor.empty() || ovk_json_add_str(j, "sensor", a.sensor) == 0);
        return ok ? print(o) : std::string();
    } catch (...) {
        return {};
    }
}

std::string ovk_fleetmsg_alert_text(const OVK_FLEET_ALERT& a) {
    try {
        std::string t;
        if (!a.sensor.empty()) t = a.sensor + ": ";
        t += a.label;
        t += a.following ? " may be following you" : " nearby";
        t += ovk_format(96, " (%s, %s %d%%) ", ovk_cat_tag(a.category),
                        ovk_tier_label(ovk_tier_of(a.confidence)), a.confidence);
        t += a.address;
        return ovk_utf8_clean(t);
    } catch (...) {
        return {};
    }
}

std::string ovk_fleetmsg_detection_json(const OVK_DETECTION& d, std::string_view sensor) {
    try {
        OVK_DETECTION c = d;
        c.sensor = std::string(sensor);
        return ovk_store_detection_line(c).value_or(std::string());
    } catch (...) {
        return {};
    }
}

// ---------------------------------------------------------------------------------------
// 3. Home Assistant discovery
// ---------------------------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> ovk_fleetmsg_ha_discovery(
    std::string_view ha_prefix, std::string_view topic_prefix, std::string_view sensor) {
    std::vector<std::pair<std::string, std::string>> out;
    if (ha_prefix.empty()) return out;
    try {
        const std::string base = std::string(topic_prefix) + "/" + std::string(sensor);
        const std::string status = base + "/status";
        const std::string detection = base + "/detection";
        struct ENTITY {
            const char* component;
            const char* object;
            const char* name;
            const std::string* topic;
            const char* value_template;
            const char* icon;
        };
        const ENTITY entities[] = {
            {"sensor", "threat", "Threat level", &status, "{{ value_json.threat }}",
             "mdi:shield-alert"},
            {"sensor", "flagged", "Flagged devices", &status, "{{ value_json.flagged }}",
             "mdi:radar"},
            {"sensor", "last_detection", "Last detection", &detection,
             "{{ value_json.label }} ({{ value_json.mac }})", "mdi:cctv"},
            {"binary_sensor", "nearby", "Surveillance nearby", &status,
             "{{ 'ON' if value_json.flagged | int(0) > 0 else 'OFF' }}", "mdi:eye"},
        };
        for (const ENTITY& e : entities) {
            OVK_JSON o(cJSON_CreateObject());
            if (!o) return {};
            cJSON* j = o.get();
            const std::string uid = "orvik_" + std::string(sensor) + "_" + e.object;
            cJSON* dev = cJSON_AddObjectToObject(j, "device");
            cJSON* ids = dev ? cJSON_AddArrayToObject(dev, "identifiers") : nullptr;
            cJSON* id = cJSON_CreateString(("orvik_" + std::string(sensor)).c_str());
            if (!ids || !id) {
                cJSON_Delete(id);
                return {};
            }
            cJSON_AddItemToArray(ids, id);
            const bool ok =
                ovk_json_add_str(j, "name", e.name) == 0 &&
                ovk_json_add_str(j, "unique_id", uid) == 0 &&
                ovk_json_add_str(j, "object_id", uid) == 0 &&
                ovk_json_add_str(j, "state_topic", *e.topic) == 0 &&
                ovk_json_add_str(j, "value_template", e.value_template) == 0 &&
                ovk_json_add_str(j, "icon", e.icon) == 0 &&
                ovk_json_add_str(j, "availability_topic", status) == 0 &&
                ovk_json_add_str(j, "availability_template",
                                 "{{ 'online' if value_json.online else 'offline' }}") == 0 &&
                ovk_json_add_str(dev, "name", "Orvik " + std::string(sensor)) == 0 &&
                ovk_json_add_str(dev, "manufacturer", "Orvik") == 0 &&
                ovk_json_add_str(dev, "model", "Surveillance detector") == 0;
            if (!ok) return {};
            std::string topic = std::string(ha_prefix) + "/" + e.component + "/orvik_" +
                                std::string(sensor) + "/" + e.object + "/config";
            out.emplace_back(std::move(topic), print(o));
        }
    } catch (...) {
        return {};
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// 4. The parser
// ---------------------------------------------------------------------------------------

std::string_view ovk_fleetmsg_topic_sensor(std::string_view prefix, std::string_view topic) {
    if (topic.size() <= prefix.size() + 1 || !topic.starts_with(prefix) ||
        topic[prefix.size()] != '/')
        return {};
    std::string_view rest = topic.substr(prefix.size() + 1);
    const size_t slash = rest.find('/');
    return slash == std::string_view::npos ? rest : rest.substr(0, slash);
}

std::string ovk_fleetmsg_parse(std::string_view prefix, std::string_view topic,
                               std::string_view payload, OVK_FLEET_MSG& out) {
    try {
        if (topic.size() <= prefix.size() + 1 || !topic.starts_with(prefix) ||
            topic[prefix.size()] != '/')
            return "topic outside the prefix";
        const std::string_view rest = topic.substr(prefix.size() + 1);
        const size_t slash = rest.find('/');
        if (slash == std::string_view::npos) return "topic without a kind";
        const std::string_view sensor = rest.substr(0, slash);
        const std::string_view kind = rest.substr(slash + 1);
        if (!ovk_fleetmsg_sensor_name_ok(sensor)) return "bad sensor name";
        OVK_FLEET_KIND k;
        if (kind == "status")
            k = OVK_FLEET_KIND::Status;
        else if (kind == "detection")
            k = OVK_FLEET_KIND::Detection;
        else if (kind == "alert")
            k = OVK_FLEET_KIND::Alert;
        else
            return "unknown message kind";
        if (payload.size() > OVK_FLEET_PAYLOAD_MAX) return "payload over 64 KB";
        if (payload.find('\0') != std::string_view::npos) return "payload holds a NUL byte";
        OVK_JSON j = ovk_json_parse(payload);
        if (!j) return "payload is not JSON";
        if (!cJSON_IsObject(j.get())) return "payload is not a JSON object";
        OVK_FLEET_MSG m;
        m.kind = k;
        m.sensor = std::string(sensor);
        std::string why;
        switch (k) {
            case OVK_FLEET_KIND::Status:
                why = parse_status(j.get(), m.status);
                break;
            case OVK_FLEET_KIND::Detection:
                why = parse_detection(j.get(), sensor, m.detection);
                break;
            case OVK_FLEET_KIND::Alert:
                why = parse_alert(j.get(), sensor, m.alert);
                break;
        }
        if (!why.empty()) return why;
        out = std::move(m);
        return {};
    } catch (...) {
        return "out of memory";
    }
}
