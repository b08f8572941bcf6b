// Mobile-network cells as a platform that has them reports them.
#pragma once

#include <cstdint>
#include <string>

enum OVK_RAT : int {
    OVK_RAT_UNKNOWN = 0,
    OVK_RAT_GSM = 1,
    OVK_RAT_CDMA = 2,
    OVK_RAT_WCDMA = 3,
    OVK_RAT_TDSCDMA = 4,
    OVK_RAT_LTE = 5,
    OVK_RAT_NR = 6,
};

struct OVK_CELL {
    OVK_RAT rat = OVK_RAT_UNKNOWN;
    int registered = 0;  // 1 for the serving cell
    std::string mcc;     // at most 3 characters, empty when unknown
    std::string mnc;     // at most 3 characters
    int has_area = 0;
    int area = 0;
    int has_cell_id = 0;
    int64_t cell_id = 0;
    int has_dbm = 0;
    int dbm = 0;
};
