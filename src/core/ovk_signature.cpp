// SPDX-License-Identifier: GPL-3.0-or-later
// Surveillance signatures.
//
// Index
//   1. tables (address blocks, short UUIDs, DJI models, vendor 128-bit UUIDs, credits)
//   2. once-compiled name patterns
//   3. helpers (UUID lists, address blocks, hit append)
//   4. BLE catalogue (rows 1..26, Flock family, DJI and drone blocks)
//   5. Wi-Fi catalogue
//   6. public functions
#include "ovk_signature.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_regex.h"
#include "ovk_remoteid.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. tables

constexpr OVK_PREFIX kCameraPrefixes[] = {
    {"A41162", "Arlo"},
    {"FC9C98", "Arlo"},
    {"486264", "Arlo"},
    {"3CA070", "Blink (Amazon)"},
    {"70AD43", "Blink (Amazon)"},
    {"741348", "Blink (Amazon)"},
    {"74AB93", "Blink (Amazon)"},
    {"C819D8", "Blink (Amazon)"},
    {"F074C1", "Blink (Amazon)"},
    {"38F25D", "Ezviz"},
    {"14BA88", "Uniview"},
    {"3446632", "Amcrest"},
    {"A4DA222", "Wyze"},
    {"0C0EC14", "Swann"},
    {"542B57", "Night Owl"},
    {"D0C193", "SkyBell"},
    {"B0B3537", "WUUK"},
    {"083A2F", "Juan (OEM for several camera brands)"},
    {"9CA3A9", "Juan (OEM for several camera brands)"},
    {"84D0DB", "Juan (OEM for several camera brands)"},
    {"A486DB", "Juan (OEM for several camera brands)"},
    {"E0A700", "Verkada"},
    {"CC47BD", "Rhombus"},
    {"6433B54", "Eagle Eye Networks"},
    {"48EA63", "Uniview"},
    {"6CF17E", "Uniview"},
    {"88263F", "Uniview"},
    {"C47905", "Uniview"},
};
static_assert(std::size(kCameraPrefixes) == 28);

constexpr OVK_PREFIX kDronePrefixes[] = {
    {"60601F", "DJI"},
    {"34D262", "DJI"},
    {"481CB9", "DJI"},
    {"E47A2C", "DJI"},
    {"58B858", "DJI"},
    {"04A85A", "DJI"},
    {"8C5823", "DJI"},
    {"0C9AE6", "DJI"},
    {"882985", "DJI"},
    {"4C43F6", "DJI"},
    {"9C5A8A", "DJI Baiwang (DJI subsidiary)"},
    {"EC72F7", "DJI Baiwang (DJI subsidiary)"},
    {"3491F0", "DJI Baiwang (DJI subsidiary)"},
    {"00121C", "Parrot"},
    {"00267E", "Parrot"},
    {"9003B7", "Parrot"},
    {"903AE6", "Parrot"},
    {"A0143D", "Parrot"},
    {"381D14", "Skydio"},
    {"EC5BCDE", "Autel Robotics"},
    {"E0B6F58", "Yuneec"},
    {"EC715E", "Freefly Systems"},
    {"B030C8", "Teal Drones"},
    {"001AF9", "AeroVironment"},
    {"8C1F64B07", "AeroVironment"},
    {"34B5F32", "Inspired Flight"},
    {"AC86D17", "Quantum Systems"},
    {"8C1F640F1", "ideaForge"},
    {"8C1F64A2D", "ACSL"},
    {"74B80F", "Zipline"},
    {"24A10D7", "Cyon Drones"},
    {"B44D43A", "UAV Navigation"},
    {"14DD48", "Shield AI"},
    {"E8B470C", "Anduril Industries"},
};
static_assert(std::size(kDronePrefixes) == 34);

constexpr OVK_SHORT_NAME kAxonUuids[] = {
    {0xFC81, "Axon Enterprise"},
    {0xFE6B, "TASER International"},
    {0xFE6C, "TASER International"},
};

constexpr OVK_SHORT_NAME kRavenShorts[] = {
    {0x3100, "GPS"}, {0x3200, "power"}, {0x3300, "network"}, {0x3400, "upload"}, {0x3500, "error"},
};

constexpr uint16_t kVerkadaUuids[] = {0xFC2C, 0xFD3A, 0xFD3B};

constexpr DJI_MODEL kDjiModels[] = {
    {0x06, "DJI Osmo Action", 0},
    {0x10, "DJI Osmo Action 2", 0},
    {0x12, "DJI Osmo Action 3", 0},
    {0x14, "DJI Osmo Action 4", 0},
    {0x15, "DJI Osmo Action 5 Pro", 0},
    {0x17, "DJI Osmo 360", 0},
    {0x18, "DJI Osmo Action 6", 0},
    {0x19, "DJI Osmo Nano", 0},
    {0x20, "DJI Osmo Pocket 3", 0},
    {0x21, "DJI Osmo Pocket 4", 0},
    {0x22, "DJI Osmo Pocket 4 Pro", 0},
    {0x70, "DJI Mavic 3", 1},
    {0x7E, "DJI Neo 2", 1},
    {0x82, "DJI Osmo Action camera", 0},
};
static_assert(std::size(kDjiModels) == 14);

constexpr UUID128_SIG kUuid128Sigs[] = {
    {"632de001-604c-446b-a80f-7963e950f3fb", OVK_CAT_RECORDER,
     "Limitless AI pendant (records conversations)", 65},
    {"03d5d5c4-a86c-11ee-9d89-8f2089a49e7e", OVK_CAT_RECORDER,
     "Bee AI pendant (records conversations)", 65},
    {"23ba7924-0000-1000-7450-346eac492e92", OVK_CAT_RECORDER, "Omi / OpenGlass AI recorder", 65},
    {"1a3fd0e7-b1f3-ac9e-2e49-b647b2c4f8da", OVK_CAT_RECORDER,
     "Friend AI pendant (records conversations)", 65},
    {"7a230001-5475-a6a4-654c-576174636800", OVK_CAT_GLASSES, "Brilliant Labs Frame camera glasses",
     65},
};
static_assert(std::size(kUuid128Sigs) == 5);

constexpr const char* kHeyCyan = "7905fff0-b5ce-4e99-a40f-4b1e122d00d0";

// Source credits.
#define CAT_CREDIT "Public camera-beacon signature catalogue (Apache-2.0)"
#define MIT_CREDIT "Public surveillance-gear signature list (MIT licence) and its maintainers"
#define SIG_CREDIT "Bluetooth SIG assigned numbers"
constexpr const char* kSrcSig = SIG_CREDIT;
constexpr const char* kSrcSigTaser =
    SIG_CREDIT "; ID spans body cams, holster sensors, TASER handles and batteries";
constexpr const char* kSrcSigRadio =
    SIG_CREDIT "; the same IDs are used by retail, school and venue two-way radios";
constexpr const char* kSrcSigZebra =
    SIG_CREDIT "; Zebra Link-OS BLE app note (default friendly name = serial); field capture";
constexpr const char* kSrcSigArxiv = SIG_CREDIT "; arXiv 2501.17452";
constexpr const char* kSrcAstm = "ASTM F3411 Remote ID (opendroneid-core-c, Apache-2.0)";
constexpr const char* kSrcCat = CAT_CREDIT;
constexpr const char* kSrcCatValidated =
    CAT_CREDIT "; field-validated against visually confirmed cameras";
constexpr const char* kSrcCatCollection = CAT_CREDIT "; from an outside BLE capture collection";
constexpr const char* kSrcCatResearch =
    CAT_CREDIT "; published research by an independent researcher";
constexpr const char* kSrcCatResearchers =
    CAT_CREDIT "; published research by independent researchers";
constexpr const char* kSrcCatField = CAT_CREDIT "; field capture";
constexpr const char* kSrcCatField2606 = CAT_CREDIT "; field capture 2026-06";
constexpr const char* kSrcCatResearcherCapture = CAT_CREDIT "; an independent researcher's capture";
constexpr const char* kSrcSigCat = SIG_CREDIT "; " CAT_CREDIT;
constexpr const char* kSrcSigCatField = SIG_CREDIT "; " CAT_CREDIT "; field capture 2026-07-31";
constexpr const char* kSrcIeeeCat = "IEEE registry; " CAT_CREDIT;
constexpr const char* kSrcGoogleCat = "Google Find Hub Network Accessory Spec; " CAT_CREDIT;
constexpr const char* kSrcCatArxiv = CAT_CREDIT "; arXiv 2501.17452";
constexpr const char* kSrcMit = MIT_CREDIT;
constexpr const char* kSrcMitDji = SIG_CREDIT "; model id decode from " MIT_CREDIT;
constexpr const char* kSrcMitPenguin =
    MIT_CREDIT "; layout found by an independent researcher's scan-response research";

constexpr bool credit_fits(const char* s) {
    return std::char_traits<char>::length(s) <= OVK_SOURCE_MAX;
}
static_assert(credit_fits(kSrcSigTaser) && credit_fits(kSrcSigRadio) && credit_fits(kSrcSigZebra));
static_assert(credit_fits(kSrcCatValidated) && credit_fits(kSrcCatCollection) &&
              credit_fits(kSrcCatResearch) && credit_fits(kSrcCatResearchers) &&
              credit_fits(kSrcCatResearcherCapture) && credit_fits(kSrcCatField2606));
static_assert(credit_fits(kSrcSigCatField) && credit_fits(kSrcGoogleCat) &&
              credit_fits(kSrcMitDji) && credit_fits(kSrcMitPenguin) && credit_fits(kSrcIeeeCat) &&
              credit_fits(kSrcCatArxiv));

// Catalogue rows decided by ids alone: a row matches when any of its tests holds. `row` is
// the row's place in the BLE catalogue; classify_ble runs each stretch of rows where it
// belongs, so ties still rank in catalogue order.
enum ID_KIND : int {
    ID_NONE = 0,
    ID_MFG = 1,       // manufacturer data from this company id (any length)
    ID_SVC_DATA = 2,  // non-empty service data on this 16-bit UUID
    ID_SERVICE = 3,   // this 16-bit UUID in the UUID list or the service data
};
struct ID_TEST {
    ID_KIND kind;
    uint16_t id;
};
struct ID_SIG {
    int row;
    ID_TEST any[3];
    OVK_CATEGORY cat;
    const char* label;
    int confidence;
    const char* source;
    const char* evidence;
};

constexpr ID_SIG kIdSigs[] = {
    {2,
     {{ID_MFG, 0x034D}},
     OVK_CAT_BODY_CAM,
     "Axon / TASER equipment (type unknown)",
     60,
     kSrcSigTaser,
     "Manufacturer data from company ID 0x034D (TASER International)"},
    {5,
     {{ID_MFG, 0x04EC}, {ID_SERVICE, 0xFD8E}, {ID_SERVICE, 0xFE04}},
     OVK_CAT_PUBLIC_SAFETY,
     "Motorola Solutions equipment (radio, camera or accessory)",
     45,
     kSrcSigRadio,
     "Motorola Solutions company ID 0x04EC or service UUID 0xFD8E/0xFE04"},
    {6,
     {{ID_MFG, 0x0475}},
     OVK_CAT_PUBLIC_SAFETY,
     "Icom two-way radio (land-mobile, marine or amateur)",
     30,
     kSrcSig,
     "Manufacturer data from company ID 0x0475 (Icom inc.); mostly amateur and marine radios"},
    {15,
     {{ID_SVC_DATA, 0xFD5A}},
     OVK_CAT_TRACKER,
     "Samsung SmartTag",
     55,
     kSrcSigArxiv,
     "Service data on UUID 0xFD5A (Samsung)"},
    {16,
     {{ID_MFG, 0x08C3}, {ID_SVC_DATA, 0xFE33}, {ID_SVC_DATA, 0xFE65}},
     OVK_CAT_TRACKER,
     "Chipolo tracker",
     55,
     kSrcSig,
     "Company ID 0x08C3 or service data on UUID 0xFE33 / 0xFE65 (CHIPOLO d.o.o.)"},
    {17,
     {{ID_SVC_DATA, 0xFEED}},
     OVK_CAT_TRACKER,
     "Tile tracker",
     55,
     kSrcSig,
     "Service data on UUID 0xFEED (Tile, Inc.)"},
    {19,
     {{ID_MFG, 0x0FB2}},
     OVK_CAT_RECORDER,
     "PLAUD AI voice recorder (Note / NotePin)",
     70,
     kSrcSig,
     "Company ID 0x0FB2 (PLAUD Inc., maker of wearable voice recorders)"},
    {20,
     {{ID_MFG, 0x10F9}},
     OVK_CAT_GLASSES,
     "Even Realities smart glasses (display, microphones)",
     40,
     kSrcSig,
     "Company ID 0x10F9 (Even Realities Ltd.); no camera on current models"},
    {22,
     {{ID_MFG, 0x0D53}},
     OVK_CAT_GLASSES,
     "Ray-Ban Meta smart glasses",
     70,
     kSrcSig,
     "Company ID 0x0D53 (Luxottica)"},
    {23,
     {{ID_MFG, 0x03C2}, {ID_SERVICE, 0xFE45}},
     OVK_CAT_GLASSES,
     "Snap Spectacles camera glasses",
     70,
     kSrcSig,
     "Snapchat company ID 0x03C2 or service UUID 0xFE45"},
    {24,
     {{ID_MFG, 0x060C}},
     OVK_CAT_GLASSES,
     "Vuzix camera AR glasses",
     70,
     kSrcSig,
     "Company ID 0x060C (Vuzix)"},
    // 0xFEB8 alone is what Quest VR headsets send, so it no longer counts by itself.
    {26,
     {{ID_MFG, 0x01AB}, {ID_SERVICE, 0xFEB7}},
     OVK_CAT_GLASSES,
     "Meta hardware - possibly Ray-Ban Meta glasses",
     45,
     kSrcSigCatField,
     "Meta Platforms company ID 0x01AB or UUID 0xFEB7/0xFEB8 (also used by Quest headsets)"},
};

// ---------------------------------------------------------------------------------------
// 2. once-compiled name patterns and parsed UUIDs

enum { RE_PENGUIN = 0, RE_FS_HEX = 1, RE_ZEBRA_SERIAL = 2, RE_COUNT = 3 };
constexpr const char* kPatterns[RE_COUNT] = {
    "^Penguin-\\d+$",
    "^FS-[0-9A-Fa-f]+$",
    "^[A-Z0-9]{2}[A-Z]{3}\\d{9}$",
};

struct Compiled {
    OVK_REGEX_PTR re[RE_COUNT];
    std::optional<OVK_UUID> uuid128[std::size(kUuid128Sigs)];
    std::optional<OVK_UUID> heycyan;
    std::optional<OVK_UUID> flower_power;
};

const Compiled& compiled() {
    static const Compiled c = [] {
        Compiled x;
        for (int i = 0; i < RE_COUNT; ++i) x.re[i] = ovk_regex_compile(kPatterns[i], 0);
        for (size_t i = 0; i < std::size(kUuid128Sigs); ++i)
            x.uuid128[i] = ovk_uuid_parse(kUuid128Sigs[i].uuid);
        x.heycyan = ovk_uuid_parse(kHeyCyan);
        x.flower_power = ovk_uuid_parse(OVK_UUID_FLOWER_POWER);
        return x;
    }();
    return c;
}

// A pattern that failed to compile never matches.
bool name_full(int which, std::string_view name) {
    const OVK_REGEX* re = compiled().re[which].get();
    return re && ovk_regex_full(re, name) == 1;
}

// ---------------------------------------------------------------------------------------
// 3. helpers

// The 16-bit UUIDs of the UUID list (at most 64), then those of the service data (at most
// 128 in all).
struct Shorts {
    std::array<uint16_t, 128> v{};
    size_t listed = 0;
    size_t all = 0;

    explicit Shorts(const OVK_ADVERT& a) {
        for (const OVK_UUID& u : a.uuids) {
            if (listed >= 64) break;
            const int s = ovk_uuid_short(u);
            if (s >= 0) v[listed++] = static_cast<uint16_t>(s);
        }
        all = listed;
        for (const OVK_SVCDATA& sd : a.svc) {
            if (all >= v.size()) break;
            const int s = ovk_uuid_short(sd.uuid);
            if (s >= 0) v[all++] = static_cast<uint16_t>(s);
        }
    }
    bool has_listed(uint16_t id) const { return find(id, listed); }
    bool has(uint16_t id) const { return find(id, all); }

  private:
    bool find(uint16_t id, size_t n) const {
        for (size_t i = 0; i < n; ++i)
            if (v[i] == id) return true;
        return false;
    }
};

ovk_bytes bytes_of(const std::vector<uint8_t>& v) {
    return ovk_bytes(v.data(), v.size());
}

bool has_mfg(const OVK_ADVERT& a, uint16_t cid) {
    return ovk_advert_mfg(&a, cid) != nullptr;
}

// svc(x) with at least one data byte.
const OVK_SVCDATA* svc_nonempty(const OVK_ADVERT& a, uint16_t id) {
    const OVK_SVCDATA* sd = ovk_advert_svc16(&a, id);
    return sd && !sd->data.empty() ? sd : nullptr;
}

// `u`, in either byte order, equals a UUID-list entry or a service-data UUID.
bool has_uuid128(const OVK_ADVERT& a, const OVK_UUID& u) {
    const OVK_UUID r = ovk_uuid_reversed(u);
    for (const OVK_UUID& x : a.uuids)
        if (x == u || x == r) return true;
    for (const OVK_SVCDATA& sd : a.svc)
        if (sd.uuid == u || sd.uuid == r) return true;
    return false;
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
int hex_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// Random BLE addresses are not taken from IEEE blocks, whatever their leading digits.
bool is_random_ble(const OVK_ADVERT& a) {
    if (a.source != OVK_SRC_BLE) return false;
    switch (a.addr_type) {
        case OVK_ADDR_RANDOM_STATIC:
        case OVK_ADDR_RESOLVABLE_PRIVATE:
        case OVK_ADDR_NON_RESOLVABLE:
            return true;
        case OVK_ADDR_PUBLIC:
        case OVK_ADDR_WIFI_GLOBAL:
        case OVK_ADDR_WIFI_LOCAL:
        case OVK_ADDR_UNKNOWN:
            return false;
    }
    return false;
}

// The longest block of `table` (9, 7, then 6 digits; first row in table order at each length)
// that the address belongs to. Locally administered addresses belong to none.
const OVK_PREFIX* prefix_match(const OVK_ADVERT& a, std::span<const OVK_PREFIX> table) {
    char hex[32];
    size_t n = 0;
    for (char c : a.mac) {
        if (n >= 31) break;
        if (c == ':') continue;
        hex[n++] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    if (n >= 2 && is_hex(hex[0]) && is_hex(hex[1]) &&
        ((hex_val(hex[0]) * 16 + hex_val(hex[1])) & 0x02))
        return nullptr;
    if (is_random_ble(a)) return nullptr;
    for (size_t len : {size_t{9}, size_t{7}, size_t{6}}) {
        if (n < len) continue;
        const std::string_view lead(hex, len);
        for (const OVK_PREFIX& row : table)
            if (std::strlen(row.hex) == len && lead == row.hex) return &row;
    }
    return nullptr;
}

// "AA:BB:CC", "AA:BB:CC:D", "AA:BB:CC:DD:E".
std::string fmt_prefix(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0) out += ':';
        out += hex[i];
    }
    return out;
}

void push(OVK_HITS& out, const OVK_HIT& hit) {
    try {
        if (ovk_hits_push(out, hit) != 0)
            zq_log(LOG_ERR, "out of memory adding hit %s", hit.label.c_str());
    } catch (const std::bad_alloc&) {
        zq_log(LOG_ERR, "out of memory adding hit %s", hit.label.c_str());
    }
}

// `rid_seen`: the same advert carries Remote ID, so the evidence does not claim otherwise.
std::optional<OVK_HIT> drone_by_prefix(const OVK_ADVERT& a, bool rid_seen) {
    const OVK_PREFIX* row = prefix_match(a, kDronePrefixes);
    if (!row) return std::nullopt;
    const std::string label =
        ovk_format(OVK_LABEL_MAX, "%s equipment (drone or controller)", row->vendor);
    return ovk_hit_make(OVK_CAT_DRONE, label, 60, kSrcIeeeCat,
                        "Address in %s's registered block %s%s", row->vendor,
                        fmt_prefix(row->hex).c_str(), rid_seen ? "" : "; no Remote ID decoded");
}

bool id_test(const OVK_ADVERT& a, const Shorts& sh, const ID_TEST& t) {
    switch (t.kind) {
        case ID_NONE:
            return false;
        case ID_MFG:
            return has_mfg(a, t.id);
        case ID_SVC_DATA:
            return svc_nonempty(a, t.id) != nullptr;
        case ID_SERVICE:
            return sh.has(t.id);
    }
    return false;
}

// The id rows whose catalogue place is from `first` to `last`, in table order.
void id_sigs(const OVK_ADVERT& a, const Shorts& sh, int first, int last, OVK_HITS& out) {
    for (const ID_SIG& r : kIdSigs) {
        if (r.row < first || r.row > last) continue;
        if (std::none_of(std::begin(r.any), std::end(r.any),
                         [&](const ID_TEST& t) { return id_test(a, sh, t); }))
            continue;
        push(out, ovk_hit_make(r.cat, r.label, r.confidence, r.source, "%s", r.evidence));
    }
}

// ---------------------------------------------------------------------------------------
// 4. BLE catalogue

bool payload_has_bwc(const OVK_ADVERT& a) {
    constexpr std::string_view tag = "BWCDEVICE";
    if (ovk_contains_ascii(bytes_of(a.raw), tag)) return true;
    for (const OVK_SVCDATA& sd : a.svc)
        if (ovk_contains_ascii(bytes_of(sd.data), tag)) return true;
    for (const OVK_MFG& m : a.mfg)
        if (ovk_contains_ascii(bytes_of(m.data), tag)) return true;
    return false;
}

// Row 8: the first Flock signature that applies.
std::optional<OVK_HIT> flock_family(const OVK_ADVERT& a, std::string_view name) {
    const OVK_MFG* xt = ovk_advert_mfg(&a, 0x09C8);
    const bool xuntong = xt != nullptr;
    if (ovk_icontains(name, "FS Ext Battery"))
        return ovk_hit_make(OVK_CAT_ALPR, "Flock Safety camera battery", 80, kSrcCatResearch,
                            "Advertised name \"FS Ext Battery\"");
    if (name_full(RE_PENGUIN, name))
        return ovk_hit_make(OVK_CAT_ALPR, "Flock Safety device", xuntong ? 80 : 70, kSrcCatResearch,
                            "Name pattern \"Penguin-<digits>\"%s",
                            xuntong ? " plus XUNTONG module ID 0x09C8" : "");
    if (name_full(RE_FS_HEX, name))
        return ovk_hit_make(
            OVK_CAT_ALPR, "Flock Safety device", xuntong ? 80 : 70, kSrcCatField2606,
            "Name pattern \"FS-<hex>\"%s",
            xuntong ? " plus XUNTONG module ID 0x09C8" : " (generic white-label prefix - verify)");
    if (ovk_istarts_with(name, "Flock"))
        return ovk_hit_make(OVK_CAT_ALPR, "Possible Flock Safety device", 55, kSrcCat,
                            "Advertised name starts with \"Flock\" (brand string - verify)");
    if (xuntong && xt->data.size() >= 12 && xt->data[10] == 'T' && xt->data[11] == 'N')
        return ovk_hit_make(
            OVK_CAT_ALPR, "Flock Safety device (Penguin battery)", 75, kSrcMitPenguin,
            "XUNTONG manufacturer data (0x09C8) carries a Flock \"TN...\" serial at "
            "offset 10 - the Penguin battery layout");
    if (xuntong)
        return ovk_hit_make(OVK_CAT_ALPR, "XUNTONG Bluetooth module (used in Flock hardware)", 45,
                            kSrcSigCat,
                            "Company ID 0x09C8 - shared silicon, also in other products");
    return std::nullopt;
}

// Parrot also sells plant sensors from its address blocks; one that names itself so, or lists
// the Flower Power service, is not drone gear.
bool parrot_plant_sensor(const OVK_ADVERT& a, std::string_view name) {
    const std::optional<OVK_UUID>& fp = compiled().flower_power;
    if (!ovk_icontains(name, "Flower power") && !ovk_icontains(name, "Parrot pot") &&
        !(fp && has_uuid128(a, *fp)))
        return false;
    const OVK_PREFIX* row = prefix_match(a, kDronePrefixes);
    return row && std::string_view(row->vendor) == "Parrot";
}

// Row 11: DJI models and drone address blocks.
void dji_and_blocks(const OVK_ADVERT& a, std::string_view name, bool rid_seen, OVK_HITS& out) {
    int is_drone = 0;
    const char* model = ovk_dji_model(&a, &is_drone);
    const std::optional<OVK_HIT> block =
        parrot_plant_sensor(a, name) ? std::nullopt : drone_by_prefix(a, rid_seen);
    if (!model) {
        if (block)
            push(out, *block);
        else if (has_mfg(a, 0x08AA))
            push(out,
                 ovk_hit_make(OVK_CAT_DRONE,
                              "DJI device (drone, remote controller or camera gimbal)", 50, kSrcSig,
                              "Manufacturer data from company ID 0x08AA (SZ DJI Technology); DJI "
                              "also makes handheld gimbals and action cameras"));
        return;
    }
    if (!is_drone) {  // an action camera or gimbal: only a non-DJI block says "drone"
        if (block && block->label.rfind("DJI", 0) != 0) push(out, *block);
        return;
    }
    if (block)
        push(out, *block);
    else
        push(out,
             ovk_hit_make(OVK_CAT_DRONE, model, 65, kSrcMitDji,
                          "Company ID 0x08AA (SZ DJI Technology) with the %s model id", model));
}

void classify_ble(const OVK_ADVERT& a, OVK_HITS& out) {
    const std::string name = a.name ? ovk_trim(*a.name, 256) : std::string();
    const Shorts sh(a);

    // 1
    if (payload_has_bwc(a))
        push(out, ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, kSrcCatValidated,
                               "Advert payload carries Axon's \"BWCDEVICE\" tag (works even with a "
                               "randomized address)"));
    // 2
    id_sigs(a, sh, 2, 2, out);
    // 3
    for (const OVK_SHORT_NAME& row : kAxonUuids) {
        if (!sh.has(row.id)) continue;
        push(out, ovk_hit_make(OVK_CAT_BODY_CAM, "Axon / TASER equipment (type unknown)", 60,
                               kSrcSig, "Service UUID 0x%04X (%s)", row.id, row.name));
        break;
    }
    // 4
    if (ovk_icontains(name, "BodyWorn Remote"))
        push(out, ovk_hit_make(OVK_CAT_BODY_CAM, "Utility BodyWorn camera remote", 80,
                               kSrcCatCollection, "Advertised name contains \"BodyWorn Remote\""));
    // 5, 6
    id_sigs(a, sh, 5, 6, out);
    // 7, 7b
    {
        const int zebra = sh.has(0xFE79) ? 0xFE79 : sh.has(0xFD66) ? 0xFD66 : 0;
        if (zebra && name_full(RE_ZEBRA_SERIAL, name))
            push(out,
                 ovk_hit_make(
                     OVK_CAT_PUBLIC_SAFETY,
                     "Zebra mobile printer (e-ticket printer in patrol cars)", 50, kSrcSigZebra,
                     "Service UUID 0x%04X (Zebra) and a factory serial-number name \"%s\" - an "
                     "unrenamed fleet printer. Also used by parking officers, couriers and "
                     "field technicians",
                     zebra, name.c_str()));
        else if (zebra)
            push(out, ovk_hit_make(
                          OVK_CAT_PUBLIC_SAFETY, "Zebra printer", 30, kSrcSig,
                          "Service UUID 0x%04X (Zebra Technologies) - common in warehouses, stores "
                          "and deliveries",
                          zebra));
    }
    // 8
    if (const std::optional<OVK_HIT> flock = flock_family(a, name)) push(out, *flock);
    // 9
    {
        std::string list;
        for (const OVK_SHORT_NAME& row : kRavenShorts)
            if (sh.has_listed(row.id))
                ovk_appendf(list, OVK_EVIDENCE_MAX + 1, "%s0x%04X (%s)", list.empty() ? "" : ", ",
                            row.id, row.name);
        if (!list.empty())
            push(out, ovk_hit_make(OVK_CAT_AUDIO_SENSOR, "Flock Raven audio / gunshot sensor", 80,
                                   kSrcCatField, "Raven service UUIDs: %s", list.c_str()));
    }
    // 10
    const OVK_SVCDATA* rid = ovk_advert_svc16(&a, 0xFFFA);
    const bool rid_seen = rid && ovk_rid_is_ble(bytes_of(rid->data));
    if (rid_seen)
        push(out, ovk_hit_make(OVK_CAT_DRONE, "Drone broadcasting Remote ID", 95, kSrcAstm,
                               "ASTM F3411 Remote ID message on service UUID 0xFFFA"));
    // 11
    dji_and_blocks(a, name, rid_seen, out);
    // 12
    for (uint16_t id : kVerkadaUuids) {
        if (!sh.has(id)) continue;
        push(out, ovk_hit_make(OVK_CAT_NETWORK_CAMERA,
                               "Verkada security camera or access-control device", 70, kSrcSig,
                               "Service UUID 0x%04X (Verkada Inc.)", id));
        break;
    }
    // 13
    if (const OVK_MFG* apple = ovk_advert_mfg(&a, 0x004C);
        apple && apple->data.size() >= 2 && apple->data[0] == 0x12 && apple->data[1] == 0x19)
        push(
            out,
            ovk_hit_make(
                OVK_CAT_TRACKER, "Apple Find My tracker away from its owner (AirTag or compatible)",
                70, kSrcCatArxiv,
                "Apple Find My offline-finding frame (type 0x12, length 0x19 = separated state)"));
    // 14
    if (const OVK_SVCDATA* fh = svc_nonempty(a, 0xFEAA); fh && fh->data[0] == 0x41)
        push(out, ovk_hit_make(OVK_CAT_TRACKER, "Google Find Hub tracker away from its owner", 70,
                               kSrcGoogleCat,
                               "Find Hub Network frame 0x41 (separated state) on UUID 0xFEAA"));
    // 15..17
    id_sigs(a, sh, 15, 17, out);
    // 18
    const Compiled& cc = compiled();
    for (size_t i = 0; i < std::size(kUuid128Sigs); ++i) {
        const UUID128_SIG& row = kUuid128Sigs[i];
        if (cc.uuid128[i] && has_uuid128(a, *cc.uuid128[i]))
            push(out, ovk_hit_make(row.cat, row.label, row.confidence, kSrcMit,
                                   "Vendor service UUID %s (full 128-bit match)", row.uuid));
    }
    // 19, 20
    id_sigs(a, sh, 19, 20, out);
    // 21
    if (cc.heycyan && has_uuid128(a, *cc.heycyan))
        push(out, ovk_hit_make(OVK_CAT_GLASSES, "Camera smart glasses (HeyCyan SDK)", 68,
                               kSrcCatResearcherCapture,
                               "HeyCyan glasses SDK service UUID (full 128-bit match)"));
    // 22..24
    id_sigs(a, sh, 22, 24, out);
    // 25
    if (const OVK_MFG* meta = ovk_advert_mfg(&a, 0x058E);
        meta && ovk_contains_ascii(bytes_of(meta->data), "META_RB_GLASS"))
        push(out, ovk_hit_make(OVK_CAT_GLASSES, "Ray-Ban / Oakley Meta smart glasses", 72, kSrcCat,
                               "Meta manufacturer data carries the META_RB_GLASS token"));
    // 26
    id_sigs(a, sh, 26, 26, out);
}

// ---------------------------------------------------------------------------------------
// 5. Wi-Fi catalogue

void classify_wifi(const OVK_ADVERT& a, OVK_HITS& out) {
    const std::string ssid = a.name ? ovk_trim(*a.name, 256) : std::string();
    // W1
    if (ovk_istarts_with(ssid, "Flock-"))
        push(out, ovk_hit_make(OVK_CAT_ALPR, "Flock Safety camera", 88, kSrcCatResearchers,
                               "WiFi network \"%s\" (Flock- prefix: the vendor names its own AP)",
                               ssid.c_str()));
    // W2
    if (ssid.rfind("ARLO_VMB_", 0) == 0 || ssid.rfind("NTGR_VMB_", 0) == 0)
        push(out, ovk_hit_make(OVK_CAT_NETWORK_CAMERA, "Arlo camera base station", 88, kSrcCatField,
                               "WiFi network \"%s\" (Arlo base-station SSID)", ssid.c_str()));
    // W3
    bool rid_seen = false;
    for (const OVK_IE& ie : a.ies) {
        if (ie.id != 221 || !ovk_rid_is_wifi_ie(bytes_of(ie.data))) continue;
        push(out, ovk_hit_make(
                      OVK_CAT_DRONE, "Drone broadcasting Remote ID (WiFi)", 95, kSrcAstm,
                      "ASTM F3411 vendor information element (OUI FA:0B:BC) in the WiFi beacon"));
        rid_seen = true;
        break;
    }
    // W4
    if (const OVK_PREFIX* cam = prefix_match(a, kCameraPrefixes)) {
        const std::string label =
            ovk_format(OVK_LABEL_MAX, "%s camera, hub or recorder", cam->vendor);
        push(out, ovk_hit_make(OVK_CAT_NETWORK_CAMERA, label, 65, kSrcIeeeCat,
                               "WiFi address in %s's registered block %s", cam->vendor,
                               fmt_prefix(cam->hex).c_str()));
    }
    // W5
    if (const std::optional<OVK_HIT> block = drone_by_prefix(a, rid_seen)) push(out, *block);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 6. public functions

void ovk_signature_classify(const OVK_ADVERT* a, OVK_HITS& out) {
    ovk_hits_clear(out);
    if (!a) return;
    try {
        switch (a->source) {
            case OVK_SRC_BLE:
                classify_ble(*a, out);
                break;
            case OVK_SRC_WIFI:
                classify_wifi(*a, out);
                break;
        }
    } catch (const std::exception& e) {  // a failed text allocation: keep what was found
        zq_log(LOG_ERR, "signature classification stopped: %s", e.what());
    }
    ovk_hits_sort(out);
}

OVK_HITS ovk_signature_classify(const OVK_ADVERT* a) {
    OVK_HITS out;
    ovk_signature_classify(a, out);
    return out;
}

const char* ovk_dji_model(const OVK_ADVERT* a, int* is_drone) {
    const OVK_MFG* m = ovk_advert_mfg(a, 0x08AA);
    if (!m || m->data.size() < 2) return nullptr;
    const unsigned id = ovk_u16le(bytes_of(m->data), 0);
    for (const DJI_MODEL& row : kDjiModels) {
        if (row.id != id) continue;
        if (is_drone) *is_drone = row.drone;
        return row.name;
    }
    return nullptr;
}

std::span<const OVK_PREFIX> ovk_signature_camera_prefixes() {
    return kCameraPrefixes;
}
std::span<const OVK_PREFIX> ovk_signature_drone_prefixes() {
    return kDronePrefixes;
}
std::span<const DJI_MODEL> ovk_signature_dji_models() {
    return kDjiModels;
}
std::span<const UUID128_SIG> ovk_signature_uuid128_sigs() {
    return kUuid128Sigs;
}
