// SPDX-License-Identifier: GPL-3.0-or-later
// The headless program whose reader goes away (`orvik --headless | head -1`) or whose
// terminal hangs up: it must end through its ordered shutdown, files written, instead of
// dying mid-run. A mistyped duration is refused before anything starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"

extern char** environ;

namespace {

// Reads one line from `fd`, giving up after `limit`.
std::string read_line(int fd, std::chrono::seconds limit) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        char c = 0;
        const ssize_t r = read(fd, &c, 1);
        if (r == 1) {
            if (c == '\n') return line;
            line.push_back(c);
        } else if (r == 0) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return line;
}

TEST(HeadlessPipe, ClosedOutputEndsTheRunInOrder) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    ovk_test::TempDir dir;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v(*e);
        if (v.rfind("XDG_DATA_HOME=", 0) == 0 || v.rfind("OVK_ASSETS=", 0) == 0) continue;
        env.push_back(v);
    }
    env.push_back("XDG_DATA_HOME=" + dir.path());
    env.push_back(std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets");
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {exe, "--headless", "--demo", "--duration", "120"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pfd[2];
    ASSERT_EQ(pipe2(pfd, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string err_path = dir.file("stderr.txt");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pfd[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Run it as a shell pipeline would: SIGPIPE at its default, killing, action.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t def;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(pfd[1]);
    ASSERT_EQ(rc, 0);

    // The first alert comes at once on the demo feed; then the reader leaves.
    const std::string first = read_line(pfd[0], std::chrono::seconds(60));
    close(pfd[0]);
    EXPECT_NE(first.find(" dBm | "), std::string::npos) << first;

    // The next line (an alert or the 10 s status line) finds the pipe closed.
    int st = 0;
    bool ended = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!ended && std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, &st, WNOHANG) == pid)
            ended = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    const std::string err = ovk_test::read_file(err_path);
    ASSERT_TRUE(ended) << "still running long after its output was closed\n" << err;
    ASSERT_TRUE(WIFEXITED(st)) << "ended by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0) << "\n"
                               << err;
    EXPECT_EQ(WEXITSTATUS(st), 0) << err;
    EXPECT_NE(err.find("standard output was closed; stopping"), std::string::npos) << err;

    // The ordered shutdown wrote what the run learnt.
    const std::string data = dir.path() + "/orvik";
    EXPECT_TRUE(ovk_json_parse(ovk_test::read_file(data + "/known_devices.json")));
    const std::string log = ovk_test::read_file(data + "/detections.jsonl");
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n');
}

// The environment of a run on its own data directory.
std::vector<std::string> run_env(const std::string& data_home) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v(*e);
        if (v.rfind("XDG_DATA_HOME=", 0) == 0 || v.rfind("OVK_ASSETS=", 0) == 0) continue;
        env.push_back(v);
    }
    env.push_back("XDG_DATA_HOME=" + data_home);
    env.push_back(std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets");
    return env;
}

TEST(HeadlessProgram, HangUpEndsTheRunInOrderLikeTerminate) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    ovk_test::TempDir dir;
    std::vector<std::string> env = run_env(dir.path());
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {exe, "--headless", "--demo", "--duration", "120"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_path = dir.file("stdout.txt");
    const std::string err_path = dir.file("stderr.txt");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);

    // Wait for the demo's first alert, then hang up as a closing terminal does.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ovk_test::read_file(out_path).find(" dBm | ") == std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    int st = 0;
    bool ended = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ended && std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, &st, WNOHANG) == pid)
            ended = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    const std::string err = ovk_test::read_file(err_path);
    ASSERT_TRUE(ended) << err;
    ASSERT_TRUE(WIFEXITED(st)) << "ended by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    EXPECT_EQ(WEXITSTATUS(st), 0) << err;
    // What the run learnt was saved on the way out.
    const std::string data = dir.path() + "/orvik";
    EXPECT_FALSE(ovk_store_parse_known(ovk_test::read_file(data + "/known_devices.json")).empty());
    EXPECT_FALSE(ovk_test::read_file(data + "/detections.jsonl").empty());
}

TEST(HeadlessProgram, MistypedDurationIsRefusedBeforeAnythingStarts) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    ovk_test::TempDir dir;
    for (const std::vector<std::string>& tail : std::vector<std::vector<std::string>>{
             {"--duration", "abc"}, {"--duration", "-5"}, {"--duration"}, {"--duration", "5s"}}) {
        ovk_test::ProgramLaunch l;
        l.exe = exe;
        l.args = {"--headless", "--demo"};
        l.args.insert(l.args.end(), tail.begin(), tail.end());
        l.env = run_env(dir.path());
        l.out_dir = dir.path();
        l.deadline_s = 20;
        const ovk_test::ProgramRun r = ovk_test::run_program(l);
        const std::string what = tail.size() > 1 ? tail[1] : "(none)";
        EXPECT_EQ(r.status, 2) << what << "\n" << r.err;
        EXPECT_NE(r.err.find("--duration needs"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << what;
        // Nothing started: no data directory was made.
        EXPECT_FALSE(ovk_test::file_exists(dir.path() + "/orvik/settings.json")) << what;
    }
}

TEST(HeadlessProgram, OneProgramPerDataDirectory) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    ovk_test::TempDir dir;
    std::vector<std::string> env = run_env(dir.path());
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {exe, "--headless", "--demo", "--duration", "60"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_path = dir.file("first.txt");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t first = -1;
    ASSERT_EQ(posix_spawn(&first, exe.c_str(), &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ovk_test::read_file(out_path).find(" dBm | ") == std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // A second program on the same directory says who has it and ends at once.
    ovk_test::ProgramLaunch l;
    l.exe = exe;
    l.args = {"--headless", "--demo", "--duration", "5"};
    l.env = env;
    l.out_dir = dir.path();
    l.deadline_s = 20;
    const ovk_test::ProgramRun second = ovk_test::run_program(l);
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_NE(second.err.find("another Orvik (pid " + std::to_string(first) + ") is using " +
                              dir.path() + "/orvik"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.out, "");

    // The window says it where it is seen: a desktop notification.
    ovk_test::write_file(
        dir.file("notify-send"),
        "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.args\"\n");
    ASSERT_EQ(chmod(dir.file("notify-send").c_str(), 0700), 0);
    l.args = {"--demo"};
    std::erase_if(l.env, [](const std::string& v) { return v.rfind("PATH=", 0) == 0; });
    l.env.push_back("PATH=" + dir.path() + ":/usr/bin:/bin");
    const ovk_test::ProgramRun window = ovk_test::run_program(l);
    EXPECT_EQ(window.status, 1) << window.err;
    const auto shown = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ovk_test::file_exists(dir.file("notify-send.args")) &&
           std::chrono::steady_clock::now() < shown)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ovk_test::read_file(dir.file("notify-send.args")),
              "-a\nOrvik\n--\nOrvik did not start\nanother Orvik (pid " + std::to_string(first) +
                  ") is using " + dir.path() + "/orvik\n");

    kill(first, SIGTERM);
    int st = 0;
    ASSERT_EQ(waitpid(first, &st, 0), first);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    // Once it has gone, the directory is free again.
    l.args = {"--headless", "--demo", "--duration", "1"};
    EXPECT_EQ(ovk_test::run_program(l).status, 0);
}

TEST(HeadlessProgram, RunWhoseDetectionsCouldNotBeStoredEndsWithStatusOne) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(exe)) << "build the orvik target first";
    ovk_test::TempDir dir;
    // The log cannot be read (a directory stands in its place), so nothing is appended to it.
    ASSERT_EQ(ovk_mkdirs(dir.path() + "/orvik/detections.jsonl"), 0);
    ovk_test::ProgramLaunch l;
    l.exe = exe;
    l.args = {"--headless", "--demo", "--duration", "3"};
    l.env = run_env(dir.path());
    l.out_dir = dir.path();
    l.deadline_s = 60;
    const ovk_test::ProgramRun r = ovk_test::run_program(l);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("detections of this run could not be stored in " + dir.path() + "/orvik"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("cannot read " + dir.path() +
                         "/orvik/detections.jsonl: it is a "
                         "directory"),
              std::string::npos)
        << r.err;
}

}  // namespace
