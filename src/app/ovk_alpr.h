// SPDX-License-Identifier: GPL-3.0-or-later
// Plate cameras mapped in OpenStreetMap: the Overpass query for a map area and the
// parsing of its answer, the local cache ("known_alpr.json" in the data directory) with
// its merge rule, and the nearness query with the warning radius the pipeline uses.
// The HTTP transport is installed by the program (ovk_alpr_set_fetch), so this module
// stays free of platform code. All functions are thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_http_failure.h"

// One mapped camera.
struct OVK_CAMERA {
    std::string osm_id;  // "node/123", "way/45"; at most 39 bytes
    double lat = 0;
    double lon = 0;
    std::string brand;          // maker, may be empty; at most 63 bytes
    std::string operator_name;  // who runs it, may be empty; at most 95 bytes
    int has_direction = 0;
    int direction = 0;  // viewing direction, whole degrees 0..359
};

struct OVK_CAMERA_NEAR {
    OVK_CAMERA cam;
    double distance_m = 0;
};

inline constexpr const char* OVK_ALPR_CACHE_FILE = "known_alpr.json";
inline constexpr const char* OVK_ALPR_DEFAULT_ENDPOINT = "https://overpass-api.de/api/interpreter";
inline constexpr int OVK_ALPR_TIMEOUT_S = 120;
inline constexpr double OVK_ALPR_MAX_SPAN_DEG = 2.0;
// The largest Overpass answer taken. The densest mapped areas hold a few thousand plate
// cameras in a 2-degree box, a few megabytes of answer; answers are parsed one element at a
// time, so memory stays near the answer's size.
inline constexpr size_t OVK_ALPR_MAX_ANSWER = size_t{32} << 20;

// The transport: POSTs `post_body` with `content_type` to `url` within `timeout_s` and
// returns the body (nullopt on failure, with the reason in `*failure`), with the HTTP status
// in `*status` (0 when none). A body of `max_body` bytes or more is a failure. The
// platform's ovk_platform_http has exactly this shape.
using OVK_ALPR_FETCH = std::function<std::optional<std::string>(
    const std::string& url, std::optional<std::string_view> post_body,
    std::optional<std::string_view> content_type, int timeout_s, int* status,
    OVK_HTTP_FAILURE* failure, size_t max_body)>;
// Installs the transport (an empty function removes it; downloads then fail as if the
// server could not be reached).
void ovk_alpr_set_fetch(OVK_ALPR_FETCH fetch);
// The Overpass API endpoint ("http(s)://host/api/interpreter"); an empty text restores
// the default.
void ovk_alpr_set_endpoint(std::string_view url);
std::string ovk_alpr_endpoint();

// Remembers the data directory, drops the cameras held and reads the cache file. 0, or -1
// for an empty directory name. A missing or invalid file gives no cameras.
int ovk_alpr_load(std::string_view data_dir);
// Drops the cameras and forgets the directory.
void ovk_alpr_unload();
int ovk_alpr_count();
// A copy of all cameras, in stored order.
std::vector<OVK_CAMERA> ovk_alpr_cameras();
// ovk_alpr_near over the cameras held.
std::vector<OVK_CAMERA_NEAR> ovk_alpr_near_cached(double lat, double lon, double radius_m, int max);
// The cameras within `radius_m` of the point, nearest first (stored order among equal
// distances), at most `max`.
std::vector<OVK_CAMERA_NEAR> ovk_alpr_near(std::span<const OVK_CAMERA> cams, double lat, double lon,
                                           double radius_m, int max);
// Twenty seconds of travel, at least 150 m and at most 600 m; 150 m for an unknown
// (negative) speed.
double ovk_alpr_warn_radius(double speed_ms);
// "BRAND (ALPR)", or "Plate reader (ALPR)" without a camera or a brand.
std::string ovk_camera_label(const OVK_CAMERA* c);

// The Overpass QL text asking for every ALPR camera in the box.
std::string ovk_alpr_query(double south, double west, double north, double east);
// The cameras of an Overpass JSON answer, in answer order; nullopt when the text is not a
// JSON object. Elements that do not qualify (positions outside the globe included) are
// skipped. No tree of the whole answer is built.
std::optional<std::vector<OVK_CAMERA>> ovk_alpr_parse(std::string_view json);
// Degrees 0..359 of a direction tag ("90", "-45", "NW", "90;270"), or -1.
int ovk_alpr_parse_direction(std::string_view v);
// Downloads the cameras of the box and merges them: cached cameras inside the box are
// replaced by the answer. Blocks for the request (call it from a worker thread). Returns
// the number of cameras received, or -1 with a message for people in `*err` (when given);
// nothing held changes on failure.
int ovk_alpr_download(double south, double west, double north, double east, std::string* err);
// Deletes the cache file (when a directory is known) and drops all cameras.
void ovk_alpr_clear();
// Replaces the cameras held with a copy of `cams`; nothing is written.
void ovk_alpr_set_for_test(std::span<const OVK_CAMERA> cams);
