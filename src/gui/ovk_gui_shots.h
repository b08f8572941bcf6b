// SPDX-License-Identifier: GPL-3.0-or-later
// The screenshot tour (`orvik --shots DIR`): unattended, on the demo feed, the program walks
// through eight fixed views, stores one PNG of the window for each into DIR, puts the user's
// preferences back and quits. The event loop drives it: ovk_shots_tick on every timer event
// after the interface's own update, ovk_shots_after_draw after every drawn frame and before
// it is shown. One tour per process; main thread only.
#pragma once

#include <string_view>

#include "ovk_prefs.h"

struct OVK_GUI;

// Views the tour stops at.
enum SHOT_ACTION : int {
    SHOT_LIST = 0,
    SHOT_RADAR = 1,
    SHOT_DETAIL = 2,
    SHOT_MAP = 3,
    SHOT_FILTER_FLAGGED = 4,
    SHOT_WATCHLIST = 5,
    SHOT_SETTINGS = 6,
    SHOT_HISTORY = 7,
};

inline constexpr int OVK_SHOTS_STOPS = 8;

// One stop: the file's base name, the view, the theme it is shown in and how long to wait
// after setting it up before the capture.
struct SHOT_STOP {
    const char* name;
    SHOT_ACTION action;
    OVK_THEME_ID theme;
    double wait_s;
};

// The stops, in order.
const SHOT_STOP& ovk_shots_stop(int i);

// Starts the tour into `dir` (cut to 1023 bytes): keeps a copy of the preferences, hides the
// first-run setup, runs the demo feed for this run and closes every pop-up. 0, or -1 when the
// interface or the directory is missing.
int ovk_shots_start(OVK_GUI* g, std::string_view dir);
// 1 while the tour runs.
int ovk_shots_active();
// Pictures of the last tour that could not be saved.
int ovk_shots_failed();
// Every timer event: sets up the next view when its time has come, or asks for the frame to
// capture.
void ovk_shots_tick(OVK_GUI* g);
// After every drawn frame, before it is shown: stores the frame when a capture is due and
// moves on; after the last stop it restores the preferences and asks the program to quit.
void ovk_shots_after_draw(OVK_GUI* g);
// The program ends while a tour runs (a signal, the window closed): the user's preferences
// as they were before the tour are put back. Nothing when no tour runs.
void ovk_shots_cancel(OVK_GUI* g);
