// SPDX-License-Identifier: GPL-3.0-or-later
// The "Traces" and "Match log" pop-ups. Traces lists the recorded trips, newest first, and
// shows one on the map, exports it (GPX, KML, GeoJSON, devices CSV), renames it or deletes it
// (after the confirm dialog). The match log lists the logged detections, newest first (at most
// 2000 rows drawn), narrows them by a text and a category, exports what the filter keeps (CSV,
// JSON, GPX, KML) and clears the log.
//
// Both save their exports through one routine: "<export dir>/orvik_<stem>_<YYYYMMDD_HHMMSS>
// .<ext>" written atomically ("_2", "_3", ... before the extension when a file of that name is
// there already), then handed to the platform's share operation.
//
// Main thread only. The lists, the renames, deletions, exports and the clearing go through the
// engine port: they are asked for when the pop-up is shown and on the frame's half-second
// refresh (the log only when it changed), and shown on a later tick.
#pragma once

#include "ovk_gui.h"

// Build the pop-up (once per frame build); the rows shown before a rebuild come back.
void ovk_trips_build(OVK_GUI* g);
// Builds when needed, reloads the trips and opens the pop-up.
void ovk_trips_show(OVK_GUI* g);
// While open: asks for the trip index again.
void ovk_trips_refresh(OVK_GUI* g);
// While open: shows the trip index that arrived, when it differs from the one shown.
void ovk_trips_tick(OVK_GUI* g);

void ovk_log_build(OVK_GUI* g);
// Builds when needed, reloads every logged detection and opens the pop-up.
void ovk_log_show(OVK_GUI* g);
// While open: asks whether the detection log changed (a match logged, the log cleared or
// pruned), and for the log when it did.
void ovk_log_refresh(OVK_GUI* g);
// While open: shows the log that arrived.
void ovk_log_tick(OVK_GUI* g);
