// SPDX-License-Identifier: GPL-3.0-or-later
// Trip recording: where the user went while scanning and which devices were heard along
// the way. At most one trip records at a time (the active trip). Files, in
// "<data directory>/trips":
//   "trips.json"          the index, a compact JSON array rewritten atomically
//   "<id>.points.csv"     the track, appended at every flush, one fix per line:
//                         "time,lat,lon,accuracy,speed" (the last two empty when unknown)
//   "<id>.devices.json"   the trip's devices, a compact JSON array rewritten atomically
//                         at every flush in which they changed
// Between flushes the newest points and device changes exist only in memory; a process
// that dies while recording leaves an open row, which ovk_trip_close_stale closes at the
// next start from what reached the files.
//
// Threads: one mutex guards all state and every file write. The pipeline worker feeds
// fixes and devices, the housekeeping thread flushes, the interface starts, stops, lists
// and reads. Reads of the recording trip flush it first. Exports work on copies and take
// no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_category.h"
#include "ovk_geo.h"

// Text limits (bytes, without terminator).
inline constexpr size_t OVK_TRIP_NAME_MAX = 95;
inline constexpr size_t OVK_TRIP_MAC_MAX = 17;
inline constexpr size_t OVK_TRIP_LABEL_MAX = 159;
inline constexpr size_t OVK_TRIP_DEV_NAME_MAX = 95;
inline constexpr size_t OVK_TRIP_VENDOR_MAX = 127;
inline constexpr size_t OVK_TRIP_TYPE_MAX = 159;
inline constexpr size_t OVK_TRIP_SOURCE_MAX = 7;
inline constexpr size_t OVK_TRIP_EVIDENCE_MAX = 1023;

// Fixes less accurate than this are not recorded.
inline constexpr double OVK_TRIP_MAX_ACCURACY_M = 60.0;
// A fix closer than this to the last point, and less than OVK_TRIP_MIN_GAP_MS after it,
// is dropped; a stationary user still leaves a point every 30 s.
inline constexpr double OVK_TRIP_MIN_STEP_M = 10.0;
inline constexpr int64_t OVK_TRIP_MIN_GAP_MS = 30000;

// One index row.
struct OVK_TRIP {
    int64_t id = 0;          // 1, 2, 3 ...; never reused while the row exists
    std::string name;        // cut to 95
    int64_t start_time = 0;  // ms
    int64_t end_time = 0;    // ms; 0 while the trip is open
    double distance_m = 0;
    int point_count = 0;
    int device_count = 0;
    int flagged_count = 0;

    bool operator==(const OVK_TRIP&) const = default;
};

// One recorded fix.
struct OVK_TRIP_POINT {
    int64_t time = 0;  // the fix's time, ms
    double lat = 0;
    double lon = 0;
    int has_accuracy = 0;
    double accuracy_m = 0;
    int has_speed = 0;
    double speed_ms = 0;

    bool operator==(const OVK_TRIP_POINT&) const = default;
};

// One device of one trip.
struct OVK_TRIP_DEVICE {
    std::string mac;          // cut to 17
    std::string label;        // cut to 159
    std::string name;         // cut to 95
    std::string vendor;       // cut to 127
    std::string device_type;  // cut to 159
    std::string source;       // "BLE" or "WIFI"; cut to 7
    int category = -1;        // OVK_CATEGORY of the best verdict; -1 when never flagged
    int confidence = 0;
    std::string evidence;  // cut to 1023
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    int best_rssi = 0;
    int has_pos = 0;
    double lat = 0;
    double lon = 0;

    bool operator==(const OVK_TRIP_DEVICE&) const = default;
};

// --- lifecycle -------------------------------------------------------------------------

// Forgets all state, uses "<data_dir>/trips" (created with its parents) and loads the
// index. -1 when the folder cannot be created: recording then works in memory only.
int ovk_trip_open(std::string_view data_dir);
// With no trip recording, closes the most recently started trip left open (by a crash or
// a kill): its end is the time of its last stored point (its start without points), its
// distance and counts are recomputed from its files. 1 when a trip was closed, else 0.
int ovk_trip_close_stale();
// Stops the active trip, then forgets all state (memory-only afterwards).
void ovk_trip_close();

// --- recording -------------------------------------------------------------------------

// Starts a trip named `name` (cut to 95), or "Trace YYYY-MM-DD HH:MM" (local time) when
// empty, and returns its id; returns the active id when a trip already records; -1 on
// failure.
int64_t ovk_trip_start(std::string_view name = {});
// Ends the active trip (flushing it); a trip with neither points nor devices is deleted.
void ovk_trip_stop();
// Writes the active trip's pending points and changed devices and updates its row.
void ovk_trip_flush();

// One fix for the active trip.
void ovk_trip_on_location(const OVK_LOCATION& loc);
// One processed advertisement for the active trip. `best` is the strongest verdict, or
// nullptr when there is none or the device is whitelisted; `loc` is the current fix or
// nullptr; texts may be empty.
void ovk_trip_on_device(std::string_view mac, int rssi, std::string_view source,
                        const OVK_HIT* best, std::string_view name, std::string_view vendor,
                        std::string_view type, const OVK_LOCATION* loc, int64_t now);

// --- the active trip -------------------------------------------------------------------

int ovk_trip_is_recording();
int64_t ovk_trip_active_id();  // 0 when none
double ovk_trip_distance();
int64_t ovk_trip_started_at();
int ovk_trip_device_count();
int ovk_trip_flagged_count();
// A copy of the active trip's points (empty without one).
std::vector<OVK_TRIP_POINT> ovk_trip_live_points();

// --- stored trips ----------------------------------------------------------------------

// All rows, newest first (start time descending, then id descending).
std::vector<OVK_TRIP> ovk_trip_list();
std::optional<OVK_TRIP> ovk_trip_get(int64_t id);
// The trip's points in file order (empty when the file is missing).
std::vector<OVK_TRIP_POINT> ovk_trip_points(int64_t id);
// The trip's devices: flagged first, then confidence descending, then best RSSI
// descending (empty when the file is missing).
std::vector<OVK_TRIP_DEVICE> ovk_trip_devices(int64_t id);
// Across all trips in index order: every flagged, positioned device last seen at or
// after `since`.
std::vector<OVK_TRIP_DEVICE> ovk_trip_flagged_since(int64_t since);
// Renames (cut to 95) and rewrites the index: the write's result, -1 for an unknown id.
int ovk_trip_rename(int64_t id, std::string_view name);
// Removes the row and both files; deleting the active trip stops recording without a
// flush. 0, or -1 for an unknown id.
int ovk_trip_delete(int64_t id);

// --- exports (pure; on copies) ---------------------------------------------------------

// nullopt only when memory runs out. Devices keep the given order; the map formats list
// only positioned devices, and with `only_flagged` only flagged ones.
std::optional<std::string> ovk_trip_export_gpx(const OVK_TRIP& t, std::span<const OVK_TRIP_POINT> p,
                                               std::span<const OVK_TRIP_DEVICE> d,
                                               bool only_flagged);
std::optional<std::string> ovk_trip_export_kml(const OVK_TRIP& t, std::span<const OVK_TRIP_POINT> p,
                                               std::span<const OVK_TRIP_DEVICE> d,
                                               bool only_flagged);
std::optional<std::string> ovk_trip_export_geojson(const OVK_TRIP& t,
                                                   std::span<const OVK_TRIP_POINT> p,
                                                   std::span<const OVK_TRIP_DEVICE> d,
                                                   bool only_flagged);
// Every device given, one CSV line each.
std::optional<std::string> ovk_trip_export_devices_csv(std::span<const OVK_TRIP_DEVICE> d);

// --- file formats (pure; used by the loaders and the writers) --------------------------

// Index rows of a "trips.json" text; elements without a positive id, and later rows
// repeating an id, are skipped; invalid JSON gives an empty list.
std::vector<OVK_TRIP> ovk_trip_parse_index(std::string_view text);
std::optional<std::string> ovk_trip_index_text(std::span<const OVK_TRIP> rows);
// Points of a points text: only complete lines (ending with a newline) whose time,
// latitude and longitude are finite numbers.
std::vector<OVK_TRIP_POINT> ovk_trip_parse_points(std::string_view text);
// The lines for `p`, each ending with a newline.
std::string ovk_trip_points_text(std::span<const OVK_TRIP_POINT> p);
// Devices of a devices text; elements without a "mac" are dropped.
std::vector<OVK_TRIP_DEVICE> ovk_trip_parse_devices(std::string_view text);
std::optional<std::string> ovk_trip_devices_text(int64_t trip_id,
                                                 std::span<const OVK_TRIP_DEVICE> d);
