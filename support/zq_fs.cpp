// SPDX-License-Identifier: GPL-3.0-or-later
// The file system and process calls of the engine (see the header).
#include "zq_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <utility>

namespace {

int err_or_io() {
    return errno != 0 ? errno : EIO;
}

void fill_stat(const struct stat& st, ZQ_FS_STAT& out) {
    out.kind = S_ISREG(st.st_mode)                          ? ZQ_FS_KIND::File
               : S_ISDIR(st.st_mode)                        ? ZQ_FS_KIND::Dir
               : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? ZQ_FS_KIND::Device
                                                            : ZQ_FS_KIND::Other;
    out.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    out.dev = static_cast<uint64_t>(st.st_dev);
    out.ino = static_cast<uint64_t>(st.st_ino);
}

// Closes `fd` once (retrying close() on EINTR is wrong); 0 or the errno.
int close_fd(int& fd) {
    if (fd < 0) return 0;
    const int rc = close(fd);
    fd = -1;
    return rc == 0 ? 0 : err_or_io();
}

int write_all(int fd, const char* p, size_t len) {
    while (len > 0) {
        const ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return err_or_io();
        if (w == 0) return EIO;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return 0;
}

// Makes a finished rename durable. File systems that cannot sync a directory say so with
// EINVAL (or EROFS); the rename itself has happened, so that is no failure.
int sync_parent_dir(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return err_or_io();
    int err = fsync(fd) == 0 ? 0 : err_or_io();
    if (err == EINVAL || err == EROFS) err = 0;
    close(fd);
    return err;
}

// Everything left in `fd` (which stays open): a regular file's size is known up front (one
// allocation, then a final read that sees the end); otherwise the buffer doubles from 8 KiB.
int read_fd(int fd, std::string& out) {
    try {
        std::string buf;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
            buf.resize(static_cast<size_t>(st.st_size) + 4096);
        size_t used = 0;
        for (;;) {
            if (buf.size() - used < 4096) buf.resize(buf.size() < 8192 ? 8192 : buf.size() * 2);
            const ssize_t r = read(fd, buf.data() + used, buf.size() - used);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return err_or_io();
            if (r == 0) break;
            used += static_cast<size_t>(r);
        }
        buf.resize(used);
        out = std::move(buf);
        return 0;
    } catch (const std::exception&) {
        return ENOMEM;
    }
}

}  // namespace

int zq_fs_stat(const std::string& path, ZQ_FS_STAT& out, bool follow) {
    out = ZQ_FS_STAT{};
    struct stat st {};
    if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return err_or_io();
    fill_stat(st, out);
    return 0;
}

int zq_fs_mkdir(const std::string& path, unsigned mode) {
    return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : err_or_io();
}

int zq_fs_list(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* d = opendir(dir.c_str());
    if (!d) return err_or_io();
    int err = 0;
    try {
        while (const dirent* e = readdir(d)) {
            const std::string_view n(e->d_name);
            if (n != "." && n != "..") names.emplace_back(n);
        }
    } catch (const std::exception&) {
        err = ENOMEM;
    }
    closedir(d);
    return err;
}

int zq_fs_unlink(const std::string& path) {
    return unlink(path.c_str()) == 0 ? 0 : err_or_io();
}

int zq_fs_truncate(const std::string& path, uint64_t size) {
    return truncate(path.c_str(), static_cast<off_t>(size)) == 0 ? 0 : err_or_io();
}

bool ZQ_FS_OUT::put(std::string_view text) {
    if (failed_) return false;
    if (buf_.size() + text.size() > kChunk) {
        if (!drain()) return false;
        // A piece larger than the buffer goes straight through.
        if (text.size() >= kChunk) {
            if (const int err = write_all(fd_, text.data(), text.size()); err != 0) {
                failed_ = true;
                err_ = err;
                return false;
            }
            written_ += text.size();
            return true;
        }
    }
    try {
        buf_.append(text);
    } catch (const std::exception&) {
        failed_ = true;
        err_ = ENOMEM;
        return false;
    }
    return true;
}

bool ZQ_FS_OUT::drain() {
    if (failed_) return false;
    if (buf_.empty()) return true;
    if (const int err = write_all(fd_, buf_.data(), buf_.size()); err != 0) {
        failed_ = true;
        err_ = err;
        return false;
    }
    written_ += buf_.size();
    buf_.clear();
    return true;
}

int zq_fs_replace_with(const std::string& path, const std::function<bool(ZQ_FS_OUT&)>& fill,
                       int* dir_err, bool* at_tmp, uint64_t* written) {
    if (dir_err) *dir_err = 0;
    if (at_tmp) *at_tmp = false;
    if (written) *written = 0;
    if (path.empty()) return ENOENT;
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (at_tmp) *at_tmp = true;
        return err_or_io();
    }
    // A file that is rewritten keeps its mode (a private 600 file stays private), and the new
    // content is never readable more widely than the old, not even before the rename.
    if (struct stat old{}; stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
                           fchmod(fd, old.st_mode & 07777) != 0) {
        const int err = err_or_io();
        close_fd(fd);
        unlink(tmp.c_str());
        if (at_tmp) *at_tmp = true;
        return err;
    }
    ZQ_FS_OUT out(fd);
    bool filled = false;
    try {
        filled = fill(out);
    } catch (const std::exception&) {
        filled = false;
    }
    int err = 0;
    if (!filled || !out.drain()) err = out.error() != 0 ? out.error() : ECANCELED;
    if (err == 0 && fsync(fd) != 0) err = err_or_io();
    if (err == 0) err = close_fd(fd);
    if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = err_or_io();
    if (err != 0) {
        close_fd(fd);
        unlink(tmp.c_str());
        return err;
    }
    if (written) *written = out.written();
    const int synced = sync_parent_dir(path);
    if (dir_err) *dir_err = synced;
    return 0;
}

int zq_fs_replace(const std::string& path, std::string_view data, int* dir_err, bool* at_tmp) {
    return zq_fs_replace_with(
        path, [data](ZQ_FS_OUT& out) { return out.put(data); }, dir_err, at_tmp);
}

int zq_fs_open_append(const std::string& path, int* handle) {
    *handle = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    return *handle < 0 ? err_or_io() : 0;
}

int zq_fs_close(int handle) {
    return close_fd(handle);
}

int zq_fs_append_to(int fd, std::string_view text, bool sync, int64_t* before) {
    if (before) *before = -1;
    struct stat st {};
    const off_t size = fstat(fd, &st) == 0 ? st.st_size : -1;
    if (before) *before = size;
    int err = write_all(fd, text.data(), text.size());
    if (sync && err == 0 && fdatasync(fd) != 0 && errno != EINVAL) err = err_or_io();
    if (err != 0 && size >= 0 && ftruncate(fd, size) != 0) {
        // The torn tail stays; readers skip a line without its newline.
    }
    return err;
}

int zq_fs_append(const std::string& path, std::string_view text, bool sync, int64_t* before) {
    if (before) *before = -1;
    int fd = -1;
    if (const int err = zq_fs_open_append(path, &fd); err != 0) return err;
    const int err = zq_fs_append_to(fd, text, sync, before);
    const int closed = close_fd(fd);
    return err != 0 ? err : closed;
}

int zq_fs_open_read(const std::string& path, int* handle, ZQ_FS_STAT& st) {
    st = ZQ_FS_STAT{};
    *handle = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (*handle < 0) return err_or_io();
    struct stat sb {};
    if (fstat(*handle, &sb) != 0) {
        const int err = err_or_io();
        close_fd(*handle);
        return err;
    }
    fill_stat(sb, st);
    return 0;
}

void zq_fs_set_blocking(int handle) {
    const int fl = fcntl(handle, F_GETFL);
    if (fl >= 0) (void)fcntl(handle, F_SETFL, fl & ~O_NONBLOCK);
}

int64_t zq_fs_read_some(int handle, char* buf, size_t size) {
    for (;;) {
        const ssize_t n = read(handle, buf, size);
        if (n >= 0) return n;
        if (errno != EINTR) return -err_or_io();
    }
}

int zq_fs_wait_readable(int handle, int timeout_ms) {
    pollfd p{handle, POLLIN, 0};
    const int r = poll(&p, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -err_or_io();
    return r > 0 ? 1 : 0;
}

int zq_fs_read(const std::string& path, std::string& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return err_or_io();
    const int err = read_fd(fd, out);
    close(fd);
    return err;
}

int zq_fs_read_private(const std::string& path, size_t max_bytes, std::string& out) {
    out.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return err_or_io();
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = err_or_io();
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if ((st.st_mode & 077) != 0)
        err = EPERM;
    else if (static_cast<uint64_t>(st.st_size) > max_bytes)
        err = EFBIG;
    if (err == 0) err = read_fd(fd, out);
    close(fd);
    if (err == 0 && out.size() > max_bytes) err = EFBIG;
    if (err != 0) out.clear();
    return err;
}

std::string zq_fs_host_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

ZQ_FS_VIEW::ZQ_FS_VIEW(ZQ_FS_VIEW&& o) noexcept
    : map_(std::exchange(o.map_, nullptr)),
      len_(std::exchange(o.len_, 0)),
      copy_(std::move(o.copy_)) {}

ZQ_FS_VIEW& ZQ_FS_VIEW::operator=(ZQ_FS_VIEW&& o) noexcept {
    if (this != &o) {
        if (map_) munmap(map_, len_);
        map_ = std::exchange(o.map_, nullptr);
        len_ = std::exchange(o.len_, 0);
        copy_ = std::move(o.copy_);
    }
    return *this;
}

ZQ_FS_VIEW::~ZQ_FS_VIEW() {
    if (map_) munmap(map_, len_);
}

int zq_fs_view(const std::string& path, ZQ_FS_VIEW& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return err_or_io();
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (m != MAP_FAILED) {
            close(fd);
            ZQ_FS_VIEW v;
            v.map_ = static_cast<char*>(m);
            v.len_ = static_cast<size_t>(st.st_size);
            out = std::move(v);
            return 0;
        }
    }
    // Not mappable (a pipe, a device, an empty file): read what this descriptor gives. Opening
    // the path again could miss a writer that has already been and gone.
    std::string text;
    const int err = read_fd(fd, text);
    close(fd);
    if (err != 0) return err;
    ZQ_FS_VIEW v;
    v.copy_ = std::move(text);
    out = std::move(v);
    return 0;
}

int zq_fs_read_regular(const std::string& path, size_t max_bytes, ZQ_FS_VIEW& out, ZQ_FS_STAT& st) {
    st = ZQ_FS_STAT{};
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return err_or_io();
    struct stat sb {};
    int err = 0;
    if (fstat(fd, &sb) != 0) {
        err = err_or_io();
    } else {
        fill_stat(sb, st);
        if (st.kind == ZQ_FS_KIND::Dir)
            err = EISDIR;
        else if (st.kind != ZQ_FS_KIND::File)
            err = EINVAL;
        else if (st.size > max_bytes)
            err = EFBIG;
    }
    if (err == 0) {
        // Reads go back to blocking: a regular file never waits.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        ZQ_FS_VIEW v;
        try {
            v.copy_.resize(static_cast<size_t>(st.size));
        } catch (const std::exception&) {
            err = ENOMEM;
        }
        size_t used = 0;
        while (err == 0 && used < v.copy_.size()) {
            const ssize_t r =
                pread(fd, v.copy_.data() + used, v.copy_.size() - used, static_cast<off_t>(used));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) err = err_or_io();
            if (r <= 0) break;  // shorter than it was: what is there is the file
            used += static_cast<size_t>(r);
        }
        if (err == 0) {
            v.copy_.resize(used);
            out = std::move(v);
        }
    }
    close(fd);
    return err;
}

int zq_fs_lock(const std::string& path, int* handle, long* holder, bool* at_open) {
    if (handle) *handle = -1;
    if (holder) *holder = 0;
    if (at_open) *at_open = false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool writable = true;
    if (fd < 0) {
        // A lock file this user may not write (left by a run as root, or a directory) still
        // takes the lock when it can be opened for reading: flock needs no write access.
        const int err = err_or_io();
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            if (at_open) *at_open = true;
            return err;
        }
        writable = false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = err_or_io();
        char buf[32] = {0};
        const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
        close(fd);
        if (holder && n > 0) *holder = std::strtol(buf, nullptr, 10);
        return err == EAGAIN ? EWOULDBLOCK : err;
    }
    const std::string pid = std::to_string(static_cast<long>(getpid())) + "\n";
    if (writable && (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0)) {
        // The lock holds without the number; a second program then names no pid.
    }
    if (handle) *handle = fd;
    return 0;
}

void zq_fs_unlock(int handle) {
    if (handle >= 0) close(handle);  // closing releases the lock
}

void zq_fs_on_stop_signals(void (*on_stop)(int)) {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // Closing the terminal or the ssh session ends the run in order too.
    sigaction(SIGHUP, &sa, nullptr);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);
}
