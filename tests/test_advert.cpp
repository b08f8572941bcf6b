// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

OVK_ADVERT_PTR ble(const Bytes& raw, std::string_view hint = "") {
    return ovk_advert_new_ble("aa-bb-cc-dd-ee-ff", -60, raw, OVK_ADDR_PUBLIC, 1, "LE 1M", hint,
                              1000);
}

OVK_ADVERT_PTR wifi(std::optional<std::string_view> ssid, const Bytes& ies, int freq = 2412) {
    return ovk_advert_new_wifi("02:11:22:33:44:55", ssid, -50, freq, std::nullopt, std::nullopt,
                               ies, 5);
}

std::string caps(const Bytes& ies, int privacy = 0) {
    return ovk_wifi_caps_from_ies(ies, privacy);
}

// RSN element with one pairwise suite and the given AKM suite types.
Bytes rsn(std::vector<uint8_t> akms) {
    Bytes b = {0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04};
    b.push_back(static_cast<uint8_t>(akms.size()));
    b.push_back(0);
    for (uint8_t t : akms) b.insert(b.end(), {0x00, 0x0F, 0xAC, t});
    Bytes ie = {0x30, static_cast<uint8_t>(b.size())};
    ie.insert(ie.end(), b.begin(), b.end());
    return ie;
}

}  // namespace

TEST(AdvertBle, FlagsUuidAndManufacturerPayload) {
    const Bytes raw = {0x02, 0x01, 0x06, 0x03, 0x03, 0x6F, 0xFD,
                       0x05, 0xFF, 0x4C, 0x00, 0x12, 0x19};
    auto a = ble(raw);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->mac, "AA:BB:CC:DD:EE:FF");
    EXPECT_EQ(a->source, OVK_SRC_BLE);
    EXPECT_EQ(a->phy, "LE 1M");
    EXPECT_FALSE(a->name.has_value());
    ASSERT_EQ(a->uuids.size(), 1u);
    EXPECT_EQ(ovk_uuid_str(a->uuids[0]), "0000fd6f-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(ovk_uuid_short(a->uuids[0]), 0xFD6F);
    ASSERT_EQ(a->mfg.size(), 1u);
    EXPECT_EQ(a->mfg[0].cid, 0x004C);
    EXPECT_EQ(a->mfg[0].data, (Bytes{0x12, 0x19}));
    EXPECT_EQ(a->raw, raw);
    EXPECT_EQ(ovk_advert_has_uuid16(a.get(), 0xFD6F), 1);
    EXPECT_EQ(ovk_advert_has_any16(a.get(), 0xFD6F), 1);
    EXPECT_EQ(ovk_advert_has_uuid16(a.get(), 0xFD6E), 0);
    EXPECT_NE(ovk_advert_mfg(a.get(), 0x004C), nullptr);
    EXPECT_EQ(ovk_advert_mfg(a.get(), 0x0075), nullptr);
}

TEST(AdvertBle, TruncatedAndZeroLengthStructuresEndTheWalk) {
    // last structure claims 9 bytes, only 2 remain
    auto a = ble({0x03, 0x03, 0x0F, 0x18, 0x09, 0xFF, 0x4C});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->uuids.size(), 1u);
    EXPECT_TRUE(a->mfg.empty());
    // a structure ending exactly at the last byte is kept
    EXPECT_EQ(ovk_ad_parse(Bytes{0x02, 0x0A, 0xF4}, 64).size(), 1u);
    EXPECT_EQ(ovk_ad_parse(Bytes{0x03, 0x0A, 0xF4}, 64).size(), 0u);
    // zero length ends parsing though a valid structure follows
    auto b = ble({0x02, 0x0A, 0xF4, 0x00, 0x02, 0x09, 'X'});
    ASSERT_TRUE(b);
    EXPECT_EQ(b->has_tx_power, 1);
    EXPECT_EQ(b->tx_power, -12);
    EXPECT_FALSE(b->name.has_value());
    // the structure limit
    Bytes many;
    for (int i = 0; i < 100; ++i) many.insert(many.end(), {0x02, 0x01, 0x06});
    EXPECT_EQ(ovk_ad_parse(many, 64).size(), 64u);
    EXPECT_EQ(ovk_ad_parse(many, 3).size(), 3u);
    EXPECT_EQ(ovk_ad_parse({}, 64).size(), 0u);
}

TEST(AdvertBle, ManufacturerEntriesSortedAndReplaced) {
    auto a = ble({0x04, 0xFF, 0x75, 0x00, 0x01, 0x04, 0xFF, 0x4C, 0x00, 0x02,
                  0x05, 0xFF, 0x4C, 0x00, 0x03, 0x04, 0x03, 0xFF, 0xE0, 0x00});
    ASSERT_TRUE(a);
    ASSERT_EQ(a->mfg.size(), 3u);
    EXPECT_EQ(a->mfg[0].cid, 0x004C);
    EXPECT_EQ(a->mfg[0].data, (Bytes{0x03, 0x04}));
    EXPECT_EQ(a->mfg[1].cid, 0x0075);
    EXPECT_EQ(a->mfg[2].cid, 0x00E0);
    EXPECT_TRUE(a->mfg[2].data.empty());
    // a copy keeps the order and owns its bytes
    auto d = ovk_advert_dup(a.get());
    a.reset();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->mfg.size(), 3u);
    EXPECT_EQ(d->mfg[0].data, (Bytes{0x03, 0x04}));
    EXPECT_EQ(ovk_advert_dup(nullptr), nullptr);
}

TEST(AdvertBle, NamesLastWinsAndHintOnlyWithoutName) {
    auto a = ble({0x04, 0x09, 'O', 'n', 'e', 0x04, 0x08, 'T', 'w', 'o'}, "hint");
    ASSERT_TRUE(a && a->name);
    EXPECT_EQ(*a->name, "Two");
    auto b = ble({0x04, 0x08, 'O', 'n', 'e', 0x04, 0x09, 'T', 'w', 'o'});
    EXPECT_EQ(*b->name, "Two");
    auto c = ble({0x01, 0x09}, "hint");  // empty name structure
    ASSERT_TRUE(c->name);
    EXPECT_EQ(*c->name, "");
    auto d = ble({0x02, 0x01, 0x06}, "hint");
    EXPECT_EQ(*d->name, "hint");
    auto e = ble({});
    EXPECT_FALSE(e->name);
    EXPECT_TRUE(e->raw.empty());
    // an embedded NUL ends a name, as for any text field
    auto f = ble({0x05, 0x09, 'A', 0x00, 'B', 'C'});
    EXPECT_EQ(*f->name, "A");
}

TEST(AdvertBle, UuidListsAndServiceData) {
    Bytes raw = {0x06, 0x03, 0x0F, 0x18, 0x0A, 0x18, 0x99,  // two 16-bit + odd byte
                 0x05, 0x05, 0x78, 0x56, 0x34, 0x12,        // one 32-bit
                 0x11, 0x07};                               // one 128-bit
    for (int i = 0; i < 16; ++i) raw.push_back(static_cast<uint8_t>(i));
    raw.insert(raw.end(), {0x05, 0x16, 0x6F, 0xFD, 0xAA, 0xBB,        // svc 16
                           0x03, 0x16, 0x6F, 0xFD,                    // same uuid, empty data
                           0x06, 0x20, 0x01, 0x00, 0x00, 0x00, 0x7E,  // svc 32
                           0x02, 0x16, 0x01});                        // too short, skipped
    auto a = ble(raw);
    ASSERT_TRUE(a);
    ASSERT_EQ(a->uuids.size(), 4u);
    EXPECT_EQ(ovk_uuid_short(a->uuids[0]), 0x180F);
    EXPECT_EQ(ovk_uuid_short(a->uuids[1]), 0x180A);
    EXPECT_EQ(ovk_uuid_str(a->uuids[2]), "12345678-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(ovk_uuid_short(a->uuids[2]), -1);
    EXPECT_EQ(ovk_uuid_str(a->uuids[3]), "0f0e0d0c-0b0a-0908-0706-050403020100");
    ASSERT_EQ(a->svc.size(), 2u);
    EXPECT_TRUE(a->svc[0].data.empty());  // replaced by the later structure
    EXPECT_EQ(ovk_advert_svc16(a.get(), 0xFD6F), &a->svc[0]);
    EXPECT_EQ(ovk_advert_has_any16(a.get(), 0xFD6F), 1);
    EXPECT_EQ(ovk_advert_has_uuid16(a.get(), 0xFD6F), 0);
    EXPECT_EQ(ovk_uuid_str(a->svc[1].uuid), "00000001-0000-1000-8000-00805f9b34fb");
    EXPECT_EQ(a->svc[1].data, (Bytes{0x7E}));
    // the 32-bit UUID 0x0000180F is the same UUID as the 16-bit one
    EXPECT_EQ(ovk_uuid_short(a->svc[1].uuid), 0x0001);
}

TEST(AdvertBle, HostilePayloadsStayBounded) {
    // every length value with every type, and short bodies for the typed structures
    for (int type : {0x02, 0x04, 0x06, 0x07, 0x09, 0x0A, 0x16, 0x20, 0x21, 0xFF}) {
        for (int len = 1; len < 40; ++len) {
            Bytes raw = {static_cast<uint8_t>(len), static_cast<uint8_t>(type)};
            for (int k = 1; k < len; ++k) raw.push_back(0xFF);
            raw.pop_back();  // one byte short: nothing may be decoded from it
            auto a = ble(raw);
            ASSERT_TRUE(a);
            EXPECT_TRUE(a->uuids.empty() && a->svc.empty() && a->mfg.empty() && !a->name &&
                        !a->has_tx_power)
                << "type " << type << " len " << len;
        }
    }
}

TEST(AdvertLookups, AbsentAdvertGivesNothing) {
    EXPECT_EQ(ovk_advert_mfg(nullptr, 1), nullptr);
    EXPECT_EQ(ovk_advert_svc16(nullptr, 1), nullptr);
    EXPECT_EQ(ovk_advert_has_uuid16(nullptr, 1), 0);
    EXPECT_EQ(ovk_advert_has_any16(nullptr, 1), 0);
    EXPECT_EQ(ovk_advert_ie(nullptr, 0), nullptr);
    auto a = ovk_advert_new("  11:22:33:44:55:66:77:88 ", OVK_SRC_BLE, -1, 7);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->mac, "11:22:33:44:55:66");  // cut to 17
    EXPECT_EQ(a->addr_type, OVK_ADDR_UNKNOWN);
    EXPECT_EQ(a->connectable, -1);
    EXPECT_EQ(a->timestamp, 7);
}

TEST(AdvertWifi, SsidRules) {
    EXPECT_FALSE(wifi(std::nullopt, {})->name);
    EXPECT_FALSE(wifi("", {})->name);
    EXPECT_FALSE(wifi("<unknown ssid>", {})->name);
    EXPECT_FALSE(wifi("\"\"", {})->name);
    EXPECT_EQ(*wifi("\"Home\"", {})->name, "Home");
    EXPECT_EQ(*wifi("\"", {})->name, "\"");
    EXPECT_EQ(*wifi("\"open", {})->name, "\"open");
    EXPECT_EQ(*wifi("Cafe", {})->name, "Cafe");
}

TEST(AdvertWifi, ElementsAddressKindAndDerivedFields) {
    const Bytes ies = {0x00, 0x04, 'C', 'a', 'f', 'e', 45, 0x01, 0x00, 0xDD, 0x03, 0x01, 0x02};
    auto a = wifi("Cafe", ies, 5180);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->source, OVK_SRC_WIFI);
    EXPECT_EQ(a->addr_type, OVK_ADDR_WIFI_LOCAL);
    EXPECT_EQ(a->freq_mhz, 5180);
    ASSERT_EQ(a->ies.size(), 2u);  // the truncated vendor element is dropped
    EXPECT_EQ(a->ies[0].id, 0);
    EXPECT_EQ(a->ies[0].data, (Bytes{'C', 'a', 'f', 'e'}));
    EXPECT_EQ(ovk_advert_ie(a.get(), 45), &a->ies[1]);
    EXPECT_EQ(ovk_advert_ie(a.get(), 0xDD), nullptr);
    EXPECT_EQ(*a->caps, "[ESS]");
    EXPECT_EQ(*a->standard, "WiFi 4 (802.11n)");
    auto g = ovk_advert_new_wifi("00:11:22:33:44:55", "x", -40, 0, "[WEP][ESS]", "custom", {}, 0);
    EXPECT_EQ(g->addr_type, OVK_ADDR_WIFI_GLOBAL);
    EXPECT_EQ(*g->caps, "[WEP][ESS]");
    EXPECT_EQ(*g->standard, "custom");
    auto n = ovk_advert_new_wifi("zz", "x", -40, 0, std::nullopt, std::nullopt, {}, 0);
    EXPECT_EQ(n->addr_type, OVK_ADDR_UNKNOWN);
    EXPECT_FALSE(n->standard);
}

TEST(AdvertWifi, CapabilityString) {
    EXPECT_EQ(caps({}), "[ESS]");
    EXPECT_EQ(caps({}, 1), "[WEP][ESS]");
    EXPECT_EQ(caps(rsn({2, 8})), "[RSN-PSK+SAE-CCMP][ESS]");
    EXPECT_EQ(caps(rsn({8})), "[RSN-SAE-CCMP][ESS]");
    EXPECT_EQ(caps(rsn({18})), "[RSN-OWE-CCMP][ESS]");
    EXPECT_EQ(caps(rsn({1})), "[WPA2-EAP-CCMP][RSN-EAP-CCMP][ESS]");
    EXPECT_EQ(caps(rsn({2})), "[WPA2-PSK-CCMP][RSN-PSK-CCMP][ESS]");
    EXPECT_EQ(caps(rsn({18, 5})), "[RSN-OWE-CCMP][ESS]");
    EXPECT_EQ(caps({0x30, 0x02, 0x01, 0x00}, 1), "[WPA2-PSK-CCMP][RSN-PSK-CCMP][ESS]");
    const Bytes wpa = {0xDD, 0x04, 0x00, 0x50, 0xF2, 0x01};
    EXPECT_EQ(caps(wpa, 1), "[WPA-PSK-CCMP][ESS]");
    Bytes both = wpa;
    const Bytes r = rsn({8});
    both.insert(both.end(), r.begin(), r.end());
    EXPECT_EQ(caps(both), "[WPA-PSK-CCMP][RSN-SAE-CCMP][ESS]");
    // a suite of another OUI does not count; a suite running past the body is not read
    Bytes other = rsn({8});
    other[other.size() - 4] = 0x00;
    other[other.size() - 3] = 0x50;
    EXPECT_EQ(caps(other), "[WPA2-PSK-CCMP][RSN-PSK-CCMP][ESS]");
    Bytes claims = rsn({8});
    claims[2 + 12] = 5;  // five AKM suites claimed, one present
    EXPECT_EQ(caps(claims), "[RSN-SAE-CCMP][ESS]");
    Bytes huge_p = rsn({8});
    huge_p[2 + 6] = 0xFF;  // pairwise count beyond the body: no AKM read
    huge_p[2 + 7] = 0xFF;
    EXPECT_EQ(caps(huge_p), "[WPA2-PSK-CCMP][RSN-PSK-CCMP][ESS]");
    EXPECT_EQ(ovk_wifi_caps_from_ies(rsn({8}), 0, 8), "[RSN-SA");
    EXPECT_EQ(ovk_wifi_caps_from_ies({}, 0, 0), "");
}

TEST(AdvertWifi, StandardLabel) {
    EXPECT_EQ(ovk_wifi_standard_from_ies({}, 0), nullptr);
    EXPECT_STREQ(ovk_wifi_standard_from_ies({}, 2412), "Legacy (802.11a/b/g)");
    EXPECT_STREQ(ovk_wifi_standard_from_ies(Bytes{45, 0, 191, 0}, 0), "WiFi 5 (802.11ac)");
    EXPECT_STREQ(ovk_wifi_standard_from_ies(Bytes{0xFF, 1, 35, 45, 0}, 0), "WiFi 6 (802.11ax)");
    EXPECT_STREQ(ovk_wifi_standard_from_ies(Bytes{0xFF, 1, 35, 0xFF, 1, 108}, 0),
                 "WiFi 7 (802.11be)");
    EXPECT_EQ(ovk_wifi_standard_from_ies(Bytes{0xFF, 0, 0xFF, 1, 36}, 0), nullptr);
    // the element after a truncated one is never seen
    EXPECT_EQ(ovk_wifi_standard_from_ies(Bytes{0xDD, 9, 45, 0}, 0), nullptr);
}

TEST(AdvertBytes, Hex) {
    const Bytes b = {0x01, 0xAB, 0xFF};
    EXPECT_EQ(ovk_hex(b), "01ABFF");
    EXPECT_EQ(ovk_hex(b, ":"), "01:AB:FF");
    EXPECT_EQ(ovk_hex(b, ":", 9), "01:AB:FF");
    EXPECT_EQ(ovk_hex(b, ":", 8), "01:AB");
    EXPECT_EQ(ovk_hex(b, "", 7), "01ABFF");
    EXPECT_EQ(ovk_hex(b, "", 6), "01AB");
    EXPECT_EQ(ovk_hex(b, ":", 3), "01");
    EXPECT_EQ(ovk_hex(b, ":", 2), "");
    EXPECT_EQ(ovk_hex({}, ":", 100), "");
}

TEST(AdvertBytes, IntegersAsciiAndSearch) {
    const Bytes b = {0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ovk_u16le(b, 0), 0x1234u);
    EXPECT_EQ(ovk_u16le(b, 5), 0x00FFu);
    EXPECT_EQ(ovk_u16le(b, 100), 0u);
    EXPECT_EQ(ovk_i32le(b, 2), -2);
    EXPECT_EQ(ovk_i32le(b, 0), static_cast<int32_t>(0xFFFE1234u));

    const Bytes txt = {'x', ' ', 'A', 0x01, 'b', ' ', 0x00, 0x00};
    EXPECT_EQ(ovk_ascii(txt, 1, 100, 64).value_or("?"), "Ab");
    EXPECT_EQ(ovk_ascii(txt, 0, 3, 64).value_or("?"), "x A");
    EXPECT_EQ(ovk_ascii(txt, 0, 3, 2).value_or("?"), "x");
    EXPECT_FALSE(ovk_ascii(txt, 6, 2, 64));
    EXPECT_FALSE(ovk_ascii(txt, 8, 2, 64));
    EXPECT_FALSE(ovk_ascii(txt, 0, 0, 64));
    EXPECT_EQ(ovk_ascii(txt, 2, SIZE_MAX, 64).value_or("?"), "Ab");

    const Bytes hay = {0x00, 'A', 'B', 'C', 0x00};
    EXPECT_EQ(ovk_contains_ascii(hay, "BC"), 1);
    EXPECT_EQ(ovk_contains_ascii(hay, "CBA"), 1);  // spelled backwards
    EXPECT_EQ(ovk_contains_ascii(hay, "ABD"), 0);
    EXPECT_EQ(ovk_contains_ascii(hay, ""), 0);
    EXPECT_EQ(ovk_contains_ascii(hay, "ABCDEF"), 0);
    EXPECT_EQ(ovk_ad_type_name(0x09), "Complete name");
    EXPECT_EQ(ovk_ad_type_name(0xFF), "Manufacturer data");
    EXPECT_EQ(ovk_ad_type_name(0x3D), "Type 0x3D");
    EXPECT_EQ(ovk_ad_type_name(0x1FE), "Type 0xFE");
}

TEST(AdvertUuid, ParseAndText) {
    const auto u = ovk_uuid_parse("0000FD6F-0000-1000-8000-00805F9B34FB");
    ASSERT_TRUE(u);
    EXPECT_EQ(*u, ovk_uuid16(0xFD6F));
    EXPECT_EQ(ovk_uuid_parse("0000fd6f00001000800000805f9b34fb"), u);
    EXPECT_EQ(ovk_uuid_parse("--0000fd6f00001000800000805f9b34fb-"), u);
    EXPECT_FALSE(ovk_uuid_parse("0000fd6f00001000800000805f9b34f"));
    EXPECT_FALSE(ovk_uuid_parse("0000fd6f00001000800000805f9b34fb0"));
    EXPECT_FALSE(ovk_uuid_parse("0000fd6f 00001000800000805f9b34fb"));
    EXPECT_FALSE(ovk_uuid_parse(""));
    EXPECT_EQ(ovk_uuid_str(ovk_uuid_reversed(*u)), "fb349b5f-8000-0080-0010-00006ffd0000");
    EXPECT_EQ(ovk_uuid_eq(&*u, nullptr), 0);
    const OVK_UUID v = ovk_uuid16(0xFD6F);
    EXPECT_EQ(ovk_uuid_eq(&*u, &v), 1);
}

TEST(AdvertMac, NormaliseAndValidate) {
    EXPECT_EQ(ovk_mac_normalize("  aa-bb-cc-dd-ee-0f \n"), "AA:BB:CC:DD:EE:0F");
    EXPECT_EQ(ovk_mac_normalize("aabbccddee0f"), "AABBCCDDEE0F");
    EXPECT_EQ(ovk_mac_normalize("ab cd", 4), "AB");  // cut, then trailing blank removed
    EXPECT_EQ(ovk_mac_normalize(""), "");
    EXPECT_EQ(ovk_mac_is_valid("aabbccddee0f"), 0);
    EXPECT_EQ(ovk_mac_is_valid(" aa-bb-cc-dd-ee-0f "), 1);
    EXPECT_EQ(ovk_mac_is_valid("AA:BB:CC:DD:EE:0G"), 0);
    EXPECT_EQ(ovk_mac_is_valid("AA:BB:CC:DD:EE"), 0);
    EXPECT_EQ(ovk_mac_is_valid("AA.BB:CC:DD:EE:0F"), 0);
    // longer text is not an address, even though its first 17 characters are one
    EXPECT_EQ(ovk_mac_is_valid("AA:BB:CC:DD:EE:FF:00:11"), 0);
    EXPECT_EQ(ovk_mac_is_valid("AA:BB:CC:DD:EE:FFX"), 0);
    EXPECT_EQ(ovk_mac_is_valid_block("AA:BB:CC         Z"), 0);
    EXPECT_EQ(ovk_mac_hex("aa-bb-cc-dd-ee-0f"), "AABBCCDDEE0F");
    const uint8_t air[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0xA6, 0x77};
    EXPECT_EQ(ovk_mac_from_bytes(air, true), "A6:55:44:33:22:11");
    EXPECT_EQ(ovk_mac_from_bytes(air, false), "11:22:33:44:55:A6");
    EXPECT_EQ(ovk_mac_from_bytes(ovk_bytes(air, 5), false), "");

    EXPECT_EQ(ovk_mac_is_valid_block("aa:bb:cc"), 1);
    EXPECT_EQ(ovk_mac_is_valid_block("AA:BB:CC:D"), 1);
    EXPECT_EQ(ovk_mac_is_valid_block("AA:BB:CC:DD:E"), 1);
    EXPECT_EQ(ovk_mac_is_valid_block("AA:BB:CC:DD"), 0);
    EXPECT_EQ(ovk_mac_is_valid_block("AA:BB:CCD"), 0);
    EXPECT_EQ(ovk_mac_is_valid_block("AA:BB:CC:G"), 0);

    EXPECT_EQ(ovk_mac_is_randomized("02:00:00:00:00:00"), 1);
    EXPECT_EQ(ovk_mac_is_randomized("fd:00:00:00:00:00"), 0);
    EXPECT_EQ(ovk_mac_is_randomized("x2:00:00:00:00:00"), 0);
    EXPECT_EQ(ovk_addr_of_random("C0:00:00:00:00:00"), OVK_ADDR_RANDOM_STATIC);
    EXPECT_EQ(ovk_addr_of_random("40:00:00:00:00:00"), OVK_ADDR_RESOLVABLE_PRIVATE);
    EXPECT_EQ(ovk_addr_of_random("00:00:00:00:00:00"), OVK_ADDR_NON_RESOLVABLE);
    EXPECT_EQ(ovk_addr_of_random("80:00:00:00:00:00"), OVK_ADDR_UNKNOWN);
    EXPECT_EQ(ovk_addr_of_random("G0:00:00:00:00:00"), OVK_ADDR_UNKNOWN);
    EXPECT_EQ(ovk_addr_of_wifi(""), OVK_ADDR_UNKNOWN);
    EXPECT_EQ(ovk_addr_of_wifi("a"), OVK_ADDR_UNKNOWN);
}

TEST(AdvertMac, AddressKindTables) {
    EXPECT_STREQ(ovk_addr_name(OVK_ADDR_RESOLVABLE_PRIVATE), "RESOLVABLE_PRIVATE");
    EXPECT_STREQ(ovk_addr_label(OVK_ADDR_WIFI_GLOBAL), "WiFi, globally unique");
    EXPECT_STREQ(ovk_addr_trackable(OVK_ADDR_PUBLIC), "Trackable - this address never changes");
    EXPECT_STREQ(ovk_addr_name(-1), "UNKNOWN");
    EXPECT_STREQ(ovk_addr_label(7), "Unknown");
    EXPECT_STREQ(ovk_addr_trackable(99), "The scanner didn't report the address type");
}

TEST(Util, WhitespaceTrimAndCompare) {
    EXPECT_EQ(ovk_is_ws(28), 1);
    EXPECT_EQ(ovk_is_ws(' '), 1);
    EXPECT_EQ(ovk_is_ws(14), 0);
    EXPECT_EQ(ovk_is_ws(33), 0);
    EXPECT_EQ(ovk_is_blank(""), 1);
    EXPECT_EQ(ovk_is_blank(" \t\x1f"), 1);
    EXPECT_EQ(ovk_is_blank(" a "), 0);
    EXPECT_EQ(ovk_trim("\x1c  abc \r\n"), "abc");
    EXPECT_EQ(ovk_trim("  abcdef ", 4), "abc");
    EXPECT_EQ(ovk_trim("abc", 0), "");
    EXPECT_EQ(ovk_trim("   "), "");
    EXPECT_EQ(ovk_strieq("AbC", "aBc"), 1);
    EXPECT_EQ(ovk_strieq("AbC", "aBcd"), 0);
    EXPECT_EQ(ovk_streq("AbC", "abc"), 0);
    EXPECT_EQ(ovk_istarts_with("Flock-1234", "flock"), 1);
    EXPECT_EQ(ovk_istarts_with("Fl", "flock"), 0);
    EXPECT_EQ(ovk_icontains("my AXON body", "axon"), 1);
    EXPECT_EQ(ovk_icontains("abc", ""), 1);
    EXPECT_EQ(ovk_icontains("abc", "abcd"), 0);
    EXPECT_EQ(ovk_icontains("abc", "bd"), 0);
}

TEST(Util, AppendAndRound) {
    std::string s = "ab";
    ovk_appendf(s, 6, "%d", 12345);
    EXPECT_EQ(s, "ab123");
    ovk_appendf(s, 6, "x");
    EXPECT_EQ(s, "ab123");  // already full
    ovk_appendf(s, 0, "x");
    EXPECT_EQ(s, "ab123");
    std::string t;
    ovk_appendf(t, 100, "%s-%d", "a", 1);
    ovk_appendf(t, 100, "+%s", "b");
    EXPECT_EQ(t, "a-1+b");
    EXPECT_EQ(ovk_round(2.5), 3);
    EXPECT_EQ(ovk_round(-2.5), -2);
    EXPECT_EQ(ovk_round(-2.6), -3);
    EXPECT_EQ(ovk_round(2.49), 2);
    EXPECT_EQ(ovk_round(NAN), 0);
    EXPECT_EQ(ovk_round(1e300), INT_MAX);
    EXPECT_EQ(ovk_round(-1e300), INT_MIN);
}

TEST(Util, ErrorTextForEitherSign) {
    EXPECT_EQ(ovk_errno_text(ENODEV), "No such device");
    EXPECT_EQ(ovk_errno_text(-ENODEV), "No such device");
    EXPECT_EQ(ovk_errno_text(-100000), "Unknown error 100000");
    EXPECT_FALSE(ovk_errno_text(INT_MIN).empty());
}
