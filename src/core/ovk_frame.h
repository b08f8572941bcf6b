// SPDX-License-Identifier: GPL-3.0-or-later
// Radio frames as sniffers and capture tools store them, turned into adverts:
//   - 802.11 management frames (beacons and probe responses), bare or behind a radiotap
//     header: BSSID, SSID, frequency (radiotap channel, else the DS or HT operation
//     element), signal (radiotap), capabilities and the information elements;
//   - Bluetooth LE link-layer advertising PDUs (legacy, and extended ones that carry their
//     advertiser address), bare or behind the LE pseudo-header (channel, signal, CRC state,
//     PHY).
// Every parser works on a bounded view, checks each length before it reads and never fails
// harder than "this frame is malformed".
//
// Index
//   1. Radiotap
//   2. 802.11 management frames
//   3. Bluetooth LE link layer
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ovk_advert.h"

// What became of one frame.
enum OVK_FRAME_KIND : int {
    OVK_FRAME_ADVERT = 0,  // `advert` holds it
    OVK_FRAME_OTHER = 1,   // a sound frame that is no advertisement (data, probe request, ...)
    OVK_FRAME_BAD = 2,     // malformed, cut short, or received with a bad checksum; `why` says
};

struct OVK_FRAME {
    OVK_FRAME_KIND kind = OVK_FRAME_OTHER;
    OVK_ADVERT_PTR advert;
    const char* why = "";  // static text for OTHER and BAD
};

// ---------------------------------------------------------------------------------------
// 1. Radiotap
// ---------------------------------------------------------------------------------------
inline constexpr uint8_t OVK_RADIOTAP_F_FCS = 0x10;      // the frame ends with its 4-byte FCS
inline constexpr uint8_t OVK_RADIOTAP_F_BAD_FCS = 0x40;  // received with a bad FCS

// The fields of a radiotap header that an advert needs. Fields come in the order of the
// present bitmaps (the chain of extended bitmaps included), each aligned to its natural
// boundary from the start of the header; vendor namespaces are skipped by their length;
// parsing stops at the first field of unknown size, keeping what it had.
struct OVK_RADIOTAP {
    size_t len = 0;  // header length: the 802.11 frame starts here
    bool has_flags = false;
    uint8_t flags = 0;
    int freq_mhz = 0;  // Channel field, else XChannel; 0 with neither
    bool has_signal = false;
    int signal_dbm = 0;  // the first antenna-signal field
};

// nullopt for a header that is not radiotap version 0, is longer than the packet, or whose
// bitmaps or fields run past its length.
std::optional<OVK_RADIOTAP> ovk_radiotap_parse(ovk_bytes pkt);

// ---------------------------------------------------------------------------------------
// 2. 802.11
// ---------------------------------------------------------------------------------------

// Centre frequency of a channel number seen in a beacon: 1..14 in the 2.4 GHz band, 32..177
// in the 5 GHz band; 0 for anything else.
int ovk_frame_channel_mhz(int channel);

// The SSID element as a name: nullopt when absent, empty or all zero bytes (a hidden
// network); at most 32 bytes, control bytes shown as '?'.
std::optional<std::string> ovk_frame_ssid(ovk_bytes ies);

// A bare 802.11 frame without FCS. `freq_mhz` 0: taken from the elements. `rssi` 0: unknown.
OVK_FRAME ovk_frame_dot11(ovk_bytes frame, int freq_mhz, int rssi, int64_t time_ms);
// Radiotap header, then the 802.11 frame (FCS stripped when the header says it is there).
OVK_FRAME ovk_frame_radiotap(ovk_bytes pkt, int64_t time_ms);

// ---------------------------------------------------------------------------------------
// 3. Bluetooth LE link layer
// ---------------------------------------------------------------------------------------
inline constexpr uint32_t OVK_BLE_ADV_ACCESS_ADDRESS = 0x8E89BED6;

// Access address, PDU header, payload (CRC optional). `rssi` 0: unknown; `coded` selects
// the extended-advertising PHY label.
OVK_FRAME ovk_frame_ble_ll(ovk_bytes pkt, int rssi, int64_t time_ms, bool coded = false);
// The 10-byte LE pseudo-header (channel, signal, noise, access-address offenses, reference
// access address, flags), then the link-layer packet; a coding indicator byte follows the
// access address on the LE Coded PHY. Packets whose CRC was checked and failed are BAD.
OVK_FRAME ovk_frame_ble_ll_phdr(ovk_bytes pkt, int64_t time_ms);
