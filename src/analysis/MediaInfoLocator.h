#pragma once

#include <string>

namespace quorvel {

#ifdef _WIN32
inline constexpr const char* kMediaInfoExecutable = "mediainfo.exe";
#else
inline constexpr const char* kMediaInfoExecutable = "mediainfo";
#endif

// The analyser the program runs: the one beside our own executable when there is one,
// otherwise the first on PATH. Empty when neither exists.
std::string locateMediaInfo(const std::string& programFolder);

}  // namespace quorvel
