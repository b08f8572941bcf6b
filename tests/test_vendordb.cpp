// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "ovk_vendordb.h"
#include "zq_log.h"

namespace {

// Serves the four tables from memory; counts how often each was asked for.
struct MemAssets {
    std::map<std::string, std::string> files;
    std::map<std::string, int> reads;

    MemAssets(std::string oui, std::string company, std::string uuid, std::string appearance) {
        files[OVK_VENDOR_FILE_OUI] = std::move(oui);
        files[OVK_VENDOR_FILE_COMPANY] = std::move(company);
        files[OVK_VENDOR_FILE_UUID16] = std::move(uuid);
        files[OVK_VENDOR_FILE_APPEARANCE] = std::move(appearance);
    }
    OVK_ASSET_READER reader() {
        return [this](std::string_view name) -> std::optional<std::string> {
            reads[std::string(name)]++;
            auto it = files.find(std::string(name));
            if (it == files.end()) return std::nullopt;
            return it->second;
        };
    }
};

std::string str_or_none(const char* s) {
    return s ? s : "(none)";
}

// Captures log lines for the duration of a test.
class LogCapture {
  public:
    LogCapture() : f_(tmpfile()) {
        set_log_level(LOG_DEBUG);
        zq_log_set_stream(f_);
    }
    ~LogCapture() {
        zq_log_set_stream(nullptr);
        set_log_level(LOG_WARNING);
        if (f_) fclose(f_);
    }
    std::string text() {
        std::string out;
        if (!f_) return out;
        fflush(f_);
        rewind(f_);
        char buf[512];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, got);
        return out;
    }

  private:
    FILE* f_;
};

class VendorDbSynthetic : public ::testing::Test {
  protected:
    void TearDown() override { ovk_vendordb_unload(); }
};

class VendorDbReal : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ovk_vendordb_unload();
        ASSERT_EQ(ovk_vendordb_load([](std::string_view name) { return ovk_read_asset(name); }), 0);
    }
    static void TearDownTestSuite() { ovk_vendordb_unload(); }
};

}  // namespace

// ---------------------------------------------------------------- committed tables

TEST_F(VendorDbReal, TablesHoldTheExpectedVolume) {
    OVK_VENDORDB_COUNTS c = ovk_vendordb_counts();
    EXPECT_GE(c.oui, 30000u);
    EXPECT_GE(c.companies, 3500u);
    EXPECT_GE(c.uuids, 800u);
    EXPECT_GE(c.appearances, 300u);
    EXPECT_EQ(ovk_vendordb_oui_count(), c.oui);
}

TEST_F(VendorDbReal, AddressBlocksPreferTheMostSpecificRegistration) {
    EXPECT_EQ(str_or_none(ovk_vendor_mac("00:A0:C6:12:34:56")), "Qualcomm Inc.");
    EXPECT_EQ(str_or_none(ovk_vendor_mac("00:00:00:01:02:03")), "XEROX CORPORATION");
    // 70:B3:D5 is the registration authority's own MA-L; its 36-bit sub-blocks name the
    // real owners
    EXPECT_EQ(str_or_none(ovk_vendor_mac("70:B3:D5:00:10:00")), "SOREDI touch systems GmbH");
    // 70B3D5FFB is not assigned: the 24-bit block answers
    EXPECT_EQ(str_or_none(ovk_vendor_mac("70:B3:D5:FF:B0:00")), "IEEE Registration Authority");
    // a 28-bit block
    EXPECT_EQ(str_or_none(ovk_vendor_mac("20:85:93:B1:22:33")), "IOG Products LLC");
    EXPECT_EQ(ovk_vendor_mac("02:A0:C6:12:34:56"), nullptr);
    EXPECT_EQ(ovk_vendor_mac("00-A0-C6-12-34-56"), nullptr);
}

TEST_F(VendorDbReal, BluetoothNumbers) {
    EXPECT_EQ(str_or_none(ovk_vendor_company(0x004C)), "Apple, Inc.");
    EXPECT_EQ(str_or_none(ovk_vendor_company(0x0006)), "Microsoft");
    EXPECT_EQ(ovk_vendor_company(-1), nullptr);
    EXPECT_EQ(ovk_vendor_company(0x7FFFFFFF), nullptr);
    // SIG service names win over the BlueZ spelling; member UUIDs name their owner
    EXPECT_EQ(str_or_none(ovk_vendor_uuid16(0x1800)), "Generic Access");
    EXPECT_EQ(str_or_none(ovk_vendor_uuid16(0x180D)), "Heart Rate");
    EXPECT_EQ(str_or_none(ovk_vendor_uuid16(0xFEAA)), "Google");
    EXPECT_EQ(str_or_none(ovk_vendor_uuid16(0xFD0D)), "Blecon Advertising Service");
    EXPECT_EQ(ovk_vendor_uuid16(-5), nullptr);
    EXPECT_EQ(ovk_vendor_appearance(0x00C1).value_or("(none)"), "Watch - Sports Watch");
    EXPECT_EQ(ovk_vendor_appearance(0x00C0).value_or("(none)"), "Watch");
    EXPECT_EQ(ovk_vendor_appearance(0x0040).value_or("(none)"), "Phone");
    EXPECT_FALSE(ovk_vendor_appearance(0xFFC0).has_value());
}

// ---------------------------------------------------------------- synthetic tables

TEST_F(VendorDbSynthetic, LongestBlockWinsAndDigitCountIsPartOfTheKey) {
    MemAssets m(
        "00A0C6\tVendor A\n"
        "00A0C61\tVendor B\n"
        "0A0C62\tSix digits, same value as a seven-digit prefix\n"
        "00A0C6123\tVendor S\n",
        "", "", "");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(str_or_none(ovk_vendor_mac("00:A0:C6:1F:00:00")), "Vendor B");
    EXPECT_EQ(str_or_none(ovk_vendor_mac("00:A0:C6:12:30:00")), "Vendor S");
    // 00A0C62 has the same numeric value as the row 0A0C62 but not the same digit count
    EXPECT_EQ(str_or_none(ovk_vendor_mac("00:A0:C6:2F:00:00")), "Vendor A");
    EXPECT_EQ(str_or_none(ovk_vendor_mac("00a0c6")), "Vendor A");
    EXPECT_EQ(ovk_vendor_mac("00:A0:C"), nullptr);  // five digits
    EXPECT_EQ(ovk_vendor_mac(""), nullptr);
    EXPECT_EQ(ovk_vendor_mac("00-A0-C6-11-22-33"), nullptr);
    EXPECT_EQ(ovk_vendordb_oui_count(), 4u);
}

TEST_F(VendorDbSynthetic, LocallyAdministeredAddressesHaveNoVendor) {
    MemAssets m(
        "02A0C6\tLocal\n0AA0C6\tLocal too\n0EA0C6\tAnd this\n03A0C6\tMulticast local\n"
        "01A0C6\tGlobal multicast\n",
        "", "", "");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(ovk_vendor_mac("02:A0:C6:00:00:01"), nullptr);
    EXPECT_EQ(ovk_vendor_mac("0A:A0:C6:00:00:01"), nullptr);
    EXPECT_EQ(ovk_vendor_mac("0E:A0:C6:00:00:01"), nullptr);
    EXPECT_EQ(ovk_vendor_mac("03:A0:C6:00:00:01"), nullptr);
    EXPECT_EQ(str_or_none(ovk_vendor_mac("01:A0:C6:00:00:01")), "Global multicast");
    EXPECT_EQ(ovk_vendor_mac("G0:A0:C6:00:00:01"), nullptr);
}

TEST_F(VendorDbSynthetic, MalformedAddressBlockLinesAreSkipped) {
    MemAssets m(
        "# comment\tnot a row\n"
        "\n"
        "no tab here\n"
        "\tempty key\n"
        "00A0ZZ\tnon-hex key\n"
        "0123456789ABCDEF\tsixteen digits\n"
        "0x00A0C6\tprefixed\n"
        "123456789ABCDEF\tfifteen digits\n"
        "A8BBCC\t\n"
        "DDEEFF\tlast line without newline",
        "", "", "");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(ovk_vendordb_oui_count(), 3u);
    // (15-digit keys load, but addresses are only looked up by 9, 7 and 6 digits)
    // an empty name is a known block with an empty name, not an unknown one
    EXPECT_EQ(str_or_none(ovk_vendor_mac("A8:BB:CC:00:00:00")), "");
    EXPECT_EQ(str_or_none(ovk_vendor_mac("DD:EE:FF:00:00:00")), "last line without newline");
    EXPECT_EQ(ovk_vendor_mac("00:A0:C6:00:00:00"), nullptr);
}

TEST_F(VendorDbSynthetic, NumberKeysFollowTheStandardHexConversion) {
    MemAssets m("",
                "004C\tApple\n"
                "0x0006\tMicrosoft\n"
                "  0075\tleading blanks are accepted\n"
                "00E0 \ttrailing blank\n"
                "00E1x\ttrailing letter\n"
                "\tempty key\n"
                "0x\tbare prefix\n"
                "+0059\tNordic\n"
                "004C\tApple again\n",
                "180d\tHeart Rate\r\n0xFEAA\tGoogle\tstill part of the name\r\n", "");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(str_or_none(ovk_vendor_company(0x4C)), "Apple again");  // later line wins
    EXPECT_EQ(str_or_none(ovk_vendor_company(6)), "Microsoft");
    EXPECT_EQ(str_or_none(ovk_vendor_company(0x75)), "leading blanks are accepted");
    EXPECT_EQ(str_or_none(ovk_vendor_company(0x59)), "Nordic");
    EXPECT_EQ(ovk_vendor_company(0xE0), nullptr);
    EXPECT_EQ(ovk_vendor_company(0xE1), nullptr);
    EXPECT_EQ(ovk_vendor_company(0), nullptr);
    EXPECT_EQ(ovk_vendordb_counts().companies, 4u);  // a replaced key is not counted twice
    EXPECT_EQ(str_or_none(ovk_vendor_uuid16(0x180D)), "Heart Rate");
    EXPECT_EQ(str_or_none(ovk_vendor_uuid16(0xFEAA)), "Google\tstill part of the name");
}

TEST_F(VendorDbSynthetic, AppearanceNamesJoinCategoryAndSubcategory) {
    MemAssets m("", "", "",
                "3\t-\tWatch\n"
                "3\t1\tSports Watch\n"
                "3\t2\tSmartwatch\tnotes after a fourth tab\n"
                "0x4\t-\tClock\n"
                "5\t\tno subcategory\n"
                "6\t-\n"
                "7\t100\tsubcategory too wide\n"
                "8\tx\tbad subcategory\n"
                "2\t-\tComputer");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(ovk_vendor_appearance(0x0C1).value_or("(none)"), "Watch - Sports Watch");
    EXPECT_EQ(ovk_vendor_appearance(0x0C2).value_or("(none)"), "Watch - Smartwatch");
    EXPECT_EQ(ovk_vendor_appearance(0x0C0).value_or("(none)"), "Watch");
    EXPECT_EQ(ovk_vendor_appearance(0x0C5).value_or("(none)"), "Watch");
    EXPECT_EQ(ovk_vendor_appearance(0x100).value_or("(none)"), "Clock");
    EXPECT_EQ(ovk_vendor_appearance(0x080).value_or("(none)"), "Computer");
    EXPECT_FALSE(ovk_vendor_appearance(0x140).has_value());
    EXPECT_FALSE(ovk_vendor_appearance(0x180).has_value());
    EXPECT_FALSE(ovk_vendor_appearance(0x1C4).has_value());
    EXPECT_FALSE(ovk_vendor_appearance(-1).has_value());
    EXPECT_EQ(ovk_vendordb_counts().appearances, 5u);
}

TEST_F(VendorDbSynthetic, CarriageReturnOnlyFilesKeepEveryRow) {
    // CR-only line ends: the table must be sized from every line end, not only LF, or
    // most rows would not fit
    std::string company;
    for (int i = 0; i < 200; i++) {
        char line[32];
        snprintf(line, sizeof line, "%04X\tCompany %d\r", i, i);
        company += line;
    }
    MemAssets m("", company, "", "");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(ovk_vendordb_counts().companies, 200u);
    for (int i = 0; i < 200; i++) {
        EXPECT_EQ(str_or_none(ovk_vendor_company(i)), "Company " + std::to_string(i));
    }
    EXPECT_EQ(ovk_vendor_company(200), nullptr);
}

TEST_F(VendorDbSynthetic, LoadingTwiceReadsNothingTheSecondTime) {
    MemAssets m("00A0C6\tA\n", "004C\tApple\n", "", "");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    for (const char* f : {OVK_VENDOR_FILE_OUI, OVK_VENDOR_FILE_COMPANY, OVK_VENDOR_FILE_UUID16,
                          OVK_VENDOR_FILE_APPEARANCE}) {
        EXPECT_EQ(m.reads[f], 1) << f;
    }
    EXPECT_EQ(ovk_vendordb_loaded(), 1);
}

TEST_F(VendorDbSynthetic, AMissingFileLeavesNothingLoaded) {
    LogCapture log;
    MemAssets m("00A0C6\tA\n", "004C\tApple\n", "", "");
    m.files.erase(OVK_VENDOR_FILE_UUID16);
    EXPECT_EQ(ovk_vendordb_load(m.reader()), -1);
    EXPECT_EQ(ovk_vendordb_loaded(), 0);
    EXPECT_EQ(ovk_vendor_mac("00:A0:C6:00:00:00"), nullptr);
    EXPECT_EQ(ovk_vendor_company(0x4C), nullptr);
    EXPECT_EQ(ovk_vendordb_oui_count(), 0u);
    EXPECT_NE(log.text().find("vendor table vendors/bt_uuid16.tsv could not be read"),
              std::string::npos);
    EXPECT_EQ(m.reads[OVK_VENDOR_FILE_APPEARANCE], 0);  // stops at the first failure

    // a reader that throws counts as a file that cannot be read
    OVK_ASSET_READER throwing = [](std::string_view) -> std::optional<std::string> {
        throw std::runtime_error("disk gone");
    };
    EXPECT_EQ(ovk_vendordb_load(throwing), -1);
    EXPECT_EQ(ovk_vendordb_load(OVK_ASSET_READER{}), -1);

    // a later good load works
    m.files[OVK_VENDOR_FILE_UUID16] = "";
    EXPECT_EQ(ovk_vendordb_load(m.reader()), 0);
    EXPECT_EQ(str_or_none(ovk_vendor_company(0x4C)), "Apple");
    EXPECT_NE(log.text().find("vendor tables loaded: 1 OUI, 1 companies, 0 UUIDs, 0 appearances"),
              std::string::npos);
}

TEST_F(VendorDbSynthetic, UnloadEmptiesEveryLookup) {
    MemAssets m("00A0C6\tA\n", "004C\tApple\n", "180D\tHeart Rate\n", "3\t-\tWatch\n");
    ASSERT_EQ(ovk_vendordb_load(m.reader()), 0);
    ASSERT_NE(ovk_vendor_uuid16(0x180D), nullptr);
    ovk_vendordb_unload();
    EXPECT_EQ(ovk_vendordb_loaded(), 0);
    EXPECT_EQ(ovk_vendor_mac("00:A0:C6:00:00:00"), nullptr);
    EXPECT_EQ(ovk_vendor_company(0x4C), nullptr);
    EXPECT_EQ(ovk_vendor_uuid16(0x180D), nullptr);
    EXPECT_FALSE(ovk_vendor_appearance(0xC0).has_value());
    EXPECT_EQ(ovk_vendordb_counts().uuids, 0u);
}

// ---------------------------------------------------------------- asset reader

TEST(AssetReader, DefaultReaderUsesTheAssetsDirectoryAndInstalledReadersReplaceIt) {
    ovk_set_asset_reader(nullptr);
    unsetenv("OVK_ASSETS");
    auto oui = ovk_read_asset("vendors/bt_appearance.tsv");
    ASSERT_TRUE(oui.has_value());
    EXPECT_NE(oui->find("Watch"), std::string::npos);
    EXPECT_FALSE(ovk_read_asset("vendors/no_such_file.tsv").has_value());
    EXPECT_FALSE(ovk_read_asset("").has_value());
    EXPECT_FALSE(ovk_read_asset(std::string(1100, 'a')).has_value());

    setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets/vendors", 1);
    EXPECT_TRUE(ovk_read_asset("bt_company.tsv").has_value());
    unsetenv("OVK_ASSETS");

    ovk_set_asset_reader([](std::string_view n) -> std::optional<std::string> {
        if (n == "x") throw std::runtime_error("boom");
        return std::string("fake:") + std::string(n);
    });
    EXPECT_EQ(ovk_read_asset("abc").value_or(""), "fake:abc");
    EXPECT_FALSE(ovk_read_asset("x").has_value());  // the exception stays inside
    ovk_set_asset_reader(nullptr);
    EXPECT_FALSE(ovk_read_asset("abc").has_value());
}

// The system's IEEE registry (Debian's ieee-data CSV files) as the address-block table:
// quoted names with commas and line ends, names cleaned to one line, blocks of the wrong
// length or without a name skipped, the first name of a block listed twice kept, and a file
// without the registry's header ignored. The result loads like the bundled table.
TEST(VendorDbIeee, RegistryCsvBecomesTheAddressBlockTable) {
    const std::string oui =
        "Registry,Assignment,Organization Name,Organization Address\r\n"
        "MA-L,0025df,\"Taser International, Inc.\",\"17800 N 85th St\r\nScottsdale AZ\"\r\n"
        "MA-L,001122,  Spaced\tout \xC2\xA0name  ,x\r\n"
        "MA-L,001122,Second name,x\r\n"
        "MA-L,00112,Short,x\r\n"
        "MA-L,0011GG,Not hex,x\r\n"
        "MA-L,AABBCC,,x\r\n"
        "MA-L,CCDDEE,\"Say \"\"hi\"\"\",x\r\n"
        "MA-L,DDEEFF,Bad \xFF byte,x\r\n"
        "MA-L,EEFF00\r\n";
    const std::string mam =
        "Registry,Assignment,Organization Name,Organization Address\n"
        "MA-M,0025DF1,Narrower block,x\n";
    const std::string bad = "not,the,header\nMA-S,0025DF123,Never,x\n";
    const OVK_IEEE_CSV files[] = {{oui, 6}, {mam, 7}, {bad, 9}};
    const OVK_IEEE_TABLE t = ovk_vendordb_from_ieee(files);
    EXPECT_EQ(t.tsv,
              "0025DF\tTaser International, Inc.\n"
              "001122\tSpaced out name\n"
              "CCDDEE\tSay \"hi\"\n"
              "DDEEFF\tBad \xEF\xBF\xBD byte\n"
              "0025DF1\tNarrower block\n");
    EXPECT_EQ(t.blocks, 5u);

    ovk_vendordb_unload();
    ASSERT_EQ(ovk_vendordb_load([&](std::string_view name) -> std::optional<std::string> {
                  if (name == OVK_VENDOR_FILE_OUI) return t.tsv;
                  return std::string();
              }),
              0);
    EXPECT_STREQ(ovk_vendor_mac("00:25:DF:11:22:33"), "Narrower block");
    EXPECT_STREQ(ovk_vendor_mac("00:25:DF:F1:22:33"), "Taser International, Inc.");
    EXPECT_STREQ(ovk_vendor_mac("00:11:22:33:44:55"), "Spaced out name");
    ovk_vendordb_unload();
}

TEST(VendorDbIeee, ListingDateOfATable) {
    EXPECT_EQ(ovk_vendordb_listing_day("# IEEE address blocks\n"
                                       "# Generated from Debian ieee-data (IEEE listing of "
                                       "2022-08-27)\n000000\tXEROX\n"),
              19231);
    EXPECT_EQ(ovk_vendordb_listing_day("# IEEE listing of 1970-01-01\n"), 0);
    EXPECT_FALSE(ovk_vendordb_listing_day("000000\tXEROX\n# IEEE listing of 2022-08-27\n"));
    EXPECT_FALSE(ovk_vendordb_listing_day("# IEEE listing of 2022-13-01\n"));
    EXPECT_FALSE(ovk_vendordb_listing_day("# IEEE listing of 2022-08"));
    EXPECT_FALSE(ovk_vendordb_listing_day(""));
}
