// SPDX-License-Identifier: GPL-3.0-or-later
// One blocking HTTP GET or POST through libcurl, returning the whole response body.
// Only http and https are spoken (redirects included), certificates and host names are
// verified, at most 5 redirects are followed and a body may not reach 64 MiB.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_http_failure.h"

inline constexpr size_t OVK_HTTP_MAX_BODY = 67108864;  // body plus terminator must stay within
inline constexpr const char* OVK_HTTP_USER_AGENT = "Orvik/0.2.0-trixie";
inline constexpr int OVK_HTTP_MAX_REDIRECTS = 5;

// Global libcurl set-up and tear-down, called by the platform layer's init and shutdown.
// 0 / -1.
int ovk_linux_http_init();
void ovk_linux_http_shutdown();

// Makes every transfer in progress fail within about a second, as a transfer failure;
// transfers started afterwards are not affected. For shutdowns that must not wait for a
// slow server (a map tile, a plate-camera download). Any thread.
void ovk_linux_http_cancel_all();

// The total and connect time-outs, in seconds, used for a requested time-out:
// 30 s total when `timeout_s` is 0 or less; connect time-out the total when it is
// 1..14 s, else 15 s.
struct OVK_HTTP_TIMEOUTS {
    int total_s = 0;
    int connect_s = 0;
};
OVK_HTTP_TIMEOUTS ovk_linux_http_timeouts(int timeout_s);

// The calling thread's transfer failures are logged at debug level only, for a caller that
// reports failures its own way (the map's tile downloader says once that its server fails,
// not once per tile). Off for every thread at first.
void ovk_linux_http_set_thread_quiet(bool quiet);
// Why the calling thread's last transfer failed ("Could not connect to server", "body too
// large"); "" when it did not fail.
std::string ovk_linux_http_last_error();

// Performs the request and returns the body (empty when nothing arrived), or nullopt on
// a transfer failure (refused connection, time-out, bad redirect, body too large...),
// which is logged and told in `*failure` (when given). A body may hold at most
// `max_body` - 1 bytes (and never OVK_HTTP_MAX_BODY or more). With `post_body` the request is a
// POST of that body with the given content type ("application/x-www-form-urlencoded" when absent),
// else a GET.
// `*status` (when given) receives the HTTP status, 0 when none arrived; an HTTP error
// status is not a failure. Any thread may call it.
std::optional<std::string> ovk_platform_http(const std::string& url,
                                             std::optional<std::string_view> post_body,
                                             std::optional<std::string_view> content_type,
                                             int timeout_s, int* status = nullptr,
                                             OVK_HTTP_FAILURE* failure = nullptr,
                                             size_t max_body = OVK_HTTP_MAX_BODY);
