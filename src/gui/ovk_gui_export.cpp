// SPDX-License-Identifier: GPL-3.0-or-later
// The export dialog.
//
// Index
//   1. State
//   2. Build
//   3. Refresh: the info line
//   4. Commands: the choices, Export, Open folder
#include "ovk_gui_export.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ovk_export.h"
#include "ovk_gui.h"
#include "ovk_platform.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

// Index = OVK_EXPORT_SCOPE.
const char* const SCOPE_LABELS[OVK_EXPORT_SCOPE_COUNT] = {
    "Current scan (all devices, matched or not)", "All devices ever seen", "Match log",
    "Your watchlist", "Everything in one file"};
// Index = OVK_EXPORT_FORMAT.
const char* const FORMAT_LABELS[OVK_EXPORT_FORMAT_COUNT] = {"CSV", "JSON", "KML", "GPX", "GeoJSON"};

struct STATE {
    int scope = 0;   // kept between openings
    int format = 0;  // kept between openings
    int w_info = -1;
};

STATE& st() {
    static STATE s;
    return s;
}

void refresh_info(OVK_GUI* g);
void on_scope(int, int index, void* user);
void on_format(int, int index, void* user);
void on_export(int, void* user);
void on_open_folder(int, void* user);

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_export_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_EXPORT] >= 0) return;
    st().w_info = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_EXPORT, "Export", 620, 620);
    if (win < 0) return;
    ZQ_GUI_CTX* ctx = g->ctx;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_EXPORT, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    const float x = p, w = cw - 2 * p;
    // Five items of a radio list, never less than their text needs.
    const float lh = static_cast<float>(al_get_font_line_height(g->font));
    const float list_h = std::max(4.6f * r, 5 * std::max(0.9f * r, lh + 4));
    float y = p;

    zq_gui_add_label(ctx, win, x, y, w, 0.8f * r, "What to export", ZQ_GUI_ALIGN_LEFT);
    y += 0.8f * r;
    const int scopes = zq_gui_add_radiolist(ctx, win, x, y, w, list_h, on_scope, g);
    for (const char* s : SCOPE_LABELS) zq_gui_radiolist_add_item(ctx, scopes, s);
    zq_gui_radiolist_set_selected(ctx, scopes, st().scope);
    zq_gui_set_widget_tooltip(ctx, scopes, "Which data goes into the file");
    y += list_h + p / 2;

    zq_gui_add_label(ctx, win, x, y, w, 0.8f * r, "Format", ZQ_GUI_ALIGN_LEFT);
    y += 0.8f * r;
    const int formats = zq_gui_add_radiolist(ctx, win, x, y, w, list_h, on_format, g);
    for (const char* s : FORMAT_LABELS) zq_gui_radiolist_add_item(ctx, formats, s);
    zq_gui_radiolist_set_selected(ctx, formats, st().format);
    zq_gui_set_widget_tooltip(ctx, formats, "File format (KML / GPX / GeoJSON open in map apps)");
    y += list_h + p / 2;

    // Two lines of the small font, more when a narrow window wraps them.
    const float small_lh = static_cast<float>(al_get_font_line_height(g->font_small));
    const float info_h = std::max(1.6f * r, 3 * small_lh + 6 * g->scale);
    st().w_info = zq_gui_add_label(ctx, win, x, y, w, info_h, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(ctx, st().w_info, g->font_small);
    y += info_h + p / 2;

    const char* open_text = "Open folder";
    const float ow = static_cast<float>(al_get_text_width(g->font, open_text)) + 3 * p;
    const float ew = std::max(ovk_px(g, 140), w - ow - p);
    const int exp =
        zq_gui_add_button(ctx, win, x, y, std::min(w, ew), r, "Export", 1, on_export, g);
    zq_gui_set_widget_theme(ctx, exp, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(ctx, exp, "Write the file to the export folder (shared on Android)");
    float ox = x + ew + p, oy = y;
    if (ox + ow > x + w) {  // too narrow for both side by side
        ox = x;
        oy = y + r + p / 2;
    }
    const int open =
        zq_gui_add_button(ctx, win, ox, oy, std::min(w, ow), r, open_text, 1, on_open_folder, g);
    zq_gui_set_widget_tooltip(ctx, open, "Show the export folder in the file manager");
    refresh_info(g);
}

void ovk_export_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_EXPORT] < 0) ovk_export_build(g);
    refresh_info(g);
    ovk_gui_open_popup(g, OVK_POP_EXPORT);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

namespace {

void refresh_info(OVK_GUI* g) {
    if (st().w_info < 0) return;
    std::string formats;
    for (int f = 0; f < OVK_EXPORT_FORMAT_COUNT; ++f) {
        if (!ovk_export_supported(st().scope, f)) continue;
        if (!formats.empty()) formats += ", ";
        formats += FORMAT_LABELS[f];
    }
    const char* verdict = ovk_export_supported(st().scope, st().format)
                              ? "Ready to export."
                              : "This export does not come in that format.";
    ovk_label_set_wrapped(g, st().w_info,
                          ovk_format(512, "%s\nAvailable formats: %s", verdict, formats.c_str()));
}

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

void on_scope(int, int index, void* user) {
    if (index >= 0 && index < OVK_EXPORT_SCOPE_COUNT) st().scope = index;
    refresh_info(static_cast<OVK_GUI*>(user));
}

void on_format(int, int index, void* user) {
    if (index >= 0 && index < OVK_EXPORT_FORMAT_COUNT) st().format = index;
    refresh_info(static_cast<OVK_GUI*>(user));
}

// The path with the home folder written "~", so that the file name fits the message.
std::string home_short(const std::string& path) {
    const char* home = getenv("HOME");
    const size_t n = home ? std::strlen(home) : 0;
    if (n > 1 && path.size() > n && path.compare(0, n, home) == 0 && path[n] == '/')
        return "~" + path.substr(n);
    return path;
}

void on_export(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (!ovk_export_supported(st().scope, st().format)) {
        ovk_gui_message(g, "Pick one of the available formats");
        return;
    }
    std::string path, err;
    if (ovk_export_to_file(static_cast<OVK_EXPORT_SCOPE>(st().scope),
                           static_cast<OVK_EXPORT_FORMAT>(st().format), ovk_platform_export_dir(),
                           path, err) != 0) {
        ovk_gui_message(g, "Export failed: %s", err.c_str());
        return;
    }
    ovk_platform_share_file(path, ovk_export_mime(st().format));
    ovk_gui_close_popup(g, OVK_POP_EXPORT);
    ovk_gui_message(g, "Saved %s", home_short(path).c_str());
}

void on_open_folder(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const std::string dir = ovk_platform_export_dir();
    if (!ovk_linux_which("xdg-open")) {
        ovk_gui_message(g, "Exports are in %s", dir.c_str());
        return;
    }
    ovk_platform_open_url(dir);
    ovk_gui_message(g, "Opening %s", dir.c_str());
}

}  // namespace
