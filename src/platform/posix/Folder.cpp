#include "platform/Folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/PosixSupport.h"

namespace quorvel::platform {

namespace {

int openFlags(File::Access access) {
    switch (access) {
        case File::Access::Read:
            return O_RDONLY;
        case File::Access::Write:
            return O_WRONLY;
        case File::Access::ReadWrite:
            return O_RDWR;
    }
    return O_RDONLY;
}

int openAt(int base, const std::string& name, int flags, mode_t permissions = 0) {
    int fd = -1;
    do {
        fd = ::openat(base, name.c_str(), flags | O_CLOEXEC, permissions);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Folder::~Folder() {
    if (m_handle >= 0) ::close(m_handle);
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (m_handle >= 0) ::close(m_handle);
        m_handle = std::exchange(other.m_handle, kClosed);
    }
    return *this;
}

Folder Folder::open(const std::string& path, Problem* problem) {
    const int fd = openAt(AT_FDCWD, path.empty() ? "." : path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) setProblem(problem, errno);
    return Folder(fd);
}

Folder Folder::openFolder(const std::string& name, Problem* problem) const {
    const int fd = openAt(m_handle, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd >= 0) return Folder(fd);
    const int error = errno;
    // O_NOFOLLOW with O_DIRECTORY answers a link with ENOTDIR; the link is what matters here.
    if (look(name, false).kind == EntryKind::Link) {
        setProblem(problem, Problem::Kind::Linked, ELOOP);
    } else {
        setProblem(problem, error);
    }
    return Folder{};
}

bool Folder::createFolder(const std::string& name, Problem* problem) const {
    constexpr mode_t kOwnerOnly = 0700;
    if (::mkdirat(m_handle, name.c_str(), kOwnerOnly) == 0 || errno == EEXIST) return true;
    setProblem(problem, errno);
    return false;
}

// A link would let a job patch a file outside the disc folder, and a FIFO or a device is not a
// file whose bytes we patch: O_NONBLOCK keeps a FIFO from holding the open until a writer comes,
// and the look before the open keeps a device node from being opened at all.
File Folder::openFile(const std::string& name, File::Access access, Problem* problem) const {
    const EntryInfo before = look(name, false);
    if (before.kind == EntryKind::Link) {
        setProblem(problem, Problem::Kind::Linked, ELOOP);
        return File{};
    }
    if (before.known() && before.kind != EntryKind::File) {
        setProblem(problem, Problem::Kind::NotRegular, EINVAL);
        return File{};
    }
    File file(openAt(m_handle, name, openFlags(access) | O_NOFOLLOW | O_NONBLOCK));
    if (!file.isOpen()) {
        const int error = errno;
        setProblem(problem, error == ELOOP ? Problem::Kind::Linked : problemKind(error), error);
        return file;
    }
    if (file.info().kind != EntryKind::File) {
        setProblem(problem, Problem::Kind::NotRegular, EINVAL);
        return File{};
    }
    // Reads and writes of the regular file wait as usual.
    const int flags = ::fcntl(file.native(), F_GETFL);
    if (flags >= 0) ::fcntl(file.native(), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

File Folder::openAnyForReading(const std::string& name) const {
    return File(::openat(m_handle, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
}

File Folder::createFile(const std::string& name, unsigned permissions, Problem* problem) const {
    File file(openAt(m_handle, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                     static_cast<mode_t>(permissions & 0777)));
    if (!file.isOpen()) setProblem(problem, errno);
    return file;
}

std::vector<std::string> Folder::names() const {
    std::vector<std::string> names;
    if (!isOpen()) return names;
    // The listing takes a descriptor of its own, so the folder stays open for the caller.
    const int fd = ::dup(m_handle);
    if (fd < 0) return names;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

EntryInfo Folder::look(const std::string& name, bool followLink) const {
    struct stat info {};
    if (::fstatat(m_handle, name.c_str(), &info, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return failedLook(errno);
    }
    return entryInfo(info);
}

bool Folder::rename(const std::string& from, const std::string& to, Problem* problem) const {
    if (::renameat(m_handle, from.c_str(), m_handle, to.c_str()) == 0) return true;
    setProblem(problem, errno);
    return false;
}

bool Folder::remove(const std::string& name) const {
    return ::unlinkat(m_handle, name.c_str(), 0) == 0;
}

bool Folder::flushToDisk() const {
    return ::fsync(m_handle) == 0;
}

FolderLock::FolderLock(const std::string& path, Kind kind) {
    m_folder = Folder(openAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!m_folder.isOpen()) return;
    const int operation = (kind == Kind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int result = 0;
    do {
        result = ::flock(m_folder.native(), operation);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return;
    m_busy = errno == EWOULDBLOCK;
    // Closing the folder's last descriptor releases the lock.
    m_folder = Folder{};
}

}  // namespace quorvel::platform
