// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the patrol grouping with members decoded from the input (roles from a small set,
// seen times, histories with any times and levels, including repeated and out-of-order
// seconds, levels on the 2 dB flat limit and far outside any radio's range) and checks the
// groups against the rules applied literally: every pair compared in floating point, one
// comparison at a time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "../tests/helpers/patrol_model.h"
#include "fuzz_scratch.h"
#include "ovk_patrol.h"

namespace {

const char* const kRoles[] = {"two-way radio", "mobile printer", "police radar", "body camera"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ovk_fuzz::ByteReader in{data, size};
    const int64_t now = 1700000000000LL;
    std::vector<OVK_PATROL_MEMBER> m;
    while (in.more() && m.size() < 12) {
        OVK_PATROL_MEMBER x;
        const uint8_t head = in.u8();
        x.mac = "AA:00:00:00:00:" + std::to_string(m.size());
        x.role = kRoles[head % 4];
        x.first_seen = now - in.u8() * 1000LL;
        x.last_seen = now - in.u8() * 500LL;
        const uint8_t count = in.u8() % 40;
        // Levels around a base that is either radio-like or far outside (the wide path).
        const int base = (head & 0x40) ? (in.u8() - 128) * 1000 : -60;
        int64_t t = now - 130000 + in.u8() * 100LL;
        for (uint8_t s = 0; s < count && in.more(); s++) {
            const uint8_t step = in.u8();
            // Mostly a second apart; sometimes the same second again, or back in time, or
            // an hour ahead.
            t += (step & 0xC0) == 0xC0 ? -3000 : (step & 0xC0) == 0x80 ? 300 : 1000;
            const int64_t when = (step == 0xFF) ? now + 3600000 : t;
            // Low bits: the level; 0x20 picks the +-2 dB swing that sits on the flat limit.
            const int level = (step & 0x20) ? base + ((s % 2) ? 2 : -2) : base + (step & 0x1F) - 16;
            x.samples.push_back({when, level});
        }
        m.push_back(std::move(x));
    }
    const auto got = ovk_patrol_groups(m, now);
    const auto want = ovk_test::patrol_model::groups(m, now);
    bool same = got.size() == want.size();
    for (size_t g = 0; same && g < got.size(); g++)
        same = got[g].members == want[g].members && got[g].n_roles == want[g].n_roles &&
               got[g].correlated == want[g].correlated;
    if (!same) {
        fprintf(stderr, "patrol groups differ from the rules: %zu against %zu\n", got.size(),
                want.size());
        abort();
    }
    return 0;
}
