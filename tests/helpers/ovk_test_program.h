// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a built program of this project as a child process, with its output caught in files
// (for end-to-end tests of the programs themselves), and outside tools through the shell.
#pragma once

#include <string>
#include <vector>

namespace ovk_test {

struct ProgramRun {
    // The exit status; -1 when the program could not be started, -2 when it had to be
    // killed at the deadline, -3 when a signal ended it.
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

struct ProgramLaunch {
    std::string exe;
    std::vector<std::string> args;  // after argv[0]
    // NAME=VALUE pairs; each replaces any variable of that name inherited from this process.
    std::vector<std::string> env;
    std::string out_dir;  // where stdout.txt and stderr.txt go
    std::string cwd;      // its working directory; empty: this process's
    // Seconds after which the program gets SIGTERM; 0 leaves it to end by itself.
    int term_after_s = 0;
    // Seconds it may take to end after that (or after the start when term_after_s is 0);
    // past them it is killed.
    int deadline_s = 30;
};

ProgramRun run_program(const ProgramLaunch& launch);

// A program running in the background while the test works with it (a window to click,
// files to watch). Killed on destruction if it is still running.
class RunningProgram {
  public:
    // Starts it; `deadline_s` and `term_after_s` of the launch are not used here.
    explicit RunningProgram(const ProgramLaunch& launch);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return pid_ > 0; }
    int pid() const { return pid_; }
    // Not yet ended.
    bool running();
    void signal(int sig);
    // Waits up to `deadline_s` seconds for it to end, kills it past that, and returns how it
    // ended with its output (status -2 when it had to be killed).
    ProgramRun finish(int deadline_s);
    // Standard error so far.
    std::string err() const;

  private:
    int pid_ = -1;
    bool reaped_ = false;
    int wait_status_ = 0;
    std::string out_path_, err_path_;
};

struct CommandResult {
    int rc = -1;      // exit status; -1 when it did not exit normally
    std::string out;  // standard output and standard error
};

// Runs a shell command line (standard error joined to standard output).
CommandResult run_command(const std::string& cmd);
// The feature count of every layer GDAL's ogrinfo finds in a file, in order (a failing
// ogrinfo fails the test).
std::vector<int> ogr_feature_counts(const std::string& path);

}  // namespace ovk_test
