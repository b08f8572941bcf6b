// SPDX-License-Identifier: GPL-3.0-or-later
// The scanners' way to the kernel through the radio helper, for tests: the helper's serving
// loop (what orvik-radio runs) on a thread of the test with a simulated kernel behind it, and
// the scanner's client end of the channel, whose clocks are the simulation's.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "ovk_radio.h"

template <class IO>
class RadioChannel {
  public:
    explicit RadioChannel(std::shared_ptr<IO> kernel) : kernel_(std::move(kernel)) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        helper_fd_ = fds[1];
        if constexpr (std::is_same_v<IO, OVK_HCI_IO> || std::is_base_of_v<OVK_HCI_IO, IO>) {
            client_ = ovk_radio_hci_client(fds[0], kernel_);
            helper_ = std::thread([this] { ovk_radio_serve_hci(helper_fd_, *kernel_); });
        } else {
            client_ = ovk_radio_nl_client(fds[0], kernel_);
            helper_ = std::thread([this] { ovk_radio_serve_nl(helper_fd_, *kernel_); });
        }
    }
    // The helper ends when the scanner's end is gone: drop every copy of client() first.
    ~RadioChannel() {
        client_.reset();
        if (helper_.joinable()) helper_.join();
        ::close(helper_fd_);
    }
    RadioChannel(const RadioChannel&) = delete;
    RadioChannel& operator=(const RadioChannel&) = delete;

    auto client() const { return client_; }

  private:
    std::shared_ptr<IO> kernel_;
    int helper_fd_ = -1;
    std::shared_ptr<std::conditional_t<std::is_base_of_v<OVK_HCI_IO, IO>, OVK_HCI_IO, OVK_NL_IO>>
        client_;
    std::thread helper_;
};
