// The one interface through which the portable parts reach the operating system:
// scanner start/stop/status, the sink that receives scanner output, directories,
// outside programs and clocks.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "ovk_advert.h"
#include "ovk_cell.h"
#include "ovk_geo.h"

// The consumer of scanner output. Callbacks run on the scanner's thread, never under a
// platform lock. on_advert takes ownership of the advert.
struct OVK_SINK {
    std::function<void(OVK_ADVERT_PTR)> on_advert;
    std::function<void(const OVK_LOCATION&)> on_location;
    std::function<void(std::span<const OVK_CELL>, std::string_view sim_operator, int roaming)>
        on_cells;
    std::function<void(std::string_view)> on_status;
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

// Sink and emitters (called by the scanner threads).
void ovk_platform_set_sink(const OVK_SINK* sink);
void ovk_linux_emit_advert(OVK_ADVERT_PTR advert);
void ovk_linux_emit_location(const OVK_LOCATION& fix);
void ovk_linux_emit_status(std::string_view text);

// Clocks.
int64_t ovk_linux_now_ms();
int64_t ovk_linux_mono_ms();
int64_t ovk_linux_boot_ns();
