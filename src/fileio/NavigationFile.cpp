#include "fileio/NavigationFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "app/QuorvelError.h"
#include "fileio/BigEndian.h"

namespace quorvel {

static_assert(sizeof(off_t) == 8, "navigation file offsets need a 64-bit off_t");

namespace {

std::string systemReason(int error) {
    return std::strerror(error);
}

}  // namespace

NavigationFile::NavigationFile(const std::string& path) : m_path(path) {
    // No O_CREAT: a path that names nothing must stay nothing.
    do {
        m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        throw QuorvelError(path + ": cannot open for reading and writing (" + systemReason(errno) +
                           ")");
    }
    struct stat info {};
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(m_fd);
        m_fd = -1;
        throw QuorvelError(path + ": not a regular file");
    }
}

NavigationFile::~NavigationFile() {
    if (m_fd >= 0) ::close(m_fd);
}

std::int64_t NavigationFile::length() const {
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        throw QuorvelError(m_path + ": cannot read the file's length (" + systemReason(errno) +
                           ")");
    }
    return static_cast<std::int64_t>(info.st_size);
}

bool NavigationFile::contains(std::int64_t offset, std::int64_t size) const {
    if (offset < 0 || size < 0) return false;
    const std::int64_t fileLength = length();
    return offset <= fileLength && size <= fileLength - offset;
}

void NavigationFile::failOutside(const char* access, std::int64_t offset, std::int64_t size) const {
    throw QuorvelError(m_path + ": " + access + " of " + std::to_string(size) +
                       " bytes at offset " + std::to_string(offset) + " lies outside the file (" +
                       std::to_string(length()) + " bytes)");
}

void NavigationFile::readExactly(std::int64_t offset, std::uint8_t* into,
                                 std::int64_t count) const {
    if (!contains(offset, count)) failOutside("read", offset, count);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(m_fd, into + done, static_cast<std::size_t>(count - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            throw QuorvelError(m_path + ": read failed at offset " + std::to_string(offset + done) +
                               " (" + systemReason(errno) + ")");
        }
        if (got == 0) failOutside("read", offset, count);  // the file shrank under us
        done += got;
    }
}

std::uint8_t NavigationFile::getByte(std::int64_t offset) const {
    std::uint8_t byte = 0;
    readExactly(offset, &byte, 1);
    return byte;
}

std::int16_t NavigationFile::getBE16(std::int64_t offset) const {
    std::uint8_t bytes[2] = {};
    readExactly(offset, bytes, 2);
    return be16FromBytes(bytes);
}

std::int32_t NavigationFile::getBE32(std::int64_t offset) const {
    std::uint8_t bytes[4] = {};
    readExactly(offset, bytes, 4);
    return be32FromBytes(bytes);
}

ByteString NavigationFile::getBytes(std::int64_t offset, std::int64_t count) const {
    // Checked before the buffer is sized, so a wild count cannot allocate gigabytes.
    if (!contains(offset, count)) failOutside("read", offset, count);
    ByteString bytes(static_cast<std::size_t>(count));
    if (count > 0) readExactly(offset, bytes.data(), count);
    return bytes;
}

void NavigationFile::putByte(std::int64_t offset, std::uint8_t value) {
    putBytes(offset, ByteString{value});
}

void NavigationFile::putBytes(std::int64_t offset, const ByteString& bytes) {
    const auto count = static_cast<std::int64_t>(bytes.size());
    // Inside the file, or exactly at its end (an append). Anything else would either leave a
    // hole of zeros or overrun the end only partly; both mean a wrong offset.
    const std::int64_t fileLength = length();
    const bool inside = contains(offset, count);
    const bool append = offset == fileLength;
    if (!inside && !append) failOutside("write", offset, count);
    if (count > std::numeric_limits<std::int64_t>::max() - offset) {
        failOutside("write", offset, count);
    }

    std::int64_t done = 0;
    while (done < count) {
        const ssize_t put =
            ::pwrite(m_fd, bytes.data() + done, static_cast<std::size_t>(count - done),
                     static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            throw QuorvelError(m_path + ": write failed at offset " +
                               std::to_string(offset + done) + " (" +
                               systemReason(put < 0 ? errno : EIO) + ")");
        }
        done += put;
    }
}

void NavigationFile::putBE32(std::int64_t offset, std::int32_t value) {
    putBytes(offset, be32ToBytes(value));
}

}  // namespace quorvel
