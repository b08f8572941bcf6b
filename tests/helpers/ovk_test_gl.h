// Window tests under LeakSanitizer. Mesa unloads its DRI driver when the last X display
// closes; what the driver still held then shows up as leaks from an unknown module, which no
// suppression can name. Keeping the software driver loaded for the whole process (and, through
// LD_PRELOAD, in the programs a test starts) leaves only Mesa's and Xlib's own leaks, which
// tools/lsan.supp names. Nothing happens in builds without AddressSanitizer. Header-only.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define OVK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OVK_TEST_ASAN 1
#endif
#endif

namespace ovk_test {

// The software OpenGL driver Xvfb displays use, or "" when it is not where Debian puts it.
inline std::string gl_driver_path() {
    for (const char* p :
         {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
          "/usr/lib/aarch64-linux-gnu/dri/swrast_dri.so", "/usr/lib/dri/swrast_dri.so"})
        if (access(p, R_OK) == 0) return p;
    return {};
}

// Call before the first display is made.
inline void keep_gl_driver_loaded() {
#ifdef OVK_TEST_ASAN
    const std::string p = gl_driver_path();
    if (!p.empty()) dlopen(p.c_str(), RTLD_NOW | RTLD_NODELETE);
#endif
}

// The environment entry that does the same for a program the test starts ("" when not
// needed).
inline std::string gl_driver_preload() {
#ifdef OVK_TEST_ASAN
    const std::string p = gl_driver_path();
    if (!p.empty()) return "LD_PRELOAD=" + p;
#endif
    return {};
}

}  // namespace ovk_test
