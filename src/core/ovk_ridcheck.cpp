// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_ridcheck.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "ovk_geo.h"
#include "ovk_remoteid.h"
#include "ovk_util.h"

namespace {

constexpr int kTypeBasicId = 0;
constexpr int kTypeLocation = 1;
constexpr int kTypeSystem = 4;
constexpr int kOpLocTakeoff = 0;
constexpr int kOpLocFixed = 2;
constexpr unsigned kTimestampUnknown = 0xFFFF;
constexpr unsigned kTenthsPerHour = 36000;
constexpr std::string_view kRidSourcePrefix = "ASTM F3411 Remote ID";

void record(OVK_RID_TRACK& t, std::vector<OVK_RIDCHECK_FINDING>& raised, OVK_RIDCHECK_RULE rule,
            std::string reason, int64_t now) {
    OVK_RIDCHECK_FINDING f{rule, std::move(reason), now};
    raised.push_back(f);
    auto it = std::find_if(t.findings.begin(), t.findings.end(),
                           [rule](const OVK_RIDCHECK_FINDING& x) { return x.rule == rule; });
    if (it != t.findings.end()) {
        *it = std::move(f);
        return;
    }
    it = std::find_if(t.findings.begin(), t.findings.end(),
                      [rule](const OVK_RIDCHECK_FINDING& x) { return x.rule > rule; });
    t.findings.insert(it, std::move(f));
}

// A new flight: positions of the previous one are not compared with this one's.
void start_flight(OVK_RID_TRACK& t) {
    t.has_pos = false;
    t.has_op = false;
    t.has_anchor = false;
}

// The position a single message carries (both coordinates given and on the globe).
bool message_position(ovk_bytes m, double& lat, double& lon) {
    OVK_REMOTE_ID r;
    ovk_rid_decode_message(m, r);
    if ((m[0] >> 4) == kTypeLocation) {
        if (!r.has_pos) return false;
        lat = r.lat;
        lon = r.lon;
        return true;
    }
    if (!r.has_op_pos) return false;
    lat = r.op_lat;
    lon = r.op_lon;
    return true;
}

void check_basic_id(OVK_RID_TRACK& t, ovk_bytes m, int64_t now,
                    std::vector<OVK_RIDCHECK_FINDING>& raised) {
    const size_t id_type = m[1] >> 4;
    const std::optional<std::string> id = ovk_ascii(m, 2, 20, 24);
    if (!id) return;
    std::string& held = t.ids[id_type];
    if (!held.empty() && held != *id)
        record(t, raised, OVK_RIDCHECK_ID_CHANGED,
               ovk_format(OVK_FACT_VALUE_MAX,
                          "Basic ID changed from \"%s\" to \"%s\" on the same address",
                          held.c_str(), id->c_str()),
               now);
    held = *id;
}

void check_timestamp(OVK_RID_TRACK& t, ovk_bytes m, int64_t now,
                     std::vector<OVK_RIDCHECK_FINDING>& raised) {
    const unsigned ts = ovk_u16le(m, 21);
    // 0xFFFF is the standard's "unknown"; 0 is what transmitters that never fill the field
    // (and the demo drone) send, so it counts as not given either.
    if (ts == kTimestampUnknown || ts == 0 || now < OVK_RIDCHECK_CLOCK_SET_MS) return;
    if (ts > kTenthsPerHour) {
        record(t, raised, OVK_RIDCHECK_TIMESTAMP,
               ovk_format(OVK_FACT_VALUE_MAX,
                          "location time stamp %u is no time within the hour (tenths of a second, "
                          "at most 36000)",
                          ts),
               now);
        return;
    }
    const int64_t rx = (now / 100) % kTenthsPerHour;
    int64_t d = (rx - static_cast<int64_t>(ts)) % kTenthsPerHour;
    if (d < 0) d += kTenthsPerHour;
    if (d > kTenthsPerHour / 2) d -= kTenthsPerHour;  // now d is in (-30 min, 30 min]
    if (std::llabs(d) * 100 <= OVK_RIDCHECK_CLOCK_SKEW_MS) return;
    record(t, raised, OVK_RIDCHECK_TIMESTAMP,
           ovk_format(OVK_FACT_VALUE_MAX,
                      "location time stamp %.1f s %s the receiving clock (more than %lld s)",
                      std::fabs(static_cast<double>(d)) / 10.0, d > 0 ? "behind" : "ahead of",
                      static_cast<long long>(OVK_RIDCHECK_CLOCK_SKEW_MS / 1000)),
           now);
}

void check_location(OVK_RID_TRACK& t, ovk_bytes m, int64_t now,
                    std::vector<OVK_RIDCHECK_FINDING>& raised) {
    OVK_REMOTE_ID r;
    ovk_rid_decode_message(m, r);
    if (r.has_speed && r.speed_ms > OVK_RIDCHECK_MAX_SPEED_MS)
        record(t, raised, OVK_RIDCHECK_SPEED,
               ovk_format(OVK_FACT_VALUE_MAX, "reported speed %.2f m/s (%d km/h), above %.0f m/s",
                          r.speed_ms, ovk_round(r.speed_ms * 3.6), OVK_RIDCHECK_MAX_SPEED_MS),
               now);
    check_timestamp(t, m, now, raised);

    double lat = 0, lon = 0;
    if (!message_position(m, lat, lon)) return;
    if (t.has_pos && now > 0 && t.pos_time > 0) {
        const double d = ovk_meters_between(t.lat, t.lon, lat, lon);
        const double secs =
            std::max(1.0, std::fabs(static_cast<double>(now - t.pos_time)) / 1000.0);
        if (d > OVK_RIDCHECK_JUMP_SLACK_M + OVK_RIDCHECK_MAX_SPEED_MS * secs)
            record(t, raised, OVK_RIDCHECK_JUMP,
                   ovk_format(OVK_FACT_VALUE_MAX,
                              "position jumped %.0f m in %.1f s (%.0f m/s, above %.0f m/s)", d,
                              std::fabs(static_cast<double>(now - t.pos_time)) / 1000.0, d / secs,
                              OVK_RIDCHECK_MAX_SPEED_MS),
                   now);
    }
    t.has_pos = true;
    t.lat = lat;
    t.lon = lon;
    t.pos_time = now;
}

void check_system(OVK_RID_TRACK& t, ovk_bytes m, int64_t now,
                  std::vector<OVK_RIDCHECK_FINDING>& raised) {
    double lat = 0, lon = 0;
    if (!message_position(m, lat, lon)) return;
    t.has_op = true;
    t.op_lat = lat;
    t.op_lon = lon;
    const int type = m[1] & 0x03;
    if (type != kOpLocTakeoff && type != kOpLocFixed) return;
    if (!t.has_anchor || t.anchor_type != type) {
        t.has_anchor = true;
        t.anchor_type = type;
        t.anchor_lat = lat;
        t.anchor_lon = lon;
        return;
    }
    const double d = ovk_meters_between(t.anchor_lat, t.anchor_lon, lat, lon);
    if (d > OVK_RIDCHECK_FIXED_MOVE_M)
        record(t, raised, OVK_RIDCHECK_TAKEOFF_MOVED,
               ovk_format(OVK_FACT_VALUE_MAX, "%s position moved %.0f m during one flight",
                          type == kOpLocTakeoff ? "takeoff" : "fixed operator", d),
               now);
}

}  // namespace

std::vector<OVK_RIDCHECK_FINDING> ovk_ridcheck_observe(OVK_RID_TRACK& t, const OVK_ADVERT& a,
                                                       int64_t now) {
    std::vector<OVK_RIDCHECK_FINDING> raised;
    const std::vector<ovk_bytes> msgs = ovk_rid_messages(&a);
    if (msgs.empty()) return raised;
    if (now > 0) {
        if (t.last_time > 0 && std::llabs(now - t.last_time) > OVK_RIDCHECK_FLIGHT_GAP_MS)
            start_flight(t);
        t.last_time = now;
    }
    bool positions = false;
    for (const ovk_bytes m : msgs) {
        switch (m[0] >> 4) {
            case kTypeBasicId:
                check_basic_id(t, m, now, raised);
                break;
            case kTypeLocation:
                check_location(t, m, now, raised);
                positions = true;
                break;
            case kTypeSystem:
                check_system(t, m, now, raised);
                positions = true;
                break;
            default:
                break;
        }
    }
    if (positions && t.has_pos && t.has_op) {
        const double d = ovk_meters_between(t.lat, t.lon, t.op_lat, t.op_lon);
        if (d > OVK_RIDCHECK_OPERATOR_MAX_M)
            record(t, raised, OVK_RIDCHECK_OPERATOR_FAR,
                   ovk_format(OVK_FACT_VALUE_MAX,
                              "operator %.1f km from the aircraft (more than %.0f km)", d / 1000.0,
                              OVK_RIDCHECK_OPERATOR_MAX_M / 1000.0),
                   now);
    }
    return raised;
}

std::string ovk_ridcheck_text(const OVK_RIDCHECK_FINDING& f) {
    return std::string(OVK_RIDCHECK_FACT) + ": " + f.reason;
}

int ovk_ridcheck_is_rid_hit(const OVK_HIT& h) {
    return h.category == OVK_CAT_DRONE && std::string_view(h.source).starts_with(kRidSourcePrefix)
               ? 1
               : 0;
}

void ovk_ridcheck_lower(OVK_HIT& hit, const OVK_RID_TRACK& t) {
    if (t.findings.empty() || !ovk_ridcheck_is_rid_hit(hit)) return;
    hit.confidence = std::max(0, hit.confidence - OVK_RIDCHECK_CONFIDENCE_DROP);
    hit.evidence =
        ovk_cut(hit.evidence + "; possible spoofed Remote ID: " + t.findings.front().reason,
                OVK_EVIDENCE_MAX);
}

void ovk_ridcheck_lower(OVK_HITS& hits, const OVK_RID_TRACK& t) {
    if (t.findings.empty()) return;
    bool changed = false;
    for (OVK_HIT& h : hits) {
        if (!ovk_ridcheck_is_rid_hit(h)) continue;
        ovk_ridcheck_lower(h, t);
        changed = true;
    }
    if (changed) ovk_hits_sort(hits);
}

void ovk_ridcheck_facts(const OVK_RID_TRACK& t, OVK_FACTS& out) {
    for (const OVK_RIDCHECK_FINDING& f : t.findings)
        ovk_facts_add(out, OVK_RIDCHECK_FACT, "%s", f.reason.c_str());
}
