// SPDX-License-Identifier: GPL-3.0-or-later
#include "ovk_dirs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "zq_fs.h"

namespace {

constexpr size_t kPathMax = 1023;  // longest directory path handled by ovk_mkdirs

int make_one_dir(const std::string& p) {
    const int err = zq_fs_mkdir(p, 0700);
    if (err == 0) return 0;
    errno = err;
    if (err != EEXIST) return -1;
    // Only an existing directory will do: a file (or a dangling link) in the way is a failure.
    ZQ_FS_STAT st;
    if (zq_fs_stat(p, st) == 0 && st.kind == ZQ_FS_KIND::Dir) return 0;
    errno = ENOTDIR;
    return -1;
}

}  // namespace

int ovk_mkdirs(std::string_view path) {
    std::string p(path.substr(0, std::min(path.size(), kPathMax)));
    if (p.empty()) return -1;
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i] != '/') continue;
        if (make_one_dir(p.substr(0, i)) != 0) return -1;
    }
    return make_one_dir(p);
}

std::string ovk_export_dir(std::string_view data_dir) {
    const char* home = std::getenv("HOME");
    const std::string docs = std::string(home && *home ? home : ".") + "/Documents";
    ZQ_FS_STAT sb;
    if (zq_fs_stat(docs, sb) == 0 && sb.kind == ZQ_FS_KIND::Dir && ovk_mkdirs(docs + "/Orvik") == 0)
        return docs + "/Orvik";
    return std::string(data_dir.substr(0, std::min<size_t>(data_dir.size(), 4080))) + "/exports";
}
