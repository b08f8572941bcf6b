// SPDX-License-Identifier: GPL-3.0-or-later
// The toolkit gallery: one display showing every widget kind, used by zq-gallery, the
// toolkit's window tests and its benchmarks.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>

#include <string>

#include "zq_gui.h"

struct ZQ_GALLERY_FONTS {
    ALLEGRO_FONT* regular = nullptr;
    ALLEGRO_FONT* bold = nullptr;
    ALLEGRO_FONT* italic = nullptr;
    ALLEGRO_FONT* bolditalic = nullptr;
    ALLEGRO_FONT* mono = nullptr;
    ALLEGRO_FONT* h1 = nullptr;
    ALLEGRO_FONT* h2 = nullptr;
    ALLEGRO_FONT* h3 = nullptr;
    ALLEGRO_FONT* small = nullptr;
};

// Loads the DejaVu fonts at `size` pixels (from assets/fonts or the system's font
// directory); false when the regular one cannot be found. Free with zq_gallery_fonts_free.
bool zq_gallery_fonts_load(ZQ_GALLERY_FONTS* fonts, int size);
void zq_gallery_fonts_free(ZQ_GALLERY_FONTS* fonts);
// Path of a font file of the given name ("DejaVuSans.ttf"), or "".
std::string zq_gallery_font_path(const char* name);

struct ZQ_GALLERY {
    ZQ_GUI_CTX* ctx = nullptr;
    ZQ_GUI_POPUP* menu = nullptr;
    int win_main = -1, win_tools = -1, win_doc = -1;
    int grid = -1, field = -1, notes = -1, markdown = -1, custom = -1, status = -1;
    int clicks = 0;
    std::string last_link;
};

// Builds the gallery's windows and widgets for a display of w by h pixels.
bool zq_gallery_build(ZQ_GALLERY* g, ALLEGRO_DISPLAY* display, const ZQ_GALLERY_FONTS& fonts,
                      float w, float h);
// Opens the pop-up menu with its sub-menu showing, as a person would see it.
void zq_gallery_open_menu(ZQ_GALLERY* g);
void zq_gallery_free(ZQ_GALLERY* g);
// The markdown text the gallery shows: every construct of the dialect.
const char* zq_gallery_markdown();
