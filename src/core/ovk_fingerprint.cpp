// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_fingerprint.h"

#include <algorithm>
#include <new>
#include <vector>

#include "ovk_category.h"
#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr uint16_t kAppleCid = 0x004C;

// Sorted byte-wise and joined with ",".
void append_items(std::string& out, size_t outsz, std::vector<std::string>& items) {
    std::sort(items.begin(), items.end());
    for (size_t i = 0; i < items.size(); ++i)
        ovk_appendf(out, outsz, "%s%s", i ? "," : "", items[i].c_str());
}

}  // namespace

int ovk_advert_fingerprint(const OVK_ADVERT* a, std::string& out, size_t outsz) {
    out.clear();
    if (!a || a->source != OVK_SRC_BLE) return 0;
    const std::string name = a->name ? ovk_trim(*a->name, 256) : std::string();

    bool qualifies = !name.empty();
    for (const OVK_MFG& m : a->mfg)
        if (m.cid != kAppleCid) qualifies = true;
    if (!qualifies && (!a->uuids.empty() || !a->svc.empty())) qualifies = true;
    if (!qualifies) return 0;

    try {
        std::vector<std::string> items;
        items.reserve(std::max({a->uuids.size(), a->svc.size(), a->mfg.size()}) + 1);
        std::string fp;
        ovk_appendf(fp, outsz, "n=%s", name.c_str());

        ovk_appendf(fp, outsz, "|u=");
        for (const OVK_UUID& u : a->uuids)
            items.push_back(ovk_cut(ovk_uuid_str(u), OVK_FP_ITEM_MAX));
        append_items(fp, outsz, items);

        items.clear();
        ovk_appendf(fp, outsz, "|d=");
        for (const OVK_SVCDATA& s : a->svc)
            items.push_back(
                ovk_format(OVK_FP_ITEM_MAX, "%s:%zu", ovk_uuid_str(s.uuid).c_str(), s.data.size()));
        append_items(fp, outsz, items);

        items.clear();
        ovk_appendf(fp, outsz, "|m=");
        for (const OVK_MFG& m : a->mfg)
            items.push_back(ovk_format(OVK_FP_ITEM_MAX, "%d:%zu", m.cid, m.data.size()));
        append_items(fp, outsz, items);

        ovk_appendf(fp, outsz, "|t=");
        if (a->has_tx_power) ovk_appendf(fp, outsz, "%d", a->tx_power);
        ovk_appendf(fp, outsz, "|c=%s",
                    a->connectable > 0    ? "true"
                    : a->connectable == 0 ? "false"
                                          : "");
        out = std::move(fp);
        return 1;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_FP_ITEM,
                           std::max({a->uuids.size(), a->svc.size(), a->mfg.size()}) + 1, items);
        out.clear();
        return 0;
    }
}

int ovk_advert_may_rotate(const OVK_ADVERT* a) {
    if (!a || a->source != OVK_SRC_BLE) return 0;
    return a->addr_type > OVK_ADDR_RANDOM_STATIC ? 1 : 0;
}
