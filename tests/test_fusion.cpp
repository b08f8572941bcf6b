// SPDX-License-Identifier: GPL-3.0-or-later
// Fusion of same-category verdicts.
#include <gtest/gtest.h>

#include <string>

#include "ovk_fusion.h"
#include "ovk_patrol.h"

namespace {

OVK_HIT hit(OVK_CATEGORY c, const char* label, int conf, const char* src = "catalogue") {
    return ovk_hit_make(c, label, conf, src, "ev %s", label);
}

const std::string kColoc(OVK_PATROL_SOURCE);

}  // namespace

TEST(Fusion, IndependentSupportersRaiseThePrimary) {
    // Unsorted on purpose: fusion sorts first.
    OVK_HITS h{hit(OVK_CAT_BODY_CAM, "B", 50), hit(OVK_CAT_BODY_CAM, "A", 60),
               hit(OVK_CAT_BODY_CAM, "C", 40)};
    ovk_fusion_fuse(h);
    ASSERT_EQ(h.size(), 3u);
    // miss = 0.4 * 0.75 * 0.8 = 0.24
    EXPECT_EQ(h[0].label, "A");
    EXPECT_EQ(h[0].confidence, 76);
    EXPECT_EQ(h[0].evidence, "ev A. Corroborated by: B (50%); C (40%) - combined 60% -> 76%");
    EXPECT_EQ(h[0].source, "catalogue");
    EXPECT_EQ(h[1].label, "B");
    EXPECT_EQ(h[1].confidence, 50);
    EXPECT_EQ(h[2].confidence, 40);
}

TEST(Fusion, WhatDoesNotSupport) {
    OVK_HITS h{hit(OVK_CAT_BODY_CAM, "A", 60),
               hit(OVK_CAT_BODY_CAM, "weak", 29),
               hit(OVK_CAT_ALPR, "other kind", 35),
               hit(OVK_CAT_BODY_CAM, "A", 55),
               hit(OVK_CAT_BODY_CAM, "B", 50),
               hit(OVK_CAT_BODY_CAM, "B", 45),
               hit(OVK_CAT_BODY_CAM, "coloc", 70, kColoc.c_str())};
    ovk_fusion_fuse(h);
    // Sorted: coloc 70, A 60 (primary), A 55, B 50, B 45, other kind 35, weak 29.
    // Only the first B counts: miss = 0.4 * 0.75 = 0.3.
    ASSERT_EQ(h.size(), 7u);
    EXPECT_EQ(h[0].label, "coloc");  // equal confidence keeps the earlier one first
    EXPECT_EQ(h[0].confidence, 70);
    EXPECT_EQ(h[0].evidence, "ev coloc");
    EXPECT_EQ(h[1].label, "A");
    EXPECT_EQ(h[1].confidence, 70);
    EXPECT_EQ(h[1].evidence, "ev A. Corroborated by: B (50%) - combined 60% -> 70%");
    EXPECT_EQ(h[2].label, "A");
    EXPECT_EQ(h[2].confidence, 55);
    EXPECT_EQ(h[5].label, "other kind");
    EXPECT_EQ(h[5].evidence, "ev other kind");
}

TEST(Fusion, PrimaryIsTheStrongestNonColocationVerdict) {
    OVK_HITS h{hit(OVK_CAT_ALPR, "group", 88, kColoc.c_str()), hit(OVK_CAT_ALPR, "X", 40),
               hit(OVK_CAT_ALPR, "group2", 85, kColoc.c_str()), hit(OVK_CAT_ALPR, "Y", 40)};
    ovk_fusion_fuse(h);
    // miss = 0.6 * 0.8 = 0.48 -> 52
    EXPECT_EQ(h[0].label, "group");
    EXPECT_EQ(h[0].confidence, 88);
    EXPECT_EQ(h[2].label, "X");
    EXPECT_EQ(h[2].confidence, 52);
    EXPECT_EQ(h[3].label, "Y");

    OVK_HITS only{hit(OVK_CAT_ALPR, "group", 50, kColoc.c_str()),
                  hit(OVK_CAT_ALPR, "group2", 50, kColoc.c_str())};
    ovk_fusion_fuse(only);
    ASSERT_EQ(only.size(), 2u);
    EXPECT_EQ(only[0].confidence, 50);
    EXPECT_EQ(only[1].confidence, 50);
}

TEST(Fusion, CapAndStrongPrimaryLeftAlone) {
    OVK_HITS h{hit(OVK_CAT_DRONE, "A", 90), hit(OVK_CAT_DRONE, "B", 80)};
    ovk_fusion_fuse(h);
    EXPECT_EQ(h[0].confidence, 90);
    EXPECT_EQ(h[0].evidence, "ev A");

    OVK_HITS c{hit(OVK_CAT_DRONE, "A", 85), hit(OVK_CAT_DRONE, "B", 80)};
    ovk_fusion_fuse(c);  // 1 - 0.15 * 0.6 = 0.91 -> capped
    EXPECT_EQ(c[0].confidence, 90);
    EXPECT_EQ(c[0].evidence, "ev A. Corroborated by: B (80%) - combined 85% -> 90%");

    OVK_HITS one{hit(OVK_CAT_DRONE, "A", 10)};
    ovk_fusion_fuse(one);
    EXPECT_EQ(one[0].confidence, 10);
    OVK_HITS none;
    ovk_fusion_fuse(none);
    EXPECT_TRUE(none.empty());
}

TEST(Fusion, UnsupportedListStillComesBackSorted) {
    OVK_HITS h{hit(OVK_CAT_DRONE, "A", 20), hit(OVK_CAT_ALPR, "B", 70)};
    ovk_fusion_fuse(h);
    EXPECT_EQ(h[0].label, "B");
    EXPECT_EQ(h[0].confidence, 70);
    EXPECT_EQ(h[1].label, "A");
}

TEST(Fusion, AtMost64SupportersAndEvidenceIsCut) {
    OVK_HITS h{hit(OVK_CAT_TRACKER, "P", 40)};
    for (int i = 0; i < 100; i++) {
        std::string label = "S" + std::to_string(i);
        h.push_back(hit(OVK_CAT_TRACKER, label.c_str(), 30));
    }
    OVK_HITS longer = h;
    ovk_fusion_fuse(h);
    EXPECT_EQ(h[0].label, "P");
    EXPECT_EQ(h[0].confidence, 90);
    const std::string& ev = h[0].evidence;
    const std::string tail = "; S63 (30%) - combined 40% -> 90%";
    ASSERT_GE(ev.size(), tail.size());
    EXPECT_EQ(ev.substr(ev.size() - tail.size()), tail);
    EXPECT_EQ(ev.find("S64"), std::string::npos);

    longer[0].evidence = std::string(1000, 'e');
    ovk_fusion_fuse(longer);
    EXPECT_EQ(longer[0].evidence.size(), OVK_EVIDENCE_MAX);
    EXPECT_EQ(longer[0].evidence.substr(1000), ". Corroborated by: S0 (");
}
