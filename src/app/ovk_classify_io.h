// The classify tool's line handling: one recorded advertisement per JSON line in, one JSON
// verdict line out.
//
// Input, one object per line (only "radio", "mac" and "raw" / "ies" are required):
//   {"radio":"BLE","mac":"AA:BB:CC:DD:EE:FF","rssi":-60,"addrType":"PUBLIC","connectable":1,
//    "phy":"LE 1M (legacy)","name":"hint","raw":"020106...","time":1733600000000}
//   {"radio":"WIFI","mac":"...","ssid":"...","rssi":-70,"freq":2437,"caps":"[ESS]",
//    "standard":"WiFi 6 (802.11ax)","ies":"<hex>","time":...}
// Output, per line: {"line":N,"mac":...,"hits":[{"category","label","confidence","tier",
// "evidence","source"}...]} plus "remoteId" when the advert carries Remote ID; an invalid line
// gives {"line":N,"error":"<reason>"}. Lines that are empty, all blank, or start with '#' are
// comments: they produce nothing and are not errors, but still count for N.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "ovk_advert.h"

enum OVK_CLASSIFY_STATUS : int {
    OVK_CLASSIFY_OK = 0,       // `json` holds the verdict line
    OVK_CLASSIFY_INVALID = 1,  // `json` holds the error line
    OVK_CLASSIFY_SKIPPED = 2,  // a comment or blank line: nothing to write
};

struct OVK_CLASSIFY_LINE {
    OVK_CLASSIFY_STATUS status = OVK_CLASSIFY_SKIPPED;
    std::string json;  // one line, no newline
};

// Parses one input line into an advert; on failure returns nullptr and sets `error`.
OVK_ADVERT_PTR ovk_classify_parse(std::string_view line, std::string& error);

// Handles one input line (without its newline); `line_no` counts from 1.
OVK_CLASSIFY_LINE ovk_classify_line(std::string_view line, long line_no);

// Reads lines from `in` until its end and writes one output line per handled line to `out`.
// Returns 0 when every line was valid, 1 when at least one was not.
int ovk_classify_stream(FILE* in, FILE* out);

// The --help text.
const char* ovk_classify_usage();
