// SPDX-License-Identifier: GPL-3.0-or-later
// orvik-classify: input validation, the verdict object (verdicts, identity, fingerprint,
// distance, address warning), the signature-report mode, comment lines, exit statuses, the
// regression capture in tests/data, and the built program itself (also as installed).
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "ovk_classify_io.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_vendordb.h"
#include "rid_builder.h"

namespace {

using std::string;

// What an advert with an empty payload, no signal level and an unknown address kind adds
// after its verdicts (00:11:22 is a registered block: CIMSYS Inc).
#define EMPTY_TAIL                                                                        \
    "\"identity\":{\"type\":\"CIMSYS Inc device\",\"facts\":[{\"key\":\"Identified by\"," \
    "\"value\":\"address registrant (IEEE)\"}]},\"fingerprint\":\"\",\"distanceM\":null"

struct JsonDelete {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;

Json parse(const string& s) {
    Json j(cJSON_Parse(s.c_str()));
    EXPECT_TRUE(j) << s;
    return j;
}

string str(const cJSON* o, const char* key) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsString(it) ? it->valuestring : "<not a string>";
}

double num(const cJSON* o, const char* key) {
    const cJSON* it = cJSON_GetObjectItemCaseSensitive(o, key);
    EXPECT_TRUE(cJSON_IsNumber(it)) << key;
    return cJSON_IsNumber(it) ? it->valuedouble : -99999;
}

string read_file(const string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The committed vendor tables, loaded once for every test of this file (the program loads
// them the same way), so the expected texts carry vendor names.
class VendorTables : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(load(), 0); }
    void TearDown() override { ovk_vendordb_unload(); }
    static int load() {
        return ovk_vendordb_load([](std::string_view name) -> std::optional<std::string> {
            const string s = read_file(string(OVK_SOURCE_DIR) + "/assets/" + string(name));
            if (s.empty()) return std::nullopt;
            return s;
        });
    }
};
const auto* const kTables = ::testing::AddGlobalTestEnvironment(new VendorTables);

// Runs the stream handler over `input`; returns {exit status, output}.
std::pair<int, string> run_stream(const string& input) {
    FILE* in = tmpfile();
    FILE* out = tmpfile();
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    const int rc = ovk_classify_stream(in, out);
    rewind(out);
    string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, out)) > 0) s.append(buf, n);
    fclose(in);
    fclose(out);
    return {rc, s};
}

TEST(ClassifyLine, BleVerdictObject) {
    const string line =
        R"({"radio":"BLE","mac":"00-25-df-11-22-33","rssi":-60,"addrType":"PUBLIC","connectable":1,)"
        R"x("phy":"LE 1M (legacy)","raw":"02010605ff4D03010203036BFE","time":1733600000000})x";
    const OVK_CLASSIFY_LINE r = ovk_classify_line(line, 7);
    ASSERT_EQ(r.status, OVK_CLASSIFY_OK) << r.json;
    EXPECT_EQ(r.json.find('\n'), string::npos);
    Json j = parse(r.json);
    EXPECT_EQ(num(j.get(), "line"), 7);
    EXPECT_EQ(str(j.get(), "mac"), "00:25:DF:11:22:33");
    const cJSON* hits = cJSON_GetObjectItemCaseSensitive(j.get(), "hits");
    ASSERT_EQ(cJSON_GetArraySize(hits), 2);
    const cJSON* h0 = cJSON_GetArrayItem(hits, 0);
    EXPECT_EQ(str(h0, "category"), "BODY_CAM");
    EXPECT_EQ(str(h0, "label"), "Axon / TASER equipment (type unknown)");
    EXPECT_EQ(num(h0, "confidence"), 60);
    EXPECT_EQ(str(h0, "tier"), "probable");
    EXPECT_EQ(str(h0, "evidence"),
              "Manufacturer data from company ID 0x034D (TASER International)");
    EXPECT_EQ(str(cJSON_GetArrayItem(hits, 1), "evidence"),
              "Service UUID 0xFE6B (TASER International)");
    EXPECT_FALSE(cJSON_GetObjectItemCaseSensitive(j.get(), "remoteId"));  // none in this advert
    EXPECT_FALSE(cJSON_GetObjectItemCaseSensitive(j.get(), "error"));
    // field order of the verdict object
    EXPECT_EQ(
        r.json.rfind(R"({"line":7,"mac":"00:25:DF:11:22:33","hits":[{"category":"BODY_CAM",)", 0),
        0u);
}

TEST(ClassifyLine, OptionalFieldsReachTheAdvert) {
    // the address kind decides whether a drone block can match
    const string tmpl = R"({"radio":"BLE","mac":"48:1C:B9:00:00:01","raw":"",KIND})";
    auto hits_of = [](const string& line) {
        OVK_CLASSIFY_LINE r = ovk_classify_line(line, 1);
        EXPECT_EQ(r.status, OVK_CLASSIFY_OK) << r.json;
        Json j = parse(r.json);
        return cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(j.get(), "hits"));
    };
    auto with = [&](const string& kind) {
        string s = tmpl;
        s.replace(s.find("KIND"), 4, kind);
        return s;
    };
    EXPECT_EQ(hits_of(with(R"("addrType":"PUBLIC")")), 1);
    EXPECT_EQ(hits_of(with(R"("addrType":"RESOLVABLE_PRIVATE")")), 0);
    EXPECT_EQ(hits_of(with(R"("addrType":null)")), 1);  // UNKNOWN
    // the name hint is used when the payload has no name
    EXPECT_EQ(hits_of(R"({"radio":"BLE","mac":"00:00:00:00:00:01","raw":"","name":"Flock cam"})"),
              1);
    EXPECT_EQ(
        hits_of(
            R"({"radio":"BLE","mac":"00:00:00:00:00:01","raw":"05096B697465","name":"Flock cam"})"),
        0);
    // Wi-Fi: the SSID in quotes is unquoted, "<unknown ssid>" is none
    EXPECT_EQ(
        hits_of(R"({"radio":"wifi","mac":"02:00:00:00:00:01","ssid":"\"Flock-9\"","ies":""})"), 1);
    EXPECT_EQ(
        hits_of(R"({"radio":"WIFI","mac":"02:00:00:00:00:01","ssid":"<unknown ssid>","ies":""})"),
        0);
    EXPECT_EQ(
        hits_of(
            R"({"radio":"WIFI","mac":"02:00:00:00:00:01","ies":"","freq":5180,"rssi":-40,"time":1,"connectable":true})"),
        0);
}

TEST(ClassifyLine, RemoteIdObject) {
    // BLE service data 0xFFFA: app code, counter, a Location message
    string loc = "0D01";
    loc += "1220";      // Location v2, status Airborne, no direction/speed bits
    loc += "5A";        // direction 90
    loc += "64";        // speed raw 100 -> 25 m/s
    loc += "04";        // vertical speed raw 4 -> 2 m/s
    loc += "4C1E4028";  // latitude 675290700 -> 67.529070
    loc += "64FE0905";  // longitude 84541028 -> 8.4541028
    loc += "0000";      // pressure altitude
    loc += "9808";      // geodetic altitude raw 2200 -> 100 m
    loc += "2008";      // height raw 2080 -> 40 m
    loc += "000000000000";
    ASSERT_EQ(loc.size(), 54u);
    const string line =
        R"({"radio":"BLE","mac":"C0:11:22:33:44:55","addrType":"RANDOM_STATIC","raw":"1E16FAFF)" +
        loc + R"("})";
    OVK_CLASSIFY_LINE r = ovk_classify_line(line, 1);
    ASSERT_EQ(r.status, OVK_CLASSIFY_OK) << r.json;
    Json j = parse(r.json);
    const cJSON* rid = cJSON_GetObjectItemCaseSensitive(j.get(), "remoteId");
    ASSERT_TRUE(rid) << r.json;
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(rid, "uasId")));
    EXPECT_EQ(str(rid, "status"), "Airborne");
    EXPECT_NEAR(num(rid, "latitude"), 67.52907, 1e-6);
    EXPECT_NEAR(num(rid, "longitude"), 8.4541028, 1e-6);
    EXPECT_EQ(num(rid, "altitudeGeoM"), 100);
    EXPECT_EQ(num(rid, "heightM"), 40);
    EXPECT_EQ(num(rid, "speedMs"), 25);
    EXPECT_EQ(num(rid, "verticalSpeedMs"), 2);
    EXPECT_EQ(num(rid, "directionDeg"), 90);
    for (const char* k :
         {"operatorLatitude", "operatorLongitude", "selfIdDescription", "operatorId", "idType"})
        EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(rid, k))) << k;
    // keys in the export order
    const char* order[] = {"uasId",
                           "idType",
                           "uaType",
                           "status",
                           "latitude",
                           "longitude",
                           "altitudeGeoM",
                           "heightM",
                           "speedMs",
                           "verticalSpeedMs",
                           "directionDeg",
                           "operatorLatitude",
                           "operatorLongitude",
                           "selfIdDescription",
                           "operatorId"};
    const cJSON* it = rid->child;
    for (const char* k : order) {
        ASSERT_TRUE(it) << k;
        EXPECT_STREQ(it->string, k);
        it = it->next;
    }
    EXPECT_FALSE(it);
}

string hex(const string& bytes) {
    static const char* d = "0123456789ABCDEF";
    string out;
    for (unsigned char c : bytes) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

Json classify_ok(const string& line, const char* note = nullptr) {
    const OVK_CLASSIFY_LINE r =
        note ? ovk_classify_line(line, 3, std::string_view(note)) : ovk_classify_line(line, 3);
    EXPECT_EQ(r.status, OVK_CLASSIFY_OK) << r.json;
    EXPECT_EQ(r.json.find('\n'), string::npos);
    return parse(r.json);
}

// The value of the fact `key` in an identity object, or "<none>".
string fact(const cJSON* identity, const char* key) {
    const cJSON* f = nullptr;
    cJSON_ArrayForEach(f, cJSON_GetObjectItemCaseSensitive(identity, "facts")) {
        if (str(f, "key") == key) return str(f, "value");
    }
    return "<none>";
}

const string kAirPods =
    R"({"radio":"BLE","mac":"5E:00:00:00:00:07","rssi":-59,"addrType":"RESOLVABLE_PRIVATE",)"
    R"("raw":"0201061EFF4C0007190114200B778F01000000000000000000000000000000000000"})";
// heart-rate service, TX power 4 dBm, name "Galaxy Watch"
const string kWatch =
    R"({"radio":"BLE","mac":"C0:11:22:33:44:55","rssi":-62,"addrType":"RANDOM_STATIC",)"
    R"("connectable":1,"raw":"020106)"
    "0303"
    "0D18"
    "020A04"
    "0D09" +
    hex("Galaxy Watch") + R"("})";
// WPS manufacturer NETGEAR, Inc. and model R7000, plus a Broadcom vendor element
const string kNetgear =
    R"({"radio":"WIFI","mac":"A0:04:60:11:22:33","ssid":"HomeNet","rssi":-40,"freq":2437,)"
    R"("caps":"[WPA2-PSK-CCMP][ESS]","ies":"0007)" +
    hex("HomeNet") + "DD1E0050F2041021000D" + hex("NETGEAR, Inc.") + "10230005" + hex("R7000") +
    R"(DD050010180200"})";

TEST(ClassifyLine, IdentityFingerprintAndDistance) {
    {
        Json j = classify_ok(kAirPods);
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(j.get(), "identity");
        EXPECT_EQ(str(id, "type"), "AirPods Pro 2");
        EXPECT_EQ(fact(id, "Apple model ID"), "0x1420 (AirPods Pro 2)");
        EXPECT_EQ(fact(id, "Apple Continuity"), "Proximity pairing");
        EXPECT_EQ(fact(id, "Identified by"), "Apple Continuity model ID");
        // Apple data alone is not a stable shape: no fingerprint
        EXPECT_EQ(str(j.get(), "fingerprint"), "");
        EXPECT_DOUBLE_EQ(num(j.get(), "distanceM"), 1.0);  // -59 dBm without TX power
        EXPECT_FALSE(cJSON_GetObjectItemCaseSensitive(j.get(), "addressWarning"));
    }
    {
        Json j = classify_ok(kWatch);
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(j.get(), "identity");
        // the service rule comes before the name rule
        EXPECT_EQ(str(id, "type"), "Heart-rate sensor / fitness wearable");
        EXPECT_EQ(fact(id, "Identified by"), "advertised service");
        EXPECT_EQ(fact(id, "Services").rfind("0x180D", 0), 0u) << fact(id, "Services");
        EXPECT_EQ(str(j.get(), "fingerprint"),
                  "n=Galaxy Watch|u=0000180d-0000-1000-8000-00805f9b34fb|d=|m=|t=4|c=true");
        // 1 m power = 4 - 41 = -37 dBm; 25 dB below that is 10 m
        EXPECT_NEAR(num(j.get(), "distanceM"), 10.0, 1e-9);
    }
    {
        Json j = classify_ok(kNetgear);
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(j.get(), "identity");
        EXPECT_EQ(str(id, "type"), "WiFi access point - NETGEAR R7000");
        EXPECT_EQ(fact(id, "Band"), "2.4 GHz (2437 MHz, channel 6)");
        EXPECT_EQ(fact(id, "Security"), "WPA2");
        EXPECT_EQ(fact(id, "AP model (WPS)"), "NETGEAR R7000");
        EXPECT_EQ(fact(id, "WiFi chipset (vendor IEs)"), "Broadcom");
        EXPECT_EQ(fact(id, "Identified by"), "WPS model in the beacon");
        EXPECT_EQ(str(j.get(), "fingerprint"), "NETGEAR R7000");
        EXPECT_NEAR(num(j.get(), "distanceM"), 9.79, 1e-9);  // free-space, 20 dBm at 2437 MHz
    }
    // no signal level: the distance is unknown, not 10 cm
    Json j = classify_ok(R"({"radio":"BLE","mac":"C0:11:22:33:44:55","raw":""})");
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(j.get(), "distanceM")));
    EXPECT_EQ(str(cJSON_GetObjectItemCaseSensitive(j.get(), "identity"), "type"),
              "Bluetooth device");
    // field order after the verdicts
    const char* order[] = {"line", "mac", "hits", "identity", "fingerprint", "distanceM"};
    const cJSON* it = j->child;
    for (const char* k : order) {
        ASSERT_TRUE(it) << k;
        EXPECT_STREQ(it->string, k);
        it = it->next;
    }
    EXPECT_FALSE(it);
}

TEST(ClassifyLine, AddressWarningOnlyForFailingPublicAddresses) {
    auto warning = [](const char* mac, const char* kind, const char* radio = "BLE") {
        const string line = string(R"({"radio":")") + radio + R"(","mac":")" + mac +
                            R"(","addrType":")" + kind + R"(","raw":"","ies":""})";
        Json j = classify_ok(line);
        const cJSON* w = cJSON_GetObjectItemCaseSensitive(j.get(), "addressWarning");
        if (!w) return string("<none>");
        // it comes last
        EXPECT_FALSE(w->next);
        return str(j.get(), "addressWarning");
    };
    const string local =
        "Declared public, but 02:11:22 is not an IEEE vendor block (the locally administered "
        "bit is set). The device probably mislabels a random address: it may change, so it is "
        "not reliably trackable.";
    const string unregistered =
        "Declared public, but no IEEE-registered vendor block covers F4:FF:FF. The device may "
        "mislabel a random address, so it may not stay the same.";
    EXPECT_EQ(warning("02:11:22:33:44:55", "PUBLIC"), local);
    EXPECT_EQ(warning("F4:FF:FF:00:00:01", "PUBLIC"), unregistered);
    EXPECT_EQ(warning("00:25:DF:11:22:33", "PUBLIC"), "<none>");  // a registered block
    for (const char* kind : {"RANDOM_STATIC", "RESOLVABLE_PRIVATE", "UNKNOWN"}) {
        EXPECT_EQ(warning("02:11:22:33:44:55", kind), "<none>") << kind;
        EXPECT_EQ(warning("F4:FF:FF:00:00:01", kind), "<none>") << kind;
    }
    EXPECT_EQ(warning("02:11:22:33:44:55", "PUBLIC", "WIFI"), "<none>");  // Wi-Fi kinds only
    // without the vendor tables only the locally administered case can be told
    ovk_vendordb_unload();
    EXPECT_EQ(warning("02:11:22:33:44:55", "PUBLIC"), local);
    EXPECT_EQ(warning("F4:FF:FF:00:00:01", "PUBLIC"), "<none>");
    ASSERT_EQ(VendorTables::load(), 0);
}

TEST(ClassifyReport, ReportLinesCarryNoAddress) {
    const string line =
        R"({"radio":"BLE","mac":"00:25:DF:11:22:33","rssi":-60,"addrType":"PUBLIC","connectable":1,)"
        R"("raw":"02010605FF4D03010203036BFE0E09)" +
        hex("BWC-123456789") + R"("})";
    const OVK_CLASSIFY_LINE plain = ovk_classify_line(line, 3);
    Json verdict = parse(plain.json);
    const string type = str(cJSON_GetObjectItemCaseSensitive(verdict.get(), "identity"), "type");
    ASSERT_NE(type, "<not a string>");

    const OVK_CLASSIFY_LINE r = ovk_classify_line(line, 3, "  seen on an officer's vest \t");
    ASSERT_EQ(r.status, OVK_CLASSIFY_OK) << r.json;
    EXPECT_EQ(r.json.find('\n'), string::npos);
    EXPECT_EQ(r.json.find("11:22:33"), string::npos) << r.json;
    EXPECT_EQ(r.json.find("123456789"), string::npos) << r.json;  // serial masked
    Json j = parse(r.json);
    EXPECT_EQ(num(j.get(), "line"), 3);
    EXPECT_FALSE(cJSON_GetObjectItemCaseSensitive(j.get(), "mac"));
    const cJSON* rep = cJSON_GetObjectItemCaseSensitive(j.get(), "report");
    ASSERT_TRUE(cJSON_IsObject(rep)) << r.json;
    const char* order[] = {
        "format",           "app",           "radio",       "oui",         "vendor",
        "guessedType",      "addressType",   "namePattern", "connectable", "serviceUuids",
        "manufacturerData", "whatIThinkItIs"};
    const cJSON* it = rep->child;
    for (const char* k : order) {
        ASSERT_TRUE(it) << k;
        EXPECT_STREQ(it->string, k);
        it = it->next;
    }
    EXPECT_FALSE(it);
    EXPECT_EQ(str(rep, "format"), "orvik-signature-report/1");
    EXPECT_EQ(str(rep, "app"), "orvik-classify");
    EXPECT_EQ(str(rep, "radio"), "BLE");
    EXPECT_EQ(str(rep, "oui"), "00:25:DF");
    EXPECT_EQ(str(rep, "vendor"), "Taser International Inc.");
    EXPECT_EQ(str(rep, "guessedType"), type);
    EXPECT_EQ(str(rep, "addressType"), "PUBLIC");
    EXPECT_EQ(str(rep, "namePattern"), "BWC-#########");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(rep, "connectable")));
    const cJSON* uuids = cJSON_GetObjectItemCaseSensitive(rep, "serviceUuids");
    ASSERT_EQ(cJSON_GetArraySize(uuids), 1);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetArrayItem(uuids, 0)), "0xFE6B");
    const cJSON* m =
        cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(rep, "manufacturerData"), 0);
    EXPECT_EQ(str(m, "companyId"), "0x034D");
    EXPECT_EQ(num(m, "length"), 2);
    EXPECT_EQ(str(m, "header"), "0102");
    EXPECT_EQ(str(rep, "whatIThinkItIs"), "seen on an officer's vest");

    // random addresses give no address block at all; an empty note gives no note
    for (const char* kind : {"RANDOM_STATIC", "RESOLVABLE_PRIVATE", "NON_RESOLVABLE"}) {
        const string rnd = string(R"({"radio":"BLE","mac":"C2:00:00:00:00:09","addrType":")") +
                           kind + R"(","raw":"020106"})";
        const OVK_CLASSIFY_LINE rr = ovk_classify_line(rnd, 1, "");
        ASSERT_EQ(rr.status, OVK_CLASSIFY_OK) << rr.json;
        EXPECT_EQ(rr.json.find("C2:00"), string::npos) << rr.json;
        Json jr = parse(rr.json);
        const cJSON* rp = cJSON_GetObjectItemCaseSensitive(jr.get(), "report");
        EXPECT_FALSE(cJSON_GetObjectItemCaseSensitive(rp, "oui")) << kind;
        EXPECT_FALSE(cJSON_GetObjectItemCaseSensitive(rp, "whatIThinkItIs"));
        EXPECT_EQ(str(rp, "addressType"), kind);
    }
    // Wi-Fi: the band and the element makers' blocks, never the BSSID
    const OVK_CLASSIFY_LINE w = ovk_classify_line(kNetgear, 9, "home router");
    ASSERT_EQ(w.status, OVK_CLASSIFY_OK) << w.json;
    EXPECT_EQ(w.json.find("11:22:33"), string::npos) << w.json;
    Json jw = parse(w.json);
    const cJSON* rw = cJSON_GetObjectItemCaseSensitive(jw.get(), "report");
    EXPECT_EQ(str(rw, "radio"), "WIFI");
    EXPECT_EQ(str(rw, "oui"), "A0:04:60");
    EXPECT_EQ(str(rw, "guessedType"), "WiFi access point - NETGEAR R7000");
    const cJSON* wifi = cJSON_GetObjectItemCaseSensitive(rw, "wifi");
    EXPECT_EQ(str(wifi, "band"), "2.4 GHz");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(wifi, "vendorIeOuis")), 2);
    // invalid lines and comments behave as without --report
    EXPECT_EQ(ovk_classify_line("nope", 4, "x").json, R"({"line":4,"error":"not valid JSON"})");
    EXPECT_EQ(ovk_classify_line("# c", 5, "x").status, OVK_CLASSIFY_SKIPPED);
}

TEST(ClassifyLine, InvalidLinesSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"not json", "not valid JSON"},
        {"[1]", "not a JSON object"},
        {R"({"mac":"00:11:22:33:44:55","raw":""})", R"(missing \"radio\")"},
        {R"({"radio":7,"mac":"00:11:22:33:44:55","raw":""})", R"(\"radio\" is not a string)"},
        {R"({"radio":"LORA","mac":"00:11:22:33:44:55","raw":""})",
         R"(\"radio\" must be \"BLE\" or \"WIFI\")"},
        {R"({"radio":"BLE","raw":""})", R"(missing \"mac\")"},
        {R"({"radio":"BLE","mac":"001122334455","raw":""})", R"(invalid \"mac\")"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55:66:77","raw":""})", R"(invalid \"mac\")"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55"})", R"(missing \"raw\")"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":12})", R"(\"raw\" is not a string)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"0"})",
         R"(\"raw\" has an odd number of hex digits)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"zz"})", R"(\"raw\" is not hex)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","rssi":-60.5})",
         R"(\"rssi\" is out of range)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","rssi":1e300})",
         R"(\"rssi\" is out of range)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","time":"now"})",
         R"(\"time\" is not a number)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","connectable":2})",
         R"(\"connectable\" is out of range)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","addrType":"public"})",
         R"(unknown \"addrType\")"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","phy":1})",
         R"(\"phy\" is not a string)"},
        {R"({"radio":"WIFI","mac":"00:11:22:33:44:55"})", R"(missing \"ies\")"},
        {R"({"radio":"WIFI","mac":"00:11:22:33:44:55","ies":"","ssid":[]})",
         R"(\"ssid\" is not a string)"},
        {R"({"radio":"WIFI","mac":"00:11:22:33:44:55","ies":"","freq":-1})",
         R"(\"freq\" is out of range)"},
        {R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""}{})", "text after the JSON value"},
    };
    for (const auto& [line, reason] : cases) {
        const OVK_CLASSIFY_LINE r = ovk_classify_line(line, 12);
        EXPECT_EQ(r.status, OVK_CLASSIFY_INVALID) << line;
        EXPECT_EQ(r.json, string(R"({"line":12,"error":")") + reason + "\"}") << line;
    }
    for (const char* c : {"", "   ", "# header", "  # indented", "\r"})
        EXPECT_EQ(ovk_classify_line(c, 1).status, OVK_CLASSIFY_SKIPPED) << "[" << c << "]";
}

TEST(ClassifyStream, LineNumbersOrderAndExitStatus) {
    auto [rc, out] = run_stream(
        "# capture header\n"
        R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""})"
        "\r\n"
        "\n"
        R"({"radio":"WIFI","mac":"A4:11:62:00:00:01","ies":""})");  // no final newline
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(
        out, "{\"line\":2,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]," EMPTY_TAIL
             "}\n"
             "{\"line\":4,\"mac\":\"A4:11:62:00:00:01\",\"hits\":[{\"category\":\"NETWORK_CAMERA\","
             "\"label\":\"Arlo camera, hub or recorder\",\"confidence\":65,\"tier\":\"probable\","
             "\"evidence\":\"WiFi address in Arlo's registered block A4:11:62\",\"source\":\"IEEE "
             "registry; Public camera-beacon signature catalogue (Apache-2.0)\"}],"
             "\"identity\":{\"type\":\"Smart-home / camera device (WiFi)\",\"facts\":["
             "{\"key\":\"Band\",\"value\":\"0 MHz (0 MHz, channel 0)\"},"
             "{\"key\":\"Security\",\"value\":\"Open (no password)\"},"
             "{\"key\":\"Identified by\",\"value\":\"address registrant (IEEE)\"}]},"
             "\"fingerprint\":\"\",\"distanceM\":null}\n");
    std::tie(rc, out) = run_stream(
        "oops\n"
        R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""})"
        "\n");
    EXPECT_EQ(rc, 1);  // one bad line, and the tool went on
    EXPECT_EQ(out,
              "{\"line\":1,\"error\":\"not valid JSON\"}\n"
              "{\"line\":2,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]," EMPTY_TAIL "}\n");
    std::tie(rc, out) = run_stream("");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "");
    // a NUL byte inside a line does not end the line early
    std::tie(rc, out) = run_stream(string("{\"radio\":\"BLE\",\0\"mac\":1}\nx\n", 27));
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

// A recording holds advert lines written by ovk_classify_format, which read back into the
// same advert, GPS fix lines, which give no output, and fields the tool does not know.
TEST(ClassifyStream, RecordingsReadAsTheyAre) {
    const OVK_ADVERT_PTR ble = ovk_test::rid_advert(
        "60:60:1F:00:00:0A", {ovk_test::rid_basic_id(1, "R1"), ovk_test::rid_location(45, -75)},
        1700000000000, -71);
    const uint8_t ies[] = {0x00, 0x04, 'C', 'a', 'f', 'e', 0x03, 0x01, 0x06, 0xDD, 0x03, 1, 2, 3};
    const OVK_ADVERT_PTR wifi = ovk_advert_new_wifi("A4:11:62:00:00:01", "Cafe", -80, 2437,
                                                    std::nullopt, std::nullopt, ies, 1700000000500);
    ASSERT_TRUE(ble && wifi);
    for (const OVK_ADVERT* a : {ble.get(), wifi.get()}) {
        string err;
        const OVK_ADVERT_PTR back = ovk_classify_parse(ovk_classify_format(*a), err);
        ASSERT_TRUE(back) << err;
        EXPECT_EQ(back->mac, a->mac);
        EXPECT_EQ(back->source, a->source);
        EXPECT_EQ(back->rssi, a->rssi);
        EXPECT_EQ(back->raw, a->raw);
        EXPECT_EQ(back->addr_type, a->addr_type);
        EXPECT_EQ(back->connectable, a->connectable);
        EXPECT_EQ(back->phy, a->phy);
        EXPECT_EQ(back->name, a->name);
        EXPECT_EQ(back->freq_mhz, a->freq_mhz);
        EXPECT_EQ(back->caps, a->caps);
        EXPECT_EQ(back->standard, a->standard);
        ASSERT_EQ(back->ies.size(), a->ies.size());
        for (size_t i = 0; i < a->ies.size(); ++i) EXPECT_EQ(back->ies[i].data, a->ies[i].data);
        EXPECT_EQ(back->timestamp, a->timestamp);
    }
    OVK_LOCATION fix;
    fix.lat = 45.42151234567;
    fix.lon = -75.69721234567;
    fix.has_speed = 1;
    fix.speed_ms = 1.25;
    fix.time = 1700000000250;
    string err;
    const auto fback = ovk_classify_parse_fix(ovk_classify_format_fix(fix), err);
    ASSERT_TRUE(fback) << err;
    EXPECT_DOUBLE_EQ(fback->lat, fix.lat);
    EXPECT_DOUBLE_EQ(fback->lon, fix.lon);
    EXPECT_EQ(fback->has_speed, 1);
    EXPECT_EQ(fback->has_bearing, 0);
    EXPECT_EQ(fback->time, fix.time);

    string rec = ovk_classify_format_fix(fix) + "\n";
    string line = ovk_classify_format(*wifi);
    line.insert(line.size() - 1, ",\"session\":\"walk 7\"");  // a field the tool ignores
    rec += line + "\n" +
           R"({"gps":{"lat":95,"lon":0},"time":1})"
           "\n";
    auto [rc, out] = run_stream(rec);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("{\"line\":2,\"mac\":\"A4:11:62:00:00:01\""), string::npos) << out;
    EXPECT_NE(out.find("{\"line\":3,\"error\":\"\\\"lat\\\" is out of range\"}"), string::npos)
        << out;
}

// Remote ID checks need what the same address said on earlier lines.
TEST(ClassifyStream, SpoofedRemoteIdAcrossLines) {
    using namespace ovk_test;
    const int64_t t = 1700000000000;
    string rec;
    rec += ovk_classify_format(
               *rid_advert("60:60:1F:00:00:0B", {rid_basic_id(1, "A"), rid_location(45, -75)}, t)) +
           "\n";
    rec += ovk_classify_format(*rid_advert("60:60:1F:00:00:0C", {rid_basic_id(1, "B")}, t)) + "\n";
    rec += ovk_classify_format(*rid_advert("60:60:1F:00:00:0B",
                                           {rid_location(rid_north(45, 5000), -75)}, t + 2000)) +
           "\n";
    rec += ovk_classify_format(*rid_advert("60:60:1F:00:00:0B", {rid_basic_id(1, "A")}, t + 3000)) +
           "\n";
    auto [rc, out] = run_stream(rec);
    EXPECT_EQ(rc, 0);
    std::istringstream lines(out);
    std::vector<Json> v;
    for (string l; std::getline(lines, l);) v.push_back(parse(l));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(v[0].get(), "spoofing"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(v[1].get(), "spoofing"), nullptr);
    const cJSON* sp = cJSON_GetObjectItemCaseSensitive(v[2].get(), "spoofing");
    ASSERT_TRUE(cJSON_IsArray(sp));
    ASSERT_EQ(cJSON_GetArraySize(sp), 1);
    EXPECT_EQ(string(cJSON_GetArrayItem(sp, 0)->valuestring),
              "Possible spoofed Remote ID: position jumped 5000 m in 2.0 s (2500 m/s, above "
              "100 m/s)");
    // From then on this address's Remote ID verdict is lowered; the other address's is not.
    auto rid_confidence = [](const cJSON* o) {
        const cJSON* hits = cJSON_GetObjectItemCaseSensitive(o, "hits");
        const cJSON* h;
        cJSON_ArrayForEach(h, hits) if (str(h, "label") ==
                                        "Drone broadcasting Remote ID") return num(h, "confidence");
        return -1.0;
    };
    EXPECT_EQ(rid_confidence(v[0].get()), 95);
    EXPECT_EQ(rid_confidence(v[1].get()), 95);
    EXPECT_EQ(rid_confidence(v[2].get()), 60);
    EXPECT_EQ(rid_confidence(v[3].get()), 60);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(v[3].get(), "spoofing"), nullptr);
}

// A recording is judged per address, line after line, as a live run judges a device: a
// plant sensor's name from its scan response counts for its later adverts, its service for
// its scan response; other addresses, and a line on its own, stand alone.
TEST(ClassifyStream, LinesOfOneAddressAreJudgedTogether) {
    const int64_t t = 1700000000000;
    const string service = "11061BC5D5A50200BAAFE211A88400FAE139";  // Flower Power, partial
    auto named = [](const string& n) {
        string hex;
        char b[3];
        snprintf(b, sizeof b, "%02X", static_cast<unsigned>(n.size() + 1));
        hex += b;
        hex += "09";
        for (unsigned char c : n) {
            snprintf(b, sizeof b, "%02X", c);
            hex += b;
        }
        return hex;
    };
    auto line = [](const string& mac, const string& raw, int64_t time, int connectable = 1) {
        return R"({"radio":"BLE","mac":")" + mac +
               R"(","rssi":-64,"addrType":"PUBLIC","connectable":)" + std::to_string(connectable) +
               R"(,"raw":")" + raw + R"(","time":)" + std::to_string(time) + "}\n";
    };
    const string a = "A0:14:3D:11:22:33", b = "A0:14:3D:11:22:34", fp = "A0:14:3D:0C:D2:2B";
    const string bare = "020106020A00";
    const string in = line(a, bare, t) +                                    // 1
                      line(fp, "020106" + service + "020A00", t + 10) +     // 2
                      line(a, named("Flower power 1A2B"), t + 40, -1) +     // 3
                      line(a, bare, t + 1000) +                             // 4
                      line(b, bare, t + 1100) +                             // 5
                      line(fp, named("Flower power CD2B"), t + 1200, -1) +  // 6
                      line(a, bare, t + 1000 + 180001);                     // 7
    auto [rc, out] = run_stream(in);
    EXPECT_EQ(rc, 0);
    std::istringstream lines(out);
    std::vector<Json> v;
    for (string l; std::getline(lines, l);) v.push_back(parse(l));
    ASSERT_EQ(v.size(), 7u) << out;
    auto hits = [&](size_t i) {
        return cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(v[i].get(), "hits"));
    };
    auto type = [&](size_t i) {
        return str(cJSON_GetObjectItemCaseSensitive(v[i].get(), "identity"), "type");
    };
    EXPECT_EQ(hits(0), 1) << "a Parrot address, nothing else to go on";
    EXPECT_EQ(type(0), "Drone / controller");
    EXPECT_EQ(hits(1), 0) << "the Flower Power service";
    EXPECT_EQ(type(1), "Plant sensor (Parrot Flower Power)");
    EXPECT_EQ(hits(2), 0) << "the name";
    EXPECT_EQ(type(2), "Plant sensor");
    EXPECT_EQ(hits(3), 0) << "the name of line 3 counts for the advert after it";
    EXPECT_EQ(type(3), "Plant sensor");
    EXPECT_EQ(hits(4), 1) << "another address never named itself";
    EXPECT_EQ(hits(5), 0);
    EXPECT_EQ(type(5), "Plant sensor (Parrot Flower Power)") << "the service of line 2";
    EXPECT_EQ(hits(6), 1) << "three minutes unheard: a new sighting starts afresh";
    // The fingerprint describes the advert as it came.
    EXPECT_EQ(str(v[3].get(), "fingerprint"), str(v[0].get(), "fingerprint"));

    // Line 4 on its own stands alone.
    std::istringstream ins(in);
    string l4;
    for (int i = 0; i < 4; ++i) std::getline(ins, l4);
    Json alone = parse(ovk_classify_line(l4, 4).json);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(alone.get(), "hits")), 1);
}

// A flood of random addresses, each with a name, keeps a bounded memory of them.
TEST(ClassifyStream, WhatAddressesSentIsKeptForABoundedNumberOfThem) {
    OVK_CLASSIFY_CTX ctx;
    const size_t n = OVK_CLASSIFY_HEARD_MAX + 1000;
    for (size_t i = 0; i < n; ++i) {
        char mac[18];
        snprintf(mac, sizeof mac, "C6:00:00:00:%02X:%02X", static_cast<unsigned>(i >> 8) & 0xFF,
                 static_cast<unsigned>(i) & 0xFF);
        const uint8_t raw[] = {0x04, 0x09, 'a', 'b', 'c'};
        auto a = ovk_advert_new_ble(mac, -60, raw, OVK_ADDR_RANDOM_STATIC, 1, "LE 1M", "", 0);
        ASSERT_TRUE(a);
        EXPECT_FALSE(ovk_classify_advert(*a, "line", 1, std::nullopt, &ctx).json.empty());
        ASSERT_LE(ctx.heard_count(), OVK_CLASSIFY_HEARD_MAX);
    }
    EXPECT_EQ(ctx.heard_count(), OVK_CLASSIFY_HEARD_MAX);
    // Adverts that say nothing worth keeping take no room.
    OVK_CLASSIFY_CTX quiet;
    for (int i = 0; i < 100; ++i) {
        char mac[18];
        snprintf(mac, sizeof mac, "C6:00:00:00:00:%02X", i);
        auto a = ovk_advert_new_ble(mac, -60, {}, OVK_ADDR_RANDOM_STATIC, 1, "LE 1M", "", 0);
        ovk_classify_advert(*a, "line", 1, std::nullopt, &quiet);
    }
    EXPECT_EQ(quiet.heard_count(), 0u);
}

TEST(ClassifyStream, OverlongLinesAreRefusedAndTheToolGoesOn) {
    const string ok = R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""})";
    const string ok_out = "\"mac\":\"00:11:22:33:44:55\",\"hits\":[]," EMPTY_TAIL "}\n";
    const string too_long = "\"error\":\"line longer than 1048576 bytes\"}\n";
    // Padding after the JSON value is allowed, so a valid line can be made any length.
    const auto padded = [&](size_t len) { return ok + string(len - ok.size(), ' '); };

    // Exactly the limit is fine (also with a carriage return beyond it); one byte more is not.
    auto [rc, out] =
        run_stream(padded(OVK_CLASSIFY_LINE_MAX) + "\n" + padded(OVK_CLASSIFY_LINE_MAX + 1) + "\n" +
                   padded(OVK_CLASSIFY_LINE_MAX) + "\r\n" + ok + "\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "{\"line\":1," + ok_out + "{\"line\":2," + too_long + "{\"line\":3," + ok_out +
                       "{\"line\":4," + ok_out);

    // A huge payload between good lines; a huge comment is still a comment.
    std::tie(rc, out) = run_stream(ok + "\n" + "# " + string(3u << 20, 'c') + "\n" +
                                   R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":")" +
                                   string(5u << 20, '0') + "\"}\n" + ok);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "{\"line\":1," + ok_out + "{\"line\":3," + too_long + "{\"line\":4," + ok_out);

    // A stream without any newline is one overlong line.
    std::tie(rc, out) = run_stream(string(9u << 20, '{'));
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "{\"line\":1," + too_long);
}

TEST(ClassifyStream, EachLineIsAnsweredAsSoonAsItArrives) {
    // A live capture through a pipe: the answer to a line must not wait for more input.
    int ip[2], op[2];
    ASSERT_EQ(pipe(ip), 0);
    ASSERT_EQ(pipe(op), 0);
    FILE* in = fdopen(ip[0], "r");
    FILE* out = fdopen(op[1], "w");
    ASSERT_TRUE(in && out);
    setvbuf(out, nullptr, _IONBF, 0);
    int rc = -1;
    std::thread worker([&] {
        rc = ovk_classify_stream(in, out);
        fclose(out);
    });
    const string line = R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""})"
                        "\n";
    EXPECT_EQ(write(ip[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    string got;
    char buf[4096];
    while (got.find('\n') == string::npos) {
        pollfd p{op[0], POLLIN, 0};
        if (poll(&p, 1, 20000) != 1) break;  // deadline: the answer never came
        const ssize_t n = read(op[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(ip[1]);  // end of input: the worker finishes
    worker.join();
    fclose(in);
    close(op[0]);
    EXPECT_EQ(got, "{\"line\":1,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]," EMPTY_TAIL "}\n");
    EXPECT_EQ(rc, 0);
}

TEST(ClassifyStream, RegressionCapture) {
    const string dir = string(OVK_SOURCE_DIR) + "/tests/data/";
    FILE* in = fopen((dir + "classify_sample.jsonl").c_str(), "rb");
    ASSERT_TRUE(in);
    FILE* out = tmpfile();
    const int rc = ovk_classify_stream(in, out);
    fclose(in);
    rewind(out);
    string got;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, out)) > 0) got.append(buf, n);
    fclose(out);
    EXPECT_EQ(rc, 1);  // the capture ends with invalid lines on purpose
    const string want = read_file(dir + "classify_sample.expected.jsonl");
    ASSERT_FALSE(want.empty());
    // compare line by line for a readable failure
    std::istringstream gs(got), ws(want);
    string g, w;
    int line = 0;
    while (std::getline(ws, w)) {
        ++line;
        ASSERT_TRUE(std::getline(gs, g)) << "output ends before expected line " << line;
        EXPECT_EQ(g, w) << "output line " << line;
    }
    EXPECT_FALSE(std::getline(gs, g)) << "extra output: " << g;
}

int run_tool(const string& args, string* out) {
    const string exe = string(OVK_BINARY_DIR) + "/orvik-classify";
    const string cmd = exe + " " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    if (out) out->clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out) out->append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(ClassifyProgram, ArgumentsFilesAndExitCodes) {
    if (access((string(OVK_BINARY_DIR) + "/orvik-classify").c_str(), X_OK) != 0)
        GTEST_SKIP() << "orvik-classify is not built in " << OVK_BINARY_DIR;
    const string dir = string(OVK_SOURCE_DIR) + "/tests/data/";
    string out;
    EXPECT_EQ(run_tool("--help", &out), 0);
    EXPECT_NE(out.find("Usage: orvik-classify [FILE]"), string::npos);
    EXPECT_NE(out.find("Exit status"), string::npos);
    EXPECT_EQ(run_tool(dir + "classify_sample.jsonl", &out), 1);
    EXPECT_EQ(out, read_file(dir + "classify_sample.expected.jsonl"));
    EXPECT_EQ(run_tool("< " + dir + "classify_sample.jsonl", &out), 1);  // standard input
    EXPECT_EQ(out, read_file(dir + "classify_sample.expected.jsonl"));
    EXPECT_EQ(run_tool("- < " + dir + "classify_sample.jsonl", nullptr), 1);
    // only valid lines -> 0
    EXPECT_EQ(run_tool("< /dev/null", &out), 0);
    EXPECT_EQ(out, "");
    const string one = string(OVK_BINARY_DIR) + "/classify_one.jsonl";
    {
        std::ofstream f(one);
        f << R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""})"
          << "\n";
    }
    EXPECT_EQ(run_tool(one, &out), 0);
    EXPECT_EQ(out, "{\"line\":1,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]," EMPTY_TAIL "}\n");
    // unreadable file, a directory, bad arguments -> 2
    EXPECT_EQ(run_tool(dir + "no-such-file.jsonl", &out), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(run_tool(dir, nullptr), 2);
    EXPECT_EQ(run_tool("--bogus", nullptr), 2);
    EXPECT_EQ(run_tool(one + " " + one, nullptr), 2);
    unlink(one.c_str());
}

TEST(ClassifyProgram, OutputThatCannotBeWrittenIsAFailure) {
    const string exe = string(OVK_BINARY_DIR) + "/orvik-classify";
    if (access(exe.c_str(), X_OK) != 0) GTEST_SKIP() << "orvik-classify is not built";
    const string sample = string(OVK_SOURCE_DIR) + "/tests/data/classify_sample.jsonl";
    // A device that takes nothing.
    auto r = ovk_test::run_command("(" + exe + " " + sample + " > /dev/full)");
    EXPECT_EQ(r.rc, 2) << r.out;
    EXPECT_NE(r.out.find("orvik-classify: cannot write output: No space left on device"),
              string::npos)
        << r.out;
    // A disk that fills up part-way (a 1 KiB file-size limit): the output stops and says so.
    ovk_test::TempDir dir;
    r = ovk_test::run_command("(trap '' XFSZ; ulimit -f 1; " + exe + " " + sample + " > " +
                              dir.file("out.jsonl") + ")");
    EXPECT_EQ(r.rc, 2) << r.out;
    EXPECT_NE(r.out.find("cannot write output: File too large"), string::npos) << r.out;
    EXPECT_LE(ovk_test::read_file(dir.file("out.jsonl")).size(), 1024u);
}

// Runs a shell command; returns its exit status and standard output.
int run_cmd(const string& cmd, string* out) {
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// What a shell command writes to standard error.
string stderr_of(const string& cmd) {
    FILE* p = popen((cmd + " 2>&1 >/dev/null").c_str(), "r");
    if (!p) return "<popen failed>";
    char buf[4096];
    size_t n;
    string err;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) err.append(buf, n);
    pclose(p);
    return err;
}

string identity_type(const string& out) {
    Json j = parse(out);
    return str(cJSON_GetObjectItemCaseSensitive(j.get(), "identity"), "type");
}

TEST(ClassifyProgram, ReportOptionAndVendorTablesWhereverItRuns) {
    const string exe = string(OVK_BINARY_DIR) + "/orvik-classify";
    if (access(exe.c_str(), X_OK) != 0) GTEST_SKIP() << "orvik-classify is not built";
    namespace fs = std::filesystem;
    const string tmp = string(OVK_BINARY_DIR) + "/classify_layout";
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    // an Espressif BSSID with a hidden SSID: its type needs the address tables
    const string in = tmp + "/in.jsonl";
    {
        std::ofstream f(in);
        f << R"({"radio":"WIFI","mac":"24:0A:C4:11:22:33","ssid":"","rssi":-70,"ies":""})"
          << "\n";
    }
    const string iot = "IoT / smart-home module (WiFi)";
    string out;
    // from the source tree, whatever the working directory
    EXPECT_EQ(run_cmd("cd / && env -u OVK_ASSETS " + exe + " " + in, &out), 0);
    EXPECT_EQ(identity_type(out), iot) << out;
    // places that were tried first and held nothing are not reported as errors
    EXPECT_EQ(stderr_of("cd / && env -u OVK_ASSETS " + exe + " " + in), "");
    // installed: <prefix>/bin and <prefix>/share/orvik/assets
    fs::create_directories(tmp + "/prefix/bin");
    fs::create_directories(tmp + "/prefix/share/orvik");
    fs::copy_file(exe, tmp + "/prefix/bin/orvik-classify");
    fs::copy(string(OVK_SOURCE_DIR) + "/assets", tmp + "/prefix/share/orvik/assets",
             fs::copy_options::recursive);
    EXPECT_EQ(
        run_cmd("cd / && env -u OVK_ASSETS " + tmp + "/prefix/bin/orvik-classify " + in, &out), 0);
    EXPECT_EQ(identity_type(out), iot) << out;
    // no tables anywhere: still one answer per line, just without vendor names
    fs::create_directories(tmp + "/bare");
    fs::copy_file(exe, tmp + "/bare/orvik-classify");
    EXPECT_EQ(run_cmd("cd / && env -u OVK_ASSETS " + tmp + "/bare/orvik-classify " + in, &out), 0);
    EXPECT_EQ(identity_type(out), "Hidden WiFi network") << out;
    EXPECT_EQ(stderr_of("cd / && env -u OVK_ASSETS " + tmp + "/bare/orvik-classify " + in),
              "orvik-classify: vendor tables not found (set OVK_ASSETS); vendor names are left "
              "out\n");
    // OVK_ASSETS wins
    EXPECT_EQ(run_cmd("cd / && OVK_ASSETS=" + tmp + "/prefix/share/orvik/assets " + tmp +
                          "/bare/orvik-classify " + in,
                      &out),
              0);
    EXPECT_EQ(identity_type(out), iot) << out;

    // --report NOTE, before or after the file
    EXPECT_EQ(run_cmd(exe + " --report 'hidden cam?' " + in, &out), 0);
    Json j = parse(out);
    const cJSON* rep = cJSON_GetObjectItemCaseSensitive(j.get(), "report");
    EXPECT_EQ(str(rep, "whatIThinkItIs"), "hidden cam?");
    EXPECT_EQ(str(rep, "guessedType"), iot);
    EXPECT_EQ(out.find("11:22:33"), string::npos) << out;
    EXPECT_EQ(run_cmd(exe + " " + in + " --report ''", &out), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_EQ(out.find("whatIThinkItIs"), string::npos) << out;
    EXPECT_EQ(run_cmd(exe + " " + in + " --report", &out), 2);  // NOTE missing
    EXPECT_EQ(out, "");
    EXPECT_EQ(run_cmd(exe + " --report a --report b " + in, &out), 2);
    EXPECT_EQ(run_cmd(exe + " --help", &out), 0);
    EXPECT_NE(out.find("--report NOTE"), string::npos);
    fs::remove_all(tmp);
}

}  // namespace
