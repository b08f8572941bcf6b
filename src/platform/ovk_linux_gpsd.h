// SPDX-License-Identifier: GPL-3.0-or-later
// The GPS client: one thread that keeps a TCP connection to gpsd, asks for JSON reports,
// turns usable TPV reports into OVK_LOCATION fixes and hands them to the platform sink
// (every fix while fast, else at most one per 5 s). It reconnects by itself after 10 s and
// keeps a one-line status that is emitted whenever it changes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "ovk_geo.h"
#include "ovk_platform.h"

inline constexpr int OVK_GPSD_DEFAULT_PORT = 2947;
// Longest report line kept, including its "\n"; longer lines are skipped whole.
inline constexpr size_t OVK_GPSD_BUF_SIZE = 8192;
inline constexpr size_t OVK_GPSD_STATUS_MAX = 159;
inline constexpr int OVK_GPSD_PACE_MS = 5000;  // minimum gap between fixes unless fast
inline constexpr int OVK_GPSD_FIX_TIMEOUT_MS = 10000;
inline constexpr int OVK_GPSD_RETRY_MS = 10000;

// Starts the client (stopping a running one first): host gpsd_host or "localhost", port
// gpsd_port when within 1..65535 else 2947, fast = location_fast. 0, or -1 when the thread
// cannot be created.
int ovk_linux_gpsd_start(const OVK_SCAN_OPTS& opts);
// Stops and joins the client; the status becomes "GPS: stopped".
void ovk_linux_gpsd_stop();
std::string ovk_linux_gpsd_status();

// One report line: 1 and `out` filled when it is a TPV report with a 2D/3D fix and valid
// coordinates, else 0 (`out` untouched). Never reads outside `line`.
int ovk_linux_gpsd_parse_tpv(std::string_view line, OVK_LOCATION& out);
// "YYYY-MM-DDTHH:MM:SS[.fff...]" in UTC as ms since the epoch; 0 when it does not match or
// is not after the epoch.
int64_t ovk_linux_gpsd_parse_time(std::string_view s);

// Splits the received byte stream into report lines.
struct OVK_GPSD_LINES {
    std::string tail;       // the incomplete last line, shorter than OVK_GPSD_BUF_SIZE
    bool skipping = false;  // inside an overlong line, dropping bytes up to its "\n"
};
// Appends `data` and calls `on_line` with every complete line (without "\n"). Returns the
// number of lines delivered.
size_t ovk_linux_gpsd_split(OVK_GPSD_LINES& lines, std::string_view data,
                            const std::function<void(std::string_view)>& on_line);
