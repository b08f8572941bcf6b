// SPDX-License-Identifier: GPL-3.0-or-later
// Device identification.
//
// Index
//   1. tables: fixed patterns, vendor classes, name kinds, service classes, Apple types/models
//   2. the running decision of the BLE identifier
//   3. BLE identification, in rule order
//   4. Wi-Fi identification
//   5. distance, security, channel, vendor shortener, declared-public address check
#include "ovk_intel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <mutex>
#include <vector>

#include "ovk_regex.h"
#include "ovk_signature.h"
#include "ovk_util.h"
#include "ovk_vendordb.h"
#include "ovk_wififp.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Tables
// ---------------------------------------------------------------------------------------

struct OVK_ID_NAME {
    int id;
    const char* name;
};

struct OVK_RE_KIND {
    const char* pattern;
    const char* kind;
};

enum FixedPattern : int {
    RE_PHONE_HOTSPOT = 0,
    RE_DIRECT_PRINTER = 1,
    RE_VEHICLE = 2,
    RE_CHIPSET_MAKER = 3,
    RE_CORP_SUFFIX = 4,
};
constexpr std::array<const char*, 5> _RE_FIXED = {
    "iphone|androidap|galaxy|pixel|hotspot|'s phone",
    "direct-|printer|hp-print|epson|canon",
    "tesla|carplay|android auto|\\bcar\\b|bmw|mercedes|audi|toyota",
    "broadcom|qualcomm|mediatek|realtek|intel corp",
    "(?i)(?:[,.]\\s*|\\s+)(inc\\.?|corp(oration)?\\.?|co\\.?,?\\s*ltd\\.?|ltd\\.?|llc|gmbh|"
    "s\\.?a\\.?|limited|technologies|technology|systems|networks|electronics|"
    "communications?|international)\\b.*$",
};

constexpr std::array<OVK_RE_KIND, 13> _VENDOR_CLASSES = {{
    {"cradlepoint|sierra wireless|peplink|inseego|digi international", "Vehicle / cellular router"},
    {"espressif|tuya|beken|bouffalo|realtek semi|telink", "IoT / smart-home module"},
    {"zebra tech|honeywell|datalogic", "Rugged scanner / printer"},
    {"garmin", "Garmin wearable / GPS"},
    {"motorola solutions|harris corp|kenwood", "Two-way radio / public-safety gear"},
    {"axon", "Axon body cam / TASER"},
    {"zepcam", "Zepcam body camera"},
    {"apple", "Apple device"},
    {"samsung", "Samsung device"},
    {"sonos|bose|harman|jbl|sennheiser|jabra|gn audio", "Audio device"},
    {"tesla|continental automotive|harman becker|alps alpine|denso|panasonic automotive|"
     "lg innotek",
     "Vehicle system"},
    {"dji|parrot|skydio|autel", "Drone / controller"},
    {"ring llc|amazon technologies|google|nest labs|arlo|wyze", "Smart-home / camera device"},
}};

constexpr std::array<const char*, 8> _WIFI_VENDOR_KINDS = {
    "Vehicle / cellular router",  "IoT / smart-home module",  "Two-way radio / public-safety gear",
    "Axon body cam / TASER",      "Vehicle system",           "Drone / controller",
    "Smart-home / camera device", "Rugged scanner / printer",
};

constexpr std::array<OVK_RE_KIND, 11> _NAME_TYPES = {{
    {"airpods|beats|buds|earbud|headphone|headset|jbl|bose|sony w[hf]-|soundcore|jabra|"
     "sennheiser|skullcandy",
     "Headphones / earbuds"},
    {"watch|fitbit|garmin|amazfit|mi band|galaxy fit|whoop|polar|suunto|oura", "Wearable"},
    {"\\b(tv|bravia|roku|chromecast|fire ?tv|shield)\\b|\\[tv\\]", "TV / streaming device"},
    {"tesla|model [3sxy]\\b|bmw|mercedes|audi|volkswagen|\\bvw\\b|toyota|honda|hyundai|"
     "\\bkia\\b|ford|chevrolet|nissan|subaru|volvo|polestar|rivian|mazda|jeep|carplay",
     "Vehicle"},
    {"printer|deskjet|officejet|laserjet|epson|canon|brother", "Printer"},
    {"airtag|\\btile\\b|smarttag|chipolo|pebblebee", "Item tracker"},
    {"keyboard|mouse|\\bmx \\w+|trackpad|controller|xbox|dualsense|dualshock|joy-con",
     "Peripheral / controller"},
    {"\\bnest\\b|\\bring\\b|echo|alexa|google home|\\bhue\\b|govee|wiz|kasa|tapo|switchbot|"
     "\\block\\b|august|yale",
     "Smart-home device"},
    {"iphone|ipad|macbook|imac|galaxy|pixel|oneplus|xiaomi|redmi|motorola|moto g",
     "Phone / computer"},
    {"speaker|soundbar|sonos|boom|flip \\d|charge \\d", "Speaker"},
    {"flower ?power|parrot pot", "Plant sensor"},
}};

// Vendor 128-bit services that name an ordinary product on their own (canonical text,
// product, kind), matched in either byte order in the UUID list or the service data.
struct OVK_UUID128_KIND {
    const char* uuid;
    const char* product;
    const char* kind;
};
constexpr std::array<OVK_UUID128_KIND, 1> _UUID128_KINDS = {{
    {OVK_UUID_FLOWER_POWER, "Parrot Flower Power", "Plant sensor (Parrot Flower Power)"},
}};

constexpr std::array<OVK_ID_NAME, 26> _SERVICE_CLASSES = {{
    {0x180D, "Heart-rate sensor / fitness wearable"},
    {0x1812, "Keyboard, mouse or game controller"},
    {0x1816, "Bike speed / cadence sensor"},
    {0x1818, "Bike power meter"},
    {0x1826, "Fitness machine (treadmill, bike...)"},
    {0x1814, "Running sensor"},
    {0x1810, "Blood-pressure monitor"},
    {0x1808, "Glucose meter"},
    {0x1809, "Thermometer"},
    {0x181D, "Weight scale"},
    {0x181B, "Body-composition scale"},
    {0x1822, "Pulse oximeter"},
    {0x183A, "Insulin pump / medical device"},
    {0x181A, "Environmental sensor"},
    {0x1819, "Location / navigation device"},
    {0x1802, "Key finder / alert tag"},
    {0x184E, "LE Audio earbuds or speaker"},
    {0x1850, "LE Audio earbuds or speaker"},
    {0x1853, "LE Audio earbuds or speaker"},
    {0x1854, "Hearing aid"},
    {0xFCD2, "BTHome smart-home sensor"},
    {0xFE95, "Xiaomi smart-home device"},
    {0xFE2C, "Google Fast Pair accessory"},
    {0xFD6F, "Exposure Notification beacon"},
    {0xFE79, "Zebra printer / scanner"},
    {0xFD66, "Zebra device"},
}};

constexpr std::array<OVK_ID_NAME, 16> _APPLE_TYPES = {{
    {0x02, "iBeacon"},
    {0x03, "AirPrint"},
    {0x05, "AirDrop"},
    {0x06, "HomeKit"},
    {0x07, "Proximity pairing"},
    {0x08, "\"Hey Siri\""},
    {0x09, "AirPlay target"},
    {0x0A, "AirPlay source"},
    {0x0B, "Magic Switch"},
    {0x0C, "Handoff"},
    {0x0D, "Instant Hotspot (target)"},
    {0x0E, "Instant Hotspot (source)"},
    {0x0F, "Nearby Action"},
    {0x10, "Nearby Info"},
    {0x12, "Find My"},
    {0x16, "Nearby Action (setup)"},
}};

constexpr std::array<OVK_ID_NAME, 22> _APPLE_MODELS = {{
    {0x0220, "AirPods (1st gen)"},  {0x0F20, "AirPods (2nd gen)"},
    {0x1320, "AirPods (3rd gen)"},  {0x1920, "AirPods 4"},
    {0x1B20, "AirPods 4 (ANC)"},    {0x0E20, "AirPods Pro"},
    {0x1420, "AirPods Pro 2"},      {0x2420, "AirPods Pro 2 (USB-C)"},
    {0x0A20, "AirPods Max"},        {0x1F20, "AirPods Max (USB-C)"},
    {0x0320, "Powerbeats3"},        {0x0B20, "Powerbeats Pro"},
    {0x1D20, "Powerbeats Pro 2"},   {0x0520, "BeatsX"},
    {0x1020, "Beats Flex"},         {0x0620, "Beats Solo3"},
    {0x0C20, "Beats Solo Pro"},     {0x0920, "Beats Studio3"},
    {0x1720, "Beats Studio Pro"},   {0x1120, "Beats Studio Buds"},
    {0x1620, "Beats Studio Buds+"}, {0x1220, "Beats Fit Pro"},
}};

template <size_t N>
const char* id_name(const std::array<OVK_ID_NAME, N>& table, int id) {
    for (const OVK_ID_NAME& row : table) {
        if (row.id == id) return row.name;
    }
    return nullptr;
}

// The UUIDs of _UUID128_KINDS, parsed once.
const std::array<std::optional<OVK_UUID>, _UUID128_KINDS.size()>& _uuid128_kinds() {
    static const auto parsed = [] {
        std::array<std::optional<OVK_UUID>, _UUID128_KINDS.size()> v;
        for (size_t i = 0; i < v.size(); i++) v[i] = ovk_uuid_parse(_UUID128_KINDS[i].uuid);
        return v;
    }();
    return parsed;
}

// `u`, in either byte order, is a UUID-list entry or a service-data UUID of `a`.
bool lists_uuid128(const OVK_ADVERT& a, const OVK_UUID& u) {
    const OVK_UUID r = ovk_uuid_reversed(u);
    for (const OVK_UUID& x : a.uuids)
        if (x == u || x == r) return true;
    for (const OVK_SVCDATA& sd : a.svc)
        if (sd.uuid == u || sd.uuid == r) return true;
    return false;
}

// Compiled patterns, built once per process; an entry that failed to compile is null and
// every user skips it.
struct CompiledPatterns {
    std::array<OVK_REGEX_PTR, _RE_FIXED.size()> fixed;
    std::array<OVK_REGEX_PTR, _NAME_TYPES.size()> name_types;
    std::array<OVK_REGEX_PTR, _VENDOR_CLASSES.size()> vendor_classes;
};

const CompiledPatterns& _re_init() {
    static const CompiledPatterns compiled = [] {
        CompiledPatterns c;
        for (size_t i = 0; i < _RE_FIXED.size(); i++) {
            // the corporate-suffix pattern carries its own "(?i)"
            int flags = i == RE_CORP_SUFFIX ? 0 : OVK_REGEX_ICASE;
            c.fixed[i] = ovk_regex_compile(_RE_FIXED[i], flags);
        }
        for (size_t i = 0; i < _NAME_TYPES.size(); i++) {
            c.name_types[i] = ovk_regex_compile(_NAME_TYPES[i].pattern, OVK_REGEX_ICASE);
        }
        for (size_t i = 0; i < _VENDOR_CLASSES.size(); i++) {
            c.vendor_classes[i] = ovk_regex_compile(_VENDOR_CLASSES[i].pattern, OVK_REGEX_ICASE);
        }
        return c;
    }();
    return compiled;
}

bool fixed_match(FixedPattern which, std::string_view text) {
    const OVK_REGEX* re = _re_init().fixed[which].get();
    return re && ovk_regex_search(re, text) == 1;
}

// The first kind whose pattern is found in `text`, or nullptr.
template <size_t N>
const char* first_kind(const std::array<OVK_RE_KIND, N>& table,
                       const std::array<OVK_REGEX_PTR, N>& compiled, std::string_view text) {
    for (size_t i = 0; i < N; i++) {
        if (compiled[i] && ovk_regex_search(compiled[i].get(), text) == 1) return table[i].kind;
    }
    return nullptr;
}

const char* vendor_class(std::string_view vendor) {
    return first_kind(_VENDOR_CLASSES, _re_init().vendor_classes, vendor);
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i) out += sep;
        out += parts[i];
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// 2. The running decision: the first rule that decides wins
// ---------------------------------------------------------------------------------------

struct OVK_DECIDE {
    std::string type;  // cut to OVK_IDENTITY_TYPE_MAX
    int has_type = 0;
    const char* basis = nullptr;
};

void _decide(OVK_DECIDE& d, std::string_view t, const char* why) {
    if (d.has_type) return;
    d.type = ovk_cut(t, OVK_IDENTITY_TYPE_MAX);
    d.has_type = 1;
    d.basis = why;
}

// Overrides any earlier decision, leaving its basis; only an iBeacon frame does this.
void _set_type(OVK_DECIDE& d, std::string_view t) {
    d.type = ovk_cut(t, OVK_IDENTITY_TYPE_MAX);
    d.has_type = 1;
}

// ---------------------------------------------------------------------------------------
// 3. BLE identification
// ---------------------------------------------------------------------------------------

constexpr size_t MAX_SERVICES = 160;
constexpr size_t MAX_APPLE_NAMES = 64;
constexpr size_t MAX_AD_STRUCTS = 64;
constexpr uint16_t CID_APPLE = 0x004C;
constexpr uint16_t CID_MICROSOFT = 0x0006;
constexpr uint16_t CID_SAMSUNG = 0x0075;
constexpr uint16_t CID_GOOGLE = 0x00E0;
constexpr int AD_APPEARANCE = 0x19;

constexpr const char* BASIS_DJI =
    "DJI model ID in manufacturer data (model-id decode from a public MIT-licensed drone "
    "signature catalogue)";

// Distinct 16-bit forms of the advertised UUIDs: the UUID list first, then service data.
std::vector<int> collect_services(const OVK_ADVERT& a) {
    std::vector<int> out;
    auto add = [&out](const OVK_UUID& u) {
        if (out.size() >= MAX_SERVICES) return;
        int s = ovk_uuid_short(u);
        if (s < 0) return;
        if (std::find(out.begin(), out.end(), s) != out.end()) return;
        out.push_back(s);
    };
    for (const OVK_UUID& u : a.uuids) add(u);
    for (const OVK_SVCDATA& s : a.svc) add(s.uuid);
    return out;
}

// Apple Continuity records: type byte, length byte, body. The walk stops when the length
// byte would be past the payload, and after a record whose length is 0. `visit` gets the
// record's offset, type and length; it must check the body against the payload itself.
template <class F>
void walk_continuity(ovk_bytes p, F&& visit) {
    size_t i = 0;
    while (i + 1 < p.size()) {
        int type = p[i];
        int len = p[i + 1];
        visit(i, type, len);
        if (len == 0) break;
        i += 2 + static_cast<size_t>(len);
    }
}

bool has_continuity_type(ovk_bytes p, int wanted) {
    bool found = false;
    walk_continuity(p, [&](size_t, int type, int) {
        if (type == wanted) found = true;
    });
    return found;
}

void identify_apple(const OVK_MFG& m, OVK_DECIDE& d, OVK_FACTS& facts) {
    ovk_bytes p(m.data);
    std::vector<std::string> names;
    walk_continuity(p, [&](size_t i, int type, int len) {
        const char* known = id_name(_APPLE_TYPES, type);
        std::string name = known ? known : ovk_format(64, "type 0x%02X", type);
        if (names.size() < MAX_APPLE_NAMES &&
            std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(std::move(name));
        }
        if (type == 0x02 && len == 21 && i + 23 <= p.size()) {
            unsigned major = (static_cast<unsigned>(p[i + 18]) << 8) | p[i + 19];
            unsigned minor = (static_cast<unsigned>(p[i + 20]) << 8) | p[i + 21];
            std::string uuid = ovk_hex(p.subspan(i + 2, 16), "");
            ovk_facts_add(facts, "iBeacon", "UUID %s, major %u, minor %u", uuid.c_str(), major,
                          minor);
            _set_type(d, "iBeacon");
        } else if (type == 0x07 && i + 5 <= p.size()) {
            int model = (p[i + 3] << 8) | p[i + 4];
            if (const char* mname = id_name(_APPLE_MODELS, model)) {
                ovk_facts_add(facts, "Apple model ID", "0x%04X (%s)", model, mname);
                _decide(d, mname, "Apple Continuity model ID");
            } else {
                ovk_facts_add(facts, "Apple model ID", "0x%04X", model);
            }
        } else if (type == 0x12) {
            ovk_facts_add(facts, "Find My state", "%s",
                          len == 25 ? "Separated from owner" : "Near its owner");
        }
    });
    if (!names.empty()) {
        ovk_facts_add(facts, "Apple Continuity", "%s", join(names, ", ").c_str());
    }
    if (!d.basis) d.basis = "Apple Continuity message";
    if (!d.has_type) {
        const char* t = "Apple device";
        if (has_continuity_type(p, 0x07)) {
            t = "AirPods / Beats";
        } else if (has_continuity_type(p, 0x12)) {
            t = "Apple Find My device (AirTag, iPhone, Mac...)";
        } else if (has_continuity_type(p, 0x09)) {
            t = "Apple TV / AirPlay speaker";
        } else if (has_continuity_type(p, 0x10) || has_continuity_type(p, 0x0C)) {
            t = "Apple device (iPhone, iPad, Mac or Watch)";
        }
        d.type = t;
        d.has_type = 1;
    }
}

const char* eddystone_frame(uint8_t first) {
    switch (first) {
        case 0x00:
            return "Eddystone-UID";
        case 0x10:
            return "Eddystone-URL";
        case 0x20:
            return "Eddystone-TLM";
        case 0x30:
            return "Eddystone-EID";
        case 0x40:
            return "Find Hub tracker (near owner)";
        case 0x41:
            return "Find Hub tracker (separated)";
        default:
            return nullptr;
    }
}

void _identify_ble(const OVK_ADVERT& a, const char* mac_vendor, OVK_IDENTITY& out) {
    OVK_DECIDE d;
    OVK_FACTS& facts = out.facts;

    // 1. service list
    std::vector<int> services = collect_services(a);
    if (!services.empty()) {
        std::string list;
        for (size_t i = 0; i < services.size(); i++) {
            if (i) list += ", ";
            list += ovk_format(16, "0x%04X", services[i]);
            if (const char* name = ovk_vendor_uuid16(services[i])) {
                list += ' ';
                list += name;
            }
            if (list.size() > OVK_FACT_VALUE_MAX) break;
        }
        ovk_facts_add(facts, "Services", "%s", list.c_str());
    }

    // 2. Apple Continuity
    if (const OVK_MFG* m = ovk_advert_mfg(&a, CID_APPLE)) identify_apple(*m, d, facts);

    // 3. Microsoft beacons
    if (const OVK_MFG* m = ovk_advert_mfg(&a, CID_MICROSOFT); m && !m->data.empty()) {
        const char* t = "Microsoft device";
        if (m->data[0] == 0x03) {
            t = "Windows Swift Pair accessory";
        } else if (m->data[0] == 0x01) {
            t = "Windows PC (Connected Devices beacon)";
        }
        _decide(d, t, "Microsoft beacon");
    }

    // 4. DJI model id
    int is_drone = 0;
    if (const char* model = ovk_dji_model(&a, &is_drone)) {
        ovk_facts_add(facts, "DJI model", "%s (%s)", model,
                      is_drone ? "aircraft" : "camera / gimbal, not a drone");
        _decide(d, model, BASIS_DJI);
    }

    // 5. Google Fast Pair
    if (ovk_advert_svc16(&a, 0xFE2C)) {
        ovk_facts_add(facts, "Google Fast Pair", "%s", "Pairing / account-key broadcast");
    }

    // 6. Eddystone and Find Hub frames
    if (const OVK_SVCDATA* s = ovk_advert_svc16(&a, 0xFEAA); s && !s->data.empty()) {
        if (const char* frame = eddystone_frame(s->data[0])) {
            ovk_facts_add(facts, "Google 0xFEAA frame", "%s", frame);
            _decide(d, frame, "Google 0xFEAA frame");
        }
    }

    // 7. advertised appearance
    for (const OVK_AD& ad : ovk_ad_parse(ovk_bytes(a.raw), MAX_AD_STRUCTS)) {
        if (ad.type != AD_APPEARANCE || ad.data.size() < 2) continue;
        int value = static_cast<int>(ovk_u16le(ad.data, 0));
        if (std::optional<std::string> desc = ovk_vendor_appearance(value)) {
            ovk_facts_add(facts, "Appearance", "%s", desc->c_str());
            if ((value >> 6) != 0) _decide(d, *desc, "advertised appearance");
        } else {
            ovk_facts_add(facts, "Appearance", "0x%04X", value);
        }
        break;
    }

    // 8. service class
    for (int s : services) {
        if (const char* kind = id_name(_SERVICE_CLASSES, s)) {
            _decide(d, kind, "advertised service");
            break;
        }
    }

    // 8b. vendor service of an ordinary product
    for (size_t i = 0; i < _UUID128_KINDS.size(); i++) {
        const std::optional<OVK_UUID>& u = _uuid128_kinds()[i];
        if (!u || !lists_uuid128(a, *u)) continue;
        ovk_facts_add(facts, "Vendor service", "%s (%s)", _UUID128_KINDS[i].uuid,
                      _UUID128_KINDS[i].product);
        _decide(d, _UUID128_KINDS[i].kind, "advertised service");
        break;
    }

    // 9. name pattern (the patterns are only run while nothing has decided)
    if (a.name && !d.has_type) {
        if (const char* kind = first_kind(_NAME_TYPES, _re_init().name_types, *a.name)) {
            _decide(d, kind, "name pattern");
        }
    }

    // 10. company ids that name the maker on their own
    if (ovk_advert_mfg(&a, CID_SAMSUNG)) _decide(d, "Samsung device", "company ID");
    if (ovk_advert_mfg(&a, CID_GOOGLE)) _decide(d, "Google device", "company ID");

    // 11. member UUID owner
    for (int s : services) {
        if (s < 0xFC00) continue;
        if (const char* owner = ovk_vendor_uuid16(s)) {
            _decide(d, ovk_format(OVK_IDENTITY_TYPE_MAX, "%s device", owner),
                    "member service UUID owner");
            break;
        }
    }

    // 12. address registrant
    if (mac_vendor && *mac_vendor && !d.has_type) {
        const char* cls = vendor_class(mac_vendor);
        _decide(d,
                cls ? std::string(cls) : ovk_format(OVK_IDENTITY_TYPE_MAX, "%s device", mac_vendor),
                "address registrant (IEEE)");
    }

    // 13. first company id
    if (!a.mfg.empty()) {
        if (const char* company = ovk_vendor_company(a.mfg.front().cid)) {
            _decide(d, ovk_format(OVK_IDENTITY_TYPE_MAX, "%s device", company), "company ID");
        }
    }

    // 14, 15
    if (d.basis) ovk_facts_add(facts, "Identified by", "%s", d.basis);
    out.type = d.has_type ? d.type : std::string("Bluetooth device");
}

// ---------------------------------------------------------------------------------------
// 4. Wi-Fi identification
// ---------------------------------------------------------------------------------------

constexpr const char* KIND_HIDDEN = "Hidden WiFi network";
constexpr const char* KIND_AP = "WiFi access point";

const char* band_label(int f) {
    if (f >= 2400 && f <= 2500) return "2.4 GHz";
    if (f >= 4900 && f <= 5925) return "5 GHz";
    if (f >= 5926 && f <= 7125) return "6 GHz";
    return nullptr;
}

bool is_wifi_vendor_kind(const char* kind) {
    if (!kind) return false;
    for (const char* k : _WIFI_VENDOR_KINDS) {
        if (std::string_view(k) == kind) return true;
    }
    return false;
}

void _identify_wifi(const OVK_ADVERT& a, const char* mac_vendor, OVK_IDENTITY& out) {
    OVK_FACTS& facts = out.facts;

    // 1. band and channel
    int f = a.freq_mhz;
    if (const char* band = band_label(f)) {
        ovk_facts_add(facts, "Band", "%s (%d MHz, channel %d)", band, f, ovk_wifi_channel(f));
    } else {
        std::string label = ovk_format(32, "%d MHz", f);
        ovk_facts_add(facts, "Band", "%s (%d MHz, channel %d)", label.c_str(), f, 0);
    }

    // 2, 3. standard and security
    if (a.standard) ovk_facts_add(facts, "Standard", "%s", a.standard->c_str());
    ovk_facts_add(facts, "Security", "%s", ovk_wifi_security(a.caps.value_or("")));

    // 4. kind from the SSID
    const char* kind = KIND_AP;
    if (!a.name || a.name->empty()) {
        kind = KIND_HIDDEN;
    } else if (fixed_match(RE_PHONE_HOTSPOT, *a.name)) {
        kind = "Phone hotspot";
    } else if (fixed_match(RE_DIRECT_PRINTER, *a.name)) {
        kind = "WiFi Direct / printer";
    } else if (fixed_match(RE_VEHICLE, *a.name)) {
        kind = "Vehicle WiFi";
    }

    // 5. what the beacon's elements say
    OVK_AP_INFO ap = ovk_wififp_parse(a.ies);
    std::string model;
    if (std::optional<std::string> m = ovk_wififp_model(ap); m && !m->empty()) {
        model = ovk_cut(*m, 191);
        ovk_facts_add(facts, "AP model (WPS)", "%s", model.c_str());
    }
    if (!ap.device_name.empty()) {
        ovk_facts_add(facts, "AP device name (WPS)", "%s", ap.device_name.c_str());
    }
    if (ap.device_kind) ovk_facts_add(facts, "Device kind (WPS)", "%s", ap.device_kind);
    std::vector<std::string> makers;
    std::vector<std::string> chipsets;
    for (const char* v : ap.ie_vendors) {
        if (!v) continue;
        std::string shortname = ovk_short_vendor(v, 128);
        if (ovk_wififp_is_chipset(v)) {
            chipsets.push_back(std::move(shortname));
        } else {
            makers.push_back(std::move(shortname));
        }
    }
    if (!makers.empty()) {
        ovk_facts_add(facts, "Equipment maker (vendor IEs)", "%s", join(makers, ", ").c_str());
    }
    if (!chipsets.empty()) {
        ovk_facts_add(facts, "WiFi chipset (vendor IEs)", "%s", join(chipsets, ", ").c_str());
    }

    // 6. a specific kind is the answer
    if (kind != KIND_AP && kind != KIND_HIDDEN) {
        out.type = kind;
        return;
    }

    // 7. a registrant that names a Wi-Fi device class on its own
    bool have_vendor = mac_vendor && *mac_vendor;
    if (have_vendor) {
        const char* cls = vendor_class(mac_vendor);
        if (is_wifi_vendor_kind(cls)) {
            ovk_facts_add(facts, "Identified by", "%s", "address registrant (IEEE)");
            out.type = model.empty() ? ovk_format(OVK_IDENTITY_TYPE_MAX, "%s (WiFi)", cls)
                                     : ovk_format(OVK_IDENTITY_TYPE_MAX, "%s (WiFi) - %s", cls,
                                                  model.c_str());
            return;
        }
    }

    // 8. a descriptor: WPS model, registrant, then the first non-chipset element vendor
    std::string descriptor;
    const char* basis = nullptr;
    if (!model.empty()) {
        descriptor = model;
        basis = "WPS model in the beacon";
    } else if (have_vendor && !fixed_match(RE_CHIPSET_MAKER, mac_vendor)) {
        descriptor = ovk_short_vendor(mac_vendor, 128);
        basis = "BSSID registrant (IEEE)";
    } else if (!makers.empty()) {
        descriptor = makers.front();
        basis = "vendor-specific element in the beacon";
    }
    if (basis) {
        ovk_facts_add(facts, "Identified by", "%s", basis);
        out.type = ovk_format(OVK_IDENTITY_TYPE_MAX, "%s - %s", kind, descriptor.c_str());
    } else {
        out.type = kind;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------

void ovk_intel_identify(const OVK_ADVERT* a, const char* mac_vendor, OVK_IDENTITY* out) {
    if (!out) return;
    out->type.clear();
    out->facts.clear();
    if (!a) return;
    try {
        if (a->source == OVK_SRC_WIFI) {
            _identify_wifi(*a, mac_vendor, *out);
        } else {
            _identify_ble(*a, mac_vendor, *out);
        }
        out->type = ovk_cut(out->type, OVK_IDENTITY_TYPE_MAX);
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "identification failed: %s", e.what());
        out->type = a->source == OVK_SRC_WIFI ? KIND_AP : "Bluetooth device";
    }
}

// ---------------------------------------------------------------------------------------
// 5. Distance, security, channel, vendor shortener, declared-public addresses
// ---------------------------------------------------------------------------------------

double ovk_distance_m(const OVK_ADVERT* a, double rssi) {
    OVK_CHECK(a, 0.0);
    if (a->source == OVK_SRC_WIFI) {
        double f = a->freq_mhz > 0 ? a->freq_mhz : 2437;
        double d = std::pow(10.0, (20.0 - rssi - 20.0 * std::log10(f) + 27.55) / 20.0);
        if (std::isnan(d)) return 500.0;
        return std::clamp(d, 0.5, 500.0);
    }
    double p1m = a->has_tx_power ? a->tx_power - 41.0 : -59.0;
    double d = std::pow(10.0, (p1m - rssi) / 25.0);
    if (std::isnan(d)) return 300.0;
    return std::clamp(d, 0.1, 300.0);
}

std::string ovk_format_distance(double m) {
    if (!(m >= 1.0)) return "< 1 m";  // NaN reads as near too
    if (m > 1e9) m = 1e9;             // keeps the rounding inside the int range
    if (m < 10.0) return ovk_format(32, "~%d m", ovk_round(m));
    return ovk_format(32, "~%d m", ovk_round(m / 5.0) * 5);
}

const char* ovk_wifi_security(std::string_view caps) {
    auto has = [caps](std::string_view s) { return caps.find(s) != std::string_view::npos; };
    if (has("SAE")) return "WPA3";
    if (has("WPA2") || has("RSN")) return "WPA2";
    if (has("WPA")) return "WPA";
    if (has("WEP")) return "WEP (insecure)";
    if (has("OWE")) return "Enhanced Open (OWE)";
    return "Open (no password)";
}

int ovk_wifi_channel(int f) {
    if (f == 2484) return 14;
    if (f >= 2412 && f <= 2472) return (f - 2407) / 5;
    if (f >= 5000 && f <= 5895) return f / 5 - 1000;
    if (f >= 5955 && f <= 7115) return f / 5 - 1190;
    return 0;
}

std::string ovk_short_vendor(std::string_view v, size_t outsz) {
    if (outsz == 0) return {};
    try {
        std::string work(v.substr(0, std::min<size_t>(v.size(), 511)));
        const OVK_REGEX* re = _re_init().fixed[RE_CORP_SUFFIX].get();
        size_t start = 0;
        if (re && ovk_regex_find(re, work, 0, &start, nullptr) == 1 && start < work.size()) {
            work.resize(start);
        }
        work = ovk_trim(work);
        while (!work.empty() && (work.back() == ',' || work.back() == '.')) work.pop_back();
        if (work.empty()) work.assign(v);
        return ovk_cut(work, outsz - 1);
    } catch (const std::exception&) {
        return {};
    }
}

OVK_ADDR_CHECK ovk_addr_check(int t, std::string_view mac) {
    if (t != OVK_ADDR_PUBLIC || !ovk_mac_is_valid(mac)) return OVK_ADDR_OK;
    if (ovk_mac_is_randomized(mac)) return OVK_ADDR_PUBLIC_LOCAL_BIT;
    if (ovk_vendordb_loaded() && !ovk_vendor_mac(mac)) return OVK_ADDR_PUBLIC_UNREGISTERED;
    return OVK_ADDR_OK;
}

const char* ovk_addr_label_checked(int t, std::string_view mac) {
    if (ovk_addr_check(t, mac) != OVK_ADDR_OK) return "Declared public (unregistered block)";
    return ovk_addr_label(t);
}

std::optional<std::string> ovk_addr_warning(int t, std::string_view mac) {
    std::string prefix(mac.substr(0, 8));
    switch (ovk_addr_check(t, mac)) {
        case OVK_ADDR_OK:
            return std::nullopt;
        case OVK_ADDR_PUBLIC_LOCAL_BIT:
            return ovk_format(OVK_EVIDENCE_MAX,
                              "Declared public, but %s is not an IEEE vendor block (the locally "
                              "administered bit is set). The device probably mislabels a random "
                              "address: it may change, so it is not reliably trackable.",
                              prefix.c_str());
        case OVK_ADDR_PUBLIC_UNREGISTERED:
            return ovk_format(OVK_EVIDENCE_MAX,
                              "Declared public, but no IEEE-registered vendor block covers %s. "
                              "The device may mislabel a random address, so it may not stay the "
                              "same.",
                              prefix.c_str());
    }
    return std::nullopt;
}
