#include "fileio/NavigationFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "fileio/BigEndian.h"
#include "fileio/FileSystem.h"

namespace quorvel {

NavigationFile::NavigationFile(const std::string& path, Mode mode) : m_path(path), m_mode(mode) {
    std::string problem;
    // Never created: a path that names nothing must stay nothing.
    m_file = fs::openRegularFile(
        path, mode == Mode::Write ? platform::File::Access::ReadWrite : platform::File::Access::Read,
        &problem);
    if (!m_file.isOpen()) fail(problem);

    std::string why;
    const std::int64_t size = m_file.size(&why);
    if (size < 0 || size > kMaxCheckedSize) {
        m_file.close();
        fail(size >= 0 ? "the file is " + std::to_string(size) +
                             " bytes long, far larger than any navigation file"
                       : "cannot read the file's length (" + why + ")");
    }
    m_content.resize(static_cast<std::size_t>(size));
    const platform::Transfer read = m_file.readAt(m_content.data(), m_content.size(), 0);
    const bool whole = read.done == m_content.size();
    // A check writes nothing, so it lets go of the file as soon as it holds the bytes.
    if (mode == Mode::Check || !whole) m_file.close();
    if (!whole) {
        fail("read failed at offset " + std::to_string(read.done) + " (" +
             (read.reason.empty() ? platform::inputOutputErrorText() : read.reason) + ")");
    }
}

NavigationFile::~NavigationFile() = default;

void NavigationFile::fail(const std::string& reason) const {
    throw FileError(m_path, reason);
}

std::int64_t NavigationFile::length() const {
    return static_cast<std::int64_t>(m_content.size());
}

bool NavigationFile::contains(std::int64_t offset, std::int64_t size) const {
    if (offset < 0 || size < 0) return false;
    const std::int64_t fileLength = length();
    return offset <= fileLength && size <= fileLength - offset;
}

void NavigationFile::failOutside(const char* access, std::int64_t offset, std::int64_t size) const {
    fail(std::string(access) + " of " + std::to_string(size) + " bytes at offset " +
         std::to_string(offset) + " lies outside the file (" + std::to_string(length()) +
         " bytes)");
}

void NavigationFile::readExactly(std::int64_t offset, std::uint8_t* into,
                                 std::int64_t count) const {
    if (!contains(offset, count)) failOutside("read", offset, count);
    std::copy_n(m_content.begin() + offset, count, into);
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

std::uint16_t NavigationFile::getU16(std::int64_t offset) const {
    return static_cast<std::uint16_t>(getBE16(offset));
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

void NavigationFile::putByte(std::int64_t offset, std::uint8_t value, const char* field) {
    putBytes(offset, ByteString{value}, {{field, 1}});
}

void NavigationFile::putBE32(std::int64_t offset, std::int32_t value, const char* field) {
    putBytes(offset, be32ToBytes(value), {{field, 4}});
}

void NavigationFile::putBytes(std::int64_t offset, const ByteString& bytes,
                              std::initializer_list<Field> fields) {
    const auto count = static_cast<std::int64_t>(bytes.size());
    // Inside the file, or exactly at its end (an append). Anything else would either leave a
    // hole of zeros or overrun the end only partly; both mean a wrong offset.
    const std::int64_t fileLength = length();
    const bool append = offset == fileLength;
    if (!contains(offset, count) && !append) failOutside("write", offset, count);
    if (count > std::numeric_limits<std::int64_t>::max() - offset) {
        failOutside("write", offset, count);
    }
    if (count == 0) return;

    const ByteString before = append ? ByteString{} : getBytes(offset, count);
    // Bytes the file holds already are not written again: a rerun over a converted file leaves
    // its time alone. The write is still recorded; it changes nothing.
    if (append || before != bytes) writeExactly(offset, bytes, append);

    // One record per named field; a write whose fields do not add up is recorded whole.
    std::vector<Field> parts(fields);
    std::size_t named = 0;
    for (const Field& field : parts) named += field.size;
    if (named != bytes.size()) parts = {{"", bytes.size()}};
    std::size_t at = 0;
    for (const Field& field : parts) {
        const auto from = static_cast<std::ptrdiff_t>(at);
        const auto to = static_cast<std::ptrdiff_t>(at + field.size);
        m_writes.push_back(
            {m_path, field.name == nullptr ? "" : field.name, offset + from,
             append ? ByteString{} : ByteString(before.begin() + from, before.begin() + to),
             ByteString(bytes.begin() + from, bytes.begin() + to)});
        at += field.size;
    }
}

void NavigationFile::writeExactly(std::int64_t offset, const ByteString& bytes, bool append) {
    if (m_mode == Mode::Write) {
        const auto count = static_cast<std::int64_t>(bytes.size());
        m_unflushed = true;
        const platform::Transfer written =
            m_file.writeAt(bytes.data(), static_cast<std::size_t>(count), offset);
        if (written.failed()) {
            // A half-written append (a full disk) would leave stray bytes that a rerun takes for
            // part of the file; the file goes back to its old length instead.
            if (append) m_file.truncate(offset);
            const auto at = offset + static_cast<std::int64_t>(written.done);
            fail("write failed at offset " + std::to_string(at) + " (" + written.reason + ")");
        }
    }
    // The copy follows the file, so later reads see the bytes in place.
    if (append) {
        m_content.insert(m_content.end(), bytes.begin(), bytes.end());
    } else {
        std::copy(bytes.begin(), bytes.end(), m_content.begin() + offset);
    }
}

void NavigationFile::flush() {
    if (m_mode == Mode::Check || !m_unflushed) return;
    std::string why;
    if (!m_file.flushToDisk(&why)) fail("cannot flush the file to disk (" + why + ")");
    m_unflushed = false;
}

void NavigationFile::barrier() {
    // Nothing lighter orders writes to one file on the disk than making the first ones durable.
    flush();
}

FieldChanges NavigationFile::changes() const {
    // Keyed by offset and field: the first write gives the old bytes, the last the new ones.
    std::map<std::pair<std::int64_t, std::string>, FieldChange> merged;
    for (const FieldChange& write : m_writes) {
        auto [it, fresh] = merged.try_emplace({write.offset, write.field}, write);
        if (!fresh) it->second.after = write.after;
    }
    FieldChanges result;
    for (auto& [key, change] : merged) {
        if (change.before != change.after) result.push_back(std::move(change));
    }
    return result;
}

std::string NavigationFile::writeProblem() const {
    return fs::writeProblem(m_path);
}

}  // namespace quorvel
