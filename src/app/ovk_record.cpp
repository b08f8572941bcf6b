// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_record.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "ovk_classify_io.h"
#include "zq_fs.h"
#include "zq_log.h"

namespace {

struct RECORDER {
    std::mutex mu;
    int fd = -1;
    std::string path;
    long lines = 0;
    std::string stopped;  // why the last recording stopped by itself ("" when it did not)
    std::atomic<bool> active{false};
};

RECORDER& R() {
    static RECORDER r;
    return r;
}

// Appends one line. A line that cannot be written whole is cut back off the file and ends
// the recording: a recording with holes would pass for the whole drive.
void write_line(std::string line) {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    if (r.fd < 0) return;
    line += '\n';
    const int err = zq_fs_append_to(r.fd, line);
    if (err == 0) {
        ++r.lines;
        return;
    }
    zq_log(LOG_ERR, "record: cannot write %s: %s; recording stopped", r.path.c_str(),
           strerror(err));
    r.stopped = strerror(err);
    zq_fs_close(r.fd);
    r.fd = -1;
    r.active = false;
}

}  // namespace

int ovk_record_open(const std::string& path, std::string& error) {
    ovk_record_close();
    int fd = -1;
    if (const int err = zq_fs_open_append(path, &fd); err != 0) {
        error = strerror(err);
        return -1;
    }
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    r.fd = fd;
    r.path = path;
    r.lines = 0;
    r.stopped.clear();
    r.active = true;
    return 0;
}

void ovk_record_close() {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    r.active = false;
    if (r.fd < 0) return;
    if (const int err = zq_fs_close(r.fd); err != 0)
        zq_log(LOG_ERR, "record: closing %s: %s", r.path.c_str(), strerror(err));
    r.fd = -1;
}

int ovk_record_active() {
    return R().active ? 1 : 0;
}

long ovk_record_lines() {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    return r.fd >= 0 ? r.lines : 0;
}

std::string ovk_record_stopped_note() {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    try {
        return r.stopped.empty() ? std::string() : "Recording stopped: " + r.stopped;
    } catch (const std::exception&) {
        return {};
    }
}
void ovk_record_advert(const OVK_ADVERT& a) {
    if (!R().active) return;
    try {
        write_line(ovk_classify_format(a));
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, 1, line);
    }
}

void ovk_record_fix(const OVK_LOCATION& loc) {
    if (!R().active) return;
    try {
        write_line(ovk_classify_format_fix(loc));
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, 1, line);
    }
}
