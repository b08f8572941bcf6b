// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's locks (see the header).
#include "ovk_lock.h"

#include <exception>
#include <thread>

namespace ovk_lock_detail {
std::atomic<bool> watching{false};
}

namespace {

thread_local int t_interface_depth = 0;

struct TALLY {
    std::mutex mu;
    std::map<std::string, int> taken;
};

TALLY& tally() {
    static TALLY* t = new TALLY;  // never destroyed: locks may be taken during exit
    return *t;
}

}  // namespace

void ovk_lock_detail::note(const char* site) noexcept {
    if (t_interface_depth <= 0) return;
    TALLY& t = tally();
    try {
        std::lock_guard lk(t.mu);
        ++t.taken[site ? site : "?"];
    } catch (const std::exception&) {
        // Out of memory while counting: the count is only a diagnostic.
    }
}

OVK_INTERFACE_SCOPE::OVK_INTERFACE_SCOPE() noexcept {
    ++t_interface_depth;
}

OVK_INTERFACE_SCOPE::~OVK_INTERFACE_SCOPE() {
    --t_interface_depth;
}

void OVK_LOCK::let_waiters_in(std::chrono::microseconds limit) const noexcept {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (waiting_.load(std::memory_order_relaxed) > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

bool ovk_lock_on_interface() noexcept {
    return t_interface_depth > 0;
}

void ovk_lock_watch(bool on) noexcept {
    if (on) {
        TALLY& t = tally();
        std::lock_guard lk(t.mu);
        t.taken.clear();
    }
    ovk_lock_detail::watching.store(on, std::memory_order_relaxed);
}

std::map<std::string, int> ovk_lock_taken() {
    TALLY& t = tally();
    std::lock_guard lk(t.mu);
    return t.taken;
}

std::string ovk_lock_taken_text() {
    std::string out;
    for (const auto& [site, n] : ovk_lock_taken()) {
        if (!out.empty()) out += ", ";
        out += site + " x" + std::to_string(n);
    }
    return out;
}
