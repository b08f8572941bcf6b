// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The setup wizard in the real frame on a private X server: it opens by itself on a first
// run, a theme picked applies at once and the wizard comes back at its step, closed half-way
// it resumes with its choices, and Finish applies them without undoing what was changed
// elsewhere meanwhile.
#include "ovk_gui_setup.h"
#include "ovk_test_gui.h"
#include "ovk_watchlist.h"

namespace {

using ovk_test::GuiScreenTest;
constexpr int kSetup = OVK_POP_SETUP;

class GuiSetup : public GuiScreenTest {
  protected:
    std::string step() {
        return zq_gui_label_get_text(g_.ctx, find(g_.popup[kSetup], [&](ZQ_GUI_WIDGET& w) {
                                         return w.type == ZQ_GUI_LABEL && w.font == g_.font_small;
                                     }));
    }
    void next() {
        click(find(g_.popup[kSetup], [&](ZQ_GUI_WIDGET& w) {
            const std::string l = zq_gui_button_get_label(g_.ctx, w.id);
            return w.type == ZQ_GUI_BUTTON && (l == "Next" || l == "Finish");
        }));
    }
    int themes() { return by_tip(g_.popup[kSetup], "Pick a theme; it applies right away"); }
};

TEST_F(GuiSetup, AThemePickedAppliesAtOnceAndTheWizardStaysAtItsStep) {
    OVK_PREFS p = ovk_prefs_get();
    p.onboarding_done = 0;
    ovk_prefs_set(p);
    init();
    ASSERT_TRUE(shown(kSetup)) << "a first run opens the wizard";
    EXPECT_EQ(step(), "STEP 1 OF 6");
    EXPECT_FALSE(zq_gui_get_widget(g_.ctx, button_in(g_.popup[kSetup], "Back"))->enabled);
    shot("setup_dark_0");
    next();
    EXPECT_EQ(step(), "STEP 2 OF 6");
    EXPECT_TRUE(zq_gui_get_widget(g_.ctx, themes())->visible);
    click(themes(), OVK_THEME_PAPER);
    tick();  // the interface is rebuilt in the new look
    EXPECT_EQ(g_.pal.header, OVK_HEADER_MASTHEAD);
    EXPECT_EQ(ovk_prefs_get().theme, OVK_THEME_PAPER);
    ASSERT_TRUE(shown(kSetup));
    EXPECT_EQ(step(), "STEP 2 OF 6");
    EXPECT_EQ(zq_gui_radiolist_get_selected(g_.ctx, themes()), OVK_THEME_PAPER);
    shot("setup_light_1");
    for (int i = 2; i <= 5; ++i) {
        next();
        shot("setup_light_" + std::to_string(i));
    }
    EXPECT_EQ(step(), "STEP 6 OF 6");
    EXPECT_GE(button_in(g_.popup[kSetup], "Finish"), 0);
    EXPECT_FALSE(zq_gui_get_widget(g_.ctx, themes())->visible) << "one page at a time";
}

TEST_F(GuiSetup, ClosedHalfWayItResumesAndFinishKeepsWhatChangedMeanwhile) {
    init();
    ASSERT_FALSE(shown(kSetup)) << "done once: not offered at start-up";
    ovk_setup_show(&g_);
    for (int i = 0; i < 3; ++i) next();
    ASSERT_EQ(step(), "STEP 4 OF 6");
    click(by_tip(g_.popup[kSetup], "Weaker matches are only highlighted"), 2);
    click(checkbox(g_.popup[kSetup], "Spoken alerts (e.g. while driving)"));
    key(ALLEGRO_KEY_ESCAPE);
    ASSERT_FALSE(shown(kSetup));

    // Meanwhile, in the settings: Bluetooth off.
    OVK_PREFS p = ovk_prefs_get();
    p.ble_enabled = 0;
    ovk_gui_set_prefs(&g_, p);

    ovk_setup_show(&g_);
    EXPECT_EQ(step(), "STEP 4 OF 6");
    EXPECT_EQ(zq_gui_radiolist_get_selected(
                  g_.ctx, by_tip(g_.popup[kSetup], "Weaker matches are only highlighted")),
              2);
    EXPECT_TRUE(zq_gui_checkbox_is_checked(
        g_.ctx, checkbox(g_.popup[kSetup], "Spoken alerts (e.g. while driving)")));
    next();
    click(checkbox(g_.popup[kSetup], "Save GPS position with logged matches (privacy-sensitive)"));
    next();
    next();  // Finish
    EXPECT_FALSE(shown(kSetup));
    EXPECT_TRUE(said("All set. Press Start scanning to begin."));
    p = ovk_prefs_get();
    EXPECT_EQ(p.alert_threshold, 80);
    EXPECT_EQ(p.voice_enabled, 1);
    EXPECT_EQ(p.gps_tagging, 1);
    EXPECT_EQ(p.onboarding_done, 1);
    EXPECT_EQ(p.ble_enabled, 0) << "the wizard does not undo a change made elsewhere";

    // A new run of the wizard starts over, from the preferences now in force; finished
    // while scanning runs, it does not ask for a start.
    // The global list of vendor prefixes turned off meanwhile (the rules are left as they
    // were): they follow once the wizard is finished.
    const size_t rules = ovk_watchlist_all().size();
    p.preset_enabled[0] = 0;
    ovk_gui_set_prefs(&g_, p);
    ovk_setup_show(&g_);
    EXPECT_EQ(step(), "STEP 1 OF 6");
    ASSERT_EQ(ovk_pipeline_init(), 0);
    ovk_scan_set_demo_override(1);
    ASSERT_EQ(ovk_scan_start(), 0);
    for (int i = 0; i < 6; ++i) next();
    EXPECT_FALSE(shown(kSetup));
    // (said once written; looked at before the demo's alerts cover it)
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));
    EXPECT_EQ(toast(), "All set. Scanning is on.");
    EXPECT_TRUE(pump([&] { return ovk_watchlist_all().size() < rules; }))
        << "the rules follow the lists chosen";
    ovk_scan_stop();
    ovk_scan_wait_idle(10000);
    ovk_pipeline_shutdown();
    ovk_scan_set_demo_override(0);
}

}  // namespace
