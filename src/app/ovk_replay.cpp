// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_replay.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ovk_classify_io.h"
#include "zq_log.h"

namespace {

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------
// Readers
// ---------------------------------------------------------------------------------------

// A recording: one advert or fix per line.
class LINES final : public OVK_REPLAY_READER {
  public:
    explicit LINES(FILE* f) : f_(f) {}
    ~LINES() override { fclose(f_); }

    int next(OVK_REPLAY_ITEM& out) override {
        std::string line;
        bool too_long = false;
        while (read_line(line, too_long)) {
            ++line_no_;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') continue;
            if (too_long) {
                skip("longer than 1 MiB");
                continue;
            }
            std::string err;
            if (line.find("\"gps\"") != std::string::npos) {
                if (auto fix = ovk_classify_parse_fix(line, err)) {
                    out.advert.reset();
                    out.fix = *fix;
                    out.time = fix->time;
                    return 1;
                }
            }
            if (OVK_ADVERT_PTR a = ovk_classify_parse(line, err)) {
                out.time = a->timestamp;
                out.advert = std::move(a);
                return 1;
            }
            skip(err.c_str());
        }
        if (ferror(f_)) {
            error_ = std::string("read error: ") + strerror(errno);
            return -1;
        }
        return 0;
    }

  private:
    // Keeps at most OVK_REPLAY_LINE_MAX bytes of a line; false at the end of the file.
    bool read_line(std::string& line, bool& too_long) {
        line.clear();
        too_long = false;
        char buf[4096];
        bool any = false;
        while (fgets(buf, sizeof buf, f_)) {
            any = true;
            size_t n = strlen(buf);
            const bool end = n > 0 && buf[n - 1] == '\n';
            if (end) --n;
            if (line.size() + n <= OVK_REPLAY_LINE_MAX)
                line.append(buf, n);
            else
                too_long = true;
            if (end) return true;
        }
        return any;
    }

    void skip(const char* why) {
        if (skipped_++ == 0)
            zq_log(LOG_WARNING, "replay: line %ld passed over (%s); later ones are only counted",
                   line_no_, why);
    }

    FILE* f_;
    long line_no_ = 0;
};

// A capture file: the adverts of each frame in turn.
class FRAMES final : public OVK_REPLAY_READER {
  public:
    explicit FRAMES(OVK_REPLAY_CAPTURE c) : c_(std::move(c)) {}

    int next(OVK_REPLAY_ITEM& out) override {
        while (pending_.empty()) {
            std::vector<OVK_ADVERT_PTR> adverts;
            const int r = c_.next ? c_.next(adverts, error_) : 0;
            if (r <= 0) return r;
            if (adverts.empty()) ++skipped_;
            for (OVK_ADVERT_PTR& a : adverts)
                if (a) pending_.push_back(std::move(a));
        }
        out.advert = std::move(pending_.front());
        pending_.pop_front();
        out.time = out.advert->timestamp;
        return 1;
    }

  private:
    OVK_REPLAY_CAPTURE c_;
    std::deque<OVK_ADVERT_PTR> pending_;
};

// ---------------------------------------------------------------------------------------
// The feed
// ---------------------------------------------------------------------------------------

struct FEED {
    std::mutex mu;
    std::condition_variable cv;
    std::thread thread;
    bool started = false;
    bool quit = false;
    bool finished = false;
    std::string status;
    // Clock: item time `base_t` was played at wall time `base_w`.
    double speed = 1.0;
    bool clock_set = false;
    int64_t base_t = 0;
    int64_t base_w = 0;
    int64_t last_t = 0;
    std::atomic<long> adverts{0};
    std::atomic<long> fixes{0};
};

FEED& F() {
    static FEED f;
    return f;
}

int64_t clock_locked(const FEED& f, int64_t wall) {
    if (!f.clock_set) return wall;
    if (f.speed <= 0 && !f.finished) return f.last_t;
    const double rate = f.speed > 0 ? f.speed : 1.0;
    return f.base_t + static_cast<int64_t>(static_cast<double>(wall - f.base_w) * rate);
}

// Waits until the wall time `due` or a stop; false on stop.
bool wait_until(FEED& f, int64_t due) {
    std::unique_lock lk(f.mu);
    while (!f.quit) {
        const int64_t left = due - wall_ms();
        if (left <= 0) return true;
        f.cv.wait_for(lk, std::chrono::milliseconds(std::min<int64_t>(left, 100)));
    }
    return false;
}

bool stopping(FEED& f) {
    std::lock_guard lk(f.mu);
    return f.quit;
}

void deliver(FEED& f, OVK_REPLAY_ITEM& item, const OVK_REPLAY_OPTS& o, const OVK_SINK& sink) {
    {
        std::lock_guard lk(f.mu);
        if (item.time > 0) {
            f.last_t = item.time;
            if (o.speed <= 0) f.clock_set = true;
        }
    }
    if (item.advert) {
        if (sink.on_advert) sink.on_advert(std::move(item.advert));
        ++f.adverts;
    } else {
        if (sink.on_location) sink.on_location(item.fix);
        ++f.fixes;
    }
}

// At the recorded pace: each item waits for its time.
void play_paced(FEED& f, OVK_REPLAY_READER& reader, const OVK_REPLAY_OPTS& o,
                const OVK_SINK& sink) {
    OVK_REPLAY_ITEM item;
    bool first = true;
    while (!stopping(f) && reader.next(item) == 1) {
        const int64_t t = item.time;
        if (t > 0) {
            std::unique_lock lk(f.mu);
            const int64_t now = wall_ms();
            if (first || t - f.last_t > OVK_REPLAY_GAP_MS || t < f.last_t) {
                // Start, a long silence, or time going back: play this item right away (one
                // second after a silence) and count on from it.
                f.base_t = t;
                f.base_w = now + (first ? 0 : OVK_REPLAY_GAP_PLAYED_MS);
                f.clock_set = true;
            }
            const int64_t due =
                f.base_w + static_cast<int64_t>(static_cast<double>(t - f.base_t) / o.speed);
            lk.unlock();
            if (!wait_until(f, due)) return;
            first = false;
        }
        deliver(f, item, o, sink);
    }
}

// Flat out: items are read ahead in batches while the consumer works through its backlog,
// and a batch is handed over once the backlog leaves room for it.
void play_flat(FEED& f, OVK_REPLAY_READER& reader, const OVK_REPLAY_OPTS& o, const OVK_SINK& sink) {
    // The backlog never passes its bound: a batch fits in it.
    const size_t kBatch = static_cast<size_t>(std::clamp(o.backlog_max / 4, 1, 256));
    std::vector<OVK_REPLAY_ITEM> batch(kBatch);
    const int room = std::max(o.backlog_max - static_cast<int>(kBatch), 0);
    for (;;) {
        size_t n = 0;
        while (n < kBatch && reader.next(batch[n]) == 1) ++n;
        if (o.backlog)
            while (o.backlog() > room && !stopping(f))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (size_t i = 0; i < n; ++i) {
            if (stopping(f)) return;
            deliver(f, batch[i], o, sink);
        }
        if (n < kBatch) return;
    }
}

void run(std::unique_ptr<OVK_REPLAY_READER> reader, OVK_REPLAY_OPTS o, OVK_SINK sink) noexcept {
    FEED& f = F();
    try {
        if (o.speed > 0)
            play_paced(f, *reader, o, sink);
        else
            play_flat(f, *reader, o, sink);
        std::lock_guard lk(f.mu);
        if (f.quit) return;
        f.finished = true;
        // From here the clock runs on from the last item at the wall's pace.
        f.base_t = f.last_t;
        f.base_w = wall_ms();
        if (!reader->error().empty())
            f.status = "Replay: " + o.path + ": " + reader->error();
        else
            f.status = "Replay: " + o.path + " (finished: " + std::to_string(f.adverts.load()) +
                       " adverts, " + std::to_string(f.fixes.load()) + " fixes)";
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "replay: %s", e.what());
        std::lock_guard lk(f.mu);
        f.finished = true;
        f.status = "Replay: " + o.path + ": " + e.what();
    }
}

}  // namespace

std::unique_ptr<OVK_REPLAY_READER> OVK_REPLAY_READER::open(const std::string& path,
                                                           std::string& error,
                                                           const OVK_REPLAY_CAPTURE_OPEN& capture) {
    error.clear();
    if (capture) {
        std::optional<OVK_REPLAY_CAPTURE> c = capture(path, error);
        if (c) return std::make_unique<FRAMES>(std::move(*c));
        if (!error.empty()) return nullptr;
    }
    FILE* in = fopen(path.c_str(), "rbe");
    if (!in) {
        error = strerror(errno);
        return nullptr;
    }
    return std::make_unique<LINES>(in);
}

int ovk_replay_start(const OVK_REPLAY_OPTS& o, const OVK_SINK& sink) {
    ovk_replay_stop();
    FEED& f = F();
    std::string err;
    std::unique_ptr<OVK_REPLAY_READER> reader = OVK_REPLAY_READER::open(o.path, err, o.capture);
    std::lock_guard lk(f.mu);
    f.quit = false;
    f.finished = false;
    f.clock_set = false;
    f.speed = o.speed;
    f.last_t = 0;
    f.adverts = 0;
    f.fixes = 0;
    if (!reader) {
        f.status = "Replay: " + o.path + ": " + err;
        zq_log(LOG_ERR, "%s", f.status.c_str());
        return -1;
    }
    f.status = "Replay: " + o.path;
    try {
        f.thread = std::thread(run, std::move(reader), o, sink);
    } catch (const std::exception&) {
        f.status = "Replay: " + o.path + ": cannot start the replay thread";
        zq_log(LOG_ERR, "cannot start the replay thread");
        return -1;
    }
    f.started = true;
    return 0;
}

void ovk_replay_stop() {
    FEED& f = F();
    std::thread t;
    {
        std::lock_guard lk(f.mu);
        if (!f.started) return;
        f.quit = true;
        f.started = false;
        t = std::move(f.thread);
    }
    f.cv.notify_all();
    if (t.joinable()) t.join();
}

int ovk_replay_running() {
    FEED& f = F();
    std::lock_guard lk(f.mu);
    return f.started ? 1 : 0;
}

int ovk_replay_finished() {
    FEED& f = F();
    std::lock_guard lk(f.mu);
    return f.finished ? 1 : 0;
}

std::string ovk_replay_status() {
    FEED& f = F();
    std::lock_guard lk(f.mu);
    return f.status;
}

int64_t ovk_replay_clock() {
    FEED& f = F();
    const int64_t wall = wall_ms();
    std::lock_guard lk(f.mu);
    return clock_locked(f, wall);
}

long ovk_replay_adverts() {
    return F().adverts;
}

long ovk_replay_fixes() {
    return F().fixes;
}
