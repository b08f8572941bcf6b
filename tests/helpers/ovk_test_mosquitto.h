// SPDX-License-Identifier: GPL-3.0-or-later
// A real mosquitto broker on 127.0.0.1 for tests: a free port, a password file (made with
// mosquitto_passwd), and on request a TLS listener whose certificate (for 127.0.0.1) is signed
// by a CA made at the start with openssl, beside another CA that did not sign it. It can be stopped
// and started again on the same port (a broker outage); its sessions are saved in its own directory
// and survive that. Killed on destruction.
#pragma once

#include <string>

namespace ovk_test {

class Mosquitto {
  public:
    // Users "orvik" (password "secret") and "sensor" ("s3nsor").
    // With `tls`, the listener speaks only TLS.
    explicit Mosquitto(bool tls = false);
    ~Mosquitto();
    Mosquitto(const Mosquitto&) = delete;
    Mosquitto& operator=(const Mosquitto&) = delete;

    // False when the broker could not be started (not installed): tests skip then.
    bool ok() const { return pid_ > 0; }
    int port() const { return port_; }
    // "mqtt://127.0.0.1:PORT/PREFIX" ("mqtts://" with TLS)
    std::string url(const std::string& prefix) const;
    // With TLS: the CA certificate that signed the broker's, and one that did not.
    std::string ca_file() const { return dir_ + "/ca.crt"; }
    std::string other_ca_file() const { return dir_ + "/other.crt"; }
    // Stops the broker (SIGTERM, waits) / starts it again on the same port (true once it
    // accepts connections).
    void stop();
    bool start();
    // The broker's log.
    std::string log() const;

  private:
    std::string dir_;
    int port_ = 0;
    int pid_ = -1;
    bool tls_ = false;
};

}  // namespace ovk_test
