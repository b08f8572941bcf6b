// SPDX-License-Identifier: GPL-3.0-or-later
// The local store: the detection log, the remembered devices and the whitelist, mirrored in
// memory and written through to three files in the data directory:
//   "detections.jsonl"   one compact JSON object per line; appended per detection,
//                        rewritten atomically after a prune or clear
//   "known_devices.json" compact JSON array of the remembered devices, rewritten atomically
//                        now and then; "known_devices.journal" beside it holds the changes
//                        since, one JSON line per change ({"put":[records]} or
//                        {"forget":[MACs]}), appended and synced, so a history flush writes
//                        what changed (the file is folded in when it reaches a quarter of
//                        the compacted one)
//   "whitelist.json"     compact JSON array, rewritten atomically after every change
// While the store is not open (before a successful open, after close, or when the data
// directory could not be created) everything works on memory only.
//
// Threads: one mutex guards all state and every file write. The registry calls in while
// holding its own lock (registry, then store), so the store never calls out to another
// module's locked functions while it holds its lock. Results are always copies.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_category.h"

// Text limits (bytes, without terminator).
inline constexpr size_t OVK_DET_MAC_MAX = 39;
inline constexpr size_t OVK_DET_LABEL_MAX = 159;
inline constexpr size_t OVK_DET_SOURCE_MAX = 7;
inline constexpr size_t OVK_DET_EVIDENCE_MAX = 1023;
inline constexpr size_t OVK_DET_VENDOR_MAX = 127;
inline constexpr size_t OVK_DET_NAME_MAX = 95;
inline constexpr size_t OVK_DET_SENSOR_MAX = 32;
inline constexpr size_t OVK_KNOWN_MAC_MAX = 17;
inline constexpr size_t OVK_KNOWN_NAME_MAX = 95;
inline constexpr size_t OVK_KNOWN_VENDOR_MAX = 127;
inline constexpr size_t OVK_KNOWN_TYPE_MAX = 159;
inline constexpr size_t OVK_KNOWN_NOTE_MAX = 255;
inline constexpr size_t OVK_WL_MAC_MAX = 17;
inline constexpr size_t OVK_WL_NOTE_MAX = 127;

// One logged match.
struct OVK_DETECTION {
    int64_t id = 0;         // given by the store, from 1 upward
    std::string mac;        // address, or "CELL " + anomaly key; cut to 39
    std::string label;      // the verdict's label; cut to 159
    std::string source;     // "BLE", "WIFI" or "CELL"; cut to 7
    int rssi = 0;           // dBm (0 for cell anomalies)
    int64_t timestamp = 0;  // ms since the epoch
    int has_pos = 0;        // 1 when lat/lon are valid
    double lat = 0;
    double lon = 0;
    OVK_CATEGORY category = OVK_CAT_CUSTOM;
    int confidence = 0;       // 0..100
    std::string evidence;     // the verdict's reason; cut to 1023
    std::string vendor;       // may be empty; cut to 127
    std::string device_name;  // may be empty; cut to 95
    // The fleet sensor that reported it ("" for this machine's own radios); written to the
    // log only when set, so readers that do not know the field are not disturbed. Cut to 32.
    std::string sensor;

    bool operator==(const OVK_DETECTION&) const = default;
};

// One remembered device.
struct OVK_KNOWN {
    std::string mac;  // the key; cut to 17
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    int sessions = 0;         // scanning sessions in which it was seen
    int detect_count = 0;     // history flushes in which it was seen
    std::string name;         // cut to 95
    std::string vendor;       // cut to 127
    std::string device_type;  // cut to 159
    int favorite = 0;
    std::string note;  // cut to 255

    bool operator==(const OVK_KNOWN&) const = default;
};

struct OVK_WHITELIST_ENTRY {
    std::string mac;   // cut to 17
    std::string note;  // cut to 127

    bool operator==(const OVK_WHITELIST_ENTRY&) const = default;
};

// --- lifecycle -------------------------------------------------------------------------

// Forgets everything in memory, creates the directory and loads the three files (missing
// ones are empty). -1 when the directory cannot be created (the store stays closed).
int ovk_store_open(std::string_view data_dir);
// Forgets everything in memory and closes (memory-only operation from now on).
void ovk_store_close();
// 1 while open.
int ovk_store_is_open();
// 1 when detections held in memory are missing from the log on disk (its last write
// failed, or the log could not be read at open and is left as it was).
int ovk_store_detections_unsaved();

// --- detection log ---------------------------------------------------------------------

// Appends a copy with the next id (texts cut to their limits) and, when open, its line to
// the log. -1 when the file write fails (the record stays in memory and the file is brought
// up to date by the next successful write) or memory runs out.
int ovk_store_add_detection(const OVK_DETECTION& d);
// Copies of every detection with timestamp >= since, newest first (ties: higher id first).
std::vector<OVK_DETECTION> ovk_store_detections(int64_t since);
int ovk_store_detection_count();
// Copies of the detections of one device (`mac` exactly), newest first, at most `max`; only
// those are copied, whatever the size of the log.
std::vector<OVK_DETECTION> ovk_store_detections_of(std::string_view mac, size_t max);
// A number that changes whenever the log does (a detection added, pruned or cleared, the store
// opened or closed): a screen showing part of the log reads it again when this moves on.
uint64_t ovk_store_log_serial();
// Removes every detection older than `before`, keeping the order of the rest; rewrites the
// log when any was removed. Returns the number removed.
int ovk_store_prune_detections(int64_t before);
// Removes all detections; rewrites the log empty. 0 / -1.
int ovk_store_clear_detections();

// --- remembered devices ----------------------------------------------------------------

// A copy of the remembered record for exactly this MAC.
std::optional<OVK_KNOWN> ovk_store_known_get(std::string_view mac);
// Replaces (or adds) the record of every row with a non-empty MAC as a whole, then
// rewrites the file. An empty span does nothing and returns 0.
int ovk_store_known_upsert(std::span<const OVK_KNOWN> rows);
// The leading pieces of an upsert too large to hold at once: replaces (or adds) the records
// like ovk_store_known_upsert but writes nothing, so that the next write of the remembered
// devices (the closing ovk_store_known_upsert) rewrites the whole file. 0 / -1.
int ovk_store_known_stage(std::span<const OVK_KNOWN> rows);
// All remembered devices, most recently seen first (ties: MAC in byte order).
std::vector<OVK_KNOWN> ovk_store_known_all();
int ovk_store_known_count();
// Forgets every non-favourite last seen before `before`; returns the number forgotten.
int ovk_store_known_prune(int64_t before);
// Forgets every non-favourite. 0 / -1.
int ovk_store_known_clear_non_favorites();
int ovk_store_is_favorite(std::string_view mac);
// Finds or creates the record (the texts only fill a new one) and sets the mark. 0 / -1.
int ovk_store_set_favorite(std::string_view mac, int favorite, std::string_view name,
                           std::string_view vendor, std::string_view type);
// Finds or creates the record and stores the note (cut to 255). 0 / -1.
int ovk_store_set_note(std::string_view mac, std::string_view note);

// --- whitelist -------------------------------------------------------------------------

// 1 when an entry's MAC equals `mac` exactly (no normalisation on lookup).
int ovk_store_is_whitelisted(std::string_view mac);
// Normalises the MAC; replaces the note of an existing entry or appends one. 0 / -1.
int ovk_store_whitelist_add(std::string_view mac, std::string_view note);
// Normalises the MAC and removes the first entry with it. 0 when nothing matched, else
// the rewrite's result.
int ovk_store_whitelist_remove(std::string_view mac);
std::vector<OVK_WHITELIST_ENTRY> ovk_store_whitelist_all();
// A number that changes whenever the whitelist does.
uint64_t ovk_store_whitelist_serial();

// --- file formats (pure; used by the loader and the writers) ---------------------------

// The records of a log text: unparsable lines are skipped, ids below 1 are given the next
// id. `*next_id` (when given) receives one above the highest id.
std::vector<OVK_DETECTION> ovk_store_parse_log(std::string_view text, int64_t* next_id);
// The records of a remembered-devices text (later duplicates replace earlier ones, in the
// order of first appearance).
std::vector<OVK_KNOWN> ovk_store_parse_known(std::string_view text);
// The records of a remembered-devices text with a journal text replayed over it (a last
// journal line without its newline is ignored).
std::vector<OVK_KNOWN> ovk_store_parse_known_journal(std::string_view base,
                                                     std::string_view journal);
// The entries of a whitelist text (the first of duplicate MACs wins).
std::vector<OVK_WHITELIST_ENTRY> ovk_store_parse_whitelist(std::string_view text);
// One log line, without the newline; nullopt when it cannot be built.
std::optional<std::string> ovk_store_detection_line(const OVK_DETECTION& d);
// The compact JSON array of records / entries.
std::optional<std::string> ovk_store_known_text(std::span<const OVK_KNOWN> rows);
std::optional<std::string> ovk_store_whitelist_text(std::span<const OVK_WHITELIST_ENTRY> rows);
