#include "platform/File.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <vector>

#include "platform/WindowsPaths.h"
#include "platform/win32/WideText.h"
#include "platform/win32/Win32Support.h"

namespace quorvel::platform {

namespace win32 {

namespace {

// ReadFile and WriteFile move at most a DWORD's worth at a time; a gigabyte keeps each call sane.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;
// The owner/group/other bits shown for a writable file and for a read-only one.
constexpr unsigned kWritablePermissions = 0644;
constexpr unsigned kReadOnlyPermissions = 0444;
constexpr unsigned kOwnerWrite = 0200;

std::string workingFolderText() {
    const DWORD length = ::GetCurrentDirectoryW(0, nullptr);
    if (length == 0) return {};
    std::wstring folder(length, L'\0');
    const DWORD written = ::GetCurrentDirectoryW(length, folder.data());
    folder.resize(written);
    return toUtf8(folder);
}

OVERLAPPED at(std::int64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return position;
}

}  // namespace

std::wstring systemPath(const std::string& path) {
    return toWide(windows::extendedPath(path, workingFolderText()));
}

std::string pathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            handle, path.data(), static_cast<DWORD>(path.size()), VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return toUtf8(path);
        }
        path.resize(length + 1);
    }
}

Problem::Kind problemKind(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return Problem::Kind::None;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return Problem::Kind::Missing;
        case ERROR_DIRECTORY:
            return Problem::Kind::NotFolder;
        case ERROR_CANT_ACCESS_FILE:
            return Problem::Kind::Linked;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return Problem::Kind::Exists;
        default:
            return Problem::Kind::Other;
    }
}

namespace {

// The system's words, except where another program holds the file open without sharing it (a
// player, a preview pane): its own words ("Sharing violation" under some systems) do not say
// what the user can do about it.
std::string problemReason(DWORD error) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        return "it is in use by another program";
    }
    return systemReason(error);
}

}  // namespace

void setProblem(Problem* problem, DWORD error) {
    if (problem != nullptr) *problem = Problem{problemKind(error), problemReason(error)};
}

void setProblem(Problem* problem, Problem::Kind kind, DWORD error) {
    if (problem != nullptr) *problem = Problem{kind, problemReason(error)};
}

void setReason(std::string* why, DWORD error) {
    if (why != nullptr) *why = problemReason(error);
}

HANDLE openNoFollow(const std::wstring& path, DWORD access, DWORD disposition, DWORD attributes,
                    bool& linked) {
    linked = false;
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = ::CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition,
                                  attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return handle;
    }
    ::CloseHandle(handle);
    if (windows::reparseAction(tag.ReparseTag) == windows::ReparseAction::Refuse) {
        linked = true;
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, attributes,
                         nullptr);
}

EntryInfo handleInfo(HANDLE handle, std::string* why) {
    EntryInfo entry;
    BY_HANDLE_FILE_INFORMATION basic{};
    if (!::GetFileInformationByHandle(handle, &basic)) {
        const DWORD error = ::GetLastError();
        setReason(why, error);
        if (::GetFileType(handle) != FILE_TYPE_DISK && ::GetFileType(handle) != FILE_TYPE_UNKNOWN) {
            entry.kind = EntryKind::Other;
        }
        return entry;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool surrogate =
        (basic.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        windows::reparseAction(tag.ReparseTag) == windows::ReparseAction::Refuse;
    entry.kind = surrogate                                                  ? EntryKind::Link
                 : (basic.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder
                 : ::GetFileType(handle) == FILE_TYPE_DISK                  ? EntryKind::File
                                                                            : EntryKind::Other;
    FILE_ID_INFO id{};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        std::uint64_t halves[2] = {};
        static_assert(sizeof halves == sizeof id.FileId.Identifier);
        std::copy_n(id.FileId.Identifier, sizeof halves, reinterpret_cast<BYTE*>(halves));
        entry.id = {id.VolumeSerialNumber, halves[0], halves[1]};
    } else {
        entry.id = {basic.dwVolumeSerialNumber,
                    (static_cast<unsigned long long>(basic.nFileIndexHigh) << 32) |
                        basic.nFileIndexLow};
    }
    entry.links = basic.nNumberOfLinks;
    entry.size = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(basic.nFileSizeHigh) << 32) | basic.nFileSizeLow);
    FILE_STANDARD_INFO standard{};
    entry.allocated = ::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                                     sizeof standard)
                          ? static_cast<std::int64_t>(standard.AllocationSize.QuadPart)
                          : entry.size;
    entry.permissions = (basic.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0
                            ? kReadOnlyPermissions
                            : kWritablePermissions;
    return entry;
}

}  // namespace win32

using namespace win32;

std::string inputOutputErrorText() {
    return systemReason(ERROR_IO_DEVICE);
}

File::~File() {
    if (m_handle != kClosed) ::CloseHandle(m_handle);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_handle != kClosed) ::CloseHandle(m_handle);
        m_handle = std::exchange(other.m_handle, kClosed);
    }
    return *this;
}

bool File::close(std::string* why) {
    if (m_handle == kClosed) return true;
    if (::CloseHandle(std::exchange(m_handle, kClosed))) return true;
    setReason(why, ::GetLastError());
    return false;
}

std::int64_t File::size(std::string* why) const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_handle, &size)) {
        setReason(why, ::GetLastError());
        return -1;
    }
    return static_cast<std::int64_t>(size.QuadPart);
}

EntryInfo File::info(std::string* why) const {
    return handleInfo(m_handle, why);
}

Transfer File::readAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const {
    Transfer result;
    while (result.done < size) {
        OVERLAPPED position = at(offset + static_cast<std::int64_t>(result.done));
        const auto want = static_cast<DWORD>(std::min(size - result.done, kLargestTransfer));
        DWORD got = 0;
        if (!::ReadFile(m_handle, data + result.done, want, &got, &position)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_HANDLE_EOF) result.reason = systemReason(error);
            break;
        }
        if (got == 0) break;
        result.done += got;
    }
    return result;
}

Transfer File::writeAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    Transfer result;
    while (result.done < size) {
        OVERLAPPED position = at(offset + static_cast<std::int64_t>(result.done));
        const auto want = static_cast<DWORD>(std::min(size - result.done, kLargestTransfer));
        DWORD put = 0;
        if (!::WriteFile(m_handle, data + result.done, want, &put, &position)) {
            result.reason = systemReason(::GetLastError());
            break;
        }
        if (put == 0) {
            result.reason = inputOutputErrorText();
            break;
        }
        result.done += put;
    }
    return result;
}

bool File::truncate(std::int64_t size, std::string* why) {
    LARGE_INTEGER end{};
    end.QuadPart = size;
    if (::SetFilePointerEx(m_handle, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_handle)) {
        return true;
    }
    setReason(why, ::GetLastError());
    return false;
}

// Windows has one permission bit of its own: read-only, set when the owner may not write.
bool File::setPermissions(unsigned permissions, std::string* why) {
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(m_handle, FileBasicInfo, &basic, sizeof basic)) {
        const bool readOnly = (permissions & kOwnerWrite) == 0;
        basic.FileAttributes = readOnly ? (basic.FileAttributes | FILE_ATTRIBUTE_READONLY)
                                        : (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (::SetFileInformationByHandle(m_handle, FileBasicInfo, &basic, sizeof basic)) {
            return true;
        }
    }
    setReason(why, ::GetLastError());
    return false;
}

bool File::flushToDisk(std::string* why) {
    if (::FlushFileBuffers(m_handle)) return true;
    setReason(why, ::GetLastError());
    return false;
}

bool File::flushDataToDisk(std::string* why) {
    return flushToDisk(why);
}

// Windows starts writing changed pages on its own; there is no call to hurry a range along.
void File::startWriteBack(std::int64_t, std::int64_t) const {}

std::int64_t File::nextData(std::int64_t from) const {
    const std::int64_t end = size();
    if (end < 0 || from >= end) return from;
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = from;
    query.Length.QuadPart = end - from;
    FILE_ALLOCATED_RANGE_BUFFER first{};
    DWORD returned = 0;
    const BOOL done = ::DeviceIoControl(m_handle, FSCTL_QUERY_ALLOCATED_RANGES, &query,
                                        sizeof query, &first, sizeof first, &returned, nullptr);
    // More ranges than fit in one answer still give the first one.
    if (!done && ::GetLastError() != ERROR_MORE_DATA) return from;
    if (returned < sizeof first) return kNoMoreData;
    return std::max(from, static_cast<std::int64_t>(first.FileOffset.QuadPart));
}

EntryInfo lookAt(const std::string& path, bool followLink) {
    const std::wstring name = systemPath(path);
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = name.empty() ? INVALID_HANDLE_VALUE
                                 : ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                                 nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        EntryInfo entry;
        if (problemKind(::GetLastError()) == Problem::Kind::Missing) entry.kind = EntryKind::Missing;
        return entry;
    }
    EntryInfo entry = handleInfo(handle);
    ::CloseHandle(handle);
    return entry;
}

}  // namespace quorvel::platform
