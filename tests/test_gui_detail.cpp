// ovk-test: window
// The device detail screen over a running engine.
#include "gui_screens.h"
#include "ovk_gui_detail.h"
#include "rid_builder.h"

namespace {

using ovk_test::GuiScreens;

const char* kDrone = "60:60:1F:A2:44:18";
const char* kAirTag = "7A:31:C4:0B:9E:22";
const char* kPhone = "6E:0A:77:12:C3:95";

class GuiDetail : public GuiScreens {
  protected:
    int view() {
        const auto v = widgets_of(OVK_POP_DETAIL, ZQ_GUI_MARKDOWNVIEW);
        return v.empty() ? -1 : v[0];
    }
    std::string doc() { return zq_gui_markdownview_get_text(g_.ctx, view()); }
};

TEST_F(GuiDetail, Look) {
    feed_demo(20);
    // The drone then says it flies at 214 m/s.
    using namespace ovk_test;
    submit(rid_advert(kDrone, {rid_basic_id(1, "1581F5FJDEMO00042"),
                               rid_location(kDemoLat + 0.0003, kDemoLon, 200, true)},
                      ovk_now_ms()));
    for (OVK_THEME_ID t : {OVK_THEME_SYSTEM, OVK_THEME_PAPER}) {
        set_theme(t);
        for (const char* mac : {kDrone, kAirTag, kPhone}) {
            ovk_detail_show(&g_, mac);
            g_.toast_until = 0;
            shot(std::string("detail_") + std::to_string(t) + "_" + mac);
        }
        ovk_detail_show(&g_, kDrone);
        zq_gui_markdownview_scroll_to(g_.ctx, view(), 420);
        shot(std::string("detail_") + std::to_string(t) + "_drone_rid");
        zq_gui_markdownview_scroll_to(g_.ctx, view(), 100000);
        shot(std::string("detail_") + std::to_string(t) + "_drone_end");
    }
    // The narrow layout: the graph goes below the text.
    g_.disp_w = 520;
    ovk_gui_rebuild(&g_);
    ovk_detail_show(&g_, kDrone);
    g_.locate = true;
    shot("detail_narrow_drone");
}

}  // namespace
