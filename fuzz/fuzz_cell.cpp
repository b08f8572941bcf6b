// SPDX-License-Identifier: GPL-3.0-or-later
// Cell analyzer over arbitrary report sequences: every field, time and context comes
// from the input; the analyzer must keep its history bounded and its texts within size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ovk_cell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto an = ovk_cell_analyzer_new();
    if (!an) return 0;
    static const char* const mccs[] = {"",    "001", "262", "310", "311",
                                       "312", "404", "405", "999", "31"};
    size_t i = 0;
    int64_t t = 0;
    while (i + 4 <= size) {
        OVK_CELL_CONTEXT ctx;
        t += static_cast<int64_t>(data[i]) * 7000 - 200000;
        ctx.time = t;
        ctx.sim_operator = mccs[data[i + 1] % 10];
        ctx.roaming = data[i + 1] >> 7;
        ctx.stationary = static_cast<int>(data[i + 2] % 3) - 1;
        const size_t n = data[i + 3] % 6;
        i += 4;
        std::vector<OVK_CELL> cells;
        for (size_t k = 0; k < n && i + 3 <= size; k++, i += 3) {
            OVK_CELL c;
            c.rat = static_cast<OVK_RAT>(static_cast<int>(data[i] % 8) - 1);
            c.registered = data[i] >> 7;
            c.mcc = mccs[data[i + 1] % 10];
            c.mnc = (data[i + 1] & 0x80) ? "01" : "";
            c.has_area = data[i + 2] & 1;
            c.area = data[i + 2] >> 1;
            c.has_cell_id = data[i + 2] & 2;
            c.cell_id = static_cast<int64_t>(data[i + 2]) << 40;
            cells.push_back(c);
        }
        auto out = ovk_cell_analyze(*an, cells, ctx, data[i - 1] % 5);
        if (out.size() > 4 || an->hist.size() > OVK_CELL_HISTORY_MAX) abort();
        for (const auto& a : out)
            if (a.key.size() > 95 || a.title.size() > 95 || a.detail.size() > 511) abort();
    }
    return 0;
}
