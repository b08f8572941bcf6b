// SPDX-License-Identifier: GPL-3.0-or-later
// Preferences: defaults, the settings file and the theme / preset name tables.
#include "ovk_prefs.h"

#include <mutex>
#include <variant>

#include "ovk_datafile.h"
#include "zq_log.h"

namespace {

constexpr THEME_DEF kThemes[OVK_THEME_COUNT] = {
    {"SYSTEM", "System default", "Teal - follows your phone's light / dark setting"},
    {"LIGHT", "Light", "Always light"},
    {"DARK", "Dark", "Always dark"},
    {"MATERIAL_YOU", "Material You", "Material 3, coloured from your wallpaper (Android 12+)"},
    {"DEDSEC", "DedSec", "Hacker terminal: black, neon cyan & magenta, glitching wordmark"},
    {"NIGHT_DRIVE", "Night Drive",
     "Red-only cockpit lighting that keeps your night vision on dark roads"},
    {"NIGHT_VISION", "Night Vision",
     "Green phosphor image intensifier with grain and a scope vignette"},
    {"AMBER", "Amber CRT", "1980s monochrome terminal with a blinking cursor"},
    {"SYNTHWAVE", "Synthwave", "Neon pink and cyan, a striped sunset over a wireframe grid"},
    {"TACTICAL", "Tactical", "Olive drab and coyote tan, stencil callsign, low glare"},
    {"BLUEPRINT", "Blueprint", "White technical drawing on drafting blue, with dimension lines"},
    {"PAPER", "Paper", "Newspaper ink on newsprint - the most readable theme in bright sunlight"},
};

constexpr const char* kPresets[OVK_PRESET_COUNT] = {"global", "canada", "us"};

constexpr const char* kFileName = "settings.json";
constexpr size_t kDirMax = 1023;

// One settings-file member. The table below is in file order; the special kinds sit where
// their keys go.
enum class Kind { Bool, Int, I64, Dbl, Str, Categories, Presets, Theme, UiSize };

using Member = std::variant<std::monostate, int OVK_PREFS::*, int64_t OVK_PREFS::*,
                            double OVK_PREFS::*, std::string OVK_PREFS::*>;

struct Field {
    const char* key;
    Kind kind;
    Member member;
    size_t max = 0;  // text fields: longest text kept
};

const Field kFields[] = {
    {"ble_enabled", Kind::Bool, &OVK_PREFS::ble_enabled},
    {"wifi_enabled", Kind::Bool, &OVK_PREFS::wifi_enabled},
    {"scan_interval_ms", Kind::I64, &OVK_PREFS::scan_interval_ms},
    {"ble_scan_mode", Kind::Int, &OVK_PREFS::ble_scan_mode},
    {"auto_start_boot", Kind::Bool, &OVK_PREFS::auto_start},
    {"hci_dev", Kind::Int, &OVK_PREFS::hci_dev},
    {"wifi_iface", Kind::Str, &OVK_PREFS::wifi_iface, OVK_PREFS_IFACE_MAX},
    {"gpsd_host", Kind::Str, &OVK_PREFS::gpsd_host, OVK_PREFS_HOST_MAX},
    {"gpsd_port", Kind::Int, &OVK_PREFS::gpsd_port},
    {"demo_mode", Kind::Bool, &OVK_PREFS::demo_mode},
    {"cat_", Kind::Categories, std::monostate{}},
    {"enabled_presets", Kind::Presets, std::monostate{}},
    {"sound_enabled", Kind::Bool, &OVK_PREFS::sound_enabled},
    {"vibrate_enabled", Kind::Bool, &OVK_PREFS::vibrate_enabled},
    {"voice_enabled", Kind::Bool, &OVK_PREFS::voice_enabled},
    {"alerts_muted", Kind::Bool, &OVK_PREFS::alerts_muted},
    {"alert_threshold", Kind::Int, &OVK_PREFS::alert_threshold},
    {"discreet_mode", Kind::Bool, &OVK_PREFS::discreet_mode},
    {"dedupe_window_ms", Kind::I64, &OVK_PREFS::dedupe_window_ms},
    {"gps_tagging_enabled", Kind::Bool, &OVK_PREFS::gps_tagging},
    {"follower_alerts", Kind::Bool, &OVK_PREFS::follower_alerts},
    {"known_alpr_alerts", Kind::Bool, &OVK_PREFS::known_alpr_alerts},
    {"show_known_alpr", Kind::Bool, &OVK_PREFS::show_known_alpr},
    {"auto_record_trace", Kind::Bool, &OVK_PREFS::auto_record_trace},
    {"follow_min_minutes", Kind::Int, &OVK_PREFS::follow_min_minutes},
    {"follow_min_meters", Kind::Int, &OVK_PREFS::follow_min_meters},
    {"retention_days", Kind::Int, &OVK_PREFS::retention_days},
    {"app_theme", Kind::Theme, std::monostate{}},
    {"ui_size", Kind::UiSize, &OVK_PREFS::ui_size},
    {"radar_view", Kind::Bool, &OVK_PREFS::radar_view},
    {"radar_names", Kind::Bool, &OVK_PREFS::radar_names},
    {"setup_wizard_done", Kind::Bool, &OVK_PREFS::onboarding_done},
    {"map_lat", Kind::Dbl, &OVK_PREFS::map_lat},
    {"map_lon", Kind::Dbl, &OVK_PREFS::map_lon},
    {"map_zoom", Kind::Int, &OVK_PREFS::map_zoom},
    {"map_tiles", Kind::Bool, &OVK_PREFS::map_tiles},
    {"overpass_url", Kind::Str, &OVK_PREFS::overpass_url, OVK_PREFS_URL_MAX},
    {"tile_server", Kind::Str, &OVK_PREFS::tile_server, OVK_PREFS_URL_MAX},
    {"mqtt_url", Kind::Str, &OVK_PREFS::mqtt_url, OVK_PREFS_URL_MAX},
    {"sensor_name", Kind::Str, &OVK_PREFS::sensor_name, OVK_PREFS_SENSOR_MAX},
    {"mqtt_user", Kind::Str, &OVK_PREFS::mqtt_user, OVK_PREFS_USER_MAX},
    {"mqtt_password_file", Kind::Str, &OVK_PREFS::mqtt_password_file, OVK_PREFS_PATH_MAX},
    {"mqtt_ca_file", Kind::Str, &OVK_PREFS::mqtt_ca_file, OVK_PREFS_PATH_MAX},
    {"mqtt_adverts", Kind::Bool, &OVK_PREFS::mqtt_adverts},
    {"ha_discovery_prefix", Kind::Str, &OVK_PREFS::ha_discovery_prefix, OVK_PREFS_URL_MAX},
    {"fleet_url", Kind::Str, &OVK_PREFS::fleet_url, OVK_PREFS_URL_MAX},
    {"fleet_group", Kind::Str, &OVK_PREFS::fleet_group, OVK_PREFS_HOST_MAX},
    {"notify_url", Kind::Str, &OVK_PREFS::notify_url, OVK_PREFS_URL_MAX},
    {"notify_format", Kind::Str, &OVK_PREFS::notify_format, OVK_PREFS_IFACE_MAX},
};

std::string cat_key(int c) {
    return std::string("cat_") + ovk_cat_name(c);
}

void read_presets(const cJSON* arr, OVK_PREFS& p) {
    if (!cJSON_IsArray(arr)) return;
    p.preset_enabled.fill(0);
    const cJSON* el = nullptr;
    cJSON_ArrayForEach(el, arr) {
        if (!cJSON_IsString(el) || !el->valuestring) continue;
        const std::string_view name(el->valuestring);
        int found = -1;
        for (int i = 0; i < OVK_PRESET_COUNT; ++i)
            if (name == kPresets[i]) found = i;
        // A name of no preset is taken to mean the regional default.
        p.preset_enabled[static_cast<size_t>(found >= 0 ? found : 1)] = 1;
    }
}

void read_field(const cJSON* o, const Field& f, OVK_PREFS& p) {
    switch (f.kind) {
        case Kind::Bool:
            p.*std::get<int OVK_PREFS::*>(f.member) =
                ovk_json_bool(o, f.key, p.*std::get<int OVK_PREFS::*>(f.member));
            break;
        case Kind::Int:
        case Kind::UiSize: {
            int& v = p.*std::get<int OVK_PREFS::*>(f.member);
            v = ovk_json_int(o, f.key, v);
            if (f.kind == Kind::UiSize && (v < 0 || v > 3)) v = 1;
            break;
        }
        case Kind::I64: {
            int64_t& v = p.*std::get<int64_t OVK_PREFS::*>(f.member);
            v = ovk_json_i64(o, f.key, v);
            break;
        }
        case Kind::Dbl: {
            double& v = p.*std::get<double OVK_PREFS::*>(f.member);
            v = ovk_json_num(o, f.key, v);
            break;
        }
        case Kind::Str: {
            std::string text;
            if (ovk_json_str(o, f.key, text, f.max + 1))
                p.*std::get<std::string OVK_PREFS::*>(f.member) = text;
            break;
        }
        case Kind::Categories:
            for (int c = 0; c < OVK_CAT_COUNT; ++c) {
                int& v = p.category_enabled[static_cast<size_t>(c)];
                v = ovk_json_bool(o, cat_key(c).c_str(), v);
            }
            break;
        case Kind::Presets:
            read_presets(cJSON_GetObjectItemCaseSensitive(o, f.key), p);
            break;
        case Kind::Theme: {
            std::string name;
            if (!ovk_json_str(o, f.key, name, 32)) break;
            p.theme = OVK_THEME_SYSTEM;
            for (int t = 0; t < OVK_THEME_COUNT; ++t)
                if (name == kThemes[t].name) p.theme = static_cast<OVK_THEME_ID>(t);
            break;
        }
    }
}

// 0 / -1
int write_field(cJSON* o, const Field& f, const OVK_PREFS& p) {
    switch (f.kind) {
        case Kind::Bool:
            return cJSON_AddBoolToObject(o, f.key, p.*std::get<int OVK_PREFS::*>(f.member) != 0)
                       ? 0
                       : -1;
        case Kind::Int:
        case Kind::UiSize:
            return ovk_json_add_i64(o, f.key, p.*std::get<int OVK_PREFS::*>(f.member));
        case Kind::I64:
            return ovk_json_add_i64(o, f.key, p.*std::get<int64_t OVK_PREFS::*>(f.member));
        case Kind::Dbl:
            return cJSON_AddNumberToObject(o, f.key, p.*std::get<double OVK_PREFS::*>(f.member))
                       ? 0
                       : -1;
        case Kind::Str:
            return ovk_json_add_str(o, f.key, p.*std::get<std::string OVK_PREFS::*>(f.member));
        case Kind::Categories:
            for (int c = 0; c < OVK_CAT_COUNT; ++c)
                if (!cJSON_AddBoolToObject(o, cat_key(c).c_str(),
                                           p.category_enabled[static_cast<size_t>(c)] != 0))
                    return -1;
            return 0;
        case Kind::Presets: {
            cJSON* arr = cJSON_AddArrayToObject(o, f.key);
            if (!arr) return -1;
            for (int i = 0; i < OVK_PRESET_COUNT; ++i) {
                if (!p.preset_enabled[static_cast<size_t>(i)]) continue;
                cJSON* s = cJSON_CreateString(kPresets[i]);
                if (!s) return -1;
                cJSON_AddItemToArray(arr, s);
            }
            return 0;
        }
        case Kind::Theme:
            return ovk_json_add_str(o, f.key, ovk_theme_name(p.theme));
    }
    return -1;
}

// Two locks: `mu` guards the record and is only ever held for memory work (the pipeline and
// the window read the settings under it all the time); `file_mu` keeps one write of the file
// at a time and is taken before `mu`, never while holding it.
struct State {
    std::mutex mu;
    OVK_PREFS prefs;
    bool initialised = false;
    std::string dir;
    unsigned serial = 0;
    bool file_ok = true;       // the settings file was missing or read whole at the last load
    std::string kept_as;       // the name the damaged settings file was kept under, or ""
    bool dirty = false;        // changed since the last write began
    bool dirty_users = false;  // and one of those changes was the user's own save
    std::mutex file_mu;
};

State& state() {
    static State s;
    return s;
}

std::string settings_path(const std::string& dir) {
    return dir + "/" + kFileName;
}

}  // namespace

std::array<int, OVK_CAT_COUNT> ovk_prefs_default_categories() {
    std::array<int, OVK_CAT_COUNT> a{};
    for (int c = 0; c < OVK_CAT_COUNT; ++c)
        a[static_cast<size_t>(c)] = ovk_cat_default_enabled(c) ? 1 : 0;
    return a;
}

void ovk_prefs_defaults(OVK_PREFS& p) {
    p = OVK_PREFS{};
}

void ovk_prefs_from_json(const cJSON* o, OVK_PREFS& p) {
    if (!cJSON_IsObject(o)) return;
    try {
        for (const Field& f : kFields) read_field(o, f, p);
    } catch (const std::exception&) {
        zq_log(LOG_ERR, "settings: out of memory while reading");
    }
}

OVK_JSON ovk_prefs_to_json(const OVK_PREFS& p) {
    OVK_JSON o(cJSON_CreateObject());
    if (!o) return nullptr;
    try {
        for (const Field& f : kFields)
            if (write_field(o.get(), f, p) != 0) return nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
    return o;
}

int ovk_prefs_load(std::string_view data_dir) {
    OVK_CHECK(!data_dir.empty(), -1);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        s.prefs = OVK_PREFS{};
        s.initialised = true;
        s.dir.assign(data_dir.substr(0, std::min(data_dir.size(), kDirMax)));
        s.file_ok = true;
        s.kept_as.clear();
        s.dirty = s.dirty_users = false;
        const std::string path = settings_path(s.dir);
        OVK_DATAFILE f = ovk_datafile_read(path, OVK_DATAFILE_SETTINGS_MAX);
        if (f.state == OVK_DATAFILE_STATE::Unreadable) {
            s.file_ok = false;
        } else if (f.state == OVK_DATAFILE_STATE::Loaded) {
            OVK_JSON j = ovk_json_parse(f.view.view());
            if (cJSON_IsObject(j.get())) {
                ovk_prefs_from_json(j.get(), s.prefs);
            } else {
                s.file_ok = false;
                const std::string copy = ovk_datafile_damaged(path, f.view.view());
                s.kept_as = copy.substr(copy.rfind('/') + 1);
            }
        }
    } catch (const std::exception&) {
        zq_log(LOG_ERR, "settings: out of memory while loading");
    }
    ++s.serial;
    return 0;
}

OVK_PREFS ovk_prefs_get() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.initialised) {
        s.prefs = OVK_PREFS{};
        s.initialised = true;
    }
    try {
        return s.prefs;
    } catch (const std::exception&) {
        return OVK_PREFS{};
    }
}

namespace {

// Replaces the record; the file is written by ovk_prefs_flush.
void put_locked(State& s, const OVK_PREFS& p, bool users_save) {
    ++s.serial;
    s.initialised = true;
    s.prefs = p;
    s.dirty = true;
    s.dirty_users = s.dirty_users || users_save;
}

int store_prefs(const OVK_PREFS& p, bool users_save) {
    ovk_prefs_put(p, users_save);
    return ovk_prefs_flush();
}

}  // namespace

int ovk_prefs_set_map_place(double lat, double lon, int zoom) {
    State& s = state();
    try {
        std::lock_guard<std::mutex> lock(s.mu);
        OVK_PREFS p = s.initialised ? s.prefs : OVK_PREFS{};
        p.map_lat = lat;
        p.map_lon = lon;
        p.map_zoom = zoom;
        put_locked(s, p, false);
    } catch (const std::exception&) {
        zq_log(LOG_ERR, "settings: out of memory while saving");
        return -1;
    }
    return ovk_prefs_flush();
}

void ovk_prefs_put(const OVK_PREFS& p, bool users_save) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        put_locked(s, p, users_save);
    } catch (const std::exception&) {
        zq_log(LOG_ERR, "settings: out of memory while saving");
    }
}

int ovk_prefs_flush() {
    State& s = state();
    try {
        std::lock_guard<std::mutex> file_lock(s.file_mu);
        OVK_PREFS p;
        std::string dir;
        bool users = false;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            if (!s.dirty || s.dir.empty()) return 0;
            // While the settings in force are defaults standing in for a file that did not
            // load, only the user's own save writes: an automatic one (the map's position, a
            // toggle) would store the default retention and an unfinished setup, and the next
            // start would prune history by them. (An unreadable file is held instead: the
            // write below is refused and says so.)
            users = s.dirty_users;
            if (!s.file_ok && !s.kept_as.empty() && !users) return 0;
            p = s.prefs;
            dir = s.dir;
            s.dirty = s.dirty_users = false;
        }
        // The record is written outside `mu`: readers of the settings never wait on the disk.
        OVK_JSON j = ovk_prefs_to_json(p);
        const bool written = j && ovk_json_write_file(settings_path(dir), j.get(), true) == 0;
        std::lock_guard<std::mutex> lock(s.mu);
        if (!written) {
            // Tried again by the next write, with whatever changed meanwhile.
            s.dirty = true;
            s.dirty_users = s.dirty_users || users;
            return -1;
        }
        s.file_ok = true;
        s.kept_as.clear();
        return 0;
    } catch (const std::exception&) {
        zq_log(LOG_ERR, "settings: out of memory while saving");
        return -1;
    }
}

int ovk_prefs_set(const OVK_PREFS& p) {
    return store_prefs(p, false);
}

int ovk_prefs_save(const OVK_PREFS& p) {
    return store_prefs(p, true);
}

int ovk_prefs_file_ok() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.file_ok ? 1 : 0;
}

std::string ovk_prefs_note() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    try {
        if (s.file_ok || s.kept_as.empty()) return {};
        return "Settings file was damaged - kept as " + s.kept_as +
               "; using defaults until you save Settings";
    } catch (const std::exception&) {
        return {};
    }
}

unsigned ovk_prefs_serial() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.serial;
}

int ovk_prefs_category_enabled(int c) {
    if (c < 0 || c >= OVK_CAT_COUNT) return 0;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.initialised) return ovk_cat_default_enabled(c) ? 1 : 0;
    return s.prefs.category_enabled[static_cast<size_t>(c)];
}

int ovk_prefs_alert_threshold() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.initialised ? s.prefs.alert_threshold : OVK_PREFS{}.alert_threshold;
}

const char* ovk_theme_name(int t) {
    return kThemes[(t >= 0 && t < OVK_THEME_COUNT) ? t : 0].name;
}
const char* ovk_theme_title(int t) {
    return kThemes[(t >= 0 && t < OVK_THEME_COUNT) ? t : 0].title;
}
const char* ovk_theme_description(int t) {
    return kThemes[(t >= 0 && t < OVK_THEME_COUNT) ? t : 0].description;
}
const char* ovk_preset_name(int i) {
    return (i >= 0 && i < OVK_PRESET_COUNT) ? kPresets[i] : "";
}
