// orvik: the detector. Wires the platform layer into the pipeline and runs the program
// (no window yet: the headless form).
#include <cstdio>
#include <string>

#include "ovk_capture.h"
#include "ovk_headless.h"
#include "ovk_linux_http.h"
#include "ovk_platform.h"
#include "ovk_startup.h"

namespace {

OVK_HOST linux_host() {
    OVK_HOST h;
    h.platform_init = [] { return ovk_platform_init(); };
    h.platform_shutdown = [] { ovk_platform_shutdown(); };
    h.data_dir = [] { return ovk_platform_data_dir(); };
    h.read_asset = [](std::string_view name) { return ovk_platform_read_asset(name); };
    h.set_autostart = [](int enable) { ovk_platform_set_autostart(enable); };
    // Plate-camera downloads go through the platform's HTTP client.
    h.fetch = ovk_platform_http;
    OVK_PIPELINE_HOOKS& k = h.hooks;
    k.set_sink = [](const OVK_SINK* s) { ovk_platform_set_sink(s); };
    k.notify = [](std::optional<std::string_view> key, std::optional<std::string_view> title,
                  std::optional<std::string_view> text) { ovk_platform_notify(key, title, text); };
    k.alert = [](OVK_TIER tier, int following, int sound, int vibrate, std::string_view spoken) {
        ovk_platform_alert(tier, following, sound, vibrate, spoken);
    };
    k.scan_start = [](const OVK_SCAN_OPTS& o) { return ovk_platform_scan_start(o); };
    k.scan_stop = [] { ovk_platform_scan_stop(); };
    k.scan_running = [] { return ovk_platform_scan_running(); };
    k.scan_status = [] { return ovk_platform_scan_status(); };
    k.take_stop_request = [] { return ovk_platform_take_stop_request(); };
    k.background = [](int enable, std::string_view text) { ovk_platform_background(enable, text); };
    // --replay reads capture files of other tools through the platform's reader.
    h.replay_capture = [](const std::string& path,
                          std::string& error) -> std::optional<OVK_REPLAY_CAPTURE> {
        std::shared_ptr<OVK_CAPTURE> cap = ovk_capture_open_path(path, error);
        if (!cap) return std::nullopt;
        return OVK_REPLAY_CAPTURE{[cap](std::vector<OVK_ADVERT_PTR>& out, std::string& err) {
            OVK_CAPTURE_FRAME f;
            const int r = cap->next(f);
            if (r < 0) err = cap->error();
            out = std::move(f.adverts);
            return r;
        }};
    };
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    const OVK_OPTS o = ovk_startup_parse(argc, argv);
    if (o.help) {
        std::fputs(ovk_startup_help(argc > 0 && argv[0] ? argv[0] : "orvik").c_str(), stdout);
        return 0;
    }
    if (!o.headless)
        std::fputs("orvik: this build has no window; running headless (see --help)\n", stderr);
    ovk_headless_install_signals();
    return ovk_headless_run(o, linux_host(), stdout);
}
