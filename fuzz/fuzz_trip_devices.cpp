// SPDX-License-Identifier: GPL-3.0-or-later
// The trip devices file from arbitrary bytes: records respect the limits, have an address
// and a category of -1 or a known one, the written text reads back to the same records,
// and a trip folder holding the file reads it back the same way.
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_app_util.h"
#include "ovk_trip.h"
#include "zq_log.h"

// Invalid files are logged on every open; keep the run quiet.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_level(LOG_CRIT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<OVK_TRIP_DEVICE> devs = ovk_trip_parse_devices(text);
    bool exact = true;
    for (const OVK_TRIP_DEVICE& d : devs) {
        if (d.mac.empty() || d.mac.size() > OVK_TRIP_MAC_MAX ||
            d.label.size() > OVK_TRIP_LABEL_MAX || d.name.size() > OVK_TRIP_DEV_NAME_MAX ||
            d.vendor.size() > OVK_TRIP_VENDOR_MAX || d.device_type.size() > OVK_TRIP_TYPE_MAX ||
            d.source.size() > OVK_TRIP_SOURCE_MAX || d.evidence.size() > OVK_TRIP_EVIDENCE_MAX)
            abort();
        if (d.category < -1 || d.category >= OVK_CAT_COUNT) abort();
        if (d.has_pos ? !(std::isfinite(d.lat) && std::isfinite(d.lon))
                      : (d.lat != 0 || d.lon != 0))
            abort();
        exact =
            exact && ovk_fuzz::exact_in_json(d.first_seen) && ovk_fuzz::exact_in_json(d.last_seen);
    }
    const std::optional<std::string> out = ovk_trip_devices_text(1, devs);
    if (!out) abort();
    if (exact) {
        std::vector<OVK_TRIP_DEVICE> back = ovk_trip_parse_devices(*out);
        if (back.size() != devs.size()) abort();
        for (size_t i = 0; i < devs.size(); ++i) {
            if (!ovk_fuzz::near_in_json(back[i].lat, devs[i].lat) ||
                !ovk_fuzz::near_in_json(back[i].lon, devs[i].lon))
                abort();
            back[i].lat = devs[i].lat;
            back[i].lon = devs[i].lon;
            if (!(back[i] == devs[i])) abort();
        }
    }

    const std::string dir = ovk_fuzz::scratch_dir() + "/devices";
    static bool made = false;
    if (!made) {
        made = ovk_mkdirs(dir + "/trips") == 0 &&
               ovk_write_file_atomic(dir + "/trips/trips.json", R"([{"id":1,"name":"f"}])") == 0;
    }
    if (!ovk_fuzz::write_bytes(dir + "/trips/1.devices.json", data, size)) return 0;
    if (ovk_trip_open(dir) != 0) abort();
    if (ovk_trip_devices(1).size() != devs.size()) abort();
    ovk_trip_close();
    return 0;
}
