// SPDX-License-Identifier: GPL-3.0-or-later
// The file system and process calls the engine needs, in plain C++ types. The engine's
// modules reach the system only through here, so that they stay plain C++ (and this is the
// one place to look at for what they ask of the system).
//
// Every call returns 0 on success and otherwise the errno of the step that failed (never -1);
// none of them logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Other: a pipe, FIFO or socket; Device: a character or block device.
enum class ZQ_FS_KIND { Missing, File, Dir, Device, Other };

// What stat(2) says of a path.
struct ZQ_FS_STAT {
    ZQ_FS_KIND kind = ZQ_FS_KIND::Missing;
    uint64_t size = 0;
    uint64_t dev = 0;  // device and inode: a file replaced by a rename has a new pair
    uint64_t ino = 0;
};

// The path's kind and size, following links unless `follow` is false; 0, or the errno (a
// missing path gives ENOENT with kind Missing).
int zq_fs_stat(const std::string& path, ZQ_FS_STAT& out, bool follow = true);
// One directory with the given permission bits; EEXIST when anything is there.
int zq_fs_mkdir(const std::string& path, unsigned mode);
// The names in a directory, without "." and "..".
int zq_fs_list(const std::string& dir, std::vector<std::string>& names);
int zq_fs_unlink(const std::string& path);
int zq_fs_truncate(const std::string& path, uint64_t size);

// Writes path.tmp, syncs it, renames it over `path` (the old file stays whole on every
// failure, and the .tmp is removed). The rename is then made durable by syncing the folder;
// should only that fail, the result is 0 and its errno goes to *dir_err (0 otherwise).
// *at_tmp tells whether the failure was in making path.tmp.
int zq_fs_replace(const std::string& path, std::string_view data, int* dir_err = nullptr,
                  bool* at_tmp = nullptr);

// The file being written by zq_fs_replace_with: pieces of text are gathered into 64 KiB and
// written as they fill, so a large file never sits whole in memory.
class ZQ_FS_OUT {
  public:
    explicit ZQ_FS_OUT(int fd) : fd_(fd) {}
    ZQ_FS_OUT(const ZQ_FS_OUT&) = delete;
    ZQ_FS_OUT& operator=(const ZQ_FS_OUT&) = delete;
    // False once a write failed (every later piece is refused too).
    bool put(std::string_view text);
    // Writes what is gathered. False once a write failed.
    bool drain();
    int error() const { return err_; }             // errno of the failure, 0 before one
    uint64_t written() const { return written_; }  // bytes that reached the file

  private:
    static constexpr size_t kChunk = 64 * 1024;
    int fd_;
    std::string buf_;
    bool failed_ = false;
    int err_ = 0;
    uint64_t written_ = 0;
};
// zq_fs_replace for content made piece by piece: `fill` puts the text into path.tmp and
// returns false to abandon it (ECANCELED unless a write failed; the old file stays). The
// size written goes to *written on success.
int zq_fs_replace_with(const std::string& path, const std::function<bool(ZQ_FS_OUT&)>& fill,
                       int* dir_err = nullptr, bool* at_tmp = nullptr, uint64_t* written = nullptr);

// Appends `text` to `path` (made when missing), synced with `sync`. A failed append is cut
// back off the file, so that the next line never glues onto a torn one. The file's size
// before the append, -1 when unknown, goes to *before.
int zq_fs_append(const std::string& path, std::string_view text, bool sync,
                 int64_t* before = nullptr);

// The same on a file kept open: zq_fs_open_append opens (or makes) it and sets *handle,
// zq_fs_append_to appends (cut back on failure) and zq_fs_close closes it (0 or the errno).
int zq_fs_open_append(const std::string& path, int* handle);
int zq_fs_append_to(int handle, std::string_view text, bool sync = false,
                    int64_t* before = nullptr);
int zq_fs_close(int handle);

// Opens `path` for reading without waiting (a FIFO without a writer) and without taking a
// terminal, and says what was opened (the path may have been swapped since it was looked at).
// Reads of a regular file then block as usual (zq_fs_set_blocking); others do not.
int zq_fs_open_read(const std::string& path, int* handle, ZQ_FS_STAT& st);
void zq_fs_set_blocking(int handle);
// Bytes read (0 at the end), or minus the errno (-EAGAIN when a stream has nothing yet).
int64_t zq_fs_read_some(int handle, char* buf, size_t size);
// Waits up to `timeout_ms` for something to read: 1 when there is, 0 when not, or minus the
// errno.
int zq_fs_wait_readable(int handle, int timeout_ms);

// The whole content of `path` (a pipe or device too, read to its end).
int zq_fs_read(const std::string& path, std::string& out);
// A secret kept in a file: a regular file (not through a link) of at most `max_bytes` that
// only its owner may read. EPERM when its group or others may read or write it, EINVAL when
// it is not a regular file, EFBIG when it is larger.
int zq_fs_read_private(const std::string& path, size_t max_bytes, std::string& out);
// This machine's host name ("" when it has none).
std::string zq_fs_host_name();

// A read-only view of a whole file. Regular files are mapped, so only the pages a parser
// touches are read; other files are read into memory. A file must not be truncated while
// viewed, which holds for files replaced by rename or only appended to.
class ZQ_FS_VIEW {
  public:
    ZQ_FS_VIEW() = default;
    ZQ_FS_VIEW(ZQ_FS_VIEW&& o) noexcept;
    ZQ_FS_VIEW& operator=(ZQ_FS_VIEW&& o) noexcept;
    ZQ_FS_VIEW(const ZQ_FS_VIEW&) = delete;
    ZQ_FS_VIEW& operator=(const ZQ_FS_VIEW&) = delete;
    ~ZQ_FS_VIEW();

    std::string_view view() const {
        return map_ ? std::string_view(map_, len_) : std::string_view(copy_);
    }

  private:
    friend int zq_fs_view(const std::string& path, ZQ_FS_VIEW& out);
    friend int zq_fs_read_regular(const std::string& path, size_t max_bytes, ZQ_FS_VIEW& out,
                                  ZQ_FS_STAT& st);
    char* map_ = nullptr;
    size_t len_ = 0;
    std::string copy_;
};

int zq_fs_view(const std::string& path, ZQ_FS_VIEW& out);
// A regular file of at most `max_bytes`, read into memory (a mapped page that met an I/O
// error would end the process). Opening never waits (a FIFO without a writer) and never
// takes a terminal. `st` says what the path is; a path that is not a regular file, or is
// larger, gives EISDIR, EINVAL or EFBIG with `st` filled in.
int zq_fs_read_regular(const std::string& path, size_t max_bytes, ZQ_FS_VIEW& out, ZQ_FS_STAT& st);

// An exclusive lock on `path` (made when missing, never through a link) that lasts until
// zq_fs_unlock. A `path` that cannot be opened for writing (another user's file, a directory)
// is locked through a read-only open. On success *handle is set and the lock file holds this
// process's id when it could be written. When another process holds it: EWOULDBLOCK, with
// that process's id in *holder (0 when unknown). *at_open tells whether the failure was in
// opening the file (for reading as for writing); the error is then the one of the first open.
int zq_fs_lock(const std::string& path, int* handle, long* holder, bool* at_open = nullptr);
void zq_fs_unlock(int handle);

// Process signals: SIGINT, SIGTERM and SIGHUP call `on_stop` (which must only touch
// lock-free atomics), and a closed pipe no longer ends the process (the failed write is
// seen instead).
void zq_fs_on_stop_signals(void (*on_stop)(int));
