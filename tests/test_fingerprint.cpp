#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovk_advert.h"
#include "ovk_fingerprint.h"

namespace {

using Bytes = std::vector<uint8_t>;

OVK_ADVERT_PTR ble(const Bytes& raw, const char* mac = "4A:11:22:33:44:55", int rssi = -60,
                   int connectable = 1, OVK_ADDR_TYPE t = OVK_ADDR_RESOLVABLE_PRIVATE) {
    return ovk_advert_new_ble(mac, rssi, raw, t, connectable, std::nullopt, "", 0);
}

std::string fp(const OVK_ADVERT_PTR& a, size_t outsz = 512) {
    std::string s = "stale";
    const int r = ovk_advert_fingerprint(a.get(), s, outsz);
    EXPECT_EQ(r == 0, s.empty());
    return s;
}

const Bytes kApple = {0x05, 0xFF, 0x4C, 0x00, 0x12, 0x19};

}  // namespace

TEST(AdvertFingerprint, AppleDataAloneIsNotEnough) {
    auto a = ble(kApple);
    std::string s = "stale";
    EXPECT_EQ(ovk_advert_fingerprint(a.get(), s), 0);
    EXPECT_EQ(s, "");
    Bytes raw = kApple;
    raw.insert(raw.end(), {0x03, 0x03, 0x6F, 0xFD});
    auto b = ble(raw);
    EXPECT_EQ(fp(b), "n=|u=0000fd6f-0000-1000-8000-00805f9b34fb|d=|m=76:2|t=|c=true");
    // service data alone qualifies too
    auto c = ble({0x04, 0x16, 0xAA, 0xFE, 0x10}, "4A:11:22:33:44:55", -60, 0);
    EXPECT_EQ(fp(c), "n=|u=|d=0000feaa-0000-1000-8000-00805f9b34fb:1|m=|t=|c=false");
}

TEST(AdvertFingerprint, StableAcrossAddressRssiAndDataBytes) {
    const Bytes raw1 = {0x07, 0x09, ' ', 'T', 'a', 'g', '1', ' ', 0x05, 0xFF, 0x24, 0x04, 0x01,
                        0x02, 0x05, 0xFF, 0x4C, 0x00, 0xAA, 0xBB, 0x02, 0x0A, 0xF4};
    Bytes raw2 = raw1;
    raw2[12] = 0x77;  // other manufacturer bytes, same length
    raw2[19] = 0x00;
    auto a = ble(raw1, "4A:00:00:00:00:01", -40, -1);
    auto b = ble(raw2, "7B:00:00:00:00:02", -90, -1);
    const std::string f = fp(a);
    EXPECT_EQ(f, "n=Tag1|u=|d=|m=1060:2,76:2|t=-12|c=");  // byte-wise order: 1060 before 76
    EXPECT_EQ(fp(b), f);
    Bytes raw3 = raw1;
    raw3[8] = 0x06;  // manufacturer data one byte longer
    raw3.insert(raw3.begin() + 14, 0x03);
    EXPECT_NE(fp(ble(raw3)), f);
}

TEST(AdvertFingerprint, ItemsSortedAndTextCut) {
    // UUIDs in reverse order of their text, a name that qualifies on its own
    auto a = ble({0x05, 0x03, 0x0F, 0x18, 0x0A, 0x18, 0x03, 0x08, 'A', 'b'});
    EXPECT_EQ(fp(a),
              "n=Ab|u=0000180a-0000-1000-8000-00805f9b34fb,0000180f-0000-1000-8000-00805f9b34fb|"
              "d=|m=|t=|c=true");
    EXPECT_EQ(fp(a, 8), "n=Ab|u=");
    std::string s;
    EXPECT_EQ(ovk_advert_fingerprint(a.get(), s, 8), 1);
}

TEST(AdvertFingerprint, WifiAndAbsentHaveNone) {
    auto w = ovk_advert_new_wifi("02:00:00:00:00:01", "Net", -50, 2412, std::nullopt,
                                 std::nullopt, {}, 0);
    std::string s = "x";
    EXPECT_EQ(ovk_advert_fingerprint(w.get(), s), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(ovk_advert_fingerprint(nullptr, s), 0);
    auto blank = ble({0x04, 0x09, ' ', '\t', ' '});
    EXPECT_EQ(ovk_advert_fingerprint(blank.get(), s), 0);  // a blank name is no name
}

TEST(AdvertFingerprint, MayRotate) {
    const Bytes raw = {0x02, 0x01, 0x06};
    EXPECT_EQ(ovk_advert_may_rotate(ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_PUBLIC).get()), 0);
    EXPECT_EQ(ovk_advert_may_rotate(
                  ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_RANDOM_STATIC).get()),
              0);
    EXPECT_EQ(ovk_advert_may_rotate(
                  ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_RESOLVABLE_PRIVATE).get()),
              1);
    EXPECT_EQ(ovk_advert_may_rotate(
                  ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_NON_RESOLVABLE).get()),
              1);
    EXPECT_EQ(ovk_advert_may_rotate(ble(raw, "4A:00:00:00:00:01", -60, 1, OVK_ADDR_UNKNOWN).get()),
              1);
    auto w = ovk_advert_new_wifi("02:00:00:00:00:01", "Net", -50, 2412, std::nullopt,
                                 std::nullopt, {}, 0);
    EXPECT_EQ(ovk_advert_may_rotate(w.get()), 0);
    EXPECT_EQ(ovk_advert_may_rotate(nullptr), 0);
}
