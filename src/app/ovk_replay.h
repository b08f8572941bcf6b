// SPDX-License-Identifier: GPL-3.0-or-later
// Replay: a recording (orvik --record) or a capture file of another tool fed to a sink in
// place of the radios, the way the demo feed is: adverts to on_advert and the recorded GPS
// fixes to on_location, on the feed's own thread, in file order, with the times they were
// recorded. Capture files are read by the platform's capture reader, which the program hands
// in as an OVK_REPLAY_CAPTURE_OPEN; without one every file is read as a recording.
//
// Pace: `speed` 1 replays at the original pace, 2 twice as fast, and 0 as fast as the
// consumer takes it (the feed then waits while the consumer's backlog is above a bound, so
// nothing is dropped). A silence of more than 5 minutes in the file (two drives appended to
// one recording) is shortened to one second.
//
// The replay clock (ovk_replay_clock) is the recording's time as the feed plays it; the
// program gives it to the pipeline as its clock, so that ages, staleness and cool-downs run
// on the recording's time and a replay finds what the live run found.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_advert.h"
#include "ovk_geo.h"
#include "ovk_sink.h"

// One item of a recording or capture.
struct OVK_REPLAY_ITEM {
    OVK_ADVERT_PTR advert;  // an advert, or nullptr for a fix
    OVK_LOCATION fix;
    int64_t time = 0;  // ms since the epoch; 0 when the item has none
};

// A capture file's adverts, frame by frame.
struct OVK_REPLAY_CAPTURE {
    // 1 with the adverts of the next frame (often none); 0 at the end; -1 when the file is
    // damaged, with `error` set.
    std::function<int(std::vector<OVK_ADVERT_PTR>& adverts, std::string& error)> next;
};
// Opens a capture file. `head` holds the file's first bytes (up to 8: enough to tell the
// formats apart) and `in` gives the whole file from its first byte. nullopt with `error`
// empty: the file is no capture, and `in` was not touched (it is read as a recording).
// Otherwise the capture takes `in` over and closes it, also when it fails (nullopt with
// `error` set: a damaged capture).
using OVK_REPLAY_CAPTURE_OPEN = std::function<std::optional<OVK_REPLAY_CAPTURE>(
    std::string_view head, FILE* in, std::string& error)>;

// Reads a recording (JSON Lines: advert and fix lines; comments and invalid lines passed
// over and counted) or, through `capture`, a capture file.
//
// A regular file is looked at when it is opened. A pipe or a FIFO (a live capture:
// `tcpdump -w - | orvik --replay /dev/stdin`) is opened without waiting for a writer and
// looked at on the first next(), which waits for its first bytes. Directories and devices
// (a terminal, /dev/zero, /dev/urandom, also through a symlink) are refused at once. Every
// wait for data gives up within OVK_REPLAY_STOP_POLL_MS once `*stop` is set: next() then
// returns -1 with the error "stopped".
class OVK_REPLAY_READER {
  public:
    // nullptr with `error` set when the file cannot be read, is no file to replay, or is a
    // damaged capture.
    static std::unique_ptr<OVK_REPLAY_READER> open(const std::string& path, std::string& error,
                                                   const OVK_REPLAY_CAPTURE_OPEN& capture = {},
                                                   const std::atomic<bool>* stop = nullptr);
    virtual ~OVK_REPLAY_READER() = default;
    // 1 with the next item; 0 at the end; -1 when the file turned out damaged or is neither a
    // recording nor a capture (error()).
    virtual int next(OVK_REPLAY_ITEM& out) = 0;
    const std::string& error() const { return error_; }
    long skipped() const { return skipped_; }  // lines or frames that gave nothing usable
    // A pipe or a FIFO: the next item may be long in coming.
    bool live() const { return live_; }

  protected:
    std::string error_;
    long skipped_ = 0;
    bool live_ = false;
};

// Longest recording line read; longer ones are passed over (and counted) unread into memory.
inline constexpr size_t OVK_REPLAY_LINE_MAX = size_t{1} << 20;
// A text whose first this many lines (comments aside) hold no advert or fix is no recording;
// so is one that ends before any. A recording with some damaged lines still plays.
inline constexpr long OVK_REPLAY_JUNK_MAX = 1000;
// How often a wait for data looks at the stop flag.
inline constexpr int OVK_REPLAY_STOP_POLL_MS = 100;
// A silence longer than this is shortened to OVK_REPLAY_GAP_PLAYED_MS.
inline constexpr int64_t OVK_REPLAY_GAP_MS = 300000;
inline constexpr int64_t OVK_REPLAY_GAP_PLAYED_MS = 1000;

struct OVK_REPLAY_OPTS {
    std::string path;
    double speed = 1.0;  // 0: as fast as the consumer takes it
    // Items the consumer still holds (ovk_pipeline_pending); with speed 0 the feed waits
    // while it is above `backlog_max`. Empty: never waits.
    std::function<int()> backlog;
    int backlog_max = 4000;
    OVK_REPLAY_CAPTURE_OPEN capture;  // empty: recordings only
};

// Opens the file and starts the feed's thread. 0; -1 when the file cannot be opened (the
// status says why) or the thread cannot start. A running replay is stopped first.
int ovk_replay_start(const OVK_REPLAY_OPTS& o, const OVK_SINK& sink);
// Stops and joins the thread; nothing reaches the sink after it returns.
void ovk_replay_stop();
// 1 from start until stop, also after the file was played to its end.
int ovk_replay_running();
// 1 once the whole file was played (or reading ended on damage).
int ovk_replay_finished();
// Why the replay ended before the end of its file ("" when it did not): a damaged capture,
// a file that is neither a recording nor a capture, a read error.
std::string ovk_replay_error();
// "Replay: FILE" while playing; "Replay: FILE (finished: N adverts, M fixes)" at the end;
// "Replay: FILE: <reason>" when it could not be read; "" when no replay was started.
std::string ovk_replay_status();
// The recording's time now: the wall clock before the first item, then the time of the item
// being played plus the wall time since (times `speed`); with speed 0 the time of the last
// item played. Falls back to the wall clock when no replay runs.
int64_t ovk_replay_clock();
// Adverts and fixes handed to the sink since the start.
long ovk_replay_adverts();
long ovk_replay_fixes();
