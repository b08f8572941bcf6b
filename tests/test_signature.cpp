// SPDX-License-Identifier: GPL-3.0-or-later
// Surveillance signatures: every catalogue row with a matching advert and a near miss, the
// Flock family's precedence, DJI models against drone blocks, address-block lookup, the
// Wi-Fi rows and the stable ranking.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "helpers/sig_payload.h"
#include "ovk_signature.h"

namespace {

using sigtest::Bytes;
using sigtest::Elements;
using sigtest::Payload;
using sigtest::str_bytes;
using sigtest::uuid_of;
using std::string;

OVK_HITS classify(const OVK_ADVERT_PTR& a) {
    EXPECT_TRUE(a);
    return ovk_signature_classify(a.get());
}
OVK_HITS classify(const Payload& p, std::string_view mac = "00:11:22:33:44:55",
                  OVK_ADDR_TYPE kind = OVK_ADDR_PUBLIC) {
    return classify(p.ble(mac, kind));
}

std::vector<string> labels(const OVK_HITS& h) {
    std::vector<string> v;
    for (const OVK_HIT& x : h) v.push_back(x.label);
    return v;
}

// The one hit with `label`; fails the test when there is not exactly one.
const OVK_HIT* only(const OVK_HITS& h, std::string_view label) {
    const OVK_HIT* found = nullptr;
    int n = 0;
    for (const OVK_HIT& x : h)
        if (x.label == label) {
            found = &x;
            ++n;
        }
    EXPECT_EQ(n, 1) << label;
    return n == 1 ? found : nullptr;
}

void expect_hit(const OVK_HITS& h, OVK_CATEGORY cat, std::string_view label, int conf,
                std::string_view evidence, std::string_view source_start = "") {
    const OVK_HIT* x = only(h, label);
    ASSERT_TRUE(x) << label;
    EXPECT_EQ(x->category, cat) << label;
    EXPECT_EQ(x->confidence, conf) << label;
    EXPECT_EQ(x->evidence, evidence) << label;
    EXPECT_EQ(x->source.rfind(source_start, 0), 0u) << label << ": " << x->source;
    EXPECT_FALSE(x->source.empty());
    EXPECT_LE(x->source.size(), OVK_SOURCE_MAX);
}

constexpr const char* kSig = "Bluetooth SIG assigned numbers";
constexpr const char* kAxonLabel = "Axon / TASER equipment (type unknown)";

// ---- rows 1..7b --------------------------------------------------------------------------

TEST(SignatureBle, AxonTagForwardReversedAndInEntries) {
    auto h = classify(Payload().flags().mfg(0x1234, str_bytes("xxBWCDEVICEyy")));
    expect_hit(
        h, OVK_CAT_BODY_CAM, "Axon body camera", 90,
        "Advert payload carries Axon's \"BWCDEVICE\" tag (works even with a randomized address)");
    h = classify(Payload().svc16(0xABCD, str_bytes("ECIVEDCWB")), "7A:11:22:33:44:55",
                 OVK_ADDR_RESOLVABLE_PRIVATE);
    ASSERT_FALSE(h.empty());
    EXPECT_EQ(h[0].label, "Axon body camera");
    // an advert without its raw payload still finds the tag in its entries
    auto a = Payload().svc16(0xABCD, str_bytes("BWCDEVICE")).ble();
    a->raw.clear();
    EXPECT_EQ(ovk_hits_find_label(classify(a), "Axon body camera"), 0);
    a = Payload().mfg(0x0001, str_bytes("..BWCDEVICE")).ble();
    a->raw.clear();
    EXPECT_EQ(ovk_hits_find_label(classify(a), "Axon body camera"), 0);
    // near miss: one letter short
    EXPECT_TRUE(classify(Payload().mfg(0x1234, str_bytes("BWCDEVIC"))).empty());
}

TEST(SignatureBle, AxonCompanyAndServiceUuids) {
    auto h = classify(Payload().mfg(0x034D, {1, 2}).uuids16({0xFE6B}));
    ASSERT_EQ(h.size(), 2u);  // two hits with the same label
    EXPECT_EQ(h[0].label, kAxonLabel);
    EXPECT_EQ(h[1].label, kAxonLabel);
    EXPECT_EQ(h[0].evidence, "Manufacturer data from company ID 0x034D (TASER International)");
    EXPECT_EQ(h[0].source,
              "Bluetooth SIG assigned numbers; ID spans body cams, holster sensors, TASER handles "
              "and batteries");
    EXPECT_EQ(h[1].evidence, "Service UUID 0xFE6B (TASER International)");
    EXPECT_EQ(h[1].source, kSig);
    EXPECT_EQ(h[0].confidence, 60);
    EXPECT_EQ(h[0].category, OVK_CAT_BODY_CAM);
    // the first table row present decides; service data counts too
    h = classify(Payload().uuids16({0xFE6C}).svc16(0xFC81, {9}));
    expect_hit(h, OVK_CAT_BODY_CAM, kAxonLabel, 60, "Service UUID 0xFC81 (Axon Enterprise)", kSig);
    // near misses
    EXPECT_TRUE(classify(Payload().mfg(0x034C, {1}).uuids16({0xFE6D, 0xFC80})).empty());
}

TEST(SignatureBle, BodyWornRemoteMotorolaIcom) {
    auto h = classify(Payload().name("  my BODYWORN remote 2 "));
    expect_hit(h, OVK_CAT_BODY_CAM, "Utility BodyWorn camera remote", 80,
               "Advertised name contains \"BodyWorn Remote\"", "Public camera-beacon");
    EXPECT_TRUE(classify(Payload().name("BodyWorn Remot")).empty());

    const char* moto = "Motorola Solutions equipment (radio, camera or accessory)";
    for (const Payload& p :
         {Payload().mfg(0x04EC), Payload().uuids16({0xFD8E}), Payload().svc16(0xFE04)}) {
        h = classify(p);
        expect_hit(h, OVK_CAT_PUBLIC_SAFETY, moto, 45,
                   "Motorola Solutions company ID 0x04EC or service UUID 0xFD8E/0xFE04",
                   "Bluetooth SIG assigned numbers; the same IDs are used by retail");
    }
    EXPECT_TRUE(classify(Payload().mfg(0x04ED).uuids16({0xFD8F, 0xFE03})).empty());

    h = classify(Payload().mfg(0x0475, {0}));
    expect_hit(
        h, OVK_CAT_PUBLIC_SAFETY, "Icom two-way radio (land-mobile, marine or amateur)", 30,
        "Manufacturer data from company ID 0x0475 (Icom inc.); mostly amateur and marine radios",
        kSig);
    EXPECT_TRUE(classify(Payload().mfg(0x0476, {0})).empty());
}

TEST(SignatureBle, ZebraSerialNameOrPlainPrinter) {
    auto h = classify(Payload().uuids16({0xFE79}).name("XXABC123456789"));
    expect_hit(
        h, OVK_CAT_PUBLIC_SAFETY, "Zebra mobile printer (e-ticket printer in patrol cars)", 50,
        "Service UUID 0xFE79 (Zebra) and a factory serial-number name \"XXABC123456789\" - an "
        "unrenamed fleet printer. Also used by parking officers, couriers and field technicians",
        "Bluetooth SIG assigned numbers; Zebra Link-OS");
    EXPECT_EQ(h.size(), 1u);
    // FE79 wins over FD66 when both are there
    h = classify(Payload().uuids16({0xFD66, 0xFE79}).name("12ZZZ000000000"));
    ASSERT_EQ(h.size(), 1u);
    EXPECT_NE(h[0].evidence.find("0xFE79"), string::npos);
    // near misses of the serial: lower case, 8 digits -> the plain printer row
    for (const char* name : {"xxabc123456789", "XXABC12345678", "Office printer", ""}) {
        h = classify(Payload().svc16(0xFD66, {1}).name(name));
        expect_hit(h, OVK_CAT_PUBLIC_SAFETY, "Zebra printer", 30,
                   "Service UUID 0xFD66 (Zebra Technologies) - common in warehouses, stores and "
                   "deliveries",
                   kSig);
        EXPECT_EQ(h.size(), 1u) << name;
    }
    EXPECT_TRUE(classify(Payload().uuids16({0xFE78}).name("XXABC123456789")).empty());
}

// ---- row 8: Flock family -----------------------------------------------------------------

TEST(SignatureFlock, PenguinNamesWithAndWithoutXuntong) {
    auto h = classify(Payload().name("Penguin-1234567"));
    expect_hit(h, OVK_CAT_ALPR, "Flock Safety device", 70, "Name pattern \"Penguin-<digits>\"",
               "Public camera-beacon");
    EXPECT_EQ(h.size(), 1u);
    h = classify(Payload().name("Penguin-1234567").mfg(0x09C8, Bytes(12, 0)));
    ASSERT_EQ(h.size(), 1u);  // no separate XUNTONG hit
    expect_hit(h, OVK_CAT_ALPR, "Flock Safety device", 80,
               "Name pattern \"Penguin-<digits>\" plus XUNTONG module ID 0x09C8");
    // lower case does not match; a name beginning "Flock" is the weak brand hit
    EXPECT_TRUE(classify(Payload().name("penguin-1234")).empty());
    EXPECT_TRUE(classify(Payload().name("Penguin-12a")).empty());
    h = classify(Payload().name("fLoCk cam 7"));
    expect_hit(h, OVK_CAT_ALPR, "Possible Flock Safety device", 55,
               "Advertised name starts with \"Flock\" (brand string - verify)");
    EXPECT_TRUE(classify(Payload().name("My Flock")).empty());
}

TEST(SignatureFlock, FsHexNamesBatteryAndXuntongLayouts) {
    auto h = classify(Payload().name("FS-0a1B2c"));
    expect_hit(h, OVK_CAT_ALPR, "Flock Safety device", 70,
               "Name pattern \"FS-<hex>\" (generic white-label prefix - verify)");
    EXPECT_NE(h[0].source.find("field capture 2026-06"), string::npos);
    h = classify(Payload().name("FS-ABCDEF").mfg(0x09C8));
    expect_hit(h, OVK_CAT_ALPR, "Flock Safety device", 80,
               "Name pattern \"FS-<hex>\" plus XUNTONG module ID 0x09C8");
    EXPECT_TRUE(classify(Payload().name("FS-GHIJ")).empty());

    h = classify(Payload().name("Unit FS EXT BATTERY").mfg(0x09C8));
    ASSERT_EQ(h.size(), 1u);
    expect_hit(h, OVK_CAT_ALPR, "Flock Safety camera battery", 80,
               "Advertised name \"FS Ext Battery\"");

    Bytes tn(12, 0);
    tn[10] = 'T';
    tn[11] = 'N';
    h = classify(Payload().mfg(0x09C8, tn));
    expect_hit(
        h, OVK_CAT_ALPR, "Flock Safety device (Penguin battery)", 75,
        "XUNTONG manufacturer data (0x09C8) carries a Flock \"TN...\" serial at offset 10 - the "
        "Penguin battery layout");
    // near misses of the battery layout fall through to the plain module row
    for (Bytes d :
         {Bytes(tn.begin(), tn.end() - 1), Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'N', 'T'}}) {
        h = classify(Payload().mfg(0x09C8, d));
        expect_hit(h, OVK_CAT_ALPR, "XUNTONG Bluetooth module (used in Flock hardware)", 45,
                   "Company ID 0x09C8 - shared silicon, also in other products",
                   "Bluetooth SIG assigned numbers; Public camera-beacon");
    }
    EXPECT_TRUE(classify(Payload().mfg(0x09C9, tn)).empty());
}

// ---- rows 9..17 --------------------------------------------------------------------------

TEST(SignatureBle, RavenListsPresentIdsInTableOrder) {
    auto h = classify(Payload().uuids16({0x3500, 0x1800, 0x3100}));
    expect_hit(h, OVK_CAT_AUDIO_SENSOR, "Flock Raven audio / gunshot sensor", 80,
               "Raven service UUIDs: 0x3100 (GPS), 0x3500 (error)", "Public camera-beacon");
    h = classify(Payload().uuids16({0x3400}));
    expect_hit(h, OVK_CAT_AUDIO_SENSOR, "Flock Raven audio / gunshot sensor", 80,
               "Raven service UUIDs: 0x3400 (upload)");
    // the same ids only as service data give nothing
    EXPECT_TRUE(classify(Payload().svc16(0x3100, {1}).svc16(0x3500, {1})).empty());
    EXPECT_TRUE(classify(Payload().uuids16({0x3600, 0x3101})).empty());
}

TEST(SignatureBle, RemoteIdServiceData) {
    auto h = classify(Payload().svc16(0xFFFA, sigtest::rid_ble_body()));
    expect_hit(h, OVK_CAT_DRONE, "Drone broadcasting Remote ID", 95,
               "ASTM F3411 Remote ID message on service UUID 0xFFFA",
               "ASTM F3411 Remote ID (opendroneid-core-c, Apache-2.0)");
    EXPECT_TRUE(classify(Payload().svc16(0xFFFA, sigtest::rid_ble_body(26))).empty());
    Bytes wrong = sigtest::rid_ble_body();
    wrong[0] = 0x0C;
    EXPECT_TRUE(classify(Payload().svc16(0xFFFA, wrong)).empty());
    EXPECT_TRUE(classify(Payload().svc16(0xFFFB, sigtest::rid_ble_body())).empty());
}

TEST(SignatureBle, VerkadaAppleGoogleSamsungChipoloTile) {
    auto h = classify(Payload().uuids16({0xFD3B}).svc16(0xFD3A, {}));
    expect_hit(h, OVK_CAT_NETWORK_CAMERA, "Verkada security camera or access-control device", 70,
               "Service UUID 0xFD3A (Verkada Inc.)", kSig);
    EXPECT_TRUE(classify(Payload().uuids16({0xFD3C, 0xFC2D})).empty());

    h = classify(Payload().mfg(0x004C, {0x12, 0x19, 0x10}));
    expect_hit(h, OVK_CAT_TRACKER,
               "Apple Find My tracker away from its owner (AirTag or compatible)", 70,
               "Apple Find My offline-finding frame (type 0x12, length 0x19 = separated state)");
    EXPECT_NE(h[0].source.find("arXiv 2501.17452"), string::npos);
    for (Bytes d : {Bytes{0x12, 0x18}, Bytes{0x07, 0x19}, Bytes{0x12}})
        EXPECT_TRUE(classify(Payload().mfg(0x004C, d)).empty());

    h = classify(Payload().svc16(0xFEAA, {0x41, 0x00}));
    expect_hit(h, OVK_CAT_TRACKER, "Google Find Hub tracker away from its owner", 70,
               "Find Hub Network frame 0x41 (separated state) on UUID 0xFEAA",
               "Google Find Hub Network Accessory Spec; ");
    EXPECT_TRUE(classify(Payload().svc16(0xFEAA, {0x40})).empty());
    EXPECT_TRUE(classify(Payload().svc16(0xFEAA)).empty());

    h = classify(Payload().svc16(0xFD5A, {0}));
    expect_hit(h, OVK_CAT_TRACKER, "Samsung SmartTag", 55, "Service data on UUID 0xFD5A (Samsung)",
               "Bluetooth SIG assigned numbers; arXiv 2501.17452");
    EXPECT_TRUE(classify(Payload().svc16(0xFD5A).uuids16({0xFD5A})).empty());

    const char* chip = "Company ID 0x08C3 or service data on UUID 0xFE33 / 0xFE65 (CHIPOLO d.o.o.)";
    for (const Payload& p :
         {Payload().mfg(0x08C3), Payload().svc16(0xFE33, {1}), Payload().svc16(0xFE65, {1})})
        expect_hit(classify(p), OVK_CAT_TRACKER, "Chipolo tracker", 55, chip, kSig);
    EXPECT_TRUE(classify(Payload().svc16(0xFE33).svc16(0xFE65).uuids16({0xFE33})).empty());

    h = classify(Payload().svc16(0xFEED, {2}));
    expect_hit(h, OVK_CAT_TRACKER, "Tile tracker", 55, "Service data on UUID 0xFEED (Tile, Inc.)",
               kSig);
    EXPECT_TRUE(classify(Payload().svc16(0xFEED).uuids16({0xFEED})).empty());
}

// ---- rows 18..26 -------------------------------------------------------------------------

TEST(SignatureBle, Vendor128BitUuidsEitherByteOrder) {
    const auto rows = ovk_signature_uuid128_sigs();
    ASSERT_EQ(rows.size(), 5u);
    for (const UUID128_SIG& row : rows) {
        const OVK_UUID u = uuid_of(row.uuid);
        const string ev = string("Vendor service UUID ") + row.uuid + " (full 128-bit match)";
        for (const Payload& p :
             {Payload().uuid128(u), Payload().uuid128(u, true), Payload().svc128(u, {1})}) {
            auto h = classify(p);
            expect_hit(h, row.cat, row.label, row.confidence, ev, "Public surveillance-gear");
        }
        OVK_UUID near = u;
        near.b[15] ^= 1;
        EXPECT_TRUE(classify(Payload().uuid128(near)).empty()) << row.uuid;
    }
    auto h = classify(Payload().uuid128(uuid_of("632de001-604c-446b-a80f-7963e950f3fb")));
    EXPECT_EQ(h[0].label, "Limitless AI pendant (records conversations)");
    EXPECT_EQ(h[0].category, OVK_CAT_RECORDER);
    h = classify(Payload().svc128(uuid_of("7a230001-5475-a6a4-654c-576174636800")));
    EXPECT_EQ(h[0].label, "Brilliant Labs Frame camera glasses");
    EXPECT_EQ(h[0].category, OVK_CAT_GLASSES);
}

TEST(SignatureBle, GlassesAndRecordersByCompanyAndUuid) {
    struct Row {
        uint16_t cid;
        OVK_CATEGORY cat;
        const char* label;
        int conf;
        const char* evidence;
    };
    const Row rows[] = {
        {0x0FB2, OVK_CAT_RECORDER, "PLAUD AI voice recorder (Note / NotePin)", 70,
         "Company ID 0x0FB2 (PLAUD Inc., maker of wearable voice recorders)"},
        {0x10F9, OVK_CAT_GLASSES, "Even Realities smart glasses (display, microphones)", 40,
         "Company ID 0x10F9 (Even Realities Ltd.); no camera on current models"},
        {0x0D53, OVK_CAT_GLASSES, "Ray-Ban Meta smart glasses", 70,
         "Company ID 0x0D53 (Luxottica)"},
        {0x03C2, OVK_CAT_GLASSES, "Snap Spectacles camera glasses", 70,
         "Snapchat company ID 0x03C2 or service UUID 0xFE45"},
        {0x060C, OVK_CAT_GLASSES, "Vuzix camera AR glasses", 70, "Company ID 0x060C (Vuzix)"},
        {0x01AB, OVK_CAT_GLASSES, "Meta hardware - possibly Ray-Ban Meta glasses", 45,
         "Meta Platforms company ID 0x01AB or UUID 0xFEB7/0xFEB8 (also used by Quest headsets)"},
    };
    for (const Row& r : rows) {
        auto h = classify(Payload().mfg(r.cid, {1, 2, 3}));
        expect_hit(h, r.cat, r.label, r.conf, r.evidence);
        EXPECT_EQ(h.size(), 1u) << r.label;
        EXPECT_TRUE(classify(Payload().mfg(static_cast<uint16_t>(r.cid + 1), {1, 2, 3})).empty())
            << r.label;
    }
    expect_hit(classify(Payload().uuids16({0xFE45})), OVK_CAT_GLASSES,
               "Snap Spectacles camera glasses", 70,
               "Snapchat company ID 0x03C2 or service UUID 0xFE45", kSig);
    for (const Payload& p : {Payload().svc16(0xFEB7), Payload().uuids16({0xFEB7}),
                             Payload().uuids16({0xFEB8}).mfg(0x01AB)}) {
        const OVK_HITS h = classify(p);
        const OVK_HIT* x = only(h, "Meta hardware - possibly Ray-Ban Meta glasses");
        ASSERT_TRUE(x);
        EXPECT_NE(x->source.find("field capture 2026-07-31"), string::npos);
    }

    const OVK_UUID hey = uuid_of("7905fff0-b5ce-4e99-a40f-4b1e122d00d0");
    for (const Payload& p :
         {Payload().uuid128(hey), Payload().uuid128(hey, true), Payload().svc128(hey)})
        expect_hit(classify(p), OVK_CAT_GLASSES, "Camera smart glasses (HeyCyan SDK)", 68,
                   "HeyCyan glasses SDK service UUID (full 128-bit match)", "Public camera-beacon");
    OVK_UUID near = hey;
    near.b[0] ^= 0x80;
    EXPECT_TRUE(classify(Payload().uuid128(near)).empty());

    auto h = classify(Payload().mfg(0x058E, str_bytes("..SSALG_BR_ATEM..")));
    expect_hit(h, OVK_CAT_GLASSES, "Ray-Ban / Oakley Meta smart glasses", 72,
               "Meta manufacturer data carries the META_RB_GLASS token", "Public camera-beacon");
    EXPECT_TRUE(classify(Payload().mfg(0x058E, str_bytes("META_RB_GLAS"))).empty());
    EXPECT_TRUE(classify(Payload().mfg(0x058F, str_bytes("META_RB_GLASS"))).empty());
}

// ---- row 11: DJI models and drone blocks --------------------------------------------------

TEST(SignatureDrone, DjiModelsAgainstAddressBlocks) {
    const char* dji_block = "60:60:1F:12:34:56";
    const char* random_mac = "C6:60:1F:12:34:56";  // locally administered bit set
    // an action camera from a DJI block: no drone hit at all
    EXPECT_TRUE(classify(Payload().mfg(0x08AA, {0x06, 0x00}), dji_block).empty());
    // a drone model from a DJI block: the block hit, no model hit
    auto h = classify(Payload().mfg(0x08AA, {0x70, 0x00}), dji_block);
    ASSERT_EQ(h.size(), 1u);
    expect_hit(h, OVK_CAT_DRONE, "DJI equipment (drone or controller)", 60,
               "Address in DJI's registered block 60:60:1F; no Remote ID decoded",
               "IEEE registry; Public camera-beacon");
    // a drone model from a random address: the model hit
    h = classify(Payload().mfg(0x08AA, {0x70, 0x00}), random_mac);
    ASSERT_EQ(h.size(), 1u);
    expect_hit(h, OVK_CAT_DRONE, "DJI Mavic 3", 65,
               "Company ID 0x08AA (SZ DJI Technology) with the DJI Mavic 3 model id",
               "Bluetooth SIG assigned numbers; model id decode from ");
    // unknown model id: the generic DJI row, or the block when there is one
    h = classify(Payload().mfg(0x08AA, {0x70, 0x01}), random_mac);
    expect_hit(
        h, OVK_CAT_DRONE, "DJI device (drone, remote controller or camera gimbal)", 50,
        "Manufacturer data from company ID 0x08AA (SZ DJI Technology); DJI also makes handheld "
        "gimbals and action cameras",
        kSig);
    h = classify(Payload().mfg(0x08AA, {0x01}), dji_block);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].label, "DJI equipment (drone or controller)");
    // a camera model from a non-DJI drone block keeps the block hit
    h = classify(Payload().mfg(0x08AA, {0x20, 0x00}), "38:1D:14:00:00:01");
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].label, "Skydio equipment (drone or controller)");
    // a drone block without DJI data
    h = classify(Payload().flags(), "A0:14:3D:00:00:01");
    expect_hit(h, OVK_CAT_DRONE, "Parrot equipment (drone or controller)", 60,
               "Address in Parrot's registered block A0:14:3D; no Remote ID decoded");
    EXPECT_TRUE(classify(Payload().flags(), "A0:14:3E:00:00:01").empty());
    EXPECT_TRUE(classify(Payload().mfg(0x08AB, {0x70, 0x00}), random_mac).empty());
    // with Remote ID in the same advert the block evidence does not claim there is none
    h = classify(Payload().svc16(0xFFFA, sigtest::rid_ble_body()).mfg(0x08AA, {0x70, 0x00}),
                 dji_block);
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].label, "Drone broadcasting Remote ID");
    EXPECT_EQ(h[1].evidence, "Address in DJI's registered block 60:60:1F");
}

TEST(SignatureDrone, DjiModelTable) {
    int drone = -1;
    auto a = Payload().mfg(0x08AA, {0x7E, 0x00, 0xFF}).ble();
    EXPECT_STREQ(ovk_dji_model(a.get(), &drone), "DJI Neo 2");
    EXPECT_EQ(drone, 1);
    a = Payload().mfg(0x08AA, {0x15, 0x00}).ble();
    EXPECT_STREQ(ovk_dji_model(a.get(), &drone), "DJI Osmo Action 5 Pro");
    EXPECT_EQ(drone, 0);
    EXPECT_STREQ(ovk_dji_model(a.get(), nullptr), "DJI Osmo Action 5 Pro");
    a = Payload().mfg(0x08AA, {0x15}).ble();  // one byte is too short
    EXPECT_EQ(ovk_dji_model(a.get(), nullptr), nullptr);
    a = Payload().mfg(0x08AA, {0x15, 0x01}).ble();  // 0x0115 is no model
    EXPECT_EQ(ovk_dji_model(a.get(), nullptr), nullptr);
    EXPECT_EQ(ovk_dji_model(nullptr, nullptr), nullptr);
    std::set<int> ids;
    for (const DJI_MODEL& m : ovk_signature_dji_models()) ids.insert(m.id);
    EXPECT_EQ(ids.size(), std::size(ovk_signature_dji_models()));  // no duplicate model ids
}

// Ordinary gadgets whose real advertisements used to be flagged, next to the gear that must
// stay flagged.
TEST(SignatureOrdinary, PlantSensorsActionCamerasAndQuestHeadsets) {
    // Parrot's plant sensors advertise from the company's drone blocks.
    EXPECT_TRUE(classify(Payload().flags().name("Flower power A1B2"), "A0:14:3D:00:00:01").empty());
    EXPECT_TRUE(classify(Payload().name("Parrot pot 7F"), "90:03:B7:11:22:33").empty());
    EXPECT_EQ(labels(classify(Payload().name("Mambo_612345"), "A0:14:3D:00:00:01")),
              std::vector<string>{"Parrot equipment (drone or controller)"});
    // the name excuses Parrot's blocks only
    EXPECT_EQ(labels(classify(Payload().name("Flower power"), "38:1D:14:00:00:01")),
              std::vector<string>{"Skydio equipment (drone or controller)"});
    // A real Flower Power's advert holds no name, only its service (in a partial 128-bit list;
    // the name follows in the scan response): the service alone says plant sensor, whichever
    // byte order the list uses.
    const OVK_UUID flower = uuid_of(OVK_UUID_FLOWER_POWER);
    const Bytes air(flower.b.rbegin(), flower.b.rend());
    EXPECT_TRUE(classify(Payload().flags().ad(0x06, air), "A0:14:3D:0C:D2:2B").empty());
    EXPECT_TRUE(classify(Payload().flags().uuid128(flower, true), "A0:14:3D:0C:D2:2B").empty());
    // It excuses Parrot's blocks only, and never a Remote ID broadcast.
    EXPECT_EQ(labels(classify(Payload().ad(0x06, air), "60:60:1F:00:00:01")),
              std::vector<string>{"DJI equipment (drone or controller)"});
    EXPECT_EQ(labels(classify(Payload().ad(0x06, air).svc16(0xFFFA, sigtest::rid_ble_body()),
                              "A0:14:3D:0C:D2:2B")),
              std::vector<string>{"Drone broadcasting Remote ID"});

    // DJI model 0x82 is a handheld action camera, from a random or a DJI address.
    for (const char* mac : {"C6:60:1F:12:34:56", "60:60:1F:12:34:56"})
        EXPECT_TRUE(classify(Payload().mfg(0x08AA, {0x82, 0x00, 0x11}), mac).empty()) << mac;
    int drone = -1;
    auto cam = Payload().mfg(0x08AA, {0x82, 0x00}).ble();
    EXPECT_STREQ(ovk_dji_model(cam.get(), &drone), "DJI Osmo Action camera");
    EXPECT_EQ(drone, 0);
    EXPECT_EQ(labels(classify(Payload().mfg(0x08AA, {0x7E, 0x00}), "C6:60:1F:12:34:56")),
              std::vector<string>{"DJI Neo 2"});

    // A Quest headset sends 0xFEB8 and nothing else of Meta's.
    EXPECT_TRUE(classify(Payload().flags().uuids16({0xFEB8})).empty());
    EXPECT_TRUE(classify(Payload().svc16(0xFEB8, {0x01, 0x02})).empty());
}

TEST(SignatureDrone, BlockLookupPrefersLongestAndSkipsRandomAddresses) {
    // 9-digit row wins over the shorter rows of the same digits
    auto h = classify(Payload().flags(), "8C:1F:64:B0:7A:BC");
    expect_hit(h, OVK_CAT_DRONE, "AeroVironment equipment (drone or controller)", 60,
               "Address in AeroVironment's registered block 8C:1F:64:B0:7; no Remote ID decoded");
    h = classify(Payload().flags(), "8c-1f-64-0f-1a-bc");
    EXPECT_EQ(labels(h), std::vector<string>{"ideaForge equipment (drone or controller)"});
    EXPECT_TRUE(classify(Payload().flags(), "8C:1F:64:B0:8A:BC").empty());
    // 7-digit block text
    h = classify(Payload().flags(), "EC:5B:CD:E1:22:33");
    expect_hit(h, OVK_CAT_DRONE, "Autel Robotics equipment (drone or controller)", 60,
               "Address in Autel Robotics's registered block EC:5B:CD:E; no Remote ID decoded");
    EXPECT_TRUE(classify(Payload().flags(), "EC:5B:CD:F1:22:33").empty());
    // every drone row is reachable with its own digits
    for (const OVK_PREFIX& row : ovk_signature_drone_prefixes()) {
        string hex = string(row.hex) + "000000000000";
        string mac;
        for (int i = 0; i < 12; ++i) mac += (i && i % 2 == 0 ? ":" : "") + hex.substr(i, 1);
        const bool local = (std::stoi(hex.substr(0, 2), nullptr, 16) & 2) != 0;
        h = classify(Payload().flags(), mac);
        if (local) {
            EXPECT_TRUE(h.empty()) << mac;
            continue;
        }
        ASSERT_EQ(h.size(), 1u) << mac;
        EXPECT_EQ(h[0].label, string(row.vendor) + " equipment (drone or controller)");
    }
    // BLE random addresses do not come from IEEE blocks, whatever their digits
    for (OVK_ADDR_TYPE kind :
         {OVK_ADDR_RANDOM_STATIC, OVK_ADDR_RESOLVABLE_PRIVATE, OVK_ADDR_NON_RESOLVABLE})
        EXPECT_TRUE(classify(Payload().flags(), "48:1C:B9:00:00:01", kind).empty()) << kind;
    EXPECT_FALSE(classify(Payload().flags(), "48:1C:B9:00:00:01", OVK_ADDR_UNKNOWN).empty());
}

// ---- ranking ---------------------------------------------------------------------------------

TEST(SignatureRanking, HighestFirstTiesInCatalogueOrder) {
    // 60 (row 2), 90 (row 1), 45 (row 5), 70 (row 13), 70 (row 22), 45 (row 26)
    auto h = classify(Payload()
                          .mfg(0x034D)
                          .mfg(0x0D53)
                          .mfg(0x004C, {0x12, 0x19})
                          .mfg(0x04EC)
                          .mfg(0x01AB, str_bytes("BWCDEVICE")));
    EXPECT_EQ(labels(h), (std::vector<string>{
                             "Axon body camera",
                             "Apple Find My tracker away from its owner (AirTag or compatible)",
                             "Ray-Ban Meta smart glasses",
                             kAxonLabel,
                             "Motorola Solutions equipment (radio, camera or accessory)",
                             "Meta hardware - possibly Ray-Ban Meta glasses",
                         }));
    // the output list is cleared first and its storage reused
    OVK_HITS out(3);
    auto a = Payload().mfg(0x060C).ble();
    ovk_signature_classify(a.get(), out);
    EXPECT_EQ(labels(out), std::vector<string>{"Vuzix camera AR glasses"});
    ovk_signature_classify(nullptr, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(ovk_signature_classify(nullptr).empty());
    EXPECT_TRUE(classify(Payload()).empty());
}

// ---- Wi-Fi -------------------------------------------------------------------------------------

TEST(SignatureWifi, NetworkNames) {
    auto h = classify(Elements().wifi("02:00:00:00:00:01", "flock-A1B2"));
    expect_hit(h, OVK_CAT_ALPR, "Flock Safety camera", 88,
               "WiFi network \"flock-A1B2\" (Flock- prefix: the vendor names its own AP)",
               "Public camera-beacon");
    EXPECT_TRUE(classify(Elements().wifi("02:00:00:00:00:01", "Flock A1B2")).empty());
    EXPECT_TRUE(classify(Elements().wifi("02:00:00:00:00:01", "My Flock-A1")).empty());

    for (const char* ssid : {"ARLO_VMB_1234", "NTGR_VMB_77"}) {
        h = classify(Elements().wifi("02:00:00:00:00:01", ssid));
        expect_hit(h, OVK_CAT_NETWORK_CAMERA, "Arlo camera base station", 88,
                   string("WiFi network \"") + ssid + "\" (Arlo base-station SSID)");
    }
    for (const char* ssid : {"arlo_vmb_1234", "ARLO_VMB1234", "xARLO_VMB_1"})
        EXPECT_TRUE(classify(Elements().wifi("02:00:00:00:00:01", ssid)).empty()) << ssid;
    // a BLE advert with the same name is not a Wi-Fi network
    EXPECT_TRUE(classify(Payload().name("ARLO_VMB_1234")).empty());
}

TEST(SignatureWifi, RemoteIdElementsGiveOneHit) {
    Bytes rid{0xFA, 0x0B, 0xBC, 0x0D, 0x01};
    Bytes body = rid;
    body.resize(30, 0);
    auto h = classify(
        Elements().ie(0, {'x'}).ie(221, body).ie(221, body).wifi("02:00:00:00:00:01", "x"));
    ASSERT_EQ(h.size(), 1u);
    expect_hit(h, OVK_CAT_DRONE, "Drone broadcasting Remote ID (WiFi)", 95,
               "ASTM F3411 vendor information element (OUI FA:0B:BC) in the WiFi beacon",
               "ASTM F3411 Remote ID");
    EXPECT_TRUE(
        classify(Elements().ie(221, {0xFA, 0x0B, 0xBC, 0x0C, 1}).wifi("02:00:00:00:00:01", "x"))
            .empty());
    EXPECT_TRUE(classify(Elements().ie(222, body).wifi("02:00:00:00:00:01", "x")).empty());
}

TEST(SignatureWifi, CameraAndDroneBlocks) {
    auto h = classify(Elements().wifi("34:46:63:2F:00:01", "home"));
    expect_hit(h, OVK_CAT_NETWORK_CAMERA, "Amcrest camera, hub or recorder", 65,
               "WiFi address in Amcrest's registered block 34:46:63:2",
               "IEEE registry; Public camera-beacon");
    EXPECT_TRUE(classify(Elements().wifi("34:46:63:3F:00:01", "home")).empty());
    h = classify(Elements().wifi("c4:79:05:00:00:01", "cam"));
    expect_hit(h, OVK_CAT_NETWORK_CAMERA, "Uniview camera, hub or recorder", 65,
               "WiFi address in Uniview's registered block C4:79:05");
    // every camera row is reachable with its own digits
    for (const OVK_PREFIX& row : ovk_signature_camera_prefixes()) {
        const string hex = string(row.hex) + "000000000000";
        string mac;
        for (int i = 0; i < 12; ++i) mac += (i && i % 2 == 0 ? ":" : "") + hex.substr(i, 1);
        h = classify(Elements().wifi(mac, ""));
        ASSERT_EQ(h.size(), 1u) << mac;
        EXPECT_EQ(h[0].label, string(row.vendor) + " camera, hub or recorder");
    }
    // camera blocks are Wi-Fi only
    EXPECT_TRUE(classify(Payload().flags(), "34:46:63:2F:00:01").empty());

    h = classify(Elements().wifi("60:60:1F:00:00:02", "Mavic-ABC"));
    expect_hit(h, OVK_CAT_DRONE, "DJI equipment (drone or controller)", 60,
               "Address in DJI's registered block 60:60:1F; no Remote ID decoded");
    // a locally administered BSSID never yields a block hit
    EXPECT_TRUE(classify(Elements().wifi("62:60:1F:00:00:02", "x")).empty());
    EXPECT_TRUE(classify(Elements().wifi("A6:11:62:00:00:02", "x")).empty());

    // ranking across Wi-Fi rows: 95, 88, 88, 65 (W3, W1, W2 would need one SSID; W1 and W4 here)
    Bytes body{0xFA, 0x0B, 0xBC, 0x0D};
    body.resize(10, 0);
    h = classify(Elements().ie(221, body).wifi("A4:11:62:00:00:02", "Flock-77"));
    EXPECT_EQ(labels(h),
              (std::vector<string>{"Drone broadcasting Remote ID (WiFi)", "Flock Safety camera",
                                   "Arlo camera, hub or recorder"}));
    h = classify(Elements().ie(221, body).wifi("60:60:1F:00:00:02", "x"));
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[1].evidence, "Address in DJI's registered block 60:60:1F");
}

}  // namespace
