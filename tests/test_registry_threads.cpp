// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Device registry under one writer (the pipeline worker) and several readers taking
// snapshots, with the store's whitelist and favourites changing at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ovk_lock.h"
#include "ovk_registry.h"
#include "ovk_store.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr int kFixed = 40;

std::string mac_of(unsigned n, unsigned top) {
    char b[18];
    snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", top, (n >> 16) & 0xFF, (n >> 8) & 0xFF,
             n & 0xFF, 0x20, 0x30);
    return b;
}

OVK_ADVERT ble(const std::string& mac, int rssi, const char* name) {
    OVK_ADVERT a;
    a.mac = mac;
    a.rssi = rssi;
    if (name) a.name = name;
    a.uuids.push_back(ovk_uuid16(0xFD5A));
    a.addr_type = OVK_ADDR_RESOLVABLE_PRIVATE;
    return a;
}

}  // namespace

TEST(RegistryThreads, OneWriterManyReadersAndTheStore) {
    ASSERT_EQ(ovk_registry_init(), 0);
    ovk_registry_start_session(T0);
    std::atomic<int64_t> clock{T0};
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::thread writer([&] {
        OVK_HITS radio{ovk_hit_make(OVK_CAT_PUBLIC_SAFETY, "Radio", 60, "catalogue", "x")};
        for (int i = 0; i < 6000; i++) {
            int64_t now = clock.fetch_add(50) + 50;
            int k = i % kFixed;
            std::string m = mac_of(k, 0x10);
            OVK_GEO g{now, 48.0 + i * 1e-5, 11.0};
            ovk_registry_report(ble(m, -50 - i % 30, k % 3 ? nullptr : "RJ-4030"),
                                k % 2 ? radio : OVK_HITS{}, nullptr,
                                k % 5 ? "" : "Motorola Solutions", nullptr, &g, now);
            if (i % 7 == 0)  // a stream of one-off addresses
                ovk_registry_report(ble(mac_of(i, 0x77), -90, nullptr), {}, nullptr, "", nullptr,
                                    nullptr, now);
            OVK_HITS inh;
            ovk_registry_inherited_hits(m, inh);
            (void)ovk_registry_cluster_hit(m, now);
            (void)ovk_registry_check_following(m, 1000, 5);
            (void)ovk_registry_remote_id(m);
        }
        done = true;
    });

    auto reader = [&](int which) {
        std::map<std::string, int> seen;  // sightings per fixed device never go back
        while (!done) {
            OVK_DEVICE_LIST l;
            switch (which) {
                case 0:
                    l = ovk_registry_snapshot(clock.load());
                    break;
                case 1:
                    l = ovk_registry_summaries(clock.load() - 1000);
                    break;
                default: {
                    auto d = ovk_registry_get(mac_of(3, 0x10));
                    if (d) {
                        if (d->history.size() > static_cast<size_t>(OVK_HISTORY_MAX) ||
                            d->path.size() > static_cast<size_t>(OVK_PATH_MAX))
                            failures++;
                        l.push_back(std::move(*d));
                    }
                }
            }
            if (static_cast<int>(l.size()) > OVK_REGISTRY_MAX_ENTRIES) failures++;
            for (const OVK_DEVICE& d : l) {
                if (d.mac.size() != 17 || d.sightings < 1) failures++;
                if (d.mac.rfind("10:", 0) != 0) continue;
                int& s = seen[d.mac];
                if (d.sightings < s) failures++;
                s = d.sightings;
            }
            (void)ovk_registry_count();
            (void)ovk_registry_serial();
        }
    };

    std::thread store([&] {
        // The interface thread changes the whitelist and favourites while the registry asks
        // the store about them under its own lock.
        for (int i = 0; !done; i++) {
            std::string m = mac_of(i % kFixed, 0x10);
            if (i % 2)
                ovk_store_whitelist_add(m, "mine");
            else
                ovk_store_whitelist_remove(m);
            (void)ovk_store_is_favorite(m);
            std::this_thread::yield();
        }
    });

    std::vector<std::thread> readers;
    for (int r = 0; r < 3; r++) readers.emplace_back(reader, r);
    writer.join();
    for (std::thread& t : readers) t.join();
    store.join();

    EXPECT_EQ(failures.load(), 0);
    OVK_DEVICE_LIST l = ovk_registry_summaries(0);
    int fixed = 0;
    for (const OVK_DEVICE& d : l) {
        if (d.mac.rfind("10:", 0) != 0) continue;
        fixed++;
        EXPECT_EQ(d.sightings, 6000 / kFixed) << d.mac;
        ovk_store_whitelist_remove(d.mac);
    }
    EXPECT_EQ(fixed, kFixed);
    ovk_registry_clear();
}

// Counting and membership questions (the status line, the housekeeping tick) while the worker
// reports, regroups and the whitelist changes.
TEST(RegistryThreads, TallyAndHoldsWhileReporting) {
    ASSERT_EQ(ovk_registry_init(), 0);
    ovk_registry_start_session(T0);
    std::atomic<int64_t> clock{T0};
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::thread writer([&] {
        OVK_HITS cam{ovk_hit_make(OVK_CAT_BODY_CAM, "Body camera", 70, "catalogue", "x")};
        for (int i = 0; i < 1200; i++) {
            int64_t now = clock.fetch_add(100) + 100;
            std::string m = mac_of(i % kFixed, 0x10);
            ovk_registry_report(ble(m, -50 - i % 9, nullptr), i % 3 ? cam : OVK_HITS{}, nullptr,
                                i % 2 ? "Cradlepoint" : "", nullptr, nullptr, now);
            ovk_registry_report(ble(mac_of(i, 0x77), -90, nullptr), cam, nullptr, "", nullptr,
                                nullptr, now);
            (void)ovk_registry_cluster_hit(m, now);
        }
        done = true;
    });
    std::thread counter([&] {
        std::vector<std::string> ask;
        for (int k = 0; k < kFixed; k++) ask.push_back(mac_of(k, 0x10));
        ask.push_back("not an address");
        while (!done) {
            const OVK_REGISTRY_TALLY t = ovk_registry_tally(clock.load());
            if (t.flagged > t.devices || t.top_confidence > 100 ||
                (t.flagged > 0) != (t.top_confidence >= 0))
                failures++;
            const std::vector<char> held = ovk_registry_holds(ask);
            if (held.size() != ask.size() || held.back()) failures++;
        }
    });
    std::thread store([&] {
        for (int i = 0; !done; i++) {
            std::string m = mac_of(i % kFixed, 0x10);
            if (i % 2)
                ovk_store_whitelist_add(m, "mine");
            else
                ovk_store_whitelist_remove(m);
            std::this_thread::yield();
        }
    });
    writer.join();
    counter.join();
    store.join();
    EXPECT_EQ(failures.load(), 0);
    for (int k = 0; k < kFixed; k++) ovk_store_whitelist_remove(mac_of(k, 0x10));
    // Quiet now: every fixed device is held and the stream of one-offs is flagged.
    const OVK_REGISTRY_TALLY t = ovk_registry_tally(clock.load());
    EXPECT_EQ(t.devices, ovk_registry_count());
    EXPECT_GE(t.flagged, kFixed * 2 / 3);
    EXPECT_EQ(t.top_confidence, 70);
    ovk_registry_clear();
}

// A snapshot of a large table takes the registry's lock in short turns. The lock is not fair:
// a holder that lets it go and takes it again at once can keep the pipeline out for many
// turns (a first snapshot of 100,000 devices kept a report waiting 13-27 ms in 2 ms turns).
// Between turns the holder lets a waiting thread in first.
TEST(RegistryThreads, AWaitingThreadGetsInBetweenTwoTurns) {
    using namespace std::chrono;
    OVK_LOCK lock("turns");
    std::atomic<int> turns{0};
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        while (!stop) {
            {
                std::lock_guard lk(lock);
                const auto until = steady_clock::now() + microseconds(300);
                while (steady_clock::now() < until) {
                }
                turns++;
            }
            lock.let_waiters_in(milliseconds(500));
        }
    });
    while (turns.load() == 0) std::this_thread::yield();
    int most = 0;
    for (int k = 0; k < 50; k++) {
        const int before = turns.load();
        {
            std::lock_guard lk(lock);
            most = std::max(most, turns.load() - before);
        }
        std::this_thread::sleep_for(microseconds(500));
    }
    stop = true;
    holder.join();
    // The turn under way when the waiter came, and at most one more that began before the
    // waiter was seen waiting.
    EXPECT_LE(most, 2) << "turns the waiting thread sat through";
}
