// SPDX-License-Identifier: GPL-3.0-or-later
// The "Report unknown device" dialog: the shareable signature report of one device in range
// (no full address, no serial numbers, no location, no times), the user's note added to it,
// and a button that copies the JSON to the clipboard.
#pragma once

#include <string_view>

struct OVK_GUI;

void ovk_report_build(OVK_GUI* g);
// Keeps the address, empties the note, asks for the device and opens the dialog; the report
// shows once the device has been read.
void ovk_report_show(OVK_GUI* g, std::string_view mac);
// Takes the device as the engine port read it (the frame's refresh).
void ovk_report_refresh(OVK_GUI* g);
// The frame's show hook: the same for the device of the frame's subject (nothing without one).
void ovk_report_show_subject(OVK_GUI* g);
