// SPDX-License-Identifier: GPL-3.0-or-later
// Positions: the GPS fix record and distance on the WGS-84 sphere approximation.
#pragma once

#include <cstdint>

// One GPS fix.
struct OVK_LOCATION {
    double lat = 0;
    double lon = 0;
    int has_speed = 0;
    double speed_ms = 0;
    int has_accuracy = 0;
    double accuracy_m = 0;
    int has_bearing = 0;
    double bearing_deg = 0;
    int64_t time = 0;  // ms since the epoch
};

// Great-circle distance in metres between two WGS-84 points given in degrees (haversine
// on a sphere of radius 6 371 000 m).
double ovk_meters_between(double lat1, double lon1, double lat2, double lon2);
