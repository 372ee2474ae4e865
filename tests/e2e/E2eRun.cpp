#include "e2e/E2eRun.h"

#include <cstdlib>

namespace quorvel::test::e2e {

JobRun runJob(const std::vector<std::string>& arguments) {
    // QUORVEL_E2E_CLI runs the same checks against another build of the CLI.
    const char* other = std::getenv("QUORVEL_E2E_CLI");
    std::vector<std::string> argv{other != nullptr && *other != '\0' ? other : QUORVEL_CLI_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    JobRun run;
    run.result = runCommand(argv);
    run.log = maskTimes(splitLines(run.result.out));
    return run;
}

}  // namespace quorvel::test::e2e
