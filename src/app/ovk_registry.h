// SPDX-License-Identifier: GPL-3.0-or-later
// The device registry: the in-memory table of devices heard in the current scanning session,
// one entry per radio address. The pipeline worker reports every processed advertisement; the
// registry keeps each device's signal history and path, carries verdicts across a BLE address
// rotation, holds strong verdicts for two minutes after they stop being reported, runs the
// co-location grouping over all devices and decides when a device has followed the user. It
// also keeps what each address has sent (names, listed services: ovk_heard), so that the
// pipeline judges a device's adverts together and can withdraw a held verdict that what the
// device later says about itself explains away.
// Everyone else reads it through snapshots: owned deep copies.
//
// Lock order: the registry asks the store about the whitelist and favourites while holding
// its own lock (registry, then store); it never calls anything else under its lock.
//
// The table holds at most OVK_REGISTRY_MAX_ENTRIES devices. When it is full, a new address
// evicts the least recently seen device without verdicts (or, when every device has verdicts,
// the least recently seen one), so a flood of random addresses cannot exhaust memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_advert.h"
#include "ovk_category.h"
#include "ovk_heard.h"
#include "ovk_patrol.h"
#include "ovk_remoteid.h"
#include "ovk_ridcheck.h"
#include "ovk_store.h"

inline constexpr int OVK_REGISTRY_MAX_ENTRIES = 100000;
inline constexpr int OVK_HISTORY_MAX = 600;  // signal samples kept per device, 1 s apart
inline constexpr int OVK_PATH_MAX = 200;     // path points kept per device, 45 s apart
inline constexpr int64_t OVK_STALE_MS = 180000;

// One position sample.
struct OVK_GEO {
    int64_t time = 0;  // ms since the epoch
    double lat = 0;
    double lon = 0;
};

// A snapshot of one tracked device, owned by whoever asked for it. A summary of every device
// is held by the window's list, so the fields are ordered to leave no padding.
struct OVK_DEVICE {
    std::string mac;                  // the key, as the advertisement gave it
    OVK_SOURCE source = OVK_SRC_BLE;  // of the latest advertisement
    int sources = 0;                  // 1 = heard on BLE, 2 = heard on Wi-Fi
    std::string name;                 // cleaned name / SSID, empty when never named
    std::string vendor;
    std::string device_type;  // the identity's type text
    OVK_FACTS facts;          // identity facts followed by the registry's own
    OVK_HITS hits;            // strongest first
    int rssi = -127;          // smoothed dBm
    int best_rssi = -127;     // strongest raw dBm
    double distance_m = 0;
    OVK_ADDR_TYPE addr_type = OVK_ADDR_UNKNOWN;
    int sightings = 0;
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    // What the device's Remote ID broadcasts said; null when it sent none. Immutable and
    // shared with the registry (a large snapshot copies no drone or remembered record).
    std::shared_ptr<const OVK_REMOTE_ID> rid;
    // The remembered device from earlier sessions; null when it is new. Shared like `rid`.
    std::shared_ptr<const OVK_KNOWN> known;
    int following = 0;
    int whitelisted = 0;  // asked from the store when the snapshot is taken
    int favorite = 0;
    int has_best_pos = 0;
    OVK_GEO best_pos;  // where the device was strongest
    // Only in a full snapshot (ovk_registry_get); empty in summaries. The advertisement is
    // an immutable copy that snapshots may share.
    std::shared_ptr<const OVK_ADVERT> advert;
    std::vector<OVK_RSSI_SAMPLE> history;  // oldest first
    std::vector<OVK_GEO> path;             // oldest first
};
using OVK_DEVICE_LIST = std::vector<OVK_DEVICE>;

// Device summaries shared by reference: the registry keeps an immutable summary per entry,
// made again only after the entry changed, and a shared snapshot hands out those, so that a
// snapshot of a large table copies pointers instead of devices. Reads like a vector of
// devices.
class OVK_DEVICE_REFS {
  public:
    using PTR = std::shared_ptr<const OVK_DEVICE>;
    class iterator {
      public:
        explicit iterator(std::vector<PTR>::const_iterator it) : it_(it) {}
        const OVK_DEVICE& operator*() const { return **it_; }
        const OVK_DEVICE* operator->() const { return it_->get(); }
        iterator& operator++() {
            ++it_;
            return *this;
        }
        bool operator==(const iterator& o) const { return it_ == o.it_; }
        bool operator!=(const iterator& o) const { return it_ != o.it_; }

      private:
        std::vector<PTR>::const_iterator it_;
    };
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const OVK_DEVICE& operator[](size_t i) const { return *items_[i]; }
    iterator begin() const { return iterator(items_.begin()); }
    iterator end() const { return iterator(items_.end()); }
    void clear() { items_.clear(); }
    void shrink_to_fit() { items_.shrink_to_fit(); }
    void reserve(size_t n) { items_.reserve(n); }
    void push_back(PTR d) { items_.push_back(std::move(d)); }
    void push_back(OVK_DEVICE d) {
        items_.push_back(std::make_shared<const OVK_DEVICE>(std::move(d)));
    }
    PTR& ref(size_t i) { return items_[i]; }
    // The list's storage, which a swap or move of the list hands on with the devices.
    std::span<const PTR> refs() const { return items_; }

  private:
    std::vector<PTR> items_;  // never null
};

// Lifecycle. init returns 0; shutdown drops everything.
int ovk_registry_init();
void ovk_registry_shutdown();
// Drops every entry and the co-location cache and records `now` as the session start.
void ovk_registry_start_session(int64_t now);
int64_t ovk_registry_session_start();  // 0 before the first session

// Merges one report. `vendor` empty means none; `id`, `rid`, `loc` may be null.
// 1 when the address was new to the registry, 0 when known or on failure.
int ovk_registry_report(const OVK_ADVERT& a, const OVK_HITS& hits, const OVK_IDENTITY* id,
                        std::string_view vendor, const OVK_REMOTE_ID* rid, const OVK_GEO* loc,
                        int64_t now);
// An advertisement as the registry remembers its address (ovk_heard): what to judge it on,
// and whether a verdict held from an earlier advertisement needs judging again.
struct OVK_RECALL {
    // The advertisement with the name and services its address sent before filled in;
    // nullopt when they add nothing (or were not asked for).
    std::optional<OVK_ADVERT> view;
    // 1 when the advertisement says something its address had not sent before (a new name or
    // service): verdicts judged without it are out of date.
    int news = 0;
    // With news, the verdict held from an earlier advertisement (still in force at `now`)
    // and that advertisement as judged with everything heard now. When judging it again no
    // longer gives the verdict, it is withdrawn with ovk_registry_withdraw.
    std::optional<OVK_HIT> held;
    std::optional<OVK_ADVERT> held_view;
};
// `want_view` false skips building the view unless there is news (the caller reuses
// verdicts it already has).
OVK_RECALL ovk_registry_recall(const OVK_ADVERT& a, int64_t now, bool want_view);
// Drops the held verdict of `mac` when its label is `label`: it leaves the device's verdicts
// (list, banner, threat level) at once; what was logged stays. 1 when it was withdrawn.
int ovk_registry_withdraw(std::string_view mac, std::string_view label);
// The latest advertisement of `mac` as the registry remembers its address (what it would be
// judged on now), with the verdict held from an earlier advertisement and that advertisement
// when one is held; `view` is nullopt for an unknown address.
OVK_RECALL ovk_registry_recall_latest(std::string_view mac);
// Replaces the verdicts of `mac` with `hits`, judged again because the rules changed (the
// watchlist, the whitelist). The held verdict stays only with `keep_held`; otherwise it
// leaves the device at once. 1 when the address is known.
int ovk_registry_rejudge(std::string_view mac, const OVK_HITS& hits, bool keep_held);
// Appends the verdicts the entry inherited from its previous address (nothing when unknown).
void ovk_registry_inherited_hits(std::string_view mac, OVK_HITS& out);
// The co-location verdict for this address; groups are recomputed at most every 2 s.
std::optional<OVK_HIT> ovk_registry_cluster_hit(std::string_view mac, int64_t now);
std::optional<OVK_REMOTE_ID> ovk_registry_remote_id(std::string_view mac);
// The Remote ID plausibility track of an entry (ovk_ridcheck), and its replacement after a
// broadcast was checked; the snapshot facts carry its findings. Setting does nothing for an
// unknown address.
std::optional<OVK_RID_TRACK> ovk_registry_rid_track(std::string_view mac);
void ovk_registry_set_rid_track(std::string_view mac, const OVK_RID_TRACK& track);
// Stores a copy of the remembered-device record; null clears it.
void ovk_registry_set_known(std::string_view mac, const OVK_KNOWN* known);
// 1 the first time the device has been heard for `min_duration_ms` and its kept path spans
// at least `min_distance_m` from its oldest point; 0 otherwise and on every later call.
int ovk_registry_check_following(std::string_view mac, int64_t min_duration_ms,
                                 double min_distance_m);

// Drops entries unseen for more than 180 s, then returns summaries of the rest.
OVK_DEVICE_LIST ovk_registry_snapshot(int64_t now);
// The same summaries, shared. The registry's lock is taken in short turns (a large table is
// walked a piece at a time), so the pipeline never waits long for a snapshot; entries made
// while the walk goes on are left out, and one dropped meanwhile may still be listed.
OVK_DEVICE_REFS ovk_registry_shared_snapshot(int64_t now);
// What the status line, the threat level and the notification need, counted under the lock
// without copying any device. Like ovk_registry_snapshot, it first drops the entries unseen
// for more than 180 s; the counts are those a snapshot taken at `now` would give.
struct OVK_REGISTRY_TALLY {
    int devices = 0;          // entries kept
    int flagged = 0;          // of those, with a verdict and not whitelisted
    int top_confidence = -1;  // strongest verdict among the flagged, -1 when none is flagged
    int following = 0;        // 1 when a flagged device follows the user
};
OVK_REGISTRY_TALLY ovk_registry_tally(int64_t now);
// For each address, 1 when the registry holds an entry for it (one lock for the whole list).
std::vector<char> ovk_registry_holds(const std::vector<std::string>& macs);

// Summaries of the entries last seen at or after `since`; nothing is dropped.
OVK_DEVICE_LIST ovk_registry_summaries(int64_t since);
// What the remembered devices keep of the entries last seen at or after `since`, in table
// order: address, first and last seen, name, vendor and type (the other fields as a new
// OVK_KNOWN has them). Much lighter than summaries; nothing is dropped. Read in pieces: at
// most `max` rows of entries after the cursor `*after` (default-made to start), which moves
// past them. Entries dropped as stale since the last walk are remembered too: once the table
// is passed, the following calls return their rows (last seen at or after `since`; those
// rows are then given up by the registry) with `departed` set on the cursor. An address may
// then come twice, when it was dropped and heard again, or dropped during the walk.
struct OVK_REGISTRY_CURSOR {
    uint64_t order = 0;     // creation number of the last entry passed
    std::string mac;        // and its address, to find it again at once
    bool departed = false;  // the rows last returned are of entries dropped as stale
};
std::vector<OVK_KNOWN> ovk_registry_known_rows(int64_t since, OVK_REGISTRY_CURSOR* after,
                                               size_t max);
// A full snapshot (advertisement, history, path, same-access-point siblings) or nullopt.
std::optional<OVK_DEVICE> ovk_registry_get(std::string_view mac);
int ovk_registry_count();
// Drops all entries and the co-location cache.
void ovk_registry_clear();
// Change counter: moves on every report, session start and clear.
unsigned ovk_registry_serial();

// The first (strongest) verdict, or nullptr.
const OVK_HIT* ovk_device_best(const OVK_DEVICE& d);
// 1 when the device has a verdict and is not whitelisted.
int ovk_device_flagged(const OVK_DEVICE& d);
