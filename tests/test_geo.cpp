// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>

#include "ovk_geo.h"

TEST(Geo, GreatCircleDistance) {
    EXPECT_NEAR(ovk_meters_between(0, 0, 0, 1), 111194.93, 0.01);
    EXPECT_NEAR(ovk_meters_between(52.5, 13.4, 52.5, 13.4), 0.0, 1e-9);
    EXPECT_NEAR(ovk_meters_between(51.5007, -0.1246, 48.8584, 2.2945), 340539, 1);
    // nearly antipodal: rounding puts the haversine term just above 1 here
    double d = ovk_meters_between(-6.377647337239125, -146.93007968748378, 6.377647337239125,
                                  33.06992031251622);
    EXPECT_TRUE(std::isfinite(d));
    EXPECT_NEAR(d, 20015086.8, 1.0);
}
