#include "support/ImmutableFile.h"

#include <fcntl.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace quorvel::test {

ImmutableFile::ImmutableFile(std::string path) : m_path(std::move(path)) {
    const CommandResult set = runCommand({"chattr", "+i", m_path});
    if (set.exitCode != 0) return;
    // Proof, not trust: the attribute must really refuse a writer.
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        runCommand({"chattr", "-i", m_path});
        return;
    }
    m_active = true;
}

ImmutableFile::~ImmutableFile() {
    if (m_active) runCommand({"chattr", "-i", m_path});
}

}  // namespace quorvel::test
