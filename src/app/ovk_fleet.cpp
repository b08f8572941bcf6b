// SPDX-License-Identifier: GPL-3.0-or-later
// The central fleet view.
#include "ovk_fleet.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "ovk_app_util.h"
#include "ovk_lock.h"
#include "ovk_pipeline.h"
#include "ovk_store.h"
#include "zq_log.h"

namespace {

constexpr int64_t kBadLogEveryMs = 60000;
constexpr size_t kBadKeysMax = 256;
constexpr size_t kSeenMax = 20000;  // detections remembered to drop repeats

enum class LINK { Connecting, Connected, NotAuthorised, Unreachable, Untrusted, TlsFailed };

struct FLEET {
    OVK_LOCK mu{"fleet"};
    bool started = false;
    bool stopping = false;
    std::string prefix;
    OVK_FLEET_OPTS opts;
    LINK link = LINK::Connecting;
    std::string tls_why;  // with TlsFailed: the TLS library's reason
    int64_t started_at = 0;
    std::map<std::string, OVK_FLEET_SENSOR> sensors;
    std::map<std::string, int64_t> bad_logged;  // key -> when last logged
    uint64_t bad = 0;
    uint64_t stored = 0;
    std::unordered_set<std::string> seen;
    std::deque<std::string> seen_order;
    std::unique_ptr<OVK_MQTT_CLIENT> client;
};

FLEET& F() {
    static FLEET* f = new FLEET;  // never destroyed: the client thread may outlive statics
    return *f;
}

int64_t now_of(const FLEET& f) {
    return f.opts.now ? f.opts.now() : ovk_now_ms();
}

// Under the lock: the sensor's entry, made when there is room.
OVK_FLEET_SENSOR* sensor_locked(FLEET& f, const std::string& name) {
    auto it = f.sensors.find(name);
    if (it != f.sensors.end()) return &it->second;
    if (f.sensors.size() >= OVK_FLEET_SENSORS_MAX) return nullptr;
    OVK_FLEET_SENSOR s;
    s.name = name;
    return &f.sensors.emplace(name, std::move(s)).first->second;
}

// A printable key for a sensor level that failed the name check (a hostile topic).
std::string bad_key(std::string_view level) {
    std::string k;
    for (const char c : level.substr(0, 32)) {
        const auto u = static_cast<unsigned char>(c);
        k += (u >= 0x21 && u < 0x7F) ? c : '?';
    }
    return k.empty() ? std::string("?") : k;
}

void refuse(FLEET& f, std::string_view topic, const std::string& why, int64_t now) {
    const std::string key = bad_key(ovk_fleetmsg_topic_sensor(f.prefix, topic));
    bool log = false;
    uint64_t count = 0;
    {
        std::lock_guard lock(f.mu);
        ++f.bad;
        if (ovk_fleetmsg_sensor_name_ok(key))
            if (auto it = f.sensors.find(key); it != f.sensors.end()) ++it->second.bad;
        auto it = f.bad_logged.find(key);
        if (it == f.bad_logged.end()) {
            if (f.bad_logged.size() < kBadKeysMax) {
                f.bad_logged.emplace(key, now);
                log = true;
            }
        } else if (now - it->second >= kBadLogEveryMs) {
            it->second = now;
            log = true;
        }
        count = f.bad;
    }
    if (log)
        zq_log(LOG_WARNING, "fleet: refused a message from sensor %s: %s (%llu refused in all)",
               key.c_str(), why.c_str(), static_cast<unsigned long long>(count));
}

void on_connect(OVK_MQTT_CONN r, std::string_view why) {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    switch (r) {
        case OVK_MQTT_CONN::Connected:
            if (f.link != LINK::Connected) zq_log(LOG_NOTICE, "fleet: connected to the broker");
            f.link = LINK::Connected;
            break;
        case OVK_MQTT_CONN::NotAuthorised:
            if (f.link != LINK::NotAuthorised)
                zq_log(LOG_ERR, "fleet: the broker refused the user name or password");
            f.link = LINK::NotAuthorised;
            break;
        case OVK_MQTT_CONN::Refused:
        case OVK_MQTT_CONN::Unreachable:
            f.link = LINK::Unreachable;
            break;
        case OVK_MQTT_CONN::Untrusted:
            if (f.link != LINK::Untrusted)
                zq_log(LOG_ERR,
                       "fleet: the certificate of the broker is not trusted: it is not signed by "
                       "the CA of mqtt_ca_file (or the system's CAs when that is empty), or it "
                       "was made for another host");
            f.link = LINK::Untrusted;
            break;
        case OVK_MQTT_CONN::TlsFailed: {
            const std::string reason = ovk_cut(why, 120);
            if (f.link != LINK::TlsFailed || f.tls_why != reason)
                zq_log(LOG_ERR, "fleet: TLS handshake with the broker failed: %s", reason.c_str());
            f.link = LINK::TlsFailed;
            f.tls_why = reason;
            break;
        }
    }
}

void on_disconnect() {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    if (f.stopping) return;  // our own disconnect at the stop
    if (f.link == LINK::Connected) zq_log(LOG_WARNING, "fleet: lost the broker; reconnecting");
    if (f.link != LINK::NotAuthorised && f.link != LINK::Untrusted && f.link != LINK::TlsFailed)
        f.link = LINK::Unreachable;
}

bool online_now(const OVK_FLEET_SENSOR& s, int64_t now) {
    return s.online && now - s.last_heard < OVK_FLEET_SILENT_MS;
}

}  // namespace

void ovk_fleet_set_prefix(std::string_view prefix) {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    f.prefix = std::string(prefix);
}

void ovk_fleet_reset() {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    f.sensors.clear();
    f.bad_logged.clear();
    f.bad = f.stored = 0;
    f.seen.clear();
    f.seen_order.clear();
}

void ovk_fleet_handle(std::string_view topic, std::string_view payload) {
    FLEET& f = F();
    try {
        std::string prefix;
        int64_t now = 0;
        {
            std::lock_guard lock(f.mu);
            prefix = f.prefix;
            now = now_of(f);
        }
        if (prefix.empty()) return;
        OVK_FLEET_MSG m;
        const std::string why = ovk_fleetmsg_parse(prefix, topic, payload, m);
        if (!why.empty()) {
            refuse(f, topic, why, now);
            return;
        }
        switch (m.kind) {
            case OVK_FLEET_KIND::Status: {
                std::lock_guard lock(f.mu);
                OVK_FLEET_SENSOR* s = sensor_locked(f, m.sensor);
                if (!s) return;
                const bool was = s->online;
                if (m.status.online) {
                    s->status = m.status;
                } else {
                    // Gone: what it reported last (where it was, what it saw) stays shown.
                    s->status.online = false;
                    s->status.time = m.status.time;
                }
                s->online = m.status.online;
                s->last_heard = now;
                if (!s->online && (was || s->offline_since == 0)) s->offline_since = now;
                if (s->online) s->offline_since = 0;
                break;
            }
            case OVK_FLEET_KIND::Detection: {
                const std::string key =
                    m.sensor + "|" + m.detection.mac + "|" + std::to_string(m.detection.timestamp);
                {
                    std::lock_guard lock(f.mu);
                    if (!f.seen.insert(key).second) return;  // a repeat after a reconnect
                    f.seen_order.push_back(key);
                    if (f.seen_order.size() > kSeenMax) {
                        f.seen.erase(f.seen_order.front());
                        f.seen_order.pop_front();
                    }
                    if (OVK_FLEET_SENSOR* s = sensor_locked(f, m.sensor)) {
                        s->last_heard = now;
                        ++s->detections;
                    }
                    ++f.stored;
                }
                if (ovk_store_add_detection(m.detection) != 0)
                    zq_log(LOG_ERR, "fleet: a detection of sensor %s could not be stored",
                           m.sensor.c_str());
                break;
            }
            case OVK_FLEET_KIND::Alert: {
                {
                    std::lock_guard lock(f.mu);
                    if (OVK_FLEET_SENSOR* s = sensor_locked(f, m.sensor)) {
                        s->last_heard = now;
                        ++s->alerts;
                    }
                }
                ovk_pipeline_post_alert(ovk_fleetmsg_ui_alert(m.alert));
                break;
            }
        }
    } catch (...) {
        zq_log(LOG_ERR, "fleet: a message could not be handled (out of memory)");
    }
}

int ovk_fleet_start(const OVK_FLEET_OPTS& opts, const OVK_MQTT_CONNECT& connect) {
    ovk_fleet_stop();
    if (!connect || opts.url.prefix.empty()) return -1;
    FLEET& f = F();
    try {
        {
            std::lock_guard lock(f.mu);
            f.opts = opts;
            f.prefix = opts.url.prefix;
            f.link = LINK::Connecting;
            f.started_at = now_of(f);
            f.started = true;
        }
        OVK_MQTT_CONFIG cfg;
        cfg.url = opts.url;
        cfg.client_id = opts.client_id;
        // A lasting session: what sensors send while this instance is away waits for it.
        cfg.clean_session = opts.client_id.empty();
        cfg.user = opts.user;
        cfg.password = opts.password;
        cfg.ca_file = opts.ca_file;
        OVK_MQTT_EVENTS ev;
        ev.on_connect = on_connect;
        ev.on_disconnect = on_disconnect;
        ev.on_message = [](std::string_view topic, std::string_view payload) {
            ovk_fleet_handle(topic, payload);
        };
        std::string error;
        std::unique_ptr<OVK_MQTT_CLIENT> c = connect(cfg, ev, error);
        if (!c) {
            zq_log(LOG_ERR, "fleet: cannot start the client: %s", error.c_str());
            std::lock_guard lock(f.mu);
            f.started = false;
            return -1;
        }
        const std::string& p = opts.url.prefix;
        const std::string shared =
            opts.group.empty() ? std::string() : "$share/" + opts.group + "/";
        c->subscribe(p + "/+/status", 1);
        c->subscribe(shared + p + "/+/detection", 1);
        c->subscribe(shared + p + "/+/alert", 1);
        {
            std::lock_guard lock(f.mu);
            f.client = std::move(c);
        }
        zq_log(LOG_INFO, "fleet: listening to %s:%d under %s%s%s", opts.url.host.c_str(),
               opts.url.port, p.c_str(), opts.group.empty() ? "" : " in group ",
               opts.group.c_str());
        return 0;
    } catch (...) {
        zq_log(LOG_ERR, "fleet: cannot start (out of memory)");
        std::lock_guard lock(f.mu);
        f.started = false;
        return -1;
    }
}

void ovk_fleet_stop() {
    FLEET& f = F();
    std::unique_ptr<OVK_MQTT_CLIENT> c;
    {
        std::lock_guard lock(f.mu);
        if (!f.started) return;
        c = std::move(f.client);
        f.stopping = true;
    }
    c.reset();  // joins the client's thread, outside the lock its handlers take
    std::lock_guard lock(f.mu);
    f.started = false;
    f.stopping = false;
}

int64_t ovk_fleet_now() {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    return now_of(f);
}

std::vector<OVK_FLEET_SENSOR> ovk_fleet_sensors() {
    FLEET& f = F();
    std::vector<OVK_FLEET_SENSOR> out;
    try {
        std::lock_guard lock(f.mu);
        const int64_t now = now_of(f);
        out.reserve(f.sensors.size());
        for (const auto& [name, s] : f.sensors) {
            out.push_back(s);
            OVK_FLEET_SENSOR& c = out.back();
            c.online = online_now(s, now);
            if (!c.online && c.offline_since == 0) c.offline_since = s.last_heard;
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

bool ovk_fleet_sensor_stale(const OVK_FLEET_SENSOR& s, int64_t now) {
    if (s.online) return false;
    const int64_t since = s.offline_since ? s.offline_since : s.last_heard;
    return now - since > OVK_FLEET_STALE_MS;
}

uint64_t ovk_fleet_bad_count() {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    return f.bad;
}

uint64_t ovk_fleet_stored_count() {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    return f.stored;
}

std::string ovk_fleet_status_text() {
    FLEET& f = F();
    std::lock_guard lock(f.mu);
    if (!f.started) return {};
    const int64_t now = now_of(f);
    switch (f.link) {
        case LINK::Connected: {
            size_t online = 0;
            for (const auto& [name, s] : f.sensors)
                if (online_now(s, now)) ++online;
            return ovk_format(96, "Fleet: connected, %zu sensor%s (%zu online)", f.sensors.size(),
                              f.sensors.size() == 1 ? "" : "s", online);
        }
        case LINK::NotAuthorised:
            return "Fleet: not authorised";
        case LINK::Untrusted:
            return "Fleet: broker certificate not trusted";
        case LINK::TlsFailed:
            return "Fleet: TLS handshake failed: " + f.tls_why;
        case LINK::Unreachable:
            return "Fleet: broker unreachable";
        case LINK::Connecting:
            return now - f.started_at < 5000 ? "Fleet: connecting" : "Fleet: broker unreachable";
    }
    return {};
}
