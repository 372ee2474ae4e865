#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/File.h"

namespace quorvel::platform {

// An open folder, closed when it goes. Everything below it is reached by name relative to it,
// so a folder renamed or replaced by a link meanwhile is never walked into by accident.
class Folder {
  public:
    Folder() = default;
    explicit Folder(NativeHandle handle) : m_handle(handle) {}
    ~Folder();
    Folder(Folder&& other) noexcept : m_handle(std::exchange(other.m_handle, kClosed)) {}
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens the folder `path` names ("" is the working folder), following links on the way:
    // which path to give is the caller's choice.
    static Folder open(const std::string& path, Problem* problem = nullptr);

    bool isOpen() const { return m_handle != kClosed; }

    // Opens the folder `name` (one component) inside this one, never through a link: a link
    // there is Problem::Kind::Linked.
    Folder openFolder(const std::string& name, Problem* problem = nullptr) const;
    // Opens the existing regular file `name` inside this one: never through a link (Linked),
    // never a FIFO, device or folder (NotRegular; a FIFO is not waited on and a device node is
    // not opened at all), never creating anything.
    File openFile(const std::string& name, File::Access access, Problem* problem = nullptr) const;
    // Opens `name` for reading without following a link and without waiting on a FIFO, whatever
    // it is; the caller looks at what it got.
    File openAnyForReading(const std::string& name) const;
    // Creates the new file `name` for writing with `permissions` (narrowed by the process's
    // umask); a name taken already, by a link or a FIFO as well, is Problem::Kind::Exists.
    File createFile(const std::string& name, unsigned permissions,
                    Problem* problem = nullptr) const;

    // Makes the folder `name` inside this one (only the owner may enter it); true when it is
    // there now, made by this call or before it.
    bool createFolder(const std::string& name, Problem* problem = nullptr) const;

    // Names of the entries, "." and ".." left out, in the system's order.
    std::vector<std::string> names() const;
    // What `name` is; a link in it is followed when `followLink`.
    EntryInfo look(const std::string& name, bool followLink) const;

    // Renames `from` to `to` within this folder, replacing a file called `to` in one step.
    bool rename(const std::string& from, const std::string& to, Problem* problem = nullptr) const;
    // Removes the file or link `name`; false when it could not.
    bool remove(const std::string& name) const;
    // Waits until the folder's entries (a rename into it, say) are on the disk.
    bool flushToDisk() const;

    NativeHandle native() const { return m_handle; }

  private:
#ifdef _WIN32
    static constexpr NativeHandle kClosed = nullptr;
#else
    static constexpr NativeHandle kClosed = -1;
#endif
    NativeHandle m_handle = kClosed;
};

// An advisory lock on a folder, held while the object lives and released however the process
// ends; it leaves nothing behind on the disk. It never waits: a lock another process holds that
// excludes this one makes it busy at once.
class FolderLock {
  public:
    enum class Kind { Shared, Exclusive };

    // The folder `path` is opened without following a link in its last component. A folder that
    // cannot be opened is neither locked nor busy.
    FolderLock(const std::string& path, Kind kind);
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool held() const { return m_folder.isOpen(); }
    bool busy() const { return m_busy; }

  private:
    Folder m_folder;
    // Where the system locks byte ranges of files rather than folders (Windows), the file of
    // the folder whose range holds the lock.
    File m_lockedFile;
    bool m_busy = false;
};

}  // namespace quorvel::platform
