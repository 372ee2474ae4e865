#pragma once

#include <string>

namespace quorvel {

#ifdef _WIN32
inline constexpr const char* kMediaInfoExecutable = "mediainfo.exe";
#else
inline constexpr const char* kMediaInfoExecutable = "mediainfo";
#endif

// Full path of the analyser the program runs: the one beside our own executable (in the
// absolute `programFolder`) when there is one, otherwise the first on PATH, relative PATH entries
// taken below the working folder of this moment. Empty when neither exists.
std::string locateMediaInfo(const std::string& programFolder);

}  // namespace quorvel
