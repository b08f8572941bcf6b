// SPDX-License-Identifier: GPL-3.0-or-later
// The MQTT broker client over libmosquitto: one network thread per client (the library's
// own), asynchronous connect and reconnect with exponential back-off from 1 s to 30 s, TLS
// for mqtts:// (the system's CAs, or mqtt_ca_file), a retained last will. The password goes to
// the library only; it appears in no log line or error.
#pragma once

#include <memory>
#include <string>

#include "ovk_mqtt_link.h"

// Library set-up and tear-down, once per process (the platform's init and shutdown).
int ovk_linux_mqtt_init();
void ovk_linux_mqtt_shutdown();

// An OVK_MQTT_CONNECT.
std::unique_ptr<OVK_MQTT_CLIENT> ovk_linux_mqtt_connect(const OVK_MQTT_CONFIG& cfg,
                                                        OVK_MQTT_EVENTS events, std::string& error);
