// SPDX-License-Identifier: GPL-3.0-or-later
// zq-gallery: every widget kind of the toolkit in one window.
//   zq-gallery              runs it until the window is closed or Escape is pressed
//   zq-gallery --shot FILE  draws two frames, saves the window as an image and exits 0
#include <allegro5/allegro.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "zq_gallery_build.h"

namespace {

constexpr int kWidth = 1100;
constexpr int kHeight = 820;

void draw(ZQ_GALLERY& g) {
    al_clear_to_color(al_map_rgb(18, 20, 22));
    zq_gui_draw(g.ctx);
    al_flip_display();
    zq_gui_draw_detached(g.ctx);
}

}  // namespace

int main(int argc, char** argv) {
    std::string shot;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--shot") == 0 && i + 1 < argc) {
            shot = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zq-gallery [--shot FILE]\n");
            return 2;
        }
    }
    if (!al_init() || !al_init_primitives_addon() || !al_init_font_addon() ||
        !al_init_ttf_addon() || !al_init_image_addon()) {
        std::fprintf(stderr, "zq-gallery: cannot initialise Allegro\n");
        return 1;
    }
    al_set_new_display_option(ALLEGRO_SAMPLE_BUFFERS, 1, ALLEGRO_SUGGEST);
    al_set_new_display_option(ALLEGRO_SAMPLES, 4, ALLEGRO_SUGGEST);
    al_set_new_window_title("zq-gallery");
    ALLEGRO_DISPLAY* display = al_create_display(kWidth, kHeight);
    if (!display) {
        std::fprintf(stderr, "zq-gallery: cannot open a %dx%d window (is DISPLAY set?)\n", kWidth,
                     kHeight);
        return 1;
    }
    ZQ_GALLERY_FONTS fonts;
    if (!zq_gallery_fonts_load(&fonts, 15)) {
        std::fprintf(stderr, "zq-gallery: DejaVuSans.ttf not found (make deps installs it)\n");
        al_destroy_display(display);
        return 1;
    }
    ZQ_GALLERY g;
    if (!zq_gallery_build(&g, display, fonts, kWidth, kHeight)) {
        zq_gallery_fonts_free(&fonts);
        al_destroy_display(display);
        return 1;
    }
    zq_gallery_open_menu(&g);

    int rc = 0;
    if (!shot.empty()) {
        for (int i = 0; i < 2; ++i) {
            al_clear_to_color(al_map_rgb(18, 20, 22));
            zq_gui_draw(g.ctx);
            if (i == 1 && !al_save_bitmap(shot.c_str(), al_get_backbuffer(display))) {
                std::fprintf(stderr, "zq-gallery: cannot save %s\n", shot.c_str());
                rc = 1;
            }
            al_flip_display();
        }
    } else {
        al_install_keyboard();
        al_install_mouse();
        ALLEGRO_EVENT_QUEUE* queue = al_create_event_queue();
        ALLEGRO_TIMER* timer = al_create_timer(1.0 / 30);
        al_register_event_source(queue, al_get_display_event_source(display));
        al_register_event_source(queue, al_get_keyboard_event_source());
        al_register_event_source(queue, al_get_mouse_event_source());
        al_register_event_source(queue, al_get_timer_event_source(timer));
        zq_gui_set_event_queue(g.ctx, queue);
        al_start_timer(timer);
        draw(g);
        for (bool run = true; run;) {
            ALLEGRO_EVENT ev;
            al_wait_for_event(queue, &ev);
            zq_gui_process_event(g.ctx, &ev);
            switch (ev.type) {
                case ALLEGRO_EVENT_DISPLAY_CLOSE:
                    run = false;
                    break;
                case ALLEGRO_EVENT_KEY_DOWN:
                    if (ev.keyboard.keycode == ALLEGRO_KEY_ESCAPE) {
                        if (zq_gui_menu_is_open(g.ctx))
                            zq_gui_close_menus(g.ctx);
                        else
                            run = false;
                    }
                    break;
                case ALLEGRO_EVENT_KEY_CHAR:
                    if (ev.keyboard.keycode == ALLEGRO_KEY_F5) zq_gallery_open_menu(&g);
                    break;
                case ALLEGRO_EVENT_DISPLAY_RESIZE:
                    al_acknowledge_resize(display);
                    zq_gui_set_display_size(g.ctx, static_cast<float>(ev.display.width),
                                            static_cast<float>(ev.display.height));
                    break;
                case ALLEGRO_EVENT_TIMER:
                    if (zq_gui_needs_redraw(g.ctx)) draw(g);
                    break;
                default:
                    break;
            }
        }
        al_destroy_timer(timer);
        al_destroy_event_queue(queue);
    }
    zq_gallery_free(&g);
    zq_gallery_fonts_free(&fonts);
    al_destroy_display(display);
    return rc;
}
