// SPDX-License-Identifier: GPL-3.0-or-later
// A fleet at full tilt: 50 simulated sensors each publishing 200 detections a second (QoS 1,
// as sensors send them) through one real mosquitto on loopback into one central orvik
// (--headless --fleet). Measured: detections stored per second, the time from publish to the
// line in the central's detection log (p50, p99; the log is read every 2 ms, so figures
// are good to about 2 ms), and the central's peak resident memory.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_fleetmsg.h"
#include "ovk_linux_mqtt.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "ovk_test_mosquitto.h"
#include "ovk_test_program.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSensors = 50;
constexpr int kRate = 200;  // per sensor and second
constexpr int kSeconds = 10;

long peak_rss_kb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(in, l);)
        if (l.rfind("VmHWM:", 0) == 0) return std::stol(l.substr(6));
    return 0;
}

void BM_FleetCentral(benchmark::State& state) {
    for (auto _ : state) {
        ovk_test::Mosquitto broker;
        if (!broker.ok()) {
            state.SkipWithError("mosquitto is not installed");
            return;
        }
        const std::string url = broker.url("bench");
        ovk_test::TempDir dir;
        ovk_mkdirs(dir.file("orvik"));
        ovk_test::write_file(dir.file("orvik/settings.json"), R"({"mqtt_user":"orvik"})");
        ovk_test::ProgramLaunch l;
        l.exe = std::string(OVK_BINARY_DIR) + "/orvik";
        l.args = {"--headless", "--fleet", url};
        l.env = {"XDG_DATA_HOME=" + dir.path(), "HOME=" + dir.path(), "ORVIK_MQTT_PASSWORD=secret"};
        l.out_dir = dir.path();
        ovk_test::RunningProgram central(l);
        std::this_thread::sleep_for(2s);  // its session is in place

        ovk_linux_mqtt_init();
        std::vector<std::unique_ptr<OVK_MQTT_CLIENT>> sensors;
        std::atomic<int> up{0};
        for (int i = 0; i < kSensors; ++i) {
            OVK_MQTT_CONFIG cfg;
            ovk_fleetmsg_parse_url(url, cfg.url);
            cfg.user = "sensor";
            cfg.password = "s3nsor";
            cfg.client_id = "sim" + std::to_string(i);
            OVK_MQTT_EVENTS ev;
            ev.on_connect = [&up](OVK_MQTT_CONN r, std::string_view) {
                if (r == OVK_MQTT_CONN::Connected) ++up;
            };
            std::string err;
            sensors.push_back(ovk_linux_mqtt_connect(cfg, ev, err));
        }
        while (up.load() < kSensors) std::this_thread::sleep_for(10ms);

        const std::string log_path = dir.file("orvik/detections.jsonl");
        std::vector<int64_t> latency;
        std::atomic<bool> done{false};
        int64_t last_stored_ms = 0;
        std::thread reader([&] {
            std::ifstream in;
            std::string pending;
            while (!done.load()) {
                if (!in.is_open()) in.open(log_path);
                std::string line;
                while (in.is_open() && std::getline(in, line)) {
                    if (in.eof()) {  // a line still being written
                        pending += line;
                        break;
                    }
                    line = pending + line;
                    pending.clear();
                    const size_t at = line.find("\"timestamp\":");
                    if (at == std::string::npos) continue;
                    const int64_t sent = std::stoll(line.substr(at + 12));
                    last_stored_ms = ovk_now_ms();
                    latency.push_back(last_stored_ms - sent);
                }
                if (in.is_open()) in.clear();
                std::this_thread::sleep_for(2ms);
            }
        });

        const auto t0 = std::chrono::steady_clock::now();
        const int64_t start_ms = ovk_now_ms();
        int64_t n = 0;
        for (int tick = 0; tick < kRate * kSeconds; ++tick) {
            for (int s = 0; s < kSensors; ++s) {
                OVK_DETECTION d;
                d.mac = ovk_format(40, "02:00:%02X:%02X:%02X:%02X", s, (tick >> 16) & 0xFF,
                                   (tick >> 8) & 0xFF, tick & 0xFF);
                d.label = "Axon body camera";
                d.source = "BLE";
                d.rssi = -60;
                d.timestamp = ovk_now_ms();
                d.category = OVK_CAT_BODY_CAM;
                d.confidence = 90;
                d.evidence = "Advert payload carries Axon's \"BWCDEVICE\" tag";
                const std::string sensor = "sim" + std::to_string(s);
                int mid = 0;
                sensors[static_cast<size_t>(s)]->publish("bench/" + sensor + "/detection",
                                                         ovk_fleetmsg_detection_json(d, sensor), 1,
                                                         false, &mid);
                ++n;
            }
            std::this_thread::sleep_until(t0 +
                                          std::chrono::microseconds(1000000 / kRate) * (tick + 1));
        }
        // Wait for the tail (at most 60 s).
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(100ms);
            if (static_cast<int64_t>(latency.size()) >= n) break;
        }
        done = true;
        reader.join();
        const long rss = peak_rss_kb(central.pid());
        central.signal(SIGTERM);
        central.finish(30);
        sensors.clear();

        std::vector<int64_t> lat = latency;
        std::sort(lat.begin(), lat.end());
        const auto pct = [&lat](double p) {
            return lat.empty()
                       ? -1.0
                       : static_cast<double>(lat[static_cast<size_t>(p * (lat.size() - 1))]);
        };
        const double secs = std::max<int64_t>(1, last_stored_ms - start_ms) / 1000.0;
        state.counters["published"] = static_cast<double>(n);
        state.counters["stored"] = static_cast<double>(lat.size());
        state.counters["stored_per_s"] = static_cast<double>(lat.size()) / secs;
        state.counters["latency_p50_ms"] = pct(0.5);
        state.counters["latency_p99_ms"] = pct(0.99);
        state.counters["central_peak_rss_MB"] = rss / 1024.0;
    }
}
BENCHMARK(BM_FleetCentral)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
