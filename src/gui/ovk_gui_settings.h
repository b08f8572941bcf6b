// SPDX-License-Identifier: GPL-3.0-or-later
// The settings pop-up: every preference in one scrolling column of labelled controls. It
// edits a working copy of the preferences and applies it through the frame only when the
// user presses Save; closing it without Save forgets the edits. It also holds the two
// confirmed clean-ups of stored data (the match log, the device history) and the way back
// into the setup wizard.
#pragma once

#include <string>
#include <string_view>

struct OVK_GUI;

// Builds the screen from the preferences (a rebuild while it holds unsaved edits keeps them
// when the preferences did not change meanwhile, and comes back scrolled where it was).
void ovk_settings_build(OVK_GUI* g);
// Opens it showing the preferences in force; when they changed since it was built, or it
// holds edits that were never saved, it is built again first (on the next tick).
void ovk_settings_show(OVK_GUI* g);
// Every tick while open: remembers how far the screen is scrolled.
void ovk_settings_tick(OVK_GUI* g);
// The interface ends: unsaved edits are forgotten.
void ovk_settings_shutdown(OVK_GUI* g);

// What Save makes of the text fields.
// The gpsd port: a decimal number from 1 to 65535, else 2947.
int ovk_settings_parse_port(std::string_view text);
// The Bluetooth adapter: empty or anything but a number (optionally written "hciN") gives -1,
// the first adapter that is up.
int ovk_settings_parse_adapter(std::string_view text);
// Why the fleet broker address and group cannot be used ("fleet broker: no host"), or ""
// when they can (an empty address: no fleet).
std::string ovk_settings_check_fleet(std::string_view url, std::string_view group);
