// The markdown view widget: owns its text, lays it out again when its width changes,
// scrolls, and reports clicked links through the screen's callback.
#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <cmath>

#include "zq_gui_internal.h"

// Until the document renderer is in, the view shows its text as wrapped plain lines.
struct ZQ_MDVIEW {
    float width = 0;
    float height = 0;
};

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

static float text_w(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd) {
    return std::max(1.0f, wd->w - ctx->style.scrollbar_size - 8);
}

static bool count_line(int, const char*, int, void* extra) {
    ++*static_cast<int*>(extra);
    return true;
}

void zq_gui_mdview_layout(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d) {
    const float w = text_w(ctx, wd);
    if (d.view && d.laid_w == w) return;
    if (!d.view) d.view = new ZQ_MDVIEW;
    int lines = 0;
    al_do_multiline_text(d.fonts.regular, w, d.text.c_str(), count_line, &lines);
    d.view->width = w;
    d.view->height = zq_gui_line_h(d.fonts.regular) * static_cast<float>(lines) + 8;
    d.laid_w = w;
}

float zq_gui_mdview_max_scroll(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d) {
    zq_gui_mdview_layout(ctx, wd, d);
    return std::max(0.0f, d.view->height - wd->h);
}

std::string zq_gui_mdview_link_at(ZQ_GUI_CTX*, ZQ_GUI_WIDGET*, ZQ_GUI_MDVIEW_DATA&, float, float) {
    return {};
}

void zq_gui_mdview_draw(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d, float x,
                        float y) {
    zq_gui_mdview_layout(ctx, wd, d);
    const ZQ_GUI_THEME& th = zq_gui_theme_of(ctx, wd);
    d.scroll_y = std::clamp(d.scroll_y, 0.0f, zq_gui_mdview_max_scroll(ctx, wd, d));
    al_draw_multiline_text(d.fonts.regular, th.text_normal, x + 4, y + 4 - d.scroll_y,
                           d.view->width, zq_gui_line_h(d.fonts.regular), 0, d.text.c_str());
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
    return d->view->height;
}
