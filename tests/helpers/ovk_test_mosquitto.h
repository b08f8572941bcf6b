// SPDX-License-Identifier: GPL-3.0-or-later
// A real mosquitto broker on 127.0.0.1 for tests: a free port, a password file (made with
// mosquitto_passwd). It can be stopped and started again on the same port
// (a broker outage); its sessions are saved in its own directory and survive that. Killed
// on destruction.
#pragma once

#include <string>

namespace ovk_test {

class Mosquitto {
  public:
    // Users "orvik" (password "secret") and "sensor" ("s3nsor").
    Mosquitto();
    ~Mosquitto();
    Mosquitto(const Mosquitto&) = delete;
    Mosquitto& operator=(const Mosquitto&) = delete;

    // False when the broker could not be started (not installed): tests skip then.
    bool ok() const { return pid_ > 0; }
    int port() const { return port_; }
    // "mqtt://127.0.0.1:PORT/PREFIX"
    std::string url(const std::string& prefix) const;
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
};

}  // namespace ovk_test
