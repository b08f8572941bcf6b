// SPDX-License-Identifier: GPL-3.0-or-later
// The main screen's drawing: the header, the threat banner, the device list and the radar.
// Everything here runs on the interface thread inside a frame; it reads the view in place and
// the screen's state and changes nothing but what drawing keeps (caches, hit boxes).
#include <allegro5/allegro_primitives.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "ovk_gui_main.h"
#include "ovk_intel.h"
#include "ovk_util.h"

namespace {

constexpr int kRadarMax = 200;       // devices drawn on the radar
constexpr size_t kLabelRects = 516;  // rectangles label placement keeps clear

OVK_MAIN_STATE& st() {
    return ovk_main_state();
}

float text_w(const ALLEGRO_FONT* f, const char* s) {
    return f ? static_cast<float>(al_get_text_width(f, s)) : 0;
}

float line_h(const ALLEGRO_FONT* f) {
    return f ? static_cast<float>(al_get_font_line_height(f)) : 0;
}

// Premultiplied: Allegro blends with premultiplied alpha.
ALLEGRO_COLOR faded(ALLEGRO_COLOR c, float a) {
    return al_map_rgba_f(c.r * a, c.g * a, c.b * a, c.a * a);
}

}  // namespace

ALLEGRO_FONT* ovk_main_font_small(const OVK_GUI* g) {
    return g->font_small ? g->font_small : g->font;
}

ALLEGRO_FONT* ovk_main_font_bold(const OVK_GUI* g) {
    return g->font_bold ? g->font_bold : g->font;
}

void ovk_main_draw_header(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    ovk_theme_draw_header(static_cast<OVK_GUI*>(user), x, y, wd->w, wd->h);
}

void ovk_main_draw_banner(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const float w = wd->w, h = wd->h, p = ovk_pad(g), r6 = 6 * g->scale;
    const OVK_BANNER b = ovk_list_banner(g->devices, st().tally, g->status.running != 0,
                                         g->status.scanners, g->prefs.alert_threshold, &g->status);
    const bool read = ovk_main_read(g);
    if (b.kind == OVK_BANNER_IDLE || !read) {
        zq_gui_frame_box(g->ctx, x, y, w, h, r6, r6, g->pal.border, 1);
        al_hold_bitmap_drawing(true);
        ovk_draw_text_clip(g->font, g->pal.dim, x + p, y + (h - line_h(g->font)) / 2, w - 2 * p,
                           read ? b.text : std::string(OVK_READING));
        al_hold_bitmap_drawing(false);
        return;
    }
    zq_gui_fill_box(g->ctx, x, y, w, h, r6, r6, ovk_theme_fill(g, ovk_ink(g, b.argb)));
    const ALLEGRO_COLOR ink = ovk_theme_fill_ink(g);
    ALLEGRO_FONT* bold = ovk_main_font_bold(g);
    ALLEGRO_FONT* small = ovk_main_font_small(g);
    const float tw = w - 2 * p;
    if (b.text != st().banner_text || tw != st().banner_w) {
        st().banner_text = b.text;
        st().banner_w = tw;
        if (text_w(bold, b.text.c_str()) <= tw)
            st().banner_mode = 0;
        else if (ovk_text_wrap_height(small, tw, b.text) <= 2 * line_h(small) + 0.5f)
            st().banner_mode = 1;
        else
            st().banner_mode = 2;
    }
    al_hold_bitmap_drawing(true);
    if (st().banner_mode == 1) {
        const float th = ovk_text_wrap_height(small, tw, b.text);
        ovk_draw_text_wrap(small, ink, x + p, y + (h - th) / 2, tw, b.text);
    } else {
        ovk_draw_text_clip(bold, ink, x + p, y + (h - line_h(bold)) / 2, tw, b.text);
    }
    al_hold_bitmap_drawing(false);
}

namespace {

// One list row as drawn.
struct ROW {
    const OVK_DEVICE* d = nullptr;
    float top = 0;
    bool tinted = false;
    ALLEGRO_COLOR colour{};
    std::string badge;
    float badge_w = 0;
    float text_w = 0;  // for line 1
};

std::string line3(const OVK_DEVICE& d, int64_t now_ms) {
    std::string who;
    if (!d.hits.empty() && !d.name.empty())
        who = "\"" + d.name + "\"";
    else
        who = d.device_type;
    const char* src = (d.sources & 3) == 3 ? "BLE+WiFi" : (d.sources & 2) ? "WiFi" : "BLE";
    return ovk_format(512, "%s - %s - %s %d dBm %s - %s%s%s%s", who.c_str(), src, ovk_band(d.rssi),
                      d.rssi, ovk_format_distance(d.distance_m).c_str(),
                      ovk_age_text(now_ms, d.last_seen).c_str(), d.following ? "  FOLLOWING" : "",
                      d.favorite ? "  *" : "", d.known ? "" : "  NEW");
}

}  // namespace

void ovk_main_draw_list(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    const float w = wd->w, h = wd->h, s = g->scale, p = ovk_pad(g);
    ALLEGRO_FONT* bold = ovk_main_font_bold(g);
    ALLEGRO_FONT* small = ovk_main_font_small(g);
    const float rh = ovk_main_row_h(g);
    const size_t n = st().visible.size();
    st().list_scroll = std::clamp(st().list_scroll, 0.0f, ovk_main_max_scroll(g));

    if (n == 0) {
        st().list_pulses = false;
        const char* text = !ovk_main_read(g)     ? OVK_READING.data()
                           : !g->devices.empty() ? "No devices match this filter."
                           : g->status.running == 0
                               ? "Not scanning.\nPress Start scanning to begin."
                           : g->status.listening != 0
                               ? "Listening... no devices heard yet."
                               : "Not listening: no radio is working.\nThe status line above "
                                 "says why.";
        const float th = ovk_text_wrap_height(g->font, w - 4 * p, text);
        al_hold_bitmap_drawing(true);
        ovk_draw_text_wrap(g->font, g->pal.dim, x + 2 * p, y + (h - th) / 2, w - 4 * p, text);
        al_hold_bitmap_drawing(false);
        return;
    }

    const int64_t now_ms = ovk_main_now_ms();
    const float pulse = 0.12f + (OVK_ROW_TINT_MAX - 0.12f) *
                                    (0.5f + 0.5f * static_cast<float>(std::sin(6 * g->now_s)));
    const int threshold = g->prefs.alert_threshold;
    const size_t first = static_cast<size_t>(st().list_scroll / rh);
    const bool pressing = st().list_dragging && !st().list_press_moved;
    const float r6 = 6 * s, r4 = 4 * s;
    const float text_x = x + p + 6 * s;
    const float full_w = w - p - 6 * s - p;
    const float badge_h = line_h(small) + 2 * s;
    const float badge_y = 6 * s;
    std::vector<ROW> rows;
    bool pulses = false;
    // Shapes first, then all the text in one held batch.
    for (size_t i = first; i < n; ++i) {
        const float top = y + static_cast<float>(i) * rh - st().list_scroll;
        if (top >= y + h) break;
        const int idx = st().visible[i];
        if (idx < 0 || static_cast<size_t>(idx) >= g->devices.size()) continue;
        ROW row;
        row.d = &g->devices[static_cast<size_t>(idx)];
        row.top = top;
        const OVK_DEVICE& d = *row.d;
        const bool pressed = pressing && st().list_press_row == static_cast<int>(i);
        zq_gui_fill_box(g->ctx, x + 2, top + 2, w - 4, rh - 4, r6, r6,
                        pressed ? g->pal.panel_hi : g->pal.panel);
        const OVK_HIT* best = ovk_device_best(d);
        row.colour = ovk_device_color(g, d);
        row.tinted = best && !d.whitelisted;
        if (row.tinted) {
            const bool recent = now_ms - d.last_seen <= 60000;
            const bool urgent =
                d.following || (best->confidence >= threshold && best->category != OVK_CAT_TRACKER);
            const float a = recent && urgent ? pulse : OVK_ROW_TINT;
            pulses = pulses || (recent && urgent);
            zq_gui_fill_box(g->ctx, x + 2, top + 2, w - 4, rh - 4, r6, r6,
                            ovk_theme_row_bg(g, row.colour, a));
            al_draw_filled_rectangle(x + 2 + 4, top + 2 + 4, x + 2 + 4 + 5 * s, top + rh - 2 - 4,
                                     row.colour);
        }
        ALLEGRO_COLOR badge_bg = row.colour;
        if (d.whitelisted) {
            row.badge = "WHITELISTED";
            badge_bg = ovk_ink(g, 0xFF6B7B80u);
        } else if (best) {
            row.badge = ovk_format(256, "%s%s - %s %d%%", d.following ? "FOLLOWING - " : "",
                                   ovk_cat_tag(best->category),
                                   ovk_tier_label(ovk_tier_of(best->confidence)), best->confidence);
        }
        row.text_w = full_w;
        if (!row.badge.empty()) {
            row.badge_w = text_w(small, row.badge.c_str()) + p;
            if (row.badge_w < 0.6f * full_w) {
                row.text_w = full_w - row.badge_w - p / 2;
                zq_gui_fill_box(g->ctx, x + w - p - row.badge_w, top + badge_y, row.badge_w,
                                badge_h, r4, r4, ovk_theme_fill(g, badge_bg));
            } else {
                row.badge.clear();
            }
        }
        rows.push_back(std::move(row));
    }
    st().list_pulses = pulses;
    const float content = static_cast<float>(n) * rh;
    if (content > h) {
        const float th = std::max(h * h / content, 12 * s);
        const float ms = ovk_main_max_scroll(g);
        const float ty = y + (ms > 0 ? st().list_scroll / ms : 0) * (h - th);
        zq_gui_fill_box(g->ctx, x + w - 5 * s, ty, 5 * s, th, 2, 2, g->pal.border);
    }

    al_hold_bitmap_drawing(true);
    const float bold_h = line_h(bold);
    for (const ROW& row : rows) {
        const OVK_DEVICE& d = *row.d;
        const std::string l1 = ovk_device_title(d);
        ovk_draw_text_clip(row.tinted ? bold : g->font, g->pal.text, text_x, row.top + 6 * s,
                           row.text_w, l1);
        const std::string l2 = ovk_format(
            512, "%s  -  %s", d.mac.c_str(),
            !d.vendor.empty() ? d.vendor.c_str() : ovk_addr_label_checked(d.addr_type, d.mac));
        const float y2 = row.top + 6 * s + bold_h + 1 * s;
        ovk_draw_text_clip(small, g->pal.dim, text_x, y2, full_w, l2);
        ovk_draw_text_clip(small, g->pal.dim, text_x, y2 + line_h(small), full_w, line3(d, now_ms));
        if (!row.badge.empty()) {
            const float bx = x + w - p - row.badge_w;
            al_draw_text(small, ovk_theme_fill_ink(g), bx + row.badge_w / 2,
                         row.top + badge_y + 1 * s, ALLEGRO_ALIGN_CENTRE, row.badge.c_str());
        }
    }
    al_hold_bitmap_drawing(false);
}

namespace {

// Triangles gathered for one al_draw_prim call, into a buffer that outlives the frame (it
// keeps its room, so that a steady radar allocates nothing).
struct TRIANGLES {
    std::vector<ALLEGRO_VERTEX>& v;

    void vertex(float x, float y, ALLEGRO_COLOR c) {
        ALLEGRO_VERTEX a{};
        a.x = x;
        a.y = y;
        a.color = c;
        v.push_back(a);
    }
    void disc(float cx, float cy, float r, ALLEGRO_COLOR c) {
        const int seg = std::clamp(static_cast<int>(r * 1.5f), 8, 24);
        for (int i = 0; i < seg; ++i) {
            const float a0 = 2 * ALLEGRO_PI * static_cast<float>(i) / static_cast<float>(seg);
            const float a1 = 2 * ALLEGRO_PI * static_cast<float>(i + 1) / static_cast<float>(seg);
            vertex(cx, cy, c);
            vertex(cx + r * std::cos(a0), cy + r * std::sin(a0), c);
            vertex(cx + r * std::cos(a1), cy + r * std::sin(a1), c);
        }
    }
    // A ring of the given thickness centred on radius r.
    void ring(float cx, float cy, float r, float thick, ALLEGRO_COLOR c) {
        const float ri = std::max(0.0f, r - thick / 2), ro = r + thick / 2;
        const int seg = std::clamp(static_cast<int>(ro), 12, 48);
        for (int i = 0; i < seg; ++i) {
            const float a0 = 2 * ALLEGRO_PI * static_cast<float>(i) / static_cast<float>(seg);
            const float a1 = 2 * ALLEGRO_PI * static_cast<float>(i + 1) / static_cast<float>(seg);
            const float c0 = std::cos(a0), s0 = std::sin(a0), c1 = std::cos(a1), s1 = std::sin(a1);
            vertex(cx + ri * c0, cy + ri * s0, c);
            vertex(cx + ro * c0, cy + ro * s0, c);
            vertex(cx + ro * c1, cy + ro * s1, c);
            vertex(cx + ri * c0, cy + ri * s0, c);
            vertex(cx + ro * c1, cy + ro * s1, c);
            vertex(cx + ri * c1, cy + ri * s1, c);
        }
    }
    void draw() {
        if (!v.empty())
            al_draw_prim(v.data(), nullptr, nullptr, 0, static_cast<int>(v.size()),
                         ALLEGRO_PRIM_TRIANGLE_LIST);
        v.clear();
    }
};

const std::string kRingText[3] = {"Near", "Nearby", "Far"};

// The device's label as drawn, from the radar's labels: made again only when the device's text
// changed (the font and width are the radar's own, checked once a frame).
const OVK_MAIN_RADAR_LABEL& label_of(OVK_MAIN_RADAR& radar, const OVK_DEVICE& d,
                                     const std::string& source) {
    OVK_MAIN_RADAR_LABEL& l = radar.labels.try_emplace(d.mac).first->second;
    l.used = radar.frame;
    if (l.source == source && !l.text.empty()) return l;
    l.source = source;
    l.w = text_w(radar.font, source.c_str());
    if (l.w > radar.max_w) {
        l.text = zq_gui_text_shorten(radar.font, source, radar.max_w);
        l.w = text_w(radar.font, l.text.c_str());
    } else {
        l.text = source;
    }
    return l;
}

// Labels of devices no longer on the radar go, so that the kept ones stay about as many as
// there are devices drawn.
void forget_old_labels(OVK_MAIN_RADAR& radar, size_t drawn) {
    if (radar.labels.size() <= 2 * drawn + 64) return;
    for (auto it = radar.labels.begin(); it != radar.labels.end();)
        it = it->second.used != radar.frame ? radar.labels.erase(it) : std::next(it);
}

}  // namespace

void ovk_main_draw_radar(ZQ_GUI_WIDGET* wd, float x, float y, ALLEGRO_FONT*, void* user) {
    auto* g = static_cast<OVK_GUI*>(user);
    OVK_MAIN_RADAR& radar = st().radar;
    const float w = wd->w, h = wd->h, s = g->scale;
    const float m = 28 * s;
    const float R = std::min(w, h - m) / 2 - 8 * s;
    // The hit boxes, and their addresses, keep their room from frame to frame.
    std::vector<OVK_HITBOX>& hits = st().radar_hits;
    size_t nhits = 0;
    if (!(R > 0)) {
        hits.clear();
        return;
    }
    const float cx = x + w / 2, cy = y + (h - m) / 2;
    ALLEGRO_FONT* small = ovk_main_font_small(g);
    const float sh = line_h(small);
    const ALLEGRO_COLOR& scope = g->pal.scope;
    const ALLEGRO_COLOR grid =
        al_map_rgba_f(scope.r * 0.33f, scope.g * 0.33f, scope.b * 0.33f, 0.33f);

    // Rings, cross and the sweep.
    const float rings[3] = {16.0f / 35 * R, 24.8f / 35 * R, R};
    for (float rr : rings) al_draw_circle(cx, cy, rr, grid, 1.2f * s);
    al_draw_line(cx - R, cy, cx + R, cy, grid, 1.2f * s);
    al_draw_line(cx, cy - R, cx, cy + R, grid, 1.2f * s);
    // About what a radar full of devices needs, once.
    if (radar.vertices.capacity() < 16384) radar.vertices.reserve(16384);
    TRIANGLES tri{radar.vertices};
    tri.v.clear();
    const double sweep = std::fmod(72.0 * g->now_s, 360.0) * ALLEGRO_PI / 180.0;
    st().radar_sweep = static_cast<float>(sweep);
    for (int i = 0; i < 24; ++i) {
        const float a0 = static_cast<float>(sweep - 0.035 * i);
        const float a1 = a0 - 0.036f;
        const ALLEGRO_COLOR c = faded(scope, (1 - static_cast<float>(i) / 24) * 0.33f);
        tri.vertex(cx, cy, c);
        tri.vertex(cx + R * std::cos(a0), cy + R * std::sin(a0), c);
        tri.vertex(cx + R * std::cos(a1), cy + R * std::sin(a1), c);
    }
    tri.draw();

    // Which devices: the first of the list, where flagged devices come first, so that a crowd
    // of plain devices never keeps a flagged one off the radar.
    const size_t shown = std::min(st().visible.size(), static_cast<size_t>(kRadarMax));
    std::vector<OVK_MAIN_RADAR_BLIP>& blips = radar.blips;
    blips.clear();
    for (size_t i = 0; i < shown; ++i) {
        const int idx = st().visible[i];
        if (idx < 0 || static_cast<size_t>(idx) >= g->devices.size()) continue;
        const OVK_DEVICE& d = g->devices[static_cast<size_t>(idx)];
        const OVK_RADAR_POS pos = ovk_list_radar_pos(d.mac, d.rssi, R);
        blips.push_back(
            OVK_MAIN_RADAR_BLIP{&d, idx, cx + pos.dx, cy + pos.dy, ovk_device_flagged(d) != 0});
    }
    // Plain devices, then the flagged ones on top.
    const float f = static_cast<float>(std::fmod(g->now_s, 1.0));
    for (int pass = 0; pass < 2; ++pass) {
        for (const OVK_MAIN_RADAR_BLIP& b : blips) {
            if (b.flagged != (pass == 1)) continue;
            float rad = 4 * s;
            if (!b.flagged) {
                tri.disc(b.bx, b.by, rad, scope);
            } else {
                const ALLEGRO_COLOR c = ovk_theme_dot(g, ovk_device_color(g, *b.d));
                tri.ring(b.bx, b.by, (7 + 14 * f) * s, 2 * s, faded(c, 0.8f * (1 - f)));
                rad = 7 * s;
                tri.disc(b.bx, b.by, rad, c);
            }
            if (nhits < static_cast<size_t>(OVK_RADAR_HITS_MAX)) {
                if (nhits == hits.size()) hits.emplace_back();
                OVK_HITBOX& hb = hits[nhits++];
                hb.x = b.bx - x - rad;
                hb.y = b.by - y - rad;
                hb.w = hb.h = 2 * rad;
                hb.tag = b.idx;
                hb.key.assign(b.d->mac);
            }
        }
        tri.draw();
    }
    hits.resize(nhits);
    tri.disc(cx, cy, 5 * s, g->pal.trace);
    tri.draw();

    // Labels: the ring labels hold their places from the start; flagged devices' labels come
    // first, the others only with "Names" on.
    const float max_w = 150 * s;
    if (radar.font != small || radar.max_w != max_w) {
        radar.labels.clear();
        radar.ring_w = {-1, -1, -1};
        radar.font = small;
        radar.max_w = max_w;
    }
    ++radar.frame;
    std::vector<OVK_RECT>& taken = radar.taken;
    taken.clear();
    taken.reserve(kLabelRects);
    std::vector<OVK_MAIN_RADAR_TEXT>& labels = radar.texts;
    labels.clear();
    for (int i = 0; i < 3; ++i) {
        const float lx = cx + 4 * s, ly = cy - rings[i] + 2 * s;
        if (radar.ring_w[i] < 0) radar.ring_w[i] = text_w(small, kRingText[i].c_str());
        labels.push_back(OVK_MAIN_RADAR_TEXT{lx, ly, 0, g->pal.scope_text, &kRingText[i], false});
        taken.push_back(OVK_RECT{lx - 2, ly - 2, radar.ring_w[i] + 4, sh + 4});
    }
    // The dots too, so that a label does not cover a device: a flagged device's label only
    // keeps clear of the centre and the flagged dots (it must find a place in a crowd), the
    // other labels of every dot.
    const auto take_dots = [&](bool flagged) {
        for (const OVK_MAIN_RADAR_BLIP& b : blips) {
            if (b.flagged != flagged) continue;
            const float rad = (b.flagged ? 7 : 4) * s;
            taken.push_back(OVK_RECT{b.bx - rad, b.by - rad, 2 * rad, 2 * rad});
        }
    };
    taken.push_back(OVK_RECT{cx - 5 * s, cy - 5 * s, 10 * s, 10 * s});
    take_dots(true);
    const OVK_RECT area{x, y, w, h};
    // The device's colour, lifted towards the text colour as far as it needs to read on the
    // background (the darker category colours, drone blue and watchlist purple, on black).
    const auto label_colour = [g](const OVK_DEVICE& d) {
        return ovk_theme_radar_label(g, ovk_device_color(g, d));
    };
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !g->prefs.radar_names) break;
        if (pass == 1) take_dots(false);
        for (const OVK_MAIN_RADAR_BLIP& b : blips) {
            if (b.flagged != (pass == 0)) continue;
            const OVK_DEVICE& d = *b.d;
            const OVK_HIT* best = ovk_device_best(d);
            const std::string& source = b.flagged && best ? best->label
                                        : !d.name.empty() ? d.name
                                                          : d.device_type;
            if (source.empty()) continue;
            const OVK_MAIN_RADAR_LABEL& l = label_of(radar, d, source);
            float lx, ly;
            if (ovk_list_place_label(taken, kLabelRects, area, b.bx, b.by, (b.flagged ? 10 : 7) * s,
                                     l.w, sh, &lx, &ly))
                labels.push_back(OVK_MAIN_RADAR_TEXT{
                    lx, ly, l.w, b.flagged ? label_colour(d) : g->pal.scope_text, &l.text,
                    b.flagged});
        }
    }
    // A flagged label may lie over plain dots: a veil of the background keeps it readable.
    const ALLEGRO_COLOR veil = faded(g->pal.bg, 0.75f);
    for (size_t i = 3; i < labels.size() && labels[i].flagged; ++i)
        al_draw_filled_rectangle(labels[i].x - 2, labels[i].y, labels[i].x + labels[i].w + 2,
                                 labels[i].y + sh, veil);
    al_hold_bitmap_drawing(true);
    for (const OVK_MAIN_RADAR_TEXT& l : labels)
        al_draw_text(small, l.colour, l.x, l.y, 0, l.text->c_str());
    al_draw_text(small, g->pal.scope_text, x + 8 * s, y + h - 8 * s - sh, 0,
                 "Closer to centre = stronger signal - angle is not direction");
    al_hold_bitmap_drawing(false);
    forget_old_labels(radar, blips.size());
}
