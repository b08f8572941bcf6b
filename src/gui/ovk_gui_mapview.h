// SPDX-License-Identifier: GPL-3.0-or-later
// The tile map base that map screens draw on: a Web-Mercator view (OVK_MAPVIEW) with its
// projection, zooming and panning by mouse, and the process-wide tile store behind it.
//
// The tile store keeps PNG tiles on disk under "<data directory>/tiles/Z/X/Y.png" and up to
// OVK_TILE_MEM_SLOTS decoded bitmaps in memory (least recently drawn go first). One
// downloader thread fetches missing tiles from the tile server, newest request first, one at
// a time with a pause after each, and never asks again for a tile that failed within the
// last two minutes; tiles older than 30 days are fetched again while the old one stays in
// use. While a tile is missing its nearest cached ancestor (scaled up) or its cached
// descendants stand in, so zooming never shows holes. With tiles off nothing is fetched and
// a plain grid is drawn.
//
// How a screen uses it (the history screen does the same with its own view):
//
//   OVK_MAPVIEW mv;                                // one per screen, kept across rebuilds
//   ovk_mapview_init(ovk_platform_data_dir());     // once; later calls do nothing
//   // in the custom widget's draw callback (x, y: its top-left on screen):
//   ovk_mapview_draw_base(g, &mv, x, y, w->w, w->h, g->prefs.map_tiles != 0);
//   al_set_clipping_rectangle(...);                // clip your own markers to the widget
//   float sx, sy; ovk_mapview_to_screen(mv, lat, lon, &sx, &sy);   // place a marker
//   // in the custom widget's mouse callback:
//   if (ovk_mapview_mouse(g, &mv, *ev)) { /* a click at ev->x, ev->y: hit-test markers */ }
//
// Coordinates: "screen" means display pixels, the rectangle given to the last draw being
// the view; mouse events are relative to that rectangle's top-left corner, as the toolkit
// hands them to a custom widget.
//
// Threads: the view functions and the drawing are main-thread only (bitmaps belong to the
// display); the store's queue and failure table are shared with the downloader thread under
// the store's own lock. ovk_mapview_stats and the URL and path helpers may be called from
// any thread.
#pragma once

#include <allegro5/allegro.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "ovk_prefs.h"  // OVK_TILE_SERVER_DEFAULT
#include "zq_gui.h"

struct OVK_GUI;

// ---------------------------------------------------------------------------------------
// Limits
// ---------------------------------------------------------------------------------------

inline constexpr double OVK_MAP_ZOOM_MIN = 2;
inline constexpr double OVK_MAP_ZOOM_MAX = 19;
inline constexpr double OVK_MAP_LAT_MAX = 85.0511;  // Web Mercator's edge of the world
inline constexpr float OVK_TILE_SIZE = 256;         // pixels of one tile image
inline constexpr uint32_t OVK_TILE_MAX_PX = 1024;   // larger images are not tiles: refused
inline constexpr uint32_t OVK_TILE_KEEP_PX = 512;   // larger tiles are kept at OVK_TILE_SIZE

inline constexpr int OVK_TILE_MEM_SLOTS = 160;          // decoded tiles kept in memory
inline constexpr size_t OVK_TILE_MEM_BYTES = 64 << 20;  // and their pixels, at most
inline constexpr int OVK_TILE_QUEUE_MAX = 48;           // waiting requests; the oldest is dropped
inline constexpr int OVK_TILE_FAIL_MAX = 64;            // failures remembered
inline constexpr int OVK_TILE_READS_PER_DRAW = 8;       // tile files read and decoded per draw
inline constexpr int OVK_TILE_TIMEOUT_S = 20;           // one tile download
inline constexpr size_t OVK_TILE_MAX_BODY = 1 << 20;    // a larger answer is not a tile
inline constexpr int OVK_TILE_RETRY_S = 120;            // a failed tile is not asked for again
inline constexpr int64_t OVK_TILE_REFRESH_S = 2592000;  // 30 days: fetched again
inline constexpr int OVK_TILE_PAUSE_MS = 50;            // after every download

// ---------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------

// One view of the map. A default view shows the whole world at zoom 3.
struct OVK_MAPVIEW {
    double lat = 0, lon = 0;            // centre, degrees
    double zoom = 3;                    // fractional, OVK_MAP_ZOOM_MIN..OVK_MAP_ZOOM_MAX
    float x = 0, y = 0, w = 0, h = 0;   // screen rectangle of the last draw
    int dragging = 0;                   // the left button is down on the map
    int moved = 0;                      // ... and the pointer has moved far enough to pan
    float drag_x = 0, drag_y = 0;       // pointer (relative) when the press began
    double drag_lat = 0, drag_lon = 0;  // centre when the press began
    int follow = 0;                     // keep the user's position centred (the screen's job)
    float tile_px = 256;  // drawn size of one tile at integer zoom; 256 when not positive
};

// One tile: zoom level and column / row (0 .. 2^z - 1).
struct OVK_TILE_KEY {
    int z = 0, x = 0, y = 0;
    bool operator==(const OVK_TILE_KEY&) const = default;
};

// What the store holds and has done since init, for status, tests and benchmarks.
struct OVK_TILE_STATS {
    int mem_tiles = 0;      // decoded bitmaps held (at most OVK_TILE_MEM_SLOTS)
    size_t mem_bytes = 0;   // their pixels, 4 bytes each (at most OVK_TILE_MEM_BYTES)
    int queued = 0;         // requests waiting for the downloader
    int failures = 0;       // entries of the failure table
    uint64_t requests = 0;  // downloads the downloader started
    uint64_t stored = 0;    // tiles it accepted and wrote to disk
    uint64_t failed = 0;    // downloads it refused or that failed
    uint64_t decoded = 0;   // tile files decoded into bitmaps
    uint64_t draws = 0;     // base draws (the draw counter)
    bool running = false;   // the downloader thread runs
};

// ---------------------------------------------------------------------------------------
// The tile store
// ---------------------------------------------------------------------------------------

// Once per process: the tile directory "<data_dir>/tiles" (created, private to the user)
// and the downloader thread. 0, or -1 when the directory cannot be made or the thread
// cannot start (the map then draws from what is cached, or the grid). Calls while the store
// runs do nothing and return 0.
int ovk_mapview_init(std::string_view data_dir);
// Stops the downloader (a download in progress is cancelled) and joins it, frees every
// cached bitmap and forgets the queue and the failure table. Main thread.
void ovk_mapview_shutdown();
// Frees every cached bitmap (before the display goes away); they are read again from disk
// as needed. Main thread.
void ovk_mapview_flush_bitmaps();

// The tile server's address, without a trailing slash ("https://tile.openstreetmap.org");
// an empty text restores the default. ovk_mapview_draw_base keeps it equal to the
// preference `tile_server`. Requests already queued go to the new server.
void ovk_mapview_set_server(std::string_view url);
std::string ovk_mapview_server();
// The address of a tile: the server (a trailing '/' dropped) followed by "/Z/X/Y.png", or,
// for a template ("https://{s}.host/{z}/{x}/{y}.png"), the template filled in: {z} {x} {y}
// (also written ${z}, {zoom}), {-y} (rows counted from the south), {s} ("a"), {r} ("").
std::string ovk_mapview_tile_url(std::string_view server, const OVK_TILE_KEY& k);
// True when another draw would show more: tiles arrived since the last draw began, or it left
// tiles on disk unread (a draw reads a few at most). Main thread.
bool ovk_mapview_wants_draw();
// After this many tiles failed in a row, the map says so.
inline constexpr int OVK_TILE_TROUBLE_AFTER = 3;
// "Tiles: the server answered 404 - check Settings" while the server keeps failing, else "".
std::string ovk_mapview_trouble();
// Where a tile lives on disk: "<tile directory>/Z/X/Y.png"; "" before init.
std::string ovk_mapview_tile_path(const OVK_TILE_KEY& k);
// Whether a server's answer is a tile worth storing: status 200 and a body of more than
// 8 bytes that starts with the PNG signature.
bool ovk_mapview_tile_acceptable(int status, std::string_view body);
// The image in `png` decoded into a new bitmap of the current bitmap flags, or nullptr when
// it is not a whole PNG (every chunk's checksum is checked first), is larger than
// OVK_TILE_MAX_PX on a side, or cannot be decoded. The caller destroys it.
ALLEGRO_BITMAP* ovk_mapview_decode_png(std::string_view png);

OVK_TILE_STATS ovk_mapview_stats();
// For tests: the clock that failure times and tile ages are read from (seconds since the
// epoch); an empty function restores the system clock.
void ovk_mapview_set_clock_for_test(std::function<time_t()> clock);

// ---------------------------------------------------------------------------------------
// Projection (Web Mercator; the world is 2^zoom x tile_px pixels wide)
// ---------------------------------------------------------------------------------------

// A point on screen. Latitudes beyond +-85.0511 degrees are drawn at the edge of the world.
void ovk_mapview_to_screen(const OVK_MAPVIEW& mv, double lat, double lon, float* sx, float* sy);
// The point under a screen position.
void ovk_mapview_to_geo(const OVK_MAPVIEW& mv, float sx, float sy, double* lat, double* lon);
// The box on screen, from its top-left and bottom-right corners.
void ovk_mapview_bounds(const OVK_MAPVIEW& mv, double* south, double* west, double* north,
                        double* east);
// Ground metres of one pixel at the centre.
double ovk_mapview_m_per_px(const OVK_MAPVIEW& mv);
// zoom + dz, kept within OVK_MAP_ZOOM_MIN..OVK_MAP_ZOOM_MAX.
void ovk_mapview_zoom(OVK_MAPVIEW* mv, double dz);
// Centres on the box and takes the largest zoom (in half steps from 19, at most 17) at which
// it fills no more than 85 % of a w x h view. Set tile_px first.
void ovk_mapview_fit(OVK_MAPVIEW* mv, double south, double west, double north, double east, float w,
                     float h);

// ---------------------------------------------------------------------------------------
// Drawing and input (main thread)
// ---------------------------------------------------------------------------------------

// Draws the map into the screen rectangle: the tiles (`tiles` true: from the caches,
// downloading what is missing) or the plain grid, the cell outlines, the scale bar and the
// attribution ("(c) OpenStreetMap contributors", or "Map tiles off - Settings"). Remembers
// the rectangle in mv and sets mv->tile_px from the interface scale. Restores the clipping
// rectangle it found. Returns the number of tiles not available yet (0 with tiles off).
int ovk_mapview_draw_base(OVK_GUI* g, OVK_MAPVIEW* mv, float x, float y, float w, float h,
                          bool tiles);
// A mouse event of the map's custom widget: a left-button drag (as the toolkit reports it)
// pans and stops following the user, the wheel zooms by half a level per notch around the
// point under the pointer. 1 when the event is a click: a tap or long press. 0 otherwise.
int ovk_mapview_mouse(OVK_GUI* g, OVK_MAPVIEW* mv, const ZQ_GUI_MOUSE_EVENT& ev);
