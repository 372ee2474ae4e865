#pragma once

#include <string>

namespace quorvel::test {

// Makes a file unwritable even for root, with the file system's immutable attribute (chattr +i),
// and clears the attribute again when it goes out of scope. The tests run as root, for whom a
// mode of 0444 changes nothing. `active()` is false where the file system or the process cannot
// set the attribute (tmpfs, no CAP_LINUX_IMMUTABLE); callers then skip.
class ImmutableFile {
public:
    explicit ImmutableFile(std::string path);
    ~ImmutableFile();
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;

    bool active() const { return m_active; }

private:
    std::string m_path;
    bool m_active = false;
};

}  // namespace quorvel::test
