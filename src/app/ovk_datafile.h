// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the files of the data directory so that nothing a user keeps is lost:
//   - a file is read only when it is a regular file within the size limit of its kind (a FIFO
//     would hang the reader, /dev/zero would never end);
//   - a file that exists but cannot be read (no permission, an I/O error, not a regular file,
//     too large) is reported and held: no write of this process replaces it, and the data is
//     said to be read-only until it loads;
//   - a file whose content does not parse is copied to "NAME.bad-<UTC time>" before anything
//     is written over it (once: a copy with the same bytes is not made again); when no copy
//     can be made it is held like an unreadable one.
// ovk_write_file_atomic refuses held paths, so every writer obeys the rule.
//
// Threads: one internal mutex; any thread may call.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_app_util.h"

// Size limits by kind of file.
inline constexpr size_t OVK_DATAFILE_SETTINGS_MAX = size_t{1} << 20;    // settings.json
inline constexpr size_t OVK_DATAFILE_LIST_MAX = size_t{64} << 20;       // whitelist, watchlist,
                                                                        // plate cameras, index
inline constexpr size_t OVK_DATAFILE_HISTORY_MAX = size_t{2048} << 20;  // log, remembered devices
inline constexpr size_t OVK_DATAFILE_TRIP_MAX = size_t{512} << 20;      // one trip's files

enum class OVK_DATAFILE_STATE { Loaded, Missing, Unreadable };

struct OVK_DATAFILE {
    OVK_DATAFILE_STATE state = OVK_DATAFILE_STATE::Missing;
    OVK_FILE_VIEW view;  // the content when loaded (empty otherwise)
    std::string why;     // for people, when unreadable
};

// Reads `path` by the rules above. An unreadable file is logged at LOG_ERR ("cannot read
// PATH: WHY; it is left as it is and not written in this run") and held. A file that loads
// is no longer held.
OVK_DATAFILE ovk_datafile_read(const std::string& path, size_t max_bytes);
// Reads an import the user picked: the same rules, without holding anything. nullopt with
// the reason in `why` when it cannot be read.
std::optional<std::string> ovk_datafile_read_import(const std::string& path, size_t max_bytes,
                                                    std::string& why);

// The content of `path` did not parse: keeps it as NAME.bad-<UTC time> and logs at LOG_ERR
// which file was damaged and where the copy is. Returns the copy's path, or "" when none
// could be made (the file is then held). `content` is what was read (for the copy).
std::string ovk_datafile_damaged(const std::string& path, std::string_view content);

// Holds / releases a path by hand (a loader that finds a file it cannot use for another
// reason). `why` is for the log.
void ovk_datafile_hold(const std::string& path, std::string_view why);
void ovk_datafile_release(const std::string& path);
// 0 when `path` is held (no write may replace or extend it), else 1.
int ovk_datafile_writable(const std::string& path);
// The held files' names ("settings.json", ...), in the order they were held.
std::vector<std::string> ovk_datafile_held();
// "" when nothing is held, else "data read-only (cannot read NAME, NAME)" for status lines.
std::string ovk_datafile_readonly_note();
// Releases every path (tests; a new data directory).
void ovk_datafile_reset();

// One program per data directory: takes an exclusive lock (flock) on DIR/orvik.lock, held
// until ovk_datafile_unlock_dir or the end of the process, and writes this process's id into
// it when it may (a lock file this user can only read, or a directory, is locked through a
// read-only open). -1 when another process holds it ("another Orvik (pid N) is using DIR" is
// logged at LOG_ERR and put in `*why` when given), and -1 when the lock cannot be taken at all
// ("cannot lock DIR/orvik.lock: WHY ...", likewise): the data are never used unlocked. A
// directory that cannot be made at all is left to the store to report: 0.
int ovk_datafile_lock_dir(const std::string& dir, std::string* why = nullptr);
void ovk_datafile_unlock_dir();
