// SPDX-License-Identifier: GPL-3.0-or-later
// Exports: the session's devices, the remembered devices, the match log, the custom
// watchlist or everything, as CSV, JSON, KML, GPX or GeoJSON texts built in memory, and the
// file writer that puts one into a directory under "orvik_<scope>_<local time>.<ext>".
// Also the text helpers every export uses: spreadsheet-safe CSV fields, XML escaping with
// UTF-8 validation, and the ISO (UTC) and local time formats.
//
// The format functions work on the copies handed to them; ovk_export_to_file and the
// everything export fetch their copies from the registry, store and watchlist through their
// locked interfaces. Every function returns nullopt only when memory runs out.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ovk_registry.h"
#include "ovk_remoteid.h"
#include "ovk_store.h"

enum OVK_EXPORT_SCOPE : int {
    OVK_EXPORT_SESSION = 0,
    OVK_EXPORT_HISTORY = 1,
    OVK_EXPORT_LOG = 2,
    OVK_EXPORT_WATCHLIST = 3,
    OVK_EXPORT_EVERYTHING = 4,
};
inline constexpr int OVK_EXPORT_SCOPE_COUNT = 5;

enum OVK_EXPORT_FORMAT : int {
    OVK_FMT_CSV = 0,
    OVK_FMT_JSON = 1,
    OVK_FMT_KML = 2,
    OVK_FMT_GPX = 3,
    OVK_FMT_GEOJSON = 4,
};
inline constexpr int OVK_EXPORT_FORMAT_COUNT = 5;

// Devices of the session (full records as ovk_registry_get gives them).
std::optional<std::string> ovk_export_session_csv(const OVK_DEVICE_LIST& devices);
std::optional<std::string> ovk_export_session_json(const OVK_DEVICE_LIST& devices);
std::optional<std::string> ovk_export_session_kml(const OVK_DEVICE_LIST& devices);
// Remembered devices.
std::optional<std::string> ovk_export_history_csv(std::span<const OVK_KNOWN> rows);
std::optional<std::string> ovk_export_history_json(std::span<const OVK_KNOWN> rows);
// Logged detections (GPX and KML leave out the rows without a position).
std::optional<std::string> ovk_export_log_csv(std::span<const OVK_DETECTION> rows);
std::optional<std::string> ovk_export_log_json(std::span<const OVK_DETECTION> rows);
std::optional<std::string> ovk_export_log_gpx(std::span<const OVK_DETECTION> rows);
std::optional<std::string> ovk_export_log_kml(std::span<const OVK_DETECTION> rows);
// Session, history, log and custom watchlist in one JSON document.
std::optional<std::string> ovk_export_everything_json();

// 1 when the scope offers the format.
int ovk_export_supported(int scope, int fmt);
// "csv", "json", "kml", "gpx", "geojson"; "txt" for any other value.
const char* ovk_export_ext(int fmt);
// The media type; "text/plain" for any other value.
const char* ovk_export_mime(int fmt);
// The scope's word in file names ("nearby_devices", ...); "" outside the enum.
const char* ovk_export_scope_word(int scope);
// The lower-case enum words: "session", "history", "log", "watchlist", "everything" and
// "csv", "json", "kml", "gpx", "geojson" (ignoring case); -1 for anything else.
int ovk_export_scope_parse(std::string_view word);
int ovk_export_format_parse(std::string_view word);

// The session as the file export sees it: a registry snapshot at now with each device's
// full record, devices with verdicts first, then stronger signal first (stable).
OVK_DEVICE_LIST ovk_export_gather_session();

// Produces the export and writes it atomically into `dir` (created when missing). 0 with
// the path in `path_out`, or -1 with the reason in `err`.
int ovk_export_to_file(OVK_EXPORT_SCOPE scope, OVK_EXPORT_FORMAT fmt, std::string_view dir,
                       std::string& path_out, std::string& err);

// Trips: GPX, KML and GeoJSON (route and devices) and CSV (the devices heard) are offered.
int ovk_export_trip_supported(int fmt);
// Writes trip `trip_id` as "orvik_trace_<local time>.<ext>" into `dir`, as the trips screen
// does; `only_flagged` keeps unflagged devices off the map formats (the CSV always lists
// every device). 0 with the path in `path_out`, or -1 with the reason in `err`.
int ovk_export_trip_to_file(int64_t trip_id, OVK_EXPORT_FORMAT fmt, bool only_flagged,
                            std::string_view dir, std::string& path_out, std::string& err);

// Adds the Remote ID fields to `o` in the order every JSON output uses, absent ones as
// null. 0, or -1 when memory ran out (`o` may then hold some of them).
int ovk_export_add_remote_id(cJSON* o, const OVK_REMOTE_ID& r);

// Text helpers.
// The value between double quotes, inner quotes doubled, and an apostrophe after the opening
// quote when it starts with '=', '+', '-', '@', a tab or a carriage return. Cut to fit
// `outsz` bytes with a terminator, the closing quote always present (outsz below 3 gives "").
// Bytes that are not UTF-8 and controls other than tab, LF and CR (C0, DEL, C1) are dropped,
// so that printing the file cannot steer a terminal.
std::string ovk_csv_field(std::string_view s, size_t outsz = SIZE_MAX);
// A field written bare (addresses, sources, times): the value itself, or ovk_csv_field of it
// when it would break the columns or read as a formula (only possible from a damaged file).
std::string ovk_csv_bare(std::string_view s);
// XML text: markup characters escaped, controls other than tab/LF/CR, U+FFFE, U+FFFF and
// every byte of invalid UTF-8 dropped; DEL and C1 controls written as character references.
std::string ovk_xml_escape(std::string_view s);
// "%Y-%m-%dT%H:%M:%SZ" in UTC / "%Y-%m-%d %H:%M:%S" in local time, milliseconds floored;
// "" when the time cannot be converted.
std::string ovk_iso_time(int64_t ms);
std::string ovk_local_time(int64_t ms);
