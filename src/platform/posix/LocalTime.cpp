// POSIX implementation of the local time of day: time and localtime_r.

#include "platform/LocalTime.h"

#include <ctime>

namespace quorvel::platform {

TimeOfDay localTimeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return TimeOfDay{parts.tm_hour, parts.tm_min, parts.tm_sec};
}

}  // namespace quorvel::platform
