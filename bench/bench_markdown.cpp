// SPDX-License-Identifier: GPL-3.0-or-later
// Markdown: parse speed over 100 KB of mixed constructs and over hostile text, and the cost of
// laying out a device detail page (200 logged matches) at the pop-up's width. The layout runs
// without a display: the fonts live in memory bitmaps.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_ttf.h>
#include <benchmark/benchmark.h>

#include <string>

#include "zq_markdown.h"
#include "zq_mdview.h"

namespace {

// Headings, facts lists with code values, a table, a quote, a code block and a paragraph
// with emphasis and links, repeated to `size` bytes.
std::string mixed(size_t size) {
    const std::string unit =
        "## Identity\n\n"
        "- **Device type:** Body camera\n"
        "- **Advertised name:** `Axon Body 3 X|42`\n"
        "- **Bluetooth company:** Axon Enterprise (0x0A4E)\n"
        "  - nested *detail* with ~~old~~ text\n"
        "1. first\n2. second\n\n"
        "| Field | Value |\n|:--|--:|\n| RSSI | -61 dBm |\n| Seen | 12 times |\n\n"
        "> A match is a broadcast signature, not proof.\n\n"
        "```\n02 01 06 1B FF 4E 0A 01 02 03 04 05 06 07\n```\n\n"
        "Orvik flags **body cameras**, *plate readers* and [drones](https://example.org/d) "
        "using snake_case_names and <https://example.org/x>.\n\n";
    std::string s;
    while (s.size() < size) s += unit;
    return s;
}

std::string repeat(const std::string& u, size_t size) {
    std::string s;
    while (s.size() < size) s += u;
    return s;
}

void parse(benchmark::State& st, const std::string& text, unsigned flags) {
    for (auto _ : st) {
        zq_markdown_doc d = zq_markdown_parse_ex(text, flags);
        benchmark::DoNotOptimize(d.blocks.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_MarkdownParseMixed(benchmark::State& st) {
    static const std::string text = mixed(100 * 1024);
    parse(st, text, static_cast<unsigned>(st.range(0)));
}
BENCHMARK(BM_MarkdownParseMixed)->Arg(0)->Arg(35)->Arg(511);

void BM_MarkdownParseHostile(benchmark::State& st) {
    static const char* const units[] = {"*",      "[", "_a ", "[a](", "<http://", "*a **b ~~c _d ",
                                        "- x\n  "};
    const std::string text = repeat(units[st.range(0)], 100 * 1024);
    st.SetLabel(units[st.range(0)]);
    parse(st, text, 511);
}
BENCHMARK(BM_MarkdownParseHostile)->DenseRange(0, 6);

void BM_MarkdownToPlain(benchmark::State& st) {
    static const std::string text = mixed(100 * 1024);
    for (auto _ : st) {
        std::string s = zq_markdown_to_plain(text, 35);
        benchmark::DoNotOptimize(s.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_MarkdownToPlain);

// A device detail page: the facts, 200 logged matches and the raw advertisement.
std::string detail_page() {
    std::string s =
        "## Why it's flagged\n\n"
        "- **Axon body camera:** Body camera - Strong (92%)\n"
        "- **Evidence:** `name 'Axon Body 3 X|42' matched`\n"
        "- **Source:** Built-in signature\n\n"
        "## Identity\n\n";
    for (int i = 0; i < 14; ++i)
        s += "- **Fact " + std::to_string(i) +
             ":** a value that is sometimes long enough to "
             "wrap at the width of the pop-up when the window is narrow\n";
    s += "\n## History\n\n- **Logged matches:** 200\n";
    for (int i = 0; i < 200; ++i)
        s += "- **12:" + std::to_string(10 + i % 50) + ":0" + std::to_string(i % 10) +
             ":** Axon body camera - -" + std::to_string(40 + i % 50) +
             " dBm - 59.91234, 10.75678\n";
    s += "\n## Raw advertisement\n\n";
    for (int i = 0; i < 12; ++i)
        s += "- **AD 0x" + std::to_string(10 + i) +
             " Manufacturer Specific Data:** `4E 0A 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E "
             "0F 10 11 12 13 14 15 16`\n";
    return s;
}

struct Fonts {
    ZQ_GUI_MD_FONTS f;
    bool ok = false;
    Fonts() {
        if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon()) return;
        al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
        const std::string dir = "/usr/share/fonts/truetype/dejavu/";
        auto load = [&](const char* n, int size) {
            return al_load_ttf_font((dir + n).c_str(), size, 0);
        };
        f.regular = load("DejaVuSans.ttf", 15);
        f.bold = load("DejaVuSans-Bold.ttf", 15);
        f.italic = load("DejaVuSans-Oblique.ttf", 15);
        f.bolditalic = load("DejaVuSans-BoldOblique.ttf", 15);
        f.mono = load("DejaVuSansMono.ttf", 14);
        f.h1 = load("DejaVuSans-Bold.ttf", 26);
        f.h2 = load("DejaVuSans-Bold.ttf", 21);
        f.h3 = load("DejaVuSans-Bold.ttf", 17);
        ok = f.regular && f.bold && f.mono && f.h2;
    }
};

const Fonts& fonts() {
    static const Fonts f;
    return f;
}

void BM_MdLayoutDetailPage(benchmark::State& st) {
    if (!fonts().ok) {
        st.SkipWithError("no DejaVu fonts");
        return;
    }
    const ZQ_MD_STYLE style =
        zq_md_default_style(al_map_rgb(230, 232, 236), al_map_rgb(24, 26, 32), 18);
    const zq_markdown_doc doc = zq_markdown_parse_ex(detail_page(), 35);
    size_t bands = 0;
    for (auto _ : st) {
        ZQ_MD_LAYOUT l = zq_md_layout(doc, fonts().f, style, static_cast<float>(st.range(0)));
        bands = l.bands.size();
        benchmark::DoNotOptimize(l.prims.data());
    }
    st.counters["lines"] = static_cast<double>(bands);
}
BENCHMARK(BM_MdLayoutDetailPage)->Arg(360)->Arg(840)->Unit(benchmark::kMicrosecond);

void BM_MdParseAndLayoutDetailPage(benchmark::State& st) {
    if (!fonts().ok) {
        st.SkipWithError("no DejaVu fonts");
        return;
    }
    const ZQ_MD_STYLE style =
        zq_md_default_style(al_map_rgb(230, 232, 236), al_map_rgb(24, 26, 32), 18);
    const std::string text = detail_page();
    for (auto _ : st) {
        ZQ_MD_LAYOUT l = zq_md_layout(zq_markdown_parse_ex(text, 35), fonts().f, style, 840);
        benchmark::DoNotOptimize(l.prims.data());
    }
}
BENCHMARK(BM_MdParseAndLayoutDetailPage)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
