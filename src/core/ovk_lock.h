// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's locks, and a watch on the interface thread.
//
// The interface thread must never wait on the engine: a lock the engine holds while it writes
// a file or walks 50,000 matches stalls the window for as long. The engine modules take their
// locks through OVK_LOCK, which behaves exactly as a std::mutex and also knows a short name
// for its site ("store", "registry", ...). While the watch is on (ovk_lock_watch), every lock
// taken on a thread inside an interface scope (OVK_INTERFACE_SCOPE, which the frame opens
// around its event handling, tick and drawing) is counted under its site. With the watch off
// a lock costs one relaxed atomic load more than a std::mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace ovk_lock_detail {
extern std::atomic<bool> watching;
void note(const char* site) noexcept;
}  // namespace ovk_lock_detail

// A mutex whose takings on the interface thread can be counted. Lockable, so it works with
// std::lock_guard, std::unique_lock and std::condition_variable_any.
class OVK_LOCK {
  public:
    explicit constexpr OVK_LOCK(const char* site) noexcept : site_(site) {}
    OVK_LOCK(const OVK_LOCK&) = delete;
    OVK_LOCK& operator=(const OVK_LOCK&) = delete;

    void lock() {
        if (ovk_lock_detail::watching.load(std::memory_order_relaxed)) ovk_lock_detail::note(site_);
        if (mu_.try_lock()) return;
        waiting_.fetch_add(1, std::memory_order_relaxed);
        mu_.lock();
        waiting_.fetch_sub(1, std::memory_order_relaxed);
    }
    bool try_lock() {
        if (ovk_lock_detail::watching.load(std::memory_order_relaxed)) ovk_lock_detail::note(site_);
        return mu_.try_lock();
    }
    void unlock() { mu_.unlock(); }
    // For a holder that works in turns, between two turns (not holding the lock): waits,
    // for at most `limit`, until the threads that were waiting for the lock have taken it.
    // The lock is not fair, so a thread that lets it go and takes it again at once can keep
    // a waiting thread out for many turns. Returns at once when nobody waits.
    void let_waiters_in(std::chrono::microseconds limit) const noexcept;
    const char* site() const noexcept { return site_; }

  private:
    std::mutex mu_;
    std::atomic<int> waiting_{0};  // threads blocked in lock()
    const char* site_;
};

// Marks the calling thread as the interface thread for the scope's life (scopes nest).
class OVK_INTERFACE_SCOPE {
  public:
    OVK_INTERFACE_SCOPE() noexcept;
    ~OVK_INTERFACE_SCOPE();
    OVK_INTERFACE_SCOPE(const OVK_INTERFACE_SCOPE&) = delete;
    OVK_INTERFACE_SCOPE& operator=(const OVK_INTERFACE_SCOPE&) = delete;
};

// Whether the calling thread is inside an interface scope.
bool ovk_lock_on_interface() noexcept;
// Turns the watch on (forgetting what was counted) or off (keeping it).
void ovk_lock_watch(bool on) noexcept;
// The locks taken inside interface scopes since the watch was last turned on: site -> times.
std::map<std::string, int> ovk_lock_taken();
// "store x3, registry x1" (sorted by site), "" when none.
std::string ovk_lock_taken_text();
