// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The "Traces" and "Match log" screens used as a person would, on a private X server: trips
// renamed and deleted (through the confirm dialog), exported in every format and opened with
// the programs people open them with (xmllint, GDAL's ogrinfo, gpsbabel, Python's csv module);
// the match log showing the store's detections, narrowed by its filter, exported and cleared.
#include <map>
#include <mutex>
#include <regex>
#include <thread>
#include <utility>

#include "ovk_app_util.h"
#include "ovk_category.h"
#include "ovk_export.h"
#include "ovk_gui_main.h"
#include "ovk_gui_trips.h"
#include "ovk_test_gui.h"
#include "ovk_test_program.h"

namespace {

using ovk_test::run_command;

int ogr_total(const std::string& path) {
    int n = 0;
    for (int c : ovk_test::ogr_feature_counts(path)) n += c;
    return n;
}

bool xml_ok(const std::string& path) {
    const auto r = run_command("xmllint --noout '" + path + "'");
    EXPECT_EQ(r.rc, 0) << path << ": " << r.out;
    return r.rc == 0;
}

// Rows of a CSV file as Python's csv module reads it (-1 when a row's column count differs
// from the header's or the file does not read).
int csv_rows(const std::string& path) {
    const auto r = run_command(
        "python3 -c 'import csv,sys\n"
        "rows=list(csv.reader(open(sys.argv[1],newline=\"\",encoding=\"utf-8\")))\n"
        "sys.exit(1) if any(len(r)!=len(rows[0]) for r in rows) else print(len(rows))' '" +
        path + "'");
    return r.rc == 0 ? std::atoi(r.out.c_str()) : -1;
}

std::string ext_of(const std::string& path) {
    return path.substr(path.rfind('.') + 1);
}

class TripsScreen : public ovk_test::ScreenTest {
  protected:
    // A trip of `fixes` fixes going north, 111 m apart, with a flagged body camera and an
    // unflagged phone heard along it, both positioned; stopped unless `recording`.
    static int64_t record_trip(const std::string& name, int fixes, bool recording = false) {
        const int64_t id = ovk_trip_start(name);
        const int64_t t0 = ovk_now_ms();
        for (int i = 0; i < fixes; ++i) {
            OVK_LOCATION l;
            l.lat = 52.52 + 0.001 * i;
            l.lon = 13.40;
            l.time = t0 + 60000 * i;
            ovk_trip_on_location(l);
        }
        OVK_LOCATION at;
        at.lat = 52.5205;
        at.lon = 13.4003;
        at.time = t0;
        const OVK_HIT cam =
            ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "BLE", "Axon address block");
        ovk_trip_on_device("00:25:DF:00:00:01", -58, "BLE", &cam, "Axon Body 3", "Axon",
                           "Body camera", &at, t0);
        ovk_trip_on_device("11:22:33:44:55:66", -71, "BLE", nullptr, "Pixel 8", "Google", "Phone",
                           &at, t0 + 1000);
        if (!recording) ovk_trip_stop();
        return id;
    }

    int win() { return g_.popup[OVK_POP_TRIPS]; }
    int grid() { return widget_in(win(), ZQ_GUI_DATAGRID); }
    int field() { return widget_in(win(), ZQ_GUI_TEXTAREA); }
    int info() { return widget_in(win(), ZQ_GUI_LABEL); }
    int confirm_win() { return g_.popup[OVK_POP_CONFIRM]; }
    bool confirm_open() { return zq_gui_window_is_open(g_.ctx, confirm_win()) != 0; }
    // The label text without the line breaks the wrapping put in.
    std::string label_text(int id) {
        std::string s = zq_gui_label_get_text(g_.ctx, id);
        std::replace(s.begin(), s.end(), '\n', ' ');
        return s;
    }
    bool toast_is(const std::string& text) {
        return pump([&] { return toast() == text; }, 3);
    }
};

TEST_F(TripsScreen, RenameAndDeleteATraceAsAPerson) {
    const int64_t walk = record_trip("Morning walk", 3);
    const int64_t drive = record_trip("Evening drive", 5);
    record_trip("", 2, /*recording=*/true);
    init(OVK_THEME_DARK);
    ovk_trips_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_window_is_open(g_.ctx, win()) != 0; }));
    ASSERT_GE(grid(), 0);

    // Newest first; the trip still recording says so; the name of an unnamed one is its start.
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == 3; }));
    EXPECT_EQ(cell(grid(), 0, 0).rfind("Trace 20", 0), 0u) << cell(grid(), 0, 0);
    EXPECT_EQ(cell(grid(), 0, 2), "recording");
    EXPECT_EQ(cell(grid(), 1, 0), "Evening drive");
    EXPECT_EQ(cell(grid(), 1, 1), ovk_local_time(ovk_trip_get(drive)->start_time).substr(0, 16));
    EXPECT_EQ(cell(grid(), 1, 2), "0 min");
    EXPECT_EQ(cell(grid(), 1, 3), "0.4 km");  // four steps of 111 m
    EXPECT_EQ(cell(grid(), 1, 4), "2 (1 flagged)");
    EXPECT_EQ(cell(grid(), 2, 0), "Morning walk");
    EXPECT_EQ(label_text(info()),
              "Select a trace, then show it on the map, export, rename or delete it.");
    shot("traces_dark");

    // Nothing selected yet.
    x_click(button_in(win(), "Delete"));
    EXPECT_TRUE(toast_is("Select a trace first"));
    EXPECT_FALSE(confirm_open());

    // Selecting a row puts its name in the field; an empty field renames nothing.
    x_click_row(grid(), 1);
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, field()), "Evening drive");
    x_click(field());
    x_key("ctrl+a BackSpace");
    x_click(button_in(win(), "Rename"));
    EXPECT_TRUE(toast_is("Select a trace and type its new name"));
    EXPECT_EQ(ovk_trip_get(drive)->name, "Evening drive");

    // Typed and renamed: stored, shown, still selected.
    x_click(field());
    x_type("Night drive");
    x_click(button_in(win(), "Rename"));
    EXPECT_TRUE(pump([&] { return cell(grid(), 1, 0) == "Night drive"; }));
    EXPECT_EQ(ovk_trip_get(drive)->name, "Night drive");
    EXPECT_EQ(zq_gui_datagrid_get_selected(g_.ctx, grid()), 1);

    // Shown on the map, titled with its name; Escape comes back.
    x_click(button_in(win(), "Show on map"));
    ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, OVK_POP_MAP); }));
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Trace: Night drive");
    x_key("Escape");
    ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, OVK_POP_MAP); }));

    // Delete asks first; Cancel keeps the trip.
    x_click(button_in(win(), "Delete"));
    ASSERT_TRUE(pump([&] { return confirm_open(); }));
    EXPECT_EQ(label_text(g_.w_confirm_label),
              "Delete the trace \"Night drive\" and every device recorded along it?");
    shot("traces_confirm_dark");
    x_click(button_in(confirm_win(), "Cancel"));
    EXPECT_TRUE(pump([&] { return !confirm_open(); }));
    EXPECT_TRUE(ovk_trip_get(drive).has_value());

    // Yes deletes the trip and both of its files.
    const std::string points = data_dir_ + "/trips/" + std::to_string(drive) + ".points.csv";
    ASSERT_TRUE(ovk_test::file_exists(points));
    x_click(button_in(win(), "Delete"));
    ASSERT_TRUE(pump([&] { return confirm_open(); }));
    x_click(button_in(confirm_win(), "Yes"));
    EXPECT_TRUE(toast_is("Trace deleted"));
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, field()), "") << "the deleted trace's name";
    EXPECT_FALSE(ovk_trip_get(drive).has_value());
    EXPECT_FALSE(ovk_test::file_exists(points));
    EXPECT_FALSE(
        ovk_test::file_exists(data_dir_ + "/trips/" + std::to_string(drive) + ".devices.json"));
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == 2; }));
    EXPECT_EQ(cell(grid(), 1, 0), "Morning walk");

    // A rename from elsewhere shows on the next refresh; a long name is quoted to 80
    // characters in the question (never splitting one).
    std::string long_name;
    while (long_name.size() < 94) long_name += "\xC3\x84rger ";  // "Ärger " x 15
    ASSERT_EQ(ovk_trip_rename(walk, long_name), 0);
    ASSERT_TRUE(pump([&] { return cell(grid(), 1, 0) == ovk_trip_get(walk)->name; }));
    x_click_row(grid(), 1);
    x_click(button_in(win(), "Delete"));
    ASSERT_TRUE(pump([&] { return confirm_open(); }));
    const std::string q = g_.confirm_text;
    const std::string quoted = q.substr(q.find('"') + 1, q.rfind('"') - q.find('"') - 1);
    EXPECT_EQ(quoted, std::string(ovk_trip_get(walk)->name).substr(0, 80 + 14))
        << "80 characters, 14 of them two bytes long";
    x_click(button_in(confirm_win(), "Cancel"));
    EXPECT_TRUE(ovk_trip_get(walk).has_value());

    // The same screen in a light theme: rebuilt with its rows and selection.
    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_PAPER;
    ovk_gui_set_prefs(&g_, p);
    settle(0.5);
    ASSERT_TRUE(zq_gui_window_is_open(g_.ctx, win()));
    EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), 2);
    EXPECT_EQ(zq_gui_datagrid_get_selected(g_.ctx, grid()), 1);
    shot("traces_paper");
}

// The files a rename, a deletion and an export write are written by the engine port's worker,
// never by the interface thread, and the screen's rows follow once they are done.
TEST_F(TripsScreen, ItsChangesAreWrittenOffTheInterfaceThread) {
    record_trip("Walk", 3);
    init();
    std::mutex mu;
    std::vector<std::pair<std::string, std::thread::id>> writes;
    ovk_write_file_set_hook_for_test([&](const std::string& path) {
        std::lock_guard lk(mu);
        writes.emplace_back(path, std::this_thread::get_id());
    });
    ovk_trips_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == 1; }));
    x_click_row(grid(), 0);
    x_click(field());
    x_key("ctrl+a BackSpace");
    x_type("Long walk");
    x_click(button_in(win(), "Rename"));
    EXPECT_TRUE(pump([&] { return cell(grid(), 0, 0) == "Long walk"; })) << cell(grid(), 0, 0);
    x_click(button_in(win(), "GPX"));
    EXPECT_TRUE(pump([&] { return toast().rfind("Saved ", 0) == 0; })) << toast();
    x_click(button_in(win(), "Delete"));
    ASSERT_TRUE(pump([&] { return confirm_open(); }));
    x_click(button_in(confirm_win(), "Yes"));
    EXPECT_TRUE(toast_is("Trace deleted"));
    EXPECT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == 0; }));
    ovk_write_file_set_hook_for_test(nullptr);

    std::lock_guard lk(mu);
    bool export_written = false;
    for (const auto& [path, who] : writes) {
        EXPECT_NE(who, std::this_thread::get_id()) << path << " written by the interface thread";
        export_written = export_written || path.find("orvik_trace_") != std::string::npos;
    }
    EXPECT_TRUE(export_written);
    EXPECT_GE(writes.size(), 3u) << "the index after the rename and the deletion, the export";
}

TEST_F(TripsScreen, ExportsATraceInEveryFormatForOtherPrograms) {
    record_trip("Ride <home> & \"back\"", 6);
    init();
    ovk_trips_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, grid()) == 1; }));

    // Without a selected row nothing is written.
    x_click(button_in(win(), "GPX"));
    EXPECT_TRUE(toast_is("Select a trace first"));
    EXPECT_TRUE(exports("orvik_").empty());

    x_click_row(grid(), 0);
    for (const char* b : {"GPX", "KML", "GeoJSON", "Devices CSV"}) {
        const size_t before = exports("orvik_trace_").size();
        x_click(button_in(win(), b));
        ASSERT_TRUE(pump([&] { return exports("orvik_trace_").size() == before + 1; })) << b;
        EXPECT_TRUE(pump([&] {
            return toast().rfind("Saved " + export_dir() + "/orvik_trace_", 0) == 0;
        })) << toast();
    }
    const std::vector<std::string> files = exports("orvik_trace_");
    ASSERT_EQ(files.size(), 4u);
    const std::regex name(".*/orvik_trace_[0-9]{8}_[0-9]{6}(_[0-9]+)?\\.(gpx|kml|geojson|csv)");
    std::map<std::string, std::string> by_ext;
    for (const std::string& f : files) {
        EXPECT_TRUE(std::regex_match(f, name)) << f;
        by_ext[ext_of(f)] = f;
    }
    ASSERT_EQ(by_ext.size(), 4u) << "four different files, none written over";

    // GPX: both positioned devices as waypoints, one track of the six fixes.
    const std::string& gpx = by_ext["gpx"];
    ASSERT_TRUE(xml_ok(gpx));
    EXPECT_EQ(ovk_test::ogr_feature_counts(gpx), (std::vector<int>{2, 0, 1, 0, 6}));
    const auto gb = run_command("gpsbabel -i gpx -f '" + gpx + "' -o unicsv -F -");
    EXPECT_EQ(gb.rc, 0) << gb.out;
    EXPECT_NE(gb.out.find("Axon body camera"), std::string::npos) << gb.out;
    // KML: the trace and the two devices; GeoJSON the same three features.
    ASSERT_TRUE(xml_ok(by_ext["kml"]));
    EXPECT_EQ(ogr_total(by_ext["kml"]), 3);
    EXPECT_EQ(ogr_total(by_ext["geojson"]), 3);
    // The devices CSV: a header and both devices.
    EXPECT_EQ(csv_rows(by_ext["csv"]), 3);

    // Flagged devices only: the phone stays out of the map formats, not out of the CSV.
    x_click(widget_in(win(), ZQ_GUI_CHECKBOX));
    ASSERT_TRUE(zq_gui_checkbox_is_checked(g_.ctx, widget_in(win(), ZQ_GUI_CHECKBOX)));
    for (const char* b : {"GPX", "Devices CSV"}) {
        const size_t before = exports("orvik_trace_").size();
        x_click(button_in(win(), b));
        ASSERT_TRUE(pump([&] { return exports("orvik_trace_").size() == before + 1; })) << b;
    }
    std::vector<std::string> later;
    for (const std::string& f : exports("orvik_trace_"))
        if (std::find(files.begin(), files.end(), f) == files.end()) later.push_back(f);
    ASSERT_EQ(later.size(), 2u);
    for (const std::string& f : later) {
        if (ext_of(f) == "gpx")
            EXPECT_EQ(ovk_test::ogr_feature_counts(f).at(0), 1) << "one flagged waypoint";
        else
            EXPECT_EQ(csv_rows(f), 3);
    }
    shot("traces_exported_dark");

    // An export never replaces an earlier file of the same name (two in one second).
    std::vector<std::string> taken;
    for (int k = 0; k < 8; ++k) {
        std::string stamp = ovk_local_time(ovk_now_ms() + 1000 * k);
        stamp.erase(
            std::remove_if(stamp.begin(), stamp.end(), [](char c) { return c == '-' || c == ':'; }),
            stamp.end());
        std::replace(stamp.begin(), stamp.end(), ' ', '_');
        taken.push_back(export_dir() + "/orvik_trace_" + stamp + ".kml");
        ovk_test::write_file(taken.back(), "earlier export\n");
    }
    const size_t before = exports("orvik_trace_").size();
    x_click(button_in(win(), "KML"));
    ASSERT_TRUE(pump([&] { return exports("orvik_trace_").size() == before + 1; }));
    for (const std::string& f : taken) EXPECT_EQ(ovk_test::read_file(f), "earlier export\n") << f;
    const auto now_files = exports("orvik_trace_");
    const auto fresh = std::find_if(now_files.begin(), now_files.end(), [&](const std::string& f) {
        return f.size() > 6 && f.compare(f.size() - 6, 6, "_2.kml") == 0;
    });
    ASSERT_NE(fresh, now_files.end());
    EXPECT_TRUE(xml_ok(*fresh));
}

class LogScreen : public TripsScreen {
  protected:
    int win() { return g_.popup[OVK_POP_LOG]; }
    int grid() { return widget_in(win(), ZQ_GUI_DATAGRID); }
    int search() { return widget_in(win(), ZQ_GUI_TEXTAREA); }
    int combo() { return widget_in(win(), ZQ_GUI_COMBOBOX); }
    int info() { return widget_in(win(), ZQ_GUI_LABEL); }
    int rows() { return zq_gui_datagrid_row_count(g_.ctx, grid()); }

    static void add_match(const char* label, OVK_CATEGORY cat, const char* mac, int64_t ts,
                          bool pos, const char* evidence, const char* vendor = "") {
        OVK_DETECTION d;
        d.mac = mac;
        d.label = label;
        d.source = "BLE";
        d.rssi = -63;
        d.timestamp = ts;
        d.has_pos = pos;
        d.lat = pos ? 48.137154 : 0;
        d.lon = pos ? 11.576124 : 0;
        d.category = cat;
        d.confidence = 85;
        d.evidence = evidence;
        d.vendor = vendor;
        ASSERT_EQ(ovk_store_add_detection(d), 0);
    }
    static void seed(int64_t t0) {
        add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", t0, true,
                  "Axon address block", "Axon");
        add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:02", t0 + 60000, false,
                  "Axon address block", "Axon");
        add_match("DJI Mini 4", OVK_CAT_DRONE, "60:60:1F:A2:44:18", t0 + 120000, true,
                  "Remote ID broadcast");
        add_match("Flock Safety camera", OVK_CAT_ALPR, "B4:1E:52:00:00:07", t0 + 180000, false,
                  "Flock name pattern");
        add_match("AirTag away from its owner", OVK_CAT_TRACKER, "D1:22:33:44:55:66", t0 + 240000,
                  false, "Find My separated-state advert");
    }
};

// Screens opened while the engine is busy (a long export, a slow disk) say they are reading
// until their data arrives, and the buttons that act on it wait for it. The traces said "No
// traces yet", the log "100000 logged matches" and the map "0 known plate cameras cached"
// before they had read anything, and the log's export answered "Nothing to export".
TEST_F(LogScreen, TracesTheLogAndTheMapSayTheyAreReadingUntilTheirDataArrives) {
    record_trip("Morning walk", 3);
    seed(ovk_now_ms() - 3600000);
    init(OVK_THEME_DARK);
    ovk_test::PortHold held(&g_);
    ASSERT_TRUE(pump([&] { return held.started(); }));

    ovk_trips_show(&g_);
    const int traces = g_.popup[OVK_POP_TRIPS];
    const int traces_info = widget_in(traces, ZQ_GUI_LABEL);
    const int traces_grid = widget_in(traces, ZQ_GUI_DATAGRID);
    ASSERT_TRUE(pump([&] { return zq_gui_window_is_open(g_.ctx, traces) != 0; }));
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(label_text(traces_info), "Reading...");
    x_click(button_in(traces, "Delete"));
    x_click(button_in(traces, "GPX"));
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_EQ(toast(), "") << "a button answered for a list not read";
    EXPECT_FALSE(confirm_open());
    shot("traces_reading_dark");

    ovk_log_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_window_is_open(g_.ctx, win()) != 0; }));
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(label_text(info()), "Reading...");
    EXPECT_EQ(rows(), 0);
    x_click(button_in(win(), "CSV"));
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_EQ(toast(), "") << "the export answered for a log not read";
    shot("log_reading_dark");

    ASSERT_TRUE(ovk_gui_show_on(&g_, OVK_POP_MAP, {}));
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_NE(map_status().find(" - Reading..."), std::string::npos) << map_status();
    EXPECT_EQ(map_status().find("plate camera"), std::string::npos) << map_status();
    EXPECT_TRUE(held.started());

    held.release();
    ASSERT_TRUE(pump([&] {
        return map_status().find("0 known plate cameras cached, 0 in view") != std::string::npos;
    })) << map_status();
    ovk_gui_close_popup(&g_, OVK_POP_MAP);
    ASSERT_TRUE(pump([&] { return rows() == 5; }));
    EXPECT_EQ(label_text(info()), "5 logged matches (one row per device per 30 s)");
    x_click(button_in(win(), "CSV"));
    ASSERT_TRUE(pump([&] { return exports("orvik_matches_").size() == 1; }));
    EXPECT_TRUE(exports("orvik_trace_").empty()) << "the early click exported nothing";
    ovk_gui_close_popup(&g_, OVK_POP_LOG);
    ASSERT_TRUE(pump([&] { return zq_gui_datagrid_row_count(g_.ctx, traces_grid) == 1; }));
    EXPECT_EQ(label_text(traces_info),
              "Select a trace, then show it on the map, export, rename or delete it.");
}

TEST_F(LogScreen, ShowsTheStoreNarrowsByFilterExportsAndClears) {
    const int64_t t0 = ovk_now_ms() - 3600000;
    seed(t0);
    init(OVK_THEME_LIGHT);
    ovk_log_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_window_is_open(g_.ctx, win()) != 0; }));

    // Newest first, every column; rows tinted with their category.
    ASSERT_TRUE(pump([&] { return rows() == 5; }));
    EXPECT_EQ(label_text(info()), "5 logged matches (one row per device per 30 s)");
    EXPECT_EQ(cell(grid(), 0, 1), "AirTag away from its owner");
    EXPECT_EQ(cell(grid(), 2, 0), ovk_local_time(t0 + 120000).substr(0, 16));
    EXPECT_EQ(cell(grid(), 2, 2), "DRONE");
    EXPECT_EQ(cell(grid(), 2, 3), "85%");
    EXPECT_EQ(cell(grid(), 2, 4), "60:60:1F:A2:44:18");
    EXPECT_EQ(cell(grid(), 2, 5), "-63");
    EXPECT_EQ(cell(grid(), 2, 6), "48.13715, 11.57612");
    EXPECT_EQ(cell(grid(), 3, 6), "");
    shot("log_light");

    // Selecting a row reads its evidence.
    x_click_row(grid(), 2);
    EXPECT_TRUE(toast_is("DJI Mini 4 - Remote ID broadcast"));

    // A typed filter narrows the rows, and the export holds what it keeps.
    x_click(search());
    x_type("AXON");
    ASSERT_TRUE(pump([&] { return rows() == 2; }));
    EXPECT_EQ(label_text(info()),
              "5 logged matches (one row per device per 30 s) - 2 after filtering");
    x_click(button_in(win(), "CSV"));
    ASSERT_TRUE(pump([&] { return exports("orvik_matches_").size() == 1; }));
    EXPECT_EQ(csv_rows(exports("orvik_matches_")[0]), 3);
    EXPECT_TRUE(toast_is("Saved 2 of 5 rows (filtered): " + exports("orvik_matches_")[0]))
        << toast();
    shot("log_filtered_light");

    // The kind of equipment, picked from the list with the keyboard.
    x_click(search());
    x_key("ctrl+a BackSpace");
    ASSERT_TRUE(pump([&] { return rows() == 5; }));
    x_click(combo());
    for (int i = 0; i <= OVK_CAT_DRONE; ++i) x_key("Down");
    x_key("Return");
    ASSERT_TRUE(pump([&] { return rows() == 1; })) << rows();
    EXPECT_EQ(cell(grid(), 0, 1), "DJI Mini 4");
    x_click(button_in(win(), "GPX"));
    ASSERT_TRUE(pump([&] { return exports("orvik_matches_").size() == 2; }));
    std::string gpx;
    for (const std::string& f : exports("orvik_matches_"))
        if (ext_of(f) == "gpx") gpx = f;
    ASSERT_TRUE(xml_ok(gpx));
    EXPECT_EQ(ovk_test::ogr_feature_counts(gpx).at(0), 1);
    // Plate cameras were never heard with a position: no empty map file.
    x_click(combo());
    x_key("Up Up Up Return");
    ASSERT_TRUE(pump([&] { return cell(grid(), 0, 1) == "Flock Safety camera"; }));
    x_click(button_in(win(), "KML"));
    EXPECT_TRUE(toast_is("No GPS-tagged matches yet - turn on GPS tagging in Settings"));
    EXPECT_EQ(exports("orvik_matches_").size(), 2u);
    x_click(combo());
    x_key("Home Return");
    ASSERT_TRUE(pump([&] { return rows() == 5; }));

    // Cleared elsewhere (the settings' "Clear match history"): empty on the next refresh.
    ASSERT_EQ(ovk_store_clear_detections(), 0);
    ASSERT_TRUE(pump([&] { return rows() == 0; }));
    EXPECT_EQ(label_text(info()), "0 logged matches (one row per device per 30 s)");
    x_click(button_in(win(), "JSON"));
    EXPECT_TRUE(toast_is("Nothing to export"));

    // New matches come in while it is open; "Clear log" asks, then empties log and file.
    seed(t0 + 600000);
    ASSERT_TRUE(pump([&] { return rows() == 5; }));
    x_click(button_in(win(), "Clear log"));
    ASSERT_TRUE(pump([&] { return confirm_open(); }));
    EXPECT_EQ(label_text(g_.w_confirm_label), "Delete every logged match? This cannot be undone.");
    x_click(button_in(confirm_win(), "Yes"));
    ASSERT_TRUE(pump([&] { return rows() == 0; }));
    EXPECT_TRUE(toast_is("Match history cleared")) << "said as the settings say it";
    EXPECT_EQ(ovk_store_detection_count(), 0);
    EXPECT_EQ(ovk_test::read_file(data_dir_ + "/detections.jsonl"), "");

    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_DARK;
    seed(t0);
    ovk_gui_set_prefs(&g_, p);
    ASSERT_TRUE(pump([&] { return g_.pal.dark && rows() == 5; }));
    shot("log_dark");
}

TEST_F(LogScreen, CountsReadRightAndOnlyTheNewest2000AreListed) {
    const int64_t t0 = ovk_now_ms() - 86400000;
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", t0, false, "Axon");
    init();
    ovk_log_show(&g_);
    ASSERT_TRUE(pump([&] { return rows() == 1; }));
    EXPECT_EQ(label_text(info()), "1 logged match (one row per device per 30 s)");

    for (int i = 1; i < 2500; ++i)
        add_match("Flock Safety camera", OVK_CAT_ALPR, "B4:1E:52:00:00:07", t0 + 1000 * i, false,
                  "Flock");
    ASSERT_TRUE(pump([&] { return rows() == 2000; }));
    EXPECT_EQ(label_text(info()),
              "2500 logged matches (one row per device per 30 s) - newest 2000 shown");
    EXPECT_EQ(cell(grid(), 0, 0), ovk_local_time(t0 + 2499000).substr(0, 16));
    // The export holds every match, not only the rows listed.
    x_click(button_in(win(), "CSV"));
    ASSERT_TRUE(pump([&] { return exports("orvik_matches_").size() == 1; }));
    EXPECT_EQ(csv_rows(exports("orvik_matches_")[0]), 2501);
}

}  // namespace

namespace {

// The main screen's menu leads to the three screens, each opened with its data.
TEST_F(TripsScreen, TheMenuOpensHistoryTracesAndTheMatchLog) {
    record_trip("Morning walk", 3);
    init();
    ASSERT_GE(ovk_main_state().w_menu, 0) << "the main screen is built";
    struct PICK {
        int downs;  // entries down from the top: Map, History, Traces, Match log
        int popup;
    };
    for (const PICK& p : {PICK{2, OVK_POP_HISTORY}, PICK{3, OVK_POP_TRIPS}, PICK{4, OVK_POP_LOG}}) {
        x_click(ovk_main_state().w_menu);
        for (int i = 0; i < p.downs; ++i) x_key("Down");
        x_key("Return");
        ASSERT_TRUE(pump([&] { return ovk_gui_popup_is_open(&g_, p.popup); })) << p.popup;
        EXPECT_EQ(zq_gui_get_topmost_open_window(g_.ctx), g_.popup[p.popup]);
        if (p.popup == OVK_POP_TRIPS) {
            EXPECT_EQ(zq_gui_datagrid_row_count(g_.ctx, grid()), 1);
            EXPECT_EQ(cell(grid(), 0, 0), "Morning walk");
        }
        x_key("Escape");
        ASSERT_TRUE(pump([&] { return !ovk_gui_popup_is_open(&g_, p.popup); }));
    }
}

}  // namespace
