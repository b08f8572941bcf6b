// SPDX-License-Identifier: GPL-3.0-or-later
// A tile server's answer over arbitrary bytes, as the map takes it: the acceptance check,
// then decoding into a bitmap (memory bitmaps, no display). An accepted body starts with the
// PNG signature; a decoded tile has a sane size and its pixels can be read.
#include <allegro5/allegro.h>
#include <allegro5/allegro_image.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ovk_gui_mapview.h"

// Allegro's PNG reader keeps what it allocated when libpng gives up on a damaged image (the
// map asks for such a tile at most every two minutes); that leak is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:liballegro_image.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        if (!al_install_system(ALLEGRO_VERSION_INT, nullptr) || !al_init_image_addon()) abort();
        al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
        return true;
    }();
    (void)ready;
    if (size < 2) return 0;
    // The first byte picks the status the body came with.
    const int status = data[0] < 200 ? 200 : data[0] < 230 ? 404 : 500;
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool accepted = ovk_mapview_tile_acceptable(status, body);
    if (accepted && (status != 200 || body.size() <= 8 ||
                     static_cast<unsigned char>(body[0]) != 0x89 || body[1] != 'P'))
        abort();
    if (!accepted) return 0;
    ALLEGRO_BITMAP* bmp = ovk_mapview_decode_png(body);
    if (!bmp) return 0;
    const int w = al_get_bitmap_width(bmp), h = al_get_bitmap_height(bmp);
    if (w <= 0 || h <= 0 || w > int(OVK_TILE_MAX_PX) || h > int(OVK_TILE_MAX_PX)) abort();
    (void)al_get_pixel(bmp, w - 1, h - 1);
    al_destroy_bitmap(bmp);
    return 0;
}
