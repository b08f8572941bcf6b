// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The history screen on a private X server, used as a person would: its summary and its two
// bar charts show the history analysis' numbers for a seeded store and trips, the period
// buttons switch what is counted, and dots and the heat map are drawn where the encounters
// were.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ovk_app_util.h"
#include "ovk_export.h"
#include "ovk_gui_history.h"
#include "ovk_gui_map.h"
#include "ovk_gui_port.h"
#include "ovk_gui_trips.h"
#include "ovk_history.h"
#include "ovk_test_gui.h"

namespace {

constexpr int64_t kHour = 3600000, kDay = 24 * kHour;

class HistoryScreen : public ovk_test::ScreenTest {
  protected:
    int win() { return g_.popup[OVK_POP_HISTORY]; }
    int summary() { return widget_in(win(), ZQ_GUI_LABEL); }
    int map() { return widget_in(win(), ZQ_GUI_CUSTOM, 0); }
    int hour_chart() { return widget_in(win(), ZQ_GUI_CUSTOM, 1); }
    int day_chart() { return widget_in(win(), ZQ_GUI_CUSTOM, 2); }

    static void add_match(const char* label, OVK_CATEGORY cat, const char* mac, int64_t ts,
                          bool pos, double lat = 0, double lon = 0, const char* sensor = "") {
        OVK_DETECTION d;
        d.sensor = sensor;
        d.mac = mac;
        d.label = label;
        d.source = "BLE";
        d.rssi = -60;
        d.timestamp = ts;
        d.has_pos = pos;
        d.lat = lat;
        d.lon = lon;
        d.category = cat;
        d.confidence = 80;
        d.evidence = "seeded";
        ASSERT_EQ(ovk_store_add_detection(d), 0);
    }

    // The summary as the analysis gives it for the encounters since `since`.
    static std::string expected_summary(int64_t since) {
        const auto enc = ovk_history_encounters(ovk_history_collect(since), 600000);
        const int n = static_cast<int>(enc.size());
        if (n == 0)
            return "No flagged equipment logged in this period. Scan with alerts on, or record "
                   "traces, to build your history.";
        std::string top;
        for (const OVK_LABEL_COUNT& l : ovk_history_top_labels(enc, 3))
            top += (top.empty() ? "" : ", ") + l.label + " (" + std::to_string(l.count) + ")";
        int positioned = 0;
        for (const auto& e : enc) positioned += e.has_pos != 0;
        std::string s = std::to_string(n) + (n == 1 ? " encounter - " : " encounters - ") +
                        ovk_history_busiest(enc).value_or("") + " Top: " + top;
        if (positioned == 0)
            s += " Not on the map: turn on Settings > Save GPS position with logged matches, or "
                 "record traces.";
        else if (positioned < n)
            s += " " + std::to_string(positioned) + " with a position shown on the map.";
        return s;
    }

    // Where an encounter is drawn now, in display pixels.
    std::pair<int, int> on_screen(double lat, double lon) {
        draw();
        float sx = 0, sy = 0;
        ovk_mapview_to_screen(ovk_history_view(), lat, lon, &sx, &sy);
        return {static_cast<int>(std::lround(sx)), static_cast<int>(std::lround(sy))};
    }
    // Every positioned encounter of the period lies inside the map as drawn.
    void expect_all_in_view(int64_t since) {
        draw();
        const OVK_MAPVIEW mv = ovk_history_view();
        double south = 0, west = 0, north = 0, east = 0;
        ovk_mapview_bounds(mv, &south, &west, &north, &east);
        int n = 0;
        for (const auto& e : ovk_history_encounters(ovk_history_collect(since), 600000)) {
            if (!e.has_pos) continue;
            ++n;
            EXPECT_TRUE(e.lat > south && e.lat < north && e.lon > west && e.lon < east)
                << e.label << " at " << e.lat << ", " << e.lon;
        }
        EXPECT_GT(n, 0);
    }

    // The period's load has arrived: the summary no longer says it is being read.
    bool read() {
        const std::string s = summary_text();
        return !s.empty() && s != "Reading...";
    }
    std::string summary_text() {
        std::string s = zq_gui_label_get_text(g_.ctx, summary());
        std::replace(s.begin(), s.end(), '\n', ' ');
        return s;
    }

    // Heights in pixels of the bars of a chart as drawn now: per slot, the tallest run of
    // the accent colour in the middle of the slot.
    std::vector<int> bar_heights(int chart, int slots) {
        float x = 0, y = 0, w = 0, h = 0;
        EXPECT_TRUE(zq_gui_widget_screen_rect(g_.ctx, chart, &x, &y, &w, &h));
        al_set_target_backbuffer(display_);
        ovk_gui_draw(&g_);
        ALLEGRO_BITMAP* bb = al_get_backbuffer(display_);
        al_lock_bitmap(bb, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
        const uint32_t accent = ovk_color_argb(g_.pal.primary);
        std::vector<int> out;
        for (int i = 0; i < slots; ++i) {
            const int cx = static_cast<int>(x + w / slots * (i + 0.5f));
            int n = 0;
            for (int py = static_cast<int>(y); py < static_cast<int>(y + h); ++py)
                n += ovk_color_argb(al_get_pixel(bb, cx, py)) == accent;
            out.push_back(n);
        }
        al_unlock_bitmap(bb);
        al_flip_display();
        return out;
    }

    // The bars stand in the proportions of the counts: empty slots have none, the others
    // are as tall as the tallest times their share of the largest count (to a pixel).
    template <size_t N>
    void expect_bars(int chart, const std::array<int, N>& counts, const char* what) {
        const std::vector<int> bars = bar_heights(chart, static_cast<int>(N));
        const int most = *std::max_element(counts.begin(), counts.end());
        const int tallest = *std::max_element(bars.begin(), bars.end());
        if (most > 0) {
            EXPECT_GT(tallest, ovk_px(&g_, 40)) << what;
        }
        for (size_t i = 0; i < N; ++i) {
            if (counts[i] == 0) {
                EXPECT_EQ(bars[i], 0) << what << " slot " << i;
            } else {
                EXPECT_NEAR(bars[i], tallest * counts[i] / static_cast<double>(most), 1.5)
                    << what << " slot " << i;
            }
        }
    }
};

TEST_F(HistoryScreen, NumbersAreTheAnalysisForEveryPeriod) {
    const int64_t now = ovk_now_ms();
    // Two sightings of one body camera 5 minutes apart make one encounter.
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", now - 2 * kHour, true,
              52.5200, 13.4050);
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", now - 2 * kHour + 300000,
              true, 52.5201, 13.4051);
    // Reported by a fleet sensor.
    add_match("DJI Mini 4", OVK_CAT_DRONE, "60:60:1F:A2:44:18", now - 3 * kDay, true, 52.5300,
              13.4200, "car1");
    add_match("Flock Safety camera", OVK_CAT_ALPR, "B4:1E:52:00:00:07", now - 3 * kDay - kHour,
              false);
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:02", now - 20 * kDay, true,
              52.5100, 13.3900);
    add_match("AirTag away from its owner", OVK_CAT_TRACKER, "D1:22:33:44:55:66", now - 60 * kDay,
              false);
    // A flagged device heard along a trip five days ago.
    ovk_trip_start("Errand");
    OVK_LOCATION at;
    at.lat = 52.5250;
    at.lon = 13.4100;
    at.time = now - 5 * kDay;
    ovk_trip_on_location(at);
    const OVK_HIT cam = ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "BLE", "Axon");
    ovk_trip_on_device("00:25:DF:00:00:03", -55, "BLE", &cam, "", "Axon", "", &at, now - 5 * kDay);
    ovk_trip_stop();

    init(OVK_THEME_DARK);
    ovk_history_show(&g_);
    ASSERT_TRUE(pump([&] { return zq_gui_window_is_open(g_.ctx, win()) != 0 && read(); }));
    const int all = button_in(win(), "All"), day = button_in(win(), "24 h"),
              week = button_in(win(), "7 days");
    ASSERT_GE(all, 0);

    // Seven days at first: the camera, the drone, the plate camera and the trip's camera.
    EXPECT_TRUE(zq_gui_button_is_toggled(g_.ctx, week));
    EXPECT_FALSE(zq_gui_button_is_toggled(g_.ctx, all));
    EXPECT_EQ(summary_text(), expected_summary(now - 7 * kDay));
    EXPECT_EQ(summary_text().rfind("4 encounters - Busiest: ", 0), 0u) << summary_text();
    EXPECT_NE(summary_text().find("Top: Axon body camera (2), "), std::string::npos);
    EXPECT_NE(summary_text().find("3 with a position shown on the map."), std::string::npos);
    auto enc = ovk_history_encounters(ovk_history_collect(now - 7 * kDay), 600000);
    expect_bars(hour_chart(), ovk_history_by_hour(enc), "hours, 7 days");
    expect_bars(day_chart(), ovk_history_by_weekday(enc), "weekdays, 7 days");
    shot("history_week_dark");

    // The map is fitted to the encounters and shows them as a heat map: red where each one
    // was, nothing far from them.
    expect_all_in_view(now - 7 * kDay);
    const int mode = button_in(win(), "Heatmap");
    ASSERT_GE(mode, 0);
    struct SPOT {
        double lat, lon;
        OVK_CATEGORY cat;
    };
    const SPOT spots[] = {{52.5200, 13.4050, OVK_CAT_BODY_CAM},
                          {52.5300, 13.4200, OVK_CAT_DRONE},
                          {52.5250, 13.4100, OVK_CAT_BODY_CAM}};
    for (const SPOT& sp : spots) {
        const auto [x, y] = on_screen(sp.lat, sp.lon);
        const uint32_t c = pixel(x, y);
        EXPECT_GT((c >> 16) & 0xFF, 180u) << std::hex << c;
        EXPECT_LT((c >> 8) & 0xFF, 100u) << std::hex << c;
        EXPECT_LT(c & 0xFF, 100u) << std::hex << c;
    }
    float mx = 0, my = 0, mw = 0, mh = 0;
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, map(), &mx, &my, &mw, &mh));
    EXPECT_LT((pixel(static_cast<int>(mx + 3), static_cast<int>(my + 3)) >> 16) & 0xFF, 100u);

    // Dots: one per encounter in its category's colour; a click on one names it.
    x_click(mode);
    EXPECT_EQ(zq_gui_button_get_label(g_.ctx, mode), "Points");
    for (const SPOT& sp : spots) {
        const auto [x, y] = on_screen(sp.lat, sp.lon);
        EXPECT_EQ(pixel(x, y), ovk_color_argb(ovk_ink(&g_, ovk_cat_color(sp.cat))))
            << sp.lat << ", " << sp.lon;
    }
    shot("history_points_dark");
    const auto [dx, dy] = on_screen(52.5300, 13.4200);
    x_click_at(static_cast<float>(dx + 3), static_cast<float>(dy - 2));
    EXPECT_TRUE(pump([&] {
        return toast() == "car1: DJI Mini 4 - " + ovk_local_time(now - 3 * kDay).substr(0, 16) +
                              " - 60:60:1F:A2:44:18";
    })) << toast();

    // All of it: the two older ones join.
    x_click(all);
    ASSERT_TRUE(pump([&] { return summary_text() == expected_summary(0); })) << summary_text();
    EXPECT_EQ(summary_text().rfind("6 encounters - ", 0), 0u);
    EXPECT_TRUE(zq_gui_button_is_toggled(g_.ctx, all));
    EXPECT_FALSE(zq_gui_button_is_toggled(g_.ctx, week));
    expect_all_in_view(0);  // fitted again, to the older ones too
    enc = ovk_history_encounters(ovk_history_collect(0), 600000);
    expect_bars(hour_chart(), ovk_history_by_hour(enc), "hours, all");
    expect_bars(day_chart(), ovk_history_by_weekday(enc), "weekdays, all");

    // The last day: one encounter, in the singular. Pressing it again keeps it pressed.
    x_click(day);
    ASSERT_TRUE(pump([&] { return summary_text().rfind("1 encounter - ", 0) == 0; }))
        << summary_text();
    EXPECT_EQ(summary_text(), expected_summary(now - kDay));
    x_click(day);
    EXPECT_TRUE(zq_gui_button_is_toggled(g_.ctx, day));
    EXPECT_FALSE(zq_gui_button_is_toggled(g_.ctx, all));

    // The log cleared elsewhere: the open screen follows, with empty charts.
    ASSERT_EQ(ovk_store_clear_detections(), 0);
    ASSERT_TRUE(pump([&] {
        return summary_text().rfind("No flagged equipment logged in this period.", 0) == 0;
    })) << summary_text();
    expect_bars(hour_chart(), std::array<int, 24>{}, "hours, empty");
    expect_bars(day_chart(), std::array<int, 7>{}, "weekdays, empty");
    // Nothing to fit: the map stands where the main map stands, zoomed out (no map position
    // was ever stored).
    draw();
    const OVK_MAPVIEW main_view = ovk_map_view(), mine = ovk_history_view();
    EXPECT_DOUBLE_EQ(mine.lat, main_view.lat);
    EXPECT_DOUBLE_EQ(mine.lon, main_view.lon);
    EXPECT_DOUBLE_EQ(mine.zoom, 3);
    shot("history_empty_dark");

    // Encounters without a position: the hint, and nothing on the map in either mode.
    add_match("Flock Safety camera", OVK_CAT_ALPR, "B4:1E:52:00:00:07", now - kHour, false);
    ASSERT_TRUE(pump([&] { return summary_text() == expected_summary(now - kDay); }));
    EXPECT_NE(summary_text().find("Not on the map: turn on Settings > Save GPS position"),
              std::string::npos);
    const auto markers = [&] {
        draw();
        float x = 0, y = 0, w = 0, h = 0;
        EXPECT_TRUE(zq_gui_widget_screen_rect(g_.ctx, map(), &x, &y, &w, &h));
        ALLEGRO_BITMAP* bb = al_get_backbuffer(display_);
        al_lock_bitmap(bb, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
        int n = 0;  // strongly coloured pixels: the grid and the scale bar are grey
        for (int py = static_cast<int>(y); py < static_cast<int>(y + h); py += 2)
            for (int px = static_cast<int>(x); px < static_cast<int>(x + w); px += 2) {
                const uint32_t c = ovk_color_argb(al_get_pixel(bb, px, py));
                const int r = (c >> 16) & 0xFF, gr = (c >> 8) & 0xFF, b = c & 0xFF;
                n += std::max({r, gr, b}) - std::min({r, gr, b}) > 60;
            }
        al_unlock_bitmap(bb);
        return n;
    };
    EXPECT_EQ(markers(), 0);
    x_click(widget_in(win(), ZQ_GUI_BUTTON));  // dots <-> heat map
    EXPECT_EQ(markers(), 0);
    // ... while one positioned encounter does show.
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:09", now - kHour, true, 52.52,
              13.40);
    x_click(day);  // a period pressed again loads again, and fits the map
    ASSERT_TRUE(pump([&] { return summary_text() == expected_summary(now - kDay); }));
    EXPECT_GT(markers(), 10);

    // Once the user has dragged the map, new data leaves it where they put it.
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, map(), &mx, &my, &mw, &mh));
    const auto xy = [&](float x, float y) {
        return std::to_string(std::lround(x)) + " " + std::to_string(std::lround(y));
    };
    ASSERT_EQ(
        ovk_test::x_run("xdotool mousemove --window " + wid_ + " " + xy(mx + mw / 2, my + mh / 2) +
                        " mousedown 1 mousemove --window " + wid_ + " " +
                        xy(mx + mw / 2 + 30, my + mh / 2 + 10) + " mousemove --window " + wid_ +
                        " " + xy(mx + mw / 2 + 80, my + mh / 2 + 40) + " mouseup 1")
            .rc,
        0);
    settle(0.3);
    const OVK_MAPVIEW dragged = ovk_history_view();
    EXPECT_NE(dragged.lon, mine.lon);
    add_match("DJI Mini 4", OVK_CAT_DRONE, "60:60:1F:A2:44:18", now - kHour, true, 48.1, 11.5);
    ASSERT_TRUE(pump([&] { return summary_text() == expected_summary(now - kDay); }));
    draw();
    EXPECT_DOUBLE_EQ(ovk_history_view().lat, dragged.lat);
    EXPECT_DOUBLE_EQ(ovk_history_view().lon, dragged.lon);
    EXPECT_DOUBLE_EQ(ovk_history_view().zoom, dragged.zoom);
}

}  // namespace

namespace {

// On a narrow window (a phone held upright, a tiled desktop) every screen keeps its widgets
// inside the window; the history screen stacks its charts and keeps both in sight.
// While the engine is busy the history says it is reading, with no bars: at the first opening
// (it showed empty charts) and after a period button (it showed the period before under the
// new button) until the period's numbers arrive.
TEST_F(HistoryScreen, APeriodNotReadYetShowsNoNumbers) {
    const int64_t now = ovk_now_ms();
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", now - 2 * kHour, true,
              52.5200, 13.4050);
    add_match("Flock Safety camera", OVK_CAT_ALPR, "B4:1E:52:00:00:07", now - 3 * kDay, false);
    init(OVK_THEME_DARK);
    const auto no_bars = [&](const char* what) {
        for (int b : bar_heights(hour_chart(), 24)) EXPECT_EQ(b, 0) << what;
        for (int b : bar_heights(day_chart(), 7)) EXPECT_EQ(b, 0) << what;
    };
    {
        ovk_test::PortHold held(&g_);
        ASSERT_TRUE(pump([&] { return held.started(); }));
        ovk_history_show(&g_);
        ASSERT_TRUE(pump([&] { return zq_gui_window_is_open(g_.ctx, win()) != 0; }));
        for (int i = 0; i < 3; ++i) tick();
        EXPECT_EQ(summary_text(), "Reading...");
        no_bars("first opening");
    }
    ASSERT_TRUE(pump([&] { return read(); }));
    x_click(button_in(win(), "7 days"));
    ASSERT_TRUE(pump([&] { return summary_text() == expected_summary(now - 7 * kDay); }))
        << summary_text();

    ovk_test::PortHold held(&g_);
    ASSERT_TRUE(pump([&] { return held.started(); }));
    x_click(button_in(win(), "24 h"));
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(summary_text(), "Reading...") << "the week's numbers under the 24 h button";
    no_bars("another period");
    shot("history_reading_dark");
    held.release();
    ASSERT_TRUE(pump([&] { return summary_text() == expected_summary(now - kDay); }))
        << summary_text();
    EXPECT_EQ(summary_text().rfind("1 encounter - ", 0), 0u);
}

TEST_F(HistoryScreen, NarrowLightWindowKeepsEveryScreenInside) {
    const int64_t now = ovk_now_ms();
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", now - kHour, true, 52.5200,
              13.4050);
    add_match("DJI Mini 4", OVK_CAT_DRONE, "60:60:1F:A2:44:18", now - 2 * kHour, false);
    ASSERT_TRUE(al_resize_display(display_, 470, 800));
    struct RESTORE {
        ~RESTORE() { al_resize_display(ScreenTest::display_, kW, kH); }
    } restore;
    init(OVK_THEME_PAPER);
    ASSERT_FLOAT_EQ(g_.disp_w, 470);

    const auto inside = [&](int popup, const char* what) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[popup]);
        ASSERT_NE(w, nullptr);
        float cx = 0, cy = 0, cw = 0, ch = 0;
        ASSERT_TRUE(zq_gui_window_client_rect(g_.ctx, g_.popup[popup], &cx, &cy, &cw, &ch));
        for (int id : w->widgets) {
            float x = 0, y = 0, ww = 0, wh = 0;
            ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, id, &x, &y, &ww, &wh));
            EXPECT_LE(x + ww, cx + cw + 0.5f) << what << " widget " << id;
            EXPECT_GE(x, cx) << what << " widget " << id;
        }
    };

    ovk_history_show(&g_);
    settle();
    inside(OVK_POP_HISTORY, "history");
    float wx = 0, wy = 0, ww = 0, wh = 0, hx = 0, hy = 0, hw = 0, hh = 0;
    ASSERT_TRUE(zq_gui_window_client_rect(g_.ctx, g_.popup[OVK_POP_HISTORY], &wx, &wy, &ww, &wh));
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, hour_chart(), &hx, &hy, &hw, &hh));
    float dx = 0, dy = 0, dw = 0, dh = 0, mx = 0, my = 0, mw = 0, mh = 0;
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, day_chart(), &dx, &dy, &dw, &dh));
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, map(), &mx, &my, &mw, &mh));
    EXPECT_FLOAT_EQ(hw, dw) << "stacked, each across the width";
    EXPECT_GE(dy, hy + hh) << "the day chart below the hour chart";
    EXPECT_LE(dy + dh, wy + wh) << "the day chart is not cut off";
    EXPECT_LE(my + mh, hy);
    EXPECT_GE(mh, ovk_px(&g_, 120));
    shot("history_narrow_paper");
    ovk_gui_close_popup(&g_, OVK_POP_HISTORY);

    ovk_trips_show(&g_);
    settle();
    inside(OVK_POP_TRIPS, "traces");
    shot("traces_narrow_paper");
    ovk_gui_close_popup(&g_, OVK_POP_TRIPS);

    ovk_log_show(&g_);
    settle();
    inside(OVK_POP_LOG, "log");
    shot("log_narrow_paper");
}

}  // namespace

namespace {

// A slow disk under the store and the trips: their writes of whitelist.json and trips.json stop
// in the write hook, inside the module's lock, until released (or 20 s have passed, so that a
// test that fails still ends).
class HeldEngine {
  public:
    explicit HeldEngine(int64_t trip_id) : st_(std::make_shared<SHARED>()) {
        ovk_write_file_set_hook_for_test([st = st_](const std::string& path) {
            const auto ends = [&path](std::string_view tail) {
                return path.size() >= tail.size() &&
                       path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
            };
            if (!ends("/whitelist.json") && !ends("/trips.json")) return;
            std::unique_lock lk(st->mu);
            ++st->inside;
            st->cv.notify_all();
            if (!st->cv.wait_for(lk, std::chrono::seconds(20), [&] { return st->released; }))
                st->timed_out = true;
        });
        store_ = std::thread([] { ovk_store_whitelist_add("AA:BB:CC:DD:EE:01", "held"); });
        trips_ = std::thread([trip_id] { ovk_trip_rename(trip_id, "Held back"); });
        std::unique_lock lk(st_->mu);
        st_->cv.wait_for(lk, std::chrono::seconds(10), [&] { return st_->inside == 2; });
    }
    ~HeldEngine() {
        release();
        ovk_write_file_set_hook_for_test(nullptr);
    }
    // Both writers are inside their locks, and were never let go by the time-out.
    bool holding() {
        std::lock_guard lk(st_->mu);
        return st_->inside == 2 && !st_->released && !st_->timed_out;
    }
    void release() {
        {
            std::lock_guard lk(st_->mu);
            st_->released = true;
        }
        st_->cv.notify_all();
        if (store_.joinable()) store_.join();
        if (trips_.joinable()) trips_.join();
    }

  private:
    struct SHARED {
        std::mutex mu;
        std::condition_variable cv;
        int inside = 0;
        bool released = false, timed_out = false;
    };
    std::shared_ptr<SHARED> st_;
    std::thread store_, trips_;
};

// The history and a trace opened on the map read the engine off the interface thread: while
// the store and the trips are held by a slow write, the window goes on (it ticks, draws, and a
// period button answers) showing what it had; once the write is done, both show the data.
TEST_F(HistoryScreen, HistoryAndATraceOnTheMapWaitForTheEngineWithoutStoppingTheWindow) {
    const int64_t now = ovk_now_ms();
    add_match("Axon body camera", OVK_CAT_BODY_CAM, "00:25:DF:00:00:01", now - 2 * kHour, true,
              52.5200, 13.4050);
    add_match("Flock Safety camera", OVK_CAT_ALPR, "B4:1E:52:00:00:07", now - 40 * kDay, false);
    const int64_t id = ovk_trip_start("Errand");
    ASSERT_GT(id, 0);
    for (int i = 0; i < 12; ++i) {
        OVK_LOCATION at;
        at.lat = 52.5000 + i * 0.0005;
        at.lon = 13.4000;
        at.time = now - kHour + i * 20000;
        ovk_trip_on_location(at);
        const OVK_HIT cam = ovk_hit_make(OVK_CAT_BODY_CAM, "Axon body camera", 90, "BLE", "Axon");
        if (i == 5)
            ovk_trip_on_device("00:25:DF:00:00:03", -55, "BLE", &cam, "", "Axon", "", &at, at.time);
        if (i % 4 == 1)
            ovk_trip_on_device("11:22:33:44:55:" + std::to_string(10 + i), -80, "WIFI", nullptr,
                               "HomeNet", "", "", &at, at.time);
    }
    ovk_trip_stop();

    init(OVK_THEME_DARK);
    HeldEngine held(id);
    ASSERT_TRUE(held.holding());
    ovk_history_show(&g_);
    ASSERT_TRUE(ovk_gui_show_on(&g_, OVK_POP_MAP, ovk_subject_trip(id)));
    const std::string before = summary_text();
    settle(0.5);
    const int all = button_in(win(), "All");
    ASSERT_GE(all, 0);
    x_click(all);
    EXPECT_TRUE(zq_gui_button_is_toggled(g_.ctx, all));
    settle(0.5);
    EXPECT_TRUE(held.holding()) << "the window waited for the engine";
    EXPECT_EQ(summary_text(), before) << "nothing was read while the engine was held";
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_MAP)) << "the trace is not read yet";

    held.release();
    const std::vector<OVK_TRIP_DEVICE> devs = ovk_trip_devices(id);
    const size_t points = ovk_trip_points(id).size();
    ASSERT_GE(points, 2u);
    const std::string numbers =
        std::to_string(points) + " points - " + std::to_string(devs.size()) + " devices, 1 flagged";
    ASSERT_TRUE(pump(
        [&] {
            return summary_text() == expected_summary(0) &&
                   map_status().find(numbers) != std::string::npos;
        },
        10))
        << summary_text() << "\n"
        << map_status();
    EXPECT_NE(summary_text(), before);
    EXPECT_EQ(summary_text().rfind("3 encounters - ", 0), 0u) << summary_text();
    EXPECT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_MAP));
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Trace: Held back")
        << "the trace as it is after the write";
    shot("history_trace_after_held_engine");
}

}  // namespace
