// SPDX-License-Identifier: GPL-3.0-or-later
// orvik --alpr-download S,W,N,E: the plate-camera cache filled without a screen, from a fake
// Overpass server on loopback, alone or before a board run; boxes that are not one are
// refused before anything starts, and a download that fails, or whose cameras cannot be
// written to the cache, says so in its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_app_util.h"
#include "ovk_headless.h"
#include "ovk_test_files.h"
#include "ovk_test_http.h"
#include "ovk_test_program.h"

namespace {

// The test answer lies in central Atlanta.
const std::string kBox = "33.76,-84.40,33.79,-84.38";

std::string orvik() {
    return std::string(OVK_BINARY_DIR) + "/orvik";
}

std::string answer_file(const char* name) {
    return ovk_test::read_file(std::string(OVK_SOURCE_DIR) + "/tests/data/overpass/" + name);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// A fake Overpass endpoint: `status` and `body` for a well-formed query, 400 otherwise.
TestHttpServer::Handler overpass(int status, std::string body) {
    return [status, body](const TestHttpRequest& r, TestHttpConn& c) {
        const bool form = r.headers.count("content-type") &&
                          r.headers.at("content-type") == "application/x-www-form-urlencoded";
        if (r.method != "POST" || r.target != "/api/interpreter" || !form ||
            r.body.rfind("data=", 0) != 0) {
            c.respond(400, "bad request");
            return;
        }
        c.respond(status, body, "application/json");
    };
}

class HeadlessAlpr : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
        ASSERT_EQ(ovk_mkdirs(data()), 0);
    }
    std::string data() const { return dir_.file("data/orvik"); }
    std::string cache() const { return data() + "/known_alpr.json"; }
    void use_server(const TestHttpServer& srv) {
        ovk_test::write_file(data() + "/settings.json",
                             R"({"overpass_url":")" + srv.url("/api/interpreter") + R"("})");
    }
    ovk_test::ProgramRun run(std::vector<std::string> args, int deadline_s = 60) {
        ovk_test::ProgramLaunch l;
        l.exe = orvik();
        l.args = std::move(args);
        l.env = {"HOME=" + dir_.path(), "XDG_DATA_HOME=" + dir_.file("data"),
                 std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets"};
        l.out_dir = dir_.path();
        l.deadline_s = deadline_s;
        return ovk_test::run_program(l);
    }
    // The osmId of every camera in the cache file.
    std::set<std::string> cached_ids() const {
        std::set<std::string> ids;
        const OVK_JSON j = ovk_json_parse(ovk_test::read_file(cache()));
        const cJSON* c = nullptr;
        cJSON_ArrayForEach(c, j.get()) {
            const cJSON* id = cJSON_GetObjectItemCaseSensitive(c, "osmId");
            if (cJSON_IsString(id)) ids.insert(id->valuestring);
        }
        return ids;
    }
    ovk_test::TempDir dir_;
};

TEST_F(HeadlessAlpr, BoxesThatAreNotOneAreRefusedBeforeAnythingStarts) {
    OVK_GEO_BOX b;
    EXPECT_EQ(ovk_headless_parse_box("33.76,-84.40,33.79,-84.38", b), "");
    EXPECT_DOUBLE_EQ(b.south, 33.76);
    EXPECT_DOUBLE_EQ(b.west, -84.40);
    EXPECT_DOUBLE_EQ(b.north, 33.79);
    EXPECT_DOUBLE_EQ(b.east, -84.38);
    // Exactly 2 degrees each way is allowed; blanks and a '+' are fine for people.
    EXPECT_EQ(ovk_headless_parse_box("44,-76,46,-74", b), "");
    EXPECT_EQ(ovk_headless_parse_box(" 45.4 , +-75.7 ,45.5, -75.6 ", b).substr(0, 12),
              "a box is fou");
    EXPECT_EQ(ovk_headless_parse_box(" 45.4 , -75.7 ,+45.5, -75.6 ", b), "");
    EXPECT_DOUBLE_EQ(b.north, 45.5);
    EXPECT_EQ(ovk_headless_parse_box("-90,-180,-88,-178", b), "");

    const std::string usage =
        "a box is four numbers S,W,N,E in degrees (south, west, north, east), e.g. "
        "45.40,-75.72,45.44,-75.66";
    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "1,,3,4", "a,b,c,d", "1e1,2,3,4", "nan,0,1,1",
                            "0,0,inf,1", "45.4;-75.7;45.5;-75.6", "0x1,0,2,1"})
        EXPECT_EQ(ovk_headless_parse_box(bad, b), usage) << bad;
    EXPECT_EQ(ovk_headless_parse_box("89,0,91,1", b),
              "latitudes (south, north) run from -90 to 90");
    EXPECT_EQ(ovk_headless_parse_box("0,179,1,181", b),
              "longitudes (west, east) run from -180 to 180");
    EXPECT_EQ(ovk_headless_parse_box("45.5,-75.7,45.4,-75.6", b),
              "south (45.5) must lie below north (45.4)");
    EXPECT_EQ(ovk_headless_parse_box("45,1,45,2", b), "south (45) must lie below north (45)");
    EXPECT_EQ(ovk_headless_parse_box("-17,179.5,-16,-179.5", b).substr(0, 42),
              "west (179.5) must lie west of east (-179.5");
    EXPECT_EQ(ovk_headless_parse_box("44,-76,46.01,-75", b),
              "area too large: 2.01 by 1 degrees; at most 2 each way can be downloaded at once");
    EXPECT_DOUBLE_EQ(b.north, -88) << "a refused box leaves the last good one";

    // The program refuses before it starts: no data written, no request sent, status 2,
    // alone or with --headless.
    TestHttpServer srv(overpass(200, answer_file("mixed.json")));
    use_server(srv);
    for (const bool headless : {false, true}) {
        std::vector<std::string> args = {"--alpr-download", "44,-76,46.5,-75"};
        if (headless) args.insert(args.begin(), {"--headless", "--demo", "--duration", "60"});
        const ovk_test::ProgramRun r = run(args, 20);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_EQ(r.err,
                  "orvik: --alpr-download 44,-76,46.5,-75: area too large: 2.5 by 1 degrees; at "
                  "most 2 each way can be downloaded at once\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(srv.requests().empty());
    EXPECT_FALSE(ovk_test::file_exists(cache()));
}

TEST_F(HeadlessAlpr, DownloadFillsTheCacheAloneOrBeforeABoardRun) {
    const std::string answer = answer_file("mixed.json");
    const auto expected = ovk_alpr_parse(answer);
    ASSERT_TRUE(expected && !expected->empty());
    TestHttpServer srv(overpass(200, answer));
    use_server(srv);

    // Alone: no window, no scanning; the cameras are in the cache when it returns.
    const ovk_test::ProgramRun r = run({"--alpr-download", kBox});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const size_t n = expected->size();
    EXPECT_EQ(r.out, "alpr-download " + kBox + ": " + std::to_string(n) +
                         " plate cameras in this area (" + std::to_string(n) +
                         " known in all, in " + cache() + ")\n");
    std::set<std::string> want;
    for (const OVK_CAMERA& c : *expected) want.insert(c.osm_id);
    EXPECT_EQ(cached_ids(), want);
    ASSERT_EQ(srv.requests().size(), 1u);
    EXPECT_EQ(test_form_decode(srv.requests()[0].body.substr(5)),
              ovk_alpr_query(33.76, -84.40, 33.79, -84.38));
    EXPECT_FALSE(ovk_test::file_exists(data() + "/detections.jsonl")) << "nothing was scanned";

    // Before a board run on the demo feed, over a box next to the first: the cameras of the
    // first box stay, those of the second are added, and the run goes on as asked.
    TestHttpServer second(
        overpass(200, R"({"elements":[{"type":"node","id":77,"lat":33.70,"lon":-84.30,)"
                      R"("tags":{"surveillance:type":"ALPR","brand":"Motorola"}}]})"));
    use_server(second);
    const ovk_test::ProgramRun b = run(
        {"--headless", "--demo", "--duration", "2", "--alpr-download", "33.6,-84.35,33.75,-84.2"});
    EXPECT_EQ(b.status, 0) << b.err;
    const auto out = lines_of(b.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], "alpr-download 33.6,-84.35,33.75,-84.2: 1 plate camera in this area (" +
                          std::to_string(n + 1) + " known in all, in " + cache() + ")");
    EXPECT_NE(b.out.find("Axon body camera"), std::string::npos) << "the demo ran after it";
    want.insert("node/77");
    EXPECT_EQ(cached_ids(), want);
}

TEST_F(HeadlessAlpr, AFailedDownloadOrAnUnwritableCacheEndsWithStatus1) {
    TestHttpServer busy(overpass(429, answer_file("busy.html")));
    use_server(busy);
    ovk_test::write_file(cache(), R"([{"osmId":"node/5","lat":33.77,"lon":-84.39}])");
    ovk_test::ProgramRun r = run({"--alpr-download", kBox});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "alpr-download " + kBox +
                         " failed: OpenStreetMap server busy (HTTP 429) - try again later\n");
    EXPECT_EQ(cached_ids(), std::set<std::string>{"node/5"}) << "a failed download changes nothing";

    // A board run goes on after a failed download and its status says so at the end.
    r = run({"--headless", "--demo", "--duration", "1", "--alpr-download", kBox});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Axon body camera"), std::string::npos) << r.out;

    // The answer arrives but the cache cannot be written (its temporary twin's name is
    // taken by a folder): the cameras would be gone at the next start, so it is a failure.
    TestHttpServer ok(overpass(200, answer_file("mixed.json")));
    use_server(ok);
    ASSERT_EQ(::mkdir((cache() + ".tmp").c_str(), 0755), 0);
    r = run({"--alpr-download", kBox});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("failed: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(cache() + " could not be written"), std::string::npos) << r.out;
    EXPECT_EQ(cached_ids(), std::set<std::string>{"node/5"});
}

}  // namespace
