// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The gpsd client: report parsing and line splitting, then the client thread against a
// scripted fake gpsd on loopback and against Debian's gpsd fed by gpsfake.
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovk_linux_gpsd.h"
#include "ovk_platform.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string tpv(double lat, double lon, const std::string& extra = "",
                const std::string& time = "2024-05-01T12:00:00.000Z", int mode = 3) {
    char buf[512];
    snprintf(buf, sizeof buf,
             "{\"class\":\"TPV\",\"device\":\"/dev/ttyACM0\",\"mode\":%d,\"time\":\"%s\","
             "\"lat\":%.9f,\"lon\":%.9f%s}",
             mode, time.c_str(), lat, lon, extra.c_str());
    return buf;
}

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TPV parsing
// ---------------------------------------------------------------------------------------

TEST(TpvParse, UsableReportsOnly) {
    OVK_LOCATION f;
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(tpv(59.1, 18.2, "", "2024-05-01T12:00:00.000Z", 1), f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(tpv(59.1, 18.2, "", "2024-05-01T12:00:00.000Z", 0), f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","lat":1,"lon":2})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":"3","lat":1,"lon":2})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":3,"lat":1})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":3,"lat":1,"lon":"2"})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":3,"lat":null,"lon":2})", f), 0);
    // Other classes carry "lat"/"lon" too (GST errors): never a fix.
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"GST","mode":3,"lat":2.9,"lon":3.1})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"tpv","mode":3,"lat":1,"lon":2})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":3,"mode":3,"lat":1,"lon":2})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"mode":3,"lat":1,"lon":2})", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"([{"class":"TPV","mode":3,"lat":1,"lon":2}])", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv("", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv("\r", f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv("$GPRMC,120001.00,A,5919.75800,N", f), 0);
    // Impossible coordinates and non-finite numbers are not a position.
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(tpv(90.5, 18.0), f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(tpv(45.0, -180.5), f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":3,"lat":1e999,"lon":2})", f), 0);
    // The output is left alone by every refusal above.
    EXPECT_EQ(f.lat, 0);
    EXPECT_EQ(f.time, 0);

    // A 2D fix with both coordinates is enough; gpsd's "\r\n" ending does no harm.
    ASSERT_EQ(
        ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":2,"lat":-33.8567844,"lon":151.213108})"
                                 "\r",
                                 f),
        1);
    EXPECT_DOUBLE_EQ(f.lat, -33.8567844);
    EXPECT_DOUBLE_EQ(f.lon, 151.213108);
    EXPECT_EQ(f.has_speed, 0);
    EXPECT_EQ(f.has_bearing, 0);
    EXPECT_EQ(f.has_accuracy, 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(tpv(90, 180), f), 1);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(tpv(-90, -180), f), 1);
}

TEST(TpvParse, OptionalFieldsAndAccuracyRules) {
    OVK_LOCATION f;
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(
                  tpv(59.3293, 18.0686,
                      ",\"speed\":13.9,\"track\":45.5,\"eph\":7.25,\"epx\":20,\"epy\":30,"
                      "\"alt\":28.9"),
                  f),
              1);
    EXPECT_EQ(f.has_speed, 1);
    EXPECT_DOUBLE_EQ(f.speed_ms, 13.9);
    EXPECT_EQ(f.has_bearing, 1);
    EXPECT_DOUBLE_EQ(f.bearing_deg, 45.5);
    EXPECT_EQ(f.has_accuracy, 1);
    EXPECT_DOUBLE_EQ(f.accuracy_m, 7.25);  // eph wins

    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, ",\"epx\":4.5,\"epy\":3.0"), f), 1);
    EXPECT_DOUBLE_EQ(f.accuracy_m, 4.5);
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, ",\"epx\":2.0,\"epy\":3.5"), f), 1);
    EXPECT_DOUBLE_EQ(f.accuracy_m, 3.5);
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, ",\"epy\":6.0"), f), 1);
    EXPECT_EQ(f.has_accuracy, 1);
    EXPECT_DOUBLE_EQ(f.accuracy_m, 6.0);
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, ",\"epx\":\"x\",\"epy\":6.5"), f), 1);
    EXPECT_DOUBLE_EQ(f.accuracy_m, 6.5);
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, ",\"eph\":\"n/a\",\"epx\":1.5"), f), 1);
    EXPECT_DOUBLE_EQ(f.accuracy_m, 1.5);

    // Fields from a previous fix do not survive into the next one; an infinite number is
    // as good as absent.
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, ",\"speed\":1e999,\"track\":\"N\""), f), 1);
    EXPECT_EQ(f.has_speed, 0);
    EXPECT_EQ(f.has_bearing, 0);
    EXPECT_EQ(f.has_accuracy, 0);
    EXPECT_EQ(f.speed_ms, 0);
}

TEST(TpvParse, TimeRules) {
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00:00Z"), 1714564800000);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00:00.5Z"), 1714564800500);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00:00.05Z"), 1714564800050);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00:00.123456789Z"), 1714564800123);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00:00.999999Z"), 1714564800999);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00:00."), 1714564800000);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-02-29T23:59:59.000Z"), 1709251199000);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2000-03-01T00:00:00Z"), 951868800000);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2100-03-01T00:00:00Z"), 4107542400000);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("1970-01-01T00:00:01Z"), 1000);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("1970-01-01T00:00:00.500Z"), 0);  // not positive
    EXPECT_EQ(ovk_linux_gpsd_parse_time("1969-12-31T23:59:59Z"), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-13-01T12:00:00Z"), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01 12:00:00Z"), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T25:00:00Z"), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_time("2024-05-01T12:00"), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_time(""), 0);

    OVK_LOCATION f;
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, "", "2024-05-01T12:00:00.5Z"), f), 1);
    EXPECT_EQ(f.time, 1714564800500);
    // Without a usable time the fix is stamped with the wall clock.
    for (const char* bad : {"garbage", "1970-01-01T00:00:00Z", "2024-05-01"}) {
        const int64_t before = wall_ms();
        ASSERT_EQ(ovk_linux_gpsd_parse_tpv(tpv(1, 2, "", bad), f), 1);
        EXPECT_GE(f.time, before) << bad;
        EXPECT_LE(f.time, wall_ms()) << bad;
    }
    const int64_t before = wall_ms();
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(R"({"class":"TPV","mode":3,"lat":1,"lon":2,"time":7})", f),
              1);
    EXPECT_GE(f.time, before);
}

TEST(TpvParse, NeverReadsPastTheView) {
    // The view ends before the closing brace that the buffer behind it holds.
    const std::string whole = R"({"class":"TPV","mode":3,"lat":1,"lon":2})";
    OVK_LOCATION f;
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(std::string_view(whole).substr(0, whole.size() - 1), f), 0);
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(whole, f), 1);
    // A view cut inside a number must not see the digits that follow.
    const std::string num = R"({"class":"TPV","mode":3,"lat":1,"lon":23456})";
    const size_t cut = num.find("23456") + 1;
    std::string cut_line(num.substr(0, cut));
    cut_line += "}";
    EXPECT_EQ(ovk_linux_gpsd_parse_tpv(cut_line, f), 1);
    EXPECT_DOUBLE_EQ(f.lon, 2.0);
}

// ---------------------------------------------------------------------------------------
// Line splitting
// ---------------------------------------------------------------------------------------

namespace {
std::vector<std::string> split_all(OVK_GPSD_LINES& lb, std::string_view data) {
    std::vector<std::string> out;
    ovk_linux_gpsd_split(lb, data, [&out](std::string_view l) { out.emplace_back(l); });
    return out;
}
}  // namespace

TEST(LineSplit, SecondReportCutInTheMiddleWaitsForItsRemainder) {
    OVK_GPSD_LINES lb;
    const std::string a = tpv(1, 2), b = tpv(3, 4);
    const std::string chunk = a + "\r\n" + b.substr(0, 20);
    auto got = split_all(lb, chunk);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], a + "\r");
    EXPECT_EQ(lb.tail, b.substr(0, 20));
    got = split_all(lb, b.substr(20) + "\r\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], b + "\r");
    EXPECT_TRUE(lb.tail.empty());
}

TEST(LineSplit, ByteAtATimeGivesTheSameLines) {
    const std::string stream = "one\ntwo\n\nthree\r\nfour-without-end";
    OVK_GPSD_LINES whole, bytes;
    const auto expect = split_all(whole, stream);
    std::vector<std::string> got;
    for (char c : stream) {
        auto part = split_all(bytes, std::string_view(&c, 1));
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, expect);
    EXPECT_EQ(expect, (std::vector<std::string>{"one", "two", "", "three\r"}));
    EXPECT_EQ(bytes.tail, "four-without-end");
}

TEST(LineSplit, OverlongLinesAreDroppedWhole) {
    // The longest line kept is one byte short of the buffer (room for its "\n").
    const std::string max_line(OVK_GPSD_BUF_SIZE - 1, 'a');
    const std::string too_long(OVK_GPSD_BUF_SIZE, 'b');
    OVK_GPSD_LINES lb;
    auto got = split_all(lb, max_line + "\n" + too_long + "\nnext\n");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], max_line);
    EXPECT_EQ(got[1], "next");

    // Fed in pieces, a line that overflows the buffer is skipped up to its end: the end of
    // an oversized report is never taken for a report of its own.
    // Here the first OVK_GPSD_BUF_SIZE bytes are exactly the part before the inner report.
    OVK_GPSD_LINES lb2;
    const std::string head = R"({"class":"XYZ","pad":")", mid = R"(","inner":)";
    const std::string padding(OVK_GPSD_BUF_SIZE - head.size() - mid.size(), ' ');
    const std::string evil = head + padding + mid + tpv(10, 20) + "}";
    ASSERT_EQ(evil.find("{\"class\":\"TPV\""), OVK_GPSD_BUF_SIZE);
    std::vector<std::string> lines;
    for (size_t off = 0; off < evil.size(); off += 1000)
        for (auto& l : split_all(lb2, evil.substr(off, 1000))) lines.push_back(l);
    for (auto& l : split_all(lb2, "\n" + tpv(5, 6) + "\n")) lines.push_back(l);
    ASSERT_EQ(lines.size(), 1u);
    OVK_LOCATION f;
    ASSERT_EQ(ovk_linux_gpsd_parse_tpv(lines[0], f), 1);
    EXPECT_DOUBLE_EQ(f.lat, 5.0);
    EXPECT_LT(lb2.tail.size(), OVK_GPSD_BUF_SIZE);
}

// ---------------------------------------------------------------------------------------
// Test plumbing for the client thread: a sink that records, a scripted fake gpsd
// ---------------------------------------------------------------------------------------

namespace {

struct Fix {
    OVK_LOCATION loc;
    Clock::time_point at;
};

// Collects what the client hands to the sink.
class Recorder {
  public:
    Recorder() {
        OVK_SINK s;
        s.on_location = [this](const OVK_LOCATION& f) {
            std::lock_guard<std::mutex> l(mu_);
            fixes_.push_back({f, Clock::now()});
            cv_.notify_all();
        };
        s.on_status = [this](std::string_view t) {
            std::lock_guard<std::mutex> l(mu_);
            statuses_.emplace_back(std::string(t), Clock::now());
            cv_.notify_all();
        };
        ovk_platform_set_sink(&s);
    }
    ~Recorder() {
        ovk_linux_gpsd_stop();
        ovk_platform_set_sink(nullptr);
    }
    std::vector<Fix> fixes() {
        std::lock_guard<std::mutex> l(mu_);
        return fixes_;
    }
    std::vector<std::string> statuses() {
        std::lock_guard<std::mutex> l(mu_);
        std::vector<std::string> out;
        for (auto& s : statuses_) out.push_back(s.first);
        return out;
    }
    // Waits until at least `n` fixes arrived.
    bool wait_fixes(size_t n, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> l(mu_);
        return cv_.wait_for(l, limit, [&] { return fixes_.size() >= n; });
    }
    // Waits for a status equal to `text` emitted at index `from` or later; its time.
    std::optional<Clock::time_point> wait_status(const std::string& text, size_t from,
                                                 std::chrono::seconds limit) {
        std::unique_lock<std::mutex> l(mu_);
        std::optional<Clock::time_point> at;
        cv_.wait_for(l, limit, [&] {
            for (size_t i = from; i < statuses_.size(); ++i)
                if (statuses_[i].first == text) {
                    at = statuses_[i].second;
                    return true;
                }
            return false;
        });
        return at;
    }
    size_t status_count() {
        std::lock_guard<std::mutex> l(mu_);
        return statuses_.size();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Fix> fixes_;
    std::vector<std::pair<std::string, Clock::time_point>> statuses_;
};

// A gpsd stand-in on 127.0.0.1: each accepted connection reads the client's first line,
// then runs the script, then (unless the script asked to keep it) closes.
class FakeGpsd {
  public:
    struct Conn {
        int fd;
        const std::atomic<bool>* quit;
        bool send(std::string_view data) const {
            size_t off = 0;
            while (off < data.size()) {
                const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
                if (n <= 0) return false;
                off += static_cast<size_t>(n);
            }
            return true;
        }
        // Sleeps, returning false when the server is shutting down.
        bool pause(std::chrono::milliseconds d) const {
            const auto end = Clock::now() + d;
            while (Clock::now() < end) {
                if (quit->load()) return false;
                std::this_thread::sleep_for(10ms);
            }
            return !quit->load();
        }
    };
    using Script = std::function<void(const Conn&, int index)>;

    explicit FakeGpsd(Script script) : script_(std::move(script)) {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd_, 8) != 0)
            throw std::runtime_error("fake gpsd: cannot listen");
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeGpsd() {
        quit_ = true;
        thread_.join();
        close(lfd_);
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> l(mu_);
        return requests_;
    }
    std::vector<Clock::time_point> accepted() {
        std::lock_guard<std::mutex> l(mu_);
        return accepted_;
    }

  private:
    void serve() {
        int index = 0;
        while (!quit_) {
            pollfd p{lfd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            {
                std::lock_guard<std::mutex> l(mu_);
                accepted_.push_back(Clock::now());
            }
            // The client's request, up to its "\n" (or 2 s).
            std::string req;
            const auto end = Clock::now() + 2s;
            while (Clock::now() < end && req.find('\n') == std::string::npos) {
                pollfd q{fd, POLLIN, 0};
                if (poll(&q, 1, 50) <= 0) continue;
                char buf[256];
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                req.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard<std::mutex> l(mu_);
                requests_.push_back(req);
            }
            script_(Conn{fd, &quit_}, index++);
            close(fd);
        }
    }

    Script script_;
    int lfd_ = -1;
    int port_ = 0;
    std::atomic<bool> quit_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::string> requests_;
    std::vector<Clock::time_point> accepted_;
};

OVK_SCAN_OPTS opts_for(int port, bool fast, const std::string& host = "127.0.0.1") {
    OVK_SCAN_OPTS o;
    o.location = 1;
    o.location_fast = fast ? 1 : 0;
    o.gpsd_host = host;
    o.gpsd_port = port;
    return o;
}

// A port on loopback with nothing listening (bound once, then released).
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The client against a fake gpsd
// ---------------------------------------------------------------------------------------

TEST(GpsdClient, WatchRequestStatusesAndNoiseThatNeverDisturbs) {
    FakeGpsd server([](const FakeGpsd::Conn& c, int) {
        c.send(R"({"class":"VERSION","release":"3.22","proto_major":3,"proto_minor":14})"
               "\r\n");
        c.send(R"({"class":"DEVICES","devices":[{"class":"DEVICE","path":"/dev/ttyACM0"}]})"
               "\r\n");
        c.send(R"({"class":"WATCH","enable":true,"json":true})"
               "\r\n");
        c.send(tpv(1, 1, "", "2024-05-01T12:00:00.000Z", 1) + "\r\n");  // no fix yet
        c.send(std::string("\x01\x02\xff garbage \x00 line\r\n", 21));
        c.send(R"({"class":"SKY","lat":9,"lon":9,"mode":3})"
               "\r\n");
        c.send(R"({"class":"GST","lat":2.9,"lon":3.1})"
               "\r\n");
        c.pause(50ms);
        // A report cut in three sends.
        const std::string a =
            tpv(59.5, 18.25, ",\"speed\":3.5,\"track\":90,\"eph\":4.5", "2024-05-01T12:00:01.000Z");
        c.send(a.substr(0, 10));
        c.pause(50ms);
        c.send(a.substr(10, 30));
        c.pause(50ms);
        c.send(a.substr(40) + "\r\n{\"class\":\"TPV\",\"mo");
        c.pause(50ms);
        c.send("de\":3,\"lat\":not json}\r\n");
        c.send(std::string(20000, '{') + "\r\n");                 // overlong nesting
        c.send(std::string(OVK_GPSD_BUF_SIZE + 10, 'x') + "\n");  // overlong line
        c.send("{\"class\":\"TPV\"\n");                           // half a report
        c.send("\n\n\r\n");
        c.send(tpv(59.6, 18.35, ",\"epy\":6.5", "2024-05-01T12:00:02.250Z") + "\n" +
               tpv(59.7, 18.45, "", "2024-05-01T12:00:03.000Z") + "\n");
        c.pause(60s);
    });
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), true)), 0);
    ASSERT_TRUE(rec.wait_fixes(3, 30s));
    std::this_thread::sleep_for(300ms);
    const auto fixes = rec.fixes();
    ASSERT_EQ(fixes.size(), 3u);
    EXPECT_DOUBLE_EQ(fixes[0].loc.lat, 59.5);
    EXPECT_DOUBLE_EQ(fixes[0].loc.lon, 18.25);
    EXPECT_EQ(fixes[0].loc.has_speed, 1);
    EXPECT_DOUBLE_EQ(fixes[0].loc.speed_ms, 3.5);
    EXPECT_DOUBLE_EQ(fixes[0].loc.bearing_deg, 90);
    EXPECT_DOUBLE_EQ(fixes[0].loc.accuracy_m, 4.5);
    EXPECT_EQ(fixes[0].loc.time, 1714564801000);
    EXPECT_DOUBLE_EQ(fixes[1].loc.lat, 59.6);
    EXPECT_DOUBLE_EQ(fixes[1].loc.accuracy_m, 6.5);
    EXPECT_EQ(fixes[1].loc.time, 1714564802250);
    EXPECT_DOUBLE_EQ(fixes[2].loc.lat, 59.7);
    EXPECT_EQ(fixes[2].loc.has_accuracy, 0);

    const auto reqs = server.requests();
    ASSERT_GE(reqs.size(), 1u);
    EXPECT_EQ(reqs[0], "?WATCH={\"enable\":true,\"json\":true};\n");
    EXPECT_EQ(reqs[0].size(), 36u);
    const auto st = rec.statuses();
    const std::vector<std::string> want{"GPS: connecting to gpsd", "GPS gpsd: waiting for a fix",
                                        "GPS gpsd: fix"};
    ASSERT_GE(st.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(st.begin(), st.begin() + 3), want);
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS gpsd: fix");
    ovk_linux_gpsd_stop();
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");
    EXPECT_EQ(rec.statuses().back(), "GPS: stopped");
}

TEST(GpsdClient, PacingOnePerFiveSecondsUnlessFast) {
    // Reports every 200 ms for 11 s.
    auto script = [](const FakeGpsd::Conn& c, int) {
        for (int i = 0; i < 55; ++i) {
            char t[64];
            snprintf(t, sizeof t, "2024-05-01T12:%02d:%02d.000Z", i / 60, i % 60);
            if (!c.send(tpv(50 + i * 0.001, 8, "", t) + "\r\n")) return;
            if (!c.pause(200ms)) return;
        }
        c.pause(60s);
    };
    {
        FakeGpsd server(script);
        Recorder rec;
        ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), false)), 0);
        std::this_thread::sleep_for(12s);
        ovk_linux_gpsd_stop();
        const auto fixes = rec.fixes();
        // 11 s of reports: emitted at about 0, 5 and 10 s.
        ASSERT_GE(fixes.size(), 2u);
        EXPECT_LE(fixes.size(), 3u);
        EXPECT_EQ(fixes[0].loc.time, 1714564800000);  // the first report goes out at once
        for (size_t i = 1; i < fixes.size(); ++i) {
            EXPECT_GE(ms_between(fixes[i - 1].at, fixes[i].at), 4900.0);
            // The report after the 5 s mark is the one emitted (reports come every 200 ms).
            EXPECT_LE(ms_between(fixes[i - 1].at, fixes[i].at), 7500.0);
            EXPECT_GE(fixes[i].loc.time - fixes[i - 1].loc.time, 20000);
        }
    }
    {
        FakeGpsd server(script);
        Recorder rec;
        ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), true)), 0);
        ASSERT_TRUE(rec.wait_fixes(55, 40s));
        const auto fixes = rec.fixes();
        ASSERT_EQ(fixes.size(), 55u);
        for (size_t i = 1; i < fixes.size(); ++i)
            EXPECT_EQ(fixes[i].loc.time - fixes[i - 1].loc.time, 1000);
    }
}

TEST(GpsdClient, FixLostAfterTenSilentSecondsAndFoundAgain) {
    FakeGpsd server([](const FakeGpsd::Conn& c, int) {
        c.send(tpv(1, 2) + "\n");
        // Only sky reports for 13 s, then a fix again.
        for (int i = 0; i < 26; ++i) {
            if (!c.send(R"({"class":"SKY","satellites":[]})"
                        "\n"))
                return;
            if (!c.pause(500ms)) return;
        }
        c.send(tpv(3, 4) + "\n");
        c.pause(60s);
    });
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), true)), 0);
    ASSERT_TRUE(rec.wait_fixes(1, 30s));
    const auto first = rec.fixes()[0].at;
    const auto lost = rec.wait_status("GPS gpsd: fix lost", 0, 30s);
    ASSERT_TRUE(lost.has_value());
    EXPECT_GE(ms_between(first, *lost), 9900.0);
    EXPECT_LE(ms_between(first, *lost), 13000.0);
    const size_t after_lost = rec.status_count();
    ASSERT_TRUE(rec.wait_fixes(2, 30s));
    const auto again = rec.wait_status("GPS gpsd: fix", after_lost, 10s);
    EXPECT_TRUE(again.has_value());
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS gpsd: fix");
}

TEST(GpsdClient, ReconnectsTenSecondsAfterTheConnectionIsLost) {
    FakeGpsd server([](const FakeGpsd::Conn& c, int index) {
        c.send(tpv(index, 2) + "\n");
        if (index == 0) {
            c.pause(300ms);
            return;  // hang up
        }
        c.pause(60s);
    });
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), true)), 0);
    const std::string lost =
        "GPS: gpsd connection lost (127.0.0.1:" + std::to_string(server.port()) + ")";
    ASSERT_TRUE(rec.wait_status(lost, 0, 30s).has_value());
    ASSERT_TRUE(rec.wait_fixes(2, 40s));
    const auto acc = server.accepted();
    ASSERT_GE(acc.size(), 2u);
    EXPECT_GE(ms_between(acc[0], acc[1]), 9500.0);
    EXPECT_EQ(server.requests()[1], "?WATCH={\"enable\":true,\"json\":true};\n");
    const auto fixes = rec.fixes();
    EXPECT_DOUBLE_EQ(fixes[0].loc.lat, 0.0);
    EXPECT_DOUBLE_EQ(fixes[1].loc.lat, 1.0);
    // After the reconnection the client waits for a fix again before reporting one.
    const auto st = rec.statuses();
    const auto it = std::find(st.begin(), st.end(), lost);
    ASSERT_NE(it, st.end());
    EXPECT_NE(std::find(it, st.end(), "GPS gpsd: waiting for a fix"), st.end());
}

TEST(GpsdClient, NotRunningIsReportedAndStopIsPrompt) {
    const int port = free_port();
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(port, false)), 0);
    const std::string want = "GPS: gpsd not running (127.0.0.1:" + std::to_string(port) + ")";
    ASSERT_TRUE(rec.wait_status(want, 0, 20s).has_value());
    // Inside the 10 s retry wait, a stop ends the thread at once.
    const auto t0 = Clock::now();
    ovk_linux_gpsd_stop();
    EXPECT_LT(ms_between(t0, Clock::now()), 1000.0);
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");

    // An unresolvable host is "not running" too.
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(port, false, "no-such-host.invalid")), 0);
    EXPECT_TRUE(
        rec.wait_status("GPS: gpsd not running (no-such-host.invalid:" + std::to_string(port) + ")",
                        0, 30s)
            .has_value());
}

TEST(GpsdClient, DefaultHostAndPort) {
    Recorder rec;
    for (int port : {0, 70000, -1}) {
        OVK_SCAN_OPTS o = opts_for(port, false, "");
        const size_t from = rec.status_count();
        ASSERT_EQ(ovk_linux_gpsd_start(o), 0);
        // Whatever runs on 2947 here (usually nothing), the status names localhost:2947.
        const auto deadline = Clock::now() + 20s;
        std::string st;
        while (Clock::now() < deadline) {
            st = ovk_linux_gpsd_status();
            if (st != "GPS: connecting to gpsd") break;
            std::this_thread::sleep_for(20ms);
        }
        if (st.rfind("GPS: gpsd not running", 0) == 0)
            EXPECT_EQ(st, "GPS: gpsd not running (localhost:2947)") << port;
        else
            EXPECT_EQ(st.rfind("GPS gpsd:", 0), 0u) << st;  // a gpsd answered on 2947
        EXPECT_GT(rec.status_count(), from);
        ovk_linux_gpsd_stop();
    }
}

TEST(GpsdClient, StopWhileReadingIsPromptAndRestartReplaces) {
    FakeGpsd server([](const FakeGpsd::Conn& c, int) {
        for (int i = 0; i < 600 && c.send(tpv(1, 2) + "\n"); ++i)
            if (!c.pause(100ms)) return;
    });
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), false)), 0);
    ASSERT_TRUE(rec.wait_fixes(1, 30s));
    // A second start stops the running client first.
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), true)), 0);
    ASSERT_TRUE(rec.wait_fixes(5, 30s));
    const auto t0 = Clock::now();
    ovk_linux_gpsd_stop();
    EXPECT_LT(ms_between(t0, Clock::now()), 1000.0);
    const size_t n = rec.fixes().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(rec.fixes().size(), n);
    ovk_linux_gpsd_stop();  // stopping twice is harmless
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");
}

TEST(GpsdClient, StopFromTheClientsOwnCallbackDoesNotHang) {
    FakeGpsd server([](const FakeGpsd::Conn& c, int) {
        for (int i = 0; i < 600 && c.send(tpv(1, 2) + "\n"); ++i)
            if (!c.pause(100ms)) return;
    });
    std::atomic<int> fixes{0};
    OVK_SINK s;
    s.on_location = [&fixes](const OVK_LOCATION&) {
        ++fixes;
        ovk_linux_gpsd_stop();  // runs on the client thread
    };
    ovk_platform_set_sink(&s);
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(server.port(), true)), 0);
    const auto deadline = Clock::now() + 30s;
    while (fixes.load() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_GE(fixes.load(), 1);
    // The thread ends by itself shortly after; no more fixes come.
    std::this_thread::sleep_for(800ms);
    const int n = fixes.load();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(fixes.load(), n);
    ovk_linux_gpsd_stop();
    ovk_platform_set_sink(nullptr);
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");
}

TEST(GpsdClient, PlatformScanDrivesTheClient) {
    FakeGpsd server([](const FakeGpsd::Conn& c, int) {
        c.send(tpv(48.5, 9.1) + "\n");
        c.pause(60s);
    });
    Recorder rec;
    ASSERT_EQ(ovk_platform_scan_start(opts_for(server.port(), true)), 0);
    EXPECT_EQ(ovk_platform_scan_running(), 1);
    ASSERT_TRUE(rec.wait_fixes(1, 30s));
    ASSERT_TRUE(rec.wait_status("GPS gpsd: fix", 0, 10s).has_value());
    EXPECT_EQ(ovk_platform_scan_status(), "GPS gpsd: fix");
    ovk_platform_scan_stop();
    EXPECT_EQ(ovk_platform_scan_running(), 0);
    EXPECT_EQ(ovk_platform_scan_status(), "Scanning stopped");
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");
    // Shutdown stops a running client as well.
    ASSERT_EQ(ovk_platform_scan_start(opts_for(server.port(), true)), 0);
    ovk_platform_shutdown();
    EXPECT_EQ(ovk_platform_scan_running(), 0);
    EXPECT_EQ(ovk_linux_gpsd_status(), "GPS: stopped");
}

// ---------------------------------------------------------------------------------------
// The client against Debian's gpsd, fed the recorded drive by gpsfake
// ---------------------------------------------------------------------------------------

namespace {

struct DrivePoint {
    double lat, lon, speed_ms, track;
};

double nmea_deg(const std::string& v, const std::string& hemi, int deg_digits) {
    const double deg = std::stod(v.substr(0, static_cast<size_t>(deg_digits)));
    const double min = std::stod(v.substr(static_cast<size_t>(deg_digits)));
    const double d = deg + min / 60.0;
    return (hemi == "S" || hemi == "W") ? -d : d;
}

// The drive as the NMEA log states it, keyed by fix time (ms since the epoch), read
// straight from the RMC sentences.
std::map<int64_t, DrivePoint> load_drive(const std::string& path) {
    std::map<int64_t, DrivePoint> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("$GPRMC,", 0) != 0) continue;
        std::vector<std::string> f;
        std::stringstream ss(line.substr(0, line.find('*')));
        std::string item;
        while (std::getline(ss, item, ',')) f.push_back(item);
        if (f.size() < 10) continue;
        char iso[40];
        snprintf(iso, sizeof iso, "20%s-%s-%sT%s:%s:%sZ", f[9].substr(4, 2).c_str(),
                 f[9].substr(2, 2).c_str(), f[9].substr(0, 2).c_str(), f[1].substr(0, 2).c_str(),
                 f[1].substr(2, 2).c_str(), f[1].substr(4, 2).c_str());
        out[ovk_linux_gpsd_parse_time(iso)] = {nmea_deg(f[3], f[4], 2), nmea_deg(f[5], f[6], 3),
                                               std::stod(f[7]) * 1852.0 / 3600.0, std::stod(f[8])};
    }
    return out;
}

// gpsfake (with its own gpsd) in its own process group on a loopback port.
class GpsFake {
  public:
    explicit GpsFake(int port) : port_(port) {}
    ~GpsFake() { stop(); }
    static bool available() {
        return access("/usr/bin/gpsfake", X_OK) == 0 && access("/usr/sbin/gpsd", X_OK) == 0;
    }
    // Starts replaying (at 5 fixes a second) and waits until gpsd accepts connections.
    bool start() {
        const std::string log = std::string(OVK_SOURCE_DIR) + "/tests/data/gps/drive.nmea";
        const std::string port = std::to_string(port_);
        const std::string out = std::string(OVK_BINARY_DIR) + "/gpsfake-" + port + ".log";
        // Everything the child needs is built before fork (other threads may be running).
        // gpsfake finds gpsd on PATH.
        const char* env[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8", nullptr};
        const char* argv[] = {
            "python3", "/usr/bin/gpsfake", "-n",        "-q",   "-c", "0.05", "-W", "600",
            "-P",      port.c_str(),       log.c_str(), nullptr};
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = fork();
        if (pid_ < 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        if (pid_ == 0) {
            setpgid(0, 0);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execve("/usr/bin/python3", const_cast<char* const*>(argv),
                   const_cast<char* const*>(env));
            _exit(127);
        }
        if (fd >= 0) close(fd);
        setpgid(pid_, pid_);
        const auto deadline = Clock::now() + 30s;
        while (Clock::now() < deadline) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port_));
            const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            close(fd);
            if (ok) return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    // Ends gpsfake and its gpsd (the whole process group).
    void stop() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
            std::this_thread::sleep_for(50ms);
        }
        kill(-pid_, SIGKILL);  // whatever is left of the group, gpsd included
        waitpid(pid_, nullptr, WNOHANG);
        pid_ = -1;
    }

  private:
    int port_;
    pid_t pid_ = -1;
};

// A second, independent gpsd client: every TPV's eph by fix time.
class ReferenceWatcher {
  public:
    explicit ReferenceWatcher(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("reference watcher: connect");
        const char w[] = "?WATCH={\"enable\":true,\"json\":true};\n";
        if (send(fd_, w, sizeof w - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof w - 1))
            throw std::runtime_error("reference watcher: send");
        thread_ = std::thread([this] { run(); });
    }
    ~ReferenceWatcher() {
        quit_ = true;
        thread_.join();
        close(fd_);
    }
    std::optional<double> eph_at(int64_t t) {
        std::lock_guard<std::mutex> l(mu_);
        auto it = eph_.find(t);
        if (it == eph_.end()) return std::nullopt;
        return it->second;
    }

  private:
    void run() {
        std::string buf;
        while (!quit_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buf.append(chunk, static_cast<size_t>(n));
            size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                const std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                cJSON* j = cJSON_Parse(line.c_str());
                if (!j) continue;
                const cJSON* cls = cJSON_GetObjectItem(j, "class");
                const cJSON* t = cJSON_GetObjectItem(j, "time");
                const cJSON* e = cJSON_GetObjectItem(j, "eph");
                if (cJSON_IsString(cls) && std::strcmp(cls->valuestring, "TPV") == 0 &&
                    cJSON_IsString(t) && cJSON_IsNumber(e)) {
                    std::lock_guard<std::mutex> l(mu_);
                    eph_[ovk_linux_gpsd_parse_time(t->valuestring)] = e->valuedouble;
                }
                cJSON_Delete(j);
            }
        }
    }
    int fd_ = -1;
    std::atomic<bool> quit_{false};
    std::thread thread_;
    std::mutex mu_;
    std::map<int64_t, double> eph_;
};

class RealGpsd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!GpsFake::available())
            GTEST_SKIP() << "gpsd / gpsfake not installed (tools/deps.sh installs them)";
        // Never the system's 2947: a free loopback port of our own.
        do port_ = free_port();
        while (port_ == OVK_GPSD_DEFAULT_PORT);
        drive_ = load_drive(std::string(OVK_SOURCE_DIR) + "/tests/data/gps/drive.nmea");
        ASSERT_GT(drive_.size(), 200u);
        fake_ = std::make_unique<GpsFake>(port_);
        ASSERT_TRUE(fake_->start()) << "gpsfake did not come up on port " << port_;
    }
    void TearDown() override {
        fake_.reset();
        // gpsfake's output is kept only when something went wrong.
        if (!HasFailure() && port_ > 0)
            unlink((std::string(OVK_BINARY_DIR) + "/gpsfake-" + std::to_string(port_) + ".log")
                       .c_str());
    }

    int port_ = 0;
    std::map<int64_t, DrivePoint> drive_;
    std::unique_ptr<GpsFake> fake_;
};

}  // namespace

TEST_F(RealGpsd, FixesFollowTheDriveWithEveryFieldWhenFast) {
    const int64_t started = wall_ms();
    ReferenceWatcher ref(port_);
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(port_, true)), 0);
    ASSERT_TRUE(rec.wait_fixes(40, 60s)) << "only " << rec.fixes().size() << " fixes";
    ovk_linux_gpsd_stop();
    std::this_thread::sleep_for(300ms);  // the reference has seen the same reports by now
    const auto fixes = rec.fixes();
    int moving = 0, compared = 0, undated = 0;
    for (size_t i = 0; i < fixes.size(); ++i) {
        const OVK_LOCATION& f = fixes[i].loc;
        const auto it = drive_.find(f.time);
        if (it == drive_.end()) {
            // gpsd can report a position before the first RMC sentence gave it the date:
            // such a fix carries no time and is stamped with the wall clock.
            EXPECT_GE(f.time, started) << "fix time " << f.time << " is not in the drive";
            EXPECT_LE(f.time, wall_ms());
            ++undated;
            continue;
        }
        const DrivePoint& want = it->second;
        EXPECT_NEAR(f.lat, want.lat, 1e-7) << f.time;
        EXPECT_NEAR(f.lon, want.lon, 1e-7) << f.time;
        ASSERT_EQ(f.has_speed, 1);
        EXPECT_NEAR(f.speed_ms, want.speed_ms, 0.01) << f.time;
        ASSERT_EQ(f.has_bearing, 1);
        EXPECT_NEAR(f.bearing_deg, want.track, 0.01) << f.time;
        ASSERT_EQ(f.has_accuracy, 1);
        const auto eph = ref.eph_at(f.time);
        if (eph) {
            EXPECT_DOUBLE_EQ(f.accuracy_m, *eph) << f.time;
            ++compared;
        }
        EXPECT_GT(f.accuracy_m, 0.0);
        if (want.speed_ms > 1) ++moving;
        // In fast mode every report is handed on: consecutive seconds of the drive.
        if (i > 0 && fixes[i - 1].loc.time < f.time) {
            EXPECT_EQ(f.time - fixes[i - 1].loc.time, 1000);
        }
    }
    EXPECT_GT(moving, 0);
    EXPECT_LE(undated, 2);
    // The reference saw (nearly) all of the same reports.
    EXPECT_GE(compared, static_cast<int>(fixes.size()) - undated - 2);
}

TEST_F(RealGpsd, OneFixPerFiveSecondsWithoutFast) {
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(port_, false)), 0);
    ASSERT_TRUE(rec.wait_fixes(1, 30s));
    std::this_thread::sleep_for(16s);
    ovk_linux_gpsd_stop();
    const auto fixes = rec.fixes();
    // About 16 s after the first fix: 3 or 4 fixes, never closer than 5 s, while gpsd
    // delivered five reports a second.
    ASSERT_GE(fixes.size(), 3u);
    EXPECT_LE(fixes.size(), 4u);
    for (size_t i = 1; i < fixes.size(); ++i) {
        EXPECT_GE(ms_between(fixes[i - 1].at, fixes[i].at), 4900.0);
        EXPECT_LE(ms_between(fixes[i - 1].at, fixes[i].at), 9000.0);
        EXPECT_NE(drive_.find(fixes[i].loc.time), drive_.end());
    }
}

TEST_F(RealGpsd, ConnectionLostWhenGpsdStopsAndRegainedWhenItReturns) {
    Recorder rec;
    ASSERT_EQ(ovk_linux_gpsd_start(opts_for(port_, true)), 0);
    ASSERT_TRUE(rec.wait_fixes(3, 30s));
    fake_->stop();
    const std::string lost = "GPS: gpsd connection lost (127.0.0.1:" + std::to_string(port_) + ")";
    ASSERT_TRUE(rec.wait_status(lost, 0, 20s).has_value());
    const size_t before = rec.fixes().size();
    ASSERT_TRUE(fake_->start()) << "gpsfake did not come back on port " << port_;
    // The client retries 10 s after the loss; allow a second retry on a slow machine.
    ASSERT_TRUE(rec.wait_fixes(before + 3, 45s)) << "no fixes after gpsd came back";
    const auto st = rec.statuses();
    const auto it = std::find(st.begin(), st.end(), lost);
    ASSERT_NE(it, st.end());
    EXPECT_NE(std::find(it, st.end(), "GPS gpsd: waiting for a fix"), st.end());
    EXPECT_NE(std::find(it, st.end(), "GPS gpsd: fix"), st.end());
}
