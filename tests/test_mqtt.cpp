// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// A sensor publishing and a central instance storing, in one process, through a real
// mosquitto on loopback with a password file: what arrives, a broker outage that loses
// nothing, the outbox across a restart and at its cap, wrong credentials, hostile messages.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "ovk_fleet.h"
#include "ovk_linux_mqtt.h"
#include "ovk_mqtt.h"
#include "ovk_pipeline.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_mosquitto.h"

namespace {

using namespace std::chrono_literals;

bool wait_for(const std::function<bool()>& cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return cond();
}

OVK_DETECTION detection(int i) {
    OVK_DETECTION d;
    d.mac = "00:25:DF:4A:19:" + std::string(i < 16 ? "0" : "") + ([i] {
                char b[8];
                snprintf(b, sizeof b, "%X", i & 0xFF);
                return std::string(b);
            })();
    d.label = "Axon body camera";
    d.source = "BLE";
    d.rssi = -60;
    d.timestamp = 1796743884000 + i;
    d.category = OVK_CAT_BODY_CAM;
    d.confidence = 90;
    d.evidence = "BWCDEVICE tag";
    return d;
}

OVK_STATUS fixed_status() {
    OVK_STATUS s;
    s.running = 1;
    s.scanners = "Demo: made-up devices (no radios)";
    s.devices = 15;
    s.flagged = 8;
    s.threat = OVK_THREAT_DANGER;
    return s;
}

class MqttFleet : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!broker_.ok()) GTEST_SKIP() << "mosquitto is not installed";
        ASSERT_EQ(ovk_linux_mqtt_init(), 0);
        ASSERT_EQ(ovk_store_open(central_dir_.path()), 0);
        ovk_fleet_reset();
        while (ovk_pipeline_pop_alert()) {
        }
    }
    void TearDown() override {
        ovk_mqtt_sensor_stop();
        ovk_fleet_stop();
        ovk_store_close();
    }

    OVK_MQTT_URL url(const std::string& prefix) {
        OVK_MQTT_URL u;
        EXPECT_EQ(ovk_fleetmsg_parse_url(broker_.url(prefix), u), "");
        return u;
    }
    int start_central(const std::string& prefix) {
        OVK_FLEET_OPTS o;
        o.url = url(prefix);
        o.user = "orvik";
        o.password = "secret";
        o.client_id = "central-" + prefix;
        const int rc = ovk_fleet_start(o, ovk_linux_mqtt_connect);
        wait_for([] { return ovk_fleet_status_text().starts_with("Fleet: connected"); }, 5000);
        return rc;
    }
    OVK_MQTT_SENSOR_OPTS sensor_opts(const std::string& prefix, const std::string& name) {
        OVK_MQTT_SENSOR_OPTS o;
        o.url = url(prefix);
        o.sensor = name;
        o.user = "sensor";
        o.password = "s3nsor";
        o.ha_prefix = "homeassistant";
        o.data_dir = sensor_dir_.path();
        o.status = fixed_status;
        o.status_every_ms = 500;
        return o;
    }
    static std::set<int64_t> stored_times() {
        std::set<int64_t> t;
        for (const OVK_DETECTION& d : ovk_store_detections(0)) t.insert(d.timestamp);
        return t;
    }

    ovk_test::Mosquitto broker_;
    ovk_test::TempDir central_dir_;
    ovk_test::TempDir sensor_dir_;
};

TEST_F(MqttFleet, DetectionsAlertsAndStatusReachTheCentralLogAndTable) {
    ASSERT_EQ(start_central("t1"), 0);
    ASSERT_EQ(ovk_mqtt_sensor_start(sensor_opts("t1", "car1"), ovk_linux_mqtt_connect), 0);
    ASSERT_TRUE(wait_for([] { return ovk_mqtt_sensor_status_text() == "MQTT: connected"; }, 5000))
        << ovk_mqtt_sensor_status_text();
    for (int i = 0; i < 3; ++i) ovk_mqtt_sensor_detection(detection(i));
    OVK_UI_ALERT a;
    a.time = 1796743884100;
    a.key = "00:25:DF:4A:19:C2";
    a.hit.label = "Axon body camera";
    a.hit.category = OVK_CAT_BODY_CAM;
    a.hit.confidence = 90;
    a.hit.evidence = "BWCDEVICE tag";
    ovk_mqtt_sensor_alert(a);

    ASSERT_TRUE(wait_for([] { return ovk_store_detection_count() == 3; }, 10000))
        << ovk_store_detection_count();
    for (const OVK_DETECTION& d : ovk_store_detections(0)) EXPECT_EQ(d.sensor, "car1");
    // The log line on disk carries the sensor too.
    EXPECT_NE(
        ovk_test::read_file(central_dir_.file("detections.jsonl")).find("\"sensor\":\"car1\""),
        std::string::npos);

    std::optional<OVK_UI_ALERT> got;
    ASSERT_TRUE(wait_for([&] { return (got = ovk_pipeline_pop_alert()).has_value(); }, 5000));
    EXPECT_EQ(got->sensor, "car1");
    EXPECT_EQ(got->hit.label, "Axon body camera");
    EXPECT_EQ(got->hit.evidence, "BWCDEVICE tag");

    ASSERT_TRUE(wait_for(
        [] {
            const auto s = ovk_fleet_sensors();
            return s.size() == 1 && s[0].online && s[0].status.flagged == 8;
        },
        5000));
    const auto sensors = ovk_fleet_sensors();
    EXPECT_EQ(sensors[0].name, "car1");
    EXPECT_EQ(sensors[0].status.threat, OVK_THREAT_DANGER);
    EXPECT_EQ(sensors[0].detections, 3u);
    EXPECT_TRUE(wait_for([] { return ovk_mqtt_sensor_waiting() == 0; }, 5000));
    EXPECT_EQ(ovk_fleet_status_text(), "Fleet: connected, 1 sensor (1 online)");

    // A sensor that stops says so; one that has been gone 5 minutes is marked.
    ovk_mqtt_sensor_stop();
    ASSERT_TRUE(wait_for([] { return !ovk_fleet_sensors().at(0).online; }, 5000));
    const OVK_FLEET_SENSOR gone = ovk_fleet_sensors().at(0);
    EXPECT_FALSE(ovk_fleet_sensor_stale(gone, gone.offline_since + 60000));
    EXPECT_TRUE(ovk_fleet_sensor_stale(gone, gone.offline_since + OVK_FLEET_STALE_MS + 1));
    // Nothing was left waiting in the outbox file.
    EXPECT_EQ(ovk_test::read_file(sensor_dir_.file(OVK_MQTT_OUTBOX_FILE)), "");
}

TEST_F(MqttFleet, ABrokerStoppedForTenSecondsWhileTheSensorPublishesLosesNothing) {
    ASSERT_EQ(start_central("t2"), 0);
    ASSERT_EQ(ovk_mqtt_sensor_start(sensor_opts("t2", "car2"), ovk_linux_mqtt_connect), 0);
    ASSERT_TRUE(wait_for([] { return ovk_mqtt_sensor_status_text() == "MQTT: connected"; }, 5000));
    int n = 0;
    for (; n < 5; ++n) ovk_mqtt_sensor_detection(detection(n));
    ASSERT_TRUE(wait_for([] { return ovk_store_detection_count() == 5; }, 10000));

    broker_.stop();
    const auto outage_end = std::chrono::steady_clock::now() + 10s;
    bool saw_waiting = false;
    while (std::chrono::steady_clock::now() < outage_end) {
        ovk_mqtt_sensor_detection(detection(n++));
        std::this_thread::sleep_for(250ms);
        const std::string st = ovk_mqtt_sensor_status_text();
        if (st.starts_with("MQTT: broker unreachable, ") && st.ends_with(" waiting") &&
            st != "MQTT: broker unreachable, 0 waiting")
            saw_waiting = true;
    }
    EXPECT_TRUE(saw_waiting) << ovk_mqtt_sensor_status_text();
    EXPECT_GT(ovk_mqtt_sensor_waiting(), 20u);
    // They wait on disk, not only in memory.
    EXPECT_NE(ovk_test::read_file(sensor_dir_.file(OVK_MQTT_OUTBOX_FILE)).find("detection\t{"),
              std::string::npos);
    ASSERT_TRUE(broker_.start());

    const int total = n;
    // Both clients come back on their own back-off (up to 30 s between tries), so allow for
    // one full wait of each on a busy machine.
    ASSERT_TRUE(wait_for([total] { return ovk_store_detection_count() >= total; }, 90000))
        << ovk_store_detection_count() << " of " << total;
    const std::set<int64_t> times = stored_times();
    for (int i = 0; i < total; ++i) EXPECT_EQ(times.count(detection(i).timestamp), 1u) << i;
    // No repeats either.
    EXPECT_EQ(ovk_store_detection_count(), total);
    EXPECT_TRUE(wait_for([] { return ovk_mqtt_sensor_waiting() == 0; }, 10000));
}

TEST_F(MqttFleet, TheOutboxOutlivesARunAndDropsTheOldestPastItsCap) {
    broker_.stop();
    OVK_MQTT_SENSOR_OPTS o = sensor_opts("t3", "car3");
    o.outbox_max = 8 * 1024;  // about 20 detections
    {
        ovk_test::LogCapture log;
        ASSERT_EQ(ovk_mqtt_sensor_start(o, ovk_linux_mqtt_connect), 0);
        for (int i = 0; i < 100; ++i) ovk_mqtt_sensor_detection(detection(i));
        EXPECT_GT(ovk_mqtt_sensor_dropped(), 0u);
        EXPECT_TRUE(log.has("dropped the")) << log.text();
        ovk_mqtt_sensor_stop();
    }
    const std::string file = ovk_test::read_file(sensor_dir_.file(OVK_MQTT_OUTBOX_FILE));
    ASSERT_FALSE(file.empty());
    // A crash in the middle of an append leaves a torn last line; it is skipped.
    ovk_test::write_file(sensor_dir_.file(OVK_MQTT_OUTBOX_FILE), file + "detection\t{\"mac\":\"00");

    ASSERT_TRUE(broker_.start());
    ASSERT_EQ(start_central("t3"), 0);
    ASSERT_EQ(ovk_mqtt_sensor_start(o, ovk_linux_mqtt_connect), 0);
    const size_t kept = static_cast<size_t>(std::count(file.begin(), file.end(), '\n'));
    ASSERT_TRUE(
        wait_for([kept] { return ovk_store_detection_count() == static_cast<int>(kept); }, 15000))
        << ovk_store_detection_count() << " of " << kept;
    // The newest were kept, and arrived in the order they were made.
    auto dets = ovk_store_detections(0);
    std::sort(dets.begin(), dets.end(),
              [](const OVK_DETECTION& a, const OVK_DETECTION& b) { return a.id < b.id; });
    EXPECT_EQ(dets.back().timestamp, detection(99).timestamp);
    for (size_t i = 1; i < dets.size(); ++i) EXPECT_LT(dets[i - 1].timestamp, dets[i].timestamp);
    EXPECT_TRUE(wait_for([] { return ovk_mqtt_sensor_waiting() == 0; }, 5000));
}

TEST_F(MqttFleet, WrongCredentialsSayNotAuthorisedAndNeverShowThePassword) {
    ovk_test::LogCapture log;
    OVK_MQTT_SENSOR_OPTS o = sensor_opts("t4", "car4");
    o.password = "Wr0ngPassw0rd";
    ASSERT_EQ(ovk_mqtt_sensor_start(o, ovk_linux_mqtt_connect), 0);
    ASSERT_TRUE(
        wait_for([] { return ovk_mqtt_sensor_status_text() == "MQTT: not authorised"; }, 8000))
        << ovk_mqtt_sensor_status_text();
    ovk_mqtt_sensor_detection(detection(1));
    EXPECT_EQ(ovk_mqtt_sensor_status_text(), "MQTT: not authorised");
    ovk_mqtt_sensor_stop();
    EXPECT_EQ(log.text().find("Wr0ngPassw0rd"), std::string::npos) << log.text();
    EXPECT_TRUE(log.has("refused the user name or password")) << log.text();
}

TEST_F(MqttFleet, HostileMessagesAreCountedAndLoggedOncePerSensorAndMinute) {
    ASSERT_EQ(start_central("t5"), 0);
    std::atomic<bool> up{false};
    OVK_MQTT_CONFIG cfg;
    cfg.url = url("t5");
    cfg.user = "sensor";
    cfg.password = "s3nsor";
    OVK_MQTT_EVENTS ev;
    ev.on_connect = [&up](OVK_MQTT_CONN r, std::string_view) {
        up = r == OVK_MQTT_CONN::Connected;
    };
    std::string err;
    auto raw = ovk_linux_mqtt_connect(cfg, ev, err);
    ASSERT_TRUE(raw) << err;
    ASSERT_TRUE(wait_for([&up] { return up.load(); }, 5000));

    ovk_test::LogCapture log;
    std::string junk(4096, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 7919) ^ (i >> 3));
    // The client library (and the broker) refuse control characters in topics, so a hostile
    // name there is long and foreign; in payloads it carries terminal escapes.
    std::string long_name;
    while (long_name.size() < 2000) long_name += "B\xc3\xa9";
    std::string evil = "\x1b[2J\x1b]0;owned\x07";
    while (evil.size() < 2000) evil += "B\x1b[31m";
    const std::string good = ovk_fleetmsg_detection_json(detection(1), "car5");
    int mid = 0;
    raw->publish("t5/car5/detection", junk, 1, false, &mid);
    raw->publish("t5/car5/detection", good.substr(0, good.size() / 2), 1, false, &mid);
    ASSERT_EQ(raw->publish("t5/" + long_name + "/detection", good, 1, false, &mid), 0);
    raw->publish("t5/car5/alert", "{\"label\":\"" + evil + "\"}", 1, false, &mid);
    raw->publish("t5/car5/detection", std::string(70000, '{'), 1, false, &mid);
    raw->publish("t5/car5/detection", good, 1, false, &mid);  // the one good message
    ASSERT_TRUE(wait_for([] { return ovk_store_detection_count() == 1; }, 5000));
    ASSERT_TRUE(wait_for([] { return ovk_fleet_bad_count() == 5; }, 5000)) << ovk_fleet_bad_count();
    const std::string text = log.text();
    // Once for car5 and once for the long name, and no raw escape reached the log.
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("refused a message", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 2u) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(ovk_store_detections(0).at(0).sensor, "car5");
    // The central instance still works.
    EXPECT_TRUE(ovk_fleet_status_text().starts_with("Fleet: connected"));
}

TEST(MqttPassword, AFileOthersCanReadIsRefused) {
    ovk_test::TempDir dir;
    const std::string f = dir.file("pw");
    ovk_test::write_file(f, "s3cret\nsecond line\n");
    chmod(f.c_str(), 0644);
    std::string why;
    EXPECT_FALSE(ovk_mqtt_read_password_file(f, why));
    EXPECT_NE(why.find("owner"), std::string::npos);
    EXPECT_EQ(why.find("s3cret"), std::string::npos);
    chmod(f.c_str(), 0600);
    EXPECT_EQ(ovk_mqtt_read_password_file(f, why), "s3cret");
    OVK_PREFS p;
    p.mqtt_password_file = f;
    chmod(f.c_str(), 0640);
    bool ok = true;
    EXPECT_FALSE(ovk_mqtt_password(p, ok, why));
    EXPECT_FALSE(ok);
}

}  // namespace

// A broker that speaks only TLS, its certificate signed by a CA made for the test: with that CA
// as mqtt_ca_file a sensor's detection reaches the central's log; with another CA neither side
// connects, and the status line says why instead of calling the broker unreachable.
TEST(MqttTls, ADetectionCrossesATlsBrokerAndAWrongCaIsRefusedOnTheStatusLine) {
    ovk_test::Mosquitto broker(true);
    if (!broker.ok()) GTEST_SKIP() << "mosquitto or openssl is not installed";
    ASSERT_EQ(ovk_linux_mqtt_init(), 0);
    ovk_test::TempDir central_dir, sensor_dir;
    ASSERT_EQ(ovk_store_open(central_dir.path()), 0);
    ovk_fleet_reset();
    const std::string url = broker.url("tls");
    ASSERT_EQ(url.rfind("mqtts://127.0.0.1:", 0), 0u) << url;

    auto central = [&](const std::string& ca) {
        OVK_FLEET_OPTS o;
        EXPECT_EQ(ovk_fleetmsg_parse_url(url, o.url), "");
        o.user = "orvik";
        o.password = "secret";
        o.ca_file = ca;
        o.client_id = "central-tls";
        return ovk_fleet_start(o, ovk_linux_mqtt_connect);
    };
    auto sensor = [&](const std::string& ca) {
        OVK_MQTT_SENSOR_OPTS o;
        EXPECT_EQ(ovk_fleetmsg_parse_url(url, o.url), "");
        o.sensor = "car7";
        o.user = "sensor";
        o.password = "s3nsor";
        o.ca_file = ca;
        o.ha_prefix = "";
        o.data_dir = sensor_dir.path();
        o.status = fixed_status;
        o.status_every_ms = 500;
        return ovk_mqtt_sensor_start(o, ovk_linux_mqtt_connect);
    };

    ASSERT_EQ(central(broker.ca_file()), 0);
    ASSERT_EQ(sensor(broker.ca_file()), 0);
    ASSERT_TRUE(
        wait_for([] { return ovk_fleet_status_text().starts_with("Fleet: connected"); }, 8000))
        << ovk_fleet_status_text() << broker.log();
    ASSERT_TRUE(wait_for([] { return ovk_mqtt_sensor_status_text() == "MQTT: connected"; }, 8000))
        << ovk_mqtt_sensor_status_text() << broker.log();
    ovk_mqtt_sensor_detection(detection(7));
    ASSERT_TRUE(wait_for([] { return ovk_store_detection_count() == 1; }, 10000))
        << ovk_store_detection_count();
    const OVK_DETECTION got = ovk_store_detections(0).at(0);
    EXPECT_EQ(got.sensor, "car7");
    EXPECT_EQ(got.timestamp, detection(7).timestamp);
    ovk_mqtt_sensor_stop();
    ovk_fleet_stop();

    // The other CA: the broker's certificate is not trusted, by either side.
    ovk_test::LogCapture log;
    ASSERT_EQ(central(broker.other_ca_file()), 0);
    ASSERT_EQ(sensor(broker.other_ca_file()), 0);
    ovk_mqtt_sensor_detection(detection(8));
    EXPECT_TRUE(wait_for(
        [] {
            return ovk_mqtt_sensor_status_text() ==
                   "MQTT: broker certificate not trusted, 1 waiting";
        },
        8000))
        << ovk_mqtt_sensor_status_text();
    EXPECT_TRUE(wait_for(
        [] { return ovk_fleet_status_text() == "Fleet: broker certificate not trusted"; }, 8000))
        << ovk_fleet_status_text();
    EXPECT_TRUE(log.has("not signed by the CA of mqtt_ca_file")) << log.text();
    EXPECT_EQ(ovk_store_detection_count(), 1u);
    ovk_mqtt_sensor_stop();
    ovk_fleet_stop();
    ovk_store_close();
}

// A TLS address whose broker speaks plain MQTT: the handshake fails, and both sides say so with
// the TLS library's reason instead of calling a broker that answers unreachable.
TEST(MqttTls, APlainBrokerAtATlsAddressSaysTheHandshakeFailed) {
    ovk_test::Mosquitto broker;
    if (!broker.ok()) GTEST_SKIP() << "mosquitto is not installed";
    ASSERT_EQ(ovk_linux_mqtt_init(), 0);
    ovk_test::TempDir central_dir, sensor_dir;
    ASSERT_EQ(ovk_store_open(central_dir.path()), 0);
    ovk_fleet_reset();
    std::string url = broker.url("plain");
    ASSERT_EQ(url.rfind("mqtt://127.0.0.1:", 0), 0u) << url;
    url.replace(0, 7, "mqtts://");

    ovk_test::LogCapture log;
    OVK_FLEET_OPTS fo;
    ASSERT_EQ(ovk_fleetmsg_parse_url(url, fo.url), "");
    fo.user = "orvik";
    fo.password = "secret";
    fo.client_id = "central-plain";
    ASSERT_EQ(ovk_fleet_start(fo, ovk_linux_mqtt_connect), 0);
    OVK_MQTT_SENSOR_OPTS so;
    ASSERT_EQ(ovk_fleetmsg_parse_url(url, so.url), "");
    so.sensor = "car8";
    so.user = "sensor";
    so.password = "s3nsor";
    so.ha_prefix = "";
    so.data_dir = sensor_dir.path();
    so.status = fixed_status;
    so.status_every_ms = 500;
    ASSERT_EQ(ovk_mqtt_sensor_start(so, ovk_linux_mqtt_connect), 0);
    ovk_mqtt_sensor_detection(detection(9));

    const std::string fleet_said = "Fleet: TLS handshake failed: ";
    const std::string sensor_said = "MQTT: TLS handshake failed: ";
    EXPECT_TRUE(wait_for(
        [&] {
            const std::string t = ovk_fleet_status_text();
            return t.starts_with(fleet_said) && t.size() > fleet_said.size();
        },
        8000))
        << ovk_fleet_status_text() << "\n"
        << log.text();
    EXPECT_TRUE(wait_for(
        [&] {
            const std::string t = ovk_mqtt_sensor_status_text();
            return t.starts_with(sensor_said) && t.ends_with(", 1 waiting");
        },
        8000))
        << ovk_mqtt_sensor_status_text();
    // Still so after the library's reconnects, and never called unreachable meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(ovk_fleet_status_text().starts_with(fleet_said)) << ovk_fleet_status_text();
    EXPECT_TRUE(ovk_mqtt_sensor_status_text().starts_with(sensor_said))
        << ovk_mqtt_sensor_status_text();
    EXPECT_TRUE(log.has("fleet: TLS handshake with the broker failed: ")) << log.text();
    EXPECT_EQ(log.text().find("secret"), std::string::npos);
    EXPECT_EQ(ovk_store_detection_count(), 0u);
    ovk_mqtt_sensor_stop();
    ovk_fleet_stop();
    ovk_store_close();
}
