// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The map on a private X server: the tile store against a tile server on loopback (each tile
// fetched once, drawn from disk once the server is gone, failures retried only after two
// minutes, the memory cache within its bound), the view's projection and mouse, and the map
// screen in the frame (plate cameras from a fake Overpass server, a stored trip, the live
// map with a drone and its operator). Nothing here reaches past 127.0.0.1.
//
// With OVK_SHOT_DIR set, the screen tests store map_*.png there to look at.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_memfile.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "ovk_alpr.h"
#include "ovk_app_util.h"
#include "ovk_dirs.h"
#include "ovk_export.h"
#include "ovk_gui.h"
#include "ovk_gui_map.h"
#include "ovk_gui_mapview.h"
#include "ovk_gui_port.h"
#include "ovk_linux_http.h"
#include "ovk_pipeline.h"
#include "ovk_prefs.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_http.h"
#include "ovk_test_program.h"
#include "ovk_test_xvfb.h"
#include "ovk_trip.h"
#include "zq_log.h"

namespace {

using namespace std::chrono_literals;

constexpr int kW = 1100, kH = 820;

// A closed loopback port: every request to it fails at once.
const char* const kDeadServer = "http://127.0.0.1:9";

// The PNG bytes of a 256-pixel tile: one colour, or (`mapish`) a street pattern that varies
// with `seed`, to look at in screenshots.
std::string make_png(ALLEGRO_COLOR fill, bool mapish = false, int seed = 0, int px = 256) {
    const int flags = al_get_new_bitmap_flags();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP* bmp = al_create_bitmap(px, px);
    al_set_new_bitmap_flags(flags);
    ALLEGRO_BITMAP* old = al_get_target_bitmap();
    al_set_target_bitmap(bmp);
    al_clear_to_color(fill);
    if (mapish) {
        const ALLEGRO_COLOR park = al_map_rgb(200, 230, 190), road = al_map_rgb(255, 255, 255);
        const ALLEGRO_COLOR edge = al_map_rgb(205, 200, 190), water = al_map_rgb(170, 210, 230);
        al_draw_filled_rectangle(30 + seed % 40, 140, 120 + seed % 50, 230, park);
        if (seed % 3 == 0) al_draw_filled_circle(200, 60, 40, water);
        for (int i = 0; i < 3; ++i) {
            const float p = 40.0f + 80.0f * static_cast<float>(i) + static_cast<float>(seed % 20);
            al_draw_line(p, 0, p, 256, edge, 9);
            al_draw_line(p, 0, p, 256, road, 6);
            al_draw_line(0, p, 256, p, edge, 9);
            al_draw_line(0, p, 256, p, road, 6);
        }
    }
    al_set_target_bitmap(old);
    std::string buf(static_cast<size_t>(px) * px * 4 + (1 << 16), '\0');
    ALLEGRO_FILE* f = al_open_memfile(buf.data(), static_cast<int64_t>(buf.size()), "w");
    EXPECT_TRUE(al_save_bitmap_f(f, ".png", bmp));
    buf.resize(static_cast<size_t>(al_ftell(f)));
    al_fclose(f);
    al_destroy_bitmap(bmp);
    return buf;
}

class MapTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const ovk_test::XvfbState& x = ovk_test::xvfb_start();
        ASSERT_TRUE(x.running) << x.error;
        setenv("OVK_ASSETS", OVK_SOURCE_DIR "/assets", 1);
        data_ = new ovk_test::TempDir();
        setenv("XDG_DATA_HOME", data_->path().c_str(), 1);
        ASSERT_EQ(ovk_linux_http_init(), 0);
        ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
        al_install_mouse();
        al_install_keyboard();
        al_init_image_addon();
        al_init_font_addon();
        al_init_ttf_addon();
        al_init_primitives_addon();
        display_ = al_create_display(kW, kH);
        ASSERT_NE(display_, nullptr);
        queue_ = al_create_event_queue();
        font_ = al_create_builtin_font();
    }
    static void TearDownTestSuite() {
        ovk_mapview_shutdown();
        if (font_) al_destroy_font(font_);
        if (queue_) al_destroy_event_queue(queue_);
        if (display_) al_destroy_display(display_);
        al_uninstall_system();
        ovk_linux_http_shutdown();
        delete data_;
    }

    void SetUp() override {
        unsetenv("OVK_TOUCH");
        unsetenv("OVK_DENSITY");
        al_set_target_backbuffer(display_);
        ovk_mapview_set_clock_for_test({});
        // Each test has a tile directory of its own.
        ovk_mapview_shutdown();
        ASSERT_EQ(ovk_mapview_init(tiles_.path()), 0);
        base_.scale = 1;
        base_.pal = ovk_theme_palette(OVK_THEME_LIGHT);
        base_.font = base_.font_small = font_;
    }
    void TearDown() override { ovk_mapview_set_clock_for_test({}); }

    // Draws the view (1000 x 768: the world at zoom 2 once, without a wrapped column) into
    // the display until `done` holds or `limit` passes; the tiles
    // still missing at the last draw.
    template <typename F>
    int draw_until(OVK_MAPVIEW& mv, F done, std::chrono::milliseconds limit = 10s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        int missing = 0;
        do {
            missing = ovk_mapview_draw_base(&base_, &mv, 0, 0, 1000, 768, true);
            ++draws_;
            if (done(missing)) break;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < until);
        return missing;
    }

    // Waits until the downloader has nothing queued or in hand.
    static bool downloader_idle() {
        const OVK_TILE_STATS s = ovk_mapview_stats();
        return s.queued == 0 && s.requests == s.stored + s.failed;
    }

    uint32_t pixel(int x, int y) {
        return ovk_color_argb(al_get_pixel(al_get_backbuffer(display_), x, y));
    }

    // Screen centre of tile (x, y) of zoom `z` in a view centred on 0, 0 drawn at (0, 0).
    static std::pair<int, int> tile_centre(const OVK_MAPVIEW& mv, int x, int y) {
        const double cell = mv.tile_px * std::pow(2.0, mv.zoom - std::floor(mv.zoom));
        const double half = cell * std::pow(2.0, std::floor(mv.zoom)) / 2;
        return {static_cast<int>(mv.w / 2 + (x + 0.5) * cell - half),
                static_cast<int>(mv.h / 2 + (y + 0.5) * cell - half)};
    }

    static inline ovk_test::TempDir* data_ = nullptr;
    static inline ALLEGRO_DISPLAY* display_ = nullptr;
    static inline ALLEGRO_EVENT_QUEUE* queue_ = nullptr;
    static inline ALLEGRO_FONT* font_ = nullptr;
    ovk_test::TempDir tiles_;
    OVK_GUI base_;  // what the base drawing reads: scale, palette, fonts, preferences
    std::atomic<int> draws_{0};
};

// ---------------------------------------------------------------------------------------
// The tile store
// ---------------------------------------------------------------------------------------

ALLEGRO_COLOR tile_colour(int x, int y) {
    return al_map_rgb(static_cast<unsigned char>(30 + 50 * x),
                      static_cast<unsigned char>(30 + 50 * y), 200);
}

TEST_F(MapTest, EachTileIsFetchedOnceStoredAndDrawnFromDiskOnceTheServerIsGone) {
    std::map<std::string, std::string> pngs;
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 4; ++y)
            pngs["/2/" + std::to_string(x) + "/" + std::to_string(y) + ".png"] =
                make_png(tile_colour(x, y));
    auto srv = std::make_unique<TestHttpServer>([&](const TestHttpRequest& r, TestHttpConn& c) {
        auto it = pngs.find(r.target);
        if (it == pngs.end())
            c.respond(404, "no such tile");
        else
            c.respond(200, it->second, "image/png");
    });
    base_.prefs.tile_server = srv->url("/");  // a trailing slash is dropped
    OVK_MAPVIEW mv;
    mv.zoom = 2;
    EXPECT_EQ(draw_until(mv, [](int missing) { return missing == 0; }), 0);
    EXPECT_EQ(ovk_mapview_server(), srv->url(""));

    // The whole world at zoom 2 is 16 tiles: each asked for once, by Orvik, and on disk.
    std::map<std::string, int> asked;
    for (const TestHttpRequest& r : srv->requests()) {
        ++asked[r.target];
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.headers.at("user-agent").rfind("Orvik/", 0), 0u) << r.headers.at("user-agent");
    }
    EXPECT_EQ(asked.size(), 16u);
    for (const auto& [target, n] : asked) EXPECT_EQ(n, 1) << target;
    OVK_TILE_KEY k{2, 1, 3};
    EXPECT_EQ(ovk_test::read_file(ovk_mapview_tile_path(k)), pngs["/2/1/3.png"]);
    EXPECT_EQ(ovk_mapview_tile_path(k), tiles_.path() + "/tiles/2/1/3.png");
    auto [px, py] = tile_centre(mv, 1, 1);
    EXPECT_EQ(pixel(px, py), ovk_color_argb(tile_colour(1, 1)));

    // The server goes away and the bitmaps are dropped: the map comes back from the disk,
    // at most 8 files a draw, without asking anyone.
    srv.reset();
    base_.prefs.tile_server = kDeadServer;
    ovk_mapview_flush_bitmaps();
    EXPECT_EQ(ovk_mapview_stats().mem_tiles, 0);
    const uint64_t requests = ovk_mapview_stats().requests;
    EXPECT_GT(ovk_mapview_draw_base(&base_, &mv, 0, 0, 1000, 768, true), 0);
    EXPECT_EQ(ovk_mapview_stats().mem_tiles, OVK_TILE_READS_PER_DRAW);
    EXPECT_EQ(draw_until(mv, [](int missing) { return missing == 0; }), 0);
    EXPECT_EQ(ovk_mapview_stats().requests, requests);
    std::tie(px, py) = tile_centre(mv, 2, 1);
    EXPECT_EQ(pixel(px, py), ovk_color_argb(tile_colour(2, 1)));

    // Zoomed in or out to levels nobody has: the cached tiles stand in, scaled up (parents)
    // or down (children), so the map shows no holes.
    double glat, glon;
    // (a point off the tile's centre, which is a corner of the next level's cells)
    ovk_mapview_to_geo(mv, static_cast<float>(px + 37), static_cast<float>(py + 53), &glat, &glon);
    for (double zoom : {3.5, 1.0}) {
        OVK_MAPVIEW other = mv;
        other.zoom = zoom;
        for (int i = 0; i < 4; ++i)
            EXPECT_GT(ovk_mapview_draw_base(&base_, &other, 0, 0, 1000, 768, true), 0);
        float ox, oy;
        ovk_mapview_to_screen(other, glat, glon, &ox, &oy);
        EXPECT_EQ(pixel(static_cast<int>(ox), static_cast<int>(oy)),
                  ovk_color_argb(tile_colour(2, 1)))
            << "zoom " << zoom;
    }

    // A dark palette draws the same tiles dimmed.
    base_.pal = ovk_theme_palette(OVK_THEME_DARK);
    ovk_mapview_draw_base(&base_, &mv, 0, 0, 1000, 768, true);
    const ALLEGRO_COLOR c = tile_colour(2, 1);
    EXPECT_NEAR(al_get_pixel(al_get_backbuffer(display_), px, py).r, c.r * 0.73f, 0.01f);

    // A tile older than 30 days is fetched again while the old one is still drawn.
    const std::string old_path = ovk_mapview_tile_path({2, 0, 0});
    utimbuf t{};
    t.actime = t.modtime = std::time(nullptr) - OVK_TILE_REFRESH_S - 60;
    ASSERT_EQ(utime(old_path.c_str(), &t), 0);
    ovk_mapview_flush_bitmaps();
    // (the dead server has answered every stand-in level asked for meanwhile)
    for (int i = 0; i < 500 && !downloader_idle(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(downloader_idle());
    std::atomic<int> refreshed{0};
    srv = std::make_unique<TestHttpServer>([&](const TestHttpRequest& r, TestHttpConn& c) {
        refreshed += r.target == "/2/0/0.png";
        c.respond(200, pngs.count(r.target) ? pngs[r.target] : "", "image/png");
    });
    base_.prefs.tile_server = srv->url("");
    EXPECT_EQ(draw_until(mv, [&](int missing) { return missing == 0 && refreshed > 0; }), 0);
    {
        std::string targets;
        for (const TestHttpRequest& r : srv->requests()) targets += r.target + " ";
        EXPECT_EQ(srv->requests().size(), 1u) << "only the stale tile, not " << targets;
    }
    struct stat sb {};
    ASSERT_EQ(stat(old_path.c_str(), &sb), 0);
    EXPECT_TRUE(draw_until(mv, [&](int) { return downloader_idle(); }) == 0);
    ASSERT_EQ(stat(old_path.c_str(), &sb), 0);
    EXPECT_GT(sb.st_mtime, t.modtime) << "stored again";
}

// One tile each: 404, 500, an HTML page with 200, a dropped connection, a slow answer, an
// answer too large to be a tile and a damaged PNG (which once left a locked bitmap behind that
// stalled the display's end). The map keeps drawing through all of them; none is asked for again
// within two minutes, the failed ones are asked for once more after that.
TEST_F(MapTest, FailedTilesLeaveTheMapWorkingAndAreRetriedOnlyAfterTwoMinutes) {
    std::atomic<time_t> now{std::time(nullptr)};
    ovk_mapview_set_clock_for_test([&] { return now.load(); });
    const std::string good = make_png(al_map_rgb(120, 160, 90));
    const std::string damaged = good.substr(0, 60) + std::string(200, 'x');
    std::atomic<bool> mended{false};  // the server sends a whole tile from then on
    std::atomic<bool> slow_outlasted_draws{false};
    auto srv = std::make_unique<TestHttpServer>([&](const TestHttpRequest& r, TestHttpConn& c) {
        if (r.target == "/2/0/0.png") {
            c.respond(404, "<html>Not found</html>", "text/html");
        } else if (r.target == "/2/1/0.png") {
            c.respond(500, "Internal error");
        } else if (r.target == "/2/2/0.png") {
            c.respond(200, "<!DOCTYPE html><html><body>Tile usage policy</body></html>",
                      "text/html");
        } else if (r.target == "/2/3/0.png") {
            return;  // the connection drops without an answer
        } else if (r.target == "/2/0/1.png") {
            // Answers only once the map has drawn a few more frames meanwhile.
            const int at = draws_.load();
            for (int i = 0; i < 500 && draws_.load() < at + 5; ++i)
                std::this_thread::sleep_for(10ms);
            slow_outlasted_draws = draws_.load() >= at + 5;
            c.respond(200, good, "image/png");
        } else if (r.target == "/2/2/1.png") {
            c.respond(200, "\x89PNG" + std::string(2 << 20, 'z'), "image/png");  // 2 MiB
        } else if (r.target == "/2/1/1.png") {
            c.respond(200, mended ? good : damaged, "image/png");
        } else {
            c.respond(200, good, "image/png");
        }
    });
    base_.prefs.tile_server = srv->url("");
    const uint64_t stored = ovk_mapview_stats().stored;  // (counted across tests)
    auto count = [&](const std::string& target) {
        int n = 0;
        for (const TestHttpRequest& r : srv->requests()) n += r.target == target;
        return n;
    };
    OVK_MAPVIEW mv;
    mv.zoom = 2;
    // Everything asked for and answered; the good tiles drawn, the failed ones still missing.
    int missing = draw_until(
        mv, [&](int m) { return srv->requests().size() >= 16 && downloader_idle() && m <= 6; });
    EXPECT_EQ(missing, 6) << "404, 500, HTML, dropped, 2 MiB, damaged";
    EXPECT_TRUE(slow_outlasted_draws) << "the map kept drawing while a tile was slow";
    // A minute of drawing later nothing has been asked for twice.
    now += 60;
    for (int i = 0; i < 30; ++i) ovk_mapview_draw_base(&base_, &mv, 0, 0, 1000, 768, true);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(srv->requests().size(), 16u);
    const char* const failing[] = {"/2/0/0.png", "/2/1/0.png", "/2/2/0.png",
                                   "/2/3/0.png", "/2/2/1.png", "/2/1/1.png"};
    for (const char* t : failing) {
        EXPECT_EQ(count(t), 1) << t;
        EXPECT_FALSE(ovk_test::file_exists(tiles_.path() + "/tiles" + std::string(t))) << t;
    }
    EXPECT_EQ(ovk_mapview_stats().failures, 6);
    EXPECT_EQ(ovk_mapview_stats().stored - stored, 11u)
        << "10 good tiles and the damaged one, not the 2 MiB";

    // Past two minutes the failed tiles are asked for once more; the stored ones are not.
    now += 61;
    mended = true;
    missing = draw_until(
        mv, [&](int m) { return srv->requests().size() >= 22 && downloader_idle() && m <= 5; });
    EXPECT_EQ(missing, 5);
    EXPECT_EQ(srv->requests().size(), 22u);
    for (const char* t : failing) EXPECT_EQ(count(t), 2) << t;
    EXPECT_EQ(count("/2/0/1.png"), 1);
    EXPECT_EQ(count("/2/3/3.png"), 1);
}

// Offline, every tile of every frame fails: the log says so once when the failures begin and
// once when tiles arrive again, not once per tile (the HTTP client's own line included).
TEST_F(MapTest, AFailingTileServerIsLoggedOncePerRunOfFailures) {
    std::atomic<time_t> now{std::time(nullptr)};
    ovk_mapview_set_clock_for_test([&] { return now.load(); });
    const std::string log_path = tiles_.path() + "/log.txt";
    FILE* log = std::fopen(log_path.c_str(), "w+");
    ASSERT_NE(log, nullptr);
    const int level = get_log_level();
    zq_log_set_stream(log);
    set_log_level(LOG_INFO);
    // The lines logged since the last call.
    long seen = 0;
    auto new_lines = [&] {
        std::fflush(log);
        const std::string all = ovk_test::read_file(log_path);
        std::vector<std::string> lines;
        size_t at = static_cast<size_t>(seen);
        for (size_t nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(all.substr(at, nl - at));
        seen = static_cast<long>(at);
        return lines;
    };
    auto joined = [](const std::vector<std::string>& lines) {
        std::string j;
        for (const std::string& l : lines) j += l + "\n";
        return j;
    };

    // No server: the 16 tiles of zoom 2 fail, one line says so.
    base_.prefs.tile_server = kDeadServer;
    OVK_MAPVIEW mv;
    mv.zoom = 2;
    const uint64_t failed = ovk_mapview_stats().failed;  // (counted across tests)
    draw_until(mv,
               [&](int) { return ovk_mapview_stats().failed >= failed + 16 && downloader_idle(); });
    EXPECT_EQ(ovk_mapview_stats().failed, failed + 16);
    std::vector<std::string> lines = new_lines();
    ASSERT_EQ(lines.size(), 1u) << joined(lines);
    EXPECT_NE(lines[0].find("WARNING"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(std::string(kDeadServer) + "/2/"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("not logged until a tile arrives"), std::string::npos) << lines[0];

    // The network is back (and the failures have aged): one line says tiles arrive again.
    const std::string good = make_png(al_map_rgb(90, 140, 200));
    auto srv = std::make_unique<TestHttpServer>(
        [&](const TestHttpRequest&, TestHttpConn& c) { c.respond(200, good, "image/png"); });
    base_.prefs.tile_server = srv->url("");
    now += OVK_TILE_RETRY_S + 1;
    EXPECT_EQ(draw_until(mv, [&](int m) { return m == 0 && downloader_idle(); }), 0);
    lines = new_lines();
    ASSERT_EQ(lines.size(), 1u) << joined(lines);
    EXPECT_NE(lines[0].find("arrive again from " + srv->url("") + " (16 failed meanwhile)"),
              std::string::npos)
        << lines[0];

    // The server answers with errors at the next zoom level: a new run, one new line.
    srv = std::make_unique<TestHttpServer>(
        [&](const TestHttpRequest&, TestHttpConn& c) { c.respond(503, "busy"); });
    base_.prefs.tile_server = srv->url("");
    mv.zoom = 3;
    draw_until(mv, [&](int) { return srv->requests().size() >= 10 && downloader_idle(); });
    EXPECT_GE(srv->requests().size(), 10u);
    lines = new_lines();
    ASSERT_EQ(lines.size(), 1u) << joined(lines);
    EXPECT_NE(lines[0].find("HTTP status 503"), std::string::npos) << lines[0];

    set_log_level(level);
    zq_log_set_stream(nullptr);
    std::fclose(log);
}

TEST_F(MapTest, TheMemoryCacheStaysWithinItsBoundWhilePanningAcross600Tiles) {
    // 30 x 20 tiles of zoom 10 on disk, no server: every one comes from the disk cache.
    const std::string png = make_png(al_map_rgb(90, 140, 200));
    for (int x = 500; x < 530; ++x) {
        ASSERT_EQ(ovk_mkdirs(tiles_.path() + "/tiles/10/" + std::to_string(x)), 0);
        for (int y = 300; y < 320; ++y)
            ovk_test::write_file(ovk_mapview_tile_path({10, x, y}), png);
    }
    base_.prefs.tile_server = kDeadServer;
    auto geo_of_tile = [](int x, int y, double* lat, double* lon) {
        OVK_MAPVIEW w;
        w.zoom = 10;
        const double half = 256.0 * 1024 / 2;
        ovk_mapview_to_geo(w, static_cast<float>(x * 256 + 128 - half),
                           static_cast<float>(y * 256 + 128 - half), lat, lon);
    };
    OVK_MAPVIEW mv;
    mv.zoom = 10;
    int most = 0;
    std::set<std::pair<int, int>> seen;
    // Row by row across the block, a screen (4 x 3 tiles) at a time.
    for (int y = 301; y < 320; y += 3) {
        for (int x = 502; x < 530; x += 2) {
            geo_of_tile(x, y, &mv.lat, &mv.lon);
            for (int i = 0; i < 4; ++i) {
                ovk_mapview_draw_base(&base_, &mv, 0, 0, 1000, 768, true);
                most = std::max(most, ovk_mapview_stats().mem_tiles);
            }
            for (int dx = -2; dx <= 2; ++dx)
                for (int dy = -2; dy <= 1; ++dy) seen.insert({x + dx, y + dy});
        }
    }
    const OVK_TILE_STATS s = ovk_mapview_stats();
    EXPECT_GE(s.decoded, 500u) << "the pan went across at least 500 tiles";
    EXPECT_EQ(most, OVK_TILE_MEM_SLOTS) << "the cache filled up and stayed there";
    EXPECT_LE(s.mem_bytes, size_t{OVK_TILE_MEM_SLOTS} * 256 * 256 * 4);
    EXPECT_EQ(s.mem_bytes, size_t(s.mem_tiles) * 256 * 256 * 4);
}

// Large tiles: 512-pixel ones fill the cache up to its byte bound, not its slot count, and
// 1024-pixel ones are kept at 256 pixels.
TEST_F(MapTest, LargeTilesAreBoundedByTheirBytes) {
    const std::string huge = make_png(al_map_rgb(200, 90, 90), false, 0, 1024);
    ALLEGRO_BITMAP* b = ovk_mapview_decode_png(huge);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(al_get_bitmap_width(b), 256);
    EXPECT_EQ(al_get_bitmap_height(b), 256);
    al_destroy_bitmap(b);

    const std::string png = make_png(al_map_rgb(90, 200, 90), false, 0, 512);
    for (int x = 500; x < 520; ++x) {
        ASSERT_EQ(ovk_mkdirs(tiles_.path() + "/tiles/10/" + std::to_string(x)), 0);
        for (int y = 300; y < 310; ++y)
            ovk_test::write_file(ovk_mapview_tile_path({10, x, y}), png);
    }
    base_.prefs.tile_server = kDeadServer;
    OVK_MAPVIEW mv;
    mv.zoom = 10;
    size_t most = 0;
    for (int y = 301; y < 310; y += 3) {
        for (int x = 502; x < 520; x += 2) {
            OVK_MAPVIEW w;
            w.zoom = 10;
            const double half = 256.0 * 1024 / 2;
            ovk_mapview_to_geo(w, static_cast<float>(x * 256 + 128 - half),
                               static_cast<float>(y * 256 + 128 - half), &mv.lat, &mv.lon);
            for (int i = 0; i < 4; ++i) {
                ovk_mapview_draw_base(&base_, &mv, 0, 0, 1000, 768, true);
                most = std::max(most, ovk_mapview_stats().mem_bytes);
            }
        }
    }
    const OVK_TILE_STATS s = ovk_mapview_stats();
    EXPECT_GE(s.decoded, 100u);
    EXPECT_LE(most, OVK_TILE_MEM_BYTES);
    EXPECT_GE(most, OVK_TILE_MEM_BYTES - (size_t{1} << 20)) << "the cache filled to its bound";
    EXPECT_EQ(s.mem_bytes, size_t(s.mem_tiles) * 512 * 512 * 4);
}

// ---------------------------------------------------------------------------------------
// The view
// ---------------------------------------------------------------------------------------

TEST_F(MapTest, ProjectionZoomAndFitFollowWebMercator) {
    OVK_MAPVIEW mv;
    mv.w = 800;
    mv.h = 600;
    mv.zoom = 3;
    // The centre sits in the middle; screen and ground are each other's inverse.
    float sx, sy;
    ovk_mapview_to_screen(mv, 0, 0, &sx, &sy);
    EXPECT_FLOAT_EQ(sx, 400);
    EXPECT_FLOAT_EQ(sy, 300);
    mv.lat = 45.4215;
    mv.lon = -75.6972;
    mv.zoom = 15.5;
    ovk_mapview_to_screen(mv, 45.43, -75.68, &sx, &sy);
    double lat, lon;
    ovk_mapview_to_geo(mv, sx, sy, &lat, &lon);
    EXPECT_NEAR(lat, 45.43, 1e-9);
    EXPECT_NEAR(lon, -75.68, 1e-9);
    EXPECT_GT(sx, 400) << "east is right";
    EXPECT_LT(sy, 300) << "north is up";
    // Latitude 89 is drawn at the edge of the world, where 85.0511 is.
    mv.zoom = 2;
    mv.lat = mv.lon = 0;
    float edge_y, far_y;
    ovk_mapview_to_screen(mv, OVK_MAP_LAT_MAX, 0, nullptr, &edge_y);
    ovk_mapview_to_screen(mv, 89, 0, nullptr, &far_y);
    EXPECT_FLOAT_EQ(far_y, edge_y);
    EXPECT_NEAR(edge_y, 300 - 512, 0.01);
    // Metres per pixel: the equator's length over the world's width.
    EXPECT_NEAR(ovk_mapview_m_per_px(mv), 40075016.686 / 1024, 1e-6);
    // Zoom stays within 2..19.
    ovk_mapview_zoom(&mv, -1);
    EXPECT_EQ(mv.zoom, 2);
    mv.zoom = 19;
    ovk_mapview_zoom(&mv, 0.5);
    EXPECT_EQ(mv.zoom, 19);
    // A box of about 1.5 km fills most of an 800 x 600 view; a point is shown at 17.
    ovk_mapview_fit(&mv, 45.41, -75.71, 45.42, -75.69, 800, 600);
    EXPECT_EQ(fmod(mv.zoom, 0.5), 0);
    double s, w, n, e;
    ovk_mapview_bounds(mv, &s, &w, &n, &e);
    EXPECT_LT(s, 45.41);
    EXPECT_GT(n, 45.42);
    EXPECT_LT(w, -75.71);
    EXPECT_GT(e, -75.69);
    OVK_MAPVIEW closer = mv;
    closer.zoom += 0.5;
    ovk_mapview_bounds(closer, &s, &w, &n, &e);
    EXPECT_TRUE(s > 45.41 - 0.0015 || e < -75.69 + 0.003) << "the next half step would not fit";
    ovk_mapview_fit(&mv, 45.4, -75.7, 45.4, -75.7, 800, 600);
    EXPECT_EQ(mv.zoom, 17);
    // The tile address: the default server is OpenStreetMap's.
    ovk_mapview_set_server("");
    EXPECT_EQ(ovk_mapview_tile_url(ovk_mapview_server(), {3, 4, 5}),
              "https://tile.openstreetmap.org/3/4/5.png");
    EXPECT_EQ(ovk_mapview_tile_url("http://127.0.0.1:8080/osm/", {18, 70000, 90000}),
              "http://127.0.0.1:8080/osm/18/70000/90000.png");
    // The templates people paste from other map programs.
    EXPECT_EQ(ovk_mapview_tile_url("https://{s}.tile.example.org/{z}/{x}/{y}{r}.png", {3, 4, 5}),
              "https://a.tile.example.org/3/4/5.png");
    EXPECT_EQ(ovk_mapview_tile_url("https://maps.example.org/${z}/${x}/${y}.png?key=k", {3, 4, 5}),
              "https://maps.example.org/3/4/5.png?key=k");
    EXPECT_EQ(ovk_mapview_tile_url("https://tms.example.org/{zoom}/{x}/{-y}.jpg", {3, 4, 5}),
              "https://tms.example.org/3/4/2.jpg");
    EXPECT_TRUE(ovk_mapview_tile_acceptable(200, std::string_view("\x89PNG\r\n\x1a\n\0", 9)));
    EXPECT_FALSE(ovk_mapview_tile_acceptable(200, "\x89PNG\r\n\x1a\n"));
    EXPECT_FALSE(ovk_mapview_tile_acceptable(200, "<html><body>Blocked</body></html>"));
    // A tile decodes; a header announcing a giant image is refused before anything is
    // allocated for it.
    std::string png = make_png(al_map_rgb(1, 2, 3));
    ALLEGRO_BITMAP* b = ovk_mapview_decode_png(png);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(al_get_bitmap_width(b), 256);
    al_destroy_bitmap(b);
    // The same tile cut short, or with a flipped bit, never reaches the image reader.
    EXPECT_EQ(ovk_mapview_decode_png(png.substr(0, png.size() - 12)), nullptr);
    std::string flipped = png;
    flipped[flipped.size() / 2] ^= 0x10;
    EXPECT_EQ(ovk_mapview_decode_png(flipped), nullptr);
    // The header's size with its checksum made right: 256 x 256 again decodes (so the
    // checksum is right), 60000 x 60000 is refused for its size.
    auto set_size = [](std::string p, uint32_t side) {
        for (int i = 0; i < 4; ++i) p[16 + i] = p[20 + i] = static_cast<char>(side >> (24 - 8 * i));
        uint32_t crc = 0xFFFFFFFFu;
        for (size_t i = 12; i < 29; ++i) {
            crc ^= static_cast<unsigned char>(p[i]);
            for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        crc ^= 0xFFFFFFFFu;
        for (int i = 0; i < 4; ++i) p[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
        return p;
    };
    b = ovk_mapview_decode_png(set_size(png, 256));
    EXPECT_NE(b, nullptr);
    if (b) al_destroy_bitmap(b);
    EXPECT_EQ(ovk_mapview_decode_png(set_size(png, 60000)), nullptr);
    EXPECT_FALSE(ovk_mapview_tile_acceptable(304, std::string_view("\x89PNG\r\n\x1a\n\0\0", 10)));
}

TEST_F(MapTest, DragPansWheelZoomsAroundThePointerAndAStillPressIsAClick) {
    OVK_MAPVIEW mv;
    mv.lat = 45.4215;
    mv.lon = -75.6972;
    mv.zoom = 14;
    mv.follow = 1;
    ovk_mapview_draw_base(&base_, &mv, 50, 40, 900, 700, false);
    // The events as the toolkit hands them over: a press past its drag threshold (8 pixels
    // either way) drags; a release without a drag is a tap.
    float px = 0, py = 0;
    bool dragged = false;
    auto ev = [&](int type, float x, float y, int button = 1, int dz = 0) {
        ZQ_GUI_MOUSE_EVENT e;
        e.type = type;
        e.x = x;
        e.y = y;
        e.button = button;
        e.dz = dz;
        if (type == ZQ_GUI_MOUSE_DOWN) px = x, py = y, dragged = false;
        dragged = dragged || std::fabs(x - px) > 8 || std::fabs(y - py) > 8;
        e.dragging = type != ZQ_GUI_MOUSE_WHEEL && dragged;
        e.tap = type == ZQ_GUI_MOUSE_UP && !dragged;
        return e;
    };
    // A press and release that moves less than the threshold is a click and pans nothing.
    EXPECT_EQ(ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_DOWN, 100, 100)), 0);
    EXPECT_EQ(ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_MOVE, 106, 95, 0)), 0);
    EXPECT_EQ(ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_UP, 106, 95)), 1);
    EXPECT_EQ(mv.lat, 45.4215);
    EXPECT_EQ(mv.follow, 1);
    // A drag: the ground under the press stays under the pointer, following stops.
    double glat, glon;
    ovk_mapview_to_geo(mv, 50 + 100, 40 + 100, &glat, &glon);
    ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_DOWN, 100, 100));
    ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_MOVE, 200, 180, 0));
    ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_MOVE, 300, 250, 0));
    double lat, lon;
    ovk_mapview_to_geo(mv, 50 + 300, 40 + 250, &lat, &lon);
    EXPECT_NEAR(lat, glat, 1e-9);
    EXPECT_NEAR(lon, glon, 1e-9);
    EXPECT_EQ(mv.follow, 0);
    EXPECT_EQ(ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_UP, 300, 250)), 0) << "no click";
    // The wheel: half a level per notch, the point under the pointer stays put.
    ovk_mapview_to_geo(mv, 50 + 700, 40 + 120, &glat, &glon);
    ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_WHEEL, 700, 120, 0, 2));
    EXPECT_EQ(mv.zoom, 15);
    ovk_mapview_to_geo(mv, 50 + 700, 40 + 120, &lat, &lon);
    EXPECT_NEAR(lat, glat, 1e-9);
    EXPECT_NEAR(lon, glon, 1e-9);
    // Panned once round the world and back, the longitude is still a longitude.
    for (int i = 0; i < 3; ++i) {
        ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_WHEEL, 450, 350, 0, -20));
        ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_DOWN, 0, 350));
        ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_MOVE, 900, 350, 0));
        ovk_mapview_mouse(&base_, &mv, ev(ZQ_GUI_MOUSE_UP, 900, 350));
    }
    EXPECT_EQ(mv.zoom, 2);
    EXPECT_GE(mv.lon, -180);
    EXPECT_LT(mv.lon, 180);
}

TEST_F(MapTest, TilesOffDrawTheGridAndAskForNothing) {
    auto srv = std::make_unique<TestHttpServer>(
        [](const TestHttpRequest&, TestHttpConn& c) { c.respond(500, "no"); });
    base_.prefs.tile_server = srv->url("");
    OVK_MAPVIEW mv;
    mv.zoom = 5.5;
    al_clear_to_color(al_map_rgb(0, 0, 0));
    EXPECT_EQ(ovk_mapview_draw_base(&base_, &mv, 10, 10, 700, 500, false), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(srv->requests().empty());
    EXPECT_EQ(pixel(200, 300), 0xFFE8E6E0u) << "the plain ground";
    EXPECT_EQ(pixel(5, 5), 0xFF000000u) << "nothing outside the rectangle";
    EXPECT_EQ(pixel(711, 300), 0xFF000000u);
    // The attribution box says why there are no tiles (dark text on a light box).
    int dark_text = 0;
    ALLEGRO_BITMAP* bb = al_get_backbuffer(display_);
    al_lock_bitmap(bb, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    for (int x = 560; x < 709; ++x)
        for (int y = 490; y < 509; ++y) dark_text += al_get_pixel(bb, x, y).b < 0.3f;
    al_unlock_bitmap(bb);
    EXPECT_GT(dark_text, 20);
}

// ---------------------------------------------------------------------------------------
// The map screen in the frame
// ---------------------------------------------------------------------------------------

class MapScreen : public MapTest {
  protected:
    void SetUp() override {
        MapTest::SetUp();
        ovk_mapview_shutdown();  // the screen starts the store in the data directory
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.tile_server = kDeadServer;
        p.map_tiles = 0;
        ovk_prefs_set(p);
        // The map alone: the devices drawn are the ones a test puts in the frame.
        ovk_gui_set_frame_only(true);
        ovk_gui_set_test_screens({{OVK_POP_MAP, ovk_map_build, nullptr, ovk_map_update,
                                   ovk_map_show, ovk_map_shutdown}});
    }
    void TearDown() override {
        if (inited_) ovk_gui_shutdown(&g_);
        ovk_gui_set_test_screens({});
        ovk_gui_set_frame_only(false);
        MapTest::TearDown();
    }
    void init() {
        ASSERT_EQ(ovk_gui_init(&g_, display_, queue_), 0);
        inited_ = true;
    }
    void mouse(unsigned type, float x, float y) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.mouse.x = static_cast<int>(x);
        ev.mouse.y = static_cast<int>(y);
        ev.mouse.button = type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1;
        ev.mouse.display = display_;
        ev.any.timestamp = al_get_time();
        ovk_gui_handle_event(&g_, &ev);
    }
    void click(float x, float y) {
        mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y);
    }
    int widget_in(int win, const std::string& label) {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, win);
        for (int id : w ? w->widgets : std::vector<int>{})
            if (zq_gui_button_get_label(g_.ctx, id) == label) return id;
        return -1;
    }
    void click_button(int win, const std::string& label) {
        const int id = widget_in(win, label);
        ASSERT_GE(id, 0) << label;
        float x, y, w, h;
        zq_gui_widget_screen_rect(g_.ctx, id, &x, &y, &w, &h);
        click(x + w / 2, y + h / 2);
    }
    // The map window's status line (its only label).
    std::string status() {
        const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP]);
        for (int id : w->widgets)
            if (zq_gui_get_widget(g_.ctx, id)->type == ZQ_GUI_LABEL)
                return zq_gui_label_get_text(g_.ctx, id);
        return {};
    }
    void frame() {
        ovk_gui_update(&g_);
        ovk_gui_draw(&g_);
    }
    void shot(const std::string& name) {
        frame();
        if (const char* dir = getenv("OVK_SHOT_DIR"))
            al_save_bitmap((std::string(dir) + "/" + name).c_str(), al_get_backbuffer(display_));
    }
    void click_geo(double lat, double lon) {
        float x, y;
        ovk_mapview_to_screen(ovk_map_view(), lat, lon, &x, &y);
        click(x, y);
    }
    // Street-like tiles from a server on loopback, for screenshots; frames until they are in.
    void with_tiles() {
        std::vector<std::string> pngs;
        for (int i = 0; i < 6; ++i)
            pngs.push_back(make_png(al_map_rgb(242, 239, 233), true, i * 7));
        tiles_srv_ =
            std::make_unique<TestHttpServer>([pngs](const TestHttpRequest& r, TestHttpConn& c) {
                c.respond(200, pngs[r.target.size() % pngs.size()], "image/png");
            });
        OVK_PREFS p = ovk_prefs_get();
        p.map_tiles = 1;
        p.tile_server = tiles_srv_->url("");
        ovk_gui_set_prefs(&g_, p);
    }
    void settle() {
        const auto until = std::chrono::steady_clock::now() + 15s;
        int idle = 0;
        while (idle < 10 && std::chrono::steady_clock::now() < until) {
            frame();
            idle = downloader_idle() ? idle + 1 : 0;
            std::this_thread::sleep_for(30ms);
        }
    }
    std::unique_ptr<TestHttpServer> tiles_srv_;
    void use_theme(OVK_THEME_ID t) {
        OVK_PREFS p = ovk_prefs_get();
        p.theme = t;
        ovk_gui_set_prefs(&g_, p);
        frame();
    }
    OVK_GUI g_;
    bool inited_ = false;
};

TEST_F(MapScreen, PlateCamerasOfTheViewComeFromOverpassShowAndFeedTheWarnings) {
    ovk_test::TempDir alpr_dir;
    ASSERT_EQ(ovk_alpr_load(alpr_dir.path()), 0);
    const std::string answer = R"({"elements":[
        {"type":"node","id":501,"lat":45.4221,"lon":-75.6965,
         "tags":{"manufacturer":"Flock Safety","operator":"City of Ottawa","camera:direction":"NE"}},
        {"type":"way","id":77,"center":{"lat":45.4209,"lon":-75.6981},"tags":{}}]})";
    TestHttpServer overpass([&](const TestHttpRequest& r, TestHttpConn& c) {
        c.respond(r.target == "/api/interpreter" ? 200 : 404, answer, "application/json");
    });
    ovk_alpr_set_fetch(ovk_platform_http);
    ovk_alpr_set_endpoint(overpass.url("/api/interpreter"));
    init();
    const int win = g_.popup[OVK_POP_MAP];
    ASSERT_GE(win, 0);

    // Zoomed out, the area is refused before anything is asked.
    ovk_map_show_at(&g_, 7, 45.4215, -75.6972);
    frame();
    click_button(win, "Plate cameras here");
    EXPECT_EQ(g_.toast.hit.label, "Area too large - zoom in (at most 2 degrees across)");
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_CONFIRM));

    // Closer in: asked first, then downloaded on the worker and shown.
    ovk_map_show_at(&g_, 16, 45.4215, -75.6972);
    frame();
    click_button(win, "Plate cameras here");
    ASSERT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_CONFIRM));
    EXPECT_NE(g_.confirm_text.find("The Overpass server sees your IP address"), std::string::npos);
    click_button(g_.popup[OVK_POP_CONFIRM], "Yes");
    EXPECT_EQ(g_.toast.hit.label, "Downloading plate cameras for this area from OpenStreetMap...");
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (g_.toast.hit.label.find("in this area") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        frame();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(g_.toast.hit.label, "2 plate cameras in this area (cached on this device)");
    ASSERT_EQ(overpass.requests().size(), 1u);
    const std::string query = test_form_decode(overpass.requests()[0].body.substr(5));
    EXPECT_NE(query.find("surveillance:type"), std::string::npos) << query;
    frame();
    EXPECT_EQ(status().rfind("Zoom 16.0 - 2 known plate cameras cached, 2 in view", 0), 0u)
        << status();
    // They feed the approach warnings.
    EXPECT_EQ(ovk_alpr_near_cached(45.4215, -75.6972, 150, 8).size(), 2u);
    shot("map_cameras.png");

    click_geo(45.4221, -75.6965);
    EXPECT_EQ(g_.toast.hit.label,
              "Flock Safety (ALPR), operated by City of Ottawa - node/501 - OpenStreetMap "
              "(surveillance:type=ALPR)");
    click_geo(45.4209, -75.6981);
    EXPECT_EQ(g_.toast.hit.label,
              "Plate reader (ALPR) - way/77 - OpenStreetMap (surveillance:type=ALPR)");

    // A server in trouble: the message says so and the cameras stay.
    TestHttpServer busy([](const TestHttpRequest&, TestHttpConn& c) { c.respond(429, "busy"); });
    ovk_alpr_set_endpoint(busy.url("/api/interpreter"));
    click_button(win, "Plate cameras here");
    click_button(g_.popup[OVK_POP_CONFIRM], "Yes");
    const auto until2 = std::chrono::steady_clock::now() + 20s;
    while (g_.toast.hit.label.rfind("Download failed", 0) != 0 &&
           std::chrono::steady_clock::now() < until2) {
        frame();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(g_.toast.hit.label.rfind("Download failed: ", 0), 0u) << g_.toast.hit.label;
    EXPECT_EQ(ovk_alpr_count(), 2);

    // A server that never answers: closing the program does not leave the download behind
    // (the worker is cancelled and waited for), nor wait for the 120 s time-out.
    std::atomic<bool> hung_up{false};
    TestHttpServer silent([&](const TestHttpRequest&, TestHttpConn& c) {
        c.wait_closed(60000);
        hung_up = true;
    });
    ovk_alpr_set_endpoint(silent.url("/api/interpreter"));
    click_button(win, "Plate cameras here");
    click_button(g_.popup[OVK_POP_CONFIRM], "Yes");
    for (int i = 0; i < 200 && silent.requests().empty(); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(silent.requests().size(), 1u);
    frame();
    EXPECT_NE(status().find(" - downloading..."), std::string::npos) << status();
    ovk_gui_shutdown(&g_);
    inited_ = false;
    for (int i = 0; i < 100 && !hung_up; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(hung_up) << "the download still ran after the shutdown";
    ovk_alpr_set_fetch({});
    ovk_alpr_unload();
}

// A trip recorded along a street: the map fits it, tells its numbers and its devices.
TEST_F(MapScreen, AStoredTripShowsItsTrackAndDevicesInTwoThemes) {
    ovk_test::TempDir trips_dir;
    ASSERT_EQ(ovk_trip_open(trips_dir.path()), 0);
    const int64_t id = ovk_trip_start("Bank Street");
    ASSERT_GT(id, 0);
    const int64_t t0 = 1765000000000;
    for (int i = 0; i < 40; ++i) {
        OVK_LOCATION l;
        l.lat = 45.4100 + i * 0.0004;
        l.lon = -75.6990 + std::sin(i / 6.0) * 0.0012;
        l.time = t0 + i * 20000;
        l.has_accuracy = 1;
        l.accuracy_m = 8;
        ovk_trip_on_location(l);
        if (i % 8 == 3) {
            OVK_HIT hit;
            hit.category = i % 16 == 3 ? OVK_CAT_ALPR : OVK_CAT_TRACKER;
            hit.label = i % 16 == 3 ? "Flock Safety camera" : "AirTag (lost mode)";
            hit.confidence = 80;
            const std::string mac = "AA:BB:CC:00:00:0" + std::to_string(i / 8);
            ovk_trip_on_device(mac, -60, "BLE", &hit, "", "", "", &l, l.time);
        } else if (i % 4 == 1) {
            ovk_trip_on_device("11:22:33:44:55:" + std::to_string(10 + i), -80, "WIFI", nullptr,
                               "HomeNet", "", "", &l, l.time);
        }
    }
    ovk_trip_stop();
    const std::vector<OVK_TRIP_DEVICE> devs = ovk_trip_devices(id);
    ASSERT_FALSE(devs.empty());
    ASSERT_GE(devs[0].category, 0);

    init();
    use_theme(OVK_THEME_PAPER);
    with_tiles();
    ovk_map_show_trip(&g_, id);
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));  // the trip is read off the interface thread
    ASSERT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_MAP));
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Trace: Bank Street");
    frame();
    const OVK_TRIP t = *ovk_trip_get(id);
    char want[160];
    std::snprintf(want, sizeof want,
                  "%.1f km - 40 points - %d devices, 5 flagged - tap a dot for details",
                  t.distance_m / 1000, t.device_count);
    EXPECT_EQ(status(), want);
    // The whole track is in view.
    const OVK_MAPVIEW mv = ovk_map_view();
    for (const OVK_TRIP_POINT& p : ovk_trip_points(id)) {
        float x, y;
        ovk_mapview_to_screen(mv, p.lat, p.lon, &x, &y);
        EXPECT_TRUE(x > mv.x && x < mv.x + mv.w && y > mv.y && y < mv.y + mv.h);
    }
    settle();
    shot("map_trip_light.png");
    click_geo(devs[0].lat, devs[0].lon);
    EXPECT_EQ(
        g_.toast.hit.label.rfind(devs[0].label + " - " + devs[0].mac + " - best -60 dBm - ", 0), 0u)
        << g_.toast.hit.label;
    use_theme(OVK_THEME_NIGHT_VISION);
    settle();
    shot("map_trip_dark.png");
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Trace: Bank Street")
        << "a rebuild keeps the trip";
    // Back to the live map.
    ovk_map_show(&g_);
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Map");
    ovk_map_show_trip(&g_, 9999);
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));
    EXPECT_EQ(g_.toast.hit.label, "Trace not found");
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Map");
    ovk_trip_close();
}

// The live map: the user's fix with its accuracy, devices where they were strongest, a drone
// at its Remote ID position with the line to its operator. A click on the drone selects it.
TEST_F(MapScreen, TheLiveMapShowsTheUserDevicesAndADroneWithItsOperator) {
    // Radios that start at once (for the trace button, which starts scanning).
    static std::atomic<bool> radios{false};
    OVK_PIPELINE_HOOKS h;
    h.scan_start = [](const OVK_SCAN_OPTS&) {
        radios = true;
        return 0;
    };
    h.scan_stop = [] { radios = false; };
    h.scan_running = [] { return radios ? 1 : 0; };
    ovk_pipeline_set_hooks(h);
    ASSERT_EQ(ovk_pipeline_init(), 0);
    OVK_LOCATION fix;
    fix.lat = 45.4215;
    fix.lon = -75.6972;
    fix.has_accuracy = 1;
    fix.accuracy_m = 25;
    fix.has_bearing = 1;
    fix.bearing_deg = 60;
    fix.time = 1765000000000;
    ovk_pipeline_location(fix);
    for (int i = 0; i < 200 && !ovk_pipeline_location_get(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(ovk_pipeline_location_get());

    init();
    ovk_map_show(&g_);
    ovk_map_show_at(&g_, 17, 45.4215, -75.6972);
    auto device = [](const std::string& mac, double lat, double lon, int cat, const char* label) {
        OVK_DEVICE d;
        d.mac = mac;
        d.has_best_pos = 1;
        d.best_pos = {0, lat, lon};
        if (cat >= 0) {
            OVK_HIT h;
            h.category = static_cast<OVK_CATEGORY>(cat);
            h.label = label;
            h.confidence = 85;
            d.hits.push_back(h);
        }
        return d;
    };
    g_.devices.push_back(device("AA:00:00:00:00:01", 45.4221, -75.6962, -1, ""));
    g_.devices.push_back(device("AA:00:00:00:00:02", 45.4209, -75.6985, OVK_CAT_TRACKER,
                                "Tile tracker travelling with you"));
    OVK_DEVICE drone =
        device("60:60:1F:A2:44:18", 45.4212, -75.6975, OVK_CAT_DRONE, "DJI drone (Remote ID)");
    OVK_REMOTE_ID rid;
    rid.has_pos = 1;
    rid.lat = 45.4226;
    rid.lon = -75.6990;
    rid.has_op_pos = 1;
    rid.op_lat = 45.4203;
    rid.op_lon = -75.7003;
    rid.has_height = 1;
    rid.height_m = 62;
    rid.has_direction = 1;
    rid.direction_deg = 135;
    rid.ua_type = "Helicopter / multirotor";
    drone.rid = std::make_shared<const OVK_REMOTE_ID>(rid);
    g_.devices.push_back(drone);
    // The settings are written to a file from here on (the same settings, nothing shown
    // between). Who writes them while the map is moved and stored, apart from the test's own
    // changes of the theme and the tiles:
    const OVK_PREFS keep = ovk_prefs_get();
    ASSERT_EQ(ovk_prefs_load(data_->path()), 0);
    ASSERT_EQ(ovk_prefs_set(keep), 0);
    struct WRITERS {
        std::atomic<bool> test{false};
        std::atomic<int> here{0}, elsewhere{0};
    };
    const auto writers = std::make_shared<WRITERS>();
    ovk_write_file_set_hook_for_test(
        [writers, me = std::this_thread::get_id()](const std::string& path) {
            if (path.size() < 14 || path.compare(path.size() - 14, 14, "/settings.json") != 0)
                return;
            if (std::this_thread::get_id() != me)
                ++writers->elsewhere;
            else if (!writers->test)
                ++writers->here;
        });
    writers->test = true;
    OVK_PREFS light = ovk_prefs_get();
    light.theme = OVK_THEME_LIGHT;
    ovk_gui_set_prefs(&g_, light);
    with_tiles();
    writers->test = false;
    settle();
    ovk_write_file_set_hook_for_test(nullptr);
    shot("map_live_light.png");
    // Where the map was is kept for the next start, written off the interface thread.
    EXPECT_NEAR(ovk_prefs_get().map_lat, 45.4215, 1e-9);
    EXPECT_NEAR(ovk_prefs_get().map_lon, -75.6972, 1e-9);
    EXPECT_EQ(ovk_prefs_get().map_zoom, 17);
    EXPECT_GE(writers->elsewhere.load(), 1);
    EXPECT_EQ(writers->here.load(), 0) << "the map's place was written on the interface thread";
    EXPECT_NE(ovk_test::read_file(data_->path() + "/settings.json").find("45.4215"),
              std::string::npos);
    // The drone's marker in the drone colour where Remote ID puts it.
    float x, y;
    ovk_mapview_to_screen(ovk_map_view(), rid.lat, rid.lon, &x, &y);
    EXPECT_EQ(pixel(static_cast<int>(x), static_cast<int>(y)), ovk_cat_color(OVK_CAT_DRONE));
    click(x, y);
    EXPECT_EQ(g_.sel_mac, drone.mac) << "the drone's details are asked for";
    use_theme(OVK_THEME_DARK);
    settle();
    shot("map_live_dark.png");

    // At night every colour the map draws is a shade of red: tiles, rings, labels, markers.
    use_theme(OVK_THEME_NIGHT_DRIVE);
    settle();
    shot("map_live_night.png");
    const OVK_MAPVIEW& mv = ovk_map_view();
    ALLEGRO_BITMAP* bb = al_get_backbuffer(display_);
    al_lock_bitmap(bb, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    int pixels = 0, not_red = 0;
    for (int py = static_cast<int>(mv.y); py < static_cast<int>(mv.y + mv.h); py += 2)
        for (int px = static_cast<int>(mv.x); px < static_cast<int>(mv.x + mv.w); px += 2) {
            const ALLEGRO_COLOR c = al_get_pixel(bb, px, py);
            ++pixels;
            not_red += c.g > 0.2f || c.b > 0.2f;
        }
    al_unlock_bitmap(bb);
    EXPECT_GT(pixels, 10000);
    EXPECT_EQ(not_red, 0) << "pixels of the night map that are not red, of " << pixels;

    // "My position" from far away, pressed before the map has read the position again: done
    // once it has.
    ovk_map_show_at(&g_, 5, 10, 10);
    click_button(g_.popup[OVK_POP_MAP], "My position");
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));
    frame();
    EXPECT_EQ(ovk_map_view().zoom, 16);
    EXPECT_EQ(ovk_map_view().follow, 1);
    EXPECT_DOUBLE_EQ(ovk_map_view().lat, fix.lat);
    EXPECT_DOUBLE_EQ(ovk_map_view().lon, fix.lon);

    // The trace button records off the interface thread (starting scanning); the button and
    // the message follow once it is done.
    ovk_test::TempDir trips_dir;
    ASSERT_EQ(ovk_trip_open(trips_dir.path()), 0);
    const int map = g_.popup[OVK_POP_MAP];
    click_button(map, "Record trace");
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));
    frame();
    EXPECT_EQ(g_.toast.hit.label, "Recording a trace: your route and every device heard along it");
    EXPECT_EQ(ovk_trip_is_recording(), 1);
    EXPECT_EQ(ovk_scan_is_running(), 1);
    EXPECT_LT(widget_in(map, "Record trace"), 0);
    click_button(map, "Stop trace");
    ASSERT_TRUE(ovk_port_settle(&g_, 5000));
    frame();
    EXPECT_EQ(g_.toast.hit.label, "Trace saved - see Traces");
    EXPECT_EQ(ovk_trip_is_recording(), 0);
    EXPECT_GE(widget_in(map, "Record trace"), 0);
    ovk_scan_stop();
    ovk_trip_close();
    ovk_pipeline_shutdown();
    ovk_pipeline_set_hooks(OVK_PIPELINE_HOOKS{});
}

// A central instance's map: the fleet sensors' detections of the last hour, each named with its
// sensor and a click telling which sensor saw what; this machine's own detections and older ones
// are not drawn as fleet markers.
TEST_F(MapScreen, FleetDetectionsOfTheLastHourShowWithTheirSensor) {
    ovk_test::TempDir store_dir;
    ASSERT_EQ(ovk_store_open(store_dir.path()), 0);
    const int64_t now = ovk_now_ms();
    auto add = [&](const char* sensor, const char* mac, int64_t t, double lat, double lon) {
        OVK_DETECTION d;
        d.sensor = sensor;
        d.mac = mac;
        d.label = "Axon body camera";
        d.source = "BLE";
        d.category = OVK_CAT_BODY_CAM;
        d.confidence = 90;
        d.timestamp = t;
        d.has_pos = 1;
        d.lat = lat;
        d.lon = lon;
        ASSERT_EQ(ovk_store_add_detection(d), 0);
    };
    add("car1", "00:25:DF:4A:19:C2", now - 600000, 45.4415, -75.6772);
    add("home", "00:25:DF:4A:19:C3", now - 2 * 3600000, 45.4430, -75.6750);  // too old
    add("", "00:25:DF:4A:19:C4", now - 60000, 45.4400, -75.6790);            // this machine's
    init();
    ovk_map_show_at(&g_, 17, 45.4415, -75.6772);
    auto colour_at = [&](double lat, double lon) {
        float x, y;
        ovk_mapview_to_screen(ovk_map_view(), lat, lon, &x, &y);
        return pixel(static_cast<int>(x), static_cast<int>(y));
    };
    const uint32_t cam = ovk_color_argb(ovk_ink(&g_, ovk_cat_color(OVK_CAT_BODY_CAM)));
    for (int i = 0; i < 300 && colour_at(45.4415, -75.6772) != cam; ++i) {
        frame();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(colour_at(45.4415, -75.6772), cam);
    EXPECT_NE(colour_at(45.4430, -75.6750), cam);
    EXPECT_NE(colour_at(45.4400, -75.6790), cam);
    shot("map_fleet.png");
    click_geo(45.4415, -75.6772);
    EXPECT_EQ(g_.toast.hit.label, "car1: Axon body camera - 90% - 00:25:DF:4A:19:C2 - " +
                                      ovk_local_time(now - 600000).substr(0, 16));
    ovk_store_close();
}

// ---------------------------------------------------------------------------------------
// The program, as a person uses it
// ---------------------------------------------------------------------------------------

// A tile server given as a template that keeps failing: the map's status line says so (not
// only the log), and a working server takes the note away.
TEST_F(MapScreen, AFailingTileServerShowsOnTheStatusLine) {
    std::atomic<bool> broken{true};
    const std::string png = make_png(al_map_rgb(242, 239, 233));
    TestHttpServer srv([&](const TestHttpRequest&, TestHttpConn& c) {
        if (broken)
            c.respond(404, "<html>Not found</html>", "text/html");
        else
            c.respond(200, png, "image/png");
    });
    init();
    OVK_PREFS p = ovk_prefs_get();
    p.map_tiles = 1;
    p.tile_server = srv.url("/osm/{z}/{x}/{y}.png");
    ovk_gui_set_prefs(&g_, p);
    ovk_map_show_at(&g_, 12, 45.4215, -75.6972);
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (status().find("Tiles:") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        frame();
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_NE(status().find(" - Tiles: the server answered 404 - check Settings"),
              std::string::npos)
        << status();
    ASSERT_FALSE(srv.requests().empty());
    EXPECT_EQ(srv.requests().front().target.rfind("/osm/12/", 0), 0u)
        << srv.requests().front().target;
    shot("map_tiles_failing.png");

    // Mended and pointed at again (another address of the same server): the note goes.
    broken = false;
    p.tile_server = srv.url("/osm/{z}/{x}/{y}.png?v=2");
    ovk_gui_set_prefs(&g_, p);
    const auto until2 = std::chrono::steady_clock::now() + 20s;
    while (status().find("Tiles:") != std::string::npos &&
           std::chrono::steady_clock::now() < until2) {
        frame();
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(status().find("Tiles:"), std::string::npos) << status();
}

// The demo walk on the real window: Ctrl+M opens the map, which centres on the walker and
// fetches its tiles from the tile server of the settings (on loopback), each once, as Orvik;
// a drag with the mouse pans to new ones; the tiles stay on disk.
TEST(MapWindow, CtrlMOpensTheMapOnTheDemoWalkAndADragPansToNewTiles) {
    OVK_REQUIRE_XVFB();
    const std::string orvik = std::string(OVK_BINARY_DIR) + "/orvik";
    ASSERT_TRUE(ovk_test::file_exists(orvik)) << "build the orvik target first";
    ovk_test::TempDir dir;
    const std::string tile_file = dir.file("tile.png");
    ASSERT_EQ(ovk_test::run_command("convert -size 256x256 xc:'#f2efe9' -fill '#c8e6be' -draw "
                                    "'rectangle 20,150 110,230' -stroke white -strokewidth 7 "
                                    "-draw 'line 0,96 256,96' -draw 'line 170,0 170,256' png:" +
                                    tile_file)
                  .rc,
              0);
    const std::string tile = ovk_test::read_file(tile_file);
    TestHttpServer srv(
        [&](const TestHttpRequest&, TestHttpConn& c) { c.respond(200, tile, "image/png"); });
    ASSERT_EQ(ovk_mkdirs(dir.path() + "/orvik"), 0);
    ovk_test::write_file(dir.path() + "/orvik/settings.json",
                         "{\"setup_wizard_done\": true, \"tile_server\": \"" + srv.url("") + "\"}");
    ovk_test::ProgramLaunch l;
    l.exe = orvik;
    l.args = {"--demo"};
    l.env = {"XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path(),
             std::string("OVK_ASSETS=") + OVK_SOURCE_DIR + "/assets",
             "DISPLAY=" + ovk_test::xvfb_start().display, "OVK_TOUCH=0"};
    l.out_dir = dir.path();
    ovk_test::RunningProgram p(l);
    std::string wid;
    ASSERT_TRUE(ovk_test::x_wait_window("^Orvik$", 20000, &wid)) << p.err();
    ovk_test::x_run("xdotool windowfocus --sync " + wid);
    auto distinct = [&] {
        std::set<std::string> t;
        for (const TestHttpRequest& r : srv.requests()) t.insert(r.target);
        return t;
    };
    // Waits until `done` or 20 s.
    auto wait_for = [](auto done) {
        for (int i = 0; i < 400 && !done(); ++i) std::this_thread::sleep_for(50ms);
        return done();
    };
    ovk_test::x_run("xdotool key ctrl+m");
    // The walker's tiles at zoom 16 arrive, and the downloader settles.
    size_t before = 0;
    ASSERT_TRUE(wait_for([&] {
        size_t n = 0;
        for (const std::string& t : distinct()) n += t.rfind("/16/", 0) == 0;
        if (n >= 12 && n == before) return true;
        before = n;
        std::this_thread::sleep_for(400ms);
        return false;
    })) << srv.requests().size()
        << " requests\n"
        << p.err();
    const std::set<std::string> first = distinct();
    EXPECT_EQ(first.size(), srv.requests().size()) << "each tile once";
    EXPECT_EQ(srv.requests()[0].headers.at("user-agent").rfind("Orvik/", 0), 0u);
    const std::string a_tile = dir.path() + "/orvik/tiles" + *first.rbegin();
    EXPECT_TRUE(ovk_test::file_exists(a_tile)) << a_tile;

    // A drag across the map, as a person does it: new tiles come into view.
    ovk_test::x_run("xdotool mousemove --window " + wid + " 800 500 mousedown 1");
    for (int x = 780; x >= 300; x -= 40)
        ovk_test::x_run("xdotool mousemove --window " + wid + " " + std::to_string(x) + " 480");
    ovk_test::x_run("xdotool mouseup 1");
    EXPECT_TRUE(wait_for([&] { return distinct().size() >= first.size() + 2; }))
        << "the pan fetched nothing new";
    std::this_thread::sleep_for(1500ms);
    const std::string shot = dir.file("map_window.png");
    ASSERT_TRUE(ovk_test::x_screenshot(shot, wid));
    // The tiles' ground colour, dimmed in the default dark theme, fills much of the map.
    const auto r = ovk_test::run_command("convert " + shot +
                                         " -crop 600x300+250+350 -fuzz 2% -fill black "
                                         "+opaque '#b1afaa' -format '%[fx:mean]' info:");
    EXPECT_GT(std::atof(r.out.c_str()), 0.2) << r.out;
    if (const char* keep = std::getenv("OVK_SHOT_DIR"))
        ovk_test::run_command("cp " + shot + " " + std::string(keep) + "/map_window.png");
    EXPECT_EQ(distinct().size(), srv.requests().size()) << "still each tile once";
    p.signal(SIGTERM);
    const auto done = p.finish(30);
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_TRUE(ovk_test::file_exists(a_tile));
}

}  // namespace
