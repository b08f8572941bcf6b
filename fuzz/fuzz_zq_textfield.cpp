// SPDX-License-Identifier: GPL-3.0-or-later
// A text field driven by arbitrary input, as text pasted or typed from anywhere would
// reach it: the first byte chooses one- or multi-line and the character limit, the rest is a
// program of edits (characters, set text from raw bytes, moves with and without Shift,
// deletions, clicks and drags). After every step the text is valid UTF-8 without control
// characters (line feeds only in multi-line fields), within the limit in characters, and the
// caret and the selection's other end sit on character boundaries inside it. No display: the
// font draws into memory bitmaps and drawing goes to a memory target.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zq_gui_internal.h"

namespace {

ALLEGRO_FONT* g_font = nullptr;
ALLEGRO_BITMAP* g_target = nullptr;

bool on_boundary(const std::string& s, size_t i) {
    return i == s.size() || (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80);
}

void check(const ZQ_GUI_TEXT_DATA& t) {
    if (zq_utf8_clean(t.text, SIZE_MAX) != t.text) __builtin_trap();
    for (unsigned char c : t.text)
        if ((c < 0x20 && !(c == '\n' && t.multiline)) || c == 0x7F) __builtin_trap();
    if (zq_utf8_count(t.text) > static_cast<size_t>(t.limit)) __builtin_trap();
    if (!on_boundary(t.text, t.caret) || !on_boundary(t.text, t.anchor)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon())
        abort();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    g_font = al_load_ttf_font("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14, 0);
    if (!g_font) g_font = al_create_builtin_font();
    g_target = al_create_bitmap(320, 200);
    if (!g_font || !g_target) abort();
    al_set_target_bitmap(g_target);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ZQ_GUI_CTX* ctx = zq_gui_new_ctx(g_font);
    zq_gui_set_display_size(ctx, 320, 200);
    const int win = zq_gui_add_window(ctx, "Fuzz", 0, 0, 320, 200);
    zq_gui_window_set_flags(ctx, win, ZQ_GUI_WIN_FRAMELESS);
    const bool multiline = data[0] & 1;
    const int limits[4] = {60, 5, 300, 1};
    const int id = zq_gui_add_textarea(ctx, win, 10, 10, 200, multiline ? 90 : 30, multiline,
                                       limits[(data[0] >> 1) & 3], nullptr, nullptr);
    ZQ_GUI_TEXT_DATA& t = *zq_gui_data<ZQ_GUI_TEXT_DATA>(ctx, id);
    zq_gui_set_focus(ctx, id);

    const auto byte = [&](size_t& i) -> unsigned { return i < size ? data[i++] : 0; };
    ALLEGRO_EVENT ev{};
    for (size_t i = 1; i < size;) {
        const unsigned op = byte(i);
        const int mods =
            ((op & 0x10) ? ALLEGRO_KEYMOD_SHIFT : 0) | ((op & 0x20) ? ALLEGRO_KEYMOD_CTRL : 0);
        ev = ALLEGRO_EVENT{};
        switch (op & 7) {
            case 0: {  // a character, any code point
                const unsigned cp = (byte(i) << 16 | byte(i) << 8 | byte(i)) % 0x110000;
                ev.type = ALLEGRO_EVENT_KEY_CHAR;
                ev.keyboard.keycode = ALLEGRO_KEY_A;
                ev.keyboard.unichar = static_cast<int>(cp);
                zq_gui_process_event(ctx, &ev);
                break;
            }
            case 1: {  // a movement or editing key
                static const int keys[] = {
                    ALLEGRO_KEY_LEFT,  ALLEGRO_KEY_RIGHT, ALLEGRO_KEY_UP,        ALLEGRO_KEY_DOWN,
                    ALLEGRO_KEY_HOME,  ALLEGRO_KEY_END,   ALLEGRO_KEY_BACKSPACE, ALLEGRO_KEY_DELETE,
                    ALLEGRO_KEY_ENTER, ALLEGRO_KEY_A,     ALLEGRO_KEY_X,         ALLEGRO_KEY_TAB};
                ev.type = ALLEGRO_EVENT_KEY_CHAR;
                ev.keyboard.keycode = keys[byte(i) % (sizeof keys / sizeof keys[0])];
                ev.keyboard.modifiers = static_cast<unsigned>(mods);
                zq_gui_process_event(ctx, &ev);
                break;
            }
            case 2: {  // the whole text replaced by raw bytes
                const size_t n = std::min<size_t>(byte(i), size - std::min(i, size));
                zq_gui_textarea_set_text(
                    ctx, id, std::string_view(reinterpret_cast<const char*>(data + i), n));
                i += n;
                break;
            }
            case 3:
            case 4: {  // a click, or a press here and a release there
                const float x = static_cast<float>(byte(i)), y = static_cast<float>(byte(i) % 120);
                ev.mouse.x = static_cast<int>(x);
                ev.mouse.y = static_cast<int>(y);
                ev.mouse.button = 1;
                ev.type = ALLEGRO_EVENT_MOUSE_AXES;
                zq_gui_process_event(ctx, &ev);
                ev.type = ALLEGRO_EVENT_MOUSE_BUTTON_DOWN;
                zq_gui_process_event(ctx, &ev);
                if ((op & 7) == 4) {
                    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
                    ev.mouse.x = static_cast<int>(byte(i));
                    ev.mouse.y = static_cast<int>(byte(i) % 120);
                    zq_gui_process_event(ctx, &ev);
                }
                ev.type = ALLEGRO_EVENT_MOUSE_BUTTON_UP;
                zq_gui_process_event(ctx, &ev);
                zq_gui_set_focus(ctx, id);
                break;
            }
            case 5: {  // the wheel
                ev.type = ALLEGRO_EVENT_MOUSE_AXES;
                ev.mouse.x = 40;
                ev.mouse.y = 30;
                ev.mouse.dz = static_cast<int>(byte(i) % 7) - 3;
                zq_gui_process_event(ctx, &ev);
                break;
            }
            default:  // a frame
                zq_gui_draw(ctx);
                break;
        }
        check(t);
    }
    zq_gui_draw(ctx);
    zq_gui_destroy_ctx(&ctx);
    return 0;
}
