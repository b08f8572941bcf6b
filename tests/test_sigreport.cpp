// SPDX-License-Identifier: GPL-3.0-or-later
// The shareable signature report: content, privacy cuts and the exact layout.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ovk_advert.h"
#include "ovk_sigreport.h"

namespace {

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

OVK_ADVERT ble(const char* mac, OVK_ADDR_TYPE type) {
    OVK_ADVERT a;
    a.mac = mac;
    a.source = OVK_SRC_BLE;
    a.addr_type = type;
    return a;
}

OVK_UUID uuid128(uint8_t first) {
    OVK_UUID u;
    for (size_t i = 0; i < 16; i++) u.b[i] = static_cast<uint8_t>(first + i);
    return u;
}

std::string report(const OVK_ADVERT& a, bool randomized = false, std::string_view note = "") {
    auto r = ovk_signature_report(&a, "", "", randomized, note, "0.2.0");
    EXPECT_TRUE(r);
    return r.value_or("");
}

Json parse(const std::string& s) {
    return Json(cJSON_Parse(s.c_str()));
}

}  // namespace

TEST(SigReport, BareAdvertGivesOnlyTheFixedKeys) {
    OVK_ADVERT a = ble("a4:c1:38:00:11:22", OVK_ADDR_PUBLIC);
    EXPECT_EQ(report(a),
              "{\n"
              "  \"format\": \"orvik-signature-report/1\",\n"
              "  \"app\": \"0.2.0\",\n"
              "  \"radio\": \"BLE\",\n"
              "  \"oui\": \"A4:C1:38\",\n"
              "  \"addressType\": \"PUBLIC\"\n"
              "}");
    OVK_ADVERT r = ble("5A:11:22:33:44:55", OVK_ADDR_RESOLVABLE_PRIVATE);
    auto text = ovk_signature_report(&r, "  ", "\t", true, "   \n ", "");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "{\n"
              "  \"format\": \"orvik-signature-report/1\",\n"
              "  \"app\": \"\",\n"
              "  \"radio\": \"BLE\",\n"
              "  \"addressType\": \"RESOLVABLE_PRIVATE\"\n"
              "}");
    EXPECT_FALSE(ovk_signature_report(nullptr, "", "", false, "", ""));
}

TEST(SigReport, FullBleAdvertInExactLayout) {
    OVK_ADVERT a = ble("00:25:DF:12:34:56", OVK_ADDR_PUBLIC);
    a.name = " Cam \"X\"\tSN123456789 v12 ";
    a.connectable = 0;
    a.has_tx_power = 1;
    a.tx_power = -12;
    a.phy = "LE 1M";
    a.uuids = {ovk_uuid16(0x180F), uuid128(0xA0), ovk_uuid16(0x1809), ovk_uuid16(0x180F)};
    a.mfg = {{0x0969, {0x01}}, {0x004C, {0x12, 0x19, 0x10, 0xAB}}, {0x0075, {}}};
    a.svc = {{ovk_uuid16(0xFEAA), {0x10, 0x00, 0x03}}, {uuid128(0x00), {0xFF}}};
    auto text = ovk_signature_report(&a, "Axon Enterprise", "Body camera", false,
                                     "a bodycam, I think", "0.2.0");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "{\n"
              "  \"format\": \"orvik-signature-report/1\",\n"
              "  \"app\": \"0.2.0\",\n"
              "  \"radio\": \"BLE\",\n"
              "  \"oui\": \"00:25:DF\",\n"
              "  \"vendor\": \"Axon Enterprise\",\n"
              "  \"guessedType\": \"Body camera\",\n"
              "  \"addressType\": \"PUBLIC\",\n"
              "  \"namePattern\": \"Cam \\\"X\\\"\\tSN######### v12\",\n"
              "  \"connectable\": false,\n"
              "  \"txPower\": -12,\n"
              "  \"phy\": \"LE 1M\",\n"
              "  \"serviceUuids\": [\n"
              "    \"0x1809\",\n"
              "    \"0x180F\",\n"
              "    \"a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf\"\n"
              "  ],\n"
              "  \"manufacturerData\": [\n"
              "    {\n"
              "      \"companyId\": \"0x004C\",\n"
              "      \"length\": 4,\n"
              "      \"header\": \"1219\"\n"
              "    },\n"
              "    {\n"
              "      \"companyId\": \"0x0075\",\n"
              "      \"length\": 0,\n"
              "      \"header\": \"\"\n"
              "    },\n"
              "    {\n"
              "      \"companyId\": \"0x0969\",\n"
              "      \"length\": 1,\n"
              "      \"header\": \"01\"\n"
              "    }\n"
              "  ],\n"
              "  \"serviceData\": [\n"
              "    {\n"
              "      \"uuid\": \"0xFEAA\",\n"
              "      \"length\": 3,\n"
              "      \"header\": \"1000\"\n"
              "    },\n"
              "    {\n"
              "      \"uuid\": \"00010203-0405-0607-0809-0a0b0c0d0e0f\",\n"
              "      \"length\": 1,\n"
              "      \"header\": \"FF\"\n"
              "    }\n"
              "  ],\n"
              "  \"whatIThinkItIs\": \"a bodycam, I think\"\n"
              "}")
        << *text;
}

TEST(SigReport, ServiceDataSortsByFullUuidText) {
    // By the full text 0000feaa-... comes before 00010203-...; by the printed short
    // form "0xFEAA" it would come after.
    OVK_ADVERT a = ble("11:22:33:44:55:66", OVK_ADDR_PUBLIC);
    OVK_UUID low = uuid128(0x00);  // 00010203-...
    a.svc = {{low, {1}}, {ovk_uuid16(0xFEAA), {2}}};
    Json j = parse(report(a));
    ASSERT_TRUE(j);
    cJSON* sd = cJSON_GetObjectItemCaseSensitive(j.get(), "serviceData");
    ASSERT_EQ(cJSON_GetArraySize(sd), 2);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(sd, 0), "uuid")->valuestring, "0xFEAA");
}

TEST(SigReport, WifiBandsHiddenNetworksAndVendorElements) {
    OVK_ADVERT w;
    w.mac = "F0:9F:C2:01:02:03";
    w.source = OVK_SRC_WIFI;
    w.addr_type = OVK_ADDR_WIFI_GLOBAL;
    w.freq_mhz = 5925;
    w.name = "";
    w.caps = "[WPA2-PSK-CCMP][ESS]";
    w.standard = "802.11ax";
    w.ies = {{221, {0x00, 0x50, 0xF2, 0x04}},
             {221, {0x00, 0x10, 0x18}},
             {221, {0x00, 0x50, 0xF2, 0x02}},
             {221, {0xAA, 0xBB}},
             {48, {0x01, 0x00, 0x00}}};
    EXPECT_EQ(report(w, true),
              "{\n"
              "  \"format\": \"orvik-signature-report/1\",\n"
              "  \"app\": \"0.2.0\",\n"
              "  \"radio\": \"WIFI\",\n"
              "  \"addressType\": \"WIFI_GLOBAL\",\n"
              "  \"wifi\": {\n"
              "    \"band\": \"6 GHz\",\n"
              "    \"security\": \"[WPA2-PSK-CCMP][ESS]\",\n"
              "    \"standard\": \"802.11ax\",\n"
              "    \"hidden\": true,\n"
              "    \"vendorIeOuis\": [\n"
              "      \"00:10:18\",\n"
              "      \"00:50:F2\"\n"
              "    ]\n"
              "  }\n"
              "}");

    w.freq_mhz = 4900;
    w.name = "Cafe Wifi 2024";
    w.caps.reset();
    w.standard.reset();
    w.ies.clear();
    Json j = parse(report(w));
    ASSERT_TRUE(j);
    cJSON* wifi = cJSON_GetObjectItemCaseSensitive(j.get(), "wifi");
    EXPECT_STREQ(cJSON_GetObjectItem(wifi, "band")->valuestring, "5 GHz");
    EXPECT_STREQ(cJSON_GetObjectItem(wifi, "security")->valuestring, "");
    EXPECT_FALSE(cJSON_HasObjectItem(wifi, "standard"));
    EXPECT_FALSE(cJSON_HasObjectItem(wifi, "hidden"));
    EXPECT_FALSE(cJSON_HasObjectItem(wifi, "vendorIeOuis"));
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "namePattern")->valuestring, "Cafe Wifi ####");
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "oui")->valuestring, "F0:9F:C2");

    w.freq_mhz = 4899;
    j = parse(report(w));
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(j.get(), "wifi"), "band")->valuestring,
                 "2.4 GHz");
    w.freq_mhz = 5924;
    j = parse(report(w));
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(j.get(), "wifi"), "band")->valuestring,
                 "5 GHz");
}

TEST(SigReport, NamePatternMasksLongDigitRuns) {
    EXPECT_EQ(ovk_name_pattern("AXON-123456789"), "AXON-#########");
    EXPECT_EQ(ovk_name_pattern("  Cam 123 4567 89012x "), "Cam 123 #### #####x");
    EXPECT_EQ(ovk_name_pattern("1234"), "####");
    EXPECT_EQ(ovk_name_pattern("v1.2.3"), "v1.2.3");
    EXPECT_EQ(ovk_name_pattern(""), "");
    EXPECT_EQ(ovk_name_pattern("\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4"),
              "\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4");
}

TEST(SigReport, NoteIsTrimmedAndCutAtCharacterBoundaries) {
    std::string four_hundred;
    for (int i = 0; i < 400; i++) four_hundred += "\xC3\xA9";  // é
    std::string cut = ovk_sigreport_note("  " + four_hundred + "  ");
    EXPECT_EQ(cut.size(), 600u);
    EXPECT_EQ(cut, four_hundred.substr(0, 600));
    std::string emoji;
    for (int i = 0; i < 320; i++) emoji += "\xF0\x9F\x93\xB7";
    EXPECT_EQ(ovk_sigreport_note(emoji).size(), 1200u);
    // A character that would end past byte 1299 goes, with everything after it.
    std::string long_char = std::string(200, 'a') + "\xE2" + std::string(1200, '\x80') + "tail";
    EXPECT_EQ(ovk_sigreport_note(long_char), std::string(200, 'a'));
    // The last character that ends exactly at byte 1299 stays.
    std::string fits = std::string(100, 'a') + "\xE2" + std::string(1198, '\x80') + "b";
    EXPECT_EQ(ovk_sigreport_note(fits), fits.substr(0, 1299));
    EXPECT_EQ(ovk_sigreport_note(" \t\n "), "");
    // At most 2047 bytes are considered before cutting.
    EXPECT_EQ(ovk_sigreport_note(std::string(5000, 'z')).size(), 300u);

    OVK_ADVERT a = ble("11:22:33:44:55:66", OVK_ADDR_PUBLIC);
    Json j = parse(report(a, false, "  " + four_hundred));
    ASSERT_TRUE(j);
    EXPECT_EQ(std::string(cJSON_GetObjectItem(j.get(), "whatIThinkItIs")->valuestring),
              four_hundred.substr(0, 600));
    j = parse(report(a, false, "   "));
    EXPECT_FALSE(cJSON_HasObjectItem(j.get(), "whatIThinkItIs"));
}

TEST(SigReportWriter, EscapesAndEmptyContainers) {
    Json o(cJSON_CreateObject());
    cJSON_AddStringToObject(
        o.get(), "s", "a\"b\\c\b\f\n\r\t\x01\x1f \xE2\x80\xA8|\xE2\x80\xA9|\xE2\x80\xAA|\xC3\xA9");
    cJSON_AddItemToObject(o.get(), "e", cJSON_CreateObject());
    cJSON_AddItemToObject(o.get(), "a", cJSON_CreateArray());
    cJSON_AddNumberToObject(o.get(), "n", 3.7);
    cJSON_AddNullToObject(o.get(), "z");
    cJSON_AddStringToObject(o.get(), "k\"ey", "");
    auto text = ovk_sigreport_print(o.get());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "{\n"
              "  \"s\": \"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001f "
              "\\u2028|\\u2029|\xE2\x80\xAA|\xC3\xA9\",\n"
              "  \"e\": {},\n"
              "  \"a\": [],\n"
              "  \"n\": 3,\n"
              "  \"z\": null,\n"
              "  \"k\\\"ey\": \"\"\n"
              "}");
    // What it writes reads back.
    Json back = parse(*text);
    ASSERT_TRUE(back);
    EXPECT_STREQ(cJSON_GetObjectItem(back.get(), "s")->valuestring,
                 "a\"b\\c\b\f\n\r\t\x01\x1f \xE2\x80\xA8|\xE2\x80\xA9|\xE2\x80\xAA|\xC3\xA9");
    Json empty(cJSON_CreateArray());
    EXPECT_EQ(ovk_sigreport_print(empty.get()), "[]");
    // A cut-off U+2028 sequence at the end is copied as it is.
    Json tail(cJSON_CreateString("x\xE2\x80"));
    EXPECT_EQ(ovk_sigreport_print(tail.get()), "\"x\xE2\x80\"");
}
