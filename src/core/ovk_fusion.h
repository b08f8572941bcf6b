// SPDX-License-Identifier: GPL-3.0-or-later
// Fusion of verdicts: several weaker verdicts of the same category on one device raise the
// strongest one's confidence as independent evidence, up to 90.
#pragma once

#include "ovk_category.h"

// Rewrites the list in place and leaves it ordered strongest first (when it has two or more
// verdicts). Verdicts of the co-location analysis take no part.
void ovk_fusion_fuse(OVK_HITS& hits);
