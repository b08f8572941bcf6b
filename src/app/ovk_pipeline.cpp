// SPDX-License-Identifier: GPL-3.0-or-later
// The detection pipeline and its scan control.
//
// Index
//   1. State, hooks and small helpers
//   2. Alerts (device alerts, map alerts, the ring)
//   3. Fixes, the stationary test and plate cameras ahead
//   4. Cell reports
//   5. Processing one advertisement
//   6. Queue and worker
//   7. Life cycle, sink, status, threat level
//   8. Scan control (carried out on its own thread) and housekeeping
#include "ovk_pipeline.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_app_util.h"
#include "ovk_datafile.h"
#include "ovk_demo.h"
#include "ovk_fusion.h"
#include "ovk_intel.h"
#include "ovk_lock.h"
#include "ovk_record.h"
#include "ovk_remoteid.h"
#include "ovk_ridcheck.h"
#include "ovk_signature.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State, hooks and small helpers
// ---------------------------------------------------------------------------------------

// ITEM_RECHECK carries nothing: every item first checks whether the rules changed.
enum ITEM_KIND : int { ITEM_ADVERT = 0, ITEM_LOCATION = 1, ITEM_CELLS = 2, ITEM_RECHECK = 3 };

struct ITEM {
    ITEM_KIND kind = ITEM_ADVERT;
    OVK_ADVERT_PTR advert;
    OVK_LOCATION loc;
    std::vector<OVK_CELL> cells;
    std::string sim;  // cut to 7
    int roaming = 0;
    uint64_t fix_gen = 0;  // a fix queued before the fix was cleared is dropped
};

struct CLASSIFIED {
    int64_t time = 0;
    OVK_HITS hits;
    OVK_IDENTITY identity;
    std::string vendor;  // cut to 127
};

// A cache entry: the verdicts are shared read-only with the adverts that reuse them.
struct CACHED {
    std::shared_ptr<const CLASSIFIED> c;
    // What the adverts that used these verdicts said (ovk_heard_shape): an advert that says
    // the same tells its address nothing new, so the verdicts stand for it without asking the
    // registry what the address sent before.
    std::array<uint64_t, 2> shapes{};
};

constexpr size_t kFixHistoryMax = 240;    // fixes kept for the stationary test
constexpr int64_t kFixWindowMs = 180000;  // the stationary test looks this far back
// Intervals: the thing may happen again once this much time has passed (elapsed >= value).
constexpr int64_t kDroneCooldownMs = 300000;  // drone-overhead alert per drone
constexpr int64_t kLogIntervalMs = 30000;     // logged detection per device
constexpr int64_t kFreshFixMs = 60000;        // a fix older than this gives alerts no position
// The per-address memories (classification cache, last log, last alerts) are swept of
// entries past their window whenever they have doubled since the last sweep, so they follow
// the live devices instead of every address of the session, at an amortised constant cost
// per insertion. An entry is dropped this long after its window ends, so that an advert
// whose time lags a little (a BSS's age) still meets its entry.
constexpr size_t kSweepMin = 4096;
constexpr size_t kFlushPieceRows = 4096;  // registry rows the history flush takes at a time
constexpr int64_t kSweepSlackMs = 60000;
constexpr int64_t kCellCooldownMs = 1800000;  // cell anomaly per key
constexpr int64_t kAlprCooldownMs = 1800000;  // plate-camera alert per camera
constexpr int64_t kHistoryFlushMs = 60000;    // history flush while scanning
constexpr int64_t kCellStatusMs = 900000;     // a cell anomaly shows in the status this long
constexpr int kAlprMax = 64;
constexpr int kCellAnomaliesMax = 16;
constexpr size_t kVendorCandidatesMax = 72;

// What the scan-control thread is asked to do.
enum SCAN_REQ : int { SCAN_REQ_START = 0, SCAN_REQ_STOP = 1, SCAN_REQ_REFRESH = 2 };

struct State {
    OVK_LOCK mu{"pipeline"};
    std::condition_variable_any work_cv;
    std::condition_variable_any hk_cv;
    std::condition_variable_any scan_cv;       // wakes the scan-control thread
    std::condition_variable_any scan_idle_cv;  // a scan request was carried out

    std::deque<ITEM> queue;
    bool busy = false;
    bool initialised = false;
    bool quit = false;
    bool running = false;
    bool demo = false;

    bool has_loc = false;
    OVK_LOCATION loc;
    int64_t loc_at = 0;              // when it came, on the pipeline's clock
    uint64_t fix_gen = 0;            // counts the clearings of the fix
    std::deque<OVK_LOCATION> fixes;  // oldest first

    // When each radio last delivered an advert, and since when the radios run (on the
    // pipeline's clock): a running radio silent for a minute is called quiet.
    int64_t ble_heard = 0;
    int64_t wifi_heard = 0;
    int64_t radios_since = 0;

    // The alerts waiting for the window. Their own lock is held only to put one in or take one
    // out, so the window's tick never waits behind the engine's work.
    std::mutex ring_mu;
    std::array<OVK_UI_ALERT, OVK_ALERT_RING> ring;
    int ring_head = 0;
    int ring_count = 0;

    bool has_cell = false;
    OVK_CELL_ANOMALY cell;
    int64_t cell_time = 0;
    std::unique_ptr<OVK_CELL_ANALYZER> analyzer;

    int64_t last_flush = 0;
    // The earliest advert time of this session. A recording played back is heard at its own
    // times, before the session began by the wall clock: a remembered device last seen after
    // this was seen in this session, not in an earlier one.
    std::atomic<int64_t> earliest_heard{INT64_MAX};

    // Scan control. Requests wait here, oldest first, for the scan-control thread, which
    // carries them out one at a time; `scan_want` is the state they ask for, set at once.
    std::deque<SCAN_REQ> scan_reqs;
    bool scan_busy = false;  // the control thread is carrying out `scan_doing`
    SCAN_REQ scan_doing = SCAN_REQ_START;
    std::atomic<bool> scan_want{false};  // written under `mu`, read without it
    bool scan_failed = false;            // the last start left scanning off
    int scan_result = 0;                 // of the last request carried out
    bool scan_quit = false;
    // Demo for this run only (a command-line option), whatever the preference says. Not
    // reset by init or shutdown: it belongs to the process, not to one pipeline life.
    // 1 demo this run, -1 never the demo, 0 the preference; written under `mu`, read without it.
    std::atomic<int> demo_override{0};

    OVK_SMAP<CACHED> classified;
    // The watchlist's and the whitelist's serials the verdicts were last judged under.
    uint64_t watchlist_seen = 0;
    uint64_t whitelist_seen = 0;
    OVK_SMAP<> last_alerted;
    OVK_SMAP<> last_logged;
    OVK_SMAP<> last_drone;
    OVK_SMAP<> alpr_distance;
    OVK_SMAP<> alpr_alert;
    OVK_SMAP<> cell_alert;
    // Sizes at which the per-address memories are next swept.
    size_t sweep_classified = kSweepMin;
    size_t sweep_alerted = kSweepMin;
    size_t sweep_logged = kSweepMin;
    size_t sweep_drone = kSweepMin;

    std::thread worker;
    std::thread housekeeper;
    std::thread controller;

    std::shared_ptr<const OVK_PIPELINE_HOOKS> hooks = std::make_shared<OVK_PIPELINE_HOOKS>();
    std::shared_ptr<const OVK_PIPELINE_TAPS> taps = std::make_shared<OVK_PIPELINE_TAPS>();
};

// Never destroyed: threads may still be winding down when static destructors run.
State& S() {
    static State* s = new State;
    return *s;
}

// Serialises init and shutdown.
std::mutex g_life_mu;

std::shared_ptr<const OVK_PIPELINE_HOOKS> hooks() {
    State& s = S();
    std::lock_guard lock(s.mu);
    return s.hooks;
}

std::shared_ptr<const OVK_PIPELINE_TAPS> taps() {
    State& s = S();
    std::lock_guard lock(s.mu);
    return s.taps;
}

// Stores a detection and tells the taps.
void store_detection(const OVK_DETECTION& d) {
    ovk_store_add_detection(d);
    const auto t = taps();
    if (t->detection) t->detection(d);
}

int64_t clock_now(const OVK_PIPELINE_HOOKS& h) {
    return h.now_ms ? h.now_ms() : ovk_now_ms();
}

int64_t clock_now() {
    return clock_now(*hooks());
}

int64_t map_num(const OVK_SMAP<>& m, std::string_view key, bool* found) {
    const auto* n = m.get(key);
    *found = n != nullptr;
    return n ? n->num : 0;
}

// Once `m` holds `*mark` entries, drops those `keep` refuses and sets the next mark at twice
// what is left. The caller holds the state lock.
template <class T, class F>
void sweep_if_grown(OVK_SMAP<T>& m, size_t* mark, F&& keep) {
    if (m.size() < *mark) return;
    m.retain(keep);
    *mark = std::max(kSweepMin, m.size() * 2);
}

// Sweeps a map of times (`num`) of entries more than `window_ms` (and the slack) old.
void sweep_times_locked(OVK_SMAP<>& m, size_t* mark, int64_t now, int64_t window_ms) {
    sweep_if_grown(m, mark, [now, window_ms](const OVK_SMAP_NODE<>& n) {
        return now - n.num <= window_ms + kSweepSlackMs;
    });
}

// True when `key` has no time in `m` or its time is at least `gap_ms` before `now`; the
// time becomes `now` then, and a map with a sweep mark is swept when due. The caller holds
// the state lock.
bool take_turn_locked(OVK_SMAP<>& m, size_t* mark, std::string_view key, int64_t now,
                      int64_t gap_ms) {
    bool found = false;
    const int64_t last = map_num(m, key, &found);
    if (found && now - last < gap_ms) return false;
    if (auto* n = m.put(key)) n->num = now;
    if (mark) sweep_times_locked(m, mark, now, gap_ms);
    return true;
}

// ---------------------------------------------------------------------------------------
// 2. Alerts
// ---------------------------------------------------------------------------------------

// The alert's time is when it is raised: an advert's own time lags by up to a BSS's age,
// except on a replay's clock (`advert_time` is 0 for alerts no advert raised).
void ring_push(OVK_UI_ALERT a);
bool has_fix_copy(OVK_LOCATION* out);

void push_ui_alert(const OVK_PIPELINE_HOOKS& h, std::string_view key, const OVK_HIT& hit,
                   int following, int rssi, int64_t advert_time) {
    OVK_UI_ALERT a;
    a.time = h.advert_time_is_now && advert_time > 0 ? advert_time : clock_now(h);
    a.key = ovk_cut(key, OVK_ALERT_KEY_MAX);
    a.hit = hit;
    a.following = following;
    a.rssi = rssi;
    OVK_LOCATION fix;
    if (has_fix_copy(&fix) && a.time - fix.time < kFreshFixMs) {
        a.has_pos = 1;
        a.lat = fix.lat;
        a.lon = fix.lon;
    }
    ring_push(std::move(a));
}

void ring_push(OVK_UI_ALERT a) {
    State& s = S();
    const auto t = taps();
    if (t->alert) t->alert(a);
    std::lock_guard lock(s.ring_mu);
    int slot;
    if (s.ring_count == OVK_ALERT_RING) {
        slot = s.ring_head;
        s.ring_head = (s.ring_head + 1) % OVK_ALERT_RING;
    } else {
        slot = (s.ring_head + s.ring_count) % OVK_ALERT_RING;
        ++s.ring_count;
    }
    s.ring[static_cast<size_t>(slot)] = std::move(a);
}

void play(const OVK_PIPELINE_HOOKS& h, const OVK_PREFS& p, int confidence, int following,
          std::string_view spoken) {
    if (!h.alert) return;
    const int sound = p.sound_enabled && !p.alerts_muted;
    const bool speak = p.voice_enabled && !p.alerts_muted;
    h.alert(ovk_tier_of(confidence), following, sound, p.vibrate_enabled,
            speak ? spoken : std::string_view());
}

void device_alert(const OVK_PREFS& p, const OVK_ADVERT& adv, const OVK_HIT& hit, int following,
                  const std::string& spoken) {
    const std::string& mac = adv.mac;
    const int rssi = adv.rssi;
    const auto h = hooks();
    std::string title;
    std::string text;
    if (p.discreet_mode) {
        title = "Orvik";
        text = "New alert - tap to view";
    } else {
        title = ovk_format(199, "%s%s",
                           following ? "May be following you: " : "Nearby: ", hit.label.c_str());
        text = ovk_format(511, "%s - %s (%d%%) - %d dBm", ovk_cat_title(hit.category),
                          ovk_tier_label(ovk_tier_of(hit.confidence)), hit.confidence, rssi);
    }
    if (h->notify)
        h->notify(std::string_view(mac), std::string_view(title), std::string_view(text));
    play(*h, p, hit.confidence, following, spoken);
    push_ui_alert(*h, mac, hit, following, rssi, adv.timestamp);
}

void map_alert(const OVK_PREFS& p, const std::string& key, const OVK_HIT& hit,
               const std::string& spoken) {
    const auto h = hooks();
    if (h->notify) {
        if (p.discreet_mode)
            h->notify(std::string_view(key), std::string_view("Orvik"),
                      std::string_view("New alert - tap to view"));
        else
            h->notify(std::string_view(key), std::string_view(hit.label),
                      std::string_view(hit.evidence));
    }
    play(*h, p, hit.confidence, 0, spoken);
    push_ui_alert(*h, key, hit, 0, 0, 0);
}

// ---------------------------------------------------------------------------------------
// 3. Fixes, the stationary test and plate cameras ahead
// ---------------------------------------------------------------------------------------

// Under the lock. 1 stationary, 0 moving, -1 unknown.
int stationary_locked(const State& s, int64_t now) {
    std::vector<const OVK_LOCATION*> w;
    for (const auto& f : s.fixes)
        if (now - f.time <= kFixWindowMs) w.push_back(&f);
    if (w.size() < 3) return -1;
    const OVK_LOCATION& k = *w.front();
    const OVK_LOCATION& i = *w.back();
    if (now - i.time > 60000) return -1;
    if (i.time - k.time < 120000) return -1;
    for (const OVK_LOCATION* f : w) {
        if (f->has_speed && f->speed_ms >= 1.0) return 0;
        if (ovk_meters_between(k.lat, k.lon, f->lat, f->lon) >= 50.0) return 0;
    }
    return 1;
}

bool known_alpr_active(const OVK_PREFS& p) {
    return p.known_alpr_alerts && p.category_enabled[OVK_CAT_ALPR] && ovk_alpr_count() > 0;
}

void check_known_alpr(const OVK_PREFS& p, const OVK_LOCATION& loc, int64_t now) {
    if (!known_alpr_active(p)) return;
    const double radius = ovk_alpr_warn_radius(loc.has_speed ? loc.speed_ms : -1.0);
    const std::vector<OVK_CAMERA_NEAR> near =
        ovk_alpr_near_cached(loc.lat, loc.lon, radius, kAlprMax);
    State& s = S();
    std::unique_lock lock(s.mu);
    s.alpr_distance.retain([&near](const OVK_SMAP_NODE<>& n) {
        return std::any_of(near.begin(), near.end(), [&n](const OVK_CAMERA_NEAR& c) {
            return ovk_cut(c.cam.osm_id, OVK_SMAP_KEY_MAX) == n.key;
        });
    });
    for (const OVK_CAMERA_NEAR& c : near) {
        int created = 0;
        auto* node = s.alpr_distance.put(c.cam.osm_id, &created);
        if (!node) continue;
        const bool candidate = created || node->dbl - 3.0 > c.distance_m;
        node->dbl = c.distance_m;
        if (!candidate) continue;
        if (!take_turn_locked(s.alpr_alert, nullptr, c.cam.osm_id, now, kAlprCooldownMs)) continue;
        lock.unlock();
        const std::string label = ovk_cut(ovk_camera_label(&c.cam), 159);
        const std::string suffix = c.cam.operator_name.empty()
                                       ? std::string()
                                       : ovk_cut(", operated by " + c.cam.operator_name, 139);
        const OVK_HIT hit = ovk_hit_make(
            OVK_CAT_ALPR, "Known plate camera ahead", 80,
            "OpenStreetMap (surveillance:type=ALPR), ODbL",
            "%s, ~%d m away%s. Mapped in OpenStreetMap - it may not broadcast any signal.",
            label.c_str(), static_cast<int>(c.distance_m), suffix.c_str());
        map_alert(p, ovk_cut("alpr:" + c.cam.osm_id, OVK_ALERT_KEY_MAX), hit, "Plate camera ahead");
        return;
    }
}

void on_location(const OVK_LOCATION& loc, uint64_t gen) {
    const OVK_PREFS p = ovk_prefs_get();
    const auto h = hooks();
    // A replay fed flat out runs ahead of the clock: its fixes are as old as they say.
    const int64_t at = h->advert_time_is_now && loc.time > 0 ? loc.time : clock_now(*h);
    State& s = S();
    {
        std::lock_guard lock(s.mu);
        // Queued by a source that was switched off since.
        if (gen != s.fix_gen) return;
        s.loc = loc;
        s.loc_at = at;
        s.has_loc = true;
        s.fixes.push_back(loc);
        // Keep what the stationary test can use: the last three minutes, bounded.
        while (s.fixes.size() > kFixHistoryMax ||
               (s.fixes.size() > 1 && loc.time - s.fixes.front().time > kFixWindowMs))
            s.fixes.pop_front();
    }
    ovk_trip_on_location(loc);
    check_known_alpr(p, loc, clock_now());
}

// ---------------------------------------------------------------------------------------
// 4. Cell reports
// ---------------------------------------------------------------------------------------

bool has_fix_copy(OVK_LOCATION* out) {
    State& s = S();
    std::lock_guard lock(s.mu);
    if (s.has_loc) *out = s.loc;
    return s.has_loc;
}

bool fix_fresh_locked(const State& s, int64_t now) {
    return s.has_loc && now - s.loc_at <= OVK_FIX_FRESH_MS;
}

// The latest fix when it is fresh at `now`: a stale position is worse than none.
bool fresh_fix_copy(int64_t now, OVK_LOCATION* out) {
    State& s = S();
    std::lock_guard lock(s.mu);
    if (!fix_fresh_locked(s, now)) return false;
    *out = s.loc;
    return true;
}

void clear_fix_locked(State& s) {
    s.has_loc = false;
    s.loc = OVK_LOCATION{};
    s.loc_at = 0;
    s.fixes.clear();
    ++s.fix_gen;
}

void on_cell_anomaly(const OVK_PREFS& p, const OVK_CELL_ANOMALY& an, int64_t now) {
    State& s = S();
    {
        std::lock_guard lock(s.mu);
        if (!take_turn_locked(s.cell_alert, nullptr, an.key, now, kCellCooldownMs)) return;
        s.cell = an;
        s.cell_time = now;
        s.has_cell = true;
    }
    const OVK_HIT hit =
        ovk_hit_make(OVK_CAT_CELL_ANOMALY, an.title, an.confidence,
                     "Android cell info (heuristic, not proof)", "%s", an.detail.c_str());
    OVK_DETECTION d;
    const size_t colon = an.key.find(':');
    d.mac = ovk_cut("CELL " + (colon == std::string::npos ? an.key : an.key.substr(colon + 1)),
                    OVK_DET_MAC_MAX);
    d.label = an.title;
    d.source = "CELL";
    d.rssi = 0;
    d.timestamp = now;
    OVK_LOCATION fix;
    if (p.gps_tagging && fresh_fix_copy(now, &fix)) {
        d.has_pos = 1;
        d.lat = fix.lat;
        d.lon = fix.lon;
    }
    d.category = OVK_CAT_CELL_ANOMALY;
    d.confidence = an.confidence;
    d.evidence = an.detail;
    store_detection(d);
    if (an.confidence >= p.alert_threshold)
        map_alert(p, ovk_cut("cell:" + an.key, 127), hit, "Cell network warning");
}

void on_cells(const std::vector<OVK_CELL>& cells, const std::string& sim, int roaming) {
    const OVK_PREFS p = ovk_prefs_get();
    if (!p.category_enabled[OVK_CAT_CELL_ANOMALY] || cells.empty()) return;
    const int64_t now = clock_now();
    OVK_CELL_CONTEXT ctx;
    ctx.time = now;
    ctx.sim_operator = sim.size() > 4 ? sim : std::string();
    ctx.roaming = roaming;
    std::vector<OVK_CELL_ANOMALY> found;
    {
        State& s = S();
        std::lock_guard lock(s.mu);
        if (!s.analyzer) return;
        ctx.stationary = stationary_locked(s, now);
        found = ovk_cell_analyze(*s.analyzer, cells, ctx, kCellAnomaliesMax);
    }
    if (found.size() > static_cast<size_t>(kCellAnomaliesMax)) found.resize(kCellAnomaliesMax);
    for (const auto& an : found) on_cell_anomaly(p, an, now);
}

// ---------------------------------------------------------------------------------------
// 5. Processing one advertisement
// ---------------------------------------------------------------------------------------

// The cached verdicts of an address while they are fresh, else nullptr; `known` tells
// whether an advert of this shape used them already.
std::shared_ptr<const CLASSIFIED> cached_for(const std::string& mac, int64_t now, uint64_t shape,
                                             bool& known) {
    State& s = S();
    std::lock_guard lock(s.mu);
    known = false;
    const auto* n = s.classified.get(mac);
    if (!n || !n->ptr || !n->ptr->c || now - n->ptr->c->time >= OVK_CLASSIFY_CACHE_MS)
        return nullptr;
    known = shape == n->ptr->shapes[0] || shape == n->ptr->shapes[1];
    return n->ptr->c;
}

// Records that an advert of this shape used the cached verdicts of its address.
void cache_shape(const std::string& mac, uint64_t shape) {
    State& s = S();
    std::lock_guard lock(s.mu);
    if (auto* n = s.classified.get(mac); n && n->ptr && n->ptr->shapes[0] != shape) {
        n->ptr->shapes[1] = n->ptr->shapes[0];
        n->ptr->shapes[0] = shape;
    }
}

// Verdicts, identity and vendor of an advert, computed afresh (not cached).
std::shared_ptr<CLASSIFIED> classify(const OVK_PREFS& p, const OVK_ADVERT& a, int64_t now) {
    auto out = std::make_shared<CLASSIFIED>();
    // Vendor candidates: the address block's registrant, then each company id's name.
    std::vector<std::string_view> candidates;
    const char* mac_vendor = ovk_vendor_mac(a.mac);
    if (mac_vendor) candidates.emplace_back(mac_vendor);
    for (const OVK_MFG& m : a.mfg) {
        if (candidates.size() >= kVendorCandidatesMax) break;
        if (const char* c = ovk_vendor_company(m.cid)) candidates.emplace_back(c);
    }
    out->time = now;
    out->vendor = candidates.empty() ? std::string() : ovk_cut(candidates.front(), 127);
    ovk_intel_identify(&a, mac_vendor, &out->identity);

    OVK_HITS raw;
    ovk_signature_classify(&a, raw);
    // Watchlist verdicts (address, name and maker rules).
    ovk_watchlist_hits(a.mac, a.name ? std::string_view(*a.name) : std::string_view(), candidates,
                       raw);
    ovk_registry_inherited_hits(a.mac, raw);
    if (auto c = ovk_registry_cluster_hit(a.mac, now)) raw.push_back(std::move(*c));

    for (auto& h : raw) {
        const int c = static_cast<int>(h.category);
        if (c >= 0 && c < OVK_CAT_COUNT && p.category_enabled[static_cast<size_t>(c)])
            out->hits.push_back(std::move(h));
    }
    ovk_fusion_fuse(out->hits);
    return out;
}

// Verdicts, identity and vendor of an advert, computed afresh and cached for its address.
std::shared_ptr<const CLASSIFIED> classify_and_cache(const OVK_PREFS& p, const OVK_ADVERT& a,
                                                     int64_t now, uint64_t shape) {
    std::shared_ptr<const CLASSIFIED> result = classify(p, a, now);
    State& s = S();
    std::lock_guard lock(s.mu);
    auto* n = s.classified.put(a.mac);
    if (!n) return result;  // logged by the map; carry on uncached
    if (!n->ptr) n->ptr = std::make_unique<CACHED>();
    n->ptr->c = result;
    n->ptr->shapes = {shape, 0};
    sweep_if_grown(s.classified, &s.sweep_classified, [now](const OVK_SMAP_NODE<CACHED>& e) {
        return e.ptr && e.ptr->c && now - e.ptr->c->time < OVK_CLASSIFY_CACHE_MS;
    });
    return result;
}

// The Remote ID record of an advert, decoded on top of what the registry already holds.
bool decode_remote_id(const OVK_ADVERT& a, OVK_REMOTE_ID& rid) {
    if (a.source == OVK_SRC_WIFI) {
        for (const OVK_IE& ie : a.ies) {
            if (ie.id != 221 || !ovk_rid_is_wifi_ie(ie.data)) continue;
            if (auto held = ovk_registry_remote_id(a.mac)) rid = std::move(*held);
            return ovk_rid_decode_wifi_ie(ie.data, rid) != 0;
        }
        return false;
    }
    const OVK_SVCDATA* sd = ovk_advert_svc16(&a, OVK_RID_BLE_UUID16);
    if (!sd) return false;
    if (auto held = ovk_registry_remote_id(a.mac)) rid = std::move(*held);
    return ovk_rid_decode_ble(sd->data, rid) != 0;
}

void maybe_log(const OVK_PREFS& p, const OVK_ADVERT& a, const OVK_HIT& best,
               const std::string& vendor, const OVK_LOCATION* fix, int64_t now) {
    State& s = S();
    {
        std::lock_guard lock(s.mu);
        if (!take_turn_locked(s.last_logged, &s.sweep_logged, a.mac, now, kLogIntervalMs)) return;
    }
    OVK_DETECTION d;
    d.mac = a.mac;
    d.label = best.label;
    d.source = a.source == OVK_SRC_WIFI ? "WIFI" : "BLE";
    d.rssi = a.rssi;
    d.timestamp = now;
    if (p.gps_tagging && fix) {
        d.has_pos = 1;
        d.lat = fix->lat;
        d.lon = fix->lon;
    }
    d.category = best.category;
    d.confidence = best.confidence;
    d.evidence = best.evidence;
    d.vendor = vendor;
    d.device_name = a.name.value_or("");
    store_detection(d);
}

void maybe_alert(const OVK_PREFS& p, const OVK_ADVERT& a, const OVK_HIT& best, int64_t now) {
    if (best.category == OVK_CAT_TRACKER || best.confidence < p.alert_threshold) return;
    State& s = S();
    {
        std::lock_guard lock(s.mu);
        bool found = false;
        const int64_t last = map_num(s.last_alerted, a.mac, &found);
        const int64_t since = found ? now - last : now;
        if (!(p.dedupe_window_ms < since)) return;
        if (auto* n = s.last_alerted.put(a.mac)) n->num = now;
        sweep_times_locked(s.last_alerted, &s.sweep_alerted, now,
                           std::max<int64_t>(0, p.dedupe_window_ms));
    }
    device_alert(p, a, best, 0, ovk_format(175, "%s nearby", best.label.c_str()));
}

void maybe_alert_drone_overhead(const OVK_PREFS& p, const OVK_ADVERT& a, const OVK_REMOTE_ID& rid,
                                const OVK_RID_TRACK* track, const OVK_LOCATION& fix, int64_t now) {
    OVK_HIT hit;
    if (!ovk_drone_overhead_hit(rid, hit, fix.lat, fix.lon)) return;
    if (track) ovk_ridcheck_lower(hit, *track);
    State& s = S();
    {
        std::lock_guard lock(s.mu);
        if (!take_turn_locked(s.last_drone, &s.sweep_drone, a.mac, now, kDroneCooldownMs)) return;
    }
    device_alert(p, a, hit, 0, "Drone overhead");
}

void process(const OVK_ADVERT& a) {
    {
        const auto t = taps();
        if (t->advert) t->advert(a);
    }
    const OVK_PREFS p = ovk_prefs_get();
    const int64_t now = a.timestamp > 0 ? a.timestamp : clock_now();

    OVK_REMOTE_ID rid;
    const bool rid_ok = decode_remote_id(a, rid);
    // What this address's Remote ID said before, checked against this broadcast.
    std::optional<OVK_RID_TRACK> track;
    if (rid_ok) {
        track = ovk_registry_rid_track(a.mac).value_or(OVK_RID_TRACK{});
        ovk_ridcheck_observe(*track, a, now);
    }

    // The advert is judged with what its address sent before (a name from a scan response,
    // services from the advert). Something new makes the cached verdicts out of date, and a
    // verdict held from an earlier advert is judged again: what the address has now said
    // about itself may explain it away.
    const uint64_t shape = ovk_heard_shape(a);
    bool known = false;
    std::shared_ptr<const CLASSIFIED> cp = cached_for(a.mac, now, shape, known);
    OVK_RECALL rc;
    if (!known) {
        rc = ovk_registry_recall(a, now, cp == nullptr);
        if (rc.news) cp.reset();
    }
    const OVK_ADVERT& judged = rc.view ? *rc.view : a;
    if (!cp)
        cp = classify_and_cache(p, judged, now, shape);
    else if (!known)
        cache_shape(a.mac, shape);
    const CLASSIFIED& c = *cp;
    if (rc.held && rc.held_view && ovk_hits_find_label(c.hits, rc.held->label) < 0 &&
        ovk_hits_find_label(classify(p, *rc.held_view, now)->hits, rc.held->label) < 0)
        ovk_registry_withdraw(a.mac, rc.held->label);
    // A Remote ID that looks forged lowers the verdicts that rest on it.
    OVK_HITS lowered;
    const OVK_HITS* hits = &c.hits;
    if (track && !track->findings.empty()) {
        lowered = c.hits;
        ovk_ridcheck_lower(lowered, *track);
        hits = &lowered;
    }

    OVK_LOCATION fix;
    const auto h = hooks();
    const bool has_fix = fresh_fix_copy(h->advert_time_is_now ? now : clock_now(*h), &fix);

    OVK_GEO pos;
    if (has_fix) {
        pos.time = now;
        pos.lat = fix.lat;
        pos.lon = fix.lon;
    }
    std::atomic<int64_t>& heard = S().earliest_heard;
    int64_t earliest = heard.load(std::memory_order_relaxed);
    while (now < earliest &&
           !heard.compare_exchange_weak(earliest, now, std::memory_order_relaxed)) {
    }
    if (ovk_registry_report(a, *hits, &c.identity, c.vendor, rid_ok ? &rid : nullptr,
                            has_fix ? &pos : nullptr, now)) {
        if (auto known = ovk_store_known_get(a.mac)) ovk_registry_set_known(a.mac, &*known);
    }
    if (track) ovk_registry_set_rid_track(a.mac, *track);

    const bool whitelisted = ovk_store_is_whitelisted(a.mac) != 0;
    const OVK_HIT* best = hits->empty() ? nullptr : &hits->front();
    const bool quiet = whitelisted || !best;

    // The trip hears every advert, quiet or not; whitelisted devices without a verdict.
    if (ovk_trip_is_recording())
        ovk_trip_on_device(a.mac, a.rssi, a.source == OVK_SRC_WIFI ? "WIFI" : "BLE",
                           whitelisted ? nullptr : best, judged.name.value_or(""), c.vendor,
                           c.identity.type, has_fix ? &fix : nullptr, now);

    if (has_fix && rid_ok && p.category_enabled[OVK_CAT_DRONE] && !whitelisted)
        maybe_alert_drone_overhead(p, a, rid, track ? &*track : nullptr, fix, now);

    if (quiet) return;

    maybe_log(p, judged, *best, c.vendor, has_fix ? &fix : nullptr, now);
    maybe_alert(p, a, *best, now);

    if (has_fix && p.follower_alerts &&
        ovk_registry_check_following(a.mac, static_cast<int64_t>(p.follow_min_minutes) * 60000,
                                     p.follow_min_meters)) {
        device_alert(p, a, *best, 1,
                     ovk_format(199, "Warning. %s may be following you.", best->label.c_str()));
    }
}

// ---------------------------------------------------------------------------------------
// 6. Queue and worker
// ---------------------------------------------------------------------------------------

void enqueue(ITEM&& item) {
    State& s = S();
    std::deque<ITEM> dropped;  // freed after the lock is released
    {
        std::lock_guard lock(s.mu);
        if (!s.initialised || s.quit) return;  // `item` is freed by its owner
        item.fix_gen = s.fix_gen;
        s.queue.push_back(std::move(item));
        while (s.queue.size() > static_cast<size_t>(OVK_QUEUE_MAX)) {
            dropped.push_back(std::move(s.queue.front()));
            s.queue.pop_front();
        }
    }
    s.work_cv.notify_one();
}

// True (once) when the watchlist or the whitelist changed since the verdicts were judged; the
// cached verdicts are dropped then.
bool rules_changed() {
    State& s = S();
    const uint64_t watchlist = ovk_watchlist_serial();
    const uint64_t whitelist = ovk_store_whitelist_serial();
    std::lock_guard lock(s.mu);
    if (watchlist == s.watchlist_seen && whitelist == s.whitelist_seen) return false;
    s.watchlist_seen = watchlist;
    s.whitelist_seen = whitelist;
    s.classified.clear();
    return true;
}

// Judges every device that has a verdict again under the rules as they are now, so that a
// verdict the user took away (a watchlist rule removed, an address whitelisted) leaves the
// list, the banner and the threat level at once instead of being held for minutes.
void rejudge_all() {
    const OVK_PREFS p = ovk_prefs_get();
    const OVK_DEVICE_LIST devices = ovk_registry_summaries(0);
    for (const OVK_DEVICE& d : devices) {
        if (d.hits.empty()) continue;
        const OVK_RECALL rc = ovk_registry_recall_latest(d.mac);
        if (!rc.view) continue;
        const int64_t now = d.last_seen > 0 ? d.last_seen : clock_now();
        OVK_HITS hits = classify(p, *rc.view, now)->hits;
        if (auto track = ovk_registry_rid_track(d.mac); track && !track->findings.empty())
            ovk_ridcheck_lower(hits, *track);
        bool keep_held = false;
        if (rc.held) {
            keep_held = ovk_hits_find_label(hits, rc.held->label) >= 0 ||
                        (rc.held_view && ovk_hits_find_label(classify(p, *rc.held_view, now)->hits,
                                                             rc.held->label) >= 0);
        }
        ovk_registry_rejudge(d.mac, hits, keep_held);
    }
}

void dispatch(ITEM& it) {
    if (rules_changed()) rejudge_all();
    switch (it.kind) {
        case ITEM_RECHECK:
            break;
        case ITEM_LOCATION:
            on_location(it.loc, it.fix_gen);
            break;
        case ITEM_CELLS:
            on_cells(it.cells, it.sim, it.roaming);
            break;
        case ITEM_ADVERT:
            if (it.advert) process(*it.advert);
            break;
    }
}

void pipeline_main() {
    State& s = S();
    for (;;) {
        ITEM it;
        {
            std::unique_lock lock(s.mu);
            s.work_cv.wait(lock, [&s] { return s.quit || !s.queue.empty(); });
            if (s.quit) return;
            it = std::move(s.queue.front());
            s.queue.pop_front();
            s.busy = true;
        }
        try {
            dispatch(it);
        } catch (const std::exception& e) {
            zq_log(LOG_ERR, "pipeline item failed: %s", e.what());
        } catch (...) {
            zq_log(LOG_ERR, "pipeline item failed");
        }
        it = ITEM{};
        std::lock_guard lock(s.mu);
        s.busy = false;
    }
}

void housekeeping_main();
void scan_control_main();
void scan_stop_now();
OVK_SCAN_STATE scan_state_locked(const State& s);

// Ends the scan-control thread: requests still waiting are dropped, the one in progress is
// finished, and nothing more is accepted.
void stop_controller(State& s) {
    {
        std::lock_guard lock(s.mu);
        s.scan_quit = true;
        s.scan_reqs.clear();
    }
    s.scan_cv.notify_all();
    if (s.controller.joinable()) s.controller.join();
    {
        std::lock_guard lock(s.mu);
        s.scan_busy = false;
    }
    s.scan_idle_cv.notify_all();
}

// Tells the worker and housekeeping threads to end and joins them.
void stop_threads(State& s) {
    {
        std::lock_guard lock(s.mu);
        s.quit = true;
    }
    s.work_cv.notify_all();
    s.hk_cv.notify_all();
    if (s.worker.joinable()) s.worker.join();
    if (s.housekeeper.joinable()) s.housekeeper.join();
}

// Drops the time maps and the cell analyzer (the classification cache is the caller's).
// The caller holds the state lock.
void release_maps_locked(State& s) {
    s.last_alerted.release();
    s.last_logged.release();
    s.last_drone.release();
    s.alpr_distance.release();
    s.alpr_alert.release();
    s.cell_alert.release();
    s.analyzer.reset();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 7. Life cycle, sink, status, threat level
// ---------------------------------------------------------------------------------------

const char* ovk_threat_name(OVK_THREAT t) {
    switch (t) {
        case OVK_THREAT_CLEAR:
            return "CLEAR";
        case OVK_THREAT_WEAK:
            return "WEAK";
        case OVK_THREAT_PROBABLE:
            return "PROBABLE";
        case OVK_THREAT_DANGER:
            return "DANGER";
    }
    return "";
}

void ovk_pipeline_set_taps(const OVK_PIPELINE_TAPS& t) {
    try {
        auto copy = std::make_shared<const OVK_PIPELINE_TAPS>(t);
        State& s = S();
        std::lock_guard lock(s.mu);
        s.taps = std::move(copy);
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(OVK_PIPELINE_TAPS, 1, taps);
    }
}

void ovk_pipeline_post_alert(const OVK_UI_ALERT& a) {
    try {
        OVK_UI_ALERT c = a;
        c.key = ovk_cut(c.key, OVK_ALERT_KEY_MAX);
        ring_push(std::move(c));
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(OVK_UI_ALERT, 1, alert);
    }
}

std::string ovk_fix_lost_text(int64_t age_ms) {
    const int64_t s = std::max<int64_t>(age_ms, 0) / 1000;
    if (s < 60) return ovk_format(64, "GPS lost (last fix %lld s ago)", static_cast<long long>(s));
    if (s < 2 * 3600)
        return ovk_format(64, "GPS lost (last fix %lld min ago)", static_cast<long long>(s / 60));
    return ovk_format(64, "GPS lost (last fix %lld h ago)", static_cast<long long>(s / 3600));
}

void ovk_pipeline_set_hooks(const OVK_PIPELINE_HOOKS& h) {
    try {
        auto copy = std::make_shared<const OVK_PIPELINE_HOOKS>(h);
        State& s = S();
        std::lock_guard lock(s.mu);
        s.hooks = std::move(copy);
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(OVK_PIPELINE_HOOKS, 1, hooks);
    }
}

OVK_SINK ovk_pipeline_sink() {
    OVK_SINK sink;
    sink.on_advert = [](OVK_ADVERT_PTR a) { ovk_pipeline_submit(std::move(a)); };
    sink.on_location = [](const OVK_LOCATION& loc) { ovk_pipeline_location(loc); };
    sink.on_cells = [](std::span<const OVK_CELL> cells, std::string_view sim, int roaming) {
        ovk_pipeline_cells(cells, sim, roaming);
    };
    sink.on_status = [](std::string_view text) {
        const std::string t(text);
        zq_log(LOG_INFO, "scanner: %s", t.c_str());
    };
    return sink;
}

int ovk_pipeline_init() {
    std::lock_guard<std::mutex> life(g_life_mu);
    State& s = S();
    try {
        {
            std::lock_guard lock(s.mu);
            if (s.initialised) return 0;
            if (s.classified.init(1024) || s.last_alerted.init(256) || s.last_logged.init(256) ||
                s.last_drone.init(64) || s.alpr_distance.init(64) || s.alpr_alert.init(64) ||
                s.cell_alert.init(64))
                throw std::bad_alloc();
            s.analyzer = ovk_cell_analyzer_new();
            if (!s.analyzer) throw std::bad_alloc();
            s.quit = s.running = s.demo = false;
            s.has_loc = false;
            s.loc = OVK_LOCATION{};
            s.fixes.clear();
            s.has_cell = false;
            s.cell = OVK_CELL_ANOMALY{};
            s.cell_time = 0;
            {
                std::lock_guard ring(s.ring_mu);
                s.ring_head = s.ring_count = 0;
            }
            s.busy = false;
            s.last_flush = 0;
            s.scan_reqs.clear();
            s.scan_busy = s.scan_want = s.scan_failed = s.scan_quit = false;
            s.scan_result = 0;
            s.sweep_classified = s.sweep_alerted = s.sweep_logged = s.sweep_drone = kSweepMin;
            s.watchlist_seen = ovk_watchlist_serial();
            s.whitelist_seen = ovk_store_whitelist_serial();
            s.initialised = true;
        }
        s.worker = std::thread(pipeline_main);
        s.housekeeper = std::thread(housekeeping_main);
        s.controller = std::thread(scan_control_main);
    } catch (...) {
        stop_controller(s);
        stop_threads(s);
        std::lock_guard lock(s.mu);
        s.initialised = false;
        s.queue.clear();
        s.classified.release();
        release_maps_locked(s);
        zq_log(LOG_ERR, "pipeline init failed");
        return -1;
    }
    ovk_registry_init();
    const auto h = hooks();
    if (h->set_sink) {
        const OVK_SINK sink = ovk_pipeline_sink();
        h->set_sink(&sink);
    }
    return 0;
}

void ovk_pipeline_shutdown() {
    std::lock_guard<std::mutex> life(g_life_mu);
    State& s = S();
    {
        std::lock_guard lock(s.mu);
        if (!s.initialised) return;
        s.scan_want = false;
    }
    // The request in progress is finished, the waiting ones dropped; then scanning stops
    // here, before the sink goes and the threads end.
    stop_controller(s);
    scan_stop_now();
    const auto h = hooks();
    if (h->set_sink) {
        const OVK_SINK empty;
        h->set_sink(&empty);
    }
    stop_threads(s);
    std::deque<ITEM> left;
    OVK_SMAP<CACHED> cache;
    std::lock_guard lock(s.mu);
    left.swap(s.queue);
    cache = std::move(s.classified);
    release_maps_locked(s);
    s.busy = false;
    s.initialised = false;
}

void ovk_pipeline_submit(OVK_ADVERT_PTR a) {
    if (!a) return;
    ovk_record_advert(*a);
    try {
        const int64_t now = clock_now();
        {
            State& s = S();
            std::lock_guard lock(s.mu);
            (a->source == OVK_SRC_WIFI ? s.wifi_heard : s.ble_heard) = now;
        }
        ITEM it;
        it.kind = ITEM_ADVERT;
        it.advert = std::move(a);
        enqueue(std::move(it));
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(ITEM, 1, item);
    }
}

void ovk_pipeline_location(const OVK_LOCATION& loc) {
    ovk_record_fix(loc);
    try {
        ITEM it;
        it.kind = ITEM_LOCATION;
        it.loc = loc;
        enqueue(std::move(it));
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(ITEM, 1, item);
    }
}

void ovk_pipeline_cells(std::span<const OVK_CELL> cells, std::string_view sim_operator,
                        int roaming) {
    if (cells.empty()) return;
    try {
        ITEM it;
        it.kind = ITEM_CELLS;
        it.cells.assign(cells.begin(), cells.end());
        it.sim = ovk_cut(sim_operator, 7);
        it.roaming = roaming;
        enqueue(std::move(it));
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(OVK_CELL, cells.size(), cells);
    }
}

std::optional<OVK_UI_ALERT> ovk_pipeline_pop_alert() {
    State& s = S();
    std::lock_guard lock(s.ring_mu);
    if (s.ring_count == 0) return std::nullopt;
    OVK_UI_ALERT a = std::move(s.ring[static_cast<size_t>(s.ring_head)]);
    s.ring[static_cast<size_t>(s.ring_head)] = OVK_UI_ALERT{};
    s.ring_head = (s.ring_head + 1) % OVK_ALERT_RING;
    --s.ring_count;
    return a;
}

std::optional<OVK_LOCATION> ovk_pipeline_location_get() {
    OVK_LOCATION l;
    if (!has_fix_copy(&l)) return std::nullopt;
    return l;
}

void ovk_pipeline_clear_fix() {
    State& s = S();
    std::lock_guard lock(s.mu);
    clear_fix_locked(s);
}

int ovk_pipeline_pending() {
    State& s = S();
    std::lock_guard lock(s.mu);
    return static_cast<int>(s.queue.size()) + (s.busy ? 1 : 0);
}

int ovk_pipeline_cache_size() {
    State& s = S();
    std::lock_guard lock(s.mu);
    return static_cast<int>(s.classified.size());
}

OVK_THREAT ovk_threat_of(const OVK_DEVICE_LIST* devices, int threshold, int recent_cell_warning) {
    OVK_REGISTRY_TALLY t;
    if (devices) {
        for (const OVK_DEVICE& d : *devices) {
            if (!ovk_device_flagged(d)) continue;
            ++t.flagged;
            if (const OVK_HIT* b = ovk_device_best(d))
                t.top_confidence = std::max(t.top_confidence, b->confidence);
            if (d.following) t.following = 1;
        }
    }
    return ovk_threat_of_tally(t, threshold, recent_cell_warning);
}

OVK_THREAT ovk_threat_of_tally(const OVK_REGISTRY_TALLY& t, int threshold,
                               int recent_cell_warning) {
    if (t.top_confidence >= 80 || t.following) return OVK_THREAT_DANGER;
    if (recent_cell_warning || (t.flagged > 0 && t.top_confidence >= threshold))
        return OVK_THREAT_PROBABLE;
    if (t.flagged > 0) return OVK_THREAT_WEAK;
    return OVK_THREAT_CLEAR;
}

namespace {

struct HEARD {
    int64_t ble = 0;
    int64_t wifi = 0;
    int64_t since = 0;
};

// Whether the radios listen, in words: every reason when none does, the one that listens and
// why the other does not when one does, and the running radios that heard nothing for a
// minute.
void radios_into(OVK_STATUS& out, const OVK_SCAN_HEALTH& hl, const HEARD& heard, int64_t now) {
    struct RADIO {
        const char* name;
        const OVK_RADIO_HEALTH* h;
        int64_t heard;
        const char* quiet;
    };
    const RADIO radios[] = {
        {"Bluetooth", &hl.ble, heard.ble, "Bluetooth: no advertisements for 60 s"},
        {"WiFi", &hl.wifi, heard.wifi, "WiFi: no networks for 60 s"},
    };
    std::vector<std::string> down;
    std::vector<const char*> up;
    for (const RADIO& r : radios) {
        if (!r.h->requested)
            down.push_back(std::string(r.name) + " is off in Settings");
        else if (!r.h->fault.empty())
            down.push_back(std::string(r.name) + " " + r.h->fault);
        else if (!r.h->running)
            down.push_back(std::string(r.name) + " did not start");
        else {
            up.push_back(r.name);
            const int64_t last = std::max(r.heard, heard.since);
            if (heard.since > 0 && now - last >= OVK_RADIO_QUIET_MS) {
                if (!out.quiet_radios.empty()) out.quiet_radios += "; ";
                out.quiet_radios += r.quiet;
            }
        }
    }
    auto joined = [&down] {
        std::string t;
        for (const auto& d : down) t += (t.empty() ? "" : "; ") + d;
        return t;
    };
    if (up.empty()) {
        out.listening = 0;
        out.not_listening = joined();
    } else if (!down.empty()) {
        out.listening_on = up.front();
        out.radio_down = joined();
    }
}

}  // namespace

int64_t ovk_pipeline_now() {
    try {
        return clock_now();
    } catch (...) {
        return ovk_now_ms();
    }
}

OVK_STATUS ovk_pipeline_status() {
    OVK_STATUS out;
    try {
        const auto h = hooks();
        const int64_t now = clock_now(*h);
        bool demo = false;
        bool failed = false;
        HEARD heard;
        bool replay = false;
        {
            State& s = S();
            std::lock_guard lock(s.mu);
            out.running = s.running;
            demo = s.demo;
            out.demo = s.demo;
            out.scan_state = scan_state_locked(s);
            out.scan_progress = ovk_scan_progress_text(out.scan_state, s.scan_failed);
            failed = !s.running && s.scan_failed;
            out.has_location = fix_fresh_locked(s, now) ? 1 : 0;
            if (out.has_location) out.location = s.loc;
            if (s.has_loc && !out.has_location) {
                out.fix_lost = 1;
                out.fix_age_ms = now - s.loc_at;
            }
            if (s.has_cell && now - s.cell_time < kCellStatusMs) {
                out.has_cell_anomaly = 1;
                out.cell_anomaly = s.cell;
            }
            heard = {s.ble_heard, s.wifi_heard, s.radios_since};
            replay = s.demo_override < 0;
        }
        // What is heard: the demo feed always delivers; the radios say for themselves; a
        // feed without that (a replay) delivers while it runs.
        if (out.running && out.scan_state == OVK_SCAN_RUNNING && !demo) {
            if (h->scan_health) {
                radios_into(out, h->scan_health(), heard, now);
            } else if (h->scan_running && !h->scan_running()) {
                out.listening = 0;
                out.not_listening = replay ? "the recording has ended" : "the scanners stopped";
                // Positions of a recording that ended are not where the user is.
                if (replay) ovk_pipeline_clear_fix();
                out.has_location = 0;
                out.fix_lost = 0;
            }
        }
        const OVK_REGISTRY_TALLY tally = ovk_registry_tally(now);
        out.devices = tally.devices;
        out.flagged = tally.flagged;
        out.threat = ovk_threat_of_tally(tally, ovk_prefs_alert_threshold(), out.has_cell_anomaly);
        if (demo)
            out.scanners = "Demo: made-up devices (no radios)";
        else if ((out.running || failed) && h->scan_status)
            // After a failed start: the scanners' own word on why (a replay file that
            // cannot be read says which and how).
            out.scanners = ovk_cut(h->scan_status(), OVK_SCANNERS_MAX);
        out.session_start = ovk_registry_session_start();
        out.data_note = ovk_datafile_readonly_note();
        if (std::string settings = ovk_prefs_note(); !settings.empty())
            out.data_note += (out.data_note.empty() ? "" : "; ") + settings;
        out.record_note = ovk_record_stopped_note();
        const auto t = taps();
        if (t->links) out.links = t->links();
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(OVK_STATUS, 1, out);
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// 8. Scan control and housekeeping
// ---------------------------------------------------------------------------------------

namespace {

bool trace_needed(const OVK_PREFS& p) {
    return ovk_trip_is_recording() || known_alpr_active(p);
}

// Starts the chosen source: the demo feed or the radios. 0 on success.
int apply_source(const OVK_PREFS& p) {
    const auto h = hooks();
    State& s = S();
    if (p.demo_mode) {
        if (h->scan_running && h->scan_running() && h->scan_stop) h->scan_stop();
        double lat = p.map_lat;
        double lon = p.map_lon;
        if (lat == 0.0 && lon == 0.0) {
            lat = OVK_DEMO_DEFAULT_LAT;
            lon = OVK_DEMO_DEFAULT_LON;
        }
        {
            // The radios' fix (or none) is not where the demo's devices are.
            std::lock_guard lock(s.mu);
            if (!s.demo) clear_fix_locked(s);
        }
        if (!ovk_demo_running() && ovk_demo_start(lat, lon, ovk_pipeline_sink()) != 0) return -1;
        std::lock_guard lock(s.mu);
        s.demo = true;
        return 0;
    }
    if (ovk_demo_running()) ovk_demo_stop();
    {
        // The demo's made-up position must not stay on as the user's.
        std::lock_guard lock(s.mu);
        if (s.demo) clear_fix_locked(s);
        s.demo = false;
    }
    if (!h->scan_start) return -1;
    const int rc = h->scan_start(ovk_scan_opts(p, trace_needed(p)));
    const int64_t now = clock_now(*h);
    std::lock_guard lock(s.mu);
    s.radios_since = now;
    return rc;
}

void prune_old_data(const OVK_PREFS& p, int64_t now) {
    if (p.retention_days <= 0) return;
    // The retention in force may be the default standing in for a settings file that did
    // not load; deleting history by it could not be undone.
    if (!ovk_prefs_file_ok()) {
        zq_log(LOG_WARNING, "old history is kept: the settings file did not load");
        return;
    }
    const int64_t before = now - static_cast<int64_t>(p.retention_days) * 86400000;
    ovk_store_prune_detections(before);
    ovk_store_known_prune(before);
}

// The remembered devices' fields of one registry row, merged with what the store holds.
void merge_known(OVK_KNOWN& k, int64_t session) {
    if (auto old = ovk_store_known_get(k.mac)) {
        k.first_seen = old->first_seen;
        k.sessions = old->last_seen < session ? old->sessions + 1 : old->sessions;
        k.detect_count = old->detect_count + 1;
        if (k.name.empty()) k.name = std::move(old->name);
        if (k.vendor.empty()) k.vendor = std::move(old->vendor);
        k.favorite = old->favorite;
        k.note = std::move(old->note);
    } else {
        k.sessions = 1;
        k.detect_count = 1;
    }
}

// A row of an entry dropped as stale. When the store already holds a later sighting of the
// address (its new entry, merged earlier in this flush), only an earlier first sighting is
// taken from the row; when it holds the same one (the entry was walked before it was
// dropped), nothing changes.
void merge_departed(OVK_KNOWN& k, int64_t session) {
    auto old = ovk_store_known_get(k.mac);
    if (!old || old->last_seen < k.last_seen) {
        merge_known(k, session);
        return;
    }
    const int64_t first = std::min(old->first_seen, k.first_seen);
    k = std::move(*old);
    k.first_seen = first;
}

void flush_history(int64_t now) {
    int64_t since;
    {
        State& s = S();
        std::lock_guard lock(s.mu);
        since = s.last_flush;
        s.last_flush = now;
    }
    // The registry's rows are taken and merged a piece at a time, so a flush after a drive
    // past 100,000 devices holds two pieces of rows, never a copy of every device; all but
    // the last are staged in the store, and the last one writes the file once.
    const auto started = std::chrono::steady_clock::now();
    const int64_t session =
        std::min(ovk_registry_session_start(), S().earliest_heard.load(std::memory_order_relaxed));
    OVK_REGISTRY_CURSOR cursor;
    size_t flushed = 0;
    std::vector<OVK_KNOWN> rows = ovk_registry_known_rows(since, &cursor, kFlushPieceRows);
    bool departed = cursor.departed;
    while (!rows.empty()) {
        for (OVK_KNOWN& k : rows) departed ? merge_departed(k, session) : merge_known(k, session);
        flushed += rows.size();
        std::vector<OVK_KNOWN> next = ovk_registry_known_rows(since, &cursor, kFlushPieceRows);
        departed = cursor.departed;
        if (next.empty()) {
            if (ovk_store_known_upsert(rows) != 0) {
                zq_log(LOG_ERR, "history flush failed");
                return;
            }
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
            zq_log(LOG_INFO, "history flush: %zu devices in %lld ms", flushed,
                   static_cast<long long>(ms.count()));
            return;
        }
        if (ovk_store_known_stage(rows) != 0) {
            zq_log(LOG_ERR, "history flush failed");
            return;
        }
        rows = std::move(next);
    }
}

// The full housekeeping tick runs every ten seconds while scanning; every second, scanning
// or not, a changed watchlist or whitelist is carried to the verdicts (while stopped no advert
// comes to do it, and a rule taken away would leave its device flagged).
void housekeeping_main() {
    State& s = S();
    try {
        using clock = std::chrono::steady_clock;
        auto next_tick = clock::now() + std::chrono::seconds(10);
        for (;;) {
            bool run;
            {
                std::unique_lock lock(s.mu);
                if (s.quit) return;
                if (s.hk_cv.wait_for(lock, std::chrono::seconds(1), [&s] { return s.quit; }))
                    return;
                run = s.running;
            }
            if (clock::now() >= next_tick) {
                next_tick = clock::now() + std::chrono::seconds(10);
                if (run) {
                    ovk_scan_housekeeping_tick();
                    continue;
                }
            }
            ovk_pipeline_recheck();
        }
    } catch (...) {
        zq_log(LOG_ERR, "housekeeping failed");
    }
}

}  // namespace

OVK_SCAN_OPTS ovk_scan_opts(const OVK_PREFS& p, bool trace) {
    OVK_SCAN_OPTS o;
    o.ble = p.ble_enabled;
    o.wifi = p.wifi_enabled;
    o.location = (p.gps_tagging || p.follower_alerts || trace) ? 1 : 0;
    o.location_fast = trace ? 1 : 0;
    o.cells = p.category_enabled[OVK_CAT_CELL_ANOMALY] ? 1 : 0;
    o.wifi_interval_ms = static_cast<int>(std::clamp<int64_t>(p.scan_interval_ms, 0, INT32_MAX));
    o.ble_mode = p.ble_scan_mode;
    o.hci_dev = p.hci_dev;
    o.wifi_iface = p.wifi_iface;
    o.gpsd_host = p.gpsd_host;
    o.gpsd_port = p.gpsd_port;
    return o;
}

std::string ovk_scan_notification_text(int devices, int flagged, int discreet,
                                       std::string_view not_listening) {
    if (discreet) return "Tap to open";
    if (!not_listening.empty()) return ovk_cut("Not listening: " + std::string(not_listening), 127);
    std::string t = ovk_format(127, "%d device%s nearby", devices, devices == 1 ? "" : "s");
    if (flagged > 0) t = ovk_cut(t + ovk_format(64, " - %d flagged", flagged), 127);
    return t;
}

// ---- carried out on the scan-control thread (and by shutdown, once that thread ended) ----

namespace {

// The preferences scanning follows: the stored ones, in demo mode when this run asks for it.
OVK_PREFS scan_prefs() {
    OVK_PREFS p = ovk_prefs_get();
    State& s = S();
    std::lock_guard lock(s.mu);
    if (s.demo_override != 0) p.demo_mode = s.demo_override > 0 ? 1 : 0;
    return p;
}

int scan_start_now() {
    try {
        const OVK_PREFS p = scan_prefs();
        State& s = S();
        bool running;
        {
            std::lock_guard lock(s.mu);
            running = s.running;
        }
        if (running) {
            if (apply_source(p) == 0) return 0;
            zq_log(LOG_ERR, "could not start scanning");
            return -1;
        }
        const auto h = hooks();
        if (h->take_stop_request) (void)h->take_stop_request();
        bool started_trip = false;
        if (p.auto_record_trace && !ovk_trip_is_recording()) started_trip = ovk_trip_start() > 0;
        const int64_t now = clock_now(*h);
        ovk_registry_start_session(now);
        s.earliest_heard.store(INT64_MAX, std::memory_order_relaxed);
        {
            std::lock_guard lock(s.mu);
            s.classified.clear();
            s.last_flush = 0;
            // A new source: a fix from before (another feed, a recording) is not kept.
            clear_fix_locked(s);
            s.ble_heard = s.wifi_heard = 0;
        }
        prune_old_data(p, now);
        if (apply_source(p) == 0) {
            {
                std::lock_guard lock(s.mu);
                s.running = true;
            }
            if (h->background)
                h->background(1,
                              p.discreet_mode ? "Tap to open" : "Listening for nearby devices...");
            return 0;
        }
        zq_log(LOG_ERR, "could not start scanning");
        if (started_trip) ovk_trip_stop();
        if (ovk_demo_running()) ovk_demo_stop();
        // Scanners that did start are stopped too, so that a failed start leaves nothing
        // running behind an idle pipeline.
        if (h->scan_running && h->scan_running() && h->scan_stop) h->scan_stop();
        std::lock_guard lock(s.mu);
        s.demo = false;
        return -1;
    } catch (...) {
        zq_log(LOG_ERR, "could not start scanning");
        return -1;
    }
}

void scan_stop_now() {
    try {
        State& s = S();
        bool was;
        {
            std::lock_guard lock(s.mu);
            was = s.running;
            s.running = false;
            s.demo = false;
        }
        if (!was) return;
        if (ovk_demo_running()) ovk_demo_stop();
        const auto h = hooks();
        if (h->scan_stop) h->scan_stop();
        {
            // Whatever gave positions has stopped with the scan.
            std::lock_guard lock(s.mu);
            clear_fix_locked(s);
        }
        flush_history(clock_now(*h));
        ovk_trip_stop();
    } catch (...) {
        zq_log(LOG_ERR, "scan stop failed");
    }
}

int scan_refresh_now() {
    try {
        State& s = S();
        {
            std::lock_guard lock(s.mu);
            if (!s.running) return 0;
        }
        if (apply_source(scan_prefs()) == 0) return 0;
    } catch (...) {
    }
    zq_log(LOG_ERR, "could not re-apply scan settings");
    return -1;
}

int carry_out(SCAN_REQ r) {
    switch (r) {
        case SCAN_REQ_START:
            return scan_start_now();
        case SCAN_REQ_STOP:
            scan_stop_now();
            return 0;
        case SCAN_REQ_REFRESH:
            return scan_refresh_now();
    }
    return -1;
}

// The scan-control thread: carries out the requests in the order they came; ends once told
// to and nothing waits.
void scan_control_main() {
    State& s = S();
    for (;;) {
        SCAN_REQ r;
        {
            std::unique_lock lock(s.mu);
            s.scan_cv.wait(lock, [&s] { return s.scan_quit || !s.scan_reqs.empty(); });
            if (s.scan_reqs.empty()) return;
            r = s.scan_reqs.front();
            s.scan_reqs.pop_front();
            s.scan_busy = true;
            s.scan_doing = r;
        }
        const int rc = carry_out(r);
        {
            std::lock_guard lock(s.mu);
            s.scan_busy = false;
            s.scan_result = rc;
            if (r == SCAN_REQ_START && rc != 0 && !s.running) {
                // Scanning stays off: what is asked for now is whatever a later start or stop
                // says, else off.
                s.scan_failed = true;
                bool want = false;
                for (SCAN_REQ q : s.scan_reqs) {
                    if (q == SCAN_REQ_START) want = true;
                    if (q == SCAN_REQ_STOP) want = false;
                }
                s.scan_want = want;
            }
        }
        s.scan_idle_cv.notify_all();
    }
}

// Queues a request for the scan-control thread. -1 before init or during shutdown.
int scan_request(SCAN_REQ r) {
    State& s = S();
    try {
        std::lock_guard lock(s.mu);
        if (!s.initialised || s.scan_quit) return -1;
        // The same request twice in a row does the same as once: the second would read the
        // same preferences when its turn came.
        if (s.scan_reqs.empty() || s.scan_reqs.back() != r) s.scan_reqs.push_back(r);
        if (r == SCAN_REQ_START || r == SCAN_REQ_STOP) {
            s.scan_want = r == SCAN_REQ_START;
            s.scan_failed = false;
        }
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(SCAN_REQ, 1, request);
        return -1;
    }
    s.scan_cv.notify_one();
    return 0;
}

// The scan state the interface shows. The caller holds the state lock.
OVK_SCAN_STATE scan_state_locked(const State& s) {
    std::optional<SCAN_REQ> next;
    if (s.scan_busy)
        next = s.scan_doing;
    else if (!s.scan_reqs.empty())
        next = s.scan_reqs.front();
    if (next == SCAN_REQ_START && !s.running) return OVK_SCAN_STARTING;
    if (next == SCAN_REQ_STOP && (s.running || s.scan_busy)) return OVK_SCAN_STOPPING;
    return s.running ? OVK_SCAN_RUNNING : OVK_SCAN_IDLE;
}

}  // namespace

int ovk_scan_start() {
    return scan_request(SCAN_REQ_START);
}

void ovk_scan_stop() {
    (void)scan_request(SCAN_REQ_STOP);
}

void ovk_scan_refresh() {
    (void)scan_request(SCAN_REQ_REFRESH);
}

int ovk_scan_is_running() {
    return S().scan_want.load() ? 1 : 0;
}

int ovk_scan_wait_idle(int timeout_ms) {
    try {
        State& s = S();
        std::unique_lock lock(s.mu);
        auto idle = [&s] { return s.scan_reqs.empty() && !s.scan_busy; };
        if (timeout_ms < 0)
            s.scan_idle_cv.wait(lock, idle);
        else if (!s.scan_idle_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), idle))
            return -2;
        return s.scan_result == 0 ? 0 : -1;
    } catch (...) {
        return -2;
    }
}

void ovk_scan_set_demo_override(int on) {
    State& s = S();
    std::lock_guard lock(s.mu);
    s.demo_override = on > 0 ? 1 : on < 0 ? -1 : 0;
}

int ovk_scan_demo_override() {
    return S().demo_override.load();
}

const char* ovk_scan_progress_text(OVK_SCAN_STATE state, int failed) {
    switch (state) {
        case OVK_SCAN_STARTING:
            return "Starting...";
        case OVK_SCAN_STOPPING:
            return "Stopping...";
        case OVK_SCAN_IDLE:
            return failed ? "Could not start scanning" : "";
        case OVK_SCAN_RUNNING:
            return "";
    }
    return "";
}

void ovk_pipeline_recheck() {
    {
        State& s = S();
        const uint64_t watchlist = ovk_watchlist_serial();
        const uint64_t whitelist = ovk_store_whitelist_serial();
        std::lock_guard lock(s.mu);
        if (watchlist == s.watchlist_seen && whitelist == s.whitelist_seen) return;
    }
    ITEM it;
    it.kind = ITEM_RECHECK;
    enqueue(std::move(it));
}

void ovk_scan_housekeeping_tick() {
    try {
        ovk_pipeline_recheck();
        const auto h = hooks();
        if (h->take_stop_request && h->take_stop_request()) {
            zq_log(LOG_NOTICE, "scanning stopped from the notification");
            ovk_scan_stop();
            return;
        }
        const OVK_PREFS p = ovk_prefs_get();
        const int64_t now = clock_now(*h);
        const OVK_REGISTRY_TALLY tally = ovk_registry_tally(now);
        if (h->background) {
            const OVK_STATUS st = ovk_pipeline_status();
            h->background(1, ovk_scan_notification_text(tally.devices, tally.flagged,
                                                        p.discreet_mode, st.not_listening));
        }
        ovk_trip_flush();
        State& s = S();
        int64_t last;
        {
            std::lock_guard lock(s.mu);
            last = s.last_flush;
        }
        if (now - last >= kHistoryFlushMs) flush_history(now);

        // Prune the classification cache to the devices the registry still holds: list the
        // cached addresses, ask the registry (without holding our lock), then drop the
        // listed ones it no longer has. Entries cached meanwhile wait for the next tick.
        std::vector<std::string> cached;
        {
            std::lock_guard lock(s.mu);
            cached.reserve(s.classified.size());
            s.classified.foreach (
                [&cached](const OVK_SMAP_NODE<CACHED>& n) { cached.push_back(n.key); });
        }
        const std::vector<char> held = ovk_registry_holds(cached);
        if (held.size() != cached.size()) return;
        std::lock_guard lock(s.mu);
        for (size_t i = 0; i < cached.size(); i++)
            if (!held[i]) s.classified.del(cached[i]);
    } catch (...) {
        zq_log(LOG_ERR, "housekeeping tick failed");
    }
}
