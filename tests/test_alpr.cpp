// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Plate-camera database: query, answer parsing, download against a fake Overpass server
// on loopback, merge and cache file, nearness along a scripted drive, hostile servers.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "ovk_alpr.h"
#include "ovk_linux_http.h"
#include "ovk_test_http.h"

namespace {

const char* const kQuery =
    "[out:json][timeout:90];nwr[\"surveillance:type\"=\"ALPR\"](33.76,-84.4,33.79,-84.38);out "
    "center tags;";

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string answer_file(const char* name) {
    return read_text(std::string(OVK_SOURCE_DIR) + "/tests/data/overpass/" + name);
}

OVK_CAMERA cam(const char* id, double lat, double lon, const char* brand = "") {
    OVK_CAMERA c;
    c.osm_id = id;
    c.lat = lat;
    c.lon = lon;
    c.brand = brand;
    return c;
}

std::vector<std::string> ids(const std::vector<OVK_CAMERA>& v) {
    std::vector<std::string> out;
    for (const auto& c : v) out.push_back(c.osm_id);
    return out;
}

// Metres between two nearby points on a flat projection of the 6371 km sphere; good to
// far better than 0.1 % over a few kilometres.
double flat_metres(double lat1, double lon1, double lat2, double lon2) {
    const double k = M_PI / 180.0 * 6371000.0;
    const double dy = (lat2 - lat1) * k;
    const double dx = (lon2 - lon1) * k * std::cos((lat1 + lat2) / 2 * M_PI / 180.0);
    return std::hypot(dx, dy);
}

class Alpr : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(ovk_linux_http_init(), 0); }
    static void TearDownTestSuite() { ovk_linux_http_shutdown(); }

    void SetUp() override {
        char tmpl[] = "/tmp/ovk_alpr_XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
        ovk_alpr_unload();
        // The transport is the real HTTP client with a short time-out, so hostile
        // servers cost seconds rather than minutes.
        ovk_alpr_set_fetch([this](const std::string& url, std::optional<std::string_view> body,
                                  std::optional<std::string_view> type, int timeout_s, int* status,
                                  OVK_HTTP_FAILURE* failure, size_t max_body) {
            asked_timeout_ = timeout_s;
            return ovk_platform_http(url, body, type, fetch_timeout_s_, status, failure, max_body);
        });
    }
    void TearDown() override {
        ovk_alpr_unload();
        ovk_alpr_set_fetch(nullptr);
        ovk_alpr_set_endpoint("");
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // A fake Overpass server answering `status` and `body` to well-formed queries (and
    // 400 to anything else).
    std::unique_ptr<TestHttpServer> overpass(int status, std::string body) {
        auto srv = std::make_unique<TestHttpServer>([status, body](const TestHttpRequest& r,
                                                                   TestHttpConn& c) {
            const bool form = r.headers.count("content-type") &&
                              r.headers.at("content-type") == "application/x-www-form-urlencoded";
            if (r.method != "POST" || r.target != "/api/interpreter" || !form ||
                r.body.rfind("data=", 0) != 0) {
                c.respond(400, "bad request");
                return;
            }
            c.respond(status, body, "application/json");
        });
        ovk_alpr_set_endpoint(srv->url("/api/interpreter"));
        return srv;
    }

    std::string cache() const { return dir_ + "/known_alpr.json"; }

    std::string dir_;
    int asked_timeout_ = 0;
    int fetch_timeout_s_ = 5;
};

}  // namespace

TEST(AlprText, WarnRadiusLabelAndQuery) {
    EXPECT_EQ(ovk_alpr_warn_radius(-1), 150);
    EXPECT_EQ(ovk_alpr_warn_radius(5), 150);
    EXPECT_EQ(ovk_alpr_warn_radius(10), 200);
    EXPECT_EQ(ovk_alpr_warn_radius(22.5), 450);
    EXPECT_EQ(ovk_alpr_warn_radius(40), 600);

    OVK_CAMERA c = cam("node/1", 0, 0, "Flock Safety");
    EXPECT_EQ(ovk_camera_label(&c), "Flock Safety (ALPR)");
    c.brand.clear();
    EXPECT_EQ(ovk_camera_label(&c), "Plate reader (ALPR)");
    EXPECT_EQ(ovk_camera_label(nullptr), "Plate reader (ALPR)");

    EXPECT_EQ(ovk_alpr_query(33.76, -84.4, 33.79, -84.38), kQuery);
    EXPECT_EQ(ovk_alpr_query(45, 7, 46, 8),
              "[out:json][timeout:90];nwr[\"surveillance:type\"=\"ALPR\"](45.0,7.0,46.0,8.0);out "
              "center tags;");
}

TEST(AlprText, DirectionTexts) {
    struct {
        const char* in;
        int deg;
    } cases[] = {
        {"90;270", 90}, {"-45", 315},  {"nw", 315}, {"north", -1}, {" 360 ", 0},     {"359.9", 359},
        {"-0.5", 359},  {"720", 0},    {"", -1},    {"  ", -1},    {" ;90", -1},     {"1e2", 100},
        {"0x5A", -1},   {"inf", -1},   {"NaN", -1}, {"NNE", 22},   {"wnw", 292},     {"E", 90},
        {"1E", -1},     {"12abc", -1}, {".", -1},   {"+", -1},     {"\t s \n", 180}, {"N;S", 0},
    };
    for (const auto& t : cases)
        EXPECT_EQ(ovk_alpr_parse_direction(t.in), t.deg) << '"' << t.in << '"';
    // Only the first 63 characters count; a huge number still lands in range.
    int d = ovk_alpr_parse_direction(std::string(200, '7'));
    EXPECT_GE(d, 0);
    EXPECT_LT(d, 360);
    EXPECT_EQ(ovk_alpr_parse_direction(std::string(62, ' ') + "90"), 9);  // the 0 is cut off
}

TEST(AlprParse, EveryElementKindAndTagVariant) {
    auto cams = ovk_alpr_parse(answer_file("mixed.json"));
    ASSERT_TRUE(cams);
    ASSERT_EQ(ids(*cams), (std::vector<std::string>{"node/11001", "node/11002", "node/11003",
                                                    "node/11004", "way/220005", "relation/330006",
                                                    "node/11007", "node/11013"}));
    const auto& c = *cams;
    EXPECT_DOUBLE_EQ(c[0].lat, 33.77123);
    EXPECT_DOUBLE_EQ(c[0].lon, -84.39012);
    EXPECT_EQ(c[0].brand, "Flock Safety");
    EXPECT_EQ(c[0].operator_name, "Atlanta Police Department");
    EXPECT_EQ(c[0].has_direction, 1);
    EXPECT_EQ(c[0].direction, 90);
    EXPECT_EQ(c[1].brand, "Motorola Solutions");  // brand alone
    EXPECT_EQ(c[1].direction, 315);
    EXPECT_EQ(c[2].brand, "Flock Safety");  // manufacturer beats brand
    EXPECT_EQ(c[2].direction, 90);          // camera:direction "90;270" beats direction
    EXPECT_EQ(c[3].brand, "Genetec");       // blank manufacturer falls through
    EXPECT_EQ(c[3].operator_name, "");
    EXPECT_EQ(c[3].direction, 315);      // blank camera:direction falls through to -45
    EXPECT_DOUBLE_EQ(c[4].lat, 33.769);  // a way's centre
    EXPECT_DOUBLE_EQ(c[4].lon, -84.395);
    EXPECT_EQ(c[4].operator_name, "Georgia DOT");
    EXPECT_EQ(c[4].has_direction, 0);  // "north" is no direction
    EXPECT_EQ(c[4].direction, 0);
    EXPECT_DOUBLE_EQ(c[5].lat, 33.7733);  // a relation's centre
    EXPECT_EQ(c[5].direction, 157);
    EXPECT_EQ(c[6].brand, "");
    EXPECT_EQ(c[6].has_direction, 0);
    EXPECT_EQ(c[7].has_direction, 0);  // "0x5A"

    EXPECT_FALSE(ovk_alpr_parse("garbage"));
    EXPECT_FALSE(ovk_alpr_parse("[]"));
    EXPECT_FALSE(ovk_alpr_parse(""));
    EXPECT_FALSE(ovk_alpr_parse(R"({"elements":[)"));
    EXPECT_TRUE(ovk_alpr_parse(R"({"elements":5})")->empty());
    EXPECT_TRUE(ovk_alpr_parse("{}")->empty());
    EXPECT_TRUE(ovk_alpr_parse(answer_file("empty.json"))->empty());
    // Long texts are cut; a position or id beyond range is skipped.
    std::string long_brand(300, 'b');
    auto cut = ovk_alpr_parse(R"({"elements":[{"type":")" + std::string(100, 't') +
                              R"(","id":1,"lat":1,"lon":2,"tags":{"brand":")" + long_brand +
                              R"("}},)"
                              R"({"type":"node","id":2,"lat":1e999,"lon":2},)"
                              R"({"type":"node","id":1e300,"lat":1,"lon":2}]})");
    ASSERT_TRUE(cut);
    ASSERT_EQ(cut->size(), 1u);
    EXPECT_EQ((*cut)[0].osm_id.size(), 39u);
    EXPECT_EQ((*cut)[0].brand, std::string(63, 'b'));
}

TEST_F(Alpr, DownloadPostsTheFormEncodedQueryAndCachesTheAnswer) {
    auto srv = overpass(200, answer_file("mixed.json"));
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    EXPECT_EQ(ovk_alpr_count(), 0);
    std::string err = "unchanged";
    EXPECT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, &err), 8);
    EXPECT_EQ(err, "unchanged");
    EXPECT_EQ(asked_timeout_, 120);

    auto reqs = srv->requests();
    ASSERT_EQ(reqs.size(), 1u);
    const std::string& body = reqs[0].body;
    ASSERT_EQ(body.rfind("data=", 0), 0u);
    EXPECT_EQ(test_form_decode(body.substr(5)), kQuery);
    // Only letters, digits, "*-._", '+' for spaces and upper-case %XX escapes travel.
    EXPECT_EQ(body.substr(5).find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789*-._+%"),
              std::string::npos);
    EXPECT_NE(
        body.find(
            "%5Bout%3Ajson%5D%5Btimeout%3A90%5D%3Bnwr%5B%22surveillance%3Atype%22%3D%22ALPR%22%5D"
            "%2833.76%2C-84.4%2C33.79%2C-84.38%29%3Bout+center+tags%3B"),
        std::string::npos);

    // The cache is compact JSON with the optional keys only where known.
    std::string text = read_text(cache());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.rfind(
                  R"([{"osmId":"node/11001","lat":33.77123,"lon":-84.39012,"brand":"Flock Safety",)"
                  R"("operator":"Atlanta Police Department","direction":90},)",
                  0),
              0u)
        << text;
    EXPECT_NE(text.find(R"({"osmId":"node/11007","lat":33.772,"lon":-84.3899})"),
              std::string::npos);
    EXPECT_NE(
        text.find(R"({"osmId":"way/220005","lat":33.769,"lon":-84.395,"operator":"Georgia DOT"})"),
        std::string::npos);

    // Loading the cache gives the same cameras back.
    std::vector<OVK_CAMERA> before = ovk_alpr_cameras();
    ovk_alpr_unload();
    EXPECT_EQ(ovk_alpr_count(), 0);
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    std::vector<OVK_CAMERA> after = ovk_alpr_cameras();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(after[i].osm_id, before[i].osm_id);
        EXPECT_EQ(after[i].lat, before[i].lat);
        EXPECT_EQ(after[i].lon, before[i].lon);
        EXPECT_EQ(after[i].brand, before[i].brand);
        EXPECT_EQ(after[i].operator_name, before[i].operator_name);
        EXPECT_EQ(after[i].has_direction, before[i].has_direction);
        EXPECT_EQ(after[i].direction, before[i].direction);
    }
}

TEST_F(Alpr, DownloadReplacesTheBoxAndKeepsTheRest) {
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    std::vector<OVK_CAMERA> held{cam("node/1", 33.77, -84.39), cam("node/2", 34.5, -84.39),
                                 cam("node/3", 33.76, -84.4), cam("node/4", 33.77, -84.37)};
    ovk_alpr_set_for_test(held);
    auto srv = overpass(200, answer_file("empty.json"));
    std::string err;
    // Even an empty answer clears the box (its corner included).
    EXPECT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, &err), 0);
    EXPECT_EQ(ids(ovk_alpr_cameras()), (std::vector<std::string>{"node/2", "node/4"}));
    EXPECT_EQ(
        read_text(cache()),
        R"([{"osmId":"node/2","lat":34.5,"lon":-84.39},{"osmId":"node/4","lat":33.77,"lon":-84.37}])");

    // New cameras come after the kept ones, in answer order.
    srv = overpass(200, R"({"elements":[{"type":"node","id":9,"lat":34.5,"lon":-84.39},)"
                        R"({"type":"node","id":8,"lat":34.6,"lon":-84.3}]})");
    EXPECT_EQ(ovk_alpr_download(34.4, -84.4, 34.7, -84.2, &err), 2);
    EXPECT_EQ(ids(ovk_alpr_cameras()), (std::vector<std::string>{"node/4", "node/9", "node/8"}));
    EXPECT_EQ(ovk_alpr_count(), 3);
}

TEST_F(Alpr, FailedDownloadsChangeNothing) {
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    auto ok = overpass(200, answer_file("mixed.json"));
    ASSERT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, nullptr), 8);
    const std::string saved = read_text(cache());
    auto expect_failure = [&](const char* what, double north, const std::string& message) {
        std::string err;
        EXPECT_EQ(ovk_alpr_download(33.76, -84.4, north, -84.38, &err), -1) << what;
        EXPECT_EQ(err, message) << what;
        EXPECT_EQ(ovk_alpr_count(), 8) << what;
        EXPECT_EQ(read_text(cache()), saved) << what;
    };

    expect_failure("box too tall", 33.76 + 2.01, "Area too large - zoom in");
    EXPECT_EQ(ok->requests().size(), 1u);  // no request was made
    {
        // Exactly two degrees is accepted.
        auto empty = overpass(200, answer_file("empty.json"));
        EXPECT_EQ(ovk_alpr_download(0, 0, 2.0, 2.0, nullptr), 0);
        EXPECT_EQ(ovk_alpr_download(0, 0, 1.0, 2.01, nullptr), -1);
        EXPECT_EQ(empty->requests().size(), 1u);
        EXPECT_EQ(ovk_alpr_count(), 8);
    }
    {
        auto busy = overpass(429, answer_file("busy.html"));
        expect_failure("rate limited", 33.79,
                       "OpenStreetMap server busy (HTTP 429) - try again later");
    }
    {
        auto garbage = overpass(200, "<html>maintenance</html>");
        expect_failure("not JSON", 33.79, "Unexpected answer from the OpenStreetMap server");
    }
    {
        auto timed_out = overpass(200, answer_file("runtime_error.json"));
        expect_failure("server-side time-out", 33.79,
                       "OpenStreetMap server timed out - try again later or zoom in");
    }
    // Nobody listening.
    ovk_alpr_set_endpoint("http://127.0.0.1:" + std::to_string(ok->port()) + "/api/interpreter");
    ok.reset();
    expect_failure("no server", 33.79,
                   "Could not reach the OpenStreetMap server - check the connection");
    // No transport installed.
    ovk_alpr_set_fetch(nullptr);
    expect_failure("no transport", 33.79,
                   "Could not reach the OpenStreetMap server - check the connection");
}

TEST_F(Alpr, HostileServersNeitherCrashNorHang) {
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    std::vector<OVK_CAMERA> held{cam("node/1", 33.77, -84.39)};
    ovk_alpr_set_for_test(held);
    fetch_timeout_s_ = 2;
    TestHttpServer srv([](const TestHttpRequest& r, TestHttpConn& c) {
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
        if (r.target == "/gigantic") {
            // A well-formed start, then more than 64 MiB of elements, as fast as loopback goes.
            if (!c.send(head + R"({"elements":[)")) return;
            std::string chunk;
            while (chunk.size() < (1u << 20))
                chunk += R"({"type":"node","id":1,"lat":33.77,"lon":-84.39},)";
            for (int i = 0; i < 80 && c.send(chunk); i++) {
            }
        } else if (r.target == "/endless") {
            // A trickle that never ends.
            if (!c.send(head + R"({"elements":[)")) return;
            while (!c.stopping() && c.send(R"({"type":"node","id":1,"lat":1,"lon":1},)"))
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else if (r.target == "/stall") {
            // "200 OK", a start, then nothing.
            if (!c.send(head + R"({"elements":[)")) return;
            c.wait_closed(20000);
        } else if (r.target == "/deep") {
            c.respond(200, std::string(200000, '[') + std::string(200000, ']'));
        } else if (r.target == "/loop") {
            c.respond(302, "", "text/plain", {"Location: /loop"});
        } else if (r.target == "/elsewhere") {
            c.respond(302, "", "text/plain", {"Location: ftp://127.0.0.1:1/interpreter"});
        } else if (r.target == "/declared") {
            // Says up front that more than the cap follows.
            c.send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(OVK_ALPR_MAX_ANSWER + 10) + "\r\nConnection: close\r\n\r\n{");
        } else {
            c.respond(200, std::string(1 << 20, '\xff'));
        }
    });
    const std::string timed_out = "OpenStreetMap server timed out - try again later or zoom in";
    const std::string unexpected = "Unexpected answer from the OpenStreetMap server";
    const std::string too_large =
        "The OpenStreetMap server's answer is larger than 32 MiB - zoom in";
    // Each failure says what happened.
    const std::pair<const char*, std::string> cases[] = {
        {"/gigantic", too_large},
        {"/declared", too_large},
        {"/endless", timed_out},
        {"/stall", timed_out},
        {"/deep", unexpected},
        {"/binary", unexpected},
        {"/loop",
         "The OpenStreetMap server keeps redirecting (a redirect loop) - check the server "
         "address"},
        {"/elsewhere",
         "The OpenStreetMap server sent us to an address that is not http or https - refused"}};
    for (const auto& [path, message] : cases) {
        ovk_alpr_set_endpoint(srv.url(path));
        std::string err;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, &err), -1) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << path;
        EXPECT_EQ(err, message) << path;
        EXPECT_EQ(ids(ovk_alpr_cameras()), std::vector<std::string>{"node/1"}) << path;
    }
}

TEST_F(Alpr, LargeAnswerWithinTheCap) {
    std::string body = R"({"elements":[)";
    for (int i = 0; i < 20000; i++) {
        if (i) body += ',';
        body += R"({"type":"node","id":)" + std::to_string(i) + R"(,"lat":)" +
                std::to_string(30 + i * 1e-5) + R"(,"lon":-84.1,"tags":{"brand":"B)" +
                std::to_string(i % 7) + R"(","direction":")" + std::to_string(i % 400) + R"("}})";
    }
    body += "]}";
    auto srv = overpass(200, body);
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    EXPECT_EQ(ovk_alpr_download(29.9, -85, 31, -84, nullptr), 20000);
    auto cams = ovk_alpr_cameras();
    ASSERT_EQ(cams.size(), 20000u);
    EXPECT_EQ(cams[19999].osm_id, "node/19999");
    EXPECT_EQ(cams[19999].direction, 19999 % 400 - 360);
    ovk_alpr_unload();
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    EXPECT_EQ(ovk_alpr_count(), 20000);
}

TEST_F(Alpr, LoadSkipsDamagedEntriesAndClearDeletesTheFile) {
    EXPECT_EQ(ovk_alpr_load(""), -1);
    {
        std::ofstream f(cache());
        f << R"([{"osmId":"node/1","lat":1.5,"lon":2.5,"brand":"Flock","operator":"PD","direction":725.9},)"
             R"({"osmId":"node/2"},)"
             R"({"osmId":3,"lat":1,"lon":1},"text",null,)"
             R"({"osmId":"node/4","lat":"x","direction":"90"},)"
             R"({"osmId":"node/5","direction":-90.5},)"
             R"({"osmId":"node/6","direction":1e300}])";
    }
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    auto cams = ovk_alpr_cameras();
    ASSERT_EQ(ids(cams),
              (std::vector<std::string>{"node/1", "node/2", "node/4", "node/5", "node/6"}));
    EXPECT_EQ(cams[0].brand, "Flock");
    EXPECT_EQ(cams[0].operator_name, "PD");
    EXPECT_EQ(cams[0].direction, 5);  // out-of-range angles are wrapped
    EXPECT_EQ(cams[1].lat, 0);
    EXPECT_EQ(cams[1].has_direction, 0);
    EXPECT_EQ(cams[2].lat, 0);
    EXPECT_EQ(cams[2].has_direction, 0);
    EXPECT_EQ(cams[3].direction, 270);
    EXPECT_EQ(cams[4].has_direction, 1);
    EXPECT_GE(cams[4].direction, 0);
    EXPECT_LT(cams[4].direction, 360);

    // An invalid file gives no cameras; loading again drops what was held.
    {
        std::ofstream f(cache());
        f << "{not json";
    }
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    EXPECT_EQ(ovk_alpr_count(), 0);

    auto srv = overpass(200, answer_file("mixed.json"));
    ASSERT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, nullptr), 8);
    struct stat st;
    ASSERT_EQ(stat(cache().c_str(), &st), 0);
    ovk_alpr_clear();
    EXPECT_EQ(ovk_alpr_count(), 0);
    EXPECT_NE(stat(cache().c_str(), &st), 0);

    // Without a directory nothing is written.
    ovk_alpr_unload();
    ASSERT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, nullptr), 8);
    EXPECT_NE(stat(cache().c_str(), &st), 0);
    EXPECT_EQ(ovk_alpr_count(), 8);
}

TEST(AlprNear, OrderLimitsAndEdges) {
    std::vector<OVK_CAMERA> cams{cam("a", 50.0010, 8.0), cam("b", 50.0, 8.0),
                                 cam("c", 50.0005, 8.0), cam("d", 50.0005, 8.0),
                                 cam("far", 50.1, 8.0)};
    auto near = ovk_alpr_near(cams, 50.0, 8.0, 200, 64);
    ASSERT_EQ(near.size(), 4u);
    EXPECT_EQ(near[0].cam.osm_id, "b");
    EXPECT_EQ(near[1].cam.osm_id, "c");  // equal distances keep the stored order
    EXPECT_EQ(near[2].cam.osm_id, "d");
    EXPECT_EQ(near[3].cam.osm_id, "a");
    EXPECT_NEAR(near[3].distance_m, 111.2, 0.2);
    EXPECT_EQ(near[0].distance_m, 0);
    EXPECT_EQ(ovk_alpr_near(cams, 50.0, 8.0, 200, 2).size(), 2u);
    EXPECT_TRUE(ovk_alpr_near(cams, 50.0, 8.0, 200, 0).empty());
    EXPECT_TRUE(ovk_alpr_near({}, 50.0, 8.0, 200, 5).empty());
    // The limit is inclusive.
    EXPECT_EQ(ovk_alpr_near(cams, 50.0, 8.0, near[3].distance_m, 64).size(), 4u);
    // At 60 degrees north a degree of longitude is half as long: the box widens with it.
    const double east = 1.0 / (111195.0 * 0.5);  // degrees per metre east at 60 N
    std::vector<OVK_CAMERA> north{cam("e150", 60.0, 10.0 + 150 * east),
                                  cam("w190", 60.0, 10.0 - 190 * east),
                                  cam("e250", 60.0, 10.0 + 250 * east)};
    auto n60 = ovk_alpr_near(north, 60.0, 10.0, 200, 8);
    ASSERT_EQ(n60.size(), 2u);
    EXPECT_EQ(n60[0].cam.osm_id, "e150");
    EXPECT_NEAR(n60[0].distance_m, 150, 0.1);
    EXPECT_EQ(n60[1].cam.osm_id, "w190");
    EXPECT_NEAR(n60[1].distance_m, 190, 0.1);
}

TEST_F(Alpr, ScriptedDriveFindsTheCamerasAtTheRightDistances) {
    // Northbound at 15 m/s from (33.7600, -84.3900), one fix a second for 5 minutes.
    const double lat0 = 33.76, lon0 = -84.39;
    const double m_lat = 1.0 / 111195.0;  // degrees per metre north on the 6371 km sphere
    const double m_lon = m_lat / std::cos(lat0 * M_PI / 180.0);
    std::vector<OVK_CAMERA> cams{
        cam("node/roadside", lat0 + 500 * m_lat, lon0 + 30 * m_lon, "Flock Safety"),
        cam("node/overhead", lat0 + 1500 * m_lat, lon0),
        cam("node/offroad", lat0 + 2500 * m_lat, lon0 + 700 * m_lon),
        cam("node/sidestreet", lat0 + 3000 * m_lat, lon0 - 250 * m_lon),
        cam("node/behind", lat0 - 200 * m_lat, lon0),
    };
    ovk_alpr_set_for_test(cams);
    ASSERT_EQ(ovk_alpr_count(), 5);

    const double speed = 15;
    const double radius = ovk_alpr_warn_radius(speed);
    ASSERT_EQ(radius, 300);
    std::map<std::string, double> closest;
    std::map<std::string, int> first_seen_at, last_seen_at;
    for (int t = 0; t <= 300; t++) {
        const double lat = lat0 + speed * t * m_lat;
        auto near = ovk_alpr_near_cached(lat, lon0, radius, 64);
        // Exactly the cameras within the radius (borderline ones within 0.5 m aside),
        // nearest first, at the right distance.
        size_t must = 0, may = 0;
        for (const OVK_CAMERA& c : cams) {
            const double d = flat_metres(lat, lon0, c.lat, c.lon);
            if (std::fabs(d - radius) <= 0.5)
                may++;
            else if (d < radius)
                must++;
        }
        ASSERT_GE(near.size(), must) << "t=" << t;
        ASSERT_LE(near.size(), must + may) << "t=" << t;
        for (size_t i = 0; i < near.size(); i++) {
            const double d = flat_metres(lat, lon0, near[i].cam.lat, near[i].cam.lon);
            EXPECT_NEAR(near[i].distance_m, d, 0.5 + d * 1e-3) << near[i].cam.osm_id << " t=" << t;
            if (i) {
                EXPECT_LE(near[i - 1].distance_m, near[i].distance_m);
            }
            auto [it, fresh] = closest.emplace(near[i].cam.osm_id, near[i].distance_m);
            if (!fresh) it->second = std::min(it->second, near[i].distance_m);
            first_seen_at.emplace(near[i].cam.osm_id, t);
            last_seen_at[near[i].cam.osm_id] = t;
        }
    }
    EXPECT_EQ(closest.count("node/offroad"), 0u);
    EXPECT_NEAR(closest["node/roadside"], 30, 1.0);
    EXPECT_NEAR(closest["node/overhead"], 0, 8.0);  // fixes are 15 m apart
    EXPECT_NEAR(closest["node/sidestreet"], 250, 1.0);
    EXPECT_NEAR(closest["node/behind"], 200, 0.5);
    // The roadside camera comes into the 300 m radius about 300 m before it: t ≈ 14 s.
    EXPECT_NEAR(first_seen_at["node/roadside"], (500 - std::sqrt(300.0 * 300 - 30 * 30)) / speed,
                1.0);
    EXPECT_NEAR(first_seen_at["node/sidestreet"],
                (3000 - std::sqrt(300.0 * 300 - 250 * 250)) / speed, 1.0);
    EXPECT_EQ(first_seen_at["node/behind"], 0);
    EXPECT_EQ(last_seen_at["node/behind"], 6);     // 300 m behind after 100 m of driving
    EXPECT_EQ(last_seen_at["node/roadside"], 53);  // (500 + 298.5) / 15
}

TEST_F(Alpr, NearnessQueriesRunWhileDownloadsMerge) {
    ASSERT_EQ(ovk_alpr_load(dir_), 0);
    auto srv = overpass(200, answer_file("mixed.json"));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done.load()) {
            // Either nothing yet or the whole downloaded set: never a half-merged list.
            const size_t n = ovk_alpr_cameras().size();
            if (n != 0 && n != 8) bad++;
            auto near = ovk_alpr_near_cached(33.7712300, -84.3901200, 150, 64);
            if (!near.empty() && near[0].cam.osm_id != "node/11001") bad++;
        }
    });
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(ovk_alpr_download(33.76, -84.4, 33.79, -84.38, nullptr), 8);
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ovk_alpr_count(), 8);
}

TEST(AlprParse, IdsAboveTwoToTheFiftyThirdStayExact) {
    const auto cams = ovk_alpr_parse(
        R"({"elements":[{"type":"way","id":1234567890123456789,"center":{"lat":1,"lon":2}},)"
        R"({"type":"node","id":9007199254740993,"lat":1,"lon":2},)"
        R"({"type":"node","id":9007199254740995,"lat":1,"lon":2},)"
        R"({"type":"node","id":-9007199254740995,"lat":1,"lon":2},)"
        R"({"type":"node","id":12.5,"lat":1,"lon":2},)"
        R"({"type":"node","id":1e300,"lat":1,"lon":2},)"
        R"({"type":"node","id":"7","lat":1,"lon":2}]})");
    ASSERT_TRUE(cams);
    EXPECT_EQ(ids(*cams), (std::vector<std::string>{
                              "way/1234567890123456789", "node/9007199254740993",
                              "node/9007199254740995", "node/-9007199254740995", "node/13"}));
}

TEST(AlprParse, PositionsOffTheGlobeAndHostileShapes) {
    const auto cams =
        ovk_alpr_parse(R"({"elements":[{"type":"node","id":1,"lat":91,"lon":0},)"
                       R"({"type":"node","id":2,"lat":0,"lon":-180.5},)"
                       R"({"type":"node","id":3,"lat":-90,"lon":180},)"
                       R"({"type":"way","id":4,"center":{"lat":1e300,"lon":2}}],"elements":[]})");
    ASSERT_TRUE(cams);
    ASSERT_EQ(cams->size(), 1u);
    EXPECT_EQ((*cams)[0].osm_id, "node/3");
    // Millions of non-elements cost no memory beyond the text and give no camera; a member
    // after them is still read (the answer stays a valid object).
    std::string zeros = R"({"elements":[)";
    for (int i = 0; i < 2000000; ++i) zeros += i ? ",0" : "0";
    zeros += R"(],"remark":"ok"})";
    const auto none = ovk_alpr_parse(zeros);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    zeros.pop_back();  // no longer an object
    EXPECT_FALSE(ovk_alpr_parse(zeros));
}
