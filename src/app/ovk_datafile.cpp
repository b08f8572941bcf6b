// SPDX-License-Identifier: GPL-3.0-or-later
// Reading data files with limits, keeping damaged ones and holding unreadable ones (see the
// header).
#include "ovk_datafile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "zq_fs.h"
#include "zq_log.h"

namespace {

struct Held {
    std::string path;
    std::string name;  // the last path component, for people
};

struct State {
    std::mutex mu;
    std::vector<Held> held;
    int lock_fd = -1;  // the data directory's lock, while held
};

State& st() {
    static State s;
    return s;
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dir_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void hold_locked(State& s, const std::string& path) {
    for (const Held& h : s.held)
        if (h.path == path) return;
    s.held.push_back(Held{path, base_name(path)});
}

std::string size_text(uint64_t bytes) {
    char b[48];
    if (bytes >= (uint64_t{1} << 20))
        snprintf(b, sizeof b, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else
        snprintf(b, sizeof b, "%llu bytes", static_cast<unsigned long long>(bytes));
    return b;
}

// Reads a regular file of at most max_bytes. Opening never waits (a FIFO with no writer) and
// never makes a device the controlling terminal. nullopt with `why` (and `missing` for a file
// that is not there).
std::optional<OVK_FILE_VIEW> read_limited(const std::string& path, size_t max_bytes,
                                          std::string& why, bool& missing) {
    missing = false;
    OVK_FILE_VIEW v;
    ZQ_FS_STAT st;
    const int err = zq_fs_read_regular(path, max_bytes, v, st);
    if (err == 0) return v;
    if (err == EISDIR && st.kind == ZQ_FS_KIND::Dir)
        why = "it is a directory";
    else if (err == EINVAL && (st.kind == ZQ_FS_KIND::Other || st.kind == ZQ_FS_KIND::Device))
        why = "it is not a regular file";
    else if (err == EFBIG && st.kind == ZQ_FS_KIND::File && st.size > max_bytes)
        why = "it is too large (" + size_text(st.size) + "; the limit is " + size_text(max_bytes) +
              ")";
    else
        why = strerror(err);
    missing = err == ENOENT;
    return std::nullopt;
}

std::string utc_stamp() {
    const time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    char b[32];
    strftime(b, sizeof b, "%Y%m%dT%H%M%SZ", &tm);
    return b;
}

// An existing NAME.bad-* beside `path` holding exactly `content` (the same damaged file met
// at a second start), or "".
std::string existing_copy(const std::string& path, std::string_view content) {
    const std::string dir = dir_name(path);
    const std::string prefix = base_name(path) + ".bad-";
    std::vector<std::string> names;
    if (zq_fs_list(dir, names) != 0) return {};
    std::string found;
    for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string other = dir + "/" + name;
        std::string why;
        bool missing = false;
        std::optional<OVK_FILE_VIEW> v = read_limited(other, content.size(), why, missing);
        if (v && v->view() == content) {
            found = other;
            break;
        }
    }
    return found;
}

// Keeps a copy of `content` (what `path` held) as NAME.bad-<UTC time>; "" with errno set
// when it cannot. A copy rather than a second name: a second name would change with the
// file should anything rewrite it in place.
std::string keep_copy(const std::string& path, std::string_view content) {
    if (std::string same = existing_copy(path, content); !same.empty()) return same;
    const std::string stem = path + ".bad-" + utc_stamp();
    for (int n = 0; n < 100; ++n) {
        const std::string bad = n == 0 ? stem : stem + "-" + std::to_string(n);
        ZQ_FS_STAT sb;
        if (zq_fs_stat(bad, sb, false) == 0) continue;
        if (ovk_write_file_atomic(bad, content) == 0) return bad;
        return {};
    }
    errno = EEXIST;
    return {};
}

}  // namespace

OVK_DATAFILE ovk_datafile_read(const std::string& path, size_t max_bytes) {
    OVK_DATAFILE out;
    bool missing = false;
    std::optional<OVK_FILE_VIEW> v = read_limited(path, max_bytes, out.why, missing);
    if (v) {
        out.state = OVK_DATAFILE_STATE::Loaded;
        out.view = std::move(*v);
        out.why.clear();
        ovk_datafile_release(path);
        return out;
    }
    if (missing) {
        out.state = OVK_DATAFILE_STATE::Missing;
        out.why.clear();
        ovk_datafile_release(path);
        return out;
    }
    out.state = OVK_DATAFILE_STATE::Unreadable;
    zq_log(LOG_ERR, "cannot read %s: %s; it is left as it is and not written in this run",
           path.c_str(), out.why.c_str());
    ovk_datafile_hold(path, out.why);
    return out;
}

std::optional<std::string> ovk_datafile_read_import(const std::string& path, size_t max_bytes,
                                                    std::string& why) {
    bool missing = false;
    std::optional<OVK_FILE_VIEW> v = read_limited(path, max_bytes, why, missing);
    if (!v) return std::nullopt;
    try {
        return std::string(v->view());
    } catch (const std::exception&) {
        why = strerror(ENOMEM);
        return std::nullopt;
    }
}

std::string ovk_datafile_damaged(const std::string& path, std::string_view content) {
    try {
        const std::string bad = keep_copy(path, content);
        if (!bad.empty()) {
            zq_log(LOG_ERR, "%s is damaged and was not loaded; it is kept as %s", path.c_str(),
                   bad.c_str());
            return bad;
        }
        const std::string why = strerror(errno);
        zq_log(LOG_ERR,
               "%s is damaged and was not loaded; no copy could be kept (%s), so it is left as it "
               "is and not written in this run",
               path.c_str(), why.c_str());
        ovk_datafile_hold(path, why);
    } catch (const std::exception&) {
        ovk_datafile_hold(path, "out of memory");
    }
    return {};
}

void ovk_datafile_hold(const std::string& path, std::string_view /*why*/) {
    State& s = st();
    std::lock_guard lk(s.mu);
    try {
        hold_locked(s, path);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(Held, s.held.size() + 1, held);
    }
}

void ovk_datafile_release(const std::string& path) {
    State& s = st();
    std::lock_guard lk(s.mu);
    std::erase_if(s.held, [&](const Held& h) { return h.path == path; });
}

int ovk_datafile_writable(const std::string& path) {
    State& s = st();
    std::lock_guard lk(s.mu);
    for (const Held& h : s.held)
        if (h.path == path) return 0;
    return 1;
}

std::vector<std::string> ovk_datafile_held() {
    State& s = st();
    std::lock_guard lk(s.mu);
    std::vector<std::string> out;
    try {
        for (const Held& h : s.held) out.push_back(h.name);
    } catch (const std::exception&) {
        out.clear();
    }
    return out;
}

std::string ovk_datafile_readonly_note() {
    const std::vector<std::string> names = ovk_datafile_held();
    if (names.empty()) return {};
    std::string note = "data read-only (cannot read ";
    for (size_t i = 0; i < names.size(); ++i) note += (i ? ", " : "") + names[i];
    return note + ")";
}

void ovk_datafile_reset() {
    State& s = st();
    std::lock_guard lk(s.mu);
    s.held.clear();
}

int ovk_datafile_lock_dir(const std::string& dir, std::string* why) {
    State& s = st();
    std::lock_guard lk(s.mu);
    zq_fs_unlock(s.lock_fd);  // a new directory replaces the old lock
    s.lock_fd = -1;
    if (ovk_mkdirs(dir) != 0) return 0;  // the store reports the directory itself
    const std::string path = dir + "/orvik.lock";
    long pid = 0;
    bool at_open = false;
    const int err = zq_fs_lock(path, &s.lock_fd, &pid, &at_open);
    if (err == 0) return 0;
    if (err != EWOULDBLOCK) {
        // Without the lock a second program could run on the same data unnoticed: refuse.
        std::string msg = "cannot lock " + path + ": " + strerror(err) +
                          "; not starting, as another Orvik could then use " + dir +
                          " at the same time";
        if (at_open) msg += " (remove " + path + " or let this user open it)";
        zq_log(LOG_ERR, "%s", msg.c_str());
        if (why) *why = msg;
        return -1;
    }
    const std::string msg = pid > 0
                                ? "another Orvik (pid " + std::to_string(pid) + ") is using " + dir
                                : "another Orvik is using " + dir;
    zq_log(LOG_ERR, "%s", msg.c_str());
    if (why) *why = msg;
    return -1;
}

void ovk_datafile_unlock_dir() {
    State& s = st();
    std::lock_guard lk(s.mu);
    zq_fs_unlock(s.lock_fd);
    s.lock_fd = -1;
}
