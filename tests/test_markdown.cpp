// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "zq_markdown.h"

namespace {

constexpr unsigned kAll = 511;

// One span as "[text|style]" or "[text|style>url]".
std::string dump(const zq_markdown_inline& in) {
    std::string out;
    for (const zq_markdown_span& sp : in.spans) {
        out += "[" + sp.text + "|" + std::to_string(sp.style);
        if (sp.url) out += ">" + *sp.url;
        out += "]";
    }
    return out;
}

// One block per line: its kind, the fields that matter for it, and its text.
std::string dump(const zq_markdown_doc& doc) {
    std::string out;
    for (const zq_markdown_block& b : doc.blocks) {
        switch (b.kind) {
            case ZQ_MARKDOWN_PARA:
                out += "P" + dump(b.inl);
                break;
            case ZQ_MARKDOWN_QUOTE:
                out += "Q" + dump(b.inl);
                break;
            case ZQ_MARKDOWN_HEADING:
                out += "H" + std::to_string(b.level) + dump(b.inl);
                break;
            case ZQ_MARKDOWN_CODE_BLOCK:
                out += "C{" + b.code + "}";
                break;
            case ZQ_MARKDOWN_UL:
            case ZQ_MARKDOWN_OL:
                out += (b.kind == ZQ_MARKDOWN_UL ? "UL" : "OL") + std::to_string(b.depth);
                if (b.kind == ZQ_MARKDOWN_OL) out += "@" + std::to_string(b.start);
                for (const zq_markdown_inline& it : b.items) out += "{" + dump(it) + "}";
                break;
            case ZQ_MARKDOWN_TABLE:
                out += "T" + std::to_string(b.n_cols) + ":";
                for (uint8_t a : b.align) out += std::to_string(a);
                for (const zq_markdown_inline& it : b.items) out += "{" + dump(it) + "}";
                break;
            case ZQ_MARKDOWN_HR:
                out += "HR";
                break;
        }
        out += "\n";
    }
    return out;
}

std::string md(std::string_view text, unsigned flags = 0) {
    return dump(zq_markdown_parse_ex(text, flags));
}

// ---------------------------------------------------------------------------------------
// Blocks
// ---------------------------------------------------------------------------------------

TEST(MarkdownBlocks, HeadingsNeedTheirFlagAndABlank) {
    EXPECT_EQ(md("# Title"), "P[# Title|0]\n");
    EXPECT_EQ(md("# Title", 1), "H1[Title|0]\n");
    EXPECT_EQ(md("#Title", 1), "P[#Title|0]\n");
    EXPECT_EQ(md("###### Six  ", 1), "H6[Six|0]\n");
    EXPECT_EQ(md("####### Seven", 1), "P[####### Seven|0]\n");
    EXPECT_EQ(md("## Why it's *flagged*\ntext", 1), "H2[Why it's |0][flagged|2]\nP[text|0]\n");
}

TEST(MarkdownBlocks, TablesTakeColumnsAndAlignmentFromHeaderAndRule) {
    const std::string t =
        "| Field | Value | Note |\n"
        "|:------|:-----:|-----:|\n"
        "| a | `b|c` |\n"      // short row, and a '|' splits even inside backquotes
        "| d | e | f | g |\n"  // extra cell dropped
        "x | y\n"
        "\n"
        "after";
    EXPECT_EQ(md(t, 2),
              "T3:012{[Field|0]}{[Value|0]}{[Note|0]}"
              "{[a|0]}{[`b|0]}{[c`|0]}"
              "{[d|0]}{[e|0]}{[f|0]}"
              "{[x|0]}{[y|0]}{}\n"
              "P[after|0]\n");
    // without the flag, or without a rule line, it is a paragraph
    EXPECT_EQ(md("a | b\n--|--", 0), "P[a | b\n--|--|0]\n");
    EXPECT_EQ(md("a | b\nc | d", 2), "P[a | b\nc | d|0]\n");
    // a rule cell needs a dash
    EXPECT_EQ(md("a | b\n: | :", 2), "P[a | b\n: | :|0]\n");
    // a line that starts another block ends the table
    EXPECT_EQ(md("a|b\n-|-\n- c | d", 2), "T2:00{[a|0]}{[b|0]}\nUL0{[c | d|0]}\n");
}

TEST(MarkdownBlocks, RulesQuotesAndParagraphs) {
    EXPECT_EQ(md("---\n* * *\n  ___  ", 64), "HR\nHR\nHR\n");
    EXPECT_EQ(md("--", 64), "P[--|0]\n");
    EXPECT_EQ(md("-*-", 64), "P[-*-|0]\n");
    // without the flag the same lines are text and a list
    EXPECT_EQ(md("---\n\n- - -"), "P[---|0]\nUL0{[- -|0]}\n");
    // a rule ends a paragraph
    EXPECT_EQ(md("text\n***\nmore", 64), "P[text|0]\nHR\nP[more|0]\n");

    EXPECT_EQ(md(">  one\n>two\n>\n> *three*\nafter"), "Q[ one\ntwo\n\n|0][three|2]\nP[after|0]\n");
    EXPECT_EQ(md("first\n  second\nthird\n\nnext"), "P[first\nsecond\nthird|0]\nP[next|0]\n");
}

TEST(MarkdownBlocks, FencedCodeIsUnparsedAndRunsToItsClosingFence) {
    EXPECT_EQ(md("```c\n**x** `y`\n\n``\n```\nafter"), "C{**x** `y`\n\n``}\nP[after|0]\n");
    // a closing fence needs at least as many of the same character
    EXPECT_EQ(md("~~~~\n~~~\n```\n~~~~~ end\nz"), "C{~~~\n```}\nP[z|0]\n");
    // unclosed: the rest of the text
    EXPECT_EQ(md("para\n```\n# not a heading\n- not a list", 33),
              "P[para|0]\nC{# not a heading\n- not a list}\n");
    // with indentation-aware lists the fence's indentation comes off the content
    EXPECT_EQ(md("  ```\n    indented\n  flush\n\tdeep\n  ```", 32),
              "C{  indented\nflush\n  deep}\n");
    // without, an indented fence is text
    EXPECT_EQ(md("  ```\nx"), "P[```\nx|0]\n");
}

TEST(MarkdownBlocks, ListsContinueNestAndNumber) {
    EXPECT_EQ(md("- a\n* b\n- c\n  more\nnot item"),
              "UL0{[a|0]}{[b|0]}{[c\nmore|0]}\nP[not item|0]\n");
    EXPECT_EQ(md("3. three\n4. four\n- dash"), "OL0@3{[three|0]}{[four|0]}\nUL0{[dash|0]}\n");
    EXPECT_EQ(md("1.no\n-no"), "P[1.no\n-no|0]\n");

    // indentation-aware: deeper items nest, a shallower item closes the nested lists
    const std::string nested =
        "- top\n"
        "  continued\n"
        "  - inner **bold**\n"
        "    1. deepest\n"
        "    2. again\n"
        "  - inner two\n"
        "- top two\n";
    EXPECT_EQ(md(nested, 32),
              "UL0{[top\ncontinued|0]}\n"
              "UL1{[inner |0][bold|1]}\n"
              "OL2@1{[deepest|0]}{[again|0]}\n"
              "UL1{[inner two|0]}\n"
              "UL0{[top two|0]}\n");
    // without the flag the indented lines are continuation text
    EXPECT_EQ(md(nested, 0),
              "UL0{[top\ncontinued\n- inner |0][bold|1][\n1. deepest\n2. again\n- inner two|0]}"
              "{[top two|0]}\n");
    // a tab counts to the next multiple of four; a list that did not open at column 0 still
    // has depth 0, and a line indented no deeper than its item is not part of it
    EXPECT_EQ(md("  - a\n\t- b\n  c", 32), "UL0{[a|0]}\nUL1{[b|0]}\nP[c|0]\n");
    // depth survives a blank line but not a paragraph
    EXPECT_EQ(md("- a\n  - b\n\n  - c\n\npara\n\n  - d", 32),
              "UL0{[a|0]}\nUL1{[b|0]}\nUL1{[c|0]}\nP[para|0]\nUL0{[d|0]}\n");
}

TEST(MarkdownBlocks, CarriageReturnsParseLikeLineFeeds) {
    const std::string lf = "# H\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n- x\n  - y\n\n```\nc\n```\n";
    std::string crlf, cr;
    for (char c : lf) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        cr += c == '\n' ? '\r' : c;
    }
    const std::string want = md(lf, kAll);
    EXPECT_EQ(md(crlf, kAll), want);
    EXPECT_EQ(md(cr, kAll), want);
    EXPECT_EQ(want, "H1[H|0]\nT2:00{[a|0]}{[b|0]}{[1|0]}{[2|0]}\nUL0{[x|0]}\nUL1{[y|0]}\nC{c}\n");
}

// ---------------------------------------------------------------------------------------
// Inline text
// ---------------------------------------------------------------------------------------

TEST(MarkdownInline, EmphasisNestsAndUnderscoresStayInsideWords) {
    EXPECT_EQ(md("**a *b* c**"), "P[a |1][b|3][ c|1]\n");
    EXPECT_EQ(md("snake_case_word"), "P[snake_case_word|0]\n");
    EXPECT_EQ(md("_word_ and __strong__"), "P[word|2][ and |0][strong|1]\n");
    EXPECT_EQ(md("***both***"), "P[both|3]\n");
    EXPECT_EQ(md("*it **bold***"), "P[it |2][bold|3]\n");
    // an underscore followed by a word character does not close
    EXPECT_EQ(md("_a_b_"), "P[a_b|2]\n");
    // unclosed delimiters are literal
    EXPECT_EQ(md("2 * 3 and a_b and **x"), "P[2 * 3 and a_b and **x|0]\n");
    EXPECT_EQ(md("**a*"), "P[*|0][a|2]\n");
    // a code span shields what would close the emphasis
    EXPECT_EQ(md("**see `a**b` here**"), "P[see |1][a**b|5][ here|1]\n");
    // strike-through only with its flag
    EXPECT_EQ(md("~~old~~ new", 8), "P[old|16][ new|0]\n");
    EXPECT_EQ(md("~~old~~ new"), "P[~~old~~ new|0]\n");
    EXPECT_EQ(md("~~a *b*~~", 8), "P[a |16][b|18]\n");
}

TEST(MarkdownInline, NestingStopsAtSixteenLevels) {
    auto nested = [](int stars) {
        const std::string run(static_cast<size_t>(stars), '*');
        return md(run + "a" + run);
    };
    EXPECT_EQ(nested(32), "P[a|1]\n");  // sixteen levels of bold
    EXPECT_EQ(nested(34), "P[**a**|1]\n");
}

TEST(MarkdownInline, CodeSpansAndEscapes) {
    EXPECT_EQ(md("a `b*c*` d"), "P[a |0][b*c*|4][ d|0]\n");
    EXPECT_EQ(md("empty `` pair"), "P[empty `` pair|0]\n");
    EXPECT_EQ(md("open ` only"), "P[open ` only|0]\n");
    EXPECT_EQ(md("*x `y`*"), "P[x |2][y|6]\n");
    EXPECT_EQ(md("\\*not\\* \\q", 16), "P[*not* \\q|0]\n");
    EXPECT_EQ(md("\\*yes\\*"), "P[\\|0][yes\\|2]\n");
    EXPECT_EQ(md("trailing \\", 16), "P[trailing \\|0]\n");
}

TEST(MarkdownInline, LinksNeedAWebOrAllowedRelativeTarget) {
    EXPECT_EQ(md("[site](https://example.org/a_b) x"), "P[site|8>https://example.org/a_b][ x|0]\n");
    EXPECT_EQ(md("[Up](HTTP://X.ORG)"), "P[Up|8>HTTP://X.ORG]\n");
    EXPECT_EQ(md("[f](ftp://x.org/file)"), "P[[f](ftp://x.org/file)|0]\n");
    EXPECT_EQ(md("[a b](https://x.org/a b)"), "P[[a b](https://x.org/a b)|0]\n");
    EXPECT_EQ(md("[a]()"), "P[[a]()|0]\n");
    EXPECT_EQ(md("[a] (https://x.org)"), "P[[a] (https://x.org)|0]\n");
    // the link text is not parsed; an empty one shows the target
    EXPECT_EQ(md("**[*x*](https://x.org)**"), "P[*x*|9>https://x.org]\n");
    EXPECT_EQ(md("[](https://x.org)"), "P[https://x.org|8>https://x.org]\n");
    // relative targets only with their flag, and never another scheme or host
    EXPECT_EQ(md("[doc](docs/a.md)"), "P[[doc](docs/a.md)|0]\n");
    EXPECT_EQ(md("[doc](docs/a.md)", 256), "P[doc|8>docs/a.md]\n");
    EXPECT_EQ(md("[q](?a=b:c)", 256), "P[q|8>?a=b:c]\n");
    EXPECT_EQ(md("[m](mailto:me@x.org)", 256), "P[m|8>mailto:me@x.org]\n");
    EXPECT_EQ(md("[j](javascript:alert(1))", 256), "P[[j](javascript:alert(1))|0]\n");
    EXPECT_EQ(md("[h](//evil.org/x)", 256), "P[[h](//evil.org/x)|0]\n");
    EXPECT_EQ(md("[b](a\\b)", 256), "P[[b](a\\b)|0]\n");
    // images need their flag; without it the link form after '!' is a link
    EXPECT_EQ(md("![logo](https://x.org/l.png)", 128), "P[logo|32>https://x.org/l.png]\n");
    EXPECT_EQ(md("![logo](https://x.org/l.png)"), "P[!|0][logo|8>https://x.org/l.png]\n");
    EXPECT_EQ(md("![logo](file:///etc/passwd)", 128 | 256), "P[![logo](file:///etc/passwd)|0]\n");
}

TEST(MarkdownInline, AutomaticLinksTrimWhatEndsASentence) {
    EXPECT_EQ(md("<https://x.org/a?b=1> <https://> <ftp://x>", 4),
              "P[https://x.org/a?b=1|8>https://x.org/a?b=1][ <https://> <ftp://x>|0]\n");
    EXPECT_EQ(md("see https://x.org/a_b_, or (https://w.org/A_(b)).", 4),
              "P[see |0][https://x.org/a_b|8>https://x.org/a_b][_, or (|0]"
              "[https://w.org/A_(b)|8>https://w.org/A_(b)][).|0]\n");
    EXPECT_EQ(md("xhttps://x.org \"https://q.org\"", 4),
              "P[xhttps://x.org \"|0][https://q.org|8>https://q.org][\"|0]\n");
    EXPECT_EQ(md("https://x.org"), "P[https://x.org|0]\n");
    // an address inside emphasis keeps its underscores; the emphasis still closes
    EXPECT_EQ(md("_at https://x.org/a_b_", 4),
              "P[at |2][https://x.org/a_b|10>https://x.org/a_b]\n");
}

// ---------------------------------------------------------------------------------------
// Limits: nothing is lost, everything stays bounded
// ---------------------------------------------------------------------------------------

TEST(MarkdownLimits, PastTheBlockLimitTheRestIsOneParagraph) {
    std::string text;
    for (int i = 0; i < 1100; ++i) text += "p" + std::to_string(i) + "\n\n";
    const zq_markdown_doc doc = zq_markdown_parse(text);
    ASSERT_EQ(doc.blocks.size(), ZQ_MARKDOWN_MAX_BLOCKS);
    EXPECT_EQ(dump(doc.blocks[1022].inl), "[p1022|0]");
    const zq_markdown_block& last = doc.blocks.back();
    EXPECT_EQ(last.kind, ZQ_MARKDOWN_PARA);
    ASSERT_EQ(last.inl.spans.size(), 1u);
    EXPECT_EQ(last.inl.spans[0].text.substr(0, 12), "p1023\n\np1024");
    EXPECT_EQ(last.inl.spans[0].text.substr(last.inl.spans[0].text.size() - 5), "p1099");

    // exactly at the limit nothing changes
    const zq_markdown_doc d2 = zq_markdown_parse_ex(text.substr(0, text.find("p1024")), 0);
    ASSERT_EQ(d2.blocks.size(), 1024u);
    EXPECT_EQ(dump(d2.blocks.back().inl), "[p1023|0]");
}

TEST(MarkdownLimits, FullListsGoOnAndFullInlineTextKeepsItsText) {
    std::string list;
    for (int i = 1; i <= 1100; ++i) list += std::to_string(i) + ". item\n";
    const zq_markdown_doc doc = zq_markdown_parse(list);
    ASSERT_EQ(doc.blocks.size(), 2u);
    EXPECT_EQ(doc.blocks[0].items.size(), ZQ_MARKDOWN_MAX_ITEMS);
    EXPECT_EQ(doc.blocks[1].kind, ZQ_MARKDOWN_OL);
    EXPECT_EQ(doc.blocks[1].start, 1025);
    EXPECT_EQ(doc.blocks[1].items.size(), 76u);

    std::string spans, plain;
    for (int i = 0; i < 3000; ++i) {
        spans += "`c" + std::to_string(i) + "` ";
        plain += "c" + std::to_string(i) + " ";
    }
    const zq_markdown_doc d2 = zq_markdown_parse(spans);
    ASSERT_EQ(d2.blocks.size(), 1u);
    const auto& sp = d2.blocks[0].inl.spans;
    EXPECT_EQ(sp.size(), ZQ_MARKDOWN_MAX_SPANS);
    EXPECT_EQ(sp[2046].style, ZQ_MARKDOWN_STYLE_CODE);
    EXPECT_EQ(sp.back().style, 0u);
    EXPECT_EQ(zq_markdown_doc_to_plain(d2), plain.substr(0, plain.size() - 1));
}

TEST(MarkdownLimits, TablesAndListNestingAreCapped) {
    std::string head, rule;
    for (int c = 0; c < 40; ++c) {
        head += "|h" + std::to_string(c);
        rule += "|-";
    }
    std::string rows;
    for (int r = 0; r < 40; ++r) rows += "|" + std::to_string(r) + "\n";
    const zq_markdown_doc doc = zq_markdown_parse_ex(head + "\n" + rule + "\n" + rows, 2);
    ASSERT_GE(doc.blocks.size(), 2u);
    EXPECT_EQ(doc.blocks[0].n_cols, 32);
    EXPECT_EQ(doc.blocks[0].items.size(), 1024u);  // the header and 31 rows
    // the rows that did not fit are still there, as text
    EXPECT_EQ(doc.blocks[1].kind, ZQ_MARKDOWN_PARA);
    EXPECT_EQ(doc.blocks[1].inl.spans[0].text.substr(0, 6), "|31\n|3");

    std::string deep;
    for (int d = 0; d < 20; ++d) deep += std::string(static_cast<size_t>(d) * 2, ' ') + "- d\n";
    const zq_markdown_doc d2 = zq_markdown_parse_ex(deep, 32);
    ASSERT_EQ(d2.blocks.size(), 16u);
    EXPECT_EQ(d2.blocks[15].depth, 15);
    EXPECT_EQ(d2.blocks[15].items.size(), 5u);
}

TEST(MarkdownLimits, HostileInputStaysBoundedAndKeepsItsText) {
    const size_t n = 100000;
    const std::string units[] = {"*",   "[",  "`",     "_a ", "[a](", "<http://",
                                 "**a", "~~", "![x](", "\\",  "a_",   "*a **b "};
    for (const std::string& u : units) {
        std::string s;
        while (s.size() < n) s += u;
        const zq_markdown_doc doc = zq_markdown_parse_ex(s, kAll);
        ASSERT_FALSE(doc.blocks.empty()) << u;
        size_t spans = 0;
        for (const auto& b : doc.blocks) spans += b.inl.spans.size();
        EXPECT_LE(spans, ZQ_MARKDOWN_MAX_SPANS) << u;
        EXPECT_LE(zq_markdown_doc_to_plain(doc).size(), s.size()) << u;
    }
    // unmatched openers come back as they were written
    for (const char* u : {"[", "``", "_a", "[a](", "<http://"}) {
        std::string s;
        while (s.size() < n) s += std::string(u) + " ";
        s.pop_back();
        EXPECT_TRUE(zq_markdown_to_plain(s, kAll) == s) << u;
    }

    std::string quotes(n, '>');
    EXPECT_EQ(md(quotes).substr(0, 4), "Q[>>");
    std::string lists;
    for (size_t d = 0; lists.size() < n; ++d) lists += std::string(d, ' ') + "- x\n";
    const zq_markdown_doc doc = zq_markdown_parse_ex(lists, kAll);
    EXPECT_LE(doc.blocks.size(), ZQ_MARKDOWN_MAX_BLOCKS);
    for (const auto& b : doc.blocks) EXPECT_LT(b.depth, ZQ_MARKDOWN_MAX_LIST_DEPTH);
}

// ---------------------------------------------------------------------------------------
// Plain text and markup detection
// ---------------------------------------------------------------------------------------

TEST(MarkdownPlain, BlocksOnLinesListsWithMarkers) {
    const std::string text =
        "## Identity\n\n"
        "- **Device type:** Body camera\n"
        "  - nested `raw`\n"
        "7. seventh\n"
        "8. eighth\n\n"
        "| k | v |\n|---|---|\n| a | [b](https://b.org) |\n\n"
        "---\n"
        "```\nx  y\n```\n"
        "> quoted *text*";
    EXPECT_EQ(zq_markdown_to_plain(text, 35 | 64),
              "Identity\n"
              "- Device type: Body camera\n"
              "  - nested raw\n"
              "7. seventh\n8. eighth\n"
              "k\tv\na\tb\n"
              "\n"
              "x  y\n"
              "quoted text");
    EXPECT_EQ(zq_markdown_to_plain("", 35), "");
    EXPECT_EQ(zq_markdown_to_plain("plain words", 0), "plain words");
}

TEST(MarkdownPlain, HasMarkup) {
    EXPECT_FALSE(zq_markdown_has_markup("Just a sentence, 3 < 4.\nSecond line."));
    EXPECT_FALSE(zq_markdown_has_markup(""));
    EXPECT_FALSE(zq_markdown_has_markup("snake_case and a * b"));
    EXPECT_TRUE(zq_markdown_has_markup("one\n\ntwo"));
    EXPECT_TRUE(zq_markdown_has_markup("a *b*"));
    EXPECT_TRUE(zq_markdown_has_markup("- item"));
    EXPECT_TRUE(zq_markdown_has_markup("see [x](https://x.org)"));
    EXPECT_FALSE(zq_markdown_has_markup("# Title"));
    EXPECT_TRUE(zq_markdown_has_markup_ex("# Title", 1));
    EXPECT_FALSE(zq_markdown_has_markup_ex("see https://x.org", 0));
    EXPECT_TRUE(zq_markdown_has_markup_ex("see https://x.org", 4));
}

}  // namespace
