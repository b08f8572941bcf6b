// SPDX-License-Identifier: GPL-3.0-or-later
// Patrol-kit roles, signal-motion comparison and union-find grouping of different kinds of gear.
#include "ovk_patrol.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "ovk_regex.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr int64_t kWindowMs = 120000;  // signal history looked at by the motion comparison
constexpr int64_t kLiveMs = 60000;     // members heard longer ago than this do not take part
constexpr int64_t kArrivalMs = 30000;  // steady devices that showed up this close join
constexpr int kMinPairs = 8;
constexpr double kFlatDb = 2.0;
constexpr double kMinR = 0.6;
constexpr size_t kRoleMax = 47;

struct OVK_ROLE_RULE {
    const char* pattern;
    const char* role;
};

// Tried in order against the vendor text, then against public-safety verdict labels.
constexpr OVK_ROLE_RULE ROLE_BY_VENDOR[] = {
    {"axon|taser", "Axon / TASER gear"},
    {"motorola solutions|harris corp|l3harris", "two-way radio"},
    {"cradlepoint|sierra wireless", "vehicle cellular router"},
    {"zebra|ruggedjet|pocketjet", "mobile printer"},
    {"cyberkar", "in-car computer / console"},
    {"getac", "rugged laptop / body cam"},
    {"genetec", "plate reader"},
    {"stalker|decatur|police speed radar", "police radar"},
    {"lightbar|siren controller|patrol products|police vehicle upfit",
     "emergency-vehicle equipment"},
    {"utility,? inc|digital ally|watchguard|i-pro|zepcam", "police camera"},
};
constexpr size_t kVendorRules = std::size(ROLE_BY_VENDOR);

using RE = OVK_REGEX_PTR;

struct PATTERNS {
    RE vendor[kVendorRules];
    RE printer;  // device names of mobile printers
    RE bodycam;  // device names of rugged laptops / body cameras
};

const PATTERNS& _re_init() {
    static std::once_flag once;
    static PATTERNS p;
    std::call_once(once, [] {
        for (size_t i = 0; i < kVendorRules; i++)
            p.vendor[i] = ovk_regex_compile(ROLE_BY_VENDOR[i].pattern, OVK_REGEX_ICASE);
        p.printer = ovk_regex_compile("^(RJ-4|PJ-[78])", OVK_REGEX_ICASE);
        p.bodycam = ovk_regex_compile("^(BC-0\\d|HS-01)", OVK_REGEX_ICASE);
    });
    return p;
}

bool _found(const RE& re, std::string_view text) {
    return re && ovk_regex_search(re.get(), text) == 1;
}

// The registry asks for the role on every report, mostly with the same few vendor texts, so
// the answer of the vendor rules is remembered per text (at most kRoleCacheMax texts; the
// memory is dropped whole when it is full).
constexpr size_t kRoleCacheMax = 1024;

struct ROLE_CACHE {
    std::mutex mu;
    std::unordered_map<std::string, int> rule;  // text -> rule index, or -1 for none
};

const char* _vendor_role(const PATTERNS& p, std::string_view text) {
    static ROLE_CACHE cache;
    std::string key(text);
    {
        std::lock_guard lk(cache.mu);
        auto it = cache.rule.find(key);
        if (it != cache.rule.end())
            return it->second < 0 ? nullptr : ROLE_BY_VENDOR[it->second].role;
    }
    int found = -1;
    for (size_t i = 0; i < kVendorRules && found < 0; i++)
        if (_found(p.vendor[i], text)) found = static_cast<int>(i);
    std::lock_guard lk(cache.mu);
    if (cache.rule.size() >= kRoleCacheMax) cache.rule.clear();
    cache.rule.emplace(std::move(key), found);
    return found < 0 ? nullptr : ROLE_BY_VENDOR[found].role;
}

bool _counted(const OVK_HIT& h) {
    return h.source != OVK_PATROL_SOURCE;
}

// One value per whole second of the last 120 s, in the order the seconds first appear;
// a later sample of the same second replaces the value. Seconds are looked up through a
// dense table over [lo, hi] when that span is small (always, for histories kept one sample
// a second), else through a hash map.
constexpr int64_t kDenseSpan = 4096;

struct BUCKETS {
    std::vector<int64_t> sec;
    std::vector<double> v;
    int64_t lo = 0, hi = -1;                 // smallest and largest second
    std::vector<int32_t> dense;              // [sec - lo] -> index into sec/v, or -1
    std::unordered_map<int64_t, size_t> at;  // used when the span is too wide for `dense`

    // Index of the bucket of `key`, or -1.
    long find(int64_t key) const {
        if (key < lo || key > hi) return -1;
        if (!dense.empty()) return dense[static_cast<size_t>(key - lo)];
        auto it = at.find(key);
        return it == at.end() ? -1 : static_cast<long>(it->second);
    }
};

void _bucket(std::span<const OVK_RSSI_SAMPLE> s, int64_t now, BUCKETS& out) {
    bool any = false;
    for (const OVK_RSSI_SAMPLE& x : s) {
        if (now - x.time > kWindowMs) continue;
        int64_t key = x.time / 1000;
        if (!any || key < out.lo) out.lo = key;
        if (!any || key > out.hi) out.hi = key;
        any = true;
    }
    if (!any) return;
    out.sec.reserve(s.size());
    out.v.reserve(s.size());
    const bool dense = out.hi - out.lo < kDenseSpan;
    if (dense) out.dense.assign(static_cast<size_t>(out.hi - out.lo + 1), -1);
    for (const OVK_RSSI_SAMPLE& x : s) {
        if (now - x.time > kWindowMs) continue;
        int64_t key = x.time / 1000;
        long idx;
        if (dense) {
            int32_t& slot = out.dense[static_cast<size_t>(key - out.lo)];
            idx = slot;
            if (idx < 0) slot = static_cast<int32_t>(out.sec.size());
        } else {
            auto [it, fresh] = out.at.try_emplace(key, out.sec.size());
            idx = fresh ? -1 : static_cast<long>(it->second);
        }
        if (idx < 0) {
            out.sec.push_back(key);
            out.v.push_back(x.rssi);
        } else {
            out.v[static_cast<size_t>(idx)] = x.rssi;
        }
    }
}

// Work arrays of one comparison, kept between the comparisons of one grouping.
struct PAIRS {
    std::vector<double> xs, ys;
};

OVK_MOTION _compare(const BUCKETS& a, const BUCKETS& b, double* r, PAIRS& w) {
    // Fewer than 8 seconds in common when the spans overlap by fewer than 8 seconds.
    if (std::min(a.hi, b.hi) - std::max(a.lo, b.lo) + 1 < kMinPairs) return OVK_MOTION_TOO_SHORT;
    // Pairs in a's bucket order, summed as they are found (the sums see the same values in
    // the same order as summing the pairs afterwards would).
    if (w.xs.size() < a.sec.size()) {
        w.xs.resize(a.sec.size());
        w.ys.resize(a.sec.size());
    }
    double* xs = w.xs.data();
    double* ys = w.ys.data();
    size_t n = 0;
    double mx = 0, my = 0;
    for (size_t i = 0; i < a.sec.size(); i++) {
        const int64_t key = a.sec[i];
        if (key < b.lo || key > b.hi) continue;
        long j = b.dense.empty() ? b.find(key) : b.dense[static_cast<size_t>(key - b.lo)];
        if (j < 0) continue;
        const double x = a.v[i], y = b.v[static_cast<size_t>(j)];
        xs[n] = x;
        ys[n] = y;
        n++;
        mx += x;
        my += y;
    }
    if (n < static_cast<size_t>(kMinPairs)) return OVK_MOTION_TOO_SHORT;
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double vx = 0, vy = 0, cov = 0;
    for (size_t i = 0; i < n; i++) {
        double dx = xs[i] - mx, dy = ys[i] - my;
        vx += dx * dx;
        vy += dy * dy;
        cov += dx * dy;
    }
    double sx = std::sqrt(vx / static_cast<double>(n));
    double sy = std::sqrt(vy / static_cast<double>(n));
    bool fx = sx < kFlatDb, fy = sy < kFlatDb;
    if (fx && fy) return OVK_MOTION_BOTH_FLAT;
    if (fx || fy) return OVK_MOTION_ONE_FLAT;
    if (r) *r = (cov / static_cast<double>(n)) / (sx * sy);
    return OVK_MOTION_MOVING;
}

// Integer copies of a member's per-second levels over [lo, hi] (0 where a second has no
// value), made when every level is a whole number of at most kIntLevelMax dB in size and the
// seconds fit a dense table. Sums over the seconds two members share are then exact, and
// cheap enough to compare thousands of pairs.
constexpr int kIntLevelMax = 200;

struct LEVELS {
    bool ok = false;
    int64_t lo = 0, hi = -1;
    std::vector<int32_t> val, sq, has;  // has: all bits set where the second has a value
};

void _levels(const BUCKETS& b, LEVELS& out) {
    if (b.dense.empty()) return;
    for (double v : b.v)
        if (!(std::fabs(v) <= kIntLevelMax) || v != std::floor(v)) return;
    const size_t span = b.dense.size();
    out.val.assign(span, 0);
    out.sq.assign(span, 0);
    out.has.assign(span, 0);
    for (size_t s = 0; s < span; s++) {
        const int32_t j = b.dense[s];
        if (j < 0) continue;
        const int32_t x = static_cast<int32_t>(b.v[static_cast<size_t>(j)]);
        out.val[s] = x;
        out.sq[s] = x * x;
        out.has[s] = -1;
    }
    out.lo = b.lo;
    out.hi = b.hi;
    out.ok = true;
}

// The outcome of comparing two members, from exact integer sums over their shared seconds:
// n pairs, and n² times the variances and the covariance. `join_if_moving` tells whether a
// MOVING outcome has r >= 0.6. nullopt when a threshold is met so closely (a deviation of
// exactly 2 dB, r within 1e-9 of 0.6) that the floating-point comparison must decide; away
// from the thresholds its rounding (far below 1e-9 here) cannot change the answer.
std::optional<OVK_MOTION> _compare_exact(const LEVELS& a, const LEVELS& b, bool& join_if_moving) {
    join_if_moving = false;
    const int64_t lo = std::max(a.lo, b.lo), hi = std::min(a.hi, b.hi);
    if (hi - lo + 1 < kMinPairs) return OVK_MOTION_TOO_SHORT;
    const size_t len = static_cast<size_t>(hi - lo + 1);
    const size_t oa = static_cast<size_t>(lo - a.lo), ob = static_cast<size_t>(lo - b.lo);
    const int32_t *av = &a.val[oa], *as = &a.sq[oa], *ah = &a.has[oa];
    const int32_t *bv = &b.val[ob], *bs = &b.sq[ob], *bh = &b.has[ob];
    // At most 4096 seconds of terms of at most 200² each: every sum fits 32 bits.
    int32_t n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (size_t t = 0; t < len; t++) {
        n -= ah[t] & bh[t];
        sx += av[t] & bh[t];
        sy += bv[t] & ah[t];
        sxx += as[t] & bh[t];
        syy += bs[t] & ah[t];
        sxy += av[t] * bv[t];
    }
    if (n < kMinPairs) return OVK_MOTION_TOO_SHORT;
    const int64_t N = n;
    const int64_t vx = N * sxx - static_cast<int64_t>(sx) * sx;
    const int64_t vy = N * syy - static_cast<int64_t>(sy) * sy;
    const int64_t cov = N * sxy - static_cast<int64_t>(sx) * sy;
    const int64_t flat = 4 * N * N;  // a deviation of 2 dB
    if (vx == flat || vy == flat) return std::nullopt;
    const bool fx = vx < flat, fy = vy < flat;
    if (fx && fy) return OVK_MOTION_BOTH_FLAT;
    if (fx || fy) return OVK_MOTION_ONE_FLAT;
    if (cov <= 0) return OVK_MOTION_MOVING;  // r <= 0
    // r >= 0.6  <=>  25 cov² >= 9 vx vy
    const __int128 lhs = static_cast<__int128>(25 * cov) * cov;
    const __int128 rhs = static_cast<__int128>(9 * vx) * vy;
    if (std::fabs(static_cast<double>(lhs - rhs) / static_cast<double>(rhs)) < 1e-9)
        return std::nullopt;
    join_if_moving = lhs >= rhs;
    return OVK_MOTION_MOVING;
}

int _find(std::vector<int>& parent, int i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

}  // namespace

std::optional<std::string> ovk_patrol_role(const OVK_HITS& hits, std::string_view vendor,
                                           std::string_view name) {
    try {
        for (const OVK_HIT& h : hits)
            if (_counted(h) && h.category == OVK_CAT_BODY_CAM) return std::string("body camera");
        for (const OVK_HIT& h : hits)
            if (_counted(h) && h.category == OVK_CAT_ALPR) return std::string("plate reader");
        const PATTERNS& p = _re_init();
        if (!vendor.empty())
            if (const char* role = _vendor_role(p, vendor)) return ovk_cut(role, kRoleMax);
        for (const OVK_HIT& h : hits) {
            if (!_counted(h) || h.category != OVK_CAT_PUBLIC_SAFETY) continue;
            if (const char* role = _vendor_role(p, h.label)) return ovk_cut(role, kRoleMax);
        }
        if (!name.empty()) {
            if (_found(p.printer, name)) return std::string("mobile printer");
            if (_found(p.bodycam, name)) return std::string("rugged laptop / body cam");
        }
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "patrol role: %s", e.what());
    }
    return std::nullopt;
}

OVK_MOTION ovk_patrol_motion(std::span<const OVK_RSSI_SAMPLE> a, std::span<const OVK_RSSI_SAMPLE> b,
                             int64_t now, double* r) {
    if (r) *r = 0;
    if (a.empty() || b.empty()) return OVK_MOTION_TOO_SHORT;
    try {
        BUCKETS ba, bb;
        _bucket(a, now, ba);
        _bucket(b, now, bb);
        PAIRS w;
        return _compare(ba, bb, r, w);
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_BUCKET, a.size() + b.size(), buckets);
        return OVK_MOTION_TOO_SHORT;
    }
}

std::vector<OVK_PATROL_GROUP> ovk_patrol_groups(const std::vector<OVK_PATROL_MEMBER>& m,
                                                int64_t now) {
    std::vector<OVK_PATROL_GROUP> out;
    if (m.size() < 2) return out;
    try {
        std::vector<int> live;  // member indices, in member order
        for (size_t i = 0; i < m.size(); i++)
            if (now - m[i].last_seen <= kLiveMs) live.push_back(static_cast<int>(i));
        int nl = static_cast<int>(live.size());
        if (nl < 2) return out;

        // Each member's buckets are made once rather than once per pair, and only for
        // members with at least 8 samples in the window (fewer cannot make 8 buckets).
        std::vector<int> sampled;  // positions in `live`, in live order
        for (int i = 0; i < nl; i++) {
            size_t recent = 0;
            for (const OVK_RSSI_SAMPLE& x : m[live[i]].samples) recent += now - x.time <= kWindowMs;
            if (recent >= static_cast<size_t>(kMinPairs)) sampled.push_back(i);
        }
        std::vector<BUCKETS> sampled_buckets(sampled.size());
        for (size_t c = 0; c < sampled.size(); c++)
            _bucket(m[live[sampled[c]]].samples, now, sampled_buckets[c]);

        // `marked` is kept per set (on its root): a group is correlated when any member was
        // joined by correlation, so only whether a set holds such a member matters. Two
        // members already in one marked set cannot change anything by being compared.
        std::vector<int> parent(nl);
        std::vector<char> marked(nl, 0);
        for (int i = 0; i < nl; i++) parent[i] = i;
        // Two histories share at most as many seconds as the shorter one has, so a member
        // with fewer than 8 seconds in the window can join no one: only the others are
        // compared, which keeps a crowd of one-off addresses from costing a comparison each.
        // Below, everything per member is kept in `able` order.
        std::vector<int> able;                // positions in `live`, in live order
        std::vector<const BUCKETS*> buckets;  // their buckets
        for (size_t c = 0; c < sampled.size(); c++) {
            if (sampled_buckets[c].sec.size() < static_cast<size_t>(kMinPairs)) continue;
            able.push_back(sampled[c]);
            buckets.push_back(&sampled_buckets[c]);
        }
        // Roles as small numbers, so that the pair loop compares integers.
        std::vector<int> role_id(able.size());
        {
            std::unordered_map<std::string_view, int> ids;
            for (size_t a = 0; a < able.size(); a++)
                role_id[a] = ids.try_emplace(m[live[able[a]]].role, static_cast<int>(ids.size()))
                                 .first->second;
        }
        std::vector<LEVELS> levels(able.size());
        for (size_t a = 0; a < able.size(); a++) _levels(*buckets[a], levels[a]);
        PAIRS work;
        for (size_t ai = 0; ai < able.size(); ai++) {
            int i = able[ai];
            const OVK_PATROL_MEMBER& mi = m[live[i]];
            for (size_t ak = ai + 1; ak < able.size(); ak++) {
                int k = able[ak];
                const OVK_PATROL_MEMBER& mk = m[live[k]];
                if (role_id[ai] == role_id[ak] || mi.samples.empty() || mk.samples.empty())
                    continue;
                int ri = _find(parent, i), rk = _find(parent, k);
                if (ri == rk && marked[ri]) continue;
                bool moving_join = false;
                std::optional<OVK_MOTION> exact;
                if (levels[ai].ok && levels[ak].ok)
                    exact = _compare_exact(levels[ai], levels[ak], moving_join);
                OVK_MOTION mo;
                if (exact) {
                    mo = *exact;
                } else {
                    double r = 0;
                    mo = _compare(*buckets[ai], *buckets[ak], &r, work);
                    moving_join = r >= kMinR;
                }
                bool join = false;
                switch (mo) {
                    case OVK_MOTION_MOVING:
                        join = moving_join;
                        break;
                    case OVK_MOTION_BOTH_FLAT:
                        join = std::abs(mi.first_seen - mk.first_seen) <= kArrivalMs;
                        break;
                    case OVK_MOTION_ONE_FLAT:
                    case OVK_MOTION_TOO_SHORT:
                        break;
                }
                if (!join) continue;
                parent[ri] = rk;
                if (mo == OVK_MOTION_MOVING || marked[ri]) marked[rk] = 1;
            }
        }

        // Candidate groups in the order their roots first occur among the live members,
        // members in live order; a root's group number is given on its first occurrence.
        std::vector<int> gid(nl, -1), of(nl), size;
        for (int i = 0; i < nl; i++) {
            int rt = _find(parent, i);
            if (gid[rt] < 0) {
                gid[rt] = static_cast<int>(size.size());
                size.push_back(0);
            }
            of[i] = gid[rt];
            size[of[i]]++;
        }
        std::vector<OVK_PATROL_GROUP> cand(size.size());
        std::vector<std::vector<const std::string*>> roles(size.size());
        for (int i = 0; i < nl; i++) {
            if (size[of[i]] < 2) continue;  // a lone device is never reported
            OVK_PATROL_GROUP& g = cand[of[i]];
            g.members.push_back(live[i]);
            if (marked[_find(parent, i)]) g.correlated = 1;
            std::vector<const std::string*>& rs = roles[of[i]];
            const std::string& role = m[live[i]].role;
            bool seen = false;
            for (const std::string* s : rs) seen = seen || *s == role;
            if (!seen) rs.push_back(&role);
        }
        for (size_t c = 0; c < cand.size(); c++) {
            cand[c].n_roles = static_cast<int>(roles[c].size());
            if (cand[c].n_roles >= 2) out.push_back(std::move(cand[c]));
        }
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_PATROL_GROUP, m.size(), groups);
        out.clear();
    }
    return out;
}

int ovk_patrol_group_confidence(const OVK_PATROL_GROUP& g) {
    int c = 12 * g.n_roles + (g.correlated ? 34 : 24);
    return c > 88 ? 88 : c;
}

std::optional<OVK_HIT> ovk_patrol_hit_for(std::string_view mac,
                                          const std::vector<OVK_PATROL_MEMBER>& m,
                                          const std::vector<OVK_PATROL_GROUP>& g) {
    try {
        for (const OVK_PATROL_GROUP& grp : g) {
            int self = -1;
            for (int idx : grp.members) {
                if (idx >= 0 && static_cast<size_t>(idx) < m.size() && m[idx].mac == mac) {
                    self = idx;
                    break;
                }
            }
            if (self < 0) continue;
            std::string label = ovk_format(
                OVK_LABEL_MAX, "%s in a possible police vehicle (%d kinds of gear together)",
                m[self].role.c_str(), grp.n_roles);
            if (!label.empty())
                label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
            std::string ev = "Heard together with ";
            bool first = true;
            for (int idx : grp.members) {
                if (idx == self || idx < 0 || static_cast<size_t>(idx) >= m.size()) continue;
                ev += first ? "" : ", ";
                ev += m[idx].role;
                ev += ' ';
                ev += m[idx].mac;
                first = false;
            }
            ev += grp.correlated ? " - their signals rise and fall together (same vehicle)"
                                 : " - they arrived within 30 s of each other";
            OVK_HIT hit =
                ovk_hit_make(OVK_CAT_PUBLIC_SAFETY, label, ovk_patrol_group_confidence(grp),
                             OVK_PATROL_SOURCE, "%s", ovk_cut(ev, OVK_EVIDENCE_MAX).c_str());
            return hit;
        }
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "patrol verdict: %s", e.what());
    }
    return std::nullopt;
}
