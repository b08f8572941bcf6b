// SPDX-License-Identifier: GPL-3.0-or-later
// The colour themes: palettes, night conversion, device colours, toolkit themes and the
// animated headers.
//
// Index
//   1. The palette table
//   2. Colours
//   3. Toolkit themes and style
//   4. Headers: shared drawing helpers, then one function per style
#include "ovk_gui_theme.h"

#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "ovk_gui.h"
#include "ovk_platform.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. The palette table
// ---------------------------------------------------------------------------------------

struct THEME_ROW {
    uint32_t bg, panel, text, dim, primary, on_primary, secondary, scope, scope_text, trace, title;
    bool dark;
    OVK_HEADER_STYLE header;
    const char* app_title;
};

// Indexed by OVK_THEME_ID.
constexpr THEME_ROW kThemes[OVK_THEME_COUNT] = {
    // System default
    {0x121416, 0x1E2326, 0xE6EBEC, 0x9AA6A8, 0x0B5C63, 0xFFFFFF, 0xE0622D, 0x80CBC4, 0xB2DFDB,
     0xFF8A5B, 0x80CBC4, true, OVK_HEADER_NONE, "Orvik"},
    // Light
    {0xFAFBFB, 0xECEFF0, 0x1A1F21, 0x5C6669, 0x0B5C63, 0xFFFFFF, 0xE0622D, 0x0B5C63, 0x0B5C63,
     0xE0622D, 0x0B5C63, false, OVK_HEADER_NONE, "Orvik"},
    // Dark
    {0x101213, 0x1C2022, 0xE6EBEC, 0x9AA6A8, 0x0B5C63, 0xFFFFFF, 0xE0622D, 0x80CBC4, 0xB2DFDB,
     0xFF8A5B, 0x80CBC4, true, OVK_HEADER_NONE, "Orvik"},
    // Material You
    {0xFEF7FF, 0xF3EDF7, 0x1D1B20, 0x49454F, 0x6750A4, 0xFFFFFF, 0x7D5260, 0x6750A4, 0x49454F,
     0x7D5260, 0x6750A4, false, OVK_HEADER_NONE, "Orvik"},
    // DedSec
    {0x050505, 0x0E0E10, 0xD8FFF9, 0x7FB8B0, 0x00F0D8, 0x050505, 0xFF2E88, 0x39FF6A, 0x39FF6A,
     0xFF2E88, 0x00F0D8, true, OVK_HEADER_GLITCH, "> ORVIK_"},
    // Night Drive
    {0x000000, 0x120203, 0xFF5A48, 0xA33A2E, 0xFF2A1A, 0x000000, 0x9E1208, 0x9E1208, 0xA33A2E,
     0xFF2A1A, 0xFF2A1A, true, OVK_HEADER_HUD, "ORVIK"},
    // Night Vision
    {0x020A04, 0x06160A, 0xA6FF94, 0x4E9A45, 0x6CFF5A, 0x020A04, 0xC8FFB8, 0x6CFF5A, 0x4E9A45,
     0xC8FFB8, 0x6CFF5A, true, OVK_HEADER_NIGHT_VISION, "ORVIK // NV"},
    // Amber CRT
    {0x0D0700, 0x1A0F02, 0xFFC847, 0xA8741A, 0xFFB000, 0x0D0700, 0xFF7A00, 0xFFB000, 0xA8741A,
     0xFF7A00, 0xFFB000, true, OVK_HEADER_CRT, "ORVIK.EXE"},
    // Synthwave
    {0x140726, 0x20103A, 0xF7E8FF, 0xA98BC9, 0xFF3CAC, 0x140726, 0x2DE2E6, 0x2DE2E6, 0xA98BC9,
     0xFF3CAC, 0xFF3CAC, true, OVK_HEADER_SUNSET, "Orvik"},
    // Tactical
    {0x1B1D16, 0x262A1E, 0xDCD6C0, 0x8E8A74, 0x8A9A5B, 0x1B1D16, 0xE0763A, 0x8A9A5B, 0x8E8A74,
     0xC8A96B, 0xC8A96B, true, OVK_HEADER_STENCIL, "ORVIK"},
    // Blueprint
    {0x0B3A73, 0x0E4586, 0xF2F7FF, 0x9DB7DA, 0xE8F1FF, 0x0B3A73, 0x8FD3FF, 0xE8F1FF, 0x9DB7DA,
     0xFF6B6B, 0xE8F1FF, true, OVK_HEADER_BLUEPRINT, "ORVIK // DWG-001"},
    // Paper
    {0xF6F0E1, 0xEFE6D0, 0x16130E, 0x6B6252, 0x16130E, 0xF6F0E1, 0xB3261E, 0x16130E, 0x6B6252,
     0xB3261E, 0x16130E, false, OVK_HEADER_MASTHEAD, "Front Page"},
};

ALLEGRO_COLOR rgb(uint32_t v) {
    return ovk_argb(0xFF000000u | v);
}

// Premultiplied: Allegro blends colours with premultiplied alpha.
ALLEGRO_COLOR with_alpha(ALLEGRO_COLOR c, float a) {
    return al_map_rgba_f(c.r * a, c.g * a, c.b * a, c.a * a);
}

ALLEGRO_COLOR scaled(ALLEGRO_COLOR c, float k) {
    return al_map_rgba_f(c.r * k, c.g * k, c.b * k, c.a);
}

const OVK_PALETTE& fallback_palette() {
    static const OVK_PALETTE p = ovk_theme_palette(OVK_THEME_SYSTEM);
    return p;
}

const OVK_PALETTE& pal_of(const OVK_GUI* g) {
    return g ? g->pal : fallback_palette();
}

void make_readable(OVK_PALETTE& p);

}  // namespace

OVK_PALETTE ovk_theme_palette(int id) {
    if (id < 0 || id >= OVK_THEME_COUNT) id = OVK_THEME_SYSTEM;
    const THEME_ROW& r = kThemes[id];
    OVK_PALETTE p;
    p.bg = rgb(r.bg);
    p.panel = rgb(r.panel);
    p.text = rgb(r.text);
    p.dim = rgb(r.dim);
    p.primary = rgb(r.primary);
    p.on_primary = rgb(r.on_primary);
    p.secondary = rgb(r.secondary);
    p.scope = rgb(r.scope);
    p.scope_text = rgb(r.scope_text);
    p.trace = rgb(r.trace);
    p.title = rgb(r.title);
    p.panel_hi = ovk_mix(p.panel, p.text, r.dark ? 0.1f : 0.07f);
    p.border = ovk_mix(p.panel, p.text, r.dark ? 0.25f : 0.22f);
    p.dark = r.dark;
    p.header = r.header;
    p.app_title = r.app_title;
    p.night_drive = id == OVK_THEME_NIGHT_DRIVE;
    p.mono_font = id == OVK_THEME_DEDSEC || id == OVK_THEME_NIGHT_VISION || id == OVK_THEME_AMBER;
    make_readable(p);
    return p;
}

// ---------------------------------------------------------------------------------------
// 2. Colours
// ---------------------------------------------------------------------------------------

ALLEGRO_COLOR ovk_argb(uint32_t argb) {
    return al_map_rgba((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF, (argb >> 24) & 0xFF);
}

uint32_t ovk_color_argb(ALLEGRO_COLOR c) {
    auto byte = [](float v) {
        return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255));
    };
    return (byte(c.a) << 24) | (byte(c.r) << 16) | (byte(c.g) << 8) | byte(c.b);
}

ALLEGRO_COLOR ovk_mix(ALLEGRO_COLOR a, ALLEGRO_COLOR b, float t) {
    return al_map_rgba_f(a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
                         a.a + (b.a - a.a) * t);
}

uint32_t ovk_night_argb(uint32_t argb) {
    const uint32_t r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
    // Luminance in integers, so that white is exactly 255 (floating point gives 254.99...).
    uint32_t l = (30 * r + 59 * g + 11 * b) / 100;
    l = l * 165 / 255;
    const uint32_t v = std::clamp<uint32_t>(l + 90, 90, 255);
    return (argb & 0xFF000000u) | (v << 16) | ((v / 10) << 8) | (v / 14);
}

ALLEGRO_COLOR ovk_ink(const OVK_GUI* g, uint32_t argb) {
    return ovk_argb(pal_of(g).night_drive ? ovk_night_argb(argb) : argb);
}

namespace {

// The colour of a device whose best verdict has this category and tier (none: no verdict).
ALLEGRO_COLOR device_colour(const OVK_PALETTE& p, std::optional<int> category, OVK_TIER tier) {
    const bool night = p.night_drive;
    if (!category) return night ? al_map_rgb(166, 16, 11) : al_map_rgb(107, 123, 128);
    switch (tier) {
        case OVK_TIER_WEAK:
            return night ? al_map_rgb(164, 16, 11) : al_map_rgb(178, 106, 0);
        case OVK_TIER_MEDIUM:
        case OVK_TIER_STRONG:
            break;
    }
    const uint32_t c = ovk_cat_color(*category);
    return ovk_argb(night ? ovk_night_argb(c) : c);
}

}  // namespace

ALLEGRO_COLOR ovk_device_color(const OVK_GUI* g, const OVK_DEVICE& d) {
    const OVK_HIT* best = ovk_device_best(d);
    if (!best) return device_colour(pal_of(g), std::nullopt, OVK_TIER_WEAK);
    return device_colour(pal_of(g), static_cast<int>(best->category),
                         ovk_tier_of(best->confidence));
}

std::vector<ALLEGRO_COLOR> ovk_theme_device_colors(const OVK_PALETTE& p) {
    std::vector<ALLEGRO_COLOR> out;
    out.reserve(OVK_CAT_COUNT + 2);
    for (int c = 0; c < OVK_CAT_COUNT; ++c) out.push_back(device_colour(p, c, OVK_TIER_STRONG));
    out.push_back(device_colour(p, 0, OVK_TIER_WEAK));
    out.push_back(device_colour(p, std::nullopt, OVK_TIER_WEAK));
    return out;
}

// ---------------------------------------------------------------------------------------
// Readability
// ---------------------------------------------------------------------------------------

namespace {

const ALLEGRO_COLOR kBlack = {0, 0, 0, 1};
const ALLEGRO_COLOR kWhite = {1, 1, 1, 1};

// An opaque `over` laid on `under` with the given alpha.
ALLEGRO_COLOR over(ALLEGRO_COLOR under, ALLEGRO_COLOR top, float alpha) {
    return ovk_mix(under, top, alpha);
}

// The colour as the display keeps it (8 bits a channel), so that what is drawn is what was
// measured.
ALLEGRO_COLOR snapped(ALLEGRO_COLOR c) {
    return ovk_argb(ovk_color_argb(c));
}

double min_contrast(ALLEGRO_COLOR fg, std::span<const ALLEGRO_COLOR> bgs) {
    double m = 21;
    for (const ALLEGRO_COLOR& b : bgs) m = std::min(m, ovk_contrast(fg, b));
    return m;
}

// The lightest and darkest inks a palette may use: white and black, or in the night theme its
// brightest red and black.
ALLEGRO_COLOR lightest(const OVK_PALETTE& p) {
    return p.night_drive ? ovk_argb(ovk_night_argb(0xFFFFFFFFu)) : kWhite;
}

ALLEGRO_COLOR row_bg(const OVK_PALETTE& p, ALLEGRO_COLOR device, float tint) {
    return over(p.panel, device, std::clamp(tint, 0.0f, 1.0f));
}

ALLEGRO_COLOR veil_of(const OVK_PALETTE& p) {
    return over(p.scope, p.bg, 0.75f);
}

// `base` moved towards `other` by at most `most`, as far as `ink` still reads on it.
ALLEGRO_COLOR mix_while_readable(ALLEGRO_COLOR base, ALLEGRO_COLOR other, float most,
                                 ALLEGRO_COLOR ink) {
    for (float t = most; t > 0.0f; t -= 0.025f) {
        const ALLEGRO_COLOR c = snapped(ovk_mix(base, other, t));
        if (ovk_contrast(ink, c) >= OVK_CONTRAST_TEXT) return c;
    }
    return base;
}

// Lifts the colours of a palette that fall short on what they are drawn on: each towards the
// text colour, so that it keeps its hue as far as it can.
void make_readable(OVK_PALETTE& p) {
    const ALLEGRO_COLOR surfaces[] = {p.bg, p.panel, p.panel_hi};
    std::vector<ALLEGRO_COLOR> rows(std::begin(surfaces), std::end(surfaces));
    for (const ALLEGRO_COLOR& c : ovk_theme_device_colors(p))
        rows.push_back(row_bg(p, c, OVK_ROW_TINT_MAX));
    p.text = ovk_contrast_lift(p.text, p.dark ? lightest(p) : kBlack, rows, OVK_CONTRAST_TEXT);
    p.dim = ovk_contrast_lift(p.dim, p.text, rows, OVK_CONTRAST_TEXT);
    p.secondary = ovk_contrast_lift(p.secondary, p.text, surfaces, OVK_CONTRAST_TEXT);
    const ALLEGRO_COLOR bg[] = {p.bg};
    p.scope = ovk_contrast_lift(p.scope, p.text, bg, OVK_CONTRAST_LARGE);
    p.trace = ovk_contrast_lift(p.trace, p.text, bg, OVK_CONTRAST_LARGE);
    p.title = ovk_contrast_lift(p.title, p.text, bg, OVK_CONTRAST_LARGE);
    // Ring labels and the legend lie on the background, or on a label's veil over a dot.
    const ALLEGRO_COLOR radar[] = {p.bg, veil_of(p)};
    p.scope_text = ovk_contrast_lift(p.scope_text, p.text, radar, OVK_CONTRAST_TEXT);
    const ALLEGRO_COLOR primary[] = {p.primary};
    p.on_primary =
        ovk_contrast_lift(p.on_primary, ovk_luminance(p.primary) > 0.18 ? kBlack : lightest(p),
                          primary, OVK_CONTRAST_TEXT);
}

}  // namespace

double ovk_luminance(ALLEGRO_COLOR c) {
    const auto lin = [](float v) {
        const double x = std::clamp(static_cast<double>(v), 0.0, 1.0);
        return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
}

double ovk_contrast(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    const double la = ovk_luminance(a), lb = ovk_luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

ALLEGRO_COLOR ovk_contrast_lift(ALLEGRO_COLOR fg, ALLEGRO_COLOR toward,
                                std::span<const ALLEGRO_COLOR> bgs, double ratio) {
    constexpr int kSteps = 64;
    for (int i = 0; i <= kSteps; ++i) {
        const ALLEGRO_COLOR c = snapped(ovk_mix(fg, toward, static_cast<float>(i) / kSteps));
        if (min_contrast(c, bgs) >= ratio) return c;
    }
    return min_contrast(kWhite, bgs) >= min_contrast(kBlack, bgs) ? kWhite : kBlack;
}

ALLEGRO_COLOR ovk_theme_readable(const OVK_GUI* g, ALLEGRO_COLOR fg, ALLEGRO_COLOR bg,
                                 double ratio) {
    const ALLEGRO_COLOR bgs[] = {bg};
    return ovk_contrast_lift(fg, pal_of(g).text, bgs, ratio);
}

ALLEGRO_COLOR ovk_theme_row_bg(const OVK_GUI* g, ALLEGRO_COLOR device, float tint) {
    return row_bg(pal_of(g), device, tint);
}

// At night a fill keeps its glow: black letters on a bright red, like the night theme's own
// buttons, rather than red letters on a fill darkened to nothing.
ALLEGRO_COLOR ovk_theme_fill_ink(const OVK_GUI* g) {
    return pal_of(g).night_drive ? kBlack : kWhite;
}

ALLEGRO_COLOR ovk_theme_fill(const OVK_GUI* g, ALLEGRO_COLOR fill) {
    const OVK_PALETTE& p = pal_of(g);
    const ALLEGRO_COLOR ink = ovk_theme_fill_ink(g);
    const ALLEGRO_COLOR away = p.night_drive ? lightest(p) : kBlack;
    constexpr int kSteps = 64;
    for (int i = 0; i <= kSteps; ++i) {
        const ALLEGRO_COLOR c = snapped(ovk_mix(fill, away, static_cast<float>(i) / kSteps));
        if (ovk_contrast(ink, c) >= OVK_CONTRAST_TEXT) return c;
    }
    return away;
}

ALLEGRO_COLOR ovk_theme_dot(const OVK_GUI* g, ALLEGRO_COLOR device) {
    const OVK_PALETTE& p = pal_of(g);
    const ALLEGRO_COLOR bg[] = {p.bg};
    return ovk_contrast_lift(device, p.text, bg, OVK_CONTRAST_LARGE);
}

ALLEGRO_COLOR ovk_theme_radar_veil(const OVK_GUI* g) {
    return veil_of(pal_of(g));
}

ALLEGRO_COLOR ovk_theme_radar_label(const OVK_GUI* g, ALLEGRO_COLOR device) {
    const OVK_PALETTE& p = pal_of(g);
    const ALLEGRO_COLOR on[] = {p.bg, veil_of(p)};
    return ovk_contrast_lift(device, p.text, on, OVK_CONTRAST_TEXT);
}

ALLEGRO_COLOR ovk_theme_link_hover(const OVK_PALETTE& p) {
    const ALLEGRO_COLOR surfaces[] = {p.bg, p.panel, p.panel_hi};
    return ovk_contrast_lift(p.primary, p.text, surfaces, OVK_CONTRAST_TEXT);
}

ALLEGRO_COLOR ovk_theme_selected_bg(const OVK_PALETTE& p) {
    return mix_while_readable(p.panel, p.primary, 0.35f, p.text);
}

// ---------------------------------------------------------------------------------------
// 3. Toolkit themes and style
// ---------------------------------------------------------------------------------------

namespace {

ALLEGRO_COLOR selection_of(const OVK_PALETTE& p) {
    return al_map_rgba_f(p.primary.r * 0.45f, p.primary.g * 0.45f, p.primary.b * 0.45f, 0.45f);
}

}  // namespace

ALLEGRO_COLOR ovk_theme_accent_bg(const OVK_PALETTE& p, int state) {
    if (state == 1) return mix_while_readable(p.primary, p.text, 0.15f, p.on_primary);
    if (state == 2) return mix_while_readable(p.primary, p.bg, 0.25f, p.on_primary);
    return p.primary;
}

ZQ_GUI_THEME ovk_theme_accent(const OVK_GUI* g) {
    const OVK_PALETTE& p = pal_of(g);
    const float s = g ? g->scale : 1.0f;
    return zq_gui_make_theme(p.primary, ovk_theme_accent_bg(p, 1), ovk_theme_accent_bg(p, 2),
                             p.primary, p.text, p.text, p.on_primary, p.on_primary, p.on_primary,
                             1.5f * s, 6 * s, 6 * s, selection_of(p));
}

void ovk_theme_apply(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    const OVK_PALETTE& p = g->pal;
    const float s = g->scale;
    const ZQ_GUI_THEME t =
        zq_gui_make_theme(p.panel, p.panel_hi, ovk_theme_selected_bg(p), p.border, p.primary,
                          p.primary, p.text, p.text, p.text, 1 * s, 6 * s, 6 * s, selection_of(p));
    zq_gui_set_default_theme(g->ctx, t);
    zq_gui_set_shape_mode(g->ctx, 1);

    ZQ_GUI_STYLE* st = zq_gui_style(g->ctx);
    if (!st) return;
    const float r = ovk_row_h(g);
    st->titlebar_h = r;
    st->tb_btn_size = 0.7f * r;
    st->scrollbar_size = st->global_scrollbar_size = 12 * s;
    st->grip_size = 14 * s;
    st->slider_track_size = 6 * s;
    st->textarea_padding = 6 * s;
    st->checkbox_max_size = 24 * s;
    st->tooltip_max_w = 420 * s;
    st->listbox_default_item_height = st->radiolist_default_item_height = 0.9f * r;
    st->combobox_max_visible = 12;
    st->dropmenu_max_visible = 16;
    st->scroll_step = st->global_scroll_step = 40 * s;
    st->drag_threshold = 8 * s;
    st->scrollbar_track_color = st->global_scrollbar_track_color = p.bg;
    st->scrollbar_thumb_color = st->global_scrollbar_thumb_color = ovk_mix(p.panel, p.text, 0.35f);
    st->global_scrollbar_thumb_border_color = p.border;
    st->grip_color = p.dim;
    st->tooltip_bg = p.panel_hi;
    st->tooltip_border = p.border;
    st->tooltip_fg = p.text;
    st->link_color_normal = p.secondary;
    st->link_color_hover = ovk_theme_link_hover(p);
    if (ovk_platform_uses_touch()) st->tooltip_delay = 0;
}

// ---------------------------------------------------------------------------------------
// 4. Headers
// ---------------------------------------------------------------------------------------

namespace {

// The random numbers of the animations: a linear congruential generator seeded from the
// animation step, so that every frame of one step looks the same.
struct LCG {
    uint32_t state;
    explicit LCG(double seed) : state(static_cast<uint32_t>(static_cast<int64_t>(seed))) {}
    uint32_t next() {
        state = state * 1103515245u + 12345u;
        return (state >> 16) & 0x7FFF;
    }
    // In [lo, hi].
    int range(int lo, int hi) { return lo + static_cast<int>(next() % uint32_t(hi - lo + 1)); }
    float unit() { return static_cast<float>(next()) / 32767.0f; }
};

// What every header draws with.
struct HEADER {
    OVK_GUI* g;
    const OVK_PALETTE& p;
    float x, y, w, h, s;
    const ALLEGRO_FONT* big;    // title line
    const ALLEGRO_FONT* small;  // sub-line
    float big_y;                // top of the title line
    float sub_y;                // top of the sub-line
    double now;
};

float line_h(const ALLEGRO_FONT* f) {
    return f ? static_cast<float>(al_get_font_line_height(f)) : 0;
}

float text_w(const ALLEGRO_FONT* f, const std::string& t) {
    return f ? static_cast<float>(al_get_text_width(f, t.c_str())) : 0;
}

void text(const ALLEGRO_FONT* f, ALLEGRO_COLOR c, float x, float y, int flags,
          const std::string& t) {
    if (f && !t.empty()) al_draw_text(f, c, x, y, flags, t.c_str());
}

std::string utc_hhmm() {
    const time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    char b[16];
    strftime(b, sizeof b, "%H%MZ", &tm);
    return b;
}

// "The Orvik"'s dateline: the issue number is the day of the year, from 1.
void local_dateline(int* issue, std::string* date) {
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    *issue = tm.tm_yday + 1;
    char b[64];
    strftime(b, sizeof b, "%A, %B %d, %Y", &tm);
    *date = b;
}

ALLEGRO_VERTEX vertex(float x, float y, ALLEGRO_COLOR c) {
    ALLEGRO_VERTEX v{};
    v.x = x;
    v.y = y;
    v.color = c;
    return v;
}

// Many one-pixel points or hairlines in one call: the grain and the grid would otherwise
// cost a draw call each.
void draw_points(const std::vector<ALLEGRO_VERTEX>& v) {
    if (!v.empty())
        al_draw_prim(v.data(), nullptr, nullptr, 0, static_cast<int>(v.size()),
                     ALLEGRO_PRIM_POINT_LIST);
}

void draw_lines(const std::vector<ALLEGRO_VERTEX>& v) {
    if (!v.empty())
        al_draw_prim(v.data(), nullptr, nullptr, 0, static_cast<int>(v.size()),
                     ALLEGRO_PRIM_LINE_LIST);
}

void draw_plain(const HEADER& d) {
    const float ty = d.y + (d.h - line_h(d.big)) / 2;
    text(d.big, d.p.title, d.x + 6 * d.s, ty, 0, d.p.app_title);
}

void draw_glitch(const HEADER& d) {
    const std::string& title = d.p.app_title;
    const double cycle = std::fmod(d.now, 9.0);
    LCG rnd(std::floor(20 * d.now));
    std::string shown = title;
    if (cycle < 1.2) {
        // Decoding: the characters settle left to right during the first 1.2 s.
        const size_t settled = static_cast<size_t>(cycle / 1.2 * static_cast<double>(title.size()));
        for (size_t i = settled; i < shown.size(); ++i)
            if (shown[i] != ' ') shown[i] = static_cast<char>(rnd.range(33, 122));
    }
    const bool glitching = cycle >= 7.6 && cycle < 8.2;
    const float split = glitching ? static_cast<float>(rnd.range(1, 5)) * d.s : d.s;
    const float tx = d.x + 6 * d.s;
    text(d.big, with_alpha(scaled(d.p.primary, 0.85f), 0.85f), tx - split, d.big_y, 0, shown);
    text(d.big, with_alpha(scaled(d.p.secondary, 0.85f), 0.85f), tx + split, d.big_y, 0, shown);
    text(d.big, d.p.text, tx, d.big_y, 0, shown);
    if (glitching) {
        const float tw = text_w(d.big, shown);
        const float lh = line_h(d.big);
        for (int i = 0; i < 3; ++i) {
            const float by = d.big_y + rnd.unit() * (lh - 2 * d.s);
            al_draw_filled_rectangle(tx - 4 * d.s, by, tx + tw + 4 * d.s, by + 2 * d.s,
                                     with_alpha(d.p.secondary, 0.5f));
        }
    }
    static const std::string sub = "// passive RF recon";
    const size_t step = static_cast<size_t>(std::floor(d.now * 8)) % 31;
    text(d.small, d.p.dim, tx, d.sub_y, 0, sub.substr(0, std::min(step, sub.size())));
    text(d.small, d.p.secondary, d.x + d.w - 6 * d.s, d.sub_y, ALLEGRO_ALIGN_RIGHT, "RX ONLY");
}

void draw_hud(const HEADER& d) {
    const float cx = d.x + d.w / 2;
    const float s = d.s;
    // Frame brackets at the corners.
    const float m = 4 * s, arm = 14 * s, th = 1.5f * s;
    const ALLEGRO_COLOR dim = d.p.dim;
    al_draw_line(d.x + m, d.y + m, d.x + m + arm, d.y + m, dim, th);
    al_draw_line(d.x + m, d.y + m, d.x + m, d.y + m + arm, dim, th);
    al_draw_line(d.x + d.w - m, d.y + m, d.x + d.w - m - arm, d.y + m, dim, th);
    al_draw_line(d.x + d.w - m, d.y + m, d.x + d.w - m, d.y + m + arm, dim, th);
    al_draw_line(d.x + m, d.y + d.h - m, d.x + m + arm, d.y + d.h - m, dim, th);
    al_draw_line(d.x + m, d.y + d.h - m, d.x + m, d.y + d.h - m - arm, dim, th);
    al_draw_line(d.x + d.w - m, d.y + d.h - m, d.x + d.w - m - arm, d.y + d.h - m, dim, th);
    al_draw_line(d.x + d.w - m, d.y + d.h - m, d.x + d.w - m, d.y + d.h - m - arm, dim, th);
    // Scanning bars either side of the title: a level meter that rises and falls.
    const float tw = text_w(d.big, "ORVIK");
    const int bars = 9;
    const float bw = 4 * s, gap = 3 * s;
    const float base = d.big_y + line_h(d.big) - 2 * s;
    const float span = line_h(d.big) - 6 * s;
    for (int side = 0; side < 2; ++side) {
        for (int i = 0; i < bars; ++i) {
            const float phase = static_cast<float>(d.now * 3.0 + i * 0.55 + side * 1.7);
            const float level = 0.25f + 0.75f * (0.5f + 0.5f * std::sin(phase));
            const float off = tw / 2 + 14 * s + static_cast<float>(i) * (bw + gap);
            const float bx = side == 0 ? cx - off - bw : cx + off;
            const float fade = 1.0f - static_cast<float>(i) / bars * 0.7f;
            al_draw_filled_rectangle(bx, base - span * level, bx + bw, base,
                                     with_alpha(d.p.primary, fade));
        }
    }
    // A sweep line crossing the whole header every 3 s.
    const float sx = d.x + static_cast<float>(std::fmod(d.now / 3.0, 1.0)) * d.w;
    al_draw_line(sx, d.y + m, sx, d.y + d.h - m, with_alpha(d.p.secondary, 0.6f), 1 * s);
    text(d.big, d.p.title, cx, d.big_y, ALLEGRO_ALIGN_CENTRE, "ORVIK");
    text(d.small, dim, d.x + m + 6 * s, d.sub_y, 0, "NIGHT DRIVE");
    text(d.small, dim, d.x + d.w - m - 6 * s, d.sub_y, ALLEGRO_ALIGN_RIGHT, "RX ONLY");
}

void draw_night_vision(const HEADER& d) {
    const float s = d.s;
    al_draw_filled_rectangle(d.x, d.y, d.x + d.w, d.y + d.h, d.p.panel);
    // Grain: a fresh scatter of dots 30 times a second.
    LCG rnd(std::floor(30 * d.now));
    const int dots = static_cast<int>(d.w * d.h / (250 * s * s));
    std::vector<ALLEGRO_VERTEX> grain(static_cast<size_t>(std::max(dots, 0)));
    for (ALLEGRO_VERTEX& v : grain) {
        v.x = d.x + rnd.unit() * d.w;
        v.y = d.y + rnd.unit() * d.h;
        v.z = 0;
        v.color = with_alpha(d.p.primary, 0.15f + 0.35f * rnd.unit());
    }
    draw_points(grain);
    // The scope: dark corners around a rounded aperture.
    const float r = d.h / 2;
    const ALLEGRO_COLOR shade = with_alpha(d.p.bg, 0.55f);
    al_draw_filled_rectangle(d.x, d.y, d.x + 10 * s, d.y + d.h, shade);
    al_draw_filled_rectangle(d.x + d.w - 10 * s, d.y, d.x + d.w, d.y + d.h, shade);
    al_draw_rounded_rectangle(d.x + 6 * s, d.y + 2 * s, d.x + d.w - 6 * s, d.y + d.h - 2 * s, r, r,
                              with_alpha(d.p.bg, 0.8f), 6 * s);
    al_draw_rounded_rectangle(d.x + 9 * s, d.y + 5 * s, d.x + d.w - 9 * s, d.y + d.h - 5 * s,
                              r - 3 * s, r - 3 * s, with_alpha(d.p.dim, 0.8f), 1 * s);
    const float tx = d.x + r + 6 * s;
    text(d.big, with_alpha(d.p.primary, 0.35f), tx + 1 * s, d.big_y + 1 * s, 0, "ORVIK");
    text(d.big, d.p.title, tx, d.big_y, 0, "ORVIK");
    text(d.small, d.p.dim, tx, d.sub_y, 0, "GEN-3 // GAIN AUTO // IR OFF");
    // A reticle at the right.
    const float rx = d.x + d.w - r - 12 * s, ry = d.y + d.h / 2;
    al_draw_circle(rx, ry, r * 0.55f, d.p.dim, 1 * s);
    al_draw_line(rx - r * 0.8f, ry, rx + r * 0.8f, ry, d.p.dim, 1 * s);
    al_draw_line(rx, ry - r * 0.8f, rx, ry + r * 0.8f, d.p.dim, 1 * s);
}

void draw_crt(const HEADER& d) {
    const float s = d.s;
    const float tx = d.x + 6 * s;
    text(d.big, with_alpha(d.p.primary, 0.3f), tx, d.big_y + 1 * s, 0, "ORVIK");
    text(d.big, d.p.title, tx, d.big_y, 0, "ORVIK");
    if (std::fmod(d.now, 1.0) < 0.5) {
        const float cx = tx + text_w(d.big, "ORVIK") + 4 * s;
        const float lh = line_h(d.big);
        al_draw_filled_rectangle(cx, d.big_y + lh * 0.15f, cx + 0.55f * lh, d.big_y + lh * 0.85f,
                                 d.p.title);
    }
    text(d.small, d.p.dim, tx, d.sub_y, 0, "C:\\> SCAN /PASSIVE /ALL");
    // Scan lines over the whole header, with a brighter band rolling down every 4 s.
    const ALLEGRO_COLOR line = with_alpha(d.p.bg, 0.45f);
    for (float ly = d.y; ly < d.y + d.h; ly += 3 * s)
        al_draw_filled_rectangle(d.x, ly, d.x + d.w, ly + s, line);
    const float band = d.y + static_cast<float>(std::fmod(d.now / 4.0, 1.0)) * d.h;
    al_draw_filled_rectangle(d.x, band, d.x + d.w, band + 6 * s, with_alpha(d.p.primary, 0.07f));
}

void draw_sunset(const HEADER& d) {
    const float s = d.s;
    const float horizon = d.y + d.h * 0.58f;
    // The sun: a disc behind the horizon at the right, cut by stripes of the background.
    const float sr = d.h * 0.42f;
    const float scx = d.x + d.w * 0.72f;
    al_draw_filled_circle(scx, horizon, sr, d.p.primary);
    al_draw_filled_circle(scx, horizon, sr * 0.7f,
                          ovk_mix(d.p.primary, al_map_rgb(255, 200, 90), 0.45f));
    for (int i = 0; i < 4; ++i) {
        const float sy = horizon - sr * (0.12f + 0.2f * static_cast<float>(i));
        al_draw_filled_rectangle(scx - sr, sy, scx + sr, sy + (1.0f + i * 0.8f) * s, d.p.bg);
    }
    al_draw_filled_rectangle(d.x, horizon, d.x + d.w, d.y + d.h, d.p.bg);
    // The ground: a dark floor with a wireframe grid; its long lines spread out towards the
    // viewer and its cross lines scroll towards the viewer in a 2 s wave.
    const ALLEGRO_COLOR grid = with_alpha(d.p.secondary, 0.55f);
    const float bottom = d.y + d.h;
    const float vx = scx;
    const float step = 28 * s;
    std::vector<ALLEGRO_VERTEX> lines;
    for (float gx = vx - std::ceil((vx - d.x) / step) * step; gx <= d.x + d.w; gx += step) {
        lines.push_back(vertex(gx, horizon, grid));
        lines.push_back(vertex(vx + (gx - vx) * 1.35f, bottom, grid));
    }
    const float phase = static_cast<float>(std::fmod(d.now / 2.0, 1.0));
    for (int i = 0; i < 4; ++i) {
        const float t = (static_cast<float>(i) + phase) / 4;
        const float gy = horizon + (bottom - horizon) * t * t;
        lines.push_back(vertex(d.x, gy, grid));
        lines.push_back(vertex(d.x + d.w, gy, grid));
    }
    draw_lines(lines);
    al_draw_line(d.x, horizon, d.x + d.w, horizon, d.p.secondary, 1.2f * s);
    // The title twice: a soft glow, then the letters.
    const float tx = d.x + 6 * d.s;
    const float ty = d.y + (horizon - d.y - line_h(d.big)) / 2 + 2 * s;
    text(d.big, with_alpha(d.p.primary, 0.45f), tx + 2 * s, ty + 2 * s, 0, d.p.app_title);
    text(d.big, d.p.text, tx, ty, 0, d.p.app_title);
}

void draw_stencil(const HEADER& d) {
    const float s = d.s;
    const float tx = d.x + 6 * s;
    const float lh = line_h(d.big);
    // Stencil letters: the title with bridges cut across each glyph.
    std::string t = "ORVIK";
    float cx = tx;
    for (char c : t) {
        const std::string ch(1, c);
        const float cw = text_w(d.big, ch);
        text(d.big, d.p.title, cx, d.big_y, 0, ch);
        al_draw_filled_rectangle(cx + cw * 0.44f, d.big_y + lh * 0.2f, cx + cw * 0.56f,
                                 d.big_y + lh * 0.32f, d.p.bg);
        al_draw_filled_rectangle(cx, d.big_y + lh * 0.56f, cx + cw, d.big_y + lh * 0.56f + 1.6f * s,
                                 d.p.bg);
        cx += cw + 3 * s;
    }
    // A hazard stripe to the right of the title.
    const float hx = cx + 10 * s, hy = d.big_y + lh * 0.3f, hw = std::min(90 * s, d.w / 5);
    const float hh = lh * 0.35f;
    al_draw_rectangle(hx, hy, hx + hw, hy + hh, d.p.primary, 1 * s);
    for (float sx = hx; sx < hx + hw; sx += 10 * s) {
        const float ex = std::min(sx + 5 * s, hx + hw);
        al_draw_filled_triangle(sx, hy + hh, ex, hy + hh, std::min(ex + 5 * s, hx + hw), hy,
                                with_alpha(d.p.primary, 0.6f));
    }
    const std::string sub = "CALLSIGN ORV-7  //  RX ONLY  //  " + utc_hhmm();
    text(d.small, d.p.dim, tx, d.sub_y, 0, sub);
}

void draw_blueprint(const HEADER& d) {
    const float s = d.s;
    // Drawing paper: a fine grid.
    const ALLEGRO_COLOR fine = with_alpha(d.p.dim, 0.18f);
    const float step = 8 * s;
    std::vector<ALLEGRO_VERTEX> grid;
    for (float gx = d.x; gx < d.x + d.w; gx += step) {
        grid.push_back(vertex(gx, d.y, fine));
        grid.push_back(vertex(gx, d.y + d.h, fine));
    }
    for (float gy = d.y; gy < d.y + d.h; gy += step) {
        grid.push_back(vertex(d.x, gy, fine));
        grid.push_back(vertex(d.x + d.w, gy, fine));
    }
    draw_lines(grid);
    const float tx = d.x + 14 * s;
    const float tw = text_w(d.big, "ORVIK");
    const float lh = line_h(d.big);
    text(d.big, d.p.title, tx, d.big_y, 0, "ORVIK");
    // Dimension line under the title: end ticks, arrows and the measured width.
    const float dy = d.big_y + lh + 3 * s;
    const ALLEGRO_COLOR ink = d.p.dim;
    al_draw_line(tx, d.big_y + lh * 0.6f, tx, dy + 4 * s, ink, 1);
    al_draw_line(tx + tw, d.big_y + lh * 0.6f, tx + tw, dy + 4 * s, ink, 1);
    al_draw_line(tx, dy, tx + tw, dy, ink, 1);
    al_draw_filled_triangle(tx, dy, tx + 5 * s, dy - 2 * s, tx + 5 * s, dy + 2 * s, ink);
    al_draw_filled_triangle(tx + tw, dy, tx + tw - 5 * s, dy - 2 * s, tx + tw - 5 * s, dy + 2 * s,
                            ink);
    char px[32];
    std::snprintf(px, sizeof px, "%d px", static_cast<int>(std::lround(tw)));
    text(d.small, d.p.trace, tx + tw + 6 * s, dy - line_h(d.small) / 2, 0, px);
    // The title block at the right: two lines in a box.
    const std::string l1 = "DWG RF-001  REV C";
    const std::string l2 = "SCALE 1:1  RX ONLY";
    const float bw = std::max(text_w(d.small, l1), text_w(d.small, l2)) + 12 * s;
    const float sh = line_h(d.small);
    const float bh = 2 * sh + 8 * s;
    const float bx = d.x + d.w - bw - 8 * s, by = d.y + (d.h - bh) / 2;
    if (bx < tx + tw + 6 * s + text_w(d.small, px) + 8 * s) return;  // no room beside the title
    al_draw_filled_rectangle(bx, by, bx + bw, by + bh, d.p.bg);
    al_draw_rectangle(bx, by, bx + bw, by + bh, d.p.title, 1 * s);
    al_draw_line(bx, by + bh / 2, bx + bw, by + bh / 2, d.p.dim, 1);
    text(d.small, d.p.title, bx + 6 * s, by + 3 * s, 0, l1);
    text(d.small, d.p.dim, bx + 6 * s, by + bh / 2 + 3 * s, 0, l2);
}

void draw_masthead(const HEADER& d) {
    const float s = d.s;
    const float cx = d.x + d.w / 2;
    const float lh = line_h(d.big);
    const float sh = line_h(d.small);
    // Rules: a heavy and a thin one above the dateline, a thin one below it.
    const float rule1 = d.big_y + lh + 1 * s;
    const float rule2 = rule1 + sh + 3 * s;
    al_draw_filled_rectangle(d.x + 4 * s, rule1, d.x + d.w - 4 * s, rule1 + 1.5f * s, d.p.title);
    al_draw_line(d.x + 4 * s, rule2, d.x + d.w - 4 * s, rule2, d.p.title, 1);
    text(d.big, d.p.title, cx, d.big_y, ALLEGRO_ALIGN_CENTRE, "The Orvik");
    int issue = 1;
    std::string date;
    local_dateline(&issue, &date);
    char vol[48];
    std::snprintf(vol, sizeof vol, "VOL. II - NO. %d", issue);
    const float ly = rule1 + 2.5f * s;
    // The date in the middle; the issue and the edition beside it while they fit.
    const float gap = 12 * s;
    const float dw = text_w(d.small, date);
    const float left_room = d.w / 2 - dw / 2 - 8 * s - gap;
    const bool sides =
        text_w(d.small, vol) <= left_room && text_w(d.small, "PASSIVE EDITION") <= left_room;
    text(d.small, d.p.title, cx, ly, ALLEGRO_ALIGN_CENTRE, date);
    if (sides) {
        text(d.small, d.p.dim, d.x + 8 * s, ly, 0, vol);
        text(d.small, d.p.secondary, d.x + d.w - 8 * s, ly, ALLEGRO_ALIGN_RIGHT, "PASSIVE EDITION");
    }
}

}  // namespace

void ovk_theme_draw_header(OVK_GUI* g, float x, float y, float w, float h) {
    if (!g || w <= 0 || h <= 0) return;
    const ALLEGRO_FONT* big = g->font_title ? g->font_title : g->font_bold;
    const ALLEGRO_FONT* small = g->font_small ? g->font_small : g->font;
    if (!big || !small) return;
    // Clip to the rectangle (within whatever clip the caller set).
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    const int x0 = std::max(cx, static_cast<int>(std::floor(x)));
    const int y0 = std::max(cy, static_cast<int>(std::floor(y)));
    const int x1 = std::min(cx + cw, static_cast<int>(std::ceil(x + w)));
    const int y1 = std::min(cy + ch, static_cast<int>(std::ceil(y + h)));
    if (x1 <= x0 || y1 <= y0) return;
    al_set_clipping_rectangle(x0, y0, x1 - x0, y1 - y0);

    const float bl = line_h(big), sl = line_h(small);
    // The title line and the sub-line below it, centred together.
    const float top = y + (h - bl - sl) / 2;
    HEADER d{g, g->pal, x, y, w, h, g->scale, big, small, top, top + bl, g->now_s};
    al_hold_bitmap_drawing(false);
    switch (g->pal.header) {
        case OVK_HEADER_NONE:
            draw_plain(d);
            break;
        case OVK_HEADER_GLITCH:
            draw_glitch(d);
            break;
        case OVK_HEADER_HUD:
            draw_hud(d);
            break;
        case OVK_HEADER_NIGHT_VISION:
            draw_night_vision(d);
            break;
        case OVK_HEADER_CRT:
            draw_crt(d);
            break;
        case OVK_HEADER_SUNSET:
            draw_sunset(d);
            break;
        case OVK_HEADER_STENCIL:
            draw_stencil(d);
            break;
        case OVK_HEADER_BLUEPRINT:
            draw_blueprint(d);
            break;
        case OVK_HEADER_MASTHEAD:
            draw_masthead(d);
            break;
    }
    al_set_clipping_rectangle(cx, cy, cw, ch);
}
