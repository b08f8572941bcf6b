// SPDX-License-Identifier: GPL-3.0-or-later
// What the BLE and Wi-Fi scanners share: thread start and stop, the status line.
#include "ovk_linux_scanner_common.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

OVK_SCANNER_CORE::OVK_SCANNER_CORE(const char* stopped) : stopped_text(stopped), status(stopped) {}

namespace {

void set_status_and_fault(OVK_SCANNER_CORE& c, const char* why, const char* fmt, va_list ap) {
    std::array<char, OVK_SCANNER_CORE::status_max> buf{};
    vsnprintf(buf.data(), buf.size(), fmt, ap);
    const std::string_view text(buf.data());
    {
        std::lock_guard<std::mutex> lk(c.status_mu);
        c.fault.assign(why);
        if (c.status == text) return;
        c.status.assign(text);
    }
    if (c.sink.on_status) c.sink.on_status(text);
}

}  // namespace

void OVK_SCANNER_CORE::set_status(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_status_and_fault(*this, "", fmt, ap);
    va_end(ap);
}

void OVK_SCANNER_CORE::set_fault(const char* why, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_status_and_fault(*this, why, fmt, ap);
    va_end(ap);
}

std::string OVK_SCANNER_CORE::status_copy() const {
    std::lock_guard<std::mutex> lk(status_mu);
    return status;
}

std::string OVK_SCANNER_CORE::fault_copy() const {
    std::lock_guard<std::mutex> lk(status_mu);
    return fault;
}

int OVK_SCANNER_CORE::start_thread(std::function<void()> body, const char* starting,
                                   const char* failed) {
    stop_flag.store(false);
    done.store(false);
    set_status("%s", starting);
    try {
        thread = std::thread(std::move(body));
    } catch (...) {
        set_status("%s", failed);
        return -1;
    }
    started = true;
    return 0;
}

void OVK_SCANNER_CORE::stop_thread() {
    if (!started) return;
    stop_flag.store(true);
    if (thread.joinable()) thread.join();
    started = false;
    set_status("%s", stopped_text);
}

void OVK_LINUX_SCANNER::stop() {
    core_->stop_thread();
}

std::string OVK_LINUX_SCANNER::status() const {
    return core_->status_copy();
}

std::string OVK_LINUX_SCANNER::fault() const {
    return core_->fault_copy();
}

bool OVK_LINUX_SCANNER::running() const {
    return core_->started;
}

bool OVK_LINUX_SCANNER::finished() const {
    return core_->done.load();
}
