// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The built orvik program as sensors and as the central instance, through a real mosquitto on
// loopback with a password file: two demo sensors and a central whose log holds both; a sensor
// killed with SIGKILL shown offline; hostile messages that do not stop the central; wrong
// credentials on the status line; alerts posted to a webhook; --alerts-json line by line.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_fleetmsg.h"
#include "ovk_linux_mqtt.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_http.h"
#include "ovk_test_mosquitto.h"
#include "ovk_test_program.h"

namespace {

using namespace std::chrono_literals;

std::string orvik() {
    return std::string(OVK_BINARY_DIR) + "/orvik";
}

bool wait_for(const std::function<bool()>& cond, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(200ms);
    }
    return cond();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// One data directory with its settings and a launch of the program on it.
struct Node {
    ovk_test::TempDir dir;
    explicit Node(const std::string& settings) {
        ovk_test::TempDir::remove_tree(dir.file("orvik"));
        EXPECT_EQ(ovk_mkdirs(dir.file("orvik")), 0);
        ovk_test::write_file(dir.file("orvik/settings.json"), settings);
    }
    ovk_test::ProgramLaunch launch(std::vector<std::string> args,
                                   const std::string& password) const {
        ovk_test::ProgramLaunch l;
        l.exe = orvik();
        l.args = std::move(args);
        l.env = {"XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path(),
                 "ORVIK_MQTT_PASSWORD=" + password};
        l.out_dir = dir.path();
        l.cwd = dir.path();
        return l;
    }
    std::string out() const { return ovk_test::read_file(dir.file("stdout.txt")); }
    std::string log() const { return ovk_test::read_file(dir.file("orvik/detections.jsonl")); }
};

std::string sensor_settings(const std::string& name) {
    return R"({"sensor_name":")" + name + R"(","mqtt_user":"sensor","ha_discovery_prefix":""})";
}

TEST(FleetPrograms, TwoSensorsFeedOneCentralWhichSurvivesHostileInputAndSeesAKill) {
    ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
    ovk_test::Mosquitto broker;
    if (!broker.ok()) GTEST_SKIP() << "mosquitto is not installed";
    const std::string url = broker.url("city");

    Node central(R"({"mqtt_user":"orvik"})");
    ovk_test::RunningProgram c(central.launch(
        {"--headless", "--alerts-json", "--duration", "120", "--fleet", url}, "secret"));
    ASSERT_TRUE(c.started());
    // The central's session is in place before the sensors speak.
    ASSERT_TRUE(
        wait_for([&] { return central.out().find("Fleet: connected") != std::string::npos; }, 20))
        << central.out() << c.err();

    Node car1(sensor_settings("car1")), car2(sensor_settings("car2"));
    ovk_test::RunningProgram s1(
        car1.launch({"--headless", "--demo", "--duration", "120", "--mqtt", url}, "s3nsor"));
    ovk_test::RunningProgram s2(
        car2.launch({"--headless", "--demo", "--duration", "120", "--mqtt", url}, "s3nsor"));
    ASSERT_TRUE(s1.started() && s2.started());

    // The central log holds both sensors' detections, each marked with its sensor.
    ASSERT_TRUE(wait_for(
        [&] {
            const std::string log = central.log();
            return log.find("\"sensor\":\"car1\"") != std::string::npos &&
                   log.find("\"sensor\":\"car2\"") != std::string::npos;
        },
        40))
        << central.log() << c.err();

    // Hostile messages: random bytes, a truncated JSON, a 2,000-character name, escapes.
    {
        std::atomic<bool> up{false};
        OVK_MQTT_CONFIG cfg;
        ASSERT_EQ(ovk_fleetmsg_parse_url(url, cfg.url), "");
        cfg.user = "sensor";
        cfg.password = "s3nsor";
        OVK_MQTT_EVENTS ev;
        ev.on_connect = [&up](OVK_MQTT_CONN r, std::string_view) {
            up = r == OVK_MQTT_CONN::Connected;
        };
        std::string err;
        ovk_linux_mqtt_init();
        auto raw = ovk_linux_mqtt_connect(cfg, ev, err);
        ASSERT_TRUE(raw) << err;
        ASSERT_TRUE(wait_for([&up] { return up.load(); }, 10));
        std::string junk(2048, '\0');
        for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 + 7);
        std::string name;
        while (name.size() < 2000) name += "Z\xc3\xa9";
        std::string escapes = "\x1b]0;owned\x07\x1b[2J";
        while (escapes.size() < 2000) escapes += "\x1b[31mX";
        int mid = 0;
        raw->publish("city/evil/detection", junk, 1, false, &mid);
        raw->publish("city/evil/detection", R"({"mac":"00:11:22:33:44:55","label":"Axon)", 1, false,
                     &mid);
        raw->publish("city/" + name + "/status", R"({"online":true})", 1, false, &mid);
        raw->publish("city/evil/alert",
                     R"({"label":")" + escapes + R"(","category":"BODY_CAM","confidence":90})", 1,
                     false, &mid);
        raw->publish("city/evil/status", std::string(70000, '['), 1, false, &mid);
        std::this_thread::sleep_for(1s);
    }
    EXPECT_TRUE(c.running()) << c.err();
    EXPECT_NE(c.err().find("fleet: refused a message from sensor evil"), std::string::npos)
        << c.err();
    EXPECT_EQ(c.err().find("\x1b]0;owned"), std::string::npos);

    // Both online, then one killed: the broker's last will shows it offline.
    ASSERT_TRUE(wait_for(
        [&] {
            return central.out().find("Fleet: connected, 2 sensors (2 online)") !=
                   std::string::npos;
        },
        25))
        << central.out();
    s2.signal(SIGKILL);
    s2.finish(10);
    ASSERT_TRUE(wait_for(
        [&] {
            return central.out().find("Fleet: connected, 2 sensors (1 online)") !=
                   std::string::npos;
        },
        25))
        << central.out();

    s1.signal(SIGTERM);
    EXPECT_EQ(s1.finish(30).status, 0);
    c.signal(SIGTERM);
    const ovk_test::ProgramRun r = c.finish(30);
    EXPECT_EQ(r.status, 0) << r.err;

    // --alerts-json: every line of standard output is one JSON object, alerts with their sensor.
    int alerts = 0, statuses = 0;
    bool car1_axon = false;
    for (const std::string& l : lines_of(r.out)) {
        OVK_JSON j = ovk_json_parse(l);
        ASSERT_TRUE(j && cJSON_IsObject(j.get())) << l;
        std::string type, label, sensor;
        ovk_json_str(j.get(), "type", type, 16);
        if (type == "status") ++statuses;
        if (type != "alert") continue;
        ++alerts;
        ovk_json_str(j.get(), "label", label, 200);
        ovk_json_str(j.get(), "sensor", sensor, 64);
        if (sensor == "car1" && label == "Axon body camera") car1_axon = true;
    }
    EXPECT_GT(alerts, 0);
    EXPECT_GT(statuses, 1);
    EXPECT_TRUE(car1_axon) << r.out;
    // Every stored line parses, and none came from the hostile sender.
    const auto dets = ovk_store_parse_log(central.log(), nullptr);
    EXPECT_EQ(dets.size(), lines_of(central.log()).size());
    for (const auto& d : dets) EXPECT_TRUE(d.sensor == "car1" || d.sensor == "car2") << d.sensor;
}

// Two central instances on one host, each with its own data directory, sharing one group:
// neither pushes the other off the broker, and together they store every detection of the
// sensor exactly once.
TEST(FleetPrograms, TwoCentralsOfOneGroupOnOneHostStayConnectedAndStoreEachDetectionOnce) {
    ASSERT_TRUE(ovk_test::file_exists(orvik())) << "build the orvik target first";
    ovk_test::Mosquitto broker;
    if (!broker.ok()) GTEST_SKIP() << "mosquitto is not installed";
    const std::string url = broker.url("town");
    const std::string settings = R"({"mqtt_user":"orvik","fleet_group":"night"})";
    Node a(settings), b(settings);
    ovk_test::RunningProgram ca(
        a.launch({"--headless", "--duration", "120", "--fleet", url}, "secret"));
    ovk_test::RunningProgram cb(
        b.launch({"--headless", "--duration", "120", "--fleet", url}, "secret"));
    ASSERT_TRUE(ca.started() && cb.started());
    ASSERT_TRUE(wait_for(
        [&] {
            return a.out().find("Fleet: connected") != std::string::npos &&
                   b.out().find("Fleet: connected") != std::string::npos;
        },
        20))
        << a.out() << ca.err() << b.out() << cb.err();

    Node car(sensor_settings("car3"));
    ovk_test::ProgramLaunch l =
        car.launch({"--headless", "--demo", "--duration", "15", "--mqtt", url}, "s3nsor");
    l.deadline_s = 60;
    const ovk_test::ProgramRun s = ovk_test::run_program(l);
    ASSERT_EQ(s.status, 0) << s.err;
    const auto sent = ovk_store_parse_log(car.log(), nullptr);
    ASSERT_GT(sent.size(), 2u) << car.log();

    auto key = [](const OVK_DETECTION& d) { return d.mac + "|" + std::to_string(d.timestamp); };
    std::vector<OVK_DETECTION> got_a, got_b;
    wait_for(
        [&] {
            got_a = ovk_store_parse_log(a.log(), nullptr);
            got_b = ovk_store_parse_log(b.log(), nullptr);
            return got_a.size() + got_b.size() >= sent.size();
        },
        30);
    std::multiset<std::string> stored;
    for (const auto* got : {&got_a, &got_b})
        for (const OVK_DETECTION& d : *got) {
            EXPECT_EQ(d.sensor, "car3");
            stored.insert(key(d));
        }
    std::multiset<std::string> expected;
    for (const OVK_DETECTION& d : sent) expected.insert(key(d));
    EXPECT_EQ(stored, expected) << got_a.size() << " + " << got_b.size() << " of " << sent.size();
    // The group split the work between them.
    EXPECT_GT(got_a.size(), 0u);
    EXPECT_GT(got_b.size(), 0u);

    // Neither lost its link: the broker never closed one's connection for the other's.
    EXPECT_EQ(broker.log().find("already connected"), std::string::npos) << broker.log();
    EXPECT_EQ(ca.err().find("lost the broker"), std::string::npos) << ca.err();
    EXPECT_EQ(cb.err().find("lost the broker"), std::string::npos) << cb.err();
    EXPECT_EQ(a.out().find("Fleet: broker unreachable"), std::string::npos) << a.out();
    EXPECT_EQ(b.out().find("Fleet: broker unreachable"), std::string::npos) << b.out();
    for (auto* c : {&ca, &cb}) {
        c->signal(SIGTERM);
        EXPECT_EQ(c->finish(30).status, 0);
    }
}

TEST(FleetPrograms, WrongCredentialsShowNotAuthorisedOnTheStatusLine) {
    ovk_test::Mosquitto broker;
    if (!broker.ok()) GTEST_SKIP() << "mosquitto is not installed";
    Node car(sensor_settings("car9"));
    ovk_test::ProgramLaunch l = car.launch(
        {"--headless", "--demo", "--duration", "12", "--mqtt", broker.url("city")}, "n0tIt");
    l.deadline_s = 40;
    const ovk_test::ProgramRun r = ovk_test::run_program(l);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("| MQTT: not authorised"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("n0tIt"), std::string::npos);
    EXPECT_EQ(r.out.find("n0tIt"), std::string::npos);
    // What could not be sent waits in the outbox for the next run.
    EXPECT_NE(ovk_test::read_file(car.dir.file("orvik/mqtt_outbox.jsonl")).find("detection\t"),
              std::string::npos);
}

TEST(FleetPrograms, AWebhookReceivesTheDemosAxonAlert) {
    std::mutex mu;
    std::vector<TestHttpRequest> got;
    TestHttpServer hook([&](const TestHttpRequest& r, TestHttpConn& c) {
        {
            std::lock_guard<std::mutex> lock(mu);
            got.push_back(r);
        }
        c.respond(200, "ok");
    });
    for (const bool text : {false, true}) {
        {
            std::lock_guard<std::mutex> lock(mu);
            got.clear();
        }
        Node n(R"({"notify_url":")" + hook.url("/hook") + R"(","notify_format":")" +
               (text ? "text" : "json") + R"("})");
        ovk_test::ProgramLaunch l = n.launch({"--headless", "--demo", "--duration", "8"}, "");
        l.deadline_s = 40;
        const ovk_test::ProgramRun r = ovk_test::run_program(l);
        ASSERT_EQ(r.status, 0) << r.err;
        std::lock_guard<std::mutex> lock(mu);
        bool axon = false;
        std::set<std::string> addresses;
        for (const TestHttpRequest& q : got) {
            EXPECT_EQ(q.method, "POST");
            EXPECT_EQ(q.target, "/hook");
            if (text) {
                EXPECT_EQ(q.headers.at("content-type").rfind("text/plain", 0), 0u);
                if (q.body.find(
                        "Axon body camera nearby (BODY CAM, strong 90%) 00:25:DF:4A:19:C2") !=
                    std::string::npos)
                    axon = true;
                continue;
            }
            EXPECT_EQ(q.headers.at("content-type"), "application/json");
            OVK_JSON j = ovk_json_parse(q.body);
            ASSERT_TRUE(j) << q.body;
            std::string label, address, tier;
            ovk_json_str(j.get(), "label", label, 200);
            ovk_json_str(j.get(), "address", address, 64);
            ovk_json_str(j.get(), "tier", tier, 32);
            // At most one POST per device in the re-alert window.
            EXPECT_TRUE(addresses.insert(address).second) << address;
            if (label == "Axon body camera" && address == "00:25:DF:4A:19:C2" && tier == "strong" &&
                ovk_json_int(j.get(), "confidence", 0) == 90)
                axon = true;
        }
        EXPECT_TRUE(axon) << got.size() << " requests, text " << text;
    }
}

}  // namespace
