// SPDX-License-Identifier: GPL-3.0-or-later
// Process-wide logging: one call with a syslog level, the call site and a printf format.
// Lines go to standard error (or a chosen stream, or syslog) as
//   LEVEL:epoch:file->function:line message
#pragma once

#include <syslog.h>

#include <cstdio>

// Output modes for set_log_level(): these values switch the mode and leave the level alone.
inline constexpr int ZQ_LOG_TYPE_STREAM_ALT = -3;
inline constexpr int ZQ_LOG_TYPE_STREAM = -4;  // the default mode
inline constexpr int ZQ_LOG_TYPE_SYSLOG = 100;

// Sets the threshold (0..7 and above) or, for -3, -4 and 100, the output mode.
void set_log_level(int level);
// The threshold; -1 until set_log_level() was called with a level.
int get_log_level();
// Lines go to this stream instead of standard error (nullptr restores standard error).
void zq_log_set_stream(FILE* f);
// Whether colours are on (they switch on when a level is set while stdout is a terminal).
bool zq_log_colors();

void _zq_log(int level, const char* file, const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

#define zq_log(level, ...) _zq_log((level), __FILE__, __func__, __LINE__, __VA_ARGS__)

// Argument and state checks: logs the expression at debug level and returns the
// failure value given after the expression (nothing for void functions).
#define OVK_CHECK(expr, ...)                                                                     \
    do {                                                                                         \
        if (!(expr)) {                                                                           \
            zq_log(LOG_DEBUG, "if( !(%s) ) assert at line %d of %s", #expr, __LINE__, __FILE__); \
            return __VA_ARGS__;                                                                  \
        }                                                                                        \
    } while (0)

// Allocation failure of `count` records of `type` into `var`.
#define OVK_LOG_ALLOC_FAIL(type, count, var)                                          \
    zq_log(LOG_ERR, "( %s *)calloc( %zu , sizeof( %s ) ) %s at line %d of %s", #type, \
           static_cast<size_t>(count), #type, "malloc error", __LINE__, __FILE__)

#define OVK_LOG_REALLOC_FAIL(type, count, var)                                               \
    zq_log(LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", #type, #var, \
           static_cast<size_t>(count), "realloc error", __LINE__, __FILE__)

#define OVK_LOG_DOUBLE_FREE(var) \
    zq_log(LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", #var, __LINE__, __FILE__)
