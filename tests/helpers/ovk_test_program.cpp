#include "ovk_test_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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

ProgramRun run_program(const ProgramLaunch& launch) {
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

    const std::string out_path = launch.out_dir + "/stdout.txt";
    const std::string err_path = launch.out_dir + "/stderr.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!launch.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, launch.cwd.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, launch.exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ProgramRun r;
    if (rc != 0) return r;

    int st = 0;
    bool ended = false;
    if (launch.term_after_s > 0) {
        ended = wait_until(
            pid, std::chrono::steady_clock::now() + std::chrono::seconds(launch.term_after_s), st);
        if (!ended) kill(pid, SIGTERM);
    }
    if (!ended)
        ended = wait_until(
            pid, std::chrono::steady_clock::now() + std::chrono::seconds(launch.deadline_s), st);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        r.status = -2;
    } else {
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -3;
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
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

}  // namespace ovk_test
