#pragma once

#include <string>
#include <vector>

namespace quorvel::platform {

// The program's arguments in UTF-8, the program's own name first. On POSIX they are argv as it
// came (a name there is bytes, UTF-8 or not). On Windows they are read again from the UTF-16
// command line: the narrow argv the C runtime hands to main() is in the ANSI code page, where
// every letter outside it has become a '?', so a folder named in Cyrillic, CJK or emoji could
// not be found.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Lets a console show the UTF-8 text the program writes (on Windows its output code page
// becomes UTF-8 until the program ends). Nothing to do on POSIX, nor when there is no console.
void useUtf8Console();

}  // namespace quorvel::platform
