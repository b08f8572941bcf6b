// SPDX-License-Identifier: GPL-3.0-or-later
// Device registry: merging, smoothing, held verdicts, rotation links, co-location, following,
// staleness, snapshots and eviction under a flood of new addresses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ovk_pipeline.h"
#include "ovk_registry.h"
#include "ovk_store.h"

namespace {

constexpr int64_t T0 = 1700000000000;

std::string mac_of(unsigned n, unsigned top = 0x4A) {
    char b[18];
    snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", top, (n >> 24) & 0xFF, (n >> 16) & 0xFF,
             (n >> 8) & 0xFF, n & 0xFF, 0x10);
    return b;
}

// A BLE advertisement with a resolvable private address and one 16-bit service UUID, so that
// it has an advertisement fingerprint.
OVK_ADVERT ble(const std::string& mac, int rssi, std::optional<std::string> name = std::nullopt,
               uint16_t uuid = 0xFD5A) {
    OVK_ADVERT a;
    a.mac = mac;
    a.source = OVK_SRC_BLE;
    a.rssi = rssi;
    a.name = std::move(name);
    a.uuids.push_back(ovk_uuid16(uuid));
    a.addr_type = OVK_ADDR_RESOLVABLE_PRIVATE;
    a.connectable = 0;
    return a;
}

OVK_ADVERT wifi(const std::string& bssid, int rssi, std::optional<std::string> ssid) {
    OVK_ADVERT a;
    a.mac = bssid;
    a.source = OVK_SRC_WIFI;
    a.rssi = rssi;
    a.name = std::move(ssid);
    a.freq_mhz = 2437;
    a.addr_type = OVK_ADDR_WIFI_GLOBAL;
    return a;
}

OVK_HIT hit(const char* label, int conf, OVK_CATEGORY c = OVK_CAT_BODY_CAM,
            std::string_view src = "catalogue") {
    return ovk_hit_make(c, label, conf, src, "seen %s", label);
}

int report(const OVK_ADVERT& a, int64_t now, const OVK_HITS& hits = {},
           std::string_view vendor = "", const OVK_GEO* loc = nullptr,
           const OVK_IDENTITY* id = nullptr) {
    return ovk_registry_report(a, hits, id, vendor, nullptr, loc, now);
}

OVK_DEVICE get(const std::string& mac) {
    auto d = ovk_registry_get(mac);
    EXPECT_TRUE(d.has_value()) << mac;
    return d ? *d : OVK_DEVICE{};
}

// A fact of the device's full snapshot, copied out.
std::optional<std::string> fact(const std::string& mac, const char* key) {
    auto d = ovk_registry_get(mac);
    if (!d) return std::nullopt;
    const std::string* v = ovk_facts_get(d->facts, key);
    return v ? std::optional<std::string>(*v) : std::nullopt;
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(ovk_registry_init(), 0);
        ovk_registry_start_session(T0);
    }
    void TearDown() override { ovk_registry_clear(); }
};

}  // namespace

TEST_F(Registry, NewAndKnownAddressesAndTheChangeCounter) {
    EXPECT_EQ(ovk_registry_session_start(), T0);
    unsigned s0 = ovk_registry_serial();
    std::string m = mac_of(1);
    EXPECT_EQ(report(ble(m, -60), T0), 1);
    EXPECT_EQ(report(ble(m, -60), T0 + 100), 0);
    EXPECT_EQ(ovk_registry_serial(), s0 + 2);
    EXPECT_EQ(ovk_registry_count(), 1);
    OVK_DEVICE d = get(m);
    EXPECT_EQ(d.mac, m);
    EXPECT_EQ(d.sightings, 2);
    EXPECT_EQ(d.first_seen, T0);
    EXPECT_EQ(d.last_seen, T0 + 100);
    EXPECT_EQ(d.device_type, "Device");
    EXPECT_EQ(d.addr_type, OVK_ADDR_RESOLVABLE_PRIVATE);
    EXPECT_EQ(d.sources, 1);
    EXPECT_FALSE(ovk_registry_get(mac_of(2)));

    // The same address heard on Wi-Fi adds the second source bit; `source` is the latest.
    EXPECT_EQ(report(wifi(m, -50, "net"), T0 + 200), 0);
    d = get(m);
    EXPECT_EQ(d.sources, 3);
    EXPECT_EQ(d.source, OVK_SRC_WIFI);
    EXPECT_EQ(d.addr_type, OVK_ADDR_WIFI_GLOBAL);

    ovk_registry_clear();
    EXPECT_EQ(ovk_registry_count(), 0);
    EXPECT_EQ(ovk_registry_serial(), s0 + 4);
    ovk_registry_start_session(T0 + 5000);
    EXPECT_EQ(ovk_registry_session_start(), T0 + 5000);
}

TEST_F(Registry, SmoothingHistoryAndItsSpacing) {
    std::string m = mac_of(1);
    report(ble(m, -60), T0);
    report(ble(m, -40), T0 + 200);  // 30 % of the way: -54
    OVK_DEVICE d = get(m);
    EXPECT_EQ(d.rssi, -54);
    EXPECT_EQ(d.best_rssi, -40);
    ASSERT_EQ(d.history.size(), 1u);
    EXPECT_EQ(d.history[0].time, T0);
    EXPECT_EQ(d.history[0].rssi, -60);

    // Exactly 10 s later still smooths: -54 + 0.3 * (-45 + 54) = -51.3.
    report(ble(m, -45), T0 + 10200);
    EXPECT_EQ(get(m).rssi, -51);
    // After more than 10 s of silence the level restarts from the raw value.
    report(ble(m, -80), T0 + 20201);
    d = get(m);
    EXPECT_EQ(d.rssi, -80);
    EXPECT_EQ(d.best_rssi, -40);
    ASSERT_EQ(d.history.size(), 3u);
    EXPECT_EQ(d.history[2].rssi, -80);  // raw, not smoothed

    // Halves round up: -60 toward -45 is -55.5, shown as -55.
    std::string m2 = mac_of(2);
    report(ble(m2, -60), T0);
    report(ble(m2, -45), T0 + 1);
    EXPECT_EQ(get(m2).rssi, -55);

    // One sample per second at most, kept from the first report of each second-long step.
    std::string m3 = mac_of(3);
    for (int64_t dt : {0, 200, 999, 1000, 1999, 2000, 2500})
        report(ble(m3, -70 - static_cast<int>(dt / 100)), T0 + dt);
    d = get(m3);
    ASSERT_EQ(d.history.size(), 3u);
    EXPECT_EQ(d.history[0].time, T0);
    EXPECT_EQ(d.history[1].time, T0 + 1000);
    EXPECT_EQ(d.history[2].time, T0 + 2000);
    EXPECT_EQ(d.sightings, 7);
}

TEST_F(Registry, HistoryAndPathKeepTheNewestUpToTheirCapacity) {
    std::string m = mac_of(1);
    for (int i = 0; i < 700; i++) {
        OVK_GEO g{T0 + i * 45000 - 7, 48.0 + i * 1e-4, 11.0};
        report(ble(m, -50 - i % 40), T0 + i * 45000, {}, "", &g);
    }
    OVK_DEVICE d = get(m);
    ASSERT_EQ(d.history.size(), static_cast<size_t>(OVK_HISTORY_MAX));
    EXPECT_EQ(d.history.front().time, T0 + 100 * 45000);
    EXPECT_EQ(d.history.back().time, T0 + 699 * 45000);
    for (size_t i = 1; i < d.history.size(); i++)
        ASSERT_EQ(d.history[i].time - d.history[i - 1].time, 45000);
    ASSERT_EQ(d.path.size(), static_cast<size_t>(OVK_PATH_MAX));
    EXPECT_EQ(d.path.front().time, T0 + 500 * 45000 - 7);  // the point as given
    EXPECT_DOUBLE_EQ(d.path.back().lat, 48.0 + 699 * 1e-4);
}

TEST_F(Registry, PathSpacingAndBestPosition) {
    std::string m = mac_of(1);
    OVK_GEO a{T0, 48.1, 11.5}, b{T0 + 44999, 48.2, 11.5}, c{T0 + 45000, 48.3, 11.5},
        e{T0 + 50000, 48.4, 11.5};
    report(ble(m, -70), T0, {}, "", &a);
    report(ble(m, -60), T0 + 44999, {}, "", &b);  // too soon for the path; strongest so far
    report(ble(m, -60), T0 + 45000, {}, "", &c);  // as strong: the best position moves
    report(ble(m, -61), T0 + 50000, {}, "", &e);  // weaker: it stays
    report(ble(m, -20), T0 + 51000);              // no position: nothing to move to
    OVK_DEVICE d = get(m);
    ASSERT_EQ(d.path.size(), 2u);
    EXPECT_DOUBLE_EQ(d.path[0].lat, 48.1);
    EXPECT_DOUBLE_EQ(d.path[1].lat, 48.3);
    ASSERT_TRUE(d.has_best_pos);
    EXPECT_DOUBLE_EQ(d.best_pos.lat, 48.3);
    EXPECT_EQ(d.best_rssi, -20);

    // A device first heard without a position takes its first position whatever the level.
    std::string m2 = mac_of(2);
    report(ble(m2, -30), T0);
    EXPECT_FALSE(get(m2).has_best_pos);
    report(ble(m2, -90), T0 + 1000, {}, "", &a);
    d = get(m2);
    EXPECT_TRUE(d.has_best_pos);
    EXPECT_DOUBLE_EQ(d.best_pos.lat, 48.1);
}

TEST_F(Registry, NamesVendorsAndIdentitiesNeverGetPoorer) {
    std::string m = mac_of(1);
    report(ble(m, -60, "   \"Kitchen Tag\"  "), T0);
    EXPECT_EQ(get(m).name, "Kitchen Tag");
    report(ble(m, -60, "   "), T0 + 1);
    EXPECT_EQ(get(m).name, "Kitchen Tag");
    report(ble(m, -60, "\"\""), T0 + 2);  // quotes around nothing: nothing
    EXPECT_EQ(get(m).name, "Kitchen Tag");
    report(ble(m, -60, "\""), T0 + 3);  // a lone quote is a name
    EXPECT_EQ(get(m).name, "\"");
    report(ble(m, -60, std::string(300, 'n')), T0 + 4);
    EXPECT_EQ(get(m).name, std::string(95, 'n'));

    // A name cut at the limit never ends inside a character.
    report(ble(m, -60, std::string(94, 'n') + "\xC3\xA9"), T0 + 4);
    EXPECT_EQ(get(m).name, std::string(94, 'n'));

    report(ble(m, -60), T0 + 5, {}, "Acme Corp");
    report(ble(m, -60), T0 + 6, {}, "");
    EXPECT_EQ(get(m).vendor, "Acme Corp");

    OVK_IDENTITY bare{"Phone", {}};
    OVK_IDENTITY rich{"AirPods Pro", {{"Model", "A2084"}, {"Case", "open"}}};
    OVK_IDENTITY less{"Headphones", {{"Model", "?"}}};
    report(ble(m, -60), T0 + 7, {}, "", nullptr, &bare);
    EXPECT_EQ(get(m).device_type, "Phone");  // replaces "Device" even without facts
    report(ble(m, -60), T0 + 8, {}, "", nullptr, &rich);
    report(ble(m, -60), T0 + 9, {}, "", nullptr, &less);
    OVK_DEVICE d = get(m);
    EXPECT_EQ(d.device_type, "AirPods Pro");
    ASSERT_EQ(d.facts.size(), 2u);
    EXPECT_EQ(d.facts[0].value, "A2084");
    OVK_IDENTITY same{"AirPods Pro 2", {{"Model", "A2931"}, {"Case", "shut"}}};
    report(ble(m, -60), T0 + 10, {}, "", nullptr, &same);
    EXPECT_EQ(get(m).device_type, "AirPods Pro 2");
}

// Hostile names are made safe to show where they come in, so every screen and export reads
// the same clean text: bytes that are not UTF-8 go, controls become spaces, direction
// controls go, and a letter keeps at most two stacked marks.
TEST_F(Registry, NamesAreCleanedWhereTheyComeIn) {
    const std::string m = mac_of(2);
    report(ble(m, -60, "Cam\xFF\xC0\xAF-\xE2\x82 1\xC3\xA9"), T0);
    EXPECT_EQ(get(m).name, "Cam- 1\xC3\xA9");

    std::string zalgo = "Z";
    for (int i = 0; i < 200; ++i) zalgo += "\xCC\x81";  // U+0301
    zalgo += "oe\xCC\x88";                              // a lone mark stays
    report(ble(m, -60, zalgo), T0 + 1);
    EXPECT_EQ(get(m).name, "Z\xCC\x81\xCC\x81oe\xCC\x88");

    // U+202E, U+2066, U+200F go; a tab, a newline and U+0085 become spaces.
    report(ble(m, -60,
               "\xE2\x80\xAEgpj.exe\xE2\x81\xA6 a\tb\nc\xC2\x85"
               "d\xE2\x80\x8F"),
           T0 + 2);
    EXPECT_EQ(get(m).name, "gpj.exe a b c d");

    // Only controls and invalid bytes: no name; the one before stays.
    report(ble(m, -60, std::string("\x01\xFE\xE2\x80\xAE", 5)), T0 + 3);
    EXPECT_EQ(get(m).name, "gpj.exe a b c d");

    // The Wi-Fi name (SSID) takes the same path.
    const std::string w = mac_of(3);
    report(wifi(w, -50, "Home\xE2\x80\xAE\xFFNet"), T0 + 4);
    EXPECT_EQ(get(w).name, "HomeNet");
}

TEST_F(Registry, StrongestVerdictIsHeldForTwoMinutes) {
    std::string m = mac_of(1);
    report(ble(m, -60), T0, {hit("Axon Body 3", 70)});
    report(ble(m, -60), T0 + 1000);
    OVK_DEVICE d = get(m);
    ASSERT_EQ(d.hits.size(), 1u);
    EXPECT_EQ(d.hits[0].label, "Axon Body 3");
    report(ble(m, -60), T0 + 120000);
    EXPECT_EQ(get(m).hits.size(), 1u);
    report(ble(m, -60), T0 + 120001);
    EXPECT_TRUE(get(m).hits.empty());

    // At the last held instant a weaker verdict cannot take the hold yet.
    std::string m3 = mac_of(3);
    report(ble(m3, -60), T0, {hit("Axon Body 3", 70)});
    report(ble(m3, -60), T0 + 120000, {hit("Phone", 30)});
    d = get(m3);
    ASSERT_EQ(d.hits.size(), 2u);
    EXPECT_EQ(d.hits[0].label, "Axon Body 3");

    // A weaker report of the same label extends the hold; the held copy keeps its strength.
    std::string m2 = mac_of(2);
    report(ble(m2, -60), T0, {hit("Axon Body 3", 70)});
    report(ble(m2, -60), T0 + 60000, {hit("Axon Body 3", 50)});
    d = get(m2);
    ASSERT_EQ(d.hits.size(), 1u);
    EXPECT_EQ(d.hits[0].confidence, 50);  // the incoming one, not a duplicate
    report(ble(m2, -60), T0 + 180000);
    d = get(m2);
    ASSERT_EQ(d.hits.size(), 1u);
    EXPECT_EQ(d.hits[0].confidence, 70);
    report(ble(m2, -60), T0 + 180001);
    EXPECT_TRUE(get(m2).hits.empty());
}

TEST_F(Registry, AnEquallyStrongVerdictTakesOverTheHold) {
    std::string m = mac_of(1);
    report(ble(m, -60), T0, {hit("A", 70)});
    report(ble(m, -60), T0 + 1000, {hit("B", 60)});  // weaker: A stays held
    OVK_DEVICE d = get(m);
    ASSERT_EQ(d.hits.size(), 2u);
    EXPECT_EQ(d.hits[0].label, "A");
    EXPECT_EQ(d.hits[1].label, "B");
    report(ble(m, -60), T0 + 2000, {hit("C", 70)});  // as strong: C takes over
    d = get(m);
    ASSERT_EQ(d.hits.size(), 1u);
    EXPECT_EQ(d.hits[0].label, "C");
    report(ble(m, -60), T0 + 3000);
    d = get(m);
    ASSERT_EQ(d.hits.size(), 1u);
    EXPECT_EQ(d.hits[0].label, "C");

    // Once a hold has expired any verdict takes it.
    report(ble(m, -60), T0 + 200000, {hit("D", 10)});
    report(ble(m, -60), T0 + 200001);
    d = get(m);
    ASSERT_EQ(d.hits.size(), 1u);
    EXPECT_EQ(d.hits[0].label, "D");
}

TEST_F(Registry, CoLocationVerdictsAreNeverHeld) {
    std::string m = mac_of(1);
    OVK_HITS h{
        hit("Radio in a possible police vehicle", 80, OVK_CAT_PUBLIC_SAFETY, OVK_PATROL_SOURCE),
        hit("Weak thing", 20)};
    report(ble(m, -60), T0, h);
    OVK_DEVICE d = get(m);
    ASSERT_EQ(d.hits.size(), 2u);
    report(ble(m, -60), T0 + 1000);
    d = get(m);
    ASSERT_EQ(d.hits.size(), 1u);  // the weaker catalogue verdict was the one held
    EXPECT_EQ(d.hits[0].label, "Weak thing");
}

TEST_F(Registry, RotatedAddressInheritsVerdictsAfterTwoSeconds) {
    std::string a = mac_of(1), b = mac_of(2);
    report(ble(a, -60), T0, {hit("Tile tracker", 60, OVK_CAT_TRACKER)});
    // The name came later; the fingerprint was taken from the first, nameless advert.
    report(ble(a, -60, "Tile"), T0 + 500, {hit("Tile tracker", 60, OVK_CAT_TRACKER)});
    report(ble(a, -60), T0 + 1000, {hit("Tile tracker", 60, OVK_CAT_TRACKER)});
    EXPECT_EQ(report(ble(b, -62), T0 + 3500), 1);

    OVK_DEVICE d = get(b);
    const std::string* prev = ovk_facts_get(d.facts, "Previous address");
    ASSERT_NE(prev, nullptr);
    EXPECT_EQ(*prev, a + " (address rotated, same advert fingerprint)");
    EXPECT_EQ(d.name, "Tile");
    OVK_HITS inh;
    ovk_registry_inherited_hits(b, inh);
    ASSERT_EQ(inh.size(), 1u);
    EXPECT_EQ(inh[0].label, "Tile tracker");
    EXPECT_EQ(inh[0].confidence, 55);
    EXPECT_EQ(inh[0].category, OVK_CAT_TRACKER);
    EXPECT_EQ(inh[0].evidence,
              "Same device as " + a +
                  " before its address rotated (identical advert fingerprint, 2 s gap). "
                  "Original evidence: seen Tile tracker");
    // The old entry is left alone.
    EXPECT_EQ(get(a).hits.size(), 1u);
    OVK_HITS none;
    ovk_registry_inherited_hits(a, none);
    ovk_registry_inherited_hits(mac_of(99), none);
    EXPECT_TRUE(none.empty());

    // A chain of rotations keeps the original evidence when the middle address has no
    // verdicts of its own.
    std::string c = mac_of(3);
    report(ble(c, -62), T0 + 3500 + 29000);
    inh.clear();
    ovk_registry_inherited_hits(c, inh);
    ASSERT_EQ(inh.size(), 1u);
    EXPECT_EQ(inh[0].confidence, 50);
    EXPECT_EQ(inh[0].evidence.rfind("Same device as " + b +
                                        " before its address rotated "
                                        "(identical advert fingerprint, 29 s gap). Original "
                                        "evidence: Same device as " +
                                        a,
                                    0),
              0u);
}

TEST_F(Registry, RotationWindowIsOneAndAHalfToThirtySeconds) {
    struct CASE {
        int64_t gap;
        bool linked;
    };
    for (CASE k : {CASE{1400, false}, CASE{1499, false}, CASE{1500, true}, CASE{2000, true},
                   CASE{30000, true}, CASE{30001, false}, CASE{40000, false}}) {
        ovk_registry_clear();
        std::string a = mac_of(1), b = mac_of(2);
        report(ble(a, -60), T0, {hit("X", 40)});
        report(ble(b, -60), T0 + k.gap);
        OVK_DEVICE d = get(b);
        EXPECT_EQ(ovk_facts_get(d.facts, "Previous address") != nullptr, k.linked) << k.gap;
        OVK_HITS inh;
        ovk_registry_inherited_hits(b, inh);
        EXPECT_EQ(inh.size(), k.linked ? 1u : 0u) << k.gap;
    }
}

TEST_F(Registry, RotationNeedsExactlyOneCandidate) {
    std::string a = mac_of(1), a2 = mac_of(2), b = mac_of(3);
    report(ble(a, -60), T0, {hit("X", 40)});
    report(ble(a2, -60), T0 + 500, {hit("Y", 40)});
    report(ble(b, -60), T0 + 5000);  // two silent entries with this fingerprint
    EXPECT_EQ(fact(b, "Previous address"), std::nullopt);

    // One in the window and one long silent: linked to the one in the window.
    ovk_registry_clear();
    report(ble(a, -60), T0, {hit("X", 40)});
    report(ble(a2, -60), T0 + 50000, {hit("Y", 40)});
    report(ble(b, -60), T0 + 55000);
    auto prev = fact(b, "Previous address");
    ASSERT_TRUE(prev);
    EXPECT_EQ(prev->substr(0, 17), a2);

    // Another fingerprint, or an address that does not rotate, is never linked.
    ovk_registry_clear();
    report(ble(a, -60), T0, {hit("X", 40)});
    report(ble(b, -60, std::nullopt, 0xFEED), T0 + 5000);
    EXPECT_EQ(fact(b, "Previous address"), std::nullopt);
    OVK_ADVERT pub = ble(a2, -60);
    pub.addr_type = OVK_ADDR_PUBLIC;
    report(pub, T0 + 5000);
    EXPECT_EQ(fact(a2, "Previous address"), std::nullopt);

    // A candidate that is heard again leaves the window.
    ovk_registry_clear();
    report(ble(a, -60), T0, {hit("X", 40)});
    report(ble(a, -60), T0 + 4000, {hit("X", 40)});
    report(ble(b, -60), T0 + 5000);
    EXPECT_EQ(fact(b, "Previous address"), std::nullopt);
}

// Entries sharing a fingerprint come and go: the one left after the others were dropped is
// still found once heard again, and a fingerprint whose entries all left starts afresh.
TEST_F(Registry, RotationFollowsEntriesThatComeBackOrLeave) {
    std::string a = mac_of(1), a2 = mac_of(2), b = mac_of(3), c = mac_of(4), d = mac_of(5);
    report(ble(a, -60), T0, {hit("X", 40)});
    report(ble(a2, -60), T0 + 500, {hit("Y", 40)});
    report(ble(a, -60), T0 + 100000, {hit("X", 40)});
    EXPECT_EQ(ovk_registry_snapshot(T0 + 190000).size(), 1u);  // a2 is gone
    report(ble(a, -60), T0 + 190000, {hit("X", 40)});
    report(ble(b, -60), T0 + 195000);
    auto prev = fact(b, "Previous address");
    ASSERT_TRUE(prev);
    EXPECT_EQ(prev->substr(0, 17), a);

    EXPECT_TRUE(ovk_registry_snapshot(T0 + 400000).empty());
    report(ble(c, -60), T0 + 400000, {hit("Z", 40)});
    report(ble(d, -60), T0 + 403000);
    prev = fact(d, "Previous address");
    ASSERT_TRUE(prev);
    EXPECT_EQ(prev->substr(0, 17), c);
}

TEST_F(Registry, RolesComeFromReportsAndAreNeverCleared) {
    std::string m = mac_of(1);
    report(ble(m, -60), T0, {}, "Motorola Solutions");
    report(ble(m, -60), T0 + 1000, {}, "");
    OVK_DEVICE d = get(m);
    const std::string* role = ovk_facts_get(d.facts, "Patrol-kit role");
    ASSERT_NE(role, nullptr);
    EXPECT_EQ(*role, "two-way radio");
    report(ble(m, -60), T0 + 2000, {hit("Plate cam", 50, OVK_CAT_ALPR)});
    EXPECT_EQ(fact(m, "Patrol-kit role"), "plate reader");
    std::string plain = mac_of(2);
    report(ble(plain, -60, "Kitchen"), T0, {hit("Tracker", 50, OVK_CAT_TRACKER)}, "Apple, Inc.");
    EXPECT_EQ(fact(plain, "Patrol-kit role"), std::nullopt);
}

TEST_F(Registry, CoLocationGroupsAreRecomputedEveryTwoSeconds) {
    std::string radio = mac_of(1), printer = mac_of(2), router = mac_of(3);
    // Steady levels; the printer shows up 20 s after the radio.
    for (int s = 0; s <= 40; s++) {
        int64_t now = T0 + s * 1000;
        report(ble(radio, -60 - s % 2, std::nullopt, 0x1001), now, {}, "Motorola Solutions");
        if (s >= 20) report(ble(printer, -70 + s % 2, "RJ-4230B", 0x1002), now);
    }
    int64_t now = T0 + 40000;
    auto h = ovk_registry_cluster_hit(printer, now);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->label, "Mobile printer in a possible police vehicle (2 kinds of gear together)");
    EXPECT_EQ(h->confidence, 48);
    EXPECT_EQ(h->evidence, "Heard together with two-way radio " + radio +
                               " - they arrived within 30 s of each other");
    EXPECT_TRUE(ovk_registry_cluster_hit(radio, now));
    EXPECT_FALSE(ovk_registry_cluster_hit(mac_of(9), now));

    // A router arriving now is not seen until the groups are recomputed 2 s later.
    for (int s = 0; s <= 10; s++)
        report(ble(router, -80, std::nullopt, 0x1003), now + s * 100, {}, "Cradlepoint");
    EXPECT_FALSE(ovk_registry_cluster_hit(router, now + 1999));
    // Two seconds of history are too short to join it; the others stay grouped.
    EXPECT_FALSE(ovk_registry_cluster_hit(router, now + 2000));
    EXPECT_TRUE(ovk_registry_cluster_hit(radio, now + 2000));

    // A whitelisted member takes no part.
    ASSERT_EQ(ovk_store_whitelist_add(printer, "mine"), 0);
    EXPECT_TRUE(ovk_registry_cluster_hit(radio, now + 3000));  // cached
    EXPECT_FALSE(ovk_registry_cluster_hit(radio, now + 4000));
    ovk_store_whitelist_remove(printer);
}

TEST_F(Registry, FollowingFiresOnce) {
    std::string m = mac_of(1);
    auto at = [&](int i, double lat) {
        OVK_GEO g{T0 + i * 45000, lat, 11.0};
        report(ble(m, -60), T0 + i * 45000, {}, "", &g);
    };
    at(0, 48.0);
    at(1, 48.004);
    // Two path points are not enough whatever the distance and duration.
    EXPECT_EQ(ovk_registry_check_following(m, 0, 1), 0);
    at(2, 48.008);  // about 890 m from the first point, 90 s after it
    EXPECT_EQ(ovk_registry_check_following(m, 91000, 800), 0);  // not long enough
    EXPECT_EQ(ovk_registry_check_following(m, 90000, 900), 0);  // not far enough
    EXPECT_EQ(ovk_registry_check_following(m, 90000, 800), 1);
    EXPECT_EQ(ovk_registry_check_following(m, 90000, 800), 0);
    EXPECT_EQ(get(m).following, 1);
    EXPECT_EQ(ovk_registry_check_following(mac_of(2), 0, 0), 0);
}

TEST_F(Registry, StaleEntriesGoAtTheNextSnapshot) {
    std::string old = mac_of(1), edge = mac_of(2), fresh = mac_of(3);
    report(ble(old, -60), T0);
    report(ble(edge, -60), T0 + 1);
    report(ble(fresh, -60), T0 + 100000);
    int64_t now = T0 + 180001;
    OVK_DEVICE_LIST s = ovk_registry_summaries(T0 + 1);
    EXPECT_EQ(s.size(), 2u);
    EXPECT_EQ(ovk_registry_count(), 3);  // summaries drop nothing
    s = ovk_registry_snapshot(now);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].mac, edge);
    EXPECT_EQ(s[1].mac, fresh);
    EXPECT_EQ(ovk_registry_count(), 2);
    EXPECT_FALSE(ovk_registry_get(old));
    // Coming back after being dropped is a new device.
    EXPECT_EQ(report(ble(old, -60), now), 1);
}

TEST_F(Registry, SnapshotsCarryStoreFlagsAndOnlyFullOnesCarryHistory) {
    std::string m = mac_of(1), w = mac_of(2);
    OVK_GEO g{T0, 48.0, 11.0};
    report(ble(m, -60), T0, {hit("A", 40), hit("B", 70)}, "", &g);
    report(ble(w, -60), T0, {hit("C", 40)});
    ASSERT_EQ(ovk_store_whitelist_add(w, "my own"), 0);
    OVK_KNOWN k;
    k.mac = m;
    k.sessions = 7;
    ovk_registry_set_known(m, &k);

    OVK_DEVICE_LIST s = ovk_registry_snapshot(T0 + 1000);
    ASSERT_EQ(s.size(), 2u);
    const OVK_DEVICE& dm = s[0];
    EXPECT_EQ(dm.mac, m);
    EXPECT_EQ(dm.advert, nullptr);
    EXPECT_TRUE(dm.history.empty());
    EXPECT_TRUE(dm.path.empty());
    ASSERT_NE(ovk_device_best(dm), nullptr);
    EXPECT_EQ(ovk_device_best(dm)->label, "B");
    EXPECT_EQ(ovk_device_flagged(dm), 1);
    ASSERT_TRUE(dm.known);
    EXPECT_EQ(dm.known->sessions, 7);
    EXPECT_EQ(s[1].whitelisted, 1);
    EXPECT_EQ(ovk_device_flagged(s[1]), 0);

    OVK_DEVICE full = get(m);
    ASSERT_NE(full.advert, nullptr);
    EXPECT_EQ(full.advert->rssi, -60);
    EXPECT_EQ(full.history.size(), 1u);
    EXPECT_EQ(full.path.size(), 1u);

    ovk_registry_set_known(m, nullptr);
    EXPECT_FALSE(get(m).known);
    ovk_store_whitelist_remove(w);
    EXPECT_EQ(get(w).whitelisted, 0);
    OVK_DEVICE none;
    EXPECT_EQ(ovk_device_best(none), nullptr);
    EXPECT_EQ(ovk_device_flagged(none), 0);
}

// Every field of two advertisements, compared one by one (OVK_ADVERT has no operator==).
static void expect_same_advert(const OVK_ADVERT& want, const OVK_ADVERT& got) {
    EXPECT_EQ(got.mac, want.mac);
    EXPECT_EQ(got.source, want.source);
    EXPECT_EQ(got.rssi, want.rssi);
    EXPECT_EQ(got.name, want.name);
    ASSERT_EQ(got.mfg.size(), want.mfg.size());
    for (size_t i = 0; i < want.mfg.size(); i++) {
        EXPECT_EQ(got.mfg[i].cid, want.mfg[i].cid) << i;
        EXPECT_EQ(got.mfg[i].data, want.mfg[i].data) << i;
    }
    EXPECT_EQ(got.uuids, want.uuids);
    ASSERT_EQ(got.svc.size(), want.svc.size());
    for (size_t i = 0; i < want.svc.size(); i++) {
        EXPECT_EQ(got.svc[i].uuid, want.svc[i].uuid) << i;
        EXPECT_EQ(got.svc[i].data, want.svc[i].data) << i;
    }
    EXPECT_EQ(got.raw, want.raw);
    EXPECT_EQ(got.has_tx_power, want.has_tx_power);
    EXPECT_EQ(got.tx_power, want.tx_power);
    EXPECT_EQ(got.addr_type, want.addr_type);
    EXPECT_EQ(got.connectable, want.connectable);
    EXPECT_EQ(got.phy, want.phy);
    EXPECT_EQ(got.freq_mhz, want.freq_mhz);
    EXPECT_EQ(got.caps, want.caps);
    EXPECT_EQ(got.standard, want.standard);
    ASSERT_EQ(got.ies.size(), want.ies.size());
    for (size_t i = 0; i < want.ies.size(); i++) {
        EXPECT_EQ(got.ies[i].id, want.ies[i].id) << i;
        EXPECT_EQ(got.ies[i].data, want.ies[i].data) << i;
    }
    EXPECT_EQ(got.timestamp, want.timestamp);
}

TEST_F(Registry, TheDetailShowsTheLatestAdvertisementAsItCameToTheLastByte) {
    // A BLE advertisement with every field set, values at their edges (an empty name is not
    // a missing one, bytes of every value, a negative power, a long payload).
    const std::string m = mac_of(7);
    OVK_ADVERT first = ble(m, -90, "first");
    report(first, T0);
    OVK_ADVERT a = ble(m, -127, std::string());
    a.timestamp = T0 + 1234567;
    for (int i = 0; i < 300; i++) a.raw.push_back(static_cast<uint8_t>(i * 37));
    a.mfg.push_back({0x004C, {0x12, 0x19, 0x00, 0xFF, 0x80}});
    a.mfg.push_back({0xFFFF, {}});
    a.uuids.push_back(ovk_uuid16(0xFEAA));
    OVK_UUID wide;
    for (size_t i = 0; i < wide.b.size(); i++) wide.b[i] = static_cast<uint8_t>(0xF0 + i);
    a.uuids.push_back(wide);
    a.svc.push_back({ovk_uuid16(0xFEAA), {0x10, 0x00, 0x03}});
    a.svc.push_back({wide, std::vector<uint8_t>(200, 0xAB)});
    a.has_tx_power = 1;
    a.tx_power = -21;
    a.connectable = -1;
    a.phy = "LE Coded";
    report(a, T0 + 1000);
    OVK_DEVICE d = get(m);
    ASSERT_NE(d.advert, nullptr);
    expect_same_advert(a, *d.advert);
    EXPECT_EQ(d.source, OVK_SRC_BLE);
    EXPECT_EQ(d.addr_type, OVK_ADDR_RESOLVABLE_PRIVATE);

    // A Wi-Fi network without a name, with its capabilities, standard and elements.
    const std::string w = "02:11:22:33:44:55";
    OVK_ADVERT b = wifi(w, 12, std::nullopt);
    b.addr_type = OVK_ADDR_WIFI_LOCAL;
    b.freq_mhz = 5745;
    b.caps = "[WPA2-PSK-CCMP][ESS]";
    b.standard = "802.11ac";
    b.ies.push_back({0, {}});
    b.ies.push_back({221, {0x00, 0x50, 0xF2, 0x04, 0x10, 0x4A}});
    b.ies.push_back({255, std::vector<uint8_t>(255, 0x01)});
    b.timestamp = -5;
    report(b, T0 + 2000);
    d = get(w);
    ASSERT_NE(d.advert, nullptr);
    expect_same_advert(b, *d.advert);
    EXPECT_EQ(d.source, OVK_SRC_WIFI);
    EXPECT_EQ(d.addr_type, OVK_ADDR_WIFI_LOCAL);

    // What judging the device again works on is that same latest advertisement.
    OVK_RECALL rc = ovk_registry_recall_latest(w);
    ASSERT_TRUE(rc.view.has_value());
    expect_same_advert(b, *rc.view);
}

TEST_F(Registry, SharedSnapshotsFollowEveryChangeAndShareWhatDidNot) {
    // More entries than one turn of the lock makes summaries for: every one is listed once,
    // in table order.
    constexpr unsigned kEntries = 2500;
    for (unsigned i = 0; i < kEntries; i++) report(ble(mac_of(i), -60 - int(i % 30)), T0 + i);
    const std::string a = mac_of(10), b = mac_of(20), c = mac_of(30), d = mac_of(40);
    OVK_DEVICE_REFS first = ovk_registry_shared_snapshot(T0 + kEntries);
    ASSERT_EQ(first.size(), kEntries);
    for (unsigned i = 0; i < kEntries; i++) ASSERT_EQ(first[i].mac, mac_of(i)) << i;

    // Every kind of change shows in the next snapshot, for that entry only.
    report(ble(a, -40, "Renamed"), T0 + 5000, {hit("Cam", 80)});
    OVK_KNOWN k;
    k.mac = b;
    k.sessions = 4;
    ovk_registry_set_known(b, &k);
    OVK_RID_TRACK rt;
    ovk_registry_set_rid_track(c, rt);
    ASSERT_EQ(ovk_store_whitelist_add(d, "mine"), 0);
    const std::string e = mac_of(50);
    ASSERT_EQ(ovk_registry_rejudge(e, {hit("Judged again", 60)}, false), 1);
    OVK_DEVICE_REFS second = ovk_registry_shared_snapshot(T0 + 5000);
    ASSERT_NE(ovk_device_best(second[50]), nullptr);
    EXPECT_EQ(ovk_device_best(second[50])->label, "Judged again");
    ASSERT_EQ(second.size(), kEntries);
    const OVK_DEVICE& da = second[10];
    EXPECT_EQ(da.name, "Renamed");
    ASSERT_NE(ovk_device_best(da), nullptr);
    EXPECT_EQ(ovk_device_best(da)->label, "Cam");
    ASSERT_TRUE(second[20].known);
    EXPECT_EQ(second[20].known->sessions, 4);
    EXPECT_EQ(second[40].whitelisted, 1);
    EXPECT_EQ(first[40].whitelisted, 0) << "an earlier snapshot changed under its holder";
    EXPECT_EQ(first[10].name, "") << "an earlier snapshot changed under its holder";
    EXPECT_EQ(ovk_registry_snapshot(T0 + 5000)[40].whitelisted, 1);
    // What did not change is the same summary, not a copy.
    EXPECT_EQ(&first[11], &second[11]);
    EXPECT_NE(&first[10], &second[10]);
    EXPECT_NE(&first[20], &second[20]);
    ovk_store_whitelist_remove(d);
    // The remembered record is shared with the snapshots, never changed under them.
    k.sessions = 5;
    ovk_registry_set_known(b, &k);
    EXPECT_EQ(second[20].known->sessions, 4) << "an earlier snapshot changed under its holder";
    EXPECT_EQ(ovk_registry_shared_snapshot(T0 + 5000)[20].known->sessions, 5);

    // A withdrawn verdict and a device found following leave their old summaries too.
    ASSERT_EQ(ovk_registry_withdraw(a, "Cam"), 1);
    EXPECT_EQ(ovk_device_best(ovk_registry_shared_snapshot(T0 + 5000)[10]), nullptr);
    OVK_GEO g0{T0 + 190000, 48.0, 11.0}, g1{T0 + 235000, 48.004, 11.0},
        g2{T0 + 280000, 48.008, 11.0};
    report(ble(b, -60), g0.time, {}, "", &g0);
    report(ble(b, -60), g1.time, {}, "", &g1);
    report(ble(b, -60), g2.time, {}, "", &g2);
    EXPECT_EQ(ovk_registry_shared_snapshot(g2.time).size(), 1u) << "the others went stale";
    ASSERT_EQ(ovk_registry_check_following(b, 90000, 800), 1);
    const OVK_DEVICE_REFS third = ovk_registry_shared_snapshot(g2.time);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].mac, b);
    EXPECT_EQ(third[0].following, 1);
}

TEST_F(Registry, RemoteIdIsKept) {
    std::string m = mac_of(1);
    EXPECT_FALSE(ovk_registry_remote_id(m));
    report(ble(m, -60), T0);
    EXPECT_FALSE(ovk_registry_remote_id(m));
    OVK_REMOTE_ID rid;
    rid.uas_id = "1581F5FKD229400";
    ovk_registry_report(ble(m, -60), {}, nullptr, "", &rid, nullptr, T0 + 1);
    ovk_registry_report(ble(m, -60), {}, nullptr, "", nullptr, nullptr, T0 + 2);
    auto got = ovk_registry_remote_id(m);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->uas_id, "1581F5FKD229400");
    OVK_DEVICE d = get(m);
    ASSERT_TRUE(d.rid);
    EXPECT_EQ(d.rid->uas_id, "1581F5FKD229400");
    // A later broadcast leaves the drone as earlier snapshots saw it.
    const OVK_DEVICE_REFS before = ovk_registry_shared_snapshot(T0 + 2);
    rid.uas_id = "1581F5FKD229401";
    ovk_registry_report(ble(m, -60), {}, nullptr, "", &rid, nullptr, T0 + 3);
    EXPECT_EQ(d.rid->uas_id, "1581F5FKD229400");
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].rid->uas_id, "1581F5FKD229400");
    EXPECT_EQ(get(m).rid->uas_id, "1581F5FKD229401");
}

TEST_F(Registry, SiblingsOfOneAccessPoint) {
    std::string home = "10:20:30:40:50:60", guest = "12:20:30:40:50:61", iot = "10:20:30:40:50:62",
                other = "10:20:30:40:50:80";
    OVK_IDENTITY r{"Wi-Fi router - Netgear R7000", {}};
    report(wifi(home, -50, "Home"), T0);
    report(wifi(guest, -50, std::nullopt), T0, {}, "", nullptr, &r);
    report(wifi(iot, -50, "Home-IoT"), T0);
    report(wifi(other, -50, "Far"), T0);
    report(ble("10:20:30:40:50:63", -50), T0);  // not heard on Wi-Fi
    OVK_DEVICE d = get(home);
    const std::string* sib = ovk_facts_get(d.facts, "Same access point as");
    ASSERT_NE(sib, nullptr);
    EXPECT_EQ(*sib, "hidden network (" + guest + "); \"Home-IoT\" (" + iot + ")");
    const std::string* hw = ovk_facts_get(d.facts, "Probable hardware (from sibling)");
    ASSERT_NE(hw, nullptr);
    EXPECT_EQ(*hw, "Netgear R7000");
    // Summaries leave the siblings out.
    for (const OVK_DEVICE& s : ovk_registry_summaries(0))
        EXPECT_EQ(ovk_facts_get(s.facts, "Same access point as"), nullptr);
    EXPECT_EQ(fact(other, "Same access point as"), std::nullopt);
}

TEST_F(Registry, FloodOfNewAddressesEvictsLeastRecentlySeenWithoutVerdicts) {
    const int cap = OVK_REGISTRY_MAX_ENTRIES;
    // Ten flagged devices heard first, then the flood.
    for (unsigned i = 0; i < 10; i++) report(ble(mac_of(i, 0x11), -60), T0, {hit("X", 50)});
    std::string keep = mac_of(0, 0x22);
    report(ble(keep, -60), T0);
    for (unsigned i = 1; i < static_cast<unsigned>(cap) - 10; i++)
        report(ble(mac_of(i, 0x22), -80, std::nullopt, 0x2000), T0 + 1 + i / 100);
    ASSERT_EQ(ovk_registry_count(), cap);
    int64_t now = T0 + 1000;
    report(ble(keep, -60), now);  // heard again: most recently seen

    for (unsigned i = 0; i < 5000; i++)
        EXPECT_EQ(report(ble(mac_of(i, 0x33), -80, std::nullopt, 0x3000), now + 1), 1);
    EXPECT_EQ(ovk_registry_count(), cap);
    for (unsigned i = 0; i < 10; i++) EXPECT_TRUE(ovk_registry_get(mac_of(i, 0x11)));
    EXPECT_TRUE(ovk_registry_get(keep));
    // The 5000 oldest flood entries went, in order of last sighting.
    EXPECT_FALSE(ovk_registry_get(mac_of(1, 0x22)));
    EXPECT_FALSE(ovk_registry_get(mac_of(5000, 0x22)));
    EXPECT_TRUE(ovk_registry_get(mac_of(5001, 0x22)));
    EXPECT_TRUE(ovk_registry_get(mac_of(4999, 0x33)));
}

TEST_F(Registry, WhenEveryEntryHasVerdictsTheLeastRecentlySeenGoes) {
    const int cap = OVK_REGISTRY_MAX_ENTRIES;
    OVK_HITS h{hit("X", 50)};
    for (unsigned i = 0; i < static_cast<unsigned>(cap); i++)
        report(ble(mac_of(i, 0x44), -60, std::nullopt, 0x4000), T0 + i / 1000, h);
    report(ble(mac_of(0, 0x44), -60, std::nullopt, 0x4000), T0 + 500, h);
    ASSERT_EQ(ovk_registry_count(), cap);
    // Entry 0 was heard again, so entry 1 is the least recently seen.
    report(ble(mac_of(0, 0x55), -60), T0 + 600);
    EXPECT_TRUE(ovk_registry_get(mac_of(0, 0x44)));
    EXPECT_FALSE(ovk_registry_get(mac_of(1, 0x44)));
    EXPECT_TRUE(ovk_registry_get(mac_of(2, 0x44)));
    // The next plain newcomer evicts the previous one, not another flagged device.
    report(ble(mac_of(1, 0x55), -60), T0 + 601);
    EXPECT_FALSE(ovk_registry_get(mac_of(0, 0x55)));
    EXPECT_TRUE(ovk_registry_get(mac_of(2, 0x44)));
    EXPECT_EQ(ovk_registry_count(), cap);
}

// ---- co-location over a busy session, against grouping every role-bearing entry ----------

namespace {

// The members the grouping would get if every role-bearing, non-whitelisted entry were
// offered with its whole history, read back through full snapshots.
std::vector<OVK_PATROL_MEMBER> all_members() {
    std::vector<OVK_PATROL_MEMBER> m;
    for (const OVK_DEVICE& d : ovk_registry_summaries(0)) {
        const std::string* role = ovk_facts_get(d.facts, "Patrol-kit role");
        if (!role || d.whitelisted) continue;
        auto full = ovk_registry_get(d.mac);
        if (!full) continue;
        m.push_back({d.mac, *role, d.first_seen, d.last_seen, full->history});
    }
    return m;
}

}  // namespace

TEST_F(Registry, CoLocationVerdictsMatchGroupingEveryRoleBearingEntry) {
    struct KIT {
        std::string mac;
        const char* vendor;
        const char* name;
        int start, stop;  // seconds heard
        int vehicle;
    };
    std::vector<KIT> kit;
    const char* const vendors[] = {"Motorola Solutions", "Cradlepoint", "Zebra Technologies",
                                   "Axon Enterprise", nullptr};
    int n = 0;
    for (int v = 0; v < 4; v++)
        for (int j = 0; j < 3; j++) {
            const char* vendor = vendors[(v + j) % 5];
            kit.push_back({mac_of(0x100 + n++), vendor, vendor ? nullptr : "RJ-4230B",
                           v * 35 + j * 6, v * 35 + 90 + j * 10, v});
        }
    const std::string mine = kit[4].mac;  // a whitelisted member of the second vehicle
    ASSERT_EQ(ovk_store_whitelist_add(mine, "mine"), 0);

    int verdicts = 0, correlated = 0, checks = 0;
    for (int s = 0; s < 240; s++) {
        const int64_t t = T0 + s * 1000;
        for (size_t i = 0; i < kit.size(); i++) {
            const KIT& k = kit[i];
            if (s < k.start || s > k.stop || (s * 7 + static_cast<int>(i)) % 11 == 0) continue;
            // Vehicles 0 and 2 swing together, 1 and 3 sit still.
            const int shape =
                k.vehicle % 2 == 0
                    ? static_cast<int>(std::lround(12 * std::sin((s + k.vehicle * 5) * 0.4)))
                    : s % 2;
            const uint16_t uuid = static_cast<uint16_t>(0x2000 + i);
            report(ble(k.mac, -60 - static_cast<int>(i) + shape,
                       k.name ? std::optional<std::string>(k.name) : std::nullopt, uuid),
                   t + static_cast<int64_t>(i) * 37, {}, k.vendor ? k.vendor : "");
        }
        // A stream of one-off body cameras and a plain device that is never grouped.
        report(ble(mac_of(0x9000 + s), -80, std::nullopt, 0x3000), t + 500, {hit("Body cam", 60)});
        report(ble(mac_of(0x8000), -70, std::nullopt, 0x3001), t + 600);
        if (s % 2 != 0) continue;

        const int64_t now = t + 900;
        const auto m = all_members();
        const auto g = ovk_patrol_groups(m, now);
        for (const OVK_DEVICE& d : ovk_registry_summaries(0)) {
            auto got = ovk_registry_cluster_hit(d.mac, now);
            auto want = g.empty() ? std::nullopt : ovk_patrol_hit_for(d.mac, m, g);
            ASSERT_EQ(got.has_value(), want.has_value()) << d.mac << " at second " << s;
            checks++;
            if (!got) continue;
            EXPECT_EQ(got->label, want->label);
            EXPECT_EQ(got->evidence, want->evidence);
            EXPECT_EQ(got->confidence, want->confidence);
            EXPECT_NE(d.mac, mine);
            verdicts++;
            correlated += got->evidence.find("rise and fall") != std::string::npos;
        }
    }
    ovk_store_whitelist_remove(mine);
    // Both kinds of group formed and dissolved along the way.
    EXPECT_GT(checks, 10000);
    EXPECT_GT(verdicts, 200);
    EXPECT_GT(correlated, 50);
    EXPECT_GT(verdicts - correlated, 50);
}

// ---- counts without a snapshot -----------------------------------------------------------

namespace {

// A mixed registry at `now`: flagged at several confidences, unflagged, whitelisted, stale,
// just inside the staleness limit, an address that only inherited verdicts, and one that
// follows the user. `variant` thins the mix out down to nothing.
void mixed_registry(int variant, int64_t now, const std::string& white) {
    ovk_registry_start_session(T0);
    if (variant >= 4) return;
    report(ble(mac_of(1), -60), now - 180001, {hit("Gone", 99)});  // stale
    report(ble(mac_of(2), -60), now - 180000, {hit("Edge", 45)});  // kept
    report(ble(mac_of(3), -60), now - 1000);                       // never flagged
    report(ble(white, -60), now - 2000, {hit("Mine", 95)});        // whitelisted
    if (variant >= 3) return;
    report(ble(mac_of(5), -60, std::nullopt, 0x1234), now - 20000, {hit("Rotating", 55)});
    report(ble(mac_of(6), -60, std::nullopt, 0x1234), now - 10000);  // inherits only
    if (variant >= 2) return;
    report(ble(mac_of(7), -60), now - 3000, {hit("Strong", variant == 0 ? 85 : 65)});
    for (int i = 0; i < 3; i++) {
        OVK_GEO g{now - 100000 + i * 45000, 48.0 + 0.004 * i, 11.0};
        report(ble(mac_of(8), -60), g.time, {hit("Tag", 30, OVK_CAT_TRACKER)}, "", &g);
    }
    if (variant == 0) {
        ASSERT_EQ(ovk_registry_check_following(mac_of(8), 0, 800), 1);
        OVK_HITS inherited;
        ovk_registry_inherited_hits(mac_of(6), inherited);
        ASSERT_EQ(inherited.size(), 1u);
    }
}

}  // namespace

TEST_F(Registry, TallyCountsWhatASnapshotWould) {
    const int64_t now = T0 + 400000;
    const std::string white = mac_of(4);
    ASSERT_EQ(ovk_store_whitelist_add(white, "mine"), 0);
    for (int variant = 0; variant <= 4; variant++) {
        mixed_registry(variant, now, white);
        const OVK_DEVICE_LIST snap = ovk_registry_snapshot(now);
        mixed_registry(variant, now, white);
        const OVK_REGISTRY_TALLY t = ovk_registry_tally(now);
        int flagged = 0;
        for (const OVK_DEVICE& d : snap) flagged += ovk_device_flagged(d);
        EXPECT_EQ(t.devices, static_cast<int>(snap.size())) << "variant " << variant;
        EXPECT_EQ(t.flagged, flagged) << "variant " << variant;
        EXPECT_EQ(ovk_registry_count(), t.devices);  // stale entries went, as with a snapshot
        for (int threshold : {30, 50, 60, 70, 90})
            for (int cell : {0, 1})
                EXPECT_EQ(ovk_threat_of_tally(t, threshold, cell),
                          ovk_threat_of(&snap, threshold, cell))
                    << "variant " << variant << " threshold " << threshold << " cell " << cell;
    }
    // The fullest mix, spelled out: the stale entry went; the whitelisted one, the plain one
    // and the one with inherited verdicts only are not flagged.
    mixed_registry(0, now, white);
    const OVK_REGISTRY_TALLY t = ovk_registry_tally(now);
    EXPECT_EQ(t.devices, 7);
    EXPECT_EQ(t.flagged, 4);
    EXPECT_EQ(t.top_confidence, 85);
    EXPECT_EQ(t.following, 1);
    EXPECT_EQ(ovk_threat_of_tally(t, 50, 0), OVK_THREAT_DANGER);
    ovk_store_whitelist_remove(white);
    mixed_registry(1, now, white);
    const OVK_REGISTRY_TALLY u = ovk_registry_tally(now);
    EXPECT_EQ(u.flagged, 5);
    EXPECT_EQ(u.top_confidence, 95);
}

TEST_F(Registry, HoldsAnswersForEachAddress) {
    report(ble(mac_of(1), -60), T0);
    report(ble(mac_of(2), -60), T0 + 100000);
    EXPECT_EQ(ovk_registry_holds({mac_of(2), mac_of(3), mac_of(1), ""}),
              (std::vector<char>{1, 0, 1, 0}));
    ovk_registry_tally(T0 + 180001);  // drops the first
    EXPECT_EQ(ovk_registry_holds({mac_of(1), mac_of(2)}), (std::vector<char>{0, 1}));
    EXPECT_TRUE(ovk_registry_holds({}).empty());
}
