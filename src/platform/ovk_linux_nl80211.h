// SPDX-License-Identifier: GPL-3.0-or-later
// Wi-Fi scanner over generic netlink (nl80211): one thread lists the wireless interfaces,
// asks each for a passive scan when the process may, reads the kernel's BSS table when new
// results are announced (or every interval when it cannot trigger scans itself) and hands
// every newly seen BSS to a sink.
//
// Index
//   1. Message building (no I/O)
//   2. Message, attribute and BSS parsing (no I/O)
//   3. The I/O seam (kernel netlink sockets, or a simulated kernel in the tests)
//   4. The scanner object and the process-wide scanner wired to the platform emitters
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ovk_advert.h"
#include "ovk_linux_scanner_common.h"
#include "ovk_platform.h"

// ---------------------------------------------------------------------------------------
// 1. Building requests
// ---------------------------------------------------------------------------------------
inline constexpr size_t OVK_NL_HDRLEN = 16;   // nlmsghdr
inline constexpr size_t OVK_GENL_HDRLEN = 4;  // genlmsghdr
inline constexpr size_t OVK_NL_MSG_MAX = 512;

// One outgoing message: netlink and generic netlink headers, then attributes.
struct OVK_NL_MSG {
    std::array<uint8_t, OVK_NL_MSG_MAX> b{};
    size_t len = 0;
    ovk_bytes bytes() const { return {b.data(), len}; }
};

void ovk_linux_wifi_msg_init(OVK_NL_MSG& m, uint16_t type, uint16_t flags, uint32_t seq,
                             uint8_t cmd, uint8_t version = 1);
// Appends one attribute (padded to 4 bytes) and updates the length; -1 when it does not fit.
int ovk_linux_wifi_msg_put(OVK_NL_MSG& m, uint16_t type, ovk_bytes payload);
int ovk_linux_wifi_msg_put_u32(OVK_NL_MSG& m, uint16_t type, uint32_t v);
int ovk_linux_wifi_msg_put_str(OVK_NL_MSG& m, uint16_t type, std::string_view s);  // with NUL

// ---------------------------------------------------------------------------------------
// 2. Parsing
// ---------------------------------------------------------------------------------------
// Attributes by type: for each type below the table size, the last attribute of that type
// (flag bits masked off). Parsing stops at an attribute shorter than its header or longer
// than what remains.
using OVK_NL_ATTR = std::optional<ovk_bytes>;
void ovk_linux_wifi_attrs(ovk_bytes payload, std::span<OVK_NL_ATTR> table);

// Reading the answers to one request, one received datagram at a time.
struct OVK_NL_WALK {
    bool done = false;         // DONE, an error/ack, or a single (non-multi) answer seen
    int result = 0;            // 0, or a negative error number (NLMSG_ERROR, or a failed DONE)
    bool interrupted = false;  // the kernel flagged the dump as inconsistent
    int answers = 0;           // generic netlink answers handed to the callback
};
using OVK_NL_ANSWER_FN = std::function<void(ovk_bytes attrs)>;
// Walks one datagram: messages of another sequence number are skipped; each answer's
// attributes (after both headers) go to `fn`.
void ovk_linux_wifi_walk(ovk_bytes datagram, uint32_t seq, OVK_NL_WALK& w,
                         const OVK_NL_ANSWER_FN& fn);

// nl80211 family id and the id of its "scan" multicast group, from a CTRL_CMD_GETFAMILY
// answer. family 0: not found.
struct OVK_NL_FAMILY {
    uint16_t family = 0;
    uint32_t scan_grp = 0;
};
void ovk_linux_wifi_parse_family(ovk_bytes attrs, OVK_NL_FAMILY& out);

// One wireless interface.
struct OVK_NL_IF {
    uint32_t ifindex = 0;
    std::string name;         // at most 31 characters
    bool no_trigger = false;  // triggering was refused for lack of rights; never retried
    int trig_err = 0;         // error number of the last trigger, 0 = accepted
    int last_count = 0;       // BSS entries in the last successful dump
    int dump_err = 0;         // error number of the last dump, 0 = it worked
    bool marked = false;      // due for a dump
};

// One remembered sighting, and the ring of them that filters repeats.
struct OVK_NL_SEEN {
    std::array<uint8_t, 6> bssid{};
    uint64_t stamp = 0;
};
inline constexpr size_t OVK_NL_SEEN_MAX = 1024;
struct OVK_NL_SEEN_RING {
    std::array<OVK_NL_SEEN, OVK_NL_SEEN_MAX> seen{};
    size_t n_seen = 0;
    size_t seen_next = 0;
};

// Per-dump bookkeeping.
struct OVK_NL_DUMP {
    int emitted = 0;      // adverts created
    int total = 0;        // BSS entries seen
    int64_t now_ms = 0;   // wall clock at the dump
    int64_t boot_ns = 0;  // boot clock at the dump
    int64_t stale_ms = 0;
};

// Parses one GET_SCAN answer (its attributes, NL80211_ATTR_BSS nested inside) into at most
// one advert handed to `out`, unless it is stale or a repeat of a delivered sighting.
void ovk_linux_wifi_parse_scan(ovk_bytes attrs, OVK_NL_SEEN_RING& ring, OVK_NL_DUMP& d,
                               const std::function<void(OVK_ADVERT_PTR)>& out);

// The network name from the first SSID element: absent for a hidden network, at most 32
// bytes, control bytes shown as "?".
std::optional<std::string> ovk_linux_wifi_ssid(ovk_bytes ies);

// ---------------------------------------------------------------------------------------
// 3. I/O seam. Handles stand for generic netlink sockets; every call returns a negative
// error number on failure.
// ---------------------------------------------------------------------------------------
class OVK_NL_IO {
  public:
    virtual ~OVK_NL_IO() = default;
    virtual int open() = 0;  // a bound generic netlink socket: handle >= 0
    virtual void close(int h) = 0;
    virtual int join_group(int h, uint32_t group) = 0;
    virtual long send(int h, ovk_bytes msg) = 0;
    // One datagram; with `dontwait` -EAGAIN when none is queued.
    virtual long recv(int h, std::span<uint8_t> buf, bool dontwait) = 0;
    // > 0 with `revents` set, 0 on time-out.
    virtual int poll(int h, int timeout_ms, short& revents) = 0;
    virtual int64_t now_ms() = 0;
    virtual int64_t mono_ms() = 0;
    virtual int64_t boot_ns() = 0;
    virtual void sleep_ms(int ms) = 0;
};

std::shared_ptr<OVK_NL_IO> ovk_linux_wifi_kernel_io();

// ---------------------------------------------------------------------------------------
// 4. Scanner
// ---------------------------------------------------------------------------------------

// Owns one scanner thread; adverts go to sink.on_advert and status changes to
// sink.on_status. The destructor stops the thread. stop(), status(), running() and
// finished() (the thread ended by itself) come from OVK_LINUX_SCANNER.
class OVK_WIFI_SCANNER : public OVK_LINUX_SCANNER {
  public:
    OVK_WIFI_SCANNER(std::shared_ptr<OVK_NL_IO> io, OVK_SINK sink);
    ~OVK_WIFI_SCANNER();

    int start(const OVK_SCAN_OPTS& opts);
    int interval_ms() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> p_;
};

// The process-wide scanner on the kernel's netlink sockets, delivering to
// ovk_linux_emit_advert and ovk_linux_emit_status.
int ovk_linux_wifi_start(const OVK_SCAN_OPTS* opts);  // null fails the argument check
int ovk_linux_wifi_start(const OVK_SCAN_OPTS& opts);
void ovk_linux_wifi_stop();
std::string ovk_linux_wifi_status();
// Why the process-wide scanner hears nothing, "" while it starts or listens.
std::string ovk_linux_wifi_fault();
