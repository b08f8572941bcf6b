// SPDX-License-Identifier: GPL-3.0-or-later
// Recording: every advertisement the radios, the demo feed or a replay deliver to the
// pipeline, and every GPS fix, appended to a file as JSON Lines in orvik-classify's input
// format (ovk_classify_format, ovk_classify_format_fix), each line written and flushed as it
// comes, so a drive or a walk can be analysed again when the catalogue improves and a crash
// loses at most the line being written. A line that cannot be written (a full disk, a
// removed card) is cut back off the file and stops the recording; the status says so. The pipeline
// calls ovk_record_advert and ovk_record_fix for every item it queues; both do nothing while no
// recording is open.
//
// Thread-safe: one mutex guards the file; nothing else is called under it.
#pragma once

#include <string>

#include "ovk_advert.h"
#include "ovk_geo.h"

// Opens (creating, or appending to) the recording. 0, or -1 with `error` set (the system's
// reason). A recording already open is closed first.
int ovk_record_open(const std::string& path, std::string& error);
void ovk_record_close();
int ovk_record_active();
// Lines written since the open; 0 when none is open.
long ovk_record_lines();
// "Recording stopped: <the system's reason>" after a write failure stopped the recording,
// until the next open; "" otherwise.
std::string ovk_record_stopped_note();

void ovk_record_advert(const OVK_ADVERT& a);
void ovk_record_fix(const OVK_LOCATION& loc);
