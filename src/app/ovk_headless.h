// The program without a window: the shared start-up (ovk_startup), scanning at once, one
// line on standard output per alert and a status line every 10 s, and the ordered shutdown
// on SIGINT / SIGTERM or after a set duration. For boards without a screen (a car, a
// backpack).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "ovk_pipeline.h"
#include "ovk_startup.h"

// "HH:MM:SS [FOLLOWING ]TAG tier NN% label | key | R dBm | evidence" (local time).
std::string ovk_headless_alert_line(const OVK_UI_ALERT& a);
// "HH:MM:SS status: SCANNERS | devices N | flagged M | threat LEVEL"; the scanner lines are
// joined with "; ", "stopped" when scanning is off.
std::string ovk_headless_status_line(const OVK_STATUS& s, int64_t now);

// SIGINT and SIGTERM set the stop flag that ovk_headless_run watches. SIGPIPE is ignored: a
// closed standard output sets the flag when the next line fails to print.
void ovk_headless_install_signals();
std::atomic<bool>& ovk_headless_stop_flag();

// The directory exports go to: ~/Documents/Orvik when ~/Documents exists and that folder
// can be created there, else the data directory's "exports".
std::string ovk_headless_export_dir(std::string_view data_dir);

// "" when `request` ("scope:format", words as ovk_export_scope_parse and
// ovk_export_format_parse take them) names an export that exists; else why not, for a person.
std::string ovk_headless_check_export(std::string_view request);

// Refuses (exit status 2, a line per bad request on standard error) before anything starts
// when an export request is not one that exists. Otherwise starts everything, scans, prints
// to `out` until the stop flag is set or the duration has passed, writes the exports and
// shuts down in order. Returns the exit status: 0, or 1 when an export could not be written
// or the engine could not start.
int ovk_headless_run(const OVK_OPTS& o, const OVK_HOST& host, FILE* out);
