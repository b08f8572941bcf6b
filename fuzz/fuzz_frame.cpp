// SPDX-License-Identifier: GPL-3.0-or-later
// Radio frames as sniffers store them. The first byte picks the decoder (radiotap + 802.11,
// bare 802.11, BLE link layer, BLE link layer behind the LE pseudo-header); the rest is the
// frame. A radiotap header never claims more than the packet; an advert comes out only for
// a frame kind that has one, with its payload inside the input.
#include <cstddef>
#include <cstdint>

#include "ovk_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const ovk_bytes pkt(data + 1, size - 1);
    OVK_FRAME f;
    switch (data[0] & 3) {
        case 0: {
            if (const auto rt = ovk_radiotap_parse(pkt); rt && rt->len > pkt.size())
                __builtin_trap();
            f = ovk_frame_radiotap(pkt, 1);
            break;
        }
        case 1:
            f = ovk_frame_dot11(pkt, 0, -50, 1);
            break;
        case 2:
            f = ovk_frame_ble_ll(pkt, 0, 1);
            break;
        default:
            f = ovk_frame_ble_ll_phdr(pkt, 1);
            break;
    }
    if ((f.kind == OVK_FRAME_ADVERT) != static_cast<bool>(f.advert)) __builtin_trap();
    if (f.advert && (f.advert->raw.size() > pkt.size() || f.advert->ies.size() > pkt.size()))
        __builtin_trap();
    if (f.kind != OVK_FRAME_ADVERT && !f.why[0]) __builtin_trap();
    return 0;
}
