// SPDX-License-Identifier: GPL-3.0-or-later
// The user's own rules: three pop-ups over the watchlist and the whitelist.
//   "Watchlist & rules"             the regional presets on and off, the user's entries (by
//                                   address or prefix, by name text, by maker text), removal,
//                                   export to a file and the clipboard, import from the
//                                   clipboard; every entry in one grid, the user's tinted
//   "Add to watchlist"              a small dialog opened from a device: watch that address
//                                   or its vendor prefix, under a label
//   "Whitelist (trusted devices)"   the trusted devices, removal, each one's details
#pragma once

#include <string_view>

#include "ovk_gui.h"

void ovk_watchlist_build(OVK_GUI* g);
// Reloads the grid and opens the pop-up.
void ovk_watchlist_show(OVK_GUI* g);
// While open: the preset boxes follow the preferences and the grid the watchlist (reloaded
// only when it changed, keeping the selected entry).
void ovk_watchlist_refresh(OVK_GUI* g);

void ovk_watch_add_build(OVK_GUI* g);
// Opens the add dialog for an address (at most 17 characters) with a suggested label; either
// may be empty. `addr_type` is the device's address type when known: a private address of
// any kind (resolvable, non-resolvable, random static, a locally administered Wi-Fi address)
// is warned about and offered only as itself, since its prefix names no vendor. Unknown falls
// back to the address's locally administered bit.
void ovk_watch_add_show(OVK_GUI* g, std::string_view mac, std::string_view label,
                        OVK_ADDR_TYPE addr_type = OVK_ADDR_UNKNOWN);
// The frame's show hook: the add dialog for the device of the frame's subject (its address,
// suggested name and address type).
void ovk_watch_add_show_subject(OVK_GUI* g);

void ovk_whitelist_build(OVK_GUI* g);
// Reloads the list and opens the pop-up.
void ovk_whitelist_show(OVK_GUI* g);
// While open: the list follows the whitelist (reloaded only when it changed).
void ovk_whitelist_refresh(OVK_GUI* g);
