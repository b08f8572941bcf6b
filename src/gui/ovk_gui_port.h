// SPDX-License-Identifier: GPL-3.0-or-later
// The engine port: the way from a screen to the engine that never makes the interface thread
// wait. One worker thread, owned by the frame, carries out what the screens post and makes
// the views they ask for:
//
//   - a job (a change: whitelisting, a favourite, a watchlist edit, an export, ...) runs off
//     the interface thread, after every job posted before it; the message it returns ("" for
//     none) is shown as a toast on a later tick;
//   - a view (a screen's copy of engine data: the detail's device and matches, ...) is made
//     off the interface thread; the frame keeps the latest finished one under its name, and the
//     screen reads it as a copy on a later tick. Asking again for a name replaces an ask not yet
//     started. A view asked after a job is made after it, so it shows the change.
//
// The tick takes what finished (ovk_port_tick, called by the frame); nothing here waits on the
// engine except ovk_port_settle, which tests use.
//
// Main thread only, except the jobs and makers themselves (on the worker).
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct OVK_GUI;
struct OVK_OUI_ENTRY;

using OVK_PORT_JOB = std::function<std::string()>;
using OVK_PORT_MAKE = std::function<std::any()>;

// What a job hands back when the screen has more to do with its outcome than show a message:
// the message ("" for none) and `then`, run on the tick that shows it (close a dialog, forget a
// selection, ask for a fresh view). Either may be empty.
struct OVK_PORT_DONE {
    std::string message;
    std::function<void(OVK_GUI*)> then;
};
using OVK_PORT_TASK = std::function<OVK_PORT_DONE()>;

void ovk_port_post(OVK_GUI* g, OVK_PORT_JOB job);
// ovk_port_post for a job with a follow-up on the interface thread.
void ovk_port_run(OVK_GUI* g, OVK_PORT_TASK task);
// A quiet view's arrival does not count as something arrived for ovk_port_tick: for a screen
// that looks for its view on every tick anyway and asks again on each refresh.
void ovk_port_ask(OVK_GUI* g, std::string_view name, OVK_PORT_MAKE make, bool quiet = false);
// The latest finished view of `name`, or nullptr when none has arrived; valid until the next
// ovk_port_tick. Its serial moves on with each new one and is never given twice, not even
// after ovk_port_stop (0: none yet).
const std::any* ovk_port_view(const OVK_GUI* g, std::string_view name);
uint64_t ovk_port_serial(const OVK_GUI* g, std::string_view name);
// Whether a view of `name` has arrived since the port started (taken out or not): until then
// the screen that asked has read nothing of the engine.
bool ovk_port_arrived(const OVK_GUI* g, std::string_view name);
// While on, every view asked is quiet. The frame turns it on for the refresh that an arrival
// caused: the views that refresh asks for again then arrive without causing another, so a
// screen that asks on each refresh is not served without end.
void ovk_port_quiet(OVK_GUI* g, bool on);
// Whether the last ovk_port_tick took finished jobs (a change made: every screen asks again).
bool ovk_port_jobs_done(const OVK_GUI* g);
// Takes the latest finished view of `name` out of the port, for a view too big to copy: until
// the next one arrives ovk_port_view holds an empty value and the serial stays.
std::any ovk_port_take(OVK_GUI* g, std::string_view name);
// Hands what a screen is done with to the worker, which frees it there (freeing a large view
// takes as long as making one). A view replaced by a newer one goes the same way.
void ovk_port_discard(OVK_GUI* g, std::any value);
// Puts finished views in place, runs the follow-ups of finished jobs and shows their messages
// (the frame's tick).
// True when something arrived (a quiet view alone does not count).
bool ovk_port_tick(OVK_GUI* g);
// Waits up to `timeout_ms` until the worker has nothing left, then takes what finished. True
// when it became idle.
bool ovk_port_settle(OVK_GUI* g, int timeout_ms);
// Whether anything is queued, being done, or finished but not yet taken by a tick (for
// benchmarks: unlike ovk_port_settle it takes nothing).
bool ovk_port_busy(const OVK_GUI* g);
// Stops the worker (what is queued is dropped) and forgets every view.
void ovk_port_stop(OVK_GUI* g);

// The actions every screen offers on a device, with one wording wherever they start.
void ovk_port_whitelist(OVK_GUI* g, const std::string& mac, bool on, const std::string& name);
void ovk_port_favorite(OVK_GUI* g, const std::string& mac, bool on, const std::string& name,
                       const std::string& vendor, const std::string& type);
// Adds the user's watchlist rule / removes the user's rule with that key (the watchlist screen,
// its add dialog and the detail offer them).
void ovk_port_watch(OVK_GUI* g, const OVK_OUI_ENTRY& e);
void ovk_port_unwatch(OVK_GUI* g, const std::string& key);
// Empties the match log (both the settings and the match log offer it).
void ovk_port_clear_matches(OVK_GUI* g);
// Stops the trace being recorded, else starts one (and scanning, which it needs); the menu and
// the map offer it. `then` (may be empty) runs on the tick that shows the outcome, told whether
// a trace records now.
void ovk_port_record_trace(OVK_GUI* g, std::function<void(OVK_GUI*, bool recording)> then);
// The texts of those actions (the message shown when done).
std::string ovk_port_whitelist_text(const std::string& mac, bool on, int rc);
std::string ovk_port_favorite_text(bool on, int rc);
// `done`, with the note that the change holds for this session only when `rc` is not 0 (it
// could not be saved).
std::string ovk_port_saved_text(int rc, std::string_view done);
