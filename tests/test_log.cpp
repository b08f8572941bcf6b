// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "zq_log.h"

// Logging keeps process-wide state. The first test must see the untouched state, so it is
// defined first (tests run in definition order, and ctest runs each in its own process).

namespace {

// Captures log lines in a temporary stream for the life of the object.
class Capture {
  public:
    Capture() : f_(tmpfile()) { zq_log_set_stream(f_); }
    ~Capture() {
        zq_log_set_stream(nullptr);
        if (f_) fclose(f_);
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        if (!f_) return out;
        fflush(f_);
        rewind(f_);
        std::string cur;
        for (int c; (c = fgetc(f_)) != EOF;) {
            if (c == '\n') {
                out.push_back(cur);
                cur.clear();
            } else {
                cur.push_back(static_cast<char>(c));
            }
        }
        if (!cur.empty()) out.push_back(cur);
        fseek(f_, 0, SEEK_END);
        return out;
    }
    void reset() {
        if (f_) {
            fclose(f_);
            f_ = tmpfile();
            zq_log_set_stream(f_);
        }
    }

  private:
    FILE* f_;
};

std::string strip_colors(std::string s) {
    for (size_t p; (p = s.find('\33')) != std::string::npos;) {
        const size_t m = s.find('m', p);
        s.erase(p, m == std::string::npos ? std::string::npos : m - p + 1);
    }
    return s;
}

}  // namespace

TEST(Log, NothingPrintedBeforeTheLevelIsSet) {
    ASSERT_EQ(get_log_level(), -1);
    Capture cap;
    zq_log(LOG_EMERG, "emergency %d", 0);
    zq_log(LOG_ERR, "error");
    EXPECT_TRUE(cap.lines().empty());
}

TEST(Log, ThresholdThreeVersusSeven) {
    Capture cap;
    set_log_level(3);
    EXPECT_EQ(get_log_level(), 3);
    for (int lvl = 0; lvl <= 7; ++lvl) zq_log(lvl, "level %d", lvl);
    zq_log(-1, "never");
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 4u);
    for (int lvl = 0; lvl <= 3; ++lvl)
        EXPECT_NE(lines[lvl].find("level " + std::to_string(lvl)), std::string::npos);

    cap.reset();
    set_log_level(7);
    for (int lvl = 0; lvl <= 8; ++lvl) zq_log(lvl, "level %d", lvl);
    zq_log(-1, "never");
    lines = cap.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_NE(lines[7].find("level 7"), std::string::npos);
    EXPECT_EQ(strip_colors(lines[7]).rfind("DEBUG:", 0), 0u);
}

TEST(Log, LineFormat) {
    Capture cap;
    set_log_level(7);
    const intmax_t before = time(nullptr);
    const int line = __LINE__ + 1;
    zq_log(LOG_ERR, "cannot write %s: %s", "x.json", "No space");
    const intmax_t after = time(nullptr);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string l = lines[0];
    if (zq_log_colors()) {
        ASSERT_EQ(l.rfind("\33[31m", 0), 0u);
        ASSERT_GE(l.size(), 4u);
        EXPECT_EQ(l.substr(l.size() - 4), "\33[0m");
        l = l.substr(5, l.size() - 9);
    } else {
        EXPECT_EQ(l.find('\33'), std::string::npos);
    }
    char name[16] = {};
    intmax_t epoch = 0;
    int consumed = 0;
    ASSERT_EQ(sscanf(l.c_str(), "%15[^:]:%jd:%n", name, &epoch, &consumed), 2);
    EXPECT_STREQ(name, "ERR");
    EXPECT_GE(epoch, before);
    EXPECT_LE(epoch, after);
    const std::string rest = l.substr(static_cast<size_t>(consumed));
    const std::string want = std::string(__FILE__) + "->" + "TestBody" + ":" +
                             std::to_string(line) + " cannot write x.json: No space";
    EXPECT_EQ(rest, want);
}

TEST(Log, LevelAboveSevenHasNoName) {
    Capture cap;
    set_log_level(9);
    zq_log(8, "eight");
    zq_log(10, "ten");
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string plain = strip_colors(lines[0]);
    EXPECT_EQ(plain[0], ':');  // empty level name, then the epoch
    EXPECT_NE(plain.find(" eight"), std::string::npos);
    if (zq_log_colors()) {
        EXPECT_EQ(lines[0].rfind("\33[37m", 0), 0u);
    }
}

TEST(Log, FailedCheckLineAtDebugLevel) {
    Capture cap;
    set_log_level(7);
    auto f = [](const int* p) -> int {
        OVK_CHECK(p, -1);
        return *p;
    };
    EXPECT_EQ(f(nullptr), -1);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string plain = strip_colors(lines[0]);
    EXPECT_EQ(plain.rfind("DEBUG:", 0), 0u);
    EXPECT_NE(plain.find("if( !(p) ) assert at line "), std::string::npos);
    EXPECT_NE(plain.find(std::string(" of ") + __FILE__), std::string::npos);
    cap.reset();
    set_log_level(6);
    EXPECT_EQ(f(nullptr), -1);
    EXPECT_TRUE(cap.lines().empty());
}

TEST(Log, SyslogModeKeepsThresholdAndLeavesTheStream) {
    Capture cap;
    set_log_level(5);
    set_log_level(ZQ_LOG_TYPE_SYSLOG);
    EXPECT_EQ(get_log_level(), 5);
    zq_log(LOG_NOTICE, "to the system log");
    EXPECT_TRUE(cap.lines().empty());
    set_log_level(ZQ_LOG_TYPE_STREAM_ALT);
    EXPECT_EQ(get_log_level(), 5);
    set_log_level(ZQ_LOG_TYPE_STREAM);
    EXPECT_EQ(get_log_level(), 5);
    zq_log(LOG_NOTICE, "back on the stream");
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("back on the stream"), std::string::npos);
}
