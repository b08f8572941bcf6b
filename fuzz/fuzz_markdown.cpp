// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary text through the markdown parser with every flag combination (the first two
// bytes hold the nine flag bits), then through the plain-text conversion and the markup test:
// the document respects every limit, every span is well formed, and the three entry points
// agree with each other.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "zq_markdown.h"

namespace {

void check_inline(const zq_markdown_inline& in) {
    if (in.spans.size() > ZQ_MARKDOWN_MAX_SPANS) __builtin_trap();
    for (const zq_markdown_span& sp : in.spans) {
        if (sp.text.empty()) __builtin_trap();
        if (sp.style > 63) __builtin_trap();
        const bool target = (sp.style & (ZQ_MARKDOWN_STYLE_LINK | ZQ_MARKDOWN_STYLE_IMAGE)) != 0;
        if (target != sp.url.has_value()) __builtin_trap();
        if (sp.url && sp.url->empty()) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const unsigned flags = (data[0] | (data[1] << 8)) & 511u;
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

    const zq_markdown_doc doc = zq_markdown_parse_ex(text, flags);
    if (doc.blocks.size() > ZQ_MARKDOWN_MAX_BLOCKS) __builtin_trap();
    bool markup = doc.blocks.size() > 1;
    for (const zq_markdown_block& b : doc.blocks) {
        check_inline(b.inl);
        if (b.items.size() > ZQ_MARKDOWN_MAX_ITEMS) __builtin_trap();
        for (const zq_markdown_inline& it : b.items) check_inline(it);
        if (b.kind != ZQ_MARKDOWN_PARA) markup = true;
        for (const zq_markdown_span& sp : b.inl.spans) markup = markup || sp.style != 0;
        switch (b.kind) {
            case ZQ_MARKDOWN_HEADING:
                if (!(flags & ZQ_MARKDOWN_FLAG_HEADINGS) || b.level < 1 || b.level > 6)
                    __builtin_trap();
                break;
            case ZQ_MARKDOWN_TABLE:
                if (!(flags & ZQ_MARKDOWN_FLAG_TABLES) || b.n_cols < 1 ||
                    b.n_cols > static_cast<int>(ZQ_MARKDOWN_MAX_COLS) ||
                    b.align.size() != static_cast<size_t>(b.n_cols) ||
                    b.items.size() % static_cast<size_t>(b.n_cols) != 0 || b.items.empty())
                    __builtin_trap();
                for (uint8_t a : b.align)
                    if (a > 2) __builtin_trap();
                break;
            case ZQ_MARKDOWN_UL:
            case ZQ_MARKDOWN_OL:
                if (b.items.empty() || b.depth < 0 || b.depth >= ZQ_MARKDOWN_MAX_LIST_DEPTH)
                    __builtin_trap();
                if (!(flags & ZQ_MARKDOWN_FLAG_INDENTED_LISTS) && b.depth != 0) __builtin_trap();
                break;
            case ZQ_MARKDOWN_HR:
                if (!(flags & ZQ_MARKDOWN_FLAG_RULES)) __builtin_trap();
                break;
            case ZQ_MARKDOWN_PARA:
            case ZQ_MARKDOWN_QUOTE:
            case ZQ_MARKDOWN_CODE_BLOCK:
                break;
        }
        if (b.kind != ZQ_MARKDOWN_TABLE && b.kind != ZQ_MARKDOWN_UL && b.kind != ZQ_MARKDOWN_OL &&
            !b.items.empty())
            __builtin_trap();
    }
    if (zq_markdown_has_markup_ex(text, flags) != markup) __builtin_trap();
    if (zq_markdown_to_plain(text, flags) != zq_markdown_doc_to_plain(doc)) __builtin_trap();
    if (flags == 0 && zq_markdown_has_markup(text) != markup) __builtin_trap();
    return 0;
}
