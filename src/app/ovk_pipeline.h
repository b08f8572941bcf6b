// SPDX-License-Identifier: GPL-3.0-or-later
// The detection pipeline: everything the radios, the GPS client and a cell monitor report is
// queued here, and one worker thread turns each advertisement into verdicts, a tracked device,
// a logged detection and alerts. A housekeeping thread refreshes the notification line, writes
// device history once a minute and prunes the classification cache while scanning. The
// pipeline also owns scan control (real radios or the demo feed), the latest GPS fix, the
// alert ring the interface pops and the overall threat level.
//
// Scan control never blocks its caller: start, stop and refresh are requests that a
// scan-control thread carries out in the order they were made (closing a Bluetooth adapter
// or pruning the detection log can take seconds). Their progress shows in OVK_STATUS.
//
// The application layer does not link the platform layer: the platform services the pipeline
// needs (sink installation, notifications, sounds, scanner control) come through
// OVK_PIPELINE_HOOKS, which the program installs before ovk_pipeline_init. Without hooks the
// pipeline runs silently and cannot start the radios (the demo feed still works).
//
// Lock order: the pipeline never holds its lock while calling the registry, the store, the
// preferences or a hook; the cell analyzer (which has no lock) runs under it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ovk_advert.h"
#include "ovk_category.h"
#include "ovk_cell.h"
#include "ovk_geo.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_sink.h"
#include "ovk_store.h"

enum OVK_THREAT : int {
    OVK_THREAT_CLEAR = 0,
    OVK_THREAT_WEAK = 1,
    OVK_THREAT_PROBABLE = 2,
    OVK_THREAT_DANGER = 3,
};

// "CLEAR", "WEAK", "PROBABLE", "DANGER"; "" outside the enum.
const char* ovk_threat_name(OVK_THREAT t);

// "GPS lost (last fix 45 s ago)", "... 3 min ago", "... 2 h ago" for a fix `age_ms` old.
std::string ovk_fix_lost_text(int64_t age_ms);

inline constexpr size_t OVK_ALERT_KEY_MAX = 63;
inline constexpr size_t OVK_SCANNERS_MAX = 255;
inline constexpr int OVK_ALERT_RING = 64;
inline constexpr int OVK_QUEUE_MAX = 5000;
inline constexpr int64_t OVK_CLASSIFY_CACHE_MS = 2000;
// A fix older than this is not used; a running radio silent this long is called quiet.
inline constexpr int64_t OVK_FIX_FRESH_MS = 30000;
inline constexpr int64_t OVK_RADIO_QUIET_MS = 60000;

// One alert for the interface.
struct OVK_UI_ALERT {
    int64_t time = 0;  // when it was queued
    std::string key;   // device MAC, or "cell:..." / "alpr:..." for map alerts; cut to 63
    OVK_HIT hit;
    int following = 0;
    int rssi = 0;  // dBm; 0 for map alerts
    // The fleet sensor that raised it ("" for this machine's own radios).
    std::string sensor;
    // Where this machine (or the sensor) was, when the fix was fresh.
    int has_pos = 0;
    double lat = 0;
    double lon = 0;
};

// Where scan control stands. STARTING and STOPPING last while the scan-control thread
// carries out (or is about to carry out) a start or a stop.
enum OVK_SCAN_STATE : int {
    OVK_SCAN_IDLE = 0,
    OVK_SCAN_STARTING = 1,
    OVK_SCAN_RUNNING = 2,
    OVK_SCAN_STOPPING = 3,
};

struct OVK_STATUS {
    int running = 0;  // scanning runs now (radios or demo feed)
    int demo = 0;     // the demo feed is what runs
    OVK_SCAN_STATE scan_state = OVK_SCAN_IDLE;
    // "Starting...", "Stopping...", "Could not start scanning" after a start that left
    // scanning off (until the next start or stop), else "".
    std::string scan_progress;
    int devices = 0;
    int flagged = 0;
    OVK_THREAT threat = OVK_THREAT_CLEAR;
    // Which scanners run, cut to 255; after a start that failed, what they say about it.
    std::string scanners;
    // Whether anything is heard while scanning runs: 1 when the demo feed, a replay or at
    // least one radio delivers (also while not scanning). 0 with the reasons in
    // `not_listening`, "Bluetooth has no adapter; WiFi has no wireless driver".
    int listening = 1;
    std::string not_listening;
    // When one of the two radios listens and the other does not: the one that listens
    // ("WiFi") and why the other does not ("Bluetooth has no adapter"); else both "".
    std::string listening_on;
    std::string radio_down;
    // Running radios that heard nothing for a minute, "Bluetooth: no advertisements for 60 s",
    // joined by "; ".
    std::string quiet_radios;
    // A fix at most 30 s old: the only one used for detections, trips, following and alerts.
    int has_location = 0;
    OVK_LOCATION location;
    // The last fix is older than that: how long ago it came (ms).
    int fix_lost = 0;
    int64_t fix_age_ms = 0;
    int has_cell_anomaly = 0;  // raised in the last 15 minutes
    OVK_CELL_ANOMALY cell_anomaly;
    int64_t session_start = 0;
    // "" normally; "data read-only (cannot read NAME, ...)" while files of the data directory
    // that could not be read are left untouched (nothing is saved over them).
    std::string data_note;
    // "" normally; "Recording stopped: REASON" once a write failure ended --record's file.
    std::string record_note;
    // The links to other machines ("MQTT: connected", ...), joined with " | "; "" without any.
    std::string links;
};

// Platform services. Every member may be empty: notify/alert/background/set_sink then do
// nothing, scan_start fails (-1), scan_running and take_stop_request answer 0, scan_status
// answers "", now_ms falls back to ovk_now_ms.
struct OVK_PIPELINE_HOOKS {
    std::function<void(const OVK_SINK* sink)> set_sink;
    std::function<void(std::optional<std::string_view> key, std::optional<std::string_view> title,
                       std::optional<std::string_view> text)>
        notify;
    std::function<void(OVK_TIER tier, int following, int sound, int vibrate,
                       std::string_view spoken)>
        alert;
    std::function<int(const OVK_SCAN_OPTS& opts)> scan_start;
    std::function<void()> scan_stop;
    std::function<int()> scan_running;
    std::function<std::string()> scan_status;
    // Whether each radio listens; empty: the source is taken as listening while scan_running
    // says it runs.
    std::function<OVK_SCAN_HEALTH()> scan_health;
    std::function<int()> take_stop_request;
    std::function<void(int enable, std::string_view text)> background;
    std::function<int64_t()> now_ms;  // wall clock, ms since the epoch
    // A replay runs the pipeline on the recording's clock, which a flat-out feed moves ahead
    // of the worker: then an advert's own time is "now" for what it raises.
    bool advert_time_is_now = false;
};

// Replaces the hooks (takes effect for the next call that uses them).
void ovk_pipeline_set_hooks(const OVK_PIPELINE_HOOKS& hooks);

// Listeners for what the pipeline produces, for the links to other machines (a broker, a
// webhook, a log shipper). Each is called without the pipeline's lock held, on the thread
// that produced the item (the worker for adverts and detections); each must return quickly
// and must not throw. Every member may be empty.
struct OVK_PIPELINE_TAPS {
    std::function<void(const OVK_DETECTION& d)> detection;  // each detection stored
    std::function<void(const OVK_UI_ALERT& a)> alert;       // each alert queued
    std::function<void(const OVK_ADVERT& a)> advert;        // each advert taken in
    std::function<std::string()> links;                     // OVK_STATUS::links
};
// Replaces the taps (an empty record removes them).
void ovk_pipeline_set_taps(const OVK_PIPELINE_TAPS& taps);
// Queues an alert raised elsewhere (a fleet sensor's) for the interface and the taps.
void ovk_pipeline_post_alert(const OVK_UI_ALERT& a);

// Life cycle. init: 0 on success or when already initialised, -1 on failure ("pipeline init
// failed"). Starts the worker, housekeeping and scan-control threads, initialises the
// registry and installs the sink. shutdown finishes the scan request in progress, drops the
// waiting ones, stops scanning (waiting for it), removes the sink, joins the threads and
// drops whatever is still queued, unprocessed.
int ovk_pipeline_init();
void ovk_pipeline_shutdown();

// Queueing (any thread). At most 5000 items wait; the oldest is dropped first.
void ovk_pipeline_submit(OVK_ADVERT_PTR a);
void ovk_pipeline_location(const OVK_LOCATION& loc);
void ovk_pipeline_cells(std::span<const OVK_CELL> cells, std::string_view sim_operator,
                        int roaming);

// The sink the pipeline installs: adverts, fixes and cells are queued; status texts logged.
OVK_SINK ovk_pipeline_sink();

OVK_STATUS ovk_pipeline_status();
// The pipeline's clock (ms since the epoch): the wall clock, or during and after a replay the
// recording's time. Whatever reads "now" for what the pipeline gathered (the devices in
// range, their ages) reads it here.
int64_t ovk_pipeline_now();
// The oldest queued alert, or nullopt when there is none.
std::optional<OVK_UI_ALERT> ovk_pipeline_pop_alert();
// The latest fix, or nullopt before the first one (and after the source changed).
std::optional<OVK_LOCATION> ovk_pipeline_location_get();
// Forgets the latest fix and the fix history (the source of positions changed).
void ovk_pipeline_clear_fix();
// Has the worker judge every device with a verdict again, after what is queued, when the
// watchlist or the whitelist changed since (the worker also checks before each item, and
// housekeeping calls this). Returns at once.
void ovk_pipeline_recheck();
// Queued items plus 1 while the worker is busy with one.
int ovk_pipeline_pending();

OVK_THREAT ovk_threat_of(const OVK_DEVICE_LIST* devices, int threshold, int recent_cell_warning);
// The same level from the registry's counts (ovk_registry_tally), without a snapshot.
OVK_THREAT ovk_threat_of_tally(const OVK_REGISTRY_TALLY& t, int threshold, int recent_cell_warning);

// Scan control. Each call queues a request and returns at once; the scan-control thread
// carries the requests out in order, with the preferences as they are when its turn comes.
// start: 0 when the request was taken, -1 before init (or during shutdown). A start while
// scanning re-applies the source without a new session. refresh re-applies the current
// preferences when scanning runs by then.
int ovk_scan_start();
void ovk_scan_stop();
void ovk_scan_refresh();
// The state the requests made so far ask for: 1 from a start request on (also while it is
// being carried out) until a stop request, or until the start failed with no later start
// waiting; 0 otherwise. What the scan button shows; OVK_STATUS tells whether it is reached.
int ovk_scan_is_running();
// Waits until every request made so far was carried out: 0 when the last one succeeded,
// -1 when it failed (scanning could not start, or the settings could not be re-applied),
// -2 when `timeout_ms` passed first (a negative value waits without limit).
int ovk_scan_wait_idle(int timeout_ms);
// Demo for this run: while on (1), scanning uses the demo feed whatever the stored preference
// `demo_mode` says, which stays as the user set it; -1 never uses the demo feed this run (a
// replay stands in for the radios); 0 follows the preference. Takes effect at the next start
// or refresh. Kept across pipeline init and shutdown.
void ovk_scan_set_demo_override(int on);
int ovk_scan_demo_override();
// The progress text of OVK_STATUS::scan_progress for a state (`failed`: the last start left
// scanning off).
const char* ovk_scan_progress_text(OVK_SCAN_STATE state, int failed);
// The scan options for a preference record (`trace` = a trip records or plate-camera
// warnings are active).
OVK_SCAN_OPTS ovk_scan_opts(const OVK_PREFS& p, bool trace);
// The persistent notification line: "Tap to open" in discreet mode, else
// "N device(s) nearby[ - M flagged]", or "Not listening: REASONS" when `not_listening` is
// not empty.
std::string ovk_scan_notification_text(int devices, int flagged, int discreet,
                                       std::string_view not_listening = {});
// Runs one housekeeping tick now, on the calling thread (the thread does the same every
// 10 s while scanning).
void ovk_scan_housekeeping_tick();
// Number of entries in the classification cache.
int ovk_pipeline_cache_size();
