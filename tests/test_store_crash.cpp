// SPDX-License-Identifier: GPL-3.0-or-later
// Crash safety of the stored files: a child process appends detections and rewrites the
// remembered devices, the whitelist and the settings in a loop and is killed with SIGKILL
// at random moments, hundreds of times in a row. After every kill each file must load, each
// rewritten file must hold either its old or its new content, and the log may lose only its
// last line (a torn last line is skipped and repaired on the next open). The remembered
// devices are a compacted file and a journal of changes; together they hold one whole flush.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <set>

#include "helpers/ovk_test_files.h"
#include "ovk_prefs.h"
#include "ovk_store.h"

using ovk_test::TempDir;

namespace {

constexpr int kKills = 250;
constexpr int kKnownRows = 20;
constexpr int kWhitelistMacs = 10;

// Progress of the child, in memory shared with the parent. "started" is raised before a
// write begins and "done" after it returned, so a kill in between may leave either.
struct Progress {
    std::atomic<int64_t> log_done;
    std::atomic<int64_t> known_started, known_done;
    std::atomic<int64_t> wl_started, wl_done;
    std::atomic<int64_t> prefs_started, prefs_done;
    std::atomic<int64_t> ops;
    std::atomic<int64_t> ready;  // the child has loaded and starts working
};
static_assert(std::atomic<int64_t>::is_always_lock_free);

std::string known_mac(int i) {
    char b[18];
    snprintf(b, sizeof b, "00:00:00:00:00:%02X", i);
    return b;
}

std::string wl_mac(int64_t g) {
    char b[18];
    snprintf(b, sizeof b, "AA:00:00:00:00:%02X", static_cast<int>(g % kWhitelistMacs));
    return b;
}

OVK_DETECTION detection(int64_t seq) {
    OVK_DETECTION d;
    d.mac = "SEQ";
    d.label = "sequence " + std::to_string(seq);
    d.source = "BLE";
    d.timestamp = seq;
    d.category = OVK_CAT_TRACKER;
    d.confidence = static_cast<int>(seq % 101);
    d.evidence = std::string(static_cast<size_t>(seq % 300), 'e');  // lines of many sizes
    return d;
}

// The generation a loaded store / settings file holds (0 when nothing was written yet).
int64_t known_generation() {
    auto k = ovk_store_known_get(known_mac(0));
    return k ? k->last_seen : 0;
}
int64_t wl_generation() {
    int64_t g = 0;
    for (const auto& w : ovk_store_whitelist_all()) g = std::max<int64_t>(g, std::stoll(w.note));
    return g;
}

[[noreturn]] void child(const std::string& dir, Progress* p, unsigned seed) {
    if (ovk_store_open(dir) != 0 || ovk_prefs_load(dir) != 0) _exit(3);
    int64_t seq = 0;
    for (const auto& d : ovk_store_detections(0)) seq = std::max(seq, d.timestamp);
    int64_t gk = known_generation();
    int64_t gw = wl_generation();
    int64_t gp = ovk_prefs_get().scan_interval_ms;
    if (gp == OVK_PREFS{}.scan_interval_ms) gp = 0;
    p->log_done = seq;
    p->known_started = p->known_done = gk;
    p->wl_started = p->wl_done = gw;
    p->prefs_started = p->prefs_done = gp;
    p->ready = 1;

    std::mt19937 rng(seed);
    for (int i = 0; i < 200000; ++i) {
        p->ops.fetch_add(1);
        switch (rng() % 5) {
            case 0:
            case 1:
                ++seq;
                if (ovk_store_add_detection(detection(seq)) != 0) _exit(4);
                p->log_done = seq;
                if (seq % 40 == 0) ovk_store_prune_detections(seq - 30);
                break;
            case 2: {
                ++gk;
                p->known_started = gk;
                std::vector<OVK_KNOWN> rows(kKnownRows);
                for (int r = 0; r < kKnownRows; ++r) {
                    rows[static_cast<size_t>(r)].mac = known_mac(r);
                    rows[static_cast<size_t>(r)].last_seen = gk;
                    rows[static_cast<size_t>(r)].name =
                        std::string(static_cast<size_t>(gk % 90), 'n');
                }
                if (ovk_store_known_upsert(rows) != 0) _exit(5);
                p->known_done = gk;
                break;
            }
            case 3:
                ++gw;
                p->wl_started = gw;
                if (ovk_store_whitelist_add(wl_mac(gw), std::to_string(gw)) != 0) _exit(6);
                p->wl_done = gw;
                break;
            case 4: {
                ++gp;
                p->prefs_started = gp;
                OVK_PREFS prefs = ovk_prefs_get();
                prefs.scan_interval_ms = gp;
                prefs.alert_threshold = static_cast<int>(gp % 100);
                prefs.gpsd_host = std::string(static_cast<size_t>(gp % 60), 'h');
                if (ovk_prefs_set(prefs) != 0) _exit(7);
                p->prefs_done = gp;
                break;
            }
        }
    }
    _exit(0);
}

// Cuts the log inside its last line; the bookkeeping forgets that line.
void tear_last_line(const std::string& path, Progress& p, std::mt19937& rng) {
    std::string log = ovk_test::read_file(path);
    if (log.empty() || log.back() != '\n') return;
    const size_t start = log.rfind('\n', log.size() - 2);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    const size_t len = log.size() - begin;  // with its newline
    log.resize(begin + 1 + rng() % (len - 1));
    ovk_test::write_file(path, log);
    const auto dets = ovk_store_parse_log(log, nullptr);
    p.log_done = dets.empty() ? 0 : dets.back().timestamp;
}

struct Seen {
    int torn_log = 0;      // kills that left a broken last line
    int mid_rewrite = 0;   // kills between the start and the end of a rewrite
    int torn_journal = 0;  // kills that left a cut journal line
};

// Checks every file after a kill (gtest failures when one is wrong).
void verify(const std::string& dir, const Progress& p, Seen& seen, bool open_store) {
    // The log: every terminated line parses; only an unterminated tail may be broken.
    const std::string log = ovk_test::read_file(dir + "/detections.jsonl");
    size_t pos = 0;
    while (pos < log.size()) {
        const size_t nl = log.find('\n', pos);
        if (nl == std::string::npos) {
            ++seen.torn_log;
            break;
        }
        ASSERT_EQ(ovk_store_parse_log(log.substr(pos, nl - pos), nullptr).size(), 1u)
            << "broken line inside the log: " << log.substr(pos, nl - pos);
        pos = nl + 1;
    }
    const auto dets = ovk_store_parse_log(log, nullptr);
    const int64_t done = p.log_done.load();
    if (done > 0) {
        ASSERT_FALSE(dets.empty());
        // A contiguous run of sequence numbers ending with the last completed append (or
        // the one after it, when the kill came between the append and the bookkeeping).
        for (size_t i = 1; i < dets.size(); ++i)
            ASSERT_EQ(dets[i].timestamp, dets[i - 1].timestamp + 1) << "gap in the log";
        const int64_t last = dets.back().timestamp;
        ASSERT_TRUE(last == done || last == done + 1)
            << "log ends at " << last << ", done " << done;
        for (const auto& d : dets)
            ASSERT_EQ(d, [&] {
                auto want = detection(d.timestamp);
                want.id = d.id;
                return want;
            }());
    }

    // Remembered devices (compacted file plus journal): all rows of one generation, the old
    // or the new one; a journal line is one whole change or, when cut by the kill, none.
    const int64_t ks = p.known_started.load(), kd = p.known_done.load();
    if (ks != kd) ++seen.mid_rewrite;
    if (kd > 0 || ks > 0) {
        const std::string base = ovk_test::read_file(dir + "/known_devices.json");
        const std::string journal = ovk_test::read_file(dir + "/known_devices.journal");
        if (!base.empty()) {
            ASSERT_TRUE(ovk_json_parse(base)) << "known_devices.json does not parse";
        }
        if (!journal.empty() && journal.back() != '\n') ++seen.torn_journal;
        const auto rows = ovk_store_parse_known_journal(base, journal);
        if (kd > 0) {
            ASSERT_EQ(rows.size(), static_cast<size_t>(kKnownRows));
        }
        if (!rows.empty()) {
            ASSERT_EQ(rows.size(), static_cast<size_t>(kKnownRows));
            const int64_t g = rows[0].last_seen;
            ASSERT_TRUE(g == kd || g == ks)
                << "known generation " << g << " not " << kd << "/" << ks;
            for (const auto& r : rows) {
                ASSERT_EQ(r.last_seen, g);
                ASSERT_EQ(r.name.size(), static_cast<size_t>(g % 90));
            }
        }
    }

    // Whitelist: the notes are exactly the last generations up to the old or the new one.
    const int64_t ws = p.wl_started.load(), wd = p.wl_done.load();
    if (ws != wd) ++seen.mid_rewrite;
    if (wd > 0 || ws > 0) {
        const std::string text = ovk_test::read_file(dir + "/whitelist.json");
        OVK_JSON j = ovk_json_parse(text);
        if (wd > 0) {
            ASSERT_TRUE(j) << "whitelist.json does not parse";
        }
        if (j) {
            const auto rows = ovk_store_parse_whitelist(text);
            std::set<int64_t> notes;
            for (const auto& w : rows) notes.insert(std::stoll(w.note));
            ASSERT_FALSE(notes.empty());
            const int64_t g = *notes.rbegin();
            ASSERT_TRUE(g == wd || g == ws) << "whitelist generation " << g;
            std::set<int64_t> want;
            for (int64_t x = std::max<int64_t>(1, g - kWhitelistMacs + 1); x <= g; ++x)
                want.insert(x);
            ASSERT_EQ(notes, want);
        }
    }

    // Settings: one consistent record, old or new.
    const int64_t ps = p.prefs_started.load(), pd = p.prefs_done.load();
    if (ps != pd) ++seen.mid_rewrite;
    if (pd > 0 || ps > 0) {
        OVK_JSON j = ovk_json_parse(ovk_test::read_file(dir + "/settings.json"));
        if (pd > 0) {
            ASSERT_TRUE(j) << "settings.json does not parse";
        }
        if (j) {
            OVK_PREFS prefs;
            ovk_prefs_from_json(j.get(), prefs);
            const int64_t g = prefs.scan_interval_ms;
            ASSERT_TRUE(g == pd || g == ps) << "settings generation " << g;
            ASSERT_EQ(prefs.alert_threshold, g % 100);
            ASSERT_EQ(prefs.gpsd_host.size(), static_cast<size_t>(g % 60));
        }
    }

    // And the store itself opens on what was left (not every round: the children must meet
    // torn logs themselves, and opening repairs them).
    if (!open_store) return;
    ASSERT_EQ(ovk_store_open(dir), 0);
    ASSERT_EQ(static_cast<size_t>(ovk_store_detection_count()), dets.size());
    ovk_store_close();
}

}  // namespace

TEST(StoreCrash, KilledWritersNeverLeaveBrokenFiles) {
    TempDir dir("/dev/shm");  // a memory file system: many writes per child life
    const std::string data = dir.file("data");
    void* mem =
        mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    Progress* p = new (mem) Progress{};
    std::mt19937 rng(12345);
    Seen seen;
    int killed = 0;
    for (int round = 0; round < kKills; ++round) {
        p->ready = 0;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) child(data, p, static_cast<unsigned>(round));
        if (rng() % 4 == 0) {
            // Kill during start-up and loading (the open repairs a torn log, for one).
            usleep(rng() % 3000);
        } else {
            // Kill in the middle of the work, however slow the start (sanitizers, load).
            for (int i = 0; i < 5000 && !p->ready; ++i) usleep(1000);
            usleep(rng() % 4000);
        }
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            ++killed;
        else
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "child failed with status " << status << " in round " << round;
        // Every tenth round the log also loses part of its last line, as a crash of the
        // whole machine in the middle of an append can leave it.
        if (round % 10 == 5) tear_last_line(data + "/detections.jsonl", *p, rng);
        verify(data, *p, seen, round % 2 == 1);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "after round " << round;
            break;
        }
    }
    // The kills did land in the middle of the work.
    EXPECT_GE(killed, kKills * 9 / 10);
    EXPECT_GT(seen.mid_rewrite, 0);
    EXPECT_GT(seen.torn_log, kKills / 20);
    EXPECT_GT(p->ops.load(), kKills);
    RecordProperty("torn_log_lines", seen.torn_log);
    RecordProperty("kills_mid_rewrite", seen.mid_rewrite);
    RecordProperty("torn_journal_lines", seen.torn_journal);
    printf(
        "kills %d, torn log tails %d, kills during a rewrite %d, last sequence %lld, "
        "operations %lld\n",
        killed, seen.torn_log, seen.mid_rewrite, static_cast<long long>(p->log_done.load()),
        static_cast<long long>(p->ops.load()));
    munmap(mem, sizeof(Progress));
}
