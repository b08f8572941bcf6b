// SPDX-License-Identifier: GPL-3.0-or-later
// Passive Bluetooth LE scanner over a raw HCI socket: one reader thread picks an adapter,
// installs an event filter, enables a passive scan (extended on LE 1M and LE Coded when the
// controller has it, legacy otherwise), parses LE advertising reports, reassembles
// fragmented extended advertisements and hands every advertisement to a sink.
//
// Index
//   1. Kernel records (layouts of the Linux Bluetooth socket interface)
//   2. Command builders and answer matching (no I/O)
//   3. Report parsing and reassembly (no I/O)
//   4. The I/O seam (real kernel sockets, or a simulated controller in the tests)
//   5. The scanner object and the process-wide reader wired to the platform emitters
//
// The reader only ever sends the five LE commands below: it never scans actively, never
// connects and never advertises.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_linux_scanner_common.h"
#include "ovk_platform.h"

// ---------------------------------------------------------------------------------------
// 1. Kernel records
// ---------------------------------------------------------------------------------------
inline constexpr int OVK_AF_BLUETOOTH = 31;
inline constexpr int OVK_BTPROTO_HCI = 1;
inline constexpr int OVK_SOL_HCI = 0;
inline constexpr int OVK_HCI_FILTER = 2;
inline constexpr int OVK_HCI_CHANNEL_RAW = 0;

struct OVK_SOCKADDR_HCI {
    uint16_t hci_family = OVK_AF_BLUETOOTH;
    uint16_t hci_dev = 0;
    uint16_t hci_channel = OVK_HCI_CHANNEL_RAW;
};

struct OVK_HCI_FILTER_T {
    uint32_t type_mask = 0;
    std::array<uint32_t, 2> event_mask{};
    uint16_t opcode = 0;
    bool operator==(const OVK_HCI_FILTER_T&) const = default;
};

struct OVK_HCI_DEV_REQ {
    uint16_t dev_id = 0;
    uint32_t dev_opt = 0;  // adapter flags, bit 0 = up
};

inline constexpr int OVK_HCI_MAX_DEV = 16;
struct OVK_HCI_DEV_LIST {
    uint16_t dev_num = 0;
    std::array<OVK_HCI_DEV_REQ, OVK_HCI_MAX_DEV> dev_req{};
};

struct OVK_HCI_DEV_INFO {
    uint16_t dev_id = 0;
    std::array<char, 8> name{};
    std::array<uint8_t, 6> bdaddr{};
    uint32_t flags = 0;  // bit 0 = up
    uint8_t type = 0;
    std::array<uint8_t, 8> features{};
    uint32_t pkt_type = 0;
    uint32_t link_policy = 0;
    uint32_t link_mode = 0;
    uint16_t acl_mtu = 0;
    uint16_t acl_pkts = 0;
    uint16_t sco_mtu = 0;
    uint16_t sco_pkts = 0;
    std::array<uint32_t, 10> stat{};
};

inline constexpr uint32_t OVK_HCI_DEV_UP = 1;

// The filter the reader installs: event packets only; Command Complete, Command Status and
// LE Meta events.
inline constexpr OVK_HCI_FILTER_T OVK_HCI_READER_FILTER{0x10, {0x0000C000u, 0x40000000u}, 0};

// ---------------------------------------------------------------------------------------
// 2. Commands (group 0x08, LE controller commands)
// ---------------------------------------------------------------------------------------
inline constexpr uint16_t OVK_HCI_OCF_READ_FEATURES = 0x0003;
inline constexpr uint16_t OVK_HCI_OCF_SCAN_PARAMS = 0x000B;
inline constexpr uint16_t OVK_HCI_OCF_SCAN_ENABLE = 0x000C;
inline constexpr uint16_t OVK_HCI_OCF_EXT_SCAN_PARAMS = 0x0041;
inline constexpr uint16_t OVK_HCI_OCF_EXT_SCAN_ENABLE = 0x0042;
inline constexpr uint8_t OVK_HCI_CMD_DISALLOWED = 0x0C;

constexpr uint16_t ovk_linux_hci_opcode(uint16_t ocf) {
    return static_cast<uint16_t>(0x2000 | ocf);
}

// One command packet: type byte 1, opcode (little-endian), parameter length, parameters.
struct OVK_HCI_CMD {
    std::array<uint8_t, 4 + 255> b{};
    size_t len = 0;
    uint16_t opcode = 0;
    ovk_bytes bytes() const { return {b.data(), len}; }
};

OVK_HCI_CMD ovk_linux_hci_cmd(uint16_t ocf, ovk_bytes params);
OVK_HCI_CMD ovk_linux_hci_cmd_read_features();
OVK_HCI_CMD ovk_linux_hci_cmd_scan_params(uint16_t interval, uint16_t window);
OVK_HCI_CMD ovk_linux_hci_cmd_scan_enable(bool enable);
OVK_HCI_CMD ovk_linux_hci_cmd_ext_scan_params(bool coded, uint16_t interval, uint16_t window);
OVK_HCI_CMD ovk_linux_hci_cmd_ext_scan_enable(bool enable);

// Scan interval and window (units of 0.625 ms) for a scan mode: 0 about 10 % duty,
// 1 about 25 %, anything else continuous.
struct OVK_HCI_TIMING {
    uint16_t interval = 0;
    uint16_t window = 0;
};
OVK_HCI_TIMING ovk_linux_hci_timing(int mode);

// What one received packet means to a command waiting for `opcode`.
enum OVK_HCI_ANSWER_KIND : int {
    OVK_HCI_ANS_NONE = 0,     // not an answer to this command
    OVK_HCI_ANS_DONE = 1,     // Command Complete, or Command Status with a non-zero status
    OVK_HCI_ANS_PENDING = 2,  // Command Status 0: the controller works on it, keep waiting
};
struct OVK_HCI_ANSWER {
    OVK_HCI_ANSWER_KIND kind = OVK_HCI_ANS_NONE;
    int status = 0;                // HCI status of a finished command
    std::array<uint8_t, 9> ret{};  // return parameters, status first (Command Complete)
    size_t nret = 0;
};
OVK_HCI_ANSWER ovk_linux_hci_match_answer(ovk_bytes packet, uint16_t opcode);

// ---------------------------------------------------------------------------------------
// 3. Reports
// ---------------------------------------------------------------------------------------
inline constexpr size_t OVK_EXT_ADV_MAX = 1650;
inline constexpr size_t OVK_EXT_SLOTS = 8;

// One extended advertisement being reassembled.
struct OVK_EXT_SLOT {
    bool used = false;
    std::array<uint8_t, 6> addr{};  // as received
    uint8_t addr_type = 0;
    uint8_t sid = 0;
    int64_t last = 0;  // monotonic ms of the last fragment
    size_t len = 0;
    std::array<uint8_t, OVK_EXT_ADV_MAX> data{};
};
using OVK_HCI_SLOTS = std::array<OVK_EXT_SLOT, OVK_EXT_SLOTS>;

using OVK_ADVERT_OUT = std::function<void(OVK_ADVERT_PTR)>;

// Parses one packet as read from the raw socket (type byte first). LE Advertising Reports
// and LE Extended Advertising Reports become adverts handed to `out` (time stamp `wall_ms`);
// fragments wait in `slots` (ages from `mono_ms`). Everything else is ignored. Returns the
// number of adverts handed over.
int ovk_linux_hci_parse_event(OVK_HCI_SLOTS& slots, ovk_bytes packet, int64_t mono_ms,
                              int64_t wall_ms, const OVK_ADVERT_OUT& out);

// ---------------------------------------------------------------------------------------
// 4. I/O seam. Handles stand for raw HCI sockets. Every call returns a negative error
// number on failure.
// ---------------------------------------------------------------------------------------
class OVK_HCI_IO {
  public:
    virtual ~OVK_HCI_IO() = default;
    virtual int open() = 0;  // a new raw HCI socket: handle >= 0
    virtual void close(int h) = 0;
    virtual int dev_list(int h, OVK_HCI_DEV_LIST& out) = 0;
    virtual int dev_info(int h, int dev, OVK_HCI_DEV_INFO& out) = 0;
    virtual int bind(int h, int dev) = 0;
    virtual int get_filter(int h, OVK_HCI_FILTER_T& out) = 0;
    virtual int set_filter(int h, const OVK_HCI_FILTER_T& f) = 0;
    virtual long write(int h, ovk_bytes packet) = 0;
    virtual long read(int h, std::span<uint8_t> buf) = 0;
    // > 0 with `revents` set, 0 on time-out.
    virtual int poll(int h, int timeout_ms, short& revents) = 0;
    virtual int64_t mono_ms() = 0;
    virtual int64_t now_ms() = 0;
    virtual void sleep_ms(int ms) = 0;
};

// The kernel's raw HCI sockets and the platform clocks.
std::shared_ptr<OVK_HCI_IO> ovk_linux_hci_kernel_io();

// ---------------------------------------------------------------------------------------
// 5. Scanner
// ---------------------------------------------------------------------------------------

// Owns one reader thread. Adverts go to sink.on_advert, status changes to sink.on_status
// (both on the reader thread; a status set by start/stop runs on the caller's thread).
// The destructor stops the reader. stop(), status(), running() and finished() (the reader
// ended by itself: permission denied, out of memory) come from OVK_LINUX_SCANNER.
class OVK_HCI_SCANNER : public OVK_LINUX_SCANNER {
  public:
    OVK_HCI_SCANNER(std::shared_ptr<OVK_HCI_IO> io, OVK_SINK sink);
    ~OVK_HCI_SCANNER();

    int start(const OVK_SCAN_OPTS& opts);  // 0, or -1 when the thread cannot start

    struct Impl;

  private:
    std::unique_ptr<Impl> p_;
};

// The process-wide reader, on the kernel's sockets, delivering to ovk_linux_emit_advert and
// ovk_linux_emit_status.
int ovk_linux_hci_start(const OVK_SCAN_OPTS* opts);  // null fails the argument check
int ovk_linux_hci_start(const OVK_SCAN_OPTS& opts);
void ovk_linux_hci_stop();
std::string ovk_linux_hci_status();
// Why the process-wide reader hears nothing, "" while it starts or listens.
std::string ovk_linux_hci_fault();
