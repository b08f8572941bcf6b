// SPDX-License-Identifier: GPL-3.0-or-later
// The demo feed: a thread that invents a user walking a 55 m circle and fifteen nearby
// devices (a patrol car's gear, a plate-camera network, a drone with Remote ID, trackers,
// glasses and ordinary gadgets), and hands one fix and fifteen real advertisement records a
// second to the sink it was started with, exactly as the scanners do.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "ovk_advert.h"
#include "ovk_geo.h"
#include "ovk_sink.h"

enum DEMO_KIND : int { DEMO_BLE = 0, DEMO_WIFI = 1 };

inline constexpr int OVK_DEMO_DEVICES = 15;
inline constexpr double OVK_DEMO_DEFAULT_LAT = 45.4215;
inline constexpr double OVK_DEMO_DEFAULT_LON = -75.6972;
inline constexpr const char* OVK_DEMO_DRONE_MAC = "60:60:1F:A2:44:18";

using OVK_DEMO_EMIT = std::function<void(OVK_ADVERT_PTR)>;

// Starts the thread anchored at the point, delivering to `sink` (on_location and on_advert,
// called on the feed's thread; the sink is copied). 0, or -1 when the thread cannot start
// ("cannot start the demo thread"). A running feed keeps its anchor and sink and returns 0.
int ovk_demo_start(double anchor_lat, double anchor_lon, const OVK_SINK& sink);
// Stops and joins the thread; nothing reaches the sink after it returns. Clears the anchor.
void ovk_demo_stop();
int ovk_demo_running();

// One round of the fifteen adverts for round `round` at time `now`, each handed to `emit`.
// The drone carries Remote ID only while a feed is started (it flies around the anchor).
// Returns how many were emitted; an empty `emit` gives 0.
int ovk_demo_round(int round, int64_t now, const OVK_DEMO_EMIT& emit);
// The same with an explicit anchor (nullopt: no Remote ID), without a running feed.
int ovk_demo_round_at(int round, int64_t now, std::optional<OVK_LOCATION> anchor,
                      const OVK_DEMO_EMIT& emit);
// The walking user's fix for a round.
OVK_LOCATION ovk_demo_user_fix(int round, double anchor_lat, double anchor_lon, int64_t now);
// The Remote ID service data of the drone for a round (107 bytes, UUID first).
std::vector<uint8_t> ovk_demo_remote_id(int round, double anchor_lat, double anchor_lon);
