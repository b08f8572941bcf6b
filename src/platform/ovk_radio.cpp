// SPDX-License-Identifier: GPL-3.0-or-later
// The radio helper's channels: framing, the helper's serving loops with their command
// checks, the scanners' client side, and starting the helper.
#include "ovk_radio.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Records on the wire
// ---------------------------------------------------------------------------------------

constexpr size_t kFilterSize = 4 + 4 + 4 + 2;
constexpr size_t kDevListSize = 2 + OVK_HCI_MAX_DEV * (2 + 4);
constexpr size_t kDevInfoSize = 2 + 8 + 6 + 4 + 1 + 8;
constexpr size_t kHciPacketMax = 4 + 255;

template <class T>
void put(std::vector<uint8_t>& out, T v) {
    uint8_t b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

// Reads a value at `at` of a payload whose size was checked beforehand.
template <class T>
T get(std::span<const uint8_t> in, size_t& at) {
    T v{};
    std::memcpy(&v, in.data() + at, sizeof v);
    at += sizeof v;
    return v;
}

std::vector<uint8_t> filter_bytes(const OVK_HCI_FILTER_T& f) {
    std::vector<uint8_t> out;
    put(out, f.type_mask);
    put(out, f.event_mask[0]);
    put(out, f.event_mask[1]);
    put(out, f.opcode);
    return out;
}

OVK_HCI_FILTER_T filter_from(std::span<const uint8_t> in) {
    OVK_HCI_FILTER_T f;
    size_t at = 0;
    f.type_mask = get<uint32_t>(in, at);
    f.event_mask[0] = get<uint32_t>(in, at);
    f.event_mask[1] = get<uint32_t>(in, at);
    f.opcode = get<uint16_t>(in, at);
    return f;
}

std::vector<uint8_t> dev_list_bytes(const OVK_HCI_DEV_LIST& l) {
    std::vector<uint8_t> out;
    put(out, l.dev_num);
    for (const OVK_HCI_DEV_REQ& r : l.dev_req) {
        put(out, r.dev_id);
        put(out, r.dev_opt);
    }
    return out;
}

OVK_HCI_DEV_LIST dev_list_from(std::span<const uint8_t> in) {
    OVK_HCI_DEV_LIST l;
    size_t at = 0;
    l.dev_num = std::min<uint16_t>(get<uint16_t>(in, at), OVK_HCI_MAX_DEV);
    for (OVK_HCI_DEV_REQ& r : l.dev_req) {
        r.dev_id = get<uint16_t>(in, at);
        r.dev_opt = get<uint32_t>(in, at);
    }
    return l;
}

std::vector<uint8_t> dev_info_bytes(const OVK_HCI_DEV_INFO& d) {
    std::vector<uint8_t> out;
    put(out, d.dev_id);
    out.insert(out.end(), d.name.begin(), d.name.end());
    out.insert(out.end(), d.bdaddr.begin(), d.bdaddr.end());
    put(out, d.flags);
    put(out, d.type);
    out.insert(out.end(), d.features.begin(), d.features.end());
    return out;
}

OVK_HCI_DEV_INFO dev_info_from(std::span<const uint8_t> in) {
    OVK_HCI_DEV_INFO d;
    size_t at = 0;
    d.dev_id = get<uint16_t>(in, at);
    for (char& c : d.name) c = static_cast<char>(get<uint8_t>(in, at));
    for (uint8_t& c : d.bdaddr) c = get<uint8_t>(in, at);
    d.flags = get<uint32_t>(in, at);
    d.type = get<uint8_t>(in, at);
    for (uint8_t& c : d.features) c = get<uint8_t>(in, at);
    return d;
}

// ---------------------------------------------------------------------------------------
// 2. Whole frames on a stream socket
// ---------------------------------------------------------------------------------------

bool read_full(int fd, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_full(int fd, const void* buf, size_t n) {
    const auto* p = static_cast<const uint8_t*>(buf);
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool send_frame(int fd, const OVK_RADIO_HDR& h, std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame(sizeof h + payload.size());
    std::memcpy(frame.data(), &h, sizeof h);
    if (!payload.empty()) std::memcpy(frame.data() + sizeof h, payload.data(), payload.size());
    return write_full(fd, frame.data(), frame.size());
}

bool is_hci_op(uint16_t op) {
    return op >= OVK_RADIO_HCI_OPEN && op <= OVK_RADIO_HCI_POLL;
}
bool is_nl_op(uint16_t op) {
    return op >= OVK_RADIO_NL_OPEN && op <= OVK_RADIO_NL_POLL;
}

// ---------------------------------------------------------------------------------------
// 3. The helper's side
// ---------------------------------------------------------------------------------------

// The sockets one channel opened; requests may name only these.
struct HANDLES {
    std::vector<int> open;
    bool has(int h) const { return std::find(open.begin(), open.end(), h) != open.end(); }
    void drop(int h) { open.erase(std::remove(open.begin(), open.end(), h), open.end()); }
};

struct REQUEST {
    OVK_RADIO_HDR h;
    std::vector<uint8_t> payload;
};

// The next well-formed request of `channel`, or nullopt at the end of the channel.
std::optional<REQUEST> next_request(int fd, int channel) {
    REQUEST r;
    if (!read_full(fd, &r.h, sizeof r.h)) return std::nullopt;
    if (ovk_radio_check_request(r.h, channel) != 0) {
        zq_log(LOG_ERR, "orvik-radio: malformed request, closing the channel");
        return std::nullopt;
    }
    r.payload.resize(r.h.len);
    if (r.h.len && !read_full(fd, r.payload.data(), r.h.len)) return std::nullopt;
    return r;
}

bool answer(int fd, uint16_t op, long result, uint16_t flags = 0,
            std::span<const uint8_t> payload = {}) {
    OVK_RADIO_HDR a;
    a.magic = OVK_RADIO_ANS_MAGIC;
    a.op = op;
    a.flags = flags;
    a.a = static_cast<int32_t>(result);
    a.len = static_cast<uint32_t>(payload.size());
    return send_frame(fd, a, payload);
}

int clamp_timeout(int32_t ms) {
    return std::clamp<int>(ms, 0, OVK_RADIO_POLL_MAX_MS);
}

// The id of the nl80211 family, asked once on a socket of the helper's own; 0 while unknown.
uint16_t resolve_nl80211(OVK_NL_IO& nl) {
    const int h = nl.open();
    if (h < 0) return 0;
    OVK_NL_MSG m;
    constexpr uint16_t kCtrl = 16, kGetFamily = 3, kFamilyName = 2, kRequest = 1;
    ovk_linux_wifi_msg_init(m, kCtrl, kRequest, 1, kGetFamily);
    ovk_linux_wifi_msg_put_str(m, kFamilyName, "nl80211");
    OVK_NL_FAMILY fam;
    if (nl.send(h, m.bytes()) >= 0) {
        std::vector<uint8_t> buf(OVK_RADIO_PAYLOAD_MAX);
        OVK_NL_WALK w;
        for (int rounds = 0; rounds < 8 && !w.done; ++rounds) {
            short rev = 0;
            if (nl.poll(h, OVK_RADIO_POLL_MAX_MS, rev) <= 0) break;
            const long n = nl.recv(h, buf, true);
            if (n <= 0) break;
            ovk_linux_wifi_walk(ovk_bytes(buf.data(), static_cast<size_t>(n)), 1, w,
                                [&](ovk_bytes attrs) { ovk_linux_wifi_parse_family(attrs, fam); });
        }
    }
    nl.close(h);
    return fam.family;
}

}  // namespace

int ovk_radio_check_request(const OVK_RADIO_HDR& h, int channel) {
    if (h.magic != OVK_RADIO_REQ_MAGIC || h.len > OVK_RADIO_PAYLOAD_MAX) return -EPROTO;
    if (!(channel == 0 ? is_hci_op(h.op) : is_nl_op(h.op))) return -EPROTO;
    switch (h.op) {
        case OVK_RADIO_HCI_SET_FILTER:
            return h.len == kFilterSize ? 0 : -EPROTO;
        case OVK_RADIO_HCI_WRITE:
            return h.len >= 1 && h.len <= kHciPacketMax ? 0 : -EPROTO;
        case OVK_RADIO_NL_SEND:
            return h.len >= OVK_NL_HDRLEN + OVK_GENL_HDRLEN && h.len <= OVK_NL_MSG_MAX ? 0
                                                                                       : -EPROTO;
        case OVK_RADIO_HCI_READ:
        case OVK_RADIO_NL_RECV:
            return h.len == 0 && h.b > 0 && static_cast<uint32_t>(h.b) <= OVK_RADIO_PAYLOAD_MAX
                       ? 0
                       : -EPROTO;
        default:
            return h.len == 0 ? 0 : -EPROTO;
    }
}

int ovk_radio_check_answer(const OVK_RADIO_HDR& h, uint16_t op, size_t room) {
    if (h.magic != OVK_RADIO_ANS_MAGIC || h.op != op || h.len > OVK_RADIO_PAYLOAD_MAX)
        return -EPROTO;
    const bool ok = h.a == 0;
    switch (op) {
        case OVK_RADIO_HCI_DEV_LIST:
            return h.len == (ok ? kDevListSize : 0) ? 0 : -EPROTO;
        case OVK_RADIO_HCI_DEV_INFO:
            return h.len == (ok ? kDevInfoSize : 0) ? 0 : -EPROTO;
        case OVK_RADIO_HCI_GET_FILTER:
            return h.len == (ok ? kFilterSize : 0) ? 0 : -EPROTO;
        case OVK_RADIO_HCI_READ:
        case OVK_RADIO_NL_RECV:
            if (h.a > 0) return h.len == static_cast<uint32_t>(h.a) && h.len <= room ? 0 : -EPROTO;
            return h.len == 0 ? 0 : -EPROTO;
        case OVK_RADIO_HCI_WRITE:
        case OVK_RADIO_NL_SEND:
            // At most what was sent.
            return h.len == 0 && h.a <= static_cast<int64_t>(room) ? 0 : -EPROTO;
        default:
            return h.len == 0 ? 0 : -EPROTO;
    }
}

bool ovk_radio_hci_command_allowed(std::span<const uint8_t> p) {
    if (p.size() < 4 || p[0] != 0x01) return false;
    const uint16_t opcode = static_cast<uint16_t>(p[1] | (p[2] << 8));
    const size_t plen = p[3];
    if (p.size() != 4 + plen) return false;
    const std::span<const uint8_t> par = p.subspan(4);
    switch (opcode) {
        case ovk_linux_hci_opcode(OVK_HCI_OCF_READ_FEATURES):
            return plen == 0;
        case ovk_linux_hci_opcode(OVK_HCI_OCF_SCAN_PARAMS):
            return plen == 7 && par[0] == 0;  // passive
        case ovk_linux_hci_opcode(OVK_HCI_OCF_SCAN_ENABLE):
            return plen == 2;
        case ovk_linux_hci_opcode(OVK_HCI_OCF_EXT_SCAN_PARAMS):
            // own address type, filter policy, PHYs, then per PHY: type (passive), timing
            if (plen == 8) return par[2] == 0x01 && par[3] == 0;
            if (plen == 13) return par[2] == 0x05 && par[3] == 0 && par[8] == 0;
            return false;
        case ovk_linux_hci_opcode(OVK_HCI_OCF_EXT_SCAN_ENABLE):
            return plen == 6;
        default:
            return false;
    }
}

bool ovk_radio_nl_request_allowed(std::span<const uint8_t> m, uint16_t nl80211) {
    if (m.size() < OVK_NL_HDRLEN + OVK_GENL_HDRLEN || m.size() > OVK_NL_MSG_MAX) return false;
    uint32_t len = 0;
    uint16_t type = 0, flags = 0;
    std::memcpy(&len, m.data(), 4);
    std::memcpy(&type, m.data() + 4, 2);
    std::memcpy(&flags, m.data() + 6, 2);
    if (len != m.size()) return false;
    constexpr uint16_t kRequest = 0x1, kDump = 0x300, kAck = 0x4;
    if (!(flags & kRequest)) return false;
    const uint8_t cmd = m[OVK_NL_HDRLEN];
    // The attributes: each whole, and of the types each command may carry.
    auto attrs_only = [&](std::initializer_list<uint16_t> types, bool required) {
        size_t at = OVK_NL_HDRLEN + OVK_GENL_HDRLEN;
        int seen = 0;
        while (at < m.size()) {
            if (m.size() - at < 4) return false;
            uint16_t alen = 0, atype = 0;
            std::memcpy(&alen, m.data() + at, 2);
            std::memcpy(&atype, m.data() + at + 2, 2);
            if (alen < 4 || alen > m.size() - at) return false;
            if (std::find(types.begin(), types.end(), atype & 0x3FFF) == types.end()) return false;
            ++seen;
            at += (alen + 3u) & ~3u;
        }
        return !required || seen == 1;
    };
    constexpr uint16_t kCtrl = 16;
    constexpr uint16_t kFamilyName = 2, kIfindex = 3;
    if (type == kCtrl) return cmd == 3 && attrs_only({kFamilyName}, true);
    if (nl80211 == 0 || type != nl80211) return false;
    switch (cmd) {
        case 5:  // NL80211_CMD_GET_INTERFACE
            return (flags & kDump) == kDump && attrs_only({kIfindex}, false);
        case 32:  // NL80211_CMD_GET_SCAN
            return (flags & kDump) == kDump && attrs_only({kIfindex}, false);
        case 33:  // NL80211_CMD_TRIGGER_SCAN: no SSID list, so the kernel scans passively
            return (flags & kDump) == 0 && (flags & ~(kRequest | kAck)) == 0 &&
                   attrs_only({kIfindex}, true);
        default:
            return false;
    }
}

namespace {

// The operations every channel has alike, and what its failures are logged as.
struct CHANNEL {
    int kind;  // as ovk_radio_check_request takes it
    uint16_t open, close, poll;
    const char* name;
};

// An answer carrying what a read or receive brought: `n` bytes of `buf`, or none.
bool answer_read(int fd, uint16_t op, long n, const std::vector<uint8_t>& buf) {
    return answer(fd, op, n, 0,
                  n > 0 ? std::span<const uint8_t>(buf.data(), static_cast<size_t>(n))
                        : std::span<const uint8_t>());
}

// Passes a request on to the kernel when `allowed`, else refuses it (EPERM) and logs what it was
// (`refused`: "an HCI packet that is no ...").
template <typename PASS>
bool answer_checked(int fd, uint16_t op, bool allowed, const char* refused, PASS&& pass) {
    if (!allowed) {
        zq_log(LOG_WARNING, "orvik-radio: refused %s", refused);
        return answer(fd, op, -EPERM);
    }
    return answer(fd, op, pass());
}

// Serves one channel until it ends or an answer cannot be sent: requests may name only the
// sockets this channel opened; opening, closing and polling are alike on both channels, and
// `other` answers the rest (false: the request was not answered and the channel ends). The
// channel's sockets are closed when it ends, whatever ended it.
template <typename IO, typename OTHER>
void serve_channel(int fd, IO& io, const CHANNEL& c, OTHER&& other) {
    HANDLES hs;
    try {
        for (;;) {
            const std::optional<REQUEST> r = next_request(fd, c.kind);
            if (!r) break;
            const OVK_RADIO_HDR& q = r->h;
            const uint16_t op = q.op;
            if (op != c.open && !hs.has(q.a)) {
                if (!answer(fd, op, -EBADF)) break;
                continue;
            }
            bool sent = true;
            if (op == c.open) {
                int h = -EMFILE;
                if (static_cast<int>(hs.open.size()) < OVK_RADIO_HANDLES_MAX) h = io.open();
                if (h >= 0) hs.open.push_back(h);
                sent = answer(fd, op, h);
            } else if (op == c.close) {
                io.close(q.a);
                hs.drop(q.a);
                sent = answer(fd, op, 0);
            } else if (op == c.poll) {
                short rev = 0;
                const int res = io.poll(q.a, clamp_timeout(q.b), rev);
                sent = answer(fd, op, res, static_cast<uint16_t>(res > 0 ? rev : 0));
            } else {
                sent = other(*r);
            }
            if (!sent) break;
        }
    } catch (...) {
        zq_log(LOG_ERR, "orvik-radio: %s channel failed", c.name);
    }
    for (int h : hs.open) io.close(h);
}

}  // namespace

void ovk_radio_serve_hci(int fd, OVK_HCI_IO& io) {
    std::vector<uint8_t> buf(OVK_RADIO_PAYLOAD_MAX);
    const CHANNEL c{0, OVK_RADIO_HCI_OPEN, OVK_RADIO_HCI_CLOSE, OVK_RADIO_HCI_POLL, "HCI"};
    serve_channel(fd, io, c, [&](const REQUEST& r) {
        const OVK_RADIO_HDR& q = r.h;
        const uint16_t op = q.op;
        switch (op) {
            case OVK_RADIO_HCI_DEV_LIST: {
                OVK_HCI_DEV_LIST l;
                const int res = io.dev_list(q.a, l);
                return res == 0 ? answer(fd, op, 0, 0, dev_list_bytes(l)) : answer(fd, op, res);
            }
            case OVK_RADIO_HCI_DEV_INFO: {
                OVK_HCI_DEV_INFO d;
                const int res = io.dev_info(q.a, q.b, d);
                return res == 0 ? answer(fd, op, 0, 0, dev_info_bytes(d)) : answer(fd, op, res);
            }
            case OVK_RADIO_HCI_BIND:
                return answer(fd, op, q.b < 0 || q.b > 0xFFFF ? -EINVAL : io.bind(q.a, q.b));
            case OVK_RADIO_HCI_GET_FILTER: {
                OVK_HCI_FILTER_T f;
                const int res = io.get_filter(q.a, f);
                return res == 0 ? answer(fd, op, 0, 0, filter_bytes(f)) : answer(fd, op, res);
            }
            case OVK_RADIO_HCI_SET_FILTER:
                return answer(fd, op, io.set_filter(q.a, filter_from(r.payload)));
            case OVK_RADIO_HCI_WRITE:
                return answer_checked(fd, op, ovk_radio_hci_command_allowed(r.payload),
                                      "an HCI packet that is no passive-scan command",
                                      [&] { return io.write(q.a, r.payload); });
            case OVK_RADIO_HCI_READ:
                return answer_read(
                    fd, op, io.read(q.a, std::span<uint8_t>(buf.data(), static_cast<size_t>(q.b))),
                    buf);
            default:
                return false;
        }
    });
}

void ovk_radio_serve_nl(int fd, OVK_NL_IO& io) {
    uint16_t nl80211 = 0;
    std::vector<uint8_t> buf(OVK_RADIO_PAYLOAD_MAX);
    const CHANNEL c{1, OVK_RADIO_NL_OPEN, OVK_RADIO_NL_CLOSE, OVK_RADIO_NL_POLL, "netlink"};
    serve_channel(fd, io, c, [&](const REQUEST& r) {
        const OVK_RADIO_HDR& q = r.h;
        const uint16_t op = q.op;
        switch (op) {
            case OVK_RADIO_NL_JOIN:
                return answer(fd, op, io.join_group(q.a, static_cast<uint32_t>(q.b)));
            case OVK_RADIO_NL_SEND: {
                uint16_t type = 0;
                std::memcpy(&type, r.payload.data() + 4, 2);
                if (type != 16 && nl80211 == 0) nl80211 = resolve_nl80211(io);
                return answer_checked(fd, op, ovk_radio_nl_request_allowed(r.payload, nl80211),
                                      "a netlink request that is no Wi-Fi scan request",
                                      [&] { return io.send(q.a, r.payload); });
            }
            case OVK_RADIO_NL_RECV:
                return answer_read(
                    fd, op,
                    io.recv(q.a, std::span<uint8_t>(buf.data(), static_cast<size_t>(q.b)),
                            (q.flags & 1) != 0),
                    buf);
            default:
                return false;
        }
    });
}

// ---------------------------------------------------------------------------------------
// 4. The scanners' side
// ---------------------------------------------------------------------------------------

namespace {

// One channel to the helper. A call sends one request and waits for its answer; the first
// failure (the helper gone, a malformed answer) breaks the channel for good, and every call
// after it fails with EPIPE.
class LINK {
  public:
    explicit LINK(int fd) : fd_(fd) {}
    ~LINK() {
        if (fd_ >= 0) ::close(fd_);
    }
    LINK(const LINK&) = delete;
    LINK& operator=(const LINK&) = delete;

    struct RESULT {
        long result = -EPIPE;
        uint16_t flags = 0;
    };
    // `in`: payload to send; `out`: room for the answer's payload (its size is checked).
    RESULT call(uint16_t op, int a, int b, uint16_t flags, std::span<const uint8_t> in,
                std::span<uint8_t> out, size_t* got = nullptr) {
        std::lock_guard<std::mutex> lk(mu_);
        RESULT r;
        if (broken_) return r;
        OVK_RADIO_HDR q;
        q.magic = OVK_RADIO_REQ_MAGIC;
        q.op = op;
        q.flags = flags;
        q.a = a;
        q.b = b;
        q.len = static_cast<uint32_t>(in.size());
        OVK_RADIO_HDR h;
        if (!send_frame(fd_, q, in) || !read_full(fd_, &h, sizeof h)) return fail("gone");
        const size_t room =
            (op == OVK_RADIO_HCI_WRITE || op == OVK_RADIO_NL_SEND) ? in.size() : out.size();
        if (ovk_radio_check_answer(h, op, room) != 0 || h.len > out.size())
            return fail("malformed answer");
        if (h.len && !read_full(fd_, out.data(), h.len)) return fail("gone");
        if (got) *got = h.len;
        r.result = h.a;
        r.flags = h.flags;
        return r;
    }

  private:
    RESULT fail(const char* why) {
        if (!broken_) zq_log(LOG_ERR, "radio helper: %s; scanning stops", why);
        broken_ = true;
        return RESULT{};
    }
    std::mutex mu_;
    int fd_;
    bool broken_ = false;
};

class HCI_CLIENT final : public OVK_HCI_IO {
  public:
    HCI_CLIENT(int fd, std::shared_ptr<OVK_HCI_IO> clocks)
        : link_(fd), clocks_(std::move(clocks)) {}
    int open() override { return simple(OVK_RADIO_HCI_OPEN, 0, 0); }
    void close(int h) override { simple(OVK_RADIO_HCI_CLOSE, h, 0); }
    int dev_list(int h, OVK_HCI_DEV_LIST& out) override {
        std::array<uint8_t, kDevListSize> b{};
        const auto r = link_.call(OVK_RADIO_HCI_DEV_LIST, h, 0, 0, {}, b);
        if (r.result == 0) out = dev_list_from(b);
        return static_cast<int>(r.result);
    }
    int dev_info(int h, int dev, OVK_HCI_DEV_INFO& out) override {
        std::array<uint8_t, kDevInfoSize> b{};
        const auto r = link_.call(OVK_RADIO_HCI_DEV_INFO, h, dev, 0, {}, b);
        if (r.result == 0) out = dev_info_from(b);
        return static_cast<int>(r.result);
    }
    int bind(int h, int dev) override { return simple(OVK_RADIO_HCI_BIND, h, dev); }
    int get_filter(int h, OVK_HCI_FILTER_T& out) override {
        std::array<uint8_t, kFilterSize> b{};
        const auto r = link_.call(OVK_RADIO_HCI_GET_FILTER, h, 0, 0, {}, b);
        if (r.result == 0) out = filter_from(b);
        return static_cast<int>(r.result);
    }
    int set_filter(int h, const OVK_HCI_FILTER_T& f) override {
        const std::vector<uint8_t> b = filter_bytes(f);
        return static_cast<int>(link_.call(OVK_RADIO_HCI_SET_FILTER, h, 0, 0, b, {}).result);
    }
    long write(int h, ovk_bytes packet) override {
        if (packet.empty() || packet.size() > kHciPacketMax) return -EINVAL;
        return link_.call(OVK_RADIO_HCI_WRITE, h, 0, 0, packet, {}).result;
    }
    long read(int h, std::span<uint8_t> buf) override {
        if (buf.empty()) return -EINVAL;
        const size_t room = std::min(buf.size(), OVK_RADIO_PAYLOAD_MAX);
        return link_.call(OVK_RADIO_HCI_READ, h, static_cast<int>(room), 0, {}, buf.first(room))
            .result;
    }
    int poll(int h, int timeout_ms, short& revents) override {
        const auto r = link_.call(OVK_RADIO_HCI_POLL, h, timeout_ms, 0, {}, {});
        revents = static_cast<short>(r.flags);
        return static_cast<int>(r.result);
    }
    int64_t mono_ms() override { return clocks_->mono_ms(); }
    int64_t now_ms() override { return clocks_->now_ms(); }
    void sleep_ms(int ms) override { clocks_->sleep_ms(ms); }

  private:
    int simple(uint16_t op, int a, int b) {
        return static_cast<int>(link_.call(op, a, b, 0, {}, {}).result);
    }
    LINK link_;
    std::shared_ptr<OVK_HCI_IO> clocks_;
};

class NL_CLIENT final : public OVK_NL_IO {
  public:
    NL_CLIENT(int fd, std::shared_ptr<OVK_NL_IO> clocks) : link_(fd), clocks_(std::move(clocks)) {}
    int open() override { return simple(OVK_RADIO_NL_OPEN, 0, 0); }
    void close(int h) override { simple(OVK_RADIO_NL_CLOSE, h, 0); }
    int join_group(int h, uint32_t group) override {
        return simple(OVK_RADIO_NL_JOIN, h, static_cast<int>(group));
    }
    long send(int h, ovk_bytes msg) override {
        if (msg.size() < OVK_NL_HDRLEN + OVK_GENL_HDRLEN || msg.size() > OVK_NL_MSG_MAX)
            return -EINVAL;
        return link_.call(OVK_RADIO_NL_SEND, h, 0, 0, msg, {}).result;
    }
    long recv(int h, std::span<uint8_t> buf, bool dontwait) override {
        if (buf.empty()) return -EINVAL;
        const size_t room = std::min(buf.size(), OVK_RADIO_PAYLOAD_MAX);
        return link_
            .call(OVK_RADIO_NL_RECV, h, static_cast<int>(room), dontwait ? 1 : 0, {},
                  buf.first(room))
            .result;
    }
    int poll(int h, int timeout_ms, short& revents) override {
        const auto r = link_.call(OVK_RADIO_NL_POLL, h, timeout_ms, 0, {}, {});
        revents = static_cast<short>(r.flags);
        return static_cast<int>(r.result);
    }
    int64_t now_ms() override { return clocks_->now_ms(); }
    int64_t mono_ms() override { return clocks_->mono_ms(); }
    int64_t boot_ns() override { return clocks_->boot_ns(); }
    void sleep_ms(int ms) override { clocks_->sleep_ms(ms); }

  private:
    int simple(uint16_t op, int a, int b) {
        return static_cast<int>(link_.call(op, a, b, 0, {}, {}).result);
    }
    LINK link_;
    std::shared_ptr<OVK_NL_IO> clocks_;
};

// ---------------------------------------------------------------------------------------
// 5. Starting the helper
// ---------------------------------------------------------------------------------------

struct STARTED {
    std::mutex mu;
    pid_t pid = -1;
    int hci_fd = -1;
    int nl_fd = -1;
    bool running = false;
    std::shared_ptr<OVK_HCI_IO> hci;
    std::shared_ptr<OVK_NL_IO> nl;
};

STARTED& started() {
    static STARTED* s = new STARTED;  // never destroyed: scanners may outlive static cleanup
    return *s;
}

// Every capability of this process gone: permitted, effective, inheritable, ambient.
void drop_all_capabilities() {
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct hdr{};
    hdr.version = _LINUX_CAPABILITY_VERSION_3;
    hdr.pid = 0;
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capset, &hdr, data) != 0)
        zq_log(LOG_WARNING, "radio helper: cannot drop this program's capabilities: %s",
               std::strerror(errno));
}

}  // namespace

std::shared_ptr<OVK_HCI_IO> ovk_radio_hci_client(int fd, std::shared_ptr<OVK_HCI_IO> clocks) {
    return std::make_shared<HCI_CLIENT>(fd, std::move(clocks));
}

std::shared_ptr<OVK_NL_IO> ovk_radio_nl_client(int fd, std::shared_ptr<OVK_NL_IO> clocks) {
    return std::make_shared<NL_CLIENT>(fd, std::move(clocks));
}

std::optional<std::string> ovk_radio_default_path() {
    std::array<char, 4096> buf{};
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return std::nullopt;
    std::string exe(buf.data(), static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    return exe.substr(0, slash + 1) + "orvik-radio";
}

int ovk_radio_start(const std::string& path) {
    STARTED& st = started();
    std::lock_guard<std::mutex> lk(st.mu);
    if (st.running) return 0;
    if (::access(path.c_str(), X_OK) != 0) return -1;
    int hci[2] = {-1, -1}, nl[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, hci) != 0) return -1;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, nl) != 0) {
        ::close(hci[0]);
        ::close(hci[1]);
        return -1;
    }
    const std::string parent = std::to_string(::getpid());
    const char* argv[] = {"orvik-radio", parent.c_str(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The helper's channels become its descriptors 3 (HCI) and 4 (netlink).
        int h = ::fcntl(hci[1], F_DUPFD_CLOEXEC, 10), n = ::fcntl(nl[1], F_DUPFD_CLOEXEC, 10);
        if (h < 0 || n < 0 || ::dup2(h, 3) != 3 || ::dup2(n, 4) != 4) ::_exit(126);
        ::execv(path.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(hci[1]);
    ::close(nl[1]);
    if (pid < 0) {
        ::close(hci[0]);
        ::close(nl[0]);
        return -1;
    }
    // The helper answers a first request once it runs: an open of a netlink socket it
    // closes again at once (failing is fine; a helper that did not start does not answer).
    auto nl_client = ovk_radio_nl_client(nl[0], ovk_linux_wifi_kernel_io());
    const int probe = nl_client->open();
    if (probe == -EPIPE) {
        zq_log(LOG_WARNING,
               "radio helper %s did not start; scanning uses this program's own "
               "rights",
               path.c_str());
        ::close(hci[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return -1;
    }
    if (probe >= 0) nl_client->close(probe);
    st.hci = ovk_radio_hci_client(hci[0], ovk_linux_hci_kernel_io());
    st.nl = nl_client;
    st.running = true;
    st.pid = pid;
    drop_all_capabilities();
    zq_log(LOG_INFO, "radio helper %s runs (pid %d); this program keeps no capabilities",
           path.c_str(), static_cast<int>(pid));
    return 0;
}

namespace {

// Whether process `pid` ("self" for this one) has CAP_NET_RAW (bit 13) in its effective set.
bool has_net_raw(const std::string& pid) {
    FILE* f = std::fopen(("/proc/" + pid + "/status").c_str(), "r");
    if (!f) return false;
    char line[256];
    bool yes = false;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "CapEff:", 7) != 0) continue;
        yes = (std::strtoull(line + 7, nullptr, 16) >> 13) & 1;
        break;
    }
    std::fclose(f);
    return yes;
}

}  // namespace

int ovk_radio_capable() {
    STARTED& st = started();
    std::lock_guard<std::mutex> lk(st.mu);
    return has_net_raw(st.running ? std::to_string(st.pid) : std::string("self")) ? 1 : 0;
}

int ovk_radio_running() {
    STARTED& st = started();
    std::lock_guard<std::mutex> lk(st.mu);
    return st.running ? 1 : 0;
}

std::shared_ptr<OVK_HCI_IO> ovk_radio_hci_io() {
    STARTED& st = started();
    std::lock_guard<std::mutex> lk(st.mu);
    return st.running ? st.hci : ovk_linux_hci_kernel_io();
}

std::shared_ptr<OVK_NL_IO> ovk_radio_nl_io() {
    STARTED& st = started();
    std::lock_guard<std::mutex> lk(st.mu);
    return st.running ? st.nl : ovk_linux_wifi_kernel_io();
}
