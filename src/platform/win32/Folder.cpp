#include "platform/Folder.h"

#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/WindowsPaths.h"
#include "platform/win32/WideText.h"
#include "platform/win32/Win32Support.h"

namespace quorvel::platform {

using namespace win32;

namespace {

// A folder is held open with the rights to list it and look at it, and shared in every way, so
// that holding it keeps no one from working in it.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// A virus scanner or an indexer that has just opened a file makes a rename fail with a sharing
// error for a moment; a replacement is tried again for about a second before it fails.
constexpr auto kRenameRetryFor = std::chrono::milliseconds(1000);
constexpr auto kRenameRetryPause = std::chrono::milliseconds(50);
// The disc lock is a range of index.bdmv far past any real end, so that it never covers a byte
// that a reader or the job itself reads or writes.
constexpr char kLockedFileName[] = "index.bdmv";
constexpr DWORD kLockOffsetHigh = 0x40000000;
constexpr unsigned kOwnerWrite = 0200;

DWORD fileAccess(File::Access access) {
    switch (access) {
        case File::Access::Read:
            return GENERIC_READ;
        case File::Access::Write:
            return GENERIC_WRITE | FILE_READ_ATTRIBUTES;
        case File::Access::ReadWrite:
            return GENERIC_READ | GENERIC_WRITE;
    }
    return GENERIC_READ;
}

// The child `name` of the open folder, in the extended form.
std::wstring childOf(NativeHandle folder, const std::string& name) {
    const std::string path = pathOf(folder);
    if (path.empty()) return {};
    return toWide(windows::childPath(path, name));
}

// The folder `handle` opened, or nothing (NotFolder) when it turned out to be something else.
Folder folderOf(HANDLE handle, Problem* problem) {
    Folder folder(handle);
    if (handleInfo(handle).kind != EntryKind::Folder) {
        setProblem(problem, Problem::Kind::NotFolder, ERROR_DIRECTORY);
        return Folder{};
    }
    return folder;
}

// Opens a folder at `path` (extended) without following a link there.
Folder openFolderAt(const std::wstring& path, Problem* problem) {
    bool linked = false;
    HANDLE handle = path.empty() ? INVALID_HANDLE_VALUE
                                 : openNoFollow(path, kFolderAccess, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS, linked);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = path.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError();
        setProblem(problem, linked ? Problem::Kind::Linked : problemKind(error), error);
        return Folder{};
    }
    return folderOf(handle, problem);
}

// `attributes` without the read-only one; "normal" stands alone for none.
DWORD writable(DWORD attributes) {
    const DWORD left = attributes & ~FILE_ATTRIBUTE_READONLY;
    return left == 0 ? FILE_ATTRIBUTE_NORMAL : left;
}

bool retryable(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

}  // namespace

Folder::~Folder() {
    if (m_handle != kClosed) ::CloseHandle(m_handle);
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (m_handle != kClosed) ::CloseHandle(m_handle);
        m_handle = std::exchange(other.m_handle, kClosed);
    }
    return *this;
}

Folder Folder::open(const std::string& path, Problem* problem) {
    const std::wstring name = systemPath(path);
    HANDLE handle = name.empty() ? INVALID_HANDLE_VALUE
                                 : ::CreateFileW(name.c_str(), kFolderAccess,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                     FILE_SHARE_DELETE,
                                                 nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setProblem(problem, name.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError());
        return Folder{};
    }
    return folderOf(handle, problem);
}

Folder Folder::openFolder(const std::string& name, Problem* problem) const {
    return openFolderAt(childOf(m_handle, name), problem);
}

bool Folder::createFolder(const std::string& name, Problem* problem) const {
    const std::wstring path = childOf(m_handle, name);
    if (!path.empty() && (::CreateDirectoryW(path.c_str(), nullptr) != 0 ||
                          ::GetLastError() == ERROR_ALREADY_EXISTS)) {
        return true;
    }
    const DWORD error = path.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError();
    setProblem(problem, problemKind(error), error);
    return false;
}

// A link would let a job patch a file outside the disc folder, and a folder or a device is not a
// file whose bytes we patch. A file another program holds open without sharing writes fails at
// once with a sharing violation, and a read-only one with access denied: neither waits.
File Folder::openFile(const std::string& name, File::Access access, Problem* problem) const {
    const EntryInfo before = look(name, false);
    if (before.kind == EntryKind::Link) {
        setProblem(problem, Problem::Kind::Linked, ERROR_CANT_ACCESS_FILE);
        return File{};
    }
    if (before.known() && before.kind != EntryKind::File) {
        setProblem(problem, Problem::Kind::NotRegular, ERROR_INVALID_FUNCTION);
        return File{};
    }
    const std::wstring path = childOf(m_handle, name);
    bool linked = false;
    HANDLE handle = path.empty() ? INVALID_HANDLE_VALUE
                                 : openNoFollow(path, fileAccess(access), OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, linked);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = path.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError();
        setProblem(problem, linked ? Problem::Kind::Linked : problemKind(error), error);
        return File{};
    }
    File file(handle);
    if (file.info().kind != EntryKind::File) {
        setProblem(problem, Problem::Kind::NotRegular, ERROR_INVALID_FUNCTION);
        return File{};
    }
    return file;
}

File Folder::openAnyForReading(const std::string& name) const {
    const std::wstring path = childOf(m_handle, name);
    if (path.empty()) return File{};
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
    return handle == INVALID_HANDLE_VALUE ? File{} : File(handle);
}

File Folder::createFile(const std::string& name, unsigned permissions, Problem* problem) const {
    const std::wstring path = childOf(m_handle, name);
    const DWORD attributes =
        (permissions & kOwnerWrite) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    // CREATE_NEW fails on any name that is taken, a link or a junction included.
    HANDLE handle =
        path.empty() ? INVALID_HANDLE_VALUE
                     : ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, CREATE_NEW,
                                     attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setProblem(problem, path.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError());
        return File{};
    }
    return File(handle);
}

std::vector<std::string> Folder::names() const {
    std::vector<std::string> names;
    if (!isOpen()) return names;
    const std::wstring pattern = childOf(m_handle, "*");
    if (pattern.empty()) return names;
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(toUtf8(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

EntryInfo Folder::look(const std::string& name, bool followLink) const {
    const std::string path = pathOf(m_handle);
    if (path.empty()) return {};
    return lookAt(windows::childPath(path, name), followLink);
}

bool Folder::rename(const std::string& from, const std::string& to, Problem* problem) const {
    const std::wstring source = childOf(m_handle, from);
    const std::wstring target = childOf(m_handle, to);
    if (source.empty() || target.empty()) {
        setProblem(problem, ERROR_PATH_NOT_FOUND);
        return false;
    }
    const auto giveUp = std::chrono::steady_clock::now() + kRenameRetryFor;
    for (;;) {
        if (::MoveFileExW(source.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = ::GetLastError();
        // Windows refuses to replace a read-only file, which a rename elsewhere replaces: the
        // attribute goes first (the file's bytes stay as they are until the move).
        const DWORD targetAttributes = ::GetFileAttributesW(target.c_str());
        if (error == ERROR_ACCESS_DENIED && targetAttributes != INVALID_FILE_ATTRIBUTES &&
            (targetAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            ::SetFileAttributesW(target.c_str(), writable(targetAttributes))) {
            continue;
        }
        if (!retryable(error) || std::chrono::steady_clock::now() >= giveUp) {
            setProblem(problem, error);
            return false;
        }
        std::this_thread::sleep_for(kRenameRetryPause);
    }
}

bool Folder::remove(const std::string& name) const {
    const std::wstring path = childOf(m_handle, name);
    if (path.empty()) return false;
    if (::DeleteFileW(path.c_str())) return true;
    // A link to a folder (a junction, say) is a folder entry of its own.
    return look(name, false).kind == EntryKind::Link && ::RemoveDirectoryW(path.c_str());
}

// Windows cannot flush a folder's entries; the renames that matter ask for write-through.
bool Folder::flushToDisk() const {
    return isOpen();
}

FolderLock::FolderLock(const std::string& path, Kind kind) {
    m_folder = openFolderAt(systemPath(path), nullptr);
    if (!m_folder.isOpen()) return;
    // Byte-range locks belong to files; a folder without the file is held without a lock, and
    // the job refuses it for the missing file anyway.
    const std::wstring lockedPath = childOf(m_folder.native(), kLockedFileName);
    bool linked = false;
    HANDLE handle = lockedPath.empty()
                        ? INVALID_HANDLE_VALUE
                        : openNoFollow(lockedPath, GENERIC_READ, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, linked);
    if (handle == INVALID_HANDLE_VALUE) return;
    m_lockedFile = File(handle);
    OVERLAPPED range{};
    range.OffsetHigh = kLockOffsetHigh;
    const DWORD flags =
        LOCKFILE_FAIL_IMMEDIATELY | (kind == Kind::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (::LockFileEx(handle, flags, 0, 1, 0, &range)) return;
    m_busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
    // Closing the file's handle releases the lock.
    m_lockedFile = File{};
    m_folder = Folder{};
}

}  // namespace quorvel::platform
