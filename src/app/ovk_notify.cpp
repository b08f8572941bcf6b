// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_notify.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "ovk_app_util.h"
#include "ovk_fleetmsg.h"
#include "zq_log.h"

namespace {

struct JOB {
    std::string body;
    int tries = 0;
    int64_t due = 0;  // not before (ms, steady clock)
};

struct NOTIFY {
    std::mutex mu;
    std::condition_variable cv;
    bool started = false;
    bool quit = false;
    OVK_NOTIFY_OPTS opts;
    OVK_NOTIFY_POST post;
    std::deque<JOB> queue;
    std::map<std::string, int64_t> last_sent;  // device key -> alert time
    uint64_t sent = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;
    std::thread th;
};

NOTIFY& N() {
    static NOTIFY* n = new NOTIFY;
    return *n;
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void worker() {
    NOTIFY& n = N();
    for (;;) {
        JOB job;
        std::string url;
        bool text = false;
        {
            std::unique_lock<std::mutex> lock(n.mu);
            for (;;) {
                if (n.quit) return;
                if (!n.queue.empty()) {
                    const int64_t wait = n.queue.front().due - steady_ms();
                    if (wait <= 0) break;
                    n.cv.wait_for(lock, std::chrono::milliseconds(wait));
                } else {
                    n.cv.wait(lock);
                }
            }
            job = std::move(n.queue.front());
            n.queue.pop_front();
            url = n.opts.url;
            text = n.opts.text;
        }
        const int status =
            n.post(url, job.body, text ? "text/plain; charset=utf-8" : "application/json");
        std::lock_guard<std::mutex> lock(n.mu);
        if (status >= 200 && status < 300) {
            ++n.sent;
            continue;
        }
        ++job.tries;
        if (job.tries >= OVK_NOTIFY_TRIES || n.quit) {
            ++n.failed;
            zq_log(LOG_WARNING, "notify: gave up an alert after %d tries (last answer %d)",
                   job.tries, status);
            continue;
        }
        // Back to the front, after a pause that doubles with each try.
        job.due = steady_ms() + (n.opts.first_retry_ms << (job.tries - 1));
        n.queue.push_front(std::move(job));
    }
}

}  // namespace

int ovk_notify_start(const OVK_NOTIFY_OPTS& opts, OVK_NOTIFY_POST post) {
    ovk_notify_stop();
    if (!post || !(opts.url.starts_with("http://") || opts.url.starts_with("https://"))) {
        zq_log(LOG_ERR, "notify: notify_url must be an http:// or https:// address");
        return -1;
    }
    NOTIFY& n = N();
    try {
        {
            std::lock_guard<std::mutex> lock(n.mu);
            n.opts = opts;
            n.post = std::move(post);
            n.quit = false;
            n.queue.clear();
            n.last_sent.clear();
            n.sent = n.failed = n.dropped = 0;
            n.started = true;
        }
        n.th = std::thread([] {
            try {
                worker();
            } catch (...) {
                zq_log(LOG_ERR, "notify: the worker stopped on an error");
            }
        });
        return 0;
    } catch (...) {
        std::lock_guard<std::mutex> lock(n.mu);
        n.started = false;
        return -1;
    }
}

void ovk_notify_stop() {
    NOTIFY& n = N();
    {
        std::lock_guard<std::mutex> lock(n.mu);
        if (!n.started) return;
        n.quit = true;
    }
    n.cv.notify_all();
    if (n.th.joinable()) n.th.join();
    std::lock_guard<std::mutex> lock(n.mu);
    if (!n.queue.empty())
        zq_log(LOG_WARNING, "notify: %zu alerts not sent at shutdown", n.queue.size());
    n.queue.clear();
    n.started = false;
}

void ovk_notify_alert(const OVK_UI_ALERT& a) {
    NOTIFY& n = N();
    try {
        const OVK_FLEET_ALERT f = ovk_fleetmsg_alert_of(a);
        std::lock_guard<std::mutex> lock(n.mu);
        if (!n.started) return;
        const std::string& device = a.key;  // a fleet alert's key names its sensor too
        auto it = n.last_sent.find(device);
        if (it != n.last_sent.end() && a.time - it->second < n.opts.window_ms &&
            a.time >= it->second)
            return;
        if (n.last_sent.size() > 10000) n.last_sent.clear();
        n.last_sent[device] = a.time;
        JOB job;
        job.body = n.opts.text ? ovk_fleetmsg_alert_text(f) : ovk_fleetmsg_alert_json(f);
        if (job.body.empty()) return;
        n.queue.push_back(std::move(job));
        while (n.queue.size() > OVK_NOTIFY_QUEUE_MAX) {
            n.queue.pop_front();
            if (n.dropped++ % 64 == 0)
                zq_log(LOG_WARNING, "notify: too many alerts waiting; the oldest were dropped");
        }
    } catch (...) {
        return;
    }
    n.cv.notify_all();
}

uint64_t ovk_notify_sent() {
    NOTIFY& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    return n.sent;
}

uint64_t ovk_notify_failed() {
    NOTIFY& n = N();
    std::lock_guard<std::mutex> lock(n.mu);
    return n.failed;
}
