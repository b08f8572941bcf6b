// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated Linux raw-HCI socket layer with one LE controller behind it. It speaks the
// real byte formats: command packets in, Command Complete / Command Status / LE Meta event
// packets out, filtered per socket by the installed HCI filter like the kernel does.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ovk_linux_hci.h"
#include "sim_kernel_base.h"

// One simulated raw HCI socket.
struct SimHciSocket {
    int dev = -1;  // bound adapter, -1 while unbound
    bool dead = false;
    int err = 0;  // pending socket error, reported once by read (EPIPE after an unplug)
    OVK_HCI_FILTER_T filter{};
    std::vector<OVK_HCI_FILTER_T> history;
    std::deque<std::vector<uint8_t>> rx;
};

// advance() (moves the simulated clocks forward) and open_sockets() come from the base.
class SimHciController : public OVK_HCI_IO, public SimKernelBase<SimHciSocket> {
  public:
    using bytes = std::vector<uint8_t>;
    using addr6 = std::array<uint8_t, 6>;  // as sent on the air (least significant first)

    struct Adapter {
        int id = 0;
        bool up = true;
    };

    // --- set-up (any thread) ---
    void set_adapters(std::vector<Adapter> list);
    void set_kernel_support(bool on);  // off: socket() fails with EAFNOSUPPORT
    void set_open_error(int err);      // socket() fails with this error
    void set_list_error(int err);      // HCIGETDEVLIST fails with this error
    void set_bind_error(int err);
    void set_filter_error(int err);
    void set_write_error(int err);  // every command write fails (EPERM: no CAP_NET_RAW)
    void set_features(bool extended, bool coded);
    void set_other_app_scanning(bool on);       // scan commands answered with Command Disallowed
    void refuse(uint16_t ocf, uint8_t status);  // answer this command with an error status
    void answer_with_command_status(uint16_t ocf);  // Command Status first (then Complete)
    void set_silent(uint16_t ocf, bool silent);     // never answer this command
    void set_initial_filter(const OVK_HCI_FILTER_T& f);
    void fail_next_read(int err);
    // Answers come after this many milliseconds of the simulated clock (default 3), as from a
    // real controller; `ocf` alone can be given its own delay.
    void set_answer_delay(int ms);
    void set_answer_delay(uint16_t ocf, int ms);

    // --- the air and the hardware ---
    // Delivers one event packet to every socket bound to the adapter whose filter passes it.
    void push_event(const bytes& pkt);
    // Unplugged: as the kernel does, bound sockets poll POLLERR, their next read fails with
    // EPIPE and writes with EBADFD; lookups find nothing; answers not yet sent are lost.
    void remove_adapter();
    void restore_adapter();            // plugged back in
    void scan_stopped_by_other_app();  // someone else turned our scan off

    // --- what happened ---
    std::vector<bytes> commands() const;  // every command packet received
    int answers_pending() const;          // answers the controller has yet to send
    std::vector<uint16_t> command_ocfs() const;
    int count_ocf(uint16_t ocf) const;
    bool scan_enabled() const;      // legacy or extended scan enabled by a command
    bool active_requested() const;  // a scan-parameter command asked for active scanning
    int opens() const;
    // Filters installed on sockets that were closed, in order, per socket.
    std::vector<std::vector<OVK_HCI_FILTER_T>> closed_filter_history() const;
    void clear_commands();

    // Packet builders (full event packets, type byte first).
    static bytes legacy_report(uint8_t evt_type, uint8_t addr_type, const addr6& addr,
                               const bytes& data, int8_t rssi);
    static bytes legacy_reports(const std::vector<bytes>& report_bodies);
    static bytes legacy_body(uint8_t evt_type, uint8_t addr_type, const addr6& addr,
                             const bytes& data, int8_t rssi);
    static bytes ext_body(uint16_t evt_type, uint8_t addr_type, const addr6& addr,
                          uint8_t primary_phy, uint8_t secondary_phy, uint8_t sid, int8_t rssi,
                          const bytes& data);
    static bytes ext_reports(const std::vector<bytes>& bodies);
    static bytes command_complete(uint16_t opcode, const bytes& ret);
    static bytes command_status(uint16_t opcode, uint8_t status);

    // --- OVK_HCI_IO ---
    int open() override;
    void close(int h) override;
    int dev_list(int h, OVK_HCI_DEV_LIST& out) override;
    int dev_info(int h, int dev, OVK_HCI_DEV_INFO& out) override;
    int bind(int h, int dev) override;
    int get_filter(int h, OVK_HCI_FILTER_T& out) override;
    int set_filter(int h, const OVK_HCI_FILTER_T& f) override;
    long write(int h, ovk_bytes packet) override;
    long read(int h, std::span<uint8_t> buf) override;
    int poll(int h, int timeout_ms, short& revents) override;
    int64_t mono_ms() override;
    int64_t now_ms() override;
    void sleep_ms(int ms) override;

  private:
    using Sock = SimHciSocket;
    struct Pending {
        int64_t due = 0;  // simulated monotonic ms
        bytes pkt;
    };
    int64_t mono_locked() const;
    void queue_answer_locked(uint16_t ocf, const bytes& pkt);
    void send_due_answers_locked();
    void deliver_locked(const bytes& pkt);
    void answer_locked(uint16_t opcode, uint8_t status, const bytes& extra);
    void run_command_locked(uint16_t opcode, ovk_bytes params);
    bool has_adapter_locked(int dev) const;

    std::vector<std::vector<OVK_HCI_FILTER_T>> closed_history_;
    int opens_ = 0;
    std::vector<Adapter> adapters_{{0, true}};
    bool present_ = true;
    bool kernel_ = true;
    int open_err_ = 0, list_err_ = 0, bind_err_ = 0, filter_err_ = 0, write_err_ = 0;
    int next_read_err_ = 0;
    bool extended_ = true, coded_ = true;
    bool other_app_ = false;
    std::map<uint16_t, uint8_t> refuse_;
    std::set<uint16_t> with_status_;
    std::set<uint16_t> silent_;
    OVK_HCI_FILTER_T initial_filter_{0x16, {0xFFFFFFFFu, 0x0000FFFFu}, 0};
    bool legacy_on_ = false, ext_on_ = false, active_ = false;
    std::vector<bytes> cmds_;
    int answer_delay_ms_ = 3;
    std::map<uint16_t, int> ocf_delay_ms_;
    std::deque<Pending> pending_;  // in the order the controller sends them
};
