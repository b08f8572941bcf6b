// SPDX-License-Identifier: GPL-3.0-or-later
// Where a person clicks to pick from the toolkit's open lists: an entry of the open drop-down
// menu, an item of the open combo box, an entry of a pop-up (context) menu's top level. Each
// answer is a point in display coordinates, or nullopt when the entry is not on screen. For
// window tests that drive the interface with real input (xdotool). Header-only.
#pragma once

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "zq_gui_internal.h"

namespace ovk_test {

using SPOT = std::pair<float, float>;

// The middle of the open list's row `row` (counted from the first row shown).
inline std::optional<SPOT> open_list_row_spot(ZQ_GUI_CTX* ctx, int row) {
    ZQ_GUI_LIST_BOX box;
    if (!zq_gui_open_list_box(ctx, &box) || row < 0 || row >= box.shown) return std::nullopt;
    return SPOT{box.x + box.w / 2, box.y + 1 + (static_cast<float>(row) + 0.5f) * box.item_h};
}

// The entry of drop-down menu `menu` (open) that reads `text`.
inline std::optional<SPOT> dropmenu_entry_spot(ZQ_GUI_CTX* ctx, int menu, std::string_view text) {
    const auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(ctx, menu);
    if (!m || !zq_gui_menu_is_open(ctx)) return std::nullopt;
    const std::vector<int> vis = zq_gui_dropmenu_visible(*m);
    for (size_t row = 0; row < vis.size(); ++row)
        if (m->entries[static_cast<size_t>(vis[row])].text == text)
            return open_list_row_spot(ctx, static_cast<int>(row) - m->first);
    return std::nullopt;
}

// Item `item` of combo box `combo` (open).
inline std::optional<SPOT> combo_item_spot(ZQ_GUI_CTX* ctx, int combo, int item) {
    const auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(ctx, combo);
    if (!c || !zq_gui_menu_is_open(ctx)) return std::nullopt;
    return open_list_row_spot(ctx, item - c->first);
}

// The top-level entry of the open pop-up menu that reads `text`.
inline std::optional<SPOT> popup_entry_spot(const ZQ_GUI_POPUP* popup, std::string_view text) {
    if (!popup || popup->levels.empty()) return std::nullopt;
    const ZQ_GUI_POPUP_LEVEL& l = popup->levels.front();
    if (l.items.empty()) return std::nullopt;
    const float item_h = (l.h - l.title_h - 2) / static_cast<float>(l.items.size());
    for (size_t i = 0; i < l.items.size(); ++i)
        if (popup->entries[static_cast<size_t>(l.items[i])].text == text)
            return SPOT{l.x + l.w / 2,
                        l.y + 1 + l.title_h + (static_cast<float>(i) + 0.5f) * item_h};
    return std::nullopt;
}

}  // namespace ovk_test
