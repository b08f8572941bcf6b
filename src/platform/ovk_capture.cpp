// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "ovk_frame.h"
#include "ovk_linux_hci.h"

namespace {

// ---------------------------------------------------------------------------------------
// Telling formats apart
// ---------------------------------------------------------------------------------------
constexpr uint8_t kBtsnoopMagic[8] = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};
constexpr uint32_t kPcapMagics[] = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1};
constexpr uint32_t kPcapngMagic = 0x0A0D0D0A;

uint32_t u32be(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A stream that gives the peeked bytes, then the rest of the underlying stream.
struct PEEKED {
    std::string head;
    size_t at = 0;
    FILE* rest = nullptr;
    bool owns_rest = false;  // closing the stream closes the underlying one too
};

ssize_t peeked_read(void* cookie, char* buf, size_t size) {
    auto* p = static_cast<PEEKED*>(cookie);
    size_t n = 0;
    if (p->at < p->head.size()) {
        n = std::min(size, p->head.size() - p->at);
        std::memcpy(buf, p->head.data() + p->at, n);
        p->at += n;
        if (n == size) return static_cast<ssize_t>(n);
    }
    const size_t more = fread(buf + n, 1, size - n, p->rest);
    if (more == 0 && n == 0 && ferror(p->rest)) return -1;
    return static_cast<ssize_t>(n + more);
}

int peeked_close(void* cookie) {
    auto* p = static_cast<PEEKED*>(cookie);
    if (p->owns_rest) fclose(p->rest);
    delete p;
    return 0;
}

FILE* peek(FILE* in, std::string& head, bool owns) {
    head.clear();
    if (!in) return nullptr;
    char buf[OVK_CAPTURE_MAGIC_LEN];
    // The first four bytes tell every format but btsnoop, whose magic is "btsnoop\0": ask
    // for more only then, so a text pipe is never held up waiting for bytes.
    size_t n = fread(buf, 1, 4, in);
    if (n == 4 && std::memcmp(buf, kBtsnoopMagic, 4) == 0)
        n += fread(buf + 4, 1, sizeof buf - 4, in);
    head.assign(buf, n);
    auto* c = new (std::nothrow) PEEKED{head, 0, in, owns};
    if (!c) return nullptr;
    cookie_io_functions_t io{};
    io.read = peeked_read;
    io.close = peeked_close;
    FILE* f = fopencookie(c, "rb", io);
    if (!f) delete c;
    return f;
}

// ---------------------------------------------------------------------------------------
// HCI packets (H4: type byte first)
// ---------------------------------------------------------------------------------------

class HCI_DECODER {
  public:
    // Adverts from one H4 packet; LE advertising reports only, everything else gives none.
    void packet(ovk_bytes h4, OVK_CAPTURE_FRAME& f, OVK_CAPTURE_STATS& st) {
        const size_t before = f.adverts.size();
        ovk_linux_hci_parse_event(*slots_, h4, f.time, f.time,
                                  [&f](OVK_ADVERT_PTR a) { f.adverts.push_back(std::move(a)); });
        if (f.adverts.size() == before) ++st.other;
    }

  private:
    std::unique_ptr<OVK_HCI_SLOTS> slots_ = std::make_unique<OVK_HCI_SLOTS>();
};

void count_frame(OVK_FRAME&& fr, OVK_CAPTURE_FRAME& f, OVK_CAPTURE_STATS& st) {
    switch (fr.kind) {
        case OVK_FRAME_ADVERT:
            f.adverts.push_back(std::move(fr.advert));
            break;
        case OVK_FRAME_OTHER:
            ++st.other;
            break;
        case OVK_FRAME_BAD:
            ++st.bad;
            break;
    }
}

// ---------------------------------------------------------------------------------------
// pcap and pcapng through libpcap
// ---------------------------------------------------------------------------------------
constexpr int kLinkDot11 = 105;
constexpr int kLinkRadiotap = 127;
constexpr int kLinkH4 = 187;
constexpr int kLinkH4Phdr = 201;
constexpr int kLinkBleLl = 251;
constexpr int kLinkBleLlPhdr = 256;

struct LINK {
    int type;
    const char* name;
};
constexpr LINK kLinks[] = {
    {kLinkDot11, "802.11"},
    {kLinkRadiotap, "802.11 with radiotap"},
    {kLinkH4, "Bluetooth HCI H4"},
    {kLinkH4Phdr, "Bluetooth HCI H4 with direction"},
    {kLinkBleLl, "Bluetooth LE link layer"},
    {kLinkBleLlPhdr, "Bluetooth LE link layer with pseudo-header"},
};

class PCAP_READER final : public OVK_CAPTURE {
  public:
    PCAP_READER(pcap_t* p, const char* format, const char* link, int type)
        : p_(p), format_(format), link_(link), type_(type) {}
    ~PCAP_READER() override { pcap_close(p_); }

    int next(OVK_CAPTURE_FRAME& f) override {
        if (done_) return error_.empty() ? 0 : -1;
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        const int r = pcap_next_ex(p_, &h, &data);
        if (r == PCAP_ERROR_BREAK) {
            done_ = true;
            return 0;
        }
        if (r != 1 || !h || !data) {
            done_ = true;
            error_ =
                std::string("frame ") + std::to_string(stats_.frames + 1) + ": " + pcap_geterr(p_);
            return -1;
        }
        f.number = ++stats_.frames;
        f.time = static_cast<int64_t>(h->ts.tv_sec) * 1000 + h->ts.tv_usec / 1000;
        f.adverts.clear();
        const ovk_bytes pkt(data, h->caplen);
        switch (type_) {
            case kLinkDot11:
                count_frame(ovk_frame_dot11(pkt, 0, 0, f.time), f, stats_);
                break;
            case kLinkRadiotap:
                count_frame(ovk_frame_radiotap(pkt, f.time), f, stats_);
                break;
            case kLinkBleLl:
                count_frame(ovk_frame_ble_ll(pkt, 0, f.time), f, stats_);
                break;
            case kLinkBleLlPhdr:
                count_frame(ovk_frame_ble_ll_phdr(pkt, f.time), f, stats_);
                break;
            case kLinkH4:
                hci_.packet(pkt, f, stats_);
                break;
            case kLinkH4Phdr:
                if (pkt.size() < 4)
                    ++stats_.bad;
                else
                    hci_.packet(pkt.subspan(4), f, stats_);
                break;
            default:
                break;
        }
        stats_.adverts += static_cast<long>(f.adverts.size());
        return 1;
    }

    std::string describe() const override { return std::string(format_) + ", " + link_; }

  private:
    pcap_t* p_;
    const char* format_;
    const char* link_;
    int type_;
    bool done_ = false;
    HCI_DECODER hci_;
};

// ---------------------------------------------------------------------------------------
// btsnoop
// ---------------------------------------------------------------------------------------
constexpr size_t kSnoopHeader = 16;
constexpr size_t kSnoopRecord = 24;
constexpr uint32_t kSnoopH1 = 1001;
constexpr uint32_t kSnoopH4 = 1002;
constexpr uint32_t kSnoopMonitor = 2001;
// The largest HCI packet (an ACL packet of 65535 bytes and its header) with room to spare.
constexpr uint32_t kSnoopMaxRecord = 65535 + 16;
// Microseconds from 0000-01-01 to the Unix epoch, as btsnoop counts time.
constexpr int64_t kSnoopEpochUs = 0x00DCDDB30F2F8000LL;
constexpr uint32_t kMonitorEventPkt = 3;

class SNOOP_READER final : public OVK_CAPTURE {
  public:
    SNOOP_READER(FILE* f, uint32_t datalink) : f_(f), datalink_(datalink) {}
    ~SNOOP_READER() override { fclose(f_); }

    int next(OVK_CAPTURE_FRAME& f) override {
        if (done_) return error_.empty() ? 0 : -1;
        std::array<uint8_t, kSnoopRecord> h{};
        const size_t got = fread(h.data(), 1, h.size(), f_);
        if (got == 0 && !ferror(f_)) {
            done_ = true;
            return 0;
        }
        const long number = stats_.frames + 1;
        if (got < h.size()) return fail(number, "record header cut short");
        const uint32_t orig = u32be(&h[0]);
        const uint32_t incl = u32be(&h[4]);
        const uint32_t flags = u32be(&h[8]);
        int64_t us = 0;
        for (size_t i = 16; i < 24; ++i)
            us = static_cast<int64_t>(static_cast<uint64_t>(us) << 8 | h[i]);
        if (incl > kSnoopMaxRecord || incl > orig)
            return fail(number, "record length " + std::to_string(incl) + " (of " +
                                    std::to_string(orig) + ") is no HCI packet");
        buf_.resize(incl + 1);
        if (fread(buf_.data() + 1, 1, incl, f_) != incl) return fail(number, "record cut short");

        f.number = ++stats_.frames;
        f.time = us > kSnoopEpochUs ? (us - kSnoopEpochUs) / 1000 : 0;
        f.adverts.clear();
        const ovk_bytes body(buf_.data() + 1, incl);
        switch (datalink_) {
            case kSnoopH4:
                hci_.packet(body, f, stats_);
                break;
            case kSnoopH1:
                // Bit 0: received; bit 1: command or event. Received + command/event = event.
                if ((flags & 0x03) == 0x03) {
                    buf_[0] = 0x04;
                    hci_.packet(ovk_bytes(buf_.data(), incl + 1), f, stats_);
                } else {
                    ++stats_.other;
                }
                break;
            case kSnoopMonitor:
                if ((flags & 0xFFFF) == kMonitorEventPkt) {
                    buf_[0] = 0x04;
                    hci_.packet(ovk_bytes(buf_.data(), incl + 1), f, stats_);
                } else {
                    ++stats_.other;
                }
                break;
            default:
                break;
        }
        stats_.adverts += static_cast<long>(f.adverts.size());
        return 1;
    }

    std::string describe() const override {
        switch (datalink_) {
            case kSnoopH1:
                return "btsnoop, unencapsulated HCI";
            case kSnoopH4:
                return "btsnoop, HCI UART (H4)";
            default:
                return "btsnoop, Linux monitor";
        }
    }

  private:
    int fail(long number, const std::string& why) {
        done_ = true;
        error_ = "record " + std::to_string(number) + ": " + why;
        return -1;
    }

    FILE* f_;
    uint32_t datalink_;
    bool done_ = false;
    std::vector<uint8_t> buf_;
    HCI_DECODER hci_;
};

std::unique_ptr<OVK_CAPTURE> open_snoop(FILE* f, std::string& error) {
    std::array<uint8_t, kSnoopHeader> h{};
    if (fread(h.data(), 1, h.size(), f) != h.size()) {
        fclose(f);
        error = "btsnoop header cut short";
        return nullptr;
    }
    const uint32_t version = u32be(&h[8]);
    const uint32_t datalink = u32be(&h[12]);
    if (std::memcmp(h.data(), kBtsnoopMagic, sizeof kBtsnoopMagic) != 0 || version != 1) {
        fclose(f);
        error = "not a btsnoop version 1 file";
        return nullptr;
    }
    if (datalink != kSnoopH1 && datalink != kSnoopH4 && datalink != kSnoopMonitor) {
        fclose(f);
        error = "btsnoop data link " + std::to_string(datalink) + " carries no HCI events";
        return nullptr;
    }
    return std::make_unique<SNOOP_READER>(f, datalink);
}

std::unique_ptr<OVK_CAPTURE> open_pcap(FILE* f, OVK_CAPTURE_FORMAT fmt, std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (!p) {
        fclose(f);  // libpcap leaves the stream to its caller when it fails
        error = errbuf[0] ? errbuf : "not a readable pcap file";
        return nullptr;
    }
    const int type = pcap_datalink(p);
    for (const LINK& l : kLinks)
        if (l.type == type)
            return std::make_unique<PCAP_READER>(p, ovk_capture_format_name(fmt), l.name, type);
    const char* desc = pcap_datalink_val_to_description(type);
    error = "link type " + std::to_string(type) + (desc ? std::string(" (") + desc + ")" : "") +
            " carries no advertisements Orvik reads";
    pcap_close(p);
    return nullptr;
}

}  // namespace

OVK_CAPTURE_FORMAT ovk_capture_format(ovk_bytes head) {
    if (head.size() >= sizeof kBtsnoopMagic &&
        std::equal(head.begin(), head.begin() + sizeof kBtsnoopMagic, kBtsnoopMagic))
        return OVK_CAPTURE_BTSNOOP;
    if (head.size() < 4) return OVK_CAPTURE_TEXT;
    const uint32_t m = u32be(head.data());
    if (m == kPcapngMagic) return OVK_CAPTURE_PCAPNG;
    for (const uint32_t pm : kPcapMagics)
        if (m == pm) return OVK_CAPTURE_PCAP;
    return OVK_CAPTURE_TEXT;
}

const char* ovk_capture_format_name(OVK_CAPTURE_FORMAT f) {
    switch (f) {
        case OVK_CAPTURE_PCAP:
            return "pcap";
        case OVK_CAPTURE_PCAPNG:
            return "pcapng";
        case OVK_CAPTURE_BTSNOOP:
            return "btsnoop";
        case OVK_CAPTURE_TEXT:
            return "text";
    }
    return "text";
}

FILE* ovk_capture_peek(FILE* in, std::string& head) {
    return peek(in, head, false);
}

std::unique_ptr<OVK_CAPTURE> ovk_capture_open(FILE* f, std::string& error) {
    error.clear();
    if (!f) {
        error = "no file";
        return nullptr;
    }
    std::string head;
    FILE* s = peek(f, head, true);
    if (!s) {
        fclose(f);
        error = "out of memory";
        return nullptr;
    }
    const OVK_CAPTURE_FORMAT fmt =
        ovk_capture_format(ovk_bytes(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
    switch (fmt) {
        case OVK_CAPTURE_PCAP:
        case OVK_CAPTURE_PCAPNG:
            return open_pcap(s, fmt, error);
        case OVK_CAPTURE_BTSNOOP:
            return open_snoop(s, error);
        case OVK_CAPTURE_TEXT:
            break;
    }
    fclose(s);
    error = "not a pcap, pcapng or btsnoop file";
    return nullptr;
}

std::unique_ptr<OVK_CAPTURE> ovk_capture_open_path(const std::string& path, std::string& error) {
    error.clear();
    FILE* f = fopen(path.c_str(), "rbe");
    if (!f) {
        error = strerror(errno);
        return nullptr;
    }
    uint8_t head[OVK_CAPTURE_MAGIC_LEN] = {};
    const size_t n = fread(head, 1, sizeof head, f);
    if (ovk_capture_format(ovk_bytes(head, n)) == OVK_CAPTURE_TEXT) {
        if (ferror(f)) error = strerror(errno);
        fclose(f);
        return nullptr;
    }
    rewind(f);
    return ovk_capture_open(f, error);
}
