// SPDX-License-Identifier: GPL-3.0-or-later
// Capture files of other tools: pcap files this test writes with libpcap for each link type,
// hand-built btsnoop files in all three HCI forms, damaged and hostile files, the real public
// captures in tests/data/captures, and orvik-classify reading them (also through a pipe).
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ovk_capture.h"
#include "ovk_test_files.h"
#include "ovk_test_program.h"

namespace {

using Bytes = std::vector<uint8_t>;
using std::string;

constexpr int64_t T0 = 1700000000000;

void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32be(Bytes& b, uint32_t v) {
    for (int k = 3; k >= 0; --k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}
void put64be(Bytes& b, uint64_t v) {
    for (int k = 7; k >= 0; --k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}
void append(Bytes& b, const Bytes& x) {
    b.insert(b.end(), x.begin(), x.end());
}

const Bytes kAddr = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};  // 66:55:44:33:22:11
const Bytes kData1 = {0x02, 0x01, 0x06, 0x04, 0x09, 'O', 'r', 'v'};
const Bytes kData2 = {0x03, 0xFF, 0x4C, 0x00};

// H4 LE Meta events.
Bytes legacy_report(const Bytes& data, int8_t rssi) {
    Bytes p = {0x02, 1, 0x00, 0x00};  // subevent, count, ADV_IND, public
    append(p, kAddr);
    p.push_back(static_cast<uint8_t>(data.size()));
    append(p, data);
    p.push_back(static_cast<uint8_t>(rssi));
    Bytes h = {0x04, 0x3E, static_cast<uint8_t>(p.size())};
    append(h, p);
    return h;
}
Bytes ext_report(const Bytes& data, int status) {
    Bytes p = {0x0D, 1};
    put16(p, static_cast<unsigned>(0x0001 | (status << 5)));  // connectable, data status
    p.push_back(0x00);                                        // public
    append(p, kAddr);
    append(p, {0x01, 0x02, 0x03, 0x7F, static_cast<uint8_t>(-61)});  // PHYs, SID, TX, RSSI
    append(p, {0, 0, 0, 0, 0, 0, 0, 0, 0});                          // interval, direct addr
    p.push_back(static_cast<uint8_t>(data.size()));
    append(p, data);
    Bytes h = {0x04, 0x3E, static_cast<uint8_t>(p.size())};
    append(h, p);
    return h;
}
const Bytes kCmdComplete = {0x04, 0x0E, 0x04, 0x01, 0x0C, 0x20, 0x00};

struct Rec {
    int64_t ms;
    Bytes data;
};

// A pcap file written by libpcap.
string write_pcap(const ovk_test::TempDir& dir, const char* name, int linktype,
                  const std::vector<Rec>& recs) {
    const string path = dir.file(name);
    pcap_t* p = pcap_open_dead_with_tstamp_precision(linktype, 65535, PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t* d = pcap_dump_open(p, path.c_str());
    EXPECT_TRUE(d) << pcap_geterr(p);
    for (const Rec& r : recs) {
        pcap_pkthdr h{};
        h.ts.tv_sec = r.ms / 1000;
        h.ts.tv_usec = static_cast<suseconds_t>((r.ms % 1000) * 1000);
        h.caplen = h.len = static_cast<bpf_u_int32>(r.data.size());
        pcap_dump(reinterpret_cast<u_char*>(d), &h, r.data.data());
    }
    pcap_dump_close(d);
    pcap_close(p);
    return path;
}

// A btsnoop file: header, then one record per entry with the given flags.
Bytes btsnoop(uint32_t datalink, const std::vector<std::pair<uint32_t, Rec>>& recs) {
    Bytes f = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};
    put32be(f, 1);
    put32be(f, datalink);
    for (const auto& [flags, r] : recs) {
        put32be(f, static_cast<uint32_t>(r.data.size()));
        put32be(f, static_cast<uint32_t>(r.data.size()));
        put32be(f, flags);
        put32be(f, 0);
        put64be(f, static_cast<uint64_t>(r.ms * 1000 + 0x00DCDDB30F2F8000LL));
        append(f, r.data);
    }
    return f;
}

struct Read {
    int end = 0;  // the last result of next(): 0 end of file, -1 damaged
    string error;
    string describe;
    std::vector<OVK_CAPTURE_FRAME> frames;  // those with adverts
    OVK_CAPTURE_STATS stats;
};

Read read_capture(FILE* f) {
    Read r;
    auto cap = ovk_capture_open(f, r.error);
    if (!cap) {
        r.end = -2;
        return r;
    }
    r.describe = cap->describe();
    OVK_CAPTURE_FRAME fr;
    while ((r.end = cap->next(fr)) == 1)
        if (!fr.adverts.empty()) r.frames.push_back(std::move(fr));
    r.error = cap->error();
    r.stats = cap->stats();
    return r;
}
Read read_path(const string& path) {
    return read_capture(fopen(path.c_str(), "rb"));
}
Read read_bytes(const Bytes& b) {
    const string s(b.begin(), b.end());
    return read_capture(fmemopen(const_cast<char*>(s.data()), s.size(), "rb"));
}

TEST(CaptureFormat, ToldByContentNotName) {
    auto fmt = [](const Bytes& b) { return ovk_capture_format(b); };
    EXPECT_EQ(fmt({0xD4, 0xC3, 0xB2, 0xA1, 2, 0}), OVK_CAPTURE_PCAP);
    EXPECT_EQ(fmt({0xA1, 0xB2, 0xC3, 0xD4}), OVK_CAPTURE_PCAP);
    EXPECT_EQ(fmt({0x4D, 0x3C, 0xB2, 0xA1}), OVK_CAPTURE_PCAP) << "nanosecond pcap";
    EXPECT_EQ(fmt({0x0A, 0x0D, 0x0D, 0x0A, 0x1C}), OVK_CAPTURE_PCAPNG);
    EXPECT_EQ(fmt({'b', 't', 's', 'n', 'o', 'o', 'p', 0}), OVK_CAPTURE_BTSNOOP);
    EXPECT_EQ(fmt({'b', 't', 's', 'n', 'o', 'o', 'p'}), OVK_CAPTURE_TEXT);
    EXPECT_EQ(fmt({'{', '"', 'r', 'a'}), OVK_CAPTURE_TEXT);
    EXPECT_EQ(fmt({0x0A, '{'}), OVK_CAPTURE_TEXT) << "a JSON Lines file starting with a blank line";

    // Peeking gives the bytes back: the stream reads whole.
    const string text = "{\"radio\":\"BLE\"}\nmore\n";
    FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    string head;
    FILE* s = ovk_capture_peek(in, head);
    ASSERT_TRUE(s);
    EXPECT_EQ(head, "{\"ra");
    char buf[64] = {};
    EXPECT_EQ(fread(buf, 1, sizeof buf, s), text.size());
    EXPECT_EQ(string(buf, text.size()), text);
    fclose(s);
    EXPECT_EQ(fgetc(in), EOF) << "the peek stream leaves the underlying one open";
    fclose(in);
}

TEST(CapturePcap, EachLinkTypeWrittenByLibpcap) {
    ovk_test::TempDir dir;
    // 802.11 with radiotap (Flags with FCS, Channel, signal) and a probe request.
    Bytes rt = {0x00, 0x00, 0x0E, 0x00};
    append(rt, {0x2A, 0x00, 0x00, 0x00});  // Flags, Channel, dBm signal
    append(rt, {0x10, 0x00, 0x85, 0x09, 0xA0, 0x00, static_cast<uint8_t>(-55)});
    rt.resize(15);
    rt[2] = 15;
    Bytes beacon = {0x80, 0x00, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    append(beacon, {0xB4, 0x1E, 0x52, 0x3C, 0x88, 0x10, 0xB4, 0x1E, 0x52, 0x3C, 0x88, 0x10});
    append(beacon, {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 100, 0, 0x01, 0x04});
    append(beacon, {0x00, 0x0C, 'F', 'l', 'o', 'c', 'k', '-', '3', 'C', '8', '8', '1', '0'});
    Bytes wifi = rt;
    append(wifi, beacon);
    append(wifi, {1, 2, 3, 4});  // FCS
    Bytes probe_req = rt;
    append(probe_req, {0x40, 0x00});
    probe_req.resize(probe_req.size() + 30);
    Read r = read_path(write_pcap(dir, "wifi.pcap", 127, {{T0, wifi}, {T0 + 5, probe_req}}));
    EXPECT_EQ(r.end, 0) << r.error;
    EXPECT_EQ(r.describe, "pcap, 802.11 with radiotap");
    ASSERT_EQ(r.frames.size(), 1u);
    const OVK_ADVERT& w = *r.frames[0].adverts.at(0);
    EXPECT_EQ(w.mac, "B4:1E:52:3C:88:10");
    EXPECT_EQ(w.name, "Flock-3C8810");
    EXPECT_EQ(w.freq_mhz, 2437);
    EXPECT_EQ(w.rssi, -55);
    EXPECT_EQ(w.timestamp, T0);
    EXPECT_EQ(r.stats.frames, 2);
    EXPECT_EQ(r.stats.other, 1);

    // BLE link layer, bare and with the pseudo-header.
    Bytes ll = {0xD6, 0xBE, 0x89, 0x8E, 0x00, static_cast<uint8_t>(6 + kData1.size())};
    append(ll, kAddr);
    append(ll, kData1);
    append(ll, {0, 0, 0});
    r = read_path(write_pcap(dir, "ll.pcap", 251, {{T0 + 1, ll}}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].adverts.at(0)->name, "Orv");
    EXPECT_EQ(r.frames[0].adverts.at(0)->mac, "66:55:44:33:22:11");
    Bytes ph = {37, static_cast<uint8_t>(-77), 0, 0, 0xD6, 0xBE, 0x89, 0x8E, 0x02, 0x0C};
    append(ph, ll);
    r = read_path(write_pcap(dir, "llph.pcap", 256, {{T0 + 2, ph}}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].adverts.at(0)->rssi, -77);
    EXPECT_EQ(r.frames[0].number, 1);

    // H4 with direction: an extended advert in two fragments between other events, and a
    // legacy report; plain H4 the same without the direction word.
    auto dir4 = [](const Bytes& h4) {
        Bytes b = {0, 0, 0, 1};
        append(b, h4);
        return b;
    };
    r = read_path(write_pcap(dir, "h4.pcap", 201,
                             {{T0, dir4(kCmdComplete)},
                              {T0 + 10, dir4(ext_report(kData1, 1))},
                              {T0 + 20, dir4(ext_report(kData2, 0))},
                              {T0 + 30, dir4(legacy_report(kData2, -40))},
                              {T0 + 40, Bytes{0, 0}}}));
    EXPECT_EQ(r.end, 0);
    ASSERT_EQ(r.frames.size(), 2u);
    const OVK_ADVERT& ext = *r.frames[0].adverts.at(0);
    EXPECT_EQ(r.frames[0].number, 3) << "delivered with the last fragment";
    Bytes whole = kData1;
    append(whole, kData2);
    EXPECT_EQ(ext.raw, whole);
    EXPECT_EQ(ext.rssi, -61);
    EXPECT_EQ(ext.timestamp, T0 + 20);
    EXPECT_EQ(r.frames[1].adverts.at(0)->rssi, -40);
    EXPECT_EQ(r.stats.bad, 1) << "a record too short for its direction word";
    r = read_path(write_pcap(dir, "h4plain.pcap", 187, {{T0, legacy_report(kData1, -50)}}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.describe, "pcap, Bluetooth HCI H4");

    // Ethernet carries no adverts: refused when opened.
    r = read_path(write_pcap(dir, "eth.pcap", 1, {{T0, Bytes(60, 0)}}));
    EXPECT_EQ(r.end, -2);
    EXPECT_NE(r.error.find("link type 1"), string::npos) << r.error;
}

TEST(CaptureBtsnoop, H4UnencapsulatedAndMonitorForms) {
    // H4 (1002): type byte first.
    Read r = read_bytes(btsnoop(1002, {{3, {T0, kCmdComplete}},
                                       {3, {T0 + 7, legacy_report(kData1, -66)}},
                                       {0, {T0 + 8, Bytes{0x01, 0x03, 0x0C, 0x00}}}}));
    EXPECT_EQ(r.end, 0) << r.error;
    EXPECT_EQ(r.describe, "btsnoop, HCI UART (H4)");
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].number, 2);
    EXPECT_EQ(r.frames[0].time, T0 + 7);
    EXPECT_EQ(r.frames[0].adverts.at(0)->mac, "66:55:44:33:22:11");
    EXPECT_EQ(r.frames[0].adverts.at(0)->rssi, -66);
    EXPECT_EQ(r.stats.frames, 3);

    // Unencapsulated (1001): an event is a received command/event record (flags 3).
    const Bytes h4 = legacy_report(kData1, -70);
    const Bytes ev(h4.begin() + 1, h4.end());
    r = read_bytes(btsnoop(1001, {{3, {T0, ev}}, {2, {T0, Bytes{0x03, 0x0C, 0x00}}}}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].adverts.at(0)->rssi, -70);

    // Linux monitor (2001, btmon -w): opcode 3 of the flags is an event packet.
    r = read_bytes(btsnoop(2001, {{(1u << 16) | 3, {T0, ev}}, {(1u << 16) | 2, {T0, ev}}}));
    EXPECT_EQ(r.describe, "btsnoop, Linux monitor");
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.stats.frames, 2);
}

TEST(CaptureDamage, CutShortHostileAndForeignFilesEndWithAReason) {
    ovk_test::TempDir dir;
    // A pcap record cut short: the frames before it are read, then the error.
    const string path = write_pcap(
        dir, "cut.pcap", 187, {{T0, legacy_report(kData1, -50)}, {T0, legacy_report(kData1, -51)}});
    string bytes = ovk_test::read_file(path);
    ovk_test::write_file(path, bytes.substr(0, bytes.size() - 5));
    Read r = read_path(path);
    EXPECT_EQ(r.end, -1);
    EXPECT_EQ(r.frames.size(), 1u);
    EXPECT_NE(r.error.find("frame 2: "), string::npos) << r.error;
    // A pcap header alone, cut in its middle.
    ovk_test::write_file(path, bytes.substr(0, 12));
    EXPECT_EQ(read_path(path).end, -2);

    const Bytes good = btsnoop(
        1002, {{3, {T0, legacy_report(kData1, -50)}}, {3, {T0, legacy_report(kData1, -51)}}});
    Bytes cut(good.begin(), good.end() - 3);
    r = read_bytes(cut);
    EXPECT_EQ(r.end, -1);
    EXPECT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.error, "record 2: record cut short");
    // A record claiming 4 GB, and one claiming more than it held on the air.
    Bytes huge = btsnoop(1002, {});
    append(huge, Bytes(24, 0xFF));
    r = read_bytes(huge);
    EXPECT_EQ(r.end, -1);
    EXPECT_NE(r.error.find("is no HCI packet"), string::npos) << r.error;
    Bytes more = btsnoop(1002, {{3, {T0, legacy_report(kData1, -50)}}});
    more[16 + 3] = 1;  // original length 1, included length more
    EXPECT_EQ(read_bytes(more).end, -1);
    EXPECT_EQ(read_bytes(btsnoop(1003, {})).error, "btsnoop data link 1003 carries no HCI events");
    Bytes v2 = btsnoop(1002, {});
    v2[11] = 2;
    EXPECT_EQ(read_bytes(v2).error, "not a btsnoop version 1 file");
    EXPECT_EQ(read_bytes(Bytes{'b', 't', 's', 'n', 'o', 'o', 'p', 0, 0}).error,
              "btsnoop header cut short");
    EXPECT_EQ(read_bytes(Bytes{'{', '}', '\n', ' '}).error, "not a pcap, pcapng or btsnoop file");
}

// The public captures: how many frames and adverts each gives, and a few known values.
TEST(CaptureReal, PublicCapturesOfEveryKind) {
    struct Want {
        const char* file;
        const char* describe;
        long frames, adverts;
    };
    const Want want[] = {
        {"tcpdump_ieee802.11_exthdr.pcap", "pcap, 802.11 with radiotap", 26, 6},
        {"tcpdump_ieee802.11_meshid.pcap", "pcap, 802.11 with radiotap", 3, 2},
        {"tcpdump_ieee802.11_parse_elements_oobr.pcap", "pcap, 802.11", 1, 1},
        {"opendroneid_odid_wifi_sample.pcap", "pcap, 802.11 with radiotap", 63, 42},
        {"whad_sniffle_capture.pcap", "pcap, Bluetooth LE link layer with pseudo-header", 22, 22},
        {"derived_whad_sniffle_capture_ll251.pcap", "pcap, Bluetooth LE link layer", 22, 22},
        {"bostonmesh_take2_adv37.pcap", "pcap, Bluetooth LE link layer with pseudo-header", 101,
         96},
        {"btsnoop-extcap_testdata_btsnoop_hci.log", "btsnoop, HCI UART (H4)", 222, 12},
        {"derived_btsnoop-extcap_testdata_h4phdr.pcap", "pcap, Bluetooth HCI H4 with direction",
         222, 12},
    };
    const string dir = string(OVK_SOURCE_DIR) + "/tests/data/captures/";
    std::map<string, Read> got;
    for (const Want& w : want) {
        Read r = read_path(dir + w.file);
        EXPECT_EQ(r.end, 0) << w.file << ": " << r.error;
        EXPECT_EQ(r.describe, w.describe) << w.file;
        EXPECT_EQ(r.stats.frames, w.frames) << w.file;
        EXPECT_EQ(r.stats.adverts, w.adverts) << w.file;
        got[w.file] = std::move(r);
    }
    // The sniffle capture names its device; without the pseudo-header the same adverts come
    // out, only without a signal level.
    const Read& ph = got["whad_sniffle_capture.pcap"];
    const Read& bare = got["derived_whad_sniffle_capture_ll251.pcap"];
    ASSERT_EQ(ph.frames.size(), bare.frames.size());
    for (size_t i = 0; i < ph.frames.size(); ++i) {
        EXPECT_EQ(ph.frames[i].adverts[0]->mac, bare.frames[i].adverts[0]->mac);
        EXPECT_EQ(ph.frames[i].adverts[0]->raw, bare.frames[i].adverts[0]->raw);
        EXPECT_NE(ph.frames[i].adverts[0]->rssi, 0);
        EXPECT_EQ(bare.frames[i].adverts[0]->rssi, 0);
    }
    EXPECT_EQ(ph.frames[0].adverts[0]->name, "8eyvpVmq");
    // The btsnoop log and its pcap re-encapsulation give the same adverts at the same times.
    const Read& snoop = got["btsnoop-extcap_testdata_btsnoop_hci.log"];
    const Read& h4 = got["derived_btsnoop-extcap_testdata_h4phdr.pcap"];
    ASSERT_EQ(snoop.frames.size(), h4.frames.size());
    for (size_t i = 0; i < snoop.frames.size(); ++i) {
        EXPECT_EQ(snoop.frames[i].number, h4.frames[i].number);
        EXPECT_EQ(snoop.frames[i].adverts[0]->raw, h4.frames[i].adverts[0]->raw);
        EXPECT_NEAR(static_cast<double>(snoop.frames[i].time),
                    static_cast<double>(h4.frames[i].time), 1.0);
    }
    // Remote ID over Wi-Fi beacons.
    int rid = 0;
    for (const auto& f : got["opendroneid_odid_wifi_sample.pcap"].frames)
        for (const auto& a : f.adverts)
            for (const auto& ie : a->ies)
                rid += ie.id == 221 && ie.data.size() > 4 && ie.data[0] == 0xFA;
    EXPECT_GT(rid, 10);
}

ovk_test::ProgramRun classify(const string& file, const ovk_test::TempDir& out) {
    ovk_test::ProgramLaunch l;
    l.exe = string(OVK_BINARY_DIR) + "/orvik-classify";
    l.args = {file};
    l.out_dir = out.path();
    return ovk_test::run_program(l);
}

TEST(CaptureProgram, ClassifyReadsCapturesAsFilesAndThroughPipes) {
    const string exe = string(OVK_BINARY_DIR) + "/orvik-classify";
    const string dir = string(OVK_SOURCE_DIR) + "/tests/data/captures/";
    ovk_test::TempDir tmp;
    ovk_test::ProgramRun run = classify(dir + "opendroneid_odid_wifi_sample.pcap", tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 42);
    EXPECT_EQ(run.out.rfind("{\"frame\":1,\"mac\":", 0), 0u) << run.out.substr(0, 80);
    EXPECT_NE(run.out.find("\"label\":\"Drone broadcasting Remote ID (WiFi)\""), string::npos);
    EXPECT_NE(run.out.find("\"operatorId\":\"GBR-OP-123ABCD\""), string::npos);
    EXPECT_NE(run.err.find("pcap, 802.11 with radiotap: 63 frames, 42 adverts"), string::npos)
        << run.err;

    // The same btsnoop log from a pipe.
    const ovk_test::CommandResult piped =
        ovk_test::run_command("cat " + dir + "btsnoop-extcap_testdata_btsnoop_hci.log | " + exe);
    EXPECT_EQ(piped.rc, 0);
    size_t lines = 0;
    for (size_t at = 0; (at = piped.out.find("{\"frame\":", at)) != string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 12u) << piped.out;
    EXPECT_NE(piped.out.find("standard input: btsnoop, HCI UART (H4): 222 frames, 12 adverts"),
              string::npos);

    // A damaged capture: what could be read, an error line, status 1.
    string cut = ovk_test::read_file(dir + "whad_sniffle_capture.pcap");
    ovk_test::write_file(tmp.file("cut.pcap"), cut.substr(0, cut.size() - 10));
    run = classify(tmp.file("cut.pcap"), tmp);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 22);
    EXPECT_NE(run.out.find("{\"frame\":22,\"error\":\"frame 22: truncated dump file"), string::npos)
        << run.out;
    // A capture of a link type without adverts.
    ovk_test::write_file(tmp.file("eth.pcap"), cut.substr(0, 20) + string("\x01\0\0\0", 4));
    run = classify(tmp.file("eth.pcap"), tmp);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("carries no advertisements"), string::npos) << run.err;
}

}  // namespace
