// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The HTTP client against a real server on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ovk_linux_http.h"
#include "ovk_test_http.h"

namespace {

class Http : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(ovk_linux_http_init(), 0); }
    static void TearDownTestSuite() { ovk_linux_http_shutdown(); }
};

// A loopback port on which nothing listens.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Streams `total` bytes of 'x' in 1 MiB pieces, announcing the length when `announce`.
void stream_body(TestHttpConn& c, size_t total, bool announce) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
    if (announce) head += "Content-Length: " + std::to_string(total) + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (!c.send(head)) return;
    const std::string piece(1 << 20, 'x');
    size_t sent = 0;
    while (sent < total) {
        size_t n = std::min(piece.size(), total - sent);
        if (!c.send(std::string_view(piece).substr(0, n))) return;
        sent += n;
    }
}

}  // namespace

TEST_F(Http, GetReturnsBodyStatusAndSendsOurHeaders) {
    TestHttpServer srv([](const TestHttpRequest& r, TestHttpConn& c) {
        if (r.target == "/empty")
            c.respond(200, "");
        else
            c.respond(200, "hello world", "text/plain");
    });
    int status = -1;
    auto body = ovk_platform_http(srv.url("/x?y=1"), std::nullopt, std::nullopt, 5, &status);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "hello world");
    EXPECT_EQ(status, 200);
    auto reqs = srv.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_EQ(reqs[0].target, "/x?y=1");
    EXPECT_EQ(reqs[0].headers["user-agent"], "Orvik/0.2.0-trixie");
    EXPECT_FALSE(reqs[0].headers["accept-encoding"].empty());
    EXPECT_EQ(reqs[0].headers.count("content-type"), 0u);

    auto empty = ovk_platform_http(srv.url("/empty"), std::nullopt, std::nullopt, 5, &status);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(empty->c_str()[0], '\0');
    EXPECT_EQ(status, 200);
}

TEST_F(Http, ErrorStatusStillReturnsItsBody) {
    TestHttpServer srv(
        [](const TestHttpRequest&, TestHttpConn& c) { c.respond(404, "no such tile"); });
    int status = 0;
    auto body = ovk_platform_http(srv.url("/1/2/3.png"), std::nullopt, std::nullopt, 5, &status);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "no such tile");
    EXPECT_EQ(status, 404);
}

TEST_F(Http, PostSendsBodyAndContentType) {
    TestHttpServer srv([](const TestHttpRequest& r, TestHttpConn& c) { c.respond(200, r.body); });
    int status = 0;
    auto body = ovk_platform_http(srv.url("/api/interpreter"), std::string_view("data=a+b%3B"),
                                  std::nullopt, 5, &status);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "data=a+b%3B");
    body = ovk_platform_http(srv.url("/json"), std::string_view("{\"k\":1}"),
                             std::string_view("application/json"), 5, &status);
    ASSERT_TRUE(body);
    body =
        ovk_platform_http(srv.url("/empty-post"), std::string_view(""), std::nullopt, 5, &status);
    ASSERT_TRUE(body);

    auto reqs = srv.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].headers["content-type"], "application/x-www-form-urlencoded");
    EXPECT_EQ(reqs[0].headers["content-length"], "11");
    EXPECT_EQ(reqs[1].headers["content-type"], "application/json");
    EXPECT_EQ(reqs[1].body, "{\"k\":1}");
    EXPECT_EQ(reqs[2].method, "POST");
    EXPECT_EQ(reqs[2].headers["content-length"], "0");
}

TEST_F(Http, FollowsAtMostFiveRedirects) {
    // /r/N redirects to /r/N-1; /r/0 answers.
    TestHttpServer srv([](const TestHttpRequest& r, TestHttpConn& c) {
        int n = std::stoi(r.target.substr(3));
        if (n == 0)
            c.respond(200, "arrived");
        else
            c.respond(302, "", "text/plain", {"Location: /r/" + std::to_string(n - 1)});
    });
    int status = 0;
    auto body = ovk_platform_http(srv.url("/r/5"), std::nullopt, std::nullopt, 5, &status);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "arrived");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(srv.requests().size(), 6u);

    EXPECT_FALSE(ovk_platform_http(srv.url("/r/6"), std::nullopt, std::nullopt, 5, &status));
    EXPECT_EQ(srv.requests().size(), 12u);  // the sixth redirect is not followed
}

TEST_F(Http, RedirectToAnotherSchemeIsRefused) {
    TestHttpServer srv([](const TestHttpRequest& r, TestHttpConn& c) {
        if (r.target == "/file")
            c.respond(302, "", "text/plain", {"Location: file:///etc/hostname"});
        else if (r.target == "/ftp")
            c.respond(301, "", "text/plain", {"Location: ftp://127.0.0.1:1/x"});
        else
            c.respond(302, "", "text/plain", {"Location: gopher://127.0.0.1:1/"});
    });
    for (const char* path : {"/file", "/ftp", "/gopher"}) {
        int status = 0;
        EXPECT_FALSE(ovk_platform_http(srv.url(path), std::nullopt, std::nullopt, 5, &status))
            << path;
        EXPECT_NE(status, 200) << path;
    }
    // The starting URL is limited the same way.
    EXPECT_FALSE(ovk_platform_http("file:///etc/hostname", std::nullopt, std::nullopt, 5, nullptr));
}

TEST_F(Http, FailuresGiveNothingAndStatusZero) {
    int status = 99;
    EXPECT_FALSE(ovk_platform_http("http://127.0.0.1:" + std::to_string(closed_port()) + "/",
                                   std::nullopt, std::nullopt, 5, &status));
    EXPECT_EQ(status, 0);
    status = 99;
    EXPECT_FALSE(ovk_platform_http("", std::nullopt, std::nullopt, 5, &status));
    EXPECT_EQ(status, 0);
}

TEST_F(Http, SilentServerTimesOut) {
    TestHttpServer srv([](const TestHttpRequest&, TestHttpConn& c) { c.wait_closed(10000); });
    int status = 99;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ovk_platform_http(srv.url("/slow"), std::nullopt, std::nullopt, 1, &status));
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(status, 0);
    EXPECT_LT(waited, std::chrono::seconds(8));  // gave up on the time-out, not the server
}

// A shutdown does not wait for a server that keeps silent: the waiting transfer gives up
// soon after the cancel, and a transfer started afterwards works as before.
TEST_F(Http, CancelEndsATransferInProgressOnly) {
    std::atomic<bool> cancelled{false};
    TestHttpServer srv([&](const TestHttpRequest& r, TestHttpConn& c) {
        if (r.target == "/slow")
            c.wait_closed(20000);
        else
            c.respond(200, "fresh");
    });
    std::thread waiter([&] {
        int status = 99;
        EXPECT_FALSE(ovk_platform_http(srv.url("/slow"), std::nullopt, std::nullopt, 60, &status));
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(cancelled.load()) << "it ended before the cancel";
    });
    while (srv.requests().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto t0 = std::chrono::steady_clock::now();
    cancelled = true;
    ovk_linux_http_cancel_all();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15))
        << "gave up on the cancel, not on the 60 s time-out";
    int status = 0;
    EXPECT_EQ(ovk_platform_http(srv.url("/after"), std::nullopt, std::nullopt, 5, &status),
              "fresh");
}

TEST_F(Http, BodyReachingSixtyFourMebibytesIsAborted) {
    TestHttpServer srv([](const TestHttpRequest& r, TestHttpConn& c) {
        if (r.target == "/largest")
            stream_body(c, OVK_HTTP_MAX_BODY - 1, true);
        else if (r.target == "/too-large")
            stream_body(c, OVK_HTTP_MAX_BODY, true);
        else
            stream_body(c, size_t{1} << 40, false);  // endless until the client gives up
    });
    int status = 0;
    auto body = ovk_platform_http(srv.url("/largest"), std::nullopt, std::nullopt, 60, &status);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->size(), OVK_HTTP_MAX_BODY - 1);
    EXPECT_EQ(body->back(), 'x');
    body.reset();

    EXPECT_FALSE(ovk_platform_http(srv.url("/too-large"), std::nullopt, std::nullopt, 60, &status));
    EXPECT_EQ(status, 200);
    EXPECT_FALSE(ovk_platform_http(srv.url("/endless"), std::nullopt, std::nullopt, 60, &status));
}

TEST(HttpTimeouts, ConnectTimeoutFollowsTotal) {
    auto t = ovk_linux_http_timeouts(60);
    EXPECT_EQ(t.total_s, 60);
    EXPECT_EQ(t.connect_s, 15);
    t = ovk_linux_http_timeouts(10);
    EXPECT_EQ(t.total_s, 10);
    EXPECT_EQ(t.connect_s, 10);
    t = ovk_linux_http_timeouts(0);
    EXPECT_EQ(t.total_s, 30);
    EXPECT_EQ(t.connect_s, 15);
    t = ovk_linux_http_timeouts(-5);
    EXPECT_EQ(t.total_s, 30);
    t = ovk_linux_http_timeouts(14);
    EXPECT_EQ(t.connect_s, 14);
    t = ovk_linux_http_timeouts(15);
    EXPECT_EQ(t.connect_s, 15);
}

TEST_F(Http, ThreadsMayFetchAtTheSameTime) {
    TestHttpServer srv(
        [](const TestHttpRequest& r, TestHttpConn& c) { c.respond(200, "echo " + r.target); });
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; i++) {
                const std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
                int status = 0;
                auto body =
                    ovk_platform_http(srv.url(path), std::nullopt, std::nullopt, 10, &status);
                if (body && *body == "echo " + path && status == 200) good++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 20);
    EXPECT_EQ(srv.requests().size(), 20u);
}
