// SPDX-License-Identifier: GPL-3.0-or-later
// The sensor publisher.
//   1. Credentials
//   2. The outbox (memory mirror of mqtt_outbox.jsonl)
//   3. Client events
//   4. The sender thread
//   5. Public calls
#include "ovk_mqtt.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_classify_io.h"
#include "ovk_datafile.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

constexpr int kWindow = 100;                  // unacknowledged messages on the wire
constexpr int64_t kResendMs = 30000;          // an unacknowledged message goes again
constexpr uint64_t kRewriteBytes = 1u << 20;  // acknowledged bytes before the file is rewritten

enum class LINK { Connecting, Connected, NotAuthorised, Unreachable, Untrusted, TlsFailed };

struct ENTRY {
    uint64_t seq = 0;
    std::string kind;  // "detection" or "alert"
    std::string payload;
    bool sent = false;
    bool acked = false;
    int64_t sent_at = 0;
};

struct SENSOR {
    std::mutex mu;
    std::condition_variable cv;
    bool started = false;
    bool quit = false;
    OVK_MQTT_SENSOR_OPTS opts;
    std::string base;  // PREFIX/SENSOR
    std::string path;  // the outbox file ("" for memory only)
    bool write_failed = false;
    LINK link = LINK::Connecting;
    std::string tls_why;  // with TlsFailed: the TLS library's reason
    int64_t started_at = 0;
    std::deque<ENTRY> outbox;
    uint64_t next_seq = 1;
    uint64_t bytes = 0;                          // payload bytes waiting
    uint64_t acked_bytes = 0;                    // bytes left in the file for acknowledged entries
    uint64_t dropped = 0;                        // since the start
    std::unordered_map<int, uint64_t> inflight;  // mid -> seq
    std::vector<int> acks;                       // mids acknowledged, not yet applied
    std::vector<std::string> adverts;            // QoS 0, sent only while connected
    bool discovery_due = false;
    bool status_due = true;
    int64_t last_status = 0;
    std::string last_status_body;  // without the time, to tell a change
    std::unique_ptr<OVK_MQTT_CLIENT> client;
    std::thread th;
};

SENSOR& S() {
    static SENSOR* s = new SENSOR;  // never destroyed: the client thread may outlive statics
    return *s;
}

// ---------------------------------------------------------------------------------------
// 2. The outbox
// ---------------------------------------------------------------------------------------

std::string line_of(const ENTRY& e) {
    return e.kind + "\t" + e.payload + "\n";
}

// Appends and syncs under the lock (a torn append is cut back off the file). A failure is
// logged once; the entry stays in memory.
void append_locked(SENSOR& s, const ENTRY& e) {
    if (s.path.empty()) return;
    const int err = zq_fs_append(s.path, line_of(e), true);
    if (err != 0) {
        if (!s.write_failed)
            zq_log(LOG_ERR, "MQTT outbox: cannot write %s: %s", s.path.c_str(), strerror(err));
        s.write_failed = true;
    } else {
        s.write_failed = false;
    }
}

// Writes the waiting entries as the whole file (after drops, or once enough acknowledged
// bytes have piled up at its head).
void rewrite_locked(SENSOR& s) {
    s.acked_bytes = 0;
    if (s.path.empty()) return;
    std::string all;
    for (const ENTRY& e : s.outbox)
        if (!e.acked) all += line_of(e);
    if (ovk_write_file_atomic(s.path, all) != 0)
        zq_log(LOG_ERR, "MQTT outbox: cannot rewrite %s", s.path.c_str());
}

void pop_acked_locked(SENSOR& s) {
    bool popped = false;
    while (!s.outbox.empty() && s.outbox.front().acked) {
        s.bytes -= s.outbox.front().payload.size();
        s.acked_bytes += line_of(s.outbox.front()).size();
        s.outbox.pop_front();
        popped = true;
    }
    if (!popped) return;
    if (s.outbox.empty()) {
        s.acked_bytes = 0;
        const int err = s.path.empty() ? 0 : zq_fs_truncate(s.path, 0);
        if (err != 0)
            zq_log(LOG_ERR, "MQTT outbox: cannot empty %s: %s", s.path.c_str(), strerror(err));
    } else if (s.acked_bytes >= kRewriteBytes) {
        rewrite_locked(s);
    }
}

void push_locked(SENSOR& s, std::string kind, std::string payload) {
    if (payload.empty()) return;
    ENTRY e;
    e.seq = s.next_seq++;
    e.kind = std::move(kind);
    e.payload = std::move(payload);
    s.bytes += e.payload.size();
    append_locked(s, e);
    s.outbox.push_back(std::move(e));
    if (s.bytes <= s.opts.outbox_max) return;
    // Full: drop the oldest down to nine tenths, so the file is not rewritten per message.
    uint64_t n = 0;
    while (!s.outbox.empty() && s.bytes > s.opts.outbox_max / 10 * 9) {
        s.bytes -= s.outbox.front().payload.size();
        s.outbox.pop_front();
        ++n;
    }
    s.dropped += n;
    zq_log(LOG_WARNING,
           "MQTT outbox over %llu MB while the broker is away: dropped the %llu oldest "
           "messages (%llu dropped in all)",
           static_cast<unsigned long long>(s.opts.outbox_max >> 20),
           static_cast<unsigned long long>(n), static_cast<unsigned long long>(s.dropped));
    rewrite_locked(s);
}

// Loads what a former run left unacknowledged (a last line without its end was cut by a
// crash and is skipped).
void load_locked(SENSOR& s) {
    if (s.path.empty()) return;
    const std::optional<std::string> text = ovk_read_file(s.path);
    if (text) {
        size_t pos = 0;
        size_t loaded = 0;
        while (pos < text->size()) {
            const size_t nl = text->find('\n', pos);
            if (nl == std::string::npos) break;
            const std::string_view line(text->data() + pos, nl - pos);
            pos = nl + 1;
            const size_t tab = line.find('\t');
            if (tab == std::string_view::npos) continue;
            const std::string_view kind = line.substr(0, tab);
            if (kind != "detection" && kind != "alert") continue;
            ENTRY e;
            e.seq = s.next_seq++;
            e.kind = std::string(kind);
            e.payload = std::string(line.substr(tab + 1));
            s.bytes += e.payload.size();
            s.outbox.push_back(std::move(e));
            ++loaded;
        }
        if (loaded) zq_log(LOG_INFO, "MQTT outbox: %zu messages from the last run to send", loaded);
    }
    // The file is rewritten whole, so a torn last line does not stay in front of new ones.
    rewrite_locked(s);
}

// ---------------------------------------------------------------------------------------
// 3. Client events (on the client's thread)
// ---------------------------------------------------------------------------------------

void on_connect(OVK_MQTT_CONN r, std::string_view why) {
    SENSOR& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    switch (r) {
        case OVK_MQTT_CONN::Connected:
            if (s.link != LINK::Connected)
                zq_log(LOG_NOTICE, "MQTT: connected to %s:%d", s.opts.url.host.c_str(),
                       s.opts.url.port);
            s.link = LINK::Connected;
            s.discovery_due = true;
            s.status_due = true;
            break;
        case OVK_MQTT_CONN::NotAuthorised:
            if (s.link != LINK::NotAuthorised)
                zq_log(LOG_ERR, "MQTT: the broker %s:%d refused the user name or password",
                       s.opts.url.host.c_str(), s.opts.url.port);
            s.link = LINK::NotAuthorised;
            break;
        case OVK_MQTT_CONN::Refused:
        case OVK_MQTT_CONN::Unreachable:
            if (s.link == LINK::Connected || s.link == LINK::Connecting)
                zq_log(LOG_WARNING, "MQTT: broker %s:%d unreachable; messages wait in the outbox",
                       s.opts.url.host.c_str(), s.opts.url.port);
            s.link = LINK::Unreachable;
            break;
        case OVK_MQTT_CONN::Untrusted:
            if (s.link != LINK::Untrusted)
                zq_log(LOG_ERR,
                       "MQTT: the certificate of the broker %s:%d is not trusted: it is not "
                       "signed by the CA of mqtt_ca_file (or the system's CAs when that is "
                       "empty), or it was made for another host; messages wait in the outbox",
                       s.opts.url.host.c_str(), s.opts.url.port);
            s.link = LINK::Untrusted;
            break;
        case OVK_MQTT_CONN::TlsFailed: {
            const std::string reason = ovk_cut(why, 120);
            if (s.link != LINK::TlsFailed || s.tls_why != reason)
                zq_log(LOG_ERR,
                       "MQTT: TLS handshake with the broker %s:%d failed: %s; messages wait in "
                       "the outbox",
                       s.opts.url.host.c_str(), s.opts.url.port, reason.c_str());
            s.link = LINK::TlsFailed;
            s.tls_why = reason;
            break;
        }
    }
    s.cv.notify_all();
}

void on_disconnect() {
    SENSOR& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.quit) return;  // our own disconnect at the stop
    if (s.link == LINK::Connected)
        zq_log(LOG_WARNING, "MQTT: lost the broker %s:%d; messages wait in the outbox",
               s.opts.url.host.c_str(), s.opts.url.port);
    if (s.link != LINK::NotAuthorised && s.link != LINK::Untrusted && s.link != LINK::TlsFailed)
        s.link = LINK::Unreachable;
    s.cv.notify_all();
}

void on_published(int mid) {
    SENSOR& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    s.acks.push_back(mid);
    s.cv.notify_all();
}

// ---------------------------------------------------------------------------------------
// 4. The sender thread
// ---------------------------------------------------------------------------------------

struct OUT {
    uint64_t seq = 0;  // 0: not an outbox entry
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
};

void apply_acks_locked(SENSOR& s) {
    if (s.acks.empty()) return;
    const uint64_t head = s.outbox.empty() ? s.next_seq : s.outbox.front().seq;
    std::vector<int> keep;
    for (const int mid : s.acks) {
        const auto it = s.inflight.find(mid);
        if (it == s.inflight.end()) {
            // Acknowledged before the sender noted the id; kept for a moment.
            if (keep.size() < 4 * kWindow) keep.push_back(mid);
            continue;
        }
        const uint64_t seq = it->second;
        s.inflight.erase(it);
        if (seq >= head && seq - head < s.outbox.size()) s.outbox[seq - head].acked = true;
    }
    s.acks = std::move(keep);
    pop_acked_locked(s);
}

OVK_STATUS current_status(const SENSOR& s) {
    return s.opts.status ? s.opts.status() : ovk_pipeline_status();
}

// The status without its time.
std::string status_body(const OVK_STATUS& st, int64_t now) {
    OVK_FLEET_STATUS f;
    f.online = true;
    f.scanners = st.running ? st.scanners : std::string("stopped");
    f.devices = st.devices;
    f.flagged = st.flagged;
    f.threat = st.threat;
    if (st.has_location && now - st.location.time < 60000) {
        f.has_pos = true;
        f.lat = st.location.lat;
        f.lon = st.location.lon;
    }
    std::string body = ovk_fleetmsg_status_json(f);
    // Without the time: it goes in when the status is sent.
    const std::string time_member = ",\"time\":0";
    const size_t at = body.find(time_member);
    if (at != std::string::npos) body.erase(at, time_member.size());
    return body;
}

void sender_main() {
    SENSOR& s = S();
    for (;;) {
        std::vector<OUT> out;
        OVK_MQTT_CLIENT* client = nullptr;
        bool want_status = false;
        {
            std::unique_lock<std::mutex> lock(s.mu);
            s.cv.wait_for(lock, std::chrono::milliseconds(250));
            if (s.quit) return;
            apply_acks_locked(s);
            client = s.client.get();
            if (!client || s.link != LINK::Connected) continue;
            const int64_t now = ovk_now_ms();
            if (s.discovery_due) {
                s.discovery_due = false;
                for (auto& [topic, payload] :
                     ovk_fleetmsg_ha_discovery(s.opts.ha_prefix, s.opts.url.prefix, s.opts.sensor))
                    out.push_back(OUT{0, topic, payload, 1, true});
            }
            want_status = s.status_due || now - s.last_status >= s.opts.status_every_ms;
            int in_flight = static_cast<int>(s.inflight.size());
            for (ENTRY& e : s.outbox) {
                if (in_flight >= kWindow) break;
                if (e.acked) continue;
                if (e.sent && now - e.sent_at < kResendMs) continue;
                e.sent = true;
                e.sent_at = now;
                out.push_back(OUT{e.seq, s.base + "/" + e.kind, e.payload, 1, false});
                ++in_flight;
            }
            for (std::string& a : s.adverts) out.push_back(OUT{0, s.base + "/advert", a, 0, false});
            s.adverts.clear();
        }
        if (want_status) {
            // The status is read without the lock: the pipeline asks this module for its
            // link text.
            const int64_t now = ovk_now_ms();
            const OVK_STATUS st = current_status(s);
            std::string body = status_body(st, now);
            bool send = false;
            {
                std::lock_guard<std::mutex> lock(s.mu);
                if (s.status_due || body != s.last_status_body ||
                    now - s.last_status >= s.opts.status_every_ms) {
                    send = true;
                    s.status_due = false;
                    s.last_status = now;
                    s.last_status_body = body;
                }
            }
            if (send) {
                // The time goes in last, so a change of time alone is no change.
                std::string with_time = body;
                if (!with_time.empty() && with_time.back() == '}')
                    with_time.insert(with_time.size() - 1, ",\"time\":" + std::to_string(now));
                out.insert(out.begin(), OUT{0, s.base + "/status", with_time, 1, true});
            }
        }
        for (OUT& o : out) {
            int mid = 0;
            const int rc = client->publish(o.topic, o.payload, o.qos, o.retain, &mid);
            if (o.seq == 0) continue;
            std::lock_guard<std::mutex> lock(s.mu);
            const uint64_t head = s.outbox.empty() ? s.next_seq : s.outbox.front().seq;
            if (rc != 0) {
                if (o.seq >= head && o.seq - head < s.outbox.size())
                    s.outbox[o.seq - head].sent = false;
                continue;
            }
            s.inflight[mid] = o.seq;
        }
        if (!out.empty()) {
            std::lock_guard<std::mutex> lock(s.mu);
            apply_acks_locked(s);
        }
    }
}

void mark_status_changed() {
    SENSOR& s = S();
    s.cv.notify_all();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 1. Credentials
// ---------------------------------------------------------------------------------------

std::optional<std::string> ovk_mqtt_read_password_file(const std::string& path, std::string& why) {
    std::string text;
    const int err = zq_fs_read_private(path, 4096, text);
    if (err == EPERM) {
        why = "others than its owner may read it (chmod 600 it)";
        return std::nullopt;
    }
    if (err == EINVAL) {
        why = "not a regular file";
        return std::nullopt;
    }
    if (err != 0) {
        why = std::string("cannot read it: ") + strerror(err);
        return std::nullopt;
    }
    const size_t nl = text.find_first_of("\r\n");
    if (nl != std::string::npos) text.resize(nl);
    return text;
}

std::optional<std::string> ovk_mqtt_password(const OVK_PREFS& p, bool& ok, std::string& why) {
    ok = true;
    if (!p.mqtt_password_file.empty()) {
        auto pw = ovk_mqtt_read_password_file(p.mqtt_password_file, why);
        if (!pw) ok = false;
        return pw;
    }
    if (const char* env = std::getenv("ORVIK_MQTT_PASSWORD")) return std::string(env);
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// 5. Public calls
// ---------------------------------------------------------------------------------------

int ovk_mqtt_sensor_start(const OVK_MQTT_SENSOR_OPTS& opts, const OVK_MQTT_CONNECT& connect) {
    ovk_mqtt_sensor_stop();
    if (!connect || !ovk_fleetmsg_sensor_name_ok(opts.sensor) || opts.url.prefix.empty()) {
        zq_log(LOG_ERR, "MQTT: cannot start the publisher (no client or a bad sensor name)");
        return -1;
    }
    SENSOR& s = S();
    try {
        {
            std::lock_guard<std::mutex> lock(s.mu);
            s.opts = opts;
            s.base = opts.url.prefix + "/" + opts.sensor;
            s.path =
                opts.data_dir.empty() ? std::string() : opts.data_dir + "/" + OVK_MQTT_OUTBOX_FILE;
            s.quit = false;
            s.link = LINK::Connecting;
            s.started_at = ovk_now_ms();
            s.outbox.clear();
            s.inflight.clear();
            s.acks.clear();
            s.adverts.clear();
            s.bytes = s.acked_bytes = s.dropped = 0;
            s.next_seq = 1;
            s.write_failed = false;
            s.status_due = true;
            s.discovery_due = false;
            s.last_status = 0;
            s.last_status_body.clear();
            load_locked(s);
            s.started = true;
        }
        OVK_MQTT_CONFIG cfg;
        cfg.url = opts.url;
        cfg.client_id = "orvik-" + opts.sensor;
        cfg.user = opts.user;
        cfg.password = opts.password;
        cfg.ca_file = opts.ca_file;
        cfg.will_topic = opts.url.prefix + "/" + opts.sensor + "/status";
        cfg.will_payload = ovk_fleetmsg_offline_json();
        cfg.will_retain = true;
        OVK_MQTT_EVENTS ev;
        ev.on_connect = on_connect;
        ev.on_disconnect = on_disconnect;
        ev.on_published = on_published;
        std::string error;
        std::unique_ptr<OVK_MQTT_CLIENT> c = connect(cfg, ev, error);
        if (!c) {
            zq_log(LOG_ERR, "MQTT: cannot start the client: %s", error.c_str());
            std::lock_guard<std::mutex> lock(s.mu);
            s.started = false;
            return -1;
        }
        {
            std::lock_guard<std::mutex> lock(s.mu);
            s.client = std::move(c);
        }
        s.th = std::thread([] {
            try {
                sender_main();
            } catch (...) {
                zq_log(LOG_ERR, "MQTT: the sender stopped on an error");
            }
        });
        zq_log(LOG_INFO, "MQTT: sensor %s publishing to %s:%d under %s", opts.sensor.c_str(),
               opts.url.host.c_str(), opts.url.port, s.base.c_str());
        return 0;
    } catch (...) {
        zq_log(LOG_ERR, "MQTT: cannot start the publisher (out of memory)");
        std::lock_guard<std::mutex> lock(s.mu);
        s.started = false;
        return -1;
    }
}

void ovk_mqtt_sensor_stop() {
    SENSOR& s = S();
    std::unique_ptr<OVK_MQTT_CLIENT> client;
    std::string base;
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.started) return;
        s.quit = true;
        base = s.base;
        connected = s.link == LINK::Connected;
    }
    s.cv.notify_all();
    if (s.th.joinable()) s.th.join();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        client = std::move(s.client);
    }
    // A clean stop says so itself (a disconnect on purpose sends no last will).
    if (client && connected) {
        int mid = 0;
        client->publish(base + "/status", ovk_fleetmsg_offline_json(), 1, true, &mid);
    }
    client.reset();  // disconnects and joins the client's thread
    std::lock_guard<std::mutex> lock(s.mu);
    apply_acks_locked(s);
    // What was acknowledged leaves the file, so the next run does not send it again.
    if (!s.outbox.empty() && s.acked_bytes > 0) rewrite_locked(s);
    if (!s.outbox.empty())
        zq_log(LOG_INFO, "MQTT outbox: %zu messages wait for the next run", s.outbox.size());
    s.outbox.clear();
    s.inflight.clear();
    s.acks.clear();
    s.adverts.clear();
    s.started = false;
}

void ovk_mqtt_sensor_detection(const OVK_DETECTION& d) {
    SENSOR& s = S();
    try {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.started) return;
        push_locked(s, "detection", ovk_fleetmsg_detection_json(d, s.opts.sensor));
        s.status_due = true;  // the counts may have changed
    } catch (...) {
        zq_log(LOG_ERR, "MQTT: a detection could not be queued (out of memory)");
    }
    mark_status_changed();
}

void ovk_mqtt_sensor_alert(const OVK_UI_ALERT& a) {
    SENSOR& s = S();
    try {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.started) return;
        OVK_FLEET_ALERT f = ovk_fleetmsg_alert_of(a);
        f.sensor = s.opts.sensor;
        push_locked(s, "alert", ovk_fleetmsg_alert_json(f));
    } catch (...) {
        zq_log(LOG_ERR, "MQTT: an alert could not be queued (out of memory)");
    }
    mark_status_changed();
}

void ovk_mqtt_sensor_advert(const OVK_ADVERT& a) {
    SENSOR& s = S();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.started || !s.opts.adverts || s.link != LINK::Connected) return;
        if (s.adverts.size() >= 5000) return;  // QoS 0: dropped when the link lags
    }
    try {
        std::string line = ovk_classify_format(a);
        std::lock_guard<std::mutex> lock(s.mu);
        s.adverts.push_back(std::move(line));
    } catch (...) {
        return;
    }
    s.cv.notify_all();
}

std::string ovk_mqtt_sensor_status_text() {
    SENSOR& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.started) return {};
    switch (s.link) {
        case LINK::Connected:
            return "MQTT: connected";
        case LINK::NotAuthorised:
            return "MQTT: not authorised";
        case LINK::Untrusted:
            return ovk_format(96, "MQTT: broker certificate not trusted, %zu waiting",
                              s.outbox.size());
        case LINK::TlsFailed:
            return ovk_format(200, "MQTT: TLS handshake failed: %s, %zu waiting", s.tls_why.c_str(),
                              s.outbox.size());
        case LINK::Unreachable:
            return ovk_format(96, "MQTT: broker unreachable, %zu waiting", s.outbox.size());
        case LINK::Connecting:
            // A broker that does not answer at all gives no outcome to report.
            if (ovk_now_ms() - s.started_at < 5000) return "MQTT: connecting";
            return ovk_format(96, "MQTT: broker unreachable, %zu waiting", s.outbox.size());
    }
    return {};
}

size_t ovk_mqtt_sensor_waiting() {
    SENSOR& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.outbox.size();
}

uint64_t ovk_mqtt_sensor_dropped() {
    SENSOR& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.dropped;
}
