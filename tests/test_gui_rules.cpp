// SPDX-License-Identifier: GPL-3.0-or-later
// The interface's pure rules: the scale and the sizes that follow from it, age and distance
// words, the palettes, the red-only night inks and the colour of a device.
#include <allegro5/allegro.h>
#include <gtest/gtest.h>
#include <stdlib.h>

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

TEST_F(GuiRules, SizesFollowTheScaleAndTouchMode) {
    OVK_GUI g;
    g.scale = ovk_gui_scale_for(1.0f, false, 2);
    EXPECT_NEAR(ovk_row_h(&g), 36.8f, 1e-4);
    EXPECT_NEAR(ovk_pad(&g), 9.2f, 1e-4);
    EXPECT_NEAR(ovk_px(&g, 100), 115.0f, 1e-4);
    setenv("OVK_TOUCH", "1", 1);
    EXPECT_NEAR(ovk_row_h(&g), 44 * 1.15f, 1e-4);
    EXPECT_NEAR(ovk_pad(&g), 9.2f, 1e-4);
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

TEST_F(GuiRules, PalettesAndTheirDerivedColours) {
    const OVK_PALETTE sys = ovk_theme_palette(OVK_THEME_SYSTEM);
    for (int bad : {12, -1, 1000}) {
        const OVK_PALETTE p = ovk_theme_palette(bad);
        EXPECT_EQ(argb_of(p.bg), argb_of(sys.bg)) << bad;
        EXPECT_EQ(p.app_title, "Orvik") << bad;
        EXPECT_EQ(p.header, OVK_HEADER_NONE) << bad;
    }
    EXPECT_EQ(argb_of(sys.bg), 0xFF121416u);
    // A tenth of the way from panel to text in a dark theme, 7 % in a light one.
    EXPECT_EQ(argb_of(sys.panel_hi), 0xFF32373Au);
    const OVK_PALETTE light = ovk_theme_palette(OVK_THEME_LIGHT);
    EXPECT_FALSE(light.dark);
    EXPECT_EQ(argb_of(light.panel_hi), argb_of(ovk_mix(light.panel, light.text, 0.07f)));
    EXPECT_EQ(argb_of(light.border), argb_of(ovk_mix(light.panel, light.text, 0.22f)));

    // Which themes are special.
    for (int t = 0; t < OVK_THEME_COUNT; ++t) {
        const OVK_PALETTE p = ovk_theme_palette(t);
        EXPECT_EQ(p.night_drive, t == OVK_THEME_NIGHT_DRIVE) << t;
        EXPECT_EQ(p.mono_font,
                  t == OVK_THEME_DEDSEC || t == OVK_THEME_NIGHT_VISION || t == OVK_THEME_AMBER)
            << t;
        EXPECT_EQ(p.header != OVK_HEADER_NONE, t >= OVK_THEME_DEDSEC) << t;
    }
    EXPECT_EQ(ovk_theme_palette(OVK_THEME_PAPER).header, OVK_HEADER_MASTHEAD);
    EXPECT_EQ(ovk_theme_palette(OVK_THEME_BLUEPRINT).app_title, "ORVIK // DWG-001");
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
