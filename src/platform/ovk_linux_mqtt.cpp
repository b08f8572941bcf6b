// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_linux_mqtt.h"

#include <mosquitto.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "zq_log.h"

namespace {

class LINUX_MQTT final : public OVK_MQTT_CLIENT {
  public:
    LINUX_MQTT(OVK_MQTT_EVENTS ev) : ev_(std::move(ev)) {}
    ~LINUX_MQTT() override {
        if (!m_) return;
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    LINUX_MQTT(const LINUX_MQTT&) = delete;
    LINUX_MQTT& operator=(const LINUX_MQTT&) = delete;

    int publish(const std::string& topic, std::string_view payload, int qos, bool retain,
                int* mid) override {
        if (!m_ || payload.size() > 256u * 1024 * 1024) return -1;
        int id = 0;
        const int rc = mosquitto_publish(m_, &id, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), qos, retain);
        if (rc != MOSQ_ERR_SUCCESS) return -1;
        if (mid) *mid = id;
        return 0;
    }

    int subscribe(const std::string& pattern, int qos) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            subs_.emplace_back(pattern, qos);
        }
        // While disconnected the subscription is made at the next connect.
        if (m_) mosquitto_subscribe(m_, nullptr, pattern.c_str(), qos);
        return 0;
    }

    // The library's callbacks (its network thread).
    static void on_connect(struct mosquitto* m, void* obj, int rc) {
        auto* self = static_cast<LINUX_MQTT*>(obj);
        OVK_MQTT_CONN r = OVK_MQTT_CONN::Refused;
        if (rc == 0) {
            self->up_ = true;
            r = OVK_MQTT_CONN::Connected;
            std::vector<std::pair<std::string, int>> subs;
            {
                std::lock_guard<std::mutex> lock(self->mu_);
                subs = self->subs_;
            }
            for (const auto& [pattern, qos] : subs)
                mosquitto_subscribe(m, nullptr, pattern.c_str(), qos);
        } else if (rc == 4 || rc == 5 || rc == 134 || rc == 135) {
            // 4 bad user name or password, 5 not authorised (MQTT 3.1.1); 134, 135 (MQTT 5)
            r = OVK_MQTT_CONN::NotAuthorised;
        }
        if (self->ev_.on_connect) self->ev_.on_connect(r, {});
    }
    static void on_disconnect(struct mosquitto*, void* obj, int) {
        auto* self = static_cast<LINUX_MQTT*>(obj);
        self->up_ = false;
        if (self->ev_.on_disconnect) self->ev_.on_disconnect();
    }
    // The library's log, on whichever thread made the attempt (the one that starts the client,
    // then the library's own): a TLS failure is that attempt's outcome, which no other callback
    // tells. A certificate that failed verification is told apart from the rest, which carry
    // OpenSSL's reason ("OpenSSL Error[0]: error:0A00010B:SSL routines::wrong version number").
    static void on_log(struct mosquitto*, void* obj, int level, const char* text) {
        if (level != MOSQ_LOG_ERR || !text) return;
        const std::string_view t(text);
        if (!t.starts_with("OpenSSL Error")) return;
        auto* self = static_cast<LINUX_MQTT*>(obj);
        // An error on an established link is no attempt's outcome: its loss is told apart.
        if (!self->ev_.on_connect || self->up_) return;
        if (t.find("certificate verify failed") != std::string_view::npos) {
            self->ev_.on_connect(OVK_MQTT_CONN::Untrusted, {});
            return;
        }
        std::string_view why = t.substr(t.find_last_of(':') + 1);
        while (!why.empty() && why.front() == ' ') why.remove_prefix(1);
        if (why.empty()) why = "unknown reason";
        self->ev_.on_connect(OVK_MQTT_CONN::TlsFailed, why);
    }
    static void on_publish(struct mosquitto*, void* obj, int mid) {
        auto* self = static_cast<LINUX_MQTT*>(obj);
        if (self->ev_.on_published) self->ev_.on_published(mid);
    }
    static void on_message(struct mosquitto*, void* obj, const struct mosquitto_message* msg) {
        auto* self = static_cast<LINUX_MQTT*>(obj);
        if (!self->ev_.on_message || !msg || !msg->topic || msg->payloadlen < 0) return;
        const std::string_view payload(static_cast<const char*>(msg->payload),
                                       msg->payload ? static_cast<size_t>(msg->payloadlen) : 0);
        try {
            self->ev_.on_message(msg->topic, payload);
        } catch (...) {
            zq_log(LOG_ERR, "MQTT: a message handler failed");
        }
    }

    struct mosquitto* m_ = nullptr;

  private:
    OVK_MQTT_EVENTS ev_;
    std::atomic<bool> up_{false};  // connected: a TLS error now is no failed attempt
    std::mutex mu_;
    std::vector<std::pair<std::string, int>> subs_;
};

}  // namespace

int ovk_linux_mqtt_init() {
    return mosquitto_lib_init() == MOSQ_ERR_SUCCESS ? 0 : -1;
}

void ovk_linux_mqtt_shutdown() {
    mosquitto_lib_cleanup();
}

std::unique_ptr<OVK_MQTT_CLIENT> ovk_linux_mqtt_connect(const OVK_MQTT_CONFIG& cfg,
                                                        OVK_MQTT_EVENTS events,
                                                        std::string& error) {
    try {
        auto c = std::make_unique<LINUX_MQTT>(std::move(events));
        c->m_ = mosquitto_new(cfg.client_id.empty() ? nullptr : cfg.client_id.c_str(),
                              cfg.client_id.empty() || cfg.clean_session, c.get());
        if (!c->m_) {
            error = "the MQTT library could not make a client";
            return nullptr;
        }
        struct mosquitto* m = c->m_;
        mosquitto_connect_callback_set(m, &LINUX_MQTT::on_connect);
        mosquitto_disconnect_callback_set(m, &LINUX_MQTT::on_disconnect);
        mosquitto_publish_callback_set(m, &LINUX_MQTT::on_publish);
        mosquitto_message_callback_set(m, &LINUX_MQTT::on_message);
        if (cfg.url.tls) mosquitto_log_callback_set(m, &LINUX_MQTT::on_log);
        mosquitto_reconnect_delay_set(m, 1, 30, true);
        // Enough room for a long outage's backlog being sent at once.
        mosquitto_max_inflight_messages_set(m, 100);
        if (!cfg.user.empty() || cfg.password) {
            const int rc =
                mosquitto_username_pw_set(m, cfg.user.empty() ? nullptr : cfg.user.c_str(),
                                          cfg.password ? cfg.password->c_str() : nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                error = "the user name was refused by the MQTT library";
                return nullptr;
            }
        }
        if (!cfg.will_topic.empty() &&
            mosquitto_will_set(m, cfg.will_topic.c_str(), static_cast<int>(cfg.will_payload.size()),
                               cfg.will_payload.data(), 1, cfg.will_retain) != MOSQ_ERR_SUCCESS) {
            error = "the last will was refused by the MQTT library";
            return nullptr;
        }
        if (cfg.url.tls) {
            int rc = MOSQ_ERR_SUCCESS;
            if (!cfg.ca_file.empty()) {
                rc = mosquitto_tls_set(m, cfg.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
            } else {
                mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            }
            if (rc != MOSQ_ERR_SUCCESS) {
                error = "cannot use the CA file " + cfg.ca_file + ": " + mosquitto_strerror(rc);
                return nullptr;
            }
        }
        int rc = mosquitto_loop_start(m);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("cannot start the MQTT thread: ") + mosquitto_strerror(rc);
            return nullptr;
        }
        rc = mosquitto_connect_async(m, cfg.url.host.c_str(), cfg.url.port, cfg.keepalive_s);
        if (rc != MOSQ_ERR_SUCCESS) {
            // The library's thread keeps trying with its back-off.
            zq_log(LOG_WARNING, "MQTT: first connection to %s:%d failed: %s", cfg.url.host.c_str(),
                   cfg.url.port, mosquitto_strerror(rc));
        }
        return c;
    } catch (...) {
        error = "out of memory";
        return nullptr;
    }
}
