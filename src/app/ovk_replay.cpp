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
#include "zq_fs.h"
#include "zq_log.h"

namespace {

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------
// The file: a descriptor whose waits a stop interrupts
// ---------------------------------------------------------------------------------------

// The file's bytes, the first ones (`head`, read to tell the formats apart) given again
// before the rest. A pipe or FIFO is read without blocking: each wait for data is a poll
// that looks at the stop flag between rounds.
struct SOURCE {
    int fd = -1;
    std::string head;
    size_t at = 0;
    const std::atomic<bool>* stop = nullptr;
    bool stream = false;  // a pipe, FIFO or socket: data comes when it comes
    bool stopped = false;

    SOURCE() = default;
    SOURCE(const SOURCE&) = delete;
    SOURCE& operator=(const SOURCE&) = delete;
    ~SOURCE() {
        if (fd >= 0) zq_fs_close(fd);
    }

    // Bytes read from the descriptor; 0 at the end; -1 on an error or a stop (errno set).
    ssize_t read_fd(char* buf, size_t size) {
        for (;;) {
            if (stop && stop->load()) {
                stopped = true;
                errno = EINTR;
                return -1;
            }
            if (stream) {
                // Read only once poll says so: a FIFO that never had a writer reads as its end.
                const int r = zq_fs_wait_readable(fd, OVK_REPLAY_STOP_POLL_MS);
                if (r < 0) {
                    errno = -r;
                    return -1;
                }
                if (r == 0) continue;
            }
            const int64_t n = zq_fs_read_some(fd, buf, size);
            if (n >= 0) return static_cast<ssize_t>(n);
            if (n != -EAGAIN && n != -EWOULDBLOCK) {
                errno = static_cast<int>(-n);
                return -1;
            }
        }
    }

    // Fills `head` with the first bytes: 4 tell every capture format but btsnoop, whose
    // magic "btsnoop\0" takes 8 (asked for only then, so a text pipe is not held up). False
    // on an error or a stop.
    bool read_head() {
        char buf[8];
        size_t n = 0;
        size_t want = 4;
        while (n < want) {
            const ssize_t r = read_fd(buf + n, want - n);
            if (r < 0) return false;
            if (r == 0) break;
            n += static_cast<size_t>(r);
            if (n == 4 && want == 4 && std::memcmp(buf, "btsn", 4) == 0) want = sizeof buf;
        }
        head.assign(buf, n);
        return true;
    }
};

ssize_t source_read(void* cookie, char* buf, size_t size) {
    auto* s = static_cast<SOURCE*>(cookie);
    if (s->at < s->head.size()) {
        const size_t n = std::min(size, s->head.size() - s->at);
        std::memcpy(buf, s->head.data() + s->at, n);
        s->at += n;
        return static_cast<ssize_t>(n);
    }
    return s->read_fd(buf, size);
}

int source_close(void* cookie) {
    delete static_cast<SOURCE*>(cookie);
    return 0;
}

// A stream over `src`, which it takes over (and frees, also on failure).
FILE* source_stream(std::unique_ptr<SOURCE> src) {
    cookie_io_functions_t io{};
    io.read = source_read;
    io.close = source_close;
    FILE* f = fopencookie(src.get(), "rb", io);
    if (f) (void)src.release();
    return f;
}

// Why a file of this kind cannot be replayed; "" when it can (a regular file, a pipe or a
// FIFO, a socket).
std::string refused_kind(ZQ_FS_KIND kind) {
    if (kind == ZQ_FS_KIND::Dir) return "is a directory, not a recording or a capture";
    if (kind == ZQ_FS_KIND::Device)
        return "is a device, not a recording or a capture (a pipe or a FIFO can be replayed)";
    return {};
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
        if (done_) return error_.empty() ? 0 : -1;
        std::string line;
        bool too_long = false;
        while (read_line(line, too_long)) {
            ++line_no_;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') continue;
            if (too_long) {
                if (!skip("longer than 1 MiB")) return junk();
                continue;
            }
            std::string err;
            if (line.find("\"gps\"") != std::string::npos) {
                if (auto fix = ovk_classify_parse_fix(line, err)) {
                    out.advert.reset();
                    out.fix = *fix;
                    out.time = fix->time;
                    ++items_;
                    return 1;
                }
            }
            if (OVK_ADVERT_PTR a = ovk_classify_parse(line, err)) {
                out.time = a->timestamp;
                out.advert = std::move(a);
                ++items_;
                return 1;
            }
            if (!skip(err.c_str())) return junk();
        }
        done_ = true;
        if (ferror(f_)) {
            error_ = errno == EINTR ? std::string("stopped")
                                    : std::string("read error: ") + strerror(errno);
            return -1;
        }
        // Text with nothing usable in it (a photo, a log of another program) is no recording.
        if (items_ == 0 && skipped_ > 0) return junk();
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

    // Counts a line passed over; false once so many came before any usable one that the
    // file cannot be a recording.
    bool skip(const char* why) {
        if (skipped_++ == 0)
            zq_log(LOG_WARNING, "replay: line %ld passed over (%s); later ones are only counted",
                   line_no_, why);
        return items_ > 0 || skipped_ < OVK_REPLAY_JUNK_MAX;
    }

    int junk() {
        done_ = true;
        error_ = "not a recording or a capture (" +
                 std::string(skipped_ >= OVK_REPLAY_JUNK_MAX ? "the first " : "") +
                 std::to_string(skipped_) + (skipped_ == 1 ? " line holds" : " lines hold") +
                 " no advert or GPS fix)";
        return -1;
    }

    FILE* f_;
    long line_no_ = 0;
    long items_ = 0;
    bool done_ = false;
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

// The reader for a source whose head has been read: a capture when `capture` takes it, else
// a recording. nullptr with `error` set when it cannot be read.
std::unique_ptr<OVK_REPLAY_READER> reader_for(std::unique_ptr<SOURCE> src,
                                              const OVK_REPLAY_CAPTURE_OPEN& capture,
                                              std::string& error) {
    const std::string head = src->head;
    FILE* in = source_stream(std::move(src));
    if (!in) {
        error = strerror(errno);
        return nullptr;
    }
    if (capture) {
        std::optional<OVK_REPLAY_CAPTURE> c = capture(head, in, error);
        if (c) return std::make_unique<FRAMES>(std::move(*c));
        if (!error.empty()) return nullptr;  // the capture reader closed `in`
    }
    return std::make_unique<LINES>(in);
}

// A pipe or a FIFO: its first bytes may be long in coming (no writer yet, an idle one), so
// the kind of file is told on the first next(), where a stop can cut the wait short.
class STREAM final : public OVK_REPLAY_READER {
  public:
    STREAM(std::unique_ptr<SOURCE> src, OVK_REPLAY_CAPTURE_OPEN capture)
        : src_(std::move(src)), capture_(std::move(capture)) {
        live_ = true;
    }

    int next(OVK_REPLAY_ITEM& out) override {
        if (!inner_) {
            if (!error_.empty()) return -1;
            if (!src_->read_head()) {
                error_ = src_->stopped ? std::string("stopped")
                                       : std::string("read error: ") + strerror(errno);
                return -1;
            }
            inner_ = reader_for(std::move(src_), capture_, error_);
            if (!inner_) return -1;
        }
        const int r = inner_->next(out);
        error_ = inner_->error();
        skipped_ = inner_->skipped();
        return r;
    }

  private:
    std::unique_ptr<SOURCE> src_;
    OVK_REPLAY_CAPTURE_OPEN capture_;
    std::unique_ptr<OVK_REPLAY_READER> inner_;
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
    std::string error;  // why the file was not played to its end
    // Set by a stop: cuts short a wait for data in the reader (a pipe with an idle writer).
    std::atomic<bool> halt{false};
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
    // The backlog never passes its bound: a batch fits in it. A live stream is handed over
    // item by item, as it comes.
    const size_t kBatch =
        reader.live() ? 1 : static_cast<size_t>(std::clamp(o.backlog_max / 4, 1, 256));
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
        f.error = reader->error();
        if (!f.error.empty())
            f.status = "Replay: " + o.path + ": " + f.error;
        else
            f.status = "Replay: " + o.path + " (finished: " + std::to_string(f.adverts.load()) +
                       " adverts, " + std::to_string(f.fixes.load()) + " fixes)";
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "replay: %s", e.what());
        std::lock_guard lk(f.mu);
        f.finished = true;
        f.error = e.what();
        f.status = "Replay: " + o.path + ": " + e.what();
    }
}

}  // namespace

std::unique_ptr<OVK_REPLAY_READER> OVK_REPLAY_READER::open(const std::string& path,
                                                           std::string& error,
                                                           const OVK_REPLAY_CAPTURE_OPEN& capture,
                                                           const std::atomic<bool>* stop) {
    try {
        error.clear();
        // Told before opening: opening a device may have effects of its own, and a FIFO
        // opened without O_NONBLOCK waits for a writer.
        ZQ_FS_STAT st;
        if (const int err = zq_fs_stat(path, st); err != 0) {
            error = strerror(err);
            return nullptr;
        }
        if (error = refused_kind(st.kind); !error.empty()) return nullptr;
        auto src = std::make_unique<SOURCE>();
        src->stop = stop;
        if (const int err = zq_fs_open_read(path, &src->fd, st); err != 0) {
            error = strerror(err);
            return nullptr;
        }
        // What was opened is what counts (the path may have been swapped meanwhile).
        if (error = refused_kind(st.kind); !error.empty()) return nullptr;
        if (st.kind != ZQ_FS_KIND::File) {
            src->stream = true;
            return std::make_unique<STREAM>(std::move(src), capture);
        }
        zq_fs_set_blocking(src->fd);
        if (!src->read_head()) {
            error = src->stopped ? std::string("stopped") : std::string(strerror(errno));
            return nullptr;
        }
        return reader_for(std::move(src), capture, error);
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return nullptr;
    }
}

int ovk_replay_start(const OVK_REPLAY_OPTS& o, const OVK_SINK& sink) {
    ovk_replay_stop();
    FEED& f = F();
    f.halt = false;
    std::string err;
    // Does not wait: a pipe or a FIFO is looked at on the feed's thread.
    std::unique_ptr<OVK_REPLAY_READER> reader =
        OVK_REPLAY_READER::open(o.path, err, o.capture, &f.halt);
    std::lock_guard lk(f.mu);
    f.quit = false;
    f.finished = false;
    f.error.clear();
    f.clock_set = false;
    f.speed = o.speed;
    f.last_t = 0;
    f.adverts = 0;
    f.fixes = 0;
    if (!reader) {
        f.error = err;
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
    f.halt = true;
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

std::string ovk_replay_error() {
    FEED& f = F();
    std::lock_guard lk(f.mu);
    return f.error;
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
