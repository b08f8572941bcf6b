// SPDX-License-Identifier: GPL-3.0-or-later
// Pop-up (context) menus: entries with tags and tips, sub-menus that open on hover,
// hidden entries and an optional title. A menu floats above every window; picking an
// entry closes it and reports the entry's tag.
//
// Index
//   1. Building
//   2. Layout
//   3. Input
//   4. Drawing
#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <cmath>

#include "zq_gui_internal.h"

// ---------------------------------------------------------------------------------------
// 1. Building
// ---------------------------------------------------------------------------------------

ZQ_GUI_POPUP* zq_gui_popup_new(ZQ_GUI_CTX* ctx, float scale, ZQ_GUI_PICK_FN on_pick, void* user) {
    if (!ctx) return nullptr;
    auto* p = new (std::nothrow) ZQ_GUI_POPUP;
    if (!p) return nullptr;
    p->ctx = ctx;
    p->serial = ctx->next_popup_serial++;
    p->scale = std::isfinite(scale) && scale > 0 ? scale : 1.0f;
    p->on_pick = on_pick;
    p->user = user;
    ctx->popups.push_back(p);
    return p;
}

int zq_gui_popup_add_item(ZQ_GUI_POPUP* p, int parent, std::string_view text, int tag,
                          std::string_view tip) {
    if (!p) return -1;
    if (parent < -1 || parent >= static_cast<int>(p->entries.size())) return -1;
    ZQ_GUI_POPUP_ENTRY e;
    e.text = zq_utf8_clean(text, SIZE_MAX);
    e.tag = tag;
    e.tip = zq_utf8_clean(tip, SIZE_MAX);
    e.parent = parent;
    p->entries.push_back(std::move(e));
    if (p->open) zq_gui_popup_layout(p);
    return static_cast<int>(p->entries.size()) - 1;
}

void zq_gui_popup_set_title(ZQ_GUI_POPUP* p, std::string_view title) {
    if (!p) return;
    p->title = zq_utf8_clean(title, SIZE_MAX);
    if (p->open) zq_gui_popup_layout(p);
}

void zq_gui_popup_set_shown(ZQ_GUI_POPUP* p, int entry, int shown) {
    if (!p || entry < 0 || entry >= static_cast<int>(p->entries.size())) return;
    p->entries[entry].shown = shown != 0;
    if (p->open) zq_gui_popup_layout(p);
}

void zq_gui_popup_open(ZQ_GUI_POPUP* p, float x, float y) {
    if (!p || !p->ctx) return;
    // One menu at a time.
    zq_gui_close_menus(p->ctx);
    zq_gui_drop_tooltip(p->ctx);
    p->open = true;
    p->levels.clear();
    ZQ_GUI_POPUP_LEVEL top;
    top.parent = -1;
    top.x = x;
    top.y = y;
    p->levels.push_back(top);
    p->hover_level = p->hover_item = -1;
    p->press_level = p->press_item = -1;
    p->keyed = false;
    zq_gui_popup_layout(p);
    p->ctx->dirty = true;
}

void zq_gui_popup_close(ZQ_GUI_POPUP* p) {
    if (!p || !p->open) return;
    p->open = false;
    p->levels.clear();
    if (p->ctx) {
        if (zq_gui_key_kind(p->ctx->held_key) == ZQ_GUI_KEY_POPUP &&
            zq_gui_key_a(p->ctx->held_key) == p->serial)
            p->ctx->held_key = 0;
        p->ctx->tip_from_popup = false;
        p->ctx->tip_text.clear();
        p->ctx->dirty = true;
    }
}

int zq_gui_popup_is_open(ZQ_GUI_POPUP* p) {
    return p && p->open ? 1 : 0;
}

int zq_gui_popup_hit(ZQ_GUI_POPUP* p, float x, float y) {
    if (!p || !p->open) return 0;
    for (const ZQ_GUI_POPUP_LEVEL& l : p->levels)
        if (x >= l.x && y >= l.y && x < l.x + l.w && y < l.y + l.h) return 1;
    return 0;
}

void zq_gui_popup_free(ZQ_GUI_POPUP** pp) {
    if (!pp || !*pp) return;
    ZQ_GUI_POPUP* p = *pp;
    zq_gui_popup_close(p);
    if (p->ctx) {
        auto& v = p->ctx->popups;
        v.erase(std::remove(v.begin(), v.end(), p), v.end());
    }
    delete p;
    *pp = nullptr;
}

bool zq_gui_any_popup_open(const ZQ_GUI_CTX* ctx) {
    for (const ZQ_GUI_POPUP* p : ctx->popups)
        if (p->open) return true;
    return false;
}

void zq_gui_close_popups(ZQ_GUI_CTX* ctx) {
    for (ZQ_GUI_POPUP* p : ctx->popups) zq_gui_popup_close(p);
}

// ---------------------------------------------------------------------------------------
// 2. Layout
// ---------------------------------------------------------------------------------------

namespace {

struct Metrics {
    float item_h, pad, arrow, title_h;
};

Metrics metrics(const ZQ_GUI_POPUP* p) {
    const float lh = zq_gui_line_h(p->ctx->font);
    Metrics m;
    m.item_h = std::round(lh + 10 * p->scale);
    m.pad = std::round(10 * p->scale);
    m.arrow = std::round(14 * p->scale);
    m.title_h = p->title.empty() ? 0 : std::round(lh + 12 * p->scale);
    return m;
}

bool has_children(const ZQ_GUI_POPUP* p, int entry) {
    for (const ZQ_GUI_POPUP_ENTRY& e : p->entries)
        if (e.parent == entry && e.shown) return true;
    return false;
}

}  // namespace

// Sizes each open level from its shown entries and keeps it on the display; a sub-menu
// sits beside its parent entry, on the left when there is no room on the right.
void zq_gui_popup_layout(ZQ_GUI_POPUP* p) {
    if (!p->ctx) return;
    const Metrics m = metrics(p);
    ALLEGRO_FONT* font = p->ctx->font;
    const float dw = p->ctx->disp_w, dh = p->ctx->disp_h;
    for (size_t li = 0; li < p->levels.size(); ++li) {
        ZQ_GUI_POPUP_LEVEL& l = p->levels[li];
        l.items.clear();
        float w = 0;
        bool arrows = false;
        for (int i = 0; i < static_cast<int>(p->entries.size()); ++i) {
            const ZQ_GUI_POPUP_ENTRY& e = p->entries[i];
            if (e.parent != l.parent || !e.shown) continue;
            l.items.push_back(i);
            w = std::max(w, zq_gui_text_w(font, e.text));
            arrows = arrows || has_children(p, i);
        }
        l.title_h = li == 0 ? m.title_h : 0;
        if (li == 0 && !p->title.empty()) w = std::max(w, zq_gui_text_w(font, p->title));
        l.w = std::ceil(w + 2 * m.pad + (arrows ? m.arrow : 0));
        l.w = std::max(l.w, 120 * p->scale);
        if (dw > 0) l.w = std::min(l.w, dw);
        l.h = l.title_h + m.item_h * static_cast<float>(l.items.size()) + 2;
        if (li > 0) {
            // Beside the parent entry of the level above.
            const ZQ_GUI_POPUP_LEVEL& up = p->levels[li - 1];
            const auto it = std::find(up.items.begin(), up.items.end(), l.parent);
            const float py =
                up.y + 1 + up.title_h +
                m.item_h * static_cast<float>(it == up.items.end() ? 0 : it - up.items.begin());
            l.x = up.x + up.w - 2;
            if (dw > 0 && l.x + l.w > dw) l.x = up.x - l.w + 2;
            l.y = py - 1;
        }
        if (dw > 0) l.x = std::clamp(l.x, 0.0f, std::max(0.0f, dw - l.w));
        if (dh > 0) l.y = std::clamp(l.y, 0.0f, std::max(0.0f, dh - l.h));
    }
    p->ctx->dirty = true;
}

// ---------------------------------------------------------------------------------------
// 3. Input
// ---------------------------------------------------------------------------------------

// Level and position of the entry at (x, y) in an open menu; false when there is none.
static bool entry_at(const ZQ_GUI_POPUP* p, float x, float y, int* level, int* pos) {
    if (!p->open || !p->ctx) return false;
    const Metrics m = metrics(p);
    for (int li = static_cast<int>(p->levels.size()) - 1; li >= 0; --li) {
        const ZQ_GUI_POPUP_LEVEL& l = p->levels[li];
        if (x < l.x || x >= l.x + l.w || y < l.y || y >= l.y + l.h) continue;
        const float rel = y - l.y - 1 - l.title_h;
        if (rel < 0) return false;
        const int i = static_cast<int>(rel / m.item_h);
        if (i < 0 || i >= static_cast<int>(l.items.size())) return false;
        *level = li;
        *pos = i;
        return true;
    }
    return false;
}

uint64_t zq_gui_popups_hit_key(ZQ_GUI_CTX* ctx, float x, float y, std::string* tip) {
    for (auto it = ctx->popups.rbegin(); it != ctx->popups.rend(); ++it) {
        ZQ_GUI_POPUP* p = *it;
        int level, pos;
        if (!entry_at(p, x, y, &level, &pos)) continue;
        if (tip) *tip = p->entries[p->levels[level].items[pos]].tip;
        return zq_gui_key(ZQ_GUI_KEY_POPUP, p->serial, (level << 16) | pos);
    }
    return 0;
}

// Hovering an entry closes the sub-menus below its level and opens its own.
static void hover_entry(ZQ_GUI_POPUP* p, int level, int pos) {
    if (p->keyed) p->ctx->dirty = true;
    p->keyed = false;
    if (p->hover_level == level && p->hover_item == pos) return;
    p->hover_level = level;
    p->hover_item = pos;
    const int entry = p->levels[level].items[pos];
    p->levels.resize(level + 1);
    if (has_children(p, entry)) {
        ZQ_GUI_POPUP_LEVEL sub;
        sub.parent = entry;
        p->levels.push_back(sub);
    }
    zq_gui_popup_layout(p);
}

bool zq_gui_popups_mouse(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev) {
    // Which open menu is under the pointer (the last opened first).
    ZQ_GUI_POPUP* on = nullptr;
    for (auto it = ctx->popups.rbegin(); it != ctx->popups.rend() && !on; ++it)
        if ((*it)->open && zq_gui_popup_hit(*it, ctx->mx, ctx->my)) on = *it;
    int level = -1, pos = -1;
    const bool on_entry = on && entry_at(on, ctx->mx, ctx->my, &level, &pos);
    const uint64_t key =
        on_entry ? zq_gui_key(ZQ_GUI_KEY_POPUP, on->serial, (level << 16) | pos) : 0;

    switch (ev->type) {
        case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
            if (!on) {
                // A press anywhere else closes the menus and is used up.
                zq_gui_close_menus(ctx);
                ctx->drag = ZQ_GUI_DRAG_SWALLOW;
                return true;
            }
            if (on_entry) {
                hover_entry(on, level, pos);
                zq_gui_behavior(ctx, key, true, ev);
            }
            return true;
        case ALLEGRO_EVENT_MOUSE_BUTTON_UP: {
            const uint64_t held = ctx->held_key;
            if (zq_gui_key_kind(held) != ZQ_GUI_KEY_POPUP) return on != nullptr;
            ZQ_GUI_POPUP* owner = nullptr;
            for (ZQ_GUI_POPUP* p : ctx->popups)
                if (p->serial == zq_gui_key_a(held)) owner = p;
            if (!(zq_gui_behavior(ctx, held, key == held, ev) & ZQ_GUI_BH_CLICKED) || !owner)
                return true;
            const int hl = zq_gui_key_b(held) >> 16, hp = zq_gui_key_b(held) & 0xFFFF;
            if (hl >= static_cast<int>(owner->levels.size()) ||
                hp >= static_cast<int>(owner->levels[hl].items.size()))
                return true;
            const int entry = owner->levels[hl].items[hp];
            if (has_children(owner, entry)) return true;  // opens its sub-menu, picks nothing
            const int tag = owner->entries[entry].tag;
            zq_gui_popup_close(owner);
            if (owner->on_pick) owner->on_pick(owner, tag, owner->user);
            return true;
        }
        default:
            if (on_entry) hover_entry(on, level, pos);
            return on != nullptr;
    }
}

// The keyboard highlights position `pos` of open level `level` and closes the sub-menus
// below it; a sub-menu opens only on Right, Enter or Space.
static void key_highlight(ZQ_GUI_POPUP* p, int level, int pos) {
    p->keyed = true;
    p->hover_level = level;
    p->hover_item = pos;
    if (static_cast<int>(p->levels.size()) > level + 1) {
        p->levels.resize(level + 1);
        zq_gui_popup_layout(p);
    }
    p->ctx->dirty = true;
}

void zq_gui_popups_key(ZQ_GUI_CTX* ctx, const ALLEGRO_KEYBOARD_EVENT& k) {
    ZQ_GUI_POPUP* p = nullptr;
    for (auto it = ctx->popups.rbegin(); it != ctx->popups.rend() && !p; ++it)
        if ((*it)->open && !(*it)->levels.empty()) p = *it;
    if (!p) return;
    if (k.keycode == ALLEGRO_KEY_ESCAPE) {
        zq_gui_close_menus(ctx);
        return;
    }
    const int deepest = static_cast<int>(p->levels.size()) - 1;
    // The level the keys work on: the highlighted entry's, else the deepest open one.
    const int level = p->hover_level >= 0 && p->hover_level <= deepest ? p->hover_level : deepest;
    const int n = static_cast<int>(p->levels[level].items.size());
    const int pos = level == p->hover_level && p->hover_item < n ? p->hover_item : -1;
    const auto open_sub = [&](int at) {
        const int entry = p->levels[level].items[at];
        if (!has_children(p, entry)) return false;
        p->levels.resize(level + 1);
        ZQ_GUI_POPUP_LEVEL sub;
        sub.parent = entry;
        p->levels.push_back(sub);
        zq_gui_popup_layout(p);
        if (p->levels[level + 1].items.empty()) return true;
        key_highlight(p, level + 1, 0);
        return true;
    };
    switch (k.keycode) {
        case ALLEGRO_KEY_DOWN:
            if (n > 0) key_highlight(p, level, pos < 0 ? 0 : (pos + 1) % n);
            break;
        case ALLEGRO_KEY_UP:
            if (n > 0) key_highlight(p, level, pos < 0 ? n - 1 : (pos + n - 1) % n);
            break;
        case ALLEGRO_KEY_HOME:
        case ALLEGRO_KEY_PGUP:
            if (n > 0) key_highlight(p, level, 0);
            break;
        case ALLEGRO_KEY_END:
        case ALLEGRO_KEY_PGDN:
            if (n > 0) key_highlight(p, level, n - 1);
            break;
        case ALLEGRO_KEY_RIGHT:
            if (pos >= 0) open_sub(pos);
            break;
        case ALLEGRO_KEY_LEFT:
            // Back to the entry whose sub-menu this is.
            if (level > 0) {
                const int parent = p->levels[level].parent;
                const std::vector<int>& up = p->levels[level - 1].items;
                const auto it = std::find(up.begin(), up.end(), parent);
                const int at = it == up.end() ? 0 : static_cast<int>(it - up.begin());
                key_highlight(p, level - 1, at);
            }
            break;
        case ALLEGRO_KEY_ENTER:
        case ALLEGRO_KEY_PAD_ENTER:
        case ALLEGRO_KEY_SPACE: {
            if (pos < 0 || k.repeat) break;
            if (open_sub(pos)) break;
            const int tag = p->entries[p->levels[level].items[pos]].tag;
            zq_gui_popup_close(p);
            if (p->on_pick) p->on_pick(p, tag, p->user);
            break;
        }
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------
// 4. Drawing
// ---------------------------------------------------------------------------------------

static void draw_level(ZQ_GUI_CTX* ctx, const ZQ_GUI_POPUP* p, int li, const Metrics& m) {
    const ZQ_GUI_POPUP_LEVEL& l = p->levels[li];
    const ZQ_GUI_THEME& th = ctx->theme;
    ALLEGRO_FONT* font = ctx->font;
    const float lh = zq_gui_line_h(font);
    const float r = std::min(th.corner_rx, 6.0f);
    zq_gui_fill_box(ctx, l.x + 3, l.y + 4, l.w, l.h, r, r, al_map_rgba(0, 0, 0, 70));
    zq_gui_fill_box(ctx, l.x, l.y, l.w, l.h, r, r, th.bg_normal);
    // Highlight: the hovered entry, and the entries whose sub-menus are open.
    for (int i = 0; i < static_cast<int>(l.items.size()); ++i) {
        const int entry = l.items[i];
        const float y = l.y + 1 + l.title_h + m.item_h * static_cast<float>(i);
        const uint64_t key = zq_gui_key(ZQ_GUI_KEY_POPUP, p->serial, (li << 16) | i);
        const bool open_parent =
            li + 1 < static_cast<int>(p->levels.size()) && p->levels[li + 1].parent == entry;
        // The keyboard's highlight, once it moved, stands for the pointer's.
        const bool lit =
            p->keyed ? li == p->hover_level && i == p->hover_item : zq_gui_is_hot(ctx, key);
        if (zq_gui_is_held(ctx, key))
            al_draw_filled_rectangle(l.x + 1, y, l.x + l.w - 1, y + m.item_h, th.bg_active);
        else if (lit || open_parent)
            al_draw_filled_rectangle(l.x + 1, y, l.x + l.w - 1, y + m.item_h, th.bg_hover);
        if (has_children(p, entry)) {
            const float ax = l.x + l.w - m.pad - m.arrow / 3, ay = y + m.item_h / 2,
                        s = m.arrow / 4;
            al_draw_filled_triangle(ax - s, ay - s, ax - s, ay + s, ax + s / 2, ay, th.text_normal);
        }
    }
    if (l.title_h > 0) {
        al_draw_filled_rectangle(l.x + 1, l.y + 1, l.x + l.w - 1, l.y + l.title_h, th.bg_hover);
        al_draw_line(l.x + 1, l.y + l.title_h + 0.5f, l.x + l.w - 1, l.y + l.title_h + 0.5f,
                     th.border_normal, 1);
    }
    al_hold_bitmap_drawing(true);
    if (l.title_h > 0)
        zq_gui_text_draw(font, th.text_hover, l.x + m.pad, std::round(l.y + (l.title_h - lh) / 2),
                         zq_gui_text_shorten(font, p->title, l.w - 2 * m.pad));
    for (int i = 0; i < static_cast<int>(l.items.size()); ++i) {
        const int entry = l.items[i];
        const ZQ_GUI_POPUP_ENTRY& e = p->entries[entry];
        const float y = l.y + 1 + l.title_h + m.item_h * static_cast<float>(i);
        const float room = l.w - 2 * m.pad - (has_children(p, entry) ? m.arrow : 0);
        zq_gui_text_draw(font, th.text_normal, l.x + m.pad, std::round(y + (m.item_h - lh) / 2),
                         zq_gui_text_shorten(font, e.text, room));
    }
    al_hold_bitmap_drawing(false);
    zq_gui_frame_box(ctx, l.x, l.y, l.w, l.h, r, r, th.border_hover, 1);
}

void zq_gui_popups_draw(ZQ_GUI_CTX* ctx) {
    for (ZQ_GUI_POPUP* p : ctx->popups) {
        if (!p->open) continue;
        const Metrics m = metrics(p);
        for (int li = 0; li < static_cast<int>(p->levels.size()); ++li) draw_level(ctx, p, li, m);
    }
}
