// SPDX-License-Identifier: GPL-3.0-or-later
// The program without a window.
#include "ovk_headless.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "ovk_alpr.h"
#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_fleetmsg.h"
#include "ovk_replay.h"
#include "ovk_trip.h"
#include "ovk_util.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

constexpr int64_t kStatusEveryMs = 10000;
constexpr int kPollMs = 100;

std::string clock_text(int64_t ms) {
    const time_t t = static_cast<time_t>(ms / 1000);
    struct tm tm {};
    localtime_r(&t, &tm);
    char b[16];
    strftime(b, sizeof b, "%H:%M:%S", &tm);
    return b;
}

void print(FILE* out, const std::string& line) {
    errno = 0;
    const bool ok =
        std::fputs(line.c_str(), out) >= 0 && std::fputc('\n', out) != EOF && std::fflush(out) == 0;
    if (ok) return;
    const int err = errno;
    std::clearerr(out);
    // Whoever read the alerts has gone (a closed pipe): end the way SIGTERM does, so the
    // trip, the log and the remembered devices are all written out.
    if (err == EPIPE && !ovk_headless_stop_flag().exchange(true))
        zq_log(LOG_WARNING, "standard output was closed; stopping");
}

// Lines as text, or as JSON objects (--alerts-json).
bool g_json = false;

void drain_alerts(FILE* out) {
    while (auto a = ovk_pipeline_pop_alert())
        print(out, g_json ? ovk_headless_alert_json(*a) : ovk_headless_alert_line(*a));
}

void print_status(FILE* out) {
    const OVK_STATUS s = ovk_pipeline_status();
    const int64_t now = ovk_now_ms();
    print(out, g_json ? ovk_headless_status_json(s, now) : ovk_headless_status_line(s, now));
}

// The word a scope is asked for by.
const char* scope_name(OVK_EXPORT_SCOPE scope) {
    switch (scope) {
        case OVK_EXPORT_SESSION:
            return "session";
        case OVK_EXPORT_HISTORY:
            return "history";
        case OVK_EXPORT_LOG:
            return "log";
        case OVK_EXPORT_WATCHLIST:
            return "watchlist";
        case OVK_EXPORT_EVERYTHING:
            return "everything";
    }
    return "";
}

// The scope word of the latest trace; the other scopes are ovk_export_scope_parse's.
constexpr std::string_view kTripScope = "trip";
constexpr int kTrip = -2;  // `scope` of a trip request

// Splits "scope:format" and parses both words (`scope` kTrip for the trip scope); false when
// there is no colon or either word is unknown.
bool parse_export(std::string_view request, int& scope, int& fmt) {
    const size_t colon = request.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view word = request.substr(0, colon);
    scope = ovk_strieq(word, kTripScope) ? kTrip : ovk_export_scope_parse(word);
    fmt = ovk_export_format_parse(request.substr(colon + 1));
    return scope != -1 && fmt >= 0;
}

bool export_supported(int scope, int fmt) {
    return scope == kTrip ? ovk_export_trip_supported(fmt) != 0
                          : ovk_export_supported(scope, fmt) != 0;
}

// The latest trace (the one started last) in `fmt`, every device heard included.
int export_latest_trip(OVK_EXPORT_FORMAT fmt, const std::string& dir, std::string& path,
                       std::string& err) {
    const std::vector<OVK_TRIP> trips = ovk_trip_list();  // newest first
    if (trips.empty()) {
        err = "No traces yet - record one with --trace";
        return -1;
    }
    return ovk_export_trip_to_file(trips.front().id, fmt, false, dir, path, err);
}

// Writes each requested "scope:format" export; prints its path, or why it failed. Returns
// how many failed.
int write_exports(const std::vector<std::string>& requests, const std::string& data_dir,
                  FILE* out) {
    if (requests.empty()) return 0;
    const std::string dir = ovk_headless_export_dir(data_dir);
    int failed = 0;
    for (const std::string& r : requests) {
        int scope = -1, fmt = -1;
        if (!parse_export(r, scope, fmt)) {
            print(out, "export " + r + ": unknown export (use SCOPE:FORMAT, e.g. log:gpx)");
            ++failed;
            continue;
        }
        std::string path, err;
        const int written =
            scope == kTrip
                ? export_latest_trip(static_cast<OVK_EXPORT_FORMAT>(fmt), dir, path, err)
                : ovk_export_to_file(static_cast<OVK_EXPORT_SCOPE>(scope),
                                     static_cast<OVK_EXPORT_FORMAT>(fmt), dir, path, err);
        if (written == 0) {
            print(out, "export " + r + ": " + path);
        } else {
            print(out, "export " + r + " failed: " + err);
            ++failed;
        }
    }
    return failed;
}

// A file's identity: a write through a ".tmp" twin and a rename gives it a new inode.
struct FILE_ID {
    bool exists = false;
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool operator==(const FILE_ID&) const = default;
};

FILE_ID file_id(const std::string& path) {
    ZQ_FS_STAT st;
    if (zq_fs_stat(path, st) != 0) return {};
    return {true, st.dev, st.ino};
}

// --alpr-download: the box's cameras into the cache, the outcome on `out`. True when they
// were received and the cache file was written.
bool download_cameras(const std::string& request, const std::string& data_dir, FILE* out) {
    OVK_GEO_BOX b;
    if (const std::string why = ovk_headless_parse_box(request, b); !why.empty()) {
        print(out, "alpr-download " + request + " failed: " + why);
        return false;
    }
    const std::string cache = data_dir + "/" + OVK_ALPR_CACHE_FILE;
    const FILE_ID before = file_id(cache);
    std::string err;
    const int n = ovk_alpr_download(b.south, b.west, b.north, b.east, &err);
    if (n < 0) {
        print(out, "alpr-download " + request + " failed: " + err);
        return false;
    }
    const std::string got =
        std::to_string(n) + " plate camera" + (n == 1 ? "" : "s") + " in this area";
    // The download keeps the cameras for this run even when the cache cannot be written;
    // a command whose whole point is the cache must say so.
    const FILE_ID after = file_id(cache);
    if (data_dir.empty() || !after.exists || after == before) {
        print(out, "alpr-download " + request + " failed: " + got + ", but " + cache +
                       " could not be written");
        return false;
    }
    print(out, "alpr-download " + request + ": " + got + " (" + std::to_string(ovk_alpr_count()) +
                   " known in all, in " + cache + ")");
    return true;
}

// Refuses a malformed box before anything starts (exit status 2 from the caller).
bool box_refused(const OVK_OPTS& o) {
    if (!o.alpr_download) return false;
    OVK_GEO_BOX b;
    const std::string why = ovk_headless_parse_box(*o.alpr_download, b);
    if (why.empty()) return false;
    std::fprintf(stderr, "orvik: --alpr-download %s: %s\n", o.alpr_download->c_str(), why.c_str());
    return true;
}

}  // namespace

std::string ovk_headless_check_export(std::string_view request) {
    try {
        int scope = -1, fmt = -1;
        if (!parse_export(request, scope, fmt)) {
            std::string why = "unknown export (use SCOPE:FORMAT, e.g. log:gpx; scopes";
            for (int i = 0; i < OVK_EXPORT_SCOPE_COUNT; ++i)
                why += std::string(i ? ", " : " ") + scope_name(static_cast<OVK_EXPORT_SCOPE>(i));
            why += ", " + std::string(kTripScope) + "; formats";
            for (int f = 0; f < OVK_EXPORT_FORMAT_COUNT; ++f)
                why += std::string(f ? ", " : " ") + ovk_export_ext(f);
            return why + ")";
        }
        if (export_supported(scope, fmt)) return {};
        std::string offered;
        for (int f = 0; f < OVK_EXPORT_FORMAT_COUNT; ++f) {
            if (!export_supported(scope, f)) continue;
            if (!offered.empty()) offered += ", ";
            offered += ovk_export_ext(f);
        }
        const std::string name = scope == kTrip ? std::string(kTripScope)
                                                : scope_name(static_cast<OVK_EXPORT_SCOPE>(scope));
        return "the " + name + " export has no " + ovk_export_ext(fmt) + " form (it has " +
               offered + ")";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

std::string ovk_headless_parse_box(std::string_view text, OVK_GEO_BOX& box) {
    try {
        const std::string usage =
            "a box is four numbers S,W,N,E in degrees (south, west, north, east), e.g. "
            "45.40,-75.72,45.44,-75.66";
        double v[4] = {};
        size_t at = 0;
        for (int i = 0; i < 4; ++i) {
            const size_t comma = i < 3 ? text.find(',', at) : text.size();
            if (comma == std::string_view::npos) return usage;
            std::string_view part = text.substr(at, comma - at);
            while (!part.empty() && (part.front() == ' ' || part.front() == '\t'))
                part.remove_prefix(1);
            while (!part.empty() && (part.back() == ' ' || part.back() == '\t'))
                part.remove_suffix(1);
            // from_chars takes no '+'; a leading one is fine for people.
            if (part.size() > 1 && part.front() == '+' && part[1] != '-') part.remove_prefix(1);
            const auto r = std::from_chars(part.data(), part.data() + part.size(), v[i],
                                           std::chars_format::fixed);
            if (part.empty() || r.ec != std::errc() || r.ptr != part.data() + part.size() ||
                !std::isfinite(v[i]))
                return usage;
            at = comma + 1;
        }
        const double s = v[0], w = v[1], n = v[2], e = v[3];
        if (s < -90 || s > 90 || n < -90 || n > 90)
            return "latitudes (south, north) run from -90 to 90";
        if (w < -180 || w > 180 || e < -180 || e > 180)
            return "longitudes (west, east) run from -180 to 180";
        auto deg = [](double d) { return ovk_format(32, "%g", d); };
        if (s >= n) return "south (" + deg(s) + ") must lie below north (" + deg(n) + ")";
        if (w >= e)
            return "west (" + deg(w) + ") must lie west of east (" + deg(e) +
                   "); a box across the 180th meridian is two downloads, one on each side";
        if (n - s > OVK_ALPR_MAX_SPAN_DEG || e - w > OVK_ALPR_MAX_SPAN_DEG)
            return "area too large: " + deg(n - s) + " by " + deg(e - w) + " degrees; at most " +
                   deg(OVK_ALPR_MAX_SPAN_DEG) + " each way can be downloaded at once";
        box = OVK_GEO_BOX{s, w, n, e};
        return {};
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

std::string ovk_headless_export_dir(std::string_view data_dir) {
    return ovk_export_dir(data_dir);
}

namespace {

// The code point of a valid UTF-8 sequence of `len` bytes at text[i].
uint32_t code_point(std::string_view text, size_t i, size_t len) {
    const auto b = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(text[i + k]));
    };
    switch (len) {
        case 1:
            return b(0);
        case 2:
            return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3:
            return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default:
            return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                   (b(3) & 0x3F);
    }
}

// Controls that reorder what a terminal shows (the bidirectional embeddings, overrides,
// isolates and marks): a name could make a line read other than it is.
bool bidi_control(uint32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string ovk_headless_terminal_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char b[16];
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t len = ovk_utf8_seq_len(text, i);
        if (len == 0) {  // not UTF-8: a raw C1 byte reads as a control in 8-bit terminals
            snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
            ++i;
            continue;
        }
        if (len == 1 && (c < 0x20 || c == 0x7F)) {
            snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        } else if (len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            snprintf(b, sizeof b, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
            out += b;
        } else if (const uint32_t cp = code_point(text, i, len); bidi_control(cp)) {
            snprintf(b, sizeof b, "\\u%04X", static_cast<unsigned>(cp));
            out += b;
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

std::string ovk_headless_alert_line(const OVK_UI_ALERT& a) {
    return ovk_headless_terminal_text(
        clock_text(a.time) + " " + (a.following ? "FOLLOWING " : "") + ovk_cat_tag(a.hit.category) +
        " " + ovk_tier_label(ovk_tier_of(a.hit.confidence)) + " " +
        std::to_string(a.hit.confidence) + "% " + (a.sensor.empty() ? "" : a.sensor + ": ") +
        a.hit.label + " | " + a.key + " | " + std::to_string(a.rssi) + " dBm | " + a.hit.evidence);
}

std::string ovk_headless_status_line(const OVK_STATUS& s, int64_t now) {
    std::string scanners;
    for (char c : s.scanners) {
        if (c == '\n')
            scanners += "; ";
        else
            scanners += c;
    }
    if (!s.running || scanners.empty()) scanners = s.running ? "running" : "stopped";
    // Nothing heard is no all-clear.
    const char* threat = s.running && !s.listening ? "NOT LISTENING" : ovk_threat_name(s.threat);
    std::string line = clock_text(now) + " status: " + scanners + " | devices " +
                       std::to_string(s.devices) + " | flagged " + std::to_string(s.flagged) +
                       " | threat " + threat;
    if (!s.quiet_radios.empty()) line += " | " + s.quiet_radios;
    if (s.fix_lost) line += " | " + ovk_fix_lost_text(s.fix_age_ms);
    if (!s.links.empty()) line += " | " + s.links;
    if (!s.data_note.empty()) line += " | " + s.data_note;
    if (!s.record_note.empty()) line += " | " + s.record_note;
    return line;
}

std::string ovk_headless_alert_json(const OVK_UI_ALERT& a) {
    try {
        const std::string j = ovk_fleetmsg_alert_json(ovk_fleetmsg_alert_of(a), "alert");
        return j.empty() ? std::string("{\"type\":\"alert\"}") : j;
    } catch (...) {
        return "{\"type\":\"alert\"}";
    }
}

std::string ovk_headless_status_json(const OVK_STATUS& s, int64_t now) {
    try {
        OVK_JSON o(cJSON_CreateObject());
        if (!o) return "{\"type\":\"status\"}";
        cJSON* j = o.get();
        std::string scanners = s.scanners;
        for (char& c : scanners)
            if (c == '\n') c = ';';
        if (!s.running || scanners.empty()) scanners = s.running ? "running" : "stopped";
        ovk_json_add_str(j, "type", "status");
        ovk_json_add_i64(j, "time", now);
        ovk_json_add_str(j, "scanners", scanners);
        ovk_json_add_i64(j, "devices", s.devices);
        ovk_json_add_i64(j, "flagged", s.flagged);
        ovk_json_add_str(j, "threat",
                         s.running && !s.listening ? "NOT LISTENING" : ovk_threat_name(s.threat));
        if (!s.quiet_radios.empty()) ovk_json_add_str(j, "radios", s.quiet_radios);
        if (s.fix_lost) ovk_json_add_str(j, "gps", ovk_fix_lost_text(s.fix_age_ms));
        if (!s.links.empty()) ovk_json_add_str(j, "links", s.links);
        if (!s.data_note.empty()) ovk_json_add_str(j, "data", s.data_note);
        if (!s.record_note.empty()) ovk_json_add_str(j, "record", s.record_note);
        return ovk_json_print_utf8(j, false).value_or("{\"type\":\"status\"}");
    } catch (...) {
        return "{\"type\":\"status\"}";
    }
}

std::atomic<bool>& ovk_headless_stop_flag() {
    static std::atomic<bool> flag{false};
    return flag;
}

void ovk_headless_install_signals() {
    static_assert(std::atomic<bool>::is_always_lock_free);
    (void)ovk_headless_stop_flag();
    // Interrupts, termination and a closed terminal or ssh session end the run in order; a
    // closed standard output must not kill the program before its files are written (the
    // failed write is seen and ends the run in order instead).
    // While the start-up still reads the data (a million remembered devices take seconds),
    // nothing has been started that needs an orderly end, and the files are only read or
    // replaced whole: the signal then ends the program at once, as it would by default.
    zq_fs_on_stop_signals([](int sig) {
        ovk_headless_stop_flag().store(true);
        if (!ovk_startup_loaded()) {
            std::signal(sig, SIG_DFL);
            std::raise(sig);
        }
    });
}

int ovk_headless_run(const OVK_OPTS& o, const OVK_HOST& host, FILE* out) {
    try {
        // A mistyped export would only show at shutdown, after the whole run: refuse it now.
        bool refused = false;
        if (!o.error.empty()) {
            std::fprintf(stderr, "orvik: %s\n", o.error.c_str());
            refused = true;
        }
        for (const std::string& r : o.exports) {
            const std::string why = ovk_headless_check_export(r);
            if (why.empty()) continue;
            std::fprintf(stderr, "orvik: --export %s: %s\n", r.c_str(), why.c_str());
            refused = true;
        }
        if (box_refused(o)) refused = true;
        if (refused) return 2;
        g_json = o.alerts_json;
        if (ovk_startup_open(o, host) != 0) return 1;
        const std::string dir = ovk_startup_data_dir();
        // The cameras first, so that this run already warns about them.
        const bool download_failed =
            o.alpr_download && !download_cameras(*o.alpr_download, dir, out);

        // Without an interface to start it from, scanning always starts at once.
        ovk_scan_start();
        // A replay that cannot start (no such file, a damaged capture) has nothing to run.
        if (o.replay && ovk_scan_wait_idle(30000) != 0) {
            std::fprintf(stderr, "orvik: %s\n", ovk_replay_status().c_str());
            ovk_startup_close();
            return 1;
        }
        if (o.trace) {
            const int64_t id = ovk_trip_start();
            if (id > 0) {
                zq_log(LOG_NOTICE, "recording trip %lld", static_cast<long long>(id));
                ovk_scan_refresh();  // a recording trip asks the GPS for fast fixes
            } else {
                zq_log(LOG_ERR, "could not start a trip");
            }
        }

        const auto t0 = std::chrono::steady_clock::now();
        auto next_status = t0 + std::chrono::milliseconds(kStatusEveryMs);
        std::atomic<bool>& stop = ovk_headless_stop_flag();
        while (!stop.load()) {
            drain_alerts(out);
            const auto now = std::chrono::steady_clock::now();
            if (o.duration_s > 0 && now - t0 >= std::chrono::seconds(o.duration_s)) break;
            // A replay played to its end, and taken in by the pipeline: the run is done.
            if (o.replay && ovk_replay_finished() && ovk_pipeline_pending() == 0) {
                drain_alerts(out);
                print_status(out);
                break;
            }
            if (now >= next_status) {
                print_status(out);
                next_status += std::chrono::milliseconds(kStatusEveryMs);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }

        // Everything heard is logged and remembered before the exports read it.
        ovk_scan_stop();
        ovk_scan_wait_idle(-1);
        drain_alerts(out);
        const int failed_exports = write_exports(o.exports, dir, out);
        // A run whose detections are only in memory must not end as if all was well.
        const bool unsaved = ovk_store_detections_unsaved() != 0;
        if (unsaved)
            print(out, "detections of this run could not be stored in " + dir +
                           " (see the log above); they are lost when the program ends");
        // A capture damaged part-way, or a file that is neither a recording nor a capture:
        // what could be read was taken in, but the replay did not succeed.
        const std::string replay_error = o.replay ? ovk_replay_error() : std::string();
        if (!replay_error.empty()) std::fprintf(stderr, "orvik: %s\n", ovk_replay_status().c_str());
        ovk_startup_close();
        return failed_exports > 0 || unsaved || download_failed || !replay_error.empty() ? 1 : 0;
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "headless run failed: %s", e.what());
        ovk_startup_close();
        return 1;
    }
}

int ovk_headless_download_only(const OVK_OPTS& o, const OVK_HOST& host, FILE* out) {
    try {
        if (!o.error.empty()) {
            std::fprintf(stderr, "orvik: %s\n", o.error.c_str());
            return 2;
        }
        if (!o.alpr_download || box_refused(o)) return 2;
        if (ovk_startup_open(o, host) != 0) return 1;
        const bool ok = download_cameras(*o.alpr_download, ovk_startup_data_dir(), out);
        ovk_startup_close();
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "download failed: %s", e.what());
        ovk_startup_close();
        return 1;
    }
}
