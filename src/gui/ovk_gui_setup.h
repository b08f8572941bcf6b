// SPDX-License-Identifier: GPL-3.0-or-later
// The setup wizard: six steps (welcome, look, region, alerts, location features,
// permissions) on a working copy of the preferences, applied by Finish. It opens by itself
// until it has been finished once, and from the settings. Closed half-way, it resumes at the
// same step with the same choices.
#pragma once

struct OVK_GUI;

void ovk_setup_build(OVK_GUI* g);
void ovk_setup_show(OVK_GUI* g);
// The interface ends: a wizard left half-way is forgotten.
void ovk_setup_shutdown(OVK_GUI* g);
