// SPDX-License-Identifier: GPL-3.0-or-later
// The "Report unknown device" dialog.
//
// Index
//   1. State
//   2. Build
//   3. Refresh: rendering the report
//   4. Commands: the note, Copy report
#include "ovk_gui_report.h"

#include <algorithm>
#include <any>
#include <memory>
#include <optional>
#include <string>

#include "ovk_gui.h"
#include "ovk_gui_port.h"
#include "ovk_platform.h"
#include "ovk_sigreport.h"
#include "ovk_startup.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. State
// ---------------------------------------------------------------------------------------

inline constexpr size_t kMacMax = 17;
inline constexpr int kNoteChars = 300;

// What the report is made of, as the engine port read the device (no advertisement: gone).
struct REPORT_DEVICE {
    std::string mac;
    std::shared_ptr<const OVK_ADVERT> advert;
    std::string vendor, type;
};
constexpr std::string_view kDeviceView = "report.device";

struct STATE {
    std::string mac;  // the device, at most 17 characters
    // The device as read for `mac` (none until the reading arrives), and the port's serial
    // taken.
    std::optional<REPORT_DEVICE> dev;
    uint64_t taken = 0;
    std::optional<std::string> json;  // the report last rendered, when there was one
    std::string note;
    int w_note = -1;
    int w_view = -1;
};

STATE& st() {
    static STATE s;
    return s;
}

void render(OVK_GUI* g);
void on_note(int, const char* text, void* user);
void on_copy(int, void* user);

}  // namespace

// ---------------------------------------------------------------------------------------
// 2. Build
// ---------------------------------------------------------------------------------------

void ovk_report_build(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_REPORT] >= 0) return;
    st().w_note = st().w_view = -1;
    const int win = ovk_gui_popup_window(g, OVK_POP_REPORT, "Report unknown device", 760, 820);
    if (win < 0) return;
    ZQ_GUI_CTX* ctx = g->ctx;
    // The markdown view scrolls itself: the window has no scroll bar.
    zq_gui_window_set_flags(
        ctx, win, ZQ_GUI_WIN_CLOSE_BTN | (ovk_platform_uses_touch() ? ZQ_GUI_WIN_FLAG_40 : 0));
    float cw = 0, ch = 0;
    ovk_gui_popup_client(g, OVK_POP_REPORT, &cw, &ch);
    if (const ZQ_GUI_STYLE* style = zq_gui_style(ctx)) cw += style->scrollbar_size;
    const float p = ovk_pad(g), r = ovk_row_h(g);
    const float x = p, w = cw - 2 * p;
    float y = p;

    st().w_note = zq_gui_add_textarea(ctx, win, x, y, w, 1.8f * r, 1, kNoteChars, on_note, g);
    zq_gui_textarea_set_placeholder(ctx, st().w_note, "What do you think it is? (optional)");
    zq_gui_set_widget_tooltip(ctx, st().w_note,
                              "A short note added to the report (300 characters at most)");
    zq_gui_textarea_set_text(ctx, st().w_note, st().note);
    y += 1.8f * r + p;

    const char* copy = "Copy report";
    const float bw = std::min(w, static_cast<float>(al_get_text_width(g->font, copy)) + 3 * p);
    const int btn = zq_gui_add_button(ctx, win, x, y, bw, r, copy, 1, on_copy, g);
    zq_gui_set_widget_theme(ctx, btn, ovk_theme_accent(g));
    zq_gui_set_widget_tooltip(ctx, btn, "Copy the JSON report to the clipboard");
    y += r + p;

    ZQ_GUI_MD_FONTS fonts;
    fonts.regular = g->font;
    fonts.bold = g->font_bold;
    fonts.mono = g->font_mono;
    fonts.h1 = g->font_title;
    fonts.h2 = g->font_big;
    fonts.h3 = g->font_bold;
    st().w_view = zq_gui_add_markdownview(ctx, win, x, y, w, std::max(r, ch - y - p), fonts);
    if (!st().mac.empty()) render(g);
}

void ovk_report_show(OVK_GUI* g, std::string_view mac) {
    OVK_CHECK(g && g->ctx);
    if (g->popup[OVK_POP_REPORT] < 0) ovk_report_build(g);
    st().mac = std::string(mac.substr(0, std::min(mac.size(), kMacMax)));
    st().note.clear();
    st().dev.reset();
    zq_gui_textarea_set_text(g->ctx, st().w_note, "");
    ovk_port_ask(g, kDeviceView, [mac = st().mac] {
        REPORT_DEVICE d;
        d.mac = mac;
        if (const std::optional<OVK_DEVICE> dev = ovk_registry_get(mac)) {
            d.advert = dev->advert;
            d.vendor = dev->vendor;
            d.type = dev->device_type;
        }
        return std::any(std::move(d));
    });
    render(g);
    zq_gui_markdownview_scroll_to(g->ctx, st().w_view, 0);
    ovk_gui_open_popup(g, OVK_POP_REPORT);
}

void ovk_report_refresh(OVK_GUI* g) {
    OVK_CHECK(g && g->ctx);
    STATE& s = st();
    const uint64_t serial = ovk_port_serial(g, kDeviceView);
    if (serial == s.taken) return;
    s.taken = serial;
    const auto* v = std::any_cast<REPORT_DEVICE>(ovk_port_view(g, kDeviceView));
    if (!v || v->mac != s.mac) return;
    s.dev = *v;
    render(g);
}

void ovk_report_show_subject(OVK_GUI* g) {
    OVK_CHECK(g);
    if (g->subject.kind == OVK_SUBJECT_DEVICE && !g->subject.mac.empty())
        ovk_report_show(g, g->subject.mac);
}

// ---------------------------------------------------------------------------------------
// 3. Refresh
// ---------------------------------------------------------------------------------------

namespace {

void render(OVK_GUI* g) {
    std::string text;
    const std::optional<REPORT_DEVICE>& d = st().dev;
    if (!d) {
        st().json.reset();  // not read yet
        text = OVK_READING;
    } else if (!d->advert) {
        st().json.reset();
        text = "Device no longer in range.";
    } else {
        st().json =
            ovk_signature_report(d->advert.get(), d->vendor, d->type,
                                 ovk_mac_is_randomized(st().mac) != 0, st().note, OVK_VERSION);
        text =
            "This is exactly what is shared - no full address, no serial numbers, no payload "
            "bytes beyond a short type header, no location and no times. Copy it and share it "
            "so this equipment can be added.\n\n```\n" +
            (st().json ? *st().json : std::string("(report unavailable)")) + "\n```\n";
    }
    zq_gui_markdownview_set_text(g->ctx, st().w_view, text);
}

// ---------------------------------------------------------------------------------------
// 4. Commands
// ---------------------------------------------------------------------------------------

void on_note(int, const char* text, void* user) {
    st().note = text ? text : "";
    render(static_cast<OVK_GUI*>(user));
}

void on_copy(int, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    if (st().json)
        ovk_gui_copy(g, *st().json);
    else if (st().dev)  // read, and gone
        ovk_gui_message(g, "Nothing to copy: the device is no longer in range");
}

}  // namespace
