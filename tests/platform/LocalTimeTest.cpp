#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "platform/LocalTime.h"

namespace quorvel {
namespace {

constexpr long kSecondsPerDay = 24 * 60 * 60;

// The clock is the local one: in a given zone the time of day is the universal one moved by the
// zone's offset (seconds east of Greenwich).
TEST(LocalTime, IsTheUniversalTimeMovedByTheZone) {
    const std::pair<const char*, long> zones[] = {
        {"UTC0", 0}, {"<+0530>-5:30", 5 * 3600 + 1800}, {"<-03>3", -3 * 3600}};
    std::optional<std::string> saved;
    if (const char* zone = std::getenv("TZ")) saved = zone;
    for (const auto& [zone, offset] : zones) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        const std::time_t before = std::time(nullptr);
        const platform::TimeOfDay now = platform::localTimeOfDay();
        const std::time_t after = std::time(nullptr);
        const long seconds = now.hour * 3600L + now.minute * 60L + now.second;
        // How far the time shown is past the expected one, the day wrapped: at most the time
        // the call took.
        const long late = ((seconds - before - offset) % kSecondsPerDay + kSecondsPerDay) %
                          kSecondsPerDay;
        EXPECT_LE(late, after - before) << zone;
        EXPECT_LT(now.hour, 24) << zone;
    }
    saved ? ::setenv("TZ", saved->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace quorvel
