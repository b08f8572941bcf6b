// SPDX-License-Identifier: GPL-3.0-or-later
// The link to an MQTT broker as the engine sees it: the broker's address, the connection's
// settings and events, and the client interface the platform layer implements over
// libmosquitto (ovk_linux_mqtt). The engine publishes and subscribes through it without any
// network code of its own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int OVK_MQTT_PORT = 1883;
inline constexpr int OVK_MQTTS_PORT = 8883;

// A broker address: mqtt://HOST[:PORT]/PREFIX or mqtts://HOST[:PORT]/PREFIX.
struct OVK_MQTT_URL {
    bool tls = false;
    std::string host;  // an IPv6 address without its brackets
    int port = OVK_MQTT_PORT;
    std::string prefix;  // the topic prefix, without leading or trailing '/'; never empty
};
// ---------------------------------------------------------------------------------------
// The broker client (implemented by the platform layer)
// ---------------------------------------------------------------------------------------

// How a connection attempt ended. Untrusted: the broker's TLS certificate was not accepted (not
// signed by a trusted CA, or made for another host). TlsFailed: the TLS handshake failed for
// another reason (a broker that does not speak TLS there, no protocol or cipher in common).
enum class OVK_MQTT_CONN { Connected, NotAuthorised, Refused, Unreachable, Untrusted, TlsFailed };

struct OVK_MQTT_CONFIG {
    OVK_MQTT_URL url;
    std::string client_id;
    std::string user;                     // "" for none
    std::optional<std::string> password;  // never logged
    std::string ca_file;                  // "" for the system's CAs
    std::string will_topic;               // "" for no last will
    std::string will_payload;
    bool will_retain = true;
    int keepalive_s = 20;
    // false: the broker keeps the subscriptions and queues QoS 1 messages while this client is
    // away (a central instance must not miss what sensors send meanwhile); needs a client id.
    bool clean_session = true;
};

// Called on the client's own thread (on_connect also on the starting thread, during the start,
// for a first attempt that fails at once); they must not call back into the client's owner while
// holding a lock the owner's callers take.
struct OVK_MQTT_EVENTS {
    // Each attempt's outcome; `why` is the TLS library's reason with TlsFailed, else "".
    std::function<void(OVK_MQTT_CONN result, std::string_view why)> on_connect;
    std::function<void()> on_disconnect;        // an established link was lost
    std::function<void(int mid)> on_published;  // a QoS 1 message was acknowledged
    std::function<void(std::string_view topic, std::string_view payload)> on_message;
};

// A connected (or connecting) client that keeps reconnecting with exponential back-off
// until it is destroyed; the destructor disconnects (no last will then) and joins its
// thread.
class OVK_MQTT_CLIENT {
  public:
    virtual ~OVK_MQTT_CLIENT() = default;
    // 0 and `*mid` (when given) set when the message was handed to the client; -1 when not
    // connected or refused.
    virtual int publish(const std::string& topic, std::string_view payload, int qos, bool retain,
                        int* mid) = 0;
    // 0 / -1.
    virtual int subscribe(const std::string& pattern, int qos) = 0;
};

// Starts a client; nullptr with `error` (for people, without the password) when it cannot
// even be set up (a TLS file that cannot be read, a library failure).
using OVK_MQTT_CONNECT = std::function<std::unique_ptr<OVK_MQTT_CLIENT>(
    const OVK_MQTT_CONFIG& cfg, OVK_MQTT_EVENTS events, std::string& error)>;
