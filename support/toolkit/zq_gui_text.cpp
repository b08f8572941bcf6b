// SPDX-License-Identifier: GPL-3.0-or-later
// Text in the toolkit: UTF-8 stepping and cleaning, measuring and drawing parts of
// strings, shortening with an ellipsis, and the editing model of text fields (layout into
// visual lines, caret and selection, keys, clipboard).
//
// Index
//   1. UTF-8
//   2. Measuring, drawing, shortening
//   3. Text field layout and hit testing
//   4. Text field editing and keys
#include <allegro5/allegro.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "zq_gui_internal.h"

// ---------------------------------------------------------------------------------------
// 1. UTF-8
// ---------------------------------------------------------------------------------------

static bool is_cont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

size_t zq_utf8_next(std::string_view s, size_t i) {
    if (i >= s.size()) return s.size();
    ++i;
    while (i < s.size() && is_cont(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

size_t zq_utf8_prev(std::string_view s, size_t i) {
    if (i == 0) return 0;
    i = std::min(i, s.size());
    --i;
    while (i > 0 && is_cont(static_cast<unsigned char>(s[i]))) --i;
    return i;
}

size_t zq_utf8_count(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if (!is_cont(c)) ++n;
    return n;
}

// Length of the valid sequence at s[i], or 0 when it is not one.
static size_t valid_seq(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    const size_t left = s.size() - i;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return left >= 2 && is_cont(b(1)) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !is_cont(b(1)) || !is_cont(b(2))) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogates
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !is_cont(b(1)) || !is_cont(b(2)) || !is_cont(b(3))) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;
        if (c == 0xF4 && b(1) >= 0x90) return 0;
        return 4;
    }
    return 0;
}

std::string zq_utf8_clean(std::string_view s, size_t max_chars) {
    std::string out;
    out.reserve(std::min(s.size(), size_t{1} << 16));
    size_t chars = 0;
    for (size_t i = 0; i < s.size() && chars < max_chars;) {
        const size_t n = valid_seq(s, i);
        if (n == 0) {
            ++i;
            continue;
        }
        // NUL would end the text for C callers; drop it like an invalid byte.
        if (!(n == 1 && s[i] == '\0')) {
            out.append(s.substr(i, n));
            ++chars;
        }
        i += n;
    }
    return out;
}

void zq_utf8_append(std::string& out, int32_t cp) {
    if (cp < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// ---------------------------------------------------------------------------------------
// 2. Measuring, drawing, shortening
// ---------------------------------------------------------------------------------------

float zq_gui_text_w(const ALLEGRO_FONT* font, std::string_view s) {
    if (!font || s.empty()) return 0;
    ALLEGRO_USTR_INFO info;
    const ALLEGRO_USTR* u = al_ref_buffer(&info, s.data(), s.size());
    return static_cast<float>(al_get_ustr_width(font, u));
}

void zq_gui_text_draw(const ALLEGRO_FONT* font, ALLEGRO_COLOR c, float x, float y,
                      std::string_view s) {
    if (!font || s.empty()) return;
    ALLEGRO_USTR_INFO info;
    const ALLEGRO_USTR* u = al_ref_buffer(&info, s.data(), s.size());
    al_draw_ustr(font, c, x, y, 0, u);
}

std::string zq_gui_text_shorten(const ALLEGRO_FONT* font, std::string_view text, float max_w,
                                int mode) {
    std::string clean = zq_utf8_clean(text, SIZE_MAX);
    if (!font || zq_gui_text_w(font, clean) <= max_w) return clean;
    static constexpr std::string_view kDots = "...";
    const float room = max_w - zq_gui_text_w(font, kDots);
    if (room <= 0) return std::string(kDots);
    if (mode == 1) {
        // Keep the end: drop code points from the start.
        size_t start = 0;
        while (start < clean.size() &&
               zq_gui_text_w(font, std::string_view(clean).substr(start)) > room)
            start = zq_utf8_next(clean, start);
        return std::string(kDots) + clean.substr(start);
    }
    // Keep the start: the longest prefix that fits (binary search over code points).
    std::vector<size_t> cuts;
    for (size_t i = 0; i < clean.size(); i = zq_utf8_next(clean, i)) cuts.push_back(i);
    size_t lo = 0, hi = cuts.size();  // cuts[lo] fits (the empty prefix always does)
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        if (zq_gui_text_w(font, std::string_view(clean).substr(0, cuts[mid])) <= room)
            lo = mid;
        else
            hi = mid;
    }
    std::string out = clean.substr(0, cuts[lo]);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + std::string(kDots);
}

char* zq_gui_text_shorten(const ALLEGRO_FONT* font, std::string_view text, float max_w, int mode,
                          char* out, size_t out_len) {
    if (!out || out_len == 0) return out;
    std::string s = zq_gui_text_shorten(font, text, max_w, mode);
    if (s.size() >= out_len) {
        // Too long for the buffer: cut at a code point boundary.
        size_t n = 0;
        while (n < s.size()) {
            const size_t next = zq_utf8_next(s, n);
            if (next > out_len - 1) break;
            n = next;
        }
        s.resize(n);
    }
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return out;
}

// ---------------------------------------------------------------------------------------
// 3. Text field layout and hit testing
// ---------------------------------------------------------------------------------------

float zq_gui_textarea_inner_w(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd) {
    return std::max(1.0f, wd->w - 2 * ctx->style.textarea_padding);
}

// Visual lines: breaks at line feeds (not part of either line) and, in multi-line fields,
// word wrap at the inner width (the blank stays at the end of the upper line).
void zq_gui_textarea_layout(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t) {
    const float width = zq_gui_textarea_inner_w(ctx, wd);
    if (t.lines_w == width && !t.lines.empty()) return;
    t.lines.clear();
    t.lines_w = width;
    const std::string& s = t.text;
    if (!t.multiline) {
        t.lines.push_back({0, s.size()});
        return;
    }
    const ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    size_t para = 0;
    for (;;) {
        size_t nl = s.find('\n', para);
        const size_t para_end = nl == std::string::npos ? s.size() : nl;
        size_t begin = para;
        while (true) {
            if (zq_gui_text_w(font, std::string_view(s).substr(begin, para_end - begin)) <= width) {
                t.lines.push_back({begin, para_end});
                break;
            }
            // Longest prefix that fits, then back to the last blank in it.
            size_t fit = begin, i = begin;
            while (i < para_end) {
                const size_t next = zq_utf8_next(s, i);
                if (zq_gui_text_w(font, std::string_view(s).substr(begin, next - begin)) > width)
                    break;
                fit = i = next;
            }
            if (fit == begin) fit = zq_utf8_next(s, begin);  // one wide character
            size_t brk = fit;
            for (size_t k = fit; k > begin; --k) {
                if (s[k - 1] == ' ') {
                    brk = k;
                    break;
                }
            }
            t.lines.push_back({begin, brk});
            begin = brk;
        }
        if (nl == std::string::npos) break;
        para = nl + 1;
    }
}

size_t zq_gui_textarea_line_of(const ZQ_GUI_TEXT_DATA& t, size_t offset) {
    size_t line = 0;
    for (size_t i = 0; i < t.lines.size(); ++i)
        if (t.lines[i].begin <= offset) line = i;
    return line;
}

// The offset in line `li` nearest to x (relative to the line's start).
static size_t offset_at_x(const ALLEGRO_FONT* font, const std::string& s,
                          const ZQ_GUI_TEXT_LINE& line, float x) {
    size_t best = line.begin;
    float prev_w = 0;
    for (size_t i = line.begin; i < line.end;) {
        const size_t next = zq_utf8_next(s, i);
        const float w =
            zq_gui_text_w(font, std::string_view(s).substr(line.begin, next - line.begin));
        if (x < (prev_w + w) / 2) return i;
        best = next;
        prev_w = w;
        i = next;
    }
    // A wrapped line's end is the next line's start; stay before its trailing blank.
    if (best == line.end && best > line.begin && s[best - 1] == ' ' && best < s.size() &&
        s[best] != '\n')
        best = zq_utf8_prev(s, best);
    return best;
}

static float caret_x(const ALLEGRO_FONT* font, const std::string& s, const ZQ_GUI_TEXT_LINE& line,
                     size_t offset) {
    return zq_gui_text_w(font, std::string_view(s).substr(line.begin, offset - line.begin));
}

size_t zq_gui_textarea_hit(const ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t, float lx,
                           float ly) {
    zq_gui_textarea_layout(ctx, wd, t);
    const ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    const float pad = ctx->style.textarea_padding;
    const float lh = zq_gui_line_h(font);
    size_t li = 0;
    if (t.multiline) {
        const float rel = ly - pad + t.scroll_y;
        li = rel <= 0 ? 0 : static_cast<size_t>(rel / lh);
        li = std::min(li, t.lines.size() - 1);
    }
    return offset_at_x(font, t.text, t.lines[li], lx - pad + (t.multiline ? 0 : t.scroll_x));
}

void zq_gui_textarea_scroll_to_caret(const ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd,
                                     ZQ_GUI_TEXT_DATA& t) {
    if (!wd) return;
    zq_gui_textarea_layout(ctx, wd, t);
    const ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    const float inner_w = zq_gui_textarea_inner_w(ctx, wd);
    const size_t li = zq_gui_textarea_line_of(t, t.caret);
    if (!t.multiline) {
        const float cx = caret_x(font, t.text, t.lines[0], t.caret);
        const float total = zq_gui_text_w(font, t.text);
        if (cx - t.scroll_x > inner_w - 2) t.scroll_x = cx - inner_w + 2;
        if (cx - t.scroll_x < 0) t.scroll_x = std::max(0.0f, cx - inner_w / 4);
        // No empty room at the right while text is hidden at the left.
        t.scroll_x = std::clamp(t.scroll_x, 0.0f, std::max(0.0f, total - inner_w + 2));
        return;
    }
    const float lh = zq_gui_line_h(font);
    const float inner_h = std::max(lh, wd->h - 2 * ctx->style.textarea_padding);
    const float top = lh * static_cast<float>(li);
    if (top < t.scroll_y) t.scroll_y = top;
    if (top + lh > t.scroll_y + inner_h) t.scroll_y = top + lh - inner_h;
    const float max_scroll = std::max(0.0f, lh * static_cast<float>(t.lines.size()) - inner_h);
    t.scroll_y = std::clamp(t.scroll_y, 0.0f, max_scroll);
}

// ---------------------------------------------------------------------------------------
// 4. Text field editing and keys
// ---------------------------------------------------------------------------------------

static bool has_selection(const ZQ_GUI_TEXT_DATA& t) {
    return t.caret != t.anchor;
}

static std::string selected_text(const ZQ_GUI_TEXT_DATA& t) {
    const size_t a = std::min(t.caret, t.anchor), b = std::max(t.caret, t.anchor);
    return t.text.substr(a, b - a);
}

static void delete_selection(ZQ_GUI_TEXT_DATA& t) {
    const size_t a = std::min(t.caret, t.anchor), b = std::max(t.caret, t.anchor);
    t.text.erase(a, b - a);
    t.caret = t.anchor = a;
}

// What a field may hold: valid UTF-8 of printable characters. Tabs become blanks, other
// control characters go, CR LF and CR become line feeds, and line feeds become blanks in a
// one-line field.
std::string zq_gui_textarea_filter(std::string_view in, bool multiline) {
    const std::string s = zq_utf8_clean(in, SIZE_MAX);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r') {
            if (i + 1 < s.size() && s[i + 1] == '\n') continue;
            out += multiline ? '\n' : ' ';
        } else if (c == '\n') {
            out += multiline ? '\n' : ' ';
        } else if (c == '\t') {
            out += ' ';
        } else if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Inserts text at the caret (replacing the selection), cut to the character limit.
// Returns whether anything changed.
static bool insert_text(ZQ_GUI_TEXT_DATA& t, std::string_view in) {
    const std::string filtered = zq_gui_textarea_filter(in, t.multiline);
    const bool had_sel = has_selection(t);
    if (had_sel) delete_selection(t);
    const size_t have = zq_utf8_count(t.text);
    const size_t limit = static_cast<size_t>(std::max(0, t.limit));
    const size_t room = have >= limit ? 0 : limit - have;
    std::string cut = zq_utf8_clean(filtered, room);
    if (cut.empty()) return had_sel;
    t.text.insert(t.caret, cut);
    t.caret += cut.size();
    t.anchor = t.caret;
    return true;
}

static bool is_word(unsigned char c) {
    return c >= 0x80 || std::isalnum(c) || c == '_';
}

static size_t word_left(const std::string& s, size_t i) {
    while (i > 0 && !is_word(static_cast<unsigned char>(s[i - 1]))) i = zq_utf8_prev(s, i);
    while (i > 0 && is_word(static_cast<unsigned char>(s[i - 1]))) i = zq_utf8_prev(s, i);
    return i;
}

static size_t word_right(const std::string& s, size_t i) {
    while (i < s.size() && !is_word(static_cast<unsigned char>(s[i]))) i = zq_utf8_next(s, i);
    while (i < s.size() && is_word(static_cast<unsigned char>(s[i]))) i = zq_utf8_next(s, i);
    return i;
}

// As X programs do, selected text becomes the primary selection (middle-click pastes it).
void zq_gui_textarea_publish_selection(const ZQ_GUI_TEXT_DATA& t) {
    if (has_selection(t)) zq_clipboard_set(ZQ_CLIPBOARD_PRIMARY, selected_text(t));
}

void zq_gui_textarea_paste(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t, int which) {
    const std::string clip = zq_clipboard_get(which);
    if (clip.empty() || !insert_text(t, clip)) return;
    t.lines_w = -1;
    t.goal_x = -1;
    zq_gui_textarea_scroll_to_caret(ctx, wd, t);
    ctx->caret_epoch = al_get_time();
    ctx->dirty = true;
    if (t.on_change) t.on_change(wd->id, t.text.c_str(), t.user);
}

bool zq_gui_textarea_key(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t,
                         const ALLEGRO_KEYBOARD_EVENT& k) {
    zq_gui_textarea_layout(ctx, wd, t);
    const bool shift = k.modifiers & ALLEGRO_KEYMOD_SHIFT;
    const bool ctrl = k.modifiers & (ALLEGRO_KEYMOD_CTRL | ALLEGRO_KEYMOD_COMMAND);
    const ALLEGRO_FONT* font = zq_gui_font_of(ctx, wd);
    bool edited = false, moved = false, used = true;
    bool keep_goal = false;

    // Moves the caret; Shift keeps the anchor (extends the selection).
    const auto move_to = [&](size_t pos) {
        t.caret = pos;
        if (!shift) t.anchor = pos;
        moved = true;
    };

    switch (k.keycode) {
        case ALLEGRO_KEY_LEFT:
            if (has_selection(t) && !shift)
                move_to(std::min(t.caret, t.anchor));
            else
                move_to(ctrl ? word_left(t.text, t.caret) : zq_utf8_prev(t.text, t.caret));
            break;
        case ALLEGRO_KEY_RIGHT:
            if (has_selection(t) && !shift)
                move_to(std::max(t.caret, t.anchor));
            else
                move_to(ctrl ? word_right(t.text, t.caret) : zq_utf8_next(t.text, t.caret));
            break;
        case ALLEGRO_KEY_UP:
        case ALLEGRO_KEY_DOWN: {
            if (!t.multiline) {
                used = false;
                break;
            }
            const size_t li = zq_gui_textarea_line_of(t, t.caret);
            if (t.goal_x < 0) t.goal_x = caret_x(font, t.text, t.lines[li], t.caret);
            const bool up = k.keycode == ALLEGRO_KEY_UP;
            if (up && li == 0)
                move_to(0);
            else if (!up && li + 1 >= t.lines.size())
                move_to(t.text.size());
            else
                move_to(offset_at_x(font, t.text, t.lines[up ? li - 1 : li + 1], t.goal_x));
            keep_goal = true;
            break;
        }
        case ALLEGRO_KEY_HOME:
            move_to(ctrl || !t.multiline ? 0 : t.lines[zq_gui_textarea_line_of(t, t.caret)].begin);
            break;
        case ALLEGRO_KEY_END: {
            if (ctrl || !t.multiline) {
                move_to(t.text.size());
                break;
            }
            const ZQ_GUI_TEXT_LINE& line = t.lines[zq_gui_textarea_line_of(t, t.caret)];
            size_t end = line.end;
            // On a wrapped line, stop before the blank the line was broken at.
            if (end > line.begin && end < t.text.size() && t.text[end] != '\n' &&
                t.text[end - 1] == ' ')
                end = zq_utf8_prev(t.text, end);
            move_to(end);
            break;
        }
        case ALLEGRO_KEY_BACKSPACE:
            if (has_selection(t)) {
                delete_selection(t);
                edited = true;
            } else if (t.caret > 0) {
                const size_t from =
                    ctrl ? word_left(t.text, t.caret) : zq_utf8_prev(t.text, t.caret);
                t.text.erase(from, t.caret - from);
                t.caret = t.anchor = from;
                edited = true;
            }
            break;
        case ALLEGRO_KEY_DELETE:
            if (has_selection(t)) {
                delete_selection(t);
                edited = true;
            } else if (t.caret < t.text.size()) {
                const size_t to =
                    ctrl ? word_right(t.text, t.caret) : zq_utf8_next(t.text, t.caret);
                t.text.erase(t.caret, to - t.caret);
                edited = true;
            }
            break;
        case ALLEGRO_KEY_ENTER:
        case ALLEGRO_KEY_PAD_ENTER:
            // A single-line field never takes a line break; the key is left to the screen.
            if (!t.multiline) return false;
            edited = insert_text(t, "\n");
            break;
        case ALLEGRO_KEY_A:
        case ALLEGRO_KEY_C:
        case ALLEGRO_KEY_X:
        case ALLEGRO_KEY_V:
            if (!ctrl) {
                used = false;
                break;
            }
            if (k.keycode == ALLEGRO_KEY_A) {
                t.anchor = 0;
                t.caret = t.text.size();
                moved = true;
            } else if (k.keycode == ALLEGRO_KEY_C || k.keycode == ALLEGRO_KEY_X) {
                if (has_selection(t)) {
                    zq_clipboard_set(ZQ_CLIPBOARD_CLIPBOARD, selected_text(t));
                    if (k.keycode == ALLEGRO_KEY_X) {
                        delete_selection(t);
                        edited = true;
                    }
                }
            } else {
                zq_gui_textarea_paste(ctx, wd, t, ZQ_CLIPBOARD_CLIPBOARD);
                return true;
            }
            break;
        default:
            used = false;
            break;
    }

    if (!used && !ctrl && k.unichar >= 0x20 && k.unichar != 0x7F) {
        std::string ch;
        zq_utf8_append(ch, k.unichar);
        edited = insert_text(t, ch);
        used = true;  // a character at the limit is still the field's key
    }
    if (!used) return false;
    if (!keep_goal) t.goal_x = -1;
    if (edited) {
        t.lines_w = -1;
        zq_gui_textarea_layout(ctx, wd, t);
    }
    if (moved && (shift || k.keycode == ALLEGRO_KEY_A)) zq_gui_textarea_publish_selection(t);
    if (edited || moved) {
        zq_gui_textarea_scroll_to_caret(ctx, wd, t);
        ctx->caret_epoch = al_get_time();
        ctx->dirty = true;
    }
    if (edited && t.on_change) t.on_change(wd->id, t.text.c_str(), t.user);
    return true;
}
