// SPDX-License-Identifier: GPL-3.0-or-later
// The demo feed.
#include "ovk_demo.h"

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovk_app_util.h"
#include "zq_log.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kAdMax = 512;
constexpr size_t kRidLen = 107;  // service data after the AD type

struct DEMO_DEVICE {
    DEMO_KIND kind;
    const char* mac;
    const char* name;  // nullptr: none / hidden
    int cid;           // -1: none
    std::vector<uint8_t> mfg;
    int uuid16;  // -1: none
    OVK_ADDR_TYPE addr;
    int mhz;
    int base_rssi;
    int group;
};

std::vector<uint8_t> zeros_after(std::initializer_list<uint8_t> head, size_t nzero) {
    std::vector<uint8_t> v(head);
    v.insert(v.end(), nzero, 0);
    return v;
}

const std::array<DEMO_DEVICE, OVK_DEMO_DEVICES>& devices() {
    static const std::array<DEMO_DEVICE, OVK_DEMO_DEVICES> d = {{
        {DEMO_BLE,
         "00:25:DF:4A:19:C2",
         nullptr,
         0x034D,
         {0x45, 0x43, 0x49, 0x56, 0x45, 0x44, 0x43, 0x57, 0x42, 0x53, 0x55, 0x4E, 0x41, 0x4A, 0x58,
          0x41},
         -1,
         OVK_ADDR_PUBLIC,
         0,
         -61,
         1},
        {DEMO_BLE,
         "F4:60:77:5B:21:9E",
         "XXRBJ224511452",
         -1,
         {},
         0xFE79,
         OVK_ADDR_PUBLIC,
         0,
         -66,
         1},
        {DEMO_BLE,
         "4C:CC:34:12:7F:03",
         nullptr,
         0x04EC,
         {0x01, 0x00, 0x03},
         -1,
         OVK_ADDR_PUBLIC,
         0,
         -72,
         1},
        {DEMO_WIFI, "00:30:44:4F:21:A0", "IBR900-21A", -1, {}, -1, OVK_ADDR_UNKNOWN, 5180, -69, 1},
        {DEMO_WIFI,
         "B4:1E:52:3C:88:10",
         "Flock-3C8810",
         -1,
         {},
         -1,
         OVK_ADDR_UNKNOWN,
         2437,
         -77,
         0},
        {DEMO_BLE, OVK_DEMO_DRONE_MAC, nullptr, -1, {}, -1, OVK_ADDR_PUBLIC, 0, -80, 0},
        {DEMO_BLE, "7A:31:C4:0B:9E:22", nullptr, 0x004C, zeros_after({0x12, 0x19}, 25), -1,
         OVK_ADDR_NON_RESOLVABLE, 0, -63, 0},
        {DEMO_BLE,
         "D2:5E:91:3A:07:BC",
         nullptr,
         0x0D53,
         {0x01, 0x02, 0x03},
         -1,
         OVK_ADDR_RANDOM_STATIC,
         0,
         -75,
         0},
        {DEMO_BLE, "5C:1B:2E:88:40:11", nullptr, 0x004C,
         zeros_after({0x07, 0x19, 0x01, 0x14, 0x20}, 22), -1, OVK_ADDR_RESOLVABLE_PRIVATE, 0, -55,
         0},
        {DEMO_BLE,
         "6E:0A:77:12:C3:95",
         "Pixel 9",
         0x00E0,
         {0x00, 0x01},
         -1,
         OVK_ADDR_RESOLVABLE_PRIVATE,
         0,
         -68,
         0},
        {DEMO_BLE,
         "C8:3F:26:77:10:04",
         "Forerunner 265",
         -1,
         {},
         0x180D,
         OVK_ADDR_PUBLIC,
         0,
         -79,
         0},
        {DEMO_BLE, "D8:E0:E1:5A:61:2F", "JBL Flip 6", -1, {}, -1, OVK_ADDR_PUBLIC, 0, -84, 0},
        {DEMO_WIFI, "9C:3D:CF:61:0A:44", "NETGEAR-5G", -1, {}, -1, OVK_ADDR_UNKNOWN, 5180, -73, 0},
        {DEMO_WIFI, "9E:3D:CF:61:0A:45", nullptr, -1, {}, -1, OVK_ADDR_UNKNOWN, 5180, -74, 0},
        {DEMO_WIFI, "E4:5F:01:2B:3C:4D", "Cafe_Guest", -1, {}, -1, OVK_ADDR_UNKNOWN, 2437, -86, 0},
    }};
    return d;
}

struct State {
    std::mutex mu;
    std::condition_variable cv;
    bool running = false;
    bool quit = false;
    bool has_anchor = false;
    double lat = 0;
    double lon = 0;
    OVK_SINK sink;  // the running feed's consumer
    std::thread thread;
};

State& S() {
    static State* s = new State;  // never destroyed: see ovk_demo_stop
    return *s;
}

// Serialises start and stop.
std::mutex g_ctl_mu;

struct AD_BUF {
    std::array<uint8_t, kAdMax> b{};
    size_t len = 0;
};

// Appends one AD structure; one that is too long or does not fit is left out.
void ad(AD_BUF& buf, uint8_t type, std::span<const uint8_t> data) {
    if (data.size() > 254 || buf.len + 2 + data.size() > kAdMax) return;
    buf.b[buf.len++] = static_cast<uint8_t>(data.size() + 1);
    buf.b[buf.len++] = type;
    std::memcpy(buf.b.data() + buf.len, data.data(), data.size());
    buf.len += data.size();
}

void put_i32(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

void put_u16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

int32_t deg7(double deg) {
    return static_cast<int32_t>(std::lround(deg * 1e7));
}

unsigned alt_enc(double metres) {
    return static_cast<unsigned>(std::lround((metres + 1000.0) * 2.0));
}

int wobble(const DEMO_DEVICE& d, int round, int i) {
    const double r = static_cast<double>(round);
    const double w = d.group ? 7.0 * std::sin(0.25 * r) : -6.0 * std::sin(0.25 * r + 0.3 * i);
    return static_cast<int>(w);  // toward zero
}

OVK_ADVERT_PTR make(const DEMO_DEVICE& d, int rssi, int round, int64_t now,
                    const std::optional<OVK_LOCATION>& anchor) {
    if (d.kind == DEMO_WIFI) {
        std::optional<std::string_view> ssid;
        if (d.name) ssid = d.name;
        return ovk_advert_new_wifi(d.mac, ssid, rssi, d.mhz, "[WPA2-PSK-CCMP][ESS]",
                                   "WiFi 6 (802.11ax)", {}, now);
    }
    AD_BUF buf;
    if (d.name) ad(buf, 0x09, {reinterpret_cast<const uint8_t*>(d.name), std::strlen(d.name)});
    if (d.uuid16 >= 0) {
        const uint8_t u[2] = {static_cast<uint8_t>(d.uuid16 & 0xFF),
                              static_cast<uint8_t>((d.uuid16 >> 8) & 0xFF)};
        ad(buf, 0x03, u);
    }
    if (d.cid >= 0) {
        std::vector<uint8_t> m{static_cast<uint8_t>(d.cid & 0xFF),
                               static_cast<uint8_t>((d.cid >> 8) & 0xFF)};
        m.insert(m.end(), d.mfg.begin(), d.mfg.end());
        ad(buf, 0xFF, m);
    }
    if (anchor && std::strcmp(d.mac, OVK_DEMO_DRONE_MAC) == 0 && buf.len + 2 + kRidLen <= kAdMax)
        ad(buf, 0x16, ovk_demo_remote_id(round, anchor->lat, anchor->lon));
    return ovk_advert_new_ble(d.mac, rssi, std::span<const uint8_t>(buf.b.data(), buf.len), d.addr,
                              1, "LE 1M (legacy)", "", now);
}

// The feed's thread. The sink was copied at start and is only read here, so it is used
// without the lock.
void demo_main() {
    State& s = S();
    const OVK_SINK& sink = s.sink;
    int round = 0;
    for (;;) {
        double lat;
        double lon;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.quit) return;
            lat = s.lat;
            lon = s.lon;
        }
        try {
            const int64_t now = ovk_now_ms();
            if (sink.on_location) sink.on_location(ovk_demo_user_fix(round, lat, lon, now));
            OVK_LOCATION anchor;
            anchor.lat = lat;
            anchor.lon = lon;
            if (sink.on_advert) ovk_demo_round_at(round, now, anchor, sink.on_advert);
        } catch (...) {
            zq_log(LOG_ERR, "demo round %d failed", round);
        }
        std::unique_lock<std::mutex> lock(s.mu);
        const auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(1);
        if (s.cv.wait_until(lock, deadline, [&s] { return s.quit; })) return;
        ++round;
    }
}

}  // namespace

OVK_LOCATION ovk_demo_user_fix(int round, double anchor_lat, double anchor_lon, int64_t now) {
    const double a = round * 0.022;
    OVK_LOCATION l;
    l.lat = anchor_lat + 0.0005 * std::cos(a);
    l.lon = anchor_lon + 0.0005 * std::sin(a) / std::cos(anchor_lat * kPi / 180.0);
    l.has_speed = 1;
    l.speed_ms = 1.2;
    l.has_accuracy = 1;
    l.accuracy_m = 5;
    l.has_bearing = 1;
    l.bearing_deg = std::fmod(a * 180.0 / kPi + 90.0, 360.0);
    l.time = now;
    return l;
}

std::vector<uint8_t> ovk_demo_remote_id(int round, double anchor_lat, double anchor_lon) {
    std::vector<uint8_t> v(kRidLen, 0);
    v[0] = 0xFA;
    v[1] = 0xFF;
    v[2] = 0x0D;
    v[3] = static_cast<uint8_t>(((round % 256) + 256) % 256);
    v[4] = 0xF2;
    v[5] = 25;
    v[6] = 4;
    uint8_t* basic = v.data() + 7;
    uint8_t* loc = basic + 25;
    uint8_t* sys = loc + 25;
    uint8_t* op = sys + 25;

    basic[0] = 0x02;
    basic[1] = 0x12;
    const std::string uas = std::string("1581F5FJDEMO0004") + "2";
    std::memcpy(basic + 2, uas.data(), uas.size());

    const double theta = 2.0 * round + 135.0;
    const double th = theta * kPi / 180.0;
    const double lat = anchor_lat + 0.00108 * std::cos(th);
    const double lon = anchor_lon + 0.00108 * std::sin(th) / std::cos(anchor_lat * kPi / 180.0);
    const int heading = static_cast<int>(theta + 90.0) % 360;
    loc[0] = 0x12;
    loc[1] = static_cast<uint8_t>(0x20 | (heading >= 180 ? 0x02 : 0x00));
    loc[2] = static_cast<uint8_t>(heading % 180);
    loc[3] = 30;
    loc[4] = 0;
    put_i32(loc + 5, deg7(lat));
    put_i32(loc + 9, deg7(lon));
    put_u16(loc + 13, 0);
    put_u16(loc + 15, alt_enc(95));
    put_u16(loc + 17, alt_enc(62));

    sys[0] = 0x42;
    sys[1] = 0;
    put_i32(sys + 2, deg7(anchor_lat - 0.0007));
    put_i32(sys + 6, deg7(anchor_lon - 0.0004));

    op[0] = 0x52;
    op[1] = 0;
    const char* opid = "DEMO-OP-0001";
    std::memcpy(op + 2, opid, std::strlen(opid));
    return v;
}

int ovk_demo_round_at(int round, int64_t now, std::optional<OVK_LOCATION> anchor,
                      const OVK_DEMO_EMIT& emit) {
    if (!emit) return 0;
    int n = 0;
    try {
        const auto& devs = devices();
        for (int i = 0; i < OVK_DEMO_DEVICES; ++i) {
            const DEMO_DEVICE& d = devs[static_cast<size_t>(i)];
            auto a = make(d, d.base_rssi + wobble(d, round, i), round, now, anchor);
            if (!a) continue;
            emit(std::move(a));
            ++n;
        }
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(OVK_ADVERT, 1, advert);
    }
    return n;
}

int ovk_demo_round(int round, int64_t now, const OVK_DEMO_EMIT& emit) {
    std::optional<OVK_LOCATION> anchor;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.has_anchor) {
            OVK_LOCATION l;
            l.lat = s.lat;
            l.lon = s.lon;
            anchor = l;
        }
    }
    return ovk_demo_round_at(round, now, anchor, emit);
}

int ovk_demo_start(double anchor_lat, double anchor_lon, const OVK_SINK& sink) {
    std::lock_guard<std::mutex> ctl(g_ctl_mu);
    State& s = S();
    try {
        {
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.running) return 0;
            s.lat = anchor_lat;
            s.lon = anchor_lon;
            s.has_anchor = true;
            s.quit = false;
            s.sink = sink;
        }
        s.thread = std::thread(demo_main);
    } catch (...) {
        zq_log(LOG_ERR, "cannot start the demo thread");
        std::lock_guard<std::mutex> lock(s.mu);
        s.has_anchor = false;
        s.sink = OVK_SINK{};
        return -1;
    }
    std::lock_guard<std::mutex> lock(s.mu);
    s.running = true;
    return 0;
}

void ovk_demo_stop() {
    std::lock_guard<std::mutex> ctl(g_ctl_mu);
    State& s = S();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.running) return;
        s.quit = true;
    }
    s.cv.notify_all();
    if (s.thread.joinable()) s.thread.join();
    std::lock_guard<std::mutex> lock(s.mu);
    s.running = false;
    s.has_anchor = false;
    s.sink = OVK_SINK{};
}

int ovk_demo_running() {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.running ? 1 : 0;
}
