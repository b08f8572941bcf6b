// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_record.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ovk_classify_io.h"
#include "zq_log.h"

namespace {

struct RECORDER {
    std::mutex mu;
    FILE* f = nullptr;
    std::string path;
    long lines = 0;
    bool failed = false;  // a write failed: logged once, later lines are still tried
    std::atomic<bool> active{false};
};

RECORDER& R() {
    static RECORDER r;
    return r;
}

void write_line(const std::string& line) {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    if (!r.f) return;
    const bool ok = fwrite(line.data(), 1, line.size(), r.f) == line.size() &&
                    fputc('\n', r.f) != EOF && fflush(r.f) == 0;
    if (ok) {
        ++r.lines;
        r.failed = false;
        return;
    }
    if (!r.failed) zq_log(LOG_ERR, "record: cannot write %s: %s", r.path.c_str(), strerror(errno));
    r.failed = true;
    clearerr(r.f);
}

}  // namespace

int ovk_record_open(const std::string& path, std::string& error) {
    ovk_record_close();
    FILE* f = fopen(path.c_str(), "ae");
    if (!f) {
        error = strerror(errno);
        return -1;
    }
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    r.f = f;
    r.path = path;
    r.lines = 0;
    r.failed = false;
    r.active = true;
    return 0;
}

void ovk_record_close() {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    r.active = false;
    if (!r.f) return;
    if (fclose(r.f) != 0)
        zq_log(LOG_ERR, "record: closing %s: %s", r.path.c_str(), strerror(errno));
    r.f = nullptr;
}

int ovk_record_active() {
    return R().active ? 1 : 0;
}

long ovk_record_lines() {
    RECORDER& r = R();
    std::lock_guard lk(r.mu);
    return r.f ? r.lines : 0;
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
