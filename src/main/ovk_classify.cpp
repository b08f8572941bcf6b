// SPDX-License-Identifier: GPL-3.0-or-later
// orvik-classify: classifies recorded advertisements given as JSON Lines, or the adverts of a
// pcap, pcapng or btsnoop capture (see --help).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "ovk_capture.h"
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

void write_line(const OVK_CLASSIFY_LINE& r) {
    if (r.status == OVK_CLASSIFY_SKIPPED) return;
    fwrite(r.json.data(), 1, r.json.size(), stdout);
    fputc('\n', stdout);
}

// One output line per advert, numbered by its frame; a damaged file ends with an error line.
int classify_capture(FILE* s, const char* name, std::optional<std::string_view> note) {
    std::string err;
    const std::unique_ptr<OVK_CAPTURE> cap = ovk_capture_open(s, err);
    if (!cap) {
        fprintf(stderr, "orvik-classify: %s: %s\n", name, err.c_str());
        return 1;
    }
    OVK_CLASSIFY_CTX ctx;
    OVK_CAPTURE_FRAME f;
    int status = 0;
    int r;
    while ((r = cap->next(f)) == 1)
        for (const OVK_ADVERT_PTR& a : f.adverts) {
            const OVK_CLASSIFY_LINE line = ovk_classify_advert(*a, "frame", f.number, note, &ctx);
            if (line.status == OVK_CLASSIFY_INVALID) status = 1;
            write_line(line);
        }
    if (r < 0) {
        write_line(ovk_classify_error("frame", cap->stats().frames + 1, cap->error()));
        fprintf(stderr, "orvik-classify: %s: %s\n", name, cap->error().c_str());
        status = 1;
    }
    fflush(stdout);
    const OVK_CAPTURE_STATS& st = cap->stats();
    fprintf(stderr, "orvik-classify: %s: %s: %ld frames, %ld adverts", name,
            cap->describe().c_str(), st.frames, st.adverts);
    if (st.other || st.bad) fprintf(stderr, " (%ld without one, %ld malformed)", st.other, st.bad);
    fputc('\n', stderr);
    return status;
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
    const char* name = path && strcmp(path, "-") != 0 ? path : "standard input";
    std::string head;
    FILE* peeked = ovk_capture_peek(in, head);
    if (!peeked) {
        fprintf(stderr, "orvik-classify: out of memory\n");
        return 2;
    }
    const OVK_CAPTURE_FORMAT fmt =
        ovk_capture_format(ovk_bytes(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
    int status;
    bool input_failed = false;
    bool output_failed = false;
    errno = 0;
    if (fmt == OVK_CAPTURE_TEXT) {
        status = ovk_classify_stream(peeked, stdout, note);
        output_failed = status == 2;
        input_failed = ferror(peeked) != 0;
    } else {
        status = classify_capture(peeked, name, note);
    }
    // Output that did not all arrive (a full disk, a closed pipe) is no success.
    if (fflush(stdout) != 0 || ferror(stdout)) output_failed = true;
    const int out_errno = errno;
    if (fmt == OVK_CAPTURE_TEXT) fclose(peeked);
    const bool read_error = input_failed || ferror(in) != 0;
    if (in != stdin) fclose(in);
    ovk_vendordb_unload();
    if (output_failed) {
        fprintf(stderr, "orvik-classify: cannot write output: %s\n",
                strerror(out_errno ? out_errno : EIO));
        return 2;
    }
    if (read_error) {
        fprintf(stderr, "orvik-classify: cannot read %s\n", name);
        return 2;
    }
    return status;
}
