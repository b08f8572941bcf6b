// SPDX-License-Identifier: GPL-3.0-or-later
// HTTP client over libcurl.
#include "ovk_linux_http.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "zq_log.h"

namespace {

// The growing response body: std::string keeps it zero-terminated.
struct HttpBuf {
    std::string data;
    size_t cap = 0;                  // bytes reserved, terminator included
    size_t max = OVK_HTTP_MAX_BODY;  // body plus terminator must stay below or at it
    bool overflow = false;
};

// Capacity for a body that must hold `need` bytes with its terminator: the first
// allocation is 16 KiB (or 32 KiB doubled until it fits), later ones double.
size_t grow_to(size_t cap, size_t need) {
    if (cap == 0) {
        if (need <= 16384) return 16384;
        cap = 32768;
    }
    while (cap < need) cap *= 2;
    return cap;
}

size_t on_body(char* ptr, size_t size, size_t nmemb, void* user) {
    auto* b = static_cast<HttpBuf*>(user);
    const size_t n = size * nmemb;
    const size_t need = b->data.size() + n + 1;
    if (need > b->max) {
        b->overflow = true;
        return 0;  // anything but n aborts the transfer
    }
    if (need > b->cap) {
        const size_t want = grow_to(b->cap, need);
        try {
            b->data.reserve(want - 1);
        } catch (const std::exception&) {
            zq_log(LOG_ERR, "http: out of memory (%zu bytes)", want);
            return 0;
        }
        b->cap = want;
    }
    b->data.append(ptr, n);  // within the reserved capacity: cannot throw
    return n;
}

// Moved on by ovk_linux_http_cancel_all; a transfer that sees another value than the one
// it started with gives up.
std::atomic<unsigned> g_cancel_serial{0};

// Per thread: failures logged at debug level only, and the last failure's text.
thread_local bool t_quiet = false;
thread_local std::string t_last_error;

// A transfer failure: remembered for ovk_linux_http_last_error and logged.
void failed(const std::string& url, const char* why) {
    try {
        t_last_error = why;
    } catch (const std::exception&) {
        t_last_error.clear();
    }
    zq_log(t_quiet ? LOG_DEBUG : LOG_ERR, "http %s: %s", url.c_str(), why);
}

// libcurl calls this about once a second, also while it waits to connect or for an answer.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return *static_cast<const unsigned*>(user) != g_cancel_serial.load() ? 1 : 0;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

int ovk_linux_http_init() {
    return curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK ? 0 : -1;
}

void ovk_linux_http_cancel_all() {
    g_cancel_serial.fetch_add(1);
}

void ovk_linux_http_set_thread_quiet(bool quiet) {
    t_quiet = quiet;
}

std::string ovk_linux_http_last_error() {
    try {
        return t_last_error;
    } catch (const std::exception&) {
        return {};
    }
}

void ovk_linux_http_shutdown() {
    curl_global_cleanup();
}

OVK_HTTP_TIMEOUTS ovk_linux_http_timeouts(int timeout_s) {
    OVK_HTTP_TIMEOUTS t;
    t.total_s = timeout_s > 0 ? timeout_s : 30;
    t.connect_s = (t.total_s >= 1 && t.total_s <= 14) ? t.total_s : 15;
    return t;
}

std::optional<std::string> ovk_platform_http(const std::string& url,
                                             std::optional<std::string_view> post_body,
                                             std::optional<std::string_view> content_type,
                                             int timeout_s, int* status, OVK_HTTP_FAILURE* failure,
                                             size_t max_body) {
    if (status) *status = 0;
    if (failure) *failure = OVK_HTTP_FAILURE::Unreachable;
    t_last_error.clear();
    OVK_CHECK(!url.empty(), std::nullopt);
    try {
        std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
        if (!curl) {
            failed(url, "curl_easy_init failed");
            return std::nullopt;
        }
        CURL* c = curl.get();
        HttpBuf body;
        body.max = std::clamp<size_t>(max_body, 1, OVK_HTTP_MAX_BODY);
        char errbuf[CURL_ERROR_SIZE] = {0};
        const OVK_HTTP_TIMEOUTS t = ovk_linux_http_timeouts(timeout_s);

        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_USERAGENT, OVK_HTTP_USER_AGENT);
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(OVK_HTTP_MAX_REDIRECTS));
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(t.total_s));
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(t.connect_s));
        curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
        const unsigned serial = g_cancel_serial.load();
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &serial);
        // A declared length past the limit is refused before any of it arrives.
        curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(body.max - 1));

        std::unique_ptr<curl_slist, SlistDeleter> headers;
        std::string post;
        if (post_body) {
            post.assign(*post_body);
            std::string h = "Content-Type: ";
            h += content_type ? *content_type
                              : std::string_view("application/x-www-form-urlencoded");
            headers.reset(curl_slist_append(nullptr, h.c_str()));
            if (!headers) {
                zq_log(LOG_ERR, "http: out of memory (%zu bytes)", h.size());
                return std::nullopt;
            }
            curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, post.c_str());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.size()));
        }

        const CURLcode rc = curl_easy_perform(c);
        long code = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
        if (status) *status = static_cast<int>(code);
        if (rc != CURLE_OK) {
            failed(url, body.overflow ? "body too large"
                        : errbuf[0]   ? errbuf
                                      : curl_easy_strerror(rc));
            if (failure) {
                if (body.overflow || rc == CURLE_FILESIZE_EXCEEDED)
                    *failure = OVK_HTTP_FAILURE::TooLarge;
                else if (rc == CURLE_TOO_MANY_REDIRECTS)
                    *failure = OVK_HTTP_FAILURE::TooManyRedirects;
                else if (rc == CURLE_UNSUPPORTED_PROTOCOL)
                    *failure = OVK_HTTP_FAILURE::RefusedScheme;
                else if (rc == CURLE_OPERATION_TIMEDOUT)
                    *failure = OVK_HTTP_FAILURE::TimedOut;
            }
            return std::nullopt;
        }
        if (failure) *failure = OVK_HTTP_FAILURE::None;
        return std::optional<std::string>(std::move(body.data));
    } catch (const std::exception& e) {
        failed(url, e.what());
        return std::nullopt;
    }
}
