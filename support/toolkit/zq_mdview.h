// SPDX-License-Identifier: GPL-3.0-or-later
// Laying out and drawing a parsed markdown document (zq_markdown.h) with Allegro fonts: the
// renderer behind the toolkit's markdown view.
//
//   ZQ_MD_STYLE st = zq_md_default_style(text_colour, bg_colour, al_get_font_line_height(f));
//   zq_markdown_doc doc = zq_markdown_parse_ex(text, st.parse_flags);
//   ZQ_MD_LAYOUT lay = zq_md_layout(doc, fonts, st, view_w);      // again when the width changes
//   zq_md_draw(lay, view_x, view_y - scroll, scroll, scroll + view_h, hovered);
//   int hovered = zq_md_link_index_at(lay, mouse_x - view_x, mouse_y - view_y + scroll);
//
// Everything wraps to the width given to zq_md_layout: words at spaces, words wider than the
// width between characters (never inside a UTF-8 sequence), code block lines between
// characters, table cells within their columns. Bytes that are not UTF-8, and control
// characters, show as U+FFFD. Nothing is drawn right of the width or left of 0.
//
// Main thread only (Allegro drawing). The layout keeps the font pointers it was made with:
// the fonts must outlive it. A layout is a plain value; nothing needs releasing.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zq_gui.h"
#include "zq_markdown.h"

// ---------------------------------------------------------------------------------------
// Style
// ---------------------------------------------------------------------------------------

struct ZQ_MD_STYLE {
    ALLEGRO_COLOR text;      // paragraphs, lists, tables
    ALLEGRO_COLOR heading;   // headings
    ALLEGRO_COLOR code;      // code spans and code blocks
    ALLEGRO_COLOR link;      // links and images (their alternative text)
    ALLEGRO_COLOR quote;     // quoted text and the bar beside it
    ALLEGRO_COLOR rule;      // horizontal rules, table borders, the line under h1 and h2
    ALLEGRO_COLOR code_bg;   // behind code spans, code blocks and table header rows (premultiplied)
    float line_h = 16;       // lh: the unit of every spacing below
    float block_gap = 7.2f;  // between blocks
    float list_indent = 12.8f;  // per list nesting level
    float cell_pad = 5.6f;      // inside table cells and code blocks
    float min_col_w = 40;       // narrowest table column, while the width allows it
    bool hard_breaks = false;   // a line feed inside a paragraph breaks the line
    unsigned parse_flags = ZQ_MARKDOWN_FLAGS_VIEW;
};

// The view's defaults from its text and background colours and its line height (16 when
// below 1): headings and code in the text colour, links (120, 170, 245), quotes at 0.8 and
// rules at 0.35 of the text colour's components, code background white at alpha 0.1 on a dark
// background (mean of red, green and blue at most 0.5) or black at alpha 0.06 on a light one;
// block gap 0.45 lh, list indent 0.8 lh, cell padding 0.35 lh, narrowest column 2.5 lh, no
// hard line breaks, parse flags 35.
ZQ_MD_STYLE zq_md_default_style(ALLEGRO_COLOR text, ALLEGRO_COLOR bg, float line_h);

// ---------------------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------------------

enum ZQ_MD_PRIM_KIND : int {
    ZQ_MD_PRIM_TEXT = 0,  // `text` in `font` at (x, y) (top of the glyph box), w wide, h high
    ZQ_MD_PRIM_FILL,      // filled rectangle
    ZQ_MD_PRIM_ROUNDED,   // filled rectangle with rounded corners of radius `thickness`
    ZQ_MD_PRIM_LINE,      // line from (x, y) to (x + w, y + h), `thickness` wide
};

// One thing to draw, in layout coordinates (origin at the layout's top-left).
struct ZQ_MD_PRIM {
    ZQ_MD_PRIM_KIND kind = ZQ_MD_PRIM_TEXT;
    float x = 0, y = 0, w = 0, h = 0;
    ALLEGRO_COLOR colour{};
    float thickness = 1;
    ALLEGRO_FONT* font = nullptr;  // text
    std::string text;              // text, valid UTF-8
    int link = -1;                 // text: index into ZQ_MD_LAYOUT::links, or -1
    unsigned style = 0;            // text: ZQ_MARKDOWN_STYLE_* bits of its span
};

// A horizontal band of the layout (a line of text, a table row, a rule, or the backdrop of a
// code block or quote) and the primitives inside it. Bands are in document order: their tops
// never decrease.
struct ZQ_MD_BAND {
    float y = 0, h = 0;
    uint32_t first = 0, count = 0;  // range in ZQ_MD_LAYOUT::prims
};

// The laid-out document. Read-only for callers (hit-testing, selection, tests).
struct ZQ_MD_LAYOUT {
    float width = 0;   // what it was laid out for
    float height = 0;  // of the whole document
    std::vector<ZQ_MD_PRIM> prims;
    std::vector<ZQ_MD_BAND> bands;
    std::vector<float> reach;        // per band: the lowest bottom of it and every band before
    std::vector<std::string> links;  // link and image targets, by index
};

// Lays `doc` out `width` pixels wide. Null fonts fall back: bold, italic and mono to regular,
// bold italic to bold or italic, the heading fonts to bold; with no regular font at all the
// first font given stands in, and with none the layout is empty.
ZQ_MD_LAYOUT zq_md_layout(const zq_markdown_doc& doc, const ZQ_GUI_MD_FONTS& fonts,
                          const ZQ_MD_STYLE& style, float width);

// ---------------------------------------------------------------------------------------
// Drawing and links
// ---------------------------------------------------------------------------------------

// Draws the part of the layout between clip_top and clip_bottom (layout coordinates) with the
// layout's origin at (x, y) on the current target; link `hovered_link` (or none, -1) is
// underlined. Returns how many bands were drawn. Partly visible bands are drawn whole: set a
// clipping rectangle for the view.
int zq_md_draw(const ZQ_MD_LAYOUT& layout, float x, float y, float clip_top, float clip_bottom,
               int hovered_link);

// The link under (x, y), relative to the layout's origin: its index, or -1.
int zq_md_link_index_at(const ZQ_MD_LAYOUT& layout, float x, float y);
// The target of the link under (x, y), or nothing.
std::optional<std::string> zq_md_link_at(const ZQ_MD_LAYOUT& layout, float x, float y);
