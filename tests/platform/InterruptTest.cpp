// The interrupt flag: a first request stops the job at a sound point, a second one of the same
// kind ends the process as it would without our handlers.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Interrupt.h"

namespace quorvel {
namespace {

TEST(InterruptDeathTest, FirstRequestRaisesTheFlagSecondEndsTheProcess) {
    for (const int signal : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                platform::installInterruptHandlers();
                if (platform::interruptRequested()) std::_Exit(1);
                ::raise(signal);
                if (!platform::interruptRequested()) std::_Exit(2);
                ::raise(signal);
                std::_Exit(3);
            },
            testing::KilledBySignal(signal), "")
            << ::strsignal(signal);
    }
}

TEST(InterruptDeathTest, WriteToAPipeWithoutReaderFailsInsteadOfEndingTheProcess) {
    EXPECT_EXIT(
        {
            platform::ignoreBrokenPipe();
            int fds[2];
            if (::pipe(fds) != 0) std::_Exit(1);
            ::close(fds[0]);
            const bool failed = ::write(fds[1], "x", 1) == -1 && errno == EPIPE;
            std::_Exit(failed ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvel
