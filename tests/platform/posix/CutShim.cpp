// Preloaded into quorvel-cli by the recovery test to cut the process at an exact point: it
// counts every call that changes a file (writes to regular files, creating or truncating opens,
// renames, unlinks) and, when QUORVEL_CUT_AT=N is set, kills the process with SIGKILL just
// before the N-th such call. With QUORVEL_CUT_COUNT_FILE set it writes the number of calls made
// to that file when the process ends normally, so the test knows how many cut points a run has.
//
// With QUORVEL_RECORD_FILE set it also appends to that file one line per call that changes a
// file, with the bytes written, and per fsync/fdatasync (the barriers), in the order the calls
// were made, so that the power-cut test can build every state a crash may leave:
//   W <path> <offset> <hex bytes>   T <path> <length>   C <path>   K <path> (O_TRUNC)
//   R <from> <to>   U <path>   S <path> (fsync or fdatasync)   X <call> (not recordable)
// Paths are absolute; a field is separated by a tab.

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

long g_calls = 0;
long g_cutAt = -1;
bool g_ready = false;

void setUp() {
    if (g_ready) return;
    g_ready = true;
    if (const char* at = getenv("QUORVEL_CUT_AT")) g_cutAt = atol(at);
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool isRegular(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

void mutation() {
    setUp();
    ++g_calls;
    if (g_cutAt > 0 && g_calls == g_cutAt) raise(SIGKILL);
}

// --- Recording ---------------------------------------------------------------------------------

// Held over the call and its record, so that the records of the writer thread and the main
// thread come in the order the calls were made.
pthread_mutex_t g_recordLock = PTHREAD_MUTEX_INITIALIZER;
int g_recordFd = -2;

int recordFd() {
    if (g_recordFd == -2) {
        const char* to = getenv("QUORVEL_RECORD_FILE");
        using OpenFn = int (*)(const char*, int, ...);
        g_recordFd = to == nullptr ? -1
                                   : next<OpenFn>("open")(
                                         to, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    return g_recordFd;
}

struct Recording {
    Recording() { pthread_mutex_lock(&g_recordLock); }
    ~Recording() { pthread_mutex_unlock(&g_recordLock); }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
};

void emit(const char* text, size_t size) {
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    static const WriteFn real = next<WriteFn>("write");
    while (size > 0) {
        const ssize_t n = real(recordFd(), text, size);
        if (n <= 0) return;
        text += n;
        size -= static_cast<size_t>(n);
    }
}

void emitText(const char* text) {
    emit(text, strlen(text));
}

// The absolute path behind a descriptor.
void emitFdPath(int fd) {
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = 0;
    emitText(path);
}

// The absolute path of `path` taken relative to `dir` (AT_FDCWD for the working folder).
void emitAtPath(int dir, const char* path) {
    if (path[0] != '/') {
        if (dir == AT_FDCWD) {
            char cwd[PATH_MAX];
            emitText(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "");
        } else {
            emitFdPath(dir);
        }
        emitText("/");
    }
    emitText(path);
}

bool recording() {
    return recordFd() >= 0;
}

void recordWrite(int fd, const void* data, ssize_t size, off_t offset) {
    if (size <= 0) return;
    emitText("W\t");
    emitFdPath(fd);
    char number[32];
    snprintf(number, sizeof number, "\t%lld\t", static_cast<long long>(offset));
    emitText(number);
    static const char kHex[] = "0123456789abcdef";
    char chunk[512];
    size_t used = 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (ssize_t k = 0; k < size; ++k) {
        chunk[used++] = kHex[bytes[k] >> 4];
        chunk[used++] = kHex[bytes[k] & 15];
        if (used == sizeof chunk) {
            emit(chunk, used);
            used = 0;
        }
    }
    emit(chunk, used);
    emitText("\n");
}

void recordFdLine(const char* kind, int fd, const char* tail = "") {
    emitText(kind);
    emitFdPath(fd);
    emitText(tail);
    emitText("\n");
}

void recordOpen(int fd, int flags) {
    if (fd < 0 || !isRegular(fd)) return;
    if ((flags & O_CREAT) != 0) recordFdLine("C\t", fd);
    if ((flags & O_TRUNC) != 0) recordFdLine("K\t", fd);
}

void recordPathLine(const char* kind, int dir, const char* path) {
    emitText(kind);
    emitAtPath(dir, path);
    emitText("\n");
}

// Where a plain write lands: at the end for O_APPEND, else at the file offset.
off_t writePosition(int fd) {
    if ((fcntl(fd, F_GETFL) & O_APPEND) != 0) {
        struct stat info;
        return fstat(fd, &info) == 0 ? info.st_size : 0;
    }
    return lseek(fd, 0, SEEK_CUR);
}

__attribute__((destructor)) void reportCount() {
    const char* to = getenv("QUORVEL_CUT_COUNT_FILE");
    if (to == nullptr) return;
    char text[32];
    const int n = snprintf(text, sizeof text, "%ld\n", g_calls);
    using OpenFn = int (*)(const char*, int, ...);
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    const int fd = next<OpenFn>("open")(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    next<WriteFn>("write")(fd, text, static_cast<size_t>(n));
    close(fd);
}

// A creating or truncating open changes a file: counted, and recorded with the file it opened.
// `open` calls the real function; every other open passes straight through.
template <typename Open>
int changingOpen(int flags, Open open) {
    if ((flags & (O_CREAT | O_TRUNC)) == 0) return open();
    mutation();
    if (!recording()) return open();
    const Recording lock;
    const int fd = open();
    recordOpen(fd, flags);
    return fd;
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
    const bool regular = isRegular(fd);
    if (regular) mutation();
    if (!regular || !recording()) {
        return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
    }
    const Recording lock;
    const off_t at = writePosition(fd);
    const ssize_t n = next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
    recordWrite(fd, data, n, at);
    return n;
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    if (isRegular(fd)) {
        mutation();
        if (recording()) {
            const Recording lock;
            emitText("X\twritev\n");
        }
    }
    return next<ssize_t (*)(int, const struct iovec*, int)>("writev")(fd, iov, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    const bool regular = isRegular(fd);
    if (regular) mutation();
    if (!regular || !recording()) {
        return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
    }
    const Recording lock;
    const ssize_t n =
        next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
    recordWrite(fd, data, n, offset);
    return n;
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    const bool regular = isRegular(fd);
    if (regular) mutation();
    if (!regular || !recording()) {
        return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, data, size,
                                                                                offset);
    }
    const Recording lock;
    const ssize_t n =
        next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, data, size, offset);
    recordWrite(fd, data, n, offset);
    return n;
}

int ftruncate(int fd, off_t length) {
    mutation();
    if (!recording()) return next<int (*)(int, off_t)>("ftruncate")(fd, length);
    const Recording lock;
    const int result = next<int (*)(int, off_t)>("ftruncate")(fd, length);
    char tail[32];
    snprintf(tail, sizeof tail, "\t%lld", static_cast<long long>(length));
    if (result == 0) recordFdLine("T\t", fd, tail);
    return result;
}

int fsync(int fd) {
    if (!recording()) return next<int (*)(int)>("fsync")(fd);
    const Recording lock;
    const int result = next<int (*)(int)>("fsync")(fd);
    recordFdLine("S\t", fd);
    return result;
}

int fdatasync(int fd) {
    if (!recording()) return next<int (*)(int)>("fdatasync")(fd);
    const Recording lock;
    const int result = next<int (*)(int)>("fdatasync")(fd);
    recordFdLine("S\t", fd);
    return result;
}

// The mode argument exists only with O_CREAT.
#define QUORVEL_OPEN_MODE(flags)                                   \
    mode_t mode = 0;                                               \
    if (((flags) & O_CREAT) != 0) {                                \
        va_list args;                                              \
        va_start(args, flags);                                     \
        mode = static_cast<mode_t>(va_arg(args, int));             \
        va_end(args);                                              \
    }

int open(const char* path, int flags, ...) {
    QUORVEL_OPEN_MODE(flags)
    using OpenFn = int (*)(const char*, int, ...);
    return changingOpen(flags, [&] { return next<OpenFn>("open")(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    QUORVEL_OPEN_MODE(flags)
    using OpenFn = int (*)(const char*, int, ...);
    return changingOpen(flags, [&] { return next<OpenFn>("open64")(path, flags, mode); });
}

int openat(int dir, const char* path, int flags, ...) {
    QUORVEL_OPEN_MODE(flags)
    using OpenAtFn = int (*)(int, const char*, int, ...);
    return changingOpen(flags, [&] { return next<OpenAtFn>("openat")(dir, path, flags, mode); });
}

int openat64(int dir, const char* path, int flags, ...) {
    QUORVEL_OPEN_MODE(flags)
    using OpenAtFn = int (*)(int, const char*, int, ...);
    return changingOpen(flags, [&] { return next<OpenAtFn>("openat64")(dir, path, flags, mode); });
}

int unlink(const char* path) {
    mutation();
    if (!recording()) return next<int (*)(const char*)>("unlink")(path);
    const Recording lock;
    const int result = next<int (*)(const char*)>("unlink")(path);
    if (result == 0) recordPathLine("U\t", AT_FDCWD, path);
    return result;
}

int unlinkat(int dir, const char* path, int flags) {
    mutation();
    if (!recording()) return next<int (*)(int, const char*, int)>("unlinkat")(dir, path, flags);
    const Recording lock;
    const int result = next<int (*)(int, const char*, int)>("unlinkat")(dir, path, flags);
    if (result == 0) recordPathLine("U\t", dir, path);
    return result;
}

int remove(const char* path) {
    mutation();
    if (!recording()) return next<int (*)(const char*)>("remove")(path);
    const Recording lock;
    const int result = next<int (*)(const char*)>("remove")(path);
    if (result == 0) recordPathLine("U\t", AT_FDCWD, path);
    return result;
}

int rename(const char* from, const char* to) {
    mutation();
    if (!recording()) return next<int (*)(const char*, const char*)>("rename")(from, to);
    const Recording lock;
    const int result = next<int (*)(const char*, const char*)>("rename")(from, to);
    if (result == 0) {
        emitText("R\t");
        emitAtPath(AT_FDCWD, from);
        emitText("\t");
        emitAtPath(AT_FDCWD, to);
        emitText("\n");
    }
    return result;
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    mutation();
    using RenameAtFn = int (*)(int, const char*, int, const char*);
    if (!recording()) return next<RenameAtFn>("renameat")(fromDir, from, toDir, to);
    const Recording lock;
    const int result = next<RenameAtFn>("renameat")(fromDir, from, toDir, to);
    if (result == 0) {
        emitText("R\t");
        emitAtPath(fromDir, from);
        emitText("\t");
        emitAtPath(toDir, to);
        emitText("\n");
    }
    return result;
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                        unsigned int flags) {
    mutation();
    if (recording()) {
        const Recording lock;
        emitText("X\tcopy_file_range\n");
    }
    return next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>(
        "copy_file_range")(in, inOffset, out, outOffset, size, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t size) {
    if (isRegular(out)) {
        mutation();
        if (recording()) {
            const Recording lock;
            emitText("X\tsendfile\n");
        }
    }
    return next<ssize_t (*)(int, int, off_t*, size_t)>("sendfile")(out, in, offset, size);
}

}  // extern "C"
