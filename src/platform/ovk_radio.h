// SPDX-License-Identifier: GPL-3.0-or-later
// The radio helper: a small program, orvik-radio, is the only file that carries the
// capabilities to scan (CAP_NET_RAW for raw HCI, CAP_NET_ADMIN for nl80211 scan triggers).
// The main program starts it once at start-up, before any other thread, and drops every
// capability of its own; its BLE and Wi-Fi scanners then reach the kernel's sockets through
// the helper, one stream socket each, instead of opening them themselves. Everything from
// the air is decoded by the main program: the helper only forwards raw HCI events and
// netlink answers, and sends only the scan commands the scanners use (a passive LE scan;
// interface listing, passive scan trigger and scan dump for nl80211); anything else it
// refuses with EPERM.
//
// Framing, both ways, native byte order (both ends are one machine): a fixed 20-byte header
// (OVK_RADIO_HDR) and at most OVK_RADIO_PAYLOAD_MAX bytes of payload. A request names the
// operation, a handle (a socket the helper opened for this channel) and one argument; the
// answer repeats the operation and carries the result (>= 0, or a negative error number),
// poll's revents and the payload (read data, device lists, the filter). Each side checks
// what it receives; the first malformed frame ends the channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "ovk_linux_hci.h"
#include "ovk_linux_nl80211.h"

inline constexpr uint32_t OVK_RADIO_REQ_MAGIC = 0x524B564Fu;  // "OVKR"
inline constexpr uint32_t OVK_RADIO_ANS_MAGIC = 0x414B564Fu;  // "OVKA"
inline constexpr size_t OVK_RADIO_PAYLOAD_MAX = 65536;
inline constexpr int OVK_RADIO_HANDLES_MAX = 16;  // open sockets per channel
inline constexpr int OVK_RADIO_POLL_MAX_MS = 3000;

enum OVK_RADIO_OP : uint16_t {
    OVK_RADIO_HCI_OPEN = 1,
    OVK_RADIO_HCI_CLOSE = 2,
    OVK_RADIO_HCI_DEV_LIST = 3,
    OVK_RADIO_HCI_DEV_INFO = 4,
    OVK_RADIO_HCI_BIND = 5,
    OVK_RADIO_HCI_GET_FILTER = 6,
    OVK_RADIO_HCI_SET_FILTER = 7,
    OVK_RADIO_HCI_WRITE = 8,
    OVK_RADIO_HCI_READ = 9,
    OVK_RADIO_HCI_POLL = 10,
    OVK_RADIO_NL_OPEN = 21,
    OVK_RADIO_NL_CLOSE = 22,
    OVK_RADIO_NL_JOIN = 23,
    OVK_RADIO_NL_SEND = 24,
    OVK_RADIO_NL_RECV = 25,
    OVK_RADIO_NL_POLL = 26,
};

struct OVK_RADIO_HDR {
    uint32_t magic = 0;
    uint16_t op = 0;
    uint16_t flags = 0;  // request: 1 = don't wait (NL_RECV); answer: poll's revents
    int32_t a = 0;       // request: the handle; answer: the result
    int32_t b = 0;       // request: the argument (device, group, time-out, room); answer: 0
    uint32_t len = 0;    // payload bytes that follow
};
static_assert(sizeof(OVK_RADIO_HDR) == 20);

// Checks an answer header against the request it answers: the magic, the operation, a
// payload no longer than `room` and consistent with the result (read data as long as the
// result; fixed records exactly their size). 0 when it is sound, else -EPROTO.
int ovk_radio_check_answer(const OVK_RADIO_HDR& h, uint16_t op, size_t room);

// Checks a request header (the helper's side): the magic, a known operation of `channel`
// (0 HCI, 1 netlink), a payload within the limit and of the size the operation takes.
// 0 when it is sound, else -EPROTO.
int ovk_radio_check_request(const OVK_RADIO_HDR& h, int channel);

// Whether the helper sends this HCI packet: one of the five LE commands of a passive scan,
// with exactly its parameter length and a passive scan type.
bool ovk_radio_hci_command_allowed(std::span<const uint8_t> packet);
// Whether the helper sends this netlink request: CTRL_CMD_GETFAMILY to the generic netlink
// controller, or to the nl80211 family (`nl80211`, 0 while unknown) an interface listing, a
// scan dump or a passive scan trigger (the interface index alone, no SSIDs).
bool ovk_radio_nl_request_allowed(std::span<const uint8_t> msg, uint16_t nl80211);

// Serves one channel of requests on the stream socket `fd` with the kernel's sockets behind
// `hci` (channel 0) or `nl` (channel 1) until the other end closes it or sends a malformed
// frame; closes every socket it opened for the channel. Used by orvik-radio, and by the
// tests with simulated kernels behind it.
void ovk_radio_serve_hci(int fd, OVK_HCI_IO& hci);
void ovk_radio_serve_nl(int fd, OVK_NL_IO& nl);

// The scanners' I/O over a channel to the helper (`fd`, owned from then on). The clocks and
// sleeps stay local: they come from `clocks`.
std::shared_ptr<OVK_HCI_IO> ovk_radio_hci_client(int fd, std::shared_ptr<OVK_HCI_IO> clocks);
std::shared_ptr<OVK_NL_IO> ovk_radio_nl_client(int fd, std::shared_ptr<OVK_NL_IO> clocks);

// Starts the helper program at `path` with its two channels and, when it runs, drops every
// capability of this process (permitted, effective, inheritable and ambient). Call once,
// before other threads start. 0 when the helper runs; -1 when it cannot be started (this
// process keeps what it has, and the scanners use the kernel's sockets themselves, as a
// program run as root without the helper does).
int ovk_radio_start(const std::string& path);
// The helper beside the running program: <dir of /proc/self/exe>/orvik-radio.
std::optional<std::string> ovk_radio_default_path();
// 1 while the helper was started.
int ovk_radio_running();
// 1 when the scanners may open Bluetooth: the running helper holds CAP_NET_RAW, or, without
// a helper, this process does (root has it too).
int ovk_radio_capable();

// The scanners' I/O for this process: through the helper once it runs, else the kernel's.
std::shared_ptr<OVK_HCI_IO> ovk_radio_hci_io();
std::shared_ptr<OVK_NL_IO> ovk_radio_nl_io();
