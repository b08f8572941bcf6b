// SPDX-License-Identifier: GPL-3.0-or-later
// The classify tool's line handling: one recorded advertisement per JSON line in, one JSON
// verdict line out.
//
// Input, one object per line (only "radio", "mac" and "raw" / "ies" are required):
//   {"radio":"BLE","mac":"AA:BB:CC:DD:EE:FF","rssi":-60,"addrType":"PUBLIC","connectable":1,
//    "phy":"LE 1M (legacy)","name":"hint","raw":"020106...","time":1733600000000}
//   {"radio":"WIFI","mac":"...","ssid":"...","rssi":-70,"freq":2437,"caps":"[ESS]",
//    "standard":"WiFi 6 (802.11ax)","ies":"<hex>","time":...}
// Recordings (orvik --record) hold these lines, with more fields that are ignored, and GPS
// fixes between them: {"gps":{"lat":..,"lon":..,"speed":..,"accuracy":..,"bearing":..},
// "time":...}; a fix line produces nothing.
// Output, per line: {"line":N,"mac":...,"hits":[{"category","label","confidence","tier",
// "evidence","source"}...],"remoteId":{...},"spoofing":[...],"identity":{"type":...,
// "facts":[{"key","value"}]},"fingerprint":...,"distanceM":...,"addressWarning":...};
// "remoteId" only when the advert carries Remote ID, "spoofing" only when its broadcast is
// implausible given what the same address said on earlier lines (ovk_ridcheck; the
// Remote ID verdicts of such an address are lowered), "addressWarning" only for a
// declared-public address that fails the check. In report mode the line is
// {"line":N,"report":{<signature report>}} instead. An invalid line gives
// {"line":N,"error":"<reason>"}.
//
// Vendor names (identity, report) come from the vendor tables when the caller has loaded
// them (ovk_vendordb_load); without them the output is the same minus what they add. Lines that are
// empty, all blank, or start with '#' are comments: they produce nothing and are not errors, but
// still count for N.
#pragma once

#include <cstddef>
#include <cstdio>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ovk_advert.h"
#include "ovk_geo.h"
#include "ovk_heard.h"
#include "ovk_ridcheck.h"

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
// Parses one GPS fix line; on failure returns nullopt and sets `error`.
std::optional<OVK_LOCATION> ovk_classify_parse_fix(std::string_view line, std::string& error);

// The input line (no newline) that ovk_classify_parse turns back into the same advert:
// address, signal, address kind, connectable, PHY, payload, name, frequency, capabilities,
// standard and time.
std::string ovk_classify_format(const OVK_ADVERT& a);
// The GPS fix line that ovk_classify_parse_fix reads back.
std::string ovk_classify_format_fix(const OVK_LOCATION& loc);

// What the tool keeps across the lines of one input, as a live run keeps it per device:
// - the Remote ID track of each address that broadcast Remote ID, for at most
//   OVK_CLASSIFY_TRACKS_MAX addresses (the one unheard the longest makes room);
// - what each Bluetooth address has sent (ovk_heard: its names and listed services), so that
//   a line is judged with the earlier lines of its address, for at most
//   OVK_CLASSIFY_HEARD_MAX addresses (the one unheard the longest makes room). An address
//   silent for more than OVK_STALE_MS of the input's time starts afresh, as a device that
//   long out of range leaves a live run's list.
inline constexpr size_t OVK_CLASSIFY_TRACKS_MAX = 4096;
inline constexpr size_t OVK_CLASSIFY_HEARD_MAX = 4096;
class OVK_CLASSIFY_CTX {
  public:
    OVK_RID_TRACK& track(const std::string& mac);
    // `a` as judged with what its address sent on earlier lines (nullopt: as it is); then
    // notes what `a` says for the lines after it.
    std::optional<OVK_ADVERT> judge(const OVK_ADVERT& a);
    // Addresses whose sendings are kept.
    size_t heard_count() const { return heard_.size(); }

  private:
    struct TRACK_SLOT {
        OVK_RID_TRACK track;
        uint64_t used = 0;
    };
    std::unordered_map<std::string, TRACK_SLOT> tracks_;
    uint64_t uses_ = 0;

    struct HEARD_SLOT {
        OVK_HEARD heard;
        int64_t last = 0;                       // time of its latest line (0: none given)
        std::list<std::string>::iterator used;  // its place in `heard_order_`
    };
    std::unordered_map<std::string, HEARD_SLOT> heard_;
    std::list<std::string> heard_order_;  // least recently heard first
};

// The "app" of the signature reports the tool writes.
inline constexpr const char* OVK_CLASSIFY_APP = "orvik-classify";

// Handles one input line (without its newline); `line_no` counts from 1. With a
// `report_note` the line holds the advert's signature report with that note instead of the
// verdict object. Without a context every line stands alone (no Remote ID checks).
OVK_CLASSIFY_LINE ovk_classify_line(std::string_view line, long line_no,
                                    std::optional<std::string_view> report_note = std::nullopt,
                                    OVK_CLASSIFY_CTX* ctx = nullptr);
// The output line for one advert, numbered by `counter` ("line", or "frame" for adverts
// from a capture file) = `number`.
OVK_CLASSIFY_LINE ovk_classify_advert(const OVK_ADVERT& a, const char* counter, long number,
                                      std::optional<std::string_view> report_note,
                                      OVK_CLASSIFY_CTX* ctx);
// {"<counter>":number,"error":"<reason>"}.
OVK_CLASSIFY_LINE ovk_classify_error(const char* counter, long number, std::string_view reason);

// Longest input line handled. A recorded advert is a few kilobytes at most; a longer line
// (or a stream without newlines) gives an error line, and its bytes beyond this are skipped
// unread into memory.
inline constexpr size_t OVK_CLASSIFY_LINE_MAX = size_t{1} << 20;

// Reads lines from `in` until its end and writes one output line per handled line to `out`.
// Returns 0 when every line was valid, 1 when at least one was not, 2 when the output could
// not be written (it stops at the first failed write).
int ovk_classify_stream(FILE* in, FILE* out,
                        std::optional<std::string_view> report_note = std::nullopt);

// The --help text.
const char* ovk_classify_usage();
