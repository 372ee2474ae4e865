// The interrupt flag: a first request stops the job at a sound point, a second one of the same
// kind ends the process as it would without our handlers.

#include <gtest/gtest.h>
#include <signal.h>

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

}  // namespace
}  // namespace quorvel
