// SPDX-License-Identifier: GPL-3.0-or-later
// orvik-radio: the only program of the package with capabilities. orvik starts it once, with
// its own pid as the one argument and two stream sockets as descriptors 3 (Bluetooth HCI) and
// 4 (nl80211); it opens the kernel's sockets for orvik's scanners, sends only the commands of
// a passive scan and hands back what the kernel answers, without looking into it. At once it
// keeps only CAP_NET_RAW and CAP_NET_ADMIN, and it ends with its parent.
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "ovk_radio.h"
#include "zq_log.h"

namespace {

constexpr int kHciFd = 3;
constexpr int kNlFd = 4;

// Of the capabilities this process has, only CAP_NET_RAW and CAP_NET_ADMIN stay permitted and
// effective; none is inheritable or ambient, and (where the process may) none other is left
// in the bounding set.
bool keep_only_radio_capabilities() {
    const unsigned long keep[] = {CAP_NET_RAW, CAP_NET_ADMIN};
    for (unsigned long c = 0; c <= 63; ++c) {
        if (c == keep[0] || c == keep[1]) continue;
        if (prctl(PR_CAPBSET_READ, c, 0, 0, 0) != 1) continue;
        prctl(PR_CAPBSET_DROP, c, 0, 0, 0);  // needs CAP_SETPCAP: fine to fail
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct hdr{};
    hdr.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0) return false;
    const uint32_t mask = (1u << CAP_NET_RAW) | (1u << CAP_NET_ADMIN);  // both below 32
    data[0].permitted &= mask;
    data[0].effective = data[0].permitted;
    data[0].inheritable = 0;
    data[1] = {};
    return syscall(SYS_capset, &hdr, data) == 0;
}

bool is_socket(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        // Ends with its parent: a signal when it goes, and no start at all when it already went.
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (argc != 2 || std::strtol(argv[1], nullptr, 10) != static_cast<long>(getppid())) {
            std::fputs("orvik-radio: started by orvik, not by hand\n", stderr);
            return 2;
        }
        if (!keep_only_radio_capabilities()) {
            std::fputs("orvik-radio: cannot set its capabilities\n", stderr);
            return 1;
        }
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        close_range(kNlFd + 1, ~0u, 0);
        if (!is_socket(kHciFd) || !is_socket(kNlFd)) {
            std::fputs("orvik-radio: no channels from orvik\n", stderr);
            return 2;
        }
        signal(SIGPIPE, SIG_IGN);
        std::shared_ptr<OVK_NL_IO> nl = ovk_linux_wifi_kernel_io();
        std::shared_ptr<OVK_HCI_IO> hci = ovk_linux_hci_kernel_io();
        std::thread wifi([nl] { ovk_radio_serve_nl(kNlFd, *nl); });
        ovk_radio_serve_hci(kHciFd, *hci);
        wifi.join();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvik-radio: %s\n", e.what());
        return 1;
    } catch (...) {
        return 1;
    }
}
