// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing: windows in z-order, each widget kind, the open drop-down list and tooltips.
// Nothing here changes what the toolkit holds beyond layout caches and the record of what
// was last drawn (for redraw tracking). Text of a widget is drawn in one held batch after
// its shapes; only what lies inside the visible area is drawn.
//
// Index
//   1. Shapes, colours and clipping
//   2. Widgets
//   3. Windows
//   4. Overlays: open list, tooltip
//   5. Entry points
#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "zq_gui_internal.h"

// ---------------------------------------------------------------------------------------
// 1. Shapes, colours and clipping
// ---------------------------------------------------------------------------------------

static bool rounded(const ZQ_GUI_CTX* ctx, float rx, float ry) {
    return ctx->shape_mode == 1 && rx > 0 && ry > 0;
}

static ALLEGRO_VERTEX vertex(float x, float y, ALLEGRO_COLOR c) {
    ALLEGRO_VERTEX v{};
    v.x = x;
    v.y = y;
    v.color = c;
    return v;
}

// A rounded box as three rectangles and four small corner fans in one triangle list: the
// software rasteriser pays per covered tile for every triangle, so long thin triangles that
// span the whole box (a fan from its centre) cost several times more.
void zq_gui_fill_box(const ZQ_GUI_CTX* ctx, float x, float y, float w, float h, float rx, float ry,
                     ALLEGRO_COLOR c) {
    if (w <= 0 || h <= 0) return;
    rx = std::min(rx, w / 2);
    ry = std::min(ry, h / 2);
    if (!rounded(ctx, rx, ry)) {
        al_draw_filled_rectangle(x, y, x + w, y + h, c);
        return;
    }
    constexpr int kMaxSeg = 8;
    const int seg = std::clamp(static_cast<int>(std::max(rx, ry) / 2), 2, kMaxSeg);
    ALLEGRO_VERTEX v[18 + 4 * kMaxSeg * 3];
    int n = 0;
    const auto quad = [&](float x0, float y0, float x1, float y1) {
        v[n++] = vertex(x0, y0, c);
        v[n++] = vertex(x1, y0, c);
        v[n++] = vertex(x1, y1, c);
        v[n++] = vertex(x0, y0, c);
        v[n++] = vertex(x1, y1, c);
        v[n++] = vertex(x0, y1, c);
    };
    const float x1 = x + w, y1 = y + h;
    quad(x + rx, y, x1 - rx, y1);
    quad(x, y + ry, x + rx, y1 - ry);
    quad(x1 - rx, y + ry, x1, y1 - ry);
    const float cx[4] = {x1 - rx, x + rx, x + rx, x1 - rx};
    const float cy[4] = {y + ry, y + ry, y1 - ry, y1 - ry};
    constexpr float kQuarter = static_cast<float>(ALLEGRO_PI / 2);
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < seg; ++i) {
            const float a0 = kQuarter * (static_cast<float>(k) + static_cast<float>(i) / seg);
            const float a1 = kQuarter * (static_cast<float>(k) + static_cast<float>(i + 1) / seg);
            v[n++] = vertex(cx[k], cy[k], c);
            v[n++] = vertex(cx[k] + rx * std::cos(a0), cy[k] - ry * std::sin(a0), c);
            v[n++] = vertex(cx[k] + rx * std::cos(a1), cy[k] - ry * std::sin(a1), c);
        }
    }
    al_draw_prim(v, nullptr, nullptr, 0, n, ALLEGRO_PRIM_TRIANGLE_LIST);
}

void zq_gui_frame_box(const ZQ_GUI_CTX* ctx, float x, float y, float w, float h, float rx, float ry,
                      ALLEGRO_COLOR c, float thick) {
    if (w <= 0 || h <= 0 || thick <= 0) return;
    // Outlines sit inside the box.
    const float t2 = thick / 2;
    rx = std::min(rx, w / 2);
    ry = std::min(ry, h / 2);
    if (rounded(ctx, rx, ry))
        al_draw_rounded_rectangle(x + t2, y + t2, x + w - t2, y + h - t2, rx, ry, c, thick);
    else
        al_draw_rectangle(x + t2, y + t2, x + w - t2, y + h - t2, c, thick);
}

ZQ_GUI_CLIP zq_gui_clip_push(float x, float y, float w, float h) {
    ZQ_GUI_CLIP saved;
    al_get_clipping_rectangle(&saved.x, &saved.y, &saved.w, &saved.h);
    const int x0 = std::max(saved.x, static_cast<int>(std::floor(x)));
    const int y0 = std::max(saved.y, static_cast<int>(std::floor(y)));
    const int x1 = std::min(saved.x + saved.w, static_cast<int>(std::ceil(x + w)));
    const int y1 = std::min(saved.y + saved.h, static_cast<int>(std::ceil(y + h)));
    al_set_clipping_rectangle(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
    return saved;
}

void zq_gui_clip_pop(const ZQ_GUI_CLIP& saved) {
    al_set_clipping_rectangle(saved.x, saved.y, saved.w, saved.h);
}

bool zq_gui_clip_empty() {
    int x, y, w, h;
    al_get_clipping_rectangle(&x, &y, &w, &h);
    return w <= 0 || h <= 0;
}

// A premultiplied colour faded to `f` of its strength.
static ALLEGRO_COLOR fade(ALLEGRO_COLOR c, float f) {
    return al_map_rgba_f(c.r * f, c.g * f, c.b * f, c.a * f);
}

static ALLEGRO_COLOR mix(ALLEGRO_COLOR a, ALLEGRO_COLOR b, float t) {
    return al_map_rgba_f(a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
                         a.a + (b.a - a.a) * t);
}

// Colours of a clickable thing in its state.
struct Look {
    ALLEGRO_COLOR bg, border, text;
};

static Look look(const ZQ_GUI_THEME& t, bool hovered, bool active, bool enabled) {
    Look l;
    if (active) {
        l = {t.bg_active, t.border_active, t.text_active};
    } else if (hovered) {
        l = {t.bg_hover, t.border_hover, t.text_hover};
    } else {
        l = {t.bg_normal, t.border_normal, t.text_normal};
    }
    if (!enabled) {
        l.bg = fade(l.bg, 0.6f);
        l.border = fade(l.border, 0.5f);
        l.text = fade(l.text, 0.45f);
    }
    return l;
}

static void draw_down_arrow(float cx, float cy, float s, ALLEGRO_COLOR c) {
    al_draw_filled_triangle(cx - s, cy - s / 2, cx + s, cy - s / 2, cx, cy + s / 2, c);
}

// A vertical scroll bar: track and thumb.
static void draw_vbar(const ZQ_GUI_CTX* ctx, float x, float y, float w, float h, float thumb_y,
                      float thumb_h, bool global) {
    const ZQ_GUI_STYLE& s = ctx->style;
    al_draw_filled_rectangle(x, y, x + w, y + h,
                             global ? s.global_scrollbar_track_color : s.scrollbar_track_color);
    const float r = std::min(w / 2 - 1, 4.0f);
    zq_gui_fill_box(ctx, x + 2, thumb_y + 1, w - 4, thumb_h - 2, r, r,
                    global ? s.global_scrollbar_thumb_color : s.scrollbar_thumb_color);
    if (global)
        zq_gui_frame_box(ctx, x + 2, thumb_y + 1, w - 4, thumb_h - 2, r, r,
                         s.global_scrollbar_thumb_border_color, 1);
}

// Thumb of a widget's own scroll bar at its right edge.
static void draw_inner_bar(const ZQ_GUI_CTX* ctx, float x, float y, float w, float body_y,
                           float body_h, float content_h, float scroll) {
    if (content_h <= body_h || body_h <= 0) return;
    const float bar = ctx->style.scrollbar_size;
    const float thumb_h = std::clamp(body_h * body_h / content_h, bar * 1.5f, body_h);
    const float max_scroll = content_h - body_h;
    const float ty = y + body_y + (body_h - thumb_h) * (scroll / max_scroll);
    draw_vbar(ctx, x + w - bar, y + body_y, bar, body_h, ty, thumb_h, false);
}

// ---------------------------------------------------------------------------------------
// 2. Widgets
// ---------------------------------------------------------------------------------------

struct DrawEnv {
    ZQ_GUI_CTX* ctx;
    ZQ_GUI_WIDGET* wd;
    const ZQ_GUI_THEME& theme;
    ALLEGRO_FONT* font;
    float x, y, w, h;  // on screen
    float lh;          // line height of the font
    uint64_t key;
    bool hovered, held, enabled;
};

// Clipping costs the software rasteriser a state change each way, so text that is known
// to fit is drawn without it.
static bool label_fits(const DrawEnv& e, const ZQ_GUI_LABEL_DATA& d, size_t lines, float pad) {
    if (lines == 1 ? e.lh > e.h : pad + e.lh * static_cast<float>(lines) > e.h) return false;
    size_t start = 0;
    while (start <= d.text.size()) {
        size_t nl = d.text.find('\n', start);
        if (nl == std::string::npos) nl = d.text.size();
        const std::string_view line = std::string_view(d.text).substr(start, nl - start);
        if (zq_gui_text_w(e.font, line) > e.w - 2 * pad) return false;
        start = nl + 1;
    }
    return true;
}

static void draw_label(const DrawEnv& e, const ZQ_GUI_LABEL_DATA& d) {
    const ALLEGRO_COLOR c = e.enabled ? e.theme.text_normal : fade(e.theme.text_normal, 0.45f);
    const float pad = e.ctx->style.label_padding;
    // One line centred in a one-line box; several from the top.
    const size_t lines = 1 + static_cast<size_t>(std::count(d.text.begin(), d.text.end(), '\n'));
    const bool fits = label_fits(e, d, lines, pad);
    ZQ_GUI_CLIP clip;
    if (!fits) clip = zq_gui_clip_push(e.x, e.y, e.w, e.h);
    if (fits || !zq_gui_clip_empty()) {
        float ty = e.y + (lines == 1 ? (e.h - e.lh) / 2 : pad);
        al_hold_bitmap_drawing(true);
        size_t start = 0;
        while (start <= d.text.size()) {
            size_t nl = d.text.find('\n', start);
            if (nl == std::string::npos) nl = d.text.size();
            const std::string_view line = std::string_view(d.text).substr(start, nl - start);
            if (ty > e.y + e.h) break;
            if (ty + e.lh >= e.y) {
                float tx = e.x + pad;
                if (d.align == ZQ_GUI_ALIGN_CENTRE)
                    tx = e.x + (e.w - zq_gui_text_w(e.font, line)) / 2;
                else if (d.align == ZQ_GUI_ALIGN_RIGHT)
                    tx = e.x + e.w - pad - zq_gui_text_w(e.font, line);
                zq_gui_text_draw(e.font, c, tx, ty, line);
            }
            ty += e.lh;
            start = nl + 1;
        }
        al_hold_bitmap_drawing(false);
    }
    if (!fits) zq_gui_clip_pop(clip);
}

static void draw_button(const DrawEnv& e, const ZQ_GUI_BUTTON_DATA& d) {
    const bool pressed = e.held || d.toggled;
    Look l = look(e.theme, e.hovered, pressed, e.enabled);
    const float rx = d.shape == 1 ? e.theme.corner_rx : 0;
    const float ry = d.shape == 1 ? e.theme.corner_ry : 0;
    zq_gui_fill_box(e.ctx, e.x, e.y, e.w, e.h, rx, ry, l.bg);
    // A toggled button keeps a heavier outline so that it reads as "on" under the pointer too.
    const float thick = e.theme.border_thickness * (d.toggled ? 2.0f : 1.0f);
    zq_gui_frame_box(e.ctx, e.x, e.y, e.w, e.h, rx, ry, l.border, thick);
    const std::string text = zq_gui_text_shorten(e.font, d.label, e.w - 8);
    const float tw = zq_gui_text_w(e.font, text);
    // Pressed buttons sink by a pixel.
    const float sink = e.held ? 1.0f : 0.0f;
    zq_gui_text_draw(e.font, l.text, std::round(e.x + (e.w - tw) / 2),
                     std::round(e.y + (e.h - e.lh) / 2 + sink), text);
}

static void draw_checkbox(const DrawEnv& e, const ZQ_GUI_CHECKBOX_DATA& d) {
    const Look l = look(e.theme, e.hovered, e.held, e.enabled);
    const float box = std::max(6.0f, std::min(e.h, e.ctx->style.checkbox_max_size) - 4);
    const float bx = e.x + 2, by = e.y + (e.h - box) / 2;
    const float r = std::min(e.theme.corner_rx, box / 4);
    zq_gui_fill_box(e.ctx, bx, by, box, box, r, r, d.checked ? e.theme.bg_active : l.bg);
    zq_gui_frame_box(e.ctx, bx, by, box, box, r, r, d.checked ? e.theme.border_active : l.border,
                     std::max(1.0f, e.theme.border_thickness));
    if (d.checked) {
        const ALLEGRO_COLOR c = e.enabled ? e.theme.text_active : fade(e.theme.text_active, 0.45f);
        const float t = std::max(1.5f, box / 8);
        al_draw_line(bx + box * 0.22f, by + box * 0.52f, bx + box * 0.42f, by + box * 0.72f, c, t);
        al_draw_line(bx + box * 0.42f, by + box * 0.72f, bx + box * 0.78f, by + box * 0.28f, c, t);
    }
    const float tx = bx + box + 8;
    const std::string text = zq_gui_text_shorten(e.font, d.label, e.x + e.w - tx);
    zq_gui_text_draw(e.font, e.enabled ? e.theme.text_normal : fade(e.theme.text_normal, 0.45f), tx,
                     std::round(e.y + (e.h - e.lh) / 2), text);
}

static std::string slider_text(const ZQ_GUI_SLIDER_DATA& d) {
    char buf[48];
    int decimals = 0;
    if (d.step > 0) {
        for (float s = d.step; decimals < 4 && std::fabs(s - std::round(s)) > 1e-4f; s *= 10)
            ++decimals;
    } else if (d.max - d.min <= 10) {
        decimals = 2;
    }
    std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(d.value));
    return buf;
}

static void draw_slider(const DrawEnv& e, const ZQ_GUI_SLIDER_DATA& d, bool focused) {
    const float knob = e.h * 0.6f;
    const float value_w = d.show_value ? std::min(e.w * 0.3f, 56.0f) : 0.0f;
    const float track_w = std::max(1.0f, e.w - value_w - knob);
    const float tx = e.x + knob / 2;
    const float cy = e.y + e.h / 2;
    const float th = e.ctx->style.slider_track_size;
    const float t = d.max > d.min ? (d.value - d.min) / (d.max - d.min) : 0;
    const Look l = look(e.theme, e.hovered, e.held, e.enabled);
    zq_gui_fill_box(e.ctx, tx, cy - th / 2, track_w, th, th / 2, th / 2, e.theme.bg_hover);
    zq_gui_fill_box(e.ctx, tx, cy - th / 2, track_w * t, th, th / 2, th / 2,
                    e.enabled ? e.theme.border_active : fade(e.theme.border_active, 0.5f));
    const float kx = tx + track_w * t;
    al_draw_filled_circle(kx, cy, knob / 2, l.bg);
    al_draw_circle(kx, cy, knob / 2 - 0.5f, focused ? e.theme.border_active : l.border,
                   std::max(1.0f, e.theme.border_thickness));
    if (d.show_value) {
        const std::string v = slider_text(d);
        zq_gui_text_draw(e.font, l.text, e.x + e.w - zq_gui_text_w(e.font, v),
                         std::round(cy - e.lh / 2), v);
    }
}

static void draw_textarea(const DrawEnv& e, ZQ_GUI_TEXT_DATA& t, bool focused) {
    ZQ_GUI_CTX* ctx = e.ctx;
    const ZQ_GUI_THEME& th = e.theme;
    const float pad = ctx->style.textarea_padding;
    zq_gui_fill_box(ctx, e.x, e.y, e.w, e.h, th.corner_rx, th.corner_ry,
                    e.enabled ? th.bg_normal : fade(th.bg_normal, 0.6f));
    zq_gui_frame_box(ctx, e.x, e.y, e.w, e.h, th.corner_rx, th.corner_ry,
                     focused ? th.border_active : (e.hovered ? th.border_hover : th.border_normal),
                     th.border_thickness * (focused ? 2.0f : 1.0f));
    zq_gui_textarea_layout(ctx, e.wd, t);
    const float ix = e.x + pad, iy = e.y + pad;
    const float iw = std::max(0.0f, e.w - 2 * pad), ih = std::max(0.0f, e.h - 2 * pad);
    // One-line fields centre their line.
    const float top = t.multiline ? iy - t.scroll_y : e.y + (e.h - e.lh) / 2;
    const float shift = t.multiline ? 0 : t.scroll_x;
    // Clipped only when something could stick out: scrolled or overlong text.
    const float text_w = t.text.empty() ? zq_gui_text_w(e.font, t.placeholder)
                                        : (t.multiline ? 0 : zq_gui_text_w(e.font, t.text));
    const bool fits = t.multiline
                          ? t.scroll_y == 0 && e.lh * static_cast<float>(t.lines.size()) <= ih &&
                                (!t.text.empty() || text_w <= iw)
                          : t.scroll_x == 0 && text_w <= iw && e.lh <= e.h - 2;
    ZQ_GUI_CLIP clip;
    if (!fits) {
        clip = zq_gui_clip_push(ix - 1, e.y + 1, iw + 2, e.h - 2);
        if (zq_gui_clip_empty()) {
            zq_gui_clip_pop(clip);
            return;
        }
    }
    const size_t sel_a = std::min(t.caret, t.anchor), sel_b = std::max(t.caret, t.anchor);
    const std::string_view s = t.text;
    // Only the lines in view.
    size_t first = 0, last = t.lines.size();
    if (t.multiline) {
        first = static_cast<size_t>(std::max(0.0f, t.scroll_y / e.lh));
        last = std::min(t.lines.size(), first + static_cast<size_t>(ih / e.lh) + 2);
    }
    if (sel_a != sel_b) {
        for (size_t i = first; i < last; ++i) {
            const ZQ_GUI_TEXT_LINE& ln = t.lines[i];
            const size_t a = std::max(sel_a, ln.begin), b = std::min(sel_b, ln.end);
            const bool nl_selected = t.multiline && sel_b > ln.end && sel_a <= ln.end &&
                                     ln.end < s.size() && s[ln.end] == '\n';
            if (a >= b && !nl_selected) continue;
            const float x0 =
                zq_gui_text_w(e.font, s.substr(ln.begin, std::max(a, ln.begin) - ln.begin));
            float x1 = a < b ? zq_gui_text_w(e.font, s.substr(ln.begin, b - ln.begin)) : x0;
            if (nl_selected) x1 += e.lh / 3;  // the line break shows as a sliver
            const float ly = top + e.lh * static_cast<float>(i);
            al_draw_filled_rectangle(ix + x0 - shift, ly, ix + x1 - shift, ly + e.lh,
                                     th.selection_color);
        }
    }
    al_hold_bitmap_drawing(true);
    if (t.text.empty() && !t.placeholder.empty()) {
        zq_gui_text_draw(e.font, fade(th.text_normal, 0.5f), ix, top, t.placeholder);
    } else {
        const ALLEGRO_COLOR c = e.enabled ? th.text_normal : fade(th.text_normal, 0.45f);
        for (size_t i = first; i < last; ++i) {
            const ZQ_GUI_TEXT_LINE& ln = t.lines[i];
            zq_gui_text_draw(e.font, c, ix - shift, top + e.lh * static_cast<float>(i),
                             s.substr(ln.begin, ln.end - ln.begin));
        }
    }
    al_hold_bitmap_drawing(false);
    if (focused) {
        const int phase = zq_gui_caret_phase(ctx);
        ctx->caret_drawn = phase;
        if (phase == 0) {
            const size_t li = zq_gui_textarea_line_of(t, t.caret);
            const ZQ_GUI_TEXT_LINE& ln = t.lines[li];
            const float cx =
                ix - shift + zq_gui_text_w(e.font, s.substr(ln.begin, t.caret - ln.begin));
            const float cy = top + e.lh * static_cast<float>(li);
            al_draw_line(std::round(cx) + 0.5f, cy + 1, std::round(cx) + 0.5f, cy + e.lh - 1,
                         th.text_active, 1.5f);
        }
    }
    if (!fits) zq_gui_clip_pop(clip);
}

static void draw_combobox(const DrawEnv& e, const ZQ_GUI_COMBO_DATA& d, bool open) {
    const Look l = look(e.theme, e.hovered, e.held || open, e.enabled);
    zq_gui_fill_box(e.ctx, e.x, e.y, e.w, e.h, e.theme.corner_rx, e.theme.corner_ry, l.bg);
    zq_gui_frame_box(e.ctx, e.x, e.y, e.w, e.h, e.theme.corner_rx, e.theme.corner_ry, l.border,
                     e.theme.border_thickness);
    const float arrow = std::min(e.h * 0.18f, 6.0f);
    draw_down_arrow(e.x + e.w - 8 - arrow, e.y + e.h / 2, arrow, l.text);
    if (d.selected >= 0 && d.selected < static_cast<int>(d.items.size())) {
        const std::string text =
            zq_gui_text_shorten(e.font, d.items[d.selected], e.w - 24 - 2 * arrow);
        zq_gui_text_draw(e.font, l.text, e.x + 8, std::round(e.y + (e.h - e.lh) / 2), text);
    }
}

static void draw_dropmenu(const DrawEnv& e, const ZQ_GUI_DROPMENU_DATA& d, bool open) {
    const Look l = look(e.theme, e.hovered, e.held || open, e.enabled);
    zq_gui_fill_box(e.ctx, e.x, e.y, e.w, e.h, e.theme.corner_rx, e.theme.corner_ry, l.bg);
    zq_gui_frame_box(e.ctx, e.x, e.y, e.w, e.h, e.theme.corner_rx, e.theme.corner_ry, l.border,
                     e.theme.border_thickness);
    const float arrow = std::min(e.h * 0.16f, 5.0f);
    const std::string text = zq_gui_text_shorten(e.font, d.label, e.w - 20 - 2 * arrow);
    const float tw = zq_gui_text_w(e.font, text);
    const float total = tw + 6 + 2 * arrow;
    const float tx = std::round(e.x + (e.w - total) / 2);
    zq_gui_text_draw(e.font, l.text, tx, std::round(e.y + (e.h - e.lh) / 2), text);
    draw_down_arrow(tx + tw + 6 + arrow, e.y + e.h / 2, arrow, l.text);
}

static void draw_radiolist(const DrawEnv& e, const ZQ_GUI_RADIO_DATA& d) {
    const float ih = zq_gui_radio_item_h(e.ctx, e.wd);
    const float r = std::min(ih * 0.3f, 9.0f);
    const bool fits = ih * static_cast<float>(d.items.size()) <= e.h;
    ZQ_GUI_CLIP clip;
    if (!fits) clip = zq_gui_clip_push(e.x, e.y, e.w, e.h);
    const int n =
        static_cast<int>(std::min<size_t>(d.items.size(), static_cast<size_t>(e.h / ih) + 1));
    for (int i = 0; i < n; ++i) {
        const uint64_t key = zq_gui_key(ZQ_GUI_KEY_ITEM, e.wd->id, i);
        const bool hov = e.enabled && zq_gui_is_hot(e.ctx, key);
        const Look l = look(e.theme, hov, zq_gui_is_held(e.ctx, key), e.enabled);
        const float cy = e.y + ih * static_cast<float>(i) + ih / 2;
        if (hov)
            zq_gui_fill_box(e.ctx, e.x, cy - ih / 2 + 1, e.w, ih - 2, 4, 4,
                            fade(e.theme.bg_hover, 0.8f));
        al_draw_filled_circle(e.x + 4 + r, cy, r, l.bg);
        al_draw_circle(e.x + 4 + r, cy, r - 0.5f,
                       i == d.selected ? e.theme.border_active : l.border,
                       std::max(1.0f, e.theme.border_thickness));
        if (i == d.selected)
            al_draw_filled_circle(e.x + 4 + r, cy, r * 0.5f, e.theme.border_active);
    }
    al_hold_bitmap_drawing(true);
    for (int i = 0; i < n; ++i) {
        const float cy = e.y + ih * static_cast<float>(i) + ih / 2;
        const float tx = e.x + 4 + 2 * r + 8;
        const std::string text = zq_gui_text_shorten(e.font, d.items[i], e.x + e.w - tx);
        zq_gui_text_draw(e.font, e.enabled ? e.theme.text_normal : fade(e.theme.text_normal, 0.45f),
                         tx, std::round(cy - e.lh / 2), text);
    }
    al_hold_bitmap_drawing(false);
    if (!fits) zq_gui_clip_pop(clip);
}

static void draw_datagrid(const DrawEnv& e, ZQ_GUI_GRID_DATA& g) {
    ZQ_GUI_CTX* ctx = e.ctx;
    const ZQ_GUI_THEME& th = e.theme;
    const ZQ_GUI_GRID_GEOM geom = zq_gui_grid_geom(ctx, e.wd, g);
    g.scroll_y = std::clamp(g.scroll_y, 0.0f, geom.max_scroll);
    const float bar = geom.bar ? ctx->style.scrollbar_size : 0.0f;
    const float body_w = std::max(0.0f, e.w - bar);
    const ZQ_GUI_CLIP clip = zq_gui_clip_push(e.x, e.y, e.w, e.h);
    if (zq_gui_clip_empty()) {
        zq_gui_clip_pop(clip);
        return;
    }
    al_draw_filled_rectangle(e.x, e.y, e.x + e.w, e.y + e.h, th.bg_normal);
    al_draw_filled_rectangle(e.x, e.y, e.x + e.w, e.y + geom.header_h, th.bg_hover);

    // Rows in view only: a grid of ten thousand rows costs what one of twenty does.
    const int n = static_cast<int>(g.rows.size());
    const int first = std::clamp(static_cast<int>(g.scroll_y / geom.row_h), 0, std::max(0, n));
    const int last = std::min(n, first + static_cast<int>(geom.body_h / geom.row_h) + 2);
    const float body_top = e.y + geom.body_y;
    const ZQ_GUI_CLIP body_clip = zq_gui_clip_push(e.x, body_top, e.w, geom.body_h);
    const auto row_y = [&](int r) {
        return body_top + geom.row_h * static_cast<float>(r) - g.scroll_y;
    };
    for (int r = first; r < last; ++r) {
        const float y0 = row_y(r);
        if (r % 2 == 1)
            al_draw_filled_rectangle(e.x, y0, e.x + body_w, y0 + geom.row_h,
                                     fade(th.bg_hover, 0.35f));
        if (g.has_colour[r])
            al_draw_filled_rectangle(e.x, y0, e.x + body_w, y0 + geom.row_h, g.row_colour[r]);
        if (r == g.selected)
            al_draw_filled_rectangle(e.x, y0, e.x + body_w, y0 + geom.row_h, th.selection_color);
        else if (r == g.hover && e.enabled)
            al_draw_filled_rectangle(e.x, y0, e.x + body_w, y0 + geom.row_h,
                                     fade(th.bg_hover, 0.7f));
    }
    // Column rules.
    float cx = e.x;
    for (size_t c = 0; c + 1 < g.columns.size(); ++c) {
        cx += g.columns[c].width;
        if (cx >= e.x + body_w) break;
        al_draw_line(std::round(cx) + 0.5f, e.y, std::round(cx) + 0.5f, e.y + e.h,
                     fade(th.border_normal, 0.6f), 1);
    }
    al_hold_bitmap_drawing(true);
    const ALLEGRO_COLOR tc = e.enabled ? th.text_normal : fade(th.text_normal, 0.45f);
    for (int r = first; r < last; ++r) {
        const float ty = std::round(row_y(r) + (geom.row_h - e.lh) / 2);
        float x = e.x;
        for (size_t c = 0; c < g.columns.size() && x < e.x + body_w; ++c) {
            const float cw = std::min(g.columns[c].width, e.x + body_w - x);
            const std::string& cell = g.rows[r][c];
            if (!cell.empty()) {
                if (zq_gui_text_w(e.font, cell) <= cw - 12)
                    zq_gui_text_draw(e.font, r == g.selected ? th.text_active : tc, x + 6, ty,
                                     cell);
                else
                    zq_gui_text_draw(e.font, r == g.selected ? th.text_active : tc, x + 6, ty,
                                     zq_gui_text_shorten(e.font, cell, cw - 12));
            }
            x += g.columns[c].width;
        }
    }
    al_hold_bitmap_drawing(false);
    zq_gui_clip_pop(body_clip);
    // Header titles.
    al_hold_bitmap_drawing(true);
    float hx = e.x;
    for (size_t c = 0; c < g.columns.size() && hx < e.x + body_w; ++c) {
        const float cw = std::min(g.columns[c].width, e.x + body_w - hx);
        zq_gui_text_draw(e.font, th.text_hover, hx + 6,
                         std::round(e.y + (geom.header_h - e.lh) / 2),
                         zq_gui_text_shorten(e.font, g.columns[c].title, cw - 12));
        hx += g.columns[c].width;
    }
    al_hold_bitmap_drawing(false);
    al_draw_line(e.x, e.y + geom.header_h - 0.5f, e.x + e.w, e.y + geom.header_h - 0.5f,
                 th.border_normal, 1);
    draw_inner_bar(ctx, e.x, e.y, e.w, geom.body_y, geom.body_h, geom.row_h * static_cast<float>(n),
                   g.scroll_y);
    zq_gui_frame_box(ctx, e.x, e.y, e.w, e.h, 0, 0,
                     ctx->focus == e.wd->id ? th.border_active : th.border_normal, 1);
    zq_gui_clip_pop(clip);
}

static void draw_custom(const DrawEnv& e, const ZQ_GUI_CUSTOM_DATA& d) {
    if (!d.draw) return;
    const ZQ_GUI_CLIP clip = zq_gui_clip_push(e.x, e.y, e.w, e.h);
    if (!zq_gui_clip_empty()) d.draw(e.wd, e.x, e.y, e.font, d.draw_user);
    zq_gui_clip_pop(clip);
}

static void draw_widget(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, float x, float y) {
    const uint64_t key = zq_gui_key(ZQ_GUI_KEY_WIDGET, wd->id);
    ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    const DrawEnv e{ctx,
                    wd,
                    zq_gui_theme_of(ctx, wd),
                    font,
                    x,
                    y,
                    wd->w,
                    wd->h,
                    zq_gui_line_h(font),
                    key,
                    wd->enabled && zq_gui_is_hot(ctx, key),
                    zq_gui_is_held(ctx, key),
                    wd->enabled};
    const bool focused = ctx->focus == wd->id;
    switch (wd->type) {
        case ZQ_GUI_LABEL:
            draw_label(e, *zq_gui_data<ZQ_GUI_LABEL_DATA>(wd));
            break;
        case ZQ_GUI_BUTTON:
        case ZQ_GUI_TOGGLE_BUTTON:
            draw_button(e, *zq_gui_data<ZQ_GUI_BUTTON_DATA>(wd));
            break;
        case ZQ_GUI_CHECKBOX:
            draw_checkbox(e, *zq_gui_data<ZQ_GUI_CHECKBOX_DATA>(wd));
            break;
        case ZQ_GUI_SLIDER:
            draw_slider(e, *zq_gui_data<ZQ_GUI_SLIDER_DATA>(wd), focused);
            break;
        case ZQ_GUI_TEXTAREA:
            draw_textarea(e, *zq_gui_data<ZQ_GUI_TEXT_DATA>(wd), focused);
            break;
        case ZQ_GUI_COMBOBOX:
            draw_combobox(e, *zq_gui_data<ZQ_GUI_COMBO_DATA>(wd), ctx->open_list == wd->id);
            break;
        case ZQ_GUI_RADIOLIST:
            draw_radiolist(e, *zq_gui_data<ZQ_GUI_RADIO_DATA>(wd));
            break;
        case ZQ_GUI_DATAGRID:
            draw_datagrid(e, *zq_gui_data<ZQ_GUI_GRID_DATA>(wd));
            break;
        case ZQ_GUI_DROPMENU:
            draw_dropmenu(e, *zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd), ctx->open_list == wd->id);
            break;
        case ZQ_GUI_MARKDOWNVIEW: {
            const ZQ_GUI_CLIP clip = zq_gui_clip_push(x, y, wd->w, wd->h);
            if (!zq_gui_clip_empty())
                zq_gui_mdview_draw(ctx, wd, *zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd), x, y);
            zq_gui_clip_pop(clip);
            break;
        }
        case ZQ_GUI_CUSTOM:
            draw_custom(e, *zq_gui_data<ZQ_GUI_CUSTOM_DATA>(wd));
            break;
    }
}

// Relative luminance and contrast ratio of two opaque colours, as accessibility guides
// measure them.
static float luminance(ALLEGRO_COLOR c) {
    const auto lin = [](float v) {
        return v <= 0.03928f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
    };
    return 0.2126f * lin(c.r) + 0.7152f * lin(c.g) + 0.0722f * lin(c.b);
}

static float contrast(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    const float la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05f) / (std::min(la, lb) + 0.05f);
}

// The focus ring's colour: the widget's active border where it stands out 3:1 from the
// window face it is drawn on (what a mark that is not text needs), else the text colour,
// else whichever of them stands out most. A dark theme's accent is often too dark for it.
static ALLEGRO_COLOR focus_ring_colour(const ZQ_GUI_CTX* ctx, const ZQ_GUI_THEME& th) {
    const ALLEGRO_COLOR face = ctx->theme.bg_normal;
    const ALLEGRO_COLOR options[] = {th.border_active, ctx->theme.border_active,
                                     ctx->theme.text_normal, th.text_normal};
    ALLEGRO_COLOR best = options[0];
    float best_ratio = 0;
    for (const ALLEGRO_COLOR& c : options) {
        const float ratio = contrast(c, face);
        if (ratio >= 3) return c;
        if (ratio > best_ratio) {
            best_ratio = ratio;
            best = c;
        }
    }
    return best;
}

// A ring two pixels wide, two pixels outside the widget, kept inside the client area
// (cx, cy, cw, ch) so that a widget at its edge still shows all four sides.
static void draw_focus_ring(ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd, float x, float y, float cx,
                            float cy, float cw, float ch) {
    const ZQ_GUI_THEME& th = zq_gui_theme_of(ctx, wd);
    constexpr float kGap = 2, kThick = 2;
    float x0 = std::max(x - kGap - kThick, cx), y0 = std::max(y - kGap - kThick, cy);
    float x1 = std::min(x + wd->w + kGap + kThick, cx + cw);
    float y1 = std::min(y + wd->h + kGap + kThick, cy + ch);
    if (x1 - x0 < 2 * kThick || y1 - y0 < 2 * kThick) return;
    const float r = th.corner_rx > 0 ? th.corner_rx + kGap : 0;
    zq_gui_frame_box(ctx, x0, y0, x1 - x0, y1 - y0, r, r, focus_ring_colour(ctx, th), kThick);
}

// ---------------------------------------------------------------------------------------
// 3. Windows
// ---------------------------------------------------------------------------------------

static void draw_title_button(ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, ZQ_GUI_TB_BUTTON b) {
    float x, y, s;
    if (!zq_gui_tb_button_rect(ctx, w, b, &x, &y, &s)) return;
    const uint64_t key = zq_gui_key(ZQ_GUI_KEY_TITLE_BUTTON, w.id, b);
    const bool hov = zq_gui_is_hot(ctx, key), held = zq_gui_is_held(ctx, key);
    const ZQ_GUI_THEME& th = ctx->theme;
    ALLEGRO_COLOR bg = held ? th.bg_active : th.bg_hover;
    if (b == ZQ_GUI_TB_CLOSE && hov) bg = held ? al_map_rgb(150, 30, 30) : al_map_rgb(196, 43, 28);
    if (hov || held) zq_gui_fill_box(ctx, x, y, s, s, 4, 4, bg);
    const ALLEGRO_COLOR c = hov ? th.text_hover : th.text_normal;
    const float m = s * 0.3f, t = std::max(1.2f, s / 14);
    switch (b) {
        case ZQ_GUI_TB_CLOSE:
            al_draw_line(x + m, y + m, x + s - m, y + s - m, c, t);
            al_draw_line(x + s - m, y + m, x + m, y + s - m, c, t);
            break;
        case ZQ_GUI_TB_MAXIMIZE:
            if (w.state == ZQ_GUI_WIN_MAXIMIZED) {
                al_draw_rectangle(x + m + 2, y + m, x + s - m, y + s - m - 2, c, t);
                al_draw_filled_rectangle(x + m, y + m + 2, x + s - m - 2, y + s - m, th.bg_hover);
                al_draw_rectangle(x + m, y + m + 2, x + s - m - 2, y + s - m, c, t);
            } else {
                al_draw_rectangle(x + m, y + m, x + s - m, y + s - m, c, t);
            }
            break;
        case ZQ_GUI_TB_MINIMIZE:
            al_draw_line(x + m, y + s - m, x + s - m, y + s - m, c, t);
            break;
        case ZQ_GUI_TB_NONE:
            break;
    }
}

static void draw_window(ZQ_GUI_CTX* ctx, ZQ_GUI_WINDOW& w, bool top) {
    const ZQ_GUI_THEME& th = ctx->theme;
    const bool frameless = w.flags & ZQ_GUI_WIN_FRAMELESS;
    const float tb = zq_gui_titlebar_h(ctx, w);
    const float h = w.state == ZQ_GUI_WIN_MINIMIZED ? tb : w.h;
    const float r = frameless ? 0 : th.corner_rx;
    if (h <= 0 || w.w <= 0) return;
    if (w.z_mode == ZQ_GUI_ZORDER_POPUP)
        zq_gui_fill_box(ctx, w.x + 3, w.y + 5, w.w, h, r, r, al_map_rgba(0, 0, 0, 70));
    // The background window (the program's main screen) lies on what the program cleared the
    // display to; only the windows above it have a face of their own.
    if (w.z_mode != ZQ_GUI_ZORDER_ALWAYS_BEHIND)
        zq_gui_fill_box(ctx, w.x, w.y, w.w, h, r, r, th.bg_normal);
    if (tb > 0) {
        const ALLEGRO_COLOR bar = top ? mix(th.bg_hover, th.bg_active, 0.35f) : th.bg_hover;
        zq_gui_fill_box(ctx, w.x, w.y, w.w, tb, r, r, bar);
        if (w.state != ZQ_GUI_WIN_MINIMIZED && r > 0)
            al_draw_filled_rectangle(w.x, w.y + tb - r, w.x + w.w, w.y + tb,
                                     bar);  // square lower corners
        float right = w.x + w.w;
        for (ZQ_GUI_TB_BUTTON b : {ZQ_GUI_TB_CLOSE, ZQ_GUI_TB_MAXIMIZE, ZQ_GUI_TB_MINIMIZE}) {
            float bx, by, s;
            if (zq_gui_tb_button_rect(ctx, w, b, &bx, &by, &s)) right = std::min(right, bx);
            draw_title_button(ctx, w, b);
        }
        const std::string& cap = w.caption.empty() ? w.title : w.caption;
        const float lh = zq_gui_line_h(ctx->font);
        const std::string text = zq_gui_text_shorten(ctx->font, cap, right - w.x - 16);
        zq_gui_text_draw(ctx->font, top ? th.text_active : th.text_normal, w.x + 10,
                         std::round(w.y + (tb - lh) / 2), text);
    }
    if (w.state != ZQ_GUI_WIN_MINIMIZED) {
        float cx, cy, cw, ch;
        zq_gui_client_rect(ctx, w, &cx, &cy, &cw, &ch);
        const ZQ_GUI_CLIP clip = zq_gui_clip_push(cx, cy, cw, ch);
        if (!zq_gui_clip_empty()) {
            const ZQ_GUI_WIDGET* ringed = nullptr;
            for (int id : w.widgets) {
                ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
                if (!wd || !wd->visible) continue;
                const float x = cx + wd->x, y = cy + wd->y - w.scroll_y;
                if (y > cy + ch || y + wd->h < cy || x > cx + cw || x + wd->w < cx) continue;
                draw_widget(ctx, wd, x, y);
                // Text fields show their focus by their caret and border.
                if (ctx->focus_ring && ctx->focus == id && wd->type != ZQ_GUI_TEXTAREA) ringed = wd;
            }
            // Over its neighbours, which may stand closer than the ring's gap.
            if (ringed)
                draw_focus_ring(ctx, ringed, cx + ringed->x, cy + ringed->y - w.scroll_y, cx, cy,
                                cw, ch);
        }
        zq_gui_clip_pop(clip);
        float tx, ty, tw, tht, thumb_y, thumb_h;
        if (zq_gui_window_scrollbar(ctx, w, &tx, &ty, &tw, &tht, &thumb_y, &thumb_h))
            draw_vbar(ctx, tx, ty, tw, tht, thumb_y, thumb_h, frameless);
    }
    if (!frameless)
        zq_gui_frame_box(ctx, w.x, w.y, w.w, h, r, r, top ? th.border_hover : th.border_normal,
                         th.border_thickness);
}

// ---------------------------------------------------------------------------------------
// 4. Overlays: open list, tooltip
// ---------------------------------------------------------------------------------------

static void draw_open_list(ZQ_GUI_CTX* ctx) {
    ZQ_GUI_LIST_BOX box;
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->open_list);
    if (!wd || !zq_gui_open_list_box(ctx, &box)) return;
    const ZQ_GUI_THEME& th = zq_gui_theme_of(ctx, wd);
    ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    const float lh = zq_gui_line_h(font);
    std::vector<std::pair<int, const std::string*>> rows;  // item index, text
    int first = 0, hover = -1, selected = -1;
    if (auto* c = zq_gui_data<ZQ_GUI_COMBO_DATA>(wd)) {
        for (int i = 0; i < static_cast<int>(c->items.size()); ++i)
            rows.push_back({i, &c->items[i]});
        first = c->first;
        hover = c->hover;
        selected = c->selected;
    } else if (auto* m = zq_gui_data<ZQ_GUI_DROPMENU_DATA>(wd)) {
        for (int i : zq_gui_dropmenu_visible(*m)) rows.push_back({i, &m->entries[i].text});
        first = m->first;
        hover = m->hover;
    }
    zq_gui_fill_box(ctx, box.x + 2, box.y + 3, box.w, box.h, 4, 4, al_map_rgba(0, 0, 0, 60));
    zq_gui_fill_box(ctx, box.x, box.y, box.w, box.h, 4, 4, th.bg_normal);
    const ZQ_GUI_CLIP clip = zq_gui_clip_push(box.x, box.y, box.w, box.h);
    const int last = std::min(static_cast<int>(rows.size()), first + box.shown);
    for (int p = first; p < last; ++p) {
        const float y = box.y + 1 + box.item_h * static_cast<float>(p - first);
        const int item = rows[p].first;
        const uint64_t key = zq_gui_key(ZQ_GUI_KEY_ITEM, wd->id, item);
        if (item == hover || zq_gui_is_hot(ctx, key))
            al_draw_filled_rectangle(box.x + 1, y, box.x + box.w - 1, y + box.item_h, th.bg_hover);
        if (item == selected)
            al_draw_filled_rectangle(box.x + 1, y, box.x + 4, y + box.item_h, th.border_active);
    }
    al_hold_bitmap_drawing(true);
    for (int p = first; p < last; ++p) {
        const float y = box.y + 1 + box.item_h * static_cast<float>(p - first);
        zq_gui_text_draw(font, th.text_normal, box.x + 10, std::round(y + (box.item_h - lh) / 2),
                         zq_gui_text_shorten(font, *rows[p].second, box.w - 20));
    }
    al_hold_bitmap_drawing(false);
    if (static_cast<int>(rows.size()) > box.shown) {
        const float content = box.item_h * static_cast<float>(rows.size());
        const float body = box.h - 2;
        draw_inner_bar(ctx, box.x, box.y + 1, box.w - 1, 0, body, content,
                       box.item_h * static_cast<float>(first));
    }
    zq_gui_clip_pop(clip);
    zq_gui_frame_box(ctx, box.x, box.y, box.w, box.h, 4, 4, th.border_hover, 1);
}

static bool line_cb(int, const char*, int, void* extra) {
    ++*static_cast<int*>(extra);
    return true;
}

static void draw_tooltip(ZQ_GUI_CTX* ctx) {
    std::string text;
    if (ctx->tip_from_popup) {
        text = ctx->tip_text;
    } else if (ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, ctx->tip_widget)) {
        text = wd->tooltip;
    }
    if (text.empty() || ctx->held_key != 0) return;
    // A widget's tooltip never covers an open list or menu (their entries' own tips may show).
    if (!ctx->tip_from_popup && (ctx->open_list >= 0 || zq_gui_any_popup_open(ctx))) {
        zq_gui_drop_tooltip(ctx);
        return;
    }
    if (al_get_time() - ctx->hover_since < ctx->style.tooltip_delay) return;
    ctx->tip_shown = true;
    const ZQ_GUI_STYLE& s = ctx->style;
    ALLEGRO_FONT* font = ctx->font;
    const float lh = zq_gui_line_h(font);
    const float pad = 6;
    const float max_w = std::min(s.tooltip_max_w, std::max(40.0f, ctx->disp_w - 2 * pad - 8));
    int lines = 0;
    al_do_multiline_text(font, max_w, text.c_str(), line_cb, &lines);
    const float tw = std::min(max_w, zq_gui_text_w(font, text));
    const float w = tw + 2 * pad, h = lh * static_cast<float>(std::max(1, lines)) + 2 * pad;
    float x = ctx->mx + 12, y = ctx->my + 20;
    if (x + w > ctx->disp_w) x = std::max(0.0f, ctx->disp_w - w - 2);
    if (y + h > ctx->disp_h) y = std::max(0.0f, ctx->my - h - 6);
    zq_gui_fill_box(ctx, x, y, w, h, 4, 4, s.tooltip_bg);
    zq_gui_frame_box(ctx, x, y, w, h, 4, 4, s.tooltip_border, 1);
    al_draw_multiline_text(font, s.tooltip_fg, x + pad, y + pad, tw + 1, lh, 0, text.c_str());
}

// ---------------------------------------------------------------------------------------
// 5. Entry points
// ---------------------------------------------------------------------------------------

void zq_gui_draw(ZQ_GUI_CTX* ctx) {
    if (!ctx) return;
    ctx->caret_drawn = -1;
    // The top-most window that is not the background one is drawn as the active one.
    const ZQ_GUI_WIN_REC* top = nullptr;
    for (auto it = ctx->windows.rbegin(); it != ctx->windows.rend(); ++it)
        if ((*it)->pub.open) {
            top = it->get();
            break;
        }
    for (auto& rec : ctx->windows)
        if (rec->pub.open) draw_window(ctx, rec->pub, rec.get() == top);
    if (ctx->open_list >= 0) draw_open_list(ctx);
    zq_gui_popups_draw(ctx);
    draw_tooltip(ctx);
    ctx->dirty = false;
}

// Every window is drawn on the context's display; nothing lives on a display of its own.
void zq_gui_draw_detached(ZQ_GUI_CTX* ctx) {
    (void)ctx;
}
