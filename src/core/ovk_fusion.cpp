// SPDX-License-Identifier: GPL-3.0-or-later
// Fusion of same-category verdicts: miss = (1 - p) * prod(1 - c/2) over the supporters.
#include "ovk_fusion.h"

#include <cmath>
#include <exception>
#include <string>

#include "ovk_patrol.h"
#include "zq_log.h"

namespace {

constexpr int kCap = 90;         // fusion never lifts a verdict above this
constexpr int kMinSupport = 30;  // weaker verdicts than this do not support
constexpr size_t kMaxSupporters = 64;

bool _coloc(const OVK_HIT& h) {
    return h.source == OVK_PATROL_SOURCE;
}

}  // namespace

void ovk_fusion_fuse(OVK_HITS& hits) {
    if (hits.size() < 2) return;
    try {
        ovk_hits_sort(hits);
        size_t primary = hits.size();
        for (size_t i = 0; i < hits.size(); i++) {
            if (!_coloc(hits[i])) {
                primary = i;
                break;
            }
        }
        if (primary == hits.size()) return;
        const OVK_HIT& p = hits[primary];

        std::vector<const OVK_HIT*> sup;
        for (size_t i = 0; i < hits.size() && sup.size() < kMaxSupporters; i++) {
            const OVK_HIT& h = hits[i];
            if (i == primary || _coloc(h) || h.category != p.category ||
                h.confidence < kMinSupport || h.label == p.label)
                continue;
            bool dup = false;
            for (const OVK_HIT* s : sup) dup = dup || s->label == h.label;
            if (!dup) sup.push_back(&h);
        }
        if (sup.empty() || p.confidence >= kCap) return;

        double miss = 1.0 - p.confidence / 100.0;
        for (const OVK_HIT* s : sup) miss *= 1.0 - 0.5 * s->confidence / 100.0;
        int fused = static_cast<int>(std::floor((1.0 - miss) * 100.0 + 0.5));
        if (fused < p.confidence) fused = p.confidence;
        if (fused > kCap) fused = kCap;
        if (fused == p.confidence) return;

        OVK_HIT next = p;
        std::string ev = p.evidence;
        ev += ". Corroborated by: ";
        for (size_t i = 0; i < sup.size(); i++) {
            if (i) ev += "; ";
            ev += sup[i]->label;
            ev += " (" + std::to_string(sup[i]->confidence) + "%)";
        }
        ev += " - combined " + std::to_string(p.confidence) + "% -> " + std::to_string(fused) + "%";
        next.evidence = ovk_cut(ev, OVK_EVIDENCE_MAX);
        next.confidence = fused;
        hits[primary] = std::move(next);
        ovk_hits_sort(hits);
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "fusion: %s", e.what());
    }
}
