// SPDX-License-Identifier: GPL-3.0-or-later
// The cell analyzer: each sign of a fake base station, its limits, and the history window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovk_cell.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr int64_t MIN = 60000;

OVK_CELL cell(OVK_RAT rat, const char* mcc, const char* mnc, int area, int64_t id, bool serving) {
    OVK_CELL c;
    c.rat = rat;
    c.registered = serving ? 1 : 0;
    c.mcc = mcc;
    c.mnc = mnc;
    if (area >= 0) {
        c.has_area = 1;
        c.area = area;
    }
    if (id >= 0) {
        c.has_cell_id = 1;
        c.cell_id = id;
    }
    return c;
}

OVK_CELL_CONTEXT at(int64_t t, const char* sim = "", int roaming = 0, int stationary = -1) {
    OVK_CELL_CONTEXT ctx;
    ctx.time = t;
    ctx.sim_operator = sim;
    ctx.roaming = roaming;
    ctx.stationary = stationary;
    return ctx;
}

std::vector<std::string> kinds(const std::vector<OVK_CELL_ANOMALY>& v) {
    std::vector<std::string> out;
    for (const auto& a : v) out.push_back(a.key.substr(0, a.key.find(':')));
    return out;
}

// `n` neighbour cells on LTE.
std::vector<OVK_CELL> with_neighbours(OVK_CELL serving, int n) {
    std::vector<OVK_CELL> v{serving};
    for (int i = 0; i < n; i++) v.push_back(cell(OVK_RAT_LTE, "262", "01", 7, 900 + i, false));
    return v;
}

}  // namespace

TEST(CellRat, NamesLabelsAndGenerations) {
    EXPECT_EQ(static_cast<int>(OVK_RAT_GSM), 0);
    EXPECT_EQ(static_cast<int>(OVK_RAT_NR), 5);
    EXPECT_STREQ(ovk_rat_name(OVK_RAT_TDSCDMA), "TDSCDMA");
    EXPECT_STREQ(ovk_rat_label(OVK_RAT_CDMA), "2G/3G (CDMA)");
    EXPECT_STREQ(ovk_rat_label(OVK_RAT_WCDMA), "3G (UMTS)");
    EXPECT_EQ(ovk_rat_generation(OVK_RAT_CDMA), 2);
    EXPECT_EQ(ovk_rat_generation(OVK_RAT_TDSCDMA), 3);
    EXPECT_EQ(ovk_rat_generation(OVK_RAT_NR), 5);
    const auto bad = static_cast<OVK_RAT>(6);
    EXPECT_STREQ(ovk_rat_name(bad), "");
    EXPECT_STREQ(ovk_rat_label(static_cast<OVK_RAT>(-1)), "");
    EXPECT_EQ(ovk_rat_generation(bad), 0);
}

TEST(CellKey, UnknownPartsPrintAsQuestionMarks) {
    EXPECT_EQ(ovk_cell_key(cell(OVK_RAT_LTE, "262", "01", 4711, 123456789012, true)),
              "LTE 262-01 4711/123456789012");
    EXPECT_EQ(ovk_cell_key(cell(OVK_RAT_GSM, "", "", -1, -1, true)), "GSM ?-? ?/?");
    OVK_CELL odd = cell(static_cast<OVK_RAT>(42), "1", "", 0, 0, true);
    EXPECT_EQ(ovk_cell_key(odd), " 1-? 0/0");
}

TEST(CellAnalyze, TestNetworkCode) {
    auto an = ovk_cell_analyzer_new();
    ASSERT_TRUE(an);
    OVK_CELL s = cell(OVK_RAT_GSM, "001", "", 1, 2, true);
    auto out = ovk_cell_analyze(*an, std::span(&s, 1), at(T0), 16);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, "test-plmn:GSM 001-? 1/2");
    EXPECT_EQ(out[0].title, "Test network code on your cell");
    EXPECT_EQ(out[0].confidence, 85);
    EXPECT_EQ(out[0].detail,
              "Your phone is connected to 2G (GSM) network 001-null. MCC 001 is reserved for test "
              "networks "
              "and lab equipment - real operators never use it, but some IMSI catchers do.");
    EXPECT_EQ(an->hist.size(), 1u);

    // No room for anomalies: nothing returned, yet the report is remembered.
    out = ovk_cell_analyze(*an, std::span(&s, 1), at(T0 + 1000), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(an->hist.size(), 2u);
    // A test MCC with a SIM from elsewhere is a test network, not a foreign one.
    out = ovk_cell_analyze(*an, std::span(&s, 1), at(T0 + 2000, "26201"), 16);
    EXPECT_EQ(kinds(out), std::vector<std::string>{"test-plmn"});
}

TEST(CellAnalyze, ForeignCountryCodeRespectsSharedCountriesAndRoaming) {
    auto an = ovk_cell_analyzer_new();
    OVK_CELL us2 = cell(OVK_RAT_LTE, "311", "480", 1, 1, true);
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&us2, 1), at(T0, "310260"), 16).empty());
    OVK_CELL ca = cell(OVK_RAT_LTE, "302", "720", 1, 1, true);
    auto out = ovk_cell_analyze(*an, std::span(&ca, 1), at(T0 + 1000, "310260"), 16);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, "foreign:LTE 302-720 1/1");
    EXPECT_EQ(out[0].confidence, 55);
    EXPECT_EQ(out[0].detail,
              "Your cell announces country code 302, but your SIM is from 310 and the phone "
              "doesn't report "
              "roaming. Near a border this can be normal.");
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&ca, 1), at(T0 + 2000, "310260", 1), 16).empty());
    // Unknown SIM or unknown cell country: nothing to compare.
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&ca, 1), at(T0 + 3000, ""), 16).empty());
    OVK_CELL nomcc = cell(OVK_RAT_LTE, "", "", 1, 1, true);
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&nomcc, 1), at(T0 + 4000, "310260"), 16).empty());
    // India's two codes are one country, in both directions; 312 shares with 310 only one way.
    OVK_CELL in = cell(OVK_RAT_LTE, "405", "01", 1, 1, true);
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&in, 1), at(T0 + 5000, "40410"), 16).empty());
    OVK_CELL c312 = cell(OVK_RAT_LTE, "312", "01", 1, 1, true);
    EXPECT_EQ(kinds(ovk_cell_analyze(*an, std::span(&c312, 1), at(T0 + 6000, "31301"), 16)),
              std::vector<std::string>{"foreign"});
}

TEST(CellAnalyze, DowngradeToTwoGWithinTheWindow) {
    auto an = ovk_cell_analyzer_new();
    OVK_CELL lte = cell(OVK_RAT_LTE, "262", "01", 100, 5, true);
    ovk_cell_analyze(*an, std::span(&lte, 1), at(T0), 16);
    std::vector<OVK_CELL> now{cell(OVK_RAT_GSM, "262", "01", 100, 6, true),
                              cell(OVK_RAT_LTE, "262", "01", 100, 7, false)};
    auto out = ovk_cell_analyze(*an, now, at(T0 + 5 * MIN), 16);
    ASSERT_EQ(kinds(out), std::vector<std::string>{"downgrade"});
    EXPECT_EQ(out[0].confidence, 65);
    EXPECT_EQ(out[0].key, "downgrade:GSM 262-01 100/6");
    EXPECT_EQ(
        out[0].detail,
        "Your phone moved from 4G/5G to 2G (GSM) although 4G/5G cells are still in range. IMSI "
        "catchers force phones onto 2G, which has no network authentication. Weak coverage can "
        "also "
        "cause this.");

    // Without a 4G/5G neighbour the suffix goes and the confidence drops.
    auto an2 = ovk_cell_analyzer_new();
    ovk_cell_analyze(*an2, std::span(&lte, 1), at(T0), 16);
    OVK_CELL cdma = cell(OVK_RAT_CDMA, "262", "01", 100, 6, true);
    out = ovk_cell_analyze(*an2, std::span(&cdma, 1), at(T0 + MIN), 16);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].confidence, 40);
    EXPECT_NE(out[0].detail.find("to 2G/3G (CDMA). IMSI"), std::string::npos);

    // 4G eleven minutes ago is outside the window.
    auto an3 = ovk_cell_analyzer_new();
    ovk_cell_analyze(*an3, std::span(&lte, 1), at(T0), 16);
    EXPECT_TRUE(ovk_cell_analyze(*an3, now, at(T0 + 11 * MIN), 16).empty());
    // 3G after 4G is no downgrade to 2G.
    auto an4 = ovk_cell_analyzer_new();
    ovk_cell_analyze(*an4, std::span(&lte, 1), at(T0), 16);
    OVK_CELL umts = cell(OVK_RAT_WCDMA, "262", "01", 100, 6, true);
    EXPECT_TRUE(ovk_cell_analyze(*an4, std::span(&umts, 1), at(T0 + MIN), 16).empty());
}

TEST(CellAnalyze, AreaChangeOnlyWhileStationary) {
    OVK_CELL a100 = cell(OVK_RAT_LTE, "262", "01", 100, 5, true);
    OVK_CELL a200 = cell(OVK_RAT_LTE, "262", "01", 200, 5, true);
    for (int stationary : {1, 0, -1}) {
        auto an = ovk_cell_analyzer_new();
        ovk_cell_analyze(*an, std::span(&a100, 1), at(T0, "", 0, stationary), 16);
        auto out =
            ovk_cell_analyze(*an, std::span(&a200, 1), at(T0 + 30000, "", 0, stationary), 16);
        if (stationary == 1) {
            ASSERT_EQ(kinds(out), std::vector<std::string>{"area"});
            EXPECT_EQ(out[0].confidence, 40);
            EXPECT_NE(out[0].detail.find("changed from 100 to 200 while GPS"), std::string::npos);
        } else {
            EXPECT_TRUE(out.empty()) << stationary;
        }
    }
    // Another network or another RAT is not an area change.
    auto an = ovk_cell_analyzer_new();
    OVK_CELL other = cell(OVK_RAT_LTE, "262", "02", 200, 5, true);
    other.mcc = "263";
    ovk_cell_analyze(*an, std::span(&a100, 1), at(T0, "", 0, 1), 16);
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&other, 1), at(T0 + 1000, "", 0, 1), 16).empty());
    OVK_CELL nr = cell(OVK_RAT_NR, "262", "01", 300, 5, true);
    EXPECT_TRUE(ovk_cell_analyze(*an, std::span(&nr, 1), at(T0 + 2000, "", 0, 1), 16).empty());
}

TEST(CellAnalyze, IsolatedCellAfterSwitch) {
    OVK_CELL home = cell(OVK_RAT_LTE, "262", "01", 100, 5, true);
    OVK_CELL fake = cell(OVK_RAT_LTE, "262", "01", 100, 6, true);
    auto an = ovk_cell_analyzer_new();
    for (int i = 0; i < 3; i++)
        ovk_cell_analyze(*an, with_neighbours(home, 3), at(T0 + i * 1000), 16);
    auto out = ovk_cell_analyze(*an, std::span(&fake, 1), at(T0 + 3000), 16);
    ASSERT_EQ(kinds(out), std::vector<std::string>{"isolated"});
    EXPECT_EQ(out[0].confidence, 35);
    EXPECT_EQ(out[0].key, "isolated:LTE 262-01 100/6");

    // The same cell losing its neighbours is not a switch.
    auto same = ovk_cell_analyzer_new();
    for (int i = 0; i < 3; i++)
        ovk_cell_analyze(*same, with_neighbours(home, 3), at(T0 + i * 1000), 16);
    EXPECT_TRUE(ovk_cell_analyze(*same, std::span(&home, 1), at(T0 + 3000), 16).empty());
    // One earlier report is not enough history.
    auto once = ovk_cell_analyzer_new();
    ovk_cell_analyze(*once, with_neighbours(home, 3), at(T0), 16);
    EXPECT_TRUE(ovk_cell_analyze(*once, std::span(&fake, 1), at(T0 + 1000), 16).empty());
    // Only the last four reports count: a sparse one among them stops it, an older one does not.
    auto sparse = ovk_cell_analyzer_new();
    ovk_cell_analyze(*sparse, with_neighbours(home, 1), at(T0), 16);
    for (int i = 1; i <= 4; i++)
        ovk_cell_analyze(*sparse, with_neighbours(home, 2), at(T0 + i * 1000), 16);
    EXPECT_EQ(kinds(ovk_cell_analyze(*sparse, std::span(&fake, 1), at(T0 + 6000), 16)),
              std::vector<std::string>{"isolated"});
    auto sparse2 = ovk_cell_analyzer_new();
    for (int i = 0; i < 3; i++)
        ovk_cell_analyze(*sparse2, with_neighbours(home, 3), at(T0 + i * 1000), 16);
    ovk_cell_analyze(*sparse2, with_neighbours(home, 1), at(T0 + 3000), 16);
    EXPECT_TRUE(ovk_cell_analyze(*sparse2, std::span(&fake, 1), at(T0 + 4000), 16).empty());
}

TEST(CellAnalyze, SeveralAnomaliesInOrderAndMaxLimits) {
    auto an = ovk_cell_analyzer_new();
    OVK_CELL lte = cell(OVK_RAT_LTE, "262", "01", 100, 5, true);
    for (int i = 0; i < 3; i++)
        ovk_cell_analyze(*an, with_neighbours(lte, 3), at(T0 + i * 1000), 16);
    // A 2G test-network cell, no neighbours, standing still: test-plmn, downgrade, isolated.
    OVK_CELL bad = cell(OVK_RAT_GSM, "001", "01", 100, 9, true);
    auto copy = *an;
    auto out = ovk_cell_analyze(*an, std::span(&bad, 1), at(T0 + 3000, "26201", 0, 1), 16);
    EXPECT_EQ(kinds(out), (std::vector<std::string>{"test-plmn", "downgrade", "isolated"}));
    EXPECT_EQ(out[1].confidence, 40);
    auto limited = ovk_cell_analyze(copy, std::span(&bad, 1), at(T0 + 3000, "26201", 0, 1), 2);
    EXPECT_EQ(kinds(limited), (std::vector<std::string>{"test-plmn", "downgrade"}));
}

TEST(CellAnalyze, ReportWithoutServingCellIsRecordedOnly) {
    auto an = ovk_cell_analyzer_new();
    std::vector<OVK_CELL> only_neighbours{cell(OVK_RAT_GSM, "001", "01", 1, 1, false),
                                          cell(OVK_RAT_GSM, "001", "01", 1, 2, false)};
    EXPECT_TRUE(ovk_cell_analyze(*an, only_neighbours, at(T0, "26201", 0, 1), 16).empty());
    ASSERT_EQ(an->hist.size(), 1u);
    EXPECT_EQ(an->hist[0].has_registered, 0);
    EXPECT_EQ(an->hist[0].neighbours, 2);
    EXPECT_EQ(an->hist[0].stationary, 1);
    // The first registered cell serves; a second registered one is neither serving nor neighbour.
    std::vector<OVK_CELL> two{cell(OVK_RAT_LTE, "262", "01", 1, 1, true),
                              cell(OVK_RAT_GSM, "001", "01", 1, 2, true)};
    EXPECT_TRUE(ovk_cell_analyze(*an, two, at(T0 + 1000), 16).empty());
    EXPECT_EQ(an->hist.back().registered.cell_id, 1);
    EXPECT_EQ(an->hist.back().neighbours, 0);
}

TEST(CellAnalyze, HistoryKeepsAtMost120EntriesWithinTenMinutes) {
    auto an = ovk_cell_analyzer_new();
    OVK_CELL s = cell(OVK_RAT_LTE, "262", "01", 1, 1, true);
    for (int i = 0; i < 120; i++) ovk_cell_analyze(*an, std::span(&s, 1), at(T0 + i * 1000), 16);
    ASSERT_EQ(an->hist.size(), 120u);
    EXPECT_EQ(an->hist.front().time, T0);
    ovk_cell_analyze(*an, std::span(&s, 1), at(T0 + 120000), 16);
    ASSERT_EQ(an->hist.size(), 120u);
    EXPECT_EQ(an->hist.front().time, T0 + 1000);
    // Entries older than ten minutes go as soon as a newer report arrives.
    ovk_cell_analyze(*an, std::span(&s, 1), at(T0 + 120000 + 10 * MIN), 16);
    ASSERT_EQ(an->hist.size(), 2u);
    EXPECT_EQ(an->hist.front().time, T0 + 120000);
}
