// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary text parsed and laid out by the markdown renderer, without a display (the DejaVu
// fonts in memory bitmaps). The first two bytes hold the parse flags, the third the width
// (4 to 1024 pixels) and the fourth whether line feeds break lines. Every primitive lies
// inside the width, every text is valid UTF-8, the bands keep their order, and every link
// found by position is a link that exists.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_ttf.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "zq_markdown.h"
#include "zq_mdview.h"

namespace {

ZQ_GUI_MD_FONTS g_fonts;

bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80                 ? 1
                   : c >= 0xC2 && c <= 0xDF ? 2
                   : c >= 0xE0 && c <= 0xEF ? 3
                   : c >= 0xF0 && c <= 0xF4 ? 4
                                            : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        if (c < 0x20 || c == 0x7F) return false;
        i += n;
    }
    return true;
}

bool one_char(std::string_view s) {
    size_t starts = 0;
    for (char c : s) starts += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return starts == 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon()) abort();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    const std::string dir = "/usr/share/fonts/truetype/dejavu/";
    auto load = [&](const char* n, int size) {
        ALLEGRO_FONT* f = al_load_ttf_font((dir + n).c_str(), size, 0);
        if (!f) abort();
        return f;
    };
    g_fonts.regular = load("DejaVuSans.ttf", 13);
    g_fonts.bold = load("DejaVuSans-Bold.ttf", 13);
    g_fonts.italic = load("DejaVuSans-Oblique.ttf", 13);
    g_fonts.mono = load("DejaVuSansMono.ttf", 12);  // bold italic and h3 left to fall back
    g_fonts.h1 = load("DejaVuSans-Bold.ttf", 22);
    g_fonts.h2 = load("DejaVuSans-Bold.ttf", 18);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const unsigned flags = (data[0] | (data[1] << 8)) & 511u;
    const float width = 4.0f + static_cast<float>(data[2]) * 4.0f;
    ZQ_MD_STYLE style = zq_md_default_style(al_map_rgb(230, 230, 230), al_map_rgb(20, 20, 20), 16);
    style.hard_breaks = data[3] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 4), size - 4);

    const ZQ_MD_LAYOUT l = zq_md_layout(zq_markdown_parse_ex(text, flags), g_fonts, style, width);
    if (l.reach.size() != l.bands.size()) __builtin_trap();
    uint32_t next = 0;
    for (size_t i = 0; i < l.bands.size(); ++i) {
        const ZQ_MD_BAND& b = l.bands[i];
        if (b.first != next || b.h < 0 || b.y + b.h > l.height + 0.5f) __builtin_trap();
        if (i && b.y < l.bands[i - 1].y) __builtin_trap();
        next = b.first + b.count;
    }
    if (next != l.prims.size()) __builtin_trap();
    for (const ZQ_MD_PRIM& p : l.prims) {
        float right = p.x + p.w;
        if (p.kind == ZQ_MD_PRIM_TEXT) {
            if (!p.font || p.text.empty() || !valid_utf8(p.text)) __builtin_trap();
            if (p.link >= static_cast<int>(l.links.size())) __builtin_trap();
            right = p.x + static_cast<float>(al_get_text_width(p.font, p.text.c_str()));
        }
        if (p.x < 0 || p.h < 0) __builtin_trap();
        // text goes past the width only by the one character a line takes however narrow the
        // view, or in a view narrower than a list marker; backgrounds and lines never do
        if (right > width + 0.5f && (p.kind != ZQ_MD_PRIM_TEXT || right > width + 100 ||
                                     (width >= 128 && !one_char(p.text))))
            __builtin_trap();
    }
    for (float y = 0; y < l.height; y += 7) {
        const int k = zq_md_link_index_at(l, width / 2, y);
        if (k < -1 || k >= static_cast<int>(l.links.size())) __builtin_trap();
        if ((k >= 0) != zq_md_link_at(l, width / 2, y).has_value()) __builtin_trap();
    }
    return 0;
}
