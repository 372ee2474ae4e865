// Preloaded into quorvel-cli by the recovery test to cut the process at an exact point: it
// counts every call that changes a file (writes to regular files, creating or truncating opens,
// renames, unlinks) and, when QUORVEL_CUT_AT=N is set, kills the process with SIGKILL just
// before the N-th such call. With QUORVEL_CUT_COUNT_FILE set it writes the number of calls made
// to that file when the process ends normally, so the test knows how many cut points a run has.

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
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

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
    if (isRegular(fd)) mutation();
    return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    if (isRegular(fd)) mutation();
    return next<ssize_t (*)(int, const struct iovec*, int)>("writev")(fd, iov, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    if (isRegular(fd)) mutation();
    return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    if (isRegular(fd)) mutation();
    return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, data, size,
                                                                           offset);
}

int ftruncate(int fd, off_t length) {
    mutation();
    return next<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if ((flags & (O_CREAT | O_TRUNC)) != 0) mutation();
    return next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if ((flags & (O_CREAT | O_TRUNC)) != 0) mutation();
    return next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if ((flags & (O_CREAT | O_TRUNC)) != 0) mutation();
    return next<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if ((flags & (O_CREAT | O_TRUNC)) != 0) mutation();
    return next<int (*)(int, const char*, int, ...)>("openat64")(dir, path, flags, mode);
}

int unlink(const char* path) {
    mutation();
    return next<int (*)(const char*)>("unlink")(path);
}

int unlinkat(int dir, const char* path, int flags) {
    mutation();
    return next<int (*)(int, const char*, int)>("unlinkat")(dir, path, flags);
}

int remove(const char* path) {
    mutation();
    return next<int (*)(const char*)>("remove")(path);
}

int rename(const char* from, const char* to) {
    mutation();
    return next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    mutation();
    return next<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                        unsigned int flags) {
    mutation();
    return next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>(
        "copy_file_range")(in, inOffset, out, outOffset, size, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t size) {
    if (isRegular(out)) mutation();
    return next<ssize_t (*)(int, int, off_t*, size_t)>("sendfile")(out, in, offset, size);
}

}  // extern "C"
