// SPDX-License-Identifier: GPL-3.0-or-later
// The one interface through which the portable parts reach the operating system:
// scanner start/stop/status, the sink that receives scanner output, directories,
// outside programs and clocks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovk_advert.h"
#include "ovk_category.h"
#include "ovk_cell.h"
#include "ovk_geo.h"
#include "ovk_sink.h"

// Life cycle and identity. init is idempotent and returns 0; call it before other threads
// run (it prepares the HTTP client and the sound libraries). shutdown stops every scanner
// this layer started, then the sound player and the HTTP client.
int ovk_platform_init();
void ovk_platform_shutdown();
const char* ovk_platform_name();  // "linux"

// Sink and emitters (called by the scanner threads). A null sink clears it; adverts emitted
// while no sink (or no on_advert) is set are freed. Callbacks run outside every platform lock,
// so a callback may call back into this layer (including ovk_platform_set_sink).
void ovk_platform_set_sink(const OVK_SINK* sink);
void ovk_linux_emit_advert(OVK_ADVERT_PTR advert);
void ovk_linux_emit_location(const OVK_LOCATION& fix);
void ovk_linux_emit_status(std::string_view text);

// Clocks.
int64_t ovk_linux_now_ms();
int64_t ovk_linux_mono_ms();
int64_t ovk_linux_boot_ns();

// Scanning. A start first stops whatever runs (a start doubles as a restart), then starts
// BLE, Wi-Fi and GPS as requested: 0 when every requested part started, else -1 (the parts
// that started keep running). The status text joins the running parts' status lines with
// "\n", or is "Scanning stopped".
int ovk_platform_scan_start(const OVK_SCAN_OPTS& opts);
void ovk_platform_scan_stop();
int ovk_platform_scan_running();
int ovk_platform_take_stop_request();  // always 0 on Linux
std::string ovk_platform_scan_status();
// Whether each radio asked for by the last start listens, and if not, why.
OVK_SCAN_HEALTH ovk_platform_scan_health();

// Directories and assets. The data directory is $XDG_DATA_HOME/orvik (absolute values only)
// or $HOME/.local/share/orvik (./.local/share/orvik without HOME), created when missing; the
// export directory is ~/Documents/Orvik when ~/Documents exists, else <data dir>/exports.
// Either path is returned even when it could not be created (the failure is logged).
std::string ovk_platform_data_dir();
std::string ovk_platform_export_dir();
// First readable <dir>/<name> among $OVK_ASSETS, <exe dir>/assets,
// <exe dir>/../share/orvik/assets and ./assets.
std::optional<std::string> ovk_platform_asset_path(std::string_view name);
// The whole asset file (fits OVK_ASSET_READER), nullopt when missing or unreadable.
std::optional<std::string> ovk_platform_read_asset(std::string_view name);
// The address-block table (OVK_VENDOR_FILE_OUI), which ovk_platform_read_asset reads through
// this: the system's IEEE registry (Debian's ieee-data, in /var/lib/ieee-data when
// update-ieee-data refreshed it, else /usr/share/ieee-data) when its date (.lastupdate) is
// later than the listing date the bundled table names, else the bundled table. Which one it
// is goes to the log at level 6. `ieee_dirs` are tried in order.
std::optional<std::string> ovk_platform_oui_table(std::optional<std::string> bundled,
                                                  std::span<const std::string> ieee_dirs);
// Empty arguments print as "?".
void ovk_platform_share_file(std::string_view path, std::string_view mime);

// Outside programs.
// The executable `prog`: taken as it is when it contains "/", else searched in $PATH
// (or /usr/local/bin:/usr/bin:/bin); nullopt when not found.
std::optional<std::string> ovk_linux_which(std::string_view prog);
// Launches `path` with `argv` (no shell, no PATH search) fully detached: double fork, new
// session, stdout/stderr on /dev/null, stdin from /dev/null or from a pipe carrying
// `stdin_data`. Never waits for the program and leaves no zombie. 0 launched, -1 failure.
int ovk_linux_spawn(const std::string& path, const std::vector<std::string>& argv,
                    std::optional<std::string_view> stdin_data = std::nullopt);
// xdg-open; empty URLs and URLs beginning with "-" are refused.
void ovk_platform_open_url(std::string_view url);
// Logs "[key] title: text" and shows a desktop notification through notify-send (titled
// "Orvik" when `title` is absent).
void ovk_platform_notify(std::optional<std::string_view> key, std::optional<std::string_view> title,
                         std::optional<std::string_view> text);
// Tone pattern (3 following, 2 strong, 1 medium, 0 otherwise) when `sound`; speaks `spoken`
// through espeak-ng or espeak when it is not empty. `vibrate` has no meaning here.
void ovk_platform_alert(OVK_TIER tier, int following, int sound, int vibrate,
                        std::string_view spoken);
void ovk_platform_tick();

// Display environment.
inline constexpr int OVK_DISPLAY_WINDOWED = 21;     // windowed | resizable | OpenGL
inline constexpr int OVK_DISPLAY_FULLSCREEN = 532;  // fullscreen window | resizable | OpenGL
float ovk_platform_density();                       // OVK_DENSITY within 0.5..4, else 1
int ovk_platform_display_flags();  // OVK_DISPLAY_FULLSCREEN when OVK_FULLSCREEN begins with "1"
int ovk_platform_uses_touch();     // 1 when OVK_TOUCH begins with "1"

// Phone operations with fixed answers on Linux.
int ovk_platform_permissions_ok();       // 1
int ovk_platform_request_permissions();  // 0
void ovk_platform_set_autostart(int enable);
int ovk_platform_autostart_ready();  // 1
void ovk_platform_request_autostart();
void ovk_platform_background(int enable, std::string_view text);
void ovk_platform_show_keyboard();
void ovk_platform_hide_keyboard();
