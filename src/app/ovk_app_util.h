// SPDX-License-Identifier: GPL-3.0-or-later
// Small shared tools of the application layer: files, clock, the string map,
// the text buffer, number formatting and the JSON helpers.
//
// Index
//   1. files and clock (the asset reader is in ovk_asset.h)
//   2. OVK_SMAP: text-keyed hash map that grows with its contents
//   3. OVK_SBUF: growable text with a sticky out-of-memory state
//   4. strings and numbers
//   5. JSON helpers over cJSON
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zq_fs.h"
#include "zq_log.h"

// ---------------------------------------------------------------------------------------
// 1. Files and clock
// ---------------------------------------------------------------------------------------

#include "ovk_asset.h"
#include "ovk_dirs.h"  // ovk_mkdirs, ovk_export_dir

// Wall-clock milliseconds since the Unix epoch.
int64_t ovk_now_ms();
// Writes path.tmp, fsyncs, renames over path and fsyncs the directory. 0 / -1; the old
// file stays intact on every failure.
int ovk_write_file_atomic(const std::string& path, std::string_view data);
// The file being written by ovk_write_file_atomic_stream (pieces gathered into 64 KiB).
using OVK_FILE_OUT = ZQ_FS_OUT;
// ovk_write_file_atomic for content made piece by piece: `fill` puts the text into the
// temporary file and returns false to abandon it (the old file then stays). 0 / -1 with the
// same guarantees and messages; the size written goes to *written on success.
int ovk_write_file_atomic_stream(const std::string& path,
                                 const std::function<bool(OVK_FILE_OUT&)>& fill,
                                 uint64_t* written = nullptr);
// For tests and benchmarks: called with the path after each atomic write is in place, on the
// thread that wrote it (a slow disk's stand-in, or a probe of who writes); nullptr for none,
// the default.
void ovk_write_file_set_hook_for_test(std::function<void(const std::string& path)> hook);
// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> ovk_read_file(const std::string& path);

// A read-only view of a whole file: regular files are mapped, so only the pages a parser
// touches are read (a 100 MB file that fails to parse at its first bytes costs one page);
// other files are read into memory. Files must not be truncated while viewed, which holds
// for files replaced by rename or only appended to.
using OVK_FILE_VIEW = ZQ_FS_VIEW;
// The view, or nullopt when the file cannot be opened or read.
std::optional<OVK_FILE_VIEW> ovk_file_view(const std::string& path);

// Read-only assets: OVK_ASSET_READER, ovk_set_asset_reader and ovk_read_asset are declared
// in the core layer (the vendor tables load through them) and implemented there.

// ---------------------------------------------------------------------------------------
// 2. OVK_SMAP: text-keyed hash map
// ---------------------------------------------------------------------------------------
//
// Keys are compared exactly (case-sensitively) after cutting them to 95 bytes. The bucket
// count given at init (at least 16) is where the map starts: whenever it holds more entries
// than buckets, the bucket count doubles, so chains stay short however many keys arrive.
// A new entry goes to the head of its bucket and doubling splits each chain in order, so the
// walk order is bucket by bucket, each from its most recent insertion. Nodes never move in
// memory: a node pointer stays valid until its entry is removed.
// Every node carries two free slots (`num`, `dbl`) and an owned payload `ptr` of type T
// (empty for a new node), released with the node. A map that was never initialised finds
// nothing and refuses insertions. Not locked: the owner guards it.

inline constexpr size_t OVK_SMAP_KEY_MAX = 95;
inline constexpr size_t OVK_SMAP_MIN_BUCKETS = 16;

// 64-bit FNV-1a over the bytes of `key`.
uint64_t ovk_fnv1a64(std::string_view key);

struct OVK_SMAP_NONE {};

template <class T = OVK_SMAP_NONE>
struct OVK_SMAP_NODE {
    std::string key;                      // cut to 95 bytes
    int64_t num = 0;                      // caller's integer slot (times, counters)
    double dbl = 0;                       // caller's floating slot (distances)
    std::unique_ptr<T> ptr;               // caller's payload, owned by the node
    std::unique_ptr<OVK_SMAP_NODE> next;  // next entry in the same bucket
};

template <class T = OVK_SMAP_NONE>
class OVK_SMAP {
  public:
    using NODE = OVK_SMAP_NODE<T>;

    OVK_SMAP() = default;
    OVK_SMAP(const OVK_SMAP&) = delete;
    OVK_SMAP& operator=(const OVK_SMAP&) = delete;
    OVK_SMAP(OVK_SMAP&& o) noexcept { swap(o); }
    OVK_SMAP& operator=(OVK_SMAP&& o) noexcept {
        if (this != &o) {
            release();
            swap(o);
        }
        return *this;
    }
    ~OVK_SMAP() { release(); }

    // Allocates max(nbuckets, 16) empty buckets (dropping any previous content). 0 / -1.
    int init(size_t nbuckets) {
        release();
        const size_t nb = nbuckets < OVK_SMAP_MIN_BUCKETS ? OVK_SMAP_MIN_BUCKETS : nbuckets;
        try {
            buckets_.resize(nb);
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(OVK_SMAP_NODE, nb, buckets);
            buckets_.clear();
            buckets_.shrink_to_fit();
            return -1;
        }
        return 0;
    }

    bool initialised() const { return !buckets_.empty(); }
    size_t bucket_count() const { return buckets_.size(); }
    size_t size() const { return n_; }

    NODE* get(std::string_view key) { return const_cast<NODE*>(std::as_const(*this).get(key)); }
    const NODE* get(std::string_view key) const {
        if (buckets_.empty()) return nullptr;
        key = cut_key(key);
        for (const NODE* p = buckets_[bucket_of(key)].get(); p; p = p->next.get())
            if (p->key == key) return p;
        return nullptr;
    }

    // The node for `key`, inserting a fresh one at the head of its bucket when absent.
    // `*created` (when given) tells which. nullptr when uninitialised or out of memory.
    NODE* put(std::string_view key, int* created = nullptr) {
        if (created) *created = 0;
        if (buckets_.empty()) return nullptr;
        key = cut_key(key);
        std::unique_ptr<NODE>& head = buckets_[bucket_of(key)];
        for (NODE* p = head.get(); p; p = p->next.get())
            if (p->key == key) return p;
        try {
            auto node = std::make_unique<NODE>();
            node->key.assign(key);
            node->next = std::move(head);
            head = std::move(node);
        } catch (const std::exception&) {
            OVK_LOG_ALLOC_FAIL(OVK_SMAP_NODE, 1, node);
            return nullptr;
        }
        ++n_;
        if (created) *created = 1;
        NODE* fresh = head.get();
        if (n_ > buckets_.size()) grow();
        return fresh;
    }

    // 1 when an entry was removed (its payload with it), else 0.
    int del(std::string_view key) {
        if (buckets_.empty()) return 0;
        key = cut_key(key);
        std::unique_ptr<NODE>* link = &buckets_[bucket_of(key)];
        while (*link) {
            if ((*link)->key == key) {
                unlink(*link);
                return 1;
            }
            link = &(*link)->next;
        }
        return 0;
    }

    // Removes every node for which keep(node) is false, bucket by bucket.
    template <class F>
    void retain(F&& keep) {
        for (auto& head : buckets_) {
            std::unique_ptr<NODE>* link = &head;
            while (*link) {
                if (keep(static_cast<NODE&>(**link)))
                    link = &(*link)->next;
                else
                    unlink(*link);
            }
        }
    }

    // Calls fn(node) for every node, bucket by bucket, each bucket from its head.
    template <class F>
    void foreach (F&& fn) const {
        for (const auto& head : buckets_)
            for (const NODE* p = head.get(); p; p = p->next.get()) fn(*p);
    }
    template <class F>
    void foreach_mut(F&& fn) {
        for (auto& head : buckets_)
            for (NODE* p = head.get(); p; p = p->next.get()) fn(*p);
    }

    // Removes every entry; the buckets stay.
    void clear() {
        for (auto& head : buckets_) drop_chain(head);
        n_ = 0;
    }
    // Removes every entry and the buckets; the map is uninitialised afterwards.
    void release() {
        clear();
        buckets_.clear();
        buckets_.shrink_to_fit();
    }

  private:
    // Doubles the bucket count. Bucket i splits into i and i + nb, each keeping its order.
    // Out of memory, the map simply stays as it is.
    void grow() noexcept {
        const size_t nb = buckets_.size();
        std::vector<std::unique_ptr<NODE>> next;
        try {
            next.resize(nb * 2);
        } catch (const std::exception&) {
            return;
        }
        for (size_t i = 0; i < nb; i++) {
            std::unique_ptr<NODE>* tail[2] = {&next[i], &next[i + nb]};
            std::unique_ptr<NODE> p = std::move(buckets_[i]);
            while (p) {
                std::unique_ptr<NODE> rest = std::move(p->next);
                const size_t to = static_cast<size_t>(ovk_fnv1a64(p->key) % (nb * 2));
                std::unique_ptr<NODE>*& t = tail[to == i ? 0 : 1];
                *t = std::move(p);
                t = &(*t)->next;
                p = std::move(rest);
            }
        }
        buckets_.swap(next);
    }

    static std::string_view cut_key(std::string_view key) {
        return key.size() > OVK_SMAP_KEY_MAX ? key.substr(0, OVK_SMAP_KEY_MAX) : key;
    }
    size_t bucket_of(std::string_view key) const {
        return static_cast<size_t>(ovk_fnv1a64(key) % buckets_.size());
    }
    void unlink(std::unique_ptr<NODE>& link) {
        std::unique_ptr<NODE> gone = std::move(link);
        link = std::move(gone->next);
        --n_;
    }
    // Iterative, so a long chain never recurses through the node destructors.
    static void drop_chain(std::unique_ptr<NODE>& head) {
        while (head) {
            std::unique_ptr<NODE> gone = std::move(head);
            head = std::move(gone->next);
        }
    }
    void swap(OVK_SMAP& o) noexcept {
        buckets_.swap(o.buckets_);
        std::swap(n_, o.n_);
    }

    std::vector<std::unique_ptr<NODE>> buckets_;
    size_t n_ = 0;
};

// ---------------------------------------------------------------------------------------
// 3. OVK_SBUF: growable text
// ---------------------------------------------------------------------------------------
//
// Capacity (including the terminator) grows from empty to 256 when that covers the need,
// else 512 doubled until it does; from a non-empty buffer, doubled until it covers. When
// growth fails the buffer enters a sticky out-of-memory state ("string buffer: out of
// memory (%zu bytes)" logged once per failed append): further appends are ignored, and
// take() resets it and returns nullopt.
class OVK_SBUF {
  public:
    void add(std::string_view s);
    void addc(char c);
    void addf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // The text, leaving the buffer empty; nullopt (and reset) in the out-of-memory state.
    std::optional<std::string> take();
    // Drops the text and the out-of-memory state.
    void free();

    std::string_view view() const { return s_; }
    size_t len() const { return s_.size(); }
    size_t cap() const { return cap_; }
    bool oom() const { return oom_; }

    // Growth beyond this many bytes (terminator included) counts as out of memory.
    size_t max_cap = SIZE_MAX / 4;

  private:
    bool grow(size_t extra);

    std::string s_;
    size_t cap_ = 0;
    bool oom_ = false;
};

// ---------------------------------------------------------------------------------------
// 4. Strings and numbers
// ---------------------------------------------------------------------------------------

// 1 when `needle` occurs in `hay` ignoring ASCII case (an empty needle is always found);
// 0 for a null argument.
int ovk_contains_ci(const char* hay, const char* needle);
int ovk_contains_ci(std::string_view hay, std::string_view needle);
// `s` when it is a non-empty string, else nullptr.
const char* ovk_nz(const char* s);
const char* ovk_nz(const std::string& s);

// Length of the valid UTF-8 sequence that starts at s[i], or 0 when the byte there does not
// start one (a stray continuation, an impossible lead, an overlong form, a surrogate, a value
// above U+10FFFF, or a sequence cut short by the end of `s`). i must be below s.size().
size_t ovk_utf8_seq_len(std::string_view s, size_t i);
// `s` without the bytes that are not part of a valid UTF-8 sequence.
std::string ovk_utf8_clean(std::string_view s);

// The shortest text that reads back as `v`, for text formats: 45 -> "45.0",
// 0.0001 -> "1.0E-4", 1e20 -> "1.0E20", NaN -> "NaN", infinities -> "Infinity".
std::string ovk_jdouble(double v);

// ---------------------------------------------------------------------------------------
// 5. JSON helpers over cJSON (keys matched case-sensitively)
// ---------------------------------------------------------------------------------------

struct OVK_JSON_DELETE {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
// An owned cJSON tree.
using OVK_JSON = std::unique_ptr<cJSON, OVK_JSON_DELETE>;

// Parses `text` (no terminator needed); nullptr when it does not parse.
OVK_JSON ovk_json_parse(std::string_view text);
// Prints compact (pretty = false) or indented text; nullopt when printing fails.
std::optional<std::string> ovk_json_print(const cJSON* item, bool pretty);
// The same, for text that leaves the program (exports, tool output): the bytes of strings
// that are not valid UTF-8 are dropped, so strict JSON readers accept the text.
std::optional<std::string> ovk_json_print_utf8(const cJSON* item, bool pretty);

// 1 and the string cut to outsz-1 bytes when the member is a string, else 0; `out` is
// emptied first in any case.
int ovk_json_str(const cJSON* o, const char* key, std::string& out, size_t outsz);
// The member's number, or `def` when it is missing or not a number.
double ovk_json_num(const cJSON* o, const char* key, double def);
// The number rounded to the nearest integer (halves away from zero), or `def`. Values
// beyond the int64 range saturate.
int64_t ovk_json_i64(const cJSON* o, const char* key, int64_t def);
// The number truncated toward zero, saturated to the int range, or `def`.
int ovk_json_int(const cJSON* o, const char* key, int def);
// A boolean gives 0 or 1, a number 1 when non-zero; anything else `def`.
int ovk_json_bool(const cJSON* o, const char* key, int def);
// 1 when the member exists and is a number.
int ovk_json_has_num(const cJSON* o, const char* key);
// Adds `s` as a string when non-empty, else a JSON null. 0 / -1.
int ovk_json_add_str_or_null(cJSON* o, const char* key, std::string_view s);
// Adds `s` as a string (empty included). 0 / -1.
int ovk_json_add_str(cJSON* o, const char* key, std::string_view s);
// Adds `v` as a number, written as exact integer text (a raw item, which the readers above
// take as a number). 0 / -1.
int ovk_json_add_i64(cJSON* o, const char* key, int64_t v);
// Prints the item and writes it with ovk_write_file_atomic. 0 / -1.
int ovk_json_write_file(const std::string& path, const cJSON* item, bool pretty);
// The parsed file, or nullptr when it cannot be read or does not parse ("invalid JSON in
// %s" is logged for the latter; a missing file is not logged).
OVK_JSON ovk_json_read_file(const std::string& path);
