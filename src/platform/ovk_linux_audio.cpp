// SPDX-License-Identifier: GPL-3.0-or-later
// Alert sounds through Allegro's audio add-on.
#include "ovk_linux_audio.h"

#include <allegro5/allegro.h>
#include <allegro5/allegro_audio.h>
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>

#include "zq_log.h"

namespace {

struct Pattern {
    std::array<int, 6> ms;  // tone, silence, tone, ...; ended by 0
    int pitch_hz;
};

// weak, medium, strong match, device following the user, locate tick
constexpr std::array<Pattern, OVK_AUDIO_PATTERNS> kPatterns{{
    {{300, 0, 0, 0, 0, 0}, 880},
    {{250, 150, 250, 0, 0, 0}, 880},
    {{220, 120, 220, 120, 220, 0}, 988},
    {{600, 150, 150, 150, 600, 0}, 660},
    {{60, 0, 0, 0, 0, 0}, 1200},
}};

struct Player {
    std::mutex mu;
    int state = 0;  // 0 not tried, 1 ready, -1 silent for good
    bool installed_audio = false;
    std::array<ALLEGRO_SAMPLE*, OVK_AUDIO_PATTERNS> samples{};
};

Player& player() {
    static Player p;
    return p;
}

int segment_samples(int ms) {
    return static_cast<int>(static_cast<int64_t>(ms) * OVK_AUDIO_RATE / 1000);
}

void destroy_samples(Player& p) {
    for (auto& s : p.samples) {
        if (s) al_destroy_sample(s);
        s = nullptr;
    }
}

// ALSA prints its own complaints (a missing card, an unknown PCM) on standard error while the
// audio add-on probes for a device; on a board without a sound card that is eight lines of
// noise before our one line. This keeps them quiet on the probing thread for one scope. The
// library is reached through the symbols already loaded with the add-on, so nothing here
// links ALSA; without them there is nothing to silence.
class AlsaQuiet {
  public:
    AlsaQuiet() {
        set_local_ = reinterpret_cast<SetLocal>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_local"));
        if (set_local_) {
            old_local_ = set_local_(&quiet_local);
            return;
        }
        set_global_ = reinterpret_cast<SetGlobal>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"));
        if (set_global_) set_global_(&quiet_global);
    }
    ~AlsaQuiet() {
        if (set_local_) set_local_(old_local_);
        if (set_global_) set_global_(nullptr);  // ALSA's default handler again
    }
    AlsaQuiet(const AlsaQuiet&) = delete;
    AlsaQuiet& operator=(const AlsaQuiet&) = delete;

  private:
    // The handler types of alsa/error.h.
    using LocalHandler = void (*)(const char*, int, const char*, int, const char*, va_list);
    using GlobalHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetLocal = LocalHandler (*)(LocalHandler);
    using SetGlobal = int (*)(GlobalHandler);
    static void quiet_local(const char*, int, const char*, int, const char*, va_list) {}
    static void quiet_global(const char*, int, const char*, int, const char*, ...) {}

    SetLocal set_local_ = nullptr;
    LocalHandler old_local_ = nullptr;
    SetGlobal set_global_ = nullptr;
};

// Called with the mutex held and the state at 0. Leaves it at 1 or -1.
//
// Sound needs no display: without a window (orvik --headless) the player starts Allegro's
// core itself. al_install_system is a no-op when the window (or anyone) already did, and the
// window's own al_init after us is one too, so whoever comes first is fine. The core stays
// installed at shutdown: a window may be using it by then.
void prepare(Player& p) {
    p.state = -1;
    if (!al_is_system_installed() && !al_install_system(ALLEGRO_VERSION_INT, atexit)) {
        zq_log(LOG_WARNING, "audio: Allegro not initialized, alerts are silent");
        return;
    }
    if (!al_is_audio_installed()) {
        bool installed = false;
        {
            AlsaQuiet quiet;
            installed = al_install_audio();
        }
        if (!installed) {
            zq_log(LOG_WARNING, "audio: no audio device, alerts are silent");
            return;
        }
        p.installed_audio = true;
    }
    if (!al_reserve_samples(4)) {
        zq_log(LOG_WARNING, "audio: cannot reserve sample voices, alerts are silent");
        return;
    }
    for (int i = 0; i < OVK_AUDIO_PATTERNS; i++) {
        std::vector<int16_t> pcm = ovk_linux_audio_synth(i);
        // The sample owns its buffer, which must come from Allegro's allocator.
        auto* buf = static_cast<int16_t*>(al_malloc(pcm.size() * sizeof(int16_t)));
        ALLEGRO_SAMPLE* s = nullptr;
        if (buf) {
            std::memcpy(buf, pcm.data(), pcm.size() * sizeof(int16_t));
            s = al_create_sample(buf, static_cast<unsigned>(pcm.size()), OVK_AUDIO_RATE,
                                 ALLEGRO_AUDIO_DEPTH_INT16, ALLEGRO_CHANNEL_CONF_1, true);
            if (!s) al_free(buf);
        }
        if (!s) {
            zq_log(LOG_ERR, "audio: cannot create alert sample %d", i);
            destroy_samples(p);
            return;
        }
        p.samples[static_cast<size_t>(i)] = s;
    }
    p.state = 1;
}

void play(int pattern) {
    Player& p = player();
    std::lock_guard lock(p.mu);
    if (p.state == 0) prepare(p);
    if (p.state != 1) return;
    ALLEGRO_SAMPLE* s = p.samples[static_cast<size_t>(pattern)];
    if (s) al_play_sample(s, 1.0f, 0.0f, 1.0f, ALLEGRO_PLAYMODE_ONCE, nullptr);
}

}  // namespace

std::vector<int> ovk_linux_audio_durations(int pattern) {
    std::vector<int> out;
    if (pattern < 0 || pattern >= OVK_AUDIO_PATTERNS) return out;
    for (int ms : kPatterns[static_cast<size_t>(pattern)].ms) {
        if (ms == 0) break;
        out.push_back(ms);
    }
    return out;
}

int ovk_linux_audio_pitch(int pattern) {
    if (pattern < 0 || pattern >= OVK_AUDIO_PATTERNS) return 0;
    return kPatterns[static_cast<size_t>(pattern)].pitch_hz;
}

std::vector<int16_t> ovk_linux_audio_synth(int pattern) {
    std::vector<int16_t> out;
    if (pattern < 0 || pattern >= OVK_AUDIO_PATTERNS) return out;
    const Pattern& pat = kPatterns[static_cast<size_t>(pattern)];
    // The buffer is the sum of the segment lengths, so the segments always fit it.
    size_t total = 0;
    for (int ms : pat.ms) {
        if (ms == 0) break;
        total += static_cast<size_t>(segment_samples(ms));
    }
    try {
        out.assign(total, 0);
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(int16_t, total, out);
        return {};
    }
    const double w = 2.0 * std::numbers::pi * pat.pitch_hz / OVK_AUDIO_RATE;
    size_t at = 0;
    bool tone = true;
    for (int ms : pat.ms) {
        if (ms == 0) break;
        const int len = segment_samples(ms);
        if (tone) {
            for (int m = 0; m < len; m++) {
                double env = 1.0;
                if (m < OVK_AUDIO_RAMP)
                    env = std::min(env, static_cast<double>(m) / OVK_AUDIO_RAMP);
                const int left = len - 1 - m;
                if (left < OVK_AUDIO_RAMP)
                    env = std::min(env, static_cast<double>(left) / OVK_AUDIO_RAMP);
                const double v = std::sin(w * m) * env * OVK_AUDIO_LEVEL * 32767.0;
                out[at + static_cast<size_t>(m)] = static_cast<int16_t>(std::lround(v));
            }
        }
        at += static_cast<size_t>(len);
        tone = !tone;
    }
    return out;
}

void ovk_linux_audio_init() {
    // OpenAL reads its log level once, when it is first used; 0 keeps its own messages about
    // a missing device off standard error. A level the user chose is left alone.
    setenv("ALSOFT_LOGLEVEL", "0", 0);
}

void ovk_linux_audio_pattern(int pattern) {
    if (pattern < 0 || pattern > 3) pattern = 0;
    play(pattern);
}

void ovk_linux_audio_tick() {
    play(OVK_AUDIO_TICK);
}

void ovk_linux_audio_shutdown() {
    Player& p = player();
    std::lock_guard lock(p.mu);
    destroy_samples(p);
    if (p.installed_audio && al_is_audio_installed()) al_uninstall_audio();
    p.installed_audio = false;
    p.state = 0;
}

int ovk_linux_audio_state() {
    Player& p = player();
    std::lock_guard lock(p.mu);
    return p.state;
}
