// SPDX-License-Identifier: GPL-3.0-or-later
// The central view of a fleet of sensors: subscribes to PREFIX/+/status, .../detection and
// .../alert on a broker, checks every message (ovk_fleetmsg_parse) before anything of it is
// used, stores the sensors' detections in this machine's detection log with their "sensor",
// raises their alerts as this machine's ("car1: Axon body camera nearby") and keeps a table of
// the sensors for the Fleet screen.
//
// With a group, detections and alerts come through the shared subscription
// $share/GROUP/PREFIX/+/..., so central instances of one group split them; statuses are
// always subscribed plainly (every central shows every sensor, and a shared subscription gets
// no retained messages).
//
// A bad message is counted, and logged at most once per sensor and minute; it never reaches
// the store. The same detection received twice (a sensor re-sending after a reconnect) is
// stored once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_fleetmsg.h"
#include "ovk_mqtt_link.h"

inline constexpr int64_t OVK_FLEET_STALE_MS = 300000;  // offline this long: marked
inline constexpr int64_t OVK_FLEET_SILENT_MS = 60000;  // no status this long: offline
inline constexpr size_t OVK_FLEET_SENSORS_MAX = 1024;  // sensors kept in the table

struct OVK_FLEET_SENSOR {
    std::string name;
    bool online = false;        // its last status said so, and it was heard lately
    int64_t last_heard = 0;     // when anything valid of it arrived here (ms since the epoch)
    int64_t offline_since = 0;  // when it was first seen offline (0 while online)
    OVK_FLEET_STATUS status;    // its last status; an offline one keeps what was last reported
    uint64_t detections = 0;    // stored from it since the start
    uint64_t alerts = 0;
    uint64_t bad = 0;  // refused messages that named it
};

struct OVK_FLEET_OPTS {
    OVK_MQTT_URL url;
    std::string group;  // "" for none
    std::string user;
    std::optional<std::string> password;
    std::string ca_file;
    std::string client_id;         // "" makes one up
    std::function<int64_t()> now;  // wall clock; ovk_now_ms when empty
};

// Starts the client and subscribes. 0 / -1 (why in the log). A second start stops the first.
int ovk_fleet_start(const OVK_FLEET_OPTS& opts, const OVK_MQTT_CONNECT& connect);
void ovk_fleet_stop();
// Handles one received message as the client does (tests and benchmarks feed it directly).
// Needs a started fleet or ovk_fleet_set_prefix.
void ovk_fleet_handle(std::string_view topic, std::string_view payload);
// The prefix messages are expected under, without starting a client (tests).
void ovk_fleet_set_prefix(std::string_view prefix);
// Forgets every sensor and count (tests).
void ovk_fleet_reset();

// The clock the fleet's times are on (OVK_FLEET_OPTS::now), ms since the epoch.
int64_t ovk_fleet_now();
// Copies of the sensors, by name, with `online` as of now.
std::vector<OVK_FLEET_SENSOR> ovk_fleet_sensors();
// Offline (or silent) for more than 5 minutes at `now`.
bool ovk_fleet_sensor_stale(const OVK_FLEET_SENSOR& s, int64_t now);
uint64_t ovk_fleet_bad_count();
uint64_t ovk_fleet_stored_count();
// "Fleet: connected, N sensors (M online)", "Fleet: broker unreachable", "Fleet: not
// authorised", "Fleet: connecting"; "" when not started.
std::string ovk_fleet_status_text();
