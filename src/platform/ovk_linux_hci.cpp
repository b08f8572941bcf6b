// SPDX-License-Identifier: GPL-3.0-or-later
// Passive BLE scanner over a raw HCI socket.
//
// Index
//   1. Helpers (error texts, status formatting)
//   2. Command builders and answer matching
//   3. Report parsing and reassembly
//   4. Kernel I/O
//   5. The reader (adapter choice, opening, arming, reading, closing)
//   6. Scanner object and the process-wide reader
#include "ovk_linux_hci.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "ovk_radio.h"
#include "ovk_util.h"
#include "zq_log.h"

// ---------------------------------------------------------------------------------------
// 1. Helpers
// ---------------------------------------------------------------------------------------
namespace {

constexpr int64_t RETRY_WAIT_MS = 10000;
constexpr int64_t REARM_AFTER_MS = 15000;
constexpr int64_t COMMAND_WAIT_MS = 2000;
constexpr int POLL_SLICE_MS = 250;
constexpr int RETRY_SLICE_MS = 100;
constexpr size_t PACKET_MAX = 260;

constexpr const char* PERMISSION_TEXT = "BLE: permission denied - run `make setcap` or as root";

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Commands
// ---------------------------------------------------------------------------------------
OVK_HCI_CMD ovk_linux_hci_cmd(uint16_t ocf, ovk_bytes params) {
    OVK_HCI_CMD c;
    const size_t n = std::min<size_t>(params.size(), 255);
    c.opcode = ovk_linux_hci_opcode(ocf);
    c.b[0] = 0x01;
    c.b[1] = static_cast<uint8_t>(c.opcode & 0xFF);
    c.b[2] = static_cast<uint8_t>(c.opcode >> 8);
    c.b[3] = static_cast<uint8_t>(n);
    std::copy_n(params.begin(), n, c.b.begin() + 4);
    c.len = 4 + n;
    return c;
}

OVK_HCI_CMD ovk_linux_hci_cmd_read_features() {
    return ovk_linux_hci_cmd(OVK_HCI_OCF_READ_FEATURES, {});
}

OVK_HCI_CMD ovk_linux_hci_cmd_scan_params(uint16_t interval, uint16_t window) {
    const std::array<uint8_t, 7> p{0x00,  // passive
                                   static_cast<uint8_t>(interval & 0xFF),
                                   static_cast<uint8_t>(interval >> 8),
                                   static_cast<uint8_t>(window & 0xFF),
                                   static_cast<uint8_t>(window >> 8),
                                   0x00,   // own address: public
                                   0x00};  // accept all
    return ovk_linux_hci_cmd(OVK_HCI_OCF_SCAN_PARAMS, p);
}

OVK_HCI_CMD ovk_linux_hci_cmd_scan_enable(bool enable) {
    const std::array<uint8_t, 2> p{static_cast<uint8_t>(enable ? 1 : 0), 0x00};
    return ovk_linux_hci_cmd(OVK_HCI_OCF_SCAN_ENABLE, p);
}

OVK_HCI_CMD ovk_linux_hci_cmd_ext_scan_params(bool coded, uint16_t interval, uint16_t window) {
    std::array<uint8_t, 13> p{};
    size_t n = 0;
    p[n++] = 0x00;                 // own address: public
    p[n++] = 0x00;                 // accept all
    p[n++] = coded ? 0x05 : 0x01;  // LE 1M (+ LE Coded)
    for (int phy = 0; phy < (coded ? 2 : 1); ++phy) {
        p[n++] = 0x00;  // passive
        p[n++] = static_cast<uint8_t>(interval & 0xFF);
        p[n++] = static_cast<uint8_t>(interval >> 8);
        p[n++] = static_cast<uint8_t>(window & 0xFF);
        p[n++] = static_cast<uint8_t>(window >> 8);
    }
    return ovk_linux_hci_cmd(OVK_HCI_OCF_EXT_SCAN_PARAMS, ovk_bytes(p.data(), n));
}

OVK_HCI_CMD ovk_linux_hci_cmd_ext_scan_enable(bool enable) {
    const std::array<uint8_t, 6> p{static_cast<uint8_t>(enable ? 1 : 0), 0, 0, 0, 0, 0};
    return ovk_linux_hci_cmd(OVK_HCI_OCF_EXT_SCAN_ENABLE, p);
}

OVK_HCI_TIMING ovk_linux_hci_timing(int mode) {
    if (mode == 0) return {8192, 819};
    if (mode == 1) return {6554, 1638};
    return {6554, 6554};
}

OVK_HCI_ANSWER ovk_linux_hci_match_answer(ovk_bytes pkt, uint16_t opcode) {
    OVK_HCI_ANSWER a;
    if (pkt.size() < 3 || pkt[0] != 0x04) return a;
    const size_t plen = pkt[2];
    if (3 + plen > pkt.size()) return a;
    const ovk_bytes p = pkt.subspan(3, plen);
    if (pkt[1] == 0x0E) {
        // Command Complete: packets allowed, opcode, return parameters (status first)
        if (p.size() < 4 || ovk_u16le(p, 1) != opcode) return a;
        a.kind = OVK_HCI_ANS_DONE;
        a.status = p[3];
        a.nret = std::min<size_t>(p.size() - 3, a.ret.size());
        std::copy_n(p.begin() + 3, a.nret, a.ret.begin());
    } else if (pkt[1] == 0x0F) {
        // Command Status: status, packets allowed, opcode
        if (p.size() < 4 || ovk_u16le(p, 2) != opcode) return a;
        a.status = p[0];
        a.kind = a.status != 0 ? OVK_HCI_ANS_DONE : OVK_HCI_ANS_PENDING;
    }
    return a;
}

// ---------------------------------------------------------------------------------------
// 3. Reports
// ---------------------------------------------------------------------------------------
namespace {

constexpr const char* PHY_LEGACY = "LE 1M (legacy)";
constexpr const char* PHY_CODED = "LE Coded (long range)";
constexpr const char* PHY_2M = "LE 1M / 2M (extended)";
constexpr const char* PHY_EXT = "LE 1M (extended)";

OVK_ADDR_TYPE addr_kind(uint8_t hci_type, std::string_view text) {
    switch (hci_type) {
        case 0:
        case 2:
            return OVK_ADDR_PUBLIC;
        case 1:
            return ovk_addr_of_random(text);
        case 3:
            return OVK_ADDR_RANDOM_STATIC;
        default:
            return OVK_ADDR_UNKNOWN;
    }
}

// Builds and hands over one advertisement. `addr` is as received (least significant first).
int deliver(const uint8_t* addr, uint8_t addr_type, int8_t rssi_raw, ovk_bytes data,
            int connectable, const char* phy, int64_t wall_ms, const OVK_ADVERT_OUT& out) {
    const std::string text = ovk_mac_from_bytes(ovk_bytes(addr, 6), true);
    const int rssi = rssi_raw == 127 ? -100 : rssi_raw;
    OVK_ADVERT_PTR a = ovk_advert_new_ble(text, rssi, data, addr_kind(addr_type, text), connectable,
                                          std::string_view(phy), "", wall_ms);
    if (!a) return 0;
    if (out) out(std::move(a));
    return 1;
}

int parse_legacy(ovk_bytes p, int64_t wall_ms, const OVK_ADVERT_OUT& out) {
    // p: count, then reports
    if (p.empty()) return 0;
    const unsigned count = p[0];
    size_t off = 1;
    int n = 0;
    for (unsigned r = 0; r < count; ++r) {
        if (off + 9 > p.size()) break;  // type, address type, address, length
        const uint8_t evt = p[off];
        const uint8_t atype = p[off + 1];
        const uint8_t* addr = p.data() + off + 2;
        const size_t dlen = p[off + 8];
        if (off + 9 + dlen + 1 > p.size()) break;  // data and RSSI
        const ovk_bytes data = p.subspan(off + 9, dlen);
        const auto rssi = static_cast<int8_t>(p[off + 9 + dlen]);
        const int connectable = (evt == 0 || evt == 1) ? 1 : evt == 4 ? -1 : 0;
        n += deliver(addr, atype, rssi, data, connectable, PHY_LEGACY, wall_ms, out);
        off += 9 + dlen + 1;
    }
    return n;
}

OVK_EXT_SLOT* find_slot(OVK_HCI_SLOTS& slots, uint8_t atype, uint8_t sid, const uint8_t* addr) {
    for (auto& s : slots)
        if (s.used && s.addr_type == atype && s.sid == sid &&
            std::equal(s.addr.begin(), s.addr.end(), addr))
            return &s;
    return nullptr;
}

OVK_EXT_SLOT& take_slot(OVK_HCI_SLOTS& slots, uint8_t atype, uint8_t sid, const uint8_t* addr) {
    OVK_EXT_SLOT* pick = nullptr;
    for (auto& s : slots)
        if (!s.used) {
            pick = &s;
            break;
        }
    if (!pick) {
        pick = &slots[0];
        for (auto& s : slots)
            if (s.last < pick->last) pick = &s;
    }
    pick->used = true;
    pick->addr_type = atype;
    pick->sid = sid;
    std::copy_n(addr, 6, pick->addr.begin());
    pick->len = 0;
    return *pick;
}

void append(OVK_EXT_SLOT& s, ovk_bytes frag) {
    const size_t room = OVK_EXT_ADV_MAX - s.len;
    const size_t n = std::min(room, frag.size());
    std::copy_n(frag.begin(), n, s.data.begin() + static_cast<std::ptrdiff_t>(s.len));
    s.len += n;
}

int parse_extended(OVK_HCI_SLOTS& slots, ovk_bytes p, int64_t mono_ms, int64_t wall_ms,
                   const OVK_ADVERT_OUT& out) {
    if (p.empty()) return 0;
    const unsigned count = p[0];
    size_t off = 1;
    int n = 0;
    for (unsigned r = 0; r < count; ++r) {
        if (off + 24 > p.size()) break;
        const ovk_bytes h = p.subspan(off, 24);
        const size_t dlen = h[23];
        if (off + 24 + dlen > p.size()) break;
        const ovk_bytes data = p.subspan(off + 24, dlen);
        off += 24 + dlen;

        const unsigned evt = ovk_u16le(h, 0);
        const uint8_t atype = h[2];
        const uint8_t* addr = h.data() + 3;
        const uint8_t primary = h[9];
        const uint8_t secondary = h[10];
        const uint8_t sid = h[11];
        const auto rssi = static_cast<int8_t>(h[13]);
        if (atype == 0xFF) continue;  // anonymous: nothing to attribute it to

        const char* phy = primary == 3     ? PHY_CODED
                          : secondary == 2 ? PHY_2M
                          : (evt & 0x10)   ? PHY_LEGACY
                                           : PHY_EXT;
        const int connectable = (evt & 0x01) ? 1 : 0;
        const unsigned data_status = (evt >> 5) & 0x03;

        OVK_EXT_SLOT* s = find_slot(slots, atype, sid, addr);
        if (data_status == 1) {
            if (!s) s = &take_slot(slots, atype, sid, addr);
            append(*s, data);
            s->last = mono_ms;
            continue;
        }
        if (s) {
            append(*s, data);
            n += deliver(addr, atype, rssi, ovk_bytes(s->data.data(), s->len), connectable, phy,
                         wall_ms, out);
            s->used = false;
            s->len = 0;
        } else {
            n += deliver(addr, atype, rssi, data, connectable, phy, wall_ms, out);
        }
    }
    return n;
}

}  // namespace

int ovk_linux_hci_parse_event(OVK_HCI_SLOTS& slots, ovk_bytes pkt, int64_t mono_ms, int64_t wall_ms,
                              const OVK_ADVERT_OUT& out) {
    if (pkt.size() <= 3 || pkt[0] != 0x04 || pkt[1] != 0x3E) return 0;
    const size_t plen = pkt[2];
    if (plen == 0 || 3 + plen > pkt.size()) return 0;
    const ovk_bytes p = pkt.subspan(3, plen);
    if (p[0] == 0x02) return parse_legacy(p.subspan(1), wall_ms, out);
    if (p[0] == 0x0D) return parse_extended(slots, p.subspan(1), mono_ms, wall_ms, out);
    return 0;
}

// ---------------------------------------------------------------------------------------
// 4. Kernel I/O
// ---------------------------------------------------------------------------------------
namespace {

// ioctl numbers of the Bluetooth HCI socket: _IOR('H', 210/211, int)
constexpr unsigned long HCIGETDEVLIST = _IOR('H', 210, int);
constexpr unsigned long HCIGETDEVINFO = _IOR('H', 211, int);

// The kernel's own layouts (C records with their natural padding).
struct k_filter {
    uint32_t type_mask;
    uint32_t event_mask[2];
    uint16_t opcode;
};
struct k_dev_req {
    uint16_t dev_id;
    uint32_t dev_opt;
};
struct k_dev_list {
    uint16_t dev_num;
    k_dev_req dev_req[OVK_HCI_MAX_DEV];
};
struct k_dev_info {
    uint16_t dev_id;
    char name[8];
    uint8_t bdaddr[6];
    uint32_t flags;
    uint8_t type;
    uint8_t features[8];
    uint32_t pkt_type;
    uint32_t link_policy;
    uint32_t link_mode;
    uint16_t acl_mtu;
    uint16_t acl_pkts;
    uint16_t sco_mtu;
    uint16_t sco_pkts;
    uint32_t stat[10];
};
static_assert(sizeof(k_filter) == 16);
static_assert(sizeof(k_dev_req) == 8);
static_assert(sizeof(k_dev_list) == 4 + 8 * OVK_HCI_MAX_DEV);
static_assert(sizeof(k_dev_info) == 92);
static_assert(sizeof(OVK_SOCKADDR_HCI) == 6);

class kernel_io final : public OVK_HCI_IO {
  public:
    int open() override {
        const int fd = ::socket(OVK_AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, OVK_BTPROTO_HCI);
        return fd < 0 ? -errno : fd;
    }
    void close(int h) override {
        if (h >= 0) ::close(h);
    }
    int dev_list(int h, OVK_HCI_DEV_LIST& out) override {
        k_dev_list k{};
        k.dev_num = OVK_HCI_MAX_DEV;
        if (::ioctl(h, HCIGETDEVLIST, &k) < 0) return -errno;
        out = {};
        out.dev_num = std::min<uint16_t>(k.dev_num, OVK_HCI_MAX_DEV);
        for (int i = 0; i < out.dev_num; ++i)
            out.dev_req[i] = {k.dev_req[i].dev_id, k.dev_req[i].dev_opt};
        return 0;
    }
    int dev_info(int h, int dev, OVK_HCI_DEV_INFO& out) override {
        k_dev_info k{};
        k.dev_id = static_cast<uint16_t>(dev);
        if (::ioctl(h, HCIGETDEVINFO, &k) < 0) return -errno;
        out = {};
        out.dev_id = k.dev_id;
        std::copy_n(k.name, 8, out.name.begin());
        std::copy_n(k.bdaddr, 6, out.bdaddr.begin());
        out.flags = k.flags;
        out.type = k.type;
        std::copy_n(k.features, 8, out.features.begin());
        return 0;
    }
    int bind(int h, int dev) override {
        OVK_SOCKADDR_HCI a;
        a.hci_dev = static_cast<uint16_t>(dev);
        sockaddr_storage ss{};
        std::memcpy(&ss, &a, sizeof a);
        if (::bind(h, reinterpret_cast<sockaddr*>(&ss), sizeof a) < 0) return -errno;
        return 0;
    }
    int get_filter(int h, OVK_HCI_FILTER_T& out) override {
        k_filter k{};
        socklen_t len = sizeof k;
        if (::getsockopt(h, OVK_SOL_HCI, OVK_HCI_FILTER, &k, &len) < 0) return -errno;
        out.type_mask = k.type_mask;
        out.event_mask = {k.event_mask[0], k.event_mask[1]};
        out.opcode = k.opcode;
        return 0;
    }
    int set_filter(int h, const OVK_HCI_FILTER_T& f) override {
        k_filter k{};
        k.type_mask = f.type_mask;
        k.event_mask[0] = f.event_mask[0];
        k.event_mask[1] = f.event_mask[1];
        k.opcode = f.opcode;
        if (::setsockopt(h, OVK_SOL_HCI, OVK_HCI_FILTER, &k, sizeof k) < 0) return -errno;
        return 0;
    }
    long write(int h, ovk_bytes pkt) override {
        const ssize_t n = ::write(h, pkt.data(), pkt.size());
        return n < 0 ? -errno : static_cast<long>(n);
    }
    long read(int h, std::span<uint8_t> buf) override {
        const ssize_t n = ::read(h, buf.data(), buf.size());
        return n < 0 ? -errno : static_cast<long>(n);
    }
    int poll(int h, int timeout_ms, short& revents) override {
        pollfd p{h, POLLIN, 0};
        const int r = ::poll(&p, 1, timeout_ms);
        if (r < 0) return -errno;
        revents = p.revents;
        return r;
    }
    int64_t mono_ms() override { return ovk_linux_mono_ms(); }
    int64_t now_ms() override { return ovk_linux_now_ms(); }
    void sleep_ms(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

std::shared_ptr<OVK_HCI_IO> ovk_linux_hci_kernel_io() {
    return std::make_shared<kernel_io>();
}

// ---------------------------------------------------------------------------------------
// 5. The reader
// ---------------------------------------------------------------------------------------
struct OVK_HCI_SCANNER::Impl : OVK_SCANNER_CORE {
    Impl() : OVK_SCANNER_CORE("BLE: stopped") {}

    std::shared_ptr<OVK_HCI_IO> io;
    int dev_opt = -1;
    int mode = 0;

    void run() noexcept;
};

namespace {

// OVK_HCI_CTX: the reader's state, allocated by the thread and freed when it ends.
struct OVK_HCI_CTX {
    int fd = -1;
    int dev = -1;
    OVK_HCI_FILTER_T old_filter{};
    bool have_old_filter = false;
    bool extended = false;
    bool we_enabled = false;
    uint16_t interval = 0;
    uint16_t window = 0;
    bool coded = false;
    int64_t last_report = 0;
    long reports = 0;
    OVK_HCI_SLOTS slots{};
};

enum class step { ok, retry, again, end };

class reader {
  public:
    reader(OVK_HCI_SCANNER::Impl& m, OVK_HCI_CTX& c) : m_(m), io_(*m.io), c_(c) {
        out_ = [this](OVK_ADVERT_PTR a) {
            ++c_.reports;
            c_.last_report = io_.mono_ms();
            if (m_.sink.on_advert) m_.sink.on_advert(std::move(a));
        };
    }

    void run() {
        while (!stopping()) {
            step s = choose();
            if (s == step::ok) s = open_adapter();
            if (s == step::ok) s = read_loop();
            if (s == step::end) break;
            if (s == step::retry) wait_retry();
        }
        close_adapter();
        zq_log(LOG_INFO, "BLE reader stopped after %ld reports", c_.reports);
    }

  private:
    bool stopping() const { return m_.stop_flag.load(); }

    void wait_retry() {
        const int64_t until = io_.mono_ms() + RETRY_WAIT_MS;
        while (!stopping() && io_.mono_ms() < until) io_.sleep_ms(RETRY_SLICE_MS);
    }

    void lookup_failed(int err) {
        if (err == EAFNOSUPPORT || err == EPROTONOSUPPORT)
            m_.set_fault("is not supported by this kernel",
                         "BLE: no Bluetooth support in this kernel");
        else if (err == ENODEV)
            no_adapter();
        else if (err == ENETDOWN)
            m_.set_fault("is off", "BLE: hci%d is down (powered off or rfkill blocked)",
                         m_.dev_opt);
        else
            m_.set_fault("cannot find its adapter", "BLE: adapter lookup failed: %s",
                         ovk_errno_text(err).c_str());
    }

    void no_adapter() {
        if (m_.dev_opt >= 0)
            m_.set_fault("has no adapter", "BLE: no adapter hci%d", m_.dev_opt);
        else
            m_.set_fault("has no adapter", "BLE: no adapter");
    }

    // Picks the adapter: the requested one when it is up, else the first one that is up.
    step choose() {
        const int h = io_.open();
        if (h < 0) {
            lookup_failed(-h);
            return step::retry;
        }
        if (m_.dev_opt >= 0) {
            OVK_HCI_DEV_INFO info;
            const int r = io_.dev_info(h, m_.dev_opt, info);
            io_.close(h);
            if (r < 0) {
                no_adapter();
                return step::retry;
            }
            if (!(info.flags & OVK_HCI_DEV_UP)) {
                m_.set_fault("is off", "BLE: hci%d is down (powered off or rfkill blocked)",
                             m_.dev_opt);
                return step::retry;
            }
            c_.dev = m_.dev_opt;
            return step::ok;
        }
        OVK_HCI_DEV_LIST list;
        const int r = io_.dev_list(h, list);
        io_.close(h);
        if (r < 0) {
            lookup_failed(-r);
            return step::retry;
        }
        if (list.dev_num == 0) {
            no_adapter();
            return step::retry;
        }
        for (int i = 0; i < list.dev_num; ++i)
            if (list.dev_req[i].dev_opt & OVK_HCI_DEV_UP) {
                c_.dev = list.dev_req[i].dev_id;
                return step::ok;
            }
        m_.set_fault("is off", "BLE: hci%d is down (powered off or rfkill blocked)",
                     list.dev_req[0].dev_id);
        return step::retry;
    }

    static bool is_permission(int r) { return r == -EPERM || r == -EACCES; }

    step open_adapter() {
        const int h = io_.open();
        if (h < 0) {
            m_.set_fault("cannot open its adapter", "BLE: HCI socket: %s",
                         ovk_errno_text(h).c_str());
            return step::retry;
        }
        c_.fd = h;
        c_.have_old_filter = false;
        c_.we_enabled = false;
        const int dev = c_.dev;
        int r = io_.bind(h, dev);
        if (r < 0) {
            close_fd();
            if (is_permission(r)) {
                m_.set_fault("needs permission", "%s", PERMISSION_TEXT);
                return step::end;
            }
            m_.set_fault("cannot open its adapter", "BLE: hci%d bind: %s", dev,
                         ovk_errno_text(r).c_str());
            return step::retry;
        }
        c_.have_old_filter = io_.get_filter(h, c_.old_filter) == 0;
        r = io_.set_filter(h, OVK_HCI_READER_FILTER);
        if (r < 0) {
            m_.set_fault("cannot open its adapter", "BLE: hci%d filter: %s", dev,
                         ovk_errno_text(r).c_str());
            close_adapter();
            return step::retry;
        }

        OVK_HCI_ANSWER ans;
        r = command(ovk_linux_hci_cmd_read_features(), &ans, true);
        if (stopping()) return step::end;
        if (is_permission(r)) {
            close_adapter();
            m_.set_fault("needs permission", "%s", PERMISSION_TEXT);
            return step::end;
        }
        if (r < 0) {
            m_.set_fault("adapter is not responding", "BLE: hci%d not responding: %s", dev,
                         ovk_errno_text(r).c_str());
            close_adapter();
            return step::retry;
        }
        c_.coded = false;
        c_.extended = false;
        if (r == 0 && ans.nret >= 9) {
            c_.coded = (ans.ret[2] >> 3) & 1;
            c_.extended = (ans.ret[2] >> 4) & 1;
        }

        const OVK_HCI_TIMING t = ovk_linux_hci_timing(m_.mode);
        c_.interval = t.interval;
        c_.window = t.window;
        r = arm();
        if (stopping()) return step::end;
        if (r == 0 || r == 1) {
            c_.last_report = io_.mono_ms();
            if (r == 1)
                m_.set_status("BLE hci%d: listening (controller already scanning for another app)",
                              dev);
            else
                m_.set_status("BLE hci%d: passive scan (%s)", dev,
                              !c_.extended ? "legacy"
                              : c_.coded   ? "extended, LE 1M + Coded"
                                           : "extended, LE 1M");
            return step::ok;
        }
        if (is_permission(r)) {
            close_adapter();
            m_.set_fault("needs permission", "%s", PERMISSION_TEXT);
            return step::end;
        }
        m_.set_fault("cannot start a scan", "BLE: hci%d scan setup failed: %s", dev,
                     ovk_errno_text(r).c_str());
        close_adapter();
        return step::retry;
    }

    // Sends a scan-enable command. Once it is written the controller may start scanning for us
    // whatever becomes of the answer (a stop or a time-out while it is pending), so closing
    // must turn the scan off; only a refusal from the controller proves nothing was started.
    int enable(const OVK_HCI_CMD& cmd) {
        const bool before = c_.we_enabled;
        c_.we_enabled = true;
        const int r = command(cmd, nullptr, true);
        if (r > 0) c_.we_enabled = before;
        return r;
    }

    // 0 armed by us, 1 the controller scans for someone else, negative an OS error.
    int arm() {
        if (c_.extended) {
            int r = command(ovk_linux_hci_cmd_ext_scan_params(c_.coded, c_.interval, c_.window),
                            nullptr, true);
            if (r == 0) r = enable(ovk_linux_hci_cmd_ext_scan_enable(true));
            if (r == 0) {
                c_.we_enabled = true;
                return 0;
            }
            if (r == OVK_HCI_CMD_DISALLOWED) return 1;
            if (r < 0) return r;
            zq_log(LOG_INFO, "BLE hci%d: extended scan refused (HCI 0x%02X), using legacy scan",
                   c_.dev, r);
            c_.extended = false;
        }
        int r = command(ovk_linux_hci_cmd_scan_params(c_.interval, c_.window), nullptr, true);
        if (r == 0) r = enable(ovk_linux_hci_cmd_scan_enable(true));
        if (r == 0) {
            c_.we_enabled = true;
            return 0;
        }
        if (r == OVK_HCI_CMD_DISALLOWED) return 1;
        if (r < 0) return r;
        zq_log(LOG_ERR, "BLE hci%d: scan setup failed, HCI status 0x%02X", c_.dev, r);
        return -EIO;
    }

    // Sends one command and waits for its answer: 0 success, 1..255 the controller's status,
    // negative an OS error. Advertising reports that arrive meanwhile are still delivered.
    int command(const OVK_HCI_CMD& cmd, OVK_HCI_ANSWER* ans, bool abortable) {
        long w;
        do {
            w = io_.write(c_.fd, cmd.bytes());
        } while (w == -EINTR);
        if (w < 0) return static_cast<int>(w);
        if (static_cast<size_t>(w) != cmd.len) return -EIO;

        const int64_t deadline = io_.mono_ms() + COMMAND_WAIT_MS;
        std::array<uint8_t, PACKET_MAX> pkt{};
        for (;;) {
            if (abortable && stopping()) return -EINTR;
            const int64_t left = deadline - io_.mono_ms();
            if (left <= 0) return -ETIMEDOUT;
            short rev = 0;
            const int r =
                io_.poll(c_.fd, static_cast<int>(std::min<int64_t>(left, POLL_SLICE_MS)), rev);
            if (r == -EINTR) continue;
            if (r < 0) return r;
            if (r == 0) continue;
            if (rev & (POLLERR | POLLHUP | POLLNVAL)) return -ENETDOWN;
            if (!(rev & POLLIN)) continue;
            const long n = io_.read(c_.fd, pkt);
            if (n == -EINTR || n == -EAGAIN) continue;
            if (n < 0) return static_cast<int>(n);
            const ovk_bytes got(pkt.data(), static_cast<size_t>(n));
            const OVK_HCI_ANSWER a = ovk_linux_hci_match_answer(got, cmd.opcode);
            switch (a.kind) {
                case OVK_HCI_ANS_DONE:
                    if (ans) *ans = a;
                    return a.status;
                case OVK_HCI_ANS_PENDING:
                    break;
                case OVK_HCI_ANS_NONE:
                    ovk_linux_hci_parse_event(c_.slots, got, io_.mono_ms(), io_.now_ms(), out_);
                    break;
            }
        }
    }

    step read_loop() {
        std::array<uint8_t, PACKET_MAX> pkt{};
        const int dev = c_.dev;
        while (c_.fd >= 0 && !stopping()) {
            short rev = 0;
            int r = io_.poll(c_.fd, POLL_SLICE_MS, rev);
            if (r == -EINTR) continue;
            if (r < 0) {
                m_.set_fault("adapter failed", "BLE hci%d: poll: %s", dev,
                             ovk_errno_text(r).c_str());
                close_adapter();
                return step::again;
            }
            if (r > 0 && (rev & POLLIN)) {
                const long n = io_.read(c_.fd, pkt);
                if (n == -EINTR || n == -EAGAIN) continue;
                if (n < 0) {
                    m_.set_fault("adapter failed", "BLE: hci%d read: %s", dev,
                                 ovk_errno_text(static_cast<int>(n)).c_str());
                    // A controller that is still there gets its scan turned off: left on, the
                    // next arming would take our own scan for another program's and nothing
                    // would ever turn it off.
                    if (n == -ENODEV || n == -ENETDOWN || n == -EPIPE || n == -EBADFD)
                        abandon_fd();
                    else
                        close_adapter();
                    return step::again;
                }
                ovk_linux_hci_parse_event(c_.slots, ovk_bytes(pkt.data(), static_cast<size_t>(n)),
                                          io_.mono_ms(), io_.now_ms(), out_);
                continue;
            }
            if (r > 0 && (rev & (POLLERR | POLLHUP | POLLNVAL))) {
                m_.set_fault("adapter went away", "BLE: hci%d went away", dev);
                abandon_fd();
                return step::again;
            }
            if (io_.mono_ms() - c_.last_report > REARM_AFTER_MS) {
                // Another program may have turned the scan off: arm it again. A refusal keeps
                // what we enabled before on the list of things to undo.
                c_.last_report = io_.mono_ms();
                r = arm();
                if (stopping()) break;
                if (r < 0) {
                    m_.set_fault("cannot start a scan", "BLE hci%d: scan re-arm failed: %s", dev,
                                 ovk_errno_text(r).c_str());
                    close_adapter();
                    return step::again;
                }
            }
        }
        return step::ok;
    }

    // The adapter vanished or the socket broke: drop the descriptor without talking to it.
    void abandon_fd() {
        c_.we_enabled = false;
        c_.have_old_filter = false;
        close_fd();
    }

    void close_fd() {
        if (c_.fd >= 0) io_.close(c_.fd);
        c_.fd = -1;
    }

    void close_adapter() {
        if (c_.fd < 0) return;
        if (c_.we_enabled) {
            command(c_.extended ? ovk_linux_hci_cmd_ext_scan_enable(false)
                                : ovk_linux_hci_cmd_scan_enable(false),
                    nullptr, false);
            c_.we_enabled = false;
        }
        if (c_.have_old_filter) io_.set_filter(c_.fd, c_.old_filter);
        c_.have_old_filter = false;
        close_fd();
    }

    OVK_HCI_SCANNER::Impl& m_;
    OVK_HCI_IO& io_;
    OVK_HCI_CTX& c_;
    OVK_ADVERT_OUT out_;
};

}  // namespace

void OVK_HCI_SCANNER::Impl::run() noexcept {
    run_guarded("BLE reader", [this] {
        std::unique_ptr<OVK_HCI_CTX> ctx(new (std::nothrow) OVK_HCI_CTX());
        if (!ctx) {
            OVK_LOG_ALLOC_FAIL(OVK_HCI_CTX, 1, ctx);
            set_fault("failed", "BLE: out of memory");
        } else {
            reader(*this, *ctx).run();
        }
    });
}

// ---------------------------------------------------------------------------------------
// 6. Scanner object and the process-wide reader
// ---------------------------------------------------------------------------------------
OVK_HCI_SCANNER::OVK_HCI_SCANNER(std::shared_ptr<OVK_HCI_IO> io, OVK_SINK sink)
    : p_(std::make_unique<Impl>()) {
    p_->io = std::move(io);
    p_->sink = std::move(sink);
    core_ = p_.get();
}

OVK_HCI_SCANNER::~OVK_HCI_SCANNER() {
    stop();
}

int OVK_HCI_SCANNER::start(const OVK_SCAN_OPTS& opts) {
    stop();
    OVK_CHECK(p_->io, -1);
    p_->dev_opt = opts.hci_dev;
    p_->mode = opts.ble_mode;
    return p_->start_thread([impl = p_.get()] { impl->run(); }, "BLE: starting",
                            "BLE: cannot start the reader thread");
}

namespace {

// The kernel's sockets come through the radio helper when it runs (ovk_radio).
using process_reader = OVK_PROCESS_SCANNER<OVK_HCI_SCANNER, ovk_radio_hci_io>;

}  // namespace

int ovk_linux_hci_start(const OVK_SCAN_OPTS* opts) {
    OVK_CHECK(opts, -1);
    return ovk_linux_hci_start(*opts);
}

int ovk_linux_hci_start(const OVK_SCAN_OPTS& opts) {
    return process_reader::start(opts);
}

void ovk_linux_hci_stop() {
    process_reader::stop();
}

std::string ovk_linux_hci_status() {
    return process_reader::status();
}

std::string ovk_linux_hci_fault() {
    return process_reader::fault();
}
