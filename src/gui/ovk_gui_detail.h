// SPDX-License-Identifier: GPL-3.0-or-later
// The device detail screen: the pop-up that explains one device. A drawn head with the
// verdict badge, the live signal, distance, trend and a two-minute signal graph; a row of
// actions (locate, watchlist, whitelist, favourite, copy, report, drone and operator on the
// map); and a markdown document with every piece of evidence: why it is flagged, identity,
// Remote ID, history and the raw advertisement. While open it is refreshed every half second; the
// document is replaced only when its text changed, and the reader's scroll position is kept.
//
// The device shown is `sel_mac` of the interface record; locate mode is its `locate`.
#pragma once

#include <span>
#include <string_view>

#include "ovk_gui.h"
#include "ovk_patrol.h"

// Builds the pop-up (hidden).
void ovk_detail_build(OVK_GUI* g);
// Selects the device and opens the pop-up, its document scrolled to the top. Another device
// than the one shown before ends locate mode and reloads its logged matches.
void ovk_detail_show(OVK_GUI* g, std::string_view mac);
// The frame's show hook: the same for the device of the frame's subject, or without one for the
// device already selected in `sel_mac`.
void ovk_detail_show_selected(OVK_GUI* g);
// Re-reads the device and updates the document and the buttons; ends locate mode when the
// device is no longer in range. Nothing when the pop-up does not exist.
void ovk_detail_refresh(OVK_GUI* g);
// The title at the top of the detail: the name the device list shows for it (its verdict's
// label, else its name, else its type), or "Device".
std::string ovk_detail_title(const OVK_GUI* g);
// The line under the address: whether the device is in range (when it was last heard), has
// been moving with the user, or is being read.
std::string ovk_detail_presence(const OVK_GUI* g, int64_t now);

// The trend text after the band: the current signal against the mean of up to five readings
// before the newest one; "  ^ getting closer" more than 3 dB above, "  v moving away" more
// than 3 dB below, else "  - steady" (also with fewer than two readings).
const char* ovk_detail_trend(std::span<const OVK_RSSI_SAMPLE> history, int rssi);
