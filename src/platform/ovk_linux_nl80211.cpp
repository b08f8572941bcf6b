// SPDX-License-Identifier: GPL-3.0-or-later
// Wi-Fi scanner over generic netlink (nl80211).
//
// Index
//   1. Helpers
//   2. Message building
//   3. Message, attribute and BSS parsing
//   4. Kernel I/O
//   5. The scanner thread (family, interfaces, triggers, dumps, events, the cycle)
//   6. Scanner object and the process-wide scanner
#include "ovk_linux_nl80211.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <poll.h>
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
#include <vector>

#include "ovk_radio.h"
#include "ovk_util.h"
#include "zq_log.h"

// ---------------------------------------------------------------------------------------
// 1. Helpers
// ---------------------------------------------------------------------------------------
namespace {

constexpr size_t align4(size_t n) {
    return (n + 3) & ~size_t{3};
}

template <typename T>
T load(ovk_bytes b, size_t off = 0) {
    T v{};
    if (off + sizeof v <= b.size()) std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

template <typename T>
std::optional<T> attr_val(const OVK_NL_ATTR& a) {
    if (!a || a->size() < sizeof(T)) return std::nullopt;
    return load<T>(*a);
}

// Calls fn(type, payload) for each attribute; the same stop rules as ovk_linux_wifi_attrs.
template <typename Fn>
void for_each_attr(ovk_bytes p, Fn&& fn) {
    size_t off = 0;
    while (off + 4 <= p.size()) {
        const auto len = load<uint16_t>(p, off);
        const auto type = static_cast<uint16_t>(load<uint16_t>(p, off + 2) & NLA_TYPE_MASK);
        if (len < 4 || len > p.size() - off) break;
        fn(type, p.subspan(off + 4, len - 4u));
        off += align4(len);
    }
}

constexpr size_t RECV_BUF = 65536;
constexpr int64_t ANSWER_WAIT_MS = 3000;
constexpr int SLICE_MS = 250;
constexpr size_t MAX_IFS = 8;

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Building
// ---------------------------------------------------------------------------------------
void ovk_linux_wifi_msg_init(OVK_NL_MSG& m, uint16_t type, uint16_t flags, uint32_t seq,
                             uint8_t cmd, uint8_t version) {
    m.b.fill(0);
    nlmsghdr h{};
    h.nlmsg_len = OVK_NL_HDRLEN + OVK_GENL_HDRLEN;
    h.nlmsg_type = type;
    h.nlmsg_flags = flags;
    h.nlmsg_seq = seq;
    h.nlmsg_pid = 0;
    std::memcpy(m.b.data(), &h, sizeof h);
    genlmsghdr g{};
    g.cmd = cmd;
    g.version = version;
    std::memcpy(m.b.data() + OVK_NL_HDRLEN, &g, sizeof g);
    m.len = h.nlmsg_len;
}

int ovk_linux_wifi_msg_put(OVK_NL_MSG& m, uint16_t type, ovk_bytes payload) {
    const size_t alen = 4 + payload.size();
    if (alen > 0xFFFF || m.len + align4(alen) > m.b.size()) return -1;
    const auto l16 = static_cast<uint16_t>(alen);
    std::memcpy(m.b.data() + m.len, &l16, 2);
    std::memcpy(m.b.data() + m.len + 2, &type, 2);
    if (!payload.empty()) std::memcpy(m.b.data() + m.len + 4, payload.data(), payload.size());
    m.len += align4(alen);
    const auto total = static_cast<uint32_t>(m.len);
    std::memcpy(m.b.data(), &total, 4);
    return 0;
}

int ovk_linux_wifi_msg_put_u32(OVK_NL_MSG& m, uint16_t type, uint32_t v) {
    std::array<uint8_t, 4> b{};
    std::memcpy(b.data(), &v, 4);
    return ovk_linux_wifi_msg_put(m, type, b);
}

int ovk_linux_wifi_msg_put_str(OVK_NL_MSG& m, uint16_t type, std::string_view s) {
    std::array<uint8_t, 256> b{};
    if (s.size() + 1 > b.size()) return -1;
    std::memcpy(b.data(), s.data(), s.size());
    return ovk_linux_wifi_msg_put(m, type, ovk_bytes(b.data(), s.size() + 1));
}

// ---------------------------------------------------------------------------------------
// 3. Parsing
// ---------------------------------------------------------------------------------------
void ovk_linux_wifi_attrs(ovk_bytes payload, std::span<OVK_NL_ATTR> table) {
    for (auto& a : table) a.reset();
    for_each_attr(payload, [&](uint16_t type, ovk_bytes data) {
        if (type < table.size()) table[type] = data;
    });
}

void ovk_linux_wifi_walk(ovk_bytes d, uint32_t seq, OVK_NL_WALK& w, const OVK_NL_ANSWER_FN& fn) {
    size_t off = 0;
    while (!w.done && off + OVK_NL_HDRLEN <= d.size()) {
        const auto len = load<uint32_t>(d, off);
        const auto type = load<uint16_t>(d, off + 4);
        const auto flags = load<uint16_t>(d, off + 6);
        const auto mseq = load<uint32_t>(d, off + 8);
        if (len < OVK_NL_HDRLEN || len > d.size() - off) break;
        const ovk_bytes msg = d.subspan(off, len);
        off += align4(len);
        if (mseq != seq) continue;
        if (flags & NLM_F_DUMP_INTR) w.interrupted = true;
        if (type == NLMSG_DONE) {
            // A dump that failed part-way (the interface vanished, ...) carries the error
            // in the payload of its DONE message.
            int e = 0;
            if (msg.size() >= OVK_NL_HDRLEN + 4) e = load<int32_t>(msg, OVK_NL_HDRLEN);
            if (e > 0) e = -e;
            if (e < -4095) e = -EIO;
            w.done = true;
            w.result = e;
        } else if (type == NLMSG_ERROR) {
            int e = -EIO;
            if (msg.size() >= OVK_NL_HDRLEN + 4) e = load<int32_t>(msg, OVK_NL_HDRLEN);
            if (e > 0) e = -e;
            if (e < -4095) e = -EIO;
            w.done = true;
            w.result = e;
        } else if (type >= NLMSG_MIN_TYPE && msg.size() >= OVK_NL_HDRLEN + OVK_GENL_HDRLEN) {
            ++w.answers;
            if (fn) fn(msg.subspan(OVK_NL_HDRLEN + OVK_GENL_HDRLEN));
            if (!(flags & NLM_F_MULTI)) w.done = true;
        }
    }
}

void ovk_linux_wifi_parse_family(ovk_bytes attrs, OVK_NL_FAMILY& out) {
    std::array<OVK_NL_ATTR, CTRL_ATTR_MCAST_GROUPS + 1> t;
    ovk_linux_wifi_attrs(attrs, t);
    if (auto id = attr_val<uint16_t>(t[CTRL_ATTR_FAMILY_ID])) out.family = *id;
    if (!t[CTRL_ATTR_MCAST_GROUPS]) return;
    for_each_attr(*t[CTRL_ATTR_MCAST_GROUPS], [&](uint16_t, ovk_bytes grp) {
        std::array<OVK_NL_ATTR, CTRL_ATTR_MCAST_GRP_ID + 1> g;
        ovk_linux_wifi_attrs(grp, g);
        const auto id = attr_val<uint32_t>(g[CTRL_ATTR_MCAST_GRP_ID]);
        if (!id || !g[CTRL_ATTR_MCAST_GRP_NAME]) return;
        const ovk_bytes name = *g[CTRL_ATTR_MCAST_GRP_NAME];
        const auto nul = std::find(name.begin(), name.end(), uint8_t{0});
        const std::string_view s(reinterpret_cast<const char*>(name.data()),
                                 static_cast<size_t>(nul - name.begin()));
        if (s == "scan") out.scan_grp = *id;
    });
}

namespace {

// The SSID element into `buf`: length, or -1 for no name (absent, empty or all zero bytes).
int ssid_into(ovk_bytes ies, std::array<char, 32>& buf) {
    size_t off = 0;
    while (off + 2 <= ies.size()) {
        const uint8_t id = ies[off];
        const size_t len = ies[off + 1];
        if (off + 2 + len > ies.size()) return -1;
        if (id == 0) {
            const ovk_bytes s = ies.subspan(off + 2, len);
            if (std::all_of(s.begin(), s.end(), [](uint8_t c) { return c == 0; })) return -1;
            const size_t n = std::min<size_t>(s.size(), buf.size());
            for (size_t i = 0; i < n; ++i) {
                const uint8_t c = s[i];
                buf[i] = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
            }
            return static_cast<int>(n);
        }
        off += 2 + len;
    }
    return -1;
}

// Looks the sighting up: true when it is a repeat of a delivered one.
bool seen_before(OVK_NL_SEEN_RING& r, const uint8_t* bssid, uint64_t stamp) {
    for (size_t i = 0; i < r.n_seen; ++i) {
        OVK_NL_SEEN& s = r.seen[i];
        if (!std::equal(s.bssid.begin(), s.bssid.end(), bssid)) continue;
        if (s.stamp == stamp) return true;
        s.stamp = stamp;
        return false;
    }
    OVK_NL_SEEN* slot;
    if (r.n_seen < OVK_NL_SEEN_MAX) {
        slot = &r.seen[r.n_seen++];
    } else {
        slot = &r.seen[r.seen_next];
        r.seen_next = (r.seen_next + 1) % OVK_NL_SEEN_MAX;
    }
    std::copy_n(bssid, 6, slot->bssid.begin());
    slot->stamp = stamp;
    return false;
}

}  // namespace

std::optional<std::string> ovk_linux_wifi_ssid(ovk_bytes ies) {
    std::array<char, 32> buf{};
    const int n = ssid_into(ies, buf);
    if (n < 0) return std::nullopt;
    return std::string(buf.data(), static_cast<size_t>(n));
}

void ovk_linux_wifi_parse_scan(ovk_bytes attrs, OVK_NL_SEEN_RING& ring, OVK_NL_DUMP& d,
                               const std::function<void(OVK_ADVERT_PTR)>& out) {
    std::array<OVK_NL_ATTR, NL80211_ATTR_BSS + 1> top;
    ovk_linux_wifi_attrs(attrs, top);
    if (!top[NL80211_ATTR_BSS]) return;
    std::array<OVK_NL_ATTR, NL80211_BSS_LAST_SEEN_BOOTTIME + 1> b;
    ovk_linux_wifi_attrs(*top[NL80211_ATTR_BSS], b);

    const OVK_NL_ATTR& bssid_a = b[NL80211_BSS_BSSID];
    if (!bssid_a || bssid_a->size() < 6) return;
    const uint8_t* bssid = bssid_a->data();
    ++d.total;

    int64_t age = 0;
    uint64_t stamp = 0;
    if (auto boot = attr_val<uint64_t>(b[NL80211_BSS_LAST_SEEN_BOOTTIME])) {
        stamp = *boot;
        const auto now = static_cast<uint64_t>(std::max<int64_t>(d.boot_ns, 0));
        age = stamp < now ? static_cast<int64_t>((now - stamp) / 1000000) : 0;
    } else if (auto ago = attr_val<uint32_t>(b[NL80211_BSS_SEEN_MS_AGO])) {
        age = *ago;
        const int64_t seen = d.boot_ns / 1000000 - age;
        stamp = seen > 0 ? static_cast<uint64_t>(seen / 100) : 0;
    }
    if (age > d.stale_ms) return;
    if (stamp != 0 && seen_before(ring, bssid, stamp)) return;

    ovk_bytes ies;
    if (b[NL80211_BSS_INFORMATION_ELEMENTS])
        ies = *b[NL80211_BSS_INFORMATION_ELEMENTS];
    else if (b[NL80211_BSS_BEACON_IES])
        ies = *b[NL80211_BSS_BEACON_IES];
    const int freq = static_cast<int>(attr_val<uint32_t>(b[NL80211_BSS_FREQUENCY]).value_or(0));

    int signal = -100;
    if (auto mbm = attr_val<int32_t>(b[NL80211_BSS_SIGNAL_MBM])) {
        signal = *mbm / 100;
    } else if (auto q = attr_val<uint8_t>(b[NL80211_BSS_SIGNAL_UNSPEC])) {
        // quality 0..100 maps onto -100..-40 dBm; larger values are clamped
        signal = std::min<int>(*q, 100) * 60 / 100 - 100;
    }
    const int privacy = (attr_val<uint16_t>(b[NL80211_BSS_CAPABILITY]).value_or(0) >> 4) & 1;

    const std::string mac = ovk_mac_from_bytes(ovk_bytes(bssid, 6), false);
    std::array<char, 32> ssid{};
    const int ssid_len = ssid_into(ies, ssid);
    std::optional<std::string_view> name;
    if (ssid_len >= 0) name = std::string_view(ssid.data(), static_cast<size_t>(ssid_len));
    const std::string caps = ovk_wifi_caps_from_ies(ies, privacy, 128);

    OVK_ADVERT_PTR a = ovk_advert_new_wifi(mac, name, signal, freq, std::string_view(caps),
                                           std::nullopt, ies, d.now_ms - age);
    if (!a) return;
    ++d.emitted;
    if (out) out(std::move(a));
}

// ---------------------------------------------------------------------------------------
// 4. Kernel I/O
// ---------------------------------------------------------------------------------------
namespace {

class kernel_io final : public OVK_NL_IO {
  public:
    int open() override {
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
        if (fd < 0) return -errno;
        sockaddr_nl a{};
        a.nl_family = AF_NETLINK;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
            const int e = errno;
            ::close(fd);
            return -e;
        }
        return fd;
    }
    void close(int h) override {
        if (h >= 0) ::close(h);
    }
    int join_group(int h, uint32_t group) override {
        if (::setsockopt(h, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) < 0)
            return -errno;
        return 0;
    }
    long send(int h, ovk_bytes msg) override {
        sockaddr_nl to{};
        to.nl_family = AF_NETLINK;
        for (;;) {
            const ssize_t n =
                ::sendto(h, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            if (n >= 0) return static_cast<long>(n);
            if (errno != EINTR) return -errno;
        }
    }
    long recv(int h, std::span<uint8_t> buf, bool dontwait) override {
        const ssize_t n = ::recv(h, buf.data(), buf.size(), dontwait ? MSG_DONTWAIT : 0);
        return n < 0 ? -errno : static_cast<long>(n);
    }
    int poll(int h, int timeout_ms, short& revents) override {
        pollfd p{h, POLLIN, 0};
        const int r = ::poll(&p, 1, timeout_ms);
        if (r < 0) return -errno;
        revents = p.revents;
        return r;
    }
    int64_t now_ms() override { return ovk_linux_now_ms(); }
    int64_t mono_ms() override { return ovk_linux_mono_ms(); }
    int64_t boot_ns() override { return ovk_linux_boot_ns(); }
    void sleep_ms(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

std::shared_ptr<OVK_NL_IO> ovk_linux_wifi_kernel_io() {
    return std::make_shared<kernel_io>();
}

// ---------------------------------------------------------------------------------------
// 5. The scanner thread
// ---------------------------------------------------------------------------------------
struct OVK_WIFI_SCANNER::Impl : OVK_SCANNER_CORE {
    Impl() : OVK_SCANNER_CORE("WiFi: stopped") {}

    std::shared_ptr<OVK_NL_IO> io;
    int interval_ms = 30000;
    std::string iface;

    void run() noexcept;
};

namespace {

// OVK_NL_CTX: the thread's state.
struct OVK_NL_CTX {
    int fd = -1;
    int ev_fd = -1;
    uint16_t family = 0;
    uint32_t scan_grp = 0;
    uint32_t seq = 0;
    std::vector<OVK_NL_IF> ifs;
    std::unique_ptr<uint8_t[]> buf;
    OVK_NL_SEEN_RING ring;
    int64_t stale_ms = 0;
};

class wifi_thread {
  public:
    wifi_thread(OVK_WIFI_SCANNER::Impl& m, OVK_NL_CTX& c) : m_(m), io_(*m.io), c_(c) {
        out_ = [this](OVK_ADVERT_PTR a) {
            if (m_.sink.on_advert) m_.sink.on_advert(std::move(a));
        };
    }

    void run() {
        c_.stale_ms = 2LL * m_.interval_ms;
        c_.fd = io_.open();
        if (c_.fd < 0) {
            m_.set_fault("cannot reach the kernel", "WiFi: netlink socket: %s",
                         ovk_errno_text(c_.fd).c_str());
            return;
        }
        if (!resolve()) {
            if (!stopping())
                m_.set_fault("has no wireless driver",
                             "WiFi: nl80211 not available (no wireless driver?)");
            close_all();
            return;
        }
        open_events();
        cycle();
        close_all();
    }

  private:
    bool stopping() const { return m_.stop_flag.load(); }
    std::span<uint8_t> buf() { return {c_.buf.get(), RECV_BUF}; }

    void close_all() {
        if (c_.ev_fd >= 0) io_.close(c_.ev_fd);
        if (c_.fd >= 0) io_.close(c_.fd);
        c_.ev_fd = c_.fd = -1;
    }

    // Sends one request and reads its answers: 0, or a negative error number (-ETIMEDOUT
    // after 3 s of silence, -EINTR when the scanner is being stopped).
    int exchange(const OVK_NL_MSG& m, const OVK_NL_ANSWER_FN& fn, bool* interrupted = nullptr) {
        const uint32_t seq = load<uint32_t>(m.bytes(), 8);
        const long s = io_.send(c_.fd, m.bytes());
        if (s < 0) return static_cast<int>(s);
        OVK_NL_WALK w;
        while (!w.done) {
            const int64_t deadline = io_.mono_ms() + ANSWER_WAIT_MS;
            for (;;) {
                if (stopping()) return -EINTR;
                const int64_t left = deadline - io_.mono_ms();
                if (left <= 0) return -ETIMEDOUT;
                short rev = 0;
                const int r =
                    io_.poll(c_.fd, static_cast<int>(std::min<int64_t>(left, SLICE_MS)), rev);
                if (r == -EINTR || r == 0) continue;
                if (r < 0) return r;
                break;
            }
            const long n = io_.recv(c_.fd, buf(), false);
            if (n == -EINTR || n == -EAGAIN) continue;
            if (n < 0) return static_cast<int>(n);
            ovk_linux_wifi_walk(ovk_bytes(c_.buf.get(), static_cast<size_t>(n)), seq, w, fn);
        }
        if (interrupted) *interrupted = w.interrupted;
        return w.result;
    }

    bool resolve() {
        OVK_NL_MSG m;
        ovk_linux_wifi_msg_init(m, GENL_ID_CTRL, NLM_F_REQUEST, ++c_.seq, CTRL_CMD_GETFAMILY);
        ovk_linux_wifi_msg_put_str(m, CTRL_ATTR_FAMILY_NAME, "nl80211");
        OVK_NL_FAMILY fam;
        const int r =
            exchange(m, [&](ovk_bytes attrs) { ovk_linux_wifi_parse_family(attrs, fam); });
        if (r < 0 || fam.family == 0) {
            zq_log(LOG_DEBUG, "nl80211: family lookup: %s",
                   r < 0 ? ovk_errno_text(r).c_str() : "no family id");
            return false;
        }
        c_.family = fam.family;
        c_.scan_grp = fam.scan_grp;
        return true;
    }

    void open_events() {
        if (c_.scan_grp == 0) return;
        int h = io_.open();
        int r = h < 0 ? h : io_.join_group(h, c_.scan_grp);
        if (r < 0) {
            zq_log(LOG_INFO, "nl80211: cannot join the scan group: %s", ovk_errno_text(r).c_str());
            if (h >= 0) io_.close(h);
            h = -1;
        }
        c_.ev_fd = h;
    }

    // Fresh interface list; 0 or a negative error (the old list is then kept).
    int list_ifs() {
        OVK_NL_MSG m;
        ovk_linux_wifi_msg_init(m, c_.family, NLM_F_REQUEST | NLM_F_DUMP, ++c_.seq,
                                NL80211_CMD_GET_INTERFACE);
        std::vector<OVK_NL_IF> fresh;
        fresh.reserve(MAX_IFS);
        const int r = exchange(m, [&](ovk_bytes attrs) {
            std::array<OVK_NL_ATTR, NL80211_ATTR_IFTYPE + 1> t;
            ovk_linux_wifi_attrs(attrs, t);
            const auto idx = attr_val<uint32_t>(t[NL80211_ATTR_IFINDEX]);
            if (!idx || !t[NL80211_ATTR_IFNAME]) return;
            if (attr_val<uint32_t>(t[NL80211_ATTR_IFTYPE]) == NL80211_IFTYPE_MONITOR) return;
            const ovk_bytes nb = *t[NL80211_ATTR_IFNAME];
            const auto nul = std::find(nb.begin(), nb.end(), uint8_t{0});
            std::string name(reinterpret_cast<const char*>(nb.data()),
                             std::min<size_t>(static_cast<size_t>(nul - nb.begin()), 31));
            if (!m_.iface.empty() && name != m_.iface) return;
            if (fresh.size() >= MAX_IFS) return;
            for (const auto& f : fresh)
                if (f.ifindex == *idx) return;
            OVK_NL_IF f;
            for (const auto& old : c_.ifs)
                if (old.ifindex == *idx) f = old;
            f.ifindex = *idx;
            f.name = std::move(name);
            fresh.push_back(std::move(f));
        });
        if (r < 0) return r;
        c_.ifs = std::move(fresh);
        return 0;
    }

    void trigger(OVK_NL_IF& f) {
        if (f.no_trigger) return;
        OVK_NL_MSG m;
        ovk_linux_wifi_msg_init(m, c_.family, NLM_F_REQUEST | NLM_F_ACK, ++c_.seq,
                                NL80211_CMD_TRIGGER_SCAN);
        ovk_linux_wifi_msg_put_u32(m, NL80211_ATTR_IFINDEX, f.ifindex);
        const int r = exchange(m, nullptr);
        f.trig_err = -r;
        if (r == -EPERM || r == -EACCES) {
            f.no_trigger = true;
            zq_log(LOG_INFO, "WiFi %s: no CAP_NET_ADMIN, relying on system scans", f.name.c_str());
        }
    }

    int dump_once(OVK_NL_IF& f, OVK_NL_DUMP& d, bool* interrupted) {
        d.now_ms = io_.now_ms();
        d.boot_ns = io_.boot_ns();
        d.stale_ms = c_.stale_ms;
        d.total = 0;
        OVK_NL_MSG m;
        ovk_linux_wifi_msg_init(m, c_.family, NLM_F_REQUEST | NLM_F_DUMP, ++c_.seq,
                                NL80211_CMD_GET_SCAN);
        ovk_linux_wifi_msg_put_u32(m, NL80211_ATTR_IFINDEX, f.ifindex);
        return exchange(
            m, [&](ovk_bytes attrs) { ovk_linux_wifi_parse_scan(attrs, c_.ring, d, out_); },
            interrupted);
    }

    void dump(OVK_NL_IF& f) {
        OVK_NL_DUMP d;
        bool interrupted = false;
        int r = dump_once(f, d, &interrupted);
        if (r == 0 && interrupted && !stopping()) {
            // The BSS list changed while it was read: read it once more. Entries already
            // delivered come again with the same last-seen time and are filtered.
            zq_log(LOG_DEBUG, "WiFi %s: scan dump interrupted, reading again", f.name.c_str());
            r = dump_once(f, d, &interrupted);
        }
        if (r < 0) {
            if (r == -EINTR && stopping()) return;
            // A new failure is worth a warning; the same one again each cycle is not.
            zq_log(f.dump_err == -r ? LOG_DEBUG : LOG_WARNING, "WiFi %s: scan dump: %s",
                   f.name.c_str(), ovk_errno_text(r).c_str());
            f.dump_err = -r;
            return;
        }
        f.dump_err = 0;
        f.last_count = d.total;
    }

    void read_events() {
        for (;;) {
            const long n = io_.recv(c_.ev_fd, buf(), true);
            if (n == -EINTR) continue;
            if (n == -ENOBUFS) {
                // Events were lost: any interface may have new results.
                for (auto& f : c_.ifs) f.marked = true;
                continue;
            }
            if (n < 0) return;
            const ovk_bytes d(c_.buf.get(), static_cast<size_t>(n));
            size_t off = 0;
            while (off + OVK_NL_HDRLEN <= d.size()) {
                const auto len = load<uint32_t>(d, off);
                const auto type = load<uint16_t>(d, off + 4);
                if (len < OVK_NL_HDRLEN || len > d.size() - off) break;
                const ovk_bytes msg = d.subspan(off, len);
                off += align4(len);
                if (type != c_.family || msg.size() < OVK_NL_HDRLEN + OVK_GENL_HDRLEN) continue;
                const uint8_t cmd = msg[OVK_NL_HDRLEN];
                if (cmd != NL80211_CMD_NEW_SCAN_RESULTS && cmd != NL80211_CMD_SCAN_ABORTED)
                    continue;
                std::array<OVK_NL_ATTR, NL80211_ATTR_IFINDEX + 1> t;
                ovk_linux_wifi_attrs(msg.subspan(OVK_NL_HDRLEN + OVK_GENL_HDRLEN), t);
                const auto idx = attr_val<uint32_t>(t[NL80211_ATTR_IFINDEX]);
                for (auto& f : c_.ifs)
                    if (!idx || f.ifindex == *idx) f.marked = true;
            }
        }
    }

    std::string state_text(const OVK_NL_IF& f) const {
        if (f.dump_err) return "scan dump failed: " + ovk_errno_text(f.dump_err);
        if (f.no_trigger) return "system scans (scan trigger needs CAP_NET_ADMIN)";
        if (f.trig_err == ENETDOWN) return "interface down";
        if (f.trig_err == 0 || f.trig_err == EBUSY) return "passive scan";
        return ovk_errno_text(f.trig_err);
    }

    void show_status() {
        if (c_.ifs.empty()) {
            if (!m_.iface.empty())
                m_.set_fault("has no such interface", "WiFi: interface %s not found",
                             m_.iface.c_str());
            else
                m_.set_fault("has no adapter", "WiFi: no wireless interface");
            return;
        }
        const OVK_NL_IF& f = c_.ifs.front();
        const std::string st = state_text(f);
        // Interfaces that are all down hear nothing.
        const bool all_down = std::all_of(c_.ifs.begin(), c_.ifs.end(), [](const OVK_NL_IF& i) {
            return i.trig_err == ENETDOWN;
        });
        if (all_down && c_.ifs.size() == 1)
            m_.set_fault("is off", "WiFi %s: %d networks, %s", f.name.c_str(), f.last_count,
                         st.c_str());
        else if (all_down)
            m_.set_fault("is off", "WiFi %s +%d: %d networks, %s", f.name.c_str(),
                         static_cast<int>(c_.ifs.size() - 1), f.last_count, st.c_str());
        else if (c_.ifs.size() == 1)
            m_.set_status("WiFi %s: %d networks, %s", f.name.c_str(), f.last_count, st.c_str());
        else
            m_.set_status("WiFi %s +%d: %d networks, %s", f.name.c_str(),
                          static_cast<int>(c_.ifs.size() - 1), f.last_count, st.c_str());
    }

    void cycle() {
        int64_t due = io_.mono_ms();
        bool list_failed = false;
        while (!stopping()) {
            if (io_.mono_ms() >= due) {
                due = io_.mono_ms() + m_.interval_ms;
                if (list_ifs() < 0) {
                    if (stopping()) break;
                    m_.set_fault("cannot list its interfaces", "WiFi: cannot list interfaces");
                    list_failed = true;
                } else {
                    list_failed = false;
                    const bool mark_all = c_.ev_fd < 0 || c_.ring.n_seen == 0;
                    for (auto& f : c_.ifs) {
                        f.marked = false;
                        if (stopping()) break;
                        trigger(f);
                        if (f.trig_err != 0 || mark_all) f.marked = true;
                    }
                }
            }
            for (auto& f : c_.ifs) {
                if (stopping()) break;
                if (!f.marked) continue;
                f.marked = false;
                dump(f);
            }
            if (stopping()) break;
            if (!list_failed) show_status();

            const int64_t left = due - io_.mono_ms();
            if (left <= 0) continue;
            const int wait = static_cast<int>(std::min<int64_t>(left, SLICE_MS));
            if (c_.ev_fd >= 0) {
                short rev = 0;
                const int r = io_.poll(c_.ev_fd, wait, rev);
                if (r > 0) read_events();
            } else {
                io_.sleep_ms(wait);
            }
        }
    }

    OVK_WIFI_SCANNER::Impl& m_;
    OVK_NL_IO& io_;
    OVK_NL_CTX& c_;
    std::function<void(OVK_ADVERT_PTR)> out_;
};

}  // namespace

void OVK_WIFI_SCANNER::Impl::run() noexcept {
    run_guarded("WiFi scanner", [this] {
        std::unique_ptr<OVK_NL_CTX> ctx(new (std::nothrow) OVK_NL_CTX());
        if (ctx) ctx->buf.reset(new (std::nothrow) uint8_t[RECV_BUF]);
        if (!ctx || !ctx->buf) {
            OVK_LOG_ALLOC_FAIL(uint8_t, RECV_BUF, buf);
            set_fault("failed", "WiFi: out of memory");
        } else {
            wifi_thread(*this, *ctx).run();
        }
    });
}

// ---------------------------------------------------------------------------------------
// 6. Scanner object and the process-wide scanner
// ---------------------------------------------------------------------------------------
OVK_WIFI_SCANNER::OVK_WIFI_SCANNER(std::shared_ptr<OVK_NL_IO> io, OVK_SINK sink)
    : p_(std::make_unique<Impl>()) {
    p_->io = std::move(io);
    p_->sink = std::move(sink);
    core_ = p_.get();
}

OVK_WIFI_SCANNER::~OVK_WIFI_SCANNER() {
    stop();
}

int OVK_WIFI_SCANNER::start(const OVK_SCAN_OPTS& opts) {
    stop();
    OVK_CHECK(p_->io, -1);
    int iv = opts.wifi_interval_ms;
    if (iv <= 0) iv = 30000;
    if (iv < 5000) iv = 5000;
    p_->interval_ms = iv;
    p_->iface = opts.wifi_iface.substr(0, 31);
    return p_->start_thread([impl = p_.get()] { impl->run(); }, "WiFi: starting",
                            "WiFi: cannot start the scanner thread");
}

int OVK_WIFI_SCANNER::interval_ms() const {
    return p_->interval_ms;
}

namespace {

// The kernel's sockets come through the radio helper when it runs (ovk_radio).
using process_scanner = OVK_PROCESS_SCANNER<OVK_WIFI_SCANNER, ovk_radio_nl_io>;

}  // namespace

int ovk_linux_wifi_start(const OVK_SCAN_OPTS* opts) {
    OVK_CHECK(opts, -1);
    return ovk_linux_wifi_start(*opts);
}

int ovk_linux_wifi_start(const OVK_SCAN_OPTS& opts) {
    return process_scanner::start(opts);
}

void ovk_linux_wifi_stop() {
    process_scanner::stop();
}

std::string ovk_linux_wifi_status() {
    return process_scanner::status();
}

std::string ovk_linux_wifi_fault() {
    return process_scanner::fault();
}
