// SPDX-License-Identifier: GPL-3.0-or-later
// The program without a window: option parsing, the alert and status lines, the export
// directory, and a short in-process run on the demo feed with --export and --trace that
// also takes the plate-camera server from the settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_headless.h"
#include "ovk_test_files.h"
#include "ovk_trip.h"

namespace {

constexpr int64_t T0 = 1700000000000;  // 2023-11-14 22:13:20 UTC

// Sets an environment variable for one scope and puts the old value back.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
        tzset();
    }
    ~EnvGuard() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
        tzset();
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

OVK_OPTS parse(std::vector<std::string> args) {
    return ovk_startup_parse(std::span<const std::string>(args));
}

TEST(HeadlessOptions, FlagsValuesAndRepeatedExports) {
    const auto o = parse({"--headless", "--demo", "--duration", "45", "-v", "7", "--export",
                          "log:gpx", "--unknown", "--export", "session:kml", "--trace", "--scan"});
    EXPECT_TRUE(o.headless);
    EXPECT_TRUE(o.demo);
    EXPECT_TRUE(o.scan);
    EXPECT_TRUE(o.trace);
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.duration_s, 45);
    EXPECT_EQ(o.log_level, 7);
    EXPECT_EQ(o.exports, (std::vector<std::string>{"log:gpx", "session:kml"}));
    EXPECT_EQ(o.width, 1100);
    EXPECT_EQ(o.height, 820);
    // What the program does not know is ignored, but kept so that it can say so.
    EXPECT_EQ(o.unknown, (std::vector<std::string>{"--unknown"}));
    EXPECT_EQ(parse({"--headles", "--demo", "walk", "-x"}).unknown,
              (std::vector<std::string>{"--headles", "walk", "-x"}));
    EXPECT_TRUE(parse({"--record", "--oops"}).unknown.empty()) << "a value is no option";

    // The window's own options are ignored at the end without their value; --shots implies
    // the demo. Any other value option left without its value is a mistake.
    const auto s = parse({"--width", "640", "--height", "480", "--shots", "/tmp/x", "-v"});
    EXPECT_EQ(s.error, "");
    EXPECT_EQ(s.width, 640);
    EXPECT_EQ(s.height, 480);
    ASSERT_TRUE(s.shots.has_value());
    EXPECT_EQ(*s.shots, "/tmp/x");
    EXPECT_TRUE(s.demo);
    EXPECT_EQ(s.log_level, 4);
    EXPECT_FALSE(s.headless);
    EXPECT_EQ(parse({"--width", "wide"}).width, 0) << "not a number reads as 0";
    EXPECT_EQ(parse({"--width"}).width, 1100);
    EXPECT_EQ(parse({"--width"}).error, "");
    EXPECT_FALSE(parse({"--shots"}).shots.has_value());
    EXPECT_EQ(parse({"--record"}).error, "--record needs a value (FILE)");

    // Recording and replay; a replay speed that is no number, or below 0, is flat out.
    const auto r =
        parse({"--record", "walk.jsonl", "--replay", "drive.pcap", "--replay-speed", "2.5"});
    EXPECT_EQ(r.record, "walk.jsonl");
    EXPECT_EQ(r.replay, "drive.pcap");
    EXPECT_DOUBLE_EQ(r.replay_speed, 2.5);
    EXPECT_DOUBLE_EQ(parse({}).replay_speed, 1.0);
    EXPECT_FALSE(parse({}).replay.has_value());
    EXPECT_DOUBLE_EQ(parse({"--replay-speed", "-3"}).replay_speed, 0.0);
    EXPECT_DOUBLE_EQ(parse({"--replay-speed", "fast"}).replay_speed, 0.0);

    // Help anywhere wins and leaves everything else at its default.
    const auto h = parse({"--headless", "--duration", "9", "--help"});
    EXPECT_TRUE(h.help);
    EXPECT_FALSE(h.headless);
    EXPECT_EQ(h.duration_s, 0);
    EXPECT_TRUE(parse({"-h"}).help);
    // So does --version (help first), whatever else is there.
    const auto v = parse({"--headless", "--duration", "x", "--version", "--bogus"});
    EXPECT_TRUE(v.version);
    EXPECT_FALSE(v.headless);
    EXPECT_EQ(v.error, "");
    EXPECT_TRUE(v.unknown.empty());
    EXPECT_FALSE(parse({"--version", "--help"}).version);
    EXPECT_EQ(ovk_startup_version_line(), "orvik 0.2.0-trixie\n");

    // A duration is whole seconds; anything else is a mistake rather than "run forever".
    EXPECT_EQ(parse({"--duration", "0"}).error, "");
    EXPECT_EQ(parse({"--duration", "300"}).duration_s, 300);
    for (const char* bad : {"abc", "-5", "", "1.5", "12s", "99999999999999999999"}) {
        const auto b = parse({"--headless", "--duration", bad});
        EXPECT_NE(b.error.find("--duration needs a whole number of seconds"), std::string::npos)
            << bad;
        EXPECT_EQ(b.duration_s, 0) << bad;
    }
    EXPECT_EQ(parse({"--headless", "--duration"}).error, "--duration needs a value (S)");
}

// The help text: the window's eight lines as they stand, then one line (or block) for each
// further option, so every option in the table is explained.
TEST(HeadlessOptions, HelpKeepsTheWindowLinesAndExplainsEveryOption) {
    const std::string text = ovk_startup_help("./orvik");
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_GE(lines.size(), 12u) << text;
    EXPECT_EQ(lines[0], "Orvik 0.2.0-trixie - passive BLE / WiFi surveillance-equipment detector");
    EXPECT_EQ(lines[2],
              "usage: ./orvik [--scan] [--demo] [--shots DIR] [--width W --height H] [-v LEVEL]");
    EXPECT_EQ(lines[3], "  --scan        start scanning right away");
    EXPECT_EQ(lines[4], "  --demo        feed made-up devices instead of the radios");
    EXPECT_EQ(lines[5],
              "  --shots DIR   store screenshots: demo tour of the views, one PNG each "
              "into DIR, then quit");
    EXPECT_EQ(lines[6], "  --width/--height  initial window size (desktop)");
    EXPECT_EQ(lines[7], "  -v LEVEL      log level: 3 errors .. 7 debug (default 4)");
    EXPECT_EQ(lines[8].rfind("  --headless ", 0), 0u) << text;
    EXPECT_EQ(lines[9].rfind("  --duration S ", 0), 0u) << text;
    const std::string rest = text.substr(text.find(lines[8]));
    for (const OVK_OPTION& opt : ovk_startup_options())
        EXPECT_NE(text.find(opt.name), std::string::npos) << opt.name;
    for (const char* word : {"--export SCOPE:FORMAT", "--trace", "--record FILE", "--replay FILE",
                             "--replay-speed X", "--alpr-download S,W,N,E"})
        EXPECT_NE(rest.find(word), std::string::npos) << word;
}

TEST(HeadlessLines, AlertAndStatusLinesInLocalTime) {
    EnvGuard tz("TZ", "UTC");
    OVK_UI_ALERT a;
    a.time = T0 + 999;
    a.key = "00:25:DF:4A:19:C2";
    a.hit = ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "test", "%s", "tag seen");
    a.rssi = -61;
    EXPECT_EQ(ovk_headless_alert_line(a),
              "22:13:20 BODY CAM strong 90% Axon body camera | 00:25:DF:4A:19:C2 | -61 dBm | "
              "tag seen");
    a.following = 1;
    a.hit.confidence = 60;
    EXPECT_EQ(ovk_headless_alert_line(a).substr(0, 28), "22:13:20 FOLLOWING BODY CAM ");
    EXPECT_NE(ovk_headless_alert_line(a).find(" probable 60% "), std::string::npos);

    // Names, SSIDs and Remote ID texts from the air reach the terminal without controls:
    // C0, DEL, C1 (raw and as UTF-8) and stray bytes are shown escaped, the rest untouched.
    a.following = 0;
    a.hit.label = "Cam\x1b]0;owned\x07\x1b[2J";
    a.hit.evidence = std::string(
        "SSID \"x\r\ny\x7f\xc2\x9b"
        "31m\x9b"
        "1m \xc3\xa9t\xc3\xa9\"");
    const std::string line = ovk_headless_alert_line(a);
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_FALSE(u < 0x20 || u == 0x7f) << line;
    }
    EXPECT_NE(line.find("Cam\\x1B]0;owned\\x07\\x1B[2J"), std::string::npos) << line;
    EXPECT_NE(line.find("x\\x0D\\x0Ay\\x7F\\u009B31m\\x9B1m \xc3\xa9t\xc3\xa9"), std::string::npos)
        << line;
    EXPECT_EQ(ovk_headless_terminal_text("plain \xe2\x82\xac text"), "plain \xe2\x82\xac text");
    // Bidirectional controls would reorder the line ("Cam" + RLO + "gpj.exe" shows as
    // "Camexe.jpg"): escaped as well, every one of them; their neighbours stay as they are.
    EXPECT_EQ(ovk_headless_terminal_text("Cam\xe2\x80\xaegpj.exe"), "Cam\\u202Egpj.exe");
    EXPECT_EQ(ovk_headless_terminal_text("\xd8\x9c \xe2\x80\x8e \xe2\x80\x8f \xe2\x80\xaa "
                                         "\xe2\x80\xab \xe2\x80\xac \xe2\x80\xad \xe2\x81\xa6 "
                                         "\xe2\x81\xa7 \xe2\x81\xa8 \xe2\x81\xa9"),
              "\\u061C \\u200E \\u200F \\u202A \\u202B \\u202C \\u202D \\u2066 \\u2067 "
              "\\u2068 \\u2069");
    EXPECT_EQ(
        ovk_headless_terminal_text("\xd8\x9b \xe2\x80\x8d \xe2\x80\xaf \xe2\x81\xaa \xd7\xa9"),
        "\xd8\x9b \xe2\x80\x8d \xe2\x80\xaf \xe2\x81\xaa \xd7\xa9");

    OVK_STATUS s;
    s.running = 1;
    s.scanners = "BLE: hci0 passive\nWiFi wlan0: 12 networks";
    s.devices = 14;
    s.flagged = 3;
    s.threat = OVK_THREAT_DANGER;
    EXPECT_EQ(ovk_headless_status_line(s, T0),
              "22:13:20 status: BLE: hci0 passive; WiFi wlan0: 12 networks | devices 14 | "
              "flagged 3 | threat DANGER");
    s.running = 0;
    s.scanners.clear();
    s.devices = 0;
    s.flagged = 0;
    s.threat = OVK_THREAT_CLEAR;
    EXPECT_EQ(ovk_headless_status_line(s, T0),
              "22:13:20 status: stopped | devices 0 | flagged 0 | threat CLEAR");
    s.data_note = "data read-only (cannot read known_devices.json)";
    EXPECT_EQ(ovk_headless_status_line(s, T0),
              "22:13:20 status: stopped | devices 0 | flagged 0 | threat CLEAR | data read-only "
              "(cannot read known_devices.json)");
    s.data_note.clear();

    EnvGuard tz2("TZ", "UTC-2");  // two hours east of UTC
    EXPECT_EQ(ovk_headless_status_line(s, T0).substr(0, 8), "00:13:20");
}

TEST(HeadlessExports, DirectoryPrefersDocumentsWhenUsable) {
    ovk_test::TempDir home;
    EnvGuard h("HOME", home.path().c_str());
    EXPECT_EQ(ovk_headless_export_dir("/data/orvik"), "/data/orvik/exports");
    ASSERT_EQ(::mkdir(home.file("Documents").c_str(), 0700), 0);
    EXPECT_EQ(ovk_headless_export_dir("/data/orvik"), home.path() + "/Documents/Orvik");
    struct stat sb {};
    EXPECT_EQ(::stat(home.file("Documents/Orvik").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
    // A file in the way of the Orvik folder: the data directory's exports instead.
    ASSERT_EQ(::rmdir(home.file("Documents/Orvik").c_str()), 0);
    ovk_test::write_file(home.file("Documents/Orvik"), "not a folder");
    EXPECT_EQ(ovk_headless_export_dir("/data/orvik"), "/data/orvik/exports");
    EnvGuard none("HOME", nullptr);
    EXPECT_EQ(ovk_headless_export_dir("/data/orvik"), "/data/orvik/exports");
}

// A short run on the demo feed: alerts are printed, each requested export is written (or
// its failure told) at shutdown, and the trip recorded with --trace is closed.
TEST(HeadlessRun, DemoWithExportsAndTrace) {
    ovk_test::TempDir home;
    EnvGuard h("HOME", home.path().c_str());
    const std::string data = home.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
    // The plate-camera server comes from the settings.
    const std::string settings = R"({"overpass_url": "http://127.0.0.1:9/api/interpreter"})";
    ovk_test::write_file(data + "/settings.json", settings);
    ovk_alpr_set_endpoint("");

    OVK_OPTS o = parse({"--headless", "--demo", "--duration", "3", "-v", "3", "--trace", "--export",
                        "log:csv", "--export", "log:gpx"});
    OVK_HOST host;
    host.data_dir = [data] { return data; };
    ovk_headless_stop_flag().store(false);

    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    // One export fails (nothing is positioned), so the run ends with status 1.
    EXPECT_EQ(ovk_headless_run(o, host, out), 1);
    std::fflush(out);
    std::rewind(out);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
    std::fclose(out);

    EXPECT_NE(text.find(" | 00:25:DF:4A:19:C2 | "), std::string::npos) << text;
    EXPECT_EQ(ovk_alpr_endpoint(), "http://127.0.0.1:9/api/interpreter");
    ovk_alpr_set_endpoint("");
    // --demo was for that run: the settings file is as the user left it, and the run's
    // demo mode ended with it.
    EXPECT_EQ(ovk_test::read_file(data + "/settings.json"), settings);
    EXPECT_EQ(ovk_scan_demo_override(), 0);

    const std::string csv_head = "export log:csv: " + data + "/exports/orvik_matches_";
    const size_t at = text.find(csv_head);
    ASSERT_NE(at, std::string::npos) << text;
    const size_t eol = text.find('\n', at);
    const std::string path = text.substr(at + 16, eol - at - 16);
    EXPECT_EQ(path.substr(path.size() - 4), ".csv");
    const std::string csv = ovk_test::read_file(path);
    EXPECT_EQ(csv.rfind("timestamp,mac,label,", 0), 0u) << csv;
    EXPECT_NE(csv.find("00:25:DF:4A:19:C2"), std::string::npos) << csv;

    // Without GPS tagging nothing is positioned.
    EXPECT_NE(text.find("export log:gpx failed: No GPS-tagged matches yet - turn on GPS "
                        "tagging in Settings\n"),
              std::string::npos)
        << text;

    // The trip was recorded and stopped at shutdown.
    ASSERT_EQ(ovk_trip_open(data), 0);
    const auto trips = ovk_trip_list();
    ovk_trip_close();
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_GT(trips[0].end_time, 0);
    EXPECT_GE(trips[0].end_time, trips[0].start_time);
    EXPECT_GE(trips[0].device_count, 10);
}

}  // namespace
