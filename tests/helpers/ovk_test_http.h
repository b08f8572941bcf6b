// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP/1.1 server on 127.0.0.1 (a free port) for tests: one thread accepts
// connections one after another, reads each request and hands it to a handler, which
// answers through the connection. Every answer closes its connection.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct TestHttpRequest {
    std::string method;
    std::string target;                          // path and query as sent
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

class TestHttpConn {
  public:
    TestHttpConn(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
    // Writes all bytes; false once the peer has gone or the server is stopping.
    bool send(std::string_view bytes);
    // A whole answer with Content-Length and "Connection: close".
    bool respond(int status, std::string_view body, std::string_view content_type = "text/plain",
                 const std::vector<std::string>& extra_headers = {});
    // Waits until the peer closes the connection, the server stops or `max_ms` passes.
    void wait_closed(int max_ms);
    bool stopping() const { return stop_.load(); }

  private:
    int fd_;
    const std::atomic<bool>& stop_;
};

class TestHttpServer {
  public:
    using Handler = std::function<void(const TestHttpRequest&, TestHttpConn&)>;
    explicit TestHttpServer(Handler handler);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(std::string_view path) const;
    // Copies of the requests received so far.
    std::vector<TestHttpRequest> requests() const;

  private:
    void run();
    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<TestHttpRequest> requests_;
    std::thread thread_;
};

// Percent-decoding of a form-encoded value ('+' is a space).
std::string test_form_decode(std::string_view in);
