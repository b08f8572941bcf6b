// SPDX-License-Identifier: GPL-3.0-or-later
// The colour themes of the interface: the twelve palettes, the red-only night conversion, the
// colour that stands for a device, the toolkit themes (default and accent) with the toolkit
// sizes that follow the scale, and the animated header at the top of the main screen.
//
// The theme is the preference `theme`; a change rebuilds the interface (ovk_gui.h).
#pragma once

#include <allegro5/allegro.h>

#include <cstdint>
#include <string>

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

// Toolkit theme for emphasised buttons (the primary colour filled).
ZQ_GUI_THEME ovk_theme_accent(const OVK_GUI* g);
// Sets the context's default theme, rounded shapes and the toolkit style sizes and colours
// for the current palette and scale.
void ovk_theme_apply(OVK_GUI* g);
// Draws the palette's header (title, sub-line, animation at g->now_s) into the rectangle,
// clipped to it.
void ovk_theme_draw_header(OVK_GUI* g, float x, float y, float w, float h);
