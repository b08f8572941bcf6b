// SPDX-License-Identifier: GPL-3.0-or-later
// The "Fleet" pop-up of a central instance: every sensor heard through the broker, with its
// name, whether it is online (its last will says when it is not), when it was last heard, its
// device and flagged counts and threat level, and its position, which "Show on map" centres
// the map on. A sensor offline for more than 5 minutes is marked. Without a fleet it says how
// to start one; with a fleet but no sensor yet it says so beside the link's state.
//
// The sensors are a copy made by the engine port off the interface thread, asked for every
// half second while the pop-up is open and taken on a later tick.
//
// Main thread only.
#pragma once

struct OVK_GUI;

void ovk_fleet_build(OVK_GUI* g);
// Builds when needed, asks for the sensors and opens the pop-up.
void ovk_fleet_show(OVK_GUI* g);
// While open: asks for a fresh copy of the sensors (half-second refresh).
void ovk_fleet_refresh(OVK_GUI* g);
// While open: shows a copy that arrived (every tick).
void ovk_fleet_tick(OVK_GUI* g);
// Forgets the copy shown (the frame's port goes with the frame).
void ovk_fleet_shutdown(OVK_GUI* g);
