// SPDX-License-Identifier: GPL-3.0-or-later
// The messages sensors and a central Orvik exchange over an MQTT broker, with no I/O: the
// broker address, sensor names, the payloads a sensor publishes (status, detection, alert,
// Home Assistant discovery) and the one checked parser the central side runs on everything
// it receives. Topics are PREFIX/SENSOR/status|detection|alert|advert.
//
// The parser treats every byte as hostile: a payload over 64 KB, anything but a JSON object
// of the expected shape, a text field over its limit, a sensor name outside [A-Za-z0-9_-]
// (1 to 32 characters) or a topic outside the prefix is refused with a reason, before any
// of it reaches the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ovk_mqtt_link.h"
#include "ovk_pipeline.h"
#include "ovk_store.h"

inline constexpr size_t OVK_FLEET_PAYLOAD_MAX = 65536;
inline constexpr size_t OVK_FLEET_SENSOR_MAX = 32;
inline constexpr size_t OVK_FLEET_SCANNERS_MAX = 255;

// "" with `out` filled when `text` is such an address (PREFIX: one or more levels of
// printable characters without '+', '#' or empty levels); else why not, for a person.
std::string ovk_fleetmsg_parse_url(std::string_view text, OVK_MQTT_URL& out);

// 1 to 32 of A-Z, a-z, 0-9, '-' and '_'.
bool ovk_fleetmsg_sensor_name_ok(std::string_view name);
// A sensor name made from a host name: other characters become '-', cut to 32, "orvik" for
// an empty one.
std::string ovk_fleetmsg_sensor_from_host(std::string_view host);

// What a sensor says about itself (the status topic).
struct OVK_FLEET_STATUS {
    bool online = false;
    int64_t time = 0;      // when it was sent, ms since the epoch
    std::string scanners;  // cut to 255
    int devices = 0;
    int flagged = 0;
    OVK_THREAT threat = OVK_THREAT_CLEAR;
    bool has_pos = false;  // position only when the sensor's fix is fresh
    double lat = 0;
    double lon = 0;
};

// One alert as it leaves the program (broker, webhook, --alerts-json).
struct OVK_FLEET_ALERT {
    std::string sensor;  // "" for this machine's own
    std::string label;
    OVK_CATEGORY category = OVK_CAT_CUSTOM;
    int confidence = 0;
    std::string address;   // the device's address, or "alpr:..." / "cell:..."
    std::string evidence;  // why (cut to 1023)
    int rssi = 0;          // dBm; 0 when none
    int64_t time = 0;
    int following = 0;
    bool has_pos = false;
    double lat = 0;
    double lon = 0;
};
OVK_FLEET_ALERT ovk_fleetmsg_alert_of(const OVK_UI_ALERT& a);
// The UI record of a received alert (key "SENSOR/ADDRESS", the sensor kept apart).
OVK_UI_ALERT ovk_fleetmsg_ui_alert(const OVK_FLEET_ALERT& a);

// Payload builders; compact JSON on one line ("" when it cannot be built).
std::string ovk_fleetmsg_status_json(const OVK_FLEET_STATUS& s);
// {"online":false}, the last will.
std::string ovk_fleetmsg_offline_json();
// {"label","category","confidence","tier","address","time","following","evidence"[,"rssi"]
// [,"lat","lon"][,"sensor"]}; `type` (when not empty) comes first as "type".
std::string ovk_fleetmsg_alert_json(const OVK_FLEET_ALERT& a, std::string_view type = {});
// "car1: Axon body camera nearby (BODY CAM, strong 90%) 00:25:DF:4A:19:C2", for plain-text
// receivers (a push-notification service).
std::string ovk_fleetmsg_alert_text(const OVK_FLEET_ALERT& a);
// The store's log line of `d` with "sensor" set to `sensor`.
std::string ovk_fleetmsg_detection_json(const OVK_DETECTION& d, std::string_view sensor);

// Home Assistant discovery for one sensor: (topic, retained payload) pairs for a threat-level
// sensor, a flagged-count sensor, a last-detection sensor and a "surveillance nearby" binary
// sensor, each reading PREFIX/SENSOR/status or .../detection. Empty when `ha_prefix` is.
std::vector<std::pair<std::string, std::string>> ovk_fleetmsg_ha_discovery(
    std::string_view ha_prefix, std::string_view topic_prefix, std::string_view sensor);

// A received message, checked.
enum class OVK_FLEET_KIND { Status, Detection, Alert };
struct OVK_FLEET_MSG {
    OVK_FLEET_KIND kind = OVK_FLEET_KIND::Status;
    std::string sensor;
    OVK_FLEET_STATUS status;  // Status
    OVK_DETECTION detection;  // Detection (sensor set, id 0)
    OVK_FLEET_ALERT alert;    // Alert (sensor set)
};
// "" with `out` filled when `topic` is PREFIX/SENSOR/KIND under `prefix` and `payload` is a
// well-formed message of that kind; else why not (short, for the log). Never throws.
std::string ovk_fleetmsg_parse(std::string_view prefix, std::string_view topic,
                               std::string_view payload, OVK_FLEET_MSG& out);
// The sensor level of `topic` under `prefix`, as far as it can be told (for counting bad
// messages per sensor); "" when none.
std::string_view ovk_fleetmsg_topic_sensor(std::string_view prefix, std::string_view topic);
