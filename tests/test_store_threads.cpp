// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The store under concurrent use: threads add detections, query, prune, whitelist and
// update remembered devices at once; every answer must be consistent and the files must
// match memory at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "helpers/ovk_test_files.h"
#include "ovk_store.h"

using ovk_test::TempDir;

namespace {

constexpr int kAdders = 3;
constexpr int kAddsEach = 400;

OVK_DETECTION detection(int thread, int i) {
    OVK_DETECTION d;
    d.mac = "T" + std::to_string(thread);
    d.label = "item " + std::to_string(i);
    d.source = "WIFI";
    d.timestamp = 1000 + i;
    d.category = OVK_CAT_NETWORK_CAMERA;
    d.confidence = i % 100;
    return d;
}

std::string mac_of(int i) {
    char b[18];
    snprintf(b, sizeof b, "02:00:00:00:%02X:%02X", (i >> 8) & 0xff, i & 0xff);
    return b;
}

}  // namespace

TEST(StoreThreads, ConcurrentWritersAndReadersStayConsistent) {
    TempDir dir("/dev/shm");
    ovk_store_close();
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad_order{0}, bad_known{0};
    std::atomic<int> pruned{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kAdders; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kAddsEach; ++i) ovk_store_add_detection(detection(t, i));
        });
    // Readers: answers are always sorted and complete copies.
    threads.emplace_back([&] {
        while (!stop) {
            const auto v = ovk_store_detections(0);
            for (size_t i = 1; i < v.size(); ++i)
                if (v[i - 1].timestamp < v[i].timestamp ||
                    (v[i - 1].timestamp == v[i].timestamp && v[i - 1].id <= v[i].id))
                    ++bad_order;
            const auto k = ovk_store_known_all();
            for (size_t i = 1; i < k.size(); ++i)
                if (k[i - 1].last_seen < k[i].last_seen) ++bad_known;
            ovk_store_detection_count();
            ovk_store_is_whitelisted(mac_of(3));
            ovk_store_is_favorite(mac_of(5));
        }
    });
    // Pruning of the oldest entries, now and then.
    threads.emplace_back([&] {
        for (int cut = 1000; !stop && cut < 1050; cut += 5) {
            pruned += ovk_store_prune_detections(cut);
            std::this_thread::yield();
        }
    });
    // Whitelist and remembered devices.
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            ovk_store_whitelist_add(mac_of(i % 20), "note " + std::to_string(i));
            if (i % 3 == 0) ovk_store_whitelist_remove(mac_of((i + 7) % 20));
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            OVK_KNOWN k;
            k.mac = mac_of(i % 50);
            k.first_seen = i;
            k.last_seen = 10000 + i;
            k.sessions = 1;
            ovk_store_known_upsert(std::span(&k, 1));
            if (i % 10 == 0) ovk_store_set_favorite(mac_of(i % 50), 1, "fav", "", "");
            if (i % 15 == 0) ovk_store_set_note(mac_of((i + 1) % 50), "seen twice");
            if (i % 40 == 39) ovk_store_known_prune(10000 + i - 20);
        }
    });
    for (int t = 0; t < kAdders; ++t) threads[static_cast<size_t>(t)].join();
    for (size_t t = kAdders + 1; t < threads.size(); ++t) threads[t].join();
    stop = true;
    threads[kAdders].join();

    EXPECT_EQ(bad_order.load(), 0);
    EXPECT_EQ(bad_known.load(), 0);
    // Every add got its own id, and nothing was lost besides what pruning removed.
    const auto all = ovk_store_detections(INT64_MIN);
    EXPECT_EQ(static_cast<int>(all.size()) + pruned.load(), kAdders * kAddsEach);
    std::set<int64_t> ids;
    for (const auto& d : all) ids.insert(d.id);
    EXPECT_EQ(ids.size(), all.size());
    EXPECT_LE(*ids.rbegin(), kAdders * kAddsEach);
    // Memory and disk agree.
    const auto known = ovk_store_known_all();
    const auto wl = ovk_store_whitelist_all();
    ASSERT_EQ(ovk_store_open(dir.path()), 0);
    EXPECT_EQ(ovk_store_detections(INT64_MIN), all);
    EXPECT_EQ(ovk_store_known_all(), known);
    EXPECT_EQ(ovk_store_whitelist_all(), wl);
    ovk_store_close();
}
