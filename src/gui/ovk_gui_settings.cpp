// SPDX-License-Identifier: GPL-3.0-or-later
// The settings pop-up.
//
// Index
//   1. State and the column layout helpers
//   2. Build
//   3. Refresh: show and the tick
//   4. Commands: Save, the confirmed clean-ups, the other buttons
#include "ovk_gui_settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "ovk_alpr.h"
#include "ovk_fleetmsg.h"
#include "ovk_gui.h"
#include "ovk_gui_port.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_watchlist.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

// The five sliders, each with its own label text.
enum SLIDER_ID : int {
    SL_WIFI_INTERVAL = 0,
    SL_COOLDOWN = 1,
    SL_FOLLOW_MINUTES = 2,
    SL_FOLLOW_METERS = 3,
    SL_RETENTION = 4,
};
inline constexpr int SL_COUNT = 5;

inline constexpr int kFieldChars = 60;     // the short text fields
inline constexpr float kComboChrome = 40;  // a combo box's padding and arrow, unscaled

std::string theme_item(int t, bool with_description) {
    return with_description
               ? ovk_format(200, "%s - %s", ovk_theme_title(t), ovk_theme_description(t))
               : std::string(ovk_theme_title(t));
}

struct STATE {
    OVK_GUI* g = nullptr;
    int win = -1;
    OVK_PREFS p;                // the working copy
    unsigned built_serial = 0;  // preference serial the copy was taken at
    bool has_copy = false;
    bool dirty = false;  // edited since the copy was taken
    // The demo check shows whether this run uses the demo feed (a --demo run does without
    // the stored preference); only a change of the box touches the preference.
    int demo_box = 0;
    int demo_shown = 0;
    // The text fields as typed, kept for Save and across a rebuild.
    std::string hci, iface, host, port, overpass, tiles;
    std::string fleet, fleet_group, broker_user, password_file, ca_file;
    std::array<int, SL_COUNT> w_value{-1, -1, -1, -1, -1};
    int w_theme_note = -1;  // the chosen theme's description, when the list shows titles only
    float scroll = 0;       // how far the screen is scrolled, in unscaled units
};

STATE& st() {
    static STATE s;
    return s;
}

// The column being filled: every helper adds its controls at `y` and moves `y` below them.
struct LAYOUT {
    OVK_GUI* g;
    int win;
    float x, y, w;
    float rh;   // row height
    float pad;  // standard gap
};

float text_w(const ALLEGRO_FONT* f, const char* s) {
    return f ? static_cast<float>(al_get_text_width(f, s)) : 0.0f;
}

float line_h(const ALLEGRO_FONT* f) {
    return f ? static_cast<float>(al_get_font_line_height(f)) : 0.0f;
}

void touched() {
    st().dirty = true;
}

void on_check(int id, void* user) {
    *static_cast<int*>(user) = zq_gui_checkbox_is_checked(st().g->ctx, id) ? 1 : 0;
    touched();
}

void on_text(int, const char* text, void* user) {
    *static_cast<std::string*>(user) = text ? text : "";
    touched();
}

void add_tip(const LAYOUT& L, int id, const char* tip) {
    if (tip && id >= 0) zq_gui_set_widget_tooltip(L.g->ctx, id, tip);
}

void section(LAYOUT& L, const char* title) {
    L.y += L.pad;
    const int id = zq_gui_add_label(L.g->ctx, L.win, L.x, L.y, L.w, L.rh, title, ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(L.g->ctx, id, L.g->font_big);
    L.y += L.rh;
}

// A wrapped note in the small font.
void note(LAYOUT& L, const char* text) {
    float h = 0;
    ovk_add_wrapped_label(L.g, L.win, L.g->font_small, text, L.x, L.y, L.w, &h);
    L.y += h + L.pad / 2;
}

// A label one row high (0.8 rows for the value labels above sliders).
int label(LAYOUT& L, const char* text, float rows = 1.0f) {
    const int id =
        zq_gui_add_label(L.g->ctx, L.win, L.x, L.y, L.w, rows * L.rh, text, ZQ_GUI_ALIGN_LEFT);
    L.y += rows * L.rh;
    return id;
}

// A check box bound to an int of the working copy (a long label wraps beside it).
int check(LAYOUT& L, const char* text, int* field, const char* tip) {
    float h = 0;
    int lab = -1;
    const int id = ovk_add_check_row(L.g, L.win, L.x, L.y, L.w, L.rh, text, *field != 0, on_check,
                                     field, &h, &lab);
    add_tip(L, id, tip);
    add_tip(L, lab, tip);
    L.y += h + L.pad / 3;
    return id;
}

// Height of a radio list of n items in the regular font.
float radio_h(const LAYOUT& L, int n) {
    const float item = std::max(0.9f * L.rh, line_h(L.g->font) + 4);
    return item * static_cast<float>(n);
}

int radio(LAYOUT& L, std::initializer_list<const char*> items, int selected, ZQ_GUI_SELECT_FN fn,
          const char* tip) {
    const float h = radio_h(L, static_cast<int>(items.size()));
    const int id = zq_gui_add_radiolist(L.g->ctx, L.win, L.x, L.y, L.w, h, fn, nullptr);
    for (const char* it : items) zq_gui_radiolist_add_item(L.g->ctx, id, it);
    zq_gui_radiolist_set_selected(L.g->ctx, id, selected);
    add_tip(L, id, tip);
    L.y += h + L.pad / 2;
    return id;
}

int combo(LAYOUT& L, ZQ_GUI_SELECT_FN fn, const char* tip) {
    const int id = zq_gui_add_combobox(L.g->ctx, L.win, L.x, L.y, L.w, L.rh, fn, nullptr);
    add_tip(L, id, tip);
    L.y += L.rh + L.pad / 2;
    return id;
}

// A text field with its label in front of it (in a column `label_w` wide when given), or
// above it when the row is too narrow for both: the field keeps at least 180 units, and room
// for its placeholder.
int field(LAYOUT& L, const char* text, std::string* bound, int chars, const char* placeholder,
          const char* tip, float label_w = 0) {
    OVK_GUI* g = L.g;
    const float lw = std::max(label_w, text_w(g->font, text) + L.pad);
    const float need =
        std::max(ovk_px(g, 180), text_w(g->font, placeholder ? placeholder : "") + ovk_px(g, 20));
    const int lab = zq_gui_add_label(g->ctx, L.win, L.x, L.y, lw, L.rh, text, ZQ_GUI_ALIGN_LEFT);
    const int id =
        zq_gui_add_textarea(g->ctx, L.win, L.x, L.y, L.w, L.rh, 0, chars, on_text, bound);
    const ZQ_GUI_ROW_ITEM row[] = {{.id = lab, .w = lw, .over_h = 0.8f * L.rh},
                                   {.id = id, .fill_min = need}};
    L.y = zq_gui_place_rows(g->ctx, row, L.x, L.y, L.w, L.rh, 0, 0) + L.pad / 2;
    // The text goes in at the field's final width, so that it shows from where it should.
    zq_gui_textarea_set_text(g->ctx, id, *bound);
    if (placeholder) zq_gui_textarea_set_placeholder(g->ctx, id, placeholder);
    add_tip(L, id, tip);
    return id;
}

int button(LAYOUT& L, const char* text, ZQ_GUI_CLICK_FN fn, const char* tip) {
    const float w = std::min(L.w, text_w(L.g->font, text) + 3 * L.pad);
    const int id = zq_gui_add_button(L.g->ctx, L.win, L.x, L.y, w, L.rh, text, 1, fn, L.g);
    add_tip(L, id, tip);
    L.y += L.rh + L.pad / 2;
    return id;
}

// ---------------------------------------------------------------------------------------
// Sliders: the value each shows, the label text for it and where it goes in the copy.
// ---------------------------------------------------------------------------------------

std::string slider_text(int which, float v) {
    switch (which) {
        case SL_WIFI_INTERVAL:
            return ovk_format(160, "WiFi scan interval: %.0f s", v);
        case SL_COOLDOWN:
            return ovk_format(160, "Re-alert cooldown per device: %.0f min", v);
        case SL_FOLLOW_MINUTES:
            return ovk_format(160, "For at least: %.0f minutes", v);
        case SL_FOLLOW_METERS:
            return ovk_format(160, "While I moved: %.0f metres", v);
        case SL_RETENTION:
            return v < 0.5f ? std::string("Keep match log and device history: forever")
                            : ovk_format(160, "Keep match log and device history: %.0f days", v);
        default:
            return {};
    }
}

void store_slider(int which, float v) {
    const int n = static_cast<int>(std::lround(v));
    switch (which) {
        case SL_WIFI_INTERVAL:
            st().p.scan_interval_ms = static_cast<int64_t>(n) * 1000;
            break;
        case SL_COOLDOWN:
            st().p.dedupe_window_ms = static_cast<int64_t>(n) * 60000;
            break;
        case SL_FOLLOW_MINUTES:
            st().p.follow_min_minutes = n;
            break;
        case SL_FOLLOW_METERS:
            st().p.follow_min_meters = n;
            break;
        case SL_RETENTION:
            st().p.retention_days = n;
            break;
        default:
            break;
    }
}

void on_slider(int id, float v, void* user) {
    const int which = static_cast<int>(reinterpret_cast<intptr_t>(user));
    store_slider(which, v);
    zq_gui_label_set_text(st().g->ctx, st().w_value[which], slider_text(which, v));
    (void)id;
}

void on_slider_moved(int id, float v, void* user) {
    on_slider(id, v, user);
    touched();
}

void slider(LAYOUT& L, int which, float min, float max, float initial, const char* tip) {
    OVK_GUI* g = L.g;
    st().w_value[which] = label(L, "", 0.8f);
    const int id = zq_gui_add_slider(g->ctx, L.win, L.x, L.y, L.w, L.rh, min, max,
                                     std::clamp(initial, min, max), 0, on_slider_moved,
                                     reinterpret_cast<void*>(static_cast<intptr_t>(which)));
    zq_gui_slider_set_step(g->ctx, id, 1);
    zq_gui_slider_set_value_visible(g->ctx, id, 0);
    add_tip(L, id, tip);
    // The label shows the starting value (a stored value outside the range is shown, and
    // saved, as the nearest end).
    on_slider(id, zq_gui_slider_get_value(g->ctx, id),
              reinterpret_cast<void*>(static_cast<intptr_t>(which)));
    L.y += L.rh + L.pad / 2;
}

// ---------------------------------------------------------------------------------------
// Selections
// ---------------------------------------------------------------------------------------

void on_theme(int, int index, void*) {
    if (index >= 0 && index < OVK_THEME_COUNT) st().p.theme = static_cast<OVK_THEME_ID>(index);
    if (st().w_theme_note >= 0)
        ovk_label_set_wrapped(st().g, st().w_theme_note, ovk_theme_description(st().p.theme));
    touched();
}

void on_ui_size(int, int index, void*) {
    if (index >= 0 && index < 4) st().p.ui_size = index;
    touched();
}

void on_ble_mode(int, int index, void*) {
    if (index >= 0 && index < 3) st().p.ble_scan_mode = 2 - index;
    touched();
}

constexpr int kThresholds[] = {0, 50, 80};

int threshold_index(int threshold) {
    return threshold > 79 ? 2 : threshold > 49 ? 1 : 0;
}

void on_threshold(int, int index, void*) {
    if (index >= 0 && index < 3) st().p.alert_threshold = kThresholds[index];
    touched();
}

// Whether the Demo box shows ticked: this run's demo (--demo) or the stored preference.
int effective_demo(const OVK_PREFS& p) {
    return ovk_scan_demo_override() > 0 ? 1 : p.demo_mode;
}

// The working copy and the texts of the fields, from the preferences the frame holds.
void take_copy(OVK_GUI* g) {
    st().p = g->prefs;
    st().built_serial = g->prefs_serial;
    st().hci = st().p.hci_dev >= 0 ? std::to_string(st().p.hci_dev) : std::string();
    st().iface = st().p.wifi_iface;
    st().host = st().p.gpsd_host;
    st().port = std::to_string(st().p.gpsd_port);
    st().overpass = st().p.overpass_url;
    st().tiles = st().p.tile_server;
    st().fleet = st().p.fleet_url;
    st().fleet_group = st().p.fleet_group;
    st().broker_user = st().p.mqtt_user;
    st().password_file = st().p.mqtt_password_file;
    st().ca_file = st().p.mqtt_ca_file;
    st().demo_box = st().demo_shown = effective_demo(st().p);
    st().dirty = false;
    st().has_copy = true;
}

void on_save(int, void*);
void on_wizard(int, void*);
void on_export(int, void*);
void on_forget(int, void*);
void on_clear(int, void*);
void on_allow_boot(int, void*);
void on_permissions(int, void*);

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_settings_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_SETTINGS] >= 0) return;
    st().g = g;
    st().w_value.fill(-1);
    const int win = ovk_gui_popup_window(g, OVK_POP_SETTINGS, "Settings", 760, 1100);
    st().win = win;
    if (win < 0) return;
    // Unsaved edits survive a rebuild (a resize, a new size or look) as long as the
    // preferences they were made on are still the ones in force.
    if (!st().has_copy || st().built_serial != g->prefs_serial) take_copy(g);
    OVK_PREFS& p = st().p;
    const bool touch = ovk_platform_uses_touch() != 0;

    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_SETTINGS, &cw, &ch);
    const float pad = ovk_pad(g);
    LAYOUT L{g, win, pad, pad, cw - 2 * pad, ovk_row_h(g), pad};
    ZQ_GUI_CTX* ctx = g->ctx;

    // Top row: Save and the wizard (the wizard button goes below Save when both do not fit).
    {
        const float sw = std::min(L.w, ovk_px(g, 140));
        const int save = zq_gui_add_button(ctx, win, L.x, L.y, sw, L.rh, "Save", 1, on_save, g);
        zq_gui_set_widget_theme(ctx, save, ovk_theme_accent(g));
        add_tip(L, save, "Apply and keep these settings");
        const char* wiz = "Run the setup wizard again";
        const float ww = std::min(L.w, text_w(g->font, wiz) + 3 * pad);
        float wx = L.x + sw + pad, wy = L.y;
        if (wx + ww > L.x + L.w) {
            wx = L.x;
            wy = L.y + L.rh + pad / 2;
        }
        const int w = zq_gui_add_button(ctx, win, wx, wy, ww, L.rh, wiz, 1, on_wizard, g);
        add_tip(L, w, "Theme, region, alerts and permissions, step by step");
        L.y = wy + L.rh + pad / 2;
    }

    section(L, "Appearance");
    {
        // Each theme with its description; where that would not fit, the title alone and the
        // chosen theme's description under the list.
        const float room = L.w - kComboChrome * g->scale;
        bool full = true;
        for (int t = 0; t < OVK_THEME_COUNT; ++t)
            full = full && text_w(g->font, theme_item(t, true).c_str()) <= room;
        const int id =
            combo(L, on_theme, "Look of the app; styled themes have their own animated header");
        for (int t = 0; t < OVK_THEME_COUNT; ++t)
            zq_gui_combobox_add_item(ctx, id, theme_item(t, full));
        zq_gui_combobox_set_selected(ctx, id,
                                     p.theme >= 0 && p.theme < OVK_THEME_COUNT ? p.theme : 0);
        st().w_theme_note = -1;
        if (!full) {
            float h = 0;
            st().w_theme_note = ovk_add_wrapped_label(g, win, g->font_small, "", L.x, L.y, L.w, &h);
            // Room for the longest description.
            float most = 0;
            for (int t = 0; t < OVK_THEME_COUNT; ++t)
                most = std::max(most, ovk_text_wrap_height(g->font_small, L.w - 6 * g->scale,
                                                           ovk_theme_description(t)));
            zq_gui_set_widget_rect(ctx, st().w_theme_note, L.x, L.y, L.w, most + 6 * g->scale);
            ovk_label_set_wrapped(g, st().w_theme_note, ovk_theme_description(p.theme));
            L.y += most + 6 * g->scale + L.pad / 2;
        }
        const int sz = combo(L, on_ui_size, "Scale of every control and text");
        for (const char* s : {"Interface size: small", "Interface size: normal",
                              "Interface size: large", "Interface size: extra large"})
            zq_gui_combobox_add_item(ctx, sz, s);
        zq_gui_combobox_set_selected(ctx, sz, std::clamp(p.ui_size, 0, 3));
    }

    section(L, "Scanning");
    check(L, "Bluetooth LE scanning", &p.ble_enabled, "Listen to Bluetooth LE advertisements");
    check(L, "WiFi access-point scanning", &p.wifi_enabled,
          "Read WiFi beacons (access points only)");
    label(L, "Bluetooth scan intensity");
    radio(
        L,
        {"Maximum detection (most battery)", "Balanced", "Battery saver (misses short broadcasts)"},
        2 - std::clamp(p.ble_scan_mode, 0, 2), on_ble_mode,
        "Android BLE scan mode; on Linux it sets the scan window");
    slider(L, SL_WIFI_INTERVAL, 10, 300, static_cast<float>(p.scan_interval_ms) / 1000.0f,
           "How often WiFi is scanned");
    if (touch) {
        note(L,
             "Android allows an app only four WiFi scans every two minutes; shorter intervals "
             "are stretched to fit.");
        check(L, "Start scanning when the app opens and when the phone boots", &p.auto_start,
              nullptr);
        note(L, "Starting at boot needs the permission to run after the phone starts.");
        button(L, "Allow start at boot", on_allow_boot, nullptr);
    } else {
        check(L, "Start scanning when the app starts", &p.auto_start,
              "Begin scanning without pressing Start");
    }
    check(L, "Demo mode (made-up devices, no radios)", &st().demo_box,
          "Feed demo devices through the real detection, e.g. to try the app");
    if (touch) {
        button(L, "Grant permissions", on_permissions, nullptr);
    } else {
        // The four fields in one column.
        const char* adapter = "Bluetooth adapter (hci index)";
        const float lw = text_w(g->font, adapter) + pad;
        field(L, adapter, &st().hci, kFieldChars, "auto (first adapter that is up)", nullptr, lw);
        field(L, "WiFi interface", &st().iface, kFieldChars, "all wireless interfaces",
              "e.g. wlan0; empty for every nl80211 interface", lw);
        field(L, "gpsd host", &st().host, kFieldChars, "127.0.0.1",
              "Where gpsd runs (GPS receiver for position)", lw);
        field(L, "gpsd port", &st().port, kFieldChars, "2947", "gpsd TCP port", lw);
        note(L,
             "Bluetooth scanning needs the CAP_NET_RAW capability: run make setcap once (or "
             "start Orvik as root). Scanning is passive: Orvik sends no scan requests and "
             "never transmits.");
    }

    section(L, "What to detect");
    for (int c = 0; c < OVK_CAT_COUNT; ++c)
        check(L, ovk_cat_title(c), &p.category_enabled[static_cast<size_t>(c)],
              "Flag and alert on this kind of equipment");
    note(L,
         "Fake cell towers: turning off 2G in your phone's SIM settings is the strongest "
         "protection there is.");
    label(L, "Watchlist presets (MAC prefixes)");
    check(L,
          "Global (Axon, Flock, Zepcam, WatchGuard, Digital Ally, ShotSpotter, traffic cameras...)",
          &p.preset_enabled[0], nullptr);
    check(L, "Canada (Axon, Cyberkar, Getac, Genetec, Motorola, ticket printers...)",
          &p.preset_enabled[1], nullptr);
    check(L, "United States", &p.preset_enabled[2], nullptr);

    section(L, "Alerts");
    label(L, "Sound an alert for matches that are at least...");
    radio(L, {"Weak (every match - more false alarms)", "Probable (recommended)", "Strong only"},
          threshold_index(p.alert_threshold), on_threshold,
          "Weaker matches are only highlighted in the list");
    check(L, "Alert sound", &p.sound_enabled,
          "Tone pattern: one beep weak, two probable, three strong");
    if (touch)
        check(L, "Vibration (1 pulse weak, 2 probable, 3 strong)", &p.vibrate_enabled, nullptr);
    check(L, "Spoken alerts (e.g. while driving)", &p.voice_enabled,
          "Speak the match label (espeak-ng on Linux)");
    check(L, "Mute all alert sound", &p.alerts_muted, nullptr);
    check(L, "Discreet mode (hide details in notifications)", &p.discreet_mode, nullptr);
    slider(L, SL_COOLDOWN, 1, 60, static_cast<float>(p.dedupe_window_ms) / 60000.0f, nullptr);

    section(L, "Location");
    check(L, "Warn when a tracker or flagged device keeps moving with me", &p.follower_alerts,
          nullptr);
    slider(L, SL_FOLLOW_MINUTES, 2, 60, static_cast<float>(p.follow_min_minutes), nullptr);
    slider(L, SL_FOLLOW_METERS, 100, 5000, static_cast<float>(p.follow_min_meters), nullptr);
    check(L, "Warn when approaching a known plate-reader camera (download them on the Map)",
          &p.known_alpr_alerts, nullptr);
    check(L, "Show known plate cameras on the map", &p.show_known_alpr, "Red triangles on the map");
    check(L, "Record a GPS trace automatically whenever scanning starts", &p.auto_record_trace,
          "Every scan becomes a trace");
    check(L, "Save GPS position with logged matches (privacy-sensitive)", &p.gps_tagging,
          "Needed for the history heatmap");
    check(L, "Download OpenStreetMap map tiles", &p.map_tiles,
          "Off = the map shows a plain grid and nothing is downloaded");
    // The two servers' fields start at one edge.
    const float servers_w =
        std::max(text_w(g->font, "Map tile server"), text_w(g->font, "Plate-camera source")) + pad;
    field(L, "Map tile server", &st().tiles, static_cast<int>(OVK_PREFS_URL_MAX),
          OVK_TILE_SERVER_DEFAULT,
          "Where map tiles come from (the address before /zoom/x/y.png); empty for the "
          "OpenStreetMap server, whose usage policy asks for no bulk downloads",
          servers_w);
    field(L, "Plate-camera source", &st().overpass, static_cast<int>(OVK_PREFS_URL_MAX),
          "https://overpass-api.de/api/interpreter",
          "The Overpass API interpreter the plate-camera list is downloaded from; empty for "
          "the public one",
          servers_w);

    if (!touch) {
        // The central view of sensors reporting to a broker; the broker's user, password file
        // and CA serve this machine's own reporting too.
        section(L, "Fleet");
        const float lw = std::max({text_w(g->font, "Fleet broker"), text_w(g->font, "Fleet group"),
                                   text_w(g->font, "Broker user"), text_w(g->font, "Password file"),
                                   text_w(g->font, "CA certificate")}) +
                         pad;
        field(L, "Fleet broker", &st().fleet, static_cast<int>(OVK_PREFS_URL_MAX),
              "mqtt://HOST/PREFIX",
              "Show the sensors that report under PREFIX on this broker (mqtts:// for TLS); "
              "empty for no fleet",
              lw);
        field(L, "Fleet group", &st().fleet_group, static_cast<int>(OVK_PREFS_HOST_MAX), "none",
              "Central instances of one group share the sensors' detections and alerts", lw);
        field(L, "Broker user", &st().broker_user, static_cast<int>(OVK_PREFS_USER_MAX),
              "no user name", "The user name given to the broker", lw);
        field(L, "Password file", &st().password_file, static_cast<int>(OVK_PREFS_PATH_MAX),
              "none (or ORVIK_MQTT_PASSWORD)",
              "A file only you may read that holds the broker password", lw);
        field(L, "CA certificate", &st().ca_file, static_cast<int>(OVK_PREFS_PATH_MAX),
              "the system's certificates", "A private CA's certificate file for mqtts://", lw);
        note(L,
             "The fleet is joined when Orvik starts: restart it after changing these. The user, "
             "password file and CA certificate are also those this machine reports with.");
    }

    section(L, "Data (stays on this device)");
    slider(L, SL_RETENTION, 0, 365, static_cast<float>(p.retention_days),
           "Older matches and device history are deleted at each scan start");
    button(L, "Export all devices (CSV, JSON, KML...)", on_export, nullptr);
    button(L, "Forget device history (keeps favorites)", on_forget, nullptr);
    button(L, "Clear match history", on_clear, nullptr);

    // Save again at the end, where a reader of the whole column arrives.
    L.y += pad;
    const int save2 = zq_gui_add_button(ctx, win, L.x, L.y, std::min(L.w, ovk_px(g, 140)), L.rh,
                                        "Save", 1, on_save, g);
    zq_gui_set_widget_theme(ctx, save2, ovk_theme_accent(g));
    add_tip(L, save2, "Apply and keep these settings");

    // Back where it was (in the new scale, after a change of size).
    zq_gui_window_set_scroll(ctx, win, st().scroll * g->scale);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

void ovk_settings_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_SETTINGS] < 0) ovk_settings_build(g);
    if (g->popup[OVK_POP_SETTINGS] < 0) return;
    if (ovk_gui_popup_is_open(g, OVK_POP_SETTINGS) ||
        (st().has_copy && !st().dirty && st().built_serial == ovk_prefs_serial())) {
        ovk_gui_open_popup(g, OVK_POP_SETTINGS);
        return;
    }
    // Built from older preferences, or left with edits that were never saved: build it again
    // from the preferences in force, from the top, and open it then.
    st().has_copy = false;
    st().scroll = 0;
    g->popup_open[OVK_POP_SETTINGS] = true;
    g->rebuild_pending = true;
    g->redraw = true;
}

void ovk_settings_tick(OVK_GUI* g) {
    if (!g || !g->ctx) return;
    if (const ZQ_GUI_WINDOW* w = zq_gui_get_window(g->ctx, g->popup[OVK_POP_SETTINGS]))
        st().scroll = g->scale > 0 ? w->scroll_y / g->scale : 0;
}

void ovk_settings_shutdown(OVK_GUI*) {
    st() = STATE{};
}

int ovk_settings_parse_port(std::string_view text) {
    const std::string t = ovk_trim(text);
    int v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || v < 1 || v > 65535)
        return 2947;
    return v;
}

int ovk_settings_parse_adapter(std::string_view text) {
    std::string t = ovk_trim(text);
    if (ovk_istarts_with(t, "hci")) t.erase(0, 3);
    int v = -1;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || v < 0) return -1;
    return v;
}

std::string ovk_settings_check_fleet(std::string_view url, std::string_view group) {
    if (url.size() > OVK_PREFS_URL_MAX)
        return ovk_format(120, "fleet broker: longer than %zu characters", OVK_PREFS_URL_MAX);
    if (!url.empty()) {
        OVK_MQTT_URL u;
        if (const std::string why = ovk_fleetmsg_parse_url(url, u); !why.empty())
            return "fleet broker: " + why;
    }
    if (group.size() > OVK_PREFS_HOST_MAX)
        return ovk_format(120, "fleet group: longer than %zu characters", OVK_PREFS_HOST_MAX);
    if (group.find_first_of("/+#") != std::string_view::npos)
        return "fleet group: no /, + or # in a group name";
    return {};
}

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

namespace {

void on_save(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    // A fleet address the link could not use is refused before anything is stored.
    const std::string fleet = ovk_trim(st().fleet), group = ovk_trim(st().fleet_group);
    if (const std::string why = ovk_settings_check_fleet(fleet, group); !why.empty()) {
        ovk_gui_message(g, "Settings not saved - %s", why.c_str());
        return;
    }
    OVK_PREFS p = st().p;
    p.fleet_url = fleet;
    p.fleet_group = group;
    p.mqtt_user = ovk_cut(ovk_trim(st().broker_user), OVK_PREFS_USER_MAX);
    p.mqtt_password_file = ovk_cut(ovk_trim(st().password_file), OVK_PREFS_PATH_MAX);
    p.mqtt_ca_file = ovk_cut(ovk_trim(st().ca_file), OVK_PREFS_PATH_MAX);
    p.wifi_iface = ovk_cut(ovk_trim(st().iface), OVK_PREFS_IFACE_MAX);
    const std::string host = ovk_trim(st().host);
    p.gpsd_host = host.empty() ? std::string("127.0.0.1") : ovk_cut(host, OVK_PREFS_HOST_MAX);
    p.gpsd_port = ovk_settings_parse_port(st().port);
    p.hci_dev = ovk_settings_parse_adapter(st().hci);
    p.overpass_url = ovk_cut(ovk_trim(st().overpass), OVK_PREFS_URL_MAX);
    const std::string tiles = ovk_trim(st().tiles);
    p.tile_server =
        tiles.empty() ? std::string(OVK_TILE_SERVER_DEFAULT) : ovk_cut(tiles, OVK_PREFS_URL_MAX);

    const OVK_PREFS before = g->prefs;
    // Demo: only a change of the box counts. Turning off the demo of a --demo run ends this
    // run's demo too, as the menu's switch does.
    bool restart = false;
    if (st().demo_box != st().demo_shown) {
        p.demo_mode = st().demo_box;
        if (ovk_scan_demo_override() > 0) {
            ovk_scan_set_demo_override(0);
            restart = p.demo_mode == before.demo_mode;  // else the frame restarts
        }
    }
    ovk_gui_set_prefs(g, p, true, "Settings saved");
    if (restart && ovk_scan_is_running()) {
        ovk_scan_stop();
        ovk_scan_start();
    }
    if (p.preset_enabled != before.preset_enabled)
        ovk_port_post(g, [] {
            ovk_watchlist_load(std::nullopt);
            return std::string();
        });
    if (p.overpass_url != before.overpass_url) ovk_alpr_set_endpoint(p.overpass_url);
    st().has_copy = false;
    st().dirty = false;
    // A new look or size rebuilds the interface on the next tick; the settings then come back
    // in it, where they were, showing what was saved. Otherwise they are done.
    if (p.theme == before.theme && p.ui_size == before.ui_size)
        ovk_gui_close_popup(g, OVK_POP_SETTINGS);
}

void on_wizard(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    ovk_gui_close_popup(g, OVK_POP_SETTINGS);
    ovk_gui_show_screen(g, OVK_POP_SETUP);
}

void on_export(int, void* user) {
    ovk_gui_show_screen(static_cast<OVK_GUI*>(user), OVK_POP_EXPORT);
}

void do_clear(void* user) {
    ovk_port_clear_matches(static_cast<OVK_GUI*>(user));
}

void do_forget(void* user) {
    ovk_port_post(static_cast<OVK_GUI*>(user), [] {
        const int r = ovk_store_known_clear_non_favorites();
        // Devices in range carry a copy of what was remembered about them; it goes too.
        for (const OVK_DEVICE& d : ovk_registry_summaries(0))
            if (!ovk_store_known_get(d.mac)) ovk_registry_set_known(d.mac, nullptr);
        return std::string(r == 0 ? "Device history forgotten (favorites kept)"
                                  : "Device history forgotten for now, but its file could not "
                                    "be rewritten");
    });
}

void on_forget(int, void* user) {
    ovk_gui_confirm(static_cast<OVK_GUI*>(user),
                    "Forget the history of every device (first/last seen, sessions)? Favorites "
                    "are kept.",
                    do_forget, user);
}

void on_clear(int, void* user) {
    ovk_gui_confirm(static_cast<OVK_GUI*>(user),
                    "Delete every logged match? This cannot be undone.", do_clear, user);
}

void on_allow_boot(int, void*) {
    ovk_platform_request_autostart();
}

void on_permissions(int, void* user) {
    ovk_gui_request_permissions(static_cast<OVK_GUI*>(user));
}

}  // namespace
