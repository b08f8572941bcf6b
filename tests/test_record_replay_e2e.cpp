// SPDX-License-Identifier: GPL-3.0-or-later
// The built orvik program recording a demo run (--record) and replaying it flat out
// (--replay, --replay-speed 0) in a fresh data directory: the replay prints the same alerts,
// logs the same detections, says "Replay: FILE" and ends by itself; a capture file of
// another tool replays the same way; a recording or replay that cannot be opened ends the
// run with status 1.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ovk_test_files.h"
#include "ovk_test_program.h"

namespace {

using std::string;

std::vector<string> lines_of(const string& text, bool alerts_only) {
    std::vector<string> out;
    std::istringstream in(text);
    for (string l; std::getline(in, l);)
        if (!alerts_only || l.find(" status: ") == string::npos) out.push_back(l);
    return out;
}

ovk_test::ProgramRun orvik(const ovk_test::TempDir& dir, std::vector<string> args) {
    ovk_test::ProgramLaunch launch;
    launch.exe = string(OVK_BINARY_DIR) + "/orvik";
    launch.args = std::move(args);
    launch.env = {"XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path()};
    launch.out_dir = dir.path();
    launch.cwd = dir.path();
    launch.deadline_s = 60;
    return ovk_test::run_program(launch);
}

// The detection log without its ids (the same detections, whatever they are numbered).
std::vector<string> detections(const ovk_test::TempDir& dir) {
    std::vector<string> out;
    for (string l : lines_of(ovk_test::read_file(dir.file("orvik/detections.jsonl")), false)) {
        const size_t id = l.find("\"id\":");
        if (id != string::npos) l.erase(id, l.find(',', id) + 1 - id);
        out.push_back(l);
    }
    return out;
}

TEST(RecordReplay, ReplayingADemoRunFindsWhatTheRunFound) {
    ASSERT_TRUE(ovk_test::file_exists(string(OVK_BINARY_DIR) + "/orvik"));
    ovk_test::TempDir live;
    const string rec = live.file("walk.jsonl");
    const ovk_test::ProgramRun r =
        orvik(live, {"--headless", "--demo", "--record", rec, "--duration", "12"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<string> recorded = lines_of(ovk_test::read_file(rec), false);
    ASSERT_GE(recorded.size(), 16u * 10);
    EXPECT_EQ(recorded[0].rfind("{\"gps\":{\"lat\":", 0), 0u) << recorded[0];
    EXPECT_EQ(recorded.size() % 16, 0u) << "one fix and fifteen adverts a second";

    ovk_test::TempDir again;
    const ovk_test::ProgramRun p =
        orvik(again, {"--headless", "--replay", rec, "--replay-speed", "0"});
    ASSERT_EQ(p.status, 0) << p.err;
    const std::vector<string> out = lines_of(p.out, false);
    ASSERT_FALSE(out.empty());
    const string finished = "status: Replay: " + rec +
                            " (finished: " + std::to_string(recorded.size() / 16 * 15) +
                            " adverts, " + std::to_string(recorded.size() / 16) + " fixes)";
    EXPECT_NE(out.back().find(finished), string::npos) << out.back();
    EXPECT_EQ(lines_of(p.out, true), lines_of(r.out, true)) << "replay:\n"
                                                            << p.out << "\nlive:\n"
                                                            << r.out;
    const std::vector<string> found = detections(live);
    ASSERT_GE(found.size(), 8u);
    EXPECT_EQ(detections(again), found);

    // Recording a replay gives the recording back.
    ovk_test::TempDir twice;
    const string rec2 = twice.file("again.jsonl");
    ASSERT_EQ(orvik(twice, {"--headless", "--replay", rec, "--replay-speed", "0", "--record", rec2})
                  .status,
              0);
    EXPECT_EQ(ovk_test::read_file(rec2), ovk_test::read_file(rec));
}

TEST(RecordReplay, CapturesReplayAndFailuresEndTheRun) {
    ovk_test::TempDir dir;
    const string cap =
        string(OVK_SOURCE_DIR) + "/tests/data/captures/opendroneid_odid_wifi_sample.pcap";
    ovk_test::ProgramRun r = orvik(dir, {"--headless", "--replay", cap, "--replay-speed", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.out.find("DRONE strong 95% Drone broadcasting Remote ID (WiFi) | 84:CC:A8:60:43:24"),
        string::npos)
        << r.out;
    EXPECT_NE(r.out.find("status: Replay: " + cap + " (finished: 42 adverts, 0 fixes)"),
              string::npos)
        << r.out;

    r = orvik(dir, {"--headless", "--replay", dir.file("none.jsonl")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Replay: " + dir.file("none.jsonl") + ": No such file or directory"),
              string::npos)
        << r.err;
    r = orvik(dir,
              {"--headless", "--demo", "--record", dir.file("no/dir.jsonl"), "--duration", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot record to"), string::npos) << r.err;
}

}  // namespace
