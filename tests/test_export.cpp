// SPDX-License-Identifier: GPL-3.0-or-later
// Exports: text helpers, formats checked by the programs people open them with (GDAL,
// gpsbabel, xmllint, Python's csv module), and the file writer's messages and names.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cctype>

#include "helpers/ovk_test_files.h"
#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_jsonscan.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_test_program.h"
#include "ovk_watchlist.h"

namespace {

using ovk_test::TempDir;

using CmdResult = ovk_test::CommandResult;

CmdResult run(const std::string& cmd) {
    return ovk_test::run_command(cmd);
}

void xml_ok(const std::string& path) {
    const CmdResult r = run("xmllint --noout '" + path + "'");
    EXPECT_EQ(r.rc, 0) << r.out;
}

// The CSV as Python reads it: every row must have the header's column count.
std::vector<std::vector<std::string>> py_csv(const std::string& path) {
    const CmdResult r =
        run("python3 -c 'import csv,json,sys\n"
            "rows=list(csv.reader(open(sys.argv[1],newline=\"\",encoding=\"utf-8\")))\n"
            "bad=[i for i,r in enumerate(rows) if len(r)!=len(rows[0])]\n"
            "sys.exit(\"ragged rows %s\" % bad) if bad else print(json.dumps(rows))' '" +
            path + "'");
    EXPECT_EQ(r.rc, 0) << r.out;
    std::vector<std::vector<std::string>> rows;
    OVK_JSON j = ovk_json_parse(r.out);
    if (!j) return rows;
    const cJSON* row = nullptr;
    cJSON_ArrayForEach(row, j.get()) {
        std::vector<std::string> cells;
        const cJSON* c = nullptr;
        cJSON_ArrayForEach(c, row) cells.emplace_back(c->valuestring);
        rows.push_back(std::move(cells));
    }
    return rows;
}

std::string save(const TempDir& d, const std::string& name, const std::optional<std::string>& t) {
    EXPECT_TRUE(t);
    const std::string p = d.file(name);
    ovk_test::write_file(p, t.value_or(""));
    return p;
}

// A nasty text: formula start, quotes, a comma, a newline, a control, invalid UTF-8, markup.
const std::string kNasty = "=HYPERLINK(\"x\"),a\nb\x01<c>&'\xC3\xFF\xE2\x82\xAC";

OVK_DETECTION det(int64_t id, bool pos, std::string label = "Axon body camera") {
    OVK_DETECTION d;
    d.id = id;
    d.mac = "00:25:DF:00:00:0" + std::to_string(id);
    d.label = std::move(label);
    d.source = "BLE";
    d.rssi = -60 - static_cast<int>(id);
    d.timestamp = 1700000000000 + id * 1000;
    d.has_pos = pos;
    d.lat = 45.5 + static_cast<double>(id) / 1000;
    d.lon = -73.6;
    d.category = OVK_CAT_BODY_CAM;
    d.confidence = 80;
    d.evidence = "Address is in the watchlisted block 00:25:DF";
    return d;
}

OVK_DEVICE device(const std::string& mac, int sources, bool path) {
    OVK_DEVICE d;
    d.mac = mac;
    d.sources = sources;
    d.rssi = -70;
    d.best_rssi = -60;
    d.distance_m = 3.14159;
    d.first_seen = 1700000000000;
    d.last_seen = 1700000060000;
    d.sightings = 12;
    d.addr_type = OVK_ADDR_PUBLIC;
    if (path) {
        d.path.push_back({1700000000000, 45.1, -73.1});
        d.path.push_back({1700000050000, 45.2, -73.2});
    }
    return d;
}

class Export : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    TempDir dir_;
};

TEST(ExportText, CsvFieldGuardsFormulasAndQuotes) {
    EXPECT_EQ(ovk_csv_field("=1+2"), "\"'=1+2\"");
    for (const char* s : {"+x", "-x", "@x", "\tx", "\rx"})
        EXPECT_EQ(ovk_csv_field(s), std::string("\"'") + s + "\"") << s;
    EXPECT_EQ(ovk_csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(ovk_csv_field("a=b"), "\"a=b\"");
    EXPECT_EQ(ovk_csv_field(""), "\"\"");
    // Cut to fit with the closing quote always present; a doubled quote is never split.
    EXPECT_EQ(ovk_csv_field("abcdef", 5), "\"ab\"");
    EXPECT_EQ(ovk_csv_field("a\"b", 5), "\"a\"");
    EXPECT_EQ(ovk_csv_field("abc", 2), "");
    // Invalid UTF-8 is dropped, valid sequences kept whole.
    EXPECT_EQ(ovk_csv_field("a\xC3"
                            "b\xE2\x82\xAC\xFF"),
              "\"ab\xE2\x82\xAC\"");
    EXPECT_EQ(ovk_csv_field("\xE2\x82\xAC\xE2\x82\xAC", 6), "\"\xE2\x82\xAC\"");
}

TEST(ExportText, NoExportCarriesTerminalControls) {
    // A name that would retitle the terminal and clear it, with C1 forms of the same.
    const std::string name =
        "Cam\x1b]0;owned\x07\x1b[2J\x7f\xc2\x9b"
        "31m\xc2\x85x \xc3\xa9t\xc3\xa9";
    EXPECT_EQ(ovk_csv_field(name), "\"Cam]0;owned[2J31mx \xc3\xa9t\xc3\xa9\"");
    EXPECT_EQ(ovk_csv_bare("AA\x1b[2J"), "\"AA[2J\"");
    EXPECT_EQ(ovk_csv_bare("2024-01-01 10:00:00"), "2024-01-01 10:00:00");
    EXPECT_EQ(ovk_csv_field("\x1b=1+2"), "\"=1+2\"");  // no formula guard needed: not first
    EXPECT_EQ(ovk_csv_field("=\x1b"
                            "1+2"),
              "\"'=1+2\"");  // the formula guard stays
    EXPECT_EQ(ovk_xml_escape(name), "Cam]0;owned[2J&#x7F;&#x9B;31m&#x85;x \xc3\xa9t\xc3\xa9");

    // Every export, each format: no ESC, no C1, no DEL anywhere in the file.
    OVK_DETECTION d;
    d.id = 1;
    d.mac = "00:25:DF:00:00:01";
    d.label = name;
    d.evidence = name;
    d.vendor = name;
    d.device_name = name;
    d.timestamp = 1700000000000;
    d.has_pos = 1;
    d.lat = 45.5;
    d.lon = -73.5;
    OVK_KNOWN k;
    k.mac = d.mac;
    k.name = name;
    k.note = name;
    k.vendor = name;
    k.device_type = name;
    const std::vector<OVK_DETECTION> log = {d};
    const std::vector<OVK_KNOWN> known = {k};
    const std::vector<std::optional<std::string>> texts = {
        ovk_export_log_csv(log), ovk_export_log_json(log),      ovk_export_log_kml(log),
        ovk_export_log_gpx(log), ovk_export_history_csv(known), ovk_export_history_json(known)};
    for (const auto& t : texts) {
        ASSERT_TRUE(t);
        EXPECT_EQ(t->find('\x1b'), std::string::npos) << *t;
        EXPECT_EQ(t->find('\x7f'), std::string::npos) << *t;
        EXPECT_EQ(t->find("\xc2\x9b"), std::string::npos) << *t;
        EXPECT_EQ(t->find("\xc2\x85"), std::string::npos) << *t;
        EXPECT_NE(t->find("t\xc3\xa9"), std::string::npos) << *t;
    }
    // The JSON keeps the text exactly, as escapes.
    OVK_JSON j = ovk_json_parse(*texts[1]);
    ASSERT_TRUE(cJSON_IsArray(j.get()));
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(j.get(), 0), "label")->valuestring,
                 name.c_str());
}

TEST(ExportText, XmlEscapeValidatesUtf8) {
    EXPECT_EQ(ovk_xml_escape("a<b"), "a&lt;b");
    EXPECT_EQ(ovk_xml_escape("&<>\"'"), "&amp;&lt;&gt;&quot;&apos;");
    EXPECT_EQ(ovk_xml_escape("x\xC3"), "x");
    EXPECT_EQ(ovk_xml_escape("\xC3"
                             "A"),
              "A");  // missing continuation
    EXPECT_EQ(ovk_xml_escape("\x80\xBF"
                             "a"),
              "a");  // stray continuations
    EXPECT_EQ(ovk_xml_escape("\xC0\xAF"
                             "b"),
              "b");  // overlong
    EXPECT_EQ(ovk_xml_escape("\xE0\x80\xAF"
                             "c"),
              "c");  // overlong
    EXPECT_EQ(ovk_xml_escape("\xED\xA0\x80"
                             "d"),
              "d");  // surrogate
    EXPECT_EQ(ovk_xml_escape("\xF4\x90\x80\x80"
                             "e"),
              "e");  // above U+10FFFF
    EXPECT_EQ(ovk_xml_escape("\xEF\xBF\xBE\xEF\xBF\xBF"
                             "f"),
              "f");
    EXPECT_EQ(ovk_xml_escape("t\tl\nc\r\x01\x1F"), "t\tl\nc\r");
    EXPECT_EQ(ovk_xml_escape("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7"),
              "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7");
    EXPECT_EQ(ovk_xml_escape(""), "");
}

TEST(ExportText, Times) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ovk_iso_time(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(ovk_iso_time(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(ovk_iso_time(1700000000999), "2023-11-14T22:13:20Z");
    EXPECT_EQ(ovk_local_time(1700000000999), "2023-11-14 22:13:20");
}

TEST(ExportText, Tables) {
    EXPECT_TRUE(ovk_export_supported(OVK_EXPORT_LOG, OVK_FMT_GPX));
    EXPECT_TRUE(ovk_export_supported(OVK_EXPORT_SESSION, OVK_FMT_KML));
    EXPECT_FALSE(ovk_export_supported(OVK_EXPORT_SESSION, OVK_FMT_GPX));
    EXPECT_FALSE(ovk_export_supported(OVK_EXPORT_HISTORY, OVK_FMT_KML));
    EXPECT_FALSE(ovk_export_supported(OVK_EXPORT_WATCHLIST, OVK_FMT_CSV));
    EXPECT_TRUE(ovk_export_supported(OVK_EXPORT_EVERYTHING, OVK_FMT_JSON));
    EXPECT_FALSE(ovk_export_supported(5, OVK_FMT_JSON));
    EXPECT_STREQ(ovk_export_ext(OVK_FMT_GEOJSON), "geojson");
    EXPECT_STREQ(ovk_export_ext(9), "txt");
    EXPECT_STREQ(ovk_export_mime(OVK_FMT_KML), "application/vnd.google-earth.kml+xml");
    EXPECT_STREQ(ovk_export_mime(-1), "text/plain");
    EXPECT_EQ(ovk_export_scope_parse("log"), OVK_EXPORT_LOG);
    EXPECT_EQ(ovk_export_scope_parse("Everything"), OVK_EXPORT_EVERYTHING);
    EXPECT_EQ(ovk_export_scope_parse("matches"), -1);
    EXPECT_EQ(ovk_export_format_parse("gpx"), OVK_FMT_GPX);
    EXPECT_EQ(ovk_export_format_parse("xml"), -1);
}

TEST_F(Export, LogFormatsOpenInGisAndSpreadsheetTools) {
    std::vector<OVK_DETECTION> rows = {det(1, true, kNasty), det(2, false), det(3, true)};
    rows[0].evidence = kNasty;
    rows[0].vendor = "-2+3";
    rows[0].device_name = "@SUM(A1)";
    rows[1].mac = "=cmd,|x";  // only a damaged file holds such an address
    rows[2].sensor = "car1";  // reported by a fleet sensor

    const std::string gpx = save(dir_, "log.gpx", ovk_export_log_gpx(rows));
    xml_ok(gpx);
    EXPECT_EQ(ovk_test::ogr_feature_counts(gpx).at(0), 2);  // waypoints
    const CmdResult gb = run("gpsbabel -i gpx -f '" + gpx + "' -o unicsv -F -");
    ASSERT_EQ(gb.rc, 0) << gb.out;
    EXPECT_EQ(std::count(gb.out.begin(), gb.out.end(), '\n'), 3) << gb.out;  // header + 2

    const std::string kml = save(dir_, "log.kml", ovk_export_log_kml(rows));
    xml_ok(kml);
    EXPECT_EQ(ovk_test::ogr_feature_counts(kml), std::vector<int>{2});

    const auto csv = py_csv(save(dir_, "log.csv", ovk_export_log_csv(rows)));
    ASSERT_EQ(csv.size(), 4u);
    ASSERT_EQ(csv[0].size(), 13u);
    EXPECT_EQ(csv[0][12], "sensor");
    EXPECT_EQ(csv[1][12], "");
    EXPECT_EQ(csv[3][12], "car1");
    const std::string clean = "=HYPERLINK(\"x\"),a\nb<c>&'\xE2\x82\xAC";
    EXPECT_EQ(csv[1][2], "'" + clean);  // label
    EXPECT_EQ(csv[1][7], "'-2+3");      // vendor
    EXPECT_EQ(csv[1][8], "'@SUM(A1)");  // device name
    EXPECT_EQ(csv[1][9], "'" + clean);  // evidence
    EXPECT_EQ(csv[1][10], "45.501");
    EXPECT_EQ(csv[2][1], "'=cmd,|x");
    EXPECT_EQ(csv[2][7], "");
    EXPECT_EQ(csv[2][10], "");
    EXPECT_EQ(csv[1][0], "2023-11-14 22:13:21");

    const std::optional<std::string> js = ovk_export_log_json(rows);
    ASSERT_TRUE(js);
    OVK_JSON j = ovk_json_parse(*js);
    ASSERT_TRUE(j);
    ASSERT_EQ(cJSON_GetArraySize(j.get()), 3);
    const cJSON* second = cJSON_GetArrayItem(j.get(), 1);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(second, "latitude")));
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(second, "vendor")));
    EXPECT_STREQ(cJSON_GetObjectItem(second, "category")->valuestring, "BODY_CAM");
    // Only a fleet sensor's detection carries the field.
    EXPECT_EQ(cJSON_GetObjectItem(second, "sensor"), nullptr);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(j.get(), 2), "sensor")->valuestring,
                 "car1");
}

TEST_F(Export, LogJsonKeepsEveryIdExact) {
    // Ten ids beyond 2^53, where doubles hold only every second integer.
    std::vector<OVK_DETECTION> rows;
    for (int64_t i = 0; i < 10; ++i) {
        rows.push_back(det(9007199254740993 + i, i % 2 == 0));
        rows.back().timestamp = 1700000000123 + i;
    }
    rows.push_back(det(1, false));
    rows.back().id = INT64_MAX;
    const std::optional<std::string> js = ovk_export_log_json(rows);
    ASSERT_TRUE(js);
    std::vector<int64_t> ids, times;
    OVK_JSON_SCAN sc(*js);
    OVK_JSON_FLAT flat;
    ASSERT_TRUE(sc.each_element([&](OVK_JSON_SCAN& e) {
        if (!e.read_flat(flat)) return false;
        ids.push_back(flat.i64("id", 0));
        times.push_back(flat.i64("timestamp", 0));
        return true;
    }));
    ASSERT_EQ(ids.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(ids[i], rows[i].id);
        EXPECT_EQ(times[i], rows[i].timestamp);
    }
    EXPECT_NE(js->find("9007199254740995"), std::string::npos);
    // Still JSON every reader takes.
    EXPECT_TRUE(ovk_json_parse(*js));
}

TEST_F(Export, BadPositionsStayOutOfMaps) {
    std::vector<OVK_DETECTION> rows = {det(1, true), det(2, true), det(3, true)};
    rows[1].lat = 1e308 * 10;  // infinity
    rows[2].lat = 91;
    const std::string gpx = save(dir_, "bad.gpx", ovk_export_log_gpx(rows));
    EXPECT_EQ(ovk_test::ogr_feature_counts(gpx).at(0), 1);
    EXPECT_EQ(ovk_test::ogr_feature_counts(save(dir_, "bad.kml", ovk_export_log_kml(rows))),
              std::vector<int>{1});
}

TEST_F(Export, SessionFormats) {
    OVK_DEVICE both = device("00:25:DF:00:00:01", 3, true);
    both.name = kNasty;
    both.vendor = "Taser";
    both.hits.push_back(
        ovk_hit_make(OVK_CAT_BODY_CAM, "Axon <body> camera", 85, "IEEE", "%s", "said \"hello\""));
    ovk_facts_add(both.facts, "model", "%s", "A");
    ovk_facts_add(both.facts, "model", "%s", "B");
    OVK_KNOWN known;
    known.first_seen = 1600000000000;
    known.sessions = 4;
    both.known = std::make_shared<const OVK_KNOWN>(known);
    auto adv = ovk_advert_new(both.mac, OVK_SRC_BLE, -70, 0);
    ASSERT_TRUE(adv);
    adv->mfg.push_back({0x034D, {1, 2}});
    adv->uuids.push_back(ovk_uuid16(0xFE9F));
    adv->raw = {2, 1, 6, 3, 3, 0x9F, 0xFE};
    both.advert = std::move(adv);
    OVK_REMOTE_ID drone;
    drone.uas_id = "1581F5FJD22A";
    drone.has_pos = 1;
    drone.lat = 45.5;
    drone.lon = -75.25;
    both.rid = std::make_shared<const OVK_REMOTE_ID>(drone);
    OVK_DEVICE plain = device("11:22:33:44:55:66", 1, false);

    const OVK_DEVICE_LIST list = {both, plain};
    const auto csv = py_csv(save(dir_, "s.csv", ovk_export_session_csv(list)));
    ASSERT_EQ(csv.size(), 3u);
    ASSERT_EQ(csv[0].size(), 26u);
    EXPECT_EQ(csv[1][1], "'=HYPERLINK(\"x\"),a\nb<c>&'\xE2\x82\xAC");
    EXPECT_EQ(csv[1][5], "BLE+WIFI");
    EXPECT_EQ(csv[1][8], "3.1");
    EXPECT_EQ(csv[1][12], "true");
    EXPECT_EQ(csv[1][13], "BODY_CAM");
    EXPECT_EQ(csv[1][16], "said \"hello\"");
    EXPECT_EQ(csv[1][21], "4");
    EXPECT_EQ(csv[1][22], "0x034D");
    EXPECT_EQ(csv[1][23], "0xFE9F");
    EXPECT_EQ(csv[1][24], "45.2");
    EXPECT_EQ(csv[2][1], "");
    EXPECT_EQ(csv[2][5], "BLE");
    EXPECT_EQ(csv[2][12], "false");
    EXPECT_EQ(csv[2][22], "");
    // An empty type is two double quotes, an empty name nothing at all.
    const std::optional<std::string> raw = ovk_export_session_csv({plain});
    ASSERT_TRUE(raw);
    EXPECT_NE(raw->find("\n11:22:33:44:55:66,,,\"\",\"Public (IEEE-assigned)\",BLE,"),
              std::string::npos)
        << *raw;

    const std::string kml = save(dir_, "s.kml", ovk_export_session_kml(list));
    xml_ok(kml);
    EXPECT_EQ(ovk_test::ogr_feature_counts(kml), std::vector<int>{1});
    EXPECT_NE(ovk_test::read_file(kml).find("<name>Axon &lt;body&gt; camera</name>"),
              std::string::npos);

    const std::optional<std::string> js = ovk_export_session_json(list);
    ASSERT_TRUE(js);
    // A strict reader takes the file although the name carried bytes that are not UTF-8.
    const CmdResult py =
        run("python3 -c 'import json,sys\n"
            "d=json.load(open(sys.argv[1],encoding=\"utf-8\",errors=\"strict\"))\n"
            "print(d[0][\"name\"].encode(\"utf-8\").hex())' '" +
            save(dir_, "s.json", js) + "'");
    EXPECT_EQ(py.rc, 0) << py.out;
    EXPECT_EQ(py.out, "3d48595045524c494e4b28227822292c610a62013c633e2627e282ac\n");
    OVK_JSON j = ovk_json_parse(*js);
    ASSERT_TRUE(j);
    const cJSON* d0 = cJSON_GetArrayItem(j.get(), 0);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(d0, "radios")), 2);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(d0, "facts"), "model")->valuestring, "B");
    const cJSON* m0 = cJSON_GetArrayItem(cJSON_GetObjectItem(d0, "matches"), 0);
    EXPECT_STREQ(cJSON_GetObjectItem(m0, "tier")->valuestring, "STRONG");
    EXPECT_EQ(cJSON_GetObjectItem(d0, "distanceMetersRough")->valuedouble, 3.1);
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(d0, "history"), "sessions")->valueint, 4);
    const cJSON* ad = cJSON_GetObjectItem(d0, "advertisement");
    ASSERT_TRUE(ad);
    EXPECT_STREQ(cJSON_GetObjectItem(ad, "raw")->valuestring, "02010603039FFE");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(ad, "adStructures")), 2);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(d0, "positions")), 2);
    const cJSON* rid = cJSON_GetObjectItem(d0, "remoteId");
    ASSERT_TRUE(rid);
    EXPECT_STREQ(cJSON_GetObjectItem(rid, "uasId")->valuestring, "1581F5FJD22A");
    EXPECT_EQ(cJSON_GetObjectItem(rid, "longitude")->valuedouble, -75.25);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(rid, "heightM")));
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(rid, "operatorId")));
    const cJSON* d1 = cJSON_GetArrayItem(j.get(), 1);
    EXPECT_FALSE(cJSON_GetObjectItem(d1, "remoteId"));
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(d1, "name")));
    EXPECT_FALSE(cJSON_GetObjectItem(d1, "history"));
    EXPECT_FALSE(cJSON_GetObjectItem(d1, "advertisement"));
}

TEST_F(Export, HistoryFormats) {
    OVK_KNOWN a;
    a.mac = "00:25:DF:00:00:01";
    a.name = "+SUM(1)";
    a.first_seen = 1700000000000;
    a.last_seen = 1700000100000;
    a.sessions = 2;
    a.detect_count = 5;
    a.favorite = 1;
    a.note = "line1\nline2, \"q\"";
    OVK_KNOWN b;
    b.mac = "11:22:33:44:55:66";
    const std::vector<OVK_KNOWN> rows = {a, b};
    const auto csv = py_csv(save(dir_, "h.csv", ovk_export_history_csv(rows)));
    ASSERT_EQ(csv.size(), 3u);
    ASSERT_EQ(csv[0].size(), 10u);
    EXPECT_EQ(csv[1][1], "'+SUM(1)");
    EXPECT_EQ(csv[1][8], "true");
    EXPECT_EQ(csv[1][9], a.note);
    EXPECT_EQ(csv[2][3], "");
    OVK_JSON j = ovk_json_parse(ovk_export_history_json(rows).value_or(""));
    ASSERT_TRUE(j);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(cJSON_GetArrayItem(j.get(), 0), "favorite")));
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(cJSON_GetArrayItem(j.get(), 1), "note")));
}

// Session exports gather the live registry: without any position the map is refused with
// its own message, while the table is written; once a device has a position, the KML has it.
TEST_F(Export, SessionFileFromTheRegistry) {
    TempDir data;
    ASSERT_EQ(ovk_store_open(data.path()), 0);
    ovk_registry_init();
    std::string path, err;
    const std::string out = dir_.path() + "/exports";
    const int64_t now = ovk_now_ms();
    auto a = ovk_advert_new("00:25:DF:00:00:09", OVK_SRC_BLE, -64, now);
    ASSERT_TRUE(a);
    OVK_HITS hits{ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "IEEE", "%s", "block")};
    ovk_registry_report(*a, hits, nullptr, "Taser", nullptr, nullptr, now);

    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_SESSION, OVK_FMT_KML, out, path, err), -1);
    EXPECT_EQ(err,
              "No GPS positions yet - turn on location while scanning (follower alerts or "
              "GPS tagging)");
    ASSERT_EQ(ovk_export_to_file(OVK_EXPORT_SESSION, OVK_FMT_CSV, out, path, err), 0) << err;
    EXPECT_NE(path.find("/orvik_nearby_devices_"), std::string::npos) << path;
    const auto rows = py_csv(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][0], "00:25:DF:00:00:09");

    OVK_GEO g;
    g.time = now + 1;
    g.lat = 45.42;
    g.lon = -75.69;
    ovk_registry_report(*a, hits, nullptr, "Taser", nullptr, &g, now + 1);
    ASSERT_EQ(ovk_export_to_file(OVK_EXPORT_SESSION, OVK_FMT_KML, out, path, err), 0) << err;
    EXPECT_EQ(path.substr(path.size() - 4), ".kml");
    xml_ok(path);
    EXPECT_EQ(ovk_test::ogr_feature_counts(path), std::vector<int>{1});

    ovk_registry_shutdown();
    ovk_store_close();
}

TEST_F(Export, FileWriterMessagesAndNames) {
    TempDir data;
    ASSERT_EQ(ovk_store_open(data.path()), 0);
    ovk_registry_init();
    ovk_watchlist_load(data.path());
    std::string path, err;
    const std::string out = dir_.path() + "/exports";

    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_LOG, OVK_FMT_CSV, "", path, err), -1);
    EXPECT_EQ(err, "No export directory");
    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_WATCHLIST, OVK_FMT_CSV, out, path, err), -1);
    EXPECT_EQ(err, "Format not available for this export");
    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_LOG, OVK_FMT_CSV, out, path, err), -1);
    EXPECT_EQ(err, "No matches logged yet");
    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_SESSION, OVK_FMT_JSON, out, path, err), -1);
    EXPECT_EQ(err, "No devices heard yet - start scanning first");
    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_HISTORY, OVK_FMT_CSV, out, path, err), -1);
    EXPECT_EQ(err, "No device history yet");
    EXPECT_FALSE(ovk_test::file_exists(out));

    ASSERT_EQ(ovk_store_add_detection(det(1, false)), 0);
    EXPECT_EQ(ovk_export_to_file(OVK_EXPORT_LOG, OVK_FMT_GPX, out, path, err), -1);
    EXPECT_EQ(err, "No GPS-tagged matches yet - turn on GPS tagging in Settings");
    ASSERT_EQ(ovk_export_to_file(OVK_EXPORT_LOG, OVK_FMT_CSV, out, path, err), 0) << err;
    // ".../exports/orvik_matches_YYYYMMDD_HHMMSS.csv"
    const std::string head = out + "/orvik_matches_";
    ASSERT_EQ(path.size(), head.size() + 19) << path;
    EXPECT_EQ(path.substr(0, head.size()), head);
    const std::string stamp = path.substr(head.size(), 15);
    EXPECT_EQ(path.substr(head.size() + 15), ".csv");
    for (size_t i = 0; i < stamp.size(); ++i)
        EXPECT_TRUE(i == 8 ? stamp[i] == '_' : std::isdigit(static_cast<unsigned char>(stamp[i])))
            << path;
    EXPECT_EQ(py_csv(path).size(), 2u);
    std::string again;
    ASSERT_EQ(ovk_export_to_file(OVK_EXPORT_LOG, OVK_FMT_CSV, out, again, err), 0);
    EXPECT_NE(again, path);  // never overwrites an earlier export
    EXPECT_TRUE(ovk_test::file_exists(path));

    OVK_OUI_ENTRY e;
    e.prefix = "00:25:DF";
    e.label = "mine";
    ASSERT_EQ(ovk_watchlist_add_custom(e), 0);
    ASSERT_EQ(ovk_export_to_file(OVK_EXPORT_WATCHLIST, OVK_FMT_JSON, out, path, err), 0);
    EXPECT_NE(path.find("orvik_watchlist_"), std::string::npos);
    EXPECT_EQ(ovk_watchlist_parse(ovk_test::read_file(path))->size(), 1u);

    ASSERT_EQ(ovk_export_to_file(OVK_EXPORT_EVERYTHING, OVK_FMT_JSON, out, path, err), 0);
    OVK_JSON all = ovk_json_parse(ovk_test::read_file(path));
    ASSERT_TRUE(all);
    EXPECT_STREQ(cJSON_GetObjectItem(all.get(), "exportedBy")->valuestring, "Orvik 0.2.0-trixie");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(all.get(), "matchLog")), 1);
    const cJSON* w = cJSON_GetArrayItem(cJSON_GetObjectItem(all.get(), "watchlist"), 0);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(w, "score")));
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(w, "category")));

    // A directory that cannot be created.
    ovk_test::write_file(dir_.file("file"), "x");
    EXPECT_EQ(
        ovk_export_to_file(OVK_EXPORT_LOG, OVK_FMT_CSV, dir_.file("file") + "/sub", path, err), -1);
    EXPECT_EQ(err, "Cannot create " + dir_.file("file") + "/sub");

    ovk_watchlist_unload();
    ovk_registry_shutdown();
    ovk_store_close();
}

}  // namespace
