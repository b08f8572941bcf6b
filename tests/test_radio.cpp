// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// The radio helper: what it agrees to send to the radios, the framing both ends check, and
// the orvik-radio program itself (it keeps only its two capabilities, the program that
// starts it keeps none, and it ends with its parent). The scanners' own tests
// (test_linux_hci, test_linux_nl80211) run through the helper's channel.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ovk_linux_hci.h"
#include "ovk_linux_nl80211.h"
#include "ovk_radio.h"
#include "radio_channel.h"
#include "sim_hci_controller.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes vec(ovk_bytes b) {
    return bytes(b.begin(), b.end());
}

bytes nl_msg(uint16_t type, uint16_t flags, uint8_t cmd,
             std::vector<std::pair<uint16_t, bytes>> attrs) {
    OVK_NL_MSG m;
    ovk_linux_wifi_msg_init(m, type, flags, 1, cmd);
    for (const auto& [t, v] : attrs) ovk_linux_wifi_msg_put(m, t, v);
    return vec(m.bytes());
}

const bytes kIfindex{2, 0, 0, 0};
constexpr uint16_t kFamily = 0x1c;
constexpr uint16_t kReq = 0x1, kAck = 0x4, kDump = 0x300;

// The status line of process `pid` with the given key ("CapEff"), "" when gone.
std::string proc_status(int pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(in, l);)
        if (l.rfind(key + ":", 0) == 0) return l.substr(key.size() + 1);
    return "";
}

// Processes running orvik-radio for the parent `parent`.
std::vector<int> helpers_of(int parent) {
    std::vector<int> out;
    const std::string want = std::string("orvik-radio") + '\0' + std::to_string(parent) + '\0';
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "cmdline", std::ios::binary);
        const std::string cmd((std::istreambuf_iterator<char>(in)), {});
        if (cmd == want) out.push_back(std::stoi(name));
    }
    return out;
}

}  // namespace

// Only the five commands of a passive LE scan, exactly as the scanner builds them, pass;
// an active scan, any other command or a packet whose length lies is refused.
TEST(RadioHelper, SendsOnlyPassiveScanCommandsToTheController) {
    for (const OVK_HCI_CMD& c :
         {ovk_linux_hci_cmd_read_features(), ovk_linux_hci_cmd_scan_params(8192, 819),
          ovk_linux_hci_cmd_scan_enable(true), ovk_linux_hci_cmd_scan_enable(false),
          ovk_linux_hci_cmd_ext_scan_params(true, 6554, 1638),
          ovk_linux_hci_cmd_ext_scan_params(false, 6554, 6554),
          ovk_linux_hci_cmd_ext_scan_enable(true), ovk_linux_hci_cmd_ext_scan_enable(false)})
        EXPECT_TRUE(ovk_radio_hci_command_allowed(c.bytes())) << std::hex << c.opcode;

    bytes active = vec(ovk_linux_hci_cmd_scan_params(8192, 819).bytes());
    active[4] = 1;  // scan type: active (sends scan requests)
    EXPECT_FALSE(ovk_radio_hci_command_allowed(active));
    bytes ext_active = vec(ovk_linux_hci_cmd_ext_scan_params(true, 6554, 1638).bytes());
    ext_active[4 + 8] = 1;  // the Coded PHY's scan type
    EXPECT_FALSE(ovk_radio_hci_command_allowed(ext_active));
    const bytes reset{0x01, 0x03, 0x0C, 0x00};                // HCI Reset
    const bytes advertise{0x01, 0x0A, 0x20, 0x01, 0x01};      // LE Set Advertising Enable
    const bytes connect{0x01, 0x0D, 0x20, 0x02, 0x00, 0x00};  // LE Create Connection
    const bytes acl{0x02, 0x01, 0x00, 0x00, 0x00};            // ACL data, not a command
    bytes longer = vec(ovk_linux_hci_cmd_scan_enable(true).bytes());
    longer.push_back(0);  // one byte more than its length says
    for (const bytes& b : {reset, advertise, connect, acl, longer, bytes{}, bytes{0x01}})
        EXPECT_FALSE(ovk_radio_hci_command_allowed(b));
}

TEST(RadioHelper, SendsOnlyWifiScanRequestsToTheKernel) {
    const bytes family = nl_msg(16, kReq, 3, {{2, bytes{'n', 'l', '8', '0', '2', '1', '1', 0}}});
    const bytes list = nl_msg(kFamily, kReq | kDump, 5, {});
    const bytes dump = nl_msg(kFamily, kReq | kDump, 32, {{3, kIfindex}});
    const bytes trigger = nl_msg(kFamily, kReq | kAck, 33, {{3, kIfindex}});
    for (const bytes& m : {family, list, dump, trigger})
        EXPECT_TRUE(ovk_radio_nl_request_allowed(m, kFamily));

    // A trigger with an SSID list would send probe requests: refused; so is every other
    // command, another family, and nl80211 requests while its id is not known.
    const bytes probing =
        nl_msg(kFamily, kReq | kAck, 33, {{3, kIfindex}, {45, bytes{4, 0, 0, 0}}});
    const bytes connect = nl_msg(kFamily, kReq | kAck, 46, {{3, kIfindex}});
    const bytes set_iface = nl_msg(kFamily, kReq | kAck, 6, {{3, kIfindex}});
    const bytes other_family = nl_msg(kFamily + 1, kReq | kDump, 32, {{3, kIfindex}});
    const bytes ctrl_other = nl_msg(16, kReq, 1, {});
    for (const bytes& m : {probing, connect, set_iface, other_family, ctrl_other})
        EXPECT_FALSE(ovk_radio_nl_request_allowed(m, kFamily));
    EXPECT_FALSE(ovk_radio_nl_request_allowed(trigger, 0));
    bytes lying = trigger;
    lying[0] = 200;  // the header claims more than there is
    EXPECT_FALSE(ovk_radio_nl_request_allowed(lying, kFamily));
}

// The client believes nothing of an answer that does not fit its request: a wrong magic or
// operation, read data longer than asked for or than the result says, a record of the wrong
// size. The first such answer ends the channel.
TEST(RadioHelper, MalformedAnswersEndTheChannel) {
    OVK_RADIO_HDR h;
    h.magic = OVK_RADIO_ANS_MAGIC;
    h.op = OVK_RADIO_HCI_READ;
    h.a = 3;
    h.len = 3;
    EXPECT_EQ(ovk_radio_check_answer(h, OVK_RADIO_HCI_READ, 260), 0);
    EXPECT_NE(ovk_radio_check_answer(h, OVK_RADIO_HCI_READ, 2), 0) << "more than asked for";
    EXPECT_NE(ovk_radio_check_answer(h, OVK_RADIO_HCI_POLL, 260), 0) << "another operation";
    h.len = 4;
    EXPECT_NE(ovk_radio_check_answer(h, OVK_RADIO_HCI_READ, 260), 0) << "length and result";
    h = {};
    h.magic = OVK_RADIO_ANS_MAGIC;
    h.op = OVK_RADIO_HCI_GET_FILTER;
    h.len = 13;
    EXPECT_NE(ovk_radio_check_answer(h, OVK_RADIO_HCI_GET_FILTER, 0), 0);
    h.magic = OVK_RADIO_REQ_MAGIC;
    h.len = 14;
    EXPECT_NE(ovk_radio_check_answer(h, OVK_RADIO_HCI_GET_FILTER, 0), 0);

    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto client = ovk_radio_hci_client(fds[0], std::make_shared<SimHciController>());
    std::thread fake([fd = fds[1]] {
        OVK_RADIO_HDR q;
        if (::read(fd, &q, sizeof q) != sizeof q) return;
        OVK_RADIO_HDR a;
        a.magic = OVK_RADIO_ANS_MAGIC;
        a.op = q.op;
        a.a = 5000;  // claims 5000 bytes read into a 260-byte buffer
        a.len = 5000;
        std::vector<uint8_t> frame(sizeof a + 5000, 0xAA);
        std::memcpy(frame.data(), &a, sizeof a);
        (void)!::write(fd, frame.data(), frame.size());
    });
    std::array<uint8_t, 260> buf{};
    EXPECT_EQ(client->read(3, buf), -EPIPE);
    EXPECT_EQ(buf[0], 0) << "nothing of the bad answer was copied";
    fake.join();
    EXPECT_EQ(client->open(), -EPIPE) << "the channel stays closed";
    client.reset();
    ::close(fds[1]);
}

// Through the helper's channel a request may name only the sockets the helper opened for
// it, never one of the helper's other descriptors (its channels, its standard streams).
TEST(RadioHelper, RequestsNameOnlyTheChannelsOwnSockets) {
    auto sim = std::make_shared<SimHciController>();
    RadioChannel<SimHciController> ch(sim);
    auto io = ch.client();
    OVK_HCI_FILTER_T f;
    EXPECT_EQ(io->get_filter(0, f), -EBADF);
    EXPECT_EQ(io->get_filter(2, f), -EBADF);
    const int h = io->open();
    ASSERT_GE(h, 0);
    EXPECT_EQ(io->get_filter(h, f), 0);
    const bytes reset{0x01, 0x03, 0x0C, 0x00};
    EXPECT_EQ(io->write(h, reset), -EPERM);
    EXPECT_TRUE(sim->commands().empty()) << "the refused command never reached the controller";
    io->close(h);
    EXPECT_EQ(io->get_filter(h, f), -EBADF);
    EXPECT_EQ(sim->open_sockets(), 0);
}

// The program as the package installs it. Started (here by a child of the test, which plays
// orvik) it keeps CAP_NET_RAW and CAP_NET_ADMIN alone while the program that started it keeps
// none; its netlink channel works and refuses what is no scan request; and it is gone soon
// after its parent. Started by hand it refuses to run.
TEST(RadioHelperProgram, KeepsTwoCapabilitiesAndEndsWithItsParent) {
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik-radio";
    ASSERT_EQ(::access(exe.c_str(), X_OK), 0) << "build the orvik-radio target first";
    EXPECT_EQ(std::system((exe + " 1 2>/dev/null").c_str()) >> 8, 2) << "not started by orvik";

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        int code = 0;
        if (ovk_radio_start(exe) != 0) code |= 1;
        if (proc_status(::getpid(), "CapEff").find("0000000000000000") == std::string::npos ||
            proc_status(::getpid(), "CapPrm").find("0000000000000000") == std::string::npos)
            code |= 2;
        auto nl = ovk_radio_nl_io();
        const int h = nl->open();
        if (h < 0) code |= 4;
        const bytes connect = nl_msg(kFamily, kReq | kAck, 46, {{3, kIfindex}});
        if (nl->send(h, connect) != -EPERM) code |= 8;
        const std::vector<int> helpers = helpers_of(::getpid());
        const int helper = helpers.size() == 1 ? helpers[0] : -1;
        (void)!::write(report[1], &helper, sizeof helper);
        ::_exit(code);
    }
    ::close(report[1]);
    int helper = -1;
    ASSERT_EQ(::read(report[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "the helper did not start";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "the starting program kept capabilities";
    EXPECT_EQ(WEXITSTATUS(status) & 4, 0) << "no netlink socket through the helper";
    EXPECT_EQ(WEXITSTATUS(status) & 8, 0) << "the helper sent a request that is no scan";
    ASSERT_GT(helper, 0);
    // Its parent is gone: so is it, within moments.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = helpers_of(child).empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone);
}

// While it runs, the helper has exactly the two capabilities (as root it starts with all).
TEST(RadioHelperProgram, HoldsOnlyNetRawAndNetAdmin) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, whose capabilities the helper cuts down";
    const std::string exe = std::string(OVK_BINARY_DIR) + "/orvik-radio";
    int go[2], back[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(back), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(go[1]);
        ::close(back[0]);
        const int ok = ovk_radio_start(exe) == 0 ? 1 : 0;
        (void)!::write(back[1], &ok, sizeof ok);
        char c;
        (void)!::read(go[0], &c, 1);  // until the test has looked
        ::_exit(0);
    }
    ::close(go[0]);
    ::close(back[1]);
    int ok = 0;
    ASSERT_EQ(::read(back[0], &ok, sizeof ok), static_cast<ssize_t>(sizeof ok));
    ASSERT_EQ(ok, 1);
    const std::vector<int> helpers = helpers_of(child);
    ASSERT_EQ(helpers.size(), 1u);
    // CAP_NET_ADMIN is bit 12, CAP_NET_RAW bit 13.
    EXPECT_EQ(proc_status(helpers[0], "CapEff"), "\t0000000000003000");
    EXPECT_EQ(proc_status(helpers[0], "CapPrm"), "\t0000000000003000");
    EXPECT_EQ(proc_status(helpers[0], "CapInh"), "\t0000000000000000");
    EXPECT_EQ(proc_status(helpers[0], "CapAmb"), "\t0000000000000000");
    EXPECT_EQ(proc_status(helpers[0], "NoNewPrivs"), "\t1");
    EXPECT_EQ(proc_status(child, "CapEff"), "\t0000000000000000");
    ::close(go[1]);
    ::close(back[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
}
