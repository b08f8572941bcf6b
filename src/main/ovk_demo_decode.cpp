// SPDX-License-Identifier: GPL-3.0-or-later
// orvik-decode-demo: decodes a handful of built-in BLE payloads and Wi-Fi element sets with
// the advertisement decoders and prints what each one carries. It needs no radio and always
// exits 0.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_fingerprint.h"
#include "ovk_remoteid.h"
#include "ovk_vendordb.h"
#include "ovk_wififp.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BleSample {
    const char* what;
    const char* mac;
    OVK_ADDR_TYPE addr_type;  // what the controller reported
    bool random;              // kind derived from the address bits
    int rssi;
    Bytes payload;
};

struct WifiSample {
    const char* what;
    const char* bssid;
    std::optional<std::string> ssid;
    int rssi;
    int freq_mhz;
    Bytes ies;
};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One element or AD structure: id/type, then body, with the length byte each layout wants.
Bytes ad(uint8_t type, const Bytes& body) {
    Bytes b = {static_cast<uint8_t>(body.size() + 1), type};
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
Bytes ie(uint8_t id, const Bytes& body) {
    Bytes b = {id, static_cast<uint8_t>(body.size())};
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
Bytes text(const char* s) {
    return Bytes(s, s + std::char_traits<char>::length(s));
}

Bytes rsn(std::initializer_list<uint8_t> akms) {
    Bytes b = {0x01,
               0x00,
               0x00,
               0x0F,
               0xAC,
               0x04,
               0x01,
               0x00,
               0x00,
               0x0F,
               0xAC,
               0x04,
               static_cast<uint8_t>(akms.size()),
               0x00};
    for (uint8_t t : akms) b.insert(b.end(), {0x00, 0x0F, 0xAC, t});
    b.insert(b.end(), {0x8C, 0x00});  // RSN capabilities
    return ie(0x30, b);
}

// A Remote ID Location message: airborne, 59.329300 N 18.068600 E, 40 m up, 10 m/s, 270 deg.
Bytes rid_location() {
    Bytes m(25, 0);
    m[0] = 0x12;
    m[1] = 0x22;  // airborne, direction + 180
    m[2] = 90;
    m[3] = 40;
    m[4] = 2;
    const uint32_t lat = 593293000u, lon = 180686000u;
    for (int k = 0; k < 4; ++k) {
        m[5 + k] = static_cast<uint8_t>(lat >> (8 * k));
        m[9 + k] = static_cast<uint8_t>(lon >> (8 * k));
    }
    m[15] = 0x34;  // geodetic altitude 2100 -> 50 m
    m[16] = 0x08;
    m[17] = 0x20;  // height 2080 -> 40 m
    m[18] = 0x08;
    return m;
}

std::vector<BleSample> ble_samples() {
    std::vector<BleSample> s;
    // Item tracker in separated mode: offline-finding manufacturer data (public key bytes).
    s.push_back({"item tracker (offline finding)", "d4:1a:6e:52:9c:03", OVK_ADDR_RANDOM_STATIC,
                 true, -67, ad(0xFF, {0x4C, 0x00, 0x12, 0x19, 0x10, 0x2B, 0x84, 0x1F, 0x6E, 0x02,
                                      0xA9, 0x55, 0xC3, 0x0E, 0x71, 0x9D, 0x48, 0x27, 0xB6, 0x5A,
                                      0xE1, 0x33, 0x0C, 0x92, 0x7F, 0x64, 0xD8, 0x01, 0x00})});
    // Exposure-notification style rolling identifier on the 0xFD6F service.
    s.push_back(
        {"rolling-identifier beacon", "1e:21:9a:0b:44:c7", OVK_ADDR_NON_RESOLVABLE, true, -80,
         concat({ad(0x01, {0x1A}), ad(0x03, {0x6F, 0xFD}),
                 ad(0x16, {0x6F, 0xFD, 0x9A, 0x3C, 0x51, 0x07, 0xE2, 0x44, 0x18, 0xB0, 0x6D,
                           0xF3, 0x29, 0x8E, 0x05, 0xC1, 0x7A, 0x62, 0x40, 0x08, 0x00, 0x00})})});
    // Fitness band: name, heart-rate and battery services, TX power, appearance.
    s.push_back({"fitness band", "00:05:4f:12:7d:4e", OVK_ADDR_PUBLIC, false, -58,
                 concat({ad(0x01, {0x06}), ad(0x03, {0x0D, 0x18, 0x0F, 0x18}),
                         ad(0x19, {0xC1, 0x03}), ad(0x0A, {0xF4}), ad(0x09, text("Band 7"))})});
    // Proximity beacon: manufacturer data with a 128-bit proximity UUID, major, minor.
    s.push_back(
        {"proximity beacon", "c8:3f:26:a1:09:5b", OVK_ADDR_RANDOM_STATIC, true, -71,
         concat({ad(0x01, {0x06}), ad(0xFF, {0x4C, 0x00, 0x02, 0x15, 0xF7, 0x82, 0x6D, 0xA6, 0x4F,
                                             0xA2, 0x4E, 0x98, 0x80, 0x24, 0xBC, 0x5B, 0x71, 0xE0,
                                             0x89, 0x3E, 0x00, 0x01, 0x00, 0x2A, 0xC5})})});
    // URL beacon on the 0xFEAA service.
    s.push_back(
        {"URL beacon", "e2:4b:7c:90:11:3a", OVK_ADDR_RANDOM_STATIC, true, -84,
         concat({ad(0x01, {0x06}), ad(0x03, {0xAA, 0xFE}),
                 ad(0x16, {0xAA, 0xFE, 0x10, 0xEB, 0x03, 'o', 'r', 'v', 'i', 'k', 0x07})})});
    // Serial-over-BLE module: 128-bit service UUID, short name, TX power.
    s.push_back({"serial module", "40:d6:3c:88:02:f1", OVK_ADDR_RESOLVABLE_PRIVATE, true, -62,
                 concat({ad(0x01, {0x06}),
                         ad(0x07, {0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5, 0xA9, 0xE0, 0x93, 0xF3, 0xA3,
                                   0xB5, 0x01, 0x00, 0x40, 0x6E}),
                         ad(0x08, text("UART-01")), ad(0x0A, {0x04})})});
    // Drone broadcasting Remote ID: service data 0xFFFA, application code 0x0D, counter,
    // a basic-ID message with a serial number.
    s.push_back({"drone Remote ID", "62:10:8f:3b:c2:aa", OVK_ADDR_NON_RESOLVABLE, true, -75,
                 concat({ad(0x01, {0x06}), ad(0x16, concat({{0xFA, 0xFF, 0x0D, 0x2A, 0x02, 0x12},
                                                            text("1581F5FKD229400B"),
                                                            Bytes(8, 0x00)}))})});
    // The same drone's next broadcast: a Location message.
    s.push_back(
        {"drone Remote ID, location", "62:10:8f:3b:c2:aa", OVK_ADDR_NON_RESOLVABLE, true, -75,
         concat({ad(0x01, {0x06}), ad(0x16, concat({{0xFA, 0xFF, 0x0D, 0x2B}, rid_location()}))})});
    // A hostile payload: the last structure claims more bytes than remain.
    s.push_back({"truncated payload", "00:1b:44:11:3a:b7", OVK_ADDR_PUBLIC, false, -90,
                 concat({ad(0x09, text("ok")), {0x1F, 0xFF, 0x59, 0x00, 0x01}})});
    return s;
}

// A WPS vendor element: manufacturer, model name, model number, device name, device type.
Bytes wps_element() {
    Bytes a;
    auto attr = [&](unsigned type, const Bytes& v) {
        a.insert(a.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0,
                           static_cast<uint8_t>(v.size())});
        a.insert(a.end(), v.begin(), v.end());
    };
    attr(0x1021, text("ASUSTeK Computer Inc."));
    attr(0x1023, text("RT-AX58U"));
    attr(0x1024, text("3.0.0.4"));
    attr(0x1011, text("RT-AX58U"));
    attr(0x1054, {0x00, 0x06, 0x00, 0x50, 0xF2, 0x04, 0x00, 0x01});
    return ie(0xDD, concat({{0x00, 0x50, 0xF2, 0x04}, a}));
}

std::vector<WifiSample> wifi_samples() {
    const Bytes rates = ie(0x01, {0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12, 0x18, 0x24});
    const Bytes ht = ie(45, Bytes(26, 0x00));
    const Bytes vht = ie(191, Bytes(12, 0x00));
    const Bytes he = ie(0xFF, concat({{35}, Bytes(20, 0x00)}));
    const Bytes eht = ie(0xFF, concat({{108}, Bytes(12, 0x00)}));
    const Bytes wpa = ie(0xDD, {0x00, 0x50, 0xF2, 0x01, 0x01, 0x00, 0x00, 0x50, 0xF2, 0x02});
    std::vector<WifiSample> s;
    s.push_back({"home router, WPA2/WPA3 transition", "a0:36:bc:5e:11:20", "Lindqvist-5G", -48,
                 5220,
                 concat({ie(0x00, text("Lindqvist-5G")), rates, rsn({2, 8}), ht, vht, he,
                         wps_element(), ie(0xDD, {0x00, 0x10, 0x18, 0x02, 0x00})})});
    s.push_back({"cafe hotspot, open", "00:1d:7e:4a:90:c3", "CafeNorr Guest", -71, 2437,
                 concat({ie(0x00, text("CafeNorr Guest")), rates, ht})});
    s.push_back({"office network, enterprise", "3c:84:6a:f2:0d:91", "\"corp-secure\"", -63, 5500,
                 concat({ie(0x00, text("corp-secure")), rates, rsn({1, 5}), ht, vht})});
    s.push_back({"access point, enhanced open", "7a:45:58:c0:33:0e", "Library", -77, 6115,
                 concat({ie(0x00, text("Library")), rsn({18}), he, eht})});
    s.push_back({"old camera hotspot, WPA only", "c4:2f:90:8d:51:6a", "IPC-7F3A21", -69, 2462,
                 concat({ie(0x00, text("IPC-7F3A21")), rates, wpa})});
    // Remote ID beacon: a message pack with Basic ID, Location and Operator ID.
    {
        Bytes basic(25, 0);
        basic[0] = 0x02;
        basic[1] = 0x12;
        const Bytes id = text("F3411DEMO0001");
        std::copy(id.begin(), id.end(), basic.begin() + 2);
        Bytes op(25, 0);
        op[0] = 0x52;
        const Bytes oid = text("SWE-OP-0042");
        std::copy(oid.begin(), oid.end(), op.begin() + 2);
        const Bytes body =
            concat({{0xFA, 0x0B, 0xBC, 0x0D, 0x05, 0xF2, 25, 3}, basic, rid_location(), op});
        s.push_back({"drone Remote ID beacon", "60:60:1f:70:2a:11", std::nullopt, -73, 2437,
                     concat({ie(0x00, Bytes(0)), rates, ie(0xDD, body)})});
    }
    s.push_back({"hidden network", "02:5b:12:aa:40:7c", "<unknown ssid>", -82, 2412,
                 concat({ie(0x00, Bytes(0)), rates, rsn({2})})});
    return s;
}

// Vendor names when the tables can be found: the asset directory ($OVK_ASSETS or ./assets),
// else the one next to the build directory of this program.
bool load_vendor_tables() {
    if (ovk_vendordb_load() == 0) return true;
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return false;
    for (const auto& dir : {exe.parent_path().parent_path() / "assets",
                            exe.parent_path().parent_path() / "share" / "orvik" / "assets"}) {
        const int r = ovk_vendordb_load([dir](std::string_view name) -> std::optional<std::string> {
            std::ifstream f(dir / std::string(name), std::ios::binary);
            if (!f) return std::nullopt;
            std::ostringstream ss;
            ss << f.rdbuf();
            return ss.str();
        });
        if (r == 0) return true;
    }
    return false;
}

void print_remote_id(const OVK_ADVERT& a) {
    OVK_REMOTE_ID r;
    if (!ovk_rid_decode_advert(&a, r)) return;
    printf("     remote id   %s%s%s\n", r.uas_id.empty() ? "(no ID yet)" : r.uas_id.c_str(),
           r.id_type ? ", " : "", r.id_type ? r.id_type : "");
    if (r.ua_type) printf("                 aircraft: %s\n", r.ua_type);
    if (r.status) printf("                 status: %s\n", r.status);
    if (r.has_pos) printf("                 position %.6f, %.6f\n", r.lat, r.lon);
    if (r.has_height) printf("                 height %.1f m\n", r.height_m);
    if (r.has_speed) printf("                 speed %.2f m/s\n", r.speed_ms);
    if (r.has_direction) printf("                 track %d degrees\n", r.direction_deg);
    if (r.has_op_pos) printf("                 pilot at %.6f, %.6f\n", r.op_lat, r.op_lon);
    if (!r.operator_id.empty()) printf("                 operator %s\n", r.operator_id.c_str());
    OVK_HIT h;
    // as seen by someone standing 80 m south of the drone
    if (r.has_pos && ovk_drone_overhead_hit(r, h, r.lat - 80.0 / 111195.0, r.lon))
        printf("     verdict     %s (%d, %s): %s\n", h.label.c_str(), h.confidence,
               ovk_tier_label(ovk_tier_of(h.confidence)), h.evidence.c_str());
}

void print_ble(const BleSample& s) {
    const OVK_ADDR_TYPE kind = s.random ? ovk_addr_of_random(s.mac) : s.addr_type;
    OVK_ADVERT_PTR a =
        ovk_advert_new_ble(s.mac, s.rssi, s.payload, kind, 1, "LE 1M (legacy)", "", 0);
    printf("BLE  %s  (%s)\n", s.mac, s.what);
    if (!a) {
        printf("     could not be decoded\n\n");
        return;
    }
    printf("     address     %s, %s: %s\n", a->mac.c_str(), ovk_addr_label(a->addr_type),
           ovk_addr_trackable(a->addr_type));
    // only a public address names its maker; random ones carry no registered block
    if (a->addr_type == OVK_ADDR_PUBLIC)
        if (const char* v = ovk_vendor_mac(a->mac)) printf("     maker       %s\n", v);
    printf("     rssi        %d dBm, %s\n", a->rssi, a->phy.c_str());
    printf("     name        %s\n", a->name ? a->name->c_str() : "(none)");
    if (a->has_tx_power) printf("     tx power    %d dBm\n", a->tx_power);
    for (const OVK_MFG& m : a->mfg)
        printf("     mfg         company 0x%04X%s%s%s: %s\n", m.cid,
               ovk_vendor_company(m.cid) ? " (" : "",
               ovk_vendor_company(m.cid) ? ovk_vendor_company(m.cid) : "",
               ovk_vendor_company(m.cid) ? ")" : "",
               m.data.empty() ? "(no data)" : ovk_hex(m.data, " ").c_str());
    for (const OVK_UUID& u : a->uuids) {
        const int s16 = ovk_uuid_short(u);
        if (s16 >= 0 && ovk_vendor_uuid16(s16))
            printf("     uuid        0x%04X %s\n", s16, ovk_vendor_uuid16(s16));
        else if (s16 >= 0)
            printf("     uuid        0x%04X (%s)\n", s16, ovk_uuid_str(u).c_str());
        else
            printf("     uuid        %s\n", ovk_uuid_str(u).c_str());
    }
    for (const OVK_SVCDATA& d : a->svc) {
        const int s16 = ovk_uuid_short(d.uuid);
        const std::string id =
            s16 >= 0 ? "0x" + ovk_hex(std::vector<uint8_t>{static_cast<uint8_t>(s16 >> 8),
                                                           static_cast<uint8_t>(s16)})
                     : ovk_uuid_str(d.uuid);
        printf("     service     %s: %s\n", id.c_str(),
               d.data.empty() ? "(no data)" : ovk_hex(d.data, " ").c_str());
        // show embedded text only when most of the bytes are printable
        if (auto t = ovk_ascii(d.data, 0, d.data.size(), 64); t && t->size() * 2 > d.data.size())
            printf("                 text \"%s\"\n", t->c_str());
    }
    print_remote_id(*a);
    std::string fp;
    if (ovk_advert_fingerprint(a.get(), fp)) printf("     fingerprint %s\n", fp.c_str());
    printf("     structures ");
    for (const OVK_AD& x : ovk_ad_parse(a->raw, 64))
        printf(" [%s, %zu bytes]", ovk_ad_type_name(x.type).c_str(), x.data.size());
    printf("\n\n");
}

void print_wifi(const WifiSample& s) {
    OVK_ADVERT_PTR a = ovk_advert_new_wifi(
        s.bssid, s.ssid ? std::optional<std::string_view>(*s.ssid) : std::nullopt, s.rssi,
        s.freq_mhz, std::nullopt, std::nullopt, s.ies, 0);
    printf("WiFi %s  (%s)\n", s.bssid, s.what);
    if (!a) {
        printf("     could not be decoded\n\n");
        return;
    }
    printf("     address     %s, %s: %s\n", a->mac.c_str(), ovk_addr_label(a->addr_type),
           ovk_addr_trackable(a->addr_type));
    if (const char* v = ovk_vendor_mac(a->mac)) printf("     maker       %s\n", v);
    printf("     ssid        %s\n", a->name ? a->name->c_str() : "(hidden)");
    printf("     signal      %d dBm at %d MHz\n", a->rssi, a->freq_mhz);
    printf("     caps        %s\n", a->caps ? a->caps->c_str() : "(none)");
    printf("     standard    %s\n", a->standard ? a->standard->c_str() : "(unknown)");
    const OVK_AP_INFO ap = ovk_wififp_parse(a->ies);
    if (auto m = ovk_wififp_model(ap)) printf("     model       %s (WPS)\n", m->c_str());
    if (ap.device_kind) printf("     device kind %s (WPS)\n", ap.device_kind);
    for (const char* v : ap.ie_vendors)
        printf("     element of  %s%s\n", v, ovk_wififp_is_chipset(v) ? " (chipset maker)" : "");
    print_remote_id(*a);
    printf("     elements   ");
    for (const OVK_IE& e : a->ies) printf(" %d(%zu)", e.id, e.data.size());
    printf("\n\n");
}

}  // namespace

int main() {
    try {
        printf("Orvik decoding demonstration: built-in advertisements, no radio used.\n");
        printf("%s\n\n", load_vendor_tables() ? "Vendor tables loaded."
                                              : "Vendor tables not found; showing raw ids.");
        for (const BleSample& s : ble_samples()) print_ble(s);
        for (const WifiSample& s : wifi_samples()) print_wifi(s);
    } catch (const std::exception& e) {
        printf("demo stopped early: %s\n", e.what());
    } catch (...) {
        printf("demo stopped early\n");
    }
    fflush(stdout);
    return 0;
}
