// orvik-classify: input validation, the verdict object, comment lines, exit statuses, the
// regression capture in tests/data, and the built program itself.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "ovk_classify_io.h"

namespace {

using std::string;

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
        out,
        "{\"line\":2,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]}\n"
        "{\"line\":4,\"mac\":\"A4:11:62:00:00:01\",\"hits\":[{\"category\":\"NETWORK_CAMERA\","
        "\"label\":\"Arlo camera, hub or recorder\",\"confidence\":65,\"tier\":\"probable\","
        "\"evidence\":\"WiFi address in Arlo's registered block A4:11:62\",\"source\":\"IEEE "
        "registry; Public camera-beacon signature catalogue (Apache-2.0)\"}]}\n");
    std::tie(rc, out) = run_stream(
        "oops\n"
        R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":""})"
        "\n");
    EXPECT_EQ(rc, 1);  // one bad line, and the tool went on
    EXPECT_EQ(out,
              "{\"line\":1,\"error\":\"not valid JSON\"}\n"
              "{\"line\":2,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]}\n");
    std::tie(rc, out) = run_stream("");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "");
    // a NUL byte inside a line does not end the line early
    std::tie(rc, out) = run_stream(string("{\"radio\":\"BLE\",\0\"mac\":1}\nx\n", 27));
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
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
    EXPECT_EQ(out, "{\"line\":1,\"mac\":\"00:11:22:33:44:55\",\"hits\":[]}\n");
    // unreadable file, a directory, bad arguments -> 2
    EXPECT_EQ(run_tool(dir + "no-such-file.jsonl", &out), 2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(run_tool(dir, nullptr), 2);
    EXPECT_EQ(run_tool("--bogus", nullptr), 2);
    EXPECT_EQ(run_tool(one + " " + one, nullptr), 2);
    unlink(one.c_str());
}

}  // namespace
