// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux platform layer.
//
// Index:
//   1. Module state
//   2. Life cycle
//   3. Sink and emitters
//   4. Scanning
//   5. Directories and assets
//   6. Outside programs
//   7. Alerts
//   8. Clocks, display environment, fixed phone operations
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ovk_dirs.h"
#include "ovk_linux_audio.h"
#include "ovk_linux_gpsd.h"
#include "ovk_linux_hci.h"
#include "ovk_linux_http.h"
#include "ovk_linux_mqtt.h"
#include "ovk_linux_nl80211.h"
#include "ovk_platform.h"
#include "ovk_util.h"
#include "ovk_vendordb.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. Module state
// ---------------------------------------------------------------------------------------

constexpr size_t kPathMax = 4096;
constexpr size_t kStatusLineMax = 159;

// The sink is kept as an immutable snapshot: an emitter copies the pointer under the lock
// and calls the callback after releasing it, so a callback may replace the sink.
std::mutex g_sink_mu;
std::shared_ptr<const OVK_SINK> g_sink;

// Which scanners this layer started. Scanner threads never take this lock (stopping joins
// them while it is held).
std::mutex g_scan_mu;
bool g_ble_on = false;
bool g_wifi_on = false;
bool g_gps_on = false;
// What the last start asked for (a part may have been asked for and not started).
bool g_ble_req = false;
bool g_wifi_req = false;

std::mutex g_init_mu;
bool g_initialized = false;

std::shared_ptr<const OVK_SINK> sink_snapshot() {
    std::lock_guard<std::mutex> lock(g_sink_mu);
    return g_sink;
}

// ---------------------------------------------------------------------------------------
// Scanner hooks, called with g_scan_mu held. start returns 0 when the scanner runs.
// ---------------------------------------------------------------------------------------

int ble_start(const OVK_SCAN_OPTS& opts) {
    return ovk_linux_hci_start(opts);
}
void ble_stop() {
    ovk_linux_hci_stop();
}
std::string ble_status() {
    return ovk_linux_hci_status();
}

int wifi_start(const OVK_SCAN_OPTS& opts) {
    return ovk_linux_wifi_start(opts);
}
void wifi_stop() {
    ovk_linux_wifi_stop();
}
std::string wifi_status() {
    return ovk_linux_wifi_status();
}

int gps_start(const OVK_SCAN_OPTS& opts) {
    return ovk_linux_gpsd_start(opts);
}
void gps_stop() {
    ovk_linux_gpsd_stop();
}
std::string gps_status() {
    return ovk_linux_gpsd_status();
}

// Stops every scanner this layer started, in the order BLE, Wi-Fi, GPS. g_scan_mu held.
void stop_all_locked() {
    if (g_ble_on) ble_stop();
    if (g_wifi_on) wifi_stop();
    if (g_gps_on) gps_stop();
    g_ble_on = g_wifi_on = g_gps_on = false;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Life cycle
// ---------------------------------------------------------------------------------------

int ovk_platform_init() {
    std::lock_guard<std::mutex> lock(g_init_mu);
    if (g_initialized) return 0;
    ovk_linux_http_init();
    ovk_linux_mqtt_init();
    ovk_linux_audio_init();
    g_initialized = true;
    zq_log(LOG_INFO, "platform %s initialized", ovk_platform_name());
    return 0;
}

void ovk_platform_shutdown() {
    {
        std::lock_guard<std::mutex> lock(g_scan_mu);
        stop_all_locked();
    }
    ovk_linux_audio_shutdown();
    std::lock_guard<std::mutex> lock(g_init_mu);
    if (g_initialized) {
        ovk_linux_http_shutdown();
        ovk_linux_mqtt_shutdown();
        g_initialized = false;
    }
}

const char* ovk_platform_name() {
    return "linux";
}

// ---------------------------------------------------------------------------------------
// 3. Sink and emitters
// ---------------------------------------------------------------------------------------

void ovk_platform_set_sink(const OVK_SINK* sink) {
    std::shared_ptr<const OVK_SINK> next;
    if (sink) {
        try {
            next = std::make_shared<const OVK_SINK>(*sink);
        } catch (...) {
            zq_log(LOG_ERR, "cannot copy the sink: out of memory");
            return;
        }
    }
    std::shared_ptr<const OVK_SINK> old;
    {
        std::lock_guard<std::mutex> lock(g_sink_mu);
        old = std::move(g_sink);
        g_sink = std::move(next);
    }
    // `old` (possibly the last reference to callbacks holding state) is released here,
    // outside the lock.
}

void ovk_linux_emit_advert(OVK_ADVERT_PTR advert) {
    if (!advert) return;
    const auto sink = sink_snapshot();
    if (sink && sink->on_advert) {
        try {
            sink->on_advert(std::move(advert));
        } catch (...) {
            zq_log(LOG_ERR, "advert callback failed");
        }
    }
    // Without a sink the advert is freed when `advert` goes out of scope.
}

void ovk_linux_emit_location(const OVK_LOCATION& fix) {
    const auto sink = sink_snapshot();
    if (sink && sink->on_location) {
        try {
            sink->on_location(fix);
        } catch (...) {
            zq_log(LOG_ERR, "location callback failed");
        }
    }
}

void ovk_linux_emit_status(std::string_view text) {
    zq_log(LOG_INFO, "%.*s", static_cast<int>(text.size()), text.data());
    const auto sink = sink_snapshot();
    if (sink && sink->on_status) {
        try {
            sink->on_status(text);
        } catch (...) {
            zq_log(LOG_ERR, "status callback failed");
        }
    }
}

// ---------------------------------------------------------------------------------------
// 4. Scanning
// ---------------------------------------------------------------------------------------

int ovk_platform_scan_start(const OVK_SCAN_OPTS& opts) {
    std::lock_guard<std::mutex> lock(g_scan_mu);
    stop_all_locked();
    g_ble_req = opts.ble != 0;
    g_wifi_req = opts.wifi != 0;
    int rc = 0;
    if (opts.ble) {
        if (ble_start(opts) == 0)
            g_ble_on = true;
        else
            rc = -1;
    }
    if (opts.wifi) {
        if (wifi_start(opts) == 0)
            g_wifi_on = true;
        else
            rc = -1;
    }
    if (opts.location) {
        if (gps_start(opts) == 0)
            g_gps_on = true;
        else
            rc = -1;
    }
    return rc;
}

void ovk_platform_scan_stop() {
    std::lock_guard<std::mutex> lock(g_scan_mu);
    stop_all_locked();
    g_ble_req = g_wifi_req = false;
}

OVK_SCAN_HEALTH ovk_platform_scan_health() {
    OVK_SCAN_HEALTH h;
    try {
        std::lock_guard<std::mutex> lock(g_scan_mu);
        h.ble.requested = g_ble_req ? 1 : 0;
        h.ble.running = g_ble_on ? 1 : 0;
        if (g_ble_on) h.ble.fault = ovk_linux_hci_fault();
        h.wifi.requested = g_wifi_req ? 1 : 0;
        h.wifi.running = g_wifi_on ? 1 : 0;
        if (g_wifi_on) h.wifi.fault = ovk_linux_wifi_fault();
    } catch (...) {
        h.ble.fault = h.wifi.fault = "failed";
    }
    return h;
}

int ovk_platform_scan_running() {
    std::lock_guard<std::mutex> lock(g_scan_mu);
    return (g_ble_on || g_wifi_on || g_gps_on) ? 1 : 0;
}

int ovk_platform_take_stop_request() {
    return 0;
}

std::string ovk_platform_scan_status() {
    std::string out;
    try {
        std::lock_guard<std::mutex> lock(g_scan_mu);
        auto add = [&out](const std::string& line) {
            const std::string_view l = std::string_view(line).substr(0, kStatusLineMax);
            if (l.empty()) return;
            if (!out.empty()) out += '\n';
            out += l;
        };
        if (g_ble_on) add(ble_status());
        if (g_wifi_on) add(wifi_status());
        if (g_gps_on) add(gps_status());
    } catch (...) {
        out.clear();
    }
    if (out.empty()) out = "Scanning stopped";
    return out;
}

// ---------------------------------------------------------------------------------------
// 5. Directories and assets
// ---------------------------------------------------------------------------------------

namespace {

bool is_dir(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `path` and its missing parents: the parents with `parent_mode`, the last
// component with `leaf_mode` (existing directories are left as they are). 0, or -1 with
// errno set.
int make_dirs(std::string path, mode_t parent_mode, mode_t leaf_mode) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    auto make_one = [](const std::string& p, mode_t mode) {
        if (mkdir(p.c_str(), mode) == 0) return 0;
        const int e = errno;
        if (e == EEXIST && is_dir(p)) return 0;
        errno = (e == EEXIST) ? ENOTDIR : e;
        return -1;
    };
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/' || path[i - 1] == '/') continue;
        if (make_one(path.substr(0, i), parent_mode) != 0) return -1;
    }
    return make_one(path, leaf_mode);
}

std::string home_or_dot() {
    const char* home = getenv("HOME");
    return (home && *home) ? std::string(home) : std::string(".");
}

// The executable's directory ("/" for an executable at the root), nullopt when
// /proc/self/exe cannot be read.
std::optional<std::string> exe_dir() {
    char buf[kPathMax];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    std::string p(buf, static_cast<size_t>(n));
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    if (slash == 0) return std::string("/");
    p.resize(slash);
    return p;
}

}  // namespace

std::string ovk_platform_data_dir() try {
    std::string dir;
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        dir = std::string(xdg) + "/orvik";
    } else {
        dir = home_or_dot() + "/.local/share/orvik";
    }
    // The data directory holds where the user has been: readable by the user only.
    if (make_dirs(dir, 0755, 0700) != 0) {
        const int e = errno;
        zq_log(LOG_ERR, "cannot create data dir %s: %s", dir.c_str(), ovk_errno_text(e).c_str());
    }
    return dir;
} catch (...) {
    return {};
}

std::string ovk_platform_export_dir() try {
    const std::string dir = ovk_export_dir(ovk_platform_data_dir());
    if (ovk_mkdirs(dir) != 0) {
        const int e = errno;
        zq_log(LOG_ERR, "cannot create export dir %s: %s", dir.c_str(), ovk_errno_text(e).c_str());
    }
    return dir;
} catch (...) {
    return {};
}

std::optional<std::string> ovk_platform_asset_path(std::string_view name) try {
    OVK_CHECK(!name.empty(), std::nullopt);
    std::vector<std::string> dirs;
    const char* env = getenv("OVK_ASSETS");
    if (env && *env) dirs.emplace_back(env);
    if (auto exe = exe_dir()) {
        dirs.push_back(*exe + "/assets");
        dirs.push_back(*exe + "/../share/orvik/assets");
    }
    dirs.emplace_back("./assets");
    for (const auto& d : dirs) {
        std::string p = d;
        p += '/';
        p += name;
        if (p.size() >= kPathMax) continue;
        if (p.find('\0') != std::string::npos) continue;
        if (access(p.c_str(), R_OK) == 0) return p;
    }
    zq_log(LOG_DEBUG, "asset %.*s not found", static_cast<int>(name.size()), name.data());
    return std::nullopt;
} catch (...) {
    return std::nullopt;
}

namespace {

std::optional<std::string> read_asset_file(std::string_view name) {
    try {
        const auto path = ovk_platform_asset_path(name);
        if (!path) return std::nullopt;
        const int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            zq_log(LOG_ERR, "asset %s: %s", path->c_str(), ovk_errno_text(e).c_str());
            return std::nullopt;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0 || st.st_size < 0) {
            const int e = errno;
            zq_log(LOG_ERR, "asset %s: %s", path->c_str(), ovk_errno_text(e).c_str());
            close(fd);
            return std::nullopt;
        }
        std::string data;
        data.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        close(fd);
        if (got != data.size()) {
            zq_log(LOG_ERR, "asset %s: short read", path->c_str());
            return std::nullopt;
        }
        return data;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 0, data);
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

// A whole small file of the system (at most `max` bytes), or nullopt.
std::optional<std::string> read_system_file(const std::string& path, size_t max) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (data.size() + static_cast<size_t>(n) > max) {
            ok = false;
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (!ok) return std::nullopt;
    return data;
}

std::string day_text(long day) {
    const time_t t = static_cast<time_t>(day) * 86400;
    struct tm tm {};
    char out[16] = "?";
    if (gmtime_r(&t, &tm)) strftime(out, sizeof out, "%Y-%m-%d", &tm);
    return out;
}

}  // namespace

std::optional<std::string> ovk_platform_oui_table(std::optional<std::string> bundled,
                                                  std::span<const std::string> ieee_dirs) {
    try {
        // The bundled listing's day, -1 when it names none.
        long bundled_day = -1;
        if (bundled) bundled_day = ovk_vendordb_listing_day(*bundled).value_or(-1);
        const std::string bundled_text =
            !bundled           ? std::string()
            : bundled_day >= 0 ? "the bundled IEEE listing of " + day_text(bundled_day)
                               : std::string("the bundled address-block table");
        for (const std::string& dir : ieee_dirs) {
            const auto stamp = read_system_file(dir + "/.lastupdate", 64);
            if (!stamp) continue;
            char* end = nullptr;
            const long secs = std::strtol(stamp->c_str(), &end, 10);
            if (end == stamp->c_str() || secs <= 0) continue;
            const long day = secs / 86400;
            if (bundled && (bundled_day < 0 || day <= bundled_day)) {
                zq_log(LOG_INFO, "vendor table: %s (the IEEE registry in %s, of %s, is not newer)",
                       bundled_text.c_str(), dir.c_str(), day_text(day).c_str());
                return bundled;
            }
            constexpr size_t kMax = 64u << 20;
            const auto oui = read_system_file(dir + "/oui.csv", kMax);
            if (!oui) continue;
            const auto mam = read_system_file(dir + "/mam.csv", kMax);
            const auto oui36 = read_system_file(dir + "/oui36.csv", kMax);
            const auto iab = read_system_file(dir + "/iab.csv", kMax);
            std::vector<OVK_IEEE_CSV> files{{*oui, 6}};
            if (mam) files.push_back({*mam, 7});
            if (oui36) files.push_back({*oui36, 9});
            if (iab) files.push_back({*iab, 9});
            OVK_IEEE_TABLE t = ovk_vendordb_from_ieee(files);
            if (t.blocks == 0) continue;
            zq_log(LOG_INFO, "vendor table: the IEEE registry in %s, of %s, %zu blocks%s%s",
                   dir.c_str(), day_text(day).c_str(), t.blocks, bundled ? ", newer than " : "",
                   bundled_text.c_str());
            return "# IEEE address blocks from " + dir + " (IEEE listing of " + day_text(day) +
                   ")\n" + t.tsv;
        }
        if (bundled) zq_log(LOG_INFO, "vendor table: %s", bundled_text.c_str());
        return bundled;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(char, 0, table);
        return bundled;
    }
}

std::optional<std::string> ovk_platform_read_asset(std::string_view name) {
    if (name != OVK_VENDOR_FILE_OUI) return read_asset_file(name);
    static const std::string kDirs[] = {"/var/lib/ieee-data", "/usr/share/ieee-data"};
    return ovk_platform_oui_table(read_asset_file(name), kDirs);
}

void ovk_platform_share_file(std::string_view path, std::string_view mime) {
    if (path.empty()) path = "?";
    if (mime.empty()) mime = "?";
    zq_log(LOG_NOTICE, "exported %.*s (%.*s)", static_cast<int>(path.size()), path.data(),
           static_cast<int>(mime.size()), mime.data());
}

// ---------------------------------------------------------------------------------------
// 6. Outside programs
// ---------------------------------------------------------------------------------------

std::optional<std::string> ovk_linux_which(std::string_view prog) {
    OVK_CHECK(!prog.empty(), std::nullopt);
    try {
        if (prog.find('\0') != std::string_view::npos) return std::nullopt;
        if (prog.find('/') != std::string_view::npos) {
            std::string p(prog);
            if (access(p.c_str(), X_OK) == 0) return p;
            return std::nullopt;
        }
        const char* env = getenv("PATH");
        const std::string_view path = (env && *env)
                                          ? std::string_view(env)
                                          : std::string_view("/usr/local/bin:/usr/bin:/bin");
        size_t pos = 0;
        while (pos <= path.size()) {
            size_t end = path.find(':', pos);
            if (end == std::string_view::npos) end = path.size();
            const std::string_view entry = path.substr(pos, end - pos);
            pos = end + 1;
            if (entry.empty()) continue;
            if (entry.size() + 1 + prog.size() >= kPathMax - 1) continue;
            std::string cand(entry);
            cand += '/';
            cand += prog;
            struct stat st {};
            if (access(cand.c_str(), X_OK) == 0 && stat(cand.c_str(), &st) == 0 &&
                S_ISREG(st.st_mode))
                return cand;
        }
    } catch (...) {
    }
    return std::nullopt;
}

namespace {

// Runs in the grandchild between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_detached(const char* path, char* const* argv, int in_fd, int null_fd) {
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    // Lift both descriptors above 2 first so that the dup2 calls below cannot clobber one
    // with the other when the caller runs with standard descriptors closed.
    const int in_hi = fcntl(in_fd, F_DUPFD_CLOEXEC, 3);
    const int null_hi = fcntl(null_fd, F_DUPFD_CLOEXEC, 3);
    if (in_hi < 0 || null_hi < 0) _exit(127);
    if (dup2(in_hi, 0) < 0 || dup2(null_hi, 1) < 0 || dup2(null_hi, 2) < 0) _exit(127);
    execv(path, argv);
    _exit(127);
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Writes `data` to the pipe with SIGPIPE blocked for this thread; a SIGPIPE raised by a
// reader that went away is consumed before the mask is restored.
void write_stdin(int fd, std::string_view data) {
    sigset_t pipe_set, old_mask, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);
    size_t off = 0;
    bool epipe = false;
    while (off < data.size()) {
        const ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            epipe = errno == EPIPE;
            break;
        }
        off += static_cast<size_t>(n);
    }
    if (epipe && !was_pending) {
        const struct timespec zero { 0, 0 };
        while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

}  // namespace

int ovk_linux_spawn(const std::string& path, const std::vector<std::string>& argv,
                    std::optional<std::string_view> stdin_data) {
    OVK_CHECK(!path.empty(), -1);
    OVK_CHECK(!argv.empty(), -1);
    // Everything the child needs is prepared before fork: no allocation happens there.
    std::vector<char*> args;
    try {
        args.reserve(argv.size() + 1);
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
    } catch (...) {
        OVK_LOG_ALLOC_FAIL(char*, argv.size() + 1, args);
        return -1;
    }

    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) {
        const int e = errno;
        zq_log(LOG_ERR, "spawn %s: /dev/null: %s", path.c_str(), ovk_errno_text(e).c_str());
        return -1;
    }
    int pfd[2] = {-1, -1};
    if (stdin_data && pipe2(pfd, O_CLOEXEC) != 0) {
        const int e = errno;
        zq_log(LOG_ERR, "spawn %s: pipe: %s", path.c_str(), ovk_errno_text(e).c_str());
        close_fd(null_fd);
        return -1;
    }
    const int in_fd = stdin_data ? pfd[0] : null_fd;

    const pid_t pid = fork();
    if (pid < 0) {
        const int e = errno;
        zq_log(LOG_ERR, "spawn %s: fork: %s", path.c_str(), ovk_errno_text(e).c_str());
        close_fd(pfd[0]);
        close_fd(pfd[1]);
        close_fd(null_fd);
        return -1;
    }
    if (pid == 0) {
        const pid_t grandchild = fork();
        if (grandchild < 0) _exit(1);
        if (grandchild > 0) _exit(0);
        exec_detached(path.c_str(), args.data(), in_fd, null_fd);
    }

    int status = 0;
    pid_t w;
    do {
        w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    int rc = 0;
    if (w != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        zq_log(LOG_ERR, "spawn %s: fork of the detached child failed", path.c_str());
        rc = -1;
    }
    close_fd(pfd[0]);
    if (rc == 0 && stdin_data) write_stdin(pfd[1], *stdin_data);
    close_fd(pfd[1]);
    close_fd(null_fd);
    return rc;
}

void ovk_platform_open_url(std::string_view url) {
    if (url.empty() || url[0] == '-') return;
    try {
        const auto prog = ovk_linux_which("xdg-open");
        if (!prog) {
            zq_log(LOG_ERR, "xdg-open not found, cannot open %.*s", static_cast<int>(url.size()),
                   url.data());
            return;
        }
        ovk_linux_spawn(*prog, {"xdg-open", std::string(url)});
    } catch (...) {
        zq_log(LOG_ERR, "cannot open %.*s", static_cast<int>(url.size()), url.data());
    }
}

void ovk_platform_notify(std::optional<std::string_view> key, std::optional<std::string_view> title,
                         std::optional<std::string_view> text) {
    const std::string_view k = key.value_or("-");
    const std::string_view t = title.value_or("");
    const std::string_view x = text.value_or("");
    zq_log(LOG_NOTICE, "[%.*s] %.*s: %.*s", static_cast<int>(k.size()), k.data(),
           static_cast<int>(t.size()), t.data(), static_cast<int>(x.size()), x.data());
    try {
        const auto prog = ovk_linux_which("notify-send");
        if (!prog) return;
        ovk_linux_spawn(*prog, {"notify-send", "-a", "Orvik", "--",
                                std::string(title.value_or("Orvik")), std::string(x)});
    } catch (...) {
        zq_log(LOG_ERR, "notify-send: out of memory");
    }
}

// ---------------------------------------------------------------------------------------
// 7. Alerts
// ---------------------------------------------------------------------------------------

void ovk_platform_alert(OVK_TIER tier, int following, int sound, int /*vibrate*/,
                        std::string_view spoken) {
    if (sound) {
        int pattern = 0;
        if (following) {
            pattern = 3;
        } else {
            switch (tier) {
                case OVK_TIER_STRONG:
                    pattern = 2;
                    break;
                case OVK_TIER_MEDIUM:
                    pattern = 1;
                    break;
                case OVK_TIER_WEAK:
                    pattern = 0;
                    break;
            }
        }
        ovk_linux_audio_pattern(pattern);
    }
    if (spoken.empty()) return;
    try {
        auto prog = ovk_linux_which("espeak-ng");
        const char* name = "espeak-ng";
        if (!prog) {
            prog = ovk_linux_which("espeak");
            name = "espeak";
        }
        if (!prog) {
            zq_log(LOG_DEBUG, "no espeak-ng / espeak in PATH, not speaking: %.*s",
                   static_cast<int>(spoken.size()), spoken.data());
            return;
        }
        ovk_linux_spawn(*prog, {name, "--stdin"}, spoken);
    } catch (...) {
        zq_log(LOG_ERR, "speech: out of memory");
    }
}

void ovk_platform_tick() {
    ovk_linux_audio_tick();
}

// ---------------------------------------------------------------------------------------
// 8. Clocks, display environment, fixed phone operations
// ---------------------------------------------------------------------------------------

namespace {
int64_t clock_ns(clockid_t id) {
    struct timespec ts {};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
}  // namespace

int64_t ovk_linux_now_ms() {
    return clock_ns(CLOCK_REALTIME) / 1000000;
}
int64_t ovk_linux_mono_ms() {
    return clock_ns(CLOCK_MONOTONIC) / 1000000;
}
int64_t ovk_linux_boot_ns() {
    return clock_ns(CLOCK_BOOTTIME);
}

float ovk_platform_density() {
    const char* s = getenv("OVK_DENSITY");
    if (!s || !*s) return 1.0f;
    char* end = nullptr;
    const float v = strtof(s, &end);
    if (end == s) return 1.0f;
    if (!(v >= 0.5f && v <= 4.0f)) return 1.0f;
    return v;
}

int ovk_platform_display_flags() {
    const char* s = getenv("OVK_FULLSCREEN");
    return (s && s[0] == '1') ? OVK_DISPLAY_FULLSCREEN : OVK_DISPLAY_WINDOWED;
}

int ovk_platform_uses_touch() {
    const char* s = getenv("OVK_TOUCH");
    return (s && s[0] == '1') ? 1 : 0;
}

int ovk_platform_permissions_ok() {
    return 1;
}
int ovk_platform_request_permissions() {
    return 0;
}
void ovk_platform_set_autostart(int /*enable*/) {}
int ovk_platform_autostart_ready() {
    return 1;
}
void ovk_platform_request_autostart() {}
void ovk_platform_background(int /*enable*/, std::string_view /*text*/) {}
void ovk_platform_show_keyboard() {}
void ovk_platform_hide_keyboard() {}
