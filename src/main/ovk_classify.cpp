// orvik-classify: classifies recorded advertisements given as JSON Lines (see --help).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_classify_io.h"
#include "ovk_platform.h"
#include "ovk_vendordb.h"
#include "zq_log.h"

namespace {

// The directory of this executable, or "" when /proc/self/exe cannot be read.
std::string exe_dir() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string p(buf, static_cast<size_t>(n));
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "" : p.substr(0, slash);
}

// Vendor tables through the program's asset lookup ($OVK_ASSETS, next to the executable,
// <prefix>/share/orvik/assets when installed, ./assets), else from the source tree when the
// program sits in a build directory inside it.
// The places tried first may well not hold the tables, so their misses are not logged: the
// caller says once whether the tables were found.
bool try_vendor_tables() {
    if (ovk_vendordb_load(ovk_platform_read_asset) == 0) return true;
    const std::string dir = exe_dir();
    if (dir.empty()) return false;
    const std::string src_assets = dir + "/../assets/";
    return ovk_vendordb_load([&](std::string_view name) -> std::optional<std::string> {
               const std::string path = src_assets + std::string(name);
               FILE* f = fopen(path.c_str(), "rb");
               if (!f) return std::nullopt;
               std::string s;
               char buf[65536];
               size_t n;
               while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
               const bool bad = ferror(f) != 0;
               fclose(f);
               if (bad) return std::nullopt;
               return s;
           }) == 0;
}

bool load_vendor_tables() {
    const int level = get_log_level();
    set_log_level(-1);
    const bool ok = try_vendor_tables();
    set_log_level(level);
    return ok;
}

int usage_error(const char* fmt, const char* arg) {
    fputs("orvik-classify: ", stderr);
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n\n%s", ovk_classify_usage());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    set_log_level(LOG_ERR);
    const char* path = nullptr;
    std::optional<std::string_view> note;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(ovk_classify_usage(), stdout);
            return 0;
        }
        if (!strcmp(argv[i], "--report")) {
            if (i + 1 >= argc) return usage_error("%s needs a NOTE (\"\" for none)", argv[i]);
            if (note) return usage_error("%s given twice", argv[i]);
            note = argv[++i];
            continue;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return usage_error("unknown option %s", argv[i]);
        if (path) return usage_error("%s", "one input file at most");
        path = argv[i];
    }
    FILE* in = stdin;
    if (path && strcmp(path, "-") != 0) {
        in = fopen(path, "rb");
        if (!in) {
            fprintf(stderr, "orvik-classify: cannot read %s: %s\n", path, strerror(errno));
            return 2;
        }
    }
    if (!load_vendor_tables())
        fputs(
            "orvik-classify: vendor tables not found (set OVK_ASSETS); vendor names are left "
            "out\n",
            stderr);
    errno = 0;
    int status = ovk_classify_stream(in, stdout, note);
    const int write_errno = errno;
    const bool read_error = ferror(in) != 0;
    if (in != stdin) fclose(in);
    ovk_vendordb_unload();
    if (status == 2 || fclose(stdout) != 0) {
        const int err = status == 2 ? write_errno : errno;
        fprintf(stderr, "orvik-classify: cannot write output: %s\n", strerror(err ? err : EIO));
        return 2;
    }
    if (read_error) {
        fprintf(stderr, "orvik-classify: cannot read %s\n", path ? path : "standard input");
        return 2;
    }
    return status;
}
