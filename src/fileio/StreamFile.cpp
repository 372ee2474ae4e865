#include "fileio/StreamFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/FileSystem.h"

namespace quorvel {

StreamFile::~StreamFile() {
    if (m_fd >= 0) ::close(m_fd);
}

bool StreamFile::open(const std::string& path, Access access, std::string* why) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fs::openRegularFile(path, access == Access::Read ? O_RDONLY : O_RDWR, why);
    return m_fd >= 0;
}

std::int64_t StreamFile::size() const {
    struct stat info {};
    if (m_fd < 0 || ::fstat(m_fd, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

std::int64_t StreamFile::writeAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    if (size == 0 || m_fd < 0 || offset < 0) return 0;
    if (writeFault && writeFault(offset, size)) return 0;
    return static_cast<std::int64_t>(fs::writeAt(m_fd, data, size, offset).done);
}

std::int64_t StreamFile::writeInside(const std::uint8_t* data, std::size_t size,
                                     std::int64_t offset) {
    const std::int64_t now = this->size();
    if (now < 0) return 0;
    if (offset >= 0 &&
        static_cast<std::uint64_t>(offset) + size > static_cast<std::uint64_t>(now)) {
        return kPastEnd;
    }
    return writeAt(data, size, offset);
}

void StreamFile::startWriteBack(std::int64_t from, std::int64_t to) const {
    if (m_fd < 0 || from < 0 || to <= from) return;
#ifdef __linux__
    ::sync_file_range(m_fd, from, to - from, SYNC_FILE_RANGE_WRITE);
#endif
}

}  // namespace quorvel
