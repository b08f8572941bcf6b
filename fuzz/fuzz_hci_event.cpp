// SPDX-License-Identifier: GPL-3.0-or-later
// HCI event packets as the controller sends them: LE advertising reports (legacy and
// extended, with reassembly across packets) and command answers.
//
// Input: a sequence of chunks, each a length byte followed by that many bytes. A chunk is
// fed as it is and once more behind an LE Meta event header, so most inputs reach the
// report parsers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ovk_linux_hci.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static OVK_HCI_SLOTS* slots = new OVK_HCI_SLOTS();
    *slots = OVK_HCI_SLOTS{};
    size_t delivered = 0;
    const OVK_ADVERT_OUT out = [&](OVK_ADVERT_PTR a) {
        if (a && a->raw.size() <= OVK_EXT_ADV_MAX) ++delivered;
    };
    int64_t mono = 1000;
    size_t off = 0;
    std::vector<uint8_t> wrapped;
    while (off < size) {
        const size_t len = data[off++];
        const size_t n = len < size - off ? len : size - off;
        const ovk_bytes chunk(data + off, n);
        off += n;
        ovk_linux_hci_parse_event(*slots, chunk, mono++, 1700000000000LL, out);
        ovk_linux_hci_match_answer(chunk, 0x2003);
        ovk_linux_hci_match_answer(chunk, 0x2042);
        wrapped.assign({0x04, 0x3E, static_cast<uint8_t>(n)});
        wrapped.insert(wrapped.end(), chunk.begin(), chunk.end());
        ovk_linux_hci_parse_event(*slots, wrapped, mono++, 1700000000000LL, out);
    }
    for (const auto& s : *slots)
        if (s.len > OVK_EXT_ADV_MAX) __builtin_trap();
    return 0;
}
