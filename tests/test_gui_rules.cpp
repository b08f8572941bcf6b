// SPDX-License-Identifier: GPL-3.0-or-later
// The interface's pure rules: the scale and the sizes that follow from it, age and distance
// words, the readability of every theme, the red-only night inks and the colour of a device.
#include <allegro5/allegro.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ovk_gui.h"
#include "ovk_gui_theme.h"

namespace {

class GuiRules : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr)); }
    void SetUp() override { unsetenv("OVK_TOUCH"); }
    void TearDown() override { unsetenv("OVK_TOUCH"); }
};

uint32_t argb_of(ALLEGRO_COLOR c) {
    return ovk_color_argb(c);
}

OVK_DEVICE device_with(std::optional<OVK_HIT> hit) {
    OVK_DEVICE d;
    d.mac = "AA:BB:CC:DD:EE:FF";
    if (hit) d.hits.push_back(*hit);
    return d;
}

OVK_HIT hit_of(OVK_CATEGORY cat, int confidence) {
    OVK_HIT h;
    h.category = cat;
    h.label = "x";
    h.confidence = confidence;
    return h;
}

TEST_F(GuiRules, ScaleFollowsDensityTouchAndSize) {
    // Desktop: the density as it is, a value not above 0.5 read as 1.
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(1.0f, false, 1), 1.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(2.0f, false, 1), 2.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(0.5f, false, 1), 1.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(0.6f, false, 1), 0.6f);
    // Touch: divided by 1.2 and kept within 1..3.
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(1.2f, true, 1), 1.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(0.8f, true, 1), 1.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(2.4f, true, 1), 2.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(4.0f, true, 1), 3.0f);
    // The size preference multiplies; unknown sizes leave the scale alone.
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(1.0f, false, 0), 0.85f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(1.0f, false, 2), 1.15f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(2.0f, false, 3), 2.6f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(2.4f, true, 3), 2.6f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(1.0f, false, 7), 1.0f);
    EXPECT_FLOAT_EQ(ovk_gui_scale_for(1.0f, false, -1), 1.0f);
}

// What a person sees of the sizes: a larger size choice or a denser screen never makes rows
// or gaps smaller, and a finger gets taller rows than a mouse pointer with the same gaps.
TEST_F(GuiRules, RowsGrowWithTheSizeChoiceAndForFingers) {
    OVK_GUI g;
    for (float density : {1.0f, 1.5f, 2.0f, 3.0f}) {
        float last_row = 0, last_pad = 0;
        for (int size = 0; size <= 3; ++size) {
            g.scale = ovk_gui_scale_for(density, false, size);
            unsetenv("OVK_TOUCH");
            const float row = ovk_row_h(&g), pad = ovk_pad(&g);
            EXPECT_GT(row, last_row) << density << " " << size;
            EXPECT_GT(pad, last_pad) << density << " " << size;
            // A row holds a line of text with a gap above and below it.
            EXPECT_GE(row, 3 * pad);
            EXPECT_FLOAT_EQ(ovk_px(&g, row), row * g.scale);
            setenv("OVK_TOUCH", "1", 1);
            EXPECT_GT(ovk_row_h(&g), row * 1.25f) << "a finger needs a taller target";
            EXPECT_FLOAT_EQ(ovk_pad(&g), pad);
            last_row = row;
            last_pad = pad;
        }
    }
}

TEST_F(GuiRules, AgeTextUnitsAndBoundaries) {
    const int64_t now = 1'700'000'000'000;
    EXPECT_EQ(ovk_age_text(now, now), "now");
    EXPECT_EQ(ovk_age_text(now, now - 1999), "now");
    EXPECT_EQ(ovk_age_text(now, now + 5000), "now");  // a clock step back is not "-5s ago"
    EXPECT_EQ(ovk_age_text(now, now - 2000), "2s ago");
    EXPECT_EQ(ovk_age_text(now, now - 119999), "119s ago");
    EXPECT_EQ(ovk_age_text(now, now - 120000), "2 min ago");
    EXPECT_EQ(ovk_age_text(now, now - 7199999), "119 min ago");
    EXPECT_EQ(ovk_age_text(now, now - 7200000), "2 h ago");
    EXPECT_EQ(ovk_age_text(now, now - 172799999), "47 h ago");
    EXPECT_EQ(ovk_age_text(now, now - 172800000), "2 d ago");
    EXPECT_EQ(ovk_age_text(now, now - 40LL * 86400000), "40 d ago");
}

TEST_F(GuiRules, SignalBands) {
    EXPECT_STREQ(ovk_band(-30), "Near");
    EXPECT_STREQ(ovk_band(-60), "Near");
    EXPECT_STREQ(ovk_band(-61), "Nearby");
    EXPECT_STREQ(ovk_band(-80), "Nearby");
    EXPECT_STREQ(ovk_band(-81), "Far");
    EXPECT_STREQ(ovk_band(-127), "Far");
}

// Every text of the interface against what it is drawn on, in every theme, from the theme's
// colours and the colours drawn from them: 4.5:1 for text, 3:1 for large text and indicators.
struct INK_PAIR {
    std::string what;
    ALLEGRO_COLOR fg, bg;
    double min;
};

std::vector<INK_PAIR> drawn_pairs(const OVK_GUI& g) {
    const OVK_PALETTE& p = g.pal;
    std::vector<INK_PAIR> v;
    const auto add = [&v](std::string what, ALLEGRO_COLOR fg, ALLEGRO_COLOR bg, double min) {
        v.push_back(INK_PAIR{std::move(what), fg, bg, min});
    };
    const std::pair<const char*, ALLEGRO_COLOR> surfaces[] = {
        {"background", p.bg}, {"panel", p.panel}, {"hovered widget or tooltip", p.panel_hi}};
    for (const auto& [name, bg] : surfaces) {
        add(std::string("text on ") + name, p.text, bg, 4.5);
        add(std::string("dim text on ") + name, p.dim, bg, 4.5);
        add(std::string("link on ") + name, p.secondary, bg, 4.5);
        add(std::string("hovered link on ") + name, ovk_theme_link_hover(p), bg, 4.5);
    }
    add("text of a selected button (a filter)", p.text, ovk_theme_selected_bg(p), 4.5);
    for (int state = 0; state < 3; ++state)
        add("emphasised button text, state " + std::to_string(state), p.on_primary,
            ovk_theme_accent_bg(p, state), 4.5);
    add("header title", p.title, p.bg, 3.0);
    add("header sub-line", p.dim, p.bg, 4.5);
    // The radar.
    add("radar ring label and legend", p.scope_text, p.bg, 4.5);
    add("radar ring label on a veil", p.scope_text, ovk_theme_radar_veil(&g), 4.5);
    add("plain radar dot", p.scope, p.bg, 3.0);
    add("radar centre", p.trace, p.bg, 3.0);
    const std::vector<ALLEGRO_COLOR> devices = ovk_theme_device_colors(p);
    for (size_t i = 0; i < devices.size(); ++i) {
        const ALLEGRO_COLOR c = devices[i];
        const std::string n = " (device colour " + std::to_string(i) + ")";
        add("flagged radar dot" + n, ovk_theme_dot(&g, c), p.bg, 3.0);
        add("flagged radar label" + n, ovk_theme_radar_label(&g, c), p.bg, 4.5);
        add("flagged radar label on a veil" + n, ovk_theme_radar_label(&g, c),
            ovk_theme_radar_veil(&g), 4.5);
        // A flagged row, still and through its whole pulse.
        for (float tint = 0.12f; tint <= OVK_ROW_TINT_MAX + 1e-4f; tint += 0.02f) {
            const ALLEGRO_COLOR row = ovk_theme_row_bg(&g, c, tint);
            add("row title" + n, p.text, row, 4.5);
            add("row details" + n, p.dim, row, 4.5);
        }
        add("list badge" + n, ovk_theme_fill_ink(&g), ovk_theme_fill(&g, c), 4.5);
    }
    // Coloured fills: the banner's kinds, a whitelisted badge, alert notices of every category
    // and of a follower, the detail's badges.
    std::vector<uint32_t> fills = {0xFFB26A00u, 0xFFC8431Au, 0xFF2E7D32u, 0xFFB3261Eu, 0xFF6B7B80u};
    for (int c = 0; c < OVK_CAT_COUNT; ++c) fills.push_back(ovk_cat_color(c));
    for (uint32_t f : fills) {
        char name[64];
        std::snprintf(name, sizeof name, "text on a %06X fill", f & 0xFFFFFFu);
        add(name, ovk_theme_fill_ink(&g), ovk_theme_fill(&g, ovk_ink(&g, f)), 4.5);
        // The detail's warnings in those colours on its panel.
        std::snprintf(name, sizeof name, "%06X text on the panel", f & 0xFFFFFFu);
        add(name, ovk_theme_readable(&g, ovk_ink(&g, f), p.panel), p.panel, 4.5);
    }
    return v;
}

bool is_red(ALLEGRO_COLOR c) {
    return c.g <= 0.45f * c.r + 1e-3f && c.b <= 0.45f * c.r + 1e-3f;
}

TEST_F(GuiRules, EveryTextReadsInEveryTheme) {
    for (int t = 0; t < OVK_THEME_COUNT; ++t) {
        OVK_GUI g;
        g.pal = ovk_theme_palette(t);
        double normal = 21, large = 21;
        for (const INK_PAIR& pr : drawn_pairs(g)) {
            const double r = ovk_contrast(pr.fg, pr.bg);
            (pr.min > 4 ? normal : large) = std::min(pr.min > 4 ? normal : large, r);
            EXPECT_GE(r + 1e-9, pr.min) << "theme " << t << ": " << pr.what << " " << std::hex
                                        << argb_of(pr.fg) << " on " << argb_of(pr.bg);
            if (g.pal.night_drive) {
                EXPECT_TRUE(is_red(pr.fg)) << pr.what << " " << std::hex << argb_of(pr.fg);
                EXPECT_TRUE(is_red(pr.bg)) << pr.what << " " << std::hex << argb_of(pr.bg);
            }
        }
        RecordProperty("lowest_" + std::to_string(t),
                       std::to_string(normal) + " / " + std::to_string(large));
    }
    // The formula itself: black on white is 21:1, a colour on itself 1:1, and the mid grey
    // #777777 just misses 4.5:1 on white.
    EXPECT_NEAR(ovk_contrast(al_map_rgb(0, 0, 0), al_map_rgb(255, 255, 255)), 21.0, 1e-6);
    EXPECT_NEAR(ovk_contrast(al_map_rgb(119, 119, 119), al_map_rgb(119, 119, 119)), 1.0, 1e-9);
    EXPECT_NEAR(ovk_contrast(al_map_rgb(119, 119, 119), al_map_rgb(255, 255, 255)), 4.48, 0.01);
    // A hovered panel is visibly different and leans towards the text.
    for (int t = 0; t < OVK_THEME_COUNT; ++t) {
        const OVK_PALETTE p = ovk_theme_palette(t);
        EXPECT_NE(argb_of(p.panel_hi), argb_of(p.panel)) << "theme " << t;
        EXPECT_LT(ovk_contrast(p.text, p.panel_hi), ovk_contrast(p.text, p.panel)) << t;
        EXPECT_FALSE(p.app_title.empty()) << "theme " << t;
    }
    // Themes outside the table (a preferences file from a newer version) read as the system
    // default.
    const OVK_PALETTE sys = ovk_theme_palette(OVK_THEME_SYSTEM);
    for (int bad : {OVK_THEME_COUNT, -1, 1000}) {
        const OVK_PALETTE p = ovk_theme_palette(bad);
        EXPECT_EQ(argb_of(p.bg), argb_of(sys.bg)) << bad;
        EXPECT_EQ(argb_of(p.text), argb_of(sys.text)) << bad;
        EXPECT_EQ(p.header, sys.header) << bad;
    }
    // A colour is lifted only as far as it needs: a light theme's ink already readable stays.
    const OVK_PALETTE light = ovk_theme_palette(OVK_THEME_LIGHT);
    EXPECT_EQ(argb_of(light.text), 0xFF1A1F21u);
    EXPECT_EQ(argb_of(light.bg), 0xFFFAFBFBu);
}

TEST_F(GuiRules, NightInksAreShadesOfRed) {
    EXPECT_EQ(ovk_night_argb(0xFFFFFFFFu), 0xFFFF1912u);  // (255, 25, 18)
    EXPECT_EQ(ovk_night_argb(0xFF000000u), 0xFF5A0906u);  // (90, 9, 6)
    EXPECT_EQ(ovk_night_argb(0x80FFFFFFu), 0x80FF1912u);  // alpha kept
    // Pure green is brighter than pure blue, and both stay red.
    const uint32_t g = ovk_night_argb(0xFF00FF00u), b = ovk_night_argb(0xFF0000FFu);
    EXPECT_GT((g >> 16) & 0xFF, (b >> 16) & 0xFF);
    EXPECT_LT((g >> 8) & 0xFF, (g >> 16) & 0xFF);

    OVK_GUI g_day, g_night;
    g_day.pal = ovk_theme_palette(OVK_THEME_DARK);
    g_night.pal = ovk_theme_palette(OVK_THEME_NIGHT_DRIVE);
    EXPECT_EQ(argb_of(ovk_ink(&g_day, 0xFF1F5FBFu)), 0xFF1F5FBFu);
    EXPECT_EQ(argb_of(ovk_ink(&g_night, 0xFF1F5FBFu)), ovk_night_argb(0xFF1F5FBFu));
}

TEST_F(GuiRules, DeviceColourByVerdictTier) {
    OVK_GUI day, night;
    day.pal = ovk_theme_palette(OVK_THEME_LIGHT);
    night.pal = ovk_theme_palette(OVK_THEME_NIGHT_DRIVE);
    // A weak verdict is amber whatever its category.
    for (OVK_CATEGORY c : {OVK_CAT_DRONE, OVK_CAT_ALPR, OVK_CAT_TRACKER}) {
        EXPECT_EQ(argb_of(ovk_device_color(&day, device_with(hit_of(c, 30)))), 0xFFB26A00u);
        EXPECT_EQ(argb_of(ovk_device_color(&night, device_with(hit_of(c, 30)))), 0xFFA4100Bu);
    }
    // Medium and strong verdicts take their category's colour (night-converted at night).
    const OVK_DEVICE drone = device_with(hit_of(OVK_CAT_DRONE, 60));
    EXPECT_EQ(argb_of(ovk_device_color(&day, drone)), ovk_cat_color(OVK_CAT_DRONE));
    EXPECT_EQ(argb_of(ovk_device_color(&night, drone)),
              ovk_night_argb(ovk_cat_color(OVK_CAT_DRONE)));
    EXPECT_EQ(argb_of(ovk_device_color(&day, device_with(hit_of(OVK_CAT_TRACKER, 95)))),
              ovk_cat_color(OVK_CAT_TRACKER));
    // No verdict: grey, or a dark red at night.
    EXPECT_EQ(argb_of(ovk_device_color(&day, device_with(std::nullopt))), 0xFF6B7B80u);
    EXPECT_EQ(argb_of(ovk_device_color(&night, device_with(std::nullopt))), 0xFFA6100Bu);
}

}  // namespace
