// SPDX-License-Identifier: GPL-3.0-or-later
// BLE advertisement construction from an arbitrary payload, then every lookup and the byte
// helpers over the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ovk_advert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint16_t probe = static_cast<uint16_t>(data[0] | (data[1] << 8));
    const ovk_bytes raw(data + 2, size - 2);
    OVK_ADVERT_PTR a =
        ovk_advert_new_ble("C0:11:22:33:44:55", -70, raw, ovk_addr_of_random("C0:11:22:33:44:55"),
                           1, "LE 1M (legacy)", "hint", 1);
    if (!a) return 0;
    volatile size_t sink = 0;
    (void)ovk_advert_mfg(a.get(), probe);
    (void)ovk_advert_svc16(a.get(), probe);
    sink = sink + static_cast<size_t>(ovk_advert_has_uuid16(a.get(), probe));
    sink = sink + static_cast<size_t>(ovk_advert_has_any16(a.get(), probe));
    (void)ovk_advert_ie(a.get(), probe & 0xFF);
    for (const OVK_UUID& u : a->uuids) {
        sink = sink + ovk_uuid_str(u).size();
        (void)ovk_advert_svc(a.get(), u);
        sink = sink + static_cast<size_t>(ovk_uuid_short(ovk_uuid_reversed(u)) + 1);
    }
    for (const OVK_MFG& m : a->mfg) {
        if (ovk_advert_mfg(a.get(), m.cid) != &m) __builtin_trap();
        sink = sink + ovk_hex(m.data, ":", 64).size();
    }
    for (const OVK_SVCDATA& s : a->svc) {
        if (ovk_advert_svc(a.get(), s.uuid) != &s) __builtin_trap();
        sink = sink + ovk_hex(s.data).size();
    }
    for (const OVK_AD& ad : ovk_ad_parse(raw, 64)) {
        sink = sink + ovk_ad_type_name(ad.type).size();
        if (auto t = ovk_ascii(ad.data, 0, ad.data.size(), 32)) sink = sink + t->size();
    }
    sink = sink + ovk_hex(raw, "-", probe % 200).size();
    if (auto t = ovk_ascii(raw, probe % 40, probe >> 8, probe % 50)) sink = sink + t->size();
    sink = sink + ovk_u16le(raw, probe % 40) + static_cast<size_t>(ovk_i32le(raw, probe % 40));
    sink = sink + static_cast<size_t>(ovk_contains_ascii(
                      raw, std::string_view(reinterpret_cast<const char*>(raw.data()),
                                            raw.size() < 8 ? raw.size() : 8)));
    auto d = ovk_advert_dup(a.get());
    if (!d || d->mfg.size() != a->mfg.size() || d->raw != a->raw) __builtin_trap();
    return 0;
}
