// SPDX-License-Identifier: GPL-3.0-or-later
// Fake-base-station signs in cell reports.
#include "ovk_cell.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <string_view>

#include "ovk_util.h"
#include "zq_log.h"

namespace {

constexpr size_t kKeyMax = 96;
constexpr size_t kTitleMax = 96;
constexpr size_t kDetailMax = 512;

// MCCs that belong to the same country as the row's MCC.
struct SharedCountry {
    std::string_view mcc;
    std::initializer_list<std::string_view> same;
};
const SharedCountry kSharedCountry[] = {
    {"310", {"311", "312", "313", "314", "315", "316"}},
    {"311", {"310", "312", "313", "314", "315", "316"}},
    {"312", {"310", "311"}},
    {"313", {"310", "311"}},
    {"314", {"310", "311"}},
    {"315", {"310", "311"}},
    {"316", {"310", "311"}},
    {"405", {"404"}},
    {"404", {"405"}},
};

bool shared_country(std::string_view serving, std::string_view sim) {
    for (const auto& row : kSharedCountry) {
        if (row.mcc != serving) continue;
        for (std::string_view m : row.same)
            if (m == sim) return true;
    }
    return false;
}

bool is_test_mcc(std::string_view mcc) {
    return mcc == "001" || mcc == "002" || mcc == "999";
}

struct Finder {
    std::vector<OVK_CELL_ANOMALY> out;
    int max = 0;
    int found = 0;
    std::string cell_key;

    void add(const char* kind, const std::string& title, const std::string& detail,
             int confidence) {
        if (found++ >= max) return;
        OVK_CELL_ANOMALY a;
        a.key = ovk_cut(std::string(kind) + ":" + cell_key, kKeyMax - 1);
        a.title = ovk_cut(title, kTitleMax - 1);
        a.detail = ovk_cut(detail, kDetailMax - 1);
        a.confidence = confidence;
        out.push_back(std::move(a));
    }
};

}  // namespace

const char* ovk_rat_name(OVK_RAT r) {
    switch (r) {
        case OVK_RAT_GSM:
            return "GSM";
        case OVK_RAT_CDMA:
            return "CDMA";
        case OVK_RAT_WCDMA:
            return "WCDMA";
        case OVK_RAT_TDSCDMA:
            return "TDSCDMA";
        case OVK_RAT_LTE:
            return "LTE";
        case OVK_RAT_NR:
            return "NR";
    }
    return "";
}

const char* ovk_rat_label(OVK_RAT r) {
    switch (r) {
        case OVK_RAT_GSM:
            return "2G (GSM)";
        case OVK_RAT_CDMA:
            return "2G/3G (CDMA)";
        case OVK_RAT_WCDMA:
            return "3G (UMTS)";
        case OVK_RAT_TDSCDMA:
            return "3G (TD-SCDMA)";
        case OVK_RAT_LTE:
            return "4G (LTE)";
        case OVK_RAT_NR:
            return "5G (NR)";
    }
    return "";
}

int ovk_rat_generation(OVK_RAT r) {
    switch (r) {
        case OVK_RAT_GSM:
            return 2;
        case OVK_RAT_CDMA:
            return 2;
        case OVK_RAT_WCDMA:
            return 3;
        case OVK_RAT_TDSCDMA:
            return 3;
        case OVK_RAT_LTE:
            return 4;
        case OVK_RAT_NR:
            return 5;
    }
    return 0;
}

std::string ovk_cell_key(const OVK_CELL& c) {
    char area[16] = "?";
    char id[24] = "?";
    if (c.has_area) std::snprintf(area, sizeof area, "%d", c.area);
    if (c.has_cell_id) std::snprintf(id, sizeof id, "%" PRId64, c.cell_id);
    char out[kKeyMax];
    std::snprintf(out, sizeof out, "%s %s-%s %s/%s", ovk_rat_name(c.rat),
                  c.mcc.empty() ? "?" : c.mcc.c_str(), c.mnc.empty() ? "?" : c.mnc.c_str(), area,
                  id);
    return out;
}

std::unique_ptr<OVK_CELL_ANALYZER> ovk_cell_analyzer_new() {
    auto an = std::unique_ptr<OVK_CELL_ANALYZER>(new (std::nothrow) OVK_CELL_ANALYZER());
    if (!an) OVK_LOG_ALLOC_FAIL(OVK_CELL_ANALYZER, 1, an);
    return an;
}

std::vector<OVK_CELL_ANOMALY> ovk_cell_analyze(OVK_CELL_ANALYZER& an,
                                               std::span<const OVK_CELL> cells,
                                               const OVK_CELL_CONTEXT& ctx, int max) {
    Finder f;
    try {
        const int64_t now = ctx.time;
        const OVK_CELL* serving = nullptr;
        int neighbours = 0;
        for (const OVK_CELL& c : cells) {
            if (c.registered) {
                if (!serving) serving = &c;
            } else {
                neighbours++;
            }
        }

        // Entries at most 10 minutes old, in order.
        std::vector<const OVK_CELL_SEEN*> recent;
        for (const OVK_CELL_SEEN& e : an.hist)
            if (now - e.time <= OVK_CELL_WINDOW_MS) recent.push_back(&e);
        const OVK_CELL_SEEN* newest = recent.empty() ? nullptr : recent.back();

        if (serving) {
            f.max = max;
            f.cell_key = ovk_cell_key(*serving);
            const OVK_CELL& s = *serving;
            char buf[kDetailMax];

            // A test network code.
            if (is_test_mcc(s.mcc)) {
                std::snprintf(
                    buf, sizeof buf,
                    "Your phone is connected to %s network %s-%s. MCC %s is reserved for test "
                    "networks and lab equipment - real operators never use it, but some IMSI "
                    "catchers do.",
                    ovk_rat_label(s.rat), s.mcc.c_str(), s.mnc.empty() ? "null" : s.mnc.c_str(),
                    s.mcc.c_str());
                f.add("test-plmn", "Test network code on your cell", buf, 85);
            }

            // A country code other than the SIM's, without roaming.
            const std::string sim_mcc = ctx.sim_operator.substr(0, 3);
            if (!sim_mcc.empty() && !s.mcc.empty() && !is_test_mcc(s.mcc) && sim_mcc != s.mcc &&
                !ctx.roaming && !shared_country(s.mcc, sim_mcc)) {
                std::snprintf(
                    buf, sizeof buf,
                    "Your cell announces country code %s, but your SIM is from %s and the phone "
                    "doesn't report roaming. Near a border this can be normal.",
                    s.mcc.c_str(), sim_mcc.c_str());
                f.add("foreign", "Unexpected network country code", buf, 55);
            }

            // A fall to 2G after 4G/5G service.
            if (ovk_rat_generation(s.rat) <= 2) {
                bool had_modern = false;
                for (const OVK_CELL_SEEN* e : recent)
                    if (e->has_registered && ovk_rat_generation(e->registered.rat) >= 4)
                        had_modern = true;
                if (had_modern) {
                    bool modern_neighbour = false;
                    for (const OVK_CELL& c : cells)
                        if (!c.registered && ovk_rat_generation(c.rat) >= 4)
                            modern_neighbour = true;
                    std::snprintf(
                        buf, sizeof buf,
                        "Your phone moved from 4G/5G to %s%s. IMSI catchers force phones onto 2G, "
                        "which has no network authentication. Weak coverage can also cause this.",
                        ovk_rat_label(s.rat),
                        modern_neighbour ? " although 4G/5G cells are still in range" : "");
                    f.add("downgrade", "Network downgraded to 2G", buf, modern_neighbour ? 65 : 40);
                }
            }

            // A new area code while standing still on the same network.
            if (newest && newest->has_registered && ctx.stationary == 1) {
                const OVK_CELL& old = newest->registered;
                if (old.rat == s.rat && old.mcc == s.mcc && old.has_area && s.has_area &&
                    old.area != s.area) {
                    std::snprintf(
                        buf, sizeof buf,
                        "Your cell's area code changed from %d to %d while GPS shows you standing "
                        "still. Fake cells often do this to make phones re-register. Area borders "
                        "and network load can also cause it.",
                        old.area, s.area);
                    f.add("area", "Location area changed while you weren't moving", buf, 40);
                }
            }

            // A switch to a cell that shows no neighbours where several were seen.
            if (newest && newest->has_registered && neighbours == 0 && recent.size() >= 2) {
                const size_t k = std::min<size_t>(4, recent.size());
                bool all_had = true;
                for (size_t i = recent.size() - k; i < recent.size(); i++)
                    if (recent[i]->neighbours < 2) all_had = false;
                if (all_had && ovk_cell_key(newest->registered) != f.cell_key) {
                    f.add("isolated", "New cell with no neighbours",
                          "Your phone switched to a cell that shows no neighbouring cells, where "
                          "several "
                          "were visible moments ago. Fake stations often advertise no neighbours.",
                          35);
                }
            }
        }

        OVK_CELL_SEEN seen;
        seen.time = now;
        if (serving) {
            seen.has_registered = 1;
            seen.registered = *serving;
        }
        seen.neighbours = neighbours;
        seen.stationary = ctx.stationary;
        an.hist.push_back(std::move(seen));
        while (!an.hist.empty() && (an.hist.size() > OVK_CELL_HISTORY_MAX ||
                                    now - an.hist.front().time > OVK_CELL_WINDOW_MS))
            an.hist.pop_front();
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_CELL_ANOMALY, f.out.size() + 1, out);
    }
    return std::move(f.out);
}
