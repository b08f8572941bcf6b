// SPDX-License-Identifier: GPL-3.0-or-later
#include "zq_log.h"

#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

std::atomic<int> g_log_level{-1};
std::atomic<int> g_log_type{ZQ_LOG_TYPE_STREAM};
std::atomic<FILE*> g_log_file{nullptr};
std::atomic<int> g_colors{0};

struct LevelRow {
    const char* name;
    const char* color;
    const char* long_label;  // kept with the row; log lines do not print it
};

constexpr LevelRow kLevels[8] = {
    {"EMERG", "\33[31m", "ERROR"},      {"ALERT", "\33[35m", "ERROR"},
    {"CRITICAL", "\33[31m", "ERROR"},   {"ERR", "\33[31m", "ERROR"},
    {"WARNING", "\33[33m", "WARNING"},  {"NOTICE", "\33[32m", "SUCCESS"},
    {"INFO", "\33[36m", "INFORMATION"}, {"DEBUG", "\33[34m", "INFORMATION"},
};
constexpr const char* kWhite = "\33[37m";
constexpr const char* kReset = "\33[0m";

}  // namespace

void set_log_level(int level) {
    if (level == ZQ_LOG_TYPE_STREAM_ALT || level == ZQ_LOG_TYPE_STREAM ||
        level == ZQ_LOG_TYPE_SYSLOG) {
        g_log_type = level;
        return;
    }
    g_log_level = level;
    if (isatty(fileno(stdout))) g_colors = 1;
}

int get_log_level() {
    return g_log_level.load();
}

void zq_log_set_stream(FILE* f) {
    g_log_file = f;
}

bool zq_log_colors() {
    return g_colors.load() != 0;
}

void _zq_log(int level, const char* file, const char* func, int line, const char* fmt, ...) {
    const int threshold = g_log_level.load();
    if (level == -1 || threshold < level) return;
    if (!file) file = "NULL";
    if (!func) func = "NULL";
    if (!fmt) fmt = "";

    if (g_log_type.load() == ZQ_LOG_TYPE_SYSLOG) {
        char* msg = nullptr;
        va_list ap;
        va_start(ap, fmt);
        const int n = vasprintf(&msg, fmt, ap);
        va_end(ap);
        syslog(level, "%s->%s:%d %s", file, func, line,
               n >= 0 && msg ? msg : "<log: vasprintf failed>");
        if (n >= 0) free(msg);
        return;
    }

    const bool colors = g_colors.load() != 0;
    const bool known = level >= 0 && level <= 7;
    const char* name = known ? kLevels[level].name : "";
    const char* pre = colors ? (known ? kLevels[level].color : kWhite) : "";
    const char* post = colors ? kReset : "";
    FILE* out = g_log_file.load();
    if (!out) out = stderr;

    fprintf(out, "%s%s:%jd:%s->%s:%d ", pre, name, static_cast<intmax_t>(time(nullptr)), file, func,
            line);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(out, fmt, ap);
    va_end(ap);
    fprintf(out, "%s\n", post);
    fflush(out);
}
