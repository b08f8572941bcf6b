// SPDX-License-Identifier: GPL-3.0-or-later
// The gpsd client.
//
// Index:
//   1. Report parsing (time, TPV) and line splitting
//   2. Module state and status
//   3. Connection
//   4. The client thread
//   5. Start, stop, status
#include "ovk_linux_gpsd.h"

#include <cjson/cJSON.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "ovk_util.h"
#include "zq_log.h"

// ---------------------------------------------------------------------------------------
// 1. Report parsing and line splitting
// ---------------------------------------------------------------------------------------

namespace {

// Reads 1..max_digits decimal digits at s[i]; advances i.
bool read_num(std::string_view s, size_t& i, int max_digits, int& out) {
    int v = 0, n = 0;
    while (i < s.size() && n < max_digits && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + (s[i] - '0');
        ++i;
        ++n;
    }
    out = v;
    return n > 0;
}

bool expect(std::string_view s, size_t& i, char c) {
    if (i >= s.size() || s[i] != c) return false;
    ++i;
    return true;
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// A finite number member, or nullopt (missing, not a number, NaN or infinite).
std::optional<double> number(const cJSON* obj, const char* key) {
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (!cJSON_IsNumber(v) || !std::isfinite(v->valuedouble)) return std::nullopt;
    return v->valuedouble;
}

}  // namespace

int64_t ovk_linux_gpsd_parse_time(std::string_view s) {
    size_t i = 0;
    int year, mon, day, hour, min, sec;
    if (!read_num(s, i, 4, year) || !expect(s, i, '-') || !read_num(s, i, 2, mon) ||
        !expect(s, i, '-') || !read_num(s, i, 2, day) || !expect(s, i, 'T') ||
        !read_num(s, i, 2, hour) || !expect(s, i, ':') || !read_num(s, i, 2, min) ||
        !expect(s, i, ':') || !read_num(s, i, 2, sec))
        return 0;
    if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59 || sec > 61) return 0;
    int ms = 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        int scale = 100;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            if (scale > 0) {
                ms += (s[i] - '0') * scale;
                scale /= 10;
            }
            ++i;
        }
    }
    const int64_t secs = days_from_civil(year, mon, day) * 86400 + hour * 3600 + min * 60 + sec;
    if (secs <= 0) return 0;
    return secs * 1000 + ms;
}

int ovk_linux_gpsd_parse_tpv(std::string_view line, OVK_LOCATION& out) {
    try {
        // cJSON wants a terminated text; the copy also keeps it inside our own buffer.
        const std::string text(line);
        JsonPtr root(cJSON_ParseWithLength(text.c_str(), text.size()), cJSON_Delete);
        if (!root || !cJSON_IsObject(root.get())) return 0;
        const cJSON* cls = cJSON_GetObjectItemCaseSensitive(root.get(), "class");
        if (!cJSON_IsString(cls) || !cls->valuestring || std::strcmp(cls->valuestring, "TPV") != 0)
            return 0;
        const auto mode = number(root.get(), "mode");
        if (!mode || *mode < 2) return 0;
        const auto lat = number(root.get(), "lat");
        const auto lon = number(root.get(), "lon");
        if (!lat || !lon) return 0;
        // Coordinates outside the globe would poison every distance computed from them.
        if (*lat < -90 || *lat > 90 || *lon < -180 || *lon > 180) return 0;

        OVK_LOCATION fix;
        fix.lat = *lat;
        fix.lon = *lon;
        if (const auto v = number(root.get(), "speed")) {
            fix.has_speed = 1;
            fix.speed_ms = *v;
        }
        if (const auto v = number(root.get(), "track")) {
            fix.has_bearing = 1;
            fix.bearing_deg = *v;
        }
        if (const auto v = number(root.get(), "eph")) {
            fix.has_accuracy = 1;
            fix.accuracy_m = *v;
        } else {
            const auto x = number(root.get(), "epx");
            const auto y = number(root.get(), "epy");
            if (x || y) {
                fix.has_accuracy = 1;
                fix.accuracy_m = (x && y) ? std::max(*x, *y) : (x ? *x : *y);
            }
        }
        int64_t t = 0;
        const cJSON* tv = cJSON_GetObjectItemCaseSensitive(root.get(), "time");
        if (cJSON_IsString(tv) && tv->valuestring) t = ovk_linux_gpsd_parse_time(tv->valuestring);
        fix.time = t > 0 ? t : ovk_linux_now_ms();
        out = fix;
        return 1;
    } catch (...) {
        return 0;
    }
}

size_t ovk_linux_gpsd_split(OVK_GPSD_LINES& lines, std::string_view data,
                            const std::function<void(std::string_view)>& on_line) {
    size_t delivered = 0;
    while (!data.empty()) {
        const size_t nl = data.find('\n');
        if (lines.skipping) {
            if (nl == std::string_view::npos) return delivered;
            lines.skipping = false;
            data.remove_prefix(nl + 1);
            continue;
        }
        if (nl == std::string_view::npos) {
            if (lines.tail.size() + data.size() >= OVK_GPSD_BUF_SIZE) {
                // The buffer is full without a line break: drop the line up to its end.
                lines.tail.clear();
                lines.skipping = true;
            } else {
                lines.tail.append(data);
            }
            return delivered;
        }
        const std::string_view piece = data.substr(0, nl);
        data.remove_prefix(nl + 1);
        if (lines.tail.size() + piece.size() + 1 > OVK_GPSD_BUF_SIZE) {
            lines.tail.clear();  // an overlong line, ended here
            continue;
        }
        ++delivered;
        if (lines.tail.empty()) {
            on_line(piece);
        } else {
            lines.tail.append(piece);
            on_line(lines.tail);
            lines.tail.clear();
        }
    }
    return delivered;
}

// ---------------------------------------------------------------------------------------
// 2. Module state and status
// ---------------------------------------------------------------------------------------

namespace {

struct GpsdState {
    std::mutex run_mu;  // serialises start and stop
    std::thread thread;
    bool started = false;
    std::atomic<bool> stop{false};
    std::mutex wait_mu;  // with wake: lets stop cut a retry wait short
    std::condition_variable wake;

    // Written by start before the thread exists, read only by the thread.
    std::string host = "localhost";
    int port = OVK_GPSD_DEFAULT_PORT;
    bool fast = false;

    std::mutex status_mu;
    std::string status = "GPS: stopped";
};

GpsdState& state() {
    static GpsdState s;
    return s;
}

// Stores the status and emits it, only when it changed.
void set_status(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void set_status(const char* fmt, ...) {
    char buf[OVK_GPSD_STATUS_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    const std::string_view text(buf, std::min(static_cast<size_t>(n), OVK_GPSD_STATUS_MAX));
    GpsdState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.status_mu);
        if (s.status == text) return;
        s.status = text;
    }
    ovk_linux_emit_status(text);
}

bool stopping() {
    return state().stop.load();
}

// Waits up to `ms`, returning early (true) when the stop flag is set.
bool wait_or_stop(int ms) {
    GpsdState& s = state();
    std::unique_lock<std::mutex> lock(s.wait_mu);
    return s.wake.wait_for(lock, std::chrono::milliseconds(ms), [&s] { return s.stop.load(); });
}

// ---------------------------------------------------------------------------------------
// 3. Connection
// ---------------------------------------------------------------------------------------

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

constexpr int kConnectWaitMs = 2000;
constexpr int kPollMs = 250;

// Connects a non-blocking socket to `ai`, waiting at most 2 s (in steps that watch the
// stop flag). The connected descriptor, or -1.
int connect_one(const addrinfo* ai) {
    Fd fd(socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
    if (fd.get() < 0) return -1;
    if (connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return -1;
        int waited = 0;
        for (;;) {
            if (stopping() || waited >= kConnectWaitMs) return -1;
            pollfd p{fd.get(), POLLOUT, 0};
            const int step = std::min(kPollMs, kConnectWaitMs - waited);
            const int r = poll(&p, 1, step);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            if (r > 0) break;
            waited += step;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return -1;
    }
    return fd.release();
}

// Sends all of `data` without raising SIGPIPE. 0, or an errno value.
int send_all(int fd, std::string_view data) {
    size_t off = 0;
    int waited = 0;
    while (off < data.size()) {
        const ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n >= 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        if (waited >= kConnectWaitMs || stopping()) return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, kPollMs);
        waited += kPollMs;
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 4. The client thread
// ---------------------------------------------------------------------------------------

namespace {

constexpr std::string_view kWatch = "?WATCH={\"enable\":true,\"json\":true};\n";
static_assert(kWatch.size() == 36);

// Resolves and connects; -1 when no address answered (the status says so).
int open_connection(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &res) != 0 || !res) {
        if (res) freeaddrinfo(res);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(res, freeaddrinfo);
    for (const addrinfo* ai = list.get(); ai && !stopping(); ai = ai->ai_next) {
        const int fd = connect_one(ai);
        if (fd >= 0) return fd;
    }
    return -1;
}

// One connection's read loop, until the peer goes away, an error or the stop flag.
void read_reports(int fd, bool fast) {
    set_status("GPS gpsd: waiting for a fix");
    bool have_fix = false;
    int64_t last_fix = 0;
    bool emitted = false;
    int64_t last_emit = 0;
    OVK_GPSD_LINES lines;
    std::vector<char> chunk(OVK_GPSD_BUF_SIZE);

    const std::function<void(std::string_view)> on_line = [&](std::string_view line) {
        OVK_LOCATION fix;
        if (!ovk_linux_gpsd_parse_tpv(line, fix)) return;
        const int64_t now = ovk_linux_mono_ms();
        last_fix = now;
        if (!have_fix) {
            have_fix = true;
            set_status("GPS gpsd: fix");
        }
        if (fast || !emitted || now - last_emit >= OVK_GPSD_PACE_MS) {
            emitted = true;
            last_emit = now;
            ovk_linux_emit_location(fix);
        }
    };

    while (!stopping()) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, kPollMs);
        const int poll_errno = errno;
        if (have_fix && ovk_linux_mono_ms() - last_fix > OVK_GPSD_FIX_TIMEOUT_MS) {
            have_fix = false;
            set_status("GPS gpsd: fix lost");
        }
        if (r < 0) {
            if (poll_errno == EINTR) continue;
            return;
        }
        if (r == 0) continue;
        const ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return;
        }
        ovk_linux_gpsd_split(lines, std::string_view(chunk.data(), static_cast<size_t>(n)),
                             on_line);
    }
}

void client_main() {
    GpsdState& s = state();
    const std::string host = s.host;
    const int port = s.port;
    const bool fast = s.fast;
    while (!stopping()) {
        Fd fd(open_connection(host, port));
        if (fd.get() < 0) {
            if (stopping()) break;
            set_status("GPS: gpsd not running (%s:%d)", host.c_str(), port);
            wait_or_stop(OVK_GPSD_RETRY_MS);
            continue;
        }
        if (const int e = send_all(fd.get(), kWatch); e != 0) {
            fd.reset();
            if (stopping()) break;
            set_status("GPS: gpsd connection failed: %s", ovk_errno_text(e).c_str());
            wait_or_stop(OVK_GPSD_RETRY_MS);
            continue;
        }
        read_reports(fd.get(), fast);
        fd.reset();
        if (stopping()) break;
        set_status("GPS: gpsd connection lost (%s:%d)", host.c_str(), port);
        wait_or_stop(OVK_GPSD_RETRY_MS);
    }
}

void client_thread() {
    try {
        client_main();
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, OVK_GPSD_BUF_SIZE + 1, buf);
        set_status("GPS: out of memory");
    } catch (...) {
        zq_log(LOG_ERR, "GPS client ended by an unexpected error");
    }
}

void stop_locked(GpsdState& s) {
    if (!s.started) return;
    if (s.thread.get_id() == std::this_thread::get_id()) {
        // Called from a sink callback on the client's own thread: it cannot join itself.
        // The flag ends the thread; the next start or stop joins it.
        s.stop = true;
        zq_log(LOG_ERR, "GPS client stop requested from its own thread");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s.wait_mu);
        s.stop = true;
    }
    s.wake.notify_all();
    if (s.thread.joinable()) s.thread.join();
    s.started = false;
    set_status("GPS: stopped");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 5. Start, stop, status
// ---------------------------------------------------------------------------------------

int ovk_linux_gpsd_start(const OVK_SCAN_OPTS& opts) {
    GpsdState& s = state();
    std::lock_guard<std::mutex> lock(s.run_mu);
    try {
        stop_locked(s);
        if (s.started) return -1;  // still running: asked from its own thread
        s.host = opts.gpsd_host.empty() ? std::string("localhost") : opts.gpsd_host.substr(0, 63);
        s.port = (opts.gpsd_port >= 1 && opts.gpsd_port <= 65535) ? opts.gpsd_port
                                                                  : OVK_GPSD_DEFAULT_PORT;
        s.fast = opts.location_fast != 0;
        s.stop = false;
        set_status("GPS: connecting to gpsd");
        s.thread = std::thread(client_thread);
        s.started = true;
        return 0;
    } catch (...) {
        set_status("GPS: cannot start the gpsd thread");
        return -1;
    }
}

void ovk_linux_gpsd_stop() {
    GpsdState& s = state();
    try {
        std::lock_guard<std::mutex> lock(s.run_mu);
        stop_locked(s);
    } catch (...) {
        zq_log(LOG_ERR, "GPS client: stop failed");
    }
}

std::string ovk_linux_gpsd_status() {
    GpsdState& s = state();
    try {
        std::lock_guard<std::mutex> lock(s.status_mu);
        return s.status;
    } catch (...) {
        return {};
    }
}
