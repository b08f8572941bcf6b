// SPDX-License-Identifier: GPL-3.0-or-later
// The "About & sources" page: version, credits, privacy, what a match means, where the
// signatures and data come from with their licences, and the limits of what can be heard.
#pragma once

#include <string>

struct OVK_GUI;

void ovk_about_build(OVK_GUI* g);
// Fills the page (the counts of the data loaded now) and opens it.
void ovk_about_show(OVK_GUI* g);
// The page's markdown text, at most 5999 bytes.
std::string ovk_about_text();
