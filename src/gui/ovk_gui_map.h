// SPDX-License-Identifier: GPL-3.0-or-later
// The map screen (pop-up OVK_POP_MAP "Map"): the user's position and heading, the trace
// being recorded, devices where their signal was strongest, drones at their Remote ID
// positions with their operators, and known plate cameras; or, for a stored trip, that
// trip's track and devices. Buttons: "My position", "+", "-", "Plate cameras here", the
// trace button and the tiles switch; a status line below them; the map fills the rest.
// Clicking a device opens its details, clicking a camera or a trip's device tells what it is.
//
// "Plate cameras here" asks before it downloads the cameras of the area on screen from
// OpenStreetMap (Overpass) on one worker thread; the result shows on the next tick.
//
// Main thread only.
#pragma once

#include <cstdint>

#include "ovk_gui_mapview.h"

struct OVK_GUI;

// Builds the pop-up (at every build of the frame). The first build also starts the tile
// store and places the view at the stored map position.
void ovk_map_build(OVK_GUI* g);
// Opens the map on the frame's subject (the show hook): a place as ovk_map_show_at, a trip as
// ovk_map_show_trip; otherwise the live map (leaving a shown trip), titled "Map", with the
// cameras reloaded.
void ovk_map_show(OVK_GUI* g);
// Opens the live map centred on a point at that zoom, marked with a target ring; the view
// stops following the user. For "Show on map" of a device, a drone or its operator (zoom 17).
void ovk_map_show_at(OVK_GUI* g, double zoom, double lat, double lon);
// Opens the map on a stored trip: its track and devices, titled "Trace: NAME", the view
// fitted to the track. The trip is read by the engine port and shown on the tick that brings
// it; an unknown id then shows the message "Trace not found" and opens nothing.
void ovk_map_show_trip(OVK_GUI* g, int64_t trip_id);
// Every tick while the pop-up is open: what the engine port read (the position, the trace,
// the fleet's marks, the cameras), the camera download's outcome, the status line, the trace
// button's label, and the stored map position.
void ovk_map_update(OVK_GUI* g);
// Stops the tile store, waits briefly for a camera download still running (see the source)
// and frees the trip and camera data.
void ovk_map_shutdown(OVK_GUI* g);

// A copy of the map's view (the frame keeps one in `map_view` for other screens).
OVK_MAPVIEW ovk_map_view();
