// SPDX-License-Identifier: GPL-3.0-or-later
// Watchlist: keys, matching, presets against custom rules, the custom file and import.
#include <gtest/gtest.h>

#include <map>

#include "helpers/ovk_test_files.h"
#include "ovk_app_util.h"
#include "ovk_prefs.h"
#include "ovk_watchlist.h"

namespace {

using ovk_test::LogCapture;
using ovk_test::TempDir;

class Watchlist : public ::testing::Test {
  protected:
    void SetUp() override {
        ovk_watchlist_unload();
        ovk_set_asset_reader([this](std::string_view name) -> std::optional<std::string> {
            auto it = assets_.find(std::string(name));
            if (it == assets_.end()) return std::nullopt;
            return it->second;
        });
        presets(0, 0, 0);
    }
    void TearDown() override {
        ovk_watchlist_unload();
        ovk_set_asset_reader({});
        ovk_prefs_set(OVK_PREFS{});
    }
    void presets(int g, int ca, int us) {
        OVK_PREFS p;
        p.preset_enabled = {g, ca, us};
        ASSERT_EQ(ovk_prefs_set(p), 0);
    }
    static OVK_OUI_ENTRY rule(std::string prefix, std::string label, int score = -1,
                              int category = -1) {
        OVK_OUI_ENTRY e;
        e.prefix = std::move(prefix);
        e.label = std::move(label);
        e.score = score;
        e.category = category;
        return e;
    }
    static OVK_HITS hits(std::string_view mac, std::string_view name = {},
                         std::vector<std::string_view> vendors = {}) {
        OVK_HITS h;
        ovk_watchlist_hits(mac, name, vendors, h);
        return h;
    }
    std::map<std::string, std::string> assets_;
};

TEST(WatchlistKeys, NormalisationAndValidity) {
    EXPECT_EQ(ovk_watchlist_normalize_key("  00-25-df \t"), "00:25:DF");
    EXPECT_EQ(ovk_watchlist_normalize_key("00:25:DF"), "00:25:DF");
    EXPECT_EQ(ovk_watchlist_normalize_key("NAME:  Flock "), "name:Flock");
    EXPECT_EQ(ovk_watchlist_normalize_key(" Vendor: Axon Enterprise "), "vendor:Axon Enterprise");
    EXPECT_EQ(ovk_watchlist_normalize_key(""), "");
    EXPECT_EQ(ovk_watchlist_normalize_key("name:abcdef", 8), "name:ab");

    EXPECT_TRUE(ovk_watchlist_is_valid_key(" 00-25-df "));
    EXPECT_TRUE(ovk_watchlist_is_valid_key("00:25:DF:4"));
    EXPECT_TRUE(ovk_watchlist_is_valid_key("70:B3:D5:1A:2"));
    EXPECT_TRUE(ovk_watchlist_is_valid_key("00:25:df:4a:19:c2"));
    EXPECT_TRUE(ovk_watchlist_is_valid_key("NAME: Flock "));
    EXPECT_FALSE(ovk_watchlist_is_valid_key("name:"));
    EXPECT_FALSE(ovk_watchlist_is_valid_key("vendor:   "));
    EXPECT_FALSE(ovk_watchlist_is_valid_key("00:25:DF:4A"));  // four whole octets
    EXPECT_FALSE(ovk_watchlist_is_valid_key("0025DF"));
    EXPECT_FALSE(ovk_watchlist_is_valid_key("AA:BB:CC:DD:EE:FF:00:11"));
    EXPECT_FALSE(ovk_watchlist_is_valid_key("flock"));
    EXPECT_FALSE(ovk_watchlist_is_valid_key(""));
}

TEST(WatchlistKeys, EffectiveScoreAndCategory) {
    OVK_OUI_ENTRY e;
    EXPECT_EQ(ovk_oui_effective_score(e), 75);
    EXPECT_EQ(ovk_oui_effective_category(e), OVK_CAT_PUBLIC_SAFETY);
    e.confidence = "candidate";
    EXPECT_EQ(ovk_oui_effective_score(e), 50);
    e.confidence = "custom";
    EXPECT_TRUE(ovk_oui_is_custom(e));
    EXPECT_EQ(ovk_oui_effective_score(e), 100);
    EXPECT_EQ(ovk_oui_effective_category(e), OVK_CAT_CUSTOM);
    e.score = 0;
    e.category = OVK_CAT_ALPR;
    EXPECT_EQ(ovk_oui_effective_score(e), 0);
    EXPECT_EQ(ovk_oui_effective_category(e), OVK_CAT_ALPR);
    e.category = 11;
    EXPECT_EQ(ovk_oui_effective_category(e), OVK_CAT_CUSTOM);
}

TEST(WatchlistParse, KeepsValidRulesOnly) {
    EXPECT_FALSE(ovk_watchlist_parse("{\"prefix\":\"00:25:DF\"}"));
    EXPECT_FALSE(ovk_watchlist_parse("not json"));
    EXPECT_FALSE(ovk_watchlist_parse(""));
    auto none = ovk_watchlist_parse("[]");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    auto r = ovk_watchlist_parse(R"([
        {"prefix":" 00-25-df ","label":"Axon","category":"ALPR"},
        {"prefix":"name:"},
        {"prefix":42},
        "00:25:DF",
        {"prefix":"AA:BB:CC","confidence":"candidate","score":1e300},
        {"prefix":"NAME: Flock ","score":-7,"category":"NOPE","confidence":5},
        {"prefix":"vendor:Getac","score":66.9}
    ])");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 4u);
    EXPECT_EQ((*r)[0].prefix, "00:25:DF");
    EXPECT_EQ((*r)[0].category, OVK_CAT_ALPR);
    EXPECT_EQ((*r)[0].confidence, "confirmed");
    EXPECT_EQ(ovk_oui_effective_score((*r)[0]), 75);
    EXPECT_EQ((*r)[1].score, 100);  // out-of-range scores are held to 0..100
    EXPECT_EQ((*r)[1].confidence, "candidate");
    EXPECT_EQ((*r)[2].prefix, "name:Flock");
    EXPECT_EQ((*r)[2].score, -1);
    EXPECT_EQ((*r)[2].category, -1);
    EXPECT_EQ((*r)[2].confidence, "confirmed");
    EXPECT_EQ((*r)[3].score, 66);

    // Long texts are cut to their fields.
    auto l = ovk_watchlist_parse("[{\"prefix\":\"name:" + std::string(300, 'x') +
                                 "\",\"label\":\"" + std::string(400, 'y') + "\"}]");
    ASSERT_TRUE(l);
    ASSERT_EQ(l->size(), 1u);
    EXPECT_EQ((*l)[0].prefix.size(), OVK_OUI_PREFIX_MAX);
    EXPECT_EQ((*l)[0].label.size(), OVK_OUI_LABEL_MAX);

    // Keys whose stored form would not be a valid key are refused, and a cut never leaves
    // blanks at the end of a stored key.
    auto bad = ovk_watchlist_parse("[{\"prefix\":\"AA:BB:CC" + std::string(60, ' ') +
                                   "X\"},{\"prefix\":\"name:" + std::string(300, ' ') +
                                   "x\"},{\"prefix\":\"name:" + std::string(89, 'a') + "  b\"}]");
    ASSERT_TRUE(bad);
    ASSERT_EQ(bad->size(), 1u);
    EXPECT_EQ((*bad)[0].prefix, "name:" + std::string(89, 'a'));
}

TEST_F(Watchlist, MostSpecificAddressRuleWins) {
    ovk_watchlist_load(std::nullopt);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("00:25:DF", "block")), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("00:25:df:4a:19:c2", "exact")), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("70:B3:D5", "six")), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("70:B3:D5:1", "seven")), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("70:B3:D5:1A:2", "nine")), 0);

    OVK_HITS h = hits("00:25:DF:4A:19:C2");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].label, "exact");
    EXPECT_EQ(h[0].evidence, "Exact address 00:25:DF:4A:19:C2 is on the watchlist");
    EXPECT_EQ(h[0].source, "Your watchlist");
    EXPECT_EQ(h[0].category, OVK_CAT_CUSTOM);
    EXPECT_EQ(h[0].confidence, 100);

    h = hits("00:25:DF:00:00:01");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].label, "block");
    EXPECT_EQ(h[0].evidence, "Address is in the watchlisted block 00:25:DF");

    EXPECT_EQ(ovk_watchlist_match("70:B3:D5:1A:2F:00")->label, "nine");
    EXPECT_EQ(ovk_watchlist_match("70:B3:D5:1B:00:00")->label, "seven");
    EXPECT_EQ(ovk_watchlist_match("70:B3:D5:2B:00:00")->label, "six");
    EXPECT_EQ(ovk_watchlist_match("70-b3-d5-1a-20-00")->label, "nine");
    EXPECT_FALSE(ovk_watchlist_match("00:25:DE:00:00:01"));
    EXPECT_FALSE(ovk_watchlist_match(""));
    EXPECT_TRUE(hits("11:22:33:44:55:66").empty());

    std::vector<std::string> macs = ovk_watchlist_custom_macs();
    ASSERT_EQ(macs.size(), 1u);
    EXPECT_EQ(macs[0], "00:25:DF:4A:19:C2");
}

TEST_F(Watchlist, NameAndVendorRules) {
    ovk_watchlist_load(std::nullopt);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("NAME:  Flock ", "Flock camera", -1, OVK_CAT_ALPR)), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("name:3c88", "Flock serial")), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("vendor:axon", "Axon gear", 90)), 0);
    EXPECT_EQ(ovk_watchlist_add_custom(rule("name:  ", "empty")), -1);
    EXPECT_EQ(ovk_watchlist_add_custom(rule("AA:BB:CC" + std::string(60, ' ') + "X", "junk")), -1);

    OVK_HITS h = hits("02:00:00:00:00:01", "flock-3c8810");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].label, "Flock camera");
    EXPECT_EQ(h[0].category, OVK_CAT_ALPR);
    EXPECT_EQ(h[0].evidence, "Name \"flock-3c8810\" contains \"Flock\"");
    EXPECT_EQ(h[1].label, "Flock serial");
    EXPECT_TRUE(hits("02:00:00:00:00:01", "").empty());

    // One verdict per vendor rule, for the first candidate that contains it.
    h = hits("02:00:00:00:00:01", {}, {"Nordic", "Axon Enterprise, Inc.", "AXON Public Safety"});
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].evidence, "Manufacturer \"Axon Enterprise, Inc.\" contains \"axon\"");
    EXPECT_EQ(h[0].confidence, 90);
}

TEST_F(Watchlist, PresetsMergeByKeyAndCustomRulesOverride) {
    assets_["oui_presets/global.json"] = R"([
        {"prefix":"00:25:DF","label":"Axon body camera","source":"IEEE MA-L registry: Taser International Inc."},
        {"prefix":"name:Flock","label":"Flock global","confidence":"candidate"},
        {"prefix":"AA:BB:CC","label":"no source"}])";
    assets_["oui_presets/canada.json"] =
        R"([{"prefix":"name:Flock","label":"Flock canada","category":"ALPR"}])";
    // "us" is enabled but missing.
    presets(1, 1, 1);
    LogCapture log;
    ASSERT_EQ(ovk_watchlist_load(std::nullopt), 0);
    EXPECT_TRUE(log.has("watchlist preset oui_presets/us.json missing"));

    std::vector<OVK_OUI_ENTRY> all = ovk_watchlist_all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].label, "Flock canada");  // a later preset replaces in place

    OVK_HITS h = hits("00:25:DF:01:02:03", "FLOCK-1");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].source, "IEEE MA-L registry: Taser International Inc.");
    EXPECT_EQ(h[0].category, OVK_CAT_PUBLIC_SAFETY);
    EXPECT_EQ(h[0].confidence, 75);
    EXPECT_EQ(h[1].category, OVK_CAT_ALPR);
    EXPECT_EQ(h[1].confidence, 75);
    h = hits("AA:BB:CC:00:00:00");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].source, "Watchlist preset");

    ASSERT_EQ(ovk_watchlist_add_custom(rule("00-25-df", "mine", 40)), 0);
    all = ovk_watchlist_all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].label, "mine");
    h = hits("00:25:DF:01:02:03");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].label, "mine");
    EXPECT_EQ(h[0].confidence, 40);
    EXPECT_EQ(h[0].source, "Your watchlist");

    // Removing the custom rule brings the preset rule back; turning presets off drops them.
    ASSERT_EQ(ovk_watchlist_remove_custom(" 00:25:df "), 0);
    EXPECT_EQ(ovk_watchlist_match("00:25:DF:01:02:03")->label, "Axon body camera");
    presets(0, 1, 0);
    ovk_watchlist_load(std::nullopt);
    EXPECT_FALSE(ovk_watchlist_match("00:25:DF:01:02:03"));
    EXPECT_EQ(ovk_watchlist_all().size(), 1u);
}

TEST_F(Watchlist, CustomFileIsWrittenAndReadBack) {
    TempDir dir;
    ovk_watchlist_load(dir.path());
    OVK_OUI_ENTRY e = rule("00:25:df:4a:19:c2", "car", 30, OVK_CAT_BODY_CAM);
    e.source = "user-added";
    e.confidence = "confirmed";  // user rules are always "custom"
    ASSERT_EQ(ovk_watchlist_add_custom(e), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("name:Flock", "flock")), 0);
    ASSERT_EQ(ovk_watchlist_add_custom(rule("00:25:DF:4A:19:C2", "car again")), 0);

    const std::string text = ovk_test::read_file(dir.file("watchlist_custom.json"));
    EXPECT_NE(text.find('\n'), std::string::npos);  // indented
    auto back = ovk_watchlist_parse(text);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[0].prefix, "name:Flock");  // a re-added rule goes to the end
    EXPECT_EQ((*back)[1].label, "car again");
    EXPECT_EQ((*back)[1].confidence, "custom");
    EXPECT_EQ((*back)[1].score, -1);
    EXPECT_EQ(text.find("\"score\""), std::string::npos);
    EXPECT_EQ(text.find("\"category\""), std::string::npos);
    EXPECT_LT(text.find("\"prefix\""), text.find("\"label\""));
    EXPECT_LT(text.find("\"source\""), text.find("\"confidence\""));

    ASSERT_EQ(ovk_watchlist_add_custom(e), 0);
    EXPECT_NE(ovk_test::read_file(dir.file("watchlist_custom.json")).find("\"BODY_CAM\""),
              std::string::npos);

    ovk_watchlist_unload();
    EXPECT_TRUE(ovk_watchlist_all().empty());
    ovk_watchlist_load(dir.path());
    std::vector<OVK_OUI_ENTRY> c = ovk_watchlist_custom();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[1].label, "car");
    EXPECT_EQ(c[1].score, 30);
    EXPECT_EQ(c[1].category, OVK_CAT_BODY_CAM);

    // An invalid file gives no custom rules.
    ovk_test::write_file(dir.file("watchlist_custom.json"), "{broken");
    ovk_watchlist_load(dir.path());
    EXPECT_TRUE(ovk_watchlist_custom().empty());
}

TEST_F(Watchlist, FailedWriteIsReportedAndKeptInMemory) {
    TempDir dir;
    ovk_test::write_file(dir.file("plain"), "x");
    ovk_watchlist_load(dir.file("plain") + "/sub");
    EXPECT_EQ(ovk_watchlist_add_custom(rule("00:25:DF", "x")), -1);
    EXPECT_TRUE(ovk_watchlist_match("00:25:DF:00:00:00"));
    EXPECT_EQ(ovk_watchlist_import_custom(R"([{"prefix":"AA:BB:CC"}])"), -1);
    EXPECT_TRUE(ovk_watchlist_match("AA:BB:CC:00:00:00"));
}

TEST_F(Watchlist, ImportAndExport) {
    TempDir dir;
    ovk_watchlist_load(dir.path());
    ASSERT_EQ(ovk_watchlist_add_custom(rule("00:25:DF", "old")), 0);
    const std::string before = ovk_test::read_file(dir.file("watchlist_custom.json"));

    EXPECT_EQ(ovk_watchlist_import_custom("{\"prefix\":\"AA:BB:CC\"}"), -1);
    EXPECT_EQ(ovk_watchlist_import_custom("garbage"), -1);
    EXPECT_EQ(ovk_watchlist_import_custom(R"([{"prefix":"nope"},7])"), 0);
    EXPECT_EQ(ovk_test::read_file(dir.file("watchlist_custom.json")), before);
    EXPECT_EQ(ovk_watchlist_custom().size(), 1u);

    EXPECT_EQ(ovk_watchlist_import_custom(R"([
        {"prefix":"00:25:df","label":"new","confidence":"confirmed","score":20},
        {"prefix":"name:Axon","label":"first"},
        {"prefix":" NAME: Axon","label":"second"}])"),
              2);
    std::vector<OVK_OUI_ENTRY> c = ovk_watchlist_custom();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].label, "new");
    EXPECT_EQ(c[0].confidence, "custom");
    EXPECT_EQ(c[1].label, "second");
    EXPECT_EQ(hits("00:25:DF:00:00:00")[0].confidence, 20);

    // The export imports back to the same rules.
    std::optional<std::string> out = ovk_watchlist_export_custom();
    ASSERT_TRUE(out);
    ovk_watchlist_unload();
    ovk_watchlist_load(std::nullopt);
    EXPECT_EQ(ovk_watchlist_import_custom(*out), 2);
    EXPECT_EQ(ovk_watchlist_custom(), c);
}

}  // namespace

namespace {

// The shipped presets: every rule is valid and credited, and well-known blocks are there.
TEST(WatchlistPresets, ShippedPresetsAreValidAndCredited) {
    for (const char* region : {"global", "canada", "us"}) {
        SCOPED_TRACE(region);
        const std::optional<std::string> text =
            ovk_read_asset(std::string("oui_presets/") + region + ".json");
        ASSERT_TRUE(text);
        OVK_JSON j = ovk_json_parse(*text);
        ASSERT_TRUE(j && cJSON_IsArray(j.get()));
        const auto rules = ovk_watchlist_parse(*text);
        ASSERT_TRUE(rules);
        EXPECT_EQ(static_cast<int>(rules->size()), cJSON_GetArraySize(j.get()));
        EXPECT_GE(rules->size(), 20u);
        bool axon = false;
        for (const OVK_OUI_ENTRY& e : *rules) {
            EXPECT_FALSE(e.label.empty()) << e.prefix;
            EXPECT_FALSE(e.source.empty()) << e.prefix;
            EXPECT_TRUE(e.confidence == "confirmed" || e.confidence == "candidate") << e.prefix;
            EXPECT_GE(e.category, 0) << e.prefix;
            if (!e.prefix.starts_with("name:") && !e.prefix.starts_with("vendor:")) {
                EXPECT_TRUE(e.source.starts_with("IEEE MA-")) << e.prefix;
            }
            if (e.prefix == "00:25:DF") {
                axon = true;
                EXPECT_EQ(e.source, "IEEE MA-L registry: Taser International Inc.");
                EXPECT_EQ(e.category, OVK_CAT_BODY_CAM);
            }
        }
        EXPECT_TRUE(axon);
    }
}

TEST(WatchlistPresets, RegionalListsLoadThroughPreferences) {
    ovk_watchlist_unload();
    OVK_PREFS p;
    p.preset_enabled = {0, 0, 1};
    ASSERT_EQ(ovk_prefs_set(p), 0);
    ovk_watchlist_load(std::nullopt);
    // Kustom Signals radar (an MA-M block) is in the US list, Zepcam only in the global one.
    auto kustom = ovk_watchlist_match("58:E8:76:C1:23:45");
    ASSERT_TRUE(kustom);
    EXPECT_EQ(kustom->prefix, "58:E8:76:C");
    EXPECT_FALSE(ovk_watchlist_match("48:46:8D:00:00:01"));
    OVK_HITS h;
    ovk_watchlist_hits("02:11:22:33:44:55", "Flock-3C8810", {}, h);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].category, OVK_CAT_ALPR);
    EXPECT_EQ(h[0].confidence, 50);

    p.preset_enabled = {1, 0, 0};
    ASSERT_EQ(ovk_prefs_set(p), 0);
    ovk_watchlist_load(std::nullopt);
    EXPECT_TRUE(ovk_watchlist_match("48:46:8D:00:00:01"));
    EXPECT_FALSE(ovk_watchlist_match("58:E8:76:C1:23:45"));
    ovk_watchlist_unload();
    ovk_prefs_set(OVK_PREFS{});
}

}  // namespace
