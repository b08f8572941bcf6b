// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Recording and replay: what the pipeline is handed goes to the recording line by line;
// a recording or a capture plays back in order at its pace (or flat out without dropping
// anything), with its clock; and a replay of a recorded run finds the same detections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovk_capture.h"
#include "ovk_classify_io.h"
#include "ovk_demo.h"
#include "ovk_headless.h"
#include "ovk_pipeline.h"
#include "ovk_record.h"
#include "ovk_replay.h"
#include "ovk_store.h"
#include "ovk_test_files.h"
#include "pipeline_env.h"

namespace {

using std::string;
constexpr int64_t T0 = 1700000000000;
constexpr double kLat = 45.4215;
constexpr double kLon = -75.6972;

// Capture files through the platform's reader, as the program hands it in.
std::optional<OVK_REPLAY_CAPTURE> open_capture(std::string_view head, FILE* in, string& error) {
    const ovk_bytes magic(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    if (ovk_capture_format(magic) == OVK_CAPTURE_TEXT) return std::nullopt;
    std::shared_ptr<OVK_CAPTURE> cap = ovk_capture_open(in, error);
    if (!cap) return std::nullopt;
    return OVK_REPLAY_CAPTURE{[cap](std::vector<OVK_ADVERT_PTR>& out, string& err) {
        OVK_CAPTURE_FRAME f;
        const int r = cap->next(f);
        if (r < 0) err = cap->error();
        out = std::move(f.adverts);
        return r;
    }};
}

// One demo round with its fix, as the demo feed hands them over.
void demo_round(int round, const std::function<void(OVK_ADVERT_PTR)>& advert,
                const std::function<void(const OVK_LOCATION&)>& fix) {
    const int64_t t = T0 + round * 1000;
    OVK_LOCATION anchor;
    anchor.lat = kLat;
    anchor.lon = kLon;
    fix(ovk_demo_user_fix(round, kLat, kLon, t));
    ovk_demo_round_at(round, t, anchor, advert);
}

// What a sink received, in order: "A <mac> <time>" or "F <time>".
struct Received {
    std::mutex mu;
    std::vector<string> items;
    std::vector<int64_t> wall;  // when each arrived
    OVK_SINK sink() {
        OVK_SINK s;
        s.on_advert = [this](OVK_ADVERT_PTR a) {
            add("A " + a->mac + " " + std::to_string(a->timestamp));
        };
        s.on_location = [this](const OVK_LOCATION& l) { add("F " + std::to_string(l.time)); };
        return s;
    }
    void add(string s) {
        std::lock_guard lk(mu);
        items.push_back(std::move(s));
        wall.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count());
    }
    size_t size() {
        std::lock_guard lk(mu);
        return items.size();
    }
};

bool wait_finished(int seconds = 20) {
    for (int i = 0; i < seconds * 200 && !ovk_replay_finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return ovk_replay_finished() != 0;
}

TEST(Record, LinesAreAppendedAndFlushedAsTheyCome) {
    ovk_test::TempDir dir;
    const string path = dir.file("walk.jsonl");
    ovk_test::write_file(path, "# an earlier walk\n");
    string err;
    ASSERT_EQ(ovk_record_open(path, err), 0) << err;
    EXPECT_EQ(ovk_record_active(), 1);
    std::vector<string> want;
    demo_round(
        0,
        [&](OVK_ADVERT_PTR a) {
            ovk_record_advert(*a);
            want.push_back(ovk_classify_format(*a));
        },
        [&](const OVK_LOCATION& l) {
            ovk_record_fix(l);
            want.push_back(ovk_classify_format_fix(l));
        });
    // Flushed per line: readable before the recording is closed.
    string expect = "# an earlier walk\n";
    for (const string& l : want) expect += l + "\n";
    EXPECT_EQ(ovk_test::read_file(path), expect);
    EXPECT_EQ(ovk_record_lines(), 16);
    ovk_record_close();
    EXPECT_EQ(ovk_record_active(), 0);
    // Nothing is written while closed.
    demo_round(
        1, [](OVK_ADVERT_PTR a) { ovk_record_advert(*a); }, ovk_record_fix);
    EXPECT_EQ(ovk_test::read_file(path), expect);
    // A file that cannot take the lines: said once, and the recording stops.
    ASSERT_EQ(ovk_record_open("/dev/full", err), 0);
    EXPECT_EQ(ovk_pipeline_status().record_note, "");
    {
        ovk_test::LogCapture log;
        demo_round(
            2, [](OVK_ADVERT_PTR a) { ovk_record_advert(*a); }, ovk_record_fix);
        const string text = log.text();
        EXPECT_NE(text.find("record: cannot write /dev/full: No space left on device"),
                  string::npos)
            << text;
        EXPECT_EQ(text.find("cannot write", text.find("cannot write") + 1), string::npos);
    }
    EXPECT_EQ(ovk_record_lines(), 0);
    EXPECT_EQ(ovk_record_active(), 0);
    EXPECT_EQ(ovk_pipeline_status().record_note, "Recording stopped: No space left on device");
    ovk_record_close();
    EXPECT_EQ(ovk_record_open(dir.file("no/such/dir.jsonl"), err), -1);
    EXPECT_EQ(err, "No such file or directory");
}

// A line the disk takes only in part (here a file-size limit half-way through it) is cut back
// off the file, so the recording stays a file of whole lines; the recording stops and the
// status line says why, until the next recording starts.
TEST(Record, ATornLineIsCutBackAndStopsTheRecording) {
    ovk_test::TempDir dir;
    const string path = dir.file("walk.jsonl");
    string err;
    ASSERT_EQ(ovk_record_open(path, err), 0) << err;
    std::vector<OVK_ADVERT_PTR> adverts;
    demo_round(
        0, [&](OVK_ADVERT_PTR a) { adverts.push_back(std::move(a)); }, [](const OVK_LOCATION&) {});
    ASSERT_GE(adverts.size(), 2u);
    ovk_record_advert(*adverts[0]);
    const string first = ovk_test::read_file(path);
    ASSERT_EQ(first, ovk_classify_format(*adverts[0]) + "\n");

    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = first.size() + 10;  // ten bytes of the next line fit
    auto prev = signal(SIGXFSZ, SIG_IGN);
    {
        ovk_test::LogCapture log;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
        ovk_record_advert(*adverts[1]);
        ovk_record_advert(*adverts[0]);  // after the failure nothing more is tried
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_TRUE(log.has("record: cannot write " + path + ": File too large; recording stopped"))
            << log.text();
    }
    signal(SIGXFSZ, prev);
    EXPECT_EQ(ovk_test::read_file(path), first);
    EXPECT_EQ(ovk_record_active(), 0);
    EXPECT_EQ(ovk_record_stopped_note(), "Recording stopped: File too large");
    const OVK_STATUS st = ovk_pipeline_status();
    EXPECT_EQ(st.record_note, "Recording stopped: File too large");
    EXPECT_NE(ovk_headless_status_line(st, T0).find(" | Recording stopped: File too large"),
              string::npos);
    ovk_record_close();

    // A new recording starts clean and goes on after the whole lines.
    ASSERT_EQ(ovk_record_open(path, err), 0) << err;
    EXPECT_EQ(ovk_record_stopped_note(), "");
    ovk_record_advert(*adverts[1]);
    ovk_record_close();
    EXPECT_EQ(ovk_test::read_file(path), first + ovk_classify_format(*adverts[1]) + "\n");
}

TEST(Replay, ReaderTakesRecordingsAndCaptures) {
    ovk_test::TempDir dir;
    const string path = dir.file("rec.jsonl");
    string text = "# header\n\n";
    demo_round(
        0, [&](OVK_ADVERT_PTR a) { text += ovk_classify_format(*a) + "\r\n"; },
        [&](const OVK_LOCATION& l) { text += ovk_classify_format_fix(l) + "\n"; });
    text += "not json\n" + string(OVK_REPLAY_LINE_MAX + 10, 'x') + "\n";
    text += R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","time":5})";  // no newline
    ovk_test::write_file(path, text);
    string err;
    auto r = OVK_REPLAY_READER::open(path, err);
    ASSERT_TRUE(r) << err;
    OVK_REPLAY_ITEM it;
    std::vector<string> got;
    while (r->next(it) == 1) got.push_back(it.advert ? it.advert->mac : "fix");
    ASSERT_EQ(got.size(), 17u);
    EXPECT_EQ(got[0], "fix");
    EXPECT_EQ(got[1], "00:25:DF:4A:19:C2");
    EXPECT_EQ(got[16], "00:11:22:33:44:55");
    EXPECT_EQ(it.time, 5);
    EXPECT_EQ(r->skipped(), 2);
    EXPECT_TRUE(r->error().empty());

    const string cap = string(OVK_SOURCE_DIR) + "/tests/data/captures/whad_sniffle_capture.pcap";
    r = OVK_REPLAY_READER::open(cap, err, open_capture);
    ASSERT_TRUE(r) << err;
    int n = 0;
    while (r->next(it) == 1) ++n;
    EXPECT_EQ(n, 22);
    EXPECT_EQ(r->skipped(), 0);
    // Without the capture reader, a capture is only bytes that are no recording.
    r = OVK_REPLAY_READER::open(cap, err);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->next(it), -1);
    EXPECT_GT(r->skipped(), 0);
    EXPECT_EQ(r->error().rfind("not a recording or a capture (", 0), 0u) << r->error();
    EXPECT_FALSE(OVK_REPLAY_READER::open(dir.file("missing"), err, open_capture));
    EXPECT_EQ(err, "No such file or directory");
    ovk_test::write_file(
        dir.file("eth.pcap"),
        string("\xD4\xC3\xB2\xA1\x02\0\x04\0\0\0\0\0\0\0\0\0\xFF\xFF\0\0\x01\0\0\0", 24));
    EXPECT_FALSE(OVK_REPLAY_READER::open(dir.file("eth.pcap"), err, open_capture));
    EXPECT_NE(err.find("link type 1"), string::npos) << err;
}

// A recording of items at the given offsets from T0 (ms).
string timed_recording(const ovk_test::TempDir& dir, const std::vector<int64_t>& offsets) {
    string text;
    for (const int64_t off : offsets) {
        auto a =
            ovk_advert_new_ble("00:11:22:33:44:55", -60, {}, OVK_ADDR_PUBLIC, 1, "", "", T0 + off);
        text += ovk_classify_format(*a) + "\n";
    }
    const string path = dir.file("timed.jsonl");
    ovk_test::write_file(path, text);
    return path;
}

TEST(Replay, OriginalPaceSpeedUpSilencesAndTheClock) {
    ovk_test::TempDir dir;
    Received rx;
    OVK_REPLAY_OPTS o;
    o.path = timed_recording(dir, {0, 300, 600});
    o.speed = 1;
    ASSERT_EQ(ovk_replay_start(o, rx.sink()), 0);
    EXPECT_EQ(ovk_replay_status(), "Replay: " + o.path);
    ASSERT_TRUE(wait_finished());
    ASSERT_EQ(rx.size(), 3u);
    EXPECT_EQ(rx.items[0], "A 00:11:22:33:44:55 " + std::to_string(T0));
    EXPECT_GE(rx.wall[2] - rx.wall[0], 590);
    EXPECT_LT(rx.wall[2] - rx.wall[0], 1500);
    // After the end the clock runs on from the last item.
    const int64_t c = ovk_replay_clock();
    EXPECT_GE(c, T0 + 600);
    EXPECT_LT(c, T0 + 5000);
    EXPECT_EQ(ovk_replay_status(), "Replay: " + o.path + " (finished: 3 adverts, 0 fixes)");
    ovk_replay_stop();

    // Four times as fast; a ten-minute silence plays as one second.
    Received fast;
    o.path = timed_recording(dir, {0, 400, 800, 800 + 600000});
    o.speed = 4;
    ASSERT_EQ(ovk_replay_start(o, fast.sink()), 0);
    ASSERT_TRUE(wait_finished());
    ASSERT_EQ(fast.size(), 4u);
    EXPECT_GE(fast.wall[2] - fast.wall[0], 190);
    EXPECT_LT(fast.wall[2] - fast.wall[0], 600);
    EXPECT_GE(fast.wall[3] - fast.wall[2], 950);
    EXPECT_LT(fast.wall[3] - fast.wall[2], 2500);
    ovk_replay_stop();

    // Stopping in a long wait returns at once; nothing arrives afterwards.
    Received slow;
    o.path = timed_recording(dir, {0, 200000});
    o.speed = 1;
    ASSERT_EQ(ovk_replay_start(o, slow.sink()), 0);
    for (int i = 0; i < 400 && slow.size() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int64_t mid = ovk_replay_clock();
    EXPECT_GE(mid, T0);
    EXPECT_LT(mid, T0 + 10000) << "the clock is the recording's, not the wall's";
    const auto t0 = std::chrono::steady_clock::now();
    ovk_replay_stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(slow.size(), 1u);
    EXPECT_EQ(ovk_replay_running(), 0);

    // A file that cannot be read says so in the status.
    o.path = dir.file("missing.jsonl");
    EXPECT_EQ(ovk_replay_start(o, slow.sink()), -1);
    EXPECT_EQ(ovk_replay_status(), "Replay: " + o.path + ": No such file or directory");
}

// A FIFO without a writer, then with a quiet one: the start does not wait for it, what comes
// is played, and a stop ends the wait for more.
TEST(Replay, StopEndsTheWaitOnAQuietFifo) {
    ovk_test::TempDir dir;
    const string fifo = dir.file("live.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Received got;
    OVK_REPLAY_OPTS o;
    o.path = fifo;
    o.speed = 0;
    for (const bool writer : {false, true}) {
        ASSERT_EQ(ovk_replay_start(o, got.sink()), 0);
        int w = -1;
        if (writer) {
            w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(w, 0);
            const string line = R"({"radio":"BLE","mac":"00:11:22:33:44:55","raw":"","time":7})"
                                "\n{\"radio\"";
            ASSERT_EQ(write(w, line.data(), line.size()), static_cast<ssize_t>(line.size()));
            for (int i = 0; i < 4000 && got.size() == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(got.size(), 1u);
        }
        EXPECT_EQ(ovk_replay_status(), "Replay: " + fifo);
        const auto t0 = std::chrono::steady_clock::now();
        ovk_replay_stop();  // before the change: blocked in open, or in fgets, for ever
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        EXPECT_EQ(ovk_replay_error(), "");
        if (w >= 0) close(w);
    }
}

TEST(Replay, FlatOutWaitsForTheConsumerAndDropsNothing) {
    ovk_test::TempDir dir;
    std::vector<int64_t> offsets;
    for (int i = 0; i < 3000; ++i) offsets.push_back(i * 1000);  // 50 minutes of items
    std::atomic<int> backlog{0};
    std::atomic<int> peak{0};
    std::atomic<long> got{0};
    OVK_SINK s;
    s.on_advert = [&](OVK_ADVERT_PTR) {
        const int b = ++backlog;
        if (b > peak) peak = b;
        ++got;
    };
    // A slow consumer that takes items off its backlog on its own thread.
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done) {
            if (backlog > 0) --backlog;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    OVK_REPLAY_OPTS o;
    o.path = timed_recording(dir, offsets);
    o.speed = 0;
    o.backlog = [&] { return backlog.load(); };
    o.backlog_max = 50;
    ASSERT_EQ(ovk_replay_start(o, s), 0);
    EXPECT_TRUE(wait_finished(60));
    done = true;
    consumer.join();
    EXPECT_EQ(got, 3000);
    EXPECT_LE(peak, 51);
    EXPECT_EQ(ovk_replay_adverts(), 3000);
    const int64_t c = ovk_replay_clock();
    EXPECT_GE(c, T0 + 2999 * 1000) << "the clock stands at the last item played";
    ovk_replay_stop();
}

// The pipeline, run live on demo rounds while recording, then fed the recording: the same
// detections (address, label, category, confidence, time) come out.
TEST(Replay, ReplayingARecordedRunFindsTheSameDetections) {
    ovk_test::TempDir dir;
    const string rec = dir.file("run.jsonl");
    std::atomic<int64_t> live_clock{T0};
    OVK_PIPELINE_HOOKS hooks;
    hooks.now_ms = [&] { return live_clock.load(); };
    OVK_PREFS prefs;
    prefs.follower_alerts = 1;

    ovk_test::TempDir live_dir;
    ovk_test::pipeline_up(live_dir.path(), prefs, hooks, T0 - 1000);
    string err;
    ASSERT_EQ(ovk_record_open(rec, err), 0) << err;
    for (int round = 0; round < 240; ++round) {
        live_clock = T0 + round * 1000;
        demo_round(round, ovk_pipeline_submit, ovk_pipeline_location);
        ovk_test::pipeline_drain();
    }
    ovk_record_close();
    std::vector<OVK_DETECTION> live = ovk_store_detections(0);
    std::vector<OVK_UI_ALERT> live_alerts = ovk_test::pipeline_pop_all();
    ovk_test::pipeline_down();
    ASSERT_GT(live.size(), 20u);

    ovk_test::TempDir replay_dir;
    hooks.now_ms = ovk_replay_clock;
    ovk_test::pipeline_up(replay_dir.path(), prefs, hooks, T0 - 1000);
    OVK_REPLAY_OPTS o;
    o.path = rec;
    o.speed = 0;
    o.backlog = ovk_pipeline_pending;
    ASSERT_EQ(ovk_replay_start(o, ovk_pipeline_sink()), 0);
    ASSERT_TRUE(wait_finished(120));
    ovk_test::pipeline_drain();
    ovk_replay_stop();
    std::vector<OVK_DETECTION> again = ovk_store_detections(0);
    std::vector<OVK_UI_ALERT> again_alerts = ovk_test::pipeline_pop_all();
    ovk_test::pipeline_down();

    EXPECT_EQ(ovk_replay_adverts(), 240 * 15);
    EXPECT_EQ(ovk_replay_fixes(), 240);
    ASSERT_EQ(again.size(), live.size());
    for (size_t i = 0; i < live.size(); ++i) {
        EXPECT_EQ(again[i].mac, live[i].mac) << i;
        EXPECT_EQ(again[i].label, live[i].label) << i;
        EXPECT_EQ(again[i].category, live[i].category) << i;
        EXPECT_EQ(again[i].confidence, live[i].confidence) << i;
        EXPECT_EQ(again[i].timestamp, live[i].timestamp) << i;
        EXPECT_EQ(again[i].evidence, live[i].evidence) << i;
    }
    // The same alerts for the same devices; alerts raised within one fix of each other may
    // come out in another order when the recording is read faster than it was made.
    auto keyed = [](const std::vector<OVK_UI_ALERT>& alerts) {
        std::vector<std::pair<string, string>> out;
        for (const OVK_UI_ALERT& a : alerts) out.emplace_back(a.key, a.hit.label);
        std::sort(out.begin(), out.end());
        return out;
    };
    ASSERT_EQ(again_alerts.size(), live_alerts.size());
    EXPECT_EQ(keyed(again_alerts), keyed(live_alerts));
}

}  // namespace
