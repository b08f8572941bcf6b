// SPDX-License-Identifier: GPL-3.0-or-later
// Process-wide preferences with built-in defaults, kept in "settings.json" in the data
// directory. Readers take whole copies under the module's lock; a serial number tells the
// interface that the record changed. Also the theme and watchlist-preset name tables.
#pragma once

#include <cjson/cJSON.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ovk_app_util.h"
#include "ovk_category.h"

enum OVK_THEME_ID : int {
    OVK_THEME_SYSTEM = 0,
    OVK_THEME_LIGHT = 1,
    OVK_THEME_DARK = 2,
    OVK_THEME_MATERIAL = 3,
    OVK_THEME_DEDSEC = 4,
    OVK_THEME_NIGHT_DRIVE = 5,
    OVK_THEME_NIGHT_VISION = 6,
    OVK_THEME_AMBER = 7,
    OVK_THEME_SYNTHWAVE = 8,
    OVK_THEME_TACTICAL = 9,
    OVK_THEME_BLUEPRINT = 10,
    OVK_THEME_PAPER = 11,
};
inline constexpr int OVK_THEME_COUNT = 12;

struct THEME_DEF {
    const char* name;  // what the settings file stores
    const char* title;
    const char* description;
};

// Built-in watchlist presets: 0 "global", 1 "canada", 2 "us".
inline constexpr int OVK_PRESET_COUNT = 3;

// Text limits (bytes, without terminator).
inline constexpr size_t OVK_PREFS_IFACE_MAX = 31;
inline constexpr size_t OVK_PREFS_HOST_MAX = 63;
inline constexpr size_t OVK_PREFS_URL_MAX = 255;
inline constexpr size_t OVK_PREFS_PATH_MAX = 1023;
inline constexpr size_t OVK_PREFS_SENSOR_MAX = 32;
inline constexpr size_t OVK_PREFS_USER_MAX = 127;

// The OpenStreetMap standard tile server, the default of `tile_server`.
inline constexpr const char* OVK_TILE_SERVER_DEFAULT = "https://tile.openstreetmap.org";

// Each category's default flag, from the category table.
std::array<int, OVK_CAT_COUNT> ovk_prefs_default_categories();

// The preferences; a default-constructed record holds the defaults.
struct OVK_PREFS {
    int ble_enabled = 1;
    int wifi_enabled = 1;
    int64_t scan_interval_ms = 30000;     // Wi-Fi scan interval
    int ble_scan_mode = 2;                // 2 maximum detection, 1 balanced, 0 battery saver
    int auto_start = 0;                   // start scanning when the program starts
    int hci_dev = -1;                     // -1: first adapter that is up
    std::string wifi_iface;               // empty: every wireless interface; cut to 31
    std::string gpsd_host = "127.0.0.1";  // cut to 63
    int gpsd_port = 2947;
    int demo_mode = 0;
    std::array<int, OVK_CAT_COUNT> category_enabled = ovk_prefs_default_categories();
    std::array<int, OVK_PRESET_COUNT> preset_enabled{1, 1, 0};
    int sound_enabled = 1;
    int vibrate_enabled = 1;
    int voice_enabled = 0;
    int alerts_muted = 0;
    int alert_threshold = 50;  // lowest confidence that alerts
    int discreet_mode = 0;
    int64_t dedupe_window_ms = 300000;  // re-alert cool-down per device
    int gps_tagging = 0;
    int follower_alerts = 1;
    int known_alpr_alerts = 1;
    int show_known_alpr = 1;
    int auto_record_trace = 0;
    int follow_min_minutes = 10;
    int follow_min_meters = 800;
    int retention_days = 90;  // 0 = forever
    OVK_THEME_ID theme = OVK_THEME_SYSTEM;
    int ui_size = 1;  // 0 small .. 3 extra large
    int radar_view = 0;
    int radar_names = 1;
    int onboarding_done = 0;
    double map_lat = 0.0;
    double map_lon = 0.0;
    int map_zoom = 15;
    int map_tiles = 1;
    // Where plate cameras are downloaded from (an Overpass API interpreter); read at start-up.
    // Empty means the public default. Cut to 255.
    std::string overpass_url = "https://overpass-api.de/api/interpreter";
    // Where map tiles come from: the address that "/Z/X/Y.png" follows. Empty means the
    // default, the OpenStreetMap standard tile server. Cut to 255.
    std::string tile_server = OVK_TILE_SERVER_DEFAULT;
    // Reporting to an MQTT broker (read at start-up). mqtt_url "mqtt://HOST[:PORT]/PREFIX" or
    // "mqtts://..." makes this machine a sensor that publishes under PREFIX/SENSOR/;
    // sensor_name is SENSOR (empty: the host name). The password comes from the file named by
    // mqtt_password_file (only its owner may read it) or ORVIK_MQTT_PASSWORD, never from here.
    std::string mqtt_url;
    std::string sensor_name;  // letters, digits, - and _; cut to 32
    std::string mqtt_user;    // cut to 127
    std::string mqtt_password_file;
    std::string mqtt_ca_file;  // a private CA for mqtts
    int mqtt_adverts = 0;      // also publish every advertisement (QoS 0)
    // Home Assistant discovery topics go under this prefix; empty turns discovery off.
    std::string ha_discovery_prefix = "homeassistant";
    // The central side: every sensor under the prefix of fleet_url is shown and stored;
    // fleet_group shares the load between central instances ($share/GROUP/...).
    std::string fleet_url;
    std::string fleet_group;  // cut to 63
    // Where each alert is POSTed (http or https); notify_format "text" sends plain text,
    // anything else JSON.
    std::string notify_url;
    std::string notify_format = "json";

    bool operator==(const OVK_PREFS&) const = default;
};

// Fills `p` with the defaults.
void ovk_prefs_defaults(OVK_PREFS& p);
// Resets to the defaults, remembers the directory and applies "settings.json" from it
// when it exists and parses; raises the serial. -1 for an empty directory, else 0.
int ovk_prefs_load(std::string_view data_dir);
// A copy of the whole record (the defaults before the first load).
OVK_PREFS ovk_prefs_get();
// Replaces the record and raises the serial; once a directory is known, also writes the
// settings file atomically and returns the write's result. 0 / -1. While the settings file
// did not load (ovk_prefs_file_ok() is 0) this changes memory only and writes nothing: the
// defaults in force are not the user's choice and must not replace the file.
int ovk_prefs_set(const OVK_PREFS& p);
// The user's own save (the Settings screen, the end of the setup): as ovk_prefs_set, but it
// also writes while the settings file did not load, and once written the settings are the
// user's (ovk_prefs_file_ok() becomes 1). 0 / -1.
int ovk_prefs_save(const OVK_PREFS& p);
// As ovk_prefs_set with only the map's place changed (map_lat, map_lon, map_zoom), taken and
// stored under one lock, so that a change saved at the same moment from another thread is not
// undone. 0 / -1.
int ovk_prefs_set_map_place(double lat, double lon, int zoom);
// The window's way: replaces the record and raises the serial at once, leaving the file to
// ovk_prefs_flush, which the window runs off its own thread. `users_save` as ovk_prefs_save.
void ovk_prefs_put(const OVK_PREFS& p, bool users_save);
// Writes the record in force to the settings file when it changed since the last write, under
// the same rules as ovk_prefs_set and ovk_prefs_save. The settings stay readable while the
// file is written (ovk_prefs_get never waits on the disk). 0 when written or when there was
// nothing to write; -1 when the write failed (the next write tries again).
int ovk_prefs_flush();
// 0 when the settings in force did not come from a file that loaded: the last load found a
// settings file it could not read or parse (the defaults are in force; a damaged file is kept
// as settings.json.bad-<time>, an unreadable one is not written over) and the user has not
// saved settings since. Retention pruning waits for settings that are the user's.
int ovk_prefs_file_ok();
// For the status line while a damaged settings file stands aside: "Settings file was damaged
// - kept as settings.json.bad-<time>; using defaults until you save Settings"; else "".
std::string ovk_prefs_note();
// The number of loads and sets so far.
unsigned ovk_prefs_serial();
// The category's flag, 0 outside 0..10.
int ovk_prefs_category_enabled(int c);
int ovk_prefs_alert_threshold();

// Applies the members present in a settings object over `p` (absent or wrongly typed
// members keep what `p` holds).
void ovk_prefs_from_json(const cJSON* o, OVK_PREFS& p);
// The settings object, keys in the record's order; nullptr when it cannot be built.
OVK_JSON ovk_prefs_to_json(const OVK_PREFS& p);

// Theme table texts; a value outside 0..11 gives the SYSTEM row.
const char* ovk_theme_name(int t);
const char* ovk_theme_title(int t);
const char* ovk_theme_description(int t);
// "global", "canada", "us"; "" for any other index.
const char* ovk_preset_name(int i);
