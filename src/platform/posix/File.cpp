#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/PosixSupport.h"

namespace quorvel::platform {

static_assert(sizeof(off_t) == 8, "file offsets need a 64-bit off_t");

std::string systemReason(int error) {
    return std::strerror(error);
}

Problem::Kind problemKind(int error) {
    switch (error) {
        case 0:
            return Problem::Kind::None;
        case ENOENT:
            return Problem::Kind::Missing;
        case ENOTDIR:
            return Problem::Kind::NotFolder;
        case ELOOP:
            return Problem::Kind::Linked;
        case EEXIST:
            return Problem::Kind::Exists;
        default:
            return Problem::Kind::Other;
    }
}

void setProblem(Problem* problem, int error) {
    if (problem != nullptr) *problem = Problem{problemKind(error), systemReason(error)};
}

void setProblem(Problem* problem, Problem::Kind kind, int error) {
    if (problem != nullptr) *problem = Problem{kind, systemReason(error)};
}

void setReason(std::string* why, int error) {
    if (why != nullptr) *why = systemReason(error);
}

EntryInfo entryInfo(const struct stat& info) {
    EntryInfo entry;
    entry.kind = S_ISREG(info.st_mode)   ? EntryKind::File
                 : S_ISDIR(info.st_mode) ? EntryKind::Folder
                 : S_ISLNK(info.st_mode) ? EntryKind::Link
                                         : EntryKind::Other;
    entry.id = {static_cast<unsigned long long>(info.st_dev),
                static_cast<unsigned long long>(info.st_ino)};
    entry.links = static_cast<unsigned long long>(info.st_nlink);
    entry.size = static_cast<std::int64_t>(info.st_size);
    constexpr std::int64_t kStatBlockSize = 512;  // unit of st_blocks
    entry.allocated = static_cast<std::int64_t>(info.st_blocks) * kStatBlockSize;
    entry.permissions = static_cast<unsigned>(info.st_mode & 0777);
    return entry;
}

EntryInfo failedLook(int error) {
    EntryInfo entry;
    entry.kind = error == ENOENT ? EntryKind::Missing : EntryKind::Unknown;
    return entry;
}

std::string inputOutputErrorText() {
    return systemReason(EIO);
}

File::~File() {
    if (m_handle >= 0) ::close(m_handle);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_handle >= 0) ::close(m_handle);
        m_handle = std::exchange(other.m_handle, kClosed);
    }
    return *this;
}

bool File::close(std::string* why) {
    if (m_handle < 0) return true;
    if (::close(std::exchange(m_handle, kClosed)) == 0) return true;
    setReason(why, errno);
    return false;
}

std::int64_t File::size(std::string* why) const {
    struct stat info {};
    if (::fstat(m_handle, &info) != 0) {
        setReason(why, errno);
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

EntryInfo File::info(std::string* why) const {
    struct stat info {};
    if (::fstat(m_handle, &info) != 0) {
        const int error = errno;
        setReason(why, error);
        return failedLook(error);
    }
    return entryInfo(info);
}

Transfer File::readAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const {
    Transfer result;
    while (result.done < size) {
        const ssize_t got = ::pread(m_handle, data + result.done, size - result.done,
                                    static_cast<off_t>(offset + result.done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result.reason = systemReason(errno);
            break;
        }
        if (got == 0) break;
        result.done += static_cast<std::size_t>(got);
    }
    return result;
}

Transfer File::writeAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    Transfer result;
    while (result.done < size) {
        const ssize_t put = ::pwrite(m_handle, data + result.done, size - result.done,
                                     static_cast<off_t>(offset + result.done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            result.reason = systemReason(put < 0 ? errno : EIO);
            break;
        }
        result.done += static_cast<std::size_t>(put);
    }
    return result;
}

bool File::truncate(std::int64_t size, std::string* why) {
    while (::ftruncate(m_handle, static_cast<off_t>(size)) != 0) {
        if (errno == EINTR) continue;
        setReason(why, errno);
        return false;
    }
    return true;
}

bool File::setPermissions(unsigned permissions, std::string* why) {
    if (::fchmod(m_handle, static_cast<mode_t>(permissions & 0777)) == 0) return true;
    setReason(why, errno);
    return false;
}

bool File::flushToDisk(std::string* why) {
    if (::fsync(m_handle) == 0) return true;
    setReason(why, errno);
    return false;
}

bool File::flushDataToDisk(std::string* why) {
    if (::fdatasync(m_handle) == 0) return true;
    setReason(why, errno);
    return false;
}

void File::startWriteBack(std::int64_t from, std::int64_t to) const {
    if (m_handle < 0 || from < 0 || to <= from) return;
#ifdef __linux__
    ::sync_file_range(m_handle, from, to - from, SYNC_FILE_RANGE_WRITE);
#endif
}

std::int64_t File::nextData(std::int64_t from) const {
    const off_t data = ::lseek(m_handle, static_cast<off_t>(from), SEEK_DATA);
    if (data >= 0) return static_cast<std::int64_t>(data);
    return errno == ENXIO ? kNoMoreData : from;
}

EntryInfo lookAt(const std::string& path, bool followLink) {
    struct stat info {};
    const char* name = path.empty() ? "." : path.c_str();
    if ((followLink ? ::stat(name, &info) : ::lstat(name, &info)) != 0) return failedLook(errno);
    return entryInfo(info);
}

}  // namespace quorvel::platform
