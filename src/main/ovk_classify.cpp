// orvik-classify: classifies recorded advertisements given as JSON Lines (see --help).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ovk_classify_io.h"
#include "zq_log.h"

int main(int argc, char** argv) {
    set_log_level(LOG_ERR);
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(ovk_classify_usage(), stdout);
            return 0;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "orvik-classify: unknown option %s\n\n%s", argv[i],
                    ovk_classify_usage());
            return 2;
        }
        if (path) {
            fprintf(stderr, "orvik-classify: one input file at most\n\n%s", ovk_classify_usage());
            return 2;
        }
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
    const int status = ovk_classify_stream(in, stdout);
    const bool read_error = ferror(in) != 0;
    if (in != stdin) fclose(in);
    if (read_error) {
        fprintf(stderr, "orvik-classify: cannot read %s\n", path ? path : "standard input");
        return 2;
    }
    return status;
}
