// SPDX-License-Identifier: GPL-3.0-or-later
// Local store: detection log, remembered devices, whitelist; loading rules, file formats,
// memory-only operation and recovery after failed writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "helpers/ovk_test_files.h"
#include "ovk_datafile.h"
#include "ovk_store.h"

using ovk_test::file_exists;
using ovk_test::LogCapture;
using ovk_test::read_file;
using ovk_test::TempDir;
using ovk_test::write_file;

namespace {

OVK_DETECTION det(const std::string& mac, int64_t ts, const std::string& label = "Axon Body 3") {
    OVK_DETECTION d;
    d.mac = mac;
    d.label = label;
    d.source = "BLE";
    d.rssi = -61;
    d.timestamp = ts;
    d.category = OVK_CAT_BODY_CAM;
    d.confidence = 85;
    d.evidence = "Manufacturer data matches";
    return d;
}

OVK_KNOWN known(const std::string& mac, int64_t last_seen, int favorite = 0) {
    OVK_KNOWN k;
    k.mac = mac;
    k.first_seen = last_seen - 1000;
    k.last_seen = last_seen;
    k.sessions = 2;
    k.detect_count = 3;
    k.name = "Unit " + mac.substr(0, 2);
    k.favorite = favorite;
    return k;
}

std::vector<int64_t> ids_of(const std::vector<OVK_DETECTION>& v) {
    std::vector<int64_t> out;
    for (const auto& d : v) out.push_back(d.id);
    return out;
}

// Every test starts from a closed, empty store and leaves one.
class Store : public ::testing::Test {
  protected:
    void SetUp() override {
        ovk_store_close();
        ovk_datafile_reset();
    }
    void TearDown() override {
        ovk_store_close();
        ovk_datafile_reset();
    }
    // The remembered devices as the files on disk hold them (compacted file and journal).
    std::vector<OVK_KNOWN> known_on_disk() const {
        return ovk_store_parse_known_journal(read_file(dir.file("known_devices.json")),
                                             read_file(dir.file("known_devices.journal")));
    }
    TempDir dir;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Detection log
// ---------------------------------------------------------------------------------------

TEST_F(Store, OpenCreatesTheDirectoryAndStartsEmpty) {
    const std::string d = dir.file("nested/data");
    ASSERT_EQ(ovk_store_open(d), 0);
    EXPECT_EQ(ovk_store_is_open(), 1);
    struct stat st {};
    ASSERT_EQ(stat(d.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(ovk_store_detection_count(), 0);
    EXPECT_EQ(ovk_store_known_count(), 0);
    EXPECT_TRUE(ovk_store_whitelist_all().empty());
    EXPECT_EQ(ovk_store_open(""), -1);
}

TEST_F(Store, AppendsOneLinePerDetectionInKeyOrder) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    OVK_DETECTION d = det("AA:BB:CC:DD:EE:FF", 1700000000123);
    d.id = 999;  // the store gives ids
    d.has_pos = 1;
    d.lat = 47.5;
    d.lon = -122.25;
    d.vendor = "Axon";
    ASSERT_EQ(ovk_store_add_detection(d), 0);
    OVK_DETECTION cell = det("CELL lac-change", 1700000000456, "Cell anomaly");
    cell.source = "CELL";
    cell.rssi = 0;
    cell.category = OVK_CAT_CELL_ANOMALY;
    ASSERT_EQ(ovk_store_add_detection(cell), 0);
    EXPECT_EQ(
        read_file(dir.file("detections.jsonl")),
        "{\"id\":1,\"mac\":\"AA:BB:CC:DD:EE:FF\",\"label\":\"Axon Body 3\",\"source\":\"BLE\","
        "\"rssi\":-61,\"timestamp\":1700000000123,\"latitude\":47.5,\"longitude\":-122.25,"
        "\"category\":\"BODY_CAM\",\"confidence\":85,\"evidence\":\"Manufacturer data "
        "matches\",\"vendor\":\"Axon\",\"deviceName\":null}\n"
        "{\"id\":2,\"mac\":\"CELL lac-change\",\"label\":\"Cell anomaly\",\"source\":\"CELL\","
        "\"rssi\":0,\"timestamp\":1700000000456,\"latitude\":null,\"longitude\":null,"
        "\"category\":\"CELL_ANOMALY\",\"confidence\":85,\"evidence\":\"Manufacturer data "
        "matches\",\"vendor\":null,\"deviceName\":null}\n");
    // Reopening reads back exactly what was added.
    const auto before = ovk_store_detections(0);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_detections(0), before);
    EXPECT_EQ(before.size(), 2u);
}

TEST_F(Store, TextsAreCutToTheirLimits) {
    OVK_DETECTION d = det(std::string(50, 'M'), 1);
    d.label = std::string(300, 'L');
    d.source = "BLUETOOTH";
    d.evidence = std::string(2000, 'E');
    d.vendor = std::string(200, 'V');
    d.device_name = std::string(200, 'N');
    ASSERT_EQ(ovk_store_add_detection(d), 0);
    const OVK_DETECTION got = ovk_store_detections(0).at(0);
    EXPECT_EQ(got.mac.size(), 39u);
    EXPECT_EQ(got.label.size(), 159u);
    EXPECT_EQ(got.source, "BLUETOO");
    EXPECT_EQ(got.evidence.size(), 1023u);
    EXPECT_EQ(got.vendor.size(), 127u);
    EXPECT_EQ(got.device_name.size(), 95u);
}

TEST_F(Store, QueriesAreNewestFirstWithTiesByHigherId) {
    for (int64_t ts : {100, 300, 200, 300, 50}) ASSERT_EQ(ovk_store_add_detection(det("A", ts)), 0);
    EXPECT_EQ(ids_of(ovk_store_detections(0)), (std::vector<int64_t>{4, 2, 3, 1, 5}));
    EXPECT_EQ(ids_of(ovk_store_detections(200)), (std::vector<int64_t>{4, 2, 3}));
    EXPECT_TRUE(ovk_store_detections(301).empty());
    EXPECT_EQ(ovk_store_detection_count(), 5);
}

TEST_F(Store, LogLoadingRules) {
    write_file(dir.file("detections.jsonl"),
               "{\"id\":5,\"mac\":\"A\",\"timestamp\":10,\"latitude\":1.5,\"longitude\":null,"
               "\"category\":\"drone\"}\n"
               "\n"
               "not json at all\n"
               "[1,2,3]\n"
               "{\"id\":0,\"mac\":\"B\",\"timestamp\":20.5,\"latitude\":1.5,\"longitude\":2.5,"
               "\"category\":\"SPACESHIP\",\"rssi\":-70.9,\"confidence\":\"high\"}\n"
               "{\"id\":3,\"mac\":7,\"timestamp\":30,\"latitude\":1e999,\"longitude\":2}\n"
               "{\"id\":-4,\"mac\":\"D\"}\r\n");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    auto all = ovk_store_detections(INT64_MIN);
    ASSERT_EQ(all.size(), 4u);
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.mac < b.mac; });
    // A: id 5, latitude without longitude gives no position, lower-case category name.
    EXPECT_EQ(all[1].mac, "A");
    EXPECT_EQ(all[1].id, 5);
    EXPECT_EQ(all[1].has_pos, 0);
    EXPECT_EQ(all[1].lat, 1.5);  // read in any case
    EXPECT_EQ(all[1].category, OVK_CAT_DRONE);
    // B: id 0 takes the next id; unknown category is CUSTOM; numbers read by rule.
    EXPECT_EQ(all[2].mac, "B");
    EXPECT_EQ(all[2].id, 6);
    EXPECT_EQ(all[2].has_pos, 1);
    EXPECT_EQ(all[2].timestamp, 21);
    EXPECT_EQ(all[2].rssi, -70);
    EXPECT_EQ(all[2].confidence, 0);
    EXPECT_EQ(all[2].category, OVK_CAT_CUSTOM);
    // Id 3 is kept; a non-string mac gives ""; an infinite latitude is no position.
    EXPECT_EQ(all[0].mac, "");
    EXPECT_EQ(all[0].id, 3);
    EXPECT_EQ(all[0].has_pos, 0);
    // The last line (a carriage return after the object still parses): id -4 -> 7.
    EXPECT_EQ(all[3].mac, "D");
    EXPECT_EQ(all[3].id, 7);
    ASSERT_EQ(ovk_store_add_detection(det("E", 40)), 0);
    EXPECT_EQ(ovk_store_detections(40).at(0).id, 8);
}

TEST_F(Store, IdsFiveZeroThreeLoadAsFiveSixThree) {
    write_file(
        dir.file("detections.jsonl"),
        "{\"id\":5,\"timestamp\":1}\n{\"id\":0,\"timestamp\":2}\n{\"id\":3,\"timestamp\":3}\n");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ids_of(ovk_store_detections(0)), (std::vector<int64_t>{3, 6, 5}));
    ASSERT_EQ(ovk_store_add_detection(det("X", 4)), 0);
    EXPECT_EQ(ovk_store_detections(4).at(0).id, 7);
}

TEST_F(Store, HighestPossibleIdDoesNotOverflow) {
    write_file(dir.file("detections.jsonl"),
               "{\"id\":1e300,\"timestamp\":1}\n{\"id\":0,\"timestamp\":2}\n");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const auto all = ovk_store_detections(0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, INT64_MAX);
    EXPECT_EQ(all[1].id, INT64_MAX);
    ASSERT_EQ(ovk_store_add_detection(det("X", 3)), 0);
    EXPECT_EQ(ovk_store_detections(3).at(0).id, INT64_MAX);
}

TEST_F(Store, TornLastLineIsSkippedAndTheNextAppendStartsCleanly) {
    const std::string good = *ovk_store_detection_line(det("A", 1)) + "\n";
    const std::string torn = ovk_store_detection_line(det("B", 2))->substr(0, 40);
    write_file(dir.file("detections.jsonl"), good + torn);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_detection_count(), 1);
    ASSERT_EQ(ovk_store_add_detection(det("C", 3)), 0);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const auto all = ovk_store_detections(0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].mac, "C");
    EXPECT_EQ(all[1].mac, "A");
    const std::string text = read_file(dir.file("detections.jsonl"));
    EXPECT_EQ(text.find(torn), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(Store, PruneKeepsOrderAndRewritesOnlyWhenSomethingWent) {
    // An unparsable line in the middle shows whether the file was rewritten.
    write_file(dir.file("detections.jsonl"), *ovk_store_detection_line(det("A", 100)) + "\n" +
                                                 "garbage\n" +
                                                 *ovk_store_detection_line(det("B", 50)) + "\n" +
                                                 *ovk_store_detection_line(det("C", 200)) + "\n");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_prune_detections(10), 0);
    EXPECT_NE(read_file(dir.file("detections.jsonl")).find("garbage"), std::string::npos);
    EXPECT_EQ(ovk_store_prune_detections(100), 1);
    const std::string text = read_file(dir.file("detections.jsonl"));
    EXPECT_EQ(text.find("garbage"), std::string::npos);
    auto reread = ovk_store_parse_log(text, nullptr);
    ASSERT_EQ(reread.size(), 2u);
    EXPECT_EQ(reread[0].mac, "A");  // memory order kept
    EXPECT_EQ(reread[1].mac, "C");
    EXPECT_FALSE(file_exists(dir.file("detections.jsonl.tmp")));
    ASSERT_EQ(ovk_store_clear_detections(), 0);
    EXPECT_EQ(ovk_store_detection_count(), 0);
    EXPECT_TRUE(file_exists(dir.file("detections.jsonl")));
    EXPECT_EQ(read_file(dir.file("detections.jsonl")), "");
}

// ---------------------------------------------------------------------------------------
// Remembered devices
// ---------------------------------------------------------------------------------------

TEST_F(Store, KnownDevicesUpsertGetAndOrder) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    std::vector<OVK_KNOWN> rows = {known("BB:00:00:00:00:01", 500), known("AA:00:00:00:00:02", 500),
                                   known("CC:00:00:00:00:03", 900), known("", 999)};
    ASSERT_EQ(ovk_store_known_upsert(rows), 0);
    EXPECT_EQ(ovk_store_known_count(), 3);
    const auto all = ovk_store_known_all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].mac, "CC:00:00:00:00:03");
    EXPECT_EQ(all[1].mac, "AA:00:00:00:00:02");
    EXPECT_EQ(all[2].mac, "BB:00:00:00:00:01");
    // A row replaces the record as a whole.
    OVK_KNOWN r = known("AA:00:00:00:00:02", 600);
    r.name = "";
    r.note = "replaced";
    ASSERT_EQ(ovk_store_known_upsert(std::span(&r, 1)), 0);
    auto got = ovk_store_known_get("AA:00:00:00:00:02");
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, r);
    EXPECT_FALSE(ovk_store_known_get("aa:00:00:00:00:02"));  // exact match only
    EXPECT_FALSE(ovk_store_known_get(""));
    EXPECT_EQ(ovk_store_known_upsert({}), 0);
    // The files read back to the same records.
    auto loaded = known_on_disk();
    std::sort(loaded.begin(), loaded.end(), [](auto& a, auto& b) {
        return a.last_seen != b.last_seen ? a.last_seen > b.last_seen : a.mac < b.mac;
    });
    EXPECT_EQ(loaded, ovk_store_known_all());
}

TEST_F(Store, KnownDeviceFileFormat) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    OVK_KNOWN k = known("AA:BB:CC:DD:EE:FF", 1700000000000, 1);
    k.vendor = "Axon";
    ASSERT_EQ(ovk_store_known_upsert(std::span(&k, 1)), 0);
    const std::string object =
        "{\"mac\":\"AA:BB:CC:DD:EE:FF\",\"firstSeen\":1699999999000,"
        "\"lastSeen\":1700000000000,\"sessions\":2,\"detectCount\":3,\"name\":\"Unit AA\","
        "\"vendor\":\"Axon\",\"deviceType\":null,\"favorite\":true,\"note\":null}";
    // A change goes to the journal; the compacted file keeps the array of such objects.
    EXPECT_EQ(read_file(dir.file("known_devices.journal")), "{\"put\":[" + object + "]}\n");
    EXPECT_EQ(ovk_store_known_text(std::span(&k, 1)), "[" + object + "]");
    // Texts are escaped as cJSON escapes them, and read back.
    k.name = std::string("a\"b\\c\n\x01\xc3\xa9", 9);
    const auto text = ovk_store_known_text(std::span(&k, 1));
    ASSERT_TRUE(text);
    EXPECT_NE(text->find(R"("name":"a\"b\\c\n\u0001)"
                         "\xc3\xa9\""),
              std::string::npos)
        << *text;
    EXPECT_EQ(ovk_store_parse_known(*text).at(0), k);
}

TEST_F(Store, LargeBatchesRewriteTheWholeFileOnceAndLoadBack) {
    auto rows_of = [](int from, int n, int64_t seen) {
        std::vector<OVK_KNOWN> v;
        char mac[18];
        for (int i = from; i < from + n; ++i) {
            snprintf(mac, sizeof mac, "D0:00:00:%02X:%02X:%02X", (i >> 16) & 0xFF, (i >> 8) & 0xFF,
                     i & 0xFF);
            v.push_back(known(mac, seen + i));
            v.back().vendor = "Vendor " + std::to_string(i % 5);
        }
        return v;
    };
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    // A small change goes to the journal.
    ASSERT_EQ(ovk_store_known_upsert(rows_of(0, 10, 1000)), 0);
    ASSERT_TRUE(file_exists(dir.file("known_devices.journal")));
    // Staged rows are in memory only, until the next write, which then is a whole file.
    ASSERT_EQ(ovk_store_known_stage(rows_of(10, 6000, 1000)), 0);
    EXPECT_EQ(ovk_store_known_count(), 6010);
    EXPECT_EQ(known_on_disk().size(), 10u);
    ASSERT_EQ(ovk_store_known_upsert(rows_of(6010, 1, 1000)), 0);
    EXPECT_FALSE(file_exists(dir.file("known_devices.journal")));
    std::string text = read_file(dir.file("known_devices.json"));
    EXPECT_GT(text.size(), 64u * 1024) << "larger than one written piece";
    EXPECT_EQ(text.front(), '[');
    EXPECT_EQ(text.back(), ']');
    EXPECT_EQ(known_on_disk().size(), 6011u);
    // A batch of a quarter of the records or more is written as a whole file at once.
    ASSERT_EQ(ovk_store_known_upsert(rows_of(3000, 2000, 5000)), 0);
    EXPECT_FALSE(file_exists(dir.file("known_devices.journal")));
    auto memory = ovk_store_known_all();
    EXPECT_EQ(ovk_store_known_get("D0:00:00:00:0F:A0")->last_seen, 5000 + 4000);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_known_all(), memory);
    // No temporary file is left behind.
    EXPECT_FALSE(file_exists(dir.file("known_devices.json.tmp")));
}

TEST_F(Store, KnownDeviceLoadingRules) {
    write_file(dir.file("known_devices.json"),
               "[{\"mac\":\"AA:BB:CC:DD:EE:FF\",\"lastSeen\":10.5,\"sessions\":2.9,\"name\":null,"
               "\"favorite\":1},"
               "{\"mac\":\"\",\"lastSeen\":99},{\"lastSeen\":98},7,\"x\",null,"
               "{\"mac\":\"11:22:33:44:55:66:77:88\",\"note\":\"long mac\",\"favorite\":\"yes\"},"
               "{\"mac\":\"AA:BB:CC:DD:EE:FF\",\"lastSeen\":20,\"vendor\":\"second wins\"}]");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_known_count(), 2);
    auto a = ovk_store_known_get("AA:BB:CC:DD:EE:FF");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->last_seen, 20);
    EXPECT_EQ(a->vendor, "second wins");
    EXPECT_EQ(a->favorite, 0);
    auto b = ovk_store_known_get("11:22:33:44:55:66");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->note, "long mac");
    EXPECT_EQ(b->favorite, 0);
    EXPECT_EQ(ovk_store_parse_known("[{\"mac\":\"X\",\"lastSeen\":2.5,\"sessions\":2.9,"
                                    "\"favorite\":1}]")
                  .at(0),
              (OVK_KNOWN{"X", 0, 3, 2, 0, "", "", "", 1, ""}));
    // An object where an array belongs holds no records.
    EXPECT_TRUE(ovk_store_parse_known("{\"a\":{\"mac\":\"X\"}}").empty());
}

TEST_F(Store, PruneAndForgetKeepFavourites) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const int64_t now = 1700000000000;
    const int64_t years = 3LL * 365 * 86400 * 1000;
    std::vector<OVK_KNOWN> rows = {known("01", now - years, 1), known("02", now - years),
                                   known("03", now - 1000), known("04", now - 5000)};
    ASSERT_EQ(ovk_store_known_upsert(rows), 0);
    EXPECT_EQ(ovk_store_known_prune(now - 2000), 2);
    EXPECT_TRUE(ovk_store_known_get("01"));
    EXPECT_FALSE(ovk_store_known_get("02"));
    EXPECT_TRUE(ovk_store_known_get("03"));
    EXPECT_EQ(known_on_disk().size(), 2u);
    EXPECT_EQ(ovk_store_known_prune(now - 2000), 0);
    ASSERT_EQ(ovk_store_known_clear_non_favorites(), 0);
    EXPECT_EQ(ovk_store_known_count(), 1);
    EXPECT_EQ(ovk_store_is_favorite("01"), 1);
    EXPECT_EQ(known_on_disk().size(), 1u);
}

TEST_F(Store, FavouritesAndNotesCreateRecordsWhenNeeded) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const int64_t t0 = ovk_now_ms();
    ASSERT_EQ(ovk_store_set_favorite("AA:AA:AA:AA:AA:AA", 5, "Body cam", "Axon", "Camera"), 0);
    auto k = ovk_store_known_get("AA:AA:AA:AA:AA:AA");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->favorite, 1);
    EXPECT_EQ(k->name, "Body cam");
    EXPECT_EQ(k->vendor, "Axon");
    EXPECT_EQ(k->device_type, "Camera");
    EXPECT_EQ(k->sessions, 1);
    EXPECT_EQ(k->detect_count, 1);
    EXPECT_GE(k->first_seen, t0);
    EXPECT_EQ(k->first_seen, k->last_seen);
    // Texts fill only a new record.
    ASSERT_EQ(ovk_store_set_favorite("AA:AA:AA:AA:AA:AA", 0, "Other", "Other", "Other"), 0);
    k = ovk_store_known_get("AA:AA:AA:AA:AA:AA");
    EXPECT_EQ(k->favorite, 0);
    EXPECT_EQ(k->name, "Body cam");
    EXPECT_EQ(ovk_store_is_favorite("AA:AA:AA:AA:AA:AA"), 0);

    ASSERT_EQ(ovk_store_set_note("BB:BB:BB:BB:BB:BB", std::string(300, 'n')), 0);
    k = ovk_store_known_get("BB:BB:BB:BB:BB:BB");
    ASSERT_TRUE(k);
    EXPECT_EQ(k->note.size(), 255u);
    EXPECT_EQ(k->name, "");
    ASSERT_EQ(ovk_store_set_note("BB:BB:BB:BB:BB:BB", ""), 0);
    EXPECT_EQ(ovk_store_known_get("BB:BB:BB:BB:BB:BB")->note, "");
    // Records keyed by nothing would vanish on the next load: refused.
    EXPECT_EQ(ovk_store_set_favorite("", 1, "", "", ""), -1);
    EXPECT_EQ(ovk_store_set_note("", "x"), -1);
    EXPECT_EQ(ovk_store_known_count(), 2);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_known_count(), 2);
}

// ---------------------------------------------------------------------------------------
// Whitelist
// ---------------------------------------------------------------------------------------

TEST_F(Store, WhitelistNormalisesOnChangeButNotOnLookup) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    ASSERT_EQ(ovk_store_whitelist_add("aa-bb-cc-dd-ee-ff", "my phone"), 0);
    ASSERT_EQ(ovk_store_whitelist_add("11:22:33:44:55:66", ""), 0);
    ASSERT_EQ(ovk_store_whitelist_add("AA:BB:CC:DD:EE:FF", "my old phone"), 0);
    const auto all = ovk_store_whitelist_all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], (OVK_WHITELIST_ENTRY{"AA:BB:CC:DD:EE:FF", "my old phone"}));
    EXPECT_EQ(all[1], (OVK_WHITELIST_ENTRY{"11:22:33:44:55:66", ""}));
    EXPECT_EQ(ovk_store_is_whitelisted("AA:BB:CC:DD:EE:FF"), 1);
    EXPECT_EQ(ovk_store_is_whitelisted("aa:bb:cc:dd:ee:ff"), 0);
    EXPECT_EQ(read_file(dir.file("whitelist.json")),
              "[{\"mac\":\"AA:BB:CC:DD:EE:FF\",\"note\":\"my old phone\"},"
              "{\"mac\":\"11:22:33:44:55:66\",\"note\":\"\"}]");
    EXPECT_EQ(ovk_store_whitelist_remove("99:99:99:99:99:99"), 0);
    ASSERT_EQ(ovk_store_whitelist_remove("aa-bb-cc-dd-ee-ff"), 0);
    EXPECT_EQ(ovk_store_whitelist_all().size(), 1u);
    EXPECT_EQ(ovk_store_is_whitelisted("AA:BB:CC:DD:EE:FF"), 0);
    EXPECT_EQ(ovk_store_parse_whitelist(read_file(dir.file("whitelist.json"))).size(), 1u);
    // Notes are cut; an address that normalises to nothing is refused.
    ASSERT_EQ(ovk_store_whitelist_add(" 12:34:56:78:9a:bc ", std::string(200, 'n')), 0);
    EXPECT_EQ(ovk_store_whitelist_all().back().mac, "12:34:56:78:9A:BC");
    EXPECT_EQ(ovk_store_whitelist_all().back().note.size(), 127u);
    EXPECT_EQ(ovk_store_whitelist_add("   ", "x"), -1);
    EXPECT_EQ(ovk_store_whitelist_all().size(), 2u);
}

TEST_F(Store, WhitelistLoadingKeepsTheFirstOfDuplicatesAndDoesNotNormalise) {
    write_file(
        dir.file("whitelist.json"),
        "[{\"mac\":\"aa:bb:cc:dd:ee:ff\",\"note\":\"first\"},"
        "{\"mac\":\"aa:bb:cc:dd:ee:ff\",\"note\":\"second\"},{\"mac\":\"\"},{\"note\":\"x\"},"
        "{\"mac\":\"11:22:33:44:55:66:77\",\"note\":5}]");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const auto all = ovk_store_whitelist_all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], (OVK_WHITELIST_ENTRY{"aa:bb:cc:dd:ee:ff", "first"}));
    EXPECT_EQ(all[1], (OVK_WHITELIST_ENTRY{"11:22:33:44:55:66", ""}));
    EXPECT_EQ(ovk_store_is_whitelisted("aa:bb:cc:dd:ee:ff"), 1);
}

// ---------------------------------------------------------------------------------------
// Memory-only operation and failed writes
// ---------------------------------------------------------------------------------------

TEST_F(Store, ClosedStoreWorksInMemoryAndWritesNothing) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_EQ(ovk_store_add_detection(det("A", 1)), 0);
    ASSERT_EQ(ovk_store_whitelist_add("AA:BB:CC:DD:EE:FF", ""), 0);
    ASSERT_EQ(ovk_store_set_favorite("AA:BB:CC:DD:EE:FF", 1, "", "", ""), 0);
    EXPECT_EQ(ovk_store_detection_count(), 1);
    EXPECT_EQ(ovk_store_is_whitelisted("AA:BB:CC:DD:EE:FF"), 1);
    EXPECT_EQ(ovk_store_prune_detections(100), 1);
    EXPECT_FALSE(file_exists("detections.jsonl"));
    EXPECT_FALSE(file_exists("whitelist.json"));
    EXPECT_FALSE(file_exists("known_devices.json"));
    EXPECT_FALSE(file_exists("/detections.jsonl"));
    ASSERT_EQ(chdir(cwd), 0);
    // Opening forgets what memory held.
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_known_count(), 0);
    EXPECT_EQ(ovk_store_is_whitelisted("AA:BB:CC:DD:EE:FF"), 0);
}

TEST_F(Store, UncreatableDirectoryLeavesTheStoreClosed) {
    write_file(dir.file("plain"), "a regular file");
    const std::string bad = dir.file("plain/orvik");
    LogCapture log;
    EXPECT_EQ(ovk_store_open(bad), -1);
    EXPECT_TRUE(log.has("cannot create data directory " + bad));
    EXPECT_EQ(ovk_store_is_open(), 0);
    EXPECT_EQ(ovk_store_add_detection(det("A", 1)), 0);
    EXPECT_EQ(ovk_store_detection_count(), 1);
}

TEST_F(Store, FailedWritesKeepMemoryAndTheNextGoodWriteCatchesUp) {
    const std::string data = dir.file("data");
    ASSERT_EQ(ovk_store_open(data), 0);
    ASSERT_EQ(ovk_store_add_detection(det("A", 1)), 0);
    ASSERT_EQ(ovk_store_whitelist_add("AA:AA:AA:AA:AA:AA", "w1"), 0);
    // The directory goes away and a regular file stands in its place.
    ASSERT_EQ(rename(data.c_str(), dir.file("moved").c_str()), 0);
    write_file(data, "in the way");
    {
        LogCapture log;
        EXPECT_EQ(ovk_store_add_detection(det("B", 2)), -1);
        EXPECT_TRUE(log.has("cannot append to " + data + "/detections.jsonl: Not a directory"));
        OVK_KNOWN k = known("BB:BB:BB:BB:BB:BB", 5);
        EXPECT_EQ(ovk_store_known_upsert(std::span(&k, 1)), -1);
        EXPECT_TRUE(
            log.has("cannot append to " + data + "/known_devices.journal: Not a directory"));
        EXPECT_EQ(ovk_store_whitelist_add("CC:CC:CC:CC:CC:CC", "w2"), -1);
        EXPECT_EQ(ovk_store_add_detection(det("C", 3)), -1);
    }
    EXPECT_EQ(ovk_store_detection_count(), 3);
    EXPECT_EQ(ovk_store_known_count(), 1);
    EXPECT_EQ(ovk_store_whitelist_all().size(), 2u);
    // Back in place: one successful write brings every file up to date.
    ASSERT_EQ(unlink(data.c_str()), 0);
    ASSERT_EQ(rename(dir.file("moved").c_str(), data.c_str()), 0);
    ASSERT_EQ(ovk_store_add_detection(det("D", 4)), 0);
    const auto memory_log = ovk_store_detections(0);
    const auto memory_known = ovk_store_known_all();
    const auto memory_wl = ovk_store_whitelist_all();
    ASSERT_EQ(ovk_store_open(data), 0);
    EXPECT_EQ(ovk_store_detections(0), memory_log);
    EXPECT_EQ(ovk_store_known_all(), memory_known);
    EXPECT_EQ(ovk_store_whitelist_all(), memory_wl);
    EXPECT_EQ(memory_log.size(), 4u);
}

TEST_F(Store, FailedAppendLeavesNoBrokenLine) {
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    ASSERT_EQ(ovk_store_add_detection(det("A", 1)), 0);
    const std::string before = read_file(dir.file("detections.jsonl"));
    // A file-size limit just above the current size makes the next append fail half-way.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = before.size() + 20;
    auto prev = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    const int rc = ovk_store_add_detection(det("B", 2));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, prev);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_file(dir.file("detections.jsonl")), before);
    ASSERT_EQ(ovk_store_add_detection(det("C", 3)), 0);
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_detection_count(), 3);
}

// ---------------------------------------------------------------------------------------
// Bad input
// ---------------------------------------------------------------------------------------

TEST_F(Store, BinaryTruncatedWronglyTypedAndNestedFilesLoadAsEmpty) {
    write_file(dir.file("detections.jsonl"), std::string("\0\xff\xfe{\"id\":\n\x01\x02", 12));
    write_file(dir.file("known_devices.json"), "{\"mac\":\"AA:BB:CC:DD:EE:FF\"}");
    write_file(dir.file("whitelist.json"), std::string(200000, '[') + std::string(200000, ']'));
    LogCapture log;
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_detection_count(), 0);
    EXPECT_EQ(ovk_store_known_count(), 0);
    EXPECT_TRUE(ovk_store_whitelist_all().empty());
    EXPECT_TRUE(log.has(dir.file("whitelist.json") + " is damaged"));
    write_file(dir.file("known_devices.json"), "[{\"mac\":\"AA:BB:CC:DD:EE:FF\",\"lastSeen\":");
    write_file(dir.file("whitelist.json"), "[{\"mac\":[1,2],\"note\":{}},\"AA\",[]]");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_known_count(), 0);
    EXPECT_TRUE(log.has(dir.file("known_devices.json") + " is damaged"));
    EXPECT_TRUE(ovk_store_whitelist_all().empty());
    // The next change writes a well-formed file over the broken one.
    ASSERT_EQ(ovk_store_whitelist_add("AA:BB:CC:DD:EE:FF", ""), 0);
    EXPECT_EQ(ovk_store_parse_whitelist(read_file(dir.file("whitelist.json"))).size(), 1u);
}

TEST_F(Store, HundredMegabyteFilesLoadWithoutTrouble) {
    TempDir mem("/dev/shm");
    const size_t big = 100u * 1024 * 1024;
    const std::string junk(1024 * 1024, '\x9c');
    {
        // A 100 MB binary line that starts like an object, between two ordinary lines.
        std::ofstream f(mem.file("detections.jsonl"), std::ios::binary);
        f << *ovk_store_detection_line(det("FIRST", 1)) << "\n{\"id\":";
        for (size_t n = 0; n < big; n += junk.size()) f << junk;
        f << "\n" << *ovk_store_detection_line(det("LAST", 3)) << "\n";
    }
    {
        std::ofstream f(mem.file("known_devices.json"), std::ios::binary);
        f << "[{\"mac\":\"";
        for (size_t n = 0; n < big; n += junk.size()) f << junk;
    }
    ASSERT_EQ(ovk_store_open(mem.path()), 0);
    const auto all = ovk_store_detections(0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].mac, "LAST");
    EXPECT_EQ(all[1].mac, "FIRST");
    EXPECT_EQ(ovk_store_known_count(), 0);
    ovk_store_close();
}

TEST_F(Store, OverlongValuesInAValidLineAreCut) {
    const std::string label(5u * 1024 * 1024, 'x');
    write_file(dir.file("detections.jsonl"),
               "{\"mac\":\"HUGE\",\"timestamp\":2,\"label\":\"" + label + "\"}\n");
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    const auto all = ovk_store_detections(0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].label, label.substr(0, 159));
}
