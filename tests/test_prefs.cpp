// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Preferences: defaults, loading rules of the settings file, the ordered write, the serial,
// and readers that never wait while the file is written.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "helpers/ovk_test_files.h"
#include "helpers/ovk_test_held_writes.h"
#include "ovk_datafile.h"
#include "ovk_prefs.h"

using ovk_test::LogCapture;
using ovk_test::TempDir;

namespace {

// Loads a settings file with the given text from a fresh directory.
OVK_PREFS load_text(const TempDir& dir, const std::string& text) {
    ovk_test::write_file(dir.file("settings.json"), text);
    EXPECT_EQ(ovk_prefs_load(dir.path()), 0);
    return ovk_prefs_get();
}

OVK_PREFS parse(const std::string& text) {
    OVK_PREFS p;
    OVK_JSON j = ovk_json_parse(text);
    ovk_prefs_from_json(j.get(), p);
    return p;
}

}  // namespace

// Runs first: before any load there is no directory, so a set changes memory only.
TEST(Prefs, BeforeLoadSetChangesMemoryOnly) {
    TempDir dir;
    ovk_test::LogCapture log;
    EXPECT_EQ(ovk_prefs_get(), OVK_PREFS{});
    OVK_PREFS p;
    p.alert_threshold = 61;
    EXPECT_EQ(ovk_prefs_set(p), 0);
    EXPECT_EQ(ovk_prefs_alert_threshold(), 61);
    EXPECT_EQ(log.text(), "");
    EXPECT_FALSE(ovk_test::file_exists("settings.json"));
    // A load starts again from the defaults.
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_alert_threshold(), 50);
}

TEST(Prefs, DefaultsMatchTheTable) {
    OVK_PREFS p;
    p.alert_threshold = 3;
    p.wifi_iface = "wlan0";
    ovk_prefs_defaults(p);
    EXPECT_EQ(p.ble_enabled, 1);
    EXPECT_EQ(p.wifi_enabled, 1);
    EXPECT_EQ(p.scan_interval_ms, 30000);
    EXPECT_EQ(p.ble_scan_mode, 2);
    EXPECT_EQ(p.auto_start, 0);
    EXPECT_EQ(p.hci_dev, -1);
    EXPECT_EQ(p.wifi_iface, "");
    EXPECT_EQ(p.gpsd_host, "127.0.0.1");
    EXPECT_EQ(p.gpsd_port, 2947);
    for (int c = 0; c < OVK_CAT_COUNT; ++c)
        EXPECT_EQ(p.category_enabled[static_cast<size_t>(c)], c == OVK_CAT_NETWORK_CAMERA ? 0 : 1)
            << ovk_cat_name(c);
    EXPECT_EQ(p.preset_enabled, (std::array<int, 3>{1, 1, 0}));
    EXPECT_EQ(p.sound_enabled, 1);
    EXPECT_EQ(p.vibrate_enabled, 1);
    EXPECT_EQ(p.voice_enabled, 0);
    EXPECT_EQ(p.alert_threshold, 50);
    EXPECT_EQ(p.dedupe_window_ms, 300000);
    EXPECT_EQ(p.follow_min_minutes, 10);
    EXPECT_EQ(p.follow_min_meters, 800);
    EXPECT_EQ(p.retention_days, 90);
    EXPECT_EQ(p.theme, OVK_THEME_SYSTEM);
    EXPECT_EQ(p.ui_size, 1);
    EXPECT_EQ(p.radar_names, 1);
    EXPECT_EQ(p.map_zoom, 15);
    EXPECT_EQ(p.map_tiles, 1);
}

TEST(Prefs, MissingKeysKeepDefaults) {
    TempDir dir;
    OVK_PREFS p = load_text(dir, R"({"alert_threshold": 80})");
    OVK_PREFS want;
    want.alert_threshold = 80;
    EXPECT_EQ(p, want);
}

TEST(Prefs, ValuesAreReadByType) {
    OVK_PREFS p = parse(R"({"ble_enabled":0,"wifi_enabled":"no","auto_start_boot":true,
        "scan_interval_ms":1500.5,"dedupe_window_ms":-2.5,"gpsd_port":2948.9,
        "hci_dev":-1.7,"map_lat":47.60621,"map_lon":"x","gpsd_host":null,
        "wifi_iface":"wlan0-with-a-very-long-interface-name","cat_DRONE":false,
        "cat_NETWORK_CAMERA":1,"cat_drone":true,"retention_days":-5})");
    EXPECT_EQ(p.ble_enabled, 0);
    EXPECT_EQ(p.wifi_enabled, 1);
    EXPECT_EQ(p.auto_start, 1);
    EXPECT_EQ(p.scan_interval_ms, 1501);
    EXPECT_EQ(p.dedupe_window_ms, -3);
    EXPECT_EQ(p.gpsd_port, 2948);
    EXPECT_EQ(p.hci_dev, -1);
    EXPECT_EQ(p.map_lat, 47.60621);
    EXPECT_EQ(p.map_lon, 0.0);
    EXPECT_EQ(p.gpsd_host, "127.0.0.1");
    EXPECT_EQ(p.wifi_iface, std::string("wlan0-with-a-very-long-interface-name").substr(0, 31));
    EXPECT_EQ(p.category_enabled[OVK_CAT_DRONE], 0);  // keys are case-sensitive
    EXPECT_EQ(p.category_enabled[OVK_CAT_NETWORK_CAMERA], 1);
    EXPECT_EQ(p.retention_days, -5);  // no range check on load
}

TEST(Prefs, OverpassAddressDefaultsToThePublicServerAndIsCut) {
    TempDir dir;
    EXPECT_EQ(load_text(dir, "{}").overpass_url, "https://overpass-api.de/api/interpreter");
    EXPECT_EQ(
        load_text(dir, R"({"overpass_url": "http://127.0.0.1:8080/api/interpreter"})").overpass_url,
        "http://127.0.0.1:8080/api/interpreter");
    EXPECT_EQ(load_text(dir, R"({"overpass_url": 5})").overpass_url,
              "https://overpass-api.de/api/interpreter");
    const std::string long_url = "https://example.org/" + std::string(400, 'a');
    EXPECT_EQ(load_text(dir, "{\"overpass_url\": \"" + long_url + "\"}").overpass_url,
              long_url.substr(0, OVK_PREFS_URL_MAX));
}

TEST(Prefs, TileServerDefaultsToOpenStreetMapAndSurvivesASaveAndLoad) {
    TempDir dir;
    EXPECT_EQ(load_text(dir, "{}").tile_server, "https://tile.openstreetmap.org");
    EXPECT_EQ(load_text(dir, R"({"tile_server": 7})").tile_server,
              "https://tile.openstreetmap.org");
    const std::string long_url = "https://tiles.example.org/" + std::string(400, 't');
    EXPECT_EQ(load_text(dir, "{\"tile_server\": \"" + long_url + "\"}").tile_server,
              long_url.substr(0, OVK_PREFS_URL_MAX));
    // A user's own server is written and read back.
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    OVK_PREFS p = ovk_prefs_get();
    p.tile_server = "http://127.0.0.1:8081/osm";
    ASSERT_EQ(ovk_prefs_set(p), 0);
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_get().tile_server, "http://127.0.0.1:8081/osm");
}

TEST(Prefs, PresetListRules) {
    EXPECT_EQ(parse(R"({"enabled_presets":[]})").preset_enabled, (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(parse(R"({"enabled_presets":["us"]})").preset_enabled, (std::array<int, 3>{0, 0, 1}));
    EXPECT_EQ(parse(R"({"enabled_presets":["mars"]})").preset_enabled,
              (std::array<int, 3>{0, 1, 0}));
    EXPECT_EQ(parse(R"({"enabled_presets":["global",7,null,"us"]})").preset_enabled,
              (std::array<int, 3>{1, 0, 1}));
    EXPECT_EQ(parse(R"({"enabled_presets":"us"})").preset_enabled, (std::array<int, 3>{1, 1, 0}));
    EXPECT_EQ(parse(R"({"enabled_presets":{"us":1}})").preset_enabled,
              (std::array<int, 3>{1, 1, 0}));
}

TEST(Prefs, ThemeAndSizeRules) {
    EXPECT_EQ(parse(R"({"app_theme":"DARK"})").theme, OVK_THEME_DARK);
    EXPECT_EQ(parse(R"({"app_theme":"MATERIAL_YOU"})").theme, OVK_THEME_MATERIAL);
    EXPECT_EQ(parse(R"({"app_theme":"dark"})").theme, OVK_THEME_SYSTEM);
    EXPECT_EQ(parse(R"({"app_theme":3})").theme, OVK_THEME_SYSTEM);
    EXPECT_EQ(parse(R"({"ui_size":7})").ui_size, 1);
    EXPECT_EQ(parse(R"({"ui_size":-1})").ui_size, 1);
    EXPECT_EQ(parse(R"({"ui_size":3})").ui_size, 3);
    EXPECT_EQ(parse(R"({"ui_size":"2"})").ui_size, 1);
}

TEST(Prefs, InvalidFilesLeaveDefaults) {
    TempDir dir;
    LogCapture log;
    EXPECT_EQ(load_text(dir, "{\"alert_threshold\": 80"), OVK_PREFS{});
    EXPECT_TRUE(log.has(dir.file("settings.json") + " is damaged"));
    EXPECT_EQ(load_text(dir, "[1,2,3]"), OVK_PREFS{});
    EXPECT_EQ(load_text(dir, std::string("\0\xff\x01", 3)), OVK_PREFS{});
    EXPECT_EQ(ovk_prefs_load(""), -1);
}

TEST(Prefs, DeeplyNestedAndHugeFilesLoadAsTheRulesSay) {
    TempDir dir("/dev/shm");  // keeps the big file off the disk
    LogCapture log;
    // Nesting far beyond what the JSON reader accepts: invalid, defaults stay.
    EXPECT_EQ(load_text(dir, "{\"alert_threshold\":80,\"x\":" + std::string(100000, '[') +
                                 std::string(100000, ']') + "}"),
              OVK_PREFS{});
    EXPECT_TRUE(log.has(dir.file("settings.json") + " is damaged"));
    // A well-formed file with a 500 kB text: the text is cut, the other keys still apply.
    OVK_PREFS p = load_text(dir, "{\"gpsd_host\":\"" + std::string(500u << 10, 'h') +
                                     "\",\"alert_threshold\":80,\"wifi_iface\":[\"" +
                                     std::string(1000, 'w') + "\"]}");
    OVK_PREFS want;
    want.gpsd_host = std::string(63, 'h');
    want.alert_threshold = 80;
    EXPECT_EQ(p, want);
    // Beyond the size a settings file can have (1 MiB), nothing is read.
    EXPECT_EQ(
        load_text(dir, "{\"alert_threshold\":80,\"x\":\"" + std::string(2u << 20, 'x') + "\"}"),
        OVK_PREFS{});
    EXPECT_TRUE(log.has("cannot read " + dir.file("settings.json") + ": it is too large"));
    ovk_datafile_release(dir.file("settings.json"));
    // 100 MB of binary after a valid start: invalid, defaults stay.
    std::string junk = "{\"alert_threshold\":80,";
    junk.resize(100u << 20, '\x9c');
    EXPECT_EQ(load_text(dir, junk), OVK_PREFS{});
}

TEST(Prefs, WriteIsOrderedAndReadsBack) {
    TempDir dir;
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    OVK_PREFS p;
    p.wifi_iface = "wlp2s0";
    p.category_enabled[OVK_CAT_TRACKER] = 0;
    p.preset_enabled = {0, 1, 1};
    p.theme = OVK_THEME_NIGHT_DRIVE;
    p.map_lat = -33.8688;
    p.map_lon = 151.2093;
    p.dedupe_window_ms = 1234567890123LL;
    ASSERT_EQ(ovk_prefs_set(p), 0);
    const std::string text = ovk_test::read_file(dir.file("settings.json"));
    // Indented, keys in record order.
    const char* keys[] = {"ble_enabled",
                          "wifi_enabled",
                          "scan_interval_ms",
                          "ble_scan_mode",
                          "auto_start_boot",
                          "hci_dev",
                          "wifi_iface",
                          "gpsd_host",
                          "gpsd_port",
                          "demo_mode",
                          "cat_BODY_CAM",
                          "cat_ALPR",
                          "cat_AUDIO_SENSOR",
                          "cat_PUBLIC_SAFETY",
                          "cat_DRONE",
                          "cat_TRACKER",
                          "cat_GLASSES",
                          "cat_RECORDER",
                          "cat_NETWORK_CAMERA",
                          "cat_CELL_ANOMALY",
                          "cat_CUSTOM",
                          "enabled_presets",
                          "sound_enabled",
                          "vibrate_enabled",
                          "voice_enabled",
                          "alerts_muted",
                          "alert_threshold",
                          "discreet_mode",
                          "dedupe_window_ms",
                          "gps_tagging_enabled",
                          "follower_alerts",
                          "known_alpr_alerts",
                          "show_known_alpr",
                          "auto_record_trace",
                          "follow_min_minutes",
                          "follow_min_meters",
                          "retention_days",
                          "app_theme",
                          "ui_size",
                          "radar_view",
                          "radar_names",
                          "setup_wizard_done",
                          "map_lat",
                          "map_lon",
                          "map_zoom",
                          "map_tiles",
                          "overpass_url",
                          "tile_server",
                          "mqtt_url",
                          "sensor_name",
                          "mqtt_user",
                          "mqtt_password_file",
                          "mqtt_ca_file",
                          "mqtt_adverts",
                          "ha_discovery_prefix",
                          "fleet_url",
                          "fleet_group",
                          "notify_url",
                          "notify_format"};
    OVK_JSON j = ovk_json_parse(text);
    ASSERT_TRUE(j);
    const cJSON* item = j->child;
    for (const char* k : keys) {
        ASSERT_NE(item, nullptr) << k;
        EXPECT_STREQ(item->string, k);
        item = item->next;
    }
    EXPECT_EQ(item, nullptr);
    EXPECT_NE(text.find("\n\t\"ble_enabled\":\ttrue,"), std::string::npos);
    EXPECT_NE(text.find("\"enabled_presets\":\t[\"canada\", \"us\"]"), std::string::npos);
    EXPECT_NE(text.find("\"app_theme\":\t\"NIGHT_DRIVE\""), std::string::npos);
    EXPECT_NE(text.find("\"hci_dev\":\t-1,"), std::string::npos);
    EXPECT_NE(text.find("\"dedupe_window_ms\":\t1234567890123,"), std::string::npos);

    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_get(), p);
}

TEST(Prefs, EmptyTextsAndOutOfRangeThemeAreWritten) {
    OVK_PREFS p;
    p.gpsd_host = "";
    p.theme = static_cast<OVK_THEME_ID>(42);
    OVK_JSON j = ovk_prefs_to_json(p);
    ASSERT_TRUE(j);
    std::string s;
    EXPECT_EQ(ovk_json_str(j.get(), "gpsd_host", s, 64), 1);
    EXPECT_EQ(s, "");
    EXPECT_EQ(ovk_json_str(j.get(), "wifi_iface", s, 64), 1);
    EXPECT_EQ(ovk_json_str(j.get(), "app_theme", s, 64), 1);
    EXPECT_EQ(s, "SYSTEM");
    // An empty host written out also reads back empty.
    OVK_PREFS back;
    ovk_prefs_from_json(j.get(), back);
    EXPECT_EQ(back.gpsd_host, "");
    EXPECT_EQ(back.theme, OVK_THEME_SYSTEM);
}

TEST(Prefs, SerialRisesOnEveryLoadAndSetEvenWhenTheWriteFails) {
    TempDir dir;
    const unsigned s0 = ovk_prefs_serial();
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_serial(), s0 + 1);
    OVK_PREFS p = ovk_prefs_get();
    p.alert_threshold = 77;
    ASSERT_EQ(ovk_prefs_set(p), 0);
    EXPECT_EQ(ovk_prefs_serial(), s0 + 2);
    // The directory goes away and a regular file takes its place: the write fails, the
    // record in memory keeps the new values.
    ovk_test::TempDir::remove_tree(dir.path());
    ovk_test::write_file(dir.path(), "not a directory");
    p.alert_threshold = 88;
    {
        LogCapture log;
        EXPECT_EQ(ovk_prefs_set(p), -1);
        EXPECT_TRUE(log.has("cannot write " + dir.file("settings.json.tmp")));
    }
    EXPECT_EQ(ovk_prefs_serial(), s0 + 3);
    EXPECT_EQ(ovk_prefs_alert_threshold(), 88);
    EXPECT_EQ(ovk_prefs_get().alert_threshold, 88);
    unlink(dir.path().c_str());
    ASSERT_EQ(mkdir(dir.path().c_str(), 0700), 0);
    // The next successful write brings the file up to date with everything set meanwhile.
    p.sound_enabled = 0;
    ASSERT_EQ(ovk_prefs_set(p), 0);
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_get(), p);
    EXPECT_EQ(ovk_prefs_get().alert_threshold, 88);
}

// The map's place is stored on its own: the rest of the record stays as another thread last
// set it, the serial rises and the file holds both.
TEST(Prefs, TheMapPlaceChangesOnlyItsOwnFields) {
    TempDir dir;
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_NIGHT_DRIVE;
    p.alert_threshold = 72;
    ASSERT_EQ(ovk_prefs_set(p), 0);
    const unsigned serial = ovk_prefs_serial();
    ASSERT_EQ(ovk_prefs_set_map_place(45.4215, -75.6972, 17), 0);
    EXPECT_EQ(ovk_prefs_serial(), serial + 1);
    OVK_PREFS want = p;
    want.map_lat = 45.4215;
    want.map_lon = -75.6972;
    want.map_zoom = 17;
    EXPECT_EQ(ovk_prefs_get(), want);
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_get(), want) << "as written to the file";
}

// The pipeline reads the settings for every advertisement and the window on every tick: a
// write of the file on a slow disk keeps neither waiting (the file used to be written under
// the settings' lock). Two writes on top of each other leave the newer in the file.
TEST(Prefs, ReadersNeverWaitForTheFileToBeWritten) {
    TempDir dir;
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    OVK_PREFS p = ovk_prefs_get();
    p.alert_threshold = 61;
    ovk_test::HeldWrites writes;
    auto first = std::async(std::launch::async, [p] { return ovk_prefs_set(p); });
    ASSERT_TRUE(writes.begun(1));
    auto reader = std::async(std::launch::async, [] {
        return ovk_prefs_category_enabled(OVK_CAT_BODY_CAM) * 1000 +
               ovk_prefs_get().alert_threshold;
    });
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready)
        << "a reader waited for the disk";
    EXPECT_EQ(reader.get() % 1000, 61) << "the change is in force while it is written";
    p.alert_threshold = 62;
    auto second = std::async(std::launch::async, [p] { return ovk_prefs_set(p); });
    writes.release();
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    EXPECT_FALSE(writes.timed_out());
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    EXPECT_EQ(ovk_prefs_get().alert_threshold, 62) << "the file holds the newer";
}

TEST(Prefs, CategoryQueries) {
    TempDir dir;
    ASSERT_EQ(ovk_prefs_load(dir.path()), 0);
    OVK_PREFS p = ovk_prefs_get();
    p.category_enabled[OVK_CAT_ALPR] = 0;
    ASSERT_EQ(ovk_prefs_set(p), 0);
    EXPECT_EQ(ovk_prefs_category_enabled(OVK_CAT_ALPR), 0);
    EXPECT_EQ(ovk_prefs_category_enabled(OVK_CAT_DRONE), 1);
    EXPECT_EQ(ovk_prefs_category_enabled(-1), 0);
    EXPECT_EQ(ovk_prefs_category_enabled(OVK_CAT_COUNT), 0);
}

TEST(Prefs, NameTables) {
    EXPECT_STREQ(ovk_theme_name(OVK_THEME_PAPER), "PAPER");
    EXPECT_STREQ(ovk_theme_title(OVK_THEME_AMBER), "Amber CRT");
    EXPECT_STREQ(ovk_theme_description(OVK_THEME_LIGHT), "Always light");
    EXPECT_STREQ(ovk_theme_name(12), "SYSTEM");
    EXPECT_STREQ(ovk_theme_title(-1), "System default");
    EXPECT_STREQ(ovk_preset_name(0), "global");
    EXPECT_STREQ(ovk_preset_name(1), "canada");
    EXPECT_STREQ(ovk_preset_name(2), "us");
    EXPECT_STREQ(ovk_preset_name(3), "");
    EXPECT_STREQ(ovk_preset_name(-1), "");
}
