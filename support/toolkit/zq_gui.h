// SPDX-License-Identifier: GPL-3.0-or-later
// The widget toolkit: a small retained-mode toolkit drawn with Allegro 5 primitives and TTF
// fonts. It owns windows and widgets, routes Allegro events to them, draws them and calls
// back into the screens through plain function pointers with a user pointer.
//
// This header is the whole interface the screens use. The toolkit's own records live in
// zq_gui_internal.h.
//
// Index
//   1. Constants: window flags, z-order modes, widget types, mouse events
//   2. Records: theme, style, markdown fonts, mouse event, widget and window views
//   3. Context and event flow
//   4. Windows
//   5. Widgets (label, button, toggle, checkbox, slider, text field, combobox, radio list,
//      data grid, drop-down menu, markdown view, custom)
//   6. Common widget setters and getters
//   7. Pop-up (context) menus
//   8. Text helpers and the system clipboard
//   9. Shapes for custom widgets
//  10. Placing widgets in rows
//
// Rules that hold everywhere:
//   - window and widget ids are small non-negative integers, unique within a context and
//     never reused;
//   - an operation on an id that does not exist does nothing (getters answer 0, -1 or an
//     empty value); a failed `add` returns -1;
//   - text in and out is UTF-8; limits count characters (code points), not bytes;
//   - main thread only.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------------------
// 1. Constants
// ---------------------------------------------------------------------------------------

// Window flag bits (combined with OR).
inline constexpr int ZQ_GUI_WIN_VSCROLL = 16;        // taller content scrolls, with a bar
inline constexpr int ZQ_GUI_WIN_FLAG_40 = 64;        // no behaviour of its own
inline constexpr int ZQ_GUI_WIN_FRAMELESS = 128;     // no title bar, no title-bar buttons
inline constexpr int ZQ_GUI_WIN_MINIMIZE_BTN = 256;  // first title-bar button
inline constexpr int ZQ_GUI_WIN_MAXIMIZE_BTN = 512;  // second title-bar button
inline constexpr int ZQ_GUI_WIN_CLOSE_BTN = 1024;    // close button, right-most
inline constexpr int ZQ_GUI_WIN_NO_HSCROLL = 2048;   // never scrolls horizontally

// Z-order modes.
enum ZQ_GUI_ZORDER : int {
    ZQ_GUI_ZORDER_NORMAL = 0,
    ZQ_GUI_ZORDER_ALWAYS_ON_TOP = 1,
    ZQ_GUI_ZORDER_ALWAYS_BEHIND = 2,
    ZQ_GUI_ZORDER_FIXED = 3,
    ZQ_GUI_ZORDER_POPUP = 4,
};

// Widget kinds.
enum ZQ_GUI_WIDGET_TYPE : int {
    ZQ_GUI_LABEL = 0,
    ZQ_GUI_BUTTON,
    ZQ_GUI_TOGGLE_BUTTON,
    ZQ_GUI_CHECKBOX,
    ZQ_GUI_SLIDER,
    ZQ_GUI_TEXTAREA,
    ZQ_GUI_COMBOBOX,
    ZQ_GUI_RADIOLIST,
    ZQ_GUI_DATAGRID,
    ZQ_GUI_DROPMENU,
    ZQ_GUI_MARKDOWNVIEW,
    ZQ_GUI_CUSTOM,
};

// Mouse event types handed to custom widgets.
inline constexpr int ZQ_GUI_MOUSE_DOWN = 1;
inline constexpr int ZQ_GUI_MOUSE_UP = 2;
inline constexpr int ZQ_GUI_MOUSE_MOVE = 4;
inline constexpr int ZQ_GUI_MOUSE_WHEEL = 5;

// Label alignment.
inline constexpr int ZQ_GUI_ALIGN_LEFT = 0;
inline constexpr int ZQ_GUI_ALIGN_CENTRE = 1;
inline constexpr int ZQ_GUI_ALIGN_RIGHT = 2;

// Clipboard selections.
inline constexpr int ZQ_CLIPBOARD_CLIPBOARD = 0;  // Ctrl+C / Ctrl+V
inline constexpr int ZQ_CLIPBOARD_PRIMARY = 1;    // the X primary selection

// ---------------------------------------------------------------------------------------
// 2. Records
// ---------------------------------------------------------------------------------------

struct ZQ_GUI_THEME {
    ALLEGRO_COLOR bg_normal, bg_hover, bg_active;
    ALLEGRO_COLOR border_normal, border_hover, border_active;
    ALLEGRO_COLOR text_normal, text_hover, text_active;
    float border_thickness = 1;
    float corner_rx = 0;
    float corner_ry = 0;
    ALLEGRO_COLOR selection_color;
};

// The values in field order.
ZQ_GUI_THEME zq_gui_make_theme(ALLEGRO_COLOR bg_normal, ALLEGRO_COLOR bg_hover,
                               ALLEGRO_COLOR bg_active, ALLEGRO_COLOR border_normal,
                               ALLEGRO_COLOR border_hover, ALLEGRO_COLOR border_active,
                               ALLEGRO_COLOR text_normal, ALLEGRO_COLOR text_hover,
                               ALLEGRO_COLOR text_active, float border_thickness, float corner_rx,
                               float corner_ry, ALLEGRO_COLOR selection_color);
// A neutral dark theme, used until the program sets its own.
ZQ_GUI_THEME zq_gui_default_theme();

// Sizes and colours shared by every widget of a context (zq_gui_style()).
struct ZQ_GUI_STYLE {
    float titlebar_h = 28;
    float tb_btn_size = 20;
    float scrollbar_size = 12;
    float global_scrollbar_size = 12;
    float grip_size = 14;
    float slider_track_size = 6;
    float textarea_padding = 6;
    float label_padding = 2;
    float checkbox_max_size = 24;
    float tooltip_max_w = 420;
    float tooltip_delay = 0.6f;  // seconds of hovering before a tooltip shows
    float drag_threshold = 8;    // pixels a held pointer goes (either way) before it drags
    float long_press = 0.6f;     // seconds a still press lasts to be a long press
    float listbox_default_item_height = 26;
    float radiolist_default_item_height = 26;
    int combobox_max_visible = 12;
    int dropmenu_max_visible = 16;
    float scroll_step = 40;
    float global_scroll_step = 40;
    ALLEGRO_COLOR scrollbar_track_color, global_scrollbar_track_color;
    ALLEGRO_COLOR scrollbar_thumb_color, global_scrollbar_thumb_color;
    ALLEGRO_COLOR global_scrollbar_thumb_border_color;
    ALLEGRO_COLOR grip_color;
    ALLEGRO_COLOR tooltip_bg, tooltip_border, tooltip_fg;
    ALLEGRO_COLOR link_color_normal, link_color_hover;
};

// The eight fonts of a markdown view (any may be null: the regular font stands in).
struct ZQ_GUI_MD_FONTS {
    ALLEGRO_FONT* regular = nullptr;
    ALLEGRO_FONT* bold = nullptr;
    ALLEGRO_FONT* italic = nullptr;
    ALLEGRO_FONT* bolditalic = nullptr;
    ALLEGRO_FONT* mono = nullptr;
    ALLEGRO_FONT* h1 = nullptr;
    ALLEGRO_FONT* h2 = nullptr;
    ALLEGRO_FONT* h3 = nullptr;
};

// What a custom widget's mouse callback receives.
struct ZQ_GUI_MOUSE_EVENT {
    int type = 0;    // ZQ_GUI_MOUSE_DOWN, _UP, _MOVE, _WHEEL
    int button = 0;  // 1 left, 2 right, 3 middle; 0 for moves and wheel
    float x = 0;     // relative to the widget's top-left corner
    float y = 0;
    int dz = 0;         // wheel notches, positive away from the user
    int modifiers = 0;  // ALLEGRO_KEYMOD_* bits held
    double time = 0;    // when it happened (Allegro's clock), not when it is handled
    // What the toolkit made of a left-button press, for moves and the release while the
    // widget holds it: where the press went down (relative to the widget), whether the
    // pointer has since gone past the style's drag threshold, and on the release whether it
    // was a tap or a long press (released on the widget without a drag, before or after the
    // style's long-press time). A widget that takes these needs no thresholds of its own.
    float press_x = 0, press_y = 0;
    int dragging = 0;
    int tap = 0;
    int long_press = 0;
};

struct ZQ_GUI_WIDGET_DATA;  // the kind-specific record (zq_gui_internal.h)

// A widget as the screens may read it (zq_gui_get_widget). Geometry is in window coordinates.
struct ZQ_GUI_WIDGET {
    int id = -1;
    int window_id = -1;
    ZQ_GUI_WIDGET_TYPE type = ZQ_GUI_LABEL;
    float x = 0, y = 0, w = 0, h = 0;
    bool visible = true;
    bool enabled = true;
    bool has_theme = false;  // uses `theme` instead of the window's / context's
    ZQ_GUI_THEME theme;
    ALLEGRO_FONT* font = nullptr;  // null: the context's default font
    std::string tooltip;
    std::unique_ptr<ZQ_GUI_WIDGET_DATA> data;

    ZQ_GUI_WIDGET();
    ~ZQ_GUI_WIDGET();
    ZQ_GUI_WIDGET(const ZQ_GUI_WIDGET&) = delete;
    ZQ_GUI_WIDGET& operator=(const ZQ_GUI_WIDGET&) = delete;
};

enum ZQ_GUI_WINDOW_STATE : int {
    ZQ_GUI_WIN_NORMAL = 0,
    ZQ_GUI_WIN_MINIMIZED = 1,
    ZQ_GUI_WIN_MAXIMIZED = 2,
};

using ZQ_GUI_CLOSE_FN = void (*)(int window_id, void* user);

// A window as the screens may read it (zq_gui_get_window). Geometry in display pixels.
struct ZQ_GUI_WINDOW {
    int id = -1;
    std::string title;    // at most 127 characters
    std::string caption;  // shown instead of the title when not empty
    float x = 0, y = 0, w = 0, h = 0;
    bool open = true;
    ZQ_GUI_WINDOW_STATE state = ZQ_GUI_WIN_NORMAL;
    int flags = 0;
    ZQ_GUI_ZORDER z_mode = ZQ_GUI_ZORDER_NORMAL;
    int z_value = 0;
    float scroll_y = 0;
    float content_h = 0;       // height of what the widgets cover
    std::vector<int> widgets;  // ids, in the order added
    ZQ_GUI_CLOSE_FN on_close = nullptr;
    void* close_user = nullptr;
    // Before maximising: the geometry to restore.
    float saved_x = 0, saved_y = 0, saved_w = 0, saved_h = 0;
};

struct ZQ_GUI_CTX;
struct ZQ_GUI_POPUP;

// ---------------------------------------------------------------------------------------
// 3. Context and event flow
// ---------------------------------------------------------------------------------------

// A context drawing with `default_font` (required); nullptr on failure.
ZQ_GUI_CTX* zq_gui_new_ctx(ALLEGRO_FONT* default_font);
// Frees every window, widget and menu and clears the pointer.
void zq_gui_destroy_ctx(ZQ_GUI_CTX** ctx);

void zq_gui_set_display(ZQ_GUI_CTX* ctx, ALLEGRO_DISPLAY* display);
void zq_gui_set_event_queue(ZQ_GUI_CTX* ctx, ALLEGRO_EVENT_QUEUE* queue);
void zq_gui_set_display_size(ZQ_GUI_CTX* ctx, float w, float h);
void zq_gui_set_default_theme(ZQ_GUI_CTX* ctx, const ZQ_GUI_THEME& theme);
// 0: square corners, 1: rounded (corner radii of the theme).
void zq_gui_set_shape_mode(ZQ_GUI_CTX* ctx, int mode);
// The context's shared sizes and colours, for reading and changing (nullptr without ctx).
ZQ_GUI_STYLE* zq_gui_style(ZQ_GUI_CTX* ctx);
ALLEGRO_FONT* zq_gui_default_font(ZQ_GUI_CTX* ctx);

// Every Allegro event the program receives; non-zero when the toolkit consumed it.
int zq_gui_process_event(ZQ_GUI_CTX* ctx, const ALLEGRO_EVENT* event);
// Something changed since the last zq_gui_draw (hover, caret blink, tooltip, content).
int zq_gui_needs_redraw(ZQ_GUI_CTX* ctx);
// 1 when the last zq_gui_draw showed a tooltip.
int zq_gui_tooltip_shown(ZQ_GUI_CTX* ctx);
// Draws every open window in z-order onto the current target and clears the dirty flag.
void zq_gui_draw(ZQ_GUI_CTX* ctx);
// Windows on their own native displays; called once after every al_flip_display.
void zq_gui_draw_detached(ZQ_GUI_CTX* ctx);

// The keyboard: Tab and Shift+Tab move the focus through the controls of the focused window
// that take keys (not labels or custom widgets), skipping hidden, disabled and covered ones;
// with nothing focused they start in the top-most window. Enter or Space presses a focused
// button, Space ticks a checkbox, arrows move sliders, combos, lists and grids. Open menus
// and lists take the arrows, Home, End, Enter, Space and Escape. The focused control shows a
// ring once the keyboard is in use, until the next mouse press.
int zq_gui_get_focus(ZQ_GUI_CTX* ctx);                  // widget id or -1
void zq_gui_set_focus(ZQ_GUI_CTX* ctx, int widget_id);  // -1 clears
int zq_gui_menu_is_open(ZQ_GUI_CTX* ctx);               // a drop-down, combobox list or pop-up menu
void zq_gui_close_menus(ZQ_GUI_CTX* ctx);

// ---------------------------------------------------------------------------------------
// 4. Windows
// ---------------------------------------------------------------------------------------

// A new, open window; its id or -1.
int zq_gui_add_window(ZQ_GUI_CTX* ctx, std::string_view title, float x, float y, float w, float h);
void zq_gui_open_window(ZQ_GUI_CTX* ctx, int id);
void zq_gui_close_window(ZQ_GUI_CTX* ctx, int id);    // hides it; no close callback
void zq_gui_restore_window(ZQ_GUI_CTX* ctx, int id);  // un-minimise / un-maximise
void zq_gui_focus_window(ZQ_GUI_CTX* ctx, int id);    // raise within its z-order mode
int zq_gui_window_is_open(ZQ_GUI_CTX* ctx, int id);
int zq_gui_get_topmost_open_window(ZQ_GUI_CTX* ctx);  // id or -1
// The ids of the open windows, bottom first (the order they are drawn in).
std::vector<int> zq_gui_open_windows(ZQ_GUI_CTX* ctx);
const ZQ_GUI_WINDOW* zq_gui_get_window(ZQ_GUI_CTX* ctx, int id);
void zq_gui_window_set_title(ZQ_GUI_CTX* ctx, int id, std::string_view title);
void zq_gui_window_set_caption(ZQ_GUI_CTX* ctx, int id, std::string_view caption);
void zq_gui_window_set_flags(ZQ_GUI_CTX* ctx, int id, int flags);
// Unknown modes log at level 3 and fall back to ZQ_GUI_ZORDER_NORMAL. An ALWAYS_BEHIND window
// (the main screen) fills no background: it shows what the program cleared the display to.
void zq_gui_window_set_zorder(ZQ_GUI_CTX* ctx, int id, int mode, int value);
void zq_gui_window_set_rect(ZQ_GUI_CTX* ctx, int id, float x, float y, float w, float h);
void zq_gui_window_set_scroll(ZQ_GUI_CTX* ctx, int id, float scroll_y);
// Called when the user closes the window with its close button (after it is hidden).
void zq_gui_window_set_close_callback(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_CLOSE_FN fn, void* user);
// The client area (below the title bar, without the scroll bar) in display pixels.
int zq_gui_window_client_rect(ZQ_GUI_CTX* ctx, int id, float* x, float* y, float* w, float* h);

// ---------------------------------------------------------------------------------------
// 5. Widgets. Every add takes the window id and a rectangle in window coordinates and
// returns the widget id or -1.
// ---------------------------------------------------------------------------------------

using ZQ_GUI_CLICK_FN = void (*)(int widget_id, void* user);
using ZQ_GUI_VALUE_FN = void (*)(int widget_id, float value, void* user);
using ZQ_GUI_TEXT_FN = void (*)(int widget_id, const char* text, void* user);
using ZQ_GUI_SELECT_FN = void (*)(int widget_id, int index, void* user);
using ZQ_GUI_LINK_FN = void (*)(int widget_id, const char* url, void* user);
using ZQ_GUI_DRAW_FN = void (*)(ZQ_GUI_WIDGET* widget, float x, float y, ALLEGRO_FONT* font,
                                void* user);
using ZQ_GUI_MOUSE_FN = int (*)(int widget_id, const ZQ_GUI_MOUSE_EVENT* event, void* user);
using ZQ_GUI_DESTROY_FN = void (*)(void* user);

// Label: text drawn in its font, clipped to its rectangle; line breaks start new lines.
int zq_gui_add_label(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                     std::string_view text, int align);
void zq_gui_label_set_text(ZQ_GUI_CTX* ctx, int id, std::string_view text);
std::string zq_gui_label_get_text(ZQ_GUI_CTX* ctx, int id);

// Button: on_click once per press and release inside. shape 1: rounded.
int zq_gui_add_button(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                      std::string_view label, int shape, ZQ_GUI_CLICK_FN on_click, void* user);
void zq_gui_button_set_label(ZQ_GUI_CTX* ctx, int id, std::string_view label);
std::string zq_gui_button_get_label(ZQ_GUI_CTX* ctx, int id);
void zq_gui_button_set_toggled(ZQ_GUI_CTX* ctx, int id, int toggled);
int zq_gui_button_is_toggled(ZQ_GUI_CTX* ctx, int id);
// A button that shows a pressed state; a click flips it and then calls on_click.
int zq_gui_add_toggle_button(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                             std::string_view label, int shape, int initial_state,
                             ZQ_GUI_CLICK_FN on_click, void* user);

int zq_gui_add_checkbox(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        std::string_view label, int initial_checked, ZQ_GUI_CLICK_FN on_toggle,
                        void* user);
int zq_gui_checkbox_is_checked(ZQ_GUI_CTX* ctx, int id);
void zq_gui_checkbox_set_checked(ZQ_GUI_CTX* ctx, int id, int checked);

// Slider from min to max; mode 0 is horizontal. on_change while dragging and on keys.
int zq_gui_add_slider(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h, float min,
                      float max, float initial, int mode, ZQ_GUI_VALUE_FN on_change, void* user);
void zq_gui_slider_set_step(ZQ_GUI_CTX* ctx, int id, float step);
void zq_gui_slider_set_value_visible(ZQ_GUI_CTX* ctx, int id, int visible);
float zq_gui_slider_get_value(ZQ_GUI_CTX* ctx, int id);
void zq_gui_slider_set_value(ZQ_GUI_CTX* ctx, int id, float value);

// Text field, single- or multi-line, of at most `char_limit` characters. on_change after
// every edit with the whole text.
int zq_gui_add_textarea(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h, int multiline,
                        int char_limit, ZQ_GUI_TEXT_FN on_change, void* user);
std::string zq_gui_textarea_get_text(ZQ_GUI_CTX* ctx, int id);
// Replaces the text (cut to the limit); the caret goes to the end. No on_change.
void zq_gui_textarea_set_text(ZQ_GUI_CTX* ctx, int id, std::string_view text);
void zq_gui_textarea_set_placeholder(ZQ_GUI_CTX* ctx, int id, std::string_view text);

int zq_gui_add_combobox(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        ZQ_GUI_SELECT_FN on_select, void* user);
int zq_gui_combobox_add_item(ZQ_GUI_CTX* ctx, int id, std::string_view text);  // index or -1
int zq_gui_combobox_get_selected(ZQ_GUI_CTX* ctx, int id);                     // -1 for none
void zq_gui_combobox_set_selected(ZQ_GUI_CTX* ctx, int id, int index);         // no on_select

int zq_gui_add_radiolist(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                         ZQ_GUI_SELECT_FN on_select, void* user);
int zq_gui_radiolist_add_item(ZQ_GUI_CTX* ctx, int id, std::string_view text);
void zq_gui_radiolist_clear(ZQ_GUI_CTX* ctx, int id);
int zq_gui_radiolist_get_selected(ZQ_GUI_CTX* ctx, int id);
void zq_gui_radiolist_set_selected(ZQ_GUI_CTX* ctx, int id, int index);

// Data grid: columns with a header, rows of copied strings, one selected row, row colours,
// its own scrolling. Only visible rows are drawn.
int zq_gui_add_datagrid(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        ZQ_GUI_SELECT_FN on_select, void* user);
int zq_gui_datagrid_add_column(ZQ_GUI_CTX* ctx, int id, std::string_view title, float width);
int zq_gui_datagrid_add_row(ZQ_GUI_CTX* ctx, int id, const std::vector<std::string>& values);
// Replaces row `row`'s values (and drops its colour) where it is: the scrolling, the selection
// and the other rows stay.
void zq_gui_datagrid_set_row(ZQ_GUI_CTX* ctx, int id, int row,
                             const std::vector<std::string>& values);
void zq_gui_datagrid_clear_rows(ZQ_GUI_CTX* ctx, int id);
int zq_gui_datagrid_row_count(ZQ_GUI_CTX* ctx, int id);
int zq_gui_datagrid_get_selected(ZQ_GUI_CTX* ctx, int id);  // row or -1
void zq_gui_datagrid_set_selected(ZQ_GUI_CTX* ctx, int id, int row);
void zq_gui_datagrid_set_row_color(ZQ_GUI_CTX* ctx, int id, int row, ALLEGRO_COLOR colour);
void zq_gui_datagrid_scroll_to_row(ZQ_GUI_CTX* ctx, int id, int row);

// Drop-down menu: a button that opens a list of entries. on_open(widget id) runs before the
// list shows, so the screen may relabel entries; picking an entry closes the list and calls
// the entry's on_click with the entry's tag in place of a widget id.
int zq_gui_add_dropmenu(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                        std::string_view label, ZQ_GUI_CLICK_FN on_open, void* user);
int zq_gui_dropmenu_add_entry(ZQ_GUI_CTX* ctx, int id, std::string_view text, int tag,
                              ZQ_GUI_CLICK_FN on_click, void* user);  // entry index or -1
void zq_gui_dropmenu_set_entry_text(ZQ_GUI_CTX* ctx, int id, int index, std::string_view text);
void zq_gui_dropmenu_set_entry_visible(ZQ_GUI_CTX* ctx, int id, int index, int visible);

// Markdown view: parses its text with the markdown dialect (flags 35), wraps it to its
// width, scrolls, keeps its own copy. Links are reported through the link callback.
int zq_gui_add_markdownview(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                            const ZQ_GUI_MD_FONTS& fonts);
void zq_gui_markdownview_set_text(ZQ_GUI_CTX* ctx, int id, std::string_view text);
std::string zq_gui_markdownview_get_text(ZQ_GUI_CTX* ctx, int id);
void zq_gui_markdownview_scroll_to(ZQ_GUI_CTX* ctx, int id, float y);
// How far the document is scrolled (0 at the top). Setting the text scrolls back to the top.
float zq_gui_markdownview_get_scroll(ZQ_GUI_CTX* ctx, int id);
void zq_gui_markdownview_set_link_callback(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_LINK_FN fn, void* user);
// Height of the laid-out document at the view's width.
float zq_gui_markdownview_content_height(ZQ_GUI_CTX* ctx, int id);

// Custom widget: the screen draws it (x, y: its top-left on screen; the record gives its
// size) and may take mouse events.
int zq_gui_add_custom(ZQ_GUI_CTX* ctx, int win, float x, float y, float w, float h,
                      ZQ_GUI_DRAW_FN draw, void* user);
void zq_gui_custom_set_mouse(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_MOUSE_FN on_mouse, void* user);
// on_destroy(draw user pointer) runs once when the widget is removed or the context destroyed.
void zq_gui_custom_set_destroy(ZQ_GUI_CTX* ctx, int id, ZQ_GUI_DESTROY_FN on_destroy);

// ---------------------------------------------------------------------------------------
// 6. Common setters and getters
// ---------------------------------------------------------------------------------------

void zq_gui_set_widget_visible(ZQ_GUI_CTX* ctx, int id, int visible);
void zq_gui_set_widget_enabled(ZQ_GUI_CTX* ctx, int id, int enabled);
void zq_gui_set_widget_tooltip(ZQ_GUI_CTX* ctx, int id, std::string_view text);
void zq_gui_set_widget_theme(ZQ_GUI_CTX* ctx, int id, const ZQ_GUI_THEME& theme);
void zq_gui_set_widget_font(ZQ_GUI_CTX* ctx, int id, ALLEGRO_FONT* font);
void zq_gui_set_widget_rect(ZQ_GUI_CTX* ctx, int id, float x, float y, float w, float h);
ZQ_GUI_WIDGET* zq_gui_get_widget(ZQ_GUI_CTX* ctx, int id);
// The widget's rectangle on screen (window position and scroll applied); non-zero on success.
int zq_gui_widget_screen_rect(ZQ_GUI_CTX* ctx, int id, float* x, float* y, float* w, float* h);
// Removes one widget (its destroy callback runs).
void zq_gui_remove_widget(ZQ_GUI_CTX* ctx, int id);

// ---------------------------------------------------------------------------------------
// 7. Pop-up menus
// ---------------------------------------------------------------------------------------

using ZQ_GUI_PICK_FN = void (*)(ZQ_GUI_POPUP* popup, int tag, void* user);

ZQ_GUI_POPUP* zq_gui_popup_new(ZQ_GUI_CTX* ctx, float scale, ZQ_GUI_PICK_FN on_pick, void* user);
// Entry index or -1; parent -1 for the top level, else the index of the sub-menu's entry.
int zq_gui_popup_add_item(ZQ_GUI_POPUP* popup, int parent, std::string_view text, int tag,
                          std::string_view tip);
void zq_gui_popup_set_title(ZQ_GUI_POPUP* popup, std::string_view title);
void zq_gui_popup_set_shown(ZQ_GUI_POPUP* popup, int entry, int shown);
// Opens at the display position (x, y), moved inside the display.
void zq_gui_popup_open(ZQ_GUI_POPUP* popup, float x, float y);
void zq_gui_popup_close(ZQ_GUI_POPUP* popup);
int zq_gui_popup_is_open(ZQ_GUI_POPUP* popup);
int zq_gui_popup_hit(ZQ_GUI_POPUP* popup, float x, float y);
void zq_gui_popup_free(ZQ_GUI_POPUP** popup);

// ---------------------------------------------------------------------------------------
// 8. Text and clipboard
// ---------------------------------------------------------------------------------------

// `text` cut at a code point boundary and ended with "..." when wider than max_w, into at
// most out_len - 1 bytes of `out` (always terminated). Mode 0 cuts at the end. Returns out.
char* zq_gui_text_shorten(const ALLEGRO_FONT* font, std::string_view text, float max_w, int mode,
                          char* out, size_t out_len);
std::string zq_gui_text_shorten(const ALLEGRO_FONT* font, std::string_view text, float max_w,
                                int mode = 0);

// The system clipboard through X11. The toolkit owns the selection after a set and answers
// other programs' requests (UTF8_STRING, STRING, TARGETS) until another program takes it.
int zq_clipboard_available();
std::string zq_clipboard_get(int which);                 // "" when empty or unavailable
int zq_clipboard_set(int which, std::string_view text);  // 0 or -1

// ---------------------------------------------------------------------------------------
// 9. Shapes for custom widgets (drawn onto the current target, in the context's shape mode)
// ---------------------------------------------------------------------------------------

// A filled box; rounded (radii rx, ry) when the context draws rounded shapes. Built from
// rectangles and small corner fans in one primitive call: Allegro's own rounded rectangle
// costs several times more on a software renderer.
void zq_gui_fill_box(const ZQ_GUI_CTX* ctx, float x, float y, float w, float h, float rx, float ry,
                     ALLEGRO_COLOR c);
// The outline of such a box, `thick` wide, inside it.
void zq_gui_frame_box(const ZQ_GUI_CTX* ctx, float x, float y, float w, float h, float rx, float ry,
                      ALLEGRO_COLOR c, float thick);

// ---------------------------------------------------------------------------------------
// 10. Placing widgets in rows
// ---------------------------------------------------------------------------------------

// One widget of the rows zq_gui_place_rows lays out.
struct ZQ_GUI_ROW_ITEM {
    int id = -1;
    float w = 0;         // its width; 0 keeps the widget's own
    float h = 0;         // its height; 0 is the row height
    float fill_min = 0;  // > 0: it takes the rest of its row when that leaves it at least this
                         // wide, else a row of its own across the whole width
    float over_h = 0;    // > 0: its height when the widget after it went to the next row (a
                         // label standing above its field on a narrow screen)
};

// Places the widgets left to right in rows across [x, x + w) from `y`, `gap_x` apart; one
// that would pass the right edge starts a new row, `gap_y` below the tallest widget of the
// row before (the first of a row stays, however wide). Hidden widgets take no room. Returns
// the y just below the last row, or `y` when nothing was placed.
float zq_gui_place_rows(ZQ_GUI_CTX* ctx, std::span<const ZQ_GUI_ROW_ITEM> items, float x, float y,
                        float w, float row_h, float gap_x, float gap_y);
