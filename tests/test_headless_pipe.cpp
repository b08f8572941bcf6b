// The headless program whose reader goes away (`orvik --headless | head -1`): it must end
// through its ordered shutdown, files written, instead of dying of SIGPIPE mid-run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_test_files.h"

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

}  // namespace
