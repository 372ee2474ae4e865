#include "fileio/StreamFile.h"

#include "fileio/FileSystem.h"

namespace quorvel {

bool StreamFile::open(const std::string& path, Access access, std::string* why) {
    m_file = platform::File{};
    m_file = fs::openRegularFile(
        path, access == Access::Read ? platform::File::Access::Read : platform::File::Access::ReadWrite,
        why);
    return m_file.isOpen();
}

std::int64_t StreamFile::size() const {
    if (!m_file.isOpen()) return -1;
    return m_file.size();
}

std::int64_t StreamFile::writeAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    if (size == 0 || !m_file.isOpen() || offset < 0) return 0;
    if (writeFault && writeFault(offset, size)) return 0;
    return static_cast<std::int64_t>(m_file.writeAt(data, size, offset).done);
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
    m_file.startWriteBack(from, to);
}

bool StreamFile::flushDataToDisk() {
    return m_file.flushDataToDisk();
}

}  // namespace quorvel
