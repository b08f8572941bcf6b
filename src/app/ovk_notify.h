// SPDX-License-Identifier: GPL-3.0-or-later
// Alerts where people are: each alert POSTed to the address of the preference notify_url,
// as JSON (the fields of ovk_fleetmsg_alert_json) or, with notify_format "text", as plain
// text that push services such as ntfy show as a notification. One worker thread sends them
// from a bounded queue (the oldest waiting is dropped past 64), tries each up to 5 times with
// a growing pause (1, 2, 4, 8 s) and sends at most one per device per re-alert window.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_pipeline.h"

inline constexpr size_t OVK_NOTIFY_QUEUE_MAX = 64;
inline constexpr int OVK_NOTIFY_TRIES = 5;

// The HTTP POST the worker uses: the HTTP status (0 when nothing arrived).
using OVK_NOTIFY_POST = std::function<int(const std::string& url, std::string_view body,
                                          std::string_view content_type)>;

struct OVK_NOTIFY_OPTS {
    std::string url;
    bool text = false;              // plain text instead of JSON
    int64_t window_ms = 300000;     // at most one POST per device in this time
    int64_t first_retry_ms = 1000;  // pause before the first retry; doubled each time
};

// Starts the worker. 0 / -1 (an address that is not http or https). A second start stops the
// first.
int ovk_notify_start(const OVK_NOTIFY_OPTS& opts, OVK_NOTIFY_POST post);
// Stops the worker; what still waits is dropped (logged).
void ovk_notify_stop();
// Queues an alert (any thread; nothing when not started or within the device's window).
void ovk_notify_alert(const OVK_UI_ALERT& a);
// Alerts sent (answered with a 2xx status) and given up since the start.
uint64_t ovk_notify_sent();
uint64_t ovk_notify_failed();
