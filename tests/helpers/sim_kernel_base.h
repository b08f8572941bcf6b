// SPDX-License-Identifier: GPL-3.0-or-later
// What the simulated kernels share: one lock over a table of sockets keyed by handle, a
// condition variable that wakes blocked callers, and clocks that a test moves forward
// (the real clocks plus an offset). Header-only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace sim_kernel {

// Appends with a plain copy (g++ 12 at -O3 warns wrongly about vector::insert here).
template <typename C>
void append(std::vector<uint8_t>& to, const C& from) {
    const size_t at = to.size();
    to.resize(at + from.size());
    if (from.size()) std::memcpy(to.data() + at, from.data(), from.size());
}

inline int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace sim_kernel

template <class Sock>
class SimKernelBase {
  public:
    // Moves the simulated clocks forward; sleepers and pollers wake.
    void advance(int64_t ms) {
        std::lock_guard<std::mutex> lk(mu_);
        offset_ms_ += ms;
        cv_.notify_all();
    }

    int open_sockets() const {
        std::lock_guard<std::mutex> lk(mu_);
        return static_cast<int>(socks_.size());
    }

  protected:
    // A new socket in the table (handles 3, 4, ...). Caller holds mu_.
    int add_sock_locked() {
        const int h = next_handle_++;
        socks_[h];
        return h;
    }

    int64_t clock_mono_ms() {
        std::lock_guard<std::mutex> lk(mu_);
        return sim_kernel::steady_ms() + offset_ms_;
    }

    int64_t clock_wall_ms() {
        std::lock_guard<std::mutex> lk(mu_);
        return sim_kernel::wall_ms() + offset_ms_;
    }

    // Waits `ms` of real time, or less when the test advances the clocks meanwhile.
    void clock_sleep_ms(int ms) {
        std::unique_lock<std::mutex> lk(mu_);
        const int64_t before = offset_ms_;
        cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return offset_ms_ != before; });
    }

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<int, Sock> socks_;
    int64_t offset_ms_ = 0;

  private:
    int next_handle_ = 3;
};
