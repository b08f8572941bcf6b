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

#include "ovk_patrol.h"

namespace {

struct INPUT {
    const uint8_t* p;
    size_t n;
    size_t i = 0;
    bool more() const { return i < n; }
    uint8_t u8() { return i < n ? p[i++] : 0; }
};

OVK_MOTION motion(const std::vector<OVK_RSSI_SAMPLE>& a, const std::vector<OVK_RSSI_SAMPLE>& b,
                  int64_t now, double& r) {
    r = 0;
    auto bucket = [now](const std::vector<OVK_RSSI_SAMPLE>& s,
                        std::vector<std::pair<int64_t, double>>& out) {
        for (const auto& x : s) {
            if (now - x.time > 120000) continue;
            const int64_t sec = x.time / 1000;
            auto it = std::find_if(out.begin(), out.end(),
                                   [sec](const auto& q) { return q.first == sec; });
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
        const double dx = xs[i] - mx, dy = ys[i] - my;
        vx += dx * dx;
        vy += dy * dy;
        cov += dx * dy;
    }
    const double sx = std::sqrt(vx / static_cast<double>(n));
    const double sy = std::sqrt(vy / static_cast<double>(n));
    if (sx < 2.0 && sy < 2.0) return OVK_MOTION_BOTH_FLAT;
    if (sx < 2.0 || sy < 2.0) return OVK_MOTION_ONE_FLAT;
    r = (cov / static_cast<double>(n)) / (sx * sy);
    return OVK_MOTION_MOVING;
}

std::vector<OVK_PATROL_GROUP> model(const std::vector<OVK_PATROL_MEMBER>& m, int64_t now) {
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
            const OVK_MOTION mo = motion(a.samples, b.samples, now, r);
            const bool join =
                (mo == OVK_MOTION_MOVING && r >= 0.6) ||
                (mo == OVK_MOTION_BOTH_FLAT && std::llabs(a.first_seen - b.first_seen) <= 30000);
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

const char* const kRoles[] = {"two-way radio", "mobile printer", "police radar", "body camera"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    INPUT in{data, size};
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
    const auto want = model(m, now);
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
