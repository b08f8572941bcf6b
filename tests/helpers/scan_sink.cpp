// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan_sink.h"

#include <algorithm>

OVK_SINK ScanSink::sink() {
    OVK_SINK s;
    s.on_advert = [this](OVK_ADVERT_PTR a) {
        if (!a) return;
        std::lock_guard<std::mutex> lk(mu_);
        adverts_.push_back(*a);
        cv_.notify_all();
    };
    s.on_status = [this](std::string_view text) {
        std::lock_guard<std::mutex> lk(mu_);
        statuses_.emplace_back(text);
        cv_.notify_all();
    };
    return s;
}

std::vector<std::string> ScanSink::statuses() const {
    std::lock_guard<std::mutex> lk(mu_);
    return statuses_;
}

std::string ScanSink::last_status() const {
    std::lock_guard<std::mutex> lk(mu_);
    return statuses_.empty() ? std::string() : statuses_.back();
}

size_t ScanSink::advert_count() const {
    std::lock_guard<std::mutex> lk(mu_);
    return adverts_.size();
}

std::vector<OVK_ADVERT> ScanSink::adverts() const {
    std::lock_guard<std::mutex> lk(mu_);
    return adverts_;
}

void ScanSink::clear() {
    std::lock_guard<std::mutex> lk(mu_);
    adverts_.clear();
    statuses_.clear();
}

bool ScanSink::wait(const std::function<bool(const ScanSink&)>& pred, int ms) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (pred(*this)) return true;
        if (std::chrono::steady_clock::now() >= until) return pred(*this);
        // short slices: a notification between the check and the wait is never lost for long
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait_for(lk, std::chrono::milliseconds(20));
    }
}

bool ScanSink::wait_status(const std::string& text, int ms) const {
    return wait([&](const ScanSink& s) { return s.status_seen(text) > 0; }, ms);
}

bool ScanSink::wait_status_prefix(const std::string& prefix, int ms) const {
    return wait(
        [&](const ScanSink& s) {
            const auto all = s.statuses();
            return std::any_of(all.begin(), all.end(),
                               [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
        },
        ms);
}

bool ScanSink::wait_adverts(size_t n, int ms) const {
    return wait([&](const ScanSink& s) { return s.advert_count() >= n; }, ms);
}

int ScanSink::status_seen(const std::string& text) const {
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(std::count(statuses_.begin(), statuses_.end(), text));
}
