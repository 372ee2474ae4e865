#include "fileio/DiscLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace quorvel {

DiscLock::DiscLock(const std::string& folder, Kind kind) : m_path(folder) {
    // "BDMV/" would follow a link named BDMV; "BDMV" with O_NOFOLLOW does not.
    while (m_path.size() > 1 && m_path.back() == '/') m_path.pop_back();
    do {
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) return;
    const int operation = (kind == Kind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int result = 0;
    do {
        result = ::flock(m_fd, operation);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return;
    m_busy = errno == EWOULDBLOCK;
    ::close(m_fd);
    m_fd = -1;
}

DiscLock::~DiscLock() {
    // Closing the folder's last descriptor releases the lock.
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace quorvel
