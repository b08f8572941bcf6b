// SPDX-License-Identifier: GPL-3.0-or-later
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

// `text` safe for a terminal: C0 controls, DEL, C1 controls (as raw bytes or in their UTF-8
// form), bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and
// bytes that are not UTF-8 are written as \xNN / \uNNNN, so text from the air cannot move the
// cursor, retitle the terminal or reorder what a line shows.
std::string ovk_headless_terminal_text(std::string_view text);
// "HH:MM:SS [FOLLOWING ]TAG tier NN% label | key | R dBm | evidence" (local time), safe for a
// terminal.
std::string ovk_headless_alert_line(const OVK_UI_ALERT& a);
// "HH:MM:SS status: SCANNERS | devices N | flagged M | threat LEVEL"; the scanner lines are
// joined with "; ", "stopped" when scanning is off; " | data read-only (...)" follows while
// data files are held.
std::string ovk_headless_status_line(const OVK_STATUS& s, int64_t now);
// The same as one JSON object each, for --alerts-json: {"type":"alert", label, category,
// confidence, tier, address, time, following, lat/lon when fresh, sensor for a fleet alert,
// rssi, evidence} and {"type":"status", time, scanners, devices, flagged, threat, links, data}.
std::string ovk_headless_alert_json(const OVK_UI_ALERT& a);
std::string ovk_headless_status_json(const OVK_STATUS& s, int64_t now);

// SIGINT, SIGTERM and SIGHUP (a closed terminal or ssh session) set the stop flag that
// ovk_headless_run watches; before the start-up has loaded the data (ovk_startup_loaded) they
// end the program at once instead. SIGPIPE is ignored: a closed standard output sets the flag
// when the next line fails to print.
void ovk_headless_install_signals();
std::atomic<bool>& ovk_headless_stop_flag();

// The directory exports go to: ~/Documents/Orvik when ~/Documents exists and that folder
// can be created there, else the data directory's "exports".
std::string ovk_headless_export_dir(std::string_view data_dir);

// "" when `request` ("scope:format", words as ovk_export_scope_parse and
// ovk_export_format_parse take them, or "trip:gpx|kml|geojson|csv" for the latest trace)
// names an export that exists; else why not, for a person.
std::string ovk_headless_check_export(std::string_view request);

// A download box in degrees.
struct OVK_GEO_BOX {
    double south = 0;
    double west = 0;
    double north = 0;
    double east = 0;
};
// "" with `box` filled when `text` is "S,W,N,E": four decimal numbers (blanks around them
// allowed) with -90 <= S < N <= 90, -180 <= W < E <= 180 and neither side longer than
// OVK_ALPR_MAX_SPAN_DEG; else why not, for a person (`box` then unchanged).
std::string ovk_headless_parse_box(std::string_view text, OVK_GEO_BOX& box);

// Refuses (exit status 2, a line per mistake on standard error) before anything starts when
// the command line had a mistake, an export request is not one that exists or the download
// box is not one. Otherwise starts everything; with --alpr-download downloads the box's plate
// cameras and prints the outcome ("alpr-download BOX: ..."); scans, prints to `out` until the
// stop flag is set, the duration has passed or (with --replay) the replay has been played to
// its end and taken in, writes the exports and shuts down in order. A replay that cannot start
// ends the run with its status on standard error. Returns the exit status: 0, or 1 when an
// export could not be written, the download failed, the engine could not start, or detections
// could not be stored.
int ovk_headless_run(const OVK_OPTS& o, const OVK_HOST& host, FILE* out);
// --alpr-download without --headless: the start-up, the download and its line on `out`, the
// shutdown; nothing is scanned and no window opens. Exit status 0; 1 when the download failed,
// its cameras could not be written to the cache or the engine could not start; 2 (before
// anything starts, with the reason on standard error) for a box that is not one.
int ovk_headless_download_only(const OVK_OPTS& o, const OVK_HOST& host, FILE* out);
