// SPDX-License-Identifier: GPL-3.0-or-later
// Pattern matcher: parser (iterative, builds a flat node/sequence layout) and a backtracking
// matcher whose continuations live in the frames of an explicit stack.
//
// Index
//   1. byte sets
//   2. parser
//   3. layout (temporary tree -> flat arrays)
//   4. matcher
//   5. public functions
#include "ovk_regex.h"

#include <new>
#include <string>

#include "zq_log.h"

namespace {

// ---------------------------------------------------------------------------------------
// 1. byte sets

using ByteSet = std::array<uint8_t, 32>;

inline void set_add(ByteSet& s, unsigned b) {
    s[(b >> 3) & 31] |= static_cast<uint8_t>(1u << (b & 7));
}
inline bool set_has(const ByteSet& s, unsigned b) {
    return (s[b >> 3] >> (b & 7)) & 1u;
}

inline unsigned ascii_lower(unsigned c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}
inline unsigned ascii_upper(unsigned c) {
    return (c >= 'a' && c <= 'z') ? c - 32 : c;
}

void set_add_folded(ByteSet& s, unsigned b, bool icase) {
    set_add(s, b);
    if (icase) {
        set_add(s, ascii_lower(b));
        set_add(s, ascii_upper(b));
    }
}

bool is_word(unsigned c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_space(unsigned c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Adds the named set of escape letter `e` (d w s D W S); false for any other letter.
bool add_named_set(ByteSet& s, char e) {
    bool neg = false;
    bool (*pred)(unsigned) = nullptr;
    switch (e) {
        case 'D':
            neg = true;
            [[fallthrough]];
        case 'd':
            pred = [](unsigned c) { return c >= '0' && c <= '9'; };
            break;
        case 'W':
            neg = true;
            [[fallthrough]];
        case 'w':
            pred = is_word;
            break;
        case 'S':
            neg = true;
            [[fallthrough]];
        case 's':
            pred = is_space;
            break;
        default:
            return false;
    }
    for (unsigned c = 0; c < 256; ++c)
        if (pred(c) != neg) set_add(s, c);
    return true;
}

// ---------------------------------------------------------------------------------------
// 2. parser

struct TmpNode {
    RE_KIND kind = RE_BYTE;
    int min = 1;
    int max = 1;
    ByteSet set{};
    std::vector<int> alts;  // temporary sequence ids
};

class Parser {
  public:
    Parser(std::string_view pat, size_t start, bool icase) : pat_(pat), p_(start), icase_(icase) {}

    // Returns false with err_ set on a syntax error.
    bool parse();
    size_t err() const { return err_; }

    std::vector<TmpNode> nodes;
    std::vector<std::vector<int>> seqs;

  private:
    enum Last { L_NONE, L_ATOM, L_QUANT, L_QMOD, L_ANCHOR };
    struct Open {
        int group;
        int parent_seq;
    };

    bool fail(size_t at) {
        err_ = at;
        return false;
    }
    int new_seq() {
        seqs.emplace_back();
        return static_cast<int>(seqs.size()) - 1;
    }
    int add_node(TmpNode n) {
        nodes.push_back(std::move(n));
        const int id = static_cast<int>(nodes.size()) - 1;
        seqs[cur_].push_back(id);
        last_node_ = id;
        return id;
    }
    void add_byte(unsigned c) {
        TmpNode n;
        set_add_folded(n.set, c, icase_);
        add_node(std::move(n));
        last_ = L_ATOM;
    }
    void add_set(const ByteSet& s) {
        TmpNode n;
        n.set = s;
        add_node(std::move(n));
        last_ = L_ATOM;
    }
    void add_anchor(RE_KIND k) {
        TmpNode n;
        n.kind = k;
        add_node(std::move(n));
        last_ = L_ANCHOR;
    }
    bool at(size_t i, char c) const { return i < pat_.size() && pat_[i] == c; }
    bool digit_at(size_t i) const { return i < pat_.size() && pat_[i] >= '0' && pat_[i] <= '9'; }
    bool parse_number(int& out);
    bool parse_counted(int& mn, int& mx);
    bool parse_class();

    std::string_view pat_;
    size_t p_;
    bool icase_;
    size_t err_ = 0;
    int cur_ = 0;
    int last_node_ = -1;
    Last last_ = L_NONE;
    std::vector<Open> open_;
};

bool Parser::parse_number(int& out) {
    long v = 0;
    if (!digit_at(p_)) return fail(p_);
    while (digit_at(p_)) {
        v = v * 10 + (pat_[p_] - '0');
        if (v > OVK_REGEX_INF - 1) return fail(p_);  // bounds must fit below "unbounded"
        ++p_;
    }
    out = static_cast<int>(v);
    return true;
}

// p_ is at '{' and a digit follows.
bool Parser::parse_counted(int& mn, int& mx) {
    ++p_;
    if (!parse_number(mn)) return false;
    if (at(p_, '}')) {
        ++p_;
        mx = mn;
        return true;
    }
    if (!at(p_, ',')) return fail(p_);
    ++p_;
    if (at(p_, '}')) {
        ++p_;
        mx = OVK_REGEX_INF;
        return true;
    }
    if (!parse_number(mx)) return false;
    if (!at(p_, '}')) return fail(p_);
    if (mx < mn) return fail(p_);
    ++p_;
    return true;
}

// p_ is at '['.
bool Parser::parse_class() {
    const size_t n = pat_.size();
    ByteSet s{};
    ++p_;
    bool negate = false;
    if (at(p_, '^')) {
        negate = true;
        ++p_;
    }
    bool first = true;
    for (;;) {
        if (p_ >= n) return fail(p_);
        const unsigned char c = static_cast<unsigned char>(pat_[p_]);
        if (c == ']' && !first) {
            ++p_;
            break;
        }
        first = false;
        unsigned lo;
        if (c == '\\') {
            if (p_ + 1 >= n) return fail(n);
            const char e = pat_[p_ + 1];
            p_ += 2;
            if (add_named_set(s, e)) continue;
            lo = static_cast<unsigned char>(e);
        } else {
            lo = c;
            ++p_;
        }
        // A range needs a '-' that is neither the class's last character nor before ']'.
        if (at(p_, '-') && p_ + 1 < n && pat_[p_ + 1] != ']') {
            unsigned hi;
            if (pat_[p_ + 1] == '\\') {
                if (p_ + 2 >= n) return fail(n);
                const char e = pat_[p_ + 2];
                if (add_named_set(s, e)) {  // "a-\d": the '-' is literal
                    set_add_folded(s, lo, icase_);
                    set_add(s, '-');
                    p_ += 3;
                    continue;
                }
                hi = static_cast<unsigned char>(e);
                p_ += 3;
            } else {
                hi = static_cast<unsigned char>(pat_[p_ + 1]);
                p_ += 2;
            }
            for (unsigned b = lo; b <= hi; ++b) set_add_folded(s, b, icase_);
            continue;
        }
        set_add_folded(s, lo, icase_);
    }
    if (negate)
        for (auto& byte : s) byte = static_cast<uint8_t>(~byte);
    add_set(s);
    return true;
}

bool Parser::parse() {
    const size_t n = pat_.size();
    // root sequence 0 holds group node 0; its first alternative is sequence 1
    seqs.emplace_back();
    nodes.emplace_back();
    nodes[0].kind = RE_GROUP;
    seqs[0].push_back(0);
    cur_ = new_seq();
    nodes[0].alts.push_back(cur_);
    open_.push_back({0, 0});

    while (p_ < n) {
        const unsigned char c = static_cast<unsigned char>(pat_[p_]);
        const bool counted = c == '{' && digit_at(p_ + 1);
        if (c == '*' || c == '+' || c == '?' || counted) {
            if (last_ == L_ATOM) {
                int mn = 0, mx = OVK_REGEX_INF;
                if (c == '+') mn = 1;
                if (c == '?') mx = 1;
                if (counted) {
                    if (!parse_counted(mn, mx)) return false;
                } else {
                    ++p_;
                }
                nodes[last_node_].min = mn;
                nodes[last_node_].max = mx;
                last_ = L_QUANT;
                continue;
            }
            if (last_ == L_QUANT && (c == '?' || c == '+')) {
                last_ = L_QMOD;  // lazy / possessive marks are accepted and ignored
                ++p_;
                continue;
            }
            add_byte(c);  // nothing to quantify: a literal
            ++p_;
            continue;
        }
        switch (c) {
            case '(': {
                ++p_;
                if (at(p_, '?') && at(p_ + 1, ':')) p_ += 2;
                TmpNode g;
                g.kind = RE_GROUP;
                const int gid = add_node(std::move(g));
                const int parent = cur_;
                cur_ = new_seq();
                nodes[gid].alts.push_back(cur_);
                open_.push_back({gid, parent});
                last_ = L_NONE;
                break;
            }
            case ')': {
                if (open_.size() == 1) return fail(p_);
                const Open o = open_.back();
                open_.pop_back();
                cur_ = o.parent_seq;
                last_node_ = o.group;
                last_ = L_ATOM;
                ++p_;
                break;
            }
            case '|': {
                cur_ = new_seq();
                nodes[open_.back().group].alts.push_back(cur_);
                last_ = L_NONE;
                ++p_;
                break;
            }
            case '[':
                if (!parse_class()) return false;
                break;
            case '.': {
                ByteSet all;
                all.fill(0xFF);
                add_set(all);
                ++p_;
                break;
            }
            case '^':
                add_anchor(RE_BOL);
                ++p_;
                break;
            case '$':
                add_anchor(RE_EOL);
                ++p_;
                break;
            case '\\': {
                if (p_ + 1 >= n) {  // trailing backslash
                    add_byte('\\');
                    ++p_;
                    break;
                }
                const char e = pat_[p_ + 1];
                p_ += 2;
                ByteSet s{};
                if (add_named_set(s, e)) {
                    add_set(s);
                } else if (e == 't') {
                    add_byte('\t');
                } else if (e == 'n') {
                    add_byte('\n');
                } else if (e == 'b') {
                    add_anchor(RE_WORDB);
                } else if (e == 'B') {
                    add_anchor(RE_NOT_WORDB);
                } else {
                    add_byte(static_cast<unsigned char>(e));
                }
                break;
            }
            default:
                add_byte(c);
                ++p_;
                break;
        }
    }
    if (open_.size() != 1) return fail(n);  // a group left open
    return true;
}

// ---------------------------------------------------------------------------------------
// 3. layout: sequences in breadth-first order (each group's alternatives consecutive), the
// nodes of each sequence contiguous.

void layout(const Parser& ps, OVK_REGEX& re) {
    std::vector<int> order;  // final seq index -> temporary seq id
    std::vector<int> alt_first(ps.nodes.size(), 0);
    order.reserve(ps.seqs.size());
    order.push_back(0);
    for (size_t i = 0; i < order.size(); ++i) {
        for (int nid : ps.seqs[order[i]]) {
            const TmpNode& tn = ps.nodes[nid];
            if (tn.kind != RE_GROUP) continue;
            alt_first[nid] = static_cast<int>(order.size());
            for (int a : tn.alts) order.push_back(a);
        }
    }
    re.seqs.resize(order.size());
    re.nodes.reserve(ps.nodes.size());
    for (size_t i = 0; i < order.size(); ++i) {
        const auto& ids = ps.seqs[order[i]];
        re.seqs[i].first = static_cast<int>(re.nodes.size());
        re.seqs[i].n = static_cast<int>(ids.size());
        for (int nid : ids) {
            const TmpNode& tn = ps.nodes[nid];
            RE_NODE nd;
            nd.kind = tn.kind;
            nd.min = tn.min;
            nd.max = tn.max;
            nd.set = tn.set;
            if (tn.kind == RE_GROUP) {
                nd.alts = alt_first[nid];
                nd.nalts = static_cast<int>(tn.alts.size());
            }
            re.nodes.push_back(nd);
        }
    }
    re.root = 0;
}

// The bytes that can begin a match and whether a match can be empty: per sequence, from the
// last one to the first (alternatives always come after the sequence holding their group).
void derive_shortcuts(OVK_REGEX& re) {
    const size_t ns = re.seqs.size();
    std::vector<ByteSet> first(ns);
    std::vector<uint8_t> empty(ns, 1);
    for (size_t i = ns; i-- > 0;) {
        const RE_SEQ& s = re.seqs[i];
        ByteSet f{};
        bool nullable = true;
        for (int k = 0; k < s.n && nullable; ++k) {
            const RE_NODE& nd = re.nodes[s.first + k];
            switch (nd.kind) {
                case RE_BYTE:
                    for (size_t b = 0; b < f.size(); ++b) f[b] |= nd.set[b];
                    nullable = nd.min == 0;
                    break;
                case RE_BOL:
                case RE_EOL:
                case RE_WORDB:
                case RE_NOT_WORDB:
                    break;
                case RE_GROUP: {
                    bool any_empty = nd.min == 0;
                    for (int a = 0; a < nd.nalts; ++a) {
                        const size_t alt = static_cast<size_t>(nd.alts) + static_cast<size_t>(a);
                        for (size_t b = 0; b < f.size(); ++b) f[b] |= first[alt][b];
                        any_empty = any_empty || empty[alt];
                    }
                    nullable = any_empty;
                    break;
                }
            }
        }
        first[i] = f;
        empty[i] = nullable ? 1 : 0;
    }
    re.first = first[static_cast<size_t>(re.root)];
    re.can_be_empty = empty[static_cast<size_t>(re.root)];
    const RE_NODE& top = re.nodes[re.seqs[re.root].first];
    bool anchored = top.nalts > 0;
    for (int a = 0; a < top.nalts; ++a) {
        const RE_SEQ& alt = re.seqs[top.alts + a];
        anchored = anchored && alt.n > 0 && re.nodes[alt.first].kind == RE_BOL;
    }
    re.anchored = anchored ? 1 : 0;

    re.lead_run = -1;
    re.lead_fixed = 0;
    if (top.nalts == 1) {
        const RE_SEQ& alt = re.seqs[top.alts];
        for (int k = 0; k < alt.n; ++k) {
            const RE_NODE& nd = re.nodes[alt.first + k];
            if (nd.kind != RE_BYTE) break;
            if (nd.max == OVK_REGEX_INF) {
                re.lead_run = alt.first + k;
                re.lead_fixed = k;
                break;
            }
            if (nd.min != 1 || nd.max != 1) break;
        }
    }
}

// ---------------------------------------------------------------------------------------
// 4. matcher
//
// The matcher evaluates three mutually tail-calling steps:
//   seq(s, i, pos, k)    match node i of sequence s, then the rest, then continuation k
//   rep(g, count, pos, k) group g after `count` iterations: another iteration first (each
//                        alternative in order), else leave the group through k
//   cont(k, pos)         resume continuation k (rest of a sequence, or the end of a group
//                        iteration); no continuation left is success
// Every step is one level deeper than the step that led to it; a step beyond the depth limit
// fails. Only steps with a choice left (a byte node that can give back bytes, a group) keep a
// frame; the continuation records a group needs live inside its frame, so a continuation is
// addressed as (frame index, slot) and stays valid as long as the frame is on the stack.

enum KType : uint8_t { K_SEQ = 0, K_REP = 1 };
struct Cont {
    KType type;
    int32_t a;     // K_SEQ: sequence; K_REP: group node
    int32_t b;     // K_SEQ: node index in the sequence; K_REP: iterations done before this one
    int32_t next;  // continuation after this one, -1 none
    size_t rep_start;
};

enum FKind : uint8_t { F_BYTES = 0, F_REP = 1 };
struct Frame {
    FKind kind;
    int32_t depth;
    int32_t seq;    // F_BYTES: sequence
    int32_t idx;    // F_BYTES: node index
    int32_t k;      // F_BYTES: continuation of the sequence; F_REP: continuation after the group
    int32_t take;   // F_BYTES: bytes taken now; F_REP: next option (alternative, then leave)
    int32_t node;   // F_BYTES / F_REP: the node
    int32_t count;  // F_REP: iterations done
    size_t pos;     // where the node started
    Cont own[2];    // F_REP: [0] rest of the enclosing sequence, [1] this iteration's end
};

enum Fn : uint8_t { C_SEQ, C_CONT, C_REP };
struct Call {
    Fn fn;
    int32_t depth;
    int32_t a;  // C_SEQ: sequence; C_REP: group node
    int32_t b;  // C_SEQ: node index; C_REP: iterations done
    int32_t k;
    size_t pos;
};

constexpr size_t kFrames = static_cast<size_t>(OVK_REGEX_DEPTH_LIMIT) + 2;

struct Scratch {
    std::unique_ptr<Frame[]> frames;
};

Frame* scratch_frames() {
    thread_local Scratch s;
    if (!s.frames) s.frames.reset(new (std::nothrow) Frame[kFrames]);
    // The analyzer takes the thread_local's destructor to run on return; it runs at thread exit.
    return s.frames.get();  // NOLINT(clang-analyzer-cplusplus.NewDelete)
}

class Matcher {
  public:
    Matcher(const OVK_REGEX& re, std::string_view text, bool full, Frame* frames)
        : re_(re),
          t_(reinterpret_cast<const uint8_t*>(text.data())),
          len_(text.size()),
          full_(full),
          f_(frames) {}

    // One attempt at `start`; true with end() set on success.
    bool run(size_t start);
    size_t end() const { return end_; }
    bool exhausted() const { return work_ > limit_; }
    // Where the pattern's leading run (OVK_REGEX::lead_run) ended in the last attempt, or
    // SIZE_MAX when the attempt did not reach it.
    size_t lead_end() const { return lead_end_; }

  private:
    const Cont& kref(int32_t k) const { return f_[k >> 1].own[k & 1]; }
    bool next_choice(Frame& fr, Call& c);
    bool at_boundary(size_t pos) const {
        const bool before = pos > 0 && is_word(t_[pos - 1]);
        const bool after = pos < len_ && is_word(t_[pos]);
        return before != after;
    }

    const OVK_REGEX& re_;
    const uint8_t* t_;
    size_t len_;
    bool full_;
    Frame* f_;
    size_t sp_ = 0;
    size_t end_ = 0;
    long work_ = 0;
    long limit_ = OVK_REGEX_WORK_LIMIT +
                  OVK_REGEX_WORK_PER_BYTE * static_cast<long>(len_ < kLenCap ? len_ + 1 : kLenCap);
    size_t lead_end_ = SIZE_MAX;

    static constexpr size_t kLenCap = 1UL << 40;  // keeps the limit far from overflowing
};

// Sets `c` to the frame's next option; false when it has none left.
bool Matcher::next_choice(Frame& fr, Call& c) {
    switch (fr.kind) {
        case F_BYTES: {
            if (fr.take <= re_.nodes[fr.node].min) return false;
            --fr.take;
            c = {C_SEQ,      fr.depth + 1, fr.seq,
                 fr.idx + 1, fr.k,         fr.pos + static_cast<size_t>(fr.take)};
            return true;
        }
        case F_REP: {
            const RE_NODE& g = re_.nodes[fr.node];
            if (fr.take < g.nalts) {
                const int32_t alt = g.alts + fr.take++;
                const int32_t self = static_cast<int32_t>(&fr - f_);
                c = {C_SEQ, fr.depth + 1, alt, 0, self * 2 + 1, fr.pos};
                return true;
            }
            if (fr.take == g.nalts && fr.count >= g.min) {
                ++fr.take;
                c = {C_CONT, fr.depth + 1, 0, 0, fr.k, fr.pos};
                return true;
            }
            return false;
        }
    }
    return false;
}

bool Matcher::run(size_t start) {
    sp_ = 0;
    lead_end_ = SIZE_MAX;
    Call c{C_SEQ, 0, re_.root, 0, -1, start};
    for (;;) {
        bool ok = true;
        if (++work_ > limit_) return false;
        if (c.depth > OVK_REGEX_DEPTH_LIMIT) {
            ok = false;
        } else {
            switch (c.fn) {
                case C_SEQ: {
                    const RE_SEQ& s = re_.seqs[c.a];
                    if (c.b == s.n) {
                        c = {C_CONT, c.depth + 1, 0, 0, c.k, c.pos};
                        break;
                    }
                    const int32_t nid = s.first + c.b;
                    const RE_NODE& nd = re_.nodes[nid];
                    switch (nd.kind) {
                        case RE_BYTE: {
                            size_t n = 0;
                            const size_t room = len_ - c.pos;
                            const size_t cap = static_cast<size_t>(nd.max) < room
                                                   ? static_cast<size_t>(nd.max)
                                                   : room;
                            while (n < cap && set_has(nd.set, t_[c.pos + n])) ++n;
                            work_ += static_cast<long>(n);
                            if (nid == re_.lead_run) lead_end_ = c.pos + n;
                            if (n < static_cast<size_t>(nd.min)) {
                                ok = false;
                                break;
                            }
                            if (n > static_cast<size_t>(nd.min)) {  // bytes can be given back
                                if (sp_ >= kFrames) {
                                    ok = false;
                                    break;
                                }
                                Frame& fr = f_[sp_++];
                                fr.kind = F_BYTES;
                                fr.depth = c.depth;
                                fr.seq = c.a;
                                fr.idx = c.b;
                                fr.k = c.k;
                                fr.take = static_cast<int32_t>(n);
                                fr.node = nid;
                                fr.pos = c.pos;
                            }
                            c.depth += 1;
                            c.b += 1;
                            c.pos += n;
                            break;
                        }
                        case RE_BOL:
                        case RE_EOL:
                        case RE_WORDB:
                        case RE_NOT_WORDB: {
                            bool pass = false;
                            switch (nd.kind) {
                                case RE_BOL:
                                    pass = c.pos == 0;
                                    break;
                                case RE_EOL:
                                    pass = c.pos == len_;
                                    break;
                                case RE_WORDB:
                                    pass = at_boundary(c.pos);
                                    break;
                                case RE_NOT_WORDB:
                                    pass = !at_boundary(c.pos);
                                    break;
                                case RE_BYTE:
                                case RE_GROUP:
                                    break;
                            }
                            if (!pass) {
                                ok = false;
                                break;
                            }
                            c.depth += 1;
                            c.b += 1;
                            break;
                        }
                        case RE_GROUP: {
                            // enter the group: rep(g, 0, pos, rest of this sequence)
                            if (c.depth + 1 > OVK_REGEX_DEPTH_LIMIT || sp_ >= kFrames) {
                                ok = false;
                                break;
                            }
                            Frame& fr = f_[sp_++];
                            const int32_t self = static_cast<int32_t>(sp_ - 1);
                            fr.kind = F_REP;
                            fr.depth = c.depth + 1;
                            fr.node = nid;
                            fr.count = 0;
                            fr.pos = c.pos;
                            fr.own[0] = {K_SEQ, c.a, c.b + 1, c.k, 0};
                            fr.k = self * 2;
                            fr.own[1] = {K_REP, nid, 0, fr.k, c.pos};
                            fr.take = nd.max > 0 ? 0 : nd.nalts;
                            ok = next_choice(fr, c);
                            break;
                        }
                    }
                    break;
                }
                case C_CONT: {
                    if (c.k < 0) {
                        if (!full_ || c.pos == len_) {
                            end_ = c.pos;
                            return true;
                        }
                        ok = false;
                        break;
                    }
                    const Cont& k = kref(c.k);
                    switch (k.type) {
                        case K_SEQ:
                            c = {C_SEQ, c.depth + 1, k.a, k.b, k.next, c.pos};
                            break;
                        case K_REP: {
                            const int32_t done = k.b + 1;
                            if (c.pos == k.rep_start && done >= re_.nodes[k.a].min)
                                c = {C_CONT, c.depth + 1, 0, 0, k.next, c.pos};  // empty: leave
                            else
                                c = {C_REP, c.depth + 1, k.a, done, k.next, c.pos};
                            break;
                        }
                    }
                    break;
                }
                case C_REP: {
                    if (sp_ >= kFrames) {
                        ok = false;
                        break;
                    }
                    const RE_NODE& g = re_.nodes[c.a];
                    Frame& fr = f_[sp_++];
                    fr.kind = F_REP;
                    fr.depth = c.depth;
                    fr.node = c.a;
                    fr.count = c.b;
                    fr.pos = c.pos;
                    fr.k = c.k;
                    fr.own[1] = {K_REP, c.a, c.b, c.k, c.pos};
                    fr.take = c.b < g.max ? 0 : g.nalts;
                    ok = next_choice(fr, c);
                    break;
                }
            }
        }
        if (ok) continue;
        // backtrack to the newest frame with an option left
        for (;;) {
            if (sp_ == 0) return false;
            if (next_choice(f_[sp_ - 1], c)) break;
            --sp_;
        }
    }
}

int match_at_or_after(const OVK_REGEX& re, std::string_view text, size_t from, bool full,
                      size_t* start, size_t* len) {
    Frame* frames = scratch_frames();
    if (!frames) {
        OVK_LOG_ALLOC_FAIL(Frame, kFrames, frames);
        return 0;
    }
    Matcher m(re, text, full, frames);
    size_t last = full ? 0 : text.size();
    if (re.anchored) last = 0;  // '^' only matches at offset 0
    const auto* t = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t s = from; s <= last; ++s) {
        // a start whose byte cannot begin a match fails without trying
        if (!re.can_be_empty && (s == text.size() || !set_has(re.first, t[s]))) continue;
        if (m.run(s)) {
            if (start) *start = s;
            if (len) *len = m.end() - s;
            return 1;
        }
        if (m.exhausted()) return 0;
        // Starts that would rerun the leading run into the same end fail the same way.
        const size_t fixed = static_cast<size_t>(re.lead_fixed);
        if (!full && m.lead_end() != SIZE_MAX && m.lead_end() >= fixed + s + 1)
            s = m.lead_end() - fixed;
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 5. public functions

OVK_REGEX_PTR ovk_regex_compile(std::string_view pattern, int flags) {
    try {
        bool icase = (flags & OVK_REGEX_ICASE) != 0;
        size_t start = 0;
        if (pattern.substr(0, 4) == "(?i)") {
            icase = true;
            start = 4;
        }
        Parser ps(pattern, start, icase);
        if (!ps.parse()) {
            zq_log(LOG_ERR, "regex syntax error near offset %d in \"%s\"",
                   static_cast<int>(ps.err()), std::string(pattern).c_str());
            return nullptr;
        }
        auto re = std::make_unique<OVK_REGEX>();
        layout(ps, *re);
        derive_shortcuts(*re);
        re->icase = icase ? 1 : 0;
        return re;
    } catch (const std::bad_alloc&) {
        OVK_LOG_ALLOC_FAIL(OVK_REGEX, 1, re);
        return nullptr;
    }
}

int ovk_regex_find(const OVK_REGEX* re, std::string_view text, size_t from, size_t* start,
                   size_t* len) {
    OVK_CHECK(re, 0);
    if (from > text.size()) return 0;
    return match_at_or_after(*re, text, from, false, start, len);
}

int ovk_regex_search(const OVK_REGEX* re, std::string_view text) {
    return ovk_regex_find(re, text, 0, nullptr, nullptr);
}

int ovk_regex_full(const OVK_REGEX* re, std::string_view text) {
    OVK_CHECK(re, 0);
    return match_at_or_after(*re, text, 0, true, nullptr, nullptr);
}

int ovk_regex_search_str(std::string_view pattern, int flags, std::string_view text) {
    const OVK_REGEX_PTR re = ovk_regex_compile(pattern, flags);
    return re ? ovk_regex_search(re.get(), text) : 0;
}

int ovk_regex_full_str(std::string_view pattern, int flags, std::string_view text) {
    const OVK_REGEX_PTR re = ovk_regex_compile(pattern, flags);
    return re ? ovk_regex_full(re.get(), text) : 0;
}
