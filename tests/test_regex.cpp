// SPDX-License-Identifier: GPL-3.0-or-later
// ovk-test: threaded
// Pattern matcher: dialect, quantifier rules, case folding, search/full semantics, the depth
// and work limits, sharing a compiled pattern between threads, and a differential check of
// the stack-based matcher against a plainly recursive matcher over the same compiled form.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ovk_regex.h"
#include "zq_log.h"

namespace {

using std::string;

int S(const char* pat, std::string_view text, int flags = 0) {
    return ovk_regex_search_str(pat, flags, text);
}
int F(const char* pat, std::string_view text, int flags = 0) {
    return ovk_regex_full_str(pat, flags, text);
}

// Returns {start, len} of the leftmost match or {-1, -1}.
std::pair<long, long> find(const char* pat, std::string_view text, size_t from = 0) {
    OVK_REGEX_PTR re = ovk_regex_compile(pat, 0);
    if (!re) return {-2, -2};
    size_t st = 99, ln = 99;
    if (!ovk_regex_find(re.get(), text, from, &st, &ln)) return {-1, -1};
    return {static_cast<long>(st), static_cast<long>(ln)};
}

// Captures log lines written while it lives.
class LogCapture {
  public:
    LogCapture() : f_(tmpfile()), old_level_(get_log_level()) {
        set_log_level(LOG_DEBUG);
        zq_log_set_stream(f_);
    }
    ~LogCapture() {
        zq_log_set_stream(nullptr);
        set_log_level(old_level_ < 0 ? 4 : old_level_);
        if (f_) fclose(f_);
    }
    string text() {
        fflush(f_);
        rewind(f_);
        string s;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f_)) > 0) s.append(buf, n);
        return s;
    }

  private:
    FILE* f_;
    int old_level_;
};

TEST(RegexDialect, CaseFoldingAndAnchors) {
    EXPECT_EQ(S("(?i)axon", "AXON Body 3"), 1);
    EXPECT_EQ(S("axon", "AXON Body 3"), 0);
    EXPECT_EQ(S("axon", "AXON Body 3", OVK_REGEX_ICASE), 1);
    EXPECT_EQ(S("^AXON", "x AXON"), 0);
    EXPECT_EQ(S("^AXON", "AXON x"), 1);
    EXPECT_EQ(S("x$", "xx "), 0);
    EXPECT_EQ(S("x$", "a\nx"), 1);
    EXPECT_EQ(S("^b", "a\nb"), 0);  // no multi-line mode
    // "(?i)" only counts at the very start: elsewhere it is a group holding "?i"
    EXPECT_EQ(S("a(?i)b", "A?iB"), 0);
    EXPECT_EQ(F("a(?i)b", "a?ib"), 1);
    // folding covers literals and range members but not named sets
    EXPECT_EQ(F("(?i)[a-c]+", "AbC"), 1);
    EXPECT_EQ(F("(?i)[^a]", "A"), 0);
    EXPECT_EQ(F("(?i)\\D", "5"), 0);
    OVK_REGEX_PTR re = ovk_regex_compile("(?i)x", 0);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->icase, 1);
    EXPECT_EQ(ovk_regex_compile("x", 0)->icase, 0);
}

TEST(RegexDialect, DotClassesAndEscapes) {
    EXPECT_EQ(F("a.c", string("a\nc")), 1);
    EXPECT_EQ(F("a.c", string("a\0c", 3)), 1);
    EXPECT_EQ(F("[]a]", "]"), 1);
    EXPECT_EQ(F("[]a]", "a"), 1);
    EXPECT_EQ(F("[]a]", "b"), 0);
    EXPECT_EQ(F("[^]a]", "]"), 0);
    EXPECT_EQ(F("[^]a]", "b"), 1);
    EXPECT_EQ(F("[^0-9]", "5"), 0);
    EXPECT_EQ(F("[^0-9]", "x"), 1);
    EXPECT_EQ(F("[^0-9]", "\xC3"), 1);
    EXPECT_EQ(F("[z-a]", "m"), 0);  // reversed range adds nothing
    EXPECT_EQ(F("[z-a]", "-"), 0);
    EXPECT_EQ(F("[-a]", "-"), 1);  // '-' first
    EXPECT_EQ(F("[a-]", "-"), 1);  // '-' last
    EXPECT_EQ(F("[a-]", "b"), 0);
    EXPECT_EQ(F("[\\t]", "t"), 1);  // backslash-t inside a class is the letter t
    EXPECT_EQ(F("[\\t]", "\t"), 0);
    EXPECT_EQ(F("[\\]]", "]"), 1);
    EXPECT_EQ(F("[\\d_]+", "12_3"), 1);
    EXPECT_EQ(F("[\\W]", "a"), 0);
    EXPECT_EQ(F("[a-\\d]+", "a-5"), 1);  // a range cannot end in a named set
    EXPECT_EQ(F("\\d\\w\\s", "7_\v"), 1);
    EXPECT_EQ(F("\\D\\W\\S", "x-y"), 1);
    EXPECT_EQ(F("\\D\\W\\S", "5-y"), 0);
    EXPECT_EQ(F("\\D\\W\\S", "x_y"), 0);
    EXPECT_EQ(F("\\D\\W\\S", "x- "), 0);
    EXPECT_EQ(F("\\D\\W\\S", "\xFF\xFF\xFF"), 1);
    EXPECT_EQ(F("\\t\\n", "\t\n"), 1);
    EXPECT_EQ(F("\\r", "r"), 1);  // other escapes are literal
    EXPECT_EQ(F("\\.", "."), 1);
    EXPECT_EQ(F("\\.", "x"), 0);
    EXPECT_EQ(F("a\\", "a\\"), 1);  // trailing backslash
    EXPECT_EQ(F("a{,3}", "a{,3}"), 1);
    EXPECT_EQ(F("a{,3}", "aaa"), 0);
    EXPECT_EQ(F("x{y}", "x{y}"), 1);
    EXPECT_EQ(F("a}", "a}"), 1);
    EXPECT_EQ(F("a]", "a]"), 1);
}

TEST(RegexDialect, BoundariesGroupsAndAlternatives) {
    EXPECT_EQ(S("\\bcam\\b", "body cam 3"), 1);
    EXPECT_EQ(S("\\bcam\\b", "camera"), 0);
    EXPECT_EQ(S("\\Bcam", "webcam"), 1);
    EXPECT_EQ(S("\\Bcam", "cam"), 0);
    EXPECT_EQ(F("\\b", ""), 0);  // no word on either side
    EXPECT_EQ(F("(a|ab)c", "abc"), 1);
    EXPECT_EQ(F("(?:a|ab)c", "abc"), 1);
    EXPECT_EQ(F("a(|b)c", "ac"), 1);
    EXPECT_EQ(F("a(|b)c", "abc"), 1);
    EXPECT_EQ(F("|x", ""), 1);
    EXPECT_EQ(F("", ""), 1);
    EXPECT_EQ(F("", "a"), 0);
    EXPECT_EQ(F("(ab)+", "ababab"), 1);
    EXPECT_EQ(F("(ab)+", "ababa"), 0);
    EXPECT_EQ(F("((a|b)c){2}", "acbc"), 1);
    EXPECT_EQ(F("(a){0}b", "b"), 1);
    EXPECT_EQ(F("(a){0}b", "ab"), 0);
    // alternatives are tried left to right: the first that leads to success wins
    EXPECT_EQ(find("a|ab", "ab"), std::make_pair(0L, 1L));
    EXPECT_EQ(find("ab|a", "ab"), std::make_pair(0L, 2L));
}

TEST(RegexQuantifiers, BoundsGreedinessAndLiteralFallbacks) {
    EXPECT_EQ(F("a{2,3}", "aa"), 1);
    EXPECT_EQ(F("a{2,3}", "aaa"), 1);
    EXPECT_EQ(F("a{2,3}", "a"), 0);
    EXPECT_EQ(F("a{2,3}", "aaaa"), 0);
    EXPECT_EQ(F("a{2}", "aa"), 1);
    EXPECT_EQ(F("a{2,}", "aaaaa"), 1);
    EXPECT_EQ(F("a{2,}", "a"), 0);
    EXPECT_EQ(F("a{0,0}b", "b"), 1);
    EXPECT_EQ(F("ab?c", "ac"), 1);
    EXPECT_EQ(F("ab+c", "ac"), 0);
    // greedy: the longest run is tried first
    EXPECT_EQ(find("a*", "aaab"), std::make_pair(0L, 3L));
    EXPECT_EQ(find("x*", "abc"), std::make_pair(0L, 0L));
    EXPECT_EQ(find("a+?", "aaa"), std::make_pair(0L, 3L));  // '?' after a quantifier ignored
    EXPECT_EQ(find("a*+", "aaa"), std::make_pair(0L, 3L));  // so is '+'
    // a second quantifier character after the ignored one is a literal
    EXPECT_EQ(F("a*?+", "aa+"), 1);
    EXPECT_EQ(F("a*??", "aa?"), 1);
    EXPECT_EQ(F("a**", "aa*"), 1);
    EXPECT_EQ(F("a{2}{3}", "aa{3}"), 1);
    // at the start of a pattern or alternative, or after an anchor: literal
    EXPECT_EQ(F("*a", "*a"), 1);
    EXPECT_EQ(F("+", "+"), 1);
    EXPECT_EQ(F("x|?", "?"), 1);
    EXPECT_EQ(F("(*)", "*"), 1);
    EXPECT_EQ(S("^*", "*x"), 1);
    EXPECT_EQ(S("^*", "x"), 0);
    EXPECT_EQ(F("^{2}", "{2}"), 1);
    EXPECT_EQ(F("\\b+a", "+a"), 0);  // '+' is a literal after \b; no boundary before '+'
    EXPECT_EQ(F("x\\b+", "x+"), 1);
    // a literal that stood for a quantifier can itself be quantified
    EXPECT_EQ(F("*+", "***"), 1);

    OVK_REGEX_PTR re = ovk_regex_compile("a{2,3}", 0);
    ASSERT_TRUE(re);
    const RE_NODE& a = re->nodes[re->seqs[re->nodes[0].alts].first];
    EXPECT_EQ(a.min, 2);
    EXPECT_EQ(a.max, 3);
    re = ovk_regex_compile("b*", 0);
    EXPECT_EQ(re->nodes[re->seqs[re->nodes[0].alts].first].max, OVK_REGEX_INF);
}

TEST(RegexCompile, RootShapeAndSyntaxErrors) {
    OVK_REGEX_PTR re = ovk_regex_compile("ab|c|", 0);
    ASSERT_TRUE(re);
    ASSERT_EQ(re->seqs[re->root].n, 1);
    const RE_NODE& g = re->nodes[re->seqs[re->root].first];
    EXPECT_EQ(g.kind, RE_GROUP);
    EXPECT_EQ(g.min, 1);
    EXPECT_EQ(g.max, 1);
    EXPECT_EQ(g.nalts, 3);

    struct Bad {
        const char* pat;
        int offset;
    };
    const Bad bad[] = {
        {"(abc", 4},   {"abc)", 3},  {"[abc", 4}, {"a{3,2}", 5}, {"a{2", 3},
        {"a{2,x}", 4}, {"a{2x}", 3}, {"((a)", 4}, {"[\\", 2},    {"a{99999999999}", 11},
        {"(?i)(x", 6}, {"[a-\\", 4},
    };
    for (const Bad& b : bad) {
        LogCapture log;
        EXPECT_FALSE(ovk_regex_compile(b.pat, 0)) << b.pat;
        const string want =
            "regex syntax error near offset " + std::to_string(b.offset) + " in \"" + b.pat + "\"";
        EXPECT_NE(log.text().find(want), string::npos) << b.pat << " log: " << log.text();
        EXPECT_EQ(ovk_regex_search_str(b.pat, 0, "abc"), 0);
    }
    EXPECT_TRUE(ovk_regex_compile("a{2147483646}", 0));
}

TEST(RegexCompile, SearchShortcuts) {
    auto first_has = [](const OVK_REGEX& re, unsigned char c) {
        return (re.first[c >> 3] >> (c & 7)) & 1;
    };
    OVK_REGEX_PTR re = ovk_regex_compile("(?:x?|^)b?[cd]+", 0);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->can_be_empty, 0);
    EXPECT_EQ(re->anchored, 0);
    for (unsigned char c : {'x', 'b', 'c', 'd'}) EXPECT_TRUE(first_has(*re, c)) << c;
    for (unsigned char c : {'X', 'B', 'e', 'a', '^'}) EXPECT_FALSE(first_has(*re, c)) << c;
    // a group in the middle ("(?i)" is not a flag there) ends the nullable prefix
    re = ovk_regex_compile("(?:x?|^)(?i)b", 0);
    EXPECT_TRUE(first_has(*re, '?'));
    EXPECT_FALSE(first_has(*re, 'b'));
    EXPECT_EQ(ovk_regex_compile("^a|^b", 0)->anchored, 1);
    EXPECT_EQ(ovk_regex_compile("^a|b", 0)->anchored, 0);
    EXPECT_EQ(ovk_regex_compile("(a|b*)c*", 0)->can_be_empty, 1);
    EXPECT_EQ(ovk_regex_compile("\\b$", 0)->can_be_empty, 1);
    // the shortcuts never hide a match: these start on a byte outside any literal prefix
    EXPECT_EQ(find("^a|b", "xb"), std::make_pair(1L, 1L));
    EXPECT_EQ(find("(?:x?|^)b?[cd]+", "zzd"), std::make_pair(2L, 1L));
    EXPECT_EQ(find("[^a]", "aaa"), std::make_pair(-1L, -1L));
}

TEST(RegexFind, OffsetsAndNullArguments) {
    OVK_REGEX_PTR re = ovk_regex_compile("b+", 0);
    ASSERT_TRUE(re);
    size_t st = 0, ln = 0;
    ASSERT_EQ(ovk_regex_find(re.get(), "abbcb", 0, &st, &ln), 1);
    EXPECT_EQ(st, 1u);
    EXPECT_EQ(ln, 2u);
    ASSERT_EQ(ovk_regex_find(re.get(), "abbcb", 3, &st, &ln), 1);
    EXPECT_EQ(st, 4u);
    EXPECT_EQ(ln, 1u);
    EXPECT_EQ(ovk_regex_find(re.get(), "abbcb", 5, &st, &ln), 0);
    EXPECT_EQ(ovk_regex_find(re.get(), "abbcb", 6, nullptr, nullptr), 0);
    EXPECT_EQ(ovk_regex_find(re.get(), "abbcb", 1, nullptr, nullptr), 1);
    // an empty match at the very end is a match
    EXPECT_EQ(find("$", "abc"), std::make_pair(3L, 0L));
    EXPECT_EQ(find("x*", "abc", 3), std::make_pair(3L, 0L));
    EXPECT_EQ(find("x*", "abc", 4), std::make_pair(-1L, -1L));
    // '^' is the start of the text, not of the search
    EXPECT_EQ(find("^a", "aa", 1), std::make_pair(-1L, -1L));
    // \b looks at the byte before `from`
    EXPECT_EQ(find("\\bb", "ab b", 1), std::make_pair(3L, 1L));

    LogCapture log;
    EXPECT_EQ(ovk_regex_find(nullptr, "x", 0, &st, &ln), 0);
    EXPECT_EQ(ovk_regex_search(nullptr, "x"), 0);
    EXPECT_EQ(ovk_regex_full(nullptr, "x"), 0);
    EXPECT_NE(log.text().find("if( !(re) ) assert"), string::npos);
}

TEST(RegexLimits, DeepRepetitionFailsInsteadOfOverflowing) {
    const string many(30000, 'a');
    OVK_REGEX_PTR re = ovk_regex_compile("(a)*", 0);
    ASSERT_TRUE(re);
    EXPECT_EQ(ovk_regex_full(re.get(), many), 0);  // would need more nesting than allowed
    EXPECT_EQ(ovk_regex_full(re.get(), string(100, 'a')), 1);
    size_t st = 9, ln = 0;
    ASSERT_EQ(ovk_regex_find(re.get(), many, 0, &st, &ln), 1);  // a shorter match still counts
    EXPECT_EQ(st, 0u);
    EXPECT_GT(ln, 1000u);
    EXPECT_LT(ln, many.size());
    // a byte node repeats without nesting, so a long run is fine
    EXPECT_EQ(F("a*", many), 1);
    EXPECT_EQ(F("[ab]{30000}", many), 1);

    // empty iterations cannot loop
    EXPECT_EQ(F("(a*)*", many.substr(0, 500)), 1);
    EXPECT_EQ(F("(a*)*b", many.substr(0, 300)), 0);
    EXPECT_EQ(F("(|a)*", "aaa"), 1);
    EXPECT_EQ(F("(a*){3}", ""), 1);
    EXPECT_EQ(F("(){3}x", "x"), 1);
}

TEST(RegexLimits, ExponentialBacktrackingEndsWithNoMatch) {
    // 2^40 paths: the work limit ends the call with "no match" in bounded time
    const string text = string(40, 'a') + "c";
    EXPECT_EQ(F("(a|a)*b", text), 0);
    EXPECT_EQ(S("(a|a)*b", text), 0);
    EXPECT_EQ(S("(a|aa)*(a|aa)*(a|aa)*x", string(60, 'a')), 0);
    // the same pattern still matches where a match is found quickly
    EXPECT_EQ(F("(a|a)*b", string(40, 'a') + "b"), 1);
}

// Searches whose answer takes a few steps per byte are never cut off by the work limit,
// however long the text; the limit still ends runaway patterns (above).
TEST(RegexLimits, SearchesInLinearWorkAlwaysFinish) {
    const string bs(1000, 'b');
    EXPECT_EQ(find("[a-z]*X", bs + " X"), std::make_pair(1001L, 1L));
    EXPECT_EQ(find("[a-z]+X", bs + " X"), std::make_pair(-1L, -1L));
    EXPECT_EQ(find("[a-z]+X", bs + " aX"), std::make_pair(1001L, 2L));
    // single-byte nodes before the run: the skip never passes a start that could match
    EXPECT_EQ(find("b[a-z]*X", bs + " bX"), std::make_pair(1001L, 2L));
    EXPECT_EQ(find("ab\\w*X", "ab" + bs + " abX"), std::make_pair(1003L, 3L));
    EXPECT_EQ(find("\\w+\\bX", bs + " X"), std::make_pair(-1L, -1L));
    EXPECT_EQ(find("b*c", bs + "c"), std::make_pair(0L, 1001L));
    // a long text: the limit grows with it
    const string long_run(3000000, 'b');
    EXPECT_EQ(S("b*X", long_run + "X"), 1);
    EXPECT_EQ(F("[a-z]*X", long_run + "X"), 1);
}

TEST(RegexThreads, CompiledPatternIsSharedSafely) {
    OVK_REGEX_PTR re = ovk_regex_compile("^(FS|Flock)-[0-9A-F]+(x|y)*$", 0);
    ASSERT_TRUE(re);
    std::vector<std::thread> th;
    std::vector<int> hits(4, 0);
    for (int t = 0; t < 4; ++t) {
        th.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                hits[t] += ovk_regex_full(re.get(), "FS-12AB" + string(i % 7, 'x'));
                hits[t] += ovk_regex_full(re.get(), "Flock-1g");
            }
        });
    }
    for (auto& x : th) x.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(hits[t], 500);
}

// ---- differential check against a recursive matcher over the compiled form ----

struct RK {
    int type;  // 0 rest of sequence, 1 end of a group iteration
    int a, b;
    const RK* next;
    size_t rep_start;
};

class RefMatcher {
  public:
    RefMatcher(const OVK_REGEX& re, const string& t, bool full) : re_(re), t_(t), full_(full) {}
    bool seq(int s, int i, size_t pos, const RK* k) {
        const RE_SEQ& sq = re_.seqs[s];
        if (i == sq.n) return cont(k, pos);
        const int nid = sq.first + i;
        const RE_NODE& nd = re_.nodes[nid];
        switch (nd.kind) {
            case RE_BYTE: {
                size_t n = 0;
                while (pos + n < t_.size() && n < static_cast<size_t>(nd.max) &&
                       ((nd.set[static_cast<uint8_t>(t_[pos + n]) >> 3] >>
                         (static_cast<uint8_t>(t_[pos + n]) & 7)) &
                        1))
                    ++n;
                for (long c = static_cast<long>(n); c >= nd.min; --c)
                    if (seq(s, i + 1, pos + c, k)) return true;
                return false;
            }
            case RE_BOL:
                return pos == 0 && seq(s, i + 1, pos, k);
            case RE_EOL:
                return pos == t_.size() && seq(s, i + 1, pos, k);
            case RE_WORDB:
                return boundary(pos) && seq(s, i + 1, pos, k);
            case RE_NOT_WORDB:
                return !boundary(pos) && seq(s, i + 1, pos, k);
            case RE_GROUP: {
                const RK after{0, s, i + 1, k, 0};
                return rep(nid, 0, pos, &after);
            }
        }
        return false;
    }
    bool rep(int g, int count, size_t pos, const RK* after) {
        const RE_NODE& nd = re_.nodes[g];
        if (count < nd.max) {
            const RK it{1, g, count, after, pos};
            for (int a = 0; a < nd.nalts; ++a)
                if (seq(nd.alts + a, 0, pos, &it)) return true;
        }
        return count >= nd.min && cont(after, pos);
    }
    bool cont(const RK* k, size_t pos) {
        if (!k) {
            if (full_ && pos != t_.size()) return false;
            end = pos;
            return true;
        }
        if (k->type == 0) return seq(k->a, k->b, pos, k->next);
        const int done = k->b + 1;
        if (pos == k->rep_start && done >= re_.nodes[k->a].min) return cont(k->next, pos);
        return rep(k->a, done, pos, k->next);
    }
    size_t end = 0;

  private:
    static bool w(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }
    bool boundary(size_t p) const { return (p > 0 && w(t_[p - 1])) != (p < t_.size() && w(t_[p])); }
    const OVK_REGEX& re_;
    const string& t_;
    bool full_;
};

TEST(RegexDifferential, StackMatcherAgreesWithRecursiveMatcher) {
    std::mt19937 rng(12345);
    const char* const pieces[] = {"a",   "b",   "ab", "[ab]", "[^a]", ".",
                                  "\\b", "\\B", "^",  "$",    "bb"};
    const char* const quants[] = {"", "", "", "*", "+", "?", "{2}", "{1,2}", "{0,}", "*?"};
    int compared = 0, matched = 0;
    for (int iter = 0; iter < 4000; ++iter) {
        // random pattern of pieces, groups and alternatives
        string pat;
        int open = 0;
        const int len = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < len; ++i) {
            const unsigned r = rng() % 10;
            if (r < 2) {
                pat += (rng() % 2) ? "(" : "(?:";
                ++open;
                continue;
            }
            if (r == 2 && open > 0) {
                pat += ")";
                pat += quants[rng() % 10];
                --open;
                continue;
            }
            if (r == 3) {
                pat += "|";
                continue;
            }
            const char* p = pieces[rng() % 11];
            pat += p;
            if (p[0] != '^' && p[0] != '$' && p[0] != '\\') pat += quants[rng() % 10];
        }
        while (open-- > 0) pat += ")*";
        OVK_REGEX_PTR re = ovk_regex_compile(pat, 0);
        ASSERT_TRUE(re) << pat;
        for (int j = 0; j < 6; ++j) {
            string text;
            const int tl = static_cast<int>(rng() % 7);
            for (int c = 0; c < tl; ++c) text += "ab c"[rng() % 4];
            // full match
            RefMatcher rf(*re, text, true);
            const int want_full = rf.seq(re->root, 0, 0, nullptr) ? 1 : 0;
            EXPECT_EQ(ovk_regex_full(re.get(), text), want_full) << pat << " / " << text;
            // search: leftmost start, and the end the first successful path reaches
            long want_start = -1, want_len = -1;
            for (size_t s = 0; s <= text.size(); ++s) {
                RefMatcher rs(*re, text, false);
                if (rs.seq(re->root, 0, s, nullptr)) {
                    want_start = static_cast<long>(s);
                    want_len = static_cast<long>(rs.end - s);
                    break;
                }
            }
            size_t st = 0, ln = 0;
            const int got = ovk_regex_find(re.get(), text, 0, &st, &ln);
            ASSERT_EQ(got, want_start >= 0 ? 1 : 0) << pat << " / " << text;
            if (got) {
                EXPECT_EQ(static_cast<long>(st), want_start) << pat << " / " << text;
                EXPECT_EQ(static_cast<long>(ln), want_len) << pat << " / " << text;
                ++matched;
            }
            ++compared;
        }
    }
    EXPECT_EQ(compared, 24000);
    EXPECT_GT(matched, 2000);  // the generator produces both outcomes
    EXPECT_LT(matched, 23000);
}

}  // namespace
