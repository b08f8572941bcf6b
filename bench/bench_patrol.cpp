// SPDX-License-Identifier: GPL-3.0-or-later
// Co-location grouping and fusion: a realistic set of patrol-kit devices, a crowd of one-off
// role-bearing addresses, and the role lookup the registry makes on every report.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ovk_fusion.h"
#include "ovk_patrol.h"

namespace {

constexpr int64_t T0 = 1700000000000;
const char* const kRoles[] = {"two-way radio", "mobile printer", "vehicle cellular router",
                              "police radar", "rugged laptop / body cam"};

std::string mac_of(int i) {
    char b[18];
    snprintf(b, sizeof b, "4E:00:00:%02X:%02X:%02X", (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
    return b;
}

// `n` members heard every second for the last two minutes, in vehicles of five.
std::vector<OVK_PATROL_MEMBER> patrol(int n) {
    std::vector<OVK_PATROL_MEMBER> m;
    for (int i = 0; i < n; i++) {
        OVK_PATROL_MEMBER x;
        x.mac = mac_of(i);
        x.role = kRoles[i % 5];
        x.first_seen = T0 - 600000 + (i / 5) * 40000;
        x.last_seen = T0;
        for (int s = 0; s < 120; s++)
            x.samples.push_back(
                {T0 - 119000 + s * 1000, -60 + static_cast<int>(10 * std::sin((s + i / 5) * 0.3))});
        m.push_back(std::move(x));
    }
    return m;
}

}  // namespace

static void BM_GroupsPatrol(benchmark::State& state) {
    auto m = patrol(static_cast<int>(state.range(0)));
    size_t groups = 0;
    for (auto _ : state) groups = ovk_patrol_groups(m, T0).size();
    state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_GroupsPatrol)->Arg(10)->Arg(50)->Arg(200)->Unit(benchmark::kMicrosecond);

// Ten real devices among a crowd of role-bearing addresses heard once or twice each.
static void BM_GroupsCrowd(benchmark::State& state) {
    auto m = patrol(10);
    for (int i = 0; i < state.range(0); i++) {
        OVK_PATROL_MEMBER x;
        x.mac = mac_of(100000 + i);
        x.role = kRoles[i % 5];
        x.first_seen = x.last_seen = T0 - i % 60000;
        x.samples.push_back({x.last_seen, -90});
        m.push_back(std::move(x));
    }
    size_t groups = 0;
    for (auto _ : state) groups = ovk_patrol_groups(m, T0).size();
    state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_GroupsCrowd)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

static void BM_Role(benchmark::State& state) {
    OVK_HITS none;
    const char* vendor = state.range(0) ? "Samsung Electronics Co.,Ltd" : "";
    for (auto _ : state) benchmark::DoNotOptimize(ovk_patrol_role(none, vendor, "Galaxy Buds"));
}
BENCHMARK(BM_Role)->Arg(0)->Arg(1);

static void BM_Fuse(benchmark::State& state) {
    OVK_HITS base;
    for (int i = 0; i < 6; i++)
        base.push_back(ovk_hit_make(OVK_CAT_BODY_CAM, ("L" + std::to_string(i)).c_str(), 40 + i * 5,
                                    "catalogue", "evidence %d", i));
    for (auto _ : state) {
        OVK_HITS h = base;
        ovk_fusion_fuse(h);
        benchmark::DoNotOptimize(h.data());
    }
}
BENCHMARK(BM_Fuse);

BENCHMARK_MAIN();
