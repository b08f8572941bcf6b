// SPDX-License-Identifier: GPL-3.0-or-later
// The watchlist, add-to-watchlist and whitelist screens.
//
// Index
//   1. State
//   2. Build: watchlist, add dialog, whitelist
//   3. Refresh: the grids and the preset boxes
//   4. Commands: watchlist, add dialog, whitelist
#include "ovk_gui_watchlist.h"

#include <time.h>

#include <algorithm>
#include <any>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "ovk_app_util.h"
#include "ovk_gui_port.h"
#include "ovk_platform.h"
#include "ovk_store.h"
#include "ovk_vendordb.h"
#include "ovk_watchlist.h"
#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

constexpr int kKeyMax = 90;         // characters of the key field
constexpr int kLabelMax = 150;      // characters of a label field
constexpr size_t kRawKeyMax = 119;  // bytes of a key with its "name:" / "vendor:" tag

const char* const kKinds[] = {"Address", "Name has", "Maker has"};
const char* const kKindTags[] = {"", "name:", "vendor:"};

const char* const kRandomWarning =
    "This is a randomized (private) address: it may change later, and its prefix is not a real "
    "vendor, so prefix matching is disabled. Tip: add a name rule in Watchlist & rules instead.";

// The grids' rows as the engine port made them, with the change counter read before they were
// copied: rows made before a later change are asked for again.
struct WATCH_ROWS {
    uint64_t serial = 0;
    std::vector<OVK_OUI_ENTRY> all;
};
struct TRUSTED_ROWS {
    uint64_t serial = 0;
    std::vector<OVK_WHITELIST_ENTRY> all;
};
constexpr std::string_view kRowsView = "watchlist.rows";
constexpr std::string_view kTrustedView = "whitelist.rows";

struct WATCH_SCREENS {
    // What the grids show.
    std::vector<OVK_OUI_ENTRY> entries;
    std::vector<OVK_WHITELIST_ENTRY> trusted;
    // The change counters the rows were last asked at, and the port's serials taken.
    uint64_t rows_asked = 0, rows_taken = 0;
    uint64_t trusted_asked = 0, trusted_taken = 0;
    // A rule just added: selected once rows newer than `select_after_serial` arrive.
    std::string select_after;
    uint64_t select_after_serial = 0;
    std::string add_mac;       // the address the add dialog is about
    bool add_private = false;  // and whether it is a private (random) address
    // The screens were shown: a rebuild fills them again at once (a resize brings them back
    // open), while a program that never opens them does not pay for their grids.
    bool watchlist_used = false, whitelist_used = false;

    // Watchlist & rules.
    int presets[OVK_PRESET_COUNT] = {-1, -1, -1};
    int kind = -1, key = -1, label = -1, category = -1, add = -1;
    int remove = -1, exp = -1, imp = -1, info = -1, grid = -1;
    // Add to watchlist.
    int choice = -1, warning = -1, add_label = -1, add_ok = -1, add_cancel = -1;
    // Whitelist.
    int wl_info = -1, wl_remove = -1, wl_details = -1, wl_grid = -1;
};

WATCH_SCREENS& st() {
    static WATCH_SCREENS s;
    return s;
}

void take_rows(OVK_GUI* g, bool always);
void take_trusted(OVK_GUI* g, bool always);
void on_preset(int id, void* user);
void on_add(int, void* user);
void on_remove(int, void* user);
void on_export(int, void* user);
void on_import(int, void* user);
void on_add_ok(int, void* user);
void on_add_cancel(int, void* user);
void on_wl_remove(int, void* user);
void on_wl_details(int, void* user);

float text_w(const ALLEGRO_FONT* f, const char* t) {
    return f ? static_cast<float>(al_get_text_width(f, t)) : 0;
}

std::string trimmed(std::string_view t) {
    const size_t a = t.find_first_not_of(" \t\r\n");
    if (a == std::string_view::npos) return {};
    const size_t b = t.find_last_not_of(" \t\r\n");
    return std::string(t.substr(a, b - a + 1));
}

// A wrapping row of buttons from x = p; returns the ids and moves *y below the row.
struct ROW_BUTTON {
    int* id;
    const char* label;
    const char* tip;
    ZQ_GUI_CLICK_FN fn;
};

void button_row(OVK_GUI* g, int win, float cw, float* y, std::initializer_list<ROW_BUTTON> row) {
    const float p = ovk_pad(g), r = ovk_row_h(g);
    float x = p;
    for (const ROW_BUTTON& b : row) {
        const float bw = text_w(g->font, b.label) + 3 * p;
        if (x > p && x + bw > cw - p) {
            x = p;
            *y += r + p / 2;
        }
        *b.id = zq_gui_add_button(g->ctx, win, x, *y, bw, r, b.label, 1, b.fn, g);
        zq_gui_set_widget_tooltip(g->ctx, *b.id, b.tip);
        x += bw + p / 2;
    }
    *y += r + p;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_watchlist_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    WATCH_SCREENS& s = st();
    std::fill(std::begin(s.presets), std::end(s.presets), -1);
    s.kind = s.key = s.label = s.category = s.add = -1;
    s.remove = s.exp = s.imp = s.info = s.grid = -1;
    s.entries.clear();
    const int win = ovk_gui_popup_window(g, OVK_POP_WATCHLIST, "Watchlist & rules", 1100, 860);
    if (win < 0) return;
    ZQ_GUI_CTX* c = g->ctx;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_WATCHLIST, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    float y = p;

    // 1. The regional presets.
    static const char* const kPresetTitles[OVK_PRESET_COUNT] = {"Global preset", "Canada preset",
                                                                "US preset"};
    float x = p;
    for (int i = 0; i < OVK_PRESET_COUNT; ++i) {
        const float w = text_w(g->font, kPresetTitles[i]) + ovk_px(g, 50);
        if (x > p && x + w > cw - p) {
            x = p;
            y += r + p / 2;
        }
        s.presets[i] = zq_gui_add_checkbox(c, win, x, y, w, r, kPresetTitles[i],
                                           g->prefs.preset_enabled[i] != 0, on_preset, g);
        zq_gui_set_widget_tooltip(
            c, s.presets[i],
            "Regional list of law-enforcement vendor prefixes, each citing its registry source");
        x += w + p;
    }
    y += r + p;

    // 2. Rule kind and key.
    const float kind_w = std::max(text_w(g->font, "Maker has") + ovk_px(g, 50), ovk_px(g, 140));
    s.kind = zq_gui_add_combobox(c, win, p, y, kind_w, r, nullptr, nullptr);
    for (const char* k : kKinds) zq_gui_combobox_add_item(c, s.kind, k);
    zq_gui_combobox_set_selected(c, s.kind, 0);
    zq_gui_set_widget_tooltip(
        c, s.kind, "Match by address / prefix, by advertised name or SSID, or by manufacturer");
    s.key = zq_gui_add_textarea(c, win, 2 * p + kind_w, y, cw - 3 * p - kind_w, r, 0, kKeyMax,
                                nullptr, nullptr);
    zq_gui_textarea_set_placeholder(
        c, s.key, "Prefix AA:BB:CC or device AA:BB:CC:DD:EE:FF (or the text to look for)");
    zq_gui_set_widget_tooltip(c, s.key, "What to match; text rules are case-insensitive");
    y += r + p;

    // 3. Label, category and the add button; on a narrow screen the label has a row of its
    // own.
    const float add_w = text_w(g->font, "Add to watchlist") + 3 * p;
    const float cat_w = std::min(ovk_px(g, 260), cw - 3 * p - add_w);
    const bool one_row = cw - 4 * p - add_w - cat_w >= ovk_px(g, 120);
    const float label_w = one_row ? cw - 4 * p - add_w - cat_w : cw - 2 * p;
    s.label = zq_gui_add_textarea(c, win, p, y, label_w, r, 0, kLabelMax, nullptr, nullptr);
    zq_gui_textarea_set_placeholder(c, s.label, "Label (what it is)");
    zq_gui_set_widget_tooltip(c, s.label, "Shown as the match label when the entry matches");
    float cx = 2 * p + label_w;
    if (!one_row) {
        cx = p;
        y += r + p;
    }
    s.category = zq_gui_add_combobox(c, win, cx, y, cat_w, r, nullptr, nullptr);
    zq_gui_combobox_add_item(c, s.category, "Category: your watchlist");
    for (int k = 0; k < OVK_CAT_COUNT; ++k)
        zq_gui_combobox_add_item(c, s.category, ovk_cat_title(k));
    zq_gui_combobox_set_selected(c, s.category, 0);
    zq_gui_set_widget_tooltip(c, s.category, "Category the match is reported under");
    s.add =
        zq_gui_add_button(c, win, cx + cat_w + p, y, add_w, r, "Add to watchlist", 1, on_add, g);
    zq_gui_set_widget_theme(c, s.add, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(
        c, s.add, "Add the entry above (your entries always score 100 unless set otherwise)");
    y += r + p;

    // 4. Removal, export, import.
    button_row(
        g, win, cw, &y,
        {{&s.remove, "Remove selected", "Remove the selected entry (your entries only)", on_remove},
         {&s.exp, "Export yours",
          "Save your entries as JSON (and copy them) to move them to another device", on_export},
         {&s.imp, "Import from clipboard",
          "Merge entries from an exported watchlist JSON in the clipboard", on_import}});

    // 5. What the list holds.
    s.info = zq_gui_add_label(c, win, p, y, cw - 2 * p, 1.4f * r, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(c, s.info, g->font_small);
    y += 1.4f * r + p / 2;

    // 6. Every entry.
    const float gw = cw - 2 * p;
    s.grid = zq_gui_add_datagrid(c, win, p, y, gw, std::max(4 * r, ch - y - p), nullptr, nullptr);
    zq_gui_set_widget_tooltip(c, s.grid, "Every watchlist entry; yours are tinted");
    const float inner = gw - zq_gui_style(c)->scrollbar_size;
    const std::pair<const char*, float> cols[] = {{"Match", 0.18f},
                                                  {"Label", 0.34f},
                                                  {"Category", 0.12f},
                                                  {"Score", 0.06f},
                                                  {"Source", 0.30f}};
    for (const auto& [title, share] : cols)
        zq_gui_datagrid_add_column(c, s.grid, title, inner * share);
    if (s.watchlist_used) take_rows(g, true);
}

void ovk_watch_add_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    WATCH_SCREENS& s = st();
    s.choice = s.warning = s.add_label = s.add_ok = s.add_cancel = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_WATCH_ADD, "Add to watchlist", 560, 330);
    if (win < 0) return;
    ZQ_GUI_CTX* c = g->ctx;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_WATCH_ADD, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    float y = p;
    const float item_h = zq_gui_style(c)->radiolist_default_item_height;
    s.choice = zq_gui_add_radiolist(c, win, p, y, cw - 2 * p, 2 * item_h + p / 2, nullptr, nullptr);
    zq_gui_set_widget_tooltip(c, s.choice, "Watch this exact address, or its whole vendor prefix");
    y += 2 * item_h + p;
    // Room for the warning a randomized address gets; empty otherwise.
    float wh = 0;
    s.warning = ovk_add_wrapped_label(g, win, g->font_small, kRandomWarning, p, y, cw - 2 * p, &wh);
    zq_gui_label_set_text(c, s.warning, "");
    y += wh + p / 2;
    s.add_label = zq_gui_add_textarea(c, win, p, y, cw - 2 * p, r, 0, kLabelMax, nullptr, nullptr);
    zq_gui_textarea_set_placeholder(c, s.add_label, "Label (what this device is)");
    zq_gui_set_widget_tooltip(c, s.add_label, "Shown as the match label");
    y = std::max(y + r + p, ch - r - p);
    const float bw = (cw - 3 * p) / 2;
    s.add_ok = zq_gui_add_button(c, win, p, y, bw, r, "Add", 1, on_add_ok, g);
    zq_gui_set_widget_theme(c, s.add_ok, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(c, s.add_ok,
                              "Add the entry: matching devices are flagged as Your watchlist");
    s.add_cancel = zq_gui_add_button(c, win, 2 * p + bw, y, bw, r, "Cancel", 1, on_add_cancel, g);
    zq_gui_set_widget_tooltip(c, s.add_cancel, "Close without adding");
}

void ovk_whitelist_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    WATCH_SCREENS& s = st();
    s.wl_info = s.wl_remove = s.wl_details = s.wl_grid = -1;
    s.trusted.clear();
    const int win =
        ovk_gui_popup_window(g, OVK_POP_WHITELIST, "Whitelist (trusted devices)", 820, 640);
    if (win < 0) return;
    ZQ_GUI_CTX* c = g->ctx;
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_WHITELIST, &cw, &ch);
    const float p = ovk_pad(g), r = ovk_row_h(g);
    float y = p;
    s.wl_info = zq_gui_add_label(c, win, p, y, cw - 2 * p, 1.6f * r, "", ZQ_GUI_ALIGN_LEFT);
    zq_gui_set_widget_font(c, s.wl_info, g->font_small);
    y += 1.6f * r + p / 2;
    button_row(
        g, win, cw, &y,
        {{&s.wl_remove, "Remove selected", "Stop trusting the selected device", on_wl_remove},
         {&s.wl_details, "Details", "Open the selected device's details", on_wl_details}});
    const float gw = cw - 2 * p;
    s.wl_grid =
        zq_gui_add_datagrid(c, win, p, y, gw, std::max(4 * r, ch - y - p), nullptr, nullptr);
    zq_gui_set_widget_tooltip(c, s.wl_grid, "Trusted devices");
    const float inner = gw - zq_gui_style(c)->scrollbar_size;
    zq_gui_datagrid_add_column(c, s.wl_grid, "Address", inner * 0.25f);
    zq_gui_datagrid_add_column(c, s.wl_grid, "Note", inner * 0.35f);
    zq_gui_datagrid_add_column(c, s.wl_grid, "Registrant", inner * 0.40f);
    if (s.whitelist_used) take_trusted(g, true);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

namespace {

// Refills a grid, keeping the selected row on the same key when it is still there.
template <typename T, typename KEY, typename ROW>
void fill_grid(OVK_GUI* g, int grid, const std::vector<T>& old, const std::vector<T>& now, KEY key,
               ROW row) {
    ZQ_GUI_CTX* c = g->ctx;
    const int sel = zq_gui_datagrid_get_selected(c, grid);
    std::string sel_key;
    if (sel >= 0 && sel < static_cast<int>(old.size())) sel_key = key(old[sel]);
    zq_gui_datagrid_clear_rows(c, grid);
    int keep = -1;
    for (size_t i = 0; i < now.size(); ++i) {
        row(static_cast<int>(i), now[i]);
        if (!sel_key.empty() && keep < 0 && key(now[i]) == sel_key) keep = static_cast<int>(i);
    }
    zq_gui_datagrid_set_selected(c, grid, keep);
}

// Asks the port for every rule as the watchlist is now.
void ask_rows(OVK_GUI* g) {
    st().rows_asked = ovk_watchlist_serial();
    ovk_port_ask(g, kRowsView, [] {
        WATCH_ROWS r;
        r.serial = ovk_watchlist_serial();
        r.all = ovk_watchlist_all();
        return std::any(std::move(r));
    });
}

// Selects the entry with that key and scrolls it into view: a new rule is where the user
// can see it went in.
void show_entry(OVK_GUI* g, const std::string& prefix) {
    WATCH_SCREENS& s = st();
    for (size_t i = 0; i < s.entries.size(); ++i)
        if (s.entries[i].prefix == prefix) {
            zq_gui_datagrid_set_selected(g->ctx, s.grid, static_cast<int>(i));
            zq_gui_datagrid_scroll_to_row(g->ctx, s.grid, static_cast<int>(i));
            return;
        }
}

// Fills the grid with the rows the port made since the last look (always: with the latest,
// after the grid was built anew).
void take_rows(OVK_GUI* g, bool always) {
    WATCH_SCREENS& s = st();
    if (s.grid < 0) return;
    const uint64_t serial = ovk_port_serial(g, kRowsView);
    if (!always && serial == s.rows_taken) return;
    s.rows_taken = serial;
    const auto* v = std::any_cast<WATCH_ROWS>(ovk_port_view(g, kRowsView));
    // Until the rules are read there is nothing to count, nor to remove.
    zq_gui_set_widget_enabled(g->ctx, s.remove, v != nullptr);
    if (!v) {
        ovk_label_set_read(g, s.info, false, {});
        return;
    }
    s.rows_asked = std::max(s.rows_asked, v->serial);
    const std::vector<OVK_OUI_ENTRY>& now = v->all;
    ZQ_GUI_CTX* c = g->ctx;
    int yours = 0;
    fill_grid(
        g, s.grid, s.entries, now, [](const OVK_OUI_ENTRY& e) { return e.prefix; },
        [&](int i, const OVK_OUI_ENTRY& e) {
            const bool own = ovk_oui_is_custom(e) != 0;
            yours += own;
            zq_gui_datagrid_add_row(c, s.grid,
                                    {e.prefix, e.label, ovk_cat_tag(ovk_oui_effective_category(e)),
                                     std::to_string(ovk_oui_effective_score(e)),
                                     own ? std::string("Your entry") : e.source});
            if (own) zq_gui_datagrid_set_row_color(c, s.grid, i, ovk_ink(g, 0x3C285A3Cu));
        });
    s.entries = now;
    ovk_label_set_read(g, s.info, true,
                       ovk_format(256,
                                  "%zu entries (%d yours). Payload signatures (Axon tags, "
                                  "Remote ID, trackers, glasses) are built into the detection "
                                  "engine.",
                                  s.entries.size(), yours));
    if (!s.select_after.empty() && v->serial > s.select_after_serial) {
        show_entry(g, s.select_after);
        s.select_after.clear();
    }
}

void sync_presets(OVK_GUI* g) {
    WATCH_SCREENS& s = st();
    for (int i = 0; i < OVK_PRESET_COUNT; ++i)
        if (zq_gui_checkbox_is_checked(g->ctx, s.presets[i]) != (g->prefs.preset_enabled[i] != 0))
            zq_gui_checkbox_set_checked(g->ctx, s.presets[i], g->prefs.preset_enabled[i] != 0);
}

void ask_trusted(OVK_GUI* g) {
    st().trusted_asked = ovk_store_whitelist_serial();
    ovk_port_ask(g, kTrustedView, [] {
        TRUSTED_ROWS r;
        r.serial = ovk_store_whitelist_serial();
        r.all = ovk_store_whitelist_all();
        return std::any(std::move(r));
    });
}

void take_trusted(OVK_GUI* g, bool always) {
    WATCH_SCREENS& s = st();
    if (s.wl_grid < 0) return;
    const uint64_t serial = ovk_port_serial(g, kTrustedView);
    if (!always && serial == s.trusted_taken) return;
    s.trusted_taken = serial;
    const auto* v = std::any_cast<TRUSTED_ROWS>(ovk_port_view(g, kTrustedView));
    // Until the whitelist is read there is nothing to tell of it, nor to act on.
    zq_gui_set_widget_enabled(g->ctx, s.wl_remove, v != nullptr);
    zq_gui_set_widget_enabled(g->ctx, s.wl_details, v != nullptr);
    if (!v) {
        ovk_label_set_read(g, s.wl_info, false, {});
        return;
    }
    s.trusted_asked = std::max(s.trusted_asked, v->serial);
    const std::vector<OVK_WHITELIST_ENTRY>& now = v->all;
    ZQ_GUI_CTX* c = g->ctx;
    fill_grid(
        g, s.wl_grid, s.trusted, now, [](const OVK_WHITELIST_ENTRY& e) { return e.mac; },
        [&](int, const OVK_WHITELIST_ENTRY& e) {
            const char* reg = ovk_vendor_mac(e.mac);
            zq_gui_datagrid_add_row(c, s.wl_grid, {e.mac, e.note, reg ? reg : ""});
        });
    s.trusted = now;
    ovk_label_set_read(g, s.wl_info, true,
                       s.trusted.empty()
                           ? "No trusted devices yet. Long-press (or right-click) a device in "
                             "the list and choose Whitelist."
                           : "Whitelisted devices are never flagged, never alert and never "
                             "make others look like a patrol car.");
}

}  // namespace

// While open, the screens follow changes made elsewhere (a device whitelisted from its
// details, a preset turned off in the settings), keeping the selection.
void ovk_watchlist_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    sync_presets(g);
    if (ovk_watchlist_serial() != st().rows_asked) ask_rows(g);
    take_rows(g, false);
}

void ovk_whitelist_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (ovk_store_whitelist_serial() != st().trusted_asked) ask_trusted(g);
    take_trusted(g, false);
}

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

void ovk_watchlist_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_WATCHLIST] < 0) ovk_watchlist_build(g);
    st().watchlist_used = true;
    sync_presets(g);
    ask_rows(g);
    take_rows(g, true);
    ovk_gui_open_popup(g, OVK_POP_WATCHLIST);
}

void ovk_whitelist_show(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_WHITELIST] < 0) ovk_whitelist_build(g);
    st().whitelist_used = true;
    ask_trusted(g);
    take_trusted(g, true);
    ovk_gui_open_popup(g, OVK_POP_WHITELIST);
}

void ovk_watch_add_show(OVK_GUI* g, std::string_view mac, std::string_view label,
                        OVK_ADDR_TYPE addr_type) {
    OVK_CHECK(g && g->ctx);
    WATCH_SCREENS& s = st();
    if (g->popup[OVK_POP_WATCH_ADD] < 0) ovk_watch_add_build(g);
    ZQ_GUI_CTX* c = g->ctx;
    s.add_mac = std::string(mac.substr(0, OVK_MAC_MAX));
    // A resolvable private address need not have the locally administered bit set: the
    // device's own address type says more than the bit.
    const bool private_type =
        addr_type == OVK_ADDR_RANDOM_STATIC || addr_type == OVK_ADDR_RESOLVABLE_PRIVATE ||
        addr_type == OVK_ADDR_NON_RESOLVABLE || addr_type == OVK_ADDR_WIFI_LOCAL;
    s.add_private = !s.add_mac.empty() && (private_type || ovk_mac_is_randomized(s.add_mac));
    zq_gui_radiolist_clear(c, s.choice);
    zq_gui_radiolist_add_item(c, s.choice,
                              ovk_format(64, "Only this device (%s)", s.add_mac.c_str()));
    if (!s.add_private)
        zq_gui_radiolist_add_item(
            c, s.choice, ovk_format(64, "Every device with prefix %.8s", s.add_mac.c_str()));
    zq_gui_radiolist_set_selected(c, s.choice, 0);
    ovk_label_set_wrapped(g, s.warning, s.add_private ? kRandomWarning : "");
    zq_gui_textarea_set_text(c, s.add_label, label);
    ovk_gui_open_popup(g, OVK_POP_WATCH_ADD);
}

void ovk_watch_add_show_subject(OVK_GUI* g) {
    OVK_CHECK(g);
    ovk_watch_add_show(g, g->subject.mac, g->subject.label, g->subject.addr_type);
}

namespace {

void on_preset(int id, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    WATCH_SCREENS& s = st();
    OVK_PREFS p = g->prefs;
    for (int i = 0; i < OVK_PRESET_COUNT; ++i)
        if (s.presets[i] == id)
            p.preset_enabled[i] = zq_gui_checkbox_is_checked(g->ctx, id) ? 1 : 0;
    ovk_gui_set_prefs(g, p);
    // The rules are rebuilt for the presets off the interface thread; the rows follow.
    ovk_port_post(g, [] {
        ovk_watchlist_load(std::nullopt);
        return std::string();
    });
    ask_rows(g);
}

const char* const kInvalidKey =
    "Not a valid entry: use AA:BB:CC, AA:BB:CC:D, AA:BB:CC:DD:E, a full address, or some text";

void on_add(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    WATCH_SCREENS& s = st();
    ZQ_GUI_CTX* c = g->ctx;
    const std::string text = trimmed(zq_gui_textarea_get_text(c, s.key));
    if (text.empty()) {
        ovk_gui_message(g, "Type an address, a name or a maker first");
        return;
    }
    const int kind = std::clamp(zq_gui_combobox_get_selected(c, s.kind), 0, 2);
    std::string raw = kKindTags[kind] + text;
    if (raw.size() > kRawKeyMax) raw.resize(kRawKeyMax);
    const std::string key = ovk_watchlist_normalize_key(raw);
    if (!ovk_watchlist_is_valid_key(key)) {
        ovk_gui_message(g, "%s", kInvalidKey);
        return;
    }
    OVK_OUI_ENTRY e;
    e.prefix = key.substr(0, OVK_OUI_PREFIX_MAX);
    const std::string label = trimmed(zq_gui_textarea_get_text(c, s.label));
    e.label = (label.empty() ? key : label).substr(0, OVK_OUI_LABEL_MAX);
    e.source = "user-added";
    e.confidence = "custom";
    e.score = -1;
    e.category = zq_gui_combobox_get_selected(c, s.category) - 1;
    if (e.category < -1 || e.category >= OVK_CAT_COUNT) e.category = -1;
    s.select_after = e.prefix;
    s.select_after_serial = ovk_watchlist_serial();
    ovk_port_watch(g, e);
    zq_gui_textarea_set_text(c, s.key, "");
    zq_gui_textarea_set_text(c, s.label, "");
}

void on_remove(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    WATCH_SCREENS& s = st();
    const int row = zq_gui_datagrid_get_selected(g->ctx, s.grid);
    if (row < 0 || row >= static_cast<int>(s.entries.size())) {
        ovk_gui_message(g, "Select one of your entries first");
        return;
    }
    const OVK_OUI_ENTRY e = s.entries[row];
    if (!ovk_oui_is_custom(e)) {
        ovk_gui_message(g,
                        "Built-in preset entries cannot be removed: turn their preset off instead");
        return;
    }
    ovk_port_unwatch(g, e.prefix);
}

// The user's rules to a file in the export folder, and to the clipboard once written.
OVK_PORT_DONE export_rules() {
    // An empty list is no export.
    if (ovk_watchlist_custom().empty()) return {"Nothing to export", {}};
    std::optional<std::string> json = ovk_watchlist_export_custom();
    if (!json) return {"Could not build the export", {}};
    const time_t t = time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &tm);
    std::string path = ovk_platform_export_dir() + "/orvik_watchlist_" + stamp + ".json";
    if (ovk_write_file_atomic(path, *json) != 0) return {"Could not write " + path, {}};
    ovk_platform_share_file(path, "application/json");
    return {"", [path = std::move(path), json = std::move(*json)](OVK_GUI* g) {
                if (ovk_gui_copy(g, json))
                    ovk_gui_message(g, "Saved %s (also copied to the clipboard)", path.c_str());
                else
                    ovk_gui_message(g, "Saved %s (the clipboard is unavailable)", path.c_str());
            }};
}

void on_export(int, void* user) {
    ovk_port_run(static_cast<OVK_GUI*>(user), export_rules);
}

void on_import(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const std::string text = ovk_gui_clipboard_text(g);
    if (text.empty()) {
        ovk_gui_message(g, "Copy an exported watchlist (JSON) to the clipboard first");
        return;
    }
    // Told apart before importing: text that is no export, and an import that holds only in
    // memory because the file could not be written.
    if (!ovk_watchlist_parse(text)) {
        ovk_gui_message(g, "The clipboard does not hold a watchlist export");
        return;
    }
    ovk_port_post(g, [text] {
        const int n = ovk_watchlist_import_custom(text);
        if (n < 0)
            return std::string(
                "Imported for this session only: the watchlist could not be saved to disk");
        return ovk_format(64, "Imported %d entr%s", n, n == 1 ? "y" : "ies");
    });
}

void on_add_ok(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    WATCH_SCREENS& s = st();
    ZQ_GUI_CTX* c = g->ctx;
    const bool prefix = zq_gui_radiolist_get_selected(c, s.choice) == 1;
    // A randomized address has no vendor prefix worth watching: its whole address it is.
    const bool block = prefix && !s.add_private;
    const std::string key = block ? s.add_mac.substr(0, 8) : s.add_mac;
    if (!ovk_watchlist_is_valid_key(key)) {
        ovk_gui_message(g, "%s", kInvalidKey);
        return;
    }
    OVK_OUI_ENTRY e;
    e.prefix = ovk_watchlist_normalize_key(key).substr(0, OVK_OUI_PREFIX_MAX);
    const std::string label = trimmed(zq_gui_textarea_get_text(c, s.add_label));
    e.label = (label.empty() ? (block ? "Custom prefix " : "Custom device ") + key : label)
                  .substr(0, OVK_OUI_LABEL_MAX);
    e.source = "user-added from live list";
    e.confidence = "custom";
    // The open screens follow when it is done.
    ovk_port_watch(g, e);
    ovk_gui_close_popup(g, OVK_POP_WATCH_ADD);
}

void on_add_cancel(int, void* user) {
    ovk_gui_close_popup(static_cast<OVK_GUI*>(user), OVK_POP_WATCH_ADD);
}

void on_wl_remove(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    WATCH_SCREENS& s = st();
    const int row = zq_gui_datagrid_get_selected(g->ctx, s.wl_grid);
    if (row < 0 || row >= static_cast<int>(s.trusted.size())) {
        ovk_gui_message(g, "Select a device first");
        return;
    }
    ovk_port_whitelist(g, s.trusted[row].mac, false, s.trusted[row].note);
}

void on_wl_details(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    WATCH_SCREENS& s = st();
    const int row = zq_gui_datagrid_get_selected(g->ctx, s.wl_grid);
    if (row < 0 || row >= static_cast<int>(s.trusted.size())) return;
    ovk_gui_show_on(g, OVK_POP_DETAIL, ovk_subject_device(s.trusted[row].mac));
}

}  // namespace
