// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_asset.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>

#include "zq_fs.h"
#include "zq_log.h"

namespace {

std::mutex g_reader_lock;
OVK_ASSET_READER g_reader;

constexpr size_t PATH_BUF = 1024;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

std::optional<std::string> read_whole(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "rb"));
    if (!f) return std::nullopt;
    std::string out;
    ZQ_FS_STAT st;
    if (zq_fs_stat(path, st) == 0 && st.kind == ZQ_FS_KIND::File && st.size > 0)
        out.reserve(static_cast<size_t>(st.size));
    char block[65536];
    for (;;) {
        size_t got = fread(block, 1, sizeof block, f.get());
        out.append(block, got);
        if (got < sizeof block) break;
    }
    if (ferror(f.get())) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::string> ovk_read_asset_default(std::string_view name) {
    OVK_CHECK(!name.empty(), std::nullopt);
    try {
        const char* dir = getenv("OVK_ASSETS");
        std::string path;
        if (dir && *dir) {
            path = dir;
            path += '/';
        } else {
            path = "assets/";
        }
        path.append(name);
        if (path.size() >= PATH_BUF) return std::nullopt;
        return read_whole(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void ovk_set_asset_reader(OVK_ASSET_READER reader) {
    std::lock_guard<std::mutex> g(g_reader_lock);
    g_reader = std::move(reader);
}

std::optional<std::string> ovk_read_asset(std::string_view name) {
    OVK_CHECK(!name.empty(), std::nullopt);
    try {
        OVK_ASSET_READER reader;
        {
            std::lock_guard<std::mutex> g(g_reader_lock);
            reader = g_reader;
        }
        if (reader) return reader(name);
        return ovk_read_asset_default(name);
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "asset %.*s could not be read: %s", static_cast<int>(name.size()),
               name.data(), e.what());
    } catch (...) {
        zq_log(LOG_ERR, "asset %.*s could not be read", static_cast<int>(name.size()), name.data());
    }
    return std::nullopt;
}
