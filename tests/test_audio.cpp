// SPDX-License-Identifier: GPL-3.0-or-later
// Alert sound synthesis and the player's behaviour without an audio device.
#include <allegro5/allegro.h>
#include <allegro5/allegro_audio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "helpers/ovk_test_files.h"
#include "ovk_linux_audio.h"
#include "zq_log.h"

namespace {

struct Segment {
    size_t start, len;
    bool tone;
};

std::vector<Segment> segments(int pattern) {
    std::vector<Segment> out;
    size_t at = 0;
    bool tone = true;
    for (int ms : ovk_linux_audio_durations(pattern)) {
        size_t len = static_cast<size_t>(ms) * 441 / 10;
        out.push_back({at, len, tone});
        at += len;
        tone = !tone;
    }
    return out;
}

// Upward zero crossings per second over [from, to).
double measured_pitch(const std::vector<int16_t>& s, size_t from, size_t to) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = from + 1; i < to; i++) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            crossings++;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * static_cast<double>(OVK_AUDIO_RATE) /
           static_cast<double>(last - first);
}

// Captures log lines in a temporary file.
class LogCapture {
  public:
    LogCapture() {
        f_ = std::tmpfile();
        old_level_ = get_log_level();
        set_log_level(7);
        zq_log_set_stream(f_);
    }
    ~LogCapture() {
        zq_log_set_stream(nullptr);
        set_log_level(old_level_ < 0 ? 4 : old_level_);
        std::fclose(f_);
    }
    std::string text() {
        std::fflush(f_);
        std::rewind(f_);
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
        return out;
    }
    int count(const std::string& needle) {
        std::string t = text();
        int c = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) c++;
        return c;
    }

  private:
    FILE* f_;
    int old_level_;
};

}  // namespace

TEST(AudioSynth, PatternLengthsFollowTheirDurations) {
    const size_t expected[OVK_AUDIO_PATTERNS] = {13230, 28665, 39690, 72765, 2646};
    for (int p = 0; p < OVK_AUDIO_PATTERNS; p++) {
        std::vector<int16_t> s = ovk_linux_audio_synth(p);
        EXPECT_EQ(s.size(), expected[p]) << "pattern " << p;
    }
    EXPECT_TRUE(ovk_linux_audio_synth(-1).empty());
    EXPECT_TRUE(ovk_linux_audio_synth(5).empty());
    EXPECT_EQ(ovk_linux_audio_durations(3), (std::vector<int>{600, 150, 150, 150, 600}));
}

TEST(AudioSynth, TonesHaveTheirPitchAndSilencesAreSilent) {
    const int pitch[OVK_AUDIO_PATTERNS] = {880, 880, 988, 660, 1200};
    for (int p = 0; p < OVK_AUDIO_PATTERNS; p++) {
        std::vector<int16_t> s = ovk_linux_audio_synth(p);
        ASSERT_FALSE(s.empty());
        int tones = 0;
        for (const Segment& seg : segments(p)) {
            ASSERT_LE(seg.start + seg.len, s.size());
            if (!seg.tone) {
                for (size_t i = seg.start; i < seg.start + seg.len; i++)
                    ASSERT_EQ(s[i], 0) << "pattern " << p << " silence at " << i;
                continue;
            }
            tones++;
            double f = measured_pitch(s, seg.start, seg.start + seg.len);
            EXPECT_NEAR(f, pitch[p], pitch[p] * 0.01) << "pattern " << p;
        }
        EXPECT_EQ(tones, (static_cast<int>(segments(p).size()) + 1) / 2);
    }
}

TEST(AudioSynth, EnvelopeRisesHoldsAndFalls) {
    std::vector<int16_t> s = ovk_linux_audio_synth(0);  // one 300 ms tone at 880 Hz
    ASSERT_EQ(s.size(), 13230u);
    const double peak = OVK_AUDIO_LEVEL * 32767.0;
    // Starts and ends at silence.
    EXPECT_EQ(s.front(), 0);
    EXPECT_LE(std::abs(s.back()), 1);
    // Within the ramps the amplitude stays under the linear envelope.
    for (size_t m = 0; m < OVK_AUDIO_RAMP; m++) {
        double env = static_cast<double>(m) / OVK_AUDIO_RAMP;
        ASSERT_LE(std::abs(s[m]), env * peak + 1) << m;
        size_t back = s.size() - 1 - m;
        ASSERT_LE(std::abs(s[back]), env * peak + 1) << back;
    }
    // In the middle the full level is reached and never exceeded.
    int max_mid = 0;
    for (size_t i = OVK_AUDIO_RAMP; i < s.size() - OVK_AUDIO_RAMP; i++)
        max_mid = std::max(max_mid, std::abs(static_cast<int>(s[i])));
    EXPECT_NEAR(max_mid, peak, peak * 0.005);
    // The first ramp really rises: the largest value in its last quarter is well above
    // the largest in its first quarter.
    int early = 0, late = 0;
    for (size_t m = 0; m < 55; m++) early = std::max(early, std::abs(static_cast<int>(s[m])));
    for (size_t m = 165; m < 220; m++) late = std::max(late, std::abs(static_cast<int>(s[m])));
    EXPECT_GT(late, 2 * early);
}

// Runs `body` in a child process whose home is `home` (Allegro and ALSA read their settings
// there) and which has no display, as on a board without a screen. Returns the child's exit
// code; Allegro's state stays out of this process.
int headless_child(const std::string& home, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("HOME", home.c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("ALSA_CONFIG_PATH");
        _exit(body());
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
    return WEXITSTATUS(st);
}

// The state the player reaches on a first alert (1 ready -> 1, -1 silent -> 2), with the log
// written to home/log.
int first_alert_state(const std::string& home) {
    return headless_child(home, [&] {
        FILE* f = std::fopen((home + "/log").c_str(), "w");
        zq_log_set_stream(f);
        set_log_level(7);
        const bool before = al_is_system_installed();
        ovk_linux_audio_pattern(1);
        ovk_linux_audio_pattern(3);
        ovk_linux_audio_tick();
        const int state = ovk_linux_audio_state();
        std::fclose(f);
        if (before || !al_is_system_installed()) return 9;
        return state == 1 ? 1 : state == -1 ? 2 : 3;
    });
}

void write_text(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(f) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

std::string read_text(const std::string& path) {
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

// orvik --headless has no window, so nobody else starts Allegro: alerts must sound anyway.
// OpenAL's null output stands in for a sound card; an ALSA card that is not there is no
// device.
TEST(AudioPlayer, AlertsSoundWithoutADisplay) {
    ovk_test::TempDir home;
    write_text(home.file(".allegro5rc"), "[audio]\ndriver = openal\n");
    write_text(home.file(".alsoftrc"), "[general]\ndrivers = null\n");
    EXPECT_EQ(first_alert_state(home.path()), 1) << read_text(home.file("log"));
    EXPECT_EQ(read_text(home.file("log")).find("alerts are silent"), std::string::npos);

    write_text(home.file(".allegro5rc"), "[audio]\ndriver = alsa\n");
    write_text(home.file(".asoundrc"), "pcm.!default { type hw card 42 }\n");
    EXPECT_EQ(first_alert_state(home.path()), 2);
    const std::string log = read_text(home.file("log"));
    EXPECT_EQ(log.rfind("WARNING", 0), 0u) << log;
    EXPECT_NE(log.find("audio: no audio device, alerts are silent"), std::string::npos) << log;
    EXPECT_EQ(log.find("alerts are silent", log.find("alerts are silent") + 1), std::string::npos)
        << "said once: " << log;
}

// A board without a sound card: every driver the add-on tries (PulseAudio without a server,
// ALSA without the card, OpenAL on top of that ALSA) fails, and standard error holds one line
// that says alerts are silent, none of the libraries' own complaints.
TEST(AudioPlayer, NoSoundCardGivesOneLineOnStandardError) {
    ovk_test::TempDir home;
    write_text(home.file(".asoundrc"), "pcm.!default { type hw card 42 }\n");
    write_text(home.file(".alsoftrc"), "[general]\ndrivers = alsa\n");
    const std::string err = home.file("stderr");
    const int rc = headless_child(home.path(), [&] {
        FILE* f = std::fopen(err.c_str(), "w");
        if (!f || dup2(fileno(f), 2) < 0) return 8;
        setenv("PULSE_SERVER", ("unix:" + home.file("no-pulse")).c_str(), 1);
        unsetenv("ALSOFT_LOGLEVEL");
        zq_log_set_stream(nullptr);
        set_log_level(4);
        ovk_linux_audio_init();
        ovk_linux_audio_pattern(2);
        ovk_linux_audio_tick();
        return ovk_linux_audio_state() == -1 ? 2 : 1;
    });
    const std::string text = read_text(err);
    ASSERT_EQ(rc, 2) << text;
    EXPECT_EQ(text.find("ALSA lib"), std::string::npos) << text;
    EXPECT_EQ(text.find("AL lib"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("audio: no audio device, alerts are silent"), std::string::npos) << text;
}

TEST(AudioPlayer, SilentWithoutDeviceLoggingOnce) {
    ovk_linux_audio_shutdown();
    ASSERT_TRUE(al_init());
    {
        LogCapture log;
        for (int i = 0; i < 4; i++) ovk_linux_audio_pattern(i);
        ovk_linux_audio_tick();
        if (ovk_linux_audio_state() == 1) GTEST_SKIP() << "this machine has an audio device";
        EXPECT_EQ(ovk_linux_audio_state(), -1);
        EXPECT_EQ(log.count("alerts are silent"), 1) << log.text();
        EXPECT_EQ(log.count("audio: no audio device, alerts are silent") +
                      log.count("audio: cannot reserve sample voices, alerts are silent"),
                  1);
    }
    // Shutdown lets the next request try again (and log again).
    ovk_linux_audio_shutdown();
    {
        LogCapture log;
        ovk_linux_audio_pattern(1);
        EXPECT_EQ(ovk_linux_audio_state(), -1);
        EXPECT_EQ(log.count("alerts are silent"), 1);
    }
    ovk_linux_audio_shutdown();
    EXPECT_FALSE(al_is_audio_installed());
}
