// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The export dialog in the real frame on a private X server: a person exports the session as
// CSV, JSON and KML and the match log as GPX with real clicks, and each file opens in the
// programs people use for it (Python's csv and json, ogrinfo, xmllint, gpsbabel); a pair that
// does not exist is refused; "Open folder" hands the export folder to xdg-open.
#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_gui_export.h"
#include "ovk_test_gui.h"

namespace {

using ovk_test::GuiScreenTest;
using ovk_test::run_command;
constexpr int kExp = OVK_POP_EXPORT;

class GuiExport : public GuiScreenTest {
  protected:
    // Three body cameras heard where a position was known, and three logged matches of which
    // two carry a position.
    void seed() {
        const int64_t now = ovk_now_ms();
        ovk_registry_start_session(now - 60000);
        for (int i = 0; i < 3; ++i) {
            OVK_ADVERT a;
            a.mac = "00:25:DF:00:00:1" + std::to_string(i);
            a.rssi = -60 - i;
            a.name = i == 0 ? std::optional<std::string>("=HYPERLINK(\"x\"),<cam>") : std::nullopt;
            a.addr_type = OVK_ADDR_PUBLIC;
            a.timestamp = now;
            const OVK_GEO at{now, 45.5 + i * 0.001, -73.6};
            const OVK_HITS hits = {
                ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "test", "address block")};
            ovk_registry_report(a, hits, nullptr, "Axon", nullptr, &at, now);

            OVK_DETECTION d;
            d.mac = a.mac;
            d.label = "Axon body camera";
            d.source = "BLE";
            d.timestamp = now - i * 1000;
            d.has_pos = i < 2;
            d.lat = 45.5;
            d.lon = -73.6 + i * 0.001;
            ASSERT_EQ(ovk_store_add_detection(d), 0);
        }
    }
    int scopes() { return by_tip(g_.popup[kExp], "Which data goes into the file"); }
    int formats() {
        return by_tip(g_.popup[kExp], "File format (KML / GPX / GeoJSON open in map apps)");
    }
    std::string info() {
        return unwrapped(find(g_.popup[kExp], [&](ZQ_GUI_WIDGET& w) {
            return w.type == ZQ_GUI_LABEL && w.font == g_.font_small;
        }));
    }
};

TEST_F(GuiExport, APersonExportsEachFormatAndOtherProgramsOpenTheFiles) {
    seed();
    init();
    ASSERT_FALSE(x_window().empty());
    listen(true);
    struct EXPORT {
        int scope, format;
        const char* ext;
    };
    std::map<std::string, std::string> files;
    for (const EXPORT& e : {EXPORT{OVK_EXPORT_SESSION, OVK_FMT_CSV, "csv"},
                            EXPORT{OVK_EXPORT_SESSION, OVK_FMT_JSON, "json"},
                            EXPORT{OVK_EXPORT_SESSION, OVK_FMT_KML, "kml"},
                            EXPORT{OVK_EXPORT_LOG, OVK_FMT_GPX, "gpx"}}) {
        ovk_export_show(&g_);
        ASSERT_TRUE(pump([&] { return shown(kExp); }));
        x_click(scopes(), e.scope);
        ASSERT_TRUE(
            pump([&] { return zq_gui_radiolist_get_selected(g_.ctx, scopes()) == e.scope; }));
        x_click(formats(), e.format);
        ASSERT_TRUE(
            pump([&] { return zq_gui_radiolist_get_selected(g_.ctx, formats()) == e.format; }));
        EXPECT_EQ(info().rfind("Ready to export.", 0), 0u) << info();
        if (e.format == OVK_FMT_CSV) shot("export");
        x_click(button_in(g_.popup[kExp], "Export"));
        ASSERT_TRUE(pump([&] { return !shown(kExp); })) << toast();
        ASSERT_EQ(toast().rfind("Saved ", 0), 0u) << toast();
        ASSERT_EQ(toast().rfind("Saved ~/orvik/exports/orvik_", 0), 0u) << "home written ~";
        const std::string path = dir_.path() + toast().substr(7);
        EXPECT_EQ(path.substr(path.size() - std::strlen(e.ext)), e.ext);
        files[e.ext] = path;
    }
    listen(false);

    // Every row as long as the header, the formula defused.
    auto r = run_command(
        "python3 -c 'import csv,sys\n"
        "rows=list(csv.reader(open(sys.argv[1],newline=\"\",encoding=\"utf-8\")))\n"
        "assert all(len(x)==len(rows[0]) for x in rows)\n"
        "print(len(rows), rows[1][1])' '" +
        files["csv"] + "'");
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(r.out, "4 '=HYPERLINK(\"x\"),<cam>\n");
    r = run_command("python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' '" +
                    files["json"] + "'");
    EXPECT_EQ(r.out, "3\n");
    for (const char* ext : {"kml", "gpx"}) {
        r = run_command("xmllint --noout '" + files[ext] + "'");
        EXPECT_EQ(r.rc, 0) << r.out;
    }
    r = run_command("ogrinfo -ro -al -so '" + files["kml"] + "'");
    EXPECT_NE(r.out.find("Feature Count: 3"), std::string::npos) << r.out;
    r = run_command("gpsbabel -i gpx -f '" + files["gpx"] + "' -o unicsv -F -");
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << "header and two waypoints\n"
                                                               << r.out;
}

TEST_F(GuiExport, AMissingFormatIsRefusedAndOpenFolderUsesXdgOpen) {
    const std::string args = stand_in("xdg-open");
    init();
    ovk_export_show(&g_);
    click(scopes(), OVK_EXPORT_LOG);
    click(formats(), OVK_FMT_GEOJSON);
    EXPECT_EQ(info(),
              "This export does not come in that format. Available formats: CSV, JSON, KML, GPX");
    click(button_in(g_.popup[kExp], "Export"));
    EXPECT_EQ(toast(), "Pick one of the available formats");
    EXPECT_TRUE(shown(kExp));
    click(formats(), OVK_FMT_CSV);
    click(button_in(g_.popup[kExp], "Export"));
    // Written off the interface thread: the outcome shows on a later tick, and a failure
    // leaves the dialog open.
    EXPECT_TRUE(pump([&] { return toast() == "Export failed: No matches logged yet"; })) << toast();
    EXPECT_TRUE(shown(kExp));

    // The choice stays for the next opening, also after the interface was rebuilt.
    key(ALLEGRO_KEY_ESCAPE);
    ovk_gui_rebuild(&g_);
    ovk_export_show(&g_);
    EXPECT_EQ(zq_gui_radiolist_get_selected(g_.ctx, scopes()), OVK_EXPORT_LOG);
    EXPECT_EQ(zq_gui_radiolist_get_selected(g_.ctx, formats()), OVK_FMT_CSV);

    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_LIGHT;
    ovk_gui_set_prefs(&g_, p);
    tick();
    ASSERT_TRUE(shown(kExp)) << "open again after the rebuild";
    EXPECT_EQ(zq_gui_radiolist_get_selected(g_.ctx, formats()), OVK_FMT_CSV);
    shot("export_light");
    click(button_in(g_.popup[kExp], "Open folder"));
    const std::string folder = dir_.path() + "/orvik/exports";
    EXPECT_EQ(toast(), "Opening " + folder);
    for (int i = 0; i < 100 && ovk_test::read_file(args).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ovk_test::read_file(args), folder + "\n");
}

}  // namespace
