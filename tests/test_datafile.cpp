// SPDX-License-Identifier: GPL-3.0-or-later
// Nothing a user keeps is lost: a data file that is damaged is kept aside before anything is
// written over it, one that cannot be read is never written over, only regular files of
// bounded size are read, and large integers come back exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "ovk_alpr.h"
#include "ovk_datafile.h"
#include "ovk_prefs.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"
#include "ovk_watchlist.h"

using ovk_test::LogCapture;
using ovk_test::read_file;
using ovk_test::TempDir;
using ovk_test::write_file;

namespace {

namespace fs = std::filesystem;

// The NAME.bad-* copies beside `path`, oldest first.
std::vector<std::string> copies_of(const std::string& path) {
    std::vector<std::string> out;
    const fs::path p(path);
    for (const auto& e : fs::directory_iterator(p.parent_path()))
        if (e.path().filename().string().rfind(p.filename().string() + ".bad-", 0) == 0)
            out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

class DataFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ovk_store_close();
        ovk_datafile_reset();
    }
    void TearDown() override {
        ovk_store_close();
        ovk_watchlist_unload();
        ovk_alpr_unload();
        ovk_datafile_reset();
    }
    TempDir dir;
};

TEST_F(DataFiles, DamagedFilesAreKeptBeforeAnythingIsWrittenOverThem) {
    const std::string settings = dir.file("settings.json");
    const std::string whitelist = dir.file("whitelist.json");
    const std::string known = dir.file("known_devices.json");
    const std::string watchlist = dir.file("watchlist_custom.json");
    const std::string cameras = dir.file("known_alpr.json");
    // A hand edit left a trailing comma in each.
    const std::string s_text = "{\"retention_days\": 3650, \"alert_threshold\": 80,}";
    const std::string w_text = R"([{"mac":"AA:BB:CC:DD:EE:FF","note":"my car"},])";
    const std::string k_text =
        R"([{"mac":"AA:BB:CC:DD:EE:FF","favorite":true,"note":"mine","lastSeen":5},])";
    const std::string c_text = R"([{"osmId":"node/1","lat":1,"lon":2},])";
    const std::string r_text = R"([{"prefix":"00:25:DF","label":"x"},])";
    write_file(settings, s_text);
    write_file(whitelist, w_text);
    write_file(known, k_text);
    write_file(cameras, c_text);
    write_file(watchlist, r_text);
    {
        LogCapture log;
        ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
        ASSERT_EQ(ovk_store_open(dir.path()), 0);
        ASSERT_EQ(ovk_watchlist_load(dir.path()), 0);
        ASSERT_EQ(ovk_alpr_load(dir.path()), 0);
        for (const std::string& path : {settings, whitelist, known, watchlist, cameras}) {
            const auto c = copies_of(path);
            ASSERT_EQ(c.size(), 1u) << path;
            // Logged at error level with the file and its copy.
            EXPECT_TRUE(log.has(path + " is damaged and was not loaded; it is kept as " + c[0]))
                << log.text();
        }
    }
    // The defaults stand in, and retention pruning waits for settings that are the user's.
    EXPECT_EQ(ovk_prefs_get().retention_days, 90);
    EXPECT_EQ(ovk_prefs_file_ok(), 0);
    // Work goes on and is saved over the damaged files; the copies keep what the user had.
    ASSERT_EQ(ovk_store_whitelist_add("11:22:33:44:55:66", "new"), 0);
    ASSERT_EQ(ovk_prefs_set(ovk_prefs_get()), 0);
    OVK_OUI_ENTRY rule;
    rule.prefix = "00:11:22";
    ASSERT_EQ(ovk_watchlist_add_custom(rule), 0);
    EXPECT_EQ(ovk_store_parse_whitelist(read_file(whitelist)).size(), 1u);
    EXPECT_EQ(read_file(copies_of(settings)[0]), s_text);
    EXPECT_EQ(read_file(copies_of(whitelist)[0]), w_text);
    EXPECT_EQ(read_file(copies_of(known)[0]), k_text);
    EXPECT_EQ(read_file(copies_of(watchlist)[0]), r_text);
    EXPECT_EQ(read_file(copies_of(cameras)[0]), c_text);

    // The same damaged file met again is not copied a second time; another damage is.
    ovk_store_close();
    write_file(known, k_text);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    ovk_store_close();
    EXPECT_EQ(copies_of(known).size(), 1u);
    write_file(known, "[{");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(copies_of(known).size(), 2u);
}

// Runs `fn` in a child process as an unprivileged user (root reads every file whatever its
// mode); the child's exit status, or -1.
template <class F>
int as_other_user(F&& fn) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        _exit(fn());
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(DataFiles, UnreadableFilesAreNeverWrittenOverAndTheDataIsReadOnly) {
    // Another user's files the run cannot read, in a directory it may write.
    const std::string data = dir.file("data");
    ASSERT_EQ(mkdir(data.c_str(), 0777), 0);
    ASSERT_EQ(chmod(data.c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string log_text =
        R"({"id":1,"mac":"AA:BB:CC:DD:EE:01","label":"old","source":"BLE","timestamp":5})"
        "\n";
    const std::string known_text = R"([{"mac":"AA:BB:CC:DD:EE:01","favorite":true}])";
    const std::string settings_text = R"({"retention_days": 0})";
    write_file(data + "/detections.jsonl", log_text);
    write_file(data + "/known_devices.json", known_text);
    write_file(data + "/settings.json", settings_text);
    for (const char* f : {"/detections.jsonl", "/known_devices.json", "/settings.json"})
        ASSERT_EQ(chmod((data + f).c_str(), 0), 0);

    const int rc = as_other_user([&] {
        ovk_datafile_reset();
        if (ovk_prefs_load(data) != 0 || ovk_store_open(data) != 0) return 10;
        if (ovk_prefs_file_ok() != 0) return 11;
        OVK_DETECTION d;
        d.mac = "AA:BB:CC:DD:EE:02";
        d.timestamp = 10;
        if (ovk_store_add_detection(d) != -1) return 12;  // not saved, and said so
        if (ovk_store_detections_unsaved() != 1) return 13;
        OVK_KNOWN k;
        k.mac = "AA:BB:CC:DD:EE:02";
        if (ovk_store_known_upsert(std::span(&k, 1)) != -1) return 14;
        if (ovk_prefs_set(ovk_prefs_get()) != -1) return 15;
        const std::string note = ovk_datafile_readonly_note();
        for (const char* name : {"detections.jsonl", "known_devices.json", "settings.json"})
            if (note.find(name) == std::string::npos) return 16;
        if (note.rfind("data read-only (cannot read ", 0) != 0) return 17;
        ovk_store_close();
        return 0;
    });
    ASSERT_EQ(rc, 0);
    for (const char* f : {"/detections.jsonl", "/known_devices.json", "/settings.json"})
        ASSERT_EQ(chmod((data + f).c_str(), 0600), 0);
    EXPECT_EQ(read_file(data + "/detections.jsonl"), log_text);
    EXPECT_EQ(read_file(data + "/known_devices.json"), known_text);
    EXPECT_EQ(read_file(data + "/settings.json"), settings_text);
    EXPECT_FALSE(ovk_test::file_exists(data + "/known_devices.journal"));
}

TEST_F(DataFiles, OnlyRegularFilesWithinTheirSizeAreRead) {
    // A FIFO would block the reader forever; a device never ends.
    ASSERT_EQ(mkfifo(dir.file("settings.json").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("known_devices.json").c_str()), 0);
    ASSERT_EQ(symlink("/dev/urandom", dir.file("detections.jsonl").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("whitelist.json").c_str(), 0700), 0);
    LogCapture log;
    auto loaded = std::async(std::launch::async, [&] {
        return ovk_prefs_load(dir.path()) == 0 && ovk_store_open(dir.path()) == 0;
    });
    if (loaded.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Unblock the reader so the test can end, then fail.
        const int fd = open(dir.file("settings.json").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        FAIL() << "loading hung on a FIFO or a device";
    }
    EXPECT_TRUE(loaded.get());
    EXPECT_TRUE(log.has("cannot read " + dir.file("settings.json") +
                        ": it is not a regular file; it is left as it is"));
    EXPECT_TRUE(
        log.has("cannot read " + dir.file("known_devices.json") + ": it is not a regular file"));
    EXPECT_TRUE(log.has("cannot read " + dir.file("whitelist.json") + ": it is a directory"));
    EXPECT_EQ(ovk_store_detection_count(), 0);
    EXPECT_EQ(ovk_datafile_held().size(), 4u);
    // The FIFO is still a FIFO: nothing was saved in its place.
    EXPECT_EQ(ovk_prefs_set(ovk_prefs_get()), -1);
    struct stat sb {};
    ASSERT_EQ(lstat(dir.file("settings.json").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode));

    // Size limits fit the kind: a settings file of 2 MiB is not one.
    TempDir other;
    write_file(other.file("settings.json"), "{\"x\":\"" + std::string(2u << 20, 'x') + "\"}");
    ASSERT_EQ(ovk_prefs_load(other.path()), 0);
    EXPECT_TRUE(log.has("cannot read " + other.file("settings.json") +
                        ": it is too large (2.0 MiB; the limit is 1.0 MiB)"));
    // Imports follow the same rules without holding anything.
    std::string why;
    EXPECT_FALSE(ovk_datafile_read_import("/dev/zero", 1 << 20, why));
    EXPECT_EQ(why, "it is not a regular file");
    write_file(other.file("rules.json"), "[]");
    EXPECT_EQ(ovk_datafile_read_import(other.file("rules.json"), 1 << 20, why), "[]");
}

// Locks `dir` in a new child process: 0 when it got the lock, 1 when it was refused because
// another program has it, 2 when refused for another reason, 3 otherwise.
int lock_in_child(const std::string& dir) {
    const pid_t pid = fork();
    if (pid < 0) return 3;
    if (pid == 0) {
        std::string why;
        const int rc = ovk_datafile_lock_dir(dir, &why);
        _exit(rc == 0 ? 0 : why.rfind("another Orvik", 0) == 0 ? 1 : 2);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 3;
}

TEST_F(DataFiles, TheLockFailsClosed) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    // A directory in the lock file's place is locked through a read-only open.
    const std::string a = dir.file("a");
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((a + "/orvik.lock").c_str(), 0755), 0);
    ASSERT_EQ(ovk_datafile_lock_dir(a), 0);
    EXPECT_EQ(lock_in_child(a), 1) << "a second program on the same directory must be refused";
    ovk_datafile_unlock_dir();
    EXPECT_EQ(lock_in_child(a), 0);

    // A lock file this user may only read (left by a run as root): the same.
    const std::string b = dir.file("b");
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    write_file(b + "/orvik.lock", "1\n");
    ASSERT_EQ(chmod((b + "/orvik.lock").c_str(), 0444), 0);
    EXPECT_EQ(as_other_user([&] {
                  if (ovk_datafile_lock_dir(b) != 0) return 10;
                  if (lock_in_child(b) != 1) return 11;
                  return 0;
              }),
              0);

    // One it may not open at all: the program does not start, and says why.
    const std::string c = dir.file("c");
    ASSERT_EQ(mkdir(c.c_str(), 0755), 0);
    write_file(c + "/orvik.lock", "1\n");
    ASSERT_EQ(chmod((c + "/orvik.lock").c_str(), 0), 0);
    EXPECT_EQ(as_other_user([&] {
                  LogCapture log;
                  std::string why;
                  if (ovk_datafile_lock_dir(c, &why) != -1) return 20;
                  const std::string want = "cannot lock " + c +
                                           "/orvik.lock: Permission denied; not starting, as "
                                           "another Orvik could then use " +
                                           c + " at the same time";
                  if (why.rfind(want, 0) != 0) return 21;
                  if (!log.has(want)) return 22;
                  return 0;
              }),
              0);
}

TEST_F(DataFiles, LargeIdsAndTimesComeBackExactly) {
    // Ids past 10^15 (and past 2^53) were printed through doubles and came back merged.
    write_file(dir.file("detections.jsonl"),
               R"({"id":5555562821093169,"mac":"A","timestamp":9007199254740993})"
               "\n");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    OVK_DETECTION d;
    d.mac = "B";
    d.timestamp = 9007199254740995;
    ASSERT_EQ(ovk_store_add_detection(d), 0);
    const std::string log = read_file(dir.file("detections.jsonl"));
    EXPECT_NE(log.find(R"({"id":5555562821093170,"mac":"B")"), std::string::npos) << log;
    EXPECT_NE(log.find(R"("timestamp":9007199254740995)"), std::string::npos) << log;
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const auto dets = ovk_store_detections(0);
    ASSERT_EQ(dets.size(), 2u);
    EXPECT_EQ(dets[0].id, 5555562821093170);
    EXPECT_EQ(dets[0].timestamp, 9007199254740995);
    EXPECT_EQ(dets[1].id, 5555562821093169);
    EXPECT_EQ(dets[1].timestamp, 9007199254740993);
    // The same for remembered devices and for every integer written through the helper.
    OVK_KNOWN k;
    k.mac = "C";
    k.last_seen = INT64_MAX;
    k.first_seen = INT64_MIN;
    ASSERT_EQ(ovk_store_known_upsert(std::span(&k, 1)), 0);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    ASSERT_TRUE(ovk_store_known_get("C"));
    EXPECT_EQ(ovk_store_known_get("C")->last_seen, INT64_MAX);
    EXPECT_EQ(ovk_store_known_get("C")->first_seen, INT64_MIN);
    OVK_JSON o(cJSON_CreateObject());
    ASSERT_EQ(ovk_json_add_i64(o.get(), "n", 5555562821093169), 0);
    EXPECT_EQ(ovk_json_print(o.get(), false), R"({"n":5555562821093169})");
    EXPECT_EQ(ovk_json_i64(o.get(), "n", 0), 5555562821093169);
}

// The whole program on a data directory whose settings file was damaged by a hand edit:
// the default retention of 90 days must not delete older history.
TEST(DataFilesProgram, DamagedSettingsNeverLeadToPruning) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    for (const bool damaged : {true, false}) {
        TempDir dir;
        const std::string data = dir.path() + "/orvik";
        ASSERT_EQ(ovk_mkdirs(data), 0);
        write_file(data + "/settings.json",
                   damaged ? "{\"retention_days\": 3650,}" : "{\"retention_days\": 90}");
        // A detection and a remembered device from a year ago.
        const int64_t old = ovk_now_ms() - 365LL * 86400000;
        write_file(data + "/detections.jsonl",
                   "{\"id\":1,\"mac\":\"AA:BB:CC:DD:EE:01\",\"label\":\"old\",\"timestamp\":" +
                       std::to_string(old) + "}\n");
        write_file(data + "/known_devices.json",
                   "[{\"mac\":\"AA:BB:CC:DD:EE:01\",\"lastSeen\":" + std::to_string(old) + "}]");
        ovk_test::ProgramLaunch l;
        l.exe = exe;
        l.args = {"--headless", "--demo", "--duration", "2"};
        l.env = {"XDG_DATA_HOME=" + dir.path(),
                 std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets"};
        l.out_dir = dir.path();
        l.deadline_s = 60;
        const ovk_test::ProgramRun r = ovk_test::run_program(l);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto dets = ovk_store_parse_log(read_file(data + "/detections.jsonl"), nullptr);
        const bool kept = !dets.empty() && dets.front().id == 1;
        EXPECT_EQ(kept, damaged) << (damaged ? "damaged" : "valid") << " settings\n" << r.err;
        const auto known = ovk_store_parse_known_journal(
            read_file(data + "/known_devices.json"), read_file(data + "/known_devices.journal"));
        const bool remembered = std::any_of(known.begin(), known.end(), [](const OVK_KNOWN& k) {
            return k.mac == "AA:BB:CC:DD:EE:01";
        });
        EXPECT_EQ(remembered, damaged);
        if (damaged) {
            EXPECT_NE(r.err.find("old history is kept: the settings file did not load"),
                      std::string::npos)
                << r.err;
        }
    }
}

// A damaged settings file, then an automatic save in the window (the map's position), then a
// restart: the defaults must not have replaced the file, or the restart prunes by them.
TEST(DataFilesProgram, AnAutomaticSaveOverDamagedSettingsNeverLeadsToPruning) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    TempDir dir;
    const std::string data = dir.path() + "/orvik";
    ASSERT_EQ(ovk_mkdirs(data), 0);
    const std::string damaged = "{\"retention_days\": 0, \"setup_wizard_done\": true,}";
    write_file(data + "/settings.json", damaged);
    const int64_t in_2019 = 1560000000000;  // June 2019
    write_file(data + "/detections.jsonl",
               "{\"id\":1,\"mac\":\"AA:BB:CC:DD:EE:01\",\"label\":\"old\",\"timestamp\":" +
                   std::to_string(in_2019) + "}\n");

    ovk_datafile_reset();
    ASSERT_EQ(ovk_prefs_load(data), 0);
    EXPECT_EQ(ovk_prefs_file_ok(), 0);
    const auto copies = copies_of(data + "/settings.json");
    ASSERT_EQ(copies.size(), 1u);
    const std::string kept = fs::path(copies[0]).filename().string();
    EXPECT_EQ(ovk_prefs_note(), "Settings file was damaged - kept as " + kept +
                                    "; using defaults until you save Settings");
    // The automatic save: in force for this run, written nowhere.
    OVK_PREFS p = ovk_prefs_get();
    p.map_lat = 48.1;
    p.map_zoom = 12;
    EXPECT_EQ(ovk_prefs_set(p), 0);
    EXPECT_EQ(ovk_prefs_get().map_zoom, 12);
    EXPECT_EQ(read_file(data + "/settings.json"), damaged);
    EXPECT_EQ(ovk_prefs_file_ok(), 0);

    // The restart scans (and prunes when it may) and ends.
    ovk_test::ProgramLaunch l;
    l.exe = exe;
    l.args = {"--headless", "--demo", "--duration", "2"};
    l.env = {"XDG_DATA_HOME=" + dir.path(),
             std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets"};
    l.out_dir = dir.path();
    l.deadline_s = 60;
    const ovk_test::ProgramRun r = ovk_test::run_program(l);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto dets = ovk_store_parse_log(read_file(data + "/detections.jsonl"), nullptr);
    ASSERT_FALSE(dets.empty()) << r.err;
    EXPECT_EQ(dets.front().timestamp, in_2019);

    // Saving Settings makes them the user's: written, and the note goes.
    p.retention_days = 0;
    ASSERT_EQ(ovk_prefs_save(p), 0);
    EXPECT_EQ(ovk_prefs_file_ok(), 1);
    EXPECT_EQ(ovk_prefs_note(), "");
    ASSERT_EQ(ovk_prefs_load(data), 0);
    EXPECT_EQ(ovk_prefs_file_ok(), 1);
    EXPECT_EQ(ovk_prefs_get().map_zoom, 12);
    EXPECT_EQ(ovk_prefs_get().retention_days, 0);
    ovk_datafile_reset();
}

}  // namespace
