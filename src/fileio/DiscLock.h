#pragma once

#include <string>

#include "platform/Folder.h"

namespace quorvel {

// A lock on a disc's BDMV folder, held while the object lives: exclusive for a job, which
// writes, shared for a check, which only reads. It is an advisory lock on the folder itself, so
// it leaves nothing behind on the disc and ends with the process that holds it, however that
// ends. It never waits: a lock that another process holds makes it busy at once.
class DiscLock {
  public:
    enum class Kind { Shared, Exclusive };

    // `folder` may end with a separator. A folder that cannot be opened (missing, or a link,
    // which is never followed) is not locked and not busy: the job's own checks refuse it.
    DiscLock(const std::string& folder, Kind kind);

    DiscLock(const DiscLock&) = delete;
    DiscLock& operator=(const DiscLock&) = delete;

    // Another job or check holds a lock that excludes this one.
    bool busy() const { return m_lock.busy(); }
    // The folder, without a trailing separator, as a log line names it.
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
    platform::FolderLock m_lock;
};

}  // namespace quorvel
