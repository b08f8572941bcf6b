// SPDX-License-Identifier: GPL-3.0-or-later
// The "Report unknown device" dialog: the shareable signature report of one device in range
// (no full address, no serial numbers, no location, no times), the user's note added to it,
// and a button that copies the JSON to the clipboard.
#pragma once

#include <string_view>

struct OVK_GUI;

void ovk_report_build(OVK_GUI* g);
// Keeps the address, empties the note, renders the report and opens the dialog.
void ovk_report_show(OVK_GUI* g, std::string_view mac);
// The frame's show hook: the same for the device of the frame's subject (nothing without one).
void ovk_report_show_subject(OVK_GUI* g);
