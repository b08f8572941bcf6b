// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The interface frame on a real display (a private Xvfb): pop-up windows, back, opening
// from a click, rebuilding, the confirm dialog, toasts, the text helpers and the theme
// headers. Events are handed to the frame as the event loop would hand them.
#include <cstring>
#include <string>

#include "ovk_gui.h"
#include "ovk_gui_main.h"
#include "ovk_gui_theme.h"
#include "ovk_prefs.h"
#include "ovk_test_gui.h"

namespace {

class GuiFrame : public ovk_test::GuiTest {
  protected:
    // The map keeps its tiles in the data directory: the test's own.
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(GuiTest::SetUp());
        OVK_PREFS p;
        p.onboarding_done = 1;
        p.map_tiles = 0;
        p.tile_server = "http://127.0.0.1:9";  // never the internet, should a tile be asked for
        ovk_prefs_set(p);
        ovk_gui_set_test_screens({});
        ovk_gui_set_frame_only(true);  // the pop-ups here are the tests' own
    }
    void TearDown() override {
        GuiTest::TearDown();
        ovk_gui_set_test_screens({});
        ovk_gui_set_frame_only(false);
        unsetenv("OVK_TOUCH");
    }

    void init() { init_frame(); }
};

// A pop-up screen made the way the screens make theirs.
template <int ID>
void build_test_popup(OVK_GUI* g) {
    const int win = ovk_gui_popup_window(g, ID, "Test pop-up " + std::to_string(ID), 500, 400);
    zq_gui_add_label(g->ctx, win, 8, 8, 200, 30, "test", 0);
}

TEST_F(GuiFrame, PopUpsAreBuiltHiddenCentredAndWithinTheDisplay) {
    init();
    EXPECT_GT(al_get_font_line_height(g_.font), 12) << "the DejaVu font, not the built-in one";
    // The confirm dialog: built hidden, centred, unscaled size at scale 1, close button only.
    const int c = g_.popup[OVK_POP_CONFIRM];
    ASSERT_GE(c, 0);
    EXPECT_FALSE(shown(OVK_POP_CONFIRM));
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_CONFIRM));
    const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, c);
    ASSERT_NE(w, nullptr);
    EXPECT_FLOAT_EQ(w->w, 420);
    EXPECT_FLOAT_EQ(w->h, 190);
    EXPECT_FLOAT_EQ(w->x, (kW - 420) / 2.0f);
    EXPECT_FLOAT_EQ(w->y, (kH - 190) / 2.0f);
    EXPECT_EQ(w->flags, ZQ_GUI_WIN_CLOSE_BTN);
    EXPECT_EQ(w->z_mode, ZQ_GUI_ZORDER_POPUP);
    float cw = 0, ch = 0;
    ovk_gui_popup_client(&g_, OVK_POP_CONFIRM, &cw, &ch);
    EXPECT_FLOAT_EQ(cw, 420 - 12 - 2);
    EXPECT_FLOAT_EQ(ch, 190 - 32);

    // A pop-up asking for more than the display gets the display less a margin.
    const int big = ovk_gui_popup_window(&g_, OVK_POP_SETTINGS, "Settings", 3000, 3000);
    ASSERT_GE(big, 0);
    EXPECT_EQ(ovk_gui_popup_window(&g_, OVK_POP_SETTINGS, "Again", 10, 10), big) << "made once";
    w = zq_gui_get_window(g_.ctx, big);
    EXPECT_FLOAT_EQ(w->w, kW - 48);
    EXPECT_FLOAT_EQ(w->h, kH - 48);
    EXPECT_EQ(w->flags, 3088);
    EXPECT_FALSE(shown(OVK_POP_SETTINGS));

    // Its close button: the toolkit hides the window and tells the frame, which forgets it
    // was open (so that a rebuild does not bring it back).
    ovk_gui_open_popup(&g_, OVK_POP_SETTINGS);
    ASSERT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS));
    ASSERT_NE(w->on_close, nullptr);
    zq_gui_close_window(g_.ctx, big);
    w->on_close(big, w->close_user);
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS));

    // One that could not be made keeps the id -1: nothing happens.
    const int history = g_.popup[OVK_POP_HISTORY];
    g_.popup[OVK_POP_HISTORY] = -1;
    ovk_gui_popup_client(&g_, OVK_POP_HISTORY, &cw, &ch);
    EXPECT_EQ(cw, 0);
    EXPECT_EQ(ch, 0);
    ovk_gui_open_popup(&g_, OVK_POP_HISTORY);
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_HISTORY));
    ovk_gui_open_popup(&g_, 99);
    g_.popup[OVK_POP_HISTORY] = history;

    // Touch mode: no margin, whole display except for the small dialogs.
    setenv("OVK_TOUCH", "1", 1);
    init();
    ovk_gui_popup_window(&g_, OVK_POP_SETTINGS, "Settings", 500, 400);
    w = zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_SETTINGS]);
    EXPECT_FLOAT_EQ(w->w, kW);
    EXPECT_FLOAT_EQ(w->h, kH);
    EXPECT_EQ(w->flags, 3152);
    w = zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_CONFIRM]);
    EXPECT_FLOAT_EQ(w->w, 420);
    EXPECT_FLOAT_EQ(w->h, 190);
}

TEST_F(GuiFrame, EscapeClosesTheContextMenuThenTheTopMostPopUp) {
    init();
    ovk_gui_popup_window(&g_, OVK_POP_SETTINGS, "Settings", 600, 500);
    ovk_gui_popup_window(&g_, OVK_POP_DETAIL, "Detail", 500, 400);
    EXPECT_FALSE(ovk_gui_back(&g_)) << "nothing open";

    // Detail opened over settings: detail goes first although its id is lower.
    ovk_gui_open_popup(&g_, OVK_POP_SETTINGS);
    ovk_gui_open_popup(&g_, OVK_POP_DETAIL);
    g_.locate = true;
    EXPECT_TRUE(key(ALLEGRO_KEY_ESCAPE));
    EXPECT_FALSE(shown(OVK_POP_DETAIL));
    EXPECT_FALSE(g_.locate) << "closing the detail screen ends locate mode";
    EXPECT_TRUE(shown(OVK_POP_SETTINGS));
    EXPECT_TRUE(key(ALLEGRO_KEY_ESCAPE));
    EXPECT_FALSE(shown(OVK_POP_SETTINGS));
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS));

    // The other way round: settings on top goes first.
    ovk_gui_open_popup(&g_, OVK_POP_DETAIL);
    ovk_gui_open_popup(&g_, OVK_POP_SETTINGS);
    EXPECT_TRUE(key(ALLEGRO_KEY_ESCAPE));
    EXPECT_FALSE(shown(OVK_POP_SETTINGS));
    EXPECT_TRUE(shown(OVK_POP_DETAIL));

    // An open context menu goes before any window (one of the test's own in place of the
    // main screen's).
    if (g_.ctxmenu) zq_gui_popup_free(&g_.ctxmenu);
    g_.ctxmenu = zq_gui_popup_new(g_.ctx, g_.scale, nullptr, nullptr);
    ASSERT_NE(g_.ctxmenu, nullptr);
    zq_gui_popup_add_item(g_.ctxmenu, -1, "Details", 1, "");
    zq_gui_popup_open(g_.ctxmenu, 200, 200);
    ASSERT_TRUE(zq_gui_popup_is_open(g_.ctxmenu));
    EXPECT_TRUE(key(ALLEGRO_KEY_ESCAPE));
    EXPECT_FALSE(zq_gui_popup_is_open(g_.ctxmenu));
    EXPECT_TRUE(shown(OVK_POP_DETAIL));
    EXPECT_TRUE(key(ALLEGRO_KEY_ESCAPE));
    EXPECT_FALSE(shown(OVK_POP_DETAIL));
    EXPECT_FALSE(key(ALLEGRO_KEY_ESCAPE)) << "nothing left to close";
}

struct CLICK_PROBE {
    OVK_GUI* g = nullptr;
    int shown_during_click = -1;
    int clicks = 0;
};

TEST_F(GuiFrame, APopUpOpenedFromAClickShowsOnceTheClickIsProcessed) {
    init();
    CLICK_PROBE probe{&g_};
    const int settings = ovk_gui_popup_window(&g_, OVK_POP_SETTINGS, "Settings", 600, 500);
    ovk_gui_popup_window(&g_, OVK_POP_ABOUT, "About", 400, 300);
    const int btn = zq_gui_add_button(
        g_.ctx, settings, 10, 10, 160, 32, "About...", 1,
        [](int, void* user) {
            auto* p = static_cast<CLICK_PROBE*>(user);
            ++p->clicks;
            ovk_gui_open_popup(p->g, OVK_POP_ABOUT);
            p->shown_during_click = zq_gui_window_is_open(p->g->ctx, p->g->popup[OVK_POP_ABOUT]);
        },
        &probe);
    ASSERT_GE(btn, 0);
    ovk_gui_open_popup(&g_, OVK_POP_SETTINGS);
    click(btn);
    ASSERT_EQ(probe.clicks, 1);
    EXPECT_EQ(probe.shown_during_click, 0) << "opened while the toolkit was still dispatching";
    EXPECT_TRUE(shown(OVK_POP_ABOUT));
    EXPECT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_ABOUT));
    EXPECT_EQ(zq_gui_get_topmost_open_window(g_.ctx), g_.popup[OVK_POP_ABOUT]);
    EXPECT_FALSE(g_.pending_open[OVK_POP_ABOUT]);
}

// What the test screen's show hook saw of the subject.
OVK_SUBJECT g_seen_subject;
int g_shows = 0;

void show_test_popup(OVK_GUI* g) {
    g_seen_subject = g->subject;
    ++g_shows;
    ovk_gui_open_popup(g, OVK_POP_HISTORY);
}

// One screen opens another on a device, a trip or a place: the other finds the subject in its
// show hook, and the subject does not linger for a later plain showing.
TEST_F(GuiFrame, AScreenShownOnASubjectFindsItThenItIsGone) {
    ovk_gui_set_test_screens({{OVK_POP_HISTORY, build_test_popup<OVK_POP_HISTORY>, nullptr, nullptr,
                               show_test_popup, nullptr}});
    init();
    g_shows = 0;
    ASSERT_TRUE(ovk_gui_show_on(&g_, OVK_POP_HISTORY,
                                ovk_subject_device("AA:BB:CC:DD:EE:FF:00:11", "Tag")));
    EXPECT_EQ(g_shows, 1);
    EXPECT_EQ(g_seen_subject.kind, OVK_SUBJECT_DEVICE);
    EXPECT_EQ(g_seen_subject.mac, "AA:BB:CC:DD:EE:FF") << "an address is at most 17 characters";
    EXPECT_EQ(g_seen_subject.label, "Tag");
    EXPECT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_HISTORY));
    EXPECT_EQ(g_.subject.kind, OVK_SUBJECT_NONE);

    ASSERT_TRUE(ovk_gui_show_on(&g_, OVK_POP_HISTORY, ovk_subject_place(17, 45.5, -73.25)));
    EXPECT_EQ(g_seen_subject.kind, OVK_SUBJECT_PLACE);
    EXPECT_DOUBLE_EQ(g_seen_subject.lat, 45.5);
    EXPECT_DOUBLE_EQ(g_seen_subject.lon, -73.25);
    EXPECT_DOUBLE_EQ(g_seen_subject.zoom, 17);
    ASSERT_TRUE(ovk_gui_show_on(&g_, OVK_POP_HISTORY, ovk_subject_trip(42)));
    EXPECT_EQ(g_seen_subject.kind, OVK_SUBJECT_TRIP);
    EXPECT_EQ(g_seen_subject.trip_id, 42);

    ASSERT_TRUE(ovk_gui_show_screen(&g_, OVK_POP_HISTORY));
    EXPECT_EQ(g_seen_subject.kind, OVK_SUBJECT_NONE);
    EXPECT_TRUE(g_seen_subject.mac.empty());
    EXPECT_EQ(g_shows, 4);
    // A screen the program does not have opens nothing.
    EXPECT_FALSE(ovk_gui_show_on(&g_, OVK_POP_REPORT, ovk_subject_device("AA:BB:CC:DD:EE:FF")));
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_REPORT));
}

TEST_F(GuiFrame, RebuildReopensOpenPopUpsButNotTheConfirmDialog) {
    ovk_gui_set_test_screens({
        {OVK_POP_DETAIL, build_test_popup<OVK_POP_DETAIL>, nullptr, nullptr, nullptr, nullptr},
        {OVK_POP_SETTINGS, build_test_popup<OVK_POP_SETTINGS>, nullptr, nullptr, nullptr, nullptr},
        {OVK_POP_REPORT, build_test_popup<OVK_POP_REPORT>, nullptr, nullptr, nullptr, nullptr},
    });
    init();
    ovk_gui_open_popup(&g_, OVK_POP_SETTINGS);
    ovk_gui_open_popup(&g_, OVK_POP_DETAIL);  // no device selected: not worth reopening
    ovk_gui_open_popup(&g_, OVK_POP_REPORT);  // half-done input: not reopened
    ovk_gui_confirm(&g_, "Forget every remembered device?", nullptr, nullptr);
    ASSERT_TRUE(shown(OVK_POP_CONFIRM));
    const ZQ_GUI_CTX* before = g_.ctx;

    // A resize as the event loop reports it: the rebuild waits for the next tick.
    g_.disp_w = 900;
    g_.disp_h = 700;
    g_.rebuild_pending = true;
    EXPECT_EQ(g_.ctx, before);
    ovk_gui_update(&g_);
    EXPECT_FALSE(g_.rebuild_pending);
    EXPECT_TRUE(shown(OVK_POP_SETTINGS));
    EXPECT_TRUE(ovk_gui_popup_is_open(&g_, OVK_POP_SETTINGS));
    EXPECT_FALSE(shown(OVK_POP_DETAIL));
    EXPECT_FALSE(shown(OVK_POP_REPORT));
    EXPECT_FALSE(shown(OVK_POP_CONFIRM));
    EXPECT_FALSE(ovk_gui_popup_is_open(&g_, OVK_POP_CONFIRM));
    // Laid out for the new size.
    const ZQ_GUI_WINDOW* w = zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_SETTINGS]);
    ASSERT_NE(w, nullptr);
    EXPECT_FLOAT_EQ(w->x, (900 - 500) / 2.0f);

    // With a device selected the detail screen comes back too; a theme change rebuilds on
    // the tick that sees it, in the new look.
    g_.sel_mac = "AA:BB:CC:DD:EE:01";
    ovk_gui_open_popup(&g_, OVK_POP_DETAIL);
    OVK_PREFS p = ovk_prefs_get();
    p.theme = OVK_THEME_PAPER;
    ovk_prefs_set(p);
    ovk_gui_update(&g_);
    EXPECT_EQ(g_.pal.header, OVK_HEADER_MASTHEAD);
    EXPECT_EQ(ovk_color_argb(g_.pal.bg), 0xFFF6F0E1u);
    EXPECT_TRUE(shown(OVK_POP_DETAIL));
    EXPECT_TRUE(shown(OVK_POP_SETTINGS));

    // A bigger interface size: everything scales.
    p.ui_size = 3;
    ovk_gui_set_prefs(&g_, p);
    EXPECT_TRUE(g_.rebuild_pending) << "a size change rebuilds on the next tick";
    ovk_gui_update(&g_);
    EXPECT_FLOAT_EQ(g_.scale, 1.3f);
    EXPECT_FLOAT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_CONFIRM])->w, 420 * 1.3f);
}

TEST_F(GuiFrame, ConfirmDialogActsOnlyOnYes) {
    init();
    int done = 0;
    const OVK_CONFIRM_FN count = [](void* user) { ++*static_cast<int*>(user); };
    const int win = g_.popup[OVK_POP_CONFIRM];
    const int yes = button_in(win, "Yes"), cancel = button_in(win, "Cancel");
    ASSERT_GE(yes, 0);
    ASSERT_GE(cancel, 0);

    ovk_gui_confirm(&g_, "Clear the detection log? Every match recorded so far is deleted.", count,
                    &done);
    EXPECT_TRUE(shown(OVK_POP_CONFIRM));
    // "Yes" is the emphasised button, in the primary colour.
    ovk_gui_draw(&g_);
    float bx = 0, by = 0, bw = 0, bh = 0;
    ASSERT_TRUE(zq_gui_widget_screen_rect(g_.ctx, yes, &bx, &by, &bw, &bh));
    EXPECT_EQ(pixel(static_cast<int>(bx + 4), static_cast<int>(by + bh / 2)),
              ovk_color_argb(g_.pal.primary));
    if (const char* dir = getenv("OVK_SHOT_DIR"))
        al_save_bitmap((std::string(dir) + "/confirm.png").c_str(), al_get_backbuffer(display_));
    EXPECT_NE(zq_gui_label_get_text(g_.ctx, g_.w_confirm_label).find("Clear the detection log?"),
              std::string::npos);
    click(cancel);
    EXPECT_FALSE(shown(OVK_POP_CONFIRM));
    EXPECT_EQ(done, 0);
    EXPECT_EQ(g_.confirm_cb, nullptr);

    ovk_gui_confirm(&g_, "Clear the detection log?", count, &done);
    click(yes);
    EXPECT_FALSE(shown(OVK_POP_CONFIRM));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(g_.confirm_cb, nullptr);

    // Closed with Escape: a later Yes of another question does not run the old action.
    ovk_gui_confirm(&g_, "Delete the trip?", count, &done);
    EXPECT_TRUE(key(ALLEGRO_KEY_ESCAPE));
    ovk_gui_confirm(&g_, "Nothing to do", nullptr, nullptr);
    click(yes);
    EXPECT_EQ(done, 1);

    // A long question is kept to 255 bytes and wraps inside the label.
    std::string long_text;
    while (long_text.size() < 400) long_text += "surveillance ";
    ovk_gui_confirm(&g_, long_text, nullptr, nullptr);
    EXPECT_EQ(g_.confirm_text.size(), 255u);
    EXPECT_NE(zq_gui_label_get_text(g_.ctx, g_.w_confirm_label).find('\n'), std::string::npos);
}

TEST_F(GuiFrame, ToastsShowAndLeaveTheScreen) {
    init();
    const float p = ovk_pad(&g_);

    // An alert: filled in its category's colour just above the bottom edge, its first line
    // bold and its evidence below it.
    g_.toast = OVK_UI_ALERT{};
    g_.toast.key = "60:60:1F:A2:44:18";
    g_.toast.hit.category = OVK_CAT_DRONE;
    g_.toast.hit.label = "DJI drone";
    g_.toast.hit.confidence = 90;
    g_.toast.hit.evidence = "Remote ID broadcast; operator position 120 m away";
    g_.toast_until = al_get_time() + 6;
    ovk_gui_draw(&g_);
    EXPECT_FALSE(g_.redraw);
    ASSERT_EQ(g_.notice_boxes.size(), 1u);
    const OVK_NOTICE_BOX a = g_.notice_boxes[0];
    EXPECT_FLOAT_EQ(a.y + a.h, kH - p);
    EXPECT_EQ(a.title_lines, 1);
    EXPECT_EQ(a.lines.back(), "Remote ID broadcast; operator position 120 m away");
    const auto inside = [](const OVK_NOTICE_BOX& b) {
        return std::pair{static_cast<int>(b.x + b.w / 2), static_cast<int>(b.y + 3)};
    };
    EXPECT_EQ(pixel(inside(a).first, inside(a).second), ovk_cat_color(OVK_CAT_DRONE));
    EXPECT_EQ(pixel(static_cast<int>(a.x + a.w - 20), static_cast<int>(a.y + a.h - 3)),
              ovk_cat_color(OVK_CAT_DRONE))
        << "the evidence line makes the box taller";
    EXPECT_EQ(pixel(kW / 2, 300), ovk_color_argb(g_.pal.bg));

    // A message becomes the newest, below it: a one-line box in the raised panel colour.
    ovk_gui_message(&g_, "Copied %d devices", 3);
    EXPECT_EQ(g_.toast.hit.label, "Copied 3 devices");
    EXPECT_EQ(g_.toast.hit.confidence, -1);
    EXPECT_TRUE(g_.redraw);
    ovk_gui_draw(&g_);
    ASSERT_EQ(g_.notice_boxes.size(), 2u);
    const OVK_NOTICE_BOX m = g_.notice_boxes[1];
    EXPECT_EQ(m.lines, std::vector<std::string>{"Copied 3 devices"});
    EXPECT_EQ(pixel(inside(m).first, inside(m).second), ovk_color_argb(g_.pal.panel_hi));
    EXPECT_LE(g_.notice_boxes[0].y + g_.notice_boxes[0].h, m.y);
    EXPECT_EQ(pixel(inside(g_.notice_boxes[0]).first, inside(g_.notice_boxes[0]).second),
              ovk_cat_color(OVK_CAT_DRONE));

    // Once they have expired the next tick asks for the frame that takes them away.
    g_.toast_until = al_get_time() - 0.1;
    for (OVK_NOTICE& n : g_.older_notices) n.until = al_get_time() - 0.1;
    g_.redraw = false;
    ovk_gui_update(&g_);
    EXPECT_TRUE(g_.redraw);
    ovk_gui_draw(&g_);
    EXPECT_EQ(pixel(inside(m).first, inside(m).second), ovk_color_argb(g_.pal.bg));
    ovk_gui_update(&g_);
    EXPECT_FALSE(g_.redraw) << "an idle frame of a theme without animation asks for nothing";

    // Messages are kept to 159 bytes without splitting a character.
    ovk_gui_message(&g_, "%s", (std::string(158, 'a') + "\xC3\xA9").c_str());
    EXPECT_EQ(g_.toast.hit.label, std::string(158, 'a'));
}

TEST_F(GuiFrame, WrappedTextFitsItsWidth) {
    init();
    const std::string text =
        "Axon body camera heard for 12 minutes within 40 m; the signal rose and fell as you "
        "moved, which suggests it travels with you.";
    const float w = 220;
    const std::string wrapped = ovk_wrap_text(g_.font, w, text);
    size_t lines = 0;
    for (size_t start = 0; start <= wrapped.size();) {
        const size_t nl = std::min(wrapped.find('\n', start), wrapped.size());
        const std::string l = wrapped.substr(start, nl - start);
        EXPECT_LE(al_get_text_width(g_.font, l.c_str()), w) << l;
        ++lines;
        start = nl + 1;
    }
    EXPECT_GE(lines, 3u);
    const float lh = static_cast<float>(al_get_font_line_height(g_.font));
    EXPECT_FLOAT_EQ(ovk_text_wrap_height(g_.font, w, text), static_cast<float>(lines) * lh);
    EXPECT_FLOAT_EQ(ovk_text_wrap_height(g_.font, w, ""), 0);

    // A wrapped label is as tall as its text.
    float h = 0;
    const int win = ovk_gui_popup_window(&g_, OVK_POP_ABOUT, "About", 400, 300);
    const int label = ovk_add_wrapped_label(&g_, win, g_.font_small, text, 8, 8, 300, &h);
    ASSERT_GE(label, 0);
    const ZQ_GUI_WIDGET* lw = zq_gui_get_widget(g_.ctx, label);
    ASSERT_NE(lw, nullptr);
    EXPECT_FLOAT_EQ(lw->h, h);
    const std::string shown_text = zq_gui_label_get_text(g_.ctx, label);
    const size_t label_lines = 1 + std::count(shown_text.begin(), shown_text.end(), '\n');
    EXPECT_GE(h, static_cast<float>(label_lines * al_get_font_line_height(g_.font_small)));

    // A clipped line never draws past its width.
    ALLEGRO_BITMAP* bmp = al_create_bitmap(400, 40);
    al_set_target_bitmap(bmp);
    al_clear_to_color(al_map_rgb(0, 0, 0));
    ovk_draw_text_clip(g_.font, al_map_rgb(255, 255, 255), 0, 5, 150, text);
    al_lock_bitmap(bmp, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    int lit_inside = 0, lit_outside = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 400; ++x)
            if (al_get_pixel(bmp, x, y).r > 0.2f) ++(x < 152 ? lit_inside : lit_outside);
    al_unlock_bitmap(bmp);
    al_destroy_bitmap(bmp);
    al_set_target_backbuffer(display_);
    EXPECT_GT(lit_inside, 50);
    EXPECT_EQ(lit_outside, 0);
}

TEST_F(GuiFrame, CopyPutsTheTextOnTheClipboardAndSaysSo) {
    init();
    ovk_gui_copy(&g_, "60:60:1F:A2:44:18");
    EXPECT_EQ(ovk_test::xclip_get().out, "60:60:1F:A2:44:18");
    EXPECT_EQ(g_.toast.hit.label, "Copied to clipboard");
    EXPECT_EQ(g_.toast.hit.confidence, -1);
}

// A stand-in for the main screen: a full-size window with the search field.

void build_test_main(OVK_GUI* g) {
    ovk_main_state().win_main = zq_gui_add_window(g->ctx, "Orvik", 0, 0, g->disp_w, g->disp_h);
    zq_gui_window_set_flags(g->ctx, ovk_main_state().win_main,
                            ZQ_GUI_WIN_FRAMELESS | ZQ_GUI_WIN_FLAG_40);
    zq_gui_window_set_zorder(g->ctx, ovk_main_state().win_main, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);
    ovk_main_state().w_search = zq_gui_add_textarea(g->ctx, ovk_main_state().win_main, 8, 100, 400,
                                                    32, 0, 120, nullptr, nullptr);
    zq_gui_add_button(g->ctx, ovk_main_state().win_main, 420, 100, 100, 32, "Sort", 0, nullptr,
                      nullptr);
}

void build_test_map(OVK_GUI* g) {
    ovk_gui_popup_window(g, OVK_POP_MAP, "Map", 500, 400);
}
void show_test_map(OVK_GUI* g) {
    ovk_gui_open_popup(g, OVK_POP_MAP);
}

// Keys typed on the X server reach the frame through the event queue, as in the program.
TEST_F(GuiFrame, TypedShortcutsFocusTheSearchOpenTheMapAndEscapeCloses) {
    ovk_gui_set_test_screens({
        {-1, build_test_main, nullptr, nullptr, nullptr, nullptr},
        {OVK_POP_MAP, build_test_map, nullptr, nullptr, show_test_map, nullptr},
    });
    init();
    ASSERT_GE(ovk_main_state().w_search, 0);
    listen(true);
    ASSERT_FALSE(x_window().empty());

    ovk_test::x_run("xdotool key ctrl+f");
    EXPECT_TRUE(pump([&] { return zq_gui_get_focus(g_.ctx) == ovk_main_state().w_search; }));
    ovk_test::x_run("xdotool type axon");
    ASSERT_TRUE(pump(
        [&] { return zq_gui_textarea_get_text(g_.ctx, ovk_main_state().w_search) == "axon"; }));
    // Escape leaves the field, keeping what was typed, so the shortcuts work again.
    ovk_test::x_run("xdotool key Escape");
    EXPECT_TRUE(pump([&] { return zq_gui_get_focus(g_.ctx) < 0; }));
    EXPECT_EQ(zq_gui_textarea_get_text(g_.ctx, ovk_main_state().w_search), "axon");
    ovk_test::x_run("xdotool key ctrl+m");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    EXPECT_EQ(zq_gui_get_window(g_.ctx, g_.popup[OVK_POP_MAP])->title, "Map");
    ovk_test::x_run("xdotool key Escape");
    EXPECT_TRUE(pump([&] { return !shown(OVK_POP_MAP); }));
    // A button reached by Tab has the keyboard, yet the window's shortcuts still work; in the
    // field before it, Ctrl keys are the field's.
    ovk_test::x_run("xdotool key Tab");
    ASSERT_TRUE(pump([&] { return zq_gui_get_focus(g_.ctx) == ovk_main_state().w_search; }));
    ovk_test::x_run("xdotool key ctrl+m");
    settle(0.5);
    EXPECT_FALSE(shown(OVK_POP_MAP));
    ovk_test::x_run("xdotool key Tab");
    ASSERT_TRUE(pump([&] {
        const ZQ_GUI_WIDGET* w = zq_gui_get_widget(g_.ctx, zq_gui_get_focus(g_.ctx));
        return w && w->type == ZQ_GUI_BUTTON;
    }));
    ovk_test::x_run("xdotool key ctrl+m");
    ASSERT_TRUE(pump([&] { return shown(OVK_POP_MAP); }));
    ovk_test::x_run("xdotool key Escape");
    EXPECT_TRUE(pump([&] { return !shown(OVK_POP_MAP); }));
    // Without Ctrl the letters are only letters.
    ovk_test::x_run("xdotool key m");
    settle(0.5);
    EXPECT_FALSE(shown(OVK_POP_MAP));
    listen(false);
}

// Every theme's header: it draws, stays inside its rectangle and the animated ones move.
// With OVK_SHOT_DIR set, each is also stored as header_<theme>.png there, to look at.
TEST_F(GuiFrame, HeadersDrawInsideTheirRectangle) {
    const int bw = 1000, bh = 120;
    const float hx = 20, hy = 28, hw = 960, hh = 64;
    const char* shots = getenv("OVK_SHOT_DIR");
    for (int t = 0; t < OVK_THEME_COUNT; ++t) {
        OVK_PREFS p = ovk_prefs_get();
        p.theme = static_cast<OVK_THEME_ID>(t);
        ovk_prefs_set(p);
        init();
        ALLEGRO_BITMAP* frames[2] = {al_create_bitmap(bw, bh), al_create_bitmap(bw, bh)};
        const double times[2] = {100.3, 106.9};  // the glitch header at rest and glitching
        for (int f = 0; f < 2; ++f) {
            al_set_target_bitmap(frames[f]);
            al_clear_to_color(g_.pal.bg);
            g_.now_s = times[f];
            ovk_theme_draw_header(&g_, hx, hy, hw, hh);
        }
        int changed = 0, outside = 0, moved = 0;
        const uint32_t bg = ovk_color_argb(g_.pal.bg);
        al_lock_bitmap(frames[0], ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
        al_lock_bitmap(frames[1], ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
        for (int y = 0; y < bh; ++y) {
            for (int x = 0; x < bw; ++x) {
                const uint32_t a = ovk_color_argb(al_get_pixel(frames[0], x, y));
                const uint32_t b = ovk_color_argb(al_get_pixel(frames[1], x, y));
                const bool in = x >= hx && x < hx + hw && y >= hy && y < hy + hh;
                if (a != bg) ++(in ? changed : outside);
                if (a != b) ++moved;
            }
        }
        al_unlock_bitmap(frames[0]);
        al_unlock_bitmap(frames[1]);
        EXPECT_GT(changed, 300) << "theme " << t << " drew next to nothing";
        EXPECT_EQ(outside, 0) << "theme " << t << " drew outside its rectangle";
        const bool animated = g_.pal.header == OVK_HEADER_GLITCH ||
                              g_.pal.header == OVK_HEADER_HUD ||
                              g_.pal.header == OVK_HEADER_NIGHT_VISION ||
                              g_.pal.header == OVK_HEADER_CRT || g_.pal.header == OVK_HEADER_SUNSET;
        if (animated) {
            EXPECT_GT(moved, 20) << "theme " << t << " does not move";
        }
        if (shots) {
            const std::string path = std::string(shots) + "/header_" + std::to_string(t) + "_" +
                                     ovk_theme_name(t) + ".png";
            EXPECT_TRUE(al_save_bitmap(path.c_str(), frames[0])) << path;
        }
        al_destroy_bitmap(frames[0]);
        al_destroy_bitmap(frames[1]);
        al_set_target_backbuffer(display_);
    }
}

}  // namespace
