// SPDX-License-Identifier: GPL-3.0-or-later
// A running pipeline for tests: vendor tables, the given settings, a store in a scratch
// directory, no plate cameras, the test's hooks and a fresh registry session. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ovk_alpr.h"
#include "ovk_cell.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "ovk_store.h"
#include "ovk_vendordb.h"

namespace ovk_test {

// Waits (up to `max_waits` x 2 ms) until the worker has taken everything submitted.
inline void pipeline_drain(int max_waits = 5000) {
    for (int i = 0; i < max_waits && ovk_pipeline_pending() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(ovk_pipeline_pending(), 0);
}

// The LTE cell the phone is registered on.
inline OVK_CELL registered_lte_cell(const char* mcc, const char* mnc, int area, int64_t cell_id) {
    OVK_CELL c;
    c.rat = OVK_RAT_LTE;
    c.registered = 1;
    c.mcc = mcc;
    c.mnc = mnc;
    c.has_area = 1;
    c.area = area;
    c.has_cell_id = 1;
    c.cell_id = cell_id;
    return c;
}

inline std::vector<OVK_UI_ALERT> pipeline_pop_all() {
    std::vector<OVK_UI_ALERT> v;
    while (auto a = ovk_pipeline_pop_alert()) v.push_back(std::move(*a));
    return v;
}

// Call from SetUp: a fatal failure here skips the test body.
inline void pipeline_up(const std::string& dir, const OVK_PREFS& prefs,
                        const OVK_PIPELINE_HOOKS& hooks, int64_t session_start) {
    ovk_vendordb_load();
    ovk_prefs_set(prefs);
    ASSERT_EQ(ovk_store_open(dir), 0);
    ovk_alpr_set_for_test({});
    ovk_pipeline_set_hooks(hooks);
    ASSERT_EQ(ovk_pipeline_init(), 0);
    ovk_registry_start_session(session_start);
    pipeline_pop_all();
}

inline void pipeline_down() {
    ovk_pipeline_shutdown();
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
    ovk_store_close();
    ovk_registry_clear();
    ovk_prefs_set(OVK_PREFS{});
}

}  // namespace ovk_test
