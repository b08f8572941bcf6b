// SPDX-License-Identifier: GPL-3.0-or-later
// The built orvik program on the demo feed, headless, in a fresh data directory and started
// from a folder of its own (it finds its assets beside itself): the alerts it prints, the
// files it leaves, a clean exit on SIGTERM, and a plain run afterwards that is no demo.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"

namespace {

const char* const kAxon = "00:25:DF:4A:19:C2";
const char* const kZebra = "F4:60:77:5B:21:9E";
const char* const kMotorola = "4C:CC:34:12:7F:03";
const char* const kRouter = "00:30:44:4F:21:A0";
const char* const kFlock = "B4:1E:52:3C:88:10";
const char* const kDrone = "60:60:1F:A2:44:18";
const char* const kAirTag = "7A:31:C4:0B:9E:22";
const char* const kGlasses = "D2:5E:91:3A:07:BC";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

bool has_line(const std::vector<std::string>& lines, std::initializer_list<const char*> parts) {
    for (const auto& l : lines) {
        bool all = true;
        for (const char* p : parts) all = all && l.find(p) != std::string::npos;
        if (all) return true;
    }
    return false;
}

// Runs the program with `args` from the folder `dir` (where no assets lie) and without
// OVK_ASSETS; after `term_after_s` seconds of wall time (0: never) it gets SIGTERM, and it
// must end on its own within 30 s after that.
ovk_test::ProgramRun run_program(const ovk_test::TempDir& dir, std::vector<std::string> args,
                                 int term_after_s) {
    ovk_test::ProgramLaunch launch;
    launch.exe = std::string(OVK_BINARY_DIR) + "/orvik";
    launch.args = std::move(args);
    launch.env = {"XDG_DATA_HOME=" + dir.path(), "OVK_ASSETS="};
    launch.out_dir = dir.path();
    launch.cwd = dir.path();
    launch.term_after_s = term_after_s;
    launch.deadline_s = 30;
    return ovk_test::run_program(launch);
}

TEST(HeadlessDemo, AlertsLogsHistoryAndCleanExit) {
    ASSERT_TRUE(ovk_test::file_exists(std::string(OVK_BINARY_DIR) + "/orvik"))
        << "build the orvik target first";
    ovk_test::TempDir dir;
    const ovk_test::ProgramRun r =
        run_program(dir, {"--headless", "--demo", "--duration", "300"}, 45);
    ASSERT_EQ(r.status, 0) << "stderr:\n" << r.err;
    // Every asset was found: no missing preset, vendor tables loaded.
    EXPECT_EQ(r.err.find("missing"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("not loaded"), std::string::npos) << r.err;

    // Toast lines: body camera, plate-camera network, glasses and the drone overhead.
    const auto out = lines_of(r.out);
    EXPECT_TRUE(has_line(out, {"BODY CAM", kAxon, " dBm | "})) << r.out;
    EXPECT_TRUE(has_line(out, {"ALPR", "Flock", kFlock})) << r.out;
    EXPECT_TRUE(has_line(out, {"GLASSES", kGlasses})) << r.out;
    EXPECT_TRUE(has_line(out, {"DRONE", "Drone overhead", kDrone})) << r.out;
    // The router is known by its address block, from the vendor tables and presets.
    EXPECT_TRUE(has_line(out, {"PUBLIC SAFETY", "Cradlepoint", kRouter})) << r.out;
    // A tracker is logged but never raises a proximity alert; nothing follows in 45 s.
    EXPECT_FALSE(has_line(out, {kAirTag})) << r.out;
    EXPECT_FALSE(has_line(out, {"FOLLOWING"})) << r.out;
    // A status line every 10 s with all fifteen made-up devices.
    int status_lines = 0;
    for (const auto& l : out)
        if (l.find(" status: Demo: made-up devices (no radios) | devices 15 | flagged ") !=
            std::string::npos)
            ++status_lines;
    EXPECT_GE(status_lines, 3) << r.out;
    EXPECT_TRUE(has_line(out, {"threat DANGER"})) << r.out;

    // The detection log loads and holds every flagged device.
    const std::string base = dir.path() + "/orvik/";
    const std::string log = ovk_test::read_file(base + "detections.jsonl");
    const auto dets = ovk_store_parse_log(log, nullptr);
    ASSERT_EQ(dets.size(), lines_of(log).size()) << "every log line parses";
    std::set<std::string> logged;
    for (const auto& d : dets) logged.insert(d.mac);
    for (const char* m : {kAxon, kFlock, kDrone, kGlasses, kAirTag, kZebra, kMotorola})
        EXPECT_TRUE(logged.count(m)) << m;
    bool airtag_as_tracker = false;
    for (const auto& d : dets)
        if (d.mac == kAirTag && d.category == OVK_CAT_TRACKER) airtag_as_tracker = true;
    EXPECT_TRUE(airtag_as_tracker);
    // At most one line per device per 30 s: 45 s of demo gives each device at most two.
    std::map<std::string, int> per_mac;
    for (const auto& d : dets) ++per_mac[d.mac];
    for (const auto& [mac, n] : per_mac) EXPECT_LE(n, 2) << mac;

    // The patrol group (rows 0 to 3) carries the co-location verdict: the members named in
    // the co-location alerts and log lines cover all four devices.
    std::set<std::string> grouped;
    auto note = [&grouped](const std::string& text) {
        for (const char* m : {kAxon, kZebra, kMotorola, kRouter})
            if (text.find(m) != std::string::npos) grouped.insert(m);
    };
    bool four_kinds = false;
    for (const auto& l : out)
        if (l.find("possible police vehicle") != std::string::npos) note(l);
    for (const auto& d : dets) {
        if (d.label.find("possible police vehicle") == std::string::npos) continue;
        note(d.mac + " " + d.evidence);
        four_kinds = four_kinds || d.label.find("(4 kinds of gear together)") != std::string::npos;
    }
    EXPECT_EQ(grouped.size(), 4u) << r.out;
    EXPECT_TRUE(four_kinds) << log;

    // History was flushed: every demo device is remembered, in its first session.
    const auto known = ovk_store_parse_known(ovk_test::read_file(base + "known_devices.json"));
    EXPECT_EQ(known.size(), 15u);
    for (const auto& k : known) {
        EXPECT_EQ(k.sessions, 1) << k.mac;
        EXPECT_GE(k.detect_count, 1) << k.mac;
        EXPECT_GE(k.last_seen, k.first_seen) << k.mac;
    }
    // No temporary files left behind.
    EXPECT_FALSE(ovk_test::file_exists(base + "known_devices.json.tmp"));

    // --demo was for that run only: nothing stored says demo, and a plain run right after
    // scans the radios and shows no made-up device.
    if (const auto settings = ovk_read_file(base + "settings.json")) {
        OVK_JSON j(cJSON_Parse(settings->c_str()));
        ASSERT_TRUE(j != nullptr);
        const cJSON* demo = cJSON_GetObjectItemCaseSensitive(j.get(), "demo_mode");
        EXPECT_FALSE(cJSON_IsTrue(demo) || (cJSON_IsNumber(demo) && demo->valueint != 0));
    }
    const ovk_test::ProgramRun plain = run_program(dir, {"--headless", "--duration", "12"}, 0);
    ASSERT_EQ(plain.status, 0) << "stderr:\n" << plain.err;
    const auto plain_out = lines_of(plain.out);
    EXPECT_TRUE(has_line(plain_out, {" status: "})) << plain.out;
    EXPECT_FALSE(has_line(plain_out, {"Demo"})) << plain.out;
    for (const char* m : {kAxon, kZebra, kMotorola, kRouter, kFlock, kDrone, kAirTag, kGlasses})
        EXPECT_FALSE(has_line(plain_out, {m})) << m << "\n" << plain.out;
    EXPECT_EQ(ovk_test::read_file(base + "detections.jsonl"), log) << "nothing made up was logged";
}

// The command line as a person types it: --version answers and ends; a mistyped option is
// ignored but named on standard error (here the board program still runs, because
// --headless is also given). On this machine's missing sound card the run says once that
// alerts are silent, without the sound libraries' own messages.
TEST(HeadlessCommandLine, VersionTyposAndASilentBoard) {
    ovk_test::TempDir dir;
    const ovk_test::ProgramRun v = run_program(dir, {"--demo", "--version"}, 0);
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out, "orvik 0.2.0-trixie\n");
    EXPECT_EQ(v.err, "");

    const ovk_test::ProgramRun r =
        run_program(dir, {"--headles", "--headless", "--demo", "--duration", "3"}, 0);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto err = lines_of(r.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err[0], "orvik: ignoring unknown option --headles") << r.err;
    EXPECT_TRUE(has_line(lines_of(r.out), {"BODY CAM", kAxon})) << r.out;
    EXPECT_FALSE(has_line(err, {"ALSA lib"})) << r.err;
    EXPECT_FALSE(has_line(err, {"AL lib"})) << r.err;
    int silent = 0;
    for (const auto& l : err) silent += l.find("alerts are silent") != std::string::npos;
    EXPECT_LE(silent, 1) << r.err;
    const std::string cards = ovk_read_file("/proc/asound/cards").value_or("");
    if (cards.empty() || cards.find("no soundcards") != std::string::npos) {
        EXPECT_EQ(silent, 1) << r.err;
    }
}

}  // namespace
