// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_geo.h"

#include <algorithm>
#include <cmath>

double ovk_meters_between(double lat1, double lon1, double lat2, double lon2) {
    constexpr double RAD = 0.017453292519943295;
    const double dlat = (lat2 - lat1) * RAD;
    const double dlon = (lon2 - lon1) * RAD;
    const double s1 = std::sin(dlat / 2);
    const double s2 = std::sin(dlon / 2);
    double a = s1 * s1 + std::cos(lat1 * RAD) * std::cos(lat2 * RAD) * s2 * s2;
    // rounding can push a just past 1 for nearly antipodal points; sqrt(1 - a) would be NaN
    a = std::clamp(a, 0.0, 1.0);
    return 12742000.0 * std::atan2(std::sqrt(a), std::sqrt(1.0 - a));
}
