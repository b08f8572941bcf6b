// SPDX-License-Identifier: GPL-3.0-or-later
// The markdown dialect: lines into blocks, block text into styled spans.
//
// Index
//   1. Character classes
//   2. Inline text: atoms (escapes, code spans, links, images, automatic links), delimiter
//      runs (emphasis, strike-through) and the span list
//   3. Blocks: lines, what starts a block, one parser per block kind
//   4. Public functions
//
// Time stays near linear on hostile text (thousands of '*', '[' or '`'): every forward search
// either consumes what it found or remembers that there is nothing to find, so no position
// is searched from again and again.
#include "zq_markdown.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace {

constexpr size_t npos = std::string_view::npos;

// ---------------------------------------------------------------------------------------
// 1. Character classes
// ---------------------------------------------------------------------------------------

bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Letters, digits and every byte of a multi-byte UTF-8 character.
bool is_word(char c) {
    return is_alpha(c) || is_digit(c) || static_cast<unsigned char>(c) >= 0x80;
}
bool is_punct(char c) {
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
           (c >= '{' && c <= '~');
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != prefix[i]) return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_ws(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ws(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view trim_end(std::string_view s) {
    while (!s.empty() && is_ws(s.back())) s.remove_suffix(1);
    return s;
}

// Length of "http://" or "https://" at the start of `s` (any case), else 0.
size_t web_scheme(std::string_view s) {
    if (starts_with_ci(s, "http://")) return 7;
    if (starts_with_ci(s, "https://")) return 8;
    return 0;
}

// Whether a link target may become a link: web addresses always; with relative targets
// allowed also paths and fragments that cannot name another scheme, and mail addresses.
bool target_allowed(std::string_view t, unsigned flags) {
    if (web_scheme(t)) return true;
    if (!(flags & ZQ_MARKDOWN_FLAG_RELATIVE_LINKS)) return false;
    for (char c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return false;
    if (starts_with_ci(t, "mailto:")) return true;
    if (t.substr(0, 2) == "//") return false;
    const size_t stop = t.find_first_of("/?#");
    const size_t colon = t.find(':');
    return colon == npos || (stop != npos && colon > stop);
}

// ---------------------------------------------------------------------------------------
// 2. Inline text
// ---------------------------------------------------------------------------------------

// Where the next byte of a class lies at or after a position. Searches from positions that
// fall inside the stretch already searched are answered without looking again.
class NextOf {
  public:
    explicit NextOf(bool (*match)(char)) : match_(match) {}
    size_t find(std::string_view s, size_t p) {
        if (from_ != npos && from_ <= p && p <= at_) return at_;
        size_t q = p;
        while (q < s.size() && !match_(s[q])) ++q;
        from_ = p;
        at_ = q;
        return q;
    }

  private:
    bool (*match_)(char);
    size_t from_ = npos;
    size_t at_ = npos;
};

class InlineParser {
  public:
    InlineParser(std::string_view s, unsigned flags) : s_(s), flags_(flags) {}

    zq_markdown_inline run() {
        parse(0, s_.size(), 0, 0);
        return zq_markdown_inline{std::move(spans_)};
    }

  private:
    // Something the scan takes whole: its text, and its target for links.
    struct Atom {
        enum Kind { kNone, kLiteral, kCode, kLink, kImage } kind = kNone;
        size_t end = 0;  // first position after it
        std::string_view text;
        std::string_view url;
    };

    // The closers looked for in one stretch of text, and from where the search for each
    // came back empty (no later search of the same kind in that stretch can succeed).
    enum Closer { kStar1, kStar2, kUnder1, kUnder2, kTilde2, kClosers };
    struct Frame {
        size_t failed_from[kClosers] = {npos, npos, npos, npos, npos};
    };

    bool has(unsigned f) const { return (flags_ & f) != 0; }

    // -- spans ---------------------------------------------------------------------------

    static bool mergeable(const zq_markdown_span& sp) {
        return !sp.url && !(sp.style & (ZQ_MARKDOWN_STYLE_CODE | ZQ_MARKDOWN_STYLE_LINK |
                                        ZQ_MARKDOWN_STYLE_IMAGE));
    }

    // Plain text joins the last span when that is plain text of the same style. At the span
    // limit the last span is plain and takes all the rest of the text.
    void add(std::string_view text, unsigned style, std::optional<std::string_view> url = {}) {
        if (text.empty()) return;
        if (full_) {
            spans_.back().text.append(text);
            return;
        }
        const bool plain =
            !url &&
            !(style & (ZQ_MARKDOWN_STYLE_CODE | ZQ_MARKDOWN_STYLE_LINK | ZQ_MARKDOWN_STYLE_IMAGE));
        if (plain && !spans_.empty() && spans_.back().style == style && mergeable(spans_.back())) {
            spans_.back().text.append(text);
            return;
        }
        if (spans_.size() + 1 >= ZQ_MARKDOWN_MAX_SPANS) {
            spans_.push_back(zq_markdown_span{std::string(text), std::nullopt, 0});
            full_ = true;
            return;
        }
        zq_markdown_span sp;
        sp.text = std::string(text);
        if (url) sp.url = std::string(*url);
        sp.style = style;
        spans_.push_back(std::move(sp));
    }

    // -- atoms ---------------------------------------------------------------------------

    // "[text](target)" at p within [p, b): fills the text and target and returns the end,
    // or npos.
    size_t link_form(size_t p, size_t b, std::string_view* text, std::string_view* url) {
        if (p >= b || s_[p] != '[') return npos;
        const size_t q = close_bracket_.find(s_, p + 1);
        if (q + 1 >= b || s_[q + 1] != '(') return npos;
        const size_t t = target_end_.find(s_, q + 2);
        if (t >= b || s_[t] != ')' || t == q + 2) return npos;
        const std::string_view target = s_.substr(q + 2, t - q - 2);
        if (!target_allowed(target, flags_)) return npos;
        *url = target;
        *text = s_.substr(p + 1, q - p - 1);
        if (text->empty()) *text = target;  // an empty link text would be nothing to click
        return t + 1;
    }

    // A bare web address starting at p: it runs to white space or one of "<>`; then
    // trailing punctuation is dropped, and a closing parenthesis that has no partner.
    size_t bare_url(size_t p, size_t b) {
        const size_t scheme = web_scheme(s_.substr(p, b - p));
        if (!scheme) return npos;
        if (p > 0 && is_word(s_[p - 1])) return npos;
        size_t e = p;
        size_t opens = 0, closes = 0;
        while (e < b) {
            const char c = s_[e];
            if (is_ws(c) || c == '"' || c == '<' || c == '>' || c == '`') break;
            opens += c == '(';
            closes += c == ')';
            ++e;
        }
        for (;;) {
            if (e == p) break;
            const char c = s_[e - 1];
            if (std::string_view("!\"'*,.:;?_~").find(c) != npos) {
                --e;
            } else if (c == ')' && closes > opens) {
                --e;
                --closes;
            } else {
                break;
            }
        }
        return e > p + scheme ? e : npos;
    }

    Atom atom_at(size_t p, size_t b) {
        Atom a;
        const char c = s_[p];
        if (c == '\\') {
            if (has(ZQ_MARKDOWN_FLAG_ESCAPES) && p + 1 < b && is_punct(s_[p + 1])) {
                a.kind = Atom::kLiteral;
                a.text = s_.substr(p + 1, 1);
                a.end = p + 2;
            }
        } else if (c == '`') {
            const size_t q = backquote_.find(s_, p + 1);
            if (q < b) {
                // an empty pair stays literal, both backquotes together
                a.kind = q == p + 1 ? Atom::kLiteral : Atom::kCode;
                a.text = q == p + 1 ? s_.substr(p, 2) : s_.substr(p + 1, q - p - 1);
                a.end = q + 1;
            }
        } else if (c == '!') {
            if (has(ZQ_MARKDOWN_FLAG_IMAGES)) {
                const size_t e = link_form(p + 1, b, &a.text, &a.url);
                if (e != npos) {
                    a.kind = Atom::kImage;
                    a.end = e;
                }
            }
        } else if (c == '[') {
            const size_t e = link_form(p, b, &a.text, &a.url);
            if (e != npos) {
                a.kind = Atom::kLink;
                a.end = e;
            }
        } else if (c == '<') {
            if (has(ZQ_MARKDOWN_FLAG_AUTOLINKS)) {
                const size_t scheme = web_scheme(s_.substr(p + 1, b - p - 1));
                if (scheme) {
                    const size_t t = angle_end_.find(s_, p + 1);
                    if (t < b && s_[t] == '>' && t - p - 1 > scheme) {
                        a.kind = Atom::kLink;
                        a.text = a.url = s_.substr(p + 1, t - p - 1);
                        a.end = t + 1;
                    }
                }
            }
        } else if (c == 'h' || c == 'H') {
            if (has(ZQ_MARKDOWN_FLAG_AUTOLINKS)) {
                const size_t e = bare_url(p, b);
                if (e != npos) {
                    a.kind = Atom::kLink;
                    a.text = a.url = s_.substr(p, e - p);
                    a.end = e;
                }
            }
        }
        return a;
    }

    void emit(const Atom& a, unsigned style) {
        switch (a.kind) {
            case Atom::kNone:
                break;
            case Atom::kLiteral:
                add(a.text, style);
                break;
            case Atom::kCode:
                add(a.text, style | ZQ_MARKDOWN_STYLE_CODE);
                break;
            case Atom::kLink:
                add(a.text, style | ZQ_MARKDOWN_STYLE_LINK, a.url);
                break;
            case Atom::kImage:
                add(a.text, style | ZQ_MARKDOWN_STYLE_IMAGE, a.url);
                break;
        }
    }

    // Bytes that may start something other than plain text.
    bool special(char c) const {
        switch (c) {
            case '\\':
            case '`':
            case '!':
            case '[':
            case '<':
            case 'h':
            case 'H':
            case '~':
            case '*':
            case '_':
                return true;
            default:
                return false;
        }
    }

    // -- delimiter runs ------------------------------------------------------------------

    // An underscore run closes only when what follows it is not part of a word.
    bool under_closes(size_t run_end, size_t b) const {
        return run_end >= b || !is_word(s_[run_end]);
    }

    // The closing delimiter of `n` (1 or 2) bytes `c` for an opener whose run ends at
    // `from`, within [from, b): runs of two or more close a double opener (with their last
    // two bytes), runs of one or of three and more a single one (with their last byte).
    // Escapes, code spans, links and automatic links are stepped over whole.
    size_t find_closer(char c, int n, size_t from, size_t b, Frame& f) {
        const Closer kind = c == '*'   ? (n == 2 ? kStar2 : kStar1)
                            : c == '_' ? (n == 2 ? kUnder2 : kUnder1)
                                       : kTilde2;
        if (f.failed_from[kind] != npos && from >= f.failed_from[kind]) return npos;
        size_t p = from;
        while (p < b) {
            if (s_[p] == c) {
                size_t e = p;
                while (e < b && s_[e] == c) ++e;
                const size_t len = e - p;
                bool ok = n == 2 ? len >= 2 : (len == 1 || len >= 3);
                if (ok && c == '_') ok = under_closes(e, b);
                if (ok) return e - static_cast<size_t>(n);
                p = e;
                continue;
            }
            if (special(s_[p])) {
                const Atom a = atom_at(p, b);
                if (a.kind != Atom::kNone) {
                    p = a.end;
                    continue;
                }
            }
            ++p;
        }
        f.failed_from[kind] = from;
        return npos;
    }

    // A run of '*', '_' or '~' starting at i: each position of the run in turn tries to
    // open (double when two or more remain, else single); what does not open is literal.
    size_t delimiter_run(size_t i, size_t b, unsigned style, int depth, Frame& f) {
        const char c = s_[i];
        size_t r = i;
        while (r < b && s_[r] == c) ++r;
        const bool can_open = c != '_' || i == 0 || !is_word(s_[i - 1]);
        while (i < r) {
            const size_t left = r - i;
            if (can_open && left >= 2) {
                const size_t q = find_closer(c, 2, r, b, f);
                if (q != npos) {
                    const unsigned bit =
                        c == '~' ? ZQ_MARKDOWN_STYLE_STRIKE : ZQ_MARKDOWN_STYLE_BOLD;
                    parse(i + 2, q, style | bit, depth + 1);
                    return q + 2;
                }
            } else if (can_open && c != '~') {
                const size_t q = find_closer(c, 1, r, b, f);
                if (q != npos) {
                    parse(i + 1, q, style | ZQ_MARKDOWN_STYLE_ITALIC, depth + 1);
                    return q + 1;
                }
            }
            add(s_.substr(i, 1), style);
            ++i;
        }
        return r;
    }

    // Parses [a, b) with `style`, `depth` levels of emphasis deep.
    void parse(size_t a, size_t b, unsigned style, int depth) {
        Frame f;
        const bool delimiters = depth < ZQ_MARKDOWN_MAX_NESTING;
        size_t i = a;
        while (i < b) {
            const char c = s_[i];
            if (!special(c)) {
                size_t j = i + 1;
                while (j < b && !special(s_[j])) ++j;
                add(s_.substr(i, j - i), style);
                i = j;
                continue;
            }
            const Atom at = atom_at(i, b);
            if (at.kind != Atom::kNone) {
                emit(at, style);
                i = at.end;
                continue;
            }
            if (delimiters && (c == '*' || c == '_' ||
                               (c == '~' && has(ZQ_MARKDOWN_FLAG_STRIKETHROUGH) && i + 1 < b &&
                                s_[i + 1] == '~'))) {
                i = delimiter_run(i, b, style, depth, f);
                continue;
            }
            add(s_.substr(i, 1), style);
            ++i;
        }
    }

    std::string_view s_;
    unsigned flags_;
    std::vector<zq_markdown_span> spans_;
    bool full_ = false;
    NextOf backquote_{[](char c) { return c == '`'; }};
    NextOf close_bracket_{[](char c) { return c == ']'; }};
    NextOf target_end_{[](char c) { return c == ')' || is_ws(c); }};
    NextOf angle_end_{[](char c) { return c == '>' || c == '<' || is_ws(c); }};
};

zq_markdown_inline parse_inline(std::string_view text, unsigned flags) {
    return InlineParser(text, flags).run();
}

// ---------------------------------------------------------------------------------------
// 3. Blocks
// ---------------------------------------------------------------------------------------

struct Line {
    std::string_view raw;   // the line as written (line ends removed)
    std::string_view text;  // without its leading blanks when indentation counts
    size_t indent = 0;      // columns of those blanks; a tab goes to the next multiple of 4
    bool blank = false;
};

// What a line starts, in the order the rules are tried.
enum class Starts { kNothing, kHeading, kTable, kRule, kQuote, kFence, kList };

struct ListItem {
    zq_markdown_block_kind kind = ZQ_MARKDOWN_UL;
    size_t content = 0;  // where the item's text begins in the line's text
    int number = 0;
};

// Cells of a table line: one leading and one trailing '|' dropped, split at '|', trimmed.
std::vector<std::string_view> split_cells(std::string_view line) {
    std::string_view t = trim(line);
    if (!t.empty() && t.front() == '|') t.remove_prefix(1);
    if (!t.empty() && t.back() == '|') t.remove_suffix(1);
    std::vector<std::string_view> cells;
    for (;;) {
        const size_t bar = t.find('|');
        cells.push_back(trim(t.substr(0, bar)));
        if (bar == npos) break;
        t.remove_prefix(bar + 1);
    }
    return cells;
}

// A rule cell: dashes, optionally with a ':' at either end.
bool rule_cell(std::string_view c) {
    if (!c.empty() && c.front() == ':') c.remove_prefix(1);
    if (!c.empty() && c.back() == ':') c.remove_suffix(1);
    return !c.empty() && c.find_first_not_of('-') == npos;
}

class BlockParser {
  public:
    BlockParser(std::string_view text, unsigned flags) : flags_(flags) {
        // carriage returns and CR LF pairs become line feeds
        buf_.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r') {
                buf_.push_back('\n');
                if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            } else {
                buf_.push_back(text[i]);
            }
        }
        std::string_view rest(buf_);
        while (!rest.empty()) {
            const size_t nl = rest.find('\n');
            lines_.push_back(make_line(rest.substr(0, nl)));
            if (nl == npos) break;
            rest.remove_prefix(nl + 1);
        }
    }

    // Appends the blocks to `doc`; should anything throw, the blocks finished so far stay.
    void run(zq_markdown_doc& doc) {
        size_t i = 0;
        while (i < lines_.size() && doc.blocks.size() < ZQ_MARKDOWN_MAX_BLOCKS) {
            if (lines_[i].blank) {
                ++i;
                continue;
            }
            const bool last = doc.blocks.size() + 1 == ZQ_MARKDOWN_MAX_BLOCKS;
            size_t next = parse_block(i, doc);
            if (last) {
                while (next < lines_.size() && lines_[next].blank) ++next;
                if (next < lines_.size()) doc.blocks.back() = rest_as_paragraph(i);
                break;
            }
            const zq_markdown_block_kind k = doc.blocks.back().kind;
            if (k != ZQ_MARKDOWN_UL && k != ZQ_MARKDOWN_OL) list_indents_.clear();
            i = next;
        }
    }

  private:
    bool has(unsigned f) const { return (flags_ & f) != 0; }

    Line make_line(std::string_view raw) const {
        Line l;
        l.raw = raw;
        l.text = raw;
        l.blank = trim(raw).empty();
        if (has(ZQ_MARKDOWN_FLAG_INDENTED_LISTS)) {
            size_t k = 0;
            while (k < raw.size() && is_blank(raw[k])) {
                l.indent = raw[k] == '\t' ? (l.indent / 4 + 1) * 4 : l.indent + 1;
                ++k;
            }
            l.text = raw.substr(k);
        }
        return l;
    }

    // -- what a line starts --------------------------------------------------------------

    int heading_level(const Line& l) const {
        if (!has(ZQ_MARKDOWN_FLAG_HEADINGS)) return 0;
        size_t n = 0;
        while (n < l.text.size() && n < 7 && l.text[n] == '#') ++n;
        if (n < 1 || n > 6 || n >= l.text.size() || !is_blank(l.text[n])) return 0;
        return static_cast<int>(n);
    }

    bool table_at(size_t i) const {
        if (!has(ZQ_MARKDOWN_FLAG_TABLES) || i + 1 >= lines_.size()) return false;
        if (lines_[i].text.find('|') == npos || lines_[i + 1].blank) return false;
        const std::vector<std::string_view> cells = split_cells(lines_[i + 1].text);
        return std::all_of(cells.begin(), cells.end(), rule_cell);
    }

    bool rule_at(const Line& l) const {
        if (!has(ZQ_MARKDOWN_FLAG_RULES)) return false;
        std::string_view t = l.raw;
        while (!t.empty() && is_blank(t.front())) t.remove_prefix(1);
        if (t.empty() || (t[0] != '*' && t[0] != '-' && t[0] != '_')) return false;
        const char c = t[0];
        int n = 0;
        for (char ch : t) {
            if (ch == c) {
                ++n;
            } else if (!is_ws(ch)) {
                return false;
            }
        }
        return n >= 3;
    }

    static bool fence_at(const Line& l, char* ch, size_t* n) {
        const std::string_view t = l.text;
        if (t.empty() || (t[0] != '`' && t[0] != '~')) return false;
        size_t k = 0;
        while (k < t.size() && t[k] == t[0]) ++k;
        if (k < 3) return false;
        *ch = t[0];
        *n = k;
        return true;
    }

    static bool list_item_at(const Line& l, ListItem* it) {
        const std::string_view t = l.text;
        if (t.size() >= 2 && (t[0] == '-' || t[0] == '*') && is_blank(t[1])) {
            it->kind = ZQ_MARKDOWN_UL;
            it->content = 2;
            it->number = 0;
            return true;
        }
        size_t k = 0;
        long long v = 0;
        while (k < t.size() && is_digit(t[k])) {
            v = std::min<long long>(v * 10 + (t[k] - '0'), 999999999);
            ++k;
        }
        if (k == 0 || k + 1 >= t.size() || t[k] != '.' || !is_blank(t[k + 1])) return false;
        it->kind = ZQ_MARKDOWN_OL;
        it->content = k + 2;
        it->number = static_cast<int>(v);
        return true;
    }

    Starts starts_at(size_t i) const {
        const Line& l = lines_[i];
        char ch;
        size_t n;
        ListItem it;
        if (heading_level(l)) return Starts::kHeading;
        if (table_at(i)) return Starts::kTable;
        if (rule_at(l)) return Starts::kRule;
        if (!l.text.empty() && l.text[0] == '>') return Starts::kQuote;
        if (fence_at(l, &ch, &n)) return Starts::kFence;
        if (list_item_at(l, &it)) return Starts::kList;
        return Starts::kNothing;
    }

    // -- block parsers -------------------------------------------------------------------

    // Parses the block starting at line i (not blank) into `doc`; returns the next line.
    size_t parse_block(size_t i, zq_markdown_doc& doc) {
        zq_markdown_block b;
        size_t next = i + 1;
        switch (starts_at(i)) {
            case Starts::kHeading: {
                const int lv = heading_level(lines_[i]);
                b.kind = ZQ_MARKDOWN_HEADING;
                b.level = lv;
                b.inl = parse_inline(trim(lines_[i].text.substr(static_cast<size_t>(lv))), flags_);
                break;
            }
            case Starts::kTable:
                next = parse_table(i, b);
                break;
            case Starts::kRule:
                b.kind = ZQ_MARKDOWN_HR;
                break;
            case Starts::kQuote:
                next = parse_quote(i, b);
                break;
            case Starts::kFence:
                next = parse_code(i, b);
                break;
            case Starts::kList:
                next = parse_list(i, b);
                break;
            case Starts::kNothing:
                next = parse_paragraph(i, b);
                break;
        }
        doc.blocks.push_back(std::move(b));
        return next;
    }

    size_t parse_table(size_t i, zq_markdown_block& b) const {
        b.kind = ZQ_MARKDOWN_TABLE;
        const std::vector<std::string_view> head = split_cells(lines_[i].text);
        const std::vector<std::string_view> rule = split_cells(lines_[i + 1].text);
        const size_t cols = std::min(head.size(), ZQ_MARKDOWN_MAX_COLS);
        b.n_cols = static_cast<int>(cols);
        b.align.assign(cols, 0);
        for (size_t c = 0; c < cols && c < rule.size(); ++c) {
            const bool left = rule[c].front() == ':';
            const bool right = rule[c].size() > 1 && rule[c].back() == ':';
            b.align[c] = left && right ? 1 : right ? 2 : 0;
        }
        auto add_row = [&](const std::vector<std::string_view>& cells) {
            for (size_t c = 0; c < cols; ++c)
                b.items.push_back(c < cells.size() ? parse_inline(cells[c], flags_)
                                                   : zq_markdown_inline{});
        };
        add_row(head);
        size_t j = i + 2;
        while (j < lines_.size() && !lines_[j].blank && lines_[j].text.find('|') != npos &&
               starts_at(j) == Starts::kNothing && b.items.size() + cols <= ZQ_MARKDOWN_MAX_ITEMS) {
            add_row(split_cells(lines_[j].text));
            ++j;
        }
        return j;
    }

    size_t parse_quote(size_t i, zq_markdown_block& b) const {
        b.kind = ZQ_MARKDOWN_QUOTE;
        std::string text;
        size_t j = i;
        for (; j < lines_.size() && !lines_[j].text.empty() && lines_[j].text[0] == '>'; ++j) {
            std::string_view t = lines_[j].text.substr(1);
            if (!t.empty() && is_blank(t[0])) t.remove_prefix(1);
            if (j > i) text.push_back('\n');
            text.append(trim_end(t));
        }
        b.inl = parse_inline(text, flags_);
        return j;
    }

    size_t parse_code(size_t i, zq_markdown_block& b) const {
        b.kind = ZQ_MARKDOWN_CODE_BLOCK;
        char ch = 0;
        size_t n = 0;
        fence_at(lines_[i], &ch, &n);
        const size_t strip = lines_[i].indent;
        size_t j = i + 1;
        bool first = true;
        for (; j < lines_.size(); ++j) {
            const std::string_view t = lines_[j].text;
            size_t k = 0;
            while (k < t.size() && t[k] == ch) ++k;
            if (k >= n) {
                ++j;
                break;
            }
            if (!first) b.code.push_back('\n');
            first = false;
            // the fence's own indentation comes off the content lines
            const std::string_view raw = lines_[j].raw;
            size_t col = 0, p = 0;
            while (p < raw.size() && col < strip && is_blank(raw[p])) {
                col = raw[p] == '\t' ? (col / 4 + 1) * 4 : col + 1;
                ++p;
            }
            if (col > strip) b.code.append(col - strip, ' ');  // a tab reaching past it
            b.code.append(raw.substr(p));
        }
        return j;
    }

    // The depth of a list item indented by `indent` columns, and the indentation of the
    // list it belongs to; updates the stack of open list indentations.
    int list_level(size_t indent, size_t* key) {
        while (!list_indents_.empty() && list_indents_.back() > indent) list_indents_.pop_back();
        if ((list_indents_.empty() || list_indents_.back() < indent) &&
            list_indents_.size() < static_cast<size_t>(ZQ_MARKDOWN_MAX_LIST_DEPTH))
            list_indents_.push_back(indent);
        *key = list_indents_.back();
        return static_cast<int>(list_indents_.size()) - 1;
    }

    size_t parse_list(size_t i, zq_markdown_block& b) {
        const bool nesting = has(ZQ_MARKDOWN_FLAG_INDENTED_LISTS);
        ListItem it;
        list_item_at(lines_[i], &it);
        size_t key = 0;
        b.kind = it.kind;
        b.depth = nesting ? list_level(lines_[i].indent, &key) : 0;
        b.start = it.kind == ZQ_MARKDOWN_OL ? it.number : 0;
        size_t j = i;
        for (;;) {
            const Line& l = lines_[j];
            list_item_at(l, &it);
            std::string text(trim(l.text.substr(it.content)));
            size_t k = j + 1;
            for (; k < lines_.size(); ++k) {
                const Line& m = lines_[k];
                if (m.blank || starts_at(k) != Starts::kNothing) break;
                if (nesting ? m.indent <= l.indent : !is_blank(m.raw[0])) break;
                text.push_back('\n');
                text.append(trim(m.text));
            }
            b.items.push_back(parse_inline(text, flags_));
            j = k;
            if (b.items.size() >= ZQ_MARKDOWN_MAX_ITEMS || j >= lines_.size()) break;
            if (lines_[j].blank || starts_at(j) != Starts::kList) break;
            list_item_at(lines_[j], &it);
            if (it.kind != b.kind) break;
            if (nesting) {
                size_t key2 = 0;
                if (list_level(lines_[j].indent, &key2) != b.depth || key2 != key) break;
            }
        }
        return j;
    }

    size_t parse_paragraph(size_t i, zq_markdown_block& b) const {
        b.kind = ZQ_MARKDOWN_PARA;
        std::string text(trim(lines_[i].text));
        size_t j = i + 1;
        for (; j < lines_.size() && !lines_[j].blank && starts_at(j) == Starts::kNothing; ++j) {
            text.push_back('\n');
            text.append(trim(lines_[j].text));
        }
        b.inl = parse_inline(text, flags_);
        return j;
    }

    // Past the block limit: the lines from i on as one plain paragraph.
    zq_markdown_block rest_as_paragraph(size_t i) const {
        zq_markdown_block b;
        std::string text;
        for (size_t j = i; j < lines_.size(); ++j) {
            if (j > i) text.push_back('\n');
            text.append(lines_[j].raw);
        }
        const size_t keep = trim_end(text).size();
        text.resize(keep);
        b.inl.spans.push_back(zq_markdown_span{std::move(text), std::nullopt, 0});
        return b;
    }

    unsigned flags_;
    std::string buf_;
    std::vector<Line> lines_;
    std::vector<size_t> list_indents_;  // open lists, outermost first
};

void inline_plain(const zq_markdown_inline& in, std::string& out) {
    for (const zq_markdown_span& sp : in.spans) out.append(sp.text);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 4. Public functions
// ---------------------------------------------------------------------------------------

zq_markdown_doc zq_markdown_parse_ex(std::string_view text, unsigned flags) noexcept {
    zq_markdown_doc doc;
    try {
        BlockParser(text, flags).run(doc);
    } catch (const std::exception&) {
        // out of memory: keep the blocks finished so far
    }
    return doc;
}

zq_markdown_doc zq_markdown_parse(std::string_view text) noexcept {
    return zq_markdown_parse_ex(text, 0);
}

bool zq_markdown_has_markup_ex(std::string_view text, unsigned flags) noexcept {
    const zq_markdown_doc doc = zq_markdown_parse_ex(text, flags);
    if (doc.blocks.size() > 1) return true;
    for (const zq_markdown_block& b : doc.blocks) {
        if (b.kind != ZQ_MARKDOWN_PARA) return true;
        for (const zq_markdown_span& sp : b.inl.spans)
            if (sp.style) return true;
    }
    return false;
}

bool zq_markdown_has_markup(std::string_view text) noexcept {
    return zq_markdown_has_markup_ex(text, 0);
}

std::string zq_markdown_doc_to_plain(const zq_markdown_doc& doc) noexcept {
    std::string out;
    try {
        for (size_t k = 0; k < doc.blocks.size(); ++k) {
            const zq_markdown_block& b = doc.blocks[k];
            if (k) out.push_back('\n');
            switch (b.kind) {
                case ZQ_MARKDOWN_PARA:
                case ZQ_MARKDOWN_QUOTE:
                case ZQ_MARKDOWN_HEADING:
                    inline_plain(b.inl, out);
                    break;
                case ZQ_MARKDOWN_CODE_BLOCK:
                    out.append(b.code);
                    break;
                case ZQ_MARKDOWN_UL:
                case ZQ_MARKDOWN_OL:
                    for (size_t i = 0; i < b.items.size(); ++i) {
                        if (i) out.push_back('\n');
                        out.append(2 * static_cast<size_t>(std::max(b.depth, 0)), ' ');
                        if (b.kind == ZQ_MARKDOWN_UL)
                            out.append("- ");
                        else
                            out.append(std::to_string(static_cast<long long>(b.start) +
                                                      static_cast<long long>(i)) +
                                       ". ");
                        inline_plain(b.items[i], out);
                    }
                    break;
                case ZQ_MARKDOWN_TABLE: {
                    const size_t cols = static_cast<size_t>(std::max(b.n_cols, 1));
                    for (size_t i = 0; i < b.items.size(); ++i) {
                        if (i) out.push_back(i % cols ? '\t' : '\n');
                        inline_plain(b.items[i], out);
                    }
                    break;
                }
                case ZQ_MARKDOWN_HR:
                    break;
            }
        }
    } catch (const std::exception&) {
        // out of memory: what was written so far
    }
    return out;
}

std::string zq_markdown_to_plain(std::string_view text, unsigned flags) noexcept {
    return zq_markdown_doc_to_plain(zq_markdown_parse_ex(text, flags));
}
