// SPDX-License-Identifier: GPL-3.0-or-later
// Radio frames from sniffers: radiotap headers (alignment, extended bitmaps, namespaces,
// FCS flags), 802.11 beacons and probe responses, and BLE link-layer advertising PDUs with
// and without the LE pseudo-header.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ovk_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}
void pad_to(Bytes& b, size_t align) {
    while (b.size() % align) b.push_back(0);
}
void append(Bytes& b, const Bytes& x) {
    b.insert(b.end(), x.begin(), x.end());
}

// A beacon (subtype 8) or probe response (5) from BSSID 02:11:22:33:44:55 with the given
// capability and elements.
Bytes beacon(const Bytes& ies, unsigned cap = 0x0401, int subtype = 8) {
    Bytes f = {static_cast<uint8_t>(subtype << 4), 0x00, 0, 0};
    append(f, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // destination
    append(f, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55});  // source
    append(f, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55});  // BSSID
    put16(f, 0x1230);                                 // sequence
    append(f, {1, 2, 3, 4, 5, 6, 7, 8});              // timestamp
    put16(f, 100);                                    // beacon interval
    put16(f, cap);
    append(f, ies);
    return f;
}

const Bytes kSsidCafe = {0x00, 0x04, 'C', 'a', 'f', 'e'};
const Bytes kDsCh11 = {0x03, 0x01, 11};
// RSN with one pairwise suite (CCMP) and AKM 2 (PSK).
const Bytes kRsnPsk = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                       0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};

// Radiotap: TSFT (8-aligned), Flags, Channel (2-aligned), antenna signal, then a second
// radiotap namespace (bit 29) whose bitmap names the signal of antenna 0, and a vendor
// namespace with 5 bytes of data to skip; then fields of the first bitmap only matter.
Bytes radiotap(uint8_t flags, unsigned freq, int8_t signal) {
    Bytes h = {0x00, 0x00, 0x00, 0x00};
    // word 0: TSFT, Flags, Channel, dBm signal, vendor namespace next (30), ext (31)
    put32(h, (1u << 0) | (1u << 1) | (1u << 3) | (1u << 5) | (1u << 30) | (1u << 31));
    // word 1 (vendor namespace): back to radiotap next (29), ext (31)
    put32(h, (1u << 0) | (1u << 29) | (1u << 31));
    // word 2 (radiotap again): dBm signal, antenna
    put32(h, (1u << 5) | (1u << 11));
    pad_to(h, 8);
    append(h, {0, 0, 0, 0, 0, 0, 0, 0});  // TSFT
    h.push_back(flags);
    pad_to(h, 2);
    put16(h, freq);
    put16(h, 0x00A0);
    h.push_back(static_cast<uint8_t>(signal));
    pad_to(h, 2);
    append(h, {0x00, 0x11, 0x22, 0x07});  // vendor namespace: OUI, sub-namespace
    put16(h, 5);                          // skip length
    append(h, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE});
    h.push_back(static_cast<uint8_t>(-90));  // antenna 0 signal: not the one taken
    h.push_back(0);                          // antenna index
    h[2] = static_cast<uint8_t>(h.size());
    h[3] = static_cast<uint8_t>(h.size() >> 8);
    return h;
}

TEST(Radiotap, FieldsFollowAlignmentBitmapChainAndNamespaces) {
    const Bytes h = radiotap(0x10, 5745, -47);
    const auto r = ovk_radiotap_parse(h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->len, h.size());
    EXPECT_TRUE(r->has_flags);
    EXPECT_EQ(r->flags, 0x10);
    EXPECT_EQ(r->freq_mhz, 5745);
    EXPECT_TRUE(r->has_signal);
    EXPECT_EQ(r->signal_dbm, -47);

    // XChannel (bit 18, 4-aligned, frequency at +4) stands in for a missing Channel field.
    Bytes x = {0, 0, 0, 0};
    put32(x, (1u << 1) | (1u << 18));
    x.push_back(0x00);  // flags at 8
    pad_to(x, 4);
    put32(x, 0x00000140);
    put16(x, 2462);
    append(x, {11, 20});
    x[2] = static_cast<uint8_t>(x.size());
    const auto rx = ovk_radiotap_parse(x);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->freq_mhz, 2462);
    EXPECT_FALSE(rx->has_signal);
}

TEST(Radiotap, MalformedHeadersAreRefused) {
    Bytes h = radiotap(0, 2412, -60);
    Bytes longer = h;
    longer[2] = static_cast<uint8_t>(h.size() + 1);  // longer than the packet
    EXPECT_FALSE(ovk_radiotap_parse(longer));
    Bytes v1 = h;
    v1[0] = 1;
    EXPECT_FALSE(ovk_radiotap_parse(v1));
    // A field that runs past the stated length.
    Bytes cut = h;
    cut[2] = 20;
    EXPECT_FALSE(ovk_radiotap_parse(Bytes(cut.begin(), cut.begin() + 20)));
    // Bitmaps that chain on past the header.
    Bytes chain = {0, 0, 12, 0};
    put32(chain, 1u << 31);
    put32(chain, 1u << 31);
    EXPECT_FALSE(ovk_radiotap_parse(chain));
    EXPECT_FALSE(ovk_radiotap_parse(Bytes{0, 0, 8}));
}

TEST(Dot11, BeaconBecomesAWifiAdvert) {
    Bytes ies = kSsidCafe;
    append(ies, kDsCh11);
    append(ies, kRsnPsk);
    Bytes pkt = radiotap(0x10, 2437, -52);
    append(pkt, beacon(ies, 0x0411));
    append(pkt, {0xDE, 0xAD, 0xBE, 0xEF});  // FCS
    const OVK_FRAME f = ovk_frame_radiotap(pkt, 1700000000123);
    ASSERT_EQ(f.kind, OVK_FRAME_ADVERT) << f.why;
    const OVK_ADVERT& a = *f.advert;
    EXPECT_EQ(a.source, OVK_SRC_WIFI);
    EXPECT_EQ(a.mac, "02:11:22:33:44:55");
    EXPECT_EQ(a.addr_type, OVK_ADDR_WIFI_LOCAL);
    EXPECT_EQ(a.name, "Cafe");
    EXPECT_EQ(a.freq_mhz, 2437) << "radiotap's channel wins over the DS element";
    EXPECT_EQ(a.rssi, -52);
    EXPECT_EQ(a.caps, "[WPA2-PSK-CCMP][RSN-PSK-CCMP][ESS]");
    ASSERT_EQ(a.ies.size(), 3u) << "the FCS is not read as an element";
    EXPECT_EQ(a.ies[2].id, 0x30);
    EXPECT_EQ(a.timestamp, 1700000000123);

    // Bare 802.11: frequency from the DS element, else the HT operation element.
    const OVK_FRAME g = ovk_frame_dot11(beacon(ies, 0x0001, 5), 0, 0, 1);
    ASSERT_EQ(g.kind, OVK_FRAME_ADVERT);
    EXPECT_EQ(g.advert->freq_mhz, 2462);
    EXPECT_EQ(g.advert->rssi, 0);
    const Bytes ht = {0x3D, 0x16, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0,    0,    0,  0, 0, 0, 0, 0, 0, 0, 0, 0};
    const OVK_FRAME h = ovk_frame_dot11(beacon(ht), 0, 0, 1);
    ASSERT_EQ(h.kind, OVK_FRAME_ADVERT);
    EXPECT_EQ(h.advert->freq_mhz, 5180);
    EXPECT_FALSE(h.advert->name) << "no SSID element";
    EXPECT_EQ(h.advert->caps, "[ESS]");
    // Privacy without WPA or RSN is WEP.
    EXPECT_EQ(ovk_frame_dot11(beacon(kSsidCafe, 0x0011), 0, 0, 1).advert->caps, "[WEP][ESS]");
}

TEST(Dot11, SsidTextHiddenNetworksAndOtherFrames) {
    EXPECT_FALSE(ovk_frame_ssid(Bytes{0x00, 0x00}));
    EXPECT_FALSE(ovk_frame_ssid(Bytes{0x00, 0x03, 0, 0, 0}));
    EXPECT_EQ(ovk_frame_ssid(Bytes{0x00, 0x03, 'a', '\t', 'b'}), "a?b");
    EXPECT_FALSE(ovk_frame_ssid(Bytes{0x00, 0x05, 'a'})) << "element cut short";

    // Probe request, data frame, protected management frame: no advert.
    Bytes probe_req = beacon(kSsidCafe);
    probe_req[0] = 0x40;
    EXPECT_EQ(ovk_frame_dot11(probe_req, 0, 0, 1).kind, OVK_FRAME_OTHER);
    Bytes data = beacon(kSsidCafe);
    data[0] = 0x08;
    EXPECT_EQ(ovk_frame_dot11(data, 0, 0, 1).kind, OVK_FRAME_OTHER);
    Bytes prot = beacon(kSsidCafe);
    prot[1] = 0x40;
    EXPECT_EQ(ovk_frame_dot11(prot, 0, 0, 1).kind, OVK_FRAME_OTHER);
    // Too short for its fixed fields, or a bad FCS: malformed.
    const Bytes whole = beacon({});
    EXPECT_EQ(ovk_frame_dot11(Bytes(whole.begin(), whole.begin() + 30), 0, 0, 1).kind,
              OVK_FRAME_BAD);
    Bytes badfcs = radiotap(0x50, 2412, -60);
    append(badfcs, beacon(kSsidCafe));
    append(badfcs, {0, 0, 0, 0});
    EXPECT_EQ(ovk_frame_radiotap(badfcs, 1).kind, OVK_FRAME_BAD);
    // +HTC moves the body 4 bytes on.
    Bytes htc = beacon(kSsidCafe);
    htc[1] = 0x80;
    htc.insert(htc.begin() + 24, {0, 0, 0, 0});
    const OVK_FRAME f = ovk_frame_dot11(htc, 0, 0, 1);
    ASSERT_EQ(f.kind, OVK_FRAME_ADVERT);
    EXPECT_EQ(f.advert->name, "Cafe");
}

// A link-layer packet on the advertising access address.
Bytes ll(uint8_t header0, const Bytes& payload, uint32_t aa = OVK_BLE_ADV_ACCESS_ADDRESS) {
    Bytes p;
    put32(p, aa);
    p.push_back(header0);
    p.push_back(static_cast<uint8_t>(payload.size()));
    append(p, payload);
    append(p, {0x11, 0x22, 0x33});  // CRC
    return p;
}
const Bytes kAdvA = {0x66, 0x55, 0x44, 0x33, 0x22, 0xC1};  // C1:22:33:44:55:66 on the air
const Bytes kAdData = {0x02, 0x01, 0x06, 0x05, 0x09, 'T', 'a', 'g', '1', 0x03, 0xFF, 0x4C, 0x00};

Bytes phdr(uint16_t flags, int8_t signal, const Bytes& ll_pkt) {
    Bytes p = {37, static_cast<uint8_t>(signal), static_cast<uint8_t>(-95), 0};
    put32(p, OVK_BLE_ADV_ACCESS_ADDRESS);
    put16(p, flags);
    append(p, ll_pkt);
    return p;
}

TEST(BleLinkLayer, LegacyAdvertisingPdus) {
    Bytes payload = kAdvA;
    append(payload, kAdData);
    const OVK_FRAME f = ovk_frame_ble_ll(ll(0x40, payload), 0, 42);  // ADV_IND, TxAdd random
    ASSERT_EQ(f.kind, OVK_FRAME_ADVERT) << f.why;
    const OVK_ADVERT& a = *f.advert;
    EXPECT_EQ(a.mac, "C1:22:33:44:55:66");
    EXPECT_EQ(a.addr_type, OVK_ADDR_RANDOM_STATIC);
    EXPECT_EQ(a.connectable, 1);
    EXPECT_EQ(a.name, "Tag1");
    ASSERT_NE(ovk_advert_mfg(&a, 0x004C), nullptr);
    EXPECT_EQ(a.phy, "LE 1M (legacy)");
    EXPECT_EQ(a.raw, kAdData);
    EXPECT_EQ(a.timestamp, 42);

    EXPECT_EQ(ovk_frame_ble_ll(ll(0x02, payload), 0, 1).advert->connectable, 0);  // NONCONN
    const OVK_FRAME rsp = ovk_frame_ble_ll(ll(0x04, payload), 0, 1);  // SCAN_RSP, public
    EXPECT_EQ(rsp.advert->connectable, -1);
    EXPECT_EQ(rsp.advert->addr_type, OVK_ADDR_PUBLIC);
    Bytes direct = kAdvA;
    append(direct, {1, 2, 3, 4, 5, 6});
    const OVK_FRAME d = ovk_frame_ble_ll(ll(0x01, direct), 0, 1);
    ASSERT_EQ(d.kind, OVK_FRAME_ADVERT);
    EXPECT_TRUE(d.advert->raw.empty()) << "a directed advert carries no data";

    EXPECT_EQ(ovk_frame_ble_ll(ll(0x03, payload), 0, 1).kind, OVK_FRAME_OTHER);  // SCAN_REQ
    EXPECT_EQ(ovk_frame_ble_ll(ll(0x05, payload), 0, 1).kind, OVK_FRAME_OTHER);  // CONNECT_IND
    EXPECT_EQ(ovk_frame_ble_ll(ll(0x00, payload, 0x50654A1B), 0, 1).kind, OVK_FRAME_OTHER)
        << "a data channel access address";
    Bytes cut = ll(0x00, payload);
    cut[5] = 60;  // longer than the packet
    EXPECT_EQ(ovk_frame_ble_ll(cut, 0, 1).kind, OVK_FRAME_BAD);
    EXPECT_EQ(ovk_frame_ble_ll(ll(0x00, {1, 2, 3}), 0, 1).kind, OVK_FRAME_BAD);
    EXPECT_EQ(ovk_frame_ble_ll(Bytes{0xD6, 0xBE}, 0, 1).kind, OVK_FRAME_BAD);
}

TEST(BleLinkLayer, ExtendedPdusAndThePseudoHeader) {
    // AUX_ADV_IND: extended header with AdvA and ADI, connectable mode, then the data.
    Bytes ext = {static_cast<uint8_t>((1 << 6) | 9), 0x01 | 0x08};
    append(ext, kAdvA);
    append(ext, {0x10, 0x20});  // ADI
    append(ext, kAdData);
    const OVK_FRAME f = ovk_frame_ble_ll(ll(0x47, ext), -70, 5);
    ASSERT_EQ(f.kind, OVK_FRAME_ADVERT) << f.why;
    EXPECT_EQ(f.advert->mac, "C1:22:33:44:55:66");
    EXPECT_EQ(f.advert->connectable, 1);
    EXPECT_EQ(f.advert->phy, "LE 1M (extended)");
    EXPECT_EQ(f.advert->raw, kAdData);
    EXPECT_EQ(f.advert->rssi, -70);
    // ADV_EXT_IND that only points at its auxiliary packet; AUX_CHAIN_IND without an address.
    Bytes ptr = {static_cast<uint8_t>(10), 0x01 | 0x10};
    append(ptr, kAdvA);
    append(ptr, {1, 2, 3});
    EXPECT_EQ(ovk_frame_ble_ll(ll(0x07, ptr), 0, 1).kind, OVK_FRAME_OTHER);
    EXPECT_EQ(ovk_frame_ble_ll(ll(0x07, Bytes{0x03, 0x08, 1, 2, 9, 9}), 0, 1).kind,
              OVK_FRAME_OTHER);
    EXPECT_EQ(ovk_frame_ble_ll(ll(0x07, Bytes{0x3F, 0x01}), 0, 1).kind, OVK_FRAME_BAD);

    // Pseudo-header: signal when valid, bad CRC refused, LE Coded with its coding indicator.
    Bytes payload = kAdvA;
    append(payload, kAdData);
    const Bytes adv = ll(0x40, payload);
    const OVK_FRAME p = ovk_frame_ble_ll_phdr(phdr(0x0002 | 0x0400 | 0x0800, -58, adv), 9);
    ASSERT_EQ(p.kind, OVK_FRAME_ADVERT);
    EXPECT_EQ(p.advert->rssi, -58);
    EXPECT_EQ(ovk_frame_ble_ll_phdr(phdr(0x0000, -58, adv), 9).advert->rssi, 0);
    EXPECT_EQ(ovk_frame_ble_ll_phdr(phdr(0x0002 | 0x0400, -58, adv), 9).kind, OVK_FRAME_BAD);
    Bytes coded = adv;
    coded.insert(coded.begin() + 4, 0x00);  // coding indicator S=8
    Bytes ext_coded = ll(0x47, ext);
    ext_coded.insert(ext_coded.begin() + 4, 0x01);
    const OVK_FRAME c = ovk_frame_ble_ll_phdr(phdr(0x0002 | (2 << 14), -90, ext_coded), 9);
    ASSERT_EQ(c.kind, OVK_FRAME_ADVERT) << c.why;
    EXPECT_EQ(c.advert->phy, "LE Coded (long range)");
    EXPECT_EQ(ovk_frame_ble_ll_phdr(Bytes{1, 2, 3}, 9).kind, OVK_FRAME_BAD);
}

}  // namespace
