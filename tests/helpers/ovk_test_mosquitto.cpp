// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_test_mosquitto.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "ovk_test_files.h"

namespace ovk_test {

namespace {

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

const char* find_broker() {
    for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

// A CA (ca.crt), a certificate for 127.0.0.1 it signed (server.crt), and another CA
// (other.crt), in `dir`.
bool make_certificates(const std::string& dir) {
    const std::string q = "cd '" + dir + "' && (";
    const std::string cmd =
        q + "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Orvik test CA' " +
        "-keyout ca.key -out ca.crt && " +
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Orvik other CA' " +
        "-keyout other.key -out other.crt && " +
        "openssl req -newkey rsa:2048 -nodes -subj '/CN=127.0.0.1' -keyout server.key " +
        "-out server.csr && printf 'subjectAltName=IP:127.0.0.1\n' > san.ext && " +
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 " +
        "-extfile san.ext -out server.crt)";
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

Mosquitto::Mosquitto(bool tls) : tls_(tls) {
    if (!find_broker() || access("/usr/bin/mosquitto_passwd", X_OK) != 0) return;
    char tmpl[] = "/tmp/ovk-mosq-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    write_file(dir_ + "/passwd", "orvik:secret\nsensor:s3nsor\n");
    const std::string cmd = "/usr/bin/mosquitto_passwd -U " + dir_ + "/passwd >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    chmod((dir_ + "/passwd").c_str(), 0600);
    if (tls && (access("/usr/bin/openssl", X_OK) != 0 || !make_certificates(dir_))) return;
    port_ = free_port();
    if (port_ == 0) return;
    std::ostringstream conf;
    conf << "listener " << port_ << " 127.0.0.1\n";
    if (tls)
        conf << "cafile " << dir_ << "/ca.crt\n"
             << "certfile " << dir_ << "/server.crt\n"
             << "keyfile " << dir_ << "/server.key\n";
    conf << "allow_anonymous false\n"
         << "password_file " << dir_ << "/passwd\n"
         << "persistence true\n"
         << "persistence_location " << dir_ << "/\n"
         << "max_queued_messages 100000\n"
         << "log_dest stdout\n";
    // Run as root, the broker would switch to its own user, who cannot read this directory.
    if (geteuid() == 0) conf << "user root\n";
    write_file(dir_ + "/mosquitto.conf", conf.str());
    start();
}

Mosquitto::~Mosquitto() {
    stop();
    if (!dir_.empty()) TempDir::remove_tree(dir_);
}

std::string Mosquitto::url(const std::string& prefix) const {
    return std::string(tls_ ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_) + "/" +
           prefix;
}

bool Mosquitto::start() {
    if (pid_ > 0 || dir_.empty() || port_ == 0) return pid_ > 0;
    const char* broker = find_broker();
    const std::string conf = dir_ + "/mosquitto.conf";
    const std::string logf = dir_ + "/broker.log";
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int fd = open(logf.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(broker, broker, "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    for (int i = 0; i < 100; ++i) {
        if (accepts(port_)) return true;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return accepts(port_);
}

void Mosquitto::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
}

std::string Mosquitto::log() const {
    return dir_.empty() ? std::string() : read_file(dir_ + "/broker.log");
}

}  // namespace ovk_test
