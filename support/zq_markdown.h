// SPDX-License-Identifier: GPL-3.0-or-later
// The markdown dialect of the markdown view: UTF-8 text in, a flat document of blocks out,
// each block holding styled inline spans. The parser decides what is markup; fonts, colours,
// wrapping and tables belong to the view (zq_mdview.h).
//
// Blocks, tried in this order on every line that is not blank (blank lines only separate
// blocks): heading, table, horizontal rule, quote, fenced code, list item, paragraph. Inline
// text is scanned left to right: backslash escape, code span, image, link, automatic link,
// strike-through, emphasis; everything else is plain text.
//
// A document is a plain value: copy it, move it, drop it. Nothing needs releasing.
//
// Parsing never fails and never reads past its input. The limits below bound memory and
// time on hostile input; what goes past them is kept as plain text where that is possible:
//   - inline text past its span limit joins its last span, unstyled;
//   - a full list (its item limit reached) goes on in a new list block of the same kind
//     and depth; rows past a full table are read as the blocks they look like;
//   - past the block limit, the rest of the text is the last block: one paragraph holding
//     the remaining lines as they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------

enum zq_markdown_block_kind : int {
    ZQ_MARKDOWN_PARA = 0,
    ZQ_MARKDOWN_QUOTE = 1,
    ZQ_MARKDOWN_CODE_BLOCK = 2,
    ZQ_MARKDOWN_UL = 3,
    ZQ_MARKDOWN_OL = 4,
    ZQ_MARKDOWN_HEADING = 5,
    ZQ_MARKDOWN_TABLE = 6,
    ZQ_MARKDOWN_HR = 7,
};

// Span style bits (nested emphasis combines them: bold inside italic is 3).
inline constexpr unsigned ZQ_MARKDOWN_STYLE_BOLD = 1;
inline constexpr unsigned ZQ_MARKDOWN_STYLE_ITALIC = 2;
inline constexpr unsigned ZQ_MARKDOWN_STYLE_CODE = 4;
inline constexpr unsigned ZQ_MARKDOWN_STYLE_LINK = 8;
inline constexpr unsigned ZQ_MARKDOWN_STYLE_STRIKE = 16;
inline constexpr unsigned ZQ_MARKDOWN_STYLE_IMAGE = 32;

// Parse flag bits. 0 gives paragraphs, quotes, fenced code, lists, code spans, links and
// emphasis only.
inline constexpr unsigned ZQ_MARKDOWN_FLAG_HEADINGS = 1;          // "# Title"
inline constexpr unsigned ZQ_MARKDOWN_FLAG_TABLES = 2;            // "a | b" over "--|--"
inline constexpr unsigned ZQ_MARKDOWN_FLAG_AUTOLINKS = 4;         // <https://x> and bare URLs
inline constexpr unsigned ZQ_MARKDOWN_FLAG_STRIKETHROUGH = 8;     // ~~gone~~
inline constexpr unsigned ZQ_MARKDOWN_FLAG_ESCAPES = 16;          // \* is a literal '*'
inline constexpr unsigned ZQ_MARKDOWN_FLAG_INDENTED_LISTS = 32;   // indentation nests lists
inline constexpr unsigned ZQ_MARKDOWN_FLAG_RULES = 64;            // "---", "***", "___"
inline constexpr unsigned ZQ_MARKDOWN_FLAG_IMAGES = 128;          // ![alt](https://x)
inline constexpr unsigned ZQ_MARKDOWN_FLAG_RELATIVE_LINKS = 256;  // [x](docs/a.md), mailto:
// What the markdown view parses with: headings, tables, indentation-aware lists.
inline constexpr unsigned ZQ_MARKDOWN_FLAGS_VIEW = 35;

// Limits.
inline constexpr size_t ZQ_MARKDOWN_MAX_BLOCKS = 1024;  // per document
inline constexpr size_t ZQ_MARKDOWN_MAX_SPANS = 2048;   // per inline text
inline constexpr size_t ZQ_MARKDOWN_MAX_ITEMS = 1024;   // list items or table cells per block
inline constexpr size_t ZQ_MARKDOWN_MAX_COLS = 32;      // cells per table row
inline constexpr int ZQ_MARKDOWN_MAX_NESTING = 16;      // nested emphasis / strike-through
inline constexpr int ZQ_MARKDOWN_MAX_LIST_DEPTH = 16;   // list nesting levels (depth 0..15)

// ---------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------

struct zq_markdown_span {
    std::string text;
    std::optional<std::string> url;  // links and images
    unsigned style = 0;              // ZQ_MARKDOWN_STYLE_* bits
};

struct zq_markdown_inline {
    std::vector<zq_markdown_span> spans;
};

struct zq_markdown_block {
    zq_markdown_block_kind kind = ZQ_MARKDOWN_PARA;
    zq_markdown_inline inl;                 // paragraphs, quotes, headings
    std::string code;                       // code blocks, unparsed
    std::vector<zq_markdown_inline> items;  // list items, or table cells row by row
    int level = 0;                          // heading level 1..6
    int n_cols = 0;                         // table columns (at least 1 for a table)
    std::vector<uint8_t> align;             // per table column: 0 default, 1 centre, 2 right
    int depth = 0;                          // list nesting level
    int start = 0;                          // first number of an ordered list
};

struct zq_markdown_doc {
    std::vector<zq_markdown_block> blocks;
};

// ---------------------------------------------------------------------------------------
// Functions
// ---------------------------------------------------------------------------------------

// Parses `text` with the ZQ_MARKDOWN_FLAG_* bits in `flags`. An empty text gives an empty
// document.
zq_markdown_doc zq_markdown_parse_ex(std::string_view text, unsigned flags) noexcept;
// The same with flags 0.
zq_markdown_doc zq_markdown_parse(std::string_view text) noexcept;

// True when parsing with flags 0 (or `flags`) gives more than one block, a block that is not
// a paragraph, or any styled span.
bool zq_markdown_has_markup(std::string_view text) noexcept;
bool zq_markdown_has_markup_ex(std::string_view text, unsigned flags) noexcept;

// The text without markup: blocks separated by line feeds, list items on their own lines
// with their markers ("- ", "3. ", two spaces per nesting level), table rows one per line
// with their cells separated by tabs, a rule as an empty line, links and images as their text.
std::string zq_markdown_to_plain(std::string_view text, unsigned flags) noexcept;
std::string zq_markdown_doc_to_plain(const zq_markdown_doc& doc) noexcept;
