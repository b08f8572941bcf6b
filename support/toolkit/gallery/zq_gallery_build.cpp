// SPDX-License-Identifier: GPL-3.0-or-later
// The gallery's windows: a background window with every simple widget kind and a grid of
// 2,000 rows, a tool window with title-bar buttons, and a pop-up window with a markdown
// document; plus a context menu with a sub-menu.
#include "zq_gallery_build.h"

#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* const kMarkdown =
    "# Orvik toolkit\n"
    "A paragraph with **bold**, *italic*, ***both***, `inline code` and a "
    "[link to the manual](https://example.org/manual). Long lines wrap to the width of the "
    "view, and the view scrolls when the document is taller than it.\n"
    "\n"
    "## Lists\n"
    "- First item\n"
    "- Second item with `code`\n"
    "  - Nested item\n"
    "  - Another nested item\n"
    "- Third item\n"
    "\n"
    "1. One\n"
    "2. Two\n"
    "3. Three\n"
    "\n"
    "### Quote and code\n"
    "> Quoted text stands apart\n"
    "> over two lines.\n"
    "\n"
    "```\n"
    "int main() {\n"
    "    return 0;\n"
    "}\n"
    "```\n"
    "\n"
    "| Band | Range | Seen |\n"
    "|:-----|:-----:|-----:|\n"
    "| Near | -60 dBm | 12 |\n"
    "| Far | -90 dBm | 3 |\n"
    "\n"
    "Text after the table, with a final [second link](https://example.org/second).\n";

ALLEGRO_COLOR rgb(int r, int g, int b) {
    return al_map_rgb(r, g, b);
}

void on_click(int, void* user) {
    ++static_cast<ZQ_GALLERY*>(user)->clicks;
}
void on_select(int, int, void*) {}
void on_value(int, float, void*) {}
void on_text(int, const char*, void*) {}
void on_pick(ZQ_GUI_POPUP*, int, void*) {}
void on_link(int, const char* url, void* user) {
    static_cast<ZQ_GALLERY*>(user)->last_link = url;
}

// A small radar: rings, a sweep and a few blips, as the screens draw theirs.
void draw_radar(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT* font, void*) {
    const float cx = x + w->w / 2, cy = y + w->h / 2 - 8;
    const float r = std::min(w->w, w->h - 16) / 2 - 6;
    al_draw_filled_rectangle(x, y, x + w->w, y + w->h, rgb(14, 20, 22));
    for (float f : {0.45f, 0.7f, 1.0f}) al_draw_circle(cx, cy, r * f, rgb(40, 90, 86), 1.2f);
    al_draw_line(cx - r, cy, cx + r, cy, rgb(40, 90, 86), 1);
    al_draw_line(cx, cy - r, cx, cy + r, rgb(40, 90, 86), 1);
    al_draw_filled_pieslice(cx, cy, r, -0.9f, 0.5f, al_map_rgba(40, 110, 100, 90));
    const float blips[][3] = {{0.3f, 0.5f, 0}, {1.9f, 0.8f, 1}, {3.8f, 0.35f, 0}, {5.1f, 0.65f, 1}};
    for (const auto& b : blips) {
        const float bx = cx + std::cos(b[0]) * r * b[1], by = cy + std::sin(b[0]) * r * b[1];
        al_draw_filled_circle(bx, by, b[2] > 0 ? 6 : 4,
                              b[2] > 0 ? rgb(224, 98, 45) : rgb(128, 203, 196));
    }
    al_draw_text(font, rgb(154, 166, 168), x + 6, y + w->h - al_get_font_line_height(font) - 2, 0,
                 "Custom widget: drawn by the screen");
}

int radar_mouse(int, const ZQ_GUI_MOUSE_EVENT* ev, void*) {
    return ev->type == ZQ_GUI_MOUSE_DOWN || ev->type == ZQ_GUI_MOUSE_WHEEL;
}

}  // namespace

std::string zq_gallery_font_path(const char* name) {
    namespace fs = std::filesystem;
    for (const char* dir :
         {"assets/fonts", "../assets/fonts", "/usr/share/fonts/truetype/dejavu"}) {
        const fs::path p = fs::path(dir) / name;
        std::error_code ec;
        if (fs::exists(p, ec)) return p.string();
    }
    return {};
}

static ALLEGRO_FONT* load(const char* name, const char* fallback, int size) {
    std::string path = zq_gallery_font_path(name);
    if (path.empty() && fallback) path = zq_gallery_font_path(fallback);
    return path.empty() ? nullptr : al_load_ttf_font(path.c_str(), size, 0);
}

bool zq_gallery_fonts_load(ZQ_GALLERY_FONTS* f, int size) {
    f->regular = load("DejaVuSans.ttf", nullptr, size);
    if (!f->regular) return false;
    f->bold = load("DejaVuSans-Bold.ttf", "DejaVuSans.ttf", size);
    f->italic = load("DejaVuSans-Oblique.ttf", "DejaVuSans.ttf", size);
    f->bolditalic = load("DejaVuSans-BoldOblique.ttf", "DejaVuSans-Bold.ttf", size);
    f->mono = load("DejaVuSansMono.ttf", "DejaVuSans.ttf", size - 1);
    f->h1 = load("DejaVuSans-Bold.ttf", "DejaVuSans.ttf", size * 8 / 5);
    f->h2 = load("DejaVuSans-Bold.ttf", "DejaVuSans.ttf", size * 13 / 10);
    f->h3 = load("DejaVuSans-Bold.ttf", "DejaVuSans.ttf", size * 11 / 10);
    f->small = load("DejaVuSans.ttf", nullptr, size * 5 / 6);
    return true;
}

void zq_gallery_fonts_free(ZQ_GALLERY_FONTS* f) {
    for (ALLEGRO_FONT** p : {&f->regular, &f->bold, &f->italic, &f->bolditalic, &f->mono, &f->h1,
                             &f->h2, &f->h3, &f->small}) {
        if (*p) al_destroy_font(*p);
        *p = nullptr;
    }
}

const char* zq_gallery_markdown() {
    return kMarkdown;
}

bool zq_gallery_build(ZQ_GALLERY* g, ALLEGRO_DISPLAY* display, const ZQ_GALLERY_FONTS& f, float w,
                      float h) {
    g->ctx = zq_gui_new_ctx(f.regular);
    if (!g->ctx) return false;
    ZQ_GUI_CTX* ctx = g->ctx;
    zq_gui_set_display(ctx, display);
    zq_gui_set_display_size(ctx, w, h);
    // The program's own look: a dark teal palette with rounded shapes.
    const ZQ_GUI_THEME theme = zq_gui_make_theme(
        rgb(30, 35, 38), rgb(44, 50, 54), rgb(11, 72, 78), rgb(74, 82, 85), rgb(11, 92, 99),
        rgb(40, 150, 160), rgb(230, 235, 236), rgb(240, 244, 245), rgb(255, 255, 255), 1, 6, 6,
        al_map_rgba_f(0.04f * 0.45f, 0.36f * 0.45f, 0.39f * 0.45f, 0.45f));
    zq_gui_set_default_theme(ctx, theme);
    zq_gui_set_shape_mode(ctx, 1);
    const ZQ_GUI_THEME accent = zq_gui_make_theme(
        rgb(11, 92, 99), rgb(44, 113, 119), rgb(16, 74, 79), rgb(11, 92, 99), rgb(230, 235, 236),
        rgb(230, 235, 236), rgb(255, 255, 255), rgb(255, 255, 255), rgb(255, 255, 255), 1.5f, 6, 6,
        theme.selection_color);

    const float p = 12, r = 32;
    g->win_main = zq_gui_add_window(ctx, "Gallery", 0, 0, w, h);
    zq_gui_window_set_flags(ctx, g->win_main, ZQ_GUI_WIN_FRAMELESS | ZQ_GUI_WIN_FLAG_40);
    zq_gui_window_set_zorder(ctx, g->win_main, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);
    const int m = g->win_main;

    int id = zq_gui_add_label(ctx, m, p, p, 500, 30, "Orvik toolkit gallery", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, id, f.h2);
    g->status = zq_gui_add_label(ctx, m, p, p + 32, 520, 40,
                                 "Every widget kind on one display.\nLabels keep line breaks.", 0);
    zq_gui_set_widget_font(ctx, g->status, f.small);

    // Buttons.
    float y = 92;
    id = zq_gui_add_button(ctx, m, p, y, 130, r, "Start scanning", 1, on_click, g);
    zq_gui_set_widget_theme(ctx, id, accent);
    zq_gui_set_widget_tooltip(ctx, id, "Buttons call back once per click");
    zq_gui_add_button(ctx, m, p + 140, y, 90, r, "Radar", 1, on_click, g);
    id = zq_gui_add_button(ctx, m, p + 240, y, 100, r, "Disabled", 1, on_click, g);
    zq_gui_set_widget_enabled(ctx, id, 0);
    int menu = zq_gui_add_dropmenu(ctx, m, p + 350, y, 110, r, "Menu", nullptr, nullptr);
    for (const char* e : {"Map", "History", "Traces", "Settings", "About"})
        zq_gui_dropmenu_add_entry(ctx, menu, e, 0, on_click, g);

    // Toggle buttons as a filter row.
    y += r + p;
    const char* filters[] = {"All", "Flagged", "Trackers", "Cameras", "Favorites"};
    float x = p;
    for (int i = 0; i < 5; ++i) {
        const float bw = static_cast<float>(al_get_text_width(f.small, filters[i])) + 26;
        id = zq_gui_add_toggle_button(ctx, m, x, y, bw, 28, filters[i], 1, i == 1, on_click, g);
        zq_gui_set_widget_font(ctx, id, f.small);
        x += bw + 6;
    }

    // Choices.
    y += 28 + p;
    zq_gui_add_checkbox(ctx, m, p, y, 220, 26, "Alert sound", 1, on_click, g);
    zq_gui_add_checkbox(ctx, m, p + 230, y, 220, 26, "Vibrate", 0, on_click, g);
    y += 26 + 8;
    id = zq_gui_add_slider(ctx, m, p, y, 300, 26, -100, -30, -70, 0, on_value, g);
    zq_gui_slider_set_step(ctx, id, 1);
    zq_gui_slider_set_value_visible(ctx, id, 1);
    int combo = zq_gui_add_combobox(ctx, m, p + 320, y - 2, 160, 30, on_select, g);
    for (const char* e : {"Small", "Normal", "Large", "Huge"})
        zq_gui_combobox_add_item(ctx, combo, e);
    zq_gui_combobox_set_selected(ctx, combo, 1);
    y += 26 + 8;
    int radio = zq_gui_add_radiolist(ctx, m, p, y, 240, 26 * 3, on_select, g);
    for (const char* e : {"Metres", "Feet", "Both"}) zq_gui_radiolist_add_item(ctx, radio, e);
    zq_gui_radiolist_set_selected(ctx, radio, 0);

    // Text fields.
    id = zq_gui_add_label(ctx, m, p + 250, y, 230, 22, "Search", 0);
    zq_gui_set_widget_font(ctx, id, f.small);
    g->field = zq_gui_add_textarea(ctx, m, p + 250, y + 22, 230, r, 0, 60, on_text, g);
    zq_gui_textarea_set_text(ctx, g->field, "Café ☕ near the station, «quoted» text");
    y += 26 * 3 + 8;
    id = zq_gui_add_textarea(ctx, m, p, y, 468, r, 0, 120, on_text, g);
    zq_gui_textarea_set_placeholder(ctx, id, "Search name, address, vendor or type (Ctrl+F)");
    y += r + 8;
    g->notes = zq_gui_add_textarea(ctx, m, p, y, 468, 86, 1, 300, on_text, g);
    zq_gui_textarea_set_text(ctx, g->notes,
                             "A multi-line field wraps long lines at word boundaries and keeps "
                             "line breaks.\nSecond paragraph.");

    // Custom widget.
    y += 86 + p;
    g->custom = zq_gui_add_custom(ctx, m, p, y, 468, h - y - p, draw_radar, g);
    zq_gui_custom_set_mouse(ctx, g->custom, radar_mouse, g);

    // Data grid with 2,000 rows.
    const float gx = 500, gw = w - gx - p;
    g->grid = zq_gui_add_datagrid(ctx, m, gx, p, gw, h - 2 * p, on_select, g);
    zq_gui_datagrid_add_column(ctx, g->grid, "#", 60);
    zq_gui_datagrid_add_column(ctx, g->grid, "Address", 170);
    zq_gui_datagrid_add_column(ctx, g->grid, "Vendor", 150);
    zq_gui_datagrid_add_column(ctx, g->grid, "RSSI", 84);
    zq_gui_datagrid_add_column(ctx, g->grid, "Seen", 200);
    static const char* const vendors[] = {"Axon Enterprise", "Motorola Solutions", "Apple, Inc.",
                                          "Samsung", "Unknown vendor with a very long name"};
    for (int i = 0; i < 2000; ++i) {
        char num[16], mac[24], rssi[16], seen[32];
        std::snprintf(num, sizeof num, "%d", i + 1);
        std::snprintf(mac, sizeof mac, "00:1A:%02X:%02X:%02X:%02X", (i * 7) & 255, (i * 13) & 255,
                      (i >> 8) & 255, i & 255);
        std::snprintf(rssi, sizeof rssi, "%d dBm", -40 - (i * 37) % 55);
        std::snprintf(seen, sizeof seen, "%d min ago", (i * 11) % 90);
        zq_gui_datagrid_add_row(ctx, g->grid, {num, mac, vendors[i % 5], rssi, seen});
        if (i % 9 == 4) zq_gui_datagrid_set_row_color(ctx, g->grid, i, al_map_rgba(90, 30, 20, 90));
    }
    zq_gui_datagrid_set_selected(ctx, g->grid, 2);

    // A tool window with every title-bar button.
    g->win_tools = zq_gui_add_window(ctx, "Tools", 300, 612, 292, 196);
    zq_gui_window_set_flags(
        ctx, g->win_tools,
        ZQ_GUI_WIN_MINIMIZE_BTN | ZQ_GUI_WIN_MAXIMIZE_BTN | ZQ_GUI_WIN_CLOSE_BTN);
    zq_gui_window_set_caption(ctx, g->win_tools, "Tools - a normal window");
    zq_gui_add_label(ctx, g->win_tools, 10, 8, 280, 40,
                     "Drag the title bar; the buttons\nminimise, maximise and close.", 0);
    zq_gui_add_button(ctx, g->win_tools, 10, 58, 130, 30, "Apply", 1, on_click, g);
    zq_gui_add_toggle_button(ctx, g->win_tools, 150, 58, 130, 30, "Names", 1, 1, on_click, g);
    zq_gui_add_checkbox(ctx, g->win_tools, 10, 100, 270, 26, "Keep on top", 0, on_click, g);

    // A pop-up window with the markdown document.
    g->win_doc = zq_gui_add_window(ctx, "About", 600, 16, 488, 792);
    zq_gui_window_set_flags(ctx, g->win_doc,
                            ZQ_GUI_WIN_CLOSE_BTN | ZQ_GUI_WIN_VSCROLL | ZQ_GUI_WIN_NO_HSCROLL);
    zq_gui_window_set_zorder(ctx, g->win_doc, ZQ_GUI_ZORDER_POPUP, 0);
    ZQ_GUI_MD_FONTS md;
    md.regular = f.regular;
    md.bold = f.bold;
    md.italic = f.italic;
    md.bolditalic = f.bolditalic;
    md.mono = f.mono;
    md.h1 = f.h1;
    md.h2 = f.h2;
    md.h3 = f.h3;
    float cx, cy, cw, ch;
    zq_gui_window_client_rect(ctx, g->win_doc, &cx, &cy, &cw, &ch);
    g->markdown = zq_gui_add_markdownview(ctx, g->win_doc, 6, 6, cw - 12, ch - 12, md);
    zq_gui_markdownview_set_text(ctx, g->markdown, kMarkdown);
    zq_gui_markdownview_set_link_callback(ctx, g->markdown, on_link, g);

    // The device context menu.
    g->menu = zq_gui_popup_new(ctx, 1.0f, on_pick, g);
    zq_gui_popup_set_title(g->menu, "00:1A:7D:DA:71:13");
    zq_gui_popup_add_item(g->menu, -1, "Details", 1, "Evidence, identity, signal graph");
    zq_gui_popup_add_item(g->menu, -1, "Add to watchlist...", 2, "Always flag this exact address");
    const int share = zq_gui_popup_add_item(g->menu, -1, "Copy", 0, "");
    zq_gui_popup_add_item(g->menu, share, "Copy address", 7, "Copy the address to the clipboard");
    zq_gui_popup_add_item(g->menu, share, "Copy report", 10, "");
    const int hidden = zq_gui_popup_add_item(g->menu, -1, "Remove from whitelist", 4, "");
    zq_gui_popup_set_shown(g->menu, hidden, 0);
    zq_gui_popup_add_item(g->menu, -1, "Show on map", 9, "");
    return true;
}

void zq_gallery_open_menu(ZQ_GALLERY* g) {
    constexpr float kX = 24, kY = 480;
    zq_gui_popup_open(g->menu, kX, kY);
    // Point at "Copy" so that its sub-menu opens, as hovering does.
    ALLEGRO_EVENT ev{};
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    ev.mouse.x = static_cast<int>(kX + 40);
    const float lh = static_cast<float>(al_get_font_line_height(zq_gui_default_font(g->ctx)));
    const float item_h = std::round(lh + 10), title_h = std::round(lh + 12);
    ev.mouse.y = static_cast<int>(kY + 1 + title_h + item_h * 2 + item_h / 2);
    zq_gui_process_event(g->ctx, &ev);
}

void zq_gallery_free(ZQ_GALLERY* g) {
    zq_gui_popup_free(&g->menu);
    zq_gui_destroy_ctx(&g->ctx);
}
