// SPDX-License-Identifier: GPL-3.0-or-later
// Large JSON files read in time linear in their size, whatever their strings hold, and a
// stop during such a load ends the program at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "ovk_alpr.h"
#include "ovk_jsonscan.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"

using ovk_test::read_file;
using ovk_test::TempDir;
using ovk_test::write_file;

namespace {

// `n` remembered devices as the store writes them: names, notes, nulls and plain records
// mixed; only the very last note holds an escape (a backslash far from every other string).
std::vector<OVK_KNOWN> devices(int n) {
    std::vector<OVK_KNOWN> rows;
    rows.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        OVK_KNOWN k;
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:%02X:%02X:%02X:%02X:%02X", (i >> 24) & 0xff,
                      (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff, i % 7);
        k.mac = mac;
        k.first_seen = 1700000000000 + i;
        k.last_seen = k.first_seen + 60000;
        k.sessions = 1 + i % 9;
        k.detect_count = i % 40;
        if (i % 3 == 0) k.name = "Phone " + std::to_string(i);
        if (i % 4 == 0) k.vendor = "Apple, Inc.";
        if (i % 5 == 0) k.device_type = "Phone";
        if (i % 7 == 0) k.note = "seen at the gym, parked near the red car";
        k.favorite = i % 11 == 0;
        rows.push_back(std::move(k));
    }
    rows.back().note = "last one\nwith a line break";
    return rows;
}

// An Overpass answer of `n` cameras whose only backslash is in the last element.
std::string answer(int n) {
    std::string s = R"({"version":0.6,"generator":"Overpass API","elements":[)";
    for (int i = 0; i < n; ++i) {
        if (i) s += ',';
        s += R"({"type":"node","id":)" + std::to_string(1000000 + i) + R"(,"lat":33.)" +
             std::to_string(100000 + i) +
             R"(,"lon":-84.39,"tags":{"manufacturer":"Flock Safety","operator":"Police",)"
             R"("camera:direction":"NW","surveillance:type":"ALPR"}})";
    }
    return s + R"(],"remark":"done\t"})";
}

// Runs `fn` in a child process allowed `cpu_s` seconds of processor time; true when it ended
// by itself with status 0. A reader that is quadratic in the size of these inputs needs hours
// (each string costs the rest of the text); a linear one a fraction of a second.
template <class F>
bool within_cpu(int cpu_s, F&& fn) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const rlimit lim{static_cast<rlim_t>(cpu_s), static_cast<rlim_t>(cpu_s + 5)};
        setrlimit(RLIMIT_CPU, &lim);
        _exit(fn() ? 0 : 1);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return false;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

TEST(JsonScan, LargeFilesReadInTimeLinearInTheirSize) {
    const std::vector<OVK_KNOWN> rows = devices(100000);
    const std::optional<std::string> text = ovk_store_known_text(rows);
    ASSERT_TRUE(text);
    ASSERT_GT(text->size(), 8u << 20);
    EXPECT_TRUE(within_cpu(60, [&] {
        const std::vector<OVK_KNOWN> back = ovk_store_parse_known(*text);
        return back.size() == rows.size() && back.back().note == rows.back().note &&
               back[21].name == "Phone 21" && back[21].note == rows[21].note &&
               back[1].name.empty() && back.back().mac == rows.back().mac;
    })) << "reading 100,000 remembered devices did not finish in a minute of CPU";

    const std::string a = answer(40000);
    EXPECT_TRUE(within_cpu(60, [&] {
        const auto cams = ovk_alpr_parse(a);
        return cams && cams->size() == 40000u && cams->back().osm_id == "node/1039999";
    })) << "reading an answer of 40,000 cameras did not finish in a minute of CPU";
}

TEST(JsonScan, EscapesReadWithinTheirOwnString) {
    // A backslash in a later string must not change how an earlier plain one reads, and a
    // plain string after an escaped one reads whole.
    const std::string text =
        R"([{"mac":"A","name":"plain","note":"x\"y\\z\u00e9\n"},)"
        R"({"mac":"B","name":"after \/ escapes","note":"\ud83d\ude00 ok"},{"mac":"C","name":"end"}])";
    const std::vector<OVK_KNOWN> k = ovk_store_parse_known(text);
    ASSERT_EQ(k.size(), 3u);
    EXPECT_EQ(k[0].name, "plain");
    EXPECT_EQ(k[0].note, "x\"y\\z\xC3\xA9\n");
    EXPECT_EQ(k[1].name, "after / escapes");
    EXPECT_EQ(k[1].note, "\xF0\x9F\x98\x80 ok");
    EXPECT_EQ(k[2].name, "end");
}

// SIGTERM while half a million remembered devices load ends the program within a second, and
// the files it was reading are left as they were.
TEST(JsonScanProgram, StopDuringALongLoadEndsTheProgramAtOnce) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    TempDir dir;
    const std::string data = dir.path() + "/orvik";
    ASSERT_EQ(ovk_mkdirs(data), 0);
    const std::optional<std::string> text = ovk_store_known_text(devices(500000));
    ASSERT_TRUE(text);
    write_file(data + "/known_devices.json", *text);
    write_file(data + "/settings.json", R"({"retention_days": 0})");

    ovk_test::ProgramLaunch l;
    l.exe = exe;
    l.args = {"--headless", "--demo", "--duration", "60", "-v", "6"};
    l.env = {"XDG_DATA_HOME=" + dir.path(),
             std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets"};
    l.out_dir = dir.path();
    ovk_test::RunningProgram p(l);
    ASSERT_TRUE(p.started());
    // The vendor tables come just before the settings and the store.
    for (int i = 0; i < 1000 && p.running(); ++i) {
        if (p.err().find("vendor tables loaded") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(p.running()) << p.err();
    const auto t0 = std::chrono::steady_clock::now();
    p.signal(SIGTERM);
    const ovk_test::ProgramRun r = p.finish(10);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(r.status, -2) << r.err;
    EXPECT_LT(took, 1.2) << r.err;
    // Nothing was scanned yet: the signal came during the load.
    EXPECT_EQ(r.out, "") << "the signal came after the load; make the file larger";
    EXPECT_EQ(read_file(data + "/known_devices.json"), *text);
}

}  // namespace
