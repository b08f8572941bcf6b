// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: window
// The widget toolkit on a real X display (a private Xvfb): what a person does with the
// mouse and keyboard, fed to the toolkit as Allegro events, and the clipboard shared with
// other programs through xclip.
#include <allegro5/allegro.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ovk_test_xvfb.h"
#include "zq_gallery_build.h"
#include "zq_gui.h"
#include "zq_gui_internal.h"
#include "zq_log.h"

namespace {

struct Rect {
    float x = 0, y = 0, w = 0, h = 0;
    float cx() const { return x + w / 2; }
    float cy() const { return y + h / 2; }
};

class Gui : public ::testing::Test {
  protected:
    void SetUp() override {
        OVK_REQUIRE_XVFB();
        static const bool inited = al_init() && al_init_primitives_addon() &&
                                   al_init_font_addon() && al_init_ttf_addon() &&
                                   al_init_image_addon();
        ASSERT_TRUE(inited);
        display_ = al_create_display(1100, 820);
        ASSERT_NE(display_, nullptr);
        const std::string path = zq_gallery_font_path("DejaVuSans.ttf");
        ASSERT_FALSE(path.empty()) << "DejaVuSans.ttf not found (make deps)";
        font_ = al_load_ttf_font(path.c_str(), 15, 0);
        ASSERT_NE(font_, nullptr);
        ctx_ = zq_gui_new_ctx(font_);
        ASSERT_NE(ctx_, nullptr);
        zq_gui_set_display(ctx_, display_);
        zq_gui_set_display_size(ctx_, 1100, 820);
    }
    void TearDown() override {
        zq_gui_destroy_ctx(&ctx_);
        if (font_) al_destroy_font(font_);
        if (display_) al_destroy_display(display_);
    }

    Rect rect(int widget) {
        Rect r;
        EXPECT_TRUE(zq_gui_widget_screen_rect(ctx_, widget, &r.x, &r.y, &r.w, &r.h));
        return r;
    }
    int mouse(unsigned type, float x, float y, int button = 0, int dz = 0) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.mouse.x = static_cast<int>(x);
        ev.mouse.y = static_cast<int>(y);
        ev.mouse.button = static_cast<unsigned>(button);
        ev.mouse.dz = dz;
        ev.mouse.display = display_;
        return zq_gui_process_event(ctx_, &ev);
    }
    int move(float x, float y) { return mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y); }
    int click(float x, float y, int button = 1) {
        move(x, y);
        const int a = mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, button);
        const int b = mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, button);
        return a | b;
    }
    int wheel(float x, float y, int dz) { return mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y, 0, dz); }
    void key_event(unsigned type, int keycode) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.keyboard.keycode = keycode;
        ev.keyboard.display = display_;
        zq_gui_process_event(ctx_, &ev);
    }
    // A key as Allegro reports it: modifier keys down, the key down, the character, the
    // modifier keys up again.
    int key(int keycode, int unichar = 0, int mods = 0) {
        if (mods & ALLEGRO_KEYMOD_SHIFT) key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_LSHIFT);
        if (mods & ALLEGRO_KEYMOD_CTRL) key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_LCTRL);
        key_event(ALLEGRO_EVENT_KEY_DOWN, keycode);
        ALLEGRO_EVENT ev{};
        ev.type = ALLEGRO_EVENT_KEY_CHAR;
        ev.keyboard.keycode = keycode;
        ev.keyboard.display = display_;
        ev.keyboard.unichar = unichar;
        ev.keyboard.modifiers = static_cast<unsigned>(mods);
        const int used = zq_gui_process_event(ctx_, &ev);
        key_event(ALLEGRO_EVENT_KEY_UP, keycode);
        if (mods & ALLEGRO_KEYMOD_SHIFT) key_event(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_LSHIFT);
        if (mods & ALLEGRO_KEYMOD_CTRL) key_event(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_LCTRL);
        return used;
    }
    int ctrl(int keycode) { return key(keycode, keycode - ALLEGRO_KEY_A + 1, ALLEGRO_KEYMOD_CTRL); }
    // Types UTF-8 text one code point at a time.
    void type(const std::string& s) {
        for (size_t i = 0; i < s.size();) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            int cp = n == 1 ? c : c & (0x3F >> (n - 1));
            for (int k = 1; k < n; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
            key(cp == ' ' ? ALLEGRO_KEY_SPACE : ALLEGRO_KEY_A, cp);
            i += n;
        }
    }

    // A key Allegro repeats while it is held down.
    void key_repeat(int keycode, int unichar) {
        ALLEGRO_EVENT ev{};
        ev.type = ALLEGRO_EVENT_KEY_CHAR;
        ev.keyboard.keycode = keycode;
        ev.keyboard.display = display_;
        ev.keyboard.unichar = unichar;
        ev.keyboard.repeat = true;
        zq_gui_process_event(ctx_, &ev);
    }
    // Draws a frame onto the back buffer over `clear`.
    void frame(ALLEGRO_COLOR clear = al_map_rgb(18, 20, 22)) {
        al_set_target_backbuffer(display_);
        al_clear_to_color(clear);
        zq_gui_draw(ctx_);
    }
    ALLEGRO_COLOR pixel(float x, float y) {
        return al_get_pixel(al_get_backbuffer(display_), static_cast<int>(x), static_cast<int>(y));
    }

    ALLEGRO_DISPLAY* display_ = nullptr;
    ALLEGRO_FONT* font_ = nullptr;
    ZQ_GUI_CTX* ctx_ = nullptr;
};

bool same_colour(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    unsigned char ar, ag, ab, br, bg, bb;
    al_unmap_rgb(a, &ar, &ag, &ab);
    al_unmap_rgb(b, &br, &bg, &bb);
    return std::abs(ar - br) <= 2 && std::abs(ag - bg) <= 2 && std::abs(ab - bb) <= 2;
}

// Contrast ratio of two colours as accessibility guides measure it (1 to 21).
double contrast_ratio(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    const auto lum = [](ALLEGRO_COLOR c) {
        const auto lin = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
    };
    const double la = lum(a), lb = lum(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::string colour_text(ALLEGRO_COLOR c) {
    unsigned char r, g, b;
    al_unmap_rgb(c, &r, &g, &b);
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", r, g, b);
    return buf;
}

size_t chars(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

struct Calls {
    int count = 0;
    int last_id = -1;
    int last_index = -1;
    void* last_user = nullptr;
    std::string last_text;
};

void count_click(int id, void* user) {
    auto* c = static_cast<Calls*>(user);
    ++c->count;
    c->last_id = id;
    c->last_user = user;
}

void count_select(int id, int index, void* user) {
    auto* c = static_cast<Calls*>(user);
    ++c->count;
    c->last_id = id;
    c->last_index = index;
}

void count_close(int window, void* user) {
    count_click(window, user);
}

void remember_text(int id, const char* text, void* user) {
    auto* c = static_cast<Calls*>(user);
    ++c->count;
    c->last_id = id;
    c->last_text = text;
}

// ---------------------------------------------------------------------------------------

TEST_F(Gui, ClickCallsBackOnceWithItsUserPointerAndOnlyWhenTheButtonIsVisible) {
    Calls calls;
    const int win = zq_gui_add_window(ctx_, "Main", 100, 100, 400, 300);
    const int btn = zq_gui_add_button(ctx_, win, 20, 20, 120, 32, "Scan", 1, count_click, &calls);
    ASSERT_GE(btn, 0);
    const Rect b = rect(btn);

    EXPECT_EQ(click(b.cx(), b.cy()), 1);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.last_id, btn);
    EXPECT_EQ(calls.last_user, &calls);

    // Pressed, then released away from it: no click.
    move(b.cx(), b.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, b.cx(), b.cy(), 1);
    move(b.x + b.w + 40, b.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, b.x + b.w + 40, b.cy(), 1);
    EXPECT_EQ(calls.count, 1);
    // Pressed elsewhere and released on it: no click either.
    move(b.x - 10, b.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, b.x - 10, b.cy(), 1);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, b.cx(), b.cy(), 1);
    EXPECT_EQ(calls.count, 1);

    // A release lost elsewhere (the pointer left the window) does not leave the mouse stuck.
    move(b.cx(), b.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, b.cx(), b.cy(), 1);
    EXPECT_EQ(click(b.cx(), b.cy()), 1);
    EXPECT_EQ(calls.count, 2);
    calls.count = 1;

    // A window on top of it takes the click.
    const int cover = zq_gui_add_window(ctx_, "Dialog", 50, 50, 300, 200);
    zq_gui_window_set_zorder(ctx_, cover, ZQ_GUI_ZORDER_POPUP, 0);
    EXPECT_EQ(click(b.cx(), b.cy()), 1);
    EXPECT_EQ(calls.count, 1);

    // Hidden, disabled or closed: nothing.
    zq_gui_close_window(ctx_, cover);
    zq_gui_set_widget_enabled(ctx_, btn, 0);
    click(b.cx(), b.cy());
    zq_gui_set_widget_enabled(ctx_, btn, 1);
    zq_gui_set_widget_visible(ctx_, btn, 0);
    click(b.cx(), b.cy());
    EXPECT_EQ(calls.count, 1);
    zq_gui_set_widget_visible(ctx_, btn, 1);
    zq_gui_close_window(ctx_, win);
    EXPECT_EQ(click(b.cx(), b.cy()), 0) << "no window there: the event is not the toolkit's";
    EXPECT_EQ(calls.count, 1);

    // Open again, it works again; a toggle flips before its callback.
    zq_gui_open_window(ctx_, win);
    click(b.cx(), b.cy());
    EXPECT_EQ(calls.count, 2);
    const int tog =
        zq_gui_add_toggle_button(ctx_, win, 20, 80, 120, 32, "Names", 1, 0, count_click, &calls);
    click(rect(tog).cx(), rect(tog).cy());
    EXPECT_EQ(zq_gui_button_is_toggled(ctx_, tog), 1);
    EXPECT_EQ(calls.last_id, tog);

    // Unknown ids change nothing and answer empty values.
    EXPECT_EQ(zq_gui_add_button(ctx_, 999, 0, 0, 10, 10, "x", 1, nullptr, nullptr), -1);
    zq_gui_button_set_label(ctx_, 999, "y");
    EXPECT_EQ(zq_gui_button_get_label(ctx_, 999), "");
    EXPECT_EQ(zq_gui_get_widget(ctx_, 999), nullptr);
    EXPECT_EQ(zq_gui_window_is_open(ctx_, 999), 0);
}

TEST_F(Gui, CloseButtonHidesTheWindowAndCallsItsCallbackOnce) {
    Calls calls;
    const int win = zq_gui_add_window(ctx_, "Details", 200, 150, 420, 300);
    zq_gui_window_set_flags(ctx_, win, 3088);
    zq_gui_window_set_close_callback(ctx_, win, count_close, &calls);
    const ZQ_GUI_STYLE* st = zq_gui_style(ctx_);
    // The close button is the right-most thing in the title bar.
    const float bx = 200 + 420 - st->tb_btn_size / 2 - 5, by = 150 + st->titlebar_h / 2;
    EXPECT_EQ(click(bx, by), 1);
    EXPECT_EQ(zq_gui_window_is_open(ctx_, win), 0);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.last_id, win);
    EXPECT_EQ(calls.last_user, &calls);
    click(bx, by);
    EXPECT_EQ(calls.count, 1);

    // Closing from code calls nothing; a frameless window has no close button.
    zq_gui_open_window(ctx_, win);
    zq_gui_close_window(ctx_, win);
    EXPECT_EQ(calls.count, 1);
    zq_gui_open_window(ctx_, win);
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_FRAMELESS | ZQ_GUI_WIN_CLOSE_BTN);
    click(bx, by);
    EXPECT_EQ(zq_gui_window_is_open(ctx_, win), 1);

    // Dragging the title bar moves the window.
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_CLOSE_BTN);
    move(260, 160);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 260, 160, 1);
    move(300, 230);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 300, 230, 1);
    const ZQ_GUI_WINDOW* w = zq_gui_get_window(ctx_, win);
    EXPECT_FLOAT_EQ(w->x, 240);
    EXPECT_FLOAT_EQ(w->y, 220);
}

TEST_F(Gui, PopupsStayAboveTheMainWindowAndUnknownModesFallBack) {
    const int main_win = zq_gui_add_window(ctx_, "Main", 0, 0, 1100, 820);
    zq_gui_window_set_flags(ctx_, main_win, 192);
    zq_gui_window_set_zorder(ctx_, main_win, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);
    const int popup = zq_gui_add_window(ctx_, "Settings", 300, 200, 400, 300);
    zq_gui_window_set_zorder(ctx_, popup, ZQ_GUI_ZORDER_POPUP, 0);
    const int normal = zq_gui_add_window(ctx_, "Tools", 100, 100, 200, 200);
    EXPECT_EQ(zq_gui_get_topmost_open_window(ctx_), popup);

    // Clicking the main window or a normal one does not lift them over the pop-up.
    click(20, 700);
    click(150, 150);
    zq_gui_focus_window(ctx_, main_win);
    EXPECT_EQ(zq_gui_get_topmost_open_window(ctx_), popup);
    // A click where the pop-up overlaps the normal window lands on the pop-up.
    Calls calls;
    const int btn =
        zq_gui_add_button(ctx_, normal, 0, 0, 200, 170, "Under", 1, count_click, &calls);
    ASSERT_GE(btn, 0);
    click(310, 250);
    EXPECT_EQ(calls.count, 0);
    zq_gui_close_window(ctx_, popup);
    EXPECT_EQ(zq_gui_get_topmost_open_window(ctx_), normal);

    // An unknown mode says so at level 3 and behaves as a normal window.
    char* buf = nullptr;
    size_t len = 0;
    FILE* log = open_memstream(&buf, &len);
    ASSERT_NE(log, nullptr);
    zq_log_set_stream(log);
    const int before = get_log_level();
    set_log_level(LOG_DEBUG);
    zq_gui_window_set_zorder(ctx_, normal, 7, 0);
    set_log_level(before < 0 ? LOG_WARNING : before);
    zq_log_set_stream(nullptr);
    fclose(log);
    const std::string text(buf, len);
    free(buf);
    EXPECT_NE(text.find("zq_gui_window_set_zorder: unknown z_mode 7 for window " +
                        std::to_string(normal) +
                        " (expected ZQ_GUI_ZORDER_NORMAL, ZQ_GUI_ZORDER_ALWAYS_ON_TOP, "
                        "ZQ_GUI_ZORDER_ALWAYS_BEHIND, ZQ_GUI_ZORDER_FIXED, or "
                        "ZQ_GUI_ZORDER_POPUP), falling back to ZQ_GUI_ZORDER_NORMAL"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.rfind("ERR:", 0), 0u) << "level 3 (error)" << text;
    EXPECT_EQ(zq_gui_get_window(ctx_, normal)->z_mode, ZQ_GUI_ZORDER_NORMAL);
}

TEST_F(Gui, TypingEditsWholeCharactersAndKeepsToTheCharacterLimit) {
    Calls calls;
    const int win = zq_gui_add_window(ctx_, "Search", 100, 100, 500, 300);
    const int field = zq_gui_add_textarea(ctx_, win, 10, 10, 400, 32, 0, 60, remember_text, &calls);
    const int other = zq_gui_add_textarea(ctx_, win, 10, 60, 400, 32, 0, 90, nullptr, nullptr);
    click(rect(field).cx(), rect(field).cy());
    EXPECT_EQ(zq_gui_get_focus(ctx_), field);

    type("Café ☕");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Café ☕");
    key(ALLEGRO_KEY_LEFT);
    key(ALLEGRO_KEY_BACKSPACE);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Café☕");
    type("!");  // lands where the caret is: before the cup
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Café!☕");
    key(ALLEGRO_KEY_DELETE);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Café!");
    EXPECT_EQ(calls.last_text, "Café!");
    EXPECT_EQ(calls.last_id, field);

    // Enter in a one-line field inserts nothing; Home, Shift+End select; typing replaces.
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Café!");
    key(ALLEGRO_KEY_HOME);
    key(ALLEGRO_KEY_RIGHT);
    key(ALLEGRO_KEY_END, 0, ALLEGRO_KEYMOD_SHIFT);
    type("at");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Cat");

    // Sixty characters, each two bytes: the sixty-first does not go in.
    ctrl(ALLEGRO_KEY_A);
    key(ALLEGRO_KEY_BACKSPACE);
    for (int i = 0; i < 70; ++i) type("é");
    const std::string full = zq_gui_textarea_get_text(ctx_, field);
    EXPECT_EQ(full.size(), 120u);
    EXPECT_EQ(full, [] {
        std::string s;
        for (int i = 0; i < 60; ++i) s += "é";
        return s;
    }());
    // Text set from code is cut at a character, never inside one.
    zq_gui_textarea_set_text(ctx_, field, std::string(59, 'a') + "☕☕");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), std::string(59, 'a') + "☕");
    zq_gui_textarea_set_text(ctx_, field,
                             std::string("ab\xff\xfe"
                                         "c\xe2\x98"));
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "abc");
    // Names heard over the air may hold control characters: a field shows none of them.
    zq_gui_textarea_set_text(ctx_, field, std::string("a\tb\x01\x1b[2Jc\r\nd\x7f", 12));
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "a b[2Jc d");

    // Tab moves to the next field of the window, scrolled into view if need be.
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_VSCROLL);
    const int below = zq_gui_add_textarea(ctx_, win, 10, 900, 400, 32, 0, 90, nullptr, nullptr);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), other);
    type("x");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, other), "x");
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), below);
    EXPECT_GT(zq_gui_get_window(ctx_, win)->scroll_y, 600);
    key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
    EXPECT_EQ(zq_gui_get_focus(ctx_), other);
    zq_gui_remove_widget(ctx_, below);
    EXPECT_EQ(zq_gui_get_window(ctx_, win)->scroll_y, 0);

    // Clicking in the text puts the caret there; dragging selects.
    zq_gui_textarea_set_text(ctx_, field, "alpha beta");
    const Rect f = rect(field);
    const float pad = zq_gui_style(ctx_)->textarea_padding;
    const float after_alpha = f.x + pad + static_cast<float>(al_get_text_width(font_, "alpha"));
    click(after_alpha + 1, f.cy());
    type("_");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "alpha_ beta");
    move(f.x + pad + 1, f.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, f.x + pad + 1, f.cy(), 1);
    move(after_alpha + 1, f.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, after_alpha + 1, f.cy(), 1);
    key(ALLEGRO_KEY_DELETE);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "_ beta");

    // A multi-line field takes Enter as a line break.
    const int notes = zq_gui_add_textarea(ctx_, win, 10, 110, 400, 90, 1, 300, nullptr, nullptr);
    click(rect(notes).cx(), rect(notes).cy());
    type("one");
    key(ALLEGRO_KEY_ENTER, '\r');
    type("two");
    key(ALLEGRO_KEY_UP);
    type("!");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, notes), "one!\ntwo");
}

TEST_F(Gui, CopyAndPasteGoThroughTheSystemClipboard) {
    ASSERT_EQ(zq_clipboard_available(), 1);
    const int win = zq_gui_add_window(ctx_, "Report", 100, 100, 500, 300);
    const int field = zq_gui_add_textarea(ctx_, win, 10, 10, 400, 32, 0, 150, nullptr, nullptr);
    click(rect(field).cx(), rect(field).cy());
    type("Grüße from Orvik ☕");
    // Select "from Orvik ☕" with Shift+Left and copy it.
    for (int i = 0; i < 12; ++i) key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_SHIFT);
    ctrl(ALLEGRO_KEY_C);
    ovk_test::CommandResult got = ovk_test::xclip_get();
    EXPECT_EQ(got.rc, 0);
    EXPECT_EQ(got.out, "from Orvik ☕");
    // Programs that only take Latin-1 get what it can hold.
    got = ovk_test::x_run("xclip -o -selection clipboard -t STRING 2>/dev/null | od -An -tx1", 5);
    EXPECT_NE(got.out.find("66 72 6f 6d 20 4f 72 76 69 6b 20 3f"), std::string::npos) << got.out;

    // Ctrl+X takes it out of the field too.
    ctrl(ALLEGRO_KEY_X);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße ");
    EXPECT_EQ(ovk_test::xclip_get().out, "from Orvik ☕");

    // Another program's text pastes at the caret; its line breaks become blanks here.
    ASSERT_TRUE(ovk_test::xclip_set("Ünïcode ✓\nsecond line"));
    ctrl(ALLEGRO_KEY_V);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße Ünïcode ✓ second line");
    EXPECT_EQ(zq_clipboard_get(ZQ_CLIPBOARD_CLIPBOARD), "Ünïcode ✓\nsecond line");

    // A paste that does not fit is cut to the limit at a character.
    ASSERT_TRUE(ovk_test::xclip_set(std::string(200, 'x')));
    ctrl(ALLEGRO_KEY_V);
    const std::string text = zq_gui_textarea_get_text(ctx_, field);
    EXPECT_EQ(chars(text), 150u);
    EXPECT_EQ(text.substr(0, 33), "Grüße Ünïcode ✓ second line");

    // As in other X programs, text selected with the mouse is the primary selection, and
    // a middle click pastes the primary selection.
    zq_gui_textarea_set_text(ctx_, field, "Grüße aus Orvik");
    const Rect f = rect(field);
    const float pad = zq_gui_style(ctx_)->textarea_padding;
    const float word_end = f.x + pad + static_cast<float>(al_get_text_width(font_, "Grüße"));
    move(f.x + pad + 1, f.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, f.x + pad + 1, f.cy(), 1);
    move(word_end, f.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, word_end, f.cy(), 1);
    EXPECT_EQ(ovk_test::xclip_get("primary").out, "Grüße");
    ASSERT_TRUE(ovk_test::xclip_set("Zürich ", "primary"));
    const float end_x = f.x + pad + static_cast<float>(al_get_text_width(font_, "Grüße aus ")) + 1;
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, end_x, f.cy(), 3);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, end_x, f.cy(), 3);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus Zürich Orvik");

    // A paste replaces the selection; a cut with nothing selected leaves the clipboard as
    // it was.
    ASSERT_TRUE(ovk_test::xclip_set("Bern"));
    key(ALLEGRO_KEY_END);
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_CTRL | ALLEGRO_KEYMOD_SHIFT);
    ctrl(ALLEGRO_KEY_V);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus Zürich Bern");
    ctrl(ALLEGRO_KEY_X);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus Zürich Bern");
    EXPECT_EQ(ovk_test::xclip_get().out, "Bern");
    // Copied from a multi-line field, the line breaks reach the other program.
    const int notes = zq_gui_add_textarea(ctx_, win, 10, 60, 400, 90, 1, 300, nullptr, nullptr);
    zq_gui_textarea_set_text(ctx_, notes, "first\nsecond ☕");
    click(rect(notes).cx(), rect(notes).cy());
    ctrl(ALLEGRO_KEY_A);
    ctrl(ALLEGRO_KEY_C);
    EXPECT_EQ(ovk_test::xclip_get().out, "first\nsecond ☕");
}

TEST_F(Gui, TenThousandRowGridScrollsToItsLastRow) {
    Calls calls;
    const int win = zq_gui_add_window(ctx_, "Log", 50, 50, 700, 600);
    const int grid = zq_gui_add_datagrid(ctx_, win, 10, 10, 660, 500, count_select, &calls);
    zq_gui_datagrid_add_column(ctx_, grid, "#", 80);
    zq_gui_datagrid_add_column(ctx_, grid, "Address", 200);
    for (int i = 0; i < 10000; ++i)
        zq_gui_datagrid_add_row(ctx_, grid, {std::to_string(i), "AA:BB:CC:DD:EE:FF"});
    ASSERT_EQ(zq_gui_datagrid_row_count(ctx_, grid), 10000);
    const Rect g = rect(grid);

    // The wheel over the grid scrolls it, not the window, down to the end and no further.
    for (int i = 0; i < 200; ++i) wheel(g.cx(), g.cy(), -100);
    zq_gui_draw(ctx_);
    click(g.cx() - 100, g.y + g.h - 4);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.last_index, 9999);
    EXPECT_EQ(zq_gui_datagrid_get_selected(ctx_, grid), 9999);

    // Keys move the selection and keep it in view; Home goes back to the first row.
    key(ALLEGRO_KEY_UP);
    EXPECT_EQ(calls.last_index, 9998);
    key(ALLEGRO_KEY_HOME);
    EXPECT_EQ(calls.last_index, 0);
    click(g.cx() - 100, g.y + g.h - 4);
    EXPECT_LT(calls.last_index, 30) << "the view followed the selection back to the top";

    // Dragging the thumb to the bottom shows the last row too.
    const float bar_x = g.x + g.w - zq_gui_style(ctx_)->scrollbar_size / 2;
    move(bar_x, g.y + 40);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, bar_x, g.y + 40, 1);
    move(bar_x, g.y + g.h + 200);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, bar_x, g.y + g.h + 200, 1);
    click(g.cx() - 100, g.y + g.h - 4);
    EXPECT_EQ(calls.last_index, 9999);

    // A row replaced where it is: the grid stays scrolled to the end with the row selected,
    // and the row reads its new values without its old colour.
    const auto* data = zq_gui_data<ZQ_GUI_GRID_DATA>(ctx_, grid);
    ASSERT_NE(data, nullptr);
    const float scrolled = data->scroll_y;
    EXPECT_GT(scrolled, 0);
    zq_gui_datagrid_set_row_color(ctx_, grid, 9999, al_map_rgb(200, 0, 0));
    zq_gui_datagrid_set_row(ctx_, grid, 9999, {"9999", "11:22:33:44:55:66"});
    EXPECT_EQ(zq_gui_datagrid_get_selected(ctx_, grid), 9999);
    EXPECT_EQ(data->scroll_y, scrolled);
    EXPECT_EQ(data->rows[9999][1], "11:22:33:44:55:66");
    EXPECT_EQ(data->has_colour[9999], 0);

    // Clearing leaves nothing selected.
    zq_gui_datagrid_clear_rows(ctx_, grid);
    EXPECT_EQ(zq_gui_datagrid_get_selected(ctx_, grid), -1);
}

struct Values {
    int count = 0;
    float last = 0;
};

void on_value(int, float v, void* user) {
    auto* vals = static_cast<Values*>(user);
    ++vals->count;
    vals->last = v;
}

TEST_F(Gui, ChoicesFollowClicksDragsAndKeys) {
    Calls box_calls, radio_calls;
    Values values;
    const int win = zq_gui_add_window(ctx_, "Settings", 100, 100, 600, 400);
    const int box =
        zq_gui_add_checkbox(ctx_, win, 10, 10, 250, 26, "Alert sound", 0, count_click, &box_calls);
    click(rect(box).x + 8, rect(box).cy());
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 1);
    click(rect(box).x + 100, rect(box).cy());  // the label is part of it
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 0);
    EXPECT_EQ(box_calls.count, 2);
    zq_gui_checkbox_set_checked(ctx_, box, 1);
    EXPECT_EQ(box_calls.count, 2) << "set from code: no callback";

    // A slider from -100 to -30 in steps of 5: the value follows the pointer, on a step.
    const int slider =
        zq_gui_add_slider(ctx_, win, 10, 50, 300, 26, -100, -30, -70, 0, on_value, &values);
    zq_gui_slider_set_step(ctx_, slider, 5);
    zq_gui_slider_set_value_visible(ctx_, slider, 1);
    const Rect sr = rect(slider);
    move(sr.x + 2, sr.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, sr.x + 2, sr.cy(), 1);
    EXPECT_FLOAT_EQ(zq_gui_slider_get_value(ctx_, slider), -100);
    move(sr.x + sr.w + 50, sr.cy());  // dragged past the end
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, sr.x + sr.w + 50, sr.cy(), 1);
    EXPECT_FLOAT_EQ(zq_gui_slider_get_value(ctx_, slider), -30);
    EXPECT_EQ(values.count, 2);
    click(sr.x + sr.w * 0.3f, sr.cy());
    const float v = zq_gui_slider_get_value(ctx_, slider);
    EXPECT_GT(v, -100);
    EXPECT_LT(v, -30);
    EXPECT_FLOAT_EQ(std::fmod(v, 5.0f), 0.0f) << v;
    key(ALLEGRO_KEY_RIGHT);
    EXPECT_FLOAT_EQ(values.last, v + 5);
    key(ALLEGRO_KEY_END);
    EXPECT_FLOAT_EQ(values.last, -30);

    // A radio list: one item at a time, the callback with its index.
    const int radio = zq_gui_add_radiolist(ctx_, win, 10, 100, 250, 90, count_select, &radio_calls);
    for (const char* s : {"Metres", "Feet", "Both"}) zq_gui_radiolist_add_item(ctx_, radio, s);
    const float item_h = zq_gui_style(ctx_)->radiolist_default_item_height;
    click(rect(radio).x + 40, rect(radio).y + item_h * 1.5f);
    EXPECT_EQ(zq_gui_radiolist_get_selected(ctx_, radio), 1);
    EXPECT_EQ(radio_calls.last_index, 1);
    key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(zq_gui_radiolist_get_selected(ctx_, radio), 2);
    zq_gui_radiolist_clear(ctx_, radio);
    EXPECT_EQ(zq_gui_radiolist_get_selected(ctx_, radio), -1);
    EXPECT_EQ(radio_calls.count, 2);
}

struct MouseLog {
    std::vector<ZQ_GUI_MOUSE_EVENT> events;
    int consume = 1;
};

int log_mouse(int, const ZQ_GUI_MOUSE_EVENT* ev, void* user) {
    auto* log = static_cast<MouseLog*>(user);
    log->events.push_back(*ev);
    return log->consume;
}

void draw_nothing(ZQ_GUI_WIDGET*, float, float, ALLEGRO_FONT*, void*) {}

TEST_F(Gui, CustomWidgetsGetMouseEventsRelativeToThemselves) {
    MouseLog log;
    const int win = zq_gui_add_window(ctx_, "Radar", 100, 100, 500, 500);
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_FRAMELESS | ZQ_GUI_WIN_VSCROLL);
    const int radar = zq_gui_add_custom(ctx_, win, 50, 60, 300, 300, draw_nothing, nullptr);
    zq_gui_custom_set_mouse(ctx_, radar, log_mouse, &log);
    zq_gui_add_label(ctx_, win, 0, 900, 100, 20, "far below", 0);  // makes the window scroll

    move(160, 170);
    ALLEGRO_EVENT shift{};
    shift.type = ALLEGRO_EVENT_KEY_DOWN;
    shift.keyboard.keycode = ALLEGRO_KEY_LSHIFT;
    zq_gui_process_event(ctx_, &shift);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 160, 170, 2);
    shift.type = ALLEGRO_EVENT_KEY_UP;
    zq_gui_process_event(ctx_, &shift);
    move(500, 600);  // dragged out of it: it keeps getting the moves
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 500, 600, 2);
    move(200, 200);
    log.events.pop_back();
    wheel(200, 200, -3);
    ASSERT_EQ(log.events.size(), 5u);
    EXPECT_EQ(log.events[0].type, ZQ_GUI_MOUSE_MOVE);
    EXPECT_FLOAT_EQ(log.events[0].x, 10);
    EXPECT_FLOAT_EQ(log.events[0].y, 10);
    EXPECT_EQ(log.events[1].type, ZQ_GUI_MOUSE_DOWN);
    EXPECT_EQ(log.events[1].button, 2);
    EXPECT_EQ(log.events[1].modifiers, ALLEGRO_KEYMOD_SHIFT);
    EXPECT_EQ(log.events[3].modifiers, 0);
    EXPECT_EQ(log.events[2].type, ZQ_GUI_MOUSE_MOVE);
    EXPECT_FLOAT_EQ(log.events[2].x, 350);
    EXPECT_EQ(log.events[3].type, ZQ_GUI_MOUSE_UP);
    EXPECT_EQ(log.events[4].type, ZQ_GUI_MOUSE_WHEEL);
    EXPECT_EQ(log.events[4].dz, -3);
    EXPECT_EQ(zq_gui_get_window(ctx_, win)->scroll_y, 0) << "the widget took the wheel";

    // A wheel it does not take scrolls the window, and coordinates follow the scroll.
    log.consume = 0;
    wheel(200, 200, -1);
    const float scrolled = zq_gui_get_window(ctx_, win)->scroll_y;
    EXPECT_GT(scrolled, 0);
    log.events.clear();
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 200, 200, 1);
    ASSERT_FALSE(log.events.empty());
    EXPECT_FLOAT_EQ(log.events.back().y, 200 - 100 - 60 + scrolled);
}

TEST_F(Gui, CustomWidgetsGetTapsDragsAndLongPressesFromTheToolkit) {
    MouseLog log;
    const int win = zq_gui_add_window(ctx_, "List", 100, 100, 500, 500);
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_FRAMELESS);
    const int list = zq_gui_add_custom(ctx_, win, 0, 0, 400, 400, draw_nothing, nullptr);
    zq_gui_custom_set_mouse(ctx_, list, log_mouse, &log);
    // Events with their own times, as Allegro stamps them.
    const auto at = [&](unsigned type, float x, float y, double t, int button = 1) {
        ALLEGRO_EVENT ev{};
        ev.type = type;
        ev.mouse.x = static_cast<int>(x);
        ev.mouse.y = static_cast<int>(y);
        ev.mouse.button = static_cast<unsigned>(button);
        ev.mouse.display = display_;
        ev.any.timestamp = t;
        zq_gui_process_event(ctx_, &ev);
        return log.events.empty() ? ZQ_GUI_MOUSE_EVENT{} : log.events.back();
    };
    const auto press = [&](float x, float y, double t, int button = 1) {
        at(ALLEGRO_EVENT_MOUSE_AXES, x, y, t);
        return at(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, t, button);
    };
    const auto move_to = [&](float x, float y, double t) {
        return at(ALLEGRO_EVENT_MOUSE_AXES, x, y, t);
    };
    const auto release = [&](float x, float y, double t, int button = 1) {
        return at(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, t, button);
    };
    const float th = zq_gui_style(ctx_)->drag_threshold;

    // A press that wanders less than the threshold and lets go soon is a tap where it went
    // down.
    press(200, 200, 10.0);
    EXPECT_EQ(move_to(200 + th - 1, 200 - th + 1, 10.1).dragging, 0);
    ZQ_GUI_MOUSE_EVENT up = release(200 + th - 1, 200 - th + 1, 10.2);
    EXPECT_EQ(up.type, ZQ_GUI_MOUSE_UP);
    EXPECT_EQ(up.tap, 1);
    EXPECT_EQ(up.long_press, 0);
    EXPECT_FLOAT_EQ(up.press_x, 100);
    EXPECT_FLOAT_EQ(up.press_y, 100);

    // Past the threshold either way it is a drag from then to the release, even back where
    // it began: no tap.
    press(200, 200, 11.0);
    EXPECT_EQ(move_to(200, 200 + th + 1, 11.1).dragging, 1);
    const ZQ_GUI_MOUSE_EVENT back = move_to(200, 200, 11.2);
    EXPECT_EQ(back.dragging, 1);
    EXPECT_FLOAT_EQ(back.press_y, 100);
    up = release(200, 200, 11.3);
    EXPECT_EQ(up.dragging, 1);
    EXPECT_EQ(up.tap + up.long_press, 0);

    // Held still past the long-press time: a long press, by the events' times however late
    // they are handled.
    const float long_s = zq_gui_style(ctx_)->long_press;
    press(150, 150, 20.0);
    up = release(151, 150, 20.0 + long_s + 0.05);
    EXPECT_EQ(up.long_press, 1);
    EXPECT_EQ(up.tap, 0);
    press(150, 150, 30.0);
    EXPECT_EQ(release(150, 150, 30.0 + long_s - 0.05).tap, 1);

    // The threshold is the context's: a larger one (a touch screen) forgives more.
    zq_gui_style(ctx_)->drag_threshold = 3 * th;
    press(200, 200, 40.0);
    move_to(200 + 2 * th, 200, 40.1);
    EXPECT_EQ(release(200 + 2 * th, 200, 40.2).tap, 1);
    zq_gui_style(ctx_)->drag_threshold = th;

    // Let go off the widget, or over a window that opened on it meanwhile: no tap. The
    // right button is no tap either.
    press(200, 200, 50.0);
    up = release(200, 200, 50.1);
    ASSERT_EQ(up.tap, 1);
    const int dialog = zq_gui_add_window(ctx_, "Menu", 150, 150, 200, 200);
    zq_gui_window_set_zorder(ctx_, dialog, ZQ_GUI_ZORDER_POPUP, 0);
    zq_gui_close_window(ctx_, dialog);
    press(200, 200, 51.0);
    zq_gui_open_window(ctx_, dialog);
    up = release(200, 200, 51.1);
    EXPECT_EQ(up.type, ZQ_GUI_MOUSE_UP);
    EXPECT_EQ(up.tap + up.long_press, 0);
    zq_gui_close_window(ctx_, dialog);
    press(200, 200, 52.0, 2);
    up = release(200, 200, 52.1, 2);
    EXPECT_EQ(up.button, 2);
    EXPECT_EQ(up.tap + up.long_press + up.dragging, 0);
}

TEST_F(Gui, MenusPickWithTheMouseAndTheKeyboard) {
    Calls combo_calls, drop_calls;
    const int win = zq_gui_add_window(ctx_, "Settings", 100, 100, 500, 400);
    const int combo = zq_gui_add_combobox(ctx_, win, 10, 10, 200, 30, count_select, &combo_calls);
    for (const char* s : {"Small", "Normal", "Large"}) zq_gui_combobox_add_item(ctx_, combo, s);
    const Rect c = rect(combo);
    click(c.cx(), c.cy());
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 1);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 1);
    EXPECT_EQ(combo_calls.last_index, 1);
    // With the mouse: the third item, one row below the second.
    click(c.cx(), c.cy());
    zq_gui_draw(ctx_);
    const float item_h = zq_gui_style(ctx_)->listbox_default_item_height;
    click(c.cx(), c.y + c.h + 1 + item_h * 2.5f);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 2);
    EXPECT_EQ(combo_calls.count, 2);

    // A drop-down menu: hidden entries are skipped, the entry's tag comes back.
    const int drop = zq_gui_add_dropmenu(ctx_, win, 250, 10, 120, 30, "Menu", nullptr, nullptr);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Map", 1, count_click, &drop_calls);
    const int hidden = zq_gui_dropmenu_add_entry(ctx_, drop, "Hidden", 2, count_click, &drop_calls);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Quit", 13, count_click, &drop_calls);
    zq_gui_dropmenu_set_entry_visible(ctx_, drop, hidden, 0);
    const Rect d = rect(drop);
    click(d.cx(), d.cy());
    click(d.x + 20, d.y + d.h + 1 + item_h * 1.5f);
    EXPECT_EQ(drop_calls.count, 1);
    EXPECT_EQ(drop_calls.last_id, 13);
    // A click outside an open list closes it and does nothing else.
    click(d.cx(), d.cy());
    click(c.cx(), c.cy());
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    EXPECT_EQ(drop_calls.count, 1);

    // A pop-up menu with a sub-menu and a hidden entry.
    struct Pick {
        int tag = -1, count = 0;
    } pick;
    ZQ_GUI_POPUP* menu = zq_gui_popup_new(
        ctx_, 1.0f,
        [](ZQ_GUI_POPUP*, int tag, void* user) {
            auto* p = static_cast<Pick*>(user);
            p->tag = tag;
            ++p->count;
        },
        &pick);
    zq_gui_popup_set_title(menu, "00:11:22:33:44:55");
    zq_gui_popup_add_item(menu, -1, "Details", 1, "");
    const int gone = zq_gui_popup_add_item(menu, -1, "Remove", 4, "");
    const int copy = zq_gui_popup_add_item(menu, -1, "Copy", 0, "");
    zq_gui_popup_add_item(menu, copy, "Copy address", 7, "Copy the address");
    EXPECT_EQ(zq_gui_popup_add_item(menu, 99, "bad parent", 1, ""), -1);
    zq_gui_popup_set_shown(menu, gone, 0);
    zq_gui_popup_open(menu, 400, 300);
    EXPECT_EQ(zq_gui_popup_is_open(menu), 1);
    EXPECT_EQ(zq_gui_popup_hit(menu, 405, 305), 1);
    EXPECT_EQ(zq_gui_popup_hit(menu, 300, 300), 0);
    // Hover "Copy" (the second shown entry, below the title) and its sub-menu opens to the right.
    const float lh = static_cast<float>(al_get_font_line_height(font_));
    const float entry_h = std::round(lh + 10), title_h = std::round(lh + 12);
    move(420, 300 + 1 + title_h + entry_h * 1.5f);
    float sub_x = 0;
    for (float x = 430; x < 800 && !sub_x; x += 5)
        if (zq_gui_popup_hit(menu, x, 300 + 1 + title_h + entry_h * 1.5f) &&
            !zq_gui_popup_hit(menu, x, 300 + 2))
            sub_x = x;
    ASSERT_GT(sub_x, 0) << "sub-menu did not open";
    click(sub_x + 20, 300 + 1 + title_h + entry_h * 1.5f);
    EXPECT_EQ(pick.count, 1);
    EXPECT_EQ(pick.tag, 7);
    EXPECT_EQ(zq_gui_popup_is_open(menu), 0);
    // A press outside closes it without a pick.
    zq_gui_popup_open(menu, 400, 300);
    click(50, 50);
    EXPECT_EQ(zq_gui_popup_is_open(menu), 0);
    EXPECT_EQ(pick.count, 1);
    zq_gui_popup_free(&menu);
    EXPECT_EQ(menu, nullptr);
}

TEST_F(Gui, RedrawIsAskedForOnlyWhenSomethingChanged) {
    const int win = zq_gui_add_window(ctx_, "Main", 100, 100, 400, 300);
    const int btn = zq_gui_add_button(ctx_, win, 20, 20, 120, 32, "Scan", 1, nullptr, nullptr);
    zq_gui_set_widget_tooltip(ctx_, btn, "Start or stop scanning");
    zq_gui_style(ctx_)->tooltip_delay = 0.05f;
    zq_gui_draw(ctx_);
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 0);
    move(450, 350);  // over the window, not over anything that changes
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 0);
    move(rect(btn).cx(), rect(btn).cy());  // hover look
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 1);
    zq_gui_draw(ctx_);
    al_rest(0.1);
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 1) << "the tooltip is due";
    zq_gui_draw(ctx_);
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 0);
    zq_gui_label_set_text(ctx_, zq_gui_add_label(ctx_, win, 0, 100, 100, 20, "a", 0), "b");
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 1);
}

// A tooltip leaves when its moment has passed: a window opening over the widget, a menu
// opening; and it never covers an open list.
TEST_F(Gui, TooltipsLeaveWhenAWindowOrMenuOpensAndNeverCoverAList) {
    const int win = zq_gui_add_window(ctx_, "Main", 100, 100, 400, 300);
    const int btn = zq_gui_add_button(ctx_, win, 20, 20, 120, 32, "Menu", 1, nullptr, nullptr);
    zq_gui_set_widget_tooltip(ctx_, btn, "History, traces, match log");
    const int combo = zq_gui_add_combobox(ctx_, win, 20, 80, 160, 32, nullptr, nullptr);
    zq_gui_combobox_add_item(ctx_, combo, "First");
    zq_gui_combobox_add_item(ctx_, combo, "Second");
    zq_gui_set_widget_tooltip(ctx_, combo, "Pick one");
    zq_gui_style(ctx_)->tooltip_delay = 0.05f;
    auto hover_until_tip = [&](int id) {
        move(450, 350);
        move(rect(id).cx(), rect(id).cy());
        zq_gui_draw(ctx_);
        al_rest(0.1);
        zq_gui_draw(ctx_);
        return zq_gui_tooltip_shown(ctx_) != 0;
    };

    // A pop-up window opens under a still pointer: the tooltip goes without a move.
    const int pop = zq_gui_add_window(ctx_, "Details", 50, 50, 500, 400);
    zq_gui_close_window(ctx_, pop);
    ASSERT_TRUE(hover_until_tip(btn));
    zq_gui_open_window(ctx_, pop);
    EXPECT_EQ(zq_gui_needs_redraw(ctx_), 1);
    zq_gui_draw(ctx_);
    al_rest(0.1);
    zq_gui_draw(ctx_);
    EXPECT_EQ(zq_gui_tooltip_shown(ctx_), 0);
    zq_gui_close_window(ctx_, pop);
    zq_gui_draw(ctx_);
    EXPECT_EQ(zq_gui_tooltip_shown(ctx_), 0) << "closing takes it away too";

    // A menu opened from the button: its tooltip does not cover the first entry.
    ASSERT_TRUE(hover_until_tip(btn));
    ZQ_GUI_POPUP* menu = zq_gui_popup_new(ctx_, 1, nullptr, nullptr);
    zq_gui_popup_add_item(menu, -1, "Map", 1, "");
    zq_gui_popup_open(menu, rect(btn).x, rect(btn).y + rect(btn).h);
    zq_gui_draw(ctx_);
    al_rest(0.1);
    zq_gui_draw(ctx_);
    EXPECT_EQ(zq_gui_tooltip_shown(ctx_), 0);
    zq_gui_popup_close(menu);
    zq_gui_popup_free(&menu);

    // The combo's list opened: its tooltip stays away while the pointer rests on the combo.
    ASSERT_TRUE(hover_until_tip(combo));
    click(rect(combo).cx(), rect(combo).cy());
    move(rect(combo).cx() + 1, rect(combo).cy());
    zq_gui_draw(ctx_);
    al_rest(0.1);
    zq_gui_draw(ctx_);
    EXPECT_EQ(zq_gui_tooltip_shown(ctx_), 0);
}

struct Links {
    std::vector<std::string> urls;
    std::vector<int> ids;
};

void on_link(int id, const char* url, void* user) {
    auto* l = static_cast<Links*>(user);
    l->urls.push_back(url);
    l->ids.push_back(id);
}

TEST_F(Gui, MarkdownViewWrapsScrollsAndReportsClickedLinks) {
    Links links;
    const int win = zq_gui_add_window(ctx_, "About", 100, 100, 500, 400);
    ZQ_GUI_MD_FONTS fonts;
    fonts.regular = font_;
    const int view = zq_gui_add_markdownview(ctx_, win, 10, 10, 420, 240, fonts);
    zq_gui_markdownview_set_link_callback(ctx_, view, on_link, &links);
    std::string text =
        "# About\nRead the [manual](https://example.org/m) first, then the rest.\n\n";
    for (int i = 0; i < 60; ++i) text += "- item " + std::to_string(i) + "\n";
    text += "\nThe [end](https://example.org/end).\n";
    zq_gui_markdownview_set_text(ctx_, view, text);
    EXPECT_EQ(zq_gui_markdownview_get_text(ctx_, view), text);

    // Clicks every few pixels over the view; the links it reported.
    const Rect v = rect(view);
    const auto sweep = [&] {
        links.urls.clear();
        for (float y = v.y + 2; y < v.y + v.h; y += 5)
            for (float x = v.x + 2; x < v.x + v.w - 20; x += 9) click(x, y);
        return links.urls;
    };
    std::vector<std::string> got = sweep();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "https://example.org/m");
    EXPECT_EQ(std::count(got.begin(), got.end(), "https://example.org/end"), 0)
        << "the last link is out of view";
    EXPECT_EQ(links.ids.back(), view);

    // Scrolled to the bottom with the wheel, the last link is the one to click.
    const float tall = zq_gui_markdownview_content_height(ctx_, view);
    EXPECT_GT(tall, v.h);
    for (int i = 0; i < 50; ++i) wheel(v.cx(), v.cy(), -1);
    got = sweep();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "https://example.org/end");
    EXPECT_EQ(std::count(got.begin(), got.end(), "https://example.org/m"), 0);

    // A press on a link released elsewhere opens nothing.
    zq_gui_markdownview_scroll_to(ctx_, view, 0);
    float lx = 0, ly = 0;
    for (float y = v.y + 2; y < v.y + v.h && !lx; y += 5)
        for (float x = v.x + 2; x < v.x + v.w - 20 && !lx; x += 9) {
            links.urls.clear();
            click(x, y);
            if (!links.urls.empty()) lx = x, ly = y;
        }
    ASSERT_GT(lx, 0);
    links.urls.clear();
    move(lx, ly);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, lx, ly, 1);
    move(v.x + v.w - 30, v.y + v.h - 5);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, v.x + v.w - 30, v.y + v.h - 5, 1);
    EXPECT_TRUE(links.urls.empty());

    // Narrower, the text wraps into more lines; the view keeps its own copy of the text.
    zq_gui_set_widget_rect(ctx_, view, 10, 10, 180, 240);
    EXPECT_GT(zq_gui_markdownview_content_height(ctx_, view), tall);
    text.clear();
    EXPECT_NE(zq_gui_markdownview_get_text(ctx_, view), "");
    zq_gui_draw(ctx_);
}

// True when `s` is valid UTF-8 (no split or stray bytes).
bool whole_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST_F(Gui, WordJumpsAndDeletionsWorkOnWholeWordsAndCharacters) {
    Calls calls;
    const int win = zq_gui_add_window(ctx_, "Note", 100, 100, 500, 300);
    const int field = zq_gui_add_textarea(ctx_, win, 10, 10, 400, 32, 0, 24, remember_text, &calls);
    click(rect(field).cx(), rect(field).cy());
    type("Grüße aus Zürich, café");
    constexpr int kCtrlShift = ALLEGRO_KEYMOD_CTRL | ALLEGRO_KEYMOD_SHIFT;

    // Ctrl+Left stops at the start of the word before the caret, past the punctuation.
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_CTRL);
    type("X");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus Zürich, Xcafé");
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_CTRL);
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_CTRL);
    type("Y");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus YZürich, Xcafé");
    // Ctrl+Backspace takes the word before the caret, Ctrl+Delete the one after it.
    key(ALLEGRO_KEY_BACKSPACE, 0, ALLEGRO_KEYMOD_CTRL);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus Zürich, Xcafé");
    key(ALLEGRO_KEY_DELETE, 0, ALLEGRO_KEYMOD_CTRL);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Grüße aus , Xcafé");
    // Ctrl+Shift+Right selects word by word from Home; typing replaces the selection.
    key(ALLEGRO_KEY_HOME);
    key(ALLEGRO_KEY_RIGHT, 0, kCtrlShift);
    key(ALLEGRO_KEY_RIGHT, 0, kCtrlShift);
    type("Hi");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Hi , Xcafé");
    // Right with a selection goes to its end; Left to its start.
    key(ALLEGRO_KEY_END);
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_SHIFT);
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_SHIFT);
    key(ALLEGRO_KEY_LEFT);
    type("-");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "Hi , Xca-fé");

    // Backspace and Delete take one whole character at a time, wherever the caret is.
    zq_gui_textarea_set_text(ctx_, field, "a☕é𝄞b");
    key(ALLEGRO_KEY_HOME);
    key(ALLEGRO_KEY_RIGHT);
    key(ALLEGRO_KEY_RIGHT);
    key(ALLEGRO_KEY_BACKSPACE);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "aé𝄞b");
    key(ALLEGRO_KEY_RIGHT);
    key(ALLEGRO_KEY_DELETE);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "aéb");
    for (int i = 0; i < 5; ++i) {
        key(ALLEGRO_KEY_BACKSPACE);
        ASSERT_TRUE(whole_utf8(zq_gui_textarea_get_text(ctx_, field)));
    }
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "b");
    // Nothing to take: no edit is reported.
    const int edits = calls.count;
    key(ALLEGRO_KEY_BACKSPACE);
    key(ALLEGRO_KEY_END);
    key(ALLEGRO_KEY_DELETE);
    EXPECT_EQ(calls.count, edits);

    // At the limit, a typed character is refused, but it may replace a selection.
    zq_gui_textarea_set_text(ctx_, field, "ääääääääääääääääääääääää");  // 24
    type("z");
    EXPECT_EQ(chars(zq_gui_textarea_get_text(ctx_, field)), 24u);
    EXPECT_EQ(calls.count, edits);
    key(ALLEGRO_KEY_LEFT, 0, ALLEGRO_KEYMOD_SHIFT);
    type("☕");
    const std::string at_limit = zq_gui_textarea_get_text(ctx_, field);
    EXPECT_EQ(chars(at_limit), 24u);
    EXPECT_EQ(at_limit.substr(at_limit.size() - 3), "☕");
    EXPECT_EQ(calls.last_text, at_limit);
}

TEST_F(Gui, DisabledAndCoveredWidgetsNeverActivate) {
    Calls calls, under_calls, combo_calls;
    const int win = zq_gui_add_window(ctx_, "Main", 0, 0, 1100, 820);
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_FRAMELESS);
    zq_gui_window_set_zorder(ctx_, win, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);
    const int btn =
        zq_gui_add_button(ctx_, win, 100, 100, 160, 40, "Delete", 1, count_click, &calls);
    const int box =
        zq_gui_add_checkbox(ctx_, win, 100, 160, 200, 26, "Sound", 0, count_click, &calls);
    const int field =
        zq_gui_add_textarea(ctx_, win, 100, 200, 300, 32, 0, 60, remember_text, &calls);
    const int combo = zq_gui_add_combobox(ctx_, win, 100, 260, 200, 30, count_select, &combo_calls);
    for (const char* s : {"One", "Two", "Three"}) zq_gui_combobox_add_item(ctx_, combo, s);
    const int slider =
        zq_gui_add_slider(ctx_, win, 100, 320, 300, 26, 0, 100, 50, 0, nullptr, nullptr);
    const Rect b = rect(btn), cb = rect(box), f = rect(field), c = rect(combo), s = rect(slider);

    // Disabled: clicks, keys and drags do nothing.
    for (int id : {btn, box, field, combo, slider}) zq_gui_set_widget_enabled(ctx_, id, 0);
    click(b.cx(), b.cy());
    click(cb.x + 8, cb.cy());
    click(f.cx(), f.cy());
    type("typed");
    click(c.cx(), c.cy());
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    click(s.x + 2, s.cy());
    key(ALLEGRO_KEY_HOME);
    EXPECT_EQ(calls.count, 0);
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 0);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "");
    EXPECT_FLOAT_EQ(zq_gui_slider_get_value(ctx_, slider), 50);
    for (int id : {btn, box, field, combo, slider}) zq_gui_set_widget_enabled(ctx_, id, 1);

    // Disabled while held or while in use: the release, the typing, the drag and the open
    // list do nothing any more.
    move(b.cx(), b.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, b.cx(), b.cy(), 1);
    zq_gui_set_widget_enabled(ctx_, btn, 0);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, b.cx(), b.cy(), 1);
    EXPECT_EQ(calls.count, 0);
    zq_gui_set_widget_enabled(ctx_, btn, 1);
    click(f.cx(), f.cy());
    zq_gui_set_widget_enabled(ctx_, field, 0);
    type("x");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "");
    zq_gui_set_widget_enabled(ctx_, field, 1);
    move(s.x + 2, s.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, s.x + 2, s.cy(), 1);
    zq_gui_set_widget_enabled(ctx_, slider, 0);
    move(s.x + s.w, s.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, s.x + s.w, s.cy(), 1);
    EXPECT_FLOAT_EQ(zq_gui_slider_get_value(ctx_, slider), 0);
    zq_gui_set_widget_enabled(ctx_, slider, 1);
    click(c.cx(), c.cy());
    ASSERT_EQ(zq_gui_menu_is_open(ctx_), 1);
    zq_gui_set_widget_enabled(ctx_, combo, 0);
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(combo_calls.count, 0);
    zq_gui_set_widget_enabled(ctx_, combo, 1);

    // Covered by an open list: the click picks the entry over the button.
    const int low =
        zq_gui_add_button(ctx_, win, 100, 300, 200, 80, "Under", 1, count_click, &under_calls);
    click(c.cx(), c.cy());
    ASSERT_EQ(zq_gui_menu_is_open(ctx_), 1);
    const float item_h = zq_gui_style(ctx_)->listbox_default_item_height;
    click(c.cx(), c.y + c.h + 1 + item_h * 1.5f);
    EXPECT_EQ(under_calls.count, 0);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 1);
    zq_gui_remove_widget(ctx_, low);

    // Covered by a pop-up menu: the press closes the menu and is the menu's.
    ZQ_GUI_POPUP* menu = zq_gui_popup_new(ctx_, 1, nullptr, nullptr);
    zq_gui_popup_add_item(menu, -1, "Copy", 1, "");
    zq_gui_popup_open(menu, b.x + 5, b.y + 5);
    click(b.cx(), b.cy());
    EXPECT_EQ(calls.count, 0);
    zq_gui_popup_free(&menu);

    // A pop-up window that opens while the button is held: the release over the pop-up is
    // not a click on the button under it.
    const int dialog = zq_gui_add_window(ctx_, "Confirm", 50, 50, 400, 300);
    zq_gui_window_set_zorder(ctx_, dialog, ZQ_GUI_ZORDER_POPUP, 0);
    zq_gui_close_window(ctx_, dialog);
    move(b.cx(), b.cy());
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, b.cx(), b.cy(), 1);
    zq_gui_open_window(ctx_, dialog);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, b.cx(), b.cy(), 1);
    EXPECT_EQ(calls.count, 0);
    // Nor is the wheel over the pop-up the covered window's, nor a press.
    wheel(b.cx(), b.cy(), -3);
    click(b.cx(), b.cy());
    click(cb.x + 8, cb.cy());
    EXPECT_EQ(calls.count, 0);
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 0);
    // The pop-up gone, the same clicks work.
    zq_gui_close_window(ctx_, dialog);
    click(b.cx(), b.cy());
    click(cb.x + 8, cb.cy());
    EXPECT_EQ(calls.count, 2);
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 1);
}

TEST_F(Gui, ListsAndMenusStayOnASmallDisplay) {
    // A phone-sized display: a list of twelve does not fit above or below the combobox.
    zq_gui_set_display_size(ctx_, 320, 420);
    Calls calls;
    const int win = zq_gui_add_window(ctx_, "Settings", 0, 0, 320, 420);
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_FRAMELESS);
    const int combo = zq_gui_add_combobox(ctx_, win, 20, 190, 280, 30, count_select, &calls);
    for (int i = 0; i < 12; ++i) zq_gui_combobox_add_item(ctx_, combo, "Item " + std::to_string(i));
    const Rect c = rect(combo);

    // Every item can be picked with the mouse within the display, the wheel scrolling the
    // list where it does not show all of them.
    std::vector<bool> reached(12, false);
    for (int notches = 0; notches <= 12; ++notches) {
        for (float y = 2; y < 420; y += 6) {
            if (y >= c.y && y < c.y + c.h) continue;
            zq_gui_combobox_set_selected(ctx_, combo, -1);
            click(c.cx(), c.cy());
            ASSERT_EQ(zq_gui_menu_is_open(ctx_), 1);
            if (notches) wheel(c.cx(), y, -notches);
            click(c.cx(), y);
            EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
            const int got = zq_gui_combobox_get_selected(ctx_, combo);
            if (got >= 0) reached[static_cast<size_t>(got)] = true;
        }
    }
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(reached[static_cast<size_t>(i)]) << "item " << i;

    // A pop-up menu opened at the bottom-right corner shows whole, sub-menu included.
    ZQ_GUI_POPUP* menu = zq_gui_popup_new(ctx_, 1, nullptr, nullptr);
    const int more = zq_gui_popup_add_item(menu, -1, "More", 0, "");
    zq_gui_popup_add_item(menu, more, "A rather long entry name", 3, "");
    zq_gui_popup_add_item(menu, -1, "Details", 1, "");
    zq_gui_popup_open(menu, 318, 418);
    EXPECT_EQ(zq_gui_popup_hit(menu, 318, 418), 1) << "the corner is on the menu";
    EXPECT_EQ(zq_gui_popup_hit(menu, 200, 418), 1) << "it moved left into the display";
    float top = 418;
    while (top > 0 && zq_gui_popup_hit(menu, 310, top - 1)) --top;
    EXPECT_GT(top, 0) << "it moved up into the display";
    zq_gui_popup_free(&menu);
}

TEST_F(Gui, TabOrderAndKeysDriveFieldsListsAndMenus) {
    Calls combo_calls, pick_calls;
    const int win = zq_gui_add_window(ctx_, "Edit", 100, 100, 600, 500);
    std::vector<int> fields;
    for (int i = 0; i < 5; ++i)
        fields.push_back(
            zq_gui_add_textarea(ctx_, win, 10, 10 + 40.0f * i, 300, 32, 0, 60, nullptr, nullptr));
    const int combo = zq_gui_add_combobox(ctx_, win, 10, 230, 200, 30, count_select, &combo_calls);
    for (const char* s : {"Metres", "Feet", "Both"}) zq_gui_combobox_add_item(ctx_, combo, s);
    zq_gui_combobox_set_selected(ctx_, combo, 0);
    zq_gui_set_widget_visible(ctx_, fields[2], 0);
    zq_gui_set_widget_enabled(ctx_, fields[3], 0);

    // Tab goes through the fields a person can use, in the order they were added (the
    // combobox added after them too), and round; Shift+Tab goes back. Each field lands with
    // its text selected.
    zq_gui_textarea_set_text(ctx_, fields[4], "old");
    click(rect(fields[0]).cx(), rect(fields[0]).cy());
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        key(ALLEGRO_KEY_TAB, '\t');
        order.push_back(zq_gui_get_focus(ctx_));
    }
    EXPECT_EQ(order, (std::vector<int>{fields[1], fields[4], combo, fields[0], fields[1]}));
    key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
    EXPECT_EQ(zq_gui_get_focus(ctx_), fields[0]);
    key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
    EXPECT_EQ(zq_gui_get_focus(ctx_), combo);
    key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
    EXPECT_EQ(zq_gui_get_focus(ctx_), fields[4]);
    type("new");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, fields[4]), "new");

    // A focused combobox: Down and Up choose, Enter opens the list, Escape closes it with
    // nothing chosen, Enter in the list chooses.
    click(rect(combo).cx(), rect(combo).cy());
    key(ALLEGRO_KEY_ESCAPE);
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    EXPECT_EQ(zq_gui_get_focus(ctx_), combo);
    key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 1);
    EXPECT_EQ(combo_calls.last_index, 1);
    key(ALLEGRO_KEY_UP);
    key(ALLEGRO_KEY_UP);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 0);
    EXPECT_EQ(combo_calls.count, 2) << "no choice made past the first item";
    key(ALLEGRO_KEY_ENTER, '\r');
    ASSERT_EQ(zq_gui_menu_is_open(ctx_), 1);
    key(ALLEGRO_KEY_END);
    key(ALLEGRO_KEY_ESCAPE);
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 0);
    key(ALLEGRO_KEY_SPACE, ' ');
    key(ALLEGRO_KEY_END);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 2);
    EXPECT_EQ(combo_calls.count, 3);

    // A drop-down menu: keys skip hidden entries and Enter picks.
    const int drop = zq_gui_add_dropmenu(ctx_, win, 250, 230, 120, 30, "Menu", nullptr, nullptr);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Map", 1, count_click, &pick_calls);
    const int hidden = zq_gui_dropmenu_add_entry(ctx_, drop, "Hidden", 2, count_click, &pick_calls);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Quit", 13, count_click, &pick_calls);
    zq_gui_dropmenu_set_entry_visible(ctx_, drop, hidden, 0);
    click(rect(drop).cx(), rect(drop).cy());
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(pick_calls.count, 1);
    EXPECT_EQ(pick_calls.last_id, 13);
    // A pop-up menu closes on Escape and lets no key through to the focused field.
    click(rect(fields[0]).cx(), rect(fields[0]).cy());
    ZQ_GUI_POPUP* menu = zq_gui_popup_new(ctx_, 1, nullptr, nullptr);
    zq_gui_popup_add_item(menu, -1, "Copy", 1, "");
    zq_gui_popup_open(menu, 300, 300);
    type("z");
    key(ALLEGRO_KEY_ESCAPE);
    EXPECT_EQ(zq_gui_popup_is_open(menu), 0);
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, fields[0]), "");
    zq_gui_popup_free(&menu);
}

// A person who does not use the pointer: Tab from a field to a button and Enter, then on
// through every kind of control and back.
TEST_F(Gui, TabReachesEveryControlAndTheKeysWorkIt) {
    Calls save_calls, delete_calls, box_calls, combo_calls;
    Values values;
    const int win = zq_gui_add_window(ctx_, "Report", 100, 80, 700, 600);
    const int field = zq_gui_add_textarea(ctx_, win, 10, 10, 300, 32, 0, 60, nullptr, nullptr);
    zq_gui_add_label(ctx_, win, 10, 50, 200, 26, "Save the report", ZQ_GUI_ALIGN_LEFT);
    const int save =
        zq_gui_add_button(ctx_, win, 10, 90, 120, 34, "Save", 1, count_click, &save_calls);
    const int del =
        zq_gui_add_button(ctx_, win, 140, 90, 120, 34, "Delete", 1, count_click, &delete_calls);
    zq_gui_set_widget_enabled(ctx_, del, 0);
    const int hidden =
        zq_gui_add_button(ctx_, win, 270, 90, 120, 34, "Hidden", 1, count_click, &delete_calls);
    zq_gui_set_widget_visible(ctx_, hidden, 0);
    const int box =
        zq_gui_add_checkbox(ctx_, win, 10, 140, 200, 26, "Sound", 0, count_click, &box_calls);
    const int toggle =
        zq_gui_add_toggle_button(ctx_, win, 220, 140, 120, 30, "Live", 1, 0, nullptr, nullptr);
    const int slider =
        zq_gui_add_slider(ctx_, win, 10, 190, 300, 26, 0, 100, 50, 0, on_value, &values);
    zq_gui_slider_set_step(ctx_, slider, 5);
    const int combo = zq_gui_add_combobox(ctx_, win, 10, 230, 200, 30, count_select, &combo_calls);
    for (const char* s : {"Metres", "Feet", "Both"}) zq_gui_combobox_add_item(ctx_, combo, s);
    zq_gui_combobox_set_selected(ctx_, combo, 0);
    zq_gui_add_custom(ctx_, win, 10, 280, 200, 100, nullptr, nullptr);

    click(rect(field).cx(), rect(field).cy());
    type("x");
    key(ALLEGRO_KEY_TAB, '\t');
    ASSERT_EQ(zq_gui_get_focus(ctx_), save) << "Tab went from the field to the button";
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(save_calls.count, 1);
    EXPECT_EQ(save_calls.last_id, save);
    key(ALLEGRO_KEY_SPACE, ' ');
    EXPECT_EQ(save_calls.count, 2);
    key_repeat(ALLEGRO_KEY_SPACE, ' ');
    EXPECT_EQ(save_calls.count, 2) << "a held key presses once";
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "x") << "the keys were the button's";

    // The disabled and the hidden button are passed over; Space ticks the checkbox, Enter
    // does not.
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), box);
    key(ALLEGRO_KEY_SPACE, ' ');
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 1);
    EXPECT_EQ(box_calls.count, 1);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(zq_gui_checkbox_is_checked(ctx_, box), 1);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), toggle);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(zq_gui_button_is_toggled(ctx_, toggle), 1);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), slider);
    key(ALLEGRO_KEY_RIGHT);
    EXPECT_FLOAT_EQ(zq_gui_slider_get_value(ctx_, slider), 55);
    EXPECT_FLOAT_EQ(values.last, 55);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), combo);
    key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 1);
    EXPECT_EQ(combo_calls.last_index, 1);
    // Past the last control (the custom widget takes no keys) back to the field, its text
    // selected, so that typing replaces it.
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), field);
    type("new");
    EXPECT_EQ(zq_gui_textarea_get_text(ctx_, field), "new");

    // Shift+Tab goes back the same way.
    std::vector<int> back;
    for (int i = 0; i < 6; ++i) {
        key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
        back.push_back(zq_gui_get_focus(ctx_));
    }
    EXPECT_EQ(back, (std::vector<int>{combo, slider, toggle, box, save, field}));
    EXPECT_EQ(save_calls.count, 2);
    EXPECT_EQ(delete_calls.count, 0);

    // A button disabled while it has the focus no longer presses.
    key(ALLEGRO_KEY_TAB, '\t');
    ASSERT_EQ(zq_gui_get_focus(ctx_), save);
    zq_gui_set_widget_enabled(ctx_, save, 0);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(save_calls.count, 2);
}

// Tab stays among what a person can see: a window's controls under another window are not
// reached, and with nothing focused Tab starts in the window on top.
TEST_F(Gui, TabPassesOverCoveredControlsAndStartsInTheTopWindow) {
    Calls calls;
    const int back = zq_gui_add_window(ctx_, "Main", 0, 0, 1100, 820);
    zq_gui_window_set_flags(ctx_, back, ZQ_GUI_WIN_FRAMELESS);
    zq_gui_window_set_zorder(ctx_, back, ZQ_GUI_ZORDER_ALWAYS_BEHIND, 0);
    const int search = zq_gui_add_textarea(ctx_, back, 20, 20, 300, 32, 0, 60, nullptr, nullptr);
    const int scan =
        zq_gui_add_button(ctx_, back, 340, 20, 120, 32, "Scan", 1, count_click, &calls);
    const int under =
        zq_gui_add_button(ctx_, back, 500, 400, 120, 32, "Under", 1, count_click, &calls);
    const int dialog = zq_gui_add_window(ctx_, "Details", 300, 200, 500, 400);
    zq_gui_window_set_zorder(ctx_, dialog, ZQ_GUI_ZORDER_POPUP, 0);
    const int close =
        zq_gui_add_button(ctx_, dialog, 20, 20, 120, 32, "Close", 1, count_click, &calls);
    const int star =
        zq_gui_add_button(ctx_, dialog, 160, 20, 120, 32, "Star", 1, count_click, &calls);

    // From the search field: the button under the details window is passed over.
    click(rect(search).cx(), rect(search).cy());
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        key(ALLEGRO_KEY_TAB, '\t');
        order.push_back(zq_gui_get_focus(ctx_));
    }
    EXPECT_EQ(order, (std::vector<int>{scan, search, scan}));
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.last_id, scan);
    // The window closed, the button is in reach again.
    zq_gui_close_window(ctx_, dialog);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), under);

    // Nothing focused: Tab starts at the first control of the window on top, Shift+Tab at
    // its last, and the keys stay in it.
    zq_gui_open_window(ctx_, dialog);
    click(1000, 780);
    ASSERT_EQ(zq_gui_get_focus(ctx_), -1);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), close);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), star);
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), close);
    zq_gui_set_focus(ctx_, -1);
    key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
    EXPECT_EQ(zq_gui_get_focus(ctx_), star);
    key(ALLEGRO_KEY_SPACE, ' ');
    EXPECT_EQ(calls.last_id, star);
}

struct Pick {
    int tag = -1, count = 0;
};

void remember_pick(ZQ_GUI_POPUP*, int tag, void* user) {
    auto* p = static_cast<Pick*>(user);
    p->tag = tag;
    ++p->count;
}

// Right-click menus and open lists worked with the arrows, Enter, Space, Home, End and
// Escape; the keyboard's highlight looks like the pointer's.
TEST_F(Gui, MenusAndListsAreWorkedFromTheKeyboard) {
    Pick pick;
    zq_gui_add_window(ctx_, "Main", 0, 0, 1100, 820);
    ZQ_GUI_POPUP* menu = zq_gui_popup_new(ctx_, 1.0f, remember_pick, &pick);
    zq_gui_popup_add_item(menu, -1, "Details", 1, "");
    const int copy = zq_gui_popup_add_item(menu, -1, "Copy", 0, "");
    zq_gui_popup_add_item(menu, copy, "Copy address", 7, "");
    zq_gui_popup_add_item(menu, copy, "Copy name", 8, "");
    const int forget = zq_gui_popup_add_item(menu, -1, "Forget", 4, "");
    zq_gui_popup_add_item(menu, -1, "Whitelist", 5, "");
    zq_gui_popup_set_shown(menu, forget, 0);

    // Down from nothing highlights the first entry; hidden entries are passed over and the
    // ends wrap round.
    zq_gui_popup_open(menu, 400, 300);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_DOWN);  // round to "Details"
    key(ALLEGRO_KEY_UP);    // round to "Whitelist"
    key(ALLEGRO_KEY_HOME);
    key(ALLEGRO_KEY_END);
    EXPECT_EQ(pick.count, 0);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(pick.count, 1);
    EXPECT_EQ(pick.tag, 5);
    EXPECT_EQ(zq_gui_popup_is_open(menu), 0);

    // Into a sub-menu with Right, out with Left; Enter on a sub-menu's entry opens it.
    zq_gui_popup_open(menu, 400, 300);
    key(ALLEGRO_KEY_UP);     // "Whitelist"
    key(ALLEGRO_KEY_UP);     // "Copy"
    key(ALLEGRO_KEY_RIGHT);  // "Copy address"
    key(ALLEGRO_KEY_DOWN);   // "Copy name"
    key(ALLEGRO_KEY_LEFT);   // "Copy" again, its sub-menu closed
    key(ALLEGRO_KEY_DOWN);   // "Whitelist"
    key(ALLEGRO_KEY_UP);     // "Copy"
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(pick.count, 1) << "Enter on a sub-menu's entry opens it";
    key(ALLEGRO_KEY_END);
    key(ALLEGRO_KEY_SPACE, ' ');
    EXPECT_EQ(pick.count, 2);
    EXPECT_EQ(pick.tag, 8);
    // Escape closes it with nothing picked.
    zq_gui_popup_open(menu, 400, 300);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_ESCAPE);
    EXPECT_EQ(zq_gui_popup_is_open(menu), 0);
    EXPECT_EQ(pick.count, 2);

    // The keyboard's highlight is drawn as the pointer's: "Details" highlighted by a key
    // looks as it does under the pointer, and unlike an entry that is not.
    const float lh = static_cast<float>(al_get_font_line_height(font_));
    const float entry_h = std::round(lh + 10);
    const float first_y = 300 + 1 + entry_h / 2, third_y = 300 + 1 + entry_h * 2.5f;
    zq_gui_popup_open(menu, 400, 300);
    move(402, first_y);
    frame();
    const ALLEGRO_COLOR hovered = pixel(403, first_y);
    const ALLEGRO_COLOR plain = pixel(403, third_y);
    ASSERT_FALSE(same_colour(hovered, plain));
    key(ALLEGRO_KEY_END);  // "Whitelist", the third shown entry
    frame();
    EXPECT_TRUE(same_colour(pixel(403, third_y), hovered))
        << colour_text(pixel(403, third_y)) << " vs " << colour_text(hovered);
    EXPECT_TRUE(same_colour(pixel(403, first_y), plain))
        << "only the keyboard's entry is highlighted once a key moved it";
    // The pointer moving onto an entry takes the highlight back.
    move(402, first_y + 2);
    frame();
    EXPECT_TRUE(same_colour(pixel(403, first_y), hovered));
    EXPECT_TRUE(same_colour(pixel(403, third_y), plain));
    key(ALLEGRO_KEY_ESCAPE);
    zq_gui_popup_free(&menu);

    // A combobox chosen from the keyboard alone: Tab to it, Enter opens its list at the
    // chosen item, Up wraps to the last, Enter chooses it.
    Calls combo_calls, drop_calls;
    const int win = zq_gui_add_window(ctx_, "Settings", 100, 100, 500, 400);
    const int combo = zq_gui_add_combobox(ctx_, win, 10, 10, 200, 30, count_select, &combo_calls);
    for (const char* s : {"Small", "Normal", "Large"}) zq_gui_combobox_add_item(ctx_, combo, s);
    zq_gui_combobox_set_selected(ctx_, combo, 0);
    const int drop = zq_gui_add_dropmenu(ctx_, win, 250, 10, 120, 30, "More", nullptr, nullptr);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Map", 1, count_click, &drop_calls);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Export", 2, count_click, &drop_calls);
    zq_gui_dropmenu_add_entry(ctx_, drop, "Quit", 13, count_click, &drop_calls);
    click(490, 390);  // the empty part of the window
    key(ALLEGRO_KEY_TAB, '\t');
    ASSERT_EQ(zq_gui_get_focus(ctx_), combo);
    key(ALLEGRO_KEY_ENTER, '\r');
    ASSERT_EQ(zq_gui_menu_is_open(ctx_), 1);
    key(ALLEGRO_KEY_UP);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(zq_gui_menu_is_open(ctx_), 0);
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 2);
    EXPECT_EQ(combo_calls.count, 1);
    key(ALLEGRO_KEY_SPACE, ' ');
    key(ALLEGRO_KEY_DOWN);  // round to "Small"
    key(ALLEGRO_KEY_SPACE, ' ');
    EXPECT_EQ(zq_gui_combobox_get_selected(ctx_, combo), 0);
    // A drop-down menu opens from the keyboard on its first entry.
    key(ALLEGRO_KEY_TAB, '\t');
    ASSERT_EQ(zq_gui_get_focus(ctx_), drop);
    key(ALLEGRO_KEY_ENTER, '\r');
    ASSERT_EQ(zq_gui_menu_is_open(ctx_), 1);
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(drop_calls.count, 1);
    EXPECT_EQ(drop_calls.last_id, 1);
    key(ALLEGRO_KEY_DOWN);
    key(ALLEGRO_KEY_UP);  // round to "Quit"
    key(ALLEGRO_KEY_ENTER, '\r');
    EXPECT_EQ(drop_calls.count, 2);
    EXPECT_EQ(drop_calls.last_id, 13);
}

// The focused control shows a ring once the keyboard is in use, not after a click, in a
// colour that stands out from a dark and from a light window.
TEST_F(Gui, FocusRingShowsAfterKeysOnlyAndStandsOutInDarkAndLightThemes) {
    struct Palette {
        const char* name;
        ALLEGRO_COLOR panel, panel_hi, border, primary, text;
    };
    const Palette palettes[] = {
        {"dark", al_map_rgb(0x1C, 0x20, 0x22), al_map_rgb(0x2A, 0x30, 0x33),
         al_map_rgb(0x3A, 0x42, 0x45), al_map_rgb(0x0B, 0x5C, 0x63), al_map_rgb(0xE6, 0xEB, 0xEC)},
        {"light", al_map_rgb(0xEC, 0xEF, 0xF0), al_map_rgb(0xDD, 0xE2, 0xE3),
         al_map_rgb(0xB8, 0xC0, 0xC2), al_map_rgb(0x0B, 0x5C, 0x63), al_map_rgb(0x1A, 0x1F, 0x21)},
    };
    for (const Palette& p : palettes) {
        SCOPED_TRACE(p.name);
        zq_gui_destroy_ctx(&ctx_);
        ctx_ = zq_gui_new_ctx(font_);
        ASSERT_NE(ctx_, nullptr);
        zq_gui_set_display(ctx_, display_);
        zq_gui_set_display_size(ctx_, 1100, 820);
        zq_gui_set_default_theme(
            ctx_, zq_gui_make_theme(p.panel, p.panel_hi, p.primary, p.border, p.primary, p.primary,
                                    p.text, p.text, p.text, 1, 6, 6, al_map_rgba(5, 40, 44, 115)));
        zq_gui_set_shape_mode(ctx_, 1);
        const int win = zq_gui_add_window(ctx_, "Settings", 100, 100, 600, 400);
        const int field = zq_gui_add_textarea(ctx_, win, 20, 20, 260, 32, 0, 60, nullptr, nullptr);
        const int ok = zq_gui_add_button(ctx_, win, 20, 80, 120, 34, "OK", 1, nullptr, nullptr);
        const int combo = zq_gui_add_combobox(ctx_, win, 20, 140, 200, 30, nullptr, nullptr);
        for (const char* s : {"One", "Two"}) zq_gui_combobox_add_item(ctx_, combo, s);
        const Rect b = rect(ok), c = rect(combo);
        // Just outside the left edge, where the ring runs.
        const auto ring_at = [&](const Rect& r) { return pixel(r.x - 3, r.cy()); };

        click(rect(field).cx(), rect(field).cy());
        frame(p.panel);
        EXPECT_TRUE(same_colour(ring_at(b), p.panel)) << "no ring before a key";
        key(ALLEGRO_KEY_TAB, '\t');
        ASSERT_EQ(zq_gui_get_focus(ctx_), ok);
        frame(p.panel);
        al_save_bitmap((testing::TempDir() + "zq_focus_ring_" + p.name + ".png").c_str(),
                       al_get_backbuffer(display_));
        const ALLEGRO_COLOR ring = ring_at(b);
        EXPECT_GE(contrast_ratio(ring, p.panel), 3.0)
            << colour_text(ring) << " on " << colour_text(p.panel);
        EXPECT_TRUE(same_colour(pixel(b.x + b.w + 3, b.cy()), ring)) << "the ring goes round";
        EXPECT_TRUE(same_colour(pixel(b.cx(), b.y - 3), ring));

        // A click on the combobox focuses it without a ring; a key on it shows the ring.
        click(c.cx(), c.cy());
        key(ALLEGRO_KEY_ESCAPE);
        ASSERT_EQ(zq_gui_get_focus(ctx_), combo);
        frame(p.panel);
        EXPECT_TRUE(same_colour(ring_at(c), p.panel)) << colour_text(ring_at(c));
        EXPECT_TRUE(same_colour(ring_at(b), p.panel)) << "the ring left the button";
        key(ALLEGRO_KEY_DOWN);
        frame(p.panel);
        EXPECT_TRUE(same_colour(ring_at(c), ring)) << colour_text(ring_at(c));
    }
}

TEST_F(Gui, WindowsScrollByWheelAndThumbAndBringTheFocusedFieldIntoView) {
    const int win = zq_gui_add_window(ctx_, "Settings", 100, 100, 400, 300);
    zq_gui_window_set_flags(ctx_, win, ZQ_GUI_WIN_VSCROLL | ZQ_GUI_WIN_CLOSE_BTN);
    std::vector<int> fields;
    for (int i = 0; i < 20; ++i)
        fields.push_back(
            zq_gui_add_textarea(ctx_, win, 10, 10 + 50.0f * i, 300, 32, 0, 60, nullptr, nullptr));
    float cx, cy, cw, ch;
    ASSERT_TRUE(zq_gui_window_client_rect(ctx_, win, &cx, &cy, &cw, &ch));
    const auto shown = [&](int id) {
        const Rect r = rect(id);
        return r.y >= cy && r.y + r.h <= cy + ch;
    };
    ASSERT_FALSE(shown(fields[19]));

    // The wheel scrolls, and stops where the last field shows whole.
    const ZQ_GUI_WINDOW* w = zq_gui_get_window(ctx_, win);
    wheel(cx + 150, cy + 100, -1);
    EXPECT_GT(w->scroll_y, 0);
    for (int i = 0; i < 100; ++i) wheel(cx + 150, cy + 100, -1);
    EXPECT_TRUE(shown(fields[19]));
    const float bottom = w->scroll_y;
    wheel(cx + 150, cy + 100, -5);
    EXPECT_FLOAT_EQ(w->scroll_y, bottom);
    // What is under the pointer after scrolling is what gets the click.
    click(rect(fields[18]).cx(), rect(fields[18]).cy());
    EXPECT_EQ(zq_gui_get_focus(ctx_), fields[18]);
    for (int i = 0; i < 100; ++i) wheel(cx + 150, cy + 100, 1);
    EXPECT_FLOAT_EQ(w->scroll_y, 0);

    // The thumb dragged to the bottom of the track scrolls to the end, no further.
    const float bar_x = cx + cw + zq_gui_style(ctx_)->global_scrollbar_size / 2;
    move(bar_x, cy + 5);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, bar_x, cy + 5, 1);
    move(bar_x, cy + ch + 300);
    mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, bar_x, cy + ch + 300, 1);
    EXPECT_FLOAT_EQ(w->scroll_y, bottom);

    // Tab from the last field comes round to the first and scrolls it back into view.
    click(rect(fields[19]).cx(), rect(fields[19]).cy());
    key(ALLEGRO_KEY_TAB, '\t');
    EXPECT_EQ(zq_gui_get_focus(ctx_), fields[0]);
    EXPECT_TRUE(shown(fields[0]));
    key(ALLEGRO_KEY_TAB, '\t', ALLEGRO_KEYMOD_SHIFT);
    EXPECT_TRUE(shown(fields[19]));

    // Made taller, the window gives back the scroll it no longer needs.
    zq_gui_window_set_rect(ctx_, win, 100, 100, 400, 700);
    EXPECT_LE(w->scroll_y, w->content_h - (700 - (cy - 100)) + 1);
}

TEST_F(Gui, RowsWrapAtNarrowWidthsAndALabelGoesAboveAFieldWithoutRoom) {
    const int win = zq_gui_add_window(ctx_, "Actions", 0, 0, 1100, 820);
    std::vector<ZQ_GUI_ROW_ITEM> buttons;
    for (float bw : {100.0f, 120.0f, 90.0f, 200.0f})
        buttons.push_back({zq_gui_add_button(ctx_, win, 0, 0, bw, 30, "b", 1, nullptr, nullptr)});
    const auto at = [&](int id) {
        const ZQ_GUI_WIDGET* w = zq_gui_get_widget(ctx_, id);
        return std::vector<float>{w->x, w->y, w->w, w->h};
    };
    // Wide: one row; the y below it.
    EXPECT_FLOAT_EQ(zq_gui_place_rows(ctx_, buttons, 10, 50, 600, 32, 5, 4), 82);
    EXPECT_EQ(at(buttons[3].id), (std::vector<float>{10 + 100 + 120 + 90 + 15, 50, 200, 32}));
    // Narrow: a button that would pass the edge starts the next row, a hidden one takes no room.
    zq_gui_set_widget_visible(ctx_, buttons[1].id, 0);
    EXPECT_FLOAT_EQ(zq_gui_place_rows(ctx_, buttons, 10, 50, 210, 32, 5, 4), 50 + 32 + 4 + 32);
    EXPECT_EQ(at(buttons[0].id), (std::vector<float>{10, 50, 100, 32}));
    EXPECT_EQ(at(buttons[2].id), (std::vector<float>{115, 50, 90, 32}));
    EXPECT_EQ(at(buttons[3].id), (std::vector<float>{10, 86, 200, 32}));
    // Too narrow for even one: each alone on its row, none pushed off to the right.
    EXPECT_FLOAT_EQ(zq_gui_place_rows(ctx_, buttons, 10, 0, 50, 30, 5, 0), 90);
    EXPECT_FLOAT_EQ(at(buttons[3].id)[0], 10);

    // A label and its field side by side while the field keeps its least width, else the
    // label (shorter) above a field across the whole width; clicks reach the field there.
    const int label = zq_gui_add_label(ctx_, win, 0, 0, 0, 0, "Host", 0);
    const int field = zq_gui_add_textarea(ctx_, win, 0, 0, 0, 0, 0, 60, nullptr, nullptr);
    const ZQ_GUI_ROW_ITEM row[] = {{.id = label, .w = 80, .over_h = 20},
                                   {.id = field, .fill_min = 180}};
    EXPECT_FLOAT_EQ(zq_gui_place_rows(ctx_, row, 20, 300, 300, 32, 0, 0), 332);
    EXPECT_EQ(at(field), (std::vector<float>{100, 300, 220, 32}));
    EXPECT_EQ(at(label), (std::vector<float>{20, 300, 80, 32}));
    EXPECT_FLOAT_EQ(zq_gui_place_rows(ctx_, row, 20, 300, 250, 32, 0, 0), 352);
    EXPECT_EQ(at(label), (std::vector<float>{20, 300, 80, 20}));
    EXPECT_EQ(at(field), (std::vector<float>{20, 320, 250, 32}));
    click(rect(field).cx(), rect(field).cy());
    EXPECT_EQ(zq_gui_get_focus(ctx_), field);
}

TEST(ZqGuiText, ShortenCutsAtCharactersAndEndsWithAnEllipsis) {
    OVK_REQUIRE_XVFB();
    ASSERT_TRUE(al_init() && al_init_font_addon() && al_init_ttf_addon());
    ALLEGRO_FONT* font = al_load_ttf_font(zq_gallery_font_path("DejaVuSans.ttf").c_str(), 15, 0);
    ASSERT_NE(font, nullptr);
    const std::string text = "Ünïcode ☕ address 00:11:22:33:44:55 vendor name";
    EXPECT_EQ(zq_gui_text_shorten(font, "short", 500), "short");
    for (float w : {40.0f, 80.0f, 150.0f}) {
        const std::string s = zq_gui_text_shorten(font, text, w);
        EXPECT_LE(al_get_text_width(font, s.c_str()), w) << s;
        EXPECT_EQ(s.substr(s.size() - 3), "...");
        EXPECT_EQ(text.compare(0, s.size() - 3, s, 0, s.size() - 3), 0) << s;
    }
    // Into a small buffer: cut at a character boundary and terminated.
    char out[8];
    zq_gui_text_shorten(font, "ab☕☕☕☕", 1000, 0, out, sizeof out);
    EXPECT_STREQ(out, "ab☕");
    al_destroy_font(font);
}

TEST(ZqGallery, ShotSavesTheWindowAsAPicture) {
    OVK_REQUIRE_XVFB();
    const std::string png = testing::TempDir() + "zq_gallery_shot.png";
    std::remove(png.c_str());
    ovk_test::ProgramLaunch run;
    run.exe = std::string(OVK_BINARY_DIR) + "/zq-gallery";
    run.args = {"--shot", png};
    run.out_dir = testing::TempDir();
    run.deadline_s = 60;
    const ovk_test::ProgramRun r = ovk_test::run_program(run);
    ASSERT_EQ(r.status, 0) << r.err;
    const ovk_test::CommandResult id = ovk_test::run_command("identify -format '%m %w %h' " + png);
    EXPECT_EQ(id.out, "PNG 1100 820");

    // The picture shows the gallery, not a blank frame: most of it is covered by windows
    // and widgets in many shades (text is drawn smoothed), and the background colour the
    // gallery clears to shows only around them.
    ASSERT_TRUE(al_init() && al_init_image_addon());
    ALLEGRO_BITMAP* pic = al_load_bitmap(png.c_str());
    ASSERT_NE(pic, nullptr);
    ASSERT_EQ(al_get_bitmap_width(pic), 1100);
    ASSERT_TRUE(al_lock_bitmap(pic, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY));
    std::set<uint32_t> shades;
    long drawn = 0, total = 0;
    for (int y = 0; y < 820; y += 2) {
        for (int x = 0; x < 1100; x += 2) {
            unsigned char r, g, b;
            al_unmap_rgb(al_get_pixel(pic, x, y), &r, &g, &b);
            shades.insert((uint32_t{r} << 16) | (uint32_t{g} << 8) | b);
            drawn += !(r == 18 && g == 20 && b == 22);
            ++total;
        }
    }
    al_unlock_bitmap(pic);
    al_destroy_bitmap(pic);
    EXPECT_GT(shades.size(), 100u);
    EXPECT_GT(drawn, total / 2) << drawn << " of " << total << " pixels drawn";
}

// The gallery as a person uses it: real pointer and keys through xdotool, the clipboard
// read by another program.
TEST(ZqGallery, RealMouseAndKeysEditTheSearchFieldAndCopyIt) {
    OVK_REQUIRE_XVFB();
    ovk_test::ProgramRun result;
    std::thread app([&result] {
        ovk_test::ProgramLaunch run;
        run.exe = std::string(OVK_BINARY_DIR) + "/zq-gallery";
        run.out_dir = testing::TempDir();
        run.deadline_s = 90;
        result = ovk_test::run_program(run);
    });
    std::string wid;
    const bool shown = ovk_test::x_wait_window("zq-gallery", 30000, &wid);
    const auto expect_clipboard = [](const std::string& want) {
        std::string got;
        for (int i = 0; i < 40 && got != want; ++i) {
            got = ovk_test::xclip_get().out;
            if (got != want) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(got, want);
    };
    if (shown) {
        const std::string on = "xdotool mousemove --window " + wid + " ";
        // The window shows before the gallery takes input: repeat until it answers. A click
        // on empty space closes the context menu the gallery opens with.
        std::string got;
        for (int i = 0; i < 30 && got != "Café ☕ near the station, «quoted» text"; ++i) {
            ovk_test::x_run(on + "300 30 click 1");
            ovk_test::x_run(on + "377 282 click 1");
            ovk_test::x_run("xdotool key --delay 30 ctrl+a ctrl+c");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            got = ovk_test::xclip_get().out;
        }
        EXPECT_EQ(got, "Café ☕ near the station, «quoted» text");
        ovk_test::x_run("xdotool type --delay 30 'Oslo 42'");
        ovk_test::x_run("xdotool key --delay 30 BackSpace ctrl+a ctrl+x");
        expect_clipboard("Oslo 4");
        ovk_test::x_run("xdotool key Escape");  // nothing open: the gallery ends
    }
    app.join();
    ASSERT_TRUE(shown) << "the gallery window did not show";
    EXPECT_EQ(result.status, 0) << result.err;
}

}  // namespace
