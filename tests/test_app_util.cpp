// SPDX-License-Identifier: GPL-3.0-or-later
// Application utilities: string map, text buffer, number text, JSON helpers, files.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <thread>

#include "helpers/ovk_test_files.h"
#include "ovk_app_util.h"

using ovk_test::LogCapture;
using ovk_test::TempDir;

namespace {

// Runs a block with the working directory switched to `dir`.
struct ChdirGuard {
    explicit ChdirGuard(const std::string& dir) {
        char buf[4096];
        old = getcwd(buf, sizeof buf) ? buf : ".";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~ChdirGuard() { EXPECT_EQ(chdir(old.c_str()), 0); }
    std::string old;
};

bool is_dir(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Counted {
    static int alive;
    int v;
    explicit Counted(int x) : v(x) { ++alive; }
    ~Counted() { --alive; }
};
int Counted::alive = 0;

}  // namespace

// ---------------------------------------------------------------------------------------
// String map
// ---------------------------------------------------------------------------------------

TEST(AppUtilSmap, HashIsFnv1a64) {
    EXPECT_EQ(ovk_fnv1a64(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(ovk_fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(ovk_fnv1a64("foobar"), 0x85944171f73967e8ULL);
}

TEST(AppUtilSmap, UninitialisedMapFindsNothingAndRefusesInserts) {
    OVK_SMAP<> m;
    EXPECT_FALSE(m.initialised());
    EXPECT_EQ(m.get("x"), nullptr);
    int created = 7;
    EXPECT_EQ(m.put("x", &created), nullptr);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(m.del("x"), 0);
    int calls = 0;
    m.foreach ([&](const OVK_SMAP_NODE<>&) { ++calls; });
    m.retain([&](OVK_SMAP_NODE<>&) {
        ++calls;
        return false;
    });
    EXPECT_EQ(calls, 0);
}

TEST(AppUtilSmap, InitUsesAtLeastSixteenBuckets) {
    OVK_SMAP<> m;
    ASSERT_EQ(m.init(0), 0);
    EXPECT_EQ(m.bucket_count(), 16u);
    ASSERT_EQ(m.init(1000), 0);
    EXPECT_EQ(m.bucket_count(), 1000u);
}

TEST(AppUtilSmap, KeysAreCutTo95BytesAndCaseSensitive) {
    OVK_SMAP<> m;
    ASSERT_EQ(m.init(64), 0);
    const std::string k100(100, 'k');
    std::string other = std::string(95, 'k') + "zzzzz";
    int created = 0;
    auto* a = m.put(k100, &created);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(a->key.size(), 95u);
    EXPECT_EQ(a->num, 0);
    EXPECT_EQ(a->dbl, 0);
    EXPECT_EQ(a->ptr, nullptr);
    a->num = 42;
    auto* b = m.put(other, &created);
    EXPECT_EQ(b, a);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(m.get(std::string(95, 'k'))->num, 42);
    EXPECT_EQ(m.size(), 1u);
    m.put("Key");
    EXPECT_EQ(m.get("key"), nullptr);
    EXPECT_NE(m.get("Key"), nullptr);
    EXPECT_EQ(m.size(), 2u);
}

TEST(AppUtilSmap, WalkIsBucketByBucketNewestFirstAcrossGrowth) {
    OVK_SMAP<> m;
    ASSERT_EQ(m.init(16), 0);
    std::vector<std::string> keys;
    for (int i = 0; i < 60; ++i) keys.push_back("dev" + std::to_string(i));
    for (const auto& k : keys) m.put(k);
    // 60 entries grew the 16 buckets to 64; the walk is still by bucket ascending, inside
    // one bucket the latest insertion first.
    const size_t nb = m.bucket_count();
    EXPECT_EQ(nb, 64u);
    std::vector<std::string> expected;
    for (size_t b = 0; b < nb; ++b)
        for (auto it = keys.rbegin(); it != keys.rend(); ++it)
            if (ovk_fnv1a64(*it) % nb == b) expected.push_back(*it);
    std::vector<std::string> seen;
    m.foreach ([&](const OVK_SMAP_NODE<>& n) { seen.push_back(n.key); });
    EXPECT_EQ(seen, expected);
}

TEST(AppUtilSmap, PayloadIsReleasedByDelRetainClearAndDestruction) {
    Counted::alive = 0;
    {
        OVK_SMAP<Counted> m;
        ASSERT_EQ(m.init(32), 0);
        for (int i = 0; i < 10; ++i)
            m.put("k" + std::to_string(i))->ptr = std::make_unique<Counted>(i);
        m.put("empty");  // a node without payload
        EXPECT_EQ(Counted::alive, 10);
        EXPECT_EQ(m.del("k3"), 1);
        EXPECT_EQ(m.del("k3"), 0);
        EXPECT_EQ(m.get("k3"), nullptr);
        EXPECT_EQ(Counted::alive, 9);
        m.retain([](OVK_SMAP_NODE<Counted>& n) { return !n.ptr || n.ptr->v % 2 == 0; });
        EXPECT_EQ(Counted::alive, 5);  // 0 2 4 6 8 stay, odd ones are gone
        EXPECT_EQ(m.size(), 6u);       // and the node without payload
        EXPECT_NE(m.get("empty"), nullptr);
        EXPECT_NE(m.get("k8"), nullptr);
        EXPECT_EQ(m.get("k7"), nullptr);
        m.clear();
        EXPECT_EQ(Counted::alive, 0);
        EXPECT_EQ(m.size(), 0u);
        EXPECT_TRUE(m.initialised());
        m.put("again")->ptr = std::make_unique<Counted>(1);
        m.release();
        EXPECT_FALSE(m.initialised());
        EXPECT_EQ(Counted::alive, 0);
        EXPECT_EQ(m.put("x"), nullptr);
        ASSERT_EQ(m.init(16), 0);
        m.put("last")->ptr = std::make_unique<Counted>(2);
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(AppUtilSmap, GrowsWithItsContentsKeepingNodesInPlace) {
    // 200,000 entries into a map made for 16: the buckets follow the count, so a lookup walks
    // a chain of one or two entries, and the nodes handed out before the growth stay valid.
    OVK_SMAP<> m;
    ASSERT_EQ(m.init(16), 0);
    auto* first = m.put("0");
    first->num = -1;
    for (int i = 1; i < 200000; ++i) m.put(std::to_string(i))->num = i;
    EXPECT_EQ(m.size(), 200000u);
    EXPECT_GE(m.bucket_count(), m.size());
    EXPECT_LE(m.bucket_count(), 2 * m.size());
    EXPECT_EQ(m.get("0"), first);
    EXPECT_EQ(first->num, -1);
    for (int i = 1; i < 200000; i += 997) EXPECT_EQ(m.get(std::to_string(i))->num, i);
    size_t walked = 0;
    m.foreach ([&](const OVK_SMAP_NODE<>&) { ++walked; });
    EXPECT_EQ(walked, 200000u);
    // Deleting half and adding them back finds every key once.
    for (int i = 0; i < 200000; i += 2) EXPECT_EQ(m.del(std::to_string(i)), 1);
    EXPECT_EQ(m.size(), 100000u);
    for (int i = 0; i < 200000; i += 2) {
        int created = 0;
        m.put(std::to_string(i), &created);
        EXPECT_EQ(created, 1);
    }
    EXPECT_EQ(m.size(), 200000u);
    OVK_SMAP<> moved = std::move(m);
    EXPECT_EQ(moved.size(), 200000u);
    EXPECT_EQ(moved.get("199999")->num, 199999);
    EXPECT_FALSE(m.initialised());
    EXPECT_EQ(m.size(), 0u);
}

// ---------------------------------------------------------------------------------------
// Text buffer
// ---------------------------------------------------------------------------------------

TEST(AppUtilSbuf, TakeOfUnusedBufferIsEmptyTextNotNothing) {
    OVK_SBUF b;
    auto t = b.take();
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(*t, "");
}

TEST(AppUtilSbuf, GrowthFollowsTheCapacitySteps) {
    OVK_SBUF b;
    b.add("abc");
    EXPECT_EQ(b.cap(), 256u);
    b.add(std::string(300, 'x'));  // needs 304
    EXPECT_EQ(b.cap(), 512u);
    OVK_SBUF big;
    big.add(std::string(1500, 'y'));  // from empty: 512 doubled until >= 1501
    EXPECT_EQ(big.cap(), 2048u);
    big.addc('z');
    EXPECT_EQ(big.cap(), 2048u);
    EXPECT_EQ(big.len(), 1501u);
}

TEST(AppUtilSbuf, AppendsAndFormats) {
    OVK_SBUF b;
    b.add("id=");
    b.addf("%d,%s,%.1f", 42, "x", 2.5);
    b.addc('!');
    b.addf("%s", "");
    b.add("");
    auto t = b.take();
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, "id=42,x,2.5!");
    EXPECT_EQ(b.len(), 0u);
    EXPECT_EQ(b.cap(), 0u);
    // A long formatted piece is measured first and fully kept.
    b.addf("%s", std::string(5000, 'q').c_str());
    EXPECT_EQ(b.len(), 5000u);
}

TEST(AppUtilSbuf, OutOfMemoryIsStickyUntilTaken) {
    LogCapture log;
    OVK_SBUF b;
    b.max_cap = 1000;
    b.add("keep");
    b.add(std::string(2000, 'x'));
    EXPECT_TRUE(b.oom());
    EXPECT_TRUE(log.has("string buffer: out of memory ("));
    b.add("more");  // ignored
    b.addc('c');
    b.addf("%d", 1);
    EXPECT_EQ(b.view(), "keep");
    EXPECT_FALSE(b.take().has_value());
    EXPECT_FALSE(b.oom());
    b.add("fresh");
    auto t = b.take();
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, "fresh");
    b.max_cap = 10;
    b.add(std::string(20, 'x'));
    ASSERT_TRUE(b.oom());
    b.free();
    EXPECT_FALSE(b.oom());
    EXPECT_EQ(b.len(), 0u);
}

// ---------------------------------------------------------------------------------------
// Strings and numbers
// ---------------------------------------------------------------------------------------

TEST(AppUtilStrings, ContainsIgnoringAsciiCase) {
    EXPECT_EQ(ovk_contains_ci("Axon Body 3", "BODY"), 1);
    EXPECT_EQ(ovk_contains_ci("Axon", ""), 1);
    EXPECT_EQ(ovk_contains_ci("", ""), 1);
    EXPECT_EQ(ovk_contains_ci("Axon", "axonx"), 0);
    EXPECT_EQ(ovk_contains_ci("abcabd", "ABD"), 1);
    EXPECT_EQ(ovk_contains_ci(static_cast<const char*>(nullptr), "a"), 0);
    EXPECT_EQ(ovk_contains_ci("a", static_cast<const char*>(nullptr)), 0);
    // Only ASCII letters fold: bytes above 127 compare exactly.
    EXPECT_EQ(ovk_contains_ci("caf\xc3\xa9", "\xc3\x89"), 0);
}

TEST(AppUtilStrings, NonEmptyOrNothing) {
    EXPECT_EQ(ovk_nz(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(ovk_nz(""), nullptr);
    const char* s = "x";
    EXPECT_EQ(ovk_nz(s), s);
    std::string e, f = "yz";
    EXPECT_EQ(ovk_nz(e), nullptr);
    EXPECT_STREQ(ovk_nz(f), "yz");
}

TEST(AppUtilStrings, Utf8CleanKeepsOnlyValidSequences) {
    // Valid one- to four-byte sequences stay.
    EXPECT_EQ(ovk_utf8_clean("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7"),
              "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7");
    // Stray continuation, impossible leads, overlong forms, a surrogate, above U+10FFFF.
    EXPECT_EQ(ovk_utf8_clean("x\x80y\xC0\xAFz\xFF"), "xyz");
    EXPECT_EQ(ovk_utf8_clean("\xE0\x80\xAF|\xED\xA0\x80|\xF4\x90\x80\x80"), "||");
    // A sequence cut short: the lead goes and the next byte is taken as it comes.
    EXPECT_EQ(ovk_utf8_clean("\xE2\x82"
                             "a\xC3"),
              "a");
    EXPECT_EQ(ovk_utf8_clean(std::string_view("\0\xC3\xA9", 3)), std::string("\0\xC3\xA9", 3));
    EXPECT_EQ(ovk_utf8_seq_len("ab", 2), 0u);
}

TEST(AppUtilNumbers, ShortestTextThatReadsBack) {
    struct Case {
        double v;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {45.0, "45.0"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {45.4215, "45.4215"},
        {1000000.0, "1000000.0"},
        {1e20, "1.0E20"},
        {1.5e-5, "1.5E-5"},
        {0.0001, "1.0E-4"},
        {12345678.0, "1.2345678E7"},
        {0.001, "0.001"},
        {9999999.0, "9999999.0"},
        {10000000.0, "1.0E7"},
        {-1e-300, "-1.0E-300"},
        {1.0 / 3.0, "0.3333333333333333"},
        {5e-324, "5.0E-324"},
        {1.7976931348623157e308, "1.7976931348623157E308"},
        {NAN, "NaN"},
        {INFINITY, "Infinity"},
        {-INFINITY, "-Infinity"},
    };
    for (const auto& c : cases) EXPECT_EQ(ovk_jdouble(c.v), c.text) << c.v;
    // Every finite output reads back to the same double.
    for (double v : {123.456, -0.000123, 6.02214076e23, 299792458.0, 47.60621, -122.33207}) {
        const std::string s = ovk_jdouble(v);
        EXPECT_EQ(strtod(s.c_str(), nullptr), v) << s;
    }
}

// ---------------------------------------------------------------------------------------
// JSON helpers
// ---------------------------------------------------------------------------------------

TEST(AppUtilJson, ReadsMembersByTypeWithDefaults) {
    OVK_JSON j =
        ovk_json_parse(R"({"s":"hello world","n":2.5,"m":-2.5,"two":2,"zero":0,"t":true,"f":false,)"
                       R"("ts":"true","nul":null,"big":1e300,"neg":-1e300,"Case":1})");
    ASSERT_TRUE(j);
    const cJSON* o = j.get();
    std::string out = "junk";
    EXPECT_EQ(ovk_json_str(o, "s", out, 6), 1);
    EXPECT_EQ(out, "hello");
    out = "junk";
    EXPECT_EQ(ovk_json_str(o, "n", out, 32), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(ovk_json_str(o, "missing", out, 32), 0);
    EXPECT_EQ(ovk_json_str(nullptr, "s", out, 32), 0);

    EXPECT_EQ(ovk_json_num(o, "n", 9), 2.5);
    EXPECT_EQ(ovk_json_num(o, "s", 9), 9);
    EXPECT_EQ(ovk_json_i64(o, "n", 0), 3);
    EXPECT_EQ(ovk_json_i64(o, "m", 0), -3);
    EXPECT_EQ(ovk_json_i64(o, "nul", 77), 77);
    EXPECT_EQ(ovk_json_i64(o, "big", 0), INT64_MAX);
    EXPECT_EQ(ovk_json_i64(o, "neg", 0), INT64_MIN);
    EXPECT_EQ(ovk_json_int(o, "n", 0), 2);
    EXPECT_EQ(ovk_json_int(o, "m", 0), -2);
    EXPECT_EQ(ovk_json_int(o, "big", 0), INT32_MAX);
    EXPECT_EQ(ovk_json_int(o, "neg", 0), INT32_MIN);

    EXPECT_EQ(ovk_json_bool(o, "two", 0), 1);
    EXPECT_EQ(ovk_json_bool(o, "zero", 1), 0);
    EXPECT_EQ(ovk_json_bool(o, "t", 0), 1);
    EXPECT_EQ(ovk_json_bool(o, "f", 1), 0);
    EXPECT_EQ(ovk_json_bool(o, "ts", 0), 0);
    EXPECT_EQ(ovk_json_bool(o, "ts", 1), 1);
    EXPECT_EQ(ovk_json_bool(o, "case", 5), 5);  // keys are case-sensitive

    EXPECT_EQ(ovk_json_has_num(o, "zero"), 1);
    EXPECT_EQ(ovk_json_has_num(o, "nul"), 0);
    EXPECT_EQ(ovk_json_has_num(o, "nope"), 0);
}

TEST(AppUtilJson, MembersOfNonObjectsAreAbsent) {
    OVK_JSON arr = ovk_json_parse(R"([{"a":1}])");
    ASSERT_TRUE(arr);
    EXPECT_EQ(ovk_json_num(arr.get(), "a", -1), -1);
    EXPECT_EQ(ovk_json_parse(""), nullptr);
    EXPECT_EQ(ovk_json_parse("{\"a\":"), nullptr);
    // Nesting deeper than the parser allows is refused instead of recursing without end.
    EXPECT_EQ(ovk_json_parse(std::string(100000, '[')), nullptr);
}

TEST(AppUtilJson, AddsStringsNullsAndIntegers) {
    OVK_JSON o(cJSON_CreateObject());
    ASSERT_EQ(ovk_json_add_str_or_null(o.get(), "a", "x\"y"), 0);
    ASSERT_EQ(ovk_json_add_str_or_null(o.get(), "b", ""), 0);
    ASSERT_EQ(ovk_json_add_str(o.get(), "c", ""), 0);
    ASSERT_EQ(ovk_json_add_i64(o.get(), "d", 1700000000123LL), 0);
    EXPECT_EQ(ovk_json_add_i64(nullptr, "d", 1), -1);
    auto txt = ovk_json_print(o.get(), false);
    ASSERT_TRUE(txt);
    EXPECT_EQ(*txt, R"({"a":"x\"y","b":null,"c":"","d":1700000000123})");
}

TEST(AppUtilJson, FilesRoundTripAndInvalidFilesAreLogged) {
    TempDir dir;
    OVK_JSON o(cJSON_CreateObject());
    ovk_json_add_i64(o.get(), "n", 5);
    ASSERT_EQ(ovk_json_write_file(dir.file("a.json"), o.get(), true), 0);
    EXPECT_EQ(ovk_test::read_file(dir.file("a.json")), "{\n\t\"n\":\t5\n}");
    ASSERT_EQ(ovk_json_write_file(dir.file("b.json"), o.get(), false), 0);
    EXPECT_EQ(ovk_test::read_file(dir.file("b.json")), "{\"n\":5}");
    OVK_JSON back = ovk_json_read_file(dir.file("a.json"));
    ASSERT_TRUE(back);
    EXPECT_EQ(ovk_json_i64(back.get(), "n", 0), 5);

    LogCapture log;
    EXPECT_EQ(ovk_json_read_file(dir.file("missing.json")), nullptr);
    EXPECT_EQ(log.text(), "");
    ovk_test::write_file(dir.file("bad.json"), "{\"n\": 5,");
    EXPECT_EQ(ovk_json_read_file(dir.file("bad.json")), nullptr);
    EXPECT_TRUE(log.has("invalid JSON in " + dir.file("bad.json")));
    EXPECT_EQ(ovk_json_write_file(dir.file("c.json"), nullptr, false), -1);
    EXPECT_FALSE(ovk_test::file_exists(dir.file("c.json")));
}

// ---------------------------------------------------------------------------------------
// Files, clock, assets
// ---------------------------------------------------------------------------------------

TEST(AppUtilFiles, MkdirsCreatesEveryLevel) {
    TempDir dir;
    {
        ChdirGuard cd(dir.path());
        ASSERT_EQ(ovk_mkdirs("a/b/c/"), 0);
        EXPECT_TRUE(is_dir("a"));
        EXPECT_TRUE(is_dir("a/b"));
        EXPECT_TRUE(is_dir("a/b/c"));
        EXPECT_EQ(ovk_mkdirs("a/b/c"), 0);  // existing is fine
    }
    ASSERT_EQ(ovk_mkdirs(dir.file("x/y/z")), 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("x/y").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ovk_mkdirs(""), -1);
    ovk_test::write_file(dir.file("plain"), "x");
    EXPECT_EQ(ovk_mkdirs(dir.file("plain/sub/dir")), -1);
    EXPECT_FALSE(is_dir(dir.file("plain/sub")));
    // A file (or a link to nowhere) where the directory should be is not success.
    EXPECT_EQ(ovk_mkdirs(dir.file("plain")), -1);
    EXPECT_EQ(ovk_mkdirs(dir.file("plain/")), -1);
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_EQ(ovk_mkdirs(dir.file("dangling")), -1);
    // A link to a directory is that directory.
    ASSERT_EQ(symlink(dir.file("x").c_str(), dir.file("to_x").c_str()), 0);
    EXPECT_EQ(ovk_mkdirs(dir.file("to_x/y/w")), 0);
    EXPECT_TRUE(is_dir(dir.file("x/y/w")));
}

TEST(AppUtilFiles, ARewrittenFileKeepsItsMode) {
    TempDir dir;
    const std::string p = dir.file("trips.json");
    auto mode = [&] {
        struct stat sb {};
        return ::stat(p.c_str(), &sb) == 0 ? static_cast<int>(sb.st_mode & 07777) : -1;
    };
    ASSERT_EQ(ovk_write_file_atomic(p, "[]"), 0);
    for (const int m : {0600, 0640, 0444}) {
        ASSERT_EQ(chmod(p.c_str(), static_cast<mode_t>(m)), 0);
        ASSERT_EQ(ovk_write_file_atomic(p, "[{\"id\":" + std::to_string(m) + "}]"), 0);
        EXPECT_EQ(mode(), m);
        EXPECT_EQ(ovk_test::read_file(p), "[{\"id\":" + std::to_string(m) + "}]");
    }
    // A temporary file left by an earlier run does not lend the new file its mode either.
    ASSERT_EQ(chmod(p.c_str(), 0600), 0);
    ovk_test::write_file(p + ".tmp", "stale");
    ASSERT_EQ(chmod((p + ".tmp").c_str(), 0666), 0);
    ASSERT_EQ(ovk_write_file_atomic(p, "[]"), 0);
    EXPECT_EQ(mode(), 0600);
}

TEST(AppUtilFiles, AtomicWriteReplacesWholeFile) {
    TempDir dir;
    const std::string p = dir.file("f.txt");
    ASSERT_EQ(ovk_write_file_atomic(p, "first version"), 0);
    EXPECT_EQ(ovk_test::read_file(p), "first version");
    ASSERT_EQ(ovk_write_file_atomic(p, "v2"), 0);
    EXPECT_EQ(ovk_test::read_file(p), "v2");
    ASSERT_EQ(ovk_write_file_atomic(p, ""), 0);
    EXPECT_TRUE(ovk_test::file_exists(p));
    EXPECT_EQ(ovk_test::read_file(p), "");
    EXPECT_FALSE(ovk_test::file_exists(p + ".tmp"));
    const std::string bin("a\0b\nc", 5);
    ASSERT_EQ(ovk_write_file_atomic(p, bin), 0);
    EXPECT_EQ(ovk_test::read_file(p), bin);
}

TEST(AppUtilFiles, FailedRenameKeepsTheOldFileAndLeavesNoTemp) {
    TempDir dir;
    // The target is a directory with content: the rename over it fails.
    const std::string p = dir.file("target");
    ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
    ovk_test::write_file(p + "/inside", "old content");
    LogCapture log;
    EXPECT_EQ(ovk_write_file_atomic(p, "new content"), -1);
    EXPECT_TRUE(log.has("atomic write of " + p + " failed: "));
    EXPECT_EQ(ovk_test::read_file(p + "/inside"), "old content");
    EXPECT_FALSE(ovk_test::file_exists(p + ".tmp"));
}

TEST(AppUtilFiles, FailedWriteKeepsTheOldFileAndLeavesNoTemp) {
    TempDir dir;
    const std::string p = dir.file("f.json");
    ASSERT_EQ(ovk_write_file_atomic(p, "old"), 0);
    // A file-size limit makes the write itself fail half-way.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = 1024;  // room for the log line, not for the data
    auto prev = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    int rc;
    {
        LogCapture log;
        rc = ovk_write_file_atomic(p, std::string(8192, 'n'));
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_TRUE(log.has("atomic write of " + p + " failed: File too large"));
    }
    signal(SIGXFSZ, prev);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(ovk_test::read_file(p), "old");
    EXPECT_FALSE(ovk_test::file_exists(p + ".tmp"));
}

TEST(AppUtilFiles, StreamedWriteWritesEveryPieceInOrderOrNothing) {
    TempDir dir;
    const std::string p = dir.file("big.json");
    ASSERT_EQ(ovk_write_file_atomic(p, "old"), 0);
    // Small pieces, one larger than the gathering buffer, then small ones again.
    std::string expected;
    auto fill = [&expected](OVK_FILE_OUT& out, int abandon_after) {
        expected.clear();
        for (int i = 0; i < 30000; ++i) {
            if (i == abandon_after) return false;
            std::string piece = i == 15000 ? std::string(200000, 'x') : std::to_string(i) + ",";
            expected += piece;
            if (!out.put(piece)) return false;
        }
        return true;
    };
    uint64_t written = 7;
    {
        LogCapture log;
        EXPECT_EQ(ovk_write_file_atomic_stream(
                      p, [&](OVK_FILE_OUT& out) { return fill(out, 20000); }, &written),
                  -1);
        EXPECT_TRUE(log.has("atomic write of " + p + " failed"));
    }
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(ovk_test::read_file(p), "old") << "an abandoned write leaves the old file";
    EXPECT_FALSE(ovk_test::file_exists(p + ".tmp"));
    ASSERT_EQ(ovk_write_file_atomic_stream(
                  p, [&](OVK_FILE_OUT& out) { return fill(out, -1); }, &written),
              0);
    EXPECT_TRUE(ovk_test::read_file(p) == expected);
    EXPECT_EQ(written, expected.size());
    EXPECT_FALSE(ovk_test::file_exists(p + ".tmp"));
    const std::string last = expected;
    // A failing write half-way (a file-size limit) is reported and leaves the last file.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = 100000;
    auto prev = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    int rc;
    {
        LogCapture log;
        rc = ovk_write_file_atomic_stream(p, [&](OVK_FILE_OUT& out) { return fill(out, -1); });
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_TRUE(log.has("atomic write of " + p + " failed: File too large"));
    }
    signal(SIGXFSZ, prev);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(ovk_test::read_file(p) == last);
    EXPECT_FALSE(ovk_test::file_exists(p + ".tmp"));
}

// This program's fsync: the real one, except that it fails on directories while
// g_fail_dir_fsync is set (no file system here refuses to sync a folder on demand).
std::atomic<bool> g_fail_dir_fsync{false};
extern "C" int fsync(int fd) {
    struct stat st {};
    if (g_fail_dir_fsync.load() && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
    return real ? real(fd) : 0;
}

TEST(AppUtilFiles, FolderSyncFailureAfterTheRenameIsNoFailedWrite) {
    TempDir dir;
    const std::string p = dir.file("f.json");
    ASSERT_EQ(ovk_write_file_atomic(p, "old"), 0);
    LogCapture log;
    g_fail_dir_fsync = true;
    const int rc = ovk_write_file_atomic(p, "new");
    g_fail_dir_fsync = false;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ovk_test::read_file(p), "new");
    EXPECT_TRUE(log.has("atomic write of " + p + ": cannot sync its folder: Input/output error"));
    EXPECT_FALSE(log.has("failed"));
}

TEST(AppUtilFiles, UnopenableTempIsReportedWithItsName) {
    TempDir dir;
    const std::string p = dir.file("no/such/dir/f.json");
    LogCapture log;
    EXPECT_EQ(ovk_write_file_atomic(p, "x"), -1);
    EXPECT_TRUE(log.has("cannot write " + p + ".tmp: No such file or directory"));
}

TEST(AppUtilFiles, ReadsWholeFilesOfAnySize) {
    TempDir dir;
    EXPECT_FALSE(ovk_read_file(dir.file("missing")).has_value());
    ovk_test::write_file(dir.file("empty"), "");
    auto e = ovk_read_file(dir.file("empty"));
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, "");
    std::string big;
    for (int i = 0; i < 50000; ++i) big += static_cast<char>(i * 7);
    ovk_test::write_file(dir.file("big"), big);
    auto b = ovk_read_file(dir.file("big"));
    ASSERT_TRUE(b);
    EXPECT_EQ(*b, big);
    EXPECT_FALSE(ovk_read_file(dir.path()).has_value());  // a directory cannot be read
}

TEST(AppUtilFiles, ReadsStreamsWhoseSizeIsUnknown) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string data;
    for (int i = 0; i < 30000; ++i) data += static_cast<char>('a' + i % 26);
    std::thread writer([&] {
        FILE* f = fopen(fifo.c_str(), "wb");
        if (!f) return;
        // Small pieces, so the reader sees short blocks before the end.
        for (size_t off = 0; off < data.size(); off += 1000) {
            fwrite(data.data() + off, 1, std::min<size_t>(1000, data.size() - off), f);
            fflush(f);
        }
        fclose(f);
    });
    auto got = ovk_read_file(fifo);
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, data);
}

TEST(AppUtilFiles, ClockIsWallClockMilliseconds) {
    const int64_t before = static_cast<int64_t>(time(nullptr)) * 1000;
    const int64_t now = ovk_now_ms();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2000);
}

TEST(AppUtilFiles, FileViewsShowWholeFilesOfEveryKind) {
    TempDir dir;
    EXPECT_FALSE(ovk_file_view(dir.file("missing")).has_value());
    ovk_test::write_file(dir.file("empty"), "");
    auto e = ovk_file_view(dir.file("empty"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->view(), "");
    const std::string data("line one\n\0binary\xff", 17);
    ovk_test::write_file(dir.file("f"), data);
    std::optional<OVK_FILE_VIEW> v = ovk_file_view(dir.file("f"));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->view(), data);
    // Moving keeps the view valid; the moved-from view is empty.
    OVK_FILE_VIEW moved = std::move(*v);
    EXPECT_EQ(moved.view(), data);
    EXPECT_EQ(v->view(), "");
    // A file replaced by rename while viewed: the view keeps the old content.
    ASSERT_EQ(ovk_write_file_atomic(dir.file("f"), "new"), 0);
    EXPECT_EQ(moved.view(), data);
    // A stream without a size is read instead of mapped.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FILE* f = fopen(fifo.c_str(), "wb");
        if (!f) return;
        fputs("{\"streamed\":1}", f);
        fclose(f);
    });
    auto s = ovk_file_view(fifo);
    writer.join();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->view(), "{\"streamed\":1}");
}
