// SPDX-License-Identifier: GPL-3.0-or-later
// This machine as a sensor that reports to an MQTT broker, under PREFIX/SENSOR/:
//   status     retained JSON every 10 s and whenever it changes; the last will is
//              {"online":false}, retained, so a sensor that dies shows offline
//   detection  each stored detection, the store's log line plus "sensor" (QoS 1)
//   alert      each alert raised (QoS 1)
//   advert     each advertisement in the recording format, when mqtt_adverts is on (QoS 0)
// and Home Assistant discovery under ha_discovery_prefix.
//
// Nothing is lost while the broker is away: detections and alerts are appended (and synced)
// to "mqtt_outbox.jsonl" in the data directory before they are sent, and leave it only once
// the broker has acknowledged them, in order. The outbox holds at most 50 MB; past that the
// oldest are dropped with a counted log line. A crash between a send and its acknowledgement
// sends the message again after the restart.
//
// The broker client itself is a platform service (OVK_MQTT_CONNECT), so this module and its
// tests need no network code; the password never reaches a log line, a status or an error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_fleetmsg.h"
#include "ovk_mqtt_link.h"
#include "ovk_prefs.h"

// ---------------------------------------------------------------------------------------
// Credentials
// ---------------------------------------------------------------------------------------

// Reads a password file: its first line, without the line end. nullopt with the reason in
// `why` when it cannot be read or others than its owner may read it (mode & 077).
std::optional<std::string> ovk_mqtt_read_password_file(const std::string& path, std::string& why);
// The password of the preferences: the file when mqtt_password_file is set (refused as
// above, with `why`), else ORVIK_MQTT_PASSWORD when set, else none. `ok` false when a
// named file was refused.
std::optional<std::string> ovk_mqtt_password(const OVK_PREFS& p, bool& ok, std::string& why);

// ---------------------------------------------------------------------------------------
// The sensor publisher
// ---------------------------------------------------------------------------------------

inline constexpr int64_t OVK_MQTT_STATUS_MS = 10000;
inline constexpr uint64_t OVK_MQTT_OUTBOX_MAX = 50ull << 20;
inline constexpr const char* OVK_MQTT_OUTBOX_FILE = "mqtt_outbox.jsonl";

struct OVK_MQTT_SENSOR_OPTS {
    OVK_MQTT_URL url;
    std::string sensor;  // a valid sensor name
    std::string user;
    std::optional<std::string> password;
    std::string ca_file;
    bool adverts = false;
    std::string ha_prefix;  // "" turns discovery off
    std::string data_dir;   // where the outbox lives ("" keeps it in memory only)
    uint64_t outbox_max = OVK_MQTT_OUTBOX_MAX;
    int64_t status_every_ms = OVK_MQTT_STATUS_MS;
    // Where the status comes from (the pipeline's by default).
    std::function<OVK_STATUS()> status;
};

// Starts publishing: loads the outbox, starts the client and a sender thread. 0 / -1 (why in
// the log). A second start stops the first.
int ovk_mqtt_sensor_start(const OVK_MQTT_SENSOR_OPTS& opts, const OVK_MQTT_CONNECT& connect);
// Publishes an offline status, stops the client and the thread; the outbox keeps what is
// still unacknowledged for the next run. Nothing when not started.
void ovk_mqtt_sensor_stop();
// Queue for the broker (any thread; nothing when not started).
void ovk_mqtt_sensor_detection(const OVK_DETECTION& d);
void ovk_mqtt_sensor_alert(const OVK_UI_ALERT& a);
void ovk_mqtt_sensor_advert(const OVK_ADVERT& a);
// "MQTT: connected", "MQTT: broker unreachable, N waiting", "MQTT: not authorised",
// "MQTT: connecting"; "" when not started.
std::string ovk_mqtt_sensor_status_text();
// Messages waiting in the outbox (sent or not, not yet acknowledged).
size_t ovk_mqtt_sensor_waiting();
// Messages dropped from a full outbox since the start.
uint64_t ovk_mqtt_sensor_dropped();
