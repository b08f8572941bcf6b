// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen.
//
// Index
//   1. Tables: filters, menu entries, context entries
//   2. The list's rules (pure)
//   3. Texts and geometry (pure)
//   4. One refresh's work
//   5. The worker: views and changes made off the interface thread
//   6. Screen state kept across rebuilds
//   7. Build
//   8. Refresh and synchronisation
//   9. Drawing: header, banner, list, radar
//  10. Input: list and radar
//  11. Commands
#include "ovk_gui_main.h"

#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "ovk_gui_map.h"
#include "ovk_gui_port.h"
#include "ovk_gui_report.h"
#include "ovk_gui_watchlist.h"
#include "ovk_intel.h"
#include "ovk_platform.h"
#include "ovk_replay.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Tables
// ---------------------------------------------------------------------------------------

struct FILTER_ROW {
    const char* label;
    const char* tooltip;
};

// Indexed by OVK_FILTER.
constexpr FILTER_ROW kFilters[OVK_FILTER_COUNT] = {
    {"All", "Every device heard in the last 3 minutes"},
    {"Flagged", "Only devices matching a signature or your watchlist"},
    {"Trackers", "Item trackers (AirTag, SmartTag, Tile, Find Hub)"},
    {"Drones", "Drones: Remote ID broadcasts and drone-maker addresses"},
    {"New", "Devices never heard in an earlier session"},
    {"Favorites", "Devices you starred"},
    {"Bluetooth", "Bluetooth LE devices only"},
    {"WiFi", "WiFi access points only"},
};

// The drop-down menu, in order. An entry that opens a pop-up screen is there only when the
// frame has that screen.
struct MENU_ROW {
    OVK_MAIN_MENU tag;
    int popup;  // the screen it opens; -1 for the screen's own commands
    const char* text;
    const char* compact;  // the wording in the compact layout
};

constexpr MENU_ROW kMenu[] = {
    {MENU_MAP, OVK_POP_MAP, "Map", "Map"},
    {MENU_HISTORY, OVK_POP_HISTORY, "History map & timeline", "History"},
    {MENU_TRIPS, OVK_POP_TRIPS, "Traces", "Traces"},
    {MENU_LOG, OVK_POP_LOG, "Match log", "Match log"},
    {MENU_WATCHLIST, OVK_POP_WATCHLIST, "Watchlist", "Watchlist"},
    {MENU_WHITELIST, OVK_POP_WHITELIST, "Whitelist", "Whitelist"},
    {MENU_EXPORT, OVK_POP_EXPORT, "Export...", "Export..."},
    {MENU_RECORD, -1, "Record trace", "Record trace"},
    {MENU_SETTINGS, OVK_POP_SETTINGS, "Settings", "Settings"},
    {MENU_SETUP, OVK_POP_SETUP, "Setup wizard", "Setup wizard"},
    {MENU_DEMO, -1, "Demo mode: off", "Demo: off"},
    {MENU_ABOUT, OVK_POP_ABOUT, "About", "About"},
    {MENU_QUIT, -1, "Quit", "Quit"},
};

// The device context menu, in order.
struct CTX_ROW {
    OVK_MAIN_CTX tag;
    int popup;  // the screen it needs; -1 when it needs none
    const char* text;
    const char* tip;
};

constexpr CTX_ROW kCtx[] = {
    {CTX_DETAILS, OVK_POP_DETAIL, "Details",
     "Evidence, identity, signal graph, history and raw data"},
    {CTX_WATCH, OVK_POP_WATCH_ADD, "Add to watchlist...", "Always flag this exact address"},
    {CTX_WHITELIST, -1, "Whitelist (trust it)", "Never flag or alert on this device"},
    {CTX_UNWHITELIST, -1, "Remove from whitelist", "Flag this device again when it matches"},
    {CTX_FAVORITE, -1, "Add to favorites", "Star it: shows under the Favorites filter"},
    {CTX_UNFAVORITE, -1, "Remove from favorites", "Un-star it"},
    {CTX_COPY, -1, "Copy address", "Copy the address to the clipboard"},
    {CTX_MAP, OVK_POP_MAP, "Show on map", "Where your position was when its signal was strongest"},
    {CTX_REPORT, OVK_POP_REPORT, "Report unknown device...",
     "Share a privacy-safe signature so new equipment can be added"},
};

constexpr size_t kSearchMax = OVK_QUERY_MAX;  // bytes of the search text
constexpr int kRadarMax = 200;                // devices drawn on the radar
constexpr size_t kLabelRects = 516;           // rectangles label placement keeps clear
constexpr const char* kStartFailed = "Could not start scanning";

// At most `max` bytes of `s`, never ending inside a UTF-8 sequence.
std::string utf8_cut(std::string_view s, size_t max) {
    if (s.size() <= max) return std::string(s);
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string(s.substr(0, n));
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `needle` (already in lower case, not empty) occurs in `hay`, ASCII letters in any case.
bool contains_lower(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return false;
    const char first = needle[0];
    const size_t last = hay.size() - needle.size();
    for (size_t i = 0; i <= last; ++i) {
        if (lower(hay[i]) != first) continue;
        size_t k = 1;
        while (k < needle.size() && lower(hay[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

// 0 near (-60 dBm or more), 1 nearby, 2 far (below -80 dBm).
int band_rank(int rssi) {
    return rssi >= -60 ? 0 : rssi < -80 ? 2 : 1;
}

int best_confidence(const OVK_DEVICE& d) {
    const OVK_HIT* b = ovk_device_best(d);
    return b ? b->confidence : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. The list's rules
// ---------------------------------------------------------------------------------------

const char* ovk_filter_label(int f) {
    return f >= 0 && f < OVK_FILTER_COUNT ? kFilters[f].label : "";
}

const char* ovk_filter_tooltip(int f) {
    return f >= 0 && f < OVK_FILTER_COUNT ? kFilters[f].tooltip : "";
}

std::string ovk_main_search_text(std::string_view query) {
    return utf8_cut(ovk_trim(query), kSearchMax);
}

bool ovk_main_keeps(const OVK_DEVICE& d, OVK_FILTER f, std::string_view search) {
    const OVK_HIT* best = ovk_device_best(d);
    bool kept = false;
    switch (f) {
        case OVK_FILTER_ALL:
            kept = true;
            break;
        case OVK_FILTER_FLAGGED:
            kept = ovk_device_flagged(d) != 0;
            break;
        case OVK_FILTER_TRACKERS:
            kept = contains_lower(d.device_type, "tracker") ||
                   contains_lower(d.device_type, "find my") ||
                   std::any_of(d.hits.begin(), d.hits.end(),
                               [](const OVK_HIT& h) { return h.category == OVK_CAT_TRACKER; });
            break;
        case OVK_FILTER_DRONES:
            kept = d.has_rid || std::any_of(d.hits.begin(), d.hits.end(), [](const OVK_HIT& h) {
                       return h.category == OVK_CAT_DRONE;
                   });
            break;
        case OVK_FILTER_NEW:
            kept = !d.has_known;
            break;
        case OVK_FILTER_FAVORITES:
            kept = d.favorite != 0;
            break;
        case OVK_FILTER_BLE:
            kept = (d.sources & 1) != 0;
            break;
        case OVK_FILTER_WIFI:
            kept = (d.sources & 2) != 0;
            break;
    }
    if (!kept || search.empty()) return kept;
    std::string needle(search);
    for (char& c : needle) c = lower(c);
    return contains_lower(d.mac, needle) || contains_lower(d.name, needle) ||
           contains_lower(d.vendor, needle) || contains_lower(d.device_type, needle) ||
           (best && contains_lower(best->label, needle));
}

namespace {

// The sort keys of one device, gathered once so that sorting a large snapshot touches the
// devices themselves only to break ties by address.
struct SORT_KEY {
    int idx = 0;
    bool flagged = false;
    bool following = false;
    int confidence = 0;
    int band = 0;
    int64_t first_seen = 0;
};

SORT_KEY key_of(const OVK_DEVICE& d, int idx) {
    return SORT_KEY{idx,
                    ovk_device_flagged(d) != 0,
                    d.following != 0,
                    best_confidence(d),
                    band_rank(d.rssi),
                    d.first_seen};
}

// -1 when a goes first, 1 when b does, 0 when only the address can tell.
int compare_keys(const SORT_KEY& a, const SORT_KEY& b) {
    if (a.flagged != b.flagged) return a.flagged ? -1 : 1;
    if (a.following != b.following) return a.following ? -1 : 1;
    if (a.confidence != b.confidence) return a.confidence > b.confidence ? -1 : 1;
    if (a.band != b.band) return a.band < b.band ? -1 : 1;
    if (a.first_seen != b.first_seen) return a.first_seen < b.first_seen ? -1 : 1;
    return 0;
}

}  // namespace

bool ovk_main_before(const OVK_DEVICE& a, const OVK_DEVICE& b) {
    const int c = compare_keys(key_of(a, 0), key_of(b, 0));
    return c != 0 ? c < 0 : a.mac < b.mac;
}

namespace {
// The storage of a shared list, read like a list of devices.
struct SHARED_SPAN {
    std::span<const OVK_DEVICE_REFS::PTR> items;
    size_t size() const { return items.size(); }
    const OVK_DEVICE& operator[](size_t i) const { return *items[i]; }
};

template <class LIST>
std::vector<int> visible_of(const LIST& devices, OVK_FILTER f, std::string_view query) {
    const std::string search = ovk_main_search_text(query);
    std::vector<SORT_KEY> keys;
    keys.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i)
        if (ovk_main_keeps(devices[i], f, search))
            keys.push_back(key_of(devices[i], static_cast<int>(i)));
    std::sort(keys.begin(), keys.end(), [&devices](const SORT_KEY& a, const SORT_KEY& b) {
        const int c = compare_keys(a, b);
        return c != 0 ? c < 0
                      : devices[static_cast<size_t>(a.idx)].mac <
                            devices[static_cast<size_t>(b.idx)].mac;
    });
    std::vector<int> out;
    out.reserve(keys.size());
    for (const SORT_KEY& k : keys) out.push_back(k.idx);
    return out;
}
}  // namespace

std::vector<int> ovk_main_visible(std::span<const OVK_DEVICE> devices, OVK_FILTER f,
                                  std::string_view query) {
    return visible_of(devices, f, query);
}

std::vector<int> ovk_main_visible(const OVK_DEVICE_REFS& devices, OVK_FILTER f,
                                  std::string_view query) {
    return visible_of(devices, f, query);
}

std::string ovk_main_watch_label(const OVK_DEVICE* d) {
    if (!d) return "Watched device";
    const OVK_HIT* best = ovk_device_best(*d);
    const std::string& l = best ? best->label : !d->name.empty() ? d->name : d->device_type;
    return utf8_cut(l, 159);
}

namespace {
template <class LIST>
OVK_MAIN_TALLY tally_of(const LIST& devices) {
    OVK_MAIN_TALLY t;
    int top_conf = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        const OVK_DEVICE& d = devices[i];
        if (!ovk_device_flagged(d)) continue;
        ++t.flagged;
        const int c = best_confidence(d);
        if (t.top < 0 || c > top_conf) {
            t.top = static_cast<int>(i);
            top_conf = c;
        }
        if (t.follower < 0 && d.following) t.follower = static_cast<int>(i);
    }
    return t;
}
}  // namespace

OVK_MAIN_TALLY ovk_main_tally(const OVK_DEVICE_LIST& devices) {
    return tally_of(devices);
}

OVK_MAIN_TALLY ovk_main_tally(const OVK_DEVICE_REFS& devices) {
    return tally_of(devices);
}

// ---------------------------------------------------------------------------------------
// 3. Texts and geometry
// ---------------------------------------------------------------------------------------

std::string ovk_main_status_text(const OVK_MAIN_STATUS_LINE& s) {
    constexpr size_t kMax = 512;
    std::string t = ovk_format(kMax, "%s - %d device%s nearby", s.state.c_str(), s.devices,
                               s.devices == 1 ? "" : "s");
    if (s.flagged) ovk_appendf(t, kMax, ", %d flagged", s.flagged);
    if (s.recording) ovk_appendf(t, kMax, " - recording trace (%.1f km)", s.trace_km);
    if (s.has_fix) ovk_appendf(t, kMax, " - GPS %.5f, %.5f", s.lat, s.lon);
    if (!s.gps_lost.empty()) ovk_appendf(t, kMax, " - %s", s.gps_lost.c_str());
    if (!s.radios.empty()) ovk_appendf(t, kMax, " - %s", s.radios.c_str());
    if (!s.cell_warning.empty())
        ovk_appendf(t, kMax, " - cell warning: %s", s.cell_warning.c_str());
    if (!s.notes.empty()) ovk_appendf(t, kMax, " - %s", s.notes.c_str());
    if (!s.second_line.empty()) {
        std::string line;
        for (char c : s.second_line) {
            if (c == '\r') continue;
            if (c == '\n')
                line += "; ";
            else
                line += c;
        }
        t += '\n';
        t += utf8_cut(line, 300);
    }
    return t;
}

namespace {
template <class LIST>
OVK_BANNER banner_of(const LIST& devices, const OVK_MAIN_TALLY& tally, bool scanning,
                     std::string_view scanners, int alert_threshold, const OVK_STATUS* status) {
    OVK_BANNER b;
    const auto valid = [&devices](int i) {
        return i >= 0 && static_cast<size_t>(i) < devices.size();
    };
    // Nothing heard is never an all-clear, and what is listed went quiet with the radios.
    if (scanning && status && !status->listening) {
        b.kind = OVK_BANNER_NOT_LISTENING;
        b.text = "Not listening: " + status->not_listening;
        b.argb = 0xFFB26A00u;
        return b;
    }
    if (tally.flagged <= 0 || !valid(tally.top)) {
        if (!scanning) {
            b.kind = OVK_BANNER_IDLE;
            b.text = "Not scanning - press Start scanning to begin";
        } else if (ovk_istarts_with(scanners, "LOCATION OFF")) {
            b.kind = OVK_BANNER_LOCATION_OFF;
            b.text = "Location is off in Android settings: new devices can't be heard";
            b.argb = 0xFFC8431Au;
        } else {
            b.kind = OVK_BANNER_CLEAR;
            b.text = "All clear - no flagged equipment nearby";
            if (status && !status->listening_on.empty())
                b.text = "All clear on " + status->listening_on + " - " + status->radio_down;
            b.argb = 0xFF2E7D32u;
        }
        return b;
    }
    const auto label_of = [&devices](int i) {
        const OVK_HIT* h = ovk_device_best(devices[static_cast<size_t>(i)]);
        return h ? h->label : std::string();
    };
    if (valid(tally.follower)) {
        b.kind = OVK_BANNER_FOLLOWING;
        b.text = "! " + label_of(tally.follower) + " may be following you";
        b.argb = 0xFFB3261Eu;
    } else {
        const int conf = best_confidence(devices[static_cast<size_t>(tally.top)]);
        const std::string label = label_of(tally.top);
        if (ovk_tier_of(conf) == OVK_TIER_STRONG) {
            b.kind = OVK_BANNER_STRONG;
            b.text = "! Strong match nearby: " + label;
            b.argb = 0xFFB3261Eu;
        } else if (conf < alert_threshold) {
            b.kind = OVK_BANNER_WEAK;
            b.text = "Weak match only (verify): " + label;
            b.argb = 0xFFB26A00u;
        } else {
            b.kind = OVK_BANNER_PROBABLE;
            b.text = "Probable match nearby: " + label;
            b.argb = 0xFFC8431Au;
        }
    }
    if (tally.flagged > 1) b.text += ovk_format(64, "  (+%d more)", tally.flagged - 1);
    return b;
}
}  // namespace

OVK_BANNER ovk_main_banner(const OVK_DEVICE_LIST& devices, const OVK_MAIN_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status) {
    return banner_of(devices, tally, scanning, scanners, alert_threshold, status);
}

OVK_BANNER ovk_main_banner(const OVK_DEVICE_REFS& devices, const OVK_MAIN_TALLY& tally,
                           bool scanning, std::string_view scanners, int alert_threshold,
                           const OVK_STATUS* status) {
    return banner_of(devices, tally, scanning, scanners, alert_threshold, status);
}

uint32_t ovk_main_addr_hash(std::string_view mac) {
    uint32_t h = 0;
    for (char c : mac) h = h * 31u + static_cast<unsigned char>(c);
    return h;
}

OVK_RADAR_POS ovk_main_radar_pos(std::string_view mac, int rssi, float R) {
    const uint32_t h = ovk_main_addr_hash(mac);
    const double angle = static_cast<double>((h & 0x7FFFFFFFu) % 3600u) / 3600.0 * 2 * ALLEGRO_PI;
    const double weak = std::clamp(-static_cast<double>(rssi) - 30.0, 0.0, 70.0);
    const double dist = (weak / 70.0 * 0.88 + 0.08) * R;
    return OVK_RADAR_POS{static_cast<float>(std::cos(angle) * dist),
                         static_cast<float>(std::sin(angle) * dist)};
}

bool ovk_main_place_label(std::vector<OVK_RECT>& taken, size_t max_taken, const OVK_RECT& area,
                          float cx, float cy, float offset, float w, float h, float* x, float* y) {
    const float ty = cy - h / 2;
    for (const float tx : {cx + offset, cx - offset - w}) {
        if (tx < area.x || ty < area.y || tx + w > area.x + area.w || ty + h > area.y + area.h)
            continue;
        const bool clear = std::none_of(taken.begin(), taken.end(), [&](const OVK_RECT& r) {
            return tx < r.x + r.w && r.x < tx + w && ty < r.y + r.h && r.y < ty + h;
        });
        if (!clear) continue;
        if (taken.size() < max_taken) taken.push_back(OVK_RECT{tx - 2, ty - 2, w + 4, h + 4});
        if (x) *x = tx;
        if (y) *y = ty;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// 4. One refresh
// ---------------------------------------------------------------------------------------

int64_t ovk_main_now_ms() {
    // Without a replay this is the wall clock; during one, the recording's time, which the
    // registry's "last seen" times follow (the wall clock would find them all stale).
    return ovk_replay_clock();
}

OVK_MAIN_VIEW ovk_main_make_view(OVK_FILTER f, std::string_view query, int64_t now_ms) {
    OVK_MAIN_VIEW v;
    v.filter = f;
    v.query = std::string(query);
    v.now_ms = now_ms;
    v.status = ovk_pipeline_status();
    v.serial = ovk_registry_serial();
    v.devices = ovk_registry_shared_snapshot(now_ms);
    v.recording = ovk_trip_is_recording() != 0;
    if (v.recording) v.trace_km = ovk_trip_distance() / 1000.0;
    v.visible = ovk_main_visible(v.devices, f, query);
    v.tally = ovk_main_tally(v.devices);
    return v;
}

namespace {

// ---------------------------------------------------------------------------------------
// 5. The worker
// ---------------------------------------------------------------------------------------

// One change carried out off the interface thread; what it returns is shown as a toast
// (nothing when empty).
using JOB = std::function<std::string()>;

// A finished piece of work for the tick: a whole view, or only a new `visible` for the
// snapshot in place (after the filter or the search changed).
struct RESULT {
    std::unique_ptr<OVK_MAIN_VIEW> view;
    bool refiltered = false;
    uint64_t snapshot = 0;  // the snapshot a refiltered list indexes
};

// Makes the views and carries out the changes, one at a time. A new filter or search is
// applied first to the snapshot on the screen (cheap: it needs no new snapshot), then the
// changes are made in the order asked, then a whole new view is made, so that the view asked
// for after a change shows it. Only the latest request of each kind counts. Finished work
// waits until the tick takes it; views the screen is done with come back here to be freed,
// since freeing a large snapshot takes as long as copying one.
//
// The snapshot on the screen is read here while the tick may replace it: the tick then hands
// the old one back (it is freed here, by this thread, only at the start of a later round), and
// what was computed for it is dropped by its number.
class WORKER {
  public:
    ~WORKER() { stop(); }

    void start() {
        std::lock_guard lk(mu_);
        start_locked();
    }

    void stop() {
        {
            std::lock_guard lk(mu_);
            quit_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        std::lock_guard lk(mu_);
        request_.reset();
        refilter_.reset();
        ready_ = RESULT{};
        jobs_.clear();
        messages_.clear();
        trash_.clear();
        busy_ = false;
    }

    void ask_view(OVK_FILTER f, const std::string& query) {
        {
            std::lock_guard lk(mu_);
            start_locked();
            request_ = REQUEST{f, query};
        }
        cv_.notify_all();
    }

    // A new list for the snapshot `shown` (numbered `snapshot`), which stays alive until the
    // tick hands it back.
    void ask_refilter(OVK_FILTER f, const std::string& query,
                      std::span<const OVK_DEVICE_REFS::PTR> shown, uint64_t snapshot) {
        {
            std::lock_guard lk(mu_);
            start_locked();
            refilter_ = REFILTER{f, query, shown, snapshot};
        }
        cv_.notify_all();
    }

    void post(JOB job) {
        {
            std::lock_guard lk(mu_);
            start_locked();
            jobs_.push_back(std::move(job));
        }
        cv_.notify_all();
    }

    // The finished work (if any) and the messages of finished changes.
    RESULT take(std::vector<std::string>& messages) {
        std::lock_guard lk(mu_);
        messages.swap(messages_);
        messages_.clear();
        RESULT r = std::move(ready_);
        ready_ = RESULT{};
        return r;
    }

    void discard(std::unique_ptr<OVK_MAIN_VIEW> v) {
        if (!v) return;
        {
            std::lock_guard lk(mu_);
            trash_.push_back(std::move(v));
        }
        cv_.notify_all();
    }

    // Waits until nothing is asked for or being done.
    bool wait_idle(int timeout_ms) {
        std::unique_lock lk(mu_);
        return idle_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [this] {
            return !busy_ && !request_ && !refilter_ && jobs_.empty();
        });
    }

  private:
    struct REQUEST {
        OVK_FILTER filter;
        std::string query;
    };
    struct REFILTER {
        OVK_FILTER filter;
        std::string query;
        std::span<const OVK_DEVICE_REFS::PTR> shown;
        uint64_t snapshot;
    };

    void start_locked() {
        if (thread_.joinable()) return;
        quit_ = false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception& e) {
            zq_log(LOG_ERR, "main screen: cannot start its worker: %s", e.what());
        }
    }

    // Makes `r` the finished work; what it replaces is freed with the next round. The caller
    // holds the lock.
    void publish_locked(RESULT r) {
        if (ready_.view) trash_.push_back(std::move(ready_.view));
        ready_ = std::move(r);
    }

    void run() {
        std::unique_lock lk(mu_);
        for (;;) {
            cv_.wait(lk, [this] {
                return quit_ || request_ || refilter_ || !jobs_.empty() || !trash_.empty();
            });
            if (quit_) return;
            std::vector<std::unique_ptr<OVK_MAIN_VIEW>> trash;
            trash.swap(trash_);
            std::vector<JOB> jobs;
            jobs.swap(jobs_);
            std::optional<REQUEST> req;
            req.swap(request_);
            std::optional<REFILTER> refilter;
            refilter.swap(refilter_);
            // A view nobody took yet is out of date once a new one is asked for: free it
            // first, so that at most two snapshots live at once (the one shown and the new).
            if (req && ready_.view && !ready_.refiltered) trash.push_back(std::move(ready_.view));
            busy_ = true;
            lk.unlock();
            if (refilter) {
                RESULT r;
                try {
                    r.view = std::make_unique<OVK_MAIN_VIEW>();
                    r.view->filter = refilter->filter;
                    r.view->query = refilter->query;
                    r.view->visible =
                        visible_of(SHARED_SPAN{refilter->shown}, refilter->filter, refilter->query);
                    r.refiltered = true;
                    r.snapshot = refilter->snapshot;
                } catch (const std::exception& e) {
                    zq_log(LOG_ERR, "main screen: no device list: %s", e.what());
                    r = RESULT{};
                }
                lk.lock();
                if (r.view) publish_locked(std::move(r));
                lk.unlock();
            }
            // Only now: the snapshot just refiltered may be among the views handed back.
            trash.clear();
            std::vector<std::string> said;
            for (JOB& j : jobs) {
                try {
                    said.push_back(j());
                } catch (const std::exception& e) {
                    zq_log(LOG_ERR, "main screen: a change failed: %s", e.what());
                }
            }
            RESULT full;
            if (req) {
                try {
                    full.view = std::make_unique<OVK_MAIN_VIEW>(
                        ovk_main_make_view(req->filter, req->query, ovk_main_now_ms()));
                } catch (const std::exception& e) {
                    zq_log(LOG_ERR, "main screen: no device view: %s", e.what());
                }
            }
            lk.lock();
            for (std::string& m : said)
                if (!m.empty()) messages_.push_back(std::move(m));
            if (full.view) publish_locked(std::move(full));
            busy_ = false;
            idle_cv_.notify_all();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_, idle_cv_;
    std::thread thread_;
    bool quit_ = false;
    bool busy_ = false;
    std::optional<REQUEST> request_;
    std::optional<REFILTER> refilter_;
    std::vector<JOB> jobs_;
    std::vector<std::string> messages_;
    RESULT ready_;
    std::vector<std::unique_ptr<OVK_MAIN_VIEW>> trash_;
};

WORKER& worker() {
    static WORKER w;
    return w;
}

// ---------------------------------------------------------------------------------------
// 6. Screen state kept across rebuilds
// ---------------------------------------------------------------------------------------

struct SCREEN_STATE {
    // From the view in place (the rest of it is in OVK_GUI).
    OVK_MAIN_TALLY tally;
    int64_t view_ms = 0;
    bool recording = false;
    double trace_km = 0;
    std::string last_progress;                 // the status's scan progress when last seen
    std::string look;                          // what the view in place shows (look_of)
    uint64_t snapshot = 0;                     // number of the snapshot in place
    OVK_FILTER asked_filter = OVK_FILTER_ALL;  // what the last request was for
    std::string asked_query;
    // Layout facts of the current build.
    bool compact = false;
    float list_x = 0, list_y = 0, list_w = 0, list_h = 0;
    // Menu entry indexes (-1 when not there) and context entry indexes by tag.
    int menu_record = -1, menu_demo = -1;
    std::array<int, 10> ctx_entry{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    // What the widgets show, so that they are only set when it changes.
    std::string scan_label, view_label, status_text;
    // The device a list press started on.
    std::string press_mac;
    // The list drawn last showed a pulsing row: it wants a frame every tick.
    bool list_pulses = false;
    // The banner's text and how it fits, for the width it was measured at.
    std::string banner_text;
    float banner_w = 0;
    int banner_mode = 0;  // 0 bold, 1 small wrapped, 2 bold cut
};

SCREEN_STATE& S() {
    static SCREEN_STATE s;
    return s;
}

// ---------------------------------------------------------------------------------------
// 7. Build
// ---------------------------------------------------------------------------------------

void draw_header(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user);
void draw_banner(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user);
void draw_list(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user);
void draw_radar(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user);
int on_list_mouse(int id, const ZQ_GUI_MOUSE_EVENT* e, void* user);
int on_radar_mouse(int id, const ZQ_GUI_MOUSE_EVENT* e, void* user);
void on_scan(int id, void* user);
void on_view(int id, void* user);
void on_map(int id, void* user);
void on_names(int id, void* user);
void on_filter(int id, void* user);
void on_search(int id, const char* text, void* user);
void on_menu_open(int id, void* user);
void on_menu(int tag, void* user);
void on_ctx_pick(ZQ_GUI_POPUP* popup, int tag, void* user);
void synchronise(OVK_GUI* g);

float text_w(const ALLEGRO_FONT* f, const char* s) {
    return f ? static_cast<float>(al_get_text_width(f, s)) : 0;
}

float line_h(const ALLEGRO_FONT* f) {
    return f ? static_cast<float>(al_get_font_line_height(f)) : 0;
}

ALLEGRO_FONT* small_font(const OVK_GUI* g) {
    return g->font_small ? g->font_small : g->font;
}

ALLEGRO_FONT* bold_font(const OVK_GUI* g) {
    return g->font_bold ? g->font_bold : g->font;
}

float list_row_h(const OVK_GUI* g) {
    return line_h(bold_font(g)) + 2 * line_h(small_font(g)) + 14 * g->scale;
}

}  // namespace

void ovk_main_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    SCREEN_STATE& st = S();
    st.scan_label.clear();
    st.view_label.clear();
    st.status_text.clear();
    st.banner_text.clear();
    st.menu_record = st.menu_demo = -1;
    st.ctx_entry.fill(-1);
    worker().start();

    ZQ_GUI_CTX* ctx = g->ctx;
    const float p = ovk_pad(g), r = ovk_row_h(g), s = g->scale;
    const float W = g->disp_w, H = g->disp_h;
    const bool compact = W < 640 * s;
    const bool touch = ovk_platform_uses_touch() != 0;
    const bool has_map = ovk_gui_has_screen(OVK_POP_MAP);
    st.compact = compact;

    // 1. The window.
    const int win = zq_gui_add_window(ctx, "Orvik", 0, 0, W, H);
    if (win < 0) return;
    g->win_main = win;
    zq_gui_window_set_flags(ctx, win, ZQ_GUI_WIN_FRAMELESS | ZQ_GUI_WIN_FLAG_40);
    zq_gui_window_set_zorder(ctx, win, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);

    // 2-4. Header and buttons.
    const float hh = g->pal.header != OVK_HEADER_NONE ? 64 * s : 1.2f * r;
    const float view_w = text_w(g->font, "Radar") + 3 * p;
    float scan_w = text_w(g->font, "Start scanning") + 3 * p;
    float map_w = has_map ? view_w : 0;
    float menu_w = text_w(g->font, "History map & timeline") + 3 * p;
    const int buttons = has_map ? 4 : 3;
    float header_w, bx, by, banner_y;
    float cur_view_w = view_w;
    if (!compact) {
        const float row = scan_w + view_w + map_w + menu_w + static_cast<float>(buttons - 1) * p;
        // The buttons end where the banner below them ends, one pad from the right edge.
        header_w = std::max(0.0f, W - row - 3 * p);
        bx = p + header_w + p;
        by = (hh - r) / 2 + p;
        banner_y = hh + 2 * p;
    } else {
        const float unit = W - 5 * p;
        header_w = W - 2 * p;
        cur_view_w = 0.19f * unit;
        map_w = has_map ? 0.19f * unit : 0;
        menu_w = std::max(0.3f * unit, text_w(g->font, "Setup wizard") + 3 * p);
        const float room = W - 2 * p - static_cast<float>(buttons - 1) * p;
        scan_w = std::max(r, room - cur_view_w - map_w - menu_w);
        bx = p;
        by = hh + 2 * p;
        banner_y = hh + 2 * p + r + p;
    }
    g->w_header = zq_gui_add_custom(ctx, win, p, p, header_w, hh, draw_header, g);

    g->w_scan_btn = zq_gui_add_button(ctx, win, bx, by, scan_w, r, "Start scanning", 1, on_scan, g);
    zq_gui_set_widget_theme(ctx, g->w_scan_btn, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(ctx, g->w_scan_btn,
                              "Start or stop listening to Bluetooth LE and WiFi (receive-only)");
    bx += scan_w + p;
    g->w_view_btn = zq_gui_add_button(ctx, win, bx, by, cur_view_w, r, "Radar", 1, on_view, g);
    zq_gui_set_widget_tooltip(ctx, g->w_view_btn,
                              "Switch between the device list and the radar view");
    bx += cur_view_w + p;
    if (has_map) {
        g->w_map_btn = zq_gui_add_button(ctx, win, bx, by, map_w, r, "Map", 1, on_map, g);
        zq_gui_set_widget_tooltip(
            ctx, g->w_map_btn,
            "Map with your position, trace, devices, known plate cameras and drones (Ctrl+M)");
        bx += map_w + p;
    }
    g->w_menu = zq_gui_add_dropmenu(ctx, win, bx, by, menu_w, r, "Menu", on_menu_open, g);
    zq_gui_set_widget_tooltip(ctx, g->w_menu,
                              "History, traces, match log, watchlist, export, settings...");

    // 6. Menu entries: those of screens that exist, the screen's own, and Quit on a desktop.
    for (const MENU_ROW& m : kMenu) {
        if (m.popup >= 0 && !ovk_gui_has_screen(m.popup)) continue;
        if (m.tag == MENU_QUIT && touch) continue;
        const int idx = zq_gui_dropmenu_add_entry(ctx, g->w_menu, compact ? m.compact : m.text,
                                                  m.tag, on_menu, g);
        if (m.tag == MENU_RECORD) st.menu_record = idx;
        if (m.tag == MENU_DEMO) st.menu_demo = idx;
    }

    // 7-8. Banner and status line.
    g->w_banner = zq_gui_add_custom(ctx, win, p, banner_y, W - 2 * p, r, draw_banner, g);
    ALLEGRO_FONT* small = small_font(g);
    const float status_y = banner_y + r + p / 2;
    const float status_h = (compact ? 4.2f : 3.2f) * line_h(small);
    g->w_status =
        zq_gui_add_label(ctx, win, p, status_y, W - 2 * p, status_h, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, g->w_status, small);

    // 9. Filter buttons, wrapping into rows.
    const float fh = 0.9f * r;
    float fx = p, fy = status_y + status_h + p / 2;
    for (int f = 0; f < OVK_FILTER_COUNT; ++f) {
        const float fw = text_w(small, kFilters[f].label) + 2.5f * p;
        if (fx > p && fx + fw > W - p) {
            fx = p;
            fy += fh + p / 2;
        }
        const int id = zq_gui_add_toggle_button(ctx, win, fx, fy, fw, fh, kFilters[f].label, 1,
                                                f == g->filter, on_filter, g);
        zq_gui_set_widget_font(ctx, id, small);
        zq_gui_set_widget_tooltip(ctx, id, kFilters[f].tooltip);
        g->w_filter[static_cast<size_t>(f)] = id;
        fx += fw + p / 2;
    }

    // 10. Search field.
    const float sy = fy + fh + p;
    g->w_search = zq_gui_add_textarea(ctx, win, p, sy, W - 2 * p, r, 0, 120, on_search, g);
    zq_gui_textarea_set_placeholder(ctx, g->w_search,
                                    "Search name, address, vendor or type (Ctrl+F)");
    zq_gui_set_widget_tooltip(ctx, g->w_search,
                              "Filter the list by name, address, vendor, type or match label");
    if (!g->query.empty()) zq_gui_textarea_set_text(ctx, g->w_search, g->query);

    // 11. List and radar, one over the other.
    st.list_x = p;
    st.list_y = sy + r + p;
    st.list_w = W - 2 * p;
    st.list_h = std::max(r, H - p - st.list_y);
    g->w_list =
        zq_gui_add_custom(ctx, win, st.list_x, st.list_y, st.list_w, st.list_h, draw_list, g);
    zq_gui_custom_set_mouse(ctx, g->w_list, on_list_mouse, g);
    g->w_radar =
        zq_gui_add_custom(ctx, win, st.list_x, st.list_y, st.list_w, st.list_h, draw_radar, g);
    zq_gui_custom_set_mouse(ctx, g->w_radar, on_radar_mouse, g);

    // 12. "Names", at the radar's top right.
    const float nw = text_w(small, "Names") + 3 * p;
    g->w_radar_names =
        zq_gui_add_toggle_button(ctx, win, st.list_x + st.list_w - nw - p / 2, st.list_y + p / 2,
                                 nw, 0.85f * r, "Names", 1, g->prefs.radar_names, on_names, g);
    zq_gui_set_widget_font(ctx, g->w_radar_names, small);
    zq_gui_set_widget_tooltip(
        ctx, g->w_radar_names,
        "Show or hide device names on the radar (flagged matches always keep their label)");

    // 13. The device context menu.
    g->ctxmenu = zq_gui_popup_new(ctx, s, on_ctx_pick, g);
    if (g->ctxmenu) {
        for (const CTX_ROW& c : kCtx)
            st.ctx_entry[static_cast<size_t>(c.tag)] =
                zq_gui_popup_add_item(g->ctxmenu, -1, c.text, c.tag, c.tip);
    }

    // 14.
    synchronise(g);
}

// ---------------------------------------------------------------------------------------
// 8. Refresh and synchronisation
// ---------------------------------------------------------------------------------------

namespace {

// What the scan control is doing, from the state asked for (live) and the last status:
// "Starting...", "Stopping..." or "".
std::string scan_progress(const OVK_GUI* g) {
    const bool want = ovk_scan_is_running() != 0;
    const OVK_STATUS& st = g->status;
    if (want && !st.running) return "Starting...";
    if (!want && st.running) return "Stopping...";
    if (st.scan_progress == "Starting..." || st.scan_progress == "Stopping...")
        return st.scan_progress;
    return {};
}

std::string status_text(const OVK_GUI* g, const std::string& progress) {
    const SCREEN_STATE& st = S();
    const OVK_STATUS& s = g->status;
    OVK_MAIN_STATUS_LINE l;
    if (!progress.empty())
        l.state = progress;
    else if (!s.running)
        l.state = "Stopped";
    else
        l.state = s.demo ? "Demo" : "Scanning";
    l.devices = static_cast<int>(g->devices.size());
    l.flagged = st.tally.flagged;
    l.recording = st.recording;
    l.trace_km = st.trace_km;
    l.has_fix = s.has_location != 0;
    l.lat = s.location.lat;
    l.lon = s.location.lon;
    if (s.fix_lost) l.gps_lost = ovk_fix_lost_text(s.fix_age_ms);
    if (s.running) {
        l.radios = s.radio_down;
        if (!s.quiet_radios.empty()) l.radios += (l.radios.empty() ? "" : "; ") + s.quiet_radios;
    }
    if (s.has_cell_anomaly) l.cell_warning = s.cell_anomaly.title;
    l.notes = s.data_note;
    if (!s.record_note.empty()) l.notes += (l.notes.empty() ? "" : " - ") + s.record_note;
    if (s.running)
        l.second_line = s.scanners;
    else if (progress.empty() && s.scan_progress == kStartFailed)
        l.second_line = s.scanners.empty() ? std::string(kStartFailed)
                                           : std::string(kStartFailed) + ": " + s.scanners;
    return ovk_main_status_text(l);
}

void set_label(OVK_GUI* g, int id, std::string& shown, const std::string& want) {
    if (shown == want) return;
    shown = want;
    zq_gui_button_set_label(g->ctx, id, want);
}

void set_toggled(OVK_GUI* g, int id, bool on) {
    if (id >= 0 && (zq_gui_button_is_toggled(g->ctx, id) != 0) != on)
        zq_gui_button_set_toggled(g->ctx, id, on);
}

void set_visible(OVK_GUI* g, int id, bool on) {
    const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g->ctx, id);
    if (w && w->visible != on) zq_gui_set_widget_visible(g->ctx, id, on);
}

void synchronise(OVK_GUI* g) {
    if (!g->ctx || g->win_main < 0) return;
    SCREEN_STATE& st = S();
    const std::string progress = scan_progress(g);
    std::string scan;
    if (!progress.empty())
        scan = progress;
    else if (ovk_scan_is_running())
        scan = st.compact ? "Stop" : "Stop scanning";
    else
        scan = st.compact ? "Start" : "Start scanning";
    set_label(g, g->w_scan_btn, st.scan_label, scan);
    const bool radar = g->prefs.radar_view != 0;
    set_label(g, g->w_view_btn, st.view_label, radar ? "List" : "Radar");
    for (int f = 0; f < OVK_FILTER_COUNT; ++f)
        set_toggled(g, g->w_filter[static_cast<size_t>(f)], f == g->filter);
    set_visible(g, g->w_list, !radar);
    set_visible(g, g->w_radar, radar);
    set_visible(g, g->w_radar_names, radar);
    set_toggled(g, g->w_radar_names, g->prefs.radar_names != 0);
    const std::string text = status_text(g, progress);
    if (text != st.status_text) {
        st.status_text = text;
        ovk_label_set_wrapped(g, g->w_status, text);
    }
}

float max_scroll(const OVK_GUI* g) {
    const SCREEN_STATE& st = S();
    return std::max(0.0f, static_cast<float>(g->visible.size()) * list_row_h(g) - st.list_h);
}

// What of a view shows on the screen, as one text to compare.
std::string look_of(const OVK_MAIN_VIEW& v) {
    const OVK_STATUS& s = v.status;
    return ovk_format(
        1536,
        "%u|%d|%s|%zu|%zu|%d|%d|%d|%s|%s|%d|%.6f|%.6f|%d|%s|%d|%.1f|%s|%d|%s|%s|%s|"
        "%s|%s",
        v.serial, static_cast<int>(v.filter), v.query.c_str(), v.devices.size(), v.visible.size(),
        s.running, s.demo, static_cast<int>(s.scan_state), s.scan_progress.c_str(),
        s.scanners.c_str(), s.has_location, s.location.lat, s.location.lon, s.has_cell_anomaly,
        s.cell_anomaly.title.c_str(), v.recording ? 1 : 0, v.trace_km, s.data_note.c_str(),
        s.listening, s.not_listening.c_str(), s.listening_on.c_str(), s.radio_down.c_str(),
        s.quiet_radios.c_str(), s.fix_lost ? ovk_fix_lost_text(s.fix_age_ms).c_str() : "");
}

// Puts finished work in place; the view it replaces goes back to the worker.
void install(OVK_GUI* g, RESULT r) {
    std::unique_ptr<OVK_MAIN_VIEW>& v = r.view;
    SCREEN_STATE& st = S();
    if (v->filter != g->filter || v->query != g->query ||
        (r.refiltered && r.snapshot != st.snapshot)) {
        // Made for a filter or search the user has already left, or for a snapshot that has
        // been replaced since.
        worker().discard(std::move(v));
        return;
    }
    if (r.refiltered) {
        std::swap(g->visible, v->visible);
        worker().discard(std::move(v));
        g->list_scroll = std::clamp(g->list_scroll, 0.0f, max_scroll(g));
        st.look.clear();
        g->redraw = true;
        return;
    }
    // A frame only when the view shows something new (the frame draws every half second
    // anyway, and every tick while devices are shown).
    const std::string look = look_of(*v);
    if (look != st.look) {
        st.look = look;
        g->redraw = true;
    }
    std::swap(g->devices, v->devices);
    std::swap(g->visible, v->visible);
    std::swap(g->status, v->status);
    ++st.snapshot;
    st.tally = v->tally;
    st.view_ms = v->now_ms;
    st.recording = v->recording;
    st.trace_km = v->trace_km;
    worker().discard(std::move(v));
    g->list_scroll = std::clamp(g->list_scroll, 0.0f, max_scroll(g));
    // A start that left scanning off says so once.
    if (g->status.scan_progress != st.last_progress) {
        st.last_progress = g->status.scan_progress;
        if (st.last_progress == kStartFailed)
            ovk_gui_message(g, "Could not start scanning - see the status line");
    }
}

}  // namespace

void ovk_main_refresh(OVK_GUI* g) {
    OVK_CHECK(g);
    SCREEN_STATE& st = S();
    if (g->filter != st.asked_filter || g->query != st.asked_query) {
        // A new filter or search: a new list for the snapshot on the screen first (it needs
        // no new snapshot), then the whole view.
        st.asked_filter = g->filter;
        st.asked_query = g->query;
        worker().ask_refilter(g->filter, g->query, g->devices.refs(), st.snapshot);
    }
    worker().ask_view(g->filter, g->query);
    ovk_main_tick(g);
}

void ovk_main_tick(OVK_GUI* g) {
    OVK_CHECK(g);
    std::vector<std::string> messages;
    RESULT r = worker().take(messages);
    if (r.view) install(g, std::move(r));
    for (const std::string& m : messages) ovk_gui_message(g, "%s", m.c_str());
    synchronise(g);
    if (S().list_pulses && !g->prefs.radar_view) g->redraw = true;
}

void ovk_main_shutdown(OVK_GUI* g) {
    (void)g;
    worker().stop();
    SCREEN_STATE& st = S();
    st = SCREEN_STATE{};
}

bool ovk_main_settle(OVK_GUI* g, int timeout_ms) {
    OVK_CHECK(g, false);
    const bool idle = worker().wait_idle(timeout_ms);
    ovk_main_tick(g);
    return idle;
}

// ---------------------------------------------------------------------------------------
// 9. Drawing
// ---------------------------------------------------------------------------------------

namespace {

// Premultiplied: Allegro blends with premultiplied alpha.
ALLEGRO_COLOR faded(ALLEGRO_COLOR c, float a) {
    return al_map_rgba_f(c.r * a, c.g * a, c.b * a, c.a * a);
}

const ALLEGRO_COLOR kWhite = {1, 1, 1, 1};

void draw_header(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    ovk_theme_draw_header(static_cast<OVK_GUI*>(user), x, y, wd->w, wd->h);
}

void draw_banner(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    SCREEN_STATE& st = S();
    const float w = wd->w, h = wd->h, p = ovk_pad(g), r6 = 6 * g->scale;
    const OVK_BANNER b = ovk_main_banner(g->devices, st.tally, g->status.running != 0,
                                         g->status.scanners, g->prefs.alert_threshold, &g->status);
    if (b.kind == OVK_BANNER_IDLE) {
        zq_gui_frame_box(g->ctx, x, y, w, h, r6, r6, g->pal.border, 1);
        al_hold_bitmap_drawing(true);
        ovk_draw_text_clip(g->font, g->pal.dim, x + p, y + (h - line_h(g->font)) / 2, w - 2 * p,
                           b.text);
        al_hold_bitmap_drawing(false);
        return;
    }
    zq_gui_fill_box(g->ctx, x, y, w, h, r6, r6, ovk_ink(g, b.argb));
    ALLEGRO_FONT* bold = bold_font(g);
    ALLEGRO_FONT* small = small_font(g);
    const float tw = w - 2 * p;
    if (b.text != st.banner_text || tw != st.banner_w) {
        st.banner_text = b.text;
        st.banner_w = tw;
        if (text_w(bold, b.text.c_str()) <= tw)
            st.banner_mode = 0;
        else if (ovk_text_wrap_height(small, tw, b.text) <= 2 * line_h(small) + 0.5f)
            st.banner_mode = 1;
        else
            st.banner_mode = 2;
    }
    al_hold_bitmap_drawing(true);
    if (st.banner_mode == 1) {
        const float th = ovk_text_wrap_height(small, tw, b.text);
        ovk_draw_text_wrap(small, kWhite, x + p, y + (h - th) / 2, tw, b.text);
    } else {
        ovk_draw_text_clip(bold, kWhite, x + p, y + (h - line_h(bold)) / 2, tw, b.text);
    }
    al_hold_bitmap_drawing(false);
}

// One list row as drawn.
struct ROW {
    const OVK_DEVICE* d = nullptr;
    float top = 0;
    bool tinted = false;
    ALLEGRO_COLOR colour{};
    std::string badge;
    float badge_w = 0;
    float text_w = 0;  // for line 1
};

std::string line3(const OVK_DEVICE& d, int64_t now_ms) {
    std::string who;
    if (!d.hits.empty() && !d.name.empty())
        who = "\"" + d.name + "\"";
    else
        who = d.device_type;
    const char* src = (d.sources & 3) == 3 ? "BLE+WiFi" : (d.sources & 2) ? "WiFi" : "BLE";
    return ovk_format(512, "%s - %s - %s %d dBm %s - %s%s%s%s", who.c_str(), src, ovk_band(d.rssi),
                      d.rssi, ovk_format_distance(d.distance_m).c_str(),
                      ovk_age_text(now_ms, d.last_seen).c_str(), d.following ? "  FOLLOWING" : "",
                      d.favorite ? "  *" : "", d.has_known ? "" : "  NEW");
}

void draw_list(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const float w = wd->w, h = wd->h, s = g->scale, p = ovk_pad(g);
    ALLEGRO_FONT* bold = bold_font(g);
    ALLEGRO_FONT* small = small_font(g);
    const float rh = list_row_h(g);
    const size_t n = g->visible.size();
    g->list_scroll = std::clamp(g->list_scroll, 0.0f, max_scroll(g));

    if (n == 0) {
        S().list_pulses = false;
        const char* text = !g->devices.empty() ? "No devices match this filter."
                           : g->status.running == 0
                               ? "Not scanning.\nPress Start scanning to begin."
                           : g->status.listening != 0
                               ? "Listening... no devices heard yet."
                               : "Not listening: no radio is working.\nThe status line above "
                                 "says why.";
        const float th = ovk_text_wrap_height(g->font, w - 4 * p, text);
        al_hold_bitmap_drawing(true);
        ovk_draw_text_wrap(g->font, g->pal.dim, x + 2 * p, y + (h - th) / 2, w - 4 * p, text);
        al_hold_bitmap_drawing(false);
        return;
    }

    const int64_t now_ms = ovk_main_now_ms();
    const float pulse = 0.12f + 0.18f * (0.5f + 0.5f * static_cast<float>(std::sin(6 * g->now_s)));
    const int threshold = g->prefs.alert_threshold;
    const size_t first = static_cast<size_t>(g->list_scroll / rh);
    const bool pressing = g->list_dragging && !g->list_press_moved;
    const float r6 = 6 * s, r4 = 4 * s;
    const float text_x = x + p + 6 * s;
    const float full_w = w - p - 6 * s - p;
    const float badge_h = line_h(small) + 2 * s;
    const float badge_y = 6 * s;
    std::vector<ROW> rows;
    bool pulses = false;
    // Shapes first, then all the text in one held batch.
    for (size_t i = first; i < n; ++i) {
        const float top = y + static_cast<float>(i) * rh - g->list_scroll;
        if (top >= y + h) break;
        const int idx = g->visible[i];
        if (idx < 0 || static_cast<size_t>(idx) >= g->devices.size()) continue;
        ROW row;
        row.d = &g->devices[static_cast<size_t>(idx)];
        row.top = top;
        const OVK_DEVICE& d = *row.d;
        const bool pressed = pressing && g->list_press_row == static_cast<int>(i);
        zq_gui_fill_box(g->ctx, x + 2, top + 2, w - 4, rh - 4, r6, r6,
                        pressed ? g->pal.panel_hi : g->pal.panel);
        const OVK_HIT* best = ovk_device_best(d);
        row.colour = ovk_device_color(g, d);
        row.tinted = best && !d.whitelisted;
        if (row.tinted) {
            const bool recent = now_ms - d.last_seen <= 60000;
            const bool urgent =
                d.following || (best->confidence >= threshold && best->category != OVK_CAT_TRACKER);
            const float a = recent && urgent ? pulse : 0.18f;
            pulses = pulses || (recent && urgent);
            zq_gui_fill_box(g->ctx, x + 2, top + 2, w - 4, rh - 4, r6, r6, faded(row.colour, a));
            al_draw_filled_rectangle(x + 2 + 4, top + 2 + 4, x + 2 + 4 + 5 * s, top + rh - 2 - 4,
                                     row.colour);
        }
        ALLEGRO_COLOR badge_bg = row.colour;
        if (d.whitelisted) {
            row.badge = "WHITELISTED";
            badge_bg = ovk_ink(g, 0xFF6B7B80u);
        } else if (best) {
            row.badge = ovk_format(256, "%s%s - %s %d%%", d.following ? "FOLLOWING - " : "",
                                   ovk_cat_tag(best->category),
                                   ovk_tier_label(ovk_tier_of(best->confidence)), best->confidence);
        }
        row.text_w = full_w;
        if (!row.badge.empty()) {
            row.badge_w = text_w(small, row.badge.c_str()) + p;
            if (row.badge_w < 0.6f * full_w) {
                row.text_w = full_w - row.badge_w - p / 2;
                zq_gui_fill_box(g->ctx, x + w - p - row.badge_w, top + badge_y, row.badge_w,
                                badge_h, r4, r4, badge_bg);
            } else {
                row.badge.clear();
            }
        }
        rows.push_back(std::move(row));
    }
    S().list_pulses = pulses;
    const float content = static_cast<float>(n) * rh;
    if (content > h) {
        const float th = std::max(h * h / content, 12 * s);
        const float ms = max_scroll(g);
        const float ty = y + (ms > 0 ? g->list_scroll / ms : 0) * (h - th);
        zq_gui_fill_box(g->ctx, x + w - 5 * s, ty, 5 * s, th, 2, 2, g->pal.border);
    }

    al_hold_bitmap_drawing(true);
    const float bold_h = line_h(bold);
    for (const ROW& row : rows) {
        const OVK_DEVICE& d = *row.d;
        const OVK_HIT* best = ovk_device_best(d);
        const std::string& l1 = best ? best->label : !d.name.empty() ? d.name : d.device_type;
        ovk_draw_text_clip(row.tinted ? bold : g->font, g->pal.text, text_x, row.top + 6 * s,
                           row.text_w, l1);
        const std::string l2 = ovk_format(
            512, "%s  -  %s", d.mac.c_str(),
            !d.vendor.empty() ? d.vendor.c_str() : ovk_addr_label_checked(d.addr_type, d.mac));
        const float y2 = row.top + 6 * s + bold_h + 1 * s;
        ovk_draw_text_clip(small, g->pal.dim, text_x, y2, full_w, l2);
        ovk_draw_text_clip(small, g->pal.dim, text_x, y2 + line_h(small), full_w, line3(d, now_ms));
        if (!row.badge.empty()) {
            const float bx = x + w - p - row.badge_w;
            al_draw_text(small, kWhite, bx + row.badge_w / 2, row.top + badge_y + 1 * s,
                         ALLEGRO_ALIGN_CENTRE, row.badge.c_str());
        }
    }
    al_hold_bitmap_drawing(false);
}

// Triangles gathered for one al_draw_prim call.
struct TRIANGLES {
    std::vector<ALLEGRO_VERTEX> v;

    void vertex(float x, float y, ALLEGRO_COLOR c) {
        ALLEGRO_VERTEX a{};
        a.x = x;
        a.y = y;
        a.color = c;
        v.push_back(a);
    }
    void disc(float cx, float cy, float r, ALLEGRO_COLOR c) {
        const int seg = std::clamp(static_cast<int>(r * 1.5f), 8, 24);
        for (int i = 0; i < seg; ++i) {
            const float a0 = 2 * ALLEGRO_PI * static_cast<float>(i) / static_cast<float>(seg);
            const float a1 = 2 * ALLEGRO_PI * static_cast<float>(i + 1) / static_cast<float>(seg);
            vertex(cx, cy, c);
            vertex(cx + r * std::cos(a0), cy + r * std::sin(a0), c);
            vertex(cx + r * std::cos(a1), cy + r * std::sin(a1), c);
        }
    }
    // A ring of the given thickness centred on radius r.
    void ring(float cx, float cy, float r, float thick, ALLEGRO_COLOR c) {
        const float ri = std::max(0.0f, r - thick / 2), ro = r + thick / 2;
        const int seg = std::clamp(static_cast<int>(ro), 12, 48);
        for (int i = 0; i < seg; ++i) {
            const float a0 = 2 * ALLEGRO_PI * static_cast<float>(i) / static_cast<float>(seg);
            const float a1 = 2 * ALLEGRO_PI * static_cast<float>(i + 1) / static_cast<float>(seg);
            const float c0 = std::cos(a0), s0 = std::sin(a0), c1 = std::cos(a1), s1 = std::sin(a1);
            vertex(cx + ri * c0, cy + ri * s0, c);
            vertex(cx + ro * c0, cy + ro * s0, c);
            vertex(cx + ro * c1, cy + ro * s1, c);
            vertex(cx + ri * c0, cy + ri * s0, c);
            vertex(cx + ro * c1, cy + ro * s1, c);
            vertex(cx + ri * c1, cy + ri * s1, c);
        }
    }
    void draw() {
        if (!v.empty())
            al_draw_prim(v.data(), nullptr, nullptr, 0, static_cast<int>(v.size()),
                         ALLEGRO_PRIM_TRIANGLE_LIST);
        v.clear();
    }
};

struct LABEL {
    float x, y, w;
    ALLEGRO_COLOR colour;
    std::string text;
    bool flagged;
};

void draw_radar(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const float w = wd->w, h = wd->h, s = g->scale;
    const float m = 28 * s;
    const float R = std::min(w, h - m) / 2 - 8 * s;
    g->radar_hits.clear();
    if (!(R > 0)) return;
    const float cx = x + w / 2, cy = y + (h - m) / 2;
    ALLEGRO_FONT* small = small_font(g);
    const float sh = line_h(small);
    const ALLEGRO_COLOR& scope = g->pal.scope;
    const ALLEGRO_COLOR grid =
        al_map_rgba_f(scope.r * 0.33f, scope.g * 0.33f, scope.b * 0.33f, 0.33f);

    // Rings, cross and the sweep.
    const float rings[3] = {16.0f / 35 * R, 24.8f / 35 * R, R};
    for (float rr : rings) al_draw_circle(cx, cy, rr, grid, 1.2f * s);
    al_draw_line(cx - R, cy, cx + R, cy, grid, 1.2f * s);
    al_draw_line(cx, cy - R, cx, cy + R, grid, 1.2f * s);
    TRIANGLES tri;
    const double sweep = std::fmod(72.0 * g->now_s, 360.0) * ALLEGRO_PI / 180.0;
    g->radar_sweep = static_cast<float>(sweep);
    for (int i = 0; i < 24; ++i) {
        const float a0 = static_cast<float>(sweep - 0.035 * i);
        const float a1 = a0 - 0.036f;
        const ALLEGRO_COLOR c = faded(scope, (1 - static_cast<float>(i) / 24) * 0.33f);
        tri.vertex(cx, cy, c);
        tri.vertex(cx + R * std::cos(a0), cy + R * std::sin(a0), c);
        tri.vertex(cx + R * std::cos(a1), cy + R * std::sin(a1), c);
    }
    tri.draw();

    // Which devices: the first of the list, where flagged devices come first, so that a crowd
    // of plain devices never keeps a flagged one off the radar.
    const size_t shown = std::min(g->visible.size(), static_cast<size_t>(kRadarMax));
    struct BLIP {
        const OVK_DEVICE* d;
        int idx;
        float bx, by;
        bool flagged;
    };
    std::vector<BLIP> blips;
    blips.reserve(shown);
    for (size_t i = 0; i < shown; ++i) {
        const int idx = g->visible[i];
        if (idx < 0 || static_cast<size_t>(idx) >= g->devices.size()) continue;
        const OVK_DEVICE& d = g->devices[static_cast<size_t>(idx)];
        const OVK_RADAR_POS pos = ovk_main_radar_pos(d.mac, d.rssi, R);
        blips.push_back(BLIP{&d, idx, cx + pos.dx, cy + pos.dy, ovk_device_flagged(d) != 0});
    }
    // Plain devices, then the flagged ones on top.
    const float f = static_cast<float>(std::fmod(g->now_s, 1.0));
    for (int pass = 0; pass < 2; ++pass) {
        for (const BLIP& b : blips) {
            if (b.flagged != (pass == 1)) continue;
            float rad = 4 * s;
            if (!b.flagged) {
                tri.disc(b.bx, b.by, rad, scope);
            } else {
                const ALLEGRO_COLOR c = ovk_device_color(g, *b.d);
                tri.ring(b.bx, b.by, (7 + 14 * f) * s, 2 * s, faded(c, 0.8f * (1 - f)));
                rad = 7 * s;
                tri.disc(b.bx, b.by, rad, c);
            }
            if (g->radar_hits.size() < static_cast<size_t>(OVK_RADAR_HITS_MAX)) {
                OVK_HITBOX hb;
                hb.x = b.bx - x - rad;
                hb.y = b.by - y - rad;
                hb.w = hb.h = 2 * rad;
                hb.tag = b.idx;
                hb.key = b.d->mac;
                g->radar_hits.push_back(std::move(hb));
            }
        }
        tri.draw();
    }
    tri.disc(cx, cy, 5 * s, g->pal.trace);
    tri.draw();

    // Labels: the ring labels hold their places from the start; flagged devices' labels come
    // first, the others only with "Names" on.
    std::vector<OVK_RECT> taken;
    taken.reserve(kLabelRects);
    std::vector<LABEL> labels;
    const char* ring_text[3] = {"Near", "Nearby", "Far"};
    for (int i = 0; i < 3; ++i) {
        const float lx = cx + 4 * s, ly = cy - rings[i] + 2 * s;
        labels.push_back(LABEL{lx, ly, 0, g->pal.scope_text, ring_text[i], false});
        taken.push_back(OVK_RECT{lx - 2, ly - 2, text_w(small, ring_text[i]) + 4, sh + 4});
    }
    // The dots too, so that a label does not cover a device: a flagged device's label only
    // keeps clear of the centre and the flagged dots (it must find a place in a crowd), the
    // other labels of every dot.
    const auto take_dots = [&](bool flagged) {
        for (const BLIP& b : blips) {
            if (b.flagged != flagged) continue;
            const float rad = (b.flagged ? 7 : 4) * s;
            taken.push_back(OVK_RECT{b.bx - rad, b.by - rad, 2 * rad, 2 * rad});
        }
    };
    taken.push_back(OVK_RECT{cx - 5 * s, cy - 5 * s, 10 * s, 10 * s});
    take_dots(true);
    const OVK_RECT area{x, y, w, h};
    const float max_w = 150 * s;
    // The device's colour; on a dark background lifted towards the text colour, since the
    // darker category colours (drone blue, watchlist purple) are hard to read on black.
    const auto label_colour = [g](const OVK_DEVICE& d) {
        const ALLEGRO_COLOR c = ovk_device_color(g, d);
        return g->pal.dark ? ovk_mix(c, g->pal.text, 0.3f) : c;
    };
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !g->prefs.radar_names) break;
        if (pass == 1) take_dots(false);
        for (const BLIP& b : blips) {
            if (b.flagged != (pass == 0)) continue;
            const OVK_DEVICE& d = *b.d;
            const OVK_HIT* best = ovk_device_best(d);
            std::string text = b.flagged && best ? best->label
                               : !d.name.empty() ? d.name
                                                 : d.device_type;
            if (text.empty()) continue;
            float tw = text_w(small, text.c_str());
            if (tw > max_w) {
                text = zq_gui_text_shorten(small, text, max_w);
                tw = text_w(small, text.c_str());
            }
            float lx, ly;
            if (ovk_main_place_label(taken, kLabelRects, area, b.bx, b.by, (b.flagged ? 10 : 7) * s,
                                     tw, sh, &lx, &ly))
                labels.push_back(LABEL{lx, ly, tw, b.flagged ? label_colour(d) : g->pal.scope_text,
                                       std::move(text), b.flagged});
        }
    }
    // A flagged label may lie over plain dots: a veil of the background keeps it readable.
    const ALLEGRO_COLOR veil = faded(g->pal.bg, 0.75f);
    for (size_t i = 3; i < labels.size() && labels[i].flagged; ++i)
        al_draw_filled_rectangle(labels[i].x - 2, labels[i].y, labels[i].x + labels[i].w + 2,
                                 labels[i].y + sh, veil);
    al_hold_bitmap_drawing(true);
    for (const LABEL& l : labels) al_draw_text(small, l.colour, l.x, l.y, 0, l.text.c_str());
    al_draw_text(small, g->pal.scope_text, x + 8 * s, y + h - 8 * s - sh, 0,
                 "Closer to centre = stronger signal - angle is not direction");
    al_hold_bitmap_drawing(false);
}

// ---------------------------------------------------------------------------------------
// 10. Input
// ---------------------------------------------------------------------------------------

// The display position of a point of a widget.
void screen_point(OVK_GUI* g, int id, float wx, float wy, float* sx, float* sy) {
    float x = 0, y = 0, w = 0, h = 0;
    zq_gui_widget_screen_rect(g->ctx, id, &x, &y, &w, &h);
    *sx = x + wx;
    *sy = y + wy;
}

int on_list_mouse(int id, const ZQ_GUI_MOUSE_EVENT* e, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    SCREEN_STATE& st = S();
    const float rh = list_row_h(g);
    const auto row_at = [&](float wy) {
        if (wy < 0) return -1;
        const auto row = static_cast<size_t>((wy + g->list_scroll) / rh);
        return row < g->visible.size() ? static_cast<int>(row) : -1;
    };
    const auto mac_of_row = [&](int row) -> std::string {
        const int idx = g->visible[static_cast<size_t>(row)];
        return idx >= 0 && static_cast<size_t>(idx) < g->devices.size()
                   ? g->devices[static_cast<size_t>(idx)].mac
                   : std::string();
    };
    switch (e->type) {
        case ZQ_GUI_MOUSE_DOWN: {
            const int row = row_at(e->y);
            if (e->button == 2) {
                if (row >= 0) {
                    float sx, sy;
                    screen_point(g, id, e->x, e->y, &sx, &sy);
                    ovk_main_device_menu(g, mac_of_row(row), sx, sy);
                }
                return 1;
            }
            if (e->button != 1) return 1;
            g->list_dragging = true;
            g->list_press_moved = false;
            g->list_drag_y = e->y;
            g->list_drag_start_scroll = g->list_scroll;
            g->list_press_row = row;
            // The events' own times: a busy frame must not turn a long press into a tap.
            g->list_press_t = e->time;
            // The device pressed, by address: a new view may come in before the release.
            st.press_mac = row >= 0 ? mac_of_row(row) : std::string();
            return 1;
        }
        case ZQ_GUI_MOUSE_MOVE:
            if (!g->list_dragging) return 0;
            if (!g->list_press_moved && std::fabs(e->y - g->list_drag_y) > 10 * g->scale)
                g->list_press_moved = true;
            if (g->list_press_moved)
                g->list_scroll = std::clamp(g->list_drag_start_scroll - (e->y - g->list_drag_y),
                                            0.0f, max_scroll(g));
            return 1;
        case ZQ_GUI_MOUSE_WHEEL:
            g->list_scroll =
                std::clamp(g->list_scroll - static_cast<float>(e->dz) * rh, 0.0f, max_scroll(g));
            return 1;
        case ZQ_GUI_MOUSE_UP: {
            if (e->button != 1 || !g->list_dragging) return 1;
            g->list_dragging = false;
            const bool tap = !g->list_press_moved && g->list_press_row >= 0;
            g->list_press_row = -1;
            const std::string mac = std::move(st.press_mac);
            st.press_mac.clear();
            if (!tap || mac.empty()) return 1;
            if (e->time - g->list_press_t > 0.6) {
                float sx, sy;
                screen_point(g, id, e->x, e->y, &sx, &sy);
                ovk_main_device_menu(g, mac, sx, sy);
            } else {
                ovk_main_open_device(g, mac);
            }
            return 1;
        }
        default:
            return 0;
    }
}

int on_radar_mouse(int, const ZQ_GUI_MOUSE_EVENT* e, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (e->type == ZQ_GUI_MOUSE_DOWN) return 1;
    if (e->type != ZQ_GUI_MOUSE_UP) return 0;
    if (e->button != 1) return 1;
    const OVK_HITBOX* near = nullptr;
    float best = 0;
    for (const OVK_HITBOX& hb : g->radar_hits) {
        const float dx = hb.x + hb.w / 2 - e->x, dy = hb.y + hb.h / 2 - e->y;
        const float d2 = dx * dx + dy * dy;
        if (!near || d2 < best) {
            near = &hb;
            best = d2;
        }
    }
    const float reach = 28 * g->scale;
    if (near && best <= reach * reach) ovk_main_open_device(g, std::string(near->key));
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 11. Commands
// ---------------------------------------------------------------------------------------

namespace {

const OVK_DEVICE* find_device(const OVK_GUI* g, std::string_view mac) {
    for (const OVK_DEVICE& d : g->devices)
        if (d.mac == mac) return &d;
    return nullptr;
}

void set_prefs_flag(OVK_GUI* g, int OVK_PREFS::*field) {
    OVK_PREFS p = g->prefs;
    p.*field = !(p.*field);
    ovk_gui_set_prefs(g, p);
}

bool demo_on(const OVK_GUI* g) {
    return g->prefs.demo_mode || ovk_scan_demo_override() > 0;
}

void on_scan(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (ovk_scan_is_running()) {
        ovk_scan_stop();
        ovk_gui_message(g, "Scanning stopped");
    } else if (!demo_on(g) && !ovk_platform_permissions_ok()) {
        ovk_gui_request_permissions(g);
        synchronise(g);
        return;
    } else if (ovk_scan_start() != 0) {
        // A start the scan control would not even take; one that fails later says so
        // through the status.
        ovk_gui_message(g, "Could not start scanning - see the status line");
    }
    synchronise(g);
    ovk_main_refresh(g);
}

void on_view(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    set_prefs_flag(g, &OVK_PREFS::radar_view);
    synchronise(g);
}

void on_names(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    set_prefs_flag(g, &OVK_PREFS::radar_names);
    synchronise(g);
}

void on_map(int, void* user) {
    ovk_gui_show_screen(static_cast<OVK_GUI*>(user), OVK_POP_MAP);
}

void on_filter(int id, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    for (int f = 0; f < OVK_FILTER_COUNT; ++f)
        if (g->w_filter[static_cast<size_t>(f)] == id) g->filter = static_cast<OVK_FILTER>(f);
    g->list_scroll = 0;
    synchronise(g);
    ovk_main_refresh(g);
}

void on_search(int, const char* text, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    g->query = utf8_cut(text ? text : "", OVK_QUERY_MAX);
    g->list_scroll = 0;
    ovk_main_refresh(g);
}

void on_menu_open(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const SCREEN_STATE& st = S();
    if (st.menu_record >= 0)
        zq_gui_dropmenu_set_entry_text(g->ctx, g->w_menu, st.menu_record,
                                       !st.recording ? "Record trace"
                                       : st.compact  ? "Stop trace"
                                                     : "Stop recording trace");
    if (st.menu_demo >= 0) {
        const bool on = demo_on(g);
        zq_gui_dropmenu_set_entry_text(g->ctx, g->w_menu, st.menu_demo,
                                       st.compact ? (on ? "Demo: on" : "Demo: off")
                                                  : (on ? "Demo mode: on" : "Demo mode: off"));
    }
}

// A trace: stops the one recording, else starts one (and scanning, which it needs).
void record_trace(OVK_GUI* g) {
    worker().post([] {
        if (ovk_trip_is_recording()) {
            ovk_trip_stop();
            return std::string("Trace saved - see Traces");
        }
        if (!ovk_scan_is_running()) ovk_scan_start();
        if (ovk_trip_start() < 0) return std::string("Could not start recording a trace");
        ovk_scan_refresh();
        return std::string("Recording a trace: your route and every device heard along it");
    });
    ovk_main_refresh(g);
}

void toggle_demo(OVK_GUI* g) {
    const bool was_on = demo_on(g);
    const bool by_option = ovk_scan_demo_override() > 0;
    // The run's --demo is a demo the preference does not know about; turning demo off here
    // ends it too.
    if (by_option) ovk_scan_set_demo_override(0);
    OVK_PREFS p = g->prefs;
    p.demo_mode = was_on ? 0 : 1;
    const bool pref_changed = p.demo_mode != g->prefs.demo_mode;
    ovk_gui_set_prefs(g, p);  // restarts a running scan when the preference changed
    if (!pref_changed && by_option && ovk_scan_is_running()) {
        ovk_scan_stop();
        ovk_scan_start();
    }
    if (!was_on) {
        if (!ovk_scan_is_running()) ovk_scan_start();
        ovk_gui_message(g, "Demo mode: made-up devices run through the real detection");
    } else {
        ovk_gui_message(g, "Demo mode off");
    }
    synchronise(g);
    ovk_main_refresh(g);
}

void on_menu(int tag, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    switch (static_cast<OVK_MAIN_MENU>(tag)) {
        case MENU_MAP:
        case MENU_HISTORY:
        case MENU_TRIPS:
        case MENU_LOG:
        case MENU_WATCHLIST:
        case MENU_WHITELIST:
        case MENU_EXPORT:
        case MENU_SETTINGS:
        case MENU_SETUP:
        case MENU_ABOUT:
            for (const MENU_ROW& m : kMenu)
                if (m.tag == tag) ovk_gui_show_screen(g, m.popup);
            break;
        case MENU_RECORD:
            record_trace(g);
            break;
        case MENU_DEMO:
            toggle_demo(g);
            break;
        case MENU_QUIT:
            g->quit_requested = true;
            break;
    }
}

void show_ctx(OVK_GUI* g, OVK_MAIN_CTX tag, bool shown) {
    const int e = S().ctx_entry[static_cast<size_t>(tag)];
    if (e >= 0) zq_gui_popup_set_shown(g->ctxmenu, e, shown);
}

bool ctx_screen_ok(OVK_MAIN_CTX tag) {
    for (const CTX_ROW& c : kCtx)
        if (c.tag == tag) return c.popup < 0 || ovk_gui_has_screen(c.popup);
    return false;
}

void on_ctx_pick(ZQ_GUI_POPUP*, int tag, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const std::string mac = g->ctxmenu_mac;
    if (mac.empty()) return;
    const OVK_DEVICE* d = find_device(g, mac);
    const std::string name = d ? d->name : std::string();
    switch (static_cast<OVK_MAIN_CTX>(tag)) {
        case CTX_DETAILS:
            ovk_main_open_device(g, mac);
            break;
        case CTX_WATCH:
            if (ctx_screen_ok(CTX_WATCH)) ovk_watch_add_show(g, mac, ovk_main_watch_label(d));
            break;
        case CTX_REPORT:
            if (ctx_screen_ok(CTX_REPORT)) ovk_report_show(g, mac);
            break;
        case CTX_MAP:
            if (ctx_screen_ok(CTX_MAP) && d && d->has_best_pos)
                ovk_map_show_at(g, 17, d->best_pos.lat, d->best_pos.lon);
            break;
        case CTX_WHITELIST:
        case CTX_UNWHITELIST:
            ovk_port_whitelist(g, mac, tag == CTX_WHITELIST, name);
            break;
        case CTX_FAVORITE:
        case CTX_UNFAVORITE:
            ovk_port_favorite(g, mac, tag == CTX_FAVORITE, name, d ? d->vendor : std::string(),
                              d ? d->device_type : std::string());
            break;
        case CTX_COPY:
            ovk_gui_copy(g, mac);
            break;
    }
    ovk_main_refresh(g);
}

}  // namespace

void ovk_main_device_menu(OVK_GUI* g, std::string_view mac, float x, float y) {
    OVK_CHECK(g);
    if (!g->ctxmenu || mac.empty()) return;
    g->ctxmenu_mac = std::string(mac);
    const OVK_DEVICE* d = find_device(g, mac);
    zq_gui_popup_set_title(g->ctxmenu, g->ctxmenu_mac);
    const bool whitelisted = ovk_store_is_whitelisted(mac) == 1;
    const bool favorite = ovk_store_is_favorite(mac) == 1;
    show_ctx(g, CTX_DETAILS, ctx_screen_ok(CTX_DETAILS));
    show_ctx(g, CTX_WATCH, ctx_screen_ok(CTX_WATCH));
    show_ctx(g, CTX_WHITELIST, !whitelisted);
    show_ctx(g, CTX_UNWHITELIST, whitelisted);
    show_ctx(g, CTX_FAVORITE, !favorite);
    show_ctx(g, CTX_UNFAVORITE, favorite);
    show_ctx(g, CTX_COPY, true);
    show_ctx(g, CTX_MAP, ctx_screen_ok(CTX_MAP) && d && d->has_best_pos);
    show_ctx(g, CTX_REPORT, ctx_screen_ok(CTX_REPORT) && d && d->hits.empty());
    if (g->in_event) {
        g->pending_menu = true;
        g->pending_menu_x = x;
        g->pending_menu_y = y;
    } else {
        zq_gui_popup_open(g->ctxmenu, x, y);
        g->redraw = true;
    }
}

void ovk_main_open_device(OVK_GUI* g, std::string_view mac) {
    OVK_CHECK(g);
    if (mac.empty() || !ovk_gui_has_screen(OVK_POP_DETAIL)) return;
    g->sel_mac = std::string(mac);
    ovk_gui_show_screen(g, OVK_POP_DETAIL);
}
