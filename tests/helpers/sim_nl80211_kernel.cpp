// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim_nl80211_kernel.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {

using sim_kernel::append;

int64_t real_boot_ns() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

template <typename T>
void put(std::vector<uint8_t>& b, T v) {
    const size_t at = b.size();
    b.resize(at + sizeof v);
    std::memcpy(b.data() + at, &v, sizeof v);
}

template <typename T>
T get(ovk_bytes b, size_t off) {
    T v{};
    if (off + sizeof v <= b.size()) std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

// The first attribute of `type` in a flat attribute area.
std::optional<ovk_bytes> find_attr(ovk_bytes p, uint16_t type) {
    size_t off = 0;
    while (off + 4 <= p.size()) {
        const uint16_t len = get<uint16_t>(p, off);
        const uint16_t t = get<uint16_t>(p, off + 2) & NLA_TYPE_MASK;
        if (len < 4 || off + len > p.size()) break;
        if (t == type) return p.subspan(off + 4, len - 4u);
        off += (len + 3u) & ~3u;
    }
    return std::nullopt;
}

}  // namespace

// --- builders ---
SimNl80211Kernel::bytes SimNl80211Kernel::attr(uint16_t type, const bytes& payload) {
    bytes b;
    put16(b, static_cast<uint16_t>(4 + payload.size()));
    put16(b, type);
    append(b, payload);
    while (b.size() % 4) b.push_back(0);
    return b;
}
SimNl80211Kernel::bytes SimNl80211Kernel::attr_u32(uint16_t type, uint32_t v) {
    bytes p;
    put(p, v);
    return attr(type, p);
}
SimNl80211Kernel::bytes SimNl80211Kernel::attr_u16(uint16_t type, uint16_t v) {
    bytes p;
    put(p, v);
    return attr(type, p);
}
SimNl80211Kernel::bytes SimNl80211Kernel::attr_u64(uint16_t type, uint64_t v) {
    bytes p;
    put(p, v);
    return attr(type, p);
}
SimNl80211Kernel::bytes SimNl80211Kernel::attr_str(uint16_t type, const std::string& s) {
    bytes p(s.begin(), s.end());
    p.push_back(0);
    return attr(type, p);
}
SimNl80211Kernel::bytes SimNl80211Kernel::ssid_ie(const std::string& s) {
    bytes b{0x00, static_cast<uint8_t>(s.size())};
    append(b, s);
    return b;
}

SimNl80211Kernel::bytes SimNl80211Kernel::message(uint16_t type, uint16_t flags, uint32_t seq,
                                                  uint8_t cmd, const bytes& attrs) {
    bytes b;
    put<uint32_t>(b, static_cast<uint32_t>(20 + attrs.size()));
    put<uint16_t>(b, type);
    put<uint16_t>(b, flags);
    put<uint32_t>(b, seq);
    put<uint32_t>(b, 4242);  // port id of the receiver
    b.push_back(cmd);
    b.push_back(1);
    put16(b, 0);
    append(b, attrs);
    return b;
}

SimNl80211Kernel::bytes SimNl80211Kernel::bss_message(uint32_t seq, uint32_t ifindex, const Bss& b,
                                                      int64_t boot_ns, uint16_t extra_flags) {
    bytes n;
    const bytes id(b.bssid.begin(), b.bssid.end());
    n = attr(NL80211_BSS_BSSID, id);
    auto add = [&](const bytes& a) { append(n, a); };
    add(attr_u32(NL80211_BSS_FREQUENCY, b.freq));
    add(attr(NL80211_BSS_PAD, {}));
    add(attr_u64(NL80211_BSS_TSF, 123456789));
    add(attr_u16(NL80211_BSS_BEACON_INTERVAL, 100));
    add(attr_u16(NL80211_BSS_CAPABILITY, b.capability));
    add(attr(b.ies_as_beacon ? NL80211_BSS_BEACON_IES : NL80211_BSS_INFORMATION_ELEMENTS, b.ies));
    if (b.signal_mbm) add(attr_u32(NL80211_BSS_SIGNAL_MBM, static_cast<uint32_t>(*b.signal_mbm)));
    if (b.quality) add(attr(NL80211_BSS_SIGNAL_UNSPEC, {*b.quality}));
    const int64_t age_ns = std::max<int64_t>(boot_ns - b.seen_boot_ns, 0);
    if (b.with_ms_ago)
        add(attr_u32(NL80211_BSS_SEEN_MS_AGO, static_cast<uint32_t>(age_ns / 1000000)));
    if (b.with_boottime) {
        add(attr(NL80211_BSS_PAD, {}));
        add(attr_u64(NL80211_BSS_LAST_SEEN_BOOTTIME, static_cast<uint64_t>(b.seen_boot_ns)));
    }
    add(attr_u32(NL80211_BSS_CHAN_WIDTH, 0));
    bytes top = attr_u32(NL80211_ATTR_GENERATION, 77);
    const bytes ifi = attr_u32(NL80211_ATTR_IFINDEX, ifindex);
    append(top, ifi);
    const bytes bss = attr(NL80211_ATTR_BSS | NLA_F_NESTED, n);
    append(top, bss);
    return message(FAMILY_ID, NLM_F_MULTI | extra_flags, seq, NL80211_CMD_NEW_SCAN_RESULTS, top);
}

// --- set-up ---
void SimNl80211Kernel::set_family(bool present, bool with_scan_group) {
    std::lock_guard<std::mutex> lk(mu_);
    family_ = present;
    scan_group_ = with_scan_group;
}
void SimNl80211Kernel::set_open_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    open_err_ = err;
}
void SimNl80211Kernel::set_join_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    join_err_ = err;
}
void SimNl80211Kernel::set_list_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    list_err_ = err;
}
void SimNl80211Kernel::set_ifaces(std::vector<Iface> ifs) {
    std::lock_guard<std::mutex> lk(mu_);
    const int64_t now = boot_ns_locked();
    for (auto& f : ifs)
        for (auto& b : f.bss) b.seen_boot_ns = now - b.age_ms * 1000000;
    ifs_ = std::move(ifs);
}
void SimNl80211Kernel::set_trigger_errno(uint32_t ifindex, int err) {
    std::lock_guard<std::mutex> lk(mu_);
    if (Iface* f = iface_locked(ifindex)) f->trigger_errno = err;
}
void SimNl80211Kernel::set_dump_errno(uint32_t ifindex, int err) {
    std::lock_guard<std::mutex> lk(mu_);
    if (Iface* f = iface_locked(ifindex)) f->dump_errno = err;
}
void SimNl80211Kernel::add_bss(uint32_t ifindex, Bss b) {
    std::lock_guard<std::mutex> lk(mu_);
    b.seen_boot_ns = boot_ns_locked() - b.age_ms * 1000000;
    if (Iface* f = iface_locked(ifindex)) {
        for (auto& old : f->bss)
            if (old.bssid == b.bssid) {
                old = b;
                return;
            }
        f->bss.push_back(b);
    }
}
void SimNl80211Kernel::clear_bss(uint32_t ifindex) {
    std::lock_guard<std::mutex> lk(mu_);
    if (Iface* f = iface_locked(ifindex)) f->bss.clear();
}
void SimNl80211Kernel::set_per_datagram(int n) {
    std::lock_guard<std::mutex> lk(mu_);
    per_datagram_ = std::max(n, 1);
}
void SimNl80211Kernel::interrupt_dumps(int n) {
    std::lock_guard<std::mutex> lk(mu_);
    interrupt_ = n;
}

void SimNl80211Kernel::send_event(uint8_t cmd, std::optional<uint32_t> ifindex) {
    std::lock_guard<std::mutex> lk(mu_);
    event_locked(cmd, ifindex);
}

// --- inspection ---
int SimNl80211Kernel::triggers(uint32_t ifindex) const {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = triggers_.find(ifindex);
    return it == triggers_.end() ? 0 : it->second;
}
int SimNl80211Kernel::dumps(uint32_t ifindex) const {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = dumps_.find(ifindex);
    return it == dumps_.end() ? 0 : it->second;
}
int SimNl80211Kernel::listings() const {
    std::lock_guard<std::mutex> lk(mu_);
    return listings_;
}
int SimNl80211Kernel::event_sockets() const {
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(
        std::count_if(socks_.begin(), socks_.end(), [](const auto& s) { return s.second.events; }));
}
std::vector<SimNl80211Kernel::bytes> SimNl80211Kernel::requests() const {
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}
int64_t SimNl80211Kernel::boot_ns_now() {
    std::lock_guard<std::mutex> lk(mu_);
    return boot_ns_locked();
}

// --- kernel side ---
int64_t SimNl80211Kernel::boot_ns_locked() const {
    return real_boot_ns() + offset_ms_ * 1000000;
}

SimNl80211Kernel::Iface* SimNl80211Kernel::iface_locked(uint32_t ifindex) {
    for (auto& f : ifs_)
        if (f.ifindex == ifindex) return &f;
    return nullptr;
}

void SimNl80211Kernel::event_locked(uint8_t cmd, std::optional<uint32_t> ifindex) {
    bytes attrs = attr_u32(NL80211_ATTR_WIPHY, 0);
    if (ifindex) {
        const bytes a = attr_u32(NL80211_ATTR_IFINDEX, *ifindex);
        append(attrs, a);
    }
    const bytes msg = message(FAMILY_ID, 0, 0, cmd, attrs);
    for (auto& [h, s] : socks_)
        if (s.events) s.rx.push_back(msg);
    cv_.notify_all();
}

void SimNl80211Kernel::reply_error_locked(int h, const bytes& req, int err) {
    bytes b;
    put<uint32_t>(b, static_cast<uint32_t>(16 + 4 + 16));
    put<uint16_t>(b, NLMSG_ERROR);
    put<uint16_t>(b, err == 0 ? NLM_F_CAPPED : 0);
    put<uint32_t>(b, get<uint32_t>(req, 8));
    put<uint32_t>(b, 4242);
    put<int32_t>(b, -err);
    append(b, ovk_bytes(req.data(), 16));
    socks_[h].rx.push_back(b);
}

void SimNl80211Kernel::send_due_events_locked() {
    const int64_t now = sim_kernel::steady_ms() + offset_ms_;
    while (!timed_.empty() && timed_.front().due_ms <= now) {
        event_locked(timed_.front().cmd, timed_.front().ifindex);
        timed_.pop_front();
    }
}

// The DONE message ends a dump; the kernel puts the dump's result in its payload.
void SimNl80211Kernel::reply_done_locked(int h, uint32_t seq, uint16_t flags,
                                         std::vector<bytes> msgs, int err) {
    bytes done;
    put<uint32_t>(done, 20);
    put<uint16_t>(done, NLMSG_DONE);
    put<uint16_t>(done, static_cast<uint16_t>(NLM_F_MULTI | flags));
    put<uint32_t>(done, seq);
    put<uint32_t>(done, 4242);
    put<int32_t>(done, -err);
    msgs.push_back(done);
    bytes dgram;
    int in = 0;
    for (const auto& m : msgs) {
        append(dgram, m);
        if (++in >= per_datagram_) {
            socks_[h].rx.push_back(dgram);
            dgram.clear();
            in = 0;
        }
    }
    if (!dgram.empty()) socks_[h].rx.push_back(dgram);
}

void SimNl80211Kernel::handle_locked(int h, ovk_bytes msg) {
    const bytes req(msg.begin(), msg.end());
    if (msg.size() < 20 || get<uint32_t>(msg, 0) != msg.size()) {
        reply_error_locked(h, req, EINVAL);
        return;
    }
    const uint16_t type = get<uint16_t>(msg, 4);
    const uint16_t flags = get<uint16_t>(msg, 6);
    const uint32_t seq = get<uint32_t>(msg, 8);
    const uint8_t cmd = msg[16];
    const ovk_bytes attrs = msg.subspan(20);

    if (type == GENL_ID_CTRL && cmd == CTRL_CMD_GETFAMILY) {
        const auto name = find_attr(attrs, CTRL_ATTR_FAMILY_NAME);
        const bool wanted = name && std::string(reinterpret_cast<const char*>(name->data()),
                                                name->size()) == std::string("nl80211", 8);
        if (!family_ || !wanted) {
            reply_error_locked(h, req, ENOENT);
            return;
        }
        bytes a = attr_str(CTRL_ATTR_FAMILY_NAME, "nl80211");
        auto add = [&](const bytes& x) { append(a, x); };
        add(attr_u16(CTRL_ATTR_FAMILY_ID, FAMILY_ID));
        add(attr_u32(CTRL_ATTR_VERSION, 1));
        add(attr_u32(CTRL_ATTR_MAXATTR, 300));
        bytes groups;
        auto group = [&](uint16_t idx, const std::string& gname, uint32_t id) {
            bytes g = attr_u32(CTRL_ATTR_MCAST_GRP_ID, id);
            const bytes n = attr_str(CTRL_ATTR_MCAST_GRP_NAME, gname);
            append(g, n);
            const bytes e = attr(idx | NLA_F_NESTED, g);
            append(groups, e);
        };
        group(1, "config", 5);
        group(2, "scanning", 9);  // a look-alike name that must not match
        if (scan_group_) group(3, "scan", SCAN_GROUP);
        group(4, "regulatory", 8);
        group(5, "mlme", 10);
        add(attr(CTRL_ATTR_MCAST_GROUPS | NLA_F_NESTED, groups));
        socks_[h].rx.push_back(message(GENL_ID_CTRL, 0, seq, CTRL_CMD_NEWFAMILY, a));
        return;
    }
    if (type != FAMILY_ID || !family_) {
        reply_error_locked(h, req, EOPNOTSUPP);
        return;
    }
    const auto ifa = find_attr(attrs, NL80211_ATTR_IFINDEX);
    const uint32_t ifindex = ifa && ifa->size() >= 4 ? get<uint32_t>(*ifa, 0) : 0;

    switch (cmd) {
        case NL80211_CMD_GET_INTERFACE: {
            ++listings_;
            if (list_err_) {
                reply_error_locked(h, req, list_err_);
                return;
            }
            std::vector<bytes> msgs;
            for (const auto& f : ifs_) {
                bytes a = attr_u32(NL80211_ATTR_IFINDEX, f.ifindex);
                auto add = [&](const bytes& x) { append(a, x); };
                add(attr_str(NL80211_ATTR_IFNAME, f.name));
                add(attr_u32(NL80211_ATTR_WIPHY, 0));
                add(attr_u32(NL80211_ATTR_IFTYPE, f.iftype));
                add(attr_u64(NL80211_ATTR_WDEV, f.ifindex + 1ull));
                msgs.push_back(message(FAMILY_ID, NLM_F_MULTI, seq, NL80211_CMD_NEW_INTERFACE, a));
            }
            reply_done_locked(h, seq, 0, std::move(msgs));
            return;
        }
        case NL80211_CMD_TRIGGER_SCAN: {
            Iface* f = iface_locked(ifindex);
            if (!f) {
                reply_error_locked(h, req, ENODEV);
                return;
            }
            ++triggers_[ifindex];
            // A passive scan: no SSID list may be present.
            if (find_attr(attrs, NL80211_ATTR_SCAN_SSIDS)) {
                reply_error_locked(h, req, EINVAL);
                return;
            }
            reply_error_locked(h, req, f->trigger_errno);
            if (f->trigger_errno != 0) return;
            event_locked(NL80211_CMD_TRIGGER_SCAN, ifindex);
            if (f->event_after_trigger) {
                Timed t;
                t.due_ms = sim_kernel::steady_ms() + offset_ms_ + f->scan_ms;
                if (!timed_.empty()) t.due_ms = std::max(t.due_ms, timed_.back().due_ms);
                t.cmd = NL80211_CMD_NEW_SCAN_RESULTS;
                t.ifindex = ifindex;
                timed_.push_back(t);
            }
            return;
        }
        case NL80211_CMD_GET_SCAN: {
            Iface* f = iface_locked(ifindex);
            if (!(flags & NLM_F_DUMP)) {
                reply_error_locked(h, req, EOPNOTSUPP);
                return;
            }
            // The dump itself fails: its DONE message says why.
            if (!f) {
                reply_done_locked(h, seq, 0, {}, ENODEV);
                return;
            }
            ++dumps_[ifindex];
            const bool intr = interrupt_ > 0;
            if (intr) --interrupt_;
            const int64_t now = boot_ns_locked();
            std::vector<bytes> msgs;
            const bool fails = f->dump_errno != 0;
            const size_t n = intr || fails ? f->bss.size() / 2 : f->bss.size();
            for (size_t i = 0; i < n; ++i) {
                const uint16_t fl = (intr && i >= n / 2) ? NLM_F_DUMP_INTR : 0;
                msgs.push_back(bss_message(seq, ifindex, f->bss[i], now, fl));
            }
            reply_done_locked(h, seq, intr ? NLM_F_DUMP_INTR : 0, std::move(msgs), f->dump_errno);
            return;
        }
        default:
            reply_error_locked(h, req, EOPNOTSUPP);
    }
}

// --- OVK_NL_IO ---
int SimNl80211Kernel::open() {
    std::lock_guard<std::mutex> lk(mu_);
    if (open_err_) return -open_err_;
    return add_sock_locked();
}

void SimNl80211Kernel::close(int h) {
    std::lock_guard<std::mutex> lk(mu_);
    socks_.erase(h);
}

int SimNl80211Kernel::join_group(int h, uint32_t group) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    if (join_err_) return -join_err_;
    if (group != SCAN_GROUP) return -EINVAL;
    it->second.events = true;
    return 0;
}

long SimNl80211Kernel::send(int h, ovk_bytes msg) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!socks_.count(h)) return -EBADF;
    requests_.emplace_back(msg.begin(), msg.end());
    handle_locked(h, msg);
    cv_.notify_all();
    return static_cast<long>(msg.size());
}

long SimNl80211Kernel::recv(int h, std::span<uint8_t> buf, bool dontwait) {
    std::unique_lock<std::mutex> lk(mu_);
    send_due_events_locked();
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    if (it->second.rx.empty()) {
        if (dontwait) return -EAGAIN;
        cv_.wait(lk, [&] {
            auto i = socks_.find(h);
            return i == socks_.end() || !i->second.rx.empty();
        });
        it = socks_.find(h);
        if (it == socks_.end()) return -EBADF;
    }
    const bytes d = std::move(it->second.rx.front());
    it->second.rx.pop_front();
    const size_t n = std::min(buf.size(), d.size());
    std::copy_n(d.begin(), n, buf.begin());
    return static_cast<long>(n);
}

int SimNl80211Kernel::poll(int h, int timeout_ms, short& revents) {
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lk(mu_);
    auto ready = [&] {
        auto it = socks_.find(h);
        return it == socks_.end() || !it->second.rx.empty();
    };
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        send_due_events_locked();
        if (ready() || clock::now() >= deadline) break;
        auto wake = deadline;
        if (!timed_.empty()) {
            const int64_t in = std::max<int64_t>(
                timed_.front().due_ms - (sim_kernel::steady_ms() + offset_ms_), 0);
            wake = std::min(wake, clock::now() + std::chrono::milliseconds(in));
        }
        cv_.wait_until(lk, wake);
    }
    auto it = socks_.find(h);
    revents = it == socks_.end() ? POLLNVAL : (!it->second.rx.empty() ? POLLIN : 0);
    return revents ? 1 : 0;
}

int64_t SimNl80211Kernel::now_ms() {
    return clock_wall_ms();
}

int64_t SimNl80211Kernel::mono_ms() {
    return clock_mono_ms();
}

int64_t SimNl80211Kernel::boot_ns() {
    std::lock_guard<std::mutex> lk(mu_);
    return boot_ns_locked();
}

void SimNl80211Kernel::sleep_ms(int ms) {
    clock_sleep_ms(ms);
}
