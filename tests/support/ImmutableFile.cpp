#include "support/ImmutableFile.h"

#include "platform/TestOs.h"

namespace quorvel::test {

ImmutableFile::ImmutableFile(std::string path)
    : m_path(std::move(path)), m_active(os::setImmutable(m_path, true)) {}

ImmutableFile::~ImmutableFile() {
    if (m_active) os::setImmutable(m_path, false);
}

}  // namespace quorvel::test
