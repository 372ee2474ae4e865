// POSIX implementation of the command line: argv is already what the program was given.

#include "platform/CommandLine.h"

namespace quorvel::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

void useUtf8Console() {}

}  // namespace quorvel::platform
