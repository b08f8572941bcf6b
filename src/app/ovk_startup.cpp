// SPDX-License-Identifier: GPL-3.0-or-later
// The command line and the engine's ordered start-up and shutdown.
#include "ovk_startup.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "ovk_app_util.h"
#include "ovk_datafile.h"
#include "ovk_fleet.h"
#include "ovk_fleetmsg.h"
#include "ovk_mqtt.h"
#include "ovk_notify.h"
#include "ovk_prefs.h"
#include "ovk_record.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

constexpr long kDurationMax = 100L * 365 * 86400;  // a hundred years

int to_int(std::string_view v) {
    const std::string s(v);
    return static_cast<int>(std::strtol(s.c_str(), nullptr, 10));
}

// A replay speed: a finite number of at least 0 (anything else reads as 0, flat out).
double to_speed(std::string_view v) {
    const std::string s(v);
    const double d = std::strtod(s.c_str(), nullptr);
    return std::isfinite(d) && d > 0 ? d : 0;
}

// The hooks with the replay feed standing in for the platform's scanners.
OVK_PIPELINE_HOOKS replay_hooks(OVK_PIPELINE_HOOKS h, const OVK_OPTS& o,
                                const OVK_REPLAY_CAPTURE_OPEN& capture) {
    OVK_REPLAY_OPTS r;
    r.path = *o.replay;
    r.speed = o.replay_speed;
    r.backlog = ovk_pipeline_pending;
    r.capture = capture;
    h.scan_start = [r](const OVK_SCAN_OPTS&) { return ovk_replay_start(r, ovk_pipeline_sink()); };
    h.scan_stop = [] { ovk_replay_stop(); };
    h.scan_running = [] { return ovk_replay_running(); };
    h.scan_status = [] { return ovk_replay_status(); };
    h.scan_health = nullptr;  // the recording stands in for the radios
    h.now_ms = [] { return ovk_replay_clock(); };
    h.advert_time_is_now = true;
    return h;
}

// An --mqtt / --fleet value: refused on the command line when it is not a broker address.
void broker_option(std::optional<std::string>& slot, std::string& error, const char* name,
                   std::string_view v) {
    OVK_MQTT_URL u;
    const std::string why = ovk_fleetmsg_parse_url(v, u);
    if (!why.empty() && error.empty())
        error = std::string(name) + " " + std::string(v) + ": " + why;
    slot = std::string(v);
}

std::string host_sensor_name() {
    return ovk_fleetmsg_sensor_from_host(zq_fs_host_name());
}

// A central instance's client id: the same at every run on one data directory, so that its
// lasting session (what sensors send while it is down) waits for it at the broker, and
// another for another data directory, so that two instances on one host (and in one group)
// do not take each other's session and push each other off the broker.
std::string central_client_id(const std::string& group, const std::string& dir) {
    char tag[20];
    std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(ovk_fnv1a64(dir)));
    return "orvik-central-" + host_sensor_name() + (group.empty() ? std::string() : "-" + group) +
           "-" + std::string(tag, 8);
}

struct LINKS {
    bool sensor = false;
    bool fleet = false;
    bool notify = false;
};

// Starts the links the options and preferences ask for (see the header).
LINKS start_links(const OVK_OPTS& o, const OVK_HOST& host, const std::string& dir) {
    LINKS on;
    const OVK_PREFS p = ovk_prefs_get();
    const std::string mqtt_url = o.mqtt ? *o.mqtt : p.mqtt_url;
    const std::string fleet_url = o.fleet ? *o.fleet : p.fleet_url;
    std::optional<std::string> password;
    bool password_ok = true;
    if (!mqtt_url.empty() || !fleet_url.empty()) {
        std::string why;
        password = ovk_mqtt_password(p, password_ok, why);
        if (!password_ok)
            zq_log(LOG_ERR, "MQTT: password file %s refused: %s", p.mqtt_password_file.c_str(),
                   why.c_str());
        if (!host.mqtt_connect) zq_log(LOG_ERR, "MQTT: no client on this platform");
    }
    if (!mqtt_url.empty() && host.mqtt_connect && password_ok) {
        OVK_MQTT_SENSOR_OPTS so;
        const std::string why = ovk_fleetmsg_parse_url(mqtt_url, so.url);
        so.sensor = p.sensor_name.empty() ? host_sensor_name() : p.sensor_name;
        if (!why.empty()) {
            zq_log(LOG_ERR, "MQTT: mqtt_url is not a broker address: %s", why.c_str());
        } else if (!ovk_fleetmsg_sensor_name_ok(so.sensor)) {
            zq_log(LOG_ERR,
                   "MQTT: sensor_name may hold only letters, digits, - and _ (1 to 32 of them)");
        } else {
            so.user = p.mqtt_user;
            so.password = password;
            so.ca_file = p.mqtt_ca_file;
            so.adverts = p.mqtt_adverts != 0;
            so.ha_prefix = p.ha_discovery_prefix;
            so.data_dir = dir;
            on.sensor = ovk_mqtt_sensor_start(so, host.mqtt_connect) == 0;
        }
    }
    if (!fleet_url.empty() && host.mqtt_connect && password_ok) {
        OVK_FLEET_OPTS fo;
        const std::string why = ovk_fleetmsg_parse_url(fleet_url, fo.url);
        if (!why.empty()) {
            zq_log(LOG_ERR, "fleet: fleet_url is not a broker address: %s", why.c_str());
        } else {
            fo.group = p.fleet_group;
            fo.user = p.mqtt_user;
            fo.password = password;
            fo.ca_file = p.mqtt_ca_file;
            fo.client_id = central_client_id(fo.group, dir);
            on.fleet = ovk_fleet_start(fo, host.mqtt_connect) == 0;
        }
    }
    if (!p.notify_url.empty() && host.post) {
        OVK_NOTIFY_OPTS no;
        no.url = p.notify_url;
        no.text = p.notify_format == "text";
        no.window_ms = p.dedupe_window_ms;
        on.notify = ovk_notify_start(no, host.post) == 0;
    }
    OVK_PIPELINE_TAPS t;
    if (on.sensor) {
        t.detection = [](const OVK_DETECTION& d) { ovk_mqtt_sensor_detection(d); };
        if (p.mqtt_adverts) t.advert = [](const OVK_ADVERT& a) { ovk_mqtt_sensor_advert(a); };
    }
    if (on.sensor || on.notify) {
        t.alert = [on](const OVK_UI_ALERT& a) {
            // A fleet sensor's alert is that sensor's to publish, not this machine's.
            if (on.sensor && a.sensor.empty()) ovk_mqtt_sensor_alert(a);
            if (on.notify) ovk_notify_alert(a);
        };
    }
    if (on.sensor || on.fleet) {
        t.links = [] {
            std::string a = ovk_mqtt_sensor_status_text();
            const std::string b = ovk_fleet_status_text();
            if (!a.empty() && !b.empty()) a += " | ";
            return a + b;
        };
    }
    ovk_pipeline_set_taps(t);
    return on;
}

void stop_links() {
    ovk_pipeline_set_taps(OVK_PIPELINE_TAPS{});
    ovk_notify_stop();
    ovk_fleet_stop();
    ovk_mqtt_sensor_stop();
}

struct OPENED {
    std::mutex mu;
    bool open = false;
    bool fetch_installed = false;
    std::string dir;
    std::string error;  // why the last open failed
    std::function<void()> platform_shutdown;
};

OPENED& opened() {
    static OPENED* o = new OPENED;  // never destroyed: a late close must still find it
    return *o;
}

// The part of the shutdown that follows the pipeline, in the reverse order of the start-up
// (what was opened last is closed first); shared by a failed open.
void close_below_pipeline(OPENED& st) {
    ovk_replay_stop();  // the feed that stood in for the scanners, should one still run
    ovk_record_close();
    ovk_registry_shutdown();
    ovk_alpr_unload();
    ovk_trip_close();
    ovk_watchlist_unload();
    ovk_store_close();
    ovk_scan_set_demo_override(0);  // the run is over
    ovk_vendordb_unload();
    if (st.fetch_installed) ovk_alpr_set_fetch(OVK_ALPR_FETCH{});
    ovk_datafile_unlock_dir();
    if (st.platform_shutdown) st.platform_shutdown();
    st.platform_shutdown = nullptr;
    st.fetch_installed = false;
    st.dir.clear();
    st.open = false;
}

std::atomic<bool> g_loaded{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Marks the loading over when the start-up returns, by whatever way.
struct LOADED_ON_RETURN {
    LOADED_ON_RETURN() = default;
    LOADED_ON_RETURN(const LOADED_ON_RETURN&) = delete;
    LOADED_ON_RETURN& operator=(const LOADED_ON_RETURN&) = delete;
    ~LOADED_ON_RETURN() { g_loaded.store(true); }
};

}  // namespace

bool ovk_startup_loaded() {
    return g_loaded.load();
}

const std::vector<OVK_OPTION>& ovk_startup_options() {
    static const std::vector<OVK_OPTION> table = {
        {"--scan", nullptr, "--scan        start scanning right away",
         [](OVK_OPTS& o, std::string_view) { o.scan = true; }},
        {"--demo", nullptr, "--demo        feed made-up devices instead of the radios",
         [](OVK_OPTS& o, std::string_view) { o.demo = true; }},
        {"--shots", "DIR",
         "--shots DIR   store screenshots: demo tour of the views, one PNG each into DIR, then "
         "quit",
         [](OVK_OPTS& o, std::string_view v) {
             o.demo = true;
             o.shots = std::string(v);
         },
         true},
        {"--width", "W", "--width/--height  initial window size (desktop)",
         [](OVK_OPTS& o, std::string_view v) { o.width = to_int(v); }, true},
        {"--height", "H", nullptr, [](OVK_OPTS& o, std::string_view v) { o.height = to_int(v); },
         true},
        {"-v", "LEVEL", "-v LEVEL      log level: 3 errors .. 7 debug (default 4)",
         [](OVK_OPTS& o, std::string_view v) { o.log_level = to_int(v); }, true},
        {"--headless", nullptr,
         "--headless    no window: scan at once, print alerts and a status line every 10 s",
         [](OVK_OPTS& o, std::string_view) { o.headless = true; }},
        {"--duration", "S", "--duration S  headless: stop by itself after S seconds",
         [](OVK_OPTS& o, std::string_view v) {
             long n = 0;
             const auto r = std::from_chars(v.data(), v.data() + v.size(), n);
             if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || n < 0 ||
                 n > kDurationMax)
                 o.error = "--duration needs a whole number of seconds (0 or more), not '" +
                           std::string(v) + "'";
             else
                 o.duration_s = n;
         }},
        {"--export", "SCOPE:FORMAT",
         "--export SCOPE:FORMAT  headless: write that export at shutdown and print its path\n"
         "                (scopes session, history, log, watchlist, everything, and trip\n"
         "                 for the latest trace; formats csv, json, kml, gpx, geojson)",
         [](OVK_OPTS& o, std::string_view v) { o.exports.emplace_back(v); }},
        {"--trace", nullptr,
         "--trace       headless: record a trip while running; it is stopped at shutdown",
         [](OVK_OPTS& o, std::string_view) { o.trace = true; }},
        {"--record", "FILE",
         "--record FILE append every advert and GPS fix heard to FILE (JSON Lines, as\n"
         "                orvik-classify reads them)",
         [](OVK_OPTS& o, std::string_view v) { o.record = std::string(v); }},
        {"--replay", "FILE",
         "--replay FILE feed a recording, or a pcap, pcapng or btsnoop capture, instead of\n"
         "                the radios",
         [](OVK_OPTS& o, std::string_view v) { o.replay = std::string(v); }},
        {"--replay-speed", "X",
         "--replay-speed X  replay pace: 1 as recorded (default), 2 twice as fast, 0 as fast\n"
         "                as the pipeline takes it",
         [](OVK_OPTS& o, std::string_view v) { o.replay_speed = to_speed(v); }},
        {"--alpr-download", "S,W,N,E",
         "--alpr-download S,W,N,E  download the plate cameras mapped in OpenStreetMap in that\n"
         "                box (degrees south,west,north,east; at most 2 by 2) into the cache;\n"
         "                without --headless nothing else is done",
         [](OVK_OPTS& o, std::string_view v) { o.alpr_download = std::string(v); }},
        {"--mqtt", "URL",
         "--mqtt URL    report to an MQTT broker as a sensor: mqtt://HOST[:PORT]/PREFIX or\n"
         "                mqtts://...; the name is the setting sensor_name (default the host\n"
         "                name), the password comes from mqtt_password_file or\n"
         "                ORVIK_MQTT_PASSWORD",
         [](OVK_OPTS& o, std::string_view v) { broker_option(o.mqtt, o.error, "--mqtt", v); }},
        {"--fleet", "URL",
         "--fleet URL   show and store the sensors reporting under that broker address",
         [](OVK_OPTS& o, std::string_view v) { broker_option(o.fleet, o.error, "--fleet", v); }},
        {"--alerts-json", nullptr,
         "--alerts-json headless: print every alert and status line as one JSON object",
         [](OVK_OPTS& o, std::string_view) { o.alerts_json = true; }},
        {"--version", nullptr, "--version     print the version and exit",
         [](OVK_OPTS& o, std::string_view) { o.version = true; }},
    };
    return table;
}

OVK_OPTS ovk_startup_parse(std::span<const std::string> args) {
    OVK_OPTS o;
    for (const auto& a : args) {
        if (a == "-h" || a == "--help") {
            OVK_OPTS h;
            h.help = true;
            return h;
        }
    }
    for (const auto& a : args) {
        if (a == "--version") {
            OVK_OPTS v;
            v.version = true;
            return v;
        }
    }
    const auto& table = ovk_startup_options();
    for (size_t i = 0; i < args.size(); ++i) {
        bool known = false;
        for (const OVK_OPTION& opt : table) {
            if (args[i] != opt.name) continue;
            known = true;
            if (!opt.value_name) {
                opt.apply(o, {});
            } else if (i + 1 < args.size()) {
                opt.apply(o, args[i + 1]);
                ++i;
            } else if (!opt.ignored_when_last && o.error.empty()) {
                o.error = std::string(opt.name) + " needs a value (" + opt.value_name + ")";
            }
            break;
        }
        if (!known) o.unknown.push_back(args[i]);
    }
    return o;
}

OVK_OPTS ovk_startup_parse(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
    return ovk_startup_parse(args);
}

std::string ovk_startup_version_line() {
    return std::string("orvik ") + OVK_VERSION + "\n";
}

std::string ovk_startup_help(std::string_view argv0) {
    std::string h;
    h += ovk_format(256, "Orvik %s - passive BLE / WiFi surveillance-equipment detector\n",
                    OVK_VERSION);
    h += "Listens only; never transmits to the devices it watches.\n";
    h += "usage: " + std::string(argv0) +
         " [--scan] [--demo] [--shots DIR] [--width W --height H] [-v LEVEL]\n";
    for (const OVK_OPTION& opt : ovk_startup_options())
        if (opt.help) h += std::string("  ") + opt.help + "\n";
    return h;
}

int ovk_startup_open(const OVK_OPTS& o, const OVK_HOST& host) {
    const LOADED_ON_RETURN loaded;
    OPENED& st = opened();
    std::lock_guard<std::mutex> lock(st.mu);
    if (st.open) return 0;
    try {
        st.error.clear();
        set_log_level(o.log_level);
        ovk_pipeline_set_hooks(o.replay ? replay_hooks(host.hooks, o, host.replay_capture)
                                        : host.hooks);
        if (host.platform_init && host.platform_init() != 0)
            zq_log(LOG_ERR, "platform init reported a problem");
        st.platform_shutdown = host.platform_shutdown;
        st.open = true;
        st.dir = host.data_dir ? host.data_dir() : std::string();
        // One program per data directory: two would hand out the same detection ids, undo
        // each other's device history and close each other's live trip.
        if (!st.dir.empty() && ovk_datafile_lock_dir(st.dir, &st.error) != 0) {
            if (st.platform_shutdown) st.platform_shutdown();
            st.platform_shutdown = nullptr;
            st.dir.clear();
            st.open = false;
            return -1;
        }
        if (host.read_asset) ovk_set_asset_reader(host.read_asset);
        if (host.fetch) {
            ovk_alpr_set_fetch(host.fetch);
            st.fetch_installed = true;
        }
        if (ovk_vendordb_load() != 0)
            zq_log(LOG_ERR, "vendor tables not loaded: identification will be limited");
        ovk_prefs_load(st.dir);
        ovk_alpr_set_endpoint(ovk_prefs_get().overpass_url);
        // The command line's demo is for this run only: the stored preference keeps the
        // user's choice, so a later plain run scans the radios again.
        ovk_scan_set_demo_override(o.replay ? -1 : o.demo ? 1 : 0);
        ovk_store_open(st.dir);
        ovk_watchlist_load(st.dir);
        ovk_trip_open(st.dir);
        ovk_trip_close_stale();
        ovk_alpr_load(st.dir);
        ovk_registry_init();
        if (o.record) {
            std::string err;
            if (ovk_record_open(*o.record, err) != 0) {
                st.error = "cannot record to " + *o.record + ": " + err;
                zq_log(LOG_ERR, "%s", st.error.c_str());
                close_below_pipeline(st);
                return -1;
            }
        }
        if (ovk_pipeline_init() != 0) {
            close_below_pipeline(st);
            return -1;
        }
        if (host.set_autostart) host.set_autostart(ovk_prefs_get().auto_start);
        start_links(o, host, st.dir);
        return 0;
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "start-up failed: %s", e.what());
    } catch (...) {
        zq_log(LOG_ERR, "start-up failed");
    }
    if (st.open) {
        ovk_pipeline_shutdown();
        close_below_pipeline(st);
    }
    return -1;
}

void ovk_startup_close() {
    OPENED& st = opened();
    std::lock_guard<std::mutex> lock(st.mu);
    if (!st.open) return;
    try {
        stop_links();
        ovk_pipeline_shutdown();
        close_below_pipeline(st);
    } catch (...) {
        zq_log(LOG_ERR, "shutdown failed");
        st.open = false;
    }
}

std::string ovk_startup_error() {
    OPENED& st = opened();
    std::lock_guard<std::mutex> lock(st.mu);
    try {
        return st.error;
    } catch (...) {
        return {};
    }
}

std::string ovk_startup_data_dir() {
    OPENED& st = opened();
    std::lock_guard<std::mutex> lock(st.mu);
    return st.dir;
}
