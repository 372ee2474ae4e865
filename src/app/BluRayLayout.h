#pragma once

#include <string>
#include <vector>

namespace quorvel {

// Where the files of a Blu-ray folder live, relative to the source folder S (which ends with a
// separator). Folder names and the two top-level file names resolve without regard to letter
// case when the exact spelling is absent, as discs written on other systems vary.
class BluRayLayout {
  public:
    static constexpr const char* kPlaylistExtension = ".MPLS";
    static constexpr const char* kClipInfoExtension = ".CLPI";
    static constexpr const char* kStreamExtension = ".M2TS";
    static constexpr const char* kNavigationExtension = ".BDMV";

    explicit BluRayLayout(std::string source) : m_source(std::move(source)) {}

    const std::string& source() const { return m_source; }

    std::string bdmvFolder() const;             // S + "BDMV/"
    std::string playlistFolder() const;         // S + "BDMV/PLAYLIST/"
    std::string clipInfoFolder() const;         // S + "BDMV/CLIPINF/"
    std::string streamFolder() const;           // S + "BDMV/STREAM/"
    std::string backupFolder() const;           // S + "BDMV/BACKUP/"
    std::string backupPlaylistFolder() const;   // S + "BDMV/BACKUP/PLAYLIST/"
    std::string backupClipInfoFolder() const;   // S + "BDMV/BACKUP/CLIPINF/"
    std::string indexFile() const;              // S + "BDMV/index.bdmv"
    std::string movieObjectFile() const;        // S + "BDMV/MovieObject.bdmv"

    // The folders whose files a job changes: BDMV, PLAYLIST, CLIPINF and STREAM.
    std::vector<std::string> changedFolders() const;

  private:
    std::string resolve(const char* relative) const;
    std::string m_source;
};

}  // namespace quorvel
