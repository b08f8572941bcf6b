// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_fingerprint.h"

namespace {

using Bytes = std::vector<uint8_t>;

OVK_ADVERT_PTR ble(const Bytes& raw, const char* mac = "4A:11:22:33:44:55", int rssi = -60,
                   int connectable = 1, OVK_ADDR_TYPE t = OVK_ADDR_RESOLVABLE_PRIVATE) {
    return ovk_advert_new_ble(mac, rssi, raw, t, connectable, std::nullopt, "", 0);
}

std::string fp(const OVK_ADVERT_PTR& a, size_t outsz = 512) {
    std::string s = "stale";
    const int r = ovk_advert_fingerprint(a.get(), s, outsz);
    EXPECT_EQ(r == 0, s.empty());
    return s;
}

const Bytes kApple = {0x05, 0xFF, 0x4C, 0x00, 0x12, 0x19};

}  // namespace

TEST(AdvertFingerprint, AppleDataAloneIsNotEnough) {
    auto a = ble(kApple);
    std::string s = "stale";
    EXPECT_EQ(ovk_advert_fingerprint(a.get(), s), 0);
    EXPECT_EQ(s, "");
    Bytes raw = kApple;
    raw.insert(raw.end(), {0x03, 0x03, 0x6F, 0xFD});
    auto b = ble(raw);
    EXPECT_EQ(fp(b), "n=|u=0000fd6f-0000-1000-8000-00805f9b34fb|d=|m=76:2|t=|c=true");
    // service data alone qualifies too
    auto c = ble({0x04, 0x16, 0xAA, 0xFE, 0x10}, "4A:11:22:33:44:55", -60, 0);
    EXPECT_EQ(fp(c), "n=|u=|d=0000feaa-0000-1000-8000-00805f9b34fb:1|m=|t=|c=false");
}

TEST(AdvertFingerprint, StableAcrossAddressRssiAndDataBytes) {
    const Bytes raw1 = {0x07, 0x09, ' ',  'T',  'a',  'g',  '1',  ' ',  0x05, 0xFF, 0x24, 0x04,
                        0x01, 0x02, 0x05, 0xFF, 0x4C, 0x00, 0xAA, 0xBB, 0x02, 0x0A, 0xF4};
    Bytes raw2 = raw1;
    raw2[12] = 0x77;  // other manufacturer bytes, same length
    raw2[19] = 0x00;
    auto a = ble(raw1, "4A:00:00:00:00:01", -40, -1);
    auto b = ble(raw2, "7B:00:00:00:00:02", -90, -1);
    const std::string f = fp(a);
    EXPECT_EQ(f, "n=Tag1|u=|d=|m=1060:2,76:2|t=-12|c=");  // byte-wise order: 1060 before 76
    EXPECT_EQ(fp(b), f);
    Bytes raw3 = raw1;
    raw3[8] = 0x06;  // manufacturer data one byte longer
    raw3.insert(raw3.begin() + 14, 0x03);
    EXPECT_NE(fp(ble(raw3)), f);
}

TEST(AdvertFingerprint, ItemsSortedAndTextCut) {
    // UUIDs in reverse order of their text, a name that qualifies on its own
    auto a = ble({0x05, 0x03, 0x0F, 0x18, 0x0A, 0x18, 0x03, 0x08, 'A', 'b'});
    EXPECT_EQ(fp(a),
              "n=Ab|u=0000180a-0000-1000-8000-00805f9b34fb,0000180f-0000-1000-8000-00805f9b34fb|"
              "d=|m=|t=|c=true");
    EXPECT_EQ(fp(a, 8), "n=Ab|u=");
    std::string s;
    EXPECT_EQ(ovk_advert_fingerprint(a.get(), s, 8), 1);
}

TEST(AdvertFingerprint, WifiAndAbsentHaveNone) {
    auto w = ovk_advert_new_wifi("02:00:00:00:00:01", "Net", -50, 2412, std::nullopt, std::nullopt,
                                 {}, 0);
    std::string s = "x";
    EXPECT_EQ(ovk_advert_fingerprint(w.get(), s), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(ovk_advert_fingerprint(nullptr, s), 0);
    auto blank = ble({0x04, 0x09, ' ', '\t', ' '});
    EXPECT_EQ(ovk_advert_fingerprint(blank.get(), s), 0);  // a blank name is no name
}

TEST(AdvertFingerprint, MayRotate) {
    const Bytes raw = {0x02, 0x01, 0x06};
    EXPECT_EQ(ovk_advert_may_rotate(ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_PUBLIC).get()),
              0);
    EXPECT_EQ(
        ovk_advert_may_rotate(ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_RANDOM_STATIC).get()),
        0);
    EXPECT_EQ(ovk_advert_may_rotate(
                  ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_RESOLVABLE_PRIVATE).get()),
              1);
    EXPECT_EQ(
        ovk_advert_may_rotate(ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_NON_RESOLVABLE).get()),
        1);
    EXPECT_EQ(ovk_advert_may_rotate(ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_UNKNOWN).get()),
              1);
    auto w = ovk_advert_new_wifi("02:00:00:00:00:01", "Net", -50, 2412, std::nullopt, std::nullopt,
                                 {}, 0);
    EXPECT_EQ(ovk_advert_may_rotate(w.get()), 0);
    EXPECT_EQ(ovk_advert_may_rotate(nullptr), 0);
}

// ---------------------------------------------------------------------------------------------
// Wi-Fi access-point fingerprint
// ---------------------------------------------------------------------------------------------

#include <optional>

#include "ovk_vendordb.h"
#include "ovk_wififp.h"

namespace {

void attr(Bytes& b, unsigned type, const Bytes& v) {
    b.insert(b.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                       static_cast<uint8_t>(v.size() >> 8), static_cast<uint8_t>(v.size())});
    b.insert(b.end(), v.begin(), v.end());
}
void attr(Bytes& b, unsigned type, std::string_view s) {
    attr(b, type, Bytes(s.begin(), s.end()));
}

OVK_IE vendor_ie(const Bytes& body) {
    return OVK_IE{221, body};
}

// WPS attributes spread over vendor elements of at most `chunk` bytes each.
std::vector<OVK_IE> wps_elements(const Bytes& attrs, size_t chunk = 250) {
    std::vector<OVK_IE> ies;
    ies.push_back(OVK_IE{0, {'A', 'P'}});
    for (size_t i = 0; i < attrs.size(); i += chunk) {
        Bytes body = {0x00, 0x50, 0xF2, 0x04};
        body.insert(body.end(), attrs.begin() + static_cast<long>(i),
                    attrs.begin() + static_cast<long>(std::min(attrs.size(), i + chunk)));
        ies.push_back(vendor_ie(body));
    }
    return ies;
}

Bytes primary_type(unsigned cat, unsigned sub) {
    return {static_cast<uint8_t>(cat >> 8), static_cast<uint8_t>(cat), 0x00, 0x50, 0xF2, 0x04,
            static_cast<uint8_t>(sub >> 8), static_cast<uint8_t>(sub)};
}

class WifiFp : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ovk_vendordb_unload();
        const int r = ovk_vendordb_load([](std::string_view name) -> std::optional<std::string> {
            if (name == OVK_VENDOR_FILE_OUI)
                return std::string(
                    "001018\tBroadcom\n00904C\tEpigram, Inc.\n"
                    "A0040A\tNETGEAR\n00E04C\tREALTEK SEMICONDUCTOR CORP.\n"
                    "0050F2\tMICROSOFT CORP.\n506F9A\tWi-Fi Alliance\n"
                    "C4E984\tTP-LINK TECHNOLOGIES CO.,LTD.\n"
                    "C4E98A\tTP-LINK TECHNOLOGIES CO.,LTD.\n");
            return std::string("# empty\n");
        });
        ASSERT_EQ(r, 0);
    }
    static void TearDownTestSuite() { ovk_vendordb_unload(); }
};

}  // namespace

TEST_F(WifiFp, WpsSplitOverElements) {
    Bytes a;
    attr(a, 0x1021, "NETGEAR");
    attr(a, 0x1023, "R7000");
    attr(a, 0x1024, "R7000");
    attr(a, 0x1011, "  Nighthawk\0\0");
    attr(a, 0x1054, primary_type(6, 2));
    attr(a, 0x1012, Bytes{0x00, 0x04});  // other attributes are skipped
    const OVK_AP_INFO ap = ovk_wififp_parse(wps_elements(a, 7));
    EXPECT_EQ(ap.manufacturer, "NETGEAR");
    EXPECT_EQ(ap.model_name, "R7000");
    EXPECT_EQ(ap.model_number, "R7000");
    EXPECT_EQ(ap.device_name, "Nighthawk");
    EXPECT_STREQ(ap.device_kind, "Router");
    EXPECT_EQ(ovk_wififp_model(ap).value_or("?"), "NETGEAR R7000");  // number inside the name
}

TEST_F(WifiFp, TextRulesAndPlaceholders) {
    for (const char* p : {"default", "DEFAULT", "n/a", "N/A", "na", "router", "Router", "0000", "0",
                          "xxxx", "XxX", "123456789", "none", "Unknown", "AP", "Wireless Router"}) {
        Bytes a;
        attr(a, 0x1023, p);
        EXPECT_EQ(ovk_wififp_parse(wps_elements(a)).model_name, "") << p;
    }
    for (const char* real : {"Archer", "x1", "routers", "0001", "n/ab", "apx"}) {
        Bytes a;
        attr(a, 0x1023, real);
        EXPECT_EQ(ovk_wififp_parse(wps_elements(a)).model_name, real);
    }
    Bytes a;
    attr(a, 0x1011, "Living\troom");
    attr(a, 0x1021, std::string(80, 'M'));
    attr(a, 0x1023, "Caf\xc3\xa9 AP");
    OVK_AP_INFO ap = ovk_wififp_parse(wps_elements(a));
    EXPECT_EQ(ap.device_name, "");  // control byte inside: rejected
    EXPECT_EQ(ap.manufacturer, std::string(63, 'M'));
    EXPECT_EQ(ap.model_name, "Caf\xc3\xa9 AP");
}

TEST_F(WifiFp, AttributeWalkAndDeviceKinds) {
    Bytes a;
    attr(a, 0x1023, "First");
    attr(a, 0x1023, "Second");  // a later attribute wins
    attr(a, 0x1054, primary_type(4, 1));
    OVK_AP_INFO ap = ovk_wififp_parse(wps_elements(a));
    EXPECT_EQ(ap.model_name, "Second");
    EXPECT_STREQ(ap.device_kind, "Camera");

    for (auto [cat, sub, kind] : {std::tuple{6u, 1u, "Access point"},
                                  {6u, 5u, "Bridge"},
                                  {6u, 9u, "Network infrastructure"},
                                  {12u, 0u, "Docking device"},
                                  {1u, 0u, "Computer"}}) {
        Bytes b;
        attr(b, 0x1054, primary_type(cat, sub));
        EXPECT_STREQ(ovk_wififp_parse(wps_elements(b)).device_kind, kind);
    }
    Bytes bad;
    attr(bad, 0x1054, primary_type(4, 1));
    attr(bad, 0x1054, primary_type(13, 0));  // unknown category clears the kind
    EXPECT_EQ(ovk_wififp_parse(wps_elements(bad)).device_kind, nullptr);
    Bytes shortv;
    attr(shortv, 0x1054, Bytes{0x00, 0x04, 0x00});
    EXPECT_EQ(ovk_wififp_parse(wps_elements(shortv)).device_kind, nullptr);

    // a value running past the end stops the walk; earlier attributes stay
    Bytes t;
    attr(t, 0x1021, "Maker");
    t.insert(t.end(), {0x10, 0x23, 0x00, 0x40, 'M', 'o'});
    ap = ovk_wififp_parse(wps_elements(t));
    EXPECT_EQ(ap.manufacturer, "Maker");
    EXPECT_EQ(ap.model_name, "");
    // elements that are not WPS are not joined into the attribute stream
    std::vector<OVK_IE> ies = wps_elements(t);
    ies.insert(ies.begin() + 1, vendor_ie({0x00, 0x50, 0xF2, 0x02, 0x10, 0x23, 0x00, 0x01}));
    EXPECT_EQ(ovk_wififp_parse(ies).manufacturer, "Maker");
}

TEST_F(WifiFp, ModelString) {
    OVK_AP_INFO ap;
    ap.manufacturer = "TP-LINK";
    ap.model_name = "TP-Link Archer C7";
    ap.model_number = "7.0";
    EXPECT_EQ(ovk_wififp_model(ap).value_or("?"), "TP-Link Archer C7 7.0");
    ap.model_number = "archer";
    EXPECT_EQ(ovk_wififp_model(ap).value_or("?"), "TP-Link Archer C7");
    ap.model_name.clear();
    ap.model_number = "tp-link";
    EXPECT_EQ(ovk_wififp_model(ap).value_or("?"), "TP-LINK");  // equal parts dropped
    ap.manufacturer = "Espressif Inc.";
    ap.model_number = "ESP32";
    EXPECT_EQ(ovk_wififp_model(ap).value_or("?"), "Espressif ESP32");
    EXPECT_EQ(ovk_wififp_model(ap, 5).value_or("?"), "Espr");
    EXPECT_FALSE(ovk_wififp_model(OVK_AP_INFO{}));
}

TEST_F(WifiFp, ElementVendorsAndChipsets) {
    std::vector<OVK_IE> ies = {
        OVK_IE{0, {'x'}},
        vendor_ie({0x00, 0x50, 0xF2, 0x02, 0x01}),  // generic
        vendor_ie({0x50, 0x6F, 0x9A, 0x09}),        // generic
        vendor_ie({0x00, 0x10, 0x18, 0x02, 0x00}),  // Broadcom
        vendor_ie({0x00, 0x10, 0x18, 0x01}),        // seen
        vendor_ie({0x00, 0x90, 0x4C, 0x04}),        // Epigram
        vendor_ie({0x00, 0x90}),                    // too short
        vendor_ie({0xC4, 0xE9, 0x84}),              // TP-LINK
        vendor_ie({0xC4, 0xE9, 0x8A}),              // same name again: listed once
        vendor_ie({0x12, 0x34, 0x56}),              // unknown
        OVK_IE{0xDC, {0xA0, 0x04, 0x0A}},           // not a vendor element
    };
    const OVK_AP_INFO ap = ovk_wififp_parse(ies);
    ASSERT_EQ(ap.ie_vendors.size(), 3u);
    EXPECT_STREQ(ap.ie_vendors[0], "Broadcom");
    EXPECT_STREQ(ap.ie_vendors[1], "Epigram, Inc.");
    EXPECT_STREQ(ap.ie_vendors[2], "TP-LINK TECHNOLOGIES CO.,LTD.");
    EXPECT_EQ(ovk_wififp_is_chipset(ap.ie_vendors[0]), 1);
    EXPECT_EQ(ovk_wififp_is_chipset("REALTEK SEMICONDUCTOR CORP."), 1);
    EXPECT_EQ(ovk_wififp_is_chipset("Intel Corporate"), 1);
    EXPECT_EQ(ovk_wififp_is_chipset("Intelbras"), 0);
    EXPECT_EQ(ovk_wififp_is_chipset(ap.ie_vendors[2]), 0);
    EXPECT_EQ(ovk_wififp_is_chipset(""), 0);

    // no more than eight names, and only the first 64 distinct OUIs are looked at
    std::vector<OVK_IE> many;
    for (int k = 0; k < 64; ++k)
        many.push_back(vendor_ie({0x02, 0x00, static_cast<uint8_t>(k)}));  // unknown, local
    many.push_back(vendor_ie({0x00, 0x10, 0x18}));
    EXPECT_TRUE(ovk_wififp_parse(many).ie_vendors.empty());
    many.erase(many.begin());
    EXPECT_EQ(ovk_wififp_parse(many).ie_vendors.size(), 1u);
}

TEST(WifiSameAp, OctetRules) {
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60", "12:20:30:40:50:61"), 1);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60", "10:20:30:40:50:80"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60", "10:20:30:40:50:70"), 1);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60", "14:20:30:40:50:61"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60", "10:21:30:40:50:60"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60", "10:20:30:40:51:60"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("aa:20:30:40:50:60", "AA:20:30:40:50:60"), 0);  // same address
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50", "10:20:30:40:50:61"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:30:40:50:60:70", "10:20:30:40:50:61"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("10:20:3G:40:50:60", "10:20:30:40:50:61"), 0);
    EXPECT_EQ(ovk_wififp_same_ap("", ""), 0);
    // lenient field reading: a sign is ignored, short fields read as hex
    EXPECT_EQ(ovk_wififp_same_ap("+10:20:30:40:50:6", "10:20:30:40:50:06"), 1);
}
