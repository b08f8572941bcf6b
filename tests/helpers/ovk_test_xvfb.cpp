// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_test_xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

extern char** environ;

namespace ovk_test {

namespace {

pid_t g_server = -1;

void stop_server() {
    if (g_server <= 0) return;
    kill(g_server, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(g_server, nullptr, WNOHANG) == g_server) {
            g_server = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(g_server, SIGKILL);
    waitpid(g_server, nullptr, 0);
    g_server = -1;
}

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

XvfbState launch() {
    XvfbState st;
    st.installed = run_command("command -v Xvfb").rc == 0;
    if (!st.installed) {
        st.error = "Xvfb is not installed";
        return st;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        st.error = "pipe failed";
        return st;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb",         "-displayfd", fd.c_str(), "-screen",  "0",
                          "1280x1024x24", "-nolisten",  "tcp",      "-noreset", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "Xvfb", &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        st.error = "cannot start Xvfb";
        return st;
    }
    g_server = pid;
    std::atexit(stop_server);
    // The server writes its display number when it is ready for clients.
    std::string num;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (num.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        num.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    while (!num.empty() && (num.back() == '\n' || num.back() == ' ')) num.pop_back();
    if (num.empty()) {
        stop_server();
        st.error = "Xvfb did not report a display";
        return st;
    }
    st.display = ":" + num;
    setenv("DISPLAY", st.display.c_str(), 1);
    st.running = true;
    return st;
}

}  // namespace

const XvfbState& xvfb_start() {
    static std::once_flag once;
    static XvfbState state;
    std::call_once(once, [] { state = launch(); });
    return state;
}

CommandResult x_run(const std::string& cmd, int timeout_s) {
    return run_command("timeout " + std::to_string(timeout_s) + " sh -c " + quote(cmd));
}

bool x_wait_window(const std::string& name, int timeout_ms, std::string* window_id) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        CommandResult r = x_run("xdotool search --onlyvisible --name " + quote(name), 5);
        if (r.rc == 0 && !r.out.empty()) {
            if (window_id) *window_id = r.out.substr(0, r.out.find('\n'));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool x_screenshot(const std::string& path, const std::string& window_id) {
    return x_run("import -window " + quote(window_id) + " " + quote(path), 30).rc == 0;
}

bool xclip_set(const std::string& text, const std::string& selection) {
    const std::string file = testing::TempDir() + "xclip_in_" + std::to_string(getpid()) + ".txt";
    {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    // xclip stays in the background serving the selection; its output must not hold the
    // pipe of run_command open.
    const bool ok =
        x_run("xclip -i -selection " + selection + " < " + quote(file) + " > /dev/null 2>&1", 10)
            .rc == 0;
    std::remove(file.c_str());
    // xclip takes the selection in its background process: wait until it answers.
    for (int i = 0; ok && i < 50; ++i) {
        if (xclip_get(selection).out == text) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

CommandResult xclip_get(const std::string& selection) {
    return x_run("xclip -o -selection " + selection + " 2>/dev/null", 5);
}

}  // namespace ovk_test
