// SPDX-License-Identifier: GPL-3.0-or-later
// The built orvik program recording a demo run (--record) and replaying it flat out
// (--replay, --replay-speed 0) in a fresh data directory: the replay prints the same alerts,
// logs the same detections, says "Replay: FILE" and ends by itself; a capture file of
// another tool replays the same way; a recording or replay that cannot be opened ends the
// run with status 1. A live capture streams through a FIFO, and a stop ends every wait on it;
// devices, directories and files that are no recording are refused with status 1; exports
// after a replay read the replay's clock.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
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

ovk_test::ProgramLaunch launch_in(const ovk_test::TempDir& dir, std::vector<string> args) {
    ovk_test::ProgramLaunch launch;
    launch.exe = string(OVK_BINARY_DIR) + "/orvik";
    launch.args = std::move(args);
    launch.env = {"XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path()};
    launch.out_dir = dir.path();
    launch.cwd = dir.path();
    launch.deadline_s = 60;
    return launch;
}

ovk_test::ProgramRun orvik(const ovk_test::TempDir& dir, std::vector<string> args) {
    return ovk_test::run_program(launch_in(dir, std::move(args)));
}

// True once process `pid` holds `path` open (it got past its start-up to the replay).
bool holds_open(int pid, const string& path, int within_s) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(within_s);
    std::error_code ec;
    const std::filesystem::path want = std::filesystem::canonical(path, ec);
    while (std::chrono::steady_clock::now() < until) {
        for (const auto& e :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
            if (std::filesystem::read_symlink(e.path(), ec) == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// SIGTERM, then how the program ended and how long that took.
ovk_test::ProgramRun terminate(ovk_test::RunningProgram& p, double& took_s) {
    const auto t0 = std::chrono::steady_clock::now();
    p.signal(SIGTERM);
    ovk_test::ProgramRun r = p.finish(20);
    took_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

const string kAxonLine =
    R"({"radio":"BLE","mac":"00:25:DF:4A:19:C2","rssi":-61,"addrType":"PUBLIC","connectable":1,)"
    R"("raw":"13FF4D0345434956454443574253554E414A5841"})"
    "\n";

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

TEST(RecordReplay, FifoStreamsAndAStopEndsEveryWait) {
    ovk_test::TempDir dir;
    const string fifo = dir.file("live.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // No writer yet: the program waits for one, and SIGTERM still ends it in order.
    {
        ovk_test::RunningProgram p(launch_in(dir, {"--headless", "--replay", fifo}));
        ASSERT_TRUE(holds_open(p.pid(), fifo, 60)) << p.err();
        double took = 0;
        const ovk_test::ProgramRun r = terminate(p, took);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_LT(took, 10) << "seconds to end after SIGTERM";
    }
    // A writer that sent one advert and then went quiet mid-line.
    {
        ovk_test::RunningProgram p(launch_in(dir, {"--headless", "--replay", fifo}));
        ASSERT_TRUE(holds_open(p.pid(), fifo, 60)) << p.err();
        const int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(w, 0);
        const string sent = kAxonLine + R"({"radio":"BLE",)";
        ASSERT_EQ(write(w, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ovk_test::read_file(dir.file("stdout.txt")).find("Axon body camera") ==
                   string::npos &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        double took = 0;
        const ovk_test::ProgramRun r = terminate(p, took);
        close(w);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_LT(took, 10) << "seconds to end after SIGTERM";
        EXPECT_NE(r.out.find("BODY CAM strong 90% Axon body camera"), string::npos) << r.out;
    }
    // A capture streamed through the FIFO in pieces, the way tcpdump -w - writes it.
    {
        const string cap = ovk_test::read_file(
            string(OVK_SOURCE_DIR) + "/tests/data/captures/opendroneid_odid_wifi_sample.pcap");
        ASSERT_GT(cap.size(), 100u);
        std::thread writer([&] {
            const int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            if (w < 0) return;
            for (size_t at = 0; at < cap.size();) {
                const size_t n = std::min<size_t>(at == 0 ? 2 : 700, cap.size() - at);
                const ssize_t k = write(w, cap.data() + at, n);
                if (k <= 0) break;
                at += static_cast<size_t>(k);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            close(w);
        });
        const ovk_test::ProgramRun r =
            orvik(dir, {"--headless", "--replay", fifo, "--replay-speed", "0"});
        writer.join();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Replay: " + fifo + " (finished: 42 adverts, 0 fixes)"), string::npos)
            << r.out;
    }
}

TEST(RecordReplay, DevicesDirectoriesAndOtherFilesAreRefused) {
    ovk_test::TempDir dir;
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero.jsonl").c_str()), 0);
    for (const string& path : {dir.file("zero.jsonl"), string("/dev/urandom")}) {
        const ovk_test::ProgramRun r = orvik(dir, {"--headless", "--replay", path});
        EXPECT_EQ(r.status, 1) << path << "\n" << r.err;
        EXPECT_NE(
            r.err.find("orvik: Replay: " + path + ": is a device, not a recording or a capture"),
            string::npos)
            << r.err;
    }
    ovk_test::ProgramRun r = orvik(dir, {"--headless", "--replay", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Replay: " + dir.path() + ": is a directory"), string::npos) << r.err;

    // A file that is neither: something to say and status 1, not "0 adverts" and 0.
    ovk_test::write_file(dir.file("notes.txt"), "shopping list\nmilk\n\x89PNG\x01\x02\n");
    r = orvik(dir, {"--headless", "--replay", dir.file("notes.txt"), "--replay-speed", "0"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("orvik: Replay: " + dir.file("notes.txt") +
                         ": not a recording or a capture (3 lines hold no advert or GPS fix)"),
              string::npos)
        << r.err;
    // A recording with a damaged line still plays.
    ovk_test::write_file(dir.file("rec.jsonl"), "{\"radio\":\"BL\n" + kAxonLine);
    r = orvik(dir, {"--headless", "--replay", dir.file("rec.jsonl"), "--replay-speed", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(finished: 1 adverts, 0 fixes)"), string::npos) << r.out;

    // A capture damaged after its header: what could be read, then the reason and status 1.
    const string whole = ovk_test::read_file(
        string(OVK_SOURCE_DIR) + "/tests/data/captures/opendroneid_odid_wifi_sample.pcap");
    ovk_test::write_file(dir.file("cut.pcap"), whole.substr(0, whole.size() - 40));
    r = orvik(dir, {"--headless", "--replay", dir.file("cut.pcap"), "--replay-speed", "0"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Drone broadcasting Remote ID"), string::npos) << r.out;
    EXPECT_NE(r.err.find("orvik: Replay: " + dir.file("cut.pcap") + ": frame 63: truncated"),
              string::npos)
        << r.err;
}

TEST(RecordReplay, ExportsAfterAReplayReadTheReplaysClock) {
    ovk_test::TempDir dir;
    const int64_t then = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() -
                         5 * 3600 * 1000;
    string rec;
    for (int i = 0; i < 10; ++i) {
        string line = kAxonLine;
        line.insert(line.rfind('}'), ",\"time\":" + std::to_string(then + i * 1000));
        rec += line;
    }
    ovk_test::write_file(dir.file("drive.jsonl"), rec);
    const ovk_test::ProgramRun r = orvik(dir, {"--headless", "--replay", dir.file("drive.jsonl"),
                                               "--replay-speed", "0", "--export", "session:csv"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("devices 1 | flagged 1"), string::npos) << r.out;
    const size_t at = r.out.find("export session:csv: ");
    ASSERT_NE(at, string::npos) << r.out;
    const string path = r.out.substr(at + 20, r.out.find('\n', at) - at - 20);
    EXPECT_NE(ovk_test::read_file(path).find("00:25:DF:4A:19:C2"), string::npos) << path;
}

}  // namespace
