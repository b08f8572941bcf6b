// SPDX-License-Identifier: GPL-3.0-or-later
// What every face of the program shares: the command line (one option table, its parser and
// the help text), the version, and the ordered start-up and shutdown of the engine. The
// window and the board program (--headless) both call ovk_startup_open after their own
// preparation and ovk_startup_close at the end; neither repeats the sequence.
//
// Start-up, in this order: platform, data directory, asset reader and vendor tables,
// preferences, store, watchlist, trips (stale ones closed), plate cameras, registry,
// pipeline. Shutdown runs in the reverse order. Scanning is started and stopped by the
// caller (ovk_scan_start / ovk_scan_stop), between the two.
//
// The platform services come in through OVK_HOST, which the program's entry fills, so this
// module (and its tests) need no platform code.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_asset.h"
#include "ovk_mqtt_link.h"
#include "ovk_notify.h"
#include "ovk_pipeline.h"
#include "ovk_replay.h"

inline constexpr const char* OVK_VERSION = "0.2.0-trixie";

// What the command line asks for.
struct OVK_OPTS {
    int log_level = 4;
    int width = 1100;
    int height = 820;
    bool scan = false;
    bool demo = false;  // demo feed for this run; the stored preference is left alone
    bool headless = false;
    bool help = false;
    bool version = false;               // print the version and exit
    std::vector<std::string> unknown;   // arguments the program does not know, in order
    std::optional<std::string> shots;   // screenshot tour into this directory (implies demo)
    long duration_s = 0;                // headless: 0 runs until a signal
    std::vector<std::string> exports;   // headless: "scope:format" requests written at shutdown
    bool trace = false;                 // headless: record a trip while running
    std::optional<std::string> record;  // append every advert and fix to this file
    std::optional<std::string> replay;  // feed this recording or capture instead of the radios
    double replay_speed = 1.0;          // 1 original pace, 0 as fast as the pipeline takes it
    // "S,W,N,E": download the plate cameras of that box into the cache (checked by
    // ovk_headless_parse_box before anything starts)
    std::optional<std::string> alpr_download;
    std::optional<std::string> mqtt;   // report to this broker as a sensor (over mqtt_url)
    std::optional<std::string> fleet;  // show the sensors under this broker (over fleet_url)
    bool alerts_json = false;          // headless: alerts and status lines as JSON objects
    std::string error;                 // a command-line mistake, for people ("" when none)
};

// One command-line option. Options are matched exactly; one that takes a value consumes the
// next argument. Given last without its value, the window's own options (--shots, --width,
// --height, -v) are ignored; any other sets `error`, since running without what was asked
// for (a duration, a recording) would pass a typo off as success. To add an option, add a row.
struct OVK_OPTION {
    const char* name;
    const char* value_name;  // nullptr for a flag
    // Its line in the help text, without the leading blanks; nullptr when another row's line
    // covers it.
    const char* help;
    std::function<void(OVK_OPTS& o, std::string_view value)> apply;
    bool ignored_when_last = false;  // a value option left without its value does nothing
};

// The table, in the order of the help text.
const std::vector<OVK_OPTION>& ovk_startup_options();
// Scans the arguments (argv[0] excluded) left to right; unknown ones are ignored but listed in
// `unknown`, so that the program can say so. "-h" or "--help" anywhere sets `help` and leaves
// everything else at its default; "--version" anywhere (without a help option) does the same
// with `version`. Numbers are read
// as base-10 integers, without a range check ("abc" reads as 0), except the duration: whole
// seconds, 0 or more, or `error` says what is wrong (a typo must not make a timed run
// endless).
OVK_OPTS ovk_startup_parse(std::span<const std::string> args);
OVK_OPTS ovk_startup_parse(int argc, char** argv);
// The one line --version prints: "orvik VERSION".
std::string ovk_startup_version_line();
// The help text: the title, a credit line, the usage line with `argv0`, then one line per
// option in table order.
std::string ovk_startup_help(std::string_view argv0);

// What the engine needs from the platform layer. Every member may be empty.
struct OVK_HOST {
    std::function<int()> platform_init;  // non-zero: a problem, logged, start-up goes on
    std::function<void()> platform_shutdown;
    std::function<std::string()> data_dir;  // created when missing
    OVK_ASSET_READER read_asset;
    std::function<void(int enable)> set_autostart;
    OVK_ALPR_FETCH fetch;  // HTTP GET for the plate-camera download
    OVK_PIPELINE_HOOKS hooks;
    // Capture files for --replay (the platform's reader); empty: recordings only.
    OVK_REPLAY_CAPTURE_OPEN replay_capture;
    // The broker client for --mqtt / --fleet; without it neither starts.
    OVK_MQTT_CONNECT mqtt_connect;
    // The HTTP POST for notify_url; without it alerts are not posted.
    OVK_NOTIFY_POST post;
};

// Brings the engine up in order (see the top of this file) with the log level of `o`; the
// demo option puts this run in demo mode (ovk_scan_set_demo_override) without storing it.
// --record opens the recording before the pipeline (a recording that cannot be opened fails
// the start-up: a drive is not driven for nothing). --replay makes the replay feed stand in
// for the platform's scanners (scan start, stop, running, status "Replay: FILE") and its
// clock the pipeline's, and keeps the demo feed off for the run.
// The data directory is locked for this process first (ovk_datafile_lock_dir). 0 when the
// pipeline runs afterwards; -1 when another Orvik uses the data directory ("another Orvik
// (pid N) is using DIR") or the pipeline could not start ("pipeline init failed"), in which
// case everything opened so far was closed again. Opening twice without a close in
// between does nothing and returns 0.
// After the pipeline, the links to other machines start when asked for: the sensor publisher
// (--mqtt or mqtt_url), the fleet view (--fleet or fleet_url) and the webhook (notify_url). A
// link that cannot start is logged and left out; the run goes on.
int ovk_startup_open(const OVK_OPTS& o, const OVK_HOST& host);
// Why the last ovk_startup_open failed, in words for the person who started the program
// ("another Orvik (pid N) is using DIR", "cannot record to FILE: REASON"); "" after a
// success or when the reason is only in the log.
std::string ovk_startup_error();
// Takes the engine down in the reverse order; the pipeline stops scanning first and waits
// for it. The run's demo mode ends with it. Nothing when not open.
void ovk_startup_close();
// The data directory of the open engine ("" when not open).
std::string ovk_startup_data_dir();
// False from the start of the process until the first ovk_startup_open has returned: the data
// are still being read and nothing runs yet that a stop would have to end in order. Safe to
// call from a signal handler.
bool ovk_startup_loaded();
