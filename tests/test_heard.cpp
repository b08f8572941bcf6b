// SPDX-License-Identifier: GPL-3.0-or-later
// What an address has sent: names and listed services carry over to its later packets,
// what is new is told apart from what was heard, Wi-Fi is left alone, and the record stays
// bounded whatever a device sends.
#include <gtest/gtest.h>

#include <string>

#include "helpers/sig_payload.h"
#include "ovk_heard.h"
#include "ovk_signature.h"

namespace {

using sigtest::Payload;
using sigtest::uuid_of;

const char* kSensor = "A0:14:3D:0C:D2:2B";

OVK_UUID numbered_uuid(int i) {
    OVK_UUID u = uuid_of("00000000-1111-2222-3333-444455556666");
    u.b[0] = static_cast<uint8_t>(i >> 8);
    u.b[1] = static_cast<uint8_t>(i);
    return u;
}

TEST(Heard, NamesAndServicesCarryOverToLaterPackets) {
    const OVK_UUID flower = uuid_of(OVK_UUID_FLOWER_POWER);
    auto advert = Payload().flags().uuid128(flower).ble(kSensor);
    auto response = Payload().name("Flower power CD2B").ble(kSensor);
    OVK_HEARD h;

    // The first packet stands alone and is news.
    EXPECT_FALSE(ovk_heard_apply(h, *advert));
    EXPECT_EQ(ovk_heard_note(h, *advert), 1);
    EXPECT_EQ(ovk_heard_news(h, *advert), 0) << "the same advert again tells nothing new";

    // The scan response is judged with the service of the advert.
    auto v = ovk_heard_apply(h, *response);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->name, "Flower power CD2B");
    ASSERT_EQ(v->uuids.size(), 1u);
    EXPECT_EQ(v->uuids[0], flower);
    EXPECT_EQ(ovk_heard_note(h, *response), 1);

    // Later adverts carry the name of the scan response; a name of their own wins.
    v = ovk_heard_apply(h, *advert);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->name, "Flower power CD2B");
    EXPECT_EQ(v->uuids, advert->uuids) << "services it lists itself are not repeated";
    EXPECT_EQ(v->raw, advert->raw) << "the payload stays as it came";
    auto renamed = Payload().name("  Flower power 2  ").uuid128(flower).ble(kSensor);
    EXPECT_EQ(ovk_heard_news(h, *renamed), 1);
    EXPECT_FALSE(ovk_heard_apply(h, *renamed)) << "nothing to add to it";
    ovk_heard_note(h, *renamed);
    EXPECT_EQ(ovk_heard_apply(h, *advert)->name, "Flower power 2") << "the latest name counts";

    // A name heard before is no news when it comes back, but it is the latest again.
    EXPECT_EQ(ovk_heard_note(h, *response), 0);
    EXPECT_EQ(ovk_heard_apply(h, *advert)->name, "Flower power CD2B");

    // Blank names are no names.
    auto blank = Payload().name("   ").ble(kSensor);
    EXPECT_EQ(ovk_heard_news(h, *blank), 0);
    EXPECT_EQ(ovk_heard_apply(h, *blank)->name, "Flower power CD2B");
}

TEST(Heard, WifiIsLeftAlone) {
    OVK_HEARD h;
    auto hidden = sigtest::Elements().wifi("A4:11:62:00:00:01", "");
    auto named = sigtest::Elements().wifi("A4:11:62:00:00:01", "ARLO_VMB_4412");
    EXPECT_EQ(ovk_heard_note(h, *named), 0);
    EXPECT_TRUE(h.names.empty());
    EXPECT_FALSE(ovk_heard_apply(h, *hidden));
}

// A hostile device can send a new name and new services in every packet: the record keeps
// the latest few and nothing more.
TEST(Heard, StaysBoundedWhateverADeviceSends) {
    OVK_HEARD h;
    for (int i = 0; i < 2000; ++i) {
        Payload p;
        p.name("name " + std::to_string(i)).uuid128(numbered_uuid(i));
        EXPECT_EQ(ovk_heard_note(h, *p.ble(kSensor)), 1);
        ASSERT_LE(h.names.size(), OVK_HEARD_NAMES_MAX);
        ASSERT_LE(h.uuids.size(), OVK_HEARD_UUIDS_MAX);
    }
    EXPECT_EQ(h.names.back(), "name 1999");
    EXPECT_EQ(h.uuids.back(), numbered_uuid(1999));
    EXPECT_EQ(h.uuids.front(), numbered_uuid(2000 - static_cast<int>(OVK_HEARD_UUIDS_MAX)));
    // An overlong name is kept cut.
    ovk_heard_note(h, *Payload().name(std::string(29, 'x')).ble(kSensor));
    OVK_ADVERT long_name = *Payload().ble(kSensor);
    long_name.name = std::string(1000, 'y');
    ovk_heard_note(h, long_name);
    EXPECT_EQ(h.names.back(), std::string(OVK_HEARD_NAME_MAX, 'y'));
    EXPECT_EQ(ovk_heard_news(h, long_name), 0);
}

TEST(Heard, AnAddressHeardOnceCostsWhatItSent) {
    // Most addresses of a drive are heard with one name or one service list: the memory kept
    // for them holds that, not room for the most an address may send (at 100,000 addresses
    // the difference is tens of megabytes).
    OVK_HEARD h;
    ovk_heard_note(h, *Payload().name("Pixel 7").uuid128(numbered_uuid(1)).ble(kSensor));
    EXPECT_EQ(h.names.capacity(), 1u);
    EXPECT_EQ(h.uuids.capacity(), 1u);
    // A packet listing a service twice adds it once.
    Payload twice;
    twice.uuid128(numbered_uuid(2)).uuid128(numbered_uuid(2)).uuid128(numbered_uuid(3));
    ovk_heard_note(h, *twice.ble(kSensor));
    EXPECT_EQ(h.uuids.size(), 3u);
    EXPECT_LE(h.uuids.capacity(), 3u);
}

}  // namespace
