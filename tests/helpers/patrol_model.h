// SPDX-License-Identifier: GPL-3.0-or-later
// The co-location grouping rules applied literally (every pair compared in floating point,
// one comparison at a time): the reference the optimised grouping is checked against by the
// tests and the fuzzer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ovk_patrol.h"

namespace ovk_test::patrol_model {

inline OVK_MOTION motion(const std::vector<OVK_RSSI_SAMPLE>& a,
                         const std::vector<OVK_RSSI_SAMPLE>& b, int64_t now, double& r) {
    r = 0;
    auto bucket = [now](const std::vector<OVK_RSSI_SAMPLE>& s,
                        std::vector<std::pair<int64_t, double>>& out) {
        for (const auto& x : s) {
            if (now - x.time > 120000) continue;
            int64_t sec = x.time / 1000;
            auto it = std::find_if(out.begin(), out.end(),
                                   [sec](const auto& p) { return p.first == sec; });
            if (it == out.end())
                out.push_back({sec, x.rssi});
            else
                it->second = x.rssi;
        }
    };
    std::vector<std::pair<int64_t, double>> ba, bb;
    bucket(a, ba);
    bucket(b, bb);
    std::vector<double> xs, ys;
    for (const auto& [sec, v] : ba)
        for (const auto& [sec2, v2] : bb)
            if (sec == sec2) {
                xs.push_back(v);
                ys.push_back(v2);
            }
    const size_t n = xs.size();
    if (n < 8) return OVK_MOTION_TOO_SHORT;
    double mx = 0, my = 0;
    for (size_t i = 0; i < n; i++) {
        mx += xs[i];
        my += ys[i];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double vx = 0, vy = 0, cov = 0;
    for (size_t i = 0; i < n; i++) {
        vx += (xs[i] - mx) * (xs[i] - mx);
        vy += (ys[i] - my) * (ys[i] - my);
        cov += (xs[i] - mx) * (ys[i] - my);
    }
    double sx = std::sqrt(vx / static_cast<double>(n)), sy = std::sqrt(vy / static_cast<double>(n));
    if (sx < 2.0 && sy < 2.0) return OVK_MOTION_BOTH_FLAT;
    if (sx < 2.0 || sy < 2.0) return OVK_MOTION_ONE_FLAT;
    r = (cov / static_cast<double>(n)) / (sx * sy);
    return OVK_MOTION_MOVING;
}

inline std::vector<OVK_PATROL_GROUP> groups(const std::vector<OVK_PATROL_MEMBER>& m, int64_t now) {
    std::vector<int> live;
    for (size_t i = 0; i < m.size(); i++)
        if (now - m[i].last_seen <= 60000) live.push_back(static_cast<int>(i));
    std::vector<OVK_PATROL_GROUP> out;
    if (m.size() < 2 || live.size() < 2) return out;
    const int n = static_cast<int>(live.size());
    std::vector<int> parent(n);
    std::vector<char> marked(n, 0);
    for (int i = 0; i < n; i++) parent[i] = i;
    auto find = [&parent](int i) {
        while (parent[i] != i) i = parent[i];
        return i;
    };
    for (int i = 0; i < n; i++)
        for (int k = i + 1; k < n; k++) {
            const OVK_PATROL_MEMBER &a = m[live[i]], &b = m[live[k]];
            if (a.role == b.role || a.samples.empty() || b.samples.empty()) continue;
            double r = 0;
            OVK_MOTION mo = motion(a.samples, b.samples, now, r);
            bool join =
                (mo == OVK_MOTION_MOVING && r >= 0.6) ||
                (mo == OVK_MOTION_BOTH_FLAT && std::abs(a.first_seen - b.first_seen) <= 30000);
            if (!join) continue;
            parent[find(i)] = find(k);
            if (mo == OVK_MOTION_MOVING) marked[i] = marked[k] = 1;
        }
    std::vector<int> roots;
    for (int i = 0; i < n; i++)
        if (std::find(roots.begin(), roots.end(), find(i)) == roots.end()) roots.push_back(find(i));
    for (int rt : roots) {
        OVK_PATROL_GROUP g;
        std::vector<std::string> kinds;
        for (int i = 0; i < n; i++) {
            if (find(i) != rt) continue;
            g.members.push_back(live[i]);
            if (marked[i]) g.correlated = 1;
            if (std::find(kinds.begin(), kinds.end(), m[live[i]].role) == kinds.end())
                kinds.push_back(m[live[i]].role);
        }
        g.n_roles = static_cast<int>(kinds.size());
        if (g.n_roles >= 2) out.push_back(std::move(g));
    }
    return out;
}

}  // namespace ovk_test::patrol_model
