// SPDX-License-Identifier: GPL-3.0-or-later
// The toolkit's model: the context, windows and their z-order, widgets and their data,
// and the geometry that input and drawing share. Event routing lives in zq_gui_input.cpp,
// drawing in zq_gui_draw.cpp, text fields in zq_gui_text.cpp, pop-up menus in
// zq_gui_popup.cpp.
//
// Index
//   1. Records and themes
//   2. Context
//   3. Lookup and geometry
//   4. Windows and z-order
//   5. Widgets: adding and removing
//   6. Widgets: kind-specific operations
//   7. Common setters and getters
//   8. Placing widgets in rows
#include <algorithm>
#include <cmath>

#include "zq_gui_internal.h"
#include "zq_log.h"

// ---------------------------------------------------------------------------------------
// 1. Records and themes
// ---------------------------------------------------------------------------------------

ZQ_GUI_WIDGET::ZQ_GUI_WIDGET() = default;
ZQ_GUI_WIDGET::~ZQ_GUI_WIDGET() = default;

ZQ_GUI_THEME zq_gui_make_theme(ALLEGRO_COLOR bg_normal, ALLEGRO_COLOR bg_hover,
                               ALLEGRO_COLOR bg_active, ALLEGRO_COLOR border_normal,
                               ALLEGRO_COLOR border_hover, ALLEGRO_COLOR border_active,
                               ALLEGRO_COLOR text_normal, ALLEGRO_COLOR text_hover,
                               ALLEGRO_COLOR text_active, float border_thickness, float corner_rx,
                               float corner_ry, ALLEGRO_COLOR selection_color) {
    ZQ_GUI_THEME t;
    t.bg_normal = bg_normal;
    t.bg_hover = bg_hover;
    t.bg_active = bg_active;
    t.border_normal = border_normal;
    t.border_hover = border_hover;
    t.border_active = border_active;
    t.text_normal = text_normal;
    t.text_hover = text_hover;
    t.text_active = text_active;
    t.border_thickness = border_thickness;
    t.corner_rx = corner_rx;
    t.corner_ry = corner_ry;
    t.selection_color = selection_color;
    return t;
}

ZQ_GUI_THEME zq_gui_default_theme() {
    return zq_gui_make_theme(al_map_rgb(38, 43, 47), al_map_rgb(52, 58, 63), al_map_rgb(24, 80, 88),
                             al_map_rgb(78, 86, 90), al_map_rgb(40, 140, 150),
                             al_map_rgb(60, 170, 180), al_map_rgb(228, 233, 235),
                             al_map_rgb(240, 244, 245), al_map_rgb(255, 255, 255), 1.0f, 5.0f, 5.0f,
                             al_map_rgba(30, 110, 120, 150));
}

static ZQ_GUI_STYLE default_style() {
    ZQ_GUI_STYLE s;
    s.scrollbar_track_color = al_map_rgb(24, 27, 29);
    s.global_scrollbar_track_color = s.scrollbar_track_color;
    s.scrollbar_thumb_color = al_map_rgb(95, 104, 108);
    s.global_scrollbar_thumb_color = s.scrollbar_thumb_color;
    s.global_scrollbar_thumb_border_color = al_map_rgb(78, 86, 90);
    s.grip_color = al_map_rgb(150, 160, 163);
    s.tooltip_bg = al_map_rgb(52, 58, 63);
    s.tooltip_border = al_map_rgb(78, 86, 90);
    s.tooltip_fg = al_map_rgb(228, 233, 235);
    s.link_color_normal = al_map_rgb(120, 170, 245);
    s.link_color_hover = al_map_rgb(160, 200, 255);
    return s;
}

// ---------------------------------------------------------------------------------------
// 2. Context
// ---------------------------------------------------------------------------------------

ZQ_GUI_CTX* zq_gui_new_ctx(ALLEGRO_FONT* default_font) {
    OVK_CHECK(default_font, nullptr);
    auto* ctx = new (std::nothrow) ZQ_GUI_CTX;
    if (!ctx) {
        OVK_LOG_ALLOC_FAIL(ZQ_GUI_CTX, 1, ctx);
        return nullptr;
    }
    ctx->font = default_font;
    ctx->theme = zq_gui_default_theme();
    ctx->style = default_style();
    ctx->caret_epoch = al_get_time();
    return ctx;
}

void zq_gui_destroy_ctx(ZQ_GUI_CTX** pctx) {
    if (!pctx || !*pctx) return;
    ZQ_GUI_CTX* ctx = *pctx;
    // Custom widgets' destroy callbacks run once, in id order.
    std::vector<int> ids;
    ids.reserve(ctx->widgets.size());
    for (auto& [id, wd] : ctx->widgets) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    for (int id : ids) {
        auto* cd = zq_gui_data<ZQ_GUI_CUSTOM_DATA>(ctx, id);
        if (cd && cd->on_destroy) cd->on_destroy(cd->draw_user);
    }
    // Pop-ups belong to whoever made them; they just lose their context.
    for (ZQ_GUI_POPUP* p : ctx->popups) {
        p->ctx = nullptr;
        p->open = false;
        p->levels.clear();
    }
    delete ctx;
    *pctx = nullptr;
}

void zq_gui_set_display(ZQ_GUI_CTX* ctx, ALLEGRO_DISPLAY* display) {
    if (!ctx) return;
    ctx->display = display;
    if (display && ctx->disp_w <= 0) {
        ctx->disp_w = static_cast<float>(al_get_display_width(display));
        ctx->disp_h = static_cast<float>(al_get_display_height(display));
    }
    ctx->dirty = true;
}

void zq_gui_set_event_queue(ZQ_GUI_CTX* ctx, ALLEGRO_EVENT_QUEUE* queue) {
    if (ctx) ctx->queue = queue;
}

void zq_gui_set_display_size(ZQ_GUI_CTX* ctx, float w, float h) {
    if (!ctx) return;
    ctx->disp_w = w;
    ctx->disp_h = h;
    for (auto& rec : ctx->windows) {
        ZQ_GUI_WINDOW& win = rec->pub;
        if (win.state == ZQ_GUI_WIN_MAXIMIZED) {
            win.x = 0;
            win.y = 0;
            win.w = w;
            win.h = h;
        }
        win.scroll_y = std::clamp(win.scroll_y, 0.0f, zq_gui_max_scroll(ctx, win));
    }
    ctx->dirty = true;
}

void zq_gui_set_default_theme(ZQ_GUI_CTX* ctx, const ZQ_GUI_THEME& theme) {
    if (!ctx) return;
    ctx->theme = theme;
    ctx->dirty = true;
}

void zq_gui_set_shape_mode(ZQ_GUI_CTX* ctx, int mode) {
    if (!ctx) return;
    ctx->shape_mode = mode;
    ctx->dirty = true;
}

ZQ_GUI_STYLE* zq_gui_style(ZQ_GUI_CTX* ctx) {
    if (!ctx) return nullptr;
    ctx->dirty = true;  // the caller may change it
    return &ctx->style;
}

ALLEGRO_FONT* zq_gui_default_font(ZQ_GUI_CTX* ctx) {
    return ctx ? ctx->font : nullptr;
}

int zq_gui_get_focus(ZQ_GUI_CTX* ctx) {
    return ctx ? ctx->focus : -1;
}

void zq_gui_set_focus(ZQ_GUI_CTX* ctx, int widget_id) {
    if (!ctx) return;
    if (widget_id >= 0 && !zq_gui_find_widget(ctx, widget_id)) return;
    if (ctx->focus != widget_id) {
        ctx->focus = widget_id;
        ctx->caret_epoch = al_get_time();
        ctx->dirty = true;
    }
    if (auto* t = zq_gui_data<ZQ_GUI_TEXT_DATA>(ctx, widget_id)) t->selecting = false;
}

int zq_gui_menu_is_open(ZQ_GUI_CTX* ctx) {
    if (!ctx) return 0;
    return ctx->open_list >= 0 || zq_gui_any_popup_open(ctx);
}

void zq_gui_close_menus(ZQ_GUI_CTX* ctx) {
    if (!ctx) return;
    if (ctx->open_list >= 0 || zq_gui_any_popup_open(ctx)) ctx->dirty = true;
    ctx->open_list = -1;
    zq_gui_close_popups(ctx);
}

// ---------------------------------------------------------------------------------------
// 3. Lookup and geometry
// ---------------------------------------------------------------------------------------

ZQ_GUI_WIN_REC* zq_gui_find_window(ZQ_GUI_CTX* ctx, int id) {
    if (!ctx || id < 0) return nullptr;
    for (auto& rec : ctx->windows)
        if (rec->pub.id == id) return rec.get();
    return nullptr;
}

ZQ_GUI_WIDGET* zq_gui_find_widget(ZQ_GUI_CTX* ctx, int id) {
    if (!ctx || id < 0) return nullptr;
    auto it = ctx->widgets.find(id);
    return it == ctx->widgets.end() ? nullptr : it->second.get();
}

float zq_gui_line_h(const ALLEGRO_FONT* font) {
    return font ? static_cast<float>(al_get_font_line_height(font)) : 16.0f;
}

bool zq_gui_window_shows(const ZQ_GUI_WINDOW& w) {
    return w.open;
}

float zq_gui_titlebar_h(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w) {
    return (w.flags & ZQ_GUI_WIN_FRAMELESS) ? 0.0f : ctx->style.titlebar_h;
}

void zq_gui_client_rect(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, float* x, float* y,
                        float* cw, float* ch) {
    const float tb = zq_gui_titlebar_h(ctx, w);
    const float bar = (w.flags & ZQ_GUI_WIN_VSCROLL) ? ctx->style.scrollbar_size : 0.0f;
    *x = w.x;
    *y = w.y + tb;
    *cw = std::max(0.0f, w.w - bar);
    *ch = w.state == ZQ_GUI_WIN_MINIMIZED ? 0.0f : std::max(0.0f, w.h - tb);
}

float zq_gui_max_scroll(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w) {
    if (!(w.flags & ZQ_GUI_WIN_VSCROLL)) return 0;
    float x, y, cw, ch;
    zq_gui_client_rect(ctx, w, &x, &y, &cw, &ch);
    return std::max(0.0f, w.content_h - ch);
}

void zq_gui_update_content(ZQ_GUI_CTX* ctx, ZQ_GUI_WINDOW& w) {
    float bottom = 0;
    for (int id : w.widgets) {
        const ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
        if (wd && wd->visible) bottom = std::max(bottom, wd->y + wd->h);
    }
    // A little room below the last widget so that it does not touch the edge.
    w.content_h = bottom > 0 ? bottom + 4 : 0;
    w.scroll_y = std::clamp(w.scroll_y, 0.0f, zq_gui_max_scroll(ctx, w));
}

bool zq_gui_screen_rect(ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd, float* x, float* y, float* w,
                        float* h) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, wd->window_id);
    if (!rec) return false;
    float cx, cy, cw, ch;
    zq_gui_client_rect(ctx, rec->pub, &cx, &cy, &cw, &ch);
    *x = cx + wd->x;
    *y = cy + wd->y - rec->pub.scroll_y;
    *w = wd->w;
    *h = wd->h;
    return true;
}

const ZQ_GUI_THEME& zq_gui_theme_of(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd) {
    return wd && wd->has_theme ? wd->theme : ctx->theme;
}

ALLEGRO_FONT* zq_gui_font_of(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd) {
    return wd && wd->font ? wd->font : ctx->font;
}

bool zq_gui_tb_button_rect(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, ZQ_GUI_TB_BUTTON b,
                           float* x, float* y, float* s) {
    if (w.flags & ZQ_GUI_WIN_FRAMELESS) return false;
    const float tb = ctx->style.titlebar_h;
    const float size = std::min(ctx->style.tb_btn_size, tb);
    const float gap = std::max(2.0f, (tb - size) / 2);
    // Right to left: close, maximise, minimise; each present only with its flag.
    float right = w.x + w.w - gap;
    const ZQ_GUI_TB_BUTTON order[3] = {ZQ_GUI_TB_CLOSE, ZQ_GUI_TB_MAXIMIZE, ZQ_GUI_TB_MINIMIZE};
    for (ZQ_GUI_TB_BUTTON o : order) {
        int flag = 0;
        switch (o) {
            case ZQ_GUI_TB_CLOSE:
                flag = ZQ_GUI_WIN_CLOSE_BTN;
                break;
            case ZQ_GUI_TB_MAXIMIZE:
                flag = ZQ_GUI_WIN_MAXIMIZE_BTN;
                break;
            case ZQ_GUI_TB_MINIMIZE:
                flag = ZQ_GUI_WIN_MINIMIZE_BTN;
                break;
            case ZQ_GUI_TB_NONE:
                break;
        }
        if (!(w.flags & flag)) continue;
        if (o == b) {
            *x = right - size;
            *y = w.y + (tb - size) / 2;
            *s = size;
            return true;
        }
        right -= size + gap;
    }
    return false;
}

bool zq_gui_window_scrollbar(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, float* tx, float* ty,
                             float* tw, float* th, float* thumb_y, float* thumb_h) {
    if (!(w.flags & ZQ_GUI_WIN_VSCROLL) || w.state == ZQ_GUI_WIN_MINIMIZED) return false;
    float cx, cy, cw, ch;
    zq_gui_client_rect(ctx, w, &cx, &cy, &cw, &ch);
    if (w.content_h <= ch || ch <= 0) return false;
    *tx = cx + cw;
    *ty = cy;
    *tw = ctx->style.scrollbar_size;
    *th = ch;
    *thumb_h = std::max(ctx->style.scrollbar_size * 1.5f, ch * ch / w.content_h);
    *thumb_h = std::min(*thumb_h, ch);
    const float max_scroll = w.content_h - ch;
    *thumb_y = cy + (ch - *thumb_h) * (max_scroll > 0 ? w.scroll_y / max_scroll : 0);
    return true;
}

// ---------------------------------------------------------------------------------------
// 4. Windows and z-order
// ---------------------------------------------------------------------------------------

// Bands from bottom to top. FIXED windows stay where their value puts them among the
// normal ones and are not raised by clicks.
static int zorder_band(ZQ_GUI_ZORDER m) {
    switch (m) {
        case ZQ_GUI_ZORDER_ALWAYS_BEHIND:
            return 0;
        case ZQ_GUI_ZORDER_NORMAL:
            return 1;
        case ZQ_GUI_ZORDER_FIXED:
            return 1;
        case ZQ_GUI_ZORDER_ALWAYS_ON_TOP:
            return 2;
        case ZQ_GUI_ZORDER_POPUP:
            return 3;
    }
    return 1;
}

void zq_gui_sort_windows(ZQ_GUI_CTX* ctx) {
    std::stable_sort(
        ctx->windows.begin(), ctx->windows.end(),
        [](const std::unique_ptr<ZQ_GUI_WIN_REC>& a, const std::unique_ptr<ZQ_GUI_WIN_REC>& b) {
            const int ba = zorder_band(a->pub.z_mode), bb = zorder_band(b->pub.z_mode);
            if (ba != bb) return ba < bb;
            if (a->pub.z_value != b->pub.z_value) return a->pub.z_value < b->pub.z_value;
            return a->raise_seq < b->raise_seq;
        });
    ctx->dirty = true;
}

void zq_gui_raise(ZQ_GUI_CTX* ctx, ZQ_GUI_WIN_REC* rec) {
    if (rec->pub.z_mode == ZQ_GUI_ZORDER_FIXED) return;
    rec->raise_seq = ++ctx->raise_counter;
    zq_gui_sort_windows(ctx);
}

static std::string cut_chars(std::string_view s, size_t max_chars) {
    return zq_utf8_clean(s, max_chars);
}

int zq_gui_add_window(ZQ_GUI_CTX* ctx, std::string_view title, float x, float y, float w, float h) {
    OVK_CHECK(ctx, -1);
    auto rec = std::make_unique<ZQ_GUI_WIN_REC>();
    rec->pub.id = ctx->next_window_id++;
    rec->pub.title = cut_chars(title, 127);
    rec->pub.x = x;
    rec->pub.y = y;
    rec->pub.w = std::max(0.0f, w);
    rec->pub.h = std::max(0.0f, h);
    rec->raise_seq = ++ctx->raise_counter;
    const int id = rec->pub.id;
    ctx->windows.push_back(std::move(rec));
    zq_gui_sort_windows(ctx);
    return id;
}

void zq_gui_drop_tooltip(ZQ_GUI_CTX* ctx) {
    if (ctx->tip_shown) ctx->dirty = true;
    ctx->tip_widget = -1;
    ctx->tip_text.clear();
    ctx->tip_from_popup = false;
    ctx->tip_shown = false;
}

int zq_gui_tooltip_shown(ZQ_GUI_CTX* ctx) {
    return ctx && ctx->tip_shown ? 1 : 0;
}

void zq_gui_open_window(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec || rec->pub.open) return;
    rec->pub.open = true;
    zq_gui_drop_tooltip(ctx);
    ctx->dirty = true;
}

// Drops focus, hover and capture held by widgets of a window that goes away.
static void release_window(ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w) {
    for (int id : w.widgets) zq_gui_on_widget_removed(ctx, id);
    if (ctx->drag_window == w.id) {
        ctx->drag = ZQ_GUI_DRAG_NONE;
        ctx->drag_window = -1;
    }
    for (uint64_t* key : {&ctx->hot_key, &ctx->held_key})
        if (zq_gui_key_kind(*key) == ZQ_GUI_KEY_TITLE_BUTTON && zq_gui_key_a(*key) == w.id)
            *key = 0;
}

void zq_gui_close_window(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec || !rec->pub.open) return;
    rec->pub.open = false;
    release_window(ctx, rec->pub);
    zq_gui_drop_tooltip(ctx);
    ctx->dirty = true;
}

void zq_gui_restore_window(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    ZQ_GUI_WINDOW& w = rec->pub;
    if (w.state == ZQ_GUI_WIN_MAXIMIZED) {
        w.x = w.saved_x;
        w.y = w.saved_y;
        w.w = w.saved_w;
        w.h = w.saved_h;
    }
    w.state = ZQ_GUI_WIN_NORMAL;
    w.scroll_y = std::clamp(w.scroll_y, 0.0f, zq_gui_max_scroll(ctx, w));
    ctx->dirty = true;
}

void zq_gui_focus_window(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    zq_gui_raise(ctx, rec);
}

int zq_gui_window_is_open(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    return rec && rec->pub.open ? 1 : 0;
}

int zq_gui_get_topmost_open_window(ZQ_GUI_CTX* ctx) {
    if (!ctx) return -1;
    for (auto it = ctx->windows.rbegin(); it != ctx->windows.rend(); ++it)
        if ((*it)->pub.open) return (*it)->pub.id;
    return -1;
}

std::vector<int> zq_gui_open_windows(ZQ_GUI_CTX* ctx) {
    std::vector<int> out;
    if (!ctx) return out;
    for (const auto& w : ctx->windows)
        if (w->pub.open) out.push_back(w->pub.id);
    return out;
}

const ZQ_GUI_WINDOW* zq_gui_get_window(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    return rec ? &rec->pub : nullptr;
}

void zq_gui_window_set_title(ZQ_GUI_CTX* ctx, int id, std::string_view title) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    rec->pub.title = cut_chars(title, 127);
    ctx->dirty = true;
}

void zq_gui_window_set_caption(ZQ_GUI_CTX* ctx, int id, std::string_view caption) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    rec->pub.caption = cut_chars(caption, 127);
    ctx->dirty = true;
}

void zq_gui_window_set_flags(ZQ_GUI_CTX* ctx, int id, int flags) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    rec->pub.flags = flags;
    zq_gui_update_content(ctx, rec->pub);
    ctx->dirty = true;
}

void zq_gui_window_set_zorder(ZQ_GUI_CTX* ctx, int id, int mode, int value) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    if (mode < ZQ_GUI_ZORDER_NORMAL || mode > ZQ_GUI_ZORDER_POPUP) {
        zq_log(LOG_ERR,
               "zq_gui_window_set_zorder: unknown z_mode %d for window %d (expected "
               "ZQ_GUI_ZORDER_NORMAL, ZQ_GUI_ZORDER_ALWAYS_ON_TOP, ZQ_GUI_ZORDER_ALWAYS_BEHIND, "
               "ZQ_GUI_ZORDER_FIXED, or ZQ_GUI_ZORDER_POPUP), falling back to "
               "ZQ_GUI_ZORDER_NORMAL",
               mode, id);
        mode = ZQ_GUI_ZORDER_NORMAL;
    }
    rec->pub.z_mode = static_cast<ZQ_GUI_ZORDER>(mode);
    rec->pub.z_value = value;
    zq_gui_sort_windows(ctx);
}

void zq_gui_window_set_rect(ZQ_GUI_CTX* ctx, int id, float x, float y, float w, float h) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    rec->pub.x = x;
    rec->pub.y = y;
    rec->pub.w = std::max(0.0f, w);
    rec->pub.h = std::max(0.0f, h);
    if (rec->pub.state == ZQ_GUI_WIN_MAXIMIZED) rec->pub.state = ZQ_GUI_WIN_NORMAL;
    zq_gui_update_content(ctx, rec->pub);
    ctx->dirty = true;
}

void zq_gui_window_set_scroll(ZQ_GUI_CTX* ctx, int id, float scroll_y) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    rec->pub.scroll_y = std::clamp(scroll_y, 0.0f, zq_gui_max_scroll(ctx, rec->pub));
    ctx->dirty = true;
}

void zq_gui_window_set_close_callback(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_CLOSE_FN fn, void* user) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return;
    rec->pub.on_close = fn;
    rec->pub.close_user = user;
}

int zq_gui_window_client_rect(ZQ_GUI_CTX* ctx, int id, float* x, float* y, float* w, float* h) {
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, id);
    if (!rec) return 0;
    float cx, cy, cw, ch;
    zq_gui_client_rect(ctx, rec->pub, &cx, &cy, &cw, &ch);
    if (x) *x = cx;
    if (y) *y = cy;
    if (w) *w = cw;
    if (h) *h = ch;
    return 1;
}

// ---------------------------------------------------------------------------------------
// 5. Widgets: adding and removing
// ---------------------------------------------------------------------------------------

template <class T>
static T* add_widget(ZQ_GUI_CTX* ctx, int win, ZQ_GUI_WIDGET_TYPE type, float x, float y, float w,
                     float h, int* out_id) {
    *out_id = -1;
    ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, win);
    if (!rec) return nullptr;
    auto wd = std::make_unique<ZQ_GUI_WIDGET>();
    wd->id = ctx->next_widget_id++;
    wd->window_id = win;
    wd->type = type;
    wd->x = x;
    wd->y = y;
    wd->w = std::max(0.0f, w);
    wd->h = std::max(0.0f, h);
    wd->data = std::make_unique<ZQ_GUI_WIDGET_DATA>();
    wd->data->v.emplace<T>();
    T* data = std::get_if<T>(&wd->data->v);
    *out_id = wd->id;
    rec->pub.widgets.push_back(wd->id);
    ctx->widgets.emplace(wd->id, std::move(wd));
    zq_gui_update_content(ctx, rec->pub);
    ctx->dirty = true;
    return data;
}

int zq_gui_add_label(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                     std::string_view text, int align) {
    int id;
    auto* d = add_widget<ZQ_GUI_LABEL_DATA>(ctx, win, ZQ_GUI_LABEL, x, y, w, h, &id);
    if (!d) return -1;
    d->text = zq_utf8_clean(text, SIZE_MAX);
    d->align = align;
    return id;
}

int zq_gui_add_button(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                      std::string_view label, int shape, ZQ_GUI_CLICK_FN on_click, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_BUTTON_DATA>(ctx, win, ZQ_GUI_BUTTON, x, y, w, h, &id);
    if (!d) return -1;
    d->label = zq_utf8_clean(label, SIZE_MAX);
    d->shape = shape;
    d->on_click = on_click;
    d->user = user;
    return id;
}

int zq_gui_add_toggle_button(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                             std::string_view label, int shape, int initial_state,
                             ZQ_GUI_CLICK_FN on_click, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_BUTTON_DATA>(ctx, win, ZQ_GUI_TOGGLE_BUTTON, x, y, w, h, &id);
    if (!d) return -1;
    d->label = zq_utf8_clean(label, SIZE_MAX);
    d->shape = shape;
    d->toggled = initial_state != 0;
    d->on_click = on_click;
    d->user = user;
    return id;
}

int zq_gui_add_checkbox(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        std::string_view label, int initial_checked, ZQ_GUI_CLICK_FN on_toggle,
                        void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_CHECKBOX_DATA>(ctx, win, ZQ_GUI_CHECKBOX, x, y, w, h, &id);
    if (!d) return -1;
    d->label = zq_utf8_clean(label, SIZE_MAX);
    d->checked = initial_checked != 0;
    d->on_toggle = on_toggle;
    d->user = user;
    return id;
}

int zq_gui_add_slider(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h, float min,
                      float max, float initial, int mode, ZQ_GUI_VALUE_FN on_change, void* user) {
    if (!std::isfinite(min) || !std::isfinite(max) || !std::isfinite(initial)) return -1;
    int id;
    auto* d = add_widget<ZQ_GUI_SLIDER_DATA>(ctx, win, ZQ_GUI_SLIDER, x, y, w, h, &id);
    if (!d) return -1;
    d->min = std::min(min, max);
    d->max = std::max(min, max);
    d->value = std::clamp(initial, d->min, d->max);
    d->mode = mode;
    d->on_change = on_change;
    d->user = user;
    return id;
}

int zq_gui_add_textarea(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h, int multiline,
                        int char_limit, ZQ_GUI_TEXT_FN on_change, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_TEXT_DATA>(ctx, win, ZQ_GUI_TEXTAREA, x, y, w, h, &id);
    if (!d) return -1;
    d->multiline = multiline != 0;
    // No limit (0 or less) still keeps a field to a sane size.
    d->limit = char_limit > 0 ? char_limit : 1 << 20;
    d->on_change = on_change;
    d->user = user;
    return id;
}

int zq_gui_add_combobox(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        ZQ_GUI_SELECT_FN on_select, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_COMBO_DATA>(ctx, win, ZQ_GUI_COMBOBOX, x, y, w, h, &id);
    if (!d) return -1;
    d->on_select = on_select;
    d->user = user;
    return id;
}

int zq_gui_add_radiolist(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                         ZQ_GUI_SELECT_FN on_select, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_RADIO_DATA>(ctx, win, ZQ_GUI_RADIOLIST, x, y, w, h, &id);
    if (!d) return -1;
    d->on_select = on_select;
    d->user = user;
    return id;
}

int zq_gui_add_datagrid(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        ZQ_GUI_SELECT_FN on_select, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_GRID_DATA>(ctx, win, ZQ_GUI_DATAGRID, x, y, w, h, &id);
    if (!d) return -1;
    d->on_select = on_select;
    d->user = user;
    return id;
}

int zq_gui_add_dropmenu(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        std::string_view label, ZQ_GUI_CLICK_FN on_open, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_DROPMENU_DATA>(ctx, win, ZQ_GUI_DROPMENU, x, y, w, h, &id);
    if (!d) return -1;
    d->label = zq_utf8_clean(label, SIZE_MAX);
    d->on_open = on_open;
    d->user = user;
    return id;
}

int zq_gui_add_markdownview(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                            const ZQ_GUI_MD_FONTS& fonts) {
    int id;
    auto* d = add_widget<ZQ_GUI_MDVIEW_DATA>(ctx, win, ZQ_GUI_MARKDOWNVIEW, x, y, w, h, &id);
    if (!d) return -1;
    d->fonts = fonts;
    if (!d->fonts.regular) d->fonts.regular = ctx->font;
    return id;
}

int zq_gui_add_custom(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                      ZQ_GUI_DRAW_FN draw, void* user) {
    int id;
    auto* d = add_widget<ZQ_GUI_CUSTOM_DATA>(ctx, win, ZQ_GUI_CUSTOM, x, y, w, h, &id);
    if (!d) return -1;
    d->draw = draw;
    d->draw_user = user;
    return id;
}

void zq_gui_remove_widget(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd) return;
    if (auto* cd = zq_gui_data<ZQ_GUI_CUSTOM_DATA>(wd); cd && cd->on_destroy)
        cd->on_destroy(cd->draw_user);
    zq_gui_on_widget_removed(ctx, id);
    if (ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, wd->window_id)) {
        auto& ids = rec->pub.widgets;
        ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
        ctx->widgets.erase(id);
        zq_gui_update_content(ctx, rec->pub);
    } else {
        ctx->widgets.erase(id);
    }
    ctx->dirty = true;
}

// ---------------------------------------------------------------------------------------
// 6. Widgets: kind-specific operations
// ---------------------------------------------------------------------------------------

void zq_gui_label_set_text(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_LABEL_DATA>(ctx, id);
    if (!d || d->text == text) return;
    d->text = zq_utf8_clean(text, SIZE_MAX);
    ctx->dirty = true;
}

std::string zq_gui_label_get_text(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_LABEL_DATA>(ctx, id);
    return d ? d->text : std::string();
}

void zq_gui_button_set_label(ZQ_GUI_CTX* ctx, int id, std::string_view label) {
    auto* d = zq_gui_data<ZQ_GUI_BUTTON_DATA>(ctx, id);
    if (!d || d->label == label) return;
    d->label = zq_utf8_clean(label, SIZE_MAX);
    ctx->dirty = true;
}

std::string zq_gui_button_get_label(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_BUTTON_DATA>(ctx, id);
    return d ? d->label : std::string();
}

void zq_gui_button_set_toggled(ZQ_GUI_CTX* ctx, int id, int toggled) {
    auto* d = zq_gui_data<ZQ_GUI_BUTTON_DATA>(ctx, id);
    if (!d || d->toggled == (toggled != 0)) return;
    d->toggled = toggled != 0;
    ctx->dirty = true;
}

int zq_gui_button_is_toggled(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_BUTTON_DATA>(ctx, id);
    return d && d->toggled ? 1 : 0;
}

int zq_gui_checkbox_is_checked(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(ctx, id);
    return d && d->checked ? 1 : 0;
}

void zq_gui_checkbox_set_checked(ZQ_GUI_CTX* ctx, int id, int checked) {
    auto* d = zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(ctx, id);
    if (!d || d->checked == (checked != 0)) return;
    d->checked = checked != 0;
    ctx->dirty = true;
}

void zq_gui_slider_set_step(ZQ_GUI_CTX* ctx, int id, float step) {
    auto* d = zq_gui_data<ZQ_GUI_SLIDER_DATA>(ctx, id);
    if (!d || !std::isfinite(step)) return;
    d->step = std::max(0.0f, step);
    ctx->dirty = true;
}

void zq_gui_slider_set_value_visible(ZQ_GUI_CTX* ctx, int id, int visible) {
    auto* d = zq_gui_data<ZQ_GUI_SLIDER_DATA>(ctx, id);
    if (!d) return;
    d->show_value = visible != 0;
    ctx->dirty = true;
}

float zq_gui_slider_get_value(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_SLIDER_DATA>(ctx, id);
    return d ? d->value : 0.0f;
}

void zq_gui_slider_set_value(ZQ_GUI_CTX* ctx, int id, float value) {
    auto* d = zq_gui_data<ZQ_GUI_SLIDER_DATA>(ctx, id);
    if (!d || !std::isfinite(value)) return;
    d->value = std::clamp(value, d->min, d->max);
    ctx->dirty = true;
}

std::string zq_gui_textarea_get_text(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_TEXT_DATA>(ctx, id);
    return d ? d->text : std::string();
}

void zq_gui_textarea_set_text(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_TEXT_DATA>(ctx, id);
    if (!d) return;
    d->text =
        zq_utf8_clean(zq_gui_textarea_filter(text, d->multiline), static_cast<size_t>(d->limit));
    d->caret = d->anchor = d->text.size();
    d->lines_w = -1;
    d->goal_x = -1;
    zq_gui_textarea_scroll_to_caret(ctx, zq_gui_find_widget(ctx, id), *d);
    ctx->dirty = true;
}

void zq_gui_textarea_set_placeholder(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_TEXT_DATA>(ctx, id);
    if (!d) return;
    d->placeholder = zq_utf8_clean(text, SIZE_MAX);
    ctx->dirty = true;
}

int zq_gui_combobox_add_item(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_COMBO_DATA>(ctx, id);
    if (!d) return -1;
    d->items.push_back(zq_utf8_clean(text, SIZE_MAX));
    ctx->dirty = true;
    return static_cast<int>(d->items.size()) - 1;
}

int zq_gui_combobox_get_selected(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_COMBO_DATA>(ctx, id);
    return d ? d->selected : -1;
}

void zq_gui_combobox_set_selected(ZQ_GUI_CTX* ctx, int id, int index) {
    auto* d = zq_gui_data<ZQ_GUI_COMBO_DATA>(ctx, id);
    if (!d) return;
    d->selected = index >= 0 && index < static_cast<int>(d->items.size()) ? index : -1;
    ctx->dirty = true;
}

int zq_gui_radiolist_add_item(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_RADIO_DATA>(ctx, id);
    if (!d) return -1;
    d->items.push_back(zq_utf8_clean(text, SIZE_MAX));
    ctx->dirty = true;
    return static_cast<int>(d->items.size()) - 1;
}

void zq_gui_radiolist_clear(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_RADIO_DATA>(ctx, id);
    if (!d) return;
    d->items.clear();
    d->selected = -1;
    d->hover = -1;
    ctx->dirty = true;
}

int zq_gui_radiolist_get_selected(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_RADIO_DATA>(ctx, id);
    return d ? d->selected : -1;
}

void zq_gui_radiolist_set_selected(ZQ_GUI_CTX* ctx, int id, int index) {
    auto* d = zq_gui_data<ZQ_GUI_RADIO_DATA>(ctx, id);
    if (!d) return;
    d->selected = index >= 0 && index < static_cast<int>(d->items.size()) ? index : -1;
    ctx->dirty = true;
}

float zq_gui_radio_item_h(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd) {
    return std::max(ctx->style.radiolist_default_item_height,
                    zq_gui_line_h(zq_gui_font_of(ctx, wd)) + 4);
}

ZQ_GUI_GRID_GEOM zq_gui_grid_geom(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd,
                                  const ZQ_GUI_GRID_DATA& g) {
    ZQ_GUI_GRID_GEOM r;
    const float lh = zq_gui_line_h(zq_gui_font_of(ctx, wd));
    r.row_h = std::max(ctx->style.listbox_default_item_height, lh + 4);
    r.header_h = std::min(wd->h, r.row_h);
    r.body_y = r.header_h;
    r.body_h = std::max(0.0f, wd->h - r.header_h);
    const float content = r.row_h * static_cast<float>(g.rows.size());
    r.bar = content > r.body_h;
    r.max_scroll = std::max(0.0f, content - r.body_h);
    return r;
}

int zq_gui_datagrid_add_column(ZQ_GUI_CTX* ctx, int id, std::string_view title, float width) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    if (!d || !std::isfinite(width)) return -1;
    d->columns.push_back({zq_utf8_clean(title, SIZE_MAX), std::max(0.0f, width)});
    for (auto& row : d->rows) row.resize(d->columns.size());
    ctx->dirty = true;
    return static_cast<int>(d->columns.size()) - 1;
}

int zq_gui_datagrid_add_row(ZQ_GUI_CTX* ctx, int id, const std::vector<std::string>& values) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    if (!d) return -1;
    std::vector<std::string> row(d->columns.size());
    for (size_t i = 0; i < row.size() && i < values.size(); ++i)
        row[i] = zq_utf8_clean(values[i], SIZE_MAX);
    d->rows.push_back(std::move(row));
    d->row_colour.push_back(al_map_rgba(0, 0, 0, 0));
    d->has_colour.push_back(0);
    ctx->dirty = true;
    return static_cast<int>(d->rows.size()) - 1;
}

void zq_gui_datagrid_set_row(ZQ_GUI_CTX* ctx, int id, int row,
                             const std::vector<std::string>& values) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    if (!d || row < 0 || row >= static_cast<int>(d->rows.size())) return;
    std::vector<std::string>& r = d->rows[static_cast<size_t>(row)];
    r.assign(d->columns.size(), std::string());
    for (size_t i = 0; i < r.size() && i < values.size(); ++i)
        r[i] = zq_utf8_clean(values[i], SIZE_MAX);
    d->row_colour[static_cast<size_t>(row)] = al_map_rgba(0, 0, 0, 0);
    d->has_colour[static_cast<size_t>(row)] = 0;
    ctx->dirty = true;
}

void zq_gui_datagrid_clear_rows(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    if (!d) return;
    d->rows.clear();
    d->row_colour.clear();
    d->has_colour.clear();
    d->selected = -1;
    d->hover = -1;
    d->scroll_y = 0;
    ctx->dirty = true;
}

int zq_gui_datagrid_row_count(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    return d ? static_cast<int>(d->rows.size()) : 0;
}

int zq_gui_datagrid_get_selected(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    return d ? d->selected : -1;
}

void zq_gui_datagrid_set_selected(ZQ_GUI_CTX* ctx, int id, int row) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    if (!d) return;
    d->selected = row >= 0 && row < static_cast<int>(d->rows.size()) ? row : -1;
    ctx->dirty = true;
}

void zq_gui_datagrid_set_row_color(ZQ_GUI_CTX* ctx, int id, int row, ALLEGRO_COLOR colour) {
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx, id);
    if (!d || row < 0 || row >= static_cast<int>(d->rows.size())) return;
    d->row_colour[row] = colour;
    d->has_colour[row] = 1;
    ctx->dirty = true;
}

void zq_gui_datagrid_scroll_to_row(ZQ_GUI_CTX* ctx, int id, int row) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    auto* d = zq_gui_data<ZQ_GUI_GRID_DATA>(wd);
    if (!d || row < 0 || row >= static_cast<int>(d->rows.size())) return;
    const ZQ_GUI_GRID_GEOM g = zq_gui_grid_geom(ctx, wd, *d);
    const float top = g.row_h * static_cast<float>(row);
    if (top < d->scroll_y)
        d->scroll_y = top;
    else if (top + g.row_h > d->scroll_y + g.body_h)
        d->scroll_y = top + g.row_h - g.body_h;
    d->scroll_y = std::clamp(d->scroll_y, 0.0f, g.max_scroll);
    ctx->dirty = true;
}

int zq_gui_dropmenu_add_entry(ZQ_GUI_CTX* ctx, int id, std::string_view text, int tag,
                              ZQ_GUI_CLICK_FN on_click, void* user) {
    auto* d = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(ctx, id);
    if (!d) return -1;
    ZQ_GUI_DROP_ENTRY e;
    e.text = zq_utf8_clean(text, SIZE_MAX);
    e.tag = tag;
    e.on_click = on_click;
    e.user = user;
    d->entries.push_back(std::move(e));
    ctx->dirty = true;
    return static_cast<int>(d->entries.size()) - 1;
}

void zq_gui_dropmenu_set_entry_text(ZQ_GUI_CTX* ctx, int id, int index, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(ctx, id);
    if (!d || index < 0 || index >= static_cast<int>(d->entries.size())) return;
    d->entries[index].text = zq_utf8_clean(text, SIZE_MAX);
    ctx->dirty = true;
}

void zq_gui_dropmenu_set_entry_visible(ZQ_GUI_CTX* ctx, int id, int index, int visible) {
    auto* d = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(ctx, id);
    if (!d || index < 0 || index >= static_cast<int>(d->entries.size())) return;
    d->entries[index].visible = visible != 0;
    ctx->dirty = true;
}

std::vector<int> zq_gui_dropmenu_visible(const ZQ_GUI_DROPMENU_DATA& d) {
    std::vector<int> out;
    for (size_t i = 0; i < d.entries.size(); ++i)
        if (d.entries[i].visible) out.push_back(static_cast<int>(i));
    return out;
}

bool zq_gui_open_list_box(ZQ_GUI_CTX* ctx, ZQ_GUI_LIST_BOX* box) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->open_list);
    if (!wd) return false;
    float x, y, w, h;
    if (!zq_gui_screen_rect(ctx, wd, &x, &y, &w, &h)) return false;
    int count = 0, max_visible = 0;
    float min_w = w;
    const ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd)) {
        count = static_cast<int>(c->items.size());
        max_visible = ctx->style.combobox_max_visible;
    } else if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        count = static_cast<int>(zq_gui_dropmenu_visible(*m).size());
        max_visible = ctx->style.dropmenu_max_visible;
        for (const auto& e : m->entries)
            if (e.visible) min_w = std::max(min_w, zq_gui_text_w(font, e.text) + 24);
    } else {
        return false;
    }
    box->item_h = std::max(ctx->style.listbox_default_item_height, zq_gui_line_h(font) + 6);
    box->count = count;
    box->shown = std::clamp(count, 1, std::max(1, max_visible));
    box->w = std::min(min_w, std::max(w, ctx->disp_w));
    box->h = box->item_h * static_cast<float>(box->shown) + 2;
    box->x = std::clamp(x, 0.0f, std::max(0.0f, ctx->disp_w - box->w));
    // Below the widget, or above it when there is no room below. When it fits on neither
    // side it goes where there is more room and shows fewer rows (it scrolls), so that no
    // entry lies off the display where the pointer cannot reach it.
    box->y = y + h;
    const float below = ctx->disp_h - (y + h), above = y;
    if (ctx->disp_h > 0 && box->h > below) {
        if (box->h <= above) {
            box->y = y - box->h;
        } else {
            const bool up = above > below;
            const float room = up ? above : below;
            box->shown = std::clamp(static_cast<int>((room - 2) / box->item_h), 1, box->shown);
            box->h = box->item_h * static_cast<float>(box->shown) + 2;
            box->y = up ? y - box->h : y + h;
            box->y = std::clamp(box->y, 0.0f, std::max(0.0f, ctx->disp_h - box->h));
        }
    }
    return true;
}

void zq_gui_custom_set_mouse(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_MOUSE_FN on_mouse, void* user) {
    auto* d = zq_gui_data<ZQ_GUI_CUSTOM_DATA>(ctx, id);
    if (!d) return;
    d->on_mouse = on_mouse;
    d->mouse_user = user;
}

// The destroy callback gets the draw user pointer.
void zq_gui_custom_set_destroy(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_DESTROY_FN on_destroy) {
    auto* d = zq_gui_data<ZQ_GUI_CUSTOM_DATA>(ctx, id);
    if (d) d->on_destroy = on_destroy;
}

// ---------------------------------------------------------------------------------------
// 7. Common setters and getters
// ---------------------------------------------------------------------------------------

void zq_gui_set_widget_visible(ZQ_GUI_CTX* ctx, int id, int visible) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd || wd->visible == (visible != 0)) return;
    wd->visible = visible != 0;
    if (!wd->visible) zq_gui_on_widget_removed(ctx, id);
    if (ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, wd->window_id))
        zq_gui_update_content(ctx, rec->pub);
    ctx->dirty = true;
}

void zq_gui_set_widget_enabled(ZQ_GUI_CTX* ctx, int id, int enabled) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd || wd->enabled == (enabled != 0)) return;
    wd->enabled = enabled != 0;
    if (!wd->enabled) zq_gui_on_widget_removed(ctx, id);
    ctx->dirty = true;
}

void zq_gui_set_widget_tooltip(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd) return;
    wd->tooltip = zq_utf8_clean(text, SIZE_MAX);
    if (ctx->tip_widget == id && ctx->tip_shown) ctx->dirty = true;
}

void zq_gui_set_widget_theme(ZQ_GUI_CTX* ctx, int id, const ZQ_GUI_THEME& theme) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd) return;
    wd->theme = theme;
    wd->has_theme = true;
    ctx->dirty = true;
}

void zq_gui_set_widget_font(ZQ_GUI_CTX* ctx, int id, ALLEGRO_FONT* font) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd) return;
    wd->font = font;
    if (auto* t = zq_gui_data<ZQ_GUI_TEXT_DATA>(wd)) t->lines_w = -1;
    ctx->dirty = true;
}

void zq_gui_set_widget_rect(ZQ_GUI_CTX* ctx, int id, float x, float y, float w, float h) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd) return;
    wd->x = x;
    wd->y = y;
    wd->w = std::max(0.0f, w);
    wd->h = std::max(0.0f, h);
    if (auto* t = zq_gui_data<ZQ_GUI_TEXT_DATA>(wd)) t->lines_w = -1;
    if (ZQ_GUI_WIN_REC* rec = zq_gui_find_window(ctx, wd->window_id))
        zq_gui_update_content(ctx, rec->pub);
    ctx->dirty = true;
}

ZQ_GUI_WIDGET* zq_gui_get_widget(ZQ_GUI_CTX* ctx, int id) {
    return zq_gui_find_widget(ctx, id);
}

int zq_gui_widget_screen_rect(ZQ_GUI_CTX* ctx, int id, float* x, float* y, float* w, float* h) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    if (!wd) return 0;
    float sx, sy, sw, sh;
    if (!zq_gui_screen_rect(ctx, wd, &sx, &sy, &sw, &sh)) return 0;
    if (x) *x = sx;
    if (y) *y = sy;
    if (w) *w = sw;
    if (h) *h = sh;
    return 1;
}

// ---------------------------------------------------------------------------------------
// 8. Placing widgets in rows
// ---------------------------------------------------------------------------------------

float zq_gui_place_rows(ZQ_GUI_CTX* ctx, std::span<const ZQ_GUI_ROW_ITEM> items, float x, float y,
                        float w, float row_h, float gap_x, float gap_y) {
    if (!ctx) return y;
    // A widget just short of the edge by rounding still fits.
    constexpr float kSlack = 0.01f;
    struct PLACED {
        const ZQ_GUI_ROW_ITEM* item;
        float x, w, h;
    };
    std::vector<PLACED> row;
    float row_y = y, cx = x;
    bool any = false;
    // Sets the rectangles of the row and moves below it; `wrapped` when a widget went on.
    const auto end_row = [&](bool wrapped) {
        if (row.empty()) return;
        if (wrapped && row.back().item->over_h > 0) row.back().h = row.back().item->over_h;
        float tallest = 0;
        for (const PLACED& p : row) {
            zq_gui_set_widget_rect(ctx, p.item->id, p.x, row_y, p.w, p.h);
            tallest = std::max(tallest, p.h);
        }
        row.clear();
        row_y += tallest + (wrapped ? gap_y : 0);
        cx = x;
    };
    for (const ZQ_GUI_ROW_ITEM& it : items) {
        const ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, it.id);
        if (!wd || !wd->visible) continue;
        any = true;
        const float h = it.h > 0 ? it.h : row_h;
        float iw = it.w > 0 ? it.w : wd->w;
        if (it.fill_min > 0) {
            if (!row.empty() && x + w - cx < it.fill_min - kSlack) end_row(true);
            iw = x + w - cx;
        } else if (!row.empty() && cx + iw > x + w + kSlack) {
            end_row(true);
        }
        row.push_back({&it, cx, iw, h});
        cx += iw + gap_x;
    }
    end_row(false);
    return any ? row_y : y;
}
