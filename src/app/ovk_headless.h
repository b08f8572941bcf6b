// The program without a window: command line, start-up in the program's fixed order,
// scanning at once, one line on standard output per alert and a status line every 10 s,
// and the ordered shutdown on SIGINT / SIGTERM or after a set duration. For boards without
// a screen (a car, a backpack).
//
// The platform services come in through OVK_HOST, which the program's entry fills, so this
// module (and its tests) need no platform code.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_asset.h"
#include "ovk_pipeline.h"

inline constexpr const char* OVK_VERSION = "0.2.0-trixie";

struct OVK_HEADLESS_OPTS {
    int log_level = 4;
    int width = 1100;
    int height = 820;
    bool scan = false;
    bool demo = false;
    bool headless = false;
    bool help = false;
    std::optional<std::string> shots;
    long duration_s = 0;               // 0: run until a signal
    std::vector<std::string> exports;  // "scope:format" requests written at shutdown
    bool trace = false;                // headless: record a trip while running
    std::string error;                 // a command-line mistake, for people ("" when none)
};

// One command-line option. Options are matched exactly; one that takes a value consumes the
// next argument (an option given last without its value sets `error`). To add an option, add
// a row.
struct OVK_OPTION {
    const char* name;
    const char* value_name;  // nullptr for a flag
    const char* help;
    std::function<void(OVK_HEADLESS_OPTS& o, std::string_view value)> apply;
};

const std::vector<OVK_OPTION>& ovk_headless_options();
// Scans the arguments (argv[0] excluded) left to right; unknown ones are ignored. "-h" or
// "--help" anywhere sets `help` and leaves everything else at its default.
OVK_HEADLESS_OPTS ovk_headless_parse(std::span<const std::string> args);
OVK_HEADLESS_OPTS ovk_headless_parse(int argc, char** argv);
std::string ovk_headless_help(std::string_view argv0);

// `text` safe for a terminal: C0 controls, DEL, C1 controls (as raw bytes or in their UTF-8
// form) and bytes that are not UTF-8 are written as \xNN / \uNNNN, so text from the air
// cannot move the cursor or retitle the terminal.
std::string ovk_headless_terminal_text(std::string_view text);
// "HH:MM:SS [FOLLOWING ]TAG tier NN% label | key | R dBm | evidence" (local time), safe for a
// terminal.
std::string ovk_headless_alert_line(const OVK_UI_ALERT& a);
// "HH:MM:SS status: SCANNERS | devices N | flagged M | threat LEVEL"; the scanner lines are
// joined with "; ", "stopped" when scanning is off; " | data read-only (...)" follows while
// data files are held.
std::string ovk_headless_status_line(const OVK_STATUS& s, int64_t now);

// What the program needs from the platform layer.
struct OVK_HOST {
    std::function<int()> platform_init;
    std::function<void()> platform_shutdown;
    std::function<std::string()> data_dir;
    OVK_ASSET_READER read_asset;
    std::function<void(int enable)> set_autostart;
    OVK_PIPELINE_HOOKS hooks;
};

// SIGINT, SIGTERM and SIGHUP (a closed terminal or ssh session) set the stop flag that
// ovk_headless_run watches. SIGPIPE is ignored: a
// closed standard output sets the flag when the next line fails to print.
void ovk_headless_install_signals();
std::atomic<bool>& ovk_headless_stop_flag();

// The directory exports go to: ~/Documents/Orvik when ~/Documents exists and that folder
// can be created there, else the data directory's "exports".
std::string ovk_headless_export_dir(std::string_view data_dir);

// "" when `request` ("scope:format", words as ovk_export_scope_parse and
// ovk_export_format_parse take them) names an export that exists; else why not, for a person.
std::string ovk_headless_check_export(std::string_view request);

// Refuses (exit status 2, a line per mistake on standard error) before anything starts when
// the command line had a mistake or an export request is not one that exists. Otherwise starts
// everything, scans, prints to `out` until the stop flag is set or the duration has passed, writes
// the exports and shuts down in order. Returns the exit status: 0, or 1 when an export could not be
// written.
int ovk_headless_run(const OVK_HEADLESS_OPTS& o, const OVK_HOST& host, FILE* out);
