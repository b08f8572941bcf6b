// SPDX-License-Identifier: GPL-3.0-or-later
// The radio helper's framing on arbitrary bytes, from both ends: the helper's checks of a
// request and of the commands it may send, and the scanners' client reading whatever the
// helper answers (the input, served as the answers to a run of calls) without reading past a
// frame or trusting a length.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "ovk_radio.h"

namespace {

// Clocks only: the client's sleeps and times never reach the helper.
class Clocks final : public OVK_HCI_IO {
  public:
    int open() override { return -1; }
    void close(int) override {}
    int dev_list(int, OVK_HCI_DEV_LIST&) override { return -1; }
    int dev_info(int, int, OVK_HCI_DEV_INFO&) override { return -1; }
    int bind(int, int) override { return -1; }
    int get_filter(int, OVK_HCI_FILTER_T&) override { return -1; }
    int set_filter(int, const OVK_HCI_FILTER_T&) override { return -1; }
    long write(int, ovk_bytes) override { return -1; }
    long read(int, std::span<uint8_t>) override { return -1; }
    int poll(int, int, short&) override { return -1; }
    int64_t mono_ms() override { return 0; }
    int64_t now_ms() override { return 0; }
    void sleep_ms(int) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> in(data, size);
    if (size >= sizeof(OVK_RADIO_HDR)) {
        OVK_RADIO_HDR h;
        std::memcpy(&h, data, sizeof h);
        ovk_radio_check_request(h, 0);
        ovk_radio_check_request(h, 1);
        for (uint16_t op : {1, 3, 4, 6, 8, 9, 10, 21, 24, 25, 26})
            ovk_radio_check_answer(h, op, size);
    }
    ovk_radio_hci_command_allowed(in);
    ovk_radio_nl_request_allowed(in,
                                 size > 5 ? static_cast<uint16_t>(data[4] | (data[5] << 8)) : 0);

    // The client reading the input as the helper's answers.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    const size_t fed = std::min<size_t>(size, 100000);
    size_t at = 0;
    while (at < fed) {
        const ssize_t n = ::send(fds[1], data + at, fed - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
    }
    ::shutdown(fds[1], SHUT_WR);
    {
        auto hci = ovk_radio_hci_client(fds[0], std::make_shared<Clocks>());
        std::array<uint8_t, 260> buf{};
        OVK_HCI_DEV_LIST list;
        OVK_HCI_DEV_INFO info;
        OVK_HCI_FILTER_T filter;
        short rev = 0;
        const std::array<uint8_t, 4> cmd{0x01, 0x03, 0x20, 0x00};
        for (int round = 0; round < 8; ++round) {
            const int h = hci->open();
            hci->dev_list(h, list);
            hci->dev_info(h, 0, info);
            hci->get_filter(h, filter);
            hci->write(h, cmd);
            const long n = hci->read(h, buf);
            if (n > static_cast<long>(buf.size())) __builtin_trap();
            hci->poll(h, 0, rev);
        }
    }
    ::close(fds[1]);
    return 0;
}
