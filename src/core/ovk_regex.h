// SPDX-License-Identifier: GPL-3.0-or-later
// A small backtracking pattern matcher over byte strings, used for device names, SSIDs and
// vendor names. A pattern is compiled once into byte sets and groups; a compiled pattern is
// immutable and may be used from several threads at once.
//
// Dialect (everything else is a literal byte):
//   .            any byte, newline included
//   [..] [^..]   class; ']' first is literal, '-' first or last is literal, x-y inclusive,
//                \d \w \s \D \W \S add named sets, '\' before anything else is that character
//   \d \w \s     digits; ASCII letters, digits and '_'; space \t \n \r \f \v
//   \D \W \S     their complements over all 256 byte values
//   \t \n        tab, line feed (outside classes)
//   \b \B        word boundary, not a word boundary
//   \x           any other character x literally; a trailing '\' is a literal backslash
//   ^ $          start of text, end of text (no multi-line mode)
//   (..) (?:..)  group (nothing is captured); '|' separates alternatives, empty ones allowed
//   * + ? {n} {n,} {n,m}   greedy quantifiers; one '?' or '+' right after is ignored
// A pattern starting with "(?i)" is case-insensitive. Case folding happens at compile time,
// so matching a byte is one bit test.
//
// Matching runs on an explicit stack of choice points (no recursion). A branch nested deeper
// than OVK_REGEX_DEPTH_LIMIT steps fails, and a single call gives up with "no match" after
// OVK_REGEX_WORK_LIMIT + OVK_REGEX_WORK_PER_BYTE x (text length + 1) units of work, so no
// pattern can exhaust the stack or hang a caller, while a search that needs only a few steps
// per byte of text always runs to its answer, however long the text.
// Matching allocates nothing except a per-thread scratch stack on the first call in a thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

inline constexpr int OVK_REGEX_ICASE = 1;  // compile flag: case-insensitive
inline constexpr int OVK_REGEX_DEPTH_LIMIT = 20000;
inline constexpr long OVK_REGEX_WORK_LIMIT = 1000L * 1000;
inline constexpr long OVK_REGEX_WORK_PER_BYTE = 64;
inline constexpr int OVK_REGEX_INF = 2147483647;  // "no upper bound" of a quantifier

enum RE_KIND : int {
    RE_BYTE = 1,       // one byte from `set`
    RE_BOL = 2,        // start of text
    RE_EOL = 3,        // end of text
    RE_WORDB = 4,      // word boundary
    RE_NOT_WORDB = 5,  // not a word boundary
    RE_GROUP = 6,      // one of the alternatives, tried in order
};

struct RE_NODE {
    RE_KIND kind = RE_BYTE;
    int min = 1;
    int max = 1;
    std::array<uint8_t, 32> set{};  // membership bit map over byte values (RE_BYTE)
    int alts = 0;                   // index of the first alternative in OVK_REGEX::seqs
    int nalts = 0;
};

// A sequence: nodes[first .. first + n) of OVK_REGEX::nodes.
struct RE_SEQ {
    int first = 0;
    int n = 0;
};

// Compiled pattern. seqs[root] holds one group node (1..1) whose alternatives are the
// pattern's top-level alternatives; every sequence's nodes are contiguous and every group's
// alternatives are consecutive sequences.
struct OVK_REGEX {
    std::vector<RE_NODE> nodes;
    std::vector<RE_SEQ> seqs;
    int root = 0;
    int icase = 0;
    // Search shortcuts, derived when compiling: the bytes a non-empty match can start with,
    // whether a match can be empty, whether every alternative starts with '^'.
    std::array<uint8_t, 32> first{};
    int can_be_empty = 1;
    int anchored = 0;
    // A pattern of one alternative that begins with `lead_fixed` single-byte nodes and then an
    // unbounded byte node (`lead_run`, its index in `nodes`; -1 for other patterns). When a
    // search attempt fails after that node ran to offset p, no start up to p - lead_fixed can
    // succeed (it would retry the same rest at the same offsets), so the search skips them.
    int lead_run = -1;
    int lead_fixed = 0;
};
using OVK_REGEX_PTR = std::unique_ptr<const OVK_REGEX>;

// nullptr on a syntax error (logged with the offset) or allocation failure.
OVK_REGEX_PTR ovk_regex_compile(std::string_view pattern, int flags);

// 1 when the pattern matches at or after byte offset `from`; reports the leftmost start and
// the length of the match found there (either pointer may be null). 0 when there is no
// match, `from` is past the end, or `re` is null.
int ovk_regex_find(const OVK_REGEX* re, std::string_view text, size_t from, size_t* start,
                   size_t* len);
int ovk_regex_search(const OVK_REGEX* re, std::string_view text);
// 1 when the whole text matches.
int ovk_regex_full(const OVK_REGEX* re, std::string_view text);

// Compile, match, release; 0 when the pattern does not compile.
int ovk_regex_search_str(std::string_view pattern, int flags, std::string_view text);
int ovk_regex_full_str(std::string_view pattern, int flags, std::string_view text);
