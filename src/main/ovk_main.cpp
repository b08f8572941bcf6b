// SPDX-License-Identifier: GPL-3.0-or-later
// orvik: the detector. Opens one window and drives the interface from a single Allegro event
// loop at 30 ticks a second; with --headless it is the board program instead (no window,
// alerts on standard output). Both bring the engine up and down through the same start-up.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ovk_capture.h"
#include "ovk_gui.h"
#include "ovk_gui_shots.h"
#include "ovk_headless.h"
#include "ovk_linux_http.h"
#include "ovk_linux_mqtt.h"
#include "ovk_platform.h"
#include "ovk_radio.h"
#include "ovk_startup.h"
#include "ovk_trip.h"
#include "zq_gui.h"
#include "zq_log.h"

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
    // Sensors and the fleet view talk to a broker through libmosquitto; alerts are posted
    // through the HTTP client.
    h.mqtt_connect = ovk_linux_mqtt_connect;
    h.post = [](const std::string& url, std::string_view body, std::string_view type) {
        int status = 0;
        ovk_platform_http(url, body, type, 15, &status, nullptr, 1 << 20);
        return status;
    };
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
    k.scan_health = [] { return ovk_platform_scan_health(); };
    k.take_stop_request = [] { return ovk_platform_take_stop_request(); };
    k.background = [](int enable, std::string_view text) { ovk_platform_background(enable, text); };
    // --replay reads capture files of other tools through the platform's reader.
    h.replay_capture = [](std::string_view head, FILE* in,
                          std::string& error) -> std::optional<OVK_REPLAY_CAPTURE> {
        const ovk_bytes magic(reinterpret_cast<const uint8_t*>(head.data()), head.size());
        if (ovk_capture_format(magic) == OVK_CAPTURE_TEXT) return std::nullopt;
        std::shared_ptr<OVK_CAPTURE> cap = ovk_capture_open(in, error);
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

// What the window run owns besides the engine; released in reverse order of creation.
struct WINDOW {
    ALLEGRO_DISPLAY* display = nullptr;
    ALLEGRO_EVENT_QUEUE* queue = nullptr;
    ALLEGRO_TIMER* timer = nullptr;
    std::unique_ptr<OVK_GUI> gui;
    bool touch_installed = false;
    double started_s = 0;  // Allegro time when the window run began
    bool first_frame_shown = false;

    WINDOW() = default;
    WINDOW(const WINDOW&) = delete;
    WINDOW& operator=(const WINDOW&) = delete;
    ~WINDOW() {
        if (timer) al_destroy_timer(timer);
        if (queue) al_destroy_event_queue(queue);
        if (display) al_destroy_display(display);
    }
};

// Touch input with the mouse emulated from it, so that the toolkit sees taps as clicks.
bool install_touch(ALLEGRO_EVENT_QUEUE* queue) {
    if (!al_install_touch_input()) return false;
    al_set_mouse_emulation_mode(ALLEGRO_MOUSE_EMULATION_TRANSPARENT);
    al_register_event_source(queue, al_get_touch_input_event_source());
    al_register_event_source(queue, al_get_touch_input_mouse_emulation_event_source());
    return true;
}

void draw_frame(WINDOW& w) {
    al_set_target_backbuffer(w.display);
    ovk_gui_draw(w.gui.get());
    // The screenshot tour captures here, after the frame is drawn and before it is shown.
    ovk_shots_after_draw(w.gui.get());
    al_flip_display();
    zq_gui_draw_detached(w.gui->ctx);
    if (!w.first_frame_shown) {
        w.first_frame_shown = true;
        zq_log(LOG_INFO, "first frame %.0f ms after start", (al_get_time() - w.started_s) * 1000);
    }
}

// The event loop: one event per pass; a frame only when one is wanted, drawing is not halted
// and no further event waits, so that a burst of input yields one frame after its last event.
void run_loop(WINDOW& w) {
    OVK_GUI* g = w.gui.get();
    const std::atomic<bool>& stop = ovk_headless_stop_flag();
    bool halted = false;
    bool running = true;
    while (running && !stop.load()) {
        ALLEGRO_EVENT ev;
        if (halted) {
            // The timer stands still while drawing is halted: wake now and then for signals.
            if (!al_wait_for_event_timed(w.queue, &ev, 0.25)) continue;
        } else {
            al_wait_for_event(w.queue, &ev);
        }
        switch (ev.type) {
            case ALLEGRO_EVENT_TIMER:
                ovk_gui_update(g);
                ovk_shots_tick(g);
                if (g->quit_requested) running = false;
                ovk_gui_handle_event(g, &ev);
                break;
            case ALLEGRO_EVENT_DISPLAY_RESIZE:
                al_acknowledge_resize(w.display);
                g->disp_w = static_cast<float>(al_get_display_width(w.display));
                g->disp_h = static_cast<float>(al_get_display_height(w.display));
                g->rebuild_pending = true;
                ovk_gui_handle_event(g, &ev);
                break;
            case ALLEGRO_EVENT_DISPLAY_CLOSE:
                // On a desktop the close box quits; a touch screen's does not.
                running = ovk_platform_uses_touch() != 0;
                ovk_gui_handle_event(g, &ev);
                break;
            case ALLEGRO_EVENT_DISPLAY_HALT_DRAWING:
                ovk_trip_flush();
                if (w.touch_installed) al_uninstall_touch_input();
                al_stop_timer(w.timer);
                al_acknowledge_drawing_halt(w.display);
                halted = true;
                break;
            case ALLEGRO_EVENT_DISPLAY_RESUME_DRAWING:
                al_acknowledge_drawing_resume(w.display);
                al_set_target_backbuffer(w.display);
                if (w.touch_installed) install_touch(w.queue);
                ovk_gui_on_resume(g);
                al_start_timer(w.timer);
                halted = false;
                break;
            default:
                ovk_gui_handle_event(g, &ev);
                break;
        }
        if (g->redraw && !halted && al_is_event_queue_empty(w.queue)) draw_frame(w);
    }
}

int run_window(const OVK_OPTS& o, const OVK_HOST& host) {
    set_log_level(o.log_level);
    if (!al_install_system(ALLEGRO_VERSION_INT, atexit)) {
        std::fputs("al_init failed\n", stderr);
        return 1;
    }
    al_set_org_name("Brackwater");
    al_set_app_name("orvik");
    al_install_keyboard();
    al_install_mouse();
    al_init_image_addon();
    al_init_font_addon();
    al_init_ttf_addon();
    al_init_primitives_addon();

    const double started_s = al_get_time();
    if (ovk_startup_open(o, host) != 0) {
        // Started from a menu or a desktop icon, nobody reads standard error: say it where
        // it is seen.
        const std::string why = ovk_startup_error();
        if (!why.empty()) ovk_platform_notify("startup", "Orvik did not start", why);
        return 1;
    }
    int status = 1;
    {
        WINDOW w;
        w.started_s = started_s;
        al_set_new_display_option(ALLEGRO_VSYNC, 1, ALLEGRO_SUGGEST);
        al_set_new_display_flags(ovk_platform_display_flags());
        w.display = al_create_display(o.width, o.height);
        if (!w.display) {
            zq_log(LOG_ERR, "cannot create a display");
        } else {
            al_set_window_title(w.display, "Orvik");
            w.queue = al_create_event_queue();
            w.timer = al_create_timer(1.0 / 30);
        }
        if (w.queue && w.timer) {
            al_register_event_source(w.queue, al_get_display_event_source(w.display));
            if (al_is_keyboard_installed())
                al_register_event_source(w.queue, al_get_keyboard_event_source());
            if (al_is_mouse_installed())
                al_register_event_source(w.queue, al_get_mouse_event_source());
            al_register_event_source(w.queue, al_get_timer_event_source(w.timer));
            if (ovk_platform_uses_touch()) w.touch_installed = install_touch(w.queue);

            w.gui = std::make_unique<OVK_GUI>();
            if (ovk_gui_init(w.gui.get(), w.display, w.queue) != 0) {
                zq_log(LOG_ERR, "GUI init failed");
                w.gui.reset();
            }
        }
        // The screenshot tour starts once the interface stands; a tour that cannot start
        // ends the run with status 1.
        if (w.gui && o.shots && ovk_shots_start(w.gui.get(), *o.shots) != 0) {
            zq_log(LOG_ERR, "cannot start the screenshot tour into %s", o.shots->c_str());
            ovk_gui_shutdown(w.gui.get());
            w.gui.reset();
        }
        if (w.gui) {
            // (The start-up has told the platform about the autostart preference.)
            if (o.scan || o.demo || ovk_prefs_get().auto_start) ovk_scan_start();
            al_start_timer(w.timer);
            run_loop(w);
            ovk_shots_cancel(w.gui.get());  // a tour cut short still puts the preferences back
            ovk_scan_stop();
            ovk_gui_shutdown(w.gui.get());
            w.gui.reset();
            // A tour that could not save every picture has not done its job.
            status = o.shots && ovk_shots_failed() > 0 ? 1 : 0;
        }
        // A failed start also takes the engine down: its threads must not outlive main.
        ovk_startup_close();
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const OVK_OPTS o = ovk_startup_parse(argc, argv);
    if (o.help) {
        std::fputs(ovk_startup_help(argc > 0 && argv[0] ? argv[0] : "orvik").c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::fputs(ovk_startup_version_line().c_str(), stdout);
        return 0;
    }
    // Unknown arguments change nothing, but a typo ("--headles") should not pass silently.
    for (const std::string& a : o.unknown)
        std::fprintf(stderr, "orvik: ignoring unknown %s %s\n",
                     a.size() > 1 && a[0] == '-' ? "option" : "argument", a.c_str());
    // The radios are reached through the helper beside this program, started now, before any
    // other thread; once it runs this process holds no capability (a build run as root
    // without the helper scans with its own rights). A replay needs no radio.
    if (!o.replay && (o.headless || !o.alpr_download)) {
        if (const auto helper = ovk_radio_default_path()) ovk_radio_start(*helper);
    }
    // SIGINT and SIGTERM only set a flag; either program sees it and shuts down in order.
    ovk_headless_install_signals();
    if (o.headless) return ovk_headless_run(o, linux_host(), stdout);
    if (!o.error.empty()) {
        std::fprintf(stderr, "orvik: %s\n", o.error.c_str());
        return 2;
    }
    // A camera download alone needs no window (a board, a script, a cron job).
    if (o.alpr_download) return ovk_headless_download_only(o, linux_host(), stdout);
    return run_window(o, linux_host());
}
