// SPDX-License-Identifier: GPL-3.0-or-later
// Capture files made by other tools, read as a stream of adverts:
//   - pcap and pcapng (Wireshark, tcpdump, Kismet's export, sniffers), through libpcap, with
//     the link types 802.11 (105), 802.11 with radiotap (127), Bluetooth LE link layer (251),
//     Bluetooth LE link layer with pseudo-header (256), Bluetooth HCI H4 (187) and H4 with
//     direction pseudo-header (201);
//   - btsnoop (Android's HCI snoop log, btmon -w): unencapsulated HCI (1001), HCI UART (1002)
//     and the Linux monitor format (2001), parsed here.
// Radio frames become adverts through ovk_frame; HCI LE advertising reports (legacy and
// extended, fragments reassembled) through the BLE scanner's own report decoder. The format
// is told by the file's first bytes, never by its name.
//
// A damaged file (bad header, a record cut short, a length no capture has) ends the reading
// with an error text; frames that are sound but no advertisement, and radio frames that are
// malformed or failed their checksum, are counted and passed over.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ovk_advert.h"

enum OVK_CAPTURE_FORMAT : int {
    OVK_CAPTURE_TEXT = 0,  // none of the capture formats: JSON Lines, presumably
    OVK_CAPTURE_PCAP = 1,
    OVK_CAPTURE_PCAPNG = 2,
    OVK_CAPTURE_BTSNOOP = 3,
};
// Enough leading bytes to tell the formats apart.
inline constexpr size_t OVK_CAPTURE_MAGIC_LEN = 8;

// The format of a file that starts with `head` (pcap in either byte order, with micro- or
// nanosecond times; pcapng; btsnoop).
OVK_CAPTURE_FORMAT ovk_capture_format(ovk_bytes head);
// "pcap", "pcapng", "btsnoop", "text".
const char* ovk_capture_format_name(OVK_CAPTURE_FORMAT f);

// Reads up to OVK_CAPTURE_MAGIC_LEN bytes of `in` into `head` and returns a stream that
// gives those bytes and then the rest of `in`, so that a pipe can be looked at before it is
// read. Closing the returned stream does not close `in`. nullptr when no stream can be made.
FILE* ovk_capture_peek(FILE* in, std::string& head);

// One record of a capture file.
struct OVK_CAPTURE_FRAME {
    long number = 0;                      // from 1, as Wireshark counts
    int64_t time = 0;                     // ms since the epoch
    std::vector<OVK_ADVERT_PTR> adverts;  // an HCI event may hold several; often none
};

struct OVK_CAPTURE_STATS {
    long frames = 0;   // records read
    long adverts = 0;  // adverts made from them
    long other = 0;    // sound records without an advertisement
    long bad = 0;      // radio frames malformed, cut short or failing their checksum
};

class OVK_CAPTURE {
  public:
    virtual ~OVK_CAPTURE() = default;
    // 1 with the next record in `f`; 0 at the end of the file; -1 when the file is damaged
    // (error() says how; reading is over).
    virtual int next(OVK_CAPTURE_FRAME& f) = 0;
    // "pcap, 802.11 with radiotap", "btsnoop, HCI UART (H4)", ...
    virtual std::string describe() const = 0;
    const std::string& error() const { return error_; }
    const OVK_CAPTURE_STATS& stats() const { return stats_; }

  protected:
    std::string error_;
    OVK_CAPTURE_STATS stats_;
};

// Opens a capture read from `f`, which it takes over (and closes, also on failure). nullptr
// with `error` set for a file that is no capture, is damaged in its header, or holds a link
// type without advertisements.
std::unique_ptr<OVK_CAPTURE> ovk_capture_open(FILE* f, std::string& error);
// The same for the file at `path`, when it is a capture; nullptr with `error` empty when the
// file is something else (a recording, say), with `error` set when it cannot be read.
std::unique_ptr<OVK_CAPTURE> ovk_capture_open_path(const std::string& path, std::string& error);
