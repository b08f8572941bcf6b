// SPDX-License-Identifier: GPL-3.0-or-later
// Markdown layout and drawing.
//
// Index
//   1. Text: clean UTF-8, measuring, fitting a prefix into a width
//   2. Inline text: pieces (words and spaces with their fonts), wrapping into lines
//   3. The layout builder: bands and primitives, one routine per block kind
//   4. Public functions: style, layout, drawing, links
//
// The layout is a list of bands (a line, a table row, a backdrop) in document order, each
// holding its primitives. Drawing finds the first band that reaches into the clip range by
// binary search over the running lowest bottom, and stops at the first band below it, so a
// long document costs only what is visible.
#include "zq_mdview.h"

#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <utility>

namespace {

// ---------------------------------------------------------------------------------------
// 1. Text
// ---------------------------------------------------------------------------------------

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0 when it is not one.
size_t utf8_at(std::string_view s, size_t i, int* cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    int v = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        v = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        v = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = b(i + k);
        if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) return 0;
        v = (v << 6) | (t & 0x3F);
    }
    *cp = v;
    return n;
}

// Appends `s` as valid UTF-8 with control characters and broken sequences as U+FFFD.
void append_clean(std::string& out, std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        int cp = 0;
        const size_t n = utf8_at(s, i, &cp);
        if (n == 0 || cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
            out.append(kReplacement);
            i += n ? n : 1;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
}

float text_w(ALLEGRO_FONT* f, std::string_view s) {
    if (s.empty()) return 0;
    ALLEGRO_USTR_INFO info;
    const ALLEGRO_USTR* u = al_ref_buffer(&info, s.data(), s.size());
    return static_cast<float>(al_get_ustr_width(f, u));
}

// Bytes of the longest prefix of `s` (clean UTF-8) whose glyphs fit in `room` pixels; walks
// the glyphs once, so breaking a long word costs what the line holds.
size_t fit_prefix(ALLEGRO_FONT* f, std::string_view s, float room) {
    float x = 0;
    size_t i = 0;
    while (i < s.size()) {
        int cp = 0;
        const size_t n = std::max<size_t>(utf8_at(s, i, &cp), 1);
        x += static_cast<float>(al_get_glyph_advance(f, cp, ALLEGRO_NO_KERNING));
        if (x > room) break;
        i += n;
    }
    return i;
}

size_t first_char_len(std::string_view s) {
    int cp = 0;
    return s.empty() ? 0 : std::max<size_t>(utf8_at(s, 0, &cp), 1);
}

float ascent(ALLEGRO_FONT* f) {
    return static_cast<float>(al_get_font_ascent(f));
}
float line_height(ALLEGRO_FONT* f) {
    return static_cast<float>(al_get_font_line_height(f));
}

ALLEGRO_COLOR scaled(ALLEGRO_COLOR c, float k) {
    return al_map_rgba_f(c.r * k, c.g * k, c.b * k, c.a);
}

// ---------------------------------------------------------------------------------------
// 2. Inline text
// ---------------------------------------------------------------------------------------

struct Fonts {
    ALLEGRO_FONT* regular = nullptr;
    ALLEGRO_FONT* bold = nullptr;
    ALLEGRO_FONT* italic = nullptr;
    ALLEGRO_FONT* bolditalic = nullptr;
    ALLEGRO_FONT* mono = nullptr;
    ALLEGRO_FONT* h[3] = {nullptr, nullptr, nullptr};
};

// How a piece of inline text looks: which fonts and which colour it starts from.
struct InlineLook {
    const zq_markdown_inline* in = nullptr;
    ALLEGRO_FONT* heading = nullptr;  // every span but code in this font (headings)
    bool bold = false;                // table header cells
    ALLEGRO_COLOR colour{};
    std::vector<int> span_link;  // per span: its index in the layout's links, or -1
};

// A word part or a white-space run of one span.
struct Piece {
    bool space = false;
    int newlines = 0;  // line feeds in a white-space run
    int span = 0;
    std::string text;  // clean UTF-8; empty for spaces
    ALLEGRO_FONT* font = nullptr;
    float pad = 0;  // on each side of a code span's box
    float w = 0;    // with the padding; for spaces, the space's width
};

struct Seg {
    float x = 0, w = 0;
    int span = 0;
    std::string text;
    ALLEGRO_FONT* font = nullptr;
    float pad = 0;
};

struct Line {
    std::vector<Seg> segs;
    float w = 0;
};

struct Prepared {
    std::vector<Piece> pieces;
    float natural = 0;   // widest line without wrapping
    float max_word = 0;  // widest unbreakable word
};

class Builder {
  public:
    Builder(const Fonts& f, const ZQ_MD_STYLE& st, float width, ZQ_MD_LAYOUT& out)
        : f_(f), st_(st), w_(width), out_(out) {
        const float lh = st.line_h;
        code_pad_ = std::max(2.0f, std::round(lh * 0.18f));
        item_gap_ = std::round(lh * 0.2f);
    }

    void run(const zq_markdown_doc& doc) {
        float y = 0;
        const zq_markdown_block* prev = nullptr;
        for (const zq_markdown_block& b : doc.blocks) {
            if (prev) y = std::round(y + gap_between(*prev, b));
            if (b.kind != ZQ_MARKDOWN_UL && b.kind != ZQ_MARKDOWN_OL) list_text_x_.clear();
            y = block(b, y);
            prev = &b;
        }
        out_.height = std::ceil(y);
        out_.reach.resize(out_.bands.size());
        float r = 0;
        for (size_t i = 0; i < out_.bands.size(); ++i) {
            r = std::max(r, out_.bands[i].y + out_.bands[i].h);
            out_.reach[i] = r;
        }
    }

  private:
    // -- fonts and colours ---------------------------------------------------------------

    ALLEGRO_FONT* font_for(unsigned style, const InlineLook& look) const {
        if (style & ZQ_MARKDOWN_STYLE_CODE) return f_.mono;
        if (look.heading) return look.heading;
        const bool bold = look.bold || (style & ZQ_MARKDOWN_STYLE_BOLD);
        const bool italic = (style & (ZQ_MARKDOWN_STYLE_ITALIC | ZQ_MARKDOWN_STYLE_IMAGE)) != 0;
        return bold && italic ? f_.bolditalic : bold ? f_.bold : italic ? f_.italic : f_.regular;
    }

    ALLEGRO_COLOR colour_for(unsigned style, const InlineLook& look) const {
        if (style & (ZQ_MARKDOWN_STYLE_LINK | ZQ_MARKDOWN_STYLE_IMAGE)) return st_.link;
        if (style & ZQ_MARKDOWN_STYLE_CODE) return st_.code;
        return look.colour;
    }

    // -- inline text ---------------------------------------------------------------------

    // Widths of short words, remembered for the layout: documents repeat their words, and
    // every measurement walks the font's kerning pairs.
    float measure(ALLEGRO_FONT* f, const std::string& s) {
        if (s.size() > 24) return text_w(f, s);
        auto [it, fresh] = widths_.try_emplace(std::make_pair(f, s), 0.0f);
        if (fresh) it->second = text_w(f, s);
        return it->second;
    }

    // Splits the spans into words and white space, cleans and measures them, and gives each
    // link its index.
    Prepared prepare(InlineLook& look) {
        Prepared p;
        const auto& spans = look.in->spans;
        look.span_link.assign(spans.size(), -1);
        float line = 0, word = 0, pending_space = 0;
        for (size_t s = 0; s < spans.size(); ++s) {
            const zq_markdown_span& sp = spans[s];
            if (sp.url) {
                look.span_link[s] = static_cast<int>(out_.links.size());
                out_.links.push_back(*sp.url);
            }
            ALLEGRO_FONT* font = font_for(sp.style, look);
            const float pad = (sp.style & ZQ_MARKDOWN_STYLE_CODE) ? code_pad_ : 0;
            std::string_view t = sp.text;
            while (!t.empty()) {
                Piece pc;
                pc.span = static_cast<int>(s);
                pc.font = font;
                size_t n = 0;
                if (is_ws(t[0])) {
                    while (n < t.size() && is_ws(t[n])) pc.newlines += t[n++] == '\n';
                    pc.space = true;
                    pc.w = measure(font, " ");
                    p.max_word = std::max(p.max_word, word);
                    word = 0;
                    if (pc.newlines >= 2 || (st_.hard_breaks && pc.newlines)) {
                        p.natural = std::max(p.natural, line);
                        line = pending_space = 0;
                    } else {
                        pending_space = pc.w;
                    }
                } else {
                    while (n < t.size() && !is_ws(t[n])) ++n;
                    append_clean(pc.text, t.substr(0, n));
                    pc.pad = pad;
                    pc.w = measure(font, pc.text) + 2 * pad;
                    word += pc.w;
                    if (line > 0) line += pending_space;
                    line += pc.w;
                    pending_space = 0;
                }
                t.remove_prefix(n);
                p.pieces.push_back(std::move(pc));
            }
        }
        p.max_word = std::max(p.max_word, word);
        p.natural = std::max(p.natural, line);
        return p;
    }

    static void add_seg(Line& l, const Piece& p, std::string_view text, float w, float lead,
                        bool merge) {
        if (merge && !l.segs.empty() && l.segs.back().span == p.span &&
            l.segs.back().font == p.font) {
            Seg& s = l.segs.back();
            s.text.push_back(' ');
            s.text.append(text);
            s.w += lead + w - 2 * p.pad;
            l.w = s.x + s.w;
            return;
        }
        Seg s;
        s.x = l.w + lead;
        s.w = w;
        s.span = p.span;
        s.text = std::string(text);
        s.font = p.font;
        s.pad = p.pad;
        l.w = s.x + s.w;
        l.segs.push_back(std::move(s));
    }

    // One word part onto the lines; wider than the room left, it is broken between
    // characters (at least one character per line, so that very narrow views still end).
    void place(std::vector<Line>& lines, const Piece& p, float lead, bool merge, float avail) {
        Line* l = &lines.back();
        if (l->w + lead + p.w <= avail || (l->segs.empty() && p.w <= avail)) {
            add_seg(*l, p, p.text, p.w, lead, merge);
            return;
        }
        std::string_view rest = p.text;
        while (!rest.empty()) {
            l = &lines.back();
            size_t n = fit_prefix(p.font, rest, avail - l->w - lead - 2 * p.pad);
            if (n == 0) {
                if (!l->segs.empty()) {
                    lines.emplace_back();
                    lead = 0;
                    merge = false;
                    continue;
                }
                n = first_char_len(rest);
            }
            const std::string_view part = rest.substr(0, n);
            add_seg(*l, p, part, text_w(p.font, part) + 2 * p.pad, lead, merge);
            rest.remove_prefix(n);
            lead = 0;
            merge = false;
            if (!rest.empty()) lines.emplace_back();
        }
    }

    std::vector<Line> wrap(const Prepared& p, float avail) {
        std::vector<Line> lines(1);
        const Piece* space = nullptr;
        size_t i = 0;
        while (i < p.pieces.size()) {
            const Piece& pc = p.pieces[i];
            if (pc.space) {
                if (pc.newlines >= 2 || (st_.hard_breaks && pc.newlines)) {
                    if (pc.newlines >= 2 && !lines.back().segs.empty()) lines.emplace_back();
                    lines.emplace_back();
                    space = nullptr;
                } else if (!lines.back().segs.empty()) {
                    space = &pc;
                }
                ++i;
                continue;
            }
            size_t j = i;
            float word = 0;
            while (j < p.pieces.size() && !p.pieces[j].space) word += p.pieces[j++].w;
            float lead = space ? space->w : 0;
            if (!lines.back().segs.empty() && lines.back().w + lead + word > avail) {
                lines.emplace_back();
                lead = 0;
                space = nullptr;
            }
            for (size_t k = i; k < j; ++k) {
                const bool merge = k == i && space && space->span == p.pieces[k].span;
                place(lines, p.pieces[k], k == i ? lead : 0, merge, avail);
            }
            space = nullptr;
            i = j;
        }
        // merged parts are measured whole, so kerning across them counts
        for (Line& l : lines) {
            float shift = 0;
            for (Seg& s : l.segs) {
                s.x += shift;
                const float w = text_w(s.font, s.text) + 2 * s.pad;
                shift += w - s.w;
                s.w = w;
            }
            l.w = l.segs.empty() ? 0 : l.segs.back().x + l.segs.back().w;
        }
        while (lines.size() > 1 && lines.back().segs.empty()) lines.pop_back();
        return lines;
    }

    // Ascent and height of a line: the tallest of its fonts, or the base font when empty.
    static void metrics(const Line& l, ALLEGRO_FONT* base, float* asc, float* h) {
        float a = 0, d = 0;
        if (l.segs.empty()) {
            a = ascent(base);
            d = line_height(base) - a;
        }
        for (const Seg& s : l.segs) {
            a = std::max(a, ascent(s.font));
            d = std::max(d, line_height(s.font) - ascent(s.font));
        }
        *asc = a;
        *h = a + d;
    }

    // The primitives of one line whose top is at `top`, shifted right by `ox`.
    void emit_line(const Line& l, const InlineLook& look, float ox, float top, float asc) {
        const auto& spans = look.in->spans;
        for (const Seg& s : l.segs) {
            const zq_markdown_span& sp = spans[static_cast<size_t>(s.span)];
            const float ty = top + asc - ascent(s.font);
            const float fh = line_height(s.font);
            if (sp.style & ZQ_MARKDOWN_STYLE_CODE)
                prim_fill(ZQ_MD_PRIM_ROUNDED, ox + s.x, ty, s.w, fh, st_.code_bg, 3);
            ZQ_MD_PRIM t;
            t.kind = ZQ_MD_PRIM_TEXT;
            t.x = ox + s.x + s.pad;
            t.y = ty;
            t.w = s.w - 2 * s.pad;
            t.h = fh;
            t.colour = colour_for(sp.style, look);
            t.font = s.font;
            t.text = s.text;
            t.style = sp.style;
            t.link = look.span_link[static_cast<size_t>(s.span)];
            out_.prims.push_back(std::move(t));
            if (sp.style & ZQ_MARKDOWN_STYLE_STRIKE) {
                const float sy = std::round(ty + ascent(s.font) * 0.66f) + 0.5f;
                prim_line(ox + s.x, sy, s.w, 0, colour_for(sp.style, look), 1);
            }
        }
    }

    // Lays inline text out at x, `avail` wide, one band per line; returns the new y. The
    // first line's band may take an extra primitive (a list marker) through `first_line`.
    template <typename F>
    float paragraph(InlineLook look, ALLEGRO_FONT* base, float x, float y, float avail,
                    F&& first_line) {
        const Prepared p = prepare(look);
        const std::vector<Line> lines = wrap(p, avail);
        for (size_t i = 0; i < lines.size(); ++i) {
            float asc = 0, h = 0;
            metrics(lines[i], look.heading ? look.heading : base, &asc, &h);
            const uint32_t first = begin_band();
            if (i == 0) first_line(y, asc);
            emit_line(lines[i], look, x, y, asc);
            end_band(first, y, h);
            y += h;
        }
        return y;
    }
    float paragraph(InlineLook look, ALLEGRO_FONT* base, float x, float y, float avail) {
        return paragraph(look, base, x, y, avail, [](float, float) {});
    }

    // -- bands and primitives ------------------------------------------------------------

    uint32_t begin_band() const { return static_cast<uint32_t>(out_.prims.size()); }
    void end_band(uint32_t first, float y, float h) {
        ZQ_MD_BAND b;
        b.y = y;
        b.h = h;
        b.first = first;
        b.count = static_cast<uint32_t>(out_.prims.size()) - first;
        out_.bands.push_back(b);
    }

    void prim_fill(ZQ_MD_PRIM_KIND kind, float x, float y, float w, float h, ALLEGRO_COLOR c,
                   float radius = 0) {
        // backgrounds end at the view's edge even where a character in a view narrower than
        // it does not
        ZQ_MD_PRIM p;
        p.kind = kind;
        p.x = std::clamp(x, 0.0f, w_);
        p.y = y;
        p.w = std::max(0.0f, std::min(x + w, w_) - p.x);
        p.h = h;
        p.colour = c;
        p.thickness = radius;
        out_.prims.push_back(std::move(p));
    }

    void prim_line(float x, float y, float w, float h, ALLEGRO_COLOR c, float thickness) {
        ZQ_MD_PRIM p;
        p.kind = ZQ_MD_PRIM_LINE;
        p.x = std::clamp(x, 0.0f, w_);
        p.y = y;
        p.w = std::max(0.0f, std::min(x + w, w_) - p.x);
        p.h = h;
        p.colour = c;
        p.thickness = thickness;
        out_.prims.push_back(std::move(p));
    }

    // A band holding one backdrop whose height is known only after what it backs is laid
    // out: returns its index for set_backdrop_height().
    size_t backdrop(ZQ_MD_PRIM_KIND kind, float x, float y, float w, ALLEGRO_COLOR c,
                    float radius) {
        const uint32_t first = begin_band();
        prim_fill(kind, x, y, w, 0, c, radius);
        end_band(first, y, 0);
        return out_.bands.size() - 1;
    }
    void set_backdrop_height(size_t band, float h) {
        out_.bands[band].h = h;
        out_.prims[out_.bands[band].first].h = h;
    }

    // -- blocks --------------------------------------------------------------------------

    float gap_between(const zq_markdown_block& a, const zq_markdown_block& b) const {
        const bool la = a.kind == ZQ_MARKDOWN_UL || a.kind == ZQ_MARKDOWN_OL;
        const bool lb = b.kind == ZQ_MARKDOWN_UL || b.kind == ZQ_MARKDOWN_OL;
        if (la && lb && (a.depth > 0 || b.depth > 0)) return item_gap_;  // nested lists
        // a list too long for one block goes on in the next
        if (la && a.kind == b.kind && a.depth == b.depth && a.items.size() >= ZQ_MARKDOWN_MAX_ITEMS)
            return item_gap_;
        if (b.kind == ZQ_MARKDOWN_HEADING) return st_.block_gap + std::round(st_.line_h * 0.5f);
        return st_.block_gap;
    }

    float block(const zq_markdown_block& b, float y) {
        switch (b.kind) {
            case ZQ_MARKDOWN_PARA:
                return paragraph(look(b.inl, st_.text), f_.regular, 0, y, w_);
            case ZQ_MARKDOWN_HEADING:
                return heading(b, y);
            case ZQ_MARKDOWN_QUOTE:
                return quote(b, y);
            case ZQ_MARKDOWN_CODE_BLOCK:
                return code_block(b, y);
            case ZQ_MARKDOWN_UL:
            case ZQ_MARKDOWN_OL:
                return list(b, y);
            case ZQ_MARKDOWN_TABLE:
                return table(b, y);
            case ZQ_MARKDOWN_HR: {
                const float h = std::round(st_.line_h * 0.5f);
                const uint32_t first = begin_band();
                prim_line(0, y + std::floor(h / 2) + 0.5f, w_, 0, st_.rule, 1);
                end_band(first, y, h);
                return y + h;
            }
        }
        return y;
    }

    InlineLook look(const zq_markdown_inline& in, ALLEGRO_COLOR colour) const {
        InlineLook l;
        l.in = &in;
        l.colour = colour;
        return l;
    }

    float heading(const zq_markdown_block& b, float y) {
        InlineLook l = look(b.inl, st_.heading);
        l.heading = b.level == 1   ? f_.h[0]
                    : b.level == 2 ? f_.h[1]
                    : b.level == 3 ? f_.h[2]
                                   : f_.bold;
        y = paragraph(l, l.heading, 0, y, w_);
        if (b.level <= 2) {
            const float h = std::round(st_.line_h * 0.35f);
            const uint32_t first = begin_band();
            prim_line(0, y + h - 0.5f, w_, 0, st_.rule, 1);
            end_band(first, y, h);
            y += h;
        }
        return y;
    }

    float quote(const zq_markdown_block& b, float y) {
        const float bar = std::max(2.0f, std::round(st_.line_h * 0.2f));
        const float x = bar + std::round(st_.line_h * 0.6f);
        const size_t back = backdrop(ZQ_MD_PRIM_FILL, 0, y, bar, st_.quote, 0);
        const float end =
            paragraph(look(b.inl, st_.quote), f_.regular, x, y, std::max(1.0f, w_ - x));
        set_backdrop_height(back, end - y);
        return end;
    }

    float code_block(const zq_markdown_block& b, float y) {
        const float pad = std::round(st_.cell_pad);
        const float vpad = std::round(st_.cell_pad * 0.8f);
        const float avail = std::max(1.0f, w_ - 2 * pad);
        const float lh = line_height(f_.mono);
        const size_t back = backdrop(ZQ_MD_PRIM_ROUNDED, 0, y, w_, st_.code_bg, 4);
        const float top = y;
        y += vpad;
        std::string_view code = b.code;
        for (;;) {
            const size_t nl = code.find('\n');
            // tabs to the next multiple of four columns, then clean text
            std::string line;
            size_t col = 0;
            for (char c : code.substr(0, nl)) {
                if (c == '\t') {
                    const size_t to = (col / 4 + 1) * 4;
                    line.append(to - col, ' ');
                    col = to;
                } else {
                    line.push_back(c);
                    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++col;
                }
            }
            std::string clean;
            append_clean(clean, line);
            // long lines go on below, broken between characters
            std::string_view rest = clean;
            do {
                size_t n = fit_prefix(f_.mono, rest, avail);
                if (n == 0) n = first_char_len(rest);
                const uint32_t first = begin_band();
                if (n) {
                    ZQ_MD_PRIM t;
                    t.kind = ZQ_MD_PRIM_TEXT;
                    t.x = pad;
                    t.y = y;
                    t.text = std::string(rest.substr(0, n));
                    t.w = text_w(f_.mono, t.text);
                    t.h = lh;
                    t.colour = st_.code;
                    t.font = f_.mono;
                    t.style = ZQ_MARKDOWN_STYLE_CODE;
                    out_.prims.push_back(std::move(t));
                }
                end_band(first, y, lh);
                y += lh;
                rest.remove_prefix(n);
            } while (!rest.empty());
            if (nl == std::string_view::npos) break;
            code.remove_prefix(nl + 1);
        }
        y += vpad;
        set_backdrop_height(back, y - top);
        return y;
    }

    float list(const zq_markdown_block& b, float y) {
        const size_t depth = static_cast<size_t>(std::max(b.depth, 0));
        // a nested list starts where the text of the list around it starts
        float base = std::round(st_.list_indent * 0.5f);
        if (depth > 0 && depth - 1 < list_text_x_.size())
            base = list_text_x_[depth - 1];
        else if (depth > 0)
            base += std::round(st_.list_indent * static_cast<float>(depth));
        const bool ordered = b.kind == ZQ_MARKDOWN_OL;
        const std::string bullet = depth % 2 ? "\xE2\x97\xA6" : "\xE2\x80\xA2";  // ◦ •
        const float gap = std::round(st_.line_h * 0.4f);
        float marker_w = text_w(f_.regular, bullet);
        if (ordered) {
            const long long last =
                static_cast<long long>(b.start) + static_cast<long long>(b.items.size()) - 1;
            marker_w = text_w(f_.regular, std::to_string(std::max<long long>(last, 0)) + ".");
        }
        float text_x = std::round(base + std::max(st_.list_indent, marker_w + gap));
        // keep some room for the text however deep the nesting
        const float min_room = std::min(w_, st_.line_h * 4);
        text_x = std::max(0.0f, std::min(text_x, w_ - min_room));
        list_text_x_.resize(depth);
        list_text_x_.push_back(text_x);

        for (size_t i = 0; i < b.items.size(); ++i) {
            if (i) y += item_gap_;
            const std::string marker =
                ordered
                    ? std::to_string(static_cast<long long>(b.start) + static_cast<long long>(i)) +
                          "."
                    : bullet;
            const float mw = text_w(f_.regular, marker);
            y = paragraph(look(b.items[i], st_.text), f_.regular, text_x, y,
                          std::max(1.0f, w_ - text_x), [&](float top, float asc) {
                              ZQ_MD_PRIM t;
                              t.kind = ZQ_MD_PRIM_TEXT;
                              t.x = std::max(0.0f, text_x - gap - mw);
                              t.y = top + asc - ascent(f_.regular);
                              t.w = mw;
                              t.h = line_height(f_.regular);
                              t.colour = st_.text;
                              t.font = f_.regular;
                              t.text = marker;
                              out_.prims.push_back(std::move(t));
                          });
        }
        return y;
    }

    float table(const zq_markdown_block& b, float y) {
        const size_t cols = static_cast<size_t>(std::max(b.n_cols, 1));
        const size_t rows = b.items.size() / cols;
        if (rows == 0) return y;
        const float pad0 = std::round(st_.cell_pad);

        // every cell prepared once; the header row in bold
        std::vector<InlineLook> looks(rows * cols);
        std::vector<Prepared> cells(rows * cols);
        std::vector<float> natural(cols, 0), word(cols, 0);
        for (size_t i = 0; i < rows * cols; ++i) {
            looks[i] = look(b.items[i], st_.text);
            looks[i].bold = i < cols;
            cells[i] = prepare(looks[i]);
            natural[i % cols] = std::max(natural[i % cols], cells[i].natural + 2 * pad0);
            word[i % cols] = std::max(word[i % cols], cells[i].max_word + 2 * pad0);
        }
        const std::vector<float> widths = column_widths(natural, word);
        float table_w = 0;
        for (float cw : widths) table_w += cw;
        // squeezed columns keep most of their width for text
        const float pad =
            std::min(pad0, std::floor(*std::min_element(widths.begin(), widths.end()) / 4));

        const size_t header_bg = backdrop(ZQ_MD_PRIM_FILL, 0, y, table_w, st_.code_bg, 0);
        for (size_t r = 0; r < rows; ++r) {
            // wrap every cell of the row, then lay the row out as one band
            std::vector<std::vector<Line>> wrapped(cols);
            float row_h = line_height(r == 0 ? f_.bold : f_.regular);
            for (size_t c = 0; c < cols; ++c) {
                wrapped[c] = wrap(cells[r * cols + c], std::max(1.0f, widths[c] - 2 * pad));
                float h = 0;
                for (const Line& l : wrapped[c]) {
                    float asc = 0, lh = 0;
                    metrics(l, f_.regular, &asc, &lh);
                    h += lh;
                }
                row_h = std::max(row_h, h);
            }
            row_h += 2 * pad;
            const uint32_t first = begin_band();
            float x = 0;
            for (size_t c = 0; c < cols; ++c) {
                const InlineLook& lk = looks[r * cols + c];
                float ly = y + pad;
                for (const Line& l : wrapped[c]) {
                    float asc = 0, lh = 0;
                    metrics(l, r == 0 ? f_.bold : f_.regular, &asc, &lh);
                    const float room = widths[c] - 2 * pad - l.w;
                    const uint8_t al = c < b.align.size() ? b.align[c] : 0;
                    const float shift = al == 1 ? std::floor(room / 2) : al == 2 ? room : 0;
                    emit_line(l, lk, x + pad + std::max(0.0f, shift), ly, asc);
                    ly += lh;
                }
                x += widths[c];
            }
            // the grid: a line above every row, below the last, and between the columns
            prim_line(0, y + 0.5f, table_w, 0, st_.rule, 1);
            if (r + 1 == rows) prim_line(0, y + row_h - 0.5f, table_w, 0, st_.rule, 1);
            x = 0;
            for (size_t c = 0; c <= cols; ++c) {
                prim_line(c == cols ? table_w - 0.5f : x + 0.5f, y, 0, row_h, st_.rule, 1);
                if (c < cols) x += widths[c];
            }
            end_band(first, y, row_h);
            if (r == 0) set_backdrop_height(header_bg, row_h);
            y += row_h;
        }
        return y;
    }

    // Column widths within the view: each column as wide as its content on one line when
    // they all fit. Otherwise every column first gets the narrowest width (or its longest word,
    // when those all fit), and the width left over is shared out evenly among the columns
    // still short of their content, so narrow columns are whole before wide ones grow. Only
    // when even the narrowest widths do not fit do the columns share the view equally.
    std::vector<float> column_widths(const std::vector<float>& natural,
                                     const std::vector<float>& word) const {
        const size_t n = natural.size();
        std::vector<float> want(n), out(n, st_.min_col_w);
        float sum_want = 0, sum_min = 0, sum_word = 0;
        for (size_t c = 0; c < n; ++c) {
            want[c] = std::max(natural[c], st_.min_col_w);
            sum_want += want[c];
            sum_min += st_.min_col_w;
            sum_word += std::max(st_.min_col_w, std::min(word[c], want[c]));
        }
        if (sum_want <= w_) {
            for (size_t c = 0; c < n; ++c) out[c] = std::ceil(want[c]);
            return out;
        }
        if (sum_min > w_) return std::vector<float>(n, std::floor(w_ / static_cast<float>(n)));
        float left = w_ - sum_min;
        if (sum_word <= w_) {
            for (size_t c = 0; c < n; ++c)
                out[c] = std::max(st_.min_col_w, std::min(word[c], want[c]));
            left = w_ - sum_word;
        }
        std::vector<size_t> open;
        for (size_t c = 0; c < n; ++c)
            if (out[c] < want[c]) open.push_back(c);
        while (left > 0.5f && !open.empty()) {
            const float share = left / static_cast<float>(open.size());
            std::vector<size_t> still;
            for (size_t c : open) {
                const float give = std::min(share, want[c] - out[c]);
                out[c] += give;
                left -= give;
                if (out[c] < want[c]) still.push_back(c);
            }
            open.swap(still);
        }
        for (float& w : out) w = std::floor(w);
        return out;
    }

    const Fonts& f_;
    const ZQ_MD_STYLE& st_;
    float w_;
    ZQ_MD_LAYOUT& out_;
    float code_pad_ = 2;
    float item_gap_ = 3;
    std::vector<float> list_text_x_;  // text start of the latest list at each depth
    std::map<std::pair<ALLEGRO_FONT*, std::string>, float> widths_;
};

// The first band that reaches below `y`, by the running lowest bottom.
size_t first_band_below(const ZQ_MD_LAYOUT& l, float y) {
    return static_cast<size_t>(
        std::partition_point(l.reach.begin(), l.reach.end(), [&](float r) { return r <= y; }) -
        l.reach.begin());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 4. Public functions
// ---------------------------------------------------------------------------------------

ZQ_MD_STYLE zq_md_default_style(ALLEGRO_COLOR text, ALLEGRO_COLOR bg, float line_h) {
    const float lh = line_h < 1 || !std::isfinite(line_h) ? 16.0f : line_h;
    ZQ_MD_STYLE s;
    s.text = text;
    s.heading = text;
    s.code = text;
    s.link = al_map_rgb(120, 170, 245);
    s.quote = scaled(text, 0.8f);
    s.rule = scaled(text, 0.35f);
    const bool dark = (bg.r + bg.g + bg.b) / 3 <= 0.5f;
    s.code_bg = dark ? al_map_rgba_f(0.1f, 0.1f, 0.1f, 0.1f)  // white at 0.1, premultiplied
                     : al_map_rgba_f(0, 0, 0, 0.06f);
    s.line_h = lh;
    s.block_gap = lh * 0.45f;
    s.list_indent = lh * 0.8f;
    s.cell_pad = lh * 0.35f;
    s.min_col_w = lh * 2.5f;
    s.hard_breaks = false;
    s.parse_flags = ZQ_MARKDOWN_FLAGS_VIEW;
    return s;
}

ZQ_MD_LAYOUT zq_md_layout(const zq_markdown_doc& doc, const ZQ_GUI_MD_FONTS& fonts,
                          const ZQ_MD_STYLE& style, float width) {
    ZQ_MD_LAYOUT out;
    Fonts f;
    f.regular = fonts.regular;
    for (ALLEGRO_FONT* alt :
         {fonts.bold, fonts.italic, fonts.bolditalic, fonts.mono, fonts.h1, fonts.h2, fonts.h3})
        if (!f.regular) f.regular = alt;
    if (!f.regular) return out;
    f.bold = fonts.bold ? fonts.bold : f.regular;
    f.italic = fonts.italic ? fonts.italic : f.regular;
    f.bolditalic = fonts.bolditalic ? fonts.bolditalic : fonts.bold ? fonts.bold : f.italic;
    f.mono = fonts.mono ? fonts.mono : f.regular;
    f.h[0] = fonts.h1 ? fonts.h1 : f.bold;
    f.h[1] = fonts.h2 ? fonts.h2 : f.bold;
    f.h[2] = fonts.h3 ? fonts.h3 : f.bold;

    out.width = std::isfinite(width) ? std::clamp(width, 1.0f, 1e6f) : 1.0f;
    try {
        Builder(f, style, out.width, out).run(doc);
    } catch (const std::exception&) {
        // out of memory: an empty layout rather than half of one
        out = ZQ_MD_LAYOUT{};
        out.width = std::isfinite(width) ? std::clamp(width, 1.0f, 1e6f) : 1.0f;
    }
    return out;
}

int zq_md_draw(const ZQ_MD_LAYOUT& l, float x, float y, float clip_top, float clip_bottom,
               int hovered_link) {
    const size_t from = first_band_below(l, clip_top);
    size_t to = from;
    while (to < l.bands.size() && l.bands[to].y < clip_bottom) ++to;
    auto visible = [&](const ZQ_MD_BAND& b) { return b.y + b.h > clip_top; };

    int drawn = 0;
    for (size_t i = from; i < to; ++i) {
        const ZQ_MD_BAND& b = l.bands[i];
        if (!visible(b)) continue;
        ++drawn;
        for (uint32_t k = b.first; k < b.first + b.count; ++k) {
            const ZQ_MD_PRIM& p = l.prims[k];
            if (p.kind == ZQ_MD_PRIM_FILL)
                al_draw_filled_rectangle(x + p.x, y + p.y, x + p.x + p.w, y + p.y + p.h, p.colour);
            else if (p.kind == ZQ_MD_PRIM_ROUNDED)
                al_draw_filled_rounded_rectangle(x + p.x, y + p.y, x + p.x + p.w, y + p.y + p.h,
                                                 p.thickness, p.thickness, p.colour);
        }
    }
    al_hold_bitmap_drawing(true);
    for (size_t i = from; i < to; ++i) {
        const ZQ_MD_BAND& b = l.bands[i];
        if (!visible(b)) continue;
        for (uint32_t k = b.first; k < b.first + b.count; ++k) {
            const ZQ_MD_PRIM& p = l.prims[k];
            if (p.kind == ZQ_MD_PRIM_TEXT && p.font)
                al_draw_text(p.font, p.colour, x + p.x, y + p.y, 0, p.text.c_str());
        }
    }
    al_hold_bitmap_drawing(false);
    for (size_t i = from; i < to; ++i) {
        const ZQ_MD_BAND& b = l.bands[i];
        if (!visible(b)) continue;
        for (uint32_t k = b.first; k < b.first + b.count; ++k) {
            const ZQ_MD_PRIM& p = l.prims[k];
            if (p.kind == ZQ_MD_PRIM_LINE) {
                al_draw_line(x + p.x, y + p.y, x + p.x + p.w, y + p.y + p.h, p.colour, p.thickness);
            } else if (p.kind == ZQ_MD_PRIM_TEXT && p.link >= 0 && p.link == hovered_link &&
                       p.font) {
                const float uy = std::round(p.y + ascent(p.font) + 2) + 0.5f;
                al_draw_line(x + p.x, y + uy, x + p.x + p.w, y + uy, p.colour, 1);
            }
        }
    }
    return drawn;
}

int zq_md_link_index_at(const ZQ_MD_LAYOUT& l, float x, float y) {
    for (size_t i = first_band_below(l, y); i < l.bands.size() && l.bands[i].y <= y; ++i) {
        const ZQ_MD_BAND& b = l.bands[i];
        for (uint32_t k = b.first; k < b.first + b.count; ++k) {
            const ZQ_MD_PRIM& p = l.prims[k];
            if (p.kind == ZQ_MD_PRIM_TEXT && p.link >= 0 && x >= p.x && x < p.x + p.w && y >= p.y &&
                y < p.y + p.h)
                return p.link;
        }
    }
    return -1;
}

std::optional<std::string> zq_md_link_at(const ZQ_MD_LAYOUT& l, float x, float y) {
    const int i = zq_md_link_index_at(l, x, y);
    if (i < 0 || static_cast<size_t>(i) >= l.links.size()) return std::nullopt;
    return l.links[static_cast<size_t>(i)];
}
