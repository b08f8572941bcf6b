// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>

#include "ovk_category.h"

namespace {

OVK_HIT hit(const char* label, int conf) {
    return ovk_hit_make(OVK_CAT_TRACKER, label, conf, "src", "%s at %d", label, conf);
}

std::string labels(const OVK_HITS& h) {
    std::string s;
    for (const OVK_HIT& x : h) s += x.label;
    return s;
}

}  // namespace

TEST(Category, TableAndParse) {
    EXPECT_STREQ(ovk_cat_name(OVK_CAT_BODY_CAM), "BODY_CAM");
    EXPECT_STREQ(ovk_cat_title(OVK_CAT_AUDIO_SENSOR),
                 "Audio / gunshot sensor (Flock Raven, ShotSpotter)");
    EXPECT_STREQ(ovk_cat_tag(OVK_CAT_CUSTOM), "WATCHLIST");
    EXPECT_EQ(ovk_cat_color(OVK_CAT_DRONE), 0xFF1F5FBFu);
    EXPECT_EQ(ovk_cat_color(OVK_CAT_CUSTOM), ovk_cat_color(OVK_CAT_BODY_CAM));
    EXPECT_EQ(ovk_cat_default_enabled(OVK_CAT_NETWORK_CAMERA), 0);
    EXPECT_EQ(ovk_cat_default_enabled(OVK_CAT_CELL_ANOMALY), 1);
    EXPECT_STREQ(ovk_cat_name(OVK_CAT_COUNT), "");
    EXPECT_STREQ(ovk_cat_title(-1), "");
    EXPECT_EQ(ovk_cat_color(-1), 0u);
    EXPECT_EQ(ovk_cat_default_enabled(11), 0);

    EXPECT_EQ(ovk_cat_parse("body_cam"), OVK_CAT_BODY_CAM);
    EXPECT_EQ(ovk_cat_parse("Network_Camera"), OVK_CAT_NETWORK_CAMERA);
    EXPECT_EQ(ovk_cat_parse("CUSTOM"), OVK_CAT_CUSTOM);
    EXPECT_EQ(ovk_cat_parse("BODY CAM"), -1);        // a tag
    EXPECT_EQ(ovk_cat_parse("Your watchlist"), -1);  // a title
    EXPECT_EQ(ovk_cat_parse(""), -1);
    EXPECT_EQ(ovk_cat_parse("BODY_CAMERA"), -1);
    for (int c = 0; c < OVK_CAT_COUNT; ++c) EXPECT_EQ(ovk_cat_parse(ovk_cat_name(c)), c);
}

TEST(Category, Tiers) {
    EXPECT_EQ(ovk_tier_of(100), OVK_TIER_STRONG);
    EXPECT_EQ(ovk_tier_of(80), OVK_TIER_STRONG);
    EXPECT_EQ(ovk_tier_of(79), OVK_TIER_MEDIUM);
    EXPECT_EQ(ovk_tier_of(50), OVK_TIER_MEDIUM);
    EXPECT_EQ(ovk_tier_of(49), OVK_TIER_WEAK);
    EXPECT_EQ(ovk_tier_of(-5), OVK_TIER_WEAK);
    EXPECT_STREQ(ovk_tier_label(OVK_TIER_STRONG), "strong");
    EXPECT_STREQ(ovk_tier_label(OVK_TIER_MEDIUM), "probable");
    EXPECT_STREQ(ovk_tier_label(OVK_TIER_WEAK), "weak - verify");
    EXPECT_STREQ(ovk_tier_label(42), "weak - verify");
}

TEST(Hits, MakeCutsTexts) {
    const std::string long_label(300, 'L');
    const std::string long_source(300, 'S');
    const std::string long_ev(2000, 'E');
    OVK_HIT h = ovk_hit_make(OVK_CAT_ALPR, long_label, 150, long_source, "%s", long_ev.c_str());
    EXPECT_EQ(h.category, OVK_CAT_ALPR);
    EXPECT_EQ(h.confidence, 150);  // not clamped
    EXPECT_EQ(h.label, std::string(159, 'L'));
    EXPECT_EQ(h.source, std::string(223, 'S'));
    EXPECT_EQ(h.evidence, std::string(1023, 'E'));
    OVK_HIT e = ovk_hit_make(OVK_CAT_DRONE, "x", 1, "", nullptr);
    EXPECT_EQ(e.evidence, "");
    EXPECT_EQ(e.source, "");
    EXPECT_EQ(ovk_hit_make(OVK_CAT_DRONE, "x", 1, "", "id %d / %s", 7, "b").evidence, "id 7 / b");
}

TEST(Hits, StableSortByConfidence) {
    OVK_HITS h;
    for (auto [l, c] : {std::pair{"A", 60}, {"B", 90}, {"C", 60}, {"D", 95}})
        ASSERT_EQ(ovk_hits_push(h, hit(l, c)), 0);
    ovk_hits_sort(h);
    EXPECT_EQ(labels(h), "DBAC");
    OVK_HITS same;
    for (const char* l : {"a", "b", "c", "d", "e"}) ovk_hits_push(same, hit(l, 50));
    ovk_hits_push(same, hit("f", 51));
    ovk_hits_sort(same);
    EXPECT_EQ(labels(same), "fabcde");
}

TEST(Hits, FindAppendCopyClear) {
    OVK_HITS h;
    ovk_hits_push(h, hit("Axon", 90));
    ovk_hits_push(h, hit("Flock", 80));
    ovk_hits_push(h, hit("Axon", 10));
    EXPECT_EQ(ovk_hits_find_label(h, "Axon"), 0);
    EXPECT_EQ(ovk_hits_find_label(h, "Flock"), 1);
    EXPECT_EQ(ovk_hits_find_label(h, "axon"), -1);
    EXPECT_EQ(ovk_hits_find_label(h, ""), -1);

    OVK_HITS big;
    for (int i = 0; i < 10; ++i) ovk_hits_push(big, hit("x", i));
    ASSERT_EQ(ovk_hits_copy(big, h), 0);
    EXPECT_EQ(labels(big), "AxonFlockAxon");
    EXPECT_EQ(big[2].confidence, 10);

    EXPECT_EQ(ovk_hits_append(big, {}), 0);
    EXPECT_EQ(big.size(), 3u);
    EXPECT_EQ(ovk_hits_append(big, big), 0);  // appending a list to itself
    EXPECT_EQ(labels(big), "AxonFlockAxonAxonFlockAxon");
    ovk_hits_clear(big);
    EXPECT_TRUE(big.empty());
    EXPECT_EQ(ovk_hits_copy(h, h), 0);
    EXPECT_EQ(h.size(), 3u);
}

TEST(Facts, AddGetCopyAndIdentity) {
    OVK_FACTS f;
    ASSERT_EQ(ovk_facts_add(f, "Model", "%s", "AB-1"), 0);
    ASSERT_EQ(ovk_facts_add(f, "Model", "%s", "AB-2"), 0);
    ASSERT_EQ(ovk_facts_add(f, std::string(60, 'k'), "%s", std::string(600, 'v').c_str()), 0);
    ASSERT_EQ(ovk_facts_add(f, "Empty", nullptr), 0);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(*ovk_facts_get(f, "Model"), "AB-1");
    EXPECT_EQ(f[2].key.size(), 47u);
    EXPECT_EQ(f[2].value.size(), 511u);
    EXPECT_EQ(*ovk_facts_get(f, "Empty"), "");
    EXPECT_EQ(ovk_facts_get(f, "model"), nullptr);

    OVK_FACTS g;
    ovk_facts_add(g, "old", "1");
    ASSERT_EQ(ovk_facts_copy(g, f), 0);
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(ovk_facts_get(g, "old"), nullptr);

    OVK_IDENTITY a{"Body camera", f};
    OVK_IDENTITY b{"stale", {}};
    ovk_facts_add(b.facts, "x", "y");
    ASSERT_EQ(ovk_identity_copy(b, a), 0);
    EXPECT_EQ(b.type, "Body camera");
    EXPECT_EQ(b.facts.size(), 4u);
    ovk_identity_free(b);
    EXPECT_TRUE(b.type.empty());
    EXPECT_TRUE(b.facts.empty());
    EXPECT_EQ(a.facts.size(), 4u);  // the source is untouched
}

TEST(Format, CutAndFormat) {
    EXPECT_EQ(ovk_cut("abcdef", 3), "abc");
    EXPECT_EQ(ovk_cut("ab", 3), "ab");
    EXPECT_EQ(ovk_cut("ab", 0), "");
    EXPECT_EQ(ovk_format(5, "%d-%d", 1234, 5678), "1234-");
    EXPECT_EQ(ovk_format(100, "%s", ""), "");
    EXPECT_EQ(ovk_format(100, nullptr), "");
}
