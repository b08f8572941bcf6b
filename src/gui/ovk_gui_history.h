// SPDX-License-Identifier: GPL-3.0-or-later
// The "History map & timeline" pop-up: where and when flagged equipment was met over a chosen
// period ("24 h", "7 days", "30 days", "All"). A map of the encounters, one dot each or a heat
// map, a summary (how many, the busiest time, the three most frequent labels) and bar charts
// by hour of day and by day of week. The numbers are the history analysis' (ovk_history.h):
// logged detections and flagged trip devices of the period merged into encounters with a
// 10-minute gap.
//
// The period and the dots / heat choice start at "7 days" and heat, and are kept while the
// program runs. Main thread only.
#pragma once

#include "ovk_gui.h"
#include "ovk_gui_mapview.h"

// Builds the pop-up (at every build of the frame) from the data last loaded.
void ovk_history_build(OVK_GUI* g);
// Builds when needed, asks the engine port for the period's encounters and opens the pop-up;
// they show on the tick that brings them (until then, what was shown last).
void ovk_history_show(OVK_GUI* g);
// While open: takes what the port made, and asks it twice a second whether the detection log
// or the trips changed; new data is shown with the map fitted to the new encounters unless the
// user has panned or zoomed it since it was last fitted.
void ovk_history_refresh(OVK_GUI* g);
// A copy of this screen's view of the map, as last drawn.
OVK_MAPVIEW ovk_history_view();
