#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "shared/ByteString.h"

namespace quorvel::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end
// of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's path, ending with '/'.
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + relative; }

private:
    std::string m_path;
};

ByteString readFile(const std::string& path);
void writeFile(const std::string& path, const ByteString& bytes);
void writeText(const std::string& path, const std::string& text);
void makeDirs(const std::string& path);
bool exists(const std::string& path);
// Modification time in nanoseconds; any write moves it.
long long modificationTime(const std::string& path);
// Lets everybody run the file and read it; only its owner may write it (mode 0755).
void makeExecutable(const std::string& path);
// Writes `bytes` at `offset` of the file, creating it when missing; a gap before them reads as
// zeros (and takes no room on a file system with sparse files). Throws when it cannot.
void writeFileAt(const std::string& path, std::int64_t offset, const ByteString& bytes);
// `size` bytes from `offset` of the file; throws when there are fewer.
ByteString readFileAt(const std::string& path, std::int64_t offset, std::size_t size);
// The process numbers a script wrote to `path`, one a line.
std::vector<long> readProcessNumbers(const std::string& path);
// Copies a folder tree; copied files and folders are writable whatever the source's modes.
void copyTree(const std::string& from, const std::string& to);
// Renames a file or folder to a name that differs from its own in letter case only, by way of a
// third name: a case-insensitive file system may otherwise keep the old spelling (Wine does).
void renameLetterCase(const std::string& from, const std::string& to);
// Every file below `root`, as paths relative to it, sorted.
std::vector<std::string> listFilesRecursively(const std::string& root);
// Every file below `root` by its path relative to it.
using Tree = std::map<std::string, ByteString>;
Tree readTree(const std::string& root);

// A disc folder whose files hold placeholder text: the layout without the formats, for tests of
// the job's flow. `withBackup` adds the BACKUP duplicates.
void makeSkeletonDisc(const std::string& root, bool withBackup = true);

// The real disc folders written by a third-party muxer; empty when they are not present.
std::string fixturesDir();
// Path of one fixture folder, or empty when absent (tests then skip).
std::string fixturePath(const std::string& name);

// Where a GoogleTest assertion shows what differs: the offset of the first difference and a
// hex dump around it.
std::string describeFirstDifference(const ByteString& expected, const ByteString& actual);

// A log line with its "[hh:mm:ss]" prefix replaced by "[ts]", for comparing whole logs.
std::string maskTime(const std::string& line);
std::vector<std::string> maskTimes(const std::vector<std::string>& lines);

// Splits CR LF (or LF) ended text into lines.
std::vector<std::string> splitLines(const std::string& text);

// A path held as UTF-8 (as the program holds every path) for std::filesystem, which takes a
// plain string in the system's own code page on Windows.
std::filesystem::path pathFromUtf8(const std::string& path);

// The system's words for a name that names nothing, as the platform reports them: "No such file
// or directory" on POSIX, "The system cannot find the file specified" on Windows.
std::string missingFileReason();

// The analyser's file name on this system: "mediainfo", "mediainfo.exe" on Windows.
std::string programFileName(const std::string& stem);
// Puts a copy of the stand-in analyser (tests/support/StandInAnalyser.cpp) into `folder` under
// the name `stem` (".exe" added on Windows), with `report` as the report it prints (its line
// ends written as CR LF); returns the copy's full path. The stand-in's environment options
// (QUORVEL_STAND_IN_EXIT, ..._SLEEP_MS, ..._STDERR, ..._RECORD) are described in its source.
std::string installStandInAnalyser(const std::string& folder, const std::string& report,
                                   const std::string& stem = "mediainfo");

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// Runs a program with arguments (no shell) and collects its output. `environment` entries of the
// form "NAME=value" replace or add variables of the child's environment.
CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});

}  // namespace quorvel::test
