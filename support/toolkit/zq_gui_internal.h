// SPDX-License-Identifier: GPL-3.0-or-later
// The toolkit's own records: what zq_gui.h hands out as opaque pointers or ids, and the
// helpers the toolkit's source files share. Screens never include this header.
//
// Index
//   1. Widget data, one record per kind
//   2. Windows and pop-up menus
//   3. The context
//   4. Shared helpers (lookup, geometry, behaviour, text, drawing), by source file
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "zq_gui.h"

struct ZQ_MDVIEW;  // laid-out markdown document (zq_mdview.h)

// ---------------------------------------------------------------------------------------
// 1. Widget data
// ---------------------------------------------------------------------------------------

struct ZQ_GUI_LABEL_DATA {
    std::string text;
    int align = ZQ_GUI_ALIGN_LEFT;
};

// Buttons and toggle buttons.
struct ZQ_GUI_BUTTON_DATA {
    std::string label;
    int shape = 1;
    bool toggled = false;
    ZQ_GUI_CLICK_FN on_click = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_CHECKBOX_DATA {
    std::string label;
    bool checked = false;
    ZQ_GUI_CLICK_FN on_toggle = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_SLIDER_DATA {
    float min = 0, max = 1, value = 0, step = 0;
    int mode = 0;
    bool show_value = false;
    ZQ_GUI_VALUE_FN on_change = nullptr;
    void* user = nullptr;
};

// A visual line of a text field: bytes [begin, end) of the text.
struct ZQ_GUI_TEXT_LINE {
    size_t begin = 0, end = 0;
};

struct ZQ_GUI_TEXT_DATA {
    std::string text;  // valid UTF-8, at most `limit` code points
    std::string placeholder;
    bool multiline = false;
    int limit = 0;
    size_t caret = 0;        // byte offset, always on a code point boundary
    size_t anchor = 0;       // other end of the selection; == caret when nothing is selected
    float scroll_x = 0;      // single line: how far the text is shifted left
    float scroll_y = 0;      // multi-line: how far the lines are shifted up
    float goal_x = -1;       // x kept while moving up and down
    bool selecting = false;  // the mouse is extending the selection
    std::vector<ZQ_GUI_TEXT_LINE> lines;  // layout; rebuilt when text or width change
    float lines_w = -1;
    ZQ_GUI_TEXT_FN on_change = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_COMBO_DATA {
    std::vector<std::string> items;
    int selected = -1;
    int hover = -1;  // item under the pointer in the open list
    int first = 0;   // first item shown in the open list
    ZQ_GUI_SELECT_FN on_select = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_RADIO_DATA {
    std::vector<std::string> items;
    int selected = -1;
    int hover = -1;
    ZQ_GUI_SELECT_FN on_select = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_GRID_COLUMN {
    std::string title;
    float width = 0;
};

struct ZQ_GUI_GRID_DATA {
    std::vector<ZQ_GUI_GRID_COLUMN> columns;
    std::vector<std::vector<std::string>> rows;
    std::vector<ALLEGRO_COLOR> row_colour;
    std::vector<uint8_t> has_colour;
    int selected = -1;
    int hover = -1;
    float scroll_y = 0;
    bool thumb_drag = false;
    float thumb_grab = 0;  // pointer offset inside the thumb while dragging
    ZQ_GUI_SELECT_FN on_select = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_DROP_ENTRY {
    std::string text;
    int tag = 0;
    bool visible = true;
    ZQ_GUI_CLICK_FN on_click = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_DROPMENU_DATA {
    std::string label;
    std::vector<ZQ_GUI_DROP_ENTRY> entries;
    int hover = -1;  // visible-entry position under the pointer
    int first = 0;
    ZQ_GUI_CLICK_FN on_open = nullptr;
    void* user = nullptr;
};

struct ZQ_GUI_MDVIEW_DATA {
    std::string text;
    ZQ_GUI_MD_FONTS fonts;
    ZQ_MDVIEW* view = nullptr;  // laid out for `laid_w`; null until first needed
    float laid_w = -1;
    float scroll_y = 0;
    bool thumb_drag = false;
    float thumb_grab = 0;
    std::string hover_url;
    std::string press_url;  // the link under the pointer when the button went down
    ZQ_GUI_LINK_FN on_link = nullptr;
    void* link_user = nullptr;
    ZQ_GUI_MDVIEW_DATA() = default;
    ZQ_GUI_MDVIEW_DATA(const ZQ_GUI_MDVIEW_DATA&) = delete;
    ZQ_GUI_MDVIEW_DATA& operator=(const ZQ_GUI_MDVIEW_DATA&) = delete;
    ZQ_GUI_MDVIEW_DATA(ZQ_GUI_MDVIEW_DATA&&) noexcept;
    ZQ_GUI_MDVIEW_DATA& operator=(ZQ_GUI_MDVIEW_DATA&&) noexcept;
    ~ZQ_GUI_MDVIEW_DATA();
};

struct ZQ_GUI_CUSTOM_DATA {
    ZQ_GUI_DRAW_FN draw = nullptr;
    void* draw_user = nullptr;
    ZQ_GUI_MOUSE_FN on_mouse = nullptr;
    void* mouse_user = nullptr;
    ZQ_GUI_DESTROY_FN on_destroy = nullptr;
};

struct ZQ_GUI_WIDGET_DATA {
    std::variant<ZQ_GUI_LABEL_DATA, ZQ_GUI_BUTTON_DATA, ZQ_GUI_CHECKBOX_DATA, ZQ_GUI_SLIDER_DATA,
                 ZQ_GUI_TEXT_DATA, ZQ_GUI_COMBO_DATA, ZQ_GUI_RADIO_DATA, ZQ_GUI_GRID_DATA,
                 ZQ_GUI_DROPMENU_DATA, ZQ_GUI_MDVIEW_DATA, ZQ_GUI_CUSTOM_DATA>
        v;
};

// ---------------------------------------------------------------------------------------
// 2. Windows and pop-up menus
// ---------------------------------------------------------------------------------------

struct ZQ_GUI_WIN_REC {
    ZQ_GUI_WINDOW pub;       // what zq_gui_get_window hands out
    uint64_t raise_seq = 0;  // later raises sort above earlier ones within a z-order mode
};

struct ZQ_GUI_POPUP_ENTRY {
    std::string text;
    int tag = 0;
    std::string tip;
    int parent = -1;
    bool shown = true;
};

// One open level of a pop-up menu: the entries of `parent` laid out in a box.
struct ZQ_GUI_POPUP_LEVEL {
    int parent = -1;
    float x = 0, y = 0, w = 0, h = 0;
    float title_h = 0;       // top level only
    std::vector<int> items;  // entry indexes shown, top to bottom
};

struct ZQ_GUI_POPUP {
    ZQ_GUI_CTX* ctx = nullptr;  // cleared when the context goes first
    int serial = 0;             // names its entries' keys
    float scale = 1;
    ZQ_GUI_PICK_FN on_pick = nullptr;
    void* user = nullptr;
    std::string title;
    std::vector<ZQ_GUI_POPUP_ENTRY> entries;
    bool open = false;
    std::vector<ZQ_GUI_POPUP_LEVEL> levels;  // [0] the menu, then open sub-menus
    int hover_level = -1, hover_item = -1;   // position in levels[l].items
    bool keyed = false;  // the keyboard moved the highlight last (the pointer has not since)
    int press_level = -1, press_item = -1;
};

// ---------------------------------------------------------------------------------------
// 3. The context
// ---------------------------------------------------------------------------------------

// What a held mouse button is doing.
enum ZQ_GUI_DRAG : int {
    ZQ_GUI_DRAG_NONE = 0,
    ZQ_GUI_DRAG_WINDOW_MOVE,   // title bar
    ZQ_GUI_DRAG_WINDOW_THUMB,  // window scroll bar thumb
    ZQ_GUI_DRAG_WIDGET,        // the active widget has the mouse
    ZQ_GUI_DRAG_SWALLOW,       // a press that was used up (closed a menu); ignore its release
};

// Title-bar buttons.
enum ZQ_GUI_TB_BUTTON : int {
    ZQ_GUI_TB_NONE = 0,
    ZQ_GUI_TB_MINIMIZE,
    ZQ_GUI_TB_MAXIMIZE,
    ZQ_GUI_TB_CLOSE,
};

struct ZQ_GUI_CTX {
    ALLEGRO_FONT* font = nullptr;
    ALLEGRO_DISPLAY* display = nullptr;
    ALLEGRO_EVENT_QUEUE* queue = nullptr;
    float disp_w = 0, disp_h = 0;
    ZQ_GUI_THEME theme;
    ZQ_GUI_STYLE style;
    int shape_mode = 0;

    std::vector<std::unique_ptr<ZQ_GUI_WIN_REC>> windows;  // bottom first
    std::unordered_map<int, std::unique_ptr<ZQ_GUI_WIDGET>> widgets;
    int next_window_id = 0;
    int next_widget_id = 0;
    uint64_t raise_counter = 0;

    int focus = -1;  // widget id
    // The focused widget shows its focus ring: the keyboard moved the focus or worked the
    // focused widget since the last mouse press, as on the desktop.
    bool focus_ring = false;

    // Mouse. Everything clickable is named by a key (zq_gui_key): the key under the
    // pointer is hot, the key that took the last press is held until the release.
    float mx = -1e9f, my = -1e9f;
    bool mouse_in = false;
    uint64_t hot_key = 0;
    uint64_t held_key = 0;
    int held_button = 0;
    int press_button = 0;  // the button whose press started what is held or dragged
    // The left press that took the hold: where and when it went down, and whether the pointer
    // has gone past the drag threshold since.
    float press_x = 0, press_y = 0;
    double press_t = 0;
    bool press_dragged = false;
    int hot = -1;  // widget under the pointer (tooltips, hover looks)
    ZQ_GUI_DRAG drag = ZQ_GUI_DRAG_NONE;
    int drag_window = -1;
    float drag_dx = 0, drag_dy = 0;
    double last_click_t = -1;  // double clicks in text fields
    int last_click_widget = -1;
    float last_click_x = 0, last_click_y = 0;
    int key_mods = 0;  // ALLEGRO_KEYMOD_* bits held, from the key events seen

    // Open menus: at most one drop-down list (combobox or drop-down menu) and the pop-ups.
    int open_list = -1;  // widget id of the combobox or drop-down menu whose list is open
    std::vector<ZQ_GUI_POPUP*> popups;  // every pop-up of this context, open or not
    int next_popup_serial = 1;

    // Tooltip.
    int tip_widget = -1;
    double hover_since = 0;
    bool tip_shown = false;
    std::string tip_text;  // shown for a pop-up entry when tip_widget is -1
    bool tip_from_popup = false;

    // Redraw tracking.
    bool dirty = true;
    double caret_epoch = 0;  // caret blink starts here (reset by every edit and move)
    int caret_drawn = -1;    // blink phase at the last draw; -1 when no caret was drawn
};

// ---------------------------------------------------------------------------------------
// 4. Shared helpers
// ---------------------------------------------------------------------------------------

// Keys of clickable things: a kind and two numbers.
enum ZQ_GUI_KEY_KIND : int {
    ZQ_GUI_KEY_NONE = 0,
    ZQ_GUI_KEY_WIDGET,        // a = widget id
    ZQ_GUI_KEY_TITLE_BUTTON,  // a = window id, b = ZQ_GUI_TB_BUTTON
    ZQ_GUI_KEY_ITEM,          // a = widget id, b = item (open list entry, radio item)
    ZQ_GUI_KEY_POPUP,         // a = pop-up serial, b = level << 16 | position
};
inline uint64_t zq_gui_key(ZQ_GUI_KEY_KIND kind, int a, int b = 0) {
    return (static_cast<uint64_t>(kind) << 56) |
           (static_cast<uint64_t>(static_cast<uint32_t>(a)) << 24) |
           (static_cast<uint32_t>(b) & 0xFFFFFFu);
}
inline ZQ_GUI_KEY_KIND zq_gui_key_kind(uint64_t key) {
    return static_cast<ZQ_GUI_KEY_KIND>(key >> 56);
}
inline int zq_gui_key_a(uint64_t key) {
    return static_cast<int>(static_cast<uint32_t>(key >> 24));
}
inline int zq_gui_key_b(uint64_t key) {
    return static_cast<int>(key & 0xFFFFFFu);
}

// What the behaviour routine reports for one mouse event.
inline constexpr int ZQ_GUI_BH_HOVERED = 1 << 0;  // the pointer is on it
inline constexpr int ZQ_GUI_BH_HELD = 1 << 1;     // it took the press and still has it
inline constexpr int ZQ_GUI_BH_PRESSED = 1 << 2;  // the button went down on it now
inline constexpr int ZQ_GUI_BH_CLICKED = 1 << 3;  // released on it after pressing it
inline constexpr int ZQ_GUI_BH_DRAGGED = 1 << 4;  // held, the pointer went past the threshold
inline constexpr int ZQ_GUI_BH_LONG = 1 << 5;     // released still after the long-press time

// zq_gui_input.cpp
int zq_gui_behavior(ZQ_GUI_CTX* ctx, uint64_t key, bool inside, const ALLEGRO_EVENT* ev);
// The widget that holds the mouse, or -1.
int zq_gui_held_widget(const ZQ_GUI_CTX* ctx);
// Drawing state of a clickable thing: hovered and held (held only while on it).
bool zq_gui_is_hot(const ZQ_GUI_CTX* ctx, uint64_t key);
bool zq_gui_is_held(const ZQ_GUI_CTX* ctx, uint64_t key);

// zq_gui.cpp: lookups and geometry.
ZQ_GUI_WIN_REC* zq_gui_find_window(ZQ_GUI_CTX* ctx, int id);
ZQ_GUI_WIDGET* zq_gui_find_widget(ZQ_GUI_CTX* ctx, int id);
template <class T>
T* zq_gui_data(ZQ_GUI_WIDGET* w) {
    return w && w->data ? std::get_if<T>(&w->data->v) : nullptr;
}
template <class T>
T* zq_gui_data(ZQ_GUI_CTX* ctx, int id) {
    return zq_gui_data<T>(zq_gui_find_widget(ctx, id));
}
float zq_gui_titlebar_h(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w);
// Client area of a window in display pixels (without title bar and scroll bar).
void zq_gui_client_rect(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, float* x, float* y,
                        float* cw, float* ch);
float zq_gui_max_scroll(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w);
void zq_gui_update_content(ZQ_GUI_CTX* ctx, ZQ_GUI_WINDOW& w);
// The widget's rectangle on screen; false when its window is gone.
bool zq_gui_screen_rect(ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd, float* x, float* y, float* w,
                        float* h);
const ZQ_GUI_THEME& zq_gui_theme_of(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd);
ALLEGRO_FONT* zq_gui_font_of(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd);
float zq_gui_line_h(const ALLEGRO_FONT* font);
bool zq_gui_window_shows(const ZQ_GUI_WINDOW& w);  // open
// Title-bar button rectangle; false when the window does not show it.
bool zq_gui_tb_button_rect(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, ZQ_GUI_TB_BUTTON b,
                           float* x, float* y, float* s);
// Window scroll bar track and thumb; false when the bar is not shown.
bool zq_gui_window_scrollbar(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WINDOW& w, float* tx, float* ty,
                             float* tw, float* th, float* thumb_y, float* thumb_h);
void zq_gui_sort_windows(ZQ_GUI_CTX* ctx);
void zq_gui_raise(ZQ_GUI_CTX* ctx, ZQ_GUI_WIN_REC* rec);

// Open list of a combobox or drop-down menu: item height, rectangle and shown count.
struct ZQ_GUI_LIST_BOX {
    float x = 0, y = 0, w = 0, h = 0, item_h = 0;
    int count = 0;  // items in the list
    int shown = 0;  // rows the box has room for
};
bool zq_gui_open_list_box(ZQ_GUI_CTX* ctx, ZQ_GUI_LIST_BOX* box);
std::vector<int> zq_gui_dropmenu_visible(const ZQ_GUI_DROPMENU_DATA& d);

// Data grid geometry shared by input and drawing.
struct ZQ_GUI_GRID_GEOM {
    float header_h = 0, row_h = 0;
    float body_y = 0, body_h = 0;  // body relative to the widget top
    bool bar = false;              // a scroll bar is shown
    float max_scroll = 0;
};
ZQ_GUI_GRID_GEOM zq_gui_grid_geom(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd,
                                  const ZQ_GUI_GRID_DATA& g);
float zq_gui_radio_item_h(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd);

// Markdown view geometry and layout (zq_gui.cpp).
void zq_gui_mdview_layout(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d);
float zq_gui_mdview_max_scroll(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d);
// The URL of the link at (x, y) relative to the view, or "".
std::string zq_gui_mdview_link_at(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d,
                                  float x, float y);
void zq_gui_mdview_draw(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_MDVIEW_DATA& d, float x,
                        float y);

// zq_gui_input.cpp
void zq_gui_on_widget_removed(ZQ_GUI_CTX* ctx, int id);
// Takes the tooltip away until the pointer moves onto a widget again: a window opened or
// closed, or a menu or list opened, so what it described may be covered or gone.
void zq_gui_drop_tooltip(ZQ_GUI_CTX* ctx);
int zq_gui_caret_phase(const ZQ_GUI_CTX* ctx);  // 0 caret shown, 1 hidden

// zq_gui_text.cpp: UTF-8 and text fields.
size_t zq_utf8_next(std::string_view s, size_t i);
size_t zq_utf8_prev(std::string_view s, size_t i);
size_t zq_utf8_count(std::string_view s);
// Valid UTF-8 of at most max_chars code points (invalid bytes dropped).
std::string zq_utf8_clean(std::string_view s, size_t max_chars);
void zq_utf8_append(std::string& out, int32_t cp);
float zq_gui_text_w(const ALLEGRO_FONT* font, std::string_view s);
void zq_gui_text_draw(const ALLEGRO_FONT* font, ALLEGRO_COLOR c, float x, float y,
                      std::string_view s);
// Text field layout and keys.
std::string zq_gui_textarea_filter(std::string_view in, bool multiline);
float zq_gui_textarea_inner_w(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd);
void zq_gui_textarea_layout(const ZQ_GUI_CTX* ctx, const ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t);
size_t zq_gui_textarea_line_of(const ZQ_GUI_TEXT_DATA& t, size_t offset);
size_t zq_gui_textarea_hit(const ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t, float lx,
                           float ly);
void zq_gui_textarea_scroll_to_caret(const ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t);
void zq_gui_textarea_publish_selection(const ZQ_GUI_TEXT_DATA& t);
// Inserts the text of a clipboard selection at the caret (an edit: on_change runs).
void zq_gui_textarea_paste(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t, int which);
// A key for the focused text field; true when it used it.
bool zq_gui_textarea_key(ZQ_GUI_CTX* ctx, ZQ_GUI_WIDGET* wd, ZQ_GUI_TEXT_DATA& t,
                         const ALLEGRO_KEYBOARD_EVENT& k);

// zq_gui_popup.cpp
void zq_gui_popup_layout(ZQ_GUI_POPUP* p);
// Mouse events while a pop-up is open; true when the pop-ups took the event.
bool zq_gui_popups_mouse(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* ev);
// The key of the pop-up entry at (x, y), or 0; sets the entry's tip when it has one.
uint64_t zq_gui_popups_hit_key(ZQ_GUI_CTX* ctx, float x, float y, std::string* tip);
void zq_gui_popups_draw(ZQ_GUI_CTX* ctx);
bool zq_gui_any_popup_open(const ZQ_GUI_CTX* ctx);
// A key while a pop-up is open: arrows move the highlight, Enter or Space picks, Right and
// Left open and close sub-menus, Escape closes. Every key is the menu's.
void zq_gui_popups_key(ZQ_GUI_CTX* ctx, const ALLEGRO_KEYBOARD_EVENT& k);
void zq_gui_close_popups(ZQ_GUI_CTX* ctx);

// zq_gui_draw.cpp (zq_gui_fill_box and zq_gui_frame_box are in zq_gui.h)
// Intersects the clipping rectangle with (x, y, w, h); restore with the saved one.
struct ZQ_GUI_CLIP {
    int x = 0, y = 0, w = 0, h = 0;
};
ZQ_GUI_CLIP zq_gui_clip_push(float x, float y, float w, float h);
void zq_gui_clip_pop(const ZQ_GUI_CLIP& saved);
bool zq_gui_clip_empty();
