// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the device registry with a sequence of reports and queries decoded from the input:
// names straight from the air (quotes, blanks, control bytes), arbitrary levels, times that
// jump back and forth, verdicts, positions, roles. Checks the registry's bounds on the way.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_scratch.h"
#include "ovk_registry.h"

namespace {

std::string mac_of(uint8_t k) {
    char b[18];
    snprintf(b, sizeof b, "%02X:00:00:00:%02X:%02X", 0x40 | (k & 0x3F), k >> 6, k);
    return b;
}

void require(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "registry invariant broken: %s\n", what);
        abort();
    }
}

const char* const kVendors[] = {"", "Motorola Solutions", "Cradlepoint", "Zebra", "Apple, Inc."};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ovk_registry_init();
    ovk_registry_start_session(1000000);
    ovk_fuzz::ByteReader in{data, size};
    int64_t now = 1000000;
    int64_t regrouped = 0;  // when the registry last regrouped (0: never since the session began)
    while (in.more()) {
        uint8_t op = in.u8();
        now += static_cast<int16_t>(in.u16()) * 37;  // back and forth, up to ~20 min a step
        std::string mac = mac_of(in.u8());
        switch (op % 8) {
            case 0:
            case 1:
            case 2: {
                OVK_ADVERT a;
                a.mac = mac;
                a.source = (op & 0x10) ? OVK_SRC_WIFI : OVK_SRC_BLE;
                a.rssi = static_cast<int8_t>(in.u8());
                a.addr_type = static_cast<OVK_ADDR_TYPE>(in.u8() % OVK_ADDR_COUNT);
                uint8_t nl = in.u8();
                if (nl & 0x80) a.name = in.bytes(nl & 0x7F);
                if (op & 0x20) a.uuids.push_back(ovk_uuid16(in.u16()));
                a.connectable = (op >> 6) % 3 - 1;
                OVK_HITS hits;
                uint8_t nh = in.u8() % 4;
                for (uint8_t k = 0; k < nh; k++) {
                    uint8_t c = in.u8();
                    hits.push_back(ovk_hit_make(static_cast<OVK_CATEGORY>(c % OVK_CAT_COUNT),
                                                in.bytes(in.u8() % 8), c / 2,
                                                (c & 1) ? OVK_PATROL_SOURCE : "catalogue", "e"));
                }
                ovk_hits_sort(hits);
                OVK_GEO g{now + static_cast<int8_t>(in.u8()) * 1000, (in.u8() - 128) * 0.01,
                          (in.u8() - 128) * 0.01};
                ovk_registry_report(a, hits, nullptr, kVendors[in.u8() % 5], nullptr,
                                    (op & 0x08) ? &g : nullptr, now);
                break;
            }
            case 3: {
                OVK_DEVICE_LIST l = ovk_registry_snapshot(now);
                require(static_cast<int>(l.size()) == ovk_registry_count(), "snapshot count");
                for (const OVK_DEVICE& d : l) require(now - d.last_seen <= OVK_STALE_MS, "stale");
                // The counts without a snapshot agree with the snapshot just taken.
                OVK_REGISTRY_TALLY want;
                want.devices = static_cast<int>(l.size());
                for (const OVK_DEVICE& d : l) {
                    if (!ovk_device_flagged(d)) continue;
                    want.flagged++;
                    want.top_confidence =
                        std::max(want.top_confidence, ovk_device_best(d)->confidence);
                    if (d.following) want.following = 1;
                }
                OVK_REGISTRY_TALLY got = ovk_registry_tally(now);
                require(got.devices == want.devices && got.flagged == want.flagged &&
                            got.top_confidence == want.top_confidence &&
                            got.following == want.following,
                        "tally");
                break;
            }
            case 4: {
                auto d = ovk_registry_get(mac);
                if (d) {
                    require(d->history.size() <= static_cast<size_t>(OVK_HISTORY_MAX), "history");
                    require(d->path.size() <= static_cast<size_t>(OVK_PATH_MAX), "path");
                    require(d->name.size() <= 95, "name");
                    require(d->sightings >= 1, "sightings");
                }
                // What the address sent, recalled for a packet of its own: bounded, and a
                // verdict to judge again comes with the packet it came from.
                OVK_ADVERT q;
                q.mac = mac;
                if (op & 0x10) q.name = in.bytes(in.u8() % 16);
                if (op & 0x20) q.uuids.push_back(ovk_uuid16(in.u16()));
                const OVK_RECALL rc = ovk_registry_recall(q, now, (op & 0x40) != 0);
                require(rc.held.has_value() == rc.held_view.has_value(), "held verdict");
                require(!rc.held || rc.news, "held verdict without news");
                require(
                    !rc.view || (rc.view->mac == mac &&
                                 rc.view->uuids.size() <= q.uuids.size() + OVK_HEARD_UUIDS_MAX &&
                                 (!rc.view->name || rc.view->name->size() <= OVK_HEARD_NAME_MAX)),
                    "recalled view");
                if (d && !d->hits.empty() && (op & 0x80) &&
                    ovk_registry_withdraw(mac, d->hits.front().label)) {
                    auto e = ovk_registry_get(mac);
                    require(e && ovk_hits_find_label(e->hits, d->hits.front().label) < 0,
                            "withdrawn verdict");
                }
                break;
            }
            case 5: {
                auto got = ovk_registry_cluster_hit(mac, now);
                if (now - regrouped < 2000) break;  // answered from the groups kept
                regrouped = now;
                // Freshly regrouped: the same verdict as grouping every role-bearing entry.
                std::vector<OVK_PATROL_MEMBER> m;
                for (const OVK_DEVICE& d : ovk_registry_summaries(INT64_MIN)) {
                    const std::string* role = ovk_facts_get(d.facts, "Patrol-kit role");
                    auto full = ovk_registry_get(d.mac);
                    if (role && !d.whitelisted && full)
                        m.push_back({d.mac, *role, d.first_seen, d.last_seen, full->history});
                }
                auto want = ovk_patrol_hit_for(mac, m, ovk_patrol_groups(m, now));
                require(
                    got.has_value() == want.has_value() &&
                        (!got || (got->label == want->label && got->evidence == want->evidence)),
                    "co-location verdict");
                break;
            }
            case 6:
                (void)ovk_registry_check_following(mac, in.u16() * 100, in.u16());
                break;
            case 7: {
                OVK_HITS h;
                ovk_registry_inherited_hits(mac, h);
                for (const OVK_HIT& x : h)
                    require(x.evidence.size() <= OVK_EVIDENCE_MAX, "evidence");
                if (op == 0xFF) {
                    ovk_registry_clear();
                    regrouped = 0;
                }
                break;
            }
        }
    }
    ovk_registry_clear();
    return 0;
}
