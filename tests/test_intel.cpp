// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "ovk_geo.h"
#include "ovk_intel.h"
#include "ovk_vendordb.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One AD structure: length, type, data.
Bytes ad(uint8_t type, std::initializer_list<uint8_t> data) {
    Bytes out{static_cast<uint8_t>(data.size() + 1), type};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}
Bytes ad(uint8_t type, const Bytes& data) {
    Bytes out{static_cast<uint8_t>(data.size() + 1), type};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// Manufacturer-specific data: company id (little-endian) then the payload.
Bytes mfg(uint16_t cid, const Bytes& payload) {
    Bytes d{static_cast<uint8_t>(cid & 0xFF), static_cast<uint8_t>(cid >> 8)};
    d.insert(d.end(), payload.begin(), payload.end());
    return ad(0xFF, d);
}
Bytes svc16(uint16_t uuid, const Bytes& payload) {
    Bytes d{static_cast<uint8_t>(uuid & 0xFF), static_cast<uint8_t>(uuid >> 8)};
    d.insert(d.end(), payload.begin(), payload.end());
    return ad(0x16, d);
}
Bytes uuids16(std::initializer_list<uint16_t> list) {
    Bytes d;
    for (uint16_t u : list) {
        d.push_back(static_cast<uint8_t>(u & 0xFF));
        d.push_back(static_cast<uint8_t>(u >> 8));
    }
    return ad(0x03, d);
}
Bytes name(const std::string& n) {
    return ad(0x09, Bytes(n.begin(), n.end()));
}

OVK_ADVERT_PTR ble(const Bytes& raw, const char* mac = "C0:11:22:33:44:55") {
    return ovk_advert_new_ble(mac, -60, ovk_bytes(raw), OVK_ADDR_RANDOM_STATIC, 1, "LE 1M", "",
                              1000);
}

OVK_IDENTITY identify(const OVK_ADVERT* a, const char* vendor = nullptr) {
    OVK_IDENTITY id;
    id.type = "stale";
    id.facts.push_back({"stale", "stale"});
    ovk_intel_identify(a, vendor, &id);
    return id;
}

std::string fact(const OVK_IDENTITY& id, const char* key) {
    const std::string* v = ovk_facts_get(id.facts, key);
    return v ? *v : "(absent)";
}

// An Apple iBeacon record (type 0x02, length 21).
Bytes ibeacon_record(uint16_t major, uint16_t minor) {
    Bytes r{0x02, 21};
    for (int i = 0; i < 16; i++) r.push_back(static_cast<uint8_t>(0xA0 + i));
    r.push_back(static_cast<uint8_t>(major >> 8));
    r.push_back(static_cast<uint8_t>(major & 0xFF));
    r.push_back(static_cast<uint8_t>(minor >> 8));
    r.push_back(static_cast<uint8_t>(minor & 0xFF));
    r.push_back(0xC5);  // measured power
    return r;
}
// A proximity-pairing record carrying a model id (bytes 3 and 4 of the record).
Bytes pairing_record(uint16_t model) {
    return Bytes{
        0x07, 0x05, 0x01, static_cast<uint8_t>(model >> 8), static_cast<uint8_t>(model & 0xFF),
        0x55, 0x66};
}
Bytes join_bytes(std::initializer_list<Bytes> parts) {
    return cat(parts);
}

class IntelTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ovk_vendordb_unload();
        ASSERT_EQ(ovk_vendordb_load(), 0) << "run the tests from the source root";
    }
    static void TearDownTestSuite() { ovk_vendordb_unload(); }
};

}  // namespace

// ---------------------------------------------------------------- BLE: basics and Apple

TEST_F(IntelTest, NothingToGoOnIsABluetoothDeviceWithoutFacts) {
    auto a = ble(Bytes{});
    OVK_IDENTITY id = identify(a.get());
    EXPECT_EQ(id.type, "Bluetooth device");
    EXPECT_TRUE(id.facts.empty());

    // null advert: emptied, nothing added; null out: no crash
    OVK_IDENTITY empty = identify(nullptr);
    EXPECT_EQ(empty.type, "");
    EXPECT_TRUE(empty.facts.empty());
    ovk_intel_identify(a.get(), nullptr, nullptr);
}

TEST_F(IntelTest, IBeaconOverridesTheModelDecisionButKeepsItsBasis) {
    // model first: the model decides, the iBeacon frame then replaces the type only
    auto a = ble(mfg(0x004C, join_bytes({pairing_record(0x0E20), ibeacon_record(1, 258)})));
    OVK_IDENTITY id = identify(a.get());
    EXPECT_EQ(id.type, "iBeacon");
    EXPECT_EQ(fact(id, "Identified by"), "Apple Continuity model ID");
    EXPECT_EQ(fact(id, "Apple model ID"), "0x0E20 (AirPods Pro)");
    EXPECT_EQ(fact(id, "iBeacon"), "UUID A0A1A2A3A4A5A6A7A8A9AAABACADAEAF, major 1, minor 258");
    EXPECT_EQ(fact(id, "Apple Continuity"), "Proximity pairing, iBeacon");

    // iBeacon first: the model can no longer decide, so the basis is the generic one
    auto b = ble(mfg(0x004C, join_bytes({ibeacon_record(7, 9), pairing_record(0x0E20)})));
    OVK_IDENTITY idb = identify(b.get());
    EXPECT_EQ(idb.type, "iBeacon");
    EXPECT_EQ(fact(idb, "Identified by"), "Apple Continuity message");
    EXPECT_EQ(fact(idb, "Apple Continuity"), "iBeacon, Proximity pairing");
}

TEST_F(IntelTest, AppleFallbackTypesFollowTheRecordsPresent) {
    struct Case {
        Bytes payload;
        const char* type;
    };
    const Case cases[] = {
        {Bytes{0x01}, "Apple device"},
        {Bytes{}, "Apple device"},
        {Bytes{0x07, 0x03, 0x01, 0x99, 0x99}, "AirPods / Beats"},  // unknown model
        {Bytes{0x12, 0x02, 0x00, 0x00}, "Apple Find My device (AirTag, iPhone, Mac...)"},
        {Bytes{0x09, 0x01, 0x00}, "Apple TV / AirPlay speaker"},
        {Bytes{0x0C, 0x01, 0x00}, "Apple device (iPhone, iPad, Mac or Watch)"},
        {Bytes{0x10, 0x01, 0x00, 0x09, 0x01, 0x00}, "Apple TV / AirPlay speaker"},
        {Bytes{0x10, 0x01, 0x00}, "Apple device (iPhone, iPad, Mac or Watch)"},
        // a zero length ends the walk: the pairing record behind it is never seen
        {Bytes{0x10, 0x00, 0x07, 0x03, 0x01, 0x0E, 0x20},
         "Apple device (iPhone, iPad, Mac or Watch)"},
        {Bytes{0x55, 0x01, 0x00}, "Apple device"},
    };
    for (const Case& c : cases) {
        auto a = ble(cat({mfg(0x004C, c.payload), uuids16({0x180D}), name("Galaxy Watch")}));
        OVK_IDENTITY id = identify(a.get(), "Garmin International");
        EXPECT_EQ(id.type, c.type) << ::testing::PrintToString(c.payload);
        EXPECT_EQ(fact(id, "Identified by"), "Apple Continuity message");
    }
    auto one = ble(mfg(0x004C, Bytes{0x01}));
    EXPECT_EQ(fact(identify(one.get()), "Apple Continuity"), "(absent)");
}

TEST_F(IntelTest, AppleRecordNamesAndFindMyState) {
    auto a = ble(mfg(0x004C, Bytes{0x55, 0x01, 0x00, 0x10, 0x02, 0x00, 0x00, 0x55, 0x00}));
    OVK_IDENTITY id = identify(a.get());
    EXPECT_EQ(fact(id, "Apple Continuity"), "type 0x55, Nearby Info");

    Bytes separated{0x12, 25};
    separated.resize(2 + 25, 0x11);
    OVK_IDENTITY sep = identify(ble(mfg(0x004C, separated)).get());
    EXPECT_EQ(fact(sep, "Find My state"), "Separated from owner");
    EXPECT_EQ(sep.type, "Apple Find My device (AirTag, iPhone, Mac...)");

    OVK_IDENTITY near = identify(ble(mfg(0x004C, Bytes{0x12, 0x02, 0x00, 0x00})).get());
    EXPECT_EQ(fact(near, "Find My state"), "Near its owner");
}

TEST_F(IntelTest, TruncatedAppleRecordsAreNotReadPastThePayload) {
    // an iBeacon header whose body is cut short: no iBeacon fact, no type from it
    Bytes cut = ibeacon_record(1, 2);
    cut.resize(15);
    OVK_IDENTITY id = identify(ble(mfg(0x004C, cut)).get());
    EXPECT_EQ(fact(id, "iBeacon"), "(absent)");
    EXPECT_EQ(id.type, "Apple device");
    EXPECT_EQ(fact(id, "Apple Continuity"), "iBeacon");

    // a pairing record too short for its model id: named, no model fact
    OVK_IDENTITY p = identify(ble(mfg(0x004C, Bytes{0x07, 0x19, 0x01, 0x0E})).get());
    EXPECT_EQ(fact(p, "Apple model ID"), "(absent)");
    EXPECT_EQ(p.type, "AirPods / Beats");

    // the exact minimum: model bytes at the end of the payload
    OVK_IDENTITY q = identify(ble(mfg(0x004C, Bytes{0x07, 0x19, 0x01, 0x14, 0x20})).get());
    EXPECT_EQ(q.type, "AirPods Pro 2");
    EXPECT_EQ(fact(q, "Identified by"), "Apple Continuity model ID");
}

// ---------------------------------------------------------------- BLE: other frames

TEST_F(IntelTest, MicrosoftDjiFastPairAndFeaaFrames) {
    EXPECT_EQ(identify(ble(mfg(0x0006, Bytes{0x03, 0x00})).get()).type,
              "Windows Swift Pair accessory");
    EXPECT_EQ(identify(ble(mfg(0x0006, Bytes{0x01, 0x09})).get()).type,
              "Windows PC (Connected Devices beacon)");
    OVK_IDENTITY other = identify(ble(mfg(0x0006, Bytes{0x07})).get());
    EXPECT_EQ(other.type, "Microsoft device");
    EXPECT_EQ(fact(other, "Identified by"), "Microsoft beacon");
    // empty Microsoft data is no beacon: the company-id rule names it instead
    OVK_IDENTITY bare = identify(ble(mfg(0x0006, Bytes{})).get());
    EXPECT_EQ(bare.type, "Microsoft device");
    EXPECT_EQ(fact(bare, "Identified by"), "company ID");

    OVK_IDENTITY drone = identify(ble(mfg(0x08AA, Bytes{0x70, 0x00, 0x01})).get());
    EXPECT_EQ(drone.type, "DJI Mavic 3");
    EXPECT_EQ(fact(drone, "DJI model"), "DJI Mavic 3 (aircraft)");
    EXPECT_NE(fact(drone, "Identified by").find("DJI"), std::string::npos);
    OVK_IDENTITY cam = identify(ble(mfg(0x08AA, Bytes{0x06, 0x00})).get());
    EXPECT_EQ(fact(cam, "DJI model"), "DJI Osmo Action (camera / gimbal, not a drone)");

    OVK_IDENTITY fp = identify(ble(svc16(0xFE2C, Bytes{0x00, 0x01, 0x02})).get());
    EXPECT_EQ(fact(fp, "Google Fast Pair"), "Pairing / account-key broadcast");
    EXPECT_EQ(fact(fp, "Services"), "0xFE2C Google");
    EXPECT_EQ(fp.type, "Google Fast Pair accessory");
    EXPECT_EQ(fact(fp, "Identified by"), "advertised service");

    const std::pair<uint8_t, const char*> frames[] = {{0x00, "Eddystone-UID"},
                                                      {0x10, "Eddystone-URL"},
                                                      {0x20, "Eddystone-TLM"},
                                                      {0x30, "Eddystone-EID"},
                                                      {0x40, "Find Hub tracker (near owner)"},
                                                      {0x41, "Find Hub tracker (separated)"}};
    for (const auto& [byte, text] : frames) {
        OVK_IDENTITY e = identify(ble(svc16(0xFEAA, Bytes{byte, 0x00})).get());
        EXPECT_EQ(e.type, text);
        EXPECT_EQ(fact(e, "Google 0xFEAA frame"), text);
        EXPECT_EQ(fact(e, "Identified by"), "Google 0xFEAA frame");
    }
    // an unknown frame adds nothing; the member UUID owner names it
    OVK_IDENTITY unk = identify(ble(svc16(0xFEAA, Bytes{0x50})).get());
    EXPECT_EQ(fact(unk, "Google 0xFEAA frame"), "(absent)");
    EXPECT_EQ(unk.type, "Google device");
    EXPECT_EQ(fact(unk, "Identified by"), "member service UUID owner");
}

TEST_F(IntelTest, AppearanceIsShownAndDecidesOnlyOutsideCategoryZero) {
    OVK_IDENTITY w = identify(ble(ad(0x19, {0xC1, 0x00})).get());
    EXPECT_EQ(w.type, "Watch - Sports Watch");
    EXPECT_EQ(fact(w, "Appearance"), "Watch - Sports Watch");
    EXPECT_EQ(fact(w, "Identified by"), "advertised appearance");

    OVK_IDENTITY unknown_cat = identify(ble(ad(0x19, {0x01, 0x00})).get());
    EXPECT_EQ(fact(unknown_cat, "Appearance"), "Unknown");
    EXPECT_EQ(unknown_cat.type, "Bluetooth device");
    EXPECT_EQ(fact(unknown_cat, "Identified by"), "(absent)");

    OVK_IDENTITY unlisted = identify(ble(ad(0x19, {0xC0, 0xFF})).get());
    EXPECT_EQ(fact(unlisted, "Appearance"), "0xFFC0");
    EXPECT_EQ(unlisted.type, "Bluetooth device");

    // a one-byte appearance is skipped, the next one is used
    OVK_IDENTITY second = identify(ble(cat({ad(0x19, {0xC1}), ad(0x19, {0x40, 0x00})})).get());
    EXPECT_EQ(fact(second, "Appearance"), "Phone");
}

// ---------------------------------------------------------------- BLE: rule order

TEST_F(IntelTest, EarlierRulesWinOverLaterOnes) {
    struct Case {
        const char* what;
        Bytes raw;
        const char* vendor;
        const char* type;
        const char* basis;
    };
    const Case cases[] = {
        {"Microsoft beacon before DJI", cat({mfg(0x0006, {0x03}), mfg(0x08AA, {0x70, 0x00})}),
         nullptr, "Windows Swift Pair accessory", "Microsoft beacon"},
        {"FEAA frame before appearance", cat({svc16(0xFEAA, {0x40}), ad(0x19, {0xC1, 0x00})}),
         nullptr, "Find Hub tracker (near owner)", "Google 0xFEAA frame"},
        {"appearance before service class", cat({ad(0x19, {0xC1, 0x00}), uuids16({0x180D})}),
         nullptr, "Watch - Sports Watch", "advertised appearance"},
        {"service class before name", cat({uuids16({0x180D}), name("Galaxy Watch")}), nullptr,
         "Heart-rate sensor / fitness wearable", "advertised service"},
        {"name before Samsung company id", cat({name("Galaxy Buds2"), mfg(0x0075, {0x01})}),
         nullptr, "Headphones / earbuds", "name pattern"},
        {"first name pattern wins", name("Garmin speaker"), nullptr, "Wearable", "name pattern"},
        {"Samsung before Google company id", cat({mfg(0x0075, {1}), mfg(0x00E0, {1})}), nullptr,
         "Samsung device", "company ID"},
        {"Google company id before member UUID", cat({mfg(0x00E0, {1}), uuids16({0xFE59})}),
         nullptr, "Google device", "company ID"},
        {"member UUID before registrant", uuids16({0xFE59}), "Garmin International",
         "Nordic Semiconductor ASA device", "member service UUID owner"},
        {"registrant class before company id", mfg(0x0059, {1}), "Garmin International",
         "Garmin wearable / GPS", "address registrant (IEEE)"},
        {"unclassified registrant", mfg(0x0059, {1}), "Acme Widgets", "Acme Widgets device",
         "address registrant (IEEE)"},
        {"company id last", mfg(0x0059, {1}), nullptr, "Nordic Semiconductor ASA device",
         "company ID"},
        {"empty registrant counts as unknown", mfg(0x0059, {1}), "",
         "Nordic Semiconductor ASA device", "company ID"},
        {"SIG service below 0xFC00 is no member owner", uuids16({0x180F}), nullptr,
         "Bluetooth device", "(absent)"},
    };
    for (const Case& c : cases) {
        OVK_IDENTITY id = identify(ble(c.raw).get(), c.vendor);
        EXPECT_EQ(id.type, c.type) << c.what;
        EXPECT_EQ(fact(id, "Identified by"), c.basis) << c.what;
    }
}

// Parrot registers one address block for its drones and its plant sensors alike.
TEST_F(IntelTest, PlantSensorsByTheirServiceOrName) {
    const char* parrot = "Parrot SA";
    // The Flower Power advert: flags and its service in a partial 128-bit list (on the air the
    // bytes run last to first).
    const Bytes flower{0x1B, 0xC5, 0xD5, 0xA5, 0x02, 0x00, 0xBA, 0xAF,
                       0xE2, 0x11, 0xA8, 0x84, 0x00, 0xFA, 0xE1, 0x39};
    OVK_IDENTITY id = identify(ble(cat({ad(0x01, {0x06}), ad(0x06, flower)})).get(), parrot);
    EXPECT_EQ(id.type, "Plant sensor (Parrot Flower Power)");
    EXPECT_EQ(fact(id, "Vendor service"),
              "39e1fa00-84a8-11e2-afba-0002a5d5c51b (Parrot Flower Power)");
    EXPECT_EQ(fact(id, "Identified by"), "advertised service");
    // Its scan response: only the name.
    id = identify(ble(name("Flower power CD2B")).get(), parrot);
    EXPECT_EQ(id.type, "Plant sensor");
    EXPECT_EQ(fact(id, "Identified by"), "name pattern");
    EXPECT_EQ(identify(ble(name("Parrot Pot A1")).get(), parrot).type, "Plant sensor");
    // Neither: the registrant's class.
    EXPECT_EQ(identify(ble(ad(0x01, {0x06})).get(), parrot).type, "Drone / controller");
}

// 0xFFFF is the company id of devices that have none (prototypes, hobby firmware).
TEST_F(IntelTest, ReservedDefaultCompanyIdNamesNoCompany) {
    EXPECT_EQ(ovk_vendor_company(0xFFFF), nullptr);
    OVK_IDENTITY id = identify(ble(mfg(0xFFFF, {0x01, 0x02})).get());
    EXPECT_EQ(id.type, "Bluetooth device");
    EXPECT_EQ(fact(id, "Identified by"), "(absent)");
    // A real company id beside it still names its company, and a registrant still decides.
    EXPECT_EQ(identify(ble(cat({mfg(0xFFFF, {1}), mfg(0x0059, {1})})).get()).type,
              "Nordic Semiconductor ASA device");
    EXPECT_EQ(identify(ble(mfg(0xFFFF, {1})).get(), "Acme Widgets").type, "Acme Widgets device");
}

TEST_F(IntelTest, ServiceListAndFactOrder) {
    // 128-bit UUIDs outside the base are skipped; duplicates once; service data after list
    Bytes u128 = ad(0x07, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                           0x0D, 0x0E, 0x0F, 0x10});
    auto a = ble(cat({uuids16({0x180D, 0x180D, 0x1234}), u128, svc16(0xFE2C, {0x01}),
                      svc16(0x180D, {0x02}), ad(0x19, {0xC1, 0x00}), name("Galaxy Watch")}));
    OVK_IDENTITY id = identify(a.get());
    EXPECT_EQ(fact(id, "Services"), "0x180D Heart Rate, 0x1234, 0xFE2C Google");
    std::vector<std::string> keys;
    for (const OVK_FACT& f : id.facts) keys.push_back(f.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"Services", "Google Fast Pair", "Appearance",
                                              "Identified by"}));
}

TEST_F(IntelTest, LongRegistrantTypeIsCutToTheTypeLimit) {
    std::string vendor(300, 'Q');
    OVK_IDENTITY id = identify(ble(Bytes{}).get(), vendor.c_str());
    EXPECT_EQ(id.type.size(), OVK_IDENTITY_TYPE_MAX);
    EXPECT_EQ(id.type, std::string(OVK_IDENTITY_TYPE_MAX, 'Q'));
}

// ---------------------------------------------------------------- Wi-Fi

namespace {

Bytes wps_attr(uint16_t type, const std::string& value) {
    Bytes out{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type & 0xFF),
              static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}
Bytes ie(uint8_t id, const Bytes& body) {
    Bytes out{id, static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes wps_ie(const std::string& manufacturer, const std::string& model_name) {
    Bytes body{0x00, 0x50, 0xF2, 0x04};
    for (const Bytes& b : {wps_attr(0x1021, manufacturer), wps_attr(0x1023, model_name)}) {
        body.insert(body.end(), b.begin(), b.end());
    }
    return ie(221, body);
}
Bytes vendor_ie(uint8_t o1, uint8_t o2, uint8_t o3) {
    return ie(221, {o1, o2, o3, 0x01, 0x02});
}

OVK_ADVERT_PTR wifi(std::optional<std::string> ssid, int freq, const Bytes& ies = {},
                    std::optional<std::string> caps = std::string("[WPA2-PSK-CCMP][ESS]")) {
    std::optional<std::string_view> s;
    if (ssid) s = *ssid;
    std::optional<std::string_view> c;
    if (caps) c = *caps;
    return ovk_advert_new_wifi("24:A4:3C:00:00:01", s, -50, freq, c, std::nullopt, ovk_bytes(ies),
                               1000);
}

}  // namespace

TEST_F(IntelTest, WifiBandChannelAndSecurityFacts) {
    EXPECT_EQ(fact(identify(wifi("x", 5925).get()), "Band"), "5 GHz (5925 MHz, channel 0)");
    EXPECT_EQ(fact(identify(wifi("x", 2484).get()), "Band"), "2.4 GHz (2484 MHz, channel 14)");
    EXPECT_EQ(fact(identify(wifi("x", 0).get()), "Band"), "0 MHz (0 MHz, channel 0)");
    EXPECT_EQ(fact(identify(wifi("x", 5180).get()), "Band"), "5 GHz (5180 MHz, channel 36)");
    EXPECT_EQ(fact(identify(wifi("x", 5955).get()), "Band"), "6 GHz (5955 MHz, channel 1)");
    EXPECT_EQ(fact(identify(wifi("x", 2412).get()), "Security"), "WPA2");
    EXPECT_EQ(fact(identify(wifi("x", 2412, {}, std::nullopt).get()), "Security"),
              "Open (no password)");

    EXPECT_EQ(ovk_wifi_channel(2412), 1);
    EXPECT_EQ(ovk_wifi_channel(2472), 13);
    EXPECT_EQ(ovk_wifi_channel(2477), 0);
    EXPECT_EQ(ovk_wifi_channel(5895), 179);
    EXPECT_EQ(ovk_wifi_channel(7115), 233);
    EXPECT_EQ(ovk_wifi_channel(7120), 0);

    EXPECT_STREQ(ovk_wifi_security("[WPA2-PSK-CCMP][SAE]"), "WPA3");
    EXPECT_STREQ(ovk_wifi_security("[RSN-PSK]"), "WPA2");
    EXPECT_STREQ(ovk_wifi_security("[WPA-PSK-TKIP]"), "WPA");
    EXPECT_STREQ(ovk_wifi_security("[WEP]"), "WEP (insecure)");
    EXPECT_STREQ(ovk_wifi_security("[OWE]"), "Enhanced Open (OWE)");
    EXPECT_STREQ(ovk_wifi_security(""), "Open (no password)");
    EXPECT_STREQ(ovk_wifi_security("[ESS]"), "Open (no password)");
}

TEST_F(IntelTest, WifiSsidKindsAndSpecificKindsStandAlone) {
    EXPECT_EQ(identify(wifi(std::nullopt, 2412).get()).type, "Hidden WiFi network");
    EXPECT_EQ(identify(wifi("", 2412).get()).type, "Hidden WiFi network");
    EXPECT_EQ(identify(wifi("Bob's iPhone", 2412).get(), "Espressif Inc.").type, "Phone hotspot");
    EXPECT_EQ(identify(wifi("DIRECT-7F-HP OfficeJet", 2412).get()).type, "WiFi Direct / printer");
    EXPECT_EQ(identify(wifi("My Car", 2412).get()).type, "Vehicle WiFi");
    EXPECT_EQ(identify(wifi("Carpet Shop", 2412).get()).type, "WiFi access point");
    // hotspot is tried before vehicle
    EXPECT_EQ(identify(wifi("Pixel car", 2412).get()).type, "Phone hotspot");
}

TEST_F(IntelTest, WifiRegistrantClassesAndDescriptors) {
    OVK_IDENTITY iot = identify(wifi("", 2412).get(), "Espressif Inc.");
    EXPECT_EQ(iot.type, "IoT / smart-home module (WiFi)");
    EXPECT_EQ(fact(iot, "Identified by"), "address registrant (IEEE)");

    OVK_IDENTITY iot_model =
        identify(wifi("", 2412, wps_ie("Espressif", "ESP32-C3")).get(), "Espressif Inc.");
    EXPECT_EQ(iot_model.type, "IoT / smart-home module (WiFi) - Espressif ESP32-C3");
    EXPECT_EQ(fact(iot_model, "AP model (WPS)"), "Espressif ESP32-C3");

    OVK_IDENTITY wps =
        identify(wifi("HomeNet", 2412, wps_ie("NETGEAR, Inc.", "R7000")).get(), "Apple, Inc.");
    EXPECT_EQ(wps.type, "WiFi access point - NETGEAR R7000");
    EXPECT_EQ(fact(wps, "Identified by"), "WPS model in the beacon");

    OVK_IDENTITY reg = identify(wifi("HomeNet", 2412).get(), "Apple, Inc.");
    EXPECT_EQ(reg.type, "WiFi access point - Apple");
    EXPECT_EQ(fact(reg, "Identified by"), "BSSID registrant (IEEE)");

    // chipset registrant: the first non-chipset element vendor names the maker
    Bytes ies = cat({vendor_ie(0x00, 0x10, 0x18), vendor_ie(0x00, 0x27, 0x22)});
    OVK_IDENTITY ubnt = identify(wifi("HomeNet", 2412, ies).get(), "Broadcom Inc.");
    EXPECT_EQ(ubnt.type, "WiFi access point - Ubiquiti");
    EXPECT_EQ(fact(ubnt, "Identified by"), "vendor-specific element in the beacon");
    EXPECT_EQ(fact(ubnt, "Equipment maker (vendor IEs)"), "Ubiquiti");
    EXPECT_EQ(fact(ubnt, "WiFi chipset (vendor IEs)"), "Broadcom");

    OVK_IDENTITY none = identify(wifi("HomeNet", 2412).get(), "Qualcomm Inc.");
    EXPECT_EQ(none.type, "WiFi access point");
    EXPECT_EQ(fact(none, "Identified by"), "(absent)");
}

// ---------------------------------------------------------------- helpers

TEST(IntelHelpers, ShortVendorCutsCorporateSuffixes) {
    EXPECT_EQ(ovk_short_vendor("Espressif Inc."), "Espressif");
    EXPECT_EQ(ovk_short_vendor("Apple, Inc."), "Apple");
    EXPECT_EQ(ovk_short_vendor("TP-LINK TECHNOLOGIES CO.,LTD."), "TP-LINK");
    EXPECT_EQ(ovk_short_vendor("Samsung Electronics Co.,Ltd"), "Samsung");
    EXPECT_EQ(ovk_short_vendor("Ubiquiti Networks Inc."), "Ubiquiti");
    EXPECT_EQ(ovk_short_vendor("Intel Corporate"), "Intel Corporate");  // no word boundary
    EXPECT_EQ(ovk_short_vendor("  Garmin  "), "Garmin");
    EXPECT_EQ(ovk_short_vendor("Inc."), "Inc");       // no separator before it: only the dot goes
    EXPECT_EQ(ovk_short_vendor(", Inc."), ", Inc.");  // nothing left: the name as given
    EXPECT_EQ(ovk_short_vendor(""), "");
    EXPECT_EQ(ovk_short_vendor("Espressif Inc.", 5), "Espr");
    EXPECT_EQ(ovk_short_vendor("Espressif Inc.", 0), "");
}

TEST(IntelHelpers, DistanceEstimateAndText) {
    auto b = ovk_advert_new("C0:00:00:00:00:01", OVK_SRC_BLE, -59, 0);
    EXPECT_NEAR(ovk_distance_m(b.get(), -59), 1.0, 1e-9);
    EXPECT_NEAR(ovk_distance_m(b.get(), -20), 0.1, 1e-12);
    EXPECT_NEAR(ovk_distance_m(b.get(), -200), 300.0, 1e-9);
    EXPECT_NEAR(ovk_distance_m(b.get(), -84), 10.0, 1e-9);
    b->has_tx_power = 1;
    b->tx_power = 4;
    EXPECT_NEAR(ovk_distance_m(b.get(), -37), 1.0, 1e-9);
    EXPECT_EQ(ovk_distance_m(b.get(), std::nan("")), 300.0);

    auto w = ovk_advert_new("24:A4:3C:00:00:01", OVK_SRC_WIFI, -40, 0);
    w->freq_mhz = 2437;
    EXPECT_NEAR(ovk_distance_m(w.get(), -40), 9.8, 0.05);
    w->freq_mhz = 0;
    EXPECT_NEAR(ovk_distance_m(w.get(), -40), 9.8, 0.05);
    EXPECT_EQ(ovk_distance_m(w.get(), 30), 0.5);
    EXPECT_EQ(ovk_distance_m(w.get(), -150), 500.0);
    EXPECT_EQ(ovk_distance_m(nullptr, -40), 0.0);

    EXPECT_EQ(ovk_format_distance(0.7), "< 1 m");
    EXPECT_EQ(ovk_format_distance(1.0), "~1 m");
    EXPECT_EQ(ovk_format_distance(4.5), "~5 m");
    EXPECT_EQ(ovk_format_distance(9.4), "~9 m");
    EXPECT_EQ(ovk_format_distance(12), "~10 m");
    EXPECT_EQ(ovk_format_distance(12.5), "~15 m");
    EXPECT_EQ(ovk_format_distance(13), "~15 m");
    EXPECT_EQ(ovk_format_distance(300), "~300 m");
    EXPECT_EQ(ovk_format_distance(std::nan("")), "< 1 m");
    EXPECT_EQ(ovk_format_distance(1e300), "~1000000000 m");
}

TEST(IntelHelpers, DeclaredPublicAddressCheck) {
    ovk_vendordb_unload();
    // the locally administered bit is reported even without vendor tables
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_PUBLIC, "02:11:22:33:44:55"), OVK_ADDR_PUBLIC_LOCAL_BIT);
    EXPECT_EQ(ovk_addr_warning(OVK_ADDR_PUBLIC, "02:11:22:33:44:55").value_or(""),
              "Declared public, but 02:11:22 is not an IEEE vendor block (the locally "
              "administered bit is set). The device probably mislabels a random address: it "
              "may change, so it is not reliably trackable.");
    EXPECT_STREQ(ovk_addr_label_checked(OVK_ADDR_PUBLIC, "02:11:22:33:44:55"),
                 "Declared public (unregistered block)");
    // without tables an unregistered block is never reported
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_PUBLIC, "F4:FF:FF:00:00:01"), OVK_ADDR_OK);

    ASSERT_EQ(ovk_vendordb_load(), 0);
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_PUBLIC, "F4:FF:FF:00:00:01"), OVK_ADDR_PUBLIC_UNREGISTERED);
    EXPECT_EQ(ovk_addr_warning(OVK_ADDR_PUBLIC, "F4:FF:FF:00:00:01").value_or(""),
              "Declared public, but no IEEE-registered vendor block covers F4:FF:FF. The device "
              "may mislabel a random address, so it may not stay the same.");
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_PUBLIC, "00:A0:C6:00:00:01"), OVK_ADDR_OK);
    EXPECT_FALSE(ovk_addr_warning(OVK_ADDR_PUBLIC, "00:A0:C6:00:00:01").has_value());
    EXPECT_STREQ(ovk_addr_label_checked(OVK_ADDR_PUBLIC, "00:A0:C6:00:00:01"),
                 ovk_addr_label(OVK_ADDR_PUBLIC));
    // only declared-public, valid addresses are examined
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_RANDOM_STATIC, "F4:FF:FF:00:00:01"), OVK_ADDR_OK);
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_PUBLIC, "02:11:22"), OVK_ADDR_OK);
    EXPECT_EQ(ovk_addr_check(OVK_ADDR_PUBLIC, "not an address"), OVK_ADDR_OK);
    ovk_vendordb_unload();
}
