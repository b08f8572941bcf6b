// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The two pages shown in the markdown view, in the real frame on a private X server: the
// signature report of an unknown device, copied to the clipboard and read back by xclip as
// JSON (and nothing copied once the device has gone), and the about page.
#include "ovk_app_util.h"
#include "ovk_gui_about.h"
#include "ovk_gui_report.h"
#include "ovk_test_gui.h"

namespace {

using ovk_test::GuiScreenTest;
constexpr int kRep = OVK_POP_REPORT;

class GuiPages : public GuiScreenTest {
  protected:
    std::string page(int popup) {
        const int v =
            find(g_.popup[popup], [](ZQ_GUI_WIDGET& w) { return w.type == ZQ_GUI_MARKDOWNVIEW; });
        return zq_gui_markdownview_get_text(g_.ctx, v);
    }
};

TEST_F(GuiPages, AReportIsCopiedAsJsonWithTheNoteAndNothingOnceTheDeviceHasGone) {
    const int64_t now = ovk_now_ms();
    ovk_registry_start_session(now);
    OVK_ADVERT a;
    a.mac = "00:25:DF:4A:19:C2";
    a.rssi = -61;
    a.name = "Cam 123456789";
    a.addr_type = OVK_ADDR_PUBLIC;
    a.mfg.push_back(OVK_MFG{0x034D, {0x45, 0x43, 0x49, 0x56}});
    a.timestamp = now;
    ovk_registry_report(a, {}, nullptr, "Taser International", nullptr, nullptr, now);
    init();
    ASSERT_FALSE(x_window().empty());
    listen(true);

    ovk_report_show(&g_, a.mac);
    ASSERT_TRUE(pump([&] { return shown(kRep); }));
    const int note =
        by_tip(g_.popup[kRep], "A short note added to the report (300 characters at most)");
    x_click(note);
    ovk_test::x_run("xdotool type --delay 5 'dashcam?'");
    ASSERT_TRUE(pump([&] {
        return page(kRep).find("\"whatIThinkItIs\": \"dashcam?\"") != std::string::npos;
    })) << page(kRep);
    EXPECT_NE(page(kRep).find("This is exactly what is shared"), std::string::npos);
    shot("report");
    x_click(button_in(g_.popup[kRep], "Copy report"));
    ASSERT_TRUE(pump([&] { return toast() == "Copied to clipboard"; }));
    listen(false);

    const auto clip = ovk_test::xclip_get();
    ASSERT_EQ(clip.rc, 0) << clip.out;
    OVK_JSON j = ovk_json_parse(clip.out);
    ASSERT_TRUE(j) << clip.out;
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "format")->valuestring, "orvik-signature-report/1");
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "oui")->valuestring, "00:25:DF");
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "namePattern")->valuestring, "Cam #########");
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "whatIThinkItIs")->valuestring, "dashcam?");
    EXPECT_EQ(clip.out.find("4A:19:C2"), std::string::npos) << "no full address";

    // In a light look too.
    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_LIGHT;
    ovk_gui_set_prefs(&g_, p);
    tick();
    ovk_report_show(&g_, a.mac);
    ASSERT_TRUE(pump([&] { return page(kRep).find("\"oui\": \"00:25:DF\"") != std::string::npos; }))
        << page(kRep);
    shot("report_light");

    // Gone from the registry: while the engine is busy the page says it is reading (it was
    // blank), then that the device has gone; the clipboard keeps what it had.
    ovk_registry_clear();
    ASSERT_TRUE(ovk_test::xclip_set("kept"));
    {
        ovk_test::PortHold hold(&g_);
        ASSERT_TRUE(pump([&] { return hold.started(); }));
        ovk_report_show(&g_, a.mac);
        for (int i = 0; i < 3; ++i) tick();
        EXPECT_EQ(page(kRep), "Reading...");
        click(button_in(g_.popup[kRep], "Copy report"));
        EXPECT_EQ(ovk_test::xclip_get().out, "kept");
    }
    EXPECT_TRUE(pump([&] { return page(kRep) == "Device no longer in range."; })) << page(kRep);
    EXPECT_TRUE(zq_gui_textarea_get_text(g_.ctx, note).empty())
        << "a new report starts without a note";
    click(button_in(g_.popup[kRep], "Copy report"));
    EXPECT_EQ(ovk_test::xclip_get().out, "kept");
}

TEST_F(GuiPages, AboutNamesVersionPlatformSourcesAndLicences) {
    init();
    ovk_about_show(&g_);
    ASSERT_TRUE(shown(OVK_POP_ABOUT));
    const std::string text = page(OVK_POP_ABOUT);
    EXPECT_LE(text.size(), 5999u);
    for (const std::string& want :
         {std::string("# Orvik 0.2.0-trixie"), std::string("Platform: linux."),
          std::string("(46,521 prefixes loaded)"), std::string("Bluetooth SIG"),
          std::string("OpenStreetMap"), std::string("DejaVu"), std::string("Share Tech Mono"),
          std::string("SIL Open Font License"), std::string("## What a match means"),
          std::string("## Signature sources"), std::string("## Limits")})
        EXPECT_NE(text.find(want), std::string::npos) << want;
    EXPECT_EQ(ovk_vendordb_oui_count(), 46521u) << "the table shipped in assets/vendors";
    // The whole page can be read: the view scrolls to its end.
    const int v = find(g_.popup[OVK_POP_ABOUT],
                       [](ZQ_GUI_WIDGET& w) { return w.type == ZQ_GUI_MARKDOWNVIEW; });
    EXPECT_GT(zq_gui_markdownview_content_height(g_.ctx, v), zq_gui_get_widget(g_.ctx, v)->h);
    shot("about");
    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_PAPER;
    ovk_gui_set_prefs(&g_, p);
    tick();
    ASSERT_TRUE(shown(OVK_POP_ABOUT)) << "open again after the rebuild";
    EXPECT_EQ(page(OVK_POP_ABOUT), text);
    shot("about_light");
}

}  // namespace
