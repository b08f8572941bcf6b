// SPDX-License-Identifier: GPL-3.0-or-later
// Event routing: which window and widget an Allegro event is for, the one behaviour
// routine every clickable thing shares, and what each widget kind does with the mouse
// and the keyboard.
//
// Index
//   1. Behaviour of clickable things
//   2. Hit testing
//   3. Hover and tooltips
//   4. Mouse: press
//   5. Mouse: release
//   6. Mouse: motion and wheel
//   7. Keyboard
//   8. Entry point and redraw tracking
#include <allegro5/allegro.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "zq_gui_internal.h"

namespace {

constexpr double kDoubleClickS = 0.4;
constexpr double kCaretBlinkS = 0.53;

}  // namespace

// ---------------------------------------------------------------------------------------
// 1. Behaviour of clickable things
// ---------------------------------------------------------------------------------------

// One routine decides hover, hold and click for buttons, toggles, checkboxes, title-bar
// buttons, radio items and menu entries:
//
//   event          | state before        | result
//   ---------------+---------------------+---------------------------------------------
//   any            | pointer on it       | HOVERED
//   button down    | pointer on it       | PRESSED | HELD; it holds the mouse
//   pointer moves  | it holds the mouse  | HELD (drawn pressed only while on it)
//   button up      | it holds, on it     | CLICKED; it lets go
//   button up      | it holds, off it    | nothing; it lets go
//
// While held, the pointer going farther than the style's drag threshold (either way) from
// where it went down makes the press a drag (DRAGGED, to the release); a release without
// a drag after the style's long-press time is LONG. Times are the events' own, so a busy
// frame does not turn a long press into a short one.
//
// Only the left button clicks. A second button going down while one is held changes
// nothing.
int zq_gui_behavior(ZQ_GUI_CTX* ctx, uint64_t key, bool inside, const ALLEGRO_EVENT* ev) {
    int r = inside ? ZQ_GUI_BH_HOVERED : 0;
    switch (ev->type) {
        case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
            if (inside && ev->mouse.button == 1 && ctx->held_key == 0) {
                ctx->held_key = key;
                ctx->held_button = 1;
                ctx->press_x = static_cast<float>(ev->mouse.x);
                ctx->press_y = static_cast<float>(ev->mouse.y);
                ctx->press_t = ev->any.timestamp;
                ctx->press_dragged = false;
                ctx->dirty = true;
                r |= ZQ_GUI_BH_PRESSED | ZQ_GUI_BH_HELD;
            }
            break;
        case ALLEGRO_EVENT_MOUSE_BUTTON_UP:
            if (ctx->held_key == key && static_cast<int>(ev->mouse.button) == ctx->held_button) {
                ctx->held_key = 0;
                ctx->held_button = 0;
                ctx->dirty = true;
                if (inside) r |= ZQ_GUI_BH_CLICKED;
                if (ctx->press_dragged)
                    r |= ZQ_GUI_BH_DRAGGED;
                else if (ev->any.timestamp - ctx->press_t >= ctx->style.long_press)
                    r |= ZQ_GUI_BH_LONG;
                ctx->press_dragged = false;
            }
            break;
        default:
            if (ctx->held_key == key) {
                r |= ZQ_GUI_BH_HELD;
                const float t = ctx->style.drag_threshold;
                if (ctx->held_button == 1 && !ctx->press_dragged &&
                    (std::fabs(ctx->mx - ctx->press_x) > t ||
                     std::fabs(ctx->my - ctx->press_y) > t))
                    ctx->press_dragged = true;
                if (ctx->press_dragged) r |= ZQ_GUI_BH_DRAGGED;
            }
            break;
    }
    return r;
}

int zq_gui_held_widget(const ZQ_GUI_CTX* ctx) {
    return zq_gui_key_kind(ctx->held_key) == ZQ_GUI_KEY_WIDGET ? zq_gui_key_a(ctx->held_key) : -1;
}

bool zq_gui_is_hot(const ZQ_GUI_CTX* ctx, uint64_t key) {
    return ctx->hot_key == key && (ctx->held_key == 0 || ctx->held_key == key);
}

bool zq_gui_is_held(const ZQ_GUI_CTX* ctx, uint64_t key) {
    return ctx->held_key == key && ctx->hot_key == key;
}

void zq_gui_on_widget_removed(ZQ_GUI_CTX* ctx, int id) {
    if (ctx->focus == id) ctx->focus = -1;
    if (ctx->hot == id) ctx->hot = -1;
    for (uint64_t* key : {&ctx->hot_key, &ctx->held_key}) {
        const ZQ_GUI_KEY_KIND k = zq_gui_key_kind(*key);
        if ((k == ZQ_GUI_KEY_WIDGET || k == ZQ_GUI_KEY_ITEM) && zq_gui_key_a(*key) == id) {
            if (key == &ctx->held_key && ctx->drag == ZQ_GUI_DRAG_WIDGET)
                ctx->drag = ZQ_GUI_DRAG_NONE;
            *key = 0;
        }
    }
    if (ctx->open_list == id) ctx->open_list = -1;
    if (ctx->tip_widget == id) {
        ctx->tip_widget = -1;
        ctx->tip_shown = false;
    }
    if (ctx->last_click_widget == id) ctx->last_click_widget = -1;
}

// ---------------------------------------------------------------------------------------
// 2. Hit testing
// ---------------------------------------------------------------------------------------

static bool inside(float px, float py, float x, float y, float w, float h) {
    return px >= x && py >= y && px < x + w && py < y + h;
}

static float shown_h(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w) {
    return w.state == ZQ_GUI_WIN_MINIMIZED ? zq_gui_titlebar_h(ctx, w) : w.h;
}

// The top-most open window under the point.
static ZQ_GUI_WIN_REC* window_at(ZQ_GUI_CTX* ctx, float x, float y) {
    for (auto it = ctx->windows.rbegin(); it != ctx->windows.rend(); ++it) {
        const ZQ_GUI_WINDOW& w = (*it)->pub;
        if (w.open && inside(x, y, w.x, w.y, w.w, shown_h(ctx, w))) return it->get();
    }
    return nullptr;
}

// The top-most visible widget of the window under the point (inside the client area).
static ZQ_GUI_WIDGET* widget_at(ZQ_GUI_CTX* ctx, ZQ_GUI_WIN_REC* rec, float x, float y) {
    if (!rec || rec->pub.state == ZQ_GUI_WIN_MINIMIZED) return nullptr;
    float cx, cy, cw, ch;
    zq_gui_client_rect(ctx, rec->pub, &cx, &cy, &cw, &ch);
    if (!inside(x, y, cx, cy, cw, ch)) return nullptr;
    const auto& ids = rec->pub.widgets;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
        ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, *it);
        if (!wd || !wd->visible) continue;
        float wx, wy, ww, wh;
        zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
        if (inside(x, y, wx, wy, ww, wh)) return wd;
    }
    return nullptr;
}

static ZQ_GUI_TB_BUTTON title_button_at(ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, float x, float y) {
    for (ZQ_GUI_TB_BUTTON b : {ZQ_GUI_TB_CLOSE, ZQ_GUI_TB_MAXIMIZE, ZQ_GUI_TB_MINIMIZE}) {
        float bx, by, s;
        if (zq_gui_tb_button_rect(ctx, w, b, &bx, &by, &s) && inside(x, y, bx, by, s, s)) return b;
    }
    return ZQ_GUI_TB_NONE;
}

static bool widget_contains(ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd, float x, float y) {
    float wx, wy, ww, wh;
    return zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh) && inside(x, y, wx, wy, ww, wh);
}

// Radio item under the point, or -1.
static int radio_item_at(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, const ZQ_GUI_RADIO_DATA& r, float x,
                         float y) {
    float wx, wy, ww, wh;
    if (!zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh) || !inside(x, y, wx, wy, ww, wh))
        return -1;
    const int i = static_cast<int>((y - wy) / zq_gui_radio_item_h(ctx, wd));
    return i >= 0 && i < static_cast<int>(r.items.size()) ? i : -1;
}

// Entry of the open list under the point (index into the combobox items or the drop-down
// menu's entries), or -1.
static int list_item_at(ZQ_GUI_CTX* ctx, float x, float y, bool* in_box) {
    ZQ_GUI_LIST_BOX box;
    *in_box = false;
    if (!zq_gui_open_list_box(ctx, &box) || !inside(x, y, box.x, box.y, box.w, box.h)) return -1;
    *in_box = true;
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->open_list);
    const int row = static_cast<int>((y - box.y - 1) / box.item_h);
    if (row < 0 || row >= box.shown) return -1;
    if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd)) {
        const int i = c->first + row;
        return i < static_cast<int>(c->items.size()) ? i : -1;
    }
    if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        const std::vector<int> vis = zq_gui_dropmenu_visible(*m);
        const int i = m->first + row;
        return i < static_cast<int>(vis.size()) ? vis[i] : -1;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------
// 3. Hover and tooltips
// ---------------------------------------------------------------------------------------

// Works out the hot key and hot widget at the pointer; a change asks for a redraw and
// restarts the tooltip delay.
static void update_hover(ZQ_GUI_CTX* ctx) {
    const float x = ctx->mx, y = ctx->my;
    uint64_t key = 0;
    int widget = -1;
    std::string popup_tip;
    bool on_menu = false;
    if (zq_gui_any_popup_open(ctx)) {
        key = zq_gui_popups_hit_key(ctx, x, y, &popup_tip);
        on_menu = key != 0 || [&] {
            for (ZQ_GUI_POPUP* p : ctx->popups)
                if (p->open && zq_gui_popup_hit(p, x, y)) return true;
            return false;
        }();
    }
    if (!on_menu && ctx->open_list >= 0) {
        bool in_box;
        const int item = list_item_at(ctx, x, y, &in_box);
        if (item >= 0) key = zq_gui_key(ZQ_GUI_KEY_ITEM, ctx->open_list, item);
        on_menu = in_box;
        // Keep the keyboard's choice visible while the pointer is elsewhere.
        if (item >= 0) {
            ZQ_GUI_WIDGET* lw = zq_gui_find_widget(ctx, ctx->open_list);
            if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(lw)) {
                if (c->hover != item) ctx->dirty = true;
                c->hover = item;
            } else if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(lw)) {
                if (m->hover != item) ctx->dirty = true;
                m->hover = item;
            }
        }
    }
    if (!on_menu && ctx->mouse_in) {
        if (ZQ_GUI_WIN_REC* rec = window_at(ctx, x, y)) {
            const ZQ_GUI_WINDOW& w = rec->pub;
            const ZQ_GUI_TB_BUTTON b = title_button_at(ctx, w, x, y);
            if (b != ZQ_GUI_TB_NONE) {
                key = zq_gui_key(ZQ_GUI_KEY_TITLE_BUTTON, w.id, b);
            } else if (ZQ_GUI_WIDGET* wd = widget_at(ctx, rec, x, y)) {
                widget = wd->id;
                key = zq_gui_key(ZQ_GUI_KEY_WIDGET, wd->id);
                if (auto* r = zq_gui_data<ZQ_GUI_RADIO_DATA>(wd)) {
                    const int item = radio_item_at(ctx, wd, *r, x, y);
                    if (item >= 0) key = zq_gui_key(ZQ_GUI_KEY_ITEM, wd->id, item);
                }
            }
        }
    }
    if (key != ctx->hot_key) {
        ctx->hot_key = key;
        ctx->dirty = true;
    }
    const int tip_widget =
        widget >= 0 && !zq_gui_find_widget(ctx, widget)->tooltip.empty() ? widget : -1;
    const bool tip_changed =
        tip_widget != ctx->tip_widget || popup_tip != ctx->tip_text || (widget != ctx->hot);
    ctx->hot = widget;
    if (tip_changed) {
        if (ctx->tip_shown) ctx->dirty = true;
        ctx->tip_widget = tip_widget;
        ctx->tip_text = popup_tip;
        ctx->tip_from_popup = !popup_tip.empty();
        ctx->tip_shown = false;
        ctx->hover_since = al_get_time();
    }
}

// ---------------------------------------------------------------------------------------
// 4. Mouse: press
// ---------------------------------------------------------------------------------------

static ZQ_GUI_MOUSE_EVENT custom_event(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, int type,
                                       const ALLEGRO_EVENT* ev) {
    ZQ_GUI_MOUSE_EVENT me;
    me.type = type;
    float wx = 0, wy = 0, ww, wh;
    zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
    me.x = ctx->mx - wx;
    me.y = ctx->my - wy;
    if (type == ZQ_GUI_MOUSE_DOWN || type == ZQ_GUI_MOUSE_UP)
        me.button = static_cast<int>(ev->mouse.button);
    if (type == ZQ_GUI_MOUSE_WHEEL) me.dz = ev->mouse.dz;
    me.modifiers = ctx->key_mods;
    me.time = ev ? ev->any.timestamp : 0;
    return me;
}

// `bh`: what the behaviour routine said of the event, for a press the widget holds.
static int call_custom(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, int type, const ALLEGRO_EVENT* ev,
                       int bh = 0) {
    auto* cd = zq_gui_data<ZQ_GUI_CUSTOM_DATA>(wd);
    if (!cd || !cd->on_mouse) return 0;
    ZQ_GUI_MOUSE_EVENT me = custom_event(ctx, wd, type, ev);
    if (bh & (ZQ_GUI_BH_HELD | ZQ_GUI_BH_CLICKED | ZQ_GUI_BH_DRAGGED | ZQ_GUI_BH_LONG)) {
        me.press_x = me.x - (ctx->mx - ctx->press_x);
        me.press_y = me.y - (ctx->my - ctx->press_y);
        me.dragging = (bh & ZQ_GUI_BH_DRAGGED) != 0;
        if (type == ZQ_GUI_MOUSE_UP && (bh & ZQ_GUI_BH_CLICKED) && !me.dragging) {
            me.long_press = (bh & ZQ_GUI_BH_LONG) != 0;
            me.tap = !me.long_press;
        }
    }
    const int used = cd->on_mouse(wd->id, &me, cd->mouse_user);
    if (used) ctx->dirty = true;
    return used;
}

static void slider_set_from_x(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_SLIDER_DATA& s) {
    float wx, wy, ww, wh;
    zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
    const float knob = wh * 0.6f;
    const float value_w = s.show_value ? std::min(ww * 0.3f, 56.0f) : 0.0f;
    const float track_w = std::max(1.0f, ww - value_w - knob);
    const float t = std::clamp((ctx->mx - wx - knob / 2) / track_w, 0.0f, 1.0f);
    float v = s.min + t * (s.max - s.min);
    if (s.step > 0) v = s.min + std::round((v - s.min) / s.step) * s.step;
    v = std::clamp(v, s.min, s.max);
    if (v != s.value) {
        s.value = v;
        ctx->dirty = true;
        if (s.on_change) s.on_change(wd->id, v, s.user);
    }
}

static void grid_select(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_GRID_DATA& g, int row) {
    if (g.rows.empty()) return;
    row = std::clamp(row, 0, static_cast<int>(g.rows.size()) - 1);
    const int id = wd->id;
    zq_gui_datagrid_scroll_to_row(ctx, id, row);
    if (row == g.selected) return;
    g.selected = row;
    ctx->dirty = true;
    if (g.on_select) g.on_select(id, row, g.user);
}

// Scroll bar of a grid or markdown view at the right edge of the widget: true when the
// press was on it (the thumb starts a drag, the track pages).
static bool inner_bar_press(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, float body_y, float body_h,
                            float content_h, float* scroll, bool* thumb_drag, float* grab) {
    float wx, wy, ww, wh;
    zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
    const float bar = ctx->style.scrollbar_size;
    if (content_h <= body_h || ctx->mx < wx + ww - bar) return false;
    const float ty = wy + body_y;
    const float thumb_h = std::clamp(body_h * body_h / content_h, bar * 1.5f, body_h);
    const float max_scroll = content_h - body_h;
    const float thumb_y = ty + (body_h - thumb_h) * (*scroll / max_scroll);
    if (ctx->my >= thumb_y && ctx->my < thumb_y + thumb_h) {
        *thumb_drag = true;
        *grab = ctx->my - thumb_y;
    } else if (ctx->my >= ty) {
        *scroll += (ctx->my < thumb_y ? -1.0f : 1.0f) * body_h * 0.9f;
        *scroll = std::clamp(*scroll, 0.0f, max_scroll);
    }
    ctx->dirty = true;
    return true;
}

static void inner_bar_drag(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, float body_y, float body_h,
                           float content_h, float* scroll, float grab) {
    float wx, wy, ww, wh;
    zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
    const float bar = ctx->style.scrollbar_size;
    if (content_h <= body_h) return;
    const float thumb_h = std::clamp(body_h * body_h / content_h, bar * 1.5f, body_h);
    const float room = body_h - thumb_h;
    const float t = room > 0 ? (ctx->my - grab - (wy + body_y)) / room : 0;
    *scroll = std::clamp(t, 0.0f, 1.0f) * (content_h - body_h);
    ctx->dirty = true;
}

static void textarea_press(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t,
                           const ALLEGRO_EVENT* ev) {
    zq_gui_set_focus(ctx, wd->id);
    float wx, wy, ww, wh;
    zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
    const size_t at = zq_gui_textarea_hit(ctx, wd, t, ctx->mx - wx, ctx->my - wy);
    const double now = al_get_time();
    const bool dbl = ctx->last_click_widget == wd->id && now - ctx->last_click_t < kDoubleClickS &&
                     std::fabs(ctx->mx - ctx->last_click_x) <= 4 &&
                     std::fabs(ctx->my - ctx->last_click_y) <= 4;
    ctx->last_click_widget = wd->id;
    ctx->last_click_x = ctx->mx;
    ctx->last_click_y = ctx->my;
    ctx->last_click_t = dbl ? -1 : now;
    if (dbl) {
        // Double click: the word (or run of blanks) around the point.
        const auto word = [&](size_t i) {
            const unsigned char c = static_cast<unsigned char>(t.text[i]);
            return c >= 0x80 || std::isalnum(c) || c == '_';
        };
        size_t a = at, b = at;
        const bool w = at < t.text.size() ? word(at) : (at > 0 && word(at - 1));
        while (a > 0 && word(a - 1) == w && t.text[a - 1] != '\n') a = zq_utf8_prev(t.text, a);
        while (b < t.text.size() && word(b) == w && t.text[b] != '\n') b = zq_utf8_next(t.text, b);
        t.anchor = a;
        t.caret = b;
    } else {
        t.caret = at;
        // Shift+click extends the selection from where it was.
        if (!(ctx->key_mods & ALLEGRO_KEYMOD_SHIFT)) t.anchor = at;
    }
    t.goal_x = -1;
    t.selecting = ev->mouse.button == 1;
    ctx->caret_epoch = now;
    ctx->dirty = true;
}

static void open_list(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd) {
    ctx->open_list = wd->id;
    zq_gui_drop_tooltip(ctx);
    ZQ_GUI_LIST_BOX box;
    if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd)) {
        c->hover = c->selected;
        zq_gui_open_list_box(ctx, &box);
        c->first = std::clamp(c->selected - box.shown / 2, 0, std::max(0, box.count - box.shown));
    } else if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        m->hover = -1;
        m->first = 0;
    }
    ctx->dirty = true;
}

static void widget_press(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, const ALLEGRO_EVENT* ev) {
    const uint64_t key = zq_gui_key(ZQ_GUI_KEY_WIDGET, wd->id);
    const bool left = ev->mouse.button == 1;
    switch (wd->type) {
        case ZQ_GUI_LABEL:
            break;
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
        case ZQ_GUI_CHECKBOX:
            zq_gui_behavior(ctx, key, true, ev);
            break;
        case ZQ_GUI_SLIDER:
            if (!left) break;
            zq_gui_set_focus(ctx, wd->id);
            zq_gui_behavior(ctx, key, true, ev);
            ctx->drag = ZQ_GUI_DRAG_WIDGET;
            slider_set_from_x(ctx, wd, *zq_gui_data<ZQ_GUI_SLIDER_DATA>(wd));
            break;
        case ZQ_GUI_TEXTAREA: {
            auto& t = *zq_gui_data<ZQ_GUI_TEXT_DATA>(wd);
            textarea_press(ctx, wd, t, ev);
            if (left) {
                zq_gui_behavior(ctx, key, true, ev);
                ctx->drag = ZQ_GUI_DRAG_WIDGET;
                if (t.caret != t.anchor) zq_gui_textarea_publish_selection(t);  // double click
            } else if (ev->mouse.button == 3) {
                zq_gui_textarea_paste(ctx, wd, t, ZQ_CLIPBOARD_PRIMARY);
            }
            break;
        }
        case ZQ_GUI_COMBOBOX:
        case ZQ_GUI_DROPMENU:
            if (!left) break;
            zq_gui_set_focus(ctx, wd->id);
            if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd); m && m->on_open) {
                const int id = wd->id;
                m->on_open(id, m->user);
                wd = zq_gui_find_widget(ctx, id);  // the screen may have rebuilt things
                if (!wd) break;
            }
            open_list(ctx, wd);
            // The press opened the list; its release picks nothing.
            ctx->drag = ZQ_GUI_DRAG_SWALLOW;
            break;
        case ZQ_GUI_RADIOLIST: {
            auto& r = *zq_gui_data<ZQ_GUI_RADIO_DATA>(wd);
            const int item = radio_item_at(ctx, wd, r, ctx->mx, ctx->my);
            zq_gui_set_focus(ctx, wd->id);
            if (item >= 0)
                zq_gui_behavior(ctx, zq_gui_key(ZQ_GUI_KEY_ITEM, wd->id, item), true, ev);
            break;
        }
        case ZQ_GUI_DATAGRID: {
            auto& g = *zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
            zq_gui_set_focus(ctx, wd->id);
            if (!left) break;
            const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(ctx, wd, g);
            const float content = geom.row_h * static_cast<float>(g.rows.size());
            if (inner_bar_press(ctx, wd, geom.body_y, geom.body_h, content, &g.scroll_y,
                                &g.thumb_drag, &g.thumb_grab)) {
                zq_gui_behavior(ctx, key, true, ev);
                ctx->drag = ZQ_GUI_DRAG_WIDGET;
                break;
            }
            float wx, wy, ww, wh;
            zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
            const float by = ctx->my - wy - geom.body_y;
            if (by < 0) break;  // header
            const int row = static_cast<int>((by + g.scroll_y) / geom.row_h);
            if (row >= 0 && row < static_cast<int>(g.rows.size())) grid_select(ctx, wd, g, row);
            break;
        }
        case ZQ_GUI_MARKDOWNVIEW: {
            auto& m = *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
            if (!left) break;
            zq_gui_mdview_layout(ctx, wd, m);
            const float max_scroll = zq_gui_mdview_max_scroll(ctx, wd, m);
            zq_gui_behavior(ctx, key, true, ev);
            if (inner_bar_press(ctx, wd, 0, wd->h, wd->h + max_scroll, &m.scroll_y, &m.thumb_drag,
                                &m.thumb_grab)) {
                ctx->drag = ZQ_GUI_DRAG_WIDGET;
                break;
            }
            m.press_url = m.hover_url;
            break;
        }
        case ZQ_GUI_CUSTOM: {
            // A custom widget has the mouse from its press to the release, whatever button;
            // the behaviour routine follows a left press (drag, tap, long press).
            int bh = 0;
            if (ctx->held_key == 0) {
                if (left) {
                    bh = zq_gui_behavior(ctx, key, true, ev);
                } else {
                    ctx->held_key = key;
                    ctx->held_button = static_cast<int>(ev->mouse.button);
                }
                ctx->drag = ZQ_GUI_DRAG_WIDGET;
            }
            call_custom(ctx, wd, ZQ_GUI_MOUSE_DOWN, ev, bh);
            break;
        }
    }
}

// Lets go of whatever the mouse held (its release never came).
static void drop_hold(ZQ_GUI_CTX* ctx) {
    if (auto* t = zq_gui_data<ZQ_GUI_TEXT_DATA>(ctx, zq_gui_held_widget(ctx))) t->selecting = false;
    ctx->held_key = 0;
    ctx->held_button = 0;
    ctx->drag = ZQ_GUI_DRAG_NONE;
    ctx->drag_window = -1;
}

static int mouse_down(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev) {
    const int button = static_cast<int>(ev->mouse.button);
    if ((ctx->held_key != 0 || ctx->drag != ZQ_GUI_DRAG_NONE) && button == ctx->press_button) {
        // The same button again: its release went missing (it happened elsewhere).
        drop_hold(ctx);
    }
    if (ctx->held_key != 0 || ctx->drag != ZQ_GUI_DRAG_NONE) {
        // Another button while one is held: a custom widget that has the mouse sees it.
        const int held = zq_gui_held_widget(ctx);
        if (ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, held); wd && wd->type == ZQ_GUI_CUSTOM)
            call_custom(ctx, wd, ZQ_GUI_MOUSE_DOWN, ev);
        return 1;
    }
    ctx->press_button = button;
    // The pointer is in use: the focus ring waits for the keyboard again.
    if (ctx->focus_ring) {
        ctx->focus_ring = false;
        ctx->dirty = true;
    }
    // Menus first: a press on them is theirs, a press elsewhere closes them.
    if (zq_gui_any_popup_open(ctx)) {
        if (zq_gui_popups_mouse(ctx, ev)) return 1;
    }
    if (ctx->open_list >= 0) {
        bool in_box;
        const int item = list_item_at(ctx, ctx->mx, ctx->my, &in_box);
        if (in_box) {
            if (item >= 0)
                zq_gui_behavior(ctx, zq_gui_key(ZQ_GUI_KEY_ITEM, ctx->open_list, item), true, ev);
            return 1;
        }
        ctx->open_list = -1;
        ctx->drag = ZQ_GUI_DRAG_SWALLOW;
        ctx->dirty = true;
        return 1;
    }

    ZQ_GUI_WIN_REC* rec = window_at(ctx, ctx->mx, ctx->my);
    if (!rec) {
        zq_gui_set_focus(ctx, -1);
        return 0;
    }
    const int win_id = rec->pub.id;
    if (ctx->windows.back().get() != rec) zq_gui_raise(ctx, rec);
    rec = zq_gui_find_window(ctx, win_id);
    ZQ_GUI_WINDOW& w = rec->pub;

    // Title bar: its buttons, else a drag of the window.
    const float tb = zq_gui_titlebar_h(ctx, w);
    if (tb > 0 && ctx->my < w.y + tb) {
        const ZQ_GUI_TB_BUTTON b = title_button_at(ctx, w, ctx->mx, ctx->my);
        if (b != ZQ_GUI_TB_NONE) {
            zq_gui_behavior(ctx, zq_gui_key(ZQ_GUI_KEY_TITLE_BUTTON, w.id, b), true, ev);
        } else if (ev->mouse.button == 1 && w.state != ZQ_GUI_WIN_MAXIMIZED) {
            ctx->drag = ZQ_GUI_DRAG_WINDOW_MOVE;
            ctx->drag_window = w.id;
            ctx->drag_dx = ctx->mx - w.x;
            ctx->drag_dy = ctx->my - w.y;
        }
        return 1;
    }

    // Window scroll bar: the thumb drags, the track pages.
    float tx, ty, tw, th, thumb_y, thumb_h;
    if (zq_gui_window_scrollbar(ctx, w, &tx, &ty, &tw, &th, &thumb_y, &thumb_h) &&
        inside(ctx->mx, ctx->my, tx, ty, tw, th)) {
        if (ctx->my >= thumb_y && ctx->my < thumb_y + thumb_h) {
            ctx->drag = ZQ_GUI_DRAG_WINDOW_THUMB;
            ctx->drag_window = w.id;
            ctx->drag_dy = ctx->my - thumb_y;
        } else {
            const float page = th * 0.9f;
            zq_gui_window_set_scroll(ctx, w.id, w.scroll_y + (ctx->my < thumb_y ? -page : page));
        }
        return 1;
    }

    ZQ_GUI_WIDGET* wd = widget_at(ctx, rec, ctx->mx, ctx->my);
    if (!wd) {
        zq_gui_set_focus(ctx, -1);
        return 1;
    }
    if (!wd->enabled) return 1;
    // A press elsewhere takes the focus away from a field; widgets that keep keys take it.
    if (ctx->focus != wd->id) zq_gui_set_focus(ctx, -1);
    ctx->tip_shown = false;
    ctx->hover_since = al_get_time();
    widget_press(ctx, wd, ev);
    return 1;
}

// ---------------------------------------------------------------------------------------
// 5. Mouse: release
// ---------------------------------------------------------------------------------------

static void title_button_click(ZQ_GUI_CTX* ctx, int win_id, ZQ_GUI_TB_BUTTON b) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, win_id);
    if (!rec) return;
    ZQ_GUI_WINDOW& w = rec->pub;
    switch (b) {
        case ZQ_GUI_TB_CLOSE: {
            zq_gui_close_window(ctx, win_id);
            if (w.on_close) w.on_close(win_id, w.close_user);
            break;
        }
        case ZQ_GUI_TB_MAXIMIZE:
            if (w.state == ZQ_GUI_WIN_MAXIMIZED) {
                zq_gui_restore_window(ctx, win_id);
            } else {
                if (w.state == ZQ_GUI_WIN_NORMAL) {
                    w.saved_x = w.x;
                    w.saved_y = w.y;
                    w.saved_w = w.w;
                    w.saved_h = w.h;
                }
                w.state = ZQ_GUI_WIN_MAXIMIZED;
                w.x = 0;
                w.y = 0;
                w.w = ctx->disp_w;
                w.h = ctx->disp_h;
            }
            break;
        case ZQ_GUI_TB_MINIMIZE:
            if (w.state == ZQ_GUI_WIN_MINIMIZED) {
                zq_gui_restore_window(ctx, win_id);
            } else {
                if (w.state == ZQ_GUI_WIN_MAXIMIZED) zq_gui_restore_window(ctx, win_id);
                w.state = ZQ_GUI_WIN_MINIMIZED;
            }
            break;
        case ZQ_GUI_TB_NONE:
            break;
    }
    ctx->dirty = true;
}

static void pick_list_item(ZQ_GUI_CTX* ctx, int widget_id, int item) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, widget_id);
    ctx->open_list = -1;
    ctx->dirty = true;
    if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd)) {
        if (item < 0 || item >= static_cast<int>(c->items.size())) return;
        const bool changed = c->selected != item;
        c->selected = item;
        if (changed && c->on_select) c->on_select(widget_id, item, c->user);
    } else if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        if (item < 0 || item >= static_cast<int>(m->entries.size())) return;
        const ZQ_GUI_DROP_ENTRY e = m->entries[item];
        if (e.on_click) e.on_click(e.tag, e.user);
    }
}

static void widget_release(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, const ALLEGRO_EVENT* ev) {
    const uint64_t key = zq_gui_key(ZQ_GUI_KEY_WIDGET, wd->id);
    // On it and nothing in front of it: a window or menu that opened over the widget while
    // it was held takes the release.
    const bool in = ctx->hot == wd->id && widget_contains(ctx, wd, ctx->mx, ctx->my);
    const int id = wd->id;
    switch (wd->type) {
        case ZQ_GUI_LABEL:
            break;
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
            if (zq_gui_behavior(ctx, key, in, ev) & ZQ_GUI_BH_CLICKED) {
                auto& b = *zq_gui_data<ZQ_GUI_BUTTON_DATA>(wd);
                if (wd->type == ZQ_GUI_TOGGLE_BUTTON) b.toggled = !b.toggled;
                if (b.on_click) b.on_click(id, b.user);
            }
            break;
        case ZQ_GUI_CHECKBOX:
            if (zq_gui_behavior(ctx, key, in, ev) & ZQ_GUI_BH_CLICKED) {
                auto& c = *zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(wd);
                c.checked = !c.checked;
                if (c.on_toggle) c.on_toggle(id, c.user);
            }
            break;
        case ZQ_GUI_SLIDER:
        case ZQ_GUI_DATAGRID:
            zq_gui_behavior(ctx, key, in, ev);
            if (auto* g = zq_gui_data<ZQ_GUI_GRID_DATA>(wd)) g->thumb_drag = false;
            break;
        case ZQ_GUI_TEXTAREA: {
            zq_gui_behavior(ctx, key, in, ev);
            auto& t = *zq_gui_data<ZQ_GUI_TEXT_DATA>(wd);
            if (t.selecting && t.caret != t.anchor) zq_gui_textarea_publish_selection(t);
            t.selecting = false;
            break;
        }
        case ZQ_GUI_COMBOBOX:
        case ZQ_GUI_DROPMENU:
            zq_gui_behavior(ctx, key, in, ev);
            break;
        case ZQ_GUI_RADIOLIST:
            break;
        case ZQ_GUI_MARKDOWNVIEW: {
            auto& m = *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
            const bool clicked = zq_gui_behavior(ctx, key, in, ev) & ZQ_GUI_BH_CLICKED;
            const bool was_drag = m.thumb_drag;
            m.thumb_drag = false;
            const std::string url = m.press_url;
            m.press_url.clear();
            if (clicked && !was_drag && !url.empty() && url == m.hover_url && m.on_link)
                m.on_link(id, url.c_str(), m.link_user);
            break;
        }
        case ZQ_GUI_CUSTOM: {
            int bh = 0;
            if (ctx->held_key == key && static_cast<int>(ev->mouse.button) == ctx->held_button) {
                if (ctx->held_button == 1) {
                    bh = zq_gui_behavior(ctx, key, in, ev);
                } else {
                    ctx->held_key = 0;
                    ctx->held_button = 0;
                }
            }
            call_custom(ctx, wd, ZQ_GUI_MOUSE_UP, ev, bh);
            break;
        }
    }
}

static int mouse_up(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev) {
    if ((ctx->held_key != 0 || ctx->drag != ZQ_GUI_DRAG_NONE) &&
        static_cast<int>(ev->mouse.button) != ctx->press_button) {
        // A second button let go while the first is still down.
        const int held = zq_gui_held_widget(ctx);
        if (ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, held); wd && wd->type == ZQ_GUI_CUSTOM)
            call_custom(ctx, wd, ZQ_GUI_MOUSE_UP, ev);
        return 1;
    }
    const ZQ_GUI_DRAG drag = ctx->drag;
    switch (drag) {
        case ZQ_GUI_DRAG_SWALLOW:
        case ZQ_GUI_DRAG_WINDOW_MOVE:
        case ZQ_GUI_DRAG_WINDOW_THUMB:
            ctx->drag = ZQ_GUI_DRAG_NONE;
            ctx->drag_window = -1;
            ctx->dirty = true;
            return 1;
        case ZQ_GUI_DRAG_NONE:
        case ZQ_GUI_DRAG_WIDGET:
            break;
    }
    const uint64_t held = ctx->held_key;
    if (held == 0) {
        if (zq_gui_any_popup_open(ctx) && zq_gui_popups_mouse(ctx, ev)) return 1;
        return window_at(ctx, ctx->mx, ctx->my) ? 1 : 0;
    }
    const int a = zq_gui_key_a(held), b = zq_gui_key_b(held);
    switch (zq_gui_key_kind(held)) {
        case ZQ_GUI_KEY_NONE:
            break;
        case ZQ_GUI_KEY_POPUP:
            zq_gui_popups_mouse(ctx, ev);
            break;
        case ZQ_GUI_KEY_TITLE_BUTTON:
            if (zq_gui_behavior(ctx, held, ctx->hot_key == held, ev) & ZQ_GUI_BH_CLICKED)
                title_button_click(ctx, a, static_cast<ZQ_GUI_TB_BUTTON>(b));
            break;
        case ZQ_GUI_KEY_ITEM: {
            const bool on = ctx->hot_key == held;
            if (zq_gui_behavior(ctx, held, on, ev) & ZQ_GUI_BH_CLICKED) {
                if (a == ctx->open_list) {
                    pick_list_item(ctx, a, b);
                } else if (auto* r = zq_gui_data<ZQ_GUI_RADIO_DATA>(ctx, a)) {
                    if (b < static_cast<int>(r->items.size()) && r->selected != b) {
                        r->selected = b;
                        ctx->dirty = true;
                        if (r->on_select) r->on_select(a, b, r->user);
                    }
                }
            }
            break;
        }
        case ZQ_GUI_KEY_WIDGET:
            if (ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, a)) {
                widget_release(ctx, wd, ev);
            } else {
                ctx->held_key = 0;
            }
            break;
    }
    if (ctx->held_key == 0 && ctx->drag == ZQ_GUI_DRAG_WIDGET) ctx->drag = ZQ_GUI_DRAG_NONE;
    update_hover(ctx);
    return 1;
}

// ---------------------------------------------------------------------------------------
// 6. Mouse: motion and wheel
// ---------------------------------------------------------------------------------------

static void widget_drag(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, const ALLEGRO_EVENT* ev) {
    switch (wd->type) {
        case ZQ_GUI_SLIDER:
            slider_set_from_x(ctx, wd, *zq_gui_data<ZQ_GUI_SLIDER_DATA>(wd));
            break;
        case ZQ_GUI_TEXTAREA: {
            auto& t = *zq_gui_data<ZQ_GUI_TEXT_DATA>(wd);
            if (!t.selecting) break;
            float wx, wy, ww, wh;
            zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
            const size_t at = zq_gui_textarea_hit(ctx, wd, t, ctx->mx - wx, ctx->my - wy);
            if (at != t.caret) {
                t.caret = at;
                zq_gui_textarea_scroll_to_caret(ctx, wd, t);
                ctx->dirty = true;
            }
            break;
        }
        case ZQ_GUI_DATAGRID: {
            auto& g = *zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
            if (!g.thumb_drag) break;
            const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(ctx, wd, g);
            inner_bar_drag(ctx, wd, geom.body_y, geom.body_h,
                           geom.row_h * static_cast<float>(g.rows.size()), &g.scroll_y,
                           g.thumb_grab);
            break;
        }
        case ZQ_GUI_MARKDOWNVIEW: {
            auto& m = *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
            if (!m.thumb_drag) break;
            const float max_scroll = zq_gui_mdview_max_scroll(ctx, wd, m);
            inner_bar_drag(ctx, wd, 0, wd->h, wd->h + max_scroll, &m.scroll_y, m.thumb_grab);
            break;
        }
        case ZQ_GUI_CUSTOM: {
            const uint64_t key = zq_gui_key(ZQ_GUI_KEY_WIDGET, wd->id);
            const int bh = zq_gui_behavior(ctx, key, ctx->hot == wd->id, ev);
            call_custom(ctx, wd, ZQ_GUI_MOUSE_MOVE, ev, bh);
            break;
        }
        case ZQ_GUI_LABEL:
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
        case ZQ_GUI_CHECKBOX:
        case ZQ_GUI_COMBOBOX:
        case ZQ_GUI_RADIOLIST:
        case ZQ_GUI_DROPMENU:
            break;
    }
}

static int mouse_move(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev) {
    switch (ctx->drag) {
        case ZQ_GUI_DRAG_WINDOW_MOVE:
            if (ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, ctx->drag_window)) {
                ZQ_GUI_WINDOW& w = rec->pub;
                // Keep a piece of the title bar on the display to grab it again.
                const float keep = 40;
                w.x = std::clamp(ctx->mx - ctx->drag_dx, keep - w.w,
                                 std::max(0.0f, ctx->disp_w - keep));
                w.y = std::clamp(ctx->my - ctx->drag_dy, 0.0f,
                                 std::max(0.0f, ctx->disp_h - zq_gui_titlebar_h(ctx, w)));
                ctx->dirty = true;
            }
            return 1;
        case ZQ_GUI_DRAG_WINDOW_THUMB:
            if (ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, ctx->drag_window)) {
                ZQ_GUI_WINDOW& w = rec->pub;
                float tx, ty, tw, th, thumb_y, thumb_h;
                if (zq_gui_window_scrollbar(ctx, w, &tx, &ty, &tw, &th, &thumb_y, &thumb_h)) {
                    const float room = th - thumb_h;
                    const float t = room > 0 ? (ctx->my - ctx->drag_dy - ty) / room : 0;
                    zq_gui_window_set_scroll(ctx, w.id,
                                             std::clamp(t, 0.0f, 1.0f) * zq_gui_max_scroll(ctx, w));
                }
            }
            return 1;
        case ZQ_GUI_DRAG_WIDGET:
            if (ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, zq_gui_held_widget(ctx)))
                widget_drag(ctx, wd, ev);
            update_hover(ctx);
            return 1;
        case ZQ_GUI_DRAG_NONE:
        case ZQ_GUI_DRAG_SWALLOW:
            break;
    }
    update_hover(ctx);
    if (zq_gui_any_popup_open(ctx) && zq_gui_popups_mouse(ctx, ev)) return 1;
    if (ctx->open_list >= 0) {
        bool in_box;
        list_item_at(ctx, ctx->mx, ctx->my, &in_box);
        if (in_box) return 1;
    }
    ZQ_GUI_WIN_REC* rec = window_at(ctx, ctx->mx, ctx->my);
    if (!rec) return 0;
    ZQ_GUI_WIDGET* wd = widget_at(ctx, rec, ctx->mx, ctx->my);
    if (!wd || !wd->enabled) return 1;
    switch (wd->type) {
        case ZQ_GUI_CUSTOM:
            call_custom(ctx, wd, ZQ_GUI_MOUSE_MOVE, ev);
            break;
        case ZQ_GUI_DATAGRID: {
            auto& g = *zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
            const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(ctx, wd, g);
            float wx, wy, ww, wh;
            zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
            const float by = ctx->my - wy - geom.body_y;
            int row = by < 0 ? -1 : static_cast<int>((by + g.scroll_y) / geom.row_h);
            if (row >= static_cast<int>(g.rows.size()) ||
                (geom.bar && ctx->mx >= wx + ww - ctx->style.scrollbar_size))
                row = -1;
            if (row != g.hover) {
                g.hover = row;
                ctx->dirty = true;
            }
            break;
        }
        case ZQ_GUI_MARKDOWNVIEW: {
            auto& m = *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
            float wx, wy, ww, wh;
            zq_gui_screen_rect(ctx, wd, &wx, &wy, &ww, &wh);
            std::string url = zq_gui_mdview_link_at(ctx, wd, m, ctx->mx - wx, ctx->my - wy);
            if (url != m.hover_url) {
                m.hover_url = std::move(url);
                ctx->dirty = true;
            }
            break;
        }
        case ZQ_GUI_LABEL:
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
        case ZQ_GUI_CHECKBOX:
        case ZQ_GUI_SLIDER:
        case ZQ_GUI_TEXTAREA:
        case ZQ_GUI_COMBOBOX:
        case ZQ_GUI_RADIOLIST:
        case ZQ_GUI_DROPMENU:
            break;
    }
    return 1;
}

// Scrolls a value by the wheel; true when it moved.
static bool wheel_scroll(float* scroll, float max_scroll, float delta) {
    const float before = *scroll;
    *scroll = std::clamp(*scroll - delta, 0.0f, std::max(0.0f, max_scroll));
    return *scroll != before;
}

static int mouse_wheel(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev) {
    const int dz = ev->mouse.dz;
    if (zq_gui_any_popup_open(ctx)) {
        for (ZQ_GUI_POPUP* p : ctx->popups)
            if (p->open && zq_gui_popup_hit(p, ctx->mx, ctx->my)) return 1;
    }
    if (ctx->open_list >= 0) {
        ZQ_GUI_LIST_BOX box;
        if (zq_gui_open_list_box(ctx, &box) &&
            inside(ctx->mx, ctx->my, box.x, box.y, box.w, box.h)) {
            ZQ_GUI_WIDGET* lw = zq_gui_find_widget(ctx, ctx->open_list);
            int* first = nullptr;
            if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(lw)) first = &c->first;
            if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(lw)) first = &m->first;
            if (first) *first = std::clamp(*first - dz, 0, std::max(0, box.count - box.shown));
            ctx->dirty = true;
            update_hover(ctx);
            return 1;
        }
    }
    ZQ_GUI_WIN_REC* rec = window_at(ctx, ctx->mx, ctx->my);
    if (!rec) return 0;
    const float step = ctx->style.scroll_step * static_cast<float>(dz);
    if (ZQ_GUI_WIDGET* wd = widget_at(ctx, rec, ctx->mx, ctx->my); wd && wd->enabled) {
        bool used = false;
        switch (wd->type) {
            case ZQ_GUI_CUSTOM:
                used = call_custom(ctx, wd, ZQ_GUI_MOUSE_WHEEL, ev) != 0;
                break;
            case ZQ_GUI_DATAGRID: {
                auto& g = *zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
                used = wheel_scroll(&g.scroll_y, zq_gui_grid_geom(ctx, wd, g).max_scroll, step);
                break;
            }
            case ZQ_GUI_MARKDOWNVIEW: {
                auto& m = *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
                used = wheel_scroll(&m.scroll_y, zq_gui_mdview_max_scroll(ctx, wd, m), step);
                if (used) m.hover_url.clear();
                break;
            }
            case ZQ_GUI_TEXTAREA: {
                auto& t = *zq_gui_data<ZQ_GUI_TEXT_DATA>(wd);
                if (!t.multiline) break;
                zq_gui_textarea_layout(ctx, wd, t);
                const float lh = zq_gui_line_h(zq_gui_font_of(ctx, wd));
                const float inner_h = std::max(lh, wd->h - 2 * ctx->style.textarea_padding);
                used = wheel_scroll(&t.scroll_y, lh * static_cast<float>(t.lines.size()) - inner_h,
                                    lh * 3 * static_cast<float>(dz));
                break;
            }
            case ZQ_GUI_LABEL:
            case ZQ_GUI_BUTTON:
            case ZQ_GUI_TOGGLE_BUTTON:
            case ZQ_GUI_CHECKBOX:
            case ZQ_GUI_SLIDER:
            case ZQ_GUI_COMBOBOX:
            case ZQ_GUI_RADIOLIST:
            case ZQ_GUI_DROPMENU:
                break;
        }
        if (used) {
            ctx->dirty = true;
            return 1;
        }
    }
    ZQ_GUI_WINDOW& w = rec->pub;
    if (wheel_scroll(&w.scroll_y, zq_gui_max_scroll(ctx, w), step)) {
        ctx->dirty = true;
        update_hover(ctx);
    }
    return 1;
}

// ---------------------------------------------------------------------------------------
// 7. Keyboard
// ---------------------------------------------------------------------------------------

// Kinds that do something with keys, and so are reached with Tab. Labels and custom
// widgets take no keys.
static bool takes_keys(ZQ_GUI_WIDGET_TYPE type) {
    switch (type) {
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
        case ZQ_GUI_CHECKBOX:
        case ZQ_GUI_SLIDER:
        case ZQ_GUI_TEXTAREA:
        case ZQ_GUI_COMBOBOX:
        case ZQ_GUI_RADIOLIST:
        case ZQ_GUI_DATAGRID:
        case ZQ_GUI_DROPMENU:
        case ZQ_GUI_MARKDOWNVIEW:
            return true;
        case ZQ_GUI_LABEL:
        case ZQ_GUI_CUSTOM:
            return false;
    }
    return false;
}

// Where window `w` scrolls to so that the widget shows whole (where it is when it does).
static float scroll_to_show(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w,
                            const ZQ_GUI_WIDGET* wd) {
    float cx, cy, cw, ch;
    zq_gui_client_rect(ctx, w, &cx, &cy, &cw, &ch);
    float s = w.scroll_y;
    if (wd->y < s)
        s = wd->y - 4;
    else if (wd->y + wd->h > s + ch)
        s = wd->y + wd->h + 4 - ch;
    return std::clamp(s, 0.0f, std::max(0.0f, zq_gui_max_scroll(ctx, w)));
}

// A widget the keyboard may move to: it takes keys, can be used, and a person sees it once
// its window scrolls to it. One whose middle lies under a window above its own is covered,
// as the mouse finds it.
static bool reachable(ZQ_GUI_CTX* ctx, const ZQ_GUI_WIN_REC* rec, const ZQ_GUI_WIDGET* wd) {
    if (!wd || !wd->visible || !wd->enabled || !takes_keys(wd->type)) return false;
    const ZQ_GUI_WINDOW& w = rec->pub;
    if (!w.open || w.state == ZQ_GUI_WIN_MINIMIZED) return false;
    float cx, cy, cw, ch;
    zq_gui_client_rect(ctx, w, &cx, &cy, &cw, &ch);
    if (cw <= 0 || ch <= 0) return false;
    const float sy = scroll_to_show(ctx, w, wd);
    const float px = std::clamp(cx + wd->x + wd->w / 2, cx, cx + cw - 1);
    const float py = std::clamp(cy + wd->y - sy + wd->h / 2, cy, cy + ch - 1);
    bool above = false;
    for (const auto& other : ctx->windows) {
        if (other.get() == rec) {
            above = true;
        } else if (above && other->pub.open &&
                   inside(px, py, other->pub.x, other->pub.y, other->pub.w,
                          shown_h(ctx, other->pub))) {
            return false;
        }
    }
    return true;
}

// Tab and Shift+Tab: the next (previous) widget of the focused window that the keyboard can
// reach, in the order added, round at the ends. With nothing focused, the first (last) of
// the top-most window that has one. False when the focus went nowhere.
static bool focus_step(ZQ_GUI_CTX* ctx, bool back) {
    ZQ_GUI_WIDGET* from = zq_gui_find_widget(ctx, ctx->focus);
    ZQ_GUI_WIN_REC* rec = from ? zq_gui_find_window(ctx, from->window_id) : nullptr;
    if (rec && (!rec->pub.open || rec->pub.state == ZQ_GUI_WIN_MINIMIZED)) rec = nullptr;
    if (!rec) from = nullptr;
    const int from_id = from ? from->id : -1;
    std::vector<int> order;
    const auto collect = [&](const ZQ_GUI_WIN_REC* r) {
        order.clear();
        for (int id : r->pub.widgets)
            if (id == from_id || reachable(ctx, r, zq_gui_find_widget(ctx, id)))
                order.push_back(id);
    };
    if (rec) {
        collect(rec);
    } else {
        for (auto it = ctx->windows.rbegin(); it != ctx->windows.rend() && !rec; ++it) {
            if (!(*it)->pub.open || (*it)->pub.state == ZQ_GUI_WIN_MINIMIZED) continue;
            collect(it->get());
            if (!order.empty()) rec = it->get();
        }
    }
    if (!rec || order.empty()) return false;
    int next;
    const auto it = std::find(order.begin(), order.end(), from_id);
    if (it == order.end()) {
        next = back ? order.back() : order.front();
    } else {
        const size_t i = static_cast<size_t>(it - order.begin());
        const size_t n = order.size();
        if (n < 2) return false;
        next = order[back ? (i + n - 1) % n : (i + 1) % n];
    }
    zq_gui_set_focus(ctx, next);
    ctx->focus_ring = true;
    ctx->dirty = true;
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, next);
    // Tabbing into a field selects its text, as desktop fields do.
    if (auto* t = zq_gui_data<ZQ_GUI_TEXT_DATA>(wd)) {
        t->anchor = 0;
        t->caret = t->text.size();
        zq_gui_textarea_scroll_to_caret(ctx, wd, *t);
    }
    // A widget scrolled out of its window comes into view.
    ZQ_GUI_WINDOW& w = rec->pub;
    const float s = scroll_to_show(ctx, w, wd);
    if (s != w.scroll_y) zq_gui_window_set_scroll(ctx, w.id, s);
    return true;
}

// A drop-down menu opened from the keyboard shows its first entry highlighted.
static void open_menu_by_key(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd) {
    const int id = wd->id;
    if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd); m && m->on_open) {
        m->on_open(id, m->user);
        wd = zq_gui_find_widget(ctx, id);  // the screen may have rebuilt things
        if (!wd || !wd->visible || !wd->enabled) return;
    }
    open_list(ctx, wd);
    if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        const std::vector<int> vis = zq_gui_dropmenu_visible(*m);
        if (!vis.empty()) m->hover = vis.front();
    }
}

static bool presses(const ALLEGRO_KEYBOARD_EVENT& k) {
    return k.keycode == ALLEGRO_KEY_ENTER || k.keycode == ALLEGRO_KEY_PAD_ENTER ||
           k.keycode == ALLEGRO_KEY_SPACE;
}

static int list_key(ZQ_GUI_CTX* ctx, const ALLEGRO_KEYBOARD_EVENT& k) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->open_list);
    ZQ_GUI_LIST_BOX box;
    if (!wd || !zq_gui_open_list_box(ctx, &box)) {
        ctx->open_list = -1;
        return 0;
    }
    // Positions run over what the list shows: combobox items, or visible menu entries.
    int* hover = nullptr;
    int* first = nullptr;
    std::vector<int> map;
    if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd)) {
        hover = &c->hover;
        first = &c->first;
        for (int i = 0; i < static_cast<int>(c->items.size()); ++i) map.push_back(i);
    } else if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        hover = &m->hover;
        first = &m->first;
        map = zq_gui_dropmenu_visible(*m);
    }
    if (!hover || map.empty()) {
        if (k.keycode == ALLEGRO_KEY_ESCAPE) zq_gui_close_menus(ctx);
        return 1;
    }
    int pos = static_cast<int>(std::find(map.begin(), map.end(), *hover) - map.begin());
    const int n = static_cast<int>(map.size());
    switch (k.keycode) {
        case ALLEGRO_KEY_UP:
            pos = pos >= n ? n - 1 : (pos + n - 1) % n;
            break;
        case ALLEGRO_KEY_DOWN:
            pos = pos >= n ? 0 : (pos + 1) % n;
            break;
        case ALLEGRO_KEY_HOME:
        case ALLEGRO_KEY_PGUP:
            pos = 0;
            break;
        case ALLEGRO_KEY_END:
        case ALLEGRO_KEY_PGDN:
            pos = n - 1;
            break;
        case ALLEGRO_KEY_ENTER:
        case ALLEGRO_KEY_PAD_ENTER:
        case ALLEGRO_KEY_SPACE:
            if (pos < n && !k.repeat) pick_list_item(ctx, wd->id, map[pos]);
            return 1;
        case ALLEGRO_KEY_ESCAPE:
        case ALLEGRO_KEY_TAB:
            zq_gui_close_menus(ctx);
            return 1;
        default:
            return 1;
    }
    *hover = map[pos];
    if (pos < *first) *first = pos;
    if (pos >= *first + box.shown) *first = pos - box.shown + 1;
    ctx->dirty = true;
    return 1;
}

// A key for the focused widget; non-zero when it used it.
static int focused_key(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, const ALLEGRO_KEYBOARD_EVENT& k) {
    const int id = wd->id;
    switch (wd->type) {
        case ZQ_GUI_TEXTAREA:
            return zq_gui_textarea_key(ctx, wd, *zq_gui_data<ZQ_GUI_TEXT_DATA>(wd), k) ? 1 : 0;
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON: {
            // Enter or Space does what a click does; a held key presses once.
            if (!presses(k)) return 0;
            if (k.repeat) return 1;
            auto& b = *zq_gui_data<ZQ_GUI_BUTTON_DATA>(wd);
            if (wd->type == ZQ_GUI_TOGGLE_BUTTON) b.toggled = !b.toggled;
            ctx->dirty = true;
            if (b.on_click) b.on_click(id, b.user);
            return 1;
        }
        case ZQ_GUI_CHECKBOX: {
            if (k.keycode != ALLEGRO_KEY_SPACE) return 0;
            if (k.repeat) return 1;
            auto& c = *zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(wd);
            c.checked = !c.checked;
            ctx->dirty = true;
            if (c.on_toggle) c.on_toggle(id, c.user);
            return 1;
        }
        case ZQ_GUI_DROPMENU:
            if (!presses(k) && k.keycode != ALLEGRO_KEY_DOWN) return 0;
            if (!k.repeat) open_menu_by_key(ctx, wd);
            return 1;
        case ZQ_GUI_COMBOBOX: {
            auto& c = *zq_gui_data<ZQ_GUI_COMBO_DATA>(wd);
            const int n = static_cast<int>(c.items.size());
            int sel = c.selected;
            switch (k.keycode) {
                case ALLEGRO_KEY_UP:
                    sel = std::max(0, sel - 1);
                    break;
                case ALLEGRO_KEY_DOWN:
                    sel = std::min(n - 1, sel + 1);
                    break;
                case ALLEGRO_KEY_ENTER:
                case ALLEGRO_KEY_SPACE:
                    open_list(ctx, wd);
                    return 1;
                default:
                    return 0;
            }
            if (n > 0 && sel != c.selected) {
                c.selected = sel;
                ctx->dirty = true;
                if (c.on_select) c.on_select(id, sel, c.user);
            }
            return 1;
        }
        case ZQ_GUI_DATAGRID: {
            auto& g = *zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
            const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(ctx, wd, g);
            const int page = std::max(1, static_cast<int>(geom.body_h / geom.row_h) - 1);
            const int n = static_cast<int>(g.rows.size());
            int row = g.selected;
            switch (k.keycode) {
                case ALLEGRO_KEY_UP:
                    row = row < 0 ? 0 : row - 1;
                    break;
                case ALLEGRO_KEY_DOWN:
                    row = row + 1;
                    break;
                case ALLEGRO_KEY_PGUP:
                    row = row - page;
                    break;
                case ALLEGRO_KEY_PGDN:
                    row = row < 0 ? page : row + page;
                    break;
                case ALLEGRO_KEY_HOME:
                    row = 0;
                    break;
                case ALLEGRO_KEY_END:
                    row = n - 1;
                    break;
                default:
                    return 0;
            }
            grid_select(ctx, wd, g, row);
            return 1;
        }
        case ZQ_GUI_RADIOLIST: {
            auto& r = *zq_gui_data<ZQ_GUI_RADIO_DATA>(wd);
            const int n = static_cast<int>(r.items.size());
            int sel = r.selected;
            if (k.keycode == ALLEGRO_KEY_UP)
                sel = std::max(0, sel - 1);
            else if (k.keycode == ALLEGRO_KEY_DOWN)
                sel = std::min(n - 1, sel + 1);
            else
                return 0;
            if (n > 0 && sel != r.selected) {
                r.selected = sel;
                ctx->dirty = true;
                if (r.on_select) r.on_select(id, sel, r.user);
            }
            return 1;
        }
        case ZQ_GUI_SLIDER: {
            auto& s = *zq_gui_data<ZQ_GUI_SLIDER_DATA>(wd);
            const float step = s.step > 0 ? s.step : (s.max - s.min) / 100;
            float v = s.value;
            switch (k.keycode) {
                case ALLEGRO_KEY_LEFT:
                case ALLEGRO_KEY_DOWN:
                    v -= step;
                    break;
                case ALLEGRO_KEY_RIGHT:
                case ALLEGRO_KEY_UP:
                    v += step;
                    break;
                case ALLEGRO_KEY_HOME:
                    v = s.min;
                    break;
                case ALLEGRO_KEY_END:
                    v = s.max;
                    break;
                default:
                    return 0;
            }
            v = std::clamp(v, s.min, s.max);
            if (v != s.value) {
                s.value = v;
                ctx->dirty = true;
                if (s.on_change) s.on_change(id, v, s.user);
            }
            return 1;
        }
        case ZQ_GUI_MARKDOWNVIEW: {
            auto& m = *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
            const float max_scroll = zq_gui_mdview_max_scroll(ctx, wd, m);
            float delta = 0;
            switch (k.keycode) {
                case ALLEGRO_KEY_UP:
                    delta = ctx->style.scroll_step;
                    break;
                case ALLEGRO_KEY_DOWN:
                    delta = -ctx->style.scroll_step;
                    break;
                case ALLEGRO_KEY_PGUP:
                    delta = wd->h * 0.9f;
                    break;
                case ALLEGRO_KEY_PGDN:
                    delta = -wd->h * 0.9f;
                    break;
                case ALLEGRO_KEY_HOME:
                    delta = m.scroll_y;
                    break;
                case ALLEGRO_KEY_END:
                    delta = m.scroll_y - max_scroll;
                    break;
                default:
                    return 0;
            }
            if (wheel_scroll(&m.scroll_y, max_scroll, delta)) ctx->dirty = true;
            return 1;
        }
        case ZQ_GUI_LABEL:
        case ZQ_GUI_CUSTOM:
            return 0;
    }
    return 0;
}

static int key_char(ZQ_GUI_CTX* ctx, const ALLEGRO_KEYBOARD_EVENT& k) {
    if (zq_gui_any_popup_open(ctx)) {
        zq_gui_popups_key(ctx, k);
        return 1;
    }
    if (ctx->open_list >= 0) return list_key(ctx, k);
    if (k.keycode == ALLEGRO_KEY_TAB) {
        const bool moved = focus_step(ctx, k.modifiers & ALLEGRO_KEYMOD_SHIFT);
        return moved || ctx->focus >= 0 ? 1 : 0;
    }
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->focus);
    if (!wd || !wd->visible || !wd->enabled) return 0;
    const ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, wd->window_id);
    if (!rec || !rec->pub.open) return 0;
    const bool field = wd->type == ZQ_GUI_TEXTAREA;
    const int used = focused_key(ctx, wd, k);
    // Working a widget from the keyboard shows which one has the keys.
    if (used && !field && !ctx->focus_ring) {
        ctx->focus_ring = true;
        ctx->dirty = true;
    }
    return used;
}

// ---------------------------------------------------------------------------------------
// 8. Entry point and redraw tracking
// ---------------------------------------------------------------------------------------

constexpr int kModBits = ALLEGRO_KEYMOD_SHIFT | ALLEGRO_KEYMOD_CTRL | ALLEGRO_KEYMOD_ALT |
                         ALLEGRO_KEYMOD_ALTGR | ALLEGRO_KEYMOD_LWIN | ALLEGRO_KEYMOD_RWIN |
                         ALLEGRO_KEYMOD_COMMAND;

// Modifier keys held, for the mouse events of custom widgets and Shift+click in fields.
static void track_modifier(ZQ_GUI_CTX* ctx, int keycode, bool down) {
    int bit = 0;
    switch (keycode) {
        case ALLEGRO_KEY_LSHIFT:
        case ALLEGRO_KEY_RSHIFT:
            bit = ALLEGRO_KEYMOD_SHIFT;
            break;
        case ALLEGRO_KEY_LCTRL:
        case ALLEGRO_KEY_RCTRL:
            bit = ALLEGRO_KEYMOD_CTRL;
            break;
        case ALLEGRO_KEY_ALT:
            bit = ALLEGRO_KEYMOD_ALT;
            break;
        case ALLEGRO_KEY_ALTGR:
            bit = ALLEGRO_KEYMOD_ALTGR;
            break;
        case ALLEGRO_KEY_LWIN:
            bit = ALLEGRO_KEYMOD_LWIN;
            break;
        case ALLEGRO_KEY_RWIN:
            bit = ALLEGRO_KEYMOD_RWIN;
            break;
        case ALLEGRO_KEY_COMMAND:
            bit = ALLEGRO_KEYMOD_COMMAND;
            break;
        default:
            return;
    }
    if (down)
        ctx->key_mods |= bit;
    else
        ctx->key_mods &= ~bit;
}

int zq_gui_process_event(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev) {
    if (!ctx || !ev) return 0;
    switch (ev->type) {
        case ALLEGRO_EVENT_MOUSE_AXES:
        case ALLEGRO_EVENT_MOUSE_WARPED: {
            const bool moved = ev->mouse.x != ctx->mx || ev->mouse.y != ctx->my || !ctx->mouse_in;
            ctx->mx = static_cast<float>(ev->mouse.x);
            ctx->my = static_cast<float>(ev->mouse.y);
            ctx->mouse_in = true;
            int used = 0;
            if (moved) used = mouse_move(ctx, ev);
            if (ev->mouse.dz != 0) used = mouse_wheel(ctx, ev);
            return used;
        }
        case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
            ctx->mx = static_cast<float>(ev->mouse.x);
            ctx->my = static_cast<float>(ev->mouse.y);
            ctx->mouse_in = true;
            update_hover(ctx);
            return mouse_down(ctx, ev);
        case ALLEGRO_EVENT_MOUSE_BUTTON_UP:
            ctx->mx = static_cast<float>(ev->mouse.x);
            ctx->my = static_cast<float>(ev->mouse.y);
            update_hover(ctx);
            return mouse_up(ctx, ev);
        case ALLEGRO_EVENT_MOUSE_ENTER_DISPLAY:
            ctx->mouse_in = true;
            return 0;
        case ALLEGRO_EVENT_MOUSE_LEAVE_DISPLAY:
            ctx->mouse_in = false;
            if (ctx->held_key == 0 && ctx->drag == ZQ_GUI_DRAG_NONE) update_hover(ctx);
            return 0;
        case ALLEGRO_EVENT_KEY_CHAR:
            ctx->key_mods = static_cast<int>(ev->keyboard.modifiers) & kModBits;
            return key_char(ctx, ev->keyboard);
        case ALLEGRO_EVENT_KEY_UP:
            track_modifier(ctx, ev->keyboard.keycode, false);
            return 0;
        case ALLEGRO_EVENT_KEY_DOWN: {
            track_modifier(ctx, ev->keyboard.keycode, true);
            // Keys typed into a field are the field's; the frame still sees Escape.
            if (ev->keyboard.keycode == ALLEGRO_KEY_ESCAPE) return 0;
            const ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->focus);
            return wd && wd->type == ZQ_GUI_TEXTAREA && wd->visible ? 1 : 0;
        }
        case ALLEGRO_EVENT_DISPLAY_SWITCH_OUT:
            // Focus left the display: no button or key stays held.
            drop_hold(ctx);
            ctx->key_mods = 0;
            ctx->dirty = true;
            return 0;
        default:
            return 0;
    }
}

int zq_gui_needs_redraw(ZQ_GUI_CTX* ctx) {
    if (!ctx) return 0;
    if (ctx->dirty) return 1;
    const double now = al_get_time();
    const bool tip_pending =
        (ctx->tip_widget >= 0 || ctx->tip_from_popup) && !ctx->tip_shown && ctx->held_key == 0;
    if (tip_pending && now - ctx->hover_since >= ctx->style.tooltip_delay) return 1;
    const ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->focus);
    if (wd && wd->type == ZQ_GUI_TEXTAREA && wd->visible) {
        const ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, wd->window_id);
        const int phase = static_cast<int>((now - ctx->caret_epoch) / kCaretBlinkS) % 2;
        if (rec && rec->pub.open && phase != ctx->caret_drawn) return 1;
    }
    return 0;
}

int zq_gui_caret_phase(const ZQ_GUI_CTX* ctx) {
    return static_cast<int>((al_get_time() - ctx->caret_epoch) / kCaretBlinkS) % 2;
}
