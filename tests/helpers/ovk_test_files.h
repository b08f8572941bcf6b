// SPDX-License-Identifier: GPL-3.0-or-later
// Test helpers for file-backed modules: a scratch directory, whole-file read/write and a
// capture of the log lines a block of code produces. Header-only.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "zq_log.h"

namespace ovk_test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
  public:
    // `base` is where the directory goes ("/dev/shm" keeps big files off the disk).
    explicit TempDir(const std::string& base = "/tmp") {
        std::string tmpl = base + "/ovk-test-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            tmpl = "/tmp/ovk-test-XXXXXX";
            if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        }
        path_ = tmpl;
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    static void remove_tree(const std::string& p) {
        nftw(
            p.c_str(),
            [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

  private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Sends log lines (every level) into a temporary stream while alive.
class LogCapture {
  public:
    LogCapture() : old_level_(get_log_level()), f_(tmpfile()) {
        set_log_level(LOG_DEBUG);
        zq_log_set_stream(f_);
    }
    ~LogCapture() {
        zq_log_set_stream(nullptr);
        set_log_level(old_level_);
        if (f_) fclose(f_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        if (!f_) return {};
        fflush(f_);
        std::string out;
        rewind(f_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
        fseek(f_, 0, SEEK_END);
        return out;
    }
    bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }

  private:
    int old_level_;
    FILE* f_;
};

}  // namespace ovk_test
