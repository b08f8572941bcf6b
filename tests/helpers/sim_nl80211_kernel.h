// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated kernel side of generic netlink with the nl80211 family: it resolves the
// family and its multicast groups, lists interfaces, acknowledges or refuses scan triggers,
// answers scan dumps in multi-part datagrams and sends scan events, all in the kernel's
// byte formats. Messages are encoded here independently of the code under test.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ovk_linux_nl80211.h"
#include "sim_kernel_base.h"

// One simulated generic netlink socket.
struct SimNlSocket {
    bool events = false;  // joined the scan multicast group
    std::deque<std::vector<uint8_t>> rx;
};

// advance() (moves the simulated clocks forward) and open_sockets() come from the base.
class SimNl80211Kernel : public OVK_NL_IO, public SimKernelBase<SimNlSocket> {
  public:
    using bytes = std::vector<uint8_t>;

    static constexpr uint16_t FAMILY_ID = 0x1C;
    static constexpr uint32_t SCAN_GROUP = 7;

    struct Bss {
        std::array<uint8_t, 6> bssid{};
        uint32_t freq = 2412;
        std::optional<int32_t> signal_mbm = -5000;
        std::optional<uint8_t> quality;
        uint16_t capability = 0x0401;
        bytes ies;                   // information elements
        bool ies_as_beacon = false;  // send them as BEACON_IES only
        int64_t age_ms = 0;          // age at the moment it was added
        bool with_boottime = true;   // NL80211_BSS_LAST_SEEN_BOOTTIME
        bool with_ms_ago = true;     // NL80211_BSS_SEEN_MS_AGO
        int64_t seen_boot_ns = 0;    // filled by add_bss
    };
    struct Iface {
        uint32_t ifindex = 3;
        std::string name = "wlan0";
        uint32_t iftype = 2;  // station; 6 = monitor
        int trigger_errno = 0;
        // An accepted trigger is announced at once (TRIGGER_SCAN to the scan group); the scan
        // then takes `scan_ms` of the simulated clock before NEW_SCAN_RESULTS follows.
        bool event_after_trigger = true;
        int scan_ms = 2500;
        // Dumps of this interface fail part-way with this error in their DONE message, as
        // when the interface vanishes while its results are read.
        int dump_errno = 0;
        std::vector<Bss> bss;
    };

    // --- set-up ---
    void set_family(bool present, bool with_scan_group = true);
    void set_open_error(int err);
    void set_join_error(int err);
    void set_list_error(int err);
    void set_ifaces(std::vector<Iface> ifs);
    void set_trigger_errno(uint32_t ifindex, int err);
    void set_dump_errno(uint32_t ifindex, int err);
    void add_bss(uint32_t ifindex, Bss b);  // age counted from now
    void clear_bss(uint32_t ifindex);
    // Messages per datagram in dumps (the kernel packs several into one receive).
    void set_per_datagram(int n);
    // The next `n` scan dumps see the BSS list change while they run: only part of the
    // list is sent and the messages carry NLM_F_DUMP_INTR.
    void interrupt_dumps(int n);

    // --- events ---
    void send_event(uint8_t cmd, std::optional<uint32_t> ifindex);

    // --- what happened ---
    int triggers(uint32_t ifindex) const;
    int dumps(uint32_t ifindex) const;
    int listings() const;
    int event_sockets() const;
    std::vector<bytes> requests() const;  // every message received
    int64_t boot_ns_now();

    // Builders shared with the tests.
    static bytes ssid_ie(const std::string& s);
    static bytes attr(uint16_t type, const bytes& payload);
    static bytes attr_u32(uint16_t type, uint32_t v);
    static bytes attr_u16(uint16_t type, uint16_t v);
    static bytes attr_u64(uint16_t type, uint64_t v);
    static bytes attr_str(uint16_t type, const std::string& s);
    static bytes message(uint16_t type, uint16_t flags, uint32_t seq, uint8_t cmd,
                         const bytes& attrs);
    // One GET_SCAN answer for `b` as the kernel would encode it at boot time `boot_ns`.
    static bytes bss_message(uint32_t seq, uint32_t ifindex, const Bss& b, int64_t boot_ns,
                             uint16_t extra_flags = 0);

    // --- OVK_NL_IO ---
    int open() override;
    void close(int h) override;
    int join_group(int h, uint32_t group) override;
    long send(int h, ovk_bytes msg) override;
    long recv(int h, std::span<uint8_t> buf, bool dontwait) override;
    int poll(int h, int timeout_ms, short& revents) override;
    int64_t now_ms() override;
    int64_t mono_ms() override;
    int64_t boot_ns() override;
    void sleep_ms(int ms) override;

  private:
    struct Timed {
        int64_t due_ms = 0;  // simulated monotonic ms
        uint8_t cmd = 0;
        uint32_t ifindex = 0;
    };
    void send_due_events_locked();
    void handle_locked(int h, ovk_bytes msg);
    void reply_error_locked(int h, const bytes& req, int err);
    void reply_done_locked(int h, uint32_t seq, uint16_t flags, std::vector<bytes> msgs,
                           int err = 0);
    void event_locked(uint8_t cmd, std::optional<uint32_t> ifindex);
    Iface* iface_locked(uint32_t ifindex);
    int64_t boot_ns_locked() const;

    bool family_ = true, scan_group_ = true;
    int open_err_ = 0, join_err_ = 0, list_err_ = 0;
    int per_datagram_ = 6;
    int interrupt_ = 0;
    std::vector<Iface> ifs_;
    std::map<uint32_t, int> triggers_, dumps_;
    int listings_ = 0;
    std::vector<bytes> requests_;
    std::deque<Timed> timed_;  // events due later, in the order they fall due
};
