// SPDX-License-Identifier: GPL-3.0-or-later
// What the BLE and Wi-Fi scanners share: the worker thread with its stop and done flags,
// the status line (handed to the sink only when it changes), the calls every scanner object
// answers the same way, and the process-wide scanner the platform layer starts and stops.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "ovk_platform.h"
#include "zq_log.h"

// The state a scanner's thread shares with its owner. Each scanner's private state derives
// from it, so the thread body reads the flags and sets the status directly.
struct OVK_SCANNER_CORE {
    // `stopped` is the status before the first start and after every stop.
    explicit OVK_SCANNER_CORE(const char* stopped);
    OVK_SCANNER_CORE(const OVK_SCANNER_CORE&) = delete;
    OVK_SCANNER_CORE& operator=(const OVK_SCANNER_CORE&) = delete;

    OVK_SINK sink;
    std::thread thread;
    std::atomic<bool> started{false};
    std::atomic<bool> stop_flag{false};
    std::atomic<bool> done{false};

    const char* const stopped_text;
    mutable std::mutex status_mu;
    std::string status;
    // Why the radio hears nothing ("has no adapter"), "" while it starts or listens.
    std::string fault;

    // Formats the status (at most `status_max` - 1 bytes); the sink hears it when it changed.
    // A status set this way is not a fault.
    void set_status(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // The same for a status that means nothing is heard, with the short reason `why` (said
    // after the radio's name: "Bluetooth has no adapter").
    void set_fault(const char* why, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    std::string status_copy() const;
    std::string fault_copy() const;
    // Clears the flags, reports `starting` and runs `body` on a new thread; when no thread
    // can be had, reports `failed` and returns -1.
    int start_thread(std::function<void()> body, const char* starting, const char* failed);
    // Sets the stop flag, joins the thread and reports the stopped text; nothing when the
    // thread was not started.
    void stop_thread();
    // The thread's whole life: runs `body`, logs an exception that leaves it as
    // "`what` failed[: reason]", and sets `done` at the end.
    template <class Body>
    void run_guarded(const char* what, Body&& body) noexcept {
        try {
            body();
        } catch (const std::exception& e) {
            zq_log(LOG_ERR, "%s failed: %s", what, e.what());
        } catch (...) {
            zq_log(LOG_ERR, "%s failed", what);
        }
        done.store(true);
    }

    static constexpr size_t status_max = 160;
};

// The calls both scanner objects answer the same way. The derived scanner points `core_` at
// its state in its constructor and stops the thread in its destructor.
class OVK_LINUX_SCANNER {
  public:
    OVK_LINUX_SCANNER(const OVK_LINUX_SCANNER&) = delete;
    OVK_LINUX_SCANNER& operator=(const OVK_LINUX_SCANNER&) = delete;

    void stop();
    std::string status() const;
    // Why nothing is heard, "" while the scanner starts or listens.
    std::string fault() const;
    bool running() const;
    // True once the thread has ended by itself (permission denied, out of memory).
    bool finished() const;

  protected:
    OVK_LINUX_SCANNER() = default;
    ~OVK_LINUX_SCANNER() = default;

    OVK_SCANNER_CORE* core_ = nullptr;
};

// The process-wide scanner of type `S` on the kernel's sockets (`kernel_io()`), delivering to
// ovk_linux_emit_advert and ovk_linux_emit_status. It is built on first use and never
// destroyed: the platform layer stops it before the process ends, and a thread must not be
// joined from a static destructor after the emitters are gone. Starts and stops are
// serialised; no exception leaves these calls.
template <class S, auto kernel_io>
class OVK_PROCESS_SCANNER {
  public:
    static int start(const OVK_SCAN_OPTS& opts) noexcept {
        try {
            std::lock_guard<std::mutex> lk(mu());
            return scanner().start(opts);
        } catch (...) {
            return -1;
        }
    }

    static void stop() noexcept {
        try {
            std::lock_guard<std::mutex> lk(mu());
            scanner().stop();
        } catch (...) {
        }
    }

    static std::string status() noexcept {
        try {
            return scanner().status();
        } catch (...) {
            return {};
        }
    }

    static std::string fault() noexcept {
        try {
            return scanner().fault();
        } catch (...) {
            return "failed";
        }
    }

  private:
    static S& scanner() {
        static S* s = [] {
            OVK_SINK sink;
            sink.on_advert = [](OVK_ADVERT_PTR a) { ovk_linux_emit_advert(std::move(a)); };
            sink.on_status = [](std::string_view text) { ovk_linux_emit_status(text); };
            return new S(kernel_io(), std::move(sink));
        }();
        return *s;
    }

    static std::mutex& mu() {
        static std::mutex m;
        return m;
    }
};
