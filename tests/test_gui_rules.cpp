// SPDX-License-Identifier: GPL-3.0-or-later
// The interface's pure rules: the scale and the sizes that follow from it, age and distance
// words, the palettes, the red-only night inks and the colour of a device.
#include <allegro5/allegro.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>

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

// WCAG contrast ratio of two opaque colours.
double contrast(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    const auto lum = [](ALLEGRO_COLOR c) {
        const auto lin = [](float v) {
            return v <= 0.03928f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
    };
    const double la = lum(a), lb = lum(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Every theme keeps its text readable: body text on the background and on panels, labels
// on filled buttons; a hovered panel is visibly different and leans towards the text.
// An unknown theme (a preferences file from a newer version) gets the default look.
TEST_F(GuiRules, EveryThemeKeepsTextReadable) {
    for (int t = 0; t < OVK_THEME_COUNT; ++t) {
        const OVK_PALETTE p = ovk_theme_palette(t);
        EXPECT_GE(contrast(p.text, p.bg), 4.5) << "theme " << t;
        EXPECT_GE(contrast(p.text, p.panel), 4.5) << "theme " << t;
        EXPECT_GE(contrast(p.text, p.panel_hi), 4.5) << "theme " << t;
        EXPECT_GE(contrast(p.dim, p.panel), 3.0) << "theme " << t;
        EXPECT_GE(contrast(p.on_primary, p.primary), 3.0) << "theme " << t;
        EXPECT_NE(argb_of(p.panel_hi), argb_of(p.panel)) << "theme " << t;
        EXPECT_LT(contrast(p.text, p.panel_hi), contrast(p.text, p.panel)) << "theme " << t;
        EXPECT_FALSE(p.app_title.empty()) << "theme " << t;
    }
    const OVK_PALETTE sys = ovk_theme_palette(OVK_THEME_SYSTEM);
    for (int bad : {OVK_THEME_COUNT, -1, 1000}) {
        const OVK_PALETTE p = ovk_theme_palette(bad);
        EXPECT_EQ(argb_of(p.bg), argb_of(sys.bg)) << bad;
        EXPECT_EQ(argb_of(p.text), argb_of(sys.text)) << bad;
        EXPECT_EQ(p.header, sys.header) << bad;
    }
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
