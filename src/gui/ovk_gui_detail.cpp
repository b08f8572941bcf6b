// SPDX-License-Identifier: GPL-3.0-or-later
// The device detail screen.
//
// Index
//   1. State
//   2. Build: the head, the action buttons, the document view
//   3. Refresh: the document, the buttons, the head's drawing
//   4. Commands: show and the actions
#include "ovk_gui_detail.h"

#include <allegro5/allegro_primitives.h>
#include <time.h>

#include <algorithm>
#include <any>
#include <cmath>
#include <cstdarg>
#include <optional>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_geo.h"
#include "ovk_gui_port.h"
#include "ovk_intel.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

constexpr size_t kMatchesMax = 200;       // logged matches listed for one device
constexpr size_t kCodeValueMax = 1039;    // characters of a value shown in code style
constexpr int64_t kGraphSpanMs = 120000;  // the signal graph's time span

struct DETAIL {
    // The device as the engine port last read it (`read_mac`: none yet for another address):
    // its registry snapshot (absent when not in range), its remembered record, the user's
    // marks, and the match log's change counter at that moment.
    std::string read_mac;
    std::optional<OVK_DEVICE> dev;
    std::optional<OVK_KNOWN> known;
    bool whitelisted = false;
    bool favorite = false;
    std::optional<std::string> watch_key;  // the user's watchlist entry for it, if any
    uint64_t log_seen = 0;
    // The address the reading was last asked for, when, and the port's serial taken.
    std::string device_asked;
    double device_asked_s = 0;
    uint64_t device_taken = 0;

    // Logged matches of `matches_mac`, newest first, as the engine port last made them; the
    // address and the log's serial they were last asked for, and the port's serial taken.
    std::vector<OVK_DETECTION> matches;
    std::string matches_mac;
    bool matches_loaded = false;
    std::string asked_mac;
    uint64_t asked_log = 0;
    uint64_t taken = 0;

    // The document view: the hash of its text and the address the text is about.
    std::string doc;
    uint32_t hash = 0;
    std::string view_mac;
    std::string shown_mac;  // the device the screen was last opened on
    float keep_scroll = 0;  // where the reader was, carried over a rebuild

    bool narrow = false;  // the graph goes below the text
    int head = -1, view = -1;
    int b_locate = -1, b_watch = -1, b_white = -1, b_fav = -1, b_copy = -1;
    int b_report = -1, b_drone = -1, b_operator = -1;
    // Where the buttons start, the pop-up's client size, and which buttons the row holds now
    // (bit i for kButtons[i]; -1 before the first layout).
    float buttons_y = 0, client_w = 0, client_h = 0;
    int placed = -1;
};

DETAIL& st() {
    static DETAIL d;
    return d;
}

// The name the device goes by: advertised, else remembered.
std::string device_name(const DETAIL& s) {
    if (s.dev && !s.dev->name.empty()) return s.dev->name;
    if (s.known) return s.known->name;
    return {};
}

std::string device_vendor(const DETAIL& s) {
    if (s.dev && !s.dev->vendor.empty()) return s.dev->vendor;
    if (s.known) return s.known->vendor;
    return {};
}

std::string device_type(const DETAIL& s) {
    if (s.dev && !s.dev->device_type.empty()) return s.dev->device_type;
    if (s.known) return s.known->device_type;
    return {};
}

const OVK_HIT* best_hit(const DETAIL& s) {
    return s.dev ? ovk_device_best(*s.dev) : nullptr;
}

std::string local_time(int64_t ms, const char* fmt) {
    const time_t t = static_cast<time_t>(ms / 1000);
    struct tm tm {};
    localtime_r(&t, &tm);
    char b[64];
    if (!strftime(b, sizeof b, fmt, &tm)) return {};
    return b;
}

// The user's own watchlist entry for this address or its address block.
std::optional<std::string> user_watch_key(const std::string& mac) {
    if (mac.empty()) return std::nullopt;
    const std::string block = mac.substr(0, 8);
    for (const OVK_OUI_ENTRY& e : ovk_watchlist_custom())
        if (e.prefix == mac || e.prefix == block) return e.prefix;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void draw_head(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT* font, void* user);
void on_locate(int, void* user);
void on_watch(int, void* user);
void on_whitelist(int, void* user);
void on_favorite(int, void* user);
void on_copy(int, void* user);
void on_report(int, void* user);
void update_buttons(OVK_GUI* g, DETAIL& s);
void on_drone_map(int, void* user);
void on_operator_map(int, void* user);

// The actions, in row order; a button that changes its label is as wide as its longer one.
struct BUTTON {
    int DETAIL::*id;
    const char* label;
    const char* wide;
    const char* tip;
    ZQ_GUI_CLICK_FN fn;
};
constexpr BUTTON kButtons[] = {
    {&DETAIL::b_locate, "Locate", "Stop locate",
     "Beeps faster as the signal gets stronger: walk around to find the device", on_locate},
    {&DETAIL::b_watch, "Add to watchlist", "Remove from watchlist",
     "Always flag this address (or remove your entry)", on_watch},
    {&DETAIL::b_white, "Whitelist", "Un-whitelist",
     "Trust this device: it is never flagged and never alerts", on_whitelist},
    {&DETAIL::b_fav, "Favorite", "* Favorite", "Star the device so the Favorites filter shows it",
     on_favorite},
    {&DETAIL::b_copy, "Copy report", "Copy report", "Copy everything shown here to the clipboard",
     on_copy},
    {&DETAIL::b_report, "Report unknown device", "Report unknown device",
     "Share a privacy-safe signature so this equipment can be added", on_report},
    {&DETAIL::b_drone, "Drone on map", "Drone on map",
     "Show the drone's broadcast position on the map", on_drone_map},
    {&DETAIL::b_operator, "Operator on map", "Operator on map",
     "Show the operator / takeoff position on the map", on_operator_map},
};
constexpr int kButtonCount = static_cast<int>(std::size(kButtons));

float text_w(const ALLEGRO_FONT* f, const char* t) {
    return f ? static_cast<float>(al_get_text_width(f, t)) : 0;
}

}  // namespace

void ovk_detail_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    DETAIL& s = st();
    s.head = s.view = -1;
    for (const BUTTON& b : kButtons) s.*b.id = -1;
    s.placed = -1;
    s.hash = 0;
    s.view_mac.clear();
    const int win = ovk_gui_popup_window(g, OVK_POP_DETAIL, "Device details", 860, 900);
    if (win < 0) return;
    zq_gui_window_set_flags(
        g->ctx, win, ZQ_GUI_WIN_CLOSE_BTN | (ovk_platform_uses_touch() ? ZQ_GUI_WIN_FLAG_40 : 0));
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_DETAIL, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    s.narrow = cw < ovk_px(g, 560);
    const float head_h = ovk_px(g, 190) + (s.narrow ? ovk_px(g, 90) : 0);
    s.head = zq_gui_add_custom(g->ctx, win, p, p, cw - 2 * p, head_h, draw_head, g);

    // The actions: placed in a wrapping row by place_buttons, which shows those that apply.
    s.buttons_y = p + head_h + p;
    s.client_w = cw;
    s.client_h = ch;
    for (const BUTTON& b : kButtons) {
        const float bw = std::max(text_w(g->font, b.label), text_w(g->font, b.wide)) + 3 * p;
        s.*b.id = zq_gui_add_button(g->ctx, win, p, s.buttons_y, bw, r, b.label, 1, b.fn, g);
        zq_gui_set_widget_tooltip(g->ctx, s.*b.id, b.tip);
    }

    const float vy = s.buttons_y + r + p;
    ZQ_GUI_MD_FONTS fonts;
    fonts.regular = g->font;
    fonts.bold = g->font_bold;
    fonts.mono = g->font_mono;
    fonts.h1 = g->font_title;
    fonts.h2 = g->font_big;
    s.view =
        zq_gui_add_markdownview(g->ctx, win, p, vy, cw - 2 * p, std::max(r, ch - vy - p), fonts);
    update_buttons(g, s);

    // After a rebuild the device shown before is shown again, where the reader was.
    if (!g->sel_mac.empty()) {
        const float keep = s.keep_scroll;
        ovk_detail_refresh(g);
        zq_gui_markdownview_scroll_to(g->ctx, s.view, keep);
        s.keep_scroll = zq_gui_markdownview_get_scroll(g->ctx, s.view);
    }
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

namespace {

// Text that the markdown would read as markup goes in code style: one line, backticks
// turned into apostrophes, at most kCodeValueMax characters.
bool is_markup(std::string_view v) {
    return v.find_first_of("*_`[]|#<>") != std::string_view::npos;
}

std::string one_line(std::string_view v) {
    std::string out(v);
    for (char& c : out)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return out;
}

std::string code_style(std::string_view v) {
    std::string out = one_line(v);
    std::replace(out.begin(), out.end(), '`', '\'');
    size_t chars = 0, i = 0;
    for (; i < out.size() && chars < kCodeValueMax; ++chars) {
        const size_t n = ovk_utf8_seq_len(out, i);
        i += n ? n : 1;
    }
    out.resize(i);
    return "`" + out + "`";
}

void line(std::string& doc, std::string_view key, std::string_view value) {
    doc += "- **";
    doc += is_markup(key) ? code_style(key) : one_line(key);
    doc += ":** ";
    doc += is_markup(value) ? code_style(value) : one_line(value);
    doc += '\n';
}

void line_if(std::string& doc, std::string_view key, std::string_view value) {
    if (!value.empty()) line(doc, key, value);
}

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    std::string s = ovk_vformat(2048, f, ap);
    va_end(ap);
    return s;
}

bool is_spoof_fact(const OVK_FACT& f) {
    return f.key == OVK_RIDCHECK_FACT;
}

void why_flagged(std::string& doc, const OVK_DEVICE& d) {
    doc += "## Why it's flagged\n\n";
    if (d.hits.empty()) {
        line(doc, "Result", "Not flagged - no watchlist entry or equipment signature matched.");
    }
    for (const OVK_HIT& h : d.hits) {
        line(doc, h.label,
             fmt("%s - %s (%d%%)", ovk_cat_title(h.category),
                 ovk_tier_label(ovk_tier_of(h.confidence)), h.confidence));
        line(doc, "Evidence", h.evidence);
        line(doc, "Source", h.source);
    }
    doc += '\n';
}

void identity(std::string& doc, const DETAIL& s, const std::string& mac) {
    doc += "## Identity\n\n";
    line_if(doc, "Device type", device_type(s));
    const bool wifi = s.dev ? s.dev->source == OVK_SRC_WIFI : false;
    line_if(doc, wifi ? "Network name (SSID)" : "Advertised name", device_name(s));
    if (const char* reg = ovk_vendor_mac(mac)) line(doc, "Address registrant (IEEE)", reg);
    if (!s.dev) {
        doc += '\n';
        return;
    }
    const OVK_DEVICE& d = *s.dev;
    const OVK_ADVERT* a = d.advert.get();
    if (a) {
        for (const OVK_MFG& m : a->mfg) {
            const char* company = ovk_vendor_company(m.cid);
            line(doc, "Bluetooth company",
                 fmt("%s (0x%04X)", company ? company : "Unknown", m.cid));
        }
    }
    line(doc, "Address type", ovk_addr_label_checked(d.addr_type, mac));
    if (const auto warning = ovk_addr_warning(d.addr_type, mac)) {
        line(doc, "Address check", *warning);
        line(doc, "Trackability", "Uncertain - may be a mislabelled random address");
    } else {
        line_if(doc, "Trackability", ovk_addr_trackable(d.addr_type));
    }
    const bool ble = d.sources & 1, wf = d.sources & 2;
    line_if(doc, "Radio",
            ble && wf ? "Bluetooth LE + WiFi"
            : ble     ? "Bluetooth LE"
            : wf      ? "WiFi"
                      : "");
    if (a) {
        if (a->connectable >= 0)
            line(doc, "Connectable",
                 a->connectable ? "Yes (accepts connections)" : "No (broadcast only)");
        line_if(doc, "PHY", a->phy);
        if (a->has_tx_power) line(doc, "Advertised TX power", fmt("%d dBm", a->tx_power));
    }
    // Doubts about a Remote ID broadcast are read with the Remote ID section.
    for (const OVK_FACT& f : d.facts)
        if (!(d.rid && is_spoof_fact(f))) line(doc, f.key, f.value);
    doc += '\n';
}

void remote_id(std::string& doc, const OVK_DEVICE& d) {
    if (!d.rid) return;
    const OVK_REMOTE_ID& r = *d.rid;
    doc += "## Drone Remote ID (ASTM F3411)\n\n";
    for (const OVK_FACT& f : d.facts)
        if (is_spoof_fact(f)) line(doc, f.key, f.value);
    line_if(doc, "UAS ID", r.uas_id);
    if (r.id_type) line(doc, "ID type", r.id_type);
    if (r.ua_type) line(doc, "Aircraft type", r.ua_type);
    if (r.status) line(doc, "Status", r.status);
    if (r.has_pos) line(doc, "Drone position", fmt("%.6f, %.6f", r.lat, r.lon));
    if (r.has_alt_geo) line(doc, "Altitude (WGS84)", fmt("%.0f m", r.alt_geo_m));
    if (r.has_height) line(doc, "Height above takeoff/ground", fmt("%.0f m", r.height_m));
    if (r.has_speed)
        line(doc, "Ground speed", fmt("%.1f m/s (%.0f km/h)", r.speed_ms, r.speed_ms * 3.6));
    if (r.has_vspeed) line(doc, "Vertical speed", fmt("%.1f m/s", r.vspeed_ms));
    if (r.has_direction) line(doc, "Heading", fmt("%d deg", r.direction_deg));
    if (r.has_op_pos) line(doc, "Operator position", fmt("%.6f, %.6f", r.op_lat, r.op_lon));
    line_if(doc, "Operator ID", r.operator_id);
    line_if(doc, "Description", r.self_id);
    doc += '\n';
}

void history(std::string& doc, const DETAIL& s, const std::string& mac) {
    doc += "## History\n\n";
    if (s.dev) line(doc, "First heard this session", local_time(s.dev->first_seen, "%H:%M:%S"));
    if (s.known) {
        const OVK_KNOWN& k = *s.known;
        line(doc, "First ever seen", local_time(k.first_seen, "%Y-%m-%d %H:%M"));
        line(doc, "Last seen (saved)", local_time(k.last_seen, "%Y-%m-%d %H:%M"));
        line(doc, "Scanning sessions seen in", fmt("%d", k.sessions));
        line(doc, "Detect count", fmt("%d (at most one per minute)", k.detect_count));
        line_if(doc, "Note", k.note);
    } else {
        line(doc, "History", "First time this address has been heard");
    }
    // The matches show once they have been read for this device.
    const bool have_matches = s.matches_loaded && s.matches_mac == mac;
    if (have_matches) line(doc, "Logged matches", fmt("%zu", s.matches.size()));
    for (const OVK_DETECTION& m : have_matches ? s.matches : std::vector<OVK_DETECTION>{}) {
        const std::string when = local_time(m.timestamp, "%Y-%m-%d %H:%M:%S");
        if (m.has_pos)
            line(doc, when, fmt("%s - %d dBm - %.5f, %.5f", m.label.c_str(), m.rssi, m.lat, m.lon));
        else
            line(doc, when, fmt("%s - %d dBm", m.label.c_str(), m.rssi));
    }
    if (s.dev && s.dev->path.size() > 1) {
        double m = 0;
        for (size_t i = 1; i < s.dev->path.size(); ++i)
            m += ovk_meters_between(s.dev->path[i - 1].lat, s.dev->path[i - 1].lon,
                                    s.dev->path[i].lat, s.dev->path[i].lon);
        line(doc, "Travelled with you", fmt("%.0f m while in range", m));
    }
    doc += '\n';
}

std::string hex(ovk_bytes b) {
    return b.empty() ? std::string("(empty)") : ovk_hex(b, " ");
}

void raw_advert(std::string& doc, const OVK_DEVICE& d) {
    const OVK_ADVERT* a = d.advert.get();
    if (!a) return;
    doc += "## Raw advertisement\n\n";
    for (const OVK_MFG& m : a->mfg) line(doc, fmt("Manufacturer 0x%04X", m.cid), hex(m.data));
    for (const OVK_UUID& u : a->uuids) {
        const int s16 = ovk_uuid_short(u);
        const char* name = s16 >= 0 ? ovk_vendor_uuid16(s16) : nullptr;
        if (s16 < 0)
            line(doc, "Service UUID", ovk_uuid_str(u));
        else if (name)
            line(doc, "Service UUID", fmt("0x%04X (%s)", s16, name));
        else
            line(doc, "Service UUID", fmt("0x%04X", s16));
    }
    for (const OVK_SVCDATA& sd : a->svc) {
        const int s16 = ovk_uuid_short(sd.uuid);
        const char* name = s16 >= 0 ? ovk_vendor_uuid16(s16) : nullptr;
        if (s16 >= 0)
            line(doc, fmt("Service data 0x%04X%s%s", s16, name ? " - " : "", name ? name : ""),
                 hex(sd.data));
        else
            line(doc, fmt("Service data %s", ovk_uuid_str(sd.uuid).c_str()), hex(sd.data));
    }
    for (const OVK_AD& ad : ovk_ad_parse(a->raw, 64))
        line(doc, fmt("AD 0x%02X %s", ad.type, ovk_ad_type_name(ad.type).c_str()), hex(ad.data));
    if (a->source == OVK_SRC_WIFI) {
        line_if(doc, "Capabilities", a->caps.value_or(""));
        std::string ies = fmt("%zu", a->ies.size());
        if (!a->ies.empty()) {
            ies += " (IDs ";
            for (size_t i = 0; i < a->ies.size(); ++i)
                ies += (i ? ", " : "") + std::to_string(a->ies[i].id);
            ies += ")";
        }
        line(doc, "Information elements", ies);
    }
    doc += '\n';
}

std::string document(const DETAIL& s, const std::string& mac) {
    std::string doc;
    if (s.dev) why_flagged(doc, *s.dev);
    identity(doc, s, mac);
    if (s.dev) remote_id(doc, *s.dev);
    history(doc, s, mac);
    if (s.dev) raw_advert(doc, *s.dev);
    return doc;
}

uint32_t djb2(std::string_view t) {
    uint32_t h = 5381;
    for (unsigned char c : t) h = h * 33 + c;
    return h;
}

// The logged matches of one device, made by the engine port.
struct DETAIL_MATCHES {
    std::string mac;
    std::vector<OVK_DETECTION> matches;
};
constexpr std::string_view kMatchesView = "detail.matches";

// Asks the port for the matches of `mac` as the log is now (it was at `log` when last seen).
void ask_matches(OVK_GUI* g, DETAIL& s, const std::string& mac, uint64_t log) {
    s.asked_mac = mac;
    s.asked_log = log;
    ovk_port_ask(g, kMatchesView, [mac] {
        return std::any(DETAIL_MATCHES{mac, ovk_store_detections_of(mac, kMatchesMax)});
    });
}

// Takes the matches the port made since the last look.
void take_matches(OVK_GUI* g, DETAIL& s) {
    const uint64_t serial = ovk_port_serial(g, kMatchesView);
    if (serial == s.taken) return;
    s.taken = serial;
    const auto* v = std::any_cast<DETAIL_MATCHES>(ovk_port_view(g, kMatchesView));
    if (!v) return;
    s.matches = v->matches;
    s.matches_mac = v->mac;
    s.matches_loaded = true;
}

// One reading of a device, made by the engine port.
struct DETAIL_DEVICE {
    std::string mac;
    std::optional<OVK_DEVICE> dev;
    std::optional<OVK_KNOWN> known;
    bool whitelisted = false;
    bool favorite = false;
    std::optional<std::string> watch_key;
    uint64_t log = 0;
};
constexpr std::string_view kDeviceView = "detail.device";
constexpr double kReadEvery = 0.4;  // seconds between readings while the screen is open

// Asks the port to read `mac` as the engine holds it now.
void ask_device(OVK_GUI* g, DETAIL& s, const std::string& mac) {
    s.device_asked = mac;
    s.device_asked_s = g->now_s;
    ovk_port_ask(g, kDeviceView, [mac] {
        DETAIL_DEVICE d;
        d.mac = mac;
        d.log = ovk_store_log_serial();
        d.dev = ovk_registry_get(mac);
        d.known = ovk_store_known_get(mac);
        d.whitelisted = ovk_store_is_whitelisted(mac) == 1;
        d.favorite = ovk_store_is_favorite(mac) == 1;
        d.watch_key = user_watch_key(mac);
        return std::any(std::move(d));
    });
}

// Takes the reading the port made since the last look, when it is of `mac`.
void take_device(OVK_GUI* g, DETAIL& s, const std::string& mac) {
    const uint64_t serial = ovk_port_serial(g, kDeviceView);
    if (serial == s.device_taken) return;
    s.device_taken = serial;
    const auto* v = std::any_cast<DETAIL_DEVICE>(ovk_port_view(g, kDeviceView));
    if (!v || v->mac != mac) return;
    s.read_mac = v->mac;
    s.dev = v->dev;
    s.known = v->known;
    s.whitelisted = v->whitelisted;
    s.favorite = v->favorite;
    s.watch_key = v->watch_key;
    s.log_seen = v->log;
}

// Forgets the reading of another device than `mac`.
void forget_other(DETAIL& s, const std::string& mac) {
    if (s.read_mac == mac) return;
    s.read_mac.clear();
    s.dev.reset();
    s.known.reset();
    s.whitelisted = s.favorite = false;
    s.watch_key.reset();
}

// Which buttons apply to the device as last read (bit i for kButtons[i]). Reporting is for a
// device in range that nothing matched; the map buttons need the map and a broadcast position.
int shown_buttons(const DETAIL& s) {
    const bool has_map = ovk_gui_has_screen(OVK_POP_MAP);
    const bool rid = s.dev && s.dev->rid;
    int mask = 0;
    for (int i = 0; i < kButtonCount; ++i) {
        const int DETAIL::*id = kButtons[i].id;
        bool on = true;
        if (id == &DETAIL::b_report)
            on =
                ovk_gui_has_screen(OVK_POP_REPORT) && s.dev && s.dev->advert && s.dev->hits.empty();
        else if (id == &DETAIL::b_drone)
            on = has_map && rid && s.dev->rid->has_pos;
        else if (id == &DETAIL::b_operator)
            on = has_map && rid && s.dev->rid->has_op_pos;
        if (on) mask |= 1 << i;
    }
    return mask;
}

// The shown buttons in a wrapping row, and the document below the last row.
void place_buttons(OVK_GUI* g, DETAIL& s, int mask) {
    ZQ_GUI_CTX* c = g->ctx;
    const float p = ovk_pad(g), r = ovk_row_h(g);
    std::vector<ZQ_GUI_ROW_ITEM> row;
    for (int i = 0; i < kButtonCount; ++i) {
        const int id = s.*kButtons[i].id;
        zq_gui_set_widget_visible(c, id, (mask & (1 << i)) != 0);
        row.push_back({id});
    }
    const float below =
        zq_gui_place_rows(c, row, p, s.buttons_y, s.client_w - 2 * p, r, p / 2, p / 2);
    const float vy = std::max(below, s.buttons_y + r) + p;
    zq_gui_set_widget_rect(c, s.view, p, vy, s.client_w - 2 * p, std::max(r, s.client_h - vy - p));
    s.placed = mask;
}

void update_buttons(OVK_GUI* g, DETAIL& s) {
    ZQ_GUI_CTX* c = g->ctx;
    if (const int mask = shown_buttons(s); mask != s.placed) place_buttons(g, s, mask);
    zq_gui_button_set_label(c, s.b_locate, g->locate ? "Stop locate" : "Locate");
    zq_gui_set_widget_enabled(c, s.b_locate, s.dev.has_value());
    zq_gui_button_set_label(c, s.b_watch,
                            s.watch_key ? "Remove from watchlist" : "Add to watchlist");
    zq_gui_button_set_label(c, s.b_white, s.whitelisted ? "Un-whitelist" : "Whitelist");
    zq_gui_button_set_label(c, s.b_fav, s.favorite ? "* Favorite" : "Favorite");
    // What the device's marks and report are is known once its first reading is in.
    const bool read = s.read_mac == g->sel_mac;
    for (int DETAIL::*id : {&DETAIL::b_watch, &DETAIL::b_white, &DETAIL::b_fav, &DETAIL::b_copy})
        zq_gui_set_widget_enabled(c, s.*id, read);
}

}  // namespace

std::string ovk_detail_title(const OVK_GUI* g) {
    OVK_CHECK(g, std::string());
    const DETAIL& s = st();
    std::string title;
    if (s.dev)
        title = ovk_device_title(*s.dev);
    else if (s.known)
        title = !s.known->name.empty() ? s.known->name : s.known->device_type;
    return title.empty() ? std::string("Device") : title;
}

void ovk_detail_refresh(OVK_GUI* g) {
    OVK_CHECK(g);
    DETAIL& s = st();
    if (!g->ctx || g->popup[OVK_POP_DETAIL] < 0 || s.view < 0) return;
    try {
        const std::string& mac = g->sel_mac;
        take_device(g, s, mac);
        forget_other(s, mac);
        // Read again while the screen is open; not on every arrival, which would keep the
        // engine port reading without a pause.
        if (!mac.empty() && (s.device_asked != mac || g->now_s - s.device_asked_s >= kReadEvery ||
                             g->now_s < s.device_asked_s))
            ask_device(g, s, mac);
        take_matches(g, s);
        // The log changed (a match logged, the history cleared or pruned): read them again.
        if (!mac.empty() && s.read_mac == mac && (s.asked_mac != mac || s.log_seen != s.asked_log))
            ask_matches(g, s, mac, s.log_seen);

        // Until the first reading of this device arrives, the page stays empty.
        std::string doc = s.read_mac == mac ? document(s, mac) : std::string();
        const uint32_t h = djb2(doc);
        if (h != s.hash || s.view_mac != mac) {
            // The reader stays where they were while the same device's facts move on.
            const float at =
                s.view_mac == mac ? zq_gui_markdownview_get_scroll(g->ctx, s.view) : 0.0f;
            zq_gui_markdownview_set_text(g->ctx, s.view, doc);
            if (at > 0) zq_gui_markdownview_scroll_to(g->ctx, s.view, at);
            s.hash = h;
            s.view_mac = mac;
        }
        s.doc = std::move(doc);
        s.keep_scroll = zq_gui_markdownview_get_scroll(g->ctx, s.view);
        if (!s.dev && s.read_mac == mac) g->locate = false;
        update_buttons(g, s);
        g->redraw = true;
    } catch (const std::exception& e) {
        zq_log(LOG_ERR, "device details: %s", e.what());
    }
}

std::string ovk_detail_presence(const OVK_GUI* g, int64_t now) {
    OVK_CHECK(g, std::string());
    const DETAIL& s = st();
    // Before the first reading of this device nothing is known of it yet.
    if (s.read_mac != g->sel_mac) return "Reading...";
    if (s.dev) {
        const OVK_DEVICE& d = *s.dev;
        if (d.following) return "! Has been moving with you";
        const int64_t ago = now - d.last_seen;
        const std::string heard = ago < 2000 ? std::string("just now")
                                             : fmt("%llds ago", static_cast<long long>(ago / 1000));
        return fmt("In range - heard %s - %d packets received", heard.c_str(), d.sightings);
    }
    if (s.known)
        return "Not in range right now - last heard " + ovk_age_text(now, s.known->last_seen);
    return "Not currently heard";
}

const char* ovk_detail_trend(std::span<const OVK_RSSI_SAMPLE> h, int rssi) {
    if (h.size() < 2) return "  - steady";
    const size_t n = std::min<size_t>(5, h.size() - 1);
    double sum = 0;
    for (size_t i = h.size() - 1 - n; i < h.size() - 1; ++i) sum += h[i].rssi;
    const double mean = sum / static_cast<double>(n);
    if (rssi > mean + 3) return "  ^ getting closer";
    if (rssi < mean - 3) return "  v moving away";
    return "  - steady";
}

namespace {

float line_h(const ALLEGRO_FONT* f) {
    return f ? static_cast<float>(al_get_font_line_height(f)) : 0;
}

// `fg`, moved towards the text colour until it reads on the panel: some themes' primary
// colour is made for filling buttons, and the warning colours for fills.
ALLEGRO_COLOR readable(const OVK_GUI* g, ALLEGRO_COLOR fg, double ratio = OVK_CONTRAST_TEXT) {
    return ovk_theme_readable(g, fg, g->pal.panel, ratio);
}

// The signal graph: the last two minutes of readings in a rounded box.
void draw_graph(OVK_GUI* g, const DETAIL& s, float x, float y, float w, float h) {
    const float sc = g->scale, p = ovk_pad(g);
    al_draw_rounded_rectangle(x, y, x + w, y + h, p, p, g->pal.border, 1 * sc);
    const float ix = x + p, iw = w - 2 * p;
    const float cap_h = line_h(g->font_small) + p / 2;
    const float iy = y + p / 2 + cap_h, ih = h - p - cap_h;
    if (iw <= 0 || ih <= 0) return;
    const auto y_of = [&](int rssi) {
        const float f = static_cast<float>(std::clamp(rssi, -100, -30) + 100) / 70.0f;
        return iy + ih - f * ih;
    };
    for (int db = -90; db <= -40; db += 10)
        al_draw_line(ix, y_of(db), ix + iw, y_of(db), g->pal.panel_hi, 1 * sc);
    ovk_draw_text_clip(g->font_small, g->pal.dim, ix, y + p / 2, iw, "Signal, last 2 min");
    if (!s.dev || s.dev->history.empty()) return;
    const int64_t now = std::max(ovk_now_ms(), s.dev->history.back().time);
    const int64_t from = now - kGraphSpanMs;
    std::vector<float> pts;
    for (const OVK_RSSI_SAMPLE& r : s.dev->history) {
        if (r.time < from) continue;
        pts.push_back(ix + static_cast<float>(r.time - from) / kGraphSpanMs * iw);
        pts.push_back(y_of(r.rssi));
    }
    if (pts.size() >= 4)
        al_draw_polyline(reinterpret_cast<const float*>(pts.data()), 2 * sizeof(float),
                         static_cast<int>(pts.size() / 2), ALLEGRO_LINE_JOIN_ROUND,
                         ALLEGRO_LINE_CAP_ROUND, g->pal.scope, 2 * sc, 1);
    if (pts.size() >= 2)
        al_draw_filled_circle(pts[pts.size() - 2], pts.back(), 3 * sc, g->pal.trace);
}

void draw_head(ZQ_GUI_WIDGET* w, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const DETAIL& s = st();
    const float p = ovk_pad(g);
    const float W = w->w, H = w->h;
    const float text_h = s.narrow ? H - ovk_px(g, 90) : H;
    const float graph_w = s.narrow ? W : std::min(ovk_px(g, 300), W * 0.4f);
    const float tw = s.narrow ? W : W - graph_w - 2 * p;

    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    const float clip_r = std::min<float>(cx + cw, x + tw),
                clip_b = std::min<float>(cy + ch, y + text_h);
    al_set_clipping_rectangle(cx, cy, std::max(0, static_cast<int>(clip_r) - cx),
                              std::max(0, static_cast<int>(clip_b) - cy));
    al_hold_bitmap_drawing(true);
    float ty = y;

    // Badge.
    const OVK_HIT* best = best_hit(s);
    if (s.whitelisted) {
        ovk_draw_badge(g, g->font_small, x, ty, tw, "WHITELISTED - trusted",
                       ovk_ink(g, 0xFF6B7B80));
        ty += ovk_badge_h(g, g->font_small) + p / 2;
    } else if (best) {
        const OVK_TIER tier = ovk_tier_of(best->confidence);
        const ALLEGRO_COLOR fill = tier == OVK_TIER_WEAK
                                       ? ovk_ink(g, 0xFFB26A00)
                                       : ovk_ink(g, ovk_cat_color(best->category));
        ovk_draw_badge(g, g->font_small, x, ty, tw,
                       fmt("%s - %s %d%%", ovk_cat_tag(best->category), ovk_tier_label(tier),
                           best->confidence),
                       fill);
        ty += ovk_badge_h(g, g->font_small) + p / 2;
    }

    // Title, at most two lines, and the address line.
    const std::string title = ovk_detail_title(g);
    std::string wrapped = ovk_wrap_text(g->font_big, tw, title);
    if (size_t nl = wrapped.find('\n'); nl != std::string::npos) {
        if (size_t nl2 = wrapped.find('\n', nl + 1); nl2 != std::string::npos) wrapped.resize(nl2);
    }
    ty += ovk_draw_text_wrap(g->font_big, g->pal.text, x, ty, tw, wrapped);
    std::string vendor = device_vendor(s);
    if (vendor.empty())
        if (const char* reg = ovk_vendor_mac(g->sel_mac)) vendor = reg;
    ovk_draw_text_clip(g->font_small, g->pal.dim, x, ty, tw,
                       vendor.empty() ? g->sel_mac : g->sel_mac + "  -  " + vendor);
    ty += line_h(g->font_small) + p / 2;

    const int64_t now = ovk_now_ms();
    if (s.dev) {
        const OVK_DEVICE& d = *s.dev;
        if (d.following)
            ovk_draw_text_clip(g->font_bold, readable(g, ovk_ink(g, 0xFFB3261E)), x, ty, tw,
                               ovk_detail_presence(g, now));
        else
            ovk_draw_text_clip(g->font, g->pal.text, x, ty, tw, ovk_detail_presence(g, now));
        ty += line_h(g->font) + p / 2;
        const std::string num = fmt("%d", d.rssi);
        al_draw_text(g->font_title, readable(g, g->pal.primary, OVK_CONTRAST_LARGE), x, ty, 0,
                     num.c_str());
        const float nx = x + text_w(g->font_title, num.c_str()) + p / 2;
        const std::string l1 =
            fmt("dBm - %s%s", ovk_band(d.rssi), ovk_detail_trend(d.history, d.rssi));
        const std::string l2 =
            fmt("%s (rough) - best %d dBm", ovk_format_distance(d.distance_m).c_str(), d.best_rssi);
        ovk_draw_text_clip(g->font, g->pal.text, nx, ty, x + tw - nx, l1);
        ovk_draw_text_clip(g->font, g->pal.dim, nx, ty + line_h(g->font), x + tw - nx, l2);
        ty += std::max(line_h(g->font_title), 2 * line_h(g->font)) + p / 2;
        // A drone whose broadcast contradicts itself says so up here too, on up to two lines
        // (the whole reason is in the document).
        for (const OVK_FACT& f : d.facts) {
            if (!is_spoof_fact(f)) continue;
            std::string text = ovk_wrap_text(g->font_bold, tw, "! " + f.key + ": " + f.value);
            const size_t nl = text.find('\n');
            const size_t nl2 = nl == std::string::npos ? nl : text.find('\n', nl + 1);
            const ALLEGRO_COLOR c = readable(g, ovk_ink(g, 0xFFB26A00));
            if (nl2 == std::string::npos) {
                ty += ovk_draw_text_wrap(g->font_bold, c, x, ty, tw, text) + p / 4;
            } else {
                ovk_draw_text_clip(g->font_bold, c, x, ty, tw, text.substr(0, nl));
                ty += line_h(g->font_bold);
                // The rest, cut with an ellipsis on the second line.
                std::string rest = text.substr(nl + 1);
                std::replace(rest.begin(), rest.end(), '\n', ' ');
                ovk_draw_text_clip(g->font_bold, c, x, ty, tw, rest);
                ty += line_h(g->font_bold) + p / 4;
            }
            break;
        }
        if (g->locate)
            ovk_draw_text_clip(g->font_bold, g->pal.secondary, x, ty, tw,
                               "LOCATE: beeps faster as you get closer");
    } else {
        ovk_draw_text_clip(g->font, g->pal.dim, x, ty, tw, ovk_detail_presence(g, now));
    }
    al_hold_bitmap_drawing(false);
    al_set_clipping_rectangle(cx, cy, cw, ch);

    if (s.narrow)
        draw_graph(g, s, x, y + text_h, W, H - text_h);
    else
        draw_graph(g, s, x + W - graph_w, y, graph_w, H);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

void ovk_detail_show(OVK_GUI* g, std::string_view mac) {
    OVK_CHECK(g && !mac.empty());
    DETAIL& s = st();
    g->sel_mac = std::string(mac.substr(0, OVK_MAC_MAX));
    // Another device than the screen showed last (whoever selected it).
    if (g->sel_mac != s.shown_mac) {
        g->locate = false;
        s.hash = 0;
        s.shown_mac = g->sel_mac;
    }
    // Every opening reads the device and its matches as they are now.
    ask_device(g, s, g->sel_mac);
    ask_matches(g, s, g->sel_mac, s.log_seen);
    if (g->popup[OVK_POP_DETAIL] < 0) ovk_detail_build(g);
    ovk_detail_refresh(g);
    zq_gui_markdownview_scroll_to(g->ctx, s.view, 0);
    s.keep_scroll = 0;
    ovk_gui_open_popup(g, OVK_POP_DETAIL);
}

void ovk_detail_show_selected(OVK_GUI* g) {
    OVK_CHECK(g);
    if (g->subject.kind == OVK_SUBJECT_DEVICE && !g->subject.mac.empty())
        ovk_detail_show(g, g->subject.mac);
    else if (!g->sel_mac.empty())
        ovk_detail_show(g, g->sel_mac);
}

namespace {

void on_locate(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (!st().dev) return;
    g->locate = !g->locate;
    g->locate_next_tick = 0;  // the first tick right away
    ovk_detail_refresh(g);
}

void on_watch(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    DETAIL& s = st();
    if (s.read_mac != g->sel_mac) return;  // not read yet: which it would be is not known
    if (s.watch_key) {
        ovk_port_unwatch(g, *s.watch_key);
        ask_device(g, s, g->sel_mac);  // read after the change: the button follows
    } else {
        const OVK_HIT* best = best_hit(s);
        ovk_gui_show_on(g, OVK_POP_WATCH_ADD,
                        ovk_subject_device(g->sel_mac, best ? best->label : device_name(s),
                                           s.dev ? s.dev->addr_type : OVK_ADDR_UNKNOWN));
    }
    ovk_detail_refresh(g);
}

void on_whitelist(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    DETAIL& s = st();
    if (s.read_mac != g->sel_mac) return;
    ovk_port_whitelist(g, g->sel_mac, !s.whitelisted, device_name(s));
    ask_device(g, s, g->sel_mac);
}

void on_favorite(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    DETAIL& s = st();
    if (s.read_mac != g->sel_mac) return;
    ovk_port_favorite(g, g->sel_mac, !s.favorite, device_name(s), device_vendor(s), device_type(s));
    ask_device(g, s, g->sel_mac);
}

void on_copy(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    ovk_detail_refresh(g);
    if (st().read_mac != g->sel_mac) return;  // nothing to copy until the first reading
    ovk_gui_copy(g, "Orvik device report: " + g->sel_mac + "\n\n" + st().doc);
}

void on_report(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    ovk_gui_show_on(g, OVK_POP_REPORT, ovk_subject_device(g->sel_mac));
}

void on_drone_map(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const DETAIL& s = st();
    if (s.dev && s.dev->rid && s.dev->rid->has_pos)
        ovk_gui_show_on(g, OVK_POP_MAP, ovk_subject_place(17, s.dev->rid->lat, s.dev->rid->lon));
}

void on_operator_map(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const DETAIL& s = st();
    if (s.dev && s.dev->rid && s.dev->rid->has_op_pos)
        ovk_gui_show_on(g, OVK_POP_MAP,
                        ovk_subject_place(17, s.dev->rid->op_lat, s.dev->rid->op_lon));
}

}  // namespace
