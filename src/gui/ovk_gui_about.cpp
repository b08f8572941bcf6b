// SPDX-License-Identifier: GPL-3.0-or-later
// The "About & sources" page.
//
// Index
//   1. The page text
//   2. Build
//   3. Refresh (show)
//   4. Commands: links
#include "ovk_gui_about.h"

#include <algorithm>

#include "ovk_gui.h"
#include "ovk_platform.h"
#include "ovk_startup.h"
#include "ovk_vendordb.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. The page text: version, platform name and the number of address blocks loaded.
// ---------------------------------------------------------------------------------------

inline constexpr size_t kTextMax = 5999;

const char* const kTemplate =
    "# Orvik %s\n"
    "\n"
    "Orvik is made by Brackwater and its contributors and is free software under the GNU "
    "General Public License, version 3 or later. The data tables and fonts it uses keep their "
    "own licences, listed below; their full texts travel with the program in its copyright "
    "file (/usr/share/doc/orvik/copyright when installed).\n"
    "\n"
    "Drawn with Allegro 5 and Orvik's own widget toolkit. Platform: %s.\n"
    "\n"
    "**Privacy.** Orvik only receives. It never transmits, connects to, jams or spoofs "
    "anything. Everything it records stays on this device. The internet is used only for map "
    "tiles while a map is open and, when you ask for it, for the list of plate cameras in the "
    "area on screen.\n"
    "\n"
    "## What a match means\n"
    "\n"
    "- A match is a broadcast signature, not proof: the same radio chips are sold to many "
    "makers, and names can be copied.\n"
    "- Weak matches (under 50%%) must be verified with your own eyes before you act on them.\n"
    "- Signal strength is not a reliable distance: walls, bodies and antennas change it "
    "several times over.\n"
    "\n"
    "## Signature sources\n"
    "\n"
    "- The IEEE Registration Authority's public listing of address blocks (%s prefixes "
    "loaded); IEEE asserts no copyright in it.\n"
    "- Bluetooth SIG assigned numbers (company identifiers, service UUIDs, appearances), "
    "through Nordic Semiconductor's bluetooth-numbers-database (BSD-3-Clause).\n"
    "- A public camera-beacon signature reference (Apache-2.0) and field captures.\n"
    "- ASTM F3411 Remote ID for drones and their operators' positions.\n"
    "- The Find Hub network accessory protocol for item trackers.\n"
    "- Published research on tracking, fingerprinting and address randomisation.\n"
    "- Plate cameras on the map: [OpenStreetMap](https://www.openstreetmap.org/copyright) "
    "contributors, under the Open Database License (ODbL); map tiles likewise from "
    "OpenStreetMap.\n"
    "\n"
    "Fonts: DejaVu Sans and DejaVu Sans Mono (Bitstream Vera licence; DejaVu changes in the "
    "public domain) and Share Tech Mono by Carrois Type Design ([SIL Open Font License "
    "1.1](https://openfontlicense.org)), used by the styled themes. Themes and headers are "
    "Orvik's own.\n"
    "\n"
    "## Limits\n"
    "\n"
    "- Phone and laptop radios hear only what is broadcast nearby; devices that stay silent, "
    "or talk only when paired, are not heard.\n"
    "- WiFi scanning sees access points only, not the devices connected to them.\n"
    "- Randomized addresses defeat matching by address block; such devices are matched by what "
    "they say, when they say enough.\n"
    "- Most plate cameras send over cellular links and broadcast nothing a radio here can "
    "hear; the map's known cameras fill part of that gap.\n"
    "- Checks of mobile cells need cell information, which a Linux computer does not have.\n"
    "\n"
    "Laws on recording, scanning and following people differ from place to place: check "
    "yours.\n";

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

void on_link(int, const char* url, void*) {
    if (url) ovk_platform_open_url(url);
}

struct STATE {
    int view = -1;  // the markdown view
};

STATE& st() {
    static STATE s;
    return s;
}

// 46521 as "46,521".
std::string grouped(size_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

std::string ovk_about_text() {
    std::string s = ovk_format(kTextMax + 1, kTemplate, OVK_VERSION, ovk_platform_name(),
                               grouped(ovk_vendordb_oui_count()).c_str());
    if (s.size() > kTextMax) s.resize(kTextMax);
    return s;
}

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_about_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_ABOUT] >= 0) return;
    st().view = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_ABOUT, "About & sources", 760, 860);
    if (win < 0) return;
    ZQ_GUI_CTX* ctx = g->ctx;
    zq_gui_window_set_flags(
        ctx, win, ZQ_GUI_WIN_CLOSE_BTN | (ovk_platform_uses_touch() ? ZQ_GUI_WIN_FLAG_40 : 0));
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_ABOUT, &cw, &ch);
    if (const ZQ_GUI_STYLE* style = zq_gui_style(ctx)) cw += style->scrollbar_size;
    const float p = ovk_pad(g);
    ZQ_GUI_MD_FONTS fonts;
    fonts.regular = g->font;
    fonts.bold = g->font_bold;
    fonts.mono = g->font_mono;
    fonts.h1 = g->font_title;
    fonts.h2 = g->font_big;
    fonts.h3 = g->font_bold;
    st().view = zq_gui_add_markdownview(ctx, win, p, p, cw - 2 * p, std::max(p, ch - 2 * p), fonts);
    zq_gui_markdownview_set_link_callback(ctx, st().view, on_link, g);
    // Reopened by a rebuild: show the page again.
    zq_gui_markdownview_set_text(ctx, st().view, ovk_about_text());
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

void ovk_about_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_ABOUT] < 0) ovk_about_build(g);
    zq_gui_markdownview_set_text(g->ctx, st().view, ovk_about_text());
    ovk_gui_open_popup(g, OVK_POP_ABOUT);
}
