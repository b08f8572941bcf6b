// SPDX-License-Identifier: GPL-3.0-or-later
// Remote ID plausibility: one test per rule with its threshold on both sides, the flight
// boundary, and what a finding does to verdicts and facts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovk_ridcheck.h"
#include "ovk_signature.h"
#include "rid_builder.h"

namespace {

using namespace ovk_test;

constexpr int64_t T0 = 1700000000000;  // 2023-11-14 22:13:20 UTC
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;
const char* kMac = "60:60:1F:00:00:01";

// Feeds one broadcast and returns the rules it raised.
std::vector<OVK_RIDCHECK_RULE> feed(OVK_RID_TRACK& t, const std::vector<RidBytes>& msgs,
                                    int64_t now) {
    const OVK_ADVERT_PTR a = rid_advert(kMac, msgs, now);
    std::vector<OVK_RIDCHECK_RULE> rules;
    for (const auto& f : ovk_ridcheck_observe(t, *a, now)) rules.push_back(f.rule);
    return rules;
}

using Rules = std::vector<OVK_RIDCHECK_RULE>;

TEST(RidCheck, PositionJumpAbove100MetresPerSecond) {
    OVK_RID_TRACK t;
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon)}, T0), Rules{});
    // 1 s later: 100 m/s plus 30 m of noise is the limit.
    EXPECT_EQ(feed(t, {rid_location(rid_north(kLat, 125), kLon)}, T0 + 1000), Rules{});
    EXPECT_EQ(feed(t, {rid_location(rid_north(kLat, 125 + 135), kLon)}, T0 + 2000),
              Rules{OVK_RIDCHECK_JUMP});
    ASSERT_EQ(t.findings.size(), 1u);
    EXPECT_NE(t.findings[0].reason.find("position jumped 135 m in 1.0 s"), std::string::npos)
        << t.findings[0].reason;
    // 10 s for 1000 m is fine; less than a second counts as one.
    double lat = rid_north(kLat, 260);
    EXPECT_EQ(feed(t, {rid_location(lat, kLon)}, T0 + 2000), Rules{});  // same place again
    EXPECT_EQ(feed(t, {rid_location(rid_north(lat, 1000), kLon)}, T0 + 12000), Rules{});
    lat = rid_north(lat, 1000);
    EXPECT_EQ(feed(t, {rid_location(rid_north(lat, 140), kLon)}, T0 + 12200),
              Rules{OVK_RIDCHECK_JUMP});
    // After more than 5 minutes of silence a new flight starts: nothing to compare with.
    EXPECT_EQ(feed(t, {rid_location(kLat + 1, kLon)}, T0 + 12200 + 300001), Rules{});
    // Without receiving times the rule has nothing to measure.
    OVK_RID_TRACK u;
    feed(u, {rid_location(kLat, kLon)}, 0);
    EXPECT_EQ(feed(u, {rid_location(kLat + 1, kLon)}, 0), Rules{});
}

TEST(RidCheck, ReportedSpeedAbove100MetresPerSecond) {
    OVK_RID_TRACK t;
    // raw x 0.75 + 63.75: 48 is 99.75 m/s, 49 is 100.5 m/s
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 48, true)}, T0), Rules{});
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 49, true)}, T0 + 1000), Rules{OVK_RIDCHECK_SPEED});
    EXPECT_EQ(ovk_ridcheck_text(t.findings.at(0)),
              "Possible spoofed Remote ID: reported speed 100.50 m/s (362 km/h), above 100 m/s");
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 255, false)}, T0 + 2000), Rules{})
        << "unknown speed";
}

TEST(RidCheck, OperatorMoreThan15KilometresAway) {
    OVK_RID_TRACK t;
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon), rid_system(rid_north(kLat, 14900), kLon, 1)}, T0),
              Rules{});
    EXPECT_EQ(feed(t, {rid_system(rid_north(kLat, 15100), kLon, 1)}, T0 + 1000),
              Rules{OVK_RIDCHECK_OPERATOR_FAR});
    EXPECT_NE(t.findings.at(0).reason.find("operator 15.1 km from the aircraft"),
              std::string::npos);
}

TEST(RidCheck, TakeoffOrFixedOperatorPositionMovingWithinOneFlight) {
    OVK_RID_TRACK t;
    EXPECT_EQ(feed(t, {rid_system(kLat, kLon, 0)}, T0), Rules{});
    EXPECT_EQ(feed(t, {rid_system(rid_north(kLat, 45), kLon, 0)}, T0 + 1000), Rules{});
    EXPECT_EQ(feed(t, {rid_system(rid_north(kLat, 60), kLon, 0)}, T0 + 2000),
              Rules{OVK_RIDCHECK_TAKEOFF_MOVED});
    EXPECT_NE(t.findings.at(0).reason.find("takeoff position moved 60 m"), std::string::npos);

    // A live operator position may move (the pilot walks); a fixed one may not.
    OVK_RID_TRACK live;
    feed(live, {rid_system(kLat, kLon, 1)}, T0);
    EXPECT_EQ(feed(live, {rid_system(rid_north(kLat, 500), kLon, 1)}, T0 + 1000), Rules{});
    OVK_RID_TRACK fixed;
    feed(fixed, {rid_system(kLat, kLon, 2)}, T0);
    EXPECT_EQ(feed(fixed, {rid_system(rid_north(kLat, 500), kLon, 2)}, T0 + 1000),
              Rules{OVK_RIDCHECK_TAKEOFF_MOVED});
    // The next flight may take off elsewhere.
    EXPECT_EQ(feed(t, {rid_system(rid_north(kLat, 2000), kLon, 0)}, T0 + 2000 + 600000), Rules{});
}

TEST(RidCheck, LocationTimeStampFarFromTheReceivingClock) {
    // T0 is 22:13:20 UTC: 800.0 s into the hour, 8000 tenths.
    OVK_RID_TRACK t;
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 8000 - 290)}, T0), Rules{});
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 8000 + 290)}, T0), Rules{});
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 8000 - 310)}, T0),
              Rules{OVK_RIDCHECK_TIMESTAMP});
    EXPECT_NE(t.findings.at(0).reason.find("31.0 s behind the receiving clock"), std::string::npos)
        << t.findings.at(0).reason;
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 8000 + 310)}, T0),
              Rules{OVK_RIDCHECK_TIMESTAMP});
    EXPECT_NE(t.findings.at(0).reason.find("31.0 s ahead of"), std::string::npos);
    // Across the hour: 2 s after the hour against 2 s before it is 4 s.
    const int64_t after_hour = T0 - 800000 + 3600000 + 2000;
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 36000 - 20)}, after_hour), Rules{});
    // Unknown (0xFFFF) and never filled (0) are not checked; past the hour is no time at all.
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 0xFFFF)}, T0), Rules{});
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 0)}, T0), Rules{});
    EXPECT_EQ(feed(t, {rid_location(kLat, kLon, 20, false, 40000)}, T0),
              Rules{OVK_RIDCHECK_TIMESTAMP});
    // A receiving clock that was never set proves nothing.
    OVK_RID_TRACK u;
    EXPECT_EQ(feed(u, {rid_location(kLat, kLon, 20, false, 123)}, 86400000), Rules{});
}

TEST(RidCheck, BasicIdChangingOnTheSameAddress) {
    OVK_RID_TRACK t;
    EXPECT_EQ(feed(t, {rid_basic_id(1, "1581F5FJD229400B")}, T0), Rules{});
    // A second ID of another type (a session ID beside the serial number) is allowed.
    EXPECT_EQ(feed(t, {rid_basic_id(4, "SESSION-77")}, T0 + 1000), Rules{});
    EXPECT_EQ(feed(t, {rid_basic_id(1, "1581F5FJD229400B")}, T0 + 2000), Rules{});
    EXPECT_EQ(feed(t, {rid_basic_id(1, "1581F5FJD2294999")}, T0 + 3000),
              Rules{OVK_RIDCHECK_ID_CHANGED});
    EXPECT_EQ(t.findings.at(0).reason,
              "Basic ID changed from \"1581F5FJD229400B\" to \"1581F5FJD2294999\" on the same "
              "address");
}

TEST(RidCheck, FindingsLowerRemoteIdVerdictsAndBecomeFacts) {
    OVK_RID_TRACK t;
    const OVK_ADVERT_PTR a =
        rid_advert(kMac, {rid_basic_id(1, "X1"), rid_location(kLat, kLon, 49, true)}, T0);
    ovk_ridcheck_observe(t, *a, T0);
    ASSERT_EQ(t.findings.size(), 1u);
    const OVK_ADVERT_PTR b = rid_advert(kMac, {rid_basic_id(1, "X2")}, T0 + 1000);
    ovk_ridcheck_observe(t, *b, T0 + 1000);
    ASSERT_EQ(t.findings.size(), 2u);
    EXPECT_EQ(t.findings[0].rule, OVK_RIDCHECK_SPEED) << "findings stay in rule order";

    OVK_HITS hits = ovk_signature_classify(a.get());
    hits.push_back(ovk_hit_make(OVK_CAT_DRONE, "Some drone maker", 70, "IEEE registry", "block"));
    ovk_hits_sort(hits);
    ASSERT_EQ(hits.front().label, "Drone broadcasting Remote ID");
    ASSERT_EQ(hits.front().confidence, 95);
    ovk_ridcheck_lower(hits, t);
    EXPECT_EQ(hits.front().label, "Some drone maker") << "re-sorted after lowering";
    const int at = ovk_hits_find_label(hits, "Drone broadcasting Remote ID");
    ASSERT_GE(at, 0);
    EXPECT_EQ(hits[at].confidence, 60);
    EXPECT_NE(hits[at].evidence.find("possible spoofed Remote ID: reported speed"),
              std::string::npos);
    EXPECT_EQ(hits.front().confidence, 70) << "a verdict that does not rest on Remote ID stays";

    OVK_FACTS facts;
    ovk_ridcheck_facts(t, facts);
    ASSERT_EQ(facts.size(), 2u);
    EXPECT_EQ(facts[1].key, "Possible spoofed Remote ID");
    EXPECT_NE(facts[1].value.find("Basic ID changed"), std::string::npos);

    // A clean track changes nothing.
    OVK_HITS clean = ovk_signature_classify(a.get());
    const OVK_HITS before = clean;
    ovk_ridcheck_lower(clean, OVK_RID_TRACK{});
    ASSERT_EQ(clean.size(), before.size());
    EXPECT_EQ(clean.front().confidence, before.front().confidence);
}

}  // namespace
