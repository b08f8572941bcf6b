// SPDX-License-Identifier: GPL-3.0-or-later
// A sink for scanner tests: records adverts and status lines delivered on the scanner's
// thread, and lets the test thread wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ovk_platform.h"

class ScanSink {
  public:
    // The sink to hand to a scanner; it must not outlive this object.
    OVK_SINK sink();

    std::vector<std::string> statuses() const;
    std::string last_status() const;
    size_t advert_count() const;
    // Copies of the adverts received so far.
    std::vector<OVK_ADVERT> adverts() const;
    void clear();

    // Waits (up to `ms`) until `pred` holds for the recorded state; returns whether it did.
    bool wait(const std::function<bool(const ScanSink&)>& pred, int ms = 5000) const;
    bool wait_status(const std::string& text, int ms = 5000) const;
    bool wait_status_prefix(const std::string& prefix, int ms = 5000) const;
    bool wait_adverts(size_t n, int ms = 5000) const;
    // How often `text` was delivered.
    int status_seen(const std::string& text) const;

  private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<std::string> statuses_;
    std::vector<OVK_ADVERT> adverts_;
};
