// SPDX-License-Identifier: GPL-3.0-or-later
// The export dialog: what to export (the session, every device ever seen, the match log, the
// watchlist or everything) and in which format; writes the file into the export folder and
// opens that folder on request.
#pragma once

struct OVK_GUI;

void ovk_export_build(OVK_GUI* g);
// Opens the dialog with the scope and format chosen last (both kept while the program runs).
void ovk_export_show(OVK_GUI* g);
