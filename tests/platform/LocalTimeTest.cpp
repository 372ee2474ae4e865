#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/LocalTime.h"

namespace quorvel {
namespace {

constexpr long kSecondsPerDay = 24 * 60 * 60;

// The clock is the local one: in a given zone the time of day is the universal one moved by the
// zone's offset.
TEST(LocalTime, IsTheUniversalTimeMovedByTheZone) {
    struct Case {
        const char* zone;  // TZ
        long offset;       // seconds east of Greenwich
    };
    const Case cases[] = {{"UTC0", 0}, {"<+0530>-5:30", 5 * 3600 + 1800}, {"<-03>3", -3 * 3600}};
    std::optional<std::string> saved;
    if (const char* zone = std::getenv("TZ")) saved = zone;
    for (const Case& c : cases) {
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        const std::time_t before = std::time(nullptr);
        const platform::TimeOfDay now = platform::localTimeOfDay();
        const std::time_t after = std::time(nullptr);
        EXPECT_TRUE(now.hour >= 0 && now.hour < 24 && now.minute >= 0 && now.minute < 60 &&
                    now.second >= 0 && now.second <= 60)
            << c.zone;
        const long seconds = now.hour * 3600L + now.minute * 60L + now.second;
        const long expected = ((static_cast<long>(before) + c.offset) % kSecondsPerDay +
                               kSecondsPerDay) % kSecondsPerDay;
        const long drift = ((seconds - expected) % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay;
        EXPECT_LE(drift, static_cast<long>(after - before)) << c.zone;
    }
    if (saved) {
        ::setenv("TZ", saved->c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace
}  // namespace quorvel
