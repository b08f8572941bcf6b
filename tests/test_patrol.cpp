// SPDX-License-Identifier: GPL-3.0-or-later
// Patrol-kit roles, signal-motion comparison, grouping and the co-location verdict.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "ovk_patrol.h"
#include "patrol_model.h"

namespace {

constexpr int64_t T0 = 1700000000000;  // an arbitrary wall-clock instant, ms

OVK_HIT hit(OVK_CATEGORY c, const char* label, int conf = 40, const char* src = "catalogue") {
    return ovk_hit_make(c, label, conf, src, "because");
}

// One sample per second from `start` (ms), with the given levels.
std::vector<OVK_RSSI_SAMPLE> series(int64_t start, const std::vector<int>& levels) {
    std::vector<OVK_RSSI_SAMPLE> s;
    for (size_t i = 0; i < levels.size(); i++)
        s.push_back({start + static_cast<int64_t>(i) * 1000, levels[i]});
    return s;
}

std::vector<int> flat(int n, int base) {
    std::vector<int> v;
    for (int i = 0; i < n; i++) v.push_back(base + (i % 3) - 1);  // within +-1 dB
    return v;
}

OVK_PATROL_MEMBER member(const char* mac, const char* role, int64_t first, int64_t last,
                         std::vector<OVK_RSSI_SAMPLE> s) {
    OVK_PATROL_MEMBER m;
    m.mac = mac;
    m.role = role;
    m.first_seen = first;
    m.last_seen = last;
    m.samples = std::move(s);
    return m;
}

// Two series of n seconds, ending at `now`, whose Pearson correlation is close to `r`:
// y = r*x + sqrt(1-r^2)*z with x and z orthogonal, zero-mean and of equal norm.
void correlated(int n, double r, int64_t now, std::vector<OVK_RSSI_SAMPLE>& a,
                std::vector<OVK_RSSI_SAMPLE>& b) {
    a.clear();
    b.clear();
    for (int i = 0; i < n; i++) {
        double x = (i % 2 == 0) ? 10 : -10;        // alternating
        double z = ((i / 2) % 2 == 0) ? 10 : -10;  // period four: orthogonal to x
        double y = r * x + std::sqrt(1 - r * r) * z;
        int64_t t = now - static_cast<int64_t>(n - 1 - i) * 1000;
        a.push_back({t, static_cast<int>(std::lround(-60 + x))});
        b.push_back({t, static_cast<int>(std::lround(-70 + y))});
    }
}

}  // namespace

TEST(PatrolRole, VerdictsComeBeforeVendorAndName) {
    OVK_HITS h{hit(OVK_CAT_ALPR, "Flock"), hit(OVK_CAT_BODY_CAM, "Axon Body 3")};
    EXPECT_EQ(ovk_patrol_role(h, "Motorola Solutions", "RJ-4030"), "body camera");
    h.erase(h.begin() + 1);
    EXPECT_EQ(ovk_patrol_role(h, "Motorola Solutions", "RJ-4030"), "plate reader");
}

TEST(PatrolRole, VendorRulesInOrderIgnoringCase) {
    OVK_HITS none;
    EXPECT_EQ(ovk_patrol_role(none, "MOTOROLA SOLUTIONS, INC.", ""), "two-way radio");
    EXPECT_EQ(ovk_patrol_role(none, "L3Harris Technologies", ""), "two-way radio");
    EXPECT_EQ(ovk_patrol_role(none, "Sierra Wireless", ""), "vehicle cellular router");
    EXPECT_EQ(ovk_patrol_role(none, "Zebra Technologies", ""), "mobile printer");
    EXPECT_EQ(ovk_patrol_role(none, "Getac Technology", ""), "rugged laptop / body cam");
    EXPECT_EQ(ovk_patrol_role(none, "Utility, Inc", ""), "police camera");
    EXPECT_EQ(ovk_patrol_role(none, "Utility Inc", ""), "police camera");
    EXPECT_EQ(ovk_patrol_role(none, "Stalker Radar", ""), "police radar");
    // "axon" comes before "motorola solutions" in the table.
    EXPECT_EQ(ovk_patrol_role(none, "Motorola Solutions / Axon", ""), "Axon / TASER gear");
    EXPECT_EQ(ovk_patrol_role(none, "Apple, Inc.", ""), std::nullopt);
}

TEST(PatrolRole, PublicSafetyLabelsOnlyAfterVendor) {
    OVK_HITS h{hit(OVK_CAT_DRONE, "Cradlepoint drone"), hit(OVK_CAT_PUBLIC_SAFETY, "Unknown gear"),
               hit(OVK_CAT_PUBLIC_SAFETY, "Cradlepoint IBR900")};
    EXPECT_EQ(ovk_patrol_role(h, "", ""), "vehicle cellular router");
    EXPECT_EQ(ovk_patrol_role(h, "Genetec", ""), "plate reader");
    // A label of another category says nothing.
    OVK_HITS d{hit(OVK_CAT_DRONE, "Cradlepoint drone")};
    EXPECT_EQ(ovk_patrol_role(d, "", ""), std::nullopt);
}

TEST(PatrolRole, NamesAreAnchoredAtTheStart) {
    OVK_HITS none;
    EXPECT_EQ(ovk_patrol_role(none, "", "RJ-4230B"), "mobile printer");
    EXPECT_EQ(ovk_patrol_role(none, "", "pj-763mfb"), "mobile printer");
    EXPECT_EQ(ovk_patrol_role(none, "", "BC-04 unit"), "rugged laptop / body cam");
    EXPECT_EQ(ovk_patrol_role(none, "", "HS-01"), "rugged laptop / body cam");
    EXPECT_EQ(ovk_patrol_role(none, "", "PJ-6"), std::nullopt);
    EXPECT_EQ(ovk_patrol_role(none, "", "BC-1"), std::nullopt);
    EXPECT_EQ(ovk_patrol_role(none, "", "my RJ-4"), std::nullopt);
}

TEST(PatrolRole, OwnVerdictsNeverMakeARole) {
    OVK_HITS h{hit(OVK_CAT_BODY_CAM, "Body cam in a possible police vehicle", 58,
                   std::string(OVK_PATROL_SOURCE).c_str()),
               hit(OVK_CAT_PUBLIC_SAFETY, "Motorola Solutions", 58,
                   std::string(OVK_PATROL_SOURCE).c_str())};
    EXPECT_EQ(ovk_patrol_role(h, "", ""), std::nullopt);
}

TEST(PatrolMotion, ShortFlatAndMovingHistories) {
    int64_t now = T0;
    double r = 5;
    EXPECT_EQ(ovk_patrol_motion({}, {}, now, &r), OVK_MOTION_TOO_SHORT);
    EXPECT_EQ(r, 0);

    auto fa = series(now - 9000, flat(10, -60));
    auto fb = series(now - 9000, flat(10, -80));
    EXPECT_EQ(ovk_patrol_motion(fa, fb, now, &r), OVK_MOTION_BOTH_FLAT);
    EXPECT_EQ(r, 0);

    std::vector<OVK_RSSI_SAMPLE> a, b;
    correlated(12, 0.8, now, a, b);
    // fb covers the last 10 s and a the last 12 s, so 10 seconds pair up; a varies, fb not.
    EXPECT_EQ(ovk_patrol_motion(a, fb, now, &r), OVK_MOTION_ONE_FLAT);
    EXPECT_EQ(ovk_patrol_motion(fb, a, now, &r), OVK_MOTION_ONE_FLAT);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ovk_patrol_motion(a, b, now, &r), OVK_MOTION_MOVING);
    EXPECT_NEAR(r, 0.8, 0.03);
    EXPECT_EQ(ovk_patrol_motion(a, b, now, nullptr), OVK_MOTION_MOVING);
}

TEST(PatrolMotion, SevenSharedSecondsAreTooShortEightAreEnough) {
    int64_t now = T0;
    std::vector<OVK_RSSI_SAMPLE> a, b;
    correlated(8, 0.9, now, a, b);
    double r = 0;
    EXPECT_EQ(ovk_patrol_motion(a, b, now, &r), OVK_MOTION_MOVING);
    b.erase(b.begin());
    EXPECT_EQ(ovk_patrol_motion(a, b, now, &r), OVK_MOTION_TOO_SHORT);
}

TEST(PatrolMotion, OnlyTheLastTwoMinutesOneValuePerSecond) {
    int64_t now = T0;
    std::vector<OVK_RSSI_SAMPLE> a, b;
    correlated(8, 0.9, now, a, b);
    // Older than 120 s: ignored, so these cannot add pairs.
    std::vector<OVK_RSSI_SAMPLE> a2, b2;
    for (int i = 0; i < 20; i++) {
        a2.push_back({now - 121000 - i * 1000, -50 - 3 * (i % 4)});
        b2.push_back({now - 121000 - i * 1000, -50 - 3 * (i % 4)});
    }
    a2.insert(a2.end(), a.begin() + 1, a.end());
    b2.insert(b2.end(), b.begin() + 1, b.end());
    EXPECT_EQ(ovk_patrol_motion(a2, b2, now, nullptr), OVK_MOTION_TOO_SHORT);

    // A later sample in the same second replaces the bucket's value: the flat tail of `b`
    // overrides the varying first samples of each second.
    std::vector<OVK_RSSI_SAMPLE> b3 = b;
    for (const OVK_RSSI_SAMPLE& s : b) b3.push_back({s.time + 500, -70});
    EXPECT_EQ(ovk_patrol_motion(a, b3, now, nullptr), OVK_MOTION_ONE_FLAT);
    // A sample exactly 120 s old still counts.
    std::vector<OVK_RSSI_SAMPLE> a4, b4;
    correlated(8, 0.9, now - 113000, a4, b4);
    EXPECT_EQ(a4.front().time, now - 120000);
    EXPECT_EQ(ovk_patrol_motion(a4, b4, now, nullptr), OVK_MOTION_MOVING);
    EXPECT_EQ(ovk_patrol_motion(a4, b4, now + 1, nullptr), OVK_MOTION_TOO_SHORT);
}

TEST(PatrolGroups, SteadyDevicesThatArrivedTogether) {
    int64_t now = T0;
    auto s1 = series(now - 19000, flat(20, -60));
    auto s2 = series(now - 19000, flat(20, -75));
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 60000, now, s1),
        member("AA:00:00:00:00:02", "mobile printer", now - 40000, now, s2)};
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].members, (std::vector<int>{0, 1}));
    EXPECT_EQ(g[0].n_roles, 2);
    EXPECT_EQ(g[0].correlated, 0);
    EXPECT_EQ(ovk_patrol_group_confidence(g[0]), 48);

    auto h = ovk_patrol_hit_for("AA:00:00:00:00:02", m, g);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->category, OVK_CAT_PUBLIC_SAFETY);
    EXPECT_EQ(h->confidence, 48);
    EXPECT_EQ(h->label, "Mobile printer in a possible police vehicle (2 kinds of gear together)");
    EXPECT_EQ(h->evidence,
              "Heard together with two-way radio AA:00:00:00:00:01 - they arrived within 30 s "
              "of each other");
    EXPECT_EQ(h->source, OVK_PATROL_SOURCE);
    EXPECT_FALSE(ovk_patrol_hit_for("AA:00:00:00:00:03", m, g));

    // 30 s apart still joins, 40 s apart does not.
    m[1].first_seen = now - 30000;
    EXPECT_EQ(ovk_patrol_groups(m, now).size(), 1u);
    m[1].first_seen = now - 20000;
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());
}

TEST(PatrolGroups, SameRoleOrSilentOrStaleMembersNeverJoin) {
    int64_t now = T0;
    auto s1 = series(now - 19000, flat(20, -60));
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 30000, now, s1),
        member("AA:00:00:00:00:02", "two-way radio", now - 30000, now, s1)};
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());
    std::vector<OVK_RSSI_SAMPLE> a, b;
    correlated(30, 0.99, now, a, b);
    m[0].samples = a;
    m[1].samples = b;
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());

    m[1].role = "mobile printer";
    EXPECT_EQ(ovk_patrol_groups(m, now).size(), 1u);
    // Heard 60 s ago is still live; 60.001 s ago is not.
    m[1].last_seen = now - 60000;
    EXPECT_EQ(ovk_patrol_groups(m, now).size(), 1u);
    m[1].last_seen = now - 60001;
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());
    m[1].last_seen = now;
    m[1].samples.clear();
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());
    EXPECT_TRUE(ovk_patrol_groups({}, now).empty());
}

TEST(PatrolGroups, MovingTogetherNeedsEightSecondsAndRAtLeastPointSix) {
    int64_t now = T0;
    std::vector<OVK_RSSI_SAMPLE> a, b;
    // Rounded to whole dBm these two series correlate with r = 0.6 exactly.
    correlated(8, 0.62, now, a, b);
    double r = 0;
    ASSERT_EQ(ovk_patrol_motion(a, b, now, &r), OVK_MOTION_MOVING);
    ASSERT_DOUBLE_EQ(r, 0.6);
    // Arrival times far apart do not matter for moving devices.
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 600000, now, a),
        member("AA:00:00:00:00:02", "vehicle cellular router", now - 1000, now, b)};
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].correlated, 1);
    EXPECT_EQ(ovk_patrol_group_confidence(g[0]), 58);
    auto h = ovk_patrol_hit_for("AA:00:00:00:00:01", m, g);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->evidence,
              "Heard together with vehicle cellular router AA:00:00:00:00:02 - their signals "
              "rise and fall together (same vehicle)");

    m[1].samples.erase(m[1].samples.begin());  // 7 shared seconds
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());

    correlated(8, 0.55, now, a, b);
    ASSERT_EQ(ovk_patrol_motion(a, b, now, &r), OVK_MOTION_MOVING);
    ASSERT_LT(r, 0.6);
    m[0].samples = a;
    m[1].samples = b;
    EXPECT_TRUE(ovk_patrol_groups(m, now).empty());
}

TEST(PatrolGroups, ThreeMembersTwoKindsThroughATransitiveJoin) {
    int64_t now = T0;
    auto s = series(now - 19000, flat(20, -60));
    // Radio 1 and radio 3 cannot join each other, but both join the printer.
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 50000, now, s),
        member("AA:00:00:00:00:09", "unrelated", now - 500000, now - 70000, s),
        member("AA:00:00:00:00:02", "mobile printer", now - 40000, now, s),
        member("AA:00:00:00:00:03", "two-way radio", now - 30000, now, s)};
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].members, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(g[0].n_roles, 2);
    auto h = ovk_patrol_hit_for("AA:00:00:00:00:01", m, g);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->label, "Two-way radio in a possible police vehicle (2 kinds of gear together)");
    EXPECT_EQ(h->evidence,
              "Heard together with mobile printer AA:00:00:00:00:02, two-way radio "
              "AA:00:00:00:00:03 - they arrived within 30 s of each other");
    EXPECT_EQ(h->confidence, 48);
    EXPECT_FALSE(ovk_patrol_hit_for("AA:00:00:00:00:09", m, g));
}

TEST(PatrolGroups, SeparateVehiclesAreSeparateGroupsInFirstMemberOrder) {
    int64_t now = T0;
    auto s = series(now - 19000, flat(20, -60));
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 200000, now, s),
        member("AA:00:00:00:00:02", "two-way radio", now - 20000, now, s),
        member("AA:00:00:00:00:03", "mobile printer", now - 190000, now, s),
        member("AA:00:00:00:00:04", "police radar", now - 10000, now, s)};
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0].members, (std::vector<int>{0, 2}));
    EXPECT_EQ(g[1].members, (std::vector<int>{1, 3}));
}

TEST(PatrolGroups, ConfidenceGrowsWithKindsUpTo88) {
    OVK_PATROL_GROUP g;
    g.n_roles = 2;
    EXPECT_EQ(ovk_patrol_group_confidence(g), 48);
    g.correlated = 1;
    EXPECT_EQ(ovk_patrol_group_confidence(g), 58);
    g.n_roles = 4;
    EXPECT_EQ(ovk_patrol_group_confidence(g), 82);
    g.n_roles = 5;
    EXPECT_EQ(ovk_patrol_group_confidence(g), 88);
    g.correlated = 0;
    EXPECT_EQ(ovk_patrol_group_confidence(g), 84);
    g.n_roles = 6;
    EXPECT_EQ(ovk_patrol_group_confidence(g), 88);
}

TEST(PatrolGroups, LongEvidenceIsCut) {
    int64_t now = T0;
    auto s = series(now - 19000, flat(20, -60));
    std::vector<OVK_PATROL_MEMBER> m;
    for (int i = 0; i < 60; i++) {
        char mac[18];
        snprintf(mac, sizeof mac, "AA:00:00:00:00:%02X", i);
        m.push_back(member(mac, i % 2 ? "two-way radio" : "mobile printer", now - 30000, now, s));
    }
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].members.size(), 60u);
    auto h = ovk_patrol_hit_for("AA:00:00:00:00:00", m, g);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->evidence.size(), OVK_EVIDENCE_MAX);
    EXPECT_EQ(h->evidence.rfind("Heard together with two-way radio AA:00:00:00:00:01, ", 0), 0u);
}

TEST(PatrolGroups, ACrowdOfOneOffAddressesDoesNotHideAVehicle) {
    int64_t now = T0;
    auto s = series(now - 19000, flat(20, -60));
    std::vector<OVK_PATROL_MEMBER> m;
    for (int i = 0; i < 3000; i++) {
        char mac[18];
        snprintf(mac, sizeof mac, "4E:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
        // A crowd of short-lived addresses with roles, each heard a few times.
        m.push_back(member(mac, i % 2 ? "mobile printer" : "rugged laptop / body cam", now - 1000,
                           now, series(now - 7000, flat(i % 8, -70))));
        if (i == 1000)
            m.push_back(member("AA:00:00:00:00:01", "two-way radio", now - 30000, now, s));
        if (i == 2000)
            m.push_back(member("AA:00:00:00:00:02", "police radar", now - 25000, now, s));
    }
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].members, (std::vector<int>{1001, 2002}));
    auto h = ovk_patrol_hit_for("AA:00:00:00:00:02", m, g);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->evidence,
              "Heard together with two-way radio AA:00:00:00:00:01 - they arrived within 30 s "
              "of each other");
}

// ---- the grouping against a plain model of the rules -------------------------------------
//
// The grouping skips work (dense second tables, span checks, pairs already in one correlated
// set). The model in patrol_model.h follows the rules literally, pair by pair, so that any
// shortcut that changes an answer shows up on random fleets.

namespace model = ovk_test::patrol_model;

namespace {

// A random fleet around `now`: vehicles whose members share one signal shape (some steady,
// some swinging), lone devices, stale ones, one-off addresses, and now and then a history
// out of order, with repeated seconds or reaching hours ahead (the sparse-second path).
std::vector<OVK_PATROL_MEMBER> fleet(std::mt19937& rng, int64_t now) {
    const char* const roles[] = {"two-way radio", "mobile printer", "vehicle cellular router",
                                 "police radar", "body camera"};
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<OVK_PATROL_MEMBER> m;
    const int vehicles = 1 + pick(5);
    for (int v = 0; v < vehicles; v++) {
        const bool steady = pick(3) == 0;
        const int64_t arrival = now - 200000 + pick(150) * 1000;
        const int len = 4 + pick(120);
        const int phase = pick(50);
        const int size = 2 + pick(4);
        for (int j = 0; j < size; j++) {
            OVK_PATROL_MEMBER x;
            x.mac = "4E:" + std::to_string(v) + ":" + std::to_string(j) + ":" +
                    std::to_string(m.size());
            x.role = roles[pick(5)];
            x.first_seen = arrival + pick(40) * 1000;
            x.last_seen = now - (pick(8) == 0 ? 61000 + pick(30000) : pick(5000));
            const int noise = pick(4) == 0 ? 12 : 1;
            const int skip = pick(3);  // drop every n-th second for some members
            for (int s = 0; s < len; s++) {
                if (skip && s % (skip + 2) == 0) continue;
                double shape = steady ? (s % 3) - 1 : 15 * std::sin((s + phase) * 0.35);
                int lvl = -60 - 5 * j + static_cast<int>(std::lround(shape)) +
                          (noise > 1 ? pick(noise) - noise / 2 : 0);
                x.samples.push_back(
                    {x.last_seen - static_cast<int64_t>(len - 1 - s) * 1000 + pick(3) * 300, lvl});
            }
            if (pick(10) == 0) std::shuffle(x.samples.begin(), x.samples.end(), rng);
            if (pick(10) == 0 && !x.samples.empty()) x.samples.push_back(x.samples.front());
            // A sample stamped hours ahead (a clock jump) stays in the window and spreads
            // the seconds too far apart for a dense table.
            if (pick(12) == 0) x.samples.push_back({now + 3600000LL * (1 + pick(5)), -50});
            if (pick(15) == 0) x.samples.clear();
            m.push_back(std::move(x));
        }
    }
    const int singles = pick(30);
    for (int i = 0; i < singles; i++) {
        OVK_PATROL_MEMBER x;
        x.mac = "4F:00:" + std::to_string(i);
        x.role = roles[pick(5)];
        x.first_seen = x.last_seen = now - pick(90000);
        for (int s = 0; s < pick(12); s++)
            x.samples.push_back({x.last_seen - s * 1000LL, -80 + pick(3)});
        std::reverse(x.samples.begin(), x.samples.end());
        m.push_back(std::move(x));
    }
    std::shuffle(m.begin(), m.end(), rng);
    return m;
}

}  // namespace

TEST(PatrolGroups, RandomFleetsGroupAsThePlainRulesSay) {
    std::mt19937 rng(20261208);
    int grouped = 0, correlated = 0, several = 0;
    for (int round = 0; round < 300; round++) {
        const int64_t now = T0 + round * 7919;
        const auto m = fleet(rng, now);
        const auto want = model::groups(m, now);
        const auto got = ovk_patrol_groups(m, now);
        ASSERT_EQ(got.size(), want.size()) << "round " << round;
        for (size_t g = 0; g < got.size(); g++) {
            EXPECT_EQ(got[g].members, want[g].members) << "round " << round << " group " << g;
            EXPECT_EQ(got[g].n_roles, want[g].n_roles) << "round " << round;
            EXPECT_EQ(got[g].correlated, want[g].correlated) << "round " << round;
            correlated += want[g].correlated;
        }
        for (const auto& x : m) {
            auto a = ovk_patrol_hit_for(x.mac, m, got), b = ovk_patrol_hit_for(x.mac, m, want);
            ASSERT_EQ(a.has_value(), b.has_value());
            if (a) {
                EXPECT_EQ(a->evidence, b->evidence);
            }
        }
        grouped += !want.empty();
        several += want.size() > 1;
        // Pairwise answers too, including the sparse (hash) path and shuffled histories.
        for (size_t i = 0; i + 1 < m.size() && i < 12; i++) {
            double r1 = 0, r2 = 0;
            EXPECT_EQ(ovk_patrol_motion(m[i].samples, m[i + 1].samples, now, &r1),
                      model::motion(m[i].samples, m[i + 1].samples, now, r2));
            EXPECT_EQ(r1, r2);
        }
    }
    // The fleets must exercise every outcome, or the comparison proves little.
    EXPECT_GT(grouped, 100);
    EXPECT_GT(correlated, 50);
    EXPECT_GT(several, 20);
}

// A steady radio joins a printer and a router that are both steady while it is heard; later
// the printer and router swing together. They are in one group already, but that group is
// only correlated because they are still compared with each other.
TEST(PatrolGroups, MovementBetweenMembersAlreadyGroupedMarksTheGroup) {
    const int64_t now = T0;
    std::vector<int> steady = flat(20, -60), swing;
    for (int i = 0; i < 20; i++) swing.push_back(-60 + ((i % 4) < 2 ? 8 : -8));
    std::vector<int> both = steady;
    both.insert(both.end(), swing.begin(), swing.end());
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 40000, now - 20000,
               series(now - 39000, steady)),
        member("AA:00:00:00:00:02", "mobile printer", now - 40000, now, series(now - 39000, both)),
        member("AA:00:00:00:00:03", "vehicle cellular router", now - 35000, now,
               series(now - 39000, both)),
    };
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].members, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(g[0].correlated, 1);
    EXPECT_EQ(ovk_patrol_group_confidence(g[0]), 70);
    const auto want = model::groups(m, now);
    ASSERT_EQ(want.size(), 1u);
    EXPECT_EQ(want[0].correlated, 1);
}

// Levels that swing by exactly 2 dB either side of their mean sit on the flat limit: they
// count as moving (not below 2 dB), so two such devices in step join by correlation, and one
// of them next to a steady device is neither flat pair nor moving pair.
TEST(PatrolGroups, ADeviationOfExactlyTwoDecibelsIsMoving) {
    const int64_t now = T0;
    std::vector<int> swing, steady = flat(30, -70);
    for (int i = 0; i < 30; i++) swing.push_back(i % 2 ? -58 : -62);
    std::vector<OVK_PATROL_MEMBER> m{
        member("AA:00:00:00:00:01", "two-way radio", now - 100000, now, series(now - 29000, swing)),
        member("AA:00:00:00:00:02", "mobile printer", now - 29000, now,
               series(now - 29000, steady)),
        member("AA:00:00:00:00:03", "police radar", now - 29000, now, series(now - 29000, swing)),
    };
    double r = 0;
    EXPECT_EQ(ovk_patrol_motion(m[0].samples, m[1].samples, now, &r), OVK_MOTION_ONE_FLAT);
    EXPECT_EQ(ovk_patrol_motion(m[0].samples, m[2].samples, now, &r), OVK_MOTION_MOVING);
    auto g = ovk_patrol_groups(m, now);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].members, (std::vector<int>{0, 2}));
    EXPECT_EQ(g[0].correlated, 1);
    const auto want = model::groups(m, now);
    ASSERT_EQ(want.size(), 1u);
    EXPECT_EQ(want[0].members, g[0].members);
}
