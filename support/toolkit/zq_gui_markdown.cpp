// SPDX-License-Identifier: GPL-3.0-or-later
// The markdown view widget: owns its text and the parsed document, lays the document out
// again when its width (or the colours it was laid out with) change, scrolls, and reports
// clicked links through the screen's callback. Layout and drawing of the document itself
// are zq_mdview's.
#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <cmath>

#include "zq_gui_internal.h"
#include "zq_markdown.h"
#include "zq_mdview.h"

struct ZQ_MDVIEW {
    zq_markdown_doc doc;
    ZQ_MD_LAYOUT layout;
    bool laid = false;
    ALLEGRO_COLOR text{}, bg{}, link{};  // what the layout was made with
    int hovered = -1;                    // link index under the pointer
};

namespace {

constexpr float kPad = 6;  // between the view's edge and the document

bool same(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

float doc_width(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd) {
    // Room for the scroll bar is always kept, so that showing it never re-wraps the text.
    return std::max(1.0f, wd->w - 2 * kPad - ctx->style.scrollbar_size);
}

}  // namespace

ZQ_GUI_MDVIEW_DATA::ZQ_GUI_MDVIEW_DATA(ZQ_GUI_MDVIEW_DATA&& o) noexcept
    : text(std::move(o.text)),
      fonts(o.fonts),
      view(o.view),
      laid_w(o.laid_w),
      scroll_y(o.scroll_y),
      on_link(o.on_link),
      link_user(o.link_user) {
    o.view = nullptr;
}

ZQ_GUI_MDVIEW_DATA& ZQ_GUI_MDVIEW_DATA::operator=(ZQ_GUI_MDVIEW_DATA&& o) noexcept {
    if (this != &o) {
        delete view;
        text = std::move(o.text);
        fonts = o.fonts;
        view = o.view;
        o.view = nullptr;
        laid_w = o.laid_w;
        scroll_y = o.scroll_y;
        on_link = o.on_link;
        link_user = o.link_user;
    }
    return *this;
}

ZQ_GUI_MDVIEW_DATA::~ZQ_GUI_MDVIEW_DATA() {
    delete view;
}

void zq_gui_mdview_layout(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d) {
    if (!d.view) {
        d.view = new ZQ_MDVIEW;
        d.view->doc = zq_markdown_parse_ex(d.text, ZQ_MARKDOWN_FLAGS_VIEW);
    }
    ZQ_MDVIEW& v = *d.view;
    const ZQ_GUI_THEME& th = zq_gui_theme_of(ctx, wd);
    const float w = doc_width(ctx, wd);
    if (v.laid && d.laid_w == w && same(v.text, th.text_normal) && same(v.bg, th.bg_normal) &&
        same(v.link, ctx->style.link_color_normal))
        return;
    ZQ_MD_STYLE st = zq_md_default_style(
        th.text_normal, th.bg_normal, zq_gui_line_h(d.fonts.regular ? d.fonts.regular : ctx->font));
    st.link = ctx->style.link_color_normal;
    ZQ_GUI_MD_FONTS fonts = d.fonts;
    if (!fonts.regular) fonts.regular = ctx->font;
    v.layout = zq_md_layout(v.doc, fonts, st, w);
    v.laid = true;
    v.text = th.text_normal;
    v.bg = th.bg_normal;
    v.link = ctx->style.link_color_normal;
    v.hovered = -1;
    d.laid_w = w;
}

float zq_gui_mdview_max_scroll(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d) {
    zq_gui_mdview_layout(ctx, wd, d);
    return std::max(0.0f, d.view->layout.height + 2 * kPad - wd->h);
}

std::string zq_gui_mdview_link_at(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d,
                                  float x, float y) {
    zq_gui_mdview_layout(ctx, wd, d);
    ZQ_MDVIEW& v = *d.view;
    const int before = v.hovered;
    v.hovered = -1;
    if (x >= 0 && y >= 0 && x < wd->w - ctx->style.scrollbar_size && y < wd->h)
        v.hovered = zq_md_link_index_at(v.layout, x - kPad, y - kPad + d.scroll_y);
    if (v.hovered != before && ctx->display)
        al_set_system_mouse_cursor(ctx->display, v.hovered >= 0
                                                     ? ALLEGRO_SYSTEM_MOUSE_CURSOR_LINK
                                                     : ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT);
    if (v.hovered < 0 || v.hovered >= static_cast<int>(v.layout.links.size())) return {};
    return v.layout.links[v.hovered];
}

void zq_gui_mdview_draw(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d, float x,
                        float y) {
    zq_gui_mdview_layout(ctx, wd, d);
    const ZQ_MDVIEW& v = *d.view;
    const float max_scroll = zq_gui_mdview_max_scroll(ctx, wd, d);
    d.scroll_y = std::clamp(d.scroll_y, 0.0f, max_scroll);
    // Only the bands in view.
    zq_md_draw(v.layout, x + kPad, y + kPad - d.scroll_y, d.scroll_y - kPad,
               d.scroll_y + wd->h - kPad, v.hovered);
    if (max_scroll > 0) {
        const float bar = ctx->style.scrollbar_size;
        const float content = wd->h + max_scroll;
        const float thumb_h = std::clamp(wd->h * wd->h / content, bar * 1.5f, wd->h);
        const float ty = y + (wd->h - thumb_h) * (d.scroll_y / max_scroll);
        al_draw_filled_rectangle(x + wd->w - bar, y, x + wd->w, y + wd->h,
                                 ctx->style.scrollbar_track_color);
        const float r = std::min(bar / 2 - 1, 4.0f);
        zq_gui_fill_box(ctx, x + wd->w - bar + 2, ty + 1, bar - 4, thumb_h - 2, r, r,
                        ctx->style.scrollbar_thumb_color);
    }
}

void zq_gui_markdownview_set_text(ZQ_GUI_CTX* ctx, int id, std::string_view text) {
    auto* d = zq_gui_data<ZQ_GUI_MDVIEW_DATA>(ctx, id);
    if (!d) return;
    d->text = zq_utf8_clean(text, SIZE_MAX);
    delete d->view;
    d->view = nullptr;
    d->laid_w = -1;
    d->scroll_y = 0;
    d->hover_url.clear();
    d->press_url.clear();
    ctx->dirty = true;
}

std::string zq_gui_markdownview_get_text(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_MDVIEW_DATA>(ctx, id);
    return d ? d->text : std::string();
}

void zq_gui_markdownview_scroll_to(ZQ_GUI_CTX* ctx, int id, float y) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    auto* d = zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
    if (!d || !std::isfinite(y)) return;
    d->scroll_y = std::clamp(y, 0.0f, zq_gui_mdview_max_scroll(ctx, wd, *d));
    ctx->dirty = true;
}

float zq_gui_markdownview_get_scroll(ZQ_GUI_CTX* ctx, int id) {
    auto* d = zq_gui_data<ZQ_GUI_MDVIEW_DATA>(ctx, id);
    return d ? d->scroll_y : 0;
}

void zq_gui_markdownview_set_link_callback(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_LINK_FN fn, void* user) {
    auto* d = zq_gui_data<ZQ_GUI_MDVIEW_DATA>(ctx, id);
    if (!d) return;
    d->on_link = fn;
    d->link_user = user;
}

float zq_gui_markdownview_content_height(ZQ_GUI_CTX* ctx, int id) {
    ZQ_GUI_WIDGET* wd = zq_gui_find_widget(ctx, id);
    auto* d = zq_gui_data<ZQ_GUI_MDVIEW_DATA>(wd);
    if (!d) return 0;
    zq_gui_mdview_layout(ctx, wd, *d);
    return d->view->layout.height + 2 * kPad;
}
