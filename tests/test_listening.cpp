// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Whether anything is heard: real BLE and Wi-Fi scanner threads on a simulated controller and
// a simulated nl80211 kernel feed the pipeline. With both radios failing nothing may read as
// "all clear" (banner, headless status line, notification); with one failing, the all-clear
// names the radio it rests on; a radio that runs but hears nothing for a minute says so.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ovk_gui_main.h"
#include "ovk_headless.h"
#include "ovk_linux_hci.h"
#include "ovk_linux_nl80211.h"
#include "ovk_pipeline.h"
#include "ovk_test_files.h"
#include "pipeline_env.h"
#include "sim_hci_controller.h"
#include "sim_nl80211_kernel.h"

namespace {

constexpr int64_t T0 = 1700000000000;

// Both radios of a machine, on simulated peers, behind the pipeline's platform hooks.
struct Radios {
    std::shared_ptr<SimHciController> hci = std::make_shared<SimHciController>();
    std::shared_ptr<SimNl80211Kernel> nl = std::make_shared<SimNl80211Kernel>();
    std::unique_ptr<OVK_HCI_SCANNER> ble =
        std::make_unique<OVK_HCI_SCANNER>(hci, ovk_pipeline_sink());
    std::unique_ptr<OVK_WIFI_SCANNER> wifi =
        std::make_unique<OVK_WIFI_SCANNER>(nl, ovk_pipeline_sink());
    std::atomic<bool> ble_req{false}, wifi_req{false};
    std::atomic<int64_t> now{T0};
    std::mutex mu;
    std::string notification;

    Radios() {
        SimNl80211Kernel::Iface f;
        f.name = "wlan0";
        nl->set_ifaces({f});
    }
    ~Radios() {
        ble.reset();
        wifi.reset();
    }

    OVK_PIPELINE_HOOKS hooks() {
        OVK_PIPELINE_HOOKS h;
        h.now_ms = [this] { return now.load(); };
        h.scan_start = [this](const OVK_SCAN_OPTS& o) {
            ble_req = o.ble != 0;
            wifi_req = o.wifi != 0;
            int rc = 0;
            if (o.ble && ble->start(o) != 0) rc = -1;
            if (o.wifi && wifi->start(o) != 0) rc = -1;
            return rc;
        };
        h.scan_stop = [this] {
            ble->stop();
            wifi->stop();
        };
        h.scan_running = [this] { return ble->running() || wifi->running() ? 1 : 0; };
        h.scan_status = [this] {
            std::string s;
            if (ble_req) s += ble->status();
            if (wifi_req) s += (s.empty() ? "" : "\n") + wifi->status();
            return s;
        };
        h.scan_health = [this] {
            OVK_SCAN_HEALTH hl;
            hl.ble = {ble_req ? 1 : 0, ble->running() ? 1 : 0, ble->fault()};
            hl.wifi = {wifi_req ? 1 : 0, wifi->running() ? 1 : 0, wifi->fault()};
            return hl;
        };
        h.background = [this](int, std::string_view text) {
            std::lock_guard<std::mutex> l(mu);
            notification = std::string(text);
        };
        return h;
    }
    std::string last_notification() {
        std::lock_guard<std::mutex> l(mu);
        return notification;
    }
};

OVK_PREFS radio_prefs(bool ble, bool wifi) {
    OVK_PREFS p;
    p.demo_mode = 0;
    p.ble_enabled = ble ? 1 : 0;
    p.wifi_enabled = wifi ? 1 : 0;
    p.gps_tagging = 0;
    p.follower_alerts = 0;
    p.known_alpr_alerts = 0;
    p.retention_days = 0;
    return p;
}

// Waits (at most 10 s) until the pipeline's status satisfies `pred`.
bool status_until(const std::function<bool(const OVK_STATUS&)>& pred, OVK_STATUS* last) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        *last = ovk_pipeline_status();
        if (pred(*last)) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string banner_of(const OVK_STATUS& s) {
    const OVK_DEVICE_LIST none;
    return ovk_list_banner(none, ovk_list_tally(none), s.running != 0, s.scanners, 50, &s).text;
}

class Listening : public ::testing::Test {
  protected:
    void up(bool ble, bool wifi) {
        ovk_scan_set_demo_override(0);
        ovk_test::pipeline_up(dir_.path(), radio_prefs(ble, wifi), radios_.hooks(), T0);
        ASSERT_EQ(ovk_scan_start(), 0);
        ASSERT_EQ(ovk_scan_wait_idle(10000), 0);
    }
    void TearDown() override {
        ovk_scan_stop();
        ovk_scan_wait_idle(10000);
        ovk_test::pipeline_down();
    }
    ovk_test::TempDir dir_;
    Radios radios_;
};

}  // namespace

TEST_F(Listening, BothRadiosFailingIsNeverAllClear) {
    radios_.hci->set_adapters({});
    radios_.nl->set_family(false);
    up(true, true);
    OVK_STATUS s;
    ASSERT_TRUE(status_until([](const OVK_STATUS& st) { return st.listening == 0; }, &s))
        << s.scanners;
    EXPECT_EQ(s.not_listening, "Bluetooth has no adapter; WiFi has no wireless driver");
    EXPECT_EQ(s.threat, OVK_THREAT_CLEAR) << "nothing flagged: the level itself is unchanged";

    EXPECT_EQ(banner_of(s), "Not listening: Bluetooth has no adapter; WiFi has no wireless driver");
    const std::string line = ovk_headless_status_line(s, T0);
    EXPECT_NE(line.find("| threat NOT LISTENING"), std::string::npos) << line;
    EXPECT_EQ(line.find("CLEAR"), std::string::npos) << line;

    ovk_scan_housekeeping_tick();
    EXPECT_EQ(radios_.last_notification(),
              "Not listening: Bluetooth has no adapter; WiFi has no wireless driver");

    // The adapter comes back: the reader retries, finds it and listens again.
    radios_.hci->set_adapters({{0, true}});
    ASSERT_TRUE(status_until(
        [this](const OVK_STATUS& st) {
            radios_.hci->advance(1000);
            return st.listening == 1;
        },
        &s))
        << s.scanners;
    EXPECT_EQ(s.listening_on, "Bluetooth");
    EXPECT_EQ(s.radio_down, "WiFi has no wireless driver");
    EXPECT_EQ(banner_of(s), "All clear on Bluetooth - WiFi has no wireless driver");
    EXPECT_NE(ovk_headless_status_line(s, T0).find("| threat CLEAR"), std::string::npos);
}

TEST_F(Listening, OneRadioFailingIsNamedAndTheAllClearSaysWhatItRestsOn) {
    radios_.hci->set_kernel_support(false);
    up(true, true);
    OVK_STATUS s;
    ASSERT_TRUE(status_until(
        [](const OVK_STATUS& st) {
            return !st.radio_down.empty() && st.scanners.find("WiFi wlan0") != std::string::npos;
        },
        &s))
        << s.scanners;
    EXPECT_EQ(s.listening, 1);
    EXPECT_EQ(s.listening_on, "WiFi");
    EXPECT_EQ(s.radio_down, "Bluetooth is not supported by this kernel");
    EXPECT_EQ(banner_of(s), "All clear on WiFi - Bluetooth is not supported by this kernel");

    OVK_LIST_STATUS_LINE l;
    l.state = "Scanning";
    l.radios = s.radio_down;
    EXPECT_NE(ovk_list_status_text(l).find(" - Bluetooth is not supported by this kernel"),
              std::string::npos);
}

TEST_F(Listening, RunningRadioSilentForAMinuteSaysSo) {
    up(true, false);  // WiFi turned off in Settings
    OVK_STATUS s;
    ASSERT_TRUE(status_until(
        [](const OVK_STATUS& st) { return st.scanners.find("passive scan") != std::string::npos; },
        &s))
        << s.scanners;
    EXPECT_EQ(s.listening_on, "Bluetooth");
    EXPECT_EQ(s.radio_down, "WiFi is off in Settings");
    EXPECT_EQ(s.quiet_radios, "");

    // One advertisement, then silence.
    radios_.hci->push_event(SimHciController::legacy_report(
        0, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, {0x02, 0x01, 0x06}, -60));
    ASSERT_TRUE(status_until([](const OVK_STATUS& st) { return st.devices == 1; }, &s));
    radios_.now = T0 + 59000;
    EXPECT_EQ(ovk_pipeline_status().quiet_radios, "");
    radios_.now = T0 + 60000;
    s = ovk_pipeline_status();
    EXPECT_EQ(s.quiet_radios, "Bluetooth: no advertisements for 60 s");
    EXPECT_EQ(s.listening, 1) << "a quiet radio still listens";
    EXPECT_NE(ovk_headless_status_line(s, T0).find("| Bluetooth: no advertisements for 60 s"),
              std::string::npos);

    // Heard again: the note goes.
    radios_.hci->push_event(SimHciController::legacy_report(
        0, 0, {0x12, 0x22, 0x33, 0x44, 0x55, 0x66}, {0x02, 0x01, 0x06}, -60));
    ASSERT_TRUE(status_until([](const OVK_STATUS& st) { return st.quiet_radios.empty(); }, &s));
}
