// SPDX-License-Identifier: GPL-3.0-or-later
// The colour themes of the interface: the twelve palettes, the red-only night conversion, the
// colour that stands for a device, the toolkit themes (default and accent) with the toolkit
// sizes that follow the scale, and the animated header at the top of the main screen.
//
// The theme is the preference `theme`; a change rebuilds the interface (ovk_gui.h).
#pragma once

#include <allegro5/allegro.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ovk_prefs.h"
#include "ovk_registry.h"
#include "zq_gui.h"

struct OVK_GUI;

// What the header draws (the palette's `header`).
enum OVK_HEADER_STYLE : int {
    OVK_HEADER_NONE = 0,
    OVK_HEADER_GLITCH = 1,
    OVK_HEADER_HUD = 2,
    OVK_HEADER_NIGHT_VISION = 3,
    OVK_HEADER_CRT = 4,
    OVK_HEADER_SUNSET = 5,
    OVK_HEADER_STENCIL = 6,
    OVK_HEADER_BLUEPRINT = 7,
    OVK_HEADER_MASTHEAD = 8,
};

// Colours and look of one theme (ovk_theme_palette).
struct OVK_PALETTE {
    ALLEGRO_COLOR bg{}, panel{}, panel_hi{}, text{}, dim{}, primary{}, on_primary{}, secondary{},
        border{}, scope{}, scope_text{}, trace{}, title{};
    bool dark = false;
    bool night_drive = false;  // the red-only theme: every ink goes through the night conversion
    OVK_HEADER_STYLE header = OVK_HEADER_NONE;
    std::string app_title;
    bool mono_font = false;  // regular and bold text use the monospaced font files
};

// The palette of theme `id`; an id outside 0..11 gives the "System default" palette.
OVK_PALETTE ovk_theme_palette(int id);

// Colour from 0xAARRGGBB.
ALLEGRO_COLOR ovk_argb(uint32_t argb);
// The colour's 0xAARRGGBB value (channels rounded).
uint32_t ovk_color_argb(ALLEGRO_COLOR c);
// Each of red, green, blue and alpha interpolated linearly from a (t = 0) to b (t = 1).
ALLEGRO_COLOR ovk_mix(ALLEGRO_COLOR a, ALLEGRO_COLOR b, float t);
// The night conversion: any colour becomes a shade of red between dim and full, keeping its
// alpha. White gives RGB (255, 25, 18) and black (90, 9, 6).
uint32_t ovk_night_argb(uint32_t argb);
// Colour for an 0xAARRGGBB value in the current palette (night-converted in the night theme).
ALLEGRO_COLOR ovk_ink(const OVK_GUI* g, uint32_t argb);
// The colour that stands for a device: its category's colour for a medium or strong best
// verdict, amber for a weak one, grey without a verdict (reds in the night theme).
ALLEGRO_COLOR ovk_device_color(const OVK_GUI* g, const OVK_DEVICE& d);

// Readability. Every text reaches 4.5:1 against what it is drawn on, large text and
// indicators (radar dots, the centre mark) 3:1; the palette and the colours below are made
// so in every theme.
inline constexpr double OVK_CONTRAST_TEXT = 4.5;
inline constexpr double OVK_CONTRAST_LARGE = 3.0;
// How strongly a flagged device's colour tints its list row: still, and at the top of the
// pulse of a device that needs attention now.
inline constexpr float OVK_ROW_TINT = 0.18f;
inline constexpr float OVK_ROW_TINT_MAX = 0.30f;
// Relative luminance of a colour (0 black .. 1 white) and the contrast ratio of two
// (1 .. 21), as the usual accessibility guidelines define them.
double ovk_luminance(ALLEGRO_COLOR c);
double ovk_contrast(ALLEGRO_COLOR a, ALLEGRO_COLOR b);
// `fg` moved towards `toward` in small steps until it reaches `ratio` against every colour
// of `bgs`; `fg` unchanged when it already does. When even `toward` falls short, black or
// white, whichever reads better.
ALLEGRO_COLOR ovk_contrast_lift(ALLEGRO_COLOR fg, ALLEGRO_COLOR toward,
                                std::span<const ALLEGRO_COLOR> bgs, double ratio);
// A coloured text as drawn (a device's colour, an ovk_ink colour) made readable on `bg` at
// `ratio`, moved towards the palette's text colour.
ALLEGRO_COLOR ovk_theme_readable(const OVK_GUI* g, ALLEGRO_COLOR fg, ALLEGRO_COLOR bg,
                                 double ratio = OVK_CONTRAST_TEXT);
// A list row's background tinted `tint` (0..1) with a device's colour.
ALLEGRO_COLOR ovk_theme_row_bg(const OVK_GUI* g, ALLEGRO_COLOR device, float tint);
// Text on coloured fills (the banner, badges, alert notices): white, black at night.
ALLEGRO_COLOR ovk_theme_fill_ink(const OVK_GUI* g);
// A coloured fill (night-converted by the caller) darkened until ovk_theme_fill_ink reads
// on it; at night brightened instead.
ALLEGRO_COLOR ovk_theme_fill(const OVK_GUI* g, ALLEGRO_COLOR fill);
// A radar dot of a device's colour, lifted until it stands out from the background.
ALLEGRO_COLOR ovk_theme_dot(const OVK_GUI* g, ALLEGRO_COLOR device);
// What a radar label lies on: the background, or the background's veil (alpha 0.75) over a
// plain dot.
ALLEGRO_COLOR ovk_theme_radar_veil(const OVK_GUI* g);
// A flagged device's radar label: its colour, lifted until it reads on the background and on
// the veil over a dot.
ALLEGRO_COLOR ovk_theme_radar_label(const OVK_GUI* g, ALLEGRO_COLOR device);
// A hovered link: the primary colour (made for filling buttons) lifted until it reads on the
// background, the panels and a tooltip.
ALLEGRO_COLOR ovk_theme_link_hover(const OVK_PALETTE& p);
// Background of a selected (toggled) button in the default theme.
ALLEGRO_COLOR ovk_theme_selected_bg(const OVK_PALETTE& p);
// Every colour ovk_device_color can give in a palette (each category medium or strong, weak,
// no verdict).
std::vector<ALLEGRO_COLOR> ovk_theme_device_colors(const OVK_PALETTE& p);

// Background of an emphasised button: 0 normal, 1 hovered, 2 pressed or on.
ALLEGRO_COLOR ovk_theme_accent_bg(const OVK_PALETTE& p, int state);

// Toolkit theme for emphasised buttons (the primary colour filled).
ZQ_GUI_THEME ovk_theme_accent(const OVK_GUI* g);
// Sets the context's default theme, rounded shapes and the toolkit style sizes and colours
// for the current palette and scale.
void ovk_theme_apply(OVK_GUI* g);
// Draws the palette's header (title, sub-line, animation at g->now_s) into the rectangle,
// clipped to it.
void ovk_theme_draw_header(OVK_GUI* g, float x, float y, float w, float h);
