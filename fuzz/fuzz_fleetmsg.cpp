// SPDX-License-Identifier: GPL-3.0-or-later
// The central side's parser of fleet messages from arbitrary bytes: the first line of the
// input is the topic, the rest the payload. An accepted message keeps every field within its
// limits and a valid sensor name, and a detection writes out as a log line that the sensor's
// builder and the parser read back as the same record.
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "ovk_fleetmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t nl = all.find('\n');
    const std::string_view topic = nl == std::string_view::npos ? all : all.substr(0, nl);
    const std::string_view payload =
        nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
    OVK_FLEET_MSG m;
    const std::string why = ovk_fleetmsg_parse("orvik", topic, payload, m);
    (void)ovk_fleetmsg_topic_sensor("orvik", topic);
    if (!why.empty()) return 0;
    if (!ovk_fleetmsg_sensor_name_ok(m.sensor)) abort();
    if (payload.size() > OVK_FLEET_PAYLOAD_MAX) abort();
    switch (m.kind) {
        case OVK_FLEET_KIND::Status:
            if (m.status.scanners.size() > OVK_FLEET_SCANNERS_MAX) abort();
            if (m.status.has_pos && (!std::isfinite(m.status.lat) || std::fabs(m.status.lat) > 90))
                abort();
            break;
        case OVK_FLEET_KIND::Detection: {
            const OVK_DETECTION& d = m.detection;
            if (d.sensor != m.sensor || d.mac.empty() || d.mac.size() > OVK_DET_MAC_MAX ||
                d.label.size() > OVK_DET_LABEL_MAX || d.evidence.size() > OVK_DET_EVIDENCE_MAX ||
                d.vendor.size() > OVK_DET_VENDOR_MAX || d.device_name.size() > OVK_DET_NAME_MAX ||
                d.confidence < 0 || d.confidence > 100 || d.timestamp < 1)
                abort();
            const std::string line = ovk_fleetmsg_detection_json(d, m.sensor);
            OVK_FLEET_MSG back;
            if (!ovk_fleetmsg_parse("orvik", "orvik/" + m.sensor + "/detection", line, back)
                     .empty())
                abort();
            OVK_DETECTION want = d;
            if (!want.has_pos) want.lat = want.lon = 0;
            // The log writes numbers with 15 significant digits: a position may come back a
            // few billionths of a degree away, never more.
            auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-9; };
            if (!near(back.detection.lat, want.lat) || !near(back.detection.lon, want.lon)) abort();
            want.lat = back.detection.lat;
            want.lon = back.detection.lon;
            if (!(back.detection == want)) abort();
            break;
        }
        case OVK_FLEET_KIND::Alert: {
            const OVK_FLEET_ALERT& a = m.alert;
            if (a.sensor != m.sensor || a.label.empty() || a.address.size() > OVK_ALERT_KEY_MAX ||
                a.confidence < 0 || a.confidence > 100)
                abort();
            if (ovk_fleetmsg_ui_alert(a).key.size() > OVK_ALERT_KEY_MAX) abort();
            if (ovk_fleetmsg_alert_json(a).empty() || ovk_fleetmsg_alert_text(a).empty()) abort();
            break;
        }
    }
    return 0;
}
