// SPDX-License-Identifier: GPL-3.0-or-later
// Fleet messages: broker addresses, sensor names, what a sensor publishes and the checked
// parser the central side runs on everything a broker hands it.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ovk_app_util.h"
#include "ovk_fleetmsg.h"

namespace {

OVK_DETECTION axon() {
    OVK_DETECTION d;
    d.id = 7;
    d.mac = "00:25:DF:4A:19:C2";
    d.label = "Axon body camera";
    d.source = "BLE";
    d.rssi = -61;
    d.timestamp = 1796743884209;
    d.has_pos = 1;
    d.lat = 45.42;
    d.lon = -75.69;
    d.category = OVK_CAT_BODY_CAM;
    d.confidence = 90;
    d.evidence = "Advert payload carries Axon's \"BWCDEVICE\" tag";
    d.vendor = "Taser International Inc.";
    d.device_name = "AXON\x1b]0;pwned\x07";
    return d;
}

// `s` as a JSON string literal, quotes included.
std::string json_string(const std::string& s) {
    OVK_JSON j(cJSON_CreateString(s.c_str()));
    return ovk_json_print(j.get(), false).value_or("\"\"");
}

std::string why_of(std::string_view topic, std::string_view payload) {
    OVK_FLEET_MSG m;
    return ovk_fleetmsg_parse("orvik", topic, payload, m);
}

TEST(FleetUrl, AcceptsHostsPortsAndPrefixesAndSaysWhatIsWrong) {
    OVK_MQTT_URL u;
    ASSERT_EQ(ovk_fleetmsg_parse_url("mqtt://broker.lan/orvik", u), "");
    EXPECT_FALSE(u.tls);
    EXPECT_EQ(u.host, "broker.lan");
    EXPECT_EQ(u.port, 1883);
    EXPECT_EQ(u.prefix, "orvik");
    ASSERT_EQ(ovk_fleetmsg_parse_url("mqtts://[::1]:8884/city/plates/", u), "");
    EXPECT_TRUE(u.tls);
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.port, 8884);
    EXPECT_EQ(u.prefix, "city/plates");
    ASSERT_EQ(ovk_fleetmsg_parse_url("mqtts://h/p", u), "");
    EXPECT_EQ(u.port, 8883);

    for (const char* bad : {"http://h/p", "mqtt://h", "mqtt://h/", "mqtt://h:0/p",
                            "mqtt://h:65536/p", "mqtt://h:x/p", "mqtt:///p", "mqtt://h/a/+/b",
                            "mqtt://h/a#", "mqtt://h/a//b", "mqtt://user:pw@h/p", "mqtt://h:/p"}) {
        OVK_MQTT_URL v;
        EXPECT_NE(ovk_fleetmsg_parse_url(bad, v), "") << bad;
    }
    // Credentials in the address are refused with a pointer to where they belong.
    EXPECT_NE(ovk_fleetmsg_parse_url("mqtt://me:hunter2@h/p", u).find("password file"),
              std::string::npos);
}

TEST(FleetNames, SensorNamesAreLettersDigitsDashAndUnderscore) {
    EXPECT_TRUE(ovk_fleetmsg_sensor_name_ok("car1"));
    EXPECT_TRUE(ovk_fleetmsg_sensor_name_ok("home-pi_2"));
    EXPECT_TRUE(ovk_fleetmsg_sensor_name_ok(std::string(32, 'a')));
    EXPECT_FALSE(ovk_fleetmsg_sensor_name_ok(""));
    EXPECT_FALSE(ovk_fleetmsg_sensor_name_ok(std::string(33, 'a')));
    EXPECT_FALSE(ovk_fleetmsg_sensor_name_ok("car 1"));
    EXPECT_FALSE(ovk_fleetmsg_sensor_name_ok("car/1"));
    EXPECT_FALSE(ovk_fleetmsg_sensor_name_ok("car+"));
    EXPECT_FALSE(ovk_fleetmsg_sensor_name_ok("caf\xc3\xa9"));
    EXPECT_EQ(ovk_fleetmsg_sensor_from_host("pi.home.lan"), "pi-home-lan");
    EXPECT_EQ(ovk_fleetmsg_sensor_from_host(""), "orvik");
    EXPECT_EQ(ovk_fleetmsg_sensor_from_host(std::string(80, 'h')).size(), 32u);
}

TEST(FleetParse, WhatASensorPublishesReadsBackWhole) {
    const OVK_DETECTION d = axon();
    const std::string line = ovk_fleetmsg_detection_json(d, "car1");
    ASSERT_NE(line.find("\"sensor\":\"car1\""), std::string::npos) << line;
    OVK_FLEET_MSG m;
    ASSERT_EQ(ovk_fleetmsg_parse("orvik", "orvik/car1/detection", line, m), "");
    ASSERT_EQ(m.kind, OVK_FLEET_KIND::Detection);
    OVK_DETECTION want = d;
    want.id = 0;
    want.sensor = "car1";
    EXPECT_EQ(m.detection, want);

    OVK_FLEET_ALERT a;
    a.label = "Axon body camera";
    a.category = OVK_CAT_BODY_CAM;
    a.confidence = 90;
    a.address = "00:25:DF:4A:19:C2";
    a.evidence = "BWCDEVICE tag";
    a.rssi = -61;
    a.time = 1796743884209;
    a.has_pos = true;
    a.lat = 45.5;
    a.lon = -73.5;
    a.sensor = "car1";
    const std::string aj = ovk_fleetmsg_alert_json(a);
    for (const char* k :
         {"\"label\":", "\"category\":\"BODY_CAM\"", "\"confidence\":90", "\"tier\":\"strong\"",
          "\"address\":", "\"time\":", "\"lat\":", "\"lon\":", "\"sensor\":\"car1\""})
        EXPECT_NE(aj.find(k), std::string::npos) << k << " in " << aj;
    ASSERT_EQ(ovk_fleetmsg_parse("orvik", "orvik/car1/alert", aj, m), "");
    EXPECT_EQ(m.alert.label, a.label);
    EXPECT_EQ(m.alert.address, a.address);
    EXPECT_EQ(m.alert.rssi, -61);
    EXPECT_TRUE(m.alert.has_pos);
    const OVK_UI_ALERT ui = ovk_fleetmsg_ui_alert(m.alert);
    EXPECT_EQ(ui.sensor, "car1");
    EXPECT_EQ(ui.key, "car1/00:25:DF:4A:19:C2");
    EXPECT_EQ(ovk_fleetmsg_alert_text(a),
              "car1: Axon body camera nearby (BODY CAM, strong 90%) 00:25:DF:4A:19:C2");

    OVK_FLEET_STATUS st;
    st.online = true;
    st.time = 1;
    st.scanners = "Demo";
    st.devices = 15;
    st.flagged = 8;
    st.threat = OVK_THREAT_DANGER;
    ASSERT_EQ(ovk_fleetmsg_parse("city/plates", "city/plates/car1/status",
                                 ovk_fleetmsg_status_json(st), m),
              "");
    EXPECT_TRUE(m.status.online);
    EXPECT_EQ(m.status.flagged, 8);
    EXPECT_EQ(m.status.threat, OVK_THREAT_DANGER);
    EXPECT_FALSE(m.status.has_pos);
    ASSERT_EQ(ovk_fleetmsg_parse("orvik", "orvik/car1/status", ovk_fleetmsg_offline_json(), m), "");
    EXPECT_FALSE(m.status.online);
}

TEST(FleetParse, HostileMessagesAreRefusedBeforeTheyReachAnything) {
    const std::string good = ovk_fleetmsg_detection_json(axon(), "car1");
    ASSERT_EQ(why_of("orvik/car1/detection", good), "");

    // Random bytes, truncated JSON, JSON of the wrong shape.
    std::mt19937 rng(31);
    for (int i = 0; i < 200; ++i) {
        std::string junk(static_cast<size_t>(rng() % 300), '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        EXPECT_NE(why_of("orvik/car1/detection", junk), "");
    }
    for (size_t cut = 0; cut < good.size(); cut += 7)
        EXPECT_NE(why_of("orvik/car1/detection", good.substr(0, cut)), "") << cut;
    EXPECT_NE(why_of("orvik/car1/detection", "[1,2]"), "");
    EXPECT_NE(why_of("orvik/car1/status", "{\"online\":\"yes\"}"), "");
    EXPECT_NE(why_of("orvik/car1/alert", "{}"), "");

    // A 2,000-character sensor name with terminal escapes, in the topic or the payload.
    std::string evil = "\x1b[2J\x1b]0;owned\x07";
    while (evil.size() < 2000) evil += "A\x1b[31m";
    EXPECT_EQ(why_of("orvik/" + evil + "/detection", good), "bad sensor name");
    std::string named = good;
    named.replace(named.find("\"car1\""), 6, json_string(evil));
    EXPECT_NE(why_of("orvik/car1/detection", named), "");
    // A sensor that names another in its payload.
    EXPECT_EQ(why_of("orvik/car2/detection", good), "\"sensor\" is not the topic's");

    // Over-long fields, a payload over 64 KB, bad numbers, topics outside the prefix.
    std::string big = good;
    big.replace(big.find("Axon body camera"), 16, std::string(500, 'x'));
    EXPECT_EQ(why_of("orvik/car1/detection", big), "bad \"label\"");
    std::string huge = good;
    huge.insert(1, "\"pad\":\"" + std::string(70000, 'p') + "\",");
    EXPECT_EQ(why_of("orvik/car1/detection", huge), "payload over 64 KB");
    std::string conf = good;
    conf.replace(conf.find("\"confidence\":90"), 15, "\"confidence\":900");
    EXPECT_EQ(why_of("orvik/car1/detection", conf), "bad \"confidence\"");
    std::string lat = good;
    lat.replace(lat.find("\"latitude\":45.42"), 16, "\"latitude\":1e999");
    EXPECT_NE(why_of("orvik/car1/detection", lat), "");
    EXPECT_EQ(why_of("other/car1/detection", good), "topic outside the prefix");
    EXPECT_EQ(why_of("orvikx/car1/detection", good), "topic outside the prefix");
    EXPECT_EQ(why_of("orvik/car1/telemetry", good), "unknown message kind");
    EXPECT_EQ(why_of("orvik/car1", good), "topic without a kind");
    EXPECT_EQ(ovk_fleetmsg_topic_sensor("orvik", "orvik/car1/x"), "car1");
}

TEST(FleetDiscovery, HomeAssistantGetsFourEntitiesNamingTheSensor) {
    EXPECT_TRUE(ovk_fleetmsg_ha_discovery("", "orvik", "car1").empty());
    const auto msgs = ovk_fleetmsg_ha_discovery("homeassistant", "orvik", "car1");
    ASSERT_EQ(msgs.size(), 4u);
    int binary = 0;
    for (const auto& [topic, payload] : msgs) {
        EXPECT_TRUE(topic.starts_with("homeassistant/")) << topic;
        EXPECT_TRUE(topic.ends_with("/config")) << topic;
        if (topic.starts_with("homeassistant/binary_sensor/")) ++binary;
        OVK_JSON j = ovk_json_parse(payload);
        ASSERT_TRUE(j) << payload;
        std::string v;
        EXPECT_TRUE(ovk_json_str(j.get(), "state_topic", v, 256));
        EXPECT_TRUE(v == "orvik/car1/status" || v == "orvik/car1/detection") << v;
        EXPECT_TRUE(ovk_json_str(j.get(), "unique_id", v, 256));
        EXPECT_NE(v.find("car1"), std::string::npos);
        const cJSON* dev = cJSON_GetObjectItemCaseSensitive(j.get(), "device");
        ASSERT_TRUE(cJSON_IsObject(dev));
        EXPECT_TRUE(ovk_json_str(dev, "name", v, 256));
        EXPECT_EQ(v, "Orvik car1");
        EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(dev, "identifiers")));
    }
    EXPECT_EQ(binary, 1);
}

}  // namespace
