// SPDX-License-Identifier: GPL-3.0-or-later
// Where scanner output goes and what a scan is asked to do: the consumer record the radios,
// the GPS client and the demo feed deliver to, and the scan settings the platform's scanners
// read. Shared by the pipeline (which fills both) and the platform layer (which uses them),
// so neither has to know the other.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "ovk_advert.h"
#include "ovk_cell.h"
#include "ovk_geo.h"

// The consumer of scanner output. Callbacks run on the producer's thread, never under a
// producer's lock. on_advert takes ownership of the advert.
struct OVK_SINK {
    std::function<void(OVK_ADVERT_PTR)> on_advert;
    std::function<void(const OVK_LOCATION&)> on_location;
    std::function<void(std::span<const OVK_CELL>, std::string_view sim_operator, int roaming)>
        on_cells;
    std::function<void(std::string_view)> on_status;
};

// How one radio fares: asked for by the scan, its scanner running, and why it hears nothing
// (a short reason said after the radio's name, "has no adapter"; "" while it starts or
// listens).
struct OVK_RADIO_HEALTH {
    int requested = 0;
    int running = 0;
    std::string fault;
};

struct OVK_SCAN_HEALTH {
    OVK_RADIO_HEALTH ble;
    OVK_RADIO_HEALTH wifi;
};

// What to scan and how.
struct OVK_SCAN_OPTS {
    int ble = 0;
    int wifi = 0;
    int location = 0;
    int location_fast = 0;
    int cells = 0;
    int wifi_interval_ms = 0;
    int ble_mode = 0;
    int hci_dev = -1;        // adapter index, negative: let the scanner choose
    std::string wifi_iface;  // at most 31 characters, empty for all
    std::string gpsd_host;   // at most 63 characters
    int gpsd_port = 0;
};
