// SPDX-License-Identifier: GPL-3.0-or-later
// Alert sounds: five short tone patterns, synthesised once on first use and played
// through Allegro's audio add-on, with or without a window (the player starts Allegro's core
// itself when nobody has). Without an audio device the player goes silent for good (until
// shutdown) and says so once in the log, as a warning.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int OVK_AUDIO_RATE = 44100;  // samples per second, mono, signed 16-bit
inline constexpr int OVK_AUDIO_PATTERNS = 5;
inline constexpr int OVK_AUDIO_TICK = 4;        // the locate tick
inline constexpr int OVK_AUDIO_RAMP = 220;      // envelope rise and fall, samples
inline constexpr double OVK_AUDIO_LEVEL = 0.6;  // peak amplitude, fraction of full scale

// The segment durations of a pattern in milliseconds (tone, silence, tone, ...) and its
// pitch in Hz; an empty list for a pattern outside 0..4.
std::vector<int> ovk_linux_audio_durations(int pattern);
int ovk_linux_audio_pitch(int pattern);

// The samples of one pattern (0..4), exactly as they are played; empty outside 0..4.
std::vector<int16_t> ovk_linux_audio_synth(int pattern);

// Called once before other threads run (the platform layer's init does it): keeps the audio
// libraries' own messages off standard error, so that a board without a sound card shows
// only the player's one line.
void ovk_linux_audio_init();

// Plays pattern 0..3 (weak, medium, strong match, device following); any other value
// plays pattern 0. Returns at once; the sound plays in the background.
void ovk_linux_audio_pattern(int pattern);
// Plays the locate tick (pattern 4).
void ovk_linux_audio_tick();
// Destroys the samples, uninstalls the audio system when this module installed it, and
// returns the player to its untried state.
void ovk_linux_audio_shutdown();
// 0 not tried yet, 1 ready, -1 silent until shutdown.
int ovk_linux_audio_state();
