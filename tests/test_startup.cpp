// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's start-up and shutdown: what is opened first is closed last.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ovk_record.h"
#include "ovk_startup.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_vendordb.h"
#include "zq_fs.h"

namespace {

// What the engine holds, seen from outside.
struct Held {
    bool store = false;
    bool vendors = false;
    bool recording = false;
    bool demo = false;
    bool dir_locked = false;
};

Held held_now(const std::string& dir) {
    Held h;
    h.store = ovk_store_is_open() != 0;
    h.vendors = ovk_vendordb_loaded() != 0;
    h.recording = ovk_record_active() != 0;
    h.demo = ovk_scan_demo_override() != 0;
    int handle = -1;
    h.dir_locked = zq_fs_lock(dir + "/orvik.lock", &handle, nullptr) == EWOULDBLOCK;
    zq_fs_unlock(handle);
    return h;
}

// The platform comes up first and goes down last: when its shutdown runs, the data directory
// is free for another program and nothing of the engine is left open.
TEST(Startup, ShutdownRunsInTheReverseOrderOfTheStartUp) {
    ovk_test::TempDir dir;
    const std::string data = dir.file("data");
    std::vector<Held> at_init, at_shutdown;
    OVK_HOST host;
    host.data_dir = [data] { return data; };
    host.platform_init = [&] {
        at_init.push_back(held_now(data));
        return 0;
    };
    host.platform_shutdown = [&] { at_shutdown.push_back(held_now(data)); };
    OVK_OPTS o;
    o.demo = true;
    o.log_level = 3;
    o.record = dir.file("walk.jsonl");
    ASSERT_EQ(ovk_startup_open(o, host), 0);
    const Held running = held_now(data);
    EXPECT_TRUE(running.store);
    EXPECT_TRUE(running.recording);
    EXPECT_TRUE(running.demo);
    EXPECT_TRUE(running.dir_locked);
    ovk_startup_close();

    ASSERT_EQ(at_init.size(), 1u);
    EXPECT_FALSE(at_init[0].store);
    EXPECT_FALSE(at_init[0].recording);
    EXPECT_FALSE(at_init[0].dir_locked);
    ASSERT_EQ(at_shutdown.size(), 1u);
    const Held& h = at_shutdown[0];
    EXPECT_FALSE(h.store);
    EXPECT_FALSE(h.vendors);
    EXPECT_FALSE(h.recording);
    EXPECT_FALSE(h.demo);
    EXPECT_FALSE(h.dir_locked);
}

}  // namespace
