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

struct CommandResult {
    int rc = -1;      // exit status; -1 when it did not exit normally
    std::string out;  // standard output and standard error
};

// Runs a shell command line (standard error joined to standard output).
CommandResult run_command(const std::string& cmd);

}  // namespace ovk_test
