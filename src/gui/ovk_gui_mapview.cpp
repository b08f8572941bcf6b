// SPDX-License-Identifier: GPL-3.0-or-later
// The tile map base.
//
// Index
//   1. The tile store: state, clock, requests and the failure table
//   2. The downloader thread
//   3. Life cycle, server, stats
//   4. Getting a tile: memory, disk, decoding
//   5. Projection
//   6. Drawing the base: tiles and stand-ins, grid, scale bar, attribution
//   7. Mouse
#include "ovk_gui_mapview.h"

#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_memfile.h>
#include <allegro5/allegro_primitives.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_gui.h"
#include "ovk_linux_http.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. The tile store
// ---------------------------------------------------------------------------------------

struct MEM_TILE {
    OVK_TILE_KEY k;
    ALLEGRO_BITMAP* bmp = nullptr;
    unsigned long used = 0;  // draw counter of its last use
};

struct FAIL_TILE {
    OVK_TILE_KEY k;
    time_t when = 0;
};

struct STORE {
    // Set by init before the downloader starts and cleared after it is joined.
    std::string dir;  // "<data dir>/tiles"

    // Main thread only.
    std::array<MEM_TILE, OVK_TILE_MEM_SLOTS> mem{};
    unsigned long draw_counter = 0;
    int reads_left = 0;           // tile files that may still be read in this draw
    bool starved = false;         // the last draw left a tile on disk for want of reads
    uint64_t stored_at_draw = 0;  // the downloader's count when the last draw began

    // Shared with the downloader, under `mu`.
    std::mutex mu;
    std::condition_variable cv;
    std::deque<OVK_TILE_KEY> queue;       // newest at the back
    std::optional<OVK_TILE_KEY> loading;  // the one being downloaded
    std::vector<FAIL_TILE> fails;
    std::string server = OVK_TILE_SERVER_DEFAULT;
    // Tiles that failed in a row since the last one arrived, and why the last one failed
    // ("the server answered 404").
    int fail_streak = 0;
    std::string trouble;
    std::function<time_t()> clock;
    bool stop = false;
    std::thread thread;

    // Counters anyone may read.
    std::atomic<bool> running{false};
    std::atomic<uint64_t> requests{0}, stored{0}, failed{0}, decoded{0}, draws{0};
    std::atomic<int> mem_tiles{0};
    std::atomic<size_t> mem_bytes{0};
};

STORE& store() {
    static STORE s;
    return s;
}

// Seconds since the epoch, from the test's clock when one is set. Under the lock.
time_t now_locked(STORE& s) {
    return s.clock ? s.clock() : std::time(nullptr);
}

bool failed_recently_locked(STORE& s, const OVK_TILE_KEY& k, time_t now) {
    for (const FAIL_TILE& f : s.fails)
        if (f.k == k && now - f.when < OVK_TILE_RETRY_S) return true;
    return false;
}

// A key that failed gets its time renewed; a new one takes a free entry or, with the table
// full, the entry that failed longest ago (so that the tiles failing now are never the ones
// forgotten, and a dead server is not asked again every frame).
void record_failure_locked(STORE& s, const OVK_TILE_KEY& k) {
    const time_t now = now_locked(s);
    for (FAIL_TILE& f : s.fails) {
        if (f.k == k) {
            f.when = now;
            return;
        }
    }
    if (static_cast<int>(s.fails.size()) < OVK_TILE_FAIL_MAX) {
        s.fails.push_back({k, now});
        return;
    }
    auto oldest =
        std::min_element(s.fails.begin(), s.fails.end(),
                         [](const FAIL_TILE& a, const FAIL_TILE& b) { return a.when < b.when; });
    *oldest = {k, now};
}

std::string tile_path_in(const std::string& dir, const OVK_TILE_KEY& k) {
    if (dir.empty()) return {};
    char tail[64];
    std::snprintf(tail, sizeof tail, "/%d/%d/%d.png", k.z, k.x, k.y);
    return dir + tail;
}

// Asks the downloader for a tile: not one that failed in the last two minutes, queued or
// being fetched already; a full queue drops its oldest request.
void request(const OVK_TILE_KEY& k) {
    STORE& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.running.load()) return;
    const time_t now = now_locked(s);
    if (failed_recently_locked(s, k, now)) return;
    if (s.loading && *s.loading == k) return;
    if (std::find(s.queue.begin(), s.queue.end(), k) != s.queue.end()) return;
    // The caller looked at the disk before taking the lock: the downloader may have stored
    // the tile since then, and a fresh tile is not fetched twice.
    struct stat st {};
    const std::string path = tile_path_in(s.dir, k);
    if (!path.empty() && stat(path.c_str(), &st) == 0 && now - st.st_mtime <= OVK_TILE_REFRESH_S)
        return;
    if (static_cast<int>(s.queue.size()) >= OVK_TILE_QUEUE_MAX) s.queue.pop_front();
    s.queue.push_back(k);
    s.cv.notify_one();
}

// ---------------------------------------------------------------------------------------
// 2. The downloader
// ---------------------------------------------------------------------------------------

// Takes the newest request, fetches it and stores it when it is a PNG; records a failure
// otherwise. Pauses after every download.
void downloader() {
    STORE& s = store();
    // A server that cannot be reached (no network) fails every tile of every frame: this
    // thread says so once, when a run of failures begins, and once more when a tile arrives
    // again, instead of one line per tile.
    ovk_linux_http_set_thread_quiet(true);
    uint64_t streak = 0;
    std::unique_lock<std::mutex> lock(s.mu);
    while (!s.stop) {
        if (s.queue.empty()) {
            s.cv.wait(lock);
            continue;
        }
        const OVK_TILE_KEY k = s.queue.back();
        s.queue.pop_back();
        s.loading = k;
        const std::string server = s.server;
        const std::string url = ovk_mapview_tile_url(server, k);
        const std::string path = tile_path_in(s.dir, k);
        lock.unlock();

        ++s.requests;
        int status = 0;
        bool ok = false;
        std::string why;
        std::string trouble;  // in words for the map's status line
        try {
            std::optional<std::string> body =
                ovk_platform_http(url, std::nullopt, std::nullopt, OVK_TILE_TIMEOUT_S, &status,
                                  nullptr, OVK_TILE_MAX_BODY + 1);
            if (!body) {
                why = ovk_linux_http_last_error();
                trouble = status > 0 ? "the server answered " + std::to_string(status)
                                     : "the server cannot be reached";
            } else if (!ovk_mapview_tile_acceptable(status, *body)) {
                why = status == 200 ? "the answer is not a PNG tile"
                                    : "HTTP status " + std::to_string(status);
                trouble = status == 200 ? "the server sends no map tiles"
                                        : "the server answered " + std::to_string(status);
            } else {
                const size_t slash = path.rfind('/');
                ok = ovk_mkdirs(std::string_view(path).substr(0, slash)) == 0 &&
                     ovk_write_file_atomic(path, *body) == 0;
                if (!ok) why = "cannot store it under " + s.dir;
                if (!ok) trouble = "cannot be stored on disk";
            }
        } catch (const std::exception& e) {
            // (out of memory: nothing here may allocate)
            zq_log(LOG_DEBUG, "map tile %s: %s", url.c_str(), e.what());
            ok = false;
            why.clear();
        }
        const char* reason = why.empty() ? "unexpected error" : why.c_str();

        if (ok && streak > 0) {
            zq_log(LOG_NOTICE, "map tiles arrive again from %s (%llu failed meanwhile)",
                   server.c_str(), static_cast<unsigned long long>(streak));
            streak = 0;
        } else if (!ok) {
            if (streak == 0)
                zq_log(LOG_WARNING,
                       "map tile %s failed: %s (later failures are not logged until a tile "
                       "arrives)",
                       url.c_str(), reason);
            zq_log(LOG_DEBUG, "tile %d/%d/%d failed (HTTP %d)", k.z, k.x, k.y, status);
            ++streak;
        }

        lock.lock();
        s.loading.reset();
        if (ok) {
            s.fail_streak = 0;
            s.trouble.clear();
        } else if (s.server == server) {
            ++s.fail_streak;
            s.trouble = trouble;
        }
        if (ok) {
            ++s.stored;
        } else {
            record_failure_locked(s, k);
            ++s.failed;
        }
        s.cv.wait_for(lock, std::chrono::milliseconds(OVK_TILE_PAUSE_MS), [&] { return s.stop; });
    }
}

// ---------------------------------------------------------------------------------------
// 4. Getting a tile
// ---------------------------------------------------------------------------------------

void free_slot(STORE& s, MEM_TILE& t) {
    if (!t.bmp) return;
    s.mem_bytes -= static_cast<size_t>(al_get_bitmap_width(t.bmp)) *
                   static_cast<size_t>(al_get_bitmap_height(t.bmp)) * 4;
    --s.mem_tiles;
    al_destroy_bitmap(t.bmp);
    t.bmp = nullptr;
}

size_t pixel_bytes(ALLEGRO_BITMAP* bmp) {
    return static_cast<size_t>(al_get_bitmap_width(bmp)) *
           static_cast<size_t>(al_get_bitmap_height(bmp)) * 4;
}

// Into the first free slot, else over the least recently used one; the least recently used
// ones also make room while the pixels held would pass OVK_TILE_MEM_BYTES.
void remember(STORE& s, const OVK_TILE_KEY& k, ALLEGRO_BITMAP* bmp) {
    const size_t add = pixel_bytes(bmp);
    while (s.mem_tiles > 0 && s.mem_bytes + add > OVK_TILE_MEM_BYTES) {
        MEM_TILE* oldest = nullptr;
        for (MEM_TILE& t : s.mem)
            if (t.bmp && (!oldest || t.used < oldest->used)) oldest = &t;
        if (!oldest) break;
        free_slot(s, *oldest);
    }
    MEM_TILE* slot = nullptr;
    for (MEM_TILE& t : s.mem) {
        if (!t.bmp) {
            slot = &t;
            break;
        }
        if (!slot || t.used < slot->used) slot = &t;
    }
    free_slot(s, *slot);
    slot->k = k;
    slot->bmp = bmp;
    slot->used = s.draw_counter;
    ++s.mem_tiles;
    s.mem_bytes += add;
}

// The tile's bitmap from memory, else from disk while this draw's read budget lasts.
// With `download`: a missing tile, or one older than 30 days, is requested.
ALLEGRO_BITMAP* get_tile(const OVK_TILE_KEY& k, bool download) {
    STORE& s = store();
    for (MEM_TILE& t : s.mem) {
        if (t.bmp && t.k == k) {
            t.used = s.draw_counter;
            return t.bmp;
        }
    }
    const std::string path = tile_path_in(s.dir, k);
    if (path.empty()) return nullptr;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (download) request(k);
        return nullptr;
    }
    if (download) {
        time_t now = 0;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            now = now_locked(s);
        }
        if (now - st.st_mtime > OVK_TILE_REFRESH_S) request(k);  // still used meanwhile
    }
    if (s.reads_left <= 0) {
        s.starved = true;
        return nullptr;
    }
    --s.reads_left;
    const std::optional<std::string> bytes = ovk_read_file(path);
    ALLEGRO_BITMAP* bmp = bytes ? ovk_mapview_decode_png(*bytes) : nullptr;
    if (!bmp) {
        // A damaged file goes; it is fetched again once the failure has aged, not at once
        // (a server that keeps sending damaged tiles would otherwise be asked every frame).
        std::remove(path.c_str());
        std::lock_guard<std::mutex> lock(s.mu);
        record_failure_locked(s, k);
        return nullptr;
    }
    ++s.decoded;
    remember(s, k, bmp);
    return bmp;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 3. Life cycle
// ---------------------------------------------------------------------------------------

int ovk_mapview_init(std::string_view data_dir) {
    STORE& s = store();
    if (s.running.load()) return 0;
    OVK_CHECK(!data_dir.empty(), -1);
    try {
        const std::string dir = std::string(data_dir) + "/tiles";
        if (ovk_mkdirs(dir) != 0) {
            zq_log(LOG_ERR, "cannot create %s", dir.c_str());
            return -1;
        }
        std::lock_guard<std::mutex> lock(s.mu);
        s.dir = dir;
        s.stop = false;
        s.queue.clear();
        s.fails.clear();
        s.loading.reset();
        s.thread = std::thread(downloader);
        s.running = true;
        return 0;
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "cannot start the tile downloader: %s", e.what());
        s.dir.clear();
        return -1;
    }
}

void ovk_mapview_shutdown() {
    STORE& s = store();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.stop = true;
        s.running = false;
        s.queue.clear();
        s.cv.notify_all();
    }
    if (s.thread.joinable()) {
        ovk_linux_http_cancel_all();  // a tile download in progress ends now
        s.thread.join();
    }
    std::lock_guard<std::mutex> lock(s.mu);
    s.fails.clear();
    s.loading.reset();
    s.dir.clear();
    ovk_mapview_flush_bitmaps();
}

void ovk_mapview_flush_bitmaps() {
    STORE& s = store();
    for (MEM_TILE& t : s.mem) free_slot(s, t);
}

void ovk_mapview_set_server(std::string_view url) {
    STORE& s = store();
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    std::lock_guard<std::mutex> lock(s.mu);
    const std::string want = url.empty() ? std::string(OVK_TILE_SERVER_DEFAULT) : std::string(url);
    if (s.server == want) return;
    // Another server: what the last one did wrong is no longer known.
    s.server = want;
    s.fail_streak = 0;
    s.trouble.clear();
    s.fails.clear();
}

std::string ovk_mapview_server() {
    STORE& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.server;
}

std::string ovk_mapview_tile_url(std::string_view server, const OVK_TILE_KEY& k) {
    // A template as other map programs take it: {z}/{x}/{y} (also ${z}, {zoom}, {-y} for
    // servers counting rows from the south), {s} a subdomain, {r} the high-resolution
    // suffix, left out.
    if (server.find('{') != std::string_view::npos) {
        const long long rows = k.z >= 0 && k.z < 31 ? (1LL << k.z) : 1;
        const std::pair<std::string_view, std::string> fields[] = {
            {"{z}", std::to_string(k.z)},
            {"{zoom}", std::to_string(k.z)},
            {"{x}", std::to_string(k.x)},
            {"{y}", std::to_string(k.y)},
            {"{-y}", std::to_string(rows - 1 - k.y)},
            {"{s}", "a"},
            {"{r}", ""},
        };
        std::string out;
        for (size_t i = 0; i < server.size();) {
            bool done = false;
            for (const auto& [name, value] : fields) {
                const size_t at = server[i] == '$' ? i + 1 : i;
                if (server.substr(at, name.size()) == name) {
                    out += value;
                    i = at + name.size();
                    done = true;
                    break;
                }
            }
            if (!done) out += server[i++];
        }
        return out;
    }
    while (!server.empty() && server.back() == '/') server.remove_suffix(1);
    char tail[64];
    std::snprintf(tail, sizeof tail, "/%d/%d/%d.png", k.z, k.x, k.y);
    return std::string(server) + tail;
}

bool ovk_mapview_wants_draw() {
    const STORE& s = store();
    return s.starved || s.stored.load() != s.stored_at_draw;
}

std::string ovk_mapview_trouble() {
    STORE& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.fail_streak < OVK_TILE_TROUBLE_AFTER || s.trouble.empty()) return {};
    return "Tiles: " + s.trouble + " - check Settings";
}

std::string ovk_mapview_tile_path(const OVK_TILE_KEY& k) {
    STORE& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    return tile_path_in(s.dir, k);
}

bool ovk_mapview_tile_acceptable(int status, std::string_view body) {
    return status == 200 && body.size() > 8 && static_cast<unsigned char>(body[0]) == 0x89 &&
           body[1] == 'P';
}

namespace {

uint32_t crc32_of(std::string_view bytes) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (char ch : bytes) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

uint32_t be32(std::string_view b, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    return v;
}

// The PNG's frame: the signature, IHDR first (the image's size), every chunk whole with a
// matching checksum, and IEND last. A tile cut short or damaged in transit fails here, before
// the image reader (which leaks what it allocated when it gives up half-way) ever sees it.
bool png_frame_ok(std::string_view png, uint32_t* w, uint32_t* h) {
    static constexpr std::string_view kSig("\x89PNG\r\n\x1a\n", 8);
    if (png.size() < 8 || png.substr(0, 8) != kSig) return false;
    size_t at = 8;
    bool first = true;
    while (png.size() - at >= 12) {
        const uint32_t len = be32(png, at);
        if (len > png.size() - at - 12) return false;
        const std::string_view type = png.substr(at + 4, 4);
        if (crc32_of(png.substr(at + 4, 4 + len)) != be32(png, at + 8 + len)) return false;
        if (first) {
            if (type != "IHDR" || len != 13) return false;
            *w = be32(png, at + 8);
            *h = be32(png, at + 12);
            first = false;
        }
        at += 12 + len;
        if (type == "IEND") return true;
    }
    return false;
}

}  // namespace

ALLEGRO_BITMAP* ovk_mapview_decode_png(std::string_view png) {
    // Tiles are 256 or 512 pixels square. A header announcing a huge image (the PNG reader
    // would allocate all of it before reading a single row) is refused unread.
    uint32_t w = 0, h = 0;
    if (!png_frame_ok(png, &w, &h) || w == 0 || h == 0 || w > OVK_TILE_MAX_PX ||
        h > OVK_TILE_MAX_PX)
        return nullptr;
    std::string copy(png);  // the memory file wants writable bytes
    ALLEGRO_FILE* f = al_open_memfile(copy.data(), static_cast<int64_t>(copy.size()), "r");
    if (!f) return nullptr;
    // Decoded into memory first: the PNG reader gives up on a damaged image half-way, and a
    // display bitmap abandoned there would stay locked and stall the display's shutdown.
    const int flags = al_get_new_bitmap_flags();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP* bmp = al_load_bitmap_f(f, ".png");
    al_fclose(f);
    // A server of 1024-pixel tiles would fill memory four times as fast for no sharper
    // map: such tiles are kept at the usual size.
    if (bmp && (static_cast<uint32_t>(al_get_bitmap_width(bmp)) > OVK_TILE_KEEP_PX ||
                static_cast<uint32_t>(al_get_bitmap_height(bmp)) > OVK_TILE_KEEP_PX)) {
        const int side = static_cast<int>(OVK_TILE_SIZE);
        ALLEGRO_BITMAP* small = al_create_bitmap(side, side);
        if (small) {
            ALLEGRO_STATE saved;
            al_store_state(&saved, ALLEGRO_STATE_TARGET_BITMAP | ALLEGRO_STATE_BLENDER);
            al_set_target_bitmap(small);
            al_set_blender(ALLEGRO_ADD, ALLEGRO_ONE, ALLEGRO_ZERO);
            al_draw_scaled_bitmap(bmp, 0, 0, static_cast<float>(al_get_bitmap_width(bmp)),
                                  static_cast<float>(al_get_bitmap_height(bmp)), 0, 0,
                                  OVK_TILE_SIZE, OVK_TILE_SIZE, 0);
            al_restore_state(&saved);
        }
        al_destroy_bitmap(bmp);
        bmp = small;
    }
    al_set_new_bitmap_flags(flags);
    if (!bmp || (flags & ALLEGRO_MEMORY_BITMAP)) return bmp;
    // Then onto the display (when there is one), smoothed when scaled. No copy is kept to
    // restore it should the display lose its textures: the tile is on disk.
    al_set_new_bitmap_flags(flags | ALLEGRO_MIN_LINEAR | ALLEGRO_MAG_LINEAR |
                            ALLEGRO_NO_PRESERVE_TEXTURE);
    ALLEGRO_BITMAP* video = al_clone_bitmap(bmp);
    al_set_new_bitmap_flags(flags);
    if (!video) return bmp;
    al_destroy_bitmap(bmp);
    return video;
}

OVK_TILE_STATS ovk_mapview_stats() {
    STORE& s = store();
    OVK_TILE_STATS st;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        st.queued = static_cast<int>(s.queue.size());
        st.failures = static_cast<int>(s.fails.size());
    }
    st.mem_tiles = s.mem_tiles.load();
    st.mem_bytes = s.mem_bytes.load();
    st.requests = s.requests.load();
    st.stored = s.stored.load();
    st.failed = s.failed.load();
    st.decoded = s.decoded.load();
    st.draws = s.draws.load();
    st.running = s.running.load();
    return st;
}

void ovk_mapview_set_clock_for_test(std::function<time_t()> clock) {
    STORE& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    s.clock = std::move(clock);
}

// ---------------------------------------------------------------------------------------
// 5. Projection
// ---------------------------------------------------------------------------------------

namespace {

constexpr double kPi = 3.14159265358979323846;

double world_size(const OVK_MAPVIEW& mv) {
    const double t = mv.tile_px > 0 ? mv.tile_px : OVK_TILE_SIZE;
    return std::pow(2.0, mv.zoom) * t;
}

void to_world(double lat, double lon, double size, double* wx, double* wy) {
    lat = std::clamp(lat, -OVK_MAP_LAT_MAX, OVK_MAP_LAT_MAX);
    const double s = std::sin(lat * kPi / 180);
    *wx = (lon + 180) / 360 * size;
    *wy = (0.5 - std::log((1 + s) / (1 - s)) / (4 * kPi)) * size;
}

// Longitudes come back within -180..180 however far the view was panned round the world.
void from_world(double wx, double wy, double size, double* lat, double* lon) {
    double lo = std::fmod(wx / size * 360, 360.0);
    if (lo < 0) lo += 360;
    *lon = lo - 180;
    *lat = std::atan(std::sinh(kPi - 2 * kPi * wy / size)) * 180 / kPi;
}

}  // namespace

void ovk_mapview_to_screen(const OVK_MAPVIEW& mv, double lat, double lon, float* sx, float* sy) {
    const double size = world_size(mv);
    double cx, cy, wx, wy;
    to_world(mv.lat, mv.lon, size, &cx, &cy);
    to_world(lat, lon, size, &wx, &wy);
    if (sx) *sx = static_cast<float>(mv.x + mv.w / 2 + (wx - cx));
    if (sy) *sy = static_cast<float>(mv.y + mv.h / 2 + (wy - cy));
}

void ovk_mapview_to_geo(const OVK_MAPVIEW& mv, float sx, float sy, double* lat, double* lon) {
    const double size = world_size(mv);
    double cx, cy;
    to_world(mv.lat, mv.lon, size, &cx, &cy);
    double la, lo;
    from_world(cx + (sx - (mv.x + mv.w / 2)), cy + (sy - (mv.y + mv.h / 2)), size, &la, &lo);
    if (lat) *lat = la;
    if (lon) *lon = lo;
}

void ovk_mapview_bounds(const OVK_MAPVIEW& mv, double* south, double* west, double* north,
                        double* east) {
    double n, w, s, e;
    ovk_mapview_to_geo(mv, mv.x, mv.y, &n, &w);
    ovk_mapview_to_geo(mv, mv.x + mv.w, mv.y + mv.h, &s, &e);
    if (south) *south = s;
    if (west) *west = w;
    if (north) *north = n;
    if (east) *east = e;
}

double ovk_mapview_m_per_px(const OVK_MAPVIEW& mv) {
    return 40075016.686 * std::cos(mv.lat * kPi / 180) / world_size(mv);
}

void ovk_mapview_zoom(OVK_MAPVIEW* mv, double dz) {
    OVK_CHECK(mv);
    mv->zoom = std::clamp(mv->zoom + dz, OVK_MAP_ZOOM_MIN, OVK_MAP_ZOOM_MAX);
}

void ovk_mapview_fit(OVK_MAPVIEW* mv, double south, double west, double north, double east, float w,
                     float h) {
    OVK_CHECK(mv);
    mv->lat = (south + north) / 2;
    mv->lon = (west + east) / 2;
    mv->zoom = OVK_MAP_ZOOM_MAX;
    for (int i = 0; i < 34; ++i) {
        const double size = world_size(*mv);
        double x0, y0, x1, y1;
        to_world(north, west, size, &x0, &y0);
        to_world(south, east, size, &x1, &y1);
        if (std::fabs(x1 - x0) <= 0.85 * w && std::fabs(y1 - y0) <= 0.85 * h) break;
        mv->zoom -= 0.5;
    }
    mv->zoom = std::min(mv->zoom, 17.0);
}

// ---------------------------------------------------------------------------------------
// 6. Drawing the base
// ---------------------------------------------------------------------------------------

namespace {

struct DRAW_CTX {
    ALLEGRO_COLOR tint;
    bool tiles = false;
    int missing = 0;
};

// Draws part of a tile image (the square of side `part` at (u, v) in its pixels) into the
// screen square (x0, y0)-(x1, y1).
void blit(ALLEGRO_BITMAP* bmp, ALLEGRO_COLOR tint, float u, float v, float part, float x0, float y0,
          float x1, float y1) {
    al_draw_tinted_scaled_bitmap(bmp, tint, u, v, part, part, x0, y0, x1 - x0, y1 - y0, 0);
}

// What the cache holds of the tile's descendants, each quarter recursively, at most two
// levels down and never beyond zoom 18.
void draw_children(DRAW_CTX& d, const OVK_TILE_KEY& k, float x0, float y0, float x1, float y1,
                   int depth) {
    if (k.z + 1 > 18) return;
    const float mx = std::floor((x0 + x1) / 2), my = std::floor((y0 + y1) / 2);
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const OVK_TILE_KEY c{k.z + 1, k.x * 2 + i, k.y * 2 + j};
            const float cx0 = i ? mx : x0, cx1 = i ? x1 : mx;
            const float cy0 = j ? my : y0, cy1 = j ? y1 : my;
            if (ALLEGRO_BITMAP* b = get_tile(c, false)) {
                blit(b, d.tint, 0, 0, static_cast<float>(al_get_bitmap_width(b)), cx0, cy0, cx1,
                     cy1);
            } else if (depth < 2) {
                draw_children(d, c, cx0, cy0, cx1, cy1, depth + 1);
            }
        }
    }
}

// One cell: the tile, or stand-ins for it from the caches.
void draw_cell(DRAW_CTX& d, const OVK_TILE_KEY& k, float x0, float y0, float x1, float y1) {
    if (ALLEGRO_BITMAP* b = get_tile(k, true)) {
        blit(b, d.tint, 0, 0, static_cast<float>(al_get_bitmap_width(b)), x0, y0, x1, y1);
        return;
    }
    ++d.missing;
    for (int up = 1; up <= std::min(k.z, 4); ++up) {
        const OVK_TILE_KEY a{k.z - up, k.x >> up, k.y >> up};
        ALLEGRO_BITMAP* b = get_tile(a, false);
        if (!b) continue;
        const float part = static_cast<float>(al_get_bitmap_width(b)) / static_cast<float>(1 << up);
        const int mask = (1 << up) - 1;
        blit(b, d.tint, static_cast<float>(k.x & mask) * part,
             static_cast<float>(k.y & mask) * part, part, x0, y0, x1, y1);
        break;
    }
    draw_children(d, k, x0, y0, x1, y1, 1);
}

void draw_scale_bar(OVK_GUI* g, const OVK_MAPVIEW& mv, bool dark) {
    static constexpr double kSteps[] = {1,    2,    5,     10,    20,    50,  100, 200, 500, 1000,
                                        2000, 5000, 10000, 20000, 50000, 1e5, 2e5, 5e5, 1e6};
    const float sc = g->scale;
    const double mpp = ovk_mapview_m_per_px(mv);
    if (!(mpp > 0)) return;
    double metres = kSteps[0];
    for (double m : kSteps)
        if (m / mpp <= 100 * sc) metres = m;
    const float len = static_cast<float>(metres / mpp);
    const ALLEGRO_COLOR ink = ovk_ink(g, dark ? 0xFFF0F0F0 : 0xFF141414);
    const float x0 = mv.x + 10 * sc, y0 = mv.y + mv.h - 30 * sc;
    al_draw_line(x0, y0, x0 + len, y0, ink, 2 * sc);
    al_draw_line(x0, y0 - 4 * sc, x0, y0 + 4 * sc, ink, 2 * sc);
    al_draw_line(x0 + len, y0 - 4 * sc, x0 + len, y0 + 4 * sc, ink, 2 * sc);
    const ALLEGRO_FONT* f = g->font_small ? g->font_small : g->font;
    if (!f) return;
    char text[32];
    if (metres >= 1000)
        std::snprintf(text, sizeof text, "%.0f km", metres / 1000);
    else
        std::snprintf(text, sizeof text, "%.0f m", metres);
    // A one-pixel halo in the opposite shade keeps the figure legible on any tile.
    const ALLEGRO_COLOR halo = ovk_ink(g, dark ? 0xA0000000 : 0xC8FFFFFF);
    const float tx = x0 + len + 6 * sc, ty = y0 - al_get_font_line_height(f) / 2.0f;
    for (int i = 0; i < 4; ++i)
        al_draw_text(f, halo, tx + (i == 0) - (i == 1), ty + (i == 2) - (i == 3), 0, text);
    al_draw_text(f, ink, tx, ty, 0, text);
}

void draw_attribution(OVK_GUI* g, const OVK_MAPVIEW& mv, bool tiles) {
    const ALLEGRO_FONT* f = g->font_small ? g->font_small : g->font;
    if (!f) return;
    const char* text = tiles ? "(c) OpenStreetMap contributors" : "Map tiles off - Settings";
    const float p = 4 * g->scale;
    const float tw = static_cast<float>(al_get_text_width(f, text));
    const float th = static_cast<float>(al_get_font_line_height(f));
    const float x1 = mv.x + mv.w, y1 = mv.y + mv.h;
    const float x0 = x1 - tw - 2 * p, y0 = y1 - th - 2 * p;
    al_draw_filled_rectangle(x0, y0, x1, y1, ovk_ink(g, 0xBEBEBEBE));
    al_draw_text(f, ovk_ink(g, 0xFF1E1E1E), x0 + p, y0 + p, 0, text);
}

}  // namespace

int ovk_mapview_draw_base(OVK_GUI* g, OVK_MAPVIEW* mv, float x, float y, float w, float h,
                          bool tiles) {
    OVK_CHECK(g && mv, 0);
    STORE& s = store();
    ++s.draw_counter;
    ++s.draws;
    s.reads_left = OVK_TILE_READS_PER_DRAW;
    s.starved = false;
    s.stored_at_draw = s.stored.load();
    {
        // Kept equal to the preference (an empty one means the default).
        std::string_view want = g->prefs.tile_server;
        while (!want.empty() && want.back() == '/') want.remove_suffix(1);
        if (want.empty()) want = OVK_TILE_SERVER_DEFAULT;
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.server != want) {
            s.server = want;
            s.fail_streak = 0;
            s.trouble.clear();
            s.fails.clear();
        }
    }
    mv->x = x;
    mv->y = y;
    mv->w = w;
    mv->h = h;
    const float sc = g->scale;
    mv->tile_px = sc >= 1 ? OVK_TILE_SIZE * std::min(sc, 2.0f) : OVK_TILE_SIZE;
    const bool dark = g->pal.dark;
    DRAW_CTX d;
    // At night the tiles are tinted a dim red, so the markers drawn over them stand out.
    d.tint =
        g->pal.night_drive ? ovk_ink(g, 0xFF000000) : ovk_ink(g, dark ? 0xFFBABABA : 0xFFFFFFFF);
    d.tiles = tiles;
    if (w <= 0 || h <= 0) return 0;

    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    {
        // Within what was clipped already (a scrolled window's client area).
        const int x0 = std::max(cx, static_cast<int>(std::floor(x)));
        const int y0 = std::max(cy, static_cast<int>(std::floor(y)));
        const int x1 = std::min(cx + cw, static_cast<int>(std::ceil(x + w)));
        const int y1 = std::min(cy + ch, static_cast<int>(std::ceil(y + h)));
        al_set_clipping_rectangle(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
    }
    al_draw_filled_rectangle(x, y, x + w, y + h, ovk_ink(g, dark ? 0xFF262A2E : 0xFFE8E6E0));

    const int z = std::max(0, static_cast<int>(std::floor(mv->zoom)));
    const double cell = mv->tile_px * std::pow(2.0, mv->zoom - z);  // drawn size of a tile
    const long long n = 1LL << std::min(z, 30);
    const double size = world_size(*mv);
    double wcx, wcy;
    to_world(mv->lat, mv->lon, size, &wcx, &wcy);
    const double left = wcx - w / 2.0, top = wcy - h / 2.0;  // world point at (x, y)
    const long long col0 = static_cast<long long>(std::floor(left / cell));
    const long long col1 = static_cast<long long>(std::floor((left + w) / cell));
    const long long row0 = static_cast<long long>(std::floor(top / cell));
    const long long row1 = static_cast<long long>(std::floor((top + h) / cell));
    const ALLEGRO_COLOR line = ovk_ink(g, dark ? 0xFF373C42 : 0xFFD2D0C8);
    for (long long row = row0; row <= row1; ++row) {
        if (row < 0 || row >= n) continue;
        for (long long col = col0; col <= col1; ++col) {
            // Whole pixels, so that neighbouring tiles meet without seams.
            const float x0 = std::floor(static_cast<float>(x + (col * cell - left)));
            const float y0 = std::floor(static_cast<float>(y + (row * cell - top)));
            const float x1 = std::floor(static_cast<float>(x + ((col + 1) * cell - left)));
            const float y1 = std::floor(static_cast<float>(y + ((row + 1) * cell - top)));
            const OVK_TILE_KEY k{z, static_cast<int>(((col % n) + n) % n), static_cast<int>(row)};
            if (tiles) draw_cell(d, k, x0, y0, x1, y1);
            al_draw_rectangle(x0 + 0.5f, y0 + 0.5f, x1 + 0.5f, y1 + 0.5f, line, 1);
        }
    }
    draw_scale_bar(g, *mv, dark);
    draw_attribution(g, *mv, tiles);
    al_set_clipping_rectangle(cx, cy, cw, ch);
    return d.missing;
}

// ---------------------------------------------------------------------------------------
// 7. Mouse
// ---------------------------------------------------------------------------------------

int ovk_mapview_mouse(OVK_GUI* g, OVK_MAPVIEW* mv, const ZQ_GUI_MOUSE_EVENT& ev) {
    OVK_CHECK(g && mv, 0);
    switch (ev.type) {
        case ZQ_GUI_MOUSE_DOWN:
            if (ev.button != 1) return 0;
            mv->dragging = 1;
            mv->moved = 0;
            mv->drag_x = ev.x;
            mv->drag_y = ev.y;
            mv->drag_lat = mv->lat;
            mv->drag_lon = mv->lon;
            return 0;
        case ZQ_GUI_MOUSE_MOVE: {
            // The toolkit says when a press has become a drag.
            if (!mv->dragging || !ev.dragging) return 0;
            const float dx = ev.x - mv->drag_x, dy = ev.y - mv->drag_y;
            if (!mv->moved) {
                mv->moved = 1;
                mv->follow = 0;
            }
            const double size = world_size(*mv);
            double wx, wy;
            to_world(mv->drag_lat, mv->drag_lon, size, &wx, &wy);
            from_world(wx - dx, std::clamp(wy - dy, 0.0, size), size, &mv->lat, &mv->lon);
            return 0;
        }
        case ZQ_GUI_MOUSE_UP: {
            if (ev.button != 1 || !mv->dragging) return 0;
            const bool click = ev.tap || ev.long_press;
            mv->dragging = 0;
            mv->moved = 0;
            return click ? 1 : 0;
        }
        case ZQ_GUI_MOUSE_WHEEL: {
            if (ev.dz == 0) return 0;
            // The point under the pointer stays where it is.
            const float sx = mv->x + ev.x, sy = mv->y + ev.y;
            double plat, plon;
            ovk_mapview_to_geo(*mv, sx, sy, &plat, &plon);
            ovk_mapview_zoom(mv, 0.5 * ev.dz);
            const double size = world_size(*mv);
            double px, py;
            to_world(plat, plon, size, &px, &py);
            from_world(px - (sx - (mv->x + mv->w / 2)), py - (sy - (mv->y + mv->h / 2)), size,
                       &mv->lat, &mv->lon);
            return 0;
        }
        default:
            return 0;
    }
}
