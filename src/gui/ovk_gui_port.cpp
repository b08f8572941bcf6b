// SPDX-License-Identifier: GPL-3.0-or-later
// The engine port (see the header).
#include "ovk_gui_port.h"

#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ovk_gui.h"
#include "ovk_store.h"
#include "ovk_trip.h"
#include "ovk_watchlist.h"
#include "zq_log.h"

namespace {

struct ASK {
    std::string name;
    OVK_PORT_MAKE make;
    bool quiet = false;
};

struct MADE {
    std::string name;
    std::any view;
    bool quiet = false;
};

// How much lower the worker runs than the interface (in nice steps).
constexpr int kLower = 5;

// One thread that carries out the jobs in order, then makes the views asked for, then frees
// what the interface handed back (freeing a large view takes as long as making it). Finished
// messages and views wait until the tick takes them.
class WORKER {
  public:
    ~WORKER() { stop(); }

    void post(OVK_PORT_TASK job) {
        {
            std::lock_guard lk(mu_);
            start_locked();
            jobs_.push_back(std::move(job));
        }
        cv_.notify_all();
    }

    void ask(std::string_view name, OVK_PORT_MAKE make, bool quiet) {
        {
            std::lock_guard lk(mu_);
            start_locked();
            for (ASK& a : asks_)
                if (a.name == name) {
                    a.make = std::move(make);
                    a.quiet = quiet;
                    return;
                }
            asks_.push_back(ASK{std::string(name), std::move(make), quiet});
        }
        cv_.notify_all();
    }

    // Frees `value` on the worker. Without a worker (it could not start) it is freed here.
    void discard(std::any value) {
        if (!value.has_value()) return;
        {
            std::lock_guard lk(mu_);
            if (!thread_.joinable() || quit_) return;  // `value` goes at the end of this call
            try {
                trash_.push_back(std::move(value));
            } catch (const std::exception&) {
                return;
            }
        }
        cv_.notify_all();
    }

    void take(std::vector<OVK_PORT_DONE>& messages, std::vector<MADE>& views) {
        std::lock_guard lk(mu_);
        messages.swap(messages_);
        views.swap(views_);
    }

    bool busy() {
        std::lock_guard lk(mu_);
        return busy_ || !jobs_.empty() || !asks_.empty() || !messages_.empty() || !views_.empty();
    }

    bool wait_idle(int timeout_ms) {
        std::unique_lock lk(mu_);
        return idle_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                 [this] { return !busy_ && jobs_.empty() && asks_.empty(); });
    }

    void stop() {
        {
            std::lock_guard lk(mu_);
            quit_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
        std::lock_guard lk(mu_);
        jobs_.clear();
        asks_.clear();
        messages_.clear();
        views_.clear();
        trash_.clear();
        busy_ = false;
    }

  private:
    void start_locked() {
        if (thread_.joinable()) return;
        quit_ = false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception& e) {
            zq_log(LOG_ERR, "interface: cannot start the engine port: %s", e.what());
        }
    }

    void run() {
        // The worker's work (a snapshot, an export) waits for the window's ticks, not the other
        // way round: on a busy machine with few cores a waking interface thread then gets a core
        // at once instead of queueing behind it.
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice + kLower);
        std::unique_lock lk(mu_);
        for (;;) {
            cv_.wait(lk, [this] {
                return quit_ || !jobs_.empty() || !asks_.empty() || !trash_.empty();
            });
            if (quit_) {
                // The window is closing: the changes asked for are still made (a whitelisting,
                // a setting clicked just before), though nobody is left to hear of them.
                std::deque<OVK_PORT_TASK> jobs;
                jobs.swap(jobs_);
                lk.unlock();
                for (OVK_PORT_TASK& j : jobs) {
                    try {
                        (void)j();
                    } catch (const std::exception& e) {
                        zq_log(LOG_ERR, "interface: a change failed: %s", e.what());
                    }
                }
                return;
            }
            std::deque<OVK_PORT_TASK> jobs;
            jobs.swap(jobs_);
            std::vector<ASK> asks;
            asks.swap(asks_);
            std::vector<std::any> trash;
            trash.swap(trash_);
            busy_ = true;
            lk.unlock();
            std::vector<OVK_PORT_DONE> said;
            std::vector<MADE> made;
            for (OVK_PORT_TASK& j : jobs) {
                try {
                    said.push_back(j());  // "" too: the tick learns that it is done
                } catch (const std::exception& e) {
                    zq_log(LOG_ERR, "interface: a change failed: %s", e.what());
                }
            }
            for (ASK& a : asks) {
                try {
                    made.push_back(MADE{std::move(a.name), a.make(), a.quiet});
                } catch (const std::exception& e) {
                    zq_log(LOG_ERR, "interface: a view could not be made: %s", e.what());
                }
            }
            trash.clear();
            lk.lock();
            try {
                for (OVK_PORT_DONE& m : said) messages_.push_back(std::move(m));
                for (MADE& m : made) views_.push_back(std::move(m));
            } catch (const std::exception&) {
                OVK_LOG_ALLOC_FAIL(MADE, views_.size() + 1, views);
            }
            busy_ = false;
            idle_cv_.notify_all();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_, idle_cv_;
    std::thread thread_;
    bool quit_ = false;
    bool busy_ = false;
    std::deque<OVK_PORT_TASK> jobs_;
    std::vector<ASK> asks_;
    std::vector<OVK_PORT_DONE> messages_;
    std::vector<MADE> views_;
    std::vector<std::any> trash_;
};

// The frame's side: the worker and the latest view of each name, as the tick put it in place.
struct PORT {
    WORKER worker;
    struct HELD {
        std::any view;
        uint64_t serial = 0;
    };
    std::map<std::string, HELD, std::less<>> views;
    // Serials are never reused, not even after a stop: a screen that remembers the serial it
    // showed never mistakes a new interface's first view for the one it had.
    uint64_t last_serial = 0;
    bool quiet_asks = false;  // every view asked now is quiet (ovk_port_quiet)
    bool jobs_done = false;   // the last tick took finished jobs
};

PORT& port() {
    static PORT p;
    return p;
}

}  // namespace

void ovk_port_post(OVK_GUI* g, OVK_PORT_JOB job) {
    OVK_CHECK(g && job);
    port().worker.post([job = std::move(job)] { return OVK_PORT_DONE{job(), {}}; });
}

void ovk_port_run(OVK_GUI* g, OVK_PORT_TASK task) {
    OVK_CHECK(g && task);
    port().worker.post(std::move(task));
}

void ovk_port_ask(OVK_GUI* g, std::string_view name, OVK_PORT_MAKE make, bool quiet) {
    OVK_CHECK(g && make);
    PORT& p = port();
    p.worker.ask(name, std::move(make), quiet || p.quiet_asks);
}

void ovk_port_quiet(OVK_GUI* g, bool on) {
    OVK_CHECK(g);
    port().quiet_asks = on;
}

bool ovk_port_jobs_done(const OVK_GUI* g) {
    OVK_CHECK(g, false);
    return port().jobs_done;
}

std::any ovk_port_take(OVK_GUI* g, std::string_view name) {
    OVK_CHECK(g, {});
    PORT& p = port();
    const auto it = p.views.find(name);
    if (it == p.views.end()) return {};
    std::any out;
    out.swap(it->second.view);
    return out;
}

void ovk_port_discard(OVK_GUI* g, std::any value) {
    OVK_CHECK(g);
    port().worker.discard(std::move(value));
}

const std::any* ovk_port_view(const OVK_GUI* g, std::string_view name) {
    OVK_CHECK(g, nullptr);
    const PORT& p = port();
    const auto it = p.views.find(name);
    return it == p.views.end() ? nullptr : &it->second.view;
}

uint64_t ovk_port_serial(const OVK_GUI* g, std::string_view name) {
    OVK_CHECK(g, 0);
    const PORT& p = port();
    const auto it = p.views.find(name);
    return it == p.views.end() ? 0 : it->second.serial;
}

bool ovk_port_arrived(const OVK_GUI* g, std::string_view name) {
    return ovk_port_view(g, name) != nullptr;
}

bool ovk_port_tick(OVK_GUI* g) {
    OVK_CHECK(g, false);
    PORT& p = port();
    std::vector<OVK_PORT_DONE> messages;
    std::vector<MADE> views;
    p.worker.take(messages, views);
    p.jobs_done = !messages.empty();
    bool woken = !messages.empty();
    try {
        for (MADE& m : views) {
            PORT::HELD& h = p.views[m.name];
            // The view replaced is freed on the worker, not here.
            p.worker.discard(std::exchange(h.view, std::move(m.view)));
            h.serial = ++p.last_serial;
            woken = woken || !m.quiet;
        }
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(PORT::HELD, p.views.size() + 1, views);
    }
    for (const OVK_PORT_DONE& m : messages) {
        if (m.then) {
            try {
                m.then(g);
            } catch (const std::exception& e) {
                zq_log(LOG_ERR, "interface: a change's follow-up failed: %s", e.what());
            }
        }
        if (!m.message.empty()) ovk_gui_message(g, "%s", m.message.c_str());
    }
    if (woken) g->redraw = true;
    return woken;
}

bool ovk_port_settle(OVK_GUI* g, int timeout_ms) {
    OVK_CHECK(g, false);
    const bool idle = port().worker.wait_idle(timeout_ms);
    ovk_port_tick(g);
    return idle;
}

bool ovk_port_busy(const OVK_GUI* g) {
    OVK_CHECK(g, false);
    return port().worker.busy();
}

void ovk_port_stop(OVK_GUI* g) {
    (void)g;
    PORT& p = port();
    p.worker.stop();
    p.views.clear();
    p.quiet_asks = p.jobs_done = false;
}

std::string ovk_port_whitelist_text(const std::string& mac, bool on, int rc) {
    std::string t =
        on ? mac + " whitelisted: it will never be flagged" : mac + " removed from the whitelist";
    if (rc != 0) t += " (for this session only: the whitelist could not be saved)";
    return t;
}

std::string ovk_port_favorite_text(bool on, int rc) {
    if (rc == 0) return {};
    return on ? "The favorite could not be saved to disk"
              : "The favorite could not be removed on disk";
}

void ovk_port_whitelist(OVK_GUI* g, const std::string& mac, bool on, const std::string& name) {
    ovk_port_post(g, [mac, on, name] {
        const int rc = on ? ovk_store_whitelist_add(mac, name) : ovk_store_whitelist_remove(mac);
        return ovk_port_whitelist_text(mac, on, rc);
    });
}

void ovk_port_favorite(OVK_GUI* g, const std::string& mac, bool on, const std::string& name,
                       const std::string& vendor, const std::string& type) {
    ovk_port_post(g, [mac, on, name, vendor, type] {
        return ovk_port_favorite_text(on,
                                      ovk_store_set_favorite(mac, on ? 1 : 0, name, vendor, type));
    });
}

std::string ovk_port_saved_text(int rc, std::string_view done) {
    std::string t(done.substr(0, OVK_MESSAGE_MAX));
    if (rc != 0) t += " (for this session only: it could not be saved to disk)";
    return t;
}

void ovk_port_watch(OVK_GUI* g, const OVK_OUI_ENTRY& e) {
    ovk_port_post(g, [e] {
        return ovk_port_saved_text(ovk_watchlist_add_custom(e),
                                   "Added " + e.prefix + " to the watchlist");
    });
}

void ovk_port_unwatch(OVK_GUI* g, const std::string& key) {
    ovk_port_post(g, [key] {
        return ovk_port_saved_text(ovk_watchlist_remove_custom(key),
                                   "Removed " + key + " from the watchlist");
    });
}

void ovk_port_clear_matches(OVK_GUI* g) {
    ovk_port_post(g, [] {
        return std::string(ovk_store_clear_detections() == 0
                               ? "Match history cleared"
                               : "Match history cleared for now, but its file could not be "
                                 "rewritten");
    });
}

void ovk_port_record_trace(OVK_GUI* g, std::function<void(OVK_GUI*, bool recording)> then) {
    ovk_port_run(g, [then = std::move(then)]() -> OVK_PORT_DONE {
        std::string text;
        if (ovk_trip_is_recording()) {
            ovk_trip_stop();
            text = "Trace saved - see Traces";
        } else {
            if (!ovk_scan_is_running()) ovk_scan_start();
            if (ovk_trip_start() < 0) {
                text = "Could not start recording a trace";
            } else {
                ovk_scan_refresh();
                text = "Recording a trace: your route and every device heard along it";
            }
        }
        OVK_PORT_DONE done{std::move(text), {}};
        if (then)
            done.then = [then, on = ovk_trip_is_recording() != 0](OVK_GUI* g) { then(g, on); };
        return done;
    });
}
