// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_test_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ovk_test_files.h"

extern char** environ;

namespace ovk_test {

namespace {

bool same_name(const std::string& a, const std::string& b) {
    const size_t eq = b.find('=');
    return eq != std::string::npos && a.compare(0, eq + 1, b, 0, eq + 1) == 0;
}

// Waits for the child until `deadline`; true with its wait status when it ended.
bool wait_until(pid_t pid, std::chrono::steady_clock::time_point deadline, int& st) {
    for (;;) {
        if (waitpid(pid, &st, WNOHANG) == pid) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

RunningProgram::RunningProgram(const ProgramLaunch& launch) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v(*e);
        bool replaced = false;
        for (const auto& mine : launch.env) replaced = replaced || same_name(v, mine);
        if (!replaced) env.push_back(v);
    }
    for (const auto& mine : launch.env) env.push_back(mine);
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {launch.exe};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    out_path_ = launch.out_dir + "/stdout.txt";
    err_path_ = launch.out_dir + "/stderr.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!launch.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, launch.cwd.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, launch.exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc == 0) pid_ = pid;
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &wait_status_, 0);
    }
}

bool RunningProgram::running() {
    if (pid_ <= 0 || reaped_) return false;
    if (waitpid(pid_, &wait_status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

void RunningProgram::signal(int sig) {
    if (running()) kill(pid_, sig);
}

ProgramRun RunningProgram::finish(int deadline_s) {
    ProgramRun r;
    if (pid_ <= 0) return r;
    if (!reaped_) {
        reaped_ =
            wait_until(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(deadline_s),
                       wait_status_);
        if (!reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &wait_status_, 0);
            reaped_ = true;
            r.status = -2;
        }
    }
    if (r.status != -2) r.status = WIFEXITED(wait_status_) ? WEXITSTATUS(wait_status_) : -3;
    r.out = read_file(out_path_);
    r.err = read_file(err_path_);
    return r;
}

std::string RunningProgram::err() const {
    return read_file(err_path_);
}

ProgramRun run_program(const ProgramLaunch& launch) {
    RunningProgram p(launch);
    if (!p.started()) return ProgramRun{};
    if (launch.term_after_s > 0) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::seconds(launch.term_after_s);
        while (p.running() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.signal(SIGTERM);
    }
    return p.finish(launch.deadline_s);
}

CommandResult run_command(const std::string& cmd) {
    CommandResult r;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<int> ogr_feature_counts(const std::string& path) {
    const CommandResult r = run_command("ogrinfo -ro -al -so '" + path + "'");
    EXPECT_EQ(r.rc, 0) << r.out;
    std::vector<int> out;
    const std::string tag = "Feature Count: ";
    for (size_t at = r.out.find(tag); at != std::string::npos; at = r.out.find(tag, at + 1))
        out.push_back(std::atoi(r.out.c_str() + at + tag.size()));
    return out;
}

}  // namespace ovk_test
