// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The markdown renderer on a real X server: a private Xvfb, a real Allegro display and the
// DejaVu fonts. Screenshots of a document with every construct go to
// <build>/test-output/mdview_*.png.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "ovk_test_xvfb.h"
#include "zq_markdown.h"
#include "zq_mdview.h"

namespace {

const char* const kFontDir = "/usr/share/fonts/truetype/dejavu/";

// One X server, display and the eight fonts for every test of the process; torn down after
// the last test.
struct Env : ::testing::Environment {
    ALLEGRO_DISPLAY* display = nullptr;
    ZQ_GUI_MD_FONTS fonts;
    std::vector<ALLEGRO_FONT*> owned;

    void SetUp() override {
        if (!ovk_test::xvfb_start().running || !al_init() || !al_init_font_addon() ||
            !al_init_ttf_addon() || !al_init_primitives_addon() || !al_init_image_addon())
            return;
        display = al_create_display(900, 700);
        auto load = [&](const char* file, int size) {
            ALLEGRO_FONT* f = al_load_ttf_font((std::string(kFontDir) + file).c_str(), size, 0);
            if (f) owned.push_back(f);
            return f;
        };
        fonts.regular = load("DejaVuSans.ttf", 15);
        fonts.bold = load("DejaVuSans-Bold.ttf", 15);
        fonts.italic = load("DejaVuSans-Oblique.ttf", 15);
        fonts.bolditalic = load("DejaVuSans-BoldOblique.ttf", 15);
        fonts.mono = load("DejaVuSansMono.ttf", 14);
        fonts.h1 = load("DejaVuSans-Bold.ttf", 26);
        fonts.h2 = load("DejaVuSans-Bold.ttf", 21);
        fonts.h3 = load("DejaVuSans-Bold.ttf", 17);
    }
    void TearDown() override {
        for (ALLEGRO_FONT* f : owned) al_destroy_font(f);
        owned.clear();
        if (display) al_destroy_display(display);
        display = nullptr;
        al_uninstall_system();
    }
    bool ok() const { return display && owned.size() == 8; }
};

Env* const g_env = static_cast<Env*>(::testing::AddGlobalTestEnvironment(new Env));
Env& env() {
    return *g_env;
}

class MdView : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!env().ok()) GTEST_SKIP() << "no Xvfb, display or DejaVu fonts";
        style_ = zq_md_default_style(al_map_rgb(230, 232, 236), al_map_rgb(24, 26, 32),
                                     static_cast<float>(al_get_font_line_height(fonts().regular)));
    }
    static const ZQ_GUI_MD_FONTS& fonts() { return env().fonts; }
    ZQ_MD_LAYOUT lay(const std::string& text, float width) const {
        return zq_md_layout(zq_markdown_parse_ex(text, style_.parse_flags | 4 | 8 | 64 | 128),
                            fonts(), style_, width);
    }
    ZQ_MD_STYLE style_;
};

float drawn_width(const ZQ_MD_PRIM& p) {
    return static_cast<float>(al_get_text_width(p.font, p.text.c_str()));
}

bool near(ALLEGRO_COLOR a, ALLEGRO_COLOR b, float tol) {
    return std::fabs(a.r - b.r) <= tol && std::fabs(a.g - b.g) <= tol &&
           std::fabs(a.b - b.b) <= tol;
}

std::string output_dir() {
    const std::string d = std::string(OVK_BINARY_DIR) + "/test-output";
    mkdir(d.c_str(), 0755);
    return d;
}

// Renders the layout whole onto a fresh bitmap of its size.
ALLEGRO_BITMAP* render(const ZQ_MD_LAYOUT& l, ALLEGRO_COLOR bg, int hovered = -1, float pad = 12) {
    ALLEGRO_BITMAP* bmp =
        al_create_bitmap(static_cast<int>(l.width + 2 * pad), static_cast<int>(l.height + 2 * pad));
    al_set_target_bitmap(bmp);
    al_clear_to_color(bg);
    zq_md_draw(l, pad, pad, 0, l.height, hovered);
    return bmp;
}

const char* const kEverything =
    "# Device details\n"
    "Orvik flags **body cameras**, *plate readers* and ***drones***; `code spans` sit in a box, "
    "~~struck text~~ is crossed out and [links](https://example.org/docs) are blue. "
    "Long words break: 0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF01234567"
    "89ABCDEF and so do ÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäöÅÄÖåäö.\n"
    "\n"
    "## Why it's flagged\n"
    "\n"
    "- **Axon body camera:** Body camera - Strong (92%)\n"
    "- **Evidence:** `name 'Axon Body 3 X|42' matched`\n"
    "- **Source:** Built-in signature, see <https://example.org/sigs>\n"
    "  - nested detail with a longer text that has to wrap onto a second line inside its item\n"
    "    1. ordered third level\n"
    "    2. and its second item\n"
    "- back at the top\n"
    "\n"
    "### Identity\n"
    "\n"
    "| Field | Value | Note |\n"
    "|:------|:-----:|-----:|\n"
    "| Device type | Body camera | right |\n"
    "| Bluetooth company | Axon Enterprise (0x0A4E) with a long name that wraps | x |\n"
    "| Address | `00:25:DF:12:34:56` | |\n"
    "\n"
    "> A match is a broadcast signature, not proof. Weak matches under 50% must be verified;\n"
    "> signal strength is not a reliable distance.\n"
    "\n"
    "#### Raw advertisement\n"
    "\n"
    "```\n"
    "02 01 06 1B FF 4E 0A 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17\n"
    "\tindented with a tab\n"
    "```\n"
    "\n"
    "---\n"
    "\n"
    "3. three\n"
    "4. four ![logo](https://example.org/logo.png)\n";

// ---------------------------------------------------------------------------------------

TEST_F(MdView, DefaultStyleFollowsTextAndBackground) {
    const ALLEGRO_COLOR text = al_map_rgb(200, 100, 50);
    const ZQ_MD_STYLE dark = zq_md_default_style(text, al_map_rgb(20, 20, 20), 0.5f);
    EXPECT_FLOAT_EQ(dark.line_h, 16);
    EXPECT_FLOAT_EQ(dark.block_gap, 16 * 0.45f);
    EXPECT_FLOAT_EQ(dark.min_col_w, 40);
    EXPECT_EQ(dark.parse_flags, 35u);
    EXPECT_FALSE(dark.hard_breaks);
    EXPECT_TRUE(
        near(dark.quote, al_map_rgba_f(text.r * 0.8f, text.g * 0.8f, text.b * 0.8f, 1), 1e-6f));
    EXPECT_TRUE(
        near(dark.rule, al_map_rgba_f(text.r * 0.35f, text.g * 0.35f, text.b * 0.35f, 1), 1e-6f));
    EXPECT_TRUE(near(dark.link, al_map_rgb(120, 170, 245), 1e-6f));
    EXPECT_FLOAT_EQ(dark.code_bg.a, 0.1f);
    EXPECT_FLOAT_EQ(dark.code_bg.r, 0.1f);  // white, premultiplied
    // a mid-grey background of mean exactly 0.5 still counts as dark; just above is light
    EXPECT_FLOAT_EQ(zq_md_default_style(text, al_map_rgba_f(0.5f, 0.5f, 0.5f, 1), 20).code_bg.a,
                    0.1f);
    const ZQ_MD_STYLE light = zq_md_default_style(text, al_map_rgb(250, 250, 250), 20);
    EXPECT_FLOAT_EQ(light.code_bg.a, 0.06f);
    EXPECT_FLOAT_EQ(light.code_bg.r, 0);
    EXPECT_FLOAT_EQ(light.list_indent, 16);
    EXPECT_FLOAT_EQ(light.cell_pad, 7);
}

TEST_F(MdView, WrappingKeepsEveryLineWithinTheWidthAndEveryCharacter) {
    for (float width : {90.0f, 240.0f, 333.0f, 700.0f}) {
        const ZQ_MD_LAYOUT l = lay(kEverything, width);
        ASSERT_FALSE(l.prims.empty());
        for (const ZQ_MD_PRIM& p : l.prims) {
            const float right = p.kind == ZQ_MD_PRIM_TEXT ? p.x + drawn_width(p) : p.x + p.w;
            EXPECT_GE(p.x, 0) << width << " " << p.text;
            EXPECT_LE(right, width + 0.5f) << width << " " << p.text;
            EXPECT_LE(p.y + p.h, l.height + 0.5f);
        }
        for (size_t i = 1; i < l.bands.size(); ++i) EXPECT_GE(l.bands[i].y, l.bands[i - 1].y);
    }

    // broken words keep every character, whole, in order; bad bytes show as U+FFFD
    const std::string words =
        "x\xC3\xA5\xE2\x82\xAC\xF0\x9F\x98\x80" + std::string(300, 'w') + " tail \xFF end";
    const ZQ_MD_LAYOUT l = lay(words, 60);
    std::string joined;
    int lines = 0;
    for (const ZQ_MD_PRIM& p : l.prims) {
        if (p.kind != ZQ_MD_PRIM_TEXT) continue;
        for (char c : p.text)
            if (c != ' ') joined.push_back(c);
        ++lines;
    }
    EXPECT_GT(lines, 10);
    std::string want = words.substr(0, words.find(" tail")) +
                       "tail\xEF\xBF\xBD"
                       "end";
    EXPECT_EQ(joined, want);
}

TEST_F(MdView, LinksAreFoundWhereTheyAreDrawn) {
    const std::string text =
        "Plain words then [the project page with a long link text that wraps around]"
        "(https://example.org/p) and more.\n\n"
        "- item [two](https://example.org/two)\n\n"
        "| a | b |\n|---|---|\n| cell | [three](https://example.org/three) |\n";
    const ZQ_MD_LAYOUT l = lay(text, 260);
    ASSERT_EQ(l.links.size(), 3u);
    const ALLEGRO_COLOR bg = al_map_rgb(24, 26, 32);
    ALLEGRO_BITMAP* bmp = render(l, bg, 0, 0);
    al_lock_bitmap(bmp, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    std::vector<int> fragments(l.links.size(), 0);
    for (const ZQ_MD_PRIM& p : l.prims) {
        if (p.kind != ZQ_MD_PRIM_TEXT || p.link < 0) continue;
        ++fragments[static_cast<size_t>(p.link)];
        const float cx = p.x + p.w / 2, cy = p.y + p.h / 2;
        EXPECT_EQ(zq_md_link_at(l, cx, cy).value_or(""), l.links[static_cast<size_t>(p.link)]);
        // the link colour is on screen inside that box, and the underline of the hovered one
        bool coloured = false;
        for (int y = static_cast<int>(p.y); y < static_cast<int>(p.y + p.h) && !coloured; ++y)
            for (int x = static_cast<int>(p.x); x < static_cast<int>(p.x + p.w) && !coloured; ++x)
                coloured = near(al_get_pixel(bmp, x, y), style_.link, 0.08f);
        EXPECT_TRUE(coloured) << p.text;
        if (p.link == 0) {
            const int uy = static_cast<int>(std::round(p.y + al_get_font_ascent(p.font) + 2));
            int under = 0;
            for (int x = static_cast<int>(p.x) + 1; x < static_cast<int>(p.x + p.w) - 1; ++x)
                under += near(al_get_pixel(bmp, x, uy), style_.link, 0.12f);
            EXPECT_GT(under, static_cast<int>(p.w * 0.8f)) << p.text;
        }
    }
    al_unlock_bitmap(bmp);
    al_destroy_bitmap(bmp);
    EXPECT_GE(fragments[0], 2);  // it wrapped
    EXPECT_EQ(fragments[1], 1);
    EXPECT_EQ(fragments[2], 1);
    EXPECT_EQ(l.links[1], "https://example.org/two");

    // plain text, margins and the space below the document are not links
    int plain = 0;
    for (const ZQ_MD_PRIM& p : l.prims) {
        if (p.kind == ZQ_MD_PRIM_TEXT && p.link < 0 && p.text.rfind("Plain", 0) == 0) {
            EXPECT_FALSE(zq_md_link_at(l, p.x + 2, p.y + p.h / 2));
            ++plain;
        }
    }
    EXPECT_EQ(plain, 1);
    EXPECT_FALSE(zq_md_link_at(l, 259, 1));
    EXPECT_FALSE(zq_md_link_at(l, 10, l.height + 5));
    EXPECT_EQ(zq_md_link_index_at(l, -5, -5), -1);
}

TEST_F(MdView, TableColumnsKeepTheirMinimumAndFitTheWidth) {
    const std::string text =
        "| # | Name | Description |\n"
        "|--:|------|-------------|\n"
        "| 1 | Axon | A long description that cannot fit on one line in a narrow view at all |\n"
        "| 22 | Flock Safety | short |\n";
    for (float width : {300.0f, 520.0f, 2000.0f}) {
        const ZQ_MD_LAYOUT l = lay(text, width);
        // the column edges are the vertical grid lines of the first row
        std::vector<float> edges;
        const ZQ_MD_BAND* row = nullptr;
        for (const ZQ_MD_BAND& b : l.bands)
            if (b.count > 5) {
                row = &b;
                break;
            }
        ASSERT_NE(row, nullptr);
        for (uint32_t k = row->first; k < row->first + row->count; ++k)
            if (l.prims[k].kind == ZQ_MD_PRIM_LINE && l.prims[k].w == 0)
                edges.push_back(l.prims[k].x);
        ASSERT_EQ(edges.size(), 4u);
        for (size_t c = 0; c + 1 < edges.size(); ++c)
            EXPECT_GE(edges[c + 1] - edges[c], style_.min_col_w - 1.5f) << width;
        EXPECT_LE(edges.back(), width);
        // text stays inside its column; right-aligned numbers end at their column's padding
        for (const ZQ_MD_PRIM& p : l.prims) {
            if (p.kind != ZQ_MD_PRIM_TEXT) continue;
            size_t c = 0;
            while (c + 2 < edges.size() && p.x >= edges[c + 1]) ++c;
            EXPECT_GE(p.x, edges[c]) << p.text;
            EXPECT_LE(p.x + drawn_width(p), edges[c + 1]) << p.text;
            if (p.text == "1" || p.text == "22") {
                EXPECT_NEAR(p.x + p.w, edges[1] - std::round(style_.cell_pad), 1.0f);
            }
        }
        int desc_lines = 0;
        for (const ZQ_MD_PRIM& p : l.prims)
            if (p.kind == ZQ_MD_PRIM_TEXT && p.x > edges[2] && p.x < edges[3] &&
                p.text != "Description" && p.text != "short")
                ++desc_lines;
        if (width < 1000)
            EXPECT_GE(desc_lines, 2) << width;  // the long cell wrapped
        else
            EXPECT_EQ(desc_lines, 1);  // wide enough: every cell on one line
    }
    // more columns than the minimum widths allow still stay inside the view
    std::string wide = "|a|b|c|d|e|f|g|h|i|j|\n|-|-|-|-|-|-|-|-|-|-|\n|1|2|3|4|5|6|7|8|9|10|\n";
    const ZQ_MD_LAYOUT l = lay(wide, 200);
    for (const ZQ_MD_PRIM& p : l.prims)
        EXPECT_LE(p.x + (p.kind == ZQ_MD_PRIM_TEXT ? drawn_width(p) : p.w), 200) << p.text;
}

TEST_F(MdView, LongDocumentDrawsOnlyTheVisibleLines) {
    std::string text = "# Matches\n\n";
    for (int i = 0; i < 2000; ++i)
        text += "- **12:" + std::to_string(10 + i % 50) + ":00:** Axon body camera - " +
                std::to_string(-40 - i % 50) + " dBm - 59.91234, 10.75678\n";
    const ZQ_MD_LAYOUT l = lay(text, 760);
    const float lh = static_cast<float>(al_get_font_line_height(fonts().regular));
    ASSERT_GT(l.height, 2000 * lh);
    ASSERT_GE(l.bands.size(), 2000u);

    const float top = std::round(l.height / 2), view = 600;
    const int drawn_part =
        zq_md_draw(l, 0, -top, top, top + view, -1);  // onto the display, just to count
    EXPECT_GT(drawn_part, static_cast<int>(view / (lh * 1.5f)));
    EXPECT_LE(drawn_part, static_cast<int>(view / lh) + 2);

    // what the clipped draw shows equals the whole document drawn under a clipping rectangle
    const ALLEGRO_COLOR bg = al_map_rgb(24, 26, 32);
    ALLEGRO_BITMAP* a = al_create_bitmap(760, static_cast<int>(view));
    ALLEGRO_BITMAP* b = al_create_bitmap(760, static_cast<int>(view));
    al_set_target_bitmap(a);
    al_clear_to_color(bg);
    zq_md_draw(l, 0, -top, top, top + view, -1);
    al_set_target_bitmap(b);
    al_clear_to_color(bg);
    EXPECT_EQ(zq_md_draw(l, 0, -top, 0, l.height, -1), static_cast<int>(l.bands.size()));
    al_lock_bitmap(a, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    al_lock_bitmap(b, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    int differ = 0, ink = 0;
    for (int y = 0; y < static_cast<int>(view); ++y)
        for (int x = 0; x < 760; ++x) {
            const ALLEGRO_COLOR pa = al_get_pixel(a, x, y);
            differ += !near(pa, al_get_pixel(b, x, y), 0.004f);
            ink += !near(pa, bg, 0.05f);
        }
    al_unlock_bitmap(a);
    al_unlock_bitmap(b);
    al_save_bitmap((output_dir() + "/mdview_long_middle.png").c_str(), a);
    al_destroy_bitmap(a);
    al_destroy_bitmap(b);
    EXPECT_EQ(differ, 0);
    EXPECT_GT(ink, 760 * 600 / 50);  // the view is full of text
    al_set_target_backbuffer(env().display);
}

TEST_F(MdView, EveryConstructOnDarkAndLight) {
    struct Theme {
        const char* name;
        ALLEGRO_COLOR text, bg;
    } themes[] = {{"dark", al_map_rgb(230, 232, 236), al_map_rgb(24, 26, 32)},
                  {"light", al_map_rgb(30, 32, 36), al_map_rgb(250, 250, 247)}};
    for (const Theme& t : themes) {
        style_ = zq_md_default_style(t.text, t.bg, 18);
        const ZQ_MD_LAYOUT l = lay(kEverything, 640);
        ALLEGRO_BITMAP* bmp = render(l, t.bg, 0);
        const std::string file = output_dir() + "/mdview_" + t.name + ".png";
        ASSERT_TRUE(al_save_bitmap(file.c_str(), bmp)) << file;

        // the code block's backdrop differs from the page; the rule is in the rule colour
        al_lock_bitmap(bmp, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
        for (const ZQ_MD_PRIM& p : l.prims) {
            if (p.kind == ZQ_MD_PRIM_ROUNDED && p.w == l.width) {
                const ALLEGRO_COLOR c = al_get_pixel(bmp, 12 + static_cast<int>(p.w) - 3,
                                                     12 + static_cast<int>(p.y + p.h / 2));
                EXPECT_FALSE(near(c, t.bg, 0.01f)) << t.name;
                EXPECT_TRUE(near(c, t.bg, 0.12f)) << t.name;
            }
            if (p.kind == ZQ_MD_PRIM_LINE && p.h == 0 && p.w == l.width) {
                const ALLEGRO_COLOR c = al_get_pixel(bmp, 12 + 100, 12 + static_cast<int>(p.y));
                EXPECT_TRUE(near(c, style_.rule, 0.1f)) << t.name;
            }
        }
        al_unlock_bitmap(bmp);
        al_destroy_bitmap(bmp);
    }
    al_set_target_backbuffer(env().display);
}

TEST_F(MdView, LineFeedsBreakOnlyWhereAsked) {
    auto tops = [](const ZQ_MD_LAYOUT& l) {
        std::vector<std::pair<std::string, float>> out;
        for (const ZQ_MD_PRIM& p : l.prims)
            if (p.kind == ZQ_MD_PRIM_TEXT) out.emplace_back(p.text, p.y);
        return out;
    };
    const float lh = static_cast<float>(al_get_font_line_height(fonts().regular));
    // a line feed inside a paragraph is a space...
    auto t = tops(lay("first line\nsecond line", 600));
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].first, "first line second line");
    // ...unless the style asks for hard breaks
    style_.hard_breaks = true;
    t = tops(lay("first line\nsecond line", 600));
    ASSERT_EQ(t.size(), 2u);
    EXPECT_FLOAT_EQ(t[1].second - t[0].second, lh);
    style_.hard_breaks = false;
    // an empty quote line leaves an empty line between the quote's paragraphs
    t = tops(lay("> one\n>\n> two", 600));
    ASSERT_EQ(t.size(), 2u);
    EXPECT_FLOAT_EQ(t[1].second - t[0].second, 2 * lh);
}

TEST_F(MdView, MissingFontsFallBackToRegular) {
    ZQ_GUI_MD_FONTS only;
    only.mono = fonts().mono;  // no regular font: the first one given stands in
    const ZQ_MD_LAYOUT l = zq_md_layout(zq_markdown_parse_ex(kEverything, 35), only, style_, 400);
    ASSERT_FALSE(l.prims.empty());
    for (const ZQ_MD_PRIM& p : l.prims) {
        if (p.kind == ZQ_MD_PRIM_TEXT) {
            EXPECT_EQ(p.font, fonts().mono);
        }
    }
    EXPECT_TRUE(zq_md_layout(zq_markdown_parse("x"), ZQ_GUI_MD_FONTS{}, style_, 400).prims.empty());
}

}  // namespace
