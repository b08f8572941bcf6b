// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_test_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) a++;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) b--;
    return std::string(s.substr(a, b - a));
}

// Reads whatever is available within `ms`; 0 on close or error, -1 on time-out.
ssize_t read_some(int fd, char* buf, size_t n, int ms) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r <= 0) return -1;
    ssize_t got = recv(fd, buf, n, 0);
    return got < 0 ? 0 : got;
}

const char* reason(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 504:
            return "Gateway Timeout";
        default:
            return "Status";
    }
}

}  // namespace

bool TestHttpConn::send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stop_.load()) return false;
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool TestHttpConn::respond(int status, std::string_view body, std::string_view content_type,
                           const std::vector<std::string>& extra_headers) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    head += "Content-Type: " + std::string(content_type) + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& h : extra_headers) head += h + "\r\n";
    head += "Connection: close\r\n\r\n";
    return send(head) && send(body);
}

void TestHttpConn::wait_closed(int max_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    char buf[512];
    while (!stop_.load() && std::chrono::steady_clock::now() < end) {
        ssize_t n = read_some(fd_, buf, sizeof buf, 50);
        if (n == 0) return;
    }
}

TestHttpServer::TestHttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket");
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 16) != 0) {
        close(listen_fd_);
        throw std::runtime_error("bind/listen");
    }
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

TestHttpServer::~TestHttpServer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    close(listen_fd_);
}

std::string TestHttpServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<TestHttpRequest> TestHttpServer::requests() const {
    std::lock_guard lock(mu_);
    return requests_;
}

void TestHttpServer::run() {
    while (!stop_.load()) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        try {
            // Head.
            std::string in;
            char buf[4096];
            size_t head_end = std::string::npos;
            while (!stop_.load() && head_end == std::string::npos && in.size() < 65536) {
                ssize_t n = read_some(fd, buf, sizeof buf, 50);
                if (n == 0) break;
                if (n > 0) in.append(buf, static_cast<size_t>(n));
                head_end = in.find("\r\n\r\n");
            }
            if (head_end == std::string::npos) {
                close(fd);
                continue;
            }
            TestHttpRequest req;
            std::string_view head(in.data(), head_end);
            size_t eol = head.find("\r\n");
            std::string_view line = head.substr(0, eol);
            size_t s1 = line.find(' '), s2 = line.rfind(' ');
            req.method = std::string(line.substr(0, s1));
            if (s1 != std::string_view::npos && s2 > s1)
                req.target = std::string(line.substr(s1 + 1, s2 - s1 - 1));
            while (eol != std::string_view::npos) {
                size_t next = head.find("\r\n", eol + 2);
                std::string_view h =
                    head.substr(eol + 2, next == std::string_view::npos ? std::string_view::npos
                                                                        : next - eol - 2);
                size_t colon = h.find(':');
                if (colon != std::string_view::npos)
                    req.headers[lower(std::string(h.substr(0, colon)))] = trim(h.substr(colon + 1));
                eol = next;
            }
            TestHttpConn conn(fd, stop_);
            size_t want = 0;
            if (auto it = req.headers.find("content-length"); it != req.headers.end())
                want = std::stoul(it->second);
            if (auto it = req.headers.find("expect");
                it != req.headers.end() && lower(it->second) == "100-continue")
                conn.send("HTTP/1.1 100 Continue\r\n\r\n");
            req.body = in.substr(head_end + 4);
            while (!stop_.load() && req.body.size() < want) {
                ssize_t n = read_some(fd, buf, sizeof buf, 50);
                if (n == 0) break;
                if (n > 0) req.body.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard lock(mu_);
                requests_.push_back(req);
            }
            handler_(req, conn);
        } catch (...) {
        }
        shutdown(fd, SHUT_WR);
        close(fd);
    }
}

std::string test_form_decode(std::string_view in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] == '+') {
            out += ' ';
        } else if (in[i] == '%' && i + 2 < in.size()) {
            out += static_cast<char>(std::stoi(std::string(in.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += in[i];
        }
    }
    return out;
}
