// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the fuzz targets: a reader of the input's bytes, a per-process scratch
// directory for targets that go through real files (on tmpfs when there is one, as every atomic
// write syncs; removed with its files at exit), and what survives a JSON write exactly.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ovk_fuzz {

// A plain array, so that the exit handler can still use it after static destructors ran.
inline char g_scratch[64];

inline void remove_scratch() {
    nftw(
        g_scratch, [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); },
        8, FTW_DEPTH | FTW_PHYS);
}

inline std::string scratch_dir() {
    if (!g_scratch[0]) {
        snprintf(g_scratch, sizeof g_scratch, "/dev/shm/ovk-fuzz-XXXXXX");
        if (!mkdtemp(g_scratch)) {
            snprintf(g_scratch, sizeof g_scratch, "/tmp/ovk-fuzz-XXXXXX");
            if (!mkdtemp(g_scratch)) abort();
        }
        atexit(remove_scratch);
    }
    return g_scratch;
}

// Removes a directory and everything in it (a fresh start for targets whose files pile up,
// such as the copies kept of damaged files).
inline void remove_tree(const std::string& dir) {
    nftw(
        dir.c_str(),
        [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); }, 8,
        FTW_DEPTH | FTW_PHYS);
}

inline bool write_bytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

// cJSON prints numbers with 15 significant digits when that reads back within its
// tolerance, so only integers below 10^15 and doubles to 14 digits survive a write.
inline bool exact_in_json(int64_t v) {
    return v < 1000000000000000 && v > -1000000000000000;
}
inline bool near_in_json(double a, double b) {
    return std::fabs(a - b) <= 1e-14 * std::max(std::fabs(a), std::fabs(b));
}

// Reads the fuzz input front to back; past its end every read gives zeros.
struct ByteReader {
    const uint8_t* p;
    size_t n;
    size_t i = 0;
    bool more() const { return i < n; }
    uint8_t u8() { return i < n ? p[i++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    std::string bytes(size_t len) {
        std::string s;
        while (len-- && i < n) s += static_cast<char>(p[i++]);
        return s;
    }
};

}  // namespace ovk_fuzz
